// Placeholder until the jpeg decoder lands.
#include "imaging/imaging.h"

namespace img {

HResult CreateJpegDecoder(Bytes, std::unique_ptr<Decoder>* out) {
  if (out) out->reset();
  return kErrUnknownImageFormat;
}

}  // namespace img
