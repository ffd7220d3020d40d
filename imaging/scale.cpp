// Resampling of premultiplied BGRA pictures (ScaleBitmap).
//
// The filters are separable. For every output column and row a table holds
// the first input sample and 14-bit fixed-point weights that sum to exactly
// 1 << 14, so a solid colour stays exactly solid. One pass filters 8-bit
// samples into a 16-bit intermediate with 6 fraction bits; the other turns
// that back into bytes, clamps to 0..255 and keeps every colour channel at or
// below alpha. No full-size intermediate picture is made: either each output
// row combines the source rows it needs into one intermediate row that is
// then filtered across (vertical first), or each source row is filtered
// across into a small ring of rows that output rows combine (horizontal
// first), whichever costs less for the sizes at hand.
//
// HighQualityCubic is Catmull-Rom (B = 0, C = 0.5), widened by the reduction
// factor so that it averages like a resampling filter; large reductions first
// average power-of-two boxes while the factor left for the cubic stays at
// least Options::boxMinRemain. Fant integrates a box exactly, with fractional
// coverage at its edges. Linear and Cubic are the plain (unwidened) tent and
// Catmull-Rom, as the platform's; NearestNeighbor picks samples.
//
// The SSE2 and AVX2 kernels compute exactly the integers the scalar ones do.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "imaging/imaging.h"
#include "imaging/scale_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define NORVANE_SCALE_SSE2 1
#endif
#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__)) && \
    (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define NORVANE_SCALE_AVX2 1
#define NORVANE_AVX2_FN __attribute__((target("avx2")))
#endif

namespace img {
namespace {

using scale_internal::Options;
using scale_internal::Order;
using scale_internal::Plan;
using scale_internal::Simd;
using std::int16_t;
using std::int32_t;
using std::int64_t;
using std::size_t;
using std::uint16_t;
using std::uint32_t;
using std::uint64_t;
using std::uint8_t;

constexpr int kCoefBits = 14;
constexpr int32_t kOne = 1 << kCoefBits;
constexpr int kMidBits = 6;                         // fraction bits of the intermediate
constexpr int kShiftToMid = kCoefBits - kMidBits;   // byte × weight -> intermediate
constexpr int kShiftToByte = kCoefBits + kMidBits;  // intermediate × weight -> byte
constexpr int32_t kRoundMid = 1 << (kShiftToMid - 1);
constexpr int32_t kRoundByte = 1 << (kShiftToByte - 1);

enum class Kernel { Box, Triangle, CatmullRom };

// The weights of one axis.
struct Axis {
  int32_t in = 0;   // input samples
  int32_t out = 0;  // output samples
  // Weights kept per output: a multiple of 4 across (the horizontal kernels
  // read groups of 4 pixels), a multiple of 2 down.
  int32_t taps = 0;
  int32_t longest = 0;         // longest window
  std::vector<int32_t> start;  // first input sample of each output
  std::vector<int32_t> count;  // samples from start that carry weight (≤ taps)
  std::vector<int16_t> coef;   // out × taps, zero beyond count
};

double CatmullRom(double x) {
  x = std::fabs(x);
  if (x < 1) return (1.5 * x - 2.5) * x * x + 1;
  if (x < 2) return ((-0.5 * x + 2.5) * x - 4) * x + 2;
  return 0;
}

double Tent(double x) {
  x = std::fabs(x);
  return x < 1 ? 1 - x : 0;
}

// Builds the weights of `out` samples over `in` input samples, `ratio` input
// samples to one output sample. Horizontal axes keep their window of `taps`
// inside the input whenever it fits (so kernels may read whole groups).
void BuildAxis(Axis* a, int32_t in, int32_t out, double ratio, Kernel kernel, bool widen,
               bool horizontal) {
  a->in = in;
  a->out = out;
  a->start.assign(static_cast<size_t>(out), 0);
  a->count.assign(static_cast<size_t>(out), 0);
  std::vector<int32_t> lo(static_cast<size_t>(out));
  std::vector<size_t> at(static_cast<size_t>(out) + 1);
  std::vector<int16_t> q;
  std::vector<double> wt;
  const double fs = widen ? std::max(1.0, ratio) : 1.0;
  const double support = kernel == Kernel::CatmullRom ? 2 * fs : fs;
  int32_t longest = 1;
  for (int32_t o = 0; o < out; ++o) {
    at[static_cast<size_t>(o)] = q.size();
    wt.clear();
    int64_t i0, i1;
    const double c = (o + 0.5) * ratio - 0.5;
    if (kernel == Kernel::Box) {
      const double left = o * ratio, right = (o + 1) * ratio;
      i0 = std::max<int64_t>(0, static_cast<int64_t>(std::floor(left)));
      i1 = std::min<int64_t>(in - 1, static_cast<int64_t>(std::ceil(right)) - 1);
      for (int64_t i = i0; i <= i1; ++i) {
        const double cover = std::min(right, i + 1.0) - std::max(left, static_cast<double>(i));
        wt.push_back(cover > 0 ? cover : 0);
      }
    } else {
      i0 = std::max<int64_t>(0, static_cast<int64_t>(std::floor(c - support)) + 1);
      i1 = std::min<int64_t>(in - 1, static_cast<int64_t>(std::ceil(c + support)) - 1);
      for (int64_t i = i0; i <= i1; ++i) {
        const double x = (static_cast<double>(i) - c) / fs;
        wt.push_back(kernel == Kernel::CatmullRom ? CatmullRom(x) : Tent(x));
      }
    }
    double sum = 0;
    for (double v : wt) sum += v;
    if (wt.empty() || !(sum > 1e-9)) {  // cannot happen for these kernels; nearest then
      const int64_t i = std::clamp<int64_t>(std::llround(c), 0, in - 1);
      i0 = i;
      wt.assign(1, 1.0);
      sum = 1;
    }
    // Cumulative rounding: each weight is within one unit of exact and the
    // sum is exactly kOne.
    double run = 0;
    int32_t prev = 0;
    for (size_t k = 0; k < wt.size(); ++k) {
      run += wt[k] / sum;
      const int32_t cur = k + 1 == wt.size() ? kOne : static_cast<int32_t>(std::lround(run * kOne));
      q.push_back(static_cast<int16_t>(cur - prev));
      prev = cur;
    }
    lo[static_cast<size_t>(o)] = static_cast<int32_t>(i0);
    longest = std::max<int32_t>(longest, static_cast<int32_t>(wt.size()));
  }
  at[static_cast<size_t>(out)] = q.size();
  a->longest = longest;
  a->taps = horizontal ? (longest + 3) / 4 * 4 : (longest + 1) / 2 * 2;
  a->coef.assign(static_cast<size_t>(out) * static_cast<size_t>(a->taps), 0);
  for (int32_t o = 0; o < out; ++o) {
    const size_t uo = static_cast<size_t>(o);
    const int32_t len = static_cast<int32_t>(at[uo + 1] - at[uo]);
    int32_t start = lo[uo];
    if (horizontal) {
      if (a->taps > in) {
        start = 0;  // the caller pads the row to `taps` samples
      } else if (start + a->taps > in) {
        start = in - a->taps;
      }
    }
    const int32_t offset = lo[uo] - start;
    a->start[uo] = start;
    a->count[uo] = offset + len;
    std::copy(
        q.begin() + static_cast<std::ptrdiff_t>(at[uo]),
        q.begin() + static_cast<std::ptrdiff_t>(at[uo + 1]),
        a->coef.begin() + static_cast<std::ptrdiff_t>(uo * static_cast<size_t>(a->taps)) + offset);
  }
}

inline int16_t Sat16(int32_t v) {
  return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}
inline uint8_t Clamp8(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

inline void ClampToAlphaScalar(uint8_t* px) {
  const uint8_t a = px[3];
  for (int c = 0; c < 3; ++c) px[c] = std::min(px[c], a);
}

// ---------------------------------------------------------------------------
// Scalar kernels (the reference: every other path gives the same integers).

// Vertical, bytes -> intermediate, pixels [x0, x1). n is even.
void V8Scalar(const uint8_t* const* rows, const int16_t* coef, int n, int32_t x0, int32_t x1,
              int16_t* out) {
  for (size_t i = static_cast<size_t>(x0) * 4; i < static_cast<size_t>(x1) * 4; ++i) {
    int32_t acc = 0;
    for (int k = 0; k < n; ++k) acc += coef[k] * rows[k][i];
    out[i] = Sat16((acc + kRoundMid) >> kShiftToMid);
  }
}

// Vertical, intermediate -> bytes, pixels [x0, x1).
void V16Scalar(const int16_t* const* rows, const int16_t* coef, int n, int32_t x0, int32_t x1,
               uint8_t* out) {
  for (int32_t x = x0; x < x1; ++x) {
    uint8_t* px = out + static_cast<size_t>(x) * 4;
    for (int c = 0; c < 4; ++c) {
      const size_t i = static_cast<size_t>(x) * 4 + static_cast<size_t>(c);
      int32_t acc = 0;
      for (int k = 0; k < n; ++k) acc += coef[k] * rows[k][i];
      px[c] = Clamp8((acc + kRoundByte) >> kShiftToByte);
    }
    ClampToAlphaScalar(px);
  }
}

// Horizontal, intermediate -> bytes, outputs [o0, o1).
void H16Scalar(const int16_t* in, const Axis& ax, int32_t o0, int32_t o1, uint8_t* out) {
  for (int32_t o = o0; o < o1; ++o) {
    const size_t uo = static_cast<size_t>(o);
    const int16_t* p = in + static_cast<size_t>(ax.start[uo]) * 4;
    const int16_t* w = ax.coef.data() + uo * static_cast<size_t>(ax.taps);
    uint8_t* px = out + uo * 4;
    for (int c = 0; c < 4; ++c) {
      int32_t acc = 0;
      for (int32_t k = 0; k < ax.count[uo]; ++k) acc += w[k] * p[static_cast<size_t>(k) * 4 + c];
      px[c] = Clamp8((acc + kRoundByte) >> kShiftToByte);
    }
    ClampToAlphaScalar(px);
  }
}

// Horizontal, bytes -> intermediate, outputs [o0, o1).
void H8Scalar(const uint8_t* in, const Axis& ax, int32_t o0, int32_t o1, int16_t* out) {
  for (int32_t o = o0; o < o1; ++o) {
    const size_t uo = static_cast<size_t>(o);
    const uint8_t* p = in + static_cast<size_t>(ax.start[uo]) * 4;
    const int16_t* w = ax.coef.data() + uo * static_cast<size_t>(ax.taps);
    for (int c = 0; c < 4; ++c) {
      int32_t acc = 0;
      for (int32_t k = 0; k < ax.count[uo]; ++k) acc += w[k] * p[static_cast<size_t>(k) * 4 + c];
      out[uo * 4 + static_cast<size_t>(c)] = Sat16((acc + kRoundMid) >> kShiftToMid);
    }
  }
}

// Box sums: `nrows` rows of `srcW` pixels summed down into 16-bit channels.
void BoxSumScalar(const uint8_t* const* rows, int nrows, int32_t srcW, uint16_t* sum) {
  const size_t bytes = static_cast<size_t>(srcW) * 4;
  for (size_t i = 0; i < bytes; ++i) {
    uint32_t s = 0;
    for (int r = 0; r < nrows; ++r) s += rows[r][i];
    sum[i] = static_cast<uint16_t>(s);
  }
}

// Box pixels [b0, b1) from the column sums: rounded averages of bx columns
// (fewer at the right edge).
void BoxAcrossScalar(const uint16_t* sum, int nrows, int32_t srcW, int bx, int32_t b0, int32_t b1,
                     uint8_t* out) {
  for (int32_t b = b0; b < b1; ++b) {
    const int32_t j0 = b * bx, j1 = std::min(srcW, j0 + bx);
    const uint32_t n = static_cast<uint32_t>(nrows) * static_cast<uint32_t>(j1 - j0);
    for (int c = 0; c < 4; ++c) {
      uint32_t s = 0;
      for (int32_t j = j0; j < j1; ++j)
        s += sum[static_cast<size_t>(j) * 4 + static_cast<size_t>(c)];
      out[static_cast<size_t>(b) * 4 + static_cast<size_t>(c)] =
          static_cast<uint8_t>((s + n / 2) / n);
    }
  }
}

int32_t BoxCount(int32_t size, int factor) { return (size + factor - 1) / factor; }

void BoxScalar(const uint8_t* const* rows, int nrows, int32_t srcW, int bx, uint8_t* out,
               uint16_t* sum) {
  BoxSumScalar(rows, nrows, srcW, sum);
  BoxAcrossScalar(sum, nrows, srcW, bx, 0, BoxCount(srcW, bx), out);
}

void TableNone(const Axis&, std::vector<int16_t>* t) { t->clear(); }

// ---------------------------------------------------------------------------
// SSE2 kernels.
#if defined(NORVANE_SCALE_SSE2)

// Weight tables in the layouts of the SSE2 kernels.

// Horizontal weights for the intermediate -> bytes kernel: per group of 4
// taps, the pairs (w0, w2) and then (w1, w3), each repeated 4 times.
void TableH16Sse2(const Axis& ax, std::vector<int16_t>* t) {
  const size_t taps = static_cast<size_t>(ax.taps);
  t->assign(static_cast<size_t>(ax.out) * taps * 4, 0);
  for (size_t o = 0; o < static_cast<size_t>(ax.out); ++o) {
    const int16_t* w = ax.coef.data() + o * taps;
    int16_t* d = t->data() + o * taps * 4;
    for (size_t g = 0; g < taps; g += 4, d += 16) {
      for (int r = 0; r < 4; ++r) {
        d[2 * r] = w[g];
        d[2 * r + 1] = w[g + 2];
        d[8 + 2 * r] = w[g + 1];
        d[8 + 2 * r + 1] = w[g + 3];
      }
    }
  }
}

// Horizontal weights for the bytes -> intermediate kernel: per group of 4
// taps, (w0, w1) then (w2, w3), each repeated 4 times.
void TableH8Sse2(const Axis& ax, std::vector<int16_t>* t) {
  const size_t taps = static_cast<size_t>(ax.taps);
  t->assign(static_cast<size_t>(ax.out) * taps * 4, 0);
  for (size_t o = 0; o < static_cast<size_t>(ax.out); ++o) {
    const int16_t* w = ax.coef.data() + o * taps;
    int16_t* d = t->data() + o * taps * 4;
    for (size_t g = 0; g < taps; g += 4, d += 16) {
      for (int r = 0; r < 4; ++r) {
        d[2 * r] = w[g];
        d[2 * r + 1] = w[g + 1];
        d[8 + 2 * r] = w[g + 2];
        d[8 + 2 * r + 1] = w[g + 3];
      }
    }
  }
}

inline __m128i LoadU(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void StoreU(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// Colour channels limited to alpha: each 32-bit pixel's alpha byte spread
// over the pixel, then a byte-wise minimum (alpha with itself stays).
inline __m128i ClampToAlphaSse2(__m128i px) {
  __m128i a = _mm_srli_epi32(px, 24);
  a = _mm_or_si128(a, _mm_slli_epi32(a, 8));
  a = _mm_or_si128(a, _mm_slli_epi32(a, 16));
  return _mm_min_epu8(px, a);
}

inline __m128i ToMid(__m128i acc) {
  return _mm_srai_epi32(_mm_add_epi32(acc, _mm_set1_epi32(kRoundMid)), kShiftToMid);
}
inline __m128i ToByte(__m128i acc) {
  return _mm_srai_epi32(_mm_add_epi32(acc, _mm_set1_epi32(kRoundByte)), kShiftToByte);
}

// Weight pairs (w[k], w[k+1]) as 32-bit words, for broadcasting.
inline int32_t Pair(const int16_t* w, int k) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(w[k])) |
                              (static_cast<uint32_t>(static_cast<uint16_t>(w[k + 1])) << 16));
}

// Two source rows' 4 pixels interleaved and widened: pixel 0 .. 3 of both,
// each as (row a, row b) pairs per channel, times the weight pair.
#define NORVANE_V8_STEP(P, Q, A0, A1, A2, A3)                                   \
  do {                                                                          \
    const __m128i lo_ = _mm_unpacklo_epi8(P, Q), hi_ = _mm_unpackhi_epi8(P, Q); \
    A0 = _mm_add_epi32(A0, _mm_madd_epi16(_mm_unpacklo_epi8(lo_, zero), c));    \
    A1 = _mm_add_epi32(A1, _mm_madd_epi16(_mm_unpackhi_epi8(lo_, zero), c));    \
    A2 = _mm_add_epi32(A2, _mm_madd_epi16(_mm_unpacklo_epi8(hi_, zero), c));    \
    A3 = _mm_add_epi32(A3, _mm_madd_epi16(_mm_unpackhi_epi8(hi_, zero), c));    \
  } while (0)

void V8Sse2(const uint8_t* const* rows, const int16_t* coef, int n, int32_t width, int16_t* out) {
  const __m128i zero = _mm_setzero_si128();
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const size_t off = static_cast<size_t>(x) * 4;
    __m128i a0 = zero, a1 = zero, a2 = zero, a3 = zero, a4 = zero, a5 = zero, a6 = zero, a7 = zero;
    for (int k = 0; k < n; k += 2) {
      const __m128i c = _mm_set1_epi32(Pair(coef, k));
      const uint8_t* r0 = rows[k] + off;
      const uint8_t* r1 = rows[k + 1] + off;
      const __m128i p0 = LoadU(r0), q0 = LoadU(r1);
      NORVANE_V8_STEP(p0, q0, a0, a1, a2, a3);
      const __m128i p1 = LoadU(r0 + 16), q1 = LoadU(r1 + 16);
      NORVANE_V8_STEP(p1, q1, a4, a5, a6, a7);
    }
    int16_t* d = out + off;
    StoreU(d, _mm_packs_epi32(ToMid(a0), ToMid(a1)));
    StoreU(d + 8, _mm_packs_epi32(ToMid(a2), ToMid(a3)));
    StoreU(d + 16, _mm_packs_epi32(ToMid(a4), ToMid(a5)));
    StoreU(d + 24, _mm_packs_epi32(ToMid(a6), ToMid(a7)));
  }
  for (; x + 4 <= width; x += 4) {
    const size_t off = static_cast<size_t>(x) * 4;
    __m128i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
    for (int k = 0; k < n; k += 2) {
      const __m128i c = _mm_set1_epi32(Pair(coef, k));
      const __m128i p = LoadU(rows[k] + off), q = LoadU(rows[k + 1] + off);
      NORVANE_V8_STEP(p, q, a0, a1, a2, a3);
    }
    StoreU(out + off, _mm_packs_epi32(ToMid(a0), ToMid(a1)));
    StoreU(out + off + 8, _mm_packs_epi32(ToMid(a2), ToMid(a3)));
  }
  V8Scalar(rows, coef, n, x, width, out);
}

void V16Sse2(const int16_t* const* rows, const int16_t* coef, int n, int32_t width, uint8_t* out) {
  const __m128i zero = _mm_setzero_si128();
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const size_t off = static_cast<size_t>(x) * 4;
    __m128i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
    for (int k = 0; k < n; k += 2) {
      const __m128i c = _mm_set1_epi32(Pair(coef, k));
      const int16_t* r0 = rows[k] + off;
      const int16_t* r1 = rows[k + 1] + off;
      const __m128i p0 = LoadU(r0), q0 = LoadU(r1);
      a0 = _mm_add_epi32(a0, _mm_madd_epi16(_mm_unpacklo_epi16(p0, q0), c));
      a1 = _mm_add_epi32(a1, _mm_madd_epi16(_mm_unpackhi_epi16(p0, q0), c));
      const __m128i p1 = LoadU(r0 + 8), q1 = LoadU(r1 + 8);
      a2 = _mm_add_epi32(a2, _mm_madd_epi16(_mm_unpacklo_epi16(p1, q1), c));
      a3 = _mm_add_epi32(a3, _mm_madd_epi16(_mm_unpackhi_epi16(p1, q1), c));
    }
    const __m128i v = _mm_packus_epi16(_mm_packs_epi32(ToByte(a0), ToByte(a1)),
                                       _mm_packs_epi32(ToByte(a2), ToByte(a3)));
    StoreU(out + off, ClampToAlphaSse2(v));
  }
  V16Scalar(rows, coef, n, x, width, out);
}

// One output pixel of the intermediate -> bytes horizontal kernel, as 32-bit
// channel values already shifted.
inline __m128i H16One(const int16_t* in, const Axis& ax, const int16_t* table, int32_t o) {
  const size_t uo = static_cast<size_t>(o);
  const int16_t* p = in + static_cast<size_t>(ax.start[uo]) * 4;
  const int16_t* t = table + uo * static_cast<size_t>(ax.taps) * 4;
  __m128i acc = _mm_setzero_si128();
  for (int32_t g = 0; g < ax.taps; g += 4, p += 16, t += 16) {
    const __m128i x = LoadU(p), y = LoadU(p + 8);
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi16(x, y), LoadU(t)));
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpackhi_epi16(x, y), LoadU(t + 8)));
  }
  return ToByte(acc);
}

void H16Sse2(const int16_t* in, const Axis& ax, const int16_t* table, uint8_t* out) {
  int32_t o = 0;
  for (; o + 4 <= ax.out; o += 4) {
    const __m128i a = H16One(in, ax, table, o), b = H16One(in, ax, table, o + 1);
    const __m128i c = H16One(in, ax, table, o + 2), d = H16One(in, ax, table, o + 3);
    const __m128i v = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    StoreU(out + static_cast<size_t>(o) * 4, ClampToAlphaSse2(v));
  }
  for (; o < ax.out; ++o) {
    __m128i v = H16One(in, ax, table, o);
    v = _mm_packs_epi32(v, v);
    v = ClampToAlphaSse2(_mm_packus_epi16(v, v));
    const int32_t px = _mm_cvtsi128_si32(v);
    std::memcpy(out + static_cast<size_t>(o) * 4, &px, 4);
  }
}

inline __m128i H8One(const uint8_t* in, const Axis& ax, const int16_t* table, int32_t o) {
  const size_t uo = static_cast<size_t>(o);
  const uint8_t* p = in + static_cast<size_t>(ax.start[uo]) * 4;
  const int16_t* t = table + uo * static_cast<size_t>(ax.taps) * 4;
  const __m128i zero = _mm_setzero_si128();
  __m128i acc = zero;
  for (int32_t g = 0; g < ax.taps; g += 4, p += 16, t += 16) {
    // [p0 p1 p2 p3] -> [p0 p2 p1 p3] -> bytes of p0 and p1, p2 and p3 interleaved.
    const __m128i v = _mm_shuffle_epi32(LoadU(p), _MM_SHUFFLE(3, 1, 2, 0));
    const __m128i z = _mm_unpacklo_epi8(v, _mm_srli_si128(v, 8));
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi8(z, zero), LoadU(t)));
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpackhi_epi8(z, zero), LoadU(t + 8)));
  }
  return ToMid(acc);
}

void H8Sse2(const uint8_t* in, const Axis& ax, const int16_t* table, int16_t* out) {
  int32_t o = 0;
  for (; o + 2 <= ax.out; o += 2) {
    const __m128i a = H8One(in, ax, table, o), b = H8One(in, ax, table, o + 1);
    StoreU(out + static_cast<size_t>(o) * 4, _mm_packs_epi32(a, b));
  }
  if (o < ax.out) {
    const __m128i a = H8One(in, ax, table, o);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + static_cast<size_t>(o) * 4),
                     _mm_packs_epi32(a, a));
  }
}

void BoxSse2(const uint8_t* const* rows, int nrows, int32_t srcW, int bx, uint8_t* out,
             uint16_t* sum) {
  const int n = nrows * bx;
  if (n & (n - 1)) {  // a short last row of boxes: exact division
    BoxScalar(rows, nrows, srcW, bx, out, sum);
    return;
  }
  int shift = 0;
  while ((1 << shift) < n) ++shift;
  const __m128i zero = _mm_setzero_si128();
  const size_t bytes = static_cast<size_t>(srcW) * 4;
  const int32_t full = srcW / bx;
  if (bx == 2 && nrows == 2) {  // the common case, fused
    const __m128i half = _mm_set1_epi16(2);
    const uint8_t* r0 = rows[0];
    const uint8_t* r1 = rows[1];
    int32_t b = 0;
    for (; b + 4 <= full; b += 4) {
      const size_t off = static_cast<size_t>(b) * 8;
      const __m128i p0 = LoadU(r0 + off), q0 = LoadU(r1 + off);
      const __m128i p1 = LoadU(r0 + off + 16), q1 = LoadU(r1 + off + 16);
      // Column sums of pixels 0..7, then pairs of neighbours added.
      const __m128i s0 = _mm_add_epi16(_mm_unpacklo_epi8(p0, zero), _mm_unpacklo_epi8(q0, zero));
      const __m128i s1 = _mm_add_epi16(_mm_unpackhi_epi8(p0, zero), _mm_unpackhi_epi8(q0, zero));
      const __m128i s2 = _mm_add_epi16(_mm_unpacklo_epi8(p1, zero), _mm_unpacklo_epi8(q1, zero));
      const __m128i s3 = _mm_add_epi16(_mm_unpackhi_epi8(p1, zero), _mm_unpackhi_epi8(q1, zero));
      const __m128i t0 = _mm_add_epi16(_mm_unpacklo_epi64(s0, s1), _mm_unpackhi_epi64(s0, s1));
      const __m128i t1 = _mm_add_epi16(_mm_unpacklo_epi64(s2, s3), _mm_unpackhi_epi64(s2, s3));
      const __m128i v0 = _mm_srli_epi16(_mm_add_epi16(t0, half), 2);
      const __m128i v1 = _mm_srli_epi16(_mm_add_epi16(t1, half), 2);
      StoreU(out + static_cast<size_t>(b) * 4, _mm_packus_epi16(v0, v1));
    }
    // The rest from column sums of the pixels left.
    const size_t from = static_cast<size_t>(b) * 8;
    for (size_t i = from; i < bytes; ++i) sum[i] = static_cast<uint16_t>(r0[i] + r1[i]);
    BoxAcrossScalar(sum, nrows, srcW, bx, b, BoxCount(srcW, bx), out);
    return;
  }
  size_t i = 0;
  for (; i + 16 <= bytes; i += 16) {
    __m128i lo = zero, hi = zero;
    for (int r = 0; r < nrows; ++r) {
      const __m128i v = LoadU(rows[r] + i);
      lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(v, zero));
      hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(v, zero));
    }
    StoreU(sum + i, lo);
    StoreU(sum + i + 8, hi);
  }
  for (; i < bytes; ++i) {
    uint32_t s = 0;
    for (int r = 0; r < nrows; ++r) s += rows[r][i];
    sum[i] = static_cast<uint16_t>(s);
  }
  const __m128i half = _mm_set1_epi16(static_cast<int16_t>(n >> 1));
  const __m128i count = _mm_cvtsi32_si128(shift);
  int32_t b = 0;
  for (; b + 2 <= full; b += 2) {
    const uint16_t* s0 = sum + static_cast<size_t>(b) * static_cast<size_t>(bx) * 4;
    const uint16_t* s1 = s0 + static_cast<size_t>(bx) * 4;
    __m128i x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s0));
    __m128i x1 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s1));
    for (int j = 1; j < bx; ++j) {
      x0 = _mm_add_epi16(x0, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s0 + 4 * j)));
      x1 = _mm_add_epi16(x1, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s1 + 4 * j)));
    }
    __m128i v = _mm_add_epi16(_mm_unpacklo_epi64(x0, x1), half);
    v = _mm_srl_epi16(v, count);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + static_cast<size_t>(b) * 4),
                     _mm_packus_epi16(v, v));
  }
  BoxAcrossScalar(sum, nrows, srcW, bx, b, BoxCount(srcW, bx), out);
}

#endif  // NORVANE_SCALE_SSE2

// ---------------------------------------------------------------------------
// AVX2 kernels (the two that carry most of the work of a reduction), run
// only when the CPU and the OS say AVX2 is usable.
#if defined(NORVANE_SCALE_AVX2)

NORVANE_AVX2_FN inline __m256i ToMid256(__m256i acc) {
  return _mm256_srai_epi32(_mm256_add_epi32(acc, _mm256_set1_epi32(kRoundMid)), kShiftToMid);
}

// Like V8Sse2 with 8 pixels a register. Per 128-bit lane the unpacks keep
// pixels 0-3 and 4-7 apart; a lane swap at the end restores their order.
#define NORVANE_V8_STEP256(P, Q, A0, A1, A2, A3)                                      \
  do {                                                                                \
    const __m256i lo_ = _mm256_unpacklo_epi8(P, Q), hi_ = _mm256_unpackhi_epi8(P, Q); \
    A0 = _mm256_add_epi32(A0, _mm256_madd_epi16(_mm256_unpacklo_epi8(lo_, zero), c)); \
    A1 = _mm256_add_epi32(A1, _mm256_madd_epi16(_mm256_unpackhi_epi8(lo_, zero), c)); \
    A2 = _mm256_add_epi32(A2, _mm256_madd_epi16(_mm256_unpacklo_epi8(hi_, zero), c)); \
    A3 = _mm256_add_epi32(A3, _mm256_madd_epi16(_mm256_unpackhi_epi8(hi_, zero), c)); \
  } while (0)

NORVANE_AVX2_FN void StoreMid256(int16_t* d, __m256i a0, __m256i a1, __m256i a2, __m256i a3) {
  // a0: pixels 0 | 4, a1: 1 | 5, a2: 2 | 6, a3: 3 | 7
  const __m256i x = _mm256_packs_epi32(ToMid256(a0), ToMid256(a1));  // 0 1 | 4 5
  const __m256i y = _mm256_packs_epi32(ToMid256(a2), ToMid256(a3));  // 2 3 | 6 7
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), _mm256_permute2x128_si256(x, y, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 16), _mm256_permute2x128_si256(x, y, 0x31));
}

NORVANE_AVX2_FN void V8Avx2(const uint8_t* const* rows, const int16_t* coef, int n, int32_t width,
                            int16_t* out) {
  const __m256i zero = _mm256_setzero_si256();
  int32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const size_t off = static_cast<size_t>(x) * 4;
    __m256i a0 = zero, a1 = zero, a2 = zero, a3 = zero, a4 = zero, a5 = zero, a6 = zero, a7 = zero;
    for (int k = 0; k < n; k += 2) {
      const __m256i c = _mm256_set1_epi32(Pair(coef, k));
      const uint8_t* r0 = rows[k] + off;
      const uint8_t* r1 = rows[k + 1] + off;
      const __m256i p0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0));
      const __m256i q0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1));
      NORVANE_V8_STEP256(p0, q0, a0, a1, a2, a3);
      const __m256i p1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + 32));
      const __m256i q1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + 32));
      NORVANE_V8_STEP256(p1, q1, a4, a5, a6, a7);
    }
    StoreMid256(out + off, a0, a1, a2, a3);
    StoreMid256(out + off + 32, a4, a5, a6, a7);
  }
  for (; x + 8 <= width; x += 8) {
    const size_t off = static_cast<size_t>(x) * 4;
    __m256i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
    for (int k = 0; k < n; k += 2) {
      const __m256i c = _mm256_set1_epi32(Pair(coef, k));
      const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + off));
      const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k + 1] + off));
      NORVANE_V8_STEP256(p, q, a0, a1, a2, a3);
    }
    StoreMid256(out + off, a0, a1, a2, a3);
  }
  V8Scalar(rows, coef, n, x, width, out);
}

// Horizontal weights for H16Avx2, per group of 8 taps: two registers whose
// lanes pair the taps that the unpacks of H16OneAvx2 bring together; a last
// group of 4 as TableH16Sse2 has it.
void TableH16Avx2(const Axis& ax, std::vector<int16_t>* t) {
  const size_t taps = static_cast<size_t>(ax.taps);
  t->assign(static_cast<size_t>(ax.out) * taps * 4, 0);
  for (size_t o = 0; o < static_cast<size_t>(ax.out); ++o) {
    const int16_t* w = ax.coef.data() + o * taps;
    int16_t* d = t->data() + o * taps * 4;
    size_t g = 0;
    for (; g + 8 <= taps; g += 8, d += 32) {
      for (int r = 0; r < 4; ++r) {
        // first register: lane 0 (w0, w4), lane 1 (w2, w6); second: (w1, w5), (w3, w7)
        d[2 * r] = w[g];
        d[2 * r + 1] = w[g + 4];
        d[8 + 2 * r] = w[g + 2];
        d[8 + 2 * r + 1] = w[g + 6];
        d[16 + 2 * r] = w[g + 1];
        d[16 + 2 * r + 1] = w[g + 5];
        d[24 + 2 * r] = w[g + 3];
        d[24 + 2 * r + 1] = w[g + 7];
      }
    }
    if (g < taps) {
      for (int r = 0; r < 4; ++r) {
        d[2 * r] = w[g];
        d[2 * r + 1] = w[g + 2];
        d[8 + 2 * r] = w[g + 1];
        d[8 + 2 * r + 1] = w[g + 3];
      }
    }
  }
}

NORVANE_AVX2_FN inline __m128i H16OneAvx2(const int16_t* in, const Axis& ax, const int16_t* table,
                                          int32_t o) {
  const size_t uo = static_cast<size_t>(o);
  const int16_t* p = in + static_cast<size_t>(ax.start[uo]) * 4;
  const int16_t* t = table + uo * static_cast<size_t>(ax.taps) * 4;
  __m256i acc = _mm256_setzero_si256();
  int32_t g = 0;
  for (; g + 8 <= ax.taps; g += 8, p += 32, t += 32) {
    // x: pixels 0 1 | 2 3, y: 4 5 | 6 7; unpacks pair 0 with 4, 2 with 6
    // (lo) and 1 with 5, 3 with 7 (hi).
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16));
    const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t));
    const __m256i w1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + 16));
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_unpacklo_epi16(x, y), w0));
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_unpackhi_epi16(x, y), w1));
  }
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
  if (g < ax.taps) {
    const __m128i x = LoadU(p), y = LoadU(p + 8);
    s = _mm_add_epi32(s, _mm_madd_epi16(_mm_unpacklo_epi16(x, y), LoadU(t)));
    s = _mm_add_epi32(s, _mm_madd_epi16(_mm_unpackhi_epi16(x, y), LoadU(t + 8)));
  }
  return _mm_srai_epi32(_mm_add_epi32(s, _mm_set1_epi32(kRoundByte)), kShiftToByte);
}

NORVANE_AVX2_FN void H16Avx2(const int16_t* in, const Axis& ax, const int16_t* table,
                             uint8_t* out) {
  int32_t o = 0;
  for (; o + 4 <= ax.out; o += 4) {
    const __m128i a = H16OneAvx2(in, ax, table, o);
    const __m128i b = H16OneAvx2(in, ax, table, o + 1);
    const __m128i c = H16OneAvx2(in, ax, table, o + 2);
    const __m128i d = H16OneAvx2(in, ax, table, o + 3);
    const __m128i v = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    StoreU(out + static_cast<size_t>(o) * 4, ClampToAlphaSse2(v));
  }
  for (; o < ax.out; ++o) {
    __m128i v = H16OneAvx2(in, ax, table, o);
    v = _mm_packs_epi32(v, v);
    v = ClampToAlphaSse2(_mm_packus_epi16(v, v));
    const int32_t px = _mm_cvtsi128_si32(v);
    std::memcpy(out + static_cast<size_t>(o) * 4, &px, 4);
  }
}

// 2 × 2 boxes, 8 output pixels a step; anything else goes to SSE2.
NORVANE_AVX2_FN void BoxAvx2(const uint8_t* const* rows, int nrows, int32_t srcW, int bx,
                             uint8_t* out, uint16_t* sum) {
  if (!(bx == 2 && nrows == 2)) {
    BoxSse2(rows, nrows, srcW, bx, out, sum);
    return;
  }
  const __m256i zero = _mm256_setzero_si256();
  const __m256i half = _mm256_set1_epi16(2);
  const uint8_t* r0 = rows[0];
  const uint8_t* r1 = rows[1];
  const int32_t full = srcW / 2;
  int32_t b = 0;
  for (; b + 8 <= full; b += 8) {
    const size_t off = static_cast<size_t>(b) * 8;
    // Source pixels 0-3 | 8-11 and 4-7 | 12-15 so that the lanes come out in order.
    const __m256i p0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + off));
    const __m256i p1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + off + 32));
    const __m256i q0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + off));
    const __m256i q1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + off + 32));
    // p0: 0-3 | 4-7, p1: 8-11 | 12-15
    const __m256i pa = _mm256_permute2x128_si256(p0, p1, 0x20);  // 0-3 | 8-11
    const __m256i pb = _mm256_permute2x128_si256(p0, p1, 0x31);  // 4-7 | 12-15
    const __m256i qa = _mm256_permute2x128_si256(q0, q1, 0x20);
    const __m256i qb = _mm256_permute2x128_si256(q0, q1, 0x31);
    const __m256i s0 =
        _mm256_add_epi16(_mm256_unpacklo_epi8(pa, zero), _mm256_unpacklo_epi8(qa, zero));
    const __m256i s1 =
        _mm256_add_epi16(_mm256_unpackhi_epi8(pa, zero), _mm256_unpackhi_epi8(qa, zero));
    const __m256i s2 =
        _mm256_add_epi16(_mm256_unpacklo_epi8(pb, zero), _mm256_unpacklo_epi8(qb, zero));
    const __m256i s3 =
        _mm256_add_epi16(_mm256_unpackhi_epi8(pb, zero), _mm256_unpackhi_epi8(qb, zero));
    // s0: px 0 1 | 8 9, s1: 2 3 | 10 11, s2: 4 5 | 12 13, s3: 6 7 | 14 15
    const __m256i t0 = _mm256_add_epi16(_mm256_unpacklo_epi64(s0, s1),
                                        _mm256_unpackhi_epi64(s0, s1));  // b0 b1 | b4 b5
    const __m256i t1 = _mm256_add_epi16(_mm256_unpacklo_epi64(s2, s3),
                                        _mm256_unpackhi_epi64(s2, s3));  // b2 b3 | b6 b7
    const __m256i v0 = _mm256_srli_epi16(_mm256_add_epi16(t0, half), 2);
    const __m256i v1 = _mm256_srli_epi16(_mm256_add_epi16(t1, half), 2);
    // packus per lane: b0 b1 b2 b3 | b4 b5 b6 b7
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + static_cast<size_t>(b) * 4),
                        _mm256_packus_epi16(v0, v1));
  }
  const size_t bytes = static_cast<size_t>(srcW) * 4;
  const size_t from = static_cast<size_t>(b) * 8;
  for (size_t i = from; i < bytes; ++i) sum[i] = static_cast<uint16_t>(r0[i] + r1[i]);
  BoxAcrossScalar(sum, nrows, srcW, bx, b, BoxCount(srcW, bx), out);
}

bool CpuHasAvx2() {
  // libgcc checks the OS's saving of the wide registers (XGETBV) too.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

#endif  // NORVANE_SCALE_AVX2

// ---------------------------------------------------------------------------
// The kernel sets.

struct Kernels {
  void (*box)(const uint8_t* const* rows, int nrows, int32_t srcW, int bx, uint8_t* out,
              uint16_t* sum);
  void (*v8)(const uint8_t* const* rows, const int16_t* coef, int n, int32_t width, int16_t* out);
  void (*v16)(const int16_t* const* rows, const int16_t* coef, int n, int32_t width, uint8_t* out);
  void (*h16)(const int16_t* in, const Axis& ax, const int16_t* table, uint8_t* out);
  void (*h8)(const uint8_t* in, const Axis& ax, const int16_t* table, int16_t* out);
  void (*tableH16)(const Axis& ax, std::vector<int16_t>* t);
  void (*tableH8)(const Axis& ax, std::vector<int16_t>* t);
};

void V8ScalarAll(const uint8_t* const* rows, const int16_t* coef, int n, int32_t width,
                 int16_t* out) {
  V8Scalar(rows, coef, n, 0, width, out);
}
void V16ScalarAll(const int16_t* const* rows, const int16_t* coef, int n, int32_t width,
                  uint8_t* out) {
  V16Scalar(rows, coef, n, 0, width, out);
}
void H16ScalarAll(const int16_t* in, const Axis& ax, const int16_t*, uint8_t* out) {
  H16Scalar(in, ax, 0, ax.out, out);
}
void H8ScalarAll(const uint8_t* in, const Axis& ax, const int16_t*, int16_t* out) {
  H8Scalar(in, ax, 0, ax.out, out);
}

Kernels KernelsFor(Simd simd) {
  switch (simd) {
#if defined(NORVANE_SCALE_AVX2)
    case Simd::Avx2:
      return {BoxAvx2, V8Avx2, V16Sse2, H16Avx2, H8Sse2, TableH16Avx2, TableH8Sse2};
#endif
#if defined(NORVANE_SCALE_SSE2)
    case Simd::Sse2:
      return {BoxSse2, V8Sse2, V16Sse2, H16Sse2, H8Sse2, TableH16Sse2, TableH8Sse2};
#endif
    default:
      return {BoxScalar,   V8ScalarAll, V16ScalarAll, H16ScalarAll,
              H8ScalarAll, TableNone,   TableNone};
  }
}

Simd ResolveSimd(Simd wanted) {
  if (wanted != Simd::Auto) return wanted;
  if (scale_internal::SimdAvailable(Simd::Avx2)) return Simd::Avx2;
  if (scale_internal::SimdAvailable(Simd::Sse2)) return Simd::Sse2;
  return Simd::Scalar;
}

// ---------------------------------------------------------------------------
// Planning.

struct Setup {
  Plan plan;
  int32_t srcW = 0, srcH = 0, w = 0, h = 0;
  int32_t boxW = 0, boxH = 0;  // size after the box pre-reduction
  Axis hax, vax;
};

int PowerOfTwoAtMost(double v, int limit) {
  int b = 1;
  while (b * 2 <= limit && b * 2 <= v) b *= 2;
  return b;
}

// Rough cost of each kernel per tap and pixel, in SSE2 instructions.
constexpr double kCostV8 = 2.1, kCostH16 = 2.5, kCostH8 = 3.0, kCostV16 = 2.3;
constexpr uint64_t kRingLimit = 64u << 20;

void MakeSetup(Setup* s, int32_t srcW, int32_t srcH, int32_t w, int32_t h, Interpolation mode,
               const Options& opt) {
  s->srcW = srcW;
  s->srcH = srcH;
  s->w = w;
  s->h = h;
  Plan& p = s->plan;
  p = Plan{};
  p.simd = ResolveSimd(opt.simd);
  if (w == srcW && h == srcH) {
    p.copy = true;
    return;
  }
  if (mode == Interpolation::NearestNeighbor) {
    p.nearest = true;
    p.workBytes = static_cast<uint64_t>(w) * 4;
    return;
  }
  Kernel kernel = Kernel::CatmullRom;
  bool widen = true;
  switch (mode) {
    case Interpolation::Linear:
      kernel = Kernel::Triangle;
      widen = false;
      break;
    case Interpolation::Cubic:
      widen = false;
      break;
    case Interpolation::Fant:
      kernel = Kernel::Box;
      break;
    default:
      break;
  }
  const double rx = static_cast<double>(srcW) / w, ry = static_cast<double>(srcH) / h;
  if (mode == Interpolation::HighQualityCubic && opt.boxMinRemain > 0) {
    p.boxX = PowerOfTwoAtMost(rx / opt.boxMinRemain, scale_internal::kMaxBox);
    p.boxY = PowerOfTwoAtMost(ry / opt.boxMinRemain, scale_internal::kMaxBox);
  }
  s->boxW = BoxCount(srcW, p.boxX);
  s->boxH = BoxCount(srcH, p.boxY);
  BuildAxis(&s->hax, s->boxW, w, rx / p.boxX, kernel, widen, true);
  BuildAxis(&s->vax, s->boxH, h, ry / p.boxY, kernel, widen, false);
  p.tapsX = s->hax.longest;
  p.tapsY = s->vax.longest;

  // Pass order by estimated work, unless the ring of the horizontal-first
  // order would be large.
  double vsum = 0;
  uint64_t rowsUsed = 0;
  int64_t next = 0;
  for (int32_t y = 0; y < h; ++y) {
    const int32_t st = s->vax.start[static_cast<size_t>(y)],
                  n = s->vax.count[static_cast<size_t>(y)];
    vsum += (n + 1) / 2 * 2;
    const int64_t end = static_cast<int64_t>(st) + n;
    if (end > next) {
      rowsUsed += static_cast<uint64_t>(end - std::max<int64_t>(next, st));
      next = end;
    }
  }
  const double costVH = kCostV8 * vsum * s->boxW + kCostH16 * double(h) * w * s->hax.taps;
  const double costHV = kCostH8 * double(rowsUsed) * w * s->hax.taps + kCostV16 * vsum * w;
  const uint64_t ring = static_cast<uint64_t>(s->vax.longest);
  const uint64_t padded = static_cast<uint64_t>(std::max(s->boxW, s->hax.taps)) + 8;
  const uint64_t boxRow = static_cast<uint64_t>(srcW) * 8;  // column sums
  const uint64_t memVH =
      (p.boxX * p.boxY > 1 ? ring * static_cast<uint64_t>(s->boxW) * 4 : 0) + padded * 8 + boxRow;
  const uint64_t memHV = ring * static_cast<uint64_t>(w) * 8 + padded * 4 + boxRow;
  Order order = opt.order;
  if (order == Order::Auto) {
    order = costHV < costVH && (memHV <= memVH || memHV <= kRingLimit) ? Order::HorizontalFirst
                                                                       : Order::VerticalFirst;
  }
  p.order = order;
  const uint64_t tables = (s->hax.coef.size() * 5 + s->vax.coef.size()) * 2 +
                          (s->hax.start.size() + s->vax.start.size()) * 8;
  p.workBytes = (order == Order::VerticalFirst ? memVH : memHV) + tables;
}

// ---------------------------------------------------------------------------
// Running.

// Box row j (or source row j without a box) as bytes.
class BoxRows {
 public:
  BoxRows(const MemSource& src, int bx, int by, uint16_t* sum, const Kernels& k)
      : src_(src), bx_(bx), by_(by), sum_(sum), k_(k) {}
  const uint8_t* Source(int32_t j) const {
    return src_.pixels + static_cast<size_t>(j) * static_cast<size_t>(src_.width) * 4;
  }
  void Make(int32_t j, uint8_t* out) const {
    const uint8_t* rows[scale_internal::kMaxBox];
    const int32_t first = j * by_;
    const int n = static_cast<int>(std::min<int32_t>(by_, src_.height - first));
    for (int r = 0; r < n; ++r) rows[r] = Source(first + r);
    k_.box(rows, n, src_.width, bx_, out, sum_);
  }

 private:
  const MemSource& src_;
  int bx_, by_;
  uint16_t* sum_;
  const Kernels& k_;
};

void RunVerticalFirst(const Setup& s, const MemSource& src, const Kernels& k, uint8_t* dst,
                      uint32_t stride) {
  const Axis& hax = s.hax;
  const Axis& vax = s.vax;
  std::vector<int16_t> table;
  k.tableH16(hax, &table);
  const size_t boxBytes = static_cast<size_t>(s.boxW) * 4;
  const bool boxed = s.plan.boxX * s.plan.boxY > 1;
  const int32_t ringRows = vax.longest;
  std::vector<uint8_t> ring(boxed ? static_cast<size_t>(ringRows) * boxBytes : 0);
  std::vector<uint16_t> sum(boxed ? static_cast<size_t>(src.width) * 4 + 16 : 0);
  // The intermediate row, zero beyond the picture for windows wider than it.
  const size_t midPixels = static_cast<size_t>(std::max(s.boxW, hax.taps)) + 8;
  std::vector<int16_t> mid(midPixels * 4, 0);
  std::vector<const uint8_t*> rows(static_cast<size_t>(vax.taps) + 2);
  BoxRows boxes(src, s.plan.boxX, s.plan.boxY, sum.data(), k);
  int32_t next = 0;
  for (int32_t y = 0; y < s.h; ++y) {
    const size_t uy = static_cast<size_t>(y);
    const int32_t st = vax.start[uy], n = vax.count[uy];
    if (boxed) {
      next = std::max(next, st);
      for (; next < st + n; ++next) {
        boxes.Make(next, ring.data() + static_cast<size_t>(next % ringRows) * boxBytes);
      }
    }
    for (int32_t i = 0; i < n; ++i) {
      const int32_t j = st + i;
      rows[static_cast<size_t>(i)] =
          boxed ? ring.data() + static_cast<size_t>(j % ringRows) * boxBytes : boxes.Source(j);
    }
    const int n2 = (n + 1) / 2 * 2;
    if (n2 != n) rows[static_cast<size_t>(n)] = rows[static_cast<size_t>(n - 1)];  // weight 0
    k.v8(rows.data(), vax.coef.data() + uy * static_cast<size_t>(vax.taps), n2, s.boxW, mid.data());
    k.h16(mid.data(), hax, table.data(), dst + uy * stride);
  }
}

void RunHorizontalFirst(const Setup& s, const MemSource& src, const Kernels& k, uint8_t* dst,
                        uint32_t stride) {
  const Axis& hax = s.hax;
  const Axis& vax = s.vax;
  std::vector<int16_t> table;
  k.tableH8(hax, &table);
  const bool boxed = s.plan.boxX * s.plan.boxY > 1;
  // Rows are read in place unless a box is made or the window is wider
  // than the row (then a zero-padded copy).
  const bool padded = hax.taps > s.boxW;
  std::vector<uint8_t> line(
      boxed || padded ? (static_cast<size_t>(std::max(s.boxW, hax.taps)) + 8) * 4 : 0, 0);
  std::vector<uint16_t> sum(boxed ? static_cast<size_t>(src.width) * 4 + 16 : 0);
  const int32_t ringRows = vax.longest;
  const size_t ringStride = static_cast<size_t>(s.w) * 4;
  std::vector<int16_t> ring(static_cast<size_t>(ringRows) * ringStride);
  std::vector<const int16_t*> rows(static_cast<size_t>(vax.taps) + 2);
  BoxRows boxes(src, s.plan.boxX, s.plan.boxY, sum.data(), k);
  int32_t next = 0;
  for (int32_t y = 0; y < s.h; ++y) {
    const size_t uy = static_cast<size_t>(y);
    const int32_t st = vax.start[uy], n = vax.count[uy];
    next = std::max(next, st);
    for (; next < st + n; ++next) {
      const uint8_t* row;
      if (boxed) {
        boxes.Make(next, line.data());
        row = line.data();
      } else if (padded) {
        std::memcpy(line.data(), boxes.Source(next), static_cast<size_t>(s.boxW) * 4);
        row = line.data();
      } else {
        row = boxes.Source(next);
      }
      k.h8(row, hax, table.data(), ring.data() + static_cast<size_t>(next % ringRows) * ringStride);
    }
    for (int32_t i = 0; i < n; ++i) {
      rows[static_cast<size_t>(i)] =
          ring.data() + static_cast<size_t>((st + i) % ringRows) * ringStride;
    }
    const int n2 = (n + 1) / 2 * 2;
    if (n2 != n) rows[static_cast<size_t>(n)] = rows[static_cast<size_t>(n - 1)];
    k.v16(rows.data(), vax.coef.data() + uy * static_cast<size_t>(vax.taps), n2, s.w,
          dst + uy * stride);
  }
}

void RunNearest(const MemSource& src, int32_t w, int32_t h, uint8_t* dst, uint32_t stride) {
  std::vector<int32_t> xs(static_cast<size_t>(w));
  for (int32_t x = 0; x < w; ++x) {
    const int64_t sx =
        ((2 * static_cast<int64_t>(x) + 1) * src.width) / (2 * static_cast<int64_t>(w));
    xs[static_cast<size_t>(x)] = static_cast<int32_t>(std::min<int64_t>(sx, src.width - 1));
  }
  for (int32_t y = 0; y < h; ++y) {
    const int64_t sy = std::min<int64_t>(
        ((2 * static_cast<int64_t>(y) + 1) * src.height) / (2 * static_cast<int64_t>(h)),
        src.height - 1);
    const uint8_t* row = src.pixels + static_cast<size_t>(sy) * static_cast<size_t>(src.width) * 4;
    uint8_t* d = dst + static_cast<size_t>(y) * stride;
    for (int32_t x = 0; x < w; ++x) {
      std::memcpy(d + static_cast<size_t>(x) * 4,
                  row + static_cast<size_t>(xs[static_cast<size_t>(x)]) * 4, 4);
    }
  }
}

HResult CheckArgs(const MemSource& src, std::int32_t w, std::int32_t h, Interpolation mode,
                  const std::uint8_t* buffer, std::uint32_t stride, std::uint32_t size) {
  if (!src.pixels || src.width <= 0 || src.height <= 0 || w <= 0 || h <= 0 || !buffer) {
    return kInvalidArg;
  }
  switch (mode) {
    case Interpolation::NearestNeighbor:
    case Interpolation::Linear:
    case Interpolation::Cubic:
    case Interpolation::Fant:
    case Interpolation::HighQualityCubic:
      break;
    default:
      return kInvalidArg;
  }
  const uint64_t rowBytes = static_cast<uint64_t>(w) * 4;
  if (stride < rowBytes) return kInvalidArg;
  if (size < static_cast<uint64_t>(stride) * static_cast<uint64_t>(h - 1) + rowBytes) {
    return kErrInsufficientBuffer;
  }
  return kOk;
}

}  // namespace

namespace scale_internal {

bool SimdAvailable(Simd simd) {
  switch (simd) {
    case Simd::Scalar:
      return true;
    case Simd::Sse2:
#if defined(NORVANE_SCALE_SSE2)
      return true;
#else
      return false;
#endif
    case Simd::Avx2: {
#if defined(NORVANE_SCALE_AVX2)
      static const bool has = CpuHasAvx2();
      return has;
#else
      return false;
#endif
    }
    case Simd::Auto:
      return true;
  }
  return false;
}

Plan MakePlan(std::int32_t srcW, std::int32_t srcH, std::int32_t w, std::int32_t h,
              Interpolation mode, const Options& options) {
  Setup s;
  MakeSetup(&s, srcW, srcH, w, h, mode, options);
  return s.plan;
}

HResult ScaleWith(const MemSource& src, std::int32_t w, std::int32_t h, Interpolation mode,
                  std::uint8_t* buffer, std::uint32_t stride, std::uint32_t size,
                  const Options& options) {
  HResult hr = CheckArgs(src, w, h, mode, buffer, stride, size);
  if (Failed(hr)) return hr;
  if (!SimdAvailable(options.simd)) return kNotImpl;
  try {
    Setup s;
    MakeSetup(&s, src.width, src.height, w, h, mode, options);
    if (s.plan.copy) {
      const size_t row = static_cast<size_t>(w) * 4;
      for (int32_t y = 0; y < h; ++y) {
        std::memcpy(buffer + static_cast<size_t>(y) * stride,
                    src.pixels + static_cast<size_t>(y) * row, row);
      }
      return kOk;
    }
    if (s.plan.nearest) {
      RunNearest(src, w, h, buffer, stride);
      return kOk;
    }
    const Kernels k = KernelsFor(s.plan.simd);
    if (s.plan.order == Order::HorizontalFirst) {
      RunHorizontalFirst(s, src, k, buffer, stride);
    } else {
      RunVerticalFirst(s, src, k, buffer, stride);
    }
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {  // a vector longer than the address space
    return kOutOfMemory;
  }
}

}  // namespace scale_internal

HResult ScaleBitmap(const MemSource& src, std::int32_t w, std::int32_t h, Interpolation mode,
                    std::uint8_t* buffer, std::uint32_t stride, std::uint32_t size) {
  return scale_internal::ScaleWith(src, w, h, mode, buffer, stride, size,
                                   scale_internal::Options{});
}

}  // namespace img
