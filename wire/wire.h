// The bytes of the Engine link, as the gateway writes them and an Engine
// Server reads them: Frames, the three messages, the rows and separators of
// the Request payload, and the marker of the reply to a request. The gateway
// and the engine both include this header; nothing else defines these bytes.
#pragma once

#include <cstddef>

namespace kavro::wire {

// Every message and every reply is one Frame: the length of its text in eight
// ASCII decimal digits ("%08ld"), then the text. A longer text has no Frame.
inline constexpr std::size_t kFrameDigits = 8;
inline constexpr std::size_t kMaxFrameText = 99999999;

// Ends every field of a message, the last one included.
inline constexpr char kFieldSeparator = '\x01';
// Ends every value of the Request payload. Neither separator is ever escaped.
inline constexpr char kValueSeparator = '\xFE';

// A message's first field, written in decimal.
enum MessageCode : int { kLogin = 1, kClose = 2, kRequest = 3 };
// The fifth field of the Login message is always this digit.
inline constexpr char kLoginFixedField = '2';
inline constexpr std::size_t kLoginFieldCount = 10;

// Every reply: a status byte, one byte not examined, the reply's text, and
// one last byte that is not part of the text.
inline constexpr char kStatusOk = '0';
inline constexpr std::size_t kReplyTextOffset = 2;
// What the gateway keeps of a Login or a Close reply.
inline constexpr std::size_t kShortReplyMax = 4095;

// Inside the text of the reply to a request: the marker, then one selector
// byte; the body follows the selector, hex-encoded (pairs of 0-9 and upper-case
// A-F) when the selector is '1'.
inline constexpr char kReplyMarker[] = "KAVRO2";
inline constexpr std::size_t kReplyMarkerLength = sizeof kReplyMarker - 1;
inline constexpr char kHexSelector = '1';

// The Request payload: the values of these 26 CGI variables in this order,
// then those that AdditionalValues names, each followed by kValueSeparator.
// Row 0 carries the re-encoded form fields and row 25 the RegistryInfo
// string, never the environment's values of those names.
inline constexpr std::size_t kCgiRowCount = 26;

enum CgiRow : std::size_t {
  kRowQueryString,
  kRowPathInfo,
  kRowContentType,
  kRowContentLength,
  kRowGatewayInterface,
  kRowHttps,
  kRowHttpAccept,
  kRowHttpCookie,
  kRowHttpFrom,
  kRowHttpReferer,
  kRowHttpUserAgent,
  kRowPathTranslated,
  kRowRemoteAddr,
  kRowRemoteHost,
  kRowRemoteIdent,
  kRowRemoteUser,
  kRowRequestMethod,
  kRowScriptName,
  kRowServerName,
  kRowServerPort,
  kRowServerProtocol,
  kRowServerSoftware,
  kRowServerUrl,
  kRowNoDecode,
  kRowIsBinary,
  kRowRegistrySettings,
};
static_assert(kRowRegistrySettings + 1 == kCgiRowCount);

inline constexpr const char* kCgiRowNames[kCgiRowCount] = {
    "QUERY_STRING",    "PATH_INFO",         "CONTENT_TYPE",
    "CONTENT_LENGTH",  "GATEWAY_INTERFACE", "HTTPS",
    "HTTP_ACCEPT",     "HTTP_COOKIE",       "HTTP_FROM",
    "HTTP_REFERER",    "HTTP_USER_AGENT",   "PATH_TRANSLATED",
    "REMOTE_ADDR",     "REMOTE_HOST",       "REMOTE_IDENT",
    "REMOTE_USER",     "REQUEST_METHOD",    "SCRIPT_NAME",
    "SERVER_NAME",     "SERVER_PORT",       "SERVER_PROTOCOL",
    "SERVER_SOFTWARE", "SERVER_URL",        "NODECODE",
    "ISBINARY",        "REGISTRY_SETTINGS",
};

}  // namespace kavro::wire
