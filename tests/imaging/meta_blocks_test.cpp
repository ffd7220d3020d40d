// Metadata blocks of JPEG, TIFF and PNG files: the reader tree the engine
// builds, its query paths, values and order, and hostile bytes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "imaging/exif_internal.h"
#include "imaging/imaging.h"
#include "imaging/jpeg_internal.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::FixtureBytes;
using testing_support::ShareBytes;

std::shared_ptr<const img::MetadataReader> FrameMetadata(const img::Bytes& bytes) {
  std::unique_ptr<img::Decoder> dec;
  if (img::Failed(img::CreateDecoderFromMemory(bytes, &dec))) return nullptr;
  std::unique_ptr<img::Frame> frame;
  if (img::Failed(dec->GetFrame(0, &frame))) return nullptr;
  return frame->Metadata();
}

img::PropValue Get(const img::MetadataReader* r, const std::string& path) {
  img::PropValue v;
  EXPECT_EQ(r ? r->GetMetadataByName(path, &v) : img::kFail, img::kOk) << path;
  return v;
}

bool Has(const img::MetadataReader* r, const std::string& path) {
  img::PropValue v;
  return r && img::Succeeded(r->GetMetadataByName(path, &v));
}

std::vector<std::string> Names(const img::MetadataReader* r) {
  return r ? r->GetEnumerator() : std::vector<std::string>{};
}

// Every item of the tree, depth first, as full paths: each enumerator name
// must resolve to a value.
std::size_t CountTree(const img::MetadataReader* r, const std::string& prefix, int depth = 0) {
  if (!r || depth > 16) return 0;
  std::size_t n = 0;
  for (const std::string& name : r->GetEnumerator()) {
    img::PropValue v;
    EXPECT_EQ(r->GetMetadataByName(name, &v), img::kOk) << prefix + name;
    ++n;
    if (v.vt == img::kVtUnknown) n += CountTree(v.reader.get(), prefix + name, depth + 1);
  }
  return n;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Be16(unsigned v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }
Bytes Be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// A JPEG marker segment with its length field.
Bytes Segment(std::uint8_t marker, const Bytes& body) {
  return Cat({{0xFF, marker}, Be16(static_cast<unsigned>(body.size() + 2)), body});
}

// SOI and the segments; the block builder does not need a scan.
std::shared_ptr<const img::MetadataReader> JpegBlocks(const Bytes& segments) {
  Bytes file = Cat({{0xFF, 0xD8}, segments, {0xFF, 0xD9}});
  return img::BuildJpegMetadata(file.data(), img::ScanJpegSegments(file.data(), file.size()));
}

Bytes Zlib(const Bytes& raw) {
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  Bytes out(n);
  EXPECT_EQ(compress2(out.data(), &n, raw.data(), static_cast<uLong>(raw.size()), 9), Z_OK);
  out.resize(n);
  return out;
}

// ---------------------------------------------------------------------------
// JPEG

TEST(MetaBlocks, JpegFixtureTree) {
  auto meta = FrameMetadata(FixtureBytes("meta_full.jpg"));
  ASSERT_TRUE(meta);
  // file order: JFIF, EXIF, Photoshop, XMP, ICC (not read: unknown), COM, DQT x2
  EXPECT_EQ(Names(meta.get()),
            (std::vector<std::string>{"/app0", "/app1", "/app13", "/xmp", "/unknown", "/com",
                                      "/luminance", "/chrominance"}));
  const auto* m = meta.get();

  EXPECT_EQ(Get(m, "/app0/Version").vt, img::kVtUI2);
  EXPECT_EQ(Get(m, "/app0/Version").u, 0x0101u);
  EXPECT_EQ(Get(m, "/app0/Units").vt, img::kVtUI1);
  EXPECT_EQ(Get(m, "/app0/DpiX").u, 1u);
  EXPECT_EQ(Get(m, "/app0/Ythumbnail").vt, img::kVtUI1);

  EXPECT_EQ(Names(Get(m, "/app1").reader.get()),
            (std::vector<std::string>{"/{ushort=0}", "/{ushort=1}"}));
  img::PropValue make = Get(m, "/app1/ifd/{ushort=271}");
  EXPECT_EQ(make.vt, img::kVtLpstr);
  EXPECT_EQ(make.bytes, "Norvane");
  // XPTitle: BYTE vector of UCS-2LE with its terminating zero
  img::PropValue title = Get(m, "/app1/{ushort=0}/{ushort=40091}");
  EXPECT_EQ(title.vt, img::kVtVector | img::kVtUI1);
  EXPECT_EQ(title.bytes, std::string("B\0l\0o\0c\0k\0 \0t\0i\0t\0l\0e\0\0\0", 24));
  EXPECT_EQ(Get(m, "/app1/ifd/{ushort=40094}").vt, img::kVtVector | img::kVtUI1);
  // EXIF: RATIONAL, SRATIONAL, UNDEFINED, SHORT
  img::PropValue exposure = Get(m, "/app1/ifd/exif/{ushort=33434}");
  EXPECT_EQ(exposure.vt, img::kVtUI8);
  EXPECT_EQ(exposure.u, 1u | (125ull << 32));
  img::PropValue bias = Get(m, "/app1/ifd/exif/{ushort=37380}");
  EXPECT_EQ(bias.vt, img::kVtI8);
  EXPECT_EQ(static_cast<std::int32_t>(static_cast<std::uint32_t>(bias.i)), -2);
  EXPECT_EQ(bias.i >> 32, 3);
  img::PropValue version = Get(m, "/app1/ifd/exif/{ushort=36864}");
  EXPECT_EQ(version.vt, img::kVtBlob);
  EXPECT_EQ(version.bytes, "0232");
  EXPECT_EQ(Get(m, "/app1/ifd/exif/{ushort=34855}").u, 200u);
  EXPECT_EQ(Get(m, "/app1/ifd/exif/interop/{ushort=1}").bytes, "R98");
  // GPS latitude: three rationals 48/1 51/1 59/2
  img::PropValue lat = Get(m, "/app1/ifd/gps/{ushort=2}");
  EXPECT_EQ(lat.vt, img::kVtVector | img::kVtUI8);
  EXPECT_EQ(lat.nums,
            (std::vector<std::uint64_t>{48 | (1ull << 32), 51 | (1ull << 32), 59 | (2ull << 32)}));
  EXPECT_EQ(Get(m, "/app1/ifd/gps/{ushort=1}").bytes, "N");

  // the thumbnail addressed by IFD1 is its own decodable JPEG
  img::PropValue thumb = Get(m, "/app1/thumb/{}");
  ASSERT_EQ(thumb.vt, img::kVtBlob);
  std::uint32_t thumbLen = 0;
  EXPECT_TRUE(img::ReadUInt(m, "/app1/thumb/{ushort=514}", &thumbLen));
  EXPECT_EQ(thumb.bytes.size(), thumbLen);
  auto thumbDecoded =
      testing_support::DecodeBytes(ShareBytes(Bytes(thumb.bytes.begin(), thumb.bytes.end())));
  EXPECT_EQ(thumbDecoded.hr, img::kOk);
  EXPECT_EQ(thumbDecoded.width, 16u);
  EXPECT_EQ(thumbDecoded.height, 12u);
  EXPECT_EQ(Names(Get(m, "/app1/thumb").reader.get()).back(), "/{}");

  // Photoshop resources: IPTC first, then the copyright flag (1 byte, padded)
  // and the digest
  EXPECT_EQ(Names(Get(m, "/app13/irb").reader.get()),
            (std::vector<std::string>{"/8bimiptc", "/{ushort=1034}", "/{ushort=1061}"}));
  img::PropValue keywords = Get(m, "/app13/irb/8bimiptc/iptc/Keywords");
  EXPECT_EQ(keywords.vt, img::kVtVector | img::kVtLpstr);
  EXPECT_EQ(keywords.strs, (std::vector<std::string>{"red", "green", "blue"}));
  EXPECT_EQ(Get(m, "/app13/irb/8bimiptc/iptc/Caption-Abstract").bytes, "A caption");
  EXPECT_EQ(Get(m, "/app13/irb/8bimiptc/iptc/By-line").vt, img::kVtLpstr);
  img::PropValue recordVersion = Get(m, "/app13/irb/8bimiptc/iptc/ApplicationRecordVersion");
  EXPECT_EQ(recordVersion.vt, img::kVtUI2);
  EXPECT_EQ(recordVersion.u, 4u);
  EXPECT_EQ(Get(m, "/app13/irb/{ushort=1034}").bytes.size(), 1u);
  EXPECT_EQ(Get(m, "/app13/irb/{ushort=1061}").bytes.size(), 16u);

  // XMP is its parser's reader
  img::PropValue xmp = Get(m, "/xmp");
  ASSERT_EQ(xmp.vt, img::kVtUnknown);
  EXPECT_EQ(xmp.reader->Format(), "xmp");
  EXPECT_FALSE(xmp.reader->Items().empty());

  // the ICC profile segment, byte for byte with marker and length
  img::PropValue icc = Get(m, "/unknown/{}");
  ASSERT_EQ(icc.vt, img::kVtBlob);
  ASSERT_EQ(icc.bytes.size(), 564u + 14 + 4);
  EXPECT_EQ(icc.bytes.substr(0, 4), std::string("\xFF\xE2\x02\x44", 4));
  EXPECT_EQ(icc.bytes.substr(4, 12), std::string("ICC_PROFILE\0", 12));

  EXPECT_EQ(Get(m, "/com/TextEntry").bytes, "block comment");
  // quality 80 scales the standard tables by 0.4: DC entries 16 -> 6, 17 -> 7
  img::PropValue luma = Get(m, "/luminance/TableEntry");
  EXPECT_EQ(luma.vt, img::kVtVector | img::kVtUI2);
  ASSERT_EQ(luma.nums.size(), 64u);
  EXPECT_EQ(luma.nums[0], 6u);
  img::PropValue chroma = Get(m, "/chrominance/TableEntry");
  ASSERT_EQ(chroma.nums.size(), 64u);
  EXPECT_EQ(chroma.nums[0], 7u);
  EXPECT_EQ(chroma.nums[63], 40u);  // 99 x 0.4

  EXPECT_GT(CountTree(m, ""), 60u);
}

Bytes Jfif(std::size_t cut = 0) {
  Bytes b = Cat({Text(std::string("JFIF\0", 5)), {1, 2, 1}, Be16(300), Be16(200), {0, 0}});
  b.resize(b.size() - cut);
  return b;
}
Bytes Adobe(std::size_t cut = 0) {
  Bytes b = Cat({Text("Adobe"), Be16(100), Be16(0x8000), Be16(0), {2}});
  b.resize(b.size() - cut);
  return b;
}
Bytes Dqt(std::uint8_t pq, unsigned first) {
  Bytes b = {pq};
  for (int k = 0; k < 64; ++k) {
    const unsigned v = k == 0 ? first : 1;
    if (pq >> 4) {
      b.push_back(static_cast<std::uint8_t>(v >> 8));
      b.push_back(static_cast<std::uint8_t>(v));
    } else {
      b.push_back(static_cast<std::uint8_t>(v));
    }
  }
  return b;
}
Bytes Irb(unsigned id, const Bytes& data, const std::string& name = "", const char* sig = "8BIM") {
  Bytes b = Cat({Text(sig), Be16(id), {static_cast<std::uint8_t>(name.size())}, Text(name)});
  if (b.size() % 2) b.push_back(0);
  b = Cat({b, Be32(static_cast<std::uint32_t>(data.size())), data});
  if (b.size() % 2) b.push_back(0);
  return b;
}
Bytes Dataset(std::uint8_t record, std::uint8_t dataset, const std::string& text) {
  return Cat({{0x1C, record, dataset}, Be16(static_cast<unsigned>(text.size())), Text(text)});
}
Bytes Photoshop(const Bytes& resources) {
  return Cat({Text(std::string("Photoshop 3.0\0", 14)), resources});
}

TEST(MetaBlocks, JpegSegmentKinds) {
  const Bytes iptc = Cat({Dataset(2, 25, "k1"), Dataset(2, 5, "name"), Dataset(2, 25, "k2")});
  struct Case {
    const char* what;
    Bytes segments;
    std::vector<std::string> names;  // the root enumerator
  };
  const std::vector<Case> cases = {
      {"JFIF", Segment(0xE0, Jfif()), {"/app0"}},
      {"JFIF one byte short", Segment(0xE0, Jfif(1)), {"/unknown"}},
      {"JFXX extension", Segment(0xE0, Text(std::string("JFXX\0\x10", 6))), {"/unknown"}},
      {"EXIF that is no TIFF", Segment(0xE1, Text(std::string("Exif\0\0XX*\0", 10))), {"/unknown"}},
      {"XMP that is no XML",
       Segment(0xE1, Text(std::string("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta", 39))),
       {"/unknown"}},
      // A piece of extended XMP without the packet that names it.
      {"extended XMP",
       Segment(0xE1, Text(std::string("http://ns.adobe.com/xmp/extension/\0", 35))),
       {"/xmpextpart"}},
      {"other APP1", Segment(0xE1, Text("abc")), {"/unknown"}},
      {"Photoshop with IPTC", Segment(0xED, Photoshop(Irb(0x0404, iptc))), {"/app13"}},
      {"Photoshop resource size past the end",
       Segment(0xED, Photoshop(Cat({Text("8BIM"), Be16(0x0404), {0, 0}, Be32(100), {1, 2}}))),
       {"/unknown"}},
      {"Adobe", Segment(0xEE, Adobe()), {"/app14"}},
      {"Adobe one byte short", Segment(0xEE, Adobe(1)), {"/unknown"}},
      {"APP12 and APP15",
       Cat({Segment(0xEC, Text("Ducky")), Segment(0xEF, {})}),
       {"/unknown", "/[1]unknown"}},
      {"two comments",
       Cat({Segment(0xFE, Text("a")), Segment(0xFE, Text("b"))}),
       {"/com", "/[1]com"}},
      {"DQT with tables 0, 2 and 1 (16-bit)",
       Segment(0xDB, Cat({Dqt(0x00, 9), Dqt(0x02, 9), Dqt(0x11, 300)})),
       {"/luminance", "/chrominance"}},
      {"DQT whose second table is cut", Segment(0xDB, Cat({Dqt(0x00, 9), {0x01, 5, 5}})), {}},
      {"DQT with precision 2", Segment(0xDB, Dqt(0x20, 9)), {}},
      {"DQT with table id 4", Segment(0xDB, Dqt(0x04, 9)), {}},
      {"SOF0, DHT and DRI are not blocks",
       Cat({Segment(0xC0, {8, 0, 1, 0, 1, 1, 1, 0x11, 0}), Segment(0xC4, {0}),
            Segment(0xDD, {0, 4})}),
       {}},
      {"segment length past the end",
       Cat({Segment(0xFE, Text("a")), {0xFF, 0xE1, 0x10, 0}}),
       {"/com"}},
      {"segment length below two", Cat({Segment(0xE0, Jfif()), {0xFF, 0xFE, 0, 1}}), {"/app0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto meta = JpegBlocks(c.segments);
    ASSERT_TRUE(meta);
    EXPECT_EQ(Names(meta.get()), c.names);
    CountTree(meta.get(), "");
  }

  auto jfif = JpegBlocks(Segment(0xE0, Jfif()));
  EXPECT_EQ(Names(Get(jfif.get(), "/app0").reader.get()),
            (std::vector<std::string>{"/Version", "/Units", "/DpiX", "/DpiY", "/Xthumbnail",
                                      "/Ythumbnail"}));
  EXPECT_EQ(Get(jfif.get(), "/app0/Version").u, 0x0102u);
  EXPECT_EQ(Get(jfif.get(), "/app0/DpiX").u, 300u);
  EXPECT_EQ(Get(jfif.get(), "/app0/DpiY").u, 200u);

  auto adobe = JpegBlocks(Segment(0xEE, Adobe()));
  EXPECT_EQ(Get(adobe.get(), "/app14/Version").vt, img::kVtUI2);
  EXPECT_EQ(Get(adobe.get(), "/app14/Version").u, 100u);
  EXPECT_EQ(Get(adobe.get(), "/app14/Flags0").u, 0x8000u);
  EXPECT_EQ(Get(adobe.get(), "/app14/Flags1").vt, img::kVtUI2);
  EXPECT_EQ(Get(adobe.get(), "/app14/ColorTransform").vt, img::kVtUI1);
  EXPECT_EQ(Get(adobe.get(), "/app14/ColorTransform").u, 2u);

  auto unknown = JpegBlocks(Segment(0xEC, Text("Ducky")));
  EXPECT_EQ(Get(unknown.get(), "/unknown/{}").bytes, std::string("\xFF\xEC\x00\x07"
                                                                 "Ducky",
                                                                 9));

  auto dqt = JpegBlocks(Segment(0xDB, Cat({Dqt(0x00, 9), Dqt(0x02, 9), Dqt(0x11, 300)})));
  EXPECT_EQ(Get(dqt.get(), "/luminance/TableEntry").nums[0], 9u);
  img::PropValue wide = Get(dqt.get(), "/chrominance/TableEntry");
  ASSERT_EQ(wide.nums.size(), 64u);
  EXPECT_EQ(wide.nums[0], 300u);
  EXPECT_EQ(wide.nums[1], 1u);

  auto comments = JpegBlocks(Cat({Segment(0xFE, Text("a")), Segment(0xFE, Text("b"))}));
  EXPECT_EQ(Get(comments.get(), "/[1]com/TextEntry").bytes, "b");

  auto ps = JpegBlocks(Segment(0xED, Photoshop(Irb(0x0404, iptc))));
  EXPECT_EQ(Get(ps.get(), "/app13/irb/8bimiptc/iptc/Keywords").strs,
            (std::vector<std::string>{"k1", "k2"}));
}

// A little-endian TIFF structure: IFD0 with tag 700 (XMP bytes) and tag
// 33723 (garbage), IFD1 with a thumbnail of `thumbLen` bytes at the end.
Bytes TinyTiff(std::uint32_t thumbLen) {
  Bytes b = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto u16 = [&](unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  auto u32 = [&](std::uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
  // IFD0 at 8: 2 entries (8 + 2 + 24 + 4 = 38), data after IFD1
  // IFD1 at 38: 2 entries (38 + 2 + 24 + 4 = 68); XMP at 68, thumbnail after
  const std::uint32_t xmpAt = 68, thumbAt = xmpAt + static_cast<std::uint32_t>(xmp.size());
  u16(2);
  u16(700), u16(1), u32(static_cast<std::uint32_t>(xmp.size())), u32(xmpAt);
  u16(33723), u16(4), u32(1), u32(0x12345678);  // not an IPTC record
  u32(38);
  u16(2);
  u16(513), u16(4), u32(1), u32(thumbAt);
  u16(514), u16(4), u32(1), u32(thumbLen);
  u32(0);
  b.insert(b.end(), xmp.begin(), xmp.end());
  for (int k = 0; k < 6; ++k) b.push_back(static_cast<std::uint8_t>(0xD0 + k));
  return b;
}

TEST(MetaBlocks, ThumbnailAndFileOnlyTags) {
  Bytes tiff = TinyTiff(6);
  auto items = img::ParseTiffIfds(tiff.data(), tiff.size());
  img::MetadataReader app1("app1", items);
  // inside EXIF the TIFF-file tags stay numbered
  EXPECT_TRUE(Has(&app1, "/ifd/{ushort=700}"));
  EXPECT_FALSE(Has(&app1, "/ifd/xmp"));
  EXPECT_EQ(Get(&app1, "/thumb/{}").bytes, "\xD0\xD1\xD2\xD3\xD4\xD5");

  // a thumbnail one byte longer than the data is said to lie outside it; an
  // empty one gives no "{}"
  for (std::uint32_t len : {7u, 0u, 0xFFFFFFFFu}) {
    Bytes bad = TinyTiff(len);
    img::MetadataReader r("app1", img::ParseTiffIfds(bad.data(), bad.size()));
    if (len == 0) {
      EXPECT_FALSE(Has(&r, "/thumb/{}"));
    } else {
      EXPECT_EQ(Get(&r, "/thumb/{}").bytes, "(outside the EXIF data)") << len;
    }
    EXPECT_TRUE(Has(&r, "/thumb/{ushort=514}"));
  }

  // a TIFF file's own directory: XMP becomes "xmp" when its parser reads it;
  // the garbage IPTC stays "{ushort=33723}"
  auto ifd = img::ParseIfdAt(tiff.data(), tiff.size(), 8, true);
  ASSERT_TRUE(ifd);
  EXPECT_FALSE(Has(ifd.get(), "/iptc"));
  img::PropValue iptc = Get(ifd.get(), "/{ushort=33723}");
  EXPECT_EQ(iptc.vt, img::kVtUI4);
  EXPECT_EQ(Has(ifd.get(), "/xmp"), !Has(ifd.get(), "/{ushort=700}"));
}

// ---------------------------------------------------------------------------
// TIFF

TEST(MetaBlocks, TiffFixtureTree) {
  auto meta = FrameMetadata(FixtureBytes("meta_full.tif"));
  ASSERT_TRUE(meta);
  const auto* m = meta.get();
  std::vector<std::string> names = Names(Get(m, "/ifd").reader.get());
  // tags in directory order, the embedded kinds in place of their tags
  const std::vector<std::string> tail = {
      "/xmp",           "/iptc", "/irb", "/{ushort=34665}", "/{ushort=34853}", "/{ushort=40091}",
      "/{ushort=40094}"};
  ASSERT_GE(names.size(), tail.size());
  EXPECT_EQ(
      std::vector<std::string>(names.end() - static_cast<std::ptrdiff_t>(tail.size()), names.end()),
      tail);
  for (const char* gone : {"/ifd/{ushort=700}", "/ifd/{ushort=33723}", "/ifd/{ushort=34377}"}) {
    EXPECT_FALSE(Has(m, gone)) << gone;
  }
  // structural tags stay items
  EXPECT_TRUE(Has(m, "/ifd/{ushort=273}"));
  EXPECT_TRUE(Has(m, "/ifd/{ushort=279}"));
  EXPECT_EQ(Get(m, "/ifd/xmp").reader->Format(), "xmp");
  EXPECT_EQ(Get(m, "/ifd/iptc/Keywords").strs, (std::vector<std::string>{"red", "green", "blue"}));
  EXPECT_EQ(Get(m, "/ifd/iptc/City").bytes, "Paris");
  EXPECT_EQ(Names(Get(m, "/ifd/irb").reader.get()),
            (std::vector<std::string>{"/{ushort=1034}", "/{ushort=1061}"}));
  EXPECT_EQ(Get(m, "/ifd/exif/{ushort=33434}").u, 1u | (125ull << 32));
  EXPECT_EQ(Get(m, "/ifd/gps/{ushort=2}").Count(), 3u);
  EXPECT_EQ(Get(m, "/ifd/exif/interop/{ushort=1}").bytes, "R98");
  EXPECT_EQ(Get(m, "/ifd/{ushort=40094}").vt, img::kVtVector | img::kVtUI1);
  CountTree(m, "");
}

// ---------------------------------------------------------------------------
// IPTC and Photoshop resources

TEST(MetaBlocks, IptcDatasets) {
  const Bytes record = Cat({
      Dataset(1, 90, "\x1B%G"),                          // coded character set
      {0x1C, 2, 0, 0, 2, 0, 4},                          // record version 4
      Dataset(2, 25, "one"),                             // keywords...
      Dataset(2, 120, "caption"),                        //
      Dataset(2, 25, "two"),                             // ...repeated after another
      Dataset(2, 200, "\x00\x01"),                       // not a named dataset
      Dataset(2, 80, "Ann"),                             //
      {0x1C, 2, 105, 0x80, 0x02, 0x00, 0x02, 'h', 'i'},  // extended size: 2 size bytes
      Dataset(2, 25, "three"),                           //
  });
  auto iptc = img::ParseIptc(record.data(), record.size());
  ASSERT_TRUE(iptc);
  EXPECT_EQ(iptc->Format(), "iptc");
  EXPECT_EQ(Names(iptc.get()), (std::vector<std::string>{"/{str=1:90}", "/ApplicationRecordVersion",
                                                         "/Keywords", "/Caption-Abstract",
                                                         "/{str=2:200}", "/By-line", "/Headline"}));
  EXPECT_EQ(Get(iptc.get(), "/{str=1:90}").vt, img::kVtBlob);
  EXPECT_EQ(Get(iptc.get(), "/{str=1:90}").bytes, "\x1B%G");
  EXPECT_EQ(Get(iptc.get(), "/ApplicationRecordVersion").vt, img::kVtUI2);
  EXPECT_EQ(Get(iptc.get(), "/ApplicationRecordVersion").u, 4u);
  img::PropValue keywords = Get(iptc.get(), "/Keywords");
  EXPECT_EQ(keywords.vt, img::kVtVector | img::kVtLpstr);
  EXPECT_EQ(keywords.strs, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(Get(iptc.get(), "/By-line").vt, img::kVtLpstr);
  EXPECT_EQ(Get(iptc.get(), "/Headline").bytes, "hi");

  struct Case {
    const char* what;
    Bytes bytes;
    std::size_t items;  // 0: no reader at all
  };
  const std::vector<Case> cases = {
      {"empty", {}, 0},
      {"not a dataset", Text("8BIM"), 0},
      {"size past the end", Cat({Dataset(2, 5, "ok"), {0x1C, 2, 25, 0, 9, 'a'}}), 1},
      {"header cut", Cat({Dataset(2, 5, "ok"), {0x1C, 2, 25, 0}}), 1},
      {"extended size of zero bytes", Cat({Dataset(2, 5, "ok"), {0x1C, 2, 25, 0x80, 0}}), 1},
      {"extended size of 5 bytes",
       Cat({Dataset(2, 5, "ok"), {0x1C, 2, 25, 0x80, 5, 0, 0, 0, 0, 1, 'a'}}), 1},
      {"extended size past the end",
       Cat({Dataset(2, 5, "ok"), {0x1C, 2, 25, 0x80, 4, 0xFF, 0xFF, 0xFF, 0xF0, 'a'}}), 1},
      {"padding after the record", Cat({Dataset(2, 5, "ok"), Bytes(7, 0)}), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = img::ParseIptc(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(r ? r->Items().size() : 0u, c.items);
  }

  // a record as large as a TIFF tag can be stops at 10000 datasets
  Bytes many;
  const Bytes one = Dataset(2, 25, "k");
  for (int k = 0; k < 10005; ++k) many.insert(many.end(), one.begin(), one.end());
  auto capped = img::ParseIptc(many.data(), many.size());
  ASSERT_TRUE(capped);
  EXPECT_EQ(Get(capped.get(), "/Keywords").strs.size(), 10000u);
}

TEST(MetaBlocks, PhotoshopResources) {
  const Bytes iptc = Dataset(2, 5, "title");
  const Bytes resources = Cat({
      Irb(0x03ED, {1, 2, 3}, "res"),    // odd name length, odd size
      Irb(0x0001, {9, 9}, "", "PHUT"),  // another signature: stepped over
      Irb(0x0404, iptc, "ab"),          // even name length: padded
      Irb(0x0404, Text("not iptc")),    // unreadable IPTC stays a blob
      Irb(0x0425, Bytes(16, 7)),        //
  });
  auto irb = img::ParsePhotoshopResources(resources.data(), resources.size());
  ASSERT_TRUE(irb);
  EXPECT_EQ(irb->Format(), "irb");
  EXPECT_EQ(Names(irb.get()), (std::vector<std::string>{"/{ushort=1005}", "/8bimiptc",
                                                        "/{ushort=1028}", "/{ushort=1061}"}));
  EXPECT_EQ(Get(irb.get(), "/{ushort=1005}").bytes, std::string("\x01\x02\x03", 3));
  EXPECT_EQ(Get(irb.get(), "/8bimiptc").reader->Format(), "8bimiptc");
  EXPECT_EQ(Get(irb.get(), "/8bimiptc/iptc/ObjectName").bytes, "title");
  EXPECT_EQ(Get(irb.get(), "/{ushort=1028}").bytes, "not iptc");
  EXPECT_EQ(Get(irb.get(), "/{ushort=1061}").bytes, std::string(16, '\x07'));

  struct Case {
    const char* what;
    Bytes bytes;
    std::size_t items;  // 0: no reader at all
  };
  const Bytes one = Irb(0x03ED, {1, 2});
  Bytes lastOddUnpadded = Irb(0x03EE, {5});
  lastOddUnpadded.pop_back();
  const std::vector<Case> cases = {
      {"empty", {}, 0},
      {"only another signature", Irb(1, {1, 2}, "", "AgHg"), 0},
      {"size past the end", Cat({one, Text("8BIM"), Be16(1), {0, 0}, Be32(0x7FFFFFFF), {1}}), 1},
      {"size of 4 GiB", Cat({one, Text("8BIM"), Be16(1), {0, 0}, Be32(0xFFFFFFFF), {1, 2}}), 1},
      {"name past the end", Cat({one, Text("8BIM"), Be16(1), {200}, Bytes(10, 'n')}), 1},
      {"header cut", Cat({one, Text("8BIM"), Be16(1)}), 1},
      {"last odd-sized resource without its pad", Cat({one, lastOddUnpadded}), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = img::ParsePhotoshopResources(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(r ? r->Items().size() : 0u, c.items);
  }
}

// ---------------------------------------------------------------------------
// PNG

Bytes Chunk(const char* type, const Bytes& data) {
  Bytes b = Cat({Be32(static_cast<std::uint32_t>(data.size())), Text(type), data});
  const uLong crc = crc32(0, b.data() + 4, static_cast<uInt>(b.size() - 4));
  return Cat({b, Be32(static_cast<std::uint32_t>(crc))});
}

Bytes Png(const Bytes& chunks) {
  const Bytes ihdr = Cat({Be32(2), Be32(1), {8, 2, 0, 0, 0}});
  return Cat({{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'},
              Chunk("IHDR", ihdr),
              chunks,
              Chunk("IEND", {})});
}

TEST(MetaBlocks, PngFixtureTree) {
  auto meta = FrameMetadata(FixtureBytes("meta_full.png"));
  ASSERT_TRUE(meta);
  const auto* m = meta.get();
  EXPECT_EQ(Names(m),
            (std::vector<std::string>{"/iCCP", "/cHRM", "/bKGD", "/pHYs", "/tEXt", "/gAMA", "/iTXt",
                                      "/[1]tEXt", "/tIME", "/[1]iTXt", "/zTXt"}));
  EXPECT_EQ(Get(m, "/iCCP/ProfileName").bytes, "icc");
  img::PropValue profile = Get(m, "/iCCP/ProfileData");
  EXPECT_EQ(profile.vt, img::kVtVector | img::kVtUI1);
  EXPECT_EQ(profile.bytes.size(), 564u);
  EXPECT_EQ(profile.bytes.substr(36, 4), "acsp");
  EXPECT_EQ(Get(m, "/cHRM/WhitePointX").u, 31270u);
  EXPECT_EQ(Get(m, "/cHRM/BlueY").u, 6000u);
  EXPECT_EQ(Get(m, "/bKGD/BackgroundColor").nums, (std::vector<std::uint64_t>{10, 20, 30}));
  EXPECT_EQ(Get(m, "/pHYs/PixelsPerUnitX").u, 2834u);  // 72 dpi
  EXPECT_EQ(Get(m, "/pHYs/UnitSpecifier").u, 1u);
  EXPECT_EQ(Get(m, "/tEXt/{str=comment}").bytes, "png comment");
  EXPECT_EQ(Get(m, "/[1]tEXt/{str=Copyright}").bytes, "Free");
  EXPECT_EQ(Get(m, "/gAMA/ImageGamma").u, 45455u);
  EXPECT_EQ(Get(m, "/iTXt/Keyword").bytes, "Author");
  EXPECT_EQ(Get(m, "/iTXt/LanguageTag").bytes, "de");
  EXPECT_EQ(Get(m, "/iTXt/TextEntry").text, L"Sch\u00F6pfer");
  EXPECT_EQ(Get(m, "/[1]iTXt/CompressionFlag").u, 1u);
  EXPECT_EQ(Get(m, "/[1]iTXt/TextEntry").text.substr(0, 7), L"D\u00E9crit ");
  EXPECT_EQ(Get(m, "/tIME/Year").u, 2024u);
  EXPECT_EQ(Get(m, "/tIME/Second").u, 9u);
  std::string title = Get(m, "/zTXt/{str=Title}").bytes;
  EXPECT_EQ(title.size(), 16u * 16);
  EXPECT_EQ(title.substr(0, 16), "compressed text ");
}

TEST(MetaBlocks, PngChunks) {
  const std::string smile = "\xF0\x9F\x98\x80";  // U+1F600, outside the BMP
  auto meta = FrameMetadata(ShareBytes(Png(Cat({
      Chunk("sRGB", {3}),
      Chunk("hIST", Cat({Be16(7), Be16(65535)})),
      Chunk("bKGD", {4}),
      Chunk("iTXt", Cat({Text(std::string("Key\0\1\0en\0", 9)),
                         Text("Schl\xC3\xBC"
                              "ssel"),
                         {0},
                         Zlib(Text("A " + smile))})),
      Chunk("iTXt", Cat({Text(std::string("Key\0\0\0\0\0", 8)), Text(smile)})),
      Chunk("zTXt", Cat({Text(std::string("Z\0\0", 3)), Zlib(Text("zipped"))})),
      Chunk("tEXt", Text(std::string("a/b\0t", 5))),
      Chunk("IDAT", {1, 2, 3}),
  }))));
  ASSERT_TRUE(meta);
  EXPECT_EQ(Names(meta.get()), (std::vector<std::string>{"/sRGB", "/hIST", "/bKGD", "/iTXt",
                                                         "/[1]iTXt", "/zTXt", "/tEXt"}));
  EXPECT_EQ(Get(meta.get(), "/sRGB/RenderingIntent").vt, img::kVtUI1);
  EXPECT_EQ(Get(meta.get(), "/sRGB/RenderingIntent").u, 3u);
  img::PropValue hist = Get(meta.get(), "/hIST/Frequencies");
  EXPECT_EQ(hist.vt, img::kVtVector | img::kVtUI2);
  EXPECT_EQ(hist.nums, (std::vector<std::uint64_t>{7, 65535}));
  EXPECT_EQ(Get(meta.get(), "/bKGD/BackgroundColor").vt, img::kVtUI1);
  EXPECT_EQ(Get(meta.get(), "/iTXt/CompressionFlag").u, 1u);
  img::PropValue translated = Get(meta.get(), "/iTXt/TranslatedKeyword");
  EXPECT_EQ(translated.vt, img::kVtLpwstr);
  EXPECT_EQ(translated.text, L"Schl\u00FCssel");
  EXPECT_EQ(Get(meta.get(), "/iTXt/TextEntry").text, L"A \U0001F600");
  EXPECT_EQ(Get(meta.get(), "/[1]iTXt/TextEntry").text, L"\U0001F600");
  EXPECT_EQ(Get(meta.get(), "/[1]iTXt/LanguageTag").bytes, "");
  EXPECT_EQ(Get(meta.get(), "/zTXt/{str=Z}").bytes, "zipped");
  EXPECT_EQ(Get(meta.get(), "/tEXt/{str=a/b}").bytes, "t");
}

TEST(MetaBlocks, PngHostileChunks) {
  const Bytes text = Chunk("tEXt", Text(std::string("k\0v", 3)));
  const Bytes bomb = Zlib(Bytes((std::size_t{16} << 20) + 1, 'x'));
  Bytes zCorrupt = Zlib(Text("some text to inflate"));
  zCorrupt[zCorrupt.size() / 2] ^= 0xFF;
  const Bytes zCut = [] {
    Bytes z = Zlib(Text("some text to inflate, some text to inflate"));
    z.resize(z.size() - 6);
    return z;
  }();
  struct Case {
    const char* what;
    Bytes file;
    std::size_t blocks;
  };
  const Bytes sig = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const std::vector<Case> cases = {
      {"tEXt without a zero", Png(Cat({text, Chunk("tEXt", Text("kv"))})), 1},
      {"tEXt with an empty keyword", Png(Cat({text, Chunk("tEXt", {0, 'v'})})), 1},
      {"tEXt keyword of 80 bytes", Png(Cat({text, Chunk("tEXt", Cat({Bytes(80, 'k'), {0}}))})), 1},
      {"tEXt keyword with a brace that would end its path component",
       Png(Cat({text, Chunk("tEXt", Text(std::string("a}/b\0v", 6)))})), 1},
      {"zTXt bomb above the cap",
       Png(Cat({text, Chunk("zTXt", Cat({Text(std::string("b\0\0", 3)), bomb}))})), 1},
      {"zTXt corrupt stream",
       Png(Cat({text, Chunk("zTXt", Cat({Text(std::string("b\0\0", 3)), zCorrupt}))})), 1},
      {"zTXt cut stream",
       Png(Cat({text, Chunk("zTXt", Cat({Text(std::string("b\0\0", 3)), zCut}))})), 1},
      {"zTXt unknown method",
       Png(Cat({text, Chunk("zTXt", Cat({Text(std::string("b\0\1", 3)), Zlib(Text("x"))}))})), 1},
      {"iTXt without its language zero",
       Png(Cat({text, Chunk("iTXt", Text(std::string("k\0\0\0en", 6)))})), 1},
      {"iTXt compression flag 2", Png(Cat({text, Chunk("iTXt", Text(std::string("k\0\2\0\0\0", 6)))})),
       1},
      {"iCCP bomb", Png(Cat({text, Chunk("iCCP", Cat({Text(std::string("p\0\0", 3)), bomb}))})), 1},
      {"gAMA of 3 bytes", Png(Cat({text, Chunk("gAMA", {0, 1, 2})})), 1},
      {"cHRM of 31 bytes", Png(Cat({text, Chunk("cHRM", Bytes(31, 1))})), 1},
      {"tIME of 8 bytes", Png(Cat({text, Chunk("tIME", Bytes(8, 1))})), 1},
      {"pHYs of 8 bytes", Png(Cat({text, Chunk("pHYs", Bytes(8, 1))})), 1},
      {"bKGD of 4 bytes", Png(Cat({text, Chunk("bKGD", Bytes(4, 1))})), 1},
      {"hIST of odd size", Png(Cat({text, Chunk("hIST", Bytes(3, 1))})), 1},
      {"sRGB of 2 bytes", Png(Cat({text, Chunk("sRGB", {0, 0})})), 1},
      {"length past the end", Cat({Png(text), Be32(100), Text("tEXt"), Text("k")}), 1},
      {"chunk length lying mid-file",
       Png(Cat({text, Be32(0x10000), Text("tEXt"), Text(std::string("k\0v", 3)), text})), 1},
      {"length above 2^31-1", Png(Cat({text, Be32(0x80000000u), Text("tEXt"), text})), 1},
      {"chunks after IEND are not read", Cat({Png(text), text}), 1},
      {"CRC cut at the end", [&] {
         Bytes b = Cat({sig, Chunk("IHDR", Cat({Be32(2), Be32(1), {8, 2, 0, 0, 0}})), text, text});
         b.resize(b.size() - 1);
         return b;
       }(), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto meta = FrameMetadata(ShareBytes(c.file));
    ASSERT_TRUE(meta);
    EXPECT_EQ(meta->Items().size(), c.blocks);
    EXPECT_EQ(Names(meta.get()).front(), "/tEXt");
  }
  // no metadata chunks at all: no reader
  EXPECT_FALSE(FrameMetadata(ShareBytes(Png({}))));
  // a file of nothing but tiny text chunks stops at 10000 blocks
  Bytes many;
  many.reserve(10005 * text.size());
  for (int k = 0; k < 10005; ++k) many.insert(many.end(), text.begin(), text.end());
  auto capped = FrameMetadata(ShareBytes(Png(many)));
  ASSERT_TRUE(capped);
  EXPECT_EQ(capped->Items().size(), 10000u);
}

TEST(MetaBlocks, PngLyingLengthBeforeTheImageData) {
  // The first tEXt of the fixture claims 2 GB: the blocks before it stay, and
  // the codec, which is never handed the lying chunk (it would allocate its
  // length), sees a truncated file.
  Bytes file = testing_support::ReadBytes(testing_support::Fixture("meta_full.png"));
  const std::string all(file.begin(), file.end());
  const std::size_t at = all.find("tEXt");
  ASSERT_NE(at, std::string::npos);
  const Bytes lie = Be32(0x79000000);
  std::copy(lie.begin(), lie.end(), file.begin() + static_cast<std::ptrdiff_t>(at - 4));
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateDecoderFromMemory(ShareBytes(file), &dec), img::kOk);
  std::unique_ptr<img::Frame> frame;
  ASSERT_EQ(dec->GetFrame(0, &frame), img::kOk);
  EXPECT_EQ(Names(frame->Metadata().get()),
            (std::vector<std::string>{"/iCCP", "/cHRM", "/bKGD", "/pHYs"}));
  EXPECT_TRUE(frame->ColorContexts().empty());
  std::vector<std::uint8_t> pixels(8 * 6 * 4);
  EXPECT_EQ(frame->CopyPixels(img::PixelFormat::Bgra32, pixels.data(), 8 * 4, pixels.size()),
            img::kErrBadImage);
}

// ---------------------------------------------------------------------------
// Cut and flipped fixtures: fewer items, never a crash, every name resolves.

TEST(MetaBlocks, CutAndFlippedFixtures) {
  for (const char* file : {"meta_full.jpg", "meta_full.tif", "meta_full.png"}) {
    SCOPED_TRACE(file);
    const Bytes full = testing_support::ReadBytes(testing_support::Fixture(file));
    const std::size_t all = CountTree(FrameMetadata(ShareBytes(full)).get(), "");
    ASSERT_GT(all, 10u);
    for (std::size_t n = 0; n < full.size(); n += 37) {
      Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_LE(CountTree(FrameMetadata(ShareBytes(cut)).get(), ""), all) << n;
    }
    for (std::size_t at = 8; at < full.size(); at += 29) {
      Bytes bad = full;
      bad[at] ^= 0x5A;
      CountTree(FrameMetadata(ShareBytes(bad)).get(), "");
      if (std::string(file).ends_with(".jpg")) {
        // the block builder also runs on bytes the decoder refuses
        CountTree(
            img::BuildJpegMetadata(bad.data(), img::ScanJpegSegments(bad.data(), bad.size())).get(),
            "");
      }
    }
  }
}

}  // namespace

namespace {

// Compressed chunks that each stay under the per-chunk cap still share one
// budget: six 8 MiB zTXt chunks inflate only as far as 32 MiB goes.
TEST(MetaBlocks, PngInflationHasOneBudgetPerFile) {
  const Bytes eight = Zlib(Bytes(std::size_t{8} << 20, 'x'));
  Bytes chunks;
  for (int i = 0; i < 6; ++i) {
    const Bytes one = Chunk("zTXt", Cat({Text(std::string("k") + char('a' + i)), {0, 0}, eight}));
    chunks.insert(chunks.end(), one.begin(), one.end());
  }
  auto meta = FrameMetadata(ShareBytes(Png(chunks)));
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->Items().size(), 4u);
}

// Thousands of directory entries that all point at the same 64 KB of values
// are kept only as far as the structure's budget goes.
TEST(MetaBlocks, ExifEntriesSharingTheirDataAreBudgeted) {
  Bytes b = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto u16 = [&](unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  auto u32 = [&](std::uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  const unsigned entries = 4000;
  u16(entries);
  for (unsigned e = 0; e < entries; ++e) {
    u16(1000 + e), u16(3), u32(32000), u32(8);  // 32000 SHORTs at offset 8
  }
  u32(0);
  b.resize(std::max<std::size_t>(b.size(), 8 + 64000), 0);
  const std::vector<img::MetaItem> ifds = img::ParseTiffIfds(b.data(), b.size());
  ASSERT_EQ(ifds.size(), 1u);
  const std::size_t kept = ifds[0].value.reader->Items().size();
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, 200u);  // each costs 256000 bytes of a ~16.5 MB budget
}

}  // namespace
