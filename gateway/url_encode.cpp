#include "gateway/url_encode.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace kavro {
namespace {

bool passesUnchanged(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '@' || c == '.' ||
         c == '/' || c == '\\' || c == '-' || c == '_' || c == ':';
}

}  // namespace

char* urlEncode(const char* text) {
  if (text == nullptr) return nullptr;
  static const char kDigits[] = "0123456789ABCDEF";
  std::size_t length = std::strlen(text);
  if (length > (SIZE_MAX - 1) / 3) return nullptr;
  char* out = static_cast<char*>(platform::memAlloc(length * 3 + 1));
  if (out == nullptr) return nullptr;
  char* put = out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (passesUnchanged(*p)) {
      *put++ = static_cast<char>(*p);
    } else {
      *put++ = '%';
      *put++ = kDigits[*p >> 4];
      *put++ = kDigits[*p & 15];
    }
  }
  *put = '\0';
  return out;
}

}  // namespace kavro
