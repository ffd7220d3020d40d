// JPEG and PNG decoding: formats, pixels against values ImageMagick gives for
// the same fixtures, metadata and colour contexts, hostile bytes.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <string>

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

namespace {

// ---------------------------------------------------------------------------
// CMYK without Adobe's segment, damaged and cut files, lying sizes.

// Straight BGRA rows of a decode; the whole picture's row `y`.
std::vector<std::uint8_t> Row(const testing_support::Decoded& d, std::uint32_t y) {
  const auto at = d.bgra.begin() + static_cast<std::ptrdiff_t>(y) * d.width * 4;
  return std::vector<std::uint8_t>(at, at + static_cast<std::ptrdiff_t>(d.width) * 4);
}

bool Transparent(const std::vector<std::uint8_t>& row) {
  for (std::uint8_t b : row) {
    if (b != 0) return false;
  }
  return true;
}

// Writers that leave out the APP14 segment still store inverted samples;
// the same scans with and without the segment give the same picture, the
// colours djpeg gives (not a near-black negative).
TEST(Jpeg, CmykWithoutAdobeSegmentReadsAsInverted) {
  const auto adobe = DecodeFixture("dec17b_cmyk_adobe.jpg");
  const auto plain = DecodeFixture("dec17b_cmyk_noadobe.jpg");
  ASSERT_EQ(adobe.hr, img::kOk);
  ASSERT_EQ(plain.hr, img::kOk);
  EXPECT_EQ(plain.native, PixelFormat::Cmyk32);
  EXPECT_EQ(plain.bgra, adobe.bgra);
  // djpeg's quadrant centres: (200,80,41), (29,120,199) / (249,230,19), (90,90,90)
  const struct {
    std::uint32_t x, y, argb;
  } cases[] = {{3, 3, 0xFFC85029}, {12, 3, 0xFF1D78C7}, {3, 12, 0xFFF9E613}, {12, 12, 0xFF5A5A5A}};
  for (const auto& c : cases) {
    EXPECT_PRED3(Near, plain.At(c.x, c.y), c.argb, 2) << std::hex << plain.At(c.x, c.y);
  }
  // The raw samples for colour management are ink amounts either way.
  std::vector<std::vector<std::uint8_t>> inks;
  for (const char* file : {"dec17b_cmyk_adobe.jpg", "dec17b_cmyk_noadobe.jpg"}) {
    std::unique_ptr<img::Decoder> dec;
    ASSERT_EQ(img::CreateDecoderFromMemory(FixtureBytes(file), &dec), img::kOk);
    std::unique_ptr<img::Frame> f;
    ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
    std::vector<std::uint8_t> buf(f->Width() * f->Height() * 4);
    ASSERT_EQ(f->CopyCmyk(buf.data(), f->Width() * 4, buf.size()), img::kOk);
    inks.push_back(buf);
  }
  EXPECT_EQ(inks[0], inks[1]);
  // the gray quadrant: little colour ink, much black (stored 90 of 255 → ink 165)
  const std::size_t gray = (12 * 16 + 12) * 4;
  EXPECT_NEAR(inks[1][gray + 3], 165, 12);
}

// A JPEG cut short or broken inside its scan: the iMCU rows before the
// damage as in the whole file, every later row transparent, kFalse. A cut
// before the first row's data fails.
TEST(Jpeg, DamagedScanKeepsTheRowsBefore) {
  for (const char* file : {"dec17b_rows.jpg", "dec17b_rows_prog.jpg"}) {
    SCOPED_TRACE(file);
    const auto bytes = testing_support::ReadBytes(testing_support::Fixture(file));
    const auto whole = DecodeBytes(ShareBytes(bytes));
    ASSERT_EQ(whole.hr, img::kOk);
    ASSERT_EQ(whole.height, 64u);
    // The first scan's data, up to the next marker that is not a restart:
    // the damage goes there (for a progressive file, its rows are all the
    // picture has below the damage).
    std::size_t first = 0;
    for (std::size_t i = 2; i + 1 < bytes.size(); ++i) {
      if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) {
        first = i;
        break;
      }
    }
    ASSERT_GT(first, 0u);
    const bool progressive = std::string(file).find("prog") != std::string::npos;
    const std::size_t scan = first + 2 + (std::size_t{bytes[first + 2]} << 8 | bytes[first + 3]);
    std::size_t scanEnd = scan;
    while (scanEnd + 1 < bytes.size() &&
           !(bytes[scanEnd] == 0xFF && bytes[scanEnd + 1] != 0 &&
             (bytes[scanEnd + 1] < 0xD0 || bytes[scanEnd + 1] > 0xD7))) {
      ++scanEnd;
    }
    const std::size_t mid = scan + (scanEnd - scan) * 2 / 3;
    ASSERT_GT(mid, scan);
    struct Case {
      const char* what;
      std::vector<std::uint8_t> bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"cut", std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + mid)});
    auto marker = bytes;  // an EOI marker in the middle of the data
    marker[mid] = 0xFF;
    marker[mid + 1] = 0xD9;
    cases.push_back({"marker", marker});
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      const auto d = DecodeBytes(ShareBytes(c.bytes));
      ASSERT_EQ(d.hr, img::kFalse);
      ASSERT_EQ(d.height, 64u);
      std::uint32_t kept = 0;
      while (kept < d.height && !Transparent(Row(d, kept))) ++kept;
      EXPECT_GT(kept, 0u);
      EXPECT_LT(kept, 64u);
      EXPECT_EQ(kept % 16, 0u) << kept;
      for (std::uint32_t y = 0; y < kept; ++y) {
        for (std::uint32_t x = 0; x < d.width; ++x) {
          // The last kept rows' chroma upsampling sees the rows below; a
          // progressive file damaged in its first scan has only that scan's
          // coarse values.
          const int tolerance = y + 2 >= kept ? 128 : progressive ? 48 : 0;
          ASSERT_PRED3(Near, d.At(x, y), whole.At(x, y), tolerance) << x << "," << y;
        }
      }
      for (std::uint32_t y = kept; y < d.height; ++y) EXPECT_TRUE(Transparent(Row(d, y))) << y;
      // the other output formats agree: BGR rows black, PBGRA rows zero
      const auto pre = DecodeBytes(ShareBytes(c.bytes), 0, PixelFormat::Pbgra32);
      EXPECT_EQ(pre.hr, img::kFalse);
      EXPECT_EQ(pre.At(0, 63), 0u);
    }
    // Cut inside the first rows' data, or right after the scan header.
    const auto early = DecodeBytes(
        ShareBytes(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + first + 16)));
    EXPECT_TRUE(img::Failed(early.hr)) << early.hr;
  }
}

// A progressive file whose later scan cannot be read at all (a fatal error,
// not damaged data): the picture the scans before it make, every row, kFalse.
// With its first scan broken nothing is read whole and the decode fails.
TEST(Jpeg, BrokenLaterScanKeepsTheScansBefore) {
  const auto bytes = testing_support::ReadBytes(testing_support::Fixture("dec17b_rows_prog.jpg"));
  const auto whole = DecodeBytes(ShareBytes(bytes));
  ASSERT_EQ(whole.hr, img::kOk);
  std::vector<std::size_t> scans;  // the SOS markers
  for (std::size_t i = 2; i + 1 < bytes.size(); ++i) {
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) scans.push_back(i);
  }
  ASSERT_GE(scans.size(), 8u);
  // In a scan header, the component count is at +4, then two bytes per
  // component, then the spectral start.
  auto spectralStart = [&](std::size_t sos) { return sos + 5 + 2 * std::size_t{bytes[sos + 4]}; };
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    bool decodes;
  };
  auto changed = [&](std::size_t at, std::uint8_t value) {
    auto b = bytes;
    b[at] = value;
    return b;
  };
  // A second frame header of another size and no components before scan 3:
  // refused by the library only after it has taken the new size, so the
  // scans before it are not used either.
  auto secondFrame = bytes;
  const std::uint8_t sof[] = {0xFF, 0xC9, 0x00, 0x08, 0x08, 0xC0, 0xAF, 0x00, 0xFF, 0x00};
  secondFrame.insert(secondFrame.begin() + static_cast<std::ptrdiff_t>(scans[2]), std::begin(sof),
                     std::end(sof));
  const Case cases[] = {
      {"spectral start past the block in scan 5", changed(spectralStart(scans[4]), 0x40), true},
      {"unknown component in scan 7", changed(scans[6] + 5, 0x7F), true},
      {"unknown component in scan 1", changed(scans[0] + 5, 0x7F), false},
      {"a second frame header before scan 3", secondFrame, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto d = DecodeBytes(ShareBytes(c.bytes));
    if (!c.decodes) {
      EXPECT_TRUE(img::Failed(d.hr)) << d.hr;
      continue;
    }
    ASSERT_EQ(d.hr, img::kFalse);
    ASSERT_EQ(d.height, whole.height);
    ASSERT_EQ(d.width, whole.width);
    // Every row is there, coarser than the whole file's but the same picture.
    std::uint64_t sum = 0;
    for (std::uint32_t y = 0; y < d.height; ++y) {
      EXPECT_FALSE(Transparent(Row(d, y))) << y;
      for (std::uint32_t x = 0; x < d.width; ++x) {
        ASSERT_PRED3(Near, d.At(x, y), whole.At(x, y), 96) << x << "," << y;
      }
    }
    for (std::size_t i = 0; i < d.bgra.size(); ++i) {
      sum += static_cast<std::uint64_t>(std::abs(d.bgra[i] - whole.bgra[i]));
    }
    EXPECT_LT(static_cast<double>(sum) / static_cast<double>(d.bgra.size()), 12.0);
  }
}

// A file that only ends without its EOI marker is whole.
TEST(Jpeg, MissingEndMarkerIsWhole) {
  auto bytes = testing_support::ReadBytes(testing_support::Fixture("dec17b_rows.jpg"));
  const auto whole = DecodeBytes(ShareBytes(bytes));
  bytes.resize(bytes.size() - 2);
  const auto d = DecodeBytes(ShareBytes(bytes));
  EXPECT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.bgra, whole.bgra);
}

// A hand-built PNG: 8-bit RGBA rows of a pattern that repeats every row, so
// that deflate finds matches a row (257 bytes) back; `level` 0 stores the
// rows as they are.
std::vector<std::uint8_t> Chunk(const char* type, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> c;
  for (int s = 24; s >= 0; s -= 8) c.push_back(static_cast<std::uint8_t>(data.size() >> s));
  Append(c, reinterpret_cast<const std::uint8_t*>(type), 4);
  Append(c, data.data(), data.size());
  const uLong crc = crc32(crc32(0, nullptr, 0), c.data() + 4, static_cast<uInt>(c.size() - 4));
  for (int s = 24; s >= 0; s -= 8) c.push_back(static_cast<std::uint8_t>(crc >> s));
  return c;
}

struct BuiltPng {
  std::vector<std::uint8_t> bytes;
  std::size_t idat = 0;  // offset of the IDAT chunk
  std::vector<std::uint8_t> raw;
};

BuiltPng MakePng(std::uint32_t w, std::uint32_t h, int level) {
  BuiltPng out;
  for (std::uint32_t y = 0; y < h; ++y) {
    out.raw.push_back(0);  // filter none
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint8_t v = static_cast<std::uint8_t>(x * 37 + (x * x) % 11);
      for (std::uint8_t b : {v, static_cast<std::uint8_t>(255 - v), static_cast<std::uint8_t>(y),
                             std::uint8_t{255}}) {
        out.raw.push_back(b);
      }
    }
  }
  std::vector<std::uint8_t> z(compressBound(out.raw.size()));
  uLongf n = z.size();
  EXPECT_EQ(compress2(z.data(), &n, out.raw.data(), out.raw.size(), level), Z_OK);
  z.resize(n);
  const std::uint8_t sig[8] = {0x89, 'P', 'N', 'G', 13, 10, 26, 10};
  Append(out.bytes, sig, 8);
  std::vector<std::uint8_t> ihdr;
  for (std::uint32_t v : {w, h}) {
    for (int s = 24; s >= 0; s -= 8) ihdr.push_back(static_cast<std::uint8_t>(v >> s));
  }
  for (std::uint8_t b : {8, 6, 0, 0, 0}) ihdr.push_back(b);
  const auto head = Chunk("IHDR", ihdr);
  Append(out.bytes, head.data(), head.size());
  out.idat = out.bytes.size();
  const auto idat = Chunk("IDAT", z);
  Append(out.bytes, idat.data(), idat.size());
  const auto end = Chunk("IEND", {});
  Append(out.bytes, end.data(), end.size());
  return out;
}

// Pictures whose data are complete show whole, whatever else is wrong.
TEST(Png, CompleteDataShowWhatever) {
  const BuiltPng png = MakePng(64, 24, 9);
  const auto whole = DecodeBytes(ShareBytes(png.bytes));
  ASSERT_EQ(whole.hr, img::kOk);
  EXPECT_EQ(whole.At(5, 7) & 0xFFFFFF00u,
            ((5u * 37 + 3) & 0xFF) << 16 | 0xFF000000u | (255u - ((5u * 37 + 3) & 0xFF)) << 8)
      << std::hex << whole.At(5, 7);
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Case> cases;
  cases.push_back({"no IEND", {png.bytes.begin(), png.bytes.end() - 12}});
  cases.push_back({"IEND cut", {png.bytes.begin(), png.bytes.end() - 5}});
  auto crc = png.bytes;
  crc[png.bytes.size() - 13] ^= 0xFF;  // the IDAT chunk's CRC
  cases.push_back({"IDAT CRC", crc});
  // The zlib header claims a 256-byte window; the matches reach 257 back.
  auto window = png.bytes;
  window[png.idat + 8] = 0x08;
  window[png.idat + 9] = static_cast<std::uint8_t>(31 - (0x08 * 256) % 31);
  cases.push_back({"small window", window});
  auto trailing = png.bytes;  // a damaged chunk after the data
  const std::uint8_t junk[] = {0, 0, 0, 4, 't', 'E', 'X', 't', 'a', 0, 'b', 'c', 1, 2, 3, 4};
  trailing.insert(trailing.end() - 12, junk, junk + sizeof junk);
  cases.push_back({"bad chunk after", trailing});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto d = DecodeBytes(ShareBytes(c.bytes));
    EXPECT_EQ(d.hr, img::kOk);
    EXPECT_EQ(d.bgra, whole.bgra);
  }
}

// A PNG cut short or corrupt inside its data keeps the rows that inflated
// whole, exactly, and the rest transparent (kFalse); interlaced ones keep
// the passes' pixels that arrived. Cut before its first row, it fails.
TEST(Png, DamagedDataKeepTheRowsBefore) {
  const BuiltPng png = MakePng(64, 24, 0);  // stored: row k ends at a known byte
  const auto whole = DecodeBytes(ShareBytes(png.bytes));
  ASSERT_EQ(whole.hr, img::kOk);
  const std::size_t data = png.idat + 8 + 2 + 5;  // chunk head, zlib head, stored block head
  const std::size_t rowBytes = 64 * 4 + 1;
  const struct {
    std::uint32_t rows;  // rows whose bytes are all there
  } cuts[] = {{1}, {10}, {23}};
  for (const auto& c : cuts) {
    SCOPED_TRACE(c.rows);
    std::vector<std::uint8_t> cut(
        png.bytes.begin(),
        png.bytes.begin() + static_cast<std::ptrdiff_t>(data + c.rows * rowBytes + 100));
    const auto d = DecodeBytes(ShareBytes(cut));
    ASSERT_EQ(d.hr, img::kFalse);
    for (std::uint32_t y = 0; y < d.height; ++y) {
      if (y < c.rows) {
        EXPECT_EQ(Row(d, y), Row(whole, y)) << y;
      } else {
        EXPECT_TRUE(Transparent(Row(d, y))) << y;
      }
    }
  }
  // Corrupt compressed data: a dynamic-Huffman stream with a byte broken
  // two thirds in. Whatever rows survive are exact.
  const BuiltPng packed = MakePng(64, 24, 9);
  auto bad = packed.bytes;
  const std::size_t idatLength = (std::size_t{bad[packed.idat + 2]} << 8) | bad[packed.idat + 3];
  for (std::size_t i = 0; i < 8; ++i) bad[packed.idat + 8 + idatLength * 2 / 3 + i] = 0xFF;
  const auto broken = DecodeBytes(ShareBytes(bad));
  if (img::Succeeded(broken.hr)) {
    for (std::uint32_t y = 0; y < broken.height; ++y) {
      const auto row = Row(broken, y);
      if (!Transparent(row)) {
        EXPECT_EQ(row, Row(whole, y)) << y;
      }
    }
  }
  // Cut before the first row is whole: nothing to show.
  const std::vector<std::uint8_t> none(png.bytes.begin(),
                                       png.bytes.begin() + static_cast<std::ptrdiff_t>(data + 40));
  EXPECT_TRUE(img::Failed(DecodeBytes(ShareBytes(none)).hr));
  // Interlaced: the pixels of the passes that arrived, the rest transparent.
  auto interlaced = testing_support::ReadBytes(testing_support::Fixture("png_interlaced.png"));
  const auto full = DecodeBytes(ShareBytes(interlaced));
  interlaced.resize(interlaced.size() * 3 / 4);
  const auto part = DecodeBytes(ShareBytes(interlaced));
  if (img::Succeeded(part.hr)) {
    ASSERT_EQ(part.bgra.size(), full.bgra.size());
    for (std::size_t i = 0; i < part.bgra.size(); i += 4) {
      if (part.bgra[i + 3] != 0) {
        EXPECT_TRUE(
            std::equal(part.bgra.begin() + i, part.bgra.begin() + i + 4, full.bgra.begin() + i));
      }
    }
  }
}

// Files far too small for the size they declare are refused when the
// decoder opens or the frame is taken, before any pixel memory, with a
// format error rather than "too large"; a small picture of the same build
// opens.
TEST(JpegPngTiff, TinyFilesDeclaringHugePicturesAreRefused) {
  // JPEG: a real 16 × 12 file whose frame header says 8000 × 8000.
  auto jpeg = testing_support::ReadBytes(testing_support::Fixture("jpeg_quad.jpg"));
  std::size_t sof = 0;
  for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      sof = i;
      break;
    }
  }
  ASSERT_GT(sof, 0u);
  // PNG: a small one, and the same IDAT under an 8000 × 8000 header.
  const BuiltPng small = MakePng(64, 24, 9);
  auto huge = small.bytes;
  for (std::size_t at : {16u, 20u}) {
    huge[at] = 0, huge[at + 1] = 0, huge[at + 2] = 0x1F, huge[at + 3] = 0x40;  // 8000
  }
  // TIFF: 8-bit gray, one uncompressed strip.
  auto tiff = [](std::uint32_t w, std::uint32_t h, std::uint32_t compression) {
    std::vector<std::uint8_t> t = {'I', 'I', 42, 0, 8, 0, 0, 0};
    const std::uint16_t kTags[][2] = {{256, 4}, {257, 4}, {258, 3}, {259, 3},
                                      {262, 3}, {273, 4}, {278, 4}, {279, 4}};
    const std::uint32_t dataAt = 8 + 2 + 8 * 12 + 4;
    const std::uint32_t values[] = {w, h, 8, compression, 1, dataAt, h, 64};
    testing_support::Put16(&t, 8);
    for (int i = 0; i < 8; ++i) {
      testing_support::Put16(&t, kTags[i][0]);
      testing_support::Put16(&t, kTags[i][1]);
      testing_support::Put32(&t, 1);
      testing_support::Put32(&t, values[i]);
    }
    testing_support::Put32(&t, 0);
    t.resize(t.size() + 64, 0x80);
    return t;
  };
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    img::HResult expected;
  };
  std::vector<Case> cases;
  cases.push_back({"jpeg", jpeg, img::kOk});
  auto bigJpeg = jpeg;
  for (std::size_t at : {sof + 5, sof + 7}) bigJpeg[at] = 0x1F, bigJpeg[at + 1] = 0x40;
  cases.push_back({"jpeg 8000", bigJpeg, img::kErrImageSizeOutOfRange});
  cases.push_back({"png", small.bytes, img::kOk});
  cases.push_back({"png 8000", huge, img::kErrImageSizeOutOfRange});
  cases.push_back({"tiff", tiff(8, 8, 1), img::kOk});
  cases.push_back({"tiff 8000", tiff(8000, 8000, 1), img::kErrImageSizeOutOfRange});
  cases.push_back({"tiff deflate 8000", tiff(8000, 8000, 8), img::kErrImageSizeOutOfRange});
  cases.push_back({"tiff lzw 8000", tiff(8000, 8000, 5), img::kErrImageSizeOutOfRange});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_LT(c.bytes.size(), 4000u);
    std::unique_ptr<img::Decoder> dec;
    img::HResult hr = img::CreateDecoderFromMemory(ShareBytes(c.bytes), &dec);
    std::unique_ptr<img::Frame> frame;
    if (img::Succeeded(hr)) hr = dec->GetFrame(0, &frame);
    EXPECT_EQ(hr, c.expected);
    if (c.expected == img::kOk) {
      ASSERT_TRUE(frame);
      std::vector<std::uint8_t> buf(frame->Width() * frame->Height() * 4);
      EXPECT_EQ(frame->CopyPixels(PixelFormat::Bgra32, buf.data(), frame->Width() * 4, buf.size()),
                img::kOk);
    }
  }
}

}  // namespace
