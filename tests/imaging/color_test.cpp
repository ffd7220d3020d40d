// Colour transforms to sRGB from embedded profiles and the EXIF colour space.
#include <gtest/gtest.h>
#include <lcms2.h>

#include "imaging/imaging.h"

namespace {

std::vector<std::uint8_t> SaveProfile(cmsHPROFILE p) {
  cmsUInt32Number n = 0;
  cmsSaveProfileToMem(p, nullptr, &n);
  std::vector<std::uint8_t> out(n);
  cmsSaveProfileToMem(p, out.data(), &n);
  cmsCloseProfile(p);
  return out;
}

// sRGB primaries with a linear (gamma 1) response, and a linear gray.
std::vector<std::uint8_t> LinearRgbProfile() {
  cmsCIExyY white = {0.3127, 0.3290, 1.0};
  cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
  cmsToneCurve* curves[3] = {linear, linear, linear};
  auto bytes = SaveProfile(cmsCreateRGBProfile(&white, &primaries, curves));
  cmsFreeToneCurve(linear);
  return bytes;
}

std::vector<std::uint8_t> LinearGrayProfile() {
  cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
  auto bytes = SaveProfile(cmsCreateGrayProfile(cmsD50_xyY(), linear));
  cmsFreeToneCurve(linear);
  return bytes;
}

img::ColorContext ProfileContext(std::vector<std::uint8_t> bytes) {
  img::ColorContext c;
  c.type = img::ColorContext::Type::Profile;
  c.profile = std::move(bytes);
  return c;
}

TEST(Color, LinearProfilesBecomeSrgbAndAlphaStays) {
  for (auto profile : {LinearRgbProfile(), LinearGrayProfile()}) {
    auto t = img::CreateColorTransform(ProfileContext(profile));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->InputFormat(), img::PixelFormat::Bgra32);
    // linear mid-gray is about 188 in sRGB; alpha is never touched
    std::uint8_t px[8] = {128, 128, 128, 77, 0, 0, 0, 255};
    t->TransformBgra(px, 2);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(px[c], 188, 2);
    EXPECT_EQ(px[3], 77);
    EXPECT_EQ(px[4], 0);
    EXPECT_EQ(px[7], 255);
  }
}

TEST(Color, AdobeRgbFromExifWidensIntoSrgbNumbers) {
  img::ColorContext c;
  c.type = img::ColorContext::Type::ExifColorSpace;
  c.exifColorSpace = 2;
  auto t = img::CreateColorTransform(c);
  ASSERT_TRUE(t);
  // a muted Adobe RGB green is a more saturated sRGB green
  std::uint8_t px[4] = {100, 150, 100, 255};
  t->TransformBgra(px, 1);
  EXPECT_GT(px[1], 150);
  EXPECT_LT(px[2], 100);
  // gray stays gray
  std::uint8_t gray[4] = {128, 128, 128, 255};
  t->TransformBgra(gray, 1);
  EXPECT_NEAR(gray[0], gray[1], 1);
  EXPECT_NEAR(gray[1], gray[2], 1);
}

TEST(Color, UnusableContextsGiveNoTransform) {
  img::ColorContext srgb;
  srgb.type = img::ColorContext::Type::ExifColorSpace;
  srgb.exifColorSpace = 1;
  EXPECT_FALSE(img::CreateColorTransform(srgb));
  EXPECT_FALSE(img::CreateColorTransform(img::ColorContext{}));
  EXPECT_FALSE(img::CreateColorTransform(ProfileContext({})));
  EXPECT_FALSE(img::CreateColorTransform(ProfileContext({1, 2, 3, 4, 5})));
  auto cut = LinearRgbProfile();
  cut.resize(cut.size() / 2);
  EXPECT_FALSE(img::CreateColorTransform(ProfileContext(cut)));
}

}  // namespace
