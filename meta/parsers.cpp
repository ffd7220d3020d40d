// Container parsers. One forward pass each; every read is checked against the
// buffer size first, and offsets are 64-bit with comparisons written as
// `n > size - pos` so a length field near 2^32 cannot wrap a sum.
#include "meta/parsers.h"

#include <cstring>
#include <utility>

#include "imaging/byte_reader.h"

namespace meta {
namespace {

// RST0..RST7, SOI, EOI and TEM carry no length field.
bool IsStandaloneMarker(std::uint8_t m) { return (m >= 0xD0 && m <= 0xD9) || m == 0x01; }

// Bytes of a GIF colour table whose packed field is `packed` (0 when its bit 7 is clear).
std::uint64_t ColourTableBytes(std::uint8_t packed) {
  if (!(packed & 0x80)) return 0;
  return 3ull << ((packed & 7) + 1);
}

// Walks GIF data sub-blocks whose first length byte is at `q` (q < size).
// On true `*end` is one past the zero-length terminator, which lies before the
// end of the file. `text`, when given, receives the sub-blocks' data joined.
bool WalkSubBlocks(const std::uint8_t* data, std::uint64_t size, std::uint64_t q,
                   std::uint64_t* end, std::string* text) {
  for (;;) {
    if (q >= size) return false;  // no terminator before the end of the file
    const std::uint64_t n = data[q];
    if (n == 0) {
      *end = q + 1;
      return true;
    }
    if (n > size - q - 1) return false;  // the sub-block overruns the file
    if (text)
      text->append(reinterpret_cast<const char*>(data + q + 1), static_cast<std::size_t>(n));
    q += 1 + n;
  }
}

void CopyType(const std::uint8_t* p, char (&out)[5]) {
  std::memcpy(out, p, 4);
  out[4] = '\0';
}

}  // namespace

bool ParseJpeg(const std::uint8_t* data, std::size_t size, std::vector<Seg>* segs,
               std::uint64_t* scanStart) {
  segs->clear();
  const std::uint64_t total = size;
  if (total < 6 || data[0] != 0xFF || data[1] != 0xD8) return false;
  img::ByteReader r(data, size);
  std::uint64_t pos = 2;  // pos <= total throughout
  while (total - pos >= 4) {
    r.Seek(pos);
    const std::uint8_t ff = r.U8();
    if (r.ok() && ff != 0xFF) {
      // Junk between segments belongs to none: skipped up to the next 0xFF,
      // as decoders do, and left out of a rewritten file.
      ++pos;
      continue;
    }
    const std::uint8_t m = r.U8();
    if (!r.ok()) return false;
    if (m == 0xFF) {  // fill byte: belongs to no segment
      ++pos;
      continue;
    }
    if (m == 0x00) {
      // A stuffed zero is no marker: decoders take both bytes as junk and
      // look on, so a length after it must not hide the segments behind.
      pos += 2;
      continue;
    }
    if (m == 0xDA) {
      *scanStart = pos;
      return true;
    }
    if (IsStandaloneMarker(m)) {
      segs->push_back(Seg{m, pos, 2});
      pos += 2;
      continue;
    }
    const std::uint64_t len = r.U16BE();
    if (!r.ok() || len < 2 || len > total - pos - 2) return false;
    segs->push_back(Seg{m, pos, len + 2});
    pos += 2 + len;
  }
  return false;  // no SOS
}

bool ParsePng(const std::uint8_t* data, std::size_t size, std::vector<Chunk>* chunks) {
  chunks->clear();
  const std::uint64_t total = size;
  if (total < 20 || std::memcmp(data, kPngSig, sizeof kPngSig) != 0) return false;
  img::ByteReader r(data, size);
  std::uint64_t pos = 8;
  while (total - pos >= 12) {
    r.Seek(pos);
    const std::uint64_t len = r.U32BE();
    std::uint8_t type[4];
    r.Read(type, 4);
    if (!r.ok() || len > total || len > total - pos - 12) return false;
    Chunk c;
    CopyType(type, c.type);
    c.dataOffset = pos + 8;
    c.length = len;
    c.offset = pos;
    chunks->push_back(c);
    if (std::memcmp(type, "IEND", 4) == 0) return true;
    pos += len + 12;
  }
  return false;  // no IEND; bytes after it would be ignored
}

bool ParseWebp(const std::uint8_t* data, std::size_t size, std::vector<RiffChunk>* chunks) {
  chunks->clear();
  const std::uint64_t total = size;
  if (total < 20 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WEBP", 4) != 0) {
    return false;
  }
  // The RIFF size field is not trusted; the file's own size bounds the chunks.
  img::ByteReader r(data, size);
  std::uint64_t pos = 12;
  while (total - pos >= 8) {
    r.Seek(pos);
    std::uint8_t id[4];
    r.Read(id, 4);
    const std::uint64_t s = r.U32LE();
    if (!r.ok() || s > total - pos - 8) return false;
    RiffChunk c;
    CopyType(id, c.fourcc);
    c.dataOffset = pos + 8;
    c.size = s;
    c.offset = pos;
    c.span = 8 + s;
    // Writers that drop the pad byte of a final odd-sized chunk are common
    // enough that the chunk still counts, ending at the end of the file.
    if ((s & 1) && c.span < total - pos) ++c.span;
    chunks->push_back(c);
    pos += c.span;
  }
  return !chunks->empty();  // up to 7 trailing bytes are ignored
}

bool ParseGif(const std::uint8_t* data, std::size_t size, std::vector<GifBlock>* blocks,
              std::uint64_t* firstBlock, std::uint64_t* trailer) {
  blocks->clear();
  const std::uint64_t total = size;
  if (total < 14 || std::memcmp(data, "GIF8", 4) != 0) return false;
  std::uint64_t p = 13 + ColourTableBytes(data[10]);
  if (p >= total) return false;
  *firstBlock = p;
  for (;;) {
    // p < total here: checked above and after every block.
    const std::uint8_t intro = data[p];
    if (intro == 0x3B) {
      *trailer = p;
      return true;
    }
    GifBlock b;
    b.offset = p;
    if (intro == 0x21) {
      if (total - p <= 2) return false;
      b.isComment = data[p + 1] == 0xFE;
      if (!WalkSubBlocks(data, total, p + 2, &b.end, b.isComment ? &b.text : nullptr)) {
        return false;
      }
    } else if (intro == 0x2C) {
      if (total - p < 10) return false;
      // Descriptor, local colour table, then the LZW minimum code size byte.
      const std::uint64_t skip = 10 + ColourTableBytes(data[p + 9]) + 1;
      if (skip >= total - p) return false;  // no room for the first data length byte
      if (!WalkSubBlocks(data, total, p + skip, &b.end, nullptr)) return false;
    } else {
      return false;
    }
    if (b.end >= total) return false;  // the trailer must follow
    p = b.end;
    blocks->push_back(std::move(b));
  }
}

bool IsTextChunk(const char* type) {
  if (!type) return false;
  return std::strcmp(type, "tEXt") == 0 || std::strcmp(type, "zTXt") == 0 ||
         std::strcmp(type, "iTXt") == 0;
}

void WebpBlobs(const std::uint8_t* data, std::size_t size, const std::vector<RiffChunk>& chunks,
               std::vector<std::uint8_t>* exif, std::vector<std::uint8_t>* xmp) {
  exif->clear();
  xmp->clear();
  const std::uint64_t total = size;
  for (const RiffChunk& c : chunks) {
    std::vector<std::uint8_t>* out = nullptr;
    if (std::memcmp(c.fourcc, "EXIF", 4) == 0) out = exif;
    if (std::memcmp(c.fourcc, "XMP ", 4) == 0) out = xmp;
    if (!out) continue;
    // The list normally comes from ParseWebp over these bytes; a list that
    // does not fit them is skipped rather than read past the end.
    if (c.dataOffset > total || c.size > total - c.dataOffset) continue;
    out->assign(data + c.dataOffset, data + c.dataOffset + c.size);
  }
}

}  // namespace meta
