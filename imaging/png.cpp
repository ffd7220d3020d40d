// Placeholder until the png decoder lands.
#include "imaging/imaging.h"

namespace img {

HResult CreatePngDecoder(Bytes, std::unique_ptr<Decoder>* out) {
  if (out) out->reset();
  return kErrUnknownImageFormat;
}

}  // namespace img
