#include "gateway/settings.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "gateway/strings.h"
#include "gateway/url_encode.h"
#include "platform/platform.h"

namespace kavro {
namespace {

Settings gSettings;
FixedText<kRegistryInfoMax + 1> gRegistryInfo;
char gKeyPath[kKeyPathMax + 1];
KeyChoice gKeyChoice = KeyChoice::kNotRead;

enum class ReadWhen { kKeyOpened, kAlways };

struct Setting {
  const char* name;
  std::size_t offset;    // of the buffer in Settings
  std::size_t maxBytes;  // offered to the store; the buffer has one byte more
  const char* initial;   // the value before reading, and when the read fails
  ReadWhen when;
  bool inRegistryInfo;
};

#define KAVRO_SETTING(member) offsetof(Settings, member), sizeof(Settings::member) - 1

// In the order of reading, which is also the order of the pairs in RegistryInfo.
// EngineName has no default of its own: a failed read leaves it at its start
// value, which is the same empty text.
const Setting kSettings[] = {
    {"EngineName", KAVRO_SETTING(engineName), "", ReadWhen::kKeyOpened, true},
    {"ServerURL", KAVRO_SETTING(serverUrl), "localhost", ReadWhen::kKeyOpened, true},
    {"ServerPort", KAVRO_SETTING(serverPort), "8088", ReadWhen::kKeyOpened, true},
    {"ApplicationName", KAVRO_SETTING(applicationName), "", ReadWhen::kKeyOpened, true},
    {"UserName", KAVRO_SETTING(userName), "", ReadWhen::kKeyOpened, true},
    {"UserPassword", KAVRO_SETTING(userPassword), "", ReadWhen::kKeyOpened, false},
    {"ProcedureName", KAVRO_SETTING(procedureName), "RUN_KAVRO_REQUEST", ReadWhen::kKeyOpened, false},
    {"StartupFlags", KAVRO_SETTING(startupFlags), "65", ReadWhen::kAlways, true},
    {"ShutdownFlags", KAVRO_SETTING(shutdownFlags), "1", ReadWhen::kAlways, true},
    {"FilePath", KAVRO_SETTING(filePath), "", ReadWhen::kAlways, true},
    {"FileMode", KAVRO_SETTING(fileMode), "1", ReadWhen::kAlways, true},
    {"SysDownPage", KAVRO_SETTING(sysDownPage), "", ReadWhen::kAlways, true},
    {"HXLocation", KAVRO_SETTING(hxLocation), "", ReadWhen::kAlways, true},
    {"AdditionalValues", KAVRO_SETTING(additionalValues), "", ReadWhen::kAlways, true},
    {"MultipleServers", KAVRO_SETTING(multipleServers), "0", ReadWhen::kAlways, false},
    {"EngineTimeout", KAVRO_SETTING(engineTimeout), "", ReadWhen::kAlways, false},
};

#undef KAVRO_SETTING

constexpr std::size_t kSettingCount = sizeof kSettings / sizeof kSettings[0];

struct Origin {
  SettingSource source;
  std::uint32_t type;
  std::size_t size;
};
Origin gOrigins[kSettingCount];

char* bufferOf(const Setting& setting) { return reinterpret_cast<char*>(&gSettings) + setting.offset; }

// Every initial value fits its buffer, so a plain copy is bounded.
void setText(const Setting& setting, const char* text) {
  std::size_t length = std::strlen(text);
  if (length > setting.maxBytes) length = setting.maxBytes;
  std::memcpy(bufferOf(setting), text, length);
  bufferOf(setting)[length] = '\0';
}

// Reads one REG_SZ value; anything else (missing, too long, another type)
// takes the initial value. Without a key every read fails.
void readSetting(platform::RegKey* key, const Setting& setting, Origin* origin) {
  char* buffer = bufferOf(setting);
  std::uint32_t type = platform::kRegNone;
  std::size_t size = setting.maxBytes;
  platform::RegStatus status = platform::RegStatus::kNotFound;
  if (key != nullptr)
    status =
        platform::regQueryValue(key, setting.name, &type, reinterpret_cast<unsigned char*>(buffer), &size);
  if (status == platform::RegStatus::kOk && type == platform::kRegSz) {
    // The data may lack its terminator; the text ends at its first zero byte.
    buffer[size] = '\0';
    origin->source =
        gKeyChoice == KeyChoice::kApplication ? SettingSource::kApplicationKey : SettingSource::kBaseKey;
    return;
  }
  if (key == nullptr) {
    origin->source = SettingSource::kNoKey;
  } else if (status == platform::RegStatus::kMoreData) {
    *origin = Origin{SettingSource::kTooLong, type, size};
  } else if (status == platform::RegStatus::kOk) {
    *origin = Origin{SettingSource::kWrongType, type, size};
  } else {
    origin->source = SettingSource::kMissing;
  }
  setText(setting, setting.initial);
}

void appendEncoded(const char* text) {
  char* encoded = urlEncode(text);
  if (encoded != nullptr) gRegistryInfo.append(encoded);
  std::free(encoded);
}

}  // namespace

Settings& settings() { return gSettings; }
const char* registryInfo() { return gRegistryInfo.c_str(); }
std::size_t registryInfoLength() { return gRegistryInfo.size(); }
KeyChoice settingsKeyChoice() { return gKeyChoice; }
const char* settingsKeyPath() { return gKeyPath; }
std::size_t settingCount() { return kSettingCount; }

SettingView settingView(std::size_t index) {
  const Setting& s = kSettings[index];
  const Origin& origin = gOrigins[index];
  return SettingView{s.name,           bufferOf(s),   s.maxBytes,  s.initial,  s.when == ReadWhen::kKeyOpened,
                     s.inRegistryInfo, origin.source, origin.type, origin.size};
}

int engineTimeoutSeconds(const Settings& s) {
  const char* text = s.engineTimeout;
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  if (*text == '-') return 0;
  if (*text == '+') ++text;
  int seconds = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    seconds = seconds * 10 + (*text - '0');
    if (seconds > kEngineTimeoutMax) return kEngineTimeoutMax;
  }
  return seconds;
}

bool applicationKeyPath(const char* scriptName, char* path, std::size_t capacity) {
  if (scriptName == nullptr || scriptName[0] == '\0' || std::strlen(scriptName) > kKeyPathMax) return false;
  // The first character is skipped whatever it is; then strtok's rule: leading
  // slashes go, and the segment runs to the next slash.
  const char* segment = scriptName + 1;
  while (*segment == '/') ++segment;
  std::size_t length = std::strcspn(segment, "/");
  if (length == 0) return false;
  std::size_t baseLength = sizeof kBaseKey - 1;
  // A path that does not fit is not cut into another application's key name.
  if (baseLength + 1 + length > kKeyPathMax || baseLength + 1 + length >= capacity) return false;
  std::memcpy(path, kBaseKey, baseLength);
  path[baseLength] = '\\';
  std::memcpy(path + baseLength + 1, segment, length);
  path[baseLength + 1 + length] = '\0';
  return true;
}

void readSettings(const char* scriptName) {
  platform::RegKey* key = nullptr;
  gKeyChoice = KeyChoice::kApplication;
  if (applicationKeyPath(scriptName, gKeyPath, sizeof gKeyPath)) key = platform::regOpenKey(gKeyPath);
  if (key == nullptr) {
    gKeyChoice = KeyChoice::kBase;
    std::memcpy(gKeyPath, kBaseKey, sizeof kBaseKey);
    key = platform::regOpenKey(gKeyPath);
  }
  if (key == nullptr) {
    gKeyChoice = KeyChoice::kNone;
    gKeyPath[0] = '\0';
  }

  gRegistryInfo.assign("RegistryInfo=");
  if (key != nullptr) appendEncoded(gKeyPath);

  for (const Setting& setting : kSettings) setText(setting, setting.initial);
  for (std::size_t i = 0; i < kSettingCount; ++i) {
    const Setting& setting = kSettings[i];
    gOrigins[i] = Origin{SettingSource::kNotRead, platform::kRegNone, 0};
    if (setting.when == ReadWhen::kKeyOpened && key == nullptr) continue;
    readSetting(key, setting, &gOrigins[i]);
    if (!setting.inRegistryInfo) continue;
    gRegistryInfo.append("&");
    gRegistryInfo.append(setting.name);
    gRegistryInfo.append("=");
    appendEncoded(bufferOf(setting));
  }
  if (key != nullptr) platform::regCloseKey(key);
}

}  // namespace kavro
