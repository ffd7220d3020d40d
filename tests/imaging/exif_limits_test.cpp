// What one walk over an EXIF structure may take, for the reader and the
// editor alike: directories that overlap ones already read are refused, the
// items of one structure are capped and charged what they cost, and the
// editor lists exactly the entries the reader lists, so that a query path
// names the same entry for reading and for writing.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "imaging/exif_internal.h"
#include "imaging/imaging.h"
#include "imaging/metadata_write_internal.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct DirEntry {
  std::uint16_t tag, type;
  std::uint32_t count, value;
};

// A little-endian TIFF structure built by placing directories at chosen
// offsets; IFD0 is at 8.
class Block {
 public:
  Block() : b_{'I', 'I', 42, 0, 8, 0, 0, 0} {}
  void Put16(std::size_t at, std::uint32_t v) {
    Grow(at + 2);
    b_[at] = static_cast<std::uint8_t>(v);
    b_[at + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  void Put32(std::size_t at, std::uint32_t v) {
    Put16(at, v & 0xFFFF);
    Put16(at + 2, v >> 16);
  }
  void Entry(std::size_t at, const DirEntry& e) {
    Put16(at, e.tag);
    Put16(at + 2, e.type);
    Put32(at + 4, e.count);
    Put32(at + 8, e.value);
  }
  // A directory at `at`: its count, its entries and a zero next-offset.
  void Dir(std::size_t at, const std::vector<DirEntry>& entries) {
    Put16(at, static_cast<std::uint32_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) Entry(at + 2 + 12 * i, entries[i]);
    Put32(at + 2 + 12 * entries.size(), 0);
  }
  static std::size_t End(std::size_t at, std::size_t n) { return at + 2 + 12 * n + 4; }
  const Bytes& bytes() const { return b_; }

 private:
  void Grow(std::size_t n) {
    if (b_.size() < n) b_.resize(n, 0);
  }
  Bytes b_;
};

// Every item of a reader tree, nested directories included, counted without
// resolving names (a hostile tree may hold very many).
std::size_t CountItems(const img::MetadataReader* r, int depth = 0) {
  if (!r || depth > 16) return 0;
  std::size_t n = r->Items().size();
  for (const img::MetaItem& item : r->Items()) {
    if (item.value.vt == img::kVtUnknown) n += CountItems(item.value.reader.get(), depth + 1);
  }
  return n;
}

std::size_t CountItems(const Bytes& tiff) {
  img::MetadataReader root("app1", img::ParseTiffIfds(tiff.data(), tiff.size()));
  return CountItems(&root);
}

// The reader's paths, "/{ushort=0}/{ushort=34665}/{ushort=36867}", for
// values and directories alike.
void Paths(const img::MetadataReader* r, const std::string& prefix, std::vector<std::string>* out,
           int depth = 0) {
  if (!r || depth > 16) return;
  const std::vector<std::string> names = r->GetEnumerator();
  for (std::size_t i = 0; i < names.size(); ++i) {
    out->push_back(prefix + names[i]);
    const img::PropValue& v = r->Items()[i].value;
    if (v.vt == img::kVtUnknown) Paths(v.reader.get(), prefix + names[i], out, depth + 1);
  }
}

// The editor lists what the reader lists: every `step`-th path of the
// reader's names an entry the editor can remove, and none of `absent` does
// (the reader does not list them either).
void ExpectEditorMirrorsReader(const Bytes& tiff, const std::vector<std::string>& absent,
                               std::size_t step = 1) {
  img::MetadataReader root("app1", img::ParseTiffIfds(tiff.data(), tiff.size()));
  std::vector<std::string> listed;
  Paths(&root, "", &listed);
  ASSERT_FALSE(listed.empty());
  for (std::size_t i = 0; i < listed.size(); i += step) {
    if (listed[i] == "/{ushort=0}") continue;  // IFD0 itself is never removed
    // The thumbnail's data goes with its directory, not as an entry.
    if (listed[i].size() >= 3 && listed[i].compare(listed[i].size() - 3, 3, "/{}") == 0) continue;
    img::ExifEditor e;
    ASSERT_TRUE(e.Open(tiff.data(), tiff.size()));
    EXPECT_EQ(e.Remove(listed[i]), img::kOk) << listed[i];
  }
  for (const std::string& path : absent) {
    img::PropValue v;
    EXPECT_EQ(root.GetMetadataByName(path, &v), img::kErrPropertyNotFound) << path;
    img::ExifEditor e;
    ASSERT_TRUE(e.Open(tiff.data(), tiff.size()));
    EXPECT_EQ(e.Remove(path), img::kErrPropertyNotFound) << path;
  }
}

// A run of entries that sub-directory pointers reach into at every other
// entry: UNDEFINED entries whose last two value bytes read as a directory
// count of `c`, each followed by an EXIF pointer to the next such place. A
// walk that only remembers exact offsets lists about c / 2 directories of c
// entries each.
Bytes SharedRun(std::uint32_t c) {
  Block b;
  const std::size_t first = 10;  // IFD0's entries
  const std::size_t m = 2 * c + 4;
  b.Put16(8, c);
  auto entryAt = [&](std::size_t i) { return first + 12 * i; };
  for (std::size_t j = 0; 2 * j + 1 < m; ++j) {
    // value bytes 0, 0, c: the last two are a count
    b.Entry(entryAt(2 * j), {static_cast<std::uint16_t>(0x9000 + j % 16), 7, 4, c << 16});
    const std::size_t next = entryAt(2 * j + 2) + 10;
    b.Entry(entryAt(2 * j + 1), {img::kTagExif, 4, 1, static_cast<std::uint32_t>(next)});
  }
  b.Put32(entryAt(m), 0);
  return b.bytes();
}

TEST(ExifLimits, PointersIntoOneRunOfEntriesAreNotWalked) {
  const Bytes tiff = SharedRun(1024);
  // Directories cannot overlap, so a structure never lists more items than
  // its bytes hold entries.
  const std::size_t items = CountItems(tiff);
  EXPECT_LE(items, tiff.size() / 12);
  ExpectEditorMirrorsReader(
      tiff, {"/{ushort=0}/exif/{ushort=36864}", "/{ushort=0}/exif/{ushort=34665}"}, 97);
}

TEST(ExifLimits, OverlappingDirectoriesAreRefused) {
  const std::vector<DirEntry> ifd0Values = {{256, 3, 1, 16}, {257, 3, 1, 16}};
  struct Case {
    const char* name;
    std::uint32_t exifAt, gpsAt;  // 0: no pointer
    bool exifListed, gpsListed;
  };
  // IFD0 at 8 has 4 entries and ends at 8 + 2 + 48 + 4 = 62.
  const Case cases[] = {
      {"EXIF is IFD0 again", 8, 0, false, false},
      {"EXIF starts inside IFD0's entries", 8 + 2 + 12 + 2, 0, false, false},
      {"EXIF and GPS apart", 100, 200, true, true},
      {"GPS is EXIF again", 100, 100, true, false},
      {"GPS starts inside EXIF's entries", 100, 100 + 2 + 12, true, false},
      // a writer that leaves out a sub-directory's next-offset
      {"GPS right after EXIF's entries", 100, 100 + 2 + 24, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Block b;
    std::vector<DirEntry> ifd0 = ifd0Values;
    if (c.exifAt) ifd0.push_back({img::kTagExif, 4, 1, c.exifAt});
    if (c.gpsAt) ifd0.push_back({img::kTagGps, 4, 1, c.gpsAt});
    b.Dir(8, ifd0);
    if (c.exifAt >= Block::End(8, ifd0.size())) {
      b.Dir(c.exifAt, {{36864, 7, 4, 0x30333230}, {37500 - 1, 3, 1, 7}});
    }
    if (c.gpsAt >= Block::End(8, ifd0.size()) && c.gpsAt != c.exifAt) {
      if (c.gpsAt == c.exifAt + 2 + 12) {
        b.Put16(c.gpsAt, 1);  // over EXIF's second entry
      } else {
        b.Dir(c.gpsAt, {{0, 1, 4, 0x00000202}});
      }
    }
    const Bytes& tiff = b.bytes();
    img::MetadataReader root("app1", img::ParseTiffIfds(tiff.data(), tiff.size()));
    img::PropValue v;
    EXPECT_EQ(
        img::Succeeded(root.GetMetadataByName("/{ushort=0}/exif", &v)) && v.vt == img::kVtUnknown,
        c.exifListed);
    EXPECT_EQ(
        img::Succeeded(root.GetMetadataByName("/{ushort=0}/gps", &v)) && v.vt == img::kVtUnknown,
        c.gpsListed);
    std::vector<std::string> absent = {"/{ushort=0}/{ushort=1}"};
    if (!c.exifListed) absent.push_back("/{ushort=0}/exif/{ushort=36864}");
    if (!c.gpsListed) absent.push_back("/{ushort=0}/gps/{ushort=0}");
    ExpectEditorMirrorsReader(tiff, absent);
  }
}

TEST(ExifLimits, ItemsOfOneStructureAreCapped) {
  // IFD0, EXIF and GPS of 4,096 entries each: 12,291 items, more than a
  // walk lists. IFD0 counts 1 + 4,094 + the EXIF directory, which is full.
  Block b;
  const std::size_t exifAt = Block::End(8, 4096);
  const std::size_t gpsAt = Block::End(exifAt, 4096);
  std::vector<DirEntry> ifd0, exif, gps;
  for (std::uint16_t t = 0; t < 4094; ++t)
    ifd0.push_back({static_cast<std::uint16_t>(t + 1), 3, 1, t});
  ifd0.push_back({img::kTagExif, 4, 1, static_cast<std::uint32_t>(exifAt)});
  ifd0.push_back({img::kTagGps, 4, 1, static_cast<std::uint32_t>(gpsAt)});
  for (std::uint16_t t = 0; t < 4096; ++t) {
    exif.push_back({static_cast<std::uint16_t>(t + 1), 3, 1, t});
    gps.push_back({static_cast<std::uint16_t>(t + 1), 3, 1, t});
  }
  b.Dir(8, ifd0);
  b.Dir(exifAt, exif);
  b.Dir(gpsAt, gps);
  const Bytes& tiff = b.bytes();
  EXPECT_EQ(CountItems(tiff), img::kMaxIfdItems);
  ExpectEditorMirrorsReader(
      tiff, {"/{ushort=0}/gps", "/{ushort=0}/gps/{ushort=1}", "/{ushort=0}/{ushort=34853}"}, 61);
}

TEST(ExifLimits, EntriesSharingLargeValuesAreChargedTheirSize) {
  // 3,000 entries that all point at the same 60,000 bytes: each costs what
  // its value holds in memory, so the structure's budget (32 bytes for each
  // of its bytes) keeps the first few dozen of them, the same ones for both
  // sides.
  Block b;
  const std::uint32_t n = 3000, dataAt = static_cast<std::uint32_t>(Block::End(8, n));
  std::vector<DirEntry> ifd0;
  for (std::uint32_t k = 0; k < n; ++k) {
    ifd0.push_back({static_cast<std::uint16_t>(1000 + k), 7, 60000, dataAt});
  }
  b.Dir(8, ifd0);
  b.Put16(dataAt + 60000 - 2, 0);
  const Bytes& tiff = b.bytes();
  const std::size_t kept = CountItems(tiff) - 1;  // IFD0's entries
  const std::uint64_t budget = std::uint64_t{tiff.size()} * 32 + 4096;
  EXPECT_GE(kept, 1u);
  EXPECT_LE(kept * (60000 + img::kIfdItemBytes), budget);
  EXPECT_LT(kept, n);
  std::vector<std::string> absent;
  for (std::size_t k = kept; k < n; k += 211) {
    absent.push_back("/{ushort=0}/{ushort=" + std::to_string(1000 + k) + "}");
  }
  ExpectEditorMirrorsReader(tiff, absent);
}

}  // namespace

namespace {

// Entries some writers leave: a count of 0 (an empty description) is listed
// with an empty value, a sub-directory pointer stored as SLONG is followed,
// and a thumbnail pointing outside the data is said to be so; the editor
// addresses the same entries.
TEST(ExifRead, EmptyValuesSlongPointersAndAThumbnailOutside) {
  Block b;
  const std::size_t exifAt = 100, ifd1At = 200;
  b.Dir(8, {{270, 2, 0, 0}, {img::kTagExif, 9, 1, exifAt}});
  b.Put32(Block::End(8, 2) - 4, ifd1At);  // IFD0's next: IFD1
  b.Dir(exifAt, {{41729, 3, 1, 7}});
  b.Dir(ifd1At, {{259, 3, 1, 6}, {513, 4, 1, 5000}, {514, 4, 1, 300}});
  const Bytes& tiff = b.bytes();
  img::MetadataReader root("app1", img::ParseTiffIfds(tiff.data(), tiff.size()));
  img::PropValue v;
  ASSERT_EQ(root.GetMetadataByName("/{ushort=0}/{ushort=270}", &v), img::kOk);
  EXPECT_EQ(v.vt, img::kVtLpstr);
  EXPECT_EQ(v.bytes, "");
  ASSERT_EQ(root.GetMetadataByName("/{ushort=0}/exif/{ushort=41729}", &v), img::kOk);
  EXPECT_EQ(v.u, 7u);
  ASSERT_EQ(root.GetMetadataByName("/{ushort=1}/{}", &v), img::kOk);
  EXPECT_EQ(v.vt, img::kVtLpstr);
  EXPECT_EQ(v.bytes, "(outside the EXIF data)");
  ExpectEditorMirrorsReader(tiff, {"/{ushort=0}/{ushort=271}"});
}

}  // namespace
