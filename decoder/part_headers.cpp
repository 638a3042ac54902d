#include "decoder/part_headers.h"

#include <cstring>

#include "decoder/internal.h"

namespace kavro::decoder {

// Copies at most `count` bytes of `text` (fewer at its NUL) into `target`,
// cut to fit, and terminates it.
void copyText(char* target, std::size_t targetSize, const char* text, std::size_t count) {
  std::size_t length = 0;
  while (length < count && text[length] != '\0') ++length;
  if (length > targetSize - 1) length = targetSize - 1;
  std::memcpy(target, text, length);
  target[length] = '\0';
}

namespace {

constexpr char kBoundaryMark[] = "boundary=";
// The shape browsers send, read at fixed places: the name starts right after it.
constexpr char kFixedShape[] = "Content-Disposition: form-data; name=\"";
constexpr std::size_t kNameOffset = sizeof kFixedShape - 1;
constexpr char kFileNameMark[] = "; filename=\"";
constexpr char kUtf8[] = "UTF-8";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool sameWord(const char* text, std::size_t length, const char* word) {
  return length == std::strlen(word) && _prefix_equal_nocase(text, word, length) == 0;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One parameter as written: a quoted value spans its quotes' inside, escapes
// still in it.
struct Parameter {
  TextSpan name;
  TextSpan value;
  bool quoted = false;
};

TextSpan trimmed(const char* start, const char* end) {
  while (start < end && isBlank(*start)) ++start;
  while (end > start && isBlank(end[-1])) --end;
  return TextSpan{start, static_cast<std::size_t>(end - start)};
}

// Reads the parameter that follows the ';' at `*at` and leaves `*at` at the
// next ';' or at the end. False at the end of the text.
bool nextParameter(const char** at, Parameter* parameter) {
  const char* p = *at;
  if (*p != ';') return false;
  const char* nameStart = ++p;
  while (*p != '\0' && *p != '=' && *p != ';') ++p;
  // A parameter without '=' has an empty value, never a null one.
  *parameter = Parameter{trimmed(nameStart, p), TextSpan{p, 0}, false};
  if (*p == '=') {
    ++p;
    while (*p == ' ' || *p == '\t') ++p;
    const char* valueStart = p;
    if (*p == '"') {
      valueStart = ++p;
      while (*p != '\0' && *p != '"') p += (*p == '\\' && (p[1] == '"' || p[1] == '\\')) ? 2 : 1;
      // Unclosed: the value runs to the end of the line, its CR LF dropped.
      parameter->value =
          *p == '"' ? TextSpan{valueStart, static_cast<std::size_t>(p - valueStart)} : trimmed(valueStart, p);
      parameter->quoted = true;
    }
    while (*p != '\0' && *p != ';') ++p;
    if (!parameter->quoted) parameter->value = trimmed(valueStart, p);
  }
  *at = p;
  return true;
}

// Copies a parameter's value, its escapes resolved, into `target`, cut to fit.
void copyValue(const Parameter& parameter, char* target, std::size_t targetSize) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < parameter.value.length && length < targetSize - 1; ++i) {
    char c = parameter.value.data[i];
    if (parameter.quoted && c == '\\' && i + 1 < parameter.value.length) {
      char next = parameter.value.data[i + 1];
      if (next == '"' || next == '\\') c = parameter.value.data[++i];
    }
    target[length++] = c;
  }
  target[length] = '\0';
}

// Decodes an RFC 5987 value (charset ' language ' percent-encoded bytes)
// into `target`, cut to fit. False, with `target` untouched, unless the
// charset is UTF-8 and the value is well formed without an encoded zero byte.
bool decodeExtendedValue(const TextSpan& value, char* target, std::size_t targetSize) {
  const char* text = value.data;
  const char* end = text + value.length;
  const char* charsetEnd = static_cast<const char*>(std::memchr(text, '\'', value.length));
  if (charsetEnd == nullptr || !sameWord(text, static_cast<std::size_t>(charsetEnd - text), kUtf8))
    return false;
  const char* bytes = static_cast<const char*>(
      std::memchr(charsetEnd + 1, '\'', static_cast<std::size_t>(end - charsetEnd - 1)));
  if (bytes == nullptr) return false;
  ++bytes;
  for (const char* p = bytes; p < end; ++p) {
    if (*p != '%') continue;
    int high = p + 2 < end ? hexValue(p[1]) : -1;
    int low = high < 0 ? -1 : hexValue(p[2]);
    if (low < 0 || high * 16 + low == 0) return false;
    p += 2;
  }
  std::size_t length = 0;
  for (const char* p = bytes; p < end && length < targetSize - 1; ++p) {
    if (*p == '%') {
      target[length++] = static_cast<char>(hexValue(p[1]) * 16 + hexValue(p[2]));
      p += 2;
    } else {
      target[length++] = *p;
    }
  }
  target[length] = '\0';
  return true;
}

// Reads the parameters from the first ';' of `text` on: `name` and
// `filename` only when `byName` (the fixed shape has read them already),
// `filename*` always. True when a file name was set.
bool readParameters(const char* text, bool byName, const DispositionNames& out) {
  const char* at = std::strchr(text, ';');
  if (at == nullptr) return false;
  bool nameSeen = false, fileNameSeen = false, extendedSeen = false;
  Parameter parameter;
  while (nextParameter(&at, &parameter)) {
    const TextSpan& name = parameter.name;
    if (byName && !nameSeen && sameWord(name.data, name.length, "name")) {
      copyValue(parameter, out.name, out.nameSize);
      nameSeen = true;
    } else if (byName && !fileNameSeen && sameWord(name.data, name.length, "filename")) {
      if (!extendedSeen) copyValue(parameter, out.fileName, out.fileNameSize);
      fileNameSeen = true;
    } else if (!extendedSeen && sameWord(name.data, name.length, "filename*")) {
      extendedSeen = decodeExtendedValue(parameter.value, out.fileName, out.fileNameSize);
    }
  }
  return fileNameSeen || extendedSeen;
}

}  // namespace

bool boundaryParameter(const char* contentType, TextSpan* value) {
  const char* p = std::strstr(contentType, kBoundaryMark);
  if (p == nullptr) return false;
  p += sizeof kBoundaryMark - 1;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p != '"') {
    *value = TextSpan{p, std::strcspn(p, "; \t\r\n")};
    return true;
  }
  const char* close = std::strchr(p + 1, '"');
  if (close == nullptr) return false;
  *value = TextSpan{p + 1, static_cast<std::size_t>(close - p - 1)};
  return true;
}

bool readDispositionNames(const char* line, const DispositionNames& out) {
  out.name[0] = '\0';
  if (_prefix_equal_nocase(line, kFixedShape, kNameOffset) != 0) return readParameters(line, true, out);

  const char* name = line + kNameOffset;
  std::size_t nameLength = std::strcspn(name, "\"");
  copyText(out.name, out.nameSize, name, nameLength);
  bool fileName = false;
  if (const char* mark = std::strstr(line, kFileNameMark)) {
    const char* text = mark + (sizeof kFileNameMark - 1);
    copyText(out.fileName, out.fileNameSize, text, std::strcspn(text, "\""));
    fileName = true;
  }
  // Only the parameters after the name's closing quote: a name may hold
  // any text, "filename*=" included.
  if (name[nameLength] == '"' && readParameters(name + nameLength + 1, false, out)) fileName = true;
  return fileName;
}

}  // namespace kavro::decoder
