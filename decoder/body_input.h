// The body of a multipart request as the parser reads it: the request's body
// in large blocks, or mapped whole when it lies in a regular file.
#pragma once

#include <cstddef>

namespace kavro::decoder {

// The look-ahead block: large enough that reading costs few calls, small
// beside the contents it carries over from one value to the next.
inline constexpr std::size_t kBlockSize = std::size_t{1} << 20;

// From this size on, a value found in standard input mapped whole stays where
// it is instead of being copied out.
inline constexpr std::size_t kBorrowMin = std::size_t{64} << 10;

// The body's source and the bytes taken from it but not used yet.
struct BodyInput {
  // A body that lies in a regular file is mapped whole and becomes the
  // block: nothing is read, and long values are left in place.
  bool mappingTried = false;
  bool mapped = false;
  bool wasMapped = false;
  char* block = nullptr;
  std::size_t blockSize = kBlockSize;
  std::size_t pos = 0;  // block[pos, len) is read but not used yet
  std::size_t len = 0;
  bool ended = false;
  // The body can be read only once; a later decode finds it consumed.
  bool bodyRead = false;
  // CONTENT_LENGTH, when given, only bounds how far ahead the body is read:
  // a web server may keep the pipe open after the body, and a reader
  // that asked for more than was sent would wait for ever.
  bool lengthChecked = false;
  bool lengthKnown = false;
  unsigned long long lengthLeft = 0;
  // Tests and fuzz targets lower it to reach the borrowed values with small
  // bodies, and lower blockSize to cross block ends with them.
  std::size_t borrowMin = kBorrowMin;
};

// The body mapped whole, kept while values lie in it.
struct InputMapping {
  char* base = nullptr;
  std::size_t size = 0;
  std::size_t borrowed = 0;  // entries whose value lies in it
  bool finished = false;     // no longer the decoder's input
};

// Makes the block ready: the mapping when the body can be mapped,
// otherwise a block from the allocator (fatal when there is none).
void ensureBlock(BodyInput* in);
// More bytes after block[len]; the caller has left room there. False once the
// body has ended.
bool fillBlock(BodyInput* in);
// Up to `size` more bytes at `buffer`; 0 once the body has ended.
std::size_t readBody(BodyInput* in, char* buffer, std::size_t size);
// Puts bytes read past a delimiter back in front of the (empty) look-ahead.
// False when the look-ahead could not grow to hold them.
bool returnToBlock(BodyInput* in, const char* bytes, std::size_t count);
// The decode is over: the look-ahead goes, and a mapping goes as soon as no
// value lies in it.
void finishInput(BodyInput* in);

// A value left in the mapping: counted while its entry lives.
void borrowMappedValue();
// An entry whose value lay in the mapping is released; the mapping goes with
// the last of them.
void releaseBorrowedValue(char* value);

// Whether the body last decoded was mapped whole.
bool bodyWasMapped();

}  // namespace kavro::decoder
