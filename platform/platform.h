// The narrow layer between KAVRO3 and the operating system.
//
// Everything the gateway, the decoder and the sample engine need from the OS
// goes through these declarations; only platform/<os>/ includes OS headers.
// The vocabulary follows the Windows originals (registry, WinSock, process
// heap, standard handles) so that both implementations behave alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavro::platform {

// ---------------------------------------------------------------- process

// Once at start: SIGPIPE is ignored, so a closed peer or response pipe is an
// error result, never a killed process.
void processInit();

// Last error code of the standard handle layer (GetLastError / errno).
int lastErrorCode();

// ---------------------------------------------------------------- heap

// The process heap. heapAvailable() stands for GetProcessHeap().
bool heapAvailable();
void* heapAlloc(std::size_t size);
void* heapRealloc(void* block, std::size_t size);
void heapFree(void* block);

// ---------------------------------------------------------------- large buffers

// Memory apart from the process heap for buffers that can grow to hundreds of
// megabytes (an upload held in memory). Pages take no memory until first
// touched, so capacity that is never written costs nothing, and growing keeps
// the contents without copying them where the OS can move pages instead.
// `capacity` is the size the block was last given. Null on failure; a block
// that could not grow stays valid and unchanged.
void* largeAlloc(std::size_t capacity);
void* largeGrow(void* block, std::size_t capacity, std::size_t newCapacity);
void largeFree(void* block, std::size_t capacity);

// The rest of standard input as a large buffer, when standard input is a
// regular file (a web server that spools request bodies to disk): the file's
// own pages, mapped privately, so that writing to the buffer never reaches
// the file and costs a copy of the pages written only. Null when standard
// input is not a regular file, holds no more bytes or cannot be mapped; then
// it is read as a stream. Only before anything has read standard input
// through the C stream, whose buffer would be skipped. `size` gets the byte
// count; the buffer is released with largeUnmapStandardInput.
void* largeMapStandardInput(std::size_t* size);
void largeUnmapStandardInput(void* block, std::size_t size);

// ---------------------------------------------------------------- standard handles

// GetStdHandle(STD_OUTPUT_HANDLE): false when standard output is not open.
bool stdOutputValid();

// The unbuffered, untranslated write of the reply: flushes the C stream
// stdout first, then writes every byte or stops at the first failure.
// Returns false on failure (the code is in lastErrorCode()); `written` is the
// number of bytes that reached the handle either way.
bool writeStdOutput(const char* data, std::size_t size, std::size_t* written);

// _setmode(_O_BINARY) on standard input and output.
void setBinaryStdio();

// ---------------------------------------------------------------- settings store

// Value types, numbered as the Windows registry numbers them.
enum RegType : std::uint32_t {
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

// Opens a key below HKEY_LOCAL_MACHINE for reading ("SOFTWARE\\Halvorn\\...").
// Null when the key does not exist. Paths and names compare case-insensitively.
RegKey* regOpenKey(const char* path);
void regCloseKey(RegKey* key);

// RegQueryValueExA: on kOk places the data, its type and its byte count.
// `size` is the capacity offered on input and the bytes placed on output.
RegStatus regQueryValue(RegKey* key, const char* name, std::uint32_t* type, unsigned char* data,
                        std::size_t* size);

// ---------------------------------------------------------------- sockets

using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;

// WSAStartup asking for 1.1; the version granted comes back. False on failure.
bool netStartup(int* major, int* minor);
void netCleanup();

// TCP over IPv4. kInvalidSocket on failure.
Socket netSocket();

// Resolves a host name or dotted IPv4 text to its first IPv4 address (network
// byte order).
bool netResolve(const char* host, std::uint32_t* address);

// Blocking connect; `port` in host byte order.
bool netConnect(Socket socket, std::uint32_t address, std::uint16_t port);

// Sends every byte (retrying short counts and EINTR); false on failure.
bool netSendAll(Socket socket, const char* data, std::size_t size);

// One recv: > 0 bytes received, 0 when the peer closed, < 0 on failure.
long netRecv(Socket socket, char* buffer, std::size_t size);

void netClose(Socket socket);

// The WinSock error code of the last failed net* call (WSAGetLastError).
int netLastError();

// Server side, for the sample engine and the tests' fake engine: listens on
// `address`:`port` (port 0 picks an ephemeral one, returned in `bound`).
Socket netListen(const char* address, std::uint16_t port, std::uint16_t* bound);
Socket netAccept(Socket listener);
// Sends each write as its own segment, so a peer sees the pieces as sent.
void netNoDelay(Socket socket);

// ---------------------------------------------------------------- files

// Creates a file that did not exist before (never through a symbolic link,
// never over an existing file) and writes `size` bytes. kCreated on success;
// kExists when the name is taken; kFailed for any other failure.
enum class CreateStatus { kCreated, kExists, kFailed };
CreateStatus createNewFile(const char* path, const void* data, std::size_t size);

// ---------------------------------------------------------------- child processes

// For tests and benchmarks: runs `path` with `args` after argv[0] and exactly
// the environment `env` ("NAME=value" items, nothing inherited), feeds `input`
// on its standard input, and collects its standard output and standard error.
// A child still running after `timeoutSeconds` is killed (SIGKILL on POSIX).
// Returns false when it cannot run.
struct ChildResult {
  std::string output;
  std::string errors;     // what it wrote to standard error
  int exitStatus = -1;    // exit code, or 128 + signal number
  bool timedOut = false;  // killed because it ran past the time-out
};
bool runChild(const std::string& path, const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::string& input, ChildResult* result,
              int timeoutSeconds = 30);

// ---------------------------------------------------------------- test support

// setenv(), or unsetenv() when `value` is null.
void setEnv(const char* name, const char* value);
// A new private directory under the system's temporary directory.
std::string makeTempDir(const char* prefix);
// Forgets the loaded settings store, so the next regOpenKey reads the file again.
void regReloadForTests();

// ---------------------------------------------------------------- process control

// From now on SIGTERM and SIGINT no longer end the process: they are noted,
// terminationRequested() turns true and netAcceptOrTerminate() returns. An
// inherited "ignore" of SIGINT (a background job of a script) is overridden.
// False when the handlers cannot be installed.
bool catchTermination();
bool terminationRequested();

// netAccept() that also returns, with kInvalidSocket, once termination is
// requested (see catchTermination). kInvalidSocket with
// terminationRequested() false is a failure of accept.
Socket netAcceptOrTerminate(Socket listener);

// A receive on `socket` that waits longer than `milliseconds` for data fails.
void netRecvTimeout(Socket socket, int milliseconds);

// For tests: a child left running in the background, with the environment of
// this process, standard input from nowhere and standard error on a pipe.
struct BackgroundChild;
// Null when it cannot start.
BackgroundChild* startBackground(const std::string& path, const std::vector<std::string>& args);
// The next line of the child's standard error, without its line feed. False
// at end of file or after `timeoutMilliseconds`; what was read stays for the
// next call or backgroundFinish.
bool backgroundReadLine(BackgroundChild* child, std::string* line, int timeoutMilliseconds);
// SIGTERM, or SIGINT when `interrupt`.
void backgroundTerminate(BackgroundChild* child, bool interrupt);
// Waits for the child's end (killing it after `timeoutMilliseconds`), hands
// back the rest of its standard error, releases `child` and returns the exit
// status as runChild does (128 + signal number; 128 + 9 when killed here).
int backgroundFinish(BackgroundChild* child, int timeoutMilliseconds, std::string* restOfErrors);

}  // namespace kavro::platform
