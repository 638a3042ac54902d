#include "tests/process/gateway_run.h"

#include <filesystem>

#include "tests/process/fastcgi_gateway.h"

#ifndef KAVRO3_GATEWAY_PATH
#error "KAVRO3_GATEWAY_PATH must name the gateway executable"
#endif
#ifndef KAVRO3_CASE_PLATFORM
#define KAVRO3_CASE_PLATFORM "posix"
#endif
#ifndef KAVRO3_WINE
#define KAVRO3_WINE ""
#endif
#ifndef KAVRO3_WINE_PREFIX
#define KAVRO3_WINE_PREFIX ""
#endif

namespace kavro::test {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPlatform = KAVRO3_CASE_PLATFORM;
constexpr char kWine[] = KAVRO3_WINE;
constexpr int kRegistryTimeoutSeconds = 60;

// What Wine needs of the environment besides the case's own variables: its
// prefix (made once under build-win, its server kept running by the ctest
// fixture), no debug channels (their output would mix with standard error)
// and a fixed locale. Wine hands the environment to the program through a
// code-page conversion; in the C locale a byte from 0x80 up loses its top
// bit (in C.UTF-8 it would become '?').
std::vector<std::string> wineEnvironment() {
  return {std::string("WINEPREFIX=") + KAVRO3_WINE_PREFIX, "WINEDEBUG=-all", "LC_ALL=C"};
}

// Under load Wine now and then fails to start a program at all: the run
// ends with a failure status and nothing on either stream, or with "could
// not be started". Neither reg.exe nor the gateway ends that way of itself
// (every exit status 1 of the gateway comes with its page or line), so such
// a run is tried again.
constexpr int kWineStartTries = 3;

bool wineDidNotStart(const ChildResult& result) {
  if (result.exitStatus == 0 || result.timedOut) return false;
  std::string said = result.output + result.errors;
  return said.empty() || said.find("could not be started") != std::string::npos;
}

bool runWineProgram(const std::vector<std::string>& args, const std::vector<std::string>& env,
                    const std::string& input, ChildResult* result, int timeoutSeconds,
                    const std::function<void(long pid)>& started) {
  for (int attempt = 1;; ++attempt) {
    *result = ChildResult{};
    if (!runChild(kWine, args, env, input, result, timeoutSeconds, started)) return false;
    if (!wineDidNotStart(*result) || attempt == kWineStartTries) return true;
  }
}

bool runWine(const std::vector<std::string>& args, const char* what, bool mustSucceed, std::string* error) {
  ChildResult result;
  if (!runWineProgram(args, wineEnvironment(), "", &result, kRegistryTimeoutSeconds, nullptr)) {
    *error = std::string("cannot run ") + kWine;
    return false;
  }
  if (mustSucceed && (result.exitStatus != 0 || result.timedOut)) {
    *error = std::string(what) + " failed (exit status " + std::to_string(result.exitStatus) +
             "): " + result.output + result.errors;
    return false;
  }
  return true;
}

}  // namespace

std::string_view gatewayPlatform() { return kPlatform; }
bool gatewayIsWindows() { return kPlatform == "windows"; }
bool gatewayIsFastCgi() { return kPlatform == "fastcgi"; }

bool runnerVariable(std::string_view name) {
  for (std::string_view taken : {"KAVRO3_REGISTRY", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                                 "WINEPREFIX", "WINEDEBUG", "LC_ALL"})
    if (name == taken) return true;
  return false;
}

bool runGateway(const std::string& registryFile, std::vector<std::string> env, const std::string& input,
                ChildResult* result, int timeoutSeconds, std::string* error, const std::string& program,
                const std::vector<std::string>& args, const std::function<void(long pid)>& started,
                const InputPause* pause) {
  const std::string gateway = program.empty() ? KAVRO3_GATEWAY_PATH : program;
  if (!fs::exists(gateway)) {
    *error = gateway + " does not exist: build it first";
    return false;
  }
  if (!gatewayIsWindows()) {
    // The sanitizers' findings get exit statuses of their own, never taken
    // for the gateway's.
    const std::vector<std::string> sanitizers = {"ASAN_OPTIONS=exitcode=86",
                                                 "UBSAN_OPTIONS=exitcode=87:print_stacktrace=1",
                                                 "LSAN_OPTIONS=exitcode=88"};
    if (gatewayIsFastCgi() && program.empty())
      return runFastCgiCase(gateway, sanitizers, registryFile, env, input, result, timeoutSeconds, error,
                            started, pause);
    env.push_back("KAVRO3_REGISTRY=" + registryFile);
    env.insert(env.end(), sanitizers.begin(), sanitizers.end());
    if (runChild(gateway, args, env, input, result, timeoutSeconds, started, pause)) return true;
    *error = "cannot run " + gateway;
    return false;
  }
  // Every run starts from a registry without the product's keys; the same
  // .reg file the POSIX build reads is then imported as it stands.
  if (!runWine({"reg", "delete", "HKLM\\SOFTWARE\\Halvorn", "/f"}, "reg delete", false, error)) return false;
  if (fs::exists(registryFile) && !runWine({"reg", "import", registryFile}, "reg import", true, error))
    return false;
  for (const std::string& item : wineEnvironment()) env.push_back(item);
  if (runWineProgram({gateway}, env, input, result, timeoutSeconds, started)) return true;
  *error = std::string("cannot run ") + kWine + " " + gateway;
  return false;
}

}  // namespace kavro::test
