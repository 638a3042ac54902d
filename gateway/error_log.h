// The line every report also writes to the error log: standard error,
// which Apache, lighttpd and fcgiwrap (-f) put in the web server's log:
//
//   kavro3: key=KEY script=SCRIPT_NAME remote=REMOTE_ADDR msg=MESSAGE
//
// KEY is the settings key the run uses, "none" when no key opened and "-"
// before the settings were read (the decoder's errors). An unset variable
// is "-". In the three fields every byte up to the blank and 0x7F is
// escaped (\n, \r, \t, \xHH), so that blanks separate them; in the message
// the control bytes are, and the line ends that open or close many of the
// gateway's texts are dropped. Fields longer than kErrorLogFieldMax and a
// message that would make the line longer than kErrorLogLineMax are cut and
// end in "...".
#pragma once

#include <cstddef>

#include "platform/request.h"

namespace kavro {

inline constexpr std::size_t kErrorLogLineMax = 2048;  // line end included
inline constexpr std::size_t kErrorLogFieldMax = 256;  // escaped bytes of one field
inline constexpr char kErrorLogPrefix[] = "kavro3: ";

// The escaped form of one byte as the line writes it (\n, \r, \t, \xHH for
// control bytes and 0x7F, and the blank too when `blankToo`); places it at
// `out`, which has room for kLogEscapeMax bytes, and returns its length.
inline constexpr std::size_t kLogEscapeMax = 4;
std::size_t escapeLogByte(unsigned char c, bool blankToo, char* out);

// Builds the line for these texts (null: unset) in `line`, which has room
// for kErrorLogLineMax bytes; returns its length, line end included.
std::size_t formatErrorLogLine(char* line, const char* key, const char* scriptName, const char* remoteAddr,
                               const char* message);

// Writes the line for `message` with the settings key `key` (as
// settingsKeyName() gives it) and the request's SCRIPT_NAME and REMOTE_ADDR
// to the request's error log.
void logError(platform::Request& request, const char* key, const char* message);

}  // namespace kavro
