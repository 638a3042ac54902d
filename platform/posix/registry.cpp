// The settings store on POSIX: registry calls answered from a .reg file,
// read once, on the first key open of the process.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix/reg_store.h"

namespace kavro::platform {

namespace {

constexpr const char* kDefaultRegistryPath = "/etc/kavro3/kavro3.reg";

// Null until the first open. Never freed: the process is short-lived and the
// key handles point into it.
RegStore* loadedStore = nullptr;

const RegStore& store() {
  if (loadedStore == nullptr) {
    std::string bytes;
    // A missing or unreadable file leaves the store empty: every open fails.
    loadedStore =
        new RegStore(regReadFile(regFilePath(nullptr), &bytes) == 0 ? parseRegFile(bytes) : RegStore());
  }
  return *loadedStore;
}

}  // namespace

const char* regFilePath(bool* fromEnvironment) {
  const char* path = std::getenv("KAVRO3_REGISTRY");
  if (fromEnvironment != nullptr) *fromEnvironment = path != nullptr;
  return path != nullptr ? path : kDefaultRegistryPath;
}

int regReadFile(const char* path, std::string* out) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char chunk[8192];
  int error = 0;
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      break;
    }
    if (n == 0) break;
    if (out->size() + static_cast<std::size_t>(n) > kMaxRegistryFileSize) {
      error = EFBIG;
      break;
    }
    out->append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return error;
}

void regReloadForTests() {
  delete loadedStore;
  loadedStore = nullptr;
}

RegKey* regOpenKey(const char* path) {
  // Handles point at the store's own records, which nothing ever modifies
  // after parsing; the const is shed only because the handle type is opaque.
  return const_cast<RegKey*>(store().findKey(path != nullptr ? path : ""));
}

void regCloseKey(RegKey*) {}

RegStatus regQueryValue(RegKey* key, const char* name, std::uint32_t* type, unsigned char* data,
                        std::size_t* size) {
  if (key == nullptr) return RegStatus::kNotFound;
  return queryRegValue(*key, name != nullptr ? name : "", type, data, size);
}

}  // namespace kavro::platform
