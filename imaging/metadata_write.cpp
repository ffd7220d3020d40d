// The encoder side of the metadata engine for JPEG: the blocks of a decoded
// frame copied into a frame being encoded, a query writer that edits them by
// path, and the encoder that writes them as marker segments in front of a
// freshly encoded picture. A block nobody edited is written exactly as it was
// read; EXIF and XMP blocks are edited by their own editors; comments are
// replaced whole; every other block can only be kept or dropped.
#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "imaging/jpeg_internal.h"
#include "imaging/metadata_write_internal.h"
#include "platform/platform.h"

namespace img {
namespace {

constexpr char kExifHead[6] = {'E', 'x', 'i', 'f', 0, 0};
constexpr char kXmpHead[] = "http://ns.adobe.com/xap/1.0/";  // with its zero: 29 bytes
constexpr std::size_t kXmpHeadBytes = sizeof kXmpHead;
// A marker segment's length field counts itself: at most 65,533 payload bytes.
constexpr std::size_t kMaxPayload = 65533;

struct Block {
  std::string format;                // canonical block name: "app1", "xmp", "com", ...
  std::vector<std::uint8_t> stored;  // the segment as read; empty for a new block
  bool removed = false;
  // Editors, opened on first use.
  std::optional<ExifEditor> exif;
  std::optional<XmpEditor> xmp;
  bool unreadable = false;             // its editor refused the stored bytes
  std::optional<std::string> comment;  // a comment's new text

  std::uint8_t Marker() const { return stored.size() >= 2 ? stored[1] : 0; }
  // The payload after the marker and length.
  const std::uint8_t* Payload() const { return stored.data() + 4; }
  std::size_t PayloadSize() const { return stored.size() >= 4 ? stored.size() - 4 : 0; }
};

void PutSegment(std::uint8_t marker, const void* head, std::size_t headLen, const void* body,
                std::size_t bodyLen, std::vector<std::uint8_t>* out) {
  const std::size_t length = headLen + bodyLen + 2;
  out->push_back(0xFF);
  out->push_back(marker);
  out->push_back(static_cast<std::uint8_t>(length >> 8));
  out->push_back(static_cast<std::uint8_t>(length));
  const auto* h = static_cast<const std::uint8_t*>(head);
  const auto* b = static_cast<const std::uint8_t*>(body);
  if (headLen) out->insert(out->end(), h, h + headLen);
  if (bodyLen) out->insert(out->end(), b, b + bodyLen);
}

class JpegQueryWriter : public GuardedQueryWriter {
 public:
  void Reset(std::vector<MetadataBlock> blocks) {
    blocks_.clear();
    for (MetadataBlock& b : blocks) {
      Block block;
      block.format = CanonicalComponent(b.format);
      block.stored = std::move(b.bytes);
      blocks_.push_back(std::move(block));
    }
  }

  // The segments of every kept block, in order. False when one cannot be
  // written within a segment's limit.
  bool Segments(std::vector<std::uint8_t>* out) const {
    // The extension pieces of the XMP packet belong to the first packet
    // (which names them): they go when it does, never on their own.
    const int main = Find("xmp", 0);
    const bool mainGone = main >= 0 && Gone(blocks_[static_cast<std::size_t>(main)]);
    for (const Block& b : blocks_) {
      if (b.removed) continue;
      if (b.format == "xmpextpart" && mainGone) continue;
      if (Gone(b)) continue;  // no directory or property left: the block goes
      if (b.format == "app1" && b.exif && b.exif->Changed()) {
        std::vector<std::uint8_t> tiff;
        if (Failed(b.exif->Serialize(kMaxPayload - sizeof kExifHead, &tiff))) return false;
        PutSegment(0xE1, kExifHead, sizeof kExifHead, tiff.data(), tiff.size(), out);
      } else if (b.format == "xmp" && b.xmp && b.xmp->Changed()) {
        std::string packet;
        if (Failed(b.xmp->Serialize(kMaxPayload - kXmpHeadBytes, &packet))) return false;
        PutSegment(0xE1, kXmpHead, kXmpHeadBytes, packet.data(), packet.size(), out);
      } else if (b.format == "com" && b.comment) {
        if (b.comment->size() > kMaxPayload) return false;
        PutSegment(0xFE, nullptr, 0, b.comment->data(), b.comment->size(), out);
      } else if (b.format == "app0") {
        continue;  // the encoder writes its own JFIF segment
      } else if (!b.stored.empty()) {
        out->insert(out->end(), b.stored.begin(), b.stored.end());
      }
    }
    return true;
  }

 private:
  // True when a block is written no more: removed, or an edited EXIF block
  // or XMP packet left without anything in it.
  static bool Gone(const Block& b) {
    if (b.removed) return true;
    if (b.format == "app1" && b.exif && b.exif->Changed()) return b.exif->Empty();
    if (b.format == "xmp" && b.xmp && b.xmp->Changed()) return b.xmp->Empty();
    return false;
  }

  // The k-th block of a kind (removed ones count, so that indexes stay as
  // the reader gave them), or -1.
  int Find(const std::string& format, std::size_t k) const {
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
      if (blocks_[i].format != format) continue;
      if (k-- == 0) return static_cast<int>(i);
    }
    return -1;
  }

  std::size_t CountOf(const std::string& format) const {
    return static_cast<std::size_t>(std::count_if(
        blocks_.begin(), blocks_.end(), [&](const Block& b) { return b.format == format; }));
  }

  // Where a new block of a kind goes: EXIF first, XMP after the EXIF
  // blocks, anything else last.
  int Add(const std::string& format) {
    std::size_t at = blocks_.size();
    if (format == "app1") {
      at = 0;
    } else if (format == "xmp") {
      at = 0;
      for (std::size_t i = 0; i < blocks_.size(); ++i) {
        if (blocks_[i].format == "app1") at = i + 1;
      }
    }
    Block b;
    b.format = format;
    blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(at), std::move(b));
    return static_cast<int>(at);
  }

  // The block's editor, opened from its stored bytes on first use.
  ExifEditor* Exif(Block* b) {
    if (!b->exif && !b->unreadable) {
      ExifEditor e;
      const bool fresh = b->stored.empty();
      const bool ok =
          fresh ? e.Open(nullptr, 0)
                : b->PayloadSize() >= sizeof kExifHead &&
                      e.Open(b->Payload() + sizeof kExifHead, b->PayloadSize() - sizeof kExifHead);
      if (ok) {
        b->exif = std::move(e);
      } else {
        b->unreadable = true;
      }
    }
    return b->exif ? &*b->exif : nullptr;
  }

  XmpEditor* Xmp(Block* b) {
    if (!b->xmp && !b->unreadable) {
      XmpEditor e;
      const bool fresh = b->stored.empty();
      const bool ok =
          fresh ? e.Open(nullptr, 0)
                : b->PayloadSize() >= kXmpHeadBytes &&
                      e.Open(b->Payload() + kXmpHeadBytes, b->PayloadSize() - kXmpHeadBytes);
      if (ok) {
        b->xmp = std::move(e);
      } else {
        b->unreadable = true;
      }
    }
    return b->xmp ? &*b->xmp : nullptr;
  }

  // Splits a path into its block (kind and occurrence) and the rest.
  static HResult Split(std::string_view path, std::string* format, std::size_t* k,
                       std::string_view* rest) {
    std::vector<std::string_view> parts;
    if (!SplitQueryPath(path, &parts)) return kInvalidArg;
    std::string_view name;
    if (!SplitOccurrence(parts[0], k, &name)) return kInvalidArg;
    *format = CanonicalComponent(name);
    const std::size_t skip = 1 + parts[0].size();
    *rest = skip < path.size() ? path.substr(skip) : std::string_view();
    return kOk;
  }

  HResult Set(std::string_view path, const PropValue& value) override {
    std::string format;
    std::size_t k = 0;
    std::string_view rest;
    HResult hr = Split(path, &format, &k, &rest);
    if (Failed(hr)) return hr;
    if (format != "app1" && format != "xmp" && format != "com") {
      return Find(format, k) >= 0 ? kNotImpl : kErrPropertyNotFound;
    }
    if (rest.empty()) return kInvalidArg;  // a block takes no value of its own
    int index = Find(format, k);
    if (index >= 0 && blocks_[static_cast<std::size_t>(index)].removed) {
      return kErrPropertyNotFound;
    }
    const bool fresh = index < 0;
    // A new block only as the next of its kind.
    if (fresh && k != CountOf(format)) return kErrPropertyNotFound;
    if (format == "com") {
      std::vector<std::string_view> parts;
      if (!SplitQueryPath(rest, &parts) || parts.size() != 1 ||
          CanonicalComponent(parts[0]) != "textentry") {
        return kErrPropertyNotFound;
      }
      std::string text;
      if (value.vt == kVtLpstr) {
        text = value.bytes;
      } else if (value.vt == kVtLpwstr) {
        text = platform::WideToUtf8(value.text);
      } else {
        return kInvalidArg;
      }
      if (text.size() > kMaxPayload) return kInvalidArg;
      if (fresh) index = Add(format);
      Block& b = blocks_[static_cast<std::size_t>(index)];
      const bool same = !b.stored.empty() && b.PayloadSize() == text.size() &&
                        std::equal(text.begin(), text.end(), b.Payload());
      if (same && !b.comment) return kOk;
      b.comment = std::move(text);
      return kOk;
    }
    if (fresh) index = Add(format);
    Block& b = blocks_[static_cast<std::size_t>(index)];
    if (format == "app1") {
      ExifEditor* e = Exif(&b);
      hr = e ? e->Set(rest, value) : kNotImpl;
    } else {
      XmpEditor* x = Xmp(&b);
      hr = x ? x->Set(rest, value) : kNotImpl;
    }
    // A block made for a value it then refused is not kept.
    if (Failed(hr) && fresh) blocks_.erase(blocks_.begin() + index);
    return hr;
  }

  HResult Remove(std::string_view path) override {
    std::string format;
    std::size_t k = 0;
    std::string_view rest;
    HResult hr = Split(path, &format, &k, &rest);
    if (Failed(hr)) return hr;
    const int index = Find(format, k);
    if (index < 0 || blocks_[static_cast<std::size_t>(index)].removed) {
      return kErrPropertyNotFound;
    }
    Block& b = blocks_[static_cast<std::size_t>(index)];
    if (rest.empty()) {
      b.removed = true;
      return kOk;
    }
    if (format == "app1") {
      ExifEditor* e = Exif(&b);
      return e ? e->Remove(rest) : kNotImpl;
    }
    if (format == "xmp") {
      XmpEditor* x = Xmp(&b);
      return x ? x->Remove(rest) : kNotImpl;
    }
    if (format == "com") {
      std::vector<std::string_view> parts;
      if (!SplitQueryPath(rest, &parts) || parts.size() != 1 ||
          CanonicalComponent(parts[0]) != "textentry") {
        return kErrPropertyNotFound;
      }
      // A comment is nothing but its text.
      b.removed = true;
      return kOk;
    }
    return kNotImpl;
  }

  std::vector<Block> blocks_;
};

}  // namespace

struct JpegFrameEncoder::State {
  JpegQueryWriter writer;
};

JpegFrameEncoder::JpegFrameEncoder() : state_(std::make_unique<State>()) {}
JpegFrameEncoder::~JpegFrameEncoder() = default;

HResult JpegFrameEncoder::InitializeFromBlockReader(const Frame& frame) {
  try {
    state_->writer.Reset(frame.MetadataBlocks());
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kOk;
}

MetadataQueryWriter* JpegFrameEncoder::GetMetadataQueryWriter() { return &state_->writer; }

HResult JpegFrameEncoder::Commit(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                                 std::size_t stride, std::vector<std::uint8_t>* out) {
  if (!out) return kPointer;
  try {
    std::vector<std::uint8_t> picture;
    HResult hr = EncodeJpeg(bgr, width, height, stride, 0.92f, &picture);
    if (Failed(hr)) return hr;
    std::vector<std::uint8_t> segments;
    if (!state_->writer.Segments(&segments)) return kFail;
    // The blocks go right after SOI and the encoder's own APP0 segments.
    std::size_t at = 2;
    for (const JpegSegment& s : ScanJpegSegments(picture.data(), picture.size())) {
      if (s.marker != 0xE0 || s.start != at) break;
      at = s.body + s.length;
    }
    std::vector<std::uint8_t> file;
    file.reserve(picture.size() + segments.size());
    file.insert(file.end(), picture.begin(), picture.begin() + static_cast<std::ptrdiff_t>(at));
    file.insert(file.end(), segments.begin(), segments.end());
    file.insert(file.end(), picture.begin() + static_cast<std::ptrdiff_t>(at), picture.end());
    out->insert(out->end(), file.begin(), file.end());
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kOk;
}

}  // namespace img
