// Encoders for writing a picture: PNG (libpng), BMP (written here), TIFF
// (libtiff into memory) and GIF (giflib, with a palette built from the
// picture and error diffusion onto it). JPEG is in jpeg_encode.cpp.
#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstring>
#include <new>

#include "imaging/imaging.h"

namespace img {
namespace {

// The largest side any of the formats written here can describe is 65535
// (GIF); PNG, TIFF and BMP allow more, but libpng refuses sides above a
// million by default and no picture we hold comes near that.
constexpr std::uint32_t kMaxSide = 1000000;

bool SizeOk(std::uint32_t width, std::uint32_t height, std::uint32_t maxSide = kMaxSide) {
  return width != 0 && height != 0 && width <= maxSide && height <= maxSide &&
         static_cast<std::uint64_t>(width) * height <= kMaxPixels;
}

// Bytes a pixel of the formats the encoders take; 0 for any other.
std::size_t PixelBytes(PixelFormat f) {
  return f == PixelFormat::Bgr24 ? 3 : f == PixelFormat::Bgra32 ? 4 : 0;
}

bool ArgsOk(const std::uint8_t* pixels, PixelFormat format, std::uint32_t width,
            std::uint32_t height, std::size_t stride, const std::vector<std::uint8_t>* out,
            std::uint32_t maxSide = kMaxSide) {
  const std::size_t bpp = PixelBytes(format);
  return pixels && out && bpp != 0 && SizeOk(width, height, maxSide) &&
         stride >= static_cast<std::size_t>(width) * bpp;
}

// Appends a finished file; the caller's vector is unchanged when it fails.
HResult Append(const std::vector<std::uint8_t>& file, std::vector<std::uint8_t>* out) {
  try {
    out->insert(out->end(), file.begin(), file.end());
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kOk;
}

// ---------------------------------------------------------------------------
// PNG.

struct PngSink {
  std::vector<std::uint8_t> file;
  bool noMemory = false;
};

void PngWrite(png_structp png, png_bytep data, png_size_t n) {
  auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
  bool failed = false;
  try {
    sink->file.insert(sink->file.end(), data, data + n);
  } catch (const std::bad_alloc&) {
    failed = true;
  }
  // Leaves through libpng's longjmp only once nothing of ours is alive here.
  if (failed) {
    sink->noMemory = true;
    png_error(png, "out of memory");
  }
}

void PngFlush(png_structp) {}
[[noreturn]] void PngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWarning(png_structp, png_const_charp) {}

// One writer; released on every path.
struct PngWriter {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngWriter() {
    if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
  }
};

// The setjmp lives in this one function; everything it owns is in `w` and
// `sink`.
HResult PngCompress(PngWriter& w, PngSink& sink, const std::uint8_t* pixels, bool alpha,
                    std::uint32_t width, std::uint32_t height, std::size_t stride) {
  w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
  if (!w.png) return kOutOfMemory;
  w.info = png_create_info_struct(w.png);
  if (!w.info) return kOutOfMemory;
  if (setjmp(png_jmpbuf(w.png))) return sink.noMemory ? kOutOfMemory : kFail;
  png_set_write_fn(w.png, &sink, PngWrite, PngFlush);
  png_set_IHDR(w.png, w.info, width, height, 8,
               alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(w.png, w.info);
  png_set_bgr(w.png);
  for (std::uint32_t y = 0; y < height; ++y) {
    png_write_row(w.png, const_cast<png_bytep>(pixels + static_cast<std::size_t>(y) * stride));
  }
  png_write_end(w.png, nullptr);
  return kOk;
}

// ---------------------------------------------------------------------------
// TIFF.

struct TiffSink {
  std::vector<std::uint8_t> file;
  std::uint64_t pos = 0;
};

tmsize_t TiffRead(thandle_t h, void* buf, tmsize_t n) {
  auto* s = static_cast<TiffSink*>(h);
  if (n <= 0 || s->pos >= s->file.size()) return 0;
  const std::uint64_t m =
      std::min<std::uint64_t>(static_cast<std::uint64_t>(n), s->file.size() - s->pos);
  std::memcpy(buf, s->file.data() + s->pos, static_cast<std::size_t>(m));
  s->pos += m;
  return static_cast<tmsize_t>(m);
}

tmsize_t TiffWrite(thandle_t h, void* buf, tmsize_t n) {
  auto* s = static_cast<TiffSink*>(h);
  if (n < 0) return -1;
  const std::uint64_t count = static_cast<std::uint64_t>(n);
  // Files stay far below 2^40 bytes (kMaxPixels × 4 plus tables).
  if (s->pos > (std::uint64_t{1} << 40) || count > (std::uint64_t{1} << 40)) return -1;
  const std::uint64_t end = s->pos + count;
  try {
    if (end > s->file.size()) s->file.resize(static_cast<std::size_t>(end));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (count != 0) std::memcpy(s->file.data() + s->pos, buf, static_cast<std::size_t>(count));
  s->pos = end;
  return n;
}

toff_t TiffSeek(thandle_t h, toff_t off, int whence) {
  auto* s = static_cast<TiffSink*>(h);
  std::uint64_t base = 0;
  if (whence == SEEK_CUR) {
    base = s->pos;
  } else if (whence == SEEK_END) {
    base = s->file.size();
  } else if (whence != SEEK_SET) {
    return static_cast<toff_t>(-1);
  }
  // libtiff passes relative moves as unsigned; a result past 2^63 is refused.
  const std::uint64_t to = base + off;
  if (to > (UINT64_MAX >> 1)) return static_cast<toff_t>(-1);
  s->pos = to;
  return to;
}

int TiffClose(thandle_t) { return 0; }
toff_t TiffSize(thandle_t h) { return static_cast<TiffSink*>(h)->file.size(); }
int TiffMap(thandle_t, void**, toff_t*) { return 0; }
void TiffUnmap(thandle_t, void*, toff_t) {}
int TiffQuiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};

HResult TiffCompress(TiffSink& sink, const std::uint8_t* pixels, bool alpha, std::uint32_t width,
                     std::uint32_t height, std::size_t stride) {
  // Messages without a handle go nowhere (process-wide, as the decoder does).
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  if (!opts) return kOutOfMemory;
  TIFFOpenOptionsSetErrorHandlerExtR(opts, TiffQuiet, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, TiffQuiet, nullptr);
  std::unique_ptr<TIFF, TiffCloser> tif(TIFFClientOpenExt("memory", "w", &sink, TiffRead, TiffWrite,
                                                          TiffSeek, TiffClose, TiffSize, TiffMap,
                                                          TiffUnmap, opts));
  TIFFOpenOptionsFree(opts);
  if (!tif) return kFail;
  TIFF* t = tif.get();
  const std::uint16_t samples = alpha ? 4 : 3;
  bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width) &&
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, height) &&
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8) &&
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples) &&
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
            TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  if (ok && alpha) {
    const std::uint16_t kind = EXTRASAMPLE_UNASSALPHA;
    ok = TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &kind);
  }
  ok = ok && TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  if (!ok) return kFail;

  std::vector<std::uint8_t> row;
  try {
    row.resize(static_cast<std::size_t>(width) * samples);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint8_t* s = pixels + static_cast<std::size_t>(y) * stride;
    std::uint8_t* d = row.data();
    for (std::uint32_t x = 0; x < width; ++x, s += samples, d += samples) {
      d[0] = s[2], d[1] = s[1], d[2] = s[0];
      if (alpha) d[3] = s[3];
    }
    if (TIFFWriteScanline(t, row.data(), y, 0) < 0) return kFail;
  }
  if (!TIFFFlush(t)) return kFail;
  return kOk;
}

// ---------------------------------------------------------------------------
// Palettes.

std::uint32_t Rgb(const std::uint8_t* bgr) {
  return (static_cast<std::uint32_t>(bgr[2]) << 16) | (bgr[1] << 8) | bgr[0];
}

// A small open-addressed set of colours, for counting up to 256 of them.
class ColourSet {
 public:
  // Index of the colour, added when new; -1 when the set is full.
  int Find(std::uint32_t rgb, bool add) {
    std::size_t i = (rgb * 2654435761u) >> (32 - kBits);
    while (true) {
      if (slot_[i] == kEmpty) {
        if (!add || count_ == kCap) return -1;
        slot_[i] = rgb;
        index_[i] = static_cast<std::uint16_t>(count_);
        return count_++;
      }
      if (slot_[i] == rgb) return index_[i];
      i = (i + 1) & (kSize - 1);
    }
  }

 private:
  static constexpr int kBits = 10;
  static constexpr std::size_t kSize = std::size_t{1} << kBits;
  static constexpr int kCap = 257;
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;  // never a 24-bit colour
  std::array<std::uint32_t, kSize> slot_ = [] {
    std::array<std::uint32_t, kSize> a{};
    a.fill(kEmpty);
    return a;
  }();
  std::array<std::uint16_t, kSize> index_{};
  int count_ = 0;
};

// One cell of the 5-bit colour histogram, with the exact sums of its pixels.
struct Cell {
  std::uint8_t c[3];  // 5-bit R, G, B
  std::uint64_t count;
  std::uint64_t sum[3];  // 8-bit R, G, B summed
};

struct Box {
  std::size_t begin, end;  // range of cells
  std::uint64_t count;
  int axis;   // channel of the widest range
  int range;  // that range, in 5-bit steps
};

Box MakeBox(const std::vector<Cell>& cells, std::size_t begin, std::size_t end) {
  Box b{begin, end, 0, 0, 0};
  int lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
  for (std::size_t i = begin; i < end; ++i) {
    b.count += cells[i].count;
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min<int>(lo[k], cells[i].c[k]);
      hi[k] = std::max<int>(hi[k], cells[i].c[k]);
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (hi[k] - lo[k] > b.range) b.range = hi[k] - lo[k], b.axis = k;
  }
  return b;
}

void MedianCut(std::vector<Cell>& cells, unsigned maxColours, std::vector<std::uint32_t>* palette) {
  std::vector<Box> boxes{MakeBox(cells, 0, cells.size())};
  while (boxes.size() < maxColours) {
    // The box with the most pixels times the widest spread is split next.
    std::size_t pick = boxes.size();
    std::uint64_t best = 0;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      const std::uint64_t score = boxes[i].count * static_cast<std::uint64_t>(boxes[i].range);
      if (boxes[i].end - boxes[i].begin > 1 && boxes[i].range > 0 && score > best) {
        best = score;
        pick = i;
      }
    }
    if (pick == boxes.size()) break;
    const Box b = boxes[pick];
    const int axis = b.axis;
    std::sort(cells.begin() + static_cast<std::ptrdiff_t>(b.begin),
              cells.begin() + static_cast<std::ptrdiff_t>(b.end),
              [axis](const Cell& x, const Cell& y) { return x.c[axis] < y.c[axis]; });
    // Split at the median pixel, leaving at least one cell on each side.
    std::uint64_t run = 0;
    std::size_t cut = b.begin + 1;
    for (std::size_t i = b.begin; i + 1 < b.end; ++i) {
      run += cells[i].count;
      cut = i + 1;
      if (run * 2 >= b.count) break;
    }
    boxes[pick] = MakeBox(cells, b.begin, cut);
    boxes.push_back(MakeBox(cells, cut, b.end));
  }
  for (const Box& b : boxes) {
    std::uint64_t sum[3] = {0, 0, 0};
    for (std::size_t i = b.begin; i < b.end; ++i) {
      for (int k = 0; k < 3; ++k) sum[k] += cells[i].sum[k];
    }
    std::uint32_t rgb = 0;
    for (int k = 0; k < 3; ++k)
      rgb = (rgb << 8) | static_cast<std::uint32_t>((sum[k] + b.count / 2) / b.count);
    palette->push_back(rgb);
  }
}

// Nearest palette entry by squared distance; the first of equals wins.
std::uint8_t Nearest(const std::vector<std::uint32_t>& palette, int r, int g, int b) {
  std::uint8_t best = 0;
  int bestD = 0x7FFFFFFF;
  for (std::size_t i = 0; i < palette.size(); ++i) {
    const int dr = r - static_cast<int>(palette[i] >> 16);
    const int dg = g - static_cast<int>((palette[i] >> 8) & 0xFF);
    const int db = b - static_cast<int>(palette[i] & 0xFF);
    const int d = dr * dr + dg * dg + db * db;
    if (d < bestD) {
      bestD = d;
      best = static_cast<std::uint8_t>(i);
    }
  }
  return best;
}

// ---------------------------------------------------------------------------
// GIF.

struct GifSink {
  std::vector<std::uint8_t> file;
  bool noMemory = false;
};

int GifWrite(GifFileType* gif, const GifByteType* data, int n) {
  auto* sink = static_cast<GifSink*>(gif->UserData);
  if (n <= 0) return 0;
  try {
    sink->file.insert(sink->file.end(), data, data + n);
  } catch (const std::bad_alloc&) {
    sink->noMemory = true;
    return 0;
  }
  return n;
}

struct MapFree {
  void operator()(ColorMapObject* m) const { GifFreeMapObject(m); }
};

HResult GifCompress(GifSink& sink, const std::vector<std::uint32_t>& palette,
                    const std::vector<std::uint8_t>& indices, std::uint32_t width,
                    std::uint32_t height) {
  // The colour table has 2^n entries; the ones past the palette stay black.
  int size = 2;
  while (static_cast<std::size_t>(size) < palette.size()) size *= 2;
  std::unique_ptr<ColorMapObject, MapFree> map(GifMakeMapObject(size, nullptr));
  if (!map) return kOutOfMemory;
  for (int i = 0; i < size; ++i) {
    const std::uint32_t c = static_cast<std::size_t>(i) < palette.size() ? palette[i] : 0;
    map->Colors[i].Red = static_cast<GifByteType>(c >> 16);
    map->Colors[i].Green = static_cast<GifByteType>(c >> 8);
    map->Colors[i].Blue = static_cast<GifByteType>(c);
  }
  int error = 0;
  GifFileType* gif = EGifOpen(&sink, GifWrite, &error);
  if (!gif) return kOutOfMemory;
  bool ok = EGifPutScreenDesc(gif, static_cast<int>(width), static_cast<int>(height), 8, 0,
                              map.get()) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, static_cast<int>(width), static_cast<int>(height), false,
                             nullptr) == GIF_OK;
  for (std::uint32_t y = 0; ok && y < height; ++y) {
    ok = EGifPutLine(
             gif, const_cast<GifPixelType*>(indices.data() + static_cast<std::size_t>(y) * width),
             static_cast<int>(width)) == GIF_OK;
  }
  // Closing writes the trailer and frees the writer, whatever happened.
  if (EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  if (ok) return kOk;
  return sink.noMemory ? kOutOfMemory : kFail;
}

}  // namespace

HResult EncodePng(const std::uint8_t* pixels, PixelFormat format, std::uint32_t width,
                  std::uint32_t height, std::size_t stride, std::vector<std::uint8_t>* out) {
  if (!ArgsOk(pixels, format, width, height, stride, out)) return kInvalidArg;
  PngSink sink;
  HResult hr;
  {
    PngWriter w;
    hr = PngCompress(w, sink, pixels, format == PixelFormat::Bgra32, width, height, stride);
  }
  return Succeeded(hr) ? Append(sink.file, out) : hr;
}

HResult EncodeBmp(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                  std::size_t stride, std::vector<std::uint8_t>* out) {
  if (!ArgsOk(bgr, PixelFormat::Bgr24, width, height, stride, out)) return kInvalidArg;
  const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) * 3 + 3) & ~std::uint64_t{3};
  const std::uint64_t imageBytes = rowBytes * height;
  constexpr std::uint32_t kHeaders = 14 + 40;
  if (imageBytes > 0xFFFFFFFFu - kHeaders) return kErrImageSizeOutOfRange;
  std::vector<std::uint8_t> file;
  try {
    file.resize(static_cast<std::size_t>(kHeaders + imageBytes));
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  std::uint8_t* p = file.data();
  auto put16 = [&p](std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v), p[1] = static_cast<std::uint8_t>(v >> 8);
    p += 2;
  };
  auto put32 = [&](std::uint32_t v) {
    put16(v & 0xFFFF);
    put16(v >> 16);
  };
  // BITMAPFILEHEADER
  put16('B' | ('M' << 8));
  put32(static_cast<std::uint32_t>(file.size()));
  put32(0);  // reserved
  put32(kHeaders);
  // BITMAPINFOHEADER: positive height, so rows run bottom-up.
  put32(40);
  put32(width);
  put32(height);
  put16(1);   // planes
  put16(24);  // bits a pixel
  put32(0);   // BI_RGB
  put32(static_cast<std::uint32_t>(imageBytes));
  put32(0), put32(0);  // no resolution
  put32(0), put32(0);  // no palette
  for (std::uint32_t y = 0; y < height; ++y) {
    std::memcpy(p + static_cast<std::size_t>(height - 1 - y) * rowBytes,
                bgr + static_cast<std::size_t>(y) * stride, static_cast<std::size_t>(width) * 3);
  }
  return Append(file, out);
}

HResult EncodeTiff(const std::uint8_t* pixels, PixelFormat format, std::uint32_t width,
                   std::uint32_t height, std::size_t stride, std::vector<std::uint8_t>* out) {
  if (!ArgsOk(pixels, format, width, height, stride, out)) return kInvalidArg;
  TiffSink sink;
  const HResult hr =
      TiffCompress(sink, pixels, format == PixelFormat::Bgra32, width, height, stride);
  return Succeeded(hr) ? Append(sink.file, out) : hr;
}

HResult BuildPalette(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                     std::size_t stride, unsigned maxColours, std::vector<std::uint32_t>* palette) {
  if (!bgr || !palette || maxColours < 1 || maxColours > 256 || !SizeOk(width, height) ||
      stride < static_cast<std::size_t>(width) * 3) {
    return kInvalidArg;
  }
  palette->clear();
  try {
    // Few colours: all of them, exactly.
    auto set = std::make_unique<ColourSet>();
    std::vector<std::uint32_t> seen;
    bool few = true;
    for (std::uint32_t y = 0; few && y < height; ++y) {
      const std::uint8_t* s = bgr + static_cast<std::size_t>(y) * stride;
      std::uint32_t last = 0xFFFFFFFFu;
      for (std::uint32_t x = 0; x < width; ++x, s += 3) {
        const std::uint32_t rgb = Rgb(s);
        if (rgb == last) continue;
        last = rgb;
        const int before = static_cast<int>(seen.size());
        const int i = set->Find(rgb, true);
        if (i < 0 || static_cast<unsigned>(i) >= maxColours) {
          few = false;
          break;
        }
        if (i == before) seen.push_back(rgb);
      }
    }
    if (few) {
      *palette = std::move(seen);
      return kOk;
    }
    // Many: a histogram at 5 bits a channel, cut into boxes.
    std::vector<Cell> grid(32768, Cell{{0, 0, 0}, 0, {0, 0, 0}});
    for (std::uint32_t y = 0; y < height; ++y) {
      const std::uint8_t* s = bgr + static_cast<std::size_t>(y) * stride;
      for (std::uint32_t x = 0; x < width; ++x, s += 3) {
        Cell& c =
            grid[(static_cast<std::size_t>(s[2] >> 3) << 10) | ((s[1] >> 3) << 5) | (s[0] >> 3)];
        ++c.count;
        c.sum[0] += s[2], c.sum[1] += s[1], c.sum[2] += s[0];
      }
    }
    std::vector<Cell> cells;
    for (std::size_t i = 0; i < grid.size(); ++i) {
      if (grid[i].count == 0) continue;
      Cell c = grid[i];
      c.c[0] = static_cast<std::uint8_t>(i >> 10);
      c.c[1] = static_cast<std::uint8_t>((i >> 5) & 31);
      c.c[2] = static_cast<std::uint8_t>(i & 31);
      cells.push_back(c);
    }
    MedianCut(cells, maxColours, palette);
  } catch (const std::bad_alloc&) {
    palette->clear();
    return kOutOfMemory;
  }
  return kOk;
}

HResult DitherToPalette(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                        std::size_t stride, const std::vector<std::uint32_t>& palette,
                        std::vector<std::uint8_t>* indices) {
  if (!bgr || !indices || palette.empty() || palette.size() > 256 || !SizeOk(width, height) ||
      stride < static_cast<std::size_t>(width) * 3) {
    return kInvalidArg;
  }
  try {
    indices->resize(static_cast<std::size_t>(width) * height);
    // Exact members first, then a cache of nearest entries keyed by 6 bits a
    // channel (the nearest entry of the cell's centre).
    auto exact = std::make_unique<ColourSet>();
    std::vector<int> member(palette.size(), -1);
    for (std::size_t i = 0; i < palette.size(); ++i) {
      // A colour listed twice maps to its first entry.
      const auto slot = static_cast<std::size_t>(exact->Find(palette[i] & 0xFFFFFF, true));
      if (member[slot] < 0) member[slot] = static_cast<int>(i);
    }
    std::vector<std::int16_t> cache(std::size_t{1} << 18, -1);
    // Errors ×16 for the current and the next row, one pixel of margin on
    // each side.
    std::vector<int> cur((static_cast<std::size_t>(width) + 2) * 3, 0);
    std::vector<int> next(cur.size(), 0);
    for (std::uint32_t y = 0; y < height; ++y) {
      const std::uint8_t* s = bgr + static_cast<std::size_t>(y) * stride;
      std::uint8_t* out = indices->data() + static_cast<std::size_t>(y) * width;
      std::fill(next.begin(), next.end(), 0);
      for (std::uint32_t x = 0; x < width; ++x, s += 3) {
        int* e = &cur[(static_cast<std::size_t>(x) + 1) * 3];
        int v[3];
        for (int k = 0; k < 3; ++k) {
          // Channels in R, G, B order; the pixel is B, G, R.
          v[k] = std::clamp(s[2 - k] + ((e[k] + 8) >> 4), 0, 255);
        }
        const std::uint32_t rgb = (static_cast<std::uint32_t>(v[0]) << 16) | (v[1] << 8) | v[2];
        std::uint8_t index;
        const int hit = exact->Find(rgb, false);
        if (hit >= 0) {
          index = static_cast<std::uint8_t>(member[static_cast<std::size_t>(hit)]);
        } else {
          const std::size_t key =
              (static_cast<std::size_t>(v[0] >> 2) << 12) | ((v[1] >> 2) << 6) | (v[2] >> 2);
          if (cache[key] < 0) {
            cache[key] = Nearest(palette, (v[0] & ~3) | 2, (v[1] & ~3) | 2, (v[2] & ~3) | 2);
          }
          index = static_cast<std::uint8_t>(cache[key]);
        }
        out[x] = index;
        const std::uint32_t p = palette[index];
        const int got[3] = {static_cast<int>(p >> 16), static_cast<int>((p >> 8) & 0xFF),
                            static_cast<int>(p & 0xFF)};
        int* below = &next[static_cast<std::size_t>(x) * 3];  // pixel x - 1 of the next row
        for (int k = 0; k < 3; ++k) {
          const int err = v[k] - got[k];
          e[3 + k] += err * 7;
          below[k] += err * 3;
          below[3 + k] += err * 5;
          below[6 + k] += err;
        }
      }
      std::swap(cur, next);
    }
  } catch (const std::bad_alloc&) {
    indices->clear();
    return kOutOfMemory;
  }
  return kOk;
}

HResult EncodeGif(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                  std::size_t stride, std::vector<std::uint8_t>* out) {
  // A GIF's sides are 16-bit.
  if (!ArgsOk(bgr, PixelFormat::Bgr24, width, height, stride, out, 65535)) return kInvalidArg;
  std::vector<std::uint32_t> palette;
  HResult hr = BuildPalette(bgr, width, height, stride, 256, &palette);
  if (Failed(hr)) return hr;
  std::vector<std::uint8_t> indices;
  hr = DitherToPalette(bgr, width, height, stride, palette, &indices);
  if (Failed(hr)) return hr;
  GifSink sink;
  hr = GifCompress(sink, palette, indices, width, height);
  return Succeeded(hr) ? Append(sink.file, out) : hr;
}

}  // namespace img
