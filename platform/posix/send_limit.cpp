// For tests: send() completing in part on demand. Linked only into programs
// built with -Wl,--wrap=send (the unit tests), where every send() of the
// program, the platform layer's included, comes here first. The two names
// with underscores are the linker's, not ours.
#include <sys/socket.h>
#include <sys/types.h>

#include "platform/support.h"

extern "C" ssize_t __real_send(int socket, const void* data, size_t size, int flags);

namespace {
std::size_t gLimit = 0;
}  // namespace

extern "C" ssize_t __wrap_send(int socket, const void* data, size_t size, int flags) {
  if (gLimit != 0 && size > gLimit) size = gLimit;
  return __real_send(socket, data, size, flags);
}

namespace kavro::platform {

void netSendLimitForTests(std::size_t limit) { gLimit = limit; }

}  // namespace kavro::platform
