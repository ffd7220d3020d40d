// Typed values and the metadata reader tree with its query paths.
#include <algorithm>
#include <cctype>
#include <unordered_map>
#include <utility>

#include "imaging/imaging.h"

namespace img {

namespace {

PropValue Make(std::uint16_t vt) {
  PropValue v;
  v.vt = vt;
  return v;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Names that stand for the numeric ids of the EXIF directories.
std::string Canonical(std::string_view component) {
  static const std::pair<const char*, const char*> kAliases[] = {
      {"ifd", "{ushort=0}"},     {"thumb", "{ushort=1}"},       {"exif", "{ushort=34665}"},
      {"gps", "{ushort=34853}"}, {"interop", "{ushort=40965}"},
  };
  std::string low = Lower(component);
  for (const auto& [name, id] : kAliases) {
    if (low == name) return id;
  }
  return low;
}

// Splits "/a/{str=x/y}/b" into components, keeping braces whole.
bool SplitPath(std::string_view path, std::vector<std::string_view>* parts) {
  if (path.empty() || path[0] != '/') return false;
  std::size_t i = 1, start = 1;
  int depth = 0;
  for (; i <= path.size(); ++i) {
    char c = i < path.size() ? path[i] : '/';
    if (c == '{') ++depth;
    if (c == '}' && depth > 0) --depth;
    if (c == '/' && depth == 0) {
      if (i == start) return false;
      parts->push_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  return depth == 0 && !parts->empty();
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
  if (!SplitPath(path, &parts)) return kInvalidArg;
  const MetadataReader* at = this;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    std::string_view part = parts[k];
    std::size_t wanted = 0;
    if (part.front() == '[') {
      std::size_t close = part.find(']');
      if (close == std::string_view::npos || close == 1) return kInvalidArg;
      std::size_t n = 0;
      for (std::size_t j = 1; j < close; ++j) {
        if (!std::isdigit(static_cast<unsigned char>(part[j])) || n > 100000) return kInvalidArg;
        n = n * 10 + static_cast<std::size_t>(part[j] - '0');
      }
      wanted = n;
      part.remove_prefix(close + 1);
      if (part.empty()) return kInvalidArg;
    }
    std::string key = Canonical(part);
    const PropValue* found = nullptr;
    std::size_t seen = 0;
    for (const MetaItem& item : at->items_) {
      if (Canonical(item.id) != key) continue;
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
    const std::size_t earlier = seen[Canonical(item.id)]++;
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

}  // namespace img
