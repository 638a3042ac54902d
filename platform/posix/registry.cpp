// The settings store on POSIX: registry calls answered from a .reg file,
// read on the first key open of the process, and again after the file
// changed when the process serves many requests.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix/reg_store.h"

namespace kavro::platform {

namespace {

constexpr const char* kDefaultRegistryPath = "/etc/kavro3/kavro3.reg";

// Null until the first open, and again once forgotten. Key handles point
// into it: it goes only between runs, when no key is open.
RegStore* loadedStore = nullptr;
// The file the store was read from.
RegFileIdentity loadedIdentity;

const RegStore& store() {
  if (loadedStore == nullptr) {
    std::string bytes;
    loadedIdentity = RegFileIdentity{};
    // A missing or unreadable file leaves the store empty: every open fails.
    int error = regReadFile(regFilePath(nullptr), &bytes, &loadedIdentity);
    loadedStore = new RegStore(error == 0 ? parseRegFile(bytes) : RegStore());
  }
  return *loadedStore;
}

void forgetStore() {
  delete loadedStore;
  loadedStore = nullptr;
}

RegFileIdentity identityOf(const struct stat& status) {
  RegFileIdentity identity;
  identity.exists = true;
  identity.device = static_cast<std::uint64_t>(status.st_dev);
  identity.inode = static_cast<std::uint64_t>(status.st_ino);
  identity.size = static_cast<std::uint64_t>(status.st_size);
  identity.modifiedSeconds = status.st_mtim.tv_sec;
  identity.modifiedNanoseconds = status.st_mtim.tv_nsec;
  identity.changedSeconds = status.st_ctim.tv_sec;
  identity.changedNanoseconds = status.st_ctim.tv_nsec;
  return identity;
}

}  // namespace

const char* regFilePath(bool* fromEnvironment) {
  const char* path = std::getenv("KAVRO3_REGISTRY");
  if (fromEnvironment != nullptr) *fromEnvironment = path != nullptr;
  return path != nullptr ? path : kDefaultRegistryPath;
}

int regReadFile(const char* path, std::string* out, RegFileIdentity* identity) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat status;
  if (identity != nullptr && ::fstat(fd, &status) == 0) *identity = identityOf(status);
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

RegFileIdentity regFileIdentity(const char* path) {
  struct stat status;
  return ::stat(path, &status) == 0 ? identityOf(status) : RegFileIdentity{};
}

void regForgetIfChanged() {
  if (loadedStore != nullptr && regFileIdentity(regFilePath(nullptr)) != loadedIdentity) forgetStore();
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
