// The delimiter search: Boyer-Moore-Horspool over the content, with
// Knuth-Morris-Pratt taking over when a body defeats the skips.
#include "decoder/delimiter.h"

#include <cstring>

namespace kavro::decoder {
namespace {

// Above this many bytes compared per byte passed, Horspool's skips have been
// defeated and Knuth-Morris-Pratt takes over.
constexpr std::size_t kCostPerByte = 4;
constexpr std::size_t kCostSlack = 64 * 256;

// Horspool's next position depends on the byte it reads, so the processor
// cannot run ahead on its own: without a hint every step waits for memory.
constexpr std::size_t kPrefetchAhead = 4096;

inline void prefetch(const unsigned char* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// 0 for neither, 1 for CR LF (another part follows), 2 for "--" (the last part).
int tailKind(const char* tail) {
  if (tail[0] == '\r' && tail[1] == '\n') return 1;
  if (tail[0] == '-' && tail[1] == '-') return 2;
  return 0;
}

}  // namespace

void DelimiterScanner::setBoundary(const char* boundary, std::size_t length) {
  if (length > kBoundaryMax) length = kBoundaryMax;
  // Every part of a body has the same D: the tables are built once.
  if (patternLength_ != 0 && length == boundaryLength_ && std::memcmp(boundary, boundary_, length) == 0)
    return;
  std::memcpy(boundary_, boundary, length);
  boundary_[length] = '\0';
  boundaryLength_ = length;
  pattern_[0] = '\r';
  pattern_[1] = '\n';
  std::memcpy(pattern_ + 2, boundary, length);
  patternLength_ = length + 2;
  const std::size_t m = patternLength_;
  for (std::size_t& s : skip_) s = m;
  for (std::size_t j = 0; j + 1 < m; ++j) skip_[static_cast<unsigned char>(pattern_[j])] = m - 1 - j;
  bordersReady_ = false;
}

void DelimiterScanner::start() {
  bareTested_ = false;
  linear_ = false;
  next_ = 0;
  matched_ = 0;
  cost_ = 0;
  discarded_ = 0;
  if (forceLinear_) linear_ = true;
}

std::size_t DelimiterScanner::settled() const {
  // Until the bare delimiters are ruled out, the first byte may begin one.
  if (!bareTested_) return 0;
  return linear_ ? next_ - matched_ : next_;
}

void DelimiterScanner::discard(std::size_t count) {
  next_ -= count;
  discarded_ += count;
}

bool DelimiterScanner::tailEnds(const char* tail, End* end, std::size_t start) const {
  int kind = tailKind(tail);
  if (kind == 0) return false;
  end->length = start;
  end->end = start + patternLength_ + 2;
  end->last = kind == 2;
  return true;
}

bool DelimiterScanner::find(const char* data, std::size_t size, End* end) {
  const std::size_t d = boundaryLength_;
  // The bare delimiters match only when the stored bytes are exactly D CR LF
  // or D "--"; any other delimiter needs more bytes, so this comes first.
  if (!bareTested_) {
    if (size < d + 2) return false;
    bareTested_ = true;
    if (std::memcmp(data, boundary_, d) == 0 && tailEnds(data + d, end, 0)) {
      end->end = d + 2;
      return true;
    }
  }
  if (linear_) return linearFind(data, size, end);

  // Both delimiters end with CR LF D and are the same length, so the earliest
  // end is the earliest CR LF D followed by CR LF or "--".
  const std::size_t m = patternLength_;
  const unsigned char lastByte = static_cast<unsigned char>(pattern_[m - 1]);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  while (next_ + m <= size) {
    // A prefetch past the end of the data is a hint only: it never faults.
    prefetch(bytes + next_ + kPrefetchAhead);
    unsigned char c = bytes[next_ + m - 1];
    if (c == lastByte) {
      cost_ += m;
      if (std::memcmp(data + next_, pattern_, m - 1) == 0) {
        if (next_ + m + 2 > size) return false;  // the two bytes after it are still to come
        if (tailEnds(data + next_ + m, end, next_)) return true;
      }
      if (cost_ > kCostPerByte * (discarded_ + next_) + kCostSlack) {
        // Every alignment before next_ is ruled out; go on from there.
        linear_ = true;
        matched_ = 0;
        return linearFind(data, size, end);
      }
    }
    next_ += skip_[c];
  }
  return false;
}

bool DelimiterScanner::linearFind(const char* data, std::size_t size, End* end) {
  const std::size_t m = patternLength_;
  if (!bordersReady_) {
    border_[0] = 0;
    border_[1] = 0;
    std::size_t k = 0;
    for (std::size_t i = 1; i < m; ++i) {
      while (k > 0 && pattern_[k] != pattern_[i]) k = border_[k];
      if (pattern_[k] == pattern_[i]) ++k;
      border_[i + 1] = k;
    }
    bordersReady_ = true;
  }
  for (;;) {
    if (matched_ == m) {
      if (next_ + 2 > size) return false;
      if (tailEnds(data + next_, end, next_ - m)) return true;
      matched_ = border_[m];
    }
    if (next_ >= size) return false;
    char c = data[next_];
    while (matched_ > 0 && pattern_[matched_] != c) matched_ = border_[matched_];
    if (pattern_[matched_] == c) ++matched_;
    ++next_;
  }
}

}  // namespace kavro::decoder
