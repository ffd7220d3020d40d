// The write side of the metadata engine: EXIF blocks edited over their stored
// bytes (values that stay put, values and directories that move, removed data
// that is really gone, the compact rebuild with its offset-schema record) and
// the JPEG frame encoder with its query writer over a frame's blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/byte_reader.h"
#include "imaging/exif_internal.h"
#include "imaging/imaging.h"
#include "imaging/jpeg_internal.h"
#include "imaging/metadata_write_internal.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::FixtureBytes;
using testing_support::ShareBytes;

// --- reading results back -----------------------------------------------------

// Every value of a reader tree by full path.
void Flatten(const img::MetadataReader* r, const std::string& prefix,
             std::map<std::string, img::PropValue>* out, int depth = 0) {
  if (!r || depth > 12) return;
  const auto names = r->GetEnumerator();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const img::PropValue& v = r->Items()[i].value;
    if (v.vt == img::kVtUnknown && v.reader) {
      Flatten(v.reader.get(), prefix + names[i], out, depth + 1);
    } else {
      (*out)[prefix + names[i]] = v;
    }
  }
}

// The values of an EXIF block (its TIFF structure), keyed as "/{ushort=0}/...".
std::map<std::string, img::PropValue> Values(const Bytes& tiff) {
  img::MetadataReader r("app1", img::ParseTiffIfds(tiff.data(), tiff.size()));
  std::map<std::string, img::PropValue> out;
  Flatten(&r, "", &out);
  return out;
}

std::string Describe(const img::PropValue& v) {
  // Streamed rather than concatenated: gcc 12 warns falsely about string
  // concatenation at -O3.
  std::ostringstream s;
  s << "vt=" << v.vt << " u=" << v.u << " i=" << v.i << " bytes=" << v.bytes;
  for (auto n : v.nums) s << ' ' << n;
  return s.str();
}

// Every value of `before` except those under `changed` is in `after`, equal.
void ExpectKept(const std::map<std::string, img::PropValue>& before,
                const std::map<std::string, img::PropValue>& after,
                const std::vector<std::string>& changed) {
  for (const auto& [path, value] : before) {
    const bool edited = std::any_of(changed.begin(), changed.end(), [&](const std::string& c) {
      return path.compare(0, c.size(), c) == 0;
    });
    if (edited) continue;
    auto it = after.find(path);
    ASSERT_NE(it, after.end()) << "lost " << path;
    EXPECT_TRUE(it->second == value)
        << path << ": " << Describe(value) << " became " << Describe(it->second);
  }
}

bool Contains(const Bytes& hay, const Bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// The TIFF structure of the first EXIF APP1 segment of a JPEG.
Bytes ExifOf(const Bytes& jpeg) {
  for (const img::JpegSegment& s : img::ScanJpegSegments(jpeg.data(), jpeg.size())) {
    if (s.marker == 0xE1 && s.length > 6 && std::memcmp(jpeg.data() + s.body, "Exif\0\0", 6) == 0) {
      return Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(s.body + 6),
                   jpeg.begin() + static_cast<std::ptrdiff_t>(s.body + s.length));
    }
  }
  return {};
}

Bytes FixtureExif() { return ExifOf(*FixtureBytes("meta_full.jpg")); }

Bytes Serialize(const img::ExifEditor& e, std::size_t max = 65527) {
  Bytes out;
  EXPECT_EQ(e.Serialize(max, &out), img::kOk);
  return out;
}

// --- a hand-made little-endian block with a maker note ------------------------

// A maker note whose inner directory points at its own data with offsets
// counted from the TIFF header, as several makers write them: it stays
// readable only while it does not move.
struct Built {
  Bytes tiff;
  std::uint32_t makerAt = 0;
  Bytes maker;
};

void Le16(Bytes* b, std::uint32_t v) { testing_support::Put16(b, v); }
void Le32(Bytes* b, std::uint32_t v) { testing_support::Put32(b, v); }
void Entry(Bytes* b, std::uint16_t tag, std::uint16_t type, std::uint32_t count,
           std::uint32_t value) {
  Le16(b, tag);
  Le16(b, type);
  Le32(b, count);
  Le32(b, value);
}

// `commentBytes` puts a user comment of that size between the EXIF
// directory and the maker note.
Built MakerNoteBlock(std::size_t makerPadding = 0, std::size_t commentBytes = 0) {
  Built b;
  Bytes& t = b.tiff;
  t = {'I', 'I', 0x2A, 0, 8, 0, 0, 0};
  // IFD0 at 8: Make (out of line), Orientation, ExifIFD pointer; next = 0.
  const std::uint32_t ifd0 = 8, ifd0Size = 2 + 3 * 12 + 4;
  const std::uint32_t makeAt = ifd0 + ifd0Size;  // "MakerCam\0" 9 bytes, padded to 10
  const std::uint32_t exif = makeAt + 10;
  const std::uint32_t exifEntries = commentBytes ? 3 : 2;
  const std::uint32_t exifSize = 2 + exifEntries * 12 + 4;
  const std::uint32_t commentAt = exif + exifSize;
  const std::uint32_t makerAt = commentAt + static_cast<std::uint32_t>(commentBytes);
  b.makerAt = makerAt;
  // The maker note: "MKR\0", a one-entry directory whose value lies 18
  // bytes further on, addressed from the TIFF header.
  Bytes& m = b.maker;
  m = {'M', 'K', 'R', 0};
  Le16(&m, 1);
  Entry(&m, 1, 2, 12, makerAt + 22);  // ASCII, 12 bytes, absolute offset
  Le32(&m, 0);
  const std::string secret = "lens-serial";
  m.insert(m.end(), secret.begin(), secret.end());
  m.push_back(0);
  m.resize(m.size() + makerPadding, 0x5A);
  if (m.size() % 2) m.push_back(0);
  Le16(&t, 3);
  Entry(&t, 271, 2, 9, makeAt);
  Entry(&t, 274, 3, 1, 1);
  Entry(&t, 34665, 4, 1, exif);
  Le32(&t, 0);
  const std::string make = "MakerCam";
  t.insert(t.end(), make.begin(), make.end());
  t.push_back(0);
  t.push_back(0);
  const std::uint32_t rational = makerAt + static_cast<std::uint32_t>(m.size());
  Le16(&t, static_cast<std::uint16_t>(exifEntries));
  Entry(&t, 33434, 5, 1, rational);  // ExposureTime
  Entry(&t, 37500, 7, static_cast<std::uint32_t>(m.size()), makerAt);
  if (commentBytes) Entry(&t, 37510, 7, static_cast<std::uint32_t>(commentBytes), commentAt);
  Le32(&t, 0);
  t.resize(t.size() + commentBytes, 'o');
  t.insert(t.end(), m.begin(), m.end());
  Le32(&t, 1);
  Le32(&t, 60);
  return b;
}

// Appends an IFD1 with an uncompressed thumbnail in two strips (addressed
// by StripOffsets and StripByteCounts) and links it after IFD0. Returns the
// two strips.
std::vector<Bytes> AddStripThumbnail(Built* b) {
  Bytes& t = b->tiff;
  if (t.size() % 2) t.push_back(0);
  const std::uint32_t ifd1 = static_cast<std::uint32_t>(t.size());
  const std::uint32_t arrays = ifd1 + 2 + 3 * 12 + 4;
  const std::uint32_t strips = arrays + 16;
  const std::vector<Bytes> parts = {Bytes(40, 0xA1), Bytes(24, 0xB2)};
  Le16(&t, 3);
  Entry(&t, 259, 3, 1, 1);
  Entry(&t, 273, 4, 2, arrays);
  Entry(&t, 279, 4, 2, arrays + 8);
  Le32(&t, 0);
  Le32(&t, strips);
  Le32(&t, strips + 40);
  Le32(&t, 40);
  Le32(&t, 24);
  for (const Bytes& part : parts) t.insert(t.end(), part.begin(), part.end());
  // IFD0's next-directory pointer.
  const std::size_t next = 8 + 2 + 3 * 12;
  for (int k = 0; k < 4; ++k) t[next + k] = static_cast<std::uint8_t>(ifd1 >> (8 * k));
  return parts;
}

// The bytes the strips of IFD1 address in a little-endian block.
std::vector<Bytes> StripsOf(const Bytes& tiff) {
  const auto v = Values(tiff);
  const auto offs = v.find("/{ushort=1}/{ushort=273}");
  const auto lens = v.find("/{ushort=1}/{ushort=279}");
  std::vector<Bytes> out;
  if (offs == v.end() || lens == v.end()) return out;
  for (std::size_t k = 0; k < offs->second.nums.size() && k < lens->second.nums.size(); ++k) {
    const std::size_t at = static_cast<std::size_t>(offs->second.nums[k]);
    const std::size_t n = static_cast<std::size_t>(lens->second.nums[k]);
    if (at > tiff.size() || n > tiff.size() - at) return {};
    out.emplace_back(tiff.begin() + static_cast<std::ptrdiff_t>(at),
                     tiff.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
  return out;
}

// The maker note is where it was, byte for byte, and its inner value still
// resolves through the header-relative offset.
void ExpectMakerNoteInPlace(const Built& b, const Bytes& out) {
  ASSERT_GE(out.size(), b.makerAt + b.maker.size());
  EXPECT_TRUE(std::equal(b.maker.begin(), b.maker.end(), out.begin() + b.makerAt));
  const auto v = Values(out);
  auto it = v.find("/{ushort=0}/{ushort=34665}/{ushort=37500}");
  ASSERT_NE(it, v.end());
  EXPECT_EQ(it->second.bytes, std::string(b.maker.begin(), b.maker.end()));
}

std::uint32_t EntryValue(const Bytes& tiff, const std::string& path) {
  auto v = Values(tiff);
  auto it = v.find(path);
  return it == v.end() ? 0xFFFFFFFFu : static_cast<std::uint32_t>(it->second.u);
}

// The offset field of the maker note entry of a little-endian block.
std::uint32_t MakerNoteOffset(const Bytes& tiff) {
  if (tiff.size() < 8) return 0;
  // Walk the EXIF directory by hand: the reader gives values, not offsets.
  const std::uint32_t ifd0 = img::ByteReader::Le32(tiff.data() + 4);
  const std::uint16_t n = static_cast<std::uint16_t>(tiff[ifd0] | tiff[ifd0 + 1] << 8);
  std::uint32_t exif = 0;
  for (std::uint16_t k = 0; k < n; ++k) {
    const std::uint8_t* e = tiff.data() + ifd0 + 2 + 12 * k;
    if ((e[0] | e[1] << 8) == 34665) exif = img::ByteReader::Le32(e + 8);
  }
  const std::uint16_t m = static_cast<std::uint16_t>(tiff[exif] | tiff[exif + 1] << 8);
  for (std::uint16_t k = 0; k < m; ++k) {
    const std::uint8_t* e = tiff.data() + exif + 2 + 12 * k;
    if ((e[0] | e[1] << 8) == 37500) return img::ByteReader::Le32(e + 8);
  }
  return 0;
}

// ---------------------------------------------------------------------------

TEST(ExifEditor, UntouchedBlockIsCopiedByteForByte) {
  const Bytes tiff = FixtureExif();
  ASSERT_FALSE(tiff.empty());
  img::ExifEditor e;
  ASSERT_TRUE(e.Open(tiff.data(), tiff.size()));
  EXPECT_EQ(Serialize(e), tiff);
  // Writing the value a tag already has changes nothing either.
  ASSERT_EQ(e.Set("/ifd/{ushort=271}", img::PropValue::Lpstr("Norvane")), img::kOk);
  EXPECT_FALSE(e.Changed());
  EXPECT_EQ(Serialize(e), tiff);
}

struct SetCase {
  const char* path;
  img::PropValue value;
  img::PropValue expected;  // as the reader gives it back
};

img::PropValue Vec(std::uint16_t vt, std::vector<std::uint64_t> nums) {
  img::PropValue v;
  v.vt = static_cast<std::uint16_t>(img::kVtVector | vt);
  v.nums = std::move(nums);
  return v;
}

img::PropValue ByteVec(const std::string& bytes) {
  img::PropValue v;
  v.vt = img::kVtVector | img::kVtUI1;
  v.bytes = bytes;
  return v;
}

std::uint64_t Ratio(std::uint32_t n, std::uint32_t d) { return n | (std::uint64_t{d} << 32); }

TEST(ExifEditor, SetKeepsEveryOtherValue) {
  const Bytes tiff = FixtureExif();
  const std::string ucs2("N\0e\0w\0 \0t\0i\0t\0l\0e\0\0\0", 20);
  const std::vector<SetCase> cases = {
      // existing tags of every kind, with the type they have
      {"/ifd/{ushort=271}", img::PropValue::Lpstr("A much longer maker name than before"),
       img::PropValue::Lpstr("A much longer maker name than before")},
      {"/ifd/{ushort=271}", img::PropValue::Lpstr("Nv"), img::PropValue::Lpstr("Nv")},
      {"/ifd/{ushort=272}", img::PropValue::Lpstr("Rig 2"), img::PropValue::Lpstr("Rig 2")},
      {"/ifd/{ushort=274}", img::PropValue::UI2(6), img::PropValue::UI2(6)},
      {"/ifd/{ushort=40091}", ByteVec(ucs2), ByteVec(ucs2)},
      {"/ifd/exif/{ushort=33434}", img::PropValue::UI8(Ratio(1, 250)),
       img::PropValue::UI8(Ratio(1, 250))},
      {"/ifd/exif/{ushort=37380}",
       img::PropValue::I8(static_cast<std::int64_t>(Ratio(static_cast<std::uint32_t>(-1), 3))),
       img::PropValue::I8(static_cast<std::int64_t>(Ratio(static_cast<std::uint32_t>(-1), 3)))},
      {"/ifd/exif/{ushort=34855}", img::PropValue::UI2(1600), img::PropValue::UI2(1600)},
      {"/ifd/gps/{ushort=2}", Vec(img::kVtUI8, {Ratio(1, 1), Ratio(2, 1), Ratio(3, 100)}),
       Vec(img::kVtUI8, {Ratio(1, 1), Ratio(2, 1), Ratio(3, 100)})},
      {"/ifd/exif/interop/{ushort=1}", img::PropValue::Lpstr("R03"), img::PropValue::Lpstr("R03")},
      {"/thumb/{ushort=296}", img::PropValue::UI2(3), img::PropValue::UI2(3)},
      // new tags take their standard type, or the value's
      {"/ifd/{ushort=315}", img::PropValue::Lpstr("Ann Artist"),
       img::PropValue::Lpstr("Ann Artist")},
      {"/ifd/exif/{ushort=42016}", img::PropValue::Lpwstr(L"id-\u00E9"),
       img::PropValue::Lpstr("id-\xC3\xA9")},
      {"/ifd/{ushort=50001}", img::PropValue::R8(2.5), img::PropValue::R8(2.5)},
      {"/ifd/{ushort=50002}", img::PropValue::R4(0.25f), img::PropValue::R4(0.25f)},
      {"/ifd/{ushort=50003}", img::PropValue::I4(-7), img::PropValue::I4(-7)},
      {"/ifd/{ushort=50004}", img::PropValue::I2(-3), img::PropValue::I2(-3)},
      {"/ifd/{ushort=50005}", img::PropValue::UI4(70000), img::PropValue::UI4(70000)},
      {"/ifd/{ushort=50006}", img::PropValue::UI1(9), img::PropValue::UI1(9)},
      {"/ifd/{ushort=50007}", img::PropValue::I1(-9), img::PropValue::I1(-9)},
      {"/ifd/{ushort=50008}", Vec(img::kVtUI2, {1, 2, 3}), Vec(img::kVtUI2, {1, 2, 3})},
      {"/ifd/{ushort=50009}", img::PropValue::Blob(std::string("\0\1\2\3\4", 5)),
       img::PropValue::Blob(std::string("\0\1\2\3\4", 5))},
      // the first GPS tag of a block goes into the existing directory
      {"/ifd/gps/{ushort=6}", img::PropValue::UI8(Ratio(35, 1)), img::PropValue::UI8(Ratio(35, 1))},
  };
  const auto before = Values(tiff);
  for (const SetCase& c : cases) {
    SCOPED_TRACE(c.path);
    img::ExifEditor e;
    ASSERT_TRUE(e.Open(tiff.data(), tiff.size()));
    ASSERT_EQ(e.Set(c.path, c.value), img::kOk);
    EXPECT_TRUE(e.Changed());
    const Bytes out = Serialize(e);
    const auto after = Values(out);
    // The reader's key for the path: directories by their numeric ids.
    std::string key = c.path;
    for (auto [from, to] :
         std::vector<std::pair<std::string, std::string>>{{"/ifd", "/{ushort=0}"},
                                                          {"/thumb", "/{ushort=1}"},
                                                          {"/exif", "/{ushort=34665}"},
                                                          {"/gps", "/{ushort=34853}"},
                                                          {"/interop", "/{ushort=40965}"}}) {
      const std::size_t at = key.find(from + "/");
      if (at != std::string::npos) key.replace(at, from.size(), to);
    }
    auto it = after.find(key);
    ASSERT_NE(it, after.end()) << key;
    EXPECT_TRUE(it->second == c.expected) << Describe(it->second);
    ExpectKept(before, after, {key});
    // Nothing moved that was not edited: the thumbnail is where it was.
    EXPECT_EQ(EntryValue(out, "/{ushort=1}/{ushort=513}"),
              EntryValue(tiff, "/{ushort=1}/{ushort=513}"));
  }
}

struct RefusedCase {
  const char* path;
  img::PropValue value;
  img::HResult expected;
};

TEST(ExifEditor, RefusesWhatCannotBeStored) {
  const Bytes tiff = FixtureExif();
  const std::vector<RefusedCase> cases = {
      {"/ifd/{ushort=513}", img::PropValue::UI4(1), img::kInvalidArg},  // an offset
      {"/ifd/exif", img::PropValue::UI4(1), img::kInvalidArg},          // a directory
      {"/ifd/{ushort=34665}", img::PropValue::UI4(1), img::kInvalidArg},
      {"/ifd/exif/{ushort=37500}", img::PropValue::Blob("x"), img::kInvalidArg},  // maker note
      {"/ifd/{ushort=271}", img::PropValue::UI2(5), img::kInvalidArg},      // text tag, number
      {"/ifd/{ushort=274}", img::PropValue::UI4(70000), img::kInvalidArg},  // SHORT range
      {"/ifd/{ushort=274}", img::PropValue::Lpstr("six"), img::kInvalidArg},
      {"/ifd/{ushort=271}", img::PropValue::Lpstr(std::string("a\0b", 3)), img::kInvalidArg},
      {"/ifd/[1]{ushort=271}", img::PropValue::Lpstr("x"), img::kErrPropertyNotFound},
      {"/nowhere/{ushort=1}", img::PropValue::Lpstr("x"), img::kErrPropertyNotFound},
      {"/ifd/{ushort=1}/{ushort=2}", img::PropValue::Lpstr("x"), img::kErrPropertyNotFound},
      {"/ifd/TextEntry", img::PropValue::Lpstr("x"), img::kErrPropertyNotFound},
      {"ifd/{ushort=271}", img::PropValue::Lpstr("x"), img::kInvalidArg},
      {"/ifd//{ushort=271}", img::PropValue::Lpstr("x"), img::kInvalidArg},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.path);
    img::ExifEditor e;
    ASSERT_TRUE(e.Open(tiff.data(), tiff.size()));
    EXPECT_EQ(e.Set(c.path, c.value), c.expected);
    EXPECT_FALSE(e.Changed());
    EXPECT_EQ(Serialize(e), tiff);
  }
}

TEST(ExifEditor, RemovedDataIsGone) {
  const Bytes tiff = FixtureExif();
  const auto before = Values(tiff);
  const Bytes thumb(before.at("/{ushort=1}/{}").bytes.begin(),
                    before.at("/{ushort=1}/{}").bytes.end());
  // GPS latitude 48/1 51/1 2950/100 as stored (big-endian rationals).
  const Bytes latitude = {0, 0, 0, 48, 0, 0, 0, 1, 0, 0, 0, 51, 0, 0, 0, 1};
  ASSERT_TRUE(Contains(tiff, latitude));
  ASSERT_TRUE(Contains(tiff, thumb));
  const std::string comment = "user comment";
  ASSERT_TRUE(Contains(tiff, Bytes(comment.begin(), comment.end())));

  struct Case {
    std::vector<std::string> paths;
    std::string gone;      // a reader key that must be gone
    Bytes bytesGone;       // stored bytes that must not be in the block any more
    bool shorter = false;  // the block ends earlier
  };
  const std::vector<Case> cases = {
      {{"/thumb"}, "/{ushort=1}", thumb, true},
      {{"/ifd/gps"}, "/{ushort=0}/{ushort=34853}", latitude, false},
      // every GPS tag one by one: the emptied directory and its pointer go
      {{"/ifd/gps/{ushort=0}", "/ifd/gps/{ushort=1}", "/ifd/gps/{ushort=2}", "/ifd/gps/{ushort=3}",
        "/ifd/gps/{ushort=4}"},
       "/{ushort=0}/{ushort=34853}",
       latitude,
       false},
      {{"/ifd/exif/{ushort=37510}"},
       "/{ushort=0}/{ushort=34665}/{ushort=37510}",
       Bytes(comment.begin(), comment.end()),
       false},
      {{"/ifd/exif/interop"}, "/{ushort=0}/{ushort=34665}/{ushort=40965}", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.paths.front());
    img::ExifEditor e;
    ASSERT_TRUE(e.Open(tiff.data(), tiff.size()));
    for (const std::string& p : c.paths) {
      ASSERT_EQ(e.Remove(p), img::kOk) << p;
    }
    const Bytes out = Serialize(e);
    const auto after = Values(out);
    for (const auto& [path, value] : after) {
      EXPECT_NE(path.compare(0, c.gone.size(), c.gone), 0) << path << " survived";
    }
    if (!c.bytesGone.empty()) {
      EXPECT_FALSE(Contains(out, c.bytesGone));
    }
    if (c.shorter) {
      EXPECT_LE(out.size() + thumb.size(), tiff.size());
    }
    ExpectKept(before, after, {c.gone});
  }
  img::ExifEditor e;
  ASSERT_TRUE(e.Open(tiff.data(), tiff.size()));
  EXPECT_EQ(e.Remove("/ifd/{ushort=999}"), img::kErrPropertyNotFound);
  EXPECT_EQ(e.Remove("/thumb/{ushort=999}"), img::kErrPropertyNotFound);
  EXPECT_FALSE(e.Changed());
}

TEST(ExifEditor, MakerNoteKeepsItsOffset) {
  const Built b = MakerNoteBlock();
  ASSERT_EQ(MakerNoteOffset(b.tiff), b.makerAt);
  const auto before = Values(b.tiff);
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, img::PropValue>> edits;
    std::vector<std::string> removals;
    std::vector<std::string> changed;  // reader keys the edits change
  };
  const std::string longComment(600, 'c');
  const std::string artist = "/{ushort=0}/{ushort=315}";
  const std::string comment = "/{ushort=0}/{ushort=34665}/{ushort=37510}";
  const std::vector<Case> cases = {
      // a new tag makes IFD0 grow: the directory moves, the maker note stays
      {"artist", {{"/ifd/{ushort=315}", img::PropValue::Lpstr("Norvane Tester")}}, {}, {}},
      // a long value goes after the old data
      {"user comment", {{"/ifd/exif/{ushort=37510}", img::PropValue::Lpstr(longComment)}}, {}, {}},
      {"longer make",
       {{"/ifd/{ushort=271}", img::PropValue::Lpstr("A longer maker name")}},
       {},
       {"/{ushort=0}/{ushort=271}"}},
      {"both and a removal",
       {{"/ifd/{ushort=315}", img::PropValue::Lpstr("Norvane Tester")},
        {"/ifd/exif/{ushort=37510}", img::PropValue::Lpstr(longComment)}},
       {"/ifd/{ushort=274}"},
       {"/{ushort=0}/{ushort=274}"}},
      {"new GPS directory", {{"/ifd/gps/{ushort=2}", Vec(img::kVtUI8, {Ratio(1, 1)})}}, {}, {}},
      {"new interoperability directory",
       {{"/ifd/exif/interop/{ushort=1}", img::PropValue::Lpstr("R98")}},
       {},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    img::ExifEditor e;
    ASSERT_TRUE(e.Open(b.tiff.data(), b.tiff.size()));
    for (const auto& [path, value] : c.edits) {
      ASSERT_EQ(e.Set(path, value), img::kOk) << path;
    }
    for (const std::string& path : c.removals) {
      ASSERT_EQ(e.Remove(path), img::kOk) << path;
    }
    const Bytes out = Serialize(e);
    ExpectMakerNoteInPlace(b, out);
    EXPECT_EQ(MakerNoteOffset(out), b.makerAt);
    ExpectKept(before, Values(out), c.changed);
  }
}

// An entry the reader does not list (here an Artist with no characters)
// takes a new value itself: the directory never gets the tag twice.
TEST(ExifEditor, EmptyEntryTakesTheValue) {
  Built b = MakerNoteBlock();
  // IFD0's second entry (Orientation) becomes an empty Artist, listed empty.
  const std::size_t entry = 8 + 2 + 12;
  b.tiff[entry] = 315 & 0xFF;
  b.tiff[entry + 1] = 315 >> 8;
  b.tiff[entry + 2] = 2;
  b.tiff[entry + 4] = 0;
  ASSERT_EQ(Values(b.tiff).at("/{ushort=0}/{ushort=315}").bytes, "");
  img::ExifEditor e;
  ASSERT_TRUE(e.Open(b.tiff.data(), b.tiff.size()));
  ASSERT_EQ(e.Set("/ifd/{ushort=315}", img::PropValue::Lpstr("Norvane Tester")), img::kOk);
  const Bytes out = Serialize(e);
  EXPECT_EQ(Values(out).at("/{ushort=0}/{ushort=315}").bytes, "Norvane Tester");
  const std::uint32_t ifd0 = img::ByteReader::Le32(out.data() + 4);
  EXPECT_EQ(ifd0, 8u);  // the same number of entries: the directory stays
  EXPECT_EQ(out[ifd0], 3);
  ExpectMakerNoteInPlace(b, out);
}

TEST(ExifEditor, UserCommentTextGetsItsCharacterCode) {
  const Built b = MakerNoteBlock();
  const std::vector<std::pair<img::PropValue, std::string>> cases = {
      {img::PropValue::Lpstr("plain"), std::string("ASCII\0\0\0plain", 13)},
      {img::PropValue::Lpwstr(L"\u00E9t\u00E9"),
       std::string("UNICODE\0\xE9\0t\0\xE9\0", 14)},  // UCS-2 in the block's byte order
  };
  for (const auto& [value, stored] : cases) {
    img::ExifEditor e;
    ASSERT_TRUE(e.Open(b.tiff.data(), b.tiff.size()));
    ASSERT_EQ(e.Set("/ifd/exif/{ushort=37510}", value), img::kOk);
    const auto after = Values(Serialize(e));
    const img::PropValue& got = after.at("/{ushort=0}/{ushort=34665}/{ushort=37510}");
    EXPECT_EQ(got.vt, img::kVtBlob);
    EXPECT_EQ(got.bytes, stored);
  }
}

TEST(ExifEditor, CompactRebuildRecordsTheMakerNoteMove) {
  // A 25,000-byte comment in front of a 30,000-byte maker note: a longer
  // comment no longer fits behind the old data, so the block is rebuilt
  // compactly and the maker note moves.
  const Built b = MakerNoteBlock(30000, 25000);
  const std::string comment(26000, 'x');
  img::ExifEditor e;
  ASSERT_TRUE(e.Open(b.tiff.data(), b.tiff.size()));
  ASSERT_EQ(e.Set("/ifd/exif/{ushort=37510}", img::PropValue::Blob(comment)), img::kOk);
  const Bytes out = Serialize(e, 65527);
  ASSERT_LE(out.size(), 65527u);
  const auto after = Values(out);
  const std::uint32_t moved = MakerNoteOffset(out);
  ASSERT_NE(moved, 0u);
  ASSERT_NE(moved, b.makerAt);
  ASSERT_LE(moved + b.maker.size(), out.size());
  EXPECT_TRUE(std::equal(b.maker.begin(), b.maker.end(), out.begin() + moved));
  const auto schema = after.find("/{ushort=0}/{ushort=34665}/{ushort=59933}");
  ASSERT_NE(schema, after.end());
  EXPECT_EQ(schema->second.vt, img::kVtI4);
  EXPECT_EQ(schema->second.i, static_cast<std::int64_t>(moved) - b.makerAt);
  EXPECT_EQ(after.at("/{ushort=0}/{ushort=271}").bytes, "MakerCam");
  EXPECT_EQ(after.at("/{ushort=0}/{ushort=34665}/{ushort=33434}").u, Ratio(1, 60));
  EXPECT_EQ(after.at("/{ushort=0}/{ushort=34665}/{ushort=37510}").bytes, comment);
  // Too big even compact: refused.
  img::ExifEditor big;
  ASSERT_TRUE(big.Open(b.tiff.data(), b.tiff.size()));
  ASSERT_EQ(big.Set("/ifd/exif/{ushort=37510}", img::PropValue::Blob(std::string(40000, 'y'))),
            img::kOk);
  Bytes none;
  EXPECT_EQ(big.Serialize(65527, &none), img::kFail);
}

// An uncompressed thumbnail in strips goes as completely as a JPEG one, and
// follows the compact rebuild with its offsets.
TEST(ExifEditor, StripThumbnail) {
  Built b = MakerNoteBlock();
  const std::vector<Bytes> strips = AddStripThumbnail(&b);
  ASSERT_EQ(StripsOf(b.tiff), strips);
  img::ExifEditor removal;
  ASSERT_TRUE(removal.Open(b.tiff.data(), b.tiff.size()));
  ASSERT_EQ(removal.Remove("/thumb"), img::kOk);
  const Bytes out = Serialize(removal);
  for (const Bytes& strip : strips) EXPECT_FALSE(Contains(out, strip));
  EXPECT_LE(out.size() + 64, b.tiff.size());
  ExpectMakerNoteInPlace(b, out);

  Built big = MakerNoteBlock(30000, 25000);
  const std::vector<Bytes> bigStrips = AddStripThumbnail(&big);
  img::ExifEditor compact;
  ASSERT_TRUE(compact.Open(big.tiff.data(), big.tiff.size()));
  ASSERT_EQ(compact.Set("/ifd/exif/{ushort=37510}", img::PropValue::Blob(std::string(26000, 'x'))),
            img::kOk);
  const Bytes rebuilt = Serialize(compact);
  ASSERT_NE(MakerNoteOffset(rebuilt), big.makerAt);  // it was rebuilt
  EXPECT_EQ(StripsOf(rebuilt), bigStrips);
}

TEST(ExifEditor, NewBlock) {
  img::ExifEditor e;
  ASSERT_TRUE(e.Open(nullptr, 0));
  EXPECT_TRUE(e.Empty());
  ASSERT_EQ(e.Set("/ifd/{ushort=315}", img::PropValue::Lpstr("Ann")), img::kOk);
  ASSERT_EQ(e.Set("/ifd/exif/{ushort=36867}", img::PropValue::Lpstr("2024:01:02 03:04:05")),
            img::kOk);
  ASSERT_EQ(e.Set("/ifd/gps/{ushort=1}", img::PropValue::Lpstr("N")), img::kOk);
  EXPECT_FALSE(e.Empty());
  const auto v = Values(Serialize(e));
  EXPECT_EQ(v.at("/{ushort=0}/{ushort=315}").bytes, "Ann");
  EXPECT_EQ(v.at("/{ushort=0}/{ushort=34665}/{ushort=36867}").bytes, "2024:01:02 03:04:05");
  EXPECT_EQ(v.at("/{ushort=0}/{ushort=34853}/{ushort=1}").bytes, "N");
  // A refused value leaves no directory behind.
  img::ExifEditor f;
  ASSERT_TRUE(f.Open(nullptr, 0));
  EXPECT_EQ(f.Set("/ifd/gps/{ushort=2}", img::PropValue::Lpstr(std::string("a\0", 2))),
            img::kInvalidArg);
  EXPECT_TRUE(f.Empty());
  EXPECT_FALSE(f.Changed());
}

TEST(ExifEditor, RefusesBlocksItCannotEdit) {
  const Bytes tiff = FixtureExif();
  struct Case {
    const char* name;
    Bytes bytes;
  };
  Bytes badIfd = tiff;
  badIfd[4] = badIfd[5] = badIfd[6] = badIfd[7] = 0xFF;  // IFD0 outside the block
  const std::vector<Case> cases = {
      {"not TIFF", {'X', 'X', 0, 42, 0, 0, 0, 8}},
      {"BigTIFF", {'I', 'I', 43, 0, 8, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0}},
      {"IFD0 outside", badIfd},
      {"header only", Bytes(tiff.begin(), tiff.begin() + 8)},
  };
  for (const Case& c : cases) {
    img::ExifEditor e;
    EXPECT_FALSE(e.Open(c.bytes.data(), c.bytes.size())) << c.name;
  }
}

// Damaged blocks never crash the editor; whatever it writes parses.
TEST(ExifEditor, DamagedBlocksStaySafe) {
  const Bytes tiff = FixtureExif();
  std::uint32_t seed = 12345;
  auto next = [&]() {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (int round = 0; round < 400; ++round) {
    Bytes bad = tiff;
    const int flips = 1 + static_cast<int>(next() % 8);
    for (int k = 0; k < flips; ++k) {
      bad[8 + next() % (bad.size() - 8)] = static_cast<std::uint8_t>(next());
    }
    img::ExifEditor e;
    if (!e.Open(bad.data(), bad.size())) continue;
    e.Set("/ifd/{ushort=315}", img::PropValue::Lpstr("Norvane Tester"));
    e.Remove("/thumb");
    e.Remove("/ifd/gps");
    e.Set("/ifd/exif/{ushort=37510}", img::PropValue::Lpstr(std::string(300, 'u')));
    Bytes out;
    if (img::Succeeded(e.Serialize(65527, &out))) {
      const auto v = Values(out);
      EXPECT_EQ(v.count("/{ushort=0}/{ushort=315}"), 1u) << "round " << round;
    }
  }
}

// --- the JPEG frame encoder -----------------------------------------------------

struct Scratch {
  Bytes file;
  std::vector<img::JpegSegment> segs;
  std::vector<Bytes> Of(std::uint8_t marker) const {
    std::vector<Bytes> out;
    for (const auto& s : segs) {
      if (s.marker == marker) {
        out.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(s.start),
                         file.begin() + static_cast<std::ptrdiff_t>(s.body + s.length));
      }
    }
    return out;
  }
};

std::unique_ptr<img::Frame> FrameOf(const img::Bytes& bytes) {
  std::unique_ptr<img::Decoder> dec;
  std::unique_ptr<img::Frame> frame;
  EXPECT_EQ(img::CreateDecoderFromMemory(bytes, &dec), img::kOk);
  if (dec) {
    EXPECT_EQ(dec->GetFrame(0, &frame), img::kOk);
  }
  return frame;
}

Scratch Commit(img::JpegFrameEncoder* enc) {
  const std::uint8_t pixel[4] = {255, 255, 255, 0};
  Scratch s;
  EXPECT_EQ(enc->Commit(pixel, 1, 1, 4, &s.file), img::kOk);
  s.segs = img::ScanJpegSegments(s.file.data(), s.file.size());
  return s;
}

TEST(JpegFrameEncoder, CopiesEveryBlockByteForByte) {
  const img::Bytes source = FixtureBytes("meta_full.jpg");
  auto frame = FrameOf(source);
  ASSERT_TRUE(frame);
  img::JpegFrameEncoder enc;
  ASSERT_EQ(enc.InitializeFromBlockReader(*frame), img::kOk);
  const Scratch out = Commit(&enc);
  Scratch in;
  in.file = *source;
  in.segs = img::ScanJpegSegments(in.file.data(), in.file.size());
  for (std::uint8_t marker : {0xE1, 0xED, 0xFE, 0xE2}) {
    EXPECT_EQ(out.Of(marker), in.Of(marker)) << int{marker};
  }
  // The scratch picture itself decodes.
  auto again = FrameOf(ShareBytes(out.file));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Width(), 1u);
}

TEST(JpegFrameEncoder, QueryWriterEditsBlocks) {
  const img::Bytes source = FixtureBytes("meta_full.jpg");
  auto frame = FrameOf(source);
  ASSERT_TRUE(frame);
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> sets;  // path, text
    std::vector<std::string> removals;
    std::size_t app1, app13, com;  // segments of each kind afterwards
    std::string comText;           // the first comment's text, if any
  };
  const std::vector<Case> cases = {
      {"edit comment", {{"/com/TextEntry", "new comment"}}, {}, 2, 1, 1, "new comment"},
      {"second comment", {{"/[1]com/TextEntry", "another"}}, {}, 2, 1, 2, "block comment"},
      {"remove comment", {}, {"/com"}, 2, 1, 0, ""},
      {"remove APP13", {}, {"/app13"}, 2, 0, 1, "block comment"},
      {"remove XMP", {}, {"/xmp"}, 1, 1, 1, "block comment"},
      {"remove EXIF", {}, {"/app1"}, 1, 1, 1, "block comment"},
      {"remove thumbnail", {}, {"/app1/thumb"}, 2, 1, 1, "block comment"},
      {"everything", {}, {"/app1", "/xmp", "/app13", "/com"}, 0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    img::JpegFrameEncoder enc;
    ASSERT_EQ(enc.InitializeFromBlockReader(*frame), img::kOk);
    img::MetadataQueryWriter* w = enc.GetMetadataQueryWriter();
    for (const auto& [path, text] : c.sets) {
      EXPECT_EQ(w->SetMetadataByName(path, img::PropValue::Lpstr(text)), img::kOk) << path;
    }
    for (const std::string& path : c.removals) {
      EXPECT_EQ(w->RemoveMetadataByName(path), img::kOk) << path;
    }
    const Scratch out = Commit(&enc);
    EXPECT_EQ(out.Of(0xE1).size(), c.app1);
    EXPECT_EQ(out.Of(0xED).size(), c.app13);
    EXPECT_EQ(out.Of(0xFE).size(), c.com);
    if (!c.comText.empty() && !out.Of(0xFE).empty()) {
      const Bytes seg = out.Of(0xFE).front();
      EXPECT_EQ(std::string(seg.begin() + 4, seg.end()), c.comText);
    }
  }
}

TEST(JpegFrameEncoder, QueryWriterRefusals) {
  auto frame = FrameOf(FixtureBytes("meta_full.jpg"));
  ASSERT_TRUE(frame);
  img::JpegFrameEncoder enc;
  ASSERT_EQ(enc.InitializeFromBlockReader(*frame), img::kOk);
  img::MetadataQueryWriter* w = enc.GetMetadataQueryWriter();
  const img::PropValue text = img::PropValue::Lpstr("x");
  EXPECT_EQ(w->SetMetadataByName("/app13/irb/8bimiptc/iptc/{str=City}", text), img::kNotImpl);
  EXPECT_EQ(w->SetMetadataByName("/unknown/{}", text), img::kNotImpl);
  EXPECT_EQ(w->SetMetadataByName("/app2/x", text), img::kErrPropertyNotFound);
  EXPECT_EQ(w->SetMetadataByName("/[2]com/TextEntry", text), img::kErrPropertyNotFound);
  EXPECT_EQ(w->SetMetadataByName("/com/Other", text), img::kErrPropertyNotFound);
  EXPECT_EQ(w->SetMetadataByName("/com/TextEntry", img::PropValue::UI2(1)), img::kInvalidArg);
  EXPECT_EQ(w->SetMetadataByName("/com/TextEntry", img::PropValue::Lpstr(std::string(70000, 'c'))),
            img::kInvalidArg);
  EXPECT_EQ(w->SetMetadataByName("/com", text), img::kInvalidArg);
  EXPECT_EQ(w->RemoveMetadataByName("/[1]com"), img::kErrPropertyNotFound);
  EXPECT_EQ(w->RemoveMetadataByName("/[1]unknown"), img::kErrPropertyNotFound);
  EXPECT_EQ(w->RemoveMetadataByName("no-slash"), img::kInvalidArg);
  // Indexes stay as the reader gave them after a removal.
  EXPECT_EQ(w->RemoveMetadataByName("/com"), img::kOk);
  EXPECT_EQ(w->RemoveMetadataByName("/com"), img::kErrPropertyNotFound);
  EXPECT_EQ(w->SetMetadataByName("/com/TextEntry", text), img::kErrPropertyNotFound);
}

TEST(JpegFrameEncoder, NewExifBlockGoesFirst) {
  // A JPEG without EXIF: the first EXIF value makes the block.
  const img::Bytes source = FixtureBytes("jpeg_quad.jpg");
  auto frame = FrameOf(source);
  ASSERT_TRUE(frame);
  img::JpegFrameEncoder enc;
  ASSERT_EQ(enc.InitializeFromBlockReader(*frame), img::kOk);
  img::MetadataQueryWriter* w = enc.GetMetadataQueryWriter();
  ASSERT_EQ(w->SetMetadataByName("/com/TextEntry", img::PropValue::Lpstr("c")), img::kOk);
  ASSERT_EQ(w->SetMetadataByName("/app1/ifd/{ushort=315}", img::PropValue::Lpstr("Ann")), img::kOk);
  // A value refused by a new block leaves no block.
  EXPECT_EQ(w->SetMetadataByName("/[1]app1/ifd/{ushort=274}",
                                 img::PropValue::Lpstr(std::string("x\0", 2))),
            img::kInvalidArg);
  const Scratch out = Commit(&enc);
  ASSERT_EQ(out.Of(0xE1).size(), 1u);
  std::size_t app1 = 0, com = 0;
  for (std::size_t i = 0; i < out.segs.size(); ++i) {
    if (out.segs[i].marker == 0xE1) app1 = i;
    if (out.segs[i].marker == 0xFE) com = i;
  }
  EXPECT_LT(app1, com);
  auto again = FrameOf(ShareBytes(out.file));
  ASSERT_TRUE(again);
  img::PropValue v;
  ASSERT_EQ(again->Metadata()->GetMetadataByName("/app1/ifd/{ushort=315}", &v), img::kOk);
  EXPECT_EQ(v.bytes, "Ann");
}

}  // namespace
