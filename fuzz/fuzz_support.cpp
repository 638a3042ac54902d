// What every target does once, before its first input.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kavro::fuzz::initialise();
  return 0;
}
