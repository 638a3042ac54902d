// The POSIX settings store: a registry built from a Windows Registry Editor
// export file (.reg), answering key opens and value queries below
// HKEY_LOCAL_MACHINE. The parser is pure: bytes in, store out, no OS calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

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

// Why a line of a .reg file counts for nothing. The rest of the file still
// counts, except after kNoHeader.
enum class RegSkipReason {
  kNoHeader,      // the first line is no header: the whole file is ignored
  kBadSection,    // '[' without a closing ']' at the end of the line
  kForeignRoot,   // a section outside HKEY_LOCAL_MACHINE
  kRootDeletion,  // [-HKEY_LOCAL_MACHINE]: the root cannot be deleted
  kNoSection,     // a value before the first section
  kOutsideKey,    // a value after a section that opens no key
  kBadName,       // a value name without its closing quote
  kNoData,        // no '=' and data after the name
  kBadString,     // "text" without its closing quote, or more after it
  kBadDword,      // dword: not followed by 1 to 8 hex digits alone
  kBadHex,        // a malformed hex(type): or hex list
  kUnknownType,   // data that is neither "text", -, dword: nor hex
  kNotAValue,     // a line that is no section, value or comment
};

// A line that was skipped: its number (from 1; a value continued over
// several lines is reported at its first) and its text without line end.
struct RegSkippedLine {
  std::size_t line;
  RegSkipReason reason;
  std::string text;
};

// A sentence for each reason, for people.
const char* regSkipReasonText(RegSkipReason reason);
// A stable word for each reason, for scripts.
const char* regSkipReasonName(RegSkipReason reason);

// Builds the store from a .reg file's bytes: UTF-8 (BOM optional) or UTF-16LE
// with its BOM, header "REGEDIT4" or "Windows Registry Editor Version 5.00".
// Without a header the store is empty. Malformed lines are skipped, and
// listed in `skipped` when it is given.
RegStore parseRegFile(std::string_view fileBytes, std::vector<RegSkippedLine>* skipped = nullptr);

// RegQueryValueExA over one key record. `name` "" is the default value.
// - kNotFound: no such value (`*type`, `data` and `*size` untouched).
// - kMoreData: the data is larger than `*size`; `*type` and `*size` (the
//   size needed) are set, nothing is placed.
// - kOk: `data` receives the bytes, `*type` the type, `*size` the byte count.
// A null `data` asks for type and size only; a null `size` places nothing.
RegStatus queryRegValue(const RegKey& key, std::string_view name, std::uint32_t* type, unsigned char* data,
                        std::size_t* size);

// The settings file: KAVRO3_REGISTRY, or /etc/kavro3/kavro3.reg when it is
// unset (`fromEnvironment`, when given, says which).
const char* regFilePath(bool* fromEnvironment);

// Far beyond any settings file; stops a path such as /dev/zero from eating
// the memory of the process.
inline constexpr std::size_t kMaxRegistryFileSize = 16u << 20;

// Tells one version of the settings file from another: the file itself
// (device and inode: a file renamed over it is another one), its size and its
// modification and change times. A missing file has the identity {}.
struct RegFileIdentity {
  bool exists = false;
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t modifiedSeconds = 0, modifiedNanoseconds = 0, changedSeconds = 0, changedNanoseconds = 0;
  bool operator==(const RegFileIdentity&) const = default;
};

// Reads the whole file; 0, or the errno of the failure (EFBIG beyond
// kMaxRegistryFileSize). `identity`, when given, receives the identity of the
// file read, taken from the open file itself.
int regReadFile(const char* path, std::string* bytes, RegFileIdentity* identity = nullptr);

// The settings file's identity now, by its path.
RegFileIdentity regFileIdentity(const char* path);

// Forgets the settings read when the file is no longer the one read (edited,
// replaced, made or removed): the next key open reads it again. One stat;
// a process that serves many requests calls it before each of them.
void regForgetIfChanged();

// UTF-16LE bytes to UTF-8. An unpaired surrogate becomes U+FFFD; an odd
// trailing byte is dropped.
std::string utf16leToUtf8(std::string_view bytes);

}  // namespace kavro::platform
