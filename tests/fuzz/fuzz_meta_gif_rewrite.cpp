// Arbitrary bytes through the GIF comment rewrite: the listing, an edit,
// removal or addition of comments chosen by the input's last bytes, and the
// rewrite. Whenever it succeeds, the result must split again with the same
// header, the same blocks apart from comments and the same tail.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "meta/parsers.h"
#include "tests/fuzz/rewrite_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MetaDoc doc;
  std::uint8_t op = 0, pick = 0;
  if (!fuzz_rewrite::Load(data, size, L"GIF", &doc, &op, &pick)) return 0;
  fuzz_rewrite::Edit(&doc, op, pick, kGifPresets, kGifPresetCount);
  std::vector<std::uint8_t> out;
  std::wstring err;
  if (!SaveGif(doc, &out, &err)) {
    if (err.empty()) std::abort();
    return 0;
  }
  std::vector<meta::GifBlock> a, b;
  std::uint64_t fa = 0, fb = 0, ta = 0, tb = 0;
  if (!meta::ParseGif(doc.bytes, &a, &fa, &ta) || !meta::ParseGif(out, &b, &fb, &tb)) std::abort();
  if (fa != fb || std::memcmp(doc.bytes.data(), out.data(), static_cast<std::size_t>(fa)) != 0) {
    std::abort();
  }
  std::size_t j = 0;
  for (const meta::GifBlock& x : a) {
    if (x.isComment) continue;
    while (j < b.size() && b[j].isComment) ++j;
    if (j == b.size() || b[j].end - b[j].offset != x.end - x.offset ||
        std::memcmp(doc.bytes.data() + x.offset, out.data() + b[j].offset,
                    static_cast<std::size_t>(x.end - x.offset)) != 0) {
      std::abort();
    }
    ++j;
  }
  if (doc.bytes.size() - ta != out.size() - tb) std::abort();
  fuzz_rewrite::CheckOutput(doc, out, SameGif);
  return 0;
}
