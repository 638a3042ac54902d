#include "engine/png.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kavro::engine {
namespace {

std::uint32_t big32(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
}

unsigned byteAt(std::string_view bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]); }

struct Chunk {
  std::string type;
  std::string data;
};

// Splits a PNG into its chunks, failing the test on a bad signature, a chunk
// that runs past the end, or a CRC that does not match.
std::vector<Chunk> chunksOf(std::string_view png) {
  std::vector<Chunk> chunks;
  EXPECT_EQ(png.substr(0, 8), std::string_view("\x89PNG\r\n\x1A\n", 8));
  std::size_t at = 8;
  while (at < png.size()) {
    if (at + 12 > png.size()) {
      ADD_FAILURE() << "truncated chunk at " << at;
      break;
    }
    std::uint32_t length = big32(png, at);
    if (at + 12 + length > png.size()) {
      ADD_FAILURE() << "chunk at " << at << " runs past the end";
      break;
    }
    std::string_view typed = png.substr(at + 4, 4 + length);
    EXPECT_EQ(big32(png, at + 8 + length), crc32(typed)) << "CRC of " << typed.substr(0, 4);
    chunks.push_back(Chunk{std::string(typed.substr(0, 4)), std::string(typed.substr(4))});
    at += 12 + length;
  }
  return chunks;
}

// Inflates a zlib stream made only of stored blocks; anything else fails.
std::string inflateStored(std::string_view stream) {
  EXPECT_GE(stream.size(), 2u + 5u + 4u);
  if (stream.size() < 11) return {};
  EXPECT_EQ(byteAt(stream, 0) & 0x0F, 8u) << "compression method deflate";
  EXPECT_EQ((byteAt(stream, 0) * 256 + byteAt(stream, 1)) % 31, 0u) << "header check bits";
  EXPECT_EQ(byteAt(stream, 1) & 0x20, 0u) << "no preset dictionary";
  std::string out;
  std::size_t at = 2;
  for (;;) {
    if (at + 5 > stream.size()) {
      ADD_FAILURE() << "block header past the end";
      return out;
    }
    unsigned header = byteAt(stream, at);
    EXPECT_EQ(header & 0x06, 0u) << "block type stored";
    unsigned len = byteAt(stream, at + 1) | byteAt(stream, at + 2) << 8;
    unsigned nlen = byteAt(stream, at + 3) | byteAt(stream, at + 4) << 8;
    EXPECT_EQ(len ^ 0xFFFFu, nlen);
    at += 5;
    if (at + len > stream.size()) {
      ADD_FAILURE() << "block data past the end";
      return out;
    }
    out.append(stream.substr(at, len));
    at += len;
    if (header & 1) break;
  }
  EXPECT_EQ(stream.size(), at + 4) << "only the Adler-32 after the last block";
  if (at + 4 <= stream.size()) {
    EXPECT_EQ(big32(stream, at), adler32(out));
  }
  return out;
}

TEST(Checksums, KnownValues) {
  struct Case {
    std::string input;
    std::uint32_t crc, adler;
  };
  const Case cases[] = {
      {"", 0x00000000u, 0x00000001u},
      {"a", 0xE8B7BE43u, 0x00620062u},
      {"123456789", 0xCBF43926u, 0x091E01DEu},
      {"Wikipedia", 0xADAAC02Eu, 0x11E60398u},
      // Adler-32's sums wrap at 65521 many times over.
      {std::string(70000, '\xFF'), 0x80F95A0Au, 0x2A286E81u},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(crc32(cases[i].input), cases[i].crc) << cases[i].input.substr(0, 20);
    EXPECT_EQ(adler32(cases[i].input), cases[i].adler) << cases[i].input.substr(0, 20);
  }
}

TEST(ZlibStored, SplitsIntoBlocksOfAtMost65535Bytes) {
  struct Case {
    std::size_t size;
    std::size_t blocks;
  };
  for (Case c : {Case{0, 1}, Case{1, 1}, Case{65535, 1}, Case{65536, 2}, Case{200000, 4}}) {
    std::string data;
    for (std::size_t i = 0; i < c.size; ++i) data += static_cast<char>(i * 31 % 251);
    std::string stream = zlibStored(data);
    EXPECT_EQ(stream.size(), 2 + c.blocks * 5 + c.size + 4) << c.size;
    EXPECT_EQ(inflateStored(stream), data) << c.size;
  }
}

struct Decoded {
  std::uint32_t width = 0, height = 0;
  std::string rgb;
};

Decoded decodePng(std::string_view png) {
  Decoded d;
  std::vector<Chunk> chunks = chunksOf(png);
  EXPECT_GE(chunks.size(), 3u);
  if (chunks.size() < 3) return d;
  EXPECT_EQ(chunks.front().type, "IHDR");
  EXPECT_EQ(chunks.back().type, "IEND");
  EXPECT_TRUE(chunks.back().data.empty());
  const std::string& ihdr = chunks.front().data;
  EXPECT_EQ(ihdr.size(), 13u);
  if (ihdr.size() != 13) return d;
  d.width = big32(ihdr, 0);
  d.height = big32(ihdr, 4);
  EXPECT_EQ(ihdr.substr(8), std::string("\x08\x02\x00\x00\x00", 5)) << "8-bit RGB, deflate, no interlace";
  std::string idat;
  for (const Chunk& c : chunks) {
    if (c.type == "IDAT") idat += c.data;
  }
  std::string scanlines = inflateStored(idat);
  std::size_t stride = std::size_t{d.width} * 3;
  EXPECT_EQ(scanlines.size(), (stride + 1) * d.height);
  if (scanlines.size() != (stride + 1) * d.height) return d;
  for (std::uint32_t y = 0; y < d.height; ++y) {
    EXPECT_EQ(scanlines[y * (stride + 1)], '\0') << "filter type of row " << y;
    d.rgb += scanlines.substr(y * (stride + 1) + 1, stride);
  }
  return d;
}

TEST(Png, EncodesAndDecodesBack) {
  struct Case {
    std::uint32_t width, height;
  };
  // 1x1, a non-square picture, and one whose scanlines need two stored blocks.
  for (Case c : {Case{1, 1}, Case{3, 2}, Case{200, 120}}) {
    std::string rgb;
    for (std::uint32_t i = 0; i < c.width * c.height * 3; ++i) rgb += static_cast<char>(i * 17 % 256);
    std::string png = encodePng(c.width, c.height, rgb);
    Decoded d = decodePng(png);
    EXPECT_EQ(d.width, c.width);
    EXPECT_EQ(d.height, c.height);
    EXPECT_EQ(d.rgb, rgb) << c.width << "x" << c.height;
  }
}

TEST(Png, RefusesSizesThatDisagree) {
  EXPECT_EQ(encodePng(0, 1, ""), "");
  EXPECT_EQ(encodePng(1, 0, ""), "");
  EXPECT_EQ(encodePng(2, 2, std::string(11, 'x')), "");
  EXPECT_EQ(encodePng(2, 2, std::string(13, 'x')), "");
  EXPECT_EQ(encodePng(0x80000000u, 1, std::string(3, 'x')), "");
  EXPECT_NE(encodePng(2, 2, std::string(12, 'x')), "");
}

TEST(Png, DemoPictureDecodesToItsPixels) {
  std::uint32_t width = 0, height = 0;
  std::string rgb = demoPicture(&width, &height);
  EXPECT_EQ(width, 64u);
  EXPECT_EQ(height, 64u);
  std::string png = demoPng();
  EXPECT_NE(png.find('\0'), std::string::npos) << "the download must carry zero bytes through the link";
  Decoded d = decodePng(png);
  EXPECT_EQ(d.width, 64u);
  EXPECT_EQ(d.height, 64u);
  ASSERT_EQ(d.rgb, rgb);
  auto pixel = [&](std::uint32_t x, std::uint32_t y) { return d.rgb.substr((y * width + x) * 3, 3); };
  EXPECT_EQ(pixel(0, 0), std::string("\x00\x00\x40", 3));
  EXPECT_EQ(pixel(63, 0), std::string("\xFC\x00\xC0", 3));
  EXPECT_EQ(pixel(8, 8), std::string("\x20\x20\x40", 3));
  EXPECT_EQ(pixel(63, 63), std::string("\xFC\xFC\x40", 3));
}

}  // namespace
}  // namespace kavro::engine
