// Typed values and the metadata reader tree with its query paths.
#include <algorithm>
#include <unordered_map>
#include <utility>

#include "imaging/imaging.h"
#include "imaging/metadata_write_internal.h"

namespace img {

namespace {

PropValue Make(std::uint16_t vt) {
  PropValue v;
  v.vt = vt;
  return v;
}

}  // namespace

PropValue PropValue::UI1(std::uint8_t v) {
  auto p = Make(kVtUI1);
  p.u = v;
  return p;
}
PropValue PropValue::UI2(std::uint16_t v) {
  auto p = Make(kVtUI2);
  p.u = v;
  return p;
}
PropValue PropValue::UI4(std::uint32_t v) {
  auto p = Make(kVtUI4);
  p.u = v;
  return p;
}
PropValue PropValue::UI8(std::uint64_t v) {
  auto p = Make(kVtUI8);
  p.u = v;
  return p;
}
PropValue PropValue::I1(std::int8_t v) {
  auto p = Make(kVtI1);
  p.i = v;
  return p;
}
PropValue PropValue::I2(std::int16_t v) {
  auto p = Make(kVtI2);
  p.i = v;
  return p;
}
PropValue PropValue::I4(std::int32_t v) {
  auto p = Make(kVtI4);
  p.i = v;
  return p;
}
PropValue PropValue::I8(std::int64_t v) {
  auto p = Make(kVtI8);
  p.i = v;
  return p;
}
PropValue PropValue::R4(float v) {
  auto p = Make(kVtR4);
  p.d = v;
  return p;
}
PropValue PropValue::R8(double v) {
  auto p = Make(kVtR8);
  p.d = v;
  return p;
}
PropValue PropValue::Bool(bool v) {
  auto p = Make(kVtBool);
  p.u = v ? 1 : 0;
  return p;
}
PropValue PropValue::Lpstr(std::string v) {
  auto p = Make(kVtLpstr);
  p.bytes = std::move(v);
  return p;
}
PropValue PropValue::Lpwstr(std::wstring v) {
  auto p = Make(kVtLpwstr);
  p.text = std::move(v);
  return p;
}
PropValue PropValue::Blob(std::string v) {
  auto p = Make(kVtBlob);
  p.bytes = std::move(v);
  return p;
}
PropValue PropValue::Reader(std::shared_ptr<const MetadataReader> r) {
  auto p = Make(kVtUnknown);
  p.reader = std::move(r);
  return p;
}

std::size_t PropValue::Count() const {
  if (!(vt & kVtVector)) return vt == kVtEmpty ? 0 : 1;
  std::uint16_t t = vt & ~kVtVector;
  if (t == kVtUI1) return bytes.size();
  if (t == kVtR4 || t == kVtR8) return reals.size();
  if (t == kVtLpstr || t == kVtLpwstr) return strs.size();
  return nums.size();
}

bool operator==(const PropValue& a, const PropValue& b) {
  return a.vt == b.vt && a.i == b.i && a.u == b.u && a.d == b.d && a.bytes == b.bytes &&
         a.text == b.text && a.nums == b.nums && a.reals == b.reals && a.strs == b.strs &&
         a.reader == b.reader;
}

MetadataReader::MetadataReader(std::string format, std::vector<MetaItem> items)
    : format_(std::move(format)), items_(std::move(items)) {}

HResult MetadataReader::GetMetadataByName(std::string_view path, PropValue* out) const {
  if (!out) return kPointer;
  std::vector<std::string_view> parts;
  if (!SplitQueryPath(path, &parts)) return kInvalidArg;
  const MetadataReader* at = this;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    std::size_t wanted = 0;
    std::string_view part;
    if (!SplitOccurrence(parts[k], &wanted, &part)) return kInvalidArg;
    const std::string key = CanonicalComponent(part);
    const PropValue* found = nullptr;
    std::size_t seen = 0;
    for (const MetaItem& item : at->items_) {
      if (CanonicalComponent(item.id) != key) continue;
      if (seen++ == wanted) {
        found = &item.value;
        break;
      }
    }
    if (!found) return kErrPropertyNotFound;
    if (k + 1 == parts.size()) {
      *out = *found;
      return kOk;
    }
    if (found->vt != kVtUnknown || !found->reader) return kErrPropertyNotFound;
    at = found->reader.get();
  }
  return kErrPropertyNotFound;
}

std::vector<std::string> MetadataReader::GetEnumerator() const {
  std::vector<std::string> names;
  names.reserve(items_.size());
  std::unordered_map<std::string, std::size_t> seen;
  for (const MetaItem& item : items_) {
    const std::size_t earlier = seen[CanonicalComponent(item.id)]++;
    names.push_back(earlier == 0 ? "/" + item.id : "/[" + std::to_string(earlier) + "]" + item.id);
  }
  return names;
}

bool ReadUInt(const MetadataReader* reader, std::string_view path, std::uint32_t* out) {
  if (!reader || !out) return false;
  PropValue v;
  if (Failed(reader->GetMetadataByName(path, &v))) return false;
  if (v.vt != kVtUI1 && v.vt != kVtUI2 && v.vt != kVtUI4) return false;
  *out = static_cast<std::uint32_t>(v.u);
  return true;
}

bool ReadInteger(const MetadataReader* reader, std::string_view path, std::int64_t* out) {
  if (!reader || !out) return false;
  PropValue v;
  if (Failed(reader->GetMetadataByName(path, &v))) return false;
  switch (v.vt) {
    case kVtUI1:
    case kVtUI2:
    case kVtUI4:
      *out = static_cast<std::int64_t>(v.u);
      return true;
    case kVtI1:
    case kVtI2:
    case kVtI4:
      *out = v.i;
      return true;
    default:
      return false;
  }
}

}  // namespace img
