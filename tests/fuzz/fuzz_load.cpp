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
  // The reduced first look of a large JPEG, at each reduction.
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xD8) {
    for (double zoom : {0.5, 0.25, 0.125}) {
      Picture* reduced = LoadReducedBytes(std::vector<std::uint8_t>(data, data + size),
                                          [zoom](int, int) { return zoom; });
      if (reduced) {
        PictureBitmap small = picture_scaled(reduced, 7, 5);
        bitmap_delete(small);
      }
      picture_free(reduced);
    }
  }
  return 0;
}
