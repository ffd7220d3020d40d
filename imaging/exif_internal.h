// IFD access for multi-directory TIFF files (classic and BigTIFF), shared by
// the TIFF decoder and the EXIF reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
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
// Blocks a TIFF file's own directory carries: XMP, IPTC and Photoshop
// resources.
inline constexpr std::uint16_t kTagXmp = 700;
inline constexpr std::uint16_t kTagIptc = 33723;
inline constexpr std::uint16_t kTagPhotoshop = 34377;

inline constexpr std::uint64_t kMaxIfdEntries = 4096;
inline constexpr int kMaxIfdDepth = 4;

// One walk over a TIFF structure (an EXIF block, one directory of a TIFF
// file) lists at most this many items. Directories cannot overlap, so a
// structure of n bytes has at most n / 12 entries anyway; the cap keeps a
// big TIFF file's walk small as well.
inline constexpr std::uint64_t kMaxIfdItems = 8192;
// What an item costs in memory besides its values: its id, its typed value
// record and its place in the directory's item list (a nested directory: its
// reader). Values cost 8 bytes a number and 1 a byte of text or blob.
inline constexpr std::uint64_t kIfdItemBytes = 256;
static_assert(sizeof(MetaItem) <= kIfdItemBytes);

// What one walk may take, shared by the reader and the editor so that both
// list the same entries (and a query path names the same one for reading
// and writing).
//
// A directory is refused when its entry table overlaps one already taken:
// the same directory reached again (a loop), or a pointer into the middle of
// another directory's run of entries. Without that, sub-directory pointers
// into one shared run would list it over and over, a few bytes apart.
//
// Items are charged what they cost, against a budget of a small multiple of
// the structure's size: every legitimate layout fits it, while entries that
// all point at the same values stop being listed once it is spent.
class IfdWalkLimits {
 public:
  explicit IfdWalkLimits(std::size_t structureBytes = 0)
      : budget_(std::uint64_t{structureBytes} * 32 + 4096) {}
  // Takes the directory whose count field and entries lie in [begin, end),
  // as one item: false, and nothing taken, when it overlaps a directory
  // already taken or the walk is spent.
  bool TakeDirectory(std::uint64_t begin, std::uint64_t end);
  // Takes one item of `count` values of TIFF type `type`: false, and nothing
  // taken, when the walk is spent.
  bool TakeValue(std::uint16_t type, std::uint64_t count);
  std::uint64_t Items() const { return items_; }

 private:
  bool Take(std::uint64_t cost);
  std::map<std::uint64_t, std::uint64_t> dirs_;  // begin -> end
  std::uint64_t budget_;
  std::uint64_t items_ = 0;
};

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
