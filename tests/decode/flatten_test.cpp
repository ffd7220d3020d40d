// The dark checkerboard under transparent pixels: Flatten itself, and what
// picture_load makes of PNG and WebP files with alpha, 16-bit samples and
// transparent palette entries.
//
// Cells are 12 × 12; the even ones (top-left included) are B41 G33 R29, the
// odd ones B58 G48 R43. A pixel of alpha a over cell colour bg becomes
// c + (bg × (255 − a) + 127) / 255 in each channel.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/decode_internal.h"
#include "tests/support/test_support.h"

namespace {

struct PictureFree {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureFree>;

constexpr std::uint32_t kOdd = 0xFF2B303A;   // R43 G48 B58
constexpr std::uint32_t kEven = 0xFF1D2129;  // R29 G33 B41

// Pixel (x, y) of BGRA rows `width` wide, as 0xAARRGGBB.
std::uint32_t At(const std::uint8_t* bits, int width, int x, int y) {
  const std::uint8_t* q = bits + (static_cast<std::size_t>(y) * width + x) * 4;
  return (static_cast<std::uint32_t>(q[3]) << 24) | (q[2] << 16) | (q[1] << 8) | q[0];
}

struct FlattenCase {
  int x, y;
  std::uint32_t in, out;  // premultiplied 0xAARRGGBB
};

// A 26 × 14 picture spans cells (0..2, 0..1).
const FlattenCase kFlattenCases[] = {
    {12, 0, 0x00C8C8C8, kOdd},  // alpha 0 gives exactly the cell colour, whatever the colour
    {0, 0, 0x00000000, kEven},
    {11, 11, 0x00000000, kEven},
    {0, 12, 0x00000000, kOdd},
    {12, 12, 0x00000000, kEven},
    {24, 0, 0x00000000, kEven},
    {25, 13, 0x00000000, kOdd},
    // (200,100,50) at alpha 127 premultiplies to (100,50,25); over the even
    // cell: B 25 + 21, G 50 + 17, R 100 + 15
    {1, 0, 0x7F643219, 0xFF73432E},
    // (90,180,240) at alpha 64 premultiplies to (23,45,60); over the odd
    // cell: B 60 + 43, G 45 + 36, R 23 + 32
    {13, 1, 0x40172D3C, 0xFF375167},
    {2, 0, 0xFF010203, 0xFF010203},  // opaque: untouched
    {3, 0, 0xFFFFFFFF, 0xFFFFFFFF},
    {4, 0, 0x01FFFFFF, 0xFFFFFFFF},    // colour above alpha: each channel stops at 255
    {5, 0, 0xFE0A0A0A, 0xFF0A0A0A},    // alpha 254 adds (bg + 127) / 255 = 0
    {14, 13, 0x80000000, 0xFF0E1014},  // colour 0 at alpha 128 over the even cell
};

TEST(Checkerboard, FlattenCompositesOntoTwelvePixelCells) {
  const int w = 26, h = 14;
  std::vector<std::uint8_t> px(w * h * 4, 0);
  for (const FlattenCase& c : kFlattenCases) {
    std::uint8_t* q = px.data() + (c.y * w + c.x) * 4;
    q[0] = c.in & 0xFF, q[1] = (c.in >> 8) & 0xFF, q[2] = (c.in >> 16) & 0xFF, q[3] = c.in >> 24;
  }
  decode_internal::Flatten(px.data(), w, h);
  for (const FlattenCase& c : kFlattenCases) {
    EXPECT_EQ(At(px.data(), w, c.x, c.y), c.out)
        << std::hex << c.in << " at " << std::dec << c.x << "," << c.y;
  }
  // Every other pixel was transparent and now shows its cell.
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint32_t v = At(px.data(), w, x, y);
      ASSERT_EQ(v >> 24, 0xFFu) << x << "," << y;
      if (v != kOdd && v != kEven) continue;
      EXPECT_EQ(v, ((x / 12 + y / 12) & 1) ? kOdd : kEven) << x << "," << y;
    }
  }
}

TEST(Checkerboard, FlattenOfNoPixelsTouchesNothing) {
  decode_internal::Flatten(nullptr, 0, 5);
  decode_internal::Flatten(nullptr, 5, 0);
  decode_internal::Flatten(nullptr, -3, -3);
  std::vector<std::uint8_t> px(16, 0);
  decode_internal::Flatten(px.data(), 4, 0);
  decode_internal::Flatten(px.data(), -4, 1);
  EXPECT_EQ(px, std::vector<std::uint8_t>(16, 0));
}

class CheckerboardLoad : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(decode_init()); }

  PicturePtr Load(const std::string& fixture) {
    wchar_t err[256] = L"";
    PicturePtr p(picture_load(testing_support::Fixture(fixture).c_str(), err, 256));
    EXPECT_TRUE(p) << fixture << ": " << testing::PrintToString(std::wstring(err));
    return p;
  }
};

struct PixelCase {
  int x, y;
  std::uint32_t argb;
};

void ExpectPixels(const Picture* p, int w, int h, const std::vector<PixelCase>& cases) {
  ASSERT_EQ(picture_width(p), w);
  ASSERT_EQ(picture_height(p), h);
  ASSERT_NE(picture_bits(p), nullptr);
  for (const PixelCase& c : cases) {
    EXPECT_EQ(At(picture_bits(p), w, c.x, c.y), c.argb)
        << std::hex << c.argb << " at " << std::dec << c.x << "," << c.y;
  }
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) ASSERT_EQ(At(picture_bits(p), w, x, y) >> 24, 0xFFu);
  }
}

TEST_F(CheckerboardLoad, PngAndWebpWithAlpha) {
  // The same 24 × 24 picture (straight RGBA read back with ImageMagick):
  // (0,0) = (200,100,50,127), (13,1) = (90,180,240,64), transparent at
  // (12,0), (0,12), (12,12), (23,23), the rest (10,20,30) opaque.
  const std::vector<PixelCase> expected = {
      {0, 0, 0xFF73432E},  {13, 1, 0xFF375167}, {12, 0, kOdd},      {0, 12, kOdd},
      {12, 12, kEven},     {23, 23, kEven},     {5, 5, 0xFF0A141E}, {23, 0, 0xFF0A141E},
      {11, 0, 0xFF0A141E}, {0, 23, 0xFF0A141E},
  };
  for (const char* file : {"dec_alpha.png", "dec_alpha.webp"}) {
    SCOPED_TRACE(file);
    PicturePtr p = Load(file);
    if (p) ExpectPixels(p.get(), 24, 24, expected);
  }
}

TEST_F(CheckerboardLoad, SixteenBitSamples) {
  // ImageMagick: 0x1234 0x8080 0xFEFF -> 18 128 254; 0x00FF 0x7F80 0xC001
  // -> 1 127 191; 0xFFFF 0x0000 0x4000 -> 255 0 64; alpha 0x8000 -> 128,
  // which premultiplies (18,128,254) to (9,64,127) before the even cell adds
  // (14,16,20).
  PicturePtr rgb = Load("dec_rgb16.png");
  if (rgb) ExpectPixels(rgb.get(), 2, 1, {{0, 0, 0xFF1280FE}, {1, 0, 0xFF017FBF}});
  PicturePtr rgba = Load("dec_rgba16.png");
  if (rgba) ExpectPixels(rgba.get(), 2, 1, {{0, 0, 0xFF175093}, {1, 0, 0xFFFF0040}});
}

TEST_F(CheckerboardLoad, PaletteWithTransparency) {
  // Entries: (200,30,60) opaque, (40,160,220) at alpha 153, transparent.
  // (40,160,220) at 153 premultiplies to (24,96,132); the even cell adds
  // (12,13,16).
  PicturePtr p = Load("dec_palette_trns.png");
  if (p) {
    ExpectPixels(p.get(), 24, 2,
                 {{0, 0, 0xFFC81E3C},
                  {3, 0, 0xFF246D94},
                  {12, 0, kOdd},
                  {1, 1, kEven},
                  {23, 1, 0xFFC81E3C}});
  }
}

}  // namespace
