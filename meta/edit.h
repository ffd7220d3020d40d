// Document-wide editing of the metadata window: the per-format "Add field"
// lists, adding a field from one of them, marking location fields or all
// fields for removal, and the rule a PNG text keyword must follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "meta/meta.h"
#include "platform/platform.h"

// The "Add field" lists, in menu order. WebP offers the JPEG rows without the
// comment; TIFF keys lack the "/app1" part; PNG keys are text keywords.
inline constexpr std::size_t kJpegPresetCount = 8;
inline constexpr std::size_t kWebpPresetCount = 7;
inline constexpr std::size_t kTiffPresetCount = 7;
inline constexpr std::size_t kPngPresetCount = 9;
inline constexpr std::size_t kGifPresetCount = 1;
extern const MetaPreset kJpegPresets[kJpegPresetCount];
extern const MetaPreset kWebpPresets[kWebpPresetCount];
extern const MetaPreset kTiffPresets[kTiffPresetCount];
extern const MetaPreset kPngPresets[kPngPresetCount];
extern const MetaPreset kGifPresets[kGifPresetCount];

// The presets offered for the document: *out points at the first row and the
// count is returned. A document that cannot be saved, or whose format is not
// exactly "JPEG", "PNG", "WebP", "TIFF" or "GIF", gets null and 0.
std::int32_t meta_presets(const MetaDoc& doc, const MetaPreset** out);

// Adds the preset's field and returns its index in doc->fields. For an EXIF
// preset whose key the document already has, a field marked for removal is
// un-marked and its index returned; one that is not marked gives -1 and no
// change. A document that cannot be saved gives -1 and no change. PNG text
// and GIF comments always get a new field with the next process-wide serial.
std::int32_t meta_add(MetaDoc* doc, const MetaPreset& preset);

// Marks every removable field of the "GPS" group for removal.
void meta_remove_gps(MetaDoc* doc);

// Marks every removable field for removal, and the fields of the XMP
// packet's extension (which goes with the packet), except the orientation of
// the first image directory (a key ending in "/ifd/{ushort=274}" outside
// "/thumb/" and later EXIF blocks), which the picture needs to be shown the
// right way up.
void meta_remove_all(MetaDoc* doc);

// Whether a PNG text keyword can be written: 1 to 79 printable Latin-1
// characters (32-126, 161-255), no leading or trailing space, no two spaces
// in a row.
bool meta_png_keyword_valid(const std::wstring& keyword);

// The sentence shown when a save is refused because of the keyword.
std::wstring meta_png_keyword_error(const std::wstring& keyword);

// The EXIF date form "YYYY:MM:DD hh:mm:ss" of a local time; used for the
// "now" default of the date presets, PNG "Creation Time" included.
std::wstring meta_exif_time(const platform::LocalTime& t);
