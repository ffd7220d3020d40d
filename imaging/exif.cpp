// TIFF-structured metadata (EXIF in JPEG APP1, TIFF files, classic or
// BigTIFF): IFDs become readers whose items are "{ushort=TAG}" with typed
// values, and the main IFD chain can be walked for multi-page files.
#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <set>
#include <string>

#include "imaging/byte_reader.h"
#include "imaging/exif_internal.h"

namespace img {
namespace {

// Tags of a TIFF file's own directory that carry whole metadata packets.

// An unsigned scalar item of a directory (SHORT or LONG), or false.
bool ItemUInt(const std::vector<MetaItem>& items, std::uint16_t tag, std::uint64_t* out) {
  const std::string id = "{ushort=" + std::to_string(tag) + "}";
  for (const MetaItem& item : items) {
    if (item.id != id) continue;
    if (item.value.vt != kVtUI2 && item.value.vt != kVtUI4) return false;
    *out = item.value.u;
    return true;
  }
  return false;
}

std::uint16_t VtOf(std::uint16_t type) {
  switch (type) {
    case 1:
      return kVtUI1;
    case 2:
      return kVtLpstr;
    case 3:
      return kVtUI2;
    case 4:
    case 13:
      return kVtUI4;
    case 5:
    case 16:
    case 18:
      return kVtUI8;
    case 6:
      return kVtI1;
    case 7:
      return kVtBlob;
    case 8:
      return kVtI2;
    case 9:
      return kVtI4;
    case 10:
    case 17:
      return kVtI8;
    case 11:
      return kVtR4;
    case 12:
      return kVtR8;
    default:
      return kVtEmpty;
  }
}

struct Walker {
  const std::uint8_t* data;
  std::size_t size;
  TiffHeader h;
  // The directories taken and what the items may cost: entries may all point
  // at the same bytes, and directories into one another's entries.
  IfdWalkLimits limits;
  // Tags of a file's directory already parsed as nested packets (XMP, IPTC,
  // Photoshop resources): each is parsed once.
  std::set<std::uint16_t> embedded;

  std::uint16_t U16(const std::uint8_t* p) const {
    return h.bigEndian ? ByteReader::Be16(p) : ByteReader::Le16(p);
  }
  std::uint32_t U32(const std::uint8_t* p) const {
    return h.bigEndian ? ByteReader::Be32(p) : ByteReader::Le32(p);
  }
  std::uint64_t U64(const std::uint8_t* p) const {
    return h.bigEndian ? (static_cast<std::uint64_t>(U32(p)) << 32) | U32(p + 4)
                       : static_cast<std::uint64_t>(U32(p)) |
                             (static_cast<std::uint64_t>(U32(p + 4)) << 32);
  }
  // Rationals keep the numerator in the low half whatever the byte order.
  std::uint64_t Pair(const std::uint8_t* p) const {
    return static_cast<std::uint64_t>(U32(p)) | (static_cast<std::uint64_t>(U32(p + 4)) << 32);
  }

  void Element(std::uint16_t type, const std::uint8_t* p, std::uint64_t* u, std::int64_t* i,
               double* d) const {
    switch (type) {
      case 1:
        *u = p[0];
        break;
      case 3:
        *u = U16(p);
        break;
      case 4:
      case 13:
        *u = U32(p);
        break;
      case 5:
        *u = Pair(p);
        break;
      case 16:
      case 18:
        *u = U64(p);
        break;
      case 6:
        *i = static_cast<std::int8_t>(p[0]);
        break;
      case 8:
        *i = static_cast<std::int16_t>(U16(p));
        break;
      case 9:
        *i = static_cast<std::int32_t>(U32(p));
        break;
      case 10:
        *i = static_cast<std::int64_t>(Pair(p));
        break;
      case 17:
        *i = static_cast<std::int64_t>(U64(p));
        break;
      case 11:
        *d = std::bit_cast<float>(U32(p));
        break;
      case 12:
        *d = std::bit_cast<double>(U64(p));
        break;
      default:
        break;
    }
  }

  // BigTIFF's 64-bit integers (LONG8, SLONG8, IFD8) read as 32-bit ones when
  // every value fits: VT_UI8 and VT_I8 mean rationals to every reader, and
  // offsets and counts in files of at most 512 MiB always fit.
  bool Fits32(std::uint16_t type, std::uint64_t count, const std::uint8_t* p) const {
    for (std::uint64_t k = 0; k < count; ++k) {
      const std::uint64_t v = U64(p + k * 8);
      if (type == 17 ? static_cast<std::int64_t>(v) != static_cast<std::int32_t>(v)
                     : v > 0xFFFFFFFFu) {
        return false;
      }
    }
    return true;
  }

  PropValue Value(std::uint16_t type, std::uint64_t count, const std::uint8_t* p) const {
    if ((type == 16 || type == 17 || type == 18) && Fits32(type, count, p)) {
      PropValue v = Value8(type, count, p);
      v.vt = static_cast<std::uint16_t>((v.vt & kVtVector) | (type == 17 ? kVtI4 : kVtUI4));
      return v;
    }
    return Value8(type, count, p);
  }

  PropValue Value8(std::uint16_t type, std::uint64_t count, const std::uint8_t* p) const {
    const std::uint16_t vt = VtOf(type);
    const std::uint32_t sz = TiffTypeSize(type);
    const std::size_t n = static_cast<std::size_t>(count);
    if (type == 2) {  // ASCII: up to the first zero
      const void* nul = std::memchr(p, 0, n);
      std::size_t len =
          nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) : n;
      return PropValue::Lpstr(std::string(reinterpret_cast<const char*>(p), len));
    }
    if (type == 7) return PropValue::Blob(std::string(reinterpret_cast<const char*>(p), n));
    PropValue v;
    if (n == 1) {
      v.vt = vt;
      Element(type, p, &v.u, &v.i, &v.d);
      return v;
    }
    v.vt = static_cast<std::uint16_t>(kVtVector | vt);
    if (type == 1) {
      v.bytes.assign(reinterpret_cast<const char*>(p), n);
      return v;
    }
    if (type == 11 || type == 12) {
      v.reals.reserve(n);
    } else {
      v.nums.reserve(n);
    }
    for (std::size_t k = 0; k < n; ++k) {
      std::uint64_t u = 0;
      std::int64_t i = 0;
      double d = 0;
      Element(type, p + k * sz, &u, &i, &d);
      if (type == 11 || type == 12)
        v.reals.push_back(d);
      else if (vt == kVtI1 || vt == kVtI2 || vt == kVtI4 || vt == kVtI8)
        v.nums.push_back(static_cast<std::uint64_t>(i));
      else
        v.nums.push_back(u);
    }
    return v;
  }

  std::size_t CountBytes() const { return h.big ? 8 : 2; }
  std::size_t EntryBytes() const { return h.big ? 20 : 12; }
  std::size_t InlineBytes() const { return h.big ? 8 : 4; }

  // Where the directory at `offset` keeps its entries, and how many: false
  // when the directory does not fit in the bytes.
  bool Locate(std::uint64_t offset, std::uint64_t* count, std::size_t* entries) const {
    ByteReader r(data, size);
    if (offset < (h.big ? 16u : 8u) || !r.Seek(offset)) return false;
    std::uint64_t n = 0;
    if (h.big) {
      if (!r.Has(8)) return false;
      n = U64(r.here());
      r.Skip(8);
    } else {
      n = r.U16(h.bigEndian);
    }
    if (!r.ok() || n > kMaxIfdEntries || !r.Has(n * EntryBytes())) return false;
    *count = n;
    *entries = r.pos();
    return true;
  }

  // The offset of the directory following the one at `offset` (0 for none or
  // when it cannot be read).
  std::uint64_t Next(std::uint64_t offset) const {
    std::uint64_t n = 0;
    std::size_t at = 0;
    if (!Locate(offset, &n, &at)) return 0;
    std::size_t end = at + static_cast<std::size_t>(n) * EntryBytes();
    if (size - end < InlineBytes()) return 0;
    return h.big ? U64(data + end) : U32(data + end);
  }

  // A TIFF file's own directory also carries XMP, IPTC and Photoshop
  // resources as tags; they become nested readers named for their kind.
  // Null when the tag is not one of them or its bytes do not parse.
  static MetaItem Embedded(std::uint16_t tag, const std::uint8_t* p, std::size_t n) {
    switch (tag) {
      case kTagXmp:
        return {"xmp", PropValue::Reader(ParseXmpPacket(p, n))};
      case kTagIptc:
        return {"iptc", PropValue::Reader(ParseIptc(p, n))};
      case kTagPhotoshop:
        return {"irb", PropValue::Reader(ParsePhotoshopResources(p, n))};
      default:
        return {};
    }
  }

  std::shared_ptr<const MetadataReader> Ifd(std::uint64_t offset, const char* format, int depth,
                                            bool fileDirectory = false) {
    std::vector<MetaItem> items;
    if (!Items(offset, depth, fileDirectory, &items)) return nullptr;
    return std::make_shared<MetadataReader>(format, std::move(items));
  }

  bool Items(std::uint64_t offset, int depth, bool fileDirectory, std::vector<MetaItem>* out) {
    std::uint64_t count = 0;
    std::size_t at = 0;
    if (depth > kMaxIfdDepth || !Locate(offset, &count, &at) ||
        !limits.TakeDirectory(offset, at + count * EntryBytes())) {
      return false;
    }
    std::vector<MetaItem>& items = *out;
    items.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t e = 0; e < count; ++e) {
      const std::uint8_t* ent = data + at + static_cast<std::size_t>(e) * EntryBytes();
      const std::uint16_t tag = U16(ent);
      const std::uint16_t type = U16(ent + 2);
      const std::uint64_t n = h.big ? U64(ent + 4) : U32(ent + 4);
      const std::uint32_t sz = TiffTypeSize(type);
      // A count of 0 is an empty value (an empty description), listed.
      if (sz == 0 || n > size) continue;
      const std::uint64_t bytes = n * sz;
      const std::uint8_t* payload = ent + (h.big ? 12 : 8);
      if (bytes > InlineBytes()) {
        const std::uint64_t off = h.big ? U64(payload) : U32(payload);
        if (off > size || bytes > size - off) continue;  // lies about its data: skip the entry
        payload = data + off;
      }
      std::string id = "{ushort=" + std::to_string(tag) + "}";
      const char* sub = tag == kTagExif      ? "exif"
                        : tag == kTagGps     ? "gps"
                        : tag == kTagInterop ? "interop"
                                             : nullptr;
      // Pointers come as LONG or IFD, from some writers as SLONG.
      if (sub && (type == 4 || type == 9 || type == 13 || type == 16 || type == 18) && n == 1) {
        const std::uint64_t childOff = sz == 8 ? U64(payload) : U32(payload);
        if (auto child = Ifd(childOff, sub, depth + 1)) {
          items.push_back({std::move(id), PropValue::Reader(std::move(child))});
          continue;
        }
      }
      if (!limits.TakeValue(type, n)) continue;
      if (fileDirectory && embedded.insert(tag).second) {
        // Whatever the tag is typed (BYTE, UNDEFINED, often LONG), its
        // payload is read as the bytes it occupies.
        MetaItem nested = Embedded(tag, payload, static_cast<std::size_t>(bytes));
        if (nested.value.reader) {
          items.push_back(std::move(nested));
          continue;
        }
      }
      items.push_back({std::move(id), Value(type, n, payload)});
    }
    return true;
  }
};

}  // namespace

bool IfdWalkLimits::Take(std::uint64_t cost) {
  if (items_ >= kMaxIfdItems || cost > budget_) return false;
  budget_ -= cost;
  ++items_;
  return true;
}

bool IfdWalkLimits::TakeDirectory(std::uint64_t begin, std::uint64_t end) {
  if (end <= begin) end = begin + 1;
  // The taken tables are disjoint: only the first one starting at or after
  // `begin` and the one before it can reach into [begin, end).
  auto after = dirs_.lower_bound(begin);
  if (after != dirs_.end() && after->first < end) return false;
  if (after != dirs_.begin() && std::prev(after)->second > begin) return false;
  if (!Take(kIfdItemBytes)) return false;
  dirs_.emplace_hint(after, begin, end);
  return true;
}

bool IfdWalkLimits::TakeValue(std::uint16_t type, std::uint64_t count) {
  // BYTE, ASCII and UNDEFINED values are kept as their bytes; every other
  // type as 8 bytes a value.
  const std::uint64_t each = (type == 1 || type == 2 || type == 7) ? 1 : 8;
  if (count > (UINT64_MAX - kIfdItemBytes) / each) return false;
  return Take(kIfdItemBytes + count * each);
}

std::uint32_t TiffTypeSize(std::uint16_t type) {
  switch (type) {
    case 1:  // BYTE
    case 2:  // ASCII
    case 6:  // SBYTE
    case 7:  // UNDEFINED
      return 1;
    case 3:  // SHORT
    case 8:  // SSHORT
      return 2;
    case 4:   // LONG
    case 9:   // SLONG
    case 11:  // FLOAT
    case 13:  // IFD
      return 4;
    case 5:   // RATIONAL
    case 10:  // SRATIONAL
    case 12:  // DOUBLE
    case 16:  // LONG8
    case 17:  // SLONG8
    case 18:  // IFD8
      return 8;
    default:
      return 0;
  }
}

bool ReadTiffHeader(const std::uint8_t* data, std::size_t size, TiffHeader* out) {
  if (!data || size < 8 || !out) return false;
  TiffHeader h;
  if (data[0] == 'I' && data[1] == 'I') {
    h.bigEndian = false;
  } else if (data[0] == 'M' && data[1] == 'M') {
    h.bigEndian = true;
  } else {
    return false;
  }
  const std::uint16_t magic = h.bigEndian ? ByteReader::Be16(data + 2) : ByteReader::Le16(data + 2);
  if (magic == 42) {
    h.ifd0 = h.bigEndian ? ByteReader::Be32(data + 4) : ByteReader::Le32(data + 4);
  } else if (magic == 43) {
    // BigTIFF: offset size 8, a zero, then the 64-bit IFD0 offset.
    if (size < 16) return false;
    const std::uint16_t offBytes =
        h.bigEndian ? ByteReader::Be16(data + 4) : ByteReader::Le16(data + 4);
    const std::uint16_t zero =
        h.bigEndian ? ByteReader::Be16(data + 6) : ByteReader::Le16(data + 6);
    if (offBytes != 8 || zero != 0) return false;
    h.big = true;
    Walker w{data, size, h, IfdWalkLimits(), {}};
    h.ifd0 = w.U64(data + 8);
  } else {
    return false;
  }
  *out = h;
  return true;
}

std::vector<std::uint64_t> TiffIfdChain(const std::uint8_t* data, std::size_t size,
                                        std::size_t maxCount) {
  std::vector<std::uint64_t> out;
  TiffHeader h;
  if (!ReadTiffHeader(data, size, &h)) return out;
  Walker w{data, size, h, IfdWalkLimits(size), {}};
  std::uint64_t off = h.ifd0;
  std::set<std::uint64_t> seen;
  while (off != 0 && out.size() < maxCount && seen.insert(off).second) {
    std::uint64_t n = 0;
    std::size_t at = 0;
    if (!w.Locate(off, &n, &at)) break;
    out.push_back(off);
    off = w.Next(off);
  }
  return out;
}

std::shared_ptr<const MetadataReader> ParseIfdAt(const std::uint8_t* data, std::size_t size,
                                                 std::uint64_t offset, bool fileDirectory) {
  TiffHeader h;
  if (!ReadTiffHeader(data, size, &h)) return nullptr;
  Walker w{data, size, h, IfdWalkLimits(size), {}};
  return w.Ifd(offset, "ifd", 0, fileDirectory);
}

std::vector<MetaItem> ParseTiffIfds(const std::uint8_t* data, std::size_t size) {
  std::vector<MetaItem> out;
  TiffHeader h;
  if (!ReadTiffHeader(data, size, &h)) return out;
  Walker w{data, size, h, IfdWalkLimits(size), {}};
  auto first = w.Ifd(h.ifd0, "ifd", 0);
  if (!first) return out;
  out.push_back({"{ushort=0}", PropValue::Reader(std::move(first))});
  if (const std::uint64_t next = w.Next(h.ifd0)) {
    std::vector<MetaItem> items;
    if (w.Items(next, 0, false, &items)) {
      // The thumbnail itself: the JPEG stream that tags 513 and 514 address
      // inside the TIFF bytes.
      std::uint64_t off = 0, len = 0;
      if (ItemUInt(items, kTagThumbOffset, &off) && ItemUInt(items, kTagThumbLength, &len) &&
          len > 0) {
        if (off <= size && len <= size - off) {
          items.push_back(
              {"{}", PropValue::Blob(std::string(reinterpret_cast<const char*>(data + off),
                                                 static_cast<std::size_t>(len)))});
        } else {
          // Said rather than dropped: the thumbnail the directory names is
          // not in the EXIF data.
          items.push_back({"{}", PropValue::Lpstr("(outside the EXIF data)")});
        }
      }
      out.push_back({"{ushort=1}", PropValue::Reader(std::make_shared<MetadataReader>(
                                       "thumb", std::move(items)))});
    }
  }
  return out;
}

std::shared_ptr<const MetadataReader> ParseIfd0(const std::uint8_t* data, std::size_t size) {
  std::vector<MetaItem> items = ParseTiffIfds(data, size);
  if (items.empty()) return nullptr;
  return items.front().value.reader;
}

}  // namespace img
