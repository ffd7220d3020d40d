// Arbitrary bytes through every decoder of the imaging component: all frames
// (up to a few), their metadata, colour contexts and every output format.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/imaging.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto bytes = std::make_shared<const std::vector<std::uint8_t>>(data, data + size);
  std::unique_ptr<img::Decoder> decoder;
  if (img::Failed(img::CreateDecoderFromMemory(bytes, &decoder))) return 0;
  if (auto meta = decoder->Metadata()) {
    std::uint32_t v = 0;
    img::ReadUInt(meta.get(), "/logscrdesc/Width", &v);
  }
  const std::uint32_t frames = decoder->GetFrameCount();
  for (std::uint32_t i = 0; i < frames && i < 4; ++i) {
    std::unique_ptr<img::Frame> frame;
    if (img::Failed(decoder->GetFrame(i, &frame))) continue;
    std::uint32_t v = 0;
    img::ReadUInt(frame->Metadata().get(), "/app1/ifd/exif/{ushort=40961}", &v);
    img::ReadUInt(frame->Metadata().get(), "/ifd/{ushort=274}", &v);
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
  }
  return 0;
}
