#include "gateway/engine_messages.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "gateway/engine_link.h"
#include "gateway/texts.h"
#include "platform/platform.h"

namespace kavro {
namespace {

constexpr char kSep = wire::kFieldSeparator;

// Offsets 0 and 1 are the status and one unexamined byte; the text runs from
// offset 2 up to the reply's last byte, which is not part of it. A reply kept
// only in part (a zero byte, or more than the buffer holds) ends where it was
// cut instead.
std::size_t textEnd(std::size_t announced, std::size_t textLength) {
  std::size_t end = announced - 1;
  return textLength < end ? textLength : end;
}

int hexDigitValue(char c) {
  // Only upper-case digits are hexadecimal here; anything else still yields a
  // value, taken as a signed byte.
  int v = static_cast<signed char>(c);
  return (v >= 'A' && v <= 'F') ? v - 55 : v - 48;
}

bool linkFailure(const EngineLink& link, const char** failure) {
  *failure = engineLastError(link);
  return false;
}

// A copy of a setting, upper-cased; `Size` is the setting's buffer.
template <std::size_t Size>
struct UpperCased {
  explicit UpperCased(const char (&text)[Size]) {
    std::memcpy(value, text, Size);
    value[Size - 1] = '\0';
    upperCaseAscii(value);
  }
  char value[Size];
};

char codeDigit(wire::MessageCode code) { return static_cast<char>('0' + code); }

}  // namespace

void upperCaseAscii(char* text) {
  for (; *text; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
  }
}

std::size_t buildLoginMessage(const Settings& s, char* buffer, std::size_t capacity) {
  // The engine gets UserName and ApplicationName upper-cased; the settings,
  // and RegistryInfo made from them, keep them as read.
  UpperCased user(s.userName);
  UpperCased application(s.applicationName);
  int n = std::snprintf(buffer, capacity, "%i%c%s%c%s%c%s%c%c%c%s%c%s%c%s%c%s%c%s%c", wire::kLogin, kSep,
                        user.value, kSep, s.userPassword, kSep, application.value, kSep,
                        wire::kLoginFixedField, kSep, s.engineName, kSep, s.procedureName, kSep,
                        s.startupFlags, kSep, s.shutdownFlags, kSep, s.hxLocation, kSep);
  // The settings' bounds keep the message under 1826 characters.
  if (n < 0) return 0;
  return static_cast<std::size_t>(n) < capacity ? static_cast<std::size_t>(n) : capacity - 1;
}

bool engineLogin(EngineLink& link, const Settings& s, const char** failure) {
  char* message = link.message;
  std::size_t length = buildLoginMessage(s, message, sizeof link.message);
  if (!engineSendFrame(link, message, length)) return linkFailure(link, failure);
  std::int32_t announced = engineRecvLength(link);
  if (announced < 0) return linkFailure(link, failure);
  // A reply longer than the buffer is received whole; what fits is kept.
  std::size_t kept = 0;
  if (engineRecv(link, message, sizeof link.message, announced, &kept) < 0) return linkFailure(link, failure);
  if (message[0] == wire::kStatusOk) return true;
  std::size_t end = announced > 0 ? textEnd(static_cast<std::size_t>(announced), kept) : 0;
  if (end <= wire::kReplyTextOffset) {
    *failure = "";
  } else {
    message[end] = '\0';
    *failure = message + wire::kReplyTextOffset;
  }
  return false;
}

bool engineSendRequest(EngineLink& link, const char* payload, std::size_t size, const char** failure) {
  char* message = static_cast<char*>(platform::heapAlloc(size + 10));
  if (message == nullptr) {
    *failure = text::kNoMemory;
    return false;
  }
  message[0] = codeDigit(wire::kRequest);
  message[1] = kSep;
  std::memcpy(message + 2, payload, size);
  message[size + 2] = kSep;
  message[size + 3] = '\0';
  bool sent = engineSendFrame(link, message, size + 3);
  platform::heapFree(message);
  return sent || linkFailure(link, failure);
}

void releaseReply(Reply* reply) {
  platform::heapFree(reply->buffer);
  *reply = Reply{};
}

bool engineRecvReply(EngineLink& link, std::int32_t announced, Reply* reply, const char** failure) {
  std::size_t size = static_cast<std::size_t>(announced);
  reply->buffer = static_cast<char*>(platform::heapAlloc(size + 1));
  if (reply->buffer == nullptr) {
    *failure = text::kNoMemory;
    return false;
  }
  std::size_t kept = 0;
  if (engineRecv(link, reply->buffer, size + 1, announced, &kept) < 0) return linkFailure(link, failure);
  reply->body = decodeReply(reply->buffer, size, kept);
  return true;
}

std::size_t hexDecodeInPlace(char* text, std::size_t length) {
  std::size_t count = 0;
  // A last character without a partner is ignored.
  for (std::size_t i = 0; i + 1 < length; i += 2) {
    text[count++] = static_cast<char>((hexDigitValue(text[i]) * 16 + hexDigitValue(text[i + 1])) & 0xFF);
  }
  return count;
}

ReplyBody decodeReply(char* buffer, std::size_t announced, std::size_t textLength) {
  constexpr std::size_t kText = wire::kReplyTextOffset;
  std::size_t end = textEnd(announced, textLength);
  buffer[end] = '\0';
  ReplyBody body{buffer[0], buffer + end, 0};
  if (end <= kText) return body;
  std::string_view text(buffer + kText, end - kText);
  std::size_t marker = text.find(wire::kReplyMarker);
  if (marker == std::string_view::npos) {
    body.data = buffer + kText;
    body.size = end - kText;
    return body;
  }
  // The selector follows the marker; everything before the marker is dropped.
  std::size_t selector = kText + marker + wire::kReplyMarkerLength;
  if (selector >= end) return body;  // no selector before the cut: an empty body
  body.data = buffer + selector + 1;
  body.size = end - (selector + 1);
  if (buffer[selector] == wire::kHexSelector) body.size = hexDecodeInPlace(buffer + selector + 1, body.size);
  return body;
}

bool engineClose(EngineLink& link, const char** failure) {
  char close[] = {codeDigit(wire::kClose), kSep, '\0'};
  if (!engineSendFrame(link, close, 2)) return linkFailure(link, failure);
  std::int32_t announced = engineRecvLength(link);
  engineRecv(link, link.message, sizeof link.message, announced);
  return true;
}

}  // namespace kavro
