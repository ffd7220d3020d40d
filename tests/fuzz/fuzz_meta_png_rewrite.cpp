// Arbitrary bytes through the PNG metadata rewrite: the listing, an edit,
// removal or addition chosen by the input's last bytes, and the rewrite.
// Whenever it succeeds, the result must split again into chunks, and every
// chunk that carries no metadata must be there unchanged and in order.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "meta/edit.h"
#include "meta/meta_internal.h"
#include "meta/parsers.h"

namespace {

bool Metadata(const meta::Chunk& c) {
  const std::string t = c.type;
  return meta::IsTextChunk(c.type) || t == "tIME" || t == "eXIf";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t op = data[size - 2], pick = data[size - 1];
  size -= 2;
  MetaDoc doc;
  doc.bytes.assign(data, data + size);
  ParseBytes(&doc);
  if (doc.format != L"PNG" || !doc.editable) return 0;
  std::vector<std::size_t> fields;
  for (std::size_t i = 0; i < doc.fields.size(); ++i) {
    if (doc.fields[i].editable || doc.fields[i].removable) fields.push_back(i);
  }
  const std::wstring texts[] = {L"", L"v", L"5 \u20AC", L"1/250", std::wstring(100, L'\u00E9')};
  switch (op % 4) {
    case 0:
      if (!fields.empty()) doc.fields[fields[pick % fields.size()]].value = texts[pick % 5];
      break;
    case 1:
      if (!fields.empty()) doc.fields[fields[pick % fields.size()]].removed = true;
      break;
    case 2:
      if (!fields.empty()) doc.fields[fields[pick % fields.size()]].label = L"Renamed";
      break;
    default: {
      const std::int32_t i = meta_add(&doc, kPngPresets[pick % kPngPresetCount]);
      if (i >= 0) doc.fields[static_cast<std::size_t>(i)].value = texts[pick % 5];
      break;
    }
  }
  std::vector<std::uint8_t> out;
  std::wstring err;
  if (!SavePng(doc, &out, &err)) {
    if (err.empty()) std::abort();
    return 0;
  }
  std::vector<meta::Chunk> a, b;
  if (!meta::ParsePng(doc.bytes, &a) || !meta::ParsePng(out, &b)) std::abort();
  std::size_t j = 0;
  for (const meta::Chunk& x : a) {
    if (Metadata(x)) continue;
    while (j < b.size() && Metadata(b[j])) ++j;
    if (j == b.size() || b[j].length != x.length ||
        std::memcmp(doc.bytes.data() + x.offset, out.data() + b[j].offset,
                    static_cast<std::size_t>(x.length + 12)) != 0) {
      std::abort();
    }
    ++j;
  }
  return 0;
}
