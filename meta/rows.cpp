// The metadata window's list: rows, thumb, hit tests, button rules and the
// document changes of the list's links and the "Add field" menu.
#include "meta/rows.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "meta/edit.h"
#include "platform/platform.h"

const MetaButton kMetaButtons[kMetaButtonCount] = {
    {kBtnAddField, L"Add field", 26, 96, false},    {kBtnRemoveGps, L"Remove GPS", 130, 104, false},
    {kBtnRemoveAll, L"Remove all", 242, 96, false}, {kBtnSave, L"Save", 454, 96, true},
    {kBtnClose, L"Close", 558, 96, false},
};

const wchar_t* const kGroupOrder[kGroupCount] = {
    L"File",
    L"Description and credits",
    L"Camera and exposure",
    L"GPS",
    L"Image",
    L"Comment",
    L"PNG text",
    L"XMP",
    L"IPTC and Photoshop",
    L"Embedded thumbnail",
    L"Other",
    L"Technical",
};

namespace {

// A field the user added and removed again is not shown at all.
bool Hidden(const MetaField& f) { return f.added && f.removed; }

// Appends the heading and rows of one group, placing its fields.
void GroupStep(const MetaDoc& doc, const std::wstring& name, std::vector<bool>* placed,
               std::vector<Row>* rows, std::int32_t* y) {
  bool heading = false;
  for (std::size_t j = 0; j < doc.fields.size(); ++j) {
    const MetaField& f = doc.fields[j];
    if ((*placed)[j] || f.group != name || Hidden(f)) continue;
    if (!heading) {
      rows->push_back(Row{-1, name, *y, kHeadingHeight});
      *y += kHeadingHeight;
      heading = true;
    }
    rows->push_back(Row{static_cast<std::int32_t>(j), name, *y, kFieldRowHeight});
    *y += kFieldRowHeight;
    (*placed)[j] = true;
  }
}

}  // namespace

void BuildRows(const MetaDoc& doc, std::vector<Row>* rows, std::int32_t* total,
               std::int32_t* scroll) {
  rows->clear();
  std::vector<bool> placed(doc.fields.size(), false);
  std::int32_t y = 0;
  for (const wchar_t* name : kGroupOrder) GroupStep(doc, name, &placed, rows, &y);
  for (std::size_t j = 0; j < doc.fields.size(); ++j) {
    if (placed[j] || Hidden(doc.fields[j])) continue;
    GroupStep(doc, doc.fields[j].group, &placed, rows, &y);
  }
  *total = y + 8;
  *scroll = std::min(*scroll, MaxScroll(*total));
}

std::int32_t MaxScroll(std::int32_t total) { return std::max(total, kListHeight) - kListHeight; }

std::int32_t ClampScroll(std::int32_t total, std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, 0, MaxScroll(total)));
}

RowRect ThumbRect(std::int32_t total, std::int32_t scroll) {
  if (total <= kListHeight) return RowRect{668, kListTop, 674, kListTop};
  const std::int32_t len = std::max(28, kListHeight * kListHeight / total);
  const double moved = static_cast<double>(kListHeight - len) * scroll / (total - kListHeight);
  const std::int32_t top = kListTop + static_cast<std::int32_t>(moved);
  return RowRect{668, top, 674, top + len};
}

std::int32_t DragScroll(std::int32_t total, std::int32_t dragScroll, std::int32_t dragY,
                        std::int32_t y, std::int32_t thumbLen) {
  if (thumbLen > kListHeight - 1) return dragScroll;
  const std::int32_t m = MaxScroll(total);
  const double moved = static_cast<double>(y - dragY) * m / (kListHeight - thumbLen);
  return ClampScroll(total,
                     static_cast<std::int64_t>(dragScroll) + static_cast<std::int64_t>(moved));
}

std::int32_t ScrollToShow(const Row& row, std::int32_t scroll, std::int32_t total) {
  std::int64_t v = scroll;
  if (row.top < v) v = row.top;
  if (static_cast<std::int64_t>(row.top) + row.height > v + kListHeight) {
    v = static_cast<std::int64_t>(row.top) + row.height - kListHeight;
  }
  return ClampScroll(total, v);
}

std::int32_t WheelUnits(std::int32_t delta) { return delta * -78 / 120; }

std::int32_t HitRow(const std::vector<Row>& rows, std::int32_t scroll, std::int32_t x,
                    std::int32_t y, std::int32_t* part) {
  *part = 0;
  if (y < kListTop || y > kListTop + kListHeight - 1 || x < 16 || x > 654) return -1;
  const std::int32_t cy = y - kListTop + scroll;
  const std::size_t i = FirstRowFrom(rows, cy + 1);
  if (i == rows.size() || rows[i].top > cy) return -1;
  if (rows[i].fieldIndex < 0) return -1;
  *part = x >= 592 ? 3 : x >= 246 ? 2 : 1;
  return static_cast<std::int32_t>(i);
}

std::size_t FirstRowFrom(const std::vector<Row>& rows, std::int32_t y) {
  // Rows are stacked without gaps, so their bottoms ascend.
  const auto it = std::lower_bound(rows.begin(), rows.end(), y, [](const Row& r, std::int32_t v) {
    return static_cast<std::int64_t>(r.top) + r.height < v;
  });
  return static_cast<std::size_t>(it - rows.begin());
}

std::int32_t HitButton(std::int32_t x, std::int32_t y) {
  for (const MetaButton& b : kMetaButtons) {
    if (x >= b.left && x < b.left + b.width && y >= kButtonTop && y < kButtonTop + kButtonHeight) {
      return b.id;
    }
  }
  return -1;
}

bool BtnEnabled(const MetaDoc& doc, std::int32_t id) {
  switch (id) {
    case kBtnAddField:
    case kBtnRemoveAll:
      return doc.editable;
    case kBtnRemoveGps:
      return doc.editable &&
             std::any_of(doc.fields.begin(), doc.fields.end(), [](const MetaField& f) {
               return f.group == L"GPS" && f.removable && !f.removed;
             });
    case kBtnSave:
      return doc.editable && meta_dirty(doc);
    default:
      return true;
  }
}

std::int32_t ChangedCount(const MetaDoc& doc) {
  return static_cast<std::int32_t>(
      std::count_if(doc.fields.begin(), doc.fields.end(), meta_field_changed));
}

std::wstring FileLine(const MetaDoc& doc) {
  std::wstring line = platform::FileNamePart(doc.path);
  if (!doc.format.empty()) line += L"   \u00B7   " + doc.format;
  line += doc.editable ? L"   \u00B7   click a value to change it" : L"   \u00B7   view only";
  return line;
}

std::wstring StatusText(const MetaDoc& doc, const std::wstring& status) {
  return StatusText(ChangedCount(doc), status);
}

std::wstring StatusText(std::int32_t n, const std::wstring& status) {
  if (n == 0) return status;
  wchar_t text[64];
  std::swprintf(text, 64, n == 1 ? L"%d unsaved change" : L"%d unsaved changes", n);
  return text;
}

std::wstring RefusedValueMessage(const std::wstring& text, const std::wstring& label,
                                 const std::wstring& reason) {
  return L"\u201C" + text + L"\u201D is not a valid value for " + label + L".\n\n" + reason;
}

bool ToggleRemoval(MetaDoc* doc, std::int32_t fieldIndex) {
  if (fieldIndex < 0 || static_cast<std::size_t>(fieldIndex) >= doc->fields.size()) return false;
  MetaField& clicked = doc->fields[static_cast<std::size_t>(fieldIndex)];
  if (!clicked.removable) return false;
  const bool mark = !clicked.removed;
  if (clicked.group == L"Embedded thumbnail" || clicked.group == L"IPTC and Photoshop") {
    const std::wstring group = clicked.group;
    for (MetaField& f : doc->fields) {
      if (f.group == group && f.removable) f.removed = mark;
    }
  } else {
    clicked.removed = mark;
  }
  return true;
}

bool RenameField(MetaField* field, const std::wstring& text) {
  const std::size_t first = text.find_first_not_of(L' ');
  if (first == std::wstring::npos) return false;
  const std::size_t last = text.find_last_not_of(L' ');
  field->label = text.substr(first, last - first + 1);
  return true;
}

std::int32_t AddFromPreset(MetaDoc* doc, const MetaPreset& preset, bool* byName) {
  *byName = false;
  if (!doc->editable) return -1;
  const std::int32_t i = meta_add(doc, preset);
  if (i >= 0) {
    const MetaField& f = doc->fields[static_cast<std::size_t>(i)];
    *byName = f.renamable && std::wcsncmp(preset.label, L"Custom", 6) == 0;
    return i;
  }
  const std::wstring key = preset.key ? preset.key : L"";
  for (std::size_t j = 0; j < doc->fields.size(); ++j) {
    if (doc->fields[j].key == key) return static_cast<std::int32_t>(j);
  }
  return -1;
}
