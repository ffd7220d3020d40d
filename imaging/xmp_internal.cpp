// Packet trimming and the search for rdf:RDF, shared by the XMP reader and
// the packet editor.
#include "imaging/xmp_internal.h"

namespace img::xmp {

std::string_view TrimmedPacket(std::string_view packet) {
  if (packet.size() > kMaxPacketBytes) return {};
  if (packet.substr(0, 3) == "\xEF\xBB\xBF") packet.remove_prefix(3);
  while (!packet.empty()) {
    const char last = packet.back();
    if (last != '\0' && last != ' ' && last != '\n' && last != '\r' && last != '\t') break;
    packet.remove_suffix(1);
  }
  return packet;
}

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

}  // namespace img::xmp
