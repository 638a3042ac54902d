#include "tests/support/net.h"

#include <sys/socket.h>
#include <unistd.h>

namespace kavro::test {

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

}  // namespace kavro::test
