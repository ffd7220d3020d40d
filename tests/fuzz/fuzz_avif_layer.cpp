// The AVIF decoder calls of imaging/avif on arbitrary bytes: the box reader,
// dav1d on whatever the items hold, and the conversion to BGRA.
#include <avif/avif.h>

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  avifDecoder* dec = avifDecoderCreate();
  if (!dec) return 0;
  dec->maxThreads = 1;
  if (avifDecoderSetIOMemory(dec, data, size) == AVIF_RESULT_OK &&
      avifDecoderParse(dec) == AVIF_RESULT_OK) {
    const avifImage* im = dec->image;
    // What the metadata window reads right after parsing.
    volatile std::size_t sink = im->exif.size + im->xmp.size + im->icc.size;
    if (im->exif.size) sink = sink + im->exif.data[im->exif.size - 1];
    if (im->xmp.size) sink = sink + im->xmp.data[im->xmp.size - 1];
    (void)sink;
    // Keep decoded pictures small so the run explores structure, not area.
    if (static_cast<std::uint64_t>(im->width) * im->height <= 1u << 20 &&
        avifDecoderNextImage(dec) == AVIF_RESULT_OK) {
      avifRGBImage rgb;
      avifRGBImageSetDefaults(&rgb, dec->image);
      rgb.depth = 8;
      rgb.format = AVIF_RGB_FORMAT_BGRA;
      std::vector<std::uint8_t> px(static_cast<std::size_t>(rgb.width) * rgb.height * 4);
      rgb.pixels = px.data();
      rgb.rowBytes = rgb.width * 4;
      avifImageYUVToRGB(dec->image, &rgb);
    }
  }
  avifDecoderDestroy(dec);
  return 0;
}
