// MemSource: premultiplied BGRA pixels in the caller's memory, read by rectangle.
#include <cstring>

#include "imaging/imaging.h"

namespace img {

HResult MemSource::GetSize(std::uint32_t* w, std::uint32_t* h) const {
  if (!w || !h) return kPointer;
  *w = static_cast<std::uint32_t>(width);
  *h = static_cast<std::uint32_t>(height);
  return kOk;
}

HResult MemSource::CopyPixels(const Rect* rect, std::uint32_t stride, std::uint32_t size,
                              std::uint8_t* buffer) const {
  if (!buffer) return kPointer;
  std::int64_t x = 0, y = 0, w = width, h = height;
  if (rect) {
    x = rect->x;
    y = rect->y;
    w = rect->width;
    h = rect->height;
    // 64-bit sums: X + Width cannot wrap.
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || x + w > width || y + h > height) {
      return kInvalidArg;
    }
  } else if (w <= 0 || h <= 0) {
    return kInvalidArg;
  }
  const std::uint64_t rowBytes = static_cast<std::uint64_t>(w) * 4;
  if (stride < rowBytes) return kInvalidArg;
  const std::uint64_t need =
      static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(h - 1) + rowBytes;
  if (size < need) return kErrInsufficientBuffer;
  if (!pixels) return kInvalidArg;  // a source without pixels has nothing to give
  const std::size_t srcStride = static_cast<std::size_t>(width) * 4;
  const std::uint8_t* from =
      pixels + static_cast<std::size_t>(y) * srcStride + static_cast<std::size_t>(x) * 4;
  for (std::int64_t i = 0; i < h; ++i) {
    std::memcpy(buffer + static_cast<std::size_t>(i) * stride,
                from + static_cast<std::size_t>(i) * srcStride, static_cast<std::size_t>(rowBytes));
  }
  return kOk;
}

}  // namespace img
