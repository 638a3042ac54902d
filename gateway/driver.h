#pragma once

#include "platform/request.h"

namespace kavro {

// Serves one request from start to end; the request's exit status. Every
// run that reaches the driver's end, successful or reported, returns 0; a
// request the decoder refuses ends inside it, through the request's end(1).
int runGateway(platform::Request& request);

}  // namespace kavro
