#include "platform/request.h"

#include <cstdarg>
#include <cstdio>

namespace kavro::platform {

void writeFormat(Request& request, const char* format, ...) {
  char text[kWriteFormatMax + 1];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  std::size_t length =
      static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : kWriteFormatMax;
  request.writeText(text, length);
}

}  // namespace kavro::platform
