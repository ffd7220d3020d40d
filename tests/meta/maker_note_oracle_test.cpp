// Real camera files through the metadata save, judged by exiftool and exiv2:
// an edit (the artist, a long user comment, the location, an XMP text, the
// embedded thumbnail) changes what it edits and nothing else. The maker notes
// matter most: many makers count their inner offsets from the TIFF header, so
// a save that moves a maker note, or anything it points at, leaves it
// unreadable without any error of ours. Natively only (exiftool and exiv2 are
// Linux programs here).
//
// The files are the test images of the exiftool and exiv2 source packages
// that carry a maker note, cached outside the work tree by
// scripts/fetch-camera-samples.sh; NORVANE_CAMERA_SAMPLES names the folder.
// With Debian 12's packages that is 63 files, 407 bytes to 7.2 MB, whose
// maker notes exiftool reads as 18 makes: Apple, Canon, CIFF (Canon's older
// format), Casio, FLIR, FujiFilm, GE, JVC, Kodak, Minolta, Motorola, Nikon,
// Olympus, Panasonic, Pentax, Ricoh, Sanyo and Sigma; 8 of them have a
// location, 4 an XMP text the loader lists and 49 a thumbnail. meta_full.jpg
// of the fixtures runs every edit as well: it has no maker note, but it has
// every other block a JPEG carries (EXIF with a location, interoperability
// data and a thumbnail, XMP, IPTC, a comment, an ICC profile) in one small
// file. The test prints the makes, files and sizes it ran and the saves of
// each edit.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr char kArtist[] = "Norvane Tester";
constexpr wchar_t kArtistKey[] = L"/app1/ifd/{ushort=315}";
constexpr wchar_t kUserCommentKey[] = L"/app1/ifd/exif/{ushort=37510}";
constexpr std::uint16_t kVtLpstr = 30;
constexpr wchar_t kXmpPrefix[] = L"/xmp/";
constexpr wchar_t kThumbPrefix[] = L"/app1/thumb/";
// "Zo\u00EB \U0001F600 <&>": a letter outside ASCII, one outside the Basic
// Multilingual Plane (a surrogate pair in UTF-16) and the characters XML must
// escape.
constexpr char kXmpText[] = "Zo\xC3\xAB \xF0\x9F\x98\x80 <&>";
constexpr std::size_t kNone = std::string::npos;
// Lines of a report kept per side, so that one broken file does not bury the
// others.
constexpr std::size_t kShown = 12;

// About 600 characters: far more than the comment space cameras reserve
// (Canon's is 264 bytes), so the new value cannot be written where the old one
// was and has to go after the old data.
std::string LongComment() {
  std::string text;
  for (int i = 1; text.size() < 600; ++i) {
    text += "Line " + std::to_string(i) + " of a comment longer than the camera left room for. ";
  }
  text.resize(600);
  text.back() = '.';
  return text;
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Output {
  int status = -1;
  std::vector<std::string> lines;
};

// Runs a command with its error output joined to its output.
Output Shell(const std::string& cmd) {
  Output out;
  FILE* pipe = popen((cmd + " 2>&1").c_str(), "r");
  if (!pipe) return out;
  std::string line;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, pipe)) {
    line += buf;
    if (line.back() != '\n') continue;
    line.pop_back();
    out.lines.push_back(line);
    line.clear();
  }
  if (!line.empty()) out.lines.push_back(line);
  const int status = pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// A file's lines; none when it is missing (exiftool writes no file for a
// file it has nothing to say about).
std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// One line of "exiftool -a -G1 -s": "[Group]  Tag  : value".
struct Tag {
  std::string group, name, value;
};

// By hand rather than with a regular expression: some values are lists of
// thousands of numbers, too long for the standard library's recursive
// matcher.
bool ParseTag(const std::string& line, Tag* tag) {
  const std::size_t close = line.find(']');
  if (line.empty() || line[0] != '[' || close == std::string::npos || close < 2) return false;
  std::size_t at = line.find_first_not_of(' ', close + 1);
  if (at == std::string::npos || at == close + 1) return false;
  const std::size_t nameEnd = line.find_first_of(" :", at);
  if (nameEnd == std::string::npos || nameEnd == at) return false;
  const std::size_t colon = line.find_first_not_of(' ', nameEnd);
  if (colon == std::string::npos || line[colon] != ':') return false;
  std::size_t value = colon + 1;
  if (value < line.size() && line[value] == ' ') ++value;
  *tag = {line.substr(1, close - 1), line.substr(at, nameEnd - at), line.substr(value)};
  return true;
}

std::vector<Tag> Tags(const std::vector<std::string>& lines) {
  std::vector<Tag> tags;
  Tag t;
  for (const std::string& line : lines) {
    if (ParseTag(line, &t)) tags.push_back(t);
  }
  return tags;
}

bool Number(const std::string& text, std::uint64_t* out) {
  if (text.empty() || text.size() > 19 ||
      !std::all_of(text.begin(), text.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
    return false;
  }
  *out = std::stoull(text);
  return true;
}

// The one value of a tag, or false when it is missing or there are several.
bool OnlyValue(const std::vector<Tag>& tags, const std::string& group, const std::string& name,
               std::string* value) {
  int n = 0;
  for (const Tag& t : tags) {
    if (t.group == group && t.name == name && n++ == 0) *value = t.value;
  }
  return n == 1;
}

// The lines only in a and only in b, each line counted as often as it occurs
// (maker notes repeat tag names).
void Diff(std::vector<std::string> a, std::vector<std::string> b, std::vector<std::string>* onlyA,
          std::vector<std::string>* onlyB) {
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  onlyA->clear();
  onlyB->clear();
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(*onlyA));
  std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(*onlyB));
}

std::string Show(const std::vector<std::string>& lines) {
  std::ostringstream out;
  for (std::size_t i = 0; i < lines.size() && i < kShown; ++i) out << "\n      " << lines[i];
  if (lines.size() > kShown) out << "\n      ... " << lines.size() - kShown << " more";
  if (lines.empty()) out << " (none)";
  return out.str();
}

std::string ShowDiff(const std::vector<std::string>& before,
                     const std::vector<std::string>& after) {
  return "\n    before:" + Show(before) + "\n    after:" + Show(after);
}

// Walks the segments up to the first SOS marker and returns where that
// marker is; a marker-like pair inside a segment, such as in a thumbnail, is
// no marker. npos when the file does not have the shape. *exif is where the
// TIFF header of the first EXIF segment is, or npos.
std::size_t ScanStart(const std::vector<std::uint8_t>& b, std::size_t* exif = nullptr) {
  const std::size_t npos = std::string::npos;
  if (exif) *exif = npos;
  if (b.size() < 2 || b[0] != 0xFF || b[1] != 0xD8) return npos;
  static const std::uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
  std::size_t pos = 2;
  while (pos < b.size()) {
    if (b[pos] != 0xFF) return npos;
    while (pos < b.size() && b[pos] == 0xFF) ++pos;  // fill bytes
    if (pos >= b.size()) return npos;
    const std::uint8_t marker = b[pos];
    const std::size_t start = pos - 1;
    ++pos;
    if (marker == 0xDA) return start;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    if (marker == 0xD9 || b.size() - pos < 2) return npos;
    const std::size_t length = std::size_t{b[pos]} << 8 | b[pos + 1];
    if (length < 2 || length > b.size() - pos) return npos;
    if (exif && *exif == npos && marker == 0xE1 && length >= 8 &&
        std::equal(kExif, kExif + 6, b.begin() + static_cast<std::ptrdiff_t>(pos + 2))) {
      *exif = pos + 8;
    }
    pos += length;
  }
  return npos;
}

// exiftool's outputs for one file, written beside it by one batch run.
fs::path MakerNotesOut(const fs::path& file) {
  return file.parent_path() / (file.stem().string() + ".mn");
}
fs::path AllOut(const fs::path& file) {
  return file.parent_path() / (file.stem().string() + ".all");
}
fs::path ValidateOut(const fs::path& file) {
  return file.parent_path() / (file.stem().string() + ".val");
}

// One exiftool process for every file and all three readings: starting
// exiftool costs far more than reading one of these files.
void RunExiftool(const std::vector<fs::path>& files) {
  std::string cmd =
      "exiftool -q -a -G1 -s -n -MakerNotes:all -w! %d%f.mn"
      " -execute -q -a -G1 -s -n -w! %d%f.all"
      " -execute -q -validate -warning -a -w! %d%f.val -common_args";
  for (const fs::path& f : files) cmd += " " + Quote(f.string());
  Shell(cmd + " >/dev/null");
}

// exiv2's reading: the maker-note keys and the XMP properties with their
// values, and every line that is not a key (its warnings and errors), the
// file's path taken out.
struct Exiv2Reading {
  int status = -1;
  std::vector<std::string> makerNote;
  std::vector<std::string> xmp;
  std::vector<std::string> messages;
};

Exiv2Reading ReadWithExiv2(const fs::path& file) {
  static const std::set<std::string> kStandard = {"Image", "Photo", "GPSInfo", "Iop", "Thumbnail"};
  Exiv2Reading r;
  const Output out = Shell("exiv2 -PEXkyct " + Quote(file.string()));
  r.status = out.status;
  for (std::string line : out.lines) {
    for (std::size_t at; (at = line.find(file.string())) != std::string::npos;) {
      line.replace(at, file.string().size(), "FILE");
    }
    if (line.rfind("Exif.", 0) == 0) {
      const std::size_t dot = line.find('.', 5);
      if (dot != std::string::npos && !kStandard.count(line.substr(5, dot - 5))) {
        r.makerNote.push_back(line);
      }
    } else if (line.rfind("Xmp.", 0) == 0) {
      r.xmp.push_back(line);
    } else if (line.rfind("Iptc.", 0) != 0) {
      r.messages.push_back(line);
    }
  }
  return r;
}

// --- the edits ----------------------------------------------------------------

// An XMP field an edit changed, as its key names it ("/xmp/dc:title/x-default"
// is dc:title in the language x-default, "/xmp/dc:creator/{ulong=0}" the first
// item of dc:creator), and the exiftool tag that shows it, looked up in the
// reading of the original when the save is judged.
struct XmpChange {
  std::string prop;       // "dc:title"
  std::string qualifier;  // "x-default", "{ulong=0}" or empty
  std::size_t item = kNone;
  std::string oldValue;
  bool removed = false;  // else the value is now kXmpText
  std::string group, name;
};

// What an edit did that depends on the file: the XMP fields it chose.
struct Made {
  std::vector<XmpChange> xmp;
};

bool Always(const MetaDoc&) { return true; }

bool SetArtist(MetaDoc* doc, Made*, std::string* why) {
  for (MetaField& f : doc->fields) {
    if (f.key != kArtistKey || f.added) continue;
    if (!f.editable) {
      *why = "the file's Artist is listed but not editable";
      return false;
    }
    f.value = platform::Utf8ToWide(kArtist);
    return true;
  }
  for (const MetaPreset& p : kJpegPresets) {
    if (std::wstring(p.label) != L"Artist") continue;
    const std::int32_t at = meta_add(doc, p);
    if (at < 0) {
      *why = "meta_add refused the Artist preset";
      return false;
    }
    doc->fields[static_cast<std::size_t>(at)].value = platform::Utf8ToWide(kArtist);
    return true;
  }
  *why = "no Artist preset";
  return false;
}

bool SetUserComment(MetaDoc* doc, Made*, std::string* why) {
  const std::wstring text = platform::Utf8ToWide(LongComment());
  for (MetaField& f : doc->fields) {
    if (f.key != kUserCommentKey || f.added || !f.editable) continue;
    f.value = text;
    return true;
  }
  // A camera's comment is listed as binary data (it is UNDEFINED with a
  // character-code prefix), so the new one comes as a field of its own,
  // which the writer stores with the "ASCII" prefix.
  if (!doc->editable) {
    *why = "the file is not editable";
    return false;
  }
  MetaField f;
  f.key = kUserCommentKey;
  f.group = L"Description and credits";
  f.label = L"User comment";
  f.value = text;
  f.varType = kVtLpstr;
  f.editable = true;
  f.removable = true;
  f.added = true;
  doc->fields.push_back(f);
  return true;
}

bool HasGps(const MetaDoc& doc) {
  return std::any_of(doc.fields.begin(), doc.fields.end(),
                     [](const MetaField& f) { return f.group == L"GPS" && f.removable; });
}

bool RemoveGps(MetaDoc* doc, Made*, std::string* why) {
  if (!HasGps(*doc)) {
    *why = "no removable GPS field is listed";
    return false;
  }
  meta_remove_gps(doc);
  return true;
}

// A property with a value of its own, a language of one or an item of a
// list; a field of a structure or of a nested list is none.
bool SimpleXmp(const MetaField& f, XmpChange* c) {
  static const std::regex kProp(R"([A-Za-z_][\w.-]*:[A-Za-z_][\w.-]*)");
  static const std::regex kLanguage(R"([A-Za-z]{1,8}(-[A-Za-z0-9]{1,8})*)");
  static const std::regex kItem(R"(\{ulong=(\d{1,9})\})");
  if (f.added || !StartsWith(f.key, kXmpPrefix)) return false;
  const std::string path = ToUtf8(f.key.substr(std::wcslen(kXmpPrefix)));
  const std::size_t slash = path.find('/');
  c->prop = path.substr(0, slash);
  c->qualifier = slash == kNone ? "" : path.substr(slash + 1);
  c->item = kNone;
  c->oldValue = ToUtf8(f.value);
  std::smatch m;
  if (!std::regex_match(c->prop, kProp)) return false;
  if (std::regex_match(c->qualifier, m, kItem)) {
    c->item = std::stoul(m[1]);
    return true;
  }
  return c->qualifier.empty() || std::regex_match(c->qualifier, kLanguage);
}

// The first XMP field whose text can be changed, or -1. A number or a date
// (xmp:Rating, xmp:ModifyDate) is left alone: text there would break the
// property's type, which a reader would rightly report.
std::ptrdiff_t XmpTextField(const MetaDoc& doc) {
  XmpChange c;
  for (std::size_t i = 0; i < doc.fields.size(); ++i) {
    const MetaField& f = doc.fields[i];
    if (f.editable && SimpleXmp(f, &c) &&
        f.value.find_first_not_of(L"0123456789+-.:TZ ") != std::wstring::npos) {
      return static_cast<std::ptrdiff_t>(i);
    }
  }
  return -1;
}

bool HasXmpText(const MetaDoc& doc) { return XmpTextField(doc) >= 0; }

// Changes the first XMP text and removes one more XMP field: one of another
// property if there is one, so that exiftool shows each change in a tag of
// its own, else another item or language of the same.
bool ChangeXmp(MetaDoc* doc, Made* made, std::string* why) {
  const std::ptrdiff_t at = XmpTextField(*doc);
  if (at < 0) {
    *why = "no XMP text field is listed";
    return false;
  }
  MetaField& edited = doc->fields[static_cast<std::size_t>(at)];
  XmpChange change;
  SimpleXmp(edited, &change);
  edited.value = platform::Utf8ToWide(kXmpText);
  made->xmp.push_back(change);
  std::optional<std::size_t> removal;
  XmpChange c;
  for (std::size_t i = 0; i < doc->fields.size(); ++i) {
    MetaField& f = doc->fields[i];
    if (&f == &edited || !f.removable || !SimpleXmp(f, &c)) continue;
    if (c.prop != change.prop) {
      removal = i;
      break;
    }
    if (!removal) removal = i;
  }
  if (removal) {
    MetaField& f = doc->fields[*removal];
    SimpleXmp(f, &c);
    c.removed = true;
    f.removed = true;
    made->xmp.push_back(c);
  }
  return true;
}

bool HasThumbnail(const MetaDoc& doc) {
  return std::any_of(doc.fields.begin(), doc.fields.end(),
                     [](const MetaField& f) { return StartsWith(f.key, kThumbPrefix); });
}

bool RemoveThumbnail(MetaDoc* doc, Made*, std::string* why) {
  for (MetaField& f : doc->fields) {
    if (!StartsWith(f.key, kThumbPrefix)) continue;
    if (!f.removable) {
      *why = "the thumbnail's " + ToUtf8(f.key) + " is listed but not removable";
      return false;
    }
    f.removed = true;
  }
  return true;
}

bool ArtistTag(const Made&, const Tag& t) { return t.group == "IFD0" && t.name == "Artist"; }
bool CommentTag(const Made&, const Tag& t) {
  return t.group == "ExifIFD" && t.name == "UserComment";
}
bool GpsTag(const Made&, const Tag& t) {
  return t.group == "GPS" || (t.group == "Composite" && t.name.rfind("GPS", 0) == 0);
}
bool XmpTag(const Made& made, const Tag& t) {
  return std::any_of(made.xmp.begin(), made.xmp.end(),
                     [&](const XmpChange& c) { return c.group == t.group && c.name == t.name; });
}
bool ThumbnailTag(const Made&, const Tag& t) { return t.group == "IFD1"; }

// A save as the expectations see it: both readings and both files.
struct Saved {
  const Made& made;
  const std::vector<Tag>& before;
  const std::vector<Tag>& after;
  const std::vector<std::uint8_t>& bytesBefore;
  const std::vector<std::uint8_t>& bytesAfter;
};

// The edited tag as exiftool reads it after the save; empty when right. A
// result that is right but worth a word goes into *note.
std::string ExpectArtist(const Saved& s, std::string*) {
  std::string found;
  for (const Tag& t : s.after) {
    if (ArtistTag(s.made, t)) found += (found.empty() ? "" : ", ") + t.value;
  }
  return found == kArtist ? "" : "IFD0:Artist is \"" + found + "\", not \"" + kArtist + "\"";
}

std::string ExpectComment(const Saved& s, std::string*) {
  std::string found;
  for (const Tag& t : s.after) {
    if (CommentTag(s.made, t)) found += (found.empty() ? "" : ", ") + t.value;
  }
  return found == LongComment() ? "" : "ExifIFD:UserComment is \"" + found + "\"";
}

std::string ExpectNoGps(const Saved& s, std::string*) {
  std::string left;
  for (const Tag& t : s.after) {
    if (GpsTag(s.made, t)) left += " " + t.group + ":" + t.name;
  }
  return left.empty() ? "" : "GPS tags left after the removal:" + left;
}

// exiftool writes the items of a list on one line, joined by ", ".
std::vector<std::string> Items(const std::string& value) {
  std::vector<std::string> items;
  for (std::size_t from = 0;;) {
    const std::size_t comma = value.find(", ", from);
    items.push_back(value.substr(from, comma - from));
    if (comma == kNone) return items;
    from = comma + 2;
  }
}

// exiftool names an XMP tag after the property with its first letter in
// capitals and a language other than x-default after a hyphen
// (dc:title/en-GB is XMP-dc:Title-en-GB), in a group named after the prefix.
// Some properties it knows by another name (exif:PixelXDimension is
// ExifImageWidth); then the one tag of the group that holds the old value is
// it. Empty when found, else why not.
std::string FindXmpTags(Made* made, const std::vector<Tag>& before) {
  for (XmpChange& c : made->xmp) {
    const std::size_t colon = c.prop.find(':');
    std::string local = c.prop.substr(colon + 1);
    local[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(local[0])));
    c.group = "XMP-" + c.prop.substr(0, colon);
    c.name = local;
    if (c.item == kNone && !c.qualifier.empty() && c.qualifier != "x-default") {
      c.name += "-" + c.qualifier;
    }
    auto holds = [&c](const std::string& value) {
      if (c.item == kNone) return value == c.oldValue;
      const std::vector<std::string> items = Items(value);
      return c.item < items.size() && items[c.item] == c.oldValue;
    };
    std::string value;
    if (OnlyValue(before, c.group, c.name, &value) && holds(value)) continue;
    std::vector<std::string> names;
    for (const Tag& t : before) {
      if (t.group == c.group && holds(t.value)) names.push_back(t.name);
    }
    if (names.size() != 1) {
      return "exiftool shows no one tag of " + c.group + " that holds " + c.prop + " " +
             c.qualifier + " \"" + c.oldValue + "\"";
    }
    c.name = names[0];
  }
  return "";
}

// Each changed tag holds the new text where the edited field was, and lacks
// the removed field; a tag left with nothing is gone.
std::string ExpectXmp(const Saved& s, std::string*) {
  std::map<std::pair<std::string, std::string>, std::vector<std::optional<std::string>>> want;
  for (const XmpChange& c : s.made.xmp) {
    auto [it, fresh] = want.try_emplace({c.group, c.name});
    std::vector<std::optional<std::string>>& items = it->second;
    if (fresh) {
      std::string value;
      OnlyValue(s.before, c.group, c.name, &value);
      if (c.item == kNone) {
        items.push_back(value);
      } else {
        for (const std::string& item : Items(value)) items.push_back(item);
      }
    }
    const std::optional<std::string> now =
        c.removed ? std::nullopt : std::optional<std::string>(kXmpText);
    if (c.item == kNone) {
      items.assign(1, now);
    } else if (c.item < items.size()) {
      items[c.item] = now;
    }
  }
  std::string wrong;
  for (const auto& [tag, items] : want) {
    std::string expected, found;
    int n = 0;
    for (const std::optional<std::string>& item : items) {
      if (item) expected += (n++ ? ", " : "") + *item;
    }
    int m = 0;
    for (const Tag& t : s.after) {
      if (t.group == tag.first && t.name == tag.second) found += (m++ ? " | " : "") + t.value;
    }
    if (n == 0 && m > 0) {
      wrong += tag.first + ":" + tag.second + " is still there: \"" + found + "\"; ";
    } else if (n > 0 && (m != 1 || found != expected)) {
      wrong += tag.first + ":" + tag.second + " is \"" + found + "\", not \"" + expected + "\"; ";
    }
  }
  return wrong;
}

// Where the thumbnail's bytes are in the original, from the start of the
// file as exiftool gives them: a JPEG thumbnail, or the strips of an
// uncompressed one.
std::vector<std::pair<std::uint64_t, std::uint64_t>> ThumbnailBytes(const std::vector<Tag>& tags) {
  static const std::pair<const char*, const char*> kPlaces[] = {
      {"ThumbnailOffset", "ThumbnailLength"},
      {"StripOffsets", "StripByteCounts"},
  };
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (const auto& [place, size] : kPlaces) {
    std::string places, sizes;
    if (!OnlyValue(tags, "IFD1", place, &places) || !OnlyValue(tags, "IFD1", size, &sizes)) {
      continue;
    }
    std::istringstream p(places), n(sizes);
    for (std::string at, count; p >> at && n >> count;) {
      std::uint64_t from = 0, length = 0;
      if (Number(at, &from) && Number(count, &length)) ranges.emplace_back(from, length);
    }
  }
  return ranges;
}

// Where the EXIF segment ends in a file, or 0.
std::size_t ExifEnd(const std::vector<std::uint8_t>& b) {
  std::size_t tiff = 0;
  if (ScanStart(b, &tiff) == std::string::npos || tiff == std::string::npos) return 0;
  return tiff - 8 + (std::size_t{b[tiff - 8]} << 8 | b[tiff - 7]);
}

// The thumbnail's directory and bytes are gone. They are cut out, so the
// file shrinks, unless data follows them in the EXIF segment that no
// standard directory points at: a maker note may count its offsets to it
// from the TIFF header (the previews of Casio, Nikon and Pentax lie right
// after the thumbnail), so it must not move, and the thumbnail is zeroed in
// place instead.
std::string ExpectNoThumbnail(const Saved& s, std::string* note) {
  std::string wrong;
  for (const Tag& t : s.after) {
    if (t.group == "IFD1") wrong += " IFD1:" + t.name;
  }
  if (!wrong.empty()) wrong = "thumbnail tags left after the removal:" + wrong + "; ";
  const std::vector<std::uint8_t>& a = s.bytesBefore;
  const std::vector<std::uint8_t>& b = s.bytesAfter;
  bool zeroed = a.size() == b.size();
  std::uint64_t total = 0, end = 0;
  for (const auto& [from, length] : ThumbnailBytes(s.before)) {
    if (from > a.size() || length > a.size() - from) continue;
    const auto first = a.begin() + static_cast<std::ptrdiff_t>(from);
    const auto last = first + static_cast<std::ptrdiff_t>(length);
    total += length;
    end = std::max(end, from + length);
    zeroed = zeroed && std::all_of(b.begin() + static_cast<std::ptrdiff_t>(from),
                                   b.begin() + static_cast<std::ptrdiff_t>(from + length),
                                   [](std::uint8_t x) { return x == 0; });
    // A few bytes, or bytes all alike, may well be found elsewhere.
    if (length < 16 || std::all_of(first, last, [&](std::uint8_t x) { return x == *first; })) {
      continue;
    }
    const auto found =
        std::search(b.begin(), b.end(), std::boyer_moore_horspool_searcher(first, last));
    if (found != b.end()) {
      wrong += "the thumbnail's " + std::to_string(length) + " bytes at " + std::to_string(from) +
               " are still in the file, at " + std::to_string(found - b.begin()) + "; ";
    }
  }
  if (b.size() < a.size()) return wrong;
  const std::size_t exifEnd = ExifEnd(a);
  if (zeroed && total > 0 && exifEnd > end) {
    *note = "the thumbnail's " + std::to_string(total) + " bytes were zeroed in place; the " +
            std::to_string(exifEnd - end) + " bytes of EXIF data after them stay where they were";
    return wrong;
  }
  return wrong + "the file did not shrink (" + std::to_string(a.size()) + " bytes before, " +
         std::to_string(b.size()) + " after)";
}

struct Edit {
  const char* name;
  bool (*runs)(const MetaDoc&);  // the files it runs on: those with what it edits
  bool (*apply)(MetaDoc*, Made*, std::string*);
  bool (*changes)(const Made&, const Tag&);  // a tag the edit may change
  std::string (*expect)(const Saved&, std::string* note);
  bool gpsOnly;  // only files that have a location
};

const Edit kEdits[] = {
    {"artist", Always, SetArtist, ArtistTag, ExpectArtist, false},
    {"comment", Always, SetUserComment, CommentTag, ExpectComment, false},
    {"gps", HasGps, RemoveGps, GpsTag, ExpectNoGps, true},
    {"xmp", HasXmpText, ChangeXmp, XmpTag, ExpectXmp, false},
    {"thumbnail", HasThumbnail, RemoveThumbnail, ThumbnailTag, ExpectNoThumbnail, false},
};

// Tags any save may change: facts about the file rather than its contents,
// and the record of a maker note that moved because the block was rebuilt.
bool FileFact(const Tag& t) {
  return t.group == "System" || (t.group == "ExifIFD" && t.name == "OffsetSchema");
}

// --- the run ------------------------------------------------------------------

struct Sample {
  std::string name;
  fs::path original;
  std::uintmax_t size = 0;
  std::string make;  // the maker note's exiftool group: Canon, Nikon, ...
  std::string cameraMake;
  bool camera = true;  // else the fixture, which has no maker note
};

struct Case {
  const Sample* sample;
  const Edit* edit;
  fs::path before, after;
  Made made;
};

std::string Label(const Case& c) {
  return c.sample->name + " (" + (c.sample->camera ? c.sample->make : "fixture") + "), " +
         c.edit->name + ": ";
}

// exiftool gives the places of embedded pictures (ThumbnailOffset,
// PreviewImageStart, MPImageStart, ...) from the start of the file, so they
// change whenever a segment before them changes size or place, with nothing
// wrong. Such a change is taken out of the differences when the same bytes,
// as many as the matching ...Length tag says, are at the new place; for a
// length of 0 there is nothing to compare, and the place must have moved
// exactly as far as the EXIF data did (its value in the file is the same).
void TakeOutMoved(const Case& c, const std::vector<Tag>& tagsBefore,
                  const std::vector<Tag>& tagsAfter, std::vector<std::string>* onlyBefore,
                  std::vector<std::string>* onlyAfter, std::set<std::string>* notes) {
  const std::vector<std::uint8_t> a = testing_support::ReadBytes(c.before.wstring());
  const std::vector<std::uint8_t> b = testing_support::ReadBytes(c.after.wstring());
  std::size_t exifA = 0, exifB = 0;
  ScanStart(a, &exifA);
  ScanStart(b, &exifB);
  Tag t, u;
  for (auto it = onlyBefore->begin(); it != onlyBefore->end();) {
    std::string lengthName;
    if (ParseTag(*it, &t)) {
      for (const char* suffix : {"Offset", "Start"}) {
        const std::string sfx(suffix);
        if (t.name.size() > sfx.size() &&
            t.name.compare(t.name.size() - sfx.size(), sfx.size(), sfx) == 0) {
          lengthName = t.name.substr(0, t.name.size() - sfx.size()) + "Length";
        }
      }
    }
    std::string oldText, newText, lengthBefore, lengthAfter;
    std::uint64_t from = 0, to = 0, length = 0;
    auto match = onlyAfter->end();
    int matches = 0;
    for (auto jt = onlyAfter->begin(); jt != onlyAfter->end(); ++jt) {
      if (ParseTag(*jt, &u) && u.group == t.group && u.name == t.name && matches++ == 0) {
        match = jt;
      }
    }
    const bool known =
        !lengthName.empty() && matches == 1 && OnlyValue(tagsBefore, t.group, t.name, &oldText) &&
        OnlyValue(tagsAfter, t.group, t.name, &newText) &&
        OnlyValue(tagsBefore, t.group, lengthName, &lengthBefore) &&
        OnlyValue(tagsAfter, t.group, lengthName, &lengthAfter) && lengthBefore == lengthAfter &&
        Number(oldText, &from) && Number(newText, &to) && Number(lengthBefore, &length);
    // A position that pointed past the end of the file before and still does
    // addresses nothing either way.
    const bool dangling = known && length > 0 && (from > a.size() || length > a.size() - from) &&
                          (to > b.size() || length > b.size() - to);
    const bool moved =
        known && !dangling &&
        (length == 0 ? exifA != std::string::npos && exifB != std::string::npos &&
                           to - from == exifB - exifA
                     : from <= a.size() && length <= a.size() - from && to <= b.size() &&
                           length <= b.size() - to &&
                           std::equal(a.begin() + static_cast<std::ptrdiff_t>(from),
                                      a.begin() + static_cast<std::ptrdiff_t>(from + length),
                                      b.begin() + static_cast<std::ptrdiff_t>(to)));
    if (!moved && !dangling) {
      ++it;
      continue;
    }
    notes->insert(Label(c) + t.group + ":" + t.name + " " + oldText + " -> " + newText + " (" +
                  lengthBefore + " bytes" +
                  (dangling ? ", past the end of the file before and after)"
                   : length ? ", the same at the new place)"
                            : ", moved with the EXIF data)"));
    onlyAfter->erase(match);
    it = onlyBefore->erase(it);
  }
}

// Directories the file did not have, which an edit may create: "IFD0" and
// "ExifIFD" for a file without EXIF data, "ExifIFD" for one whose EXIF data
// has no such directory.
std::set<std::string> Groups(const std::vector<Tag>& tags) {
  std::set<std::string> groups;
  for (const Tag& t : tags) groups.insert(t.group);
  return groups;
}

// Which changed lines of the full reading the edit does not explain.
std::vector<std::string> Unexplained(const std::vector<std::string>& lines, const Case& c,
                                     bool hadExif) {
  std::vector<std::string> out;
  Tag t;
  for (const std::string& line : lines) {
    // Warnings are judged by the validation below: one that goes away (an
    // entry with a broken type that an edit replaced) is no damage.
    if (ParseTag(line, &t) && (FileFact(t) || c.edit->changes(c.made, t) ||
                               (t.group == "ExifTool" && t.name == "Warning") ||
                               (!hadExif && t.group == "File" && t.name == "ExifByteOrder"))) {
      continue;
    }
    out.push_back(line);
  }
  return out;
}

// exiv2 names an XMP property by its prefix and name: dc:title is
// Xmp.dc.title, one line for all its languages or items.
std::string Exiv2Key(const XmpChange& x) {
  const std::size_t colon = x.prop.find(':');
  return "Xmp." + x.prop.substr(0, colon) + "." + x.prop.substr(colon + 1);
}

std::string KeyOf(const std::string& line) { return line.substr(0, line.find(' ')); }

// The sub-directories of an EXIF block as exiftool and exiv2 name them and
// the entry that points at each.
struct SubDirectory {
  const char* exiftool;
  const char* exiftoolPointer;
  const char* exiv2;
  const char* exiv2Pointer;
};

const SubDirectory kSubDirectories[] = {
    {"ExifIFD", "ExifOffset", "Photo", "0x8769"},
    {"GPS", "GPSInfo", "GPSInfo", "0x8825"},
    {"InteropIFD", "InteropOffset", "Iop", "0xa005"},
};

// The directory a pointer leads to, or null.
const SubDirectory* PointedAt(const std::string& pointer) {
  for (const SubDirectory& d : kSubDirectories) {
    if (pointer == d.exiftoolPointer || pointer == d.exiv2Pointer) return &d;
  }
  return nullptr;
}

void CheckCase(Case c, std::set<std::string>* notes) {
  const std::string label = Label(c);
  std::vector<std::string> onlyBefore, onlyAfter;
  const std::vector<std::string> allBefore = ReadLines(AllOut(c.before));
  const std::vector<std::string> allAfter = ReadLines(AllOut(c.after));
  const std::vector<Tag> tagsBefore = Tags(allBefore), tagsAfter = Tags(allAfter);
  const std::set<std::string> groupsBefore = Groups(tagsBefore);
  const std::string unknown = FindXmpTags(&c.made, tagsBefore);
  EXPECT_EQ(unknown, "") << label << unknown;

  // Maker notes exactly as they were.
  Diff(ReadLines(MakerNotesOut(c.before)), ReadLines(MakerNotesOut(c.after)), &onlyBefore,
       &onlyAfter);
  TakeOutMoved(c, tagsBefore, tagsAfter, &onlyBefore, &onlyAfter, notes);
  EXPECT_TRUE(onlyBefore.empty() && onlyAfter.empty())
      << label << "the maker notes read differently" << ShowDiff(onlyBefore, onlyAfter);

  // Everything else: only the edited tags differ, and they hold the new value.
  EXPECT_FALSE(allAfter.empty()) << label << "exiftool read nothing from the saved file";
  Diff(allBefore, allAfter, &onlyBefore, &onlyAfter);
  TakeOutMoved(c, tagsBefore, tagsAfter, &onlyBefore, &onlyAfter, notes);
  const bool hadExif = groupsBefore.count("IFD0") > 0;
  const std::vector<std::string> lost = Unexplained(onlyBefore, c, hadExif);
  const std::vector<std::string> gained = Unexplained(onlyAfter, c, hadExif);
  EXPECT_TRUE(lost.empty() && gained.empty())
      << label << "tags the edit did not touch changed" << ShowDiff(lost, gained);
  const std::vector<std::uint8_t> a = testing_support::ReadBytes(c.before.wstring());
  const std::vector<std::uint8_t> b = testing_support::ReadBytes(c.after.wstring());
  std::string note;
  const std::string wrong = c.edit->expect({c.made, tagsBefore, tagsAfter, a, b}, &note);
  EXPECT_EQ(wrong, "") << label << wrong;
  if (!note.empty()) notes->insert(label + note);
  std::string schema;
  if (OnlyValue(tagsAfter, "ExifIFD", "OffsetSchema", &schema) &&
      !OnlyValue(tagsBefore, "ExifIFD", "OffsetSchema", &schema)) {
    notes->insert(label + "the block was rebuilt; the maker note moved by " + schema);
  }

  // No warning the original did not have. A directory the edit had to
  // create holds only what was edited, and exiftool names the tags a camera
  // would have put there; that is no damage.
  auto warnings = [](const fs::path& file) {
    std::vector<std::string> w;
    for (const std::string& line : ReadLines(ValidateOut(file))) {
      if (line.rfind("Warning", 0) == 0) w.push_back(line);
    }
    return w;
  };
  Diff(warnings(c.before), warnings(c.after), &onlyBefore, &onlyAfter);
  static const std::regex kMissing(R"(.*: Missing required JPEG (\S+) tag .*)");
  // A trailer of concatenated files (AFCP) records absolute file offsets,
  // which no metadata segment edit keeps; exiftool adjusts them itself.
  static const std::regex kTrailer(R"(.*: \[minor\] Adjusted AFCP offsets by -?\d+)");
  // A directory the original already has broken (a wrong type, entries past
  // the end, a pointer into the middle of other data) may be reported
  // differently once the data around it moved, or once the data its pointer
  // led into is removed: one Kodak sample's interop pointer leads into its
  // thumbnail, and past the end of the block once that is cut out. It is
  // unreadable either way.
  static const std::regex kDirectory(R"(.* for (IFD\d|ExifIFD|GPS|InteropIFD)\b.*)");
  static const std::regex kBadDirectory(R"(.*: Bad (\w+) directory)");
  static const std::regex kBadPointer(R"(.*: Bad (\w+) SubDirectory start)");
  std::set<std::string> brokenBefore;
  for (const std::string& w : warnings(c.before)) {
    std::smatch m;
    if ((std::regex_match(w, m, kDirectory) || std::regex_match(w, m, kBadDirectory)) &&
        w.find("[minor]") == std::string::npos) {
      brokenBefore.insert(m[1]);
    }
  }
  std::vector<std::string> newWarnings;
  for (const std::string& w : onlyAfter) {
    std::smatch m;
    if (std::regex_match(w, m, kMissing) && !groupsBefore.count(m[1])) {
      notes->insert(label + "the edit created " + std::string(m[1]) +
                    ", which has only the edited tags");
      continue;
    }
    if (std::regex_match(w, kTrailer)) {
      notes->insert(label + "the AFCP trailer's absolute offsets were not updated");
      continue;
    }
    if (std::regex_match(w, m, kDirectory) && brokenBefore.count(m[1])) {
      notes->insert(label + std::string(m[1]) + " was already broken: " + w);
      continue;
    }
    const SubDirectory* d = nullptr;
    if (std::regex_match(w, m, kBadPointer) && (d = PointedAt(m[1])) &&
        brokenBefore.count(d->exiftool)) {
      notes->insert(label + d->exiftool + " was already broken: " + w);
      continue;
    }
    newWarnings.push_back(w);
  }
  EXPECT_TRUE(newWarnings.empty())
      << label << "exiftool -validate has new warnings" << ShowDiff(onlyBefore, newWarnings);

  // exiv2 reads it as before, maker notes included.
  const Exiv2Reading e2Before = ReadWithExiv2(c.before);
  const Exiv2Reading e2After = ReadWithExiv2(c.after);
  EXPECT_FALSE(e2Before.status == 0 && e2After.status != 0)
      << label << "exiv2 failed on the saved file (status " << e2After.status << ")"
      << Show(e2After.messages);
  static const std::regex kInvalid(
      R"(Error: Directory (\w+) with \d+ entries considered invalid; not read\.)");
  static const std::regex kOutside(
      R"(Error: Directory \w+, entry (0x[0-9a-f]{4}) Sub-IFD pointer \d+ is out of bounds; .*)");
  std::set<std::string> invalidBefore;
  for (const std::string& line : e2Before.messages) {
    std::smatch m;
    if (std::regex_match(line, m, kInvalid)) invalidBefore.insert(m[1]);
  }
  Diff(e2Before.messages, e2After.messages, &onlyBefore, &onlyAfter);
  std::vector<std::string> complaints;
  for (const std::string& line : onlyAfter) {
    std::smatch m;
    const SubDirectory* d = nullptr;
    if (std::regex_match(line, m, kOutside) && (d = PointedAt(m[1])) &&
        invalidBefore.count(d->exiv2)) {
      notes->insert(label + d->exiftool + " was already broken: " + line);
      continue;
    }
    complaints.push_back(line);
  }
  EXPECT_TRUE(complaints.empty()) << label << "exiv2 has new complaints"
                                  << ShowDiff(onlyBefore, complaints);
  Diff(e2Before.makerNote, e2After.makerNote, &onlyBefore, &onlyAfter);
  EXPECT_TRUE(onlyBefore.empty() && onlyAfter.empty())
      << label << "exiv2 reads the maker notes differently" << ShowDiff(onlyBefore, onlyAfter);

  // exiv2 reads the XMP properties the edit did not touch as before, and the
  // new text where the edit put it.
  std::set<std::string> xmpKeys;
  for (const XmpChange& x : c.made.xmp) xmpKeys.insert(Exiv2Key(x));
  auto untouched = [&xmpKeys](const std::vector<std::string>& lines) {
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
      if (!xmpKeys.count(KeyOf(line))) kept.push_back(line);
    }
    return kept;
  };
  Diff(untouched(e2Before.xmp), untouched(e2After.xmp), &onlyBefore, &onlyAfter);
  EXPECT_TRUE(onlyBefore.empty() && onlyAfter.empty())
      << label << "exiv2 reads other XMP properties differently" << ShowDiff(onlyBefore, onlyAfter);
  for (const XmpChange& x : c.made.xmp) {
    const std::string key = Exiv2Key(x);
    const bool shown = std::any_of(e2After.xmp.begin(), e2After.xmp.end(), [&](const auto& line) {
      return KeyOf(line) == key && line.find(kXmpText) != std::string::npos;
    });
    const bool present = std::any_of(e2After.xmp.begin(), e2After.xmp.end(),
                                     [&](const auto& line) { return KeyOf(line) == key; });
    if (!x.removed) {
      EXPECT_TRUE(shown) << label << "exiv2 does not read the new text in " << key
                         << Show(e2After.xmp);
    } else if (x.qualifier.empty()) {
      EXPECT_FALSE(present) << label << "exiv2 still reads the removed " << key;
    }
  }

  // The picture itself: every byte from the scan on.
  const std::size_t sa = ScanStart(a), sb = ScanStart(b);
  ASSERT_NE(sa, std::string::npos) << label << "no scan found in the original";
  ASSERT_NE(sb, std::string::npos) << label << "no scan found in the saved file";
  const std::size_t n = a.size() - sa;
  if (b.size() - sb != n || !std::equal(a.begin() + static_cast<std::ptrdiff_t>(sa), a.end(),
                                        b.begin() + static_cast<std::ptrdiff_t>(sb))) {
    std::size_t i = 0;
    while (i < n && sb + i < b.size() && a[sa + i] == b[sb + i]) ++i;
    ADD_FAILURE() << label << "the bytes from the scan on differ: " << n << " bytes at 0x"
                  << std::hex << sa << " before, " << std::dec << b.size() - sb << " bytes at 0x"
                  << std::hex << sb << " after; first difference " << std::dec << i << " bytes in";
  }
}

std::string FirstMakerNoteGroup(const fs::path& file) {
  Tag t;
  for (const std::string& line : ReadLines(MakerNotesOut(file))) {
    if (ParseTag(line, &t)) return t.group;
  }
  return "";
}

std::string CameraMake(const fs::path& file) {
  for (const Tag& t : Tags(ReadLines(AllOut(file)))) {
    if (t.group == "IFD0" && t.name == "Make") return t.value;
  }
  return "";
}

TEST(MakerNoteOracle, EditsKeepMakerNotesAndUntouchedTags) {
  const char* env = std::getenv("NORVANE_CAMERA_SAMPLES");
  if (!env || !*env) {
    GTEST_SKIP() << "NORVANE_CAMERA_SAMPLES is not set: scripts/fetch-camera-samples.sh "
                    "fills a folder of camera JPEGs and prints it";
  }
  std::vector<fs::path> files;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(env, ec)) {
    if (e.is_regular_file() && e.path().filename().string()[0] != '.') files.push_back(e.path());
  }
  ASSERT_FALSE(ec) << env << ": " << ec.message();
  ASSERT_FALSE(files.empty()) << "no samples in " << env;
  std::sort(files.begin(), files.end());
  const std::size_t cameraFiles = files.size();
  files.push_back(fs::path(testing_support::Fixture("meta_full.jpg")));

  const fs::path scratch(testing_support::ScratchDir("maker_note_oracle"));
  fs::create_directories(scratch / "original");
  for (const Edit& e : kEdits) fs::create_directories(scratch / e.name);

  std::vector<Sample> samples;
  for (const fs::path& f : files) {
    Sample s;
    s.name = f.filename().string();
    s.original = scratch / "original" / s.name;
    fs::copy_file(f, s.original, fs::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << s.name << ": " << ec.message();
    s.size = fs::file_size(s.original);
    s.camera = samples.size() < cameraFiles;
    samples.push_back(s);
  }

  // Location removal runs on the files that have one. Should no camera sample
  // have one, a location is added with exiftool to copies of them first.
  std::map<std::string, fs::path> gpsSource;
  bool cameraGps = false;
  for (const Sample& s : samples) {
    MetaDoc doc;
    if (meta_load(s.original.wstring(), &doc) && HasGps(doc)) {
      gpsSource[s.name] = s.original;
      cameraGps = cameraGps || s.camera;
    }
  }
  if (!cameraGps) {
    fs::create_directories(scratch / "with-gps");
    std::string cmd =
        "exiftool -q -overwrite_original -GPSLatitude=52.5163 -GPSLatitudeRef=N "
        "-GPSLongitude=13.3777 -GPSLongitudeRef=E -GPSAltitude=34 -GPSAltitudeRef=0";
    for (const Sample& s : samples) {
      if (!s.camera) continue;
      const fs::path copy = scratch / "with-gps" / s.name;
      fs::copy_file(s.original, copy, fs::copy_options::overwrite_existing, ec);
      cmd += " " + Quote(copy.string());
      gpsSource[s.name] = copy;
    }
    Shell(cmd);
    std::cout << "  no camera sample has a location; exiftool added one to copies\n";
  }

  // Every edit is a save of its own, from a fresh load of a fresh copy, on
  // the files that have what it edits.
  std::vector<Case> cases;
  for (const Sample& s : samples) {
    for (const Edit& e : kEdits) {
      Case c{&s, &e, s.original, scratch / e.name / s.name, Made()};
      if (e.gpsOnly) {
        auto it = gpsSource.find(s.name);
        if (it == gpsSource.end()) continue;
        c.before = it->second;
      }
      fs::copy_file(c.before, c.after, fs::copy_options::overwrite_existing, ec);
      ASSERT_FALSE(ec) << s.name << ": " << ec.message();
      MetaDoc doc;
      if (!meta_load(c.after.wstring(), &doc)) {
        ADD_FAILURE() << Label(c) << "meta_load failed: " << ToUtf8(doc.note);
        continue;
      }
      if (!e.runs(doc)) {
        fs::remove(c.after, ec);
        continue;
      }
      std::string why;
      if (!e.apply(&doc, &c.made, &why)) {
        ADD_FAILURE() << Label(c) << "the edit could not be made: " << why;
        continue;
      }
      wchar_t err[512] = {};
      if (!meta_save(doc, err, 512)) {
        ADD_FAILURE() << Label(c) << "meta_save failed: " << ToUtf8(err);
        continue;
      }
      cases.push_back(c);
    }
  }

  std::vector<fs::path> read;
  for (const Sample& s : samples) read.push_back(s.original);
  for (const auto& [name, path] : gpsSource) {
    if (path != scratch / "original" / name) read.push_back(path);
  }
  for (const Case& c : cases) read.push_back(c.after);
  RunExiftool(read);

  for (Sample& s : samples) {
    s.make = FirstMakerNoteGroup(s.original);
    s.cameraMake = CameraMake(s.original);
    if (s.camera) {
      EXPECT_FALSE(s.make.empty()) << s.name << ": exiftool finds no maker note in the original";
    }
  }
  std::set<std::string> notes;
  for (const Case& c : cases) CheckCase(c, &notes);
  for (const std::string& note : notes) std::cout << "  note: " << note << "\n";

  // What ran, for the log: saves of each edit, makes, files and sizes.
  std::map<std::string, std::vector<const Sample*>> byMake;
  for (const Case& c : cases) {
    if (!c.sample->camera) continue;
    auto& list = byMake[c.sample->make];
    if (std::find(list.begin(), list.end(), c.sample) == list.end()) list.push_back(c.sample);
  }
  std::string perEdit;
  for (const Edit& e : kEdits) {
    const auto n =
        std::count_if(cases.begin(), cases.end(), [&e](const Case& c) { return c.edit == &e; });
    perEdit += (perEdit.empty() ? "" : ", ") + std::string(e.name) + " " + std::to_string(n);
    EXPECT_GT(n, 0) << "no " << e.name << " save was checked";
  }
  std::cout << "  " << cases.size() << " saves checked (" << perEdit << ") on " << cameraFiles
            << " camera samples of " << byMake.size() << " makes and the fixture:\n";
  for (const auto& [make, list] : byMake) {
    std::cout << "    " << make << ":";
    for (const Sample* s : list) {
      std::cout << " " << s->name << " (" << s->cameraMake << ", " << s->size << " bytes)";
    }
    std::cout << "\n";
  }
  for (const Sample& s : samples) {
    if (!s.camera) std::cout << "    fixture: " << s.name << " (" << s.size << " bytes)\n";
  }
  EXPECT_GE(byMake.size(), 5u) << "maker notes of at least five makes must go through a save";
}

}  // namespace
#endif
