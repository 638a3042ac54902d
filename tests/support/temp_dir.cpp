#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace kavro::test {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  std::error_code code;
  std::string pattern = (fs::temp_directory_path(code) / (prefix + "-XXXXXX")).string();
  if (code || ::mkdtemp(pattern.data()) == nullptr) return;
  path_ = pattern;
  fs::permissions(path_,
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec,
                  code);
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  if (keep_) {
    std::cout << "kept " << path_ << "\n";
    return;
  }
  std::error_code code;
  fs::remove_all(path_, code);
}

}  // namespace kavro::test
