// XMP packets parsed with pugixml into a reader tree.
//
// The packet is RDF/XML: an rdf:RDF element (usually inside x:xmpmeta, the
// whole possibly wrapped in <?xpacket?> instructions) holding rdf:Description
// nodes whose attributes and child elements are the properties. A property's
// value is text, a URI (rdf:resource), an array (rdf:Bag, rdf:Seq, rdf:Alt of
// rdf:li) or a structure (rdf:parseType="Resource", a nested rdf:Description,
// or plain field elements). A structure carrying rdf:value is a qualified
// value: the value is kept and the qualifiers dropped.
//
// RDF elements are recognised by namespace URI, resolved through the xmlns
// declarations in scope; an undeclared "rdf" prefix is taken as RDF too, as
// hand-made packets often leave it out. Items are named by the qualified name
// as written in the file. The walk that makes items of the nodes is
// xmp_internal.h's, shared with the packet editor; this file builds the values.
//
// pugixml expands only the five predefined entities and character references;
// entities declared in a DOCTYPE stay literal text, so an entity bomb costs
// no more than its own bytes.
#include <pugixml.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "imaging/imaging.h"
#include "imaging/xmp_internal.h"
#include "platform/platform.h"

namespace img {

namespace {

PropValue Text(const char* utf8) { return PropValue::Lpwstr(platform::Utf8ToWide(utf8)); }

// The character content of an element: its text and CDATA children joined.
std::string ContentOf(pugi::xml_node e) {
  std::string text;
  for (pugi::xml_node c : e.children()) {
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) text += c.value();
  }
  return text;
}

// The reader's side of the walk: typed values and nested readers.
struct ReaderBuild {
  using Value = PropValue;
  using Item = MetaItem;

  static PropValue AttributeValue(pugi::xml_attribute a) { return Text(a.value()); }
  static MetaItem AttributeItem(pugi::xml_attribute a, pugi::xml_node) {
    return {a.name(), AttributeValue(a)};
  }
  static MetaItem ElementItem(std::string id, pugi::xml_node, PropValue v) {
    return {std::move(id), std::move(v)};
  }
  static PropValue StructValue(pugi::xml_node, int, std::vector<MetaItem> fields) {
    return PropValue::Reader(std::make_shared<MetadataReader>("xmpstruct", std::move(fields)));
  }
  static PropValue ArrayValue(pugi::xml_node, std::string_view kind, int,
                              std::vector<MetaItem> items) {
    const char* format = kind == "Alt" ? "xmpalt" : kind == "Seq" ? "xmpseq" : "xmpbag";
    return PropValue::Reader(std::make_shared<MetadataReader>(format, std::move(items)));
  }
  static bool NoContent(pugi::xml_node e) { return ContentOf(e).empty(); }
  static PropValue TextValue(pugi::xml_node e) {
    return PropValue::Lpwstr(platform::Utf8ToWide(ContentOf(e)));
  }
};

}  // namespace

// Null for unparsable XML and for XML without an rdf:RDF element; an rdf:RDF
// without properties gives a reader with no items.
std::shared_ptr<const MetadataReader> ParseXmpPacket(const std::uint8_t* data, std::size_t size,
                                                     std::size_t* budget) {
  if (!data || size == 0) return nullptr;
  std::string utf8;
  const std::string_view packet =
      xmp::TrimmedPacket(xmp::Utf8Packet({reinterpret_cast<const char*>(data), size}, &utf8));
  if (packet.empty()) return nullptr;

  pugi::xml_document doc;
  const pugi::xml_parse_result parsed =
      doc.load_buffer(packet.data(), packet.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) return nullptr;
  const pugi::xml_node rdf = xmp::FindRdf(doc);
  if (!rdf) return nullptr;
  xmp::Walk<ReaderBuild> walk;
  if (budget) walk.Limit(*budget);
  auto items = walk.Root(rdf);
  if (budget) *budget -= walk.Count();
  if (!items) return nullptr;
  return std::make_shared<MetadataReader>("xmp", std::move(*items));
}

}  // namespace img
