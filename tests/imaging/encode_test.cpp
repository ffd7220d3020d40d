// The encoders: every lossless format read back pixel for pixel by our own
// decoders (rows with padding in the source, odd widths so BMP rows need
// padding too), JPEG within a tolerance, the header fields that say how the
// pixels were stored, refused arguments, and the GIF palette: exact for a
// picture of few colours, at most 256 entries with error diffusion for many.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using img::PixelFormat;
using testing_support::DecodeBytes;
using testing_support::Decoded;
using testing_support::ShareBytes;

using Encoder = std::function<img::HResult(const std::uint8_t*, PixelFormat, std::uint32_t,
                                           std::uint32_t, std::size_t, std::vector<std::uint8_t>*)>;

const Encoder kPng = img::EncodePng;
const Encoder kTiff = img::EncodeTiff;
const Encoder kBmp = [](const std::uint8_t* p, PixelFormat f, std::uint32_t w, std::uint32_t h,
                        std::size_t stride, std::vector<std::uint8_t>* out) {
  return f == PixelFormat::Bgr24 ? img::EncodeBmp(p, w, h, stride, out) : img::kInvalidArg;
};
const Encoder kGif = [](const std::uint8_t* p, PixelFormat f, std::uint32_t w, std::uint32_t h,
                        std::size_t stride, std::vector<std::uint8_t>* out) {
  return f == PixelFormat::Bgr24 ? img::EncodeGif(p, w, h, stride, out) : img::kInvalidArg;
};
const Encoder kJpeg = [](const std::uint8_t* p, PixelFormat f, std::uint32_t w, std::uint32_t h,
                         std::size_t stride, std::vector<std::uint8_t>* out) {
  return f == PixelFormat::Bgr24 ? img::EncodeJpeg(p, w, h, stride, 0.92f, out) : img::kInvalidArg;
};

// Rows of `bpp` bytes a pixel with `pad` spare bytes at the end of each row
// (filled with 0xEE, which must never reach a file).
struct Image {
  std::uint32_t width = 0, height = 0;
  std::size_t bpp = 3, stride = 0;
  std::vector<std::uint8_t> bytes;
  std::uint8_t* At(std::uint32_t x, std::uint32_t y) { return &bytes[y * stride + x * bpp]; }
  const std::uint8_t* At(std::uint32_t x, std::uint32_t y) const {
    return &bytes[y * stride + x * bpp];
  }
};

Image Blank(std::uint32_t w, std::uint32_t h, std::size_t bpp, std::size_t pad = 0) {
  Image im;
  im.width = w, im.height = h, im.bpp = bpp, im.stride = w * bpp + pad;
  im.bytes.assign(im.stride * h, 0xEE);
  return im;
}

// A picture of at most 7 × 5 distinct colours, alpha (when kept) running
// through 0, 1, 128, 254 and 255.
Image Pattern(std::uint32_t w, std::uint32_t h, bool alpha) {
  Image im = Blank(w, h, alpha ? 4 : 3, 5);
  static constexpr std::uint8_t kAlpha[5] = {255, 0, 1, 128, 254};
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      std::uint8_t* p = im.At(x, y);
      p[0] = static_cast<std::uint8_t>(37 * (x % 7));
      p[1] = static_cast<std::uint8_t>(255 - 50 * (y % 5));
      p[2] = static_cast<std::uint8_t>((x % 7) * 20 + (y % 5) * 9);
      if (alpha) p[3] = kAlpha[(x + y) % 5];
    }
  }
  return im;
}

// Straight BGRA of the decoded file compared with the source image: every
// channel within `tolerance`, alpha 255 when the source has none.
void ExpectSame(const Decoded& d, const Image& im, int tolerance, const std::string& what) {
  ASSERT_EQ(d.hr, img::kOk) << what;
  ASSERT_EQ(d.width, im.width) << what;
  ASSERT_EQ(d.height, im.height) << what;
  int bad = 0;
  for (std::uint32_t y = 0; y < im.height && bad < 5; ++y) {
    for (std::uint32_t x = 0; x < im.width && bad < 5; ++x) {
      const std::uint8_t* want = im.At(x, y);
      const std::uint8_t* got = &d.bgra[(y * im.width + x) * 4];
      for (int c = 0; c < 4; ++c) {
        const int w = c < 3 || im.bpp == 4 ? want[c] : 255;
        if (std::abs(got[c] - w) > tolerance) {
          ++bad;
          ADD_FAILURE() << what << " pixel " << x << "," << y << " channel " << c << ": got "
                        << int{got[c]} << ", want " << w;
          break;
        }
      }
    }
  }
}

struct RoundTrip {
  const char* name;
  const Encoder* encode;
  bool alpha;
  img::Container container;
  int tolerance;
};

const RoundTrip kRoundTrips[] = {
    {"png rgb", &kPng, false, img::Container::Png, 0},
    {"png rgba", &kPng, true, img::Container::Png, 0},
    {"tiff rgb", &kTiff, false, img::Container::Tiff, 0},
    {"tiff rgba", &kTiff, true, img::Container::Tiff, 0},
    {"bmp", &kBmp, false, img::Container::Bmp, 0},
    {"gif of 35 colours", &kGif, false, img::Container::Gif, 0},
};

TEST(Encode, LosslessFormatsReadBackExactly) {
  for (const RoundTrip& t : kRoundTrips) {
    for (std::uint32_t w : {1u, 7u, 30u}) {
      const Image im = Pattern(w, 9, t.alpha);
      // Bytes already in the vector stay in front of the file.
      std::vector<std::uint8_t> out = {1, 2, 3};
      ASSERT_EQ((*t.encode)(im.bytes.data(), t.alpha ? PixelFormat::Bgra32 : PixelFormat::Bgr24,
                            im.width, im.height, im.stride, &out),
                img::kOk)
          << t.name;
      ASSERT_GT(out.size(), 3u);
      EXPECT_EQ(out[0], 1);
      EXPECT_EQ(out[2], 3);
      out.erase(out.begin(), out.begin() + 3);
      const Decoded d = DecodeBytes(ShareBytes(out));
      EXPECT_EQ(d.container, t.container) << t.name;
      EXPECT_EQ(d.frames, 1u) << t.name;
      ExpectSame(d, im, t.tolerance, std::string(t.name) + " width " + std::to_string(w));
    }
  }
}

TEST(Encode, JpegReadsBackWithinTolerance) {
  // Smooth colour, the kind of picture JPEG keeps well at 0.92.
  Image im = Blank(40, 24, 3, 4);
  for (std::uint32_t y = 0; y < im.height; ++y) {
    for (std::uint32_t x = 0; x < im.width; ++x) {
      std::uint8_t* p = im.At(x, y);
      p[0] = static_cast<std::uint8_t>(40 + x * 4);
      p[1] = static_cast<std::uint8_t>(200 - y * 5);
      p[2] = static_cast<std::uint8_t>(100 + x + y);
    }
  }
  std::vector<std::uint8_t> out;
  ASSERT_EQ(kJpeg(im.bytes.data(), PixelFormat::Bgr24, im.width, im.height, im.stride, &out),
            img::kOk);
  const Decoded d = DecodeBytes(ShareBytes(out));
  EXPECT_EQ(d.container, img::Container::Jpeg);
  ExpectSame(d, im, 8, "jpeg");
}

std::uint32_t Le32(const std::vector<std::uint8_t>& v, std::size_t at) {
  return v[at] | (v[at + 1] << 8) | (v[at + 2] << 16) |
         (static_cast<std::uint32_t>(v[at + 3]) << 24);
}

TEST(Encode, BmpHeadersAndRowPadding) {
  // 5 pixels a row: 15 bytes, padded to 16; rows stored bottom-up.
  Image im = Blank(5, 3, 3);
  for (std::uint32_t y = 0; y < 3; ++y) {
    for (std::uint32_t x = 0; x < 5; ++x) {
      std::uint8_t* p = im.At(x, y);
      p[0] = static_cast<std::uint8_t>(y), p[1] = static_cast<std::uint8_t>(x), p[2] = 9;
    }
  }
  std::vector<std::uint8_t> out;
  ASSERT_EQ(img::EncodeBmp(im.bytes.data(), 5, 3, im.stride, &out), img::kOk);
  ASSERT_EQ(out.size(), 14u + 40u + 16u * 3u);
  EXPECT_EQ(out[0], 'B');
  EXPECT_EQ(out[1], 'M');
  EXPECT_EQ(Le32(out, 2), out.size());  // file size
  EXPECT_EQ(Le32(out, 10), 54u);        // pixel offset
  EXPECT_EQ(Le32(out, 14), 40u);        // BITMAPINFOHEADER
  EXPECT_EQ(Le32(out, 18), 5u);
  EXPECT_EQ(Le32(out, 22), 3u);             // positive: bottom-up
  EXPECT_EQ(out[28] | (out[29] << 8), 24);  // bits a pixel
  EXPECT_EQ(Le32(out, 30), 0u);             // BI_RGB
  EXPECT_EQ(Le32(out, 34), 48u);            // image bytes
  EXPECT_EQ(out[54], 2);                    // first stored row is the bottom one
  EXPECT_EQ(out[54 + 15], 0);               // padding
  EXPECT_EQ(out[54 + 16 * 2], 0);           // last stored row is the top one
}

TEST(Encode, PngColourTypeFollowsTheInput) {
  for (bool alpha : {false, true}) {
    const Image im = Pattern(4, 4, alpha);
    std::vector<std::uint8_t> out;
    ASSERT_EQ(img::EncodePng(im.bytes.data(), alpha ? PixelFormat::Bgra32 : PixelFormat::Bgr24, 4,
                             4, im.stride, &out),
              img::kOk);
    ASSERT_GT(out.size(), 26u);
    EXPECT_EQ(out[24], 8);              // bit depth
    EXPECT_EQ(out[25], alpha ? 6 : 2);  // RGBA or RGB
  }
}

TEST(Encode, TiffAlphaIsUnassociated) {
  const Image im = Pattern(6, 4, true);
  std::vector<std::uint8_t> out;
  ASSERT_EQ(img::EncodeTiff(im.bytes.data(), PixelFormat::Bgra32, 6, 4, im.stride, &out), img::kOk);
  const Decoded d = DecodeBytes(ShareBytes(out));
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.native, PixelFormat::Bgra32);  // straight, not Pbgra32
}

TEST(Encode, RefusedArguments) {
  const Image im = Pattern(4, 4, false);
  const std::uint8_t* p = im.bytes.data();
  struct Bad {
    const char* what;
    const std::uint8_t* pixels;
    PixelFormat format;
    std::uint32_t w, h;
    std::size_t stride;
  };
  const Bad kBad[] = {
      {"null pixels", nullptr, PixelFormat::Bgr24, 4, 4, 17},
      {"zero width", p, PixelFormat::Bgr24, 0, 4, 17},
      {"zero height", p, PixelFormat::Bgr24, 4, 0, 17},
      {"short stride", p, PixelFormat::Bgr24, 4, 4, 11},
      {"premultiplied input", p, PixelFormat::Pbgra32, 4, 4, 17},
      {"more than the largest picture", p, PixelFormat::Bgr24, 400000, 800000, 1200000},
  };
  for (const Encoder* e : {&kPng, &kTiff, &kBmp, &kGif, &kJpeg}) {
    for (const Bad& b : kBad) {
      std::vector<std::uint8_t> out = {7};
      EXPECT_EQ((*e)(b.pixels, b.format, b.w, b.h, b.stride, &out), img::kInvalidArg) << b.what;
      EXPECT_EQ(out, std::vector<std::uint8_t>{7}) << b.what;
    }
    EXPECT_EQ((*e)(p, PixelFormat::Bgr24, 4, 4, 17, nullptr), img::kInvalidArg);
  }
  // GIF sides are 16-bit.
  std::vector<std::uint8_t> out;
  EXPECT_EQ(img::EncodeGif(p, 70000, 1, 70000 * 3, &out), img::kInvalidArg);
}

// ---------------------------------------------------------------------------
// Palettes and error diffusion.

TEST(Palette, FewColoursKeptInOrderOfAppearance) {
  Image im = Blank(3, 2, 3);
  const std::uint32_t kColours[6] = {0x102030, 0xFFFFFF, 0x102030, 0x000000, 0x102031, 0xFFFFFF};
  for (int i = 0; i < 6; ++i) {
    std::uint8_t* p = im.At(i % 3, i / 3);
    p[0] = kColours[i] & 0xFF, p[1] = (kColours[i] >> 8) & 0xFF, p[2] = kColours[i] >> 16;
  }
  std::vector<std::uint32_t> palette;
  ASSERT_EQ(img::BuildPalette(im.bytes.data(), 3, 2, im.stride, 256, &palette), img::kOk);
  EXPECT_EQ(palette, (std::vector<std::uint32_t>{0x102030, 0xFFFFFF, 0x000000, 0x102031}));
  std::vector<std::uint8_t> indices;
  ASSERT_EQ(img::DitherToPalette(im.bytes.data(), 3, 2, im.stride, palette, &indices), img::kOk);
  EXPECT_EQ(indices, (std::vector<std::uint8_t>{0, 1, 0, 2, 3, 1}));
}

TEST(Palette, MedianCutSeparatesClusters) {
  // Four colours, two reds and two blues, into two entries: one of each.
  Image im = Blank(4, 4, 3);
  const std::uint32_t kColours[4] = {0xFF0000, 0xC80000, 0x0000FF, 0x0000C8};
  for (std::uint32_t y = 0; y < 4; ++y) {
    for (std::uint32_t x = 0; x < 4; ++x) {
      const std::uint32_t c = kColours[x];
      std::uint8_t* p = im.At(x, y);
      p[0] = c & 0xFF, p[1] = (c >> 8) & 0xFF, p[2] = static_cast<std::uint8_t>(c >> 16);
    }
  }
  std::vector<std::uint32_t> palette;
  ASSERT_EQ(img::BuildPalette(im.bytes.data(), 4, 4, im.stride, 2, &palette), img::kOk);
  ASSERT_EQ(palette.size(), 2u);
  std::set<std::uint32_t> got(palette.begin(), palette.end());
  // Each entry is the mean of its box: (255 + 200) / 2 rounded.
  EXPECT_EQ(got, (std::set<std::uint32_t>{0xE40000, 0x0000E4}));
}

TEST(Palette, ErrorDiffusionMixesEntriesToTheMeanGrey) {
  // Mid grey onto black and white: about half the pixels each, and no long
  // run of one entry (plain nearest-colour mapping would give all white).
  Image im = Blank(32, 32, 3);
  for (std::uint32_t y = 0; y < 32; ++y) {
    for (std::uint32_t x = 0; x < 32; ++x) {
      std::uint8_t* p = im.At(x, y);
      p[0] = p[1] = p[2] = 128;
    }
  }
  const std::vector<std::uint32_t> palette = {0x000000, 0xFFFFFF};
  std::vector<std::uint8_t> indices;
  ASSERT_EQ(img::DitherToPalette(im.bytes.data(), 32, 32, im.stride, palette, &indices), img::kOk);
  ASSERT_EQ(indices.size(), 32u * 32u);
  int white = 0;
  for (std::uint8_t i : indices) white += i;
  EXPECT_NEAR(white, 32 * 32 * 128 / 255, 16);
  // Floyd-Steinberg on flat mid grey alternates along the first row.
  for (int x = 1; x < 32; ++x) EXPECT_NE(indices[x], indices[x - 1]) << x;
}

TEST(Palette, RefusedArguments) {
  const Image im = Pattern(4, 4, false);
  std::vector<std::uint32_t> palette;
  std::vector<std::uint8_t> indices;
  EXPECT_EQ(img::BuildPalette(im.bytes.data(), 4, 4, im.stride, 0, &palette), img::kInvalidArg);
  EXPECT_EQ(img::BuildPalette(im.bytes.data(), 4, 4, im.stride, 257, &palette), img::kInvalidArg);
  EXPECT_EQ(img::BuildPalette(im.bytes.data(), 4, 4, 11, 256, &palette), img::kInvalidArg);
  EXPECT_EQ(img::DitherToPalette(im.bytes.data(), 4, 4, im.stride, {}, &indices), img::kInvalidArg);
  EXPECT_EQ(img::DitherToPalette(im.bytes.data(), 4, 4, im.stride,
                                 std::vector<std::uint32_t>(257, 0), &indices),
            img::kInvalidArg);
}

TEST(Palette, GifOfManyColoursIsDithered) {
  // 600 distinct colours, every row the same: without error diffusion every
  // row would map to the same entries.
  constexpr std::uint32_t kW = 600, kH = 16;
  Image im = Blank(kW, kH, 3, 2);
  for (std::uint32_t y = 0; y < kH; ++y) {
    for (std::uint32_t x = 0; x < kW; ++x) {
      std::uint8_t* p = im.At(x, y);
      p[2] = static_cast<std::uint8_t>(x * 255 / (kW - 1));
      p[1] = static_cast<std::uint8_t>((x * 7) % 256);
      p[0] = static_cast<std::uint8_t>(255 - x * 255 / (kW - 1));
    }
  }
  std::vector<std::uint8_t> out;
  ASSERT_EQ(img::EncodeGif(im.bytes.data(), kW, kH, im.stride, &out), img::kOk);
  const Decoded d = DecodeBytes(ShareBytes(out));
  ASSERT_EQ(d.hr, img::kOk);
  ASSERT_EQ(d.width, kW);
  ASSERT_EQ(d.height, kH);
  std::set<std::uint32_t> colours;
  bool rowsDiffer = false;
  for (std::uint32_t y = 0; y < kH; ++y) {
    for (std::uint32_t x = 0; x < kW; ++x) {
      const std::uint32_t c = d.At(x, y);
      EXPECT_EQ(c >> 24, 0xFFu);
      colours.insert(c);
      if (y > 0 && c != d.At(x, 0)) rowsDiffer = true;
    }
  }
  EXPECT_LE(colours.size(), 256u);
  EXPECT_GT(colours.size(), 16u);
  EXPECT_TRUE(rowsDiffer);
  // Error diffusion keeps the local mean: 8 × 8 blocks within a few steps.
  // (The green channel changes fast; its mean is still held.)
  for (std::uint32_t by = 0; by < kH; by += 8) {
    for (std::uint32_t bx = 0; bx + 8 <= kW; bx += 8) {
      for (int c = 0; c < 3; ++c) {
        int want = 0, got = 0;
        for (std::uint32_t y = by; y < by + 8; ++y) {
          for (std::uint32_t x = bx; x < bx + 8; ++x) {
            want += im.At(x, y)[c];
            got += d.bgra[(y * kW + x) * 4 + c];
          }
        }
        EXPECT_NEAR(got / 64.0, want / 64.0, 12.0) << "block " << bx << "," << by << " ch " << c;
      }
    }
  }
}

}  // namespace
