// The request of a CGI process on POSIX: the environment, standard input,
// standard output and error. POSIX streams never translate line ends, so
// the binary switch changes nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/request.h"
#include "platform/standard_input.h"

namespace kavro::platform {
namespace {

// The size asked for standard input when it is a pipe: the most an
// unprivileged process may set by default (/proc/sys/fs/pipe-max-size).
constexpr int kBodyPipeSize = 1 << 20;

}  // namespace

const char* CgiRequest::variable(const char* name) { return std::getenv(name); }

// One read(2): what has arrived, without waiting for the rest of `size`, so
// that a body through a pipe is taken as the web server writes it. Nothing
// else reads standard input through the C stream.
std::size_t CgiRequest::readBody(char* buffer, std::size_t size) {
  if (!bodyStarted_) {
    bodyStarted_ = true;
    // A pipe's 64 KiB make the web server and the gateway take turns on a
    // large upload; a larger one lets it write ahead while the gateway
    // writes the spool file. Only for a body announced larger than that:
    // the pages count against the web server user's share of pipe memory.
    // Where the system refuses, the pipe stays.
    const char* announced = std::getenv("CONTENT_LENGTH");
    struct stat status;
    if (announced != nullptr && std::strtoull(announced, nullptr, 10) > kBodyPipeSize &&
        ::fstat(STDIN_FILENO, &status) == 0 && S_ISFIFO(status.st_mode))
      ::fcntl(STDIN_FILENO, F_SETPIPE_SZ, kBodyPipeSize);
  }
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

char* CgiRequest::mapBody(std::size_t* size) { return static_cast<char*>(mapStandardInput(size)); }

void CgiRequest::unmapBody(char* base, std::size_t size) { unmapStandardInput(base, size); }

void CgiRequest::writeText(const char* data, std::size_t size) { std::fwrite(data, 1, size, stdout); }

void CgiRequest::setBinary() {}

bool CgiRequest::responseOpen() {
  if (::fcntl(STDOUT_FILENO, F_GETFD) == -1) {
    lastError_ = errno;
    return false;
  }
  return true;
}

bool CgiRequest::writeReply(const char* data, std::size_t size, std::size_t* written) {
  // Reports go through the buffered stream; flush them so that they and the
  // reply reach the web server in the order they were made.
  std::fflush(stdout);
  *written = 0;
  while (*written < size) {
    ssize_t n = ::write(STDOUT_FILENO, data + *written, size - *written);
    if (n < 0) {
      if (errno == EINTR) continue;
      lastError_ = errno;
      return false;
    }
    *written += static_cast<std::size_t>(n);
  }
  return true;
}

// Standard error is unbuffered: one call is one write.
void CgiRequest::writeLog(const char* line, std::size_t size) { std::fwrite(line, 1, size, stderr); }

void CgiRequest::end(int status) { std::exit(status); }

}  // namespace kavro::platform
