// What the decoder's own files (and their tests) share beyond its public
// interface: the entry list's internals, the decoding routines, and the
// text, environment and clock helpers.
#pragma once

#include <cstddef>
#include <ctime>

#include "decoder/body_input.h"
#include "decoder/decoder.h"
#include "decoder/delimiter.h"

namespace kavro {

// ------------------------------------------------------------ entry list

// Appends an entry adopting `name` and `value` (heap texts) after the last
// entry of the list that starts at `head`. An empty name stores nothing (both
// texts are freed) and gives null. The caller makes the result the head when
// the head was null.
Q_entry* _entry_append(Q_entry* head, char* name, char* value);
// Value of the first entry named exactly `name`, or null.
const char* _entry_find(Q_entry* head, const char* name);
// That value read as atoi reads it; 0 when absent.
int _entry_find_int(Q_entry* head, const char* name);
void _entry_list_free(Q_entry* head);

// Sets the byte count qValueSize gives for `entry`.
void qSetValueSize(Q_entry* entry, std::size_t size);

// ------------------------------------------------------------ decoding

char* _get_query(const char* source);
int _decode_urlencoded();
int _split_pairs(char* text, char separator);
int _parse_multipart_data();

// Reads bytes of the body until `size` - 1 are stored, a LF is stored, or the
// body ends; terminates the text. Null when the text is empty (the body had
// ended, or its first byte is NUL).
char* _read_line(char* buffer, std::size_t size, decoder::BodyInput* stream);

// Reads one part's content up to its delimiter into a new buffer holding the
// content and a NUL. Sets *last when the delimiter was the closing one,
// *length to the content's byte count, *largeCapacity to the buffer's
// capacity when it is a platform large buffer, kBorrowedValue when the
// content was left in the mapped standard input, else 0. A body that ends
// first is fatal.
char* _parse_multipart_value_into_memory(const char* boundary, int* last, std::size_t* length,
                                         std::size_t* largeCapacity);

// Reads an upload's content up to its delimiter into the upload sink (or,
// `keep` false, nowhere) and makes the sink's closing text the pending value.
// Sets *last when the delimiter was the closing one; returns the content's
// byte count. A body that ends first is fatal.
namespace decoder {
std::size_t streamUpload(const char* boundary, bool keep, int* last);
}

// ------------------------------------------------------------ helpers

char* _cut_word(char* text, char stop);
char* _trim_space(char* text);
char* _url_decode(char* text);
char _hex_pair_value(char hi, char lo);
char* _to_upper(char* text);
int _prefix_equal_nocase(const char* a, const char* b, std::size_t n);
const char* _getenv_or(const char* fallback, const char* name);
std::tm* _local_now();

}  // namespace kavro

namespace kavro::decoder {

Q_entry* head();

// Appends to the request's list (making the head when it is empty) an
// entry whose value buffer holds `valueSize` bytes before its terminator,
// and returns it. An empty name stores nothing (null) and frees both texts.
Q_entry* appendEntry(char* name, char* value, std::size_t valueSize);

// Appends like appendEntry, for a value that is a platform large buffer of
// `capacity` bytes (released with largeFree, never std::free), or with
// `capacity` kBorrowedValue, a value inside the mapped standard input.
Q_entry* appendLargeEntry(char* name, char* value, std::size_t valueSize, std::size_t capacity);
// The entry of an upload holds the upload sink's text (qUploadHandled).
void markUploadHandled(Q_entry* entry);
constexpr std::size_t kBorrowedValue = ~std::size_t{0};

// Copies at most `count` bytes of `text` (fewer at its NUL) into `target`,
// cut to fit, and terminates it.
void copyText(char* target, std::size_t targetSize, const char* text, std::size_t count);

// Whether an entry named "Q_UPLOAD_ID" is in the list.
bool uploadIdSeen();

// Releases an entry's value as the entry would: `largeCapacity` 0 for the
// allocator, kBorrowedValue for the mapping, else a large buffer's capacity.
void releaseValue(char* value, std::size_t largeCapacity);

// The multipart parser's messages.
inline constexpr char kBrokenStream[] = "_parse_multipart_data(): Broken stream.";
inline constexpr char kMultipartNoMemory[] = "_parse_multipart_data(): Memory allocation fail.";
inline constexpr char kFormatInvalid[] = "_parse_multipart_data(): String format invalid.";
inline constexpr char kBoundaryTooLong[] =
    "_parse_multipart_data(): The boundary string is too long(Overflow Attack?). Stopping process.";
inline constexpr char kNotHttp[] = "_parse_multipart_data(): Your browser sent a non-HTTP compliant message.";
inline constexpr char kNoUploadBase[] = "_parse_multipart_data(): qSetUploadBase() must be called before.";

}  // namespace kavro::decoder
