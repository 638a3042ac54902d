// The gateway's conversation with the Engine Server: Login, Request, Close,
// and the decoding of the reply to the request.
//
// The conversation's steps return true to go on and false when the run must
// end, with `*failure` set to the text to report: the link's last error
// text, the engine's own text of a rejected login, or a memory failure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gateway/engine_link.h"
#include "gateway/settings.h"
#include "wire/wire.h"

namespace kavro {

// Login, Close and their replies.
inline constexpr std::size_t kMessageBufferSize = sizeof EngineLink::message;

// 'a' to 'z' become 'A' to 'Z'; every other byte stays (the C locale's toupper).
void upperCaseAscii(char* text);

// The Login message text, UserName and ApplicationName upper-cased (the
// settings stay as read); returns its length (always below the buffer's size).
std::size_t buildLoginMessage(const Settings& s, char* buffer, std::size_t capacity);

// Sends the Login message and reads its reply; a status other than '0' ends
// the run with the text the engine gave.
bool engineLogin(EngineLink& link, const Settings& s, const char** failure);

// "3", 0x01, the payload, 0x01, as one Frame.
bool engineSendRequest(EngineLink& link, const char* payload, std::size_t size, const char** failure);

// A decoded reply: its status character and its body.
struct ReplyBody {
  char status;
  const char* data;
  std::size_t size;
};

// The reply to the request, received into a block from the process heap and
// decoded in place; `body` points into `buffer`.
struct Reply {
  char* buffer;
  ReplyBody body;
};
void releaseReply(Reply* reply);

// Receives the `announced` bytes (at least 1) of the reply to the request and
// decodes them. A reply cut short ends the run: nothing of it is written.
bool engineRecvReply(EngineLink& link, std::int32_t announced, Reply* reply, const char** failure);

// Decodes in place a reply of `announced` bytes (at least 1) whose received
// text, kept in `buffer` (of announced + 1 bytes), is `textLength` bytes long.
ReplyBody decodeReply(char* buffer, std::size_t announced, std::size_t textLength);

// Decodes pairs of upper-case hex digits in place; returns the byte count.
std::size_t hexDecodeInPlace(char* text, std::size_t length);

// Sends the Close message; the reply is read and dropped whatever it holds.
bool engineClose(EngineLink& link, const char** failure);

}  // namespace kavro
