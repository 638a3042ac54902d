// The request of a CGI process on Windows. The C streams keep the text mode
// a console program starts with until the binary switch: reports written
// through stdout get CR LF line ends and an urlencoded body read through
// stdin loses its CRs. Only the reply goes out untranslated, through the
// handle.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <cstdio>
#include <cstdlib>

#include "platform/request.h"
#include "platform/standard_input.h"

namespace kavro::platform {

const char* CgiRequest::variable(const char* name) { return std::getenv(name); }

std::size_t CgiRequest::readBody(char* buffer, std::size_t size) {
  return std::fread(buffer, 1, size, stdin);
}

char* CgiRequest::mapBody(std::size_t* size) { return static_cast<char*>(mapStandardInput(size)); }

void CgiRequest::unmapBody(char* base, std::size_t size) { unmapStandardInput(base, size); }

void CgiRequest::writeText(const char* data, std::size_t size) { std::fwrite(data, 1, size, stdout); }

void CgiRequest::setBinary() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

bool CgiRequest::responseOpen() {
  if (GetStdHandle(STD_OUTPUT_HANDLE) == INVALID_HANDLE_VALUE) {
    lastError_ = static_cast<int>(GetLastError());
    return false;
  }
  return true;
}

bool CgiRequest::writeReply(const char* data, std::size_t size, std::size_t* written) {
  // Reports sit in the C stream's buffer; they go first, in the order made.
  std::fflush(stdout);
  *written = 0;
  // One WriteFile: a short count is the caller's to report, not to retry.
  // A reply is below 10^8 bytes (eight length digits), so it fits a DWORD.
  DWORD count = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  DWORD done = 0;
  BOOL ok = WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data, count, &done, nullptr);
  *written = done;
  if (!ok) {
    lastError_ = static_cast<int>(GetLastError());
    return false;
  }
  return true;
}

// Standard error is binary (processInit) and unbuffered: the same bytes as
// on POSIX, in one write.
void CgiRequest::writeLog(const char* line, std::size_t size) { std::fwrite(line, 1, size, stderr); }

void CgiRequest::end(int status) { std::exit(status); }

}  // namespace kavro::platform
