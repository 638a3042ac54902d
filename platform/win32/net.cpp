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

bool netConnect(Socket socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = address;
  if (::connect(handleOf(socket), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == SOCKET_ERROR) {
    gLastError = WSAGetLastError();
    return false;
  }
  return true;
}

bool netSendAll(Socket socket, const char* data, std::size_t size) {
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
