// The system's own picture decoders, tried last: on Windows the Imaging
// Component's installed codecs (HEIC and HEIF with their extension, camera
// raw, JPEG XR, DDS and whatever else is installed) read the files none of
// ours reads. Elsewhere there are none.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/imaging.h"

struct Picture;

namespace decode_internal {

// Decodes the first frame into the picture's pixels, premultiplied BGRA,
// converted to sRGB when the file carries a colour profile and turned by its
// EXIF orientation. kOutOfMemory for a picture over the pixel limit; kFail
// when no installed decoder reads the bytes.
img::HResult DecodeWithSystem(const std::vector<std::uint8_t>& bytes, Picture* pic);

}  // namespace decode_internal
