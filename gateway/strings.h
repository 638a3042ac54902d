// A text in a buffer of fixed size that is cut at its bound, never overrun.
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

}  // namespace kavro
