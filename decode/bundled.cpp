// WebP and AVIF through their libraries, so they open without a system codec.
#include <webp/decode.h>

#include <algorithm>

#include "decode/decode_internal.h"
#include "platform/owned.h"
#include "platform/platform.h"

#ifdef NORVANE_HAVE_AVIF
#include <avif/avif.h>
#endif

using namespace decode_internal;

namespace {

img::HResult DecodeWebp(const std::vector<std::uint8_t>& bytes, Picture* pic) {
  int w = 0, h = 0;
  if (!WebPGetInfo(bytes.data(), bytes.size(), &w, &h) || w <= 0 || h <= 0) return img::kFail;
  if (static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) > img::kMaxPixels ||
      !AllocPixels(pic, w, h)) {
    return img::kOutOfMemory;
  }
  const std::size_t stride = static_cast<std::size_t>(w) * 4;
  if (!WebPDecodeBGRAInto(bytes.data(), bytes.size(), pic->bits, stride * h,
                          static_cast<int>(stride))) {
    DropPixels(pic);
    return img::kFail;
  }
  img::Premultiply(pic->bits, static_cast<std::size_t>(w) * h);
  return img::kOk;
}

#ifdef NORVANE_HAVE_AVIF
// AVIF rotation angle (anti-clockwise quarter turns) to EXIF orientation.
constexpr std::uint32_t kRot[4] = {1, 8, 3, 6};

struct AvifDecoderTraits {
  using Type = avifDecoder*;
  static avifDecoder* Invalid() { return nullptr; }
  static void Release(avifDecoder* d) { avifDecoderDestroy(d); }
};

img::HResult DecodeAvif(const std::vector<std::uint8_t>& bytes, Picture* pic) {
  Owned<AvifDecoderTraits> owner(avifDecoderCreate());
  avifDecoder* dec = owner.get();
  if (!dec) return img::kOutOfMemory;
  dec->maxThreads = static_cast<int>(std::clamp(platform::LogicalProcessors(), 1u, 8u));
  if (avifDecoderSetIOMemory(dec, bytes.data(), bytes.size()) != AVIF_RESULT_OK ||
      avifDecoderParse(dec) != AVIF_RESULT_OK || avifDecoderNextImage(dec) != AVIF_RESULT_OK) {
    return img::kFail;
  }
  const avifImage* image = dec->image;
  if (!image || image->width == 0 || image->height == 0 || image->width > 0x7FFFFFFF ||
      image->height > 0x7FFFFFFF) {
    return img::kFail;
  }
  const int w = static_cast<int>(image->width), h = static_cast<int>(image->height);
  if (static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) > img::kMaxPixels ||
      !AllocPixels(pic, w, h)) {
    return img::kOutOfMemory;
  }
  avifRGBImage rgb;
  avifRGBImageSetDefaults(&rgb, image);
  rgb.depth = 8;
  rgb.format = AVIF_RGB_FORMAT_BGRA;
  rgb.alphaPremultiplied = AVIF_FALSE;
  rgb.pixels = pic->bits;
  rgb.rowBytes = static_cast<std::uint32_t>(w) * 4;
  if (avifImageYUVToRGB(image, &rgb) != AVIF_RESULT_OK) {
    DropPixels(pic);
    return img::kFail;
  }
  if (image->icc.size >= 1 && image->icc.size <= 0x7FFFFFFF && image->icc.data) {
    img::ColorContext icc;
    icc.type = img::ColorContext::Type::Profile;
    icc.profile.assign(image->icc.data, image->icc.data + image->icc.size);
    auto transform = img::CreateColorTransform(icc);
    // A profile that cannot be used leaves the pixels as decoded.
    if (transform && transform->InputFormat() == img::PixelFormat::Bgra32) {
      transform->TransformBgra(pic->bits, static_cast<std::size_t>(w) * h);
    }
  }
  img::Premultiply(pic->bits, static_cast<std::size_t>(w) * h);
  if (image->transformFlags & AVIF_TRANSFORM_IROT) Reorient(pic, kRot[image->irot.angle & 3]);
  if (image->transformFlags & AVIF_TRANSFORM_IMIR) Reorient(pic, image->imir.mode == 0 ? 4 : 2);
  return img::kOk;
}
#endif

}  // namespace

namespace decode_internal {

img::HResult DecodeBundled(Bundled kind, const std::vector<std::uint8_t>& bytes, Picture* pic) {
  if (kind == kBundledWebp) return DecodeWebp(bytes, pic);
#ifdef NORVANE_HAVE_AVIF
  if (kind == kBundledAvif) return DecodeAvif(bytes, pic);
#endif
  return img::kFail;
}

}  // namespace decode_internal
