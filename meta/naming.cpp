// Naming the fields of a reader tree: the tag tables, the path rewrites that
// give the keys, groups and labels, and the text of each value.
#include <algorithm>
#include <charconv>
#include <string>
#include <utility>

#include "meta/meta_internal.h"
#include "platform/platform.h"

namespace {

constexpr std::uint16_t kVtNull = 1;
constexpr std::uint16_t kVtBstr = 8;
constexpr std::uint16_t kVtFiletime = 64;

// Readers this deep are not walked; real files nest five or six levels.
constexpr int kMaxWalkDepth = 13;
// Numeric vectors longer than this are summarised as a count.
constexpr std::size_t kMaxListed = 32;

const wchar_t kDesc[] = L"Description and credits";
const wchar_t kCamera[] = L"Camera and exposure";
const wchar_t kImage[] = L"Image";

bool Contains(std::wstring_view text, std::wstring_view part) {
  return text.find(part) != std::wstring_view::npos;
}

std::wstring_view LastComponent(std::wstring_view path) {
  const std::size_t cut = path.rfind(L'/');
  return cut == std::wstring_view::npos ? path : path.substr(cut + 1);
}

std::wstring WithoutFirst(std::wstring_view path) {
  return path.size() < 2 ? std::wstring(path) : std::wstring(path.substr(1));
}

std::wstring FallbackLabel(std::wstring_view last) {
  std::uint32_t tag = 0;
  if (TagId(last, &tag)) return L"Tag " + Num(tag);
  return Inner(last);
}

const TagRow* FindTag(const TagRow* rows, std::size_t count, std::wstring_view last) {
  std::uint32_t tag = 0;
  if (!TagId(last, &tag)) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    if (rows[i].tag == tag) return &rows[i];
  }
  return nullptr;
}

FieldName FromTable(const TagRow* rows, std::size_t count, std::wstring_view last,
                    const wchar_t* group) {
  if (const TagRow* row = FindTag(rows, count, last)) return {row->group, row->label};
  return {group, FallbackLabel(last)};
}

// Replaces every `from` with `to`, resuming after each inserted text.
void ReplaceAll(std::wstring* text, std::wstring_view from, std::wstring_view to) {
  std::size_t at = 0;
  while ((at = text->find(from, at)) != std::wstring::npos) {
    text->replace(at, from.size(), to);
    at += to.size();
  }
}

// The length of a leading occurrence index ("[1]" in "/[1]app1/..."), 0
// when the first component has none.
std::size_t OccurrenceLength(std::wstring_view path) {
  if (path.size() < 4 || path[0] != L'/' || path[1] != L'[') return 0;
  std::size_t i = 2;
  while (i < path.size() && path[i] >= L'0' && path[i] <= L'9') ++i;
  return i > 2 && i < path.size() && path[i] == L']' ? i : 0;
}

std::wstring RewritePath(std::wstring path) {
  // A second block of a kind is named like the first, behind its index.
  const std::size_t at = OccurrenceLength(path) + 1;
  if (path.compare(at, 15, L"app1/{ushort=0}") == 0) {
    path.replace(at, 15, L"app1/ifd");
  } else if (path.compare(at, 15, L"app1/{ushort=1}") == 0) {
    path.replace(at, 15, L"app1/thumb");
  }
  ReplaceAll(&path, L"/{ushort=34665}", L"/exif");
  ReplaceAll(&path, L"/{ushort=34853}", L"/gps");
  ReplaceAll(&path, L"/{ushort=40965}", L"/interop");
  return path;
}

// Structural tags of an image directory: they describe how the pixels are
// stored, so they are shown but never edited.
constexpr std::uint32_t kTechnicalTags[] = {
    254, 255, 256, 257, 258, 259, 262, 263, 264, 265, 266, 273, 277,  278, 279,
    280, 281, 284, 290, 291, 292, 293, 297, 301, 317, 318, 319, 320,  322, 323,
    324, 325, 330, 332, 333, 334, 336, 337, 338, 339, 340, 341, 342,  347, 512,
    513, 514, 515, 517, 518, 519, 520, 521, 529, 530, 531, 532, 34675};

bool IsTechnicalTag(std::wstring_view path) {
  if (!Contains(path, L"/ifd/")) return false;
  for (const wchar_t* inner : {L"/exif/", L"/gps/", L"/thumb/", L"/xmp/", L"/iptc/", L"/irb/"}) {
    if (Contains(path, inner)) return false;
  }
  std::uint32_t tag = 0;
  if (!TagId(LastComponent(path), &tag)) return false;
  for (std::uint32_t t : kTechnicalTags) {
    if (t == tag) return true;
  }
  // Resolution belongs to the pixels only in a TIFF's own directory.
  return StartsWith(path, L"/ifd/") && (tag == 282 || tag == 283 || tag == 296);
}

std::wstring Decimal(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 6);
  return std::wstring(buf, r.ptr);
}

std::wstring Unsigned(std::uint64_t v) { return std::to_wstring(v); }

std::wstring UnsignedPair(std::uint64_t v) {
  return Unsigned(v & 0xFFFFFFFFu) + L"/" + Unsigned(v >> 32);
}

std::wstring SignedPair(std::uint64_t v) {
  return Num(static_cast<std::int32_t>(v & 0xFFFFFFFFu)) + L"/" +
         Num(static_cast<std::int32_t>(v >> 32));
}

std::wstring Joined(const std::vector<std::uint64_t>& nums, std::uint16_t element) {
  std::wstring out;
  for (std::size_t i = 0; i < nums.size(); ++i) {
    if (i) out += L' ';
    const std::uint64_t n = nums[i];
    switch (element) {
      case img::kVtI2:
        out += Num(static_cast<std::int16_t>(n));
        break;
      case img::kVtI4:
        out += Num(static_cast<std::int32_t>(n));
        break;
      case img::kVtI8:
        out += SignedPair(n);
        break;
      case img::kVtUI8:
        out += UnsignedPair(n);
        break;
      default:
        out += Unsigned(n);
        break;
    }
  }
  return out;
}

// "(" + n + unit + ")", as in "(12 bytes)" or "(40 values)".
std::wstring Counted(const wchar_t* lead, std::size_t n, const wchar_t* unit) {
  return lead + std::to_wstring(n) + unit + L")";
}

bool IsUtf16Tag(std::wstring_view path, const img::PropValue& v) {
  if (v.vt != (img::kVtVector | img::kVtUI1) || Contains(path, L"/exif/")) return false;
  std::uint32_t tag = 0;
  return TagId(LastComponent(path), &tag) && tag >= 40091 && tag <= 40095;
}

std::wstring Utf16LeText(const std::string& bytes) {
  std::string units = bytes.substr(0, bytes.size() / 2 * 2);
  // Trailing zero characters are the terminator the writers add.
  while (units.size() >= 2 && units[units.size() - 1] == 0 && units[units.size() - 2] == 0) {
    units.resize(units.size() - 2);
  }
  std::wstring out;
  for (std::size_t i = 0; i + 1 < units.size(); i += 2) {
    std::uint32_t c = static_cast<std::uint8_t>(units[i]) |
                      (static_cast<std::uint32_t>(static_cast<std::uint8_t>(units[i + 1])) << 8);
    if constexpr (sizeof(wchar_t) == 2) {
      out += static_cast<wchar_t>(c);
    } else {
      // Pair surrogates into one code point; a lone one becomes U+FFFD.
      if (c >= 0xD800 && c <= 0xDBFF && i + 3 < units.size()) {
        const std::uint32_t lo =
            static_cast<std::uint8_t>(units[i + 2]) |
            (static_cast<std::uint32_t>(static_cast<std::uint8_t>(units[i + 3])) << 8);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          out += static_cast<wchar_t>(0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00));
          i += 2;
          continue;
        }
      }
      if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
      out += static_cast<wchar_t>(c);
    }
  }
  return out;
}

}  // namespace

const TagRow kIfdTags[kIfdTagCount] = {
    {270, L"Description", kDesc},
    {315, L"Artist", kDesc},
    {33432, L"Copyright", kDesc},
    {40091, L"Title (Windows)", kDesc},
    {40092, L"Comment (Windows)", kDesc},
    {40093, L"Author (Windows)", kDesc},
    {40094, L"Keywords (Windows)", kDesc},
    {40095, L"Subject (Windows)", kDesc},
    {271, L"Camera make", kCamera},
    {272, L"Camera model", kCamera},
    {305, L"Software", kCamera},
    {306, L"Date modified", kCamera},
    {274, L"Orientation", kImage},
    {282, L"Horizontal resolution", kImage},
    {283, L"Vertical resolution", kImage},
    {296, L"Resolution unit", kImage},
    {256, L"Width", kImage},
    {257, L"Height", kImage},
    {258, L"Bits per sample", kImage},
    {259, L"Compression", kImage},
    {262, L"Photometric interpretation", kImage},
    {277, L"Samples per pixel", kImage},
    {284, L"Planar configuration", kImage},
    {531, L"YCbCr positioning", kImage},
    {316, L"Host computer", kCamera},
    {18246, L"Rating", kDesc},
    {18249, L"Rating (percent)", kDesc},
};

const TagRow kExifTags[kExifTagCount] = {
    {33434, L"Exposure time", kCamera},
    {33437, L"F-number", kCamera},
    {34850, L"Exposure program", kCamera},
    {34855, L"ISO speed", kCamera},
    {36864, L"EXIF version", kCamera},
    {36867, L"Date taken", kCamera},
    {36868, L"Date digitized", kCamera},
    {36880, L"Time zone", kCamera},
    {36881, L"Time zone (taken)", kCamera},
    {36882, L"Time zone (digitized)", kCamera},
    {37121, L"Components configuration", kCamera},
    {37122, L"Compressed bits per pixel", kCamera},
    {37377, L"Shutter speed value", kCamera},
    {37378, L"Aperture value", kCamera},
    {37379, L"Brightness value", kCamera},
    {37380, L"Exposure bias", kCamera},
    {37381, L"Maximum aperture", kCamera},
    {37382, L"Subject distance", kCamera},
    {37383, L"Metering mode", kCamera},
    {37384, L"Light source", kCamera},
    {37385, L"Flash", kCamera},
    {37386, L"Focal length", kCamera},
    {37500, L"Maker note", kCamera},
    {37510, L"User comment", kDesc},
    {37520, L"Sub-second time", kCamera},
    {37521, L"Sub-second time (taken)", kCamera},
    {37522, L"Sub-second time (digitized)", kCamera},
    {40960, L"FlashPix version", kCamera},
    {40961, L"Colour space", kCamera},
    {40962, L"Pixel width", kCamera},
    {40963, L"Pixel height", kCamera},
    {41486, L"Focal plane X resolution", kCamera},
    {41487, L"Focal plane Y resolution", kCamera},
    {41488, L"Focal plane resolution unit", kCamera},
    {41495, L"Sensing method", kCamera},
    {41728, L"File source", kCamera},
    {41729, L"Scene type", kCamera},
    {41985, L"Custom rendered", kCamera},
    {41986, L"Exposure mode", kCamera},
    {41987, L"White balance", kCamera},
    {41988, L"Digital zoom ratio", kCamera},
    {41989, L"Focal length (35 mm)", kCamera},
    {41990, L"Scene capture type", kCamera},
    {41991, L"Gain control", kCamera},
    {41992, L"Contrast", kCamera},
    {41993, L"Saturation", kCamera},
    {41994, L"Sharpness", kCamera},
    {41996, L"Subject distance range", kCamera},
    {42016, L"Image unique ID", kCamera},
    {42032, L"Camera owner", kDesc},
    {42033, L"Body serial number", kCamera},
    {42034, L"Lens specification", kCamera},
    {42035, L"Lens make", kCamera},
    {42036, L"Lens model", kCamera},
    {42037, L"Lens serial number", kCamera},
};

const TagRow kGpsTags[kGpsTagCount] = {
    {0, L"GPS version", L"GPS"},
    {1, L"Latitude (N or S)", L"GPS"},
    {2, L"Latitude", L"GPS"},
    {3, L"Longitude (E or W)", L"GPS"},
    {4, L"Longitude", L"GPS"},
    {5, L"Altitude reference", L"GPS"},
    {6, L"Altitude", L"GPS"},
    {7, L"Time (UTC)", L"GPS"},
    {8, L"Satellites", L"GPS"},
    {9, L"Status", L"GPS"},
    {10, L"Measure mode", L"GPS"},
    {11, L"Precision (DOP)", L"GPS"},
    {12, L"Speed unit", L"GPS"},
    {13, L"Speed", L"GPS"},
    {14, L"Track reference", L"GPS"},
    {15, L"Track", L"GPS"},
    {16, L"Image direction reference", L"GPS"},
    {17, L"Image direction", L"GPS"},
    {18, L"Map datum", L"GPS"},
    {23, L"Destination bearing reference", L"GPS"},
    {24, L"Destination bearing", L"GPS"},
    {27, L"Processing method", L"GPS"},
    {29, L"Date (UTC)", L"GPS"},
    {31, L"Positioning error", L"GPS"},
};

bool TagId(std::wstring_view c, std::uint32_t* tag) {
  if (c.size() <= 3 || c[0] != L'{') return false;
  const std::size_t eq = c.find(L'=');
  if (eq == std::wstring_view::npos || c.substr(1, eq - 1) != L"ushort") return false;
  std::uint32_t n = 0;
  for (std::size_t i = eq + 1; i < c.size() && c[i] >= L'0' && c[i] <= L'9'; ++i) {
    n = n * 10 + static_cast<std::uint32_t>(c[i] - L'0');  // wraps like an unsigned read
  }
  *tag = n;
  return true;
}

std::wstring Inner(std::wstring_view c) {
  if (c.size() > 2 && c.front() == L'{' && c.back() == L'}') {
    const std::size_t eq = c.find(L'=');
    if (eq != std::wstring_view::npos) return std::wstring(c.substr(eq + 1, c.size() - 2 - eq));
  }
  return std::wstring(c);
}

FieldName Describe(std::wstring_view path) {
  const std::wstring_view last = LastComponent(path);
  auto any = [&](std::initializer_list<const wchar_t*> parts) {
    for (const wchar_t* p : parts) {
      if (Contains(path, p)) return true;
    }
    return false;
  };
  auto starts = [&](std::initializer_list<const wchar_t*> parts) {
    for (const wchar_t* p : parts) {
      if (StartsWith(path, p)) return true;
    }
    return false;
  };
  if (starts({L"/app0", L"/app14", L"/gAMA", L"/cHRM", L"/sRGB", L"/iCCP", L"/bKGD", L"/hIST"}) ||
      any({L"/luminance", L"/chrominance", L"/imgdesc", L"/grctlext", L"/logscrdesc", L"/appext",
           L"/interop/"})) {
    return {L"Technical", WithoutFirst(path)};
  }
  if (Contains(path, L"/thumb/")) {
    return {L"Embedded thumbnail",
            last == L"{}" ? std::wstring(L"Image data") : FallbackLabel(last)};
  }
  if (Contains(path, L"/gps/")) return FromTable(kGpsTags, kGpsTagCount, last, L"GPS");
  if (Contains(path, L"/exif/")) return FromTable(kExifTags, kExifTagCount, last, kCamera);
  if (StartsWith(path, L"/xmpextpart/")) return {L"Technical", L"Extended XMP (incomplete)"};
  if (StartsWith(path, L"/xmpext/")) {
    std::wstring label(path.substr(8));
    ReplaceAll(&label, L"/", L" / ");
    return {L"XMP", label};
  }
  if (Contains(path, L"/xmp/")) {
    std::wstring label(path.substr(path.find(L"/xmp/") + 5));
    ReplaceAll(&label, L"/", L" / ");
    return {L"XMP", label};
  }
  if (Contains(path, L"/iptc/")) return {L"IPTC and Photoshop", Inner(last)};
  if (Contains(path, L"/irb/")) return {L"Technical", Inner(last)};
  if (Contains(path, L"unknown/{}")) return {L"Other", L"Unrecognised block"};
  if (any({L"com/TextEntry", L"/commentext/"})) return {L"Comment", L"Comment"};
  if (any({L"/tEXt/", L"/iTXt/", L"/zTXt/"})) return {L"PNG text", Inner(last)};
  if (Contains(path, L"/ifd/")) return FromTable(kIfdTags, kIfdTagCount, last, kImage);
  return {L"Other", WithoutFirst(path)};
}

// Whether the file's EXIF data is big-endian: the first TIFF header in the
// file ("MM\0*" or "II*\0") says. False when there is none.
bool BigEndianExif(const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i + 4 <= bytes.size(); ++i) {
    const std::uint8_t* p = bytes.data() + i;
    if (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42) return true;
    if (p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0) return false;
  }
  return false;
}

// The text of a UserComment: its 8-byte character code, then ASCII, UTF-16
// in the EXIF byte order, or (undefined code) text as it comes. False for
// JIS and for bytes that are not such text.
bool UserCommentText(const std::string& bytes, bool bigEndian, std::wstring* text) {
  if (bytes.size() < 8) return false;
  const std::string code = bytes.substr(0, 8), body = bytes.substr(8);
  auto trimmed = [](std::wstring t) {
    while (!t.empty() && (t.back() == L'\0' || t.back() == L' ')) t.pop_back();
    return t;
  };
  if (code == std::string("ASCII\0\0\0", 8) || code == std::string(8, '\0')) {
    for (char c : body) {
      const auto b = static_cast<std::uint8_t>(c);
      if (b != 0 && b < 0x20 && b != '\t' && b != '\n' && b != '\r') return false;
    }
    *text = trimmed(FromBytes(body.data(), static_cast<std::ptrdiff_t>(body.size())));
    return true;
  }
  if (code == std::string("UNICODE\0", 8)) {
    std::string le;
    for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
      le += bigEndian ? body[i + 1] : body[i];
      le += bigEndian ? body[i] : body[i + 1];
    }
    *text = trimmed(Utf16LeText(le));
    return true;
  }
  return false;
}

// The UNDEFINED tags the EXIF standard fills with text or codes, shown as
// such: versions ("0232"), the component order, the file source and scene
// type by their meaning, and the user comment (the one such tag that is
// edited, as text). False for any other value.
bool UndefinedText(std::wstring_view path, const img::PropValue& v, const MetaDoc& doc,
                   std::wstring* text, bool* editable) {
  if (v.vt != img::kVtBlob && v.vt != (img::kVtVector | img::kVtUI1)) return false;
  std::uint32_t tag = 0;
  if (!TagId(LastComponent(path), &tag)) return false;
  const std::string& b = v.bytes;
  *editable = false;
  const bool exif = Contains(path, L"/exif/") && !Contains(path, L"/interop/");
  const bool interop = Contains(path, L"/interop/");
  if ((exif && (tag == 36864 || tag == 40960)) || (interop && tag == 2)) {
    if (b.size() != 4) return false;
    for (char c : b) {
      if (c < '0' || c > '9') return false;
    }
    *text = std::wstring(b.begin(), b.end());
    return true;
  }
  if (!exif) return false;
  if (tag == 37121) {
    static const wchar_t* const kParts[] = {L"-", L"Y", L"Cb", L"Cr", L"R", L"G", L"B"};
    if (b.empty() || b.size() > 8) return false;
    std::wstring out;
    for (char c : b) {
      const auto k = static_cast<std::uint8_t>(c);
      if (k > 6) return false;
      if (!out.empty()) out += L' ';
      out += kParts[k];
    }
    *text = out;
    return true;
  }
  if ((tag == 41728 || tag == 41729) && b.size() == 1) {
    const auto k = static_cast<std::uint8_t>(b[0]);
    if (tag == 41729) {
      if (k != 1) return false;
      *text = L"Directly photographed";
      return true;
    }
    static const wchar_t* const kSources[] = {nullptr, L"Film scanner", L"Reflection print scanner",
                                              L"Digital still camera"};
    if (k < 1 || k > 3) return false;
    *text = kSources[k];
    return true;
  }
  if (tag == 37510 && UserCommentText(b, BigEndianExif(doc.bytes), text)) {
    *editable = true;
    return true;
  }
  return false;
}

std::wstring ValueText(const img::PropValue& v, bool* editable) {
  *editable = true;
  const std::uint16_t vt = v.vt;
  switch (vt) {
    case img::kVtI1:
    case img::kVtI2:
    case img::kVtI4:
      return Num(v.i);
    case img::kVtUI1:
    case img::kVtUI2:
    case img::kVtUI4:
      return Unsigned(v.u);
    case img::kVtR4:
    case img::kVtR8:
      return Decimal(v.d);
    case img::kVtBool:
      return v.u ? L"true" : L"false";
    case img::kVtLpwstr:
    case kVtBstr:
      return v.text;
    case img::kVtLpstr:
      return FromBytes(v.bytes.c_str(), -1);
    case img::kVtUI8:
      return UnsignedPair(v.u);
    case img::kVtI8:
      return SignedPair(static_cast<std::uint64_t>(v.i));
    case kVtFiletime:
      // The engine gives no times of this kind; shown as text, never edited.
      *editable = false;
      return std::wstring();
    case img::kVtBlob:
      *editable = false;
      return Counted(L"(binary, ", v.bytes.size(), L" bytes");
    default:
      break;
  }
  if (vt & img::kVtVector) {
    const std::uint16_t element = vt & ~img::kVtVector;
    const std::size_t n = v.Count();
    if (element == img::kVtUI1) {
      if (n > 8) {
        *editable = false;
        return Counted(L"(binary, ", n, L" bytes");
      }
      std::wstring out;
      for (std::size_t i = 0; i < n; ++i) {
        if (i) out += L' ';
        out += Unsigned(static_cast<std::uint8_t>(v.bytes[i]));
      }
      return out;
    }
    if (element == img::kVtLpstr || element == img::kVtLpwstr) {
      *editable = false;
      std::wstring out;
      for (std::size_t i = 0; i < v.strs.size(); ++i) {
        if (i) out += L"; ";
        out += element == img::kVtLpstr ? FromBytes(v.strs[i].c_str(), -1)
                                        : platform::Utf8ToWide(v.strs[i]);
      }
      return out;
    }
    if (n == 0) return std::wstring();
    const bool listed = element == img::kVtI2 || element == img::kVtUI2 || element == img::kVtI4 ||
                        element == img::kVtUI4 || element == img::kVtI8 || element == img::kVtUI8;
    if (listed && n <= kMaxListed) return Joined(v.nums, element);
    *editable = false;
    return Counted(L"(", n, L" values");
  }
  *editable = false;
  return L"(not shown)";
}

void AddInfo(MetaDoc* doc, const std::wstring& name, const std::wstring& text) {
  MetaField f;
  f.key = L"file:" + name;
  f.group = L"File";
  f.label = name;
  f.value = text;
  f.loadedValue = text;
  f.loadedLabel = name;
  doc->fields.push_back(std::move(f));
}

void Walk(const img::MetadataReader* reader, const std::wstring& path, MetaDoc* doc,
          const std::wstring& keyPrefix, bool allowEdit, int depth) {
  if (!reader || depth >= kMaxWalkDepth) return;
  // The enumerator gives one name per item, in item order; each name
  // resolves to its own item, so the value is taken from the item directly
  // rather than looked up again (which would cost a scan per item).
  const std::vector<std::string> names = reader->GetEnumerator();
  const std::vector<img::MetaItem>& items = reader->Items();
  for (std::size_t k = 0; k < names.size() && k < items.size(); ++k) {
    const std::string& name = names[k];
    const img::PropValue& value = items[k].value;
    const std::wstring itemPath = RewritePath(path + platform::Utf8ToWide(name));
    if (value.vt == img::kVtUnknown && value.reader) {
      Walk(value.reader.get(), itemPath, doc, keyPrefix, allowEdit, depth + 1);
      continue;
    }
    if (value.vt == img::kVtEmpty || value.vt == kVtNull) continue;

    MetaField f;
    f.key = keyPrefix + itemPath;
    // A second EXIF block or XMP packet is named and grouped like the first,
    // its label telling the two apart. Its fields are never edited, but they
    // can be removed (the writer opens each block by its occurrence), so
    // that removing the GPS or everything leaves none behind in a later
    // block. A second IPTC block belongs to the group that is kept or
    // removed whole.
    const std::size_t occurrenceLength = OccurrenceLength(itemPath);
    std::uint32_t occurrence = 0;
    std::wstring plain = itemPath;
    if (occurrenceLength) {
      const std::wstring_view digits = std::wstring_view(itemPath).substr(2, occurrenceLength - 2);
      for (wchar_t c : digits)
        occurrence = std::min<std::uint32_t>(occurrence * 10 + (c - L'0'), 1u << 20);
      plain.erase(1, occurrenceLength);
    }
    const bool laterBlock =
        occurrence > 0 && (StartsWith(plain, L"/app1/") || StartsWith(plain, L"/xmp/") ||
                           StartsWith(plain, L"/app13/"));
    if (!laterBlock) plain = itemPath;
    FieldName name2 = Describe(plain);
    f.group = std::move(name2.group);
    f.label = std::move(name2.label);
    f.varType = value.vt;
    bool valueEditable = false;
    f.value = ValueText(value, &valueEditable);
    if (IsTechnicalTag(plain)) f.group = L"Technical";
    if (IsUtf16Tag(plain, value)) {
      f.value = Utf16LeText(value.bytes);
      valueEditable = true;
      f.varType = kVtUtf16Bytes;
    }
    std::wstring undefinedText;
    bool textEditable = false;
    if (UndefinedText(plain, value, *doc, &undefinedText, &textEditable)) {
      f.value = undefinedText;
      valueEditable = textEditable;
      // Written back as text: the writer puts the character code in front.
      if (textEditable) f.varType = img::kVtLpwstr;
    }
    if (StartsWith(plain, L"/app13")) {
      f.group = L"IPTC and Photoshop";
      f.label = Inner(LastComponent(plain));
      valueEditable = false;
    }
    // The extension of an XMP packet lives in segments the writer keeps as
    // they are, and goes only with the packet that names it.
    const bool fixedBlock = StartsWith(plain, L"/xmpext/");
    if (fixedBlock) valueEditable = false;
    if (laterBlock) {
      f.label += L" (block " + Num(static_cast<std::int64_t>(occurrence) + 1) + L")";
      valueEditable = false;
    }
    if (Contains(itemPath, L"unknown/{}") && value.vt == img::kVtBlob && value.bytes.size() > 3 &&
        static_cast<std::uint8_t>(value.bytes[0]) == 0xFF) {
      const std::uint8_t marker = static_cast<std::uint8_t>(value.bytes[1]);
      if (marker != 0xE1 && marker != 0xED && marker != 0xFE) {
        f.group = L"Technical";
        const bool icc = value.bytes.size() >= 16 && value.bytes.compare(4, 11, "ICC_PROFILE") == 0;
        f.label = icc ? L"Colour profile" : L"Other block";
        f.value = Counted(L"(", value.bytes.size() - 4, L" bytes");
      }
    }
    const bool fixedGroup = f.group == L"Technical" || f.group == L"Embedded thumbnail";
    f.editable = allowEdit && valueEditable && !fixedGroup;
    f.removable = allowEdit && f.group != L"Technical" && !fixedBlock;
    f.loadedValue = f.value;
    f.loadedLabel = f.label;
    doc->fields.push_back(std::move(f));
  }
}
