// The 26 CGI variables the gateway sends to the Engine Server, in wire order.
// The order is part of the protocol: the engine finds each value by its row.
#pragma once

#include <cstddef>

namespace kavro {

inline constexpr std::size_t kCgiRowCount = 26;
inline constexpr std::size_t kRowQueryString = 0;
inline constexpr std::size_t kRowScriptName = 17;
inline constexpr std::size_t kRowRegistrySettings = 25;

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

// Separators of the Engine link's messages.
inline constexpr char kValueSeparator = '\xFE';  // ends every value of the Request payload
inline constexpr char kFieldSeparator = '\x01';  // ends every field of a message
// What a separator byte inside a value becomes, so it cannot shift the rows.
inline constexpr char kSeparatorReplacement = '?';

}  // namespace kavro
