#include "gateway/engine_link.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "gateway/strings.h"
#include "gateway/texts.h"
#include "platform/platform.h"
#include "wire/wire.h"

namespace kavro {
namespace {

platform::Socket gSocket = platform::kInvalidSocket;
FixedText<kLastErrorMax + 1> gLastError;
char gPiece[kPieceSize];
int gTimeoutSeconds = 0;
// The connect prefix of the server the link is connected to, for the text of
// a send or receive that runs out.
char gPeerPrefix[kLastErrorMax + 1];

void setConnectError(const char* host, const char* port, const char* message) {
  // snprintf cuts the text at the bound; a long host can push the message
  // itself out of it.
  char prefix[kLastErrorMax + 1];
  std::snprintf(prefix, sizeof prefix, text::kConnectPrefix, host, port);
  gLastError.assign(prefix);
  gLastError.append(message);
}

// A send or receive failed. Without a bound of ours the link keeps its one
// text for both, whatever the system said; a bound that ran out names the
// server that stopped answering, with the text of the code it failed with.
void setTransferError() {
  if (gTimeoutSeconds > 0 && platform::netLastError() == platform::kNetTimedOut) {
    gLastError.assign(gPeerPrefix);
    gLastError.append(connectErrorMessage(platform::kNetTimedOut));
    return;
  }
  gLastError.assign(text::kDisconnected);
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// strtol's reading (blanks, sign, digits), saturating instead of overflowing.
long long readDecimal(const char* text, long long limit) {
  while (isBlank(*text)) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (value < limit) value = value * 10 + (*text - '0');
  }
  if (value > limit) value = limit;
  return negative ? -value : value;
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

int engineConnectAny(const ServerList& list, std::size_t start, const char* serverUrl, const char* serverPort,
                     ConnectFn attempt) {
  if (list.count == 0) {
    setConnectError(serverUrl, serverPort, text::kNoServer);
    return 1;
  }
  // With start 0 the loop tries the first server a second time at the end:
  // n + 1 attempts, not n. Engine Servers and their administrators count on it.
  std::size_t i = start;
  bool wrapped = false;
  for (;;) {
    if (attempt(list.hosts[i], list.ports[i]) == 0) return 0;
    ++i;
    if (i >= start && wrapped) return 1;
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

int portNumber(const char* text) { return static_cast<int>(readDecimal(text, INT_MAX)); }

std::int32_t frameLength(const char* digits) {
  return static_cast<std::int32_t>(readDecimal(digits, INT32_MAX));
}

void engineSetTimeout(int seconds) { gTimeoutSeconds = seconds > 0 ? seconds : 0; }

int engineConnect(const char* host, const char* port) {
  int major = 0;
  int minor = 0;
  if (!platform::netStartup(&major, &minor)) {
    setConnectError(host, port, connectErrorMessage(platform::netLastError()));
    return 1;
  }
  if (major * 10 + minor < 11) {
    gLastError.assign(text::kSocketVersion);
    return 1;
  }
  // The socket of a failed attempt is closed before the next one is made.
  platform::netClose(gSocket);
  gSocket = platform::netSocket();
  if (gSocket == platform::kInvalidSocket) {
    setConnectError(host, port, connectErrorMessage(platform::netLastError()));
    return 1;
  }
  // atoi, then cut to 16 bits as htons() does with an int.
  std::uint16_t portValue = static_cast<std::uint16_t>(static_cast<unsigned>(portNumber(port)));
  std::uint32_t address = 0;
  if (!platform::netResolve(host, &address) ||
      !platform::netConnect(gSocket, address, portValue, gTimeoutSeconds) ||
      (gTimeoutSeconds > 0 && !platform::netSetTimeout(gSocket, gTimeoutSeconds))) {
    setConnectError(host, port, connectErrorMessage(platform::netLastError()));
    return 1;
  }
  // Only a bound of ours can run out and need the server's name later.
  if (gTimeoutSeconds > 0) std::snprintf(gPeerPrefix, sizeof gPeerPrefix, text::kConnectPrefix, host, port);
  return 0;
}

int engineSend(const char* data, std::size_t size) {
  if (!platform::netSendAll(gSocket, data, size)) {
    setTransferError();
    return 1;
  }
  return 0;
}

int engineSendFrame(const char* text) { return engineSendFrame(text, std::strlen(text)); }

int engineSendFrame(const char* data, std::size_t size) {
  // A cut length would desynchronise the engine; such a text is never sent.
  if (size > wire::kMaxFrameText) {
    gLastError.assign(text::kTooLarge);
    return 1;
  }
  char digits[wire::kFrameDigits + 1];
  std::snprintf(digits, sizeof digits, "%08ld", static_cast<long>(size));
  if (engineSend(digits, wire::kFrameDigits) != 0) return 1;
  return engineSend(data, size);
}

std::int32_t engineRecv(char* buffer, std::size_t capacity, std::int32_t count, std::size_t* kept) {
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
      long n = platform::netRecv(gSocket, gPiece + got, piece - got);
      // recv() returns 0 when the peer has closed: the rest will never come.
      if (n <= 0) {
        if (n < 0) {
          setTransferError();
        } else {
          gLastError.assign(text::kDisconnected);
        }
        if (kept) *kept = length;
        return -1;
      }
      if (!ended) {
        std::size_t chunk = static_cast<std::size_t>(n);
        const void* zero = std::memchr(gPiece + got, '\0', chunk);
        if (zero != nullptr) {
          chunk = static_cast<std::size_t>(static_cast<const char*>(zero) - (gPiece + got));
          ended = true;
        }
        std::size_t room = capacity - 1 - length;
        if (chunk > room) chunk = room;
        std::memcpy(buffer + length, gPiece + got, chunk);
        length += chunk;
        buffer[length] = '\0';
      }
      got += static_cast<std::size_t>(n);
    }
    remaining -= piece;
  }
  if (kept) *kept = length;
  return count;
}

std::int32_t engineRecvLength() {
  char digits[wire::kFrameDigits + 2];
  constexpr std::int32_t kDigits = static_cast<std::int32_t>(wire::kFrameDigits);
  if (engineRecv(digits, sizeof digits, kDigits) != kDigits) return -1;
  return frameLength(digits);
}

void engineDisconnect() {
  if (gSocket != platform::kInvalidSocket) platform::netClose(gSocket);
  gSocket = platform::kInvalidSocket;
  platform::netCleanup();
}

const char* engineLastError() { return gLastError.c_str(); }

void engineAttachForTests(std::intptr_t socket) { gSocket = socket; }

}  // namespace kavro
