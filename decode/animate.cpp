// GIF animation: frames decoded on demand and composed onto a premultiplied
// canvas by the GIF disposal rules.
#include <algorithm>
#include <cstring>
#include <new>

#include "decode/decode_internal.h"

using namespace decode_internal;

namespace {

// Delays of 19 ms or less (a missing delay included) play at 100 ms.
std::uint32_t DelayMs(std::uint32_t hundredths) {
  std::uint64_t ms = static_cast<std::uint64_t>(hundredths) * 10;
  return ms <= 19 ? 100 : static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, 0xFFFFFFFFu));
}

}  // namespace

namespace decode_internal {

bool GifCompose(Picture* pic, std::uint32_t index) {
  std::unique_ptr<img::Frame> frame;
  if (!pic->decoder || img::Failed(pic->decoder->GetFrame(index, &frame))) return false;
  std::uint32_t left = 0, top = 0, delay = 0, disposal = 0;
  auto meta = frame->Metadata();
  img::ReadUInt(meta.get(), "/imgdesc/Left", &left);
  img::ReadUInt(meta.get(), "/imgdesc/Top", &top);
  img::ReadUInt(meta.get(), "/grctlext/Delay", &delay);
  img::ReadUInt(meta.get(), "/grctlext/Disposal", &disposal);

  const std::uint32_t fw = frame->Width(), fh = frame->Height();
  if (fw == 0 || fh == 0 || static_cast<std::uint64_t>(fw) * fh > img::kMaxPixels) return false;
  const std::size_t stride = static_cast<std::size_t>(fw) * 4;
  try {
    pic->scratch.resize(stride * fh);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (img::Failed(frame->CopyPixels(img::PixelFormat::Pbgra32, pic->scratch.data(), stride,
                                    pic->scratch.size()))) {
    return false;
  }
  if (disposal == 3) pic->saved = pic->canvas;

  const std::int64_t W = pic->width, H = pic->height;
  for (std::uint32_t j = 0; j < fh; ++j) {
    const std::int64_t y = static_cast<std::int64_t>(top) + j;
    if (y < 0 || y >= H) continue;
    const std::uint8_t* s = pic->scratch.data() + j * stride;
    for (std::uint32_t i = 0; i < fw; ++i, s += 4) {
      const std::int64_t x = static_cast<std::int64_t>(left) + i;
      if (x < 0 || x >= W) continue;
      const unsigned a = s[3];
      if (a == 0) continue;
      std::uint8_t* d = pic->canvas.data() + (static_cast<std::size_t>(y) * W + x) * 4;
      if (a == 255) {
        d[0] = s[0], d[1] = s[1], d[2] = s[2], d[3] = 255;
        continue;
      }
      for (int c = 0; c < 3; ++c) {
        d[c] = static_cast<std::uint8_t>((d[c] * (255 - a) + 127) / 255 + s[c]);
      }
      d[3] = static_cast<std::uint8_t>(a + (d[3] * (255 - a) + 127) / 255);
    }
  }

  pic->currentFrame = index;
  pic->disposal = disposal;
  pic->frameLeft = static_cast<std::int32_t>(left);
  pic->frameTop = static_cast<std::int32_t>(top);
  pic->frameWidth = static_cast<std::int32_t>(fw);
  pic->frameHeight = static_cast<std::int32_t>(fh);
  pic->delayMs = DelayMs(delay);
  std::memcpy(pic->bits, pic->canvas.data(), pic->canvas.size());
  Flatten(pic->bits, pic->width, pic->height);
  return true;
}

}  // namespace decode_internal

bool picture_advance(Picture* pic) {
  if (!pic || !pic->decoder || pic->frameCount <= 1) return false;
  const std::int64_t W = pic->width, H = pic->height;
  if (pic->disposal == 2) {
    const std::int64_t x0 = std::max<std::int64_t>(pic->frameLeft, 0);
    const std::int64_t x1 =
        std::min<std::int64_t>(static_cast<std::int64_t>(pic->frameLeft) + pic->frameWidth, W);
    for (std::int64_t y = pic->frameTop;
         y < static_cast<std::int64_t>(pic->frameTop) + pic->frameHeight; ++y) {
      if (y < 0 || y >= H || x0 >= x1) continue;
      std::memset(pic->canvas.data() + (static_cast<std::size_t>(y) * W + x0) * 4, 0,
                  static_cast<std::size_t>(x1 - x0) * 4);
    }
  } else if (pic->disposal == 3 && pic->saved.size() == pic->canvas.size()) {
    pic->canvas = pic->saved;
  }
  const std::uint32_t next = (pic->currentFrame + 1) % pic->frameCount;
  if (next == 0) std::fill(pic->canvas.begin(), pic->canvas.end(), 0);
  if (!GifCompose(pic, next)) {
    pic->decoder.reset();
    return false;
  }
  return true;
}
