// The reduced first look at a large JPEG: when it applies, the reduction it
// picks, the size it reports, and pixels close to the whole picture scaled
// to the same size (orientation and colour profile included).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Fixture;

struct PictureFree {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureFree>;

class Reduced : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(decode_init()); }
};

PicturePtr LoadReduced(const std::string& name, double zoom, int* askedW = nullptr,
                       int* askedH = nullptr) {
  return PicturePtr(picture_load_reduced(Fixture(name).c_str(), [&](int w, int h) {
    if (askedW) *askedW = w;
    if (askedH) *askedH = h;
    return zoom;
  }));
}

TEST_F(Reduced, PicksTheLargestReductionStillAtLeastTheShownSize) {
  struct Case {
    const char* file;
    double zoom;
    int reduction;  // 0: no reduced decode
    int pixelW, pixelH;
    int fullW, fullH;  // as shown: orientation applied
  } cases[] = {
      {"red_photo.jpg", 1.0, 0, 0, 0, 320, 240},
      {"red_photo.jpg", 0.51, 0, 0, 0, 320, 240},  // above one half: the whole picture
      {"red_photo.jpg", 0.5, 2, 160, 120, 320, 240},
      {"red_photo.jpg", 0.3, 2, 160, 120, 320, 240},
      {"red_photo.jpg", 0.25, 4, 80, 60, 320, 240},
      {"red_photo.jpg", 0.13, 4, 80, 60, 320, 240},
      {"red_photo.jpg", 0.125, 8, 40, 30, 320, 240},
      {"red_photo.jpg", 0.01, 8, 40, 30, 320, 240},
      {"red_photo_o6.jpg", 0.25, 4, 60, 80, 240, 320},  // turned a quarter
      {"red_photo_icc.jpg", 0.5, 2, 160, 120, 320, 240},
      {"dec_quad.jpg", 0.5, 2, 16, 8, 32, 16},
      {"jpeg_gray.jpg", 0.25, 4, 4, 3, 16, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " at " + std::to_string(c.zoom));
    int askedW = 0, askedH = 0;
    PicturePtr p = LoadReduced(c.file, c.zoom, &askedW, &askedH);
    EXPECT_EQ(askedW, c.fullW);
    EXPECT_EQ(askedH, c.fullH);
    if (c.reduction == 0) {
      EXPECT_EQ(p, nullptr);
      continue;
    }
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(picture_reduction(p.get()), c.reduction);
    EXPECT_EQ(picture_width(p.get()), c.fullW);
    EXPECT_EQ(picture_height(p.get()), c.fullH);
    EXPECT_EQ(picture_pixel_width(p.get()), c.pixelW);
    EXPECT_EQ(picture_pixel_height(p.get()), c.pixelH);
    EXPECT_FALSE(picture_animated(p.get()));
  }
}

TEST_F(Reduced, CloseToTheWholePictureScaledTheSameWay) {
  for (const char* file : {"red_photo.jpg", "red_photo_o6.jpg", "red_photo_icc.jpg"}) {
    for (double zoom : {0.5, 0.25, 0.125}) {
      SCOPED_TRACE(std::string(file) + " at " + std::to_string(zoom));
      PicturePtr reduced = LoadReduced(file, zoom);
      ASSERT_NE(reduced, nullptr);
      wchar_t err[256];
      PicturePtr whole(picture_load(Fixture(file).c_str(), err, 256));
      ASSERT_NE(whole, nullptr);
      ASSERT_EQ(picture_reduction(whole.get()), 1);
      const int w = picture_pixel_width(reduced.get()), h = picture_pixel_height(reduced.get());
      PictureBitmap scaled = picture_scaled(whole.get(), w, h);
      ASSERT_NE(scaled, nullptr);
      const std::uint8_t* a = picture_bits(reduced.get());
      const std::uint8_t* b = bitmap_bits(scaled);
      // Two different resamplings of the same picture: close on average,
      // nowhere far apart, and not the same computation.
      long total = 0;
      int worst = 0, same = 0;
      const std::size_t n = static_cast<std::size_t>(w) * h * 4;
      for (std::size_t i = 0; i < n; ++i) {
        const int d = std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
        total += d;
        worst = std::max(worst, d);
        same += d == 0;
      }
      bitmap_delete(scaled);
      EXPECT_LT(static_cast<double>(total) / static_cast<double>(n), 4.0);
      EXPECT_LT(worst, 64);
      EXPECT_LT(same, static_cast<int>(n));
      for (std::size_t i = 3; i < n; i += 4) ASSERT_EQ(a[i], 255) << "opaque at " << i / 4;
    }
  }
}

TEST_F(Reduced, OnlyForJpegsItCanReduceWhole) {
  const char* files[] = {
      "dec_alpha.png",          // not a JPEG
      "dec_cmyk.jpg",           // CMYK: left to the whole decode
      "read_meta_only.jpg",     // no picture at all
      "no_such_file_here.jpg",  // missing
  };
  for (const char* f : files) {
    SCOPED_TRACE(f);
    EXPECT_EQ(LoadReduced(f, 0.125), nullptr);
  }
  // Data cut short: the whole decode shows what there is.
  std::vector<std::uint8_t> cut = testing_support::ReadBytes(Fixture("red_photo.jpg"));
  cut.resize(cut.size() / 2);
  const std::wstring file = testing_support::ScratchDir("reduced_cut") + L"/cut.jpg";
  testing_support::WriteBytes(file, cut);
  EXPECT_EQ(picture_load_reduced(file.c_str(), [](int, int) { return 0.125; }), nullptr);
  // A zoom that is not a number or not positive gives nothing either.
  EXPECT_EQ(LoadReduced("red_photo.jpg", 0.0), nullptr);
  EXPECT_EQ(LoadReduced("red_photo.jpg", std::nan("")), nullptr);
}

// A 32 x 16 JPEG whose stream meets a second frame header, 64 pixels wide,
// after the first scan has begun: the rows kept and the rows cleared stay
// within the 32 x 16 picture, whole or reduced (the sanitizers watch).
TEST_F(Reduced, LaterFrameHeaderOfAnotherSizeStaysInBounds) {
  wchar_t err[256];
  PicturePtr whole(picture_load(Fixture("dec_later_sof.jpg").c_str(), err, 256));
  if (whole) {
    EXPECT_EQ(picture_width(whole.get()), 32);
    EXPECT_EQ(picture_height(whole.get()), 16);
  }
  for (double zoom : {0.5, 0.25, 0.125}) {
    PicturePtr reduced = LoadReduced("dec_later_sof.jpg", zoom);
    if (reduced) {
      EXPECT_EQ(picture_width(reduced.get()), 32);
    }
  }
}

}  // namespace
