// JPEG encoding with libjpeg-turbo into memory.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

#include "imaging/imaging.h"
#include "imaging/jpeg_error.h"

namespace img {
namespace {

// One compressor and its output buffer; released on every path.
struct Compressor {
  jpeg_compress_struct info;
  JpegErrorManager err;
  bool created = false;
  unsigned char* mem = nullptr;
  unsigned long memSize = 0;
  ~Compressor() {
    if (created) jpeg_destroy_compress(&info);
    std::free(mem);  // jpeg_mem_dest allocates with malloc
  }
};

// The setjmp lives in this one function; everything it owns is in `c`.
HResult Compress(Compressor& c, const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                 std::size_t stride, int quality) {
  c.info.err = UseJpegErrors(&c.err);
  if (setjmp(c.err.jump)) return kFail;
  jpeg_create_compress(&c.info);
  c.created = true;
  jpeg_mem_dest(&c.info, &c.mem, &c.memSize);
  c.info.image_width = width;
  c.info.image_height = height;
  c.info.input_components = 3;
  c.info.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&c.info);
  jpeg_set_quality(&c.info, quality, TRUE);
  jpeg_start_compress(&c.info, TRUE);
  while (c.info.next_scanline < c.info.image_height) {
    JSAMPROW row[1] = {
        const_cast<JSAMPROW>(bgr + static_cast<std::size_t>(c.info.next_scanline) * stride)};
    jpeg_write_scanlines(&c.info, row, 1);
  }
  jpeg_finish_compress(&c.info);
  return kOk;
}

}  // namespace

HResult EncodeJpeg(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                   std::size_t stride, float quality, std::vector<std::uint8_t>* out) {
  if (!bgr || !out || width == 0 || height == 0 || width > 65500 || height > 65500 ||
      stride < static_cast<std::size_t>(width) * 3 || !(quality >= 0.0f && quality <= 1.0f)) {
    return kInvalidArg;
  }
  Compressor c;
  const int q = static_cast<int>(quality * 100.0f + 0.5f);
  const HResult hr = Compress(c, bgr, width, height, stride, q < 1 ? 1 : q);
  if (Failed(hr)) return hr;
  out->insert(out->end(), c.mem, c.mem + c.memSize);
  return kOk;
}

}  // namespace img
