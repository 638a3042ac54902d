// The multipart/form-data parser. Control bytes choose how the body arrives:
//   0: bit 0 standard input mapped whole (a regular file); else bit 4
//      standard input a pipe, read as the gateway reads it, bounded by a
//      CONTENT_LENGTH from byte 6 (0 to twice the body's size); else the
//      test reader. Bit 1 REMOTE_ADDR set (the error page rather than the
//      console line); bit 2 a query string, bit 3 a cookie header;
//   1: the look-ahead block (small, so that the long-value and growing paths
//      are reached with small bodies), 255 the usual size;
//   2-5: the sizes of successive reads, 0 as large as the reader is asked;
//   6: the size from which a mapped value is left in place (borrowed).
// Then the CONTENT_TYPE text after "multipart/form-data", a query string and
// a cookie line (each up to a LF), and the body.
#include <cstdint>
#include <cstring>
#include <string>

#include "decoder/decoder.h"
#include "decoder/internal.h"
#include "decoder/state.h"
#include "fuzz/fuzz_support.h"
#include "gateway/forward.h"
#include "gateway/settings.h"
#include "platform/support.h"

namespace {

using namespace kavro;

constexpr std::size_t kLineMax = 512;
constexpr std::size_t kPipeMax = 64 << 10;  // what a pipe holds without a reader

struct Feed {
  const std::string* body;
  std::size_t at;
  std::size_t sizes[4];
  std::size_t turn;
};

std::size_t feedBody(void* context, char* buffer, std::size_t size) {
  Feed* feed = static_cast<Feed*>(context);
  std::size_t n = feed->sizes[feed->turn++ % 4];
  if (n == 0 || n > size) n = size;
  if (n > feed->body->size() - feed->at) n = feed->body->size() - feed->at;
  std::memcpy(buffer, feed->body->data() + feed->at, n);
  feed->at += n;
  return n;
}

// What every decode that returned must leave: named entries, terminated
// values, and a list that forwarding can walk. (A .length companion need not
// match its value: the fields of the query string can imitate one.)
void checkEntries() {
  for (Q_entry* e = decoder::head(); e != nullptr; e = e->next) {
    fuzz::require(e->name != nullptr && e->name[0] != '\0', "an entry without a name");
    fuzz::require(e->value[qValueSize(e)] == '\0', "a value without its terminator");
  }
  // Inline (FileMode 3) and skipped (any other) uploads write no file.
  for (const char* mode : {"3", "4"}) {
    static Settings s;
    std::strcpy(s.fileMode, mode);
    SpoolList spool{};
    PairText text{};
    fuzz::require(forwardFields(decoder::head(), s, &spool, &text), "forwarding failed");
    fuzz::require(text.length == 0 || text.data[text.length] == '\0', "forwarded text not terminated");
    releasePairText(&text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  std::uint8_t mode = in.byte();
  std::uint8_t block = in.byte();
  Feed feed{};
  for (std::size_t& n : feed.sizes) n = in.byte();
  std::size_t borrowMin = in.byte();
  std::string contentType = "multipart/form-data" + in.line(kLineMax);
  std::string query = in.line(kLineMax);
  std::string cookie = in.line(kLineMax);
  std::string body = in.rest();

  platform::setEnv("CONTENT_TYPE", contentType.c_str());
  platform::setEnv("REQUEST_METHOD", "POST");
  platform::setEnv("REMOTE_ADDR", (mode & 2) ? "192.0.2.1" : nullptr);
  platform::setEnv("QUERY_STRING", (mode & 4) ? query.c_str() : nullptr);
  platform::setEnv("HTTP_COOKIE", (mode & 8) ? cookie.c_str() : nullptr);
  platform::setEnv("CONTENT_LENGTH", nullptr);

  decoder::resetState();
  if (mode & 1) {
    // An empty file is not mapped; it is read as a stream, as the gateway does.
    fuzz::require(platform::setStandardInputForTests(body.data(), body.size()), "standard input");
    decoder::state().input.borrowMin = borrowMin;
  } else if (mode & 16) {
    if (body.size() > kPipeMax) body.resize(kPipeMax);
    std::string length = std::to_string(body.size() * borrowMin / 128);
    platform::setEnv("CONTENT_LENGTH", length.c_str());
    fuzz::require(platform::setStandardInputForTests(body.data(), body.size(), false), "standard input");
  } else {
    feed.body = &body;
    decoder::setBodyReaderForTests(feedBody, &feed, block == 255 ? 0 : 1 + block % 200);
  }
  if (fuzz::runDecoder([] { qDecode(); })) checkEntries();
  decoder::resetState();
  return 0;
}
