// The process-wide entry list and its lookups.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decoder/decimal.h"
#include "decoder/decoder.h"
#include "decoder/internal.h"
#include "decoder/state.h"
#include "platform/platform.h"

namespace kavro {
namespace {

// Each entry carries, behind the three members callers see, the size of its
// value buffer's contents, so that no caller reads beyond what was made.
struct Node {
  Q_entry entry;
  std::size_t valueSize;
  // Non-zero when the value is a platform large buffer of this capacity (a
  // long multipart value) or lies in the mapped standard input
  // (decoder::kBorrowedValue): std::free must not see either.
  std::size_t largeCapacity;
  // An upload whose value is the upload sink's text, not its content.
  bool handled;
};

constexpr char kUploadId[] = "Q_UPLOAD_ID";
constexpr std::size_t kLookupNameMax = 1023;

Node* nodeOf(const Q_entry* entry) {
  // Q_entry is the first member of Node: its address is the node's.
  return reinterpret_cast<Node*>(const_cast<Q_entry*>(entry));
}

using decoder::releaseValue;

Q_entry* appendNode(Q_entry* head, char* name, char* value, std::size_t valueSize,
                    std::size_t largeCapacity) {
  if (name == nullptr || name[0] == '\0') {
    std::free(name);
    releaseValue(value, largeCapacity);
    return nullptr;
  }
  Node* node = static_cast<Node*>(platform::memAlloc(sizeof(Node)));
  if (node == nullptr) {
    std::free(name);
    releaseValue(value, largeCapacity);
    qError("_entry_append(): Memory allocation fail.");
  }
  node->entry = Q_entry{name, value, nullptr};
  node->valueSize = valueSize;
  node->largeCapacity = largeCapacity;
  node->handled = false;
  Q_entry* entry = &node->entry;

  decoder::State& list = decoder::state();
  bool processList = head == list.head;
  if (head != nullptr) {
    Q_entry* last = processList && list.tail ? list.tail : head;
    while (last->next) last = last->next;
    last->next = entry;
  }
  // A list started from a null head becomes the process list when its caller
  // makes it the head; until then the tail is only a hint that is re-walked.
  if (processList) list.tail = entry;
  if (processList && std::strcmp(name, kUploadId) == 0) list.uploadIdSeen = true;
  return entry;
}

}  // namespace

namespace decoder {

Q_entry* head() { return state().head; }

Q_entry* appendLargeEntry(char* name, char* value, std::size_t valueSize, std::size_t capacity) {
  State& list = state();
  Q_entry* entry = appendNode(list.head, name, value, valueSize, capacity);
  if (entry != nullptr && list.head == nullptr) list.head = entry;
  return entry;
}

Q_entry* appendEntry(char* name, char* value, std::size_t valueSize) {
  return appendLargeEntry(name, value, valueSize, 0);
}

void markUploadHandled(Q_entry* entry) { nodeOf(entry)->handled = true; }

bool uploadIdSeen() { return state().uploadIdSeen; }

void releaseValue(char* value, std::size_t largeCapacity) {
  if (largeCapacity == kBorrowedValue)
    releaseBorrowedValue(value);
  else if (largeCapacity != 0)
    platform::largeFree(value, largeCapacity);
  else
    std::free(value);
}

}  // namespace decoder

bool qUploadHandled(const Q_entry* entry) { return nodeOf(entry)->handled; }

Q_entry* _entry_append(Q_entry* head, char* name, char* value) {
  return appendNode(head, name, value, value ? std::strlen(value) : 0, 0);
}

const char* _entry_find(Q_entry* head, const char* name) {
  for (Q_entry* e = head; e; e = e->next) {
    if (std::strcmp(e->name, name) == 0) return e->value;
  }
  return nullptr;
}

int _entry_find_int(Q_entry* head, const char* name) {
  const char* value = _entry_find(head, name);
  return value ? static_cast<int>(readDecimal(value, INT_MIN, INT_MAX)) : 0;
}

void _entry_list_free(Q_entry* head) {
  while (head) {
    Q_entry* next = head->next;
    std::free(head->name);
    releaseValue(head->value, nodeOf(head)->largeCapacity);
    std::free(nodeOf(head));
    head = next;
  }
}

namespace {

// Formats a lookup name; one that needs more than 1023 characters is fatal.
// Then decodes the request if the list is still empty.
void lookupName(char (&name)[kLookupNameMax + 1], const char* failure, const char* format, va_list args) {
  int n = std::vsnprintf(name, sizeof name, format, args);
  if (n < 0 || static_cast<std::size_t>(n) > kLookupNameMax) qError("%s", failure);
  if (decoder::head() == nullptr) qDecode();
}

}  // namespace

const char* qValue(const char* format, ...) {
  char name[kLookupNameMax + 1];
  va_list args;
  va_start(args, format);
  lookupName(name, "qValue(): Message is too long or invalid.", format, args);
  va_end(args);
  return _entry_find(decoder::head(), name);
}

int qiValue(const char* format, ...) {
  char name[kLookupNameMax + 1];
  va_list args;
  va_start(args, format);
  lookupName(name, "qiValue(): Message is too long or invalid.", format, args);
  va_end(args);
  return _entry_find_int(decoder::head(), name);
}

Q_entry* qFirstEntry() {
  if (decoder::head() == nullptr) qDecode();
  return decoder::head();
}

void qReleaseEntries() {
  decoder::State& list = decoder::state();
  _entry_list_free(list.head);
  list.head = nullptr;
  list.tail = nullptr;
  list.uploadIdSeen = false;
}

std::size_t qValueSize(const Q_entry* entry) { return nodeOf(entry)->valueSize; }
void qSetValueSize(Q_entry* entry, std::size_t size) { nodeOf(entry)->valueSize = size; }

}  // namespace kavro
