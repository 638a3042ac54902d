// Sockets on POSIX, reporting failures with the WinSock codes the Engine
// link's messages are keyed on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/net_codes.h"

namespace kavro::platform {
namespace {

int gLastError = 0;

int winsockCode(int error) {
  switch (error) {
    case ECONNREFUSED: return 10061;
    case ETIMEDOUT: return 10060;
    case ENETUNREACH: return 10051;
    case ENETDOWN: return 10050;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case EAFNOSUPPORT: return 10047;
    case ESOCKTNOSUPPORT: return 10044;
    case EPROTONOSUPPORT: return 10043;
    case EPROTOTYPE: return 10041;
    case EDESTADDRREQ: return 10039;
    case ENOTSOCK:
    case EBADF: return 10038;
    case EINPROGRESS:
    case EALREADY: return 10036;
    case EMFILE:
    case ENFILE: return 10024;
    case EINVAL: return 10022;
    case EFAULT: return 10014;
    case EINTR: return 10004;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    default: return 10065;  // WSAEHOSTUNREACH, and anything without a counterpart
  }
}

int resolverCode(int error) {
  switch (error) {
    case EAI_NONAME: return 11001;
    case EAI_AGAIN: return 11002;
    case EAI_FAIL: return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA: return 11004;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return 11004;
#endif
    case EAI_SYSTEM: return winsockCode(errno);
    default: return 11003;
  }
}

// A send or receive on a blocking socket fails with EAGAIN only when the
// SO_SNDTIMEO or SO_RCVTIMEO bound ran out.
void setWaitError(int error) {
  gLastError = (error == EAGAIN || error == EWOULDBLOCK) ? kNetTimedOut : winsockCode(error);
}

// Connects without blocking and waits for the outcome at most `timeoutSeconds`;
// the socket is blocking again afterwards. 0 when connected, else the errno
// value, or -1 when the wait ran out.
int connectWithin(int fd, const sockaddr_in& peer, int timeoutSeconds) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  int error = 0;
  // EINTR on a non-blocking connect leaves it going on, as EINPROGRESS does.
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) error = errno;
  if (error == EINPROGRESS || error == EINTR) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        error = -1;
        break;
      }
      pollfd watched{fd, POLLOUT, 0};
      int ready = ::poll(&watched, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        error = errno;
      } else if (ready == 0) {
        error = -1;
      } else {
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      }
      break;
    }
  }
  if (::fcntl(fd, F_SETFL, flags) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace

namespace posix {
void setNetError(int error) { gLastError = winsockCode(error); }
}  // namespace posix

bool netStartup(int* major, int* minor) {
  // POSIX sockets need no start-up; they behave like WinSock 1.1.
  *major = 1;
  *minor = 1;
  return true;
}

void netCleanup() {}

Socket netSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    posix::setNetError(errno);
    return kInvalidSocket;
  }
  // A Frame goes out as its length and then its text: with Nagle's algorithm
  // the second write would wait for the peer's delayed ACK of the first.
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  return fd;
}

bool netResolve(const char* host, std::uint32_t* address) {
  in_addr dotted{};
  if (inet_pton(AF_INET, host, &dotted) == 1) {
    *address = dotted.s_addr;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    gLastError = rc != 0 ? resolverCode(rc) : 11004;
    return false;
  }
  *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

bool netConnect(Socket socket, std::uint32_t address, std::uint16_t port, int timeoutSeconds) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = address;
  if (timeoutSeconds > 0) {
    int error = connectWithin(static_cast<int>(socket), peer, timeoutSeconds);
    if (error == -1) gLastError = kNetTimedOut;
    if (error > 0) posix::setNetError(error);
    return error == 0;
  }
  int rc;
  do {
    rc = ::connect(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&peer), sizeof peer);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    posix::setNetError(errno);
    return false;
  }
  return true;
}

bool netSetTimeout(Socket socket, int seconds) {
  timeval limit{};
  limit.tv_sec = seconds > 0 ? seconds : 0;
  int fd = static_cast<int>(socket);
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
    posix::setNetError(errno);
    return false;
  }
  return true;
}

bool netSendAll(Socket socket, const char* data, std::size_t size, bool more) {
  // A blocking send can still return a short count; a short count taken as
  // success would cut a Frame in two.
  const int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  while (size > 0) {
    ssize_t sent = ::send(static_cast<int>(socket), data, size, flags);
    if (sent < 0) {
      if (errno == EINTR) continue;
      setWaitError(errno);
      return false;
    }
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

long netRecv(Socket socket, char* buffer, std::size_t size) {
  for (;;) {
    ssize_t got = ::recv(static_cast<int>(socket), buffer, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) setWaitError(errno);
    return static_cast<long>(got);
  }
}

void netClose(Socket socket) {
  if (socket != kInvalidSocket) ::close(static_cast<int>(socket));
}

int netLastError() { return gLastError; }

}  // namespace kavro::platform
