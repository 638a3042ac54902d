// Environment and temporary directories for the tests and benchmarks.
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/support.h"

namespace kavro::platform {

void setEnv(const char* name, const char* value) {
  if (value == nullptr)
    ::unsetenv(name);
  else
    ::setenv(name, value, 1);
}

std::string makeTempDir(const char* prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return std::string();
  return pattern;
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

bool setStandardInputForTests(const void* data, std::size_t size) {
  static int file = -1;
  if (file < 0) {
    file = ::memfd_create("kavro3-stdin", MFD_CLOEXEC);
    if (file < 0 || ::dup2(file, STDIN_FILENO) < 0) return false;
  }
  if (::ftruncate(STDIN_FILENO, 0) != 0) return false;
  const char* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(STDIN_FILENO, bytes + done, size - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  // fseek drops the stream's buffer and moves the descriptor back to 0.
  std::clearerr(stdin);
  return std::fseek(stdin, 0, SEEK_SET) == 0;
}

}  // namespace kavro::platform
