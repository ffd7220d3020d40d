// Packets for the XMP reader and editor tests: the same namespaces and the
// same wrapper on both sides, so that what one test writes the other reads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "imaging/imaging.h"

namespace xmp_packets {

inline constexpr char kNs[] =
    " xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'"
    " xmlns:dc='http://purl.org/dc/elements/1.1/'"
    " xmlns:xmp='http://ns.adobe.com/xap/1.0/'"
    " xmlns:Iptc4xmpCore='http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/'"
    " xmlns:ex='urn:example:ns/'";

// A packet around `body`, which goes inside rdf:RDF.
inline std::string Packet(const std::string& body) {
  return std::string("<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF") + kNs + ">" + body +
         "</rdf:RDF></x:xmpmeta>";
}

inline const std::uint8_t* Data(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

inline std::shared_ptr<const img::MetadataReader> Parse(const std::string& s) {
  return img::ParseXmpPacket(Data(s), s.size());
}

}  // namespace xmp_packets
