// The PNG metadata rewrite: chunks written with their CRC, text written as
// tEXt or iTXt, edited and added text in its place, removed text and tIME
// left out, the eXIf chunk regenerated only when its EXIF changed, and every
// other chunk byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta_internal.h"
#include "meta/parsers.h"
#include "platform/platform.h"
#include "tests/meta/meta_test_helpers.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::Fixture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

struct Chunk {
  std::string type;
  Bytes whole;  // length, type, data and CRC
  Bytes data;
};

std::vector<Chunk> Chunks(const Bytes& png) {
  std::vector<meta::Chunk> list;
  EXPECT_TRUE(meta::ParsePng(png, &list));
  std::vector<Chunk> out;
  for (const meta::Chunk& c : list) {
    const auto at = png.begin() + static_cast<std::ptrdiff_t>(c.offset);
    out.push_back({c.type, Bytes(at, at + static_cast<std::ptrdiff_t>(c.length + 12)),
                   Bytes(at + 8, at + 8 + static_cast<std::ptrdiff_t>(c.length))});
  }
  return out;
}

std::vector<std::string> Types(const Bytes& png) {
  std::vector<std::string> out;
  for (const Chunk& c : Chunks(png)) out.push_back(c.type);
  return out;
}

// The fixture with a chunk put in front of the first chunk of type `before`.
Bytes Insert(const Bytes& png, const Bytes& chunk, const std::string& before) {
  std::vector<meta::Chunk> list;
  EXPECT_TRUE(meta::ParsePng(png, &list));
  for (const meta::Chunk& c : list) {
    if (c.type != before) continue;
    Bytes out(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(c.offset));
    out.insert(out.end(), chunk.begin(), chunk.end());
    out.insert(out.end(), png.begin() + static_cast<std::ptrdiff_t>(c.offset), png.end());
    return out;
  }
  ADD_FAILURE() << "no " << before;
  return png;
}

Bytes TextChunk(const std::string& keyword, const std::string& text) {
  Bytes data(keyword.begin(), keyword.end());
  data.push_back(0);
  data.insert(data.end(), text.begin(), text.end());
  Bytes out;
  PutChunk(&out, "tEXt", data.data(), data.size());
  return out;
}

// The fixture's EXIF as an eXIf chunk in front of IDAT.
Bytes WithExif() {
  const Bytes jpeg = ReadBytes(Fixture("meta_full.jpg"));
  std::vector<meta::Seg> segs;
  std::uint64_t scan = 0;
  EXPECT_TRUE(meta::ParseJpeg(jpeg, &segs, &scan));
  Bytes tiff;
  for (const meta::Seg& s : segs) {
    if (s.marker == 0xE1 && std::memcmp(jpeg.data() + s.offset + 4, "Exif\0\0", 6) == 0) {
      tiff.assign(jpeg.begin() + static_cast<std::ptrdiff_t>(s.offset + 10),
                  jpeg.begin() + static_cast<std::ptrdiff_t>(s.offset + s.size));
      break;
    }
  }
  Bytes chunk;
  PutChunk(&chunk, "eXIf", tiff.data(), tiff.size());
  return Insert(ReadBytes(Fixture("meta_full.png")), chunk, "IDAT");
}

MetaDoc Parse(const Bytes& png) { return meta_test::ParseAs(png, L"PNG", false); }

MetaField* Text(MetaDoc* doc, const std::wstring& label) {
  for (MetaField& f : doc->fields) {
    if (StartsWith(f.key, L"png:") && f.loadedLabel == label) return &f;
  }
  ADD_FAILURE() << "no field " << platform::WideToUtf8(label);
  static MetaField none;
  return &none;
}

Bytes Save(const MetaDoc& doc) {
  Bytes out;
  std::wstring err;
  EXPECT_TRUE(SavePng(doc, &out, &err)) << platform::WideToUtf8(err);
  return out;
}

TEST(PutChunk, LengthTypeDataCrc) {
  Bytes iend;
  PutChunk(&iend, "IEND", nullptr, 0);
  EXPECT_EQ(iend, (Bytes{0, 0, 0, 0, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}));
  // Every chunk of a real file keeps its stored CRC when written again.
  for (const Chunk& c : Chunks(ReadBytes(Fixture("meta_full.png")))) {
    Bytes again;
    PutChunk(&again, c.type.c_str(), c.data.data(), c.data.size());
    EXPECT_EQ(again, c.whole) << c.type;
  }
}

TEST(PutText, LatinOneOrUtf8) {
  struct Case {
    std::wstring text;
    std::string type;
    Bytes data;
  };
  const std::vector<Case> cases = {
      {L"caf\u00E9", "tEXt", {'k', 0, 'c', 'a', 'f', 0xE9}},
      {L"5 \u20AC", "iTXt", {'k', 0, 0, 0, 0, 0, '5', ' ', 0xE2, 0x82, 0xAC}},
      {L"", "tEXt", {'k', 0}},
  };
  for (const Case& c : cases) {
    Bytes out;
    PutText(&out, L"k", 1, c.text);
    ASSERT_GE(out.size(), 12u);
    EXPECT_EQ(std::string(out.begin() + 4, out.begin() + 8), c.type);
    EXPECT_EQ(Bytes(out.begin() + 8, out.end() - 4), c.data);
  }
}

TEST(SavePng, ChunksEndUpWhereTheyBelong) {
  const Bytes plain = ReadBytes(Fixture("meta_full.png"));
  const Bytes after = {'t', 'a', 'i', 'l'};
  Bytes withTail = Insert(plain, TextChunk("Late", "after the picture"), "IEND");
  withTail.insert(withTail.end(), after.begin(), after.end());
  struct Case {
    const char* name;
    void (*edit)(MetaDoc*);
    std::vector<std::string> types;      // chunk types afterwards
    std::vector<std::string> rewritten;  // types of the chunks written anew, in order
    std::string check;                   // a text chunk's data that must be there
  };
  const std::vector<std::string> original = Types(withTail);
  const std::vector<Case> cases = {
      {"no edits", [](MetaDoc*) {}, original, {}, ""},
      {"a tEXt value",
       [](MetaDoc* d) { Text(d, L"Copyright")->value = L"Mine"; },
       original,
       {"tEXt"},
       std::string("Copyright\0Mine", 14)},
      {"a value beyond Latin-1",
       [](MetaDoc* d) { Text(d, L"Copyright")->value = L"5 \u20AC"; },
       {},
       {"iTXt"},
       ""},
      {"a renamed keyword",
       [](MetaDoc* d) { Text(d, L"Copyright")->label = L"Rights"; },
       original,
       {"tEXt"},
       std::string("Rights\0Free", 11)},
      {"an edited zTXt",
       [](MetaDoc* d) { Text(d, L"Title")->value = L"short"; },
       {},
       {"tEXt"},
       std::string("Title\0short", 11)},
      {"tIME removed",
       [](MetaDoc* d) {
         for (MetaField& f : d->fields) {
           if (f.label == L"Last modified (tIME)") f.removed = true;
         }
       },
       {},
       {},
       ""},
      {"text removed", [](MetaDoc* d) { Text(d, L"comment")->removed = true; }, {}, {}, ""},
      {"two added before the first IDAT",
       [](MetaDoc* d) {
         ASSERT_GE(meta_add(d, kPngPresets[0]), 0);
         d->fields.back().value = L"one";
         ASSERT_GE(meta_add(d, kPngPresets[1]), 0);
         d->fields.back().value = L"two";
       },
       {},
       {"tEXt", "tEXt"},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MetaDoc doc = Parse(withTail);
    c.edit(&doc);
    const Bytes out = Save(doc);
    EXPECT_EQ(Bytes(out.end() - 4, out.end()), after);
    const std::vector<Chunk> before = Chunks(withTail), now = Chunks(out);
    if (!c.types.empty()) {
      EXPECT_EQ(Types(out), c.types);
    }
    // Every chunk of the old file is either kept whole or accounted for.
    std::vector<std::string> fresh;
    for (const Chunk& n : now) {
      const bool kept = std::any_of(before.begin(), before.end(),
                                    [&](const Chunk& b) { return b.whole == n.whole; });
      if (!kept) fresh.push_back(n.type);
    }
    EXPECT_EQ(fresh, c.rewritten);
    if (!c.check.empty()) {
      const bool found = std::any_of(now.begin(), now.end(), [&](const Chunk& n) {
        return std::string(n.data.begin(), n.data.end()) == c.check;
      });
      EXPECT_TRUE(found) << c.check;
    }
    if (std::string(c.name) == "no edits") {
      EXPECT_EQ(out, withTail);
    }
    if (std::string(c.name) == "tIME removed") {
      const std::vector<std::string> t = Types(out);
      EXPECT_EQ(std::count(t.begin(), t.end(), "tIME"), 0);
    }
    if (std::string(c.name) == "two added before the first IDAT") {
      const std::vector<std::string> t = Types(out);
      const auto idat = std::find(t.begin(), t.end(), "IDAT") - t.begin();
      ASSERT_GE(idat, 2);
      EXPECT_EQ(now[static_cast<std::size_t>(idat - 2)].whole, TextChunk("Title", "one"));
      EXPECT_EQ(now[static_cast<std::size_t>(idat - 1)].whole, TextChunk("Author", "two"));
    }
  }
}

TEST(SavePng, KeywordRule) {
  const Bytes png = ReadBytes(Fixture("meta_full.png"));
  for (const std::wstring& bad :
       {std::wstring(80, L'k'), std::wstring(L" lead"), std::wstring(L"a  b")}) {
    MetaDoc doc = Parse(png);
    Text(&doc, L"Copyright")->label = bad;
    Bytes out;
    std::wstring err;
    EXPECT_FALSE(SavePng(doc, &out, &err));
    EXPECT_EQ(err, meta_png_keyword_error(bad));
  }
  MetaDoc damaged = Parse(png);
  damaged.bytes.resize(damaged.bytes.size() - 12);  // no IEND
  Bytes out;
  std::wstring err;
  EXPECT_FALSE(SavePng(damaged, &out, &err));
  EXPECT_EQ(err, L"This PNG file is damaged and can't be rewritten safely.");
}

TEST(SavePng, ExifChunkRegeneratedOnlyWhenChanged) {
  const Bytes png = WithExif();
  MetaDoc untouched = Parse(png);
  EXPECT_EQ(Save(untouched), png);
  MetaDoc doc = Parse(png);
  MetaField* make = nullptr;
  for (MetaField& f : doc.fields) {
    if (f.key == L"exif:/app1/ifd/{ushort=271}") make = &f;
  }
  ASSERT_NE(make, nullptr);
  make->value = L"Edited Make";
  const Bytes out = Save(doc);
  EXPECT_EQ(Types(out), Types(png));  // eXIf stays where it was
  MetaDoc again = Parse(out);
  bool found = false;
  for (const MetaField& f : again.fields) {
    if (f.key == L"exif:/app1/ifd/{ushort=271}") found = f.value == L"Edited Make";
  }
  EXPECT_TRUE(found);
  EXPECT_TRUE(SamePicture(png, out));
}

TEST(SavePng, SavedThroughMetaSave) {
  const std::wstring path = ScratchDir("meta_save_png") + L"/picture.png";
  WriteBytes(path, ReadBytes(Fixture("meta_full.png")));
  MetaDoc doc;
  ASSERT_TRUE(meta_load(path, &doc));
  ASSERT_TRUE(doc.editable);
  Text(&doc, L"Copyright")->value = L"Saved \u00E9";
  wchar_t err[512] = {};
  ASSERT_TRUE(meta_save(doc, err, 512)) << platform::WideToUtf8(err);
  MetaDoc after;
  ASSERT_TRUE(meta_load(path, &after));
  EXPECT_EQ(Text(&after, L"Copyright")->value, L"Saved \u00E9");
}

}  // namespace
