// Arbitrary bytes through the TIFF metadata rewrite: the listing, an edit,
// removal or addition chosen by the input's last bytes, and the rewrite of
// every page. Every refusal says why; whenever the rewrite succeeds, the
// result is a TIFF of the same byte order and form with the same number of
// pages, read again as an editable TIFF, and its pages compare equal to the
// old ones wherever the old ones decode.
#include <cstdint>
#include <cstdlib>

#include "imaging/exif_internal.h"
#include "tests/fuzz/rewrite_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MetaDoc doc;
  std::uint8_t op = 0, pick = 0;
  if (!fuzz_rewrite::Load(data, size, L"TIFF", &doc, &op, &pick)) return 0;
  fuzz_rewrite::Edit(&doc, op, pick, kTiffPresets, kTiffPresetCount);
  std::vector<std::uint8_t> out;
  std::wstring err;
  if (!SaveTiff(doc, &out, &err)) {
    if (err.empty() || !out.empty()) std::abort();
    return 0;
  }
  img::TiffHeader a, b;
  if (!img::ReadTiffHeader(doc.bytes.data(), doc.bytes.size(), &a) ||
      !img::ReadTiffHeader(out.data(), out.size(), &b) || a.bigEndian != b.bigEndian ||
      a.big != b.big) {
    std::abort();
  }
  if (img::TiffIfdChain(out.data(), out.size(), 100000).size() !=
      img::TiffIfdChain(doc.bytes.data(), doc.bytes.size(), 100000).size()) {
    std::abort();
  }
  fuzz_rewrite::CheckOutput(doc, out, SameTiff);
  return 0;
}
