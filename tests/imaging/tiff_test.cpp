// TIFF decoding: ImageMagick-made fixtures (strips, tiles, LZW, Deflate,
// JPEG, PackBits, CCITT G4, palettes, gray, 16-bit, planar, alpha, CMYK,
// big-endian, BigTIFF) compared pixel by pixel with ImageMagick's own
// decoding of them; multi-page files, ICC profiles, the frame metadata and
// the Orientation tag (read, never applied); hand-built files for exact
// values, L*a*b*, palettes with alpha and sample layouts libtiff's RGBA
// interface does not read (10 to 32-bit integers, floating point, gray below
// 8 bits with alpha); and hostile bytes: IFD loops, lying strips, huge sizes,
// truncation at every length, mutations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "imaging/imaging.h"
#include "tests/support/test_support.h"

namespace {

using img::PixelFormat;
using testing_support::DecodeBytes;
using testing_support::DecodeFixture;
using testing_support::Fixture;
using testing_support::FixtureBytes;
using testing_support::ReadBytes;
using testing_support::ShareBytes;

using ByteVec = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Hand-built TIFF files.

constexpr std::uint16_t kShort = 3;
constexpr std::uint16_t kLong = 4;

struct Entry {
  std::uint16_t tag;
  std::uint16_t type;  // kShort or kLong
  std::vector<std::uint32_t> values;
};

// One directory: its entries (StripOffsets and StripByteCounts are added for
// `pixels`, one strip, unless `entries` has them) and its pixel bytes.
struct Ifd {
  std::vector<Entry> entries;
  ByteVec pixels;
};

class Writer {
 public:
  explicit Writer(bool be) : be_(be) {}
  void U16(std::uint32_t v) {
    if (be_) {
      b_.push_back(static_cast<std::uint8_t>(v >> 8));
      b_.push_back(static_cast<std::uint8_t>(v));
    } else {
      b_.push_back(static_cast<std::uint8_t>(v));
      b_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
  }
  void U32(std::uint32_t v) {
    if (be_) {
      U16(v >> 16);
      U16(v & 0xFFFF);
    } else {
      U16(v & 0xFFFF);
      U16(v >> 16);
    }
  }
  void Patch32(std::size_t at, std::uint32_t v) {
    Writer w(be_);
    w.U32(v);
    std::memcpy(&b_[at], w.b_.data(), 4);
  }
  ByteVec& bytes() { return b_; }

 private:
  bool be_;
  ByteVec b_;
};

// IFDs chained in order, each with its pixels before it (as ImageMagick
// writes) or, with `pixelsLast`, after it; `nextOverride` (when not ~0)
// replaces the last directory's next-IFD offset.
ByteVec BuildTiff(std::vector<Ifd> ifds, bool be = false, std::uint32_t nextOverride = ~0u,
                  bool pixelsLast = false) {
  Writer w(be);
  ByteVec& b = w.bytes();
  b.push_back(be ? 'M' : 'I');
  b.push_back(be ? 'M' : 'I');
  w.U16(42);
  w.U32(0);  // patched: IFD0
  std::size_t prevNext = 4;
  for (Ifd& ifd : ifds) {
    auto find = [&](std::uint16_t tag) -> Entry* {
      for (Entry& e : ifd.entries) {
        if (e.tag == tag) return &e;
      }
      return nullptr;
    };
    bool autoOffset = false;
    if (!find(273) && !find(324)) {
      ifd.entries.push_back({273, kLong, {0}});
      autoOffset = true;
    }
    if (!find(279) && !find(325)) {
      ifd.entries.push_back({279, kLong, {static_cast<std::uint32_t>(ifd.pixels.size())}});
    }
    std::sort(ifd.entries.begin(), ifd.entries.end(),
              [](const Entry& x, const Entry& y) { return x.tag < y.tag; });
    const std::size_t n = ifd.entries.size();
    std::size_t tailSize = 0;
    for (const Entry& e : ifd.entries) {
      const std::size_t size = e.values.size() * (e.type == kShort ? 2 : 4);
      if (size > 4) tailSize += size;
    }
    std::uint32_t at;
    if (pixelsLast) {
      at = static_cast<std::uint32_t>(b.size());
      if (autoOffset) {
        find(273)->values[0] = at + 2 + static_cast<std::uint32_t>(n * 12 + 4 + tailSize);
      }
    } else {
      if (autoOffset) find(273)->values[0] = static_cast<std::uint32_t>(b.size());
      b.insert(b.end(), ifd.pixels.begin(), ifd.pixels.end());
      if (b.size() % 2) b.push_back(0);
      at = static_cast<std::uint32_t>(b.size());
    }
    w.Patch32(prevNext, at);
    const std::uint32_t extra = at + 2 + static_cast<std::uint32_t>(n) * 12 + 4;
    Writer tw(be);
    w.U16(static_cast<std::uint32_t>(n));
    for (const Entry& e : ifd.entries) {
      w.U16(e.tag);
      w.U16(e.type);
      w.U32(static_cast<std::uint32_t>(e.values.size()));
      const std::size_t size = e.values.size() * (e.type == kShort ? 2 : 4);
      if (size <= 4) {
        const std::size_t start = b.size();
        for (std::uint32_t v : e.values) e.type == kShort ? w.U16(v) : w.U32(v);
        while (b.size() < start + 4) b.push_back(0);
      } else {
        w.U32(extra + static_cast<std::uint32_t>(tw.bytes().size()));
        for (std::uint32_t v : e.values) e.type == kShort ? tw.U16(v) : tw.U32(v);
      }
    }
    prevNext = b.size();
    w.U32(0);
    b.insert(b.end(), tw.bytes().begin(), tw.bytes().end());
    if (pixelsLast) {
      b.insert(b.end(), ifd.pixels.begin(), ifd.pixels.end());
      if (b.size() % 2) b.push_back(0);
    }
  }
  if (nextOverride != ~0u) w.Patch32(prevNext, nextOverride);
  return b;
}

// An uncompressed 8-bit gray directory of w x h with the given pixels.
Ifd GrayIfd(std::uint32_t w, std::uint32_t h, ByteVec pixels, std::uint32_t orientation = 1) {
  Ifd d;
  d.entries = {{256, kLong, {w}},  {257, kLong, {h}},  {258, kShort, {8}},
               {259, kShort, {1}}, {262, kShort, {1}}, {274, kShort, {orientation}},
               {277, kShort, {1}}, {278, kLong, {h}}};
  d.pixels = std::move(pixels);
  return d;
}

// An uncompressed 8-bit RGB(A) directory; `extraSamples` is the
// ExtraSamples value (none when negative).
Ifd RgbIfd(std::uint32_t w, std::uint32_t h, int spp, ByteVec pixels, int extraSamples = -1) {
  Ifd d;
  std::vector<std::uint32_t> bits(static_cast<std::size_t>(spp), 8);
  d.entries = {{256, kLong, {w}},   {257, kLong, {h}},
               {258, kShort, bits}, {259, kShort, {1}},
               {262, kShort, {2}},  {277, kShort, {static_cast<std::uint32_t>(spp)}},
               {278, kLong, {h}}};
  if (extraSamples >= 0) {
    d.entries.push_back({338, kShort, {static_cast<std::uint32_t>(extraSamples)}});
  }
  d.pixels = std::move(pixels);
  return d;
}

img::HResult Open(const ByteVec& bytes, std::unique_ptr<img::Decoder>* dec) {
  return img::CreateTiffDecoder(ShareBytes(bytes), dec);
}

// Opens, and decodes every frame of at most 4 M pixels in every output
// format; the results do not matter, only that nothing crashes or hangs.
void DecodeAll(const img::Bytes& bytes) {
  std::unique_ptr<img::Decoder> dec;
  if (img::Failed(img::CreateTiffDecoder(bytes, &dec))) return;
  const std::uint32_t count = std::min<std::uint32_t>(dec->GetFrameCount(), 4);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::unique_ptr<img::Frame> frame;
    if (img::Failed(dec->GetFrame(i, &frame))) continue;
    const std::size_t w = frame->Width(), h = frame->Height();
    ASSERT_GT(w * h, 0u);
    if (w * h > (std::size_t{1} << 22)) continue;
    ByteVec buf(w * h * 4);
    for (PixelFormat f : {PixelFormat::Pbgra32, PixelFormat::Bgra32}) {
      frame->CopyPixels(f, buf.data(), w * 4, buf.size());
    }
    frame->CopyCmyk(buf.data(), w * 4, buf.size());
    frame->ColorContexts();
    auto meta = frame->Metadata();
    std::uint32_t v = 0;
    img::ReadUInt(meta.get(), "/ifd/{ushort=274}", &v);
  }
}

// ---------------------------------------------------------------------------
// Fixtures against ImageMagick.

struct FixtureCase {
  const char* file;
  std::uint32_t width, height;
  PixelFormat native;
  int tolerance;  // per channel
};

const FixtureCase kFixtures[] = {
    {"tiff_strips_lzw.tif", 19, 13, PixelFormat::Bgr24, 0},
    {"tiff_tiles_zip.tif", 40, 20, PixelFormat::Bgr24, 0},
    {"tiff_packbits.tif", 19, 13, PixelFormat::Bgr24, 0},
    {"tiff_planar.tif", 19, 13, PixelFormat::Bgr24, 0},
    {"tiff_jpeg_rgb.tif", 32, 16, PixelFormat::Bgr24, 2},
    {"tiff_jpeg_ycbcr.tif", 32, 16, PixelFormat::Bgr24, 2},
    {"tiff_palette8.tif", 19, 13, PixelFormat::Indexed8, 0},
    {"tiff_palette2.tif", 16, 12, PixelFormat::Indexed2, 0},
    {"tiff_gray8.tif", 19, 13, PixelFormat::Gray8, 0},
    // libtiff keeps the high byte of 16-bit gray, ImageMagick rounds
    {"tiff_gray16.tif", 19, 13, PixelFormat::Gray16, 1},
    {"tiff_g4.tif", 13, 5, PixelFormat::BlackWhite, 0},
    {"tiff_rgb16.tif", 19, 13, PixelFormat::Rgb48, 0},
    {"tiff_rgb16_be.tif", 19, 13, PixelFormat::Rgb48, 0},
    {"tiff_be.tif", 19, 13, PixelFormat::Bgr24, 0},
    {"tiff_bigtiff.tif", 19, 13, PixelFormat::Bgr24, 0},
    {"tiff_rgba_unassoc.tif", 16, 12, PixelFormat::Bgra32, 0},
    // the file holds 8-bit premultiplied samples: straightening them again
    // may differ from ImageMagick's by rounding
    {"tiff_rgba_assoc.tif", 16, 12, PixelFormat::Pbgra32, 1},
    {"tiff_graya.tif", 16, 12, PixelFormat::Bgra32, 0},
    {"tiff_multipage.tif", 16, 12, PixelFormat::Bgr24, 0},
    {"tiff_icc.tif", 16, 12, PixelFormat::Bgr24, 0},
    {"tiff_orient6.tif", 16, 12, PixelFormat::Bgr24, 0},
    // libtiff's and ImageMagick's naive CMYK conversions round differently
    {"tiff_cmyk.tif", 8, 3, PixelFormat::Cmyk32, 1},
    {"tiff_cmyk_planar.tif", 8, 3, PixelFormat::Cmyk32, 1},
    {"tiff_cmyk16_tiles.tif", 20, 9, PixelFormat::Cmyk64, 2},
};

TEST(Tiff, FixturesMatchImageMagick) {
  for (const FixtureCase& c : kFixtures) {
    SCOPED_TRACE(c.file);
    auto d = DecodeFixture(c.file);
    ASSERT_EQ(d.hr, img::kOk);
    EXPECT_EQ(d.container, img::Container::Tiff);
    EXPECT_EQ(d.native, c.native) << img::PixelFormatName(d.native);
    ASSERT_EQ(d.width, c.width);
    ASSERT_EQ(d.height, c.height);
    testing_support::ExpectMatchesRgba(d.bgra, c.width, std::string(c.file) + ".rgba", c.tolerance,
                                       testing_support::Clear::IgnoreColour);
  }
}

// A picture taller than one band decodes the same in strips and tiles as in
// one strip (the JPEG one within the rounding of its colour conversion).
TEST(Tiff, BandsOfStripsAndTilesMatchOneStrip) {
  const struct {
    const char* file;
    const char* reference;
    int tolerance;
  } cases[] = {
      {"tiff_bands_strips.tif", "tiff_bands_one.tif", 0},
      {"tiff_bands_tiles.tif", "tiff_bands_one.tif", 0},
      {"tiff_bands_ycbcr.tif", "tiff_bands_ycbcr_one.tif", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto d = DecodeFixture(c.file);
    const auto ref = DecodeFixture(c.reference);
    ASSERT_EQ(d.hr, img::kOk);
    ASSERT_EQ(ref.hr, img::kOk);
    ASSERT_EQ(d.width, 40u);
    ASSERT_EQ(d.height, 150u);
    ASSERT_EQ(d.bgra.size(), ref.bgra.size());
    for (std::size_t i = 0; i < d.bgra.size(); ++i) {
      ASSERT_LE(std::abs(d.bgra[i] - ref.bgra[i]), c.tolerance) << "byte " << i;
    }
  }
}

// Known values, independent of ImageMagick.
TEST(Tiff, FixtureKnownPixels) {
  for (const char* name : {"tiff_jpeg_rgb.tif", "tiff_jpeg_ycbcr.tif"}) {
    SCOPED_TRACE(name);
    auto d = DecodeFixture(name);
    ASSERT_EQ(d.hr, img::kOk);
    auto near = [](std::uint32_t got, std::uint32_t want) {
      for (int s = 0; s < 32; s += 8) {
        if (std::abs(static_cast<int>((got >> s) & 0xFF) - static_cast<int>((want >> s) & 0xFF)) >
            3) {
          return false;
        }
      }
      return true;
    };
    EXPECT_TRUE(near(d.At(0, 0), 0xFFFF0000u)) << std::hex << d.At(0, 0);
    EXPECT_TRUE(near(d.At(31, 0), 0xFF00FF00u)) << std::hex << d.At(31, 0);
    EXPECT_TRUE(near(d.At(0, 15), 0xFF0000FFu)) << std::hex << d.At(0, 15);
    EXPECT_TRUE(near(d.At(31, 15), 0xFFFFFFFFu)) << std::hex << d.At(31, 15);
  }
  auto g4 = DecodeFixture("tiff_g4.tif");
  ASSERT_EQ(g4.hr, img::kOk);
  EXPECT_EQ(g4.At(0, 0), 0xFF000000u);
  EXPECT_EQ(g4.At(5, 2), 0xFF000000u);
  EXPECT_EQ(g4.At(6, 0), 0xFFFFFFFFu);
  EXPECT_EQ(g4.At(12, 4), 0xFF000000u);
  EXPECT_EQ(g4.At(11, 4), 0xFFFFFFFFu);
  // tiles: the last (partial) tile column and row
  auto t = DecodeFixture("tiff_tiles_zip.tif");
  auto s = DecodeFixture("tiff_strips_lzw.tif");
  ASSERT_EQ(t.hr, img::kOk);
  ASSERT_EQ(s.hr, img::kOk);
  EXPECT_NE(t.At(0, 0), t.At(39, 0));
  EXPECT_NE(t.At(39, 0), t.At(39, 19));
}

TEST(Tiff, AlphaAssociatedAndUnassociated) {
  // quadrants red, lime / blue, white; the right half is half transparent
  // on top and fully transparent below
  auto un = DecodeFixture("tiff_rgba_unassoc.tif");
  ASSERT_EQ(un.hr, img::kOk);
  EXPECT_EQ(un.At(0, 0), 0xFFFF0000u);
  EXPECT_EQ(un.At(8, 0), 0x7F00FF00u);  // ImageMagick writes 0.5 as 127
  EXPECT_EQ(un.At(8, 6) >> 24, 0u);
  auto unP = DecodeFixture("tiff_rgba_unassoc.tif", 0, PixelFormat::Pbgra32);
  ASSERT_EQ(unP.hr, img::kOk);
  EXPECT_EQ(unP.At(8, 0), 0x7F007F00u);  // (255 × 127 + 127) / 255 = 127
  EXPECT_EQ(unP.At(8, 6), 0u);

  // associated: the file holds 0,127,0,127 for the half-transparent lime
  auto as = DecodeFixture("tiff_rgba_assoc.tif", 0, PixelFormat::Pbgra32);
  ASSERT_EQ(as.hr, img::kOk);
  EXPECT_EQ(as.At(0, 0), 0xFFFF0000u);
  EXPECT_EQ(as.At(8, 0), 0x7F007F00u);
  EXPECT_EQ(as.At(15, 11), 0u);
  auto asS = DecodeFixture("tiff_rgba_assoc.tif");
  ASSERT_EQ(asS.hr, img::kOk);
  EXPECT_EQ(asS.At(8, 0), 0x7F00FF00u);
  EXPECT_EQ(asS.At(15, 11), 0u);

  // gray with unassociated alpha keeps its alpha (libtiff alone drops it)
  auto ga = DecodeFixture("tiff_graya.tif");
  ASSERT_EQ(ga.hr, img::kOk);
  EXPECT_EQ(ga.At(0, 0) >> 24, 0xFFu);
  EXPECT_EQ(ga.At(15, 11) >> 24, 0x40u);
  EXPECT_EQ(ga.At(15, 11) & 0xFFFFFF, 0xFFFFFFu);
}

TEST(Tiff, HandBuiltAlphaVariants) {
  const ByteVec px = {10, 20, 30, 128, 200, 100, 50, 0};
  // unassociated alpha, explicitly
  auto d = DecodeBytes(ShareBytes(BuildTiff({RgbIfd(2, 1, 4, px, 2)})));
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.native, PixelFormat::Bgra32);
  EXPECT_EQ(d.At(0, 0), 0x800A141Eu);
  EXPECT_EQ(d.At(1, 0) >> 24, 0u);
  // four RGB samples without ExtraSamples: libtiff makes the fourth an
  // unspecified extra sample, which its RGBA reader takes as associated alpha
  auto none = DecodeBytes(ShareBytes(BuildTiff({RgbIfd(2, 1, 4, px)})), 0, PixelFormat::Pbgra32);
  ASSERT_EQ(none.hr, img::kOk);
  EXPECT_EQ(none.native, PixelFormat::Pbgra32);
  EXPECT_EQ(none.At(0, 0), 0x800A141Eu);
  // unspecified extra sample with four samples: associated, as libtiff has it
  auto u = DecodeBytes(ShareBytes(BuildTiff({RgbIfd(2, 1, 4, {10, 20, 30, 128, 0, 0, 0, 0}, 0)})),
                       0, PixelFormat::Pbgra32);
  ASSERT_EQ(u.hr, img::kOk);
  EXPECT_EQ(u.native, PixelFormat::Pbgra32);
  EXPECT_EQ(u.At(0, 0), 0x800A141Eu);
  // premultiplied colour above its alpha is held to the alpha
  auto bad = DecodeBytes(ShareBytes(BuildTiff({RgbIfd(1, 1, 4, {200, 20, 30, 100}, 1)})), 0,
                         PixelFormat::Pbgra32);
  ASSERT_EQ(bad.hr, img::kOk);
  EXPECT_EQ(bad.At(0, 0), 0x6464141Eu);  // alpha 100, red 200 held to 100
}

// ---------------------------------------------------------------------------
// Layouts unpacked without libtiff's RGBA interface: L*a*b*, palettes with
// alpha, other bit depths, floating point.

// An uncompressed one-strip directory of w × h: photometric, bits per sample
// and samples per pixel, then further entries (ExtraSamples, ColorMap,
// SampleFormat, PlanarConfig, ...).
Ifd SampleIfd(std::uint32_t w, std::uint32_t h, std::uint32_t photometric, std::uint32_t bps,
              std::uint32_t spp, ByteVec pixels, std::vector<Entry> more = {}) {
  Ifd d;
  d.entries = {{256, kLong, {w}},
               {257, kLong, {h}},
               {258, kShort, std::vector<std::uint32_t>(spp, bps)},
               {259, kShort, {1}},
               {262, kShort, {photometric}},
               {277, kShort, {spp}},
               {278, kLong, {h}}};
  for (Entry& e : more) d.entries.push_back(std::move(e));
  d.pixels = std::move(pixels);
  return d;
}

// Little-endian bytes of 16-bit values, 32-bit floats or 64-bit doubles.
ByteVec Le16s(std::initializer_list<std::uint32_t> values) {
  ByteVec out;
  for (std::uint32_t v : values) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  return out;
}
template <typename T>
ByteVec LeReals(std::initializer_list<T> values) {
  ByteVec out(values.size() * sizeof(T));
  std::size_t at = 0;
  for (T v : values) {
    std::memcpy(out.data() + at, &v, sizeof(T));  // the tests run on little-endian machines
    at += sizeof(T);
  }
  return out;
}

// A colour map of 2^bits entries: entry i is `first[i]` (0xRRGGBB, 8 bits a
// channel, stored in 16 bits as v × 257) for the given ones, black after.
Entry ColourMap(unsigned bits, std::vector<std::uint32_t> first) {
  const std::size_t n = std::size_t{1} << bits;
  std::vector<std::uint32_t> v(3 * n, 0);
  for (std::size_t i = 0; i < first.size(); ++i) {
    v[i] = ((first[i] >> 16) & 0xFF) * 257;
    v[n + i] = ((first[i] >> 8) & 0xFF) * 257;
    v[2 * n + i] = (first[i] & 0xFF) * 257;
  }
  return {320, kShort, v};
}

constexpr std::uint32_t kCieLab = 8, kIccLab = 9;
const Entry kUnassoc = {338, kShort, {2}};
const Entry kAssoc = {338, kShort, {1}};
// Planar configuration 2 for `planes` planes of `bytes` bytes each, in one
// strip per plane after the 8-byte header (where BuildTiff puts the pixels).
std::vector<Entry> Planar(std::uint32_t planes, std::uint32_t bytes) {
  std::vector<std::uint32_t> offsets, counts;
  for (std::uint32_t p = 0; p < planes; ++p) {
    offsets.push_back(8 + p * bytes);
    counts.push_back(bytes);
  }
  return {{284, kShort, {2}}, {273, kLong, offsets}, {279, kLong, counts}};
}
Entry Float(std::uint32_t spp) { return {339, kShort, std::vector<std::uint32_t>(spp, 3)}; }

struct SampleCase {
  const char* name;
  Ifd ifd;
  std::vector<std::uint32_t> argb;  // straight, left to right
  int tolerance;                    // per channel
};

std::vector<SampleCase> SampleCases() {
  std::vector<SampleCase> v;
  // A one-row directory as wide as `argb` (see SampleIfd).
  auto add = [&v](const char* name, std::uint32_t photometric, std::uint32_t bps, std::uint32_t spp,
                  ByteVec pixels, std::vector<std::uint32_t> argb, int tolerance,
                  std::vector<Entry> more = {}) {
    const auto w = static_cast<std::uint32_t>(argb.size());
    v.push_back({name, SampleIfd(w, 1, photometric, bps, spp, std::move(pixels), std::move(more)),
                 std::move(argb), tolerance});
  };
  // L*a*b*: white must come out white, black black, and gray neutral.
  add("CIELab 8-bit white, black, L* 50", kCieLab, 8, 3, {255, 0, 0, 0, 0, 0, 128, 0, 0},
      {0xFFFFFFFF, 0xFF000000, 0xFF777777}, 1);
  add("CIELab 8-bit signed a* and b*: sRGB red, blue", kCieLab, 8, 3, {138, 81, 70, 75, 68, 0x90},
      {0xFFFF0000, 0xFF0000FF}, 3);
  add("CIELab 16-bit white, black", kCieLab, 16, 3, Le16s({65535, 0, 0, 0, 0, 0}),
      {0xFFFFFFFF, 0xFF000000}, 0);
  add("CIELab 16-bit signed a*: red", kCieLab, 16, 3, Le16s({35579, 20688, 17892}), {0xFFFF0000},
      1);
  add("ICCLab 8-bit, a* and b* offset by 128", kIccLab, 8, 3, {255, 128, 128, 0, 128, 128},
      {0xFFFFFFFF, 0xFF000000}, 0);
  add("ICCLab 16-bit, L* 100 at 65280", kIccLab, 16, 3,
      Le16s({65280, 32768, 32768, 0, 32768, 32768}), {0xFFFFFFFF, 0xFF000000}, 0);
  add("CIELab 8-bit with unassociated alpha", kCieLab, 8, 4, {255, 0, 0, 128, 0, 0, 0, 0},
      {0x80FFFFFF, 0x00000000}, 0, {kUnassoc});
  add("CIELab 16-bit with unassociated alpha", kCieLab, 16, 4, Le16s({65535, 0, 0, 0x8080}),
      {0x80FFFFFF}, 0, {kUnassoc});
  add("CIELab 8-bit planar", kCieLab, 8, 3, {255, 0, 0, 0, 0, 0}, {0xFFFFFFFF, 0xFF000000}, 0,
      Planar(3, 2));
  // Palettes with an alpha sample.
  add("8-bit palette, unassociated alpha", 3, 8, 2, {1, 128, 2, 255, 0, 0},
      {0x80FF0000, 0xFF00FF00, 0x00000000}, 0,
      {kUnassoc, ColourMap(8, {0x000000, 0xFF0000, 0x00FF00})});
  add("8-bit palette, associated alpha (colours premultiplied)", 3, 8, 2, {1, 128, 2, 255},
      {0x80FF0000, 0xFF00FF00}, 0, {kAssoc, ColourMap(8, {0x000000, 0x800000, 0x00FF00})});
  add("16-colour palette with 4-bit alpha", 3, 4, 2, {0x1F, 0x28, 0xF0},
      {0xFFFF0000, 0x880000FF, 0x00000000}, 0,
      {kUnassoc, ColourMap(4, {0x000000, 0xFF0000, 0x0000FF})});
  std::vector<Entry> planarPalette = Planar(2, 2);
  planarPalette.push_back(kUnassoc);
  planarPalette.push_back(ColourMap(8, {0, 0xFF0000, 0x0000FF}));
  add("8-bit palette with alpha, planar", 3, 8, 2, {1, 2, 255, 64}, {0xFFFF0000, 0x400000FF}, 0,
      planarPalette);
  add("4-bit palette with an unspecified extra sample: no alpha", 3, 4, 2, {0x10, 0x2F},
      {0xFFFF0000, 0xFF0000FF}, 0,
      {{338, kShort, {0}}, ColourMap(4, {0x000000, 0xFF0000, 0x0000FF})});
  // Bit depths libtiff's RGBA reader refuses, scaled to 8 bits.
  add("12-bit gray", 1, 12, 1, {0xFF, 0xF8, 0x00}, {0xFFFFFFFF, 0xFF808080}, 0);
  add("10-bit RGB", 2, 10, 3, {0xFF, 0xC0, 0x08, 0x00}, {0xFFFF0080}, 0);
  add("14-bit min-is-white gray", 0, 14, 1, {0x00, 0x03, 0xFF, 0xF0}, {0xFFFFFFFF, 0xFF000000}, 0);
  add("32-bit gray", 1, 32, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x80}, {0xFFFFFFFF, 0xFF808080},
      0);
  add("12-bit RGB with unassociated alpha", 2, 12, 4, {0xFF, 0xF0, 0x00, 0x00, 0x08, 0x00},
      {0x80FF0000}, 0, {kUnassoc});
  add("32-bit float RGB, clamped to 0..1, NaN black", 2, 32, 3,
      LeReals<float>({1.0f, 0.5f, -1.0f, 2.0f, NAN, 0.25f}), {0xFFFF8000, 0xFFFF0040}, 0,
      {Float(3)});
  add("64-bit float gray", 1, 64, 1, LeReals<double>({0.5, 1.0}), {0xFF808080, 0xFFFFFFFF}, 0,
      {Float(1)});
  add("4-bit gray with unassociated alpha", 1, 4, 2, {0xF8, 0x0F}, {0x88FFFFFF, 0xFF000000}, 0,
      {kUnassoc});
  add("2-bit gray with associated alpha", 1, 2, 2, {0xAF}, {0xAAFFFFFF, 0xFFFFFFFF}, 0, {kAssoc});
  return v;
}

bool Near(std::uint32_t a, std::uint32_t b, int tolerance) {
  for (int shift = 0; shift < 32; shift += 8) {
    const int x = static_cast<int>((a >> shift) & 0xFF), y = static_cast<int>((b >> shift) & 0xFF);
    if (std::abs(x - y) > tolerance) return false;
  }
  return true;
}

TEST(Tiff, SampleLayoutsDecodeToKnownPixels) {
  for (const SampleCase& c : SampleCases()) {
    SCOPED_TRACE(c.name);
    auto d = DecodeBytes(ShareBytes(BuildTiff({c.ifd})));
    ASSERT_EQ(d.hr, img::kOk);
    ASSERT_EQ(d.width, c.argb.size());
    ASSERT_EQ(d.height, 1u);
    for (std::uint32_t x = 0; x < d.width; ++x) {
      EXPECT_PRED3(Near, d.At(x, 0), c.argb[x], c.tolerance)
          << "at " << x << ": " << std::hex << d.At(x, 0);
    }
  }
}

TEST(Tiff, SampleLayoutsBigEndian) {
  // Samples of 16 bits and more come swapped to the machine's order; packed
  // 12-bit samples are the same bytes in either file order.
  const struct {
    const char* name;
    Ifd ifd;
    std::uint32_t argb[2];
  } cases[] = {
      {"CIELab 16-bit",
       SampleIfd(2, 1, kCieLab, 16, 3, {0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
       {0xFFFFFFFF, 0xFF000000}},
      {"32-bit float gray",
       SampleIfd(2, 1, 1, 32, 1, {0x3F, 0x00, 0x00, 0x00, 0x3F, 0x80, 0x00, 0x00}, {Float(1)}),
       {0xFF808080, 0xFFFFFFFF}},
      {"12-bit gray", SampleIfd(2, 1, 1, 12, 1, {0xFF, 0xF8, 0x00}), {0xFFFFFFFF, 0xFF808080}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = DecodeBytes(ShareBytes(BuildTiff({c.ifd}, true)));
    ASSERT_EQ(d.hr, img::kOk);
    EXPECT_EQ(d.At(0, 0), c.argb[0]) << std::hex << d.At(0, 0);
    EXPECT_EQ(d.At(1, 0), c.argb[1]) << std::hex << d.At(1, 0);
  }
}

TEST(Tiff, SampleLayoutsPremultiplyAndStraightenAlike) {
  // One pixel of palette index 1 at alpha 128, asked for premultiplied.
  const struct {
    const char* name;
    Entry extraSamples;
    std::uint32_t colour;  // palette entry 1, 0xRRGGBB
    PixelFormat native;
    std::uint32_t pixel;
  } cases[] = {
      // associated alpha comes out premultiplied as stored, held to its alpha
      {"associated", kAssoc, 0x80FF40, PixelFormat::Pbgra32, 0x80808040u},
      {"unassociated", kUnassoc, 0xFF0000, PixelFormat::Bgra32, 0x80800000u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = DecodeBytes(
        ShareBytes(BuildTiff(
            {SampleIfd(1, 1, 3, 8, 2, {1, 128}, {c.extraSamples, ColourMap(8, {0, c.colour})})})),
        0, PixelFormat::Pbgra32);
    ASSERT_EQ(d.hr, img::kOk);
    EXPECT_EQ(d.native, c.native);
    EXPECT_EQ(d.At(0, 0), c.pixel);
  }
}

TEST(Tiff, SampleLayoutFixtures) {
  // Made with ImageMagick and tiffcp (compressed, strips and tiles, planar,
  // predictors); ImageMagick's decoding where it is an oracle.
  const struct {
    const char* file;
    const char* rgba;  // ImageMagick's decoding, or null
    int tolerance;
  } withOracle[] = {
      {"tiff_float.tif", "tiff_float.tif.rgba", 1},  // 32-bit float RGB, predictor 3
      {"dec17_gray12.tif", "dec17_gray12.tif.rgba", 1},
      {"dec17_rgb10_planar.tif", "dec17_rgb10_planar.tif.rgba", 1},
      {"dec17_float64_pred2.tif", "dec17_float64_pred2.tif.rgba", 1},
      {"dec17_gray4a.tif", "dec17_gray4a.tif.rgba", 0},
  };
  for (const auto& c : withOracle) {
    SCOPED_TRACE(c.file);
    auto d = DecodeFixture(c.file);
    ASSERT_EQ(d.hr, img::kOk);
    testing_support::ExpectMatchesRgba(d.bgra, d.width, c.rgba, c.tolerance,
                                       testing_support::Clear::IgnoreColour);
  }
  // L*a*b* 16-bit in 16 × 16 Deflate tiles, 20 × 10: white left, black right
  auto lab = DecodeFixture("dec17_lab16_tiles.tif");
  ASSERT_EQ(lab.hr, img::kOk);
  ASSERT_EQ(lab.width, 20u);
  for (std::uint32_t y = 0; y < 10; ++y) {
    for (std::uint32_t x = 0; x < 20; ++x) {
      ASSERT_EQ(lab.At(x, y), x < 10 ? 0xFFFFFFFFu : 0xFF000000u) << x << "," << y;
    }
  }
  // 8-bit palette with unassociated alpha, LZW: red opaque left, blue half
  // transparent right, 12 × 4
  auto pal = DecodeFixture("dec17_palette_alpha.tif");
  ASSERT_EQ(pal.hr, img::kOk);
  EXPECT_EQ(pal.native, PixelFormat::Bgra32);
  ASSERT_EQ(pal.width, 12u);
  for (std::uint32_t y = 0; y < 4; ++y) {
    for (std::uint32_t x = 0; x < 12; ++x) {
      ASSERT_EQ(pal.At(x, y), x < 6 ? 0xFFFF0000u : 0x800000FFu) << x << "," << y;
    }
  }
}

TEST(Tiff, MultiPageFramesAndMetadata) {
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateTiffDecoder(FixtureBytes("tiff_multipage.tif"), &dec), img::kOk);
  EXPECT_EQ(dec->GetContainerFormat(), img::Container::Tiff);
  ASSERT_EQ(dec->GetFrameCount(), 3u);
  const std::uint32_t sizes[3][2] = {{16, 12}, {8, 4}, {5, 7}};
  const std::uint32_t colours[3] = {0xFFFF0000u, 0xFFFF0000u, 0xFF0000FFu};
  for (std::uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    std::unique_ptr<img::Frame> f;
    ASSERT_EQ(dec->GetFrame(i, &f), img::kOk);
    EXPECT_EQ(f->Width(), sizes[i][0]);
    EXPECT_EQ(f->Height(), sizes[i][1]);
    std::uint32_t w = 0;
    EXPECT_TRUE(img::ReadUInt(f->Metadata().get(), "/ifd/{ushort=256}", &w));
    EXPECT_EQ(w, sizes[i][0]);
    EXPECT_EQ(f->Metadata()->Format(), "tiff");
    ByteVec buf(f->Width() * f->Height() * 4);
    ASSERT_EQ(f->CopyPixels(PixelFormat::Bgra32, buf.data(), f->Width() * 4, buf.size()), img::kOk);
    const std::uint32_t first = 0xFF000000u | (buf[2] << 16) | (buf[1] << 8) | buf[0];
    EXPECT_EQ(first, colours[i]);
  }
  std::unique_ptr<img::Frame> f;
  EXPECT_EQ(dec->GetFrame(3, &f), img::kInvalidArg);
  EXPECT_FALSE(f);
  // frames are independent of each other and of the order they are taken
  std::unique_ptr<img::Frame> f2, f0;
  ASSERT_EQ(dec->GetFrame(2, &f2), img::kOk);
  ASSERT_EQ(dec->GetFrame(0, &f0), img::kOk);
  ByteVec b2(5 * 7 * 4), b0(16 * 12 * 4);
  EXPECT_EQ(f0->CopyPixels(PixelFormat::Bgra32, b0.data(), 16 * 4, b0.size()), img::kOk);
  EXPECT_EQ(f2->CopyPixels(PixelFormat::Bgra32, b2.data(), 5 * 4, b2.size()), img::kOk);
  EXPECT_EQ(b2[0], 0xFF);  // blue
  EXPECT_EQ(b0[2], 0xFF);  // red
}

TEST(Tiff, IccProfileContext) {
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateTiffDecoder(FixtureBytes("tiff_icc.tif"), &dec), img::kOk);
  std::unique_ptr<img::Frame> f;
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  auto contexts = f->ColorContexts();
  ASSERT_EQ(contexts.size(), 1u);
  EXPECT_EQ(contexts[0].type, img::ColorContext::Type::Profile);
  const auto& p = contexts[0].profile;
  ASSERT_EQ(p.size(), 564u);  // ghostscript's a98.icc
  EXPECT_EQ((p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3], 564);
  EXPECT_EQ(std::string(p.begin() + 36, p.begin() + 40), "acsp");
  // the profile is also in the metadata, as tag 34675
  img::PropValue v;
  ASSERT_EQ(f->Metadata()->GetMetadataByName("/ifd/{ushort=34675}", &v), img::kOk);
  EXPECT_EQ(v.vt, img::kVtBlob);
  EXPECT_EQ(v.bytes.size(), 564u);

  std::unique_ptr<img::Decoder> plain;
  ASSERT_EQ(img::CreateTiffDecoder(FixtureBytes("tiff_strips_lzw.tif"), &plain), img::kOk);
  ASSERT_EQ(plain->GetFrame(0, &f), img::kOk);
  EXPECT_TRUE(f->ColorContexts().empty());
}

TEST(Tiff, ExifIfdAndColourSpace) {
  // IFD0 with an EXIF IFD pointer; the EXIF IFD (appended) holds
  // ColorSpace 2 (Adobe RGB) and an exposure time
  Ifd d = GrayIfd(2, 1, {10, 20});
  d.entries.push_back({34665, kLong, {0}});
  ByteVec b = BuildTiff({d});
  std::size_t entry = 0;
  for (std::size_t at = 8; at + 12 <= b.size(); at += 2) {
    if (b[at] == 0x69 && b[at + 1] == 0x87 && b[at + 2] == kLong) {
      entry = at;
      break;
    }
  }
  ASSERT_NE(entry, 0u);
  const std::uint32_t exifAt = static_cast<std::uint32_t>(b.size());
  for (int i = 0; i < 4; ++i) b[entry + 8 + i] = static_cast<std::uint8_t>(exifAt >> (8 * i));
  const std::uint32_t ratAt = exifAt + 2 + 2 * 12 + 4;
  b.insert(b.end(), {2,
                     0,  // two entries
                     0x9A,
                     0x82,
                     5,
                     0,
                     1,
                     0,
                     0,
                     0,  // 33434 RATIONAL
                     static_cast<std::uint8_t>(ratAt),
                     static_cast<std::uint8_t>(ratAt >> 8),
                     0,
                     0,
                     0x01,
                     0xA0,
                     3,
                     0,
                     1,
                     0,
                     0,
                     0,
                     2,
                     0,
                     0,
                     0,  // 40961 SHORT 2
                     0,
                     0,
                     0,
                     0,  // no next IFD
                     1,
                     0,
                     0,
                     0,
                     125,
                     0,
                     0,
                     0});  // 1/125
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(Open(b, &dec), img::kOk);
  std::unique_ptr<img::Frame> f;
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  auto meta = f->Metadata();
  std::uint32_t space = 0;
  EXPECT_TRUE(img::ReadUInt(meta.get(), "/ifd/exif/{ushort=40961}", &space));
  EXPECT_EQ(space, 2u);
  img::PropValue v;
  ASSERT_EQ(meta->GetMetadataByName("/ifd/exif/{ushort=33434}", &v), img::kOk);
  EXPECT_EQ(v.vt, img::kVtUI8);
  EXPECT_EQ(v.u, 1u | (125ull << 32));
  auto contexts = f->ColorContexts();
  ASSERT_EQ(contexts.size(), 1u);
  EXPECT_EQ(contexts[0].type, img::ColorContext::Type::ExifColorSpace);
  EXPECT_EQ(contexts[0].exifColorSpace, 2u);
  EXPECT_EQ(DecodeBytes(ShareBytes(b)).hr, img::kOk);
}

TEST(Tiff, OrientationIsReadNotApplied) {
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateTiffDecoder(FixtureBytes("tiff_orient6.tif"), &dec), img::kOk);
  std::unique_ptr<img::Frame> f;
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  std::uint32_t o = 0;
  EXPECT_TRUE(img::ReadUInt(f->Metadata().get(), "/ifd/{ushort=274}", &o));
  EXPECT_EQ(o, 6u);
  auto d = DecodeFixture("tiff_orient6.tif");
  ASSERT_EQ(d.hr, img::kOk);
  ASSERT_EQ(d.width, 16u);
  ASSERT_EQ(d.height, 12u);
  EXPECT_EQ(d.At(0, 0), 0xFFFF0000u);
  EXPECT_EQ(d.At(15, 0), 0xFF00FF00u);
  EXPECT_EQ(d.At(0, 11), 0xFF0000FFu);
  EXPECT_EQ(d.At(15, 11), 0xFFFFFFFFu);

  // every orientation value, on a 3 x 2 gray picture: rows as stored
  const ByteVec px = {1, 2, 3, 4, 5, 6};
  for (std::uint32_t orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE(orientation);
    for (bool be : {false, true}) {
      ByteVec file = BuildTiff({GrayIfd(3, 2, px, orientation)}, be);
      std::unique_ptr<img::Decoder> hd;
      ASSERT_EQ(Open(file, &hd), img::kOk);
      ASSERT_EQ(hd->GetFrame(0, &f), img::kOk);
      o = 0;
      EXPECT_TRUE(img::ReadUInt(f->Metadata().get(), "/ifd/{ushort=274}", &o));
      EXPECT_EQ(o, orientation);
      auto g = DecodeBytes(ShareBytes(file));
      ASSERT_EQ(g.hr, img::kOk);
      EXPECT_EQ(g.native, PixelFormat::Gray8);
      ASSERT_EQ(g.width, 3u);
      ASSERT_EQ(g.height, 2u);
      for (std::uint32_t y = 0; y < 2; ++y) {
        for (std::uint32_t x = 0; x < 3; ++x) {
          const std::uint32_t v = px[y * 3 + x];
          EXPECT_EQ(g.At(x, y), 0xFF000000u | (v << 16) | (v << 8) | v);
        }
      }
    }
  }
}

TEST(Tiff, BigEndianAndBigTiffMetadata) {
  for (const char* name : {"tiff_be.tif", "tiff_rgb16_be.tif", "tiff_bigtiff.tif"}) {
    SCOPED_TRACE(name);
    std::unique_ptr<img::Decoder> dec;
    ASSERT_EQ(img::CreateTiffDecoder(FixtureBytes(name), &dec), img::kOk);
    EXPECT_EQ(dec->GetFrameCount(), 1u);
    std::unique_ptr<img::Frame> f;
    ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
    std::uint32_t v = 0;
    ASSERT_TRUE(f->Metadata());
    img::PropValue w;
    ASSERT_EQ(f->Metadata()->GetMetadataByName("/ifd/{ushort=256}", &w), img::kOk);
    EXPECT_EQ(w.u, 19u);
    EXPECT_TRUE(img::ReadUInt(f->Metadata().get(), "/ifd/{ushort=274}", &v));
    EXPECT_EQ(v, 1u);
  }
  auto le = DecodeFixture("tiff_strips_lzw.tif");
  auto be = DecodeFixture("tiff_be.tif");
  auto big = DecodeFixture("tiff_bigtiff.tif");
  EXPECT_EQ(le.bgra, be.bgra);
  EXPECT_EQ(le.bgra, big.bgra);
}

TEST(Tiff, CmykSamples) {
  for (const char* name : {"tiff_cmyk.tif", "tiff_cmyk_planar.tif", "tiff_cmyk16_tiles.tif"}) {
    SCOPED_TRACE(name);
    std::unique_ptr<img::Decoder> dec;
    ASSERT_EQ(img::CreateTiffDecoder(FixtureBytes(name), &dec), img::kOk);
    std::unique_ptr<img::Frame> f;
    ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
    const std::size_t w = f->Width(), h = f->Height();
    const std::size_t stride = w * 4 + 3;
    ByteVec buf(stride * h);
    ASSERT_EQ(f->CopyCmyk(buf.data(), stride, buf.size()), img::kOk);
    ByteVec ref = ReadBytes(Fixture(std::string(name) + ".cmyk"));
    ASSERT_EQ(ref.size(), w * h * 4);
    int bad = 0;
    for (std::size_t y = 0; y < h; ++y) {
      for (std::size_t i = 0; i < w * 4 && bad < 5; ++i) {
        // 16-bit samples keep their high byte; ImageMagick rounds
        if (std::abs(int{buf[y * stride + i]} - int{ref[y * w * 4 + i]}) > 1) {
          ++bad;
          ADD_FAILURE() << "sample " << i << " of row " << y;
        }
      }
    }
    EXPECT_EQ(f->CopyCmyk(buf.data(), stride, stride * (h - 1) + w * 4 - 1),
              img::kErrInsufficientBuffer);
    EXPECT_EQ(f->CopyCmyk(buf.data(), w * 4 - 1, buf.size()), img::kInvalidArg);
  }
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateTiffDecoder(FixtureBytes("tiff_strips_lzw.tif"), &dec), img::kOk);
  std::unique_ptr<img::Frame> f;
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  ByteVec buf(19 * 13 * 4);
  EXPECT_EQ(f->CopyCmyk(buf.data(), 19 * 4, buf.size()), img::kNotImpl);
}

TEST(Tiff, OutputFormatsAgree) {
  for (const char* name : {"tiff_strips_lzw.tif", "tiff_rgba_assoc.tif", "tiff_rgba_unassoc.tif",
                           "tiff_palette8.tif", "tiff_cmyk16_tiles.tif"}) {
    SCOPED_TRACE(name);
    auto bgra = DecodeFixture(name);
    ASSERT_EQ(bgra.hr, img::kOk);
    std::unique_ptr<img::Decoder> dec;
    ASSERT_EQ(img::CreateTiffDecoder(FixtureBytes(name), &dec), img::kOk);
    std::unique_ptr<img::Frame> f;
    ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
    const std::uint32_t w = f->Width(), h = f->Height();
    for (PixelFormat fmt :
         {PixelFormat::Bgra32, PixelFormat::Pbgra32, PixelFormat::Bgr32, PixelFormat::Bgr24}) {
      SCOPED_TRACE(img::PixelFormatName(fmt));
      const std::size_t bpp = fmt == PixelFormat::Bgr24 ? 3 : 4;
      // a padded stride, and a buffer that is not 4-byte aligned
      const std::size_t stride = w * bpp + 5;
      ByteVec buf(stride * h + 1, 0xCD);
      ASSERT_EQ(f->CopyPixels(fmt, buf.data() + 1, stride, buf.size() - 1), img::kOk);
      for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
          const std::uint8_t* s = &bgra.bgra[(y * w + x) * 4];
          const std::uint8_t* p = &buf[1 + y * stride + x * bpp];
          ByteVec want(s, s + 4);
          img::StoreBgraRow(s, 1, fmt, want.data());
          // premultiplied files give their own samples, not re-premultiplied
          // straight ones
          const int tol = std::string(name) == "tiff_rgba_assoc.tif" ? 1 : 0;
          for (std::size_t c = 0; c < bpp; ++c) {
            ASSERT_LE(std::abs(int{p[c]} - int{want[c]}), tol) << x << "," << y << " c" << c;
          }
        }
        for (std::size_t pad = w * bpp; pad < stride && y + 1 < h; ++pad) {
          ASSERT_EQ(buf[1 + y * stride + pad], 0xCD);
        }
      }
    }
  }
}

TEST(Tiff, CopyPixelsChecksArguments) {
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateTiffDecoder(FixtureBytes("tiff_strips_lzw.tif"), &dec), img::kOk);
  std::unique_ptr<img::Frame> f;
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  ByteVec buf(19 * 13 * 4);
  EXPECT_EQ(f->CopyPixels(PixelFormat::Bgra32, nullptr, 19 * 4, buf.size()), img::kInvalidArg);
  EXPECT_EQ(f->CopyPixels(PixelFormat::Bgra32, buf.data(), 19 * 4 - 1, buf.size()),
            img::kInvalidArg);
  EXPECT_EQ(f->CopyPixels(PixelFormat::Bgra32, buf.data(), 19 * 4, buf.size() - 1),
            img::kErrInsufficientBuffer);
  EXPECT_EQ(f->CopyPixels(PixelFormat::Gray8, buf.data(), 19 * 4, buf.size()), img::kInvalidArg);
  EXPECT_EQ(f->CopyPixels(PixelFormat::Bgra32, buf.data(), 19 * 4, buf.size()), img::kOk);
  // and again: a frame decodes as often as asked
  EXPECT_EQ(f->CopyPixels(PixelFormat::Bgra32, buf.data(), 19 * 4, buf.size()), img::kOk);
  std::unique_ptr<img::Frame> out;
  EXPECT_EQ(dec->GetFrame(0, nullptr), img::kPointer);
  EXPECT_EQ(img::CreateTiffDecoder(FixtureBytes("tiff_be.tif"), nullptr), img::kPointer);
}

TEST(Tiff, Recognition) {
  std::unique_ptr<img::Decoder> dec;
  EXPECT_EQ(img::CreateTiffDecoder(FixtureBytes("png_rgb16.png"), &dec),
            img::kErrUnknownImageFormat);
  EXPECT_EQ(img::CreateTiffDecoder(nullptr, &dec), img::kErrUnknownImageFormat);
  EXPECT_EQ(Open({}, &dec), img::kErrUnknownImageFormat);
  EXPECT_EQ(Open({'I', 'I', 42}, &dec), img::kErrUnknownImageFormat);
  EXPECT_EQ(Open({'I', 'I', 0, 42, 8, 0, 0, 0}, &dec), img::kErrUnknownImageFormat);
  EXPECT_EQ(Open({'M', 'M', 42, 0, 0, 0, 0, 8}, &dec), img::kErrUnknownImageFormat);
  // the signature with nothing usable after it
  EXPECT_EQ(Open({'I', 'I', 42, 0}, &dec), img::kErrBadHeader);
  EXPECT_EQ(Open({'M', 'M', 0, 42, 0, 0, 0, 0}, &dec), img::kErrBadHeader);
  EXPECT_EQ(Open({'I', 'I', 42, 0, 0xFF, 0xFF, 0, 0}, &dec), img::kErrBadHeader);
  EXPECT_EQ(Open({'I', 'I', 43, 0, 8, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0}, &dec), img::kErrBadHeader);
  EXPECT_FALSE(dec);
  // through the factory
  auto d = DecodeFixture("tiff_be.tif");
  EXPECT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.container, img::Container::Tiff);
  EXPECT_EQ(d.frames, 1u);
}

// ---------------------------------------------------------------------------
// Hostile files.

TEST(Tiff, IfdLoopsEndTheChain) {
  const ByteVec px = {1, 2, 3, 4};
  // IFD0 pointing at itself
  ByteVec one = BuildTiff({GrayIfd(2, 2, px)});
  const std::uint32_t ifd0 = one[4] | (one[5] << 8);
  one = BuildTiff({GrayIfd(2, 2, px)}, false, ifd0);
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(Open(one, &dec), img::kOk);
  EXPECT_EQ(dec->GetFrameCount(), 1u);
  EXPECT_EQ(DecodeBytes(ShareBytes(one)).hr, img::kOk);
  // IFD1 pointing back at IFD0
  ByteVec two = BuildTiff({GrayIfd(2, 2, px), GrayIfd(1, 1, {9})}, false, ifd0);
  ASSERT_EQ(Open(two, &dec), img::kOk);
  EXPECT_EQ(dec->GetFrameCount(), 2u);
  for (std::uint32_t i = 0; i < 2; ++i) {
    std::unique_ptr<img::Frame> f;
    ASSERT_EQ(dec->GetFrame(i, &f), img::kOk);
    EXPECT_EQ(f->Width(), i == 0 ? 2u : 1u);
    auto d = DecodeBytes(ShareBytes(two), i);
    EXPECT_EQ(d.hr, img::kOk);
  }
  // next offset beyond the file, and an IFD that does not fit
  ASSERT_EQ(Open(BuildTiff({GrayIfd(2, 2, px)}, false, 0x7FFFFFF0u), &dec), img::kOk);
  EXPECT_EQ(dec->GetFrameCount(), 1u);
}

TEST(Tiff, FrameCountIsCapped) {
  // 10005 empty directories after a real one: at most 10000 frames
  ByteVec b = BuildTiff({GrayIfd(1, 1, {7})});
  const std::size_t lastNext = b.size() - 4;  // no values beyond 4 bytes here
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  std::size_t prev = lastNext;
  for (int i = 0; i < 10005; ++i) {
    put32(prev, static_cast<std::uint32_t>(b.size()));
    b.push_back(0);
    b.push_back(0);  // no entries
    prev = b.size();
    b.insert(b.end(), {0, 0, 0, 0});
  }
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(Open(b, &dec), img::kOk);
  EXPECT_EQ(dec->GetFrameCount(), 10000u);
  std::unique_ptr<img::Frame> f;
  EXPECT_EQ(dec->GetFrame(0, &f), img::kOk);
  EXPECT_TRUE(img::Failed(dec->GetFrame(9999, &f)));  // no width, no height
}

TEST(Tiff, HostileDirectoriesFail) {
  std::unique_ptr<img::Decoder> dec;
  std::unique_ptr<img::Frame> f;
  // huge dimensions: refused before anything is allocated
  {
    Ifd d = GrayIfd(100000, 100000, {1, 2, 3, 4});
    ASSERT_EQ(Open(BuildTiff({d}), &dec), img::kOk);
    EXPECT_EQ(dec->GetFrame(0, &f), img::kOutOfMemory);
  }
  // exactly at the limit's edge: 300,000,001 pixels
  {
    Ifd d = GrayIfd(300000001, 1, {1});
    ASSERT_EQ(Open(BuildTiff({d}), &dec), img::kOk);
    EXPECT_EQ(dec->GetFrame(0, &f), img::kOutOfMemory);
  }
  // strip offset beyond the file
  {
    Ifd d = GrayIfd(2, 2, {1, 2, 3, 4});
    d.entries.push_back({273, kLong, {0x7FFFFF00u}});
    auto r = DecodeBytes(ShareBytes(BuildTiff({d})));
    EXPECT_TRUE(img::Failed(r.hr));
  }
  // strip byte count far beyond the file
  {
    Ifd d = GrayIfd(64, 64, {1, 2, 3, 4});
    d.entries.push_back({279, kLong, {0x7FFFFFFFu}});
    auto r = DecodeBytes(ShareBytes(BuildTiff({d})));
    EXPECT_TRUE(img::Failed(r.hr));
  }
  // too few pixel bytes at the end of the file (pixel bytes followed by
  // more of the file are taken as the strip, as libtiff estimates it)
  {
    auto r = DecodeBytes(ShareBytes(BuildTiff({GrayIfd(4, 4, {1, 2, 3})}, false, ~0u, true)));
    EXPECT_TRUE(img::Failed(r.hr));
  }
  // missing width
  {
    Ifd d = GrayIfd(2, 2, {1, 2, 3, 4});
    d.entries.erase(d.entries.begin());
    ASSERT_EQ(Open(BuildTiff({d}), &dec), img::kOk);
    EXPECT_TRUE(img::Failed(dec->GetFrame(0, &f)));
  }
  // zero height
  {
    ASSERT_EQ(Open(BuildTiff({GrayIfd(2, 0, {})}), &dec), img::kOk);
    EXPECT_TRUE(img::Failed(dec->GetFrame(0, &f)));
  }
  // alpha declared on a pixel without a sample for it, and samples of 0
  // bits: nothing is read past a row, whatever the result
  for (const Ifd& d : {SampleIfd(2, 1, kCieLab, 8, 3, {255, 0, 0, 0, 0, 0}, {kUnassoc}),
                       SampleIfd(2, 1, 3, 8, 1, {1, 2}, {kUnassoc, ColourMap(8, {0xFF0000})}),
                       SampleIfd(2, 1, 1, 0, 2, {0xFF}, {kUnassoc})}) {
    DecodeAll(ShareBytes(BuildTiff({d})));
  }
  // 24-bit samples, which neither libtiff's RGBA reader nor ours take: the
  // frame opens, copying fails
  {
    Ifd d = GrayIfd(2, 1, {1, 2, 3, 4, 5, 6});
    d.entries[2] = {258, kShort, {24}};
    ASSERT_EQ(Open(BuildTiff({d}), &dec), img::kOk);
    if (img::Succeeded(dec->GetFrame(0, &f))) {
      ByteVec buf(2 * 4);
      EXPECT_TRUE(img::Failed(f->CopyPixels(PixelFormat::Bgra32, buf.data(), 8, buf.size())));
    }
  }
}

TEST(Tiff, HugeTilesFailWithoutAllocating) {
  // a 2 x 2 CMYK picture in one 65520 x 65520 tile (17 GB decoded)
  Ifd d;
  d.entries = {{256, kLong, {2}},     {257, kLong, {2}},     {258, kShort, {8, 8, 8, 8}},
               {259, kShort, {1}},    {262, kShort, {5}},    {277, kShort, {4}},
               {322, kLong, {65520}}, {323, kLong, {65520}}, {324, kLong, {8}},
               {325, kLong, {16}}};
  d.pixels = ByteVec(16, 0x40);
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(Open(BuildTiff({d}), &dec), img::kOk);
  std::unique_ptr<img::Frame> f;
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  EXPECT_EQ(f->NativeFormat(), PixelFormat::Cmyk32);
  ByteVec buf(2 * 2 * 4);
  EXPECT_TRUE(img::Failed(f->CopyCmyk(buf.data(), 8, buf.size())));
  EXPECT_TRUE(img::Failed(f->CopyPixels(PixelFormat::Bgra32, buf.data(), 8, buf.size())));
  // the same with 16 x 16 tiles decodes
  d.entries[6] = {322, kLong, {16}};
  d.entries[7] = {323, kLong, {16}};
  d.entries[9] = {325, kLong, {16 * 16 * 4}};
  d.pixels = ByteVec(16 * 16 * 4, 0x40);
  ASSERT_EQ(Open(BuildTiff({d}), &dec), img::kOk);
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  ASSERT_EQ(f->CopyCmyk(buf.data(), 8, buf.size()), img::kOk);
  EXPECT_EQ(buf, ByteVec(16, 0x40));
  ASSERT_EQ(f->CopyPixels(PixelFormat::Bgra32, buf.data(), 8, buf.size()), img::kOk);
  // (255 - 64) × (255 - 64) / 255 = 143
  EXPECT_EQ(buf[0], 143);
  EXPECT_EQ(buf[3], 255);
}

TEST(Tiff, TruncationAtEveryLengthNeverCrashes) {
  for (const char* name :
       {"tiff_strips_lzw.tif", "tiff_tiles_zip.tif", "tiff_jpeg_ycbcr.tif", "tiff_multipage.tif",
        "tiff_bigtiff.tif", "tiff_cmyk16_tiles.tif", "tiff_g4.tif", "tiff_rgb16_be.tif",
        "dec17_lab16_tiles.tif", "dec17_palette_alpha.tif", "dec17_rgb10_planar.tif",
        "dec17_float64_pred2.tif", "dec17_gray4a.tif"}) {
    SCOPED_TRACE(name);
    const ByteVec bytes = ReadBytes(Fixture(name));
    ASSERT_FALSE(bytes.empty());
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      ByteVec prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      DecodeAll(ShareBytes(std::move(prefix)));
    }
  }
  // every hand-built sample layout, cut at every length
  for (const SampleCase& c : SampleCases()) {
    SCOPED_TRACE(c.name);
    const ByteVec bytes = BuildTiff({c.ifd});
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      DecodeAll(ShareBytes(ByteVec(bytes.begin(), bytes.begin() + static_cast<long>(n))));
    }
  }
  // ImageMagick writes the directory last: a file cut inside it fails
  const ByteVec lzw = ReadBytes(Fixture("tiff_strips_lzw.tif"));
  const std::size_t ifd0 = lzw[4] | (lzw[5] << 8) | (lzw[6] << 16);
  for (std::size_t n = ifd0; n < ifd0 + 8 * 12; ++n) {
    EXPECT_TRUE(img::Failed(
        DecodeBytes(ShareBytes(ByteVec(lzw.begin(), lzw.begin() + static_cast<long>(n)))).hr))
        << n;
  }
  // the directory first, the pixels cut short: the frame opens, copying fails
  const ByteVec file = BuildTiff({GrayIfd(64, 64, ByteVec(64 * 64, 0x55))}, false, ~0u, true);
  ASSERT_EQ(DecodeBytes(ShareBytes(file)).hr, img::kOk);
  auto cut = DecodeBytes(ShareBytes(ByteVec(file.begin(), file.end() - 100)));
  EXPECT_TRUE(img::Failed(cut.hr));
  EXPECT_EQ(cut.width, 64u);  // the frame itself opened
}

// Deterministic mutations of fixtures: whatever happens, no crash, no hang.
TEST(Tiff, MutatedFilesNeverCrash) {
  std::uint32_t seed = 4242;
  auto next = [&]() {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  std::vector<std::string> files;
  for (const FixtureCase& c : kFixtures) files.push_back(c.file);
  for (const char* f : {"dec17_lab16_tiles.tif", "dec17_palette_alpha.tif", "dec17_gray12.tif",
                        "dec17_rgb10_planar.tif", "dec17_float64_pred2.tif", "dec17_gray4a.tif",
                        "tiff_float.tif"}) {
    files.push_back(f);
  }
  for (const std::string& file : files) {
    const ByteVec original = ReadBytes(Fixture(file));
    // ImageMagick writes the directory after the pixels: half of the edits
    // go to the header and from the first directory on
    const bool be = original[0] == 'M';
    std::size_t ifd0 =
        be ? (original[4] << 24) | (original[5] << 16) | (original[6] << 8) | original[7]
           : original[4] | (original[5] << 8) | (original[6] << 16) | (original[7] << 24);
    if (original[2] == 43 || original[3] == 43) ifd0 = 16;  // BigTIFF: anywhere
    if (ifd0 >= original.size()) ifd0 = 0;
    for (int round = 0; round < 120; ++round) {
      ByteVec b = original;
      const int edits = 1 + static_cast<int>(next() % 4);
      for (int e = 0; e < edits; ++e) {
        std::size_t at = next() % b.size();
        if (next() % 2) at = next() % 3 == 0 ? next() % 16 : ifd0 + next() % (b.size() - ifd0);
        b[at] = static_cast<std::uint8_t>(next());
      }
      DecodeAll(ShareBytes(std::move(b)));
    }
  }
}

}  // namespace
