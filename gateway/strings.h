// Text helpers of the gateway: a bounded text buffer, and the split of a
// setting into its items.
#pragma once

#include <cstddef>
#include <cstring>

namespace kavro {

template <std::size_t Capacity>
class FixedText {
 public:
  static constexpr std::size_t kMaxLength = Capacity - 1;

  constexpr FixedText() : data_{}, length_(0) {}

  void clear() {
    length_ = 0;
    data_[0] = '\0';
  }

  // Appends what fits; false when `text` had to be cut.
  bool append(const char* text, std::size_t size) {
    std::size_t room = kMaxLength - length_;
    std::size_t take = size < room ? size : room;
    std::memcpy(data_ + length_, text, take);
    length_ += take;
    data_[length_] = '\0';
    return take == size;
  }
  bool append(const char* text) { return append(text, std::strlen(text)); }

  bool assign(const char* text) {
    clear();
    return append(text);
  }

  const char* c_str() const { return data_; }
  char* data() { return data_; }
  std::size_t size() const { return length_; }
  bool empty() const { return length_ == 0; }

 private:
  char data_[Capacity];
  std::size_t length_;
};

// Splits `text` in place at `delimiter` as strtok does: empty items are
// skipped, items are not trimmed, and at most `maxItems` are taken (the rest
// of the text is ignored). Returns the item count.
inline std::size_t splitItems(char* text, char delimiter, const char** items, std::size_t maxItems) {
  std::size_t count = 0;
  char* p = text;
  while (count < maxItems) {
    while (*p == delimiter) ++p;
    if (*p == '\0') break;
    items[count++] = p;
    while (*p != '\0' && *p != delimiter) ++p;
    if (*p == '\0') break;
    *p++ = '\0';
  }
  return count;
}

}  // namespace kavro
