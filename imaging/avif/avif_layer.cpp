// The decoder entry points the program calls through <avif/avif.h>, for the
// build that has no AVIF library: our own box reader (isobmff.cpp), dav1d for
// the AV1 pictures and our own YUV conversion (yuv.cpp). Only the calls and
// fields the program uses are provided; the structures are the header's own.
#include <avif/avif.h>
#include <dav1d/dav1d.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "imaging/avif/isobmff.h"
#include "imaging/avif/yuv.h"

// The decoder's private part, which the header leaves opaque.
struct avifDecoderData {
  const std::uint8_t* bytes = nullptr;
  std::size_t size = 0;
  bool io_set = false;
  bool parsed = false;
  int decoded = 0;  // pictures handed out so far
  avif_layer::AvifFile file;
  avifImage image{};
  std::vector<std::uint8_t> planes[3];
  std::vector<std::uint8_t> alpha;
};

namespace {

using avif_layer::ParseStatus;

// Upper bound on decoder loop turns; one still picture needs a few.
constexpr int kMaxDecodeTurns = 4096;

avifResult ResultOf(ParseStatus st) {
  switch (st) {
    case ParseStatus::kOk:
      return AVIF_RESULT_OK;
    case ParseStatus::kInvalidFtyp:
      return AVIF_RESULT_INVALID_FTYP;
    case ParseStatus::kNoAv1Item:
      return AVIF_RESULT_NO_AV1_ITEMS_FOUND;
    case ParseStatus::kUnsupported:
      return AVIF_RESULT_NOT_IMPLEMENTED;
    case ParseStatus::kTruncated:
      return AVIF_RESULT_TRUNCATED_DATA;
    case ParseStatus::kBadStructure:
    case ParseStatus::kTooLarge:
      break;
  }
  return AVIF_RESULT_BMFF_PARSE_FAILED;
}

avifPixelFormat FormatOf(const avif_layer::Av1Config& c) {
  if (c.monochrome) return AVIF_PIXEL_FORMAT_YUV400;
  if (c.subsampling_x && c.subsampling_y) return AVIF_PIXEL_FORMAT_YUV420;
  if (c.subsampling_x) return AVIF_PIXEL_FORMAT_YUV422;
  return AVIF_PIXEL_FORMAT_YUV444;
}

avifRWData View(std::vector<std::uint8_t>& v) {
  avifRWData d;
  d.data = v.empty() ? nullptr : v.data();
  d.size = v.size();
  return d;
}

struct Dav1dOwner {
  Dav1dContext* ctx = nullptr;
  Dav1dData data{};
  Dav1dPicture pic{};
  bool have_pic = false;
  ~Dav1dOwner() {
    if (have_pic) dav1d_picture_unref(&pic);
    if (data.sz) dav1d_data_unref(&data);
    if (ctx) dav1d_close(&ctx);
  }
};

// Decodes one AV1 temporal unit into `out`; false when no picture comes out.
bool DecodeAv1(const std::vector<std::uint8_t>& obu, int threads, Dav1dOwner* out) {
  if (obu.empty()) return false;
  Dav1dSettings s;
  dav1d_default_settings(&s);
  s.n_threads = threads;
  s.max_frame_delay = 1;
  s.all_layers = 0;  // the highest spatial layer only
  s.frame_size_limit = static_cast<unsigned>(avif_layer::kMaxPixels);
  if (dav1d_open(&out->ctx, &s) < 0) return false;
  std::uint8_t* buf = dav1d_data_create(&out->data, obu.size());
  if (!buf) return false;
  std::memcpy(buf, obu.data(), obu.size());
  for (int turn = 0; turn < kMaxDecodeTurns; ++turn) {
    if (out->data.sz > 0) {
      const int r = dav1d_send_data(out->ctx, &out->data);
      if (r < 0 && r != DAV1D_ERR(EAGAIN)) return false;
    }
    const int r = dav1d_get_picture(out->ctx, &out->pic);
    if (r == 0) {
      out->have_pic = true;
      return true;
    }
    if (r != DAV1D_ERR(EAGAIN)) return false;
  }
  return false;
}

// Copies `rows` rows of `bytes` bytes from a dav1d plane into a packed buffer.
void CopyPlane(const void* src, std::ptrdiff_t stride, std::size_t bytes, std::uint32_t rows,
               std::vector<std::uint8_t>* dst) {
  dst->resize(bytes * rows);
  const std::uint8_t* s = static_cast<const std::uint8_t*>(src);
  for (std::uint32_t y = 0; y < rows; ++y) {
    std::memcpy(dst->data() + y * bytes, s + static_cast<std::ptrdiff_t>(y) * stride, bytes);
  }
}

avifResult DecodeColor(avifDecoder* decoder, int threads) {
  avifDecoderData* d = decoder->data;
  avifImage* im = &d->image;
  Dav1dOwner dec;
  if (!DecodeAv1(d->file.color.obu, threads, &dec)) return AVIF_RESULT_DECODE_COLOR_FAILED;
  const Dav1dPicture& p = dec.pic;
  if (p.p.w <= 0 || p.p.h <= 0 || static_cast<std::uint32_t>(p.p.w) != im->width ||
      static_cast<std::uint32_t>(p.p.h) != im->height) {
    return AVIF_RESULT_DECODE_COLOR_FAILED;
  }
  if (p.p.bpc != 8 && p.p.bpc != 10 && p.p.bpc != 12) return AVIF_RESULT_UNSUPPORTED_DEPTH;
  const std::size_t sample = p.p.bpc > 8 ? 2 : 1;
  const std::uint32_t w = im->width, h = im->height;
  std::uint32_t cw = w, ch = h;
  switch (p.p.layout) {
    case DAV1D_PIXEL_LAYOUT_I400:
      im->yuvFormat = AVIF_PIXEL_FORMAT_YUV400;
      cw = ch = 0;
      break;
    case DAV1D_PIXEL_LAYOUT_I420:
      im->yuvFormat = AVIF_PIXEL_FORMAT_YUV420;
      cw = (w + 1) / 2;
      ch = (h + 1) / 2;
      break;
    case DAV1D_PIXEL_LAYOUT_I422:
      im->yuvFormat = AVIF_PIXEL_FORMAT_YUV422;
      cw = (w + 1) / 2;
      break;
    case DAV1D_PIXEL_LAYOUT_I444:
      im->yuvFormat = AVIF_PIXEL_FORMAT_YUV444;
      break;
  }
  im->depth = static_cast<std::uint32_t>(p.p.bpc);
  CopyPlane(p.data[0], p.stride[0], w * sample, h, &d->planes[0]);
  for (int i = 1; i < 3; ++i) {
    d->planes[i].clear();
    if (cw) CopyPlane(p.data[i], p.stride[1], cw * sample, ch, &d->planes[i]);
  }
  for (int i = 0; i < 3; ++i) {
    im->yuvPlanes[i] = d->planes[i].empty() ? nullptr : d->planes[i].data();
    im->yuvRowBytes[i] = static_cast<std::uint32_t>(i == 0 ? w * sample : cw * sample);
  }
  im->imageOwnsYUVPlanes = AVIF_FALSE;
  // The colr box speaks for the file; without one the AV1 sequence header does.
  const avif_layer::Nclx& n = d->file.color.nclx;
  if (n.present) {
    im->yuvRange = n.full_range ? AVIF_RANGE_FULL : AVIF_RANGE_LIMITED;
  } else {
    im->yuvRange = p.seq_hdr && p.seq_hdr->color_range ? AVIF_RANGE_FULL : AVIF_RANGE_LIMITED;
    if (p.seq_hdr) {
      im->colorPrimaries = static_cast<avifColorPrimaries>(p.seq_hdr->pri);
      im->transferCharacteristics = static_cast<avifTransferCharacteristics>(p.seq_hdr->trc);
      im->matrixCoefficients = static_cast<avifMatrixCoefficients>(p.seq_hdr->mtrx);
    }
  }
  return AVIF_RESULT_OK;
}

avifResult DecodeAlpha(avifDecoder* decoder, int threads) {
  avifDecoderData* d = decoder->data;
  avifImage* im = &d->image;
  Dav1dOwner dec;
  if (!DecodeAv1(d->file.alpha.obu, threads, &dec)) return AVIF_RESULT_DECODE_ALPHA_FAILED;
  const Dav1dPicture& p = dec.pic;
  if (p.p.w <= 0 || p.p.h <= 0 || static_cast<std::uint32_t>(p.p.w) != im->width ||
      static_cast<std::uint32_t>(p.p.h) != im->height) {
    return AVIF_RESULT_COLOR_ALPHA_SIZE_MISMATCH;
  }
  if (static_cast<std::uint32_t>(p.p.bpc) != im->depth) return AVIF_RESULT_DECODE_ALPHA_FAILED;
  const std::size_t row = im->width * (im->depth > 8 ? 2u : 1u);
  CopyPlane(p.data[0], p.stride[0], row, im->height, &d->alpha);
  const bool limited = !(p.seq_hdr && p.seq_hdr->color_range);
  if (limited) {
    avif_layer::AlphaLimitedToFull(d->alpha.data(), row, im->width, im->height, im->depth);
  }
  im->alphaPlane = d->alpha.data();
  im->alphaRowBytes = static_cast<std::uint32_t>(row);
  im->imageOwnsAlphaPlane = AVIF_FALSE;
  return AVIF_RESULT_OK;
}

void ResetImage(avifDecoderData* d) {
  d->image = avifImage{};
  for (auto& p : d->planes) p.clear();
  d->alpha.clear();
}

}  // namespace

extern "C" {

avifDecoder* avifDecoderCreate(void) {
  avifDecoder* decoder = new (std::nothrow) avifDecoder();
  if (!decoder) return nullptr;
  decoder->data = new (std::nothrow) avifDecoderData();
  if (!decoder->data) {
    delete decoder;
    return nullptr;
  }
  decoder->maxThreads = 1;
  decoder->imageSizeLimit = AVIF_DEFAULT_IMAGE_SIZE_LIMIT;
  decoder->imageDimensionLimit = AVIF_DEFAULT_IMAGE_DIMENSION_LIMIT;
  decoder->imageCountLimit = AVIF_DEFAULT_IMAGE_COUNT_LIMIT;
  decoder->strictFlags = AVIF_STRICT_ENABLED;
  decoder->imageIndex = -1;
  return decoder;
}

void avifDecoderDestroy(avifDecoder* decoder) {
  if (!decoder) return;
  delete decoder->data;
  delete decoder;
}

avifResult avifDecoderSetIOMemory(avifDecoder* decoder, const uint8_t* data, size_t size) {
  if (!decoder || (!data && size)) return AVIF_RESULT_INVALID_ARGUMENT;
  avifDecoderData* d = decoder->data;
  d->bytes = data;
  d->size = size;
  d->io_set = true;
  d->parsed = false;
  decoder->image = nullptr;
  return AVIF_RESULT_OK;
}

avifResult avifDecoderParse(avifDecoder* decoder) {
  if (!decoder) return AVIF_RESULT_INVALID_ARGUMENT;
  avifDecoderData* d = decoder->data;
  if (!d->io_set) return AVIF_RESULT_IO_NOT_SET;
  d->parsed = false;
  d->decoded = 0;
  decoder->image = nullptr;
  decoder->imageIndex = -1;
  decoder->imageCount = 0;
  decoder->alphaPresent = AVIF_FALSE;
  ResetImage(d);
  try {
    const ParseStatus st = avif_layer::ParseAvif(d->bytes, d->size, &d->file);
    if (st != ParseStatus::kOk) return ResultOf(st);
  } catch (const std::bad_alloc&) {
    return AVIF_RESULT_OUT_OF_MEMORY;
  }
  const avif_layer::CodedImage& c = d->file.color;
  avifImage* im = &d->image;
  im->width = c.width;
  im->height = c.height;
  im->depth = c.av1c.Depth();
  im->yuvFormat = FormatOf(c.av1c);
  im->yuvRange = c.nclx.present && !c.nclx.full_range ? AVIF_RANGE_LIMITED : AVIF_RANGE_FULL;
  // Unspecified (2) until the colr box or the AV1 sequence header says more.
  im->colorPrimaries = c.nclx.present ? c.nclx.primaries : 2;
  im->transferCharacteristics = c.nclx.present ? c.nclx.transfer : 2;
  im->matrixCoefficients = c.nclx.present ? c.nclx.matrix : 2;
  im->icc = View(d->file.color.icc);
  im->exif = View(d->file.exif);
  im->xmp = View(d->file.xmp);
  im->transformFlags = AVIF_TRANSFORM_NONE;
  if (c.has_irot) {
    im->transformFlags |= AVIF_TRANSFORM_IROT;
    im->irot.angle = c.irot_angle;
  }
  if (c.has_imir) {
    im->transformFlags |= AVIF_TRANSFORM_IMIR;
    im->imir.mode = c.imir_axis;
  }
  decoder->image = im;
  decoder->imageCount = 1;
  decoder->alphaPresent = d->file.has_alpha ? AVIF_TRUE : AVIF_FALSE;
  d->parsed = true;
  return AVIF_RESULT_OK;
}

avifResult avifDecoderNextImage(avifDecoder* decoder) {
  if (!decoder) return AVIF_RESULT_INVALID_ARGUMENT;
  avifDecoderData* d = decoder->data;
  if (!d->parsed) return AVIF_RESULT_NO_CONTENT;
  if (d->decoded >= 1) return AVIF_RESULT_NO_IMAGES_REMAINING;
  // Zero asks for the library's choice, which is one thread here.
  const int threads = std::clamp(decoder->maxThreads, 1, 64);
  try {
    avifResult r = DecodeColor(decoder, threads);
    if (r == AVIF_RESULT_OK && d->file.has_alpha) r = DecodeAlpha(decoder, threads);
    if (r != AVIF_RESULT_OK) return r;
  } catch (const std::bad_alloc&) {
    return AVIF_RESULT_OUT_OF_MEMORY;
  }
  d->decoded = 1;
  decoder->imageIndex = 0;
  return AVIF_RESULT_OK;
}

void avifRGBImageSetDefaults(avifRGBImage* rgb, const avifImage* image) {
  *rgb = avifRGBImage{};
  rgb->width = image->width;
  rgb->height = image->height;
  rgb->depth = image->depth;
  rgb->format = AVIF_RGB_FORMAT_RGBA;
  rgb->chromaUpsampling = AVIF_CHROMA_UPSAMPLING_AUTOMATIC;
  rgb->chromaDownsampling = AVIF_CHROMA_DOWNSAMPLING_AUTOMATIC;
}

avifResult avifImageYUVToRGB(const avifImage* image, avifRGBImage* rgb) {
  if (!image || !rgb || !image->yuvPlanes[0]) return AVIF_RESULT_REFORMAT_FAILED;
  if (!rgb->pixels || rgb->depth != 8 || rgb->isFloat || rgb->alphaPremultiplied) {
    return AVIF_RESULT_NOT_IMPLEMENTED;
  }
  if (rgb->format != AVIF_RGB_FORMAT_BGRA && rgb->format != AVIF_RGB_FORMAT_RGBA) {
    return AVIF_RESULT_NOT_IMPLEMENTED;
  }
  if (rgb->width != image->width || rgb->height != image->height ||
      rgb->rowBytes / 4 < rgb->width) {
    return AVIF_RESULT_REFORMAT_FAILED;
  }
  avif_layer::YuvPlanes in;
  in.width = image->width;
  in.height = image->height;
  in.depth = image->depth;
  switch (image->yuvFormat) {
    case AVIF_PIXEL_FORMAT_YUV444:
      in.subsampling = avif_layer::Subsampling::k444;
      break;
    case AVIF_PIXEL_FORMAT_YUV422:
      in.subsampling = avif_layer::Subsampling::k422;
      break;
    case AVIF_PIXEL_FORMAT_YUV420:
      in.subsampling = avif_layer::Subsampling::k420;
      break;
    case AVIF_PIXEL_FORMAT_YUV400:
      in.subsampling = avif_layer::Subsampling::k400;
      break;
    default:
      return AVIF_RESULT_REFORMAT_FAILED;
  }
  in.full_range = image->yuvRange == AVIF_RANGE_FULL;
  in.matrix = image->matrixCoefficients;
  for (int i = 0; i < 3; ++i) {
    in.plane[i] = image->yuvPlanes[i];
    in.stride[i] = image->yuvRowBytes[i];
  }
  in.alpha = image->alphaPlane;
  in.alpha_stride = image->alphaRowBytes;
  if (!avif_layer::YuvToBgra8(in, rgb->pixels, rgb->rowBytes)) return AVIF_RESULT_REFORMAT_FAILED;
  if (rgb->format == AVIF_RGB_FORMAT_RGBA) {
    for (std::uint32_t y = 0; y < rgb->height; ++y) {
      std::uint8_t* p = rgb->pixels + static_cast<std::size_t>(y) * rgb->rowBytes;
      for (std::uint32_t x = 0; x < rgb->width; ++x, p += 4) std::swap(p[0], p[2]);
    }
  }
  return AVIF_RESULT_OK;
}

}  // extern "C"
