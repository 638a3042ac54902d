// Sockets on Windows: WinSock asked for version 1.1. Failures keep the code
// WSAGetLastError gives, unmapped: the Engine link's messages are keyed on it.
#include <winsock2.h>
#include <climits>

#include "platform/platform.h"

namespace kavro::platform {
namespace {

int gLastError = 0;

SOCKET handleOf(Socket socket) { return static_cast<SOCKET>(socket); }

}  // namespace

bool netStartup(int* major, int* minor) {
  WSADATA data;
  // WSAStartup returns its error; WSAGetLastError is not defined before a
  // start-up succeeded.
  int rc = WSAStartup(0x0101, &data);
  if (rc != 0) {
    gLastError = rc;
    return false;
  }
  *major = LOBYTE(data.wVersion);
  *minor = HIBYTE(data.wVersion);
  return true;
}

void netCleanup() { WSACleanup(); }

Socket netSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    gLastError = WSAGetLastError();
    return kInvalidSocket;
  }
  // A Frame goes out as its length and then its text: with Nagle's algorithm
  // the second send would wait for the peer's delayed ACK of the first.
  BOOL yes = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
  return static_cast<Socket>(s);
}

bool netResolve(const char* host, std::uint32_t* address) {
  // gethostbyname takes a dotted IPv4 text as it is.
  hostent* found = ::gethostbyname(host);
  if (found == nullptr) {
    gLastError = WSAGetLastError();
    return false;
  }
  if (found->h_addrtype != AF_INET || found->h_length != 4 || found->h_addr_list[0] == nullptr) {
    gLastError = WSANO_DATA;
    return false;
  }
  in_addr first;
  CopyMemory(&first, found->h_addr_list[0], sizeof first);
  *address = first.s_addr;
  return true;
}

namespace {

// A connect that waits at most `seconds`: non-blocking, select() on the
// socket becoming writable (connected) or failing, then blocking again.
// 0 when connected, else the WinSock code.
int connectWithin(SOCKET s, const sockaddr_in& peer, int seconds) {
  u_long on = 1;
  if (ioctlsocket(s, FIONBIO, &on) == SOCKET_ERROR) return WSAGetLastError();
  int code = 0;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == SOCKET_ERROR) {
    code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval limit{seconds, 0};
      int ready = ::select(0, nullptr, &writable, &failed, &limit);
      if (ready == 0) {
        code = WSAETIMEDOUT;
      } else if (ready == SOCKET_ERROR) {
        code = WSAGetLastError();
      } else if (FD_ISSET(s, &failed)) {
        int error = 0;
        int length = sizeof error;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        code = error != 0 ? error : WSAECONNREFUSED;
      } else {
        code = 0;
      }
    }
  }
  u_long off = 0;
  ioctlsocket(s, FIONBIO, &off);
  return code;
}

}  // namespace

bool netConnect(Socket socket, std::uint32_t address, std::uint16_t port, int timeoutSeconds) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = address;
  if (timeoutSeconds > 0) {
    int code = connectWithin(handleOf(socket), peer, timeoutSeconds);
    if (code != 0) gLastError = code;
    return code == 0;
  }
  if (::connect(handleOf(socket), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == SOCKET_ERROR) {
    gLastError = WSAGetLastError();
    return false;
  }
  return true;
}

bool netSetTimeout(Socket socket, int seconds) {
  // Milliseconds here; 0 is no bound. WinSock fails a send or receive that
  // runs out with WSAETIMEDOUT, the code kNetTimedOut stands for.
  DWORD limit = seconds > 0 ? static_cast<DWORD>(seconds) * 1000 : 0;
  const char* value = reinterpret_cast<const char*>(&limit);
  if (setsockopt(handleOf(socket), SOL_SOCKET, SO_SNDTIMEO, value, sizeof limit) == SOCKET_ERROR ||
      setsockopt(handleOf(socket), SOL_SOCKET, SO_RCVTIMEO, value, sizeof limit) == SOCKET_ERROR) {
    gLastError = WSAGetLastError();
    return false;
  }
  return true;
}

// WinSock has no MSG_MORE: `more` changes nothing.
bool netSendAll(Socket socket, const char* data, std::size_t size, bool) {
  // A blocking send sends everything or fails, but the loop costs nothing
  // and a short count taken as success would cut a Frame in two.
  while (size > 0) {
    int piece = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    int sent = ::send(handleOf(socket), data, piece, 0);
    if (sent == SOCKET_ERROR) {
      gLastError = WSAGetLastError();
      return false;
    }
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

long netRecv(Socket socket, char* buffer, std::size_t size) {
  int piece = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  int got = ::recv(handleOf(socket), buffer, piece, 0);
  if (got == SOCKET_ERROR) {
    gLastError = WSAGetLastError();
    return -1;
  }
  return got;
}

void netClose(Socket socket) {
  if (socket != kInvalidSocket) ::closesocket(handleOf(socket));
}

int netLastError() { return gLastError; }

}  // namespace kavro::platform
