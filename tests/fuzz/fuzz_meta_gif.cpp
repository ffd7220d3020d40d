// Arbitrary bytes through the GIF container parser.
#include "tests/fuzz/meta_parser_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_meta::FuzzGif(data, size);
  return 0;
}
