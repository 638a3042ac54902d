// The gateway as a FastCGI application, for the process-level tests: started
// with a listening socket on 127.0.0.1 as standard input, as web servers
// start it, and sent requests through Debian's cgi-fcgi, which hands its own
// environment over as the request's parameters, its standard input as the
// body, and writes the response and FCGI_STDERR to its standard streams.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace kavro::test {

class FastCgiGateway {
 public:
  FastCgiGateway() = default;
  ~FastCgiGateway();
  FastCgiGateway(const FastCgiGateway&) = delete;
  FastCgiGateway& operator=(const FastCgiGateway&) = delete;

  // Starts `program` with exactly the environment `env`. False, with the
  // reason, when it cannot.
  bool start(const std::string& program, const std::vector<std::string>& env, std::string* error);
  bool running();
  long pid() const;

  // One request. `result->exitStatus` is the request's application status
  // (cgi-fcgi passes it on as its own), or the process's exit status when
  // the gateway ended during the request; what the process wrote to its own
  // standard error by then is added to `result->errors`. A `pause` in the
  // input acts on the gateway, not on cgi-fcgi.
  bool request(const std::vector<std::string>& env, const std::string& input, ChildResult* result,
               int timeoutSeconds, std::string* error, const InputPause* pause = nullptr);

  // Stops the process with the kit's graceful stop (SIGUSR1; killed when it
  // does not end): its exit status, 0 when it ended well, and what it wrote
  // to its own standard error (a sanitizer's report).
  int stop(std::string* errors);

 private:
  BackgroundChild* child_ = nullptr;
  std::string address_;  // 127.0.0.1:PORT
};

// The path of cgi-fcgi, empty when this build found none.
std::string cgiFcgiPath();

// Whether one gateway serves every case of the test program in turn
// (KAVRO3_FASTCGI_ONE_PROCESS set and not empty), so that whatever a request
// leaves behind meets the requests after it. Otherwise each case starts a
// gateway of its own and stops it after its one request.
bool fastCgiOneProcess();

// One case through FastCGI, as gateway_run.h's runGateway makes it: `gateway`
// started with `processEnv` and the case's settings file `registryFile`
// (one process for all: copied over the settings file that process reads),
// `env` and `input` handed over by cgi-fcgi. A gateway that does not stop
// with exit status 0 after its case turns the case's exit status into its
// own, with its standard error added.
bool runFastCgiCase(const std::string& gateway, const std::vector<std::string>& processEnv,
                    const std::string& registryFile, const std::vector<std::string>& env,
                    const std::string& input, ChildResult* result, int timeoutSeconds, std::string* error,
                    const std::function<void(long pid)>& started, const InputPause* pause);

}  // namespace kavro::test
