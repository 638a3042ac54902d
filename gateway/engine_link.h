// The gateway's TCP client to the Engine Server: server list and failover,
// Frames, and the text of the link's last failure.
//
// Every operation returns true when it went well and false on failure,
// leaving the reason in the link's last error text; the two receives return
// what they received (a count, a length) and -1 on failure instead.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gateway/strings.h"
#include "platform/platform.h"
#include "wire/wire.h"

namespace kavro {

inline constexpr std::size_t kLastErrorMax = 1023;
inline constexpr std::size_t kPieceSize = 100000;  // bytes per recv piece
inline constexpr std::size_t kMaxServers = 100;
inline constexpr std::size_t kServerTextMax = 2047;  // ServerURL, ServerPort

// One run's connection to an Engine Server. A new link is unconnected, with
// an empty last error text and no bound on its waits.
struct EngineLink {
  EngineLink() = default;
  // A run that ends early, or on a Close that could not be sent, leaves its
  // link connected: it is closed with the run, so that a process serving one
  // run after another keeps no socket of a finished one.
  ~EngineLink();
  EngineLink(const EngineLink&) = delete;
  EngineLink& operator=(const EngineLink&) = delete;

  platform::Socket socket = platform::kInvalidSocket;
  FixedText<kLastErrorMax + 1> lastError;
  int timeoutSeconds = 0;
  // The connect prefix of the server the link is connected to, for the text
  // of a send or receive that runs out.
  char peerPrefix[kLastErrorMax + 1] = {};
  // Receives pass through here piece by piece, whatever the reply's size.
  char piece[kPieceSize];
  // The Login and Close messages and their replies.
  char message[wire::kShortReplyMax + 1];
};

// The servers of ServerURL and ServerPort, split at commas the way strtok
// does (empty items skipped, items not trimmed, at most 100). Server i is
// (hosts[i], ports[i]) for i below count, the smaller of the two item counts.
struct ServerList {
  char hostText[kServerTextMax + 1];
  char portText[kServerTextMax + 1];
  const char* hosts[kMaxServers];
  const char* ports[kMaxServers];
  std::size_t count;
};

void buildServerList(const char* serverUrl, const char* serverPort, ServerList* list);

// The first server to try: rand() modulo count after srand(time) when
// MultipleServers begins with '1', else 0.
std::size_t firstServer(const char* multipleServers, std::size_t count);

// Tries the servers from `start` on: each once when start > 0, and
// 0, 1, ..., n-1, 0 when start is 0. True once one connects, false when all
// failed (the last error text is the last attempt's). An empty list fails
// with the configured texts named. `attempt` (with `context`) stands for
// engineConnect.
using ConnectFn = bool (*)(EngineLink& link, void* context, const char* host, const char* port);
bool engineConnectAny(EngineLink& link, const ServerList& list, std::size_t start, const char* serverUrl,
                      const char* serverPort, ConnectFn attempt, void* context);

// The bound, in seconds, of every wait for the Engine Server from the next
// attempt on: each connect, each send and each receive. 0: unbounded. A wait
// that runs out fails like any other; its text is the connect prefix with
// the server's host and port, then the message for 10060, whichever the step.
void engineSetTimeout(EngineLink& link, int seconds);

// One attempt; the unused context makes it a ConnectFn.
bool engineConnect(EngineLink& link, const char* host, const char* port);
bool engineConnectAttempt(EngineLink& link, void* context, const char* host, const char* port);
// `more`: another send follows at once (platform::netSendAll).
bool engineSend(EngineLink& link, const char* data, std::size_t size, bool more = false);
bool engineSendFrame(EngineLink& link, const char* text);
bool engineSendFrame(EngineLink& link, const char* data, std::size_t size);

// Receives exactly `count` bytes and keeps them in `buffer` as a terminated
// text: the text ends at the first zero byte received and at capacity - 1
// bytes; the bytes beyond are received and dropped. Returns `count`, or -1 when
// the peer closed or failed first (the bytes kept so far stay). `kept` (when
// given) is the text's length. A count of 0 or less receives nothing and is
// returned as it is.
std::int32_t engineRecv(EngineLink& link, char* buffer, std::size_t capacity, std::int32_t count,
                        std::size_t* kept = nullptr);

// The eight-digit length of the next Frame, read as atol reads it; -1 on failure.
std::int32_t engineRecvLength(EngineLink& link);

// Closes the socket if one is open, and shuts the socket library down.
void engineDisconnect(EngineLink& link);
const char* engineLastError(const EngineLink& link);

// Pure helpers, exposed for their tests.
const char* connectErrorMessage(int code);
std::int32_t frameLength(const char* digits);  // atol over a terminated text
int portNumber(const char* text);              // atoi, saturating like the C library

}  // namespace kavro
