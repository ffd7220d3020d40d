// Arbitrary bytes through the byte-level reading of a file's metadata: the
// recognition, every container's listing and the reader tree walk.
#include <cstdint>
#include <cstdlib>

#include "meta/meta_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MetaDoc doc;
  doc.bytes.assign(data, data + size);
  ParseBytes(&doc);
  // Whatever the bytes, every field is a complete row.
  for (const MetaField& f : doc.fields) {
    if (f.key.empty() || f.group.empty()) std::abort();
    if (f.loadedValue != f.value || f.loadedLabel != f.label) std::abort();
    if (f.editable && (f.group == L"Technical" || f.group == L"Embedded thumbnail")) std::abort();
  }
  if (doc.format.empty()) std::abort();
  return 0;
}
