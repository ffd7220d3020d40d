// Editing an EXIF block in place. The block is a small TIFF structure whose
// values are found through offsets from its header; maker notes often count
// their own inner offsets from that header too, so nothing the user did not
// touch may move. Edits are laid over the stored bytes: a value that still
// fits where it was is written there, anything bigger (a longer value, a new
// tag, a directory that gained entries) goes after the old data, and only the
// entries and pointers that lead to it change. Data that nothing refers to
// any more (a removed value, a dropped thumbnail, a moved directory's old
// table) is zeroed, and cut off where it ends the block, so that removed
// information is really gone. Only when that layout does not fit is the block
// rebuilt compactly, with a moved maker note recorded in the offset-schema
// tag as the platform records it.
#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "imaging/byte_reader.h"
#include "imaging/exif_internal.h"
#include "imaging/metadata_write_internal.h"
#include "platform/platform.h"

namespace img {
namespace {

constexpr std::uint16_t kStripOffsets = 273;
constexpr std::uint16_t kStripByteCounts = 279;
constexpr std::uint16_t kTagMakerNote = 37500;
constexpr std::uint16_t kTagUserComment = 37510;
constexpr std::uint16_t kTagOffsetSchema = 0xEA1D;

// Tags whose values are offsets into the block (or the block's structure
// itself): writing a value there would point into nowhere.
constexpr std::uint16_t kStructuralTags[] = {
    kStripOffsets,   kStripByteCounts, 324,     325,         330,           kTagThumbOffset,
    kTagThumbLength, kTagExif,         kTagGps, kTagInterop, kTagMakerNote, kTagOffsetSchema};

bool IsStructural(std::uint16_t tag) {
  return std::find(std::begin(kStructuralTags), std::end(kStructuralTags), tag) !=
         std::end(kStructuralTags);
}

// Tags the standard stores as UNDEFINED (or BYTE) although their values
// arrive as text or numbers.
std::uint16_t StandardType(std::uint16_t tag, std::uint16_t vt) {
  switch (tag) {
    case 36864:  // ExifVersion
    case 37121:  // ComponentsConfiguration
    case 37510:  // UserComment
    case 40960:  // FlashpixVersion
    case 41728:  // FileSource
    case 41729:  // SceneType
      return 7;
    default:
      break;
  }
  const bool vector = (vt & kVtVector) != 0;
  switch (vt & ~kVtVector) {
    case kVtLpstr:
    case kVtLpwstr:
      return vector ? 0 : 2;
    case kVtUI1:
      return 1;
    case kVtI1:
      return 6;
    case kVtUI2:
      return 3;
    case kVtI2:
      return 8;
    case kVtUI4:
      return 4;
    case kVtI4:
      return 9;
    case kVtUI8:
      return 5;
    case kVtI8:
      return 10;
    case kVtR4:
      return 11;
    case kVtR8:
      return 12;
    case kVtBlob:
      return 7;
    default:
      return 0;
  }
}

struct Range {
  std::uint64_t begin = 0, end = 0;
};

struct Entry {
  std::uint16_t tag = 0, type = 0;
  std::uint32_t count = 0;
  std::uint8_t field[4] = {};
  bool listed = false;       // the reader lists it (or a directory behind it)
  std::uint32_t offset = 0;  // the stored offset field of an out-of-line value
  // The stored value's extent from `offset`: 0 for inline values, new entries
  // and offsets that point outside the block.
  std::uint64_t storedBytes = 0;
  int child = -1;  // the directory this entry points at
  bool replaced = false;
  std::vector<std::uint8_t> data;  // the new value bytes when replaced
  // Layout decisions of one serialisation.
  std::uint32_t place = 0;
  bool inPlace = false;

  std::uint64_t Bytes() const { return std::uint64_t{count} * TiffTypeSize(type); }
  bool OutOfLine() const { return Bytes() > 4; }
};

struct Dir {
  std::uint16_t pointerTag = 0;  // 0 for IFD0 and IFD1
  bool exists = false;
  std::uint32_t offset = 0;
  std::uint32_t storedCount = 0;
  std::uint32_t next = 0;
  std::vector<Entry> entries;
  bool removed = false;
  bool touched = false;  // entries added, removed or replaced
  std::uint32_t place = 0;
  bool inPlace = false;

  std::uint64_t TableBytes(std::size_t n) const { return 2 + 12 * std::uint64_t{n} + 4; }
};

class Writer {
 public:
  explicit Writer(bool be) : be_(be) {}
  void U16(std::uint8_t* p, std::uint16_t v) const {
    if (be_) {
      p[0] = static_cast<std::uint8_t>(v >> 8);
      p[1] = static_cast<std::uint8_t>(v);
    } else {
      p[0] = static_cast<std::uint8_t>(v);
      p[1] = static_cast<std::uint8_t>(v >> 8);
    }
  }
  void U32(std::uint8_t* p, std::uint32_t v) const {
    if (be_) {
      for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
    } else {
      for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
  }
  void Put16(std::vector<std::uint8_t>* out, std::uint16_t v) const {
    std::uint8_t b[2];
    U16(b, v);
    out->insert(out->end(), b, b + 2);
  }
  void Put32(std::vector<std::uint8_t>* out, std::uint32_t v) const {
    std::uint8_t b[4];
    U32(b, v);
    out->insert(out->end(), b, b + 4);
  }
  void Put64(std::vector<std::uint8_t>* out, std::uint64_t v) const {
    std::uint8_t b[8];
    if (be_) {
      for (int k = 0; k < 8; ++k) b[k] = static_cast<std::uint8_t>(v >> (56 - 8 * k));
    } else {
      for (int k = 0; k < 8; ++k) b[k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    out->insert(out->end(), b, b + 8);
  }

 private:
  bool be_;
};

// The value bytes of a typed value stored as TIFF type `type`. False when
// the value cannot be stored that way.
bool EncodeValue(const PropValue& v, std::uint16_t type, std::uint16_t tag, bool be,
                 std::vector<std::uint8_t>* data, std::uint32_t* count) {
  const Writer w(be);
  data->clear();
  const std::uint16_t elem = v.vt & ~kVtVector;
  const bool vector = (v.vt & kVtVector) != 0;
  auto text = [&]() -> std::string {
    return v.vt == kVtLpwstr ? platform::WideToUtf8(v.text) : v.bytes;
  };
  switch (type) {
    case 2: {  // ASCII, with its terminating zero
      if (v.vt != kVtLpstr && v.vt != kVtLpwstr) return false;
      std::string s = text();
      if (s.find('\0') != std::string::npos) return false;
      data->assign(s.begin(), s.end());
      data->push_back(0);
      break;
    }
    case 1:
    case 6:
    case 7: {
      if (v.vt == kVtBlob || v.vt == (kVtVector | kVtUI1) || v.vt == (kVtVector | kVtI1)) {
        data->assign(v.bytes.begin(), v.bytes.end());
        if (v.vt == (kVtVector | kVtI1)) {
          data->clear();
          for (std::uint64_t n : v.nums) data->push_back(static_cast<std::uint8_t>(n));
        }
      } else if (v.vt == kVtUI1) {
        data->push_back(static_cast<std::uint8_t>(v.u));
      } else if (v.vt == kVtI1) {
        data->push_back(static_cast<std::uint8_t>(v.i));
      } else if ((v.vt == kVtLpstr || v.vt == kVtLpwstr) && type == 7) {
        // Text for an UNDEFINED tag: the user comment carries its character
        // code in front; any other such tag takes the bytes as they are.
        if (tag == kTagUserComment) {
          const std::string s = text();
          const bool ascii =
              std::all_of(s.begin(), s.end(), [](char c) { return (c & 0x80) == 0; });
          if (ascii) {
            static const char kAscii[8] = {'A', 'S', 'C', 'I', 'I', 0, 0, 0};
            data->assign(kAscii, kAscii + 8);
            data->insert(data->end(), s.begin(), s.end());
          } else {
            static const char kUnicode[8] = {'U', 'N', 'I', 'C', 'O', 'D', 'E', 0};
            data->assign(kUnicode, kUnicode + 8);
            const std::wstring wide = platform::Utf8ToWide(s);
            for (wchar_t c : wide) {
              const std::uint32_t cp = static_cast<std::uint32_t>(c);
              auto unit = [&](std::uint16_t u) { w.Put16(data, u); };
              if (cp >= 0x10000) {
                unit(static_cast<std::uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
                unit(static_cast<std::uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
              } else {
                unit(static_cast<std::uint16_t>(cp));
              }
            }
          }
        } else {
          const std::string s = text();
          data->assign(s.begin(), s.end());
        }
      } else {
        return false;
      }
      break;
    }
    case 3:
    case 8:
    case 4:
    case 9: {
      const bool shortType = type == 3 || type == 8;
      const bool signedType = type == 8 || type == 9;
      std::vector<std::int64_t> values;
      const bool isSignedVt = elem == kVtI1 || elem == kVtI2 || elem == kVtI4;
      if (elem != kVtUI1 && elem != kVtUI2 && elem != kVtUI4 && !isSignedVt) return false;
      if (vector) {
        if (elem == kVtUI1) {
          for (char c : v.bytes) values.push_back(static_cast<std::uint8_t>(c));
        } else {
          for (std::uint64_t n : v.nums) {
            values.push_back(isSignedVt ? static_cast<std::int64_t>(n)
                                        : static_cast<std::int64_t>(n & 0xFFFFFFFFu));
          }
        }
      } else {
        values.push_back(isSignedVt ? v.i : static_cast<std::int64_t>(v.u));
      }
      const std::int64_t lo = signedType ? (shortType ? -32768 : INT32_MIN) : 0;
      const std::int64_t hi = signedType ? (shortType ? 32767 : INT32_MAX)
                                         : (shortType ? 65535 : std::int64_t{UINT32_MAX});
      for (std::int64_t x : values) {
        if (x < lo || x > hi) return false;
        if (shortType) {
          w.Put16(data, static_cast<std::uint16_t>(x));
        } else {
          w.Put32(data, static_cast<std::uint32_t>(x));
        }
      }
      break;
    }
    case 5:
    case 10: {
      if (elem != (type == 5 ? kVtUI8 : kVtI8)) return false;
      std::vector<std::uint64_t> pairs;
      if (vector) {
        pairs = v.nums;
      } else {
        pairs.push_back(type == 5 ? v.u : static_cast<std::uint64_t>(v.i));
      }
      for (std::uint64_t p : pairs) {
        w.Put32(data, static_cast<std::uint32_t>(p));
        w.Put32(data, static_cast<std::uint32_t>(p >> 32));
      }
      break;
    }
    case 11:
    case 12: {
      if (elem != kVtR4 && elem != kVtR8) return false;
      std::vector<double> reals = vector ? v.reals : std::vector<double>{v.d};
      for (double d : reals) {
        if (type == 11) {
          float f = static_cast<float>(d);
          std::uint32_t bits;
          std::memcpy(&bits, &f, 4);
          w.Put32(data, bits);
        } else {
          std::uint64_t bits;
          std::memcpy(&bits, &d, 8);
          w.Put64(data, bits);
        }
      }
      break;
    }
    default:
      return false;
  }
  const std::uint32_t size = TiffTypeSize(type);
  if (data->empty() || data->size() % size != 0) return false;
  *count = static_cast<std::uint32_t>(data->size() / size);
  return true;
}

// Counts, per byte of the block, how many kept structures cover it.
class Coverage {
 public:
  explicit Coverage(std::size_t size) : diff_(size + 1, 0) {}
  void Add(std::uint64_t begin, std::uint64_t end) {
    const std::uint64_t n = diff_.size() - 1;
    begin = std::min(begin, n);
    end = std::min(end, n);
    if (begin >= end) return;
    ++diff_[begin];
    --diff_[end];
  }
  // Turns the differences into counts; Add must not be called afterwards.
  void Finish() {
    std::int32_t run = 0;
    counts_.resize(diff_.size() - 1);
    for (std::size_t i = 0; i + 1 < diff_.size(); ++i) {
      run += diff_[i];
      counts_[i] = run;
    }
  }
  std::int32_t At(std::size_t i) const { return i < counts_.size() ? counts_[i] : 0; }
  std::int32_t Max(std::uint64_t begin, std::uint64_t end) const {
    std::int32_t m = 0;
    for (std::uint64_t i = begin; i < end && i < counts_.size(); ++i) {
      m = std::max(m, counts_[static_cast<std::size_t>(i)]);
    }
    return m;
  }

 private:
  std::vector<std::int32_t> diff_;
  std::vector<std::int32_t> counts_;
};

}  // namespace

struct ExifEditor::Impl {
  std::vector<std::uint8_t> orig;
  bool be = false;
  bool changed = false;
  std::vector<Dir> dirs;  // dirs[0] is IFD0
  int ifd1 = -1;
  bool ifd1Parsed = false;
  // The thumbnail IFD1 addresses, as stored: one JPEG stream (tags 513 and
  // 514) or the strips of an uncompressed one (273 and 279), and the tag
  // whose offsets find its parts.
  std::vector<Range> thumb;
  std::uint16_t thumbOffsetsTag = 0;
  // Everything the parse found the block to reference; what is no longer
  // referenced after the edits is zeroed.
  std::vector<Range> referenced;

  std::uint16_t U16(const std::uint8_t* p) const {
    return be ? ByteReader::Be16(p) : ByteReader::Le16(p);
  }
  std::uint32_t U32(const std::uint8_t* p) const {
    return be ? ByteReader::Be32(p) : ByteReader::Le32(p);
  }

  // --- parsing, mirroring the reader ----------------------------------------

  int ParseDir(std::uint64_t offset, int depth, std::uint16_t pointerTag, IfdWalkLimits* st) {
    const std::size_t size = orig.size();
    if (depth > kMaxIfdDepth) return -1;
    if (offset < 8 || offset > size || size - offset < 2) return -1;
    const std::uint64_t n = U16(orig.data() + offset);
    if (n > kMaxIfdEntries || (size - offset - 2) < n * 12) return -1;
    if (!st->TakeDirectory(offset, offset + 2 + n * 12)) return -1;
    Dir d;
    d.pointerTag = pointerTag;
    d.exists = true;
    d.offset = static_cast<std::uint32_t>(offset);
    d.storedCount = static_cast<std::uint32_t>(n);
    const std::uint64_t end = offset + 2 + n * 12;
    d.next = size - end >= 4 ? U32(orig.data() + end) : 0;
    referenced.push_back({offset, std::min<std::uint64_t>(end + 4, size)});
    const int index = static_cast<int>(dirs.size());
    dirs.push_back(std::move(d));
    for (std::uint64_t k = 0; k < n; ++k) {
      const std::uint8_t* p = orig.data() + offset + 2 + k * 12;
      Entry e;
      e.tag = U16(p);
      e.type = U16(p + 2);
      e.count = U32(p + 4);
      std::memcpy(e.field, p + 8, 4);
      const std::uint32_t sz = TiffTypeSize(e.type);
      const std::uint64_t bytes = e.Bytes();
      bool inside = sz != 0 && e.count <= size;
      if (bytes > 4) e.offset = U32(e.field);
      if (inside && bytes > 4) {
        inside = e.offset <= size && bytes <= size - e.offset;
        if (inside) e.storedBytes = bytes;
      }
      if (inside) {
        if (IsSubDirTag(e.tag) && (e.type == 4 || e.type == 9 || e.type == 13) && e.count == 1) {
          const int child = ParseDir(U32(e.field), depth + 1, e.tag, st);
          if (child >= 0) {
            e.child = child;
            e.listed = true;
          }
        }
        if (e.child < 0 && st->TakeValue(e.type, e.count)) e.listed = true;
        if (bytes > 4) referenced.push_back({e.offset, e.offset + bytes});
      }
      dirs[static_cast<std::size_t>(index)].entries.push_back(std::move(e));
    }
    return index;
  }

  bool Parse(const std::uint8_t* tiff, std::size_t size) {
    dirs.clear();
    referenced.clear();
    ifd1 = -1;
    ifd1Parsed = false;
    thumb.clear();
    thumbOffsetsTag = 0;
    changed = false;
    if (size == 0) {
      // A new block: little-endian, IFD0 right after the header.
      be = false;
      orig = {'I', 'I', 0x2A, 0x00, 8, 0, 0, 0};
      Dir d;
      dirs.push_back(d);
      return true;
    }
    TiffHeader h;
    if (!ReadTiffHeader(tiff, size, &h) || h.big) return false;
    orig.assign(tiff, tiff + size);
    be = h.bigEndian;
    IfdWalkLimits st(size);
    if (ParseDir(h.ifd0, 0, 0, &st) != 0) return false;
    referenced.push_back({0, 8});
    if (const std::uint32_t next = dirs[0].next) {
      ifd1 = ParseDir(next, 0, 0, &st);
      ifd1Parsed = ifd1 >= 0;
      if (ifd1Parsed) FindThumbnail();
    }
    return true;
  }

  // The SHORT or LONG values of an entry as stored; empty for any other type.
  std::vector<std::uint64_t> Numbers(const Entry& e) const {
    std::vector<std::uint64_t> out;
    if ((e.type != 3 && e.type != 4) || (e.Bytes() > 4 && !e.storedBytes)) return out;
    const std::uint8_t* p = e.Bytes() > 4 ? orig.data() + e.offset : e.field;
    for (std::uint32_t k = 0; k < e.count; ++k) {
      out.push_back(e.type == 3 ? U16(p + 2 * k) : U32(p + 4 * k));
    }
    return out;
  }

  void FindThumbnail() {
    const Dir& d = dirs[static_cast<std::size_t>(ifd1)];
    const std::size_t size = orig.size();
    for (const auto& [offsetsTag, lengthsTag] : {std::pair{kTagThumbOffset, kTagThumbLength},
                                                 std::pair{kStripOffsets, kStripByteCounts}}) {
      const int o = FindEntry(d, offsetsTag, 0), l = FindEntry(d, lengthsTag, 0);
      if (o < 0 || l < 0) continue;
      const std::vector<std::uint64_t> offs = Numbers(d.entries[static_cast<std::size_t>(o)]);
      const std::vector<std::uint64_t> lens = Numbers(d.entries[static_cast<std::size_t>(l)]);
      if (offs.empty() || offs.size() != lens.size()) continue;
      std::vector<Range> parts;
      for (std::size_t k = 0; k < offs.size(); ++k) {
        if (lens[k] == 0 || offs[k] > size || lens[k] > size - offs[k]) {
          parts.clear();
          break;
        }
        parts.push_back({offs[k], offs[k] + lens[k]});
      }
      if (parts.empty()) continue;
      thumb = std::move(parts);
      thumbOffsetsTag = offsetsTag;
      referenced.insert(referenced.end(), thumb.begin(), thumb.end());
      return;
    }
  }

  bool KeepsThumbnail() const {
    return ifd1 >= 0 && !dirs[static_cast<std::size_t>(ifd1)].removed && !thumb.empty();
  }

  // --- paths ----------------------------------------------------------------

  // The k-th listed entry with this tag, or -1.
  static int FindEntry(const Dir& d, std::uint16_t tag, std::size_t k) {
    for (std::size_t i = 0; i < d.entries.size(); ++i) {
      const Entry& e = d.entries[i];
      if (e.tag != tag || !e.listed) continue;
      if (k-- == 0) return static_cast<int>(i);
    }
    return -1;
  }

  // Creates an empty sub-directory of `parent` behind `tag`; -1 where the
  // standard does not put one.
  int CreateDir(int parent, std::uint16_t tag) {
    const bool allowed =
        (parent == 0 && (tag == kTagExif || tag == kTagGps)) ||
        (tag == kTagInterop && dirs[static_cast<std::size_t>(parent)].pointerTag == kTagExif);
    if (!allowed) return -1;
    Dir d;
    d.pointerTag = tag;
    const int index = static_cast<int>(dirs.size());
    dirs.push_back(d);
    Entry e;
    e.tag = tag;
    e.type = 4;
    e.count = 1;
    e.listed = true;
    e.child = index;
    Insert(&dirs[static_cast<std::size_t>(parent)], std::move(e));
    return index;
  }

  static void Insert(Dir* d, Entry e) {
    auto at = std::find_if(d->entries.begin(), d->entries.end(),
                           [&](const Entry& x) { return x.tag > e.tag; });
    d->entries.insert(at, std::move(e));
    d->touched = true;
  }

  struct Target {
    int dir = -1;
    int entry = -1;         // -1 when the path names the directory itself
    std::uint16_t tag = 0;  // the tag the last component names
    bool newEntry = false;  // the tag is not there yet
  };

  // Resolves a path; with `create`, missing directories are made and a
  // missing last tag is reported as newEntry.
  HResult Resolve(std::string_view path, bool create, Target* t) {
    std::vector<std::string_view> parts;
    if (!SplitQueryPath(path, &parts)) return kInvalidArg;
    std::size_t k = 0;
    std::string_view name;
    if (!SplitOccurrence(parts[0], &k, &name)) return kInvalidArg;
    const std::string first = CanonicalComponent(name);
    int dir = -1;
    if (first == "{ushort=0}" && k == 0) {
      dir = 0;
    } else if (first == "{ushort=1}" && k == 0) {
      dir = ifd1;
    }
    if (dir < 0 || dirs[static_cast<std::size_t>(dir)].removed) return kErrPropertyNotFound;
    for (std::size_t i = 1; i < parts.size(); ++i) {
      if (!SplitOccurrence(parts[i], &k, &name)) return kInvalidArg;
      std::uint16_t tag = 0;
      if (!ComponentTag(CanonicalComponent(name), &tag)) return kErrPropertyNotFound;
      const Dir& d = dirs[static_cast<std::size_t>(dir)];
      const int e = FindEntry(d, tag, k);
      const bool last = i + 1 == parts.size();
      if (e >= 0 && d.entries[static_cast<std::size_t>(e)].child >= 0) {
        const int child = d.entries[static_cast<std::size_t>(e)].child;
        if (dirs[static_cast<std::size_t>(child)].removed) return kErrPropertyNotFound;
        if (last) {
          t->dir = child;
          t->entry = -1;
          t->tag = tag;
          return kOk;
        }
        dir = child;
        continue;
      }
      if (last) {
        t->dir = dir;
        t->entry = e;
        t->tag = tag;
        t->newEntry = e < 0;
        if (e < 0 && (!create || k != 0)) return kErrPropertyNotFound;
        return kOk;
      }
      // A directory on the way that is not there yet.
      if (!create || e >= 0 || k != 0 || !IsSubDirTag(tag)) return kErrPropertyNotFound;
      dir = CreateDir(dir, tag);
      if (dir < 0) return kErrPropertyNotFound;
    }
    t->dir = dir;
    t->entry = -1;
    return kOk;
  }

  // --- edits ----------------------------------------------------------------

  std::vector<std::uint8_t> StoredBytes(const Entry& e) const {
    const std::uint64_t n = e.Bytes();
    if (n <= 4) return std::vector<std::uint8_t>(e.field, e.field + n);
    return std::vector<std::uint8_t>(orig.begin() + e.offset, orig.begin() + e.offset + n);
  }

  HResult Set(std::string_view path, const PropValue& value) {
    Target t;
    // Directories are made only once the value is known to be storable, so
    // a refused value leaves nothing behind.
    const std::size_t dirCount = dirs.size();
    const std::vector<Dir> saved = dirs;
    HResult hr = Resolve(path, true, &t);
    auto undo = [&]() { dirs = saved; };
    if (Failed(hr)) {
      if (dirs.size() != dirCount) undo();
      return hr;
    }
    if (t.entry < 0 && !t.newEntry) {
      if (dirs.size() != dirCount) undo();
      return kInvalidArg;  // a directory takes no value
    }
    if (IsStructural(t.tag)) {
      if (dirs.size() != dirCount) undo();
      return kInvalidArg;
    }
    Dir& d = dirs[static_cast<std::size_t>(t.dir)];
    std::vector<std::uint8_t> data;
    std::uint32_t count = 0;
    if (t.newEntry) {
      const std::uint16_t type = StandardType(t.tag, value.vt);
      if (type == 0 || !EncodeValue(value, type, t.tag, be, &data, &count)) {
        undo();
        return kInvalidArg;
      }
      // An entry the reader does not list (no values, an unknown type, data
      // outside the block) takes the value rather than gaining a duplicate.
      auto unlisted = std::find_if(d.entries.begin(), d.entries.end(), [&](const Entry& x) {
        return x.tag == t.tag && !x.listed && x.child < 0;
      });
      if (unlisted != d.entries.end()) {
        unlisted->type = type;
        unlisted->count = count;
        unlisted->listed = true;
        unlisted->replaced = true;
        unlisted->data = std::move(data);
        d.touched = true;
        changed = true;
        return kOk;
      }
      Entry e;
      e.tag = t.tag;
      e.type = type;
      e.count = count;
      e.listed = true;
      e.replaced = true;
      e.data = std::move(data);
      Insert(&d, std::move(e));
      changed = true;
      return kOk;
    }
    Entry& e = d.entries[static_cast<std::size_t>(t.entry)];
    if (!EncodeValue(value, e.type, e.tag, be, &data, &count)) return kInvalidArg;
    const std::vector<std::uint8_t> current = e.replaced ? e.data : StoredBytes(e);
    if (data == current && count == e.count) return kOk;  // the same value: nothing moves
    e.count = count;
    e.data = std::move(data);
    e.replaced = true;
    d.touched = true;
    changed = true;
    return kOk;
  }

  void RemoveDir(int index) {
    Dir& d = dirs[static_cast<std::size_t>(index)];
    d.removed = true;
    for (const Entry& e : d.entries) {
      if (e.child >= 0) RemoveDir(e.child);
    }
  }

  HResult Remove(std::string_view path) {
    Target t;
    HResult hr = Resolve(path, false, &t);
    if (Failed(hr)) return hr;
    if (t.entry < 0) {
      // A whole directory: its pointer goes with it.
      RemoveDir(t.dir);
      changed = true;
      return kOk;
    }
    Dir& d = dirs[static_cast<std::size_t>(t.dir)];
    d.entries.erase(d.entries.begin() + t.entry);
    d.touched = true;
    changed = true;
    return kOk;
  }

  // --- the final structure ----------------------------------------------------

  // Drops emptied sub-directories (and their pointers) and removed
  // directories' pointers, deepest first.
  void Settle() {
    bool again = true;
    while (again) {
      again = false;
      for (std::size_t i = 0; i < dirs.size(); ++i) {
        Dir& d = dirs[i];
        if (d.removed) continue;
        for (std::size_t k = 0; k < d.entries.size();) {
          const int child = d.entries[k].child;
          if (child >= 0) {
            Dir& c = dirs[static_cast<std::size_t>(child)];
            if (!c.removed && c.entries.empty() && (c.touched || !c.exists)) RemoveDir(child);
            if (c.removed) {
              d.entries.erase(d.entries.begin() + static_cast<std::ptrdiff_t>(k));
              d.touched = true;
              again = true;
              continue;
            }
          }
          ++k;
        }
      }
    }
  }

  bool IsEmpty() const {
    if (dirs.empty() || dirs[0].removed) return true;
    // IFD0 without entries, and no thumbnail directory: nothing is left.
    std::size_t left = 0;
    for (const Entry& e : dirs[0].entries) {
      if (e.child < 0 || !dirs[static_cast<std::size_t>(e.child)].removed) ++left;
    }
    const bool thumbLeft = ifd1 >= 0 && !dirs[static_cast<std::size_t>(ifd1)].removed;
    return left == 0 && !thumbLeft;
  }

  // The directories in the order a compact block lays them out: IFD0, its
  // sub-directories depth first, then IFD1 and its own.
  void Order(int index, std::vector<int>* out) const {
    const Dir& d = dirs[static_cast<std::size_t>(index)];
    if (d.removed) return;
    out->push_back(index);
    for (const Entry& e : d.entries) {
      if (e.child >= 0) Order(e.child, out);
    }
  }

  std::uint32_t NextOf(const Dir& d, int index) const {
    if (index != 0 || !ifd1Parsed) return d.next;
    const Dir& t = dirs[static_cast<std::size_t>(ifd1)];
    return t.removed ? 0 : t.place;
  }

  void WriteTable(const Dir& d, int index, std::uint8_t* p) const {
    const Writer w(be);
    w.U16(p, static_cast<std::uint16_t>(d.entries.size()));
    p += 2;
    for (const Entry& e : d.entries) {
      w.U16(p, e.tag);
      w.U16(p + 2, e.type);
      w.U32(p + 4, e.count);
      if (e.child >= 0) {
        w.U32(p + 8, dirs[static_cast<std::size_t>(e.child)].place);
      } else if (e.replaced && e.data.size() <= 4) {
        std::memset(p + 8, 0, 4);
        std::memcpy(p + 8, e.data.data(), e.data.size());
      } else if (e.OutOfLine()) {
        w.U32(p + 8, e.place);
      } else {
        std::memcpy(p + 8, e.field, 4);
      }
      p += 12;
    }
    w.U32(p, NextOf(d, index));
  }

  // Edits laid over the stored bytes. Fails only when the result would be
  // larger than maxBytes.
  bool Overlay(std::size_t maxBytes, std::vector<std::uint8_t>* out) {
    const std::size_t size = orig.size();
    const bool keepThumb = KeepsThumbnail();
    // What the kept structures occupy as stored: a replaced value may be
    // rewritten where it was only when nothing else shares its bytes.
    Coverage shared(size);
    shared.Add(0, 8);
    if (keepThumb) {
      for (const Range& r : thumb) shared.Add(r.begin, r.end);
    }
    for (const Dir& d : dirs) {
      if (d.removed) continue;
      if (d.exists) shared.Add(d.offset, d.offset + d.TableBytes(d.storedCount));
      for (const Entry& e : d.entries) {
        if (e.storedBytes) shared.Add(e.offset, e.offset + e.storedBytes);
      }
    }
    shared.Finish();

    // Decide what stays; `live` is what the result refers to in place.
    Coverage live(size);
    live.Add(0, 8);
    if (keepThumb) {
      for (const Range& r : thumb) live.Add(r.begin, r.end);
    }
    for (Dir& d : dirs) {
      if (d.removed) continue;
      d.inPlace = d.exists && d.entries.size() <= d.storedCount;
      if (d.inPlace) {
        d.place = d.offset;
        live.Add(d.offset, d.offset + d.TableBytes(d.entries.size()));
      }
      for (Entry& e : d.entries) {
        e.inPlace = false;
        if (e.child >= 0) continue;
        if (!e.replaced) {
          e.place = e.offset;  // unread offsets are kept as they are
          if (e.storedBytes) live.Add(e.offset, e.offset + e.storedBytes);
          continue;
        }
        if (e.data.size() <= 4) continue;
        if (e.storedBytes >= e.data.size() && shared.Max(e.offset, e.offset + e.storedBytes) <= 1) {
          e.place = e.offset;
          e.inPlace = true;
          live.Add(e.offset, e.offset + e.data.size());
        }
      }
    }
    live.Finish();

    // Zero what nothing refers to any more, then cut it off the end.
    Coverage referencedBytes(size);
    for (const Range& r : referenced) referencedBytes.Add(r.begin, r.end);
    referencedBytes.Finish();
    std::vector<std::uint8_t> bytes = orig;
    std::vector<bool> dead(size, false);
    for (std::size_t i = 0; i < size; ++i) {
      if (referencedBytes.At(i) > 0 && live.At(i) == 0) {
        dead[i] = true;
        bytes[i] = 0;
      }
    }
    std::size_t end = size;
    while (end > 8) {
      if (dead[end - 1]) {
        --end;
        continue;
      }
      // Up to three bytes of zero padding between dead runs go too.
      std::size_t pad = 0;
      while (pad < 3 && end - pad > 8 && bytes[end - 1 - pad] == 0 && !dead[end - 1 - pad] &&
             live.At(end - 1 - pad) == 0) {
        ++pad;
      }
      if (pad == 0 || end - pad <= 8 || !dead[end - 1 - pad]) break;
      end -= pad;
    }
    bytes.resize(end);
    // A directory that ended the block without room for its next-directory
    // pointer gets that room before anything is appended.
    for (const Dir& d : dirs) {
      if (d.removed || !d.inPlace) continue;
      const std::uint64_t tableEnd = d.place + d.TableBytes(d.entries.size());
      if (tableEnd > bytes.size()) bytes.resize(static_cast<std::size_t>(tableEnd), 0);
    }

    // Everything that moves goes after the kept bytes, word aligned.
    std::vector<int> order;
    Order(0, &order);
    if (ifd1 >= 0) Order(ifd1, &order);
    for (int index : order) {
      Dir& d = dirs[static_cast<std::size_t>(index)];
      if (!d.inPlace) d.place = Allocate(&bytes, d.TableBytes(d.entries.size()));
      for (Entry& e : d.entries) {
        if (e.child >= 0 || !e.replaced || e.data.size() <= 4 || e.inPlace) continue;
        e.place = Allocate(&bytes, e.data.size());
      }
      if (bytes.size() > maxBytes) return false;
    }
    if (bytes.size() > maxBytes) return false;
    Fill(order, &bytes);
    *out = std::move(bytes);
    return true;
  }

  static std::uint32_t Allocate(std::vector<std::uint8_t>* bytes, std::uint64_t n) {
    if (bytes->size() % 2) bytes->push_back(0);
    const std::uint32_t at = static_cast<std::uint32_t>(bytes->size());
    bytes->resize(bytes->size() + static_cast<std::size_t>(n), 0);
    return at;
  }

  // Writes the directory tables and the replaced values at their places.
  void Fill(const std::vector<int>& order, std::vector<std::uint8_t>* bytes) const {
    for (int index : order) {
      const Dir& d = dirs[static_cast<std::size_t>(index)];
      WriteTable(d, index, bytes->data() + d.place);
      for (const Entry& e : d.entries) {
        if (e.child < 0 && e.replaced && e.data.size() > 4) {
          std::memcpy(bytes->data() + e.place, e.data.data(), e.data.size());
        }
      }
    }
    Writer(be).U32(bytes->data() + 4, dirs[0].place);
  }

  // The block laid out anew: header, each directory followed by its values,
  // the thumbnail last. A moved maker note is recorded in the offset-schema
  // tag of its directory, as the platform records such a move.
  bool Compact(std::size_t maxBytes, std::vector<std::uint8_t>* out) {
    const Writer w(be);
    std::vector<int> order;
    Order(0, &order);
    if (ifd1 >= 0) Order(ifd1, &order);
    for (int index : order) {
      Dir& d = dirs[static_cast<std::size_t>(index)];
      const int note = FindEntry(d, kTagMakerNote, 0);
      if (note >= 0 && FindEntry(d, kTagOffsetSchema, 0) < 0) {
        Entry e;
        e.tag = kTagOffsetSchema;
        e.type = 9;
        e.count = 1;
        e.listed = true;
        e.replaced = true;
        e.data.assign(4, 0);
        Insert(&d, std::move(e));
      }
    }
    std::vector<std::uint8_t> bytes(8, 0);
    bytes[0] = bytes[1] = be ? 'M' : 'I';
    w.U16(bytes.data() + 2, 42);
    for (int index : order) {
      Dir& d = dirs[static_cast<std::size_t>(index)];
      d.place = Allocate(&bytes, d.TableBytes(d.entries.size()));
      for (Entry& e : d.entries) {
        if (e.child >= 0) continue;
        if (e.replaced) {
          if (e.data.size() > 4) e.place = Allocate(&bytes, e.data.size());
        } else if (e.storedBytes) {
          e.place = Allocate(&bytes, e.storedBytes);
        } else {
          e.place = e.offset;  // an offset that pointed nowhere stays as it was
        }
      }
      if (bytes.size() > maxBytes) return false;
    }
    const bool keepThumb = KeepsThumbnail();
    std::vector<std::uint32_t> thumbAt;
    if (keepThumb) {
      for (const Range& r : thumb) thumbAt.push_back(Allocate(&bytes, r.end - r.begin));
    }
    if (bytes.size() > maxBytes) return false;
    for (int index : order) {
      Dir& d = dirs[static_cast<std::size_t>(index)];
      const int note = FindEntry(d, kTagMakerNote, 0);
      const int schema = FindEntry(d, kTagOffsetSchema, 0);
      if (note >= 0 && schema >= 0) {
        const Entry& n = d.entries[static_cast<std::size_t>(note)];
        Entry& s = d.entries[static_cast<std::size_t>(schema)];
        // A maker note moved before carries that move already.
        std::int64_t before = 0;
        if (!s.replaced && s.type == 9 && s.count == 1) {
          before = static_cast<std::int32_t>(U32(s.field));
        }
        const std::int64_t moved = n.replaced || !n.storedBytes
                                       ? before
                                       : before + (std::int64_t{n.place} - std::int64_t{n.offset});
        s.type = 9;
        s.count = 1;
        s.replaced = true;
        s.data.assign(4, 0);
        w.U32(s.data.data(), static_cast<std::uint32_t>(static_cast<std::int32_t>(moved)));
      }
      if (!keepThumb || index != ifd1) continue;
      // The thumbnail's offsets, in their own type, now lead to its copy.
      const int o = FindEntry(d, thumbOffsetsTag, 0);
      if (o < 0) return false;
      Entry& e = d.entries[static_cast<std::size_t>(o)];
      if (e.count != thumbAt.size() || (e.type != 3 && e.type != 4)) return false;
      std::vector<std::uint8_t> offsets;
      for (std::uint32_t at : thumbAt) {
        if (e.type == 4) {
          w.Put32(&offsets, at);
        } else if (at <= 0xFFFF) {
          w.Put16(&offsets, static_cast<std::uint16_t>(at));
        } else {
          return false;
        }
      }
      // The same size as before, so the place made for the entry fits it.
      e.data = std::move(offsets);
      e.replaced = true;
    }
    for (int index : order) {
      for (const Entry& e : dirs[static_cast<std::size_t>(index)].entries) {
        if (e.child < 0 && !e.replaced && e.storedBytes) {
          std::memcpy(bytes.data() + e.place, orig.data() + e.offset,
                      static_cast<std::size_t>(e.storedBytes));
        }
      }
    }
    for (std::size_t k = 0; k < thumbAt.size(); ++k) {
      std::memcpy(bytes.data() + thumbAt[k], orig.data() + thumb[k].begin,
                  static_cast<std::size_t>(thumb[k].end - thumb[k].begin));
    }
    Fill(order, &bytes);
    *out = std::move(bytes);
    return true;
  }
};

ExifEditor::ExifEditor() : impl_(std::make_unique<Impl>()) {}
ExifEditor::~ExifEditor() = default;
ExifEditor::ExifEditor(ExifEditor&&) noexcept = default;
ExifEditor& ExifEditor::operator=(ExifEditor&&) noexcept = default;

bool ExifEditor::Open(const std::uint8_t* tiff, std::size_t size) {
  if (!tiff && size) return false;
  try {
    return impl_->Parse(tiff, size);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

HResult ExifEditor::Set(std::string_view path, const PropValue& value) {
  if (impl_->dirs.empty()) return kErrPropertyNotFound;
  try {
    return impl_->Set(path, value);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

HResult ExifEditor::Remove(std::string_view path) {
  if (impl_->dirs.empty()) return kErrPropertyNotFound;
  return impl_->Remove(path);
}

bool ExifEditor::Changed() const { return impl_->changed; }

bool ExifEditor::Empty() const {
  Impl settled = *impl_;
  settled.Settle();
  return settled.IsEmpty();
}

HResult ExifEditor::Serialize(std::size_t maxBytes, std::vector<std::uint8_t>* out) const {
  if (!out) return kPointer;
  try {
    if (!impl_->changed) {
      if (impl_->orig.size() > maxBytes) return kFail;
      *out = impl_->orig;
      return kOk;
    }
    // Layout works on a copy: serialising twice gives the same bytes.
    Impl work = *impl_;
    work.Settle();
    if (work.IsEmpty()) return kFail;
    if (work.Overlay(maxBytes, out)) return kOk;
    Impl compact = *impl_;
    compact.Settle();
    if (compact.Compact(maxBytes, out)) return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kFail;
}

}  // namespace img
