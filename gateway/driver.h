#pragma once

namespace kavro {

// Serves one request from start to end; the process's exit status. Every run
// that reaches the driver's end, successful or reported, returns 0.
int runGateway();

}  // namespace kavro
