// Placeholder until the ico decoder lands.
#include "imaging/imaging.h"

namespace img {

HResult CreateIcoDecoder(Bytes, std::unique_ptr<Decoder>* out) {
  if (out) out->reset();
  return kErrUnknownImageFormat;
}

}  // namespace img
