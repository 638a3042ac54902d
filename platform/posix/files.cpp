// Spool files on POSIX.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace kavro::platform {
namespace {

int gLastError = 0;

// The most one write(2) is given. A single write of hundreds of MiB from a
// mapped body took ten times as long now and then on this project's
// machine (`make bench`, the 200 MiB upload); in pieces of 1 MiB it never did.
constexpr std::size_t kWritePiece = std::size_t{1} << 20;

bool failed() {
  gLastError = errno;
  return false;
}

}  // namespace

CreateStatus fileCreateNew(const char* path, File* file) {
  // O_EXCL never opens an existing name, and with O_CREAT it does not follow a
  // symbolic link planted under the name either; O_NOFOLLOW says so twice.
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  *file = fd;
  if (fd >= 0) return CreateStatus::kCreated;
  gLastError = errno;
  return errno == EEXIST ? CreateStatus::kExists : CreateStatus::kFailed;
}

bool fileWrite(File file, const void* data, std::size_t size) {
  int fd = static_cast<int>(file);
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, bytes, size < kWritePiece ? size : kWritePiece);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed();
    if (n == 0) {
      errno = EIO;
      return failed();
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool fileClose(File file) { return ::close(static_cast<int>(file)) == 0 || failed(); }

bool fileRemove(const char* path) { return std::remove(path) == 0 || failed(); }

int fileLastError() { return gLastError; }

void fileErrorText(int code, char* buffer, std::size_t capacity) {
  std::snprintf(buffer, capacity, "%s", std::strerror(code));
}

}  // namespace kavro::platform
