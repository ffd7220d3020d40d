// Placeholder until the bmp decoder lands.
#include "imaging/imaging.h"

namespace img {

HResult CreateBmpDecoder(Bytes, std::unique_ptr<Decoder>* out) {
  if (out) out->reset();
  return kErrUnknownImageFormat;
}

}  // namespace img
