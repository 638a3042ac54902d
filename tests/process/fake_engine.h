// A scripted stand-in for the Engine Server, for the process-level tests.
//
// It listens on 127.0.0.1 and serves the connections it accepts one after the
// other on its own thread, playing the same script on each. Every Frame it
// receives is recorded byte for byte, so a test can check exactly what the
// gateway sent; anything that is not a well-formed Frame is recorded as a
// problem.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace kavro::test {

struct EngineStep {
  enum Kind {
    kRecv,    // read one Frame and record it; the script ends if the peer closed instead
    kFrame,   // send `bytes` as one Frame (eight-digit length, then the bytes)
    kSend,    // send `bytes` raw
    kPause,   // sleep `milliseconds`, so that the next send is a segment of its own
    kClose,   // close the connection now
    kReset,   // close it with a reset (RST), so that the gateway's next send fails too
    kSignal,  // send the termination signal `bytes` (TERM, INT, HUP) to the peer process
  };
  Kind kind = kRecv;
  std::string bytes;
  int milliseconds = 0;
};

// Parses one script line whose argument is already in its final bytes
// (`unescape` has been applied by the caller): "recv", "frame BYTES",
// "send BYTES", "pause MS", "close", "reset", "signal TERM|INT|HUP". The argument is everything after the
// first blank, blanks included. False with a reason for anything else.
bool parseEngineStep(const std::string& command, const std::string& argument, EngineStep* step,
                     std::string* error);

class FakeEngine {
 public:
  FakeEngine() = default;
  ~FakeEngine();
  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;

  // Listens on 127.0.0.1:`port` (0 picks an ephemeral port). False with a
  // reason when the port cannot be had. Connections wait in the backlog
  // until start().
  bool listen(std::uint16_t port, std::string* error);
  std::uint16_t port() const { return port_; }

  // Starts the serving thread with the script, which can name port() now.
  void start(std::vector<EngineStep> script);

  // The process that the script's `signal` steps reach. A step waits for it
  // to be known, up to a few seconds.
  void setPeer(long pid) { peer_ = pid; }

  // Stops accepting and joins the thread. The connection being served, if
  // any, must be closed by its peer first (the gateway has exited).
  void stop();

  // The texts of the Frames received, in order, over all connections.
  std::vector<std::string> frames() const;
  // Malformed length fields, incomplete Frames, failed sends.
  std::vector<std::string> problems() const;
  int connections() const;

 private:
  void serveAll();
  void serve(platform::Socket connection);
  // Reads one Frame. 1: recorded; 0: the peer closed before a first byte;
  // -1: a problem (recorded).
  int readFrame(platform::Socket connection);
  void problem(std::string text);

  std::vector<EngineStep> script_;
  platform::Socket listener_ = platform::kInvalidSocket;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<long> peer_{0};

  mutable std::mutex mutex_;  // guards the three records below
  std::vector<std::string> frames_;
  std::vector<std::string> problems_;
  int connections_ = 0;
};

// A conversation that goes well: the login accepted, `body` as the reply to
// the request (status '0', no marker), the Close answered.
std::vector<EngineStep> acceptingScript(const std::string& body);

// A .reg file with the base key pointing at 127.0.0.1:`port`, with FileMode
// and FilePath as given.
void writeRegistry(const std::string& path, std::uint16_t port, const std::string& fileMode,
                   const std::string& filePath);

}  // namespace kavro::test
