// Loading a file's metadata: the file facts, then the container recognised by
// its first bytes and listed the way it is best understood.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include <webp/decode.h>
#ifdef NORVANE_HAVE_AVIF
#include <avif/avif.h>
#endif

#include "meta/inflate.h"
#include "meta/meta_internal.h"
#include "meta/parsers.h"
#include "platform/owned.h"
#include "platform/platform.h"

namespace {

const wchar_t kUnreadable[] = L"The file could not be read.";
const wchar_t kXmpKeyword[] = L"XML:com.adobe.xmp";

enum class Kind { Jpeg, Gif, Tiff, Png, Webp, Avif, Other };

std::uint32_t Be32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

bool At(const std::vector<std::uint8_t>& b, std::size_t off, const char* text) {
  const std::size_t n = std::strlen(text);
  return b.size() >= off + n && std::memcmp(b.data() + off, text, n) == 0;
}

Kind Recognise(const std::vector<std::uint8_t>& b) {
  const std::size_t n = b.size();
  if (n <= 2) return Kind::Other;
  if (b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return Kind::Jpeg;
  if (n <= 5) return Kind::Other;
  if (At(b, 0, "GIF8")) return Kind::Gif;
  if (n <= 7) return Kind::Other;
  // Classic TIFF (42) and BigTIFF (43).
  if ((b[0] == 'I' && b[1] == 'I' && (b[2] == 0x2A || b[2] == 0x2B) && b[3] == 0) ||
      (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && (b[3] == 0x2A || b[3] == 0x2B))) {
    return Kind::Tiff;
  }
  if (std::memcmp(b.data(), meta::kPngSig, 8) == 0) return Kind::Png;
  if (n <= 11) return Kind::Other;
  if (At(b, 0, "RIFF") && At(b, 8, "WEBP")) return Kind::Webp;
  if (n <= 15) return Kind::Other;
  if (At(b, 4, "ftyp")) {
    std::uint64_t limit = std::min<std::uint64_t>(n, Be32(b.data()));
    if (limit <= 11) return Kind::Other;
    limit = std::min<std::uint64_t>(limit, 64);
    // The major brand at 8, then the compatible brands from 16 on (the minor
    // version at 12 is no brand).
    for (std::size_t at = 8; at + 4 <= limit; at = at == 8 ? 16 : at + 4) {
      if (At(b, at, "avif") || At(b, at, "avis")) return Kind::Avif;
    }
  }
  return Kind::Other;
}

MetaField ChunkField(std::size_t i) {
  MetaField f;
  f.key = L"png:" + Num(static_cast<std::int64_t>(i));
  f.blockIndex = static_cast<std::int32_t>(i);
  return f;
}

void Finish(MetaField* f) {
  f->loadedValue = f->value;
  f->loadedLabel = f->label;
}

std::wstring Latin1(const std::uint8_t* p, std::size_t n) {
  std::wstring out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out += static_cast<wchar_t>(p[i]);
  return out;
}

std::size_t ZeroAt(const std::uint8_t* p, std::size_t from, std::size_t n) {
  for (std::size_t i = from; i < n; ++i) {
    if (p[i] == 0) return i;
  }
  return n;
}

// All the text chunks of one file inflate to at most this much together:
// each may reach the 16 MiB cap, but deflate's 1000:1 would otherwise let a
// few megabytes of chunks ask for gigabytes.
constexpr std::size_t kMaxInflatedPerFile = 4 * meta_internal::kMaxInflated;

// Inflates with the per-chunk cap and what is left of the file's budget.
bool InflateText(const std::uint8_t* p, std::size_t n, std::vector<std::uint8_t>* out,
                 std::size_t* budget) {
  const bool ok = meta_internal::Inflate(p, n, out, std::min(meta_internal::kMaxInflated, *budget));
  *budget -= std::min(*budget, out->size());
  return ok;
}

// Keyword and text of a tEXt, zTXt or iTXt chunk; false when it cannot be
// read.
bool ReadTextChunk(const char* type, const std::uint8_t* p, std::size_t n, std::wstring* keyword,
                   std::wstring* text, std::size_t* budget) {
  if (n == 0 || p[0] == 0) return false;
  const std::size_t z = ZeroAt(p, 0, n);
  *keyword = Latin1(p, z);
  if (std::strcmp(type, "tEXt") == 0) {
    *text = z < n ? Latin1(p + z + 1, n - z - 1) : std::wstring();
    return true;
  }
  if (z == n) return false;
  std::vector<std::uint8_t> inflated;
  if (std::strcmp(type, "zTXt") == 0) {
    // The compression method byte follows the zero; it is not examined.
    if (z + 1 >= n) return false;
    if (!InflateText(p + z + 2, n - z - 2, &inflated, budget)) return false;
    *text = Latin1(inflated.data(), inflated.size());
    return true;
  }
  // iTXt: flag, method, language tag, translated keyword, text.
  if (n - z - 1 < 2) return false;
  const bool compressed = p[z + 1] != 0;
  const std::size_t lang = ZeroAt(p, z + 3, n);
  if (lang == n) return false;
  const std::size_t translated = ZeroAt(p, lang + 1, n);
  if (translated == n) return false;
  const std::uint8_t* body = p + translated + 1;
  const std::size_t bodyLen = n - translated - 1;
  if (!compressed) {
    *text = FromBytes(body, static_cast<std::ptrdiff_t>(bodyLen));
    return true;
  }
  if (!InflateText(body, bodyLen, &inflated, budget)) return false;
  *text = FromBytes(inflated.data(), static_cast<std::ptrdiff_t>(inflated.size()));
  return true;
}

// A raw profile's text: a line with its type, a line with its length in
// bytes, then the bytes as hexadecimal digits over any number of lines.
bool RawProfile(const std::wstring& text, std::string* type, std::string* bytes) {
  std::size_t at = text.find_first_not_of(L"\r\n");
  if (at == std::wstring::npos) return false;
  const std::size_t typeEnd = text.find(L'\n', at);
  if (typeEnd == std::wstring::npos) return false;
  type->clear();
  for (std::size_t i = at; i < typeEnd; ++i) {
    const wchar_t c = text[i];
    if (c == L'\r' || c == L' ') continue;
    if (c > 0x7E || type->size() > 16) return false;
    type->push_back(static_cast<char>(c >= L'A' && c <= L'Z' ? c + 32 : c));
  }
  const std::size_t lengthEnd = text.find(L'\n', typeEnd + 1);
  if (lengthEnd == std::wstring::npos) return false;
  std::int64_t length = 0;
  if (!ParseInt(text.substr(typeEnd + 1, lengthEnd - typeEnd - 1), 1,
                static_cast<std::int64_t>(text.size() / 2), &length)) {
    return false;
  }
  bytes->clear();
  bytes->reserve(static_cast<std::size_t>(length));
  int high = -1;
  for (std::size_t i = lengthEnd + 1;
       i < text.size() && bytes->size() < static_cast<std::size_t>(length); ++i) {
    const wchar_t c = text[i];
    int v = -1;
    if (c >= L'0' && c <= L'9') v = c - L'0';
    if (c >= L'a' && c <= L'f') v = c - L'a' + 10;
    if (c >= L'A' && c <= L'F') v = c - L'A' + 10;
    if (v < 0) {
      if (c == L'\n' || c == L'\r' || c == L' ') continue;
      return false;
    }
    if (high < 0) {
      high = v;
    } else {
      bytes->push_back(static_cast<char>(high << 4 | v));
      high = -1;
    }
  }
  return bytes->size() == static_cast<std::size_t>(length);
}

// A raw IPTC or Photoshop profile, listed like a JPEG's APP13 block: either
// Photoshop resources ("8BIM" records) or a bare IPTC record.
void RawPhotoshop(MetaDoc* doc, const std::string& blob) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(blob.data());
  if (blob.compare(0, 4, "8BIM") == 0) {
    if (auto irb = img::ParsePhotoshopResources(p, blob.size())) {
      Walk(irb.get(), L"/app13/irb", doc, L"raw:", false, 0);
    }
  } else if (auto iptc = img::ParseIptc(p, blob.size())) {
    Walk(iptc.get(), L"/app13/irb/8bimiptc/iptc", doc, L"raw:", false, 0);
  }
}

void ParsePngFields(MetaDoc* doc) {
  const std::vector<std::uint8_t>& b = doc->bytes;
  std::vector<meta::Chunk> chunks;
  if (b.size() < 20 || !meta::ParsePng(b, &chunks)) {
    doc->note = L"This PNG file is damaged; its fields can't be listed.";
    return;
  }
  doc->editable = true;
  std::size_t budget = kMaxInflatedPerFile;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const meta::Chunk& c = chunks[i];
    const std::uint8_t* p = b.data() + c.dataOffset;
    const std::size_t n = static_cast<std::size_t>(c.length);
    const std::string type = c.type;
    if (type == "IHDR" && n > 12) {
      AddInfo(doc, L"Dimensions",
              std::to_wstring(Be32(p)) + L" \u00D7 " + std::to_wstring(Be32(p + 4)) + L" pixels");
    } else if (meta::IsTextChunk(c.type)) {
      MetaField f = ChunkField(i);
      f.group = L"PNG text";
      f.varType = img::kVtLpwstr;
      f.removable = true;
      std::wstring keyword, text;
      if (!ReadTextChunk(c.type, p, n, &keyword, &text, &budget)) {
        f.label = L"(unreadable text chunk)";
        f.value = L"(" + std::to_wstring(n) + L" bytes)";
      } else if (keyword == kXmpKeyword) {
        FieldsFromBlobs(doc, std::string(), ToUtf8(text), L"xmp:", false);
        f.group = L"XMP";
        f.label = L"XMP packet";
        f.value = L"(" + std::to_wstring(text.size()) + L" characters)";
      } else {
        f.label = keyword;
        f.value = text;
        f.editable = true;
        f.renamable = true;
        // Other programs keep EXIF and XMP as hex dumps in text: listed like
        // the blocks they carry, view only, beside the text itself.
        std::string profile, blob;
        if (StartsWith(keyword, L"Raw profile type ") && RawProfile(text, &profile, &blob)) {
          if (profile == "exif") FieldsFromBlobs(doc, blob, std::string(), L"raw:", false);
          if (profile == "xmp") FieldsFromBlobs(doc, std::string(), blob, L"raw:", false);
          if (profile == "iptc" || profile == "8bim") RawPhotoshop(doc, blob);
        }
      }
      Finish(&f);
      doc->fields.push_back(std::move(f));
    } else if (type == "eXIf") {
      const std::size_t first = doc->fields.size();
      FieldsFromBlobs(doc, std::string(reinterpret_cast<const char*>(p), n), std::string(),
                      L"exif:", true);
      for (std::size_t k = first; k < doc->fields.size(); ++k) {
        doc->fields[k].blockIndex = static_cast<std::int32_t>(i);
      }
    } else if (type == "tIME" && n > 6) {
      MetaField f = ChunkField(i);
      f.group = L"Technical";
      f.label = L"Last modified (tIME)";
      wchar_t buf[64];
      std::swprintf(buf, 64, L"%04u-%02u-%02u %02u:%02u:%02u",
                    static_cast<unsigned>((p[0] << 8) | p[1]), static_cast<unsigned>(p[2]),
                    static_cast<unsigned>(p[3]), static_cast<unsigned>(p[4]),
                    static_cast<unsigned>(p[5]), static_cast<unsigned>(p[6]));
      f.value = buf;
      f.removable = true;
      Finish(&f);
      doc->fields.push_back(std::move(f));
    } else if (type == "pHYs" && n > 8) {
      MetaField f;
      f.key = L"tech:pHYs";
      f.group = L"Technical";
      f.label = L"Resolution";
      const std::uint32_t x = Be32(p), y = Be32(p + 4);
      wchar_t buf[96];
      if (p[8] == 1) {
        std::swprintf(buf, 96, L"%.0f \u00D7 %.0f dpi", x * 0.0254, y * 0.0254);
      } else {
        std::swprintf(buf, 96, L"%lu : %lu (aspect only)", static_cast<unsigned long>(x),
                      static_cast<unsigned long>(y));
      }
      f.value = buf;
      Finish(&f);
      doc->fields.push_back(std::move(f));
    } else if (type == "iCCP" && n > 2) {
      MetaField f;
      f.key = L"tech:iCCP";
      f.group = L"Technical";
      f.label = L"Colour profile";
      f.value = Latin1(p, ZeroAt(p, 0, n));
      Finish(&f);
      doc->fields.push_back(std::move(f));
    }
  }
}

void ParseGifFields(MetaDoc* doc) {
  const std::size_t first = doc->fields.size();
  WalkImage(doc->bytes, doc, L"", false, true);
  // The picture is the logical screen, as the viewer shows it; the first
  // frame's size stands in only when the screen gives none.
  const std::vector<std::uint8_t>& b = doc->bytes;
  const unsigned screenW = b.size() >= 10 ? b[6] | b[7] << 8 : 0;
  const unsigned screenH = b.size() >= 10 ? b[8] | b[9] << 8 : 0;
  for (std::size_t i = first; i < doc->fields.size() && screenW && screenH; ++i) {
    MetaField& f = doc->fields[i];
    if (f.key != L"file:Dimensions") continue;
    f.value = f.loadedValue =
        std::to_wstring(screenW) + L" \u00D7 " + std::to_wstring(screenH) + L" pixels";
  }
  // Comments are listed from the file's own blocks below, where they can be
  // edited; the reader's copies of them ("/commentext/", "/[1]commentext/"
  // and so on) are left out.
  for (std::size_t i = doc->fields.size(); i > first; --i) {
    if (doc->fields[i - 1].key.find(L"commentext/") != std::wstring::npos) {
      doc->fields.erase(doc->fields.begin() + static_cast<std::ptrdiff_t>(i - 1));
    }
  }
  std::vector<meta::GifBlock> blocks;
  std::uint64_t firstBlock = 0, trailer = 0;
  if (!meta::ParseGif(doc->bytes, &blocks, &firstBlock, &trailer)) {
    doc->note = L"This GIF file has an unusual structure; its comment can't be edited.";
    return;
  }
  doc->editable = true;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (!blocks[i].isComment) continue;
    MetaField f;
    f.key = L"gif:" + Num(static_cast<std::int64_t>(i));
    f.group = L"Comment";
    f.label = L"Comment";
    f.varType = img::kVtLpwstr;
    f.value = FromBytes(blocks[i].text.data(), static_cast<std::ptrdiff_t>(blocks[i].text.size()));
    f.blockIndex = static_cast<std::int32_t>(i);
    f.editable = true;
    f.removable = true;
    Finish(&f);
    doc->fields.push_back(std::move(f));
  }
}

void ParseWebpFields(MetaDoc* doc) {
  const std::vector<std::uint8_t>& b = doc->bytes;
  int w = 0, h = 0;
  if (WebPGetInfo(b.data(), b.size(), &w, &h)) {
    AddInfo(doc, L"Dimensions", std::to_wstring(w) + L" \u00D7 " + std::to_wstring(h) + L" pixels");
  }
  std::vector<meta::RiffChunk> chunks;
  if (b.size() < 20 || !At(b, 0, "RIFF") || !At(b, 8, "WEBP") || !meta::ParseWebp(b, &chunks)) {
    doc->note = L"This WebP file has an unusual structure; its fields can't be edited.";
    return;
  }
  std::vector<std::uint8_t> exif, xmp;
  meta::WebpBlobs(b, chunks, &exif, &xmp);
  const std::size_t first = doc->fields.size();
  if (FieldsFromBlobs(doc, std::string(exif.begin(), exif.end()),
                      std::string(xmp.begin(), xmp.end()), L"", true)) {
    doc->editable = true;
    return;
  }
  for (std::size_t i = first; i < doc->fields.size(); ++i) {
    doc->fields[i].editable = false;
    doc->fields[i].removable = false;
  }
  doc->note = L"The metadata in this WebP file is too large to edit here.";
}

#ifdef NORVANE_HAVE_AVIF
struct AvifDecoderTraits {
  using Type = avifDecoder*;
  static avifDecoder* Invalid() { return nullptr; }
  static void Release(avifDecoder* d) { avifDecoderDestroy(d); }
};
#endif

void ParseAvifFields(MetaDoc* doc) {
#ifdef NORVANE_HAVE_AVIF
  Owned<AvifDecoderTraits> decoder(avifDecoderCreate());
  if (decoder) decoder.get()->strictFlags = AVIF_STRICT_DISABLED;
  if (decoder &&
      avifDecoderSetIOMemory(decoder.get(), doc->bytes.data(), doc->bytes.size()) ==
          AVIF_RESULT_OK &&
      avifDecoderParse(decoder.get()) == AVIF_RESULT_OK && decoder.get()->image) {
    const avifImage* im = decoder.get()->image;
    AddInfo(doc, L"Dimensions",
            std::to_wstring(im->width) + L" \u00D7 " + std::to_wstring(im->height) + L" pixels, " +
                std::to_wstring(im->depth) + L"-bit");
    FieldsFromBlobs(doc, std::string(reinterpret_cast<const char*>(im->exif.data), im->exif.size),
                    std::string(reinterpret_cast<const char*>(im->xmp.data), im->xmp.size), L"",
                    false);
  }
#endif
  doc->note = L"AVIF files are view only. Use Save as to convert to JPEG or PNG, then edit that.";
}

const wchar_t* FormatName(img::Container c) {
  switch (c) {
    case img::Container::Jpeg:
      return L"JPEG";
    case img::Container::Png:
      return L"PNG";
    case img::Container::Tiff:
      return L"TIFF";
    case img::Container::Gif:
      return L"GIF";
    case img::Container::Bmp:
      return L"BMP";
    case img::Container::Ico:
      return L"ICO";
    default:
      return L"image";
  }
}

}  // namespace

bool ReadWhole(const std::wstring& path, std::vector<std::uint8_t>* bytes,
               std::uint64_t* fileTime) {
  bytes->clear();
  return platform::ReadWholeFile(path, bytes, platform::kMaxFileBytes, fileTime) ==
         platform::ReadResult::Ok;
}

void ParseBytes(MetaDoc* doc) {
  const std::vector<std::uint8_t>& b = doc->bytes;
  switch (Recognise(b)) {
    case Kind::Jpeg:
      doc->format = L"JPEG";
      doc->editable = true;
      WalkImage(b, doc, L"", true, true);
      return;
    case Kind::Tiff: {
      doc->format = L"TIFF";
      const std::size_t first = doc->fields.size();
      if (WalkImage(b, doc, L"", true, true) == img::Container::Tiff) {
        doc->editable = true;
        doc->note =
            L"Saving rewrites a TIFF file: the pixels stay identical, the internal layout may "
            L"change.";
        return;
      }
      for (std::size_t i = first; i < doc->fields.size(); ++i) {
        doc->fields[i].editable = false;
        doc->fields[i].removable = false;
      }
      doc->note = L"The fields of this TIFF file can't be edited here.";
      return;
    }
    case Kind::Png:
      doc->format = L"PNG";
      ParsePngFields(doc);
      return;
    case Kind::Gif:
      doc->format = L"GIF";
      ParseGifFields(doc);
      return;
    case Kind::Webp:
      doc->format = L"WebP";
      ParseWebpFields(doc);
      return;
    case Kind::Avif:
      doc->format = L"AVIF";
      ParseAvifFields(doc);
      return;
    case Kind::Other:
      break;
  }
  const img::Container c = WalkImage(b, doc, L"", false, true);
  doc->format = FormatName(c);
  if (c == img::Container::Unknown) {
    doc->note = L"The fields of this file can't be listed.";
  } else {
    doc->note = doc->format +
                L" files are view only for now. Use Save as to convert to JPEG or PNG, then edit "
                L"that.";
  }
}

bool meta_load(const std::wstring& path, MetaDoc* doc) {
  *doc = MetaDoc();
  doc->path = path;
  if (!ReadWhole(path, &doc->bytes, &doc->fileTime)) {
    doc->bytes.clear();
    doc->note = kUnreadable;
    return false;
  }
  AddInfo(doc, L"Name", platform::FileNamePart(path));
  AddInfo(doc, L"Folder", platform::FolderPart(path));
  AddInfo(doc, L"Size", platform::FormatByteSize(doc->bytes.size()));
  platform::LocalTime t;
  if (platform::FileTimeToLocal(doc->fileTime, &t)) {
    wchar_t buf[64];
    std::swprintf(buf, 64, L"%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    AddInfo(doc, L"Modified", buf);
  }
  ParseBytes(doc);
  return true;
}
