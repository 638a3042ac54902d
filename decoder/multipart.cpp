// multipart/form-data bodies.
#include "decoder/decoder.h"

namespace kavro {

// Multipart bodies are not decoded yet: they are refused like a body in a
// format the decoder cannot read.
int _parse_multipart_data() { qError("_parse_multipart_data(): String format invalid."); }

}  // namespace kavro
