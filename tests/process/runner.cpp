// Process-level tests: each tests/data/*.case file runs the gateway once, as
// a web server would (or kavro3-check, as an administrator would), against a
// scripted fake Engine Server, and checks the exact bytes on standard output
// and, when asked, on standard error, the exit status, the Frames the engine
// received and the files left behind. tests/data/README.md has the format.
// The same cases run against build/gateway (process_tests), against
// build-win/gateway.exe under Wine (windows_process_tests), which skips the
// cases that run kavro3-check or whose engine sends a signal (POSIX only),
// and against build/gateway as a FastCGI application through cgi-fcgi
// (fastcgi_process_tests, fastcgi_gateway.h; notUnderFastCgi says which
// cases it skips).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/server.h"
#include "tests/process/case_compare.h"
#include "tests/process/case_expand.h"
#include "tests/process/case_file.h"
#include "tests/process/fake_engine.h"
#include "tests/process/fastcgi_gateway.h"
#include "tests/process/gateway_run.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#ifndef KAVRO3_CHECK_PATH
#define KAVRO3_CHECK_PATH ""
#endif
#ifndef KAVRO3_TEST_DATA_DIR
#error "KAVRO3_TEST_DATA_DIR must name the directory of the .case files"
#endif

namespace kavro::test {
namespace {

namespace fs = std::filesystem;

constexpr int kTimeoutSeconds = 30;
constexpr std::size_t kDeadPorts = 3;
// The directories above the files written: as under umask 022.
constexpr fs::perms kDirectoryMode = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec;

bool uses(const CaseFile& file, const std::string& text) {
  for (const Section& section : file.sections)
    for (const Line& line : section.lines)
      if (line.text.find(text) != std::string::npos) return true;
  return false;
}

// Loopback ports where nothing listens: bound, read, closed. The listeners
// stay open until all ports are chosen, so the ports are distinct.
bool deadPorts(Variables* variables) {
  std::vector<platform::Socket> held;
  for (std::size_t i = 0; i < kDeadPorts; ++i) {
    std::uint16_t port = 0;
    platform::Socket socket = engine::netListen("127.0.0.1", 0, &port);
    if (socket == platform::kInvalidSocket) break;
    held.push_back(socket);
    (*variables)["DEAD" + std::to_string(i + 1)] = std::to_string(port);
  }
  for (platform::Socket socket : held) platform::netClose(socket);
  return held.size() == kDeadPorts;
}

// A loopback port where a connect neither succeeds nor fails: a listener
// that never accepts, with its one-place accept queue taken. Both sockets
// stay open for the life of the object.
class StalledPort {
 public:
  bool open() {
    listener_ = engine::netListen("127.0.0.1", 0, &port_, 0);
    filler_ = platform::netSocket();
    std::uint32_t loopback = 0;
    return listener_ != platform::kInvalidSocket && filler_ != platform::kInvalidSocket &&
           platform::netResolve("127.0.0.1", &loopback) && platform::netConnect(filler_, loopback, port_, 5);
  }
  ~StalledPort() {
    platform::netClose(filler_);
    platform::netClose(listener_);
  }
  std::uint16_t port() const { return port_; }

 private:
  platform::Socket listener_ = platform::kInvalidSocket;
  platform::Socket filler_ = platform::kInvalidSocket;
  std::uint16_t port_ = 0;
};

// ${SIGNAL:NAME} in stdin stands for this mark and the name, which the
// runner takes out of the input and acts on (signalPause).
constexpr char kSignalMark[] = "\x01\x02SIGNAL ";
constexpr const char* kSignalNames[] = {"TERM", "INT", "HUP"};

// Why a case cannot run against gateway.exe under Wine; empty when it can.
std::string posixOnly(const CaseFile& file) {
  if (file.find("check") != nullptr) return "kavro3-check is a POSIX program";
  if (file.find("shell") != nullptr) return "a POSIX shell runs the gateway";
  if (const Section* in = file.find("stdin"))
    for (const Line& line : in->lines)
      if (line.text.find("${SIGNAL:") != std::string::npos) return "POSIX signals";
  if (const Section* engine = file.find("engine"))
    for (const Line& line : engine->lines)
      if (line.text.rfind("signal ", 0) == 0) return "POSIX signals";
  return "";
}

// Why a case cannot run against the gateway as a FastCGI application; empty
// when it can.
std::string notUnderFastCgi(const CaseFile& file) {
  if (file.find("check") != nullptr) return "kavro3-check runs as a command, never under FastCGI";
  if (file.find("shell") != nullptr) return "a shell starts the gateway as a CGI program";
  // A signal ends the process that every case of the run shares; the run
  // with one process per case shows what it does.
  if (fastCgiOneProcess() && posixOnly(file) == "POSIX signals")
    return "a signal would end the process all cases share";
  return "";
}

// The listeners a case names: its engine (${PORT}), ports where nothing
// listens (${DEAD1}...) and a stalled port (${STALLED}).
struct Peers {
  StalledPort stalled;
  std::unique_ptr<FakeEngine> engine;

  // Opens what `file` uses and names it in `variables`. Dead ports are
  // picked only for the cases that use them: a port picked and released
  // could be taken by a test running in parallel. The engine listens before
  // any section is expanded, so that every section can name its port.
  bool open(const CaseFile& file, Variables* variables, std::string* error) {
    if (uses(file, "${DEAD") && !deadPorts(variables)) {
      *error = "cannot pick free loopback ports";
      return false;
    }
    if (uses(file, "${STALLED}")) {
      if (!stalled.open()) {
        *error = "cannot set up a stalled port";
        return false;
      }
      (*variables)["STALLED"] = std::to_string(stalled.port());
    }
    const Section* section = file.find("engine");
    if (section == nullptr) return true;
    std::uint16_t port = 0;
    if (!enginePort(*section, &port)) {
      *error = "bad engine port: " + section->argument;
      return false;
    }
    engine = std::make_unique<FakeEngine>();
    if (!engine->listen(port, error)) return false;
    (*variables)["PORT"] = std::to_string(engine->port());
    return true;
  }
};

// The case's files, its settings file and the directory it checks, under `dir`.
bool writeCaseFiles(const fs::path& dir, const ExpandedCase& run, std::string* error) {
  for (const auto& [name, bytes] : run.files) {
    std::error_code code;
    for (fs::path above = fs::path(name).parent_path(); !above.empty(); above = above.parent_path()) {
      fs::create_directories(dir / above, code);
      fs::permissions(dir / above, kDirectoryMode, code);
    }
    if (!writeFile(dir / name, bytes)) *error = "cannot write " + name;
  }
  if (run.hasRegistry && !writeFile(dir / "kavro3.reg", run.registry + "\n"))
    *error = "cannot write the registry file";
  if (run.checksLeft) fs::create_directories(dir / run.leftDir);
  return error->empty();
}

void checkOutcome(const ExpandedCase& run, const ChildResult& result, const std::string& program,
                  const fs::path& dir, std::map<std::string, std::string>* leftNames) {
  EXPECT_FALSE(result.timedOut) << program << " ran longer than " << kTimeoutSeconds << " s and was killed";
  EXPECT_TRUE(result.output == run.output) << "standard output differs\n"
                                           << describeDifference(run.output, result.output);
  if (run.checksErrors) {
    // '*' stands for what changes from run to run, a spooled file's name.
    EXPECT_TRUE(wildcardMatch(run.errors, result.errors)) << "standard error differs\n"
                                                          << describeDifference(run.errors, result.errors);
  }
  EXPECT_EQ(result.exitStatus, run.exit)
      << "exit status (86: ASan, 87: UBSan, 88: LSan finding; see standard error)";
  if (run.checksLeft) {
    std::string problems = checkLeft(dir / run.leftDir, run.leftPatterns, leftNames);
    EXPECT_TRUE(problems.empty()) << problems;
  }
}

// Where the input holds a signal's mark: the pause that sends the signal
// there, once the gateway has made a file in the `left` directory (within
// five seconds), so that it arrives while an upload is being written.
bool signalPause(std::string* input, const fs::path& leftDir, InputPause* pause) {
  std::size_t at = input->find(kSignalMark);
  if (at == std::string::npos) return false;
  std::size_t end = input->find('\x01', at + 2);
  std::string name = input->substr(at + sizeof kSignalMark - 1, end - at - (sizeof kSignalMark - 1));
  input->erase(at, end + 1 - at);
  pause->at = at;
  pause->action = [name, leftDir](long pid) {
    for (int wait = 0; wait < 500 && fs::is_empty(leftDir); ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sendTermination(pid, name);
  };
  return true;
}

struct CaseParam {
  std::string name;
  fs::path path;
};

// Names the case in GoogleTest's messages instead of dumping its bytes.
void PrintTo(const CaseParam& param, std::ostream* out) { *out << param.path.string(); }

class ProcessCase : public ::testing::TestWithParam<CaseParam> {};

TEST_P(ProcessCase, Run) {
  const CaseParam& param = GetParam();
  CaseFile file;
  std::string error;
  ASSERT_TRUE(readCase(param.path, &file, &error)) << param.path.string() << ": " << error;
  if (const Section* title = file.find("title"); !title->lines.empty())
    std::cout << "[ " << param.name << " ] " << title->lines[0].text << "\n";
  if (gatewayIsWindows() && !posixOnly(file).empty()) GTEST_SKIP() << posixOnly(file);
  if (gatewayIsFastCgi() && !notUnderFastCgi(file).empty()) GTEST_SKIP() << notUnderFastCgi(file);

  TempDir temp("kavro3-" + param.name);
  ASSERT_FALSE(temp.path().empty()) << "cannot create a temp dir";
  Variables variables{{"TMP", temp.path()}};
  for (const char* name : kSignalNames)
    variables[std::string("SIGNAL:") + name] = kSignalMark + (name + std::string("\x01"));
  Peers peers;
  ASSERT_TRUE(peers.open(file, &variables, &error)) << error;
  FakeEngine* engine = peers.engine.get();

  ExpandedCase run;
  ASSERT_TRUE(expandCase(file, variables, &run, &error)) << error;
  ASSERT_TRUE(writeCaseFiles(temp.path(), run, &error)) << error;
  if (engine) engine->start(run.script);

  ChildResult result;
  std::string program = run.runsCheck ? KAVRO3_CHECK_PATH : "";
  std::vector<std::string> arguments = run.checkArguments;
  if (const Section* shell = file.find("shell")) {
    // The shell runs the gateway as "$0", from a script of the case's lines.
    program = "/bin/sh";
    arguments = {"-c", "", KAVRO3_GATEWAY_PATH};
    for (const Line& line : shell->lines) arguments[1] += line.text + "\n";
  }
  InputPause pause;
  bool pauses = signalPause(&run.input, temp / run.leftDir, &pause);
  bool ran = runGateway(
      temp / "kavro3.reg", run.env, run.input, &result, kTimeoutSeconds, &error, program, arguments,
      [engine](long pid) {
        if (engine) engine->setPeer(pid);
      },
      pauses ? &pause : nullptr);
  if (engine) engine->stop();
  ASSERT_TRUE(ran) << error;

  std::map<std::string, std::string> leftNames;
  checkOutcome(run, result, run.runsCheck ? program : "the gateway", temp.path(), &leftNames);
  if (engine) {
    for (const std::string& problem : engine->problems()) ADD_FAILURE() << "fake engine: " << problem;
    std::vector<std::string> frames = engine->frames();
    namesAsPatterns(leftNames, &frames);
    if (run.checksFrames)
      for (const std::string& problem : compareFrames(run.frames, run.isRequest, frames))
        ADD_FAILURE() << problem;
  }
  if (HasFailure()) {
    temp.keep();
    writeFile(temp / "actual.stdout", result.output);
    std::cout << "standard error (" << result.errors.size() << " bytes):\n" << result.errors << "\n";
    if (engine) std::cout << "connections accepted by the fake engine: " << engine->connections() << "\n";
  }
}

std::vector<CaseParam> listCases() {
  std::vector<CaseParam> cases;
  std::error_code code;
  for (const auto& entry : fs::directory_iterator(KAVRO3_TEST_DATA_DIR, code)) {
    if (entry.path().extension() != ".case") continue;
    std::string name = entry.path().stem().string();
    for (char& c : name)
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    cases.push_back(CaseParam{name, entry.path()});
  }
  std::sort(cases.begin(), cases.end(),
            [](const CaseParam& a, const CaseParam& b) { return a.name < b.name; });
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, ProcessCase, ::testing::ValuesIn(listCases()),
                         [](const ::testing::TestParamInfo<CaseParam>& info) { return info.param.name; });

}  // namespace
}  // namespace kavro::test
