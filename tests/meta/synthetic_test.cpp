// The synthetic JPEG that carries loose EXIF and XMP blobs to the reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "meta/meta_internal.h"
#include "meta/parsers.h"
#include "tests/support/test_support.h"

namespace {

// A big-endian TIFF structure with one ASCII tag (270) whose text makes the
// whole structure exactly `total` bytes long (at least 27).
std::string ExifOfSize(std::size_t total) {
  const std::size_t textLen = total - 26;  // header 8, count 2, entry 12, next 4
  std::string b = std::string("MM\0\x2A\0\0\0\x08", 8);
  b += std::string("\0\x01", 2);
  b += std::string("\x01\x0E\0\x02", 4);  // tag 270, ASCII
  b += static_cast<char>((textLen >> 24) & 0xFF);
  b += static_cast<char>((textLen >> 16) & 0xFF);
  b += static_cast<char>((textLen >> 8) & 0xFF);
  b += static_cast<char>(textLen & 0xFF);
  b += std::string("\0\0\0\x1A", 4);  // value at offset 26
  b += std::string(4, '\0');          // no next directory
  std::string text(textLen, 'd');
  text.back() = '\0';
  return b + text;
}

TEST(PutSegTest, LayoutAndLength) {
  std::vector<std::uint8_t> out = {1};
  std::string body(100, 'b');
  PutSeg(&out, meta::kExifHead, 6, body.data(), body.size());
  ASSERT_EQ(out.size(), 1u + 4 + 6 + 100);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(out[2], 0xE1);
  EXPECT_EQ(out[3] * 256 + out[4], 108);
  EXPECT_EQ(std::string(out.begin() + 5, out.begin() + 11), std::string("Exif\0\0", 6));
  EXPECT_EQ(out.back(), 'b');
}

TEST(NormalizeExifTest, FindsTheTiffHeader) {
  const std::string tiff = std::string("II\x2A\0\x08\0\0\0", 8);
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {tiff, tiff},                               // already clean
      {std::string("Exif\0\0", 6) + tiff, tiff},  // the usual prefix
      {std::string(16, 'x') + tiff, tiff},        // header at 16: still found
      {std::string(17, 'x') + tiff, ""},          // at 17: too far
      {std::string("MM\0\x2A", 4), std::string("MM\0\x2A", 4)},
      {"abc", ""},  // 3 bytes or fewer
      {"no tiff header here at all", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string s = c.in;
    NormalizeExif(&s);
    EXPECT_EQ(s, c.out) << c.in.size();
  }
}

TEST(TinyJpegTest, IsOneWhitePixel) {
  const std::vector<std::uint8_t>& tiny = TinyJpeg();
  ASSERT_GT(tiny.size(), 3u);
  std::vector<meta::Seg> segs;
  std::uint64_t scan = 0;
  EXPECT_TRUE(meta::ParseJpeg(tiny, &segs, &scan));
  auto d = testing_support::DecodeBytes(testing_support::ShareBytes(tiny));
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.width, 1u);
  EXPECT_EQ(d.height, 1u);
  EXPECT_EQ(d.At(0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(&TinyJpeg(), &tiny);  // made once
}

TEST(FakeJpegTest, BlobsThenTheTinyPicture) {
  const std::string exif = ExifOfSize(40);
  const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
  std::vector<std::uint8_t> out;
  ASSERT_TRUE(FakeJpeg(exif, xmp, &out));
  std::vector<meta::Seg> segs;
  std::uint64_t scan = 0;
  ASSERT_TRUE(meta::ParseJpeg(out, &segs, &scan));
  // SOI, the EXIF APP1, the XMP APP1, then only the tiny picture's own kinds.
  std::vector<std::uint8_t> markers;
  for (const meta::Seg& s : segs) markers.push_back(s.marker);
  ASSERT_GE(markers.size(), 4u);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0xD8);
  EXPECT_EQ(out[2], 0xFF);
  EXPECT_EQ(out[3], 0xE1);
  EXPECT_EQ(std::string(out.begin() + 6, out.begin() + 12), std::string("Exif\0\0", 6));
  EXPECT_EQ(std::string(out.begin() + 12, out.begin() + 12 + 40), exif);
  const std::size_t x = 12 + 40;
  EXPECT_EQ(out[x + 1], 0xE1);
  EXPECT_EQ(out[x + 2] * 256 + out[x + 3], 29 + static_cast<int>(xmp.size()) + 2);
  int app1 = 0;
  for (std::uint8_t m : markers) {
    app1 += m == 0xE1;
    EXPECT_NE(m, 0xED);
    EXPECT_NE(m, 0xFE);
  }
  EXPECT_EQ(app1, 2);
  // Still a decodable picture.
  auto d = testing_support::DecodeBytes(testing_support::ShareBytes(out));
  EXPECT_EQ(d.hr, img::kOk);

  std::vector<std::uint8_t> none;
  ASSERT_TRUE(FakeJpeg("", "", &none));
  EXPECT_EQ(testing_support::DecodeBytes(testing_support::ShareBytes(none)).hr, img::kOk);
}

TEST(FakeJpegTest, RefusesBlobsAboveTheLimit) {
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(FakeJpeg(std::string(65000, 'a'), "", &out));
  EXPECT_FALSE(FakeJpeg(std::string(65001, 'a'), "", &out));
  EXPECT_FALSE(FakeJpeg("", std::string(65001, 'a'), &out));
}

TEST(FieldsFromBlobsTest, ListsExifWithoutTheTinyPicturesBlocks) {
  MetaDoc doc;
  EXPECT_TRUE(
      FieldsFromBlobs(&doc, std::string("Exif\0\0", 6) + ExifOfSize(60), "", L"exif:", true));
  ASSERT_EQ(doc.fields.size(), 1u);
  EXPECT_EQ(doc.fields[0].key, L"exif:/app1/ifd/{ushort=270}");
  EXPECT_EQ(doc.fields[0].label, L"Description");
  EXPECT_EQ(doc.fields[0].value, std::wstring(33, L'd'));
  EXPECT_TRUE(doc.fields[0].editable);
  for (const MetaField& f : doc.fields) EXPECT_NE(f.group, L"Technical");
}

TEST(FieldsFromBlobsTest, SizeLimit) {
  MetaDoc ok;
  EXPECT_TRUE(FieldsFromBlobs(&ok, ExifOfSize(65000), "", L"", true));
  ASSERT_EQ(ok.fields.size(), 1u);
  EXPECT_EQ(ok.fields[0].value.size(), 65000u - 27);

  MetaDoc big;
  EXPECT_FALSE(FieldsFromBlobs(&big, ExifOfSize(65001), std::string(70000, 'x'), L"", true));
  ASSERT_EQ(big.fields.size(), 2u);
  EXPECT_EQ(big.fields[0].key, L"(exif)");
  EXPECT_EQ(big.fields[0].group, L"Other");
  EXPECT_EQ(big.fields[0].label, L"EXIF data");
  EXPECT_EQ(big.fields[0].value, L"(65001 bytes, too large to list)");
  EXPECT_EQ(big.fields[1].key, L"(xmp)");
  EXPECT_EQ(big.fields[1].group, L"XMP");
  EXPECT_EQ(big.fields[1].label, L"XMP packet");
  EXPECT_EQ(big.fields[1].value, L"(70000 bytes, too large to list)");
  for (const MetaField& f : big.fields) {
    EXPECT_FALSE(f.editable || f.removable || f.renamable);
    EXPECT_EQ(f.varType, 0);
    EXPECT_EQ(f.loadedValue, f.value);
  }

  MetaDoc empty;
  EXPECT_TRUE(FieldsFromBlobs(&empty, "junk without a header", "", L"", true));
  EXPECT_TRUE(empty.fields.empty());
}

TEST(WalkImageTest, UndecodableBytesAddNothing) {
  MetaDoc doc;
  const std::vector<std::uint8_t> junk = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(WalkImage(junk, &doc, L"", true, true), img::Container::Unknown);
  EXPECT_EQ(WalkImage({}, &doc, L"", true, true), img::Container::Unknown);
  EXPECT_TRUE(doc.fields.empty());
}

}  // namespace
