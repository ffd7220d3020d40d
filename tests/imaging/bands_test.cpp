// Decoding in bands: every band size gives exactly the rows a whole decode
// gives, for streaming JPEG frames and for frames that decode whole first;
// a sink that stops ends the decode at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::unique_ptr<img::Frame> FirstFrame(const std::string& fixture,
                                       std::unique_ptr<img::Decoder>* dec) {
  std::unique_ptr<img::Frame> frame;
  EXPECT_EQ(img::CreateDecoderFromMemory(testing_support::FixtureBytes(fixture), dec), img::kOk)
      << fixture;
  if (*dec) {
    EXPECT_EQ((*dec)->GetFrame(0, &frame), img::kOk) << fixture;
  }
  return frame;
}

TEST(CopyPixelsInBands, SameRowsAsAWholeDecode) {
  const char* const fixtures[] = {"jpeg_quad.jpg",        "jpeg_gray.jpg", "jpeg_cmyk.jpg",
                                  "jpeg_progressive.jpg", "png_rgb16.png", "gif_single.gif",
                                  "tiff_strips_lzw.tif"};
  for (const char* fixture : fixtures) {
    std::unique_ptr<img::Decoder> dec;
    auto frame = FirstFrame(fixture, &dec);
    ASSERT_TRUE(frame) << fixture;
    for (img::PixelFormat format : {img::PixelFormat::Bgra32, img::PixelFormat::Bgr24}) {
      const std::size_t bpp = format == img::PixelFormat::Bgr24 ? 3 : 4;
      const std::size_t row = frame->Width() * bpp;
      const std::size_t stride = (row + 3) & ~std::size_t{3};
      Bytes whole(stride * frame->Height());
      ASSERT_EQ(frame->CopyPixels(format, whole.data(), stride, whole.size()), img::kOk);
      for (std::uint32_t bandRows : {1u, 7u, 64u, 100000u}) {
        SCOPED_TRACE(std::string(fixture) + " bands of " + std::to_string(bandRows));
        Bytes joined;
        std::uint32_t next = 0;
        ASSERT_EQ(frame->CopyPixelsInBands(format, bandRows,
                                           [&](const std::uint8_t* rows, std::uint32_t first,
                                               std::uint32_t count, std::size_t bandStride) {
                                             EXPECT_EQ(first, next);
                                             EXPECT_LE(count, bandRows);
                                             EXPECT_GE(bandStride, row);
                                             for (std::uint32_t r = 0; r < count; ++r) {
                                               joined.insert(joined.end(), rows + r * bandStride,
                                                             rows + r * bandStride + row);
                                               joined.resize(joined.size() + (stride - row), 0);
                                             }
                                             next = first + count;
                                             return true;
                                           }),
                  img::kOk);
        EXPECT_EQ(next, frame->Height());
        // Padding bytes of the whole decode are not compared.
        for (std::uint32_t y = 0; y < frame->Height(); ++y) {
          ASSERT_TRUE(std::equal(whole.begin() + y * stride, whole.begin() + y * stride + row,
                                 joined.begin() + y * stride))
              << "row " << y;
        }
      }
    }
  }
}

TEST(CopyPixelsInBands, StoppingAndRefusals) {
  for (const char* fixture : {"jpeg_quad.jpg", "tiff_strips_lzw.tif"}) {
    std::unique_ptr<img::Decoder> dec;
    auto frame = FirstFrame(fixture, &dec);
    ASSERT_TRUE(frame);
    int calls = 0;
    ASSERT_GE(frame->Height(), 3u) << fixture;
    EXPECT_EQ(frame->CopyPixelsInBands(img::PixelFormat::Bgra32, 1,
                                       [&](const std::uint8_t*, std::uint32_t, std::uint32_t,
                                           std::size_t) { return ++calls < 2; }),
              img::kOk)
        << fixture;
    EXPECT_EQ(calls, 2) << fixture;
    auto never = [](const std::uint8_t*, std::uint32_t, std::uint32_t, std::size_t) {
      ADD_FAILURE() << "called";
      return true;
    };
    EXPECT_EQ(frame->CopyPixelsInBands(img::PixelFormat::Bgra32, 0, never), img::kInvalidArg);
    EXPECT_EQ(frame->CopyPixelsInBands(img::PixelFormat::Bgra32, 8, nullptr), img::kInvalidArg);
  }
  // A JPEG cut in its scan fails or decodes the rest as grey; it never
  // hands out rows it did not decode.
  Bytes cut = *testing_support::FixtureBytes("jpeg_progressive.jpg");
  cut.resize(cut.size() / 2);
  std::unique_ptr<img::Decoder> dec;
  if (img::Succeeded(img::CreateDecoderFromMemory(testing_support::ShareBytes(cut), &dec))) {
    std::unique_ptr<img::Frame> frame;
    ASSERT_EQ(dec->GetFrame(0, &frame), img::kOk);
    std::uint32_t rows = 0;
    frame->CopyPixelsInBands(img::PixelFormat::Bgra32, 16,
                             [&](const std::uint8_t*, std::uint32_t, std::uint32_t n, std::size_t) {
                               rows += n;
                               return true;
                             });
    EXPECT_LE(rows, frame->Height());
  }
}

}  // namespace
