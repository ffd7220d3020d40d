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
    // An animation step costs what its frames cover, whatever the logical
    // screen's size.
    for (int i = 0; i < 4 && picture_advance(pic); ++i) {
    }
    PictureBitmap small = picture_scaled(pic, 7, 5);
    bitmap_delete(small);
  }
  picture_free(pic);
  return 0;
}
