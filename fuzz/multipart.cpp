// The multipart/form-data parser. Control bytes choose how the body arrives:
//   0: bit 0 the body mapped whole (a regular file); else bit 4 a
//      CONTENT_LENGTH from byte 6 (0 to twice the body's size) bounds the
//      reads. Bit 1 REMOTE_ADDR set (the error page rather than the console
//      line); bit 2 a query string, bit 3 a cookie header;
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
#include "gateway/spool.h"

namespace {

using namespace kavro;

constexpr std::size_t kLineMax = 512;

// What every decode that returned must leave: named entries, terminated
// values, and a list that forwarding can walk. (A .length companion need not
// match its value: the fields of the query string can imitate one.)
void checkEntries(platform::Request& request) {
  for (Q_entry* e = decoder::head(); e != nullptr; e = e->next) {
    fuzz::require(e->name != nullptr && e->name[0] != '\0', "an entry without a name");
    fuzz::require(e->value[qValueSize(e)] == '\0', "a value without its terminator");
  }
  // Inline (FileMode 3) and skipped (any other) uploads write no file.
  for (const char* mode : {"3", "4"}) {
    static Settings s;
    std::strcpy(s.fileMode, mode);
    Spool spool(s, request);
    PairText text{};
    const char* failure = nullptr;
    fuzz::require(forwardFields(decoder::head(), spool, &text, &failure), "forwarding failed");
    fuzz::require(text.length == 0 || text.data[text.length] == '\0', "forwarded text not terminated");
    releasePairText(&text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  std::uint8_t mode = in.byte();
  std::uint8_t block = in.byte();
  test::FakeRequest request;
  std::size_t sizes[4];
  for (std::size_t& n : sizes) n = in.byte();
  std::size_t turn = 0;
  request.readLimit = [&sizes, &turn] { return sizes[turn++ % 4]; };
  std::size_t borrowMin = in.byte();
  std::string contentType = "multipart/form-data" + in.line(kLineMax);
  std::string query = in.line(kLineMax);
  std::string cookie = in.line(kLineMax);
  request.body = in.rest();
  request.set("CONTENT_TYPE", contentType.c_str());
  request.set("REQUEST_METHOD", "POST");
  request.set("REMOTE_ADDR", (mode & 2) ? "192.0.2.1" : nullptr);
  request.set("QUERY_STRING", (mode & 4) ? query.c_str() : nullptr);
  request.set("HTTP_COOKIE", (mode & 8) ? cookie.c_str() : nullptr);
  qStartRequest(request);
  decoder::BodyInput& input = decoder::state().input;
  if (mode & 1) {
    // An empty body is not mapped; it is read as a stream, as the gateway does.
    request.mappable = true;
    input.borrowMin = borrowMin;
  } else {
    if (mode & 16) {
      std::string length = std::to_string(request.body.size() * borrowMin / 128);
      request.set("CONTENT_LENGTH", length.c_str());
    }
    if (block != 255) input.blockSize = 1 + block % 200;
  }
  if (fuzz::runDecoder([] { qDecode(); })) checkEntries(request);
  qEndRequest();
  fuzz::require(request.mapped == 0, "the mapped body outlived the decode");
  return 0;
}
