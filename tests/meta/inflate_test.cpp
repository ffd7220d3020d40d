// The built-in inflater against streams made by zlib and against small
// hand-made hostile streams.
#include "meta/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using meta_internal::Inflate;
using meta_internal::kMaxInflated;
using Bytes = std::vector<std::uint8_t>;

Bytes Text(std::size_t n) {
  static const char kWords[] =
      "The lighthouse keeper wrote the date, the wind and the colour of the sea in the log. ";
  Bytes v;
  v.reserve(n);
  for (std::size_t i = 0; v.size() < n; ++i)
    v.push_back(static_cast<std::uint8_t>(kWords[i % (sizeof kWords - 1)]));
  // Break the repetition now and then so matches of many lengths and
  // distances occur.
  for (std::size_t i = 0; i < n; i += 97) v[i] = static_cast<std::uint8_t>('A' + (i / 97) % 26);
  return v;
}

// Pseudo-random bytes; `bits` limits each byte to that many low bits.
Bytes Noise(std::size_t n, int bits) {
  Bytes v(n);
  std::uint32_t x = 12345;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>((x >> 16) & ((1u << bits) - 1u));
  }
  return v;
}

// windowBits 15 gives a zlib stream, -15 a raw DEFLATE stream.
Bytes Deflate(const Bytes& in, int level, int strategy, int windowBits = 15) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
  Bytes out(deflateBound(&s, static_cast<uLong>(in.size())) + 16);
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

struct Setting {
  const char* name;
  int level;
  int strategy;
};
const Setting kSettings[] = {
    {"stored", 0, Z_DEFAULT_STRATEGY},   {"fast", 1, Z_DEFAULT_STRATEGY},
    {"best", 9, Z_DEFAULT_STRATEGY},     {"fixed", 9, Z_FIXED},
    {"huffman-only", 9, Z_HUFFMAN_ONLY}, {"rle", 9, Z_RLE},
};

struct Payload {
  const char* name;
  Bytes bytes;
};
std::vector<Payload> Payloads() {
  return {
      {"empty", {}},
      {"one byte", {'x'}},
      {"short text", Text(40)},
      {"long text", Text(30000)},
      {"noise over several stored blocks", Noise(140000, 8)},
      {"low-entropy noise", Noise(50000, 3)},
  };
}

TEST(InflateTest, DecodesWhatZlibWrites) {
  for (const Payload& p : Payloads()) {
    for (const Setting& s : kSettings) {
      SCOPED_TRACE(std::string(p.name) + " / " + s.name);
      const Bytes z = Deflate(p.bytes, s.level, s.strategy);
      Bytes out;
      ASSERT_TRUE(Inflate(z.data(), z.size(), &out, kMaxInflated));
      EXPECT_EQ(out, p.bytes);
    }
  }
}

// Every compression level, each compared with what zlib's own inflate
// returns for the same stream.
TEST(InflateTest, AgreesWithZlibAtEveryLevel) {
  for (const Payload& p : Payloads()) {
    for (int level = 0; level <= 9; ++level) {
      SCOPED_TRACE(std::string(p.name) + " / level " + std::to_string(level));
      const Bytes z = Deflate(p.bytes, level, Z_DEFAULT_STRATEGY);
      Bytes reference(p.bytes.size() + 1);
      uLongf refLen = static_cast<uLongf>(reference.size());
      ASSERT_EQ(uncompress(reference.data(), &refLen, z.data(), static_cast<uLong>(z.size())),
                Z_OK);
      reference.resize(refLen);
      Bytes out;
      ASSERT_TRUE(Inflate(z.data(), z.size(), &out, kMaxInflated));
      EXPECT_EQ(out, reference);
    }
  }
}

// The settings above really reach each block type (the first block's BTYPE
// sits in bits 1-2 of the byte after the header).
TEST(InflateTest, SettingsCoverEveryBlockType) {
  const Bytes text = Text(5000);
  struct Case {
    int level, strategy, btype;
  } const cases[] = {{0, Z_DEFAULT_STRATEGY, 0}, {9, Z_FIXED, 1}, {9, Z_DEFAULT_STRATEGY, 2}};
  for (const Case& c : cases) {
    const Bytes z = Deflate(text, c.level, c.strategy);
    ASSERT_GT(z.size(), 2u);
    EXPECT_EQ((z[2] >> 1) & 3, c.btype) << "level " << c.level;
    Bytes out;
    EXPECT_TRUE(Inflate(z.data(), z.size(), &out, kMaxInflated));
    EXPECT_EQ(out, text);
  }
}

// Every cut that loses part of the final block fails; cuts inside the Adler-32
// trailer still decode, since the trailer is never read.
TEST(InflateTest, TruncationAtEveryLengthFailsCleanly) {
  const Bytes text = Text(3000);
  for (const Setting& s : kSettings) {
    SCOPED_TRACE(s.name);
    const Bytes z = Deflate(text, s.level, s.strategy);
    ASSERT_GT(z.size(), 4u);
    const std::size_t end = z.size() - 4;  // where the Adler-32 starts
    for (std::size_t n = 0; n <= z.size(); ++n) {
      const Bytes cut(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(n));
      Bytes out;
      const bool ok = Inflate(cut.data(), cut.size(), &out, kMaxInflated);
      EXPECT_EQ(ok, n >= end) << "cut at " << n << " of " << z.size();
      if (ok) {
        EXPECT_EQ(out, text);
      }
      EXPECT_LE(out.size(), text.size());
    }
  }
}

TEST(InflateTest, AdlerTrailerIsNotRead) {
  const Bytes text = Text(2000);
  const Bytes z = Deflate(text, 6, Z_DEFAULT_STRATEGY);
  const std::size_t end = z.size() - 4;
  struct Case {
    const char* name;
    Bytes bytes;
  };
  std::vector<Case> cases;
  Bytes wrong = z;
  for (std::size_t i = end; i < z.size(); ++i) wrong[i] ^= 0x5a;
  cases.push_back({"wrong checksum", wrong});
  cases.push_back({"no checksum", Bytes(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(end))});
  Bytes garbage = z;
  garbage.insert(garbage.end(), {0xde, 0xad, 0xbe, 0xef, 0x00, 0xff});
  cases.push_back({"garbage after the checksum", garbage});
  Bytes another = z;
  another.insert(another.end(), z.begin(), z.end());
  cases.push_back({"a second stream after the first", another});
  for (const Case& c : cases) {
    Bytes out;
    EXPECT_TRUE(Inflate(c.bytes.data(), c.bytes.size(), &out, kMaxInflated)) << c.name;
    EXPECT_EQ(out, text) << c.name;
  }
}

TEST(InflateTest, StoredBlockNlenIsNotCompared) {
  const Bytes text = {'a', 'b', 'c'};
  Bytes z = Deflate(text, 0, Z_DEFAULT_STRATEGY);
  // 78 01 | 01 | LEN 03 00 | NLEN fc ff | a b c | Adler-32
  ASSERT_EQ(z.size(), 14u);
  ASSERT_EQ(z[3], 3);
  for (std::uint8_t nlen : {0x00, 0x03, 0xff}) {
    z[5] = nlen;
    z[6] = nlen;
    Bytes out;
    EXPECT_TRUE(Inflate(z.data(), z.size(), &out, kMaxInflated)) << int{nlen};
    EXPECT_EQ(out, text);
  }
}

TEST(InflateTest, HeaderIsNotExamined) {
  const Bytes text = Text(1500);
  const Bytes raw = Deflate(text, 9, Z_DEFAULT_STRATEGY, -15);
  // Wrong method and check bits, a preset-dictionary flag, or no header at
  // all: the first two bytes are skipped whatever they hold.
  const std::uint8_t headers[][2] = {{0x78, 0x9c}, {0x00, 0x00}, {0xff, 0xff}, {0x78, 0xbb}};
  for (const auto& h : headers) {
    Bytes z = {h[0], h[1]};
    z.insert(z.end(), raw.begin(), raw.end());
    Bytes out;
    EXPECT_TRUE(Inflate(z.data(), z.size(), &out, kMaxInflated)) << int{h[0]} << " " << int{h[1]};
    EXPECT_EQ(out, text);
  }
  // A raw stream without a header loses its first two bytes to the skip.
  Bytes out;
  const bool ok = Inflate(raw.data(), raw.size(), &out, kMaxInflated);
  EXPECT_FALSE(ok && out == text);
}

// The cap holds on each path that appends: stored bytes, literals and
// matches. Output of exactly the cap decodes; one byte more fails, and the
// output never grows (nor reserves) past the cap.
TEST(InflateTest, OutputCapOnEveryPath) {
  const Bytes text = Text(5000);
  const Setting settings[] = {
      {"stored", 0, Z_DEFAULT_STRATEGY},
      {"literals only", 9, Z_HUFFMAN_ONLY},
      {"matches", 9, Z_DEFAULT_STRATEGY},
      {"fixed", 9, Z_FIXED},
  };
  for (const Setting& s : settings) {
    SCOPED_TRACE(s.name);
    const Bytes z = Deflate(text, s.level, s.strategy);
    Bytes exact;
    EXPECT_TRUE(Inflate(z.data(), z.size(), &exact, text.size()));
    EXPECT_EQ(exact, text);
    EXPECT_LE(exact.capacity(), text.size());
    for (std::size_t cap : {text.size() - 1, std::size_t{100}, std::size_t{1}, std::size_t{0}}) {
      Bytes out;
      EXPECT_FALSE(Inflate(z.data(), z.size(), &out, cap)) << "cap " << cap;
      EXPECT_LE(out.size(), cap);
      EXPECT_LE(out.capacity(), cap);
    }
  }
}

TEST(InflateTest, SixteenMebibyteCap) {
  EXPECT_EQ(kMaxInflated, 16777216u);
  for (const Setting& s :
       {Setting{"stored", 0, Z_DEFAULT_STRATEGY}, Setting{"matches", 9, Z_DEFAULT_STRATEGY}}) {
    for (std::size_t n : {kMaxInflated, kMaxInflated + 1}) {
      SCOPED_TRACE(std::string(s.name) + " " + std::to_string(n));
      const Bytes zeros(n, 0);
      const Bytes z = Deflate(zeros, s.level, s.strategy);
      Bytes out;
      const bool ok = Inflate(z.data(), z.size(), &out, kMaxInflated);
      EXPECT_EQ(ok, n == kMaxInflated);
      EXPECT_LE(out.capacity(), kMaxInflated);
      if (ok) {
        EXPECT_EQ(out.size(), kMaxInflated);
      }
    }
  }
}

// Small hostile streams written bit by bit. "fixed" rows use the fixed
// Huffman codes; "dynamic" rows share one header whose code-length code gives
// 3 bits to symbols 0, 7, 8, 16, 17, 18 and whose literal/length code has
// 7-bit codes for 'a' (0000000) and end-of-block (0000001), with one 7-bit
// distance code (distance symbol 0).
struct Hostile {
  const char* what;
  Bytes bytes;
  bool ok;
  std::string out;
};

const Hostile kHostile[] = {
    {"empty input", {}, false, ""},
    {"one byte", {0x78}, false, ""},
    {"header only", {0x78, 0x9c}, false, ""},
    {"fixed block with only end-of-block", {0x78, 0x9c, 0x03, 0x00}, true, ""},
    {"same behind a header with bad check bits and FDICT", {0xff, 0xff, 0x03, 0x00}, true, ""},
    {"final stored block, LEN 0", {0x78, 0x9c, 0x01, 0x00, 0x00, 0xff, 0xff}, true, ""},
    {"stored LEN 0 with NLEN 0", {0x78, 0x9c, 0x01, 0x00, 0x00, 0x00, 0x00}, true, ""},
    {"stored LEN 2, NLEN wrong", {0x78, 0x9c, 0x01, 0x02, 0x00, 0x12, 0x34, 'h', 'i'}, true, "hi"},
    {"stored block cut inside LEN/NLEN", {0x78, 0x9c, 0x01, 0x00, 0x00, 0xff}, false, ""},
    {"stored LEN 5 with 2 bytes following",
     {0x78, 0x9c, 0x01, 0x05, 0x00, 0xfa, 0xff, 'a', 'b'},
     false,
     ""},
    {"stored LEN 0xffff with nothing following",
     {0x78, 0x9c, 0x01, 0xff, 0xff, 0x00, 0x00},
     false,
     ""},
    {"block type 3", {0x78, 0x9c, 0x07, 0x00, 0x00, 0x00}, false, ""},
    {"non-final stored block, then the input ends",
     {0x78, 0x9c, 0x00, 0x00, 0x00, 0xff, 0xff},
     false,
     ""},
    {"non-final fixed block, then a stored block with no LEN", {0x78, 0x9c, 0x02, 0x00}, false, ""},
    {"fixed: 'a', match length 3 distance 1", {0x78, 0x9c, 0x4b, 0x04, 0x02, 0x00}, true, "aaaa"},
    {"fixed: 'a', match distance 2 after 1 byte", {0x78, 0x9c, 0x4b, 0x04, 0x42, 0x00}, false, ""},
    {"fixed: 'ab', match distance 2 after 2 bytes",
     {0x78, 0x9c, 0x4b, 0x4c, 0x02, 0x42, 0x00},
     true,
     "ababa"},
    {"fixed: match before any output", {0x78, 0x9c, 0x03, 0x02, 0x00}, false, ""},
    {"fixed: distance symbol 30", {0x78, 0x9c, 0x4b, 0x04, 0x3e, 0x00}, false, ""},
    {"fixed: distance 32768 after 1 byte",
     {0x78, 0x9c, 0x4b, 0x04, 0xde, 0xff, 0x0f, 0x00},
     false,
     ""},
    {"fixed: length symbol 286", {0x78, 0x9c, 0x4b, 0x1c, 0x03}, false, ""},
    {"fixed: length symbol 287", {0x78, 0x9c, 0x4b, 0x1c, 0x07}, false, ""},
    {"fixed: length 258 distance 1",
     {0x78, 0x9c, 0x4b, 0x1c, 0x05, 0x00},
     true,
     std::string(259, 'a')},
    {"fixed: 'ab' and no end-of-block", {0x78, 0x9c, 0x4b, 0x4c, 0x02}, false, ""},
    {"dynamic: 'a'",
     {0x78, 0x9c, 0x05, 0x40, 0xb6, 0x6d, 0xab, 0x95, 0xfd, 0x37, 0x41, 0x02, 0x80},
     true,
     "a"},
    {"dynamic: HLIT 286, lengths for all of them",
     {0x78, 0x9c, 0xed, 0x40, 0xb6, 0x6d, 0xab, 0x95, 0xfd, 0x37, 0xc1, 0x4a, 0x08, 0x00, 0x02},
     true,
     "a"},
    {"dynamic: HLIT 287, lengths for all of them",
     {0x78, 0x9c, 0xf5, 0x40, 0xb6, 0x6d, 0xab, 0x95, 0xfd, 0x37, 0xc1, 0x4e, 0x08, 0x00, 0x02},
     false,
     ""},
    {"dynamic: HDIST 30, lengths for all of them",
     {0x78, 0x9c, 0x05, 0x5d, 0xb6, 0x6d, 0xab, 0x95, 0xfd, 0x37, 0x41, 0x56, 0x02, 0x00, 0x02},
     true,
     "a"},
    {"dynamic: HDIST 31, lengths for all of them",
     {0x78, 0x9c, 0x05, 0x5e, 0xb6, 0x6d, 0xab, 0x95, 0xfd, 0x37, 0x41, 0x76, 0x02, 0x00, 0x02},
     false,
     ""},
    {"dynamic: last length sent as 'repeat 7 three times', one past the 258 lengths",
     {0x78, 0x9c, 0x05, 0x40, 0xb6, 0x6d, 0xab, 0x95, 0xfd, 0x37, 0x41, 0x03, 0x00, 0x02},
     false,
     ""},
    {"dynamic: first code-length symbol is 16 (repeat previous)",
     {0x78, 0x9c, 0x05, 0x40, 0xb6, 0x6d, 0x33, 0xb5, 0xb2, 0xff, 0x26, 0x48, 0x00, 0x10},
     false,
     ""},
    {"dynamic: zero runs of 138 pass the 258 lengths",
     {0x78, 0x9c, 0x05, 0x40, 0xb6, 0x6d, 0xeb, 0xbf, 0xff, 0xfe, 0x01},
     false,
     ""},
    {"dynamic: code-length code with no codes",
     {0x78, 0x9c, 0x05, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00},
     false,
     ""},
    {"dynamic: literal code without end-of-block; 'a' then an unmatched code",
     {0x78, 0x9c, 0x05, 0x40, 0xb6, 0x6d, 0xab, 0x95, 0xfd, 0x57, 0x41, 0x00, 0x10, 0x00},
     false,
     ""},
    {"dynamic: cut inside the code-length lengths", {0x78, 0x9c, 0x05, 0x40, 0x06}, false, ""},
};

TEST(InflateTest, HostileStreams) {
  for (const Hostile& h : kHostile) {
    Bytes out;
    const bool ok = Inflate(h.bytes.data(), h.bytes.size(), &out, kMaxInflated);
    EXPECT_EQ(ok, h.ok) << h.what;
    if (h.ok) {
      EXPECT_EQ(std::string(out.begin(), out.end()), h.out) << h.what;
    }
  }
}

TEST(InflateTest, NullInputFails) {
  Bytes out = {1, 2, 3};
  EXPECT_FALSE(Inflate(nullptr, 0, &out, kMaxInflated));
  EXPECT_TRUE(out.empty());
}

// Bytes holding the given Huffman codes (each sent most significant bit first).
Bytes PackCodes(const std::vector<std::pair<int, int>>& codes) {
  Bytes v;
  int bit = 0;
  for (auto [code, len] : codes) {
    for (int i = len - 1; i >= 0; --i, ++bit) {
      if (bit % 8 == 0) v.push_back(0);
      v.back() |= static_cast<std::uint8_t>(((code >> i) & 1) << (bit % 8));
    }
  }
  return v;
}

// The worked example of canonical codes in RFC 1951 3.2.2: lengths
// (3, 3, 3, 3, 3, 2, 4, 4) for symbols A to H.
TEST(InflateTest, CanonicalTableDecodesEachCode) {
  const std::uint8_t lengths[8] = {3, 3, 3, 3, 3, 2, 4, 4};
  meta_internal::Huff h;
  meta_internal::BuildHuff(&h, lengths, 8);
  EXPECT_EQ(h.count[0], 0);
  EXPECT_EQ(h.count[2], 1);
  EXPECT_EQ(h.count[3], 5);
  EXPECT_EQ(h.count[4], 2);
  const std::pair<int, int> codes[8] = {{0b010, 3}, {0b011, 3}, {0b100, 3},  {0b101, 3},
                                        {0b110, 3}, {0b00, 2},  {0b1110, 4}, {0b1111, 4}};
  std::vector<std::pair<int, int>> all;
  for (int s = 7; s >= 0; --s) all.push_back(codes[s]);
  const Bytes bits = PackCodes(all);
  meta_internal::Inflater in;
  in.data = bits.data();
  in.size = bits.size();
  for (int s = 7; s >= 0; --s) EXPECT_EQ(meta_internal::DecodeSym(&in, h), s);
  EXPECT_FALSE(in.exhausted);
}

// A complete code with lengths 1, 2, ..., 15, 15: symbol i < 15 is i ones
// then a zero, symbol 15 is fifteen ones, the longest code there is.
TEST(InflateTest, DecodesCodesUpToFifteenBits) {
  std::uint8_t lengths[16];
  for (int i = 0; i < 15; ++i) lengths[i] = static_cast<std::uint8_t>(i + 1);
  lengths[15] = 15;
  meta_internal::Huff h;
  meta_internal::BuildHuff(&h, lengths, 16);
  struct Case {
    Bytes bits;
    int sym;
  } const cases[] = {
      {{0x00}, 0},         // 0
      {{0x01}, 1},         // 10
      {{0x7f}, 7},         // 1111111 0
      {{0xff, 0x3f}, 14},  // fourteen ones, then 0
      {{0xff, 0x7f}, 15},  // fifteen ones
  };
  for (const Case& c : cases) {
    meta_internal::Inflater in;
    in.data = c.bits.data();
    in.size = c.bits.size();
    EXPECT_EQ(meta_internal::DecodeSym(&in, h), c.sym);
    EXPECT_FALSE(in.exhausted);
  }
}

TEST(InflateTest, DecodeSymFailsOnUnmatchedCodeOrEndOfInput) {
  // One symbol of length 1: code 0 decodes, code 1 matches nothing.
  const std::uint8_t lengths[2] = {1, 0};
  meta_internal::Huff h;
  meta_internal::BuildHuff(&h, lengths, 2);
  const Bytes bits = {0x00, 0x00};
  const Bytes ones = {0xff, 0xff};
  struct Case {
    const char* what;
    const Bytes* input;
    std::size_t size;
    int sym;
  } const cases[] = {
      {"code 0", &bits, 2, 0},
      {"code 1 and fifteen bits without a match", &ones, 2, -1},
      {"fewer than fifteen bits left", &ones, 1, -1},
      {"no input", &bits, 0, -1},
  };
  for (const Case& c : cases) {
    meta_internal::Inflater in;
    in.data = c.input->data();
    in.size = c.size;
    EXPECT_EQ(meta_internal::DecodeSym(&in, h), c.sym) << c.what;
    EXPECT_EQ(in.exhausted, c.sym < 0) << c.what;
  }
}

}  // namespace
