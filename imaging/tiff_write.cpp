// Writing a TIFF file again with edited metadata. libtiff decodes every
// page's strips or tiles into their own samples and encodes them again into
// a scratch file with the same geometry; the new file is then assembled here:
// each page's directory takes the image-structure entries of the scratch
// file and every other entry of the source directory, copied as stored (the
// file keeps its byte order and its classic or BigTIFF form), with the EXIF,
// GPS and interoperability directories behind them. The first page's
// metadata entries are edited by the EXIF editor over a small TIFF structure
// that holds only them; its XMP packet by the XMP editor.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <set>

#include "imaging/byte_reader.h"
#include "imaging/exif_internal.h"
#include "imaging/metadata_write_internal.h"
#include "imaging/tiff_internal.h"

namespace img {
namespace {

constexpr std::uint16_t kTagSubIfds = 330;

// Entries that describe how the pixels are stored: they come from the
// re-encoded page, never from the source.
bool IsImageStructure(std::uint16_t tag) {
  switch (tag) {
    case 256:  // ImageWidth
    case 257:  // ImageLength
    case 258:  // BitsPerSample
    case 259:  // Compression
    case 262:  // PhotometricInterpretation
    case 266:  // FillOrder
    case 273:  // StripOffsets
    case 277:  // SamplesPerPixel
    case 278:  // RowsPerStrip
    case 279:  // StripByteCounts
    case 284:  // PlanarConfiguration
    case 288:  // FreeOffsets
    case 289:  // FreeByteCounts
    case 292:  // T4Options
    case 293:  // T6Options
    case 317:  // Predictor
    case 320:  // ColorMap
    case 322:  // TileWidth
    case 323:  // TileLength
    case 324:  // TileOffsets
    case 325:  // TileByteCounts
    case 338:  // ExtraSamples
    case 339:  // SampleFormat
    case 347:  // JPEGTables
    case 530:  // YCbCrSubSampling
      return true;
    default:
      // The old-style JPEG tags.
      return tag >= 512 && tag <= 521;
  }
}

// Entries that only mean something for YCbCr samples; dropped when a page's
// samples become RGB.
bool IsYCbCrOnly(std::uint16_t tag) { return tag == 529 || tag == 531 || tag == 532; }

bool IsPointerType(std::uint16_t type) {
  return type == 4 || type == 13 || type == 16 || type == 18;
}

// ---------------------------------------------------------------------------
// Directories as entries with their value bytes.

struct Entry {
  std::uint16_t tag = 0, type = 0;
  std::uint64_t count = 0;
  std::vector<std::uint8_t> data;  // the value bytes, in the file's byte order
  int child = -1;                  // the directory a pointer entry leads to
};

struct Dir {
  std::vector<Entry> entries;
};

struct Tree {
  bool be = false, big = false;
  std::vector<Dir> dirs;

  std::uint64_t Get(const std::uint8_t* p, unsigned bytes) const {
    std::uint64_t v = 0;
    for (unsigned k = 0; k < bytes; ++k) {
      v |= std::uint64_t{p[be ? k : bytes - 1 - k]} << (8 * (bytes - 1 - k));
    }
    return v;
  }
  void Put(std::uint8_t* p, std::uint64_t v, unsigned bytes) const {
    for (unsigned k = 0; k < bytes; ++k) {
      p[be ? bytes - 1 - k : k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
  }
  unsigned OffsetBytes() const { return big ? 8 : 4; }

  // The unsigned numbers of a SHORT, LONG or LONG8 entry; false for any other
  // type.
  bool Numbers(const Entry& e, std::vector<std::uint64_t>* out) const {
    unsigned size = 0;
    if (e.type == 3) size = 2;
    if (e.type == 4 || e.type == 13) size = 4;
    if (e.type == 16 || e.type == 18) size = 8;
    if (size == 0 || e.data.size() != e.count * size) return false;
    out->clear();
    for (std::uint64_t k = 0; k < e.count; ++k) out->push_back(Get(e.data.data() + k * size, size));
    return true;
  }
};

// Reads directories out of a file's bytes, bounded: at most kMaxIfdEntries
// entries per directory, kMaxIfdDepth levels, no directory twice on one
// path, and value bytes copied only within a budget of a few times the
// file's size.
class Parser {
 public:
  Parser(const std::uint8_t* data, std::size_t size, Tree* tree)
      : data_(data), size_(size), tree_(tree), budget_(std::uint64_t{size} * 4 + (16u << 20)) {}

  bool Header(std::uint64_t* ifd0) {
    TiffHeader h;
    if (!ReadTiffHeader(data_, size_, &h)) return false;
    tree_->be = h.bigEndian;
    tree_->big = h.big;
    *ifd0 = h.ifd0;
    return true;
  }

  // The directory at `offset` and the directories behind it; -1 when it
  // cannot be read or the budget is spent.
  int Read(std::uint64_t offset) {
    std::set<std::uint64_t> path;
    return ReadDir(offset, 0, &path);
  }

 private:
  int ReadDir(std::uint64_t offset, int depth, std::set<std::uint64_t>* path) {
    if (depth > kMaxIfdDepth || !path->insert(offset).second) return -1;
    const Tree& t = *tree_;
    const unsigned countBytes = t.big ? 8 : 2, entryBytes = t.big ? 20 : 12;
    const unsigned fieldBytes = t.OffsetBytes();
    if (offset > size_ || size_ - offset < countBytes) return -1;
    const std::uint64_t n = t.Get(data_ + offset, countBytes);
    if (n > kMaxIfdEntries || (size_ - offset - countBytes) / entryBytes < n) return -1;
    Dir dir;
    for (std::uint64_t k = 0; k < n; ++k) {
      const std::uint8_t* p = data_ + offset + countBytes + k * entryBytes;
      Entry e;
      e.tag = static_cast<std::uint16_t>(t.Get(p, 2));
      e.type = static_cast<std::uint16_t>(t.Get(p + 2, 2));
      e.count = t.Get(p + 4, t.big ? 8 : 4);
      const std::uint8_t* field = p + (t.big ? 12 : 8);
      const std::uint32_t unit = TiffTypeSize(e.type);
      // An entry of an unknown type or with values outside the file cannot
      // be copied; nothing could read it either.
      if (unit == 0 || e.count > size_) continue;
      const std::uint64_t bytes = e.count * unit;
      const std::uint8_t* value = field;
      if (bytes > fieldBytes) {
        const std::uint64_t at = t.Get(field, fieldBytes);
        if (at > size_ || bytes > size_ - at) continue;
        value = data_ + at;
      }
      const std::uint64_t cost = std::max<std::uint64_t>(bytes, 32);
      if (cost > budget_) return -1;
      budget_ -= cost;
      e.data.assign(value, value + bytes);
      if (IsSubDirTag(e.tag) && IsPointerType(e.type) && e.count == 1) {
        const int child = ReadDir(t.Get(value, static_cast<unsigned>(bytes)), depth + 1, path);
        if (child < 0) continue;  // a pointer to nothing readable goes
        e.child = child;
      }
      dir.entries.push_back(std::move(e));
    }
    path->erase(offset);
    tree_->dirs.push_back(std::move(dir));
    return static_cast<int>(tree_->dirs.size() - 1);
  }

  const std::uint8_t* data_;
  std::size_t size_;
  Tree* tree_;
  std::uint64_t budget_;
};

// Writes directories of a tree into a file being assembled.
class Assembler {
 public:
  Assembler(const Tree& tree, std::vector<std::uint8_t>* out) : t_(tree), out_(out) {}

  void Header() {
    std::uint8_t h[16] = {};
    h[0] = h[1] = t_.be ? 'M' : 'I';
    t_.Put(h + 2, t_.big ? 43 : 42, 2);
    if (t_.big) {
      t_.Put(h + 4, 8, 2);
      next_ = 8;
    } else {
      next_ = 4;
    }
    out_->insert(out_->end(), h, h + (t_.big ? 16 : 8));
  }

  void Align() {
    if (out_->size() % 2) out_->push_back(0);
  }

  std::uint64_t Append(const std::uint8_t* p, std::size_t n) {
    Align();
    const std::uint64_t at = out_->size();
    out_->insert(out_->end(), p, p + n);
    return at;
  }

  // Writes directory `index` of `dirs` (its values and sub-directories
  // first) and links it as the next page of the main chain.
  void Page(const std::vector<Dir>& dirs, int index) {
    std::uint64_t nextField = 0;
    const std::uint64_t at = Write(dirs, index, &nextField);
    t_.Put(out_->data() + next_, at, t_.OffsetBytes());
    next_ = nextField;
  }

  // Writes a directory on its own and gives its offset.
  std::uint64_t Write(const std::vector<Dir>& dirs, int index, std::uint64_t* nextField) {
    const Dir& d = dirs[static_cast<std::size_t>(index)];
    std::vector<const Entry*> order;
    for (const Entry& e : d.entries) order.push_back(&e);
    std::stable_sort(order.begin(), order.end(),
                     [](const Entry* a, const Entry* b) { return a->tag < b->tag; });
    const unsigned fieldBytes = t_.OffsetBytes();
    struct Placed {
      std::uint16_t type;
      std::uint64_t count;
      std::uint8_t field[8];
    };
    std::vector<Placed> placed;
    for (const Entry* e : order) {
      Placed p{e->type, e->count, {}};
      if (e->child >= 0) {
        std::uint64_t unused = 0;
        const std::uint64_t at = Write(dirs, e->child, &unused);
        // A pointer keeps its type where that can hold the offset.
        const bool wide = e->type == 16 || e->type == 18;
        if (!wide && at > UINT32_MAX) p.type = 18;
        p.count = 1;
        t_.Put(p.field, at, p.type == 16 || p.type == 18 ? 8 : 4);
      } else if (e->data.size() <= fieldBytes) {
        std::memcpy(p.field, e->data.data(), e->data.size());
      } else {
        t_.Put(p.field, Append(e->data.data(), e->data.size()), fieldBytes);
      }
      placed.push_back(p);
    }
    Align();
    const std::uint64_t at = out_->size();
    const unsigned countBytes = t_.big ? 8 : 2, entryBytes = t_.big ? 20 : 12;
    out_->resize(out_->size() + countBytes + placed.size() * entryBytes + fieldBytes);
    std::uint8_t* p = out_->data() + at;
    t_.Put(p, placed.size(), countBytes);
    p += countBytes;
    for (std::size_t k = 0; k < placed.size(); ++k, p += entryBytes) {
      t_.Put(p, order[k]->tag, 2);
      t_.Put(p + 2, placed[k].type, 2);
      t_.Put(p + 4, placed[k].count, t_.big ? 8 : 4);
      std::memcpy(p + (t_.big ? 12 : 8), placed[k].field, fieldBytes);
    }
    *nextField = at + countBytes + placed.size() * entryBytes;
    return at;
  }

 private:
  const Tree& t_;
  std::vector<std::uint8_t>* out_;
  std::uint64_t next_ = 0;  // where the offset of the next page goes
};

// Copies directory `index` of `from` (with everything behind it) into `to`.
int CopyDir(const std::vector<Dir>& from, int index, std::vector<Dir>* to) {
  Dir d = from[static_cast<std::size_t>(index)];
  for (Entry& e : d.entries) {
    if (e.child >= 0) e.child = CopyDir(from, e.child, to);
  }
  to->push_back(std::move(d));
  return static_cast<int>(to->size() - 1);
}

// ---------------------------------------------------------------------------
// The first page's metadata being edited.

class TiffQueryWriter : public GuardedQueryWriter {
 public:
  // `tree` holds the source directories; `root` is the first page's.
  void Reset(Tree* tree, int root) {
    tree_ = tree;
    root_ = root;
    exif_.reset();
    exifFailed_ = false;
    xmp_.reset();
    xmpFailed_ = false;
    removedBlobs_.clear();
  }

  // The first page's directory after the edits, as a directory of `dirs`
  // (appended there), holding the metadata entries only.
  HResult Result(std::vector<Dir>* dirs, int* root) const {
    const Dir& source = tree_->dirs[static_cast<std::size_t>(root_)];
    Dir out;
    if (exif_ && exif_->Changed()) {
      if (!exif_->Empty()) {
        std::vector<std::uint8_t> block;
        HResult hr = exif_->Serialize(std::size_t{1} << 31, &block);
        if (Failed(hr)) return hr;
        Tree t;
        Parser parser(block.data(), block.size(), &t);
        std::uint64_t ifd0 = 0;
        int top = -1;
        if (!parser.Header(&ifd0) || t.be != tree_->be || (top = parser.Read(ifd0)) < 0) {
          return kFail;
        }
        out = t.dirs[static_cast<std::size_t>(top)];
        for (Entry& e : out.entries) {
          if (e.child >= 0) e.child = CopyDir(t.dirs, e.child, dirs);
        }
      }
    } else {
      MetadataOnly(source, dirs, &out);
    }
    // The blocks kept beside the EXIF editor's structure.
    for (const Entry& e : source.entries) {
      if (!IsBlob(e.tag) || removedBlobs_.count(e.tag)) continue;
      if (e.tag == kTagXmp && xmp_ && xmp_->Changed()) continue;
      out.entries.push_back(e);
    }
    if (xmp_ && xmp_->Changed() && !xmp_->Empty()) {
      std::string packet;
      HResult hr = xmp_->Serialize(std::size_t{1} << 30, &packet);
      if (Failed(hr)) return hr;
      Entry e;
      e.tag = kTagXmp;
      const Entry* old = FindConst(source, kTagXmp);
      e.type = old && (old->type == 1 || old->type == 7) ? old->type : 1;
      e.count = packet.size();
      e.data.assign(packet.begin(), packet.end());
      out.entries.push_back(std::move(e));
    }
    dirs->push_back(std::move(out));
    *root = static_cast<int>(dirs->size() - 1);
    return kOk;
  }

 private:
  static bool IsBlob(std::uint16_t tag) {
    return tag == kTagXmp || tag == kTagIptc || tag == kTagPhotoshop;
  }

  static const Entry* FindConst(const Dir& d, std::uint16_t tag) {
    for (const Entry& e : d.entries) {
      if (e.tag == tag) return &e;
    }
    return nullptr;
  }

  // The source directory's metadata entries (no image structure, no blocks)
  // with their sub-directories copied into `dirs`.
  void MetadataOnly(const Dir& source, std::vector<Dir>* dirs, Dir* out) const {
    for (const Entry& e : source.entries) {
      if (IsImageStructure(e.tag) || IsBlob(e.tag) || e.tag == kTagSubIfds) continue;
      Entry copy = e;
      if (copy.child >= 0) copy.child = CopyDir(tree_->dirs, copy.child, dirs);
      out->entries.push_back(std::move(copy));
    }
  }

  // The EXIF editor over a classic TIFF structure holding the first page's
  // metadata entries, made on first use.
  ExifEditor* Exif() {
    if (exif_ || exifFailed_) return exif_ ? &*exif_ : nullptr;
    Tree t;
    t.be = tree_->be;
    t.big = false;
    Dir top;
    MetadataOnly(tree_->dirs[static_cast<std::size_t>(root_)], &t.dirs, &top);
    t.dirs.push_back(std::move(top));
    // A BigTIFF's pointers become classic ones; its 64-bit values stay
    // opaque bytes.
    for (Dir& d : t.dirs) {
      for (Entry& e : d.entries) {
        if (e.child >= 0) e.type = 4;
      }
    }
    std::vector<std::uint8_t> block;
    Assembler a(t, &block);
    a.Header();
    a.Page(t.dirs, static_cast<int>(t.dirs.size() - 1));
    ExifEditor e;
    if (block.size() > UINT32_MAX || !e.Open(block.data(), block.size())) {
      exifFailed_ = true;
      return nullptr;
    }
    exif_ = std::move(e);
    return &*exif_;
  }

  XmpEditor* Xmp() {
    if (xmp_ || xmpFailed_) return xmp_ ? &*xmp_ : nullptr;
    const Entry* e = FindConst(tree_->dirs[static_cast<std::size_t>(root_)], kTagXmp);
    XmpEditor x;
    const bool ok = e && !removedBlobs_.count(kTagXmp) ? x.Open(e->data.data(), e->data.size())
                                                       : x.Open(nullptr, 0);
    if (!ok) {
      xmpFailed_ = true;
      return nullptr;
    }
    xmp_ = std::move(x);
    return &*xmp_;
  }

  // What a path names: the first page's XMP packet, one of its IPTC or
  // Photoshop blocks (named by the reader's item or by tag), or an entry or
  // directory of its EXIF structure.
  enum class Kind { Bad, Xmp, Blob, Structure, Exif };
  Kind Classify(std::string_view path, std::uint16_t* blobTag, std::string_view* rest) const {
    std::vector<std::string_view> parts;
    if (!SplitQueryPath(path, &parts)) return Kind::Bad;
    std::size_t k = 0;
    std::string_view name;
    if (!SplitOccurrence(parts[0], &k, &name) || k != 0 || CanonicalComponent(name) != "{ushort=0}")
      return Kind::Bad;
    if (parts.size() < 2) return Kind::Exif;
    if (!SplitOccurrence(parts[1], &k, &name)) return Kind::Bad;
    const std::string second = CanonicalComponent(name);
    const std::size_t skip = 1 + parts[0].size() + 1 + parts[1].size();
    *rest = skip < path.size() ? path.substr(skip) : std::string_view();
    if (second == "xmp") return Kind::Xmp;
    std::uint16_t tag = 0;
    if (second == "iptc") tag = kTagIptc;
    if (second == "irb") tag = kTagPhotoshop;
    if (tag == 0 && ComponentTag(second, &tag) && !IsBlob(tag)) {
      return parts.size() == 2 && (IsImageStructure(tag) || tag == kTagSubIfds) ? Kind::Structure
                                                                                : Kind::Exif;
    }
    if (tag == 0) return Kind::Exif;
    *blobTag = tag;
    return Kind::Blob;
  }

  bool HasBlob(std::uint16_t tag) const {
    return FindConst(tree_->dirs[static_cast<std::size_t>(root_)], tag) &&
           !removedBlobs_.count(tag);
  }

  HResult Set(std::string_view path, const PropValue& value) override {
    std::uint16_t tag = 0;
    std::string_view rest;
    switch (Classify(path, &tag, &rest)) {
      case Kind::Bad:
        return kInvalidArg;
      case Kind::Structure:
        return kInvalidArg;  // the pixels' own description is not metadata
      case Kind::Blob:
        return HasBlob(tag) ? kNotImpl : kErrPropertyNotFound;
      case Kind::Xmp: {
        if (rest.empty()) return kInvalidArg;
        XmpEditor* x = Xmp();
        return x ? x->Set(rest, value) : kNotImpl;
      }
      case Kind::Exif: {
        ExifEditor* e = Exif();
        return e ? e->Set(path, value) : kNotImpl;
      }
    }
    return kInvalidArg;
  }

  HResult Remove(std::string_view path) override {
    std::uint16_t tag = 0;
    std::string_view rest;
    switch (Classify(path, &tag, &rest)) {
      case Kind::Bad:
        return kInvalidArg;
      case Kind::Structure:
        return kInvalidArg;
      case Kind::Blob:
        // IPTC and Photoshop blocks go whole.
        if (!HasBlob(tag)) return kErrPropertyNotFound;
        removedBlobs_.insert(tag);
        return kOk;
      case Kind::Xmp: {
        if (!HasBlob(kTagXmp) && !xmp_) return kErrPropertyNotFound;
        if (rest.empty()) {
          removedBlobs_.insert(kTagXmp);
          xmp_.reset();
          xmpFailed_ = false;
          return kOk;
        }
        XmpEditor* x = Xmp();
        return x ? x->Remove(rest) : kNotImpl;
      }
      case Kind::Exif: {
        ExifEditor* e = Exif();
        return e ? e->Remove(path) : kNotImpl;
      }
    }
    return kInvalidArg;
  }

  Tree* tree_ = nullptr;
  int root_ = -1;
  std::optional<ExifEditor> exif_;
  bool exifFailed_ = false;
  std::optional<XmpEditor> xmp_;
  bool xmpFailed_ = false;
  std::set<std::uint16_t> removedBlobs_;
};

// ---------------------------------------------------------------------------
// Pixels.

// How a page stores its samples, as libtiff reports it.
struct Form {
  std::uint32_t width = 0, height = 0;
  std::uint16_t bps = 1, spp = 1, photometric = PHOTOMETRIC_MINISBLACK;
  std::uint16_t planar = PLANARCONFIG_CONTIG, sampleFormat = SAMPLEFORMAT_UINT;
  std::uint16_t compression = COMPRESSION_NONE, predictor = PREDICTOR_NONE;
  std::vector<std::uint16_t> extras;
  std::vector<std::uint16_t> colormap;  // red, green, blue runs
  std::uint16_t subH = 1, subV = 1;     // YCbCr subsampling
  bool tiled = false;
  std::uint32_t chunkW = 0, chunkH = 0;  // tile size, or the rows of a strip
  bool ycbcrAsRgb = false;               // JPEG YCbCr read as RGB

  bool SamePixels(const Form& o) const {
    return width == o.width && height == o.height && bps == o.bps && spp == o.spp &&
           photometric == o.photometric && planar == o.planar && sampleFormat == o.sampleFormat &&
           extras == o.extras && colormap == o.colormap &&
           (photometric != PHOTOMETRIC_YCBCR || (subH == o.subH && subV == o.subV)) &&
           tiled == o.tiled && chunkW == o.chunkW && chunkH == o.chunkH;
  }
};

// Reads the current directory's form; JPEG-compressed YCbCr is switched to
// RGB output. False for a directory libtiff cannot describe.
bool ReadForm(TIFF* tif, Form* out) {
  Form f;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &f.width) ||
      !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &f.height) || f.width == 0 || f.height == 0) {
    return false;
  }
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &f.bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &f.spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &f.planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &f.sampleFormat);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &f.compression);
  if (!TIFFGetField(tif, TIFFTAG_PREDICTOR, &f.predictor)) f.predictor = PREDICTOR_NONE;
  std::uint16_t extraCount = 0;
  std::uint16_t* extraKinds = nullptr;
  if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds) && extraKinds) {
    f.extras.assign(extraKinds, extraKinds + extraCount);
  }
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &f.photometric)) {
    // As the decoder guesses it.
    const int colour = f.spp - static_cast<int>(f.extras.size());
    f.photometric = colour == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  }
  if (f.photometric == PHOTOMETRIC_PALETTE) {
    std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (f.bps > 16 || !TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) || !r || !g || !b) {
      return false;
    }
    const std::size_t n = std::size_t{1} << f.bps;
    f.colormap.reserve(3 * n);
    f.colormap.insert(f.colormap.end(), r, r + n);
    f.colormap.insert(f.colormap.end(), g, g + n);
    f.colormap.insert(f.colormap.end(), b, b + n);
  }
  if (f.photometric == PHOTOMETRIC_YCBCR) {
    if (f.compression == COMPRESSION_JPEG) {
      if (!TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)) return false;
      f.photometric = PHOTOMETRIC_RGB;
      f.ycbcrAsRgb = true;
    } else {
      TIFFGetFieldDefaulted(tif, TIFFTAG_YCBCRSUBSAMPLING, &f.subH, &f.subV);
    }
  }
  f.tiled = TIFFIsTiled(tif) != 0;
  if (f.tiled) {
    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &f.chunkW) ||
        !TIFFGetField(tif, TIFFTAG_TILELENGTH, &f.chunkH)) {
      return false;
    }
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &f.chunkH);
    if (f.chunkH > f.height) f.chunkH = f.height;
    f.chunkW = f.width;
  }
  *out = f;
  return true;
}

// The number of strips or tiles and the decoded size of a whole one; false
// when the sizes are not those of a picture we accept.
bool Chunks(TIFF* tif, const Form& f, std::uint32_t* count, std::uint64_t* bytes) {
  if (std::uint64_t{f.width} * f.height > kMaxPixels) return false;
  // At most eight 64-bit samples a pixel.
  if (f.bps == 0 || f.bps > 64 || f.spp == 0 || std::uint64_t{f.bps} * f.spp > 512) return false;
  *count = f.tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  const std::int64_t size = f.tiled ? static_cast<std::int64_t>(TIFFTileSize64(tif))
                                    : static_cast<std::int64_t>(TIFFStripSize64(tif));
  if (*count == 0 || size <= 0) return false;
  // One chunk holds at most the whole picture (tiles may overhang it) or
  // 16 MB.
  const std::uint64_t plane = std::uint64_t{f.width} * f.height * f.spp * ((f.bps + 7) / 8) + 1024;
  if (static_cast<std::uint64_t>(size) > std::max<std::uint64_t>(plane, 16u << 20)) return false;
  *bytes = static_cast<std::uint64_t>(size);
  return true;
}

// Decodes strip or tile k. The buffer is cleared first: some decoders (the
// CCITT ones) leave the bits past a row's last pixel as they found them.
tmsize_t ReadChunk(TIFF* tif, const Form& f, std::uint32_t k, std::uint8_t* buf,
                   std::uint64_t bytes) {
  std::memset(buf, 0, static_cast<std::size_t>(bytes));
  return f.tiled ? TIFFReadEncodedTile(tif, k, buf, static_cast<tmsize_t>(bytes))
                 : TIFFReadEncodedStrip(tif, k, buf, static_cast<tmsize_t>(bytes));
}

// The compression a page is written with, and its predictor.
void ChooseCompression(const Form& f, std::uint16_t* compression, std::uint16_t* predictor) {
  *predictor = PREDICTOR_NONE;
  switch (f.compression) {
    case COMPRESSION_NONE:
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4:
    case COMPRESSION_PACKBITS:
      *compression = f.compression;
      return;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
      *compression = COMPRESSION_ADOBE_DEFLATE;
      break;
    default:
      *compression = COMPRESSION_LZW;
      break;
  }
  if (f.compression != COMPRESSION_JPEG &&
      (f.predictor == PREDICTOR_HORIZONTAL || f.predictor == PREDICTOR_FLOATINGPOINT)) {
    *predictor = f.predictor;
  }
}

// Encodes the source page at `offset` again into a one-page scratch TIFF.
// *rgb tells whether its YCbCr samples became RGB.
HResult EncodePage(const Bytes& source, std::uint64_t offset, const Tree& layout,
                   std::uint64_t* budget, std::vector<std::uint8_t>* scratch, bool* rgb) {
  std::unique_ptr<TiffHandle> in = TiffHandle::Open(source);
  if (!in || !TIFFSetSubDirectory(in->tif(), offset)) return kErrBadImage;
  TIFF* src = in->tif();
  std::uint16_t subCount = 0;
  void* subOffsets = nullptr;
  if (TIFFGetField(src, TIFFTAG_SUBIFD, &subCount, &subOffsets) && subCount > 0) {
    return kErrUnsupportedPixelFormat;  // sub-images would be lost
  }
  std::uint16_t stored = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(src, TIFFTAG_COMPRESSION, &stored);
  if (stored == COMPRESSION_OJPEG || !TIFFIsCODECConfigured(stored)) {
    return kErrUnsupportedPixelFormat;
  }
  Form f;
  if (!ReadForm(src, &f)) return kErrBadImage;
  *rgb = f.ycbcrAsRgb;
  std::uint16_t compression = COMPRESSION_LZW, predictor = PREDICTOR_NONE;
  ChooseCompression(f, &compression, &predictor);
  if ((compression == COMPRESSION_CCITTFAX3 || compression == COMPRESSION_CCITTFAX4) &&
      (f.bps != 1 || f.spp != 1)) {
    return kErrUnsupportedPixelFormat;
  }
  std::uint32_t count = 0;
  std::uint64_t bytes = 0;
  if (!Chunks(src, f, &count, &bytes)) return kErrBadImage;
  if (std::uint64_t{count} * bytes > *budget) return kErrBadImage;
  *budget -= std::uint64_t{count} * bytes;

  std::unique_ptr<TiffSink> sink = TiffSink::Open(layout.be, layout.big);
  if (!sink) return kFail;
  TIFF* dst = sink->tif();
  bool ok = TIFFSetField(dst, TIFFTAG_IMAGEWIDTH, f.width) &&
            TIFFSetField(dst, TIFFTAG_IMAGELENGTH, f.height) &&
            TIFFSetField(dst, TIFFTAG_BITSPERSAMPLE, f.bps) &&
            TIFFSetField(dst, TIFFTAG_SAMPLESPERPIXEL, f.spp) &&
            TIFFSetField(dst, TIFFTAG_PHOTOMETRIC, f.photometric) &&
            TIFFSetField(dst, TIFFTAG_PLANARCONFIG, f.planar) &&
            TIFFSetField(dst, TIFFTAG_COMPRESSION, compression);
  if (ok && f.sampleFormat != SAMPLEFORMAT_UINT) {
    ok = TIFFSetField(dst, TIFFTAG_SAMPLEFORMAT, f.sampleFormat);
  }
  if (ok && !f.extras.empty()) {
    ok = TIFFSetField(dst, TIFFTAG_EXTRASAMPLES, static_cast<std::uint16_t>(f.extras.size()),
                      f.extras.data());
  }
  if (ok && !f.colormap.empty()) {
    const std::size_t n = f.colormap.size() / 3;
    ok = TIFFSetField(dst, TIFFTAG_COLORMAP, f.colormap.data(), f.colormap.data() + n,
                      f.colormap.data() + 2 * n);
  }
  if (ok && f.photometric == PHOTOMETRIC_YCBCR) {
    ok = TIFFSetField(dst, TIFFTAG_YCBCRSUBSAMPLING, f.subH, f.subV);
  }
  if (ok && predictor != PREDICTOR_NONE) ok = TIFFSetField(dst, TIFFTAG_PREDICTOR, predictor);
  // libtiff hands out samples in the usual bit order and reverses them
  // again on writing for the other fill order, so the tag can stay.
  std::uint16_t fillOrder = FILLORDER_MSB2LSB;
  if (ok && TIFFGetField(src, TIFFTAG_FILLORDER, &fillOrder)) {
    ok = TIFFSetField(dst, TIFFTAG_FILLORDER, fillOrder);
  }
  if (ok && compression == COMPRESSION_CCITTFAX3) {
    std::uint32_t options = 0;
    TIFFGetFieldDefaulted(src, TIFFTAG_GROUP3OPTIONS, &options);
    ok = TIFFSetField(dst, TIFFTAG_GROUP3OPTIONS, options);
  }
  if (ok && f.tiled) {
    ok = TIFFSetField(dst, TIFFTAG_TILEWIDTH, f.chunkW) &&
         TIFFSetField(dst, TIFFTAG_TILELENGTH, f.chunkH);
  } else if (ok) {
    ok = TIFFSetField(dst, TIFFTAG_ROWSPERSTRIP, f.chunkH);
  }
  if (!ok) return kErrUnsupportedPixelFormat;
  // The same geometry gives the same chunks, each of the same decoded size.
  const std::int64_t dstSize = f.tiled ? static_cast<std::int64_t>(TIFFTileSize64(dst))
                                       : static_cast<std::int64_t>(TIFFStripSize64(dst));
  if ((f.tiled ? TIFFNumberOfTiles(dst) : TIFFNumberOfStrips(dst)) != count ||
      dstSize != static_cast<std::int64_t>(bytes)) {
    return kErrUnsupportedPixelFormat;
  }
  std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[bytes]);
  if (!buf) return kOutOfMemory;
  for (std::uint32_t k = 0; k < count; ++k) {
    const tmsize_t got = ReadChunk(src, f, k, buf.get(), bytes);
    if (got <= 0) return kErrBadImage;
    const tmsize_t put = f.tiled ? TIFFWriteEncodedTile(dst, k, buf.get(), got)
                                 : TIFFWriteEncodedStrip(dst, k, buf.get(), got);
    if (put < 0) return kFail;
  }
  if (!TIFFWriteDirectory(dst)) return kFail;
  return sink->Finish(scratch) ? kOk : kFail;
}

}  // namespace

// ---------------------------------------------------------------------------

struct TiffRewriter::State {
  Bytes bytes;
  Tree tree;
  std::vector<std::uint64_t> offsets;  // the pages' directories
  std::vector<int> roots;              // their directories in the tree
  TiffQueryWriter writer;
};

TiffRewriter::TiffRewriter() : state_(std::make_unique<State>()) {}
TiffRewriter::~TiffRewriter() = default;

HResult TiffRewriter::Open(Bytes bytes) {
  try {
    auto s = std::make_unique<State>();
    if (!bytes) return kErrBadHeader;
    s->bytes = std::move(bytes);
    const std::vector<std::uint8_t>& b = *s->bytes;
    Parser parser(b.data(), b.size(), &s->tree);
    std::uint64_t ifd0 = 0;
    if (!parser.Header(&ifd0)) return kErrBadHeader;
    // A file with more pages than are read is not written again: the pages
    // beyond would be lost.
    s->offsets = TiffIfdChain(b.data(), b.size(), kMaxTiffFrames + 1);
    if (s->offsets.empty() || s->offsets.size() > kMaxTiffFrames || s->offsets.front() != ifd0) {
      return kErrBadHeader;
    }
    for (std::uint64_t off : s->offsets) {
      const int root = parser.Read(off);
      if (root < 0) return kErrBadHeader;
      s->roots.push_back(root);
    }
    s->writer.Reset(&s->tree, s->roots.front());
    state_ = std::move(s);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

MetadataQueryWriter* TiffRewriter::GetMetadataQueryWriter() {
  return state_->roots.empty() ? nullptr : &state_->writer;
}

HResult TiffRewriter::Commit(std::vector<std::uint8_t>* out) {
  if (!out) return kPointer;
  State& s = *state_;
  if (s.roots.empty()) return kFail;
  try {
    Tree result;
    result.be = s.tree.be;
    result.big = s.tree.big;
    std::vector<std::uint8_t> file;
    Assembler assembler(result, &file);
    assembler.Header();
    // Decoded samples a save may go through: the largest picture twice over,
    // or sixteen times the file, whichever is more.
    std::uint64_t budget =
        std::max<std::uint64_t>(kMaxPixels * 16, std::uint64_t{s.bytes->size()} * 16);
    for (std::size_t page = 0; page < s.roots.size(); ++page) {
      std::vector<std::uint8_t> scratch;
      bool rgb = false;
      HResult hr = EncodePage(s.bytes, s.offsets[page], result, &budget, &scratch, &rgb);
      if (Failed(hr)) return hr;
      Tree encoded;
      Parser parser(scratch.data(), scratch.size(), &encoded);
      std::uint64_t ifd0 = 0;
      int top = -1;
      if (!parser.Header(&ifd0) || (top = parser.Read(ifd0)) < 0) return kFail;
      const Dir& structure = encoded.dirs[static_cast<std::size_t>(top)];

      // The metadata entries: the first page's through its editor, the
      // others' as stored.
      std::vector<Dir> dirs;
      int root = -1;
      if (page == 0) {
        hr = s.writer.Result(&dirs, &root);
        if (Failed(hr)) return hr;
      } else {
        root = CopyDir(s.tree.dirs, s.roots[page], &dirs);
      }
      Dir& d = dirs[static_cast<std::size_t>(root)];
      std::set<std::uint16_t> structural;
      for (const Entry& e : structure.entries) structural.insert(e.tag);
      std::vector<Entry> kept;
      for (Entry& e : d.entries) {
        if (IsImageStructure(e.tag) || structural.count(e.tag)) continue;
        if (rgb && IsYCbCrOnly(e.tag)) continue;
        if (e.tag == kTagSubIfds) continue;
        kept.push_back(std::move(e));
      }
      d.entries = std::move(kept);

      // The image structure, with the strips or tiles copied into the file.
      const Entry *offsets = nullptr, *counts = nullptr;
      for (const Entry& e : structure.entries) {
        if (e.tag == 273 || e.tag == 324) {
          offsets = &e;
        } else if (e.tag == 279 || e.tag == 325) {
          counts = &e;
        } else {
          d.entries.push_back(e);
        }
      }
      std::vector<std::uint64_t> at, len;
      if (!offsets || !counts || !encoded.Numbers(*offsets, &at) ||
          !encoded.Numbers(*counts, &len) || at.size() != len.size()) {
        return kFail;
      }
      std::vector<std::uint64_t> placed;
      for (std::size_t k = 0; k < at.size(); ++k) {
        if (at[k] > scratch.size() || len[k] > scratch.size() - at[k]) return kFail;
        placed.push_back(
            assembler.Append(scratch.data() + at[k], static_cast<std::size_t>(len[k])));
      }
      const bool wide = result.big;
      for (int which = 0; which < 2; ++which) {
        Entry e;
        e.tag = which == 0 ? offsets->tag : counts->tag;
        e.type = wide ? 16 : 4;
        e.count = placed.size();
        e.data.resize(placed.size() * (wide ? 8 : 4));
        const std::vector<std::uint64_t>& values = which == 0 ? placed : len;
        for (std::size_t k = 0; k < values.size(); ++k) {
          result.Put(e.data.data() + k * (wide ? 8 : 4), values[k], wide ? 8 : 4);
        }
        d.entries.push_back(std::move(e));
      }
      assembler.Page(dirs, root);
    }
    if (!result.big && file.size() > UINT32_MAX) return kFail;
    *out = std::move(file);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

bool SameTiffPages(const Bytes& a, const Bytes& b) {
  if (!a || !b) return false;
  try {
    const std::vector<std::uint64_t> pagesA = TiffIfdChain(a->data(), a->size(), kMaxTiffFrames);
    const std::vector<std::uint64_t> pagesB = TiffIfdChain(b->data(), b->size(), kMaxTiffFrames);
    if (pagesA.empty() || pagesA.size() != pagesB.size()) return false;
    std::uint64_t budget = std::max<std::uint64_t>(kMaxPixels * 16, std::uint64_t{a->size()} * 16);
    for (std::size_t page = 0; page < pagesA.size(); ++page) {
      std::unique_ptr<TiffHandle> ha = TiffHandle::Open(a), hb = TiffHandle::Open(b);
      if (!ha || !hb || !TIFFSetSubDirectory(ha->tif(), pagesA[page]) ||
          !TIFFSetSubDirectory(hb->tif(), pagesB[page])) {
        return false;
      }
      Form fa, fb;
      if (!ReadForm(ha->tif(), &fa) || !ReadForm(hb->tif(), &fb) || !fa.SamePixels(fb)) {
        return false;
      }
      std::uint32_t countA = 0, countB = 0;
      std::uint64_t bytesA = 0, bytesB = 0;
      if (!Chunks(ha->tif(), fa, &countA, &bytesA) || !Chunks(hb->tif(), fb, &countB, &bytesB) ||
          countA != countB || bytesA != bytesB) {
        return false;
      }
      if (std::uint64_t{countA} * bytesA > budget) return false;
      budget -= std::uint64_t{countA} * bytesA;
      std::unique_ptr<std::uint8_t[]> bufA(new (std::nothrow) std::uint8_t[bytesA]);
      std::unique_ptr<std::uint8_t[]> bufB(new (std::nothrow) std::uint8_t[bytesB]);
      if (!bufA || !bufB) return false;
      for (std::uint32_t k = 0; k < countA; ++k) {
        const tmsize_t gotA = ReadChunk(ha->tif(), fa, k, bufA.get(), bytesA);
        const tmsize_t gotB = ReadChunk(hb->tif(), fb, k, bufB.get(), bytesB);
        if (gotA <= 0 || gotA != gotB ||
            std::memcmp(bufA.get(), bufB.get(), static_cast<std::size_t>(gotA)) != 0) {
          return false;
        }
      }
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace img
