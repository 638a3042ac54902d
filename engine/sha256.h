// SHA-256 (FIPS 180-4), for the digests the demo application shows of
// uploaded files. Streaming, so a large spooled file need not be held whole.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavro::engine {

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  Sha256();
  void update(const void* data, std::size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  // Pads and returns the digest; the object must not be updated afterwards.
  Digest finish();

 private:
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t totalBytes_ = 0;
};

// Lower-case hexadecimal.
std::string toHex(const Sha256::Digest& digest);
std::string sha256Hex(std::string_view bytes);

}  // namespace kavro::engine
