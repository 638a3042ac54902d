#include "gateway/error_log.h"

#include <cstring>

namespace kavro {
namespace {

constexpr char kCutMark[] = "...";
constexpr std::size_t kCutMarkLength = sizeof kCutMark - 1;

bool isLineEnd(char c) { return c == '\n' || c == '\r'; }

}  // namespace

std::size_t escapeLogByte(unsigned char c, bool blankToo, char* out) {
  if (c > 0x20 && c != 0x7F) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c == ' ' && !blankToo) {
    out[0] = ' ';
    return 1;
  }
  out[0] = '\\';
  switch (c) {
    case '\n': out[1] = 'n'; return 2;
    case '\r': out[1] = 'r'; return 2;
    case '\t': out[1] = 't'; return 2;
    default: {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out[1] = 'x';
      out[2] = kHex[c >> 4];
      out[3] = kHex[c & 0x0F];
      return 4;
    }
  }
}

namespace {

// Appends `text` escaped to line[*length], using at most `room` bytes (at
// least the cut mark's). A text that does not fit whole is cut between two
// escapes and ends in "...".
void appendEscaped(char* line, std::size_t* length, std::size_t room, const char* text, std::size_t size,
                   bool blankToo) {
  char escaped[kLogEscapeMax];
  std::size_t whole = 0;
  for (std::size_t i = 0; i < size; ++i)
    whole += escapeLogByte(static_cast<unsigned char>(text[i]), blankToo, escaped);
  std::size_t keep = whole <= room ? room : room - kCutMarkLength;
  char* out = line + *length;
  std::size_t used = 0;
  for (std::size_t i = 0; i < size; ++i) {
    std::size_t n = escapeLogByte(static_cast<unsigned char>(text[i]), blankToo, escaped);
    if (used + n > keep) break;
    std::memcpy(out + used, escaped, n);
    used += n;
  }
  if (whole > room) {
    std::memcpy(out + used, kCutMark, kCutMarkLength);
    used += kCutMarkLength;
  }
  *length += used;
}

void appendPlain(char* line, std::size_t* length, const char* text) {
  std::size_t n = std::strlen(text);
  std::memcpy(line + *length, text, n);
  *length += n;
}

void appendField(char* line, std::size_t* length, const char* name, const char* value) {
  appendPlain(line, length, name);
  if (value == nullptr) {
    appendPlain(line, length, "-");
  } else {
    appendEscaped(line, length, kErrorLogFieldMax, value, std::strlen(value), true);
  }
}

}  // namespace

std::size_t formatErrorLogLine(char* line, const char* key, const char* scriptName, const char* remoteAddr,
                               const char* message) {
  // The fixed parts and three cut fields take less than half the line.
  static_assert(sizeof kErrorLogPrefix + 3 * (kErrorLogFieldMax + 8) + 8 < kErrorLogLineMax / 2);
  std::size_t length = 0;
  appendPlain(line, &length, kErrorLogPrefix);
  appendField(line, &length, "key=", key);
  appendField(line, &length, " script=", scriptName);
  appendField(line, &length, " remote=", remoteAddr);
  appendPlain(line, &length, " msg=");
  const char* text = message != nullptr ? message : "";
  std::size_t size = std::strlen(text);
  while (size > 0 && isLineEnd(text[0])) ++text, --size;
  while (size > 0 && isLineEnd(text[size - 1])) --size;
  appendEscaped(line, &length, kErrorLogLineMax - 1 - length, text, size, false);
  line[length++] = '\n';
  return length;
}

void logError(platform::Request& request, const char* key, const char* message) {
  char line[kErrorLogLineMax];
  std::size_t length = formatErrorLogLine(line, key, request.variable("SCRIPT_NAME"),
                                          request.variable("REMOTE_ADDR"), message);
  request.writeLog(line, length);
}

}  // namespace kavro
