// The gateway's one way of reporting a failure to the user.
#pragma once

#include <cstdio>

namespace kavro {

inline constexpr unsigned kReportMessageMax = 1023;
inline constexpr unsigned kOutagePieceMax = 1023;

// Writes one complete response to standard output: the Outage page named by
// SysDownPage when one is set (nothing at all when it cannot be opened),
// otherwise "Content-type: text/plain" and the formatted message, cut at 1023
// characters. Texts that are not templates go through "%s". Each report also
// writes its line to the error log (gateway/error_log.h).
void reportError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sends reports to `out` instead of standard output (null restores it).
void reportStreamForTests(std::FILE* out);

}  // namespace kavro
