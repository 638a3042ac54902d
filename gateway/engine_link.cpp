#include "gateway/engine_link.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "gateway/fixed_text.h"
#include "platform/platform.h"

namespace kavro {
namespace {

platform::Socket gSocket = platform::kInvalidSocket;
FixedText<kLastErrorMax + 1> gLastError;
char gPiece[kPieceSize];

struct CodeMessage {
  int code;
  const char* message;
};

const CodeMessage kConnectMessages[] = {
    {10004, "The (blocking) call was canceled via WSACancelBlockingCall().\n"},
    {10014, "The namelen argument is incorrect.\n"},
    {10022, "The socket is not already bound to an address.\n"},
    {10024, "No more file descriptors are available.\n"},
    {10036, "address blocking Windows Sockets operation is in progress.\n"},
    {10038, "The descriptor is not a socket.\n"},
    {10039, "address destination address is required.\n"},
    {10041, "The specified protocol is the wrong type for this socket.\n"},
    {10043, "The specified protocol is not supported.\n"},
    {10044, "Socket type is not supported in this address family.\n"},
    {10047, "The specified address family is not supported.\n"},
    {10048, "The specified address is already in use.\n"},
    {10049, "Specified address is not available from the local machine.\n"},
    {10050, "Network subsystem failure.\n"},
    {10051, "The network can't be reached from this host at this time.\n"},
    {10055, "No buffer space available. The socket cannot be created.\n"},
    {10056, "The socket is already connected.\n"},
    {10060, "Attempt timed out without establishing a connection.\n"},
    {10061, "The attempt to connect was forcefully rejected.\n"},
    {10093, "Unable to initialise socket.\n"},
    {11001, "Authoritative Answer Host not found.\n"},
    {11002, "Non-Authoritative Host not found or SERVERFAIL.\n"},
    {11003, "Non recoverable errors, FORMERR, REFUSED, NOTIMP.\n"},
    {11004, "Valid name, no data record of requested type.\n"},
};

void setConnectError(const char* host, const char* port, const char* message) {
  // snprintf cuts the text at the bound; a long host can push the message
  // itself out of it.
  char text[kLastErrorMax + 1];
  std::snprintf(text, sizeof text, "Unable to connect to Engine Server %s:%s - %s", host, port, message);
  gLastError.assign(text);
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

std::size_t splitItems(char* text, char delimiter, const char** items, std::size_t maxItems) {
  std::size_t count = 0;
  char* p = text;
  while (count < maxItems) {
    while (*p == delimiter) ++p;
    if (*p == '\0') break;
    items[count++] = p;
    while (*p != '\0' && *p != delimiter) ++p;
    if (*p == '\0') break;
    *p++ = '\0';
  }
  return count;
}

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
    setConnectError(serverUrl, serverPort, "No Engine Server is configured.\n");
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
  for (const CodeMessage& entry : kConnectMessages) {
    if (entry.code == code) return entry.message;
  }
  return "Unknown error.\n";
}

int portNumber(const char* text) { return static_cast<int>(readDecimal(text, INT_MAX)); }

std::int32_t frameLength(const char* digits) {
  return static_cast<std::int32_t>(readDecimal(digits, INT32_MAX));
}

int engineConnect(const char* host, const char* port) {
  int major = 0;
  int minor = 0;
  if (!platform::netStartup(&major, &minor)) {
    setConnectError(host, port, connectErrorMessage(platform::netLastError()));
    return 1;
  }
  if (major * 10 + minor < 11) {
    gLastError.assign("\nError: socket library must support 1.1 or greater.\n");
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
  if (!platform::netResolve(host, &address) || !platform::netConnect(gSocket, address, portValue)) {
    setConnectError(host, port, connectErrorMessage(platform::netLastError()));
    return 1;
  }
  return 0;
}

int engineSend(const char* data, std::size_t size) {
  if (!platform::netSendAll(gSocket, data, size)) {
    gLastError.assign(kDisconnected);
    return 1;
  }
  return 0;
}

int engineSendFrame(const char* text) { return engineSendFrame(text, std::strlen(text)); }

int engineSendFrame(const char* data, std::size_t size) {
  // A cut length would desynchronise the engine; such a text is never sent.
  if (size > kMaxFrameText) {
    gLastError.assign(kTooLarge);
    return 1;
  }
  char digits[kFrameDigits + 1];
  std::snprintf(digits, sizeof digits, "%08ld", static_cast<long>(size));
  if (engineSend(digits, kFrameDigits) != 0) return 1;
  return engineSend(data, size);
}

long engineRecv(char* buffer, std::size_t capacity, long count, std::size_t* kept) {
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
        gLastError.assign(kDisconnected);
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
  char digits[kFrameDigits + 2];
  long got = engineRecv(digits, sizeof digits, kFrameDigits);
  if (got != static_cast<long>(kFrameDigits)) return static_cast<std::int32_t>(got);
  return frameLength(digits);
}

void engineDisconnect() {
  if (gSocket != platform::kInvalidSocket) platform::netClose(gSocket);
  gSocket = platform::kInvalidSocket;
  platform::netCleanup();
}

const char* engineLastError() { return gLastError.c_str(); }

}  // namespace kavro
