// Rewriting a GIF's comments: the file copied block by block, added comments
// right after the global colour table, edited ones in place, removed ones
// left out, and every other block byte for byte; and the check that the new
// file differs from the old one in its comments only.
#include <algorithm>
#include <cstring>

#include "meta/meta_internal.h"
#include "meta/parsers.h"

namespace {

const wchar_t kMsgUnusualGif[] =
    L"This GIF file has an unusual structure and can't be rewritten safely.";

void Append(std::vector<std::uint8_t>* out, const std::vector<std::uint8_t>& from,
            std::uint64_t begin, std::uint64_t end) {
  out->insert(out->end(), from.begin() + static_cast<std::ptrdiff_t>(begin),
              from.begin() + static_cast<std::ptrdiff_t>(end));
}

// The field that decides what becomes of comment block `index`: the last
// one, in document order, that came from it.
const MetaField* FieldOf(const MetaDoc& doc, std::size_t index) {
  const MetaField* found = nullptr;
  for (const MetaField& f : doc.fields) {
    if (StartsWith(f.key, L"gif:") && f.blockIndex == static_cast<std::int32_t>(index)) {
      found = &f;
    }
  }
  return found;
}

}  // namespace

void PutGifComment(std::vector<std::uint8_t>* out, const std::wstring& text) {
  const std::string bytes = ToUtf8(text);
  out->push_back(0x21);
  out->push_back(0xFE);
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t n = std::min<std::size_t>(255, bytes.size() - at);
    out->push_back(static_cast<std::uint8_t>(n));
    out->insert(out->end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  }
  out->push_back(0x00);
}

bool SaveGif(const MetaDoc& doc, std::vector<std::uint8_t>* out, std::wstring* err) {
  const std::vector<std::uint8_t>& in = doc.bytes;
  std::vector<meta::GifBlock> blocks;
  std::uint64_t first = 0, trailer = 0;
  if (!meta::ParseGif(in, &blocks, &first, &trailer)) {
    *err = kMsgUnusualGif;
    return false;
  }
  out->clear();
  out->reserve(in.size() + 1024);
  Append(out, in, 0, first);
  for (const MetaField& f : doc.fields) {
    if (f.added && !f.removed && !f.value.empty() && StartsWith(f.key, L"gif:new:")) {
      PutGifComment(out, f.value);
    }
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const meta::GifBlock& b = blocks[i];
    const MetaField* f = b.isComment ? FieldOf(doc, i) : nullptr;
    if (!f || (!f->removed && f->value == f->loadedValue)) {
      Append(out, in, b.offset, b.end);
    } else if (!f->removed && !f->value.empty()) {
      PutGifComment(out, f->value);
    }
    // Removed, or cleared: the comment goes.
  }
  Append(out, in, trailer, in.size());
  return true;
}

bool SameGif(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  std::vector<meta::GifBlock> ba, bb;
  std::uint64_t fa = 0, fb = 0, ta = 0, tb = 0;
  if (!meta::ParseGif(a, &ba, &fa, &ta) || !meta::ParseGif(b, &bb, &fb, &tb)) return false;
  if (fa != fb || !std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(fa), b.begin())) {
    return false;
  }
  auto pictureBlocks = [](const std::vector<meta::GifBlock>& blocks) {
    std::vector<meta::GifBlock> out;
    for (const meta::GifBlock& g : blocks) {
      if (!g.isComment) out.push_back(g);
    }
    return out;
  };
  const std::vector<meta::GifBlock> pa = pictureBlocks(ba), pb = pictureBlocks(bb);
  if (pa.size() != pb.size()) return false;
  for (std::size_t i = 0; i < pa.size(); ++i) {
    const std::uint64_t n = pa[i].end - pa[i].offset;
    if (pb[i].end - pb[i].offset != n ||
        std::memcmp(a.data() + pa[i].offset, b.data() + pb[i].offset,
                    static_cast<std::size_t>(n)) != 0) {
      return false;
    }
  }
  if (a.size() - ta != b.size() - tb ||
      !std::equal(a.begin() + static_cast<std::ptrdiff_t>(ta), a.end(),
                  b.begin() + static_cast<std::ptrdiff_t>(tb))) {
    return false;
  }
  return SamePicture(a, b);
}
