// Arbitrary bytes through the whole loading pipeline: recognition, every
// decoder, orientation, colour management, animation steps and the scaler.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode/decode_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = decode_init();
  (void)ready;
  using namespace decode_internal;
  std::vector<std::uint8_t> bytes(data, data + size);
  Bundled kind = SniffBytes(data, size < 64 ? size : 64);
  Picture* pic = new Picture;
  if (img::Succeeded(LoadBytes(pic, std::move(bytes), kind)) && pic->bits) {
    // Each animation step copies and composites the whole canvas; on huge
    // logical screens a few steps would only measure memory bandwidth.
    const bool smallCanvas = static_cast<std::uint64_t>(pic->width) * pic->height <= (1u << 22);
    for (int i = 0; smallCanvas && i < 4 && picture_advance(pic); ++i) {
    }
    PictureBitmap small = picture_scaled(pic, 7, 5);
    bitmap_delete(small);
  }
  picture_free(pic);
  return 0;
}
