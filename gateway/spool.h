// The uploads of one run that go to disk: where each file is made, what it
// holds, which files stay when the run is over, as FileMode says, and the
// error-log line of each file that could not be made or written whole.
#pragma once

#include <cstddef>

#include "decoder/decoder.h"
#include "gateway/settings.h"
#include "platform/platform.h"
#include "platform/request.h"

namespace kavro {

inline constexpr std::size_t kMaxSpooledFiles = 20;
inline constexpr int kSpoolNameTries = 1000;

// The spool is also the decoder's upload sink: in FileMode 1 and 2 an
// upload's content is streamed to its file as the body is read; in FileMode
// 3 it stays in memory, to be forwarded inline; otherwise, and past twenty
// files, it is dropped as it passes.
class Spool final : public QUploadSink {
 public:
  // FileMode and FilePath come from `settings`, which must outlive the spool
  // (it may be read later); failures are logged to `request`.
  Spool(const Settings& settings, platform::Request& request);
  // The run is over, whichever way it ends: end().
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  Keep beginUpload(const char* name) override;
  void writeUpload(const char* data, std::size_t size) override;
  const char* endUpload() override;
  // Removes every file made so far, in every FileMode: a failed decode
  // leaves nothing half-made.
  void abandonUploads() override;

  // The body has been read whole: from now on FileMode 2 keeps its files,
  // whatever ends the run.
  void decoded();

  // The value forwarded for an uploaded file held in memory, of `size` bytes
  // at `data`, as the first character of FileMode says: '1' and '2' the path
  // of the file the bytes were written to (the spool keeps it), "ERROR" when
  // no file could be made or written whole, "SKIPPED" once twenty files are
  // spooled; '3' the content itself; any other "SKIPPED".
  const char* valueFor(const char* data, std::size_t size);

  // In FileMode 1 removes the files, the last one first (failures ignored);
  // FileMode 2 keeps them, as engines rely on. Then forgets them. Until then,
  // a termination signal or console event removes them too (in FileMode 2
  // only while the body is read).
  void end();

  std::size_t count() const { return count_; }
  const char* path(std::size_t index) const { return paths_[index]; }
  // The index the next file name takes.
  int nextIndex() const { return nextIndex_; }

 private:
  // Makes the next file under FilePath + index + request id and keeps its
  // path; false (index given back, line logged) when none could be made.
  bool makeFile();
  // Closes the file being written; when it is not whole, removes it, gives
  // its slot and index back and logs why. The value forwarded for it.
  const char* finishFile();
  void removeAll();
  void log(const char* what, const char* path, int code);

  const Settings& settings_;
  platform::Request& request_;
  char* paths_[kMaxSpooledFiles] = {};
  std::size_t count_ = 0;
  int nextIndex_ = 0;
  bool keepAll_ = false;  // FileMode 2 once the body is read
  // The file being written.
  platform::File file_ = platform::kInvalidFile;
  bool writeFailed_ = false;
  int writeError_ = 0;
  const char* dropped_ = nullptr;  // the text of an upload that is dropped
};

}  // namespace kavro
