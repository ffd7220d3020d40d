// WebP and AVIF through their libraries, so they open without a system codec.
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>

#include "decode/decode_internal.h"
#include "platform/owned.h"
#include "platform/platform.h"

#ifdef NORVANE_HAVE_AVIF
#include <avif/avif.h>
#endif

using namespace decode_internal;

namespace {

// A colour profile applied to straight (not premultiplied) BGRA pixels; one
// that cannot be used leaves them as decoded.
void ApplyProfile(Picture* pic, const std::uint8_t* profile, std::size_t size) {
  if (!profile || size == 0 || size > 0x7FFFFFFF) return;
  img::ColorContext icc;
  icc.type = img::ColorContext::Type::Profile;
  icc.profile.assign(profile, profile + size);
  auto transform = img::CreateColorTransform(icc);
  if (transform && transform->InputFormat() == img::PixelFormat::Bgra32) {
    transform->TransformBgra(pic->bits, static_cast<std::size_t>(pic->width) * pic->height);
  }
}

// The orientation an EXIF block gives (its TIFF structure, with or without
// the "Exif\0\0" a JPEG puts in front), or 1.
std::uint32_t ExifOrientation(const std::uint8_t* data, std::size_t size) {
  if (size >= 6 && std::memcmp(data, "Exif\0\0", 6) == 0) {
    data += 6;
    size -= 6;
  }
  const auto ifd0 = img::ParseIfd0(data, size);
  std::int64_t v = 1;
  if (!ifd0 || !img::ReadInteger(ifd0.get(), "/{ushort=274}", &v) || v < 1 || v > 8) return 1;
  return static_cast<std::uint32_t>(v);
}

struct WebpDemuxTraits {
  using Type = WebPDemuxer*;
  static WebPDemuxer* Invalid() { return nullptr; }
  static void Release(WebPDemuxer* d) { WebPDemuxDelete(d); }
};

struct WebpAnimTraits {
  using Type = WebPAnimDecoder*;
  static WebPAnimDecoder* Invalid() { return nullptr; }
  static void Release(WebPAnimDecoder* d) { WebPAnimDecoderDelete(d); }
};

// An animation's first frame, composed on its canvas.
bool FirstAnimationFrame(const WebPData& data, Picture* pic) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return false;
  options.color_mode = MODE_BGRA;
  options.use_threads = 0;
  Owned<WebpAnimTraits> decoder(WebPAnimDecoderNew(&data, &options));
  WebPAnimInfo info;
  if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info) ||
      static_cast<int>(info.canvas_width) != pic->width ||
      static_cast<int>(info.canvas_height) != pic->height) {
    return false;
  }
  std::uint8_t* frame = nullptr;
  int timestamp = 0;
  if (!WebPAnimDecoderGetNext(decoder.get(), &frame, &timestamp) || !frame) return false;
  std::memcpy(pic->bits, frame, static_cast<std::size_t>(pic->width) * pic->height * 4);
  return true;
}

img::HResult DecodeWebp(const std::vector<std::uint8_t>& bytes, Picture* pic) {
  int w = 0, h = 0;
  if (!WebPGetInfo(bytes.data(), bytes.size(), &w, &h) || w <= 0 || h <= 0) return img::kFail;
  if (static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) > img::kMaxPixels ||
      !AllocPixels(pic, w, h)) {
    return img::kOutOfMemory;
  }
  const WebPData data = {bytes.data(), bytes.size()};
  // The container's chunks (profile, EXIF, animation); a file the demuxer
  // does not take whole still decodes as a plain picture.
  Owned<WebpDemuxTraits> demux(WebPDemux(&data));
  const bool animated =
      demux && (WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ANIMATION_FLAG) != 0;
  const std::size_t stride = static_cast<std::size_t>(w) * 4;
  const bool decoded = animated
                           ? FirstAnimationFrame(data, pic)
                           : WebPDecodeBGRAInto(bytes.data(), bytes.size(), pic->bits, stride * h,
                                                static_cast<int>(stride)) != nullptr;
  if (!decoded) {
    DropPixels(pic);
    return img::kFail;
  }
  std::uint32_t orientation = 1;
  WebPChunkIterator chunk;
  if (demux && WebPDemuxGetChunk(demux.get(), "ICCP", 1, &chunk)) {
    ApplyProfile(pic, chunk.chunk.bytes, chunk.chunk.size);
    WebPDemuxReleaseChunkIterator(&chunk);
  }
  if (demux && WebPDemuxGetChunk(demux.get(), "EXIF", 1, &chunk)) {
    orientation = ExifOrientation(chunk.chunk.bytes, chunk.chunk.size);
    WebPDemuxReleaseChunkIterator(&chunk);
  }
  img::Premultiply(pic->bits, static_cast<std::size_t>(w) * h);
  Reorient(pic, orientation);
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
  // Files that leave out a required property or repeat an association open
  // elsewhere; they open here too.
  dec->strictFlags = AVIF_STRICT_DISABLED;
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
  ApplyProfile(pic, image->icc.data, image->icc.size);
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
