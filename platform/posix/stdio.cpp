// Standard handles on POSIX.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace kavro::platform {
namespace {
int gLastError = 0;
}

int lastErrorCode() { return gLastError; }

bool stdOutputValid() {
  if (fcntl(STDOUT_FILENO, F_GETFD) == -1) {
    gLastError = errno;
    return false;
  }
  return true;
}

bool writeStdOutput(const char* data, std::size_t size, std::size_t* written) {
  // Reports go through the buffered stream; flush them so that they and the
  // reply reach the web server in the order they were made.
  std::fflush(stdout);
  *written = 0;
  while (*written < size) {
    ssize_t n = ::write(STDOUT_FILENO, data + *written, size - *written);
    if (n < 0) {
      if (errno == EINTR) continue;
      gLastError = errno;
      return false;
    }
    *written += static_cast<std::size_t>(n);
  }
  return true;
}

// POSIX streams never translate line ends.
void setBinaryStdio() {}

}  // namespace kavro::platform
