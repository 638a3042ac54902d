// The POSIX settings store: a registry built from a Windows Registry Editor
// export file (.reg), answering key opens and value queries below
// HKEY_LOCAL_MACHINE. The parser is pure: bytes in, store out, no OS calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kavro::platform {

// Orders texts by their bytes with ASCII letters folded to lower case, so
// that maps keyed by it find names case-insensitively, as Windows does.
// Transparent: lookups take a string_view without building a string.
struct RegNameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept;
};

// True when `a` and `b` are equal apart from the case of ASCII letters.
bool regNamesEqual(std::string_view a, std::string_view b) noexcept;

struct RegValue {
  std::uint32_t type = kRegNone;
  std::string data;  // the bytes handed to the caller, UTF-8 for converted strings
};

// A key record. It is also what platform.h's opaque RegKey handle points at.
struct RegKey {
  std::map<std::string, RegValue, RegNameLess> values;  // "" is the default value (@)
};

class RegStore {
 public:
  // The key at `path` (relative to HKEY_LOCAL_MACHINE, "" being the root
  // itself), or null when it does not exist. The record lives as long as the
  // store.
  const RegKey* findKey(std::string_view path) const;
  bool hasKey(std::string_view path) const { return findKey(path) != nullptr; }
  std::size_t keyCount() const { return keys_.size(); }

 private:
  friend class RegFileParser;
  std::map<std::string, RegKey, RegNameLess> keys_;  // every existing key, ancestors included
};

// Builds the store from a .reg file's bytes: UTF-8 (BOM optional) or UTF-16LE
// with its BOM, header "REGEDIT4" or "Windows Registry Editor Version 5.00".
// Without a header the store is empty. Malformed lines are skipped.
RegStore parseRegFile(std::string_view fileBytes);

// RegQueryValueExA over one key record. `name` "" is the default value.
// - kNotFound: no such value (`*type`, `data` and `*size` untouched).
// - kMoreData: the data is larger than `*size`; `*type` and `*size` (the
//   size needed) are set, nothing is placed.
// - kOk: `data` receives the bytes, `*type` the type, `*size` the byte count.
// A null `data` asks for type and size only; a null `size` places nothing.
RegStatus queryRegValue(const RegKey& key, std::string_view name, std::uint32_t* type, unsigned char* data,
                        std::size_t* size);

// UTF-16LE bytes to UTF-8. An unpaired surrogate becomes U+FFFD; an odd
// trailing byte is dropped.
std::string utf16leToUtf8(std::string_view bytes);

}  // namespace kavro::platform
