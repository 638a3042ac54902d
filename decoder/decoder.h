// The CGI request decoder: turns the query string, the POST body (urlencoded
// or multipart/form-data) and, for multipart requests, the cookies into one
// process-wide list of named entries.
#pragma once

#include <cstddef>
#include <ctime>

namespace kavro {

// One decoded field. The list owns its entries; each entry owns its texts.
struct Q_entry {
  char* name;   // never empty
  char* value;  // a terminated text; an uploaded file's bytes may hold zero bytes
  Q_entry* next;
};

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

// Lookups by a printf-formatted name of at most 1023 characters (longer is
// fatal). They decode the request first when the list is empty.
const char* qValue(const char* format, ...) __attribute__((format(printf, 1, 2)));
int qiValue(const char* format, ...) __attribute__((format(printf, 1, 2)));
Q_entry* qFirstEntry();
void qReleaseEntries();

// The number of bytes the decoder placed in `entry`'s value buffer before its
// terminator: an upload's byte count, or the text's length. A caller never
// reads beyond it, whatever a companion entry claims.
std::size_t qValueSize(const Q_entry* entry);
void qSetValueSize(Q_entry* entry, std::size_t size);

// ------------------------------------------------------------ decoding

// Decodes the request into the entry list unless it already holds an entry
// (then -1). Returns the number of pairs (or parts) read. Fatal errors end
// the process through qError.
int qDecode();

char* _get_query(const char* source);
int _decode_urlencoded();
int _split_pairs(char* text, char separator);
int _parse_multipart_data();

char* _cut_word(char* text, char stop);
char* _trim_space(char* text);
char* _url_decode(char* text);
char _hex_pair_value(char hi, char lo);
char* _to_upper(char* text);
int _prefix_equal_nocase(const char* a, const char* b, std::size_t n);
const char* _getenv_or(const char* fallback, const char* name);
std::tm* _local_now();

// ------------------------------------------------------------ errors

// Writes the error page (under a web server) or one console line, releases
// the list and ends the process with exit status 1.
[[noreturn]] void qError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void qReleaseAll();
void qPrintContentType(const char* type);

// ------------------------------------------------------------ request identifier

// MD5 of `text` as 32 lower-case hex digits, in a buffer the next call reuses.
const char* qMd5Hex(const char* text);
// MD5 of the local time to the second and the client's address and port.
const char* qUniqueRequestId();

}  // namespace kavro
