// The gateway's settings, read once per run from the settings store.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavro {

// Each buffer has room for the setting's maximum byte count plus a terminator.
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
};

inline constexpr char kBaseKey[] = "SOFTWARE\\Halvorn\\KAVRO3";
inline constexpr std::size_t kKeyPathMax = 2047;
inline constexpr std::size_t kRegistryInfoMax = 2047;

// The process-wide settings record. All texts are empty until readSettings().
Settings& settings();

// Chooses the key from SCRIPT_NAME's first path segment (the per-application
// key, else the base key, else none), reads every setting with its default,
// and builds the RegistryInfo string.
void readSettings(const char* scriptName);

// "RegistryInfo=" and the urlencoded key path and settings, for the engine.
const char* registryInfo();
std::size_t registryInfoLength();

// EngineTimeout as a number of seconds, read like atoi (leading blanks, digits
// up to the first non-digit); 0, negative or no digits: no bound. Above
// kEngineTimeoutMax it is kEngineTimeoutMax, so that the bound still fits the
// milliseconds of a 32-bit wait.
inline constexpr int kEngineTimeoutMax = 2000000;
int engineTimeoutSeconds(const Settings& s);

// The per-application key path for a SCRIPT_NAME, or false when none can be
// taken from it (unset, empty, only slashes, or too long).
bool applicationKeyPath(const char* scriptName, char* path, std::size_t capacity);

// What readSettings() found, for the reports and for kavro3-check. Recording
// it costs the run a few stores.
enum class KeyChoice : unsigned char { kNotRead, kNone, kApplication, kBase };
KeyChoice settingsKeyChoice();
// The path of the key the settings came from; empty when no key opened.
const char* settingsKeyPath();

enum class SettingSource : unsigned char {
  kApplicationKey,  // read from the per-application key
  kBaseKey,         // read from the base key
  kMissing,         // default: the key has no such value
  kTooLong,         // default: the value is larger than the setting's maximum
  kWrongType,       // default: the value is not REG_SZ
  kNoKey,           // default: no key opened, so the read failed
  kNotRead,         // start value: not looked up when no key opened
};

// One setting as the last readSettings() left it, in the order of reading.
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
std::size_t settingCount();
SettingView settingView(std::size_t index);

}  // namespace kavro
