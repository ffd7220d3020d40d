// The WebP metadata rewrite: the RIFF chunk with its pad byte, a VP8X header
// made or dropped as the metadata needs, EXIF and XMP edited and written
// last, every other chunk kept in order, and the check that only metadata
// changed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta_internal.h"
#include "meta/parsers.h"
#include "platform/platform.h"
#include "tests/meta/meta_test_helpers.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using meta_test::ValueOf;
using testing_support::Fixture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

struct Chunk {
  std::string fourcc;
  Bytes payload;
};

std::vector<Chunk> Chunks(const Bytes& webp) {
  std::vector<meta::RiffChunk> list;
  EXPECT_TRUE(meta::ParseWebp(webp, &list));
  std::vector<Chunk> out;
  for (const auto& c : list) {
    const auto at = webp.begin() + static_cast<std::ptrdiff_t>(c.dataOffset);
    out.push_back({c.fourcc, Bytes(at, at + static_cast<std::ptrdiff_t>(c.size))});
  }
  return out;
}

std::vector<std::string> FourCCs(const Bytes& webp) {
  std::vector<std::string> out;
  for (const Chunk& c : Chunks(webp)) out.push_back(c.fourcc);
  return out;
}

std::uint32_t RiffSize(const Bytes& b) {
  return b[4] | b[5] << 8 | b[6] << 16 | static_cast<std::uint32_t>(b[7]) << 24;
}

MetaDoc Parse(const Bytes& webp) { return meta_test::ParseAs(webp, L"WebP", true); }

const MetaPreset& Preset(const wchar_t* label) { return meta_test::PresetIn(kWebpPresets, label); }

Bytes Save(const MetaDoc& doc) {
  Bytes out;
  std::wstring err;
  EXPECT_TRUE(SaveWebp(doc, &out, &err)) << platform::WideToUtf8(err);
  return out;
}

TEST(PutRiff, PadByte) {
  Bytes out;
  PutRiff(&out, "EXIF", "abc", 3);
  EXPECT_EQ(out, (Bytes{'E', 'X', 'I', 'F', 3, 0, 0, 0, 'a', 'b', 'c', 0}));
  out.clear();
  PutRiff(&out, "XMP ", "ab", 2);
  EXPECT_EQ(out.size(), 10u);
}

TEST(SaveWebp, SimpleFileGainsAndLosesItsHeader) {
  const Bytes simple = ReadBytes(Fixture("webp_simple.webp"));
  ASSERT_EQ(FourCCs(simple), std::vector<std::string>{"VP8 "});
  MetaDoc doc = Parse(simple);
  ASSERT_GE(meta_add(&doc, Preset(L"Description")), 0);
  doc.fields.back().value = L"A description";
  const Bytes gained = Save(doc);
  EXPECT_EQ(FourCCs(gained), (std::vector<std::string>{"VP8X", "VP8 ", "EXIF"}));
  EXPECT_EQ(RiffSize(gained), gained.size() - 8);
  const std::vector<Chunk> chunks = Chunks(gained);
  // EXIF flag, no alpha; the canvas is the bitstream's 24 x 16.
  EXPECT_EQ(chunks[0].payload, (Bytes{0x08, 0, 0, 0, 23, 0, 0, 15, 0, 0}));
  EXPECT_EQ(chunks[1].payload, Chunks(simple)[0].payload);
  EXPECT_EQ(ValueOf(Parse(gained), L"/app1/ifd/{ushort=270}"), L"A description");
  EXPECT_TRUE(SameWebp(simple, gained));
  // A RIFF size beyond the end of the file stops the old file decoding; the
  // rewrite writes the true size, and the unchanged image chunks decide.
  Bytes lying = simple;
  lying[7] = 0x40;
  EXPECT_TRUE(SameWebp(lying, simple));
  EXPECT_TRUE(SameWebp(lying, lying));
  // A result that does not decode where the old file did is never the same.
  Bytes cut = simple;
  cut[7] = 0x40;
  EXPECT_FALSE(SameWebp(simple, cut));
  // The added field taken away again: back to a plain file.
  MetaDoc again = Parse(gained);
  for (MetaField& f : again.fields) f.removed = f.removable;
  const Bytes plain = Save(again);
  EXPECT_EQ(plain, simple);
}

TEST(SaveWebp, EditsAndRemovals) {
  const Bytes meta = ReadBytes(Fixture("webp_meta.webp"));
  ASSERT_EQ(FourCCs(meta), (std::vector<std::string>{"VP8X", "VP8 ", "EXIF", "XMP "}));
  {
    MetaDoc doc = Parse(meta);
    for (MetaField& f : doc.fields) {
      if (f.key == L"/app1/ifd/{ushort=315}") f.value = L"New Artist";
    }
    const Bytes out = Save(doc);
    EXPECT_EQ(FourCCs(out), FourCCs(meta));
    const MetaDoc after = Parse(out);
    EXPECT_EQ(ValueOf(after, L"/app1/ifd/{ushort=315}"), L"New Artist");
    EXPECT_EQ(ValueOf(after, L"/app1/ifd/{ushort=271}"), L"Norvane");
    EXPECT_EQ(ValueOf(after, L"/xmp/dc:title/x-default"), L"Webp title");
    EXPECT_EQ(Chunks(out)[3].payload, Chunks(meta)[3].payload);  // XMP untouched
    EXPECT_TRUE(SameWebp(meta, out));
  }
  {
    // Everything removable removed: the XMP chunk goes with its flag; the
    // EXIF chunk stays for the one structural tag that cannot be removed
    // (YCbCrPositioning).
    MetaDoc doc = Parse(meta);
    meta_remove_all(&doc);
    for (MetaField& f : doc.fields) f.removed = f.removed || f.removable;
    const Bytes out = Save(doc);
    EXPECT_EQ(FourCCs(out), (std::vector<std::string>{"VP8X", "VP8 ", "EXIF"}));
    EXPECT_EQ(Chunks(out)[0].payload[0], 0x08);
    const MetaDoc after = Parse(out);
    EXPECT_EQ(ValueOf(after, L"/app1/ifd/{ushort=315}"), L"(missing)");
    EXPECT_EQ(ValueOf(after, L"/xmp/dc:title/x-default"), L"(missing)");
    EXPECT_TRUE(SameWebp(meta, out));
  }
}

TEST(SaveWebp, ExtendedAndAnimatedFilesKeepTheirChunks) {
  // An animation (ANIM and two ANMF) given a description: its chunks stay in
  // order and byte for byte, and the check accepts it although the simple
  // decoder cannot decode either file.
  const Bytes anim = ReadBytes(Fixture("dec_anim.webp"));
  MetaDoc doc = Parse(anim);
  ASSERT_GE(meta_add(&doc, Preset(L"Artist")), 0);
  doc.fields.back().value = L"Animator";
  const Bytes out = Save(doc);
  EXPECT_EQ(FourCCs(out), (std::vector<std::string>{"VP8X", "ANIM", "ANMF", "ANMF", "EXIF"}));
  const std::vector<Chunk> before = Chunks(anim), after = Chunks(out);
  for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(after[i].payload, before[i].payload);
  EXPECT_EQ(after[0].payload[0] & ~0x08, before[0].payload[0]);  // animation bit kept
  EXPECT_TRUE(SameWebp(anim, out));
  // A changed image chunk is refused even where the pixels are not looked at.
  Bytes moved = out;
  std::vector<meta::RiffChunk> list;
  ASSERT_TRUE(meta::ParseWebp(out, &list));
  moved[static_cast<std::size_t>(list[2].dataOffset) + 3] ^= 1;
  EXPECT_FALSE(SameWebp(anim, moved));
}

TEST(SaveWebp, OddChunkGetsItsPadByte) {
  // A lossless file whose only chunk has an odd length and whose pad byte is
  // missing at the end of the file.
  Bytes cut = ReadBytes(Fixture("dec_alpha.webp"));
  ASSERT_EQ(Chunks(cut)[0].payload.size() % 2, 1u);
  cut.pop_back();
  const std::uint32_t riff = static_cast<std::uint32_t>(cut.size() - 8);
  for (int k = 0; k < 4; ++k) cut[4 + k] = static_cast<std::uint8_t>(riff >> (8 * k));
  MetaDoc doc = Parse(cut);
  ASSERT_GE(meta_add(&doc, Preset(L"Artist")), 0);
  doc.fields.back().value = L"A";
  const Bytes out = Save(doc);
  EXPECT_EQ(out.size() % 2, 0u);
  EXPECT_EQ(RiffSize(out), out.size() - 8);
  EXPECT_EQ(FourCCs(out), (std::vector<std::string>{"VP8X", "VP8L", "EXIF"}));
}

TEST(SaveWebp, Refusals) {
  MetaDoc doc;
  doc.format = L"WebP";
  doc.bytes = ReadBytes(Fixture("webp_simple.webp"));
  doc.bytes[8] = 'X';  // not WEBP
  Bytes out;
  std::wstring err;
  EXPECT_FALSE(SaveWebp(doc, &out, &err));
  EXPECT_EQ(err, L"This WebP file has an unusual structure and can't be rewritten safely.");
  EXPECT_FALSE(SameWebp(doc.bytes, ReadBytes(Fixture("webp_simple.webp"))));
}

TEST(SaveWebp, SavedThroughMetaSave) {
  const std::wstring path = ScratchDir("meta_save_webp") + L"/picture.webp";
  WriteBytes(path, ReadBytes(Fixture("webp_meta.webp")));
  MetaDoc doc;
  ASSERT_TRUE(meta_load(path, &doc));
  bool removed = false;
  for (MetaField& f : doc.fields) {
    if (f.key == L"/app1/ifd/{ushort=271}") {
      f.removed = true;
      removed = true;
    }
  }
  ASSERT_TRUE(removed);
  wchar_t err[512] = {};
  ASSERT_TRUE(meta_save(doc, err, 512)) << platform::WideToUtf8(err);
  MetaDoc after;
  ASSERT_TRUE(meta_load(path, &after));
  EXPECT_EQ(ValueOf(after, L"/app1/ifd/{ushort=271}"), L"(missing)");
  EXPECT_EQ(ValueOf(after, L"/app1/ifd/{ushort=315}"), L"Webp Artist");
}

}  // namespace
