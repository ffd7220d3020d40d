// The Picture record's accessors, release and the resampled copy.
#include "decode/decode_internal.h"

using namespace decode_internal;

namespace {
// The imaging component keeps no process state of its own; the flag mirrors
// the factory's lifetime so that nothing decodes before start-up or after
// shutdown.
bool g_fac = false;
}  // namespace

namespace decode_internal {
bool FactoryReady() { return g_fac; }
}  // namespace decode_internal

bool decode_init() {
  g_fac = true;
  return true;
}

void decode_shutdown() { g_fac = false; }

int picture_width(const Picture* p) { return p ? (p->reduction > 1 ? p->fullWidth : p->width) : 0; }
int picture_height(const Picture* p) {
  return p ? (p->reduction > 1 ? p->fullHeight : p->height) : 0;
}
int picture_reduction(const Picture* p) { return p ? p->reduction : 1; }
int picture_pixel_width(const Picture* p) { return p ? p->width : 0; }
int picture_pixel_height(const Picture* p) { return p ? p->height : 0; }
PictureDC picture_dc(const Picture* p) { return p ? p->dc : nullptr; }
std::uint8_t* picture_bits(const Picture* p) { return p ? p->bits : nullptr; }
bool picture_animated(const Picture* p) { return p && p->decoder && p->frameCount > 1; }
std::uint32_t picture_delay_ms(const Picture* p) { return p ? p->delayMs : 0; }

void picture_free(Picture* p) {
  if (!p) return;
  p->decoder.reset();
  DropPixels(p);
  delete p;
}

PictureBitmap picture_scaled(const Picture* p, int w, int h) {
  if (!p || !p->bits || !g_fac || w <= 0 || h <= 0) return nullptr;
  const std::uint64_t stride = static_cast<std::uint64_t>(w) * 4;
  const std::uint64_t size = stride * static_cast<std::uint64_t>(h);
  if (size > 0xFFFFFFFFu) return nullptr;
  img::MemSource source{p->bits, p->width, p->height};
  std::uint8_t* bits = nullptr;
  PictureBitmap target = MakeDibSection(w, h, &bits);
  if (!target) return nullptr;
  for (img::Interpolation mode : {img::Interpolation::HighQualityCubic, img::Interpolation::Fant}) {
    if (img::Succeeded(img::ScaleBitmap(source, w, h, mode, bits,
                                        static_cast<std::uint32_t>(stride),
                                        static_cast<std::uint32_t>(size)))) {
      return target;
    }
  }
  bitmap_delete(target);
  return nullptr;
}
