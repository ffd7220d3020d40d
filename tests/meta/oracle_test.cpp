// Our EXIF and GPS fields against exiftool's reading of the same files: every
// tag exiftool reports is listed with the same raw value, and every field we
// list is really in the file. Natively only (exiftool is a Linux program
// here).
#ifndef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "meta/meta_internal.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

struct Tag {
  std::string group;  // IFD0, ExifIFD, GPS, InteropIFD, IFD1
  std::string id;     // decimal tag number, or "-" for a derived value
  std::string name;
  std::string value;
};

// exiftool run with `options` on `file`: every line of its output that
// `pattern` matches, made a tag by `toTag`, which returns false for a line
// that is not wanted.
std::vector<Tag> ExiftoolLines(const std::string& options, const std::string& file,
                               const std::regex& pattern,
                               bool (*toTag)(const std::smatch& m, Tag* tag)) {
  const std::string cmd = "exiftool " + options + " '" + file + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
  std::vector<Tag> tags;
  if (!pipe) return tags;
  char line[8192];
  while (std::fgets(line, sizeof line, pipe.get())) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    std::smatch m;
    Tag t;
    if (std::regex_match(s, m, pattern) && toTag(m, &t)) tags.push_back(std::move(t));
  }
  return tags;
}

// exiftool's EXIF and GPS tags of a file, by number and raw value
// ("[ExifIFD] 33434 ExposureTime : 0.005").
std::vector<Tag> ExiftoolTags(const std::string& file) {
  static const std::regex kLine(R"(^\[([A-Za-z0-9]+)\]\s+(\S+)\s+(\S+)\s*: (.*)$)");
  return ExiftoolLines("-n -D -G1 -a -u -s", file, kLine, [](const std::smatch& m, Tag* t) {
    const std::string group = m[1];
    if (group != "IFD0" && group != "ExifIFD" && group != "GPS" && group != "InteropIFD" &&
        group != "IFD1") {
      return false;
    }
    *t = {group, m[2], m[3], m[4]};
    return true;
  });
}

// Our key for an exiftool tag, or "" for one we do not list by design.
std::wstring KeyFor(const Tag& t, bool jpeg) {
  const std::wstring ifd = jpeg ? L"/app1/ifd" : L"/ifd";
  std::wstring dir;
  if (t.group == "IFD0") {
    dir = ifd;
  } else if (t.group == "ExifIFD") {
    dir = ifd + L"/exif";
  } else if (t.group == "GPS") {
    dir = ifd + L"/gps";
  } else if (t.group == "InteropIFD") {
    dir = ifd + L"/exif/interop";
  } else if (t.group == "IFD1" && jpeg) {
    dir = L"/app1/thumb";
  } else {
    return L"";  // a TIFF's second page is not part of the first frame
  }
  if (t.id == "-") return t.name == "ThumbnailImage" ? dir + L"/{}" : L"";
  return dir + L"/{ushort=" + platform::Utf8ToWide(t.id) + L"}";
}

bool Numbers(const std::string& text, std::vector<double>* out) {
  std::istringstream in(text);
  std::string tok;
  out->clear();
  while (in >> tok) {
    const std::size_t slash = tok.find('/');
    char* end = nullptr;
    if (slash != std::string::npos) {
      const double n = std::strtod(tok.substr(0, slash).c_str(), &end);
      const double d = std::strtod(tok.substr(slash + 1).c_str(), nullptr);
      out->push_back(d == 0 ? 0 : n / d);
    } else {
      out->push_back(std::strtod(tok.c_str(), &end));
      if (!end || *end) return false;
    }
  }
  return !out->empty();
}

bool Near(double a, double b) { return std::fabs(a - b) <= 1e-6 * std::max(1.0, std::fabs(b)); }

// The UNDEFINED codes we show by their meaning, against exiftool's raw
// numbers.
bool SameCodes(const Tag& t, const std::string& ours) {
  std::vector<double> nums;
  if (!Numbers(t.value, &nums) || nums.empty()) return false;
  std::string want;
  for (double n : nums) {
    const int k = static_cast<int>(n);
    if (t.id == "37121") {
      static const char* const kParts[] = {"-", "Y", "Cb", "Cr", "R", "G", "B"};
      if (k < 0 || k > 6) return false;
      want += (want.empty() ? "" : " ") + std::string(kParts[k]);
    } else if (t.id == "41728") {
      static const char* const kSources[] = {"", "Film scanner", "Reflection print scanner",
                                             "Digital still camera"};
      if (k < 1 || k > 3) return false;
      want = kSources[k];
    } else if (t.id == "41729") {
      want = k == 1 ? "Directly photographed" : "?";
    }
  }
  return ours == want;
}

// Whether our value text says the same as exiftool's raw (-n) value.
bool SameValue(const Tag& t, const std::string& ours) {
  if (t.group == "ExifIFD" && (t.id == "37121" || t.id == "41728" || t.id == "41729")) {
    return SameCodes(t, ours);
  }
  static const std::regex kCount(R"(^\((\d+) values\)$)");
  std::smatch c;
  if (std::regex_match(ours, c, kCount)) {
    const std::size_t n = std::stoul(c[1]);
    static const std::regex kTheirs(R"(^\(Binary data (\d+) bytes.*)");
    std::smatch b;
    // exiftool summarises long number lists as their bytes.
    if (std::regex_match(t.value, b, kTheirs)) return n && std::stoul(b[1]) % n == 0;
    std::vector<double> nums;
    return Numbers(t.value, &nums) && nums.size() == n;
  }
  static const std::regex kBinary(R"(^\(binary, (\d+) bytes\)$)");
  std::smatch m;
  if (std::regex_match(ours, m, kBinary)) {
    const std::size_t n = std::stoul(m[1]);
    static const std::regex kTheirs(R"(^\(Binary data (\d+) bytes.*)");
    std::smatch b;
    if (std::regex_match(t.value, b, kTheirs)) return std::stoul(b[1]) == n;
    std::vector<double> nums;
    if (Numbers(t.value, &nums) && nums.size() == n) return true;  // bytes as numbers
    // Text kept in UNDEFINED data, an 8-byte character code before a comment.
    return t.value.size() == n || (t.id == "37510" && t.value.size() + 8 == n);
  }
  std::vector<double> a, b;
  if (Numbers(ours, &a) && Numbers(t.value, &b)) {
    // Degrees, minutes and seconds against exiftool's decimal degrees.
    if (t.group == "GPS" && a.size() == 3 && b.size() == 1) {
      return Near(a[0] + a[1] / 60 + a[2] / 3600, b[0]);
    }
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!Near(a[i], b[i])) return false;
    }
    return true;
  }
  return ours == t.value;
}

// Where the EXIF data's TIFF header lies in a JPEG file.
std::size_t ExifBase(const std::vector<std::uint8_t>& file) {
  const std::string head("Exif\0\0", 6);
  auto at = std::search(file.begin(), file.end(), head.begin(), head.end());
  return at == file.end() ? 0 : static_cast<std::size_t>(at - file.begin()) + 6;
}

bool IsExifKey(const std::wstring& key, bool jpeg) {
  return jpeg ? StartsWith(key, L"/app1/")
              : StartsWith(key, L"/ifd/") && !StartsWith(key, L"/ifd/xmp") &&
                    !StartsWith(key, L"/ifd/iptc") && !StartsWith(key, L"/ifd/irb");
}

class OracleTest : public ::testing::TestWithParam<const char*> {};

TEST_P(OracleTest, ExifAndGpsMatchExiftool) {
  const std::string name = GetParam();
  const std::wstring path = testing_support::Fixture(name);
  const bool jpeg = name.size() > 4 && name.substr(name.size() - 4) == ".jpg";
  MetaDoc doc;
  ASSERT_TRUE(meta_load(path, &doc));
  std::map<std::wstring, const MetaField*> ours;
  for (const MetaField& f : doc.fields) {
    if (IsExifKey(f.key, jpeg)) ours[f.key] = &f;
  }
  const std::vector<Tag> tags = ExiftoolTags(platform::WideToUtf8(path));
  ASSERT_FALSE(tags.empty()) << "exiftool gave nothing for " << name;
  std::map<std::wstring, bool> theirs;
  for (const Tag& t : tags) {
    const std::wstring key = KeyFor(t, jpeg);
    if (key.empty()) continue;
    theirs[key] = true;
    auto it = ours.find(key);
    if (it == ours.end()) {
      ADD_FAILURE() << name << ": exiftool's " << t.group << ":" << t.name << " (" << t.id
                    << ") is not listed";
      continue;
    }
    std::string value = ToUtf8(it->second->value);
    // exiftool gives the thumbnail's offset from the start of the file; the
    // directory holds it from the start of the EXIF data.
    if (jpeg && t.group == "IFD1" && t.id == "513") {
      value = std::to_string(std::stoul(value) + ExifBase(doc.bytes));
    }
    EXPECT_TRUE(SameValue(t, value)) << name << ": " << t.group << ":" << t.name << " is \""
                                     << value << "\", exiftool says \"" << t.value << "\"";
  }
  for (const auto& [key, field] : ours) {
    EXPECT_TRUE(theirs.count(key))
        << name << ": we list " << ToUtf8(key) << " which exiftool does not see";
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, OracleTest,
                         ::testing::Values("meta_full.jpg", "meta_full.tif", "dec_quad_o6.jpg",
                                           "tiff_be.tif", "tiff_multipage.tif",
                                           "tiff_jpeg_ycbcr.tif", "tiff_palette8.tif",
                                           "tiff_tiles_zip.tif", "tiff_cmyk16_tiles.tif",
                                           "tiff_bigtiff.tif", "read_meta_only.jpg",
                                           "read_huge.jpg"));

// exiftool's XMP and IPTC values of a file ("[XMP-dc] Title : text").
std::vector<Tag> ExiftoolXmpIptc(const std::string& file) {
  static const std::regex kLine(R"(^\[([A-Za-z0-9-]+)\]\s+(\S+)\s*: (.*)$)");
  return ExiftoolLines("-G1 -a -s -XMP:all -IPTC:all", file, kLine,
                       [](const std::smatch& m, Tag* t) {
                         // The toolkit is an attribute of the wrapper, not a property.
                         if (m[1] == "XMP-x") return false;
                         *t = {m[1], "-", m[2], m[3]};
                         return true;
                       });
}

class XmpIptcOracleTest : public ::testing::TestWithParam<const char*> {};

// Every XMP and IPTC value exiftool reads is one of ours, in the XMP or IPTC
// group; exiftool joins a list with ", ", which we list item by item (XMP)
// or joined with "; " (IPTC).
TEST_P(XmpIptcOracleTest, ValuesMatchExiftool) {
  const std::string name = GetParam();
  const std::wstring path = testing_support::Fixture(name);
  MetaDoc doc;
  ASSERT_TRUE(meta_load(path, &doc));
  std::map<std::string, bool> ours;
  for (const MetaField& f : doc.fields) {
    if (f.group == L"XMP" || f.group == L"IPTC and Photoshop") ours[ToUtf8(f.value)] = true;
  }
  const std::vector<Tag> tags = ExiftoolXmpIptc(platform::WideToUtf8(path));
  ASSERT_FALSE(tags.empty()) << "exiftool gave nothing for " << name;
  for (const Tag& t : tags) {
    if (ours.count(t.value)) continue;
    std::vector<std::string> parts;
    std::string joined;
    for (std::size_t at = 0;;) {
      const std::size_t comma = t.value.find(", ", at);
      parts.push_back(t.value.substr(at, comma == std::string::npos ? comma : comma - at));
      joined += (joined.empty() ? "" : "; ") + parts.back();
      if (comma == std::string::npos) break;
      at = comma + 2;
    }
    bool all = parts.size() > 1;
    for (const std::string& p : parts) all = all && ours.count(p);
    EXPECT_TRUE(all || ours.count(joined)) << name << ": exiftool's " << t.group << ":" << t.name
                                           << " \"" << t.value << "\" is not listed";
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, XmpIptcOracleTest,
                         ::testing::Values("meta_full.jpg", "read_meta_only.jpg",
                                           "read_ext_xmp.jpg", "read_odd_xmp.jpg",
                                           "read_iptc_split.jpg", "read_iptc_two.jpg",
                                           "read_two_app1.jpg", "read_xmp.gif",
                                           "read_raw_iptc.png"));

}  // namespace
#endif
