#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "decoder/decoder.h"
#include "decoder/internal.h"
#include "decoder/md5.h"
#include "decoder/state.h"
#include "tests/support/process.h"

namespace kavro {
namespace {

char* heapText(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

TEST(UrlDecode, Rules) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"%41%62", "Ab"},
      {"a+b", "a b"},
      {"100%%", "100%%"},
      {"%%41", "%%41"},
      {"%G1", "\x01"},
      {"%zz", std::string(1, static_cast<char>((16 * ('Z' - 0x37) + ('Z' - 0x37)) & 0xFF))},
      {"%e9", "\xE9"},
      {"%", "%"},      // too close to the end: copied as it is
      {"a%4", "a%4"},  // one character after '%': copied, nothing past the end read
      {"%4%", std::string(1, static_cast<char>((16 * 4 + ('%' - 0x30)) & 0xFF))},
      {"%00rest", std::string("\0rest", 5)},
      {"", ""},
  };
  for (const auto& [in, out] : cases) {
    std::string buffer = in;
    _url_decode(buffer.data());
    EXPECT_EQ(std::string(buffer.c_str(), std::strlen(buffer.c_str())), std::string(out.c_str()))
        << "input " << in;
  }
  EXPECT_EQ(_url_decode(nullptr), nullptr);
}

TEST(HexPairValue, AnyTwoCharacters) {
  EXPECT_EQ(_hex_pair_value('4', '1'), 'A');
  EXPECT_EQ(_hex_pair_value('f', 'F'), '\xFF');
  EXPECT_EQ(_hex_pair_value('G', '1'), '\x01');
  EXPECT_EQ(_hex_pair_value('\x80', '0'), static_cast<char>((16 * (-128 - 0x30)) & 0xFF));
}

TEST(TrimSpace, OnlyBlankTabCrLf) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" \t\r\nab c\n\r\t ", "ab c"}, {"\vab\f", "\vab\f"}, {"   ", ""}, {"", ""}, {"x", "x"},
  };
  for (const auto& [in, out] : cases) {
    std::string buffer = in;
    EXPECT_STREQ(_trim_space(buffer.data()), out.c_str()) << "input [" << in << "]";
  }
}

TEST(CutWord, TakesTheWordAndItsStopOffTheFront) {
  char text[] = "name=value=more";
  char* word = _cut_word(text, '=');
  EXPECT_STREQ(word, "name");
  EXPECT_STREQ(text, "value=more");
  std::free(word);
  word = _cut_word(text, '&');
  EXPECT_STREQ(word, "value=more");
  EXPECT_STREQ(text, "");
  std::free(word);
}

TEST(TextHelpers, UpperAndPrefixCompare) {
  char text[] = "abz-\xE9q";
  EXPECT_STREQ(_to_upper(text), "ABZ-\xE9Q");
  EXPECT_EQ(_prefix_equal_nocase("Content-Type: x", "content-type: ", 14), 0);
  EXPECT_NE(_prefix_equal_nocase("Content-Typo: x", "content-type: ", 14), 0);
  EXPECT_EQ(_prefix_equal_nocase("ab", "AB", 10), 0);
  EXPECT_NE(_prefix_equal_nocase("ab", "ABC", 10), 0);
  EXPECT_EQ(_prefix_equal_nocase("abc", "ABD", 2), 0);
  // The edges of the alphabet: '@' '[' '`' '{' are not letters.
  EXPECT_EQ(_prefix_equal_nocase("az", "AZ", 2), 0);
  EXPECT_NE(_prefix_equal_nocase("`", "@", 1), 0);
  EXPECT_NE(_prefix_equal_nocase("{", "[", 1), 0);
  char edges[] = "@AZ[`az{";
  EXPECT_STREQ(_to_upper(edges), "@AZ[`AZ{");
}

// The process-wide list, emptied around every test.
class EntryList : public ::testing::Test {
 protected:
  void SetUp() override {
    qReleaseEntries();
    // With the list empty the accessors decode: give them a request with no fields.
    test::setEnv("CONTENT_TYPE", "text/plain");
    test::setEnv("QUERY_STRING", nullptr);
    test::setEnv("REQUEST_METHOD", "GET");
  }
  void TearDown() override {
    qReleaseEntries();
    test::setEnv("CONTENT_TYPE", nullptr);
    test::setEnv("QUERY_STRING", nullptr);
    test::setEnv("REQUEST_METHOD", nullptr);
    test::setEnv("REQUEST_URI", nullptr);
  }
  static std::vector<std::pair<std::string, std::string>> entries() {
    std::vector<std::pair<std::string, std::string>> out;
    for (Q_entry* e = qFirstEntry(); e; e = e->next) out.emplace_back(e->name, e->value);
    return out;
  }
  static int split(const std::string& text) {
    std::string buffer = text;
    return _split_pairs(buffer.data(), '&');
  }
};

// With a hook installed, qError hands control back (here by a throw) after
// its report, and resetState() puts the decoder back as at process start:
// nothing held, and a later error reports again.
TEST_F(EntryList, FatalHookReturnsControlAndResetForgetsTheRun) {
  decoder::setFatalHook([] { throw 42; });
  for (int run = 0; run < 2; ++run) {
    split("a=1&b=2");
    decoder::state().source = static_cast<char*>(std::malloc(16));
    ASSERT_NE(decoder::head(), nullptr);
    EXPECT_THROW(qError("%s", "Broken"), int);
    EXPECT_EQ(decoder::head(), nullptr);  // the page's release
    EXPECT_TRUE(decoder::state().reporting);
    decoder::resetState();  // frees the source text too (LeakSanitizer checks)
    EXPECT_EQ(decoder::state().source, nullptr);
    EXPECT_FALSE(decoder::state().reporting);
  }
  decoder::setFatalHook(nullptr);
  EXPECT_EXIT(qError("%s", "Broken"), ::testing::ExitedWithCode(1), "");
}

TEST_F(EntryList, SplitPairsSkipsEmptyNames) {
  EXPECT_EQ(split("x=1&&=2&y"), 4);
  EXPECT_EQ(entries(), (std::vector<std::pair<std::string, std::string>>{{"x", "1"}, {"y", ""}}));
}

TEST_F(EntryList, SplitPairsTrailingSeparatorAndFurtherEquals) {
  EXPECT_EQ(split("a=1&b=c=d&"), 2);
  EXPECT_EQ(entries(), (std::vector<std::pair<std::string, std::string>>{{"a", "1"}, {"b", "c=d"}}));
}

TEST_F(EntryList, NamesTrimmedBeforeDecodingValuesNotTrimmed) {
  EXPECT_EQ(split("  n%20+ = v "), 1);
  EXPECT_EQ(entries(), (std::vector<std::pair<std::string, std::string>>{{"n  ", " v "}}));
}

TEST_F(EntryList, NameStartingWithEscapedZeroIsNotStored) {
  EXPECT_EQ(split("%00a=1&b=2"), 2);
  EXPECT_EQ(entries(), (std::vector<std::pair<std::string, std::string>>{{"b", "2"}}));
}

TEST_F(EntryList, LookupsAreExactAndFindTheFirst) {
  split("a=1&a=2&Name=x&n=12abc&m=abc&k=-7&j=%2042&f.length=5");
  EXPECT_STREQ(qValue("a"), "1");
  EXPECT_EQ(qValue("name"), nullptr);
  EXPECT_STREQ(qValue("%s", "Name"), "x");
  EXPECT_STREQ(qValue("%s.length", "f"), "5");
  EXPECT_EQ(qiValue("n"), 12);
  EXPECT_EQ(qiValue("m"), 0);
  EXPECT_EQ(qiValue("k"), -7);
  EXPECT_EQ(qiValue("j"), 42);
  EXPECT_EQ(qiValue("absent"), 0);
  EXPECT_EQ(entries().size(), 8u);
}

TEST_F(EntryList, AppendKeepsOrderAndRefusesEmptyNames) {
  Q_entry* head = _entry_append(nullptr, heapText("first"), heapText("1"));
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(_entry_append(head, heapText(""), heapText("lost")), nullptr);
  Q_entry* second = _entry_append(head, heapText("second"), heapText("2"));
  ASSERT_EQ(head->next, second);
  EXPECT_EQ(second->next, nullptr);
  EXPECT_STREQ(_entry_find(head, "second"), "2");
  EXPECT_EQ(_entry_find(nullptr, "second"), nullptr);
  _entry_list_free(head);
}

TEST_F(EntryList, NameOf1023CharactersIsLookedUp) {
  std::string name(1023, 'n');
  split(name + "=ok");
  EXPECT_STREQ(qValue("%s", name.c_str()), "ok");
}

TEST_F(EntryList, NameOf1024CharactersIsFatal) {
  std::string name(1024, 'n');
  test::setEnv("REMOTE_ADDR", nullptr);
  EXPECT_EXIT(qValue("%s", name.c_str()), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(qiValue("%s", name.c_str()), ::testing::ExitedWithCode(1), "");
}

TEST_F(EntryList, EmptyListDecodesAgainOnEveryAccess) {
  test::setEnv("QUERY_STRING", "");
  test::setEnv("REQUEST_URI", "/app/run?k=v");
  EXPECT_STREQ(qValue("k"), "v");  // decoded on demand from REQUEST_URI
  qReleaseEntries();
  test::setEnv("REQUEST_URI", "/app/run");
  EXPECT_EQ(qFirstEntry(), nullptr);
  EXPECT_EQ(qDecode(), 0);
}

TEST_F(EntryList, SecondDecodeAddsNothing) {
  test::setEnv("QUERY_STRING", "a=1&b=2");
  EXPECT_EQ(qDecode(), 2);
  EXPECT_EQ(qDecode(), -1);
  EXPECT_EQ(entries().size(), 2u);
}

TEST_F(EntryList, ValueSizeIsTheDecodedText) {
  split("a=%00xyz&b=hello");
  Q_entry* a = qFirstEntry();
  EXPECT_EQ(qValueSize(a), 0u);
  EXPECT_EQ(qValueSize(a->next), 5u);
}

TEST_F(EntryList, UploadIdWithoutContentTypeIsRefused) {
  test::setEnv("CONTENT_TYPE", nullptr);
  test::setEnv("QUERY_STRING", "Q_UPLOAD_ID=7");
  test::setEnv("REMOTE_ADDR", nullptr);
  EXPECT_EXIT(qDecode(), ::testing::ExitedWithCode(1),
              "");  // the message goes to stdout, checked by the process-level cases
  test::setEnv("CONTENT_TYPE", "");
  EXPECT_EQ(qDecode(), 1);
  EXPECT_STREQ(qValue("Q_UPLOAD_ID"), "7");
}

TEST_F(EntryList, ManyFieldsAppendInOrder) {
  std::string body;
  for (int i = 0; i < 20000; ++i) body += "f" + std::to_string(i) + "=" + std::to_string(i) + "&";
  EXPECT_EQ(split(body), 20000);
  int i = 0;
  for (Q_entry* e = qFirstEntry(); e; e = e->next, ++i) ASSERT_EQ(std::string(e->value), std::to_string(i));
  EXPECT_EQ(i, 20000);
}

std::string md5Hex(const std::string& text) { return qMd5Hex(text.c_str()); }

TEST(Md5, Rfc1321Vectors) {
  EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PaddingBoundaries) {
  // 55, 56 and 64 bytes put the length in the first block, a second block, and after a full block.
  EXPECT_EQ(md5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(md5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(md5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

// Digests of the stamps of the last few seconds for a client, one of which a
// call made just now must give.
std::vector<std::string> recentIds(const std::string& client) {
  std::vector<std::string> ids;
  for (int back = 0; back <= 2; ++back) {
    std::time_t t = std::time(nullptr) - back;
    std::tm local = *std::localtime(&t);
    char stamp[512];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d-%s", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, client.c_str());
    ids.push_back(md5Hex(std::string(stamp).substr(0, 255)));
  }
  return ids;
}

bool isRecentId(const std::string& id, const std::string& client) {
  std::vector<std::string> ids = recentIds(client);
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

TEST(RequestId, DigestOfTimeAddressAndPort) {
  test::setEnv("REMOTE_ADDR", "192.0.2.1");
  test::setEnv("REMOTE_PORT", "4000");
  std::string id = qUniqueRequestId();
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}")));
  EXPECT_TRUE(isRecentId(id, "192.0.2.1:4000"));
  // A later digest leaves the identifier already returned unchanged.
  const char* kept = qUniqueRequestId();
  std::string before = kept;
  qMd5Hex("something else");
  EXPECT_EQ(std::string(kept), before);
  test::setEnv("REMOTE_ADDR", nullptr);
  test::setEnv("REMOTE_PORT", nullptr);
}

TEST(RequestId, UnsetAndOverlongClient) {
  test::setEnv("REMOTE_ADDR", nullptr);
  test::setEnv("REMOTE_PORT", nullptr);
  EXPECT_TRUE(isRecentId(qUniqueRequestId(), ":"));
  // The stamp is cut at 255 characters, never overrun.
  std::string longAddress(400, 'a');
  test::setEnv("REMOTE_ADDR", longAddress.c_str());
  EXPECT_TRUE(isRecentId(qUniqueRequestId(), longAddress + ":"));
  test::setEnv("REMOTE_ADDR", nullptr);
}

}  // namespace
}  // namespace kavro
