// The built-in inflater: zlib-wrapped DEFLATE data, as found in the compressed
// text of PNG zTXt and iTXt chunks. Small and careful rather than fast:
// symbols are decoded one bit at a time, every input byte read is
// bounds-tested and the output is capped.
//
// Deliberately lenient where the text still decodes: the two zlib header
// bytes are skipped unread (so a preset dictionary is not honoured and a raw
// stream loses its first two bytes), the Adler-32 trailer and anything after
// the final block are ignored, a stored block's NLEN is not compared with
// LEN, and Huffman codes are not tested for completeness.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace meta_internal {

// Every caller passes this as the maximum output of Inflate: inflated PNG text
// is limited to 16 MiB.
inline constexpr std::size_t kMaxInflated = 16u * 1024u * 1024u;

// One canonical Huffman decoding table.
struct Huff {
  std::uint16_t count[16];    // codes of each bit length; count[0] is always 0
  std::uint16_t symbol[288];  // symbols by code length, then by value
};

// The bit reader over the compressed input.
struct Inflater {
  const std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
  std::uint64_t pos = 0;      // next unread byte
  std::uint32_t bitBuf = 0;   // fetched bits not yet used, least significant first
  std::int32_t bitCount = 0;  // valid bits in bitBuf
  bool exhausted = false;     // a read needed a byte past size; later reads all fail
};

// Fills h from one code length per symbol (0: the symbol has no code; lengths
// above 15 are treated as 0). n is at most 288; more symbols are ignored.
// Incomplete and over-subscribed codes are not reported.
void BuildHuff(Huff* h, const std::uint8_t* lengths, int n);

// The next symbol decoded with h, or -1 (and the reader marked exhausted) when
// the input runs out or no code of up to 15 bits matches.
int DecodeSym(Inflater* in, const Huff& h);

// Inflates a zlib stream into *out (cleared first). True once a block marked
// final has been decoded completely; false on any error, in which case *out
// may hold partial output that the caller discards. The output never grows
// past maxOut bytes, and its capacity never exceeds maxOut either.
bool Inflate(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>* out,
             std::size_t maxOut);

}  // namespace meta_internal
