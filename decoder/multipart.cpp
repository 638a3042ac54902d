// multipart/form-data bodies: the cookies, the query string, then one entry
// per part, and three companion entries for each uploaded file.
//
// The results are those of reading the body one byte at a time and testing
// the stored bytes for a delimiter after every LF or '-'. The body is read
// in large blocks instead, and each content is searched for its delimiter;
// a long content is read straight into its own buffer, which the entry then
// adopts, so no content is ever copied twice. Standard input that is a file
// is not read at all but mapped, and long contents stay where they lie.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decoder/decoder.h"
#include "decoder/internal.h"
#include "platform/platform.h"

namespace kavro {
namespace decoder {
namespace {

constexpr char kBrokenStream[] = "_parse_multipart_data(): Broken stream.";
constexpr char kNoMemory[] = "_parse_multipart_data(): Memory allocation fail.";
constexpr char kFormatInvalid[] = "_parse_multipart_data(): String format invalid.";
constexpr char kTooLong[] =
    "_parse_multipart_data(): The boundary string is too long(Overflow Attack?). Stopping process.";
constexpr char kNotHttp[] = "_parse_multipart_data(): Your browser sent a non-HTTP compliant message.";
constexpr char kNoUploadBase[] = "_parse_multipart_data(): qSetUploadBase() must be called before.";

// Each delimiter text (D plus at most 6 characters and a NUL) fits a buffer
// of this size; a boundary parameter of 250 characters or more does not.
constexpr std::size_t kDelimiterBufferSize = 256;
constexpr std::size_t kDelimiterExtra = 6;
static_assert(kDelimiterBufferSize - kDelimiterExtra - 1 + 2 == DelimiterScanner::kBoundaryMax);

constexpr std::size_t kLineBufferSize = 1024;
// Offset of the field name in a Content-Disposition line: the 21 characters
// of "Content-Disposition: ", then 17 that a browser fills with
// form-data; name=" and that are not examined.
constexpr std::size_t kNameOffset = 38;

constexpr char kDisposition[] = "Content-Disposition: ";
constexpr char kContentType[] = "Content-Type: ";
constexpr char kFileNameMark[] = "; filename=\"";

// The look-ahead block: large enough that reading costs few calls, small
// beside the contents it carries over from one value to the next.
constexpr std::size_t kBlockSize = std::size_t{1} << 20;
// From this size on, a value found in standard input mapped whole stays where
// it is instead of being copied out.
constexpr std::size_t kBorrowMin = std::size_t{64} << 10;

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

// ------------------------------------------------------------ delimiter search

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
  if (forceLinear_) linear_ = true;
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
      if (cost_ > kCostPerByte * next_ + kCostSlack) {
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

// ------------------------------------------------------------ body input

struct BodyInput {
  BodyReader reader = nullptr;  // null: standard input
  void* context = nullptr;
  // Standard input that is a regular file is mapped whole and becomes the
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
  // CONTENT_LENGTH, when given, only bounds how far ahead standard input is
  // read: a web server may keep the pipe open after the body, and a reader
  // that asked for more than was sent would wait for ever.
  bool lengthChecked = false;
  bool lengthKnown = false;
  unsigned long long lengthLeft = 0;
};

namespace {

BodyInput gInput;
DelimiterScanner gScanner;

// Standard input mapped whole, kept while values lie in it.
struct InputMapping {
  char* base = nullptr;
  std::size_t size = 0;
  std::size_t borrowed = 0;  // entries whose value lies in it
  bool finished = false;     // no longer the decoder's input
};
InputMapping gMapping;

void releaseMappingIfUnused() {
  if (gMapping.base == nullptr || !gMapping.finished || gMapping.borrowed != 0) return;
  platform::largeUnmapStandardInput(gMapping.base, gMapping.size);
  gMapping = InputMapping{};
}

// The decode is over: the look-ahead goes, and a mapping goes as soon as no
// value lies in it.
void finishInput(BodyInput* in) {
  if (in->mapped) {
    in->mapped = false;
    gMapping.finished = true;
    releaseMappingIfUnused();
  } else {
    std::free(in->block);
  }
  in->block = nullptr;
  in->blockSize = kBlockSize;
  in->pos = in->len = 0;
}

unsigned long long parseContentLength(const char* text, bool* known) {
  *known = false;
  if (text == nullptr) return 0;
  while (*text == ' ' || *text == '\t') ++text;
  if (*text < '0' || *text > '9') return 0;
  unsigned long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    unsigned digit = static_cast<unsigned>(*text - '0');
    if (value > (~0ULL - digit) / 10) return 0;  // absurdly long: no bound
    value = value * 10 + digit;
  }
  *known = value > 0;
  return value;
}

std::size_t readStandardInput(BodyInput* in, char* buffer, std::size_t size) {
  if (!in->lengthChecked) {
    in->lengthChecked = true;
    in->lengthLeft = parseContentLength(std::getenv("CONTENT_LENGTH"), &in->lengthKnown);
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
  std::size_t got = std::fread(buffer, 1, want, stdin);
  in->lengthLeft -= got < in->lengthLeft ? got : in->lengthLeft;
  return got;
}

// Up to `size` more bytes at `buffer`; 0 once the body has ended.
std::size_t readBody(BodyInput* in, char* buffer, std::size_t size) {
  if (in->ended || size == 0) return 0;
  std::size_t got = in->reader ? in->reader(in->context, buffer, size) : readStandardInput(in, buffer, size);
  if (got > size) got = size;
  if (got == 0) in->ended = true;
  return got;
}

void ensureBlock(BodyInput* in) {
  if (in->block != nullptr) return;
  // A mapping still holding values of an earlier decode (tests only) is not
  // replaced: the input is then read as a stream.
  if (in->reader == nullptr && !in->mappingTried && gMapping.base == nullptr) {
    in->mappingTried = true;
    std::size_t size = 0;
    char* base = static_cast<char*>(platform::largeMapStandardInput(&size));
    if (base != nullptr) {
      gMapping = InputMapping{base, size, 0, false};
      in->mapped = true;
      in->wasMapped = true;
      in->block = base;
      in->blockSize = size;
      in->pos = 0;
      in->len = size;
      in->ended = true;
      return;
    }
  }
  in->mappingTried = true;
  in->block = static_cast<char*>(std::malloc(in->blockSize));
  if (in->block == nullptr) qError(kNoMemory);
}

// More bytes after block[len]; the caller has left room there.
bool fillBlock(BodyInput* in) {
  std::size_t got = readBody(in, in->block + in->len, in->blockSize - in->len);
  in->len += got;
  return got != 0;
}

// Puts bytes read past a delimiter back in front of the look-ahead; the block
// is empty, as the whole look-ahead went into the value before.
void returnToBlock(BodyInput* in, const char* bytes, std::size_t count) {
  if (count > in->blockSize) {
    // Not expected: a read never passes the delimiter by more than a block.
    char* bigger = static_cast<char*>(std::realloc(in->block, count));
    if (bigger == nullptr) qError(kNoMemory);
    in->block = bigger;
    in->blockSize = count;
  }
  std::memcpy(in->block, bytes, count);
  in->pos = 0;
  in->len = count;
}

// The state of the part being read. Process-wide, so that nothing is lost
// from sight when qError ends the process half-way.
struct PartState {
  char name[kLineBufferSize];
  char fileName[kLineBufferSize];
  char contentType[kLineBufferSize];
};
PartState gPart;

// Copies at most `count` bytes of `text` (fewer at its NUL) into `target`,
// cut to fit, and terminates it.
void copyText(char* target, std::size_t targetSize, const char* text, std::size_t count) {
  std::size_t length = 0;
  while (length < count && text[length] != '\0') ++length;
  if (length > targetSize - 1) length = targetSize - 1;
  std::memcpy(target, text, length);
  target[length] = '\0';
}

char* heapCopy(const char* text) {
  std::size_t length = std::strlen(text);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) qError(kNoMemory);
  std::memcpy(copy, text, length + 1);
  return copy;
}

char* heapFormat(const char* name, const char* suffix) {
  std::size_t size = std::strlen(name) + std::strlen(suffix) + 1;
  char* text = static_cast<char*>(std::malloc(size));
  if (text == nullptr) qError(kNoMemory);
  std::snprintf(text, size, "%s%s", name, suffix);
  return text;
}

void readDisposition(const char* line) {
  // The 17 characters after the prefix are not examined: a line shorter than
  // the name's offset has an empty name.
  std::size_t length = std::strlen(line);
  const char* name = line + (length < kNameOffset ? length : kNameOffset);
  copyText(gPart.name, sizeof gPart.name, name, std::strcspn(name, "\""));

  const char* mark = std::strstr(line, kFileNameMark);
  if (mark == nullptr) return;  // an earlier file name stays
  const char* fileName = mark + (sizeof kFileNameMark - 1);
  copyText(gPart.fileName, sizeof gPart.fileName, fileName, std::strcspn(fileName, "\""));
  // Browsers on Windows send the whole path: only its last backslash-separated
  // component stays. Slashes are not separators.
  if (char* cut = std::strrchr(gPart.fileName, '\\'))
    std::memset(gPart.fileName, ' ', static_cast<std::size_t>(cut - gPart.fileName) + 1);
  _trim_space(gPart.fileName);
}

void readPartHeaders() {
  char line[kLineBufferSize];
  // A line longer than the buffer comes in pieces, each taken as a line. A
  // lone LF does not end the headers.
  while (_read_line(line, sizeof line, &gInput) != nullptr) {
    if (std::strcmp(line, "\r\n") == 0) break;
    if (_prefix_equal_nocase(line, kDisposition, sizeof kDisposition - 1) == 0) {
      readDisposition(line);
    } else if (_prefix_equal_nocase(line, kContentType, sizeof kContentType - 1) == 0) {
      copyText(gPart.contentType, sizeof gPart.contentType, line + (sizeof kContentType - 1),
               kLineBufferSize);
      _trim_space(gPart.contentType);
    }
  }
}

void appendPart(char* value, std::size_t length, std::size_t largeCapacity) {
  char* name = heapCopy(gPart.name);
  if (largeCapacity != 0)
    appendLargeEntry(name, value, length, largeCapacity);
  else
    appendEntry(name, value, length);
  // A file without a field name gets no companions: their names would be
  // ".length" and so on, tied to nothing.
  if (gPart.fileName[0] == '\0' || gPart.name[0] == '\0') return;
  char count[32];
  std::snprintf(count, sizeof count, "%zu", length);
  char* text = heapCopy(count);
  appendEntry(heapFormat(gPart.name, ".length"), text, std::strlen(text));
  text = heapCopy(gPart.fileName);
  appendEntry(heapFormat(gPart.name, ".filename"), text, std::strlen(text));
  text = heapCopy(gPart.contentType);
  appendEntry(heapFormat(gPart.name, ".contenttype"), text, std::strlen(text));
}

}  // namespace

BodyInput* bodyInput() { return &gInput; }
bool bodyWasMapped() { return gInput.wasMapped; }

void releaseBorrowedValue(char*) {
  if (gMapping.borrowed > 0) --gMapping.borrowed;
  releaseMappingIfUnused();
}

void setBodyReaderForTests(BodyReader reader, void* context, std::size_t blockSize) {
  finishInput(&gInput);
  gInput = BodyInput{};
  gInput.reader = reader;
  gInput.context = context;
  if (blockSize != 0) gInput.blockSize = blockSize;
}

}  // namespace decoder

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

char* _parse_multipart_value_into_memory(const char* boundary, int* last, std::size_t* length,
                                         std::size_t* largeCapacity) {
  using decoder::DelimiterScanner;
  std::size_t boundaryLength = std::strlen(boundary);
  if (boundaryLength > DelimiterScanner::kBoundaryMax) qError(decoder::kTooLong);
  decoder::BodyInput* in = &decoder::gInput;
  DelimiterScanner* scanner = &decoder::gScanner;
  scanner->setBoundary(boundary, boundaryLength);
  scanner->start();
  decoder::ensureBlock(in);
  DelimiterScanner::End end{};

  // A short content is found in the look-ahead and copied out at its size.
  for (;;) {
    char* data = in->block + in->pos;
    std::size_t stored = in->len - in->pos;
    if (scanner->find(data, stored, &end)) {
      if (in->mapped && end.length >= decoder::kBorrowMin) {
        // The NUL goes where the delimiter began, in the private mapping.
        data[end.length] = '\0';
        in->pos += end.end;
        ++decoder::gMapping.borrowed;
        *length = end.length;
        *largeCapacity = decoder::kBorrowedValue;
        if (end.last) *last = 1;
        return data;
      }
      char* value = static_cast<char*>(std::malloc(end.length + 1));
      if (value == nullptr) qError(decoder::kNoMemory);
      std::memcpy(value, data, end.length);
      value[end.length] = '\0';
      in->pos += end.end;
      *length = end.length;
      *largeCapacity = 0;
      if (end.last) *last = 1;
      return value;
    }
    if (in->ended) qError(decoder::kBrokenStream);
    if (stored >= in->blockSize / 2) break;
    if (in->len == in->blockSize) {
      // Room at the end, made by moving less than half a block.
      std::memmove(in->block, data, stored);
      in->pos = 0;
      in->len = stored;
    }
    if (!decoder::fillBlock(in)) qError(decoder::kBrokenStream);
  }

  // A long one goes into a buffer of its own, read into straight from the body.
  std::size_t stored = in->len - in->pos;
  std::size_t capacity = 2 * in->blockSize;
  if (capacity < stored + in->blockSize + 1) capacity = stored + in->blockSize + 1;
  char* value = static_cast<char*>(platform::largeAlloc(capacity));
  if (value == nullptr) qError(decoder::kNoMemory);
  std::memcpy(value, in->block + in->pos, stored);
  in->pos = in->len = 0;
  while (!scanner->find(value, stored, &end)) {
    if (in->ended) {
      platform::largeFree(value, capacity);
      qError(decoder::kBrokenStream);
    }
    std::size_t room = capacity - stored - 1;
    if (room < in->blockSize) {
      std::size_t grown = stored + in->blockSize + 1;
      if (capacity <= static_cast<std::size_t>(-1) / 2 && grown < 2 * capacity) grown = 2 * capacity;
      if (grown <= stored) {
        platform::largeFree(value, capacity);
        qError(decoder::kNoMemory);
      }
      char* moved = static_cast<char*>(platform::largeGrow(value, capacity, grown));
      if (moved == nullptr) {
        platform::largeFree(value, capacity);
        qError(decoder::kNoMemory);
      }
      value = moved;
      capacity = grown;
      room = capacity - stored - 1;
    }
    // No read passes the delimiter by more than one block, which must fit the
    // look-ahead again.
    stored += decoder::readBody(in, value + stored, room < in->blockSize ? room : in->blockSize);
  }
  value[end.length] = '\0';
  decoder::returnToBlock(in, value + end.end, stored - end.end);
  *length = end.length;
  *largeCapacity = capacity;
  if (end.last) *last = 1;
  return value;
}

int _parse_multipart_data() {
  decoder::BodyInput* in = &decoder::gInput;
  // A decode after the first (an accessor finding the list empty) would
  // otherwise meet the consumed body and fail a request that was read well.
  if (in->bodyRead) return 0;
  in->bodyRead = true;
  platform::setBinaryStdio();

  char* text = _get_query("COOKIE");
  int count = _split_pairs(text, ';');
  std::free(text);
  text = _get_query("GET");
  count += _split_pairs(text, '&');
  std::free(text);

  // Everything after "boundary=" is the boundary: quotes and any later
  // parameter included. Its length counts before trimming.
  const char* contentType = std::getenv("CONTENT_TYPE");
  const char* parameter = contentType ? std::strstr(contentType, "boundary=") : nullptr;
  if (parameter == nullptr) qError(decoder::kFormatInvalid);
  parameter += sizeof "boundary=" - 1;
  if (std::strlen(parameter) + decoder::kDelimiterExtra >= decoder::kDelimiterBufferSize)
    qError(decoder::kTooLong);
  char boundary[decoder::kDelimiterBufferSize];
  std::snprintf(boundary, sizeof boundary, "--%s", parameter);
  _trim_space(boundary);
  const std::size_t boundaryLength = std::strlen(boundary);

  // The first line must begin with D; one empty line before it is allowed.
  char line[decoder::kLineBufferSize];
  if (_read_line(line, sizeof line, in) == nullptr) qError(decoder::kNotHttp);
  if (std::strcmp(line, "\r\n") == 0) _read_line(line, sizeof line, in);
  if (std::strncmp(line, boundary, boundaryLength) != 0) qError(decoder::kFormatInvalid);

  int last = 0;
  while (last == 0) {
    decoder::gPart.name[0] = '\0';
    decoder::gPart.fileName[0] = '\0';
    decoder::gPart.contentType[0] = '\0';
    // A field Q_UPLOAD_ID asks for an upload to disk, which needs an upload
    // base that nothing sets. Seen as the last part, it is an ordinary field.
    if (decoder::uploadIdSeen()) qError(decoder::kNoUploadBase);
    decoder::readPartHeaders();
    std::size_t length = 0;
    std::size_t largeCapacity = 0;
    char* value = _parse_multipart_value_into_memory(boundary, &last, &length, &largeCapacity);
    decoder::appendPart(value, length, largeCapacity);
    if (count < 0x7FFFFFFF) ++count;
  }
  decoder::finishInput(in);
  return count;
}

}  // namespace kavro
