// The Picture record: accessors, pixel surfaces and the resampled copy.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "decode/decode_internal.h"
#include "tests/support/test_support.h"

namespace {

using decode_internal::AllocPixels;
using decode_internal::DropPixels;
using decode_internal::MakeDibSection;

struct PictureFree {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureFree>;

// Owns a bitmap from picture_scaled.
class Scaled {
 public:
  explicit Scaled(PictureBitmap b) : b_(b) {}
  ~Scaled() { bitmap_delete(b_); }
  Scaled(const Scaled&) = delete;
  Scaled& operator=(const Scaled&) = delete;
  PictureBitmap get() const { return b_; }
  explicit operator bool() const { return b_ != nullptr; }

 private:
  PictureBitmap b_;
};

// A w × h picture of one premultiplied colour (0xAARRGGBB).
PicturePtr Solid(int w, int h, std::uint32_t argb) {
  PicturePtr pic(new Picture);
  EXPECT_TRUE(AllocPixels(pic.get(), w, h));
  for (int i = 0; i < w * h; ++i) {
    std::uint8_t* q = pic->bits + i * 4;
    q[0] = argb & 0xFF, q[1] = (argb >> 8) & 0xFF, q[2] = (argb >> 16) & 0xFF, q[3] = argb >> 24;
  }
  return pic;
}

class PictureRecord : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(decode_init()); }
};

TEST_F(PictureRecord, AccessorsOfNoPicture) {
  EXPECT_EQ(picture_width(nullptr), 0);
  EXPECT_EQ(picture_height(nullptr), 0);
  EXPECT_EQ(picture_dc(nullptr), nullptr);
  EXPECT_EQ(picture_bits(nullptr), nullptr);
  EXPECT_FALSE(picture_animated(nullptr));
  EXPECT_EQ(picture_delay_ms(nullptr), 0u);
  EXPECT_EQ(picture_scaled(nullptr, 10, 10), nullptr);
  EXPECT_FALSE(picture_advance(nullptr));
  picture_free(nullptr);
  EXPECT_EQ(bitmap_bits(nullptr), nullptr);
  bitmap_delete(nullptr);
}

TEST_F(PictureRecord, AccessorsOfALoadedPicture) {
  wchar_t err[128];
  PicturePtr p(picture_load(testing_support::Fixture("dec_quad.jpg").c_str(), err, 128));
  ASSERT_TRUE(p);
  EXPECT_EQ(picture_width(p.get()), p->width);
  EXPECT_EQ(picture_height(p.get()), p->height);
  EXPECT_EQ(picture_bits(p.get()), p->bits);
  EXPECT_EQ(picture_dc(p.get()), p->dc);
  EXPECT_EQ(bitmap_bits(p->dib), p->bits);
#ifdef _WIN32
  EXPECT_NE(picture_dc(p.get()), nullptr);
  EXPECT_NE(p->oldBitmap, nullptr);
#endif
}

TEST_F(PictureRecord, AllocPixelsGivesZeroedPixelsAndDropsTheOldOnes) {
  PicturePtr pic(new Picture);
  ASSERT_TRUE(AllocPixels(pic.get(), 5, 3));
  EXPECT_EQ(pic->width, 5);
  EXPECT_EQ(pic->height, 3);
  ASSERT_NE(pic->bits, nullptr);
  EXPECT_EQ(pic->bits, bitmap_bits(pic->dib));
  const std::vector<std::uint8_t> zero(5 * 3 * 4, 0);
  EXPECT_EQ(std::memcmp(pic->bits, zero.data(), zero.size()), 0);
  std::memset(pic->bits, 0xAB, zero.size());
  ASSERT_TRUE(AllocPixels(pic.get(), 2, 2));
  EXPECT_EQ(std::memcmp(pic->bits, zero.data(), 16), 0);
  // A failing allocation leaves no pixels at all: the old ones went first.
  EXPECT_FALSE(AllocPixels(pic.get(), 0, 4));
  EXPECT_EQ(pic->bits, nullptr);
  EXPECT_EQ(pic->dib, nullptr);
  EXPECT_EQ(pic->dc, nullptr);
  EXPECT_EQ(pic->width, 0);
  EXPECT_EQ(pic->height, 0);
  EXPECT_FALSE(AllocPixels(pic.get(), 4, -1));
}

TEST_F(PictureRecord, DropPixelsOfAPictureWithoutPixelsDoesNothing) {
  PicturePtr pic(new Picture);
  pic->frameCount = 3;
  pic->delayMs = 70;
  pic->canvas.assign(16, 7);
  DropPixels(pic.get());
  DropPixels(pic.get());
  EXPECT_EQ(pic->bits, nullptr);
  EXPECT_EQ(pic->dib, nullptr);
  EXPECT_EQ(pic->dc, nullptr);
  EXPECT_EQ(pic->oldBitmap, nullptr);
  EXPECT_EQ(pic->width, 0);
  // the animation members are not the surface's
  EXPECT_EQ(pic->frameCount, 3u);
  EXPECT_EQ(pic->delayMs, 70u);
  EXPECT_EQ(pic->canvas.size(), 16u);

  ASSERT_TRUE(AllocPixels(pic.get(), 2, 2));
  DropPixels(pic.get());
  DropPixels(pic.get());
  EXPECT_EQ(pic->bits, nullptr);
  EXPECT_EQ(pic->canvas.size(), 16u);
}

TEST_F(PictureRecord, MakeDibSectionRefusesEmptySizes) {
  for (auto [w, h] : {std::pair<int, int>{0, 5}, {5, 0}, {-1, 5}, {5, -1}}) {
    std::uint8_t dummy = 0;
    std::uint8_t* bits = &dummy;  // overwritten with null
    EXPECT_EQ(MakeDibSection(w, h, &bits), nullptr) << w << "x" << h;
    EXPECT_EQ(bits, nullptr);
  }
  std::uint8_t* bits = nullptr;
  PictureBitmap b = MakeDibSection(3, 2, &bits);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(bitmap_bits(b), bits);
  bitmap_delete(b);
}

TEST_F(PictureRecord, ScaledRefusesEmptySizesAndMissingPixels) {
  PicturePtr pic = Solid(4, 4, 0xFF336699);
  for (auto [w, h] : {std::pair<int, int>{0, 4}, {4, 0}, {-4, 4}, {4, -4}, {0, 0}}) {
    EXPECT_EQ(picture_scaled(pic.get(), w, h), nullptr) << w << "x" << h;
  }
  PicturePtr empty(new Picture);
  EXPECT_EQ(picture_scaled(empty.get(), 4, 4), nullptr);
  decode_shutdown();
  PictureBitmap afterShutdown = picture_scaled(pic.get(), 4, 4);
  ASSERT_TRUE(decode_init());
  EXPECT_EQ(afterShutdown, nullptr);
  bitmap_delete(afterShutdown);
}

TEST_F(PictureRecord, ScaledToItsOwnSizeIsIdentical) {
  wchar_t err[128];
  PicturePtr p(picture_load(testing_support::Fixture("dec_alpha.png").c_str(), err, 128));
  ASSERT_TRUE(p);
  Scaled s(picture_scaled(p.get(), p->width, p->height));
  ASSERT_TRUE(s);
  ASSERT_NE(bitmap_bits(s.get()), nullptr);
  EXPECT_NE(bitmap_bits(s.get()), p->bits);
  EXPECT_EQ(std::memcmp(bitmap_bits(s.get()), p->bits,
                        static_cast<std::size_t>(p->width) * p->height * 4),
            0);
}

TEST_F(PictureRecord, ScaledSolidColourStaysSolid) {
  PicturePtr pic = Solid(30, 20, 0xFF336699);
  for (auto [w, h] : {std::pair<int, int>{7, 5}, {1, 1}, {30, 1}, {61, 43}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    Scaled s(picture_scaled(pic.get(), w, h));
    ASSERT_TRUE(s);
    const std::uint8_t* q = bitmap_bits(s.get());
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < w * h; ++i, q += 4) {
      ASSERT_EQ(q[0], 0x99) << i;
      ASSERT_EQ(q[1], 0x66) << i;
      ASSERT_EQ(q[2], 0x33) << i;
      ASSERT_EQ(q[3], 0xFF) << i;
    }
  }
}

TEST_F(PictureRecord, ScaledHalvesAnAreaAverage) {
  // Two columns, black and white: reduced to one column the halves meet in
  // the middle, and the source is not touched.
  PicturePtr pic(new Picture);
  ASSERT_TRUE(AllocPixels(pic.get(), 2, 2));
  const std::uint8_t px[16] = {0, 0, 0, 255, 255, 255, 255, 255, 0, 0, 0, 255, 255, 255, 255, 255};
  std::memcpy(pic->bits, px, 16);
  Scaled s(picture_scaled(pic.get(), 1, 1));
  ASSERT_TRUE(s);
  const std::uint8_t* q = bitmap_bits(s.get());
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(q[c], 128, 2);
  EXPECT_EQ(q[3], 255);
  EXPECT_EQ(std::memcmp(pic->bits, px, 16), 0);
}

}  // namespace
