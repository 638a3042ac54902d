// The request identifier that names spooled uploads.
#include <cstdio>
#include <cstring>

#include "decoder/decoder.h"
#include "decoder/internal.h"
#include "decoder/md5.h"
#include "decoder/state.h"

namespace kavro {
namespace {

constexpr std::size_t kStampMax = 255;

}  // namespace

const char* qMd5Hex(const char* text) {
  std::uint8_t digest[16];
  md5Digest(text, std::strlen(text), digest);
  char* hex = decoder::state().digest;
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

const char* qUniqueRequestId() {
  std::tm* now = _local_now();
  std::tm zero{};
  if (now == nullptr) now = &zero;
  // A long address or port is cut at the stamp's bound, never overrun.
  char stamp[kStampMax + 1];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d-%s:%s", now->tm_year, now->tm_mon,
                now->tm_mday, now->tm_hour, now->tm_min, now->tm_sec, _getenv_or("", "REMOTE_ADDR"),
                _getenv_or("", "REMOTE_PORT"));
  char* id = decoder::state().requestId;
  std::memcpy(id, qMd5Hex(stamp), decoder::kHexDigestLength + 1);
  return id;
}

}  // namespace kavro
