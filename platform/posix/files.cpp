// Spool files on POSIX.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/stdin_map.h"

namespace kavro::platform {
namespace {

int gLastError = 0;

bool failed() {
  gLastError = errno;
  return false;
}

// Bytes that lie in standard input mapped whole are copied by the kernel from
// the file itself, as cp and cat do, instead of through the mapping: no page
// of the upload is touched in this process. The mapping is private, and the
// decoder writes only after a value (its terminator), so the file holds the
// same bytes. Anything not copied so (another file system, an old kernel)
// is left to write().
std::size_t copyFromStandardInput(int fd, const void* data, std::size_t size) {
  off_t offset = 0;
  if (!posix::standardInputOffsetOf(data, size, &offset)) return 0;
  std::size_t copied = 0;
  while (copied < size) {
    ssize_t n = ::copy_file_range(STDIN_FILENO, &offset, fd, nullptr, size - copied, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    copied += static_cast<std::size_t>(n);
  }
  return copied;
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
  std::size_t copied = copyFromStandardInput(fd, data, size);
  const char* bytes = static_cast<const char*>(data) + copied;
  size -= copied;
  while (size > 0) {
    ssize_t n = ::write(fd, bytes, size);
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
