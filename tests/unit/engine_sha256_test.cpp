#include "engine/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace kavro::engine {
namespace {

struct Vector {
  std::string input;
  const char* digest;
};

// The FIPS 180-4 examples, one million 'a', and lengths at the padding limit.
const Vector kVectors[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrs"
     "tnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    // Around the padding limit: 55 bytes pad within the block, 56 need a
    // second one, 64 fill a block exactly.
    {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
    {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
};

TEST(Sha256, StandardVectors) {
  for (const Vector& v : kVectors) {
    EXPECT_EQ(sha256Hex(v.input), v.digest) << "input of " << v.input.size() << " bytes";
  }
}

// Pieces of every size from 1 to 130 must give the same digest as one
// update: this crosses the 64-byte block and the 56-byte padding limit.
TEST(Sha256, PiecewiseUpdatesMatchOneUpdate) {
  std::string data;
  for (int i = 0; i < 1000; ++i) data += static_cast<char>((i * 7 + 3) & 0xFF);
  const std::string whole = "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371";
  EXPECT_EQ(sha256Hex(data), whole);
  for (std::size_t piece = 1; piece <= 130; ++piece) {
    Sha256 hash;
    for (std::size_t at = 0; at < data.size(); at += piece)
      hash.update(std::string_view(data).substr(at, piece));
    EXPECT_EQ(toHex(hash.finish()), whole) << "pieces of " << piece;
  }
}

}  // namespace
}  // namespace kavro::engine
