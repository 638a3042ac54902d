// The narrow layer between the gateway and the operating system: what one
// request needs at run time. Only platform/<os>/ includes OS headers. The
// vocabulary follows the Windows originals (registry, WinSock, process heap,
// standard handles), so that platform/posix and platform/win32 behave alike.
// The sample engine and the tests need more: platform/support.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavro::platform {

// ---- process: once at start. A closed peer or response pipe must make a
// write fail, never end the process (SIGPIPE ignored on POSIX).
void processInit();
// The last error of the standard handle layer (GetLastError, errno).
int lastErrorCode();

// ---- the process heap. heapAvailable() stands for GetProcessHeap().
bool heapAvailable();
void* heapAlloc(std::size_t size);
void* heapRealloc(void* block, std::size_t size);
void heapFree(void* block);

// ---- the C allocator, for the decoder's and the forwarding's texts (malloc
// and realloc; released with std::free).
void* memAlloc(std::size_t size);
void* memRealloc(void* block, std::size_t size);

// ---- large buffers, apart from the heap, for contents of hundreds of MB:
// pages cost nothing until touched, and growing moves pages rather than bytes
// where the OS can. `capacity` is the size the block was last given. Null on
// failure; a block that could not grow stays valid and unchanged.
void* largeAlloc(std::size_t capacity);
void* largeGrow(void* block, std::size_t capacity, std::size_t newCapacity);
void largeFree(void* block, std::size_t capacity);
// The rest of standard input, mapped privately (writes never reach the file),
// when it is a regular file: null otherwise, and then it is read as a stream.
// Only before anything has read standard input through the C stream.
void* largeMapStandardInput(std::size_t* size);
void largeUnmapStandardInput(void* block, std::size_t size);

// ---- standard handles
// GetStdHandle(STD_OUTPUT_HANDLE): false when standard output is not open.
bool stdOutputValid();
// The unbuffered, untranslated write of the reply, after flushing the C stream
// stdout: every byte, or false at the first failure (code in lastErrorCode()).
// `written` is the count that reached the handle either way.
bool writeStdOutput(const char* data, std::size_t size, std::size_t* written);
// _setmode(_O_BINARY) on standard input and output.
void setBinaryStdio();

// ---- settings store (the registry under HKEY_LOCAL_MACHINE, read only)
enum RegType : std::uint32_t {  // numbered as the registry numbers them
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
};
enum class RegStatus {
  kOk,
  kNotFound,  // ERROR_FILE_NOT_FOUND: no such value, or no key
  kMoreData,  // ERROR_MORE_DATA: the data is larger than the buffer offered
};
struct RegKey;  // opaque handle of an open key
// "SOFTWARE\\Halvorn\\..."; null when the key does not exist. Paths and value
// names compare case-insensitively.
RegKey* regOpenKey(const char* path);
void regCloseKey(RegKey* key);
// RegQueryValueExA: `size` is the capacity offered on input and the bytes
// placed on output; on kOk the data and its type are placed.
RegStatus regQueryValue(RegKey* key, const char* name, std::uint32_t* type, unsigned char* data,
                        std::size_t* size);

// ---- sockets (TCP over IPv4). Failures leave a WinSock code in netLastError().
using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;
bool netStartup(int* major, int* minor);  // WSAStartup(1.1); the version granted
void netCleanup();
Socket netSocket();
// A host name or dotted IPv4 text to its first IPv4 address (network order).
bool netResolve(const char* host, std::uint32_t* address);
bool netConnect(Socket socket, std::uint32_t address, std::uint16_t port);  // blocking
// Every byte, retrying short counts; false on failure.
bool netSendAll(Socket socket, const char* data, std::size_t size);
// One recv: > 0 bytes received, 0 when the peer closed, < 0 on failure.
long netRecv(Socket socket, char* buffer, std::size_t size);
void netClose(Socket socket);
int netLastError();

// ---- spool files: created only where no file stands (never over one, never
// through a link planted at the name), then `size` bytes written.
enum class CreateStatus { kCreated, kExists, kFailed };
CreateStatus createNewFile(const char* path, const void* data, std::size_t size);

}  // namespace kavro::platform
