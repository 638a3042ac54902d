// The parameters a multipart request carries in its header texts: the
// boundary in CONTENT_TYPE, the field name and the file name in a part's
// Content-Disposition line. Texts in, texts out: no environment, no I/O.
#pragma once

#include <cstddef>

namespace kavro::decoder {

// The longest boundary parameter: "--", the boundary and the 4 more bytes of
// the longest delimiter, with a NUL, fill a 256-byte delimiter buffer.
inline constexpr std::size_t kBoundaryParameterMax = 249;

struct TextSpan {
  const char* data = nullptr;
  std::size_t length = 0;
};

// The value of the boundary parameter of `contentType`, found at its first
// "boundary=" (case-sensitive), blanks after the '=' skipped: a quoted
// string without its quotes (RFC 2046 allows no quote inside a boundary, so
// the next one ends it), or else the text up to the next ';', blank or the
// end. Its length is the value's, quotes not counted. False when there is no
// "boundary=" or its quoted string is not closed.
bool boundaryParameter(const char* contentType, TextSpan* value);

// Buffers for the names of a Content-Disposition line; each receives a
// terminated text, cut to fit.
struct DispositionNames {
  char* name;
  std::size_t nameSize;
  char* fileName;
  std::size_t fileNameSize;
};

// Reads the field name and the file name of a Content-Disposition `line`, as
// read (its CR LF included). The name is always set (empty when the line
// gives none); the file name only when the line gives one, and then the
// result is true. The file name is as written: not yet cut to its last
// backslash-separated component.
//
// A line whose first 38 characters are `Content-Disposition: form-data;
// name="` in any letter case, as browsers and curl send it, is read at fixed
// places: the name from character 38 to the next double quote, the file
// name after the first `; filename="` (in exactly this case) to the next
// double quote. Any other line is read by its parameters after the first
// ';': `name` and `filename` in any letter case and any order, the first of
// each counting, each a quoted string or a token (up to ';', blanks at both
// ends trimmed). In a quoted string, \" and \\ stand for " and \ (RFC 2616
// escaping, which clients that do not percent-encode use); any other
// backslash stays, so that Windows paths keep theirs; one without its
// closing quote runs to the end of the line. On either shape a `filename*`
// parameter (RFC 5987: UTF-8, an optional language, then percent-encoded
// bytes) gives the file name; one in another charset, or malformed, or
// encoding a zero byte, is ignored.
bool readDispositionNames(const char* line, const DispositionNames& out);

}  // namespace kavro::decoder
