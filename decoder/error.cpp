// The decoder's fatal error: an error page under a web server, one console
// line otherwise, then exit status 1.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "decoder/decoder.h"
#include "decoder/state.h"

namespace kavro {
namespace {

constexpr std::size_t kMessageMax = 1023;
constexpr char kTooLong[] = "qError(): Message is too long or invalid.";

constinit decoder::FatalHook gFatalHook = nullptr;

[[noreturn]] void endProcess() {
  if (gFatalHook != nullptr) gFatalHook();
  std::exit(1);
}

}  // namespace

namespace decoder {
void setFatalHook(FatalHook hook) { gFatalHook = hook; }
}  // namespace decoder

void qPrintContentType(const char* type) {
  decoder::State& s = decoder::state();
  if (s.contentTypeSent) return;
  std::printf("Content-Type: %s%c%c", type, '\n', '\n');
  s.contentTypeSent = true;
}

void qReleaseAll() { qReleaseEntries(); }

void qSetErrorHook(QErrorHook hook) { decoder::state().errorHook = hook; }

void qError(const char* format, ...) {
  decoder::State& s = decoder::state();
  if (s.reporting) endProcess();
  s.reporting = true;

  char message[kMessageMax + 1];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (n < 0 || static_cast<std::size_t>(n) > kMessageMax) {
    std::fputs(kTooLong, stdout);
    if (s.errorHook != nullptr) s.errorHook(kTooLong);
    endProcess();
  }

  if (std::getenv("REMOTE_ADDR") == nullptr) {
    std::printf("Error: %s\n", message);
  } else {
    // The message goes in as it is, markup and quotes included.
    qPrintContentType("text/html");
    std::printf("<html>\n");
    std::printf("<head>\n");
    std::printf("<title>Error: %s</title>\n", message);
    std::printf("<script language='JavaScript'>\n");
    std::printf("  alert(\"%s\");\n", message);
    std::printf("  history.back();\n");
    std::printf("</script>\n");
    std::printf("</head>\n");
    std::printf("</html>\n");
  }
  if (s.errorHook != nullptr) s.errorHook(message);
  qReleaseAll();
  endProcess();
}

}  // namespace kavro
