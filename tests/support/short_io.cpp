// send() and recv() completing in part on demand. Linked only into
// programs built with -Wl,--wrap=send,--wrap=recv (the unit tests and the
// fuzz targets), where every send() and recv() of the program, the platform
// layer's included, comes here first. The names with underscores are the
// linker's, not ours.
#include <sys/socket.h>
#include <sys/types.h>

#include "tests/support/net.h"

extern "C" ssize_t __real_send(int socket, const void* data, size_t size, int flags);
extern "C" ssize_t __real_recv(int socket, void* buffer, size_t size, int flags);

namespace {
std::size_t gSendLimit = 0;
std::size_t gRecvLimit = 0;
}  // namespace

extern "C" ssize_t __wrap_send(int socket, const void* data, size_t size, int flags) {
  if (gSendLimit != 0 && size > gSendLimit) size = gSendLimit;
  return __real_send(socket, data, size, flags);
}

extern "C" ssize_t __wrap_recv(int socket, void* buffer, size_t size, int flags) {
  if (gRecvLimit != 0 && size > gRecvLimit) size = gRecvLimit;
  return __real_recv(socket, buffer, size, flags);
}

namespace kavro::test {

void netSendLimitForTests(std::size_t limit) { gSendLimit = limit; }
void netRecvLimitForTests(std::size_t limit) { gRecvLimit = limit; }

}  // namespace kavro::test
