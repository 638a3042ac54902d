// Kept alone in its file: a test executable that links its own
// allocationPermitted() then leaves this one out of the archive.
#include "platform/alloc_gate.h"

namespace kavro::platform {

bool allocationPermitted(AllocKind, std::size_t) { return true; }

}  // namespace kavro::platform
