// The gateway as a FastCGI application where no case file can follow it: a
// web server that closes the connection in the middle of a request aborts
// that request only, and the process serves the next one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/process/fake_engine.h"
#include "tests/process/fastcgi_gateway.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace kavro::test {
namespace {

TEST(FastCgi, ConnectionClosedMidRequestAbortsThatRequestOnly) {
  if (cgiFcgiPath().empty()) GTEST_SKIP() << "no cgi-fcgi (Debian: libfcgi-bin)";
  TempDir dir("kavro3-fastcgi");
  ASSERT_FALSE(dir.path().empty());
  // Larger than the kit's buffer: the reply's write meets the closed
  // connection, which must fail it rather than end the process (SIGPIPE).
  const std::string body(200000, 'r');
  std::vector<EngineStep> script = acceptingScript(body);
  script.insert(script.begin() + 3, EngineStep{EngineStep::kPause, "", 1500});
  FakeEngine engine;
  std::string error;
  ASSERT_TRUE(engine.listen(0, &error)) << error;
  engine.start(script);
  writeRegistry(dir / "kavro3.reg", engine.port(), "1", dir.path() + "/");

  FastCgiGateway gateway;
  ASSERT_TRUE(gateway.start(KAVRO3_GATEWAY_PATH, {"KAVRO3_REGISTRY=" + dir / "kavro3.reg"}, &error)) << error;
  const std::vector<std::string> env = {"REQUEST_METHOD=GET", "QUERY_STRING=a=1", "SCRIPT_NAME=/shop/gw"};
  // The client is killed after a second, while the engine still thinks.
  ChildResult gone;
  ASSERT_TRUE(gateway.request(env, "", &gone, 1, &error)) << error;
  EXPECT_TRUE(gone.timedOut);
  ChildResult next;
  ASSERT_TRUE(gateway.request(env, "", &next, 10, &error)) << error;
  EXPECT_TRUE(gateway.running()) << "the process ended";
  EXPECT_EQ(next.exitStatus, 0);
  EXPECT_TRUE(next.output == body) << next.output.size() << " bytes: " << next.output.substr(0, 100);
  std::string errors;
  EXPECT_EQ(gateway.stop(&errors), 0) << errors;
  engine.stop();
  // Both conversations ran to their Close message.
  std::vector<std::string> frames = engine.frames();
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[2], "2\x01");
  EXPECT_EQ(frames[5], "2\x01");
}

}  // namespace
}  // namespace kavro::test
