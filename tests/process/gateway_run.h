// How the process tests run the gateway under test: build/gateway as it is,
// or build-win/gateway.exe under Wine with its settings imported into Wine's
// registry. The test executables are built once per platform (the
// definitions KAVRO3_GATEWAY_PATH and KAVRO3_CASE_PLATFORM).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/process.h"

namespace kavro::test {

// "posix", "windows" or "fastcgi" (the POSIX build started as a FastCGI
// application): the build whose gateway these tests run, and how.
std::string_view gatewayPlatform();
bool gatewayIsWindows();
bool gatewayIsFastCgi();

// Variables the runner sets itself, which a test may not set.
bool runnerVariable(std::string_view name);

// Runs the gateway once, as a web server would: exactly the environment
// `env` (and what the runner adds), `input` on standard input, the settings
// of the .reg file `registryFile` (a missing file: no settings at all). A
// gateway still running after `timeoutSeconds` is killed. False, with the
// reason, when the gateway or the settings' import cannot run. FastCGI: the
// environment and input go through cgi-fcgi (fastcgi_gateway.h). On POSIX,
// `program` (with `args`) runs instead of the gateway when it is given, and
// `started` learns the child's process id.
bool runGateway(const std::string& registryFile, std::vector<std::string> env, const std::string& input,
                ChildResult* result, int timeoutSeconds, std::string* error, const std::string& program = "",
                const std::vector<std::string>& args = {},
                const std::function<void(long pid)>& started = nullptr, const InputPause* pause = nullptr);

}  // namespace kavro::test
