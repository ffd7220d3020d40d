// The metadata window's list without a window: rows in group order, the
// scroll thumb and its drag, hit tests, button rules, status and file lines,
// the removal links and the "Add field" choice.
#include "meta/rows.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta.h"

namespace {

MetaField Field(const std::wstring& key, const std::wstring& group, const std::wstring& value,
                bool removable = true) {
  MetaField f;
  f.key = key;
  f.group = group;
  f.label = f.loadedLabel = key;
  f.value = f.loadedValue = value;
  f.varType = 30;
  f.editable = removable;
  f.removable = removable;
  return f;
}

MetaDoc Doc(std::vector<MetaField> fields, bool editable = true) {
  MetaDoc d;
  d.path = L"dir/picture.jpg";
  d.format = L"JPEG";
  d.editable = editable;
  d.fields = std::move(fields);
  return d;
}

// "H:group" for a heading, the field's key for a field row.
std::vector<std::wstring> Shape(const MetaDoc& doc, const std::vector<Row>& rows) {
  std::vector<std::wstring> out;
  std::int32_t y = 0;
  for (const Row& r : rows) {
    EXPECT_EQ(r.top, y);
    y += r.height;
    if (r.fieldIndex < 0) {
      EXPECT_EQ(r.height, 34);
      out.push_back(L"H:" + r.group);
    } else {
      EXPECT_EQ(r.height, 26);
      out.push_back(doc.fields[static_cast<std::size_t>(r.fieldIndex)].key);
    }
  }
  return out;
}

// A document whose list is total units high: n field rows in one group plus
// the heading make 34 + 26 n + 8.
MetaDoc DocOfRows(int n) {
  std::vector<MetaField> fields;
  for (int i = 0; i < n; ++i) fields.push_back(Field(L"k" + std::to_wstring(i), L"XMP", L"v"));
  return Doc(std::move(fields));
}

TEST(MetaRows, GroupsInFixedOrderThenUnknownGroupsByFirstField) {
  MetaDoc doc = Doc({
      Field(L"tech", L"Technical", L"1"),
      Field(L"odd1", L"Odd", L"1"),
      Field(L"gps", L"GPS", L"1"),
      Field(L"file", L"File", L"1", false),
      Field(L"odd0", L"Another", L"1"),
      Field(L"gps2", L"GPS", L"2"),
      Field(L"odd2", L"Odd", L"2"),
  });
  // Added and removed again: not shown at all, its group has no heading.
  MetaField gone = Field(L"gone", L"Comment", L"x");
  gone.added = gone.removed = true;
  doc.fields.push_back(gone);
  // Removed but loaded: still shown.
  MetaField marked = Field(L"marked", L"Comment", L"x");
  marked.removed = true;
  doc.fields.push_back(marked);

  std::vector<Row> rows;
  std::int32_t total = 0, scroll = 999;
  BuildRows(doc, &rows, &total, &scroll);
  const std::vector<std::wstring> want = {
      L"H:File",      L"file", L"H:GPS", L"gps",  L"gps2", L"H:Comment", L"marked",
      L"H:Technical", L"tech", L"H:Odd", L"odd1", L"odd2", L"H:Another", L"odd0"};
  EXPECT_EQ(Shape(doc, rows), want);
  EXPECT_EQ(total, 6 * 34 + 8 * 26 + 8);
  EXPECT_EQ(scroll, 0) << "a short list cannot stay scrolled";
}

TEST(MetaRows, EmptyDocumentHasNoRowsNoThumbAndNoSave) {
  const MetaDoc doc = Doc({});
  std::vector<Row> rows(3);
  std::int32_t total = 0, scroll = 0;
  BuildRows(doc, &rows, &total, &scroll);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(total, 8);
  EXPECT_TRUE(ThumbRect(total, 0).empty());
  EXPECT_FALSE(BtnEnabled(doc, kBtnSave));
}

TEST(MetaRows, ScrollIsPulledBackWhenTheListShrinks) {
  MetaDoc doc = DocOfRows(40);  // 34 + 1040 + 8 = 1082
  std::vector<Row> rows;
  std::int32_t total = 0, scroll = 5000;
  BuildRows(doc, &rows, &total, &scroll);
  EXPECT_EQ(total, 1082);
  EXPECT_EQ(scroll, 1082 - 506);
  scroll = 100;
  BuildRows(doc, &rows, &total, &scroll);
  EXPECT_EQ(scroll, 100) << "a scroll in range is kept";
}

TEST(MetaRows, ThumbGeometry) {
  struct Case {
    std::int32_t total, scroll;
    RowRect want;
  };
  const Case cases[] = {
      {506, 0, {668, 104, 674, 104}},    // fits exactly: no thumb
      {507, 0, {668, 104, 674, 609}},    // 505 long
      {507, 1, {668, 105, 674, 610}},    // the largest scroll is 1
      {10000, 0, {668, 104, 674, 132}},  // the minimum length of 28
      {10000, 9494, {668, 582, 674, 610}},
      {1012, 253, {668, 104 + 126, 674, 104 + 126 + 253}},  // half way: (506 − 253) / 2
  };
  for (const Case& c : cases) {
    const RowRect r = ThumbRect(c.total, c.scroll);
    EXPECT_EQ(r.left, c.want.left) << c.total << "/" << c.scroll;
    EXPECT_EQ(r.top, c.want.top) << c.total << "/" << c.scroll;
    EXPECT_EQ(r.right, c.want.right) << c.total << "/" << c.scroll;
    EXPECT_EQ(r.bottom, c.want.bottom) << c.total << "/" << c.scroll;
  }
  EXPECT_EQ(MaxScroll(506), 0);
  EXPECT_EQ(MaxScroll(507), 1);
}

TEST(MetaRows, ThumbDragMapsMouseTravelToScrollAndClamps) {
  // total 1012: thumb 253 long, 253 units of travel for 506 of scroll.
  EXPECT_EQ(DragScroll(1012, 0, 200, 300, 253), 200);
  EXPECT_EQ(DragScroll(1012, 100, 200, 150, 253), 0) << "clamped at the top";
  EXPECT_EQ(DragScroll(1012, 400, 200, 900, 253), 506) << "clamped at the bottom";
  EXPECT_EQ(DragScroll(1012, 10, 200, 201, 253), 12);
  EXPECT_EQ(DragScroll(400, 0, 200, 300, 0), 0) << "nothing to scroll";
}

TEST(MetaRows, ScrollingLimitsAndWheel) {
  EXPECT_EQ(WheelUnits(-120), 78) << "a notch down scrolls three rows";
  EXPECT_EQ(WheelUnits(120), -78);
  EXPECT_EQ(WheelUnits(-60), 39);
  EXPECT_EQ(WheelUnits(1), 0) << "truncated toward zero";
  EXPECT_EQ(WheelUnits(-1), 0);
  EXPECT_EQ(ClampScroll(1082, -78), 0);
  EXPECT_EQ(ClampScroll(1082, 2000), 576);
  EXPECT_EQ(ClampScroll(300, 50), 0) << "a short list never scrolls";
}

TEST(MetaRows, ScrollToShowBringsAnEditedRowIntoView) {
  const Row above{0, L"g", 100, 26}, below{0, L"g", 700, 26}, inside{0, L"g", 300, 26};
  EXPECT_EQ(ScrollToShow(above, 200, 2000), 100);
  EXPECT_EQ(ScrollToShow(below, 0, 2000), 700 + 26 - 506);
  EXPECT_EQ(ScrollToShow(inside, 0, 2000), 0);
  EXPECT_EQ(ScrollToShow(below, 0, 600), 94) << "limited to the largest scroll";
}

TEST(MetaRows, HitRowFindsFieldRowsAndParts) {
  const MetaDoc doc = DocOfRows(40);
  std::vector<Row> rows;
  std::int32_t total = 0, scroll = 0;
  BuildRows(doc, &rows, &total, &scroll);
  struct Case {
    std::int32_t scroll, x, y;
    std::int32_t row, part;
  };
  const Case cases[] = {
      {0, 100, 104, -1, 0},           // the heading
      {0, 100, 137, -1, 0},           // the heading's last unit
      {0, 100, 138, 1, 1},            // the first field row's label
      {0, 245, 150, 1, 1},            // label up to 245
      {0, 246, 150, 1, 2},            // value from 246
      {0, 591, 150, 1, 2},            // value up to 591
      {0, 592, 150, 1, 3},            // link from 592
      {0, 654, 150, 1, 3},            // the link's right edge
      {0, 655, 150, -1, 0},           // the gap before the thumb
      {0, 15, 150, -1, 0},            // left of the rows
      {0, 100, 103, -1, 0},           // above the list
      {0, 100, 609, 19, 1},           // the last line of the list
      {0, 100, 610, -1, 0},           // below it
      {26, 100, 112, 1, 1},           // scrolled: the first field row starts at y 112
      {1082 - 506, 100, 609, -1, 0},  // the 8-unit margin at the end of the list
      {1082 - 506, 100, 601, 40, 1},  // the last field row
  };
  for (const Case& c : cases) {
    std::int32_t part = -7;
    EXPECT_EQ(HitRow(rows, c.scroll, c.x, c.y, &part), c.row)
        << c.x << "," << c.y << "@" << c.scroll;
    EXPECT_EQ(part, c.part) << c.x << "," << c.y << "@" << c.scroll;
  }
  EXPECT_EQ(FirstRowFrom(rows, 0), 0u);
  EXPECT_EQ(FirstRowFrom(rows, 35), 1u) << "the heading ends at 34";
  EXPECT_EQ(FirstRowFrom(rows, 5000), rows.size());
}

TEST(MetaRows, HitButtonUsesHalfOpenRectangles) {
  struct Case {
    std::int32_t x, y, id;
  };
  const Case cases[] = {
      {26, 628, kBtnAddField},
      {121, 661, kBtnAddField},
      {122, 640, -1},
      {130, 640, kBtnRemoveGps},
      {242, 640, kBtnRemoveAll},
      {454, 640, kBtnSave},
      {558, 640, kBtnClose},
      {653, 640, kBtnClose},
      {654, 640, -1},
      {100, 627, -1},
      {100, 662, -1},
      {400, 640, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(HitButton(c.x, c.y), c.id) << c.x << "," << c.y;
}

TEST(MetaRows, ButtonRules) {
  MetaDoc doc = Doc({Field(L"gps", L"GPS", L"1"), Field(L"a", L"XMP", L"1")});
  EXPECT_TRUE(BtnEnabled(doc, kBtnAddField));
  EXPECT_TRUE(BtnEnabled(doc, kBtnRemoveGps));
  EXPECT_TRUE(BtnEnabled(doc, kBtnRemoveAll));
  EXPECT_FALSE(BtnEnabled(doc, kBtnSave)) << "nothing changed";
  EXPECT_TRUE(BtnEnabled(doc, kBtnClose));
  doc.fields[0].removed = true;
  EXPECT_FALSE(BtnEnabled(doc, kBtnRemoveGps)) << "every GPS field is marked already";
  EXPECT_TRUE(BtnEnabled(doc, kBtnSave));
  doc.editable = false;
  for (std::int32_t id : {kBtnAddField, kBtnRemoveGps, kBtnRemoveAll, kBtnSave}) {
    EXPECT_FALSE(BtnEnabled(doc, id)) << id << " in a view-only document";
  }
  EXPECT_TRUE(BtnEnabled(doc, kBtnClose));
  EXPECT_TRUE(BtnEnabled(doc, 12345));
}

TEST(MetaRows, StatusAndFileLines) {
  MetaDoc doc = Doc({Field(L"a", L"XMP", L"1"), Field(L"b", L"XMP", L"2")});
  EXPECT_EQ(StatusText(doc, L""), L"");
  EXPECT_EQ(StatusText(doc, L"Saved. The picture itself was not changed."),
            L"Saved. The picture itself was not changed.");
  doc.fields[0].value = L"9";
  EXPECT_EQ(StatusText(doc, L"Saved."), L"1 unsaved change");
  doc.fields[1].removed = true;
  EXPECT_EQ(StatusText(doc, L""), L"2 unsaved changes");
  // An added field removed again does not count.
  MetaField added = Field(L"c", L"XMP", L"x");
  added.added = added.removed = true;
  doc.fields.push_back(added);
  EXPECT_EQ(ChangedCount(doc), 2);

  EXPECT_EQ(FileLine(doc), L"picture.jpg   \u00B7   JPEG   \u00B7   click a value to change it");
  doc.editable = false;
  doc.format.clear();
  EXPECT_EQ(FileLine(doc), L"picture.jpg   \u00B7   view only");
  EXPECT_EQ(RefusedValueMessage(L"abc", L"ISO speed", L"Type a whole number."),
            L"\u201C"
            L"abc\u201D is not a valid value for ISO speed.\n\nType a whole number.");
}

TEST(MetaRows, RemovalLinkTogglesWholeGroupsWhereTheyBelongTogether) {
  MetaDoc doc = Doc({
      Field(L"t1", L"Embedded thumbnail", L"1"),
      Field(L"t2", L"Embedded thumbnail", L"2"),
      Field(L"t3", L"Embedded thumbnail", L"3", false),  // not removable: never marked
      Field(L"i1", L"IPTC and Photoshop", L"1"),
      Field(L"i2", L"IPTC and Photoshop", L"2"),
      Field(L"x1", L"XMP", L"1"),
      Field(L"x2", L"XMP", L"2"),
  });
  ASSERT_TRUE(ToggleRemoval(&doc, 1));
  EXPECT_TRUE(doc.fields[0].removed && doc.fields[1].removed);
  EXPECT_FALSE(doc.fields[2].removed);
  EXPECT_FALSE(doc.fields[3].removed) << "another group is untouched";
  // "undo" on any member restores them all.
  ASSERT_TRUE(ToggleRemoval(&doc, 0));
  EXPECT_FALSE(doc.fields[0].removed || doc.fields[1].removed);
  // A member marked alone is set with the group, not flipped.
  doc.fields[4].removed = true;
  ASSERT_TRUE(ToggleRemoval(&doc, 3));
  EXPECT_TRUE(doc.fields[3].removed && doc.fields[4].removed);
  // Other groups: one field at a time.
  ASSERT_TRUE(ToggleRemoval(&doc, 5));
  EXPECT_TRUE(doc.fields[5].removed);
  EXPECT_FALSE(doc.fields[6].removed);
  EXPECT_FALSE(ToggleRemoval(&doc, 2)) << "not removable";
  EXPECT_FALSE(ToggleRemoval(&doc, -1));
  EXPECT_FALSE(ToggleRemoval(&doc, 7));
}

TEST(MetaRows, RenamingTrimsSpacesOnly) {
  struct Case {
    const wchar_t* typed;
    const wchar_t* label;  // after the commit
  };
  const Case cases[] = {
      {L"   ", L"Title"},                // all spaces: unchanged
      {L"", L"Title"},                   // empty: unchanged
      {L"  Author  ", L"Author"},        // spaces trimmed
      {L"\tAuthor ", L"\tAuthor"},       // tabs stay
      {L" Two  words ", L"Two  words"},  // inner spaces stay
  };
  for (const Case& c : cases) {
    MetaField f = Field(L"png:0", L"PNG text", L"v");
    f.label = L"Title";
    RenameField(&f, c.typed);
    EXPECT_EQ(f.label, c.label) << "typed \"" << ToUtf8(c.typed) << "\"";
  }
}

TEST(MetaRows, AddFieldOpensTheExistingFieldOrTheNewOne) {
  MetaDoc doc = Doc({});
  const MetaPreset* presets = nullptr;
  const std::int32_t n = meta_presets(doc, &presets);
  ASSERT_GT(n, 0);
  const MetaPreset& first = presets[0];
  bool byName = true;
  const std::int32_t i = AddFromPreset(&doc, first, &byName);
  ASSERT_EQ(i, 0);
  EXPECT_FALSE(byName);
  EXPECT_EQ(doc.fields.size(), 1u);
  // Again: no second field, the first opens.
  byName = true;
  EXPECT_EQ(AddFromPreset(&doc, first, &byName), 0);
  EXPECT_FALSE(byName);
  EXPECT_EQ(doc.fields.size(), 1u);

  // PNG: the custom entry opens the keyword first, the others the value.
  MetaDoc png = Doc({});
  png.format = L"PNG";
  const std::int32_t pn = meta_presets(png, &presets);
  ASSERT_GT(pn, 1);
  int customs = 0;
  for (std::int32_t k = 0; k < pn; ++k) {
    const bool custom = std::wstring(presets[k].label).rfind(L"Custom", 0) == 0;
    customs += custom;
    const std::int32_t at = AddFromPreset(&png, presets[k], &byName);
    ASSERT_GE(at, 0);
    EXPECT_EQ(byName, custom) << ToUtf8(presets[k].label);
  }
  EXPECT_EQ(customs, 1);

  MetaDoc viewOnly = Doc({}, false);
  EXPECT_EQ(AddFromPreset(&viewOnly, first, &byName), -1);
  EXPECT_TRUE(viewOnly.fields.empty());
}

}  // namespace
