// Reading a multipart body: the request's body in large blocks, bounded by
// CONTENT_LENGTH when it is given, or mapped whole when it is a regular file.
#include "decoder/body_input.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "decoder/decimal.h"
#include "decoder/internal.h"
#include "decoder/state.h"
#include "platform/platform.h"

namespace kavro::decoder {
namespace {

void releaseMappingIfUnused() {
  InputMapping& mapping = state().mapping;
  if (mapping.base == nullptr || !mapping.finished || mapping.borrowed != 0) return;
  state().request->unmapBody(mapping.base, mapping.size);
  mapping = InputMapping{};
}

std::size_t readRequestBody(BodyInput* in, char* buffer, std::size_t size) {
  if (!in->lengthChecked) {
    in->lengthChecked = true;
    const char* announced = variable("CONTENT_LENGTH");
    in->lengthLeft = announced ? static_cast<unsigned long long>(readDecimal(announced, 0, LLONG_MAX)) : 0;
    in->lengthKnown = in->lengthLeft > 0;
  }
  std::size_t want = size;
  if (in->lengthKnown) {
    // Past the announced length, bytes are asked for one at a time, as they
    // are needed.
    if (in->lengthLeft == 0)
      want = 1;
    else if (in->lengthLeft < want)
      want = static_cast<std::size_t>(in->lengthLeft);
  }
  std::size_t got = state().request->readBody(buffer, want);
  in->lengthLeft -= got < in->lengthLeft ? got : in->lengthLeft;
  return got;
}

// The body as the block, when it lies in a regular file that can be mapped.
bool mapBody(BodyInput* in) {
  std::size_t size = 0;
  char* base = state().request->mapBody(&size);
  if (base == nullptr) return false;
  state().mapping = InputMapping{base, size, 0, false};
  in->mapped = true;
  in->wasMapped = true;
  in->block = base;
  in->blockSize = size;
  in->pos = 0;
  in->len = size;
  in->ended = true;
  return true;
}

}  // namespace

void finishInput(BodyInput* in) {
  if (in->mapped) {
    in->mapped = false;
    state().mapping.finished = true;
    releaseMappingIfUnused();
  } else {
    std::free(in->block);
  }
  in->block = nullptr;
  in->blockSize = kBlockSize;
  in->pos = in->len = 0;
}

std::size_t readBody(BodyInput* in, char* buffer, std::size_t size) {
  if (in->ended || size == 0) return 0;
  std::size_t got = readRequestBody(in, buffer, size);
  if (got > size) got = size;
  if (got == 0) in->ended = true;
  return got;
}

void ensureBlock(BodyInput* in) {
  if (in->block != nullptr) return;
  // A mapping still holding values of an earlier decode (tests only) is not
  // replaced: the input is then read as a stream.
  bool mayMap = !in->mappingTried && state().mapping.base == nullptr;
  in->mappingTried = true;
  if (mayMap && mapBody(in)) return;
  in->block = static_cast<char*>(platform::memAlloc(in->blockSize));
  if (in->block == nullptr) qError(kMultipartNoMemory);
}

bool fillBlock(BodyInput* in) {
  std::size_t got = readBody(in, in->block + in->len, in->blockSize - in->len);
  in->len += got;
  return got != 0;
}

bool returnToBlock(BodyInput* in, const char* bytes, std::size_t count) {
  if (count > in->blockSize) {
    // Not expected: a read never passes the delimiter by more than a block.
    char* bigger = static_cast<char*>(platform::memRealloc(in->block, count));
    if (bigger == nullptr) return false;
    in->block = bigger;
    in->blockSize = count;
  }
  std::memcpy(in->block, bytes, count);
  in->pos = 0;
  in->len = count;
  return true;
}

void borrowMappedValue() { ++state().mapping.borrowed; }

void releaseBorrowedValue(char*) {
  if (state().mapping.borrowed > 0) --state().mapping.borrowed;
  releaseMappingIfUnused();
}

bool bodyWasMapped() { return state().input.wasMapped; }

}  // namespace kavro::decoder

namespace kavro {

char* _read_line(char* buffer, std::size_t size, decoder::BodyInput* stream) {
  if (size == 0) return nullptr;
  decoder::ensureBlock(stream);
  std::size_t stored = 0;
  while (stored + 1 < size) {
    if (stream->pos == stream->len) {
      stream->pos = stream->len = 0;
      if (!decoder::fillBlock(stream)) break;
    }
    const char* from = stream->block + stream->pos;
    std::size_t take = stream->len - stream->pos;
    if (take > size - 1 - stored) take = size - 1 - stored;
    const void* lineFeed = std::memchr(from, '\n', take);
    if (lineFeed != nullptr) take = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - from) + 1;
    std::memcpy(buffer + stored, from, take);
    stored += take;
    stream->pos += take;
    if (lineFeed != nullptr) break;
  }
  buffer[stored] = '\0';
  return buffer[0] == '\0' ? nullptr : buffer;
}

}  // namespace kavro
