// Child processes on POSIX: posix_spawn with a pipe for each standard stream.
// One poll() loop feeds standard input and drains standard output and
// standard error together, so a child that writes a lot before reading all of
// its input (or the reverse) never deadlocks against us.
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

namespace kavro::test {
namespace {

using Clock = std::chrono::steady_clock;

// Owns the descriptors of one pipe end; -1 once closed.
struct Fd {
  int fd = -1;
  Fd() = default;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  bool open() const { return fd >= 0; }
};

bool makePipe(Fd* readEnd, Fd* writeEnd) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  readEnd->fd = ends[0];
  writeEnd->fd = ends[1];
  return true;
}

// Reads what is available; closes the descriptor at end of file or on error.
void drain(Fd* fd, std::string* sink) {
  char buffer[65536];
  ssize_t got = ::read(fd->fd, buffer, sizeof buffer);
  if (got > 0) {
    sink->append(buffer, static_cast<std::size_t>(got));
  } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
    fd->reset();
  }
}

int statusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

// Blocks SIGPIPE in the calling thread for its lifetime, so that writing to a
// child that has stopped reading fails with EPIPE instead of killing us. A
// SIGPIPE raised meanwhile is taken off the pending set before unblocking.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipeSet_);
    sigaddset(&pipeSet_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet_, &previous_);
  }
  ~SigpipeBlock() {
    if (!sigismember(&previous_, SIGPIPE)) {
      timespec none{};
      while (sigtimedwait(&pipeSet_, nullptr, &none) == SIGPIPE) {
      }
      pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t pipeSet_;
  sigset_t previous_;
};

}  // namespace

bool runChild(const std::string& path, const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::string& input, ChildResult* result,
              int timeoutSeconds, const std::function<void(long pid)>& started, const InputPause* pause) {
  *result = ChildResult{};
  SigpipeBlock sigpipeBlock;

  Fd inRead, inWrite, outRead, outWrite, errRead, errWrite;
  if (!makePipe(&inRead, &inWrite) || !makePipe(&outRead, &outWrite) || !makePipe(&errRead, &errWrite))
    return false;

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& item : env) envp.push_back(const_cast<char*>(item.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inRead.fd, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.fd, 1);
  posix_spawn_file_actions_adddup2(&actions, errWrite.fd, 2);

  // The child starts with no blocked signals and these at their defaults,
  // whatever this thread has blocked or ignored (a shell's background job
  // ignores SIGINT).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t noSignals, defaults;
  sigemptyset(&noSignals);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &noSignals);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) return false;
  if (started) started(static_cast<long>(pid));

  inRead.reset();
  outWrite.reset();
  errWrite.reset();

  std::size_t fed = 0;
  if (input.empty()) {
    inWrite.reset();
  } else {
    ::fcntl(inWrite.fd, F_SETFL, ::fcntl(inWrite.fd, F_GETFL) | O_NONBLOCK);
  }

  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  bool killed = false;
  auto killChild = [&] {
    ::kill(pid, SIGKILL);
    killed = true;
    result->timedOut = true;
  };

  while (inWrite.open() || outRead.open() || errRead.open()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      killChild();
      break;
    }
    pollfd watched[3];
    Fd* owners[3];
    nfds_t count = 0;
    if (inWrite.open()) {
      watched[count] = pollfd{inWrite.fd, POLLOUT, 0};
      owners[count++] = &inWrite;
    }
    if (outRead.open()) {
      watched[count] = pollfd{outRead.fd, POLLIN, 0};
      owners[count++] = &outRead;
    }
    if (errRead.open()) {
      watched[count] = pollfd{errRead.fd, POLLIN, 0};
      owners[count++] = &errRead;
    }
    int ready = ::poll(watched, count, static_cast<int>(left > 1000 ? 1000 : left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      killChild();
      break;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (watched[i].revents == 0) continue;
      Fd* owner = owners[i];
      if (owner == &inWrite) {
        std::size_t end = input.size();
        if (pause != nullptr && fed <= pause->at) {
          if (fed == pause->at) {
            pause->action(static_cast<long>(pid));
            pause = nullptr;
          } else {
            end = pause->at;
          }
        }
        ssize_t sent = ::write(inWrite.fd, input.data() + fed, end - fed);
        if (sent > 0) fed += static_cast<std::size_t>(sent);
        // EPIPE: the child stopped reading; the rest of the input is dropped.
        if (fed == input.size() || (sent < 0 && errno != EAGAIN && errno != EINTR)) inWrite.reset();
      } else {
        drain(owner, owner == &outRead ? &result->output : &result->errors);
      }
    }
  }
  inWrite.reset();
  outRead.reset();
  errRead.reset();

  // The child may have closed its streams and still be running.
  int waitStatus = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &waitStatus, killed ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return false;
    if (done == 0) {
      if (Clock::now() >= deadline) {
        killChild();
      } else {
        timespec nap{0, 5 * 1000 * 1000};
        ::nanosleep(&nap, nullptr);
      }
    }
  }
  result->exitStatus = statusOf(waitStatus);
  return true;
}

bool sendTermination(long pid, const std::string& name) {
  int signal = name == "TERM"   ? SIGTERM
               : name == "INT"  ? SIGINT
               : name == "HUP"  ? SIGHUP
               : name == "USR1" ? SIGUSR1
                                : 0;
  return signal != 0 && pid > 0 && ::kill(static_cast<pid_t>(pid), signal) == 0;
}

}  // namespace kavro::test
