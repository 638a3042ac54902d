// Background children on POSIX, for the tests that start a server and stop
// it with a signal: standard error on a pipe, read line by line.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>

#include "tests/support/process.h"

extern char** environ;

namespace kavro::test {
namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

struct BackgroundChild {
  pid_t pid = -1;
  int errors = -1;  // read end of the child's standard error; -1 at end of file
  std::string pending;
  bool ended = false;  // reaped, with its status in waitStatus
  int waitStatus = 0;
};

namespace {

// One read of what is there; false when nothing came within the time.
bool readSome(BackgroundChild* child, int timeoutMilliseconds) {
  if (child->errors < 0) return false;
  pollfd watched{child->errors, POLLIN, 0};
  int rc = ::poll(&watched, 1, timeoutMilliseconds);
  if (rc <= 0) return false;
  char buffer[4096];
  ssize_t got = ::read(child->errors, buffer, sizeof buffer);
  if (got > 0) {
    child->pending.append(buffer, static_cast<std::size_t>(got));
    return true;
  }
  if (got < 0 && errno == EINTR) return true;
  ::close(child->errors);
  child->errors = -1;
  return false;
}

// Starts `path` with standard error on a pipe and standard input from
// `standardInput`, or from /dev/null when it is -1.
BackgroundChild* spawnBackground(const std::string& path, const std::vector<std::string>& args,
                                 char* const* envp, int standardInput) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return nullptr;

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (standardInput < 0) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, standardInput, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, ends[1], 2);

  // The child starts with no blocked signals and these three at their
  // defaults, whatever the test process has done with them.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(ends[1]);
  if (spawned != 0) {
    ::close(ends[0]);
    return nullptr;
  }
  auto* child = new BackgroundChild;
  child->pid = pid;
  child->errors = ends[0];
  return child;
}

}  // namespace

BackgroundChild* startBackground(const std::string& path, const std::vector<std::string>& args) {
  return spawnBackground(path, args, environ, -1);
}

BackgroundChild* startBackground(const std::string& path, const std::vector<std::string>& args,
                                 const std::vector<std::string>& env, int standardInput) {
  std::vector<char*> envp;
  for (const std::string& item : env) envp.push_back(const_cast<char*>(item.c_str()));
  envp.push_back(nullptr);
  return spawnBackground(path, args, envp.data(), standardInput);
}

long backgroundPid(const BackgroundChild* child) { return static_cast<long>(child->pid); }

bool backgroundEnded(BackgroundChild* child) {
  if (child->ended) return true;
  pid_t done;
  while ((done = ::waitpid(child->pid, &child->waitStatus, WNOHANG)) < 0 && errno == EINTR) {
  }
  child->ended = done == child->pid;
  return child->ended;
}

bool backgroundReadLine(BackgroundChild* child, std::string* line, int timeoutMilliseconds) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  for (;;) {
    std::size_t end = child->pending.find('\n');
    if (end != std::string::npos) {
      *line = child->pending.substr(0, end);
      child->pending.erase(0, end + 1);
      return true;
    }
    int left = millisecondsLeft(deadline);
    if (child->errors < 0 || left == 0) return false;
    readSome(child, left);
  }
}

void backgroundTerminate(BackgroundChild* child, bool interrupt) {
  ::kill(child->pid, interrupt ? SIGINT : SIGTERM);
}

int backgroundFinish(BackgroundChild* child, int timeoutMilliseconds, std::string* restOfErrors) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  int waitStatus = child->waitStatus;
  while (!child->ended) {
    pid_t done = ::waitpid(child->pid, &waitStatus, WNOHANG);
    if (done == child->pid) break;
    if (done < 0 && errno != EINTR) {
      waitStatus = -1;
      break;
    }
    if (millisecondsLeft(deadline) == 0) {
      ::kill(child->pid, SIGKILL);
      while (::waitpid(child->pid, &waitStatus, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    // Keep draining, so a child that writes a lot is never blocked on us.
    if (!readSome(child, 10)) {
      timespec nap{0, 10 * 1000 * 1000};
      ::nanosleep(&nap, nullptr);
    }
  }
  // The pipe's end of file follows the exit, unless a grandchild holds it.
  const auto drainDeadline = Clock::now() + std::chrono::milliseconds(1000);
  while (child->errors >= 0 && millisecondsLeft(drainDeadline) > 0)
    readSome(child, millisecondsLeft(drainDeadline));
  if (child->errors >= 0) ::close(child->errors);
  if (restOfErrors) *restOfErrors = std::move(child->pending);
  delete child;
  if (waitStatus == -1) return -1;
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

}  // namespace kavro::test
