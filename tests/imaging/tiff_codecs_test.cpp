// TIFF compressions beyond LZW, Deflate and JPEG: LZMA, ZSTD and WebP decode
// in both builds, to the same pixels as the uncompressed original.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

using testing_support::DecodeFixture;

TEST(TiffCodecs, LosslessCodecsGiveTheOriginalPixels) {
  const auto original = DecodeFixture("tiff_be.tif");
  ASSERT_EQ(original.hr, img::kOk);
  for (const char* name : {"tiff_codec_lzma.tif", "tiff_codec_zstd.tif", "tiff_codec_webp.tif"}) {
    SCOPED_TRACE(name);
    const auto d = DecodeFixture(name);
    ASSERT_EQ(d.hr, img::kOk);
    EXPECT_EQ(d.width, original.width);
    EXPECT_EQ(d.height, original.height);
    EXPECT_EQ(d.bgra, original.bgra);
  }
}

}  // namespace
