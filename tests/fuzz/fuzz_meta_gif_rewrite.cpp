// Arbitrary bytes through the GIF comment rewrite: the listing, an edit,
// removal or addition of comments chosen by the input's last bytes, and the
// rewrite. Whenever it succeeds, the result must split again with the same
// header, the same blocks apart from comments and the same tail.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "meta/edit.h"
#include "meta/meta_internal.h"
#include "meta/parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t op = data[size - 2], pick = data[size - 1];
  size -= 2;
  MetaDoc doc;
  doc.bytes.assign(data, data + size);
  ParseBytes(&doc);
  if (doc.format != L"GIF" || !doc.editable) return 0;
  std::vector<std::size_t> comments;
  for (std::size_t i = 0; i < doc.fields.size(); ++i) {
    if (StartsWith(doc.fields[i].key, L"gif:")) comments.push_back(i);
  }
  const std::wstring texts[] = {L"", L"c", std::wstring(300, L'\u00E9')};
  switch (op % 3) {
    case 0:
      if (!comments.empty()) doc.fields[comments[pick % comments.size()]].value = texts[pick % 3];
      break;
    case 1:
      if (!comments.empty()) doc.fields[comments[pick % comments.size()]].removed = true;
      break;
    default: {
      const std::int32_t i = meta_add(&doc, kGifPresets[0]);
      if (i >= 0) doc.fields[static_cast<std::size_t>(i)].value = texts[pick % 3];
      break;
    }
  }
  std::vector<std::uint8_t> out;
  std::wstring err;
  if (!SaveGif(doc, &out, &err)) {
    if (err.empty()) std::abort();
    return 0;
  }
  std::vector<meta::GifBlock> a, b;
  std::uint64_t fa = 0, fb = 0, ta = 0, tb = 0;
  if (!meta::ParseGif(doc.bytes, &a, &fa, &ta) || !meta::ParseGif(out, &b, &fb, &tb)) std::abort();
  if (fa != fb || std::memcmp(doc.bytes.data(), out.data(), static_cast<std::size_t>(fa)) != 0) {
    std::abort();
  }
  std::size_t j = 0;
  for (const meta::GifBlock& x : a) {
    if (x.isComment) continue;
    while (j < b.size() && b[j].isComment) ++j;
    if (j == b.size() || b[j].end - b[j].offset != x.end - x.offset ||
        std::memcmp(doc.bytes.data() + x.offset, out.data() + b[j].offset,
                    static_cast<std::size_t>(x.end - x.offset)) != 0) {
      std::abort();
    }
    ++j;
  }
  if (doc.bytes.size() - ta != out.size() - tb) std::abort();
  return 0;
}
