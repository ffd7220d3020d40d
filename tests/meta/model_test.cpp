// The metadata document: change tests, block survival and the integer
// formatter.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "meta/meta.h"

namespace {

MetaField Loaded(const std::wstring& key, const std::wstring& label, const std::wstring& value) {
  MetaField f;
  f.key = key;
  f.label = f.loadedLabel = label;
  f.value = f.loadedValue = value;
  return f;
}

TEST(MetaModelTest, FreshRecordsAreEmpty) {
  MetaField f;
  EXPECT_TRUE(f.key.empty() && f.label.empty() && f.value.empty() && f.loadedValue.empty());
  EXPECT_EQ(f.varType, 0);
  EXPECT_EQ(f.blockIndex, -1);
  EXPECT_FALSE(f.editable || f.renamable || f.removable || f.removed || f.added);
  MetaDoc d;
  EXPECT_FALSE(d.editable);
  EXPECT_EQ(d.fileTime, 0u);
  EXPECT_TRUE(d.fields.empty() && d.bytes.empty() && d.format.empty() && d.note.empty());
  EXPECT_FALSE(meta_field_changed(f));
}

struct ChangeCase {
  const char* what;
  bool added;
  bool removed;
  const wchar_t* value;
  const wchar_t* label;
  bool changed;
};

// Loaded value "old", loaded label "Key".
const ChangeCase kChangeCases[] = {
    {"untouched", false, false, L"old", L"Key", false},
    {"value edited", false, false, L"new", L"Key", true},
    {"value edited back", false, false, L"old", L"Key", false},
    {"value shortened", false, false, L"ol", L"Key", true},
    {"value emptied", false, false, L"", L"Key", true},
    {"value case differs", false, false, L"Old", L"Key", true},
    {"label edited", false, false, L"old", L"Keyword", true},
    {"label edited back", false, false, L"old", L"Key", false},
    {"removed", false, true, L"old", L"Key", true},
    {"removed and edited", false, true, L"new", L"Key", true},
    {"added with value", true, false, L"new", L"Key", true},
    {"added, still empty", true, false, L"", L"Key", false},
    {"added then removed", true, true, L"new", L"Key", false},
    {"added, empty, removed", true, true, L"", L"Keyword", false},
};

TEST(MetaModelTest, FieldChangedTruthTable) {
  for (const ChangeCase& c : kChangeCases) {
    MetaField f = Loaded(L"png:3", L"Key", L"old");
    f.added = c.added;
    f.removed = c.removed;
    f.value = c.value;
    f.label = c.label;
    EXPECT_EQ(meta_field_changed(f), c.changed) << c.what;
  }
}

TEST(MetaModelTest, RemoveThenUnmarkReturnsToEarlierState) {
  MetaField f = Loaded(L"/app1/ifd/{ushort=270}", L"Title", L"Sea");
  f.removed = true;
  EXPECT_TRUE(meta_field_changed(f));
  f.removed = false;
  EXPECT_FALSE(meta_field_changed(f));
  f.value = L"Sky";
  f.removed = true;
  f.removed = false;
  EXPECT_TRUE(meta_field_changed(f));  // the edit is still there
}

TEST(MetaModelTest, DirtyWhenAnyFieldChanged) {
  MetaDoc doc;
  EXPECT_FALSE(meta_dirty(doc));
  doc.fields.push_back(Loaded(L"file:Name", L"Name", L"a.jpg"));
  doc.fields.push_back(Loaded(L"png:1", L"Title", L"x"));
  doc.fields.push_back(Loaded(L"png:2", L"Author", L"y"));
  EXPECT_FALSE(meta_dirty(doc));
  doc.fields[2].label = L"Artist";
  EXPECT_TRUE(meta_dirty(doc));
  doc.fields[2].label = L"Author";
  MetaField added;
  added.key = L"png:new:1";
  added.added = true;
  doc.fields.push_back(added);
  EXPECT_FALSE(meta_dirty(doc));  // an empty added field is no change
  doc.fields.back().value = L"z";
  EXPECT_TRUE(meta_dirty(doc));
}

struct KeptField {
  const wchar_t* key;
  bool removable;
  bool removed;
  bool added;
  const wchar_t* value;
};

struct KeptCase {
  const char* what;
  std::vector<KeptField> fields;
  bool kept;
};

const KeptCase kKeptCases[] = {
    {"no fields", {}, false},
    {"only file facts and png text",
     {{L"file:Name", false, false, false, L"a"}, {L"png:3", true, false, false, L"b"}},
     false},
    {"one EXIF row", {{L"/app1/ifd/{ushort=270}", true, false, false, L"x"}}, true},
    {"IPTC row", {{L"/app13/irb/8bimiptc/iptc/{str=Caption}", true, false, false, L"x"}}, true},
    {"XMP row", {{L"/xmp/dc:title", true, false, false, L"x"}}, true},
    {"JPEG comment", {{L"/com/TextEntry", true, false, false, L"x"}}, true},
    {"GIF comment via index", {{L"/[2]commentext/TextEntry", false, false, false, L"x"}}, false},
    {"indexed com block", {{L"/[1]com/TextEntry", false, false, false, L"x"}}, true},
    {"EXIF row removed", {{L"/app1/ifd/{ushort=270}", true, true, false, L"x"}}, false},
    {"added EXIF row still empty", {{L"/app1/ifd/{ushort=315}", true, false, true, L""}}, false},
    {"added EXIF row with a value", {{L"/app1/ifd/{ushort=315}", true, false, true, L"Me"}}, true},
    {"only unremovable unknown blocks",
     {{L"/app2/unknown/{}", false, false, false, L""},
      {L"/app14/unknown/{}", false, false, false, L""}},
     false},
    {"removable unknown block", {{L"/app2/unknown/{}", true, false, false, L""}}, true},
    {"removed unknown block", {{L"/app2/unknown/{}", true, true, false, L""}}, false},
    {"unremovable unknown block, then an IPTC row",
     {{L"/app2/unknown/{}", false, false, false, L""},
      {L"/app13/irb/{ushort=1028}", false, false, false, L"x"}},
     true},
    {"removed EXIF, then a removable unknown block",
     {{L"/app1/ifd/{ushort=270}", true, true, false, L"x"},
      {L"/app1/unknown/{}", true, false, false, L""}},
     true},
    {"prefix must be at the start",
     {{L"exif:/app1/ifd/{ushort=270}", true, false, false, L"x"}},
     false},
};

TEST(MetaModelTest, AnyMetaKeptTable) {
  for (const KeptCase& c : kKeptCases) {
    MetaDoc doc;
    for (const KeptField& k : c.fields) {
      MetaField f = Loaded(k.key, L"L", k.value);
      f.removable = k.removable;
      f.removed = k.removed;
      f.added = k.added;
      if (k.added) f.loadedValue.clear();
      doc.fields.push_back(f);
    }
    EXPECT_EQ(AnyMetaKept(doc), c.kept) << c.what;
  }
}

TEST(MetaModelTest, NumFormatsDecimal) {
  const struct {
    std::int64_t n;
    const wchar_t* text;
  } kCases[] = {
      {-1, L"-1"},
      {0, L"0"},
      {7, L"7"},
      {52, L"52"},
      {-1000, L"-1000"},
      {4294967296LL, L"4294967296"},
      {std::numeric_limits<std::int64_t>::max(), L"9223372036854775807"},
      {std::numeric_limits<std::int64_t>::min(), L"-9223372036854775808"},
  };
  for (const auto& c : kCases) EXPECT_EQ(Num(c.n), c.text) << c.n;
}

}  // namespace
