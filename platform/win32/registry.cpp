// The settings store on Windows: the registry itself, read only.
#include <windows.h>

#include "platform/platform.h"

namespace kavro::platform {
namespace {

HKEY handleOf(RegKey* key) { return reinterpret_cast<HKEY>(key); }

}  // namespace

RegKey* regOpenKey(const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path != nullptr ? path : "", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return nullptr;
  return reinterpret_cast<RegKey*>(key);
}

void regCloseKey(RegKey* key) {
  if (key != nullptr) RegCloseKey(handleOf(key));
}

RegStatus regQueryValue(RegKey* key, const char* name, std::uint32_t* type, unsigned char* data,
                        std::size_t* size) {
  if (key == nullptr) return RegStatus::kNotFound;
  DWORD valueType = REG_NONE;
  DWORD count = *size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(*size);
  LONG rc = RegQueryValueExA(handleOf(key), name != nullptr ? name : "", nullptr, &valueType, data, &count);
  if (rc == ERROR_MORE_DATA) return RegStatus::kMoreData;
  if (rc != ERROR_SUCCESS) return RegStatus::kNotFound;
  *type = valueType;
  *size = count;
  return RegStatus::kOk;
}

}  // namespace kavro::platform
