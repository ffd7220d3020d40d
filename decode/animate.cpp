// GIF animation: frames decoded on demand and composed onto a premultiplied
// canvas by the GIF disposal rules. A step touches only what changes: the
// previous frame's rectangle (disposed), the new frame's rectangle and, when
// the first frame repeats, what was drawn since the canvas was clear; the
// surface is refreshed over those rectangles alone. A small frame on a huge
// logical screen therefore costs what the frame covers, not the screen.
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

// A frame's rectangle clipped to the canvas (empty when wholly outside).
img::Rect Clip(const Picture* pic, std::int64_t left, std::int64_t top, std::int64_t width,
               std::int64_t height) {
  const std::int64_t x0 = std::clamp<std::int64_t>(left, 0, pic->width);
  const std::int64_t y0 = std::clamp<std::int64_t>(top, 0, pic->height);
  const std::int64_t x1 = std::clamp<std::int64_t>(left + width, x0, pic->width);
  const std::int64_t y1 = std::clamp<std::int64_t>(top + height, y0, pic->height);
  return img::Rect{static_cast<std::int32_t>(x0), static_cast<std::int32_t>(y0),
                   static_cast<std::int32_t>(x1 - x0), static_cast<std::int32_t>(y1 - y0)};
}

bool Empty(const img::Rect& r) { return r.width <= 0 || r.height <= 0; }

std::uint64_t Area(const img::Rect& r) {
  return Empty(r) ? 0 : static_cast<std::uint64_t>(r.width) * static_cast<std::uint64_t>(r.height);
}

std::size_t CanvasOffset(const Picture* pic, std::int32_t x, std::int32_t y) {
  return (static_cast<std::size_t>(y) * static_cast<std::size_t>(pic->width) +
          static_cast<std::size_t>(x)) *
         4;
}

// Sets a rectangle of the canvas transparent.
void Clear(Picture* pic, const img::Rect& r) {
  if (Empty(r)) return;
  for (std::int32_t y = r.y; y < r.y + r.height; ++y) {
    std::memset(pic->canvas.data() + CanvasOffset(pic, r.x, y), 0,
                static_cast<std::size_t>(r.width) * 4);
  }
  pic->pixelsTouched += Area(r);
}

// Copies rectangles of the canvas to the surface and puts them on the
// checkerboard.
void Show(Picture* pic, const img::Rect& r) {
  if (Empty(r)) return;
  for (std::int32_t y = r.y; y < r.y + r.height; ++y) {
    const std::size_t at = CanvasOffset(pic, r.x, y);
    std::memcpy(pic->bits + at, pic->canvas.data() + at, static_cast<std::size_t>(r.width) * 4);
  }
  FlattenRect(pic->bits, pic->width, r);
  pic->pixelsTouched += Area(r);
}

// Notes a changed rectangle for the surface; the same rectangle twice in a
// row is noted once.
void Changed(Picture* pic, const img::Rect& r) {
  if (Empty(r)) return;
  if (!pic->pending.empty()) {
    const img::Rect& last = pic->pending.back();
    if (last.x == r.x && last.y == r.y && last.width == r.width && last.height == r.height) return;
  }
  pic->pending.push_back(r);
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
  const img::Rect rect = Clip(pic, left, top, fw, fh);
  try {
    pic->scratch.resize(stride * fh);
    if (disposal == 3) pic->saved.resize(static_cast<std::size_t>(Area(rect)) * 4);
    pic->drawn.reserve(pic->drawn.size() + 1);
    pic->pending.reserve(pic->pending.size() + 2);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (img::Failed(frame->CopyPixels(img::PixelFormat::Pbgra32, pic->scratch.data(), stride,
                                    pic->scratch.size()))) {
    return false;
  }
  if (disposal == 3) {
    // Only the rectangle the frame covers can change before it is disposed.
    const std::size_t row = static_cast<std::size_t>(std::max(rect.width, 0)) * 4;
    for (std::int32_t j = 0; row > 0 && j < rect.height; ++j) {
      std::memcpy(pic->saved.data() + static_cast<std::size_t>(j) * row,
                  pic->canvas.data() + CanvasOffset(pic, rect.x, rect.y + j), row);
    }
    pic->savedRect = rect;
    pic->pixelsTouched += Area(rect);
  }

  // The clipped rectangle's rows and columns within the frame.
  const std::size_t fx = static_cast<std::size_t>(rect.x) - left;
  const std::size_t fy = static_cast<std::size_t>(rect.y) - top;
  // An empty rectangle (a frame wholly off the screen) draws nothing.
  for (std::int32_t j = 0; rect.width > 0 && j < rect.height; ++j) {
    const std::uint8_t* s =
        pic->scratch.data() + (fy + static_cast<std::size_t>(j)) * stride + fx * 4;
    std::uint8_t* d = pic->canvas.data() + CanvasOffset(pic, rect.x, rect.y + j);
    for (std::int32_t i = 0; i < rect.width; ++i, s += 4, d += 4) {
      const unsigned a = s[3];
      if (a == 0) continue;
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
  pic->pixelsTouched += Area(rect);
  if (!Empty(rect)) {
    const bool again = !pic->drawn.empty() && pic->drawn.back().x == rect.x &&
                       pic->drawn.back().y == rect.y && pic->drawn.back().width == rect.width &&
                       pic->drawn.back().height == rect.height;
    if (!again) pic->drawn.push_back(rect);
  }
  Changed(pic, rect);

  pic->currentFrame = index;
  pic->disposal = disposal;
  pic->frameLeft = static_cast<std::int32_t>(left);
  pic->frameTop = static_cast<std::int32_t>(top);
  pic->frameWidth = static_cast<std::int32_t>(fw);
  pic->frameHeight = static_cast<std::int32_t>(fh);
  pic->delayMs = DelayMs(delay);
  if (!pic->shown) {
    // The first frame shows the whole screen once.
    pic->pending.clear();
    Show(pic, img::Rect{0, 0, pic->width, pic->height});
    pic->shown = true;
  }
  for (const img::Rect& r : pic->pending) Show(pic, r);
  pic->pending.clear();
  return true;
}

}  // namespace decode_internal

bool picture_advance(Picture* pic) {
  if (!pic || !pic->decoder || pic->frameCount <= 1) return false;
  pic->pixelsTouched = 0;
  try {
    pic->pending.reserve(pic->pending.size() + 1);
  } catch (const std::bad_alloc&) {
    pic->decoder.reset();
    return false;
  }
  if (pic->disposal == 2) {
    const img::Rect r = Clip(pic, pic->frameLeft, pic->frameTop, pic->frameWidth, pic->frameHeight);
    Clear(pic, r);
    Changed(pic, r);
  } else if (pic->disposal == 3 &&
             pic->saved.size() == static_cast<std::size_t>(Area(pic->savedRect)) * 4) {
    const img::Rect& r = pic->savedRect;
    const std::size_t row = static_cast<std::size_t>(std::max(r.width, 0)) * 4;
    for (std::int32_t j = 0; row > 0 && j < r.height; ++j) {
      std::memcpy(pic->canvas.data() + CanvasOffset(pic, r.x, r.y + j),
                  pic->saved.data() + static_cast<std::size_t>(j) * row, row);
    }
    pic->pixelsTouched += Area(r);
    Changed(pic, r);
  }
  const std::uint32_t next = (pic->currentFrame + 1) % pic->frameCount;
  if (next == 0) {
    // Only what was drawn since the canvas was clear needs clearing.
    try {
      pic->pending.reserve(pic->pending.size() + pic->drawn.size());
    } catch (const std::bad_alloc&) {
      pic->decoder.reset();
      return false;
    }
    for (const img::Rect& r : pic->drawn) {
      Clear(pic, r);
      Changed(pic, r);
    }
    pic->drawn.clear();
  }
  if (!GifCompose(pic, next)) {
    pic->decoder.reset();
    return false;
  }
  return true;
}
