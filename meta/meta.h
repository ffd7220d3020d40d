// The metadata module: the document a file's metadata is held in while the
// metadata window shows and edits it, the shared text helpers, and the entry
// of typed values from the text the user types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/imaging.h"

// A field holding text that the file stores as UTF-16LE bytes in a byte
// vector (the "XP" tags 40091 to 40095 of the first image directory).
inline constexpr std::uint16_t kVtUtf16Bytes = 0xFFF1;

// One row of the metadata window. Keys say where the field lives: "file:",
// platform query paths ("/app1/ifd/{ushort=270}"), "exif:", "xmp:", "png:",
// "png:new:", "gif:", "gif:new:", "tech:". Groups are one of "File",
// "Description and credits", "Camera and exposure", "GPS", "Image",
// "Comment", "PNG text", "XMP", "IPTC and Photoshop", "Embedded thumbnail",
// "Other", "Technical", shown in that order.
struct MetaField {
  std::wstring key;
  std::wstring group;
  std::wstring label;            // current display name (a PNG keyword may be edited)
  std::wstring value;            // current value text
  std::wstring loadedValue;      // value text as read from the file
  std::wstring loadedLabel;      // label as read from the file
  std::uint16_t varType = 0;     // VARTYPE of the stored value, or kVtUtf16Bytes
  std::int32_t blockIndex = -1;  // PNG chunk or GIF block it came from; -1 for none
  bool editable = false;
  bool renamable = false;
  bool removable = false;
  bool removed = false;  // marked for removal
  bool added = false;    // made by "Add field"; not in the file yet
};

// The metadata of one file. meta_load clears and refills it.
struct MetaDoc {
  std::wstring path;
  std::wstring format;  // "JPEG", "PNG", "WebP", "GIF", "TIFF", "AVIF", "BMP", "ICO", "image"
  bool editable = false;
  std::wstring note;  // one message about the whole file, or empty
  std::vector<MetaField> fields;
  std::vector<std::uint8_t> bytes;  // the whole file as read; rewriters work from these
  std::uint64_t fileTime = 0;       // last-write time as a FILETIME value; 0 when unread
};

// A row of the per-format "Add field" lists.
struct MetaPreset {
  const wchar_t* label;
  const wchar_t* key;           // query path, PNG keyword or GIF marker
  const wchar_t* defaultValue;  // empty, or "now" for the local date and time
  std::uint16_t varType;
};

// --- model -------------------------------------------------------------------

// Whether the field differs from the file: an added field when it is not
// removed and has a value; a loaded one when it is removed, or its value or
// label differs from what was loaded.
bool meta_field_changed(const MetaField& field);
// Whether any field has changed.
bool meta_dirty(const MetaDoc& doc);
// Whether at least one field of an embedded metadata block ("/app1", "/app13",
// "/xmp", "/com", "]com/", "unknown/") survives a save; unremovable
// "unknown/" rows do not count.
bool AnyMetaKept(const MetaDoc& doc);
// Decimal text of a number ("-1", "0", "52").
std::wstring Num(std::int64_t n);

// --- text --------------------------------------------------------------------

// UTF-8 bytes of a wide string (no terminating zero of its own).
std::string ToUtf8(const std::wstring& text);
// 8-bit text as a wide string: UTF-8 when the bytes are valid UTF-8, else the
// system ANSI code page; trailing zero characters removed. A negative length
// means the text ends at its first zero byte; null or length 0 gives "".
std::wstring FromBytes(const void* data, std::ptrdiff_t length);
// The UTF-16LE code units of a wide string as bytes, without a terminator.
std::string ToUtf16Le(const std::wstring& text);
// Exact, case-sensitive; an empty prefix or suffix always matches.
bool StartsWith(std::wstring_view text, std::wstring_view prefix);
bool EndsWith(std::wstring_view text, std::wstring_view suffix);

// --- typed values ------------------------------------------------------------

// One whole decimal number (optional sign; spaces before and after) within
// [min, max].
bool ParseInt(const std::wstring& text, std::int64_t min, std::int64_t max, std::int64_t* out);
// "n/d" as typed, or a decimal number turned into a reduced fraction with a
// denominator of at most 1000000. Signed: numerator ±2147483647, denominator
// 1..2147483647; unsigned: both 0..4294967295.
bool ParseRational(const std::wstring& text, bool isSigned, std::int64_t* num, std::int64_t* den);
// Builds the value for a field of type varType from text. Rationals (VT_I8,
// VT_UI8) hold the numerator in the low 32 bits and the denominator in the
// high 32 bits. *out is VT_EMPTY when the text is refused.
bool TextToVar(const std::wstring& text, std::uint16_t varType, img::PropValue* out);
// Checks text for the field; when refused, writes the sentence that says what
// the field accepts into err (errLen wide characters, always zero-terminated,
// truncated when short). err is left alone when the text is accepted.
bool meta_validate(const MetaField& field, const std::wstring& text, wchar_t* err,
                   std::size_t errLen);

// --- loading -----------------------------------------------------------------

// Fills doc from the file: its bytes and last-write time, the file facts and
// every field its container carries, whether it may be saved and one note.
// False when the file cannot be read (doc is then empty apart from the path
// and the note "The file could not be read.").
bool meta_load(const std::wstring& path, MetaDoc* doc);

// --- saving ------------------------------------------------------------------

// Writes the document's edits back into its file without changing the
// picture: the new file is built in memory from the document's bytes, read
// back to confirm that removed fields are gone, decoded and compared with the
// old picture, and only then put in place of the file through a temporary
// file beside it. True when the file was replaced (the buffer is untouched).
// False when nothing was written; the message then goes into err (errLen wide
// characters, truncated and zero-terminated; nothing for a null buffer or a
// capacity of 0 or less).
bool meta_save(const MetaDoc& doc, wchar_t* err, std::int32_t errLen);
