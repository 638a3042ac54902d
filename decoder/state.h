// Everything the decoder keeps for the request it is bound to, in one place:
// emptied when a request starts and when it ends.
#pragma once

#include <cstddef>

#include "decoder/body_input.h"
#include "decoder/decoder.h"
#include "decoder/delimiter.h"
#include "platform/request.h"

namespace kavro::decoder {

inline constexpr std::size_t kLineBufferSize = 1024;  // a part's header line, and its fields
inline constexpr std::size_t kHexDigestLength = 32;

// The headers of the part being read.
struct PartState {
  char name[kLineBufferSize];
  char fileName[kLineBufferSize];
  char contentType[kLineBufferSize];
};

struct State {
  // The request being decoded: its variables, its body, where the error page
  // goes and how the request ends.
  platform::Request* request = nullptr;

  // The entry list, and its last entry, so that appending costs the same for
  // the millionth field as for the first.
  Q_entry* head = nullptr;
  Q_entry* tail = nullptr;
  // Whether an entry named "Q_UPLOAD_ID" has been appended since the list was
  // last released: the answer of a lookup, without walking the list.
  bool uploadIdSeen = false;

  // The multipart body, the search for its delimiters, and standard input
  // mapped whole. Kept here rather than on a stack, so that nothing is lost
  // from sight when qError ends the process half-way.
  BodyInput input;
  DelimiterScanner scanner;
  InputMapping mapping;
  PartState part = {};

  // Texts that routines able to end in qError are working on: the source
  // being split into pairs, and a part's content not yet adopted by an entry
  // (with its large-buffer capacity, as an entry keeps it). Held here so that
  // a fatal error that does not end the process leaves nothing behind.
  char* source = nullptr;
  char* pendingValue = nullptr;
  std::size_t pendingCapacity = 0;

  // Set by the first qError: a second one exits at once.
  bool reporting = false;
  // Set once a Content-Type header has been written.
  bool contentTypeSent = false;
  QErrorHook errorHook = nullptr;
  void* errorHookContext = nullptr;
  QUploadSink* uploadSink = nullptr;

  // The results of qMd5Hex and qUniqueRequestId.
  char digest[kHexDigestLength + 1] = {};
  char requestId[kHexDigestLength + 1] = {};
};

State& state();

// Releases everything the decoder holds (entries, look-ahead, mapping) and
// puts it back as it was at the start, bound to no request.
void resetState();

// Frees the source text being split, if any.
void dropSource();

// The bound request's variable `name`, or null when it is unset.
const char* variable(const char* name);

}  // namespace kavro::decoder
