// Standard handles on Windows. The C streams keep the text mode a console
// program starts with: reports written through stdout get CR LF line ends
// and an urlencoded body read through stdin loses its CRs. Only the reply
// goes out untranslated, through the handle.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <cstdio>

#include "platform/platform.h"

namespace kavro::platform {
namespace {
DWORD gLastError = 0;
}

int lastErrorCode() { return static_cast<int>(gLastError); }

bool stdOutputValid() {
  if (GetStdHandle(STD_OUTPUT_HANDLE) == INVALID_HANDLE_VALUE) {
    gLastError = GetLastError();
    return false;
  }
  return true;
}

bool writeStdOutput(const char* data, std::size_t size, std::size_t* written) {
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
    gLastError = GetLastError();
    return false;
  }
  return true;
}

void setBinaryStdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace kavro::platform
