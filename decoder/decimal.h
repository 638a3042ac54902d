// The one reader of decimal numbers in texts that come from outside: the
// length fields of the Engine link, port numbers, CONTENT_LENGTH, the
// ".length" companions and EngineTimeout.
#pragma once

namespace kavro {

// atoi's and atol's reading: white space (blank, \t to \r) skipped, an
// optional sign, decimal digits up to the first other character, 0 without
// digits. Saturates at `lowest` and `highest` (lowest <= 0 <= highest)
// where the C functions would overflow. `digits`, when given, learns whether
// any digit was read.
inline long long readDecimal(const char* text, long long lowest, long long highest, bool* digits = nullptr) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  // Accumulated as a magnitude bounded by the side's limit: no overflow.
  unsigned long long limit =
      negative ? 0ULL - static_cast<unsigned long long>(lowest) : static_cast<unsigned long long>(highest);
  unsigned long long value = 0;
  const char* first = text;
  for (; *text >= '0' && *text <= '9'; ++text) {
    unsigned digit = static_cast<unsigned>(*text - '0');
    value = digit > limit || value > (limit - digit) / 10 ? limit : value * 10 + digit;
  }
  if (digits != nullptr) *digits = text != first;
  if (!negative) return static_cast<long long>(value);
  return value == 0 ? 0 : -static_cast<long long>(value - 1) - 1;
}

}  // namespace kavro
