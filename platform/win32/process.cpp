// Process set-up and the process heap on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace kavro::platform {

void processInit() {
  // A CGI program runs on no visible desktop: a "no disk in drive" box for a
  // FilePath on removable media would hang the request until IIS kills it.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // The error-log line goes out as the same bytes as on POSIX; only standard
  // input and output follow the text-mode rules.
  _setmode(_fileno(stderr), _O_BINARY);
}

bool heapAvailable() { return GetProcessHeap() != nullptr; }

// No HEAP_NO_SERIALIZE: the system's own threads (a console control
// handler, the WinSock helpers) allocate from the process heap too.
void* heapAlloc(std::size_t size) { return HeapAlloc(GetProcessHeap(), 0, size == 0 ? 1 : size); }

void* heapRealloc(void* block, std::size_t size) {
  if (block == nullptr) return heapAlloc(size);
  return HeapReAlloc(GetProcessHeap(), 0, block, size == 0 ? 1 : size);
}

// The C runtime's allocator, for the decoder's and the forwarding's texts,
// which are released with free().
void* memAlloc(std::size_t size) { return std::malloc(size); }
void* memRealloc(void* block, std::size_t size) { return std::realloc(block, size); }

void heapFree(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace kavro::platform
