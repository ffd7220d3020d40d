// The device-independent bitmap reader shared by the BMP decoder and the DIB
// entries of icons: header, masks and colour table parsing, alpha detection
// and conversion of uncompressed rows to straight BGRA. Every offset it keeps
// has been checked against the bytes it was parsed from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/imaging.h"

namespace img::dib {

inline constexpr std::uint32_t kBiRgb = 0;
inline constexpr std::uint32_t kBiRle8 = 1;
inline constexpr std::uint32_t kBiRle4 = 2;
inline constexpr std::uint32_t kBiBitfields = 3;
inline constexpr std::uint32_t kBiAlphaBitfields = 6;

// What the bytes hold: a BMP file (pixels at bfOffBits) or an icon entry
// (colour image of height / 2 rows followed by the 1-bit AND mask).
enum class Kind { Bmp, Icon };

struct Layout {
  std::uint32_t width = 0;
  std::uint32_t height = 0;  // rows of the colour image (half the header's for icons)
  bool topDown = false;
  std::uint32_t bpp = 0;
  std::uint32_t compression = kBiRgb;
  // Red, green, blue and alpha masks for 16- and 32-bit pixels. The alpha
  // mask is only a candidate until ResolveAlpha has looked at the pixels.
  std::uint32_t masks[4] = {};
  // 256 entries of B, G, R, 255; entries the file does not have are black.
  std::uint8_t palette[256 * 4] = {};
  std::uint64_t pixelOffset = 0;  // of the pixel array, within the parsed bytes
  std::uint64_t stride = 0;       // bytes a row, padded to 32 bits
  std::uint64_t maskOffset = 0;   // icons: the AND mask
  std::uint64_t maskStride = 0;
  bool alpha = false;  // decoded pixels carry alpha (set by ResolveAlpha)

  bool IsRle() const { return compression == kBiRle8 || compression == kBiRle4; }
};

// Parses the info header at `headerOffset` of data[0, size), then its masks
// and colour table. `bfOffBits` is the BMP file header's pixel offset (0 when
// absent: the pixels follow the colour table). For uncompressed pixels (and
// an icon's AND mask) checks that every row lies inside the bytes. Returns
// kErrBadHeader for unusable headers, kErrBadImage for pixels outside the
// data and kOutOfMemory for pictures above kMaxPixels.
HResult ParseLayout(const std::uint8_t* data, std::size_t size, std::size_t headerOffset,
                    std::uint64_t bfOffBits, Kind kind, Layout* out);

// For uncompressed pixels with an alpha candidate: keeps the alpha mask when
// some pixel has a non-zero alpha value, drops it otherwise (opaque picture),
// and sets `alpha` accordingly.
void ResolveAlpha(const std::uint8_t* data, Layout* layout);

// The format the pixels are stored in.
PixelFormat NativeFormatOf(const Layout& layout);

// Converts uncompressed row `y` (counted from the top of the picture) to
// `width` straight BGRA pixels. Only for layouts ParseLayout accepted.
void DecodeRow(const std::uint8_t* data, const Layout& layout, std::uint32_t y, std::uint8_t* bgra);

// Bytes a pixel of a CopyPixels output format, or 0 when the format is not
// one a DIB frame produces.
std::size_t OutputBytesPerPixel(PixelFormat format);

}  // namespace img::dib
