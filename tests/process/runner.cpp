// Process-level tests: each tests/data/*.case file runs the gateway once, as
// a web server would (or build/kavro3-check, as an administrator would),
// against a scripted fake Engine Server, and checks the exact bytes on
// standard output and, when asked, on standard error, the exit status and
// the exact Frames the engine received. The same cases run against
// build/gateway (process_tests) and against build-win/gateway.exe under Wine
// (windows_process_tests); there, the cases that run kavro3-check or whose
// engine sends a signal are skipped (both are POSIX only).
//
// Case file format (also in tests/data/README.md)
// -----------------------------------------------
// A case is a series of sections. A section starts with a line "%% NAME" or
// "%% NAME ARGUMENT" and runs to the next such line. A line that starts with
// '#' is a comment, in every section and before the first one; blank lines
// count only in `registry` (and add nothing in the concatenated sections).
// A trailing carriage return is dropped from every line.
//
//   %% title           one line saying what the case shows (required)
//   %% env             NAME=VALUE lines: the gateway's whole environment, but
//                      for the variables added by the runner (below)
//   %% registry        the .reg file, lines as they stand joined with "\n"
//                      (no escapes; substitutions apply). Without this
//                      section KAVRO3_REGISTRY names a file that is missing.
//   %% file NAME       a file written into the case's temp dir as NAME
//   %% stdin           the bytes fed on standard input
//   %% engine [PORT]   the fake engine's script, one command a line:
//                        recv          read one Frame and record it (the
//                                      script ends if the gateway closed)
//                        frame BYTES   send BYTES as one Frame
//                        send BYTES    send BYTES raw
//                        pause MS      sleep MS milliseconds
//                        close         close the connection now
//                        reset         close it with a reset (RST)
//                        signal NAME   send SIGTERM, SIGINT or SIGHUP
//                                      (TERM, INT, HUP) to the gateway
//                      BYTES is everything after the first blank. The
//                      script is played on every connection; after it the
//                      engine records further Frames until the gateway
//                      closes. PORT (default 0: an ephemeral port) fixes
//                      the port to listen on.
//   %% stdout          the exact bytes expected on standard output (required;
//                      leave it empty to expect nothing)
//   %% stderr          the exact bytes expected on standard error (without
//                      this section they are not checked)
//   %% check           run kavro3-check instead of the gateway, with one
//                      argument a line (empty lines are skipped)
//   %% exit            the expected exit status (default 0)
//   %% frames          the exact texts of the Frames the engine must receive,
//                      one a line, in order, no more and no fewer. A line
//                      "@request" stands for "3" 0x01 PAYLOAD 0x01 where
//                      PAYLOAD is given by the `rows` section. Without this
//                      section the frames are not checked; an empty section
//                      means that no Frame may arrive.
//   %% left DIR        the entries expected in ${TMP}/DIR after the run,
//                      one a line, '*' matching any run of characters; each
//                      line matches exactly one entry and every entry is
//                      matched. The runner makes DIR, empty, before the run.
//                      An empty section: DIR must be left empty.
//   %% rows            the Request payload: "count=N" (the number of values,
//                      26 + AdditionalValues), then "I=VALUE" lines for the
//                      values that are not empty. The expected payload is
//                      every value in order, each followed by 0xFE.
//
// stdout, exit, frames and rows may be given a second time with a platform
// name as argument ("%% stdout windows"): that section replaces the plain one
// when the gateway of that platform runs, for bytes that differ only by the
// platform's own rules (text-mode line ends on Windows).
//
// In `stdout`, `stderr`, `stdin` and `file` the lines are joined with no
// separator: write \n where a newline is meant. BYTES, env lines, frames,
// rows, check arguments, stdout, stderr, stdin and file lines take the
// escapes \xHH, \r, \n, \t, \0 and \\; any other backslash sequence is an
// error (write SOFTWARE\\Halvorn in a row).
//
// Substitutions, made before escapes, in every section:
//   ${PORT}              the fake engine's port
//   ${DEAD1} ${DEAD2} ${DEAD3}
//                        distinct loopback ports where nothing listens
//   ${TMP}               the case's private temp dir (no trailing slash)
//   ${STALLED}           a loopback port whose accept queue is full: a
//                        connect there hangs (the SYN is dropped)
//   ${REPEAT:N:TEXT}     TEXT N times over; TEXT may hold substitutions
//
// The runner adds to the environment KAVRO3_REGISTRY=${TMP}/kavro3.reg and
// the sanitizers' exit codes (ASan 86, UBSan 87, LSan 88), so that a
// sanitizer finding is never taken for an exit status of the gateway; under
// Wine, WINEPREFIX, WINEDEBUG and LC_ALL instead, and the registry file
// is imported into Wine's registry (gateway_run.cpp). A gateway still running
// after 30 seconds is killed and the case fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/server.h"
#include "tests/process/fake_engine.h"
#include "tests/process/gateway_run.h"
#include "tests/support/bytes.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "wire/wire.h"

#ifndef KAVRO3_CHECK_PATH
#define KAVRO3_CHECK_PATH ""
#endif
#ifndef KAVRO3_TEST_DATA_DIR
#error "KAVRO3_TEST_DATA_DIR must name the directory of the .case files"
#endif

namespace {

namespace fs = std::filesystem;
namespace platform = kavro::platform;
using kavro::test::EngineStep;
using kavro::test::escapeBytes;
using kavro::test::FakeEngine;
using kavro::test::TempDir;
namespace wire = kavro::wire;

constexpr int kTimeoutSeconds = 30;
// The directories above the files written and the files: as under umask
// 022.
constexpr fs::perms kDirectoryMode = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec;
constexpr fs::perms kFileMode =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;

// ---------------------------------------------------------------- case files

struct Line {
  int number = 0;
  std::string text;
};

struct Section {
  std::string name;
  std::string argument;
  int number = 0;  // line of the "%%" header
  std::vector<Line> lines;
};

struct CaseFile {
  fs::path path;
  std::vector<Section> sections;

  // The section for the platform under test when the case has one, else the
  // plain one.
  const Section* find(const std::string& name) const {
    const Section* plain = nullptr;
    for (const Section& section : sections) {
      if (section.name != name) continue;
      if (section.argument == kavro::test::gatewayPlatform()) return &section;
      if (section.argument.empty() || !hasPlatformVariant(name)) plain = plain ? plain : &section;
    }
    return plain;
  }

  static bool hasPlatformVariant(const std::string& name) {
    return name == "stdout" || name == "exit" || name == "frames" || name == "rows";
  }
};

bool knownPlatform(const std::string& name) { return name == "posix" || name == "windows"; }

// The sections a case may hold; `file` is the only one that may repeat, but
// for the expectations given once more for a platform.
bool knownSection(const std::string& name) {
  static const char* const kNames[] = {"title",  "env",  "registry", "file", "stdin", "engine", "stdout",
                                       "stderr", "exit", "frames",   "rows", "check", "left"};
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

bool repeatedSection(const CaseFile& file, const Section& section) {
  if (section.name == "file") return false;
  for (const Section& other : file.sections)
    if (other.name == section.name && other.argument == section.argument) return true;
  return !CaseFile::hasPlatformVariant(section.name) && file.find(section.name) != nullptr;
}

bool readCase(const fs::path& path, CaseFile* file, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path.string();
    return false;
  }
  file->path = path;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.rfind("%%", 0) == 0) {
      Section section;
      std::string header = text.substr(2);
      std::size_t start = header.find_first_not_of(' ');
      header = start == std::string::npos ? "" : header.substr(start);
      std::size_t blank = header.find(' ');
      section.name = header.substr(0, blank);
      if (blank != std::string::npos) section.argument = header.substr(blank + 1);
      section.number = number;
      if (!knownSection(section.name)) {
        *error = "line " + std::to_string(number) + ": unknown section '" + section.name + "'";
        return false;
      }
      if (CaseFile::hasPlatformVariant(section.name) && !section.argument.empty() &&
          !knownPlatform(section.argument)) {
        *error = "line " + std::to_string(number) + ": '" + section.argument + "' is not a platform";
        return false;
      }
      if (repeatedSection(*file, section)) {
        *error = "line " + std::to_string(number) + ": section '" + section.name + "' appears twice";
        return false;
      }
      file->sections.push_back(std::move(section));
      continue;
    }
    if (!text.empty() && text[0] == '#') continue;
    if (file->sections.empty()) {
      if (!text.empty()) {
        *error = "line " + std::to_string(number) + ": text before the first section";
        return false;
      }
      continue;
    }
    file->sections.back().lines.push_back(Line{number, text});
  }
  if (file->find("title") == nullptr || file->find("stdout") == nullptr) {
    *error = "a case needs a 'title' and a 'stdout' section";
    return false;
  }
  // A platform's section that says what the plain one says is a copy to keep
  // in step for nothing.
  auto texts = [](const Section& section) {
    std::vector<std::string> lines;
    for (const Line& line : section.lines) lines.push_back(line.text);
    return lines;
  };
  for (const Section& variant : file->sections) {
    if (variant.argument.empty() || !CaseFile::hasPlatformVariant(variant.name)) continue;
    for (const Section& plain : file->sections)
      if (plain.name == variant.name && plain.argument.empty() && texts(plain) == texts(variant)) {
        *error = "line " + std::to_string(variant.number) + ": the same as the plain '" + plain.name + "'";
        return false;
      }
  }
  return true;
}

// ---------------------------------------------------------------- substitutions and escapes

using Variables = std::map<std::string, std::string>;

// Replaces every ${...} of `text`. A substitution may hold others, as in
// ${REPEAT:3:${DEAD1},}: the inner ones are replaced first.
bool substitute(const std::string& text, const Variables& variables, std::string* out, std::string* error) {
  out->clear();
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t open = text.find("${", at);
    if (open == std::string::npos) {
      out->append(text, at, std::string::npos);
      break;
    }
    out->append(text, at, open - at);
    std::size_t close = open + 2;
    for (int depth = 1; close < text.size(); ++close) {
      if (text.compare(close, 2, "${") == 0) {
        ++depth;
        ++close;
      } else if (text[close] == '}' && --depth == 0) {
        break;
      }
    }
    if (close >= text.size()) {
      *error = "unterminated ${ in: " + text;
      return false;
    }
    std::string name;
    if (!substitute(text.substr(open + 2, close - open - 2), variables, &name, error)) return false;
    if (name.rfind("REPEAT:", 0) == 0) {
      std::size_t colon = name.find(':', 7);
      std::string count = name.substr(7, colon == std::string::npos ? 0 : colon - 7);
      if (colon == std::string::npos || count.empty() || count.size() > 7 ||
          count.find_first_not_of("0123456789") != std::string::npos) {
        *error = "bad ${REPEAT:N:TEXT}: ${" + name + "}";
        return false;
      }
      std::string unit = name.substr(colon + 1);
      for (long i = std::stol(count); i > 0; --i) out->append(unit);
    } else {
      auto found = variables.find(name);
      if (found == variables.end()) {
        *error = "${" + name + "} is not defined in this case";
        return false;
      }
      out->append(found->second);
    }
    at = close + 1;
  }
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool unescape(const std::string& text, std::string* out, std::string* error) {
  out->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *out += text[i];
      continue;
    }
    if (i + 1 >= text.size()) {
      *error = "backslash at the end of: " + text;
      return false;
    }
    char c = text[++i];
    switch (c) {
      case 'n': *out += '\n'; break;
      case 'r': *out += '\r'; break;
      case 't': *out += '\t'; break;
      case '0': *out += '\0'; break;
      case '\\': *out += '\\'; break;
      case 'x': {
        int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
          *error = "\\x needs two hexadecimal digits in: " + text;
          return false;
        }
        *out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: *error = std::string("unknown escape \\") + c + " in: " + text; return false;
    }
  }
  return true;
}

// Turns one line of a section into its bytes: substitutions, then escapes
// unless `raw`. Failures name the file and line.
class Expander {
 public:
  Expander(const CaseFile& file, const Variables& variables) : file_(file), variables_(variables) {}

  bool line(const Line& line, bool raw, std::string* out) {
    std::string substituted, problem;
    if (!substitute(line.text, variables_, &substituted, &problem) ||
        (!raw && !unescape(substituted, out, &problem))) {
      error_ = where(line.number) + problem;
      return false;
    }
    if (raw) *out = substituted;
    return true;
  }

  // The section's lines joined by `separator`.
  bool joined(const Section& section, bool raw, const std::string& separator, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < section.lines.size(); ++i) {
      std::string bytes;
      if (!line(section.lines[i], raw, &bytes)) return false;
      if (i > 0) *out += separator;
      *out += bytes;
    }
    return true;
  }

  std::string where(int number) const {
    return file_.path.filename().string() + ":" + std::to_string(number) + ": ";
  }
  const std::string& error() const { return error_; }
  void fail(int number, const std::string& problem) { error_ = where(number) + problem; }

 private:
  const CaseFile& file_;
  const Variables& variables_;
  std::string error_;
};

// ---------------------------------------------------------------- reporting

// Escaped bytes, broken into lines after each newline byte so that
// multi-line output stays readable; long texts show a window around `focus`.
std::string showBytes(const std::string& bytes, std::size_t focus = 0) {
  constexpr std::size_t kWindow = 1500;
  std::size_t start = 0;
  std::string shown = bytes;
  std::string out;
  if (bytes.size() > kWindow) {
    start = focus > kWindow / 3 ? focus - kWindow / 3 : 0;
    shown = bytes.substr(start, kWindow);
    out = "    (" + std::to_string(bytes.size()) + " bytes; shown: " + std::to_string(start) + " to " +
          std::to_string(start + shown.size()) + ")\n";
  }
  out += "    |";
  for (std::size_t i = 0; i < shown.size(); ++i) {
    out += escapeBytes(std::string_view(&shown[i], 1));
    if (shown[i] == '\n' && i + 1 < shown.size()) out += "\n    |";
  }
  return out + "\n";
}

std::size_t firstDifference(const std::string& a, const std::string& b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return i;
  return n;
}

std::string describeDifference(const std::string& expected, const std::string& actual) {
  std::size_t at = firstDifference(expected, actual);
  return "  first difference at byte " + std::to_string(at) + " (expected " +
         std::to_string(expected.size()) + " bytes, got " + std::to_string(actual.size()) +
         ")\n  expected:\n" + showBytes(expected, at) + "  actual:\n" + showBytes(actual, at);
}

std::vector<std::string> splitValues(const std::string& payload) {
  std::vector<std::string> values;
  std::size_t start = 0;
  while (start < payload.size()) {
    std::size_t end = payload.find(wire::kValueSeparator, start);
    if (end == std::string::npos) {
      values.push_back(payload.substr(start) + " (no 0xFE after it)");
      break;
    }
    values.push_back(payload.substr(start, end - start));
    start = end + 1;
  }
  return values;
}

// Row by row comparison of two Request messages, for the failure message.
std::string describeRequest(const std::string& expected, const std::string& actual) {
  std::ostringstream out;
  auto payloadOf = [](const std::string& message, std::string* payload) {
    if (message.size() < 3 || message.compare(0, 2, "3\x01") != 0 || message.back() != '\x01') return false;
    *payload = message.substr(2, message.size() - 3);
    return true;
  };
  std::string expectedPayload, actualPayload;
  payloadOf(expected, &expectedPayload);
  if (!payloadOf(actual, &actualPayload)) {
    out << "  the Frame is not \"3\" 0x01 PAYLOAD 0x01\n";
    return out.str() + describeDifference(expected, actual);
  }
  std::vector<std::string> want = splitValues(expectedPayload), got = splitValues(actualPayload);
  out << "  values: expected " << want.size() << ", got " << got.size() << "\n";
  for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
    const std::string* w = i < want.size() ? &want[i] : nullptr;
    const std::string* g = i < got.size() ? &got[i] : nullptr;
    if (w && g && *w == *g) continue;
    out << "  row " << i << ":\n    expected " << (w ? "\"" + escapeBytes(*w) + "\"" : "(none)")
        << "\n    actual   " << (g ? "\"" + escapeBytes(*g) + "\"" : "(none)") << "\n";
  }
  return out.str();
}

// ---------------------------------------------------------------- one case

// A loopback port where nothing listens: bound, read, closed. The listeners
// stay open until all ports are chosen, so the ports are distinct.
bool deadPorts(std::size_t count, std::vector<std::uint16_t>* ports, std::string* error) {
  std::vector<platform::Socket> held;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint16_t port = 0;
    platform::Socket socket = kavro::engine::netListen("127.0.0.1", 0, &port);
    if (socket == platform::kInvalidSocket) {
      *error = "cannot pick a free loopback port";
      break;
    }
    held.push_back(socket);
    ports->push_back(port);
  }
  for (platform::Socket socket : held) platform::netClose(socket);
  return ports->size() == count;
}

// A loopback port where a connect neither succeeds nor fails: a listener
// that never accepts, with its one-place accept queue taken. Both sockets
// stay open for the life of the object.
class StalledPort {
 public:
  bool open(std::string* error) {
    listener_ = kavro::engine::netListen("127.0.0.1", 0, &port_, 0);
    filler_ = platform::netSocket();
    std::uint32_t loopback = 0;
    if (listener_ == platform::kInvalidSocket || filler_ == platform::kInvalidSocket ||
        !platform::netResolve("127.0.0.1", &loopback) || !platform::netConnect(filler_, loopback, port_, 5)) {
      *error = "cannot set up a stalled port";
      return false;
    }
    return true;
  }
  ~StalledPort() {
    platform::netClose(filler_);
    platform::netClose(listener_);
  }
  std::uint16_t port() const { return port_; }

 private:
  platform::Socket listener_ = platform::kInvalidSocket;
  platform::Socket filler_ = platform::kInvalidSocket;
  std::uint16_t port_ = 0;
};

// '*' matches any run of characters, everything else itself.
bool wildcardMatch(const std::string& pattern, const std::string& name) {
  std::size_t p = 0, n = 0, star = std::string::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// What the `left` section finds wrong with the entries of a directory.
std::string checkLeft(const fs::path& dir, const std::vector<std::string>& patterns) {
  std::vector<std::string> names;
  std::error_code code;
  for (const auto& entry : fs::directory_iterator(dir, code))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  std::string problems;
  std::vector<bool> matched(names.size(), false);
  for (const std::string& pattern : patterns) {
    int hits = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (!wildcardMatch(pattern, names[i])) continue;
      ++hits;
      matched[i] = true;
    }
    if (hits != 1) problems += "  '" + pattern + "' matches " + std::to_string(hits) + " entries, not 1\n";
  }
  for (std::size_t i = 0; i < names.size(); ++i)
    if (!matched[i]) problems += "  left but not expected: " + names[i] + "\n";
  if (!problems.empty()) {
    problems = "entries of " + dir.string() + ":\n" + problems + "  found:";
    for (const std::string& name : names) problems += " " + name;
    if (names.empty()) problems += " nothing";
  }
  return problems;
}

bool writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  std::error_code code;
  fs::permissions(path, kFileMode, code);
  return static_cast<bool>(out) && !code;
}

// The expected Request message built from the `rows` section.
bool expectedRequest(const Section& rows, Expander* expand, std::string* message) {
  long count = -1;
  std::map<long, std::string> values;
  for (const Line& line : rows.lines) {
    if (line.text.empty()) continue;
    std::size_t equals = line.text.find('=');
    std::string key = line.text.substr(0, equals);
    if (equals == std::string::npos || key.empty() ||
        (key != "count" && key.find_first_not_of("0123456789") != std::string::npos) || key.size() > 6) {
      expand->fail(line.number, "expected count=N or ROW=VALUE");
      return false;
    }
    std::string value;
    if (!expand->line(Line{line.number, line.text.substr(equals + 1)}, false, &value)) return false;
    if (key == "count") {
      if (value.empty() || value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos) {
        expand->fail(line.number, "count must be a number");
        return false;
      }
      count = std::stol(value);
    } else if (!values.emplace(std::stol(key), value).second) {
      expand->fail(line.number, "row " + key + " given twice");
      return false;
    }
  }
  if (count < 0) {
    expand->fail(rows.number, "the rows section needs count=N");
    return false;
  }
  if (!values.empty() && values.rbegin()->first >= count) {
    expand->fail(rows.number, "row " + std::to_string(values.rbegin()->first) + " is beyond count");
    return false;
  }
  *message = "3\x01";
  for (long i = 0; i < count; ++i) {
    auto found = values.find(i);
    if (found != values.end()) *message += found->second;
    *message += wire::kValueSeparator;
  }
  *message += '\x01';
  return true;
}

struct CaseParam {
  std::string name;
  fs::path path;
};

// Names the case in GoogleTest's messages instead of dumping its bytes.
void PrintTo(const CaseParam& param, std::ostream* out) { *out << param.path.string(); }

class ProcessCase : public ::testing::TestWithParam<CaseParam> {};

TEST_P(ProcessCase, Run) {
  const CaseParam& param = GetParam();
  CaseFile file;
  std::string error;
  ASSERT_TRUE(readCase(param.path, &file, &error)) << param.path.string() << ": " << error;
  if (const Section* title = file.find("title"); !title->lines.empty())
    std::cout << "[ " << param.name << " ] " << title->lines[0].text << "\n";
  if (kavro::test::gatewayIsWindows()) {
    if (file.find("check") != nullptr) GTEST_SKIP() << "kavro3-check is a POSIX program";
    if (const Section* engine = file.find("engine"))
      for (const Line& line : engine->lines)
        if (line.text.rfind("signal ", 0) == 0) GTEST_SKIP() << "POSIX signals";
  }

  TempDir temp("kavro3-" + param.name);
  ASSERT_FALSE(temp.path().empty()) << "cannot create a temp dir";

  Variables variables;
  variables["TMP"] = temp.path();
  // Dead ports are picked only for the cases that use them: a port picked
  // and released could be taken by a test running in parallel.
  bool usesDead = false;
  for (const Section& section : file.sections)
    for (const Line& line : section.lines)
      usesDead = usesDead || line.text.find("${DEAD") != std::string::npos;
  if (usesDead) {
    std::vector<std::uint16_t> dead;
    ASSERT_TRUE(deadPorts(3, &dead, &error)) << error;
    for (std::size_t i = 0; i < dead.size(); ++i)
      variables["DEAD" + std::to_string(i + 1)] = std::to_string(dead[i]);
  }

  bool usesStalled = false;
  for (const Section& section : file.sections)
    for (const Line& line : section.lines)
      usesStalled = usesStalled || line.text.find("${STALLED}") != std::string::npos;
  StalledPort stalled;
  if (usesStalled) {
    ASSERT_TRUE(stalled.open(&error)) << error;
    variables["STALLED"] = std::to_string(stalled.port());
  }

  // The engine listens first, so that its script and every other section
  // can name its port.
  std::unique_ptr<FakeEngine> engine;
  const Section* engineSection = file.find("engine");
  if (engineSection != nullptr) {
    const std::string& portText = engineSection->argument.empty() ? "0" : engineSection->argument;
    ASSERT_TRUE(portText.size() <= 5 && portText.find_first_not_of("0123456789") == std::string::npos &&
                std::stol(portText) < 65536)
        << "bad engine port: " << portText;
    engine = std::make_unique<FakeEngine>();
    ASSERT_TRUE(engine->listen(static_cast<std::uint16_t>(std::stol(portText)), &error)) << error;
    variables["PORT"] = std::to_string(engine->port());
  }

  Expander expand(file, variables);

  if (engine) {
    std::vector<EngineStep> steps;
    for (const Line& line : engineSection->lines) {
      if (line.text.empty()) continue;
      std::size_t blank = line.text.find(' ');
      std::string command = line.text.substr(0, blank), argument;
      if (blank != std::string::npos) {
        ASSERT_TRUE(expand.line(Line{line.number, line.text.substr(blank + 1)}, false, &argument))
            << expand.error();
      }
      EngineStep step;
      ASSERT_TRUE(kavro::test::parseEngineStep(command, argument, &step, &error))
          << expand.where(line.number) << error;
      steps.push_back(std::move(step));
    }
    engine->start(std::move(steps));
  }

  // Files, the registry and the environment.
  for (const Section& section : file.sections) {
    if (section.name != "file") continue;
    std::string name, bytes;
    ASSERT_TRUE(expand.line(Line{section.number, section.argument}, true, &name)) << expand.error();
    fs::path target = fs::path(name);
    ASSERT_TRUE(!name.empty() && target.is_relative() &&
                std::none_of(target.begin(), target.end(), [](const fs::path& p) { return p == ".."; }))
        << expand.where(section.number) << "a file section needs a name inside the temp dir";
    ASSERT_TRUE(expand.joined(section, false, "", &bytes)) << expand.error();
    for (fs::path dir = target.parent_path(); !dir.empty(); dir = dir.parent_path()) {
      std::error_code code;
      fs::create_directories(fs::path(temp.path()) / dir, code);
      fs::permissions(fs::path(temp.path()) / dir, kDirectoryMode, code);
    }
    ASSERT_TRUE(writeFile(fs::path(temp.path()) / target, bytes)) << "cannot write " << name;
  }
  const fs::path registryPath = temp / "kavro3.reg";
  if (const Section* registry = file.find("registry")) {
    std::string text;
    ASSERT_TRUE(expand.joined(*registry, true, "\n", &text)) << expand.error();
    ASSERT_TRUE(writeFile(registryPath, text + "\n")) << "cannot write the registry file";
  }
  std::vector<std::string> environment;
  if (const Section* env = file.find("env")) {
    for (const Line& line : env->lines) {
      if (line.text.empty()) continue;
      std::string item;
      ASSERT_TRUE(expand.line(line, false, &item)) << expand.error();
      ASSERT_TRUE(item.find('=') != std::string::npos && item.find('\0') == std::string::npos)
          << expand.where(line.number) << "an env line is NAME=VALUE without zero bytes";
      std::string name = item.substr(0, item.find('='));
      ASSERT_FALSE(kavro::test::runnerVariable(name))
          << expand.where(line.number) << name << " is set by the runner";
      environment.push_back(item);
    }
  }

  // The directory whose entries are checked after the run, empty before it.
  const Section* leftSection = file.find("left");
  std::vector<std::string> leftPatterns;
  fs::path leftDir;
  if (leftSection != nullptr) {
    std::string name;
    ASSERT_TRUE(expand.line(Line{leftSection->number, leftSection->argument}, true, &name)) << expand.error();
    leftDir = temp / name;
    ASSERT_TRUE(!name.empty() && fs::path(name).is_relative() && name.find("..") == std::string::npos)
        << expand.where(leftSection->number) << "a left section needs a directory inside the temp dir";
    fs::create_directories(leftDir);
    for (const Line& line : leftSection->lines) {
      if (line.text.empty()) continue;
      std::string pattern;
      ASSERT_TRUE(expand.line(line, true, &pattern)) << expand.error();
      leftPatterns.push_back(pattern);
    }
  }

  std::string input;
  if (const Section* in = file.find("stdin")) {
    ASSERT_TRUE(expand.joined(*in, false, "", &input)) << expand.error();
  }

  // What is expected.
  std::string expectedOutput;
  ASSERT_TRUE(expand.joined(*file.find("stdout"), false, "", &expectedOutput)) << expand.error();
  const Section* errorsSection = file.find("stderr");
  std::string expectedErrors;
  if (errorsSection != nullptr) {
    ASSERT_TRUE(expand.joined(*errorsSection, false, "", &expectedErrors)) << expand.error();
  }
  int expectedExit = 0;
  if (const Section* exit = file.find("exit")) {
    std::string text;
    ASSERT_TRUE(expand.joined(*exit, false, "", &text)) << expand.error();
    ASSERT_TRUE(!text.empty() && text.size() <= 3 &&
                text.find_first_not_of("0123456789") == std::string::npos)
        << expand.where(exit->number) << "the exit section holds one number";
    expectedExit = std::stoi(text);
  }
  const Section* framesSection = file.find("frames");
  const Section* rowsSection = file.find("rows");
  std::vector<std::string> expectedFrames;
  std::vector<bool> isRequest;
  if (framesSection != nullptr) {
    ASSERT_NE(engineSection, nullptr) << "a frames section needs an engine section";
    for (const Line& line : framesSection->lines) {
      if (line.text.empty()) continue;
      std::string frame;
      if (line.text == "@request") {
        ASSERT_NE(rowsSection, nullptr) << expand.where(line.number) << "@request needs a rows section";
        ASSERT_TRUE(expectedRequest(*rowsSection, &expand, &frame)) << expand.error();
        isRequest.push_back(true);
      } else {
        ASSERT_TRUE(expand.line(line, false, &frame)) << expand.error();
        isRequest.push_back(false);
      }
      expectedFrames.push_back(frame);
    }
  }
  ASSERT_TRUE(rowsSection == nullptr || std::count(isRequest.begin(), isRequest.end(), true) > 0)
      << "a rows section is used only through @request in the frames section";

  // The run: the gateway, or kavro3-check with the case's arguments.
  std::string program;
  std::vector<std::string> arguments;
  if (const Section* check = file.find("check")) {
    program = KAVRO3_CHECK_PATH;
    for (const Line& line : check->lines) {
      if (line.text.empty()) continue;
      std::string argument;
      ASSERT_TRUE(expand.line(line, false, &argument)) << expand.error();
      arguments.push_back(argument);
    }
  }
  kavro::test::ChildResult result;
  FakeEngine* peer = engine.get();
  bool ran = kavro::test::runGateway(registryPath.string(), environment, input, &result, kTimeoutSeconds,
                                     &error, program, arguments, [peer](long pid) {
                                       if (peer) peer->setPeer(pid);
                                     });
  if (engine) engine->stop();
  ASSERT_TRUE(ran) << error;
  if (program.empty()) program = "the gateway";

  EXPECT_FALSE(result.timedOut) << program << " ran longer than " << kTimeoutSeconds << " s and was killed";
  EXPECT_TRUE(result.output == expectedOutput) << "standard output differs\n"
                                               << describeDifference(expectedOutput, result.output);
  if (errorsSection != nullptr) {
    EXPECT_TRUE(result.errors == expectedErrors) << "standard error differs\n"
                                                 << describeDifference(expectedErrors, result.errors);
  }
  EXPECT_EQ(result.exitStatus, expectedExit)
      << "exit status (86: ASan, 87: UBSan, 88: LSan finding; see standard error)";
  if (leftSection != nullptr) {
    std::string problems = checkLeft(leftDir, leftPatterns);
    EXPECT_TRUE(problems.empty()) << problems;
  }

  if (engine) {
    for (const std::string& problem : engine->problems()) ADD_FAILURE() << "fake engine: " << problem;
    if (framesSection != nullptr) {
      std::vector<std::string> frames = engine->frames();
      EXPECT_EQ(frames.size(), expectedFrames.size()) << "number of Frames the engine received";
      for (std::size_t i = 0; i < std::max(frames.size(), expectedFrames.size()); ++i) {
        if (i >= frames.size()) {
          ADD_FAILURE() << "Frame " << i + 1 << " never arrived; expected:\n" << showBytes(expectedFrames[i]);
        } else if (i >= expectedFrames.size()) {
          ADD_FAILURE() << "Frame " << i + 1 << " was not expected:\n" << showBytes(frames[i]);
        } else if (frames[i] != expectedFrames[i]) {
          ADD_FAILURE() << "Frame " << i + 1 << " differs\n"
                        << (isRequest[i] ? describeRequest(expectedFrames[i], frames[i])
                                         : describeDifference(expectedFrames[i], frames[i]));
        }
      }
    }
  }

  if (HasFailure()) {
    temp.keep();
    writeFile(temp / "actual.stdout", result.output);
    std::cout << "standard error (" << result.errors.size() << " bytes):\n" << result.errors << "\n";
    if (engine) std::cout << "connections accepted by the fake engine: " << engine->connections() << "\n";
  }
}

std::vector<CaseParam> listCases() {
  std::vector<CaseParam> cases;
  std::error_code code;
  for (const auto& entry : fs::directory_iterator(KAVRO3_TEST_DATA_DIR, code)) {
    if (entry.path().extension() != ".case") continue;
    std::string name = entry.path().stem().string();
    for (char& c : name)
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    cases.push_back(CaseParam{name, entry.path()});
  }
  std::sort(cases.begin(), cases.end(),
            [](const CaseParam& a, const CaseParam& b) { return a.name < b.name; });
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, ProcessCase, ::testing::ValuesIn(listCases()),
                         [](const ::testing::TestParamInfo<CaseParam>& info) { return info.param.name; });

}  // namespace
