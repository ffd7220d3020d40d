// Shared by the rewrite fuzz targets: the input's last two bytes choose an
// edit, the rest is the file, listed as the metadata window lists it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta_internal.h"

namespace fuzz_rewrite {

// Lists the file in `data` (all but the last two bytes) into *doc; false
// when it is not an editable file of `format`.
inline bool Load(const std::uint8_t* data, std::size_t size, const wchar_t* format, MetaDoc* doc,
                 std::uint8_t* op, std::uint8_t* pick) {
  if (size < 3) return false;
  *op = data[size - 2];
  *pick = data[size - 1];
  doc->bytes.assign(data, data + size - 2);
  ParseBytes(doc);
  return doc->format == format && doc->editable;
}

// One edit the window could make: a new value, a removal, a new name, or a
// field added from the format's list.
inline void Edit(MetaDoc* doc, std::uint8_t op, std::uint8_t pick, const MetaPreset* presets,
                 std::size_t presetCount) {
  static const std::wstring kTexts[] = {L"",      L"v",  L"5 \u20AC",
                                        L"1/250", L"12", std::wstring(300, L'\u00E9')};
  const std::wstring& text = kTexts[pick % (sizeof kTexts / sizeof kTexts[0])];
  std::vector<std::size_t> fields;
  for (std::size_t i = 0; i < doc->fields.size(); ++i) {
    if (doc->fields[i].editable || doc->fields[i].removable) fields.push_back(i);
  }
  MetaField* f = fields.empty() ? nullptr : &doc->fields[fields[pick % fields.size()]];
  switch (op % 4) {
    case 0:
      if (f) f->value = text;
      break;
    case 1:
      if (f) f->removed = true;
      break;
    case 2:
      if (f && f->renamable) f->label = L"Renamed";
      break;
    default: {
      const std::int32_t i = meta_add(doc, presets[pick % presetCount]);
      if (i >= 0) doc->fields[static_cast<std::size_t>(i)].value = text.empty() ? L"added" : text;
      break;
    }
  }
}

// What a successful rewrite must give: a file that is read again as an
// editable file of the same format, and a picture check that passes whenever
// the old file passes it against itself (a file whose picture does not
// decode may fail the check; that only stops the save). Aborts otherwise.
inline void CheckOutput(const MetaDoc& doc, const std::vector<std::uint8_t>& out,
                        bool (*same)(const std::vector<std::uint8_t>&,
                                     const std::vector<std::uint8_t>&)) {
  MetaDoc again;
  again.bytes = out;
  ParseBytes(&again);
  if (again.format != doc.format || !again.editable) std::abort();
  if (same(doc.bytes, doc.bytes) && !same(doc.bytes, out)) std::abort();
}

}  // namespace fuzz_rewrite
