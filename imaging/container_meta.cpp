// Metadata straight from the container: the segments of a JPEG and the first
// directory of a TIFF are walked by our own bounds-checked readers, so what a
// file carries is listed even when its picture cannot be decoded.
#include <memory>
#include <utility>
#include <vector>

#include "imaging/exif_internal.h"
#include "imaging/imaging.h"
#include "imaging/jpeg_internal.h"

namespace img {

namespace {

// SOF0..SOF15 carry the frame header; C4 (DHT), C8 (reserved) and CC (DAC)
// share the range but are no frame headers.
bool IsFrameHeader(std::uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool JpegMetadata(const std::vector<std::uint8_t>& b, ContainerMetadata* out) {
  if (b.size() < 3 || b[0] != 0xFF || b[1] != 0xD8 || b[2] != 0xFF) return false;
  const std::vector<JpegSegment> segs = ScanJpegSegments(b.data(), b.size());
  out->container = Container::Jpeg;
  out->frame = BuildJpegMetadata(b.data(), segs);
  for (const JpegSegment& s : segs) {
    // Precision, then the height and the width, big-endian.
    if (!IsFrameHeader(s.marker) || s.length < 5) continue;
    const std::uint8_t* p = b.data() + s.body;
    out->height = static_cast<std::uint32_t>(p[1] << 8 | p[2]);
    out->width = static_cast<std::uint32_t>(p[3] << 8 | p[4]);
    // A frame that does not say its height (a DNL segment follows the scan)
    // gives no size rather than half of one.
    if (out->width == 0 || out->height == 0) out->width = out->height = 0;
    break;
  }
  return true;
}

bool TiffMetadata(const std::vector<std::uint8_t>& b, ContainerMetadata* out) {
  // A TIFF signature without a directory that can be read is no container
  // this reader knows.
  const std::vector<std::uint64_t> chain = TiffIfdChain(b.data(), b.size(), 1);
  if (chain.empty()) return false;
  auto ifd = ParseIfdAt(b.data(), b.size(), chain.front(), true);
  if (!ifd) return false;
  out->container = Container::Tiff;
  std::uint32_t w = 0, h = 0;
  if (ReadUInt(ifd.get(), "/{ushort=256}", &w) && ReadUInt(ifd.get(), "/{ushort=257}", &h) && w &&
      h) {
    out->width = w;
    out->height = h;
  }
  out->frame = std::make_shared<MetadataReader>(
      "tiff", std::vector<MetaItem>{{"ifd", PropValue::Reader(std::move(ifd))}});
  return true;
}

}  // namespace

bool ReadContainerMetadata(const Bytes& bytes, ContainerMetadata* out) {
  if (!out) return false;
  *out = ContainerMetadata();
  if (!bytes || bytes->empty()) return false;
  if (JpegMetadata(*bytes, out) || TiffMetadata(*bytes, out)) return true;
  std::unique_ptr<Decoder> decoder;
  if (Failed(CreateDecoderFromMemory(bytes, &decoder)) || !decoder) return false;
  out->container = decoder->GetContainerFormat();
  out->top = decoder->Metadata();
  std::unique_ptr<Frame> frame;
  if (Succeeded(decoder->GetFrame(0, &frame)) && frame) {
    out->frame = frame->Metadata();
    out->width = frame->Width();
    out->height = frame->Height();
  }
  return true;
}

}  // namespace img
