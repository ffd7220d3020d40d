// Decoding one still frame: the size checks, colour management on straight
// pixels before premultiplying, the profile that is chosen, the fall-back
// when a profile cannot be applied, and files with ICC profiles and CMYK.
#include <gtest/gtest.h>
#include <lcms2.h>

#include <map>
#include <string>
#include <vector>

#include "decode/decode_internal.h"
#include "tests/support/test_support.h"

namespace {

using img::ColorContext;
using img::PixelFormat;

struct PictureFree {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureFree>;

constexpr std::uint32_t kEven = 0xFF1D2129;

std::uint32_t Px(const Picture* p, int x, int y) {
  const std::uint8_t* q = p->bits + (static_cast<std::size_t>(y) * p->width + x) * 4;
  return (static_cast<std::uint32_t>(q[3]) << 24) | (q[2] << 16) | (q[1] << 8) | q[0];
}

bool Near(std::uint32_t a, std::uint32_t b, int tolerance) {
  for (int shift = 0; shift < 32; shift += 8) {
    int x = static_cast<int>((a >> shift) & 0xFF), y = static_cast<int>((b >> shift) & 0xFF);
    if (x - y > tolerance || y - x > tolerance) return false;
  }
  return true;
}

// sRGB primaries with a linear response: mid-gray 128 is about 188 in sRGB.
std::vector<std::uint8_t> LinearRgbProfile() {
  cmsCIExyY white = {0.3127, 0.3290, 1.0};
  cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
  cmsToneCurve* curves[3] = {linear, linear, linear};
  cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsFreeToneCurve(linear);
  cmsUInt32Number n = 0;
  cmsSaveProfileToMem(p, nullptr, &n);
  std::vector<std::uint8_t> out(n);
  cmsSaveProfileToMem(p, out.data(), &n);
  cmsCloseProfile(p);
  return out;
}

ColorContext Profile(std::vector<std::uint8_t> bytes) {
  ColorContext c;
  c.type = ColorContext::Type::Profile;
  c.profile = std::move(bytes);
  return c;
}
ColorContext ExifSpace(std::uint32_t space) {
  ColorContext c;
  c.type = ColorContext::Type::ExifColorSpace;
  c.exifColorSpace = space;
  return c;
}

// A frame of straight pixels (0xAARRGGBB) with given colour contexts, whose
// CopyPixels can be made to fail for one format.
class StillFrame : public img::Frame {
 public:
  StillFrame(std::uint32_t w, std::uint32_t h, std::vector<std::uint32_t> px,
             std::vector<ColorContext> contexts = {})
      : w_(w), h_(h), px_(std::move(px)), contexts_(std::move(contexts)) {}
  std::uint32_t Width() const override { return w_; }
  std::uint32_t Height() const override { return h_; }
  PixelFormat NativeFormat() const override { return PixelFormat::Bgra32; }
  std::vector<ColorContext> ColorContexts() const override { return contexts_; }

  img::HResult CopyPixels(PixelFormat format, std::uint8_t* buffer, std::size_t stride,
                          std::size_t size) override {
    ++copies[format];
    if (format == failFormat) return failResult;
    if (format != PixelFormat::Bgra32 && format != PixelFormat::Pbgra32) return img::kInvalidArg;
    img::HResult hr = img::CheckCopyArgs(h_, w_ * 4, buffer, stride, size);
    if (img::Failed(hr)) return hr;
    std::vector<std::uint8_t> row(w_ * 4);
    for (std::uint32_t y = 0; y < h_; ++y) {
      for (std::uint32_t x = 0; x < w_; ++x) {
        std::uint32_t v = px_.at(y * w_ + x);
        row[x * 4] = v & 0xFF, row[x * 4 + 1] = (v >> 8) & 0xFF, row[x * 4 + 2] = (v >> 16) & 0xFF,
                row[x * 4 + 3] = v >> 24;
      }
      img::StoreBgraRow(row.data(), w_, format, buffer + y * stride);
    }
    return img::kOk;
  }

  PixelFormat failFormat = PixelFormat::Unknown;
  img::HResult failResult = img::kFail;
  std::map<PixelFormat, int> copies;

 private:
  std::uint32_t w_, h_;
  std::vector<std::uint32_t> px_;
  std::vector<ColorContext> contexts_;
};

void ExpectNoPixels(const Picture* p) {
  EXPECT_EQ(p->bits, nullptr);
  EXPECT_EQ(p->dib, nullptr);
  EXPECT_EQ(p->width, 0);
  EXPECT_EQ(p->height, 0);
}

TEST(StillDecode, PremultipliesAndFlattensOnRequest) {
  // (200,100,50) at alpha 127 and a transparent white
  for (bool flatten : {false, true}) {
    SCOPED_TRACE(flatten);
    StillFrame frame(2, 1, {0x7FC86432, 0x00FFFFFF});
    PicturePtr pic(new Picture);
    ASSERT_EQ(decode_internal::DecodeStill(pic.get(), frame, flatten, true), img::kOk);
    ASSERT_EQ(pic->width, 2);
    ASSERT_EQ(pic->height, 1);
    EXPECT_EQ(Px(pic.get(), 0, 0), flatten ? 0xFF73432Eu : 0x7F643219u);
    EXPECT_EQ(Px(pic.get(), 1, 0), flatten ? kEven : 0u);
  }
}

TEST(StillDecode, ProfileAppliesToStraightPixelsBeforePremultiplying) {
  // Linear mid-gray becomes about 188; at alpha 128 that premultiplies to 94.
  // Premultiplying first would give 64, which the profile turns into 137.
  StillFrame frame(2, 1, {0xFF808080, 0x80808080}, {Profile(LinearRgbProfile())});
  PicturePtr pic(new Picture);
  ASSERT_EQ(decode_internal::DecodeStill(pic.get(), frame, false, true), img::kOk);
  EXPECT_PRED3(Near, Px(pic.get(), 0, 0), 0xFFBCBCBCu, 2) << std::hex << Px(pic.get(), 0, 0);
  EXPECT_PRED3(Near, Px(pic.get(), 1, 0), 0x805E5E5Eu, 2) << std::hex << Px(pic.get(), 1, 0);
  EXPECT_EQ(Px(pic.get(), 1, 0) >> 24, 0x80u);
  // Asked not to manage colour, the same frame keeps its numbers.
  PicturePtr plain(new Picture);
  ASSERT_EQ(decode_internal::DecodeStill(plain.get(), frame, false, false), img::kOk);
  EXPECT_EQ(Px(plain.get(), 0, 0), 0xFF808080u);
  EXPECT_EQ(Px(plain.get(), 1, 0), 0x80404040u);
}

TEST(StillDecode, ProfileThatCannotBeAppliedFallsBackToPlainPixels) {
  StillFrame frame(2, 1, {0xFF808080, 0x7FC86432}, {Profile(LinearRgbProfile())});
  frame.failFormat = PixelFormat::Bgra32;  // what the colour transform reads
  frame.failResult = img::kErrBadImage;
  PicturePtr pic(new Picture);
  ASSERT_EQ(decode_internal::DecodeStill(pic.get(), frame, false, true), img::kOk);
  EXPECT_EQ(frame.copies[PixelFormat::Bgra32], 1);
  EXPECT_EQ(frame.copies[PixelFormat::Pbgra32], 1);
  EXPECT_EQ(Px(pic.get(), 0, 0), 0xFF808080u);
  EXPECT_EQ(Px(pic.get(), 1, 0), 0x7F643219u);
}

TEST(StillDecode, FailuresLeaveNoPixels) {
  {
    SCOPED_TRACE("out of memory under colour management is final");
    StillFrame frame(2, 1, {0xFF808080, 0xFF808080}, {Profile(LinearRgbProfile())});
    frame.failFormat = PixelFormat::Bgra32;
    frame.failResult = img::kOutOfMemory;
    PicturePtr pic(new Picture);
    EXPECT_EQ(decode_internal::DecodeStill(pic.get(), frame, true, true), img::kOutOfMemory);
    EXPECT_EQ(frame.copies[PixelFormat::Pbgra32], 0);
    ExpectNoPixels(pic.get());
  }
  {
    SCOPED_TRACE("a failure without a profile is returned");
    StillFrame frame(2, 1, {0xFF808080, 0xFF808080});
    frame.failFormat = PixelFormat::Pbgra32;
    frame.failResult = img::kErrBadImage;
    PicturePtr pic(new Picture);
    EXPECT_EQ(decode_internal::DecodeStill(pic.get(), frame, true, true), img::kErrBadImage);
    EXPECT_EQ(frame.copies[PixelFormat::Pbgra32], 1);
    ExpectNoPixels(pic.get());
  }
}

TEST(StillDecode, SizesAreCheckedBeforeAnythingIsAllocated) {
  const struct {
    std::uint32_t w, h;
    img::HResult expected;
  } cases[] = {
      {20000, 20000, img::kOutOfMemory},  // 400,000,000 pixels
      {65536, 65536, img::kOutOfMemory},  // 0 in 32 bits
      {300000001, 1, img::kOutOfMemory},  // one pixel over
      {0, 5, img::kFail},
      {5, 0, img::kFail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    StillFrame frame(c.w, c.h, {});
    PicturePtr pic(new Picture);
    EXPECT_EQ(decode_internal::DecodeStill(pic.get(), frame, true, true), c.expected);
    EXPECT_TRUE(frame.copies.empty());
    ExpectNoPixels(pic.get());
  }
}

// What a transform makes of mid-gray 128 (0 when there is no transform).
int GrayThrough(const std::vector<ColorContext>& contexts) {
  StillFrame frame(1, 1, {0xFF808080}, contexts);
  auto t = decode_internal::ColorManaged(frame);
  if (!t) return 0;
  EXPECT_EQ(t->InputFormat(), PixelFormat::Bgra32);
  std::uint8_t px[4] = {128, 128, 128, 255};
  t->TransformBgra(px, 1);
  return px[1];
}

TEST(StillDecode, ColourContextChoice) {
  const std::vector<std::uint8_t> linear = LinearRgbProfile();
  std::vector<std::uint8_t> cut = linear;
  cut.resize(cut.size() / 2);
  std::vector<ColorContext> sixteen(15, ExifSpace(1));
  sixteen.push_back(Profile(linear));
  std::vector<ColorContext> seventeen(16, ExifSpace(1));
  seventeen.push_back(Profile(linear));
  const struct {
    const char* what;
    std::vector<ColorContext> contexts;
    int gray;  // 0: no transform; 129: Adobe RGB; 188: the linear profile
  } cases[] = {
      {"none", {}, 0},
      {"EXIF sRGB needs nothing", {ExifSpace(1)}, 0},
      {"EXIF uncalibrated", {ExifSpace(0xFFFF)}, 0},
      {"EXIF Adobe RGB", {ExifSpace(2)}, 129},
      {"a profile after Adobe RGB still wins", {ExifSpace(2), Profile(linear)}, 188},
      {"a profile before Adobe RGB", {Profile(linear), ExifSpace(2)}, 188},
      {"the first profile ends the choice, broken or not", {Profile(cut), ExifSpace(2)}, 0},
      {"of two profiles the first", {Profile(linear), Profile(cut)}, 188},
      {"of two profiles the first, even broken", {Profile(cut), Profile(linear)}, 0},
      {"an empty context is passed over", {ColorContext{}, Profile(linear)}, 188},
      {"sixteen contexts are examined", sixteen, 188},
      {"seventeen are too many", seventeen, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const int gray = GrayThrough(c.contexts);
    if (c.gray == 0) {
      EXPECT_EQ(gray, 0);
    } else {
      EXPECT_NEAR(gray, c.gray, 4);
    }
  }
}

// --- files ---------------------------------------------------------------------

class StillFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(decode_init()); }

  PicturePtr Load(const std::string& fixture) {
    wchar_t err[256] = L"";
    PicturePtr p(picture_load(testing_support::Fixture(fixture).c_str(), err, 256));
    EXPECT_TRUE(p) << fixture << ": " << testing::PrintToString(std::wstring(err));
    return p;
  }
};

TEST_F(StillFiles, EmbeddedProfileIsApplied) {
  // ROMM RGB numbers; sRGB values from ImageMagick (lcms, perceptual):
  // (100,150,100) -> (57,175,110), gray 128 -> 146, (200,60,40) -> (255,0,43).
  PicturePtr png = Load("dec_icc_romm.png");
  ASSERT_TRUE(png);
  ASSERT_EQ(png->width, 3);
  const std::uint32_t green = Px(png.get(), 0, 0);
  EXPECT_PRED3(Near, green, 0xFF39AF6Eu, 4) << std::hex << green;
  EXPECT_GT((green >> 8) & 0xFF, 165u);  // greener than the stored 150
  EXPECT_LT((green >> 16) & 0xFF, 80u);  // less red than the stored 100
  EXPECT_PRED3(Near, Px(png.get(), 1, 0), 0xFF929292u, 4) << std::hex << Px(png.get(), 1, 0);
  EXPECT_PRED3(Near, Px(png.get(), 2, 0), 0xFFFF002Bu, 4) << std::hex << Px(png.get(), 2, 0);

  // The same in a JPEG, which stores (100,150,99): ImageMagick gives (57,175,108).
  PicturePtr jpeg = Load("dec_icc_romm.jpg");
  ASSERT_TRUE(jpeg);
  const std::uint32_t j = Px(jpeg.get(), 4, 4);
  EXPECT_PRED3(Near, j, 0xFF39AF6Cu, 5) << std::hex << j;
}

TEST_F(StillFiles, BrokenProfilesStillLoad) {
  // One profile is cut short, the other has no tags; both pictures are
  // shown with their numbers as stored.
  for (const char* file : {"dec_icc_cut.png", "dec_icc_notags.png"}) {
    SCOPED_TRACE(file);
    PicturePtr p = Load(file);
    ASSERT_TRUE(p);
    EXPECT_EQ(Px(p.get(), 0, 0), 0xFF649664u);
  }
}

TEST_F(StillFiles, AdobeCmykJpeg) {
  // Inverted CMYK samples; ImageMagick renders the quadrant centres as
  // (200,80,41), (29,120,199) / (249,230,19), (90,90,90).
  PicturePtr p = Load("dec_cmyk.jpg");
  ASSERT_TRUE(p);
  ASSERT_EQ(p->width, 16);
  ASSERT_EQ(p->height, 16);
  const struct {
    int x, y;
    std::uint32_t argb;
  } cases[] = {{3, 3, 0xFFC85029}, {12, 3, 0xFF1D78C7}, {3, 12, 0xFFF9E613}, {12, 12, 0xFF5A5A5A}};
  for (const auto& c : cases) {
    EXPECT_PRED3(Near, Px(p.get(), c.x, c.y), c.argb, 6)
        << std::hex << Px(p.get(), c.x, c.y) << " at " << std::dec << c.x << "," << c.y;
  }
}

}  // namespace

namespace {

// A CMYK JPEG with a CMYK profile is colour managed from ink amounts
// whether or not it carries Adobe's segment: both give the same picture,
// and not the near-black negative of reading inverted samples as ink.
TEST_F(StillFiles, CmykWithProfileWithoutAdobeSegment) {
  PicturePtr adobe = Load("dec17b_cmyk_icc_adobe.jpg");
  PicturePtr plain = Load("dec17b_cmyk_icc_noadobe.jpg");
  ASSERT_TRUE(adobe);
  ASSERT_TRUE(plain);
  ASSERT_EQ(plain->width, 16);
  ASSERT_EQ(plain->height, 16);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) ASSERT_EQ(Px(plain.get(), x, y), Px(adobe.get(), x, y));
  }
  // The yellow quadrant stays light; the profile moves it a little from the
  // uncalibrated (249,230,19).
  const std::uint32_t yellow = Px(plain.get(), 3, 12);
  EXPECT_GT((yellow >> 16) & 0xFF, 200u) << std::hex << yellow;
  EXPECT_GT((yellow >> 8) & 0xFF, 180u) << std::hex << yellow;
  EXPECT_LT(yellow & 0xFF, 100u) << std::hex << yellow;
  // and the profile was applied: not the uncalibrated conversion
  PicturePtr bare = Load("dec17b_cmyk_noadobe.jpg");
  ASSERT_TRUE(bare);
  EXPECT_NE(Px(plain.get(), 3, 12), Px(bare.get(), 3, 12));
}

}  // namespace
