#include "gateway/engine_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/server.h"
#include "gateway/strings.h"
#include "gateway/texts.h"
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "wire/wire.h"

namespace kavro {
namespace {

std::vector<std::string> split(const char* text) {
  char copy[256];
  std::strcpy(copy, text);
  const char* items[kMaxServers];
  std::size_t n = splitItems(copy, ',', items, kMaxServers);
  return std::vector<std::string>(items, items + n);
}

TEST(SplitItems, StrtokRules) {
  EXPECT_EQ(split("a,b,c"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(split("a,,b"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(split(",,a,"), (std::vector<std::string>{"a"}));
  EXPECT_EQ(split("a, b"), (std::vector<std::string>{"a", " b"}));
  EXPECT_EQ(split(""), (std::vector<std::string>{}));
  EXPECT_EQ(split(",,,"), (std::vector<std::string>{}));
}

TEST(ServerList, PairsUpToTheShorterList) {
  ServerList list;
  buildServerList("a,b,c", "1,2", &list);
  ASSERT_EQ(list.count, 2u);
  EXPECT_STREQ(list.hosts[1], "b");
  EXPECT_STREQ(list.ports[1], "2");
  buildServerList("a,,b", "1,2", &list);
  ASSERT_EQ(list.count, 2u);
  EXPECT_STREQ(list.hosts[1], "b");
}

TEST(ServerList, OnlyTheFirstHundredItemsCount) {
  std::string hosts, ports;
  for (int i = 0; i < 150; ++i) {
    hosts.append("h").append(std::to_string(i)).append(",");
    ports.append(std::to_string(i)).append(",");
  }
  ServerList list;
  buildServerList(hosts.c_str(), ports.c_str(), &list);
  ASSERT_EQ(list.count, 100u);
  EXPECT_STREQ(list.hosts[99], "h99");
  EXPECT_STREQ(list.ports[99], "99");
}

// The link of these tests: one at a time, like the gateway's.
EngineLink gLink;

std::vector<std::string> gAttempts;
bool refuse(EngineLink&, void*, const char* host, const char* port) {
  gAttempts.push_back(std::string(host) + ":" + port);
  return false;
}
bool acceptSecond(EngineLink&, void*, const char* host, const char* port) {
  gAttempts.push_back(std::string(host) + ":" + port);
  return gAttempts.size() == 2;
}

TEST(Failover, OrderOfAttempts) {
  struct Case {
    std::size_t start;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {0, {"a:1", "b:2", "c:3", "a:1"}},  // start 0: n + 1 attempts
      {1, {"b:2", "c:3", "a:1"}},
      {2, {"c:3", "a:1", "b:2"}},
  };
  ServerList list;
  buildServerList("a,b,c", "1,2,3", &list);
  for (const Case& c : cases) {
    gAttempts.clear();
    EXPECT_FALSE(engineConnectAny(gLink, list, c.start, "a,b,c", "1,2,3", refuse, nullptr));
    EXPECT_EQ(gAttempts, c.expected) << "start " << c.start;
  }
}

TEST(Failover, SingleServerIsTriedTwice) {
  ServerList list;
  buildServerList("solo", "9", &list);
  gAttempts.clear();
  EXPECT_FALSE(engineConnectAny(gLink, list, 0, "solo", "9", refuse, nullptr));
  EXPECT_EQ(gAttempts, (std::vector<std::string>{"solo:9", "solo:9"}));
}

TEST(Failover, StopsAtTheFirstSuccess) {
  ServerList list;
  buildServerList("a,b,c", "1,2,3", &list);
  gAttempts.clear();
  EXPECT_TRUE(engineConnectAny(gLink, list, 0, "a,b,c", "1,2,3", acceptSecond, nullptr));
  EXPECT_EQ(gAttempts.size(), 2u);
}

TEST(Failover, EmptyListIsReportedLikeAFailedConnection) {
  ServerList list;
  buildServerList(",,", "8088", &list);
  gAttempts.clear();
  EXPECT_FALSE(engineConnectAny(gLink, list, 0, ",,", "8088", refuse, nullptr));
  EXPECT_TRUE(gAttempts.empty());
  EXPECT_STREQ(engineLastError(gLink),
               "Unable to connect to Engine Server ,,:8088 - No Engine Server is configured.\n");
}

// A loopback port where nothing listens.
std::string deadPort() {
  std::uint16_t port = 0;
  platform::Socket listener = engine::netListen("127.0.0.1", 0, &port);
  EXPECT_NE(listener, platform::kInvalidSocket);
  platform::netClose(listener);
  return std::to_string(port);
}

// The socket of a failed attempt is closed before the next attempt: a long
// server list that all refuse must not hold a descriptor per attempt.
TEST(EngineConnect, FailedAttemptsLeaveNoSocketOpen) {
  const std::string port = deadPort();
  engineDisconnect(gLink);
  int before = test::openDescriptorCount();
  ASSERT_GT(before, 0);
  for (int attempt = 0; attempt < 20; ++attempt)
    EXPECT_FALSE(engineConnect(gLink, "127.0.0.1", port.c_str()));
  EXPECT_LE(test::openDescriptorCount(), before + 1);  // the last attempt's, until disconnect
  engineDisconnect(gLink);
  EXPECT_EQ(test::openDescriptorCount(), before);
}

// A send can complete in part (a kernel short of room); every byte must
// still arrive, in order.
TEST(NetSendAll, SendsTheRestOfAPartialSend) {
  platform::Socket sender = platform::kInvalidSocket;
  platform::Socket receiver = platform::kInvalidSocket;
  ASSERT_TRUE(test::netSocketPair(&sender, &receiver));
  std::string data(300000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  std::string received;
  std::thread reader([&] {
    char buffer[8192];
    long n;
    while ((n = platform::netRecv(receiver, buffer, sizeof buffer)) > 0)
      received.append(buffer, static_cast<std::size_t>(n));
  });
  test::netSendLimitForTests(1000);
  bool sent = platform::netSendAll(sender, data.data(), data.size());
  test::netSendLimitForTests(0);
  platform::netClose(sender);
  reader.join();
  platform::netClose(receiver);
  EXPECT_TRUE(sent);
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

TEST(FirstServer, ZeroUnlessMultipleServersIsOne) {
  EXPECT_EQ(firstServer("0", 5), 0u);
  EXPECT_EQ(firstServer("", 5), 0u);
  EXPECT_EQ(firstServer("1", 0), 0u);
  for (int i = 0; i < 20; ++i) EXPECT_LT(firstServer("1", 3), 3u);
}

TEST(ConnectErrors, MessagesByCode) {
  EXPECT_STREQ(connectErrorMessage(10061), "The attempt to connect was forcefully rejected.\n");
  EXPECT_STREQ(connectErrorMessage(11001), "Authoritative Answer Host not found.\n");
  EXPECT_STREQ(connectErrorMessage(10053), "Unknown error.\n");
  EXPECT_STREQ(connectErrorMessage(10065), "Unknown error.\n");
}

TEST(ConnectErrors, PrefixNamesHostAndPortAsWritten) {
  // Port "0" refuses at once on loopback.
  EXPECT_FALSE(engineConnect(gLink, "127.0.0.1", "0"));
  EXPECT_STREQ(
      engineLastError(gLink),
      "Unable to connect to Engine Server 127.0.0.1:0 - The attempt to connect was forcefully rejected.\n");
  EXPECT_FALSE(engineConnect(gLink, "no-such-host.invalid", "%s"));
  EXPECT_EQ(std::string(engineLastError(gLink))
                .rfind("Unable to connect to Engine Server no-such-host.invalid:%s - ", 0),
            0u);
}

TEST(ConnectErrors, LongHostIsCutAtTheBound) {
  std::string host(3000, 'h');
  EXPECT_FALSE(engineConnect(gLink, host.c_str(), "1"));
  EXPECT_EQ(std::strlen(engineLastError(gLink)), kLastErrorMax);
}

TEST(Numbers, FrameLengthReadsLikeAtol) {
  EXPECT_EQ(frameLength("00000042"), 42);
  EXPECT_EQ(frameLength("  42abcd"), 42);
  EXPECT_EQ(frameLength("abcdefgh"), 0);
  EXPECT_EQ(frameLength("-0000005"), -5);
  EXPECT_EQ(frameLength("+0000007"), 7);
  EXPECT_EQ(frameLength("99999999"), 99999999);
}

TEST(Numbers, PortReadsLikeAtoi) {
  EXPECT_EQ(portNumber("8088"), 8088);
  EXPECT_EQ(portNumber(" 80x"), 80);
  EXPECT_EQ(portNumber("x"), 0);
  EXPECT_EQ(portNumber("99999999999999999999"), 2147483647);  // saturates, never overflows
}

// A loopback peer that sends scripted pieces, each as its own segment.
class LinkPeer {
 public:
  explicit LinkPeer(std::vector<std::string> pieces, bool closeEarly = false) {
    listener_ = engine::netListen("127.0.0.1", 0, &port_);
    thread_ = std::thread([this, pieces, closeEarly] {
      platform::Socket s = engine::netAccept(listener_);
      engine::netNoDelay(s);
      for (const std::string& piece : pieces) {
        platform::netSendAll(s, piece.data(), piece.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (!closeEarly) {
        char byte;
        while (platform::netRecv(s, &byte, 1) > 0) {
        }
      }
      platform::netClose(s);
    });
    EXPECT_TRUE(engineConnect(gLink, "127.0.0.1", std::to_string(port_).c_str()));
  }
  ~LinkPeer() {
    engineDisconnect(gLink);
    thread_.join();
    platform::netClose(listener_);
  }

 private:
  platform::Socket listener_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

TEST(EngineRecv, ZeroByteEndsTheTextWhateverTheSegments) {
  for (const auto& pieces : std::vector<std::vector<std::string>>{
           {std::string("ab\0cd", 5), "ef"},
           {"ab", std::string("\0cd", 3), "ef"},
           {"ab", std::string("\0", 1), "cdef"},
       }) {
    LinkPeer peer(pieces);
    char buffer[16];
    std::size_t kept = 99;
    EXPECT_EQ(engineRecv(gLink, buffer, sizeof buffer, 7, &kept), 7);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(kept, 2u);
  }
}

TEST(EngineRecv, KeepsWhatFitsAndReceivesTheRest) {
  LinkPeer peer({std::string(10, 'x'), "NEXT"});
  char buffer[5];
  std::size_t kept = 0;
  EXPECT_EQ(engineRecv(gLink, buffer, sizeof buffer, 10, &kept), 10);
  EXPECT_STREQ(buffer, "xxxx");
  EXPECT_EQ(kept, 4u);
  // The dropped bytes were consumed: the next receive starts after them.
  EXPECT_EQ(engineRecv(gLink, buffer, sizeof buffer, 4), 4);
  EXPECT_STREQ(buffer, "NEXT");
}

TEST(EngineRecv, LargeReplyCrossesManyPieces) {
  std::string data(3 * kPieceSize + 17, 'q');
  for (std::size_t i = 0; i < data.size(); i += 997) data[i] = static_cast<char>('a' + (i % 26));
  LinkPeer peer({data});
  std::vector<char> buffer(data.size() + 1);
  std::size_t kept = 0;
  EXPECT_EQ(engineRecv(gLink, buffer.data(), buffer.size(), static_cast<long>(data.size()), &kept),
            static_cast<long>(data.size()));
  EXPECT_EQ(kept, data.size());
  EXPECT_EQ(std::string(buffer.data(), kept), data);
}

TEST(EngineRecv, PeerClosingEarlyFails) {
  LinkPeer peer({"abc"}, /*closeEarly=*/true);
  char buffer[16];
  std::size_t kept = 0;
  EXPECT_EQ(engineRecv(gLink, buffer, sizeof buffer, 8, &kept), -1);
  EXPECT_STREQ(engineLastError(gLink), text::kDisconnected);
  EXPECT_STREQ(buffer, "abc");
}

TEST(EngineRecv, NothingForACountOfZeroOrLess) {
  char buffer[4] = "xyz";
  EXPECT_EQ(engineRecv(gLink, buffer, sizeof buffer, 0), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(engineRecv(gLink, buffer, sizeof buffer, -3), -3);
}

TEST(EngineRecvLength, ReadsEightDigits) {
  LinkPeer peer({"  42abcd", "00000007"});
  EXPECT_EQ(engineRecvLength(gLink), 42);
  EXPECT_EQ(engineRecvLength(gLink), 7);
}

TEST(EngineSendFrame, RefusesTextsTooLongToFrame) {
  // Nothing is sent, so no connection is needed; the size alone decides.
  static const char kByte = 'x';
  EXPECT_FALSE(engineSendFrame(gLink, &kByte, wire::kMaxFrameText + 1));
  EXPECT_STREQ(engineLastError(gLink), text::kTooLarge);
}

}  // namespace
}  // namespace kavro
