// Small lookups shared by the metadata save tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta.h"
#include "meta/meta_internal.h"

namespace meta_test {

// The preset with this label from a format's list (its first one when none
// has it).
template <std::size_t N>
const MetaPreset& PresetIn(const MetaPreset (&presets)[N], const wchar_t* label) {
  for (const MetaPreset& p : presets) {
    if (std::wcscmp(p.label, label) == 0) return p;
  }
  return presets[0];
}

// The value of the field with this key, or "(missing)".
inline std::wstring ValueOf(const MetaDoc& doc, const std::wstring& key) {
  for (const MetaField& f : doc.fields) {
    if (f.key == key) return f.value;
  }
  return L"(missing)";
}

// The document of a file's bytes, which must be of `format` (and, when
// asked, editable).
inline MetaDoc ParseAs(const std::vector<std::uint8_t>& bytes, const wchar_t* format,
                       bool editable) {
  MetaDoc doc;
  doc.bytes = bytes;
  ParseBytes(&doc);
  EXPECT_EQ(doc.format, format);
  if (editable) {
    EXPECT_TRUE(doc.editable);
  }
  return doc;
}

}  // namespace meta_test
