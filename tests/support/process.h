// Child processes and this process's own state, for the tests, the
// benchmarks and the fuzz targets (POSIX).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace kavro::test {

// Runs `path` with `args` after argv[0] and exactly the environment `env`
// ("NAME=value" items, nothing inherited), feeds `input` on its standard
// input, and collects its standard output and standard error. A child still
// running after `timeoutSeconds` is killed (SIGKILL). It starts with SIGPIPE,
// SIGTERM, SIGINT and SIGHUP at their defaults, as a web server starts a CGI
// program; `started`, when given, learns its process id as soon as it runs.
// Returns false when it cannot run.
struct ChildResult {
  std::string output;
  std::string errors;     // what it wrote to standard error
  int exitStatus = -1;    // exit code, or 128 + signal number
  bool timedOut = false;  // killed because it ran past the time-out
};
// With `pause`, feeding stops after `pause->at` bytes of the input until
// `pause->action` (given the child's process id) has returned.
struct InputPause {
  std::size_t at;
  std::function<void(long pid)> action;
};
bool runChild(const std::string& path, const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::string& input, ChildResult* result,
              int timeoutSeconds = 30, const std::function<void(long pid)>& started = nullptr,
              const InputPause* pause = nullptr);
// Sends SIGTERM, SIGINT, SIGHUP or SIGUSR1, named "TERM", "INT", "HUP" or
// "USR1", to the process `pid`. False for any other name, or when it cannot
// be sent.
bool sendTermination(long pid, const std::string& name);

// A child left running in the background, with the environment of this
// process, standard input from nowhere and standard error on a pipe.
struct BackgroundChild;
// Null when it cannot start.
BackgroundChild* startBackground(const std::string& path, const std::vector<std::string>& args);
// The same with exactly the environment `env` and the descriptor
// `standardInput` (a listening socket, for a FastCGI application) as its
// standard input.
BackgroundChild* startBackground(const std::string& path, const std::vector<std::string>& args,
                                 const std::vector<std::string>& env, int standardInput);
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

// setenv(), or unsetenv() when `value` is null.
void setEnv(const char* name, const char* value);
// The number of descriptors this process has open.
int openDescriptorCount();
// Standard input holds `size` bytes of `data`, read from its start (the C
// stream forgets what it had buffered): a regular file (rewritten on every
// call), or a pipe whose writer has closed (at most 64 KiB, what a pipe
// holds without a reader).
bool setStandardInputForTests(const void* data, std::size_t size, bool regularFile = true);

}  // namespace kavro::test
