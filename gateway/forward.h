// Re-encoding of the decoded form fields into the text of row 0, with the
// spooling of uploaded files to disk.
#pragma once

#include <cstddef>

#include "decoder/decoder.h"
#include "gateway/settings.h"

namespace kavro {

inline constexpr std::size_t kMaxSpooledFiles = 20;
inline constexpr int kSpoolNameTries = 1000;

// A growing block of name=value pairs, each followed by '&'.
struct PairText {
  char* data;  // from the process heap; no terminator while it grows
  std::size_t length;
  std::size_t capacity;
};

// Appends name, '=', value and '&', growing the block. On allocation failure
// reports "KAVRO memory allocation failure." and returns false (the block
// stays as it was).
bool appendPair(PairText* text, const char* name, const char* value);

// True when `entry` is an uploaded file: its next entry is named after it
// with ".length" and the one after that with ".filename".
bool isFileField(const Q_entry* entry);

// The files spooled in one run, in the order they were written, and the
// index that the next file name takes. Slots are never reused within a run.
struct SpoolList {
  char* paths[kMaxSpooledFiles];
  std::size_t count;
  int nextIndex;
};

// Walks the entries from `first`, spooling, inlining or skipping uploaded
// files as FileMode says, and leaves the pairs joined by '&' (terminated, no
// trailing '&') in `text`; an empty list leaves it empty. False after a
// memory failure that was reported with "KAVRO memory allocation failure.".
bool forwardFields(Q_entry* first, const Settings& settings, SpoolList* spool, PairText* text);
void releasePairText(PairText* text);

// Deletes the spooled files, the last one first; failures are ignored. The
// paths stay recorded: a termination handler may be walking them.
void deleteSpooledFiles(const SpoolList& spool);
// Forgets the paths (the files stay where they are) and empties the list.
void releaseSpoolList(SpoolList* spool);

}  // namespace kavro
