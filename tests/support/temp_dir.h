// The tests' temporary directory and the files they write and read there.
#pragma once

#include <string>

namespace kavro::test {

// A private directory under $TMPDIR (or /tmp), made rwxr-xr-x whatever the
// umask (a case may judge it for another user), and removed with everything
// in it when the object goes.
class TempDir {
 public:
  // "PREFIX-XXXXXX"; path() is empty when it cannot be made.
  explicit TempDir(const std::string& prefix);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Left in place at the end, for a look at what a failed test wrote; the
  // destructor says where.
  void keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

// The whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// `bytes` as the whole file, rw-r--r-- whatever the umask. False on failure.
bool writeFile(const std::string& path, const std::string& bytes);

}  // namespace kavro::test
