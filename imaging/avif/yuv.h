// YUV planes as an AV1 decoder leaves them, converted to 8-bit BGRA with the
// matrix and range the file declares.
#pragma once

#include <cstddef>
#include <cstdint>

namespace avif_layer {

enum class Subsampling { k444, k422, k420, k400 };

struct YuvPlanes {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t depth = 8;  // 8, 10 or 12; above 8 samples are 16-bit words
  Subsampling subsampling = Subsampling::k420;
  bool full_range = false;
  std::uint16_t matrix = 2;  // matrix_coefficients code point
  const std::uint8_t* plane[3] = {nullptr, nullptr, nullptr};
  std::size_t stride[3] = {0, 0, 0};    // bytes
  const std::uint8_t* alpha = nullptr;  // full range, same depth; null: opaque
  std::size_t alpha_stride = 0;
};

// Writes width x height BGRA pixels (not premultiplied). False when the
// description cannot be converted (depth, matrix, missing planes).
bool YuvToBgra8(const YuvPlanes& in, std::uint8_t* out, std::size_t out_stride);

// Stretches a limited-range alpha plane to full range in place.
void AlphaLimitedToFull(std::uint8_t* plane, std::size_t stride, std::uint32_t width,
                        std::uint32_t height, std::uint32_t depth);

}  // namespace avif_layer
