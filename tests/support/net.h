// Sockets as only the tests and the fuzz targets use them (POSIX).
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace kavro::test {

using platform::Socket;

// Closes with a reset instead of an orderly shutdown: the peer's next receive
// fails at once, and so does its next send, with no race against the wire.
void netAbort(Socket socket);
// Two connected stream sockets, for a peer in the same process.
bool netSocketPair(Socket* a, Socket* b);
// The peer reads end of file once the bytes sent so far are read.
void netShutdownSend(Socket socket);
// For programs linked with -Wl,--wrap=send,--wrap=recv (short_io.cpp): from
// now on no send() call takes, and no recv() call returns, more than `limit`
// bytes (0: no limit), as a kernel short of room or a peer's segments may
// make them.
void netSendLimitForTests(std::size_t limit);
void netRecvLimitForTests(std::size_t limit);

}  // namespace kavro::test
