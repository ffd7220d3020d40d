// Checks shared by the container parser fuzz targets: besides not crashing,
// every unit a parser accepts must lie inside the buffer, in file order,
// without overlapping its neighbour; a violation aborts so the fuzzer keeps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "meta/parsers.h"

namespace fuzz_meta {

inline void Check(bool cond) {
  if (!cond) std::abort();
}

// [off, off + n) lies inside a buffer of `size` bytes.
inline bool Inside(std::uint64_t off, std::uint64_t n, std::uint64_t size) {
  return off <= size && n <= size - off;
}

inline void FuzzJpeg(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t total = size;
  std::vector<meta::Seg> segs;
  std::uint64_t scan = 0;
  if (meta::ParseJpeg(data, size, &segs, &scan)) {
    std::uint64_t prev = 2;
    for (const meta::Seg& s : segs) {
      Check(s.offset >= prev && Inside(s.offset, s.size, total) && s.size >= 2);
      prev = s.offset + s.size;
    }
    Check(scan >= prev && Inside(scan, 4, total) && data[scan] == 0xFF && data[scan + 1] == 0xDA);
  }
}

inline void FuzzPng(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t total = size;
  std::vector<meta::Chunk> chunks;
  if (meta::ParsePng(data, size, &chunks)) {
    std::uint64_t next = 8;
    for (const meta::Chunk& c : chunks) {
      Check(c.offset == next && c.dataOffset == c.offset + 8 &&
            Inside(c.offset, c.length + 12, total));
      next = c.offset + c.length + 12;
      (void)meta::IsTextChunk(c.type);
    }
    Check(!chunks.empty() && std::string(chunks.back().type) == "IEND");
  }
}

inline void FuzzWebp(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t total = size;
  std::vector<meta::RiffChunk> riff;
  if (meta::ParseWebp(data, size, &riff)) {
    std::uint64_t next = 12;
    for (const meta::RiffChunk& c : riff) {
      Check(c.offset == next && c.dataOffset == c.offset + 8 && Inside(c.offset, c.span, total));
      Check(c.span == c.size + 8 || c.span == c.size + 9);
      next = c.offset + c.span;
    }
    std::vector<std::uint8_t> exif, xmp;
    meta::WebpBlobs(data, size, riff, &exif, &xmp);
  }
}

inline void FuzzGif(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t total = size;
  std::vector<meta::GifBlock> blocks;
  std::uint64_t first = 0, trailer = 0;
  if (meta::ParseGif(data, size, &blocks, &first, &trailer)) {
    std::uint64_t next = first;
    for (const meta::GifBlock& b : blocks) {
      Check(b.offset == next && b.end > b.offset && b.end < total);
      Check(b.isComment || b.text.empty());
      Check(b.text.size() < b.end - b.offset);
      next = b.end;
    }
    Check(trailer == next && trailer < total && data[trailer] == 0x3B);
  }
}

}  // namespace fuzz_meta
