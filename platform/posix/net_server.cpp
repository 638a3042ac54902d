// Server sockets on POSIX, for the sample engine and the tests' fake engine.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

#include "platform/posix/net_codes.h"
#include "platform/support.h"

namespace kavro::platform {

Socket netListen(const char* address, std::uint16_t port, std::uint16_t* bound, int backlog) {
  std::uint32_t ip = 0;
  if (!netResolve(address, &ip)) return kInvalidSocket;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    posix::setNetError(errno);
    return kInvalidSocket;
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
    posix::setNetError(errno);
    ::close(fd);
    return kInvalidSocket;
  }
  if (bound) *bound = ntohs(local.sin_port);
  return fd;
}

Socket netAccept(Socket listener) {
  for (;;) {
    int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno == EINTR || errno == ECONNABORTED) continue;
    posix::setNetError(errno);
    return kInvalidSocket;
  }
}

void netNoDelay(Socket socket) {
  int yes = 1;
  setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

void netAbort(Socket socket) {
  linger abortive{1, 0};
  setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  ::close(static_cast<int>(socket));
}

bool netSocketPair(Socket* a, Socket* b) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  *a = ends[0];
  *b = ends[1];
  return true;
}

void netShutdownSend(Socket socket) { ::shutdown(static_cast<int>(socket), SHUT_WR); }

}  // namespace kavro::platform
