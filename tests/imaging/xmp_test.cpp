#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "imaging/metadata_write_internal.h"
#include "platform/platform.h"
#include "tests/imaging/xmp_packets.h"
#include "tests/support/test_support.h"

namespace {

using xmp_packets::kNs;
using xmp_packets::Packet;
using xmp_packets::Parse;

// The reader as a frame would hold it, so paths read "/xmp/...".
img::MetadataReader Container(std::shared_ptr<const img::MetadataReader> xmp) {
  return img::MetadataReader("test", {{"xmp", img::PropValue::Reader(std::move(xmp))}});
}

// Items in the whole tree.
std::size_t CountItems(const img::MetadataReader& r) {
  std::size_t count = r.Items().size();
  for (const img::MetaItem& item : r.Items()) {
    if (item.value.reader) count += CountItems(*item.value.reader);
  }
  return count;
}

// Every name an enumerator gives, at every level, resolves to its own item;
// returns the number of items in the tree.
std::size_t CheckTree(const img::MetadataReader& r) {
  const std::vector<std::string> names = r.GetEnumerator();
  EXPECT_EQ(names.size(), r.Items().size());
  std::size_t count = 0;
  for (std::size_t i = 0; i < names.size() && i < r.Items().size(); ++i) {
    img::PropValue v;
    EXPECT_EQ(r.GetMetadataByName(names[i], &v), img::kOk) << names[i];
    EXPECT_TRUE(v == r.Items()[i].value) << names[i];
    ++count;
    if (r.Items()[i].value.reader) count += CheckTree(*r.Items()[i].value.reader);
  }
  return count;
}

// What a path must give: text, or (when `format` is set) a nested reader of
// that format with `text` unused.
struct Expect {
  const char* path;
  std::wstring text;
  const char* format = nullptr;
};

void ExpectValues(const img::MetadataReader& xmp, const std::vector<Expect>& expects) {
  const img::MetadataReader root = Container(std::make_shared<img::MetadataReader>(xmp));
  for (const Expect& e : expects) {
    SCOPED_TRACE(e.path);
    img::PropValue v;
    ASSERT_EQ(root.GetMetadataByName(e.path, &v), img::kOk);
    if (e.format) {
      ASSERT_EQ(v.vt, img::kVtUnknown);
      ASSERT_TRUE(v.reader);
      EXPECT_EQ(v.reader->Format(), e.format);
    } else {
      EXPECT_EQ(v.vt, img::kVtLpwstr);
      EXPECT_EQ(v.text, e.text);
    }
  }
}

struct Case {
  const char* name;
  std::string packet;
  std::vector<std::string> rootNames;  // the root enumerator, in order
  std::vector<Expect> values;
};

TEST(Xmp, PropertyFormsTable) {
  const std::string padding(2000, ' ');
  const std::vector<Case> cases = {
      {"xpacket wrapper, UTF-8 BOM, padding and zero bytes after",
       "\xEF\xBB\xBF<?xpacket begin='\xEF\xBB\xBF' id='W5M0MpCehiHzreSzNTczkc9d'?>\n" +
           Packet("<rdf:Description rdf:about=''><xmp:CreatorTool>Tool 1.0</xmp:CreatorTool>"
                  "</rdf:Description>") +
           "\n" + padding + "\n<?xpacket end='w'?>" + padding + std::string(40, '\0'),
       {"/xmp:CreatorTool"},
       {{"/xmp/xmp:CreatorTool", L"Tool 1.0"}}},
      {"attributes first, then elements; descriptions concatenated in order",
       Packet("<rdf:Description rdf:about='' xml:lang='en' xmp:CreatorTool='T' xmp:Rating='3'>"
              "<dc:format>image/jpeg</dc:format></rdf:Description>"
              "<rdf:Description rdf:about='' ex:b='2'/>"),
       {"/xmp:CreatorTool", "/xmp:Rating", "/dc:format", "/ex:b"},
       {{"/xmp/xmp:Rating", L"3"}, {"/xmp/dc:format", L"image/jpeg"}, {"/xmp/ex:b", L"2"}}},
      {"bag, seq and alt; alt items named by language, unnamed ones by index",
       Packet("<rdf:Description>"
              "<dc:subject><rdf:Bag><rdf:li>boats</rdf:li><rdf:li>sea</rdf:li></rdf:Bag>"
              "</dc:subject>"
              "<dc:creator><rdf:Seq><rdf:li>Ann</rdf:li><rdf:li/></rdf:Seq></dc:creator>"
              "<dc:title><rdf:Alt><rdf:li xml:lang='x-default'>Harbour</rdf:li>"
              "<rdf:li xml:lang='en-US'>Harbor</rdf:li><rdf:li>plain</rdf:li>"
              "<rdf:li xml:lang='a/b'>slash</rdf:li></rdf:Alt></dc:title>"
              "<dc:rights><rdf:Alt/></dc:rights>"
              "</rdf:Description>"),
       {"/dc:subject", "/dc:creator", "/dc:title", "/dc:rights"},
       {{"/xmp/dc:subject", L"", "xmpbag"},
        {"/xmp/dc:subject/{ulong=0}", L"boats"},
        {"/xmp/dc:subject/{ulong=1}", L"sea"},
        {"/xmp/dc:creator", L"", "xmpseq"},
        {"/xmp/dc:creator/{ulong=1}", L""},
        {"/xmp/dc:title", L"", "xmpalt"},
        {"/xmp/dc:title/x-default", L"Harbour"},
        {"/xmp/dc:title/en-us", L"Harbor"},
        {"/xmp/dc:title/{ulong=2}", L"plain"},
        {"/xmp/dc:title/{ulong=3}", L"slash"},
        {"/xmp/dc:rights", L"", "xmpalt"}}},
      {"structures: parseType Resource, nested description, plain fields, attributes",
       Packet("<rdf:Description>"
              "<Iptc4xmpCore:CreatorContactInfo rdf:parseType='Resource'>"
              "<Iptc4xmpCore:CiAdrCity>Troms\xC3\xB8</Iptc4xmpCore:CiAdrCity>"
              "</Iptc4xmpCore:CreatorContactInfo>"
              "<ex:d><rdf:Description ex:a='1'><ex:b>2</ex:b></rdf:Description></ex:d>"
              "<ex:plain ex:a='1'><ex:b>2</ex:b></ex:plain>"
              "<ex:attrs ex:a='1' ex:b='2'/>"
              "</rdf:Description>"),
       {"/Iptc4xmpCore:CreatorContactInfo", "/ex:d", "/ex:plain", "/ex:attrs"},
       {{"/xmp/Iptc4xmpCore:CreatorContactInfo", L"", "xmpstruct"},
        {"/xmp/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCity", L"Troms\u00F8"},
        {"/xmp/ex:d/ex:a", L"1"},
        {"/xmp/ex:d/ex:b", L"2"},
        {"/xmp/ex:plain/ex:a", L"1"},
        {"/xmp/ex:plain/ex:b", L"2"},
        {"/xmp/ex:attrs", L"", "xmpstruct"},
        {"/xmp/ex:attrs/ex:b", L"2"}}},
      {"arrays inside structures and structures inside arrays",
       Packet("<rdf:Description><ex:s rdf:parseType='Resource'>"
              "<ex:list><rdf:Seq><rdf:li>one</rdf:li></rdf:Seq></ex:list>"
              "<ex:names><rdf:Alt><rdf:li xml:lang='x-default'>n</rdf:li></rdf:Alt></ex:names>"
              "</ex:s>"
              "<ex:places><rdf:Bag>"
              "<rdf:li rdf:parseType='Resource'><ex:city>Oslo</ex:city></rdf:li>"
              "<rdf:li><rdf:Description ex:city='Bergen'/></rdf:li>"
              "<rdf:li><rdf:Bag><rdf:li>inner</rdf:li></rdf:Bag></rdf:li>"
              "</rdf:Bag></ex:places></rdf:Description>"),
       {"/ex:s", "/ex:places"},
       {{"/xmp/ex:s/ex:list", L"", "xmpseq"},
        {"/xmp/ex:s/ex:list/{ulong=0}", L"one"},
        {"/xmp/ex:s/ex:names/x-default", L"n"},
        {"/xmp/ex:places/{ulong=0}", L"", "xmpstruct"},
        {"/xmp/ex:places/{ulong=0}/ex:city", L"Oslo"},
        {"/xmp/ex:places/{ulong=1}/ex:city", L"Bergen"},
        {"/xmp/ex:places/{ulong=2}/{ulong=0}", L"inner"}}},
      {"resource URIs, qualified values, empty and escaped text",
       Packet("<rdf:Description>"
              "<ex:link rdf:resource='http://example.com/a?b&amp;c'/>"
              "<ex:q rdf:parseType='Resource'><rdf:value>kept</rdf:value>"
              "<ex:qual>dropped</ex:qual></ex:q>"
              "<ex:qa><rdf:Description rdf:value='kept too' ex:qual='x'/></ex:qa>"
              "<ex:empty/><ex:ws>  </ex:ws>"
              "<ex:text>a &lt;b&gt; &#x1F600; \xF0\x9F\x98\x80 <![CDATA[<c>]]></ex:text>"
              "</rdf:Description>"),
       {"/ex:link", "/ex:q", "/ex:qa", "/ex:empty", "/ex:ws", "/ex:text"},
       {{"/xmp/ex:link", L"http://example.com/a?b&c"},
        {"/xmp/ex:q", L"kept"},
        {"/xmp/ex:qa", L"kept too"},
        {"/xmp/ex:empty", L""},
        {"/xmp/ex:text", L"a <b> \U0001F600 \U0001F600 <c>"}}},
      {"RDF recognised by namespace: another prefix, default namespace, undeclared rdf",
       "<x:xmpmeta xmlns:x='adobe:ns:meta/'>"
       "<r:RDF xmlns:r='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
       "<r:Description xmlns:dc='http://purl.org/dc/elements/1.1/'>"
       "<dc:subject><r:Bag><r:li>a</r:li></r:Bag></dc:subject>"
       "<dc:type><Seq xmlns='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><li>b</li></Seq>"
       "</dc:type>"
       "<dc:source><rdf:Bag><rdf:li>c</rdf:li></rdf:Bag></dc:source>"
       "</r:Description></r:RDF></x:xmpmeta>",
       {"/dc:subject", "/dc:type", "/dc:source"},
       {{"/xmp/dc:subject/{ulong=0}", L"a"},
        {"/xmp/dc:type", L"", "xmpseq"},
        {"/xmp/dc:type/{ulong=0}", L"b"},
        {"/xmp/dc:source/{ulong=0}", L"c"}}},
      {"rdf:RDF without the x:xmpmeta wrapper; repeated names",
       std::string("<rdf:RDF") + kNs +
           "><rdf:Description dc:format='a'/><rdf:Description dc:format='b'/></rdf:RDF>",
       {"/dc:format", "/[1]dc:format"},
       {{"/xmp/dc:format", L"a"}, {"/xmp/[1]dc:format", L"b"}}},
      {"no properties", Packet(""), {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto xmp = Parse(c.packet);
    ASSERT_TRUE(xmp);
    EXPECT_EQ(xmp->Format(), "xmp");
    EXPECT_EQ(xmp->GetEnumerator(), c.rootNames);
    CheckTree(*xmp);
    ExpectValues(*xmp, c.values);
  }
}

TEST(Xmp, NestedArrayItemsEnumerateInOrder) {
  auto xmp =
      Parse(Packet("<rdf:Description><dc:title><rdf:Alt>"
                   "<rdf:li xml:lang='x-default'>a</rdf:li><rdf:li xml:lang='de'>b</rdf:li>"
                   "<rdf:li xml:lang='x-default'>c</rdf:li></rdf:Alt></dc:title>"
                   "<dc:subject><rdf:Bag><rdf:li>x</rdf:li><ex:junk>j</ex:junk><rdf:li>y</rdf:li>"
                   "</rdf:Bag></dc:subject></rdf:Description>"));
  ASSERT_TRUE(xmp);
  img::PropValue v;
  ASSERT_EQ(xmp->GetMetadataByName("/dc:title", &v), img::kOk);
  ASSERT_TRUE(v.reader);
  EXPECT_EQ(v.reader->GetEnumerator(),
            (std::vector<std::string>{"/x-default", "/de", "/[1]x-default"}));
  ASSERT_EQ(xmp->GetMetadataByName("/dc:title/[1]x-default", &v), img::kOk);
  EXPECT_EQ(v.text, L"c");
  // only rdf:li elements are array items
  ASSERT_EQ(xmp->GetMetadataByName("/dc:subject", &v), img::kOk);
  ASSERT_TRUE(v.reader);
  EXPECT_EQ(v.reader->GetEnumerator(), (std::vector<std::string>{"/{ulong=0}", "/{ulong=1}"}));
}

TEST(Xmp, RejectsWhatIsNotAnXmpPacket) {
  const std::string body = "<rdf:Description dc:format='a'/>";
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"only a byte order mark and padding", std::string("\xEF\xBB\xBF  \n") + '\0'},
      {"unclosed element", Packet(body).substr(0, Packet(body).size() - 5)},
      {"mismatched end tag", std::string("<rdf:RDF") + kNs + ">" + body + "</rdf:RFD>"},
      {"garbage", "\x89PNG\r\n\x1A\n<<<>>>&&"},
      {"unterminated attribute", std::string("<rdf:RDF") + kNs + "><rdf:Description dc:a='x/>"},
      {"XML without rdf:RDF", "<x:xmpmeta xmlns:x='adobe:ns:meta/'><a>1</a></x:xmpmeta>"},
      {"rdf prefix bound to another namespace",
       "<rdf:RDF xmlns:rdf='urn:not-rdf'><rdf:Description/></rdf:RDF>"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(Parse(c.bytes)) << c.name;
  }
  EXPECT_FALSE(img::ParseXmpPacket(nullptr, 10));
}

TEST(Xmp, SizeLimitIs16MiB) {
  std::string packet = Packet("<rdf:Description dc:format='a'/>");
  packet.resize(16u << 20, ' ');
  EXPECT_TRUE(Parse(packet));
  packet.push_back(' ');
  EXPECT_FALSE(Parse(packet));
}

// The items of all XMP segments of one JPEG share one budget: 60 segments
// of 2,000 items each give at most 100,000 items, the first packets whole.
TEST(Xmp, OneItemBudgetPerJpeg) {
  std::string body = "<rdf:Description";
  for (int i = 0; i < 2000; ++i) body += " xmp:P" + std::to_string(i) + "='v'";
  body += "/>";
  const std::string packet = Packet(body);
  ASSERT_LT(packet.size() + 31, 65533u);
  const auto quad = testing_support::ReadBytes(testing_support::Fixture("jpeg_quad.jpg"));
  std::vector<std::uint8_t> jpeg(quad.begin(), quad.begin() + 2);
  const std::string head("http://ns.adobe.com/xap/1.0/\0", 29);
  for (int k = 0; k < 60; ++k) {
    const std::size_t length = 2 + head.size() + packet.size();
    jpeg.insert(jpeg.end(), {0xFF, 0xE1, static_cast<std::uint8_t>(length >> 8),
                             static_cast<std::uint8_t>(length)});
    jpeg.insert(jpeg.end(), head.begin(), head.end());
    jpeg.insert(jpeg.end(), packet.begin(), packet.end());
  }
  jpeg.insert(jpeg.end(), quad.begin() + 2, quad.end());
  std::unique_ptr<img::Decoder> dec;
  std::unique_ptr<img::Frame> frame;
  ASSERT_EQ(img::CreateDecoderFromMemory(testing_support::ShareBytes(jpeg), &dec), img::kOk);
  ASSERT_EQ(dec->GetFrame(0, &frame), img::kOk);
  std::size_t total = 0, first = 0;
  for (const img::MetaItem& block : frame->Metadata()->Items()) {
    if (block.id != "xmp" || !block.value.reader) continue;
    const std::size_t n = block.value.reader->Items().size();
    if (total == 0) first = n;
    total += n;
  }
  EXPECT_EQ(first, 2000u);
  EXPECT_EQ(total, 100000u);
}

TEST(Xmp, EntitiesDeclaredInTheDocumentAreNotExpanded) {
  // Ten levels of ten references: a billion copies if expanded; and an
  // external entity that would read a file.
  std::string doctype = "<!DOCTYPE lolz [<!ENTITY lol0 'lol'>";
  for (int i = 1; i <= 9; ++i) {
    doctype += "<!ENTITY lol" + std::to_string(i) + " '";
    for (int k = 0; k < 10; ++k) doctype += "&lol" + std::to_string(i - 1) + ";";
    doctype += "'>";
  }
  doctype += "<!ENTITY xxe SYSTEM 'file:///etc/passwd'>]>";
  const std::string packet =
      doctype + Packet(
                    "<rdf:Description ex:a='&lol9;'><dc:title>&lol9;</dc:title>"
                    "<ex:file>&xxe;</ex:file></rdf:Description>");
  const auto start = std::chrono::steady_clock::now();
  auto xmp = Parse(packet);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_TRUE(xmp);
  for (const char* path : {"/ex:a", "/dc:title", "/ex:file"}) {
    img::PropValue v;
    ASSERT_EQ(xmp->GetMetadataByName(path, &v), img::kOk) << path;
    EXPECT_LT(v.text.size(), 16u) << path;
    EXPECT_EQ(v.text.find(L"root"), std::wstring::npos) << path;
  }
}

TEST(Xmp, DeepNestingStopsAtTwelveLevels) {
  // Structures nested 40 deep: readers exist down to level 12, the rest is
  // dropped.
  std::string body = "<rdf:Description>";
  for (int i = 0; i < 40; ++i) body += "<ex:s rdf:parseType='Resource'><ex:v>x</ex:v>";
  for (int i = 0; i < 40; ++i) body += "</ex:s>";
  body += "<dc:format>after</dc:format></rdf:Description>";
  auto xmp = Parse(Packet(body));
  ASSERT_TRUE(xmp);
  std::string path;
  for (int i = 0; i < 12; ++i) path += "/ex:s";
  img::PropValue v;
  ASSERT_EQ(xmp->GetMetadataByName(path, &v), img::kOk);
  ASSERT_TRUE(v.reader);
  EXPECT_EQ(v.reader->GetEnumerator(), std::vector<std::string>{"/ex:v"});
  EXPECT_EQ(xmp->GetMetadataByName(path + "/ex:s", &v), img::kErrPropertyNotFound);
  ASSERT_EQ(xmp->GetMetadataByName("/dc:format", &v), img::kOk);
  EXPECT_EQ(v.text, L"after");

  // Arrays nested far deeper than any stack would allow recursion through,
  // and a document nested as deep before its rdf:RDF.
  const int kDeep = 100000;
  std::string deep = "<rdf:Description><dc:subject>";
  for (int i = 0; i < kDeep; ++i) deep += "<rdf:Bag><rdf:li>";
  for (int i = 0; i < kDeep; ++i) deep += "</rdf:li></rdf:Bag>";
  deep += "</dc:subject></rdf:Description>";
  xmp = Parse(Packet(deep));
  ASSERT_TRUE(xmp);
  EXPECT_LE(CheckTree(*xmp), 12u);
  std::string outer;
  for (int i = 0; i < kDeep; ++i) outer += "<a>";
  outer += Packet("");
  for (int i = 0; i < kDeep; ++i) outer += "</a>";
  EXPECT_FALSE(Parse(outer));  // rdf:RDF too far down to be a packet's
}

TEST(Xmp, ItemCountIsCapped) {
  std::string body = "<rdf:Description><dc:subject><rdf:Bag>";
  for (int i = 0; i < 150000; ++i) body += "<rdf:li>x</rdf:li>";
  body += "</rdf:Bag></dc:subject><dc:format>late</dc:format></rdf:Description>";
  auto xmp = Parse(Packet(body));
  ASSERT_TRUE(xmp);
  EXPECT_EQ(CountItems(*xmp), 100000u);
  // the array is kept, cut short; what follows it is dropped
  EXPECT_EQ(xmp->GetEnumerator(), std::vector<std::string>{"/dc:subject"});
}

// Packets written by exiftool (tests/fixtures/make_xmp.sh), read as exiftool
// itself reads them back.
TEST(Xmp, ReadsExiftoolPackets) {
  {
    const auto bytes = testing_support::ReadBytes(testing_support::Fixture("xmp_exiftool.xmp"));
    ASSERT_FALSE(bytes.empty());
    auto xmp = img::ParseXmpPacket(bytes.data(), bytes.size());
    ASSERT_TRUE(xmp);
    EXPECT_EQ(CheckTree(*xmp), 18u);
    EXPECT_EQ(xmp->GetEnumerator(),
              (std::vector<std::string>{"/Iptc4xmpCore:CreatorContactInfo",
                                        "/Iptc4xmpExt:LocationShown", "/dc:creator", "/dc:subject",
                                        "/dc:title", "/xmp:CreatorTool", "/xmp:Rating"}));
    ExpectValues(*xmp,
                 {{"/xmp/dc:title/x-default", L"Harbour at dusk"},
                  {"/xmp/dc:title/en-US", L"Harbor at dusk"},
                  {"/xmp/dc:subject", L"", "xmpbag"},
                  {"/xmp/dc:subject/{ulong=0}", L"boats"},
                  {"/xmp/dc:subject/{ulong=1}", L"sea"},
                  {"/xmp/dc:creator", L"", "xmpseq"},
                  {"/xmp/dc:creator/{ulong=0}", L"Ann \u00D3"},
                  {"/xmp/xmp:CreatorTool", L"Norvane test"},
                  {"/xmp/xmp:Rating", L"3"},
                  {"/xmp/Iptc4xmpCore:CreatorContactInfo", L"", "xmpstruct"},
                  {"/xmp/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCity", L"Troms\u00F8"},
                  {"/xmp/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCtry", L"Norway"},
                  {"/xmp/Iptc4xmpExt:LocationShown/{ulong=1}/Iptc4xmpExt:City", L"Bergen"}});
  }
  {
    const auto bytes = testing_support::ReadBytes(testing_support::Fixture("xmp_shorthand.xmp"));
    ASSERT_FALSE(bytes.empty());
    auto xmp = img::ParseXmpPacket(bytes.data(), bytes.size());
    ASSERT_TRUE(xmp);
    EXPECT_EQ(xmp->GetEnumerator(),
              (std::vector<std::string>{"/Iptc4xmpCore:CreatorContactInfo", "/dc:subject",
                                        "/dc:title", "/xmp:CreatorTool", "/xmp:Rating"}));
    ExpectValues(*xmp,
                 {{"/xmp/Iptc4xmpCore:CreatorContactInfo", L"", "xmpstruct"},
                  {"/xmp/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCity", L"Troms\u00F8"},
                  {"/xmp/dc:subject/{ulong=0}", L"boats"},
                  {"/xmp/dc:title/x-default", L"Harbour at dusk"},
                  {"/xmp/xmp:CreatorTool", L"Norvane test"},
                  {"/xmp/xmp:Rating", L"3"}});
  }
}

}  // namespace

namespace {

// UTF-16 in either byte order, with or without a byte order mark, as UTF-8.
std::string Utf16(const std::u16string& text, bool big, bool mark) {
  std::string out;
  auto unit = [&](char16_t u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += big ? hi : lo;
    out += big ? lo : hi;
  };
  if (mark) unit(0xFEFF);
  for (char16_t u : text) unit(u);
  return out;
}

// Packets stored as UTF-16 are read like UTF-8 ones, and the editor takes
// them too, writing UTF-8 back.
TEST(Xmp, Utf16Packets) {
  const std::u16string xml =
      u"<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
      u"xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
      u"xmlns:dc='http://purl.org/dc/elements/1.1/' dc:format='caf\u00E9 \U0001F600'/>"
      u"</rdf:RDF></x:xmpmeta>\0\0";
  const std::string want = "caf\xC3\xA9 \xF0\x9F\x98\x80";
  for (const bool big : {false, true}) {
    for (const bool mark : {false, true}) {
      SCOPED_TRACE(std::string(big ? "big" : "little") + (mark ? ", mark" : ""));
      const std::string packet = Utf16(xml, big, mark);
      auto xmp =
          img::ParseXmpPacket(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size());
      ASSERT_TRUE(xmp);
      img::PropValue v;
      ASSERT_EQ(xmp->GetMetadataByName("/dc:format", &v), img::kOk);
      EXPECT_EQ(platform::WideToUtf8(v.text), want);

      img::XmpEditor editor;
      ASSERT_TRUE(editor.Open(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size()));
      ASSERT_EQ(editor.Set("/dc:format", img::PropValue::Lpwstr(L"png")), img::kOk);
      std::string out;
      ASSERT_EQ(editor.Serialize(1u << 20, &out), img::kOk);
      auto again =
          img::ParseXmpPacket(reinterpret_cast<const std::uint8_t*>(out.data()), out.size());
      ASSERT_TRUE(again);
      ASSERT_EQ(again->GetMetadataByName("/dc:format", &v), img::kOk);
      EXPECT_EQ(v.text, L"png");
    }
  }
  // A lone surrogate becomes U+FFFD rather than ending the text.
  std::u16string lone = xml;
  lone[lone.find(u'\u00E9')] = 0xD800;
  const std::string packet = Utf16(lone, false, true);
  auto xmp =
      img::ParseXmpPacket(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size());
  ASSERT_TRUE(xmp);
  img::PropValue v;
  ASSERT_EQ(xmp->GetMetadataByName("/dc:format", &v), img::kOk);
  EXPECT_EQ(platform::WideToUtf8(v.text).substr(0, 6), "caf\xEF\xBF\xBD");
}

}  // namespace
