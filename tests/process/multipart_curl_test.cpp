// An upload made by a real client: curl posts a form with a text file, a
// binary file, an empty file and an empty file input to a listener here; the
// request it sent is then given to the gateway as a web server would give
// it, and row 0 at the engine and the spooled files are checked against
// what was uploaded. Run against both builds: on Windows the body is read
// after standard input is switched to binary mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/protocol.h"
#include "engine/server.h"
#include "tests/process/fake_engine.h"
#include "tests/process/gateway_run.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace kavro::test {
namespace {

namespace fs = std::filesystem;
using Fields = std::vector<std::pair<std::string, std::string>>;

constexpr int kTimeoutSeconds = 60;

std::string findCurl() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    fs::path candidate = fs::path(dir.empty() ? "." : dir) / "curl";
    std::error_code code;
    if (fs::is_regular_file(candidate, code)) return candidate.string();
  }
  return "";
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

struct Captured {
  std::string contentType;
  std::string body;
  std::string problem;
};

// Serves one HTTP request on `listener`: reads its head and its
// Content-Length body, answers 200 and closes.
void captureOne(platform::Socket listener, Captured* out) {
  platform::Socket peer = engine::netAccept(listener);
  if (peer == platform::kInvalidSocket) {
    out->problem = "accept failed";
    return;
  }
  std::string data;
  char buffer[65536];
  std::size_t headEnd = std::string::npos;
  std::size_t length = 0;
  for (;;) {
    if (headEnd == std::string::npos) {
      headEnd = data.find("\r\n\r\n");
      if (headEnd != std::string::npos) {
        std::istringstream head(data.substr(0, headEnd));
        std::string line;
        bool sized = false;
        while (std::getline(head, line)) {
          if (!line.empty() && line.back() == '\r') line.pop_back();
          std::size_t colon = line.find(':');
          if (colon == std::string::npos) continue;
          std::string name = lower(line.substr(0, colon));
          std::string value = line.substr(colon + 1);
          value.erase(0, value.find_first_not_of(' '));
          if (name == "content-type") out->contentType = value;
          if (name == "content-length") {
            length = std::stoul(value);
            sized = true;
          }
        }
        if (!sized) {
          out->problem = "no Content-Length in: " + data.substr(0, headEnd);
          break;
        }
        headEnd += 4;
      }
    }
    if (headEnd != std::string::npos && data.size() >= headEnd + length) {
      out->body = data.substr(headEnd, length);
      break;
    }
    long got = platform::netRecv(peer, buffer, sizeof buffer);
    if (got <= 0) {
      out->problem = "the client closed after " + std::to_string(data.size()) + " bytes";
      break;
    }
    data.append(buffer, static_cast<std::size_t>(got));
  }
  const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  platform::netSendAll(peer, answer, sizeof answer - 1);
  platform::netClose(peer);
}

// Binary content a boundary scanner finds hard: NUL runs, CR LF, runs of
// dashes and lines that look like curl's delimiters but are not. Larger than
// the decoder's look-ahead block, so it takes the long-value road too.
std::string awkwardBytes() {
  std::mt19937 random(20240611);
  std::string bytes = "BIN\r\n--";
  bytes += std::string(3, '\0');
  while (bytes.size() < 1536 * 1024) {
    switch (random() % 10) {
      case 0: bytes += "\r\n"; break;
      case 1: bytes += std::string(1 + random() % 40, '-'); break;
      case 2: bytes += std::string(1 + random() % 5, '\0'); break;
      case 3: bytes += "\r\n--------------------------0123456789abcde\r\n"; break;  // one hex digit short
      case 4: bytes += "\r\n------------------------"; break;
      default:
        for (int i = 0; i < 16; ++i) bytes += static_cast<char>(random());
    }
  }
  return bytes;
}

class CurlUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    curl_ = findCurl();
    ASSERT_FALSE(curl_.empty()) << "curl is needed (scripts/install-deps.sh curl)";
    ASSERT_FALSE(temp_.path().empty());
    fs::create_directory(dir_ / "spool");
    text_ = "First line\r\nSecond line\nthird -- line\r\n--\r\n";
    binary_ = awkwardBytes();
    writeFile(dir_ / "notes.txt", text_);
    writeFile(dir_ / "blob.bin", binary_);
    writeFile(dir_ / "empty.txt", "");
    capture();
  }

  // The request curl makes of the form.
  void capture() {
    std::uint16_t port = 0;
    platform::Socket listener = engine::netListen("127.0.0.1", 0, &port);
    ASSERT_NE(listener, platform::kInvalidSocket);
    Captured captured;
    std::thread server(captureOne, listener, &captured);
    ChildResult result;
    bool ran =
        runChild(curl_,
                 {"-sS", "-H", "Expect:", "-F", "title=Hello world", "-F",
                  "notes=@" + (dir_ / "notes.txt").string() + ";type=text/plain", "-F",
                  "blob=@" + (dir_ / "blob.bin").string() + ";type=application/octet-stream", "-F",
                  "empty=@" + (dir_ / "empty.txt").string() + ";type=text/plain", "-F",
                  "nothing=@" + (dir_ / "empty.txt").string() + ";filename=;type=application/octet-stream",
                  "http://127.0.0.1:" + std::to_string(port) + "/shop/gateway"},
                 {}, "", &result, kTimeoutSeconds);
    if (!ran || result.exitStatus != 0) {
      // Wake the server thread if curl never reached it.
      platform::Socket wake = platform::netSocket();
      std::uint32_t address = 0;
      if (platform::netResolve("127.0.0.1", &address)) platform::netConnect(wake, address, port, 0);
      platform::netClose(wake);
    }
    server.join();
    platform::netClose(listener);
    ASSERT_TRUE(ran) << "cannot run " << curl_;
    ASSERT_EQ(result.exitStatus, 0) << result.errors;
    ASSERT_TRUE(captured.problem.empty()) << captured.problem;
    ASSERT_EQ(captured.contentType.rfind("multipart/form-data; boundary=", 0), 0u) << captured.contentType;
    contentType_ = captured.contentType;
    body_ = captured.body;
  }

  // Runs the gateway on the captured request and returns row 0's fields.
  Fields run(const char* fileMode) {
    std::string error;
    FakeEngine engine;
    EXPECT_TRUE(engine.listen(0, &error)) << error;
    writeRegistry((dir_ / "kavro3.reg").string(), engine.port(), fileMode, (dir_ / "spool").string() + "/");
    engine.start(acceptingScript("ok"));
    ChildResult result;
    EXPECT_TRUE(runGateway((dir_ / "kavro3.reg").string(),
                           {"REQUEST_METHOD=POST", "CONTENT_TYPE=" + contentType_,
                            "CONTENT_LENGTH=" + std::to_string(body_.size()), "SCRIPT_NAME=/shop/gateway",
                            "REMOTE_ADDR=127.0.0.1", "REMOTE_PORT=40000"},
                           body_, &result, kTimeoutSeconds, &error))
        << error;
    engine.stop();
    EXPECT_EQ(result.output, "ok") << result.errors;
    EXPECT_EQ(result.exitStatus, 0) << "86: ASan, 87: UBSan, 88: LSan\n" << result.errors;
    std::vector<std::string> frames = engine.frames();
    engine::PayloadValues payload;
    if (frames.size() != 3 || !engine::parseRequest(frames[1], &payload)) {
      ADD_FAILURE() << "no Request message among " << frames.size() << " Frames";
      return {};
    }
    EXPECT_EQ(payload.row(2), contentType_);
    return engine::parseFields(payload.row(0));
  }

  // Checks row 0 field by field; `file` gives the value expected for each
  // file field in turn (or checks it and returns it as it came).
  template <typename FileValue>
  void expectFields(const Fields& fields, FileValue file) {
    const std::vector<std::string> names = {
        "title",        "notes",          "notes.length",      "notes.filename",   "notes.contenttype",
        "blob",         "blob.length",    "blob.filename",     "blob.contenttype", "empty",
        "empty.length", "empty.filename", "empty.contenttype", "nothing"};
    std::vector<std::string> got;
    for (const auto& field : fields) got.push_back(field.first);
    ASSERT_EQ(got, names);
    EXPECT_EQ(fields[0].second, "Hello world");
    EXPECT_EQ(fields[1].second, file(0, fields[1].second, text_));
    EXPECT_EQ(fields[2].second, std::to_string(text_.size()));
    EXPECT_EQ(fields[3].second, "notes.txt");
    EXPECT_EQ(fields[4].second, "text/plain");
    EXPECT_EQ(fields[5].second, file(1, fields[5].second, binary_));
    EXPECT_EQ(fields[6].second, std::to_string(binary_.size()));
    EXPECT_EQ(fields[7].second, "blob.bin");
    EXPECT_EQ(fields[8].second, "application/octet-stream");
    EXPECT_EQ(fields[9].second, file(2, fields[9].second, std::string()));
    EXPECT_EQ(fields[10].second, "0");
    EXPECT_EQ(fields[11].second, "empty.txt");
    EXPECT_EQ(fields[12].second, "text/plain");
    EXPECT_EQ(fields[13].second, "");  // an empty file input: an ordinary field
  }

  std::string spoolPrefix(int index) const { return (dir_ / "spool").string() + "/" + std::to_string(index); }

  std::string curl_;
  TempDir temp_{"kavro3-curl"};
  const fs::path dir_ = temp_.path();
  std::string text_, binary_;
  std::string contentType_, body_;
};

TEST_F(CurlUpload, ModeTwoSpoolsExactlyTheUploadedBytes) {
  Fields fields = run("2");
  std::vector<std::string> spooled;
  expectFields(fields, [&](int index, const std::string& path, const std::string& content) {
    EXPECT_EQ(path.rfind(spoolPrefix(index), 0), 0u) << path;
    EXPECT_EQ(path.size(), spoolPrefix(index).size() + 32) << path;
    EXPECT_TRUE(readFile(path) == content) << path << " does not hold the uploaded bytes";
    spooled.push_back(path);
    return path;
  });
  ASSERT_EQ(spooled.size(), 3u);
  for (const std::string& path : spooled) EXPECT_TRUE(fs::exists(path)) << path << " was removed";
}

TEST_F(CurlUpload, ModeOneRemovesTheSpooledFiles) {
  Fields fields = run("1");
  std::vector<std::string> spooled;
  expectFields(fields, [&](int index, const std::string& path, const std::string&) {
    EXPECT_EQ(path.rfind(spoolPrefix(index), 0), 0u) << path;
    spooled.push_back(path);
    return path;
  });
  ASSERT_EQ(spooled.size(), 3u);
  for (const std::string& path : spooled) EXPECT_FALSE(fs::exists(path)) << path << " is still there";
  EXPECT_TRUE(fs::is_empty(dir_ / "spool"));
}

TEST_F(CurlUpload, ModeThreeInlinesTheText) {
  Fields fields = run("3");
  expectFields(fields, [](int, const std::string&, const std::string& content) {
    // Inline as text: up to the first NUL byte.
    return content.substr(0, content.find('\0'));
  });
  EXPECT_TRUE(fs::is_empty(dir_ / "spool"));
}

}  // namespace
}  // namespace kavro::test
