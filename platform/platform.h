// The narrow layer between the gateway and the operating system: what one
// request needs at run time. Only platform/<os>/ includes OS headers. The
// vocabulary follows the Windows originals (registry, WinSock, process heap,
// standard handles), so that platform/posix and platform/win32 behave alike.
// The request itself (variables, body, response) is platform/request.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavro::platform {

// ---- process: once at start. A closed peer or response pipe, or a file
// size limit, must make a write fail, never end the process (SIGPIPE and
// SIGXFSZ ignored on POSIX).
void processInit();

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
// The code of a wait that ran out (WSAETIMEDOUT).
constexpr int kNetTimedOut = 10060;
// Connects `socket`, blocking. `timeoutSeconds` 0: the system's own time-out,
// a plain blocking connect. Above 0: at most that long; a connect still under
// way then fails with kNetTimedOut (Windows: FIONBIO on, connect, select()
// on writable or error, the code from SO_ERROR, FIONBIO off again). Either way
// the socket is blocking afterwards.
bool netConnect(Socket socket, std::uint32_t address, std::uint16_t port, int timeoutSeconds);
// Bounds every later send and receive on `socket` to `seconds` each (0: no
// bound, the default). Windows: SO_SNDTIMEO and SO_RCVTIMEO in milliseconds.
// A send or receive that runs out fails with kNetTimedOut; a send may have
// passed part of its bytes on by then.
bool netSetTimeout(Socket socket, int seconds);
// Every byte, retrying short counts; false on failure. `more`: the caller
// sends again at once, and where the system can, the bytes wait to leave
// in one segment with the next ones (Linux: MSG_MORE) rather than wake the
// peer twice.
bool netSendAll(Socket socket, const char* data, std::size_t size, bool more = false);
// One recv: > 0 bytes received, 0 when the peer closed, < 0 on failure.
long netRecv(Socket socket, char* buffer, std::size_t size);
void netClose(Socket socket);
int netLastError();

// ---- ending early. While armed, a request to end the process from outside
// removes the files `paths[count - 1]` down to `paths[0]` (failures ignored)
// and then lets the process end as it would have without us. POSIX: SIGTERM,
// SIGINT and SIGHUP (any of them that the process did not inherit as
// ignored); the handler only unlinks, restores the signal's default action
// and raises it again, so the parent sees the process killed by that signal.
// Windows: a console control handler for CTRL_C, CTRL_BREAK, CTRL_CLOSE,
// CTRL_LOGOFF and CTRL_SHUTDOWN that deletes the files (DeleteFileA) and
// returns FALSE, so the next handler ends the process. The array and its
// texts must stay valid and unchanged until disarmed; arming again replaces
// the list. False when the handlers cannot be installed.
bool armSpoolRemoval(const char* const* paths, std::size_t count);
// Back to the dispositions from before arming; nothing is removed.
void disarmSpoolRemoval();

// ---- spool files. Failures leave the system's code in fileLastError().
using File = std::intptr_t;
constexpr File kInvalidFile = -1;
enum class CreateStatus { kCreated, kExists, kFailed };
// Creates `path` for writing only where no file stands: never over one, never
// through a link planted at the name.
CreateStatus fileCreateNew(const char* path, File* file);
// Writes every byte, or false at the first failure.
bool fileWrite(File file, const void* data, std::size_t size);
bool fileClose(File file);
// remove(): false when the file could not be removed.
bool fileRemove(const char* path);
int fileLastError();
// The system's words for a code of fileLastError(), in `buffer` (cut to fit).
void fileErrorText(int code, char* buffer, std::size_t capacity);

}  // namespace kavro::platform
