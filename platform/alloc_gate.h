// The one gate every request for memory of the gateway passes: the process
// heap, the C allocator of the decoder and the forwarding, large buffers and
// the mapping of standard input.
//
// The gateway's own answer is always yes. The test build links
// gateway-failalloc with an answer of its own in place of it (a link-time
// seam), which can refuse any one request in turn; nothing in the gateway's
// environment reaches that one.
#pragma once

#include <cstddef>

namespace kavro::platform {

enum class AllocKind { kHeap, kMemory, kLarge, kMapping };

bool allocationPermitted(AllocKind kind, std::size_t size);

}  // namespace kavro::platform
