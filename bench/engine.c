/* The Engine Server of the benchmarks: it answers every message at once,
 * logs nothing and starts no thread per connection (a fixed set of threads
 * blocks in accept), so that what a benchmark measures is the program in
 * front of it, never the engine.
 *
 *   bench-engine [PORT]     listens on 127.0.0.1:PORT (default 0: any free
 *                           port) and prints "listening on 127.0.0.1:PORT"
 *
 * Replies: the Login and the Close messages get "0\x01\x01". The Request
 * message gets a small text page ("hello"), unless its first value (the
 * query string, or the gateway's re-encoded fields, which begin with the
 * query string's) starts with
 *   reply=raw&size=N   a plain reply Frame of N bytes
 *   reply=hex&size=N   a reply Frame of N bytes behind the hex marker, whose
 *                      body decodes to (N - 10) / 2 bytes of every value
 * Large replies are built once and kept (the first few sizes): only the
 * first request of a size pays for building it.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum {
  kWorkers = 16,
  kLengthDigits = 8,
  kMaxFrame = 99999999,
  kCachedReplies = 4,
};

static const char kHello[] = "Content-Type: text/plain\r\n\r\nhello\n";
static const char kAccept[] = "000000030\x01\x01";
static char gHelloFrame[64];
static size_t gHelloFrameSize;

struct Cached {
  int hex;
  long size;
  char* frame; /* the length digits and the Frame's bytes */
};
static struct Cached gCache[kCachedReplies];
static pthread_mutex_t gCacheLock = PTHREAD_MUTEX_INITIALIZER;

static int readAll(int fd, char* to, size_t size) {
  while (size > 0) {
    ssize_t got = recv(fd, to, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return -1;
    to += got;
    size -= (size_t)got;
  }
  return 0;
}

static int sendAll(int fd, const char* from, size_t size) {
  while (size > 0) {
    ssize_t put = send(fd, from, size, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return -1;
    from += put;
    size -= (size_t)put;
  }
  return 0;
}

/* One Frame into a fresh buffer; NULL when the peer has gone. */
static char* readFrame(int fd, long* size) {
  char digits[kLengthDigits + 1];
  if (readAll(fd, digits, kLengthDigits) != 0) return NULL;
  digits[kLengthDigits] = '\0';
  long length = strtol(digits, NULL, 10);
  if (length < 0 || length > kMaxFrame) return NULL;
  char* frame = malloc((size_t)length + 1);
  if (frame == NULL || readAll(fd, frame, (size_t)length) != 0) {
    free(frame);
    return NULL;
  }
  frame[length] = '\0'; /* strtol on the size in a Request stops here */
  *size = length;
  return frame;
}

/* The Frame of a large reply: "0\x01", a header and filler (plain), or
 * "0\x01KAVRO21" and upper-case hex of a header and bytes 0..255 (hex); a
 * last "\x01"; N bytes in all after the length digits. */
static char* buildLarge(int hex, long size) {
  static const char header[] = "Content-Type: application/octet-stream\r\n\r\n";
  static const char digits[] = "0123456789ABCDEF";
  char* frame = malloc((size_t)size + kLengthDigits + 1);
  if (frame == NULL) return NULL;
  snprintf(frame, kLengthDigits + 1, "%08ld", size);
  char* p = frame + kLengthDigits;
  char* end = p + size - 1;
  memcpy(p, "0\x01", 2);
  p += 2;
  if (hex) {
    memcpy(p, "KAVRO21", 7);
    p += 7;
    for (size_t i = 0; p + 1 < end; ++i) {
      unsigned char byte = i < sizeof header - 1 ? (unsigned char)header[i] : (unsigned char)i;
      *p++ = digits[byte >> 4];
      *p++ = digits[byte & 15];
    }
    if (p < end) *p++ = '0'; /* odd: a last digit without a partner */
  } else {
    for (size_t i = 0; p < end; ++i)
      *p++ = i < sizeof header - 1 ? header[i] : i % 64 == 63 ? '\n' : (char)('a' + i % 26);
  }
  *p = '\x01';
  return frame;
}

/* The Frame of a large reply, from the cache when it is there. *owned: the
 * caller frees it (the cache was full; a cached Frame may be in use by
 * another thread, so none is ever replaced). */
static char* large(int hex, long size, int* owned) {
  char* frame = NULL;
  *owned = 0;
  pthread_mutex_lock(&gCacheLock);
  int slot = 0;
  for (; slot < kCachedReplies && gCache[slot].frame != NULL; ++slot)
    if (gCache[slot].hex == hex && gCache[slot].size == size) frame = gCache[slot].frame;
  if (frame == NULL) {
    frame = buildLarge(hex, size);
    if (slot < kCachedReplies) {
      gCache[slot].frame = frame;
      gCache[slot].hex = hex;
      gCache[slot].size = size;
    } else {
      *owned = 1;
    }
  }
  pthread_mutex_unlock(&gCacheLock);
  return frame;
}

static int answerRequest(int fd, const char* message, long size) {
  const char* row0 = message + 2; /* after "3\x01" */
  long rest = size - 2;
  int hex = -1;
  if (rest > 15 && memcmp(row0, "reply=raw&size=", 15) == 0) hex = 0;
  if (rest > 15 && memcmp(row0, "reply=hex&size=", 15) == 0) hex = 1;
  if (hex >= 0) {
    long want = strtol(row0 + 15, NULL, 10);
    if (want >= 16 && want <= kMaxFrame) {
      int owned;
      char* frame = large(hex, want, &owned);
      if (frame != NULL) {
        int rc = sendAll(fd, frame, (size_t)want + kLengthDigits);
        if (owned) free(frame);
        return rc;
      }
    }
  }
  return sendAll(fd, gHelloFrame, gHelloFrameSize);
}

/* Login, Request, Close, in any order and number, until the peer closes. */
static void serve(int fd) {
  for (;;) {
    long size = 0;
    char* message = readFrame(fd, &size);
    if (message == NULL) return;
    int rc;
    if (size >= 2 && message[0] == '3')
      rc = answerRequest(fd, message, size);
    else
      rc = sendAll(fd, kAccept, sizeof kAccept - 1);
    free(message);
    if (rc != 0) return;
  }
}

static void* worker(void* listener) {
  int lfd = *(int*)listener;
  for (;;) {
    int fd = accept(lfd, NULL, NULL);
    if (fd < 0) continue;
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    serve(fd);
    close(fd);
  }
  return NULL;
}

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  gHelloFrameSize =
      (size_t)snprintf(gHelloFrame, sizeof gHelloFrame, "%08zu0\x01%s\x01", sizeof kHello - 1 + 3, kHello);
  static int lfd;
  lfd = socket(AF_INET, SOCK_STREAM, 0);
  int yes = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  struct sockaddr_in address = {.sin_family = AF_INET,
                                .sin_port = htons((unsigned short)(argc > 1 ? atoi(argv[1]) : 0))};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (lfd < 0 || bind(lfd, (struct sockaddr*)&address, sizeof address) != 0 || listen(lfd, 512) != 0 ||
      getsockname(lfd, (struct sockaddr*)&address, &length) != 0) {
    perror("bench-engine");
    return 1;
  }
  printf("listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
  fflush(stdout);
  pthread_t threads[kWorkers];
  for (int i = 0; i < kWorkers; ++i)
    if (pthread_create(&threads[i], NULL, worker, &lfd) != 0) {
      perror("bench-engine: pthread_create");
      return 1;
    }
  pthread_join(threads[0], NULL);
  return 0;
}
