#include "engine/png.h"

#include <algorithm>
#include <array>
#include <limits>

namespace kavro::engine {
namespace {

constexpr std::size_t kMaxStoredBlock = 65535;

std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

void putBig32(std::string* out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) *out += static_cast<char>((value >> shift) & 0xFF);
}

void putChunk(std::string* out, std::string_view type, std::string_view data) {
  putBig32(out, static_cast<std::uint32_t>(data.size()));
  std::string typed(type);
  typed.append(data);
  out->append(typed);
  putBig32(out, crc32(typed));  // covers the type and the data, not the length
}

}  // namespace

std::uint32_t crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> kTable = makeCrcTable();
  std::uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : bytes) c = kTable[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t adler32(std::string_view bytes) {
  constexpr std::uint32_t kModulus = 65521;
  std::uint32_t a = 1, b = 0;
  for (unsigned char byte : bytes) {
    a = (a + byte) % kModulus;
    b = (b + a) % kModulus;
  }
  return (b << 16) | a;
}

std::string zlibStored(std::string_view data) {
  std::string out;
  out.reserve(data.size() + data.size() / kMaxStoredBlock * 5 + 11);
  // CMF 0x78: deflate with a 32K window; FLG 0x01 makes 0x7801 a multiple of
  // 31 (no dictionary, "fastest" level, which stored blocks honestly are).
  out += '\x78';
  out += '\x01';
  std::size_t offset = 0;
  do {
    std::size_t size = std::min(kMaxStoredBlock, data.size() - offset);
    bool last = offset + size == data.size();
    // Block header bits: BFINAL, then BTYPE 00; a stored block then skips to
    // the byte boundary, so the header takes one whole byte.
    out += static_cast<char>(last ? 1 : 0);
    auto len = static_cast<std::uint16_t>(size);
    auto nlen = static_cast<std::uint16_t>(~len);
    out += static_cast<char>(len & 0xFF);
    out += static_cast<char>(len >> 8);
    out += static_cast<char>(nlen & 0xFF);
    out += static_cast<char>(nlen >> 8);
    out.append(data.substr(offset, size));
    offset += size;
  } while (offset < data.size());
  putBig32(&out, adler32(data));
  return out;
}

std::string encodePng(std::uint32_t width, std::uint32_t height, std::string_view rgb) {
  // PNG dimensions stop at 2^31 - 1; the product is checked before it is formed.
  constexpr std::uint32_t kMaxSide = 0x7FFFFFFF;
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return {};
  std::size_t stride = std::size_t{width} * 3;
  if (stride > std::numeric_limits<std::size_t>::max() / height || rgb.size() != stride * height) return {};
  std::string out("\x89PNG\r\n\x1A\n", 8);

  std::string header;
  putBig32(&header, width);
  putBig32(&header, height);
  header += '\x08';  // bit depth
  header += '\x02';  // colour type: RGB
  header += '\x00';  // compression: deflate
  header += '\x00';  // filter method 0
  header += '\x00';  // no interlace
  putChunk(&out, "IHDR", header);

  std::string scanlines;
  scanlines.reserve((stride + 1) * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    scanlines += '\x00';  // filter type None
    scanlines.append(rgb.substr(y * stride, stride));
  }
  putChunk(&out, "IDAT", zlibStored(scanlines));
  putChunk(&out, "IEND", {});
  return out;
}

std::string demoPicture(std::uint32_t* width, std::uint32_t* height) {
  constexpr std::uint32_t kSide = 64;
  *width = kSide;
  *height = kSide;
  std::string rgb;
  rgb.reserve(kSide * kSide * 3);
  for (std::uint32_t y = 0; y < kSide; ++y) {
    for (std::uint32_t x = 0; x < kSide; ++x) {
      bool dark = ((x / 8) + (y / 8)) % 2 == 0;
      rgb += static_cast<char>(x * 4);
      rgb += static_cast<char>(y * 4);
      rgb += static_cast<char>(dark ? 0x40 : 0xC0);
    }
  }
  return rgb;
}

std::string demoPng() {
  std::uint32_t width = 0, height = 0;
  std::string rgb = demoPicture(&width, &height);
  return encodePng(width, height, rgb);
}

}  // namespace kavro::engine
