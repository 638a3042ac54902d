#include "gateway/engine_link.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "decoder/decimal.h"
#include "gateway/strings.h"
#include "gateway/texts.h"
#include "platform/platform.h"
#include "wire/wire.h"

namespace kavro {
namespace {

void setConnectError(EngineLink& link, const char* host, const char* port, const char* message) {
  // snprintf cuts the text at the bound; a long host can push the message
  // itself out of it.
  char prefix[kLastErrorMax + 1];
  std::snprintf(prefix, sizeof prefix, text::kConnectPrefix, host, port);
  link.lastError.assign(prefix);
  link.lastError.append(message);
}

// A send or receive failed. Without a bound of ours the link keeps its one
// text for both, whatever the system said; a bound that ran out names the
// server that stopped answering, with the text of the code it failed with.
void setTransferError(EngineLink& link) {
  if (link.timeoutSeconds > 0 && platform::netLastError() == platform::kNetTimedOut) {
    link.lastError.assign(link.peerPrefix);
    link.lastError.append(connectErrorMessage(platform::kNetTimedOut));
    return;
  }
  link.lastError.assign(text::kDisconnected);
}

}  // namespace

void buildServerList(const char* serverUrl, const char* serverPort, ServerList* list) {
  FixedText<kServerTextMax + 1> copy;
  copy.assign(serverUrl);
  std::memcpy(list->hostText, copy.c_str(), copy.size() + 1);
  copy.assign(serverPort);
  std::memcpy(list->portText, copy.c_str(), copy.size() + 1);
  std::size_t hosts = splitItems(list->hostText, ',', list->hosts, kMaxServers);
  std::size_t ports = splitItems(list->portText, ',', list->ports, kMaxServers);
  list->count = hosts < ports ? hosts : ports;
}

std::size_t firstServer(const char* multipleServers, std::size_t count) {
  if (multipleServers[0] != '1' || count == 0) return 0;
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  return static_cast<std::size_t>(std::rand()) % count;
}

bool engineConnectAny(EngineLink& link, const ServerList& list, std::size_t start, const char* serverUrl,
                      const char* serverPort, ConnectFn attempt, void* context) {
  if (list.count == 0) {
    setConnectError(link, serverUrl, serverPort, text::kNoServer);
    return false;
  }
  // With start 0 the loop tries the first server a second time at the end:
  // n + 1 attempts, not n. Engine Servers and their administrators count on it.
  std::size_t i = start;
  bool wrapped = false;
  for (;;) {
    if (attempt(link, context, list.hosts[i], list.ports[i])) return true;
    ++i;
    if (i >= start && wrapped) return false;
    if (i >= list.count) {
      i = 0;
      wrapped = true;
    }
  }
}

const char* connectErrorMessage(int code) {
  for (const text::CodeMessage& entry : text::kConnectMessages) {
    if (entry.code == code) return entry.message;
  }
  return text::kUnknownError;
}

int portNumber(const char* text) { return static_cast<int>(readDecimal(text, -INT_MAX, INT_MAX)); }

std::int32_t frameLength(const char* digits) {
  return static_cast<std::int32_t>(readDecimal(digits, -INT32_MAX, INT32_MAX));
}

void engineSetTimeout(EngineLink& link, int seconds) { link.timeoutSeconds = seconds > 0 ? seconds : 0; }

bool engineConnect(EngineLink& link, const char* host, const char* port) {
  int major = 0;
  int minor = 0;
  if (!platform::netStartup(&major, &minor)) {
    setConnectError(link, host, port, connectErrorMessage(platform::netLastError()));
    return false;
  }
  if (major * 10 + minor < 11) {
    link.lastError.assign(text::kSocketVersion);
    return false;
  }
  // The socket of a failed attempt is closed before the next one is made.
  platform::netClose(link.socket);
  link.socket = platform::netSocket();
  if (link.socket == platform::kInvalidSocket) {
    setConnectError(link, host, port, connectErrorMessage(platform::netLastError()));
    return false;
  }
  // atoi, then cut to 16 bits as htons() does with an int.
  std::uint16_t portValue = static_cast<std::uint16_t>(static_cast<unsigned>(portNumber(port)));
  std::uint32_t address = 0;
  int bound = link.timeoutSeconds;
  if (!platform::netResolve(host, &address) ||
      !platform::netConnect(link.socket, address, portValue, bound) ||
      (bound > 0 && !platform::netSetTimeout(link.socket, bound))) {
    setConnectError(link, host, port, connectErrorMessage(platform::netLastError()));
    return false;
  }
  // Only a bound of ours can run out and need the server's name later.
  if (bound > 0) std::snprintf(link.peerPrefix, sizeof link.peerPrefix, text::kConnectPrefix, host, port);
  return true;
}

bool engineConnectAttempt(EngineLink& link, void*, const char* host, const char* port) {
  return engineConnect(link, host, port);
}

bool engineSend(EngineLink& link, const char* data, std::size_t size, bool more) {
  if (platform::netSendAll(link.socket, data, size, more)) return true;
  setTransferError(link);
  return false;
}

bool engineSendFrame(EngineLink& link, const char* text) {
  return engineSendFrame(link, text, std::strlen(text));
}

bool engineSendFrame(EngineLink& link, const char* data, std::size_t size) {
  // A cut length would desynchronise the engine; such a text is never sent.
  if (size > wire::kMaxFrameText) {
    link.lastError.assign(text::kTooLarge);
    return false;
  }
  char digits[wire::kFrameDigits + 1];
  std::snprintf(digits, sizeof digits, "%08ld", static_cast<long>(size));
  // Two sends, the length and then the text, that leave as one segment: the
  // engine wakes once per Frame.
  return engineSend(link, digits, wire::kFrameDigits, true) && engineSend(link, data, size);
}

namespace {

// Keeps `n` bytes just received at piece[got] after the text so far, up to
// its first zero byte (then `*ended`) and the buffer's room.
void keepText(const char* bytes, std::size_t n, char* buffer, std::size_t capacity, std::size_t* length,
              bool* ended) {
  if (*ended) return;
  std::size_t chunk = n;
  const void* zero = std::memchr(bytes, '\0', chunk);
  if (zero != nullptr) {
    chunk = static_cast<std::size_t>(static_cast<const char*>(zero) - bytes);
    *ended = true;
  }
  std::size_t room = capacity - 1 - *length;
  if (chunk > room) chunk = room;
  std::memcpy(buffer + *length, bytes, chunk);
  *length += chunk;
  buffer[*length] = '\0';
}

}  // namespace

std::int32_t engineRecv(EngineLink& link, char* buffer, std::size_t capacity, std::int32_t count,
                        std::size_t* kept) {
  std::size_t length = 0;
  buffer[0] = '\0';
  if (kept) *kept = 0;
  if (count <= 0) return count;
  // Bytes are appended as they come, without rescanning what is kept; the text
  // ends for good at its first zero byte, however the segments fell.
  bool ended = false;
  std::size_t remaining = static_cast<std::size_t>(count);
  while (remaining > 0) {
    std::size_t piece = remaining < kPieceSize ? remaining : kPieceSize;
    std::size_t got = 0;
    while (got < piece) {
      long n = platform::netRecv(link.socket, link.piece + got, piece - got);
      // recv() returns 0 when the peer has closed: the rest will never come.
      if (n <= 0) {
        if (n < 0) {
          setTransferError(link);
        } else {
          link.lastError.assign(text::kDisconnected);
        }
        if (kept) *kept = length;
        return -1;
      }
      keepText(link.piece + got, static_cast<std::size_t>(n), buffer, capacity, &length, &ended);
      got += static_cast<std::size_t>(n);
    }
    remaining -= piece;
  }
  if (kept) *kept = length;
  return count;
}

std::int32_t engineRecvLength(EngineLink& link) {
  char digits[wire::kFrameDigits + 2];
  constexpr std::int32_t kDigits = static_cast<std::int32_t>(wire::kFrameDigits);
  if (engineRecv(link, digits, sizeof digits, kDigits) != kDigits) return -1;
  return frameLength(digits);
}

EngineLink::~EngineLink() {
  if (socket != platform::kInvalidSocket) platform::netClose(socket);
}

void engineDisconnect(EngineLink& link) {
  if (link.socket != platform::kInvalidSocket) platform::netClose(link.socket);
  link.socket = platform::kInvalidSocket;
  platform::netCleanup();
}

const char* engineLastError(const EngineLink& link) { return link.lastError.c_str(); }

}  // namespace kavro
