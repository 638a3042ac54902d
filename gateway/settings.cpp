#include "gateway/settings.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "decoder/decimal.h"
#include "gateway/strings.h"
#include "gateway/url_encode.h"
#include "platform/platform.h"

namespace kavro {
namespace {

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

static_assert(sizeof kSettings / sizeof kSettings[0] == kSettingCount);

char* bufferOf(Settings* s, const Setting& setting) { return reinterpret_cast<char*>(s) + setting.offset; }
const char* bufferOf(const Settings& s, const Setting& setting) {
  return reinterpret_cast<const char*>(&s) + setting.offset;
}

// Every initial value fits its buffer, so a plain copy is bounded.
void setText(Settings* s, const Setting& setting, const char* text) {
  std::size_t length = std::strlen(text);
  if (length > setting.maxBytes) length = setting.maxBytes;
  std::memcpy(bufferOf(s, setting), text, length);
  bufferOf(s, setting)[length] = '\0';
}

// Reads one REG_SZ value; anything else (missing, too long, another type)
// takes the initial value. Without a key every read fails.
void readSetting(platform::RegKey* key, const Setting& setting, Settings* s, SettingOrigin* origin) {
  char* buffer = bufferOf(s, setting);
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
        s->keyChoice == KeyChoice::kApplication ? SettingSource::kApplicationKey : SettingSource::kBaseKey;
    return;
  }
  if (key == nullptr) {
    origin->source = SettingSource::kNoKey;
  } else if (status == platform::RegStatus::kMoreData) {
    *origin = SettingOrigin{SettingSource::kTooLong, type, size};
  } else if (status == platform::RegStatus::kOk) {
    *origin = SettingOrigin{SettingSource::kWrongType, type, size};
  } else {
    origin->source = SettingSource::kMissing;
  }
  setText(s, setting, setting.initial);
}

void appendEncoded(RegistryInfo* info, const char* text) {
  char* encoded = urlEncode(text);
  if (encoded != nullptr) info->append(encoded);
  std::free(encoded);
}

}  // namespace

SettingView settingView(const Settings& settings, std::size_t index) {
  const Setting& s = kSettings[index];
  const SettingOrigin& origin = settings.origins[index];
  return SettingView{s.name,
                     bufferOf(settings, s),
                     s.maxBytes,
                     s.initial,
                     s.when == ReadWhen::kKeyOpened,
                     s.inRegistryInfo,
                     origin.source,
                     origin.storedType,
                     origin.storedSize};
}

int engineTimeoutSeconds(const Settings& s) {
  return static_cast<int>(readDecimal(s.engineTimeout, 0, kEngineTimeoutMax));
}

const char* settingsKeyName(const Settings& settings) {
  switch (settings.keyChoice) {
    case KeyChoice::kNotRead: return "-";
    case KeyChoice::kNone: return "none";
    case KeyChoice::kApplication:
    case KeyChoice::kBase: break;
  }
  return settings.keyPath;
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

void readSettings(const char* scriptName, Settings* s) {
  platform::RegKey* key = nullptr;
  s->keyChoice = KeyChoice::kApplication;
  if (applicationKeyPath(scriptName, s->keyPath, sizeof s->keyPath)) key = platform::regOpenKey(s->keyPath);
  if (key == nullptr) {
    s->keyChoice = KeyChoice::kBase;
    std::memcpy(s->keyPath, kBaseKey, sizeof kBaseKey);
    key = platform::regOpenKey(s->keyPath);
  }
  if (key == nullptr) {
    s->keyChoice = KeyChoice::kNone;
    s->keyPath[0] = '\0';
  }

  for (const Setting& setting : kSettings) setText(s, setting, setting.initial);
  for (std::size_t i = 0; i < kSettingCount; ++i) {
    const Setting& setting = kSettings[i];
    s->origins[i] = SettingOrigin{SettingSource::kNotRead, platform::kRegNone, 0};
    if (setting.when == ReadWhen::kKeyOpened && key == nullptr) continue;
    readSetting(key, setting, s, &s->origins[i]);
  }
  if (key != nullptr) platform::regCloseKey(key);
}

void buildRegistryInfo(const Settings& s, RegistryInfo* info) {
  info->assign("RegistryInfo=");
  if (s.keyChoice == KeyChoice::kApplication || s.keyChoice == KeyChoice::kBase)
    appendEncoded(info, s.keyPath);
  // The settings that were read, defaulted ones included; those not looked up
  // because no key opened are left out.
  for (std::size_t i = 0; i < kSettingCount; ++i) {
    const Setting& setting = kSettings[i];
    if (!setting.inRegistryInfo || s.origins[i].source == SettingSource::kNotRead) continue;
    info->append("&");
    info->append(setting.name);
    info->append("=");
    appendEncoded(info, bufferOf(s, setting));
  }
}

}  // namespace kavro
