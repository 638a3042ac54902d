#include "gateway/forward.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "decoder/internal.h"
#include "gateway/url_encode.h"
#include "platform/request.h"
#include "tests/support/fake_request.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace kavro {
namespace {

namespace fs = std::filesystem;

char* heapBytes(const std::string& bytes) {
  char* copy = static_cast<char*>(std::malloc(bytes.size() + 1));
  std::memcpy(copy, bytes.data(), bytes.size());
  copy[bytes.size()] = '\0';
  return copy;
}

using test::readFile;

// A private list of entries, a spool directory and settings for each test.
class Forwarding : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    settings_ = Settings{};
    std::snprintf(settings_.filePath, sizeof settings_.filePath, "%s/", dir_.c_str());
    mode("1");
    request_.set("REMOTE_ADDR", "192.0.2.7");
    request_.set("REMOTE_PORT", "5555");
    qStartRequest(request_);
  }
  void TearDown() override {
    _entry_list_free(head_);
    releasePairText(&text_);
    spool_.reset();
    qEndRequest();
  }
  void mode(const char* fileMode) {
    std::snprintf(settings_.fileMode, sizeof settings_.fileMode, "%s", fileMode);
  }
  void add(const std::string& name, const std::string& value) {
    Q_entry* e = _entry_append(head_, heapBytes(name), heapBytes(value));
    if (head_ == nullptr) head_ = e;
  }
  // An uploaded file as the multipart decoder leaves it: the content (which
  // may hold zero bytes) and its three companions.
  void addFile(const std::string& name, const std::string& content, const std::string& length = "") {
    add(name, content);
    Q_entry* e = head_;
    while (e->next) e = e->next;
    qSetValueSize(e, content.size());
    add(name + ".length", length.empty() ? std::to_string(content.size()) : length);
    add(name + ".filename", "report.pdf");
    add(name + ".contenttype", "application/pdf");
  }
  Spool& spool() {
    if (!spool_) spool_ = std::make_unique<Spool>(settings_, request_);
    return *spool_;
  }
  std::string forward() {
    const char* failure = nullptr;
    EXPECT_TRUE(forwardFields(head_, spool(), &text_, &failure));
    return text_.data ? std::string(text_.data, text_.length) : std::string();
  }
  // The path of the file spooled under `index`, checked for its form:
  // FilePath, the index, and the request's 32 hex digits.
  std::string spoolName(int index) const {
    std::string prefix = dir_ + "/" + std::to_string(index);
    for (std::size_t i = 0; spool_ && i < spool_->count(); ++i) {
      std::string path = spool_->path(i);
      if (path.size() == prefix.size() + 32 && path.compare(0, prefix.size(), prefix) == 0 &&
          path.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos)
        return path;
    }
    ADD_FAILURE() << "nothing spooled under index " << index;
    return prefix;
  }
  std::string encodedSpoolName(int index) const {
    char* e = urlEncode(spoolName(index).c_str());
    std::string out = e;
    std::free(e);
    return out;
  }

  test::TempDir temp_{"kavro3-forward"};
  const std::string& dir_ = temp_.path();
  test::FakeRequest request_;
  Settings settings_{};
  Q_entry* head_ = nullptr;
  std::unique_ptr<Spool> spool_;
  PairText text_{};
};

TEST_F(Forwarding, OrdinaryFields) {
  EXPECT_EQ(forward(), "");
  EXPECT_EQ(text_.length, 0u);
  add("a", "1");
  add("b", "x y");
  add("empty", "");
  add("sym&", "=+");
  EXPECT_EQ(forward(), "a=1&b=x%20y&empty=&sym%26=%3D%2B");
  EXPECT_EQ(text_.data[text_.length], '\0');
}

TEST_F(Forwarding, SpooledFileAndItsCompanions) {
  add("before", "1");
  addFile("upload", std::string("ab\0cd", 5));
  std::string text = forward();
  EXPECT_EQ(text, "before=1&upload=" + encodedSpoolName(0) +
                      "&upload.length=5&upload.filename=report.pdf&upload.contenttype=application/pdf");
  ASSERT_EQ(spool().count(), 1u);
  EXPECT_EQ(readFile(spoolName(0)), std::string("ab\0cd", 5));
}

TEST_F(Forwarding, ModeTwoSpoolsAndModeThreeInlines) {
  mode("2");
  addFile("f", "hello");
  std::string text = forward();
  EXPECT_EQ(text,
            "f=" + encodedSpoolName(0) + "&f.length=5&f.filename=report.pdf&f.contenttype=application/pdf");
  releasePairText(&text_);
  _entry_list_free(head_);
  head_ = nullptr;
  mode("3");
  addFile("f", std::string("te xt\0hidden", 12));
  EXPECT_EQ(forward(), "f=te%20xt&f.length=12&f.filename=report.pdf&f.contenttype=application/pdf");
}

TEST_F(Forwarding, OtherModesSkip) {
  for (const char* m : {"4", "", "x", "0"}) {
    mode(m);
    _entry_list_free(head_);
    head_ = nullptr;
    releasePairText(&text_);
    addFile("f", "hello");
    EXPECT_EQ(forward().substr(0, 10), "f=SKIPPED&") << "FileMode [" << m << "]";
  }
  EXPECT_EQ(spool().count(), 0u);
}

TEST_F(Forwarding, ModeTwelveCountsAsOne) {
  mode("12");
  addFile("f", "x");
  std::string text = forward();
  EXPECT_EQ(text.substr(0, 2 + encodedSpoolName(0).size()), "f=" + encodedSpoolName(0));
}

TEST_F(Forwarding, TwentyFilesThenSkipped) {
  for (int i = 0; i < 21; ++i) addFile("f" + std::to_string(i), "content" + std::to_string(i));
  std::string text = forward();
  EXPECT_EQ(spool().count(), 20u);
  EXPECT_NE(text.find("f19=" + encodedSpoolName(19) + "&"), std::string::npos);
  EXPECT_NE(text.find("f20=SKIPPED&"), std::string::npos);
  EXPECT_EQ(readFile(spoolName(19)), "content19");
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) names.push_back(spoolName(i));
  spool().end();
  EXPECT_EQ(spool().count(), 0u);
  for (const std::string& name : names) EXPECT_FALSE(fs::exists(name)) << name;
}

TEST_F(Forwarding, FileThatCannotBeCreatedGivesItsSlotBack) {
  std::snprintf(settings_.filePath, sizeof settings_.filePath, "%s/missing-dir/", dir_.c_str());
  addFile("a", "1");
  std::string text = forward();
  EXPECT_EQ(text.substr(0, 8), "a=ERROR&");
  EXPECT_EQ(spool().count(), 0u);
  EXPECT_EQ(spool().nextIndex(), 0);
  // The next file field takes index 0.
  std::snprintf(settings_.filePath, sizeof settings_.filePath, "%s/", dir_.c_str());
  _entry_list_free(head_);
  head_ = nullptr;
  releasePairText(&text_);
  addFile("b", "2");
  forward();
  EXPECT_EQ(readFile(spoolName(0)), "2");
}

TEST_F(Forwarding, TakenNamesMoveToTheNextIndex) {
  // A file and a symbolic link already stand under the first two names.
  std::string id = qUniqueRequestId();
  std::string first = dir_ + "/0" + id;
  std::string second = dir_ + "/1" + id;
  std::ofstream(first) << "someone else's";
  std::string target = dir_ + "/target";
  std::ofstream(target) << "link target";
  fs::create_symlink(target, second);
  addFile("f", "mine");
  std::string text = forward();
  if (id != qUniqueRequestId()) GTEST_SKIP() << "the second turned during the test";
  EXPECT_EQ(text.substr(0, 2 + encodedSpoolName(2).size()), "f=" + encodedSpoolName(2));
  EXPECT_EQ(readFile(first), "someone else's");
  EXPECT_EQ(readFile(target), "link target");
  EXPECT_TRUE(fs::is_symlink(second));
  EXPECT_EQ(readFile(spoolName(2)), "mine");
  EXPECT_EQ(spool().nextIndex(), 3);
}

TEST_F(Forwarding, BlankInFilePathIsEncoded) {
  std::string spaced = dir_ + "/my spool/";
  fs::create_directory(spaced);
  std::snprintf(settings_.filePath, sizeof settings_.filePath, "%s", spaced.c_str());
  addFile("f", "x");
  std::string text = forward();
  EXPECT_NE(text.find("my%20spool/0"), std::string::npos) << text;
}

TEST_F(Forwarding, LengthIsCappedAtTheValue) {
  // A query string shaped like an upload must not make the gateway copy
  // memory beyond the value into a file.
  add("up", "abc");
  add("up.length", "1000000");
  add("up.filename", "x");
  forward();
  EXPECT_EQ(readFile(spoolName(0)), "abc");
}

TEST_F(Forwarding, LengthComesFromTheCompanionRightAfterTheFile) {
  add("up.length", "1");  // an earlier entry of the companion's name does not steer the upload
  addFile("up", "abcdef", "4");
  forward();
  EXPECT_EQ(readFile(spoolName(0)), "abcd");
}

TEST_F(Forwarding, ZeroOrNegativeLengthWritesAnEmptyFile) {
  addFile("a", "abc", "0");
  addFile("b", "abc", "-5");
  forward();
  EXPECT_EQ(readFile(spoolName(0)), "");
  EXPECT_EQ(readFile(spoolName(1)), "");
}

TEST_F(Forwarding, ShapeMustBeExact) {
  add("f", "v");
  add("f.length", "1");
  add("f.fileName", "x");  // case matters
  add("g", "v");
  add("g.filename", "x");  // .length must come first
  add("g.length", "1");
  std::string name(300, 'n');  // long names are recognised, never cut into another name
  addFile(name, "long");
  std::string text = forward();
  EXPECT_EQ(text.substr(0, 4), "f=v&");
  EXPECT_NE(text.find("&g=v&"), std::string::npos);
  EXPECT_EQ(spool().count(), 1u);
  EXPECT_EQ(readFile(spoolName(0)), "long");
}

TEST(AppendPair, GrowsAndKeepsEverything) {
  PairText text{nullptr, 0, 0};
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    std::string name = "n" + std::to_string(i);
    ASSERT_TRUE(appendPair(&text, name.c_str(), "v"));
    expected += name + "=v&";
  }
  EXPECT_EQ(std::string(text.data, text.length), expected);
  EXPECT_GE(text.capacity, text.length);
  releasePairText(&text);
}

// An upload left in standard input mapped whole is written from the
// mapping: the spooled file holds the content's bytes however they lie
// against pages, and the terminator the decoder writes after a value in the
// mapping never reaches it.
TEST(SpoolFromMappedInput, FileHoldsTheContentAsItStandsInTheInput) {
  std::string body(300000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 7919) >> 3);
  ASSERT_TRUE(test::setStandardInputForTests(body.data(), body.size(), true));
  platform::CgiRequest input;
  std::size_t size = 0;
  char* mapped = input.mapBody(&size);
  ASSERT_NE(mapped, nullptr);
  ASSERT_EQ(size, body.size());
  test::TempDir temp("kavro3-spool-mapped");
  const std::string& dir = temp.path();
  auto write = [](const std::string& path, const char* data, std::size_t length) {
    platform::File file = platform::kInvalidFile;
    if (platform::fileCreateNew(path.c_str(), &file) != platform::CreateStatus::kCreated) return false;
    bool written = platform::fileWrite(file, data, length);
    return platform::fileClose(file) && written;
  };
  struct Range {
    std::size_t start, length;
  } ranges[] = {{0, body.size()}, {156, 200000}, {4096, 8192}, {299999, 1}};
  int n = 0;
  for (const Range& r : ranges) {
    if (r.start + r.length < body.size()) mapped[r.start + r.length] = '\0';
    std::string path = dir + "/" + std::to_string(n++);
    ASSERT_TRUE(write(path, mapped + r.start, r.length));
    EXPECT_TRUE(readFile(path) == body.substr(r.start, r.length)) << r.start << "+" << r.length;
  }
  // Bytes elsewhere in memory are written as they stand.
  std::string other = "not in the input";
  ASSERT_TRUE(write(dir + "/other", other.data(), other.size()));
  EXPECT_EQ(readFile(dir + "/other"), other);
  input.unmapBody(mapped, size);
  EXPECT_TRUE(test::setStandardInputForTests("", 0, true));
}

}  // namespace
}  // namespace kavro
