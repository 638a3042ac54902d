#include "gateway/spool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gateway/error_log.h"
#include "gateway/texts.h"

namespace kavro {
namespace {

char fileMode(const Settings& settings) { return settings.fileMode[0]; }
bool spools(const Settings& settings) { return fileMode(settings) == '1' || fileMode(settings) == '2'; }

}  // namespace

Spool::Spool(const Settings& settings, platform::Request& request) : settings_(settings), request_(request) {}

Spool::~Spool() { end(); }

void Spool::log(const char* what, const char* path, int code) {
  char reason[256];
  platform::fileErrorText(code, reason, sizeof reason);
  char message[kErrorLogLineMax];
  std::snprintf(message, sizeof message, what, path, reason);
  logError(request_, settingsKeyName(settings_), message);
}

// The name is taken exclusively: a name already standing (a file of another
// request, or a link planted under it) moves on to the next index.
bool Spool::makeFile() {
  int firstIndex = nextIndex_;
  for (int attempt = 0; attempt < kSpoolNameTries; ++attempt) {
    std::string path = settings_.filePath;
    path += std::to_string(nextIndex_);
    path += qUniqueRequestId();
    switch (platform::fileCreateNew(path.c_str(), &file_)) {
      case platform::CreateStatus::kCreated: {
        char* kept = static_cast<char*>(platform::memAlloc(path.size() + 1));
        if (kept == nullptr) {
          platform::fileClose(file_);
          file_ = platform::kInvalidFile;
          platform::fileRemove(path.c_str());
          nextIndex_ = firstIndex;
          return false;
        }
        std::memcpy(kept, path.c_str(), path.size() + 1);
        ++nextIndex_;
        paths_[count_++] = kept;
        writeFailed_ = false;
        // From the first file on, a termination removes what stands, half
        // written or whole. Should arming fail, the files still go on every
        // way out but a signal.
        if (!keepAll_) platform::armSpoolRemoval(paths_, count_);
        return true;
      }
      case platform::CreateStatus::kExists: ++nextIndex_; break;
      case platform::CreateStatus::kFailed:
        nextIndex_ = firstIndex;
        log(text::kSpoolNotMade, path.c_str(), platform::fileLastError());
        return false;
    }
  }
  nextIndex_ = firstIndex;
  return false;
}

const char* Spool::finishFile() {
  bool closed = platform::fileClose(file_);
  file_ = platform::kInvalidFile;
  if (closed && !writeFailed_) return paths_[count_ - 1];
  // A file cut short (a full disk, a quota, an I/O error) is no upload: the
  // engine gets ERROR, as for a file that could not be made.
  int code = writeFailed_ ? writeError_ : platform::fileLastError();
  char* path = paths_[--count_];
  if (!keepAll_) platform::armSpoolRemoval(paths_, count_);
  platform::fileRemove(path);
  log(text::kSpoolNotWritten, path, code);
  std::free(path);
  --nextIndex_;
  return "ERROR";
}

QUploadSink::Keep Spool::beginUpload(const char*) {
  dropped_ = "SKIPPED";
  if (fileMode(settings_) == '3') return Keep::kMemory;
  if (!spools(settings_) || count_ >= kMaxSpooledFiles) return Keep::kDrop;
  if (makeFile()) return Keep::kStream;
  dropped_ = "ERROR";
  return Keep::kDrop;
}

void Spool::writeUpload(const char* data, std::size_t size) {
  if (writeFailed_) return;
  if (!platform::fileWrite(file_, data, size)) {
    writeFailed_ = true;
    writeError_ = platform::fileLastError();
  }
}

const char* Spool::endUpload() { return file_ != platform::kInvalidFile ? finishFile() : dropped_; }

void Spool::abandonUploads() {
  if (file_ != platform::kInvalidFile) platform::fileClose(file_);
  file_ = platform::kInvalidFile;
  removeAll();
}

void Spool::decoded() {
  if (fileMode(settings_) != '2') return;
  keepAll_ = true;
  platform::disarmSpoolRemoval();
}

const char* Spool::valueFor(const char* data, std::size_t size) {
  if (fileMode(settings_) == '3') return data;  // inline, as text up to its first zero byte
  if (!spools(settings_) || count_ >= kMaxSpooledFiles) return "SKIPPED";
  if (!makeFile()) return "ERROR";
  writeUpload(data, size);
  return finishFile();
}

void Spool::removeAll() {
  for (std::size_t i = count_; i > 0; --i) platform::fileRemove(paths_[i - 1]);
  // Disarmed before the paths go: the handler must never walk freed texts.
  platform::disarmSpoolRemoval();
  while (count_ > 0) std::free(paths_[--count_]);
  nextIndex_ = 0;
}

void Spool::end() {
  if (file_ != platform::kInvalidFile) platform::fileClose(file_);
  file_ = platform::kInvalidFile;
  if (fileMode(settings_) == '1') {
    removeAll();
    return;
  }
  platform::disarmSpoolRemoval();
  while (count_ > 0) std::free(paths_[--count_]);
  nextIndex_ = 0;
}

}  // namespace kavro
