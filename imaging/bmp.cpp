// BMP decoding: core, OS/2 2.x (64 bytes and the 16-byte short form), info,
// V2/V3, V4 and V5 headers; 1/2/4/8-bit colour tables, 16-bit (555 and bit
// fields), 24-bit and 32-bit pixels (with alpha from an alpha mask or
// detected in BI_RGB files), RLE8 and RLE4 streams with deltas, bottom-up and
// top-down rows. The DIB reader here also serves the icon decoder
// (imaging/bmp_internal.h).
//
// Every size the file states is checked before use: uncompressed pixels must
// lie wholly inside the file when the decoder is created, and an RLE stream
// is walked once at creation to make sure it ends properly. Decoding
// allocates one row; the pixels go straight to the caller's buffer.
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "imaging/bmp_internal.h"
#include "imaging/byte_reader.h"
#include "imaging/imaging.h"

namespace img {
namespace dib {
namespace {

// OS/2 2.x headers: 64 bytes, or their 16-byte short form (the fields after
// the bit count taken as zero). The first 40 bytes read as an info header,
// but compression 3 and 4 mean Huffman 1D and RLE24 there, not bit fields.
bool IsOs2V2(std::uint32_t hs) { return hs == 16 || hs == 64; }

bool HeaderSizeKnown(std::uint32_t hs) {
  return hs == 12 || IsOs2V2(hs) || hs == 40 || hs == 52 || hs == 56 || hs == 108 || hs == 124;
}

bool CompressionFits(std::uint32_t bpp, std::uint32_t compression) {
  switch (bpp) {
    case 1:
    case 2:
    case 4:
    case 8:
      return compression == kBiRgb || (compression == kBiRle8 && bpp == 8) ||
             (compression == kBiRle4 && bpp == 4);
    case 16:
    case 32:
      return compression == kBiRgb || compression == kBiBitfields ||
             compression == kBiAlphaBitfields;
    case 24:
      return compression == kBiRgb;
    default:
      return false;
  }
}

void DefaultMasks(std::uint32_t bpp, std::uint32_t* masks) {
  if (bpp == 16) {
    masks[0] = 0x7C00;
    masks[1] = 0x03E0;
    masks[2] = 0x001F;
  } else if (bpp == 32) {
    masks[0] = 0x00FF0000;
    masks[1] = 0x0000FF00;
    masks[2] = 0x000000FF;
  }
}

// One colour channel of a bit-field pixel, scaled to 8 bits.
struct Channel {
  std::uint32_t mask = 0;
  std::uint32_t shift = 0;
  std::uint32_t bits = 0;  // width from the lowest to the highest set bit

  explicit Channel(std::uint32_t m) : mask(m) {
    if (m) {
      shift = static_cast<std::uint32_t>(std::countr_zero(m));
      bits = static_cast<std::uint32_t>(std::bit_width(m >> shift));
    }
  }
  std::uint8_t Get(std::uint32_t v) const {
    if (!mask) return 0;
    std::uint32_t x = (v & mask) >> shift;
    if (bits >= 8) return static_cast<std::uint8_t>(x >> (bits - 8));
    std::uint32_t max = (1u << bits) - 1;
    return static_cast<std::uint8_t>((x * 255 + max / 2) / max);
  }
};

}  // namespace

HResult ParseLayout(const std::uint8_t* data, std::size_t size, std::size_t headerOffset,
                    std::uint64_t bfOffBits, Kind kind, Layout* out) {
  Layout& L = *out;
  L = Layout{};
  ByteReader r(data, size);
  if (!r.Seek(headerOffset)) return kErrBadHeader;
  const std::uint32_t hs = r.U32LE();
  if (!r.ok() || !HeaderSizeKnown(hs) || !r.Has(hs - 4)) return kErrBadHeader;

  std::int64_t width = 0, height = 0;
  std::uint32_t bpp = 0, compression = kBiRgb, clrUsed = 0, entrySize = 4;
  if (hs == 12) {  // BITMAPCOREHEADER: unsigned 16-bit sizes, 3-byte colour entries
    width = r.U16LE();
    height = r.U16LE();
    r.U16LE();  // planes
    bpp = r.U16LE();
    entrySize = 3;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24) return kErrBadHeader;
  } else if (hs == 16) {
    width = static_cast<std::int32_t>(r.U32LE());
    height = static_cast<std::int32_t>(r.U32LE());
    r.U16LE();  // planes
    bpp = r.U16LE();
  } else {
    width = static_cast<std::int32_t>(r.U32LE());
    height = static_cast<std::int32_t>(r.U32LE());
    r.U16LE();  // planes
    bpp = r.U16LE();
    compression = r.U32LE();
    if (hs == 64 && compression != kBiRgb && compression != kBiRle8 && compression != kBiRle4) {
      return kErrBadHeader;  // Huffman 1D and RLE24 are not read
    }
    r.Skip(12);  // image size, resolution
    clrUsed = r.U32LE();
    r.U32LE();  // colours important
    if (hs >= 52 && !IsOs2V2(hs)) {
      for (int i = 0; i < 3; ++i) L.masks[i] = r.U32LE();
    }
    if (hs >= 56 && !IsOs2V2(hs)) L.masks[3] = r.U32LE();
  }
  if (!r.ok() || !r.Seek(headerOffset + static_cast<std::uint64_t>(hs))) return kErrBadHeader;

  L.topDown = height < 0;
  std::uint64_t rows = static_cast<std::uint64_t>(height < 0 ? -height : height);
  if (kind == Kind::Icon) rows /= 2;  // the header counts the AND mask's rows too
  if (width <= 0 || rows == 0) return kErrBadHeader;
  if (static_cast<std::uint64_t>(width) * rows > kMaxPixels) return kOutOfMemory;
  L.width = static_cast<std::uint32_t>(width);
  L.height = static_cast<std::uint32_t>(rows);
  L.bpp = bpp;
  L.compression = compression;
  if (!CompressionFits(bpp, compression)) return kErrBadHeader;
  if (kind == Kind::Icon && L.IsRle()) return kErrBadHeader;

  // Masks: after a 40-byte header they follow it; V2 and later headers hold
  // them. Without bit fields the defaults apply (32-bit: the fourth byte is an
  // alpha candidate).
  if (compression == kBiBitfields || compression == kBiAlphaBitfields) {
    if (hs == 40) {
      for (int i = 0; i < 3; ++i) L.masks[i] = r.U32LE();
      L.masks[3] = compression == kBiAlphaBitfields ? r.U32LE() : 0;
      if (!r.ok()) return kErrBadHeader;
    } else if (hs == 52) {
      L.masks[3] = 0;
    }
    if ((L.masks[0] | L.masks[1] | L.masks[2]) == 0) DefaultMasks(bpp, L.masks);
  } else {
    std::memset(L.masks, 0, sizeof L.masks);
    DefaultMasks(bpp, L.masks);
    if (bpp == 32) L.masks[3] = 0xFF000000u;
  }
  if (bpp == 16) {
    for (std::uint32_t& m : L.masks) m &= 0xFFFFu;
  }

  // Colour table, then the pixels: at bfOffBits when the file says where,
  // otherwise right after the table the header declares.
  const std::uint64_t tableStart = r.pos();
  std::uint64_t declared = clrUsed ? clrUsed : (bpp <= 8 ? (1u << bpp) : 0);
  std::uint64_t available = 0;
  if (bfOffBits) {
    if (bfOffBits < tableStart) return kErrBadHeader;
    L.pixelOffset = bfOffBits;
    available = (bfOffBits - tableStart) / entrySize;
  } else {
    L.pixelOffset = tableStart + declared * entrySize;
    available = declared;
  }
  if (L.pixelOffset > size) return kErrBadImage;
  for (int i = 0; i < 256; ++i) L.palette[4 * i + 3] = 255;
  if (bpp <= 8) {
    const std::uint64_t n = std::min({declared, available, std::uint64_t{1} << bpp});
    for (std::uint64_t i = 0; i < n; ++i) {
      L.palette[4 * i] = r.U8();
      L.palette[4 * i + 1] = r.U8();
      L.palette[4 * i + 2] = r.U8();
      if (entrySize == 4) r.U8();
    }
    if (!r.ok()) return kErrBadImage;
  }

  L.stride = (static_cast<std::uint64_t>(L.width) * bpp + 31) / 32 * 4;
  if (!L.IsRle()) {
    std::uint64_t need = L.stride * L.height;
    if (kind == Kind::Icon) {
      L.maskStride = (static_cast<std::uint64_t>(L.width) + 31) / 32 * 4;
      L.maskOffset = L.pixelOffset + need;
      need += L.maskStride * L.height;
    }
    if (need > size - L.pixelOffset) return kErrBadImage;
  }
  return kOk;
}

void ResolveAlpha(const std::uint8_t* data, Layout* layout) {
  Layout& L = *layout;
  L.alpha = false;
  if (L.masks[3] == 0 || L.IsRle() || (L.bpp != 16 && L.bpp != 32)) {
    L.masks[3] = 0;
    return;
  }
  for (std::uint32_t y = 0; y < L.height; ++y) {
    const std::uint8_t* p = data + L.pixelOffset + y * L.stride;
    for (std::uint32_t x = 0; x < L.width; ++x) {
      std::uint32_t v = L.bpp == 16 ? ByteReader::Le16(p + 2 * static_cast<std::size_t>(x))
                                    : ByteReader::Le32(p + 4 * static_cast<std::size_t>(x));
      if (v & L.masks[3]) {
        L.alpha = true;
        return;
      }
    }
  }
  L.masks[3] = 0;  // every alpha value zero: an opaque picture
}

PixelFormat NativeFormatOf(const Layout& L) {
  if (L.bpp <= 8) return IndexedFormat(L.bpp);
  switch (L.bpp) {
    case 16:
      if (L.alpha) return PixelFormat::Bgra32;
      return L.masks[0] == 0xF800 && L.masks[1] == 0x07E0 && L.masks[2] == 0x001F
                 ? PixelFormat::Bgr565
                 : PixelFormat::Bgr555;
    case 24:
      return PixelFormat::Bgr24;
    case 32:
      return L.alpha ? PixelFormat::Bgra32 : PixelFormat::Bgr32;
    default:
      return PixelFormat::Unknown;
  }
}

void DecodeRow(const std::uint8_t* data, const Layout& L, std::uint32_t y, std::uint8_t* o) {
  const std::uint64_t src = L.topDown ? y : L.height - 1 - static_cast<std::uint64_t>(y);
  const std::uint8_t* p = data + L.pixelOffset + src * L.stride;
  const std::uint32_t w = L.width;
  switch (L.bpp) {
    case 1:
    case 2:
    case 4:
    case 8: {
      const std::uint32_t perByte = 8 / L.bpp, valueMask = (1u << L.bpp) - 1;
      for (std::uint32_t x = 0; x < w; ++x, o += 4) {
        const std::uint32_t shift = 8 - L.bpp * (x % perByte + 1);
        const std::uint32_t index = (p[x / perByte] >> shift) & valueMask;
        std::memcpy(o, L.palette + 4 * index, 4);
      }
      return;
    }
    case 24:
      for (std::uint32_t x = 0; x < w; ++x, o += 4, p += 3) {
        o[0] = p[0];
        o[1] = p[1];
        o[2] = p[2];
        o[3] = 255;
      }
      return;
    case 32:
      if (L.masks[0] == 0x00FF0000u && L.masks[1] == 0x0000FF00u && L.masks[2] == 0x000000FFu &&
          (L.masks[3] == 0xFF000000u || L.masks[3] == 0)) {
        for (std::uint32_t x = 0; x < w; ++x, o += 4, p += 4) {
          o[0] = p[0];
          o[1] = p[1];
          o[2] = p[2];
          o[3] = L.alpha ? p[3] : 255;
        }
        return;
      }
      [[fallthrough]];
    case 16: {
      const Channel red(L.masks[0]), green(L.masks[1]), blue(L.masks[2]), alpha(L.masks[3]);
      const bool wide = L.bpp == 32;
      for (std::uint32_t x = 0; x < w; ++x, o += 4) {
        const std::uint32_t v = wide ? ByteReader::Le32(p + 4 * static_cast<std::size_t>(x))
                                     : ByteReader::Le16(p + 2 * static_cast<std::size_t>(x));
        o[0] = blue.Get(v);
        o[1] = green.Get(v);
        o[2] = red.Get(v);
        o[3] = L.alpha ? alpha.Get(v) : 255;
      }
      return;
    }
    default:
      std::memset(o, 0, static_cast<std::size_t>(w) * 4);
      return;
  }
}

std::size_t OutputBytesPerPixel(PixelFormat format) {
  switch (format) {
    case PixelFormat::Bgra32:
    case PixelFormat::Pbgra32:
    case PixelFormat::Bgr32:
      return 4;
    case PixelFormat::Bgr24:
      return 3;
    default:
      return 0;
  }
}

}  // namespace dib

namespace {

// Receives the rows an RLE stream produces, in stream order (row 0 is the
// bottom row of a bottom-up picture).
class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual void Row(std::uint32_t streamRow, const std::uint8_t* bgra) = 0;
};

// Walks an RLE8 or RLE4 stream. Without a sink it only checks that the stream
// reaches its end-of-bitmap escape or the last row before the bytes run out
// (cost bounded by the stream's length). With a sink it renders into `row`
// (width × 4 bytes, all zero on entry) and hands over every row of the
// picture exactly once; pixels the stream never sets stay transparent black.
// Runs past the row's end are clipped, and a delta or row change past the
// last row ends the picture.
HResult WalkRle(const std::uint8_t* data, std::size_t size, const dib::Layout& L, std::uint8_t* row,
                RowSink* sink) {
  ByteReader r(data, size);
  if (!r.Seek(L.pixelOffset)) return kErrBadImage;
  const bool rle8 = L.compression == dib::kBiRle8;
  const std::uint64_t w = L.width, h = L.height;
  const std::size_t rowBytes = static_cast<std::size_t>(w) * 4;
  std::uint64_t x = 0, y = 0;
  auto put = [&](std::uint32_t index) {
    if (x < w) std::memcpy(row + 4 * x, L.palette + 4 * index, 4);
    ++x;
  };
  auto nextRow = [&]() {
    if (sink) {
      sink->Row(static_cast<std::uint32_t>(y), row);
      std::memset(row, 0, rowBytes);
    }
    ++y;
    x = 0;
  };
  while (y < h) {
    if (!r.Has(2)) return kErrBadImage;
    const std::uint8_t n = r.U8(), c = r.U8();
    if (n) {  // encoded run: n pixels of one index (RLE4: two alternating)
      if (!sink || x >= w) {
        x += n;
        continue;
      }
      for (std::uint32_t i = 0; i < n; ++i) put(rle8 ? c : (i & 1 ? c & 15 : c >> 4));
      continue;
    }
    if (c == 0) {  // end of line
      nextRow();
    } else if (c == 1) {  // end of bitmap
      if (sink) {
        while (y < h) nextRow();
      }
      return kOk;
    } else if (c == 2) {  // delta: right dx, up dy
      if (!r.Has(2)) return kErrBadImage;
      const std::uint8_t dx = r.U8(), dy = r.U8();
      const std::uint64_t nx = x + dx;
      if (sink) {
        for (std::uint32_t k = 0; k < dy && y < h; ++k) nextRow();
      } else {
        y += dy;
      }
      x = nx;
    } else {  // absolute run of c indices, padded to 16 bits
      const std::uint32_t count = c;
      const std::uint32_t bytes = rle8 ? count : (count + 1) / 2;
      if (!r.Has(bytes)) return kErrBadImage;
      if (sink) {
        const std::uint8_t* p = r.here();
        for (std::uint32_t i = 0; i < count; ++i) {
          put(rle8 ? p[i] : (i & 1 ? p[i / 2] & 15 : p[i / 2] >> 4));
        }
      } else {
        x += count;
      }
      r.Skip(bytes);
      if ((bytes & 1) && r.left() > 0) r.Skip(1);
    }
  }
  return kOk;
}

class StoreSink : public RowSink {
 public:
  StoreSink(const dib::Layout& L, PixelFormat format, std::uint8_t* buffer, std::size_t stride)
      : L_(L), format_(format), buffer_(buffer), stride_(stride) {}
  void Row(std::uint32_t streamRow, const std::uint8_t* bgra) override {
    const std::size_t y = L_.topDown ? streamRow : L_.height - 1 - streamRow;
    StoreBgraRow(bgra, L_.width, format_, buffer_ + y * stride_);
  }

 private:
  const dib::Layout& L_;
  PixelFormat format_;
  std::uint8_t* buffer_;
  std::size_t stride_;
};

class BmpFrame : public Frame {
 public:
  BmpFrame(Bytes bytes, const dib::Layout& layout) : bytes_(std::move(bytes)), L_(layout) {}
  std::uint32_t Width() const override { return L_.width; }
  std::uint32_t Height() const override { return L_.height; }
  PixelFormat NativeFormat() const override { return dib::NativeFormatOf(L_); }

  HResult CopyPixels(PixelFormat format, std::uint8_t* buffer, std::size_t stride,
                     std::size_t size) override {
    const std::size_t bpp = dib::OutputBytesPerPixel(format);
    if (!bpp) return kInvalidArg;
    HResult hr =
        CheckCopyArgs(L_.height, static_cast<std::size_t>(L_.width) * bpp, buffer, stride, size);
    if (Failed(hr)) return hr;
    std::vector<std::uint8_t> row;
    try {
      row.assign(static_cast<std::size_t>(L_.width) * 4, 0);
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
    const std::uint8_t* data = bytes_->data();
    if (L_.IsRle()) {
      StoreSink sink(L_, format, buffer, stride);
      return WalkRle(data, bytes_->size(), L_, row.data(), &sink);
    }
    for (std::uint32_t y = 0; y < L_.height; ++y) {
      dib::DecodeRow(data, L_, y, row.data());
      StoreBgraRow(row.data(), L_.width, format, buffer + y * stride);
    }
    return kOk;
  }

 private:
  Bytes bytes_;
  dib::Layout L_;
};

class BmpDecoder : public Decoder {
 public:
  BmpDecoder(Bytes bytes, const dib::Layout& layout) : bytes_(std::move(bytes)), L_(layout) {}
  Container GetContainerFormat() const override { return Container::Bmp; }
  std::uint32_t GetFrameCount() const override { return 1; }
  HResult GetFrame(std::uint32_t index, std::unique_ptr<Frame>* out) override {
    if (!out) return kPointer;
    out->reset();
    if (index != 0) return kInvalidArg;
    try {
      *out = std::make_unique<BmpFrame>(bytes_, L_);
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
    return kOk;
  }

 private:
  Bytes bytes_;
  dib::Layout L_;
};

}  // namespace

HResult CreateBmpDecoder(Bytes bytes, std::unique_ptr<Decoder>* out) {
  if (!out) return kPointer;
  out->reset();
  if (!bytes || bytes->size() < 2 || (*bytes)[0] != 'B' || (*bytes)[1] != 'M') {
    return kErrUnknownImageFormat;
  }
  const std::uint8_t* data = bytes->data();
  const std::size_t size = bytes->size();
  ByteReader r(data, size);
  r.Skip(10);  // signature, file size, reserved
  const std::uint32_t offBits = r.U32LE();
  if (!r.ok()) return kErrBadHeader;
  dib::Layout L;
  HResult hr = dib::ParseLayout(data, size, 14, offBits, dib::Kind::Bmp, &L);
  if (Failed(hr)) return hr;
  if (L.IsRle()) {
    hr = WalkRle(data, size, L, nullptr, nullptr);
    if (Failed(hr)) return hr;
  } else {
    dib::ResolveAlpha(data, &L);
  }
  try {
    *out = std::make_unique<BmpDecoder>(std::move(bytes), L);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kOk;
}

}  // namespace img
