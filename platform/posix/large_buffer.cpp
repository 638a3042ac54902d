// Large buffers on POSIX: anonymous mappings, backed on Linux by transparent
// huge pages and grown with mremap.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdint>
#include <cstring>

#include "platform/alloc_gate.h"
#include "platform/platform.h"
#include "platform/standard_input.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace kavro::platform {
namespace {

// Huge pages are 2 MiB on x86-64 (and arm64 with 4 KiB pages). Touching a
// 100 MB buffer page by page costs more than reading the bytes into it;
// with huge pages the faults are 512 times fewer.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;

std::size_t pageSize() {
  static const std::size_t size = [] {
    long reported = ::sysconf(_SC_PAGESIZE);
    return reported > 0 ? static_cast<std::size_t>(reported) : std::size_t{4096};
  }();
  return size;
}

// The bytes mapped for a capacity: whole pages, and whole huge pages from one
// huge page up. 0 when that does not fit a size_t.
std::size_t mappedLength(std::size_t capacity) {
  std::size_t unit = capacity >= kHugePage ? kHugePage : pageSize();
  if (capacity == 0) capacity = 1;
  if (capacity > SIZE_MAX - unit) return 0;
  return (capacity + unit - 1) / unit * unit;
}

// Maps `length` bytes; from one huge page up the mapping starts on a huge
// page boundary, or the kernel could not back its first and last pieces with
// huge pages.
void* mapAligned(std::size_t length, int protection) {
  if (length < kHugePage) {
    void* block = ::mmap(nullptr, length, protection, kFlags, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
  }
  if (length > SIZE_MAX - kHugePage) return nullptr;
  std::size_t span = length + kHugePage;
  void* raw = ::mmap(nullptr, span, protection, kFlags, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw);
  std::uintptr_t aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
  std::size_t head = aligned - start;
  std::size_t tail = span - head - length;
  if (head != 0) ::munmap(raw, head);
  if (tail != 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
  return reinterpret_cast<void*>(aligned);
}

void adviseHugePages(void* block, std::size_t length) {
#ifdef MADV_HUGEPAGE
  // Only advice: where huge pages are off, the block works with small ones.
  if (length >= kHugePage) ::madvise(block, length, MADV_HUGEPAGE);
#else
  (void)block;
  (void)length;
#endif
}

// AddressSanitizer knows nothing of mappings: the bytes past the capacity
// asked for are marked, so that a write beyond it is reported like one past
// a heap block.
void markCapacity(void* block, std::size_t capacity, std::size_t length) {
#if defined(__SANITIZE_ADDRESS__)
  ASAN_UNPOISON_MEMORY_REGION(block, capacity);
  ASAN_POISON_MEMORY_REGION(static_cast<char*>(block) + capacity, length - capacity);
#else
  (void)block;
  (void)capacity;
  (void)length;
#endif
}

void unmark(void* block, std::size_t length) {
#if defined(__SANITIZE_ADDRESS__)
  ASAN_UNPOISON_MEMORY_REGION(block, length);
#else
  (void)block;
  (void)length;
#endif
}

}  // namespace

void* largeAlloc(std::size_t capacity) {
  if (!allocationPermitted(AllocKind::kLarge, capacity)) return nullptr;
  std::size_t length = mappedLength(capacity);
  if (length == 0) return nullptr;
  void* block = mapAligned(length, PROT_READ | PROT_WRITE);
  if (block == nullptr) return nullptr;
  adviseHugePages(block, length);
  markCapacity(block, capacity, length);
  return block;
}

void* largeGrow(void* block, std::size_t capacity, std::size_t newCapacity) {
  if (!allocationPermitted(AllocKind::kLarge, newCapacity)) return nullptr;
  std::size_t oldLength = mappedLength(capacity);
  std::size_t newLength = mappedLength(newCapacity);
  if (newLength == 0) return nullptr;
  if (newLength <= oldLength) {
    markCapacity(block, newCapacity, oldLength);
    return block;
  }
#ifdef __linux__
  // The pages move into an aligned hole of the new length: page tables are
  // moved, no byte is copied. The hole's own mapping is replaced.
  void* hole = mapAligned(newLength, PROT_NONE);
  if (hole == nullptr) return nullptr;
  unmark(block, oldLength);
  void* moved = ::mremap(block, oldLength, newLength, MREMAP_MAYMOVE | MREMAP_FIXED, hole);
  if (moved == MAP_FAILED) {
    markCapacity(block, capacity, oldLength);
    ::munmap(hole, newLength);
    return nullptr;
  }
  adviseHugePages(moved, newLength);
  markCapacity(moved, newCapacity, newLength);
  return moved;
#else
  void* grown = largeAlloc(newCapacity);
  if (grown == nullptr) return nullptr;
  std::memcpy(grown, block, capacity);
  unmark(block, oldLength);
  ::munmap(block, oldLength);
  return grown;
#endif
}

void largeFree(void* block, std::size_t capacity) {
  if (block == nullptr) return;
  unmark(block, mappedLength(capacity));
  ::munmap(block, mappedLength(capacity));
}

void* mapStandardInput(std::size_t* size) {
  *size = 0;
  struct stat status;
  if (::fstat(STDIN_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  off_t offset = ::lseek(STDIN_FILENO, 0, SEEK_CUR);
  if (offset < 0 || offset >= status.st_size) return nullptr;
  std::size_t length = static_cast<std::size_t>(status.st_size - offset);
  if (!allocationPermitted(AllocKind::kMapping, length)) return nullptr;
  // The mapping starts on the page that holds the offset.
  std::size_t lead = static_cast<std::size_t>(offset) % pageSize();
  if (length > SIZE_MAX - lead) return nullptr;
  void* mapped = ::mmap(nullptr, length + lead, PROT_READ | PROT_WRITE, MAP_PRIVATE, STDIN_FILENO,
                        offset - static_cast<off_t>(lead));
  if (mapped == MAP_FAILED) return nullptr;
  *size = length;
  char* base = static_cast<char*>(mapped) + lead;
  return base;
}

void unmapStandardInput(void* block, std::size_t size) {
  if (block == nullptr) return;
  std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block);
  std::size_t lead = start % pageSize();
  ::munmap(reinterpret_cast<void*>(start - lead), size + lead);
}

}  // namespace kavro::platform
