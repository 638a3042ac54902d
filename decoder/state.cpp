#include "decoder/state.h"

namespace kavro::decoder {
namespace {

// Constant-initialised: nothing runs, and nothing is allocated, before main.
constinit State gState;

}  // namespace

State& state() { return gState; }

void resetState() {
  // Entries first: the mapping goes only once no value lies in it.
  qReleaseEntries();
  finishInput(&gState.input);
  gState = State{};
}

}  // namespace kavro::decoder
