// The sample Engine Server: a small demo application behind the gateway (a
// form, its result page with the uploaded files' digests, a PNG download and
// a plain-text echo; see demo_app.h). One thread per connection, up to a cap;
// SIGTERM or SIGINT stops accepting and lets the conversations under way end.
//
//   sample-engine [--address A] [--port P] [--user U --password W]
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "engine/demo_app.h"
#include "engine/protocol.h"
#include "engine/server.h"

namespace {

namespace platform = kavro::platform;
namespace engine = kavro::engine;
namespace demo = kavro::engine::demo;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxConnections = 64;
// A peer that stops sending mid-conversation must not hold its slot for
// ever. Once the reply to the Request is out, the gateway writes it to the
// web server before it sends Close, which can take long for a big body and
// a slow client: cutting it off then would make the gateway report a link
// failure after the body.
constexpr int kIdleMilliseconds = 30000;
constexpr int kCloseWaitMilliseconds = 600000;
constexpr auto kShutdownWait = std::chrono::seconds(5);

std::mutex gLogMutex;

void logLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(gLogMutex);
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

// One gateway conversation: Login, Request, Close. The log line goes out
// before the last reply, so that it is there once the gateway has exited.
void serve(platform::Socket socket, const demo::Credentials& credentials) {
  const auto start = Clock::now();
  auto elapsed = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  };
  engine::netRecvTimeout(socket, kIdleMilliseconds);
  demo::Conversation conversation(credentials);
  bool logged = false;
  while (!conversation.finished()) {
    std::optional<std::string> frame = engine::readFrame(socket);
    if (!frame) break;
    std::string reply = conversation.onFrame(*frame);
    if (conversation.finished()) {
      logLine(conversation.logLine(elapsed()));
      logged = true;
    }
    if (!engine::writeFrame(socket, reply)) break;
    if (conversation.requestAnswered()) engine::netRecvTimeout(socket, kCloseWaitMilliseconds);
  }
  if (!logged) logLine(conversation.logLine(elapsed()));
  platform::netClose(socket);
}

// The connection threads, joined as they end so that none outlives main().
class Workers {
 public:
  // Waits for a free slot; false when termination was requested meanwhile.
  bool waitForSlot() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      reap(lock);
      if (workers_.size() < kMaxConnections) return true;
      if (engine::terminationRequested()) return false;
      changed_.wait_for(lock, std::chrono::milliseconds(200));
    }
  }

  void start(platform::Socket socket, const demo::Credentials& credentials) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto worker = std::make_unique<Worker>();
    Worker* self = worker.get();
    try {
      worker->thread = std::thread([this, self, socket, &credentials] {
        serve(socket, credentials);
        std::lock_guard<std::mutex> done(mutex_);
        self->done = true;
        changed_.notify_all();
      });
    } catch (const std::system_error&) {
      platform::netClose(socket);  // no thread to be had: the gateway sees a closed link
      return;
    }
    workers_.push_back(std::move(worker));
  }

  // True when every conversation ended within `limit` (all threads joined).
  bool finish(std::chrono::steady_clock::duration limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = Clock::now() + limit;
    for (;;) {
      reap(lock);
      if (workers_.empty()) return true;
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
        reap(lock);
        return workers_.empty();
      }
    }
  }

  std::size_t running() {
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_.size();
  }

 private:
  struct Worker {
    std::thread thread;
    bool done = false;  // guarded by mutex_
  };

  // Joins the threads that said they are done; they only have to return.
  void reap(std::unique_lock<std::mutex>& lock) {
    std::list<std::unique_ptr<Worker>> finished;
    for (auto it = workers_.begin(); it != workers_.end();) {
      if ((*it)->done) {
        finished.push_back(std::move(*it));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
    lock.unlock();
    for (auto& worker : finished) worker->thread.join();
    lock.lock();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::list<std::unique_ptr<Worker>> workers_;
};

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--address ADDRESS] [--port PORT] [--user USER --password PASSWORD]\n",
               program);
  return 2;
}

struct Options {
  const char* address = "127.0.0.1";
  long port = 8088;
  demo::Credentials credentials;
};

// The command line into `options`; 0, or the exit status of a bad one (its
// message written).
int parseOptions(int argc, char** argv, Options* options) {
  const char* portText = "8088";
  bool havePassword = false;
  for (int i = 1; i < argc; ++i) {
    bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--address") == 0 && hasValue) {
      options->address = argv[++i];
    } else if (std::strcmp(argv[i], "--port") == 0 && hasValue) {
      char* end = nullptr;
      portText = argv[++i];
      options->port = std::strtol(portText, &end, 10);
      if (*portText == '\0' || *end != '\0') options->port = -1;
    } else if (std::strcmp(argv[i], "--user") == 0 && hasValue) {
      options->credentials.required = true;
      options->credentials.user = argv[++i];
    } else if (std::strcmp(argv[i], "--password") == 0 && hasValue) {
      options->credentials.password = argv[++i];
      havePassword = true;
    } else {
      return usage(argv[0]);
    }
  }
  if (options->credentials.required != havePassword) {
    std::fprintf(stderr, "sample-engine: --user and --password go together\n");
    return usage(argv[0]);
  }
  if (options->port < 0 || options->port > 65535) {
    std::fprintf(stderr, "sample-engine: bad port %s\n", portText);
    return 2;
  }
  return 0;
}

// Accepts conversations until SIGTERM or SIGINT, then waits for those under
// way to end.
int serveUntilTerminated(platform::Socket listener, const demo::Credentials& credentials) {
  Workers workers;
  while (workers.waitForSlot()) {
    platform::Socket client = engine::netAcceptOrTerminate(listener);
    if (client == platform::kInvalidSocket) {
      if (engine::terminationRequested()) break;
      // Out of descriptors, most likely: let conversations end, then retry.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    workers.start(client, credentials);
  }
  platform::netClose(listener);

  if (!workers.finish(kShutdownWait)) {
    logLine("sample-engine: " + std::to_string(workers.running()) +
            " conversation(s) still open after the shutdown wait; leaving them");
    logLine("sample-engine: stopped");
    // Their threads are blocked in a receive: end without unwinding them.
    std::_Exit(0);
  }
  logLine("sample-engine: stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int status = parseOptions(argc, argv, &options); status != 0) return status;

  platform::processInit();
  if (!engine::catchTermination()) {
    std::fprintf(stderr, "sample-engine: cannot catch SIGTERM and SIGINT\n");
    return 1;
  }
  std::uint16_t bound = 0;
  platform::Socket listener =
      engine::netListen(options.address, static_cast<std::uint16_t>(options.port), &bound);
  if (listener == platform::kInvalidSocket) {
    std::fprintf(stderr, "sample-engine: cannot listen on %s:%ld (error %d)\n", options.address, options.port,
                 platform::netLastError());
    return 1;
  }
  logLine(std::string("sample-engine: listening on ") + options.address + ":" + std::to_string(bound));
  return serveUntilTerminated(listener, options.credentials);
}
