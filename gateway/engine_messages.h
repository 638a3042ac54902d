// The gateway's conversation with the Engine Server: Login, Request, Close,
// and the decoding of the reply to the request.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gateway/settings.h"

namespace kavro {

inline constexpr std::size_t kMessageBufferSize = 4096;  // Login, Close and their replies
inline constexpr char kReplyMarker[] = "KAVRO2";

// 'a' to 'z' become 'A' to 'Z'; every other byte stays (the C locale's toupper).
void upperCaseAscii(char* text);

// The Login message text; returns its length (always below the buffer's size).
std::size_t buildLoginMessage(const Settings& s, char* buffer, std::size_t capacity);

enum class LoginResult { kAccepted, kRejected, kLinkFailure };

// Upper-cases UserName and ApplicationName in place, sends the Login message
// and reads its reply. On kRejected, `text` is the engine's text.
LoginResult engineLogin(Settings& s, const char** text);

enum class SendResult { kSent, kNoMemory, kLinkFailure };

// "3", 0x01, the payload, 0x01, as one Frame.
SendResult engineSendRequest(const char* payload, std::size_t size);

// A decoded reply: its status character and its body.
struct ReplyBody {
  char status;
  const char* data;
  std::size_t size;
};

// Decodes in place a reply of `announced` bytes (at least 1) whose received
// text, kept in `buffer` (of announced + 1 bytes), is `textLength` bytes long.
ReplyBody decodeReply(char* buffer, std::size_t announced, std::size_t textLength);

// Decodes pairs of upper-case hex digits in place; returns the byte count.
std::size_t hexDecodeInPlace(char* text, std::size_t length);

// Sends the Close message; false when it could not be sent. The reply is read
// and dropped whatever it holds.
bool engineClose();

}  // namespace kavro
