// Every request for memory of a representative set of requests fails in
// turn (build/gateway-failalloc, KAVRO3_FAIL_ALLOCATION=N): each run must end
// with the report its step gives (the decoder's page and exit status 1, or
// the driver's report and exit status 0), or go on as without the failure
// where a fallback exists (a mapping not made, a setting not encoded); never
// a crash, a sanitizer finding (the sanitizer build runs it under
// LeakSanitizer) or a spooled file left behind in FileMode 1. The same again
// with the gateway as a FastCGI application: there the failed request's
// status is the application status, and the same process then serves the
// request again as if it were its first.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/protocol.h"
#include "tests/process/fake_engine.h"
#include "tests/process/fastcgi_gateway.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#ifndef KAVRO3_FAILALLOC_PATH
#error "KAVRO3_FAILALLOC_PATH must name the gateway-failalloc executable"
#endif

namespace kavro::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr char kReply[] = "<p>ok</p>";

std::string textReport(const std::string& text) { return "Content-type: text/plain\n\n\n" + text + "\n"; }

std::string decoderPage(const std::string& message) {
  return "Content-Type: text/html\n\n<html>\n<head>\n<title>Error: " + message +
         "</title>\n<script language='JavaScript'>\n  alert(\"" + message +
         "\");\n  history.back();\n</script>\n</head>\n</html>\n";
}

const std::vector<std::string>& decoderMessages() {
  static const std::vector<std::string> all = {
      "_get_query(): Memory allocation fail.",
      "_split_pairs(): Memory allocation fail.",
      "_entry_append(): Memory allocation fail.",
      "_parse_multipart_data(): Memory allocation fail.",
  };
  return all;
}

const char kOutagePage[] = "<html><body>Closed for maintenance.</body></html>\n";

struct Request {
  std::string name;
  std::vector<std::string> env;  // besides KAVRO3_REGISTRY and the sanitizers' options
  std::string body;
  char fileMode = '1';
  bool bodyFromFile = false;  // standard input a regular file (mapped), not a pipe
  bool hexReply = false;
  bool engineDown = false;  // nothing listens; the Outage page answers
};

std::string multipartBody(const std::string& boundary, const std::string& content) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello world\r\n--" +
         boundary +
         "\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"C:\\docs\\a b.bin\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n" +
         content + "\r\n--" + boundary + "--\r\n";
}

std::vector<Request> requests() {
  const std::vector<std::string> web = {"SCRIPT_NAME=/shop/gateway", "REMOTE_ADDR=192.0.2.4",
                                        "REMOTE_PORT=5000", "SERVER_NAME=shop.example"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> env = web;
    env.insert(env.end(), more.begin(), more.end());
    return env;
  };
  const std::string boundary = "----KavroBoundary7MA4YWxk";
  const std::string multipartType = "CONTENT_TYPE=multipart/form-data; boundary=" + boundary;
  std::string postBody = "c=3&d=%41%62+x&big=" + std::string(6000, 'v') + "&e";
  std::string small = multipartBody(boundary, "a\r\nb\0c"s);
  // Long enough for a large buffer that grows (more than twice the look-ahead
  // block) when the content is held in memory (FileMode 3), and, mapped, to
  // be left in the mapping; in FileMode 2 it streams to its file.
  std::string large = multipartBody(boundary, std::string(2500000, 'L'));
  std::string borrowed = multipartBody(boundary, std::string(100000, 'B'));

  std::vector<Request> all;
  all.push_back({"urlencoded_get", with({"REQUEST_METHOD=GET", "QUERY_STRING=a=1&b=x%20y&&c"}), "", '1'});
  all.push_back(
      {"urlencoded_post",
       with({"REQUEST_METHOD=POST", "QUERY_STRING=a=1", "CONTENT_TYPE=application/x-www-form-urlencoded",
             "CONTENT_LENGTH=" + std::to_string(postBody.size())}),
       postBody, '1'});
  all.push_back({"multipart_filemode_1_mapped",
                 with({"REQUEST_METHOD=POST", "QUERY_STRING=q=1", "HTTP_COOKIE=s=2; t=3", multipartType,
                       "CONTENT_LENGTH=" + std::to_string(borrowed.size())}),
                 borrowed, '1', true});
  all.push_back(
      {"multipart_filemode_1",
       with({"REQUEST_METHOD=POST", multipartType, "CONTENT_LENGTH=" + std::to_string(small.size())}), small,
       '1'});
  all.push_back(
      {"multipart_filemode_2_large",
       with({"REQUEST_METHOD=POST", multipartType, "CONTENT_LENGTH=" + std::to_string(large.size())}), large,
       '2'});
  all.push_back(
      {"multipart_filemode_3_large",
       with({"REQUEST_METHOD=POST", multipartType, "CONTENT_LENGTH=" + std::to_string(large.size())}), large,
       '3'});
  all.push_back(
      {"multipart_filemode_3",
       with({"REQUEST_METHOD=POST", multipartType, "CONTENT_LENGTH=" + std::to_string(small.size())}), small,
       '3'});
  Request hex{"hex_reply", with({"REQUEST_METHOD=GET", "QUERY_STRING=x=1"}), "", '1'};
  hex.hexReply = true;
  all.push_back(hex);
  Request outage{"outage_page", with({"REQUEST_METHOD=GET", "QUERY_STRING=x=1"}), "", '1'};
  outage.engineDown = true;
  all.push_back(outage);
  return all;
}

struct Outcome {
  ChildResult result;
  ChildResult next;  // FastCGI: the request served after it by the same process
  unsigned long long allocations = 0;
  std::string refused;               // "N KIND SIZE", empty when nothing was refused
  std::vector<std::string> spooled;  // files in the spool directory afterwards
};

class AllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    std::ofstream(dir_ + "/outage.html") << kOutagePage;
  }

  Outcome run(const Request& request, const std::vector<std::string>& extraEnv) {
    Outcome out;
    fs::remove_all(dir_ + "/spool");
    fs::create_directory(dir_ + "/spool");
    std::unique_ptr<FakeEngine> engine;
    std::string port = "1";
    if (!request.engineDown) {
      engine = std::make_unique<FakeEngine>();
      std::string error;
      EXPECT_TRUE(engine->listen(0, &error)) << error;
      engine->start(acceptingScript(request.hexReply ? "KAVRO21" + engine::hexEncode(kReply) : kReply));
      port = std::to_string(engine->port());
    }
    std::ofstream(dir_ + "/kavro3.reg")
        << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3]\n"
        << "\"ServerURL\"=\"127.0.0.1\"\n\"ServerPort\"=\"" << port << "\"\n"
        << "\"FileMode\"=\"" << request.fileMode << "\"\n"
        << "\"FilePath\"=\"" << dir_ << "/spool/\"\n"
        << (request.engineDown ? "\"SysDownPage\"=\"" + dir_ + "/outage.html\"\n" : "");
    std::vector<std::string> env = request.env;
    env.push_back("KAVRO3_REGISTRY=" + dir_ + "/kavro3.reg");
    env.push_back("ASAN_OPTIONS=exitcode=86");
    env.push_back("UBSAN_OPTIONS=exitcode=87:print_stacktrace=1");
    env.push_back("LSAN_OPTIONS=exitcode=88");
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    bool ran;
    if (fastCgi_) {
      ran = runFastCgi(request, env, !extraEnv.empty(), &out);
    } else if (request.bodyFromFile) {
      std::ofstream(dir_ + "/body", std::ios::binary) << request.body;
      ran = runChild("/bin/sh", {"-c", "exec \"$0\" < \"$1\"", KAVRO3_FAILALLOC_PATH, dir_ + "/body"}, env,
                     "", &out.result);
    } else {
      ran = runChild(KAVRO3_FAILALLOC_PATH, {}, env, request.body, &out.result);
    }
    if (engine) engine->stop();
    EXPECT_TRUE(ran) << "cannot run " << KAVRO3_FAILALLOC_PATH;
    const std::string& errors = out.result.errors;
    std::size_t at = errors.rfind("kavro3-allocations: ");
    if (at != std::string::npos) out.allocations = std::stoull(errors.substr(at + 20));
    at = errors.find("kavro3-refused: ");
    if (at != std::string::npos) out.refused = errors.substr(at + 16, errors.find('\n', at) - at - 16);
    for (const auto& entry : fs::directory_iterator(dir_ + "/spool"))
      out.spooled.push_back(entry.path().string());
    return out;
  }

  // The request, then (`again`) the same request once more, served by one
  // gateway-failalloc started as a FastCGI application; its own standard
  // error (the gate's lines) follows the requests' in out->result.errors.
  bool runFastCgi(const Request& request, const std::vector<std::string>& env, bool again, Outcome* out) {
    FastCgiGateway gateway;
    std::string error;
    if (!gateway.start(KAVRO3_FAILALLOC_PATH, env, &error) ||
        !gateway.request(request.env, request.body, &out->result, 30, &error) ||
        (again && !gateway.request(request.env, request.body, &out->next, 30, &error))) {
      ADD_FAILURE() << error;
      return false;
    }
    std::string errors;
    int status = gateway.stop(&errors);
    out->result.errors += errors;
    EXPECT_EQ(status, 0) << "the FastCGI gateway's exit status (86 ASan, 87 UBSan, 88 LSan)\n" << errors;
    return true;
  }

  void sweep();

  TempDir temp_{"kavro3-failalloc"};
  const std::string& dir_ = temp_.path();
  bool fastCgi_ = false;
};

TEST_F(AllocationFailure, EveryAllocationFailsInTurn) { sweep(); }

TEST_F(AllocationFailure, EveryAllocationFailsInTurnUnderFastCgi) {
  if (cgiFcgiPath().empty()) GTEST_SKIP() << "no cgi-fcgi (Debian: libfcgi-bin)";
  fastCgi_ = true;
  sweep();
}

void AllocationFailure::sweep() {
  unsigned long long total = 0;
  for (const Request& request : requests()) {
    SCOPED_TRACE(request.name);
    // The run without a failure: the engine's page (the Outage page when the
    // engine is down), and the count of requests for memory.
    Outcome clean = run(request, {});
    std::string success = request.engineDown ? "Content-type: text/html\n\n\n"s + kOutagePage + "\n" : kReply;
    ASSERT_EQ(clean.result.output, success) << clean.result.errors;
    ASSERT_EQ(clean.result.exitStatus, 0) << clean.result.errors;
    ASSERT_TRUE(clean.refused.empty());
    ASSERT_GT(clean.allocations, 5u) << "the gate sees too few requests for memory";
    EXPECT_EQ(clean.spooled.size(), request.fileMode == '2' ? 1u : 0u);
    total += clean.allocations;

    // What a report of the driver looks like here: the Outage page replaces it.
    auto report = [&](const std::string& text) { return request.engineDown ? success : textReport(text); };
    const std::string noMemory = report("KAVRO memory allocation failure.");
    const std::string noMemoryForFields = noMemory + report("KAVRO memory allocation error");
    std::set<std::string> outcomes;
    for (unsigned long long n = 1; n <= clean.allocations; ++n) {
      Outcome failed = run(request, {"KAVRO3_FAIL_ALLOCATION=" + std::to_string(n)});
      const ChildResult& r = failed.result;
      std::string kind = failed.refused.substr(failed.refused.find(' ') + 1);
      kind = kind.substr(0, kind.find(' '));
      SCOPED_TRACE("allocation " + std::to_string(n) + " (" + failed.refused + ")");
      ASSERT_FALSE(r.timedOut);
      ASSERT_TRUE(r.exitStatus == 0 || r.exitStatus == 1)
          << "exit status " << r.exitStatus << " (86 ASan, 87 UBSan, 88 LSan)\n"
          << r.errors;
      ASSERT_EQ(failed.refused.substr(0, failed.refused.find(' ')), std::to_string(n))
          << "the same request must make the same requests for memory\n"
          << r.errors;

      bool decoderFailed = false;
      for (const std::string& message : decoderMessages()) decoderFailed |= r.output == decoderPage(message);
      bool driverReported = r.output == noMemory || r.output == noMemoryForFields;
      bool succeeded = r.output == success;
      std::string outcome = decoderFailed ? "decoder page" : driverReported ? "driver report" : "success";
      EXPECT_TRUE(decoderFailed || driverReported || succeeded) << "unexpected output:\n" << r.output;
      EXPECT_EQ(r.exitStatus, decoderFailed ? 1 : 0) << r.output;
      // Which step may fail how: large buffers belong to the multipart
      // parser; the heap to the driver (payload, Request message, reply); a
      // mapping not made falls back to reading the stream.
      if (kind == "large") {
        EXPECT_EQ(r.output, decoderPage("_parse_multipart_data(): Memory allocation fail."));
      }
      if (kind == "heap") {
        EXPECT_TRUE(driverReported) << r.output;
      }
      if (kind == "mapping") {
        EXPECT_TRUE(succeeded) << r.output;
      }
      outcomes.insert(kind + ": " + outcome);

      // FileMode 1 leaves no file, whatever way the run ended.
      if (request.fileMode == '1') {
        EXPECT_TRUE(failed.spooled.empty()) << "left behind: " << failed.spooled.front();
      }
      if (fastCgi_) {
        EXPECT_EQ(failed.next.output, success) << "the next request, served by the same process";
        EXPECT_EQ(failed.next.exitStatus, 0);
      }
    }
    std::string seen;
    for (const std::string& o : outcomes) seen += "  " + o + "\n";
    std::cout << "[ " << request.name << " ] " << clean.allocations << " allocations, outcomes:\n" << seen;
    // The sweep reaches the failures it is about.
    EXPECT_TRUE(outcomes.count("heap: driver report")) << seen;
    bool body = request.name.rfind("urlencoded_post", 0) == 0 || request.name.rfind("multipart", 0) == 0;
    if (body) {
      EXPECT_TRUE(outcomes.count("memory: decoder page")) << seen;
    }
    if (request.name == "multipart_filemode_3_large") {
      EXPECT_TRUE(outcomes.count("large: decoder page")) << seen;
    }
    // A FastCGI body arrives in records: there is no file to map.
    if (request.bodyFromFile && !fastCgi_) {
      EXPECT_TRUE(outcomes.count("mapping: success")) << seen;
    }
  }
  std::cout << "allocations failed in turn: " << total << "\n";
}

// A body announced at 2 GiB of which a few bytes arrive costs what arrives:
// no request for memory above 64 KiB is made.
TEST_F(AllocationFailure, AnnouncedBodyLengthIsNotAllocatedUpFront) {
  for (const std::string& length : {"2147483647"s, "99999999999"s, "1048576"s}) {
    Request request{"announced_" + length,
                    {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded",
                     "CONTENT_LENGTH=" + length, "SCRIPT_NAME=/shop/gateway"},
                    "a=1&b=" + std::string(9000, 'x'),
                    '1'};
    Outcome r = run(request, {"KAVRO3_ALLOCATION_LIMIT=65536"});
    EXPECT_EQ(r.result.output, kReply) << length << "\n" << r.result.errors;
    EXPECT_EQ(r.refused, "") << length;
  }
}

}  // namespace
}  // namespace kavro::test
