// Placeholder until the scaler lands.
#include "imaging/imaging.h"

namespace img {

HResult ScaleBitmap(const MemSource&, std::int32_t, std::int32_t, Interpolation, std::uint8_t*,
                    std::uint32_t, std::uint32_t) {
  return kNotImpl;
}

}  // namespace img
