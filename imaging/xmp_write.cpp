// Editing an XMP packet. The stored packet is parsed once into a pugixml
// document that keeps its whitespace and comments, and an edit changes only
// the attribute or element it lands on, so every description, declaration
// and line the user did not touch is written back as it was. An untouched
// packet is given back byte for byte.
//
// Items are named by the ids ParseXmpPacket gives (imaging/xmp.cpp). To name
// the same nodes, the editor goes through the reader's own walk
// (xmp_internal.h), with its namespace rules, depth limit and item cap, and
// keeps for each item the attribute or element its value came from. The walk
// is redone after every change: one pass over the document per edit, made
// one at a time by a person.
#include <pugixml.hpp>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "imaging/metadata_write_internal.h"
#include "imaging/xmp_internal.h"
#include "platform/platform.h"

namespace img {

namespace {

using xmp::DeclaredPrefix;
using xmp::HasElementChild;
using xmp::IsPropertyAttribute;
using xmp::IsRdfNamespace;
using xmp::IsXmlnsAttribute;
using xmp::kMaxDepth;
using xmp::kRdfNs;
using xmp::kXmlNs;
using xmp::LocalOf;
using xmp::PrefixOf;

// Room for other programs to grow the packet in place, as packets usually
// carry; less when the block would not fit otherwise.
constexpr std::size_t kPaddingBytes = 2048;
constexpr std::string_view kPacketBegin =
    "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>";
constexpr std::string_view kPacketEnd = "<?xpacket end=\"w\"?>";

// Whitespace and comments are kept so that untouched parts are written back
// as they were; everything else is parsed as the reader parses it.
constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_comments;

constexpr char kNewPacket[] =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
    " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
    " </rdf:RDF>\n"
    "</x:xmpmeta>";

struct Namespace {
  const char* prefix;
  const char* uri;
};

// Prefixes a new property may use without the packet declaring them.
constexpr Namespace kWellKnown[] = {
    {"dc", "http://purl.org/dc/elements/1.1/"},
    {"xmp", "http://ns.adobe.com/xap/1.0/"},
    {"xmpRights", "http://ns.adobe.com/xap/1.0/rights/"},
    {"xmpMM", "http://ns.adobe.com/xap/1.0/mm/"},
    {"photoshop", "http://ns.adobe.com/photoshop/1.0/"},
    {"exif", "http://ns.adobe.com/exif/1.0/"},
    {"tiff", "http://ns.adobe.com/tiff/1.0/"},
    {"Iptc4xmpCore", "http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/"},
    {"lr", "http://ns.adobe.com/lightroom/1.0/"},
    {"aux", "http://ns.adobe.com/exif/1.0/aux/"},
    {"crs", "http://ns.adobe.com/camera-raw-settings/1.0/"},
};

struct ArrayKind {
  const char* name;
  const char* kind;
};

// Ordered and unordered arrays of the well-known schemas: a first item
// "{ulong=0}" of one of these creates the array. (Language alternatives
// are created by their first language instead.)
constexpr ArrayKind kArrayKinds[] = {
    {"dc:contributor", "Bag"},
    {"dc:creator", "Seq"},
    {"dc:date", "Seq"},
    {"dc:language", "Bag"},
    {"dc:publisher", "Bag"},
    {"dc:relation", "Bag"},
    {"dc:subject", "Bag"},
    {"dc:type", "Bag"},
    {"xmp:Identifier", "Bag"},
    {"xmpRights:Owner", "Bag"},
    {"photoshop:SupplementalCategories", "Bag"},
    {"Iptc4xmpCore:Scene", "Bag"},
    {"Iptc4xmpCore:SubjectCode", "Bag"},
    {"lr:hierarchicalSubject", "Bag"},
};

// ---------------------------------------------------------------------------
// Namespaces, resolved as the reader resolves them.

// The declarations in scope at one element, gathered once, to look up names
// on it and on its children: asking through the ancestors for every child
// would cost a hostile packet's thousands of declarations once per child.
class InScope {
 public:
  explicit InScope(pugi::xml_node e) {
    for (; e && e.type() == pugi::node_element; e = e.parent()) {
      std::unordered_map<std::string_view, std::string_view> own;
      Declared(e, &own);
      map_.merge(own);  // inner declarations, gathered first, stay
    }
  }

  // The URI of `prefix` at `child` (null: at the element itself).
  std::optional<std::string_view> Uri(std::string_view prefix, pugi::xml_node child = {}) const {
    if (prefix == "xml") return kXmlNs;
    if (child) {
      std::unordered_map<std::string_view, std::string_view> own;
      Declared(child, &own);
      auto it = own.find(prefix);
      if (it != own.end()) return it->second;
    }
    auto it = map_.find(prefix);
    if (it == map_.end()) return std::nullopt;
    return it->second;
  }

  // Whether `qname`, written on or in `child` (null: the element itself), is
  // RDF's, by the walk's rule.
  bool IsRdf(std::string_view qname, std::string_view local = {}, pugi::xml_node child = {}) const {
    if (!local.empty() && LocalOf(qname) != local) return false;
    const std::string_view prefix = PrefixOf(qname);
    return IsRdfNamespace(prefix, Uri(prefix, child));
  }

  const std::unordered_map<std::string_view, std::string_view>& Map() const { return map_; }

 private:
  // The last of duplicate declarations on one element wins, as in the walk.
  static void Declared(pugi::xml_node e,
                       std::unordered_map<std::string_view, std::string_view>* out) {
    for (pugi::xml_attribute a : e.attributes()) {
      const std::string_view name = a.name();
      if (IsXmlnsAttribute(name)) (*out)[DeclaredPrefix(name)] = a.value();
    }
  }

  std::unordered_map<std::string_view, std::string_view> map_;
};

bool IsRdfAt(pugi::xml_node at, std::string_view qname, std::string_view local = {}) {
  return InScope(at).IsRdf(qname, local);
}

// A name for RDF's `local` usable on or in the new element `at`: "rdf:" when
// that prefix is RDF's there, else another prefix bound to RDF, else "rdf"
// declared on `at` (new, so nothing below it depends on the old binding).
// Attributes need a prefix; elements may use a default namespace.
std::string RdfName(pugi::xml_node at, std::string_view local, bool attribute) {
  const InScope scope(at);
  const auto rdf = scope.Uri("rdf");
  if (!rdf || *rdf == kRdfNs) return "rdf:" + std::string(local);
  for (const auto& [prefix, uri] : scope.Map()) {
    if (uri != kRdfNs || (attribute && prefix.empty())) continue;
    return prefix.empty() ? std::string(local) : std::string(prefix) + ":" + std::string(local);
  }
  at.append_attribute("xmlns:rdf").set_value(std::string(kRdfNs).c_str());
  return "rdf:" + std::string(local);
}

// ---------------------------------------------------------------------------
// Text as the reader sees it.

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool AllSpace(std::string_view s) {
  for (char c : s) {
    if (!IsSpace(c)) return false;
  }
  return true;
}

// Whitespace between tags. The reader's parse drops it, so it is never part
// of a value; it is kept here only to write the layout back.
bool IsBlank(pugi::xml_node n) { return n.type() == pugi::node_pcdata && AllSpace(n.value()); }

// The character content of an element as the reader reads it: its text and
// CDATA children, without the whitespace between tags.
std::string ContentOf(pugi::xml_node e) {
  std::string text;
  for (pugi::xml_node c : e.children()) {
    if (c.type() == pugi::node_cdata || (c.type() == pugi::node_pcdata && !IsBlank(c))) {
      text += c.value();
    }
  }
  return text;
}

// Text made of character references only ("&#32;") is not whitespace between
// tags, though it reads as whitespace once parsed. Such nodes become CDATA,
// which keeps the same text and tells itself apart from layout.
void KeepReferencedSpace(pugi::xml_document& doc, const char* source, std::size_t size) {
  std::vector<pugi::xml_node> found;
  pugi::xml_node n = doc.first_child();
  while (n) {
    if (IsBlank(n)) {
      const std::ptrdiff_t at = n.offset_debug();
      if (at >= 0 && static_cast<std::size_t>(at) < size) {
        std::size_t i = static_cast<std::size_t>(at);
        while (i < size && IsSpace(source[i])) ++i;
        if (i < size && source[i] != '<') found.push_back(n);
      }
    }
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && !n.next_sibling()) n = n.parent();
    if (n) n = n.next_sibling();
  }
  for (pugi::xml_node text : found) {
    pugi::xml_node parent = text.parent();
    parent.insert_child_before(pugi::node_cdata, text).set_value(text.value());
    parent.remove_child(text);
  }
}

// ---------------------------------------------------------------------------
// The walk: the reader's tree, with each value's source in the document.

struct Item;

// Where a reader value comes from.
struct Source {
  enum Kind { kAttribute, kText, kFields, kArray };
  Kind kind = kText;
  pugi::xml_attribute attr;  // kAttribute: the attribute holding the text
  pugi::xml_node elem;       // kText: the element whose content is the text;
                             // kFields: the element carrying the fields;
                             // kArray: the rdf:Bag, rdf:Seq or rdf:Alt
  int level = 0;             // kFields, kArray: the depth of the nested reader
  std::vector<Item> items;   // kFields, kArray
};

struct Item {
  std::string id;
  pugi::xml_attribute attr;  // an attribute property: the attribute, on `node`;
  pugi::xml_node node;       // otherwise the property element or rdf:li
  Source value;
};

// The editor's side of the walk: each value's source in the document.
struct SourceBuild {
  using Value = Source;
  using Item = img::Item;

  static Source AttributeValue(pugi::xml_attribute a) {
    Source s;
    s.kind = Source::kAttribute;
    s.attr = a;
    return s;
  }
  static Item AttributeItem(pugi::xml_attribute a, pugi::xml_node on) {
    Item item;
    item.id = a.name();
    item.attr = a;
    item.node = on;
    item.value = AttributeValue(a);
    return item;
  }
  static Item ElementItem(std::string id, pugi::xml_node e, Source v) {
    Item item;
    item.id = std::move(id);
    item.node = e;
    item.value = std::move(v);
    return item;
  }
  static Source StructValue(pugi::xml_node n, int level, std::vector<Item> fields) {
    return Nested(Source::kFields, n, level, std::move(fields));
  }
  static Source ArrayValue(pugi::xml_node array, std::string_view, int level,
                           std::vector<Item> items) {
    return Nested(Source::kArray, array, level, std::move(items));
  }
  static bool NoContent(pugi::xml_node e) { return ContentOf(e).empty(); }
  static Source TextValue(pugi::xml_node e) {
    Source s;
    s.kind = Source::kText;
    s.elem = e;
    return s;
  }

 private:
  static Source Nested(Source::Kind kind, pugi::xml_node e, int level, std::vector<Item> items) {
    Source s;
    s.kind = kind;
    s.elem = e;
    s.level = level;
    s.items = std::move(items);
    return s;
  }
};

// ---------------------------------------------------------------------------
// Paths.

struct Part {
  std::size_t index = 0;  // the "[n]" occurrence
  std::string_view name;
  std::string key;  // canonical, as ids are compared
};

bool SplitParts(std::string_view path, std::vector<Part>* parts) {
  std::vector<std::string_view> pieces;
  if (!SplitQueryPath(path, &pieces)) return false;
  for (std::string_view piece : pieces) {
    Part p;
    if (!SplitOccurrence(piece, &p.index, &p.name)) return false;
    p.key = CanonicalComponent(p.name);
    parts->push_back(std::move(p));
  }
  return true;
}

// "{ulong=N}", the id of an array item by position.
bool ArrayIndexOf(std::string_view name, std::size_t* n) {
  constexpr std::string_view kHead = "{ulong=";
  if (name.size() <= kHead.size() + 1 || name.back() != '}') return false;
  if (CanonicalComponent(name.substr(0, kHead.size())) != kHead) return false;
  const std::string_view digits = name.substr(kHead.size(), name.size() - kHead.size() - 1);
  if (digits.size() > 9) return false;
  std::size_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::size_t>(c - '0');
  }
  *n = v;
  return true;
}

bool IsAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// A language tag of letters and digits in hyphen-separated subtags ("en",
// "en-US", "x-default"): what a new rdf:Alt item can be named.
bool IsLanguage(std::string_view s) {
  std::size_t run = 0;
  bool first = true;
  for (char c : s) {
    if (c == '-') {
      if (run == 0) return false;
      run = 0;
      first = false;
      continue;
    }
    if (!(IsAsciiAlpha(c) || (!first && IsAsciiDigit(c))) || ++run > 8) return false;
  }
  return run > 0;
}

bool IsNcName(std::string_view s) {
  if (s.empty() || !(IsAsciiAlpha(s[0]) || s[0] == '_')) return false;
  for (char c : s) {
    if (!(IsAsciiAlpha(c) || IsAsciiDigit(c) || c == '_' || c == '-' || c == '.')) return false;
  }
  return true;
}

// A name a new property or field can be written with: "prefix:local".
bool IsQualifiedName(std::string_view s) {
  const std::size_t colon = s.find(':');
  return colon != std::string_view::npos && IsNcName(s.substr(0, colon)) &&
         IsNcName(s.substr(colon + 1));
}

const char* WellKnownUri(std::string_view prefix) {
  for (const Namespace& n : kWellKnown) {
    if (prefix == n.prefix) return n.uri;
  }
  return nullptr;
}

const char* ArrayKindOf(std::string_view qname) {
  for (const ArrayKind& a : kArrayKinds) {
    if (qname == a.name) return a.kind;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Values.

bool IsXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The text of a value as UTF-8 that XML can carry. Line ends become LF: any
// XML parser turns a CR written in element text into LF, so that is how every
// reader would see the value anyway, whichever form the property has.
bool ValueText(const PropValue& v, std::string* out) {
  std::wstring wide;
  if (v.vt == kVtLpwstr) {
    wide = v.text;
  } else if (v.vt == kVtLpstr) {
    if (!platform::Utf8ToWideStrict(v.bytes.data(), v.bytes.size(), &wide)) return false;
  } else {
    return false;
  }
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const std::uint32_t c = static_cast<std::uint32_t>(wide[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0xD800 && c <= 0xDBFF) {
        if (i + 1 >= wide.size()) return false;
        const std::uint32_t low = static_cast<std::uint32_t>(wide[i + 1]);
        if (low < 0xDC00 || low > 0xDFFF) return false;
        ++i;
        continue;
      }
    }
    if (!IsXmlChar(c)) return false;
  }
  const std::string utf8 = platform::WideToUtf8(wide);
  out->clear();
  out->reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] != '\r') {
      out->push_back(utf8[i]);
    } else if (i + 1 >= utf8.size() || utf8[i + 1] != '\n') {
      out->push_back('\n');
    }
  }
  return true;
}

// Removes a node and everything in it. pugixml frees a removed subtree by
// recursion, which a hostile packet nested a hundred thousand deep would
// overflow, so the subtree is taken apart from its leaves up first.
void Destroy(pugi::xml_node top) {
  pugi::xml_node n = top;
  for (;;) {
    while (n.first_child()) n = n.first_child();
    if (n == top) break;
    pugi::xml_node parent = n.parent();
    parent.remove_child(n);
    n = parent;
  }
  top.parent().remove_child(top);
}

std::string CurrentText(const Source& s) {
  return s.kind == Source::kAttribute ? std::string(s.attr.value()) : ContentOf(s.elem);
}

// Writes `text` where a simple value came from, in the form it has there.
bool WriteText(const Source& s, const std::string& text) {
  if (s.kind == Source::kAttribute) return pugi::xml_attribute(s.attr).set_value(text.c_str());
  pugi::xml_node e = s.elem;
  while (e.first_child()) Destroy(e.first_child());
  if (text.empty()) {
    // Left with property attributes and no content, the element would read
    // as a structure of those attributes; the reader shows no qualifiers of
    // a text value, so they go.
    const InScope scope(e);
    for (pugi::xml_attribute a = e.first_attribute(); a;) {
      const pugi::xml_attribute next = a.next_attribute();
      if (IsPropertyAttribute(a.name()) && !scope.IsRdf(a.name())) e.remove_attribute(a);
      a = next;
    }
    return true;
  }
  // Whitespace alone would be taken for layout between tags and dropped by
  // the reader; in CDATA it stays text.
  const pugi::xml_node_type type = AllSpace(text) ? pugi::node_cdata : pugi::node_pcdata;
  return e.append_child(type).set_value(text.c_str());
}

// ---------------------------------------------------------------------------
// Layout.

// The whitespace just before `n` among its siblings.
std::string LeadOf(pugi::xml_node n) {
  const pugi::xml_node before = n.previous_sibling();
  return before && IsBlank(before) ? std::string(before.value()) : std::string();
}

// Adds an element to `parent`, after its last element or (`first`) before its
// first, on a line of its own like its siblings when the packet is indented.
pugi::xml_node InsertElement(pugi::xml_node parent, const std::string& name, bool first) {
  pugi::xml_node head, tail;
  for (pugi::xml_node c : parent.children()) {
    if (c.type() != pugi::node_element) continue;
    if (!head) head = c;
    tail = c;
  }
  pugi::xml_node e;
  if (head) {
    const pugi::xml_node ref = first ? head : tail;
    const std::string lead = LeadOf(ref);
    if (first) {
      e = parent.insert_child_before(pugi::node_element, ref);
      if (e && !lead.empty()) {
        parent.insert_child_before(pugi::node_pcdata, ref).set_value(lead.c_str());
      }
    } else {
      e = parent.insert_child_after(pugi::node_element, ref);
      if (e && !lead.empty()) {
        parent.insert_child_before(pugi::node_pcdata, e).set_value(lead.c_str());
      }
    }
  } else {
    const std::string outer = LeadOf(parent);
    const std::size_t newline = outer.rfind('\n');
    if (newline == std::string::npos) {
      e = parent.append_child(pugi::node_element);
    } else {
      // One step deeper than the parent's own line.
      const std::string indent = outer.substr(newline);
      for (pugi::xml_node c = parent.first_child(); c;) {
        const pugi::xml_node next = c.next_sibling();
        if (IsBlank(c)) parent.remove_child(c);
        c = next;
      }
      const std::string inner = indent + (indent.back() == '\t' ? "\t" : " ");
      parent.append_child(pugi::node_pcdata).set_value(inner.c_str());
      e = parent.append_child(pugi::node_element);
      parent.append_child(pugi::node_pcdata).set_value(indent.c_str());
    }
  }
  if (e) e.set_name(name.c_str());
  return e;
}

// Removes an element with the whitespace that put it on its own line.
void RemoveElement(pugi::xml_node e) {
  const pugi::xml_node before = e.previous_sibling();
  if (before && IsBlank(before)) e.parent().remove_child(before);
  Destroy(e);
}

// True when element `e` carries no property, as a description or structure.
bool HoldsNoProperty(pugi::xml_node e) {
  const InScope scope(e);
  for (pugi::xml_attribute a : e.attributes()) {
    if (IsPropertyAttribute(a.name()) && !scope.IsRdf(a.name())) return false;
  }
  for (pugi::xml_node c : e.children()) {
    if (c.type() == pugi::node_element && !scope.IsRdf(c.name(), {}, c)) return false;
  }
  return true;
}

// The rdf:li items of an array element.
std::size_t ItemCount(pugi::xml_node array) {
  const InScope scope(array);
  std::size_t n = 0;
  for (pugi::xml_node c : array.children()) {
    if (c.type() == pugi::node_element && scope.IsRdf(c.name(), "li", c)) ++n;
  }
  return n;
}

// The element of rdf:RDF that `n` is in (a description).
pugi::xml_node TopOf(pugi::xml_node n, pugi::xml_node rdf) {
  while (n && n.parent() != rdf) n = n.parent();
  return n;
}

class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string* out) : out_(out) {}
  void write(const void* data, std::size_t size) override {
    out_->append(static_cast<const char*>(data), size);
  }

 private:
  std::string* out_;
};

std::string Save(const pugi::xml_document& doc) {
  std::string text;
  StringWriter writer(&text);
  doc.save(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  return text;
}

// The layout whitespace between elements goes (never text: an element whose
// only content is whitespace keeps it).
void DropIndentation(pugi::xml_document& doc) {
  std::vector<pugi::xml_node> blanks;
  pugi::xml_node n = doc.first_child();
  while (n) {
    if (n.type() == pugi::node_element && HasElementChild(n)) {
      for (pugi::xml_node c : n.children()) {
        if (IsBlank(c)) blanks.push_back(c);
      }
    }
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && !n.next_sibling()) n = n.parent();
    if (n) n = n.next_sibling();
  }
  for (pugi::xml_node b : blanks) b.parent().remove_child(b);
}

void AppendPadding(std::size_t bytes, std::string* out) {
  // Lines of 100 characters, as packets are usually padded.
  for (std::size_t done = 0; done < bytes; ++done) {
    out->push_back(done % 100 == 99 ? '\n' : ' ');
  }
}

// What a new item is made of.
enum class Holds { kText, kStruct, kBag, kSeq, kAlt };

struct NewItem {
  std::string name;  // a property or field; empty for an array item
  std::string lang;  // an array item's language, if it has one
  bool first = false;
  Holds holds = Holds::kText;
};

}  // namespace

// ---------------------------------------------------------------------------

struct XmpEditor::Impl {
  std::string stored;
  pugi::xml_document doc;
  pugi::xml_node rdf;
  bool parsed = false;
  bool changed = false;
  std::vector<Item> items;
  bool walked = false;

  std::vector<Item>& Items() {
    if (!walked) {
      xmp::Walk<SourceBuild> walk;
      items = walk.Root(rdf).value_or(std::vector<Item>());
      walked = true;
    }
    return items;
  }

  // Node handles in the walk may point at removed nodes after any change.
  void Touch() {
    changed = true;
    walked = false;
    items.clear();
  }

  // One step of a resolved path: the item and the reader it was found in
  // (null at the top level).
  struct Step {
    Source* parent;
    Item* item;
  };
  enum class Found { kAll, kMissing, kNone };

  // kAll: every part found. kMissing: parts[steps->size()] is not in the
  // reader the steps lead to. kNone: the path goes through a simple value.
  Found Resolve(const std::vector<Part>& parts, std::vector<Step>* steps) {
    std::vector<Item>* level = &Items();
    Source* parent = nullptr;
    for (std::size_t k = 0; k < parts.size(); ++k) {
      Item* found = nullptr;
      std::size_t seen = 0;
      for (Item& item : *level) {
        if (CanonicalComponent(item.id) == parts[k].key && seen++ == parts[k].index) {
          found = &item;
          break;
        }
      }
      if (!found) return Found::kMissing;
      steps->push_back({parent, found});
      if (k + 1 == parts.size()) break;
      Source& v = found->value;
      if (v.kind != Source::kFields && v.kind != Source::kArray) return Found::kNone;
      parent = &v;
      level = &v.items;
    }
    return Found::kAll;
  }

  // The description a new top-level property goes into: the first one where
  // its prefix is declared, else the first one; null when there is none.
  pugi::xml_node DescriptionFor(std::string_view prefix) const {
    const InScope scope(rdf);
    pugi::xml_node first;
    for (pugi::xml_node d : rdf.children()) {
      if (d.type() != pugi::node_element || !scope.IsRdf(d.name(), "Description", d)) continue;
      if (scope.Uri(prefix, d)) return d;
      if (!first) first = d;
    }
    return first;
  }

  // Checks what `parts[from..]` would create below `parent` (null for the
  // top level) and lists it; nothing is changed yet.
  HResult Plan(const Source* parent, const std::vector<Part>& parts, std::size_t from,
               std::vector<NewItem>* plan) const {
    enum class Context { kFields, kArray };
    Context context = parent && parent->kind == Source::kArray ? Context::kArray : Context::kFields;
    bool alt = context == Context::kArray && LocalOf(parent->elem.name()) == "Alt";
    std::size_t count = context == Context::kArray ? ItemCount(parent->elem) : 0;
    int level = parent ? parent->level : 0;
    // Where the prefixes of new names are looked up: the parent, or the
    // description a new top-level property goes into.
    pugi::xml_node scope = parent ? parent->elem : pugi::xml_node();

    for (std::size_t j = from; j < parts.size(); ++j) {
      const Part& p = parts[j];
      const Part* next = j + 1 < parts.size() ? &parts[j + 1] : nullptr;
      // A second item of the same name would be a duplicate property.
      if (p.index != 0) return kErrPropertyNotFound;
      NewItem item;
      std::size_t n = 0;
      if (context == Context::kFields) {
        if (p.name.find(':') == std::string_view::npos) return kErrPropertyNotFound;
        if (!IsQualifiedName(p.name)) return kInvalidArg;
        const std::string_view prefix = PrefixOf(p.name);
        if (prefix == "rdf" || prefix == "xml" || prefix == "xmlns") return kErrPropertyNotFound;
        if (!scope) scope = DescriptionFor(prefix);
        if (!scope) scope = rdf;
        const auto uri = InScope(scope).Uri(prefix);
        if (uri ? *uri == kRdfNs : !WellKnownUri(prefix)) return kErrPropertyNotFound;
        item.name = std::string(p.name);
        if (next) {
          std::size_t zero = 1;
          if (next->name.find(':') != std::string_view::npos) {
            item.holds = Holds::kStruct;
          } else if (IsLanguage(next->name)) {
            item.holds = Holds::kAlt;
          } else if (ArrayIndexOf(next->name, &zero) && zero == 0 && ArrayKindOf(p.name)) {
            item.holds = std::string_view(ArrayKindOf(p.name)) == "Seq" ? Holds::kSeq : Holds::kBag;
          } else {
            return kErrPropertyNotFound;
          }
        }
      } else if (ArrayIndexOf(p.name, &n)) {
        if (n != count) return kErrPropertyNotFound;  // only appending; no gaps
        if (next) {
          if (next->name.find(':') != std::string_view::npos) {
            item.holds = Holds::kStruct;
          } else if (IsLanguage(next->name)) {
            item.holds = Holds::kAlt;
          } else {
            return kErrPropertyNotFound;  // an array of arrays of unknown kind
          }
        }
      } else if (alt && IsLanguage(p.name)) {
        if (next) return kErrPropertyNotFound;  // language items hold text
        item.lang = p.key == "x-default" ? std::string("x-default") : std::string(p.name);
        item.first = item.lang == "x-default";
      } else {
        return kErrPropertyNotFound;
      }
      if (item.holds != Holds::kText && ++level > kMaxDepth) return kErrPropertyNotFound;
      context = item.holds == Holds::kStruct ? Context::kFields : Context::kArray;
      alt = item.holds == Holds::kAlt;
      count = 0;
      plan->push_back(std::move(item));
    }
    return kOk;
  }

  // Builds what Plan listed, below `parent` (null for the top level).
  HResult Build(const Source* parent, const std::vector<NewItem>& plan, const std::string& text) {
    pugi::xml_node host;
    if (parent) {
      host = parent->elem;
    } else {
      host = DescriptionFor(PrefixOf(plan.front().name));
      if (!host) {
        const std::string_view rdfPrefix = PrefixOf(rdf.name());
        host = InsertElement(rdf,
                             rdfPrefix.empty() ? std::string("Description")
                                               : std::string(rdfPrefix) + ":Description",
                             false);
        if (!host) return kOutOfMemory;
        host.append_attribute(RdfName(host, "about", true).c_str()).set_value("");
      }
    }
    for (const NewItem& item : plan) {
      pugi::xml_node e;
      if (item.name.empty()) {
        const std::string_view prefix = PrefixOf(host.name());
        e = InsertElement(host, prefix.empty() ? "li" : std::string(prefix) + ":li", item.first);
        if (e && !item.lang.empty()) e.append_attribute("xml:lang").set_value(item.lang.c_str());
      } else {
        e = InsertElement(host, item.name, false);
        const std::string prefix(PrefixOf(item.name));
        if (e && !InScope(host).Uri(prefix)) {
          const char* uri = WellKnownUri(prefix);
          if (!uri) return kFail;  // Plan saw it declared or well known
          TopOf(host, rdf).append_attribute(("xmlns:" + prefix).c_str()).set_value(uri);
        }
      }
      if (!e) return kOutOfMemory;
      switch (item.holds) {
        case Holds::kText:
          if (!WriteText(Source{Source::kText, {}, e, 0, {}}, text)) return kOutOfMemory;
          break;
        case Holds::kStruct:
          e.append_attribute(RdfName(e, "parseType", true).c_str()).set_value("Resource");
          host = e;
          break;
        case Holds::kBag:
        case Holds::kSeq:
        case Holds::kAlt: {
          const char* kind = item.holds == Holds::kBag   ? "Bag"
                             : item.holds == Holds::kSeq ? "Seq"
                                                         : "Alt";
          host = InsertElement(e, RdfName(e, kind, false), false);
          if (!host) return kOutOfMemory;
          break;
        }
      }
    }
    return kOk;
  }
};

XmpEditor::XmpEditor() : impl_(std::make_unique<Impl>()) {}
XmpEditor::~XmpEditor() = default;
XmpEditor::XmpEditor(XmpEditor&&) noexcept = default;
XmpEditor& XmpEditor::operator=(XmpEditor&&) noexcept = default;

bool XmpEditor::Open(const std::uint8_t* packet, std::size_t size) {
  Impl& m = *impl_;
  m.doc.reset();
  m.rdf = pugi::xml_node();
  m.parsed = m.changed = m.walked = false;
  m.items.clear();
  if (!packet && size != 0) return false;
  m.stored.clear();
  if (size != 0) m.stored.assign(reinterpret_cast<const char*>(packet), size);

  if (m.stored.empty()) {
    m.doc.load_string(kNewPacket, kParseOptions);
  } else {
    std::string utf8;
    const std::string_view packet = xmp::TrimmedPacket(xmp::Utf8Packet(m.stored, &utf8));
    if (packet.empty()) return false;
    if (!m.doc.load_buffer(packet.data(), packet.size(), kParseOptions, pugi::encoding_utf8)) {
      return false;
    }
    KeepReferencedSpace(m.doc, packet.data(), packet.size());
  }
  m.rdf = xmp::FindRdf(m.doc);
  if (!m.rdf || !IsRdfAt(m.rdf, m.rdf.name(), "RDF")) {
    m.doc.reset();
    m.rdf = pugi::xml_node();
    return false;
  }
  m.parsed = true;
  return true;
}

HResult XmpEditor::Set(std::string_view path, const PropValue& value) {
  Impl& m = *impl_;
  if (!m.parsed) return kFail;
  std::vector<Part> parts;
  if (!SplitParts(path, &parts)) return kInvalidArg;
  std::string text;
  if (!ValueText(value, &text)) return kInvalidArg;

  std::vector<Impl::Step> steps;
  const Impl::Found found = m.Resolve(parts, &steps);
  if (found == Impl::Found::kNone) return kErrPropertyNotFound;
  if (found == Impl::Found::kMissing) {
    const Source* parent = steps.empty() ? nullptr : &steps.back().item->value;
    std::vector<NewItem> plan;
    const HResult hr = m.Plan(parent, parts, steps.size(), &plan);
    if (Failed(hr)) return hr;
    const HResult built = m.Build(parent, plan, text);
    m.Touch();
    return built;
  }
  const Source& target = steps.back().item->value;
  if (target.kind == Source::kFields || target.kind == Source::kArray) return kInvalidArg;
  if (CurrentText(target) == text) return kOk;
  const bool written = WriteText(target, text);
  m.Touch();
  return written ? kOk : kOutOfMemory;
}

HResult XmpEditor::Remove(std::string_view path) {
  Impl& m = *impl_;
  if (!m.parsed) return kFail;
  std::vector<Part> parts;
  if (!SplitParts(path, &parts)) return kInvalidArg;
  std::vector<Impl::Step> steps;
  if (m.Resolve(parts, &steps) != Impl::Found::kAll) return kErrPropertyNotFound;

  // The item goes, and with it every array or structure it leaves empty:
  // an empty rdf:Bag is an array nobody meant to keep, and an empty
  // structure would read back as an empty text.
  for (std::size_t k = steps.size(); k-- > 0;) {
    const Impl::Step& step = steps[k];
    const Item& item = *step.item;
    const pugi::xml_node holder = item.attr ? item.node : item.node.parent();
    if (item.attr) {
      pugi::xml_node(item.node).remove_attribute(item.attr);
    } else {
      RemoveElement(item.node);
    }
    if (!step.parent) {
      // A description left without properties says nothing any more.
      const pugi::xml_node top = TopOf(holder, m.rdf);
      if (top && IsRdfAt(top, top.name(), "Description") && HoldsNoProperty(top)) {
        RemoveElement(top);
      }
      break;
    }
    const Source& parent = *step.parent;
    const bool empty =
        parent.kind == Source::kArray ? ItemCount(parent.elem) == 0 : HoldsNoProperty(parent.elem);
    if (!empty) break;
  }
  m.Touch();
  return kOk;
}

bool XmpEditor::Changed() const { return impl_->changed; }

bool XmpEditor::Empty() const {
  Impl& m = *impl_;
  if (!m.parsed) return m.stored.empty();
  return m.Items().empty();
}

HResult XmpEditor::Serialize(std::size_t maxBytes, std::string* out) const {
  if (!out) return kPointer;
  const Impl& m = *impl_;
  if (!m.changed) {
    if (m.stored.size() > maxBytes) return kFail;
    *out = m.stored;
    return kOk;
  }
  std::string body = Save(m.doc);
  // Wrapper, a line break either side of the document, and the padding.
  const std::size_t frame = kPacketBegin.size() + kPacketEnd.size() + 2;
  if (body.size() > maxBytes || frame > maxBytes - body.size()) {
    pugi::xml_document compact;
    compact.reset(m.doc);
    DropIndentation(compact);
    body = Save(compact);
    const std::size_t bare = kPacketBegin.size() + kPacketEnd.size();
    if (body.size() > maxBytes || bare > maxBytes - body.size()) return kFail;
    out->clear();
    out->reserve(bare + body.size());
    *out += kPacketBegin;
    *out += body;
    *out += kPacketEnd;
    return kOk;
  }
  const std::size_t padding = std::min(kPaddingBytes, maxBytes - body.size() - frame);
  out->clear();
  out->reserve(frame + body.size() + padding);
  *out += kPacketBegin;
  *out += '\n';
  *out += body;
  *out += '\n';
  AppendPadding(padding, out);
  *out += kPacketEnd;
  return kOk;
}

}  // namespace img
