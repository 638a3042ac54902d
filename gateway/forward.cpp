#include "gateway/forward.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "decoder/decimal.h"
#include "gateway/texts.h"
#include "gateway/url_encode.h"
#include "platform/platform.h"

namespace kavro {
namespace {

bool isCompanion(const Q_entry* companion, const char* name, std::size_t nameLength, const char* suffix) {
  return companion != nullptr && std::strncmp(companion->name, name, nameLength) == 0 &&
         std::strcmp(companion->name + nameLength, suffix) == 0;
}

}  // namespace

bool appendPair(PairText* text, const char* name, const char* value) {
  std::size_t nameLength = std::strlen(name);
  std::size_t valueLength = std::strlen(value);
  std::size_t needed = text->length + nameLength + valueLength + 2;
  if (needed > text->capacity) {
    // Grows geometrically: a body of a million tiny fields must not cost a
    // million copies of the text so far.
    std::size_t capacity = text->capacity ? text->capacity : 256;
    while (capacity < needed) capacity *= 2;
    char* grown = static_cast<char*>(platform::heapRealloc(text->data, capacity));
    if (grown == nullptr) return false;
    text->data = grown;
    text->capacity = capacity;
  }
  char* put = text->data + text->length;
  std::memcpy(put, name, nameLength);
  put[nameLength] = '=';
  std::memcpy(put + nameLength + 1, value, valueLength);
  put[nameLength + 1 + valueLength] = '&';
  text->length = needed;
  return true;
}

bool isFileField(const Q_entry* entry) {
  std::size_t nameLength = std::strlen(entry->name);
  return isCompanion(entry->next, entry->name, nameLength, ".length") &&
         isCompanion(entry->next->next, entry->name, nameLength, ".filename");
}

std::size_t uploadSize(const Q_entry* file) {
  long long count = readDecimal(file->next->value, 0, LLONG_MAX);
  std::size_t size = qValueSize(file);
  return static_cast<unsigned long long>(count) < size ? static_cast<std::size_t>(count) : size;
}

bool forwardFields(Q_entry* first, Spool& spool, PairText* text, const char** failure) {
  *text = PairText{nullptr, 0, 0};
  for (Q_entry* entry = first; entry != nullptr; entry = entry->next) {
    // An upload streamed while the body was read already holds what goes on.
    const char* value = entry->value;
    if (isFileField(entry) && !qUploadHandled(entry)) value = spool.valueFor(entry->value, uploadSize(entry));
    char* encodedName = urlEncode(entry->name);
    char* encodedValue = urlEncode(value);
    bool appended =
        encodedName != nullptr && encodedValue != nullptr && appendPair(text, encodedName, encodedValue);
    std::free(encodedName);
    std::free(encodedValue);
    if (!appended) {
      *failure = text::kNoMemory;
      return false;
    }
  }
  // The last '&' gives way to the terminator.
  if (text->length != 0) text->data[--text->length] = '\0';
  return true;
}

void releasePairText(PairText* text) {
  platform::heapFree(text->data);
  *text = PairText{nullptr, 0, 0};
}

}  // namespace kavro
