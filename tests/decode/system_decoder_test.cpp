// The system's decoders as the last resort: on Windows a format none of ours
// reads (DDS, which the Imaging Component decodes) opens with its pixels;
// elsewhere there is nothing to fall back on.
#include "decode/system_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "decode/decode_internal.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Fixture;
using testing_support::ReadBytes;

struct PictureFree {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureFree>;

constexpr std::uint32_t kRed = 0xFFFF0000, kLime = 0xFF00FF00, kBlue = 0xFF0000FF;

struct SystemCase {
  const char* file;
  int w, h;
  struct Probe {
    int x, y;
    std::uint32_t colour;
  } probes[3];
};

const SystemCase kCases[] = {
    {"dec_system_rgb.dds", 8, 6, {{0, 0, kLime}, {7, 0, kRed}, {7, 5, kBlue}}},
    {"dec_system_dxt1.dds", 8, 8, {{0, 0, kLime}, {7, 0, kRed}, {3, 3, kLime}}},
};

#ifdef _WIN32

// 0xAARRGGBB of a premultiplied pixel of the picture.
std::uint32_t PixelAt(const Picture* p, int x, int y) {
  const std::uint8_t* q =
      picture_bits(p) + (static_cast<std::size_t>(y) * picture_width(p) + x) * 4;
  return static_cast<std::uint32_t>(q[3]) << 24 | q[2] << 16 | q[1] << 8 | q[0];
}

TEST(SystemDecoder, ReadsWhatNoDecoderOfOursReads) {
  ASSERT_TRUE(decode_init());
  for (const SystemCase& c : kCases) {
    SCOPED_TRACE(c.file);
    wchar_t err[256] = L"";
    PicturePtr p(picture_load(Fixture(c.file).c_str(), err, 256));
    ASSERT_TRUE(p) << testing::PrintToString(std::wstring(err));
    EXPECT_EQ(picture_width(p.get()), c.w);
    EXPECT_EQ(picture_height(p.get()), c.h);
    for (const SystemCase::Probe& probe : c.probes) {
      EXPECT_EQ(PixelAt(p.get(), probe.x, probe.y), probe.colour) << probe.x << "," << probe.y;
    }
  }
}

TEST(SystemDecoder, BytesNothingReadsAreRefused) {
  Picture pic;
  const std::vector<std::uint8_t> junk(64, 0x5A);
  EXPECT_EQ(decode_internal::DecodeWithSystem(junk, &pic), img::kFail);
  EXPECT_EQ(pic.bits, nullptr);
  EXPECT_EQ(decode_internal::DecodeWithSystem({}, &pic), img::kFail);
}

#else

TEST(SystemDecoder, NoneOutsideWindows) {
  ASSERT_TRUE(decode_init());
  for (const SystemCase& c : kCases) {
    Picture pic;
    EXPECT_EQ(decode_internal::DecodeWithSystem(ReadBytes(Fixture(c.file)), &pic), img::kFail);
    wchar_t err[256] = L"";
    PicturePtr p(picture_load(Fixture(c.file).c_str(), err, 256));
    EXPECT_FALSE(p) << c.file;
  }
}

#endif

}  // namespace
