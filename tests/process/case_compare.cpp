#include "tests/process/case_compare.h"

#include <algorithm>
#include <sstream>

#include "engine/sha256.h"
#include "tests/support/bytes.h"
#include "tests/support/temp_dir.h"
#include "wire/wire.h"

namespace kavro::test {
namespace {

namespace fs = std::filesystem;

std::size_t firstDifference(const std::string& a, const std::string& b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return i;
  return n;
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

bool payloadOf(const std::string& message, std::string* payload) {
  if (message.size() < 3 || message.compare(0, 2, "3\x01") != 0 || message.back() != '\x01') return false;
  *payload = message.substr(2, message.size() - 3);
  return true;
}

// Row by row comparison of two Request messages.
std::string describeRequest(const std::string& expected, const std::string& actual) {
  std::ostringstream out;
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

}  // namespace

std::string showBytes(const std::string& bytes, std::size_t focus) {
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

std::string describeDifference(const std::string& expected, const std::string& actual) {
  std::size_t at = firstDifference(expected, actual);
  return "  first difference at byte " + std::to_string(at) + " (expected " +
         std::to_string(expected.size()) + " bytes, got " + std::to_string(actual.size()) +
         ")\n  expected:\n" + showBytes(expected, at) + "  actual:\n" + showBytes(actual, at);
}

std::vector<std::string> compareFrames(const std::vector<std::string>& expected,
                                       const std::vector<bool>& isRequest,
                                       const std::vector<std::string>& actual) {
  std::vector<std::string> problems;
  if (actual.size() != expected.size())
    problems.push_back("the engine received " + std::to_string(actual.size()) + " Frames, not " +
                       std::to_string(expected.size()));
  for (std::size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
    std::string frame = "Frame " + std::to_string(i + 1);
    if (i >= actual.size()) {
      problems.push_back(frame + " never arrived; expected:\n" + showBytes(expected[i]));
    } else if (i >= expected.size()) {
      problems.push_back(frame + " was not expected:\n" + showBytes(actual[i]));
    } else if (actual[i] != expected[i]) {
      problems.push_back(frame + " differs\n" +
                         (isRequest[i] ? describeRequest(expected[i], actual[i])
                                       : describeDifference(expected[i], actual[i])));
    }
  }
  return problems;
}

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

std::string checkLeft(const fs::path& dir, const std::vector<std::string>& lines,
                      std::map<std::string, std::string>* matchedBy) {
  std::vector<std::string> names;
  std::error_code code;
  for (const auto& entry : fs::directory_iterator(dir, code))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  std::string problems;
  std::vector<bool> matched(names.size(), false);
  for (const std::string& line : lines) {
    std::size_t digestAt = line.find(" sha256=");
    std::string pattern = line.substr(0, digestAt);
    int hits = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (!wildcardMatch(pattern, names[i])) continue;
      ++hits;
      matched[i] = true;
      (*matchedBy)[names[i]] = pattern;
      if (digestAt == std::string::npos) continue;
      std::string digest = engine::sha256Hex(readFile(dir / names[i]));
      if (line.compare(digestAt + 8, std::string::npos, digest) != 0)
        problems += "  " + names[i] + " has sha256=" + digest + "\n";
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

void namesAsPatterns(const std::map<std::string, std::string>& matchedBy, std::vector<std::string>* frames) {
  for (std::string& frame : *frames)
    for (const auto& [name, pattern] : matchedBy)
      for (std::size_t at = frame.find(name); at != std::string::npos;
           at = frame.find(name, at + pattern.size()))
        frame.replace(at, name.size(), pattern);
}

}  // namespace kavro::test
