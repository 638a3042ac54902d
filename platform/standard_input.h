// Standard input mapped whole, for the CGI request of either system.
#pragma once

#include <cstddef>

namespace kavro::platform {

// The rest of standard input, mapped privately (writes never reach the file),
// when it is a regular file: null otherwise, and then it is read as a stream.
// Only before anything has read standard input through the C stream.
void* mapStandardInput(std::size_t* size);
void unmapStandardInput(void* block, std::size_t size);

}  // namespace kavro::platform
