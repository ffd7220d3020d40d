// Bit-serial DEFLATE decoding (RFC 1951) behind a zlib header that is skipped.
#include "meta/inflate.h"

#include <algorithm>
#include <cstring>

#include "imaging/byte_reader.h"

namespace meta_internal {

namespace {

// Length symbols 257 to 285 and distance symbols 0 to 29 (RFC 1951 3.2.5).
constexpr std::uint16_t kLbase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDbase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDext[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block sends the code-length code's lengths (3.2.7).
constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};

// At most 286 literal/length and 30 distance lengths in a dynamic block.
constexpr int kMaxLit = 286;
constexpr int kMaxDist = 30;

// n bits (n <= 16), least significant first; 0 and the reader exhausted when
// the input runs out.
std::uint32_t Bits(Inflater* in, int n) {
  if (in->exhausted) return 0;
  while (in->bitCount < n) {
    if (in->pos >= in->size) {
      in->exhausted = true;
      return 0;
    }
    in->bitBuf |= static_cast<std::uint32_t>(in->data[in->pos++]) << in->bitCount;
    in->bitCount += 8;
  }
  const std::uint32_t v = in->bitBuf & ((1u << n) - 1u);
  in->bitBuf >>= n;
  in->bitCount -= n;
  return v;
}

// Grows out to hold `extra` more bytes without ever reserving past maxOut, so
// the cap bounds the allocation and not only the length. The caller has
// already checked that size + extra <= maxOut.
void Reserve(std::vector<std::uint8_t>* out, std::size_t extra, std::size_t maxOut) {
  const std::size_t need = out->size() + extra;
  if (need <= out->capacity()) return;
  const std::size_t doubled = out->capacity() > maxOut / 2 ? maxOut : out->capacity() * 2;
  out->reserve(std::min(maxOut, std::max({need, doubled, std::size_t{256}})));
}

bool Stored(Inflater* in, std::vector<std::uint8_t>* out, std::size_t maxOut) {
  // The block starts on the next byte boundary; only bits of the current byte
  // can be pending, since bytes are fetched one at a time as needed.
  in->bitBuf = 0;
  in->bitCount = 0;
  if (4 > in->size - in->pos) return false;
  const std::uint16_t len = img::ByteReader::Le16(in->data + in->pos);
  in->pos += 4;  // NLEN is not compared with ~LEN
  if (len > in->size - in->pos) return false;
  if (len > maxOut - out->size()) return false;
  Reserve(out, len, maxOut);
  out->insert(out->end(), in->data + in->pos, in->data + in->pos + len);
  in->pos += len;
  return true;
}

bool Codes(Inflater* in, const Huff& lit, const Huff& dist, std::vector<std::uint8_t>* out,
           std::size_t maxOut) {
  for (;;) {
    const int sym = DecodeSym(in, lit);
    if (sym < 0) return false;
    if (sym < 256) {
      if (out->size() >= maxOut) return false;
      Reserve(out, 1, maxOut);
      out->push_back(static_cast<std::uint8_t>(sym));
    } else if (sym == 256) {
      return true;
    } else if (sym <= 285) {
      const int li = sym - 257;
      const std::size_t len = kLbase[li] + Bits(in, kLext[li]);
      const int ds = DecodeSym(in, dist);
      if (ds < 0 || ds > 29) return false;
      const std::size_t d = kDbase[ds] + Bits(in, kDext[ds]);
      if (in->exhausted) return false;
      if (d > out->size()) return false;
      if (len > maxOut - out->size()) return false;
      Reserve(out, len, maxOut);
      // One byte at a time: an overlapping copy repeats the last d bytes.
      std::size_t from = out->size() - d;
      for (std::size_t i = 0; i < len; ++i) out->push_back((*out)[from++]);
    } else {
      return false;  // 286 and 287 are never sent
    }
  }
}

bool Fixed(Inflater* in, std::vector<std::uint8_t>* out, std::size_t maxOut) {
  std::uint8_t lengths[288];
  std::memset(lengths, 8, 144);
  std::memset(lengths + 144, 9, 256 - 144);
  std::memset(lengths + 256, 7, 280 - 256);
  std::memset(lengths + 280, 8, 288 - 280);
  Huff lit, dist;
  BuildHuff(&lit, lengths, 288);
  std::memset(lengths, 5, kMaxDist);
  BuildHuff(&dist, lengths, kMaxDist);
  return Codes(in, lit, dist, out, maxOut);
}

bool Dynamic(Inflater* in, std::vector<std::uint8_t>* out, std::size_t maxOut) {
  const int nlen = static_cast<int>(Bits(in, 5)) + 257;
  const int ndist = static_cast<int>(Bits(in, 5)) + 1;
  const int ncode = static_cast<int>(Bits(in, 4)) + 4;
  if (in->exhausted || nlen > kMaxLit || ndist > kMaxDist) return false;

  std::uint8_t lengths[kMaxLit + kMaxDist] = {};
  for (int i = 0; i < ncode; ++i) lengths[kOrder[i]] = static_cast<std::uint8_t>(Bits(in, 3));
  if (in->exhausted) return false;
  Huff lencode;
  BuildHuff(&lencode, lengths, 19);

  std::memset(lengths, 0, sizeof lengths);
  const int total = nlen + ndist;
  int i = 0;
  while (i < total) {
    const int sym = DecodeSym(in, lencode);
    if (sym < 0) return false;
    if (sym < 16) {
      lengths[i++] = static_cast<std::uint8_t>(sym);
      continue;
    }
    std::uint8_t value = 0;
    int repeat = 0;
    if (sym == 16) {
      if (i == 0) return false;  // nothing to repeat yet
      value = lengths[i - 1];
      repeat = 3 + static_cast<int>(Bits(in, 2));
    } else if (sym == 17) {
      repeat = 3 + static_cast<int>(Bits(in, 3));
    } else {
      repeat = 11 + static_cast<int>(Bits(in, 7));
    }
    if (in->exhausted || repeat > total - i) return false;
    while (repeat--) lengths[i++] = value;
  }

  Huff lit, dist;
  BuildHuff(&lit, lengths, nlen);
  BuildHuff(&dist, lengths + nlen, ndist);
  return Codes(in, lit, dist, out, maxOut);
}

}  // namespace

void BuildHuff(Huff* h, const std::uint8_t* lengths, int n) {
  std::memset(h, 0, sizeof *h);
  n = std::clamp(n, 0, 288);
  for (int s = 0; s < n; ++s) {
    if (lengths[s] <= 15) ++h->count[lengths[s]];
  }
  h->count[0] = 0;
  std::uint16_t slot[16] = {};
  for (int len = 1; len < 15; ++len) {
    slot[len + 1] = static_cast<std::uint16_t>(slot[len] + h->count[len]);
  }
  for (int s = 0; s < n; ++s) {
    const std::uint8_t len = lengths[s];
    if (len != 0 && len <= 15) h->symbol[slot[len]++] = static_cast<std::uint16_t>(s);
  }
}

int DecodeSym(Inflater* in, const Huff& h) {
  // code stays >= first at every length, and index + code - first stays below
  // the number of symbols counted, so the lookup is in range even for
  // over-subscribed tables.
  int code = 0, first = 0, index = 0;
  for (int len = 1; len <= 15; ++len) {
    code |= static_cast<int>(Bits(in, 1));
    if (in->exhausted) return -1;
    const int k = h.count[len];
    if (code - k < first) return h.symbol[index + code - first];
    index += k;
    first = (first + k) << 1;
    code <<= 1;
  }
  in->exhausted = true;
  return -1;
}

bool Inflate(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>* out,
             std::size_t maxOut) {
  out->clear();
  if (data == nullptr || size < 2) return false;
  Inflater in;
  in.data = data;
  in.size = size;
  in.pos = 2;  // the zlib header is not examined
  for (;;) {
    const std::uint32_t last = Bits(&in, 1);
    const std::uint32_t type = Bits(&in, 2);
    if (in.exhausted) return false;
    bool ok = false;
    switch (type) {
      case 0:
        ok = Stored(&in, out, maxOut);
        break;
      case 1:
        ok = Fixed(&in, out, maxOut);
        break;
      case 2:
        ok = Dynamic(&in, out, maxOut);
        break;
      default:
        return false;
    }
    if (!ok) return false;
    if (last) return true;  // the Adler-32 and anything after it are ignored
  }
}

}  // namespace meta_internal
