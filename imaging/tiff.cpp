// Placeholder until the tiff decoder lands.
#include "imaging/imaging.h"

namespace img {

HResult CreateTiffDecoder(Bytes, std::unique_ptr<Decoder>* out) {
  if (out) out->reset();
  return kErrUnknownImageFormat;
}

}  // namespace img
