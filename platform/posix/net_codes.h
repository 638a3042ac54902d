// What the POSIX socket files share: the WinSock code of a failure.
#pragma once

namespace kavro::platform::posix {

// Records the WinSock counterpart of `error` (an errno value) as the code
// netLastError() gives.
void setNetError(int error);

}  // namespace kavro::platform::posix
