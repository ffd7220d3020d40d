// TIFF decoding with libtiff, read from memory: every directory of the main
// IFD chain is a frame; pixels come through libtiff's RGBA interface (strips
// and tiles, every compression and photometric it decodes) in stored row
// order, since the caller applies the Orientation tag itself. Layouts that
// interface gets wrong or refuses are unpacked here from libtiff's decoded
// strips and tiles: CIE L*a*b* (converted to sRGB with lcms2), palettes with
// an alpha sample, gray and RGB of other bit depths, floating point, gray
// below 8 bits with alpha, and 16-bit CMYK.
#include <lcms2.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <new>
#include <vector>

#include "imaging/exif_internal.h"
#include "imaging/imaging.h"
#include "imaging/lcms_internal.h"
#include "imaging/tiff_internal.h"

namespace img {

// ---------------------------------------------------------------------------
// libtiff over a byte vector.

namespace {

using MemFile = TiffHandle::MemFile;

tmsize_t ReadProc(thandle_t h, void* buf, tmsize_t n) {
  auto* f = static_cast<MemFile*>(h);
  if (n <= 0 || f->pos >= f->size) return 0;
  std::uint64_t m = f->size - f->pos;
  if (static_cast<std::uint64_t>(n) < m) m = static_cast<std::uint64_t>(n);
  std::memcpy(buf, f->data + f->pos, static_cast<std::size_t>(m));
  f->pos += m;
  return static_cast<tmsize_t>(m);
}

tmsize_t WriteProc(thandle_t, void*, tmsize_t) { return -1; }

// The position a seek asks for, or false for an unknown origin or a result
// past 2^63 (libtiff passes relative moves as unsigned).
bool SeekTarget(std::uint64_t pos, std::uint64_t size, toff_t off, int whence, std::uint64_t* to) {
  std::uint64_t base = 0;
  if (whence == SEEK_CUR) {
    base = pos;
  } else if (whence == SEEK_END) {
    base = size;
  } else if (whence != SEEK_SET) {
    return false;
  }
  *to = base + off;
  return *to <= (UINT64_MAX >> 1);
}

toff_t SeekProc(thandle_t h, toff_t off, int whence) {
  auto* f = static_cast<MemFile*>(h);
  std::uint64_t to = 0;
  if (!SeekTarget(f->pos, f->size, off, whence, &to)) return static_cast<toff_t>(-1);
  f->pos = to;
  return to;
}

int CloseProc(thandle_t) { return 0; }
toff_t SizeProc(thandle_t h) { return static_cast<MemFile*>(h)->size; }

int MapProc(thandle_t h, void** base, toff_t* size) {
  auto* f = static_cast<MemFile*>(h);
  // libtiff only reads through the map.
  *base = const_cast<std::uint8_t*>(f->data);
  *size = f->size;
  return 1;
}

int NoMapProc(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc(thandle_t, void*, toff_t) {}

int QuietHandler(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// The per-handle handlers above silence every message a handle reports;
// the process-wide ones (messages without a handle) are switched off once.
void SilenceLibtiff() {
  static const bool done = [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    return true;
  }();
  (void)done;
}

struct OpenOptions {
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  OpenOptions() {
    if (!opts) return;
    TIFFOpenOptionsSetErrorHandlerExtR(opts, QuietHandler, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, QuietHandler, nullptr);
    // No single allocation of libtiff's beyond what the largest picture we
    // accept could need (16-bit RGBA), plus room for its tables.
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(kMaxPixels * 8 + (64u << 20)));
  }
  ~OpenOptions() {
    if (opts) TIFFOpenOptionsFree(opts);
  }
  OpenOptions(const OpenOptions&) = delete;
  OpenOptions& operator=(const OpenOptions&) = delete;
};

// The write sink: a growable vector that libtiff may also read back and seek
// past its end (the gap reads as zeros).
using Buffer = TiffSink::Buffer;

tmsize_t SinkRead(thandle_t h, void* buf, tmsize_t n) {
  auto* b = static_cast<Buffer*>(h);
  if (n <= 0 || b->pos >= b->data.size()) return 0;
  std::uint64_t m = b->data.size() - b->pos;
  if (static_cast<std::uint64_t>(n) < m) m = static_cast<std::uint64_t>(n);
  std::memcpy(buf, b->data.data() + b->pos, static_cast<std::size_t>(m));
  b->pos += m;
  return static_cast<tmsize_t>(m);
}

tmsize_t SinkWrite(thandle_t h, void* buf, tmsize_t n) {
  auto* b = static_cast<Buffer*>(h);
  if (n < 0) return -1;
  const auto count = static_cast<std::uint64_t>(n);
  // A file of ours never grows past what a classic or big TIFF of the
  // largest picture could be; anything else is a runaway write.
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 36;
  if (b->pos > kLimit || count > kLimit - b->pos) {
    b->failed = true;
    return -1;
  }
  try {
    if (b->pos + count > b->data.size()) b->data.resize(static_cast<std::size_t>(b->pos + count));
  } catch (const std::bad_alloc&) {
    b->failed = true;
    return -1;
  }
  if (count) std::memcpy(b->data.data() + b->pos, buf, static_cast<std::size_t>(count));
  b->pos += count;
  return n;
}

toff_t SinkSeek(thandle_t h, toff_t off, int whence) {
  auto* b = static_cast<Buffer*>(h);
  std::uint64_t to = 0;
  if (!SeekTarget(b->pos, b->data.size(), off, whence, &to)) return static_cast<toff_t>(-1);
  b->pos = to;
  return to;
}

toff_t SinkSize(thandle_t h) { return static_cast<Buffer*>(h)->data.size(); }

}  // namespace

TiffHandle::TiffHandle(const Bytes& bytes)
    : bytes_(bytes), file_{bytes->data(), bytes->size(), 0} {}

TiffHandle::~TiffHandle() {
  if (tif_) TIFFClose(tif_);
}

std::unique_ptr<TiffHandle> TiffHandle::Open(const Bytes& bytes) {
  if (!bytes) return nullptr;
  SilenceLibtiff();
  std::unique_ptr<TiffHandle> h(new (std::nothrow) TiffHandle(bytes));
  if (!h) return nullptr;
  OpenOptions o;
  if (!o.opts) return nullptr;
  // "h": the header only; the directory wanted is read next.
  h->tif_ = TIFFClientOpenExt("memory", "rh", &h->file_, ReadProc, WriteProc, SeekProc, CloseProc,
                              SizeProc, MapProc, UnmapProc, o.opts);
  if (!h->tif_) return nullptr;
  return h;
}

TiffSink::~TiffSink() {
  if (tif_) TIFFClose(tif_);
}

std::unique_ptr<TiffSink> TiffSink::Open(bool bigEndian, bool bigTiff) {
  SilenceLibtiff();
  std::unique_ptr<TiffSink> s(new (std::nothrow) TiffSink());
  if (!s) return nullptr;
  OpenOptions o;
  if (!o.opts) return nullptr;
  const char mode[4] = {'w', bigEndian ? 'b' : 'l', bigTiff ? '8' : '\0', '\0'};
  s->tif_ = TIFFClientOpenExt("memory", mode, &s->buffer_, SinkRead, SinkWrite, SinkSeek, CloseProc,
                              SinkSize, NoMapProc, UnmapProc, o.opts);
  if (!s->tif_) return nullptr;
  return s;
}

bool TiffSink::Finish(std::vector<std::uint8_t>* out) {
  if (!tif_) return false;
  // TIFFClose writes the current directory; a failed flush shows as a
  // refused write.
  const int flushed = TIFFFlush(tif_);
  TIFFClose(tif_);
  tif_ = nullptr;
  if (!flushed || buffer_.failed) return false;
  *out = std::move(buffer_.data);
  return true;
}

namespace {

// ---------------------------------------------------------------------------
// What a directory holds.

enum class Alpha { None, Associated, Unassociated };

// Directories read by our own unpacking instead of libtiff's RGBA interface.
enum class Own { No, Lab, Palette, GrayRgb };

struct Info {
  std::uint32_t width = 0, height = 0;
  std::uint16_t bps = 1, spp = 1, photometric = PHOTOMETRIC_MINISWHITE;
  std::uint16_t planar = PLANARCONFIG_CONTIG, sampleFormat = SAMPLEFORMAT_UINT;
  std::uint16_t extraSamples = 0, inkSet = INKSET_CMYK;
  Alpha alpha = Alpha::None;
  PixelFormat native = PixelFormat::Unknown;
  Own own = Own::No;
};

// Alpha as libtiff's RGBA interface sees it: an unspecified extra sample
// with more than three samples is associated. (Samples beyond the colour
// channels without an ExtraSamples tag are made unspecified extra samples
// when libtiff reads the directory.)
Alpha AlphaOf(std::uint16_t spp, std::uint16_t extras, const std::uint16_t* info) {
  if (extras < 1 || !info) return Alpha::None;
  switch (info[0]) {
    case EXTRASAMPLE_UNSPECIFIED:
      return spp > 3 ? Alpha::Associated : Alpha::None;
    case EXTRASAMPLE_ASSOCALPHA:
      return Alpha::Associated;
    case EXTRASAMPLE_UNASSALPHA:
      return Alpha::Unassociated;
    default:
      return Alpha::None;
  }
}

PixelFormat NativeOf(const Info& i) {
  const bool wide = i.bps == 16;
  const bool assoc = i.alpha == Alpha::Associated;
  switch (i.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
      if (i.sampleFormat == SAMPLEFORMAT_IEEEFP) {
        return i.bps == 32 && i.spp == 1 ? PixelFormat::Gray32Float : PixelFormat::Unknown;
      }
      if (i.alpha != Alpha::None) {
        if (wide) return assoc ? PixelFormat::Prgba64 : PixelFormat::Rgba64;
        return assoc ? PixelFormat::Pbgra32 : PixelFormat::Bgra32;
      }
      return GrayFormat(i.bps);
    case PHOTOMETRIC_PALETTE:
      if (i.alpha != Alpha::None) return assoc ? PixelFormat::Pbgra32 : PixelFormat::Bgra32;
      return IndexedFormat(i.bps);
    case PHOTOMETRIC_RGB:
    case PHOTOMETRIC_YCBCR:
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB:
      if (i.sampleFormat == SAMPLEFORMAT_IEEEFP || (i.bps != 8 && i.bps != 16)) {
        return PixelFormat::Unknown;
      }
      if (i.alpha != Alpha::None) {
        if (wide) return assoc ? PixelFormat::Prgba64 : PixelFormat::Rgba64;
        return assoc ? PixelFormat::Pbgra32 : PixelFormat::Bgra32;
      }
      return wide ? PixelFormat::Rgb48 : PixelFormat::Bgr24;
    case PHOTOMETRIC_SEPARATED:
      if (i.inkSet != INKSET_CMYK || i.spp < 4 || i.sampleFormat == SAMPLEFORMAT_IEEEFP) {
        return PixelFormat::Unknown;
      }
      return i.bps == 8 ? PixelFormat::Cmyk32 : wide ? PixelFormat::Cmyk64 : PixelFormat::Unknown;
    default:
      return PixelFormat::Unknown;
  }
}

// Colour samples a pixel has before its extra samples.
unsigned ColourSamples(std::uint16_t photometric) {
  switch (photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_PALETTE:
      return 1;
    default:
      return 3;
  }
}

// Which directories are unpacked here. libtiff's RGBA interface converts
// L*a*b* with its own display model (white comes out 255,252,222), drops
// a palette's alpha (and misreads palettes of several samples below 8
// bits), reads only 1 to 16-bit integer samples and misreads gray with alpha
// below 8 bits.
Own OwnOf(const Info& i) {
  const bool uint = i.sampleFormat == SAMPLEFORMAT_UINT || i.sampleFormat == SAMPLEFORMAT_VOID;
  // Every sample used (colour, then alpha) must be one the pixel has.
  const unsigned used = ColourSamples(i.photometric) + (i.alpha != Alpha::None ? 1 : 0);
  if (i.bps == 0 || i.spp < used || i.spp > 8) return Own::No;
  switch (i.photometric) {
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
      return uint && (i.bps == 8 || i.bps == 16) ? Own::Lab : Own::No;
    case PHOTOMETRIC_PALETTE:
      // with extra samples (alpha or not), which the interface misreads
      return uint && i.spp >= 2 &&
                     (i.bps == 1 || i.bps == 2 || i.bps == 4 || i.bps == 8 || i.bps == 16)
                 ? Own::Palette
                 : Own::No;
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_RGB:
      if (i.sampleFormat == SAMPLEFORMAT_IEEEFP) {
        return i.bps == 32 || i.bps == 64 ? Own::GrayRgb : Own::No;
      }
      if (!uint) return Own::No;
      if (i.bps == 32 || (i.bps > 8 && i.bps < 16)) return Own::GrayRgb;
      if (i.bps < 8 && i.alpha != Alpha::None && i.photometric != PHOTOMETRIC_RGB) {
        return Own::GrayRgb;
      }
      return Own::No;
    default:
      return Own::No;
  }
}

bool ReadInfo(TIFF* tif, Info* out) {
  Info i;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &i.width) ||
      !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &i.height)) {
    return false;
  }
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &i.bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &i.spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &i.planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &i.sampleFormat);
  TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &i.inkSet);
  std::uint16_t* extraInfo = nullptr;
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &i.extraSamples, &extraInfo);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &i.photometric)) {
    // As libtiff's RGBA interface guesses it.
    const int colour = i.spp - i.extraSamples;
    i.photometric = colour == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  }
  i.alpha = AlphaOf(i.spp, i.extraSamples, extraInfo);
  i.native = NativeOf(i);
  i.own = OwnOf(i);
  *out = i;
  return true;
}

// Whether a file of `size` bytes can hold the samples the directory
// declares, by the most a compression can shrink them; the ratios are those
// of the codecs' best case, rounded up generously, so no real file falls
// below them. A directory over the bound is refused before any pixel memory
// is taken.
bool SizeCanHold(TIFF* tif, const Info& i, std::uint64_t size) {
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  const std::uint64_t rowBytes = (std::uint64_t{i.width} * std::max<std::uint16_t>(i.spp, 1) *
                                      std::max<std::uint16_t>(i.bps, 1) +
                                  7) /
                                 8;
  const std::uint64_t raw = rowBytes * i.height;
  std::uint64_t needed;  // bytes the samples take at the least
  switch (compression) {
    case COMPRESSION_NONE:
      needed = raw;
      break;
    case COMPRESSION_PACKBITS:  // 128 bytes from two
      needed = raw / 64;
      break;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:  // 258 bytes from two bits
      needed = raw / 1032;
      break;
    case COMPRESSION_LZW:  // a 9 to 12-bit code for fewer than 4,096 bytes
      needed = raw / 4096;
      break;
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTRLEW:
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4:  // a row like the one above is a single bit
      needed = i.height / 64;
      break;
    default:  // JPEG and the rest: a block or run of many samples in a bit or so
      needed = raw / 65536;
      break;
  }
  constexpr std::uint64_t kSlack = 4096;
  return needed <= size + kSlack;
}

bool IsCmyk(const Info& i) {
  return i.native == PixelFormat::Cmyk32 || i.native == PixelFormat::Cmyk64;
}

// ---------------------------------------------------------------------------
// Pixels.

// Straight BGRA from premultiplied.
void Unpremultiply(std::uint8_t* p) {
  const unsigned a = p[3];
  if (a == 255) return;
  if (a == 0) {
    p[0] = p[1] = p[2] = 0;
    return;
  }
  for (int c = 0; c < 3; ++c) {
    const unsigned v = (p[c] * 255u + a / 2) / a;
    p[c] = static_cast<std::uint8_t>(v > 255 ? 255 : v);
  }
}

// Walks the decoded strips or tiles of planes [0, planes) a band of rows at
// a time: for each band (rows y0 to y0 + rows - 1), every plane's chunks
// across the picture go to chunk(plane, x0, y0, cols, rows, data, rowBytes),
// then band(y0, rows) is called. Rows of a chunk are `rowBytes` apart,
// samples packed as stored (byte-swapped to the machine's order by libtiff
// for 16, 32 and 64 bits).
template <typename Chunk, typename Band>
HResult ForEachChunk(TIFF* tif, const Info& info, unsigned planes, Chunk&& chunk, Band&& band) {
  const std::uint32_t w = info.width, h = info.height;
  const bool separate = info.planar == PLANARCONFIG_SEPARATE;
  const std::uint64_t bitsPerPixel = static_cast<std::uint64_t>(separate ? 1 : info.spp) * info.bps;
  const bool tiled = TIFFIsTiled(tif) != 0;

  std::uint32_t cw = w, ch = 0;  // chunk (strip or tile) size in pixels
  tmsize_t chunkBytes = 0;
  if (tiled) {
    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &cw) || !TIFFGetField(tif, TIFFTAG_TILELENGTH, &ch))
      return kErrBadImage;
    chunkBytes = TIFFTileSize(tif);
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &ch);
    if (ch > h) ch = h;
    chunkBytes = TIFFStripSize(tif);
  }
  if (cw == 0 || ch == 0 || chunkBytes <= 0) return kErrBadImage;
  const std::uint64_t rowBytes = (static_cast<std::uint64_t>(cw) * bitsPerPixel + 7) / 8;
  if (rowBytes * ch > static_cast<std::uint64_t>(chunkBytes)) return kErrBadImage;
  // A tile may overhang the picture, but not be larger than both the whole
  // plane and 16 MB: such a file only asks for memory.
  const std::uint64_t plane = (static_cast<std::uint64_t>(w) * bitsPerPixel + 7) / 8 * h;
  if (static_cast<std::uint64_t>(chunkBytes) > std::max<std::uint64_t>(plane, 16u << 20))
    return kErrBadImage;
  std::unique_ptr<std::uint8_t[]> data(new (std::nothrow)
                                           std::uint8_t[static_cast<std::size_t>(chunkBytes)]);
  if (!data) return kOutOfMemory;

  for (std::uint32_t y0 = 0; y0 < h; y0 += ch) {
    const std::uint32_t rows = h - y0 < ch ? h - y0 : ch;
    for (unsigned p = 0; p < planes; ++p) {
      for (std::uint32_t x0 = 0; x0 < w; x0 += cw) {
        // A decode no longer wanted stops at the next strip or tile.
        if (CancelRequested()) return kAborted;
        const std::uint32_t cols = w - x0 < cw ? w - x0 : cw;
        tmsize_t got;
        std::uint64_t need;
        if (tiled) {
          need = rowBytes * ch;
          got = TIFFReadEncodedTile(tif, TIFFComputeTile(tif, x0, y0, 0, static_cast<uint16_t>(p)),
                                    data.get(), chunkBytes);
        } else {
          need = rowBytes * rows;
          got = TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, y0, static_cast<uint16_t>(p)),
                                     data.get(), static_cast<tmsize_t>(need));
        }
        if (got < 0 || static_cast<std::uint64_t>(got) < need) return kErrBadImage;
        chunk(p, x0, y0, cols, rows, static_cast<const std::uint8_t*>(data.get()),
              static_cast<std::size_t>(rowBytes));
      }
    }
    if (HResult hr = band(y0, rows); Failed(hr)) return hr;
  }
  return kOk;
}

// Reads the first four samples of every pixel of a separated (CMYK) image,
// 8 or 16 bits, contiguous or planar, strips or tiles, into 4-byte pixels
// (16-bit samples keep their high byte).
HResult ReadCmyk(TIFF* tif, const Info& info, std::uint8_t* out, std::size_t stride) {
  const std::size_t bytesPer = info.bps / 8;
  const bool separate = info.planar == PLANARCONFIG_SEPARATE;
  const std::size_t perPixel = separate ? 1 : info.spp;
  auto chunk = [&](unsigned plane, std::uint32_t x0, std::uint32_t y0, std::uint32_t cols,
                   std::uint32_t rows, const std::uint8_t* data, std::size_t rowBytes) {
    for (std::uint32_t r = 0; r < rows; ++r) {
      const std::uint8_t* s = data + r * rowBytes;
      std::uint8_t* d = out + (y0 + r) * stride + static_cast<std::size_t>(x0) * 4;
      for (std::uint32_t c = 0; c < cols; ++c, d += 4) {
        for (unsigned k = 0; k < (separate ? 1u : 4u); ++k) {
          const std::uint8_t* p = s + (c * perPixel + k) * bytesPer;
          std::uint8_t v = p[0];
          if (bytesPer == 2) {
            std::uint16_t x;
            std::memcpy(&x, p, 2);  // libtiff gives native byte order
            v = static_cast<std::uint8_t>(x >> 8);
          }
          d[separate ? plane : k] = v;
        }
      }
    }
  };
  return ForEachChunk(tif, info, separate ? 4 : 1, chunk,
                      [](std::uint32_t, std::uint32_t) { return kOk; });
}

// ---------------------------------------------------------------------------
// Our own unpacking (see OwnOf).

// Sample `k` of a row of `rowBytes` bytes. Integers come back raw; 1 to 16
// bits other than 8 are packed from the most significant bit.
std::uint32_t RawSample(const std::uint8_t* row, std::size_t rowBytes, std::size_t k,
                        unsigned bps) {
  switch (bps) {
    case 8:
      return row[k];
    case 16: {
      std::uint16_t v;
      std::memcpy(&v, row + k * 2, 2);
      return v;
    }
    case 32: {
      std::uint32_t v;
      std::memcpy(&v, row + k * 4, 4);
      return v;
    }
    default: {
      const std::size_t bit = k * bps;
      std::uint32_t acc = 0;
      const std::size_t first = bit / 8, last = (bit + bps - 1) / 8;  // last < rowBytes
      for (std::size_t b = first; b <= last && b < rowBytes; ++b) acc = (acc << 8) | row[b];
      const unsigned drop = static_cast<unsigned>((last + 1) * 8 - (bit + bps));
      return (acc >> drop) & ((1u << bps) - 1);
    }
  }
}

// Sample `k` as a level from 0 to 65535: integers scaled from their range,
// floating point mapped from 0..1 and clamped (NaN is 0).
std::uint16_t LevelSample(const std::uint8_t* row, std::size_t rowBytes, std::size_t k,
                          const Info& info) {
  if (info.sampleFormat == SAMPLEFORMAT_IEEEFP) {
    double v;
    if (info.bps == 64) {
      std::memcpy(&v, row + k * 8, 8);
    } else {
      float f;
      std::memcpy(&f, row + k * 4, 4);
      v = f;
    }
    if (!(v > 0)) return 0;  // NaN included
    if (v >= 1) return 65535;
    return static_cast<std::uint16_t>(std::lround(v * 65535.0));
  }
  const std::uint64_t raw = RawSample(row, rowBytes, k, info.bps);
  if (info.bps == 16) return static_cast<std::uint16_t>(raw);
  const std::uint64_t max = info.bps == 32 ? 0xFFFFFFFFull : (1ull << info.bps) - 1;
  return static_cast<std::uint16_t>((raw * 65535 + max / 2) / max);
}

std::uint32_t To8(std::uint32_t level) { return (level * 255 + 32767) / 65535; }

// libtiff's rule: a colour map whose entries all fit in 8 bits is taken as
// 8-bit (some writers store it so), otherwise the high bytes count.
bool ColourMapIs8Bit(const std::uint16_t* r, const std::uint16_t* g, const std::uint16_t* b,
                     std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (r[i] > 255 || g[i] > 255 || b[i] > 255) return false;
  }
  return true;
}

// Unpacks an Own layout into `raster` (width × height packed ABGR, rows as
// stored). Sample values of a band of rows are gathered first (planar files
// hand them over a plane at a time), then turned into pixels: for each pixel
// its colour samples and, when there is alpha, the first extra sample.
HResult ReadOwn(TIFF* tif, const Info& info, std::uint32_t* raster) {
  const std::size_t w = info.width;
  const unsigned colour = ColourSamples(info.photometric);
  const unsigned used = colour + (info.alpha != Alpha::None ? 1 : 0);
  const bool separate = info.planar == PLANARCONFIG_SEPARATE;
  const std::size_t perPixel = separate ? 1 : info.spp;
  // Palette indices and L*a*b* components stay raw; the rest become levels.
  auto raw = [&](unsigned k) {
    return (info.own == Own::Palette && k == 0) || (info.own == Own::Lab && k < 3);
  };

  const std::uint16_t *mapR = nullptr, *mapG = nullptr, *mapB = nullptr;
  bool map8 = false;
  if (info.own == Own::Palette) {
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &mapR, &mapG, &mapB) || !mapR || !mapG || !mapB)
      return kErrBadImage;
    // libtiff holds 2^bps entries for each.
    map8 = ColourMapIs8Bit(mapR, mapG, mapB, std::size_t{1} << info.bps);
  }
  TransformHandle lab;
  std::vector<float> labRow;
  std::vector<std::uint8_t> bgrRow;
  if (info.own == Own::Lab) {
    lab = CreateLabToSrgb();
    if (!lab.get()) return kFail;
    try {
      labRow.resize(w * 3);
      bgrRow.resize(w * 3);
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
  }

  std::uint32_t ch = 0;
  if (TIFFIsTiled(tif)) {
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &ch);
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &ch);
  }
  ch = std::min(std::max(ch, 1u), info.height);
  std::vector<std::uint16_t> band;
  try {
    band.assign(w * ch * used, 0);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }

  auto chunk = [&](unsigned plane, std::uint32_t x0, std::uint32_t, std::uint32_t cols,
                   std::uint32_t rows, const std::uint8_t* data, std::size_t rowBytes) {
    if (separate && plane >= used) return;
    for (std::uint32_t r = 0; r < rows; ++r) {
      const std::uint8_t* s = data + r * rowBytes;
      std::uint16_t* d = band.data() + (r * w + x0) * used;
      for (std::uint32_t c = 0; c < cols; ++c, d += used) {
        for (unsigned k = separate ? plane : 0; k < (separate ? plane + 1 : used); ++k) {
          const std::size_t at = c * perPixel + (separate ? 0 : k);
          d[k] = raw(k) ? static_cast<std::uint16_t>(RawSample(s, rowBytes, at, info.bps))
                        : LevelSample(s, rowBytes, at, info);
        }
      }
    }
  };

  auto toPixels = [&](std::uint32_t y0, std::uint32_t rows) -> HResult {
    for (std::uint32_t r = 0; r < rows; ++r) {
      const std::uint16_t* s = band.data() + r * w * used;
      std::uint32_t* out = raster + (y0 + r) * w;
      if (info.own == Own::Lab) {
        const bool wide = info.bps == 16;
        const bool cie = info.photometric == PHOTOMETRIC_CIELAB;
        for (std::size_t x = 0; x < w; ++x) {
          const std::uint16_t* p = s + x * used;
          float* l = labRow.data() + x * 3;
          // CIELab: a* and b* signed; ICCLab: offset by 128 (by 32768 in 16
          // bits, where L* 100 is 65280).
          l[0] = wide ? p[0] * 100.0f / (cie ? 65535.0f : 65280.0f) : p[0] * 100.0f / 255.0f;
          for (int c = 1; c < 3; ++c) {
            l[c] = wide ? (cie ? static_cast<std::int16_t>(p[c]) : p[c] - 32768) / 256.0f
                        : static_cast<float>(cie ? static_cast<std::int8_t>(p[c]) : p[c] - 128);
          }
        }
        cmsDoTransform(lab.get(), labRow.data(), bgrRow.data(), static_cast<cmsUInt32Number>(w));
      }
      for (std::size_t x = 0; x < w; ++x) {
        const std::uint16_t* p = s + x * used;
        std::uint32_t red, green, blue;
        switch (info.own) {
          case Own::Lab:
            blue = bgrRow[x * 3], green = bgrRow[x * 3 + 1], red = bgrRow[x * 3 + 2];
            break;
          case Own::Palette:
            red = map8 ? mapR[p[0]] : mapR[p[0]] >> 8;
            green = map8 ? mapG[p[0]] : mapG[p[0]] >> 8;
            blue = map8 ? mapB[p[0]] : mapB[p[0]] >> 8;
            break;
          default:
            if (colour == 1) {
              red = green = blue =
                  info.photometric == PHOTOMETRIC_MINISWHITE ? 255 - To8(p[0]) : To8(p[0]);
            } else {
              red = To8(p[0]), green = To8(p[1]), blue = To8(p[2]);
            }
            break;
        }
        const std::uint32_t alpha = used > colour ? To8(p[colour]) : 255;
        out[x] = red | (green << 8) | (blue << 16) | (alpha << 24);
      }
    }
    return kOk;
  };
  return ForEachChunk(tif, info, separate ? used : 1, chunk, toPixels);
}

class TiffFrame : public Frame {
 public:
  TiffFrame(std::unique_ptr<TiffHandle> handle, Info info,
            std::shared_ptr<const MetadataReader> meta, std::vector<ColorContext> contexts)
      : handle_(std::move(handle)),
        info_(info),
        meta_(std::move(meta)),
        contexts_(std::move(contexts)) {}

  std::uint32_t Width() const override { return info_.width; }
  std::uint32_t Height() const override { return info_.height; }
  PixelFormat NativeFormat() const override { return info_.native; }
  std::vector<ColorContext> ColorContexts() const override { return contexts_; }
  std::shared_ptr<const MetadataReader> Metadata() const override { return meta_; }

  HResult CopyPixels(PixelFormat format, std::uint8_t* buffer, std::size_t stride,
                     std::size_t size) override {
    if (format != PixelFormat::Bgra32 && format != PixelFormat::Pbgra32 &&
        format != PixelFormat::Bgr32 && format != PixelFormat::Bgr24) {
      return kInvalidArg;
    }
    const std::size_t w = info_.width, h = info_.height;
    const std::size_t outBpp = format == PixelFormat::Bgr24 ? 3 : 4;
    HResult hr = CheckCopyArgs(info_.height, w * outBpp, buffer, stride, size);
    if (Failed(hr)) return hr;

    // The RGBA raster (one uint32 a pixel, rows of w): the caller's buffer
    // itself when its rows are exactly that, else a scratch copy.
    const bool inPlace = outBpp == 4 && stride == w * 4 &&
                         reinterpret_cast<std::uintptr_t>(buffer) % alignof(std::uint32_t) == 0;
    std::unique_ptr<std::uint32_t[]> scratch;
    std::uint32_t* raster = nullptr;
    if (inPlace) {
      raster = reinterpret_cast<std::uint32_t*>(buffer);
    } else {
      scratch.reset(new (std::nothrow) std::uint32_t[w * h]);
      if (!scratch) return kOutOfMemory;
      raster = scratch.get();
    }

    bool premultiplied = false;
    if (info_.native == PixelFormat::Cmyk64) {
      // Beyond libtiff's RGBA interface: its own simple conversion, by hand.
      hr = ReadCmyk(handle_->tif(), info_, reinterpret_cast<std::uint8_t*>(raster), w * 4);
      if (Failed(hr)) return hr;
      auto* p = reinterpret_cast<std::uint8_t*>(raster);
      for (std::size_t n = 0; n < w * h; ++n, p += 4) {
        const unsigned k = 255u - p[3];
        const std::uint32_t r = k * (255u - p[0]) / 255, g = k * (255u - p[1]) / 255,
                            b = k * (255u - p[2]) / 255;
        const std::uint32_t v = r | (g << 8) | (b << 16) | 0xFF000000u;
        std::memcpy(p, &v, 4);
      }
    } else if (info_.own != Own::No) {
      hr = ReadOwn(handle_->tif(), info_, raster);
      if (Failed(hr)) return hr;
      premultiplied = info_.alpha == Alpha::Associated;
    } else {
      hr = ReadRgba(raster, &premultiplied);
      if (Failed(hr)) return hr;
    }

    std::unique_ptr<std::uint8_t[]> row;
    if (!inPlace) {
      row.reset(new (std::nothrow) std::uint8_t[w * 4]);
      if (!row) return kOutOfMemory;
    }
    for (std::size_t y = 0; y < h; ++y) {
      const std::uint32_t* src = raster + y * w;
      std::uint8_t* dst = buffer + y * stride;
      std::uint8_t* bgra = inPlace ? dst : row.get();
      for (std::size_t x = 0; x < w; ++x) {
        const std::uint32_t v = src[x];  // read before the same bytes are written
        std::uint8_t* p = bgra + x * 4;
        p[0] = static_cast<std::uint8_t>(TIFFGetB(v));
        p[1] = static_cast<std::uint8_t>(TIFFGetG(v));
        p[2] = static_cast<std::uint8_t>(TIFFGetR(v));
        p[3] = static_cast<std::uint8_t>(TIFFGetA(v));
        if (premultiplied) {
          if (format == PixelFormat::Pbgra32) {
            // A colour above its alpha would break premultiplied arithmetic.
            for (int c = 0; c < 3; ++c) p[c] = p[c] > p[3] ? p[3] : p[c];
          } else {
            Unpremultiply(p);
          }
        }
      }
      if (premultiplied && format == PixelFormat::Pbgra32) {
        if (!inPlace) std::memcpy(dst, bgra, w * 4);
      } else {
        StoreBgraRow(bgra, info_.width, format, dst);
      }
    }
    return kOk;
  }

  HResult CopyCmyk(std::uint8_t* buffer, std::size_t stride, std::size_t size) override {
    if (!IsCmyk(info_)) return kNotImpl;
    HResult hr = CheckCopyArgs(info_.height, static_cast<std::size_t>(info_.width) * 4, buffer,
                               stride, size);
    if (Failed(hr)) return hr;
    return ReadCmyk(handle_->tif(), info_, buffer, stride);
  }

 private:
  // Decodes the directory through libtiff's RGBA interface into `raster`
  // (width × height packed ABGR, rows as stored, top first).
  // *premultiplied tells whether colour comes multiplied by alpha.
  HResult ReadRgba(std::uint32_t* raster, bool* premultiplied) {
    TIFF* tif = handle_->tif();
    *premultiplied = info_.alpha == Alpha::Associated;
    if (info_.alpha == Alpha::Unassociated) {
      // libtiff would premultiply unassociated alpha (and drop it for gray);
      // calling it associated makes it pass the samples through unchanged.
      std::uint16_t assoc = EXTRASAMPLE_ASSOCALPHA;
      std::uint16_t extras = info_.extraSamples;
      std::uint16_t* kinds = nullptr;
      std::vector<std::uint16_t> edited;
      TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extras, &kinds);
      if (extras >= 1 && kinds) {
        edited.assign(kinds, kinds + extras);
      } else {
        edited.assign(1, 0);
      }
      edited[0] = assoc;
      if (!TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, static_cast<std::uint16_t>(edited.size()),
                        edited.data())) {
        return kErrBadImage;
      }
    }
    char emsg[1024] = {};
    if (!TIFFRGBAImageOK(tif, emsg)) return kErrBadImage;
    TIFFRGBAImage rgba;
    std::memset(&rgba, 0, sizeof rgba);
    if (!TIFFRGBAImageBegin(&rgba, tif, 1, emsg)) return kErrBadImage;
    struct End {
      TIFFRGBAImage* r;
      ~End() { TIFFRGBAImageEnd(r); }
    } end{&rgba};
    if (rgba.width != info_.width || rgba.height != info_.height) return kErrBadImage;
    // Rows exactly as stored: libtiff flips when the file's orientation and
    // the requested one differ, so both are made top-left.
    rgba.req_orientation = ORIENTATION_TOPLEFT;
    rgba.orientation = ORIENTATION_TOPLEFT;
    // In bands of whole strips or tiles (each is decoded once), so that a
    // decode no longer wanted stops at the next band.
    std::uint32_t chunkRows = 0;
    if (TIFFIsTiled(tif)) {
      TIFFGetField(tif, TIFFTAG_TILELENGTH, &chunkRows);
    } else {
      TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &chunkRows);
    }
    std::uint32_t band = info_.height;
    if (chunkRows > 0 && chunkRows < info_.height) {
      band = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(info_.height, (63 / chunkRows + 1) * std::uint64_t{chunkRows}));
    }
    for (std::uint32_t y = 0; y < info_.height; y += band) {
      if (CancelRequested()) return kAborted;
      const std::uint32_t rows = std::min(band, info_.height - y);
      rgba.row_offset = static_cast<int>(y);
      rgba.col_offset = 0;
      if (!TIFFRGBAImageGet(&rgba, raster + static_cast<std::size_t>(y) * info_.width, info_.width,
                            rows)) {
        return kErrBadImage;
      }
    }
    return kOk;
  }

  std::unique_ptr<TiffHandle> handle_;
  Info info_;
  std::shared_ptr<const MetadataReader> meta_;
  std::vector<ColorContext> contexts_;
};

class TiffDecoder : public Decoder {
 public:
  TiffDecoder(Bytes bytes, std::vector<std::uint64_t> offsets)
      : bytes_(std::move(bytes)), offsets_(std::move(offsets)) {}

  Container GetContainerFormat() const override { return Container::Tiff; }
  std::uint32_t GetFrameCount() const override {
    return static_cast<std::uint32_t>(offsets_.size());
  }

  HResult GetFrame(std::uint32_t index, std::unique_ptr<Frame>* out) override {
    if (!out) return kPointer;
    out->reset();
    if (index >= offsets_.size()) return kInvalidArg;
    std::unique_ptr<TiffHandle> handle = TiffHandle::Open(bytes_);
    if (!handle) return kErrBadHeader;
    if (!TIFFSetSubDirectory(handle->tif(), offsets_[index])) return kErrBadImage;
    Info info;
    if (!ReadInfo(handle->tif(), &info)) return kErrBadImage;
    if (info.width == 0 || info.height == 0) return kErrBadImage;
    if (static_cast<std::uint64_t>(info.width) * info.height > kMaxPixels) return kOutOfMemory;
    if (!SizeCanHold(handle->tif(), info, bytes_->size())) return kErrImageSizeOutOfRange;

    std::shared_ptr<const MetadataReader> meta;
    if (auto ifd = ParseIfdAt(bytes_->data(), bytes_->size(), offsets_[index], true)) {
      meta = std::make_shared<MetadataReader>(
          "tiff", std::vector<MetaItem>{{"ifd", PropValue::Reader(std::move(ifd))}});
    }

    std::vector<ColorContext> contexts;
    std::uint32_t iccLen = 0;
    void* icc = nullptr;
    if (TIFFGetField(handle->tif(), TIFFTAG_ICCPROFILE, &iccLen, &icc) && icc && iccLen > 0) {
      ColorContext c;
      c.type = ColorContext::Type::Profile;
      const auto* p = static_cast<const std::uint8_t*>(icc);
      c.profile.assign(p, p + iccLen);
      contexts.push_back(std::move(c));
    }
    std::uint32_t space = 0;
    if (ReadUInt(meta.get(), "/ifd/exif/{ushort=40961}", &space)) {
      PropValue interop;
      const bool r03 =
          Succeeded(meta->GetMetadataByName("/ifd/exif/interop/{ushort=1}", &interop)) &&
          interop.vt == kVtLpstr && interop.bytes == "R03";
      const std::uint32_t chosen = space == 1                                 ? 1
                                   : (space == 2 || (space == 0xFFFF && r03)) ? 2
                                                                              : 0;
      if (chosen) {
        ColorContext c;
        c.type = ColorContext::Type::ExifColorSpace;
        c.exifColorSpace = chosen;
        contexts.push_back(std::move(c));
      }
    }
    *out =
        std::make_unique<TiffFrame>(std::move(handle), info, std::move(meta), std::move(contexts));
    return kOk;
  }

 private:
  Bytes bytes_;
  std::vector<std::uint64_t> offsets_;
};

}  // namespace

HResult CreateTiffDecoder(Bytes bytes, std::unique_ptr<Decoder>* out) {
  if (!out) return kPointer;
  out->reset();
  TiffHeader header;
  if (!bytes || !ReadTiffHeader(bytes->data(), bytes->size(), &header)) {
    // Four signature bytes with a short or odd rest are still TIFF's.
    if (bytes && bytes->size() >= 4) {
      const std::uint8_t* b = bytes->data();
      const bool ii = b[0] == 'I' && b[1] == 'I' && (b[2] == 42 || b[2] == 43) && b[3] == 0;
      const bool mm = b[0] == 'M' && b[1] == 'M' && b[2] == 0 && (b[3] == 42 || b[3] == 43);
      if (ii || mm) return kErrBadHeader;
    }
    return kErrUnknownImageFormat;
  }
  std::vector<std::uint64_t> offsets = TiffIfdChain(bytes->data(), bytes->size(), kMaxTiffFrames);
  if (offsets.empty()) return kErrBadHeader;
  *out = std::make_unique<TiffDecoder>(std::move(bytes), std::move(offsets));
  return kOk;
}

}  // namespace img
