// The still-image structure of an AVIF file: the boxes that name the primary
// AV1 item, its alpha auxiliary item, its properties and its Exif and XMP
// items, or, for a sequence, the first sample of the colour and alpha tracks.
// Every offset and size comes from the file and is checked before use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace avif_layer {

// Largest picture the reader accepts, in pixels and per side.
inline constexpr std::uint64_t kMaxPixels = 300000000;
inline constexpr std::uint32_t kMaxSide = 65536;

enum class ParseStatus {
  kOk,
  kInvalidFtyp,   // no ftyp box first, or no AVIF brand in it
  kBadStructure,  // a box or a table does not fit or contradicts itself
  kNoAv1Item,     // no primary AV1 item and no usable track
  kUnsupported,   // a grid, a protected item, an essential property not known here
  kTruncated,     // an item's bytes lie outside the file
  kTooLarge,      // the declared size passes kMaxPixels or kMaxSide
};

// The av1C record: what the coded picture will look like before decoding it.
struct Av1Config {
  bool present = false;
  std::uint8_t profile = 0;
  bool high_bitdepth = false;
  bool twelve_bit = false;
  bool monochrome = false;
  bool subsampling_x = false;
  bool subsampling_y = false;

  std::uint32_t Depth() const { return twelve_bit ? 12 : (high_bitdepth ? 10 : 8); }
};

// The colr box of type nclx: coding-independent code points and the range.
struct Nclx {
  bool present = false;
  std::uint16_t primaries = 2;
  std::uint16_t transfer = 2;
  std::uint16_t matrix = 2;
  bool full_range = false;
};

// One coded picture: the AV1 bytes and the properties that describe them.
struct CodedImage {
  std::vector<std::uint8_t> obu;
  std::uint32_t width = 0;  // from ispe, or a track's header
  std::uint32_t height = 0;
  Av1Config av1c;
  Nclx nclx;
  std::vector<std::uint8_t> icc;
  bool has_irot = false;
  std::uint8_t irot_angle = 0;  // quarter turns anti-clockwise
  bool has_imir = false;
  std::uint8_t imir_axis = 0;  // 0 top-to-bottom, 1 left-to-right
};

struct AvifFile {
  CodedImage color;
  bool has_alpha = false;
  CodedImage alpha;
  std::vector<std::uint8_t> exif;  // the Exif item without its 4-byte header offset
  std::vector<std::uint8_t> xmp;
  bool from_tracks = false;
  // What finding the parts cost (for the tests): the distinct auxiliary
  // items whose type was looked at, and the item bytes copied out.
  std::uint32_t aux_items_checked = 0;
  std::uint64_t item_bytes_read = 0;
};

ParseStatus ParseAvif(const std::uint8_t* data, std::size_t size, AvifFile* out);

}  // namespace avif_layer
