// XMP packets: arbitrary bytes through the packet parser, then the whole
// reader tree walked. Every name an enumerator gives must resolve to its own
// item, and the tree must respect the depth and item limits; a violation
// aborts so the fuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "imaging/imaging.h"

namespace {

void Check(bool cond) {
  if (!cond) std::abort();
}

void Walk(const img::MetadataReader& r, int depth, std::size_t* count) {
  Check(depth <= 12);
  const std::vector<std::string> names = r.GetEnumerator();
  Check(names.size() == r.Items().size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    const img::MetaItem& item = r.Items()[i];
    img::PropValue v;
    Check(r.GetMetadataByName(names[i], &v) == img::kOk && v == item.value);
    ++*count;
    if (item.value.vt == img::kVtUnknown) {
      Check(item.value.reader != nullptr);
      const std::string& f = item.value.reader->Format();
      Check(f == "xmpbag" || f == "xmpseq" || f == "xmpalt" || f == "xmpstruct");
      Walk(*item.value.reader, depth + 1, count);
    } else {
      Check(item.value.vt == img::kVtLpwstr);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto xmp = img::ParseXmpPacket(data, size);
  if (!xmp) return 0;
  Check(xmp->Format() == "xmp");
  std::size_t count = 0;
  Walk(*xmp, 0, &count);
  Check(count <= 100000);
  img::PropValue v;
  xmp->GetMetadataByName("/dc:title/x-default", &v);
  xmp->GetMetadataByName("/dc:subject/{ulong=0}", &v);
  return 0;
}
