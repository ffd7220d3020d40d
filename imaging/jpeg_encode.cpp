// JPEG encoding with libjpeg-turbo into memory.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

#include "imaging/imaging.h"
#include "imaging/jpeg_error.h"

namespace img {
namespace {

// The compressed bytes go into a vector through a fixed buffer. A vector
// that cannot grow ends the compression with libjpeg's out-of-memory error
// rather than an exception crossing the library's C frames.
struct VectorDest {
  jpeg_destination_mgr pub;
  std::vector<std::uint8_t>* out;
  JOCTET buffer[16384];
};

void InitDest(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<VectorDest*>(cinfo->dest);
  d->pub.next_output_byte = d->buffer;
  d->pub.free_in_buffer = sizeof d->buffer;
}

void Flush(j_compress_ptr cinfo, std::size_t n) {
  auto* d = reinterpret_cast<VectorDest*>(cinfo->dest);
  try {
    d->out->insert(d->out->end(), d->buffer, d->buffer + n);
  } catch (const std::bad_alloc&) {
    ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
  }
}

boolean EmptyDest(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<VectorDest*>(cinfo->dest);
  Flush(cinfo, sizeof d->buffer);
  InitDest(cinfo);
  return TRUE;
}

void TermDest(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<VectorDest*>(cinfo->dest);
  Flush(cinfo, sizeof d->buffer - d->pub.free_in_buffer);
}

// One compressor; destroyed on every path.
struct Compressor {
  jpeg_compress_struct info;
  JpegErrorManager err;
  VectorDest dest;
  bool created = false;
  ~Compressor() {
    if (created) jpeg_destroy_compress(&info);
  }
};

// The setjmp lives in this one function; everything it owns is in `c`.
HResult Compress(Compressor& c, const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                 std::size_t stride, int quality) {
  c.info.err = UseJpegErrors(&c.err);
  if (setjmp(c.err.jump)) return kFail;
  jpeg_create_compress(&c.info);
  c.created = true;
  c.dest.pub.init_destination = InitDest;
  c.dest.pub.empty_output_buffer = EmptyDest;
  c.dest.pub.term_destination = TermDest;
  c.info.dest = &c.dest.pub;
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
  // Written aside first, so a failure leaves *out as it was.
  std::vector<std::uint8_t> file;
  Compressor c;
  c.dest.out = &file;
  const int q = static_cast<int>(quality * 100.0f + 0.5f);
  const HResult hr = Compress(c, bgr, width, height, stride, q < 1 ? 1 : q);
  if (Failed(hr)) return hr;
  try {
    out->insert(out->end(), file.begin(), file.end());
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kOk;
}

}  // namespace img
