// What the runner finds wrong after a run, in words and readable bytes.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kavro::test {

// Escaped bytes, broken into lines after each newline byte; long texts show
// a window around `focus`.
std::string showBytes(const std::string& bytes, std::size_t focus = 0);

// Where two texts first differ, and both around that place.
std::string describeDifference(const std::string& expected, const std::string& actual);

// The Frames received against those expected, one message per Frame that
// differs, is missing or was not expected; a Request (`isRequest`) is
// compared row by row.
std::vector<std::string> compareFrames(const std::vector<std::string>& expected,
                                       const std::vector<bool>& isRequest,
                                       const std::vector<std::string>& actual);

// '*' in `pattern` matches any run of bytes, everything else itself.
bool wildcardMatch(const std::string& pattern, const std::string& name);

// What is wrong with the entries of `dir` against the `left` lines ('*'
// matching any run of characters; each pattern matches exactly one entry and
// every entry is matched; "PATTERN sha256=HEX" also wants that digest):
// empty when nothing is. Each entry matched goes into `matchedBy` with its
// pattern.
std::string checkLeft(const std::filesystem::path& dir, const std::vector<std::string>& lines,
                      std::map<std::string, std::string>* matchedBy);

// A left file named in a Frame reads as the pattern it matched: `0*` for a
// spooled path's index and request identifier, which change with the second.
void namesAsPatterns(const std::map<std::string, std::string>& matchedBy, std::vector<std::string>* frames);

}  // namespace kavro::test
