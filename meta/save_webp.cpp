// Rewriting a WebP file's metadata: the EXIF and XMP blobs edited through the
// JPEG metadata rewrite (wrapped in the synthetic JPEG and taken back out),
// then the RIFF file rebuilt with a VP8X header chunk where one is needed,
// every other chunk in its order, and the new EXIF and XMP chunks last. The
// image chunks are copied; only their padding and the RIFF size are written
// afresh.
#include <webp/decode.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "meta/meta_internal.h"
#include "meta/parsers.h"

namespace {

const wchar_t kMsgUnusual[] =
    L"This WebP file has an unusual structure and can't be rewritten safely.";
const wchar_t kMsgRewrite[] = L"The metadata in this WebP file could not be rewritten.";
const wchar_t kMsgCanvas[] = L"This WebP file could not be read well enough to add metadata to it.";

constexpr std::uint8_t kFlagExif = 0x08;
constexpr std::uint8_t kFlagXmp = 0x04;
constexpr std::uint8_t kFlagAlpha = 0x10;

bool IsWebp(const std::vector<std::uint8_t>& b, std::vector<meta::RiffChunk>* chunks) {
  return b.size() >= 20 && std::memcmp(b.data(), "RIFF", 4) == 0 &&
         std::memcmp(b.data() + 8, "WEBP", 4) == 0 && meta::ParseWebp(b, chunks);
}

bool Is(const meta::RiffChunk& c, const char* fourcc) {
  return std::memcmp(c.fourcc, fourcc, 4) == 0;
}

bool Metadata(const meta::RiffChunk& c) { return Is(c, "VP8X") || Is(c, "EXIF") || Is(c, "XMP "); }

// The payload bytes a chunk really has in the file (a last chunk may be cut).
std::uint64_t PayloadIn(const std::vector<std::uint8_t>& b, const meta::RiffChunk& c) {
  return c.dataOffset <= b.size() ? std::min<std::uint64_t>(c.size, b.size() - c.dataOffset) : 0;
}

void Put24(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
}

struct WebpFree {
  void operator()(std::uint8_t* p) const { WebPFree(p); }
};

}  // namespace

void PutRiff(std::vector<std::uint8_t>* out, const char* fourcc, const void* data,
             std::size_t size) {
  out->insert(out->end(), fourcc, fourcc + 4);
  for (int s = 0; s < 32; s += 8) out->push_back(static_cast<std::uint8_t>(size >> s));
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (size) out->insert(out->end(), p, p + size);
  if (size % 2) out->push_back(0);
}

bool SaveWebp(const MetaDoc& doc, std::vector<std::uint8_t>* out, std::wstring* err) {
  const std::vector<std::uint8_t>& in = doc.bytes;
  std::vector<meta::RiffChunk> chunks;
  if (!IsWebp(in, &chunks)) {
    *err = kMsgUnusual;
    return false;
  }
  std::vector<std::uint8_t> exifBlob, xmpBlob;
  meta::WebpBlobs(in, chunks, &exifBlob, &xmpBlob);
  std::string exif(exifBlob.begin(), exifBlob.end());
  NormalizeExif(&exif);
  std::string newExif, newXmp;
  if (AnyMetaKept(doc)) {
    std::vector<std::uint8_t> jpeg;
    std::vector<std::vector<std::uint8_t>> segments;
    if (!FakeJpeg(exif, std::string(xmpBlob.begin(), xmpBlob.end()), &jpeg) ||
        !EditJpegMeta(jpeg, doc, L"", &segments, err)) {
      if (err->empty()) *err = kMsgRewrite;
      return false;
    }
    for (const auto& s : segments) {
      if (s.size() < 4 || s[1] != 0xE1) continue;
      if (newExif.empty() && s.size() > 10 && std::memcmp(s.data() + 4, meta::kExifHead, 6) == 0) {
        newExif.assign(s.begin() + 10, s.end());
      } else if (newXmp.empty() && s.size() > 33 &&
                 std::memcmp(s.data() + 4, meta::kXmpHead, sizeof meta::kXmpHead) == 0) {
        newXmp.assign(s.begin() + 33, s.end());
      }
    }
  }
  std::uint8_t vp8x[10] = {};
  bool haveVp8x = false;
  for (const meta::RiffChunk& c : chunks) {
    if (Is(c, "VP8X") && PayloadIn(in, c) >= 10) {
      std::memcpy(vp8x, in.data() + c.dataOffset, 10);
      haveVp8x = true;
    }
  }
  if (!haveVp8x) {
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(in.data(), in.size(), &features) != VP8_STATUS_OK || features.width < 1 ||
        features.height < 1) {
      *err = kMsgCanvas;
      return false;
    }
    vp8x[0] = features.has_alpha ? kFlagAlpha : 0;
    Put24(vp8x + 4, static_cast<std::uint32_t>(features.width - 1));
    Put24(vp8x + 7, static_cast<std::uint32_t>(features.height - 1));
  }
  vp8x[0] = static_cast<std::uint8_t>(vp8x[0] & ~(kFlagExif | kFlagXmp));
  if (!newExif.empty()) vp8x[0] |= kFlagExif;
  if (!newXmp.empty()) vp8x[0] |= kFlagXmp;

  std::vector<const meta::RiffChunk*> kept;
  for (const meta::RiffChunk& c : chunks) {
    if (!Metadata(c)) kept.push_back(&c);
  }
  // A plain single-image file without metadata needs no extended header.
  const bool simple = kept.size() == 1 && (Is(*kept[0], "VP8 ") || Is(*kept[0], "VP8L"));
  const bool emitVp8x = !newExif.empty() || !newXmp.empty() || !simple;
  out->clear();
  out->reserve(in.size() + newExif.size() + newXmp.size() + 64);
  out->insert(out->end(), in.begin(), in.begin() + 12);
  if (emitVp8x) PutRiff(out, "VP8X", vp8x, 10);
  for (const meta::RiffChunk* c : kept) {
    PutRiff(out, c->fourcc, in.data() + c->dataOffset, static_cast<std::size_t>(PayloadIn(in, *c)));
  }
  if (!newExif.empty()) PutRiff(out, "EXIF", newExif.data(), newExif.size());
  if (!newXmp.empty()) PutRiff(out, "XMP ", newXmp.data(), newXmp.size());
  const std::uint64_t riff = out->size() - 8;
  for (int k = 0; k < 4; ++k) (*out)[4 + k] = static_cast<std::uint8_t>(riff >> (8 * k));
  return true;
}

bool SameWebp(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  std::vector<meta::RiffChunk> ca, cb;
  if (!IsWebp(a, &ca) || !IsWebp(b, &cb)) return false;
  std::vector<const meta::RiffChunk*> ka, kb;
  for (const meta::RiffChunk& c : ca) {
    if (!Metadata(c)) ka.push_back(&c);
  }
  for (const meta::RiffChunk& c : cb) {
    if (!Metadata(c)) kb.push_back(&c);
  }
  if (ka.size() != kb.size()) return false;
  for (std::size_t i = 0; i < ka.size(); ++i) {
    const std::uint64_t n = PayloadIn(a, *ka[i]);
    if (!Is(*ka[i], kb[i]->fourcc) || PayloadIn(b, *kb[i]) != n ||
        std::memcmp(a.data() + ka[i]->dataOffset, b.data() + kb[i]->dataOffset,
                    static_cast<std::size_t>(n)) != 0) {
      return false;
    }
  }
  int wa = 0, ha = 0, wb = 0, hb = 0;
  std::unique_ptr<std::uint8_t, WebpFree> pa(WebPDecodeBGRA(a.data(), a.size(), &wa, &ha));
  std::unique_ptr<std::uint8_t, WebpFree> pb(WebPDecodeBGRA(b.data(), b.size(), &wb, &hb));
  // Where the old file does not decode (an animation, or a RIFF size the
  // rewrite has corrected), the image chunks compared above decide.
  if (!pa) return true;
  if (!pb || wa != wb || ha != hb) return false;
  return std::memcmp(pa.get(), pb.get(), static_cast<std::size_t>(wa) * ha * 4) == 0;
}
