// The uploads of one run that go to disk: where each file is made, what it
// holds, and which files stay when the run is over, as FileMode says.
#pragma once

#include <cstddef>

#include "gateway/settings.h"

namespace kavro {

inline constexpr std::size_t kMaxSpooledFiles = 20;
inline constexpr int kSpoolNameTries = 1000;

class Spool {
 public:
  // FileMode and FilePath come from `settings`, which must outlive the spool.
  explicit Spool(const Settings& settings);
  // The run is over, whichever way it ends: end().
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // The value forwarded for an uploaded file of `size` bytes at `data`, as
  // the first character of FileMode says: '1' and '2' the path of the file
  // the bytes were written to (the spool keeps it), "ERROR" when no file
  // could be made, "SKIPPED" once twenty files are spooled; '3' the content
  // itself; any other "SKIPPED".
  const char* valueFor(const char* data, std::size_t size);

  // In FileMode 1 removes the files, the last one first (failures ignored);
  // FileMode 2 keeps them, as engines rely on. Then forgets them. From the
  // first file until then, a termination signal or console event removes
  // them too (FileMode 1).
  void end();

  std::size_t count() const { return count_; }
  const char* path(std::size_t index) const { return paths_[index]; }
  // The index the next file name takes.
  int nextIndex() const { return nextIndex_; }

 private:
  // Makes the next file under FilePath + index + request id and writes the
  // bytes; null (index given back) when no file could be made.
  char* spoolFile(const char* data, std::size_t size);

  const Settings& settings_;
  char* paths_[kMaxSpooledFiles] = {};
  std::size_t count_ = 0;
  int nextIndex_ = 0;
};

}  // namespace kavro
