// The gateway's settings, read once per run from the settings store.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gateway/strings.h"

namespace kavro {

enum class KeyChoice : unsigned char { kNotRead, kNone, kApplication, kBase };

enum class SettingSource : unsigned char {
  kApplicationKey,  // read from the per-application key
  kBaseKey,         // read from the base key
  kMissing,         // default: the key has no such value
  kTooLong,         // default: the value is larger than the setting's maximum
  kWrongType,       // default: the value is not REG_SZ
  kNoKey,           // default: no key opened, so the read failed
  kNotRead,         // start value: not looked up when no key opened
};

// Where one setting's value came from, for RegistryInfo, the reports and
// kavro3-check. Recording it costs the run a few stores.
struct SettingOrigin {
  SettingSource source;
  std::uint32_t storedType;  // kWrongType, kTooLong: the type found
  std::size_t storedSize;    // kTooLong: the bytes the value needs
};

inline constexpr char kBaseKey[] = "SOFTWARE\\Halvorn\\KAVRO3";
inline constexpr std::size_t kKeyPathMax = 2047;
inline constexpr std::size_t kRegistryInfoMax = 2047;
inline constexpr std::size_t kSettingCount = 16;

// One run's settings. Each buffer has room for the setting's maximum byte
// count plus a terminator. A record that was never read has every text
// empty and keyChoice kNotRead.
struct Settings {
  char engineName[260 + 1];
  char serverUrl[2047 + 1];
  char serverPort[2047 + 1];
  char applicationName[128 + 1];
  char userName[128 + 1];
  char userPassword[128 + 1];
  char procedureName[128 + 1];
  char startupFlags[9 + 1];
  char shutdownFlags[9 + 1];
  char filePath[1023 + 1];
  char fileMode[9 + 1];
  char sysDownPage[1023 + 1];
  char hxLocation[1023 + 1];
  char additionalValues[2047 + 1];
  char multipleServers[9 + 1];
  // Ours: seconds that each wait for the Engine Server may last; never in
  // RegistryInfo, so the engine sees the same digest as without it.
  char engineTimeout[9 + 1];

  // The key the settings came from: its path, empty when no key opened.
  KeyChoice keyChoice;
  char keyPath[kKeyPathMax + 1];
  SettingOrigin origins[kSettingCount];  // in the order of reading
};

// Chooses the key from SCRIPT_NAME's first path segment (the per-application
// key, else the base key, else none) and reads every setting with its
// default into `settings`.
void readSettings(const char* scriptName, Settings* settings);

// "RegistryInfo=" and the urlencoded key path and settings, for the engine.
using RegistryInfo = FixedText<kRegistryInfoMax + 1>;
void buildRegistryInfo(const Settings& settings, RegistryInfo* info);

// EngineTimeout as a number of seconds, read like atoi (leading blanks, digits
// up to the first non-digit); 0, negative or no digits: no bound. Above
// kEngineTimeoutMax it is kEngineTimeoutMax, so that the bound still fits the
// milliseconds of a 32-bit wait.
inline constexpr int kEngineTimeoutMax = 2000000;
int engineTimeoutSeconds(const Settings& s);

// The per-application key path for a SCRIPT_NAME, or false when none can be
// taken from it (unset, empty, only slashes, or too long).
bool applicationKeyPath(const char* scriptName, char* path, std::size_t capacity);

// The key `settings` came from for the error-log line: its path, "none"
// when no key opened, "-" before the settings were read.
const char* settingsKeyName(const Settings& settings);

// One setting of a record, in the order of reading.
struct SettingView {
  const char* name;
  const char* value;
  std::size_t maxBytes;  // offered to the store, terminator included
  const char* initial;   // start value and default
  bool onlyWithKey;      // looked up only when a key opened
  bool inRegistryInfo;
  SettingSource source;
  std::uint32_t storedType;  // kWrongType, kTooLong: the type found
  std::size_t storedSize;    // kTooLong: the bytes the value needs
};
SettingView settingView(const Settings& settings, std::size_t index);

}  // namespace kavro
