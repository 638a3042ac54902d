#include "gateway/engine_messages.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "gateway/cgi_rows.h"
#include "gateway/engine_link.h"
#include "platform/platform.h"

namespace kavro {
namespace {

char gMessage[kMessageBufferSize];

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

}  // namespace

void upperCaseAscii(char* text) {
  for (; *text; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
  }
}

std::size_t buildLoginMessage(const Settings& s, char* buffer, std::size_t capacity) {
  int n = std::snprintf(buffer, capacity, "%i%c%s%c%s%c%s%c2%c%s%c%s%c%s%c%s%c%s%c", 1, kFieldSeparator,
                        s.userName, kFieldSeparator, s.userPassword, kFieldSeparator, s.applicationName,
                        kFieldSeparator, kFieldSeparator, s.engineName, kFieldSeparator, s.procedureName,
                        kFieldSeparator, s.startupFlags, kFieldSeparator, s.shutdownFlags, kFieldSeparator,
                        s.hxLocation, kFieldSeparator);
  // The settings' bounds keep the message under 1826 characters.
  if (n < 0) return 0;
  return static_cast<std::size_t>(n) < capacity ? static_cast<std::size_t>(n) : capacity - 1;
}

LoginResult engineLogin(Settings& s, const char** text) {
  upperCaseAscii(s.userName);
  upperCaseAscii(s.applicationName);
  std::size_t length = buildLoginMessage(s, gMessage, sizeof gMessage);
  if (engineSendFrame(gMessage, length) != 0) return LoginResult::kLinkFailure;
  std::int32_t announced = engineRecvLength();
  if (announced < 0) return LoginResult::kLinkFailure;
  // A reply longer than the buffer is received whole; what fits is kept.
  std::size_t kept = 0;
  if (engineRecv(gMessage, sizeof gMessage, announced, &kept) < 0) return LoginResult::kLinkFailure;
  if (gMessage[0] == '0') return LoginResult::kAccepted;
  std::size_t end = announced > 0 ? textEnd(static_cast<std::size_t>(announced), kept) : 0;
  if (end <= 2) {
    *text = "";
  } else {
    gMessage[end] = '\0';
    *text = gMessage + 2;
  }
  return LoginResult::kRejected;
}

SendResult engineSendRequest(const char* payload, std::size_t size) {
  char* message = static_cast<char*>(platform::heapAlloc(size + 10));
  if (message == nullptr) return SendResult::kNoMemory;
  message[0] = '3';
  message[1] = kFieldSeparator;
  std::memcpy(message + 2, payload, size);
  message[size + 2] = kFieldSeparator;
  message[size + 3] = '\0';
  int rc = engineSendFrame(message, size + 3);
  platform::heapFree(message);
  return rc == 0 ? SendResult::kSent : SendResult::kLinkFailure;
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
  std::size_t end = textEnd(announced, textLength);
  buffer[end] = '\0';
  ReplyBody body{buffer[0], buffer + end, 0};
  if (end <= 2) return body;
  std::string_view text(buffer + 2, end - 2);
  std::size_t marker = text.find(kReplyMarker);
  if (marker == std::string_view::npos) {
    body.data = buffer + 2;
    body.size = end - 2;
    return body;
  }
  // The selector follows the marker; everything before the marker is dropped.
  std::size_t selector = 2 + marker + (sizeof kReplyMarker - 1);
  if (selector >= end) return body;  // no selector before the cut: an empty body
  body.data = buffer + selector + 1;
  body.size = end - (selector + 1);
  if (buffer[selector] == '1') body.size = hexDecodeInPlace(buffer + selector + 1, body.size);
  return body;
}

bool engineClose() {
  char close[] = {'2', kFieldSeparator, '\0'};
  if (engineSendFrame(close, 2) != 0) return false;
  std::int32_t announced = engineRecvLength();
  engineRecv(gMessage, sizeof gMessage, announced);
  return true;
}

}  // namespace kavro
