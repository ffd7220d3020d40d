// JPEG and PNG decoding: formats, pixels against values ImageMagick gives for
// the same fixtures, metadata and colour contexts, hostile bytes.
#include <gtest/gtest.h>

#include <cstdlib>

#include "imaging/imaging.h"
#include "imaging/jpeg_internal.h"
#include "imaging/png_internal.h"
#include "tests/support/test_support.h"

namespace {

using img::PixelFormat;
using testing_support::DecodeBytes;
using testing_support::DecodeFixture;
using testing_support::FixtureBytes;
using testing_support::ShareBytes;

bool Near(std::uint32_t a, std::uint32_t b, int tolerance) {
  for (int shift = 0; shift < 32; shift += 8) {
    int x = static_cast<int>((a >> shift) & 0xFF), y = static_cast<int>((b >> shift) & 0xFF);
    if (std::abs(x - y) > tolerance) return false;
  }
  return true;
}

struct PixelCase {
  const char* file;
  img::Container container;
  PixelFormat native;
  std::uint32_t width, height;
  // pixel (x, y) as 0xAARRGGBB, within `tolerance` per channel
  std::uint32_t x, y, argb;
  int tolerance;
};

// The quadrant pictures are red, green / blue, white, 16 × 12.
const PixelCase kPixelCases[] = {
    {"jpeg_quad.jpg", img::Container::Jpeg, PixelFormat::Bgr24, 16, 12, 2, 2, 0xFFFF0000, 6},
    {"jpeg_quad.jpg", img::Container::Jpeg, PixelFormat::Bgr24, 16, 12, 13, 2, 0xFF00FF00, 6},
    {"jpeg_quad.jpg", img::Container::Jpeg, PixelFormat::Bgr24, 16, 12, 2, 9, 0xFF0000FF, 6},
    {"jpeg_quad.jpg", img::Container::Jpeg, PixelFormat::Bgr24, 16, 12, 13, 9, 0xFFFFFFFF, 6},
    {"jpeg_progressive.jpg", img::Container::Jpeg, PixelFormat::Bgr24, 16, 12, 13, 9, 0xFFFFFFFF,
     6},
    {"jpeg_progressive.jpg", img::Container::Jpeg, PixelFormat::Bgr24, 16, 12, 2, 9, 0xFF0000FF, 6},
    // gray: red becomes luma 54..76 depending on the weights; white stays white
    {"jpeg_gray.jpg", img::Container::Jpeg, PixelFormat::Gray8, 16, 12, 13, 9, 0xFFFFFFFF, 4},
    // CMYK written with Adobe's inverted samples
    {"jpeg_cmyk.jpg", img::Container::Jpeg, PixelFormat::Cmyk32, 16, 12, 2, 2, 0xFFFF0000, 8},
    {"jpeg_cmyk.jpg", img::Container::Jpeg, PixelFormat::Cmyk32, 16, 12, 13, 9, 0xFFFFFFFF, 8},
    {"jpeg_cmyk.jpg", img::Container::Jpeg, PixelFormat::Cmyk32, 16, 12, 2, 9, 0xFF0000FF, 8},
    {"png_rgb16.png", img::Container::Png, PixelFormat::Rgb48, 3, 2, 2, 1, 0xFF336699, 0},
    {"png_gray2.png", img::Container::Png, PixelFormat::Gray2, 4, 1, 1, 0, 0xFF555555, 0},
    {"png_gray2.png", img::Container::Png, PixelFormat::Gray2, 4, 1, 2, 0, 0xFFAAAAAA, 0},
    // stored gray 0x8000 and alpha 0x7FFF scale to 128 and 127
    {"png_graya16.png", img::Container::Png, PixelFormat::Rgba64, 2, 1, 1, 0, 0x7F808080, 1},
    {"png_palette_trns.png", img::Container::Png, PixelFormat::Indexed8, 4, 2, 0, 0, 0xFFFF0000, 0},
    {"png_palette_trns.png", img::Container::Png, PixelFormat::Indexed8, 4, 2, 1, 0, 0xFF7F007F, 0},
    {"png_palette_trns.png", img::Container::Png, PixelFormat::Indexed8, 4, 2, 2, 0, 0x00000000, 0},
    {"png_interlaced.png", img::Container::Png, PixelFormat::Bgr24, 16, 12, 13, 2, 0xFF00FF00, 0},
    {"png_interlaced.png", img::Container::Png, PixelFormat::Bgr24, 16, 12, 2, 9, 0xFF0000FF, 0},
};

TEST(JpegPng, DecodesFixturesToExpectedPixels) {
  for (const PixelCase& c : kPixelCases) {
    SCOPED_TRACE(c.file);
    auto d = DecodeFixture(c.file);
    ASSERT_EQ(d.hr, img::kOk);
    EXPECT_EQ(d.container, c.container);
    EXPECT_EQ(d.frames, 1u);
    EXPECT_EQ(d.native, c.native) << img::PixelFormatName(d.native);
    ASSERT_EQ(d.width, c.width);
    ASSERT_EQ(d.height, c.height);
    EXPECT_PRED3(Near, d.At(c.x, c.y), c.argb, c.tolerance)
        << std::hex << d.At(c.x, c.y) << " at " << std::dec << c.x << "," << c.y;
  }
}

TEST(JpegPng, OutputFormatsAgree) {
  for (const char* file :
       {"jpeg_quad.jpg", "jpeg_cmyk.jpg", "png_palette_trns.png", "png_graya16.png"}) {
    SCOPED_TRACE(file);
    auto straight = DecodeFixture(file, 0, PixelFormat::Bgra32);
    auto pre = DecodeFixture(file, 0, PixelFormat::Pbgra32);
    auto bgr = DecodeFixture(file, 0, PixelFormat::Bgr24);
    auto bgrx = DecodeFixture(file, 0, PixelFormat::Bgr32);
    ASSERT_EQ(straight.hr, img::kOk);
    ASSERT_EQ(pre.hr, img::kOk);
    ASSERT_EQ(bgr.hr, img::kOk);
    ASSERT_EQ(bgrx.hr, img::kOk);
    for (std::uint32_t y = 0; y < straight.height; ++y) {
      for (std::uint32_t x = 0; x < straight.width; ++x) {
        std::uint32_t s = straight.At(x, y), p = pre.At(x, y);
        unsigned a = s >> 24;
        for (int shift = 0; shift < 24; shift += 8) {
          unsigned c = (s >> shift) & 0xFF;
          EXPECT_EQ((p >> shift) & 0xFF, (c * a + 127) / 255);
        }
        EXPECT_EQ(bgr.At(x, y) & 0xFFFFFF, s & 0xFFFFFF);
        EXPECT_EQ(bgrx.At(x, y), 0xFF000000u | (s & 0xFFFFFF));
      }
    }
  }
}

TEST(JpegPng, CopyPixelsChecksItsArguments) {
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateDecoderFromMemory(FixtureBytes("png_rgb16.png"), &dec), img::kOk);
  std::unique_ptr<img::Frame> frame;
  ASSERT_EQ(dec->GetFrame(0, &frame), img::kOk);
  EXPECT_EQ(dec->GetFrame(1, &frame), img::kInvalidArg);
  ASSERT_EQ(dec->GetFrame(0, &frame), img::kOk);
  std::vector<std::uint8_t> buf(12 * 2);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgra32, buf.data(), 11, buf.size()), img::kInvalidArg);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgra32, buf.data(), 12, 23),
            img::kErrInsufficientBuffer);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgra32, buf.data(), 12, 24), img::kOk);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Rgb48, buf.data(), 12, 24), img::kInvalidArg);
  EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgra32, nullptr, 12, 24), img::kInvalidArg);
}

// Appends bytes; a plain loop, since GCC 12's -O3 warns falsely on
// vector::insert of small byte ranges.
void Append(std::vector<std::uint8_t>& out, const std::uint8_t* p, std::size_t n) {
  out.reserve(out.size() + n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(p[i]);
}

// Builds an APP segment.
std::vector<std::uint8_t> Segment(std::uint8_t marker, const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> s = {0xFF, marker, static_cast<std::uint8_t>((body.size() + 2) >> 8),
                                 static_cast<std::uint8_t>((body.size() + 2) & 0xFF)};
  Append(s, body.data(), body.size());
  return s;
}

std::vector<std::uint8_t> WithSegments(const std::vector<std::vector<std::uint8_t>>& segs) {
  std::vector<std::uint8_t> jpeg =
      testing_support::ReadBytes(testing_support::Fixture("jpeg_quad.jpg"));
  std::vector<std::uint8_t> out;
  Append(out, jpeg.data(), 2);
  for (const auto& s : segs) Append(out, s.data(), s.size());
  Append(out, jpeg.data() + 2, jpeg.size() - 2);
  return out;
}

std::vector<std::uint8_t> IccChunk(int seq, int count, const std::vector<std::uint8_t>& part) {
  std::vector<std::uint8_t> b = {'I',
                                 'C',
                                 'C',
                                 '_',
                                 'P',
                                 'R',
                                 'O',
                                 'F',
                                 'I',
                                 'L',
                                 'E',
                                 0,
                                 static_cast<std::uint8_t>(seq),
                                 static_cast<std::uint8_t>(count)};
  Append(b, part.data(), part.size());
  return Segment(0xE2, b);
}

std::vector<std::uint8_t> ExifOrientation(std::uint16_t orientation, std::uint16_t colorSpace) {
  // Exif header, big-endian TIFF: IFD0 {orientation, ExifIFD}, EXIF IFD {ColorSpace}
  std::vector<std::uint8_t> b = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8};
  auto u16 = [&](unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(v & 0xFF);
  };
  auto u32 = [&](unsigned v) {
    u16(v >> 16);
    u16(v & 0xFFFF);
  };
  u16(2);
  u16(274);
  u16(3);
  u32(1);
  u16(orientation);
  u16(0);
  u16(34665);
  u16(4);
  u32(1);
  u32(38);
  u32(0);
  u16(1);
  u16(40961);
  u16(3);
  u32(1);
  u16(colorSpace);
  u16(0);
  u32(0);
  return Segment(0xE1, b);
}

TEST(Jpeg, SegmentsMetadataAndColorContexts) {
  const std::vector<std::uint8_t> profile = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const std::vector<std::uint8_t> first(profile.begin(), profile.begin() + 4);
  const std::vector<std::uint8_t> second(profile.begin() + 4, profile.end());
  const std::vector<std::uint8_t> comment = {'h', 'i'};
  // chunks out of order still reassemble by their sequence numbers
  auto bytes = WithSegments({ExifOrientation(6, 2), IccChunk(2, 2, second), IccChunk(1, 2, first),
                             Segment(0xFE, comment)});
  auto segs = img::ScanJpegSegments(bytes.data(), bytes.size());
  ASSERT_GE(segs.size(), 4u);
  EXPECT_EQ(segs[0].marker, 0xE1);
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateDecoderFromMemory(ShareBytes(bytes), &dec), img::kOk);
  std::unique_ptr<img::Frame> frame;
  ASSERT_EQ(dec->GetFrame(0, &frame), img::kOk);
  auto meta = frame->Metadata();
  std::uint32_t v = 0;
  EXPECT_TRUE(img::ReadUInt(meta.get(), "/app1/ifd/{ushort=274}", &v));
  EXPECT_EQ(v, 6u);
  img::PropValue text;
  ASSERT_EQ(meta->GetMetadataByName("/com/TextEntry", &text), img::kOk);
  EXPECT_EQ(text.bytes, "hi");
  auto contexts = frame->ColorContexts();
  ASSERT_EQ(contexts.size(), 2u);
  EXPECT_EQ(contexts[0].type, img::ColorContext::Type::Profile);
  EXPECT_EQ(contexts[0].profile, profile);
  EXPECT_EQ(contexts[1].type, img::ColorContext::Type::ExifColorSpace);
  EXPECT_EQ(contexts[1].exifColorSpace, 2u);
}

TEST(Jpeg, BrokenIccChunksGiveNoProfile) {
  const std::vector<std::uint8_t> part = {1, 2, 3};
  const std::vector<std::vector<std::vector<std::uint8_t>>> cases = {
      {IccChunk(1, 2, part)},                        // second chunk missing
      {IccChunk(1, 2, part), IccChunk(1, 2, part)},  // repeated sequence number
      {IccChunk(0, 1, part)},                        // sequence 0
      {IccChunk(1, 1, part), IccChunk(2, 2, part)},  // counts disagree
  };
  for (const auto& segs : cases) {
    auto bytes = WithSegments(segs);
    std::unique_ptr<img::Decoder> dec;
    ASSERT_EQ(img::CreateDecoderFromMemory(ShareBytes(bytes), &dec), img::kOk);
    std::unique_ptr<img::Frame> frame;
    ASSERT_EQ(dec->GetFrame(0, &frame), img::kOk);
    EXPECT_TRUE(frame->ColorContexts().empty());
  }
}

// A progressive file whose first scan is repeated `extra` times before EOI.
std::vector<std::uint8_t> WithRepeatedScan(const std::vector<std::uint8_t>& jpeg, int extra) {
  std::size_t sos = 0;
  for (std::size_t i = 2; i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
      sos = i;
      break;
    }
  }
  // The scan runs to the next marker that is neither a stuffed zero nor a
  // restart marker.
  std::size_t end = sos + 2;
  while (end + 1 < jpeg.size() && !(jpeg[end] == 0xFF && jpeg[end + 1] != 0 &&
                                    (jpeg[end + 1] < 0xD0 || jpeg[end + 1] > 0xD7))) {
    ++end;
  }
  std::vector<std::uint8_t> out(jpeg.begin(), jpeg.end() - 2);  // without EOI
  for (int k = 0; k < extra; ++k) {
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(sos),
               jpeg.begin() + static_cast<std::ptrdiff_t>(end));
  }
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}

// Scans beyond a few hundred are refused; each would be another pass over
// the whole picture.
TEST(Jpeg, ScanCountIsCapped) {
  const auto jpeg = testing_support::ReadBytes(testing_support::Fixture("jpeg_progressive.jpg"));
  ASSERT_GT(jpeg.size(), 4u);
  ASSERT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  ASSERT_EQ(jpeg[jpeg.size() - 1], 0xD9);
  const struct {
    int extra;
    bool decodes;
  } cases[] = {{0, true}, {400, true}, {600, false}};
  for (const auto& c : cases) {
    const auto d = DecodeBytes(ShareBytes(WithRepeatedScan(jpeg, c.extra)));
    EXPECT_EQ(img::Succeeded(d.hr), c.decodes) << c.extra;
  }
}

TEST(JpegPng, HostileBytesFailCleanly) {
  for (const char* file : {"jpeg_quad.jpg", "jpeg_progressive.jpg", "jpeg_cmyk.jpg",
                           "png_interlaced.png", "png_palette_trns.png"}) {
    SCOPED_TRACE(file);
    auto full = testing_support::ReadBytes(testing_support::Fixture(file));
    for (std::size_t n = 0; n < full.size(); n += 7) {
      std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      auto d = DecodeBytes(ShareBytes(cut));
      if (img::Succeeded(d.hr)) {
        EXPECT_EQ(d.bgra.size(), d.width * d.height * 4u);
      }
    }
    // flipped bytes past the signature
    for (std::size_t at = 8; at < full.size(); at += 13) {
      auto bad = full;
      bad[at] ^= 0x5A;
      DecodeBytes(ShareBytes(bad));
    }
  }
}

// Compressed text is read by our own code; libpng skips it unread on the
// pixel path, so a file of highly compressed text costs no inflating there.
TEST(Png, LibpngKeepsNoText) {
  for (const char* file : {"meta_full.png", "png_interlaced.png"}) {
    const auto png = testing_support::ReadBytes(testing_support::Fixture(file));
    EXPECT_EQ(img::PngTextKeptByLibpng(png), 0) << file;
    EXPECT_TRUE(img::Succeeded(DecodeBytes(testing_support::ShareBytes(png)).hr)) << file;
  }
}

// The profile and the pixels come from one pass over the file's chunks,
// the way the loader asks for them: the profile first, then the pixels. The
// pixels are the same as those of a fresh pass.
TEST(Png, ProfileAndPixelsInOnePass) {
  for (const char* file : {"meta_full.png", "dec_icc_romm.png", "png_interlaced.png"}) {
    SCOPED_TRACE(file);
    const auto bytes =
        testing_support::ShareBytes(testing_support::ReadBytes(testing_support::Fixture(file)));
    std::unique_ptr<img::Decoder> decoder;
    ASSERT_EQ(img::CreateDecoderFromMemory(bytes, &decoder), img::kOk);
    std::unique_ptr<img::Frame> frame;
    ASSERT_EQ(decoder->GetFrame(0, &frame), img::kOk);
    const std::size_t stride = frame->Width() * 4, size = stride * frame->Height();
    std::vector<std::uint8_t> first(size), again(size);
    const std::uint64_t before = img::PngHeaderPasses();
    frame->ColorContexts();
    ASSERT_EQ(frame->CopyPixels(img::PixelFormat::Bgra32, first.data(), stride, size), img::kOk);
    EXPECT_EQ(img::PngHeaderPasses() - before, 1u);
    // A second read of the pixels takes a pass of its own and gives the same.
    ASSERT_EQ(frame->CopyPixels(img::PixelFormat::Bgra32, again.data(), stride, size), img::kOk);
    EXPECT_EQ(img::PngHeaderPasses() - before, 2u);
    EXPECT_EQ(first, again);
  }
}

TEST(Png, LyingHeaderRefusedBeforeAllocation) {
  // IHDR claiming 20000 × 20000, nothing else
  std::vector<std::uint8_t> png = {0x89, 'P',  'N', 'G', 13,  10, 26, 10,   0,    0, 0,
                                   13,   'I',  'H', 'D', 'R', 0,  0,  0x4E, 0x20, 0, 0,
                                   0x4E, 0x20, 8,   6,   0,   0,  0,  0,    0,    0, 0};
  std::unique_ptr<img::Decoder> dec;
  EXPECT_EQ(img::CreateDecoderFromMemory(ShareBytes(png), &dec), img::kOutOfMemory);
  png[19] = 0;  // width 0
  png[18] = 0;
  EXPECT_EQ(img::CreateDecoderFromMemory(ShareBytes(png), &dec), img::kErrBadHeader);
}

}  // namespace
