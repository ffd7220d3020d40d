// IFD access for multi-directory TIFF files (classic and BigTIFF), shared by
// the TIFF decoder and the EXIF reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/imaging.h"

namespace img {

// The directories an EXIF structure nests, by the tags that point at them,
// and the thumbnail's place in IFD1.
inline constexpr std::uint16_t kTagExif = 34665;
inline constexpr std::uint16_t kTagGps = 34853;
inline constexpr std::uint16_t kTagInterop = 40965;
inline constexpr std::uint16_t kTagThumbOffset = 513;
inline constexpr std::uint16_t kTagThumbLength = 514;

// Whether a tag points at a directory of its own (EXIF, GPS, interoperability).
inline bool IsSubDirTag(std::uint16_t tag) {
  return tag == kTagExif || tag == kTagGps || tag == kTagInterop;
}

// A directory holds at most this many entries; IFD0 -> EXIF ->
// interoperability is the deepest legitimate chain. The reader and the
// editor apply the same limits, so that both see the same entries.
inline constexpr std::uint64_t kMaxIfdEntries = 4096;
inline constexpr int kMaxIfdDepth = 4;

// Bytes of one value of a TIFF field type (BigTIFF's 64-bit types included);
// 0 for a type no reader knows.
std::uint32_t TiffTypeSize(std::uint16_t type);

// The byte order and offset width of a TIFF header: "II*\0" / "MM\0*"
// (classic, 32-bit offsets) or "II+\0" / "MM\0+" (BigTIFF, 64-bit offsets).
// False when the bytes are not a TIFF header.
struct TiffHeader {
  bool bigEndian = false;
  bool big = false;        // BigTIFF
  std::uint64_t ifd0 = 0;  // offset of the first IFD
};
bool ReadTiffHeader(const std::uint8_t* data, std::size_t size, TiffHeader* out);

// Offsets of the main IFD chain (IFD0, IFD1, ...) in order: at most
// `maxCount` of them; the walk stops at a zero next-offset, a directory that
// lies outside the bytes, or an offset already seen (an IFD loop).
std::vector<std::uint64_t> TiffIfdChain(const std::uint8_t* data, std::size_t size,
                                        std::size_t maxCount);

// The IFD at `offset` as a reader of format "ifd" whose items are
// "{ushort=TAG}" with the same typed values ParseTiffIfds gives (BigTIFF's
// 64-bit types as VT_UI8 / VT_I8), with its EXIF, GPS and interoperability
// IFDs nested as "{ushort=34665}", "{ushort=34853}", "{ushort=40965}".
// With `fileDirectory` (a TIFF file's own directory, not EXIF inside another
// container) tag 700 becomes the item "xmp", tag 33723 "iptc" and tag 34377
// "irb", each the parsed reader; a tag whose bytes do not parse stays
// "{ushort=TAG}".
// Null when the header or the directory cannot be read.
std::shared_ptr<const MetadataReader> ParseIfdAt(const std::uint8_t* data, std::size_t size,
                                                 std::uint64_t offset, bool fileDirectory = false);

}  // namespace img
