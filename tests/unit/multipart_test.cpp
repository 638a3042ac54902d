// multipart/form-data decoding: the edge cases of the format, each body fed
// in reads of many sizes through look-ahead blocks of many sizes, checked
// against a plain byte-at-a-time reading of the same rules written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "decoder/decoder.h"
#include "decoder/internal.h"
#include "decoder/part_headers.h"
#include "decoder/state.h"
#include "tests/support/bytes.h"
#include "tests/support/fake_request.h"

namespace kavro {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

constexpr char kBroken[] = "_parse_multipart_data(): Broken stream.";
constexpr char kInvalid[] = "_parse_multipart_data(): String format invalid.";
constexpr char kNotHttp[] = "_parse_multipart_data(): Your browser sent a non-HTTP compliant message.";
constexpr char kTooLong[] =
    "_parse_multipart_data(): The boundary string is too long(Overflow Attack?). Stopping process.";
constexpr char kNoUploadBase[] = "_parse_multipart_data(): qSetUploadBase() must be called before.";

struct Request {
  std::string contentType;
  std::string body;
  const char* cookie = nullptr;  // HTTP_COOKIE, unset when null
  const char* query = nullptr;   // QUERY_STRING, unset when null
};

struct Outcome {
  Entries entries;
  int count = 0;
  std::string error;  // the message qError got; empty after a decode that returned
};

std::string show(const std::string& bytes) { return test::escapeBytes(bytes); }

std::string show(const Outcome& outcome) {
  if (!outcome.error.empty()) return "error \"" + outcome.error + "\"";
  std::string out = "count " + std::to_string(outcome.count) + ":";
  for (const auto& [name, value] : outcome.entries) out += " [" + show(name) + "]=[" + show(value) + "]";
  return out;
}

// ---------------------------------------------------------------- reference

// The rules read byte by byte, as plainly as they are stated, from a string.
namespace reference {

struct Stream {
  const std::string& bytes;
  std::size_t at = 0;
  int get() { return at < bytes.size() ? static_cast<unsigned char>(bytes[at++]) : EOF; }
};

bool readLine(char* buffer, int size, Stream& in) {
  int stored = 0;
  while (stored < size - 1) {
    int c = in.get();
    if (c == EOF) break;
    buffer[stored++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buffer[stored] = '\0';
  return buffer[0] != '\0';
}

std::string trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool startsNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) !=
        std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Cookie and query pairs, for texts without escapes: every pair counts, only
// those with a name are stored.
void pairs(const char* text, char separator, Outcome* out) {
  if (text == nullptr) return;
  std::string rest = text;
  while (!rest.empty()) {
    std::size_t cut = rest.find(separator);
    std::string pair = rest.substr(0, cut);
    rest = cut == std::string::npos ? "" : rest.substr(cut + 1);
    std::size_t equals = pair.find('=');
    std::string name = trim(pair.substr(0, equals));
    std::string value = equals == std::string::npos ? "" : pair.substr(equals + 1);
    if (!name.empty()) out->entries.emplace_back(name, value);
    ++out->count;
  }
}

Outcome decode(const Request& request) {
  Outcome out;
  auto fail = [&out](const char* message) {
    out.entries.clear();
    out.count = 0;
    out.error = message;
    return out;
  };
  pairs(request.cookie, ';', &out);
  pairs(request.query, '&', &out);

  // The header texts' parameters are read by the functions tested on their
  // own below (PartHeaders); the reading of the stream is what is checked here.
  decoder::TextSpan b;
  if (!decoder::boundaryParameter(request.contentType.c_str(), &b)) return fail(kInvalid);
  if (b.length + 6 >= 256) return fail(kTooLong);
  const std::string d = "--" + std::string(b.data, b.length);

  Stream in{request.body};
  char line[1024];
  if (!readLine(line, sizeof line, in)) return fail(kNotHttp);
  if (std::strcmp(line, "\r\n") == 0) readLine(line, sizeof line, in);
  if (std::strncmp(line, d.c_str(), d.size()) != 0) return fail(kInvalid);

  const std::string next = "\r\n" + d + "\r\n";
  const std::string close = "\r\n" + d + "--";
  bool last = false;
  while (!last) {
    std::string name, fileName, contentType;
    for (const auto& entry : out.entries)
      if (entry.first == "Q_UPLOAD_ID") return fail(kNoUploadBase);
    while (readLine(line, sizeof line, in)) {
      std::string text = line;
      if (text == "\r\n") break;
      if (startsNoCase(text, "Content-Disposition: ")) {
        char nameText[1024], fileNameText[1024];
        if (decoder::readDispositionNames(line,
                                          {nameText, sizeof nameText, fileNameText, sizeof fileNameText})) {
          fileName = fileNameText;
          for (std::size_t i = fileName.size(); i-- > 0;) {
            if (fileName[i] != '\\') continue;
            for (std::size_t j = 0; j <= i; ++j) fileName[j] = ' ';
            break;
          }
          fileName = trim(fileName);
        }
        name = nameText;
      } else if (startsNoCase(text, "Content-Type: ")) {
        contentType = trim(text.substr(14));
      }
    }
    std::string value;
    for (;;) {
      int c = in.get();
      if (c == EOF) return fail(kBroken);
      value += static_cast<char>(c);
      if (c != '\n' && c != '-') continue;
      if (endsWith(value, next)) {
        value.resize(value.size() - next.size());
        break;
      }
      if (endsWith(value, close)) {
        value.resize(value.size() - close.size());
        last = true;
        break;
      }
      if (value == d + "\r\n") {
        value.clear();
        break;
      }
      if (value == d + "--") {
        value.clear();
        last = true;
        break;
      }
    }
    if (!name.empty()) {
      out.entries.emplace_back(name, value);
      if (!fileName.empty()) {
        out.entries.emplace_back(name + ".length", std::to_string(value.size()));
        out.entries.emplace_back(name + ".filename", fileName);
        out.entries.emplace_back(name + ".contenttype", contentType);
      }
    }
    ++out.count;
  }
  return out;
}

}  // namespace reference

// ---------------------------------------------------------------- the decoder, fed in pieces

// How the body reaches the decoder: reads of `chunk` bytes (or of a random
// size from 1 to `chunk` when `seed` is not 0) through a look-ahead block of
// `block` bytes (0: the usual size).
struct Reading {
  std::size_t chunk;
  std::size_t block;
  unsigned seed = 0;
};

std::string describe(const Reading& reading) {
  return "reads of " + std::string(reading.seed ? "up to " : "") + std::to_string(reading.chunk) +
         " bytes, block " + (reading.block ? std::to_string(reading.block) : std::string("default"));
}

const std::vector<Reading>& readings() {
  static const std::vector<Reading> all = {
      {1, 0},    {2, 0},    {3, 5},        {7, 0},      {13, 1},       {64, 16},        {1 << 20, 0},
      {5, 2, 1}, {9, 7, 2}, {4096, 33, 3}, {100, 0, 4}, {1 << 20, 64}, {1 << 20, 1, 5}, {31, 4096},
  };
  return all;
}

// The decoder bound to a request made of `request`, its body read as
// `reading` says.
void startRequest(test::FakeRequest* fake, const Request& request, const Reading& reading,
                  std::mt19937* random, bool mapped = false) {
  qEndRequest();
  *fake = test::FakeRequest{};
  fake->set("CONTENT_TYPE", request.contentType.c_str());
  fake->set("HTTP_COOKIE", request.cookie);
  fake->set("QUERY_STRING", request.query);
  fake->set("REQUEST_METHOD", "POST");
  fake->body = request.body;
  fake->mappable = mapped;
  random->seed(reading.seed);
  fake->readLimit = [reading, random] {
    if (reading.seed == 0) return reading.chunk;
    return std::uniform_int_distribution<std::size_t>(1, reading.chunk)(*random);
  };
  qStartRequest(*fake);
  if (reading.block != 0) decoder::state().input.blockSize = reading.block;
}

Outcome collect(int count) {
  Outcome out;
  out.count = count;
  for (Q_entry* e = decoder::head(); e != nullptr; e = e->next) {
    std::size_t size = qValueSize(e);
    EXPECT_EQ(e->value[size], '\0') << "value of " << e->name << " is not terminated";
    out.entries.emplace_back(e->name, std::string(e->value, size));
  }
  return out;
}

class Multipart : public ::testing::Test {
 protected:
  void TearDown() override { qEndRequest(); }

  void start(const Request& request, const Reading& reading, bool mapped = false) {
    startRequest(&request_, request, reading, &random_, mapped);
  }

  // Decodes `request` read as `reading` says; the decode must return.
  Outcome decode(const Request& request, const Reading& reading, bool mapped = false) {
    start(request, reading, mapped);
    Outcome out;
    try {
      out = collect(qDecode());
    } catch (const test::FakeRequest::Ended&) {
      ADD_FAILURE() << "the decoder ended the request while decoding [" << show(request.body) << "] of type "
                    << show(request.contentType) << ", " << describe(reading) << ": " << request_.output;
    }
    qReleaseEntries();
    return out;
  }

  // Decodes `request`, which must end through qError with exit status 1 and
  // exactly `message` as the response.
  void expectFailure(const Request& request, const Reading& reading, const std::string& message,
                     bool mapped = false) {
    start(request, reading, mapped);
    try {
      qDecode();
      ADD_FAILURE() << "the decode returned; " << describe(reading);
    } catch (const test::FakeRequest::Ended& ended) {
      EXPECT_EQ(ended.status, 1);
    }
    EXPECT_EQ(request_.output, "Error: " + message + "\n") << describe(reading);
  }

  // The expected outcome in every way of reading, and the reference agrees.
  void expectOutcome(const Request& request, const Outcome& expected,
                     const std::vector<Reading>& ways = readings()) {
    Outcome plain = reference::decode(request);
    EXPECT_EQ(show(plain), show(expected)) << "the reference reading disagrees";
    for (const Reading& reading : ways) {
      if (expected.error.empty()) {
        EXPECT_EQ(show(decode(request, reading)), show(expected)) << describe(reading);
      } else {
        expectFailure(request, reading, expected.error);
      }
    }
  }

  test::FakeRequest request_;
  std::mt19937 random_;
};

const char kType[] = "multipart/form-data; boundary=XyZ";
const std::string kD = "--XyZ";

std::string field(const std::string& name, const std::string& content) {
  return "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + content;
}
std::string file(const std::string& name, const std::string& fileName, const std::string& content,
                 const std::string& type = "Content-Type: application/octet-stream\r\n") {
  return "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName + "\"\r\n" + type +
         "\r\n" + content;
}
// A body of parts, each followed by its delimiter, the last by the closing one.
std::string body(const std::vector<std::string>& parts) {
  std::string out = kD + "\r\n";
  for (std::size_t i = 0; i < parts.size(); ++i)
    out += parts[i] + "\r\n" + kD + (i + 1 < parts.size() ? "\r\n" : "--");
  return out + "\r\n";
}

Outcome ok(int count, Entries entries) { return Outcome{std::move(entries), count, ""}; }
Outcome failed(const char* message) { return Outcome{{}, 0, message}; }

// ---------------------------------------------------------------- the edge cases

struct Case {
  const char* title;
  Request request;
  Outcome expected;
};

std::vector<Case> edgeCases() {
  const std::string nul("\0", 1);
  std::string boundary249(249, 'b');
  std::string boundary250(250, 'b');
  return {
      {"one field", {kType, kD + "\r\n" + field("x", "hello") + "\r\n" + kD + "--"}, ok(1, {{"x", "hello"}})},
      {"a value holding CR LF",
       {kType, body({file("f", "a.txt", "a\r\nb")})},
       ok(1, {{"f", "a\r\nb"},
              {"f.length", "4"},
              {"f.filename", "a.txt"},
              {"f.contenttype", "application/octet-stream"}})},
      {"NUL bytes in a file count in its length",
       {kType, body({file("f", "z.bin", "a" + nul + nul + "b" + nul)})},
       ok(1, {{"f", "a" + nul + nul + "b" + nul},
              {"f.length", "5"},
              {"f.filename", "z.bin"},
              {"f.contenttype", "application/octet-stream"}})},
      {"empty contents",
       {kType, body({field("e", ""), file("f", "e.txt", "")})},
       ok(2, {{"e", ""},
              {"f", ""},
              {"f.length", "0"},
              {"f.filename", "e.txt"},
              {"f.contenttype", "application/octet-stream"}})},
      {"delimiter-like bytes inside a content",
       {kType, body({field("v", "1\r\n--XyZa\r\n--XyZ-x--XyZ--\r\n--Xy\r\n-" + kD + "\r\n\r\n--XyZ \r\n" +
                                    kD + "-")})},
       ok(1, {{"v", "1\r\n--XyZa\r\n--XyZ-x--XyZ--\r\n--Xy\r\n-" + kD + "\r\n\r\n--XyZ \r\n" + kD + "-"}})},
      {"a content ending in CR before the delimiter",
       {kType, body({field("v", "x\r")})},
       ok(1, {{"v", "x\r"}})},
      {"backslash path cut to its last component, slashes kept",
       {kType, body({file("a", "C:\\My Files\\dir\\ a b.txt ", "1"), file("b", "/home/u/c.txt", "2"),
                     file("c", "dir\\", "3")})},
       ok(3, {{"a", "1"},
              {"a.length", "1"},
              {"a.filename", "a b.txt"},
              {"a.contenttype", "application/octet-stream"},
              {"b", "2"},
              {"b.length", "1"},
              {"b.filename", "/home/u/c.txt"},
              {"b.contenttype", "application/octet-stream"},
              {"c", "3"}})},
      {"an empty file name makes an ordinary field",
       {kType, body({file("up", "", "")})},
       ok(1, {{"up", ""}})},
      {"header names in any case; filename= only as written",
       {kType, body({"content-DISPOSITION: form-data; name=\"a\"; filename=\"a.txt\"\r\ncontent-type:  "
                     "text/x \r\n\r\n1",
                     "Content-Disposition: form-data; name=\"b\"; FILENAME=\"b.txt\"\r\n\r\n2",
                     "Content-Disposition: form-data; name=\"c\"; filename=c.txt\r\n\r\n3"})},
       ok(3, {{"a", "1"},
              {"a.length", "1"},
              {"a.filename", "a.txt"},
              {"a.contenttype", "text/x"},
              {"b", "2"},
              {"c", "3"}})},
      {"a file without Content-Type",
       {kType, body({file("f", "n.txt", "abc", "")})},
       ok(1, {{"f", "abc"}, {"f.length", "3"}, {"f.filename", "n.txt"}, {"f.contenttype", ""}})},
      {"later header lines replace earlier ones; a file name stays",
       {kType,
        body({"Content-Type: a/b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"one\"\r\n"
              "Content-Disposition: form-data; name=\"g\"\r\nContent-Type: c/d\r\nX-Other: 1\r\n\r\nv"})},
       ok(1, {{"g", "v"}, {"g.length", "1"}, {"g.filename", "one"}, {"g.contenttype", "c/d"}})},
      {"a name without closing quote runs to the line end",
       {kType, body({"Content-Disposition: form-data; name=\"open\r\n\r\nv"})},
       ok(1, {{"open\r\n", "v"}})},
      {"17 characters other than form-data; name=\" make a line read by parameters: here none",
       {kType, body({"Content-Disposition: " + std::string(17, 'x') + "name\"\r\n\r\nv"})},
       ok(1, {})},
      {"a line of another shape: names by parameter, in any order and case",
       {kType, body({"Content-Disposition: form-data; FileName=\"C:\\d\\a.bin\"; name=f\r\n\r\nv",
                     "Content-Disposition: form-data;name=\"g\"\r\n\r\nw"})},
       ok(2, {{"f", "v"}, {"f.length", "1"}, {"f.filename", "a.bin"}, {"f.contenttype", ""}, {"g", "w"}})},
      {"a Content-Disposition line shorter than the name's offset",
       {kType, body({"Content-Disposition: form-data\r\n\r\nv", field("n", "w")})},
       ok(2, {{"n", "w"}})},
      {"a file without a field name adds nothing",
       {kType, body({file("", "f.txt", "data"), field("n", "w")})},
       ok(2, {{"n", "w"}})},
      {"a part without Content-Disposition counts but adds nothing",
       {kType, body({"Content-Type: text/plain\r\n\r\nlost", field("n", "w")})},
       ok(2, {{"n", "w"}})},
      {"two parts with one name",
       {kType, body({field("n", "1"), field("n", "2")})},
       ok(2, {{"n", "1"}, {"n", "2"}})},
      {"a lone LF does not end the headers",
       {kType, kD + "\r\nContent-Disposition: form-data; name=\"n\"\r\n\n\r\nv\r\n" + kD + "--"},
       ok(1, {{"n", "v"}})},
      {"a header line starting with NUL ends the headers",
       {kType, kD + "\r\nContent-Disposition: form-data; name=\"n\"\r\n" + nul + "x\r\nv\r\n" + kD + "--"},
       ok(1, {{"n", "v"}})},
      {"bare delimiters: a content that is empty with no CR LF before the delimiter",
       {kType, kD + "\r\n" + "Content-Disposition: form-data; name=\"a\"\r\n\r\n" + kD + "\r\n" +
                   "Content-Disposition: form-data; name=\"b\"\r\n\r\n" + kD + "--"},
       ok(2, {{"a", ""}, {"b", ""}})},
      {"headers end where the body does: the content is cut off",
       {kType, kD + "\r\nContent-Disposition: form-data; name=\"a\"\r\n"},
       failed(kBroken)},
      {"nothing after the closing delimiter is needed",
       {kType, kD + "\r\n" + field("x", "1") + "\r\n" + kD + "--"},
       ok(1, {{"x", "1"}})},
      {"bytes after the closing delimiter are never read",
       {kType, kD + "\r\n" + field("x", "1") + "\r\n" + kD + "--garbage\r\n" + kD + "\r\n" + field("y", "2")},
       ok(1, {{"x", "1"}})},
      {"a long first line: the rest becomes header lines",
       {kType,
        kD + std::string(1018, 'p') + "Content-Disposition: form-data; name=\"n\"\r\n\r\nv\r\n" + kD + "--"},
       ok(1, {{"n", "v"}})},
      {"header lines longer than 1023 bytes arrive in pieces",
       {kType, kD + "\r\nX-Long: " + std::string(1015, 'q') +
                   "Content-Disposition: form-data; name=\"n\"\r\n\r\nv\r\n" + kD + "--"},
       ok(1, {{"n", "v"}})},
      {"preamble: one empty line", {kType, "\r\n" + body({field("x", "1")})}, ok(1, {{"x", "1"}})},
      {"preamble: two empty lines", {kType, "\r\n\r\n" + body({field("x", "1")})}, failed(kInvalid)},
      {"preamble: a lone LF", {kType, "\n" + body({field("x", "1")})}, failed(kInvalid)},
      {"preamble: text", {kType, "This is a preamble.\r\n" + body({field("x", "1")})}, failed(kInvalid)},
      {"preamble: an empty line and nothing else", {kType, "\r\n"}, failed(kInvalid)},
      {"the start line need only begin with D",
       {kType, kD + "trailing\r\n" + field("x", "1") + "\r\n" + kD + "--"},
       ok(1, {{"x", "1"}})},
      {"the start line shorter than D", {kType, "--Xy\r\n"}, failed(kInvalid)},
      {"an empty body", {kType, ""}, failed(kNotHttp)},
      {"a body starting with NUL", {kType, nul + kD + "\r\n"}, failed(kNotHttp)},
      {"only the start line", {kType, kD + "\r\n"}, failed(kBroken)},
      {"only a closing start line", {kType, kD + "--\r\n"}, failed(kBroken)},
      {"a content cut off", {kType, kD + "\r\n" + field("x", "12345")}, failed(kBroken)},
      {"a content cut off inside its delimiter",
       {kType, kD + "\r\n" + field("x", "1") + "\r\n--Xy"},
       failed(kBroken)},
      {"a content cut off after CR LF D",
       {kType, kD + "\r\n" + field("x", "1") + "\r\n" + kD},
       failed(kBroken)},
      {"a content cut off after CR LF D and one dash",
       {kType, kD + "\r\n" + field("x", "1") + "\r\n" + kD + "-"},
       failed(kBroken)},
      {"a second part cut off in its headers",
       {kType, kD + "\r\n" + field("x", "1") + "\r\n" + kD + "\r\nContent-Di"},
       failed(kBroken)},
      {"no boundary parameter", {"multipart/form-data", body({field("x", "1")})}, failed(kInvalid)},
      {"a boundary of 249 characters",
       {"multipart/form-data; boundary=" + boundary249,
        "--" + boundary249 + "\r\n" + field("x", "1") + "\r\n--" + boundary249 + "--"},
       ok(1, {{"x", "1"}})},
      {"a boundary of 250 characters",
       {"multipart/form-data; boundary=" + boundary250,
        "--" + boundary250 + "\r\n" + field("x", "1") + "\r\n--" + boundary250 + "--"},
       failed(kTooLong)},
      {"blanks after the boundary are not part of it, nor of its length",
       {"multipart/form-data; boundary=" + std::string(248, 'b') + "  ",
        "--" + std::string(248, 'b') + "\r\n" + field("x", "1") + "\r\n--" + std::string(248, 'b') + "--"},
       ok(1, {{"x", "1"}})},
      {"a quoted boundary of 249 characters",
       {"multipart/form-data; boundary=\"" + boundary249 + "\"",
        "--" + boundary249 + "\r\n" + field("x", "1") + "\r\n--" + boundary249 + "--"},
       ok(1, {{"x", "1"}})},
      {"a quoted boundary of 250 characters",
       {"multipart/form-data; boundary=\"" + boundary250 + "\"", ""},
       failed(kTooLong)},
      {"trailing blanks of the boundary are trimmed",
       {"multipart/form-data; boundary=XyZ \t", body({field("x", "1")})},
       ok(1, {{"x", "1"}})},
      {"a charset after the boundary is a parameter of its own",
       {"multipart/form-data; boundary=XyZ; charset=UTF-8", body({field("x", "1")})},
       ok(1, {{"x", "1"}})},
      {"a quoted boundary loses its quotes",
       {"multipart/form-data; boundary=\"q\"", "--q\r\n" + field("x", "1") + "\r\n--q--"},
       ok(1, {{"x", "1"}})},
      {"a quoted boundary whose quotes the body repeats",
       {"multipart/form-data; boundary=\"q\"", "--\"q\"\r\n" + field("x", "1") + "\r\n--\"q\"--"},
       failed(kInvalid)},
      {"boundary= is found case-sensitively",
       {"multipart/form-data; Boundary=no; boundary=XyZ", body({field("x", "1")})},
       ok(1, {{"x", "1"}})},
      {"an empty boundary: D is two dashes",
       {"multipart/form-data; boundary=", "--\r\n" + field("x", "a-b") + "\r\n----"},
       ok(1, {{"x", "a-b"}})},
      {"cookies, then the query string, then the parts",
       {kType, body({field("p", "3")}), "c=1; d=2", "q=5&&r=6"},
       ok(6, {{"c", "1"}, {"d", "2"}, {"q", "5"}, {"r", "6"}, {"p", "3"}})},
      {"Q_UPLOAD_ID in the cookies",
       {kType, body({field("p", "3")}), "Q_UPLOAD_ID=1"},
       failed(kNoUploadBase)},
      {"Q_UPLOAD_ID in the query string",
       {kType, body({field("p", "3")}), nullptr, "a=1&Q_UPLOAD_ID=1"},
       failed(kNoUploadBase)},
      {"Q_UPLOAD_ID as a middle part",
       {kType, body({field("a", "1"), field("Q_UPLOAD_ID", "7"), field("b", "2")})},
       failed(kNoUploadBase)},
      {"Q_UPLOAD_ID as the last part",
       {kType, body({field("a", "1"), field("Q_UPLOAD_ID", "7")})},
       ok(2, {{"a", "1"}, {"Q_UPLOAD_ID", "7"}})},
      {"q_upload_id is another name",
       {kType, body({field("q_upload_id", "1"), field("b", "2")})},
       ok(2, {{"q_upload_id", "1"}, {"b", "2"}})},
  };
}

TEST_F(Multipart, EdgeCases) {
  for (const Case& c : edgeCases()) {
    SCOPED_TRACE(c.title);
    expectOutcome(c.request, c.expected);
  }
}

// A body cut off at every length: each prefix ends as the byte-at-a-time
// reading ends it (no line, wrong start, or a broken stream).
TEST_F(Multipart, CutOffAtEveryStage) {
  Request whole{kType, "\r\n" + body({field("a", "1"),
                                      file("f", "x.txt", "a\r\n-b\r\n", "Content-Type: text/plain\r\n"),
                                      field("b", "")})};
  ASSERT_TRUE(reference::decode(whole).error.empty());
  std::vector<std::string> failures;
  for (std::size_t cut = 0; cut <= whole.body.size(); ++cut) {
    Request request = whole;
    request.body.resize(cut);
    Outcome expected = reference::decode(request);
    SCOPED_TRACE("cut at " + std::to_string(cut) + ": " + show(request.body));
    if (expected.error.empty()) {
      for (const Reading& reading : {Reading{1, 0}, Reading{3, 2}, Reading{1 << 20, 0}})
        EXPECT_EQ(show(decode(request, reading)), show(expected)) << describe(reading);
    } else {
      failures.push_back(expected.error);
      expectFailure(request, Reading{cut % 2 ? 1u : 5u, cut % 3 ? 0u : 3u, static_cast<unsigned>(cut)},
                    expected.error);
    }
  }
  // Every stage was met: nothing read, no start line, and a content cut off.
  for (const char* message : {kNotHttp, kInvalid, kBroken})
    EXPECT_NE(std::find(failures.begin(), failures.end(), message), failures.end()) << message;
}

// A long content goes through a buffer of its own: it comes out whole,
// whatever the read sizes, with its NUL after it.
TEST_F(Multipart, LongContents) {
  std::mt19937 random(7);
  std::string content;
  const char pieces[][8] = {"\r\n", "--", "-", "\r", "\n", "--XyZ", "\r\n--Xy", "Z"};
  while (content.size() < 3 * 1024 * 1024) {
    if (random() % 4 == 0)
      content += pieces[random() % 8];
    else
      content += static_cast<char>(random());
  }
  // Near-delimiters only: no CR LF D at all.
  for (std::size_t at = content.find("\r\n" + kD); at != std::string::npos;
       at = content.find("\r\n" + kD, at))
    content[at + 2 + kD.size() - 1] = 'z';
  Request request{kType, body({field("small", "s"), file("big", "big.bin", content), field("after", "a")})};
  Outcome expected = ok(3, {{"small", "s"},
                            {"big", content},
                            {"big.length", std::to_string(content.size())},
                            {"big.filename", "big.bin"},
                            {"big.contenttype", "application/octet-stream"},
                            {"after", "a"}});
  EXPECT_EQ(reference::decode(request).entries, expected.entries);
  for (const Reading& reading :
       {Reading{1 << 20, 0}, Reading{65536, 0, 9}, Reading{4093, 4096}, Reading{1 << 20, 1000}}) {
    Outcome got = decode(request, reading);
    EXPECT_EQ(got.count, 3) << describe(reading);
    EXPECT_TRUE(got.entries == expected.entries) << describe(reading);
  }
}

// A body whose content defeats Horspool's skips is still read in linear time
// and to the same end: a boundary of one repeated letter over a content of
// that letter.
TEST_F(Multipart, ContentMadeToDefeatTheSkips) {
  const std::string b(200, 'a');
  std::string content(2 * 1024 * 1024, 'a');
  for (std::size_t i = 0; i < content.size(); i += 10007) content.replace(i, 4, "\r\n--");
  Request request{"multipart/form-data; boundary=" + b,
                  "--" + b + "\r\n" + field("n", content) + "\r\n--" + b + "--"};
  for (const Reading& reading : {Reading{1 << 20, 0}, Reading{777, 500}}) {
    Outcome got = decode(request, reading);
    ASSERT_EQ(got.entries.size(), 1u);
    EXPECT_TRUE(got.entries[0].second == content) << describe(reading);
  }
}

// ---------------------------------------------------------------- standard input in a file

// A web server that spools the body to a file gives it as standard input:
// then it is mapped, not read, and long values stay in the mapping.
class MultipartFromFile : public Multipart {
 protected:
  static constexpr Reading kWhole{0, 0};
};

TEST_F(MultipartFromFile, SameResultsAsReadingIt) {
  std::mt19937 random(11);
  std::string big;
  while (big.size() < 200000) big += random() % 3 ? static_cast<char>(random()) : '\n';
  for (std::size_t at = big.find("\r\n" + kD); at != std::string::npos; at = big.find("\r\n" + kD, at))
    big[at] = 'x';
  std::vector<Case> cases = edgeCases();
  cases.push_back(
      {"a long file among short fields",
       {kType, body({field("a", "1"), file("f", "big.bin", big), field("b", "2"), file("g", "g", big)})},
       ok(4, {{"a", "1"},
              {"f", big},
              {"f.length", std::to_string(big.size())},
              {"f.filename", "big.bin"},
              {"f.contenttype", "application/octet-stream"},
              {"b", "2"},
              {"g", big},
              {"g.length", std::to_string(big.size())},
              {"g.filename", "g"},
              {"g.contenttype", "application/octet-stream"}})});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    if (!c.expected.error.empty()) continue;  // below
    start(c.request, kWhole, true);
    Outcome got = collect(qDecode());
    if (!c.request.body.empty()) {
      EXPECT_TRUE(decoder::bodyWasMapped());
    }
    EXPECT_TRUE(got.entries == c.expected.entries) << show(got) << "\nexpected " << show(c.expected);
    EXPECT_EQ(got.count, c.expected.count);
    qReleaseEntries();  // the mapping goes with the last value in it
    EXPECT_EQ(request_.mapped, 0);
  }
}

TEST_F(MultipartFromFile, FailuresAreTheSame) {
  for (const Case& c : edgeCases()) {
    if (c.expected.error.empty()) continue;
    SCOPED_TRACE(c.title);
    expectFailure(c.request, kWhole, c.expected.error, true);
  }
}

// ---------------------------------------------------------------- random bodies

// Bodies assembled from the pieces that make delimiters, near-delimiters and
// headers, checked against the reference in every way of reading.
class RandomBodies {
 public:
  explicit RandomBodies(unsigned seed) : random_(seed) {}

  Request next() {
    Request request;
    boundary_ =
        pick({"XyZ", "-", "--", "a-b", "\r\n", "ab\r\nc", "--a\r\n--", "x", "aaaa", "-x-", "ab\r\n--"});
    if (one(8)) boundary_ = "";
    request.contentType = "multipart/form-data; boundary=" + boundary_;
    if (one(10)) request.contentType += " ";
    d_ = "--" + boundary_;
    if (one(6)) request.cookie = one(2) ? "k=1" : "Q_UPLOAD_ID=1";
    std::string& out = request.body;
    if (one(6)) out += pick({"\r\n", "\n", "x\r\n", "\r\n\r\n"});
    out += d_ + pick({"\r\n", "\r\n", "--\r\n", "junk\r\n", "", "\n"});
    int parts = 1 + static_cast<int>(random_() % 4);
    for (int p = 0; p < parts; ++p) {
      int headers = static_cast<int>(random_() % 3);
      for (int h = 0; h < headers + 1; ++h) out += header(p);
      out += pick({"\r\n", "\r\n", "\r\n", "\n\r\n", ""});
      out += content();
      bool last = p + 1 == parts;
      out += last ? "\r\n" + d_ + "--" : "\r\n" + d_ + "\r\n";
      if (one(12)) out += content();
    }
    if (one(3)) out += pick({"\r\n", "epilogue", "\r\n" + d_ + "\r\n"});
    if (one(4)) out.resize(random_() % (out.size() + 1));  // cut off somewhere
    return request;
  }

 private:
  bool one(unsigned in) { return random_() % in == 0; }
  std::string pick(const std::vector<std::string>& choices) { return choices[random_() % choices.size()]; }

  std::string header(int part) {
    std::string name = pick({"n", "f", "Q_UPLOAD_ID", "", "x" + std::to_string(part), "n"});
    switch (random_() % 6) {
      case 0:
      case 1: return "Content-Disposition: form-data; name=\"" + name + "\"\r\n";
      case 2:
        return "content-disposition: form-data; name=\"" + name + "\"; filename=\"" +
               pick({"a.txt", "C:\\d\\b.bin", "", " s p ", "x\\"}) + "\"\r\n";
      case 3: return pick({"Content-Type: text/plain\r\n", "CONTENT-TYPE:  a/b \r\n", "Content-Type:\r\n"});
      case 4: return pick({"X-Other: 1\r\n", "Content-Disposition: short\r\n", "\n"});
      default: return "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"up.bin\"\r\n";
    }
  }

  std::string content() {
    std::string out;
    if (one(5)) out += d_ + pick({"\r\n", "--", "x"});
    int pieces = static_cast<int>(random_() % 12);
    for (int i = 0; i < pieces; ++i) {
      switch (random_() % 8) {
        case 0: out += "\r\n"; break;
        case 1: out += "-"; break;
        case 2: out += d_; break;
        case 3: out += "\r\n" + d_.substr(0, random_() % (d_.size() + 1)); break;
        case 4: out += "\r\n" + d_ + pick({"x", "-", "\r", "\n", "- -"}); break;
        case 5: out += std::string(1, static_cast<char>(random_() % 256)); break;
        case 6: out += std::string("\0", 1); break;
        default: out += pick({"a", "bc", "\r", "\n", "--"}); break;
      }
    }
    return out;
  }

  std::mt19937 random_;
  std::string boundary_;
  std::string d_;
};

TEST_F(Multipart, RandomBodiesAgreeWithTheReference) {
  RandomBodies bodies(20240611);
  int decoded = 0, failures = 0;
  for (int i = 0; i < 1500; ++i) {
    Request request = bodies.next();
    Outcome expected = reference::decode(request);
    SCOPED_TRACE("body " + std::to_string(i) + " [" + show(request.body) + "] with " +
                 show(request.contentType));
    if (expected.error.empty()) {
      ++decoded;
      for (std::size_t r = i % 3; r < readings().size(); r += 3) {
        Outcome got = decode(request, readings()[r]);
        ASSERT_EQ(show(got), show(expected)) << describe(readings()[r]);
      }
    } else if (failures < 150) {
      // Death tests are slow: a sample of the failing bodies.
      ++failures;
      expectFailure(request, readings()[i % readings().size()], expected.error);
    }
  }
  // The generator gives both kinds in fair numbers.
  EXPECT_GT(decoded, 300);
  EXPECT_EQ(failures, 150);
}

// ---------------------------------------------------------------- the body is read once

TEST_F(Multipart, ASecondDecodeReadsNothing) {
  // A part without Content-Disposition leaves the list empty, so every
  // accessor decodes again; the body is gone by then.
  Request request{kType, body({"Content-Type: text/plain\r\n\r\nx"})};
  start(request, Reading{7, 0});
  EXPECT_EQ(qDecode(), 1);
  EXPECT_EQ(qFirstEntry(), nullptr);
  EXPECT_EQ(qValue("x"), nullptr);
  EXPECT_EQ(qDecode(), 0);
  EXPECT_EQ(decoder::head(), nullptr);
}

TEST_F(Multipart, ASecondDecodeAddsNoCookiesEither) {
  Request request{kType, body({field("a", "1")}), "c=1"};
  start(request, Reading{1 << 20, 0});
  EXPECT_EQ(qDecode(), 2);
  qReleaseEntries();
  EXPECT_EQ(qDecode(), 0);
  EXPECT_EQ(decoder::head(), nullptr);
}

// ---------------------------------------------------------------- _read_line

TEST_F(Multipart, ReadLine) {
  const std::string nul("\0", 1);
  const std::string text = "ab\r\n\n" + std::string(1030, 'x') + "\r\n" + nul + "tail\nend";
  for (const Reading& reading : readings()) {
    SCOPED_TRACE(describe(reading));
    start(Request{kType, text}, reading);
    decoder::BodyInput* in = &decoder::state().input;
    char line[1024];
    ASSERT_NE(_read_line(line, sizeof line, in), nullptr);
    EXPECT_STREQ(line, "ab\r\n");
    ASSERT_NE(_read_line(line, sizeof line, in), nullptr);
    EXPECT_STREQ(line, "\n");
    ASSERT_NE(_read_line(line, sizeof line, in), nullptr);  // 1023 bytes, then the rest
    EXPECT_EQ(std::string(line), std::string(1023, 'x'));
    ASSERT_NE(_read_line(line, sizeof line, in), nullptr);
    EXPECT_EQ(std::string(line), std::string(7, 'x') + "\r\n");
    EXPECT_EQ(_read_line(line, sizeof line, in), nullptr);  // a NUL first: null, the line consumed
    ASSERT_NE(_read_line(line, 4, in), nullptr);            // size - 1 bytes at most
    EXPECT_STREQ(line, "end");
    EXPECT_EQ(_read_line(line, sizeof line, in), nullptr);  // the end
    EXPECT_STREQ(line, "");
  }
}

// ---------------------------------------------------------------- the delimiter search

// The first n at which the byte-at-a-time reader stops, tested after each byte.
bool naiveEnd(const std::string& d, const std::string& data, decoder::DelimiterScanner::End* end) {
  const std::string next = "\r\n" + d + "\r\n", close = "\r\n" + d + "--";
  for (std::size_t n = 1; n <= data.size(); ++n) {
    char c = data[n - 1];
    if (c != '\n' && c != '-') continue;
    std::string stored = data.substr(0, n);
    if (reference::endsWith(stored, next) || reference::endsWith(stored, close)) {
      *end = {n - next.size(), n, c == '-'};
      return true;
    }
    if (stored == d + "\r\n" || stored == d + "--") {
      *end = {0, n, c == '-'};
      return true;
    }
  }
  return false;
}

TEST(DelimiterScanner, AgreesWithTheByteAtATimeTestInBothSearches) {
  std::mt19937 random(99);
  const std::vector<std::string> ds = {"--",
                                       "---",
                                       "--a",
                                       "--ab",
                                       "--a-a",
                                       "--\r\n",
                                       "--\r\n--",
                                       "--aa-aa-",
                                       "--ab\r\n--",
                                       "--\r\n--\r\n--",
                                       "-- -\r\n-- -",
                                       "--\r\n--ab\r\n--",
                                       "--" + std::string(60, '-'),
                                       "--" + std::string(251 - 2, 'a')};
  int found = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::string& d = ds[random() % ds.size()];
    std::string data;
    std::size_t pieces = random() % 40;
    for (std::size_t p = 0; p < pieces; ++p) {
      switch (random() % 6) {
        case 0: data += "\r\n"; break;
        case 1: data += d.substr(0, random() % (d.size() + 1)); break;
        case 2: data += "-"; break;
        case 3: data += "\r\n" + d; break;
        case 4: data += d; break;
        default: data += static_cast<char>("ab\r\n-x"[random() % 6]); break;
      }
    }
    decoder::DelimiterScanner::End want{};
    bool expected = naiveEnd(d, data, &want);
    found += expected;
    for (bool linear : {false, true}) {
      decoder::DelimiterScanner scanner;
      scanner.forceLinearForTests(linear);
      scanner.setBoundary(d.data(), d.size());
      scanner.start();
      decoder::DelimiterScanner::End got{};
      bool any = false;
      // Fed in growing prefixes, as the bytes arrive.
      for (std::size_t size = 0; size <= data.size() && !any;) {
        any = scanner.find(data.data(), size, &got);
        if (size == data.size()) break;
        size = std::min(data.size(), size + 1 + random() % 9);
      }
      ASSERT_EQ(any, expected) << show(d) << " in " << show(data) << (linear ? " (KMP)" : " (Horspool)");
      if (expected) {
        EXPECT_EQ(got.length, want.length) << show(d) << " in " << show(data);
        EXPECT_EQ(got.end, want.end) << show(d) << " in " << show(data);
        EXPECT_EQ(got.last, want.last) << show(d) << " in " << show(data);
      }
    }
  }
  EXPECT_GT(found, 2000);
}

TEST(DelimiterScanner, SwitchesToTheLinearSearchOnlyWhenSkipsFail) {
  std::string d = "--" + std::string(100, 'a');
  decoder::DelimiterScanner scanner;
  scanner.setBoundary(d.data(), d.size());
  decoder::DelimiterScanner::End end{};

  std::string hostile(1 << 20, 'a');
  scanner.start();
  EXPECT_FALSE(scanner.find(hostile.data(), hostile.size(), &end));
  EXPECT_TRUE(scanner.linear());
  hostile += "\r\n" + d + "--";
  EXPECT_TRUE(scanner.find(hostile.data(), hostile.size(), &end));
  EXPECT_EQ(end.length, std::size_t{1} << 20);
  EXPECT_TRUE(end.last);

  std::mt19937 random(3);
  std::string plain;
  while (plain.size() < (1 << 20)) plain += random() % 5 ? static_cast<char>('b' + random() % 20) : '\n';
  scanner.start();
  EXPECT_FALSE(scanner.find(plain.data(), plain.size(), &end));
  EXPECT_FALSE(scanner.linear());
}

}  // namespace
}  // namespace kavro
