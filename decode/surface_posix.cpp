// Pixel surfaces in plain memory, with the same convention as the DIB
// sections of the Windows build.
#include <cstdlib>
#include <new>

#include "decode/decode_internal.h"

struct FreeBits {
  void operator()(std::uint8_t* p) const { std::free(p); }
};

struct PosixBitmap {
  int width = 0;
  int height = 0;
  std::unique_ptr<std::uint8_t[], FreeBits> bits;
};

namespace decode_internal {

PictureBitmap MakeDibSection(int w, int h, std::uint8_t** bits) {
  if (bits) *bits = nullptr;
  if (w <= 0 || h <= 0) return nullptr;
  auto* b = new (std::nothrow) PosixBitmap;
  if (!b) return nullptr;
  std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4;
  // Zeroed like a DIB section's memory, by calloc, which takes fresh pages
  // from the system already cleared instead of clearing them a second time.
  b->bits.reset(static_cast<std::uint8_t*>(std::calloc(n, 1)));
  if (!b->bits) {
    delete b;
    return nullptr;
  }
  b->width = w;
  b->height = h;
  if (bits) *bits = b->bits.get();
  return b;
}

bool AllocPixels(Picture* picture, int w, int h) {
  DropPixels(picture);
  std::uint8_t* bits = nullptr;
  PictureBitmap dib = MakeDibSection(w, h, &bits);
  if (!dib) return false;
  picture->dib = dib;
  picture->bits = bits;
  picture->width = w;
  picture->height = h;
  return true;
}

void DropPixels(Picture* picture) {
  delete picture->dib;
  picture->dib = nullptr;
  picture->dc = nullptr;
  picture->oldBitmap = nullptr;
  picture->bits = nullptr;
  picture->width = 0;
  picture->height = 0;
}

void ReplacePixels(Picture* picture, PictureBitmap dib, std::uint8_t* bits, int w, int h) {
  delete picture->dib;
  picture->dib = dib;
  picture->bits = bits;
  picture->width = w;
  picture->height = h;
}

}  // namespace decode_internal

std::uint8_t* bitmap_bits(PictureBitmap bitmap) { return bitmap ? bitmap->bits.get() : nullptr; }

void bitmap_delete(PictureBitmap bitmap) { delete bitmap; }
