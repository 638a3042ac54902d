#include "decoder/state.h"

#include <cstdlib>

#include "decoder/internal.h"

namespace kavro {
namespace decoder {
namespace {

// Constant-initialised: nothing runs, and nothing is allocated, before main.
constinit State gState;

}  // namespace

State& state() { return gState; }

void resetState() {
  // Entries first: the mapping goes only once no value lies in it.
  qReleaseEntries();
  dropSource();
  if (gState.pendingValue != nullptr) releaseValue(gState.pendingValue, gState.pendingCapacity);
  finishInput(&gState.input);
  gState = State{};
}

void dropSource() {
  std::free(gState.source);
  gState.source = nullptr;
}

const char* variable(const char* name) { return gState.request->variable(name); }

}  // namespace decoder

void qStartRequest(platform::Request& request) {
  decoder::resetState();
  decoder::state().request = &request;
}

void qEndRequest() { decoder::resetState(); }

}  // namespace kavro
