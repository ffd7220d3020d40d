// The XMP packet editor: every kind of item the reader gives can be set and
// removed through its own path with nothing else in the tree moving, new
// properties, array items and languages are created where they belong, an
// untouched packet comes back byte for byte, and what is written reads back
// the same in the reader and in exiftool and exiv2.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/imaging.h"
#include "imaging/metadata_write_internal.h"
#include "platform/platform.h"
#include "tests/imaging/xmp_packets.h"
#include "tests/support/test_support.h"

namespace {

using img::HResult;
using img::PropValue;

using xmp_packets::Data;
using xmp_packets::Packet;
using xmp_packets::Parse;

std::string FixtureText(const std::string& name) {
  const auto bytes = testing_support::ReadBytes(testing_support::Fixture(name));
  return std::string(bytes.begin(), bytes.end());
}

// A reader tree as a plain value, so that whole trees compare at once.
struct Tree {
  std::string id;
  std::string format;  // a nested reader's format; empty for text
  std::wstring text;
  std::vector<Tree> kids;
  bool operator==(const Tree&) const = default;
};

// Trees print as `id="text"` and `id:format{...}` in failure messages.
void PrintTo(const Tree& t, std::ostream* os) {
  *os << t.id;
  if (t.format.empty()) {
    *os << "=\"" << platform::WideToUtf8(t.text) << "\"";
    return;
  }
  *os << ":" << t.format << "{";
  for (const Tree& kid : t.kids) {
    PrintTo(kid, os);
    *os << (&kid == &t.kids.back() ? "" : ", ");
  }
  *os << "}";
}

std::vector<Tree> TreeOf(const img::MetadataReader& r) {
  std::vector<Tree> level;
  for (const img::MetaItem& item : r.Items()) {
    Tree t;
    t.id = item.id;
    if (item.value.vt == img::kVtUnknown && item.value.reader) {
      t.format = item.value.reader->Format();
      t.kids = TreeOf(*item.value.reader);
    } else {
      EXPECT_EQ(item.value.vt, img::kVtLpwstr) << item.id;
      t.text = item.value.text;
    }
    level.push_back(std::move(t));
  }
  return level;
}

std::vector<Tree> TreeOf(const std::string& packet) {
  auto r = Parse(packet);
  EXPECT_TRUE(r) << packet;
  return r ? TreeOf(*r) : std::vector<Tree>();
}

// The enumerator's names of one level ("/id", "/[n]id").
std::vector<std::string> Names(const std::vector<Tree>& level) {
  std::vector<img::MetaItem> items;
  for (const Tree& t : level) items.push_back({t.id, PropValue()});
  return img::MetadataReader("level", std::move(items)).GetEnumerator();
}

// Every item's full path, depth first.
void Paths(const std::vector<Tree>& level, const std::string& prefix,
           std::vector<std::pair<std::string, const Tree*>>* out) {
  const std::vector<std::string> names = Names(level);
  for (std::size_t i = 0; i < level.size(); ++i) {
    out->push_back({prefix + names[i], &level[i]});
    Paths(level[i].kids, prefix + names[i], out);
  }
}

std::vector<std::string_view> Split(std::string_view path) {
  std::vector<std::string_view> parts;
  EXPECT_TRUE(img::SplitQueryPath(path, &parts)) << path;
  return parts;
}

Tree* Find(std::vector<Tree>* level, const std::vector<std::string_view>& parts) {
  for (std::string_view part : parts) {
    const std::vector<std::string> names = Names(*level);
    Tree* found = nullptr;
    for (std::size_t i = 0; i < names.size() && !found; ++i) {
      if (names[i].substr(1) == part) found = &(*level)[i];
    }
    if (!found) return nullptr;
    if (part == parts.back()) return found;
    level = &found->kids;
  }
  return nullptr;
}

// Takes item `i` out of a level; in an array, the items after it move up one
// place, and those named by their place are renamed.
void Erase(std::vector<Tree>* level, std::size_t i, bool array) {
  level->erase(level->begin() + static_cast<std::ptrdiff_t>(i));
  if (!array) return;
  for (std::size_t j = i; j < level->size(); ++j) {
    std::string& id = (*level)[j].id;
    if (id.rfind("{ulong=", 0) == 0)
      id = "{ulong=" + std::to_string(std::stoul(id.substr(7)) - 1) + "}";
  }
}

bool IsArray(const std::string& format) {
  return format == "xmpbag" || format == "xmpseq" || format == "xmpalt";
}

// What the editor's Remove must leave: the item gone, and every structure
// or array it leaves empty gone too.
bool RemoveAt(std::vector<Tree>* level, const std::vector<std::string_view>& parts,
              std::size_t k = 0, bool array = false) {
  const std::vector<std::string> names = Names(*level);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i].substr(1) != parts[k]) continue;
    if (k + 1 == parts.size()) {
      Erase(level, i, array);
      return true;
    }
    std::vector<Tree>& kids = (*level)[i].kids;
    if (!RemoveAt(&kids, parts, k + 1, IsArray((*level)[i].format))) return false;
    if (kids.empty()) Erase(level, i, array);
    return true;
  }
  return false;
}

std::string Serialized(const img::XmpEditor& editor, std::size_t maxBytes = 1u << 20) {
  std::string out;
  EXPECT_EQ(editor.Serialize(maxBytes, &out), img::kOk);
  return out;
}

// Text with markup characters, a tab, a line break, letters outside ASCII and
// a character outside the Basic Multilingual Plane.
const std::wstring kOddText = L"Zo\u00EB \U0001F600 <&>\"' \t\n]]> end";

struct Sample {
  const char* name;
  std::string packet;
};

std::vector<Sample> Samples() {
  return {
      {"written by exiftool", FixtureText("xmp_exiftool.xmp")},
      {"written by exiftool, shorthand", FixtureText("xmp_shorthand.xmp")},
      {"shorthand attributes and attribute structures",
       Packet("<rdf:Description rdf:about='' xmp:CreatorTool='T' xmp:Rating='3'>"
              "<ex:attrs ex:a='1' ex:b='2'/><ex:one ex:only='x'/></rdf:Description>")},
      {"parseType Resource, arrays in structures, structures in arrays",
       Packet("<rdf:Description><ex:s rdf:parseType='Resource'>"
              "<ex:list><rdf:Seq><rdf:li>one</rdf:li><rdf:li>two</rdf:li></rdf:Seq></ex:list>"
              "<ex:names><rdf:Alt><rdf:li xml:lang='x-default'>n</rdf:li></rdf:Alt></ex:names>"
              "<ex:leaf>l</ex:leaf></ex:s>"
              "<ex:places><rdf:Bag>"
              "<rdf:li rdf:parseType='Resource'><ex:city>Oslo</ex:city><ex:n>1</ex:n></rdf:li>"
              "<rdf:li><rdf:Description ex:city='Bergen'/></rdf:li>"
              "<rdf:li><rdf:Bag><rdf:li>inner</rdf:li></rdf:Bag></rdf:li>"
              "</rdf:Bag></ex:places></rdf:Description>")},
      {"nested descriptions and plain fields",
       Packet("<rdf:Description>"
              "<ex:d><rdf:Description ex:a='1'><ex:b>2</ex:b></rdf:Description></ex:d>"
              "<ex:plain ex:a='1'><ex:b>2</ex:b></ex:plain>"
              "</rdf:Description>")},
      {"rdf:value qualifiers and resources",
       Packet("<rdf:Description>"
              "<ex:link rdf:resource='http://example.com/a?b&amp;c'/>"
              "<ex:q rdf:parseType='Resource'><rdf:value>kept</rdf:value>"
              "<ex:qual>dropped</ex:qual></ex:q>"
              "<ex:qa><rdf:Description rdf:value='kept too' ex:qual='x'/></ex:qa>"
              "<ex:qb rdf:parseType='Resource'><rdf:value><rdf:Bag><rdf:li>v</rdf:li>"
              "</rdf:Bag></rdf:value><ex:qual>y</ex:qual></ex:qb>"
              "</rdf:Description>")},
      {"text forms",
       Packet("<rdf:Description>\n  <ex:empty/>\n  <ex:ws>  </ex:ws>\n  <ex:sp>&#32;</ex:sp>\n"
              "  <ex:text>a &lt;b&gt; <!-- note --><![CDATA[<c>]]></ex:text>\n"
              "  <ex:lit rdf:parseType='Literal'><b>x</b>y</ex:lit>\n"
              "  <ex:tq ex:x='1'>t</ex:tq>\n</rdf:Description>")},
      {"repeated names",
       Packet("<rdf:Description dc:format='a'/><rdf:Description dc:format='b'>"
              "<dc:title><rdf:Alt><rdf:li xml:lang='x-default'>a</rdf:li>"
              "<rdf:li xml:lang='de'>b</rdf:li><rdf:li xml:lang='x-default'>c</rdf:li>"
              "<rdf:li>plain</rdf:li><rdf:li xml:lang='a/b'>slash</rdf:li></rdf:Alt></dc:title>"
              "<dc:subject><rdf:Bag><rdf:li>x</rdf:li><ex:junk>j</ex:junk><rdf:li>y</rdf:li>"
              "</rdf:Bag></dc:subject></rdf:Description>")},
      {"RDF under another prefix, as the default namespace, and undeclared",
       "<x:xmpmeta xmlns:x='adobe:ns:meta/'>"
       "<r:RDF xmlns:r='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
       "<r:Description xmlns:dc='http://purl.org/dc/elements/1.1/'>"
       "<dc:subject><r:Bag><r:li>a</r:li><r:li>a2</r:li></r:Bag></dc:subject>"
       "<dc:type><Seq xmlns='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><li>b</li></Seq>"
       "</dc:type>"
       "<dc:source><rdf:Bag><rdf:li>c</rdf:li></rdf:Bag></dc:source>"
       "</r:Description></r:RDF></x:xmpmeta>"},
  };
}

// For every item of every sample: Set on a text item changes that item and
// nothing else; Set on an array or structure is refused; Remove takes the
// item (and what it leaves empty) and nothing else.
TEST(XmpWrite, EveryItemSetAndRemovedAlone) {
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.name);
    const std::vector<Tree> original = TreeOf(sample.packet);
    ASSERT_FALSE(original.empty());
    std::vector<std::pair<std::string, const Tree*>> paths;
    Paths(original, "", &paths);
    for (const auto& [path, node] : paths) {
      SCOPED_TRACE(path);
      const std::vector<std::string_view> parts = Split(path);
      for (const std::wstring& text : {kOddText, std::wstring()}) {
        img::XmpEditor editor;
        ASSERT_TRUE(editor.Open(Data(sample.packet), sample.packet.size()));
        if (!node->format.empty()) {
          EXPECT_EQ(editor.Set(path, PropValue::Lpwstr(text)), img::kInvalidArg);
          EXPECT_FALSE(editor.Changed());
          continue;
        }
        ASSERT_EQ(editor.Set(path, PropValue::Lpwstr(text)), img::kOk);
        EXPECT_EQ(editor.Changed(), text != node->text);
        std::vector<Tree> expected = original;
        Find(&expected, parts)->text = text;
        EXPECT_EQ(TreeOf(Serialized(editor)), expected);
      }
      img::XmpEditor editor;
      ASSERT_TRUE(editor.Open(Data(sample.packet), sample.packet.size()));
      ASSERT_EQ(editor.Remove(path), img::kOk);
      EXPECT_TRUE(editor.Changed());
      std::vector<Tree> expected = original;
      ASSERT_TRUE(RemoveAt(&expected, parts));
      EXPECT_EQ(TreeOf(Serialized(editor)), expected);
      EXPECT_EQ(editor.Empty(), expected.empty());
    }
  }
}

// Several edits in a row, each addressed through the tree as it is after the
// previous ones.
TEST(XmpWrite, EditsAccumulate) {
  const std::string packet = FixtureText("xmp_exiftool.xmp");
  img::XmpEditor editor;
  ASSERT_TRUE(editor.Open(Data(packet), packet.size()));
  std::vector<Tree> expected = TreeOf(packet);
  const struct {
    bool remove;
    const char* path;
    const wchar_t* text;
  } steps[] = {
      {false, "/dc:title/x-default", L"one"},
      {true, "/dc:subject/{ulong=0}", nullptr},
      {false, "/dc:subject/{ulong=0}", L"sea, again"},  // what was {ulong=1}
      {true, "/Iptc4xmpExt:LocationShown/{ulong=0}/Iptc4xmpExt:City", nullptr},
      {false, "/Iptc4xmpExt:LocationShown/{ulong=0}/Iptc4xmpExt:City", L"Bod\u00F8"},
      {true, "/dc:creator/{ulong=0}", nullptr},
      {false, "/xmp:Rating", L"5"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.path);
    if (step.remove) {
      ASSERT_EQ(editor.Remove(step.path), img::kOk);
      ASSERT_TRUE(RemoveAt(&expected, Split(step.path)));
    } else {
      ASSERT_EQ(editor.Set(step.path, PropValue::Lpwstr(step.text)), img::kOk);
      Find(&expected, Split(step.path))->text = step.text;
    }
    EXPECT_EQ(TreeOf(Serialized(editor)), expected);
  }
}

TEST(XmpWrite, UntouchedPacketIsGivenBackByteForByte) {
  std::vector<std::string> packets;
  for (const Sample& s : Samples()) packets.push_back(s.packet);
  // A byte order mark before, padding and zero bytes after.
  packets.push_back("\xEF\xBB\xBF" + Packet("<rdf:Description dc:format='a'/>") +
                    std::string(300, ' ') + std::string(7, '\0'));
  for (const std::string& packet : packets) {
    img::XmpEditor editor;
    ASSERT_TRUE(editor.Open(Data(packet), packet.size()));
    // Edits that change nothing: the value it already has, in any case of
    // the path, and failures.
    const std::vector<Tree> tree = TreeOf(packet);
    std::vector<std::pair<std::string, const Tree*>> paths;
    Paths(tree, "", &paths);
    for (const auto& [path, node] : paths) {
      if (node->format.empty()) {
        EXPECT_EQ(editor.Set(path, PropValue::Lpwstr(node->text)), img::kOk) << path;
      }
    }
    EXPECT_EQ(editor.Remove("/ex:absent"), img::kErrPropertyNotFound);
    EXPECT_EQ(editor.Set("/ex:absent", PropValue::UI4(1)), img::kInvalidArg);
    EXPECT_FALSE(editor.Changed());
    std::string out;
    ASSERT_EQ(editor.Serialize(packet.size(), &out), img::kOk);
    EXPECT_EQ(out, packet);
    EXPECT_EQ(editor.Serialize(packet.size() - 1, &out), img::kFail);
  }
}

// Each item keeps the form it has in the file.
TEST(XmpWrite, ValuesKeepTheirForm) {
  const struct {
    const char* name;
    std::string packet;
    const char* path;
    std::wstring text;
    const char* written;  // in the serialised packet
  } cases[] = {
      {"description attribute", FixtureText("xmp_shorthand.xmp"), "/xmp:Rating", L"5",
       "xmp:Rating=\"5\""},
      {"structure field attribute", FixtureText("xmp_shorthand.xmp"),
       "/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCity", L"Bod\u00F8",
       "Iptc4xmpCore:CiAdrCity=\"Bod\xC3\xB8\""},
      {"element", FixtureText("xmp_exiftool.xmp"), "/xmp:Rating", L"5",
       "<xmp:Rating>5</xmp:Rating>"},
      {"language item, named in another case", FixtureText("xmp_exiftool.xmp"), "/DC:Title/en-us",
       L"Port", "<rdf:li xml:lang=\"en-US\">Port</rdf:li>"},
      {"resource", Packet("<rdf:Description><ex:link rdf:resource='http://a/'/></rdf:Description>"),
       "/ex:link", L"http://b/", "<ex:link rdf:resource=\"http://b/\"/>"},
      {"rdf:value attribute",
       Packet("<rdf:Description><ex:qa><rdf:Description rdf:value='v' ex:qual='x'/></ex:qa>"
              "</rdf:Description>"),
       "/ex:qa", L"w", "rdf:value=\"w\" ex:qual=\"x\""},
      {"rdf:value element, qualifier kept",
       Packet("<rdf:Description><ex:q rdf:parseType='Resource'><rdf:value>v</rdf:value>"
              "<ex:qual>x</ex:qual></ex:q></rdf:Description>"),
       "/ex:q", L"w", "<rdf:value>w</rdf:value><ex:qual>x</ex:qual>"},
      {"whitespace alone is text, not layout",
       Packet("<rdf:Description dc:a='x'><dc:b>x</dc:b>"
              "</rdf:Description>"),
       "/dc:b", L"  ", "<dc:b><![CDATA[  ]]></dc:b>"},
      {"line breaks in an attribute", Packet("<rdf:Description dc:a='x'/>"), "/dc:a", L"1\t2\n3",
       "dc:a=\"1&#09;2&#10;3\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    img::XmpEditor editor;
    ASSERT_TRUE(editor.Open(Data(c.packet), c.packet.size()));
    ASSERT_EQ(editor.Set(c.path, PropValue::Lpwstr(c.text)), img::kOk);
    const std::string out = Serialized(editor);
    EXPECT_NE(out.find(c.written), std::string::npos) << out;
    auto xmp = Parse(out);
    ASSERT_TRUE(xmp);
    PropValue v;
    ASSERT_EQ(xmp->GetMetadataByName(c.path, &v), img::kOk);
    EXPECT_EQ(v.text, c.text);
  }
}

TEST(XmpWrite, TextValues) {
  const std::string packet = Packet("<rdf:Description dc:a='x'><dc:b>x</dc:b></rdf:Description>");
  const struct {
    const char* name;
    PropValue value;
    std::wstring expected;
  } cases[] = {
      {"UTF-8", PropValue::Lpstr("Zo\xC3\xAB \xF0\x9F\x98\x80"), L"Zo\u00EB \U0001F600"},
      {"wide", PropValue::Lpwstr(L"Zo\u00EB \U0001F600"), L"Zo\u00EB \U0001F600"},
      {"C1 controls are XML characters", PropValue::Lpwstr(L"a\u0085b"), L"a\u0085b"},
      {"empty", PropValue::Lpstr(""), L""},
      // A parser turns CR in element text into LF; both forms store it so.
      {"line ends", PropValue::Lpwstr(L"1\r\n2\r3\n4"), L"1\n2\n3\n4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* path : {"/dc:a", "/dc:b"}) {
      img::XmpEditor editor;
      ASSERT_TRUE(editor.Open(Data(packet), packet.size()));
      ASSERT_EQ(editor.Set(path, c.value), img::kOk) << path;
      auto xmp = Parse(Serialized(editor));
      ASSERT_TRUE(xmp);
      PropValue v;
      ASSERT_EQ(xmp->GetMetadataByName(path, &v), img::kOk) << path;
      EXPECT_EQ(v.text, c.expected) << path;
    }
  }
}

struct Creation {
  const char* name;
  std::string packet;
  const char* path;
  HResult hr;
  // The enumerator of the level the new item is in, when its place matters.
  std::vector<std::string> level = {};
};

TEST(XmpWrite, CreatesWhatIsNotThereYet) {
  const std::string exiftool = FixtureText("xmp_exiftool.xmp");
  const std::string shorthand = FixtureText("xmp_shorthand.xmp");
  std::string deep = "<rdf:Description>";
  // Structures down to the deepest level the reader builds.
  for (int i = 0; i < 12; ++i) deep += "<ex:s rdf:parseType='Resource'><ex:v>x</ex:v>";
  for (int i = 0; i < 12; ++i) deep += "</ex:s>";
  deep = Packet(deep + "</rdf:Description>");
  std::string deepPath;
  for (int i = 0; i < 12; ++i) deepPath += "/ex:s";
  const std::string deepField = deepPath + "/ex:w";
  const std::string deepStruct = deepPath + "/ex:t/ex:w";

  const std::vector<Creation> cases = {
      {"property whose prefix a later description declares",
       exiftool,
       "/xmp:Label",
       img::kOk,
       {"/Iptc4xmpCore:CreatorContactInfo", "/Iptc4xmpExt:LocationShown", "/dc:creator",
        "/dc:subject", "/dc:title", "/xmp:CreatorTool", "/xmp:Rating", "/xmp:Label"}},
      {"property of a well-known schema not declared yet",
       exiftool,
       "/photoshop:City",
       img::kOk,
       {"/Iptc4xmpCore:CreatorContactInfo", "/photoshop:City", "/Iptc4xmpExt:LocationShown",
        "/dc:creator", "/dc:subject", "/dc:title", "/xmp:CreatorTool", "/xmp:Rating"}},
      {"into a description of attributes only", shorthand, "/xmp:Label", img::kOk},
      {"array item appended",
       exiftool,
       "/dc:subject/{ulong=2}",
       img::kOk,
       {"/{ulong=0}", "/{ulong=1}", "/{ulong=2}"}},
      {"language appended", exiftool, "/dc:title/de", img::kOk, {"/x-default", "/en-US", "/de"}},
      {"default language goes first",
       Packet("<rdf:Description><dc:title><rdf:Alt><rdf:li xml:lang='en'>a</rdf:li>"
              "</rdf:Alt></dc:title></rdf:Description>"),
       "/dc:title/x-default",
       img::kOk,
       {"/x-default", "/en"}},
      {"item without language appended to a language alternative",
       exiftool,
       "/dc:title/{ulong=2}",
       img::kOk,
       {"/x-default", "/en-US", "/{ulong=2}"}},
      {"language alternative", exiftool, "/dc:rights/x-default", img::kOk},
      {"language alternative under another language", exiftool, "/dc:description/fr-CA", img::kOk},
      {"field of a parseType Resource structure", exiftool,
       "/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiEmailWork", img::kOk},
      {"field of a structure of attributes", shorthand,
       "/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCtry", img::kOk},
      {"field of a nested description",
       Packet("<rdf:Description><ex:d><rdf:Description ex:a='1'/></ex:d></rdf:Description>"),
       "/ex:d/ex:b",
       img::kOk,
       {"/ex:a", "/ex:b"}},
      {"structure appended to an array of structures", exiftool,
       "/Iptc4xmpExt:LocationShown/{ulong=2}/Iptc4xmpExt:City", img::kOk},
      {"structure", shorthand, "/Iptc4xmpCore:Location/Iptc4xmpCore:Sub/Iptc4xmpCore:City",
       img::kOk},
      {"unordered array of a known schema", exiftool, "/dc:contributor/{ulong=0}", img::kOk},
      {"ordered array of a known schema", shorthand, "/dc:creator/{ulong=0}", img::kOk},
      {"description in an empty packet body", Packet(""), "/dc:format", img::kOk},
      {"structure at the deepest level the reader shows", deep, deepField.c_str(), img::kOk},
      {"structure below the deepest level", deep, deepStruct.c_str(), img::kErrPropertyNotFound},
      {"prefix neither declared nor well known", exiftool, "/ex:thing", img::kErrPropertyNotFound},
      {"gap after the last array item", exiftool, "/dc:subject/{ulong=3}",
       img::kErrPropertyNotFound},
      {"array of unknown kind", exiftool, "/xmp:Things/{ulong=0}", img::kErrPropertyNotFound},
      {"second occurrence", exiftool, "/[1]xmp:Rating", img::kErrPropertyNotFound},
      {"first occurrence of a second name", exiftool, "/[1]xmp:Label", img::kErrPropertyNotFound},
      {"below a text value", exiftool, "/xmp:Rating/xmp:x", img::kErrPropertyNotFound},
      {"language in an unordered array", exiftool, "/dc:subject/en", img::kErrPropertyNotFound},
      {"below a language item", exiftool, "/dc:title/fr/xmp:x", img::kErrPropertyNotFound},
      {"RDF's own names", exiftool, "/rdf:about", img::kErrPropertyNotFound},
      {"no prefix", exiftool, "/Rating", img::kErrPropertyNotFound},
      {"not a name", exiftool, "/xmp:Rating:x", img::kInvalidArg},
      {"not a name either", exiftool, "/xmp:1st", img::kInvalidArg},
  };
  const std::wstring text = L"new \u00E9\U0001F600";
  for (const Creation& c : cases) {
    SCOPED_TRACE(c.name);
    img::XmpEditor editor;
    ASSERT_TRUE(editor.Open(Data(c.packet), c.packet.size()));
    ASSERT_EQ(editor.Set(c.path, PropValue::Lpwstr(text)), c.hr);
    EXPECT_EQ(editor.Changed(), c.hr == img::kOk);
    if (c.hr != img::kOk) continue;
    const std::string out = Serialized(editor);
    auto xmp = Parse(out);
    ASSERT_TRUE(xmp) << out;
    PropValue v;
    ASSERT_EQ(xmp->GetMetadataByName(c.path, &v), img::kOk) << out;
    EXPECT_EQ(v.text, text);
    // Take the new item away again (with what was made to hold it) and the
    // tree is the one before.
    std::vector<Tree> after = TreeOf(*xmp);
    ASSERT_TRUE(RemoveAt(&after, Split(c.path)));
    EXPECT_EQ(after, TreeOf(c.packet)) << out;
    if (!c.level.empty()) {
      const std::string path(c.path);
      const std::string parent = path.substr(0, path.rfind('/'));
      if (parent.empty()) {
        EXPECT_EQ(xmp->GetEnumerator(), c.level);
      } else {
        ASSERT_EQ(xmp->GetMetadataByName(parent, &v), img::kOk);
        ASSERT_TRUE(v.reader);
        EXPECT_EQ(v.reader->GetEnumerator(), c.level);
      }
    }
  }
}

TEST(XmpWrite, NewPacket) {
  img::XmpEditor editor;
  ASSERT_TRUE(editor.Open(nullptr, 0));
  EXPECT_TRUE(editor.Empty());
  EXPECT_FALSE(editor.Changed());
  std::string out;
  ASSERT_EQ(editor.Serialize(100, &out), img::kOk);
  EXPECT_EQ(out, "");  // nothing was there and nothing was added

  const struct {
    const char* path;
    const wchar_t* text;
  } sets[] = {
      {"/dc:title/x-default", L"Harbour"},
      {"/dc:title/en-US", L"Harbor"},
      {"/dc:subject/{ulong=0}", L"boats"},
      {"/dc:subject/{ulong=1}", L"sea"},
      {"/xmp:Rating", L"4"},
      {"/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCity", L"Troms\u00F8"},
      {"/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCtry", L"Norway"},
  };
  for (const auto& s : sets) {
    ASSERT_EQ(editor.Set(s.path, PropValue::Lpwstr(s.text)), img::kOk) << s.path;
  }
  EXPECT_FALSE(editor.Empty());
  out = Serialized(editor);
  const std::vector<Tree> expected = {
      {"dc:title",
       "xmpalt",
       L"",
       {{"x-default", "", L"Harbour", {}}, {"en-US", "", L"Harbor", {}}}},
      {"dc:subject",
       "xmpbag",
       L"",
       {{"{ulong=0}", "", L"boats", {}}, {"{ulong=1}", "", L"sea", {}}}},
      {"xmp:Rating", "", L"4", {}},
      {"Iptc4xmpCore:CreatorContactInfo",
       "xmpstruct",
       L"",
       {{"Iptc4xmpCore:CiAdrCity", "", L"Troms\u00F8", {}},
        {"Iptc4xmpCore:CiAdrCtry", "", L"Norway", {}}}},
  };
  EXPECT_EQ(TreeOf(out), expected) << out;
  for (const char* declared : {"xmlns:dc=\"http://purl.org/dc/elements/1.1/\"",
                               "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"",
                               "xmlns:Iptc4xmpCore=\"http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/\"",
                               "<rdf:Bag>", "<x:xmpmeta"}) {
    EXPECT_NE(out.find(declared), std::string::npos) << declared << "\n" << out;
  }
  // The new packet opens again, as any stored one.
  img::XmpEditor again;
  ASSERT_TRUE(again.Open(Data(out), out.size()));
  EXPECT_EQ(again.Remove("/dc:title"), img::kOk);
}

TEST(XmpWrite, RemovingTheLastItemRemovesWhatHeldIt) {
  const std::string packet = FixtureText("xmp_exiftool.xmp");
  img::XmpEditor editor;
  ASSERT_TRUE(editor.Open(Data(packet), packet.size()));
  for (const char* path : {"/dc:creator/{ulong=0}", "/Iptc4xmpCore:CreatorContactInfo",
                           "/xmp:CreatorTool", "/xmp:Rating"}) {
    ASSERT_EQ(editor.Remove(path), img::kOk) << path;
  }
  std::string out = Serialized(editor);
  // No empty array, and no description left holding nothing.
  for (const char* gone : {"rdf:Seq", "dc:creator", "xmlns:xmp", "xmlns:Iptc4xmpCore"}) {
    EXPECT_EQ(out.find(gone), std::string::npos) << gone << "\n" << out;
  }
  EXPECT_FALSE(editor.Empty());
  for (const char* path : {"/dc:title/x-default", "/dc:title/en-US", "/dc:subject",
                           "/Iptc4xmpExt:LocationShown/{ulong=0}/Iptc4xmpExt:City",
                           "/Iptc4xmpExt:LocationShown/{ulong=0}/Iptc4xmpExt:City"}) {
    ASSERT_EQ(editor.Remove(path), img::kOk) << path;
  }
  EXPECT_TRUE(editor.Empty());
  out = Serialized(editor);
  auto xmp = Parse(out);
  ASSERT_TRUE(xmp) << out;
  EXPECT_TRUE(xmp->Items().empty());
  EXPECT_EQ(out.find("rdf:Description"), std::string::npos) << out;
  EXPECT_EQ(editor.Remove("/dc:title"), img::kErrPropertyNotFound);
}

TEST(XmpWrite, Refusals) {
  const std::string packet = FixtureText("xmp_exiftool.xmp");
  const PropValue text = PropValue::Lpwstr(L"x");
  PropValue vector;
  vector.vt = img::kVtVector | img::kVtLpstr;
  vector.strs = {"a"};
  const struct {
    const char* name;
    bool remove;
    std::string path;
    PropValue value;
    HResult hr;
  } cases[] = {
      {"no leading slash", false, "dc:title/x-default", text, img::kInvalidArg},
      {"empty path", false, "", text, img::kInvalidArg},
      {"root", true, "/", text, img::kInvalidArg},
      {"empty component", false, "/dc:title//x-default", text, img::kInvalidArg},
      {"unclosed brace", true, "/dc:subject/{ulong=0", text, img::kInvalidArg},
      {"occurrence not a number", false, "/[x]dc:title", text, img::kInvalidArg},
      {"empty occurrence", true, "/[]dc:title", text, img::kInvalidArg},
      {"occurrence alone", false, "/[1]", text, img::kInvalidArg},
      {"occurrence too large", true, "/[99999999]dc:title", text, img::kInvalidArg},
      {"number", false, "/xmp:Rating", PropValue::UI4(5), img::kInvalidArg},
      {"blob", false, "/xmp:Rating", PropValue::Blob("5"), img::kInvalidArg},
      {"no value", false, "/xmp:Rating", PropValue(), img::kInvalidArg},
      {"vector of strings", false, "/xmp:Rating", vector, img::kInvalidArg},
      {"control character", false, "/xmp:Rating", PropValue::Lpwstr(L"a\x01"), img::kInvalidArg},
      {"vertical tab", false, "/xmp:Label", PropValue::Lpwstr(L"\x0B"), img::kInvalidArg},
      {"zero", false, "/xmp:Rating", PropValue::Lpstr(std::string("a\0b", 3)), img::kInvalidArg},
      {"not a character", false, "/xmp:Rating", PropValue::Lpwstr(L"\uFFFE"), img::kInvalidArg},
      {"lone surrogate", false, "/xmp:Rating",
       PropValue::Lpwstr(std::wstring(L"a") + static_cast<wchar_t>(0xD800)), img::kInvalidArg},
      {"truncated UTF-8", false, "/xmp:Rating", PropValue::Lpstr("a\xC3"), img::kInvalidArg},
      {"overlong UTF-8", false, "/xmp:Rating", PropValue::Lpstr("\xC0\xAF"), img::kInvalidArg},
      {"array", false, "/dc:subject", text, img::kInvalidArg},
      {"structure", false, "/Iptc4xmpCore:CreatorContactInfo", text, img::kInvalidArg},
      {"language alternative", false, "/dc:title", text, img::kInvalidArg},
      {"absent property", true, "/dc:rights", text, img::kErrPropertyNotFound},
      {"absent language", true, "/dc:title/fr", text, img::kErrPropertyNotFound},
      {"absent array item", true, "/dc:subject/{ulong=2}", text, img::kErrPropertyNotFound},
      {"absent occurrence", true, "/[1]dc:title", text, img::kErrPropertyNotFound},
      {"absent field", true, "/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiEmailWork", text,
       img::kErrPropertyNotFound},
      {"below a text value", true, "/xmp:Rating/x", text, img::kErrPropertyNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    img::XmpEditor editor;
    ASSERT_TRUE(editor.Open(Data(packet), packet.size()));
    EXPECT_EQ(c.remove ? editor.Remove(c.path) : editor.Set(c.path, c.value), c.hr);
    EXPECT_FALSE(editor.Changed());
    std::string out;
    ASSERT_EQ(editor.Serialize(packet.size(), &out), img::kOk);
    EXPECT_EQ(out, packet);
  }
}

TEST(XmpWrite, PacketsThatCannotBeEdited) {
  std::string deep;
  for (int i = 0; i < 20; ++i) deep += "<a>";
  deep += Packet("<rdf:Description dc:format='a'/>");
  for (int i = 0; i < 20; ++i) deep += "</a>";
  std::string large = Packet("<rdf:Description dc:format='a'/>");
  large.resize((16u << 20) + 1, ' ');
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"only padding", std::string("  \n") + std::string(4, '\0')},
      {"unclosed element", Packet("<rdf:Description>").substr(0, 60)},
      {"garbage", "\x89PNG\r\n\x1A\n<<<>>>&&"},
      {"XML without rdf:RDF", "<x:xmpmeta xmlns:x='adobe:ns:meta/'><a>1</a></x:xmpmeta>"},
      {"rdf prefix bound to another namespace",
       "<rdf:RDF xmlns:rdf='urn:not-rdf'><rdf:Description dc:format='a'/></rdf:RDF>"},
      {"rdf:RDF too far down", deep},
      {"larger than any packet", large},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(Parse(c.bytes));  // the reader refuses them too
    img::XmpEditor editor;
    EXPECT_FALSE(editor.Open(Data(c.bytes), c.bytes.size()));
    EXPECT_FALSE(editor.Empty());
    EXPECT_EQ(editor.Set("/dc:format", PropValue::Lpwstr(L"x")), img::kFail);
    EXPECT_EQ(editor.Remove("/dc:format"), img::kFail);
    EXPECT_FALSE(editor.Changed());
    std::string out;
    ASSERT_EQ(editor.Serialize(c.bytes.size(), &out), img::kOk);
    EXPECT_EQ(out, c.bytes);
  }
}

TEST(XmpWrite, PacketLayoutAndSizeLimit) {
  const std::string packet = FixtureText("xmp_exiftool.xmp");
  img::XmpEditor editor;
  ASSERT_TRUE(editor.Open(Data(packet), packet.size()));
  ASSERT_EQ(editor.Set("/xmp:Rating", PropValue::Lpwstr(L"5")), img::kOk);

  const std::string begin = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>";
  const std::string end = "<?xpacket end=\"w\"?>";
  const std::string roomy = Serialized(editor, 65504);
  ASSERT_EQ(roomy.compare(0, begin.size(), begin), 0);
  ASSERT_GE(roomy.size(), end.size());
  EXPECT_EQ(roomy.substr(roomy.size() - end.size()), end);
  const std::size_t close = roomy.rfind("</x:xmpmeta>\n") + 13;
  const std::string padding = roomy.substr(close, roomy.size() - end.size() - close);
  EXPECT_GE(padding.size(), 2000u);
  EXPECT_LE(padding.size(), 2100u);
  EXPECT_EQ(padding.find_first_not_of(" \n"), std::string::npos);
  // The untouched parts keep their layout.
  EXPECT_NE(roomy.find("\n  <dc:creator>\n   <rdf:Seq>\n    <rdf:li>Ann \xC3\x93</rdf:li>\n"),
            std::string::npos)
      << roomy;

  // Less room: less padding, then none, then no indentation, then kFail.
  const std::size_t unpadded = roomy.size() - padding.size();
  std::string out;
  ASSERT_EQ(editor.Serialize(unpadded + 100, &out), img::kOk);
  EXPECT_EQ(out.size(), unpadded + 100);
  ASSERT_EQ(editor.Serialize(unpadded, &out), img::kOk);
  EXPECT_EQ(out.size(), unpadded);
  ASSERT_EQ(editor.Serialize(unpadded - 1, &out), img::kOk);
  const std::size_t compact = out.size();
  EXPECT_LT(compact, unpadded - 100);
  EXPECT_EQ(out.find("\n "), std::string::npos) << out;
  EXPECT_EQ(TreeOf(out), TreeOf(roomy));
  ASSERT_EQ(editor.Serialize(compact, &out), img::kOk);
  EXPECT_EQ(out.size(), compact);
  EXPECT_EQ(editor.Serialize(compact - 1, &out), img::kFail);
  EXPECT_EQ(editor.Serialize(0, &out), img::kFail);
}

TEST(XmpWrite, CommentsAndOtherDescriptionsStay) {
  const std::string packet =
      "<?xpacket begin='\xEF\xBB\xBF' id='W5M0MpCehiHzreSzNTczkc9d'?>"
      "<x:xmpmeta xmlns:x='adobe:ns:meta/' x:xmptk='maker 1'><!-- made by hand -->"
      "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
      "<rdf:Description rdf:about='uuid:1' xmlns:dc='http://purl.org/dc/elements/1.1/'"
      " dc:format='image/jpeg'/>"
      "<rdf:Description rdf:about='uuid:1' xmlns:ex='urn:ex/'><ex:a>1</ex:a></rdf:Description>"
      "</rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
  img::XmpEditor editor;
  ASSERT_TRUE(editor.Open(Data(packet), packet.size()));
  ASSERT_EQ(editor.Set("/ex:a", PropValue::Lpwstr(L"2")), img::kOk);
  const std::string out = Serialized(editor);
  for (const char* kept :
       {"x:xmptk=\"maker 1\"><!-- made by hand --><rdf:RDF",
        "<rdf:Description rdf:about=\"uuid:1\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
        "dc:format=\"image/jpeg\"/>",
        "<rdf:Description rdf:about=\"uuid:1\" xmlns:ex=\"urn:ex/\"><ex:a>2</ex:a>"}) {
    EXPECT_NE(out.find(kept), std::string::npos) << kept << "\n" << out;
  }
  // One wrapper, the new one.
  EXPECT_EQ(out.find("<?xpacket", 1), out.rfind("<?xpacket end"));
}

TEST(XmpWrite, QueryPathPieces) {
  const struct {
    const char* path;
    bool ok;
    std::vector<std::string_view> parts;
  } splits[] = {
      {"/a/{str=x/y}/[1]b", true, {"a", "{str=x/y}", "[1]b"}},
      {"/xmp/dc:title/x-default", true, {"xmp", "dc:title", "x-default"}},
      {"/{a{b}/c}", true, {"{a{b}/c}"}},
      {"a/b", false, {}},
      {"/", false, {}},
      {"/a//b", false, {}},
      {"/a/", false, {}},
      {"/a/{b", false, {}},
  };
  for (const auto& s : splits) {
    std::vector<std::string_view> parts;
    EXPECT_EQ(img::SplitQueryPath(s.path, &parts), s.ok) << s.path;
    if (s.ok) {
      EXPECT_EQ(parts, s.parts) << s.path;
    }
  }
  const struct {
    const char* component;
    bool ok;
    std::size_t index;
    const char* name;
  } occurrences[] = {
      {"com", true, 0, "com"},       {"[2]com", true, 2, "com"},
      {"[0]x", true, 0, "x"},        {"[]com", false, 0, ""},
      {"[2]", false, 0, ""},         {"[a]com", false, 0, ""},
      {"[2com", false, 0, ""},       {"", false, 0, ""},
      {"[10000000]x", false, 0, ""}, {"{ulong=1}", true, 0, "{ulong=1}"},
  };
  for (const auto& o : occurrences) {
    std::size_t index = 99;
    std::string_view name;
    EXPECT_EQ(img::SplitOccurrence(o.component, &index, &name), o.ok) << o.component;
    if (!o.ok) continue;
    EXPECT_EQ(index, o.index) << o.component;
    EXPECT_EQ(name, o.name) << o.component;
  }
  EXPECT_EQ(img::CanonicalComponent("Dc:Title"), "dc:title");
  EXPECT_EQ(img::CanonicalComponent("EXIF"), "{ushort=34665}");
  EXPECT_EQ(img::CanonicalComponent("Thumb"), "{ushort=1}");
  EXPECT_EQ(img::CanonicalComponent("{UShort=274}"), "{ushort=274}");
}

// Packets built to make a careless editor recurse, or look names up through
// thousands of declarations once per item: edits still land and the result
// still reads.
TEST(XmpWrite, HostilePackets) {
  const int kDeep = 100000;
  std::string deep = "<rdf:Description xmp:Rating='1'><dc:subject>";
  for (int i = 0; i < kDeep; ++i) deep += "<rdf:Bag><rdf:li>";
  for (int i = 0; i < kDeep; ++i) deep += "</rdf:li></rdf:Bag>";
  deep = Packet(deep + "</dc:subject></rdf:Description>");

  std::string crowded = "<x:xmpmeta xmlns:x='adobe:ns:meta/'";
  for (int i = 0; i < 20000; ++i) crowded += " xmlns:p" + std::to_string(i) + "='urn:p'";
  crowded += "><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>";
  crowded += "<rdf:Description xmlns:dc='http://purl.org/dc/elements/1.1/'><dc:subject><rdf:Bag>";
  for (int i = 0; i < 20000; ++i) crowded += "<rdf:li>k</rdf:li>";
  crowded += "</rdf:Bag></dc:subject></rdf:Description></rdf:RDF></x:xmpmeta>";

  const struct {
    const char* name;
    std::string packet;
    const char* set;
    const char* remove;
    const char* now;   // where the value set is afterwards
    const char* gone;  // what is no longer there afterwards
  } cases[] = {
      {"arrays nested far below what the reader shows", deep, "/xmp:Rating", "/dc:subject",
       "/xmp:Rating", "/dc:subject"},
      {"thousands of declarations and items", crowded, "/dc:subject/{ulong=20000}",
       "/dc:subject/{ulong=0}", "/dc:subject/{ulong=19999}", "/dc:subject/{ulong=20000}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    img::XmpEditor editor;
    ASSERT_TRUE(editor.Open(Data(c.packet), c.packet.size()));
    ASSERT_EQ(editor.Set(c.set, PropValue::Lpwstr(L"2")), img::kOk);
    ASSERT_EQ(editor.Remove(c.remove), img::kOk);
    std::string out;
    ASSERT_EQ(editor.Serialize(64u << 20, &out), img::kOk);
    auto xmp = Parse(out);
    ASSERT_TRUE(xmp);
    PropValue v;
    EXPECT_EQ(xmp->GetMetadataByName(c.gone, &v), img::kErrPropertyNotFound);
    ASSERT_EQ(xmp->GetMetadataByName(c.now, &v), img::kOk);
    EXPECT_EQ(v.text, L"2");
    // The compact form is made from a copy of the whole document.
    ASSERT_EQ(editor.Serialize(out.size() - 1, &out), img::kOk);
    EXPECT_TRUE(Parse(out));
  }
}

#ifndef _WIN32
// ---------------------------------------------------------------------------
// exiftool and exiv2 read what the editor writes, inside a JPEG.

const char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";

// The JPEG with its XMP segment replaced by `packet`.
std::vector<std::uint8_t> WithXmp(const std::vector<std::uint8_t>& jpeg,
                                  const std::string& packet) {
  std::vector<std::uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
  std::vector<std::uint8_t> segment = {0xFF, 0xE1, 0, 0};
  segment.insert(segment.end(), kXmpSignature, kXmpSignature + sizeof kXmpSignature);
  segment.insert(segment.end(), packet.begin(), packet.end());
  const std::size_t length = segment.size() - 2;
  EXPECT_LE(length, 65535u);
  segment[2] = static_cast<std::uint8_t>(length >> 8);
  segment[3] = static_cast<std::uint8_t>(length);
  bool placed = false;
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
    const std::size_t size = 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
    const bool xmp = jpeg[at + 1] == 0xE1 && size >= 4 + sizeof kXmpSignature &&
                     std::equal(kXmpSignature, kXmpSignature + sizeof kXmpSignature,
                                jpeg.begin() + static_cast<std::ptrdiff_t>(at + 4));
    if (xmp && !placed) {
      out.insert(out.end(), segment.begin(), segment.end());
      placed = true;
    } else if (!xmp) {
      out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(at),
                 jpeg.begin() + static_cast<std::ptrdiff_t>(at + size));
    }
    at += size;
  }
  EXPECT_TRUE(placed);
  out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(at), jpeg.end());
  return out;
}

std::string Output(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  if (!pipe) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
  return out;
}

// exiftool's "-a -G1 -s" lines as "[group] Tag: value".
std::vector<std::string> ExiftoolXmp(const std::string& file) {
  const std::string text = Output("exiftool -a -G1 -s '" + file + "' 2>&1");
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t stop = text.find('\n', start);
    if (stop == std::string::npos) stop = text.size();
    const std::string line = text.substr(start, stop - start);
    start = stop + 1;
    const std::size_t bracket = line.find(']');
    const std::size_t colon = line.find(": ");
    if (line.empty() || line[0] != '[' || bracket == std::string::npos ||
        colon == std::string::npos) {
      lines.push_back(line);  // kept as it is, so that anything odd shows
      continue;
    }
    std::string tag = line.substr(bracket + 1, colon - bracket - 1);
    tag.erase(0, tag.find_first_not_of(' '));
    tag.erase(tag.find_last_not_of(' ') + 1);
    lines.push_back(line.substr(0, bracket + 1) + " " + tag + ": " + line.substr(colon + 2));
  }
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(XmpWriteOracle, ExiftoolAndExiv2ReadTheEditedPacket) {
  const std::string packet = FixtureText("xmp_exiftool.xmp");
  img::XmpEditor editor;
  ASSERT_TRUE(editor.Open(Data(packet), packet.size()));
  const struct {
    const char* path;
    const char* utf8;  // null to remove
  } edits[] = {
      {"/dc:title/x-default", "Zo\xC3\xAB \xF0\x9F\x98\x80 & <co>"},
      {"/dc:title/en-US", nullptr},
      {"/dc:subject/{ulong=2}", "harbour"},
      {"/dc:creator/{ulong=0}", "Ann \xC3\x93'Neill"},
      {"/xmp:Rating", "5"},
      {"/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCity", "Bod\xC3\xB8"},
      {"/Iptc4xmpExt:LocationShown/{ulong=0}/Iptc4xmpExt:City", nullptr},
      {"/photoshop:City", "Oslo"},
      {"/dc:rights/x-default", "CC0"},
      {"/dc:contributor/{ulong=0}", "Bo"},
      {"/Iptc4xmpCore:Scene/{ulong=0}", "011900"},
  };
  for (const auto& e : edits) {
    ASSERT_EQ(e.utf8 ? editor.Set(e.path, PropValue::Lpstr(e.utf8)) : editor.Remove(e.path),
              img::kOk)
        << e.path;
  }
  const std::string edited = Serialized(editor, 65533 - sizeof kXmpSignature);

  const std::wstring dir = testing_support::ScratchDir("xmp_write_oracle");
  const std::string file = platform::WideToUtf8(dir) + "/edited.jpg";
  testing_support::WriteBytes(
      platform::Utf8ToWide(file),
      WithXmp(testing_support::ReadBytes(testing_support::Fixture("meta_full.jpg")), edited));

  const std::vector<std::string> lines = ExiftoolXmp(file);
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  for (const char* expected : {
           "[XMP-dc] Title: Zo\xC3\xAB \xF0\x9F\x98\x80 & <co>",
           "[XMP-dc] Subject: boats, sea, harbour", "[XMP-dc] Creator: Ann \xC3\x93'Neill",
           "[XMP-dc] Rights: CC0", "[XMP-dc] Contributor: Bo", "[XMP-xmp] Rating: 5",
           "[XMP-xmp] CreatorTool: Norvane test", "[XMP-iptcCore] CreatorCity: Bod\xC3\xB8",
           "[XMP-iptcCore] CreatorCountry: Norway", "[XMP-iptcCore] Scene: 011900",
           "[XMP-iptcExt] LocationShownCity: Bergen", "[XMP-photoshop] City: Oslo",
           "[IFD0] Make: Norvane",  // the rest of the file is as it was
       }) {
    EXPECT_TRUE(Contains(lines, expected)) << expected << "\n" << all;
  }
  for (const std::string& l : lines) {
    EXPECT_EQ(l.find("Warning"), std::string::npos) << l;
    EXPECT_EQ(l.find("Title-en-US"), std::string::npos) << l;
    EXPECT_EQ(l.find("Error"), std::string::npos) << l;
  }

  const std::string exiv2 = Output("exiv2 -px '" + file + "' 2>&1");
  for (const char* expected : {
           "lang=\"x-default\" Zo\xC3\xAB \xF0\x9F\x98\x80 & <co>",
           "boats, sea, harbour",
           "Bod\xC3\xB8",
           "Oslo",
           "lang=\"x-default\" CC0",
       }) {
    EXPECT_NE(exiv2.find(expected), std::string::npos) << expected << "\n" << exiv2;
  }
  for (const char* absent : {"Warning", "Error", "Harbor at dusk"}) {
    EXPECT_EQ(exiv2.find(absent), std::string::npos) << absent << "\n" << exiv2;
  }
  for (const char* key : {"Xmp.photoshop.City", "Xmp.dc.rights", "Xmp.xmp.Rating",
                          "Xmp.iptc.CreatorContactInfo/Iptc4xmpCore:CiAdrCity"}) {
    EXPECT_NE(exiv2.find(key), std::string::npos) << key << "\n" << exiv2;
  }
}
#endif

}  // namespace
