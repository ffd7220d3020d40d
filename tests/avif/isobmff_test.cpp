// The AVIF box reader on files built here box by box: a well-formed baseline,
// then the same file with one thing made hostile at a time. And the decoder
// calls of imaging/avif on real fixtures, so the Windows build checks pixels.
#include <avif/avif.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "imaging/avif/isobmff.h"

namespace {

using avif_layer::AvifFile;
using avif_layer::ParseAvif;
using avif_layer::ParseStatus;
using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes* b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b->push_back(static_cast<std::uint8_t>(v >> s));
}
void Put16(Bytes* b, std::uint16_t v) {
  b->push_back(static_cast<std::uint8_t>(v >> 8));
  b->push_back(static_cast<std::uint8_t>(v));
}
void PutTag(Bytes* b, const char* t) { b->insert(b->end(), t, t + 4); }
void Append(Bytes* b, const Bytes& more) { b->insert(b->end(), more.begin(), more.end()); }

Bytes Box(const char* type, const Bytes& body) {
  Bytes b;
  Put32(&b, static_cast<std::uint32_t>(body.size() + 8));
  PutTag(&b, type);
  Append(&b, body);
  return b;
}
Bytes FullBox(const char* type, std::uint8_t version, std::uint32_t flags, const Bytes& body) {
  Bytes b;
  Put32(&b, (static_cast<std::uint32_t>(version) << 24) | flags);
  Append(&b, body);
  return Box(type, b);
}

Bytes Ftyp(const char* major) {
  Bytes b;
  PutTag(&b, major);
  Put32(&b, 0);
  PutTag(&b, "mif1");
  PutTag(&b, "miaf");
  return Box("ftyp", b);
}
Bytes Hdlr() {
  Bytes b;
  Put32(&b, 0);
  PutTag(&b, "pict");
  for (int i = 0; i < 13; ++i) b.push_back(0);  // reserved and an empty name
  return FullBox("hdlr", 0, 0, b);
}
Bytes Pitm(std::uint16_t id) {
  Bytes b;
  Put16(&b, id);
  return FullBox("pitm", 0, 0, b);
}
Bytes Infe(std::uint16_t id, const char* type, const std::string& content_type = "") {
  Bytes b;
  Put16(&b, id);
  Put16(&b, 0);
  PutTag(&b, type);
  b.push_back(0);  // name
  if (!content_type.empty()) {
    b.insert(b.end(), content_type.begin(), content_type.end());
    b.push_back(0);
  }
  return FullBox("infe", 2, 0, b);
}
Bytes Iinf(const std::vector<Bytes>& entries) {
  Bytes b;
  Put16(&b, static_cast<std::uint16_t>(entries.size()));
  for (const Bytes& e : entries) Append(&b, e);
  return FullBox("iinf", 0, 0, b);
}
struct Loc {
  std::uint16_t id;
  std::uint32_t offset;  // from the start of mdat's payload
  std::uint32_t length;
};
// iloc version 0 with 4-byte offsets, lengths and base offsets.
Bytes Iloc(std::uint32_t base, const std::vector<Loc>& locs) {
  Bytes b{0x44, 0x40};
  Put16(&b, static_cast<std::uint16_t>(locs.size()));
  for (const Loc& l : locs) {
    Put16(&b, l.id);
    Put16(&b, 0);  // this file
    Put32(&b, base);
    Put16(&b, 1);
    Put32(&b, l.offset);
    Put32(&b, l.length);
  }
  return FullBox("iloc", 0, 0, b);
}
struct Ref {
  const char* type;
  std::uint16_t from;
  std::uint16_t to;
};
Bytes Iref(const std::vector<Ref>& refs) {
  Bytes b;
  for (const Ref& r : refs) {
    Bytes e;
    Put16(&e, r.from);
    Put16(&e, 1);
    Put16(&e, r.to);
    Append(&b, Box(r.type, e));
  }
  return FullBox("iref", 0, 0, b);
}
Bytes Ispe(std::uint32_t w, std::uint32_t h) {
  Bytes b;
  Put32(&b, w);
  Put32(&b, h);
  return FullBox("ispe", 0, 0, b);
}
Bytes Av1C() { return Box("av1C", Bytes{0x81, 0x00, 0x0C, 0x00}); }  // 8-bit 4:2:0
Bytes AuxC(const std::string& urn) {
  Bytes b(urn.begin(), urn.end());
  b.push_back(0);
  return FullBox("auxC", 0, 0, b);
}
struct Assoc {
  std::uint16_t id;
  std::vector<std::uint8_t> props;  // 1-based, 0x80 marks essential
};
Bytes Iprp(const std::vector<Bytes>& props, const std::vector<Assoc>& assoc) {
  Bytes ipco;
  for (const Bytes& p : props) Append(&ipco, p);
  Bytes ipma;
  Put32(&ipma, static_cast<std::uint32_t>(assoc.size()));
  for (const Assoc& a : assoc) {
    Put16(&ipma, a.id);
    ipma.push_back(static_cast<std::uint8_t>(a.props.size()));
    Append(&ipma, a.props);
  }
  Bytes b = Box("ipco", ipco);
  Append(&b, FullBox("ipma", 0, 0, ipma));
  return Box("iprp", b);
}

// ftyp, meta and mdat; `meta` receives the file offset of mdat's payload.
Bytes File(const std::function<std::vector<Bytes>(std::uint32_t)>& meta, const Bytes& mdat,
           const char* brand = "avif") {
  const Bytes ftyp = Ftyp(brand);
  auto build = [&](std::uint32_t base) {
    Bytes body;
    Put32(&body, 0);
    for (const Bytes& b : meta(base)) Append(&body, b);
    return Box("meta", body);
  };
  const std::size_t meta_size = build(0).size();
  Bytes out = ftyp;
  Append(&out, build(static_cast<std::uint32_t>(ftyp.size() + meta_size + 8)));
  Append(&out, Box("mdat", mdat));
  return out;
}

const Bytes kPayload = {0x12, 0x00, 0x0A, 0x0B, 0x00, 0x00, 0x00, 0x24, 0xC4, 0xFF, 0xDF};
const Bytes kExif = {0, 0, 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0};
const std::string kXmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";

// One picture with alpha, Exif and XMP; `edit` may change any piece.
struct Pieces {
  std::uint32_t width = 64, height = 48;
  std::uint32_t color_length = 11;
  std::uint32_t color_offset = 0;
  std::vector<Ref> refs = {{"auxl", 2, 1}, {"cdsc", 3, 1}, {"cdsc", 4, 1}};
  std::vector<Bytes> extra_props;
  std::vector<std::uint8_t> extra_assoc;
};
Bytes Picture(const Pieces& p) {
  Bytes mdat = kPayload;
  Append(&mdat, kPayload);
  Append(&mdat, kExif);
  mdat.insert(mdat.end(), kXmp.begin(), kXmp.end());
  return File(
      [&](std::uint32_t base) {
        std::vector<Bytes> props = {Ispe(p.width, p.height), Av1C(),
                                    AuxC("urn:mpeg:mpegB:cicp:systems:auxiliary:alpha")};
        for (const Bytes& b : p.extra_props) props.push_back(b);
        std::vector<std::uint8_t> color = {1, 0x82};
        color.insert(color.end(), p.extra_assoc.begin(), p.extra_assoc.end());
        return std::vector<Bytes>{
            Hdlr(),
            Pitm(1),
            Iloc(base, {{1, p.color_offset, p.color_length},
                        {2, 11, 11},
                        {3, 22, static_cast<std::uint32_t>(kExif.size())},
                        {4, static_cast<std::uint32_t>(22 + kExif.size()),
                         static_cast<std::uint32_t>(kXmp.size())}}),
            Iinf({Infe(1, "av01"), Infe(2, "av01"), Infe(3, "Exif"),
                  Infe(4, "mime", "application/rdf+xml")}),
            Iref(p.refs),
            Iprp(props, {{1, color}, {2, {1, 0x82, 3}}}),
        };
      },
      mdat);
}

TEST(AvifBoxes, WellFormedPictureGivesEveryPart) {
  const Bytes file = Picture({});
  AvifFile f;
  ASSERT_EQ(ParseAvif(file.data(), file.size(), &f), ParseStatus::kOk);
  EXPECT_EQ(f.color.width, 64u);
  EXPECT_EQ(f.color.height, 48u);
  EXPECT_EQ(f.color.obu, kPayload);
  EXPECT_EQ(f.color.av1c.Depth(), 8u);
  ASSERT_TRUE(f.has_alpha);
  EXPECT_EQ(f.alpha.obu, kPayload);
  // The four-byte header offset is dropped, the rest handed on whole.
  EXPECT_EQ(f.exif, Bytes(kExif.begin() + 4, kExif.end()));
  EXPECT_EQ(std::string(f.xmp.begin(), f.xmp.end()), kXmp);
  EXPECT_FALSE(f.from_tracks);
}

TEST(AvifBoxes, HostileVariantsFailCleanly) {
  struct Case {
    const char* what;
    std::function<void(Pieces*)> edit;
    ParseStatus expect;
  };
  const Case cases[] = {
      {"extent past the end", [](Pieces* p) { p->color_offset = 4000; }, ParseStatus::kTruncated},
      {"extent longer than the file", [](Pieces* p) { p->color_length = 0xFFFFFFF0u; },
       ParseStatus::kTruncated},
      {"side over 65536",
       [](Pieces* p) {
         p->width = 70000;
         p->height = 1;
       },
       ParseStatus::kTooLarge},
      {"pixels over the cap", [](Pieces* p) { p->width = p->height = 20000; },
       ParseStatus::kTooLarge},
      {"zero width", [](Pieces* p) { p->width = 0; }, ParseStatus::kBadStructure},
      {"unknown essential property",
       [](Pieces* p) {
         p->extra_props.push_back(Box("zzzz", {1, 2}));
         p->extra_assoc.push_back(0x84);
       },
       ParseStatus::kUnsupported},
      {"property index past ipco", [](Pieces* p) { p->extra_assoc.push_back(0x09); },
       ParseStatus::kBadStructure},
  };
  for (const Case& c : cases) {
    Pieces p;
    c.edit(&p);
    const Bytes file = Picture(p);
    AvifFile f;
    EXPECT_EQ(ParseAvif(file.data(), file.size(), &f), c.expect) << c.what;
  }
}

TEST(AvifBoxes, ReferenceLoopsEndAndIgnoreSelfReference) {
  Pieces p;
  // The primary names itself and the alpha item as its auxiliary, and the
  // alpha item names the primary back; cdsc loops the same way.
  p.refs = {{"auxl", 1, 1}, {"auxl", 1, 2}, {"auxl", 2, 1}, {"cdsc", 1, 1},
            {"cdsc", 3, 4}, {"cdsc", 4, 3}, {"cdsc", 3, 1}, {"dimg", 1, 1}};
  const Bytes file = Picture(p);
  AvifFile f;
  ASSERT_EQ(ParseAvif(file.data(), file.size(), &f), ParseStatus::kOk);
  EXPECT_TRUE(f.has_alpha);
  EXPECT_EQ(f.exif.size(), kExif.size() - 4);
  EXPECT_TRUE(f.xmp.empty());
}

TEST(AvifBoxes, LyingSizesAndTruncationNeverPass) {
  const Bytes good = Picture({});
  // Every prefix short of the whole file fails (the mdat payload is last).
  for (std::size_t n = 0; n < good.size(); ++n) {
    AvifFile f;
    EXPECT_NE(ParseAvif(good.data(), n, &f), ParseStatus::kOk) << n;
  }
  // The meta box claims more bytes than the file has, or fewer than its header.
  const std::size_t meta_at = 24;
  for (std::uint32_t lie : {0xFFFFFFFFu, 4u, 1u}) {
    Bytes bad = good;
    bad[meta_at] = static_cast<std::uint8_t>(lie >> 24);
    bad[meta_at + 1] = static_cast<std::uint8_t>(lie >> 16);
    bad[meta_at + 2] = static_cast<std::uint8_t>(lie >> 8);
    bad[meta_at + 3] = static_cast<std::uint8_t>(lie);
    AvifFile f;
    EXPECT_NE(ParseAvif(bad.data(), bad.size(), &f), ParseStatus::kOk) << lie;
  }
}

TEST(AvifBoxes, TablesMustBeWellFormed) {
  struct Case {
    const char* what;
    Bytes box;
  };
  Bytes iloc_v3 = Iloc(0, {{1, 0, 11}});
  iloc_v3[8] = 3;  // version
  Bytes iloc_size2 = Iloc(0, {{1, 0, 11}});
  iloc_size2[12] = 0x24;  // 2-byte offsets
  Bytes huge_count = Iloc(0, {});
  huge_count[14] = huge_count[15] = 0xFF;  // 65535 items in an empty table
  const Case cases[] = {{"iloc version 3", iloc_v3},
                        {"iloc 2-byte offsets", iloc_size2},
                        {"iloc count beyond its bytes", huge_count}};
  for (const Case& c : cases) {
    const Bytes file = File(
        [&](std::uint32_t) {
          return std::vector<Bytes>{Hdlr(), Pitm(1), c.box, Iinf({Infe(1, "av01")}),
                                    Iprp({Ispe(8, 8), Av1C()}, {{1, {1, 0x82}}})};
        },
        kPayload);
    AvifFile f;
    EXPECT_EQ(ParseAvif(file.data(), file.size(), &f), ParseStatus::kBadStructure) << c.what;
  }
}

TEST(AvifBoxes, BrandsAndPrimaryItem) {
  const auto meta = [](std::uint32_t base) {
    return std::vector<Bytes>{Hdlr(), Pitm(1), Iloc(base, {{1, 0, 11}}), Iinf({Infe(1, "grid")}),
                              Iprp({Ispe(8, 8)}, {{1, {1}}})};
  };
  AvifFile f;
  const Bytes grid = File(meta, kPayload);
  EXPECT_EQ(ParseAvif(grid.data(), grid.size(), &f), ParseStatus::kUnsupported);
  const Bytes heic = File(meta, kPayload, "heic");
  // Compatible brands mif1/miaf alone are not AVIF.
  EXPECT_EQ(ParseAvif(heic.data(), heic.size(), &f), ParseStatus::kInvalidFtyp);
  EXPECT_EQ(ParseAvif(nullptr, 0, &f), ParseStatus::kInvalidFtyp);
}

TEST(AvifBoxes, ItemInIdat) {
  const Bytes file = File(
      [](std::uint32_t) {
        Bytes iloc{0x44, 0x00};  // version 1: 4-byte offset and length, no base
        Put16(&iloc, 1);
        Put16(&iloc, 1);
        Put16(&iloc, 1);  // construction method 1
        Put16(&iloc, 0);
        Put16(&iloc, 1);
        Put32(&iloc, 2);
        Put32(&iloc, 3);
        return std::vector<Bytes>{Hdlr(),
                                  Pitm(1),
                                  FullBox("iloc", 1, 0, iloc),
                                  Iinf({Infe(1, "av01")}),
                                  Iprp({Ispe(8, 8), Av1C()}, {{1, {1, 0x82}}}),
                                  Box("idat", {9, 9, 1, 2, 3, 9})};
      },
      {});
  AvifFile f;
  ASSERT_EQ(ParseAvif(file.data(), file.size(), &f), ParseStatus::kOk);
  EXPECT_EQ(f.color.obu, (Bytes{1, 2, 3}));
}

// A primary picture with `others` auxiliary av01 items of another kind (a
// depth map), each named by `repeats` auxl references, and then, unless
// `alpha_at` is 0, an alpha item whose bytes are at `alpha_at` in mdat. The
// other items' bytes lie outside the file: nothing may need them.
Bytes ManyAuxiliaries(std::uint16_t others, int repeats, std::uint32_t alpha_at) {
  Bytes mdat = kPayload;
  Append(&mdat, kPayload);
  return File(
      [&](std::uint32_t base) {
        std::vector<Loc> locs = {{1, 0, 11}};
        std::vector<Bytes> infe = {Infe(1, "av01")};
        std::vector<Ref> refs;
        std::vector<Assoc> assoc = {{1, {1, 0x82}}};
        for (std::uint16_t k = 0; k < others; ++k) {
          const std::uint16_t id = static_cast<std::uint16_t>(100 + k);
          locs.push_back({id, 1000000, 11});
          infe.push_back(Infe(id, "av01"));
          assoc.push_back({id, {1, 0x82, 4}});
        }
        for (int r = 0; r < repeats; ++r) {
          for (std::uint16_t k = 0; k < others; ++k) {
            refs.push_back({"auxl", static_cast<std::uint16_t>(100 + k), 1});
          }
        }
        if (alpha_at) {
          locs.push_back({2, alpha_at, 11});
          infe.push_back(Infe(2, "av01"));
          assoc.push_back({2, {1, 0x82, 3}});
          refs.push_back({"auxl", 2, 1});
        }
        return std::vector<Bytes>{
            Hdlr(),
            Pitm(1),
            Iloc(base, locs),
            Iinf(infe),
            Iref(refs),
            Iprp({Ispe(64, 48), Av1C(), AuxC("urn:mpeg:mpegB:cicp:systems:auxiliary:alpha"),
                  AuxC("urn:mpeg:hevc:2015:auxid:2")},
                 assoc),
        };
      },
      mdat);
}

TEST(AvifBoxes, AlphaIsChosenByItsTypeBeforeAnyBytesAreRead) {
  struct Case {
    const char* what;
    std::uint16_t others;
    int repeats;
    std::uint32_t alpha_at;
    ParseStatus expect;
    bool alpha;
    std::uint32_t checked;
  };
  const Case cases[] = {
      {"depth maps, then alpha", 300, 3, 11, ParseStatus::kOk, true, 301},
      {"depth maps only", 300, 3, 0, ParseStatus::kOk, false, 300},
      {"one reference", 1, 1, 11, ParseStatus::kOk, true, 2},
      // the chosen item's bytes are read, and must be there
      {"alpha outside the file", 5, 2, 5000, ParseStatus::kTruncated, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes file = ManyAuxiliaries(c.others, c.repeats, c.alpha_at);
    AvifFile f;
    ASSERT_EQ(ParseAvif(file.data(), file.size(), &f), c.expect);
    if (c.expect != ParseStatus::kOk) continue;
    // Each item is looked at once, however many references name it.
    EXPECT_EQ(f.aux_items_checked, c.checked);
    EXPECT_EQ(f.has_alpha, c.alpha);
    // Only the colour and the alpha bytes are copied.
    EXPECT_EQ(f.item_bytes_read, c.alpha ? 22u : 11u);
    if (c.alpha) {
      EXPECT_EQ(f.alpha.obu, kPayload);
    }
  }
}

// ---- the decoder calls ------------------------------------------------------

Bytes Fixture(const std::string& name) {
  std::ifstream in(std::string(NORVANE_FIXTURES) + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Decoded {
  avifResult parse = AVIF_RESULT_UNKNOWN_ERROR;
  avifResult next = AVIF_RESULT_UNKNOWN_ERROR;
  std::uint32_t width = 0, height = 0, depth = 0;
  Bytes bgra;
};

Decoded Decode(const Bytes& bytes) {
  Decoded d;
  avifDecoder* dec = avifDecoderCreate();
  dec->maxThreads = 0;
  d.parse = avifDecoderSetIOMemory(dec, bytes.data(), bytes.size());
  if (d.parse == AVIF_RESULT_OK) d.parse = avifDecoderParse(dec);
  if (d.parse == AVIF_RESULT_OK) d.next = avifDecoderNextImage(dec);
  if (d.next == AVIF_RESULT_OK) {
    d.width = dec->image->width;
    d.height = dec->image->height;
    d.depth = dec->image->depth;
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, dec->image);
    rgb.depth = 8;
    rgb.format = AVIF_RGB_FORMAT_BGRA;
    d.bgra.resize(static_cast<std::size_t>(d.width) * d.height * 4);
    rgb.pixels = d.bgra.data();
    rgb.rowBytes = d.width * 4;
    if (avifImageYUVToRGB(dec->image, &rgb) != AVIF_RESULT_OK) d.bgra.clear();
  }
  avifDecoderDestroy(dec);
  return d;
}

TEST(AvifDecoderCalls, AlphaRampAndSequence) {
  // 64 x 48 with alpha falling from opaque on the left to clear on the right
  // and a clear disc in the middle; the sequence's first frame is the same.
  for (const char* name :
       {"avif_8_alpha_420.avif", "avif_10_alpha_444_limited.avif", "avif_sequence.avif"}) {
    const Decoded d = Decode(Fixture(name));
    ASSERT_EQ(d.parse, AVIF_RESULT_OK) << name;
    ASSERT_EQ(d.next, AVIF_RESULT_OK) << name;
    ASSERT_EQ(d.width, 64u) << name;
    ASSERT_EQ(d.bgra.size(), 64u * 48 * 4) << name;
    const auto alpha = [&](int x, int y) { return d.bgra[(y * 64 + x) * 4 + 3]; };
    EXPECT_GT(alpha(0, 5), 245) << name;
    EXPECT_LT(alpha(63, 5), 10) << name;
    EXPECT_LT(alpha(32, 24), 10) << name;
  }
}

TEST(AvifDecoderCalls, GreyAndLimitedRangeGreyAgree) {
  // The same picture as monochrome, full and limited range, 8 and 12 bits.
  const Decoded full = Decode(Fixture("avif_8_400_full.avif"));
  for (const char* name : {"avif_8_400_limited.avif", "avif_12_400_limited.avif"}) {
    const Decoded d = Decode(Fixture(name));
    ASSERT_EQ(d.bgra.size(), full.bgra.size()) << name;
    // Lossy coding makes single pixels differ; a range taken wrongly would
    // move every dark and light pixel by up to 16 levels or more.
    double total = 0;
    for (std::size_t i = 0; i < d.bgra.size(); ++i) {
      total += std::abs(int{d.bgra[i]} - int{full.bgra[i]});
    }
    const double mean = total / static_cast<double>(d.bgra.size());
    EXPECT_LE(mean, 2.5) << name;
    EXPECT_EQ(d.bgra[0], d.bgra[1]) << name;
    EXPECT_EQ(d.bgra[1], d.bgra[2]) << name;
  }
}

TEST(AvifDecoderCalls, BrokenInputIsAResultNotACrash) {
  Bytes junk_obu = Picture({});  // a sound structure around bytes that are not AV1
  const Decoded d = Decode(junk_obu);
  EXPECT_EQ(d.parse, AVIF_RESULT_OK);
  EXPECT_EQ(d.next, AVIF_RESULT_DECODE_COLOR_FAILED);
  EXPECT_NE(Decode(Bytes{1, 2, 3}).parse, AVIF_RESULT_OK);
  Bytes real = Fixture("avif_8_420_full_601.avif");
  ASSERT_FALSE(real.empty());
  real.resize(real.size() - 100);  // the AV1 payload cut short
  const Decoded cut = Decode(real);
  EXPECT_NE(cut.parse == AVIF_RESULT_OK ? cut.next : cut.parse, AVIF_RESULT_OK);
}

}  // namespace
