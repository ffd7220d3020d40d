#include <gtest/gtest.h>

#include "imaging/imaging.h"

namespace {

TEST(MetadataQuery, AliasesAndIndexes) {
  auto ifd = std::make_shared<img::MetadataReader>(
      "ifd", std::vector<img::MetaItem>{{"{ushort=274}", img::PropValue::UI2(6)}});
  auto app1 = std::make_shared<img::MetadataReader>(
      "app1", std::vector<img::MetaItem>{{"{ushort=0}", img::PropValue::Reader(ifd)}});
  img::MetadataReader root("jpeg", {{"com", img::PropValue::Lpstr("a")},
                                    {"com", img::PropValue::Lpstr("b")},
                                    {"app1", img::PropValue::Reader(app1)}});
  std::uint32_t v = 0;
  EXPECT_TRUE(img::ReadUInt(&root, "/app1/ifd/{ushort=274}", &v));
  EXPECT_EQ(v, 6u);
  v = 0;
  EXPECT_TRUE(img::ReadUInt(&root, "/APP1/{ushort=0}/{USHORT=274}", &v));
  EXPECT_EQ(v, 6u);
  img::PropValue p;
  ASSERT_EQ(root.GetMetadataByName("/[1]com", &p), img::kOk);
  EXPECT_EQ(p.bytes, "b");
  EXPECT_EQ(root.GetMetadataByName("/[2]com", &p), img::kErrPropertyNotFound);
  EXPECT_EQ(root.GetMetadataByName("/app1/ifd/{ushort=275}", &p), img::kErrPropertyNotFound);
  EXPECT_EQ(root.GetMetadataByName("/com/x", &p), img::kErrPropertyNotFound);
  EXPECT_EQ(root.GetMetadataByName("app1", &p), img::kInvalidArg);
  EXPECT_EQ(root.GetMetadataByName("//", &p), img::kInvalidArg);
  // a string value is not an unsigned integer
  v = 7;
  EXPECT_FALSE(img::ReadUInt(&root, "/com", &v));
  EXPECT_EQ(v, 7u);
}

// A little-endian TIFF structure: IFD0 with orientation and an EXIF pointer,
// the EXIF IFD with a rational, and IFD1.
std::vector<std::uint8_t> SmallExif(bool loopToSelf) {
  std::vector<std::uint8_t> b = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto u16 = [&](unsigned v) {
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
  };
  auto u32 = [&](unsigned v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  // IFD0 at 8: 2 entries, next IFD
  u16(2);
  u16(274);
  u16(3);
  u32(1);
  u16(6);
  u16(0);  // orientation 6
  u16(34665);
  u16(4);
  u32(1);
  u32(loopToSelf ? 8 : 38);  // EXIF IFD
  u32(loopToSelf ? 8 : 56);  // next: IFD1
  // EXIF IFD at 38: 1 entry (exposure time 1/125 at 60)
  u16(1);
  u16(33434);
  u16(5);
  u32(1);
  u32(60);
  u32(0);
  // 56: IFD1 with 1 entry; rational data for the EXIF IFD sits at 60... keep
  // the rational after IFD1 instead
  b.resize(56);
  u16(0);
  u32(0);
  b.resize(60);
  u32(1);
  u32(125);
  return b;
}

TEST(Exif, ParsesIfdTreeWithNestedReaders) {
  auto b = SmallExif(false);
  auto items = img::ParseTiffIfds(b.data(), b.size());
  ASSERT_GE(items.size(), 1u);
  img::MetadataReader root("app1", items);
  std::uint32_t v = 0;
  EXPECT_TRUE(img::ReadUInt(&root, "/ifd/{ushort=274}", &v));
  EXPECT_EQ(v, 6u);
  img::PropValue p;
  ASSERT_EQ(root.GetMetadataByName("/ifd/exif/{ushort=33434}", &p), img::kOk);
  EXPECT_EQ(p.vt, img::kVtUI8);
  EXPECT_EQ(p.u, (125ull << 32) | 1u);
}

TEST(Exif, LoopsAndTruncationEndSafely) {
  auto loop = SmallExif(true);
  auto items = img::ParseTiffIfds(loop.data(), loop.size());
  ASSERT_EQ(items.size(), 1u);  // IFD1 pointing back at IFD0 is not read twice
  for (std::size_t n = 0; n < loop.size(); ++n) {
    auto cut = img::ParseTiffIfds(loop.data(), n);  // never reads past n
    (void)cut;
  }
}

}  // namespace
