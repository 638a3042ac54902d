// The CGI request decoder: turns the query string, the POST body (urlencoded
// or multipart/form-data) and, for multipart requests, the cookies of the
// request it is bound to into one list of named entries.
//
// Its operations never return an error: a request it cannot accept ends
// through qError (an error page, status 1).
#pragma once

#include <cstddef>

namespace kavro {

namespace platform {
class Request;
}

// One decoded field. The list owns its entries; each entry owns its texts.
struct Q_entry {
  char* name;   // never empty
  char* value;  // a terminated text; an uploaded file's bytes may hold zero bytes
  Q_entry* next;
};

// Binds the decoder, emptied, to the request it decodes: every later call
// reads that request's variables and body, and qError writes to it and ends
// it. qEndRequest() releases everything the decoder holds and unbinds it.
void qStartRequest(platform::Request& request);
void qEndRequest();

// Decodes the request into the entry list unless it already holds an entry
// (then -1). Returns the number of pairs (or parts) read.
int qDecode();

// Lookups by a printf-formatted name of at most 1023 characters (longer is
// fatal). They decode the request first when the list is empty.
const char* qValue(const char* format, ...) __attribute__((format(printf, 1, 2)));
int qiValue(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The first entry, decoding first when the list is empty; null without fields.
Q_entry* qFirstEntry();
void qReleaseEntries();

// Where the content of an uploaded file goes while the body is read: the
// gateway streams it to a spool file, or drops it. Without a sink every
// content is held in memory, as any part's.
class QUploadSink {
 public:
  enum class Keep { kMemory, kStream, kDrop };
  // The content of an upload for the field `name` begins. kMemory: it is held
  // in memory; kStream: it goes to writeUpload() as it is found; kDrop: it
  // is read and dropped.
  virtual Keep beginUpload(const char* name) = 0;
  // kStream: the next `size` bytes of the content.
  virtual void writeUpload(const char* data, std::size_t size) = 0;
  // kStream and kDrop: the content has ended. The text the field's entry
  // holds instead of the content (a spool path, "ERROR", "SKIPPED"); the
  // decoder copies it.
  virtual const char* endUpload() = 0;
  // The decode failed: nothing the sink made for it may stay.
  virtual void abandonUploads() = 0;

 protected:
  ~QUploadSink() = default;
};
// Set after qStartRequest, which clears it.
void qSetUploadSink(QUploadSink* sink);
// Whether the entry of an uploaded file holds the sink's text rather than
// its content.
bool qUploadHandled(const Q_entry* entry);

// The number of bytes the decoder placed in `entry`'s value buffer before its
// terminator: an upload's byte count, or the text's length. A caller never
// reads beyond it, whatever a companion entry claims.
std::size_t qValueSize(const Q_entry* entry);

// Writes the error page (under a web server) or one console line, releases
// the list and ends the request with exit status 1.
[[noreturn]] void qError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void qReleaseAll();
// Called by qError with `context` and the message once the page or line is
// written, before the request ends: the gateway puts it in the web server's
// error log. Set after qStartRequest, which clears it.
using QErrorHook = void (*)(void* context, const char* message);
void qSetErrorHook(QErrorHook hook, void* context);
// "Content-Type: " and `type`, once per request whoever asks first.
void qPrintContentType(const char* type);

// MD5 of `text` as 32 lower-case hex digits, in a buffer the next call reuses.
const char* qMd5Hex(const char* text);
// MD5 of the local time to the second and the client's address and port.
const char* qUniqueRequestId();

}  // namespace kavro
