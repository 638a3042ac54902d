#include "tests/support/bytes.h"

namespace kavro::test {

std::string escapeBytes(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += {'\\', 'x', kDigits[c >> 4], kDigits[c & 15]};
    }
  }
  return out;
}

}  // namespace kavro::test
