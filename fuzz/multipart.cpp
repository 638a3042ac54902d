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
// a cookie line (each up to a LF), and the body. Each body is decoded twice,
// uploads held in memory and then streamed to a sink piece by piece: both
// must give the same outcome, the same entries and the same bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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

// Collects what the decoder streams: every upload's bytes, in order.
class CollectingSink final : public QUploadSink {
 public:
  std::vector<std::string> uploads;
  Keep beginUpload(const char*) override {
    uploads.emplace_back();
    return Keep::kStream;
  }
  void writeUpload(const char* data, std::size_t size) override { uploads.back().append(data, size); }
  const char* endUpload() override { return "streamed"; }
  void abandonUploads() override { uploads.clear(); }
};

struct Setup {
  std::uint8_t mode, block;
  std::size_t sizes[4];
  std::size_t borrowMin;
  std::string contentType, query, cookie, body;
};

// One decode of the setup's request; the entries (an upload's bytes from the
// sink, when there is one) and the response, or false when it ended in qError.
bool decodeOnce(const Setup& setup, CollectingSink* sink, std::vector<std::string>* entries,
                std::string* output) {
  test::FakeRequest request;
  std::size_t turn = 0;
  request.readLimit = [&setup, &turn] { return setup.sizes[turn++ % 4]; };
  request.body = setup.body;
  request.set("CONTENT_TYPE", setup.contentType.c_str());
  request.set("REQUEST_METHOD", "POST");
  request.set("REMOTE_ADDR", (setup.mode & 2) ? "192.0.2.1" : nullptr);
  request.set("QUERY_STRING", (setup.mode & 4) ? setup.query.c_str() : nullptr);
  request.set("HTTP_COOKIE", (setup.mode & 8) ? setup.cookie.c_str() : nullptr);
  qStartRequest(request);
  if (sink != nullptr) qSetUploadSink(sink);
  decoder::BodyInput& input = decoder::state().input;
  if (setup.mode & 1) {
    // An empty body is not mapped; it is read as a stream, as the gateway does.
    request.mappable = true;
    input.borrowMin = setup.borrowMin;
  } else {
    if (setup.mode & 16) {
      std::string length = std::to_string(setup.body.size() * setup.borrowMin / 128);
      request.set("CONTENT_LENGTH", length.c_str());
    }
    if (setup.block != 255) input.blockSize = 1 + setup.block % 200;
  }
  bool decoded = fuzz::runDecoder([] { qDecode(); });
  if (decoded) checkEntries(request);
  std::size_t upload = 0;
  for (Q_entry* e = decoder::head(); decoded && e != nullptr; e = e->next) {
    bool streamed = sink != nullptr && qUploadHandled(e);
    fuzz::require(!streamed || upload < sink->uploads.size(), "a streamed entry without its bytes");
    entries->push_back(std::string(e->name) + "=" +
                       (streamed ? sink->uploads[upload++] : std::string(e->value, qValueSize(e))));
  }
  qEndRequest();
  fuzz::require(request.mapped == 0, "the mapped body outlived the decode");
  *output = request.output;
  return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  Setup setup;
  setup.mode = in.byte();
  setup.block = in.byte();
  for (std::size_t& n : setup.sizes) n = in.byte();
  setup.borrowMin = in.byte();
  setup.contentType = "multipart/form-data" + in.line(kLineMax);
  setup.query = in.line(kLineMax);
  setup.cookie = in.line(kLineMax);
  setup.body = in.rest();
  std::vector<std::string> held, streamed;
  std::string heldOutput, streamedOutput;
  CollectingSink sink;
  bool heldDecoded = decodeOnce(setup, nullptr, &held, &heldOutput);
  bool streamedDecoded = decodeOnce(setup, &sink, &streamed, &streamedOutput);
  fuzz::require(heldDecoded == streamedDecoded && heldOutput == streamedOutput,
                "streaming changed the outcome");
  fuzz::require(held == streamed, "streaming changed an entry");
  return 0;
}
