// Real camera files through the metadata save, judged by exiftool and exiv2:
// an edit of one tag (the artist, a long user comment, the location) changes
// that tag and nothing else. The maker notes matter most: many makers count
// their inner offsets from the TIFF header, so a save that moves a maker note,
// or anything it points at, leaves it unreadable without any error of ours.
// Natively only (exiftool and exiv2 are Linux programs here).
//
// The files are the test images of the exiftool and exiv2 source packages
// that carry a maker note, cached outside the work tree by
// scripts/fetch-camera-samples.sh; NORVANE_CAMERA_SAMPLES names the folder.
// With Debian 12's packages that is 63 files, 407 bytes to 7.2 MB, whose
// maker notes exiftool reads as 18 makes: Apple, Canon, CIFF (Canon's older
// format), Casio, FLIR, FujiFilm, GE, JVC, Kodak, Minolta, Motorola, Nikon,
// Olympus, Panasonic, Pentax, Ricoh, Sanyo and Sigma; 8 of them have a
// location. The test prints the makes, files and sizes it ran.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
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

// exiv2's reading: the maker-note keys with their values, and every line
// that is not a key (its warnings and errors), the file's path taken out.
struct Exiv2Reading {
  int status = -1;
  std::vector<std::string> makerNote;
  std::vector<std::string> messages;
};

Exiv2Reading ReadWithExiv2(const fs::path& file) {
  static const std::set<std::string> kStandard = {"Image", "Photo", "GPSInfo", "Iop", "Thumbnail"};
  Exiv2Reading r;
  const Output out = Shell("exiv2 -PEkyct " + Quote(file.string()));
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
    } else if (line.rfind("Iptc.", 0) != 0 && line.rfind("Xmp.", 0) != 0) {
      r.messages.push_back(line);
    }
  }
  return r;
}

// --- the edits ----------------------------------------------------------------

bool SetArtist(MetaDoc* doc, std::string* why) {
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

bool SetUserComment(MetaDoc* doc, std::string* why) {
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

bool RemoveGps(MetaDoc* doc, std::string* why) {
  if (!HasGps(*doc)) {
    *why = "no removable GPS field is listed";
    return false;
  }
  meta_remove_gps(doc);
  return true;
}

bool ArtistTag(const Tag& t) { return t.group == "IFD0" && t.name == "Artist"; }
bool CommentTag(const Tag& t) { return t.group == "ExifIFD" && t.name == "UserComment"; }
bool GpsTag(const Tag& t) {
  return t.group == "GPS" || (t.group == "Composite" && t.name.rfind("GPS", 0) == 0);
}

// The edited tag as exiftool reads it after the save; empty when right.
std::string ExpectArtist(const std::vector<Tag>& after) {
  std::string found;
  for (const Tag& t : after) {
    if (ArtistTag(t)) found += (found.empty() ? "" : ", ") + t.value;
  }
  return found == kArtist ? "" : "IFD0:Artist is \"" + found + "\", not \"" + kArtist + "\"";
}

std::string ExpectComment(const std::vector<Tag>& after) {
  std::string found;
  for (const Tag& t : after) {
    if (CommentTag(t)) found += (found.empty() ? "" : ", ") + t.value;
  }
  return found == LongComment() ? "" : "ExifIFD:UserComment is \"" + found + "\"";
}

std::string ExpectNoGps(const std::vector<Tag>& after) {
  std::string left;
  for (const Tag& t : after) {
    if (GpsTag(t)) left += " " + t.group + ":" + t.name;
  }
  return left.empty() ? "" : "GPS tags left after the removal:" + left;
}

struct Edit {
  const char* name;
  bool (*apply)(MetaDoc*, std::string*);
  bool (*changes)(const Tag&);  // a tag the edit may change
  std::string (*expect)(const std::vector<Tag>&);
  bool gpsOnly;  // only files that have a location
};

const Edit kEdits[] = {
    {"artist", SetArtist, ArtistTag, ExpectArtist, false},
    {"comment", SetUserComment, CommentTag, ExpectComment, false},
    {"gps", RemoveGps, GpsTag, ExpectNoGps, true},
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
};

struct Case {
  const Sample* sample;
  const Edit* edit;
  fs::path before, after;
};

std::string Label(const Case& c) {
  return c.sample->name + " (" + c.sample->make + "), " + c.edit->name + ": ";
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
std::vector<std::string> Unexplained(const std::vector<std::string>& lines, const Edit& edit,
                                     bool hadExif) {
  std::vector<std::string> out;
  Tag t;
  for (const std::string& line : lines) {
    // Warnings are judged by the validation below: one that goes away (an
    // entry with a broken type that an edit replaced) is no damage.
    if (ParseTag(line, &t) &&
        (FileFact(t) || edit.changes(t) || (t.group == "ExifTool" && t.name == "Warning") ||
         (!hadExif && t.group == "File" && t.name == "ExifByteOrder"))) {
      continue;
    }
    out.push_back(line);
  }
  return out;
}

void CheckCase(const Case& c, std::set<std::string>* notes) {
  const std::string label = Label(c);
  std::vector<std::string> onlyBefore, onlyAfter;
  const std::vector<std::string> allBefore = ReadLines(AllOut(c.before));
  const std::vector<std::string> allAfter = ReadLines(AllOut(c.after));
  const std::vector<Tag> tagsBefore = Tags(allBefore), tagsAfter = Tags(allAfter);
  const std::set<std::string> groupsBefore = Groups(tagsBefore);

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
  const std::vector<std::string> lost = Unexplained(onlyBefore, *c.edit, hadExif);
  const std::vector<std::string> gained = Unexplained(onlyAfter, *c.edit, hadExif);
  EXPECT_TRUE(lost.empty() && gained.empty())
      << label << "tags the edit did not touch changed" << ShowDiff(lost, gained);
  const std::string wrong = c.edit->expect(tagsAfter);
  EXPECT_EQ(wrong, "") << label << wrong;
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
  // the end) may be reported differently once the data around it moved.
  static const std::regex kDirectory(R"(.* for (IFD\d|ExifIFD|GPS|InteropIFD)\b.*)");
  std::set<std::string> brokenBefore;
  for (const std::string& w : warnings(c.before)) {
    std::smatch m;
    if (std::regex_match(w, m, kDirectory) && w.find("[minor]") == std::string::npos) {
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
  Diff(e2Before.messages, e2After.messages, &onlyBefore, &onlyAfter);
  EXPECT_TRUE(onlyAfter.empty()) << label << "exiv2 has new complaints"
                                 << ShowDiff(onlyBefore, onlyAfter);
  Diff(e2Before.makerNote, e2After.makerNote, &onlyBefore, &onlyAfter);
  EXPECT_TRUE(onlyBefore.empty() && onlyAfter.empty())
      << label << "exiv2 reads the maker notes differently" << ShowDiff(onlyBefore, onlyAfter);

  // The picture itself: every byte from the scan on.
  const std::vector<std::uint8_t> a = testing_support::ReadBytes(c.before.wstring());
  const std::vector<std::uint8_t> b = testing_support::ReadBytes(c.after.wstring());
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
    samples.push_back(s);
  }

  // Location removal runs on the files that have one. Should no sample have
  // one, a location is added with exiftool to copies of all of them first.
  std::map<std::string, fs::path> gpsSource;
  for (const Sample& s : samples) {
    MetaDoc doc;
    if (meta_load(s.original.wstring(), &doc) && HasGps(doc)) gpsSource[s.name] = s.original;
  }
  if (gpsSource.empty()) {
    fs::create_directories(scratch / "with-gps");
    std::string cmd =
        "exiftool -q -overwrite_original -GPSLatitude=52.5163 -GPSLatitudeRef=N "
        "-GPSLongitude=13.3777 -GPSLongitudeRef=E -GPSAltitude=34 -GPSAltitudeRef=0";
    for (const Sample& s : samples) {
      const fs::path copy = scratch / "with-gps" / s.name;
      fs::copy_file(s.original, copy, fs::copy_options::overwrite_existing, ec);
      cmd += " " + Quote(copy.string());
      gpsSource[s.name] = copy;
    }
    Shell(cmd);
    std::cout << "  no sample has a location; exiftool added one to copies\n";
  }

  // Every edit is a save of its own, from a fresh load of a fresh copy.
  std::vector<Case> cases;
  for (const Sample& s : samples) {
    for (const Edit& e : kEdits) {
      Case c{&s, &e, s.original, scratch / e.name / s.name};
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
      std::string why;
      if (!e.apply(&doc, &why)) {
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
    EXPECT_FALSE(s.make.empty()) << s.name << ": exiftool finds no maker note in the original";
  }
  std::set<std::string> notes;
  for (const Case& c : cases) CheckCase(c, &notes);
  for (const std::string& note : notes) std::cout << "  note: " << note << "\n";

  // What ran, for the log: makes, files and sizes.
  std::map<std::string, std::vector<const Sample*>> byMake;
  for (const Case& c : cases) {
    auto& list = byMake[c.sample->make];
    if (std::find(list.begin(), list.end(), c.sample) == list.end()) list.push_back(c.sample);
  }
  std::size_t gpsCases = 0;
  for (const Case& c : cases) gpsCases += c.edit->gpsOnly ? 1 : 0;
  std::cout << "  " << cases.size() << " saves checked (" << gpsCases << " location removals) on "
            << samples.size() << " samples of " << byMake.size() << " makes:\n";
  for (const auto& [make, list] : byMake) {
    std::cout << "    " << make << ":";
    for (const Sample* s : list) {
      std::cout << " " << s->name << " (" << s->cameraMake << ", " << s->size << " bytes)";
    }
    std::cout << "\n";
  }
  EXPECT_GE(byMake.size(), 5u) << "maker notes of at least five makes must go through a save";
  EXPECT_GT(gpsCases, 0u) << "no location removal was checked";
}

}  // namespace
#endif
