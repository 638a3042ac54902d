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

// Far beyond any settings file; stops a path such as /dev/zero from eating
// the memory of the process.
constexpr std::size_t kMaxRegistryFileSize = 16u << 20;

// Null until the first open. Never freed: the process is short-lived and the
// key handles point into it.
RegStore* loadedStore = nullptr;

bool readWholeFile(const char* path, std::string* out) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[8192];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    if (out->size() + static_cast<std::size_t>(n) > kMaxRegistryFileSize) {
      ok = false;
      break;
    }
    out->append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ok;
}

const RegStore& store() {
  if (loadedStore == nullptr) {
    const char* path = std::getenv("KAVRO3_REGISTRY");
    if (path == nullptr) path = kDefaultRegistryPath;
    std::string bytes;
    // A missing or unreadable file leaves the store empty: every open fails.
    loadedStore = new RegStore(readWholeFile(path, &bytes) ? parseRegFile(bytes) : RegStore());
  }
  return *loadedStore;
}

}  // namespace

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
