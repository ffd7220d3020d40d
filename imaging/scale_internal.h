// Inside the scaler: the knobs that ScaleBitmap sets by itself, exposed so
// that the tests can compare the SIMD paths with the scalar one, force either
// pass order and measure the box pre-reduction against a direct filter, and
// so that the benchmark can report what was done.
#pragma once

#include <cstdint>

#include "imaging/imaging.h"

namespace img::scale_internal {

// Which kernels run. Every path computes the same integers, so all give
// byte-identical output; Auto takes the best one the CPU has.
enum class Simd { Auto, Scalar, Sse2, Avx2 };

// Which separable pass runs first. VerticalFirst filters source rows into
// one intermediate row per output row and then filters that row across;
// HorizontalFirst filters each source row across into a small ring of rows
// and then combines ring rows for each output row. Auto picks the cheaper.
enum class Order { Auto, VerticalFirst, HorizontalFirst };

// HighQualityCubic reduces by an integer box factor first while the factor
// left for the cubic stays at least this large (0 turns it off).
inline constexpr double kDefaultBoxMinRemain = 2.5;
// Largest box factor along one axis (the sum of a 16 × 16 box fits 16 bits).
inline constexpr int kMaxBox = 16;

struct Options {
  Simd simd = Simd::Auto;
  Order order = Order::Auto;
  double boxMinRemain = kDefaultBoxMinRemain;
};

// What a call would do.
struct Plan {
  bool copy = false;         // same size: rows copied
  bool nearest = false;      // NearestNeighbor: no filter
  int boxX = 1, boxY = 1;    // integer pre-reduction
  int tapsX = 0, tapsY = 0;  // longest filter window on each axis
  Order order = Order::VerticalFirst;
  Simd simd = Simd::Scalar;
  // Bytes of working memory besides the output (tables, rows).
  std::uint64_t workBytes = 0;
};

// True when the CPU (and the OS, for AVX2) can run the path. Scalar always.
bool SimdAvailable(Simd simd);

// The plan for scaling srcW × srcH to w × h (sizes must be positive).
Plan MakePlan(std::int32_t srcW, std::int32_t srcH, std::int32_t w, std::int32_t h,
              Interpolation mode, const Options& options);

// ScaleBitmap with explicit options. An unavailable SIMD path gives kNotImpl.
HResult ScaleWith(const MemSource& src, std::int32_t w, std::int32_t h, Interpolation mode,
                  std::uint8_t* buffer, std::uint32_t stride, std::uint32_t size,
                  const Options& options);

}  // namespace img::scale_internal
