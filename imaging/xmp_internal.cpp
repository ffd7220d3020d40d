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

std::string_view Utf8Packet(std::string_view packet, std::string* storage) {
  if (packet.size() < 4 || packet.size() > kMaxPacketBytes) return packet;
  const auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(packet[i]); };
  bool big = false;
  std::size_t at = 0;
  if (b(0) == 0xFE && b(1) == 0xFF) {
    big = true;
    at = 2;
  } else if (b(0) == 0xFF && b(1) == 0xFE) {
    at = 2;
  } else if (b(0) == 0 && b(1) == '<') {
    big = true;
  } else if (!(b(0) == '<' && b(1) == 0)) {
    return packet;
  }
  storage->clear();
  storage->reserve(packet.size() / 2 + packet.size() / 4);
  auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(big ? b(i) << 8 | b(i + 1) : b(i + 1) << 8 | b(i));
  };
  auto put = [&](std::uint32_t c) {
    if (c < 0x80) {
      storage->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      storage->push_back(static_cast<char>(0xC0 | c >> 6));
      storage->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      storage->push_back(static_cast<char>(0xE0 | c >> 12));
      storage->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      storage->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      storage->push_back(static_cast<char>(0xF0 | c >> 18));
      storage->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      storage->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      storage->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  };
  for (std::size_t i = at; i + 1 < packet.size(); i += 2) {
    std::uint32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < packet.size()) {
      const std::uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    put(c);
  }
  return *storage;
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
