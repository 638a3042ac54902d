// The gateway's one way of reporting a failure to the user.
#pragma once

#include "gateway/settings.h"
#include "platform/request.h"

namespace kavro {

inline constexpr unsigned kReportMessageMax = 1023;
inline constexpr unsigned kOutagePieceMax = 1023;

// Writes one complete response to the request: the Outage page named by
// SysDownPage when one is set (nothing at all when it cannot be opened),
// otherwise "Content-type: text/plain" and the formatted message, cut at 1023
// characters. Texts that are not templates go through "%s". Each report also
// writes its line to the error log (gateway/error_log.h). Settings not read
// yet (all empty) give the plain-text form.
void reportError(platform::Request& request, const Settings& settings, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace kavro
