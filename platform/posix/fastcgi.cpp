// The FastCGI application on POSIX, through Debian's FastCGI kit (libfcgi,
// linked statically): the kit speaks the protocol, this file makes each of
// its requests a platform::Request and serves them one after the other.
//
// Signals: the kit catches SIGTERM and SIGPIPE for itself; both go back to
// what the process had, so that SIGTERM ends it at once between requests
// and, during one, as it ends a CGI run (the spool's removal armed, or at
// once), and a closed connection fails a write instead of interrupting a
// call. SIGUSR1 stays the kit's graceful stop: the process ends, with exit
// status 0, once the request in hand is over. It is held back while a
// request is served, so that it interrupts no call of the run.
#include <fcgiapp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "platform/fastcgi.h"
#include "platform/posix/reg_store.h"

namespace kavro::platform {
namespace {

// The kit counts bytes in int.
constexpr std::size_t kMaxPiece = INT_MAX;

int pieceOf(std::size_t size) { return static_cast<int>(std::min(size, kMaxPiece)); }

// Thrown by end(): unwinds the run, whose records let go of everything on
// the way, back to the loop, which ends the request with `status`.
struct RequestEnded {
  int status;
};

// One request of the kit: its parameters are the variables, FCGI_STDIN the
// body, FCGI_STDOUT the response and FCGI_STDERR the error log.
class FastCgiRequest final : public Request {
 public:
  explicit FastCgiRequest(FCGX_Request& request) : request_(request) {}

  const char* variable(const char* name) override { return FCGX_GetParam(name, request_.envp); }
  std::size_t readBody(char* buffer, std::size_t size) override {
    int got = FCGX_GetStr(buffer, pieceOf(size), request_.in);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  // The body arrives in records over a socket: there is no file to map.
  char* mapBody(std::size_t* size) override {
    *size = 0;
    return nullptr;
  }
  void unmapBody(char*, std::size_t) override {}
  void writeText(const char* data, std::size_t size) override {
    for (std::size_t done = 0; done < size;) {
      int piece = pieceOf(size - done);
      if (FCGX_PutStr(data + done, piece, request_.out) != piece) return;
      done += static_cast<std::size_t>(piece);
    }
  }
  // The kit translates nothing.
  void setBinary() override {}
  bool responseOpen() override { return true; }
  // Text and reply share one stream, so they leave in the order written.
  bool writeReply(const char* data, std::size_t size, std::size_t* written) override {
    *written = 0;
    while (*written < size) {
      int piece = pieceOf(size - *written);
      if (FCGX_PutStr(data + *written, piece, request_.out) != piece) {
        lastError_ = FCGX_GetError(request_.out);
        return false;
      }
      *written += static_cast<std::size_t>(piece);
    }
    return true;
  }
  int lastErrorCode() override { return lastError_; }
  // Flushed at once: one line, one FCGI_STDERR record, one line in the web
  // server's error log.
  void writeLog(const char* line, std::size_t size) override {
    if (FCGX_PutStr(line, pieceOf(size), request_.err) >= 0) FCGX_FFlush(request_.err);
  }
  [[noreturn]] void end(int status) override { throw RequestEnded{status}; }

 private:
  FCGX_Request& request_;
  int lastError_ = 0;
};

// The kit's start, with SIGTERM and SIGPIPE given back their dispositions.
bool startKit() {
  struct sigaction term {
  }, pipe{};
  if (::sigaction(SIGTERM, nullptr, &term) != 0 || ::sigaction(SIGPIPE, nullptr, &pipe) != 0) return false;
  if (FCGX_Init() != 0) return false;
  return ::sigaction(SIGTERM, &term, nullptr) == 0 && ::sigaction(SIGPIPE, &pipe, nullptr) == 0;
}

// Waits for the next request with SIGUSR1 let through: a stop asked for
// meanwhile, or during the request before, ends the wait. False when no
// request can be accepted any more.
bool acceptRequest(FCGX_Request* request, const sigset_t& stop) {
  ::sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  int accepted = FCGX_Accept_r(request);
  ::sigprocmask(SIG_BLOCK, &stop, nullptr);
  return accepted >= 0;
}

int serveOne(FCGX_Request& kitRequest, ServeRequest serve) {
  FastCgiRequest request(kitRequest);
  try {
    return serve(request);
  } catch (const RequestEnded& ended) {
    return ended.status;
  }
}

}  // namespace

bool startedAsFastCgi() {
  int listening = 0;
  socklen_t size = sizeof listening;
  return ::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

int serveFastCgi(ServeRequest serve) {
  FCGX_Request request;
  if (!startKit() || FCGX_InitRequest(&request, STDIN_FILENO, 0) != 0) return 1;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGUSR1);
  while (acceptRequest(&request, stop)) {
    // An administrator's edit of the settings file counts from the next
    // request on.
    regForgetIfChanged();
    FCGX_SetExitStatus(serveOne(request, serve), request.out);
    FCGX_Finish_r(&request);
  }
  FCGX_Free(&request, 1);
  return 0;
}

}  // namespace kavro::platform
