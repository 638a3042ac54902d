// How the tests show bytes in their messages.
#pragma once

#include <string>
#include <string_view>

namespace kavro::test {

// Printable ASCII as is, backslash as \\, the rest as \n, \r, \t or \xHH:
// every byte visible, and two texts that differ are shown differently.
std::string escapeBytes(std::string_view bytes);

}  // namespace kavro::test
