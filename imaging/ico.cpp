// ICO and CUR decoding: one frame per directory entry, in directory order.
// An entry holds either a PNG (decoded by the PNG decoder from a copy of its
// bytes) or a DIB whose header counts twice the picture's rows: the colour
// image (1/4/8/16/24/32 bits, read by the shared DIB reader) followed by the
// 1-bit AND mask. The mask makes pixels transparent unless the colour image
// carries alpha (a 32-bit entry with some non-zero alpha value), in which case
// the alpha is used and the mask ignored.
//
// The directory must fit in the file and at least one entry must lie inside
// it; other entries are checked when their frame is asked for.
#include <algorithm>
#include <cstring>
#include <new>

#include "imaging/bmp_internal.h"
#include "imaging/byte_reader.h"
#include "imaging/imaging.h"

namespace img {
namespace {

constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// The signature and the whole IHDR chunk (length, type, 13 bytes, CRC): all
// the PNG decoder reads before it accepts a file.
constexpr std::size_t kPngHeadBytes = 8 + 4 + 4 + 13 + 4;

struct Entry {
  std::uint32_t bytes = 0;   // bytes in resource
  std::uint32_t offset = 0;  // from the start of the file
};

bool InFile(const Entry& e, std::size_t size) {
  return e.bytes > 0 && e.offset <= size && e.bytes <= size - e.offset;
}

class IcoDibFrame : public Frame {
 public:
  IcoDibFrame(Bytes bytes, std::size_t offset, const dib::Layout& layout)
      : bytes_(std::move(bytes)), offset_(offset), L_(layout) {}
  std::uint32_t Width() const override { return L_.width; }
  std::uint32_t Height() const override { return L_.height; }
  PixelFormat NativeFormat() const override { return PixelFormat::Bgra32; }

  HResult CopyPixels(PixelFormat format, std::uint8_t* buffer, std::size_t stride,
                     std::size_t size) override {
    const std::size_t bpp = dib::OutputBytesPerPixel(format);
    if (!bpp) return kInvalidArg;
    HResult hr =
        CheckCopyArgs(L_.height, static_cast<std::size_t>(L_.width) * bpp, buffer, stride, size);
    if (Failed(hr)) return hr;
    std::vector<std::uint8_t> row;
    try {
      row.assign(static_cast<std::size_t>(L_.width) * 4, 0);
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
    const std::uint8_t* data = bytes_->data() + offset_;
    for (std::uint32_t y = 0; y < L_.height; ++y) {
      dib::DecodeRow(data, L_, y, row.data());
      if (!L_.alpha) {
        const std::uint64_t maskRow =
            L_.topDown ? y : L_.height - 1 - static_cast<std::uint64_t>(y);
        const std::uint8_t* m = data + L_.maskOffset + maskRow * L_.maskStride;
        for (std::uint32_t x = 0; x < L_.width; ++x) {
          if ((m[x >> 3] >> (7 - (x & 7))) & 1) std::memset(row.data() + 4 * std::size_t{x}, 0, 4);
        }
      }
      StoreBgraRow(row.data(), L_.width, format, buffer + y * stride);
    }
    return kOk;
  }

 private:
  Bytes bytes_;
  std::size_t offset_;
  dib::Layout L_;
};

class IcoDecoder : public Decoder {
 public:
  IcoDecoder(Bytes bytes, std::vector<Entry> entries)
      : bytes_(std::move(bytes)), entries_(std::move(entries)) {}
  Container GetContainerFormat() const override { return Container::Ico; }
  std::uint32_t GetFrameCount() const override {
    return static_cast<std::uint32_t>(entries_.size());
  }

  HResult GetFrame(std::uint32_t index, std::unique_ptr<Frame>* out) override {
    if (!out) return kPointer;
    out->reset();
    if (index >= entries_.size()) return kInvalidArg;
    const Entry& e = entries_[index];
    if (!InFile(e, bytes_->size())) return kErrBadImage;
    const std::uint8_t* p = bytes_->data() + e.offset;
    try {
      std::unique_ptr<Decoder> png;
      HResult hr = PngEntryDecoder(e, e.bytes, &png);
      if (Failed(hr)) return hr;
      if (png) return png->GetFrame(0, out);
      dib::Layout L;
      hr = dib::ParseLayout(p, e.bytes, 0, 0, dib::Kind::Icon, &L);
      if (Failed(hr)) return hr;
      dib::ResolveAlpha(p, &L);
      *out = std::make_unique<IcoDibFrame>(bytes_, e.offset, L);
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
    return kOk;
  }

  // From the headers alone, with the checks GetFrame makes: the PNG decoder
  // reads a PNG entry's signature and IHDR from a copy of its first bytes
  // (nothing past IHDR is copied or inflated); a DIB entry's header, masks
  // and colour table are parsed but its pixels are not looked at.
  HResult GetFrameSize(std::uint32_t index, std::uint32_t* width, std::uint32_t* height) override {
    if (!width || !height) return kPointer;
    if (index >= entries_.size()) return kInvalidArg;
    const Entry& e = entries_[index];
    if (!InFile(e, bytes_->size())) return kErrBadImage;
    const std::uint8_t* p = bytes_->data() + e.offset;
    try {
      std::unique_ptr<Decoder> png;
      HResult hr = PngEntryDecoder(e, kPngHeadBytes, &png);
      if (Failed(hr)) return hr;
      if (png) return png->GetFrameSize(0, width, height);
      auto L = std::make_unique<dib::Layout>();
      hr = dib::ParseLayout(p, e.bytes, 0, 0, dib::Kind::Icon, L.get());
      if (Failed(hr)) return hr;
      *width = L->width;
      *height = L->height;
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
    return kOk;
  }

 private:
  // For a PNG entry, the PNG decoder over a copy of its first `take` bytes
  // (of an entry already known to lie in the file); null for a DIB entry.
  HResult PngEntryDecoder(const Entry& e, std::size_t take,
                          std::unique_ptr<Decoder>* decoder) const {
    decoder->reset();
    const std::uint8_t* p = bytes_->data() + e.offset;
    if (e.bytes < 8 || std::memcmp(p, kPngSignature, 8) != 0) return kOk;
    Bytes png = std::make_shared<const std::vector<std::uint8_t>>(
        p, p + std::min<std::size_t>(e.bytes, take));
    const HResult hr = CreatePngDecoder(std::move(png), decoder);
    return hr == kErrUnknownImageFormat ? kErrBadImage : hr;
  }

  Bytes bytes_;
  std::vector<Entry> entries_;
};

}  // namespace

HResult CreateIcoDecoder(Bytes bytes, std::unique_ptr<Decoder>* out) {
  if (!out) return kPointer;
  out->reset();
  if (!bytes || bytes->size() < 6) return kErrUnknownImageFormat;
  ByteReader r(bytes->data(), bytes->size());
  const std::uint16_t reserved = r.U16LE(), type = r.U16LE(), count = r.U16LE();
  if (!r.ok() || reserved != 0 || (type != 1 && type != 2) || count == 0) {
    return kErrUnknownImageFormat;
  }
  if (!r.Has(16 * static_cast<std::uint64_t>(count))) return kErrBadHeader;
  std::vector<Entry> entries;
  bool anyInFile = false;
  try {
    entries.resize(count);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  for (Entry& e : entries) {
    r.Skip(8);  // width, height, colours, reserved, planes / hot spot, bit count / hot spot
    e.bytes = r.U32LE();
    e.offset = r.U32LE();
    anyInFile = anyInFile || InFile(e, bytes->size());
  }
  if (!r.ok()) return kErrBadHeader;
  if (!anyInFile) return kErrBadImage;
  try {
    *out = std::make_unique<IcoDecoder>(std::move(bytes), std::move(entries));
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kOk;
}

}  // namespace img
