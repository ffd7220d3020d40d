// XMP packet editing: arbitrary bytes opened by the editor, which must agree
// with the reader on whether they are a packet at all. Then every item the
// reader finds is set or removed in turn through its own path, a property
// and an array item are created, and whatever the editor serialises must
// parse again. A leaf set on a fresh editor must read back at the same path
// with the new value, so the editor and the reader name the same nodes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "imaging/metadata_write_internal.h"

namespace {

// Every edit walks the whole document again, so a large packet gets only
// its first items edited.
constexpr std::size_t kMaxEdits = 64;
constexpr std::size_t kMaxReadBacks = 8;
// What one JPEG APP1 segment leaves for the packet.
constexpr std::size_t kMaxBytes = 65533 - 29;

void Check(bool cond) {
  if (!cond) std::abort();
}

const std::uint8_t* Data(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

struct Path {
  std::string path;
  bool leaf;
};

void Collect(const img::MetadataReader& r, const std::string& prefix, int depth,
             std::vector<Path>* paths) {
  if (depth > 12) return;
  const std::vector<std::string> names = r.GetEnumerator();
  for (std::size_t i = 0; i < names.size() && paths->size() < kMaxEdits; ++i) {
    const img::PropValue& v = r.Items()[i].value;
    paths->push_back({prefix + names[i], !v.reader});
    if (v.reader) Collect(*v.reader, prefix + names[i], depth + 1, paths);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto xmp = img::ParseXmpPacket(data, size);
  img::XmpEditor editor;
  const bool opened = editor.Open(data, size);
  Check(size == 0 ? opened : opened == (xmp != nullptr));
  if (!opened) return 0;
  Check(editor.Empty() == (!xmp || xmp->Items().empty()));

  std::vector<Path> paths;
  if (xmp) Collect(*xmp, "", 0, &paths);
  const img::PropValue value = img::PropValue::Lpwstr(L"v\u00E9 <&>\U0001F600");

  std::size_t readBacks = 0;
  for (const Path& p : paths) {
    img::PropValue before;
    if (!p.leaf || xmp->GetMetadataByName(p.path, &before) != img::kOk) continue;
    if (readBacks++ == kMaxReadBacks) break;
    img::XmpEditor single;
    Check(single.Open(data, size));
    Check(single.Set(p.path, value) == img::kOk);
    std::string out;
    Check(single.Serialize(16u << 20, &out) == img::kOk);
    const auto again = img::ParseXmpPacket(Data(out), out.size());
    Check(again != nullptr);
    img::PropValue v;
    Check(again->GetMetadataByName(p.path, &v) == img::kOk && v == value);
  }

  // The paths name items of the tree before any edit; after a removal some
  // name other items or nothing, which is fine.
  for (std::size_t i = 0; i < paths.size(); ++i) {
    img::HResult hr;
    if (i % 2 == 0) {
      hr = editor.Set(paths[i].path, value);
      Check(hr == img::kOk || hr == img::kInvalidArg || hr == img::kErrPropertyNotFound);
    } else {
      hr = editor.Remove(paths[i].path);
      Check(hr == img::kOk || hr == img::kErrPropertyNotFound);
    }
  }
  for (const char* path : {"/dc:title/x-default", "/dc:subject/{ulong=0}", "/xmp:Rating"}) {
    const img::HResult hr = editor.Set(path, value);
    Check(hr == img::kOk || hr == img::kInvalidArg || hr == img::kErrPropertyNotFound);
  }

  std::string out;
  if (editor.Serialize(kMaxBytes, &out) != img::kOk) return 0;
  if (!editor.Changed()) {
    Check(out == std::string(reinterpret_cast<const char*>(data), size));
    return 0;
  }
  const auto again = img::ParseXmpPacket(Data(out), out.size());
  Check(again != nullptr);
  Check(again->Items().empty() == editor.Empty());
  return 0;
}
