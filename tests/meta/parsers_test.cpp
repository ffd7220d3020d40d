// Container parsers on the repository's fixtures and on hand-built files whose
// bytes are annotated row by row: well-formed files, truncation at every
// length, lying length fields near 2^32, fill bytes, standalone markers, odd
// RIFF chunks with and without their pad byte and GIF sub-block chains.
#include "meta/parsers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::Fixture;
using testing_support::ReadBytes;

// ASCII text as bytes, without a terminating zero.
Bytes T(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Repeat(std::uint8_t b, std::size_t n) { return Bytes(n, b); }

// The first n bytes in a buffer of exactly n bytes, so that any read past the
// end is a heap overflow the address sanitizer reports.
Bytes Prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + n); }

using SegT = std::tuple<int, std::uint64_t, std::uint64_t>;  // marker, offset, size
std::vector<SegT> Segs(const std::vector<meta::Seg>& v) {
  std::vector<SegT> out;
  for (const meta::Seg& s : v) out.emplace_back(s.marker, s.offset, s.size);
  return out;
}

// ---------------------------------------------------------------- JPEG

// A small, complete JPEG head: SOI, APP1 EXIF, COM, DQT stub, SOS.
Bytes SmallJpeg() {
  return Cat({
      {0xFF, 0xD8},                                                  // 0 SOI
      {0xFF, 0xE1, 0x00, 0x0A, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I'},  // 2 APP1, length 10
      {0xFF, 0xFE, 0x00, 0x05, 'h', 'i', '!'},                       // 14 COM, length 5
      {0xFF, 0xDB, 0x00, 0x03, 0x00},                                // 21 DQT stub, length 3
      {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 63, 0},                   // 26 SOS
      {0x12, 0x34, 0xFF, 0xD9},                                      // scan data, EOI
  });
}

struct JpegCase {
  const char* name;
  Bytes bytes;
  bool ok;
  std::uint64_t scan;
  std::vector<SegT> segs;
};

TEST(ParsersJpeg, Table) {
  const JpegCase cases[] = {
      {"well formed", SmallJpeg(), true, 26, {{0xE1, 2, 12}, {0xFE, 14, 7}, {0xDB, 21, 5}}},
      {"fill bytes before a segment and before SOS",
       Cat({{0xFF, 0xD8},                        // SOI
            {0xFF, 0xFF, 0xFF},                  // 2 three fill bytes
            {0xFF, 0xE0, 0x00, 0x04, 'a', 'b'},  // 5 APP0: offset is the last 0xFF
            {0xFF},                              // 11 one fill byte
            {0xFF, 0xDA, 0x00, 0x02}}),          // 12 SOS
       true,
       12,
       {{0xE0, 5, 6}}},
      {"standalone markers carry no length",
       Cat({{0xFF, 0xD8},                // SOI
            {0xFF, 0xD0},                // 2 RST0
            {0xFF, 0x01},                // 4 TEM
            {0xFF, 0xD7},                // 6 RST7
            {0xFF, 0xD8},                // 8 a second SOI
            {0xFF, 0xDA, 0x00, 0x02}}),  // 10 SOS
       true,
       10,
       {{0xD0, 2, 2}, {0x01, 4, 2}, {0xD7, 6, 2}, {0xD8, 8, 2}}},
      {"length 2 is an empty segment",
       Cat({{0xFF, 0xD8}, {0xFF, 0xE2, 0x00, 0x02}, {0xFF, 0xDA, 0x00, 0x02}}),
       true,
       6,
       {{0xE2, 2, 4}}},
      {"segment ending exactly at SOS",
       Cat({{0xFF, 0xD8}, {0xFF, 0xFE, 0x00, 0x03, 'x'}, {0xFF, 0xDA, 0x00, 0x02}}),
       true,
       7,
       {{0xFE, 2, 5}}},
      {"APP length 1",
       Cat({{0xFF, 0xD8}, {0xFF, 0xE1, 0x00, 0x01}, {0xFF, 0xDA, 0x00, 0x02}}),
       false,
       0,
       {}},
      {"APP length 0",
       Cat({{0xFF, 0xD8}, {0xFF, 0xE1, 0x00, 0x00}, {0xFF, 0xDA, 0x00, 0x02}}),
       false,
       0,
       {}},
      {"APP ends one byte past the end of the file",
       Cat({{0xFF, 0xD8}, {0xFF, 0xE1, 0x00, 0x09}, T("Exif"), {0, 0, 0}}),
       false,
       0,
       {}},
      {"APP length 0xFFFF on a small file",
       Cat({{0xFF, 0xD8}, {0xFF, 0xE1, 0xFF, 0xFF}, Repeat(0, 20), {0xFF, 0xDA, 0x00, 0x02}}),
       false,
       0,
       {}},
      {"EOI without any SOS",
       Cat({{0xFF, 0xD8}, {0xFF, 0xFE, 0x00, 0x02}, {0xFF, 0xD9}, {0, 0}}),
       false,
       0,
       {}},
      // Junk between segments is skipped up to the next 0xFF, as decoders do.
      {"byte other than 0xFF where a marker should be",
       Cat({{0xFF, 0xD8}, {0xFF, 0xFE, 0x00, 0x02}, {0x00, 0xFF, 0xDA, 0x00, 0x02}}),
       true,
       7,
       {{0xFE, 2, 4}}},
      {"junk between two segments",
       Cat({{0xFF, 0xD8},                   // SOI
            {0xFF, 0xFE, 0x00, 0x03, 'x'},  // 2 COM
            {'j', 'u', 'n', 'k'},           // 7
            {0xFF, 0xE1, 0x00, 0x03, 'y'},  // 11 APP1
            {0x00},                         // 16
            {0xFF, 0xDA, 0x00, 0x02}}),     // 17 SOS
       true,
       17,
       {{0xFE, 2, 5}, {0xE1, 11, 5}}},
      // 0xFF 0x00 is junk as well: what looks like its length does not
      // swallow the segment behind it.
      {"stuffed zero before a segment",
       Cat({{0xFF, 0xD8},                   // SOI
            {0xFF, 0x00, 0x00, 0x06},       // 2 junk
            {0xFF, 0xFE, 0x00, 0x03, 'x'},  // 6 COM
            {0xFF, 0xDA, 0x00, 0x02}}),     // 11 SOS
       true,
       11,
       {{0xFE, 6, 5}}},
      {"junk to the end",
       Cat({{0xFF, 0xD8}, {0xFF, 0xFE, 0x00, 0x02}, Repeat(0x11, 30)}),
       false,
       0,
       {}},
      {"no SOI", Cat({{0xFF, 0xD9}, {0xFF, 0xDA, 0x00, 0x02}}), false, 0, {}},
      {"five bytes", Cat({{0xFF, 0xD8}, {0xFF, 0xDA, 0x00}}), false, 0, {}},
      // SOS needs four bytes from its position (marker and length) to count.
      {"SOS in the last three bytes",
       Cat({{0xFF, 0xD8}, {0xFF, 0xFE, 0x00, 0x02}, {0xFF, 0xDA, 0}}),
       false,
       0,
       {}},
      {"only fill bytes after SOI", Cat({{0xFF, 0xD8}, Repeat(0xFF, 30)}), false, 0, {}},
      {"empty", {}, false, 0, {}},
  };
  for (const JpegCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<meta::Seg> segs;
    std::uint64_t scan = 0;
    ASSERT_EQ(meta::ParseJpeg(c.bytes.data(), c.bytes.size(), &segs, &scan), c.ok);
    if (c.ok) {
      EXPECT_EQ(scan, c.scan);
      EXPECT_EQ(Segs(segs), c.segs);
    }
  }
}

TEST(ParsersJpeg, TruncatedAtEveryLength) {
  const Bytes full = SmallJpeg();
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    const Bytes b = Prefix(full, n);
    std::vector<meta::Seg> segs;
    std::uint64_t scan = 0;
    // SOS at 26 counts once its marker and length are in the buffer.
    const bool ok = meta::ParseJpeg(b.data(), b.size(), &segs, &scan);
    EXPECT_EQ(ok, n >= 30);
    if (ok) {
      EXPECT_EQ(segs.size(), 3u);
    }
  }
}

TEST(ParsersJpeg, ClearsTheListFirst) {
  const Bytes b = SmallJpeg();
  std::vector<meta::Seg> segs(5);
  std::uint64_t scan = 0;
  ASSERT_TRUE(meta::ParseJpeg(b, &segs, &scan));
  EXPECT_EQ(segs.size(), 3u);
}

struct JpegFixture {
  const char* file;
  std::uint64_t scan;
  std::vector<SegT> segs;
};

TEST(ParsersJpeg, Fixtures) {
  const JpegFixture cases[] = {
      {"jpeg_gray.jpg",
       159,
       {{0xE0, 2, 18}, {0xDB, 20, 69}, {0xC0, 89, 13}, {0xC4, 102, 23}, {0xC4, 125, 34}}},
      {"jpeg_progressive.jpg",
       226,
       {{0xE0, 2, 18},
        {0xDB, 20, 69},
        {0xDB, 89, 69},
        {0xC2, 158, 19},
        {0xC4, 177, 23},
        {0xC4, 200, 26}}},
      {"jpeg_cmyk.jpg",
       297,
       {{0xEE, 2, 16},
        {0xDB, 18, 69},
        {0xDB, 87, 69},
        {0xC0, 156, 22},
        {0xC4, 178, 25},
        {0xC4, 203, 34},
        {0xC4, 237, 26},
        {0xC4, 263, 34}}},
  };
  for (const JpegFixture& c : cases) {
    SCOPED_TRACE(c.file);
    const Bytes b = ReadBytes(Fixture(c.file));
    ASSERT_FALSE(b.empty());
    std::vector<meta::Seg> segs;
    std::uint64_t scan = 0;
    ASSERT_TRUE(meta::ParseJpeg(b, &segs, &scan));
    EXPECT_EQ(scan, c.scan);
    EXPECT_EQ(Segs(segs), c.segs);
  }
}

// ---------------------------------------------------------------- PNG

Bytes Be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}
Bytes Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}
Bytes Sig() { return Bytes(meta::kPngSig, meta::kPngSig + 8); }
// A chunk with a zero CRC: the parser never looks at it.
Bytes PngChunk(const char* type, const Bytes& data) {
  return Cat({Be32(static_cast<std::uint32_t>(data.size())), T(type), data, {0, 0, 0, 0}});
}
Bytes Ihdr() { return PngChunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0}); }
Bytes Iend() { return PngChunk("IEND", {}); }

using ChunkT = std::tuple<std::string, std::uint64_t, std::uint64_t>;  // type, offset, length
std::vector<ChunkT> Chunks(const std::vector<meta::Chunk>& v) {
  std::vector<ChunkT> out;
  for (const meta::Chunk& c : v) {
    EXPECT_EQ(c.dataOffset, c.offset + 8);
    out.emplace_back(c.type, c.offset, c.length);
  }
  return out;
}

struct PngCase {
  const char* name;
  Bytes bytes;
  bool ok;
  std::vector<ChunkT> chunks;
};

TEST(ParsersPng, Table) {
  const PngCase cases[] = {
      // Chunks at 8, 33 and 52; the tEXt data is "Title", a zero and "x".
      {"signature, IHDR, tEXt, IEND",
       Cat({Sig(), Ihdr(), PngChunk("tEXt", Cat({T("Title"), {0}, T("x")})), Iend()}),
       true,
       {{"IHDR", 8, 13}, {"tEXt", 33, 7}, {"IEND", 52, 0}}},
      {"twenty bytes: signature and IEND", Cat({Sig(), Iend()}), true, {{"IEND", 8, 0}}},
      {"garbage after IEND",
       Cat({Sig(), Ihdr(), Iend(), T("trailing junk"), {0xFF, 0xFF}}),
       true,
       {{"IHDR", 8, 13}, {"IEND", 33, 0}}},
      {"wrong CRC",
       Cat({Sig(), Be32(13), T("IHDR"), Repeat(1, 13), {0xDE, 0xAD, 0xBE, 0xEF}, Iend()}),
       true,
       {{"IHDR", 8, 13}, {"IEND", 33, 0}}},
      {"chunks in any order, no IHDR",
       Cat({Sig(), PngChunk("zTXt", {1}), Iend()}),
       true,
       {{"zTXt", 8, 1}, {"IEND", 21, 0}}},
      {"no IEND", Cat({Sig(), Ihdr(), PngChunk("IDAT", {1, 2})}), false, {}},
      {"nineteen bytes", Cat({Sig(), Be32(0), T("IEN"), {0, 0, 0, 0}}), false, {}},
      {"last chunk length points one past the end",
       Cat({Sig(), Ihdr(), Be32(1), T("IEND"), {0, 0, 0, 0}}),
       false,
       {}},
      {"length 0xFFFFFFFF",
       Cat({Sig(), Be32(0xFFFFFFFF), T("tEXt"), Repeat(0, 8), Iend()}),
       false,
       {}},
      // 0xFFFFFFF4 + 12 wraps to 0 in 32 bits.
      {"length 0xFFFFFFF4",
       Cat({Sig(), Be32(0xFFFFFFF4), T("tEXt"), Repeat(0, 8), Iend()}),
       false,
       {}},
      {"length 0x80000000",
       Cat({Sig(), Be32(0x80000000), T("tEXt"), Repeat(0, 8), Iend()}),
       false,
       {}},
      {"wrong signature",
       Cat({{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x00}, Ihdr(), Iend()}),
       false,
       {}},
      {"IEND cut short by one byte", Prefix(Cat({Sig(), Ihdr(), Iend()}), 44), false, {}},
  };
  for (const PngCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<meta::Chunk> chunks;
    ASSERT_EQ(meta::ParsePng(c.bytes.data(), c.bytes.size(), &chunks), c.ok);
    if (c.ok) {
      EXPECT_EQ(Chunks(chunks), c.chunks);
    }
  }
}

TEST(ParsersPng, TruncatedAtEveryLength) {
  const Bytes full =
      Cat({Sig(), Ihdr(), PngChunk("iTXt", Cat({T("k"), {0, 0, 0, 0, 0}, T("v")})), Iend()});
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    const Bytes b = Prefix(full, n);
    std::vector<meta::Chunk> chunks;
    EXPECT_EQ(meta::ParsePng(b.data(), b.size(), &chunks), n == full.size());
  }
}

TEST(ParsersPng, Fixtures) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"png_gray2.png", {"IHDR", "gAMA", "bKGD", "tIME", "IDAT", "tEXt", "tEXt", "IEND"}},
      {"png_palette_trns.png",
       {"IHDR", "gAMA", "cHRM", "PLTE", "tRNS", "tIME", "IDAT", "tEXt", "tEXt", "IEND"}},
      {"png_interlaced.png",
       {"IHDR", "gAMA", "cHRM", "bKGD", "tIME", "caNv", "IDAT", "tEXt", "tEXt", "IEND"}},
  };
  for (const auto& [file, types] : cases) {
    SCOPED_TRACE(file);
    const Bytes b = ReadBytes(Fixture(file));
    std::vector<meta::Chunk> chunks;
    ASSERT_TRUE(meta::ParsePng(b, &chunks));
    std::vector<std::string> got;
    for (const meta::Chunk& c : chunks) got.push_back(c.type);
    EXPECT_EQ(got, types);
    // The chunks tile the file from the signature to its end.
    std::uint64_t next = 8;
    for (const meta::Chunk& c : chunks) {
      EXPECT_EQ(c.offset, next);
      next = c.offset + c.length + 12;
    }
    EXPECT_EQ(next, b.size());
  }
}

TEST(ParsersPng, IsTextChunk) {
  const std::pair<const char*, bool> cases[] = {
      {"tEXt", true},   {"zTXt", true}, {"iTXt", true},  {"TEXT", false}, {"text", false},
      {"tEXt ", false}, {"tEX", false}, {"IHDR", false}, {"", false},     {nullptr, false},
  };
  for (const auto& [type, want] : cases) {
    SCOPED_TRACE(type ? type : "(null)");
    EXPECT_EQ(meta::IsTextChunk(type), want);
  }
}

// ---------------------------------------------------------------- WebP

// RIFF header with a size field the parser ignores.
Bytes Riff(std::uint32_t riffSize = 0) { return Cat({T("RIFF"), Le32(riffSize), T("WEBP")}); }
Bytes RiffChunkBytes(const char* id, const Bytes& data, bool pad = true) {
  Bytes out = Cat({T(id), Le32(static_cast<std::uint32_t>(data.size())), data});
  if (pad && (data.size() & 1)) out.push_back(0);
  return out;
}

using RiffT =
    std::tuple<std::string, std::uint64_t, std::uint64_t, std::uint64_t>;  // id, offset, size, span
std::vector<RiffT> Riffs(const std::vector<meta::RiffChunk>& v) {
  std::vector<RiffT> out;
  for (const meta::RiffChunk& c : v) {
    EXPECT_EQ(c.dataOffset, c.offset + 8);
    out.emplace_back(c.fourcc, c.offset, c.size, c.span);
  }
  return out;
}

struct WebpCase {
  const char* name;
  Bytes bytes;
  bool ok;
  std::vector<RiffT> chunks;
};

TEST(ParsersWebp, Table) {
  const WebpCase cases[] = {
      {"one even chunk",
       Cat({Riff(), RiffChunkBytes("VP8L", {1, 2, 3, 4})}),
       true,
       {{"VP8L", 12, 4, 12}}},
      {"odd chunk with its pad byte, then another",
       Cat({Riff(), RiffChunkBytes("VP8X", {1, 2, 3}),  // 12: 8 + 3 + pad
            RiffChunkBytes("EXIF", {5, 6})}),           // 24
       true,
       {{"VP8X", 12, 3, 12}, {"EXIF", 24, 2, 10}}},
      {"final odd chunk with its pad byte",
       Cat({Riff(), RiffChunkBytes("VP8L", {1, 2}), RiffChunkBytes("XMP ", {'<', 'x', '>'})}),
       true,
       {{"VP8L", 12, 2, 10}, {"XMP ", 22, 3, 12}}},
      {"final odd chunk without its pad byte",
       Cat({Riff(), RiffChunkBytes("VP8L", {1, 2}),
            RiffChunkBytes("XMP ", {'<', 'x', '>'}, /*pad=*/false)}),
       true,
       {{"VP8L", 12, 2, 10}, {"XMP ", 22, 3, 11}}},
      {"seven trailing bytes are ignored",
       Cat({Riff(), RiffChunkBytes("VP8L", {1, 2, 3, 4}), Repeat(0xEE, 7)}),
       true,
       {{"VP8L", 12, 4, 12}}},
      {"twenty bytes: one empty chunk",
       Cat({Riff(0xFFFFFFFF), T("VP8 "), Le32(0)}),
       true,
       {{"VP8 ", 12, 0, 8}}},
      {"eight trailing bytes form a chunk header",
       Cat({Riff(), RiffChunkBytes("VP8L", {1, 2, 3, 4}), T("JUNK"), Le32(0)}),
       true,
       {{"VP8L", 12, 4, 12}, {"JUNK", 24, 0, 8}}},
      {"size one past the end", Cat({Riff(), T("VP8L"), Le32(5), {1, 2, 3, 4}}), false, {}},
      {"size 0xFFFFFFFF", Cat({Riff(), T("VP8L"), Le32(0xFFFFFFFF), Repeat(0, 12)}), false, {}},
      // 0xFFFFFFF8 + 8 wraps to 0 in 32 bits.
      {"size 0xFFFFFFF8", Cat({Riff(), T("VP8L"), Le32(0xFFFFFFF8), Repeat(0, 12)}), false, {}},
      {"second chunk lies",
       Cat({Riff(), RiffChunkBytes("VP8L", {1, 2}), T("EXIF"), Le32(0x7FFFFFFF)}),
       false,
       {}},
      {"nineteen bytes", Cat({Riff(), T("VP8 "), {0, 0, 0}}), false, {}},
      {"RIFX", Cat({T("RIFX"), Le32(0), T("WEBP"), RiffChunkBytes("VP8L", {1, 2})}), false, {}},
      {"not WEBP", Cat({T("RIFF"), Le32(0), T("WAVE"), RiffChunkBytes("fmt ", {1, 2})}), false, {}},
  };
  for (const WebpCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<meta::RiffChunk> chunks;
    ASSERT_EQ(meta::ParseWebp(c.bytes.data(), c.bytes.size(), &chunks), c.ok);
    if (c.ok) {
      EXPECT_EQ(Riffs(chunks), c.chunks);
    }
  }
}

TEST(ParsersWebp, TruncatedAtEveryLength) {
  // 12 header, 12 VP8L (4), 16 EXIF (7 + pad) = 40 bytes.
  const Bytes full =
      Cat({Riff(), RiffChunkBytes("VP8L", {1, 2, 3, 4}), RiffChunkBytes("EXIF", Repeat(9, 7))});
  ASSERT_EQ(full.size(), 40u);
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    const Bytes b = Prefix(full, n);
    std::vector<meta::RiffChunk> chunks;
    const bool ok = meta::ParseWebp(b.data(), b.size(), &chunks);
    // 24..31: the first chunk and up to 7 ignored bytes; 32..38: the EXIF
    // header promises more than is there; 39: EXIF without its pad byte.
    const bool want = (n >= 24 && n <= 31) || n >= 39;
    EXPECT_EQ(ok, want);
    if (ok) {
      EXPECT_EQ(chunks.size(), n >= 39 ? 2u : 1u);
      if (n == 39) {
        EXPECT_EQ(chunks.back().span, 15u);
      }
      if (n == 40) {
        EXPECT_EQ(chunks.back().span, 16u);
      }
    }
  }
}

TEST(ParsersWebp, Fixtures) {
  {
    const Bytes b = ReadBytes(Fixture("dec_anim.webp"));
    std::vector<meta::RiffChunk> chunks;
    ASSERT_TRUE(meta::ParseWebp(b, &chunks));
    EXPECT_EQ(Riffs(chunks), (std::vector<RiffT>{{"VP8X", 12, 10, 18},
                                                 {"ANIM", 30, 6, 14},
                                                 {"ANMF", 44, 40, 48},
                                                 {"ANMF", 92, 40, 48}}));
  }
  {
    const Bytes b = ReadBytes(Fixture("dec_alpha.webp"));
    std::vector<meta::RiffChunk> chunks;
    ASSERT_TRUE(meta::ParseWebp(b, &chunks));
    // 61 bytes of VP8L data and its pad byte end the 82-byte file.
    EXPECT_EQ(Riffs(chunks), (std::vector<RiffT>{{"VP8L", 12, 61, 70}}));
  }
}

TEST(ParsersWebp, BlobsTakeTheLastChunkOfEachKind) {
  const Bytes b =
      Cat({Riff(), RiffChunkBytes("VP8X", Repeat(0, 10)), RiffChunkBytes("EXIF", T("first")),
           RiffChunkBytes("XMP ", T("<x/>")), RiffChunkBytes("EXIF", T("second!")),
           RiffChunkBytes("exif", T("wrong case"))});
  std::vector<meta::RiffChunk> chunks;
  ASSERT_TRUE(meta::ParseWebp(b, &chunks));
  Bytes exif = {1}, xmp = {2};
  meta::WebpBlobs(b, chunks, &exif, &xmp);
  EXPECT_EQ(exif, T("second!"));
  EXPECT_EQ(xmp, T("<x/>"));
}

TEST(ParsersWebp, AbsentBlobsLeaveEmptyVectors) {
  const Bytes b = Cat({Riff(), RiffChunkBytes("VP8L", {1, 2, 3}, /*pad=*/false)});
  std::vector<meta::RiffChunk> chunks;
  ASSERT_TRUE(meta::ParseWebp(b, &chunks));
  Bytes exif = {1, 2, 3}, xmp = {4};
  meta::WebpBlobs(b, chunks, &exif, &xmp);
  EXPECT_TRUE(exif.empty());
  EXPECT_TRUE(xmp.empty());
}

TEST(ParsersWebp, BlobsNeverReadPastTheBytesTheyAreGiven) {
  const Bytes b = Cat({Riff(), RiffChunkBytes("EXIF", T("abcdef"))});
  std::vector<meta::RiffChunk> chunks;
  ASSERT_TRUE(meta::ParseWebp(b, &chunks));
  const Bytes shorter = Prefix(b, b.size() - 1);  // a list that does not fit these bytes
  Bytes exif, xmp;
  meta::WebpBlobs(shorter, chunks, &exif, &xmp);
  EXPECT_TRUE(exif.empty());
  chunks[0].dataOffset = ~0ull - 2;  // a list whose offset would wrap
  meta::WebpBlobs(b, chunks, &exif, &xmp);
  EXPECT_TRUE(exif.empty());
}

// ---------------------------------------------------------------- GIF

// "GIF89a" and a logical screen descriptor of 1x1 with the given packed byte.
Bytes GifHead(std::uint8_t packed = 0) { return Cat({T("GIF89a"), {1, 0, 1, 0, packed, 0, 0}}); }

using BlockT =
    std::tuple<std::uint64_t, std::uint64_t, bool, std::string>;  // offset, end, comment, text
std::vector<BlockT> Blocks(const std::vector<meta::GifBlock>& v) {
  std::vector<BlockT> out;
  for (const meta::GifBlock& b : v) out.emplace_back(b.offset, b.end, b.isComment, b.text);
  return out;
}

struct GifCase {
  const char* name;
  Bytes bytes;
  bool ok;
  std::uint64_t first, trailer;
  std::vector<BlockT> blocks;
};

TEST(ParsersGif, Table) {
  const GifCase cases[] = {
      {"comment split over sub-blocks",
       Cat({GifHead(),
            {0x21, 0xFE, 3, 'a', 'b', 'c', 2, 'd', 'e', 1, 0, 0},  // 13: "abcde\0" in 3 pieces
            {0x3B}}),                                              // 25
       true,
       13,
       25,
       {{13, 25, true, std::string("abcde\0", 6)}}},
      {"two comments, a control extension and an image",
       Cat({GifHead(0x80),                         // 2-colour global table
            Repeat(0x55, 6),                       // 13 table
            {0x21, 0xFE, 2, 'h', 'i', 0},          // 19 comment
            {0x21, 0xF9, 4, 1, 0, 0, 0, 0},        // 25 graphic control
            {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x81},  // 33 descriptor, 4-colour table
            Repeat(0x77, 12),                      // 43 local table
            {2, 2, 0x44, 0x01, 0},                 // 55 LZW size, data, terminator
            {0x21, 0xFE, 0},                       // 60 empty comment
            {0x3B},                                // 63 trailer
            T("after the trailer")}),
       true,
       19,
       63,
       {{19, 25, true, "hi"}, {25, 33, false, ""}, {33, 60, false, ""}, {60, 63, true, ""}}},
      {"image without colour tables",
       Cat({GifHead(), {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x00}, {2, 1, 0, 0}, {0x3B}}),
       true,
       13,
       27,
       {{13, 27, false, ""}}},
      {"largest global table", Cat({GifHead(0x87), Repeat(0, 768), {0x3B}}), true, 781, 781, {}},
      {"no trailer", Cat({GifHead(), {0x21, 0xFE, 1, 'x', 0}}), false, 0, 0, {}},
      {"stray byte where a block should start",
       Cat({GifHead(), {0x21, 0xFE, 0}, {0x00, 0x3B}}),
       false,
       0,
       0,
       {}},
      {"global table past the end", Cat({GifHead(0x87), Repeat(0, 767), {0x3B}}), false, 0, 0, {}},
      {"global table ends at the end", Cat({GifHead(0x81), Repeat(0, 12)}), false, 0, 0, {}},
      {"sub-block runs past the end",
       Cat({GifHead(), {0x21, 0xFE, 0xFF, 'x', 0, 0x3B}}),
       false,
       0,
       0,
       {}},
      {"sub-block ends at the end without a terminator",
       Cat({GifHead(), {0x21, 0xFE, 2, 'x', 'y'}}),
       false,
       0,
       0,
       {}},
      {"extension cut after its label", Cat({GifHead(), {0x21, 0xFE}}), false, 0, 0, {}},
      {"image data reaches the end without a terminator",
       Cat({GifHead(), {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x00}, {2, 1, 0}}),
       false,
       0,
       0,
       {}},
      {"image descriptor cut short",
       Cat({GifHead(), {0x2C, 0, 0, 0, 0, 1, 0, 1, 0}}),
       false,
       0,
       0,
       {}},
      {"local table past the end",
       Cat({GifHead(), {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x87}, Repeat(0, 40), {0x3B}}),
       false,
       0,
       0,
       {}},
      {"LZW size byte is the last byte",
       Cat({GifHead(), {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x00}, {2}}),
       false,
       0,
       0,
       {}},
      {"block ends at the end of the file",
       Cat({GifHead(), {0x21, 0xFE, 1, 'x', 0}}),
       false,
       0,
       0,
       {}},
      {"thirteen bytes", GifHead(), false, 0, 0, {}},
      {"not GIF8", Cat({T("GIF7"), {'a', 1, 0, 1, 0, 0, 0, 0}, {0x3B}}), false, 0, 0, {}},
  };
  for (const GifCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<meta::GifBlock> blocks(2);  // cleared by the parser
    std::uint64_t first = 0, trailer = 0;
    ASSERT_EQ(meta::ParseGif(c.bytes.data(), c.bytes.size(), &blocks, &first, &trailer), c.ok);
    if (c.ok) {
      EXPECT_EQ(first, c.first);
      EXPECT_EQ(trailer, c.trailer);
      EXPECT_EQ(Blocks(blocks), c.blocks);
    }
  }
}

TEST(ParsersGif, TruncatedAtEveryLength) {
  const Bytes full = Cat({GifHead(0x80),
                          Repeat(1, 6),                  // 13 table
                          {0x21, 0xFE, 2, 'o', 'k', 0},  // 19
                          {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0},
                          {2, 1, 0, 0},  // 25
                          {0x3B}});      // 39
  ASSERT_EQ(full.size(), 40u);
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    const Bytes b = Prefix(full, n);
    std::vector<meta::GifBlock> blocks;
    std::uint64_t first = 0, trailer = 0;
    EXPECT_EQ(meta::ParseGif(b.data(), b.size(), &blocks, &first, &trailer), n == full.size());
  }
}

TEST(ParsersGif, Fixtures) {
  {
    const Bytes b = ReadBytes(Fixture("gif_transparent.gif"));
    std::vector<meta::GifBlock> blocks;
    std::uint64_t first = 0, trailer = 0;
    ASSERT_TRUE(meta::ParseGif(b, &blocks, &first, &trailer));
    EXPECT_EQ(first, 37u);  // 13 + a 8-colour global table
    EXPECT_EQ(trailer, 96u);
    EXPECT_EQ(Blocks(blocks), (std::vector<BlockT>{{37, 45, false, ""}, {45, 96, false, ""}}));
  }
  {
    const Bytes b = ReadBytes(Fixture("gif_anim.gif"));
    std::vector<meta::GifBlock> blocks;
    std::uint64_t first = 0, trailer = 0;
    ASSERT_TRUE(meta::ParseGif(b, &blocks, &first, &trailer));
    EXPECT_EQ(trailer, b.size() - 1);
    // Control, comment, NETSCAPE, then three control + image pairs.
    std::string kinds, comments;
    for (const meta::GifBlock& g : blocks) {
      kinds += b[g.offset] == 0x2C ? 'I' : (g.isComment ? 'C' : 'E');
      if (g.isComment) comments += g.text;
    }
    EXPECT_EQ(kinds, "ECEIEIEI");
    EXPECT_EQ(comments, "made for norvane");
  }
}

// ---------------------------------------------------------------- constants

TEST(ParsersConstants, Identifiers) {
  EXPECT_EQ(Bytes(meta::kPngSig, meta::kPngSig + sizeof meta::kPngSig),
            (Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}));
  EXPECT_EQ(Bytes(meta::kExifHead, meta::kExifHead + sizeof meta::kExifHead),
            (Bytes{'E', 'x', 'i', 'f', 0, 0}));
  const char xmp[] = "http://ns.adobe.com/xap/1.0/";  // 28 characters and the zero
  ASSERT_EQ(sizeof meta::kXmpHead, sizeof xmp);
  EXPECT_EQ(std::memcmp(meta::kXmpHead, xmp, sizeof xmp), 0);
}

}  // namespace
