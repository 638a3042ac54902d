// The .reg file store: parsing, key existence, value queries, and the
// regOpenKey/regQueryValue calls over a file named by KAVRO3_REGISTRY.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/reg_store.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace kavro::platform {
namespace {

using namespace std::string_literals;

constexpr std::string_view kV5 = "Windows Registry Editor Version 5.00\r\n\r\n";
constexpr std::string_view kV4 = "REGEDIT4\n\n";

// UTF-8 text to UTF-16LE bytes, independently of the code under test.
std::string utf16le(std::string_view utf8) {
  std::string out;
  auto unit = [&](std::uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (std::size_t i = 0; i < utf8.size();) {
    auto b = [&](std::size_t k) {
      return static_cast<std::uint32_t>(static_cast<unsigned char>(utf8[i + k]));
    };
    std::uint32_t cp;
    std::size_t len;
    if (b(0) < 0x80) {
      cp = b(0), len = 1;
    } else if (b(0) < 0xE0) {
      cp = ((b(0) & 0x1F) << 6) | (b(1) & 0x3F), len = 2;
    } else if (b(0) < 0xF0) {
      cp = ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F), len = 3;
    } else {
      cp = ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F), len = 4;
    }
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
    i += len;
  }
  return out;
}

struct Read {
  RegStatus status = RegStatus::kNotFound;
  std::uint32_t type = 0xDEAD;
  std::string data;
};

Read read(const RegStore& store, std::string_view key, std::string_view name, std::size_t capacity = 4096) {
  Read r;
  const RegKey* k = store.findKey(key);
  if (k == nullptr) return r;
  std::string buffer(capacity, '\x7F');
  std::size_t size = capacity;
  r.status = queryRegValue(*k, name, &r.type, reinterpret_cast<unsigned char*>(buffer.data()), &size);
  if (r.status == RegStatus::kOk) r.data = buffer.substr(0, size);
  return r;
}

// One value line under [HKLM\K], read back as the value "A" (or "" for @).
struct ValueCase {
  std::string_view header;
  std::string line;
  std::uint32_t type;
  std::string data;
};

class ValueLine : public testing::TestWithParam<ValueCase> {};

TEST_P(ValueLine, ParsesToTypeAndBytes) {
  const ValueCase& c = GetParam();
  RegStore store = parseRegFile(std::string(c.header) + "[HKEY_LOCAL_MACHINE\\K]\r\n" + c.line + "\r\n");
  Read r = read(store, "K", c.line.front() == '@' ? "" : "A");
  ASSERT_EQ(r.status, RegStatus::kOk) << c.line;
  EXPECT_EQ(r.type, c.type) << c.line;
  EXPECT_EQ(r.data, c.data) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Types, ValueLine,
    testing::Values(
        ValueCase{kV5, R"("A"="abc")", kRegSz, "abc\0"s}, ValueCase{kV5, R"("A"="")", kRegSz, "\0"s},
        ValueCase{kV5, R"("A"="x\"y\\z")", kRegSz, "x\"y\\z\0"s},
        ValueCase{kV5, R"("A"="C:\dir\n")", kRegSz, "C:\\dir\\n\0"s},  // not escapes
        ValueCase{kV5, R"("A"="a;b=[c]")", kRegSz, "a;b=[c]\0"s},
        ValueCase{kV5, R"(@="dflt")", kRegSz, "dflt\0"s}, ValueCase{kV5, R"("A" = "sp")", kRegSz, "sp\0"s},
        ValueCase{kV5, "\t\"A\"=\"t\"  ", kRegSz, "t\0"s},
        ValueCase{kV5, "\"A\"=dword:0000001f", kRegDword, "\x1f\0\0\0"s},
        ValueCase{kV5, "\"A\"=dword:DEADbeef", kRegDword, "\xef\xbe\xad\xde"s},
        ValueCase{kV5, "\"A\"=dword:1", kRegDword, "\x01\0\0\0"s},
        ValueCase{kV5, "\"A\"=hex:de,AD,0,7f", kRegBinary, "\xde\xad\x00\x7f"s},
        ValueCase{kV5, "\"A\"=hex:", kRegBinary, ""},
        ValueCase{kV5, "\"A\"=hex(4):1f,00,00,00", kRegDword, "\x1f\0\0\0"s},
        ValueCase{kV5, "\"A\"=hex(b):01,02,03,04,05,06,07,08", 11, "\x01\x02\x03\x04\x05\x06\x07\x08"},
        ValueCase{kV5, "\"A\"=hex(0):", kRegNone, ""},
        ValueCase{kV5, "\"A\"=hex(3):41,00", kRegBinary, "A\0"s},  // binary is never converted
        // Version 5.00: string types in hex are UTF-16LE, handed over as UTF-8.
        ValueCase{kV5, "\"A\"=hex(2):25,00,41,00,25,00,00,00", kRegExpandSz, "%A%\0"s},
        ValueCase{kV5, "\"A\"=hex(1):61,00,62,00", kRegSz, "ab"},  // no terminator stored, none added
        ValueCase{kV5, "\"A\"=hex(7):61,00,00,00,62,00,00,00,00,00", kRegMultiSz, "a\0b\0\0"s},
        ValueCase{kV5, "\"A\"=hex(1):e9,00,ac,20,3d,d8,00,de", kRegSz,
                  "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        ValueCase{kV5, "\"A\"=hex(1):3d,d8,41,00", kRegSz, "\xef\xbf\xbd\x41"},  // high surrogate alone
        ValueCase{kV5, "\"A\"=hex(1):00,de,41,00", kRegSz, "\xef\xbf\xbd\x41"},  // low surrogate alone
        ValueCase{kV5, "\"A\"=hex(1):3d,d8", kRegSz, "\xef\xbf\xbd"},            // high surrogate at the end
        ValueCase{kV5, "\"A\"=hex(1):41,00,42", kRegSz, "A"},                    // odd byte dropped
        // REGEDIT4: the same bytes stand as they are.
        ValueCase{kV4, "\"A\"=hex(2):25,41,00", kRegExpandSz, "%A\0"s},
        ValueCase{kV4, "\"A\"=hex(1):61,00,62,00", kRegSz, "a\0b\0"s},
        ValueCase{kV4, "\"A\"=\"caf\xc3\xa9\"", kRegSz, "caf\xc3\xa9\0"s}));

// The same file in every accepted encoding gives the same store.
TEST(RegStoreEncoding, Utf8Utf8BomAndUtf16LeAgree) {
  const std::string text = std::string(kV5) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gr\xc3\xbc\xc3\x9f\x65]\r\n" +
                           "\"Name\"=\"\xe2\x82\xac \xf0\x9f\x98\x80\"\r\n";
  for (const std::string& bytes : {text, "\xEF\xBB\xBF" + text, "\xFF\xFE" + utf16le(text)}) {
    RegStore store = parseRegFile(bytes);
    Read r = read(store, "software\\GR\xc3\xbc\xc3\x9f\x45", "name");
    EXPECT_EQ(r.status, RegStatus::kOk);
    EXPECT_EQ(r.data, "\xe2\x82\xac \xf0\x9f\x98\x80\0"s);
  }
}

TEST(RegStoreEncoding, HeaderRequiredOnFirstLine) {
  const std::string body = "[HKEY_LOCAL_MACHINE\\K]\n\"A\"=\"x\"\n";
  EXPECT_TRUE(parseRegFile("REGEDIT4\n" + body).hasKey("K"));
  EXPECT_TRUE(parseRegFile("REGEDIT4  \r\n" + body).hasKey("K"));
  for (const std::string& bad :
       {body, "\n" + std::string(kV4) + body, "REGEDIT5\n" + body, "; REGEDIT4\n" + body, utf16le(kV5) + body,
        "\xFE\xFF" + body, std::string()}) {
    EXPECT_EQ(parseRegFile(bad).keyCount(), 0u);
  }
  EXPECT_EQ(parseRegFile(kV5).keyCount(), 0u);
}

TEST(RegStoreKeys, SubkeyImpliesEveryAncestor) {
  RegStore store = parseRegFile(std::string(kV5) + "[HKLM\\SOFTWARE\\Halvorn\\KAVRO3\\shop]\n\"A\"=\"x\"\n");
  EXPECT_TRUE(store.hasKey("SOFTWARE\\Halvorn\\KAVRO3\\shop"));
  EXPECT_TRUE(store.hasKey("SOFTWARE\\Halvorn\\KAVRO3"));
  EXPECT_TRUE(store.hasKey("SOFTWARE"));
  EXPECT_FALSE(store.hasKey("SOFTWARE\\Halvorn\\KAVRO3\\sho"));
  EXPECT_FALSE(store.hasKey("SOFTWARE\\Halvorn\\KAVRO3\\shop\\x"));
  EXPECT_EQ(read(store, "SOFTWARE\\Halvorn\\KAVRO3", "A").status, RegStatus::kNotFound);  // exists, no values
}

TEST(RegStoreKeys, RootsNamesCaseAndTrailingBackslash) {
  RegStore store = parseRegFile(std::string(kV5) +
                                "[hkey_local_machine\\Soft\\One\\]\n\"Name\"=\"1\"\n"
                                "[HKEY_CURRENT_USER\\Soft\\Two]\n\"Name\"=\"2\"\n"
                                "[HKLMX\\Soft\\Three]\n"
                                "[HKEY_LOCAL_MACHINE2\\Soft\\Four]\n");
  EXPECT_EQ(read(store, "SOFT\\one", "NAME").data, "1\0"s);
  EXPECT_FALSE(store.hasKey("Soft\\Two"));
  EXPECT_FALSE(store.hasKey("Soft\\Three"));
  EXPECT_FALSE(store.hasKey("Soft\\Four"));
  // The foreign section's value must not have landed in the key before it.
  EXPECT_EQ(read(store, "Soft\\One", "Name").data, "1\0"s);
}

// Only ASCII letters fold: the characters next to 'A' 'Z' 'a' 'z' ('@' '['
// '`' '{') are names of their own, in key paths and value names alike.
TEST(RegStoreKeys, CaseFoldsOnlyTheAsciiLetters) {
  struct Row {
    const char* a;
    const char* b;
    bool equal;
  };
  const Row rows[] = {
      {"A", "a", true},  {"Z", "z", true},    {"M", "m", true},    {"@", "`", false},
      {"[", "{", false}, {"K@", "k`", false}, {"K[", "k{", false}, {"\xC4", "\xE4", false},
      {"a", "b", false}, {"ab", "a", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.a) + " / " + row.b);
    EXPECT_EQ(regNamesEqual(row.a, row.b), row.equal);
    EXPECT_EQ(regNamesEqual(row.b, row.a), row.equal);
    const std::string a = row.a, b = row.b;
    RegStore store = parseRegFile(std::string(kV4) + "[HKLM\\K\\" + a + "]\n\"" + a + "\"=\"v\"\n");
    EXPECT_EQ(store.hasKey("K\\" + b), row.equal) << "key path";
    EXPECT_EQ(read(store, "K\\" + a, b).status == RegStatus::kOk, row.equal) << "value name";
  }
}

TEST(RegStoreKeys, SectionsMergeAndLaterValuesWin) {
  RegStore store = parseRegFile(std::string(kV4) +
                                "[HKLM\\K]\n\"A\"=\"first\"\n\"B\"=dword:2\n"
                                "[HKLM\\Other]\n"
                                "[HKLM\\k]\n\"a\"=\"second\"\n\"C\"=hex:01\n");
  EXPECT_EQ(read(store, "K", "A").data, "second\0"s);
  EXPECT_EQ(read(store, "K", "B").type, kRegDword);
  EXPECT_EQ(read(store, "K", "C").data, "\x01");
}

TEST(RegStoreKeys, DeletionsOfValuesAndKeys) {
  RegStore store =
      parseRegFile(std::string(kV5) +
                   "[HKLM\\A]\n\"Keep\"=\"k\"\n\"Gone\"=\"g\"\n\"GONE\"=-\n\"Never\"=-\n"
                   "[HKLM\\A\\B]\n[HKLM\\A\\B\\C]\n[HKLM\\A\\BC]\n[HKLM\\A\\B!x]\n"
                   "[-HKLM\\a\\b]\n\"Orphan\"=\"o\"\n"
                   "[HKLM\\R]\n\"Old\"=\"o\"\n[-HKEY_LOCAL_MACHINE\\R\\]\n[HKLM\\R]\n\"New\"=\"n\"\n"
                   "[-HKLM]\n");
  EXPECT_EQ(read(store, "A", "Keep").data, "k\0"s);
  EXPECT_EQ(read(store, "A", "Gone").status, RegStatus::kNotFound);
  EXPECT_FALSE(store.hasKey("A\\B"));
  EXPECT_FALSE(store.hasKey("A\\B\\C"));
  EXPECT_TRUE(store.hasKey("A\\BC"));
  EXPECT_TRUE(store.hasKey("A\\B!x"));
  EXPECT_EQ(read(store, "A", "Orphan").status, RegStatus::kNotFound);  // no key to land in
  // Deleted and created again: only the later values.
  EXPECT_EQ(read(store, "R", "Old").status, RegStatus::kNotFound);
  EXPECT_EQ(read(store, "R", "New").data, "n\0"s);
  EXPECT_TRUE(store.hasKey(""));  // the root cannot be deleted
}

TEST(RegStoreKeys, DeletedSubkeyLeavesItsCreatedParent) {
  RegStore store = parseRegFile(std::string(kV5) + "[HKLM\\P\\Child]\n[-HKLM\\P\\Child]\n");
  EXPECT_TRUE(store.hasKey("P"));
  EXPECT_FALSE(store.hasKey("P\\Child"));
}

TEST(RegStoreLines, CommentsBlanksAndUnparseableLinesAreSkipped) {
  RegStore store = parseRegFile(std::string(kV5) +
                                "\"Early\"=\"before any section\"\n"
                                "; [HKLM\\Commented]\n"
                                "[HKLM\\K]\n"
                                "   ; \"A\"=\"commented\"\n"
                                "\n   \t\r\n"
                                "garbage line\n"
                                "\"A\"=\"ok\"\n"
                                "\"B\"=\"unterminated\n"
                                "\"C\"=\"x\" trailing\n"
                                "\"D\"=dword:123456789\n"
                                "\"E\"=dword:xyz\n"
                                "\"F\"=hex:4g\n"
                                "\"G\"=hex(zz):00\n"
                                "\"H\"=hex:1,,2\n"
                                "\"I\"=-x\n"
                                "\"J\"\n"
                                "\"K\"=word:1\n"
                                "\"L\"=\n"
                                "\"a\\\"b\\\\c\"=\"escaped name\"\n"
                                "\"Z\"=\"last\"\n");
  EXPECT_FALSE(store.hasKey("Commented"));
  EXPECT_EQ(read(store, "K", "A").data, "ok\0"s);
  for (const char* name : {"B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "Early"}) {
    EXPECT_EQ(read(store, "K", name).status, RegStatus::kNotFound) << name;
  }
  EXPECT_EQ(read(store, "K", "a\"B\\c").data, "escaped name\0"s);
  EXPECT_EQ(read(store, "K", "Z").data, "last\0"s);
}

// Every line the parser skips is listed with its number and reason; lines
// it takes are not, and what it accepts is the same with or without a list.
struct SkipCase {
  std::string before;  // lines after the header, before the line under test
  std::string line;
  RegSkipReason reason;
  std::size_t skippedBefore = 0;  // lines of `before` that are skipped too
};

TEST(RegStoreLines, EachSkippedLineIsListedWithItsReason) {
  const SkipCase cases[] = {
      {"", "\"Early\"=\"x\"", RegSkipReason::kNoSection},
      {"", "\"Early\"=-", RegSkipReason::kNoSection},
      {"[HKLM\\K]\n", "[HKLM\\Bad", RegSkipReason::kBadSection},
      {"[HKLM\\K]\n", "[HKEY_CURRENT_USER\\K]", RegSkipReason::kForeignRoot},
      {"[HKLM\\K]\n", "[]", RegSkipReason::kForeignRoot},
      {"[HKLM\\K]\n", "[-HKLM\\]", RegSkipReason::kRootDeletion},
      {"[HKLM\\Bad\n", "\"A\"=\"x\"", RegSkipReason::kOutsideKey, 1},
      {"[HKCU\\K]\n", "\"A\"=-", RegSkipReason::kOutsideKey, 1},
      {"[-HKLM\\K]\n", "\"A\"=\"x\"", RegSkipReason::kOutsideKey},
      {"[HKLM\\K]\n", "\"A=\"x\"", RegSkipReason::kNoData},  // the name is A=, then x"
      {"[HKLM\\K]\n", "\"Name=x", RegSkipReason::kBadName},
      {"[HKLM\\K]\n", "\"J\"", RegSkipReason::kNoData},
      {"[HKLM\\K]\n", "\"L\"=", RegSkipReason::kNoData},
      {"[HKLM\\K]\n", "@", RegSkipReason::kNoData},
      {"[HKLM\\K]\n", "\"B\"=\"unterminated", RegSkipReason::kBadString},
      {"[HKLM\\K]\n", "\"C\"=\"x\" ; a comment", RegSkipReason::kBadString},
      {"[HKLM\\K]\n", "\"D\"=dword:123456789", RegSkipReason::kBadDword},
      {"[HKLM\\K]\n", "\"E\"=dword:", RegSkipReason::kBadDword},
      {"[HKLM\\K]\n", "\"F\"=hex:4g", RegSkipReason::kBadHex},
      {"[HKLM\\K]\n", "\"G\"=hex(zz):00", RegSkipReason::kBadHex},
      {"[HKLM\\K]\n", "\"H\"=hex(2)00", RegSkipReason::kBadHex},
      {"[HKLM\\K]\n", "\"I\"=-x", RegSkipReason::kUnknownType},
      {"[HKLM\\K]\n", "\"K\"=word:1", RegSkipReason::kUnknownType},
      {"[HKLM\\K]\n", "garbage line", RegSkipReason::kNotAValue},
      {"[HKLM\\K]\n", "ServerURL=localhost", RegSkipReason::kNotAValue},
  };
  for (const SkipCase& c : cases) {
    // Three lines after it, taken as usual: the header, a blank line and
    // `before` come first, so the line under test has a known number.
    std::string file =
        std::string(kV4) + c.before + "  " + c.line + "  \r\n; comment\n[HKLM\\Z]\n\"Z\"=\"z\"\n";
    std::size_t number = 3 + static_cast<std::size_t>(std::count(c.before.begin(), c.before.end(), '\n'));
    std::vector<RegSkippedLine> skipped;
    RegStore store = parseRegFile(file, &skipped);
    ASSERT_EQ(skipped.size(), c.skippedBefore + 1) << c.line;
    const RegSkippedLine& last = skipped.back();
    EXPECT_EQ(last.line, number) << c.line;
    EXPECT_EQ(last.reason, c.reason) << c.line << ": " << regSkipReasonName(last.reason);
    EXPECT_EQ(last.text, "  " + c.line) << c.line;  // as written, but for the line end
    EXPECT_EQ(read(store, "Z", "Z").data, "z\0"s) << c.line;
    EXPECT_EQ(parseRegFile(file).keyCount(), store.keyCount()) << c.line;
  }
}

TEST(RegStoreLines, NoHeaderIsOneSkipForTheWholeFile) {
  for (const std::string& bad : {std::string("REGEDIT5\r\n[HKLM\\K]\n\"A\"=\"x\"\n"), std::string()}) {
    std::vector<RegSkippedLine> skipped;
    EXPECT_EQ(parseRegFile(bad, &skipped).keyCount(), 0u);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].line, 1u);
    EXPECT_EQ(skipped[0].reason, RegSkipReason::kNoHeader);
    EXPECT_EQ(skipped[0].text, bad.empty() ? "" : "REGEDIT5");
  }
}

TEST(RegStoreLines, ContinuedValueIsSkippedAtItsFirstLine) {
  std::vector<RegSkippedLine> skipped;
  RegStore store =
      parseRegFile(std::string(kV5) + "[HKLM\\K]\n\"Bad\"=hex:01,\\\n  zz,02\n\"After\"=\"a\"\n", &skipped);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0].line, 4u);
  EXPECT_EQ(skipped[0].reason, RegSkipReason::kBadHex);
  EXPECT_EQ(read(store, "K", "After").data, "a\0"s);
}

TEST(RegStoreLines, MalformedSectionDropsTheValuesAfterIt) {
  RegStore store = parseRegFile(std::string(kV5) + "[HKLM\\Good]\n\"A\"=\"1\"\n[HKLM\\Bad\n\"A\"=\"2\"\n");
  EXPECT_EQ(read(store, "Good", "A").data, "1\0"s);
  EXPECT_FALSE(store.hasKey("Bad"));
}

TEST(RegStoreLines, HexListsContinueOnIndentedLines) {
  RegStore store = parseRegFile(std::string(kV5) +
                                "[HKLM\\K]\r\n"
                                "\"Multi\"=hex(7):61,00,62,00,00,00,\\\r\n"
                                "  63,00,00,00,\\\r\n"
                                "\t00,00\r\n"
                                "\"Bad\"=hex:01,\\\n  zz,02\n"
                                "\"After\"=dword:00000007\n"
                                "\"Tail\"=hex:0a,0b,\\\n");
  EXPECT_EQ(read(store, "K", "Multi").data, "ab\0c\0\0"s);
  EXPECT_EQ(read(store, "K", "Bad").status, RegStatus::kNotFound);
  EXPECT_EQ(read(store, "K", "After").data, "\x07\0\0\0"s);
  EXPECT_EQ(read(store, "K", "Tail").data, "\x0a\x0b");  // continued past the end of the file
}

TEST(RegStoreQuery, SizeLimitAndBufferUse) {
  RegStore store = parseRegFile(std::string(kV5) + "[HKLM\\K]\n\"S\"=\"abc\"\n\"E\"=hex:\n");
  const RegKey* key = store.findKey("K");
  ASSERT_NE(key, nullptr);

  EXPECT_EQ(read(store, "K", "S", 4).data, "abc\0"s);  // exactly N bytes fit
  unsigned char buffer[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
  std::uint32_t type = 0;
  std::size_t size = 3;
  EXPECT_EQ(queryRegValue(*key, "S", &type, buffer, &size), RegStatus::kMoreData);
  EXPECT_EQ(size, 4u);  // the size needed
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(buffer[0], '#');  // nothing placed

  size = 0;
  EXPECT_EQ(queryRegValue(*key, "S", &type, nullptr, &size), RegStatus::kOk);  // size query
  EXPECT_EQ(size, 4u);

  size = 0;
  EXPECT_EQ(queryRegValue(*key, "E", &type, buffer, &size), RegStatus::kOk);  // empty data fits in nothing
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(type, kRegBinary);

  size = 8;
  type = 99;
  EXPECT_EQ(queryRegValue(*key, "Missing", &type, buffer, &size), RegStatus::kNotFound);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(type, 99u);
}

// The lazy load through the platform calls, from a temporary file.
class RegistryFile : public testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("KAVRO3_REGISTRY");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    ASSERT_FALSE(dir_.empty());
    path_ = dir_ + "/kavro3.reg";
  }
  void TearDown() override {
    test::setEnv("KAVRO3_REGISTRY", hadOld_ ? old_.c_str() : nullptr);
    regForgetIfChanged();
  }
  // Each file a new one (path_ names the last), so that the store read
  // before is no longer the file named and goes.
  void useFile(const std::string& bytes) {
    path_ = dir_ + "/kavro3-" + std::to_string(++files_) + ".reg";
    ASSERT_TRUE(test::writeFile(path_, bytes));
    test::setEnv("KAVRO3_REGISTRY", path_.c_str());
    regForgetIfChanged();
  }
  int files_ = 0;

  test::TempDir temp_{"kavro3-reg"};
  const std::string& dir_ = temp_.path();
  std::string path_;
  std::string old_;
  bool hadOld_ = false;
};

TEST_F(RegistryFile, OpensAndQueriesThroughPlatformCalls) {
  useFile("\xFF\xFE" + utf16le("Windows Registry Editor Version 5.00\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3\\shop]\r\n"
                               "\"ServerURL\"=\"engine.example\"\r\n"));
  EXPECT_EQ(regOpenKey("SOFTWARE\\Halvorn\\KAVRO3\\other"), nullptr);
  RegKey* base = regOpenKey("software\\halvorn\\kavro3");
  ASSERT_NE(base, nullptr);
  std::uint32_t type = 0;
  unsigned char data[64];
  std::size_t size = sizeof data;
  EXPECT_EQ(regQueryValue(base, "ServerURL", &type, data, &size), RegStatus::kNotFound);
  regCloseKey(base);

  RegKey* shop = regOpenKey("SOFTWARE\\Halvorn\\KAVRO3\\shop");
  ASSERT_NE(shop, nullptr);
  size = sizeof data;
  ASSERT_EQ(regQueryValue(shop, "serverurl", &type, data, &size), RegStatus::kOk);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "engine.example\0"s);
  regCloseKey(shop);
  EXPECT_EQ(regQueryValue(nullptr, "ServerURL", &type, data, &size), RegStatus::kNotFound);
}

TEST_F(RegistryFile, MissingFileMeansNoKey) {
  test::setEnv("KAVRO3_REGISTRY", (path_ + ".absent").c_str());
  regForgetIfChanged();
  EXPECT_EQ(regOpenKey("SOFTWARE\\Halvorn\\KAVRO3"), nullptr);
  EXPECT_EQ(regOpenKey(""), nullptr);
}

// A settings file is small: up to 16 MiB is read, a byte more and the file
// counts as unreadable (no key), so that a path such as /dev/zero cannot eat
// the memory of every run.
TEST_F(RegistryFile, FilesUpToSixteenMiBAreRead) {
  constexpr std::size_t kLimit = std::size_t{16} << 20;
  const std::string head = std::string(kV4) + "[HKLM\\Big]\n; ";
  for (std::size_t size : {kLimit - 1, kLimit, kLimit + 1}) {
    useFile(head + std::string(size - head.size() - 1, 'x') + "\n");
    EXPECT_EQ(regOpenKey("Big") != nullptr, size <= kLimit) << size << " bytes";
  }
}

// Without KAVRO3_REGISTRY the file is /etc/kavro3/kavro3.reg. Written only
// where no such file or directory stands (a machine's own settings are never
// touched) and the directory can be made; skipped otherwise.
TEST_F(RegistryFile, DefaultPathWhenTheVariableIsUnset) {
  namespace fs = std::filesystem;
  const fs::path dir = "/etc/kavro3";
  std::error_code code;
  if (fs::exists(dir, code) || !fs::create_directory(dir, code))
    GTEST_SKIP() << dir << " exists or cannot be made";
  std::ofstream(dir / "kavro3.reg") << kV4 << "[HKLM\\DefaultPathProbe]\n";
  test::setEnv("KAVRO3_REGISTRY", nullptr);
  regForgetIfChanged();
  bool found = regOpenKey("DefaultPathProbe") != nullptr;
  fs::remove_all(dir, code);
  EXPECT_TRUE(found);
  // The variable, when set, wins over the default file.
  useFile(std::string(kV4) + "[HKLM\\FromVariable]\n");
  EXPECT_NE(regOpenKey("FromVariable"), nullptr);
}

TEST_F(RegistryFile, FileIsReadOnceUntilAnotherIsNamed) {
  useFile(std::string(kV4) + "[HKLM\\First]\n");
  EXPECT_NE(regOpenKey("First"), nullptr);
  useFile(std::string(kV4) + "[HKLM\\Second]\n");  // another file: read again
  EXPECT_EQ(regOpenKey("First"), nullptr);
  std::FILE* f = std::fopen(path_.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);  // emptied behind the store's back: still the loaded contents
  EXPECT_NE(regOpenKey("Second"), nullptr);
}

// A process that serves many requests reads the file again, before a
// request, once it is no longer the file read: renamed over, edited, removed
// or made again. Unchanged, the store read stays.
TEST_F(RegistryFile, ReadAgainOnceTheFileChanged) {
  auto write = [](const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  };
  useFile(std::string(kV4) + "[HKLM\\First]\n");
  RegKey* first = regOpenKey("First");
  ASSERT_NE(first, nullptr);
  regForgetIfChanged();
  EXPECT_EQ(regOpenKey("First"), first);

  write(path_ + ".new", std::string(kV4) + "[HKLM\\Second]\n");
  ASSERT_EQ(std::rename((path_ + ".new").c_str(), path_.c_str()), 0);
  EXPECT_NE(regOpenKey("First"), nullptr) << "read again only when asked";
  regForgetIfChanged();
  EXPECT_EQ(regOpenKey("First"), nullptr);
  EXPECT_NE(regOpenKey("Second"), nullptr);

  write(path_, std::string(kV4) + "[HKLM\\Third]\n; edited in place\n");
  regForgetIfChanged();
  EXPECT_NE(regOpenKey("Third"), nullptr);

  std::remove(path_.c_str());
  regForgetIfChanged();
  EXPECT_EQ(regOpenKey("Third"), nullptr);
  regForgetIfChanged();
  EXPECT_EQ(regOpenKey("Third"), nullptr);

  write(path_, std::string(kV4) + "[HKLM\\Fourth]\n");
  regForgetIfChanged();
  EXPECT_NE(regOpenKey("Fourth"), nullptr);
}

}  // namespace
}  // namespace kavro::platform
