// The search for the delimiter that ends a multipart part's content.
#pragma once

#include <cstddef>

namespace kavro::decoder {

// Finds where a part's content ends in the bytes stored for it so far, with
// the result of testing, after every stored LF or '-', whether the stored
// bytes end with CR LF D CR LF or CR LF D "--", or are exactly D CR LF or
// D "--". The content is searched for CR LF D with Boyer-Moore-Horspool; when
// verifications cost more than the bytes passed (a body made to defeat the
// skips), the rest is searched with Knuth-Morris-Pratt, which is linear
// whatever the bytes.
class DelimiterScanner {
 public:
  // D is at most this long: a boundary parameter of 249 characters and "--".
  static constexpr std::size_t kBoundaryMax = 251;

  // The text D; `length` at most kBoundaryMax (the caller checks).
  void setBoundary(const char* boundary, std::size_t length);
  // A new content begins.
  void start();
  // Tests: search with Knuth-Morris-Pratt from the start.
  void forceLinearForTests(bool linear) { forceLinear_ = linear; }
  bool linear() const { return linear_; }

  struct End {
    std::size_t length;  // content bytes before the delimiter
    std::size_t end;     // bytes up to and including the delimiter
    bool last;           // a closing delimiter
  };
  // `data` holds the `size` bytes stored since start(), but for those
  // discarded: those of earlier calls (possibly elsewhere in memory) and
  // perhaps more. True with the earliest end, counted from `data`.
  bool find(const char* data, std::size_t size, End* end);

  // How many of the bytes at the front of the data are content for certain:
  // no delimiter can begin among them, whatever follows.
  std::size_t settled() const;
  // The first `count` bytes (at most settled()) are gone: the next find()
  // gets the data from the byte after them.
  void discard(std::size_t count);

 private:
  bool linearFind(const char* data, std::size_t size, End* end);
  bool tailEnds(const char* tail, End* end, std::size_t start) const;

  static constexpr std::size_t kPatternMax = kBoundaryMax + 2;  // CR LF D
  char boundary_[kBoundaryMax + 1] = {};
  std::size_t boundaryLength_ = 0;
  char pattern_[kPatternMax] = {};
  std::size_t patternLength_ = 0;
  std::size_t skip_[256] = {};
  std::size_t border_[kPatternMax + 1] = {};  // KMP: longest proper border of each prefix
  bool bordersReady_ = false;
  bool forceLinear_ = false;

  bool bareTested_ = false;
  bool linear_ = false;
  std::size_t next_ = 0;     // Horspool: next alignment; KMP: next byte to take
  std::size_t matched_ = 0;  // KMP: pattern bytes matched before next_
  std::size_t cost_ = 0;     // bytes Horspool may have compared
  std::size_t discarded_ = 0;
};

}  // namespace kavro::decoder
