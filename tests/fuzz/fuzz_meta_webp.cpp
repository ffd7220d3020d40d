// Arbitrary bytes through the WEBP container parser.
#include "tests/fuzz/meta_parser_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_meta::FuzzWebp(data, size);
  return 0;
}
