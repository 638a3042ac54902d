#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

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

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  std::error_code code;
  fs::permissions(
      path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
      code);
  return static_cast<bool>(out) && !code;
}

}  // namespace kavro::test
