/* The floor for this protocol: a CGI program that does no more than any
 * relay over the Engine link must do. It logs in, sends the 26 CGI
 * variables as they are (no form decoding, no settings file: the engine is
 * 127.0.0.1 at the port in BENCH_ENGINE_PORT), writes the reply's body, hex
 * decoded behind the marker "KAVRO21", then sends the Close message.
 * Linked statically, like the hello CGI.
 *
 * Built with BENCH_RELAY_FASTCGI (bench-fcgi-relay) it is the same relay as
 * a FastCGI application of Debian's kit (libfcgi), the persistent floor: one
 * process, started with its listening socket as standard input, relays
 * request after request, each over a connection of its own to the engine.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef BENCH_RELAY_FASTCGI
#include <fcgiapp.h>
#endif

enum { kLengthDigits = 8, kMaxFrame = 99999999, kRequestMax = 1 << 16 };

static const char* const kRows[26] = {"QUERY_STRING",    "PATH_INFO",         "CONTENT_TYPE",
                                      "CONTENT_LENGTH",  "GATEWAY_INTERFACE", "HTTPS",
                                      "HTTP_ACCEPT",     "HTTP_COOKIE",       "HTTP_FROM",
                                      "HTTP_REFERER",    "HTTP_USER_AGENT",   "PATH_TRANSLATED",
                                      "REMOTE_ADDR",     "REMOTE_HOST",       "REMOTE_IDENT",
                                      "REMOTE_USER",     "REQUEST_METHOD",    "SCRIPT_NAME",
                                      "SERVER_NAME",     "SERVER_PORT",       "SERVER_PROTOCOL",
                                      "SERVER_SOFTWARE", "SERVER_URL",        "NODECODE",
                                      "ISBINARY",        "REGISTRY_SETTINGS"};

#ifdef BENCH_RELAY_FASTCGI
static FCGX_Request gRequest;

static const char* variable(const char* name) { return FCGX_GetParam(name, gRequest.envp); }

static void writeAll(const char* from, size_t size) { FCGX_PutStr(from, (int)size, gRequest.out); }

/* A failed request ends the process: a benchmark takes no failure. */
static void fail(const char* what) {
  FCGX_FPrintF(gRequest.out, "Content-Type: text/plain\r\n\r\nrelay: %s\n", what);
  FCGX_Finish_r(&gRequest);
  exit(1);
}
#else
static const char* variable(const char* name) { return getenv(name); }

static void fail(const char* what) {
  printf("Content-Type: text/plain\r\n\r\nrelay: %s\n", what);
  exit(0);
}
#endif

static void sendAll(int fd, const char* from, size_t size) {
  while (size > 0) {
    ssize_t put = send(fd, from, size, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) fail("send");
    from += put;
    size -= (size_t)put;
  }
}

static void readAll(int fd, char* to, size_t size) {
  while (size > 0) {
    ssize_t got = recv(fd, to, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) fail("recv");
    to += got;
    size -= (size_t)got;
  }
}

#ifndef BENCH_RELAY_FASTCGI
static void writeAll(const char* from, size_t size) {
  while (size > 0) {
    ssize_t put = write(1, from, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    from += put;
    size -= (size_t)put;
  }
}
#endif

/* With BENCH_RELAY_SPLIT set and not empty, the length and the message go out in two
 * sends, each its own TCP segment (TCP_NODELAY), as the gateway sends them:
 * what that costs the engine and the relay. */
static int gSplit;

/* Sends "%08d" and the message, in one send unless gSplit. */
static void sendFrame(int fd, char* frame, size_t messageSize) {
  char digits[kLengthDigits + 1];
  snprintf(digits, sizeof digits, "%08zu", messageSize);
  memcpy(frame, digits, kLengthDigits);
  if (gSplit) {
    sendAll(fd, frame, kLengthDigits);
    sendAll(fd, frame + kLengthDigits, messageSize);
  } else {
    sendAll(fd, frame, kLengthDigits + messageSize);
  }
}

static char* readFrame(int fd, long* size) {
  char digits[kLengthDigits + 1];
  readAll(fd, digits, kLengthDigits);
  digits[kLengthDigits] = '\0';
  long length = strtol(digits, NULL, 10);
  if (length < 0 || length > kMaxFrame) fail("frame length");
  char* frame = malloc((size_t)length + 1);
  if (frame == NULL) fail("memory");
  readAll(fd, frame, (size_t)length);
  frame[length] = '\0';
  *size = length;
  return frame;
}

static int hexValue(char c) { return c >= 'A' && c <= 'F' ? c - 55 : c - 48; }

/* One request: the three Frames over a connection of its own. */
static void relay(const char* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) fail("socket");
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  struct sockaddr_in engine = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(port))};
  engine.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr*)&engine, sizeof engine) != 0) fail("connect");

  static char frame[kLengthDigits + kRequestMax];
  static const char login[] =
      "1\x01\x01\x01\x01"
      "2\x01\x01RUN_KAVRO_REQUEST\x01"
      "65\x01"
      "1\x01\x01";
  memcpy(frame + kLengthDigits, login, sizeof login - 1);
  sendFrame(fd, frame, sizeof login - 1);
  long size;
  char* reply = readFrame(fd, &size);
  if (size < 1 || reply[0] != '0') fail("login refused");
  free(reply);

  char* p = frame + kLengthDigits;
  char* end = frame + sizeof frame - 1;
  *p++ = '3';
  *p++ = '\x01';
  for (int i = 0; i < 26; ++i) {
    const char* value = variable(kRows[i]);
    size_t length = value != NULL ? strlen(value) : 0;
    if (length >= (size_t)(end - p)) fail("request too large");
    if (length > 0) memcpy(p, value, length);
    p += length;
    *p++ = '\xFE';
  }
  *p++ = '\x01';
  sendFrame(fd, frame, (size_t)(p - frame - kLengthDigits));

  reply = readFrame(fd, &size);
  if (size >= 3 && reply[0] == '0') {
    char* body = reply + 2;
    size_t bodySize = (size_t)size - 3;
    char* marker = memmem(body, bodySize, "KAVRO2", 6);
    if (marker != NULL && marker + 7 <= body + bodySize) {
      char* text = marker + 7;
      size_t textSize = (size_t)(body + bodySize - text);
      if (marker[6] == '1') {
        for (size_t i = 0; i + 1 < textSize; i += 2)
          text[i / 2] = (char)(hexValue(text[i]) * 16 + hexValue(text[i + 1]));
        textSize /= 2;
      }
      body = text;
      bodySize = textSize;
    }
    writeAll(body, bodySize);
  }
  free(reply);

  static const char closing[] = "2\x01";
  memcpy(frame + kLengthDigits, closing, sizeof closing - 1);
  sendFrame(fd, frame, sizeof closing - 1);
  free(readFrame(fd, &size));
  close(fd);
}

/* The engine's port and BENCH_RELAY_SPLIT come from the process's own
 * environment, the rows from the request's. */
int main(void) {
  const char* port = getenv("BENCH_ENGINE_PORT");
  const char* split = getenv("BENCH_RELAY_SPLIT");
  gSplit = split != NULL && split[0] != '\0';
#ifdef BENCH_RELAY_FASTCGI
  if (FCGX_Init() != 0 || FCGX_InitRequest(&gRequest, 0, 0) != 0) return 1;
  while (FCGX_Accept_r(&gRequest) >= 0) {
    if (port == NULL) fail("BENCH_ENGINE_PORT is not set");
    relay(port);
    FCGX_Finish_r(&gRequest);
  }
#else
  if (port == NULL) fail("BENCH_ENGINE_PORT is not set");
  relay(port);
#endif
  return 0;
}
