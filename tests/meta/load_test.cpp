// Loading a file's metadata: file facts, recognition, every container's
// listing and the notes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "meta/meta_internal.h"
#include "meta/parsers.h"
#include "platform/platform.h"
#include "tests/meta/meta_test_helpers.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Fixture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

const wchar_t kViewOnly[] =
    L" files are view only for now. Use Save as to convert to JPEG or PNG, then edit that.";

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

const MetaField* Find(const MetaDoc& doc, const std::wstring& key) {
  for (const MetaField& f : doc.fields) {
    if (f.key == key) return &f;
  }
  return nullptr;
}

std::size_t CountGroup(const MetaDoc& doc, const std::wstring& group) {
  std::size_t n = 0;
  for (const MetaField& f : doc.fields) n += f.group == group;
  return n;
}

// Loads bytes written to a scratch file.
MetaDoc LoadBytes(const std::string& name, const std::vector<std::uint8_t>& bytes,
                  bool* ok = nullptr) {
  std::wstring path = ScratchDir("meta_load_" + name) + L"/" + platform::Utf8ToWide(name);
#ifdef _WIN32
  // Paths from the shell use backslashes, and the shell's folder split needs them.
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
#endif
  WriteBytes(path, bytes);
  MetaDoc doc;
  const bool r = meta_load(path, &doc);
  if (ok) *ok = r;
  return doc;
}

// Only the bytes, as the save check runs it.
MetaDoc Parse(const std::vector<std::uint8_t>& bytes) {
  MetaDoc doc;
  doc.bytes = bytes;
  ParseBytes(&doc);
  return doc;
}

// --- PNG building -----------------------------------------------------------

std::string Be32Text(std::uint32_t n) {
  std::string out;
  for (int s = 24; s >= 0; s -= 8) out += static_cast<char>((n >> s) & 0xFF);
  return out;
}

std::vector<std::uint8_t> PngChunk(const std::string& type, const std::string& data) {
  const std::uint32_t crc = static_cast<std::uint32_t>(
      crc32(crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4),
            reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  return Bytes(Be32Text(static_cast<std::uint32_t>(data.size())) + type + data + Be32Text(crc));
}

// A small real PNG with extra chunks after its header chunk.
std::vector<std::uint8_t> PngWith(const std::vector<std::vector<std::uint8_t>>& extra,
                                  bool dropEnd = false) {
  std::vector<std::uint8_t> png = ReadBytes(Fixture("png_gray2.png"));
  std::vector<std::uint8_t> out(png.begin(), png.begin() + 33);  // signature + IHDR
  for (const auto& c : extra) out.insert(out.end(), c.begin(), c.end());
  out.insert(out.end(), png.begin() + 33, png.end() - (dropEnd ? 12 : 0));
  return out;
}

std::string Deflate(const std::string& text) {
  uLongf n = compressBound(static_cast<uLong>(text.size()));
  std::string out(n, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(text.data()),
            static_cast<uLong>(text.size()), 9);
  out.resize(n);
  return out;
}

// A big-endian TIFF structure with Make (271) = "Norvane".
std::string SmallExif() {
  std::string b = std::string("MM\0\x2A\0\0\0\x08", 8);
  b += std::string("\0\x01", 2);
  b += std::string("\x01\x0F\0\x02\0\0\0\x08\0\0\0\x1A", 12);
  b += std::string(4, '\0');
  b += std::string("Norvane\0", 8);
  return b;
}

TEST(MetaLoadTest, UnreadableFiles) {
  const std::wstring dir = ScratchDir("meta_load_unreadable");
  struct Case {
    std::wstring path;
    std::uint64_t size;  // written when non-zero or for the empty file
    bool create;
  } cases[] = {
      {dir + L"/empty.jpg", 0, true},
      {dir + L"/huge.jpg", platform::kMaxFileBytes + 1, true},
      {dir + L"/missing.jpg", 0, false},
  };
  for (const Case& c : cases) {
    if (c.create) {
      WriteBytes(c.path, {});
      if (c.size) std::filesystem::resize_file(std::filesystem::path(c.path), c.size);
    }
    MetaDoc doc;
    doc.fields.resize(3);  // reset on load
    EXPECT_FALSE(meta_load(c.path, &doc));
    EXPECT_EQ(doc.path, c.path);
    EXPECT_EQ(doc.note, L"The file could not be read.");
    EXPECT_TRUE(doc.fields.empty());
    EXPECT_TRUE(doc.bytes.empty());
    EXPECT_FALSE(doc.editable);
    if (c.create) std::filesystem::remove(std::filesystem::path(c.path));
  }
}

TEST(MetaLoadTest, FileFactsOfATinyFile) {
  bool ok = false;
  MetaDoc doc = LoadBytes("two.bin", Bytes("ab"), &ok);
  EXPECT_TRUE(ok);
  ASSERT_EQ(doc.fields.size(), 4u);
  EXPECT_EQ(doc.fields[0].key, L"file:Name");
  EXPECT_EQ(doc.fields[0].value, L"two.bin");
  EXPECT_EQ(doc.fields[1].key, L"file:Folder");
  EXPECT_TRUE(EndsWith(doc.fields[1].value, L"meta_load_two.bin"));
  EXPECT_EQ(doc.fields[2].key, L"file:Size");
  EXPECT_EQ(doc.fields[2].value, L"2 bytes");
  EXPECT_EQ(doc.fields[3].key, L"file:Modified");
  EXPECT_EQ(doc.fields[3].value.size(), 19u);  // YYYY-MM-DD hh:mm:ss
  EXPECT_NE(doc.fileTime, 0u);
  EXPECT_EQ(doc.format, L"image");
  EXPECT_EQ(doc.note, L"The fields of this file can't be listed.");
  EXPECT_FALSE(doc.editable);
}

TEST(MetaLoadTest, RecognitionByFirstBytes) {
  struct Case {
    std::string bytes;
    const wchar_t* format;
  } cases[] = {
      {"\xFF\xD8", L"image"},     // too short for JPEG
      {"\xFF\xD8\xFF", L"JPEG"},  // undecodable, still JPEG
      {"GIF89", L"image"},        // 5 bytes: too short
      {std::string("II\x2A\0\0\0\0\0", 8), L"TIFF"},
      {std::string("II\x2B\0\x08\0\0\0", 8), L"TIFF"},  // BigTIFF
      {std::string("RIFF\0\0\0\0WEB", 11), L"image"},
      {std::string("\0\0\0\x14"
                   "ftypmif1\0\0\0\0avif",
                   20),
       L"AVIF"},
      {std::string("\0\0\0\x10"
                   "ftypavif\0\0\0\0",
                   16),
       L"AVIF"},  // major brand
      {std::string("\0\0\0\x0C"
                   "ftypavif\0\0\0\0",
                   16),
       L"AVIF"},  // box of 12
      {std::string("\0\0\0\x0B"
                   "ftypavif\0\0\0\0",
                   16),
       L"image"},  // box too small
      {std::string("\0\0\0\x10"
                   "ftypmif1avif\0\0\0\0",
                   16),
       L"image"},  // brand at 12 is the version
      {std::string("\0\0\0\x18"
                   "ftypheic\0\0\0\0mif1heic",
                   24),
       L"image"},
  };
  for (const Case& c : cases) {
    MetaDoc doc = Parse(Bytes(c.bytes));
    EXPECT_EQ(doc.format, c.format) << c.bytes.size();
  }
}

TEST(MetaLoadTest, ClassicAndBigTiffAreEditable) {
  // Classic TIFF and BigTIFF are both read through the TIFF path.
  for (const char* name : {"tiff_be.tif", "tiff_bigtiff.tif"}) {
    MetaDoc doc = Parse(ReadBytes(Fixture(name)));
    EXPECT_EQ(doc.format, L"TIFF") << name;
    EXPECT_TRUE(doc.editable) << name;
    EXPECT_EQ(doc.note,
              L"Saving rewrites a TIFF file: the pixels stay identical, the internal layout may "
              L"change.")
        << name;
  }
  // A TIFF signature over bytes the decoder cannot read: view only.
  std::vector<std::uint8_t> broken = Bytes(std::string("MM\0\x2A\0\0\xFF\xF0\0\0", 10));
  MetaDoc bad = Parse(broken);
  EXPECT_EQ(bad.format, L"TIFF");
  EXPECT_FALSE(bad.editable);
  EXPECT_EQ(bad.note, L"The fields of this TIFF file can't be edited here.");
}

TEST(MetaLoadTest, BmpIsViewOnly) {
  MetaDoc doc = LoadBytes("a.bmp", ReadBytes(Fixture("bmp_rgb24.bmp")));
  EXPECT_EQ(doc.format, L"BMP");
  EXPECT_EQ(doc.note, std::wstring(L"BMP") + kViewOnly);
  EXPECT_FALSE(doc.editable);
  const MetaField* dim = Find(doc, L"file:Dimensions");
  ASSERT_NE(dim, nullptr);
  EXPECT_TRUE(EndsWith(dim->value, L" pixels"));
}

TEST(MetaLoadTest, JpegListsEveryBlock) {
  MetaDoc doc = LoadBytes("full.jpg", ReadBytes(Fixture("meta_full.jpg")));
  EXPECT_EQ(doc.format, L"JPEG");
  EXPECT_TRUE(doc.editable);
  EXPECT_TRUE(doc.note.empty());
  struct Row {
    const wchar_t* key;
    const wchar_t* group;
    const wchar_t* label;
    const wchar_t* value;
  } rows[] = {
      {L"/app1/ifd/{ushort=271}", L"Camera and exposure", L"Camera make", L"Norvane"},
      {L"/app1/ifd/{ushort=40091}", L"Description and credits", L"Title (Windows)", L"Block title"},
      {L"/app1/ifd/exif/{ushort=33434}", L"Camera and exposure", L"Exposure time", L"1/125"},
      {L"/app1/ifd/gps/{ushort=1}", L"GPS", L"Latitude (N or S)", L"N"},
      {L"/app1/thumb/{}", L"Embedded thumbnail", L"Image data", L"(binary, 288 bytes)"},
      {L"/com/TextEntry", L"Comment", L"Comment", L"block comment"},
      // UNDEFINED tags that hold text or codes, shown by what they say.
      {L"/app1/ifd/exif/{ushort=37510}", L"Description and credits", L"User comment",
       L"user comment"},
      {L"/app1/ifd/exif/{ushort=36864}", L"Camera and exposure", L"EXIF version", L"0232"},
      {L"/app1/ifd/exif/{ushort=40960}", nullptr, nullptr, L"0100"},
      {L"/app1/ifd/exif/{ushort=37121}", nullptr, nullptr, L"Y Cb Cr -"},
      {L"/app1/ifd/exif/interop/{ushort=2}", nullptr, nullptr, L"0100"},
  };
  for (const Row& r : rows) {
    const MetaField* f = Find(doc, r.key);
    ASSERT_NE(f, nullptr) << ToUtf8(r.key);
    if (r.group) {
      EXPECT_EQ(f->group, r.group) << ToUtf8(r.key);
    }
    if (r.label) {
      EXPECT_EQ(f->label, r.label) << ToUtf8(r.key);
    }
    EXPECT_EQ(f->value, r.value) << ToUtf8(r.key);
  }
  EXPECT_TRUE(Find(doc, L"/app1/ifd/exif/{ushort=37510}")->editable);
  EXPECT_FALSE(Find(doc, L"/app1/ifd/exif/{ushort=36864}")->editable);
  EXPECT_NE(Find(doc, L"file:Dimensions"), nullptr);
  EXPECT_GT(CountGroup(doc, L"IPTC and Photoshop"), 0u);
  EXPECT_GT(CountGroup(doc, L"XMP"), 0u);
  bool colourProfile = false;
  for (const MetaField& f : doc.fields) colourProfile |= f.label == L"Colour profile";
  EXPECT_TRUE(colourProfile);
}

// A raw profile as other programs write it: the type, the length, then the
// bytes in hexadecimal, 72 digits a line.
std::string RawProfileText(const std::string& type, const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\n" + type + "\n" + std::string(8 - std::to_string(bytes.size()).size(), ' ') +
                    std::to_string(bytes.size()) + "\n";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out += kHex[static_cast<std::uint8_t>(bytes[i]) >> 4];
    out += kHex[static_cast<std::uint8_t>(bytes[i]) & 15];
    if (i % 36 == 35) out += '\n';
  }
  return out + "\n";
}

// EXIF and XMP kept as raw profiles in text chunks are listed like the blocks
// they carry, view only; the text chunks stay listed; damaged dumps list
// nothing more.
TEST(MetaLoadTest, PngRawProfiles) {
  const std::string xmp =
      "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
      "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
      "xmlns:dc='http://purl.org/dc/elements/1.1/' dc:format='image/png'/></rdf:RDF></x:xmpmeta>";
  const std::string exif = std::string("Exif\0\0", 6) + SmallExif();
  std::string shortDump = RawProfileText("exif", exif);
  shortDump.resize(shortDump.size() - 10);  // fewer digits than its length says
  std::string badDigit = RawProfileText("exif", exif);
  badDigit[20] = 'x';
  const std::vector<std::vector<std::uint8_t>> chunks = {
      PngChunk("tEXt",
               "Raw profile type exif" + std::string(1, '\0') + RawProfileText("exif", exif)),
      PngChunk("zTXt",
               "Raw profile type xmp" + std::string(2, '\0') + Deflate(RawProfileText("xmp", xmp))),
      PngChunk("tEXt", "Raw profile type exif" + std::string(1, '\0') + shortDump),
      PngChunk("tEXt", "Raw profile type exif" + std::string(1, '\0') + badDigit),
  };
  MetaDoc doc = LoadBytes("raw.png", PngWith(chunks));
  const MetaField* make = Find(doc, L"raw:/app1/ifd/{ushort=271}");
  ASSERT_NE(make, nullptr);
  EXPECT_EQ(make->value, L"Norvane");
  EXPECT_EQ(make->group, L"Camera and exposure");
  EXPECT_FALSE(make->editable || make->removable);
  const MetaField* format = Find(doc, L"raw:/xmp/dc:format");
  ASSERT_NE(format, nullptr);
  EXPECT_EQ(format->value, L"image/png");
  EXPECT_EQ(format->group, L"XMP");
  std::size_t makes = 0, texts = 0;
  for (const MetaField& f : doc.fields) {
    makes += f.key == L"raw:/app1/ifd/{ushort=271}";
    texts += f.group == L"PNG text" && f.label.rfind(L"Raw profile type ", 0) == 0;
  }
  EXPECT_EQ(makes, 1u) << "the damaged dumps list nothing";
  EXPECT_EQ(texts, 4u) << "every raw profile stays listed as text";
}

TEST(MetaLoadTest, PngChunks) {
  const std::string xmp =
      "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
      "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
      "xmlns:dc='http://purl.org/dc/elements/1.1/' dc:format='image/png'/></rdf:RDF></x:xmpmeta>";
  std::string itxt = std::string("Caption\0\x01\0en\0Legende\0", 21) + Deflate("caf\xC3\xA9");
  std::vector<std::vector<std::uint8_t>> chunks = {
      PngChunk("tEXt", std::string("Title\0Hello", 11)),                       // 1
      PngChunk("zTXt", std::string("Bad\0\0not a zlib stream", 22)),           // 2
      PngChunk("zTXt", std::string("Good\0\0", 6) + Deflate("inflated")),      // 3
      PngChunk("iTXt", itxt),                                                  // 4
      PngChunk("iTXt", std::string("XML:com.adobe.xmp\0\0\0\0\0", 22) + xmp),  // 5
      PngChunk("tEXt", std::string("\0lead", 5)),                              // 6
      PngChunk("tEXt", "NoZero"),                                              // 7
      PngChunk("pHYs", std::string("\0\0\x0B\x13\0\0\x0B\x13\x01", 9)),        // 8
      PngChunk("tIME", std::string("\x07\xE8\x05\x06\x07\x08\x09", 7)),        // 9
      PngChunk("iCCP", std::string("sRGB IEC\0\0x", 11)),                      // 10
      PngChunk("eXIf", SmallExif()),                                           // 11
  };
  MetaDoc doc = LoadBytes("chunks.png", PngWith(chunks));
  EXPECT_EQ(doc.format, L"PNG");
  EXPECT_TRUE(doc.editable);
  EXPECT_TRUE(doc.note.empty());

  const MetaField* dim = Find(doc, L"file:Dimensions");
  ASSERT_NE(dim, nullptr);

  const MetaField* title = Find(doc, L"png:1");
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->group, L"PNG text");
  EXPECT_EQ(title->label, L"Title");
  EXPECT_EQ(title->value, L"Hello");
  EXPECT_EQ(title->varType, img::kVtLpwstr);
  EXPECT_EQ(title->blockIndex, 1);
  EXPECT_TRUE(title->editable && title->renamable && title->removable);

  const MetaField* bad = Find(doc, L"png:2");
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->label, L"(unreadable text chunk)");
  EXPECT_EQ(bad->value, L"(22 bytes)");
  EXPECT_TRUE(bad->removable);
  EXPECT_FALSE(bad->editable || bad->renamable);

  EXPECT_EQ(Find(doc, L"png:3")->value, L"inflated");
  EXPECT_EQ(Find(doc, L"png:4")->label, L"Caption");
  EXPECT_EQ(Find(doc, L"png:4")->value, L"caf\u00E9");

  const MetaField* packet = Find(doc, L"png:5");
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->group, L"XMP");
  EXPECT_EQ(packet->label, L"XMP packet");
  EXPECT_EQ(packet->value, L"(" + std::to_wstring(xmp.size()) + L" characters)");
  EXPECT_TRUE(packet->removable);
  EXPECT_FALSE(packet->editable || packet->renamable);
  const MetaField* format = Find(doc, L"xmp:/xmp/dc:format");
  ASSERT_NE(format, nullptr);
  EXPECT_EQ(format->value, L"image/png");
  EXPECT_FALSE(format->editable || format->removable);
  // The XMP fields come right before the packet's own row.
  EXPECT_EQ(format + 1, packet);

  EXPECT_EQ(Find(doc, L"png:6")->label, L"(unreadable text chunk)");  // empty keyword
  EXPECT_EQ(Find(doc, L"png:7")->label, L"NoZero");                   // keyword only
  EXPECT_EQ(Find(doc, L"png:7")->value, L"");

  const MetaField* phys = Find(doc, L"tech:pHYs");
  ASSERT_NE(phys, nullptr);
  EXPECT_EQ(phys->value, L"72 \u00D7 72 dpi");
  EXPECT_EQ(phys->group, L"Technical");
  EXPECT_FALSE(phys->removable);

  const MetaField* time = Find(doc, L"png:9");
  ASSERT_NE(time, nullptr);
  EXPECT_EQ(time->label, L"Last modified (tIME)");
  EXPECT_EQ(time->value, L"2024-05-06 07:08:09");
  EXPECT_TRUE(time->removable);
  EXPECT_FALSE(time->editable);

  EXPECT_EQ(Find(doc, L"tech:iCCP")->value, L"sRGB IEC");

  const MetaField* make = Find(doc, L"exif:/app1/ifd/{ushort=271}");
  ASSERT_NE(make, nullptr);
  EXPECT_EQ(make->value, L"Norvane");
  EXPECT_EQ(make->blockIndex, 11);
  EXPECT_TRUE(make->editable);
}

TEST(MetaLoadTest, PngTextInflatesWithinOneBudgetPerFile) {
  // Six zTXt chunks of 16 MiB each: four fit the file's 64 MiB, the rest are
  // listed as unreadable and can still be removed.
  const std::string big = Deflate(std::string(std::size_t{16} << 20, 'x'));
  std::vector<std::vector<std::uint8_t>> chunks;
  for (int i = 0; i < 6; ++i) {
    chunks.push_back(
        PngChunk("zTXt", std::string("K") + char('a' + i) + std::string(2, '\0') + big));
  }
  MetaDoc doc = Parse(PngWith(chunks));
  int readable = 0, unreadable = 0;
  for (const MetaField& f : doc.fields) {
    // The fixture's own text chunks are not part of this.
    if (f.group != L"PNG text" || (f.label.size() == 2 && f.label[0] != L'K')) continue;
    if (f.label.size() != 2 && f.label != L"(unreadable text chunk)") continue;
    if (f.label == L"(unreadable text chunk)") {
      ++unreadable;
      EXPECT_TRUE(f.removable);
    } else {
      ++readable;
      EXPECT_EQ(f.value.size(), std::size_t{16} << 20);
    }
  }
  EXPECT_EQ(readable, 4);
  EXPECT_EQ(unreadable, 2);
}

TEST(MetaLoadTest, PngAspectOnlyAndDamage) {
  MetaDoc aspect = Parse(PngWith({PngChunk("pHYs", std::string("\0\0\x0B\x13\0\0\x0B\x13\0", 9))}));
  EXPECT_EQ(Find(aspect, L"tech:pHYs")->value, L"2835 : 2835 (aspect only)");

  MetaDoc damaged = LoadBytes("noend.png", PngWith({PngChunk("tEXt", "A\0b")}, true));
  EXPECT_EQ(damaged.note, L"This PNG file is damaged; its fields can't be listed.");
  EXPECT_FALSE(damaged.editable);
  EXPECT_EQ(damaged.fields.size(), 4u);  // the file facts only
}

// A GIF with three comment extensions before its first block, on a logical
// screen wider than its frame.
TEST(MetaLoadTest, GifComments) {
  std::vector<std::uint8_t> gif = ReadBytes(Fixture("gif_single.gif"));
  ASSERT_GT(gif.size(), 10u);
  const unsigned frameW = gif[6] | gif[7] << 8, frameH = gif[8] | gif[9] << 8;
  gif[6] = static_cast<std::uint8_t>(frameW + 25);
  gif[7] = static_cast<std::uint8_t>((frameW + 25) >> 8);
  std::vector<meta::GifBlock> blocks;
  std::uint64_t first = 0, trailer = 0;
  ASSERT_TRUE(meta::ParseGif(gif, &blocks, &first, &trailer));
  const std::string comments = std::string("\x21\xFE\x05hello\x00", 9) +
                               std::string(
                                   "\x21\xFE\x03"
                                   "abc"
                                   "\x02"
                                   "de\x00",
                                   10) +
                               std::string("\x21\xFE\x05third\x00", 9);
  gif.insert(gif.begin() + static_cast<std::ptrdiff_t>(first), comments.begin(), comments.end());
  MetaDoc doc = Parse(gif);
  EXPECT_EQ(doc.format, L"GIF");
  EXPECT_TRUE(doc.editable);
  EXPECT_TRUE(doc.note.empty());
  const MetaField* c0 = Find(doc, L"gif:0");
  const MetaField* c1 = Find(doc, L"gif:1");
  ASSERT_NE(c0, nullptr);
  ASSERT_NE(c1, nullptr);
  EXPECT_EQ(c0->value, L"hello");
  EXPECT_EQ(c1->value, L"abcde");
  EXPECT_EQ(c1->blockIndex, 1);
  EXPECT_TRUE(c1->editable && c1->removable);
  EXPECT_EQ(meta_test::ValueOf(doc, L"gif:2"), L"third");
  EXPECT_EQ(CountGroup(doc, L"Comment"), 3u);  // no comment rows from the reader
  for (const MetaField& f : doc.fields) {
    EXPECT_EQ(f.key.find(L"commentext"), std::wstring::npos) << ToUtf8(f.key);
  }
  EXPECT_NE(Find(doc, L"/logscrdesc/Width"), nullptr);
  // The logical screen, as the viewer shows it, not the frame.
  EXPECT_EQ(meta_test::ValueOf(doc, L"file:Dimensions"),
            std::to_wstring(frameW + 25) + L" \u00D7 " + std::to_wstring(frameH) + L" pixels");

  std::vector<std::uint8_t> cut(gif.begin(), gif.end() - 1);  // no trailer
  cut.push_back(0x99);
  MetaDoc odd = Parse(cut);
  EXPECT_FALSE(odd.editable);
  EXPECT_EQ(odd.note, L"This GIF file has an unusual structure; its comment can't be edited.");
}

// A WebP file with an EXIF chunk appended and the RIFF size mended.
std::vector<std::uint8_t> WebpWithExif(const std::string& exif) {
  std::vector<std::uint8_t> w = ReadBytes(Fixture("dec_alpha.webp"));
  std::string chunk = "EXIF";
  const std::uint32_t n = static_cast<std::uint32_t>(exif.size());
  for (int s = 0; s < 32; s += 8) chunk += static_cast<char>((n >> s) & 0xFF);
  chunk += exif;
  if (exif.size() % 2) chunk += '\0';
  w.insert(w.end(), chunk.begin(), chunk.end());
  const std::uint32_t riff = static_cast<std::uint32_t>(w.size() - 8);
  for (int i = 0; i < 4; ++i) w[4 + i] = static_cast<std::uint8_t>((riff >> (8 * i)) & 0xFF);
  return w;
}

TEST(MetaLoadTest, WebpBlobs) {
  MetaDoc doc = Parse(WebpWithExif(SmallExif()));
  EXPECT_EQ(doc.format, L"WebP");
  EXPECT_TRUE(doc.editable);
  EXPECT_TRUE(doc.note.empty());
  const MetaField* make = Find(doc, L"/app1/ifd/{ushort=271}");
  ASSERT_NE(make, nullptr);
  EXPECT_TRUE(make->editable);
  EXPECT_NE(Find(doc, L"file:Dimensions"), nullptr);

  std::string big = SmallExif() + std::string(65001, 'x');
  MetaDoc large = Parse(WebpWithExif(big));
  EXPECT_FALSE(large.editable);
  EXPECT_EQ(large.note, L"The metadata in this WebP file is too large to edit here.");
  const MetaField* placeholder = Find(large, L"(exif)");
  ASSERT_NE(placeholder, nullptr);
  EXPECT_EQ(placeholder->value, L"(" + std::to_wstring(big.size()) + L" bytes, too large to list)");
  for (const MetaField& f : large.fields) EXPECT_FALSE(f.editable || f.removable);

  std::vector<std::uint8_t> odd = ReadBytes(Fixture("dec_alpha.webp"));
  odd.resize(19);
  MetaDoc unusual = Parse(odd);
  EXPECT_EQ(unusual.note, L"This WebP file has an unusual structure; its fields can't be edited.");
  EXPECT_FALSE(unusual.editable);
}

TEST(MetaLoadTest, AvifIsViewOnly) {
  MetaDoc doc = Parse(ReadBytes(Fixture("dec_irot1.avif")));
  EXPECT_EQ(doc.format, L"AVIF");
  EXPECT_FALSE(doc.editable);
  EXPECT_EQ(doc.note,
            L"AVIF files are view only. Use Save as to convert to JPEG or PNG, then edit that.");
#ifdef NORVANE_HAVE_AVIF
  const MetaField* dim = Find(doc, L"file:Dimensions");
  ASSERT_NE(dim, nullptr);
  EXPECT_TRUE(EndsWith(dim->value, L" pixels, 8-bit")) << ToUtf8(dim->value);
#endif
}

TEST(MetaLoadTest, ReloadingReplacesEverything) {
  const std::wstring dir = ScratchDir("meta_load_reload");
  WriteBytes(dir + L"/a.jpg", ReadBytes(Fixture("meta_full.jpg")));
  MetaDoc doc;
  ASSERT_TRUE(meta_load(dir + L"/a.jpg", &doc));
  const std::size_t n = doc.fields.size();
  ASSERT_TRUE(meta_load(dir + L"/a.jpg", &doc));
  EXPECT_EQ(doc.fields.size(), n);
}

}  // namespace
