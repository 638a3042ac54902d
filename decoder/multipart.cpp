// multipart/form-data bodies: the cookies, the query string, then one entry
// per part, and three companion entries for each uploaded file.
//
// The results are those of reading the body one byte at a time and testing
// the stored bytes for a delimiter after every LF or '-'. The body is read
// in large blocks instead, and each content is searched for its delimiter;
// a long content is read straight into its own buffer, which the entry then
// adopts, so no content is ever copied twice. A body that lies in a file is
// not read at all but mapped, and long contents stay where they lie.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decoder/decoder.h"
#include "decoder/internal.h"
#include "decoder/part_headers.h"
#include "decoder/state.h"
#include "platform/platform.h"

namespace kavro {
namespace decoder {
namespace {

// Each delimiter text (D plus at most 6 characters and a NUL) fits a buffer
// of this size; a boundary parameter of 250 characters or more does not.
constexpr std::size_t kDelimiterBufferSize = 256;
constexpr std::size_t kDelimiterExtra = 6;
static_assert(kDelimiterBufferSize - kDelimiterExtra - 1 + 2 == DelimiterScanner::kBoundaryMax);
static_assert(kBoundaryParameterMax + kDelimiterExtra + 1 == kDelimiterBufferSize);

constexpr char kDisposition[] = "Content-Disposition: ";
constexpr char kContentType[] = "Content-Type: ";

char* heapCopy(const char* text) {
  std::size_t length = std::strlen(text);
  char* copy = static_cast<char*>(platform::memAlloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

// Appends the entry `name` `suffix` holding `value`.
void appendCompanion(const char* name, const char* suffix, const char* value) {
  std::size_t size = std::strlen(name) + std::strlen(suffix) + 1;
  char* entryName = static_cast<char*>(platform::memAlloc(size));
  char* text = entryName ? heapCopy(value) : nullptr;
  if (text == nullptr) {
    std::free(entryName);
    qError(kMultipartNoMemory);
  }
  std::snprintf(entryName, size, "%s%s", name, suffix);
  appendEntry(entryName, text, std::strlen(text));
}

void readDisposition(PartState* part, const char* line) {
  DispositionNames names{part->name, sizeof part->name, part->fileName, sizeof part->fileName};
  if (!readDispositionNames(line, names)) return;  // an earlier file name stays
  // Browsers on Windows send the whole path: only its last backslash-separated
  // component stays. Slashes are not separators.
  if (char* cut = std::strrchr(part->fileName, '\\'))
    std::memset(part->fileName, ' ', static_cast<std::size_t>(cut - part->fileName) + 1);
  _trim_space(part->fileName);
}

void readPartHeaders(PartState* part) {
  char line[kLineBufferSize];
  // A line longer than the buffer comes in pieces, each taken as a line. A
  // lone LF does not end the headers.
  while (_read_line(line, sizeof line, &state().input) != nullptr) {
    if (std::strcmp(line, "\r\n") == 0) break;
    if (_prefix_equal_nocase(line, kDisposition, sizeof kDisposition - 1) == 0) {
      readDisposition(part, line);
    } else if (_prefix_equal_nocase(line, kContentType, sizeof kContentType - 1) == 0) {
      copyText(part->contentType, sizeof part->contentType, line + (sizeof kContentType - 1),
               kLineBufferSize);
      _trim_space(part->contentType);
    }
  }
}

// The part's content (or, for an upload the sink took, the sink's text) is
// the decoder's pending value until its entry adopts it. `length` is the
// content's byte count either way.
void appendPart(const PartState& part, std::size_t length, bool handled) {
  State& s = state();
  char* name = heapCopy(part.name);
  if (name == nullptr) qError(kMultipartNoMemory);
  char* value = s.pendingValue;
  std::size_t largeCapacity = s.pendingCapacity;
  s.pendingValue = nullptr;
  s.pendingCapacity = 0;
  Q_entry* entry = handled ? appendEntry(name, value, std::strlen(value))
                           : appendLargeEntry(name, value, length, largeCapacity);
  if (handled && entry != nullptr) markUploadHandled(entry);
  // A file without a field name gets no companions: their names would be
  // ".length" and so on, tied to nothing.
  if (part.fileName[0] == '\0' || part.name[0] == '\0') return;
  char count[32];
  std::snprintf(count, sizeof count, "%zu", length);
  appendCompanion(part.name, ".length", count);
  appendCompanion(part.name, ".filename", part.fileName);
  appendCompanion(part.name, ".contenttype", part.contentType);
}

// What the value reader found: the content and who owns its bytes.
struct Value {
  char* data = nullptr;
  std::size_t length = 0;
  std::size_t largeCapacity = 0;  // 0: from the allocator
  bool last = false;
};

// A short content is found in the look-ahead and copied out at its size (or,
// from a mapped standard input, left where it lies). False, with nothing
// taken, once the content is known to be long: half a block without its end.
bool readShortValue(BodyInput* in, DelimiterScanner* scanner, Value* value) {
  DelimiterScanner::End end{};
  for (;;) {
    char* data = in->block + in->pos;
    std::size_t stored = in->len - in->pos;
    if (scanner->find(data, stored, &end)) {
      if (in->mapped && end.length >= in->borrowMin) {
        // The NUL goes where the delimiter began, in the private mapping.
        borrowMappedValue();
        *value = Value{data, end.length, kBorrowedValue, end.last};
      } else {
        char* copy = static_cast<char*>(platform::memAlloc(end.length + 1));
        if (copy == nullptr) qError(kMultipartNoMemory);
        std::memcpy(copy, data, end.length);
        *value = Value{copy, end.length, 0, end.last};
      }
      value->data[end.length] = '\0';
      in->pos += end.end;
      return true;
    }
    if (in->ended) qError(kBrokenStream);
    if (stored >= in->blockSize / 2) return false;
    if (in->len == in->blockSize) {
      // Room at the end, made by moving less than half a block.
      std::memmove(in->block, data, stored);
      in->pos = 0;
      in->len = stored;
    }
    if (!fillBlock(in)) qError(kBrokenStream);
  }
}

[[noreturn]] void failLongValue(char* data, std::size_t capacity, const char* message) {
  platform::largeFree(data, capacity);
  qError("%s", message);
}

// A long content goes into a large buffer of its own, read into straight from
// the body, which grows until the delimiter is in it; the bytes read past the
// delimiter go back to the look-ahead.
void readLongValue(BodyInput* in, DelimiterScanner* scanner, Value* value) {
  std::size_t stored = in->len - in->pos;
  std::size_t capacity = 2 * in->blockSize;
  if (capacity < stored + in->blockSize + 1) capacity = stored + in->blockSize + 1;
  char* data = static_cast<char*>(platform::largeAlloc(capacity));
  if (data == nullptr) qError(kMultipartNoMemory);
  std::memcpy(data, in->block + in->pos, stored);
  in->pos = in->len = 0;
  DelimiterScanner::End end{};
  while (!scanner->find(data, stored, &end)) {
    if (in->ended) failLongValue(data, capacity, kBrokenStream);
    std::size_t room = capacity - stored - 1;
    if (room < in->blockSize) {
      std::size_t grown = stored + in->blockSize + 1;
      if (capacity <= static_cast<std::size_t>(-1) / 2 && grown < 2 * capacity) grown = 2 * capacity;
      char* moved = grown > stored ? static_cast<char*>(platform::largeGrow(data, capacity, grown)) : nullptr;
      if (moved == nullptr) failLongValue(data, capacity, kMultipartNoMemory);
      data = moved;
      capacity = grown;
      room = capacity - stored - 1;
    }
    // No read passes the delimiter by more than one block, which must fit the
    // look-ahead again.
    stored += readBody(in, data + stored, room < in->blockSize ? room : in->blockSize);
  }
  data[end.length] = '\0';
  if (!returnToBlock(in, data + end.end, stored - end.end)) failLongValue(data, capacity, kMultipartNoMemory);
  *value = Value{data, end.length, capacity, end.last};
}

// The look-ahead has no room left and none of it can go: it doubles, as a
// tiny block set by a test may have to, to hold a whole delimiter.
void growBlock(BodyInput* in) {
  std::size_t grown = in->blockSize * 2;
  char* bigger = grown > in->blockSize ? static_cast<char*>(platform::memRealloc(in->block, grown)) : nullptr;
  if (bigger == nullptr) qError(kMultipartNoMemory);
  in->block = bigger;
  in->blockSize = grown;
}

// How much of an upload is read at a time, and moved on once no delimiter
// can begin in it: large enough that a pipe enlarged to 1 MiB keeps the web
// server writing ahead while the spool file is written, with few calls
// (`make bench`: 512 KiB beat 64, 128, 256 KiB and a whole block).
constexpr std::size_t kStreamStep = std::size_t{512} << 10;

// The settled bytes at the front of the data go to the sink (`keep` false:
// nowhere) and the rest moves to the front of the look-ahead; when nothing
// can go and the look-ahead is full, it grows.
void passSettled(BodyInput* in, DelimiterScanner* scanner, QUploadSink* sink, bool keep,
                 std::size_t* length) {
  char* data = in->block + in->pos;
  std::size_t stored = in->len - in->pos;
  std::size_t settled = scanner->settled();
  if (settled == 0 && in->pos == 0) {
    if (in->len == in->blockSize) growBlock(in);
    return;
  }
  if (keep && settled != 0) sink->writeUpload(data, settled);
  scanner->discard(settled);
  *length += settled;
  std::memmove(in->block, data + settled, stored - settled);
  in->pos = 0;
  in->len = stored - settled;
}

// An upload's content goes to the sink piece by piece as the delimiter is
// searched for, never held whole. Returns the content's byte count.
std::size_t streamValue(BodyInput* in, DelimiterScanner* scanner, QUploadSink* sink, bool keep, bool* last) {
  std::size_t length = 0;
  DelimiterScanner::End end{};
  for (;;) {
    char* data = in->block + in->pos;
    std::size_t stored = in->len - in->pos;
    if (scanner->find(data, stored, &end)) {
      if (keep && end.length != 0) sink->writeUpload(data, end.length);
      in->pos += end.end;
      *last = end.last;
      return length + end.length;
    }
    if (in->ended) qError(kBrokenStream);
    if (stored >= kStreamStep || in->len == in->blockSize) passSettled(in, scanner, sink, keep, &length);
    std::size_t room = in->blockSize - in->len;
    std::size_t got = readBody(in, in->block + in->len, room < kStreamStep ? room : kStreamStep);
    if (got == 0) qError(kBrokenStream);
    in->len += got;
  }
}

// The boundary text D: "--" and the boundary parameter, which may be quoted
// and followed by other parameters. Its length counts without the quotes.
void boundaryText(char (&boundary)[kDelimiterBufferSize]) {
  const char* contentType = variable("CONTENT_TYPE");
  TextSpan value;
  if (contentType == nullptr || !boundaryParameter(contentType, &value)) qError(kFormatInvalid);
  if (value.length > kBoundaryParameterMax) qError(kBoundaryTooLong);
  std::snprintf(boundary, sizeof boundary, "--%.*s", static_cast<int>(value.length), value.data);
}

// The first line must begin with D; one empty line before it is allowed.
void readStartDelimiter(const char* boundary) {
  char line[kLineBufferSize];
  BodyInput* in = &state().input;
  if (_read_line(line, sizeof line, in) == nullptr) qError(kNotHttp);
  if (std::strcmp(line, "\r\n") == 0) _read_line(line, sizeof line, in);
  if (std::strncmp(line, boundary, std::strlen(boundary)) != 0) qError(kFormatInvalid);
}

}  // namespace

std::size_t streamUpload(const char* boundary, bool keep, int* last) {
  State& s = state();
  s.scanner.setBoundary(boundary, std::strlen(boundary));
  s.scanner.start();
  ensureBlock(&s.input);
  bool closing = false;
  std::size_t length = streamValue(&s.input, &s.scanner, s.uploadSink, keep, &closing);
  if (closing) *last = 1;
  s.pendingValue = heapCopy(s.uploadSink->endUpload());
  if (s.pendingValue == nullptr) qError(kMultipartNoMemory);
  return length;
}

}  // namespace decoder

char* _parse_multipart_value_into_memory(const char* boundary, int* last, std::size_t* length,
                                         std::size_t* largeCapacity) {
  using decoder::DelimiterScanner;
  std::size_t boundaryLength = std::strlen(boundary);
  if (boundaryLength > DelimiterScanner::kBoundaryMax) qError(decoder::kBoundaryTooLong);
  decoder::BodyInput* in = &decoder::state().input;
  DelimiterScanner* scanner = &decoder::state().scanner;
  scanner->setBoundary(boundary, boundaryLength);
  scanner->start();
  decoder::ensureBlock(in);

  decoder::Value value;
  if (!decoder::readShortValue(in, scanner, &value)) decoder::readLongValue(in, scanner, &value);
  *length = value.length;
  *largeCapacity = value.largeCapacity;
  if (value.last) *last = 1;
  return value.data;
}

int _parse_multipart_data() {
  decoder::State& s = decoder::state();
  // A decode after the first (an accessor finding the list empty) would
  // otherwise meet the consumed body and fail a request that was read well.
  if (s.input.bodyRead) return 0;
  s.input.bodyRead = true;
  s.request->setBinary();

  s.source = _get_query("COOKIE");
  int count = _split_pairs(s.source, ';');
  decoder::dropSource();
  s.source = _get_query("GET");
  count += _split_pairs(s.source, '&');
  decoder::dropSource();

  char boundary[decoder::kDelimiterBufferSize];
  decoder::boundaryText(boundary);
  decoder::readStartDelimiter(boundary);

  int last = 0;
  while (last == 0) {
    s.part.name[0] = '\0';
    s.part.fileName[0] = '\0';
    s.part.contentType[0] = '\0';
    // A field Q_UPLOAD_ID asks for an upload to disk, which needs an upload
    // base that nothing sets. Seen as the last part, it is an ordinary field.
    if (decoder::uploadIdSeen()) qError(decoder::kNoUploadBase);
    decoder::readPartHeaders(&s.part);
    QUploadSink::Keep keep = QUploadSink::Keep::kMemory;
    if (s.uploadSink != nullptr && s.part.fileName[0] != '\0' && s.part.name[0] != '\0')
      keep = s.uploadSink->beginUpload(s.part.name);
    std::size_t length = 0;
    if (keep == QUploadSink::Keep::kMemory) {
      std::size_t largeCapacity = 0;
      s.pendingValue = _parse_multipart_value_into_memory(boundary, &last, &length, &largeCapacity);
      s.pendingCapacity = largeCapacity;
    } else {
      length = decoder::streamUpload(boundary, keep == QUploadSink::Keep::kStream, &last);
    }
    decoder::appendPart(s.part, length, keep != QUploadSink::Keep::kMemory);
    if (count < 0x7FFFFFFF) ++count;
  }
  decoder::finishInput(&s.input);
  return count;
}

}  // namespace kavro
