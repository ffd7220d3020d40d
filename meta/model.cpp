// The metadata document: change tests and the integer formatter.
#include "meta/meta.h"

namespace {

bool Contains(const std::wstring& text, std::wstring_view part) {
  return text.find(part) != std::wstring::npos;
}

// Fields that live in an embedded metadata block rather than in the
// container's own chunks.
bool IsBlockField(const std::wstring& key) {
  return StartsWith(key, L"/app1") || StartsWith(key, L"/app13") || StartsWith(key, L"/xmp") ||
         StartsWith(key, L"/com") || Contains(key, L"]com/") || Contains(key, L"unknown/");
}

}  // namespace

bool meta_field_changed(const MetaField& field) {
  if (field.added) return !field.removed && !field.value.empty();
  if (field.removed) return true;
  if (field.value != field.loadedValue) return true;
  return field.label != field.loadedLabel;
}

bool meta_dirty(const MetaDoc& doc) {
  for (const MetaField& f : doc.fields) {
    if (meta_field_changed(f)) return true;
  }
  return false;
}

bool AnyMetaKept(const MetaDoc& doc) {
  for (const MetaField& f : doc.fields) {
    if (!IsBlockField(f.key)) continue;
    if (f.removed || (f.added && f.value.empty())) continue;
    // A block the engine only passes through keeps the metadata alive only
    // when the user could have removed it and chose not to.
    if (!Contains(f.key, L"unknown/")) return true;
    if (f.removable) return true;
  }
  return false;
}

std::wstring Num(std::int64_t n) {
  // Digits from the magnitude as unsigned, so the most negative value works.
  std::uint64_t m = n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
  wchar_t buf[24];
  wchar_t* p = buf + 24;
  do {
    *--p = static_cast<wchar_t>(L'0' + m % 10);
    m /= 10;
  } while (m != 0);
  if (n < 0) *--p = L'-';
  return std::wstring(p, buf + 24);
}
