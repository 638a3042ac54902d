// Re-encoding of the decoded form fields into the text of row 0; uploaded
// files become what the spool makes of them.
#pragma once

#include <cstddef>

#include "decoder/decoder.h"
#include "gateway/spool.h"

namespace kavro {

// A growing block of name=value pairs, each followed by '&'.
struct PairText {
  char* data;  // from the process heap; no terminator while it grows
  std::size_t length;
  std::size_t capacity;
};

// Appends name, '=', value and '&', growing the block. False when memory
// runs out (the block stays as it was).
bool appendPair(PairText* text, const char* name, const char* value);

// True when `entry` is an uploaded file: its next entry is named after it
// with ".length" and the one after that with ".filename".
bool isFileField(const Q_entry* entry);

// The bytes of an uploaded file that go on: the count of its ".length"
// companion, never more than its value holds.
std::size_t uploadSize(const Q_entry* file);

// Walks the entries from `first`, asking the spool what each uploaded file
// held in memory becomes (an upload it streamed holds its path already),
// and leaves the pairs joined by '&' (terminated, no trailing '&')
// in `text`; an empty list leaves it empty. False when memory runs out,
// with `*failure` the text to report.
bool forwardFields(Q_entry* first, Spool& spool, PairText* text, const char** failure);
void releasePairText(PairText* text);

}  // namespace kavro
