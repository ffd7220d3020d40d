// EXIF orientation: reading the value, turning the pixels by the standard
// mapping, and JPEG files shown upright.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/decode_internal.h"
#include "tests/support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using img::PropValue;

struct PictureFree {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureFree>;

std::uint32_t Px(const Picture* p, int x, int y) {
  const std::uint8_t* q = p->bits + (static_cast<std::size_t>(y) * p->width + x) * 4;
  return (static_cast<std::uint32_t>(q[3]) << 24) | (q[2] << 16) | (q[1] << 8) | q[0];
}

// A 3 × 2 picture whose pixels are the letters
//   a b c
//   d e f
PicturePtr Letters() {
  PicturePtr pic(new Picture);
  EXPECT_TRUE(decode_internal::AllocPixels(pic.get(), 3, 2));
  auto* px = reinterpret_cast<std::uint32_t*>(pic->bits);
  const char letters[] = "abcdef";
  for (int i = 0; i < 6; ++i) px[i] = static_cast<std::uint32_t>(letters[i]);
  return pic;
}

std::string Rows(const Picture* p) {
  std::string out;
  const auto* px = reinterpret_cast<const std::uint32_t*>(p->bits);
  for (int y = 0; y < p->height; ++y) {
    if (y) out += '/';
    for (int x = 0; x < p->width; ++x) out += static_cast<char>(px[y * p->width + x]);
  }
  return out;
}

TEST(Orientation, ReorientFollowsTheExifMapping) {
  const struct {
    std::uint32_t orientation;
    const char* rows;
  } cases[] = {
      {1, "abc/def"},  {2, "cba/fed"},  // mirrored left to right
      {3, "fed/cba"},                   // turned half round
      {4, "def/abc"},                   // mirrored top to bottom
      {5, "ad/be/cf"},                  // transposed
      {6, "da/eb/fc"},                  // turned a quarter clockwise
      {7, "fc/eb/da"},                  // transverse
      {8, "cf/be/ad"},                  // turned a quarter anti-clockwise
      {0, "abc/def"},                   // out of range: left alone
      {9, "abc/def"},  {0xFFFFFFFF, "abc/def"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.orientation);
    PicturePtr pic = Letters();
    decode_internal::Reorient(pic.get(), c.orientation);
    EXPECT_EQ(Rows(pic.get()), c.rows);
  }
}

TEST(Orientation, ReorientReplacesTheBitmapAndKeepsTheDc) {
  PicturePtr pic = Letters();
  std::uint8_t* const oldBits = pic->bits;
  const PictureBitmap oldDib = pic->dib;
  const PictureDC dc = pic->dc;
#ifdef _WIN32
  ASSERT_NE(dc, nullptr);
  void* const previous = pic->oldBitmap;  // the DC's own bitmap, selected back on release
  ASSERT_NE(previous, nullptr);
#else
  int marker = 0;
  pic->oldBitmap = &marker;  // plain memory has no DC; the field must survive all the same
  void* const previous = pic->oldBitmap;
#endif
  decode_internal::Reorient(pic.get(), 6);
  EXPECT_EQ(pic->width, 2);
  EXPECT_EQ(pic->height, 3);
  EXPECT_NE(pic->dib, oldDib);
  EXPECT_NE(pic->bits, oldBits);
  EXPECT_EQ(pic->bits, bitmap_bits(pic->dib));
  EXPECT_EQ(pic->dc, dc);
  EXPECT_EQ(pic->oldBitmap, previous);
  EXPECT_EQ(picture_bits(pic.get()), pic->bits);
#ifdef _WIN32
  EXPECT_EQ(GetCurrentObject(pic->dc, OBJ_BITMAP), static_cast<HGDIOBJ>(pic->dib));
#else
  pic->oldBitmap = nullptr;
#endif
  EXPECT_EQ(Rows(pic.get()), "da/eb/fc");
}

TEST(Orientation, ReorientLeavesAPictureAloneWhenNothingApplies) {
  PicturePtr empty(new Picture);
  decode_internal::Reorient(empty.get(), 6);
  EXPECT_EQ(empty->bits, nullptr);
  EXPECT_EQ(empty->dib, nullptr);
  EXPECT_EQ(empty->width, 0);

  PicturePtr pic = Letters();
  std::uint8_t* const bits = pic->bits;
  for (std::uint32_t o : {0u, 1u, 9u}) {
    decode_internal::Reorient(pic.get(), o);
    EXPECT_EQ(pic->bits, bits) << o;  // not even copied
  }
}

// A frame carrying only metadata.
class MetaFrame : public img::Frame {
 public:
  explicit MetaFrame(std::shared_ptr<const img::MetadataReader> meta) : meta_(std::move(meta)) {}
  std::uint32_t Width() const override { return 1; }
  std::uint32_t Height() const override { return 1; }
  img::PixelFormat NativeFormat() const override { return img::PixelFormat::Bgr24; }
  img::HResult CopyPixels(img::PixelFormat, std::uint8_t*, std::size_t, std::size_t) override {
    return img::kFail;
  }
  std::shared_ptr<const img::MetadataReader> Metadata() const override { return meta_; }

 private:
  std::shared_ptr<const img::MetadataReader> meta_;
};

std::shared_ptr<const img::MetadataReader> Block(std::string format,
                                                 std::vector<img::MetaItem> items) {
  return std::make_shared<img::MetadataReader>(std::move(format), std::move(items));
}

// IFD0 holding the orientation tag.
std::shared_ptr<const img::MetadataReader> Ifd0(const PropValue& orientation) {
  return Block("ifd", {{"{ushort=274}", orientation}});
}

// Metadata in the JPEG layout (/app1/ifd/...), the TIFF layout (/ifd/...) or
// both; an empty value leaves that layout out.
std::shared_ptr<const img::MetadataReader> Layouts(const PropValue& jpeg, const PropValue& tiff) {
  std::vector<img::MetaItem> items;
  if (jpeg.vt != img::kVtEmpty) {
    items.push_back({"app1", PropValue::Reader(
                                 Block("app1", {{"{ushort=0}", PropValue::Reader(Ifd0(jpeg))}}))});
  }
  if (tiff.vt != img::kVtEmpty) items.push_back({"{ushort=0}", PropValue::Reader(Ifd0(tiff))});
  return Block("root", std::move(items));
}

TEST(Orientation, ReadOrientationFromEitherLayout) {
  const PropValue none;
  const struct {
    const char* what;
    PropValue jpeg, tiff;
    std::uint32_t expected;
  } cases[] = {
      {"JPEG layout", PropValue::UI2(6), none, 6},
      {"one byte", PropValue::UI1(3), none, 3},
      {"four bytes", PropValue::UI4(8), none, 8},
      {"TIFF layout", none, PropValue::UI2(7), 7},
      {"the JPEG layout is read first", PropValue::UI2(2), PropValue::UI2(7), 2},
      {"0 is taken as 1", PropValue::UI2(0), none, 1},
      {"9 is taken as 1", PropValue::UI2(9), none, 1},
      {"a value read is final: 9 does not fall back", PropValue::UI2(9), PropValue::UI2(4), 1},
      {"65535 is taken as 1", PropValue::UI2(65535), none, 1},
      {"SSHORT", PropValue::I2(6), none, 6},
      {"SLONG", PropValue::I4(8), none, 8},
      {"SBYTE", PropValue::I1(5), none, 5},
      {"SLONG in the TIFF layout", none, PropValue::I4(3), 3},
      {"a signed JPEG value is final", PropValue::I2(6), PropValue::UI2(4), 6},
      {"a negative value is taken as 1", PropValue::I4(-6), none, 1},
      {"a signed value past 8 is taken as 1", PropValue::I4(0x10006), none, 1},
      {"a signed value read is final: -1 does not fall back", PropValue::I2(-1), PropValue::UI2(4),
       1},
      {"a rational is not read", PropValue::UI8(6), none, 1},
      {"an unreadable JPEG value falls back", PropValue::UI8(6), PropValue::UI2(4), 4},
      {"a float is not read", PropValue::R4(6), none, 1},
      {"text is not read", PropValue::Lpstr("6"), none, 1},
      {"no tag at all", none, none, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(decode_internal::ReadOrientation(MetaFrame(Layouts(c.jpeg, c.tiff))), c.expected);
  }
  EXPECT_EQ(decode_internal::ReadOrientation(MetaFrame(nullptr)), 1u);
}

// --- JPEG files --------------------------------------------------------------

constexpr std::uint32_t kRed = 0xFFFF0000, kLime = 0xFF00FF00, kBlue = 0xFF0000FF,
                        kWhite = 0xFFFFFFFF;

bool Near(std::uint32_t a, std::uint32_t b, int tolerance) {
  for (int shift = 0; shift < 32; shift += 8) {
    int x = static_cast<int>((a >> shift) & 0xFF), y = static_cast<int>((b >> shift) & 0xFF);
    if (x - y > tolerance || y - x > tolerance) return false;
  }
  return true;
}

// Colours at the centres of the four quadrants: top-left, top-right,
// bottom-left, bottom-right.
void ExpectQuadrants(const Picture* p, const std::uint32_t (&q)[4], int tolerance) {
  const int w = p->width, h = p->height;
  const int xs[2] = {w / 4, w * 3 / 4}, ys[2] = {h / 4, h * 3 / 4};
  for (int i = 0; i < 4; ++i) {
    std::uint32_t v = Px(p, xs[i % 2], ys[i / 2]);
    EXPECT_PRED3(Near, v, q[i], tolerance) << "quadrant " << i << ": " << std::hex << v;
  }
}

void Append(std::vector<std::uint8_t>& out, const std::uint8_t* p, std::size_t n) {
  out.reserve(out.size() + n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(p[i]);
}

// The JPEG with an APP1 EXIF segment holding only IFD0's orientation tag,
// in Motorola or Intel byte order, stored as TIFF type `type` (BYTE, SHORT,
// LONG or their signed kinds).
std::vector<std::uint8_t> WithOrientation(const std::vector<std::uint8_t>& jpeg,
                                          std::uint32_t orientation, bool intel,
                                          std::uint16_t type = 3) {
  std::vector<std::uint8_t> tiff;
  auto u16 = [&](unsigned v) {
    std::uint8_t b[2] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    if (intel) std::swap(b[0], b[1]);
    Append(tiff, b, 2);
  };
  auto u32 = [&](unsigned v) {
    if (intel) {
      u16(v & 0xFFFF), u16(v >> 16);
    } else {
      u16(v >> 16), u16(v & 0xFFFF);
    }
  };
  tiff.push_back(intel ? 'I' : 'M');
  tiff.push_back(intel ? 'I' : 'M');
  u16(42);
  u32(8);
  u16(1);     // one entry
  u16(274);   // Orientation
  u16(type);  // SHORT unless asked otherwise
  u32(1);     // one value, at the start of the value field
  if (type == 1 || type == 6) {
    tiff.push_back(static_cast<std::uint8_t>(orientation));
    tiff.insert(tiff.end(), 3, 0);
  } else if (type == 4 || type == 9) {
    u32(orientation);
  } else {
    u16(orientation);
    u16(0);
  }
  u32(0);  // no IFD1
  const std::uint8_t head[] = {'E', 'x', 'i', 'f', 0, 0};
  const std::size_t length = 2 + sizeof head + tiff.size();
  std::vector<std::uint8_t> out(jpeg.begin(), jpeg.begin() + 2);  // SOI
  const std::uint8_t marker[] = {0xFF, 0xE1, static_cast<std::uint8_t>(length >> 8),
                                 static_cast<std::uint8_t>(length & 0xFF)};
  Append(out, marker, sizeof marker);
  Append(out, head, sizeof head);
  Append(out, tiff.data(), tiff.size());
  Append(out, jpeg.data() + 2, jpeg.size() - 2);
  return out;
}

TEST(Orientation, JpegShownUprightForEveryValue) {
  ASSERT_TRUE(decode_init());
  // dec_quad.jpg: 32 × 16, red and lime above blue and white.
  const std::vector<std::uint8_t> jpeg =
      testing_support::ReadBytes(testing_support::Fixture("dec_quad.jpg"));
  ASSERT_FALSE(jpeg.empty());
  const struct {
    std::uint16_t orientation;
    bool swapped;
    std::uint32_t quadrants[4];
  } cases[] = {
      {1, false, {kRed, kLime, kBlue, kWhite}}, {2, false, {kLime, kRed, kWhite, kBlue}},
      {3, false, {kWhite, kBlue, kLime, kRed}}, {4, false, {kBlue, kWhite, kRed, kLime}},
      {5, true, {kRed, kBlue, kLime, kWhite}},  {6, true, {kBlue, kRed, kWhite, kLime}},
      {7, true, {kWhite, kLime, kBlue, kRed}},  {8, true, {kLime, kWhite, kRed, kBlue}},
      {0, false, {kRed, kLime, kBlue, kWhite}}, {9, false, {kRed, kLime, kBlue, kWhite}},
  };
  for (const auto& c : cases) {
    for (bool intel : {false, true}) {
      SCOPED_TRACE(std::to_string(c.orientation) + (intel ? " II" : " MM"));
      PicturePtr pic(new Picture);
      ASSERT_EQ(decode_internal::LoadBytes(pic.get(), WithOrientation(jpeg, c.orientation, intel),
                                           decode_internal::kBundledNone),
                img::kOk);
      EXPECT_EQ(pic->width, c.swapped ? 16 : 32);
      EXPECT_EQ(pic->height, c.swapped ? 32 : 16);
      ExpectQuadrants(pic.get(), c.quadrants, 12);
    }
  }
}

TEST(Orientation, JpegShownUprightWhateverTheIntegerType) {
  ASSERT_TRUE(decode_init());
  const std::vector<std::uint8_t> jpeg =
      testing_support::ReadBytes(testing_support::Fixture("dec_quad.jpg"));
  ASSERT_FALSE(jpeg.empty());
  const struct {
    const char* what;
    std::uint16_t type;
    std::uint32_t orientation;
    bool swapped;
    std::uint32_t quadrants[4];
  } cases[] = {
      {"BYTE 6", 1, 6, true, {kBlue, kRed, kWhite, kLime}},
      {"LONG 6", 4, 6, true, {kBlue, kRed, kWhite, kLime}},
      {"SBYTE 3", 6, 3, false, {kWhite, kBlue, kLime, kRed}},
      {"SSHORT 8", 8, 8, true, {kLime, kWhite, kRed, kBlue}},
      {"SLONG 6", 9, 6, true, {kBlue, kRed, kWhite, kLime}},
      {"SLONG -6", 9, 0xFFFFFFFAu, false, {kRed, kLime, kBlue, kWhite}},
      {"RATIONAL is no orientation", 5, 6, false, {kRed, kLime, kBlue, kWhite}},
  };
  for (const auto& c : cases) {
    for (bool intel : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (intel ? " II" : " MM"));
      PicturePtr pic(new Picture);
      ASSERT_EQ(
          decode_internal::LoadBytes(pic.get(), WithOrientation(jpeg, c.orientation, intel, c.type),
                                     decode_internal::kBundledNone),
          img::kOk);
      EXPECT_EQ(pic->width, c.swapped ? 16 : 32);
      EXPECT_EQ(pic->height, c.swapped ? 32 : 16);
      ExpectQuadrants(pic.get(), c.quadrants, 12);
    }
  }
}

TEST(Orientation, TiffWithSlongOrientation) {
  // dec17_orient_slong.tif: the four-quadrant picture, its orientation 6
  // stored as SLONG.
  ASSERT_TRUE(decode_init());
  wchar_t err[256] = L"";
  PicturePtr p(picture_load(testing_support::Fixture("dec17_orient_slong.tif").c_str(), err, 256));
  ASSERT_TRUE(p) << testing::PrintToString(std::wstring(err));
  EXPECT_EQ(picture_width(p.get()), 12);
  EXPECT_EQ(picture_height(p.get()), 16);
  ExpectQuadrants(p.get(), {kBlue, kRed, kWhite, kLime}, 0);
}

TEST(Orientation, JpegTaggedByExiftool) {
  ASSERT_TRUE(decode_init());
  wchar_t err[256] = L"";
  PicturePtr p(picture_load(testing_support::Fixture("dec_quad_o6.jpg").c_str(), err, 256));
  ASSERT_TRUE(p) << testing::PrintToString(std::wstring(err));
  EXPECT_EQ(picture_width(p.get()), 16);
  EXPECT_EQ(picture_height(p.get()), 32);
  ExpectQuadrants(p.get(), {kBlue, kRed, kWhite, kLime}, 12);
}

}  // namespace
