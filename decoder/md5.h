// MD5 message digest (RFC 1321).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavro {

void md5Digest(const void* data, std::size_t size, std::uint8_t digest[16]);

}  // namespace kavro
