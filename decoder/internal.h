// What the decoder's own files share beyond the public interface.
#pragma once

#include <cstddef>

#include "decoder/decoder.h"

namespace kavro::decoder {

Q_entry* head();

// Appends to the process-wide list (making the head when it is empty) an
// entry whose value buffer holds `valueSize` bytes before its terminator.
// An empty name stores nothing and frees both texts.
void appendEntry(char* name, char* value, std::size_t valueSize);

// Whether an entry named "Q_UPLOAD_ID" has been appended to the process-wide
// list since it was last released: the same answer as a lookup, without
// walking the list.
bool uploadIdSeen();

int atoiSaturating(const char* text);

}  // namespace kavro::decoder
