// Environment and temporary directories for the tests and benchmarks.
#include <cstdlib>
#include <string>

#include "platform/support.h"

namespace kavro::platform {

void setEnv(const char* name, const char* value) {
  if (value == nullptr)
    ::unsetenv(name);
  else
    ::setenv(name, value, 1);
}

std::string makeTempDir(const char* prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return std::string();
  return pattern;
}

}  // namespace kavro::platform
