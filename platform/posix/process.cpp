// Process set-up and the process heap on POSIX.
#include <csignal>
#include <cstdlib>

#include "platform/alloc_gate.h"
#include "platform/platform.h"

namespace kavro::platform {

void processInit() {
  // A web server that closes the response pipe early, or an engine that goes
  // away, must make a write fail rather than kill the run half-way.
  std::signal(SIGPIPE, SIG_IGN);
  // A file size limit (ulimit -f) must make a spool write fail, so that the
  // upload is reported as ERROR, rather than kill the run with SIGXFSZ.
  std::signal(SIGXFSZ, SIG_IGN);
}

bool heapAvailable() { return true; }
void* heapAlloc(std::size_t size) {
  if (!allocationPermitted(AllocKind::kHeap, size)) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void* heapRealloc(void* block, std::size_t size) {
  if (!allocationPermitted(AllocKind::kHeap, size)) return nullptr;
  return std::realloc(block, size == 0 ? 1 : size);
}

void* memAlloc(std::size_t size) {
  if (!allocationPermitted(AllocKind::kMemory, size)) return nullptr;
  return std::malloc(size);
}
void* memRealloc(void* block, std::size_t size) {
  if (!allocationPermitted(AllocKind::kMemory, size)) return nullptr;
  return std::realloc(block, size);
}
void heapFree(void* block) { std::free(block); }

}  // namespace kavro::platform
