// The PNG, WebP, GIF and TIFF rewrites against independent readers: for a
// table of files and edits, the rewritten file passes each format's own
// checker, exiftool reads the edit, neither exiftool nor exiv2 finds a fault
// the original did not already have, and ImageMagick decodes both files to
// the same pixels. Natively only (the tools are Linux programs here).
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta_internal.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::Fixture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

// --- running the tools ---------------------------------------------------------

struct Run {
  int status = -1;  // exit code; -1 when the program could not be run or did not exit
  std::string out, err;
};

std::string Quote(const std::string& path) { return "'" + path + "'"; }

// Runs a shell command, its standard error kept apart in `errFile`.
Run Exec(const std::string& cmd, const std::string& errFile) {
  Run r;
  const std::string full = cmd + " 2>" + Quote(errFile);
  FILE* pipe = popen(full.c_str(), "r");
  if (!pipe) return r;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
  const int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) r.status = WEXITSTATUS(status);
  const Bytes err = ReadBytes(platform::Utf8ToWide(errFile));
  r.err.assign(err.begin(), err.end());
  return r;
}

std::string Replace(std::string text, const std::string& what, const std::string& with) {
  if (what.empty()) return text;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

// The lines of `text` that match `pattern`, with `dir` (the folder the file
// was in) taken out so that the old and the new file's lines compare.
std::set<std::string> Lines(const std::string& text, const std::regex& pattern,
                            const std::string& dir) {
  std::set<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (std::regex_search(line, pattern)) out.insert(Replace(line, dir, "<dir>"));
  }
  return out;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// Each line of `after` that `before` lacks, one per line of the message.
std::string Added(const std::set<std::string>& before, const std::set<std::string>& after) {
  std::string out;
  for (const std::string& line : after) {
    if (!before.count(line)) out += "\n  " + line;
  }
  return out;
}

// The old and the new file side by side: same name, separate folders, so
// that a tool's messages differ only in the folder.
struct Pair {
  std::string oldDir, newDir, oldFile, newFile, errFile;
};

// --- the table -------------------------------------------------------------------

enum class Kind {
  Keep,       // no edit at all
  Set,        // a field of the file gets a new value
  Add,        // a preset added with a value
  SetOrAdd,   // the preset's field set, added first when the file lacks it
  Remove,     // a field marked for removal
  RemoveGps,  // every GPS field
  RemoveAll,  // everything removable
};

struct Case {
  const char* name;
  const char* fixture;
  Kind kind;
  const wchar_t* field;  // key, loaded label (PNG text, GIF comment) or preset label
  const wchar_t* value;
  const char* tag;       // the exiftool tag that shows the edit; null for none
  const char* expected;  // what exiftool reads for it afterwards; "" when it is gone
};

MetaField* FindField(MetaDoc* doc, const std::wstring& what) {
  for (MetaField& f : doc->fields) {
    if (f.key == what) return &f;
    if ((StartsWith(f.key, L"png:") || StartsWith(f.key, L"gif:")) && f.loadedLabel == what) {
      return &f;
    }
  }
  return nullptr;
}

const MetaPreset* FindPreset(const MetaDoc& doc, const std::wstring& label) {
  const MetaPreset* presets = nullptr;
  const std::int32_t count = meta_presets(doc, &presets);
  for (std::int32_t i = 0; i < count; ++i) {
    if (label == presets[i].label) return &presets[i];
  }
  return nullptr;
}

// Applies the case's edit; false (with a failure recorded) when the fixture
// does not have what the case needs.
bool Apply(const Case& c, MetaDoc* doc) {
  const std::string what = c.field ? platform::WideToUtf8(c.field) : "";
  switch (c.kind) {
    case Kind::Keep:
      return true;
    case Kind::RemoveGps:
      meta_remove_gps(doc);
      return true;
    case Kind::RemoveAll:
      meta_remove_all(doc);
      return true;
    case Kind::Set:
    case Kind::Remove: {
      MetaField* f = FindField(doc, c.field);
      if (!f) {
        ADD_FAILURE() << c.fixture << " has no field " << what;
        return false;
      }
      if (c.kind == Kind::Set) {
        EXPECT_TRUE(f->editable) << what;
        f->value = c.value;
      } else {
        EXPECT_TRUE(f->removable) << what;
        f->removed = true;
      }
      return true;
    }
    case Kind::Add:
    case Kind::SetOrAdd: {
      const MetaPreset* preset = FindPreset(*doc, c.field);
      if (!preset) {
        ADD_FAILURE() << "no preset " << what << " for " << c.fixture;
        return false;
      }
      MetaField* f = c.kind == Kind::SetOrAdd ? FindField(doc, preset->key) : nullptr;
      if (!f) {
        const std::int32_t at = meta_add(doc, *preset);
        if (at < 0) {
          ADD_FAILURE() << "preset " << what << " not added to " << c.fixture;
          return false;
        }
        f = &doc->fields[static_cast<std::size_t>(at)];
      }
      f->value = c.value;
      return true;
    }
  }
  return false;
}

bool Save(const MetaDoc& doc, Bytes* out, std::wstring* err) {
  if (doc.format == L"PNG") return SavePng(doc, out, err);
  if (doc.format == L"WebP") return SaveWebp(doc, out, err);
  if (doc.format == L"GIF") return SaveGif(doc, out, err);
  if (doc.format == L"TIFF") return SaveTiff(doc, out, err);
  *err = L"no rewrite for " + doc.format;
  return false;
}

const wchar_t kAnn[] = L"Ann \u00C5ngstr\u00F6m";
const char kAnnUtf8[] = "Ann \xC3\x85ngstr\xC3\xB6m";

std::vector<Case> Cases() {
  std::vector<Case> cases = {
      // PNG: tEXt edited in place, zTXt replaced, iTXt added, text and tIME
      // left out, text after the pixels.
      {"png_set_text", "meta_full.png", Kind::Set, L"Copyright", L"Mine \u00E9", "PNG:Copyright",
       "Mine \xC3\xA9"},
      {"png_set_compressed", "meta_full.png", Kind::Set, L"Title", L"short", "PNG:Title", "short"},
      {"png_add_utf8", "meta_full.png", Kind::Add, L"Source", L"5 \u20AC", "PNG:Source",
       "5 \xE2\x82\xAC"},
      {"png_add_after_pixels", "png_palette_trns.png", Kind::Add, L"Author", L"Ann", "PNG:Author",
       "Ann"},
      {"png_add_interlaced", "png_interlaced.png", Kind::Add, L"Comment", L"a comment",
       "PNG:Comment", "a comment"},
      {"png_remove_text", "meta_full.png", Kind::Remove, L"comment", nullptr, "PNG:Comment", ""},
      {"png_remove_time", "meta_full.png", Kind::Remove, L"Last modified (tIME)", nullptr,
       "PNG:ModifyDate", ""},
      {"png_remove_all", "meta_full.png", Kind::RemoveAll, nullptr, nullptr, "PNG:Copyright", ""},
      {"png_keep", "meta_full.png", Kind::Keep, nullptr, nullptr, "PNG:Copyright", "Free"},
      {"png_keep_plain", "dec_alpha.png", Kind::Keep, nullptr, nullptr, nullptr, nullptr},

      // WebP: EXIF edited, a VP8X header made for a simple file, chunks
      // dropped, animation and alpha kept.
      {"webp_set_artist", "webp_meta.webp", Kind::Set, L"/app1/ifd/{ushort=315}", L"New Artist",
       "IFD0:Artist", "New Artist"},
      {"webp_set_xmp", "webp_meta.webp", Kind::Set, L"/xmp/dc:title/x-default", L"New title",
       "XMP-dc:Title", "New title"},
      {"webp_add_to_simple", "webp_simple.webp", Kind::Add, L"Description", L"A description",
       "IFD0:ImageDescription", "A description"},
      {"webp_add_to_animation", "dec_anim.webp", Kind::Add, L"Artist", L"Animator", "IFD0:Artist",
       "Animator"},
      {"webp_add_to_lossless_alpha", "dec_alpha.webp", Kind::Add, L"Copyright", L"(c) Ann",
       "IFD0:Copyright", "(c) Ann"},
      {"webp_remove_make", "webp_meta.webp", Kind::Remove, L"/app1/ifd/{ushort=271}", nullptr,
       "IFD0:Make", ""},
      {"webp_remove_all", "webp_meta.webp", Kind::RemoveAll, nullptr, nullptr, "XMP-dc:Title", ""},
      {"webp_keep", "webp_meta.webp", Kind::Keep, nullptr, nullptr, "IFD0:Artist", "Webp Artist"},
      {"webp_keep_simple", "webp_simple.webp", Kind::Keep, nullptr, nullptr, nullptr, nullptr},

      // GIF: comments edited, added (one longer than a sub-block) and removed.
      {"gif_set_comment", "gif_anim.gif", Kind::Set, L"Comment", L"edited comment", "Comment",
       "edited comment"},
      {"gif_add_comment", "gif_single.gif", Kind::Add, L"Comment", L"first \u00E9", "Comment",
       "first \xC3\xA9"},
      {"gif_add_to_animation", "dec_anim.gif", Kind::Add, L"Comment", L"frames", "Comment",
       "frames"},
      {"gif_remove_comment", "gif_anim.gif", Kind::Remove, L"Comment", nullptr, "Comment", ""},
      {"gif_keep", "gif_anim.gif", Kind::Keep, nullptr, nullptr, "Comment", "made for norvane"},
      {"gif_keep_interlaced", "gif_interlaced.gif", Kind::Keep, nullptr, nullptr, nullptr, nullptr},

      // TIFF: a file that carries every kind of metadata, edited every way.
      {"tiff_set_make", "meta_full.tif", Kind::Set, L"/ifd/{ushort=271}", L"Another make",
       "IFD0:Make", "Another make"},
      {"tiff_set_xmp", "meta_full.tif", Kind::Set, L"/ifd/xmp/dc:title/x-default", L"Edited title",
       "XMP-dc:Title", "Edited title"},
      {"tiff_add_copyright", "meta_full.tif", Kind::Add, L"Copyright", L"(c) Ann", "IFD0:Copyright",
       "(c) Ann"},
      {"tiff_remove_model", "meta_full.tif", Kind::Remove, L"/ifd/{ushort=272}", nullptr,
       "IFD0:Model", ""},
      {"tiff_remove_gps", "meta_full.tif", Kind::RemoveGps, nullptr, nullptr, "GPS:GPSLatitude",
       ""},
      {"tiff_remove_all", "meta_full.tif", Kind::RemoveAll, nullptr, nullptr, "IFD0:Make", ""},
      {"tiff_keep", "meta_full.tif", Kind::Keep, nullptr, nullptr, "IFD0:Model", "Test Rig"},
      {"tiff_keep_multipage", "tiff_multipage.tif", Kind::Keep, nullptr, nullptr, nullptr, nullptr},
      {"tiff_remove_orientation", "tiff_multipage.tif", Kind::Remove, L"/ifd/{ushort=274}", nullptr,
       "IFD0:Orientation", ""},
  };
  // Every pixel form the TIFF rewrite encodes again, with an artist added.
  static const char* const kTiffs[] = {
      "tiff_be.tif",           "tiff_bigtiff.tif",    "tiff_cmyk.tif",      "tiff_cmyk16_tiles.tif",
      "tiff_cmyk_planar.tif",  "tiff_float.tif",      "tiff_g3.tif",        "tiff_g4.tif",
      "tiff_gray16.tif",       "tiff_gray8.tif",      "tiff_graya.tif",     "tiff_icc.tif",
      "tiff_jpeg_rgb.tif",     "tiff_jpeg_ycbcr.tif", "tiff_lzw_plain.tif", "tiff_multipage.tif",
      "tiff_orient6.tif",      "tiff_packbits.tif",   "tiff_palette2.tif",  "tiff_palette8.tif",
      "tiff_planar.tif",       "tiff_rgb16.tif",      "tiff_rgb16_be.tif",  "tiff_rgba_assoc.tif",
      "tiff_rgba_unassoc.tif", "tiff_strips_lzw.tif", "tiff_tiles_zip.tif", "meta_full.tif",
  };
  for (const char* file : kTiffs) {
    cases.push_back({file, file, Kind::SetOrAdd, L"Artist", kAnn, "IFD0:Artist", kAnnUtf8});
  }
  return cases;
}

// --- the checks ------------------------------------------------------------------

// exiftool's value of one tag, "" when the file does not have it.
std::string ExiftoolValue(const Pair& p, const std::string& file, const std::string& tag) {
  Run r = Exec("exiftool -s3 -" + tag + " " + Quote(file), p.errFile);
  EXPECT_EQ(r.status, 0) << r.err;
  while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) r.out.pop_back();
  return r.out;
}

// exiftool's structure check: nothing it warns about in the new file that
// it did not already warn about in the old one. After "remove all" the user
// has removed tags the standard calls required (ExifVersion, ColorSpace, ...)
// while the technical interoperability entries stay; exiftool's "Missing
// required" notes about those are the user's choice, not a fault of the file.
void ExpectNoNewExiftoolWarnings(const Pair& p, bool removedAll) {
  static const std::regex kWarning("^Warning\\s*:");
  static const std::regex kMissing("^Warning\\s*: Missing required");
  const std::string cmd = "exiftool -validate -warning -a ";
  const Run before = Exec(cmd + Quote(p.oldFile), p.errFile);
  const Run after = Exec(cmd + Quote(p.newFile), p.errFile);
  ASSERT_EQ(before.status, 0) << before.err;
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_NE(after.out.find("Validate"), std::string::npos) << after.out;
  std::set<std::string> now = Lines(after.out, kWarning, p.newDir);
  if (removedAll) {
    std::erase_if(now, [](const std::string& line) { return std::regex_search(line, kMissing); });
  }
  const std::string added = Added(Lines(before.out, kWarning, p.oldDir), now);
  EXPECT_TRUE(added.empty()) << "exiftool -validate:" << added;
}

// exiv2 reads every tag of the new file as well as it did the old one's.
void ExpectExiv2ReadsAsBefore(const Pair& p) {
  static const std::regex kAny(".");
  const Run before = Exec("exiv2 -pa " + Quote(p.oldFile), p.errFile);
  const Run after = Exec("exiv2 -pa " + Quote(p.newFile), p.errFile);
  if (before.status == 0) {
    EXPECT_EQ(after.status, 0) << after.err;
  }
  const std::string added =
      Added(Lines(before.err, kAny, p.oldDir), Lines(after.err, kAny, p.newDir));
  EXPECT_TRUE(added.empty()) << "exiv2 -pa:" << added;
}

// ImageMagick decodes every frame of both files to the same samples.
void ExpectSamePixels(const Pair& p) {
  auto decode = [&](const std::string& file) {
    return Exec("convert " + Quote(file) + " -depth 16 rgba:-", p.errFile);
  };
  auto sizes = [&](const std::string& file) {
    return Exec("identify -format '%w %h\\n' " + Quote(file), p.errFile);
  };
  const Run before = decode(p.oldFile), after = decode(p.newFile);
  ASSERT_EQ(before.status, 0) << before.err;
  ASSERT_FALSE(before.out.empty());
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(after.out.size(), before.out.size());
  EXPECT_TRUE(after.out == before.out) << "ImageMagick decodes the new file to other pixels";
  EXPECT_EQ(sizes(p.newFile).out, sizes(p.oldFile).out);
}

void ExpectPngcheckAccepts(const Pair& p) {
  static const std::regex kError("^(?!No errors detected in ).*error", std::regex::icase);
  const Run r = Exec("pngcheck -v " + Quote(p.newFile), p.errFile);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Lines(r.out + r.err, kError, p.newDir).empty()) << r.out << r.err;
  EXPECT_NE(r.out.find("No errors detected in "), std::string::npos) << r.out;
}

void ExpectWebpinfoAccepts(const Pair& p) {
  static const std::regex kComplaint("^(?!No error detected\\.$).*(error|warning)",
                                     std::regex::icase);
  const Run r = Exec("webpinfo " + Quote(p.newFile), p.errFile);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Lines(r.out + r.err, kComplaint, p.newDir).empty()) << r.out << r.err;
  EXPECT_NE(r.out.find("No error detected."), std::string::npos) << r.out;
}

// giftext walks every block and every image's data to the trailer.
void ExpectGiftextAccepts(const Pair& p) {
  const Run before = Exec("giftext " + Quote(p.oldFile), p.errFile);
  const Run after = Exec("giftext " + Quote(p.newFile), p.errFile);
  EXPECT_EQ(after.status, 0) << after.out << after.err;
  EXPECT_NE(after.out.find("GIF file terminated normally."), std::string::npos) << after.out;
  EXPECT_EQ(Count(after.out, "Image #"), Count(before.out, "Image #")) << after.out;
}

// libtiff reads every directory and every strip or tile of the new file
// without a complaint the old one did not already get (meta_full.tif's
// XP tags are unknown to libtiff in both).
void ExpectTiffinfoAccepts(const Pair& p) {
  static const std::regex kComplaint("Error|Warning");
  const Run before = Exec("tiffinfo -D " + Quote(p.oldFile), p.errFile);
  const Run after = Exec("tiffinfo -D " + Quote(p.newFile), p.errFile);
  ASSERT_EQ(before.status, 0) << before.err;
  EXPECT_EQ(after.status, 0) << after.err;
  const std::string added =
      Added(Lines(before.err, kComplaint, p.oldDir), Lines(after.err, kComplaint, p.newDir));
  EXPECT_TRUE(added.empty()) << "tiffinfo -D:" << added;
  // Pages only: the EXIF and GPS directories are listed too, and a removal
  // may leave one out.
  auto pages = [](const std::string& text) {
    return Count(text, "TIFF Directory at offset") - Count(text, " directory within directory ");
  };
  EXPECT_EQ(pages(after.out), pages(before.out));
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// tiffcmp decodes every page of both files scanline by scanline and compares
// the samples, so the pages written anew must hold exactly the old ones. -t
// keeps it going past tag differences, which it still lists; those the
// rewrite makes on purpose are let through: on the first page, the edited
// tag and the tags a removal leaves out; on any page, Compression and
// Predictor (chosen anew for each page; a Predictor of 1 is the default and
// may be left out) and Group3Options (written out with its default of 0).
// Any other difference is a fault; a width, depth or sample count that
// differs even keeps it from comparing the data at all.
void ExpectTiffcmpSame(const Pair& p, const Case& c) {
  // tiffcmp reads scanlines, which libtiff does not give for tiled pages nor
  // for subsampled JPEG pages; for those it fails on the old file alone and
  // says nothing about the new one.
  if (Exec("tiffcmp -t " + Quote(p.oldFile) + " " + Quote(p.oldFile), p.errFile).status != 0) {
    return;
  }
  const Run r = Exec("tiffcmp -t " + Quote(p.oldFile) + " " + Quote(p.newFile), p.errFile);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::string edited =
      c.tag && std::strncmp(c.tag, "IFD0:", 5) == 0 ? std::string(c.tag + 5) : "";
  static const std::regex kOnlyIn(R"(^(\w+) tag appears only in (.*)$)");
  static const std::regex kValues(R"(^(\w+): .*$)");
  static const std::regex kDirectory(R"(^Directory \d+:$)");
  std::istringstream in(r.out);
  std::string line;
  bool firstPage = true;  // edits touch the first page only
  while (std::getline(in, line)) {
    std::smatch m;
    if (line.empty()) continue;
    if (std::regex_match(line, kDirectory)) {
      firstPage = false;
      continue;
    }
    const bool onlyIn = std::regex_match(line, m, kOnlyIn);
    if (!onlyIn && !std::regex_match(line, m, kValues)) {
      ADD_FAILURE() << "tiffcmp: " << line;
      continue;
    }
    const std::string tag = m[1];
    const bool removed = onlyIn && m[2] == p.oldFile;
    const bool allowed = tag == "Compression" || tag == "Predictor" || tag == "Group3Options" ||
                         (firstPage && (tag == edited || (removed && c.kind == Kind::RemoveAll)));
    EXPECT_TRUE(allowed) << "tiffcmp: " << line;
  }
}

class RewrittenFile : public testing::TestWithParam<Case> {};

TEST_P(RewrittenFile, ToolsAcceptIt) {
  const Case& c = GetParam();
  const Bytes in = ReadBytes(Fixture(c.fixture));
  ASSERT_FALSE(in.empty()) << c.fixture;
  MetaDoc doc;
  doc.bytes = in;
  ParseBytes(&doc);
  ASSERT_TRUE(doc.editable) << c.fixture << ": " << platform::WideToUtf8(doc.note);
  ASSERT_TRUE(Apply(c, &doc));
  Bytes out;
  std::wstring err;
  ASSERT_TRUE(Save(doc, &out, &err)) << platform::WideToUtf8(err);
  ASSERT_FALSE(out.empty());

  Pair p;
  p.oldDir = platform::WideToUtf8(ScratchDir(std::string("rewrite_oracle_old_") + c.name));
  p.newDir = platform::WideToUtf8(ScratchDir(std::string("rewrite_oracle_new_") + c.name));
  p.oldFile = p.oldDir + "/" + c.fixture;
  p.newFile = p.newDir + "/" + c.fixture;
  p.errFile = p.newDir + "/stderr.txt";
  WriteBytes(platform::Utf8ToWide(p.oldFile), in);
  WriteBytes(platform::Utf8ToWide(p.newFile), out);

  if (c.tag) {
    EXPECT_EQ(ExiftoolValue(p, p.newFile, c.tag), c.expected) << c.tag;
    if (c.kind != Kind::Keep && *c.expected) {
      EXPECT_NE(ExiftoolValue(p, p.oldFile, c.tag), c.expected) << "the edit changes nothing";
    } else if (c.kind != Kind::Keep) {
      EXPECT_NE(ExiftoolValue(p, p.oldFile, c.tag), "") << "nothing to remove";
    }
  }
  ExpectNoNewExiftoolWarnings(p, c.kind == Kind::RemoveAll);
  ExpectExiv2ReadsAsBefore(p);
  ExpectSamePixels(p);
  if (doc.format == L"PNG") {
    ExpectPngcheckAccepts(p);
  } else if (doc.format == L"WebP") {
    ExpectWebpinfoAccepts(p);
  } else if (doc.format == L"GIF") {
    ExpectGiftextAccepts(p);
  } else if (doc.format == L"TIFF") {
    ExpectTiffinfoAccepts(p);
    ExpectTiffcmpSame(p, c);
  }
}

INSTANTIATE_TEST_SUITE_P(RewriteOracle, RewrittenFile, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

}  // namespace
#endif
