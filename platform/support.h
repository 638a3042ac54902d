// What the sample engine, kavro3-check, the tests and the benchmarks need
// from the operating system beyond the gateway's run time
// (platform/platform.h): listening sockets, termination signals, child
// processes, environment helpers, and looks at files and users. POSIX only;
// the Windows build of the gateway does without.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/reg_store.h"

namespace kavro::platform {

// ---------------------------------------------------------------- server sockets

// Server side, for the sample engine and the tests' fake engine: listens on
// `address`:`port` (port 0 picks an ephemeral one, returned in `bound`).
// With a `backlog` of 0 one connection fills the accept queue, and from then
// on the SYN of every further connect is dropped: the connect neither
// succeeds nor fails for the minutes of TCP's retries.
Socket netListen(const char* address, std::uint16_t port, std::uint16_t* bound, int backlog = 128);
Socket netAccept(Socket listener);
// Sends each write as its own segment, so a peer sees the pieces as sent.
void netNoDelay(Socket socket);
// Closes with a reset instead of an orderly shutdown: the peer's next receive
// fails at once, and so does its next send, with no race against the wire.
void netAbort(Socket socket);
// Two connected stream sockets, for a peer in the same process.
bool netSocketPair(Socket* a, Socket* b);
// The peer reads end of file once the bytes sent so far are read.
void netShutdownSend(Socket socket);
// For programs linked with -Wl,--wrap=send,--wrap=recv: from now on no
// send() call takes, and no recv() call returns, more than `limit` bytes (0:
// no limit), as a kernel short of room or a peer's segments may make them.
void netSendLimitForTests(std::size_t limit);
void netRecvLimitForTests(std::size_t limit);

// ---------------------------------------------------------------- child processes

// For tests and benchmarks: runs `path` with `args` after argv[0] and exactly
// the environment `env` ("NAME=value" items, nothing inherited), feeds `input`
// on its standard input, and collects its standard output and standard error.
// A child still running after `timeoutSeconds` is killed (SIGKILL on POSIX).
// It starts with SIGPIPE, SIGTERM, SIGINT and SIGHUP at their defaults, as a
// web server starts a CGI program; `started`, when given, learns its process
// id as soon as it runs. Returns false when it cannot run.
struct ChildResult {
  std::string output;
  std::string errors;     // what it wrote to standard error
  int exitStatus = -1;    // exit code, or 128 + signal number
  bool timedOut = false;  // killed because it ran past the time-out
};
bool runChild(const std::string& path, const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::string& input, ChildResult* result,
              int timeoutSeconds = 30, const std::function<void(long pid)>& started = nullptr);
// Sends SIGTERM, SIGINT, SIGHUP or SIGUSR1, named "TERM", "INT", "HUP" or
// "USR1", to the process `pid`. False for any other name, or when it cannot
// be sent.
bool sendTermination(long pid, const std::string& name);

// ---------------------------------------------------------------- test support

// setenv(), or unsetenv() when `value` is null.
void setEnv(const char* name, const char* value);
// A new private directory under the system's temporary directory.
std::string makeTempDir(const char* prefix);
// Forgets the loaded settings store, so the next regOpenKey reads the file again.
void regReloadForTests();
// The number of descriptors this process has open.
int openDescriptorCount();
// For fuzz targets: standard input holds `size` bytes of `data`, read from
// its start (the C stream forgets what it had buffered): a regular file
// (rewritten on every call), or a pipe whose writer has closed (at most 64
// KiB, what a pipe holds without a reader).
bool setStandardInputForTests(const void* data, std::size_t size, bool regularFile = true);

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
// The same with exactly the environment `env` and `standardInput` (a
// listening socket, for a FastCGI application) as its standard input.
BackgroundChild* startBackground(const std::string& path, const std::vector<std::string>& args,
                                 const std::vector<std::string>& env, Socket standardInput);
long backgroundPid(const BackgroundChild* child);
// Whether the child has ended; backgroundFinish then returns at once.
bool backgroundEnded(BackgroundChild* child);
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

// ---------------------------------------------------------------- settings file and access checks

// The settings file as the gateway finds it, and what its parser skipped.
struct RegFileReport {
  std::string path;  // KAVRO3_REGISTRY, or the default path
  bool fromEnvironment = false;
  bool read = false;  // false: `error` says why (missing, unreadable, too large)
  std::string error;
  std::size_t size = 0;
  std::vector<RegSkippedLine> skipped;
};
RegFileReport regInspectFile();

// A user as the kernel's permission checks see it.
struct UserIds {
  std::string name;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;  // supplementary groups
};
// False when there is no such user.
bool lookUpUser(const std::string& name, UserIds* user);
// The user this process runs as.
UserIds currentUser();

enum AccessWanted : int { kMayRead = 4, kMayWrite = 2, kMaySearch = 1 };

// Whether `user` may do `wanted` with the absolute `path`, judged from the
// permission bits alone (ACLs are not read; root may do everything): every
// directory above it must let the user search it.
struct AccessCheck {
  bool exists = false;
  bool isDirectory = false;
  bool allowed = false;
  std::string deniedAt;    // when not allowed: the path that refuses (or is missing)
  std::string problem;     // when not allowed: why, in words
  std::uint32_t mode = 0;  // of `path`: permission, set-id and sticky bits
  std::string owner;       // of `path`: names, or numbers without one
  std::string group;
};
AccessCheck checkAccess(const std::string& path, const UserIds& user, int wanted);

}  // namespace kavro::platform
