// The metadata window's list, free of any window: the display rows built
// from a document, the scroll thumb, the hit tests, which buttons are
// enabled, the texts of the file and status lines, and the document changes
// behind a click on a row's link or a chosen "Add field" entry. Every measure
// is in 96-DPI layout units; the window keeps the state and calls these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "meta/meta.h"

// The list viewport: y from kListTop for kListHeight units.
inline constexpr std::int32_t kListTop = 104;
inline constexpr std::int32_t kListHeight = 506;
inline constexpr std::int32_t kHeadingHeight = 34;
inline constexpr std::int32_t kFieldRowHeight = 26;

// The five buttons of the bottom row.
inline constexpr std::int32_t kBtnAddField = 2000;
inline constexpr std::int32_t kBtnRemoveGps = 2001;
inline constexpr std::int32_t kBtnRemoveAll = 2002;
inline constexpr std::int32_t kBtnSave = 2003;
inline constexpr std::int32_t kBtnClose = 2004;
inline constexpr std::int32_t kButtonTop = 628;
inline constexpr std::int32_t kButtonHeight = 34;

struct MetaButton {
  std::int32_t id;
  const wchar_t* label;
  std::int32_t left, width;
  bool accent;
};
inline constexpr std::size_t kMetaButtonCount = 5;
extern const MetaButton kMetaButtons[kMetaButtonCount];

inline constexpr std::size_t kGroupCount = 12;
extern const wchar_t* const kGroupOrder[kGroupCount];

// One display line: a group heading (fieldIndex -1) or a field.
struct Row {
  std::int32_t fieldIndex = -1;
  std::wstring group;
  std::int32_t top = 0;     // from the top of the list content
  std::int32_t height = 0;  // kHeadingHeight or kFieldRowHeight
};

struct RowRect {
  std::int32_t left = 0, top = 0, right = 0, bottom = 0;
  bool empty() const { return right <= left || bottom <= top; }
};

// Rebuilds the rows from the document: the groups of kGroupOrder first, then
// any other group in the order of its first field; a field added and then
// removed again is left out. *total becomes the content height (rows + 8)
// and *scroll is pulled back into range.
void BuildRows(const MetaDoc& doc, std::vector<Row>* rows, std::int32_t* total,
               std::int32_t* scroll);

// The largest scroll for a content height: max(0, total − kListHeight).
std::int32_t MaxScroll(std::int32_t total);
// A scroll value limited to 0 … MaxScroll(total).
std::int32_t ClampScroll(std::int32_t total, std::int64_t v);

// The scroll thumb in the column x 668 … 674; empty when nothing scrolls.
RowRect ThumbRect(std::int32_t total, std::int32_t scroll);
// The scroll while the thumb is dragged from dragY (with the list at
// dragScroll) to y; thumbLen is the thumb's length.
std::int32_t DragScroll(std::int32_t total, std::int32_t dragScroll, std::int32_t dragY,
                        std::int32_t y, std::int32_t thumbLen);
// The scroll that brings a row fully into view (its top wins when it is
// taller than the viewport).
std::int32_t ScrollToShow(const Row& row, std::int32_t scroll, std::int32_t total);
// The scroll change of a wheel turn: one notch of 120 moves 78 units.
std::int32_t WheelUnits(std::int32_t delta);

// The index of the field row under a point, with *part 1 for the label, 2
// for the value and 3 for the link; -1 and part 0 elsewhere.
std::int32_t HitRow(const std::vector<Row>& rows, std::int32_t scroll, std::int32_t x,
                    std::int32_t y, std::int32_t* part);
// The first row whose bottom edge is at or below the content position y;
// rows.size() when there is none. Painting starts there.
std::size_t FirstRowFrom(const std::vector<Row>& rows, std::int32_t y);
// The id of the button under a point, or -1.
std::int32_t HitButton(std::int32_t x, std::int32_t y);
bool BtnEnabled(const MetaDoc& doc, std::int32_t id);

// How many fields differ from the file.
std::int32_t ChangedCount(const MetaDoc& doc);
// "picture.jpg   ·   JPEG   ·   click a value to change it".
std::wstring FileLine(const MetaDoc& doc);
// "1 unsaved change", "3 unsaved changes", or the given status when nothing
// is changed.
std::wstring StatusText(const MetaDoc& doc, const std::wstring& status);
// The same for a count of changed fields already known.
std::wstring StatusText(std::int32_t changed, const std::wstring& status);
// The warning for a value the validator refused.
std::wstring RefusedValueMessage(const std::wstring& text, const std::wstring& label,
                                 const std::wstring& reason);

// The link of a field row: marks the field for removal or restores it. In
// "Embedded thumbnail" and "IPTC and Photoshop" the whole group follows the
// clicked field. False when the field cannot be removed.
bool ToggleRemoval(MetaDoc* doc, std::int32_t fieldIndex);
// A label typed for a PNG keyword: spaces (U+0020 only) trimmed from both
// ends; false, and the label unchanged, when nothing remains.
bool RenameField(MetaField* field, const std::wstring& text);

// An "Add field" entry chosen: the field to open an editor on, or -1. When
// the preset's field already exists, that field is opened instead. *byName is
// true when the new field's keyword should be typed first (the "Custom"
// entries of PNG).
std::int32_t AddFromPreset(MetaDoc* doc, const MetaPreset& preset, bool* byName);
