// Pixel surfaces as DIB sections selected into a memory DC, so the viewer
// can BitBlt straight from a picture.
#include <windows.h>

#include "decode/decode_internal.h"

namespace decode_internal {

PictureBitmap MakeDibSection(int w, int h, std::uint8_t** bits) {
  if (bits) *bits = nullptr;
  if (w <= 0 || h <= 0) return nullptr;
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;  // top-down
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* p = nullptr;
  HBITMAP dib = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &p, nullptr, 0);
  if (!dib || !p) {
    if (dib) DeleteObject(dib);
    return nullptr;
  }
  if (bits) *bits = static_cast<std::uint8_t*>(p);
  return dib;
}

bool AllocPixels(Picture* picture, int w, int h) {
  DropPixels(picture);
  std::uint8_t* bits = nullptr;
  HBITMAP dib = MakeDibSection(w, h, &bits);
  if (!dib) return false;
  HDC dc = CreateCompatibleDC(nullptr);
  if (!dc) {
    DeleteObject(dib);
    return false;
  }
  picture->oldBitmap = SelectObject(dc, dib);
  picture->dib = dib;
  picture->dc = dc;
  picture->bits = bits;
  picture->width = w;
  picture->height = h;
  return true;
}

void DropPixels(Picture* picture) {
  if (picture->dc) {
    if (picture->dib) {
      SelectObject(picture->dc, static_cast<HGDIOBJ>(picture->oldBitmap));
      DeleteObject(picture->dib);
    }
    DeleteDC(picture->dc);
  }
  picture->dc = nullptr;
  picture->dib = nullptr;
  picture->oldBitmap = nullptr;
  picture->bits = nullptr;
  picture->width = 0;
  picture->height = 0;
}

void ReplacePixels(Picture* picture, PictureBitmap dib, std::uint8_t* bits, int w, int h) {
  SelectObject(picture->dc, dib);
  DeleteObject(picture->dib);
  picture->dib = dib;
  picture->bits = bits;
  picture->width = w;
  picture->height = h;
}

}  // namespace decode_internal

std::uint8_t* bitmap_bits(PictureBitmap bitmap) {
  DIBSECTION ds;
  if (!bitmap || GetObjectW(bitmap, sizeof ds, &ds) != sizeof ds) return nullptr;
  return static_cast<std::uint8_t*>(ds.dsBm.bmBits);
}

void bitmap_delete(PictureBitmap bitmap) {
  if (bitmap) DeleteObject(bitmap);
}
