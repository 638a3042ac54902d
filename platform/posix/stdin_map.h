// What the POSIX files share about standard input mapped whole.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace kavro::platform::posix {

// The file offset at which the `size` bytes at `data` lie in standard input,
// when they lie inside its mapping (largeMapStandardInput); false otherwise.
bool standardInputOffsetOf(const void* data, std::size_t size, off_t* offset);

}  // namespace kavro::platform::posix
