// What libpng itself keeps while the PNG decoder reads a file.
#pragma once

#include <cstdint>
#include <vector>

namespace img {

// The text chunks before the picture data that libpng keeps (and inflates)
// when the decoder reads a file for its pixels or its profile: none, since
// our own code reads text. -1 when libpng refuses the file.
int PngTextKeptByLibpng(const std::vector<std::uint8_t>& bytes);

// How many times libpng has read a file's chunks before the picture data,
// over the process: a frame's profile and pixels take one such pass.
std::uint64_t PngHeaderPasses();

}  // namespace img
