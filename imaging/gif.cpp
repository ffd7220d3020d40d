// Placeholder until the gif decoder lands.
#include "imaging/imaging.h"

namespace img {

HResult CreateGifDecoder(Bytes, std::unique_ptr<Decoder>* out) {
  if (out) out->reset();
  return kErrUnknownImageFormat;
}

}  // namespace img
