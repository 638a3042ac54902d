// The Engine Server's side of the Engine link: Frames, the gateway's three
// messages, the Request payload, and the replies. Shared by the sample engine
// and the tests' fake engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "wire/wire.h"

namespace kavro::engine {

// Reads one Frame: eight ASCII digits, then that many bytes. Empty when the
// peer closed or sent a malformed length before a whole Frame arrived.
std::optional<std::string> readFrame(platform::Socket socket);

// "%08zu" length, then the bytes, as one send.
bool writeFrame(platform::Socket socket, std::string_view text);

// A gateway message: its code and its fields, each of which the gateway ends
// with the Field separator 0x01.
struct Message {
  int code = 0;
  std::vector<std::string> fields;  // the fields after the code
};
// False when the text is not a code followed by 0x01-terminated fields.
bool parseMessage(std::string_view text, Message* message);

// The Login message's fields, in order.
struct Login {
  std::string userName, userPassword, applicationName, fixed, engineName, procedureName, startupFlags,
      shutdownFlags, hxLocation;
};
bool parseLogin(const Message& message, Login* login);

// The values of the Request payload, each of which the gateway ended with
// 0xFE. The first 26 are the CGI rows (wire::CgiRow), the rest the variables
// AdditionalValues names.
struct PayloadValues {
  std::vector<std::string> values;
  const std::string& row(std::size_t index) const;
  std::vector<std::string> additional() const;
};
// A Request message's payload. False when the message is not a Request or
// its payload is not made of 0xFE-terminated values.
bool parseRequest(std::string_view text, PayloadValues* payload);

// Row 0 (the re-encoded form fields) back into decoded name/value pairs.
std::vector<std::pair<std::string, std::string>> parseFields(std::string_view query);
std::string urlDecode(std::string_view text);

// Replies: status, one byte, the text, one last byte.
std::string reply(char status, std::string_view text);
// A reply whose text carries the "KAVRO2" marker and a selector before the body.
std::string markedReply(char status, char selector, std::string_view body);
// A body of any bytes, hex-encoded (upper case) behind the marker and '1'.
std::string hexReply(char status, std::string_view bytes);
std::string hexEncode(std::string_view bytes);

}  // namespace kavro::engine
