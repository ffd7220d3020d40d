// PNG decoding with libpng: every colour type and bit depth, palettes with
// tRNS, 16-bit samples and Adam7 interlacing, read from memory.
#include <png.h>

#include <csetjmp>
#include <cstring>

#include "imaging/byte_reader.h"
#include "imaging/imaging.h"

namespace img {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

struct Header {
  std::uint32_t width = 0, height = 0;
  int depth = 0, colorType = 0, interlace = 0;
};

// IHDR must be the first chunk; its fields are checked here so that a lying
// header is refused before libpng allocates anything.
bool ReadIhdr(const std::vector<std::uint8_t>& bytes, Header* h) {
  ByteReader r(bytes.data(), bytes.size());
  r.Skip(8);
  std::uint32_t len = r.U32BE();
  std::uint32_t type = r.U32BE();
  if (!r.ok() || len != 13 || type != 0x49484452u /* IHDR */) return false;
  h->width = r.U32BE();
  h->height = r.U32BE();
  h->depth = r.U8();
  h->colorType = r.U8();
  r.U8();  // compression
  r.U8();  // filter
  h->interlace = r.U8();
  return r.ok() && h->width > 0 && h->height > 0 && h->width <= 0x7FFFFFFF &&
         h->height <= 0x7FFFFFFF;
}

PixelFormat NativeOf(const Header& h) {
  switch (h.colorType) {
    case PNG_COLOR_TYPE_GRAY:
      return GrayFormat(static_cast<unsigned>(h.depth));
    case PNG_COLOR_TYPE_PALETTE:
      return IndexedFormat(static_cast<unsigned>(h.depth));
    case PNG_COLOR_TYPE_RGB:
      return h.depth == 16 ? PixelFormat::Rgb48 : PixelFormat::Bgr24;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return h.depth == 16 ? PixelFormat::Rgba64 : PixelFormat::Bgra32;
    default:
      return PixelFormat::Unknown;
  }
}

struct MemoryInput {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
  auto* in = static_cast<MemoryInput*>(png_get_io_ptr(png));
  if (n > in->size - in->pos) png_error(png, "truncated");
  std::memcpy(out, in->data + in->pos, n);
  in->pos += n;
}

void OnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void OnWarning(png_structp, png_const_charp) {}

// One libpng reader; destroyed on every path by its owner.
struct Reader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~Reader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

bool Create(Reader* r, MemoryInput* in) {
  r->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning);
  if (!r->png) return false;
  r->info = png_create_info_struct(r->png);
  if (!r->info) return false;
  png_set_read_fn(r->png, in, ReadFromMemory);
  // The picture limits are ours; ancillary chunks may not ask for more than
  // the file could hold uncompressed.
  png_set_user_limits(r->png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_set_chunk_malloc_max(r->png, 64u << 20);
  return true;
}

// Decodes into straight BGRA rows (4 bytes a pixel) at `stride`.
HResult DecodeBgra(const std::vector<std::uint8_t>& bytes, std::uint8_t* buffer, std::size_t stride,
                   std::uint32_t height) {
  MemoryInput in{bytes.data(), bytes.size(), 0};
  Reader r;
  if (!Create(&r, &in)) return kOutOfMemory;
  std::vector<png_bytep> rows;
  try {
    rows.resize(height);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  for (std::uint32_t y = 0; y < height; ++y) rows[y] = buffer + y * stride;
  if (setjmp(png_jmpbuf(r.png))) return kErrBadImage;
  png_read_info(r.png, r.info);
  int colorType = png_get_color_type(r.png, r.info);
  png_set_expand(r.png);  // palette to RGB, tRNS to alpha, low gray depths to 8
  png_set_scale_16(r.png);
  if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
    png_set_gray_to_rgb(r.png);
  }
  png_set_bgr(r.png);
  png_set_filler(r.png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(r.png);
  png_read_update_info(r.png, r.info);
  if (png_get_rowbytes(r.png, r.info) !=
          static_cast<png_size_t>(png_get_image_width(r.png, r.info)) * 4 ||
      png_get_image_height(r.png, r.info) != height) {
    return kErrBadImage;
  }
  png_read_image(r.png, rows.data());
  png_read_end(r.png, nullptr);
  return kOk;
}

bool ReadIcc(const std::vector<std::uint8_t>& bytes, std::vector<std::uint8_t>* profile) {
  MemoryInput in{bytes.data(), bytes.size(), 0};
  Reader r;
  if (!Create(&r, &in)) return false;
  if (setjmp(png_jmpbuf(r.png))) return false;
  png_read_info(r.png, r.info);
  png_charp name = nullptr;
  int compression = 0;
  png_bytep data = nullptr;
  png_uint_32 len = 0;
  if (!png_get_iCCP(r.png, r.info, &name, &compression, &data, &len) || !data || len == 0) {
    return false;
  }
  profile->assign(data, data + len);
  return true;
}

class PngFrame : public Frame {
 public:
  PngFrame(Bytes bytes, Header h) : bytes_(std::move(bytes)), h_(h) {}
  std::uint32_t Width() const override { return h_.width; }
  std::uint32_t Height() const override { return h_.height; }
  PixelFormat NativeFormat() const override { return NativeOf(h_); }

  std::vector<ColorContext> ColorContexts() const override {
    std::vector<ColorContext> out;
    ColorContext c;
    if (ReadIcc(*bytes_, &c.profile)) {
      c.type = ColorContext::Type::Profile;
      out.push_back(std::move(c));
    }
    return out;
  }

  HResult CopyPixels(PixelFormat format, std::uint8_t* buffer, std::size_t stride,
                     std::size_t size) override {
    const std::size_t w = h_.width;
    if (format == PixelFormat::Bgr24) {
      HResult hr = CheckCopyArgs(h_.height, w * 3, buffer, stride, size);
      if (Failed(hr)) return hr;
      std::vector<std::uint8_t> bgra;
      try {
        bgra.resize(w * 4 * h_.height);
      } catch (const std::bad_alloc&) {
        return kOutOfMemory;
      }
      hr = DecodeBgra(*bytes_, bgra.data(), w * 4, h_.height);
      if (Failed(hr)) return hr;
      for (std::uint32_t y = 0; y < h_.height; ++y) {
        StoreBgraRow(bgra.data() + y * w * 4, h_.width, format, buffer + y * stride);
      }
      return kOk;
    }
    if (format != PixelFormat::Bgra32 && format != PixelFormat::Pbgra32 &&
        format != PixelFormat::Bgr32) {
      return kInvalidArg;
    }
    HResult hr = CheckCopyArgs(h_.height, w * 4, buffer, stride, size);
    if (Failed(hr)) return hr;
    hr = DecodeBgra(*bytes_, buffer, stride, h_.height);
    if (Failed(hr) || format == PixelFormat::Bgra32) return hr;
    for (std::uint32_t y = 0; y < h_.height; ++y) {
      std::uint8_t* row = buffer + y * stride;
      StoreBgraRow(row, h_.width, format, row);
    }
    return kOk;
  }

 private:
  Bytes bytes_;
  Header h_;
};

class PngDecoder : public Decoder {
 public:
  PngDecoder(Bytes bytes, Header h) : bytes_(std::move(bytes)), h_(h) {}
  Container GetContainerFormat() const override { return Container::Png; }
  std::uint32_t GetFrameCount() const override { return 1; }
  HResult GetFrame(std::uint32_t index, std::unique_ptr<Frame>* out) override {
    if (!out) return kPointer;
    out->reset();
    if (index != 0) return kInvalidArg;
    *out = std::make_unique<PngFrame>(bytes_, h_);
    return kOk;
  }

 private:
  Bytes bytes_;
  Header h_;
};

}  // namespace

HResult CreatePngDecoder(Bytes bytes, std::unique_ptr<Decoder>* out) {
  if (!out) return kPointer;
  out->reset();
  if (!bytes || bytes->size() < 8 || std::memcmp(bytes->data(), kSignature, 8) != 0) {
    return kErrUnknownImageFormat;
  }
  Header h;
  if (!ReadIhdr(*bytes, &h)) return kErrBadHeader;
  if (static_cast<std::uint64_t>(h.width) * h.height > kMaxPixels) return kOutOfMemory;
  if (NativeOf(h) == PixelFormat::Unknown) return kErrBadHeader;
  *out = std::make_unique<PngDecoder>(std::move(bytes), h);
  return kOk;
}

}  // namespace img
