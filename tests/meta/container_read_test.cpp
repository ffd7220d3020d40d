// Reading what unusual containers carry: files whose picture does not decode,
// extended and misnamed XMP, XMP in GIF, IPTC over several segments, raw
// profiles in PNG text and second EXIF and XMP blocks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta_internal.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Fixture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

const MetaField* Find(const MetaDoc& doc, const std::wstring& key) {
  for (const MetaField& f : doc.fields) {
    if (f.key == key) return &f;
  }
  return nullptr;
}

MetaDoc Load(const std::string& name) {
  MetaDoc doc;
  EXPECT_TRUE(meta_load(Fixture(name), &doc)) << name;
  return doc;
}

struct Expected {
  const char* file;
  const wchar_t* key;
  const wchar_t* group;
  const wchar_t* label;
  const wchar_t* value;
  bool editable;
  bool removable;
};

TEST(ContainerRead, FieldsOfUnusualFiles) {
  const Expected cases[] = {
      // No frame header: the segments are read all the same.
      {"read_meta_only.jpg", L"/app1/ifd/{ushort=271}", L"Camera and exposure", L"Camera make",
       L"Norvane", true, true},
      {"read_meta_only.jpg", L"/xmp/dc:title/x-default", L"XMP", L"dc:title / x-default",
       L"XMP title", true, true},
      {"read_meta_only.jpg", L"/app13/irb/8bimiptc/iptc/City", L"IPTC and Photoshop", L"City",
       L"Paris", false, true},
      // Far beyond the pixel limit: listed, with the size the frame declares.
      {"read_huge.jpg", L"/app1/ifd/gps/{ushort=1}", L"GPS", L"Latitude (N or S)", L"N", true,
       true},
      {"read_huge.jpg", L"file:Dimensions", L"File", L"Dimensions", L"64250 \u00D7 64250 pixels",
       false, false},
      // Extended XMP joins the packet that names it, shown but kept as it is.
      {"read_ext_xmp.jpg", L"/xmp/dc:format", L"XMP", L"dc:format", L"image/jpeg", true, true},
      {"read_ext_xmp.jpg", L"/xmpext/photoshop:Instructions", L"XMP", L"photoshop:Instructions",
       L"Handle with care", false, false},
      {"read_odd_xmp.jpg", L"/xmp/dc:source", L"XMP", L"dc:source", L"odd header", true, true},
      // Resources continued in the next segment make one record.
      {"read_iptc_split.jpg", L"/app13/irb/8bimiptc/iptc/Caption-Abstract", L"IPTC and Photoshop",
       L"Caption-Abstract", L"A caption that spans both segments", false, true},
      {"read_iptc_two.jpg", L"/app13/irb/8bimiptc/iptc/ObjectName", L"IPTC and Photoshop",
       L"ObjectName", L"First title", false, true},
      {"read_iptc_two.jpg", L"/[1]app13/irb/8bimiptc/iptc/City", L"IPTC and Photoshop",
       L"City (block 2)", L"Oslo", false, true},
      // A second EXIF block and XMP packet: named like the first, not
      // editable but removable.
      {"read_two_app1.jpg", L"/app1/ifd/{ushort=271}", L"Camera and exposure", L"Camera make",
       L"Norvane", true, true},
      {"read_two_app1.jpg", L"/[1]app1/ifd/{ushort=271}", L"Camera and exposure",
       L"Camera make (block 2)", L"Second", false, true},
      {"read_two_app1.jpg", L"/[1]app1/ifd/gps/{ushort=3}", L"GPS", L"Longitude (E or W) (block 2)",
       L"E", false, true},
      {"read_two_app1.jpg", L"/[1]xmp/dc:source", L"XMP", L"dc:source (block 2)", L"second packet",
       false, true},
      {"read_xmp.gif", L"/xmp/dc:title/x-default", L"XMP", L"dc:title / x-default", L"GIF title",
       false, false},
      {"read_raw_iptc.png", L"raw:/app13/irb/8bimiptc/iptc/Keywords", L"IPTC and Photoshop",
       L"Keywords", L"raw; profile", false, false},
  };
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.file);
    const MetaDoc doc = Load(c.file);
    const MetaField* f = Find(doc, c.key);
    ASSERT_NE(f, nullptr) << platform::WideToUtf8(c.key);
    EXPECT_EQ(f->group, c.group);
    EXPECT_EQ(f->label, c.label);
    EXPECT_EQ(f->value, c.value);
    EXPECT_EQ(f->editable, c.editable) << platform::WideToUtf8(c.key);
    EXPECT_EQ(f->removable, c.removable) << platform::WideToUtf8(c.key);
  }
}

TEST(ContainerRead, NothingListedTwiceOrLeftRaw) {
  for (const char* name : {"read_ext_xmp.jpg", "read_iptc_split.jpg", "read_two_app1.jpg",
                           "read_xmp.gif", "read_odd_xmp.jpg"}) {
    const MetaDoc doc = Load(name);
    for (const MetaField& f : doc.fields) {
      // No block is left unread ("Unrecognised block", raw GIF application
      // data) and no label is a raw path.
      EXPECT_NE(f.label, L"Unrecognised block") << name;
      EXPECT_EQ(f.key.find(L"appext"), std::wstring::npos) << name;
      EXPECT_NE(f.group, L"Other") << name << ": " << platform::WideToUtf8(f.key);
    }
  }
  // A frame header that does not say its size gives none.
  const MetaDoc only = Load("read_meta_only.jpg");
  EXPECT_EQ(Find(only, L"file:Dimensions"), nullptr);
}

// Extension pieces that do not add up are listed as they are, never as a
// packet: a piece missing, or a full length the pieces do not carry.
TEST(ContainerRead, BrokenExtendedXmp) {
  const std::vector<std::uint8_t> good = ReadBytes(Fixture("read_ext_xmp.jpg"));
  const std::string head = "http://ns.adobe.com/xmp/extension/";
  std::vector<std::size_t> pieces;
  for (std::size_t at = 0;
       (at = std::string(good.begin(), good.end()).find(head, at)) != std::string::npos;
       at += head.size()) {
    pieces.push_back(at);
  }
  ASSERT_EQ(pieces.size(), 2u);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Case> cases;
  {
    // The second piece's segment dropped.
    std::vector<std::uint8_t> b = good;
    const std::size_t seg = pieces[0] - 4;
    const std::size_t len = static_cast<std::size_t>(b[seg + 2] << 8 | b[seg + 3]) + 2;
    b.erase(b.begin() + static_cast<std::ptrdiff_t>(seg),
            b.begin() + static_cast<std::ptrdiff_t>(seg + len));
    cases.push_back({"missing", b});
  }
  {
    // Both pieces claim a full length of 4 GiB - 1.
    std::vector<std::uint8_t> b = good;
    for (std::size_t at : pieces) {
      for (int k = 0; k < 4; ++k) b[at + head.size() + 1 + 32 + k] = 0xFF;
    }
    cases.push_back({"too long", b});
  }
  for (const Case& c : cases) {
    const std::wstring path = ScratchDir("container_read_broken") + L"/broken.jpg";
    WriteBytes(path, c.bytes);
    MetaDoc doc;
    ASSERT_TRUE(meta_load(path, &doc));
    EXPECT_EQ(Find(doc, L"/xmpext/photoshop:Instructions"), nullptr) << c.name;
    std::size_t parts = 0;
    for (const MetaField& f : doc.fields) {
      if (f.label == L"Extended XMP (incomplete)") {
        ++parts;
        EXPECT_FALSE(f.removable);
      }
    }
    EXPECT_GE(parts, 1u) << c.name;
    EXPECT_NE(Find(doc, L"/xmp/dc:format"), nullptr) << c.name;
  }
}

// Saving keeps what the writer cannot address and removes IPTC whole, also
// when it spans two segments.
TEST(ContainerRead, SavingAroundUnusualBlocks) {
  {
    const std::wstring path = ScratchDir("container_read_ext") + L"/ext.jpg";
    WriteBytes(path, ReadBytes(Fixture("read_ext_xmp.jpg")));
    MetaDoc doc;
    ASSERT_TRUE(meta_load(path, &doc));
    MetaField* format = nullptr;
    for (MetaField& f : doc.fields) {
      if (f.key == L"/xmp/dc:format") format = &f;
    }
    ASSERT_NE(format, nullptr);
    format->value = L"image/x-test";
    wchar_t err[512] = {};
    ASSERT_TRUE(meta_save(doc, err, 512)) << platform::WideToUtf8(err);
    MetaDoc after;
    ASSERT_TRUE(meta_load(path, &after));
    ASSERT_NE(Find(after, L"/xmp/dc:format"), nullptr);
    EXPECT_EQ(Find(after, L"/xmp/dc:format")->value, L"image/x-test");
    ASSERT_NE(Find(after, L"/xmpext/photoshop:Instructions"), nullptr);
  }
  for (const char* name : {"read_iptc_split.jpg", "read_iptc_two.jpg"}) {
    const std::wstring path = ScratchDir("container_read_iptc") + L"/iptc.jpg";
    WriteBytes(path, ReadBytes(Fixture(name)));
    MetaDoc doc;
    ASSERT_TRUE(meta_load(path, &doc));
    for (MetaField& f : doc.fields) {
      if (f.group == L"IPTC and Photoshop") f.removed = true;
    }
    wchar_t err[512] = {};
    ASSERT_TRUE(meta_save(doc, err, 512)) << name << ": " << platform::WideToUtf8(err);
    const std::vector<std::uint8_t> saved = ReadBytes(path);
    const std::string text(saved.begin(), saved.end());
    EXPECT_EQ(text.find("Photoshop 3.0"), std::string::npos) << name;
    // The comment between the two blocks stays.
    if (std::string(name) == "read_iptc_two.jpg") {
      EXPECT_NE(text.find("between"), std::string::npos);
    }
  }
}

// "Remove GPS" and "Remove all" leave nothing of what they remove in a
// second EXIF block or XMP packet, nor the extension of a removed packet;
// what they keep stays.
TEST(ContainerRead, RemovingReachesLaterBlocksAndTheExtension) {
  enum class Action { Gps, All, XmpByHandArtistAdded };
  struct Case {
    const char* file;
    Action action;
    std::vector<const wchar_t*> kept;
  };
  const Case cases[] = {
      {"read_two_app1.jpg",
       Action::Gps,
       {L"/app1/ifd/{ushort=271}", L"/[1]app1/ifd/{ushort=271}", L"/[1]xmp/dc:source"}},
      {"read_two_app1.jpg", Action::All, {}},
      {"read_ext_xmp.jpg", Action::All, {}},
      // The packet's own fields removed one by one while an EXIF field is
      // written: the extension goes with its packet.
      {"read_ext_xmp.jpg", Action::XmpByHandArtistAdded, {L"/app1/ifd/{ushort=315}"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " action " + std::to_string(static_cast<int>(c.action)));
    const std::wstring path = ScratchDir("container_read_remove") + L"/remove.jpg";
    WriteBytes(path, ReadBytes(Fixture(c.file)));
    MetaDoc doc;
    ASSERT_TRUE(meta_load(path, &doc));
    if (c.action == Action::Gps) {
      meta_remove_gps(&doc);
    } else if (c.action == Action::All) {
      meta_remove_all(&doc);
    } else {
      for (MetaField& f : doc.fields) {
        if (f.removable && StartsWith(f.key, L"/xmp/")) f.removed = true;
      }
      const MetaPreset* presets = nullptr;
      const std::int32_t n = meta_presets(doc, &presets);
      std::int32_t at = -1;
      for (std::int32_t i = 0; i < n; ++i) {
        if (std::wstring(presets[i].label) == L"Artist") at = meta_add(&doc, presets[i]);
      }
      ASSERT_GE(at, 0);
      doc.fields[static_cast<std::size_t>(at)].value = L"Kept";
    }
    wchar_t err[512] = {};
    ASSERT_TRUE(meta_save(doc, err, 512)) << platform::WideToUtf8(err);
    MetaDoc after;
    ASSERT_TRUE(meta_load(path, &after));
    for (const MetaField& f : after.fields) {
      const std::string key = platform::WideToUtf8(f.key);
      EXPECT_NE(f.group, L"GPS") << key;
      EXPECT_NE(f.label, L"Extended XMP (incomplete)") << key;
      EXPECT_EQ(f.key.find(L"/xmpext"), std::wstring::npos) << key;
      if (c.action == Action::All) {
        // Only what cannot be removed is left, and the orientation the
        // picture is shown with.
        EXPECT_TRUE(!f.removable || f.key == L"/app1/ifd/{ushort=274}") << key;
      }
    }
    for (const wchar_t* key : c.kept) {
      EXPECT_NE(Find(after, key), nullptr) << platform::WideToUtf8(key);
    }
    const std::vector<std::uint8_t> saved = ReadBytes(path);
    const std::string text(saved.begin(), saved.end());
    EXPECT_EQ(text.find("http://ns.adobe.com/xmp/extension/"), std::string::npos);
    if (c.action == Action::All) {
      EXPECT_EQ(text.find("second packet"), std::string::npos);
    }
  }
}

}  // namespace

namespace {

// A TIFF whose first directory the pixel decoder refuses (no width) still
// lists its fields, with no size.
TEST(ContainerRead, TiffWithoutAPictureListsItsFields) {
  std::vector<std::uint8_t> tif = ReadBytes(Fixture("meta_full.tif"));
  ASSERT_GE(tif.size(), 8u);
  const bool be = tif[0] == 'M';
  auto u16 = [&](std::size_t at) {
    return be ? static_cast<unsigned>(tif[at] << 8 | tif[at + 1])
              : static_cast<unsigned>(tif[at] | tif[at + 1] << 8);
  };
  auto u32 = [&](std::size_t at) {
    return be ? (u16(at) << 16 | u16(at + 2)) : (u16(at) | u16(at + 2) << 16);
  };
  const std::size_t ifd = u32(4);
  const unsigned count = u16(ifd);
  bool patched = false;
  for (unsigned i = 0; i < count; ++i) {
    const std::size_t e = ifd + 2 + 12 * i;
    if (u16(e) != 256) continue;
    for (std::size_t k = 8; k < 12; ++k) tif[e + k] = 0;  // ImageWidth 0
    patched = true;
  }
  ASSERT_TRUE(patched);
  const std::wstring path = ScratchDir("container_read_tiff") + L"/nowidth.tif";
  WriteBytes(path, tif);
  MetaDoc doc;
  ASSERT_TRUE(meta_load(path, &doc));
  EXPECT_EQ(doc.format, L"TIFF");
  EXPECT_EQ(Find(doc, L"file:Dimensions"), nullptr);
  const MetaField* make = Find(doc, L"/ifd/{ushort=271}");
  ASSERT_NE(make, nullptr);
  EXPECT_EQ(make->value, L"Norvane");
}

}  // namespace
