#include "gateway/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "gateway/url_encode.h"
#include "platform/posix/reg_store.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace kavro {
namespace {

std::string encoded(const char* text) {
  char* e = urlEncode(text);
  std::string out = e ? e : "(null)";
  std::free(e);
  return out;
}

TEST(UrlEncode, KeepsOnlyTheSafeCharacters) {
  EXPECT_EQ(encoded("azAZ09@./\\-_:"), "azAZ09@./\\-_:");
  EXPECT_EQ(encoded("a b&c=d+e"), "a%20b%26c%3Dd%2Be");
  EXPECT_EQ(encoded("\xE9~%?#\x01\xFE"), "%E9%7E%25%3F%23%01%FE");
  EXPECT_EQ(encoded(""), "");
  EXPECT_EQ(urlEncode(nullptr), nullptr);
}

TEST(ApplicationKey, FirstSegmentOfScriptName) {
  struct Case {
    const char* scriptName;
    const char* path;  // null: no per-application key
  };
  const Case cases[] = {
      {"/sales/gateway.exe", "SOFTWARE\\Halvorn\\KAVRO3\\sales"},
      {"/gateway.exe", "SOFTWARE\\Halvorn\\KAVRO3\\gateway.exe"},
      {"//sales/x", "SOFTWARE\\Halvorn\\KAVRO3\\sales"},
      {"xsales/x", "SOFTWARE\\Halvorn\\KAVRO3\\sales"},  // the first character is skipped whatever it is
      {nullptr, nullptr},
      {"", nullptr},
      {"/", nullptr},
      {"////", nullptr},
  };
  for (const Case& c : cases) {
    char path[kKeyPathMax + 1];
    bool found = applicationKeyPath(c.scriptName, path, sizeof path);
    if (c.path == nullptr) {
      EXPECT_FALSE(found) << (c.scriptName ? c.scriptName : "(unset)");
    } else {
      ASSERT_TRUE(found) << c.scriptName;
      EXPECT_STREQ(path, c.path);
    }
  }
}

TEST(ApplicationKey, TooLongForTheKeyPathFallsBack) {
  char path[kKeyPathMax + 1];
  std::string fits = "/" + std::string(kKeyPathMax - sizeof kBaseKey, 'a');  // base + '\' + segment = 2047
  EXPECT_TRUE(applicationKeyPath(fits.c_str(), path, sizeof path));
  EXPECT_EQ(std::string(path).size(), kKeyPathMax);
  std::string tooLong = fits + "a";
  EXPECT_FALSE(applicationKeyPath(tooLong.c_str(), path, sizeof path));
  std::string longScript = "/a/" + std::string(kKeyPathMax, 'b');
  EXPECT_FALSE(applicationKeyPath(longScript.c_str(), path, sizeof path));
}

TEST(EngineTimeout, SecondsReadLikeAtoiWithinTheirBound) {
  struct Row {
    const char* text;
    int seconds;
  } rows[] = {
      {"", 0},
      {"0", 0},
      {"30", 30},
      {" 7", 7},
      {"\t+12", 12},
      {"15s", 15},
      {"-5", 0},
      {"abc", 0},
      {"1 0", 1},
      {"2000000", kEngineTimeoutMax},
      {"2000001", kEngineTimeoutMax},
      {"99999999", kEngineTimeoutMax},
      {"00000009", 9},
  };
  Settings s{};
  for (const Row& row : rows) {
    std::snprintf(s.engineTimeout, sizeof s.engineTimeout, "%s", row.text);
    EXPECT_EQ(engineTimeoutSeconds(s), row.seconds) << "[" << row.text << "]";
  }
}

// The view of the setting `name` in `s`.
SettingView viewOf(const Settings& s, const char* name) {
  for (std::size_t i = 0; i < kSettingCount; ++i)
    if (std::string(settingView(s, i).name) == name) return settingView(s, i);
  ADD_FAILURE() << "no setting " << name;
  return settingView(s, 0);
}

// Each test reads its own .reg file.
class SettingsFromFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    path_ = dir_ + "/kavro3.reg";
  }
  void TearDown() override {
    test::setEnv("KAVRO3_REGISTRY", nullptr);
    platform::regForgetIfChanged();
  }
  // Each test's file is a new one: the store read before goes.
  void useFile(const std::string& text) {
    ASSERT_TRUE(test::writeFile(path_, text));
    test::setEnv("KAVRO3_REGISTRY", path_.c_str());
    platform::regForgetIfChanged();
  }
  void read(const char* scriptName) { readSettings(scriptName, &s_); }
  std::string info() const {
    RegistryInfo text;
    buildRegistryInfo(s_, &text);
    return text.c_str();
  }
  test::TempDir temp_{"kavro3-settings"};
  const std::string& dir_ = temp_.path();
  std::string path_;
  Settings s_{};
};

TEST_F(SettingsFromFile, NoKeyGivesDefaults) {
  test::setEnv("KAVRO3_REGISTRY", (dir_ + "/absent.reg").c_str());
  platform::regForgetIfChanged();
  read("/shop/gw");
  EXPECT_STREQ(info().c_str(),
               "RegistryInfo=&StartupFlags=65&ShutdownFlags=1&FilePath=&FileMode=1&SysDownPage=&HXLocation="
               "&AdditionalValues=");
  EXPECT_STREQ(s_.serverUrl, "localhost");
  EXPECT_STREQ(s_.serverPort, "8088");
  EXPECT_STREQ(s_.procedureName, "RUN_KAVRO_REQUEST");
  EXPECT_STREQ(s_.multipleServers, "0");
  EXPECT_STREQ(s_.userName, "");
  EXPECT_EQ(s_.keyChoice, KeyChoice::kNone);
  EXPECT_STREQ(s_.keyPath, "");
  EXPECT_EQ(viewOf(s_, "ServerURL").source, SettingSource::kNotRead);
  EXPECT_EQ(viewOf(s_, "StartupFlags").source, SettingSource::kNoKey);
  EXPECT_STREQ(viewOf(s_, "StartupFlags").value, "65");
}

TEST_F(SettingsFromFile, BaseKeyWhenNoApplicationKey) {
  useFile(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3]\n\"ServerURL\"=\"a "
      "b\"\n\"UserName\"=\"admin\"\n"
      "\"UserPassword\"=\"secret\"\n\"MultipleServers\"=\"1\"\n\"EngineTimeout\"=\"30\"\n");
  read("/shop/gw");
  EXPECT_STREQ(info().c_str(),
               "RegistryInfo=SOFTWARE\\Halvorn\\KAVRO3&EngineName=&ServerURL=a%20b&ServerPort=8088"
               "&ApplicationName=&UserName=admin&StartupFlags=65&ShutdownFlags=1&FilePath=&FileMode=1"
               "&SysDownPage=&HXLocation=&AdditionalValues=");
  EXPECT_STREQ(s_.userPassword, "secret");
  EXPECT_STREQ(s_.multipleServers, "1");
  EXPECT_STREQ(s_.engineTimeout, "30");  // read, but never in RegistryInfo
  EXPECT_EQ(s_.keyChoice, KeyChoice::kBase);
  EXPECT_STREQ(s_.keyPath, "SOFTWARE\\Halvorn\\KAVRO3");
  EXPECT_EQ(viewOf(s_, "ServerURL").source, SettingSource::kBaseKey);
  EXPECT_EQ(viewOf(s_, "ServerPort").source, SettingSource::kMissing);
}

TEST_F(SettingsFromFile, ApplicationKeyHidesTheBaseKey) {
  useFile(
      "REGEDIT4\n[HKLM\\SOFTWARE\\Halvorn\\KAVRO3]\n\"ServerPort\"=\"1111\"\n\"FileMode\"=\"2\"\n"
      "\"EngineTimeout\"=\"5\"\n"
      "[HKLM\\SOFTWARE\\Halvorn\\KAVRO3\\Shop]\n\"ServerURL\"=\"engine\"\n\"FileMode\"=\"12\"\n");
  read("/shop/run.exe");
  EXPECT_STREQ(s_.serverUrl, "engine");
  EXPECT_STREQ(s_.serverPort, "8088");  // missing in the subkey: default, never the base key's
  EXPECT_STREQ(s_.fileMode, "12");
  EXPECT_STREQ(s_.engineTimeout, "");
  EXPECT_EQ(info().rfind("RegistryInfo=SOFTWARE\\Halvorn\\KAVRO3\\shop&EngineName=&", 0), 0u);
  EXPECT_EQ(s_.keyChoice, KeyChoice::kApplication);
  EXPECT_STREQ(s_.keyPath, "SOFTWARE\\Halvorn\\KAVRO3\\shop");  // spelled as SCRIPT_NAME has it
  EXPECT_EQ(viewOf(s_, "ServerURL").source, SettingSource::kApplicationKey);
  EXPECT_EQ(viewOf(s_, "ServerPort").source, SettingSource::kMissing);
}

TEST_F(SettingsFromFile, OnlyPlainStringsWithinTheirSizeCount) {
  std::string longPath(1023, 'p');  // 1023 bytes and the terminator: one too many
  useFile(
      "REGEDIT4\n[HKLM\\SOFTWARE\\Halvorn\\KAVRO3]\n"
      "\"ServerURL\"=hex(2):65,6e,67,00\n"
      "\"ServerPort\"=dword:00001f90\n"
      "\"EngineName\"=hex:01,02\n"
      "\"ApplicationName\"=hex(1):73,68,6f,70\n"
      "\"StartupFlags\"=\"123456789\"\n"
      "\"ShutdownFlags\"=\"12345678\"\n"
      "\"HXLocation\"=hex(1):61,00,62,00\n"
      "\"FilePath\"=\"" +
      longPath + "\"\n");
  read(nullptr);
  EXPECT_STREQ(s_.serverUrl, "localhost");     // REG_EXPAND_SZ does not count
  EXPECT_STREQ(s_.serverPort, "8088");         // nor a DWORD
  EXPECT_STREQ(s_.engineName, "");             // binary data never leaks into the text
  EXPECT_STREQ(s_.applicationName, "shop");    // REG_SZ without its terminator
  EXPECT_STREQ(s_.startupFlags, "65");         // 10 bytes with the terminator: too long
  EXPECT_STREQ(s_.shutdownFlags, "12345678");  // 9 bytes: fits
  EXPECT_STREQ(s_.hxLocation, "a");            // ends at its first zero byte
  EXPECT_STREQ(s_.filePath, "");
  struct Expected {
    const char* name;
    SettingSource source;
    std::uint32_t type;
    std::size_t size;
  };
  const Expected sources[] = {
      {"ServerURL", SettingSource::kWrongType, platform::kRegExpandSz, 4},
      {"ServerPort", SettingSource::kWrongType, platform::kRegDword, 4},
      {"EngineName", SettingSource::kWrongType, platform::kRegBinary, 2},
      {"StartupFlags", SettingSource::kTooLong, platform::kRegSz, 10},
      {"FilePath", SettingSource::kTooLong, platform::kRegSz, 1024},
      {"ApplicationName", SettingSource::kBaseKey, 0, 0},
      {"ShutdownFlags", SettingSource::kBaseKey, 0, 0},
  };
  for (const Expected& e : sources) {
    SettingView v = viewOf(s_, e.name);
    EXPECT_EQ(v.source, e.source) << e.name;
    if (e.source == SettingSource::kBaseKey) continue;
    EXPECT_EQ(v.storedType, e.type) << e.name;
    EXPECT_EQ(v.storedSize, e.size) << e.name;
  }
}

TEST_F(SettingsFromFile, RegistryInfoIsCutAtItsBound) {
  std::string big(2000, 'x');
  useFile("REGEDIT4\n[HKLM\\SOFTWARE\\Halvorn\\KAVRO3]\n\"AdditionalValues\"=\"" + big +
          "\"\n\"SysDownPage\"=\"" + std::string(1000, '&') + "\"\n");
  read("/");
  EXPECT_EQ(info().size(), kRegistryInfoMax);
  EXPECT_EQ(info().size(), kRegistryInfoMax);
  EXPECT_EQ(std::string(s_.additionalValues), big);
}

}  // namespace
}  // namespace kavro
