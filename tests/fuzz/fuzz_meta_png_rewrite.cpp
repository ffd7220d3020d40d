// Arbitrary bytes through the PNG metadata rewrite: the listing, an edit,
// removal or addition chosen by the input's last bytes, and the rewrite.
// Whenever it succeeds, the result must split again into chunks, and every
// chunk that carries no metadata must be there unchanged and in order.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "meta/parsers.h"
#include "tests/fuzz/rewrite_fuzz.h"

namespace {

bool Metadata(const meta::Chunk& c) {
  const std::string t = c.type;
  return meta::IsTextChunk(c.type) || t == "tIME" || t == "eXIf";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MetaDoc doc;
  std::uint8_t op = 0, pick = 0;
  if (!fuzz_rewrite::Load(data, size, L"PNG", &doc, &op, &pick)) return 0;
  fuzz_rewrite::Edit(&doc, op, pick, kPngPresets, kPngPresetCount);
  std::vector<std::uint8_t> out;
  std::wstring err;
  if (!SavePng(doc, &out, &err)) {
    if (err.empty()) std::abort();
    return 0;
  }
  std::vector<meta::Chunk> a, b;
  if (!meta::ParsePng(doc.bytes, &a) || !meta::ParsePng(out, &b)) std::abort();
  std::size_t j = 0;
  for (const meta::Chunk& x : a) {
    if (Metadata(x)) continue;
    while (j < b.size() && Metadata(b[j])) ++j;
    if (j == b.size() || b[j].length != x.length ||
        std::memcmp(doc.bytes.data() + x.offset, out.data() + b[j].offset,
                    static_cast<std::size_t>(x.length + 12)) != 0) {
      std::abort();
    }
    ++j;
  }
  fuzz_rewrite::CheckOutput(doc, out, SamePicture);
  return 0;
}
