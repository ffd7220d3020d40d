// The pieces of a query path, shared by the reader tree and the block editors
// so that a path names the same item whether it is read or written.
#include <cctype>
#include <utility>

#include "imaging/metadata_write_internal.h"

namespace img {

bool SplitQueryPath(std::string_view path, std::vector<std::string_view>* parts) {
  if (path.empty() || path[0] != '/') return false;
  std::size_t start = 1;
  int depth = 0;
  for (std::size_t i = 1; i <= path.size(); ++i) {
    const char c = i < path.size() ? path[i] : '/';
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

bool SplitOccurrence(std::string_view component, std::size_t* index, std::string_view* name) {
  if (component.empty()) return false;
  std::size_t n = 0;
  if (component.front() == '[') {
    const std::size_t close = component.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    for (std::size_t j = 1; j < close; ++j) {
      // No real block repeats anywhere near this often; the cap keeps n from
      // overflowing on a hostile path.
      if (!std::isdigit(static_cast<unsigned char>(component[j])) || n > 100000) return false;
      n = n * 10 + static_cast<std::size_t>(component[j] - '0');
    }
    component.remove_prefix(close + 1);
    if (component.empty()) return false;
  }
  *index = n;
  *name = component;
  return true;
}

std::string CanonicalComponent(std::string_view name) {
  // Names that stand for the numeric ids of the EXIF directories.
  static const std::pair<const char*, const char*> kAliases[] = {
      {"ifd", "{ushort=0}"},     {"thumb", "{ushort=1}"},       {"exif", "{ushort=34665}"},
      {"gps", "{ushort=34853}"}, {"interop", "{ushort=40965}"},
  };
  std::string low(name);
  for (char& c : low) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto& [alias, id] : kAliases) {
    if (low == alias) return id;
  }
  return low;
}

bool ComponentTag(std::string_view canonical, std::uint16_t* tag) {
  constexpr std::string_view kHead = "{ushort=";
  if (canonical.size() <= kHead.size() + 1 || canonical.substr(0, kHead.size()) != kHead ||
      canonical.back() != '}') {
    return false;
  }
  std::uint32_t v = 0;
  for (char c : canonical.substr(kHead.size(), canonical.size() - kHead.size() - 1)) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
    if (v > 0xFFFF) return false;
  }
  *tag = static_cast<std::uint16_t>(v);
  return true;
}

}  // namespace img
