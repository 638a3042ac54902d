// qDecode and the urlencoded path: query string, POST body, cookie header,
// and the small text helpers the decoder shares.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decoder/decimal.h"
#include "decoder/decoder.h"
#include "decoder/internal.h"
#include "decoder/state.h"
#include "platform/platform.h"

namespace kavro {
namespace {

constexpr char kUrlencoded[] = "application/x-www-form-urlencoded";
constexpr char kMultipart[] = "multipart/form-data";
constexpr char kQueryNoMemory[] = "_get_query(): Memory allocation fail.";

// The urlencoded body's buffer starts at this size and doubles as the bytes
// arrive, never past the announced length: a request that announces 2 GiB
// and sends ten bytes costs no more than one that announces ten.
constexpr std::size_t kBodyFirstCapacity = std::size_t{4} << 10;

bool startsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

char* copyOf(const char* text, std::size_t length) {
  char* copy = static_cast<char*>(platform::memAlloc(length + 1));
  if (copy == nullptr) qError(kQueryNoMemory);
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

// Reads up to `announced` bytes of the body into a buffer that grows with
// them; terminated after the bytes that arrived.
char* readBody(std::size_t announced) {
  std::size_t capacity = (announced < kBodyFirstCapacity ? announced : kBodyFirstCapacity) + 1;
  char* body = static_cast<char*>(platform::memAlloc(capacity));
  if (body == nullptr) qError(kQueryNoMemory);
  std::size_t got = 0;
  while (got < announced) {
    if (got == capacity - 1) {
      std::size_t more = capacity - 1;
      std::size_t grown = (announced - got < more ? announced : got + more) + 1;
      char* bigger = static_cast<char*>(platform::memRealloc(body, grown));
      if (bigger == nullptr) {
        std::free(body);
        qError(kQueryNoMemory);
      }
      body = bigger;
      capacity = grown;
    }
    std::size_t n = decoder::state().request->readBody(body + got, capacity - 1 - got);
    // The body has ended: it may be shorter than announced.
    if (n == 0) break;
    got += n;
  }
  body[got] = '\0';
  return body;
}

bool isTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The digit value of one escape character, taken as a signed byte.
int escapeDigit(char c) {
  int v = static_cast<signed char>(c);
  return (v >= 0x41 && v <= 0x7F) ? (v & 0xDF) - 0x37 : v - 0x30;
}

}  // namespace

int qDecode() {
  if (decoder::head() != nullptr) return -1;
  const char* contentType = decoder::variable("CONTENT_TYPE");
  if (contentType == nullptr) {
    int count = _decode_urlencoded();
    if (decoder::head() == nullptr) return count;
    // An upload progress report needs an upload base, which is never set.
    if (qValue("%s", "Q_UPLOAD_ID") == nullptr) return count;
    qError("qDecode(): qSetUploadBase() must be called before.");
  }
  if (startsWith(contentType, kUrlencoded)) return _decode_urlencoded();
  if (startsWith(contentType, kMultipart)) return _parse_multipart_data();
  return _decode_urlencoded();
}

int _decode_urlencoded() {
  decoder::State& s = decoder::state();
  s.source = _get_query("GET");
  int count = _split_pairs(s.source, '&');
  decoder::dropSource();
  s.source = _get_query("POST");
  count += _split_pairs(s.source, '&');
  decoder::dropSource();
  return count;
}

char* _get_query(const char* source) {
  if (std::strcmp(source, "GET") == 0) {
    const char* query = decoder::variable("QUERY_STRING");
    if (query == nullptr) return nullptr;
    const char* uri = decoder::variable("REQUEST_URI");
    if (query[0] == '\0' && uri != nullptr) {
      const char* mark = std::strchr(uri, '?');
      return mark ? copyOf(mark + 1, std::strlen(mark + 1)) : copyOf("", 0);
    }
    return copyOf(query, std::strlen(query));
  }
  if (std::strcmp(source, "POST") == 0) {
    const char* method = decoder::variable("REQUEST_METHOD");
    if (method == nullptr || std::strcmp(method, "POST") != 0) return nullptr;
    const char* contentLength = decoder::variable("CONTENT_LENGTH");
    if (contentLength == nullptr) qError("_get_query(): Your browser sent a non-HTTP compliant message.");
    // The body can be read only once: a later decode (an accessor finding
    // the list empty) finds it consumed, and never reads past it.
    decoder::BodyInput& input = decoder::state().input;
    if (input.bodyRead) return nullptr;
    input.bodyRead = true;
    // atoi's reading: a negative length reads no body. A body shorter than
    // announced is taken as it arrived.
    long long length = readDecimal(contentLength, 0, INT_MAX);
    return readBody(static_cast<std::size_t>(length));
  }
  if (std::strcmp(source, "COOKIE") == 0) {
    const char* cookie = decoder::variable("HTTP_COOKIE");
    return cookie ? copyOf(cookie, std::strlen(cookie)) : nullptr;
  }
  return nullptr;
}

int _split_pairs(char* text, char separator) {
  if (text == nullptr) return 0;
  // One pass with a cursor: cutting each pair off the front of the text, as
  // _cut_word does, would move the rest of the body once per pair.
  int count = 0;
  char* pair = text;
  while (*pair != '\0') {
    char* end = pair;
    while (*end != '\0' && *end != separator) ++end;
    char* equals = pair;
    while (equals < end && *equals != '=') ++equals;

    char* name = static_cast<char*>(platform::memAlloc(static_cast<std::size_t>(equals - pair) + 1));
    const char* valueStart = equals < end ? equals + 1 : end;
    char* value = name
                      ? static_cast<char*>(platform::memAlloc(static_cast<std::size_t>(end - valueStart) + 1))
                      : nullptr;
    if (value == nullptr) {
      std::free(name);
      qError("_split_pairs(): Memory allocation fail.");
    }
    std::memcpy(name, pair, static_cast<std::size_t>(equals - pair));
    name[equals - pair] = '\0';
    std::memcpy(value, valueStart, static_cast<std::size_t>(end - valueStart));
    value[end - valueStart] = '\0';

    // Trimmed before decoding: an encoded blank at either end stays in the name.
    _url_decode(_trim_space(name));
    _url_decode(value);
    decoder::appendEntry(name, value, std::strlen(value));
    ++count;
    pair = *end ? end + 1 : end;
  }
  text[0] = '\0';  // the text is consumed
  return count;
}

char* _cut_word(char* text, char stop) {
  std::size_t i = 0;
  while (text[i] != '\0' && text[i] != stop) ++i;
  char* word = static_cast<char*>(platform::memAlloc(i + 1));
  if (word == nullptr) qError("_cut_word(): Memory allocation fail.");
  std::memcpy(word, text, i);
  word[i] = '\0';
  if (text[i] == stop) ++i;
  std::memmove(text, text + i, std::strlen(text + i) + 1);
  return word;
}

char* _trim_space(char* text) {
  if (text == nullptr) return nullptr;
  std::size_t length = std::strlen(text);
  while (length > 0 && isTrimmed(text[length - 1])) --length;
  std::size_t start = 0;
  while (start < length && isTrimmed(text[start])) ++start;
  std::memmove(text, text + start, length - start);
  text[length - start] = '\0';
  return text;
}

char* _url_decode(char* text) {
  if (text == nullptr) return nullptr;
  std::size_t read = 0;
  std::size_t write = 0;
  while (text[read] != '\0') {
    char c = text[read];
    if (c == '+') {
      text[write++] = ' ';
      ++read;
    } else if (c == '%' && text[read + 1] == '%') {
      // "%%" stays two percent signs.
      text[write++] = '%';
      text[write++] = '%';
      read += 2;
    } else if (c == '%' && text[read + 1] != '\0' && text[read + 2] != '\0') {
      text[write++] = _hex_pair_value(text[read + 1], text[read + 2]);
      read += 3;
    } else {
      // Also a '%' too close to the end to have two characters after it: it
      // and what follows are copied, and nothing past the terminator is read.
      text[write++] = c;
      ++read;
    }
  }
  text[write] = '\0';
  return text;
}

char _hex_pair_value(char hi, char lo) {
  // Not validated: %G1 yields 16 * 16 + 1, cut to a byte.
  return static_cast<char>((16 * escapeDigit(hi) + escapeDigit(lo)) & 0xFF);
}

char* _to_upper(char* text) {
  if (text == nullptr) return nullptr;
  for (char* p = text; *p; ++p) *p = upper(*p);
  return text;
}

int _prefix_equal_nocase(const char* a, const char* b, std::size_t n) {
  // strncmp over upper-cased copies, without making the copies.
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char ca = static_cast<unsigned char>(upper(a[i]));
    unsigned char cb = static_cast<unsigned char>(upper(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == '\0') return 0;
  }
  return 0;
}

const char* _getenv_or(const char* fallback, const char* name) {
  const char* value = decoder::variable(name);
  return value ? value : fallback;
}

std::tm* _local_now() {
  std::time_t now = std::time(nullptr);
  std::tm* local = std::localtime(&now);
  if (local == nullptr) return nullptr;
  local->tm_year += 1900;
  local->tm_mon += 1;
  return local;
}

}  // namespace kavro
