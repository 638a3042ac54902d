// Listening sockets and termination signals on POSIX: the one file of the
// engine that includes OS headers. SIGTERM and SIGINT become a flag and a
// wake-up of the accept loop (the self-pipe trick).
#include "engine/server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

#include "platform/posix/net_codes.h"

namespace kavro::engine {
namespace {

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

}  // namespace

Socket netListen(const char* address, std::uint16_t port, std::uint16_t* bound, int backlog) {
  std::uint32_t ip = 0;
  if (!platform::netResolve(address, &ip)) return platform::kInvalidSocket;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    platform::posix::setNetError(errno);
    return platform::kInvalidSocket;
  }
  int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = ip;
  socklen_t length = sizeof local;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    platform::posix::setNetError(errno);
    ::close(fd);
    return platform::kInvalidSocket;
  }
  if (bound) *bound = ntohs(local.sin_port);
  return fd;
}

Socket netAccept(Socket listener) {
  for (;;) {
    int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno == EINTR || errno == ECONNABORTED) continue;
    platform::posix::setNetError(errno);
    return platform::kInvalidSocket;
  }
}

void netNoDelay(Socket socket) {
  int yes = 1;
  setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

void netRecvTimeout(Socket socket, int milliseconds) {
  timeval limit{};
  limit.tv_sec = milliseconds / 1000;
  limit.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
  ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

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
  if (flags < 0) return platform::kInvalidSocket;
  if (!(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return platform::kInvalidSocket;
  for (;;) {
    if (terminationRequested()) return platform::kInvalidSocket;
    pollfd watched[2] = {{fd, POLLIN, 0}, {gWakeRead, POLLIN, 0}};
    int rc = ::poll(watched, gWakeRead >= 0 ? 2 : 1, -1);
    if (rc < 0 && errno != EINTR) return platform::kInvalidSocket;
    if (terminationRequested()) return platform::kInvalidSocket;
    if (rc <= 0 || watched[0].revents == 0) continue;
    int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) return client;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) continue;
    return platform::kInvalidSocket;
  }
}

}  // namespace kavro::engine
