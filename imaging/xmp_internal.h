// What the XMP reader (xmp.cpp) and the packet editor (xmp_write.cpp) share:
// the namespace rules, the limits, how a packet is trimmed and where rdf:RDF
// is found, and the walk over rdf:RDF that decides which node is which item.
// The editor must name exactly the nodes the reader shows, so both go through
// the one walk and differ only in what they build from each node.
#pragma once

#include <pugixml.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace img::xmp {

inline constexpr std::string_view kRdfNs = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
inline constexpr std::string_view kXmlNs = "http://www.w3.org/XML/1998/namespace";

// Real packets rarely exceed a few hundred KiB (JPEG's extended XMP is split
// into 64 KiB segments); anything far larger is not worth building a tree for.
inline constexpr std::size_t kMaxPacketBytes = 16u << 20;
// Nested readers below the root: real structures go three or four deep
// (an array of structures holding an array); deeper parts are dropped.
inline constexpr int kMaxDepth = 12;
// Items in the whole tree; the rest of a larger packet is dropped.
inline constexpr std::size_t kMaxItems = 100000;
// rdf:RDF sits at most a few elements down (x:xmpmeta, sometimes a wrapper).
inline constexpr int kMaxRdfSearchDepth = 8;

inline std::string_view PrefixOf(std::string_view qname) {
  const std::size_t colon = qname.find(':');
  return colon == std::string_view::npos ? std::string_view() : qname.substr(0, colon);
}

inline std::string_view LocalOf(std::string_view qname) {
  const std::size_t colon = qname.find(':');
  return colon == std::string_view::npos ? qname : qname.substr(colon + 1);
}

inline bool IsXmlnsAttribute(std::string_view name) {
  return name == "xmlns" || name.substr(0, 6) == "xmlns:";
}

// The prefix an xmlns attribute declares ("" for the default namespace).
inline std::string_view DeclaredPrefix(std::string_view name) {
  return name.size() > 5 ? name.substr(6) : std::string_view();
}

// Unprefixed attributes are not properties (old writers put a bare "about"
// on descriptions), nor are xmlns and xml:* ones.
inline bool IsPropertyAttribute(std::string_view name) {
  return !IsXmlnsAttribute(name) && !PrefixOf(name).empty() && PrefixOf(name) != "xml";
}

// Whether a name whose prefix resolves to `uri` is RDF's; an undeclared "rdf"
// prefix counts, as hand-made packets often leave it out.
inline bool IsRdfNamespace(std::string_view prefix, std::optional<std::string_view> uri) {
  return uri ? *uri == kRdfNs : prefix == "rdf";
}

inline bool HasElementChild(pugi::xml_node e) {
  for (pugi::xml_node c : e.children()) {
    if (c.type() == pugi::node_element) return true;
  }
  return false;
}

// An xml:lang usable as a query path component; the characters a path gives
// meaning to would make the item unreachable.
inline bool UsableLanguage(std::string_view lang) {
  return !lang.empty() && lang.find_first_of("/{}[]") == std::string_view::npos;
}

// The XML of a stored packet: without a UTF-8 byte order mark before, nor the
// zero bytes and padding after. Empty when nothing is left or the packet is
// over kMaxPacketBytes.
std::string_view TrimmedPacket(std::string_view packet);

// A packet stored as UTF-16 (with a byte order mark, or recognised by the
// zero bytes around its first "<"), converted to UTF-8 in *storage, which the
// view returned then points into; any other packet is returned as it is.
// Unpaired surrogates become U+FFFD.
std::string_view Utf8Packet(std::string_view packet, std::string* storage);

// The first element named RDF within the top few levels, without recursion.
pugi::xml_node FindRdf(const pugi::xml_document& doc);

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
      const std::string_view prefix = DeclaredPrefix(name);
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
    return IsRdfNamespace(prefix, Uri(prefix));
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

// The walk from rdf:RDF to the reader's items. A description's or structure's
// fields are its property attributes, then its property elements; rdf:value
// stands for the whole structure; other RDF attributes and elements, xmlns
// and xml:* are not fields. What each item and value is made of comes from
// `Build`, whose static members are:
//
//   Value, Item                       the types built
//   Value AttributeValue(attribute)   the text of a property attribute,
//                                     rdf:value or rdf:resource
//   Item AttributeItem(attribute, element carrying it)
//   Item ElementItem(id, property element or rdf:li, Value)
//   Value StructValue(element, depth of its reader, fields)
//   Value ArrayValue(rdf:Bag/Seq/Alt, "Bag"/"Seq"/"Alt", depth, items)
//   bool NoContent(element)           no character content, as parsed there
//   Value TextValue(element)          its character content
template <typename Build>
class Walk {
 public:
  using Value = typename Build::Value;
  using Item = typename Build::Item;

  // The items of every description under rdf:RDF, in document order; none
  // when the element is not RDF's after all.
  std::optional<std::vector<Item>> Root(pugi::xml_node rdf) {
    // The declarations above rdf:RDF (x:xmpmeta's, the root's) stay in force.
    std::vector<pugi::xml_node> chain;
    for (pugi::xml_node n = rdf.parent(); n && n.type() == pugi::node_element; n = n.parent()) {
      chain.push_back(n);
    }
    std::vector<std::string_view> outer;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) ns_.Enter(*it, &outer);

    std::optional<std::vector<Item>> items;
    {
      Scope scope(&ns_, rdf);
      if (ns_.IsRdf(rdf.name(), "RDF")) {
        items.emplace();
        for (pugi::xml_node d : rdf.children()) {
          if (d.type() != pugi::node_element) continue;
          Scope inner(&ns_, d);
          std::optional<Value> ignored;
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
    if (count_ >= limit_) return false;
    ++count_;
    return true;
  }
  void Release() { --count_; }

  // The fields of a description or structure element `n` (its scope already
  // entered); rdf:value goes to *value instead. `level` is the depth of the
  // reader the fields go into.
  void Fields(pugi::xml_node n, int level, std::vector<Item>* items, std::optional<Value>* value) {
    for (pugi::xml_attribute a : n.attributes()) {
      const std::string_view name = a.name();
      if (!IsPropertyAttribute(name)) continue;
      if (ns_.IsRdf(name)) {
        if (LocalOf(name) == "value") *value = Build::AttributeValue(a);
        continue;
      }
      if (!Reserve()) return;
      items->push_back(Build::AttributeItem(a, n));
    }
    for (pugi::xml_node c : n.children()) {
      if (c.type() != pugi::node_element) continue;
      Scope scope(&ns_, c);  // an element's own declarations apply to its name
      Value v;
      if (ns_.IsRdf(c.name())) {
        if (LocalOf(c.name()) == "value" && ValueOf(c, level, &v)) *value = std::move(v);
        continue;
      }
      if (!Reserve()) return;
      if (ValueOf(c, level, &v)) {
        items->push_back(Build::ElementItem(c.name(), c, std::move(v)));
      } else {
        Release();
      }
    }
  }

  // A structure of the fields of `n` (scope entered), or the value of its
  // rdf:value when it has one. False when too deep.
  bool Struct(pugi::xml_node n, int level, Value* out) {
    if (level + 1 > kMaxDepth) return false;
    std::vector<Item> fields;
    std::optional<Value> value;
    Fields(n, level + 1, &fields, &value);
    if (value) {
      *out = std::move(*value);
      return true;
    }
    *out = Build::StructValue(n, level + 1, std::move(fields));
    return true;
  }

  // An rdf:Bag, rdf:Seq or rdf:Alt element (scope entered).
  bool Array(pugi::xml_node array, std::string_view kind, int level, Value* out) {
    if (level + 1 > kMaxDepth) return false;
    const bool alt = kind == "Alt";
    std::vector<Item> items;
    std::size_t index = 0;
    for (pugi::xml_node li : array.children()) {
      if (li.type() != pugi::node_element) continue;
      Scope scope(&ns_, li);
      if (!ns_.IsRdf(li.name(), "li")) continue;
      const std::size_t i = index++;
      if (!Reserve()) break;
      Value v;
      if (!ValueOf(li, level + 1, &v)) {
        Release();
        continue;
      }
      const std::string_view lang = li.attribute("xml:lang").value();
      std::string id =
          alt && UsableLanguage(lang) ? std::string(lang) : "{ulong=" + std::to_string(i) + "}";
      items.push_back(Build::ElementItem(std::move(id), li, std::move(v)));
    }
    *out = Build::ArrayValue(array, kind, level + 1, std::move(items));
    return true;
  }

  // The value of a property element or rdf:li `e` whose item goes into a
  // reader at `level` (its scope entered). False when the value is dropped
  // for being too deep.
  bool ValueOf(pugi::xml_node e, int level, Value* out) {
    bool propertyAttributes = false;
    std::string_view parseType;
    for (pugi::xml_attribute a : e.attributes()) {
      const std::string_view name = a.name();
      if (!IsPropertyAttribute(name)) continue;
      if (!ns_.IsRdf(name)) {
        propertyAttributes = true;
      } else if (LocalOf(name) == "resource") {
        *out = Build::AttributeValue(a);
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
    // <ns:prop ns:a="1" ns:b="2"/> is a structure written as attributes.
    if (propertyAttributes && Build::NoContent(e) && !HasElementChild(e)) {
      return Struct(e, level, out);
    }
    *out = Build::TextValue(e);
    return true;
  }

  Namespaces ns_;
  std::size_t count_ = 0;
  std::size_t limit_ = kMaxItems;

 public:
  // At most `limit` items (never more than kMaxItems); Count tells how many
  // the walk took.
  void Limit(std::size_t limit) { limit_ = limit < kMaxItems ? limit : kMaxItems; }
  std::size_t Count() const { return count_; }
};

}  // namespace img::xmp
