// Document-wide editing: the "Add field" lists, adding fields (serials, the
// local time, un-marking), marking for removal, and the PNG keyword rule.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta.h"
#include "platform/platform.h"

namespace {

constexpr std::uint16_t kLpstr = 30;
constexpr std::uint16_t kLpwstr = 31;

MetaDoc Doc(const wchar_t* format, bool editable = true) {
  MetaDoc d;
  d.format = format;
  d.editable = editable;
  return d;
}

MetaField Loaded(const std::wstring& key, const std::wstring& group, const std::wstring& label,
                 const std::wstring& value, bool removable) {
  MetaField f;
  f.key = key;
  f.group = group;
  f.label = f.loadedLabel = label;
  f.value = f.loadedValue = value;
  f.varType = kLpstr;
  f.editable = removable;
  f.removable = removable;
  return f;
}

// The serial that ends a "png:new:" or "gif:new:" key.
std::int64_t SerialOf(const std::wstring& key, const std::wstring& prefix) {
  EXPECT_TRUE(StartsWith(key, prefix)) << "key " << ToUtf8(key);
  std::int64_t n = -1;
  EXPECT_TRUE(ParseInt(key.substr(prefix.size()), 1, INT32_MAX, &n)) << ToUtf8(key);
  return n;
}

// "YYYY:MM:DD hh:mm:ss" with digits everywhere else.
bool IsExifTime(const std::wstring& s) {
  if (s.size() != 19) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const wchar_t want = (i == 4 || i == 7 || i == 13 || i == 16) ? L':' : i == 10 ? L' ' : 0;
    if (want ? s[i] != want : (s[i] < L'0' || s[i] > L'9')) return false;
  }
  return true;
}

struct Row {
  const wchar_t* label;
  const wchar_t* key;
  const wchar_t* defaultValue;
  std::uint16_t varType;
};

struct PresetListCase {
  const wchar_t* format;
  std::vector<Row> rows;
};

TEST(MetaEditTest, EachFormatOffersItsPresetsInMenuOrder) {
  const std::vector<PresetListCase> cases = {
      {L"JPEG",
       {{L"Description", L"/app1/ifd/{ushort=270}", L"", kLpstr},
        {L"Artist", L"/app1/ifd/{ushort=315}", L"", kLpstr},
        {L"Copyright", L"/app1/ifd/{ushort=33432}", L"", kLpstr},
        {L"Software", L"/app1/ifd/{ushort=305}", L"", kLpstr},
        {L"Date taken", L"/app1/ifd/exif/{ushort=36867}", L"now", kLpstr},
        {L"Camera make", L"/app1/ifd/{ushort=271}", L"", kLpstr},
        {L"Camera model", L"/app1/ifd/{ushort=272}", L"", kLpstr},
        {L"Comment", L"/com/TextEntry", L"", kLpstr}}},
      // WebP: the JPEG rows without the comment.
      {L"WebP",
       {{L"Description", L"/app1/ifd/{ushort=270}", L"", kLpstr},
        {L"Artist", L"/app1/ifd/{ushort=315}", L"", kLpstr},
        {L"Copyright", L"/app1/ifd/{ushort=33432}", L"", kLpstr},
        {L"Software", L"/app1/ifd/{ushort=305}", L"", kLpstr},
        {L"Date taken", L"/app1/ifd/exif/{ushort=36867}", L"now", kLpstr},
        {L"Camera make", L"/app1/ifd/{ushort=271}", L"", kLpstr},
        {L"Camera model", L"/app1/ifd/{ushort=272}", L"", kLpstr}}},
      // TIFF: no "/app1" in front.
      {L"TIFF",
       {{L"Description", L"/ifd/{ushort=270}", L"", kLpstr},
        {L"Artist", L"/ifd/{ushort=315}", L"", kLpstr},
        {L"Copyright", L"/ifd/{ushort=33432}", L"", kLpstr},
        {L"Software", L"/ifd/{ushort=305}", L"", kLpstr},
        {L"Date taken", L"/ifd/exif/{ushort=36867}", L"now", kLpstr},
        {L"Camera make", L"/ifd/{ushort=271}", L"", kLpstr},
        {L"Camera model", L"/ifd/{ushort=272}", L"", kLpstr}}},
      {L"PNG",
       {{L"Title", L"Title", L"", kLpwstr},
        {L"Author", L"Author", L"", kLpwstr},
        {L"Description", L"Description", L"", kLpwstr},
        {L"Copyright", L"Copyright", L"", kLpwstr},
        {L"Creation Time", L"Creation Time", L"now", kLpwstr},
        {L"Software", L"Software", L"", kLpwstr},
        {L"Comment", L"Comment", L"", kLpwstr},
        {L"Source", L"Source", L"", kLpwstr},
        {L"Custom field (rename it)", L"Custom", L"", kLpwstr}}},
      {L"GIF", {{L"Comment", L"Comment", L"", kLpwstr}}},
  };
  for (const PresetListCase& c : cases) {
    SCOPED_TRACE(ToUtf8(c.format));
    const MetaPreset* p = nullptr;
    const std::int32_t n = meta_presets(Doc(c.format), &p);
    ASSERT_EQ(n, static_cast<std::int32_t>(c.rows.size()));
    ASSERT_NE(p, nullptr);
    for (std::size_t i = 0; i < c.rows.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(std::wstring(p[i].label), c.rows[i].label);
      EXPECT_EQ(std::wstring(p[i].key), c.rows[i].key);
      EXPECT_EQ(std::wstring(p[i].defaultValue), c.rows[i].defaultValue);
      EXPECT_EQ(p[i].varType, c.rows[i].varType);
    }
  }
}

TEST(MetaEditTest, NoPresetsForViewOnlyOrOtherFormats) {
  const struct {
    const wchar_t* format;
    bool editable;
  } cases[] = {
      {L"JPEG", false}, {L"PNG", false},  {L"GIF", false}, {L"TIFF", false},
      {L"WebP", false}, {L"BMP", true},   {L"ICO", true},  {L"AVIF", true},
      {L"image", true}, {L"", true},      {L"jpeg", true},  // the format match is case-sensitive
      {L"WEBP", true},  {L"JPEG ", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.format));
    const MetaPreset* p = kJpegPresets;  // must be overwritten with null
    EXPECT_EQ(meta_presets(Doc(c.format, c.editable), &p), 0);
    EXPECT_EQ(p, nullptr);
  }
}

TEST(MetaEditTest, AddOnViewOnlyDocumentChangesNothing) {
  for (const wchar_t* format : {L"JPEG", L"PNG", L"GIF", L"TIFF", L"WebP"}) {
    SCOPED_TRACE(ToUtf8(format));
    MetaDoc d = Doc(format, false);
    d.fields.push_back(
        Loaded(L"/app1/ifd/{ushort=315}", L"Description and credits", L"Artist", L"Ann", true));
    d.fields[0].removed = true;
    EXPECT_EQ(meta_add(&d, kJpegPresets[1]), -1);
    ASSERT_EQ(d.fields.size(), 1u);
    EXPECT_TRUE(d.fields[0].removed);  // not un-marked either
  }
}

TEST(MetaEditTest, ViewOnlyAddDoesNotUseASerial) {
  MetaDoc png = Doc(L"PNG");
  MetaDoc viewOnly = Doc(L"PNG", false);
  const std::int32_t a = meta_add(&png, kPngPresets[0]);
  EXPECT_EQ(meta_add(&viewOnly, kPngPresets[0]), -1);
  const std::int32_t b = meta_add(&png, kPngPresets[0]);
  ASSERT_EQ(a, 0);
  ASSERT_EQ(b, 1);
  EXPECT_EQ(SerialOf(png.fields[1].key, L"png:new:"), SerialOf(png.fields[0].key, L"png:new:") + 1);
}

struct ExifAddCase {
  const wchar_t* format;
  const MetaPreset* preset;
  const wchar_t* group;
  const wchar_t* label;
};

TEST(MetaEditTest, ExifPresetAppendsANamedFieldAtItsPath) {
  const ExifAddCase cases[] = {
      {L"JPEG", &kJpegPresets[0], L"Description and credits", L"Description"},
      {L"JPEG", &kJpegPresets[1], L"Description and credits", L"Artist"},
      {L"JPEG", &kJpegPresets[2], L"Description and credits", L"Copyright"},
      {L"JPEG", &kJpegPresets[3], L"Camera and exposure", L"Software"},
      {L"JPEG", &kJpegPresets[5], L"Camera and exposure", L"Camera make"},
      {L"JPEG", &kJpegPresets[6], L"Camera and exposure", L"Camera model"},
      {L"JPEG", &kJpegPresets[7], L"Comment", L"Comment"},
      {L"WebP", &kWebpPresets[1], L"Description and credits", L"Artist"},
      {L"TIFF", &kTiffPresets[0], L"Description and credits", L"Description"},
      {L"TIFF", &kTiffPresets[6], L"Camera and exposure", L"Camera model"},
  };
  for (const ExifAddCase& c : cases) {
    SCOPED_TRACE(ToUtf8(std::wstring(c.format) + L" " + c.preset->key));
    MetaDoc d = Doc(c.format);
    d.fields.push_back(Loaded(L"file:Name", L"File", L"Name", L"a.jpg", false));
    ASSERT_EQ(meta_add(&d, *c.preset), 1);
    ASSERT_EQ(d.fields.size(), 2u);
    const MetaField& f = d.fields[1];
    EXPECT_EQ(f.key, c.preset->key);
    EXPECT_EQ(f.group, c.group);
    EXPECT_EQ(f.label, c.label);
    EXPECT_EQ(f.value, L"");
    EXPECT_TRUE(f.loadedValue.empty() && f.loadedLabel.empty());
    EXPECT_EQ(f.varType, kLpstr);
    EXPECT_EQ(f.blockIndex, -1);
    EXPECT_TRUE(f.editable);
    EXPECT_FALSE(f.renamable);
    EXPECT_TRUE(f.removable);
    EXPECT_FALSE(f.removed);
    EXPECT_TRUE(f.added);
    // An empty added field is not a change until the user types a value.
    EXPECT_FALSE(meta_dirty(d));
  }
}

TEST(MetaEditTest, ExifPresetAlreadyPresentIsNotAddedAgain) {
  MetaDoc d = Doc(L"JPEG");
  d.fields.push_back(
      Loaded(L"/app1/ifd/{ushort=270}", L"Description and credits", L"Description", L"Lake", true));
  d.fields.push_back(
      Loaded(L"/app1/ifd/{ushort=315}", L"Description and credits", L"Artist", L"Ann", true));
  d.fields[1].value = L"Bob";  // edited, not removed
  EXPECT_EQ(meta_add(&d, kJpegPresets[1]), -1);
  ASSERT_EQ(d.fields.size(), 2u);
  EXPECT_EQ(d.fields[1].value, L"Bob");
  EXPECT_FALSE(d.fields[1].removed);
  EXPECT_FALSE(d.fields[1].added);
}

TEST(MetaEditTest, ExifPresetUnmarksARemovedFieldAndKeepsItsValue) {
  MetaDoc d = Doc(L"JPEG");
  d.fields.push_back(
      Loaded(L"/app1/ifd/{ushort=270}", L"Description and credits", L"Description", L"Lake", true));
  d.fields.push_back(Loaded(L"/app1/ifd/exif/{ushort=36867}", L"Camera and exposure", L"Date taken",
                            L"2001:01:01 00:00:00", true));
  d.fields[1].removed = true;
  EXPECT_EQ(meta_add(&d, kJpegPresets[4]), 1);  // "Date taken", default "now"
  ASSERT_EQ(d.fields.size(), 2u);
  EXPECT_FALSE(d.fields[1].removed);
  EXPECT_EQ(d.fields[1].value, L"2001:01:01 00:00:00");  // the default is not applied
  EXPECT_FALSE(d.fields[1].added);
  EXPECT_FALSE(meta_dirty(d));
}

TEST(MetaEditTest, ExifPresetMatchesOnlyTheExactKey) {
  // The thumbnail's tag and the TIFF form of the path are other fields.
  MetaDoc d = Doc(L"JPEG");
  d.fields.push_back(
      Loaded(L"/app1/thumb/{ushort=315}", L"Embedded thumbnail", L"Tag 315", L"x", true));
  d.fields.push_back(
      Loaded(L"/ifd/{ushort=315}", L"Description and credits", L"Artist", L"y", true));
  EXPECT_EQ(meta_add(&d, kJpegPresets[1]), 2);
  EXPECT_EQ(d.fields[2].key, L"/app1/ifd/{ushort=315}");
}

TEST(MetaEditTest, ExifTimeForm) {
  EXPECT_EQ(meta_exif_time({2024, 3, 9, 14, 5, 0}), L"2024:03:09 14:05:00");
  EXPECT_EQ(meta_exif_time({1999, 12, 31, 23, 59, 59}), L"1999:12:31 23:59:59");
  EXPECT_EQ(meta_exif_time({812, 1, 2, 3, 4, 5}), L"0812:01:02 03:04:05");
}

TEST(MetaEditTest, NowDefaultBecomesTheLocalTime) {
  const struct {
    const wchar_t* format;
    const MetaPreset* preset;
    std::uint16_t varType;
  } cases[] = {
      {L"JPEG", &kJpegPresets[4], kLpstr},
      {L"WebP", &kWebpPresets[4], kLpstr},
      {L"TIFF", &kTiffPresets[4], kLpstr},
      {L"PNG", &kPngPresets[4], kLpwstr},  // PNG "Creation Time" uses the EXIF form too
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.format));
    MetaDoc d = Doc(c.format);
    const std::wstring before = meta_exif_time(platform::LocalTimeNow());
    const std::int32_t i = meta_add(&d, *c.preset);
    const std::wstring after = meta_exif_time(platform::LocalTimeNow());
    ASSERT_EQ(i, 0);
    const MetaField& f = d.fields[0];
    EXPECT_TRUE(IsExifTime(f.value)) << ToUtf8(f.value);
    // Fixed-width digits compare in time order (unless the clock is set back
    // in between, which a test run does not do).
    EXPECT_LE(before, f.value);
    EXPECT_LE(f.value, after);
    EXPECT_EQ(f.varType, c.varType);
    EXPECT_TRUE(f.added);
    EXPECT_TRUE(meta_field_changed(f));  // a value, so a change
  }
}

TEST(MetaEditTest, LocalTimeIsInRange) {
  const platform::LocalTime t = platform::LocalTimeNow();
  EXPECT_GE(t.year, 2000);
  EXPECT_LE(t.year, 9999);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  EXPECT_TRUE(t.day >= 1 && t.day <= 31);
  EXPECT_TRUE(t.hour >= 0 && t.hour <= 23);
  EXPECT_TRUE(t.minute >= 0 && t.minute <= 59);
  EXPECT_TRUE(t.second >= 0 && t.second <= 59);
}

TEST(MetaEditTest, PngTextGetsConsecutiveSerialsAcrossDocuments) {
  MetaDoc d = Doc(L"PNG");
  d.fields.push_back(Loaded(L"png:3", L"PNG text", L"Title", L"Old", true));
  ASSERT_EQ(meta_add(&d, kPngPresets[0]), 1);
  ASSERT_EQ(meta_add(&d, kPngPresets[0]), 2);  // the same keyword twice is allowed
  const std::int64_t s1 = SerialOf(d.fields[1].key, L"png:new:");
  const std::int64_t s2 = SerialOf(d.fields[2].key, L"png:new:");
  EXPECT_GE(s1, 1);
  EXPECT_EQ(s2, s1 + 1);
  for (std::size_t i = 1; i < 3; ++i) {
    const MetaField& f = d.fields[i];
    EXPECT_EQ(f.label, L"Title");
    EXPECT_EQ(f.group, L"PNG text");
    EXPECT_EQ(f.varType, kLpwstr);
    EXPECT_EQ(f.blockIndex, -1);
    EXPECT_TRUE(f.editable && f.renamable && f.removable && f.added);
    EXPECT_FALSE(f.removed);
    EXPECT_TRUE(f.value.empty() && f.loadedValue.empty() && f.loadedLabel.empty());
  }
  EXPECT_EQ(d.fields[0].value, L"Old");  // the loaded "Title" is untouched

  // A later document continues the numbering rather than starting over.
  MetaDoc next = Doc(L"PNG");
  ASSERT_EQ(meta_add(&next, kPngPresets[1]), 0);
  EXPECT_EQ(SerialOf(next.fields[0].key, L"png:new:"), s2 + 1);
  EXPECT_EQ(next.fields[0].label, L"Author");
}

TEST(MetaEditTest, PngCustomRowIsLabelledCustomAndRenamable) {
  MetaDoc d = Doc(L"PNG");
  ASSERT_EQ(meta_add(&d, kPngPresets[8]), 0);
  EXPECT_EQ(d.fields[0].label, L"Custom");
  EXPECT_TRUE(d.fields[0].renamable);
  EXPECT_TRUE(meta_png_keyword_valid(d.fields[0].label));
}

TEST(MetaEditTest, GifCommentsHaveTheirOwnSerial) {
  MetaDoc gif = Doc(L"GIF");
  gif.fields.push_back(Loaded(L"gif:4", L"Comment", L"Comment", L"hello", true));
  MetaDoc png = Doc(L"PNG");
  ASSERT_EQ(meta_add(&gif, kGifPresets[0]), 1);
  meta_add(&png, kPngPresets[0]);  // PNG numbering does not advance the GIF one
  ASSERT_EQ(meta_add(&gif, kGifPresets[0]), 2);
  const std::int64_t g1 = SerialOf(gif.fields[1].key, L"gif:new:");
  EXPECT_EQ(SerialOf(gif.fields[2].key, L"gif:new:"), g1 + 1);
  for (std::size_t i = 1; i < 3; ++i) {
    const MetaField& f = gif.fields[i];
    EXPECT_EQ(f.group, L"Comment");
    EXPECT_EQ(f.label, L"Comment");
    EXPECT_EQ(f.varType, kLpwstr);
    EXPECT_EQ(f.blockIndex, -1);
    EXPECT_TRUE(f.editable && f.removable && f.added);
    EXPECT_FALSE(f.renamable || f.removed);
  }
}

// A small JPEG document with one row of each kind that removal cares about.
struct RemovalRow {
  const wchar_t* key;
  const wchar_t* group;
  bool removable;
  bool removedBefore;
  bool afterRemoveGps;
  bool afterRemoveAll;
};

const RemovalRow kRemovalRows[] = {
    // File facts and technical rows are never removable.
    {L"file:Name", L"File", false, false, false, false},
    {L"/app0/{ushort=0}", L"Technical", false, false, false, false},
    {L"/app1/ifd/gps/{ushort=4}", L"GPS", false, false, false, false},  // not removable
    {L"/app1/ifd/gps/{ushort=2}", L"GPS", true, false, true, true},
    {L"/app1/ifd/gps/{ushort=1}", L"GPS", true, true, true, true},     // stays removed
    {L"/app1/ifd/{ushort=274}", L"Image", true, false, false, false},  // orientation kept
    {L"/ifd/{ushort=274}", L"Image", true, false, false, false},       // TIFF form too
    {L"/app1/thumb/{ushort=274}", L"Embedded thumbnail", true, false, false, true},
    {L"/app1/ifd/{ushort=274}/x", L"Other", true, false, false, true},  // only the end counts
    // Tag 274 of the EXIF directory is not the picture's orientation.
    {L"/app1/ifd/exif/{ushort=274}", L"Camera and exposure", true, false, false, true},
    // Ends like the orientation but lies inside the thumbnail.
    {L"/app1/thumb/ifd/{ushort=274}", L"Embedded thumbnail", true, false, false, true},
    {L"/app1/ifd/{ushort=270}", L"Description and credits", true, false, false, true},
    {L"/com/TextEntry", L"Comment", true, false, false, true},
    {L"/xmp/dc:title", L"XMP", true, false, false, true},
    {L"/app1/ifd/{ushort=315}", L"GPS ", true, false, false, true},  // group must be exact
};

MetaDoc RemovalDoc() {
  MetaDoc d = Doc(L"JPEG");
  for (const RemovalRow& r : kRemovalRows) {
    d.fields.push_back(Loaded(r.key, r.group, L"L", L"v", r.removable));
    d.fields.back().removed = r.removedBefore;
  }
  return d;
}

TEST(MetaEditTest, RemoveGpsMarksOnlyRemovableGpsRows) {
  MetaDoc d = RemovalDoc();
  meta_remove_gps(&d);
  ASSERT_EQ(d.fields.size(), std::size(kRemovalRows));
  for (std::size_t i = 0; i < d.fields.size(); ++i) {
    SCOPED_TRACE(ToUtf8(kRemovalRows[i].key));
    EXPECT_EQ(d.fields[i].removed, kRemovalRows[i].afterRemoveGps);
    EXPECT_EQ(d.fields[i].value, L"v");
  }
}

TEST(MetaEditTest, RemoveAllKeepsTheMainOrientation) {
  MetaDoc d = RemovalDoc();
  meta_remove_all(&d);
  ASSERT_EQ(d.fields.size(), std::size(kRemovalRows));
  for (std::size_t i = 0; i < d.fields.size(); ++i) {
    SCOPED_TRACE(ToUtf8(kRemovalRows[i].key));
    EXPECT_EQ(d.fields[i].removed, kRemovalRows[i].afterRemoveAll);
  }
}

TEST(MetaEditTest, RemoveAllLeavesAMarkedOrientationMarked) {
  MetaDoc d = Doc(L"JPEG");
  d.fields.push_back(Loaded(L"/app1/ifd/{ushort=274}", L"Image", L"Orientation", L"1", true));
  d.fields[0].removed = true;
  meta_remove_all(&d);
  EXPECT_TRUE(d.fields[0].removed);  // keeps its state, whatever it was
}

TEST(MetaEditTest, RemoveAllMakesAddedFieldsNoChange) {
  MetaDoc d = Doc(L"PNG");
  meta_add(&d, kPngPresets[0]);
  d.fields[0].value = L"Typed";
  ASSERT_TRUE(meta_dirty(d));
  meta_remove_all(&d);
  EXPECT_TRUE(d.fields[0].removed);
  EXPECT_FALSE(meta_dirty(d));
}

TEST(MetaEditTest, RemoveGpsWithoutRemovableGpsRowsChangesNothing) {
  MetaDoc d = Doc(L"JPEG");
  d.fields.push_back(Loaded(L"/app1/ifd/gps/{ushort=2}", L"GPS", L"Latitude", L"1", false));
  d.fields.push_back(
      Loaded(L"/app1/ifd/{ushort=270}", L"Description and credits", L"D", L"x", true));
  meta_remove_gps(&d);
  EXPECT_FALSE(d.fields[0].removed || d.fields[1].removed);
  EXPECT_FALSE(meta_dirty(d));
}

TEST(MetaEditTest, PngKeywordRule) {
  const struct {
    const char* what;
    std::wstring keyword;
    bool valid;
  } cases[] = {
      {"plain", L"Title", true},
      {"one space inside", L"Creation Time", true},
      {"one character", L"A", true},
      {"79 characters", std::wstring(79, L'k'), true},
      {"80 characters", std::wstring(80, L'k'), false},
      {"empty", L"", false},
      {"leading space", L" Title", false},
      {"trailing space", L"Title ", false},
      {"only a space", L" ", false},
      {"two spaces in a row", L"Creation  Time", false},
      {"spaces apart", L"a b c", true},
      {"tab", L"Creation\tTime", false},
      {"newline", L"a\nb", false},
      {"zero character", std::wstring(L"a\0b", 3), false},
      {"DEL 127", L"a\x7F", false},
      {"128", L"a\x80", false},
      {"no-break space 160", L"a\xA0z", false},
      {"inverted exclamation 161", L"\xA1Hola", true},
      {"y with diaeresis 255", L"caf\xE9\xFF", true},
      {"tilde 126", L"~x~", true},
      {"above Latin-1 256", L"a\x100", false},
      {"euro sign", L"\x20AC", false},
      {"79 with spaces", std::wstring(39, L'a') + L" " + std::wstring(39, L'b'), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(meta_png_keyword_valid(c.keyword), c.valid) << c.what;
  }
}

TEST(MetaEditTest, PngKeywordRefusalSentence) {
  EXPECT_EQ(meta_png_keyword_error(L" Bad"),
            L"\u201C Bad\u201D can't be used as a PNG field name. Use 1 to 79 plain characters, "
            L"with no leading, trailing or double spaces.");
}

}  // namespace
