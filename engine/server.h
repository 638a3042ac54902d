// The Engine Server's side of TCP, for the sample engine and the tests' fake
// engine: listening, accepting, and SIGTERM and SIGINT turned into a request
// to stop that wakes the accept loop. POSIX only (engine/server.cpp); failures
// leave a WinSock code in platform::netLastError(), as the gateway's sockets do.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kavro::engine {

using platform::Socket;

// Listens on `address`:`port` (port 0 picks an ephemeral one, returned in
// `bound`). With a `backlog` of 0 one connection fills the accept queue, and
// from then on the SYN of every further connect is dropped: the connect
// neither succeeds nor fails for the minutes of TCP's retries.
Socket netListen(const char* address, std::uint16_t port, std::uint16_t* bound, int backlog = 128);
Socket netAccept(Socket listener);
// Sends each write as its own segment, so a peer sees the pieces as sent.
void netNoDelay(Socket socket);
// A receive on `socket` that waits longer than `milliseconds` for data fails.
void netRecvTimeout(Socket socket, int milliseconds);

// From now on SIGTERM and SIGINT no longer end the process: they are noted,
// terminationRequested() turns true and netAcceptOrTerminate() returns. An
// inherited "ignore" of SIGINT (a background job of a script) is overridden.
// False when the handlers cannot be installed.
bool catchTermination();
bool terminationRequested();

// netAccept() that also returns, with kInvalidSocket, once termination is
// requested (see catchTermination). kInvalidSocket with
// terminationRequested() false is a failure of accept.
Socket netAcceptOrTerminate(Socket listener);

}  // namespace kavro::engine
