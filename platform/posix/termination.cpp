// Removal of a run's spooled files when the web server ends it early with a
// signal (it gave up on the client, or is shutting down).
#include <signal.h>
#include <unistd.h>

#include "platform/platform.h"

namespace kavro::platform {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr std::size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];

// Read by the handler: the count is cleared before the list changes, so the
// handler never walks a list that is being replaced.
const char* const* gPaths = nullptr;
volatile sig_atomic_t gCount = 0;

struct sigaction gPrevious[kSignalCount];
bool gInstalled[kSignalCount];

// Async-signal-safe calls only. The signal is blocked while the handler runs,
// so the raise takes effect, with the default action, once it returns.
void onTermination(int signal) {
  for (sig_atomic_t i = gCount; i > 0; --i) ::unlink(gPaths[i - 1]);
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  ::sigaction(signal, &defaults, nullptr);
  ::raise(signal);
}

}  // namespace

bool armSpoolRemoval(const char* const* paths, std::size_t count) {
  gCount = 0;
  gPaths = paths;
  gCount = static_cast<sig_atomic_t>(count);
  struct sigaction action {};
  action.sa_handler = onTermination;
  sigemptyset(&action.sa_mask);
  for (int signal : kSignals) sigaddset(&action.sa_mask, signal);
  action.sa_flags = SA_RESTART;
  bool ok = true;
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    if (gInstalled[i]) continue;
    struct sigaction previous {};
    if (::sigaction(kSignals[i], nullptr, &previous) != 0) {
      ok = false;
      continue;
    }
    // A signal the process was started to ignore (nohup) must not end it now.
    if (previous.sa_handler == SIG_IGN) continue;
    if (::sigaction(kSignals[i], &action, &gPrevious[i]) != 0) {
      ok = false;
      continue;
    }
    gInstalled[i] = true;
  }
  return ok;
}

void disarmSpoolRemoval() {
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    if (!gInstalled[i]) continue;
    ::sigaction(kSignals[i], &gPrevious[i], nullptr);
    gInstalled[i] = false;
  }
  gCount = 0;
  gPaths = nullptr;
}

}  // namespace kavro::platform
