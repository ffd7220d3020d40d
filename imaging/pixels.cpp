// Pixel formats and the conversions every decoder shares.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "imaging/imaging.h"

namespace img {

std::uint32_t BitsPerPixel(PixelFormat f) {
  switch (f) {
    case PixelFormat::Unknown:
      return 0;
    case PixelFormat::Indexed1:
    case PixelFormat::BlackWhite:
      return 1;
    case PixelFormat::Indexed2:
    case PixelFormat::Gray2:
      return 2;
    case PixelFormat::Indexed4:
    case PixelFormat::Gray4:
      return 4;
    case PixelFormat::Indexed8:
    case PixelFormat::Gray8:
      return 8;
    case PixelFormat::Gray16:
    case PixelFormat::Bgr555:
    case PixelFormat::Bgr565:
      return 16;
    case PixelFormat::Bgr24:
    case PixelFormat::Rgb24:
      return 24;
    case PixelFormat::Bgr32:
    case PixelFormat::Bgra32:
    case PixelFormat::Pbgra32:
    case PixelFormat::Rgba32:
    case PixelFormat::Cmyk32:
    case PixelFormat::Gray32Float:
      return 32;
    case PixelFormat::Rgb48:
      return 48;
    case PixelFormat::Rgba64:
    case PixelFormat::Prgba64:
    case PixelFormat::Cmyk64:
      return 64;
  }
  return 0;
}

PixelFormat IndexedFormat(unsigned bits) {
  switch (bits) {
    case 1:
      return PixelFormat::Indexed1;
    case 2:
      return PixelFormat::Indexed2;
    case 4:
      return PixelFormat::Indexed4;
    case 8:
      return PixelFormat::Indexed8;
    default:
      return PixelFormat::Unknown;
  }
}

PixelFormat GrayFormat(unsigned bits) {
  switch (bits) {
    case 1:
      return PixelFormat::BlackWhite;
    case 2:
      return PixelFormat::Gray2;
    case 4:
      return PixelFormat::Gray4;
    case 8:
      return PixelFormat::Gray8;
    case 16:
      return PixelFormat::Gray16;
    default:
      return PixelFormat::Unknown;
  }
}

const char* PixelFormatName(PixelFormat f) {
  switch (f) {
    case PixelFormat::Unknown:
      return "unknown";
    case PixelFormat::Indexed1:
      return "1bppIndexed";
    case PixelFormat::Indexed2:
      return "2bppIndexed";
    case PixelFormat::Indexed4:
      return "4bppIndexed";
    case PixelFormat::Indexed8:
      return "8bppIndexed";
    case PixelFormat::BlackWhite:
      return "BlackWhite";
    case PixelFormat::Gray2:
      return "2bppGray";
    case PixelFormat::Gray4:
      return "4bppGray";
    case PixelFormat::Gray8:
      return "8bppGray";
    case PixelFormat::Gray16:
      return "16bppGray";
    case PixelFormat::Bgr555:
      return "16bppBGR555";
    case PixelFormat::Bgr565:
      return "16bppBGR565";
    case PixelFormat::Bgr24:
      return "24bppBGR";
    case PixelFormat::Rgb24:
      return "24bppRGB";
    case PixelFormat::Bgr32:
      return "32bppBGR";
    case PixelFormat::Bgra32:
      return "32bppBGRA";
    case PixelFormat::Pbgra32:
      return "32bppPBGRA";
    case PixelFormat::Rgba32:
      return "32bppRGBA";
    case PixelFormat::Cmyk32:
      return "32bppCMYK";
    case PixelFormat::Rgb48:
      return "48bppRGB";
    case PixelFormat::Rgba64:
      return "64bppRGBA";
    case PixelFormat::Prgba64:
      return "64bppPRGBA";
    case PixelFormat::Cmyk64:
      return "64bppCMYK";
    case PixelFormat::Gray32Float:
      return "32bppGrayFloat";
  }
  return "unknown";
}

const char* ContainerName(Container c) {
  switch (c) {
    case Container::Unknown:
      return "unknown";
    case Container::Jpeg:
      return "JPEG";
    case Container::Png:
      return "PNG";
    case Container::Gif:
      return "GIF";
    case Container::Tiff:
      return "TIFF";
    case Container::Bmp:
      return "BMP";
    case Container::Ico:
      return "ICO";
    case Container::Webp:
      return "WebP";
    case Container::Avif:
      return "AVIF";
  }
  return "unknown";
}

void Premultiply(std::uint8_t* p, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, p += 4) {
    unsigned a = p[3];
    if (a == 255) continue;
    p[0] = static_cast<std::uint8_t>((p[0] * a + 127) / 255);
    p[1] = static_cast<std::uint8_t>((p[1] * a + 127) / 255);
    p[2] = static_cast<std::uint8_t>((p[2] * a + 127) / 255);
  }
}

HResult CheckCopyArgs(std::uint32_t height, std::size_t rowBytes, const std::uint8_t* buffer,
                      std::size_t stride, std::size_t size) {
  if (!buffer) return kInvalidArg;
  if (stride < rowBytes) return kInvalidArg;
  if (height == 0) return kOk;
  // stride × (height − 1) + rowBytes, without wrapping
  std::uint64_t rows = height - 1;
  if (stride != 0 && rows > (UINT64_MAX - rowBytes) / stride) return kErrInsufficientBuffer;
  if (size < rows * stride + rowBytes) return kErrInsufficientBuffer;
  return kOk;
}

void StoreBgraRow(const std::uint8_t* src, std::uint32_t width, PixelFormat format,
                  std::uint8_t* dst) {
  switch (format) {
    case PixelFormat::Bgra32:
      if (src != dst) std::memmove(dst, src, static_cast<std::size_t>(width) * 4);
      break;
    case PixelFormat::Pbgra32:
      if (src != dst) std::memmove(dst, src, static_cast<std::size_t>(width) * 4);
      Premultiply(dst, width);
      break;
    case PixelFormat::Bgr32:
      for (std::uint32_t x = 0; x < width; ++x) {
        dst[4 * x] = src[4 * x];
        dst[4 * x + 1] = src[4 * x + 1];
        dst[4 * x + 2] = src[4 * x + 2];
        dst[4 * x + 3] = 255;
      }
      break;
    case PixelFormat::Bgr24:
      for (std::uint32_t x = 0; x < width; ++x) {
        dst[3 * x] = src[4 * x];
        dst[3 * x + 1] = src[4 * x + 1];
        dst[3 * x + 2] = src[4 * x + 2];
      }
      break;
    default:
      break;
  }
}

HResult Frame::CopyCmyk(std::uint8_t*, std::size_t, std::size_t) { return kNotImpl; }

HResult Frame::CopyPixelsInBands(PixelFormat format, std::uint32_t bandRows, const BandSink& sink) {
  if (bandRows == 0 || !sink) return kInvalidArg;
  const std::uint32_t bits = BitsPerPixel(format);
  if (bits != 24 && bits != 32) return kInvalidArg;
  const std::size_t stride = (static_cast<std::size_t>(Width()) * (bits / 8) + 3) & ~std::size_t{3};
  std::vector<std::uint8_t> all;
  try {
    all.resize(stride * Height());
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  const HResult hr = CopyPixels(format, all.data(), stride, all.size());
  if (Failed(hr)) return hr;
  for (std::uint32_t y = 0; y < Height(); y += bandRows) {
    const std::uint32_t n = std::min(bandRows, Height() - y);
    if (!sink(all.data() + y * stride, y, n, stride)) break;
  }
  return kOk;
}

namespace {
thread_local const std::atomic<bool>* t_cancel = nullptr;
}  // namespace

void SetThreadCancelFlag(const std::atomic<bool>* flag) { t_cancel = flag; }

bool CancelRequested() { return t_cancel && t_cancel->load(std::memory_order_relaxed); }

HResult CreateDecoderFromMemory(Bytes bytes, std::unique_ptr<Decoder>* out) {
  if (!out) return kPointer;
  out->reset();
  if (!bytes || bytes->empty()) return kErrUnknownImageFormat;
  using Factory = HResult (*)(Bytes, std::unique_ptr<Decoder>*);
  static const Factory kFactories[] = {CreateJpegDecoder, CreatePngDecoder, CreateGifDecoder,
                                       CreateTiffDecoder, CreateBmpDecoder, CreateIcoDecoder};
  for (Factory f : kFactories) {
    HResult hr = f(bytes, out);
    if (hr != kErrUnknownImageFormat) return hr;
  }
  return kErrUnknownImageFormat;
}

}  // namespace img
