// Large buffers on Windows: address space reserved well beyond the capacity
// and committed as the buffer grows, so that growing rarely moves a byte.
#include <windows.h>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "platform/standard_input.h"

namespace kavro::platform {
namespace {

// Address space is plentiful in a 64-bit process and costs nothing until
// committed; a value larger than this moves once per doubling past it.
constexpr std::size_t kReserveMin = sizeof(void*) >= 8 ? std::size_t{1} << 30 : 0;

std::size_t granularity() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwAllocationGranularity != 0 ? info.dwAllocationGranularity : 65536;
}

// Whole allocation units for a capacity; 0 when that does not fit a size_t.
std::size_t roundedLength(std::size_t capacity) {
  std::size_t unit = granularity();
  if (capacity == 0) capacity = 1;
  if (capacity > SIZE_MAX - unit) return 0;
  return (capacity + unit - 1) / unit * unit;
}

}  // namespace

void* largeAlloc(std::size_t capacity) {
  std::size_t length = roundedLength(capacity);
  if (length == 0) return nullptr;
  void* base = nullptr;
  if (length < kReserveMin) base = VirtualAlloc(nullptr, kReserveMin, MEM_RESERVE, PAGE_NOACCESS);
  if (base == nullptr) base = VirtualAlloc(nullptr, length, MEM_RESERVE, PAGE_NOACCESS);
  if (base == nullptr) return nullptr;
  if (VirtualAlloc(base, length, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
    VirtualFree(base, 0, MEM_RELEASE);
    return nullptr;
  }
  return base;
}

void* largeGrow(void* block, std::size_t capacity, std::size_t newCapacity) {
  std::size_t newLength = roundedLength(newCapacity);
  if (newLength == 0) return nullptr;
  if (newLength <= roundedLength(capacity)) return block;
  // Within the reservation the pages are committed in place; a commit past
  // its end fails as a whole and the block moves.
  if (VirtualAlloc(block, newLength, MEM_COMMIT, PAGE_READWRITE) == block) return block;
  void* grown = largeAlloc(newCapacity);
  if (grown == nullptr) return nullptr;
  std::memcpy(grown, block, capacity);
  VirtualFree(block, 0, MEM_RELEASE);
  return grown;
}

void largeFree(void* block, std::size_t) {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

void* mapStandardInput(std::size_t* size) {
  *size = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == INVALID_HANDLE_VALUE || input == nullptr || GetFileType(input) != FILE_TYPE_DISK)
    return nullptr;
  LARGE_INTEGER total, offset, zero{};
  if (!GetFileSizeEx(input, &total) || !SetFilePointerEx(input, zero, &offset, FILE_CURRENT)) return nullptr;
  if (offset.QuadPart < 0 || offset.QuadPart >= total.QuadPart) return nullptr;
  unsigned long long rest = static_cast<unsigned long long>(total.QuadPart - offset.QuadPart);
  // A view starts on an allocation unit: the one that holds the offset.
  unsigned long long lead = static_cast<unsigned long long>(offset.QuadPart) % granularity();
  if (rest > SIZE_MAX - lead) return nullptr;
  unsigned long long start = static_cast<unsigned long long>(offset.QuadPart) - lead;
  // Copy on write: the decoder writes terminators into the view, and they
  // never reach the file.
  HANDLE mapping = CreateFileMappingA(input, nullptr, PAGE_WRITECOPY, 0, 0, nullptr);
  if (mapping == nullptr) return nullptr;
  void* view = MapViewOfFile(mapping, FILE_MAP_COPY, static_cast<DWORD>(start >> 32),
                             static_cast<DWORD>(start & 0xFFFFFFFFu), static_cast<SIZE_T>(rest + lead));
  // The view keeps the mapping object alive.
  CloseHandle(mapping);
  if (view == nullptr) return nullptr;
  *size = static_cast<std::size_t>(rest);
  return static_cast<char*>(view) + lead;
}

void unmapStandardInput(void* block, std::size_t) {
  if (block == nullptr) return;
  std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block);
  UnmapViewOfFile(reinterpret_cast<void*>(start - start % granularity()));
}

}  // namespace kavro::platform
