// gateway-failalloc: the gateway linked with an allocation gate that refuses
// on request, in place of the one that always permits (a link-time seam; the
// release gateway cannot reach this file). Read from the environment:
//   KAVRO3_FAIL_ALLOCATION=N   the Nth request for memory (from 1) fails
//   KAVRO3_ALLOCATION_LIMIT=B  every request for more than B bytes fails
// A refusal is written to standard error as "kavro3-refused: N KIND SIZE"
// when it happens; at exit "kavro3-allocations: COUNT", the number of
// requests made.
#include <cstdio>
#include <cstdlib>

#include "platform/alloc_gate.h"

namespace kavro::platform {
namespace {

unsigned long long gCount = 0;

const char* kindName(AllocKind kind) {
  switch (kind) {
    case AllocKind::kHeap: return "heap";
    case AllocKind::kMemory: return "memory";
    case AllocKind::kLarge: return "large";
    case AllocKind::kMapping: return "mapping";
  }
  return "?";
}

unsigned long long setting(const char* name) {
  const char* text = std::getenv(name);
  return text ? std::strtoull(text, nullptr, 10) : 0;
}

void reportCount() { std::fprintf(stderr, "kavro3-allocations: %llu\n", gCount); }

}  // namespace

bool allocationPermitted(AllocKind kind, std::size_t size) {
  static const unsigned long long failAt = setting("KAVRO3_FAIL_ALLOCATION");
  static const unsigned long long limit = setting("KAVRO3_ALLOCATION_LIMIT");
  static const bool registered = std::atexit(reportCount) == 0;
  (void)registered;
  ++gCount;
  if (gCount == failAt || (limit != 0 && size > limit)) {
    std::fprintf(stderr, "kavro3-refused: %llu %s %zu\n", gCount, kindName(kind), size);
    return false;
  }
  return true;
}

}  // namespace kavro::platform
