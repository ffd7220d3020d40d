// YUV to RGB. Chroma is upsampled bilinearly with its samples centred between
// the luma samples they cover (weights 3/4 and 1/4 on each axis), then each
// pixel goes through the matrix in floating point and is rounded once.
#include "imaging/avif/yuv.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace avif_layer {
namespace {

struct Coefficients {
  float kr;
  float kb;
};

// Luma weights of red and blue by matrix_coefficients code point. Unknown and
// unspecified matrices are taken as BT.601, the most common encoder default.
Coefficients MatrixCoefficients(std::uint16_t matrix) {
  switch (matrix) {
    case 1:
      return {0.2126f, 0.0722f};  // BT.709
    case 4:
      return {0.30f, 0.11f};  // FCC
    case 7:
      return {0.212f, 0.087f};  // SMPTE 240M
    case 9:
    case 10:
      return {0.2627f, 0.0593f};  // BT.2020
    default:
      return {0.299f, 0.114f};  // BT.601 (5, 6, 2 and the rest)
  }
}

inline std::uint32_t Sample(const std::uint8_t* row, std::uint32_t x, bool wide) {
  if (!wide) return row[x];
  std::uint16_t v;
  std::memcpy(&v, row + static_cast<std::size_t>(x) * 2, 2);
  return v;
}

inline std::uint8_t To8(float v) {
  v = std::clamp(v, 0.0f, 1.0f);
  return static_cast<std::uint8_t>(v * 255.0f + 0.5f);
}

// For each output coordinate, the nearest chroma sample, its other
// neighbour and the neighbour's weight (0 when chroma is not subsampled).
struct Tap {
  std::uint32_t near;
  std::uint32_t far;
  float w_far;
};

std::vector<Tap> Taps(std::uint32_t size, bool halved) {
  std::vector<Tap> taps(size);
  if (!halved) {
    for (std::uint32_t i = 0; i < size; ++i) taps[i] = {i, i, 0.0f};
    return taps;
  }
  const std::uint32_t chroma = (size + 1) / 2;
  for (std::uint32_t i = 0; i < size; ++i) {
    const std::uint32_t c = i / 2;
    std::uint32_t other;
    if (i & 1) {
      other = c + 1 < chroma ? c + 1 : c;
    } else {
      other = c > 0 ? c - 1 : c;
    }
    taps[i] = {c, other, 0.25f};
  }
  return taps;
}

}  // namespace

bool YuvToBgra8(const YuvPlanes& in, std::uint8_t* out, std::size_t out_stride) {
  if (in.depth != 8 && in.depth != 10 && in.depth != 12) return false;
  if (!in.plane[0] || !out) return false;
  const bool mono = in.subsampling == Subsampling::k400;
  if (!mono && (!in.plane[1] || !in.plane[2])) return false;
  const bool wide = in.depth > 8;
  const float max = static_cast<float>((1u << in.depth) - 1);
  const float scale = static_cast<float>(1u << (in.depth - 8));

  // Normalisation of each plane to [0, 1] for luma and [-0.5, 0.5] for chroma.
  float y_bias, y_range, c_bias, c_range;
  if (in.full_range) {
    y_bias = 0.0f;
    y_range = max;
    c_bias = static_cast<float>(1u << (in.depth - 1));
    c_range = max;
  } else {
    y_bias = 16.0f * scale;
    y_range = 219.0f * scale;
    c_bias = 128.0f * scale;
    c_range = 224.0f * scale;
  }
  const Coefficients k = MatrixCoefficients(in.matrix);
  const float kg = 1.0f - k.kr - k.kb;
  const float cr_r = 2.0f * (1.0f - k.kr);
  const float cb_b = 2.0f * (1.0f - k.kb);
  const float cb_g = 2.0f * k.kb * (1.0f - k.kb) / kg;
  const float cr_g = 2.0f * k.kr * (1.0f - k.kr) / kg;

  const bool half_x = in.subsampling == Subsampling::k420 || in.subsampling == Subsampling::k422;
  const bool half_y = in.subsampling == Subsampling::k420;
  const std::vector<Tap> tx = Taps(in.width, half_x);
  const std::vector<Tap> ty = Taps(in.height, half_y);

  for (std::uint32_t y = 0; y < in.height; ++y) {
    const std::uint8_t* yrow = in.plane[0] + y * in.stride[0];
    const std::uint8_t* arow = in.alpha ? in.alpha + y * in.alpha_stride : nullptr;
    std::uint8_t* o = out + y * out_stride;
    const std::uint8_t* u0 = nullptr;
    const std::uint8_t* u1 = nullptr;
    const std::uint8_t* v0 = nullptr;
    const std::uint8_t* v1 = nullptr;
    if (!mono) {
      u0 = in.plane[1] + ty[y].near * in.stride[1];
      u1 = in.plane[1] + ty[y].far * in.stride[1];
      v0 = in.plane[2] + ty[y].near * in.stride[2];
      v1 = in.plane[2] + ty[y].far * in.stride[2];
    }
    const float wy = ty[y].w_far;
    for (std::uint32_t x = 0; x < in.width; ++x) {
      const float yv = static_cast<float>(Sample(yrow, x, wide));
      float u = c_bias, v = c_bias;
      if (!mono) {
        const Tap& t = tx[x];
        const float wx = t.w_far;
        const float u_top = Sample(u0, t.near, wide) * (1.0f - wx) + Sample(u0, t.far, wide) * wx;
        const float u_bot = Sample(u1, t.near, wide) * (1.0f - wx) + Sample(u1, t.far, wide) * wx;
        const float v_top = Sample(v0, t.near, wide) * (1.0f - wx) + Sample(v0, t.far, wide) * wx;
        const float v_bot = Sample(v1, t.near, wide) * (1.0f - wx) + Sample(v1, t.far, wide) * wx;
        u = u_top * (1.0f - wy) + u_bot * wy;
        v = v_top * (1.0f - wy) + v_bot * wy;
      }
      float r, g, b;
      if (in.matrix == 0 && !mono) {
        // Identity: the planes carry G, B and R, each coded like luma.
        g = (yv - y_bias) / y_range;
        b = (u - y_bias) / y_range;
        r = (v - y_bias) / y_range;
      } else {
        const float yn = (yv - y_bias) / y_range;
        const float cb = (u - c_bias) / c_range;
        const float cr = (v - c_bias) / c_range;
        if (in.matrix == 8 && !mono) {
          // YCgCo: U carries Cg and V carries Co.
          const float t = yn - cb;
          g = yn + cb;
          b = t - cr;
          r = t + cr;
        } else {
          r = yn + cr_r * cr;
          g = yn - cb_g * cb - cr_g * cr;
          b = yn + cb_b * cb;
        }
      }
      o[0] = To8(b);
      o[1] = To8(g);
      o[2] = To8(r);
      o[3] = arow ? To8(static_cast<float>(Sample(arow, x, wide)) / max) : 255;
      o += 4;
    }
  }
  return true;
}

void AlphaLimitedToFull(std::uint8_t* plane, std::size_t stride, std::uint32_t width,
                        std::uint32_t height, std::uint32_t depth) {
  const bool wide = depth > 8;
  const int scale = 1 << (depth - 8);
  const int max = (1 << depth) - 1;
  const int lo = 16 * scale, range = 219 * scale;
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint8_t* row = plane + y * stride;
    for (std::uint32_t x = 0; x < width; ++x) {
      const int v = static_cast<int>(Sample(row, x, wide));
      const int full = std::clamp(((v - lo) * max + range / 2) / range, 0, max);
      if (wide) {
        const std::uint16_t w = static_cast<std::uint16_t>(full);
        std::memcpy(row + static_cast<std::size_t>(x) * 2, &w, 2);
      } else {
        row[x] = static_cast<std::uint8_t>(full);
      }
    }
  }
}

}  // namespace avif_layer
