#include "gateway/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "gateway/error_log.h"

namespace kavro {
namespace {

// puts(): the text up to its first zero byte, then a newline.
void writeLine(platform::Request& request, const char* text) {
  request.writeText(text, std::strlen(text));
  request.writeText("\n", 1);
}

// Copies the Outage page in pieces of up to 1023 bytes, each written as a line.
// After a read error the header and the pieces so far stay written.
enum class PageResult { kNotOpened, kCopied, kReadError };

PageResult writeOutagePage(platform::Request& request, const char* path) {
  std::FILE* page = std::fopen(path, "r");
  if (page == nullptr) return PageResult::kNotOpened;
  writeLine(request, "Content-type: text/html\n\n");
  char piece[kOutagePieceMax + 1];
  PageResult result = PageResult::kCopied;
  while (!std::feof(page)) {
    std::size_t got = std::fread(piece, 1, kOutagePieceMax, page);
    if (std::ferror(page)) {
      result = PageResult::kReadError;
      break;
    }
    piece[got] = '\0';
    writeLine(request, piece);
  }
  std::fclose(page);
  return result;
}

}  // namespace

void reportError(platform::Request& request, const Settings& settings, const char* format, ...) {
  char message[kReportMessageMax + 1];
  va_list args;
  va_start(args, format);
  int rc = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (rc < 0) message[0] = '\0';
  // The page hides the message from the user; the error log still has it,
  // also when the page cannot be opened and nothing reaches the user at all.
  logError(request, settingsKeyName(settings), message);

  const char* page = settings.sysDownPage;
  if (page[0] != '\0') {
    PageResult result = writeOutagePage(request, page);
    if (result != PageResult::kReadError) return;
  }
  writeLine(request, "Content-type: text/plain\n\n");
  writeLine(request, message);
}

}  // namespace kavro
