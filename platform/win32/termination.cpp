// Removal of a run's spooled files when the process is ended from outside
// while it waits for the engine: a console control event (Ctrl-C, Ctrl-Break,
// the console closed, log-off, shut-down).
#include <windows.h>

#include "platform/platform.h"

namespace kavro::platform {
namespace {

// Read by the handler, which runs on a thread of its own: the count is
// cleared before the list changes.
const char* const* gPaths = nullptr;
volatile LONG gCount = 0;
bool gInstalled = false;

BOOL WINAPI onControl(DWORD) {
  for (LONG i = gCount; i > 0; --i) DeleteFileA(gPaths[i - 1]);
  // Not handled: the next handler, the system's, ends the process.
  return FALSE;
}

}  // namespace

bool armSpoolRemoval(const char* const* paths, std::size_t count) {
  gCount = 0;
  gPaths = paths;
  gCount = static_cast<LONG>(count);
  if (!gInstalled) gInstalled = SetConsoleCtrlHandler(onControl, TRUE) != FALSE;
  return gInstalled;
}

void disarmSpoolRemoval() {
  if (gInstalled) SetConsoleCtrlHandler(onControl, FALSE);
  gInstalled = false;
  gCount = 0;
  gPaths = nullptr;
}

}  // namespace kavro::platform
