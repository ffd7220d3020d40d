// Arbitrary bytes through every decoder of the imaging component: all frames
// (up to a few), their whole metadata trees, colour contexts and every output
// format.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "imaging/imaging.h"

namespace {

// Visits every block and item through the enumerator names; each name must
// resolve to its item, as a walker forming query paths relies on.
void Walk(const img::MetadataReader* reader, const std::string& prefix, int depth) {
  if (!reader || depth > 32) return;
  const std::vector<std::string> names = reader->GetEnumerator();
  if (names.size() != reader->Items().size()) std::abort();
  for (const std::string& name : names) {
    img::PropValue v;
    if (img::Failed(reader->GetMetadataByName(name, &v))) std::abort();
    (void)v.Count();
    if (v.vt == img::kVtUnknown) {
      if (!v.reader) std::abort();
      Walk(v.reader.get(), prefix + name, depth + 1);
    }
  }
}

void WalkRoot(const std::shared_ptr<const img::MetadataReader>& root) {
  if (!root) return;
  Walk(root.get(), "", 0);
  // Full paths from the root resolve as well.
  for (const std::string& name : root->GetEnumerator()) {
    img::PropValue block;
    if (img::Failed(root->GetMetadataByName(name, &block)) || !block.reader) continue;
    for (const std::string& inner : block.reader->GetEnumerator()) {
      img::PropValue v;
      if (img::Failed(root->GetMetadataByName(name + inner, &v))) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto bytes = std::make_shared<const std::vector<std::uint8_t>>(data, data + size);
  std::unique_ptr<img::Decoder> decoder;
  if (img::Failed(img::CreateDecoderFromMemory(bytes, &decoder))) return 0;
  WalkRoot(decoder->Metadata());
  const std::uint32_t frames = decoder->GetFrameCount();
  for (std::uint32_t i = 0; i < frames && i < 4; ++i) {
    std::unique_ptr<img::Frame> frame;
    if (img::Failed(decoder->GetFrame(i, &frame))) continue;
    WalkRoot(frame->Metadata());
    for (const img::ColorContext& c : frame->ColorContexts()) {
      (void)img::CreateColorTransform(c);
    }
    const std::uint64_t pixels = static_cast<std::uint64_t>(frame->Width()) * frame->Height();
    if (pixels == 0 || pixels > (1u << 22)) continue;  // keep each run small
    const std::size_t w = frame->Width();
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(pixels) * 4);
    for (img::PixelFormat f : {img::PixelFormat::Pbgra32, img::PixelFormat::Bgr24}) {
      const std::size_t stride = w * (f == img::PixelFormat::Bgr24 ? 3 : 4);
      frame->CopyPixels(f, buf.data(), stride, buf.size());
    }
    frame->CopyCmyk(buf.data(), w * 4, buf.size());
    // Band by band, the rows handed out are never more than the frame has.
    std::uint64_t rows = 0;
    frame->CopyPixelsInBands(
        img::PixelFormat::Bgra32, 16,
        [&](const std::uint8_t* p, std::uint32_t first, std::uint32_t n, std::size_t stride) {
          if (first != rows || n == 0 || n > 16 || stride < w * 4) {
            std::abort();
          }
          volatile std::uint8_t touch = p[(n - 1) * stride + w * 4 - 1];
          (void)touch;
          rows += n;
          return true;
        });
    if (rows > frame->Height()) std::abort();
  }
  return 0;
}
