// A minimal PNG encoder for the demo application's download: 8-bit RGB,
// no filtering, and a zlib stream of stored (uncompressed) deflate blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavro::engine {

// The CRC-32 of PNG chunks (and of zip/gzip): reflected polynomial
// 0xEDB88320, initial value and final xor 0xFFFFFFFF.
std::uint32_t crc32(std::string_view bytes);
std::uint32_t adler32(std::string_view bytes);

// zlib header 0x78 0x01, the data in stored deflate blocks of at most 65535
// bytes (the last one flagged final; an empty input gives one empty final
// block), then the Adler-32 of the data, big-endian.
std::string zlibStored(std::string_view data);

// `rgb` holds width * height * 3 bytes, rows from the top. Empty when the
// sizes disagree or a dimension is 0.
std::string encodePng(std::uint32_t width, std::uint32_t height, std::string_view rgb);

// The demo picture: 64x64, a red/green gradient over a blue checkerboard.
// Its first column has no red and its first row no green, so the image
// carries zero bytes, as does the PNG around it.
std::string demoPicture(std::uint32_t* width, std::uint32_t* height);
std::string demoPng();

}  // namespace kavro::engine
