// WebP and AVIF through their libraries: premultiplied pixels, refusals
// that leave the file to the general decoders, the area limit, and AVIF's
// rotation, mirroring, sequences and colour profiles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "decode/decode_internal.h"
#include "tests/support/test_support.h"

namespace {

using decode_internal::DecodeBundled;
using decode_internal::kBundledAvif;
using decode_internal::kBundledNone;
using decode_internal::kBundledWebp;
using testing_support::Fixture;
using testing_support::ReadBytes;

struct PictureFree {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureFree>;

std::uint32_t Px(const Picture* p, int x, int y) {
  const std::uint8_t* q = p->bits + (static_cast<std::size_t>(y) * p->width + x) * 4;
  return (static_cast<std::uint32_t>(q[3]) << 24) | (q[2] << 16) | (q[1] << 8) | q[0];
}

void ExpectNoPixels(const Picture* p) {
  EXPECT_EQ(p->bits, nullptr);
  EXPECT_EQ(p->dib, nullptr);
  EXPECT_EQ(p->width, 0);
  EXPECT_EQ(p->height, 0);
}

std::wstring Generic(const std::wstring& name) {
  return L"Couldn\u2019t read \u201C" + name + L"\u201D as an image.";
}

class Bundled : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(decode_init()); }

  PicturePtr Load(const std::string& fixture) {
    wchar_t err[256] = L"";
    PicturePtr p(picture_load(Fixture(fixture).c_str(), err, 256));
    EXPECT_TRUE(p) << fixture << ": " << testing::PrintToString(std::wstring(err));
    return p;
  }

  // Loads a file that must fail, returning the message.
  std::wstring Refused(const std::wstring& path) {
    wchar_t err[256] = L"";
    Picture* p = picture_load(path.c_str(), err, 256);
    EXPECT_EQ(p, nullptr);
    picture_free(p);
    return err;
  }
};

TEST_F(Bundled, WebpPixelsArePremultipliedNotComposited) {
  // dec_alpha.webp is lossless: (0,0) = (200,100,50) at alpha 127,
  // (13,1) = (90,180,240) at 64, (12,0) transparent, (5,5) = (10,20,30).
  PicturePtr pic(new Picture);
  ASSERT_EQ(DecodeBundled(kBundledWebp, ReadBytes(Fixture("dec_alpha.webp")), pic.get()), img::kOk);
  ASSERT_EQ(pic->width, 24);
  ASSERT_EQ(pic->height, 24);
  EXPECT_EQ(Px(pic.get(), 0, 0), 0x7F643219u);
  EXPECT_EQ(Px(pic.get(), 13, 1), 0x40172D3Cu);
  EXPECT_EQ(Px(pic.get(), 12, 0), 0x00000000u);  // transparent pixels end all zero
  EXPECT_EQ(Px(pic.get(), 23, 23), 0x00000000u);
  EXPECT_EQ(Px(pic.get(), 5, 5), 0xFF0A141Eu);
}

// WebP gets its EXIF orientation (any integer type) and its colour profile
// like every other format, and an animation shows its first frame composed
// on the canvas.
TEST_F(Bundled, WebpOrientationProfileAndFirstFrame) {
  struct Case {
    const char* file;
    int width, height;
    std::vector<std::pair<std::pair<int, int>, std::uint32_t>> pixels;
  };
  // The 3 x 2 picture is red green blue over white black yellow; turned a
  // quarter clockwise, white lands top left and red top right.
  const Case cases[] = {
      {"dec_webp_o6.webp",
       2,
       3,
       {{{0, 0}, 0xFFFFFFFFu},
        {{1, 0}, 0xFFFF0000u},
        {{0, 2}, 0xFFFFFF00u},
        {{1, 2}, 0xFF0000FFu}}},
      {"dec_webp_anim_o6.webp",
       2,
       3,
       {{{0, 0}, 0xFFFFFFFFu}, {{1, 0}, 0xFFFF0000u}, {{1, 1}, 0xFF00FF00u}}},
      // Adobe RGB (200,60,40) and (40,160,220) in sRGB, as lcms2 gives them
      // through ImageMagick.
      {"dec_webp_a98.webp", 2, 1, {{{0, 0}, 0xFFE73922u}, {{1, 0}, 0xFF00A1DFu}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    PicturePtr pic = Load(c.file);
    ASSERT_TRUE(pic);
    ASSERT_EQ(pic->width, c.width);
    ASSERT_EQ(pic->height, c.height);
    for (const auto& [at, want] : c.pixels) {
      const std::uint32_t got = Px(pic.get(), at.first, at.second);
      for (int shift = 0; shift < 32; shift += 8) {
        EXPECT_NEAR(static_cast<int>((got >> shift) & 0xFF),
                    static_cast<int>((want >> shift) & 0xFF), 2)
            << at.first << "," << at.second << std::hex << " got " << got << " want " << want;
      }
    }
  }
  // The older animation fixture opens too, at its canvas size.
  PicturePtr anim = Load("dec_anim.webp");
  ASSERT_TRUE(anim);
  EXPECT_EQ(anim->width, 8);
  EXPECT_EQ(anim->height, 8);
  EXPECT_EQ(anim->frameCount, 0u);  // shown still: it does not animate
}

// A VP8X header claiming a canvas of w × h and no image data.
std::vector<std::uint8_t> Vp8xHeader(std::uint32_t w, std::uint32_t h) {
  std::vector<std::uint8_t> b = {'R', 'I', 'F', 'F', 22, 0, 0, 0, 'W', 'E', 'B', 'P',
                                 'V', 'P', '8', 'X', 10, 0, 0, 0, 0,   0,   0,   0};
  for (std::uint32_t v : {w - 1, h - 1}) {
    for (int s = 0; s < 24; s += 8) b.push_back(static_cast<std::uint8_t>((v >> s) & 0xFF));
  }
  return b;
}

TEST_F(Bundled, HugeWebpIsTooLargeHereAndLeftToTheGeneralDecoders) {
  // 20000 × 20000 is 400,000,000 pixels.
  PicturePtr pic(new Picture);
  EXPECT_EQ(DecodeBundled(kBundledWebp, Vp8xHeader(20000, 20000), pic.get()), img::kOutOfMemory);
  ExpectNoPixels(pic.get());
  // The general decoders have the last word, and they do not read WebP.
  const std::wstring path = testing_support::ScratchDir("decode_huge_webp") + L"/huge.webp";
  testing_support::WriteBytes(path, Vp8xHeader(20000, 20000));
  EXPECT_EQ(Refused(path), Generic(L"huge.webp"));
}

TEST_F(Bundled, TruncatedWebpFailsWithoutPixels) {
  const std::vector<std::uint8_t> whole = ReadBytes(Fixture("dec_alpha.webp"));
  ASSERT_GT(whole.size(), 40u);
  for (std::size_t n : {std::size_t{0}, std::size_t{16}, std::size_t{20}, std::size_t{25},
                        std::size_t{40}, whole.size() - 1}) {
    SCOPED_TRACE(n);
    PicturePtr pic(new Picture);
    std::vector<std::uint8_t> part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(DecodeBundled(kBundledWebp, part, pic.get()), img::kFail);
    ExpectNoPixels(pic.get());
  }
}

TEST_F(Bundled, NoLibraryForOtherKinds) {
  PicturePtr pic(new Picture);
  EXPECT_EQ(DecodeBundled(kBundledNone, ReadBytes(Fixture("dec_alpha.webp")), pic.get()),
            img::kFail);
  ExpectNoPixels(pic.get());
}

#ifdef NORVANE_HAVE_AVIF

bool Near(std::uint32_t a, std::uint32_t b, int tolerance) {
  for (int shift = 0; shift < 32; shift += 8) {
    int x = static_cast<int>((a >> shift) & 0xFF), y = static_cast<int>((b >> shift) & 0xFF);
    if (x - y > tolerance || y - x > tolerance) return false;
  }
  return true;
}

constexpr std::uint32_t kRed = 0xFFFF0000, kLime = 0xFF00FF00, kBlue = 0xFF0000FF,
                        kWhite = 0xFFFFFFFF;

// Colours at the centres of the four quadrants.
void ExpectQuadrants(const Picture* p, const std::uint32_t (&q)[4]) {
  const int xs[2] = {p->width / 4, p->width * 3 / 4}, ys[2] = {p->height / 4, p->height * 3 / 4};
  for (int i = 0; i < 4; ++i) {
    std::uint32_t v = Px(p, xs[i % 2], ys[i / 2]);
    EXPECT_PRED3(Near, v, q[i], 3) << "quadrant " << i << ": " << std::hex << v;
  }
}

TEST_F(Bundled, AvifRotationAndMirror) {
  // 40 × 30 quadrants red, lime / blue, white; irot 1 turns the picture a
  // quarter anti-clockwise, imir 0 then exchanges top and bottom.
  const struct {
    const char* file;
    std::uint32_t quadrants[4];
  } cases[] = {
      {"dec_irot1.avif", {kLime, kWhite, kRed, kBlue}},
      {"dec_irot1_imir0.avif", {kRed, kBlue, kLime, kWhite}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    PicturePtr direct(new Picture);
    ASSERT_EQ(DecodeBundled(kBundledAvif, ReadBytes(Fixture(c.file)), direct.get()), img::kOk);
    EXPECT_EQ(direct->width, 30);
    EXPECT_EQ(direct->height, 40);
    ExpectQuadrants(direct.get(), c.quadrants);
    PicturePtr loaded = Load(c.file);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(picture_width(loaded.get()), 30);
    EXPECT_EQ(picture_height(loaded.get()), 40);
    ExpectQuadrants(loaded.get(), c.quadrants);
  }
}

TEST_F(Bundled, AvifSequenceShowsItsFirstFrame) {
  // two 8 × 8 frames, red then blue
  PicturePtr p = Load("dec_sequence.avif");
  ASSERT_TRUE(p);
  EXPECT_EQ(picture_width(p.get()), 8);
  EXPECT_EQ(picture_height(p.get()), 8);
  EXPECT_PRED3(Near, Px(p.get(), 4, 4), kRed, 3);
  EXPECT_FALSE(picture_animated(p.get()));
  EXPECT_FALSE(picture_advance(p.get()));
  EXPECT_PRED3(Near, Px(p.get(), 4, 4), kRed, 3);
}

// A file other decoders open although it breaks a rule: no pixel
// information property (its box renamed, sizes unchanged). It decodes like
// the file it was made from.
TEST_F(Bundled, AvifWithoutStrictRules) {
  const std::vector<std::uint8_t> good = ReadBytes(Fixture("avif_8_420_full_601.avif"));
  const std::string text(good.begin(), good.end());
  const std::size_t pixi = text.find("pixi");
  ASSERT_NE(pixi, std::string::npos);
  std::vector<std::uint8_t> noPixi = good;
  std::memcpy(noPixi.data() + pixi, "xpix", 4);
  PicturePtr pic(new Picture);
  ASSERT_EQ(DecodeBundled(kBundledAvif, noPixi, pic.get()), img::kOk);
  PicturePtr reference(new Picture);
  ASSERT_EQ(DecodeBundled(kBundledAvif, good, reference.get()), img::kOk);
  ASSERT_EQ(pic->width, reference->width);
  ASSERT_EQ(pic->height, reference->height);
  EXPECT_EQ(std::memcmp(pic->bits, reference->bits,
                        static_cast<std::size_t>(pic->width) * pic->height * 4),
            0);
}

TEST_F(Bundled, AvifColourProfiles) {
  // Both store (100,150,100). ROMM RGB becomes, by ImageMagick with lcms,
  // (57,175,110) in sRGB; a profile cut short is ignored.
  PicturePtr romm = Load("dec_icc_romm.avif");
  ASSERT_TRUE(romm);
  const std::uint32_t v = Px(romm.get(), 4, 4);
  EXPECT_PRED3(Near, v, 0xFF39AF6Eu, 4) << std::hex << v;
  EXPECT_GT((v >> 8) & 0xFF, 165u);  // greener than stored
  EXPECT_LT((v >> 16) & 0xFF, 80u);  // less red than stored
  PicturePtr cut = Load("dec_icc_cut.avif");
  ASSERT_TRUE(cut);
  EXPECT_PRED3(Near, Px(cut.get(), 4, 4), 0xFF649664u, 2) << std::hex << Px(cut.get(), 4, 4);
}

TEST_F(Bundled, TruncatedAvifFailsWithoutPixels) {
  const std::vector<std::uint8_t> whole = ReadBytes(Fixture("dec_irot1.avif"));
  for (std::size_t n : {std::size_t{16}, std::size_t{64}, whole.size() / 2, whole.size() - 1}) {
    SCOPED_TRACE(n);
    PicturePtr pic(new Picture);
    std::vector<std::uint8_t> part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(DecodeBundled(kBundledAvif, part, pic.get()), img::kFail);
    ExpectNoPixels(pic.get());
  }
}

#else

TEST_F(Bundled, WithoutTheAvifLibraryAvifFilesAreRefused) {
  PicturePtr pic(new Picture);
  EXPECT_EQ(DecodeBundled(kBundledAvif, ReadBytes(Fixture("dec_irot1.avif")), pic.get()),
            img::kFail);
  ExpectNoPixels(pic.get());
  EXPECT_EQ(Refused(Fixture("dec_irot1.avif")), Generic(L"dec_irot1.avif"));
}

#endif

}  // namespace
