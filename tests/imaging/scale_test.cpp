// The scaler: MemSource reading, ScaleBitmap's arguments, exactness (same
// size, solid colours, box averages), the premultiplied invariant, energy and
// ringing, odd and extreme sizes, equality of the SIMD and scalar paths and
// of both pass orders' properties, and the quality of the box pre-reduction
// against a direct floating-point Catmull-Rom.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "imaging/scale_internal.h"

namespace {

using img::Interpolation;
using img::MemSource;
using img::Rect;
namespace si = img::scale_internal;
using Pixels = std::vector<std::uint8_t>;

constexpr Interpolation kModes[] = {Interpolation::NearestNeighbor, Interpolation::Linear,
                                    Interpolation::Cubic, Interpolation::Fant,
                                    Interpolation::HighQualityCubic};
constexpr Interpolation kFilterModes[] = {Interpolation::Linear, Interpolation::Cubic,
                                          Interpolation::Fant, Interpolation::HighQualityCubic};

const char* ModeName(Interpolation m) {
  switch (m) {
    case Interpolation::NearestNeighbor:
      return "nearest";
    case Interpolation::Linear:
      return "linear";
    case Interpolation::Cubic:
      return "cubic";
    case Interpolation::Fant:
      return "fant";
    case Interpolation::HighQualityCubic:
      return "hqcubic";
  }
  return "?";
}

// A picture of w × h premultiplied BGRA pixels.
struct Image {
  int w = 0, h = 0;
  Pixels px;
  Image() = default;
  Image(int width, int height) : w(width), h(height), px(static_cast<size_t>(width) * height * 4) {}
  std::uint8_t* At(int x, int y) { return px.data() + (static_cast<size_t>(y) * w + x) * 4; }
  const std::uint8_t* At(int x, int y) const {
    return px.data() + (static_cast<size_t>(y) * w + x) * 4;
  }
  MemSource Source() const { return MemSource{px.data(), w, h}; }
};

Image Solid(int w, int h, std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t a) {
  Image im(w, h);
  for (size_t i = 0; i < im.px.size(); i += 4) {
    im.px[i] = b;
    im.px[i + 1] = g;
    im.px[i + 2] = r;
    im.px[i + 3] = a;
  }
  return im;
}

// Random premultiplied pixels: random alpha, colour at most alpha; some runs
// opaque, some fully transparent, so that every clamp is exercised.
Image RandomPremultiplied(int w, int h, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Image im(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = im.At(x, y);
      const unsigned kind = rng() % 8;
      const unsigned a = kind == 0 ? 0 : kind < 3 ? 255 : rng() % 256;
      for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(a ? rng() % (a + 1) : 0);
      p[3] = static_cast<std::uint8_t>(a);
    }
  }
  return im;
}

// A photo-like opaque picture: value noise of many octaves with amplitude
// falling as 1/f (as a plasma fractal), a few hard-edged discs and fine
// grain, different per channel.
Image PhotoLike(int w, int h, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Image im(w, h);
  std::vector<double> plane(static_cast<size_t>(w) * h);
  for (int c = 0; c < 3; ++c) {
    std::fill(plane.begin(), plane.end(), 0.0);
    double amp = 1.0;
    for (int cell = std::max(w, h) / 2; cell >= 1; cell /= 2, amp *= 0.55) {
      const int gw = w / cell + 2, gh = h / cell + 2;
      std::vector<double> grid(static_cast<size_t>(gw) * gh);
      std::uniform_real_distribution<double> u(-1, 1);
      for (double& v : grid) v = u(rng);
      for (int y = 0; y < h; ++y) {
        const double fy = static_cast<double>(y) / cell;
        const int gy = static_cast<int>(fy);
        const double ty = fy - gy, sy = ty * ty * (3 - 2 * ty);
        for (int x = 0; x < w; ++x) {
          const double fx = static_cast<double>(x) / cell;
          const int gx = static_cast<int>(fx);
          const double tx = fx - gx, sx = tx * tx * (3 - 2 * tx);
          const double* g0 = &grid[static_cast<size_t>(gy) * gw + gx];
          const double* g1 = g0 + gw;
          const double v =
              (g0[0] * (1 - sx) + g0[1] * sx) * (1 - sy) + (g1[0] * (1 - sx) + g1[1] * sx) * sy;
          plane[static_cast<size_t>(y) * w + x] += amp * v;
        }
      }
    }
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        double v = 128 + 70 * plane[static_cast<size_t>(y) * w + x];
        im.At(x, y)[c] = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
      }
    }
  }
  std::uniform_int_distribution<int> px(0, w - 1), py(0, h - 1),
      pr(std::min(w, h) / 40 + 1, std::min(w, h) / 6 + 2);
  for (int d = 0; d < 12; ++d) {
    const int cx = px(rng), cy = py(rng), r = pr(rng);
    const std::uint8_t col[3] = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                                 static_cast<std::uint8_t>(rng())};
    for (int y = std::max(0, cy - r); y < std::min(h, cy + r); ++y) {
      for (int x = std::max(0, cx - r); x < std::min(w, cx + r); ++x) {
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) {
          for (int c = 0; c < 3; ++c) im.At(x, y)[c] = col[c];
        }
      }
    }
  }
  std::uniform_int_distribution<int> grain(-6, 6);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = im.At(x, y);
      for (int c = 0; c < 3; ++c)
        p[c] = static_cast<std::uint8_t>(std::clamp(p[c] + grain(rng), 0, 255));
      p[3] = 255;
    }
  }
  return im;
}

// Scales with default options, or fails the test.
Image Scale(const Image& src, int w, int h, Interpolation mode) {
  Image out(w, h);
  const MemSource s = src.Source();
  EXPECT_EQ(img::ScaleBitmap(s, w, h, mode, out.px.data(), static_cast<std::uint32_t>(w * 4),
                             static_cast<std::uint32_t>(out.px.size())),
            img::kOk)
      << ModeName(mode) << " " << src.w << "x" << src.h << " -> " << w << "x" << h;
  return out;
}

Image ScaleOpt(const Image& src, int w, int h, Interpolation mode, const si::Options& opt) {
  Image out(w, h);
  const MemSource s = src.Source();
  EXPECT_EQ(si::ScaleWith(s, w, h, mode, out.px.data(), static_cast<std::uint32_t>(w * 4),
                          static_cast<std::uint32_t>(out.px.size()), opt),
            img::kOk);
  return out;
}

// ---------------------------------------------------------------------------
// Direct floating-point references.

double CatmullRom(double x) {
  x = std::fabs(x);
  if (x < 1) return 1.5 * x * x * x - 2.5 * x * x + 1;
  if (x < 2) return -0.5 * x * x * x + 2.5 * x * x - 4 * x + 2;
  return 0;
}

// Weights of a widened Catmull-Rom (box = false) or an exact box (box =
// true), windows clipped to the picture and normalised.
std::vector<std::vector<std::pair<int, double>>> RefWeights(int in, int out, bool box) {
  std::vector<std::vector<std::pair<int, double>>> all(static_cast<size_t>(out));
  const double r = static_cast<double>(in) / out;
  const double fs = std::max(1.0, r);
  for (int o = 0; o < out; ++o) {
    auto& ws = all[static_cast<size_t>(o)];
    double sum = 0;
    if (box) {
      const double left = o * r, right = (o + 1) * r;
      for (int i = 0; i < in; ++i) {
        const double cover = std::min(right, i + 1.0) - std::max(left, double(i));
        if (cover > 0) {
          ws.push_back({i, cover});
          sum += cover;
        }
      }
    } else {
      const double c = (o + 0.5) * r - 0.5;
      for (int i = std::max(0, static_cast<int>(std::floor(c - 2 * fs)));
           i <= std::min(in - 1, static_cast<int>(std::ceil(c + 2 * fs))); ++i) {
        const double wgt = CatmullRom((i - c) / fs);
        if (wgt != 0) {
          ws.push_back({i, wgt});
          sum += wgt;
        }
      }
    }
    for (auto& p : ws) p.second /= sum;
  }
  return all;
}

// The reference result as doubles (not rounded), 4 channels.
std::vector<double> RefScaleF(const Image& src, int w, int h, bool box) {
  const auto hx = RefWeights(src.w, w, box), vy = RefWeights(src.h, h, box);
  std::vector<double> mid(static_cast<size_t>(src.h) * w * 4, 0.0);
  for (int y = 0; y < src.h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (const auto& [i, wgt] : hx[static_cast<size_t>(x)]) {
        const std::uint8_t* p = src.At(i, y);
        for (int c = 0; c < 4; ++c) mid[(static_cast<size_t>(y) * w + x) * 4 + c] += wgt * p[c];
      }
    }
  }
  std::vector<double> out(static_cast<size_t>(h) * w * 4, 0.0);
  for (int y = 0; y < h; ++y) {
    for (const auto& [j, wgt] : vy[static_cast<size_t>(y)]) {
      for (size_t i = 0; i < static_cast<size_t>(w) * 4; ++i) {
        out[static_cast<size_t>(y) * w * 4 + i] += wgt * mid[static_cast<size_t>(j) * w * 4 + i];
      }
    }
  }
  return out;
}

Image RefScale(const Image& src, int w, int h, bool box) {
  const std::vector<double> f = RefScaleF(src, w, h, box);
  Image out(w, h);
  for (size_t i = 0; i < f.size(); i += 4) {
    const long a = std::clamp(std::lround(f[i + 3]), 0L, 255L);
    out.px[i + 3] = static_cast<std::uint8_t>(a);
    for (int c = 0; c < 3; ++c)
      out.px[i + c] = static_cast<std::uint8_t>(std::clamp(std::lround(f[i + c]), 0L, a));
  }
  return out;
}

double MeanAbsDiff(const Image& a, const Image& b) {
  double s = 0;
  for (size_t i = 0; i < a.px.size(); ++i) s += std::abs(a.px[i] - b.px[i]);
  return s / static_cast<double>(a.px.size());
}

int MaxAbsDiff(const Image& a, const Image& b) {
  int m = 0;
  for (size_t i = 0; i < a.px.size(); ++i) m = std::max(m, std::abs(a.px[i] - b.px[i]));
  return m;
}

double ChannelMean(const Image& im, int c) {
  double s = 0;
  for (size_t i = static_cast<size_t>(c); i < im.px.size(); i += 4) s += im.px[i];
  return s / (static_cast<double>(im.px.size()) / 4);
}

// ---------------------------------------------------------------------------
// MemSource

TEST(MemSource, GetSize) {
  Image im = Solid(5, 3, 1, 2, 3, 4);
  const MemSource s = im.Source();
  std::uint32_t w = 0, h = 0;
  EXPECT_EQ(s.GetSize(nullptr, &h), img::kPointer);
  EXPECT_EQ(s.GetSize(&w, nullptr), img::kPointer);
  EXPECT_EQ(s.GetSize(&w, &h), img::kOk);
  EXPECT_EQ(w, 5u);
  EXPECT_EQ(h, 3u);
}

TEST(MemSource, WholeImageArguments) {
  const Image im = RandomPremultiplied(7, 5, 1);
  const MemSource s = im.Source();
  const std::uint32_t row = 7 * 4;
  Pixels buf(1000, 0xEE);
  EXPECT_EQ(s.CopyPixels(nullptr, row, 1000, nullptr), img::kPointer);
  // Stride one short.
  EXPECT_EQ(s.CopyPixels(nullptr, row - 1, 1000, buf.data()), img::kInvalidArg);
  // Size one byte short of stride × (height − 1) + row bytes, with a padded stride.
  const std::uint32_t stride = row + 9;
  const std::uint32_t need = stride * 4 + row;
  EXPECT_EQ(s.CopyPixels(nullptr, stride, need - 1, buf.data()), img::kErrInsufficientBuffer);
  EXPECT_EQ(s.CopyPixels(nullptr, stride, need, buf.data()), img::kOk);
  for (int y = 0; y < 5; ++y) {
    EXPECT_EQ(std::memcmp(buf.data() + y * stride, im.At(0, y), row), 0) << y;
    if (y < 4) {
      for (std::uint32_t i = row; i < stride; ++i) EXPECT_EQ(buf[y * stride + i], 0xEE);
    }
  }
  EXPECT_EQ(buf[need], 0xEE);
  // Exact stride, exact size.
  Pixels exact(static_cast<size_t>(row) * 5);
  EXPECT_EQ(s.CopyPixels(nullptr, row, row * 5, exact.data()), img::kOk);
  EXPECT_EQ(exact, im.px);
  // A source without positive size.
  for (auto [w, h] : {std::pair{0, 5}, std::pair{7, 0}, std::pair{-1, 5}, std::pair{7, -3}}) {
    const MemSource bad{im.px.data(), w, h};
    EXPECT_EQ(bad.CopyPixels(nullptr, row, 1000, buf.data()), img::kInvalidArg) << w << "x" << h;
  }
}

TEST(MemSource, RectangleArguments) {
  const Image im = RandomPremultiplied(10, 6, 2);
  const MemSource s = im.Source();
  Pixels buf(4096);
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  struct Case {
    Rect r;
    img::HResult want;
  };
  const Case cases[] = {
      {{0, 0, 10, 6}, img::kOk},
      {{9, 5, 1, 1}, img::kOk},
      {{-1, 0, 2, 2}, img::kInvalidArg},
      {{0, -1, 2, 2}, img::kInvalidArg},
      {{0, 0, 0, 2}, img::kInvalidArg},
      {{0, 0, 2, 0}, img::kInvalidArg},
      {{0, 0, -2, 2}, img::kInvalidArg},
      {{0, 0, 2, -2}, img::kInvalidArg},
      {{9, 0, 2, 1}, img::kInvalidArg},
      {{0, 5, 1, 2}, img::kInvalidArg},
      {{0, 0, 11, 1}, img::kInvalidArg},
      {{0, 0, 1, 7}, img::kInvalidArg},
      {{kMax, 0, kMax, 1}, img::kInvalidArg},  // X + Width would wrap in 32 bits
      {{0, kMax, 1, kMax}, img::kInvalidArg},
      {{1, 1, kMax, 1}, img::kInvalidArg},
  };
  for (const Case& c : cases) {
    const std::uint32_t stride = c.r.width > 0 && c.r.width < 100 ? c.r.width * 4 : 40;
    EXPECT_EQ(s.CopyPixels(&c.r, stride, static_cast<std::uint32_t>(buf.size()), buf.data()),
              c.want)
        << c.r.x << "," << c.r.y << " " << c.r.width << "x" << c.r.height;
  }
  // Rectangle stride and size checks use the rectangle's own width and height.
  const Rect r{2, 1, 3, 4};
  EXPECT_EQ(s.CopyPixels(&r, 11, 1000, buf.data()), img::kInvalidArg);
  EXPECT_EQ(s.CopyPixels(&r, 12, 12 * 3 + 12 - 1, buf.data()), img::kErrInsufficientBuffer);
  EXPECT_EQ(s.CopyPixels(&r, 12, 12 * 3 + 12, buf.data()), img::kOk);
  EXPECT_EQ(s.CopyPixels(&r, 12, 1000, nullptr), img::kPointer);
}

TEST(MemSource, SubRectangleContents) {
  const Image im = RandomPremultiplied(9, 8, 3);
  const MemSource s = im.Source();
  const Rect r{3, 2, 4, 5};
  const std::uint32_t stride = 4 * 4 + 6;
  Pixels buf(static_cast<size_t>(stride) * 5, 0x5A);
  ASSERT_EQ(s.CopyPixels(&r, stride, stride * 4 + 16, buf.data()), img::kOk);
  for (int y = 0; y < 5; ++y) {
    EXPECT_EQ(std::memcmp(buf.data() + y * stride, im.At(3, 2 + y), 16), 0) << y;
    for (std::uint32_t i = 16; i < stride; ++i) EXPECT_EQ(buf[y * stride + i], 0x5A);
  }
}

// ---------------------------------------------------------------------------
// ScaleBitmap: arguments

TEST(ScaleBitmap, InvalidArguments) {
  const Image im = RandomPremultiplied(8, 6, 4);
  const MemSource s = im.Source();
  Pixels out(4 * 3 * 4 + 64);
  const auto call = [&](const MemSource& src, int w, int h, std::uint32_t stride,
                        std::uint32_t size, std::uint8_t* buf,
                        Interpolation mode = Interpolation::HighQualityCubic) {
    return img::ScaleBitmap(src, w, h, mode, buf, stride, size);
  };
  const std::uint32_t n = static_cast<std::uint32_t>(out.size());
  EXPECT_EQ(call(MemSource{nullptr, 8, 6}, 4, 3, 16, n, out.data()), img::kInvalidArg);
  EXPECT_EQ(call(MemSource{im.px.data(), 0, 6}, 4, 3, 16, n, out.data()), img::kInvalidArg);
  EXPECT_EQ(call(MemSource{im.px.data(), 8, -1}, 4, 3, 16, n, out.data()), img::kInvalidArg);
  EXPECT_EQ(call(s, 0, 3, 16, n, out.data()), img::kInvalidArg);
  EXPECT_EQ(call(s, 4, 0, 16, n, out.data()), img::kInvalidArg);
  EXPECT_EQ(call(s, -4, 3, 16, n, out.data()), img::kInvalidArg);
  EXPECT_EQ(call(s, 4, 3, 16, n, nullptr), img::kInvalidArg);
  EXPECT_EQ(call(s, 4, 3, 15, n, out.data()), img::kInvalidArg);  // stride one short
  // w × 4 beyond 32 bits can never fit a 32-bit stride.
  EXPECT_EQ(call(s, 0x40000000, 1, 0xFFFFFFFFu, 0xFFFFFFFFu, out.data()), img::kInvalidArg);
  EXPECT_EQ(call(s, 4, 3, 20, 20 * 2 + 16 - 1, out.data()), img::kErrInsufficientBuffer);
  EXPECT_EQ(call(s, 4, 3, 20, 20 * 2 + 16, out.data()), img::kOk);
  EXPECT_EQ(call(s, 4, 3, 16, n, out.data(), static_cast<Interpolation>(5)), img::kInvalidArg);
  EXPECT_EQ(call(s, 4, 3, 16, n, out.data(), static_cast<Interpolation>(-1)), img::kInvalidArg);
}

TEST(ScaleBitmap, PaddedStrideLeavesGapsAlone) {
  const Image im = PhotoLike(64, 48, 5);
  for (Interpolation mode : kModes) {
    const int w = 23, h = 17;
    const std::uint32_t stride = w * 4 + 12;
    Pixels buf(static_cast<size_t>(stride) * h, 0xC3);
    ASSERT_EQ(
        img::ScaleBitmap(im.Source(), w, h, mode, buf.data(), stride, stride * (h - 1) + w * 4),
        img::kOk);
    const Image tight = Scale(im, w, h, mode);
    for (int y = 0; y < h; ++y) {
      EXPECT_EQ(std::memcmp(buf.data() + y * stride, tight.At(0, y), w * 4), 0) << ModeName(mode);
      if (y + 1 < h) {
        for (std::uint32_t i = w * 4; i < stride; ++i) ASSERT_EQ(buf[y * stride + i], 0xC3);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Exactness

TEST(ScaleBitmap, SameSizeIsAnExactCopy) {
  const Image im = RandomPremultiplied(31, 17, 6);
  for (Interpolation mode : kModes) {
    EXPECT_EQ(Scale(im, 31, 17, mode).px, im.px) << ModeName(mode);
  }
}

TEST(ScaleBitmap, SolidColourStaysExactlySolid) {
  const std::uint8_t colours[][4] = {{0, 0, 0, 255},    {255, 255, 255, 255}, {12, 200, 99, 255},
                                     {40, 80, 20, 128}, {0, 0, 0, 0},         {1, 1, 1, 1}};
  const int sizes[][4] = {{100, 80, 17, 13}, {64, 64, 8, 8},  {7, 5, 40, 33},      {1, 1, 9, 4},
                          {300, 7, 11, 29},  {5, 200, 3, 1},  {1000, 600, 37, 23}, {97, 61, 96, 60},
                          {33, 33, 1, 1},    {16, 1, 1000, 1}};
  for (const auto& col : colours) {
    for (const auto& sz : sizes) {
      const Image im = Solid(sz[0], sz[1], col[0], col[1], col[2], col[3]);
      for (Interpolation mode : kModes) {
        for (si::Order order : {si::Order::VerticalFirst, si::Order::HorizontalFirst}) {
          si::Options opt;
          opt.order = order;
          const Image out = ScaleOpt(im, sz[2], sz[3], mode, opt);
          const Image want = Solid(sz[2], sz[3], col[0], col[1], col[2], col[3]);
          ASSERT_EQ(out.px, want.px)
              << ModeName(mode) << " " << sz[0] << "x" << sz[1] << " -> " << sz[2] << "x" << sz[3]
              << " colour " << int(col[0]) << "," << int(col[3]);
        }
      }
    }
  }
}

TEST(ScaleBitmap, FantHalvingIsTheRoundedAverage) {
  const Image im = RandomPremultiplied(20, 14, 7);
  const Image out = Scale(im, 10, 7, Interpolation::Fant);
  for (int y = 0; y < 7; ++y) {
    for (int x = 0; x < 10; ++x) {
      for (int c = 0; c < 4; ++c) {
        const int s = im.At(2 * x, 2 * y)[c] + im.At(2 * x + 1, 2 * y)[c] +
                      im.At(2 * x, 2 * y + 1)[c] + im.At(2 * x + 1, 2 * y + 1)[c];
        ASSERT_EQ(out.At(x, y)[c], (s + 2) / 4) << x << "," << y << " c" << c;
      }
    }
  }
}

TEST(ScaleBitmap, FantMatchesExactAreaAverage) {
  const Image im = PhotoLike(173, 97, 8);
  for (auto [w, h] :
       {std::pair{50, 31}, std::pair{17, 9}, std::pair{400, 150}, std::pair{173, 40}}) {
    const Image out = Scale(im, w, h, Interpolation::Fant);
    EXPECT_LE(MaxAbsDiff(out, RefScale(im, w, h, true)), 1) << w << "x" << h;
  }
}

TEST(ScaleBitmap, NearestPicksSourcePixels) {
  Image im(6, 4);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 6; ++x) {
      std::uint8_t* p = im.At(x, y);
      p[0] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(y);
      p[2] = 0;
      p[3] = 255;
    }
  }
  const Image down = Scale(im, 3, 2, Interpolation::NearestNeighbor);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      EXPECT_EQ(down.At(x, y)[0], 2 * x + 1);
      EXPECT_EQ(down.At(x, y)[1], 2 * y + 1);
    }
  }
  const Image up = Scale(im, 12, 8, Interpolation::NearestNeighbor);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 12; ++x) {
      EXPECT_EQ(up.At(x, y)[0], x / 2);
      EXPECT_EQ(up.At(x, y)[1], y / 2);
    }
  }
}

// ---------------------------------------------------------------------------
// Properties

TEST(ScaleBitmap, PremultipliedInvariantHolds) {
  const Image im = RandomPremultiplied(203, 117, 9);
  const int sizes[][2] = {{50, 30}, {7, 111}, {400, 250}, {203, 20}, {13, 13}, {1, 1}, {609, 117}};
  for (Interpolation mode : kModes) {
    for (const auto& sz : sizes) {
      for (si::Order order : {si::Order::VerticalFirst, si::Order::HorizontalFirst}) {
        si::Options opt;
        opt.order = order;
        const Image out = ScaleOpt(im, sz[0], sz[1], mode, opt);
        for (size_t i = 0; i < out.px.size(); i += 4) {
          ASSERT_LE(out.px[i], out.px[i + 3]) << ModeName(mode);
          ASSERT_LE(out.px[i + 1], out.px[i + 3]) << ModeName(mode);
          ASSERT_LE(out.px[i + 2], out.px[i + 3]) << ModeName(mode);
        }
      }
    }
  }
}

TEST(ScaleBitmap, ReductionKeepsTheMean) {
  const Image im = PhotoLike(1200, 800, 10);
  for (Interpolation mode : {Interpolation::Fant, Interpolation::HighQualityCubic}) {
    for (auto [w, h] :
         {std::pair{205, 137}, std::pair{400, 266}, std::pair{64, 43}, std::pair{997, 701}}) {
      const Image out = Scale(im, w, h, mode);
      for (int c = 0; c < 4; ++c) {
        EXPECT_NEAR(ChannelMean(out, c), ChannelMean(im, c), 0.6)
            << ModeName(mode) << " " << w << "x" << h << " channel " << c;
      }
    }
  }
}

TEST(ScaleBitmap, CheckerboardReducesToFlatGrey) {
  Image im(1203, 801);
  for (int y = 0; y < im.h; ++y) {
    for (int x = 0; x < im.w; ++x) {
      const std::uint8_t v = (x + y) % 2 ? 255 : 0;
      std::uint8_t* p = im.At(x, y);
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
  }
  for (Interpolation mode : {Interpolation::Fant, Interpolation::HighQualityCubic}) {
    for (auto [w, h] : {std::pair{205, 137}, std::pair{300, 200}, std::pair{77, 51}}) {
      const Image out = Scale(im, w, h, mode);
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          // The border rows and columns see a window cut short by the edge.
          const bool inner = x > 0 && y > 0 && x + 1 < w && y + 1 < h;
          const int tol = inner ? 4 : 20;
          ASSERT_NEAR(out.At(x, y)[1], 127.5, tol) << ModeName(mode) << " " << x << "," << y;
        }
      }
    }
  }
}

TEST(ScaleBitmap, EdgeRingingIsBounded) {
  // A vertical step 40 -> 220 and a thin bright line, reduced and enlarged.
  Image im(601, 50);
  for (int y = 0; y < im.h; ++y) {
    for (int x = 0; x < im.w; ++x) {
      const std::uint8_t v = x == 100 ? 255 : (x < 300 ? 40 : 220);
      std::uint8_t* p = im.At(x, y);
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
  }
  const auto check = [&](Interpolation mode, int w, int h, int overshoot) {
    const Image out = Scale(im, w, h, mode);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const double sx = (x + 0.5) * im.w / w;
        const int v = out.At(x, y)[1];
        // Away from the line, the plateaus stay within the bound.
        if (std::fabs(sx - 100) > 4.0 * im.w / w + 4) {
          if (sx < 300) {
            ASSERT_GE(v, 40 - overshoot) << ModeName(mode) << " " << w << " x=" << x;
          } else {
            ASSERT_GE(v, 40) << ModeName(mode);
          }
          ASSERT_LE(v, 220 + overshoot) << ModeName(mode) << " " << w << " x=" << x;
        }
      }
    }
  };
  // Catmull-Rom's negative lobe reaches 0.074 (at 4/3): 180 × 0.074 = 13.3.
  for (int w : {97, 150, 37, 1800}) {
    check(Interpolation::HighQualityCubic, w, 13, 14);
    check(Interpolation::Fant, w, 13, 0);
  }
}

// ---------------------------------------------------------------------------
// Odd and extreme sizes

TEST(ScaleBitmap, OddSizes) {
  const Image im = PhotoLike(40, 30, 11);
  const int targets[][2] = {{1, 30}, {40, 1}, {1, 1}, {1, 77}, {93, 1}, {2, 2}, {3, 1}};
  for (Interpolation mode : kModes) {
    for (const auto& t : targets) Scale(im, t[0], t[1], mode);
  }
  const Image column = PhotoLike(1, 57, 12), row = PhotoLike(57, 1, 13);
  for (Interpolation mode : kModes) {
    Scale(column, 1, 10, mode);
    Scale(column, 5, 3, mode);
    Scale(column, 1, 200, mode);
    Scale(row, 10, 1, mode);
    Scale(row, 3, 5, mode);
    Scale(row, 200, 1, mode);
  }
}

TEST(ScaleBitmap, OnePixelEnlargesToItself) {
  const Image one = Solid(1, 1, 10, 20, 30, 40);
  for (Interpolation mode : kModes) {
    EXPECT_EQ(Scale(one, 7, 5, mode).px, Solid(7, 5, 10, 20, 30, 40).px) << ModeName(mode);
  }
}

TEST(ScaleBitmap, ExtremeRatioToOnePixel) {
  Image line(10000, 1);
  std::mt19937 rng(14);
  double sum[4] = {};
  for (int x = 0; x < line.w; ++x) {
    std::uint8_t* p = line.At(x, 0);
    p[3] = static_cast<std::uint8_t>(128 + rng() % 128);
    for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(rng() % (p[3] + 1));
    for (int c = 0; c < 4; ++c) sum[c] += p[c];
  }
  for (Interpolation mode : {Interpolation::Fant, Interpolation::HighQualityCubic}) {
    const Image out = Scale(line, 1, 1, mode);
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(out.px[c], sum[c] / line.w, 1.5) << ModeName(mode) << c;
  }
  for (Interpolation mode : kModes) Scale(line, 1, 1, mode);
  // The same down a column.
  Image col(1, 10000);
  col.px = line.px;
  for (Interpolation mode : {Interpolation::Fant, Interpolation::HighQualityCubic}) {
    const Image out = Scale(col, 1, 1, mode);
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(out.px[c], sum[c] / col.h, 1.5) << ModeName(mode) << c;
  }
}

TEST(ScaleBitmap, MixedDirections) {
  // Reduced across, enlarged down, and the reverse: both orders give the
  // same picture within rounding.
  const Image im = PhotoLike(900, 40, 15);
  for (Interpolation mode : kFilterModes) {
    si::Options vh, hv;
    vh.order = si::Order::VerticalFirst;
    hv.order = si::Order::HorizontalFirst;
    const Image a = ScaleOpt(im, 60, 300, mode, vh), b = ScaleOpt(im, 60, 300, mode, hv);
    EXPECT_LE(MaxAbsDiff(a, b), 1) << ModeName(mode);
    const Image c = ScaleOpt(im, 1800, 7, mode, vh), d = ScaleOpt(im, 1800, 7, mode, hv);
    EXPECT_LE(MaxAbsDiff(c, d), 1) << ModeName(mode);
  }
}

// ---------------------------------------------------------------------------
// SIMD paths equal the scalar path

TEST(ScaleBitmap, SimdEqualsScalar) {
  std::vector<si::Simd> paths;
  for (si::Simd p : {si::Simd::Sse2, si::Simd::Avx2}) {
    if (si::SimdAvailable(p)) paths.push_back(p);
  }
  if (paths.empty()) GTEST_SKIP() << "no SIMD path on this CPU";
  struct Case {
    int sw, sh, w, h;
  };
  const Case cases[] = {
      {37, 23, 5, 3},    {100, 80, 33, 17}, {640, 480, 97, 61},    {13, 7, 40, 30},
      {300, 20, 7, 90},  {1, 50, 3, 7},     {50, 1, 1, 1},         {1000, 3, 16, 3},
      {257, 129, 16, 8}, {263, 71, 19, 5},  {64, 64, 32, 32},      {129, 67, 64, 33},
      {45, 45, 44, 46},  {8, 8, 3, 100},    {1200, 900, 205, 154}, {7, 1024, 7, 50},
      {515, 9, 40, 9},
  };
  for (const Case& c : cases) {
    const Image im = c.sw * c.sh > 5000 && (c.sw + c.sh) % 2 ? PhotoLike(c.sw, c.sh, 16)
                                                             : RandomPremultiplied(c.sw, c.sh, 17);
    for (Interpolation mode : kFilterModes) {
      for (si::Order order : {si::Order::VerticalFirst, si::Order::HorizontalFirst}) {
        si::Options opt;
        opt.order = order;
        opt.simd = si::Simd::Scalar;
        const Image ref = ScaleOpt(im, c.w, c.h, mode, opt);
        for (si::Simd p : paths) {
          opt.simd = p;
          const Image got = ScaleOpt(im, c.w, c.h, mode, opt);
          ASSERT_EQ(got.px, ref.px)
              << "path " << static_cast<int>(p) << " " << ModeName(mode) << " " << c.sw << "x"
              << c.sh << " -> " << c.w << "x" << c.h << " order " << static_cast<int>(order);
        }
      }
    }
  }
}

TEST(ScaleBitmap, UnavailablePathIsRefused) {
  if (si::SimdAvailable(si::Simd::Avx2)) GTEST_SKIP() << "AVX2 is available here";
  const Image im = Solid(8, 8, 1, 2, 3, 4);
  Pixels out(4 * 4 * 4);
  si::Options opt;
  opt.simd = si::Simd::Avx2;
  EXPECT_EQ(
      si::ScaleWith(im.Source(), 4, 4, Interpolation::HighQualityCubic, out.data(), 16, 64, opt),
      img::kNotImpl);
}

// ---------------------------------------------------------------------------
// Quality against a direct floating-point Catmull-Rom

TEST(ScaleBitmap, DirectCubicMatchesFloatingPoint) {
  const Image im = PhotoLike(600, 400, 18);
  si::Options direct;
  direct.boxMinRemain = 0;
  for (auto [w, h] :
       {std::pair{205, 137}, std::pair{100, 67}, std::pair{1000, 700}, std::pair{599, 401}}) {
    const Image ref = RefScale(im, w, h, false);
    const Image got = ScaleOpt(im, w, h, Interpolation::HighQualityCubic, direct);
    EXPECT_LT(MeanAbsDiff(got, ref), 0.1) << w << "x" << h;
    EXPECT_LE(MaxAbsDiff(got, ref), 1) << w << "x" << h;
  }
}

TEST(ScaleBitmap, BoxPreReductionStaysCloseToDirectCubic) {
  const Image im = PhotoLike(1500, 1000, 19);
  // Ratios where the box is 2, 4 and 8 along both axes (and only one).
  const int targets[][2] = {{256, 171}, {300, 200}, {120, 80}, {60, 40}, {1500, 180}, {300, 1000}};
  for (const auto& t : targets) {
    const si::Plan plan = si::MakePlan(im.w, im.h, t[0], t[1], Interpolation::HighQualityCubic, {});
    EXPECT_GT(plan.boxX * plan.boxY, 1) << t[0] << "x" << t[1];
    const Image ref = RefScale(im, t[0], t[1], false);
    const Image got = Scale(im, t[0], t[1], Interpolation::HighQualityCubic);
    const double mad = MeanAbsDiff(got, ref);
    EXPECT_LT(mad, 1.0) << t[0] << "x" << t[1] << " box " << plan.boxX << "x" << plan.boxY;
    RecordProperty("mad_" + std::to_string(t[0]) + "x" + std::to_string(t[1]), std::to_string(mad));
  }
}

TEST(ScaleBitmap, PlanForAPhotoFit) {
  // 24 megapixels into a 1024 box: a 2 × 2 box first, vertical pass first,
  // and little working memory (well below one output picture).
  const si::Plan plan = si::MakePlan(6000, 4000, 1024, 683, Interpolation::HighQualityCubic, {});
  EXPECT_EQ(plan.boxX, 2);
  EXPECT_EQ(plan.boxY, 2);
  EXPECT_EQ(plan.order, si::Order::VerticalFirst);
  EXPECT_LT(plan.workBytes, 1024u * 683 * 4 / 2);
  EXPECT_LE(plan.tapsX, 13);
  const si::Plan fant = si::MakePlan(6000, 4000, 1024, 683, Interpolation::Fant, {});
  EXPECT_EQ(fant.boxX, 1);
  EXPECT_EQ(fant.boxY, 1);
}

}  // namespace
