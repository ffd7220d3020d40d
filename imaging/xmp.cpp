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
// as written in the file.
//
// pugixml expands only the five predefined entities and character references;
// entities declared in a DOCTYPE stay literal text, so an entity bomb costs
// no more than its own bytes.
#include <pugixml.hpp>

#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "imaging/imaging.h"
#include "platform/platform.h"

namespace img {

namespace {

constexpr std::string_view kRdfNs = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
constexpr std::string_view kXmlNs = "http://www.w3.org/XML/1998/namespace";

// Real packets rarely exceed a few hundred KiB (JPEG's extended XMP is split
// into 64 KiB segments); anything far larger is not worth building a tree for.
constexpr std::size_t kMaxPacketBytes = 16u << 20;
// Nested readers below the root: real structures go three or four deep
// (an array of structures holding an array); deeper parts are dropped.
constexpr int kMaxDepth = 12;
// Items in the whole tree; the rest of a larger packet is dropped.
constexpr std::size_t kMaxItems = 100000;
// rdf:RDF sits at most a few elements down (x:xmpmeta, sometimes a wrapper).
constexpr int kMaxRdfSearchDepth = 8;

std::string_view PrefixOf(std::string_view qname) {
  const std::size_t colon = qname.find(':');
  return colon == std::string_view::npos ? std::string_view() : qname.substr(0, colon);
}

std::string_view LocalOf(std::string_view qname) {
  const std::size_t colon = qname.find(':');
  return colon == std::string_view::npos ? qname : qname.substr(colon + 1);
}

bool IsXmlnsAttribute(std::string_view name) {
  return name == "xmlns" || name.substr(0, 6) == "xmlns:";
}

// The xmlns declarations in scope while the tree is walked: each prefix maps
// to a stack of URIs, the innermost last, so a lookup costs the same however
// many declarations a hostile packet piles up.
class Namespaces {
 public:
  // Declares the prefixes of element `e`; `added` receives them for Leave.
  void Enter(pugi::xml_node e, std::vector<std::string_view>* added) {
    for (pugi::xml_attribute a : e.attributes()) {
      const std::string_view name = a.name();
      if (!IsXmlnsAttribute(name)) continue;
      const std::string_view prefix = name.size() > 5 ? name.substr(6) : std::string_view();
      map_[prefix].push_back(a.value());
      added->push_back(prefix);
    }
  }

  void Leave(const std::vector<std::string_view>& added) {
    for (std::string_view prefix : added) {
      auto it = map_.find(prefix);
      if (it == map_.end()) continue;
      it->second.pop_back();
      if (it->second.empty()) map_.erase(it);
    }
  }

  std::optional<std::string_view> Uri(std::string_view prefix) const {
    if (prefix == "xml") return kXmlNs;
    auto it = map_.find(prefix);
    if (it == map_.end()) return std::nullopt;
    return it->second.back();
  }

  // True when `qname` is in the RDF namespace (and, if `local` is given, has
  // that local name).
  bool IsRdf(std::string_view qname, std::string_view local = {}) const {
    if (!local.empty() && LocalOf(qname) != local) return false;
    const std::string_view prefix = PrefixOf(qname);
    const auto uri = Uri(prefix);
    return uri ? *uri == kRdfNs : prefix == "rdf";
  }

 private:
  std::unordered_map<std::string_view, std::vector<std::string_view>> map_;
};

// The declarations of one element, undone when the walk leaves it.
class Scope {
 public:
  Scope(Namespaces* ns, pugi::xml_node e) : ns_(ns) { ns_->Enter(e, &added_); }
  ~Scope() { ns_->Leave(added_); }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  Namespaces* ns_;
  std::vector<std::string_view> added_;
};

PropValue Text(const char* utf8) { return PropValue::Lpwstr(platform::Utf8ToWide(utf8)); }

// The character content of an element: its text and CDATA children joined.
std::string ContentOf(pugi::xml_node e) {
  std::string text;
  for (pugi::xml_node c : e.children()) {
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) text += c.value();
  }
  return text;
}

bool HasElementChild(pugi::xml_node e) {
  for (pugi::xml_node c : e.children()) {
    if (c.type() == pugi::node_element) return true;
  }
  return false;
}

// An xml:lang usable as a query path component; the characters a path gives
// meaning to would make the item unreachable.
bool UsableLanguage(std::string_view lang) {
  return !lang.empty() && lang.find_first_of("/{}[]") == std::string_view::npos;
}

class Parser {
 public:
  // The items of every description under rdf:RDF, in document order; none
  // when the element is not RDF's after all.
  std::optional<std::vector<MetaItem>> Root(pugi::xml_node rdf) {
    // The declarations above rdf:RDF (x:xmpmeta's, the root's) stay in force.
    std::vector<pugi::xml_node> chain;
    for (pugi::xml_node n = rdf.parent(); n && n.type() == pugi::node_element; n = n.parent()) {
      chain.push_back(n);
    }
    std::vector<std::string_view> outer;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) ns_.Enter(*it, &outer);

    std::optional<std::vector<MetaItem>> items;
    {
      Scope scope(&ns_, rdf);
      if (ns_.IsRdf(rdf.name(), "RDF")) {
        items.emplace();
        for (pugi::xml_node d : rdf.children()) {
          if (d.type() != pugi::node_element) continue;
          Scope inner(&ns_, d);
          std::optional<PropValue> ignored;
          Fields(d, 0, &*items, &ignored);
        }
      }
    }
    ns_.Leave(outer);
    return items;
  }

 private:
  // Every item is counted before its value is built, so the cap stops the
  // walk without dropping the arrays and structures already under way.
  bool Reserve() {
    if (count_ >= kMaxItems) return false;
    ++count_;
    return true;
  }
  void Release() { --count_; }

  // The fields of a description or structure element `n` (its scope already
  // entered): property attributes, then property elements. rdf:value goes to
  // *value instead; other RDF attributes and elements, xmlns and xml:* are
  // not fields. `level` is the depth of the reader the fields go into.
  void Fields(pugi::xml_node n, int level, std::vector<MetaItem>* items,
              std::optional<PropValue>* value) {
    for (pugi::xml_attribute a : n.attributes()) {
      const std::string_view name = a.name();
      // Unprefixed attributes are not properties (old writers put a bare
      // "about" here).
      if (IsXmlnsAttribute(name) || PrefixOf(name).empty() || PrefixOf(name) == "xml") continue;
      if (ns_.IsRdf(name)) {
        if (LocalOf(name) == "value") *value = Text(a.value());
        continue;
      }
      if (!Reserve()) return;
      items->push_back({a.name(), Text(a.value())});
    }
    for (pugi::xml_node c : n.children()) {
      if (c.type() != pugi::node_element) continue;
      Scope scope(&ns_, c);  // an element's own declarations apply to its name
      PropValue v;
      if (ns_.IsRdf(c.name())) {
        if (LocalOf(c.name()) == "value" && Value(c, level, &v)) *value = std::move(v);
        continue;
      }
      if (!Reserve()) return;
      if (Value(c, level, &v)) {
        items->push_back({c.name(), std::move(v)});
      } else {
        Release();
      }
    }
  }

  // A structure reader of the fields of `n` (scope entered), or the value of
  // its rdf:value when it has one. False when too deep.
  bool Struct(pugi::xml_node n, int level, PropValue* out) {
    if (level + 1 > kMaxDepth) return false;
    std::vector<MetaItem> fields;
    std::optional<PropValue> value;
    Fields(n, level + 1, &fields, &value);
    if (value) {
      *out = std::move(*value);
      return true;
    }
    *out = PropValue::Reader(std::make_shared<MetadataReader>("xmpstruct", std::move(fields)));
    return true;
  }

  // An rdf:Bag, rdf:Seq or rdf:Alt element (scope entered) as a reader.
  bool Array(pugi::xml_node array, std::string_view kind, int level, PropValue* out) {
    if (level + 1 > kMaxDepth) return false;
    const bool alt = kind == "Alt";
    std::vector<MetaItem> items;
    std::size_t index = 0;
    for (pugi::xml_node li : array.children()) {
      if (li.type() != pugi::node_element) continue;
      Scope scope(&ns_, li);
      if (!ns_.IsRdf(li.name(), "li")) continue;
      const std::size_t i = index++;
      if (!Reserve()) break;
      PropValue v;
      if (!Value(li, level + 1, &v)) {
        Release();
        continue;
      }
      const std::string_view lang = li.attribute("xml:lang").value();
      std::string id =
          alt && UsableLanguage(lang) ? std::string(lang) : "{ulong=" + std::to_string(i) + "}";
      items.push_back({std::move(id), std::move(v)});
    }
    const char* format = alt ? "xmpalt" : kind == "Seq" ? "xmpseq" : "xmpbag";
    *out = PropValue::Reader(std::make_shared<MetadataReader>(format, std::move(items)));
    return true;
  }

  // The value of a property element or rdf:li `e` whose item goes into a
  // reader at `level` (its scope entered). False when the value is dropped
  // for being too deep.
  bool Value(pugi::xml_node e, int level, PropValue* out) {
    bool propertyAttributes = false;
    std::string_view parseType;
    for (pugi::xml_attribute a : e.attributes()) {
      const std::string_view name = a.name();
      if (IsXmlnsAttribute(name) || PrefixOf(name).empty() || PrefixOf(name) == "xml") continue;
      if (!ns_.IsRdf(name)) {
        propertyAttributes = true;
      } else if (LocalOf(name) == "resource") {
        *out = Text(a.value());
        return true;
      } else if (LocalOf(name) == "parseType") {
        parseType = a.value();
      }
    }
    if (parseType == "Resource") return Struct(e, level, out);
    if (parseType != "Literal") {
      pugi::xml_node first;
      for (pugi::xml_node c : e.children()) {
        if (c.type() == pugi::node_element) {
          first = c;
          break;
        }
      }
      if (first) {
        {
          Scope inner(&ns_, first);
          for (std::string_view kind : {"Bag", "Seq", "Alt"}) {
            if (ns_.IsRdf(first.name(), kind)) return Array(first, kind, level, out);
          }
          if (ns_.IsRdf(first.name(), "Description")) return Struct(first, level, out);
        }
        // Plain field elements (each enters its own scope again).
        return Struct(e, level, out);
      }
    }
    std::string text = ContentOf(e);
    // <ns:prop ns:a="1" ns:b="2"/> is a structure written as attributes.
    if (text.empty() && propertyAttributes && !HasElementChild(e)) return Struct(e, level, out);
    *out = PropValue::Lpwstr(platform::Utf8ToWide(text));
    return true;
  }

  Namespaces ns_;
  std::size_t count_ = 0;
};

// The first element named RDF within the top few levels, without recursion.
pugi::xml_node FindRdf(const pugi::xml_document& doc) {
  pugi::xml_node n = doc.first_child();
  int depth = 1;
  while (n) {
    if (n.type() == pugi::node_element && LocalOf(n.name()) == "RDF") return n;
    if (depth < kMaxRdfSearchDepth && n.first_child()) {
      n = n.first_child();
      ++depth;
      continue;
    }
    while (!n.next_sibling()) {
      n = n.parent();
      if (--depth == 0) return {};
    }
    n = n.next_sibling();
  }
  return {};
}

}  // namespace

// Null for unparsable XML and for XML without an rdf:RDF element; an rdf:RDF
// without properties gives a reader with no items.
std::shared_ptr<const MetadataReader> ParseXmpPacket(const std::uint8_t* data, std::size_t size) {
  if (!data || size == 0 || size > kMaxPacketBytes) return nullptr;
  // A UTF-8 byte order mark before, zero bytes and padding after.
  if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
    data += 3;
    size -= 3;
  }
  while (size > 0 && (data[size - 1] == 0 || data[size - 1] == ' ' || data[size - 1] == '\n' ||
                      data[size - 1] == '\r' || data[size - 1] == '\t')) {
    --size;
  }
  if (size == 0) return nullptr;

  pugi::xml_document doc;
  const pugi::xml_parse_result parsed =
      doc.load_buffer(data, size, pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) return nullptr;
  const pugi::xml_node rdf = FindRdf(doc);
  if (!rdf) return nullptr;
  Parser parser;
  auto items = parser.Root(rdf);
  if (!items) return nullptr;
  return std::make_shared<MetadataReader>("xmp", std::move(*items));
}

}  // namespace img
