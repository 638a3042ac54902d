// The engine's side of a conversation: the input is every byte the Engine
// Server sends, the login reply, the reply to the request and the close
// reply, as Frames (or not). The gateway's side runs the driver's steps over
// a socket pair: login, request, the reply's length, body and decoding, close.
// A first control byte: bit 0, the reply to the request is the only step run;
// bits 1-7, when not 0, the most bytes one recv() returns (segments as a
// peer's writes may fall).
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "gateway/engine_link.h"
#include "gateway/engine_messages.h"
#include "gateway/settings.h"
#include "platform/platform.h"
#include "tests/support/net.h"

namespace {

using namespace kavro;

// What fits a socket pair's buffer without a reader on the other side.
constexpr std::size_t kInputMax = 64 << 10;

void checkReply(const Reply& reply, std::int32_t announced) {
  const char* start = reply.buffer;
  const char* end = reply.buffer + announced;
  fuzz::require(reply.body.data >= start && reply.body.data <= end, "body outside the reply");
  fuzz::require(reply.body.size <= static_cast<std::size_t>(end - reply.body.data),
                "body runs past the reply");
}

void converse(EngineLink& link, bool replyOnly) {
  static const Settings s{};
  const char* failure = nullptr;
  if (!replyOnly) {
    if (!engineLogin(link, s, &failure)) return;
    const char payload[] = "\xFE\xFE";
    if (!engineSendRequest(link, payload, sizeof payload - 1, &failure)) return;
  }
  std::int32_t announced = engineRecvLength(link);
  if (announced > 0) {
    Reply reply{};
    if (engineRecvReply(link, announced, &reply, &failure)) checkReply(reply, announced);
    releaseReply(&reply);
  }
  engineClose(link, &failure);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  std::uint8_t control = in.byte();
  bool replyOnly = (control & 1) != 0;
  std::string bytes = in.rest();
  if (bytes.size() > kInputMax) bytes.resize(kInputMax);

  platform::Socket gateway = platform::kInvalidSocket;
  platform::Socket engine = platform::kInvalidSocket;
  fuzz::require(test::netSocketPair(&gateway, &engine), "socket pair");
  fuzz::require(platform::netSendAll(engine, bytes.data(), bytes.size()), "sending the engine's bytes");
  test::netShutdownSend(engine);
  EngineLink link;
  link.socket = gateway;
  test::netRecvLimitForTests(control >> 1);
  converse(link, replyOnly);
  test::netRecvLimitForTests(0);
  engineDisconnect(link);
  platform::netClose(engine);
  return 0;
}
