#include "gateway/report.h"

#include <cstdarg>
#include <cstdio>

#include "gateway/error_log.h"
#include "gateway/settings.h"

namespace kavro {
namespace {

std::FILE* gOut = nullptr;  // standard output unless a test redirects it

// puts(): the text up to its first zero byte, then a newline.
void writeLine(const char* text) {
  std::FILE* out = gOut ? gOut : stdout;
  std::fputs(text, out);
  std::fputc('\n', out);
}

// Copies the Outage page in pieces of up to 1023 bytes, each written as a line.
// After a read error the header and the pieces so far stay written.
enum class PageResult { kNotOpened, kCopied, kReadError };

PageResult writeOutagePage(const char* path) {
  std::FILE* page = std::fopen(path, "r");
  if (page == nullptr) return PageResult::kNotOpened;
  writeLine("Content-type: text/html\n\n");
  char piece[kOutagePieceMax + 1];
  PageResult result = PageResult::kCopied;
  while (!std::feof(page)) {
    std::size_t got = std::fread(piece, 1, kOutagePieceMax, page);
    if (std::ferror(page)) {
      result = PageResult::kReadError;
      break;
    }
    piece[got] = '\0';
    writeLine(piece);
  }
  std::fclose(page);
  return result;
}

}  // namespace

void reportStreamForTests(std::FILE* out) { gOut = out; }

void reportError(const char* format, ...) {
  char message[kReportMessageMax + 1];
  va_list args;
  va_start(args, format);
  int rc = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (rc < 0) message[0] = '\0';
  // The page hides the message from the user; the error log still has it,
  // also when the page cannot be opened and nothing reaches the user at all.
  logError(message);

  const char* page = settings().sysDownPage;
  if (page[0] != '\0') {
    PageResult result = writeOutagePage(page);
    if (result != PageResult::kReadError) return;
  }
  writeLine("Content-type: text/plain\n\n");
  writeLine(message);
}

}  // namespace kavro
