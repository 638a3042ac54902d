// The .reg reader. Control byte 0, bit 0: the rest is widened to UTF-16LE
// behind its BOM, as regedit writes version 5.00 files, so that mutations of
// ASCII text reach the UTF-16 path. Then the keys the gateway opens are
// looked up, and their values read into buffers of several sizes.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/posix/reg_store.h"

namespace {

using namespace kavro;
using namespace kavro::platform;

std::string widen(const std::string& text) {
  std::string out = "\xFF\xFE";
  for (char c : text) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

void readValues(const RegKey& key) {
  for (const char* name : {"", "ServerURL", "serverport", "FileMode", "A", "@"}) {
    for (std::size_t capacity : {0, 1, 4, 64}) {
      unsigned char buffer[64];
      std::uint32_t type = 0;
      std::size_t size = capacity;
      RegStatus status = queryRegValue(key, name, &type, buffer, &size);
      if (status == RegStatus::kOk) fuzz::require(size <= capacity, "more bytes placed than offered");
    }
  }
  // Every value is reachable by its own name, in any letter case.
  for (const auto& [name, value] : key.values) {
    std::string folded = name;
    for (char& c : folded)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    std::size_t size = 0;
    std::uint32_t type = 0;
    fuzz::require(queryRegValue(key, folded, &type, nullptr, &size) == RegStatus::kOk,
                  "a value not found by name");
    fuzz::require(size == value.data.size() && type == value.type, "a value read back differently");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  bool utf16 = (in.byte() & 1) != 0;
  std::string bytes = in.rest();
  if (utf16) bytes = widen(bytes);
  RegStore store = parseRegFile(bytes);
  for (const char* path : {"", "SOFTWARE", "SOFTWARE\\Halvorn\\KAVRO3", "software\\halvorn\\kavro3\\shop"}) {
    if (const RegKey* key = store.findKey(path)) readValues(*key);
  }
  utf16leToUtf8(bytes);
  return 0;
}
