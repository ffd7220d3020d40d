// The TIFF metadata rewrite: every page encoded again in its own pixel form
// with the compression chosen from the stored one, every tag copied, edits
// only in the first page, pages that cannot be written back unchanged left
// alone, and the check that compares every page's samples.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta_internal.h"
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

const wchar_t kArtist[] = L"/ifd/{ushort=315}";

MetaDoc Parse(const Bytes& tiff) { return meta_test::ParseAs(tiff, L"TIFF", true); }

const MetaPreset& Preset(const wchar_t* label) { return meta_test::PresetIn(kTiffPresets, label); }

MetaField* FieldOf(MetaDoc* doc, const std::wstring& key) {
  for (MetaField& f : doc->fields) {
    if (f.key == key) return &f;
  }
  return nullptr;
}

// The document with Artist set (added when the file has none).
MetaDoc WithArtist(const Bytes& tiff, const std::wstring& artist) {
  MetaDoc doc = Parse(tiff);
  MetaField* f = FieldOf(&doc, kArtist);
  if (!f) {
    const std::int32_t at = meta_add(&doc, Preset(L"Artist"));
    EXPECT_GE(at, 0);
    if (at < 0) return doc;
    f = &doc.fields[static_cast<std::size_t>(at)];
  }
  f->value = artist;
  return doc;
}

struct Page {
  std::uint32_t compression = 0, predictor = 1, photometric = 0;
};

std::vector<Page> Pages(const Bytes& tiff) {
  std::vector<Page> out;
  std::unique_ptr<img::Decoder> decoder;
  if (img::Failed(img::CreateDecoderFromMemory(Borrow(tiff), &decoder)) || !decoder) return out;
  for (std::uint32_t i = 0; i < decoder->GetFrameCount(); ++i) {
    std::unique_ptr<img::Frame> frame;
    if (img::Failed(decoder->GetFrame(i, &frame)) || !frame) break;
    Page p;
    const auto meta = frame->Metadata();
    img::ReadUInt(meta.get(), "/ifd/{ushort=259}", &p.compression);
    img::ReadUInt(meta.get(), "/ifd/{ushort=317}", &p.predictor);
    img::ReadUInt(meta.get(), "/ifd/{ushort=262}", &p.photometric);
    out.push_back(p);
  }
  return out;
}

std::wstring FrameValue(const Bytes& tiff, std::uint32_t index, const char* path) {
  std::unique_ptr<img::Decoder> decoder;
  std::unique_ptr<img::Frame> frame;
  if (img::Failed(img::CreateDecoderFromMemory(Borrow(tiff), &decoder)) ||
      img::Failed(decoder->GetFrame(index, &frame))) {
    return L"(no frame)";
  }
  img::PropValue v;
  if (img::Failed(frame->Metadata()->GetMetadataByName(path, &v))) return L"(missing)";
  bool editable = false;
  return ValueText(v, &editable);
}

struct Case {
  const char* file;
  std::uint32_t compression;  // what the first page is written with
  std::uint32_t predictor;
};

class SaveTiffFixture : public testing::TestWithParam<Case> {};

// Every fixture keeps its pages and samples, gains the edit, and is written
// with the compression the stored one chooses.
TEST_P(SaveTiffFixture, RewritesEveryPageUnchanged) {
  const Case& c = GetParam();
  const Bytes in = ReadBytes(Fixture(c.file));
  ASSERT_FALSE(in.empty());
  const MetaDoc doc = WithArtist(in, L"Ann \u00C5ngstr\u00F6m");
  Bytes out;
  std::wstring err;
  ASSERT_TRUE(SaveTiff(doc, &out, &err)) << platform::WideToUtf8(err);
  EXPECT_TRUE(SameTiff(in, out));
  // Where the viewer can show the picture, it shows the same one.
  Bytes pixels;
  std::uint32_t w = 0, h = 0;
  if (RawPixels(in, &pixels, &w, &h)) {
    EXPECT_TRUE(SamePicture(in, out));
  }
  const std::vector<Page> before = Pages(in), after = Pages(out);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after[0].compression, c.compression);
  EXPECT_EQ(after[0].predictor, c.predictor);
  const MetaDoc again = Parse(out);
  EXPECT_EQ(ValueOf(again, kArtist), L"Ann \u00C5ngstr\u00F6m");
  // Every other field reads as before.
  for (const MetaField& f : Parse(in).fields) {
    if (f.key.empty() || f.key == kArtist) continue;
    if (f.key.find(L"{ushort=273}") != std::wstring::npos ||
        f.key.find(L"{ushort=279}") != std::wstring::npos ||
        f.key.find(L"{ushort=324}") != std::wstring::npos ||
        f.key.find(L"{ushort=325}") != std::wstring::npos ||
        f.key.find(L"{ushort=259}") != std::wstring::npos ||
        f.key.find(L"{ushort=317}") != std::wstring::npos ||
        f.key.find(L"{ushort=262}") != std::wstring::npos ||
        f.key.find(L"{ushort=530}") != std::wstring::npos ||
        f.key.find(L"{ushort=532}") != std::wstring::npos ||
        f.key.find(L"{ushort=347}") != std::wstring::npos ||
        f.key.find(L"{ushort=339}") != std::wstring::npos) {
      continue;
    }
    EXPECT_EQ(ValueOf(again, f.key), f.value) << platform::WideToUtf8(f.key);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, SaveTiffFixture,
    testing::Values(Case{"meta_full.tif", 1, 1}, Case{"tiff_be.tif", 5, 2},
                    Case{"tiff_bigtiff.tif", 5, 2}, Case{"tiff_cmyk.tif", 5, 2},
                    Case{"tiff_cmyk16_tiles.tif", 8, 2}, Case{"tiff_cmyk_planar.tif", 5, 2},
                    Case{"tiff_g3.tif", 3, 1}, Case{"tiff_g4.tif", 4, 1},
                    Case{"tiff_gray16.tif", 1, 1}, Case{"tiff_gray8.tif", 5, 2},
                    Case{"tiff_graya.tif", 1, 1}, Case{"tiff_icc.tif", 1, 1},
                    Case{"tiff_jpeg_rgb.tif", 5, 1}, Case{"tiff_jpeg_ycbcr.tif", 5, 1},
                    Case{"tiff_float.tif", 5, 3}, Case{"tiff_multipage.tif", 5, 2},
                    Case{"tiff_orient6.tif", 1, 1}, Case{"tiff_packbits.tif", 32773, 1},
                    Case{"tiff_palette2.tif", 1, 1}, Case{"tiff_palette8.tif", 5, 1},
                    Case{"tiff_planar.tif", 1, 1}, Case{"tiff_rgb16.tif", 8, 2},
                    Case{"tiff_rgb16_be.tif", 1, 1}, Case{"tiff_rgba_assoc.tif", 1, 1},
                    Case{"tiff_rgba_unassoc.tif", 1, 1}, Case{"tiff_strips_lzw.tif", 5, 2},
                    Case{"tiff_tiles_zip.tif", 8, 2}, Case{"tiff_lzw_plain.tif", 5, 1}),
    [](const testing::TestParamInfo<Case>& info) {
      std::string name = info.param.file;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST(SaveTiff, JpegPagesBecomeLzwRgbWithTheSameDecodedPixels) {
  const Bytes in = ReadBytes(Fixture("tiff_jpeg_ycbcr.tif"));
  Bytes out;
  std::wstring err;
  ASSERT_TRUE(SaveTiff(Parse(in), &out, &err)) << platform::WideToUtf8(err);
  const std::vector<Page> after = Pages(out);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].compression, 5u);
  EXPECT_EQ(after[0].photometric, 2u);  // RGB, the samples the JPEG decodes to
  EXPECT_TRUE(SameTiff(in, out));
  EXPECT_TRUE(SamePicture(in, out));
  EXPECT_EQ(ValueOf(Parse(out), L"/ifd/{ushort=530}"), L"(missing)");
}

TEST(SaveTiff, EditsOnlyTheFirstPage) {
  const Bytes in = ReadBytes(Fixture("tiff_multipage.tif"));
  const std::wstring before1 = FrameValue(in, 1, "/ifd/{ushort=315}");
  const Bytes out = [&] {
    Bytes o;
    std::wstring err;
    EXPECT_TRUE(SaveTiff(WithArtist(in, L"First page"), &o, &err)) << platform::WideToUtf8(err);
    return o;
  }();
  EXPECT_EQ(FrameValue(out, 0, "/ifd/{ushort=315}"), L"First page");
  EXPECT_EQ(FrameValue(out, 1, "/ifd/{ushort=315}"), before1);
  EXPECT_EQ(FrameValue(out, 1, "/ifd/{ushort=256}"), FrameValue(in, 1, "/ifd/{ushort=256}"));
  EXPECT_TRUE(SameTiff(in, out));
}

// Edits, removals and additions in every directory and block of a TIFF that
// carries them all.
TEST(SaveTiff, EditsRemovalsAndAdditions) {
  const Bytes in = ReadBytes(Fixture("meta_full.tif"));
  MetaDoc doc = Parse(in);
  ASSERT_NE(FieldOf(&doc, L"/ifd/{ushort=271}"), nullptr);
  FieldOf(&doc, L"/ifd/{ushort=271}")->value = L"Another make";
  meta_remove_gps(&doc);
  MetaField* title = FieldOf(&doc, L"/ifd/xmp/dc:title/x-default");
  ASSERT_NE(title, nullptr);
  title->value = L"Edited title";
  bool iptc = false;
  for (MetaField& f : doc.fields) {
    if (f.key.rfind(L"/ifd/iptc/", 0) == 0 && f.removable) {
      f.removed = true;
      iptc = true;
    }
  }
  EXPECT_TRUE(iptc);
  ASSERT_GE(meta_add(&doc, Preset(L"Copyright")), 0);
  for (MetaField& f : doc.fields) {
    if (f.added) f.value = L"(c) Ann";
  }
  Bytes out;
  std::wstring err;
  ASSERT_TRUE(SaveTiff(doc, &out, &err)) << platform::WideToUtf8(err);
  std::wstring why;
  ASSERT_TRUE(CheckRemoved(doc, &out, &why)) << platform::WideToUtf8(why);
  const MetaDoc after = Parse(out);
  EXPECT_EQ(ValueOf(after, L"/ifd/{ushort=271}"), L"Another make");
  EXPECT_EQ(ValueOf(after, L"/ifd/{ushort=272}"), L"Test Rig");
  EXPECT_EQ(ValueOf(after, L"/ifd/xmp/dc:title/x-default"), L"Edited title");
  EXPECT_EQ(ValueOf(after, L"/ifd/{ushort=33432}"), L"(c) Ann");
  EXPECT_EQ(ValueOf(after, L"/ifd/exif/{ushort=36867}"), ValueOf(doc, L"/ifd/exif/{ushort=36867}"));
  for (const MetaField& f : after.fields) {
    EXPECT_NE(f.key.rfind(L"/ifd/gps", 0), 0u) << platform::WideToUtf8(f.key);
    EXPECT_NE(f.key.rfind(L"/ifd/iptc", 0), 0u) << platform::WideToUtf8(f.key);
  }
  EXPECT_TRUE(SameTiff(in, out));
}

TEST(SaveTiff, WithoutEditsEveryFieldStays) {
  const Bytes in = ReadBytes(Fixture("meta_full.tif"));
  const MetaDoc doc = Parse(in);
  Bytes out;
  std::wstring err;
  ASSERT_TRUE(SaveTiff(doc, &out, &err)) << platform::WideToUtf8(err);
  const MetaDoc after = Parse(out);
  std::size_t compared = 0;
  for (const MetaField& f : doc.fields) {
    if (f.key.empty() || f.key.find(L"{ushort=273}") != std::wstring::npos ||
        f.key.find(L"{ushort=279}") != std::wstring::npos) {
      continue;
    }
    EXPECT_EQ(ValueOf(after, f.key), f.value) << platform::WideToUtf8(f.key);
    ++compared;
  }
  EXPECT_GT(compared, 40u);
}

// Patches the first page's entry for `tag` (a SHORT) to `value`.
Bytes WithShort(Bytes tiff, std::uint16_t tag, std::uint16_t value) {
  const bool le = tiff[0] == 'I';
  auto u16 = [&](std::size_t at) {
    return le ? static_cast<std::uint16_t>(tiff[at] | tiff[at + 1] << 8)
              : static_cast<std::uint16_t>(tiff[at] << 8 | tiff[at + 1]);
  };
  auto u32 = [&](std::size_t at) {
    return le ? static_cast<std::uint32_t>(tiff[at] | tiff[at + 1] << 8 | tiff[at + 2] << 16 |
                                           static_cast<std::uint32_t>(tiff[at + 3]) << 24)
              : static_cast<std::uint32_t>(static_cast<std::uint32_t>(tiff[at]) << 24 |
                                           tiff[at + 1] << 16 | tiff[at + 2] << 8 | tiff[at + 3]);
  };
  const std::size_t ifd = u32(4);
  for (std::size_t k = 0; k < u16(ifd); ++k) {
    const std::size_t e = ifd + 2 + 12 * k;
    if (u16(e) != tag) continue;
    tiff[e + 8] = static_cast<std::uint8_t>(le ? value : value >> 8);
    tiff[e + 9] = static_cast<std::uint8_t>(le ? value >> 8 : value);
  }
  return tiff;
}

TEST(SaveTiff, Refusals) {
  const Bytes packbits = ReadBytes(Fixture("tiff_packbits.tif"));
  const std::wstring leftAlone =
      L"This TIFF stores its pixels in a form Windows can't write back unchanged, so it was left "
      L"alone.";
  struct Refusal {
    const char* name;
    Bytes bytes;
    std::wstring message;
  };
  Bytes truncated(packbits.begin(), packbits.begin() + 8);
  Bytes damaged = packbits;
  damaged.resize(packbits.size() / 2);  // the directory is at the end
  const Refusal cases[] = {
      {"old-style JPEG", WithShort(packbits, 259, 6), leftAlone},
      {"a compression libtiff lacks", WithShort(packbits, 259, 34712), leftAlone},
      {"header only", truncated, L"Windows could not open this TIFF file for rewriting."},
  };
  for (const Refusal& r : cases) {
    MetaDoc doc;
    doc.bytes = r.bytes;
    doc.format = L"TIFF";
    doc.editable = true;
    Bytes out = {1, 2, 3};
    std::wstring err;
    EXPECT_FALSE(SaveTiff(doc, &out, &err)) << r.name;
    EXPECT_EQ(err, r.message) << r.name;
    EXPECT_TRUE(out.empty()) << r.name;
  }
  // The pixels' own description is not metadata.
  MetaDoc doc = Parse(packbits);
  MetaField* width = FieldOf(&doc, L"/ifd/{ushort=256}");
  ASSERT_NE(width, nullptr);
  width->value = L"7";
  Bytes out;
  std::wstring err;
  EXPECT_FALSE(SaveTiff(doc, &out, &err));
  EXPECT_NE(err.find(L"refused"), std::wstring::npos) << platform::WideToUtf8(err);
}

TEST(SameTiff, FindsEveryDifference) {
  const Bytes lzw = ReadBytes(Fixture("tiff_strips_lzw.tif"));
  const Bytes multi = ReadBytes(Fixture("tiff_multipage.tif"));
  Bytes out;
  std::wstring err;
  ASSERT_TRUE(SaveTiff(Parse(lzw), &out, &err));
  EXPECT_TRUE(SameTiff(lzw, out));
  EXPECT_FALSE(SameTiff(lzw, multi));  // page count
  EXPECT_FALSE(SameTiff(lzw, ReadBytes(Fixture("tiff_planar.tif"))));
  // One sample changed in an uncompressed copy.
  const Bytes plain = ReadBytes(Fixture("tiff_icc.tif"));
  ASSERT_TRUE(SaveTiff(Parse(plain), &out, &err));
  ASSERT_TRUE(SameTiff(plain, out));
  Bytes changed = out;
  bool flipped = false;
  for (std::size_t i = 16; i + 1 < changed.size() && !flipped; ++i) {
    Bytes trial = changed;
    trial[i] ^= 0x01;
    if (!SameTiff(out, trial) && Pages(trial).size() == 1) flipped = true;
  }
  EXPECT_TRUE(flipped);
  EXPECT_FALSE(SameTiff(plain, Bytes()));
}

TEST(SaveTiff, SavedThroughMetaSave) {
  const std::wstring dir = ScratchDir("save_tiff");
  const std::wstring path = dir + L"/page.tif";
  const Bytes in = ReadBytes(Fixture("tiff_multipage.tif"));
  WriteBytes(path, in);
  MetaDoc doc;
  ASSERT_TRUE(meta_load(path, &doc));
  ASSERT_TRUE(doc.editable);
  MetaField* f = FieldOf(&doc, kArtist);
  if (!f) {
    const std::int32_t at = meta_add(&doc, Preset(L"Artist"));
    ASSERT_GE(at, 0);
    f = &doc.fields[static_cast<std::size_t>(at)];
  }
  f->value = L"Saved";
  wchar_t buffer[512] = {};
  ASSERT_TRUE(meta_save(doc, buffer, 512)) << platform::WideToUtf8(buffer);
  const Bytes now = ReadBytes(path);
  EXPECT_TRUE(SameTiff(in, now));
  MetaDoc again;
  ASSERT_TRUE(meta_load(path, &again));
  EXPECT_EQ(ValueOf(again, kArtist), L"Saved");
}

}  // namespace
