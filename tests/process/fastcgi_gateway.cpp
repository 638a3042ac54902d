#include "tests/process/fastcgi_gateway.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "engine/server.h"
#include "platform/platform.h"
#include "tests/support/temp_dir.h"

#ifndef KAVRO3_CGI_FCGI
#define KAVRO3_CGI_FCGI ""
#endif

namespace kavro::test {
namespace {

namespace fs = std::filesystem;

// cgi-fcgi's exit status when the connection closed before the request's end.
constexpr int kClosedWithoutEnd = 253;
// How long a process that closed the connection mid-request may take to be
// seen ended, and one told to stop to end.
constexpr int kEndWaitMilliseconds = 5000;
constexpr int kStopTries = 50;
constexpr int kStopWaitMilliseconds = 100;

bool waitForEnd(BackgroundChild* child, int milliseconds) {
  for (int waited = 0; !backgroundEnded(child); waited += 10) {
    if (waited >= milliseconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

std::string cgiFcgiPath() { return KAVRO3_CGI_FCGI; }

FastCgiGateway::~FastCgiGateway() {
  if (child_ != nullptr) stop(nullptr);
}

bool FastCgiGateway::start(const std::string& program, const std::vector<std::string>& env,
                           std::string* error) {
  std::uint16_t port = 0;
  platform::Socket listener = engine::netListen("127.0.0.1", 0, &port);
  if (listener == platform::kInvalidSocket) {
    *error = "cannot listen on 127.0.0.1";
    return false;
  }
  child_ = startBackground(program, {}, env, static_cast<int>(listener));
  // Only the gateway holds the listener from now on: once it has ended, a
  // connect is refused rather than left waiting.
  platform::netClose(listener);
  if (child_ == nullptr) {
    *error = "cannot start " + program;
    return false;
  }
  address_ = "127.0.0.1:" + std::to_string(port);
  return true;
}

bool FastCgiGateway::running() { return child_ != nullptr && !backgroundEnded(child_); }

long FastCgiGateway::pid() const { return child_ != nullptr ? backgroundPid(child_) : -1; }

bool FastCgiGateway::request(const std::vector<std::string>& env, const std::string& input,
                             ChildResult* result, int timeoutSeconds, std::string* error,
                             const InputPause* pause) {
  if (cgiFcgiPath().empty() || child_ == nullptr) {
    *error = "no cgi-fcgi, or no gateway started";
    return false;
  }
  InputPause onGateway;
  if (pause != nullptr) {
    const long gateway = pid();
    onGateway = InputPause{pause->at, [pause, gateway](long) { pause->action(gateway); }};
  }
  if (!runChild(cgiFcgiPath(), {"-bind", "-connect", address_}, env, input, result, timeoutSeconds, nullptr,
                pause != nullptr ? &onGateway : nullptr)) {
    *error = "cannot run " + cgiFcgiPath();
    return false;
  }
  if (result->exitStatus == kClosedWithoutEnd && waitForEnd(child_, kEndWaitMilliseconds)) {
    std::string errors;
    result->exitStatus = backgroundFinish(child_, 0, &errors);
    result->errors += errors;
    child_ = nullptr;
  }
  return true;
}

int FastCgiGateway::stop(std::string* errors) {
  // Sent again while the process runs: one that arrives just before the
  // kit enters accept() is noted only at the next connection.
  for (int i = 0; i < kStopTries && !backgroundEnded(child_); ++i) {
    sendTermination(backgroundPid(child_), "USR1");
    waitForEnd(child_, kStopWaitMilliseconds);
  }
  std::string rest;
  int status = backgroundFinish(child_, kEndWaitMilliseconds, &rest);
  child_ = nullptr;
  if (errors != nullptr) *errors = rest;
  return status;
}

namespace {

// The one gateway of a KAVRO3_FASTCGI_ONE_PROCESS run, and the directory of
// the settings file it reads.
struct OneProcess {
  FastCgiGateway gateway;
  TempDir dir{"kavro3-fastcgi-one"};
};
OneProcess* gOne = nullptr;

// At the end of the run the one gateway must stop as cleanly as it would
// after a single request.
class OneProcessEnd : public ::testing::Environment {
 public:
  void TearDown() override {
    if (gOne == nullptr) return;
    if (gOne->gateway.running()) {
      std::string errors;
      EXPECT_EQ(gOne->gateway.stop(&errors), 0) << "the gateway that served every case\n" << errors;
    }
    delete gOne;
    gOne = nullptr;
  }
};

const bool kOneProcessEndRegistered = [] {
  if (fastCgiOneProcess()) ::testing::AddGlobalTestEnvironment(new OneProcessEnd);
  return true;
}();

// The case's settings file in place of the one the process reads: renamed
// over it (so it is another file, whatever its size and time), or the file
// removed when the case has none.
bool installSettings(const std::string& from, const std::string& to, std::string* error) {
  std::error_code code;
  if (!fs::exists(from)) {
    fs::remove(to, code);
    return true;
  }
  fs::copy_file(from, to + ".new", fs::copy_options::overwrite_existing, code);
  if (!code) fs::rename(to + ".new", to, code);
  if (code) *error = "cannot put the settings in place: " + code.message();
  return !code;
}

FastCgiGateway* oneGateway(const std::string& gateway, std::vector<std::string> processEnv,
                           const std::string& registryFile, std::string* error) {
  if (gOne == nullptr) gOne = new OneProcess;
  const std::string settings = gOne->dir / "kavro3.reg";
  if (gOne->dir.path().empty() || !installSettings(registryFile, settings, error)) return nullptr;
  // The first case starts it; a case that ended it has failed, and the next
  // one starts another.
  if (!gOne->gateway.running()) {
    processEnv.push_back("KAVRO3_REGISTRY=" + settings);
    if (!gOne->gateway.start(gateway, processEnv, error)) return nullptr;
  }
  return &gOne->gateway;
}

}  // namespace

bool fastCgiOneProcess() {
  const char* value = std::getenv("KAVRO3_FASTCGI_ONE_PROCESS");
  return value != nullptr && value[0] != '\0';
}

bool runFastCgiCase(const std::string& gateway, const std::vector<std::string>& processEnv,
                    const std::string& registryFile, const std::vector<std::string>& env,
                    const std::string& input, ChildResult* result, int timeoutSeconds, std::string* error,
                    const std::function<void(long pid)>& started, const InputPause* pause) {
  FastCgiGateway own;
  FastCgiGateway* server = &own;
  if (fastCgiOneProcess()) {
    server = oneGateway(gateway, processEnv, registryFile, error);
    if (server == nullptr) return false;
  } else {
    std::vector<std::string> ownEnv = processEnv;
    ownEnv.push_back("KAVRO3_REGISTRY=" + registryFile);
    if (!own.start(gateway, ownEnv, error)) return false;
  }
  if (started) started(server->pid());
  if (!server->request(env, input, result, timeoutSeconds, error, pause)) return false;
  // Ended during the request: its status is the case's already. Otherwise
  // it must still run, and, unless it is kept for the next case, stop well.
  bool kept = server != &own;
  if (server->pid() < 0 || (kept && server->running())) return true;
  std::string errors;
  int status = server->stop(&errors);
  if (status != 0) {
    result->exitStatus = status;
    result->errors += errors;
  }
  return true;
}

}  // namespace kavro::test
