// The CGI variable table and the Request payload built from it.
#pragma once

#include <cstddef>

#include "platform/request.h"
#include "wire/wire.h"

namespace kavro {

struct CgiRow {
  const char* name;
  const char* value;   // the environment's own text, or null when unset
  std::size_t length;  // the value's bytes without terminator; 0 when unset
};

struct CgiTable {
  CgiRow rows[wire::kCgiRowCount];
  std::size_t payloadSize;  // running sum of (length + 1) over the rows
};

// Reads the 26 variables of the request.
void captureCgiTable(platform::Request& request, CgiTable* table);

// Sets a row to a value the driver made (rows 0 and 25), keeping the sum.
void setCgiRow(CgiTable* table, std::size_t row, const char* value, std::size_t length);

// The Request payload: every value followed by the Value separator 0xFE. A
// block from the process heap.
struct RequestPayload {
  char* data;
  std::size_t size;
};

// What a separator byte inside a value becomes, so that it cannot shift the
// rows the engine reads.
inline constexpr char kSeparatorReplacement = '?';

// The 26 rows in order, then the request's variables named by
// AdditionalValues (split at commas, empty items skipped, blanks kept).
// False when memory runs out; nothing is left allocated then.
bool buildPayload(platform::Request& request, const CgiTable& table, const char* additionalValues,
                  RequestPayload* payload);
void releasePayload(RequestPayload* payload);

}  // namespace kavro
