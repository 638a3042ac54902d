// This process's environment, descriptors and standard input, for the tests
// and the fuzz targets.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>

#include "tests/support/process.h"

namespace kavro::test {

void setEnv(const char* name, const char* value) {
  if (value == nullptr)
    ::unsetenv(name);
  else
    ::setenv(name, value, 1);
}

int openDescriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the directory's own descriptor
}

bool setStandardInputForTests(const void* data, std::size_t size, bool regularFile) {
  constexpr std::size_t kPipeHolds = std::size_t{64} << 10;
  static int file = -1;
  if (file < 0) {
    // Unbuffered, so that nothing read ahead from one input is met in the next.
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    file = ::memfd_create("kavro3-stdin", MFD_CLOEXEC);
    if (file < 0) return false;
  }
  std::clearerr(stdin);
  const char* bytes = static_cast<const char*>(data);
  if (!regularFile) {
    int ends[2];
    if (size > kPipeHolds || ::pipe2(ends, O_CLOEXEC) != 0) return false;
    std::size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(ends[1], bytes + done, size - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(ends[1]);
    bool moved = done == size && ::dup2(ends[0], STDIN_FILENO) >= 0;
    ::close(ends[0]);
    return moved;
  }
  if (::dup2(file, STDIN_FILENO) < 0 || ::ftruncate(file, 0) != 0) return false;
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(file, bytes + done, size - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return ::lseek(STDIN_FILENO, 0, SEEK_SET) == 0;
}

}  // namespace kavro::test
