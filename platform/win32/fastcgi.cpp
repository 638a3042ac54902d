// FastCGI is not offered on Windows yet: IIS starts the gateway as a CGI
// program, one process per request.
#include "platform/fastcgi.h"

namespace kavro::platform {

bool startedAsFastCgi() { return false; }

int serveFastCgi(ServeRequest) { return 1; }

}  // namespace kavro::platform
