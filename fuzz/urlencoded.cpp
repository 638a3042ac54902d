// The urlencoded path: query string, REQUEST_URI, POST body on standard
// input, and the cookie splitting of the multipart path, then the lookups
// and the re-encoding the gateway applies to what was decoded.
//   0: bits 0-1 CONTENT_TYPE unset, urlencoded (with a parameter), text/plain
//      or empty; bit 2 POST (else GET); bit 3 QUERY_STRING set; bit 4
//      REQUEST_URI set; bit 5 CONTENT_LENGTH set; bit 6 REMOTE_ADDR set; bit
//      7 the body read in pieces of one to seven bytes.
// Then lines: QUERY_STRING, REQUEST_URI, HTTP_COOKIE, CONTENT_LENGTH, a
// lookup name; the rest is the body.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "decoder/decoder.h"
#include "decoder/internal.h"
#include "decoder/state.h"
#include "fuzz/fuzz_support.h"
#include "gateway/forward.h"
#include "gateway/settings.h"
#include "gateway/spool.h"
#include "gateway/url_encode.h"

namespace {

using namespace kavro;

constexpr std::size_t kLineMax = 4096;

char* heapText(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  fuzz::require(copy != nullptr, "memory");
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// The helpers on their own: none may read or write past a terminator, and
// decoding never lengthens a text.
void checkHelpers(const std::string& text) {
  char* copy = heapText(text);
  std::size_t before = std::strlen(copy);
  fuzz::require(std::strlen(_url_decode(copy)) <= before, "decoding lengthened the text");
  std::free(copy);
  copy = heapText(text);
  std::free(_cut_word(copy, '='));
  _trim_space(_to_upper(copy));
  std::free(copy);
  char* encoded = urlEncode(text.c_str());
  fuzz::require(encoded != nullptr && std::strlen(encoded) <= 3 * std::strlen(text.c_str()), "urlEncode");
  std::free(encoded);
}

void checkDecoded(platform::Request& request, const std::string& lookup) {
  for (Q_entry* e = decoder::head(); e != nullptr; e = e->next) {
    fuzz::require(e->name[0] != '\0', "an entry without a name");
    fuzz::require(std::strlen(e->value) == qValueSize(e), "a value size that differs from its text");
  }
  qValue("%s", lookup.c_str());
  qiValue("%s", lookup.c_str());
  static Settings s;
  std::strcpy(s.fileMode, "3");
  Spool spool(s, request);
  PairText text{};
  const char* failure = nullptr;
  fuzz::require(forwardFields(qFirstEntry(), spool, &text, &failure), "forwarding failed");
  releasePairText(&text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  std::uint8_t mode = in.byte();
  std::string query = in.line(kLineMax);
  std::string uri = in.line(kLineMax);
  std::string cookie = in.line(kLineMax);
  std::string length = in.line(32);
  std::string lookup = in.line(kLineMax);
  std::string body = in.rest();

  static const char* const kTypes[] = {nullptr, "application/x-www-form-urlencoded; charset=UTF-8",
                                       "text/plain", ""};
  test::FakeRequest request;
  request.set("CONTENT_TYPE", kTypes[mode & 3]);
  request.set("REQUEST_METHOD", (mode & 4) ? "POST" : "GET");
  request.set("QUERY_STRING", (mode & 8) ? query.c_str() : nullptr);
  request.set("REQUEST_URI", (mode & 16) ? uri.c_str() : nullptr);
  request.set("CONTENT_LENGTH", (mode & 32) ? length.c_str() : nullptr);
  request.set("REMOTE_ADDR", (mode & 64) ? "192.0.2.1" : nullptr);
  if (mode & 128) request.readLimit = [&body] { return 1 + body.size() % 7; };
  request.body = body;
  qStartRequest(request);
  if (fuzz::runDecoder([] { qDecode(); })) fuzz::runDecoder([&] { checkDecoded(request, lookup); });
  qEndRequest();
  // Cookies are split at ';' on the multipart path.
  qStartRequest(request);
  decoder::state().source = heapText(cookie);
  fuzz::runDecoder([] { _split_pairs(decoder::state().source, ';'); });
  qEndRequest();
  checkHelpers(query);
  return 0;
}
