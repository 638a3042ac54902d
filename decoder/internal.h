// What the decoder's own files share beyond the public interface.
#pragma once

#include <cstddef>

#include "decoder/decoder.h"

namespace kavro::decoder {

Q_entry* head();

// Appends to the process-wide list (making the head when it is empty) an
// entry whose value buffer holds `valueSize` bytes before its terminator.
// An empty name stores nothing and frees both texts.
void appendEntry(char* name, char* value, std::size_t valueSize);

// Whether an entry named "Q_UPLOAD_ID" has been appended to the process-wide
// list since it was last released: the same answer as a lookup, without
// walking the list.
bool uploadIdSeen();

int atoiSaturating(const char* text);

}  // namespace kavro::decoder

// ------------------------------------------------------------ multipart bodies

namespace kavro::decoder {

// Appends like appendEntry, for a value that is a platform large buffer of
// `capacity` bytes (released with largeFree, never std::free), or with
// `capacity` kBorrowedValue, a value inside the mapped standard input.
void appendLargeEntry(char* name, char* value, std::size_t valueSize, std::size_t capacity);

// A value that lies inside standard input mapped whole: it is given back with
// releaseBorrowedValue, and the mapping goes with the last of them.
constexpr std::size_t kBorrowedValue = ~std::size_t{0};
void releaseBorrowedValue(char* value);

// A multipart body's source: places 1 to `size` bytes at `buffer` and returns
// their count, or returns 0 once the body has ended.
using BodyReader = std::size_t (*)(void* context, char* buffer, std::size_t size);

// The body's source and the bytes taken from it but not used yet. By default
// standard input, read in large blocks, or mapped whole when it is a file.
struct BodyInput;
BodyInput* bodyInput();

// For tests: the next multipart decode reads its body from `reader` (null:
// standard input) through a look-ahead block of `blockSize` bytes (0: the
// usual size), as a body not read before.
void setBodyReaderForTests(BodyReader reader, void* context, std::size_t blockSize);
// Whether the body last decoded was standard input mapped whole.
bool bodyWasMapped();

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
  // `data` holds the `size` bytes stored since start(): those of earlier calls
  // (possibly elsewhere in memory) and perhaps more. True with the earliest end.
  bool find(const char* data, std::size_t size, End* end);

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
};

}  // namespace kavro::decoder

namespace kavro {

// Reads bytes of the body until `size` - 1 are stored, a LF is stored, or the
// body ends; terminates the text. Null when the text is empty (the body had
// ended, or its first byte is NUL).
char* _read_line(char* buffer, std::size_t size, decoder::BodyInput* stream);

// Reads one part's content up to its delimiter into a new buffer holding the
// content and a NUL. Sets *last when the delimiter was the closing one,
// *length to the content's byte count, *largeCapacity to the buffer's
// capacity when it is a platform large buffer, kBorrowedValue when the
// content was left in the mapped standard input, else 0. A body that ends
// first is fatal.
char* _parse_multipart_value_into_memory(const char* boundary, int* last, std::size_t* length,
                                         std::size_t* largeCapacity);

}  // namespace kavro
