#include "gateway/engine_messages.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "gateway/engine_link.h"
#include "gateway/texts.h"
#include "platform/platform.h"

namespace kavro {
namespace {

char gMessage[kMessageBufferSize];

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

int linkFailure(const char** failure) {
  *failure = engineLastError();
  return 1;
}

char codeDigit(wire::MessageCode code) { return static_cast<char>('0' + code); }

}  // namespace

void upperCaseAscii(char* text) {
  for (; *text; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
  }
}

std::size_t buildLoginMessage(const Settings& s, char* buffer, std::size_t capacity) {
  int n = std::snprintf(buffer, capacity, "%i%c%s%c%s%c%s%c%c%c%s%c%s%c%s%c%s%c%s%c", wire::kLogin, kSep,
                        s.userName, kSep, s.userPassword, kSep, s.applicationName, kSep,
                        wire::kLoginFixedField, kSep, s.engineName, kSep, s.procedureName, kSep,
                        s.startupFlags, kSep, s.shutdownFlags, kSep, s.hxLocation, kSep);
  // The settings' bounds keep the message under 1826 characters.
  if (n < 0) return 0;
  return static_cast<std::size_t>(n) < capacity ? static_cast<std::size_t>(n) : capacity - 1;
}

int engineLogin(Settings& s, const char** failure) {
  upperCaseAscii(s.userName);
  upperCaseAscii(s.applicationName);
  std::size_t length = buildLoginMessage(s, gMessage, sizeof gMessage);
  if (engineSendFrame(gMessage, length) != 0) return linkFailure(failure);
  std::int32_t announced = engineRecvLength();
  if (announced < 0) return linkFailure(failure);
  // A reply longer than the buffer is received whole; what fits is kept.
  std::size_t kept = 0;
  if (engineRecv(gMessage, sizeof gMessage, announced, &kept) < 0) return linkFailure(failure);
  if (gMessage[0] == wire::kStatusOk) return 0;
  std::size_t end = announced > 0 ? textEnd(static_cast<std::size_t>(announced), kept) : 0;
  if (end <= wire::kReplyTextOffset) {
    *failure = "";
  } else {
    gMessage[end] = '\0';
    *failure = gMessage + wire::kReplyTextOffset;
  }
  return 1;
}

int engineSendRequest(const char* payload, std::size_t size, const char** failure) {
  char* message = static_cast<char*>(platform::heapAlloc(size + 10));
  if (message == nullptr) {
    *failure = text::kNoMemory;
    return 1;
  }
  message[0] = codeDigit(wire::kRequest);
  message[1] = kSep;
  std::memcpy(message + 2, payload, size);
  message[size + 2] = kSep;
  message[size + 3] = '\0';
  int rc = engineSendFrame(message, size + 3);
  platform::heapFree(message);
  return rc == 0 ? 0 : linkFailure(failure);
}

void releaseReply(Reply* reply) {
  platform::heapFree(reply->buffer);
  *reply = Reply{};
}

int engineRecvReply(std::int32_t announced, Reply* reply, const char** failure) {
  std::size_t size = static_cast<std::size_t>(announced);
  reply->buffer = static_cast<char*>(platform::heapAlloc(size + 1));
  if (reply->buffer == nullptr) {
    *failure = text::kNoMemory;
    return 1;
  }
  std::size_t kept = 0;
  if (engineRecv(reply->buffer, size + 1, announced, &kept) < 0) return linkFailure(failure);
  reply->body = decodeReply(reply->buffer, size, kept);
  return 0;
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

int engineClose(const char** failure) {
  char close[] = {codeDigit(wire::kClose), kSep, '\0'};
  if (engineSendFrame(close, 2) != 0) return linkFailure(failure);
  std::int32_t announced = engineRecvLength();
  engineRecv(gMessage, sizeof gMessage, announced);
  return 0;
}

}  // namespace kavro
