// ICO and CUR decoding: ImageMagick-made fixtures (DIB and PNG entries)
// against ImageMagick's own decoding, hand-built icons for every depth, the
// AND mask and alpha, entries outside the file, lying DIB headers,
// truncation at every length and mutated bytes.
#include <gtest/gtest.h>

#include <cstring>
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

// An icon's DIB: BITMAPINFOHEADER (height counted twice), colour table,
// colour rows and AND mask rows, both bottom-up and padded by the caller.
struct DibSpec {
  std::int32_t width = 2;
  std::int32_t height = 2;  // the picture's; the header gets twice this
  std::uint16_t bpp = 24;
  std::uint32_t compression = 0;
  std::vector<std::uint32_t> palette;  // 0xRRGGBB
  ByteVec pixels;
  ByteVec mask;
  std::int64_t clrUsed = -1;  // -1: the palette's size
};

ByteVec MakeDib(const DibSpec& s) {
  ByteVec d;
  Put32(&d, 40);
  Put32(&d, static_cast<std::uint32_t>(s.width));
  Put32(&d, static_cast<std::uint32_t>(s.height * 2));
  Put16(&d, 1);
  Put16(&d, s.bpp);
  Put32(&d, s.compression);
  Put32(&d, static_cast<std::uint32_t>(s.pixels.size() + s.mask.size()));
  Put32(&d, 0);
  Put32(&d, 0);
  Put32(&d, static_cast<std::uint32_t>(s.clrUsed >= 0 ? s.clrUsed : s.palette.size()));
  Put32(&d, 0);
  for (std::uint32_t c : s.palette) Put32(&d, c & 0xFFFFFF);
  d.insert(d.end(), s.pixels.begin(), s.pixels.end());
  d.insert(d.end(), s.mask.begin(), s.mask.end());
  return d;
}

struct EntrySpec {
  ByteVec data;
  std::uint8_t width = 0, height = 0;  // directory bytes (0 means 256)
  std::int64_t offset = -1;            // -1: where the data is placed
  std::int64_t bytes = -1;             // -1: the data's size
};

ByteVec MakeIco(const std::vector<EntrySpec>& entries, std::uint16_t type = 1) {
  ByteVec f;
  Put16(&f, 0);
  Put16(&f, type);
  Put16(&f, static_cast<std::uint32_t>(entries.size()));
  std::size_t at = 6 + 16 * entries.size();
  for (const EntrySpec& e : entries) {
    f.push_back(e.width);
    f.push_back(e.height);
    f.push_back(0);
    f.push_back(0);
    Put16(&f, 1);
    Put16(&f, 32);
    Put32(&f, static_cast<std::uint32_t>(e.bytes >= 0 ? e.bytes : e.data.size()));
    Put32(&f, static_cast<std::uint32_t>(e.offset >= 0 ? e.offset : at));
    at += e.data.size();
  }
  for (const EntrySpec& e : entries) f.insert(f.end(), e.data.begin(), e.data.end());
  return f;
}

// A 2 × 2 24-bit icon: red, green / blue, white; the AND mask hides the
// top-right pixel.
DibSpec Rgb24Icon() {
  DibSpec s;
  s.pixels = {0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0, 0,   // bottom: blue, white
              0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0, 0};  // top: red, green
  s.mask = {0x00, 0, 0, 0, 0x40, 0, 0, 0};
  return s;
}

// Opens, then decodes every frame of at most 4 M pixels; true when all of
// them decode.
bool AllFramesDecode(const ByteVec& bytes) {
  std::unique_ptr<img::Decoder> dec;
  if (img::Failed(img::CreateDecoderFromMemory(ShareBytes(bytes), &dec))) return false;
  bool all = true;
  for (std::uint32_t i = 0; i < dec->GetFrameCount(); ++i) {
    std::unique_ptr<img::Frame> frame;
    if (img::Failed(dec->GetFrame(i, &frame))) {
      all = false;
      continue;
    }
    const std::size_t w = frame->Width(), h = frame->Height();
    if (w == 0 || h == 0) {
      ADD_FAILURE() << "frame " << i << " has no pixels";
      return false;
    }
    if (w * h > (std::size_t{1} << 22)) continue;
    ByteVec buf(w * h * 4);
    if (img::Failed(frame->CopyPixels(PixelFormat::Pbgra32, buf.data(), w * 4, buf.size()))) {
      all = false;
    }
  }
  return all;
}

void ExpectMatchesReference(const char* file) {
  SCOPED_TRACE(file);
  auto d = DecodeFixture(file);
  ASSERT_EQ(d.hr, img::kOk);
  testing_support::ExpectMatchesRgba(d.bgra, d.width, std::string(file) + ".rgba", 0,
                                     testing_support::Clear::Exact);
}

// ---------------------------------------------------------------------------
// Fixtures.

TEST(Ico, MultiSizeIconWithPngEntries) {
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateDecoderFromMemory(FixtureBytes("ico_multi.ico"), &dec), img::kOk);
  EXPECT_EQ(dec->GetContainerFormat(), img::Container::Ico);
  ASSERT_EQ(dec->GetFrameCount(), 3u);
  const std::uint32_t sizes[] = {16, 256, 256};
  for (std::uint32_t i = 0; i < 3; ++i) {
    std::unique_ptr<img::Frame> frame;
    ASSERT_EQ(dec->GetFrame(i, &frame), img::kOk) << i;
    EXPECT_EQ(frame->Width(), sizes[i]);
    EXPECT_EQ(frame->Height(), sizes[i]);
  }
  std::unique_ptr<img::Frame> frame;
  EXPECT_EQ(dec->GetFrame(3, &frame), img::kInvalidArg);
  EXPECT_FALSE(frame);

  auto small = DecodeFixture("ico_multi.ico", 0);
  ASSERT_EQ(small.hr, img::kOk);
  EXPECT_EQ(small.native, PixelFormat::Bgra32);
  EXPECT_EQ(small.At(0, 0), 0x00000000u);  // transparent through alpha
  EXPECT_EQ(small.At(1, 0), 0xFFFF0000u);
  EXPECT_EQ(small.At(15, 15), 0xFFFFFFFFu);
  ExpectMatchesReference("ico_multi.ico");

  // the PNG entries: the quadrants, then mirrored
  auto a = DecodeFixture("ico_multi.ico", 1);
  ASSERT_EQ(a.hr, img::kOk);
  EXPECT_EQ(a.At(0, 0), 0xFFFF0000u);
  EXPECT_EQ(a.At(255, 0), 0xFF00FF00u);
  EXPECT_EQ(a.At(0, 255), 0xFF0000FFu);
  EXPECT_EQ(a.At(255, 255), 0xFFFFFFFFu);
  auto b = DecodeFixture("ico_multi.ico", 2);
  ASSERT_EQ(b.hr, img::kOk);
  EXPECT_EQ(b.At(0, 0), 0xFF00FF00u);
  EXPECT_EQ(b.At(255, 0), 0xFFFF0000u);
  EXPECT_EQ(b.At(0, 255), 0xFFFFFFFFu);
}

TEST(Ico, AndMaskFixture) {
  auto d = DecodeFixture("ico_pal4mask.ico");
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.container, img::Container::Ico);
  EXPECT_EQ(d.frames, 1u);
  EXPECT_EQ(d.native, PixelFormat::Bgra32);
  EXPECT_EQ(d.At(0, 0), 0x00000000u);  // transparent through the AND mask
  EXPECT_EQ(d.At(1, 0), 0xFFFF0000u);
  EXPECT_EQ(d.At(0, 1), 0xFFFF0000u);
  EXPECT_EQ(d.At(15, 0), 0xFF00FF00u);
  ExpectMatchesReference("ico_pal4mask.ico");
}

TEST(Ico, CursorFixture) {
  auto d = DecodeFixture("ico_cursor.cur");
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.container, img::Container::Ico);
  EXPECT_EQ(d.width, 16u);
  ExpectMatchesReference("ico_cursor.cur");
}

// ---------------------------------------------------------------------------
// Hand-built icons.

struct HandCase {
  const char* name;
  DibSpec dib;
  std::uint32_t width, height;
  std::vector<std::uint32_t> argb;  // top to bottom
};

std::vector<HandCase> HandCases() {
  std::vector<HandCase> v;
  DibSpec s = Rgb24Icon();
  v.push_back({"24-bit with AND mask", s, 2, 2, {0xFFFF0000, 0x00000000, 0xFF0000FF, 0xFFFFFFFF}});

  s = {};
  s.bpp = 1, s.palette = {0x000000, 0xFFFFFF};
  s.pixels = {0x40, 0, 0, 0, 0x80, 0, 0, 0};  // bottom: 0 1, top: 1 0
  s.mask = {0x80, 0, 0, 0, 0x00, 0, 0, 0};    // bottom-left hidden
  v.push_back({"1-bit", s, 2, 2, {0xFFFFFFFF, 0xFF000000, 0x00000000, 0xFFFFFFFF}});

  s = {};
  s.width = 3, s.height = 1, s.bpp = 4, s.palette = {0xFF0000, 0x00FF00};
  s.pixels = {0x01, 0x50, 0, 0};  // 0, 1, 5 (past the table: black)
  s.mask = {0x20, 0, 0, 0};       // third pixel hidden
  v.push_back({"4-bit, index past the table", s, 3, 1, {0xFFFF0000, 0xFF00FF00, 0x00000000}});
  s.mask = {0, 0, 0, 0};
  v.push_back(
      {"4-bit, index past the table, shown", s, 3, 1, {0xFFFF0000, 0xFF00FF00, 0xFF000000}});

  s = {};
  s.width = 2, s.height = 1, s.bpp = 8, s.palette = {0x123456, 0xABCDEF};
  s.pixels = {1, 0, 0, 0};
  s.mask = {0x40, 0, 0, 0};
  v.push_back({"8-bit", s, 2, 1, {0xFFABCDEF, 0x00000000}});

  s = {};
  s.width = 2, s.height = 1, s.bpp = 16;
  s.pixels = {0x00, 0x7C, 0x1F, 0x00};
  s.mask = {0x40, 0, 0, 0};
  v.push_back({"16-bit 555", s, 2, 1, {0xFFFF0000, 0x00000000}});

  s = {};
  s.width = 2, s.height = 2, s.bpp = 32;
  s.pixels = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
  s.mask = {0x80, 0, 0, 0, 0x00, 0, 0, 0};
  v.push_back({"32-bit without alpha: the mask applies",
               s,
               2,
               2,
               {0xFF090807, 0xFF0C0B0A, 0x00000000, 0xFF060504}});
  s.pixels = {1, 2, 3, 0xFF, 4, 5, 6, 0x40, 7, 8, 9, 0, 10, 11, 12, 0xFF};
  s.mask = {0xC0, 0, 0, 0, 0xC0, 0, 0, 0};
  v.push_back({"32-bit with alpha: the mask is ignored",
               s,
               2,
               2,
               {0x00090807, 0xFF0C0B0A, 0xFF030201, 0x40060504}});
  return v;
}

TEST(Ico, HandBuiltIconsDecodeToKnownPixels) {
  for (const HandCase& c : HandCases()) {
    SCOPED_TRACE(c.name);
    auto d = DecodeBytes(ShareBytes(MakeIco({{MakeDib(c.dib), 2, 2}})));
    ASSERT_EQ(d.hr, img::kOk);
    EXPECT_EQ(d.container, img::Container::Ico);
    EXPECT_EQ(d.native, PixelFormat::Bgra32);
    ASSERT_EQ(d.width, c.width);
    ASSERT_EQ(d.height, c.height);
    for (std::uint32_t y = 0; y < c.height; ++y) {
      for (std::uint32_t x = 0; x < c.width; ++x) {
        EXPECT_EQ(d.At(x, y), c.argb[y * c.width + x])
            << std::hex << "at " << std::dec << x << "," << y;
      }
    }
  }
}

TEST(Ico, SizesComeFromTheImagesNotTheDirectory) {
  // 16 × 16 and two 256 × 256 1-bit entries (directory sizes 16 and 0)
  auto icon = [](std::int32_t n, std::uint32_t colour) {
    DibSpec s;
    s.width = n, s.height = n, s.bpp = 1, s.palette = {0x000000, colour};
    const std::size_t row = static_cast<std::size_t>((n + 31) / 32 * 4);
    s.pixels.assign(row * static_cast<std::size_t>(n), 0xFF);
    s.mask.assign(row * static_cast<std::size_t>(n), 0x00);
    return MakeDib(s);
  };
  ByteVec file = MakeIco({{icon(16, 0xFF0000), 16, 16},
                          {icon(256, 0x00FF00), 0, 0},
                          {icon(256, 0x0000FF), 7, 9}});  // a lying directory
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateIcoDecoder(ShareBytes(file), &dec), img::kOk);
  ASSERT_EQ(dec->GetFrameCount(), 3u);
  const std::uint32_t sizes[] = {16, 256, 256};
  const std::uint32_t colours[] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF};
  for (std::uint32_t i = 0; i < 3; ++i) {
    auto d = DecodeBytes(ShareBytes(file), i);
    ASSERT_EQ(d.hr, img::kOk) << i;
    EXPECT_EQ(d.frames, 3u);
    EXPECT_EQ(d.width, sizes[i]);
    EXPECT_EQ(d.height, sizes[i]);
    EXPECT_EQ(d.At(sizes[i] - 1, sizes[i] - 1), colours[i]);
  }
}

TEST(Ico, PngEntryBesideDibEntry) {
  ByteVec png = ReadBytes(Fixture("png_palette_trns.png"));
  ASSERT_FALSE(png.empty());
  ByteVec file = MakeIco({{MakeDib(Rgb24Icon()), 2, 2}, {png, 4, 2}});
  auto d = DecodeBytes(ShareBytes(file), 1);
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.frames, 2u);
  EXPECT_EQ(d.width, 4u);
  EXPECT_EQ(d.height, 2u);
  EXPECT_EQ(d.At(0, 0), 0xFFFF0000u);
  EXPECT_EQ(d.At(2, 0), 0x00000000u);
  // a broken PNG entry fails alone
  ByteVec broken(png.begin(), png.begin() + 40);
  file = MakeIco({{MakeDib(Rgb24Icon()), 2, 2}, {broken, 4, 2}});
  EXPECT_EQ(DecodeBytes(ShareBytes(file), 0).hr, img::kOk);
  EXPECT_TRUE(img::Failed(DecodeBytes(ShareBytes(file), 1).hr));
}

TEST(Ico, OutputFormats) {
  ByteVec file = MakeIco({{MakeDib(Rgb24Icon()), 2, 2}});
  auto pre = DecodeBytes(ShareBytes(file), 0, PixelFormat::Pbgra32);
  auto bgr = DecodeBytes(ShareBytes(file), 0, PixelFormat::Bgr24);
  auto bgrx = DecodeBytes(ShareBytes(file), 0, PixelFormat::Bgr32);
  ASSERT_EQ(pre.hr, img::kOk);
  ASSERT_EQ(bgr.hr, img::kOk);
  ASSERT_EQ(bgrx.hr, img::kOk);
  EXPECT_EQ(pre.At(1, 0), 0x00000000u);
  EXPECT_EQ(bgr.At(0, 0), 0xFFFF0000u);
  EXPECT_EQ(bgrx.At(1, 0), 0xFF000000u);  // hidden pixel: black, opaque
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateIcoDecoder(ShareBytes(file), &dec), img::kOk);
  std::unique_ptr<img::Frame> frame;
  ASSERT_EQ(dec->GetFrame(0, &frame), img::kOk);
  ByteVec buf(16);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Gray8, buf.data(), 8, buf.size()), img::kInvalidArg);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgra32, buf.data(), 7, buf.size()), img::kInvalidArg);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgra32, buf.data(), 8, 15), img::kErrInsufficientBuffer);
}

TEST(Ico, FrameSizeFromTheHeadersAgreesWithTheFrame) {
  const ByteVec png = ReadBytes(Fixture("png_palette_trns.png"));  // 4 × 2
  ASSERT_GT(png.size(), 33u);
  auto withIhdr = [&](std::uint32_t w, std::uint32_t h, std::uint8_t colourType) {
    ByteVec b = png;
    for (int k = 0; k < 4; ++k) {
      b[16 + k] = static_cast<std::uint8_t>(w >> (24 - 8 * k));
      b[20 + k] = static_cast<std::uint8_t>(h >> (24 - 8 * k));
    }
    b[25] = colourType;
    return b;
  };
  DibSpec cut = Rgb24Icon();
  cut.mask.resize(4);  // the AND mask's last row missing
  const ByteVec dib = MakeDib(Rgb24Icon());
  struct Case {
    const char* name;
    EntrySpec entry;
    img::HResult expected;
    std::uint32_t width, height;
  };
  const Case cases[] = {
      {"DIB", {dib, 2, 2}, img::kOk, 2, 2},
      {"DIB whose mask runs past its bytes", {MakeDib(cut), 2, 2}, img::kErrBadImage, 0, 0},
      {"PNG", {png, 4, 2}, img::kOk, 4, 2},
      // the pixels are not needed to know the size
      {"PNG of signature and IHDR only", {ByteVec(png.begin(), png.begin() + 33)}, img::kOk, 4, 2},
      {"PNG cut inside IHDR", {ByteVec(png.begin(), png.begin() + 28)}, img::kErrBadHeader, 0, 0},
      {"PNG signature alone", {ByteVec(png.begin(), png.begin() + 8)}, img::kErrBadHeader, 0, 0},
      {"PNG of too many pixels", {withIhdr(20000, 20000, 3)}, img::kOutOfMemory, 0, 0},
      {"PNG of an unknown colour type", {withIhdr(4, 2, 5)}, img::kErrBadHeader, 0, 0},
      {"PNG of zero width", {withIhdr(0, 2, 3)}, img::kErrBadHeader, 0, 0},
      {"entry outside the file", {dib, 2, 2, 100000, 40}, img::kErrBadImage, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<img::Decoder> dec;
    ASSERT_EQ(img::CreateIcoDecoder(ShareBytes(MakeIco({{dib, 2, 2}, c.entry})), &dec), img::kOk);
    std::uint32_t w = 0, h = 0;
    EXPECT_EQ(dec->GetFrameSize(1, &w, &h), c.expected);
    std::unique_ptr<img::Frame> frame;
    EXPECT_EQ(dec->GetFrame(1, &frame), c.expected);
    if (c.expected != img::kOk) continue;
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Width(), w);
    EXPECT_EQ(frame->Height(), h);
  }
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateIcoDecoder(ShareBytes(MakeIco({{dib, 2, 2}})), &dec), img::kOk);
  std::uint32_t w = 0, h = 0;
  EXPECT_EQ(dec->GetFrameSize(1, &w, &h), img::kInvalidArg);
  EXPECT_EQ(dec->GetFrameSize(0, nullptr, &h), img::kPointer);
  EXPECT_EQ(dec->GetFrameSize(0, &w, nullptr), img::kPointer);
}

// ---------------------------------------------------------------------------
// Hostile bytes.

TEST(Ico, EntryOutsideTheFile) {
  const ByteVec good = MakeDib(Rgb24Icon());
  struct Case {
    const char* name;
    std::int64_t offset, bytes;
  };
  const Case cases[] = {
      {"offset past the end", 100000, 40},
      {"data running past the end", 22 + 16, 4000},
      {"offset + size wrapping 32 bits", 0xFFFFFFF0, 0x20},
      {"no bytes", 22 + 16, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EntrySpec bad{good, 2, 2, c.offset, c.bytes};
    ByteVec file = MakeIco({{good, 2, 2}, bad});
    std::unique_ptr<img::Decoder> dec;
    ASSERT_EQ(img::CreateIcoDecoder(ShareBytes(file), &dec), img::kOk);
    ASSERT_EQ(dec->GetFrameCount(), 2u);
    std::unique_ptr<img::Frame> frame;
    EXPECT_EQ(dec->GetFrame(1, &frame), img::kErrBadImage);
    EXPECT_FALSE(frame);
    EXPECT_EQ(dec->GetFrame(0, &frame), img::kOk);
    // with no sane entry the file does not open
    file = MakeIco({bad});
    EXPECT_EQ(img::CreateIcoDecoder(ShareBytes(file), &dec), img::kErrBadImage);
    EXPECT_FALSE(dec);
  }
}

TEST(Ico, DirectoryChecks) {
  const ByteVec good = MakeIco({{MakeDib(Rgb24Icon()), 2, 2}});
  std::unique_ptr<img::Decoder> dec;
  auto open = [&](ByteVec b) { return img::CreateIcoDecoder(ShareBytes(std::move(b)), &dec); };
  EXPECT_EQ(open(good), img::kOk);
  EXPECT_EQ(open(MakeIco({{MakeDib(Rgb24Icon()), 2, 2}}, 2)), img::kOk);  // cursor
  ByteVec b = good;
  b[0] = 1;
  EXPECT_EQ(open(b), img::kErrUnknownImageFormat);  // reserved
  b = good, b[2] = 3;
  EXPECT_EQ(open(b), img::kErrUnknownImageFormat);  // type
  b = good, b[2] = 0;
  EXPECT_EQ(open(b), img::kErrUnknownImageFormat);
  b = good, b[4] = 0;
  EXPECT_EQ(open(b), img::kErrUnknownImageFormat);  // no entries
  b = ByteVec(good.begin(), good.begin() + 5);
  EXPECT_EQ(open(b), img::kErrUnknownImageFormat);
  b = good, b[4] = 0xFF, b[5] = 0xFF;  // 65535 entries in a small file
  EXPECT_EQ(open(b), img::kErrBadHeader);
  b = ByteVec(good.begin(), good.begin() + 21);
  EXPECT_EQ(open(b), img::kErrBadHeader);
  EXPECT_EQ(img::CreateIcoDecoder(nullptr, &dec), img::kErrUnknownImageFormat);
  EXPECT_EQ(img::CreateIcoDecoder(ShareBytes(good), nullptr), img::kPointer);
  EXPECT_EQ(img::CreateIcoDecoder(FixtureBytes("bmp_rgb24.bmp"), &dec),
            img::kErrUnknownImageFormat);
}

TEST(Ico, LyingDibHeadersFail) {
  struct Case {
    const char* name;
    DibSpec dib;
    img::HResult hr;  // from GetFrame
  };
  std::vector<Case> cases;
  DibSpec s = Rgb24Icon();
  s.mask.clear();
  cases.push_back({"AND mask missing", s, img::kErrBadImage});
  s = Rgb24Icon(), s.mask.pop_back();
  cases.push_back({"AND mask short", s, img::kErrBadImage});
  s = Rgb24Icon(), s.width = 100000, s.height = 100000;
  cases.push_back({"above kMaxPixels", s, img::kOutOfMemory});
  s = Rgb24Icon(), s.width = 20000, s.height = 10000;
  cases.push_back({"more pixels than the entry holds", s, img::kErrBadImage});
  s = Rgb24Icon(), s.width = 0;
  cases.push_back({"zero width", s, img::kErrBadHeader});
  s = Rgb24Icon(), s.bpp = 8, s.compression = 1;
  cases.push_back({"RLE", s, img::kErrBadHeader});
  s = Rgb24Icon(), s.bpp = 7;
  cases.push_back({"7 bits a pixel", s, img::kErrBadHeader});
  s = Rgb24Icon(), s.bpp = 8, s.clrUsed = 1000;
  cases.push_back({"colour table eating the pixels", s, img::kErrBadImage});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<img::Decoder> dec;
    ASSERT_EQ(img::CreateIcoDecoder(ShareBytes(MakeIco({{MakeDib(c.dib), 2, 2}})), &dec), img::kOk);
    std::unique_ptr<img::Frame> frame;
    EXPECT_EQ(dec->GetFrame(0, &frame), c.hr);
    EXPECT_FALSE(frame);
  }
  // a header that halves to no rows, an unknown header size
  ByteVec dib = MakeDib(Rgb24Icon());
  dib[8] = 1;
  std::unique_ptr<img::Decoder> dec;
  std::unique_ptr<img::Frame> frame;
  ASSERT_EQ(img::CreateIcoDecoder(ShareBytes(MakeIco({{dib, 2, 2}})), &dec), img::kOk);
  EXPECT_EQ(dec->GetFrame(0, &frame), img::kErrBadHeader);
  dib = MakeDib(Rgb24Icon());
  dib[0] = 41;
  ASSERT_EQ(img::CreateIcoDecoder(ShareBytes(MakeIco({{dib, 2, 2}})), &dec), img::kOk);
  EXPECT_EQ(dec->GetFrame(0, &frame), img::kErrBadHeader);
}

TEST(Ico, TruncationAtEveryLengthFails) {
  std::vector<std::pair<std::string, ByteVec>> files;
  for (const char* f : {"ico_pal4mask.ico", "ico_cursor.cur", "ico_multi.ico"}) {
    files.emplace_back(f, ReadBytes(Fixture(f)));
  }
  for (const HandCase& c : HandCases()) files.emplace_back(c.name, MakeIco({{MakeDib(c.dib)}}));
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(AllFramesDecode(bytes));
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      ByteVec prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_FALSE(AllFramesDecode(prefix)) << "prefix of " << n << " bytes decodes";
    }
  }
}

TEST(Ico, MutatedFilesNeverCrash) {
  std::uint32_t seed = 777;
  auto next = [&]() {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (const char* f : {"ico_pal4mask.ico", "ico_cursor.cur", "ico_multi.ico"}) {
    const ByteVec original = ReadBytes(Fixture(f));
    for (int round = 0; round < 300; ++round) {
      ByteVec b = original;
      const int edits = 1 + static_cast<int>(next() % 4);
      for (int e = 0; e < edits; ++e) {
        // bias towards the directory and the first DIB header
        const std::size_t span = next() % 2 ? std::min<std::size_t>(b.size(), 120) : b.size();
        b[next() % span] = static_cast<std::uint8_t>(next());
      }
      AllFramesDecode(b);
    }
  }
}

}  // namespace
