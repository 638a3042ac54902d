// Writes a multipart/form-data body for the benchmarks and prints the
// CONTENT_TYPE that goes with it.
//
//   bench-multipart-body --file MEBIBYTES OUTPUT   one file of random bytes
//   bench-multipart-body --parts COUNT OUTPUT      COUNT tiny fields
//
// The file's bytes are random with plenty of CR LF, runs of '-' and lines
// that look like the delimiter but are one character off, so that a
// delimiter search meets the bytes it likes least.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A boundary of the kind curl and browsers send.
constexpr char kBoundary[] = "------------------------8f3c2b1a9d7e6f50";
constexpr std::size_t kChunk = std::size_t{1} << 20;

struct Random {
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

bool put(std::FILE* out, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

// `size` bytes of content, never containing CR LF followed by the delimiter.
bool putContent(std::FILE* out, std::uint64_t size) {
  const std::string d = std::string("--") + kBoundary;
  const std::string nearLine = "\r\n" + d.substr(0, d.size() - 1) + "x\r\n";
  Random random;
  std::vector<char> chunk;
  chunk.reserve(kChunk + 64);
  while (size > 0) {
    chunk.clear();
    while (chunk.size() < kChunk) {
      std::uint64_t r = random.next();
      switch (r & 15) {
        case 0:
        case 1:
          chunk.push_back('\r');
          chunk.push_back('\n');
          break;
        case 2: chunk.insert(chunk.end(), 2 + (r >> 8) % 30, '-'); break;
        case 3:
          if ((r >> 4) % 64 == 0)
            chunk.insert(chunk.end(), nearLine.begin(), nearLine.end());
          else
            chunk.insert(chunk.end(), {'\r', '\n', '-', '-'});
          break;
        default:
          for (int i = 0; i < 8; ++i) chunk.push_back(static_cast<char>(r >> (8 * i)));
      }
    }
    std::size_t take = size < chunk.size() ? static_cast<std::size_t>(size) : chunk.size();
    if (std::fwrite(chunk.data(), 1, take, out) != take) return false;
    size -= take;
  }
  return true;
}

int usage() {
  std::fprintf(stderr, "usage: bench-multipart-body --file MEBIBYTES OUTPUT | --parts COUNT OUTPUT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return usage();
  const std::string mode = argv[1];
  char* end = nullptr;
  unsigned long long count = std::strtoull(argv[2], &end, 10);
  if (end == argv[2] || *end != '\0' || (mode != "--file" && mode != "--parts")) return usage();
  std::FILE* out = std::fopen(argv[3], "wb");
  if (out == nullptr) {
    std::perror(argv[3]);
    return 1;
  }
  const std::string d = std::string("--") + kBoundary;
  bool ok = put(out, d + "\r\n");
  if (mode == "--file") {
    ok = ok &&
         put(out,
             "Content-Disposition: form-data; name=\"upload\"; filename=\"random.bin\"\r\n"
             "Content-Type: application/octet-stream\r\n\r\n") &&
         putContent(out, count << 20) && put(out, "\r\n" + d + "--\r\n");
  } else {
    for (unsigned long long i = 0; ok && i < count; ++i) {
      std::string n = std::to_string(i);
      ok = put(out, "Content-Disposition: form-data; name=\"f" + n + "\"\r\n\r\nv" + n + "\r\n" + d +
                        (i + 1 < count ? "\r\n" : "--\r\n"));
    }
  }
  if (std::fclose(out) != 0 || !ok) {
    std::fprintf(stderr, "cannot write %s\n", argv[3]);
    return 1;
  }
  std::printf("multipart/form-data; boundary=%s\n", kBoundary);
  return 0;
}
