// Process control on POSIX: SIGTERM and SIGINT turned into a flag and a
// wake-up of the accept loop (the self-pipe trick), and background children
// for the tests that start a server and stop it with a signal.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>

#include "platform/support.h"

extern char** environ;

namespace kavro::platform {
namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t gTerminationRequested = 0;
// Written to by the signal handler; the read end wakes poll(). Set up before
// the handlers are installed and never closed.
int gWakeRead = -1;
int gWakeWrite = -1;

void onTermination(int) {
  int saved = errno;
  gTerminationRequested = 1;
  if (gWakeWrite >= 0) {
    char byte = 1;
    // A full pipe already wakes the reader; nothing to do on failure.
    ssize_t ignored = ::write(gWakeWrite, &byte, 1);
    (void)ignored;
  }
  errno = saved;
}

int millisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

bool catchTermination() {
  if (gWakeRead < 0) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    gWakeRead = ends[0];
    gWakeWrite = ends[1];
  }
  struct sigaction action {};
  action.sa_handler = onTermination;
  sigemptyset(&action.sa_mask);
  // Other threads' blocking calls carry on; poll() in the accept loop is
  // woken by the pipe, which SA_RESTART does not affect.
  action.sa_flags = SA_RESTART;
  return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

bool terminationRequested() { return gTerminationRequested != 0; }

Socket netAcceptOrTerminate(Socket listener) {
  int fd = static_cast<int>(listener);
  // Non-blocking, so that a connection that goes away between poll() and
  // accept() cannot leave us blocked in accept() past a termination request.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return kInvalidSocket;
  if (!(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return kInvalidSocket;
  for (;;) {
    if (terminationRequested()) return kInvalidSocket;
    pollfd watched[2] = {{fd, POLLIN, 0}, {gWakeRead, POLLIN, 0}};
    int rc = ::poll(watched, gWakeRead >= 0 ? 2 : 1, -1);
    if (rc < 0 && errno != EINTR) return kInvalidSocket;
    if (terminationRequested()) return kInvalidSocket;
    if (rc <= 0 || watched[0].revents == 0) continue;
    int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) return client;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) continue;
    return kInvalidSocket;
  }
}

void netRecvTimeout(Socket socket, int milliseconds) {
  timeval limit{};
  limit.tv_sec = milliseconds / 1000;
  limit.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
  ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

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

}  // namespace

namespace {

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
                                 const std::vector<std::string>& env, Socket standardInput) {
  std::vector<char*> envp;
  for (const std::string& item : env) envp.push_back(const_cast<char*>(item.c_str()));
  envp.push_back(nullptr);
  return spawnBackground(path, args, envp.data(), static_cast<int>(standardInput));
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

}  // namespace kavro::platform
