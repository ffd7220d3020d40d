// JPEG marker segments, shared by the decoder and the metadata engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/imaging.h"

namespace img {

struct JpegSegment {
  std::uint8_t marker;  // the byte after 0xFF
  std::size_t start;    // offset of the 0xFF
  std::size_t body;     // offset of the first byte after the length
  std::size_t length;   // body bytes (the length field minus 2)
};

// The length-carrying segments between SOI and the first SOS, in file order.
// Stops quietly at the first thing that is not a well-formed segment.
std::vector<JpegSegment> ScanJpegSegments(const std::uint8_t* data, std::size_t size);

// The frame's metadata reader (format "jpeg") built from those segments: one
// block per APPn and COM segment and per quantization table 0 and 1, in file
// order. `data` is the whole file the segments were found in. With `stored`,
// every APPn and COM segment is also appended there whole, under the name of
// its block.
std::shared_ptr<const MetadataReader> BuildJpegMetadata(
    const std::uint8_t* data, const std::vector<JpegSegment>& segs,
    std::vector<MetadataBlock>* stored = nullptr);

}  // namespace img
