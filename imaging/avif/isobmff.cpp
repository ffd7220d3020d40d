// Reader of the AVIF box structure. Boxes are split into spans of their
// parent; nothing is read outside the span it belongs to, and every table
// count is checked against the bytes that are left before it is trusted.
#include "imaging/avif/isobmff.h"

#include <map>
#include <set>
#include <string>

#include "imaging/byte_reader.h"

namespace avif_layer {
namespace {

using img::ByteReader;

constexpr std::uint32_t Tag(const char (&s)[5]) {
  return (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[3]));
}

// The deepest real nesting is moov/trak/mdia/minf/stbl/stsd/av01/av1C.
constexpr int kMaxDepth = 10;
// Real files have a few dozen boxes per container and a handful of items;
// the caps only stop a small file from describing millions of them.
constexpr std::size_t kMaxBoxes = 4096;
constexpr std::size_t kMaxItems = 4096;
constexpr std::size_t kMaxExtents = 4096;
constexpr std::size_t kMaxReferences = 4096;
constexpr std::size_t kMaxAssociations = 16384;

const char kAlphaUrnMpegB[] = "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha";
const char kAlphaUrnHevc[] = "urn:mpeg:hevc:2015:auxid:1";

struct Span {
  const std::uint8_t* p = nullptr;
  std::size_t n = 0;
};

struct Box {
  std::uint32_t type = 0;
  Span body;
};

// Splits a span into its child boxes; false when one does not fit.
bool SplitBoxes(Span s, int depth, std::vector<Box>* out) {
  out->clear();
  if (depth > kMaxDepth) return false;
  ByteReader r(s.p, s.n);
  while (r.left() > 0) {
    if (out->size() >= kMaxBoxes) return false;
    std::uint64_t size = r.U32BE();
    const std::uint32_t type = r.U32BE();
    std::uint64_t header = 8;
    if (size == 1) {
      size = static_cast<std::uint64_t>(r.U32BE()) << 32;
      size |= r.U32BE();
      header = 16;
    }
    if (!r.ok()) return false;
    if (size == 0) size = header + r.left();  // to the end of the parent
    if (type == Tag("uuid")) {
      if (!r.Skip(16)) return false;
      header += 16;
    }
    if (size < header || size - header > r.left()) return false;
    const std::size_t body = static_cast<std::size_t>(size - header);
    out->push_back(Box{type, Span{r.here(), body}});
    r.Skip(body);
  }
  return true;
}

// Version and flags of a full box; the reader is left after them.
struct FullBox {
  std::uint8_t version = 0;
  std::uint32_t flags = 0;
};
FullBox ReadFullBox(ByteReader* r) {
  FullBox f;
  f.version = r->U8();
  f.flags = static_cast<std::uint32_t>(r->U8()) << 16;
  f.flags |= static_cast<std::uint32_t>(r->U16BE());
  return f;
}

// A NUL-terminated string; without the NUL the rest of the box is the string.
std::string CString(ByteReader* r) {
  std::string s;
  while (r->left() > 0) {
    const std::uint8_t c = r->U8();
    if (c == 0) break;
    s.push_back(static_cast<char>(c));
  }
  return s;
}

// An unsigned value of 0, 4 or 8 bytes, as iloc sizes its fields.
std::uint64_t ReadSized(ByteReader* r, unsigned bytes) {
  if (bytes == 4) return r->U32BE();
  if (bytes == 8) {
    std::uint64_t v = static_cast<std::uint64_t>(r->U32BE()) << 32;
    return v | r->U32BE();
  }
  return 0;
}

struct Extent {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;  // 0: to the end of the source
};

struct PropertyRef {
  std::uint16_t index = 0;  // 1-based into ipco
  bool essential = false;
};

struct Item {
  bool has_info = false;
  std::uint32_t type = 0;
  bool protected_item = false;
  std::string content_type;
  bool has_location = false;
  std::uint8_t method = 0;  // 0 file offsets, 1 idat offsets
  std::uint16_t data_reference = 0;
  std::uint64_t base_offset = 0;
  std::vector<Extent> extents;
  std::vector<PropertyRef> props;
};

struct Reference {
  std::uint32_t type = 0;
  std::uint32_t from = 0;
  std::uint32_t to = 0;
};

struct MetaInfo {
  bool has_primary = false;
  std::uint32_t primary = 0;
  std::map<std::uint32_t, Item> items;
  std::vector<Reference> refs;
  std::vector<Box> properties;
  bool has_idat = false;
  Span idat;
};

ParseStatus ParseIloc(Span body, MetaInfo* meta) {
  ByteReader r(body.p, body.n);
  const FullBox fb = ReadFullBox(&r);
  if (!r.ok() || fb.version > 2) return ParseStatus::kBadStructure;
  std::uint8_t b = r.U8();
  const unsigned offset_size = b >> 4, length_size = b & 15;
  b = r.U8();
  const unsigned base_size = b >> 4, index_size = fb.version >= 1 ? (b & 15) : 0;
  for (unsigned s : {offset_size, length_size, base_size, index_size}) {
    if (s != 0 && s != 4 && s != 8) return ParseStatus::kBadStructure;
  }
  const std::uint32_t count = fb.version < 2 ? r.U16BE() : r.U32BE();
  if (!r.ok()) return ParseStatus::kBadStructure;
  std::size_t extents = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t id = fb.version < 2 ? r.U16BE() : r.U32BE();
    std::uint8_t method = 0;
    if (fb.version >= 1) method = r.U16BE() & 15;
    const std::uint16_t dri = r.U16BE();
    const std::uint64_t base = ReadSized(&r, base_size);
    const std::uint16_t n = r.U16BE();
    if (!r.ok()) return ParseStatus::kBadStructure;
    if (meta->items.size() >= kMaxItems && !meta->items.count(id)) {
      return ParseStatus::kBadStructure;
    }
    Item& item = meta->items[id];
    if (item.has_location) return ParseStatus::kBadStructure;  // listed twice
    item.has_location = true;
    item.method = method;
    item.data_reference = dri;
    item.base_offset = base;
    for (std::uint16_t e = 0; e < n; ++e) {
      if (++extents > kMaxExtents) return ParseStatus::kBadStructure;
      ReadSized(&r, index_size);
      Extent ex;
      ex.offset = ReadSized(&r, offset_size);
      ex.length = ReadSized(&r, length_size);
      if (!r.ok()) return ParseStatus::kBadStructure;
      item.extents.push_back(ex);
    }
  }
  return ParseStatus::kOk;
}

ParseStatus ParseIinf(Span body, MetaInfo* meta) {
  ByteReader r(body.p, body.n);
  const FullBox fb = ReadFullBox(&r);
  if (fb.version == 0) {
    r.U16BE();
  } else {
    r.U32BE();
  }
  if (!r.ok()) return ParseStatus::kBadStructure;
  std::vector<Box> entries;
  if (!SplitBoxes(Span{r.here(), r.left()}, 3, &entries)) return ParseStatus::kBadStructure;
  for (const Box& e : entries) {
    if (e.type != Tag("infe")) continue;
    ByteReader er(e.body.p, e.body.n);
    const FullBox efb = ReadFullBox(&er);
    if (!er.ok()) return ParseStatus::kBadStructure;
    if (efb.version < 2) continue;  // old entries name no item type
    const std::uint32_t id = efb.version == 2 ? er.U16BE() : er.U32BE();
    const std::uint16_t protection = er.U16BE();
    const std::uint32_t type = er.U32BE();
    if (!er.ok()) return ParseStatus::kBadStructure;
    CString(&er);  // item name
    if (meta->items.size() >= kMaxItems && !meta->items.count(id)) {
      return ParseStatus::kBadStructure;
    }
    Item& item = meta->items[id];
    if (item.has_info) return ParseStatus::kBadStructure;
    item.has_info = true;
    item.type = type;
    item.protected_item = protection != 0;
    if (type == Tag("mime")) item.content_type = CString(&er);
  }
  return ParseStatus::kOk;
}

ParseStatus ParseIref(Span body, MetaInfo* meta) {
  ByteReader r(body.p, body.n);
  const FullBox fb = ReadFullBox(&r);
  if (!r.ok() || fb.version > 1) return ParseStatus::kBadStructure;
  std::vector<Box> refs;
  if (!SplitBoxes(Span{r.here(), r.left()}, 3, &refs)) return ParseStatus::kBadStructure;
  for (const Box& b : refs) {
    ByteReader br(b.body.p, b.body.n);
    const std::uint32_t from = fb.version == 0 ? br.U16BE() : br.U32BE();
    const std::uint16_t n = br.U16BE();
    for (std::uint16_t i = 0; i < n; ++i) {
      const std::uint32_t to = fb.version == 0 ? br.U16BE() : br.U32BE();
      if (!br.ok()) return ParseStatus::kBadStructure;
      if (meta->refs.size() >= kMaxReferences) return ParseStatus::kBadStructure;
      meta->refs.push_back(Reference{b.type, from, to});
    }
    if (!br.ok()) return ParseStatus::kBadStructure;
  }
  return ParseStatus::kOk;
}

ParseStatus ParseIprp(Span body, MetaInfo* meta) {
  std::vector<Box> kids;
  if (!SplitBoxes(body, 2, &kids)) return ParseStatus::kBadStructure;
  bool have_ipco = false;
  std::size_t associations = 0;
  for (const Box& k : kids) {
    if (k.type == Tag("ipco")) {
      if (have_ipco) return ParseStatus::kBadStructure;
      have_ipco = true;
      if (!SplitBoxes(k.body, 3, &meta->properties)) return ParseStatus::kBadStructure;
    } else if (k.type == Tag("ipma")) {
      ByteReader r(k.body.p, k.body.n);
      const FullBox fb = ReadFullBox(&r);
      const std::uint32_t n = r.U32BE();
      if (!r.ok()) return ParseStatus::kBadStructure;
      for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t id = fb.version < 1 ? r.U16BE() : r.U32BE();
        const std::uint8_t count = r.U8();
        if (!r.ok()) return ParseStatus::kBadStructure;
        if (meta->items.size() >= kMaxItems && !meta->items.count(id)) {
          return ParseStatus::kBadStructure;
        }
        Item& item = meta->items[id];
        if (!item.props.empty()) return ParseStatus::kBadStructure;  // associated twice
        for (std::uint8_t a = 0; a < count; ++a) {
          if (++associations > kMaxAssociations) return ParseStatus::kBadStructure;
          PropertyRef p;
          if (fb.flags & 1) {
            const std::uint16_t v = r.U16BE();
            p.essential = (v & 0x8000) != 0;
            p.index = v & 0x7FFF;
          } else {
            const std::uint8_t v = r.U8();
            p.essential = (v & 0x80) != 0;
            p.index = v & 0x7F;
          }
          if (!r.ok()) return ParseStatus::kBadStructure;
          item.props.push_back(p);
        }
      }
    }
  }
  return ParseStatus::kOk;
}

ParseStatus ParseMeta(Span body, MetaInfo* meta) {
  ByteReader r(body.p, body.n);
  const FullBox fb = ReadFullBox(&r);
  if (!r.ok() || fb.version != 0) return ParseStatus::kBadStructure;
  std::vector<Box> kids;
  if (!SplitBoxes(Span{r.here(), r.left()}, 1, &kids)) return ParseStatus::kBadStructure;
  bool pict = false;
  for (const Box& k : kids) {
    ParseStatus st = ParseStatus::kOk;
    if (k.type == Tag("hdlr")) {
      ByteReader hr(k.body.p, k.body.n);
      ReadFullBox(&hr);
      hr.U32BE();  // pre_defined
      const std::uint32_t handler = hr.U32BE();
      if (!hr.ok()) return ParseStatus::kBadStructure;
      pict = handler == Tag("pict");
    } else if (k.type == Tag("pitm")) {
      ByteReader pr(k.body.p, k.body.n);
      const FullBox pfb = ReadFullBox(&pr);
      meta->primary = pfb.version == 0 ? pr.U16BE() : pr.U32BE();
      if (!pr.ok() || meta->has_primary) return ParseStatus::kBadStructure;
      meta->has_primary = true;
    } else if (k.type == Tag("iloc")) {
      st = ParseIloc(k.body, meta);
    } else if (k.type == Tag("iinf")) {
      st = ParseIinf(k.body, meta);
    } else if (k.type == Tag("iref")) {
      st = ParseIref(k.body, meta);
    } else if (k.type == Tag("iprp")) {
      st = ParseIprp(k.body, meta);
    } else if (k.type == Tag("idat")) {
      if (meta->has_idat) return ParseStatus::kBadStructure;
      meta->has_idat = true;
      meta->idat = k.body;
    }
    if (st != ParseStatus::kOk) return st;
  }
  return pict ? ParseStatus::kOk : ParseStatus::kBadStructure;
}

// The property boxes a coded picture may carry, read into the picture.
ParseStatus ReadProperty(const Box& p, bool essential, CodedImage* img, std::string* aux_type,
                         bool* has_ispe) {
  ByteReader r(p.body.p, p.body.n);
  if (p.type == Tag("ispe")) {
    ReadFullBox(&r);
    const std::uint32_t w = r.U32BE(), h = r.U32BE();
    if (!r.ok()) return ParseStatus::kBadStructure;
    if (!*has_ispe) {
      *has_ispe = true;
      img->width = w;
      img->height = h;
    }
  } else if (p.type == Tag("av1C")) {
    const std::uint8_t b0 = r.U8(), b1 = r.U8(), b2 = r.U8();
    if (!r.ok() || b0 != 0x81) return ParseStatus::kBadStructure;  // marker and version 1
    if (!img->av1c.present) {
      img->av1c.present = true;
      img->av1c.profile = b1 >> 5;
      img->av1c.high_bitdepth = (b2 & 0x40) != 0;
      img->av1c.twelve_bit = (b2 & 0x20) != 0;
      img->av1c.monochrome = (b2 & 0x10) != 0;
      img->av1c.subsampling_x = (b2 & 0x08) != 0;
      img->av1c.subsampling_y = (b2 & 0x04) != 0;
    }
  } else if (p.type == Tag("colr")) {
    const std::uint32_t kind = r.U32BE();
    if (!r.ok()) return ParseStatus::kBadStructure;
    if (kind == Tag("nclx")) {
      Nclx n;
      n.present = true;
      n.primaries = r.U16BE();
      n.transfer = r.U16BE();
      n.matrix = r.U16BE();
      n.full_range = (r.U8() & 0x80) != 0;
      if (!r.ok()) return ParseStatus::kBadStructure;
      if (!img->nclx.present) img->nclx = n;
    } else if (kind == Tag("rICC") || kind == Tag("prof")) {
      if (img->icc.empty()) img->icc.assign(r.here(), r.here() + r.left());
    }
  } else if (p.type == Tag("irot")) {
    const std::uint8_t v = r.U8();
    if (!r.ok()) return ParseStatus::kBadStructure;
    img->has_irot = true;
    img->irot_angle = v & 3;
  } else if (p.type == Tag("imir")) {
    const std::uint8_t v = r.U8();
    if (!r.ok()) return ParseStatus::kBadStructure;
    img->has_imir = true;
    img->imir_axis = v & 1;
  } else if (p.type == Tag("auxC")) {
    ReadFullBox(&r);
    if (!r.ok()) return ParseStatus::kBadStructure;
    *aux_type = CString(&r);
  } else if (essential) {
    // Properties that change nothing here; any other essential one means the
    // picture cannot be shown as intended.
    static const std::uint32_t kKnown[] = {Tag("pixi"), Tag("pasp"), Tag("clap"),
                                           Tag("a1op"), Tag("lsel"), Tag("a1lx")};
    bool known = false;
    for (std::uint32_t k : kKnown) known = known || k == p.type;
    if (!known) return ParseStatus::kUnsupported;
  }
  return ParseStatus::kOk;
}

// An item's bytes gathered from its extents in the file or in idat.
ParseStatus ReadItemBytes(const Item& item, Span file, const MetaInfo& meta,
                          std::vector<std::uint8_t>* out) {
  out->clear();
  if (!item.has_location || item.data_reference != 0) return ParseStatus::kUnsupported;
  Span src;
  if (item.method == 0) {
    src = file;
  } else if (item.method == 1) {
    if (!meta.has_idat) return ParseStatus::kBadStructure;
    src = meta.idat;
  } else {
    return ParseStatus::kUnsupported;
  }
  std::uint64_t total = 0;
  for (const Extent& e : item.extents) {
    if (e.offset > UINT64_MAX - item.base_offset) return ParseStatus::kBadStructure;
    const std::uint64_t off = item.base_offset + e.offset;
    if (off > src.n) return ParseStatus::kTruncated;
    const std::uint64_t len = e.length == 0 ? src.n - off : e.length;
    if (len > src.n - off) return ParseStatus::kTruncated;
    // Overlapping extents could repeat the file many times over.
    if (len > src.n - total) return ParseStatus::kBadStructure;
    total += len;
  }
  out->reserve(static_cast<std::size_t>(total));
  for (const Extent& e : item.extents) {
    const std::size_t off = static_cast<std::size_t>(item.base_offset + e.offset);
    const std::size_t len = static_cast<std::size_t>(e.length == 0 ? src.n - off : e.length);
    out->insert(out->end(), src.p + off, src.p + off + len);
  }
  return ParseStatus::kOk;
}

bool SizeAllowed(std::uint32_t w, std::uint32_t h) {
  return w <= kMaxSide && h <= kMaxSide &&
         static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) <= kMaxPixels;
}

// Reads an av01 item's properties and bytes.
ParseStatus ReadCodedItem(const Item& item, Span file, const MetaInfo& meta, CodedImage* img,
                          std::string* aux_type) {
  if (item.protected_item) return ParseStatus::kUnsupported;
  bool has_ispe = false;
  for (const PropertyRef& p : item.props) {
    if (p.index == 0) continue;
    if (p.index > meta.properties.size()) return ParseStatus::kBadStructure;
    const ParseStatus st =
        ReadProperty(meta.properties[p.index - 1], p.essential, img, aux_type, &has_ispe);
    if (st != ParseStatus::kOk) return st;
  }
  if (!has_ispe || !img->av1c.present) return ParseStatus::kBadStructure;
  if (img->width == 0 || img->height == 0) return ParseStatus::kBadStructure;
  if (!SizeAllowed(img->width, img->height)) return ParseStatus::kTooLarge;
  return ReadItemBytes(item, file, meta, &img->obu);
}

// The type an auxiliary item's auxC property names (the last one, as
// ReadProperty leaves it), without reading its other properties or bytes.
ParseStatus AuxiliaryType(const Item& item, const MetaInfo& meta, std::string* aux_type) {
  for (const PropertyRef& p : item.props) {
    if (p.index == 0) continue;
    if (p.index > meta.properties.size()) return ParseStatus::kBadStructure;
    const Box& box = meta.properties[p.index - 1];
    if (box.type != Tag("auxC")) continue;
    ByteReader r(box.body.p, box.body.n);
    ReadFullBox(&r);
    if (!r.ok()) return ParseStatus::kBadStructure;
    *aux_type = CString(&r);
  }
  return ParseStatus::kOk;
}

ParseStatus FromItems(Span file, const MetaInfo& meta, AvifFile* out) {
  if (!meta.has_primary || meta.primary == 0) return ParseStatus::kNoAv1Item;
  const auto primary = meta.items.find(meta.primary);
  if (primary == meta.items.end() || !primary->second.has_info) return ParseStatus::kNoAv1Item;
  if (primary->second.type != Tag("av01")) {
    return primary->second.type == Tag("grid") ? ParseStatus::kUnsupported
                                               : ParseStatus::kNoAv1Item;
  }
  std::string aux;
  ParseStatus st = ReadCodedItem(primary->second, file, meta, &out->color, &aux);
  if (st != ParseStatus::kOk) return st;

  out->item_bytes_read += out->color.obu.size();

  // The alpha plane is an av01 item that names the primary as what it is
  // auxiliary to and whose auxC names alpha. Each reference is looked at
  // once, so loops end; an item named by several references is looked at
  // once; and only the auxC of a candidate is read until one is alpha, whose
  // properties and bytes are then read whole.
  std::set<std::uint32_t> looked_at;
  for (const Reference& ref : meta.refs) {
    if (ref.type != Tag("auxl") || ref.to != meta.primary || ref.from == meta.primary) continue;
    if (!looked_at.insert(ref.from).second) continue;
    const auto it = meta.items.find(ref.from);
    if (it == meta.items.end() || !it->second.has_info || it->second.type != Tag("av01")) continue;
    ++out->aux_items_checked;
    std::string alpha_aux;
    st = AuxiliaryType(it->second, meta, &alpha_aux);
    if (st != ParseStatus::kOk) return st;
    if (alpha_aux != kAlphaUrnMpegB && alpha_aux != kAlphaUrnHevc) continue;
    CodedImage alpha;
    st = ReadCodedItem(it->second, file, meta, &alpha, &alpha_aux);
    if (st != ParseStatus::kOk) return st;
    out->item_bytes_read += alpha.obu.size();
    out->has_alpha = true;
    out->alpha = std::move(alpha);
    break;
  }

  // Exif and XMP describe the primary through content references.
  bool have_exif = false, have_xmp = false;
  for (const Reference& ref : meta.refs) {
    if (ref.type != Tag("cdsc") || ref.to != meta.primary) continue;
    const auto it = meta.items.find(ref.from);
    if (it == meta.items.end() || !it->second.has_info || it->second.protected_item) continue;
    const Item& item = it->second;
    if (item.type == Tag("Exif") && !have_exif) {
      std::vector<std::uint8_t> bytes;
      st = ReadItemBytes(item, file, meta, &bytes);
      if (st != ParseStatus::kOk) return st;
      // The payload starts with the offset of the TIFF header after these
      // four bytes; the blob handed on starts right after them.
      ByteReader er(bytes.data(), bytes.size());
      const std::uint32_t tiff_offset = er.U32BE();
      if (!er.ok() || tiff_offset > er.left()) return ParseStatus::kBadStructure;
      out->exif.assign(bytes.begin() + 4, bytes.end());
      out->item_bytes_read += bytes.size();
      have_exif = true;
    } else if (item.type == Tag("mime") && item.content_type == "application/rdf+xml" &&
               !have_xmp) {
      st = ReadItemBytes(item, file, meta, &out->xmp);
      if (st != ParseStatus::kOk) return st;
      out->item_bytes_read += out->xmp.size();
      have_xmp = true;
    }
  }
  return ParseStatus::kOk;
}

// ---- tracks -----------------------------------------------------------------

struct Track {
  std::uint32_t id = 0;
  std::uint32_t handler = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint32_t> auxl;  // tracks this one is auxiliary to
  bool has_entry = false;           // an av01 sample entry
  CodedImage coded;
  bool has_sample = false;
  std::uint64_t sample_offset = 0;
  std::uint32_t sample_size = 0;
};

bool ParseSampleEntry(Span stsd, Track* t) {
  ByteReader r(stsd.p, stsd.n);
  ReadFullBox(&r);
  r.U32BE();  // entry_count
  if (!r.ok()) return false;
  std::vector<Box> entries;
  if (!SplitBoxes(Span{r.here(), r.left()}, 7, &entries)) return false;
  for (const Box& e : entries) {
    if (e.type != Tag("av01")) continue;
    // Sample entry (8 bytes) and visual sample entry (70 bytes) before the boxes.
    ByteReader er(e.body.p, e.body.n);
    er.Skip(24);
    const std::uint16_t w = er.U16BE(), h = er.U16BE();
    if (!er.Seek(78)) return false;
    std::vector<Box> kids;
    if (!SplitBoxes(Span{er.here(), er.left()}, 8, &kids)) return false;
    std::string aux;
    bool has_ispe = false;
    for (const Box& k : kids) {
      if (ReadProperty(k, false, &t->coded, &aux, &has_ispe) != ParseStatus::kOk) return false;
    }
    if (t->width == 0 || t->height == 0) {
      t->width = w;
      t->height = h;
    }
    t->has_entry = t->coded.av1c.present;
    return true;
  }
  return true;
}

bool ParseStbl(Span body, Track* t) {
  std::vector<Box> kids;
  if (!SplitBoxes(body, 5, &kids)) return false;
  bool have_size = false, have_chunk = false, have_stsc = false;
  std::uint32_t size = 0;
  std::uint64_t chunk = 0;
  for (const Box& k : kids) {
    ByteReader r(k.body.p, k.body.n);
    if (k.type == Tag("stsd")) {
      if (!ParseSampleEntry(k.body, t)) return false;
    } else if (k.type == Tag("stsz")) {
      ReadFullBox(&r);
      const std::uint32_t fixed = r.U32BE(), count = r.U32BE();
      if (!r.ok() || count == 0) return false;
      size = fixed != 0 ? fixed : r.U32BE();
      if (!r.ok()) return false;
      have_size = true;
    } else if (k.type == Tag("stco") || k.type == Tag("co64")) {
      ReadFullBox(&r);
      const std::uint32_t count = r.U32BE();
      if (!r.ok() || count == 0) return false;
      chunk = k.type == Tag("stco") ? r.U32BE() : ReadSized(&r, 8);
      if (!r.ok()) return false;
      have_chunk = true;
    } else if (k.type == Tag("stsc")) {
      // The first sample sits at the start of the first chunk.
      ReadFullBox(&r);
      const std::uint32_t count = r.U32BE();
      const std::uint32_t first_chunk = r.U32BE(), per_chunk = r.U32BE();
      if (!r.ok() || count == 0 || first_chunk != 1 || per_chunk == 0) return false;
      have_stsc = true;
    }
  }
  if (have_size && have_chunk && have_stsc) {
    t->has_sample = true;
    t->sample_offset = chunk;
    t->sample_size = size;
  }
  return true;
}

bool ParseTrak(Span body, Track* t) {
  std::vector<Box> kids;
  if (!SplitBoxes(body, 2, &kids)) return false;
  for (const Box& k : kids) {
    ByteReader r(k.body.p, k.body.n);
    if (k.type == Tag("tkhd")) {
      const FullBox fb = ReadFullBox(&r);
      if (fb.version == 1) {
        r.Skip(16);
        t->id = r.U32BE();
        r.Skip(12);
      } else {
        r.Skip(8);
        t->id = r.U32BE();
        r.Skip(8);
      }
      r.Skip(8 + 8 + 36);  // reserved, layer and group, volume, matrix
      t->width = r.U32BE() >> 16;
      t->height = r.U32BE() >> 16;
      if (!r.ok()) return false;
    } else if (k.type == Tag("tref")) {
      std::vector<Box> refs;
      if (!SplitBoxes(k.body, 3, &refs)) return false;
      for (const Box& ref : refs) {
        if (ref.type != Tag("auxl")) continue;
        ByteReader rr(ref.body.p, ref.body.n);
        while (rr.left() >= 4 && t->auxl.size() < kMaxReferences) t->auxl.push_back(rr.U32BE());
      }
    } else if (k.type == Tag("mdia")) {
      std::vector<Box> mdia;
      if (!SplitBoxes(k.body, 3, &mdia)) return false;
      for (const Box& m : mdia) {
        if (m.type == Tag("hdlr")) {
          ByteReader hr(m.body.p, m.body.n);
          ReadFullBox(&hr);
          hr.U32BE();
          t->handler = hr.U32BE();
          if (!hr.ok()) return false;
        } else if (m.type == Tag("minf")) {
          std::vector<Box> minf;
          if (!SplitBoxes(m.body, 4, &minf)) return false;
          for (const Box& s : minf) {
            if (s.type == Tag("stbl") && !ParseStbl(s.body, t)) return false;
          }
        }
      }
    }
  }
  return true;
}

ParseStatus TrackImage(Span file, const Track& t, CodedImage* out) {
  if (!t.has_sample) return ParseStatus::kBadStructure;
  if (t.width == 0 || t.height == 0) return ParseStatus::kBadStructure;
  if (!SizeAllowed(t.width, t.height)) return ParseStatus::kTooLarge;
  if (t.sample_offset > file.n || t.sample_size > file.n - t.sample_offset) {
    return ParseStatus::kTruncated;
  }
  *out = t.coded;
  out->width = t.width;
  out->height = t.height;
  const std::uint8_t* p = file.p + static_cast<std::size_t>(t.sample_offset);
  out->obu.assign(p, p + t.sample_size);
  return ParseStatus::kOk;
}

ParseStatus FromTracks(Span file, Span moov, AvifFile* out) {
  std::vector<Box> kids;
  if (!SplitBoxes(moov, 1, &kids)) return ParseStatus::kBadStructure;
  std::vector<Track> tracks;
  for (const Box& k : kids) {
    if (k.type != Tag("trak")) continue;
    Track t;
    if (!ParseTrak(k.body, &t)) return ParseStatus::kBadStructure;
    tracks.push_back(std::move(t));
  }
  const Track* color = nullptr;
  for (const Track& t : tracks) {
    if (t.handler == Tag("pict") && t.has_entry && t.auxl.empty()) {
      color = &t;
      break;
    }
  }
  if (!color) return ParseStatus::kNoAv1Item;
  ParseStatus st = TrackImage(file, *color, &out->color);
  if (st != ParseStatus::kOk) return st;
  for (const Track& t : tracks) {
    if (&t == color || !t.has_entry) continue;
    bool refers = false;
    for (std::uint32_t id : t.auxl) refers = refers || id == color->id;
    if (!refers) continue;
    st = TrackImage(file, t, &out->alpha);
    if (st != ParseStatus::kOk) return st;
    out->has_alpha = true;
    break;
  }
  out->from_tracks = true;
  return ParseStatus::kOk;
}

}  // namespace

ParseStatus ParseAvif(const std::uint8_t* data, std::size_t size, AvifFile* out) {
  *out = AvifFile();
  const Span file{data, size};
  std::vector<Box> top;
  // The brand comes first; a file that is not AVIF at all says so there.
  {
    ByteReader r(data, size);
    r.U32BE();
    if (!r.ok() || r.U32BE() != Tag("ftyp")) return ParseStatus::kInvalidFtyp;
  }
  if (!SplitBoxes(file, 0, &top)) return ParseStatus::kBadStructure;
  if (top.empty() || top[0].type != Tag("ftyp")) return ParseStatus::kInvalidFtyp;
  std::uint32_t major = 0;
  bool avif_brand = false, avis_brand = false;
  {
    ByteReader r(top[0].body.p, top[0].body.n);
    major = r.U32BE();
    r.U32BE();  // minor version
    if (!r.ok()) return ParseStatus::kInvalidFtyp;
    avif_brand = major == Tag("avif");
    avis_brand = major == Tag("avis");
    while (r.left() >= 4) {
      const std::uint32_t b = r.U32BE();
      avif_brand = avif_brand || b == Tag("avif");
      avis_brand = avis_brand || b == Tag("avis");
    }
  }
  if (!avif_brand && !avis_brand) return ParseStatus::kInvalidFtyp;

  MetaInfo meta;
  bool have_meta = false;
  const Box* moov = nullptr;
  for (const Box& b : top) {
    if (b.type == Tag("meta")) {
      if (have_meta) return ParseStatus::kBadStructure;
      have_meta = true;
      const ParseStatus st = ParseMeta(b.body, &meta);
      if (st != ParseStatus::kOk) return st;
    } else if (b.type == Tag("moov")) {
      if (moov) return ParseStatus::kBadStructure;
      moov = &b;
    }
  }
  // A sequence brand picks the tracks, a still brand the primary item;
  // with neither as the major brand the tracks win when there are any.
  const bool tracks_first = moov && (major == Tag("avis") || major != Tag("avif"));
  if (tracks_first) {
    ParseStatus st = FromTracks(file, moov->body, out);
    if (st == ParseStatus::kOk || !have_meta) return st;
    *out = AvifFile();
  }
  if (!have_meta) return ParseStatus::kNoAv1Item;
  const ParseStatus st = FromItems(file, meta, out);
  if (st != ParseStatus::kOk) *out = AvifFile();
  return st;
}

}  // namespace avif_layer
