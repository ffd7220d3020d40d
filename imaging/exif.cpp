// TIFF-structured metadata (EXIF in JPEG APP1, TIFF files): IFDs become
// readers whose items are "{ushort=TAG}" with typed values.
#include <bit>
#include <cstring>
#include <set>

#include "imaging/byte_reader.h"
#include "imaging/imaging.h"

namespace img {
namespace {

// A directory holds at most this many entries; real files stay far below.
constexpr std::uint32_t kMaxEntries = 4096;
// IFD0 -> EXIF -> interoperability is the deepest legitimate chain.
constexpr int kMaxDepth = 4;

constexpr std::uint16_t kTagExif = 34665;
constexpr std::uint16_t kTagGps = 34853;
constexpr std::uint16_t kTagInterop = 40965;

std::uint32_t TypeSize(std::uint16_t type) {
  switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
      return 1;  // BYTE ASCII SBYTE UNDEFINED
    case 3:
    case 8:
      return 2;  // SHORT SSHORT
    case 4:
    case 9:
    case 11:
    case 13:
      return 4;  // LONG SLONG FLOAT IFD
    case 5:
    case 10:
    case 12:
      return 8;  // RATIONAL SRATIONAL DOUBLE
    default:
      return 0;
  }
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
  bool be;
  std::set<std::uint32_t> visited;

  std::uint16_t U16(const std::uint8_t* p) const {
    return be ? ByteReader::Be16(p) : ByteReader::Le16(p);
  }
  std::uint32_t U32(const std::uint8_t* p) const {
    return be ? ByteReader::Be32(p) : ByteReader::Le32(p);
  }

  // One element of `type` at p (which holds at least TypeSize bytes).
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
        *u = static_cast<std::uint64_t>(U32(p)) | (static_cast<std::uint64_t>(U32(p + 4)) << 32);
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
        *i = static_cast<std::int64_t>(static_cast<std::uint64_t>(U32(p)) |
                                       (static_cast<std::uint64_t>(U32(p + 4)) << 32));
        break;
      case 11:
        *d = std::bit_cast<float>(U32(p));
        break;
      case 12: {
        std::uint64_t bits = be ? (static_cast<std::uint64_t>(U32(p)) << 32) | U32(p + 4)
                                : static_cast<std::uint64_t>(U32(p)) |
                                      (static_cast<std::uint64_t>(U32(p + 4)) << 32);
        *d = std::bit_cast<double>(bits);
        break;
      }
      default:
        break;
    }
  }

  PropValue Value(std::uint16_t type, std::uint32_t count, const std::uint8_t* p) const {
    std::uint16_t vt = VtOf(type);
    std::uint32_t sz = TypeSize(type);
    if (type == 2) {  // ASCII: up to the first zero
      const void* nul = std::memchr(p, 0, count);
      std::size_t n =
          nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) : count;
      return PropValue::Lpstr(std::string(reinterpret_cast<const char*>(p), n));
    }
    if (type == 7) return PropValue::Blob(std::string(reinterpret_cast<const char*>(p), count));
    PropValue v;
    if (count == 1) {
      v.vt = vt;
      Element(type, p, &v.u, &v.i, &v.d);
      return v;
    }
    v.vt = static_cast<std::uint16_t>(kVtVector | vt);
    if (type == 1) {
      v.bytes.assign(reinterpret_cast<const char*>(p), count);
      return v;
    }
    for (std::uint32_t k = 0; k < count; ++k) {
      std::uint64_t u = 0;
      std::int64_t i = 0;
      double d = 0;
      Element(type, p + static_cast<std::size_t>(k) * sz, &u, &i, &d);
      if (type == 11 || type == 12)
        v.reals.push_back(d);
      else if (vt == kVtI1 || vt == kVtI2 || vt == kVtI4 || vt == kVtI8)
        v.nums.push_back(static_cast<std::uint64_t>(i));
      else
        v.nums.push_back(u);
    }
    return v;
  }

  // Reads the directory at `offset`; `next` receives the following IFD's offset.
  std::shared_ptr<const MetadataReader> Ifd(std::uint32_t offset, const char* format, int depth,
                                            std::uint32_t* next) {
    if (next) *next = 0;
    if (depth > kMaxDepth || offset < 8 || !visited.insert(offset).second) return nullptr;
    ByteReader r(data, size);
    if (!r.Seek(offset)) return nullptr;
    std::uint16_t count = r.U16(be);
    if (!r.ok() || count > kMaxEntries || !r.Has(static_cast<std::uint64_t>(count) * 12))
      return nullptr;
    std::vector<MetaItem> items;
    items.reserve(count);
    for (std::uint16_t e = 0; e < count; ++e) {
      const std::uint8_t* ent = r.here();
      r.Skip(12);
      std::uint16_t tag = U16(ent);
      std::uint16_t type = U16(ent + 2);
      std::uint32_t n = U32(ent + 4);
      std::uint32_t sz = TypeSize(type);
      if (sz == 0 || n == 0) continue;
      std::uint64_t bytes = static_cast<std::uint64_t>(n) * sz;
      const std::uint8_t* payload = ent + 8;
      if (bytes > 4) {
        std::uint64_t off = U32(ent + 8);
        if (off > size || bytes > size - off) continue;  // lies about its data: skip the entry
        payload = data + off;
      }
      std::string id = "{ushort=" + std::to_string(tag) + "}";
      const char* sub = tag == kTagExif      ? "exif"
                        : tag == kTagGps     ? "gps"
                        : tag == kTagInterop ? "interop"
                                             : nullptr;
      if (sub && (type == 4 || type == 13) && n == 1) {
        if (auto child = Ifd(U32(payload), sub, depth + 1, nullptr)) {
          items.push_back({id, PropValue::Reader(std::move(child))});
          continue;
        }
      }
      items.push_back({id, Value(type, n, payload)});
    }
    if (next && r.Has(4)) *next = r.U32(be);
    return std::make_shared<MetadataReader>(format, std::move(items));
  }
};

bool Header(const std::uint8_t* data, std::size_t size, bool* be, std::uint32_t* ifd0) {
  if (!data || size < 8) return false;
  if (data[0] == 'I' && data[1] == 'I' && data[2] == 42 && data[3] == 0)
    *be = false;
  else if (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && data[3] == 42)
    *be = true;
  else
    return false;
  *ifd0 = *be ? ByteReader::Be32(data + 4) : ByteReader::Le32(data + 4);
  return true;
}

}  // namespace

std::vector<MetaItem> ParseTiffIfds(const std::uint8_t* data, std::size_t size) {
  std::vector<MetaItem> out;
  bool be = false;
  std::uint32_t ifd0 = 0;
  if (!Header(data, size, &be, &ifd0)) return out;
  Walker w{data, size, be, {}};
  std::uint32_t next = 0;
  auto first = w.Ifd(ifd0, "ifd", 0, &next);
  if (!first) return out;
  out.push_back({"{ushort=0}", PropValue::Reader(std::move(first))});
  if (next != 0) {
    if (auto thumb = w.Ifd(next, "thumb", 0, nullptr)) {
      out.push_back({"{ushort=1}", PropValue::Reader(std::move(thumb))});
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
