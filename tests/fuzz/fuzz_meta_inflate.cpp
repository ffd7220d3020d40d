// Arbitrary bytes through the built-in inflater at the real 16 MiB cap. When a
// stream decodes, the same stream must decode again with the cap set to its
// exact output size and fail with one byte less: the cap is checked before
// every append, never after.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "meta/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace meta_internal;
  std::vector<std::uint8_t> out;
  if (!Inflate(data, size, &out, kMaxInflated)) return 0;
  if (out.size() > kMaxInflated) std::abort();
  const std::vector<std::uint8_t> first = out;
  if (!Inflate(data, size, &out, first.size()) || out != first) std::abort();
  if (!first.empty() && Inflate(data, size, &out, first.size() - 1)) std::abort();
  if (out.capacity() > kMaxInflated) std::abort();
  return 0;
}
