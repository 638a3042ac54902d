// Spooled uploads on disk: names already taken by another request or by a
// planted symbolic link (its target there or not) are never opened, and
// FileMode 1 removes what it wrote. Run against both builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "engine/protocol.h"
#include "tests/process/fake_engine.h"
#include "tests/process/gateway_run.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace kavro::test {
namespace {

namespace fs = std::filesystem;

constexpr char kAddress[] = "192.0.2.9";
constexpr char kPort[] = "4711";

// The request identifiers the gateway can take from now on for a few seconds.
std::vector<std::string> comingIds() {
  std::vector<std::string> ids;
  for (int ahead = 0; ahead < 5; ++ahead) {
    std::time_t t = std::time(nullptr) + ahead;
    std::tm local = *std::localtime(&t);
    char stamp[256];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d-%s:%s", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, kAddress,
                  kPort);
    ids.push_back(qMd5Hex(stamp));
  }
  return ids;
}

class Spooling : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }

  // Runs the gateway on an upload-shaped query string and returns row 0 as
  // the engine received it.
  std::string run(const char* fileMode) {
    std::string error;
    FakeEngine engine;
    EXPECT_TRUE(engine.listen(0, &error)) << error;
    writeRegistry(dir_ + "/kavro3.reg", engine.port(), fileMode, dir_ + "/spool/");
    engine.start(acceptingScript("ok"));
    ChildResult result;
    EXPECT_TRUE(runGateway(
        dir_ + "/kavro3.reg",
        {"REQUEST_METHOD=GET", std::string("REMOTE_ADDR=") + kAddress, std::string("REMOTE_PORT=") + kPort,
         "QUERY_STRING=up=hello&up.length=5&up.filename=a.txt"},
        "", &result, 30, &error))
        << error;
    engine.stop();
    errors_ = result.errors;
    EXPECT_EQ(result.output, "ok") << result.errors;
    EXPECT_EQ(result.exitStatus, 0);
    std::vector<std::string> frames = engine.frames();
    EXPECT_EQ(frames.size(), 3u);
    engine::PayloadValues payload;
    if (frames.size() < 2 || !engine::parseRequest(frames[1], &payload)) {
      ADD_FAILURE() << "no Request message";
      return "";
    }
    return payload.row(0);
  }

  // The identifier the gateway used, read back from row 0's spool path.
  std::string usedId(const std::string& row0, int index) {
    std::string prefix = "up=" + dir_ + "/spool/" + std::to_string(index);
    EXPECT_EQ(row0.compare(0, prefix.size(), prefix), 0) << row0;
    return row0.substr(prefix.size(), 32);
  }

  TempDir temp_{"kavro3-spool"};
  const std::string& dir_ = temp_.path();
  std::string errors_;  // of the last run
};

TEST_F(Spooling, TakenNamesAreLeftAloneAndTheNextIndexIsUsed) {
  fs::create_directory(dir_ + "/spool");
  std::ofstream(dir_ + "/target") << "link target";
  // Whatever second the gateway meets, a file of another request stands at
  // index 0, a planted link at index 1 and a link whose target does not
  // exist at index 2: following it would create the target.
  for (const std::string& id : comingIds()) {
    std::ofstream(dir_ + "/spool/0" + id) << "another request's upload";
    fs::create_symlink(dir_ + "/target", dir_ + "/spool/1" + id);
    fs::create_symlink(dir_ + "/absent" + id, dir_ + "/spool/2" + id);
  }
  std::string row0 = run("2");
  std::string id = usedId(row0, 3);
  EXPECT_EQ(row0, "up=" + dir_ + "/spool/3" + id + "&up.length=5&up.filename=a.txt");
  EXPECT_EQ(readFile(dir_ + "/spool/3" + id), "hello");
  EXPECT_EQ(readFile(dir_ + "/spool/0" + id), "another request's upload");
  EXPECT_TRUE(fs::is_symlink(dir_ + "/spool/1" + id));
  EXPECT_EQ(readFile(dir_ + "/target"), "link target");
  EXPECT_TRUE(fs::is_symlink(dir_ + "/spool/2" + id));
  EXPECT_FALSE(fs::exists(dir_ + "/absent" + id));
}

TEST_F(Spooling, ModeOneRemovesTheFileItWrote) {
  fs::create_directory(dir_ + "/spool");
  std::string row0 = run("1");
  std::string id = usedId(row0, 0);
  EXPECT_EQ(id.size(), 32u);
  EXPECT_FALSE(fs::exists(dir_ + "/spool/0" + id));
}

TEST_F(Spooling, ModeTwoKeepsIt) {
  fs::create_directory(dir_ + "/spool");
  std::string row0 = run("2");
  EXPECT_EQ(readFile(dir_ + "/spool/0" + usedId(row0, 0)), "hello");
}

TEST_F(Spooling, MissingDirectoryGivesError) {
  std::string row0 = run("2");
  EXPECT_EQ(row0, "up=ERROR&up.length=5&up.filename=a.txt");
  // One error-log line names the file (index 0, the request's identifier)
  // and the system's reason.
  std::string made = " msg=KAVRO3 cannot make the spool file " + dir_ + "/spool/0";
  std::size_t at = errors_.find(made);
  ASSERT_NE(at, std::string::npos) << errors_;
  EXPECT_EQ(errors_.rfind("kavro3: ", 0), 0u) << errors_;
  EXPECT_EQ(std::count(errors_.begin(), errors_.end(), '\n'), 1) << errors_;
  std::string reason = errors_.substr(at + made.size() + 32);
  EXPECT_TRUE(reason.size() > 3 && reason.rfind(": ", 0) == 0) << errors_;
}

}  // namespace
}  // namespace kavro::test
