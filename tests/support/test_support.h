// Helpers shared by the unit tests: fixture paths, file reading, scratch
// folders and small pixel builders.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "imaging/imaging.h"

namespace testing_support {

// Absolute path of a file in tests/fixtures.
std::wstring Fixture(const std::string& name);
// A fresh, empty scratch folder for one test (removed first if present).
std::wstring ScratchDir(const std::string& name);
std::vector<std::uint8_t> ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes);
img::Bytes ShareBytes(std::vector<std::uint8_t> bytes);
img::Bytes FixtureBytes(const std::string& name);

// Little-endian fields for hand-built files.
void Put16(std::vector<std::uint8_t>* v, std::uint32_t x);
void Put32(std::vector<std::uint8_t>* v, std::uint32_t x);

// How a reference pixel with alpha 0 is compared.
enum class Clear {
  Exact,         // every channel, as for any pixel
  IgnoreColour,  // colour ignored when both pixels have alpha 0
  AllZero,       // the decoded pixel must be 0, 0, 0, 0
};

// Compares straight BGRA pixels of a picture `width` pixels wide with an RGBA
// reference file of the fixtures (ImageMagick's decoding), each channel
// within `tolerance`; reports the first few pixels that differ.
void ExpectMatchesRgba(const std::vector<std::uint8_t>& bgra, std::uint32_t width,
                       const std::string& referenceFile, int tolerance, Clear clear);

// Decodes frame `index` of a fixture into straight BGRA; empty on failure.
struct Decoded {
  img::HResult hr = img::kFail;
  img::Container container = img::Container::Unknown;
  std::uint32_t frames = 0;
  std::uint32_t width = 0, height = 0;
  img::PixelFormat native = img::PixelFormat::Unknown;
  std::vector<std::uint8_t> bgra;
  // BGRA of pixel (x, y), as 0xAARRGGBB.
  std::uint32_t At(std::uint32_t x, std::uint32_t y) const;
};
Decoded DecodeBytes(const img::Bytes& bytes, std::uint32_t index = 0,
                    img::PixelFormat format = img::PixelFormat::Bgra32);
Decoded DecodeFixture(const std::string& name, std::uint32_t index = 0,
                      img::PixelFormat format = img::PixelFormat::Bgra32);

#ifndef _WIN32
// Kills a process at random moments of its work: `rounds` times, a child is
// forked that calls `work(i)` for i = round, round + 1, ... until it is
// killed with SIGKILL, between 0 and `maxDelayUs` microseconds after it
// started (a random delay from a generator seeded with `seed`). After each
// kill `check` looks at what the child left. A `work` that returns false (a
// save that failed) ends the child by itself, which fails the test; so does
// the first fatal failure in `check`, which ends the rounds.
void KillAtRandomMoments(int rounds, std::uint32_t seed, long long maxDelayUs,
                         const std::function<bool(unsigned)>& work,
                         const std::function<void()>& check);
#endif

}  // namespace testing_support
