// Rewriting a PNG's metadata chunk by chunk: chunks without edits copied with
// their stored CRC, edited and added text written fresh as tEXt (Latin-1) or
// iTXt (anything else), removed text and tIME left out, and an eXIf chunk
// whose EXIF changed regenerated through the JPEG metadata rewrite. The
// picture chunks are never touched.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "meta/edit.h"
#include "meta/meta_internal.h"
#include "meta/parsers.h"

namespace {

const wchar_t kMsgDamagedPng[] = L"This PNG file is damaged and can't be rewritten safely.";
const wchar_t kMsgExif[] = L"The EXIF data in this PNG could not be rewritten.";

void Copy(std::vector<std::uint8_t>* out, const std::vector<std::uint8_t>& in,
          const meta::Chunk& c) {
  const auto from = in.begin() + static_cast<std::ptrdiff_t>(c.offset);
  out->insert(out->end(), from, from + static_cast<std::ptrdiff_t>(c.length + 12));
}

const MetaField* FieldOf(const MetaDoc& doc, std::size_t index) {
  for (const MetaField& f : doc.fields) {
    if (StartsWith(f.key, L"png:") && f.blockIndex == static_cast<std::int32_t>(index)) return &f;
  }
  return nullptr;
}

// The eXIf chunk's EXIF with the document's "exif:" edits, through the
// synthetic JPEG; an empty result means no EXIF is left.
bool RewriteExif(const MetaDoc& doc, const std::vector<std::uint8_t>& in, const meta::Chunk& c,
                 std::vector<std::uint8_t>* out, std::wstring* err) {
  std::string exif(reinterpret_cast<const char*>(in.data() + c.dataOffset),
                   static_cast<std::size_t>(c.length));
  NormalizeExif(&exif);
  std::vector<std::uint8_t> jpeg;
  std::vector<std::vector<std::uint8_t>> segments;
  if (exif.empty() || !FakeJpeg(exif, std::string(), &jpeg) ||
      !EditJpegMeta(jpeg, doc, L"exif:", &segments, err)) {
    if (err->empty()) *err = kMsgExif;
    return false;
  }
  for (const auto& s : segments) {
    if (s.size() > 10 && s[1] == 0xE1 && std::memcmp(s.data() + 4, "Exif\0\0", 6) == 0) {
      PutChunk(out, "eXIf", s.data() + 10, s.size() - 10);
      break;
    }
  }
  return true;
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes 32-bit lengths: long data goes in pieces.
  while (size > 0) {
    const uInt n = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
    crc = crc32(crc, data, n);
    data += n;
    size -= n;
  }
  return static_cast<std::uint32_t>(crc);
}

void PutChunk(std::vector<std::uint8_t>* out, const char* type, const void* data,
              std::size_t size) {
  auto be32 = [&](std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out->push_back(static_cast<std::uint8_t>(v >> s));
  };
  be32(static_cast<std::uint32_t>(size));
  const std::size_t typeAt = out->size();
  out->insert(out->end(), type, type + 4);
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (size) out->insert(out->end(), p, p + size);
  be32(Crc32(out->data() + typeAt, 4 + size));
}

void PutText(std::vector<std::uint8_t>* out, const wchar_t* keyword, std::size_t keywordLength,
             const std::wstring& text) {
  std::vector<std::uint8_t> data;
  for (std::size_t k = 0; k < keywordLength; ++k) {
    data.push_back(static_cast<std::uint8_t>(keyword[k] & 0xFF));
  }
  data.push_back(0);
  bool latin1 = true;
  for (wchar_t c : text) latin1 = latin1 && static_cast<std::uint32_t>(c) <= 0xFF;
  if (latin1) {
    for (wchar_t c : text) data.push_back(static_cast<std::uint8_t>(c));
    PutChunk(out, "tEXt", data.data(), data.size());
    return;
  }
  // Not compressed, no language tag, no translated keyword.
  data.insert(data.end(), {0, 0, 0, 0});
  const std::string utf8 = ToUtf8(text);
  data.insert(data.end(), utf8.begin(), utf8.end());
  PutChunk(out, "iTXt", data.data(), data.size());
}

bool SavePng(const MetaDoc& doc, std::vector<std::uint8_t>* out, std::wstring* err) {
  const std::vector<std::uint8_t>& in = doc.bytes;
  std::vector<meta::Chunk> chunks;
  if (in.size() < 20 || std::memcmp(in.data(), meta::kPngSig, 8) != 0 ||
      !meta::ParsePng(in, &chunks)) {
    *err = kMsgDamagedPng;
    return false;
  }
  bool exifChanged = false;
  for (const MetaField& f : doc.fields) {
    if (StartsWith(f.key, L"exif:") && meta_field_changed(f)) exifChanged = true;
    if (StartsWith(f.key, L"png:") && f.renamable && !f.removed && meta_field_changed(f) &&
        !meta_png_keyword_valid(f.label)) {
      *err = meta_png_keyword_error(f.label);
      return false;
    }
  }
  out->clear();
  out->reserve(in.size() + 4096);
  out->insert(out->end(), meta::kPngSig, meta::kPngSig + 8);
  bool added = false;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const meta::Chunk& c = chunks[i];
    const std::string type = c.type;
    if (!added && (type == "IDAT" || type == "IEND")) {
      // New text goes in front of the picture data.
      for (const MetaField& f : doc.fields) {
        if (f.added && !f.removed && !f.value.empty() && StartsWith(f.key, L"png:new:")) {
          PutText(out, f.label.c_str(), f.label.size(), f.value);
        }
      }
      added = true;
    }
    if (meta::IsTextChunk(c.type) || type == "tIME") {
      const MetaField* f = FieldOf(doc, i);
      if (f && f->removed) continue;
      if (!f || !f->editable || (f->value == f->loadedValue && f->label == f->loadedLabel)) {
        Copy(out, in, c);
      } else {
        PutText(out, f->label.c_str(), f->label.size(), f->value);
      }
    } else if (type == "eXIf" && exifChanged) {
      if (!RewriteExif(doc, in, c, out, err)) return false;
    } else {
      Copy(out, in, c);
    }
  }
  // Whatever follows IEND stays.
  const meta::Chunk& last = chunks.back();
  out->insert(out->end(), in.begin() + static_cast<std::ptrdiff_t>(last.offset + last.length + 12),
              in.end());
  return true;
}
