#pragma once

namespace kavro {

// Percent-encodes every byte of `text` except 0-9, A-Z, a-z and @ . / \ - _ :
// ("%02X", so a blank gives %20). Returns a new text from the standard
// allocator that the caller frees, or null when `text` is null or memory runs out.
char* urlEncode(const char* text);

}  // namespace kavro
