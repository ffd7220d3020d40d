// Document-wide editing: the "Add field" presets, adding a field, and marking
// fields for removal. Nothing here touches the file; a save writes the marks.
#include "meta/edit.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "meta/meta_internal.h"

namespace {

constexpr std::uint16_t kLpstr = img::kVtLpstr;
constexpr std::uint16_t kLpwstr = img::kVtLpwstr;

// Process-wide: keys of added PNG text and GIF comments must stay unique
// within a document, and a document may be reloaded without the process
// ending, so the numbering never starts over.
std::int32_t g_pngSerial = 0;
std::int32_t g_gifSerial = 0;

std::int32_t NextSerial(std::int32_t* serial) {
  // Two billion additions in one session is not a real case; stop rather
  // than overflow.
  if (*serial < INT32_MAX) ++*serial;
  return *serial;
}

std::int32_t Append(MetaDoc* doc, MetaField&& field) {
  doc->fields.push_back(std::move(field));
  return static_cast<std::int32_t>(doc->fields.size() - 1);
}

}  // namespace

const MetaPreset kJpegPresets[kJpegPresetCount] = {
    {L"Description", L"/app1/ifd/{ushort=270}", L"", kLpstr},
    {L"Artist", L"/app1/ifd/{ushort=315}", L"", kLpstr},
    {L"Copyright", L"/app1/ifd/{ushort=33432}", L"", kLpstr},
    {L"Software", L"/app1/ifd/{ushort=305}", L"", kLpstr},
    {L"Date taken", L"/app1/ifd/exif/{ushort=36867}", L"now", kLpstr},
    {L"Camera make", L"/app1/ifd/{ushort=271}", L"", kLpstr},
    {L"Camera model", L"/app1/ifd/{ushort=272}", L"", kLpstr},
    {L"Comment", L"/com/TextEntry", L"", kLpstr},
};

// WebP keeps its EXIF in the same layout as JPEG but has no comment segment.
const MetaPreset kWebpPresets[kWebpPresetCount] = {
    {L"Description", L"/app1/ifd/{ushort=270}", L"", kLpstr},
    {L"Artist", L"/app1/ifd/{ushort=315}", L"", kLpstr},
    {L"Copyright", L"/app1/ifd/{ushort=33432}", L"", kLpstr},
    {L"Software", L"/app1/ifd/{ushort=305}", L"", kLpstr},
    {L"Date taken", L"/app1/ifd/exif/{ushort=36867}", L"now", kLpstr},
    {L"Camera make", L"/app1/ifd/{ushort=271}", L"", kLpstr},
    {L"Camera model", L"/app1/ifd/{ushort=272}", L"", kLpstr},
};

// A TIFF file is itself the first image directory, so its paths start there.
const MetaPreset kTiffPresets[kTiffPresetCount] = {
    {L"Description", L"/ifd/{ushort=270}", L"", kLpstr},
    {L"Artist", L"/ifd/{ushort=315}", L"", kLpstr},
    {L"Copyright", L"/ifd/{ushort=33432}", L"", kLpstr},
    {L"Software", L"/ifd/{ushort=305}", L"", kLpstr},
    {L"Date taken", L"/ifd/exif/{ushort=36867}", L"now", kLpstr},
    {L"Camera make", L"/ifd/{ushort=271}", L"", kLpstr},
    {L"Camera model", L"/ifd/{ushort=272}", L"", kLpstr},
};

const MetaPreset kPngPresets[kPngPresetCount] = {
    {L"Title", L"Title", L"", kLpwstr},
    {L"Author", L"Author", L"", kLpwstr},
    {L"Description", L"Description", L"", kLpwstr},
    {L"Copyright", L"Copyright", L"", kLpwstr},
    {L"Creation Time", L"Creation Time", L"now", kLpwstr},
    {L"Software", L"Software", L"", kLpwstr},
    {L"Comment", L"Comment", L"", kLpwstr},
    {L"Source", L"Source", L"", kLpwstr},
    {L"Custom field (rename it)", L"Custom", L"", kLpwstr},
};

const MetaPreset kGifPresets[kGifPresetCount] = {
    {L"Comment", L"Comment", L"", kLpwstr},
};

std::int32_t meta_presets(const MetaDoc& doc, const MetaPreset** out) {
  const MetaPreset* first = nullptr;
  std::size_t count = 0;
  if (doc.editable) {
    if (doc.format == L"JPEG") {
      first = kJpegPresets;
      count = kJpegPresetCount;
    } else if (doc.format == L"PNG") {
      first = kPngPresets;
      count = kPngPresetCount;
    } else if (doc.format == L"WebP") {
      first = kWebpPresets;
      count = kWebpPresetCount;
    } else if (doc.format == L"TIFF") {
      first = kTiffPresets;
      count = kTiffPresetCount;
    } else if (doc.format == L"GIF") {
      first = kGifPresets;
      count = kGifPresetCount;
    }
  }
  if (out) *out = first;
  return static_cast<std::int32_t>(count);
}

std::wstring meta_exif_time(const platform::LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d:%02d:%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return std::wstring(buf, buf + std::strlen(buf));
}

std::int32_t meta_add(MetaDoc* doc, const MetaPreset& preset) {
  if (!doc || !doc->editable) return -1;
  const std::wstring presetKey = preset.key ? preset.key : L"";
  const std::wstring defaultValue = preset.defaultValue ? preset.defaultValue : L"";

  MetaField field;
  field.value = defaultValue == L"now" ? meta_exif_time(platform::LocalTimeNow()) : defaultValue;
  field.varType = preset.varType;
  field.blockIndex = -1;
  field.editable = true;
  field.renamable = false;
  field.removable = true;
  field.removed = false;
  field.added = true;

  if (doc->format == L"PNG") {
    field.key = L"png:new:" + Num(NextSerial(&g_pngSerial));
    field.group = L"PNG text";
    field.label = presetKey;
    field.renamable = true;
    return Append(doc, std::move(field));
  }
  if (doc->format == L"GIF") {
    field.key = L"gif:new:" + Num(NextSerial(&g_gifSerial));
    field.group = L"Comment";
    field.label = L"Comment";
    return Append(doc, std::move(field));
  }
  // EXIF presets live at a fixed path, so the file can hold at most one.
  for (std::size_t i = 0; i < doc->fields.size(); ++i) {
    MetaField& existing = doc->fields[i];
    if (existing.key != presetKey) continue;
    if (!existing.removed) return -1;
    existing.removed = false;
    return static_cast<std::int32_t>(i);
  }
  FieldName name = Describe(presetKey);
  field.key = presetKey;
  field.group = std::move(name.group);
  field.label = std::move(name.label);
  return Append(doc, std::move(field));
}

void meta_remove_gps(MetaDoc* doc) {
  if (!doc) return;
  for (MetaField& f : doc->fields) {
    if (f.removable && f.group == L"GPS") f.removed = true;
  }
}

void meta_remove_all(MetaDoc* doc) {
  if (!doc) return;
  for (MetaField& f : doc->fields) {
    // The extension of the XMP packet goes with the packet.
    const bool extension = f.key.find(L"/xmpext/") != std::wstring::npos;
    if (!f.removable && !extension) continue;
    // The orientation the picture is shown with stays: the first EXIF
    // block's, not a thumbnail's or a later block's.
    const bool orientation = EndsWith(f.key, L"/ifd/{ushort=274}") &&
                             f.key.find(L"/thumb/") == std::wstring::npos &&
                             f.key.find(L"]app1/") == std::wstring::npos;
    if (orientation) continue;
    f.removed = true;
  }
}

bool meta_png_keyword_valid(const std::wstring& keyword) {
  if (keyword.empty() || keyword.size() > 79) return false;
  if (keyword.front() == L' ' || keyword.back() == L' ') return false;
  wchar_t previous = 0;
  for (wchar_t wc : keyword) {
    // Compared as unsigned so a negative wchar_t cannot pass as printable.
    const std::uint32_t c = static_cast<std::uint32_t>(wc);
    const bool printable = (c >= 32 && c <= 126) || (c >= 161 && c <= 255);
    if (!printable) return false;
    if (wc == L' ' && previous == L' ') return false;
    previous = wc;
  }
  return true;
}

std::wstring meta_png_keyword_error(const std::wstring& keyword) {
  return L"\u201C" + keyword +
         L"\u201D can't be used as a PNG field name. Use 1 to 79 plain characters, with no "
         L"leading, trailing or double spaces.";
}
