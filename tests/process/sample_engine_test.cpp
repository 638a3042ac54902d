// build/sample-engine as a process: the port it announces, conversations
// over real sockets (several at once), the gateway in front of it, and a
// clean stop on SIGTERM and SIGINT that lets a conversation under way end.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/protocol.h"
#include "engine/server.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace kavro::test {
namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 10000;
constexpr char kListening[] = "sample-engine: listening on 127.0.0.1:";

std::string loginText(const std::string& user, const std::string& password) {
  return "1\x01" + user + "\x01" + password +
         "\x01SHOP\x01"
         "2\x01\x01RUN_KAVRO_REQUEST\x01"
         "65\x01"
         "1\x01\x01";
}

// A Request whose payload holds the 26 rows (PATH_INFO, REQUEST_METHOD and
// SCRIPT_NAME set, the rest empty).
std::string requestText(const std::string& query, const std::string& pathInfo) {
  std::vector<std::string> rows(26);
  rows[0] = query;
  rows[1] = pathInfo;
  rows[16] = "GET";
  rows[17] = "/shop/gateway";
  rows[25] =
      "RegistryInfo=&StartupFlags=65&ShutdownFlags=1&FilePath=&FileMode=1&SysDownPage=&HXLocation=&"
      "AdditionalValues=";
  std::string text = "3\x01";
  for (const std::string& row : rows) text += row + '\xFE';
  return text + '\x01';
}

class Engine {
 public:
  explicit Engine(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", "0"});
    child_ = startBackground(KAVRO3_SAMPLE_ENGINE_PATH, args);
    if (!child_) return;
    std::string line;
    if (backgroundReadLine(child_, &line, kWaitMs) && line.starts_with(kListening))
      port_ = static_cast<std::uint16_t>(std::stoi(line.substr(sizeof kListening - 1)));
    first_ = line;
  }
  ~Engine() {
    if (child_) backgroundFinish(child_, 0, nullptr);
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  std::uint16_t port() const { return port_; }
  const std::string& firstLine() const { return first_; }

  std::string nextLine() {
    std::string line;
    return backgroundReadLine(child_, &line, kWaitMs) ? line : "(no line)";
  }

  void signal(bool interrupt) { backgroundTerminate(child_, interrupt); }

  int finish(std::string* rest) {
    int status = backgroundFinish(child_, kWaitMs, rest);
    child_ = nullptr;
    return status;
  }

 private:
  BackgroundChild* child_ = nullptr;
  std::uint16_t port_ = 0;
  std::string first_;
};

class Client {
 public:
  explicit Client(std::uint16_t port) {
    std::uint32_t loopback = 0;
    socket_ = platform::netSocket();
    if (socket_ == platform::kInvalidSocket || !platform::netResolve("127.0.0.1", &loopback) ||
        !platform::netConnect(socket_, loopback, port, 0)) {
      platform::netClose(socket_);
      socket_ = platform::kInvalidSocket;
      return;
    }
    // A reply that never comes fails the test instead of hanging it.
    engine::netRecvTimeout(socket_, kWaitMs);
  }
  ~Client() { platform::netClose(socket_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return socket_ != platform::kInvalidSocket; }

  // Sends one Frame and reads the reply's text; "(no reply)" when none came.
  std::string exchange(const std::string& text) {
    if (!engine::writeFrame(socket_, text)) return "(not sent)";
    std::optional<std::string> reply = engine::readFrame(socket_);
    return reply ? *reply : "(no reply)";
  }

 private:
  platform::Socket socket_ = platform::kInvalidSocket;
};

TEST(SampleEngine, AnnouncesItsPortAndServesAConversation) {
  Engine engine({"--user", "alice", "--password", "pw"});
  ASSERT_NE(engine.port(), 0) << engine.firstLine();
  {
    Client client(engine.port());
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.exchange(loginText("ALICE", "pw"))[0], '0');
    std::string reply = client.exchange(requestText("a=1&b=x%20y", "/echo"));
    EXPECT_TRUE(
        reply.starts_with("0\x01"
                          "Content-Type: text/plain; charset=utf-8\r\n\r\nrow 0 QUERY_STRING="))
        << reply;
    EXPECT_NE(reply.find("\nfield a=1\nfield b=x%20y\n"), std::string::npos) << reply;
    EXPECT_EQ(client.exchange("2\x01"), std::string("0\x01\x01"));
  }
  std::string log = engine.nextLine();
  EXPECT_TRUE(log.starts_with("sample-engine: ALICE GET /shop/gateway/echo -> 200 echo (")) << log;
  EXPECT_TRUE(log.ends_with(" ms)")) << log;

  {
    Client client(engine.port());
    EXPECT_EQ(client.exchange(loginText("ALICE", "PW")),
              std::string("1\x01Login refused: wrong user name or password.\x01"));
  }
  EXPECT_TRUE(engine.nextLine().starts_with("sample-engine: ALICE - - -> login refused (")) << "refused";

  {
    Client client(engine.port());
    EXPECT_EQ(client.exchange("garbage")[0], '1');
  }
  EXPECT_TRUE(engine.nextLine().starts_with("sample-engine: - - - -> malformed message, closed early ("));

  engine.signal(false);
  std::string rest;
  EXPECT_EQ(engine.finish(&rest), 0) << rest;
  EXPECT_EQ(rest, "sample-engine: stopped\n");
}

TEST(SampleEngine, ServesConversationsAtTheSameTime) {
  Engine engine({});
  ASSERT_NE(engine.port(), 0) << engine.firstLine();
  // Every client logs in before any of them finishes: an engine that served
  // one connection at a time would leave the second login unanswered.
  constexpr int kClients = 8;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(engine.port()));
    ASSERT_TRUE(clients.back()->connected());
    ASSERT_EQ(clients.back()->exchange(loginText("U" + std::to_string(i), "")),
              std::string("0\x01Welcome\x01"));
  }
  for (int i = kClients - 1; i >= 0; --i) {
    std::string reply = clients[i]->exchange(requestText("n=" + std::to_string(i), "/echo"));
    EXPECT_NE(reply.find("\nfield n=" + std::to_string(i) + "\n"), std::string::npos) << i;
    EXPECT_EQ(clients[i]->exchange("2\x01")[0], '0');
  }
  for (int i = 0; i < kClients; ++i) EXPECT_NE(engine.nextLine().find(" -> 200 echo ("), std::string::npos);
  engine.signal(true);
  std::string rest;
  EXPECT_EQ(engine.finish(&rest), 0) << rest;
  EXPECT_EQ(rest, "sample-engine: stopped\n");
}

TEST(SampleEngine, StopWaitsForTheConversationUnderWay) {
  for (bool interrupt : {false, true}) {
    Engine engine({});
    ASSERT_NE(engine.port(), 0) << engine.firstLine();
    Client client(engine.port());
    ASSERT_EQ(client.exchange(loginText("U", ""))[0], '0');
    engine.signal(interrupt);
    // Still served after the signal: the conversation runs to its end.
    std::string reply = client.exchange(requestText("", "/"));
    EXPECT_TRUE(
        reply.starts_with("0\x01"
                          "Content-Type: text/html"))
        << interrupt;
    EXPECT_EQ(client.exchange("2\x01")[0], '0');
    std::string rest;
    EXPECT_EQ(engine.finish(&rest), 0) << rest;
    EXPECT_TRUE(rest.starts_with("sample-engine: U GET /shop/gateway/ -> 200 form (")) << rest;
    EXPECT_TRUE(rest.ends_with("\nsample-engine: stopped\n")) << rest;
  }
}

// A peer that never finishes holds the stop up for the bounded wait only.
TEST(SampleEngine, StopGivesUpOnAConversationThatDoesNotEnd) {
  Engine engine({});
  ASSERT_NE(engine.port(), 0) << engine.firstLine();
  Client idle(engine.port());
  ASSERT_EQ(idle.exchange(loginText("U", ""))[0], '0');
  const auto start = std::chrono::steady_clock::now();
  engine.signal(false);
  std::string rest;
  EXPECT_EQ(engine.finish(&rest), 0) << rest;
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::seconds(4));
  EXPECT_LT(waited, std::chrono::seconds(9));
  EXPECT_TRUE(rest.ends_with("\nsample-engine: stopped\n")) << rest;
}

TEST(SampleEngine, RejectsBadCommandLines) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--user", "alice"}, {"--password", "pw"}, {"--port", "70000"}, {"--port", "x"}, {"--bogus"}}) {
    ChildResult result;
    ASSERT_TRUE(runChild(KAVRO3_SAMPLE_ENGINE_PATH, args, {}, "", &result, 10));
    EXPECT_EQ(result.exitStatus, 2) << args[0];
    EXPECT_EQ(result.errors.find("listening"), std::string::npos);
  }
}

class ThroughTheGateway : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }

  ChildResult run(std::uint16_t port, const std::string& user, const std::string& password,
                  const std::string& pathInfo, const std::string& query) {
    std::ofstream(dir_ + "/kavro3.reg")
        << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3]\n"
        << "\"ServerURL\"=\"127.0.0.1\"\n\"ServerPort\"=\"" << port << "\"\n\"UserName\"=\"" << user
        << "\"\n\"UserPassword\"=\"" << password << "\"\n";
    ChildResult result;
    EXPECT_TRUE(runChild(KAVRO3_GATEWAY_PATH, {},
                         {"KAVRO3_REGISTRY=" + dir_ + "/kavro3.reg", "REQUEST_METHOD=GET",
                          "SCRIPT_NAME=/shop/gateway", "PATH_INFO=" + pathInfo, "QUERY_STRING=" + query},
                         "", &result));
    return result;
  }

  TempDir temp_{"kavro3-sample-engine"};
  const std::string& dir_ = temp_.path();
};

TEST_F(ThroughTheGateway, PagesDownloadAndRefusedLogin) {
  Engine engine({"--user", "alice", "--password", "pw"});
  ASSERT_NE(engine.port(), 0) << engine.firstLine();

  ChildResult echo = run(engine.port(), "alice", "pw", "/echo", "a=1&b=two%20words");
  EXPECT_EQ(echo.exitStatus, 0);
  EXPECT_TRUE(echo.output.starts_with("Content-Type: text/plain; charset=utf-8\r\n\r\nrow 0 QUERY_STRING="))
      << echo.output;
  EXPECT_NE(echo.output.find("\nrow 17 SCRIPT_NAME=/shop/gateway\n"), std::string::npos) << echo.output;
  EXPECT_NE(echo.output.find("\nfield a=1\nfield b=two%20words\n"), std::string::npos) << echo.output;
  EXPECT_TRUE(engine.nextLine().starts_with("sample-engine: ALICE GET /shop/gateway/echo -> 200 echo ("));

  ChildResult download = run(engine.port(), "alice", "pw", "/download", "");
  const std::string head = "Content-Type: image/png\r\nContent-Length: ";
  ASSERT_TRUE(download.output.starts_with(head)) << download.output.substr(0, 80);
  std::size_t end = download.output.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  std::string png = download.output.substr(end + 4);
  EXPECT_EQ(std::to_string(png.size()), download.output.substr(head.size(), end - head.size()));
  EXPECT_TRUE(png.starts_with(std::string("\x89PNG\r\n\x1A\n", 8)));
  EXPECT_NE(png.find('\0'), std::string::npos) << "zero bytes came through";
  EXPECT_TRUE(png.ends_with(std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12)));
  EXPECT_TRUE(
      engine.nextLine().starts_with("sample-engine: ALICE GET /shop/gateway/download -> 200 download ("));

  ChildResult missing = run(engine.port(), "alice", "pw", "/nope", "");
  EXPECT_EQ(missing.output,
            "Status: 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nNo such page: /nope");
  EXPECT_TRUE(engine.nextLine().starts_with("sample-engine: ALICE GET /shop/gateway/nope -> 404 ("));

  ChildResult refused = run(engine.port(), "alice", "wrong", "/echo", "");
  EXPECT_EQ(refused.exitStatus, 0);
  EXPECT_NE(refused.output.find("Login refused: wrong user name or password."), std::string::npos)
      << refused.output;
  EXPECT_TRUE(engine.nextLine().starts_with("sample-engine: ALICE - - -> login refused ("));

  engine.signal(false);
  std::string rest;
  EXPECT_EQ(engine.finish(&rest), 0) << rest;
}

}  // namespace
}  // namespace kavro::test
