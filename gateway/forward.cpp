#include "gateway/forward.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gateway/report.h"
#include "gateway/texts.h"
#include "gateway/url_encode.h"
#include "platform/platform.h"

namespace kavro {
namespace {

bool isCompanion(const Q_entry* companion, const char* name, std::size_t nameLength, const char* suffix) {
  return companion != nullptr && std::strncmp(companion->name, name, nameLength) == 0 &&
         std::strcmp(companion->name + nameLength, suffix) == 0;
}

// The bytes to spool: the count of the ".length" companion right after the
// file's entry, never more than the value holds.
std::size_t spoolSize(const Q_entry* file) {
  long long count = std::strtoll(file->next->value, nullptr, 10);
  if (count <= 0) return 0;
  std::size_t size = qValueSize(file);
  return static_cast<unsigned long long>(count) < size ? static_cast<std::size_t>(count) : size;
}

// Writes the file under FilePath + index + request id. The name is taken
// exclusively: a name already standing (a file of another request, or a
// link planted under it) moves on to the next index. Returns the path, or
// null (index given back) when no file could be made.
char* spoolFile(const Q_entry* file, const char* filePath, int* nextIndex) {
  int firstIndex = *nextIndex;
  for (int attempt = 0; attempt < kSpoolNameTries; ++attempt) {
    std::string path = filePath;
    path += std::to_string(*nextIndex);
    path += qUniqueRequestId();
    switch (platform::createNewFile(path.c_str(), file->value, spoolSize(file))) {
      case platform::CreateStatus::kCreated: {
        char* kept = static_cast<char*>(platform::memAlloc(path.size() + 1));
        if (kept == nullptr) {
          std::remove(path.c_str());
          *nextIndex = firstIndex;
          return nullptr;
        }
        std::memcpy(kept, path.c_str(), path.size() + 1);
        ++*nextIndex;
        return kept;
      }
      case platform::CreateStatus::kExists: ++*nextIndex; break;
      case platform::CreateStatus::kFailed: *nextIndex = firstIndex; return nullptr;
    }
  }
  *nextIndex = firstIndex;
  return nullptr;
}

// The value forwarded for an uploaded file: its spooled path (owned by the
// spool list), its content inline, or a fixed word.
const char* fileValue(const Q_entry* file, const Settings& settings, SpoolList* spool) {
  switch (settings.fileMode[0]) {
    case '1':
    case '2': {
      if (spool->count >= kMaxSpooledFiles) return "SKIPPED";
      char* path = spoolFile(file, settings.filePath, &spool->nextIndex);
      if (path == nullptr) return "ERROR";
      spool->paths[spool->count++] = path;
      return path;
    }
    case '3': return file->value;  // inline, as text up to its first zero byte
    default: return "SKIPPED";
  }
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
    if (grown == nullptr) {
      reportError("%s", text::kNoMemory);
      return false;
    }
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

bool forwardFields(Q_entry* first, const Settings& settings, SpoolList* spool, PairText* text) {
  *text = PairText{nullptr, 0, 0};
  for (Q_entry* entry = first; entry != nullptr; entry = entry->next) {
    const char* value = isFileField(entry) ? fileValue(entry, settings, spool) : entry->value;
    char* encodedName = urlEncode(entry->name);
    char* encodedValue = urlEncode(value);
    bool appended = false;
    if (encodedName == nullptr || encodedValue == nullptr) {
      reportError("%s", text::kNoMemory);
    } else {
      appended = appendPair(text, encodedName, encodedValue);
    }
    std::free(encodedName);
    std::free(encodedValue);
    if (!appended) return false;
  }
  // The last '&' gives way to the terminator.
  if (text->length != 0) text->data[--text->length] = '\0';
  return true;
}

void releasePairText(PairText* text) {
  platform::heapFree(text->data);
  *text = PairText{nullptr, 0, 0};
}

void deleteSpooledFiles(const SpoolList& spool) {
  for (std::size_t i = spool.count; i > 0; --i) std::remove(spool.paths[i - 1]);
}

void releaseSpoolList(SpoolList* spool) {
  while (spool->count > 0) std::free(spool->paths[--spool->count]);
}

}  // namespace kavro
