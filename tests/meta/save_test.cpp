// Saving metadata: the edits that reach the file and everything else that
// must not change, the JPEG splice, the edit and removal passes, the checks
// on the new bytes, the refusals with their messages, and the caller's
// message buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "meta/edit.h"
#include "meta/meta_internal.h"
#include "meta/parsers.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing_support::Fixture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

const wchar_t kChanged[] =
    L"The file has changed on disk since it was opened here. Close this window and open it "
    L"again.";
const wchar_t kNotEditable[] = L"This file type can't be edited here.";
const wchar_t kWrite[] =
    L"The file could not be written. It may be read-only or in use by another program.";
const wchar_t kUnusual[] =
    L"This JPEG file has an unusual structure and can't be rewritten safely.";

MetaField* Find(MetaDoc* doc, const std::wstring& key) {
  for (MetaField& f : doc->fields) {
    if (f.key == key) return &f;
  }
  return nullptr;
}

std::map<std::wstring, std::wstring> ValuesOf(const MetaDoc& doc) {
  std::map<std::wstring, std::wstring> out;
  for (const MetaField& f : doc.fields) {
    if (f.key.rfind(L"file:", 0) == 0 || f.group == L"File") continue;
    out[f.key] = f.value;
  }
  return out;
}

// Everything from the first scan on.
Bytes ScanOf(const Bytes& jpeg) {
  std::vector<meta::Seg> segs;
  std::uint64_t scan = 0;
  if (!meta::ParseJpeg(jpeg, &segs, &scan)) return {};
  return Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(scan), jpeg.end());
}

std::vector<std::wstring> Listing(const std::wstring& dir) {
  std::vector<std::wstring> names;
  for (const auto& e : fs::directory_iterator(fs::path(dir))) {
    names.push_back(e.path().filename().wstring());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::wstring Join(const std::wstring& dir, const std::wstring& name) {
#ifdef _WIN32
  return dir + L"\\" + name;
#else
  return dir + L"/" + name;
#endif
}

// A scratch copy of a fixture, loaded.
struct Opened {
  std::wstring dir, path;
  MetaDoc doc;
};

Opened Open(const std::string& test, const std::string& fixture, const std::wstring& name) {
  Opened o;
  o.dir = ScratchDir("meta_save_" + test);
  o.path = Join(o.dir, name);
  WriteBytes(o.path, ReadBytes(Fixture(fixture)));
  EXPECT_TRUE(meta_load(o.path, &o.doc));
  return o;
}

std::wstring Save(const MetaDoc& doc, bool* ok) {
  wchar_t buf[512] = {};
  *ok = meta_save(doc, buf, 512);
  return buf;
}

void MarkRemoved(MetaDoc* doc, const std::wstring& prefix) {
  for (MetaField& f : doc->fields) {
    if (f.key.rfind(prefix, 0) == 0) f.removed = true;
  }
}

bool AnyKey(const MetaDoc& doc, const std::wstring& part) {
  return std::any_of(doc.fields.begin(), doc.fields.end(),
                     [&](const MetaField& f) { return f.key.find(part) != std::wstring::npos; });
}

const MetaPreset* Preset(const wchar_t* label) {
  for (const MetaPreset& p : kJpegPresets) {
    if (std::wcscmp(p.label, label) == 0) return &p;
  }
  return nullptr;
}

// --- edits reach the file, nothing else changes ---------------------------------

struct EditCase {
  const char* name;
  std::function<void(MetaDoc*)> edit;
  std::vector<std::wstring> touched;  // key prefixes the edit may change
  std::function<void(const MetaDoc&)> check;
};

void SetValue(MetaDoc* doc, const std::wstring& key, const std::wstring& value) {
  MetaField* f = Find(doc, key);
  ASSERT_NE(f, nullptr) << platform::WideToUtf8(key);
  f->value = value;
}

std::wstring ValueAt(const MetaDoc& doc, const std::wstring& key) {
  for (const MetaField& f : doc.fields) {
    if (f.key == key) return f.value;
  }
  return L"(missing)";
}

TEST(MetaSave, JpegEditsReachTheFileAndNothingElseChanges) {
  const std::vector<EditCase> cases = {
      {"artist",
       [](MetaDoc* d) {
         const std::int32_t i = meta_add(d, *Preset(L"Artist"));
         ASSERT_GE(i, 0);
         d->fields[static_cast<std::size_t>(i)].value = L"Ann Artist";
       },
       {L"/app1/ifd/{ushort=315}"},
       [](const MetaDoc& d) { EXPECT_EQ(ValueAt(d, L"/app1/ifd/{ushort=315}"), L"Ann Artist"); }},
      {"longer make",
       [](MetaDoc* d) { SetValue(d, L"/app1/ifd/{ushort=271}", L"Norvane Imaging Laboratory"); },
       {L"/app1/ifd/{ushort=271}"},
       [](const MetaDoc& d) {
         EXPECT_EQ(ValueAt(d, L"/app1/ifd/{ushort=271}"), L"Norvane Imaging Laboratory");
       }},
      {"exposure time",
       [](MetaDoc* d) { SetValue(d, L"/app1/ifd/exif/{ushort=33434}", L"1/250"); },
       {L"/app1/ifd/exif/{ushort=33434}"},
       [](const MetaDoc& d) {
         EXPECT_NE(ValueAt(d, L"/app1/ifd/exif/{ushort=33434}").find(L"1/250"), std::wstring::npos);
       }},
      {"XP title",
       [](MetaDoc* d) { SetValue(d, L"/app1/ifd/{ushort=40091}", L"Tîtle \U0001F600"); },
       {L"/app1/ifd/{ushort=40091}"},
       [](const MetaDoc& d) {
         EXPECT_EQ(ValueAt(d, L"/app1/ifd/{ushort=40091}"), L"Tîtle \U0001F600");
       }},
      {"description",
       [](MetaDoc* d) {
         const std::int32_t i = meta_add(d, *Preset(L"Description"));
         ASSERT_GE(i, 0);
         d->fields[static_cast<std::size_t>(i)].value = L"Caf\u00E9 \U0001F600";
       },
       {L"/app1/ifd/{ushort=270}"},
       [](const MetaDoc& d) {
         EXPECT_EQ(ValueAt(d, L"/app1/ifd/{ushort=270}"), L"Caf\u00E9 \U0001F600");
       }},
      {"date taken",
       [](MetaDoc* d) { SetValue(d, L"/app1/ifd/exif/{ushort=36867}", L"2025:12:31 23:59:58"); },
       {L"/app1/ifd/exif/{ushort=36867}"},
       [](const MetaDoc& d) {
         EXPECT_EQ(ValueAt(d, L"/app1/ifd/exif/{ushort=36867}"), L"2025:12:31 23:59:58");
       }},
      {"remove GPS",
       [](MetaDoc* d) { meta_remove_gps(d); },
       {L"/app1/ifd/gps"},
       [](const MetaDoc& d) { EXPECT_FALSE(AnyKey(d, L"/gps/")); }},
      {"remove thumbnail",
       [](MetaDoc* d) { MarkRemoved(d, L"/app1/thumb/"); },
       {L"/app1/thumb"},
       [](const MetaDoc& d) {
         EXPECT_FALSE(AnyKey(d, L"/app1/thumb"));
         EXPECT_LE(d.bytes.size() + 288, ReadBytes(Fixture("meta_full.jpg")).size());
       }},
      {"edit comment",
       [](MetaDoc* d) { SetValue(d, L"/com/TextEntry", L"new comment"); },
       {L"/com/"},
       [](const MetaDoc& d) { EXPECT_EQ(ValueAt(d, L"/com/TextEntry"), L"new comment"); }},
      {"remove comment",
       [](MetaDoc* d) { MarkRemoved(d, L"/com/"); },
       {L"/com/"},
       [](const MetaDoc& d) { EXPECT_FALSE(AnyKey(d, L"com/TextEntry")); }},
      {"remove one IPTC field",
       [](MetaDoc* d) {
         for (MetaField& f : d->fields) {
           if (f.key.rfind(L"/app13", 0) == 0) {
             f.removed = true;
             break;
           }
         }
       },
       {L"/app13"},
       [](const MetaDoc& d) { EXPECT_FALSE(AnyKey(d, L"/app13")); }},
      {"remove all",
       [](MetaDoc* d) { meta_remove_all(d); },
       {L"/app1", L"/app13", L"/xmp", L"/com"},
       [](const MetaDoc& d) {
         EXPECT_NE(ValueAt(d, L"/app1/ifd/{ushort=274}"), L"(missing)");
         for (const MetaField& f : d.fields) {
           const bool meta = f.key.rfind(L"/app1", 0) == 0 || f.key.rfind(L"/app13", 0) == 0 ||
                             f.key.rfind(L"/xmp", 0) == 0 || f.key.rfind(L"/com", 0) == 0;
           if (!meta) continue;
           EXPECT_TRUE(f.key == L"/app1/ifd/{ushort=274}" || !f.removable)
               << platform::WideToUtf8(f.key);
         }
       }},
  };
  const MetaDoc original = Open("edits_original", "meta_full.jpg", L"photo.jpg").doc;
  const auto before = ValuesOf(original);
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o = Open(std::string("edits_") + c.name, "meta_full.jpg", L"photo.jpg");
    c.edit(&o.doc);
    bool ok = false;
    const std::wstring message = Save(o.doc, &ok);
    ASSERT_TRUE(ok) << platform::WideToUtf8(message);
    MetaDoc after;
    ASSERT_TRUE(meta_load(o.path, &after));
    c.check(after);
    EXPECT_EQ(ScanOf(after.bytes), ScanOf(o.doc.bytes));
    EXPECT_TRUE(SamePicture(o.doc.bytes, after.bytes));
    const auto now = ValuesOf(after);
    for (const auto& [key, value] : before) {
      const bool touched = std::any_of(c.touched.begin(), c.touched.end(),
                                       [&](const auto& t) { return key.rfind(t, 0) == 0; });
      if (touched) continue;
      auto it = now.find(key);
      ASSERT_NE(it, now.end()) << "lost " << platform::WideToUtf8(key);
      EXPECT_EQ(it->second, value) << platform::WideToUtf8(key);
    }
    // Only the picture is in the folder: no temporary file left behind.
    EXPECT_EQ(Listing(o.dir), std::vector<std::wstring>{L"photo.jpg"});
  }
}

// A JPEG with no metadata at all gets its first EXIF block and comment.
TEST(MetaSave, FirstMetadataOfABareJpeg) {
  Opened o = Open("bare", "jpeg_quad.jpg", L"bare.jpg");
  ASSERT_GE(meta_add(&o.doc, *Preset(L"Artist")), 0);
  o.doc.fields.back().value = L"Ann";
  ASSERT_GE(meta_add(&o.doc, *Preset(L"Comment")), 0);
  o.doc.fields.back().value = L"first comment";
  bool ok = false;
  const std::wstring message = Save(o.doc, &ok);
  ASSERT_TRUE(ok) << platform::WideToUtf8(message);
  MetaDoc after;
  ASSERT_TRUE(meta_load(o.path, &after));
  EXPECT_EQ(ValueAt(after, L"/app1/ifd/{ushort=315}"), L"Ann");
  EXPECT_EQ(ValueAt(after, L"/com/TextEntry"), L"first comment");
  EXPECT_EQ(ScanOf(after.bytes), ScanOf(o.doc.bytes));
}

// --- refusals -------------------------------------------------------------------

struct RefusalCase {
  const char* name;
  const char* fixture;
  std::function<void(Opened*)> setup;
  std::wstring message;  // empty: compare with `messageFor` instead
  std::function<std::wstring(const Opened&)> messageFor;
};

TEST(MetaSave, RefusalsLeaveTheFileAlone) {
  const std::vector<RefusalCase> cases = {
      {"touched since loading", "meta_full.jpg",
       [](Opened* o) {
         const auto t = fs::last_write_time(fs::path(o->path));
         fs::last_write_time(fs::path(o->path), t + std::chrono::seconds(10));
       },
       kChanged, nullptr},
      {"grown since loading", "meta_full.jpg",
       [](Opened* o) {
         Bytes b = ReadBytes(o->path);
         b.push_back(0);
         WriteBytes(o->path, b);
       },
       kChanged, nullptr},
      {"deleted since loading", "meta_full.jpg", [](Opened* o) { fs::remove(fs::path(o->path)); },
       kChanged, nullptr},
      {"not editable", "meta_full.jpg", [](Opened* o) { o->doc.editable = false; }, kNotEditable,
       nullptr},
      {"BMP", "bmp_rgb24.bmp", [](Opened* o) { o->doc.editable = true; }, kNotEditable, nullptr},
      {"value the type refuses", "meta_full.jpg",
       [](Opened* o) { SetValue(&o->doc, L"/app1/ifd/exif/{ushort=34855}", L"fast"); }, L"",
       [](const Opened& o) {
         for (const MetaField& f : o.doc.fields) {
           if (f.key == L"/app1/ifd/exif/{ushort=34855}") {
             return L"The value of \u201C" + f.label + L"\u201D is not valid.";
           }
         }
         return std::wstring(L"?");
       }},
      {"all temporary names taken", "meta_full.jpg",
       [](Opened* o) {
         WriteBytes(o->path + L".saving", {'x'});
         for (int n = 1; n <= 99; ++n) WriteBytes(o->path + L".saving" + std::to_wstring(n), {'x'});
         SetValue(&o->doc, L"/app1/ifd/{ushort=271}", L"Other");
       },
       kWrite, nullptr},
      {"a folder where the temporary file would go", "meta_full.jpg",
       [](Opened* o) {
         for (int n = 0; n <= 99; ++n) {
           fs::create_directory(fs::path(o->path + L".saving" + (n ? std::to_wstring(n) : L"")));
         }
         SetValue(&o->doc, L"/app1/ifd/{ushort=271}", L"Other");
       },
       kWrite, nullptr},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o = Open(std::string("refusal_") + c.name, c.fixture, L"photo.jpg");
    c.setup(&o);
    const bool existed = fs::exists(fs::path(o.path));
    const Bytes onDisk = existed ? ReadBytes(o.path) : Bytes();
    const auto listing = Listing(o.dir);
    bool ok = true;
    const std::wstring message = Save(o.doc, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(message, c.messageFor ? c.messageFor(o) : c.message);
    if (existed) {
      EXPECT_EQ(ReadBytes(o.path), onDisk);
    }
    EXPECT_EQ(Listing(o.dir), listing);
  }
}

TEST(MetaSave, ReadOnlyFileIsLeftAlone) {
  Opened o = Open("read_only", "meta_full.jpg", L"photo.jpg");
  SetValue(&o.doc, L"/app1/ifd/{ushort=271}", L"Other");
  fs::permissions(fs::path(o.path),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const Bytes onDisk = ReadBytes(o.path);
  bool ok = true;
  const std::wstring message = Save(o.doc, &ok);
  const Bytes after = ReadBytes(o.path);
  const auto listing = Listing(o.dir);
  fs::permissions(fs::path(o.path), fs::perms::owner_write, fs::perm_options::add);
  EXPECT_FALSE(ok);
  EXPECT_EQ(message, kWrite);
  EXPECT_EQ(after, onDisk);
  EXPECT_EQ(listing, std::vector<std::wstring>{L"photo.jpg"});
}

// A temporary name left by someone else is stepped over and left alone.
TEST(MetaSave, TakenTemporaryNameIsSteppedOver) {
  Opened o = Open("taken_name", "meta_full.jpg", L"photo.jpg");
  const Bytes theirs = {'t', 'h', 'e', 'i', 'r', 's'};
  WriteBytes(o.path + L".saving", theirs);
  SetValue(&o.doc, L"/app1/ifd/{ushort=271}", L"Other");
  bool ok = false;
  const std::wstring message = Save(o.doc, &ok);
  ASSERT_TRUE(ok) << platform::WideToUtf8(message);
  EXPECT_EQ(ReadBytes(o.path + L".saving"), theirs);
  EXPECT_EQ(Listing(o.dir), (std::vector<std::wstring>{L"photo.jpg", L"photo.jpg.saving"}));
  MetaDoc after;
  ASSERT_TRUE(meta_load(o.path, &after));
  EXPECT_EQ(ValueAt(after, L"/app1/ifd/{ushort=271}"), L"Other");
}

// A file whose segments never reach a scan: refused before anything is
// written, whichever way the metadata goes.
TEST(MetaSave, UnusualJpegStructure) {
  Bytes jpeg = ReadBytes(Fixture("meta_full.jpg"));
  std::vector<meta::Seg> segs;
  std::uint64_t scan = 0;
  ASSERT_TRUE(meta::ParseJpeg(jpeg, &segs, &scan));
  jpeg.resize(static_cast<std::size_t>(scan));  // no scan at all
  const std::wstring dir = ScratchDir("meta_save_unusual");
  const std::wstring path = Join(dir, L"cut.jpg");
  WriteBytes(path, jpeg);
  struct Case {
    bool removeAll;  // nothing kept
    const wchar_t* message;
  };
  for (const Case& c : {Case{false, kUnusual}, Case{true, kUnusual}}) {
    MetaDoc doc;
    ASSERT_TRUE(meta_load(path, &doc));
    ASSERT_EQ(doc.format, L"JPEG");
    // The picture does not decode, yet its fields are listed: either one is
    // edited, or every field is removed.
    ASSERT_NE(Find(&doc, L"/app1/ifd/{ushort=271}"), nullptr);
    if (!c.removeAll) {
      Find(&doc, L"/app1/ifd/{ushort=271}")->value = L"Ann";
    } else {
      meta_remove_all(&doc);
    }
    bool ok = true;
    EXPECT_EQ(Save(doc, &ok), c.message);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadBytes(path), jpeg);
  }
}

TEST(MetaSave, MessageBuffer) {
  Opened o = Open("buffer", "meta_full.jpg", L"photo.jpg");
  o.doc.editable = false;
  EXPECT_FALSE(meta_save(o.doc, nullptr, 512));
  wchar_t zero[4] = {L'a', L'b', L'c', 0};
  EXPECT_FALSE(meta_save(o.doc, zero, 0));
  EXPECT_EQ(std::wstring(zero), L"abc");
  EXPECT_FALSE(meta_save(o.doc, zero, -5));
  EXPECT_EQ(std::wstring(zero), L"abc");
  wchar_t ten[12];
  std::fill(std::begin(ten), std::end(ten), L'#');
  EXPECT_FALSE(meta_save(o.doc, ten, 10));
  EXPECT_EQ(std::wstring(ten, 9), std::wstring(kNotEditable, 9));
  EXPECT_EQ(ten[9], 0);
  EXPECT_EQ(ten[10], L'#');
  // A successful save leaves the buffer exactly as it was.
  o.doc.editable = true;
  SetValue(&o.doc, L"/app1/ifd/{ushort=271}", L"Other");
  wchar_t untouched[8];
  std::fill(std::begin(untouched), std::end(untouched), L'Z');
  EXPECT_TRUE(meta_save(o.doc, untouched, 8));
  EXPECT_TRUE(
      std::all_of(std::begin(untouched), std::end(untouched), [](wchar_t c) { return c == L'Z'; }));
}

// --- the splice -----------------------------------------------------------------

Bytes Seg(std::uint8_t marker, const std::string& body) {
  // Built in one go: gcc 12 warns falsely about inserting into a vector
  // this small at -O3.
  Bytes s(4 + body.size());
  s[0] = 0xFF;
  s[1] = marker;
  s[2] = static_cast<std::uint8_t>((body.size() + 2) >> 8);
  s[3] = static_cast<std::uint8_t>(body.size() + 2);
  std::copy(body.begin(), body.end(), s.begin() + 4);
  return s;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(SpliceJpeg, NewSegmentsTakeTheirPlace) {
  const Bytes soi = {0xFF, 0xD8};
  const Bytes app0 = Seg(0xE0, "JFIF");
  const Bytes exif = Seg(0xE1, "Exif-old");
  const Bytes xmp = Seg(0xE1, "xmp-old");
  const Bytes icc = Seg(0xE2, "ICC");
  const Bytes iptc = Seg(0xED, "Photoshop");
  const Bytes com = Seg(0xFE, "comment");
  const Bytes dqt = Seg(0xDB, "tables");
  const Bytes scan = Cat({Seg(0xDA, "sos"), {1, 2, 3, 0xFF, 0xD9}});
  const Bytes after = {'t', 'a', 'i', 'l'};
  const Bytes n1 = Seg(0xE1, "Exif-new");
  const Bytes n2 = Seg(0xFE, "new comment");
  struct Case {
    const char* name;
    Bytes source;
    std::vector<Bytes> segments;
    Bytes expected;
  };
  const std::vector<Case> cases = {
      {"after APP0, before the first other segment",
       Cat({soi, app0, exif, xmp, icc, dqt, scan}),
       {n1, n2},
       Cat({soi, app0, n1, n2, icc, dqt, scan})},
      {"no APP0", Cat({soi, exif, icc, dqt, scan}), {n1}, Cat({soi, n1, icc, dqt, scan})},
      {"only APP0 and metadata before the scan",
       Cat({soi, app0, exif, iptc, com, scan}),
       {n1},
       Cat({soi, app0, n1, scan})},
      {"no new segments",
       Cat({soi, app0, exif, iptc, xmp, com, dqt, scan}),
       {},
       Cat({soi, app0, dqt, scan})},
      {"bytes after the end survive",
       Cat({soi, exif, dqt, scan, after}),
       {n2},
       Cat({soi, n2, dqt, scan, after})},
  };
  for (const Case& c : cases) {
    Bytes out;
    ASSERT_TRUE(SpliceJpeg(c.source, c.segments, &out)) << c.name;
    EXPECT_EQ(out, c.expected) << c.name;
  }
  Bytes out;
  EXPECT_FALSE(SpliceJpeg({0xFF, 0xD8, 0xFF}, {}, &out));
  EXPECT_FALSE(SpliceJpeg(Cat({{0x00, 0xD8}, app0, scan}), {}, &out));
  EXPECT_FALSE(SpliceJpeg(Cat({soi, app0, dqt}), {}, &out));
}

// A multi-picture segment finds the second picture by an offset from its own
// header: a comment that stood after it and moves in front must not leave
// that offset pointing elsewhere.
TEST(SpliceJpeg, MultiPictureOffsetsFollowTheirPictures) {
  const Bytes soi = {0xFF, 0xD8};
  const Bytes exif = Seg(0xE1, "Exif-old");
  const Bytes com = Seg(0xFE, "a comment after the multi-picture segment");
  const Bytes dqt = Seg(0xDB, "tables");
  const Bytes scan = Cat({Seg(0xDA, "sos"), {1, 2, 3, 0xFF, 0xD9}});
  const Bytes second = {0xFF, 0xD8, 's', 'e', 'c', 'o', 'n', 'd', 0xFF, 0xD9};
  // "MPF\0", a little-endian header, one directory with the picture list
  // (two pictures: the main one at offset 0, the second at `offset`).
  auto mpf = [](std::uint32_t offset) {
    Bytes body = {'M', 'P', 'F', 0, 'I', 'I', 0x2A, 0, 8, 0, 0, 0};
    auto le16 = [&](unsigned v) {
      body.push_back(static_cast<std::uint8_t>(v));
      body.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    auto le32 = [&](std::uint32_t v) {
      le16(v & 0xFFFF);
      le16(v >> 16);
    };
    le16(1);
    le16(0xB002);
    le16(7);
    le32(32);
    le32(8 + 2 + 12 + 4);  // right after the directory
    le32(0);
    for (std::uint32_t at : {0u, offset}) {
      le32(at == 0 ? 0x20030000u : 0);
      le32(10);
      le32(at);
      le32(0);
    }
    return Seg(0xE2, std::string(body.begin(), body.end()));
  };
  // Where the second picture is, counted from the header after "MPF\0".
  const Bytes head = Cat({soi, exif});
  const std::size_t mpfHeader = head.size() + 8;
  const std::size_t secondAt = head.size() + mpf(0).size() + com.size() + dqt.size() + scan.size();
  const Bytes source =
      Cat({head, mpf(static_cast<std::uint32_t>(secondAt - mpfHeader)), com, dqt, scan, second});
  const Bytes bigger = Seg(0xE1, std::string(100, 'n'));
  for (const std::vector<Bytes>& segments :
       {std::vector<Bytes>{bigger, com}, std::vector<Bytes>{bigger}, std::vector<Bytes>{}}) {
    Bytes out;
    ASSERT_TRUE(SpliceJpeg(source, segments, &out));
    std::vector<meta::Seg> segs;
    std::uint64_t sos = 0;
    ASSERT_TRUE(meta::ParseJpeg(out, &segs, &sos));
    const auto it =
        std::find_if(segs.begin(), segs.end(), [](const meta::Seg& s) { return s.marker == 0xE2; });
    ASSERT_NE(it, segs.end());
    const std::size_t header = static_cast<std::size_t>(it->offset) + 8;
    const std::size_t entry = header + 8 + 2 + 12 + 4 + 16 + 8;
    const std::uint32_t offset = out[entry] | out[entry + 1] << 8 | out[entry + 2] << 16 |
                                 static_cast<std::uint32_t>(out[entry + 3]) << 24;
    ASSERT_LE(header + offset + second.size(), out.size());
    EXPECT_TRUE(std::equal(second.begin(), second.end(), out.begin() + header + offset));
  }
}

// --- the edit and removal passes ------------------------------------------------

class Recorder : public img::MetadataQueryWriter {
 public:
  img::HResult SetMetadataByName(std::string_view path, const img::PropValue& v) override {
    calls.push_back("set " + std::string(path) + " vt=" + std::to_string(v.vt));
    return refuse ? img::kFail : img::kOk;
  }
  img::HResult RemoveMetadataByName(std::string_view path) override {
    calls.push_back("remove " + std::string(path));
    return img::kFail;  // ignored
  }
  std::vector<std::string> calls;
  bool refuse = false;
};

MetaField Field(const std::wstring& key, const std::wstring& loaded, const std::wstring& value,
                std::uint16_t vt = img::kVtLpstr) {
  MetaField f;
  f.key = key;
  f.label = L"L" + key;
  f.loadedLabel = f.label;
  f.loadedValue = loaded;
  f.value = value;
  f.varType = vt;
  return f;
}

TEST(ApplyEdits, WritesThenRemovesFromTheEnd) {
  MetaDoc doc;
  doc.fields.push_back(Field(L"/app1/ifd/{ushort=315}", L"a", L"b"));        // changed
  doc.fields.push_back(Field(L"/app1/ifd/{ushort=271}", L"same", L"same"));  // unchanged
  MetaField renamed = Field(L"/app1/ifd/{ushort=272}", L"x", L"x");
  renamed.label = L"new label";  // a label change writes nothing
  doc.fields.push_back(renamed);
  MetaField added = Field(L"/com/TextEntry", L"", L"new");
  added.added = true;
  doc.fields.push_back(added);
  MetaField addedEmpty = Field(L"/app1/ifd/{ushort=270}", L"", L"");
  addedEmpty.added = true;
  doc.fields.push_back(addedEmpty);
  MetaField addedRemoved = Field(L"/app1/ifd/{ushort=305}", L"", L"v");
  addedRemoved.added = addedRemoved.removed = true;
  doc.fields.push_back(addedRemoved);
  for (const wchar_t* key :
       {L"/app1/thumb/{ushort=259}", L"/app1/thumb/{}", L"/app13/irb/8bimiptc/iptc/{str=City}",
        L"/app13/irb/{ushort=1034}", L"/[1]com/TextEntry", L"/[2]unknown/{}",
        L"/app1/ifd/gps/{ushort=2}", L"exif:/app1/ifd/{ushort=1}", L"png:3"}) {
    MetaField f = Field(key, L"v", L"v");
    f.removed = true;
    doc.fields.push_back(f);
  }
  MetaField changedButRemoved = Field(L"/app1/ifd/{ushort=33432}", L"a", L"b");
  changedButRemoved.removed = true;
  doc.fields.push_back(changedButRemoved);
  doc.fields.push_back(Field(L"exif:/app1/ifd/{ushort=316}", L"a", L"b"));  // other prefix

  Recorder r;
  std::wstring err;
  ASSERT_TRUE(ApplyEdits(&r, doc, L"", &err));
  EXPECT_EQ(r.calls, (std::vector<std::string>{
                         "set /app1/ifd/{ushort=315} vt=30",
                         "set /com/TextEntry vt=30",
                         "remove /app1/ifd/{ushort=33432}",
                         "remove /app1/ifd/gps/{ushort=2}",
                         "remove /[2]unknown",
                         "remove /[1]com",
                         "remove /app13",
                         "remove /app1/thumb",
                     }));
  // With a prefix only its fields take part, without the prefix.
  Recorder p;
  ASSERT_TRUE(ApplyEdits(&p, doc, L"exif:", &err));
  EXPECT_EQ(p.calls, (std::vector<std::string>{"set /app1/ifd/{ushort=316} vt=30",
                                               "remove /app1/ifd/{ushort=1}"}));
}

TEST(ApplyEdits, Messages) {
  MetaDoc doc;
  MetaField iso = Field(L"/app1/ifd/exif/{ushort=34855}", L"100", L"fast", img::kVtUI2);
  iso.label = L"ISO speed";
  doc.fields.push_back(iso);
  Recorder r;
  std::wstring err;
  EXPECT_FALSE(ApplyEdits(&r, doc, L"", &err));
  EXPECT_EQ(err, L"The value of \u201CISO speed\u201D is not valid.");
  EXPECT_TRUE(r.calls.empty());
  doc.fields[0].value = L"200";
  r.refuse = true;
  err.clear();
  EXPECT_FALSE(ApplyEdits(&r, doc, L"", &err));
  EXPECT_EQ(err, L"Windows refused to write \u201CISO speed\u201D.");
  // A document without fields succeeds at once.
  MetaDoc empty;
  err.clear();
  EXPECT_TRUE(ApplyEdits(&r, empty, L"", &err));
  EXPECT_TRUE(err.empty());
}

// --- the checks on the new bytes -------------------------------------------------

TEST(CheckRemoved, FindsWhatSurvived) {
  MetaDoc doc;
  ASSERT_TRUE(meta_load(Fixture("meta_full.jpg"), &doc));
  Bytes same = doc.bytes;
  std::wstring err;
  // Nothing removed: nothing to check.
  EXPECT_TRUE(CheckRemoved(doc, &same, &err));
  // A comment the writer kept although it was removed.
  MetaDoc kept = doc;
  Find(&kept, L"/com/TextEntry")->removed = true;
  Find(&kept, L"/com/TextEntry")->label = L"Comment";
  EXPECT_FALSE(CheckRemoved(kept, &same, &err));
  EXPECT_EQ(err, L"\u201CComment\u201D could not be removed from this file, so nothing was saved.");
  EXPECT_EQ(same, doc.bytes);  // the bytes come back after the check
  // An EXIF tag that is still there.
  MetaDoc tag = doc;
  MetaField* make = Find(&tag, L"/app1/ifd/{ushort=271}");
  make->removed = true;
  err.clear();
  EXPECT_FALSE(CheckRemoved(tag, &same, &err));
  EXPECT_EQ(err, L"\u201C" + make->label +
                     L"\u201D could not be removed from this file, so nothing was saved.");
  // An added comment kept with a value counts as kept.
  MetaDoc added = kept;
  MetaField extra = *Find(&added, L"/com/TextEntry");
  extra.removed = false;
  extra.added = true;
  extra.value = L"x";
  extra.key = L"/[1]com/TextEntry";
  added.fields.push_back(extra);
  err.clear();
  EXPECT_TRUE(CheckRemoved(added, &same, &err)) << platform::WideToUtf8(err);
}

TEST(SamePicture, ComparesDecodedPixels) {
  const Bytes a = ReadBytes(Fixture("meta_full.jpg"));
  const Bytes b = ReadBytes(Fixture("jpeg_quad.jpg"));
  EXPECT_TRUE(SamePicture(a, a));
  EXPECT_FALSE(SamePicture(a, b));
  EXPECT_FALSE(SamePicture(a, Bytes{1, 2, 3}));
  EXPECT_FALSE(SamePicture(Bytes(), Bytes()));
  Bytes pixels;
  std::uint32_t w = 0, h = 0;
  ASSERT_TRUE(RawPixels(a, &pixels, &w, &h));
  EXPECT_EQ(w, 64u);
  EXPECT_EQ(h, 48u);
  EXPECT_EQ(pixels.size(), 64u * 48 * 4);
  // Neither orientation nor colour is applied: the same scan with
  // orientation 6 is the same picture.
  EXPECT_TRUE(
      SamePicture(ReadBytes(Fixture("dec_quad_o6.jpg")), ReadBytes(Fixture("dec_quad.jpg"))));
}

// The picture check decodes both sides band by band and compares as the
// bands arrive: a difference anywhere, in the first band, across a band
// boundary or in a short last band, is found; a decode that fails half way
// is no match; the same pixels in another container are.
TEST(SamePicture, BandsComparedAsTheyArrive) {
  const std::uint32_t w = 37, h = 200;  // three full bands and a short one
  Bytes bgr(std::size_t{w} * h * 3);
  for (std::size_t i = 0; i < bgr.size(); ++i) bgr[i] = static_cast<std::uint8_t>(i * 7 + i / 97);
  Bytes jpeg;
  ASSERT_EQ(img::EncodeJpeg(bgr.data(), w, h, std::size_t{w} * 3, 0.9f, &jpeg), img::kOk);
  Bytes pixels;
  std::uint32_t pw = 0, ph = 0;
  ASSERT_TRUE(RawPixels(jpeg, &pixels, &pw, &ph));
  ASSERT_EQ(pw, w);
  ASSERT_EQ(ph, h);
  auto png = [&](const Bytes& bgra) {
    Bytes out;
    EXPECT_EQ(img::EncodePng(bgra.data(), img::PixelFormat::Bgra32, w, h, std::size_t{w} * 4, &out),
              img::kOk);
    return out;
  };
  auto changed = [&](std::uint32_t x, std::uint32_t y) {
    Bytes p = pixels;
    p[(std::size_t{y} * w + x) * 4 + 1] ^= 0x01;
    return png(p);
  };
  Bytes cut = jpeg;
  cut.resize(cut.size() * 2 / 3);
  struct Case {
    const char* name;
    Bytes other;
    bool same;
  };
  const std::vector<Case> cases = {
      {"the same pixels as PNG", png(pixels), true},
      {"first pixel", changed(0, 0), false},
      {"last row of the first band", changed(5, 63), false},
      {"first row of the second band", changed(36, 64), false},
      {"last pixel, in the short band", changed(w - 1, h - 1), false},
      {"cut off half way", cut, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SamePicture(jpeg, c.other), c.same) << c.name;
    EXPECT_EQ(SamePicture(c.other, jpeg), c.same) << c.name << ", the other way round";
  }
}

}  // namespace

namespace {

// The user comment is text in both byte orders: listed as text and edited as
// text, ASCII or not, the writer choosing the character code.
TEST(MetaSave, UserCommentIsEditedAsText) {
  struct CommentCase {
    const char* fixture;
    const wchar_t* name;
    const wchar_t* key;
  };
  const CommentCase files[] = {
      {"meta_full.jpg", L"big-endian.jpg", L"/app1/ifd/exif/{ushort=37510}"},
      {"meta_full.tif", L"little-endian.tif", L"/ifd/exif/{ushort=37510}"},
  };
  const wchar_t* const texts[] = {L"I am a comment. Yey.",
                                  L"\u00C9t\u00E9 \U0001F600 \u4E2D\u6587"};
  for (const CommentCase& c : files) {
    for (const wchar_t* text : texts) {
      SCOPED_TRACE(platform::WideToUtf8(c.name) + " " + platform::WideToUtf8(text));
      Opened o = Open("user_comment", c.fixture, c.name);
      MetaField* f = nullptr;
      for (MetaField& field : o.doc.fields) {
        if (field.key == c.key) f = &field;
      }
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(f->value, L"user comment");
      ASSERT_TRUE(f->editable);
      wchar_t err[256] = L"";
      ASSERT_TRUE(meta_validate(*f, text, err, 256)) << platform::WideToUtf8(err);
      f->value = text;
      bool ok = false;
      const std::wstring message = Save(o.doc, &ok);
      ASSERT_TRUE(ok) << platform::WideToUtf8(message);
      MetaDoc after;
      ASSERT_TRUE(meta_load(o.path, &after));
      EXPECT_EQ(ValueAt(after, c.key), text);
    }
  }
}

}  // namespace

namespace {

// Junk bytes between segments (as some writers leave them) hide nothing:
// every block after them is listed, and a save keeps them all. A stuffed
// zero (0xFF 0x00) is junk too, whatever follows it.
TEST(MetaSave, JunkBetweenSegments) {
  const std::string junks[] = {std::string("\x00\x11junk\x00", 7),
                               std::string("\xFF\x00\x00\x06", 4)};
  for (const std::string& junk : junks) {
    SCOPED_TRACE(junk.size());
    Bytes jpeg = ReadBytes(Fixture("meta_full.jpg"));
    std::vector<meta::Seg> segs;
    std::uint64_t scan = 0;
    ASSERT_TRUE(meta::ParseJpeg(jpeg, &segs, &scan));
    ASSERT_GE(segs.size(), 3u);
    // After the first segment: everything that follows is behind the junk.
    const std::uint64_t at = segs[0].offset + segs[0].size;
    jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(at), junk.begin(), junk.end());
    Opened o = Open("junk", "meta_full.jpg", L"junk.jpg");
    WriteBytes(o.path, jpeg);
    MetaDoc doc;
    ASSERT_TRUE(meta_load(o.path, &doc));
    const MetaDoc clean = Open("junk_clean", "meta_full.jpg", L"clean.jpg").doc;
    EXPECT_EQ(ValuesOf(doc), ValuesOf(clean));
    ASSERT_TRUE(doc.editable);
    MetaField* model = nullptr;
    for (MetaField& f : doc.fields) {
      if (f.key == L"/app1/ifd/{ushort=272}") model = &f;
    }
    ASSERT_NE(model, nullptr);
    model->value = L"Rig 3";
    bool ok = false;
    const std::wstring message = Save(doc, &ok);
    ASSERT_TRUE(ok) << platform::WideToUtf8(message);
    MetaDoc after;
    ASSERT_TRUE(meta_load(o.path, &after));
    EXPECT_EQ(ValueAt(after, L"/app1/ifd/{ushort=272}"), L"Rig 3");
    EXPECT_EQ(ValueAt(after, L"/com/TextEntry"), L"block comment");
    EXPECT_NE(ValueAt(after, L"/xmp/dc:title/x-default"), L"(missing)");
    EXPECT_TRUE(SamePicture(doc.bytes, after.bytes));
  }
}

}  // namespace
