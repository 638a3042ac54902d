// What the fuzz targets share: reading the control bytes at the front of an
// input, and running the decoder on a request in memory, so that its fatal
// error comes back here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/fake_request.h"

namespace kavro::fuzz {

// Control bytes first, then lines, then the rest. Past the end every byte
// reads as 0 and every line as empty.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Up to '\n' (not included) or `max` bytes.
  std::string line(std::size_t max) {
    std::string text;
    while (at_ < size_ && text.size() < max) {
      char c = static_cast<char>(data_[at_++]);
      if (c == '\n') break;
      text.push_back(c);
    }
    return text;
  }
  std::string rest() {
    std::string text(reinterpret_cast<const char*>(data_) + at_, size_ - at_);
    at_ = size_;
    return text;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Runs `decode`; true when it returned, false when it ended the request
// (qError). The decoder is reset either way by the caller, after looking at
// the result.
template <typename F>
bool runDecoder(F decode) {
  try {
    decode();
    return true;
  } catch (const test::FakeRequest::Ended&) {
    return false;
  }
}

// A check that must hold whatever the input: a failure is a finding.
inline void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace kavro::fuzz
