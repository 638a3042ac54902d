#include "gateway/spool.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "decoder/decoder.h"
#include "platform/platform.h"

namespace kavro {
namespace {

bool removesAtEnd(const Settings& settings) { return settings.fileMode[0] == '1'; }

// Writes the bytes into a file made only where no file stands. Write errors
// are not detected, as with fwrite: the path is forwarded all the same.
platform::CreateStatus writeNewFile(const char* path, const char* data, std::size_t size) {
  platform::File file = platform::kInvalidFile;
  platform::CreateStatus status = platform::fileCreateNew(path, &file);
  if (status != platform::CreateStatus::kCreated) return status;
  platform::fileWrite(file, data, size);
  platform::fileClose(file);
  return status;
}

}  // namespace

Spool::Spool(const Settings& settings) : settings_(settings) {}

Spool::~Spool() { end(); }

const char* Spool::valueFor(const char* data, std::size_t size) {
  switch (settings_.fileMode[0]) {
    case '1':
    case '2': {
      if (count_ >= kMaxSpooledFiles) return "SKIPPED";
      char* path = spoolFile(data, size);
      if (path == nullptr) return "ERROR";
      paths_[count_++] = path;
      // Should arming fail, the files still go on every way out but a signal.
      if (removesAtEnd(settings_)) platform::armSpoolRemoval(paths_, count_);
      return path;
    }
    case '3': return data;  // inline, as text up to its first zero byte
    default: return "SKIPPED";
  }
}

// The name is taken exclusively: a name already standing (a file of another
// request, or a link planted under it) moves on to the next index.
char* Spool::spoolFile(const char* data, std::size_t size) {
  int firstIndex = nextIndex_;
  for (int attempt = 0; attempt < kSpoolNameTries; ++attempt) {
    std::string path = settings_.filePath;
    path += std::to_string(nextIndex_);
    path += qUniqueRequestId();
    switch (writeNewFile(path.c_str(), data, size)) {
      case platform::CreateStatus::kCreated: {
        char* kept = static_cast<char*>(platform::memAlloc(path.size() + 1));
        if (kept == nullptr) {
          platform::fileRemove(path.c_str());
          nextIndex_ = firstIndex;
          return nullptr;
        }
        std::memcpy(kept, path.c_str(), path.size() + 1);
        ++nextIndex_;
        return kept;
      }
      case platform::CreateStatus::kExists: ++nextIndex_; break;
      case platform::CreateStatus::kFailed: nextIndex_ = firstIndex; return nullptr;
    }
  }
  nextIndex_ = firstIndex;
  return nullptr;
}

void Spool::end() {
  if (removesAtEnd(settings_)) {
    for (std::size_t i = count_; i > 0; --i) platform::fileRemove(paths_[i - 1]);
  }
  // Disarmed before the paths go: the handler must never walk freed texts.
  platform::disarmSpoolRemoval();
  while (count_ > 0) std::free(paths_[--count_]);
  nextIndex_ = 0;
}

}  // namespace kavro
