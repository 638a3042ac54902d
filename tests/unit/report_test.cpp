#include "gateway/report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "gateway/settings.h"
#include "tests/support/fake_request.h"
#include "tests/support/temp_dir.h"

namespace kavro {
namespace {

// Runs reports into a request in memory and returns exactly what they wrote.
class Reporter : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }
  const std::string& written() const { return request_.output; }
  std::string page() const { return dir_ + "/down.html"; }
  void usePage(const std::string& content) {
    std::FILE* f = std::fopen(page().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    std::snprintf(settings_.sysDownPage, sizeof settings_.sysDownPage, "%s", page().c_str());
  }

  test::TempDir temp_{"kavro3-report"};
  const std::string& dir_ = temp_.path();
  test::FakeRequest request_;
  Settings settings_{};
};

TEST_F(Reporter, PlainTextForm) {
  reportError(request_, settings_, "KAVRO GetStdHandle failed, error %d.", 6);
  EXPECT_EQ(written(), "Content-type: text/plain\n\n\nKAVRO GetStdHandle failed, error 6.\n");
}

TEST_F(Reporter, TextsThatAreNotTemplatesStayAsTheyAre) {
  reportError(request_, settings_, "%s", "host %s:%d - 100%");
  EXPECT_EQ(written(), "Content-type: text/plain\n\n\nhost %s:%d - 100%\n");
}

TEST_F(Reporter, MessageIsCutAt1023Characters) {
  std::string longText(1500, 'm');
  reportError(request_, settings_, "%s", longText.c_str());
  EXPECT_EQ(written(), "Content-type: text/plain\n\n\n" + std::string(1023, 'm') + "\n");
}

TEST_F(Reporter, ReportsFollowEachOther) {
  reportError(request_, settings_, "KAVRO WriteFile failed, error %d.", 32);
  reportError(request_, settings_, "KAVRO WriteFile did not write complete reply.");
  EXPECT_EQ(written(),
            "Content-type: text/plain\n\n\nKAVRO WriteFile failed, error 32.\n"
            "Content-type: text/plain\n\n\nKAVRO WriteFile did not write complete reply.\n");
}

TEST_F(Reporter, OutagePageInPiecesOf1023Bytes) {
  std::string content;
  for (int i = 0; i < 2500; ++i) content += static_cast<char>('a' + i % 26);
  usePage(content);
  reportError(request_, settings_, "never shown");
  EXPECT_EQ(written(), "Content-type: text/html\n\n\n" + content.substr(0, 1023) + "\n" +
                           content.substr(1023, 1023) + "\n" + content.substr(2046) + "\n");
}

TEST_F(Reporter, OutagePageOfExactlyOnePiece) {
  // The end of the file is only seen by the read after the full piece.
  std::string content(1023, 'x');
  usePage(content);
  reportError(request_, settings_, "never shown");
  EXPECT_EQ(written(), "Content-type: text/html\n\n\n" + content + "\n\n");
}

TEST_F(Reporter, EmptyOutagePage) {
  usePage("");
  reportError(request_, settings_, "never shown");
  EXPECT_EQ(written(), "Content-type: text/html\n\n\n\n");
}

TEST_F(Reporter, MissingOutagePageWritesNothing) {
  std::snprintf(settings_.sysDownPage, sizeof settings_.sysDownPage, "%s", (dir_ + "/absent.html").c_str());
  reportError(request_, settings_, "never shown");
  EXPECT_EQ(written(), "");
}

TEST_F(Reporter, UnreadablePageFallsBackToPlainText) {
  // A directory opens for reading but every read fails.
  std::snprintf(settings_.sysDownPage, sizeof settings_.sysDownPage, "%s", dir_.c_str());
  reportError(request_, settings_, "engine down");
  EXPECT_EQ(written(), "Content-type: text/html\n\n\nContent-type: text/plain\n\n\nengine down\n");
}

}  // namespace
}  // namespace kavro
