// Reading a picture's metadata through the imaging component, and the
// synthetic JPEG: loose EXIF and XMP blobs (a PNG eXIf chunk, WebP chunks,
// AVIF items, XMP kept in PNG text) wrapped in a minimal JPEG so that the one
// JPEG metadata reader lists them like any other file's.
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "meta/meta_internal.h"
#include "meta/parsers.h"

namespace {

// Where the synthetic JPEG's own blocks show up; they describe the tiny
// picture, not the file being listed.
bool IsTinyJpegBlock(std::wstring_view path) {
  return StartsWith(path, L"/app0") || StartsWith(path, L"/luminance") ||
         StartsWith(path, L"/chrominance");
}

MetaField Placeholder(const std::wstring& key, const wchar_t* group, const wchar_t* label,
                      std::size_t size) {
  MetaField f;
  f.key = key;
  f.group = group;
  f.label = label;
  f.value = L"(" + std::to_wstring(size) + L" bytes, too large to list)";
  f.loadedValue = f.value;
  f.loadedLabel = f.label;
  return f;
}

}  // namespace

bool Fac() {
  // The imaging component needs no start-up of its own: it is plain code
  // linked into the program, ready from the first call.
  return true;
}

img::Container WalkImage(const std::vector<std::uint8_t>& data, MetaDoc* doc,
                         const std::wstring& keyPrefix, bool allowEdit, bool addDimensions) {
  if (!Fac() || data.empty() || data.size() > 0x7FFFFFFF) return img::Container::Unknown;
  // The readers see the caller's bytes without a copy: an owner-less pointer,
  // used only while the bytes are alive within this call (the readers copy
  // every value they keep).
  const img::Bytes bytes(std::shared_ptr<void>(), &data);
  img::ContainerMetadata found;
  if (!img::ReadContainerMetadata(bytes, &found)) return img::Container::Unknown;
  if (addDimensions && found.width && found.height) {
    AddInfo(
        doc, L"Dimensions",
        std::to_wstring(found.width) + L" \u00D7 " + std::to_wstring(found.height) + L" pixels");
  }
  // The container's own blocks (a GIF's screen descriptor, application and
  // comment extensions) come first, then the frame's.
  if (found.top) Walk(found.top.get(), L"", doc, keyPrefix, allowEdit, 0);
  if (found.frame) Walk(found.frame.get(), L"", doc, keyPrefix, allowEdit, 0);
  return found.container;
}

void NormalizeExif(std::string* exif) {
  if (exif->size() <= 3) {
    exif->clear();
    return;
  }
  for (std::size_t at = 0; at <= 16 && at + 4 <= exif->size(); ++at) {
    const char* p = exif->data() + at;
    const bool ii = p[0] == 'I' && p[1] == 'I' && p[2] == 0x2A && p[3] == 0x00;
    const bool mm = p[0] == 'M' && p[1] == 'M' && p[2] == 0x00 && p[3] == 0x2A;
    if (ii || mm) {
      exif->erase(0, at);
      return;
    }
  }
  exif->clear();
}

void PutSeg(std::vector<std::uint8_t>* out, const void* header, std::size_t headerLen,
            const void* body, std::size_t bodyLen) {
  const std::size_t length = headerLen + bodyLen + 2;
  out->push_back(0xFF);
  out->push_back(0xE1);
  out->push_back(static_cast<std::uint8_t>((length >> 8) & 0xFF));
  out->push_back(static_cast<std::uint8_t>(length & 0xFF));
  const auto* h = static_cast<const std::uint8_t*>(header);
  const auto* b = static_cast<const std::uint8_t*>(body);
  if (headerLen) out->insert(out->end(), h, h + headerLen);
  if (bodyLen) out->insert(out->end(), b, b + bodyLen);
}

const std::vector<std::uint8_t>& TinyJpeg() {
  static std::vector<std::uint8_t> tiny;
  if (tiny.empty() && Fac()) {
    // One white pixel; the row is padded to 4 bytes like a bitmap's.
    const std::uint8_t pixel[4] = {0xFF, 0xFF, 0xFF, 0x00};
    std::vector<std::uint8_t> out;
    if (img::Succeeded(img::EncodeJpeg(pixel, 1, 1, 4, 0.92f, &out))) tiny = std::move(out);
  }
  return tiny;
}

bool FakeJpeg(const std::string& exif, const std::string& xmp, std::vector<std::uint8_t>* out) {
  const std::vector<std::uint8_t>& tiny = TinyJpeg();
  if (tiny.size() <= 3) return false;
  out->clear();
  out->push_back(0xFF);
  out->push_back(0xD8);
  if (!exif.empty()) {
    if (exif.size() > kMaxBlobBytes) return false;
    PutSeg(out, meta::kExifHead, sizeof meta::kExifHead, exif.data(), exif.size());
  }
  if (!xmp.empty()) {
    if (xmp.size() > kMaxBlobBytes) return false;
    PutSeg(out, meta::kXmpHead, sizeof meta::kXmpHead, xmp.data(), xmp.size());
  }
  std::vector<meta::Seg> segs;
  std::uint64_t scan = 0;
  if (tiny[0] != 0xFF || tiny[1] != 0xD8 || !meta::ParseJpeg(tiny, &segs, &scan)) return false;
  for (const meta::Seg& s : segs) {
    if (s.marker == 0xE1 || s.marker == 0xED || s.marker == 0xFE) continue;
    // Standalone markers (SOI) are not copied: the output has its own SOI.
    if (s.size <= 2) continue;
    out->insert(out->end(), tiny.begin() + static_cast<std::ptrdiff_t>(s.offset),
                tiny.begin() + static_cast<std::ptrdiff_t>(s.offset + s.size));
  }
  out->insert(out->end(), tiny.begin() + static_cast<std::ptrdiff_t>(scan), tiny.end());
  return true;
}

bool FieldsFromBlobs(MetaDoc* doc, std::string exif, const std::string& xmp,
                     const std::wstring& keyPrefix, bool allowEdit) {
  NormalizeExif(&exif);
  if (exif.empty() && xmp.empty()) return true;
  std::vector<std::uint8_t> jpeg;
  if (FakeJpeg(exif, xmp, &jpeg)) {
    const std::size_t first = doc->fields.size();
    WalkImage(jpeg, doc, keyPrefix, allowEdit, false);
    for (std::size_t i = doc->fields.size(); i > first; --i) {
      const std::wstring& key = doc->fields[i - 1].key;
      if (IsTinyJpegBlock(std::wstring_view(key).substr(std::min(keyPrefix.size(), key.size())))) {
        doc->fields.erase(doc->fields.begin() + static_cast<std::ptrdiff_t>(i - 1));
      }
    }
    return true;
  }
  if (!exif.empty()) {
    doc->fields.push_back(Placeholder(keyPrefix + L"(exif)", L"Other", L"EXIF data", exif.size()));
  }
  if (!xmp.empty()) {
    doc->fields.push_back(Placeholder(keyPrefix + L"(xmp)", L"XMP", L"XMP packet", xmp.size()));
  }
  return false;
}
