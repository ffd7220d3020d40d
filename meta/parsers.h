// Container parsers: split a file held in memory into the units that carry
// metadata (JPEG marker segments, PNG chunks, WebP RIFF chunks, GIF blocks).
// They only record offsets and sizes into the caller's buffer, which must stay
// unchanged while the lists are in use. Each answers false for anything outside
// the simple, well-formed structure it understands; nothing looks at checksums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace meta {

// One JPEG marker segment before the first scan.
struct Seg {
  std::uint8_t marker = 0;   // the byte after 0xFF (0xE1 APP1, 0xFE COM, ...)
  std::uint64_t offset = 0;  // the 0xFF that begins the marker
  std::uint64_t size = 0;    // 2 for a standalone marker, else length field + 2
};

// One PNG chunk; it occupies length + 12 bytes from `offset`.
struct Chunk {
  char type[5] = {};             // "IHDR", "tEXt", ... with a terminating zero
  std::uint64_t dataOffset = 0;  // offset + 8
  std::uint64_t length = 0;      // from the big-endian length field
  std::uint64_t offset = 0;      // the length field
};

// One chunk of a WebP file after the 12-byte RIFF header.
struct RiffChunk {
  char fourcc[5] = {};           // "VP8 ", "VP8X", "EXIF", "XMP ", ... with a terminating zero
  std::uint64_t dataOffset = 0;  // offset + 8
  std::uint64_t size = 0;        // from the little-endian size field
  std::uint64_t offset = 0;      // the chunk header
  // 8 + size rounded up to even; 8 + size when the pad byte of an odd-sized
  // chunk would lie beyond the end of the file.
  std::uint64_t span = 0;
};

// One block of a GIF data stream between the header and the trailer.
struct GifBlock {
  std::uint64_t offset = 0;  // the introducer: 0x21 extension or 0x2C image descriptor
  std::uint64_t end = 0;     // one past the terminating zero-length sub-block
  bool isComment = false;    // extension with label 0xFE
  std::string text;          // a comment's sub-blocks joined, raw bytes; empty otherwise
};

inline constexpr std::uint8_t kPngSig[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// Begins the payload of an EXIF APP1 segment: "Exif" and two zero bytes.
inline constexpr std::uint8_t kExifHead[6] = {'E', 'x', 'i', 'f', 0, 0};
// Begins the payload of an XMP APP1 segment: the XMP namespace URI and a zero byte.
inline constexpr std::uint8_t kXmpHead[29] = {'h', 't', 't', 'p', ':', '/', '/', 'n', 's', '.',
                                              'a', 'd', 'o', 'b', 'e', '.', 'c', 'o', 'm', '/',
                                              'x', 'a', 'p', '/', '1', '.', '0', '/', 0};

// Lists the segments before the first SOS; `scanStart` is the 0xFF of that SOS.
bool ParseJpeg(const std::uint8_t* data, std::size_t size, std::vector<Seg>* segs,
               std::uint64_t* scanStart);
// Lists every chunk from the first up to and including IEND.
bool ParsePng(const std::uint8_t* data, std::size_t size, std::vector<Chunk>* chunks);
// Lists every chunk after the RIFF header; true when there is at least one.
bool ParseWebp(const std::uint8_t* data, std::size_t size, std::vector<RiffChunk>* chunks);
// Lists the blocks between the header (with its global colour table) and the
// trailer; `firstBlock` is where the first block begins, `trailer` the 0x3B.
bool ParseGif(const std::uint8_t* data, std::size_t size, std::vector<GifBlock>* blocks,
              std::uint64_t* firstBlock, std::uint64_t* trailer);

// True for "tEXt", "zTXt" and "iTXt".
bool IsTextChunk(const char* type);

// Copies the payload of the "EXIF" and "XMP " chunks; the last of each wins,
// an absent one leaves its vector empty.
void WebpBlobs(const std::uint8_t* data, std::size_t size, const std::vector<RiffChunk>& chunks,
               std::vector<std::uint8_t>* exif, std::vector<std::uint8_t>* xmp);

// The same over a whole-file vector.
inline bool ParseJpeg(const std::vector<std::uint8_t>& file, std::vector<Seg>* segs,
                      std::uint64_t* scanStart) {
  return ParseJpeg(file.data(), file.size(), segs, scanStart);
}
inline bool ParsePng(const std::vector<std::uint8_t>& file, std::vector<Chunk>* chunks) {
  return ParsePng(file.data(), file.size(), chunks);
}
inline bool ParseWebp(const std::vector<std::uint8_t>& file, std::vector<RiffChunk>* chunks) {
  return ParseWebp(file.data(), file.size(), chunks);
}
inline bool ParseGif(const std::vector<std::uint8_t>& file, std::vector<GifBlock>* blocks,
                     std::uint64_t* firstBlock, std::uint64_t* trailer) {
  return ParseGif(file.data(), file.size(), blocks, firstBlock, trailer);
}
inline void WebpBlobs(const std::vector<std::uint8_t>& file, const std::vector<RiffChunk>& chunks,
                      std::vector<std::uint8_t>* exif, std::vector<std::uint8_t>* xmp) {
  WebpBlobs(file.data(), file.size(), chunks, exif, xmp);
}

}  // namespace meta
