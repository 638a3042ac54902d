// The decoder's fatal error: an error page under a web server, one console
// line otherwise, then the end of the request with status 1.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decoder/decoder.h"
#include "decoder/state.h"

namespace kavro {
namespace {

constexpr std::size_t kMessageMax = 1023;
constexpr char kTooLong[] = "qError(): Message is too long or invalid.";

[[noreturn]] void endRequest() {
  decoder::state().request->end(1);
  std::abort();  // end() does not return
}

void writeLine(const char* format, const char* message) {
  platform::writeFormat(*decoder::state().request, format, message);
}

// The message goes in as it is, markup and quotes included.
void writePage(const char* message) {
  qPrintContentType("text/html");
  writeLine("%s", "<html>\n<head>\n");
  writeLine("<title>Error: %s</title>\n", message);
  writeLine("%s", "<script language='JavaScript'>\n");
  writeLine("  alert(\"%s\");\n", message);
  writeLine("%s", "  history.back();\n</script>\n</head>\n</html>\n");
}

}  // namespace

void qPrintContentType(const char* type) {
  decoder::State& s = decoder::state();
  if (s.contentTypeSent) return;
  platform::writeFormat(*s.request, "Content-Type: %s%c%c", type, '\n', '\n');
  s.contentTypeSent = true;
}

void qReleaseAll() { qReleaseEntries(); }

void qSetErrorHook(QErrorHook hook, void* context) {
  decoder::state().errorHook = hook;
  decoder::state().errorHookContext = context;
}

void qSetUploadSink(QUploadSink* sink) { decoder::state().uploadSink = sink; }

void qError(const char* format, ...) {
  decoder::State& s = decoder::state();
  if (s.reporting) endRequest();
  s.reporting = true;
  // Nothing half-made stays behind: files of this decode go before the page.
  if (s.uploadSink != nullptr) s.uploadSink->abandonUploads();

  char message[kMessageMax + 1];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (n < 0 || static_cast<std::size_t>(n) > kMessageMax) {
    s.request->writeText(kTooLong, sizeof kTooLong - 1);
    if (s.errorHook != nullptr) s.errorHook(s.errorHookContext, kTooLong);
    endRequest();
  }

  if (decoder::variable("REMOTE_ADDR") == nullptr) {
    writeLine("Error: %s\n", message);
  } else {
    writePage(message);
  }
  if (s.errorHook != nullptr) s.errorHook(s.errorHookContext, message);
  qReleaseAll();
  endRequest();
}

}  // namespace kavro
