// GIF decoding: the file's records are indexed once (frames with their
// descriptors and graphic control extensions, application and comment
// extensions); each frame's LZW data is decoded on request by giflib, which
// is pointed at the frame's own record, so frames before a damaged one
// decode while the damaged one fails.
//
// Pixels: a frame is its own rectangle (the caller places and composes it).
// Colour indices go through the local, else the global, colour table; the
// transparent index of the frame's graphic control extension gives
// 0,0,0,0; an index beyond the table (or with no table at all) gives
// opaque black.
#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <new>

#include "imaging/byte_reader.h"
#include "imaging/imaging.h"

namespace img {
namespace {

constexpr std::size_t kHeaderBytes = 13;  // signature and logical screen descriptor

struct GifFrameInfo {
  std::size_t offset = 0;  // of the image separator (0x2C)
  std::uint16_t left = 0, top = 0, width = 0, height = 0;
  std::uint8_t flags = 0;  // packed field of the image descriptor
  bool hasGce = false;
  std::uint8_t gceFlags = 0;
  std::uint16_t delay = 0;
  std::uint8_t transparent = 0;
};

// Application and comment extensions kept for the metadata reader; further
// ones are walked over but not kept, so that a file of empty records cannot
// make the index many times larger than the file.
constexpr std::size_t kMaxExtensions = 10000;

struct GifIndex {
  std::string signature;
  std::uint16_t width = 0, height = 0;
  std::uint8_t flags = 0, background = 0, aspect = 0;
  std::vector<MetaItem> extensions;  // "appext" and "commentext", in file order
  std::vector<GifFrameInfo> frames;
};

// Reads data sub-blocks up to their terminator. `withSizes` keeps each
// block's size byte in front of its data. False when the bytes run out.
bool SubBlocks(ByteReader& r, std::string* out, bool withSizes) {
  for (;;) {
    const std::uint8_t n = r.U8();
    if (!r.ok()) return false;
    if (n == 0) return true;
    if (!r.Has(n)) {
      r.Skip(n);
      return false;
    }
    if (out) {
      if (withSizes) out->push_back(static_cast<char>(n));
      out->append(reinterpret_cast<const char*>(r.here()), n);
    }
    r.Skip(n);
  }
}

PropValue ByteVector(std::string bytes) {
  PropValue v;
  v.vt = kVtVector | kVtUI1;
  v.bytes = std::move(bytes);
  return v;
}

// XMP in a GIF is stored raw after its application name, so that the text's
// own bytes read as sub-block sizes, and ends in a 257-byte run (1, 255, 254,
// ..., 1, 0) that brings any such walk to the terminator. The packet is what
// comes before that run; without it, what comes up to the last ">".
std::shared_ptr<const MetadataReader> GifXmp(const std::string& raw) {
  std::size_t end = raw.size();
  bool trailer = raw.size() >= 257 && static_cast<std::uint8_t>(raw[raw.size() - 257]) == 1;
  for (std::size_t k = 0; trailer && k < 256; ++k) {
    trailer = static_cast<std::uint8_t>(raw[raw.size() - 256 + k]) == 255 - k;
  }
  if (trailer) {
    end = raw.size() - 257;
  } else {
    const std::size_t close = raw.rfind('>');
    if (close == std::string::npos) return nullptr;
    end = close + 1;
  }
  return ParseXmpPacket(reinterpret_cast<const std::uint8_t*>(raw.data()), end);
}

// Walks the records after the header. A frame counts once its image
// descriptor is complete; the walk ends at the trailer, an unknown record
// or the end of the bytes.
void IndexRecords(ByteReader& r, GifIndex* g) {
  GifFrameInfo pending;  // carries the graphic control extension, if any
  for (;;) {
    const std::size_t at = r.pos();
    const std::uint8_t kind = r.U8();
    if (!r.ok() || kind == 0x3B) return;
    if (kind == 0x21) {
      const std::uint8_t label = r.U8();
      if (!r.ok()) return;
      if (label == 0xF9) {
        std::string body;
        if (!SubBlocks(r, &body, false)) return;
        if (body.size() >= 4) {
          pending.hasGce = true;
          pending.gceFlags = static_cast<std::uint8_t>(body[0]);
          pending.delay = ByteReader::Le16(reinterpret_cast<const std::uint8_t*>(body.data() + 1));
          pending.transparent = static_cast<std::uint8_t>(body[3]);
        }
      } else if (label == 0xFF) {
        // the first sub-block names the application; the rest is its data
        const std::uint8_t n = r.U8();
        if (!r.ok() || !r.Has(n)) return;
        std::string app(reinterpret_cast<const char*>(r.here()), n);
        r.Skip(n);
        std::string data;
        if (n != 0 && !SubBlocks(r, &data, true)) return;
        if (g->extensions.size() >= kMaxExtensions) continue;
        if (app == "XMP DataXMP") {
          if (auto xmp = GifXmp(data)) {
            g->extensions.push_back({"xmp", PropValue::Reader(std::move(xmp))});
            continue;
          }
        }
        std::vector<MetaItem> items;
        items.push_back({"Application", ByteVector(std::move(app))});
        items.push_back({"Data", ByteVector(std::move(data))});
        g->extensions.push_back({"appext", PropValue::Reader(std::make_shared<MetadataReader>(
                                               "appext", std::move(items)))});
      } else if (label == 0xFE) {
        std::string text;
        const bool keep = g->extensions.size() < kMaxExtensions;
        if (!SubBlocks(r, keep ? &text : nullptr, false)) return;
        if (!keep) continue;
        std::vector<MetaItem> items;
        items.push_back({"TextEntry", PropValue::Lpstr(std::move(text))});
        g->extensions.push_back({"commentext", PropValue::Reader(std::make_shared<MetadataReader>(
                                                   "commentext", std::move(items)))});
      } else {
        if (!SubBlocks(r, nullptr, false)) return;
        if (label == 0x01) pending = GifFrameInfo();  // a plain text record takes the GCE
      }
      continue;
    }
    if (kind != 0x2C) return;
    GifFrameInfo f = pending;
    pending = GifFrameInfo();
    f.offset = at;
    f.left = r.U16LE();
    f.top = r.U16LE();
    f.width = r.U16LE();
    f.height = r.U16LE();
    f.flags = r.U8();
    if (!r.ok()) return;
    g->frames.push_back(f);
    // skip the local colour table, the LZW code size and the data
    if (f.flags & 0x80) r.Skip(3u << ((f.flags & 7) + 1));
    r.U8();
    if (!r.ok() || !SubBlocks(r, nullptr, false)) return;
  }
}

bool IndexGif(const std::vector<std::uint8_t>& bytes, GifIndex* g) {
  ByteReader r(bytes.data(), bytes.size());
  char sig[6];
  if (!r.Read(sig, 6)) return false;
  g->signature.assign(sig, 6);
  g->width = r.U16LE();
  g->height = r.U16LE();
  g->flags = r.U8();
  g->background = r.U8();
  g->aspect = r.U8();
  if (g->flags & 0x80) r.Skip(3u << ((g->flags & 7) + 1));
  if (!r.ok()) return false;
  IndexRecords(r, g);
  return true;
}

// The decoder's metadata; takes the index's extensions.
std::shared_ptr<const MetadataReader> DecoderMetadata(GifIndex& g) {
  std::vector<MetaItem> screen;
  screen.push_back({"Signature", ByteVector(g.signature)});
  screen.push_back({"Width", PropValue::UI2(g.width)});
  screen.push_back({"Height", PropValue::UI2(g.height)});
  screen.push_back({"GlobalColorTableFlag", PropValue::Bool(g.flags & 0x80)});
  screen.push_back({"ColorResolution", PropValue::UI1((g.flags >> 4) & 7)});
  screen.push_back({"SortFlag", PropValue::Bool(g.flags & 0x08)});
  screen.push_back({"GlobalColorTableSize", PropValue::UI1(g.flags & 7)});
  screen.push_back({"BackgroundColorIndex", PropValue::UI1(g.background)});
  screen.push_back({"PixelAspectRatio", PropValue::UI1(g.aspect)});
  std::vector<MetaItem> items;
  items.push_back({"logscrdesc", PropValue::Reader(std::make_shared<MetadataReader>(
                                     "logscrdesc", std::move(screen)))});
  items.insert(items.end(), std::make_move_iterator(g.extensions.begin()),
               std::make_move_iterator(g.extensions.end()));
  g.extensions.clear();
  return std::make_shared<MetadataReader>("gif", std::move(items));
}

std::shared_ptr<const MetadataReader> FrameMetadata(const GifFrameInfo& f) {
  std::vector<MetaItem> desc;
  desc.push_back({"Left", PropValue::UI2(f.left)});
  desc.push_back({"Top", PropValue::UI2(f.top)});
  desc.push_back({"Width", PropValue::UI2(f.width)});
  desc.push_back({"Height", PropValue::UI2(f.height)});
  desc.push_back({"LocalColorTableFlag", PropValue::Bool(f.flags & 0x80)});
  desc.push_back({"InterlaceFlag", PropValue::Bool(f.flags & 0x40)});
  desc.push_back({"SortFlag", PropValue::Bool(f.flags & 0x20)});
  desc.push_back({"LocalColorTableSize", PropValue::UI1(f.flags & 7)});
  std::vector<MetaItem> items;
  items.push_back(
      {"imgdesc", PropValue::Reader(std::make_shared<MetadataReader>("imgdesc", std::move(desc)))});
  if (f.hasGce) {
    std::vector<MetaItem> gce;
    gce.push_back({"Disposal", PropValue::UI1((f.gceFlags >> 2) & 7)});
    gce.push_back({"UserInputFlag", PropValue::Bool(f.gceFlags & 0x02)});
    gce.push_back({"TransparencyFlag", PropValue::Bool(f.gceFlags & 0x01)});
    gce.push_back({"Delay", PropValue::UI2(f.delay)});
    gce.push_back({"TransparentColorIndex", PropValue::UI1(f.transparent)});
    items.push_back({"grctlext", PropValue::Reader(std::make_shared<MetadataReader>(
                                     "grctlext", std::move(gce)))});
  }
  return std::make_shared<MetadataReader>("gif", std::move(items));
}

// ---------------------------------------------------------------------------
// giflib over memory.

struct MemoryInput {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;
};

int ReadFromMemory(GifFileType* gif, GifByteType* out, int n) {
  auto* in = static_cast<MemoryInput*>(gif->UserData);
  if (n <= 0 || in->pos >= in->size) return 0;
  std::size_t m = in->size - in->pos;
  if (static_cast<std::size_t>(n) < m) m = static_cast<std::size_t>(n);
  std::memcpy(out, in->data + in->pos, m);
  in->pos += m;
  return static_cast<int>(m);
}

struct GifCloser {
  void operator()(GifFileType* g) const {
    int err = 0;
    DGifCloseFile(g, &err);
  }
};

using Palette = std::array<std::uint8_t, 256 * 4>;  // BGRA

// A frame's LZW data reach at most this many pixels a byte: a code of at
// least 3 bits stands for a string no longer than its own number, below
// 4,096, which is at most 341 pixels a bit; the bound allows a dozen times
// more. A frame that claims more pixels than its data can give is refused
// before its index buffer is taken.
constexpr std::uint64_t kMaxPixelsPerLzwByte = 4096;

// The frame's record from its image separator: the bytes of LZW data it
// holds and, when the file ends before the data's terminator, a copy of the
// record whose last sub-block is cut to the bytes that are there and ended
// with a terminator, so that the decoder reads the pixels those bytes hold.
// False when the file ends inside the image descriptor or colour table.
bool WalkRecord(const std::vector<std::uint8_t>& bytes, const GifFrameInfo& f,
                std::uint64_t* dataBytes, std::vector<std::uint8_t>* repaired) {
  *dataBytes = 0;
  repaired->clear();
  ByteReader r(bytes.data(), bytes.size());
  r.Skip(f.offset + 10);  // separator and descriptor
  if (f.flags & 0x80) r.Skip(3u << ((f.flags & 7) + 1));
  r.U8();  // LZW code size
  if (!r.ok()) return false;
  for (;;) {
    const std::size_t at = r.pos();
    const std::uint8_t n = r.U8();
    if (n == 0 && r.ok()) return true;
    const std::size_t have = r.ok() ? std::min<std::size_t>(n, r.left()) : 0;
    if (r.ok() && have == n) {
      *dataBytes += n;
      r.Skip(n);
      continue;
    }
    // Cut short: keep what is there, then end the data.
    *dataBytes += have;
    repaired->assign(bytes.begin() + static_cast<std::ptrdiff_t>(f.offset),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at));
    if (have > 0) {
      repaired->push_back(static_cast<std::uint8_t>(have));
      repaired->insert(repaired->end(), bytes.begin() + static_cast<std::ptrdiff_t>(at + 1),
                       bytes.end());
    }
    repaired->push_back(0);
    return true;
  }
}

// Decodes one frame's indices, de-interlaced, and resolves its palette.
// The index buffer is not cleared first: rows the data do not reach are
// marked in `decoded` (1 for a row that decoded) and never read. When the
// data end early or turn corrupt, the rows before stay; a frame without a
// single row fails.
HResult DecodeFrame(const std::vector<std::uint8_t>& bytes, const GifFrameInfo& f,
                    std::unique_ptr<std::uint8_t[]>* indices, std::vector<std::uint8_t>* decoded,
                    Palette* palette) {
  std::uint64_t dataBytes = 0;
  std::vector<std::uint8_t> repaired;
  if (!WalkRecord(bytes, f, &dataBytes, &repaired)) return kErrBadImage;
  if (std::uint64_t{f.width} * f.height / kMaxPixelsPerLzwByte > dataBytes) {
    return kErrImageSizeOutOfRange;
  }
  MemoryInput in{bytes.data(), bytes.size(), 0};
  int err = 0;
  std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&in, ReadFromMemory, &err));
  if (!gif) return kErrBadImage;
  // giflib reads records as they come: start at this one.
  if (repaired.empty()) {
    in.pos = f.offset;
  } else {
    in = MemoryInput{repaired.data(), repaired.size(), 0};
  }
  GifRecordType type = UNDEFINED_RECORD_TYPE;
  if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR || type != IMAGE_DESC_RECORD_TYPE ||
      DGifGetImageHeader(gif.get()) == GIF_ERROR) {
    return kErrBadImage;
  }
  const GifImageDesc& d = gif->Image;
  if (d.Width != f.width || d.Height != f.height) return kErrBadImage;
  const std::size_t w = f.width, h = f.height;
  indices->reset(new (std::nothrow) std::uint8_t[w * h]);
  if (!*indices) return kOutOfMemory;
  try {
    decoded->assign(h, 0);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  std::uint8_t* rows = indices->get();
  std::size_t good = 0;
  // A row that fails may be half written; it and every later one are lost.
  auto line = [&](std::size_t y) {
    if (DGifGetLine(gif.get(), rows + y * w, static_cast<int>(w)) == GIF_ERROR) return false;
    (*decoded)[y] = 1;
    ++good;
    return true;
  };
  if (d.Interlace) {
    static constexpr std::size_t kStart[4] = {0, 4, 2, 1};
    static constexpr std::size_t kStep[4] = {8, 8, 4, 2};
    bool ok = true;
    for (int pass = 0; pass < 4 && ok; ++pass) {
      for (std::size_t y = kStart[pass]; y < h && ok; y += kStep[pass]) ok = line(y);
    }
  } else {
    for (std::size_t y = 0; y < h && line(y); ++y) {
    }
  }
  if (good == 0) return kErrBadImage;

  const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif->SColorMap;
  const int count = map && map->Colors ? map->ColorCount : 0;
  for (int i = 0; i < 256; ++i) {
    std::uint8_t* p = palette->data() + i * 4;
    if (i < count) {
      p[0] = map->Colors[i].Blue;
      p[1] = map->Colors[i].Green;
      p[2] = map->Colors[i].Red;
    } else {
      p[0] = p[1] = p[2] = 0;
    }
    p[3] = 255;
  }
  if (f.hasGce && (f.gceFlags & 0x01)) {
    std::memset(palette->data() + f.transparent * 4, 0, 4);
  }
  return kOk;
}

class GifFrame : public Frame {
 public:
  GifFrame(const GifFrameInfo& info, std::unique_ptr<std::uint8_t[]> indices,
           std::vector<std::uint8_t> decoded, const Palette& palette)
      : info_(info),
        indices_(std::move(indices)),
        decoded_(std::move(decoded)),
        palette_(palette),
        meta_(FrameMetadata(info)) {}

  std::uint32_t Width() const override { return info_.width; }
  std::uint32_t Height() const override { return info_.height; }
  PixelFormat NativeFormat() const override { return PixelFormat::Indexed8; }
  std::shared_ptr<const MetadataReader> Metadata() const override { return meta_; }

  HResult CopyPixels(PixelFormat format, std::uint8_t* buffer, std::size_t stride,
                     std::size_t size) override {
    if (format != PixelFormat::Bgra32 && format != PixelFormat::Pbgra32 &&
        format != PixelFormat::Bgr32 && format != PixelFormat::Bgr24) {
      return kInvalidArg;
    }
    const std::size_t w = info_.width;
    const std::size_t bpp = format == PixelFormat::Bgr24 ? 3 : 4;
    HResult hr = CheckCopyArgs(info_.height, w * bpp, buffer, stride, size);
    if (Failed(hr)) return hr;
    std::vector<std::uint8_t> row;
    if (bpp == 3) {
      try {
        row.resize(w * 4);
      } catch (const std::bad_alloc&) {
        return kOutOfMemory;
      }
    }
    HResult result = kOk;
    for (std::size_t y = 0; y < info_.height; ++y) {
      const std::uint8_t* src = indices_.get() + y * w;
      std::uint8_t* dst = buffer + y * stride;
      if (!decoded_[y]) {
        // Rows the data did not reach are transparent.
        std::memset(dst, 0, w * bpp);
        result = kFalse;
        continue;
      }
      std::uint8_t* bgra = bpp == 3 ? row.data() : dst;
      for (std::size_t x = 0; x < w; ++x) {
        std::memcpy(bgra + x * 4, palette_.data() + src[x] * 4, 4);
      }
      // alpha is 0 or 255 and transparent pixels are all zero, so straight
      // and premultiplied agree
      if (format == PixelFormat::Bgr32 || format == PixelFormat::Bgr24) {
        StoreBgraRow(bgra, info_.width, format, dst);
      }
    }
    return result;
  }

 private:
  GifFrameInfo info_;
  std::unique_ptr<std::uint8_t[]> indices_;
  std::vector<std::uint8_t> decoded_;  // 1 for each row the data reached
  Palette palette_;
  std::shared_ptr<const MetadataReader> meta_;
};

class GifDecoder : public Decoder {
 public:
  GifDecoder(Bytes bytes, GifIndex index)
      : bytes_(std::move(bytes)), index_(std::move(index)), meta_(DecoderMetadata(index_)) {}

  Container GetContainerFormat() const override { return Container::Gif; }
  std::uint32_t GetFrameCount() const override {
    return static_cast<std::uint32_t>(index_.frames.size());
  }
  std::shared_ptr<const MetadataReader> Metadata() const override { return meta_; }

  HResult GetFrame(std::uint32_t index, std::unique_ptr<Frame>* out) override {
    if (!out) return kPointer;
    out->reset();
    if (index >= index_.frames.size()) return kInvalidArg;
    const GifFrameInfo& f = index_.frames[index];
    if (f.width == 0 || f.height == 0) return kErrBadImage;
    if (static_cast<std::uint64_t>(f.width) * f.height > kMaxPixels) return kOutOfMemory;
    std::unique_ptr<std::uint8_t[]> indices;
    std::vector<std::uint8_t> decoded;
    Palette palette;
    HResult hr = DecodeFrame(*bytes_, f, &indices, &decoded, &palette);
    if (Failed(hr)) return hr;
    *out = std::make_unique<GifFrame>(f, std::move(indices), std::move(decoded), palette);
    return kOk;
  }

 private:
  Bytes bytes_;
  GifIndex index_;
  std::shared_ptr<const MetadataReader> meta_;
};

}  // namespace

HResult CreateGifDecoder(Bytes bytes, std::unique_ptr<Decoder>* out) {
  if (!out) return kPointer;
  out->reset();
  if (!bytes || bytes->size() < 6 ||
      (std::memcmp(bytes->data(), "GIF87a", 6) != 0 &&
       std::memcmp(bytes->data(), "GIF89a", 6) != 0)) {
    return kErrUnknownImageFormat;
  }
  if (bytes->size() < kHeaderBytes) return kErrBadHeader;
  try {
    GifIndex index;
    if (!IndexGif(*bytes, &index)) return kErrBadHeader;
    *out = std::make_unique<GifDecoder>(std::move(bytes), std::move(index));
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kOk;
}

}  // namespace img
