#include "tests/support/fake_request.h"

#include <cstdlib>
#include <cstring>

namespace kavro::test {

void FakeRequest::set(const std::string& name, const char* value) {
  if (value == nullptr) {
    variables_.erase(name);
  } else {
    variables_[name] = value;
  }
}

const char* FakeRequest::variable(const char* name) {
  auto found = variables_.find(name);
  return found == variables_.end() ? nullptr : found->second.c_str();
}

std::size_t FakeRequest::readBody(char* buffer, std::size_t size) {
  std::size_t n = size;
  if (readLimit) {
    std::size_t limit = readLimit();
    if (limit != 0 && limit < n) n = limit;
  }
  if (n > body.size() - at_) n = body.size() - at_;
  std::memcpy(buffer, body.data() + at_, n);
  at_ += n;
  return n;
}

char* FakeRequest::mapBody(std::size_t* size) {
  *size = 0;
  if (!mappable || at_ >= body.size()) return nullptr;
  *size = body.size() - at_;
  char* copy = static_cast<char*>(std::malloc(*size));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, body.data() + at_, *size);
  at_ = body.size();
  ++mapped;
  return copy;
}

void FakeRequest::unmapBody(char* base, std::size_t) {
  if (base == nullptr) return;
  std::free(base);
  --mapped;
}

void FakeRequest::writeText(const char* data, std::size_t size) { output.append(data, size); }

bool FakeRequest::writeReply(const char* data, std::size_t size, std::size_t* written) {
  *written = 0;
  if (closed) return false;
  output.append(data, size);
  *written = size;
  return true;
}

}  // namespace kavro::test
