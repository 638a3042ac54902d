#include "tests/process/fake_engine.h"

#include <chrono>
#include <fstream>

#include "engine/protocol.h"
#include "engine/server.h"
#include "tests/support/bytes.h"
#include "tests/support/net.h"
#include "tests/support/process.h"

namespace kavro::test {
namespace {

// Reads exactly `size` bytes. Returns the number read: less than `size`
// only when the peer closed or the receive failed.
std::size_t readUpTo(platform::Socket socket, char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    long got = platform::netRecv(socket, buffer + done, size - done);
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

}  // namespace

bool parseEngineStep(const std::string& command, const std::string& argument, EngineStep* step,
                     std::string* error) {
  *step = EngineStep{};
  if (command == "recv" || command == "close" || command == "reset") {
    if (!argument.empty()) {
      *error = "'" + command + "' takes no argument";
      return false;
    }
    step->kind = command == "recv"    ? EngineStep::kRecv
                 : command == "close" ? EngineStep::kClose
                                      : EngineStep::kReset;
    return true;
  }
  if (command == "frame" || command == "send") {
    step->kind = command == "frame" ? EngineStep::kFrame : EngineStep::kSend;
    step->bytes = argument;
    return true;
  }
  if (command == "signal") {
    if (argument != "TERM" && argument != "INT" && argument != "HUP") {
      *error = "'signal' takes TERM, INT or HUP";
      return false;
    }
    step->kind = EngineStep::kSignal;
    step->bytes = argument;
    return true;
  }
  if (command == "pause") {
    if (argument.empty() || argument.size() > 6 ||
        argument.find_first_not_of("0123456789") != std::string::npos) {
      *error = "'pause' needs a number of milliseconds";
      return false;
    }
    step->kind = EngineStep::kPause;
    step->milliseconds = std::stoi(argument);
    return true;
  }
  *error = "unknown engine command '" + command + "'";
  return false;
}

FakeEngine::~FakeEngine() { stop(); }

bool FakeEngine::listen(std::uint16_t port, std::string* error) {
  listener_ = engine::netListen("127.0.0.1", port, &port_);
  if (listener_ == platform::kInvalidSocket) {
    *error = "fake engine cannot listen on 127.0.0.1:" + std::to_string(port) + " (WinSock code " +
             std::to_string(platform::netLastError()) + ")";
    return false;
  }
  return true;
}

void FakeEngine::start(std::vector<EngineStep> script) {
  script_ = std::move(script);
  thread_ = std::thread([this] { serveAll(); });
}

void FakeEngine::stop() {
  if (thread_.joinable()) {
    // accept() cannot be interrupted portably: raise the flag, then connect
    // once so that the thread wakes up, sees it and leaves.
    stopping_ = true;
    platform::Socket wake = platform::netSocket();
    std::uint32_t loopback = 0;
    if (wake != platform::kInvalidSocket && platform::netResolve("127.0.0.1", &loopback))
      platform::netConnect(wake, loopback, port_, 0);
    thread_.join();
    platform::netClose(wake);
  }
  if (listener_ != platform::kInvalidSocket) {
    platform::netClose(listener_);
    listener_ = platform::kInvalidSocket;
  }
}

std::vector<std::string> FakeEngine::frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

std::vector<std::string> FakeEngine::problems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return problems_;
}

int FakeEngine::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void FakeEngine::problem(std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  problems_.push_back(std::move(text));
}

void FakeEngine::serveAll() {
  for (;;) {
    platform::Socket connection = engine::netAccept(listener_);
    if (stopping_) {
      platform::netClose(connection);
      return;
    }
    if (connection == platform::kInvalidSocket) {
      problem("accept failed (WinSock code " + std::to_string(platform::netLastError()) + ")");
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
    }
    engine::netNoDelay(connection);
    serve(connection);
  }
}

void FakeEngine::serve(platform::Socket connection) {
  bool scriptEnded = false;
  for (const EngineStep& step : script_) {
    switch (step.kind) {
      case EngineStep::kRecv:
        if (readFrame(connection) != 1) scriptEnded = true;
        break;
      case EngineStep::kFrame:
        if (!engine::writeFrame(connection, step.bytes))
          problem("frame not sent: " + escapeBytes(step.bytes));
        break;
      case EngineStep::kSend:
        if (!platform::netSendAll(connection, step.bytes.data(), step.bytes.size()))
          problem("bytes not sent: " + escapeBytes(step.bytes));
        break;
      case EngineStep::kPause:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.milliseconds));
        break;
      case EngineStep::kClose: platform::netClose(connection); return;
      case EngineStep::kReset: netAbort(connection); return;
      case EngineStep::kSignal: {
        // The peer may have connected before its starter learnt its id.
        for (int waited = 0; peer_ == 0 && waited < 5000; waited += 10)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!sendTermination(peer_, step.bytes)) problem("cannot send SIG" + step.bytes);
        break;
      }
    }
    if (scriptEnded) break;
  }
  // Whatever the gateway still sends is recorded too: a message it should
  // not have sent shows up among the frames.
  while (!scriptEnded && readFrame(connection) == 1) {
  }
  platform::netClose(connection);
}

int FakeEngine::readFrame(platform::Socket connection) {
  char digits[wire::kFrameDigits];
  std::size_t got = readUpTo(connection, digits, sizeof digits);
  if (got == 0) return 0;
  std::string field(digits, got);
  if (got < sizeof digits) {
    problem("connection closed inside a length field: " + escapeBytes(field));
    return -1;
  }
  std::size_t length = 0;
  for (char c : field) {
    if (c < '0' || c > '9') {
      // Keep what follows visible as well: it explains the bad field.
      char rest[4096];
      std::size_t more = readUpTo(connection, rest, sizeof rest);
      problem("malformed length field: " + escapeBytes(field) + " followed by " +
              escapeBytes(std::string(rest, more)));
      return -1;
    }
    length = length * 10 + static_cast<std::size_t>(c - '0');
  }
  std::string text(length, '\0');
  got = readUpTo(connection, text.data(), length);
  if (got < length) {
    problem("connection closed after " + std::to_string(got) + " of " + std::to_string(length) +
            " bytes of a Frame: " + escapeBytes(text.substr(0, got)));
    return -1;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.push_back(std::move(text));
  return 1;
}

std::vector<EngineStep> acceptingScript(const std::string& body) {
  std::vector<EngineStep> script;
  for (const std::string& reply :
       {std::string("0\x01\x01"), "0\x01" + body + "\x01", std::string("0\x01\x01")}) {
    script.push_back(EngineStep{EngineStep::kRecv, "", 0});
    script.push_back(EngineStep{EngineStep::kFrame, reply, 0});
  }
  return script;
}

void writeRegistry(const std::string& path, std::uint16_t port, const std::string& fileMode,
                   const std::string& filePath) {
  std::ofstream(path) << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3]\n"
                      << "\"ServerURL\"=\"127.0.0.1\"\n\"ServerPort\"=\"" << port << "\"\n\"FileMode\"=\""
                      << fileMode << "\"\n\"FilePath\"=\"" << filePath << "\"\n";
}

}  // namespace kavro::test
