// BMP decoding: ImageMagick-made fixtures compared pixel by pixel with
// ImageMagick's own decoding of them, hand-built files for every header,
// bit depth and compression (known pixel values), output formats, and hostile
// bytes: lying headers, huge sizes, truncation at every length, mutations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "tests/support/test_support.h"

namespace {

using img::PixelFormat;
using testing_support::DecodeBytes;
using testing_support::DecodeFixture;
using testing_support::Fixture;
using testing_support::FixtureBytes;
using testing_support::Put16;
using testing_support::Put32;
using testing_support::ReadBytes;
using testing_support::ShareBytes;

using ByteVec = std::vector<std::uint8_t>;

// A BMP file built field by field.
struct BmpSpec {
  std::uint32_t headerSize = 40;
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::uint16_t bpp = 24;
  std::uint32_t compression = 0;
  std::uint32_t clrUsed = 0;
  // Inside V2+ headers (red, green, blue[, alpha]); after a 40-byte header
  // when `masksAfterHeader`.
  std::vector<std::uint32_t> masks;
  bool masksAfterHeader = false;
  std::vector<std::uint32_t> palette;  // 0xRRGGBB
  ByteVec pixels;                      // as stored, rows padded
  std::int64_t offBits = -1;           // -1: right after the colour table
  std::uint32_t gap = 0;               // bytes between colour table and pixels
};

ByteVec MakeBmp(const BmpSpec& s) {
  ByteVec h;
  if (s.headerSize == 12) {
    Put32(&h, 12);
    Put16(&h, static_cast<std::uint32_t>(s.width));
    Put16(&h, static_cast<std::uint32_t>(s.height));
    Put16(&h, 1);
    Put16(&h, s.bpp);
  } else {
    Put32(&h, s.headerSize);
    Put32(&h, static_cast<std::uint32_t>(s.width));
    Put32(&h, static_cast<std::uint32_t>(s.height));
    Put16(&h, 1);
    Put16(&h, s.bpp);
    Put32(&h, s.compression);
    Put32(&h, static_cast<std::uint32_t>(s.pixels.size()));
    Put32(&h, 2835);
    Put32(&h, 2835);
    Put32(&h, s.clrUsed);
    Put32(&h, 0);
    if (s.headerSize >= 52 && !s.masksAfterHeader) {
      for (std::size_t i = 0; i < (s.headerSize >= 56 ? 4u : 3u); ++i) {
        Put32(&h, i < s.masks.size() ? s.masks[i] : 0);
      }
    }
    h.resize(s.headerSize, 0);
    if (s.masksAfterHeader) {
      for (std::uint32_t m : s.masks) Put32(&h, m);
    }
  }
  for (std::uint32_t c : s.palette) {
    h.push_back(static_cast<std::uint8_t>(c));
    h.push_back(static_cast<std::uint8_t>(c >> 8));
    h.push_back(static_cast<std::uint8_t>(c >> 16));
    if (s.headerSize != 12) h.push_back(0);
  }
  h.resize(h.size() + s.gap, 0xEE);
  const std::uint32_t off = s.offBits >= 0 ? static_cast<std::uint32_t>(s.offBits)
                                           : static_cast<std::uint32_t>(14 + h.size());
  ByteVec f = {'B', 'M'};
  Put32(&f, static_cast<std::uint32_t>(14 + h.size() + s.pixels.size()));
  Put32(&f, 0);
  Put32(&f, off);
  f.insert(f.end(), h.begin(), h.end());
  f.insert(f.end(), s.pixels.begin(), s.pixels.end());
  return f;
}

img::HResult Open(const ByteVec& bytes, std::unique_ptr<img::Decoder>* dec) {
  return img::CreateBmpDecoder(ShareBytes(bytes), dec);
}

// True when the bytes open and frame 0 decodes.
bool Decodes(const ByteVec& bytes) { return img::Succeeded(DecodeBytes(ShareBytes(bytes)).hr); }

// Opens and decodes frame 0 when it has at most 4 M pixels (an RLE picture
// may state a large size in a few bytes); the result does not matter.
void DecodeCapped(const img::Bytes& bytes) {
  std::unique_ptr<img::Decoder> dec;
  if (img::Failed(img::CreateDecoderFromMemory(bytes, &dec))) return;
  std::unique_ptr<img::Frame> frame;
  if (img::Failed(dec->GetFrame(0, &frame))) return;
  const std::size_t w = frame->Width(), h = frame->Height();
  ASSERT_GT(w * h, 0u);
  if (w * h > (std::size_t{1} << 22)) return;
  ByteVec buf(w * h * 4);
  frame->CopyPixels(PixelFormat::Pbgra32, buf.data(), w * 4, buf.size());
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
    {"bmp_rgb24.bmp", 16, 12, PixelFormat::Bgr24, 0},
    {"bmp_pal1.bmp", 13, 5, PixelFormat::Indexed1, 0},
    {"bmp_pal4.bmp", 16, 12, PixelFormat::Indexed4, 0},
    {"bmp_pal8.bmp", 19, 5, PixelFormat::Indexed8, 0},
    {"bmp_rle8.bmp", 19, 5, PixelFormat::Indexed8, 0},
    {"bmp_565.bmp", 19, 5, PixelFormat::Bgr565, 1},
    {"bmp_555.bmp", 19, 5, PixelFormat::Bgr555, 1},
    {"bmp_argb32.bmp", 16, 12, PixelFormat::Bgra32, 0},
    // ImageMagick widens 4-bit samples by shifting (0xF becomes 0xF0); they
    // are scaled here (0xF becomes 0xFF)
    {"bmp_argb4444.bmp", 16, 12, PixelFormat::Bgra32, 15},
    {"bmp_core24.bmp", 16, 12, PixelFormat::Bgr24, 0},
    {"bmp_core8.bmp", 19, 5, PixelFormat::Indexed8, 0},
    {"bmp_v5pal4.bmp", 16, 12, PixelFormat::Indexed4, 0},
};

TEST(Bmp, FixturesMatchImageMagick) {
  for (const FixtureCase& c : kFixtures) {
    SCOPED_TRACE(c.file);
    auto d = DecodeFixture(c.file);
    ASSERT_EQ(d.hr, img::kOk);
    EXPECT_EQ(d.container, img::Container::Bmp);
    EXPECT_EQ(d.frames, 1u);
    EXPECT_EQ(d.native, c.native) << img::PixelFormatName(d.native);
    ASSERT_EQ(d.width, c.width);
    ASSERT_EQ(d.height, c.height);
    testing_support::ExpectMatchesRgba(d.bgra, c.width, std::string(c.file) + ".rgba", c.tolerance,
                                       testing_support::Clear::Exact);
  }
}

// OS/2 2.x bitmaps made from the 40-byte fixtures (same colour table and
// pixels under a 64- or 16-byte header), so they must decode alike.
// (ImageMagick is no oracle here: it reads their colour tables as 3-byte
// entries, where OS/2 2.x stores 4.)
struct Os2Fixture {
  const char* file;
  const char* source;
  PixelFormat native;
};

const Os2Fixture kOs2Fixtures[] = {
    {"dec17_os2v2_pal8.bmp", "bmp_pal8.bmp", PixelFormat::Indexed8},
    {"dec17_os2v2_rle8.bmp", "bmp_rle8.bmp", PixelFormat::Indexed8},
    {"dec17_os2v2_short24.bmp", "bmp_rgb24.bmp", PixelFormat::Bgr24},
};

TEST(Bmp, Os2V2FixturesDecodeLikeTheirSources) {
  for (const Os2Fixture& c : kOs2Fixtures) {
    SCOPED_TRACE(c.file);
    auto d = DecodeFixture(c.file);
    ASSERT_EQ(d.hr, img::kOk);
    EXPECT_EQ(d.container, img::Container::Bmp);
    EXPECT_EQ(d.native, c.native) << img::PixelFormatName(d.native);
    auto src = DecodeFixture(c.source);
    ASSERT_EQ(src.hr, img::kOk);
    ASSERT_EQ(d.width, src.width);
    ASSERT_EQ(d.height, src.height);
    EXPECT_EQ(d.bgra, src.bgra);
    testing_support::ExpectMatchesRgba(d.bgra, d.width, std::string(c.source) + ".rgba", 0,
                                       testing_support::Clear::Exact);
  }
}

// Known values, independent of ImageMagick.
TEST(Bmp, FixtureKnownPixels) {
  auto q = DecodeFixture("bmp_rgb24.bmp");
  ASSERT_EQ(q.hr, img::kOk);
  EXPECT_EQ(q.At(0, 0), 0xFFFF0000u);
  EXPECT_EQ(q.At(15, 0), 0xFF00FF00u);
  EXPECT_EQ(q.At(0, 11), 0xFF0000FFu);
  EXPECT_EQ(q.At(15, 11), 0xFFFFFFFFu);
  auto one = DecodeFixture("bmp_pal1.bmp");
  ASSERT_EQ(one.hr, img::kOk);
  EXPECT_EQ(one.At(0, 0), 0xFF000000u);
  EXPECT_EQ(one.At(5, 2), 0xFF000000u);
  EXPECT_EQ(one.At(6, 0), 0xFFFFFFFFu);
  EXPECT_EQ(one.At(12, 4), 0xFF000000u);
  EXPECT_EQ(one.At(11, 4), 0xFFFFFFFFu);
  auto a = DecodeFixture("bmp_argb32.bmp");
  ASSERT_EQ(a.hr, img::kOk);
  EXPECT_EQ(a.At(0, 0), 0xFFFF0000u);
  EXPECT_EQ(a.At(15, 0) >> 24, 0x7Fu);
  EXPECT_EQ(a.At(15, 11) >> 24, 0u);
  auto a16 = DecodeFixture("bmp_argb4444.bmp");
  ASSERT_EQ(a16.hr, img::kOk);
  EXPECT_EQ(a16.At(0, 0), 0xFFFF0000u);
  EXPECT_EQ(a16.At(15, 0), 0x6600FF00u);  // alpha 0.4 stored as 6 of 15
  EXPECT_EQ(a16.At(0, 11), 0xFF0000FFu);
  auto core = DecodeFixture("bmp_core24.bmp");
  ASSERT_EQ(core.hr, img::kOk);
  EXPECT_EQ(core.At(15, 0), 0xFF00FF00u);
}

// ---------------------------------------------------------------------------
// Hand-built files: every header, depth and compression.

constexpr std::uint32_t T = 0x00000000;  // a pixel an RLE stream left alone

struct HandCase {
  const char* name;
  BmpSpec spec;
  std::uint32_t width, height;
  PixelFormat native;
  std::vector<std::uint32_t> argb;  // top to bottom
};

const std::vector<std::uint32_t> kRgbw = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000};

// 2 × 2: red, green / blue, white, stored bottom row first.
const ByteVec k24BottomUp = {0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0, 0,
                             0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0, 0};

std::vector<HandCase> HandCases() {
  std::vector<HandCase> v;
  auto add = [&](const char* name, BmpSpec s, std::uint32_t w, std::uint32_t h, PixelFormat f,
                 std::vector<std::uint32_t> argb) {
    v.push_back({name, std::move(s), w, h, f, std::move(argb)});
  };
  BmpSpec s;

  // A header size and the name of the case that uses it.
  struct Header {
    std::uint32_t size;
    const char* name;
  };
  // k24BottomUp decoded, top row first.
  const std::vector<std::uint32_t> rgbw = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF};
  s = {};
  s.width = 2, s.height = 2, s.pixels = k24BottomUp;
  add("24-bit bottom-up", s, 2, 2, PixelFormat::Bgr24, rgbw);
  s.height = -2;
  add("24-bit top-down", s, 2, 2, PixelFormat::Bgr24,
      {0xFF0000FF, 0xFFFFFFFF, 0xFFFF0000, 0xFF00FF00});
  s.height = 2;
  // The same pixels under the other header sizes.
  for (const Header& h :
       {Header{124, "24-bit V5 header"}, Header{12, "24-bit core header"},
        Header{64, "24-bit OS/2 2.x header"}, Header{16, "24-bit OS/2 2.x short header"}}) {
    s.headerSize = h.size;
    add(h.name, s, 2, 2, PixelFormat::Bgr24, rgbw);
  }
  s.headerSize = 40, s.gap = 10;
  add("bfOffBits past the header", s, 2, 2, PixelFormat::Bgr24, rgbw);
  s.gap = 0, s.offBits = 0;
  add("bfOffBits zero", s, 2, 2, PixelFormat::Bgr24, rgbw);

  s = {};
  s.width = 3, s.height = 2, s.bpp = 1, s.palette = {0x112233, 0x445566};
  s.pixels = {0xA0, 0, 0, 0, 0x40, 0, 0, 0};  // bottom 1,0,1 / top 0,1,0
  for (const Header& h : {Header{40, "1-bit"}, Header{12, "1-bit core header (3-byte entries)"},
                          Header{16, "1-bit OS/2 2.x short header (4-byte entries)"}}) {
    s.headerSize = h.size;
    add(h.name, s, 3, 2, PixelFormat::Indexed1,
        {0xFF112233, 0xFF445566, 0xFF112233, 0xFF445566, 0xFF112233, 0xFF445566});
  }
  s.headerSize = 64, s.clrUsed = 1;
  add("1-bit OS/2 2.x header, one colour used", s, 3, 2, PixelFormat::Indexed1,
      {0xFF112233, 0xFF000000, 0xFF112233, 0xFF000000, 0xFF112233, 0xFF000000});

  s = {};
  s.width = 4, s.height = 1, s.bpp = 2, s.palette = {0x010203, 0x040506, 0x070809, 0x0A0B0C};
  s.pixels = {0x1B, 0, 0, 0};
  add("2-bit", s, 4, 1, PixelFormat::Indexed2, {0xFF010203, 0xFF040506, 0xFF070809, 0xFF0A0B0C});

  s = {};
  s.width = 3, s.height = 1, s.bpp = 4, s.clrUsed = 2, s.palette = {0xFF0000, 0x00FF00};
  s.pixels = {0x10, 0xF0, 0, 0};
  add("4-bit, index past the colour table", s, 3, 1, PixelFormat::Indexed4,
      {0xFF00FF00, 0xFFFF0000, 0xFF000000});

  s = {};
  s.width = 3, s.height = 1, s.bpp = 8, s.clrUsed = 3, s.palette = {0xFF0000, 0x00FF00, 0x0000FF};
  s.pixels = {2, 200, 0, 0};
  add("8-bit, index past the colour table", s, 3, 1, PixelFormat::Indexed8,
      {0xFF0000FF, 0xFF000000, 0xFFFF0000});
  s.clrUsed = 0xFFFFFFFF;  // a lying count: bfOffBits bounds the table
  add("8-bit, colour count past the file", s, 3, 1, PixelFormat::Indexed8,
      {0xFF0000FF, 0xFF000000, 0xFFFF0000});

  s = {};
  s.width = 2, s.height = 2, s.bpp = 16;
  s.pixels = {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0x10, 0x42};  // bottom row: red, green
  // top row stored second: blue, (16,16,16)
  add("16-bit default 555", s, 2, 2, PixelFormat::Bgr555,
      {0xFF0000FF, 0xFF848484, 0xFFFF0000, 0xFF00FF00});
  s.compression = 3, s.masks = {0xF800, 0x07E0, 0x001F}, s.masksAfterHeader = true;
  s.pixels = {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0x10, 0x84};
  add("16-bit bit fields 565", s, 2, 2, PixelFormat::Bgr565,
      {0xFF0000FF, 0xFF848284, 0xFFFF0000, 0xFF00FF00});
  s.headerSize = 52, s.masksAfterHeader = false;
  add("16-bit 565 in a V2 header", s, 2, 2, PixelFormat::Bgr565,
      {0xFF0000FF, 0xFF848284, 0xFFFF0000, 0xFF00FF00});
  s.headerSize = 56, s.masks = {0x7C00, 0x03E0, 0x001F, 0x8000};
  s.pixels = {0x00, 0xFC, 0x1F, 0x00, 0xE0, 0x83, 0x00, 0x00};
  add("16-bit 1555 in a V3 header", s, 2, 2, PixelFormat::Bgra32,
      {0xFF00FF00, 0x00000000, 0xFFFF0000, 0x000000FF});

  s = {};
  s.width = 2, s.height = 1, s.bpp = 32;
  s.pixels = {1, 2, 3, 0, 4, 5, 6, 0};
  add("32-bit BI_RGB, fourth bytes zero: opaque", s, 2, 1, PixelFormat::Bgr32,
      {0xFF030201, 0xFF060504});
  s.pixels = {1, 2, 3, 0x80, 4, 5, 6, 0};
  add("32-bit BI_RGB with alpha", s, 2, 1, PixelFormat::Bgra32, {0x80030201, 0x00060504});
  s.headerSize = 124, s.masks = {0xFF, 0xFF00, 0xFF0000, 0};  // ignored without bit fields
  add("32-bit BI_RGB V5, header masks ignored", s, 2, 1, PixelFormat::Bgra32,
      {0x80030201, 0x00060504});
  s = {};
  s.width = 2, s.height = 1, s.bpp = 32, s.compression = 3, s.masksAfterHeader = true;
  s.masks = {0xFF000000, 0x00FF0000, 0x0000FF00};
  s.pixels = {0x99, 0x11, 0x22, 0x33, 0x99, 0x44, 0x55, 0x66};
  add("32-bit bit fields RGBX", s, 2, 1, PixelFormat::Bgr32, {0xFF332211, 0xFF665544});
  s.compression = 6, s.masks = {0xFF, 0xFF00, 0xFF0000, 0xFF000000};
  s.pixels = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0xFF};
  add("32-bit alpha bit fields after a 40-byte header", s, 2, 1, PixelFormat::Bgra32,
      {0x40102030, 0xFF506070});
  s.compression = 3, s.masksAfterHeader = false, s.headerSize = 108;
  s.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
  s.pixels = {1, 2, 3, 0xFF, 4, 5, 6, 0x7F};
  add("32-bit bit fields with alpha, V4 header", s, 2, 1, PixelFormat::Bgra32,
      {0xFF030201, 0x7F060504});
  s.headerSize = 124;
  add("32-bit bit fields with alpha, V5 header", s, 2, 1, PixelFormat::Bgra32,
      {0xFF030201, 0x7F060504});
  s.pixels = {1, 2, 3, 0, 4, 5, 6, 0};
  add("32-bit alpha mask, every alpha zero: opaque", s, 2, 1, PixelFormat::Bgr32,
      {0xFF030201, 0xFF060504});

  // RLE8, 4 × 3: red run; absolute G B W (odd, padded); delta up one row to
  // x = 3; one white; end of bitmap.
  s = {};
  s.width = 4, s.height = 3, s.bpp = 8, s.compression = 1, s.palette = kRgbw;
  s.pixels = {3, 0, 0, 0, 0, 3, 1, 2, 3, 0, 0, 2, 0, 1, 1, 3, 0, 1};
  add("RLE8 with absolute run and delta", s, 4, 3, PixelFormat::Indexed8,
      {T, T, T, 0xFFFFFFFF,                    //
       0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF, T,  //
       0xFFFF0000, 0xFFFF0000, 0xFFFF0000, T});
  // a run past the row's end is clipped; a delta skipping two rows
  s.width = 2, s.height = 5;
  s.pixels = {6, 0, 0, 0, 0, 2, 1, 2, 1, 2, 0, 1};
  add("RLE8 clipped run, delta over rows", s, 2, 5, PixelFormat::Indexed8,
      {T, T, T, 0xFF0000FF, T, T, T, T, 0xFFFF0000, 0xFFFF0000});
  s.width = 2, s.height = -2;
  s.pixels = {2, 0, 0, 0, 2, 1, 0, 1};
  add("RLE8 top-down", s, 2, 2, PixelFormat::Indexed8,
      {0xFFFF0000, 0xFFFF0000, 0xFF00FF00, 0xFF00FF00});
  s.height = 2;
  s.pixels = {2, 0, 0, 0, 2, 1, 0, 0};  // no end of bitmap: the stream fills the picture
  add("RLE8 without end of bitmap", s, 2, 2, PixelFormat::Indexed8,
      {0xFF00FF00, 0xFF00FF00, 0xFFFF0000, 0xFFFF0000});
  s.pixels = {2, 0, 0, 2, 0, 5, 2, 1};  // delta past the top ends the picture
  add("RLE8 delta past the last row", s, 2, 2, PixelFormat::Indexed8,
      {T, T, 0xFFFF0000, 0xFFFF0000});

  // RLE4, 5 × 2: encoded 1,2 alternating; absolute 3,4,1 (even); delta
  // right one; one index 3; end of bitmap.
  s = {};
  s.width = 5, s.height = 2, s.bpp = 4, s.compression = 2, s.palette = kRgbw;
  s.pixels = {5, 0x01, 0, 0, 0, 3, 0x23, 0x00, 0, 2, 1, 0, 1, 0x20, 0, 1};
  add("RLE4 with absolute run and delta", s, 5, 2, PixelFormat::Indexed4,
      {0xFF0000FF, 0xFFFFFFFF, 0xFFFF0000, T, 0xFF0000FF,  //
       0xFFFF0000, 0xFF00FF00, 0xFFFF0000, 0xFF00FF00, 0xFFFF0000});
  // absolute run of 5 (3 bytes, padded), index 15 past the table
  s.height = 1;
  s.pixels = {0, 5, 0x01, 0x23, 0xF0, 0, 0, 1};
  add("RLE4 odd absolute run", s, 5, 1, PixelFormat::Indexed4,
      {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF, 0xFF000000});
  return v;
}

TEST(Bmp, HandBuiltFilesDecodeToKnownPixels) {
  for (const HandCase& c : HandCases()) {
    SCOPED_TRACE(c.name);
    auto d = DecodeBytes(ShareBytes(MakeBmp(c.spec)));
    ASSERT_EQ(d.hr, img::kOk);
    EXPECT_EQ(d.container, img::Container::Bmp);
    EXPECT_EQ(d.native, c.native) << img::PixelFormatName(d.native);
    ASSERT_EQ(d.width, c.width);
    ASSERT_EQ(d.height, c.height);
    ASSERT_EQ(c.argb.size(), std::size_t{c.width} * c.height);
    for (std::uint32_t y = 0; y < c.height; ++y) {
      for (std::uint32_t x = 0; x < c.width; ++x) {
        EXPECT_EQ(d.At(x, y), c.argb[y * c.width + x])
            << std::hex << "at " << std::dec << x << "," << y;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Output formats and CopyPixels arguments.

TEST(Bmp, OutputFormatsAgree) {
  auto straight = DecodeFixture("bmp_argb32.bmp", 0, PixelFormat::Bgra32);
  auto pre = DecodeFixture("bmp_argb32.bmp", 0, PixelFormat::Pbgra32);
  auto bgr32 = DecodeFixture("bmp_argb32.bmp", 0, PixelFormat::Bgr32);
  auto bgr24 = DecodeFixture("bmp_argb32.bmp", 0, PixelFormat::Bgr24);
  ASSERT_EQ(straight.hr, img::kOk);
  ASSERT_EQ(pre.hr, img::kOk);
  ASSERT_EQ(bgr32.hr, img::kOk);
  ASSERT_EQ(bgr24.hr, img::kOk);
  ByteVec expected = straight.bgra;
  img::Premultiply(expected.data(), expected.size() / 4);
  EXPECT_EQ(pre.bgra, expected);
  for (std::uint32_t y = 0; y < straight.height; ++y) {
    for (std::uint32_t x = 0; x < straight.width; ++x) {
      const std::uint32_t s = straight.At(x, y);
      EXPECT_EQ(bgr32.At(x, y), s | 0xFF000000u);
      EXPECT_EQ(bgr24.At(x, y), s | 0xFF000000u);
    }
  }
  // RLE output goes through the same row store
  auto rle = DecodeFixture("bmp_rle8.bmp", 0, PixelFormat::Bgr24);
  auto pal = DecodeFixture("bmp_pal8.bmp", 0, PixelFormat::Bgr24);
  ASSERT_EQ(rle.hr, img::kOk);
  EXPECT_EQ(rle.bgra, pal.bgra);
}

TEST(Bmp, CopyPixelsChecksArguments) {
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateBmpDecoder(FixtureBytes("bmp_rgb24.bmp"), &dec), img::kOk);
  EXPECT_EQ(dec->GetContainerFormat(), img::Container::Bmp);
  EXPECT_EQ(dec->GetFrameCount(), 1u);
  std::unique_ptr<img::Frame> frame;
  EXPECT_EQ(dec->GetFrame(1, &frame), img::kInvalidArg);
  ASSERT_EQ(dec->GetFrame(0, &frame), img::kOk);
  ByteVec buf(16 * 4 * 12 + 100);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Rgba32, buf.data(), 64, buf.size()), img::kInvalidArg);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgra32, buf.data(), 63, buf.size()), img::kInvalidArg);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgra32, nullptr, 64, buf.size()), img::kInvalidArg);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgra32, buf.data(), 64, 64 * 11 + 63),
            img::kErrInsufficientBuffer);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgra32, buf.data(), 64, 64 * 11 + 64), img::kOk);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgr24, buf.data(), 48, 48 * 12), img::kOk);
  // a wide stride leaves the gaps alone
  ByteVec wide(80 * 12, 0xAB);
  ASSERT_EQ(frame->CopyPixels(PixelFormat::Bgra32, wide.data(), 80, wide.size()), img::kOk);
  EXPECT_EQ(wide[64], 0xAB);
  EXPECT_EQ(wide[80 + 0], 0x00);  // row 1 starts with red: blue byte 0
  EXPECT_EQ(wide[80 + 2], 0xFF);
}

TEST(Bmp, RecognisedThroughTheFactory) {
  std::unique_ptr<img::Decoder> dec;
  EXPECT_EQ(img::CreateDecoderFromMemory(FixtureBytes("bmp_pal4.bmp"), &dec), img::kOk);
  ASSERT_TRUE(dec);
  EXPECT_EQ(dec->GetContainerFormat(), img::Container::Bmp);
  EXPECT_EQ(img::CreateBmpDecoder(FixtureBytes("ico_multi.ico"), &dec),
            img::kErrUnknownImageFormat);
  EXPECT_FALSE(dec);
  EXPECT_EQ(img::CreateBmpDecoder(nullptr, &dec), img::kErrUnknownImageFormat);
  EXPECT_EQ(img::CreateBmpDecoder(ShareBytes({'B'}), &dec), img::kErrUnknownImageFormat);
  EXPECT_EQ(img::CreateBmpDecoder(ShareBytes({'B', 'M'}), nullptr), img::kPointer);
}

// ---------------------------------------------------------------------------
// Hostile bytes.

struct BadCase {
  const char* name;
  BmpSpec spec;
  img::HResult hr;  // from CreateBmpDecoder
};

std::vector<BadCase> BadCases() {
  std::vector<BadCase> v;
  BmpSpec ok;
  ok.width = 2, ok.height = 2, ok.pixels = k24BottomUp;
  BmpSpec s = ok;
  s.headerSize = 60;
  v.push_back({"unknown header size", s, img::kErrBadHeader});
  s.headerSize = 20;
  v.push_back({"unknown header size between the OS/2 and info headers", s, img::kErrBadHeader});
  s = ok, s.headerSize = 64, s.bpp = 1, s.compression = 3, s.palette = {0, 0xFFFFFF};
  v.push_back({"OS/2 2.x Huffman 1D", s, img::kErrBadHeader});
  s = ok, s.headerSize = 64, s.compression = 4;
  v.push_back({"OS/2 2.x RLE24", s, img::kErrBadHeader});
  s = ok, s.headerSize = 64, s.bpp = 32, s.compression = 3, s.masks = {0xFF, 0xFF00, 0xFF0000};
  v.push_back({"bit fields are no OS/2 2.x compression", s, img::kErrBadHeader});
  s = ok, s.width = 0;
  v.push_back({"zero width", s, img::kErrBadHeader});
  s = ok, s.width = -2;
  v.push_back({"negative width", s, img::kErrBadHeader});
  s = ok, s.height = 0;
  v.push_back({"zero height", s, img::kErrBadHeader});
  s = ok, s.height = std::numeric_limits<std::int32_t>::min();
  v.push_back({"height INT_MIN", s, img::kOutOfMemory});
  s = ok, s.width = 100000, s.height = 100000;
  v.push_back({"above kMaxPixels", s, img::kOutOfMemory});
  s = ok, s.width = 20000, s.height = -10000;
  v.push_back({"more pixels than the file holds", s, img::kErrBadImage});
  s = ok, s.bpp = 1, s.width = 100000, s.height = 2000;
  v.push_back({"1-bit, more pixels than the file holds", s, img::kErrBadImage});
  s = ok, s.bpp = 1, s.width = 0x7FFFFFFF, s.height = 1;
  v.push_back({"1-bit, width near 2^31", s, img::kOutOfMemory});
  s = ok, s.bpp = 3;
  v.push_back({"3 bits a pixel", s, img::kErrBadHeader});
  s = ok, s.bpp = 0;
  v.push_back({"0 bits a pixel", s, img::kErrBadHeader});
  s = ok, s.compression = 1;
  v.push_back({"RLE8 on 24-bit", s, img::kErrBadHeader});
  s = ok, s.bpp = 8, s.compression = 2;
  v.push_back({"RLE4 on 8-bit", s, img::kErrBadHeader});
  s = ok, s.compression = 4;
  v.push_back({"embedded JPEG", s, img::kErrBadHeader});
  s = ok, s.compression = 3, s.masksAfterHeader = true;
  v.push_back({"bit fields on 24-bit", s, img::kErrBadHeader});
  s = ok, s.bpp = 32, s.compression = 3, s.masksAfterHeader = true, s.masks = {0xFF};
  s.pixels.resize(16);
  v.push_back({"bit fields cut short", s, img::kErrBadHeader});
  s = ok, s.offBits = 4000;
  v.push_back({"bfOffBits past the end", s, img::kErrBadImage});
  s = ok, s.offBits = 30;
  v.push_back({"bfOffBits inside the header", s, img::kErrBadHeader});
  s = ok, s.offBits = 0, s.bpp = 8, s.clrUsed = 0xFFFFFFFF;
  v.push_back({"colour count past the file, no bfOffBits", s, img::kErrBadImage});
  s = ok, s.headerSize = 12, s.bpp = 16;
  v.push_back({"16-bit core header", s, img::kErrBadHeader});
  s = ok, s.pixels.pop_back();
  v.push_back({"last row short", s, img::kErrBadImage});

  BmpSpec rle;
  rle.width = 4, rle.height = 2, rle.bpp = 8, rle.compression = 1, rle.palette = kRgbw;
  s = rle, s.pixels = {4, 1, 0, 0};
  v.push_back({"RLE stream ends early", s, img::kErrBadImage});
  s = rle, s.pixels = {4, 1, 0, 0, 0, 4, 1, 2};
  v.push_back({"RLE absolute run cut short", s, img::kErrBadImage});
  s = rle, s.pixels = {4, 1, 0, 0, 0, 2, 1};
  v.push_back({"RLE delta cut short", s, img::kErrBadImage});
  s = rle, s.pixels = {};
  v.push_back({"RLE stream empty", s, img::kErrBadImage});
  return v;
}

TEST(Bmp, HostileHeadersFail) {
  for (const BadCase& c : BadCases()) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<img::Decoder> dec;
    EXPECT_EQ(Open(MakeBmp(c.spec), &dec), c.hr);
    EXPECT_FALSE(dec);
  }
}

// An RLE picture may legitimately say more than its bytes: the end-of-bitmap
// escape leaves the rest transparent. Only one row is allocated.
TEST(Bmp, RleEndOfBitmapCoversTheRest) {
  BmpSpec s;
  s.width = 3000, s.height = 2000, s.bpp = 8, s.compression = 1, s.palette = kRgbw;
  s.pixels = {2, 1, 0, 1};
  auto d = DecodeBytes(ShareBytes(MakeBmp(s)));
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.At(0, 1999), 0xFF00FF00u);
  EXPECT_EQ(d.At(1, 1999), 0xFF00FF00u);
  EXPECT_EQ(d.At(2, 1999), T);
  EXPECT_EQ(d.At(2999, 0), T);
}

TEST(Bmp, TruncationAtEveryLengthFails) {
  std::vector<std::pair<std::string, ByteVec>> files;
  for (const FixtureCase& c : kFixtures) files.emplace_back(c.file, ReadBytes(Fixture(c.file)));
  for (const Os2Fixture& c : kOs2Fixtures) files.emplace_back(c.file, ReadBytes(Fixture(c.file)));
  for (const HandCase& c : HandCases()) files.emplace_back(c.name, MakeBmp(c.spec));
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(Decodes(bytes));
    // An RLE stream that has filled the last row needs no end-of-bitmap
    // escape, so its last two bytes may go.
    const bool rle = bytes.size() > 34 && (bytes[30] == 1 || bytes[30] == 2) && bytes[14] != 12;
    const std::size_t mustFailBelow = rle ? bytes.size() - 2 : bytes.size();
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      ByteVec prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      const bool ok = Decodes(prefix);
      if (n < mustFailBelow) {
        EXPECT_FALSE(ok) << "prefix of " << n << " bytes decodes";
      }
    }
  }
}

// Deterministic mutations of every fixture: whatever happens, no crash, no
// hang, and success only with the frame's full pixels.
TEST(Bmp, MutatedFilesNeverCrash) {
  std::uint32_t seed = 12345;
  auto next = [&]() {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  std::vector<std::string> files;
  for (const FixtureCase& c : kFixtures) files.push_back(c.file);
  for (const Os2Fixture& c : kOs2Fixtures) files.push_back(c.file);
  for (const std::string& file : files) {
    const ByteVec original = ReadBytes(Fixture(file));
    for (int round = 0; round < 300; ++round) {
      ByteVec b = original;
      const int edits = 1 + static_cast<int>(next() % 4);
      for (int e = 0; e < edits; ++e) {
        // bias towards the headers, where the sizes live
        const std::size_t span = next() % 2 ? std::min<std::size_t>(b.size(), 140) : b.size();
        b[next() % span] = static_cast<std::uint8_t>(next());
      }
      DecodeCapped(ShareBytes(std::move(b)));
    }
  }
}

}  // namespace
