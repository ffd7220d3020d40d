// Arbitrary bytes through the WebP metadata rewrite: the listing, an edit,
// removal or addition chosen by the input's last bytes, and the rewrite.
// Whenever it succeeds, the result must be a RIFF file of the right size
// whose image chunks are the old ones, in order and byte for byte.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "meta/parsers.h"
#include "tests/fuzz/rewrite_fuzz.h"

namespace {

bool Metadata(const meta::RiffChunk& c) {
  return std::memcmp(c.fourcc, "VP8X", 4) == 0 || std::memcmp(c.fourcc, "EXIF", 4) == 0 ||
         std::memcmp(c.fourcc, "XMP ", 4) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MetaDoc doc;
  std::uint8_t op = 0, pick = 0;
  if (!fuzz_rewrite::Load(data, size, L"WebP", &doc, &op, &pick)) return 0;
  fuzz_rewrite::Edit(&doc, op, pick, kWebpPresets, kWebpPresetCount);
  std::vector<std::uint8_t> out;
  std::wstring err;
  if (!SaveWebp(doc, &out, &err)) {
    if (err.empty()) std::abort();
    return 0;
  }
  std::vector<meta::RiffChunk> a, b;
  if (out.size() % 2 != 0 || !meta::ParseWebp(doc.bytes, &a) || !meta::ParseWebp(out, &b)) {
    std::abort();
  }
  const std::uint32_t riff =
      out[4] | out[5] << 8 | out[6] << 16 | static_cast<std::uint32_t>(out[7]) << 24;
  if (riff != out.size() - 8) std::abort();
  std::size_t j = 0;
  for (const meta::RiffChunk& x : a) {
    if (Metadata(x)) continue;
    while (j < b.size() && Metadata(b[j])) ++j;
    const std::uint64_t n = std::min<std::uint64_t>(x.size, doc.bytes.size() - x.dataOffset);
    if (j == b.size() || b[j].size != n ||
        std::memcmp(doc.bytes.data() + x.dataOffset, out.data() + b[j].dataOffset,
                    static_cast<std::size_t>(n)) != 0) {
      std::abort();
    }
    ++j;
  }
  fuzz_rewrite::CheckOutput(doc, out, SameWebp);
  return 0;
}
