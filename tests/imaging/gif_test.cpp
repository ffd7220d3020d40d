// GIF decoding: ImageMagick-made fixtures compared frame by frame with
// ImageMagick's decoding of them; the container and frame metadata the
// animation reads (logical screen, positions, delays, disposals, comments,
// the NETSCAPE2.0 block); transparency and interlacing; hand-built files
// for exact values (indices beyond the colour table, no table, lying
// sizes); and hostile bytes: a garbled third frame, truncation at every
// length (frames before the cut decode whole, the cut frame keeps the rows
// that arrived), mutations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "tests/support/test_support.h"

namespace {

using img::PixelFormat;
using testing_support::DecodeBytes;
using testing_support::DecodeFixture;
using testing_support::Fixture;
using testing_support::FixtureBytes;
using testing_support::Put16;
using testing_support::Put32;
using testing_support::ReadBytes;
using testing_support::ShareBytes;

using ByteVec = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Hand-built GIF files.

// Packs `data` into sub-blocks of at most 255 bytes and the terminator.
void PutBlocks(ByteVec* v, const ByteVec& data) {
  for (std::size_t at = 0; at < data.size(); at += 255) {
    const std::size_t n = std::min<std::size_t>(255, data.size() - at);
    v->push_back(static_cast<std::uint8_t>(n));
    v->insert(v->end(), data.begin() + static_cast<std::ptrdiff_t>(at),
              data.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
  v->push_back(0);
}

// LZW data for 8-bit indices: literal codes only, 9 bits wide, with a clear
// code before the code table could grow past 9 bits.
ByteVec Lzw(const ByteVec& pixels) {
  ByteVec out;
  std::uint32_t acc = 0;
  int bits = 0;
  auto put = [&](std::uint32_t code) {
    acc |= code << bits;
    bits += 9;
    while (bits >= 8) {
      out.push_back(static_cast<std::uint8_t>(acc));
      acc >>= 8;
      bits -= 8;
    }
  };
  put(256);
  int run = 0;
  for (std::uint8_t p : pixels) {
    put(p);
    if (++run == 250) {
      put(256);
      run = 0;
    }
  }
  put(257);
  if (bits > 0) out.push_back(static_cast<std::uint8_t>(acc));
  return out;
}

// A colour table of 2^(size+1) entries from 0xRRGGBB values (padded black).
ByteVec Table(const std::vector<std::uint32_t>& colours, int size) {
  ByteVec t;
  for (int i = 0; i < (2 << size); ++i) {
    const std::uint32_t c = i < static_cast<int>(colours.size()) ? colours[i] : 0;
    t.push_back(static_cast<std::uint8_t>(c >> 16));
    t.push_back(static_cast<std::uint8_t>(c >> 8));
    t.push_back(static_cast<std::uint8_t>(c));
  }
  return t;
}

struct GifBuilder {
  ByteVec b;

  GifBuilder(std::uint16_t w, std::uint16_t h, const std::vector<std::uint32_t>& gct, int size = 1,
             const char* sig = "GIF89a") {
    b.assign(sig, sig + 6);
    Put16(&b, w);
    Put16(&b, h);
    b.push_back(static_cast<std::uint8_t>(gct.empty() ? 0x70 : 0xF0 | size));
    b.push_back(0);  // background
    b.push_back(0);  // aspect
    if (!gct.empty()) {
      ByteVec t = Table(gct, size);
      b.insert(b.end(), t.begin(), t.end());
    }
  }
  GifBuilder& Gce(int disposal, std::uint16_t delay, int transparent = -1, bool input = false) {
    b.insert(b.end(), {0x21, 0xF9, 4});
    b.push_back(
        static_cast<std::uint8_t>((disposal << 2) | (input ? 2 : 0) | (transparent >= 0 ? 1 : 0)));
    Put16(&b, delay);
    b.push_back(static_cast<std::uint8_t>(transparent >= 0 ? transparent : 0));
    b.push_back(0);
    return *this;
  }
  GifBuilder& Comment(const std::string& text) {
    b.insert(b.end(), {0x21, 0xFE});
    PutBlocks(&b, ByteVec(text.begin(), text.end()));
    return *this;
  }
  GifBuilder& App(const std::string& id, const ByteVec& data) {
    b.insert(b.end(), {0x21, 0xFF, static_cast<std::uint8_t>(id.size())});
    b.insert(b.end(), id.begin(), id.end());
    PutBlocks(&b, data);
    return *this;
  }
  // An image of w x h indices (row by row, top first); stored interlaced
  // when asked.
  GifBuilder& Image(std::uint16_t left, std::uint16_t top, std::uint16_t w, std::uint16_t h,
                    const ByteVec& pixels, bool interlaced = false,
                    const std::vector<std::uint32_t>& lct = {}, int lctSize = 1) {
    b.push_back(0x2C);
    Put16(&b, left);
    Put16(&b, top);
    Put16(&b, w);
    Put16(&b, h);
    b.push_back(
        static_cast<std::uint8_t>((lct.empty() ? 0 : 0x80 | lctSize) | (interlaced ? 0x40 : 0)));
    if (!lct.empty()) {
      ByteVec t = Table(lct, lctSize);
      b.insert(b.end(), t.begin(), t.end());
    }
    ByteVec stored;
    if (interlaced) {
      static constexpr int kStart[4] = {0, 4, 2, 1};
      static constexpr int kStep[4] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass) {
        for (int y = kStart[pass]; y < h; y += kStep[pass]) {
          stored.insert(stored.end(), pixels.begin() + y * w, pixels.begin() + (y + 1) * w);
        }
      }
    } else {
      stored = pixels;
    }
    b.push_back(8);  // LZW minimum code size
    PutBlocks(&b, Lzw(stored));
    return *this;
  }
  ByteVec Done() {
    b.push_back(0x3B);
    return b;
  }
};

// Offsets of each image separator and of the byte after its data's
// terminator, from a walk of a well-formed file's records.
struct Span {
  std::size_t start, end, dataStart;
};
std::vector<Span> FrameSpans(const ByteVec& g) {
  std::vector<Span> out;
  std::size_t p = 13;
  if (g[10] & 0x80) p += 3u << ((g[10] & 7) + 1);
  auto blocks = [&](std::size_t at) {
    while (g.at(at) != 0) at += g[at] + 1;
    return at + 1;
  };
  while (p < g.size() && g[p] != 0x3B) {
    if (g[p] == 0x21) {
      p = blocks(p + 2);
    } else {
      Span s{p, 0, 0};
      const std::uint8_t flags = g.at(p + 9);
      std::size_t q = p + 10;
      if (flags & 0x80) q += 3u << ((flags & 7) + 1);
      s.dataStart = q + 1;
      s.end = blocks(q + 1);
      out.push_back(s);
      p = s.end;
    }
  }
  return out;
}

img::HResult Open(const ByteVec& bytes, std::unique_ptr<img::Decoder>* dec) {
  return img::CreateGifDecoder(ShareBytes(bytes), dec);
}

// Frame i as straight BGRA (empty on failure).
ByteVec FramePixels(img::Decoder& dec, std::uint32_t i, img::HResult* hr = nullptr) {
  std::unique_ptr<img::Frame> f;
  img::HResult r = dec.GetFrame(i, &f);
  ByteVec buf;
  if (img::Succeeded(r)) {
    buf.assign(static_cast<std::size_t>(f->Width()) * f->Height() * 4, 0);
    r = f->CopyPixels(PixelFormat::Bgra32, buf.data(), f->Width() * 4, buf.size());
    if (img::Failed(r)) buf.clear();
  }
  if (hr) *hr = r;
  return buf;
}

std::uint32_t Meta(const img::MetadataReader* m, const char* path) {
  std::uint32_t v = 0xDEADBEEF;
  img::ReadUInt(m, path, &v);
  return v;
}

bool Flag(const img::MetadataReader* m, const char* path) {
  img::PropValue v;
  EXPECT_EQ(m->GetMetadataByName(path, &v), img::kOk) << path;
  EXPECT_EQ(v.vt, img::kVtBool) << path;
  return v.u != 0;
}

// BGRA of a decoded pixel as 0xAARRGGBB.
std::uint32_t Px(const ByteVec& bgra, std::size_t w, std::size_t x, std::size_t y) {
  const std::uint8_t* p = &bgra[(y * w + x) * 4];
  return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) |
         p[0];
}

// ---------------------------------------------------------------------------
// Fixtures.

struct FixtureCase {
  const char* file;
  std::uint32_t frames;
};

const FixtureCase kFixtures[] = {
    {"gif_single.gif", 1},
    {"gif_interlaced.gif", 1},
    {"gif_transparent.gif", 1},
    {"gif_anim.gif", 3},
};

TEST(Gif, FixturesMatchImageMagick) {
  for (const FixtureCase& c : kFixtures) {
    SCOPED_TRACE(c.file);
    std::unique_ptr<img::Decoder> dec;
    ASSERT_EQ(img::CreateGifDecoder(FixtureBytes(c.file), &dec), img::kOk);
    EXPECT_EQ(dec->GetContainerFormat(), img::Container::Gif);
    ASSERT_EQ(dec->GetFrameCount(), c.frames);
    for (std::uint32_t i = 0; i < c.frames; ++i) {
      SCOPED_TRACE(i);
      std::unique_ptr<img::Frame> f;
      ASSERT_EQ(dec->GetFrame(i, &f), img::kOk);
      EXPECT_EQ(f->NativeFormat(), PixelFormat::Indexed8);
      ByteVec got = FramePixels(*dec, i);
      testing_support::ExpectMatchesRgba(got, f->Width(),
                                         std::string(c.file) + "." + std::to_string(i) + ".rgba", 0,
                                         testing_support::Clear::AllZero);
    }
  }
  // through the factory
  auto d = DecodeFixture("gif_single.gif");
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.container, img::Container::Gif);
  EXPECT_EQ(d.width, 19u);
  EXPECT_EQ(d.height, 13u);
}

TEST(Gif, AnimationMetadata) {
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateGifDecoder(FixtureBytes("gif_anim.gif"), &dec), img::kOk);
  auto meta = dec->Metadata();
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->Format(), "gif");
  EXPECT_EQ(Meta(meta.get(), "/logscrdesc/Width"), 16u);
  EXPECT_EQ(Meta(meta.get(), "/logscrdesc/Height"), 12u);
  EXPECT_TRUE(Flag(meta.get(), "/logscrdesc/GlobalColorTableFlag"));
  EXPECT_FALSE(Flag(meta.get(), "/logscrdesc/SortFlag"));
  EXPECT_EQ(Meta(meta.get(), "/logscrdesc/BackgroundColorIndex"), 0u);
  EXPECT_EQ(Meta(meta.get(), "/logscrdesc/PixelAspectRatio"), 0u);
  img::PropValue v;
  ASSERT_EQ(meta->GetMetadataByName("/logscrdesc/Signature", &v), img::kOk);
  EXPECT_EQ(v.vt, img::kVtVector | img::kVtUI1);
  EXPECT_EQ(v.bytes, "GIF89a");
  ASSERT_EQ(meta->GetMetadataByName("/logscrdesc/Width", &v), img::kOk);
  EXPECT_EQ(v.vt, img::kVtUI2);
  // NETSCAPE2.0, loop forever: the data keeps its sub-block size
  ASSERT_EQ(meta->GetMetadataByName("/appext/Application", &v), img::kOk);
  EXPECT_EQ(v.vt, img::kVtVector | img::kVtUI1);
  EXPECT_EQ(v.bytes, "NETSCAPE2.0");
  ASSERT_EQ(meta->GetMetadataByName("/appext/Data", &v), img::kOk);
  EXPECT_EQ(v.vt, img::kVtVector | img::kVtUI1);
  EXPECT_EQ(v.bytes, std::string("\x03\x01\x00\x00", 4));
  ASSERT_EQ(meta->GetMetadataByName("/commentext/TextEntry", &v), img::kOk);
  EXPECT_EQ(v.vt, img::kVtLpstr);
  EXPECT_EQ(v.bytes, "made for norvane");

  const std::uint32_t want[3][6] = {
      // left, top, width, height, delay, disposal
      {0, 0, 16, 12, 10, 1},
      {4, 2, 6, 5, 2, 2},
      {10, 6, 5, 4, 0, 3},
  };
  const std::uint32_t colour[3] = {0xFFFF0000u, 0xFF00FF00u, 0xFFFFFF00u};
  for (std::uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    std::unique_ptr<img::Frame> f;
    ASSERT_EQ(dec->GetFrame(i, &f), img::kOk);
    EXPECT_EQ(f->Width(), want[i][2]);
    EXPECT_EQ(f->Height(), want[i][3]);
    auto m = f->Metadata();
    ASSERT_TRUE(m);
    EXPECT_EQ(Meta(m.get(), "/imgdesc/Left"), want[i][0]);
    EXPECT_EQ(Meta(m.get(), "/imgdesc/Top"), want[i][1]);
    EXPECT_EQ(Meta(m.get(), "/imgdesc/Width"), want[i][2]);
    EXPECT_EQ(Meta(m.get(), "/imgdesc/Height"), want[i][3]);
    EXPECT_EQ(Meta(m.get(), "/grctlext/Delay"), want[i][4]);
    EXPECT_EQ(Meta(m.get(), "/grctlext/Disposal"), want[i][5]);
    EXPECT_EQ(Meta(m.get(), "/grctlext/TransparentColorIndex"), 0u);
    EXPECT_FALSE(Flag(m.get(), "/grctlext/TransparencyFlag"));
    EXPECT_FALSE(Flag(m.get(), "/grctlext/UserInputFlag"));
    EXPECT_FALSE(Flag(m.get(), "/imgdesc/InterlaceFlag"));
    EXPECT_EQ(Flag(m.get(), "/imgdesc/LocalColorTableFlag"), i != 0);
    ByteVec px = FramePixels(*dec, i);
    ASSERT_FALSE(px.empty());
    EXPECT_EQ(Px(px, f->Width(), 0, 0), colour[i]);
  }
}

TEST(Gif, Transparency) {
  auto d = DecodeFixture("gif_transparent.gif");
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.At(0, 0), 0u);
  EXPECT_EQ(d.At(15, 11), 0u);
  EXPECT_EQ(d.At(1, 0), 0xFFFF0000u);
  EXPECT_EQ(d.At(14, 11), 0xFFFFFFFFu);
  auto p = DecodeFixture("gif_transparent.gif", 0, PixelFormat::Pbgra32);
  EXPECT_EQ(p.bgra, d.bgra);
  auto x = DecodeFixture("gif_transparent.gif", 0, PixelFormat::Bgr32);
  ASSERT_EQ(x.hr, img::kOk);
  EXPECT_EQ(x.At(0, 0), 0xFF000000u);
  EXPECT_EQ(x.At(1, 0), 0xFFFF0000u);
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateGifDecoder(FixtureBytes("gif_transparent.gif"), &dec), img::kOk);
  std::unique_ptr<img::Frame> f;
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  EXPECT_TRUE(Flag(f->Metadata().get(), "/grctlext/TransparencyFlag"));
}

TEST(Gif, InterlacedFramesComeOutInOrder) {
  auto plain = DecodeFixture("gif_single.gif");
  auto inter = DecodeFixture("gif_interlaced.gif");
  ASSERT_EQ(plain.hr, img::kOk);
  ASSERT_EQ(inter.hr, img::kOk);
  EXPECT_EQ(plain.bgra, inter.bgra);
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateGifDecoder(FixtureBytes("gif_interlaced.gif"), &dec), img::kOk);
  std::unique_ptr<img::Frame> f;
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  EXPECT_TRUE(Flag(f->Metadata().get(), "/imgdesc/InterlaceFlag"));

  // hand-built, every height from 1 to 17: each row holds its own number
  for (std::uint16_t h = 1; h <= 17; ++h) {
    SCOPED_TRACE(h);
    std::vector<std::uint32_t> gct;
    for (std::uint32_t i = 0; i < 32; ++i) gct.push_back(i * 0x070301u);
    ByteVec px;
    for (std::uint16_t y = 0; y < h; ++y)
      px.insert(px.end(), {static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(y)});
    ByteVec g = GifBuilder(2, h, gct, 4).Image(0, 0, 2, h, px, true).Done();
    auto d = DecodeBytes(ShareBytes(g));
    ASSERT_EQ(d.hr, img::kOk);
    for (std::uint32_t y = 0; y < h; ++y) {
      EXPECT_EQ(d.At(1, y), 0xFF000000u | (y * 0x070301u)) << y;
    }
  }
}

TEST(Gif, HandBuiltColourRules) {
  const std::vector<std::uint32_t> gct = {0x112233, 0x445566, 0x778899};  // padded to 4
  // index 2 is in the table, 3 is padding of the 4-entry table (black),
  // 200 is beyond it: opaque black
  ByteVec g = GifBuilder(4, 1, gct, 1).Image(0, 0, 4, 1, {0, 2, 3, 200}).Done();
  auto d = DecodeBytes(ShareBytes(g));
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.native, PixelFormat::Indexed8);
  EXPECT_EQ(d.At(0, 0), 0xFF112233u);
  EXPECT_EQ(d.At(1, 0), 0xFF778899u);
  EXPECT_EQ(d.At(2, 0), 0xFF000000u);
  EXPECT_EQ(d.At(3, 0), 0xFF000000u);
  // a transparent index beyond the table is still transparent
  g = GifBuilder(3, 1, gct, 1).Gce(0, 0, 200).Image(0, 0, 3, 1, {0, 200, 201}).Done();
  d = DecodeBytes(ShareBytes(g));
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.At(0, 0), 0xFF112233u);
  EXPECT_EQ(d.At(1, 0), 0u);
  EXPECT_EQ(d.At(2, 0), 0xFF000000u);
  // no colour table at all: every index is opaque black
  g = GifBuilder(2, 1, {}).Image(0, 0, 2, 1, {0, 1}).Done();
  d = DecodeBytes(ShareBytes(g));
  ASSERT_EQ(d.hr, img::kOk);
  EXPECT_EQ(d.At(0, 0), 0xFF000000u);
  // a local table wins over the global one, for its frame only
  g = GifBuilder(1, 1, gct, 1)
          .Image(0, 0, 1, 1, {1}, false, {0xAABBCC, 0xDDEEFF})
          .Image(0, 0, 1, 1, {1})
          .Done();
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(Open(g, &dec), img::kOk);
  ASSERT_EQ(dec->GetFrameCount(), 2u);
  EXPECT_EQ(Px(FramePixels(*dec, 0), 1, 0, 0), 0xFFDDEEFFu);
  EXPECT_EQ(Px(FramePixels(*dec, 1), 1, 0, 0), 0xFF445566u);
  // Bgr24 and padded strides
  g = GifBuilder(3, 2, gct, 1).Gce(2, 7, 1).Image(0, 0, 3, 2, {0, 1, 2, 2, 1, 0}).Done();
  ASSERT_EQ(Open(g, &dec), img::kOk);
  std::unique_ptr<img::Frame> f;
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  ByteVec buf(2 * 11, 0xEE);
  ASSERT_EQ(f->CopyPixels(PixelFormat::Bgr24, buf.data(), 11, buf.size()), img::kOk);
  EXPECT_EQ(ByteVec(buf.begin(), buf.begin() + 11),
            (ByteVec{0x33, 0x22, 0x11, 0, 0, 0, 0x99, 0x88, 0x77, 0xEE, 0xEE}));
  EXPECT_EQ(ByteVec(buf.begin() + 11, buf.end()),
            (ByteVec{0x99, 0x88, 0x77, 0, 0, 0, 0x33, 0x22, 0x11, 0xEE, 0xEE}));
  EXPECT_EQ(Meta(f->Metadata().get(), "/grctlext/Disposal"), 2u);
  EXPECT_EQ(Meta(f->Metadata().get(), "/grctlext/Delay"), 7u);
  EXPECT_EQ(Meta(f->Metadata().get(), "/grctlext/TransparentColorIndex"), 1u);
}

TEST(Gif, HandBuiltMetadata) {
  // comments anywhere, two application blocks, a GCE with the user input
  // flag, a frame outside the logical screen, a zero-sized screen, GIF87a
  ByteVec g = GifBuilder(0, 0, {0xFF0000, 0x00FF00}, 0, "GIF87a")
                  .Comment("first")
                  .App("NETSCAPE2.0", {1, 5, 0})
                  .App("XMP DataXMP", {'x', 'm', 'p'})
                  .Gce(1, 3, -1, true)
                  .Image(500, 600, 2, 1, {0, 1})
                  .Comment(std::string(300, 'c'))
                  .Image(0, 0, 1, 1, {1})
                  .Done();
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(Open(g, &dec), img::kOk);
  ASSERT_EQ(dec->GetFrameCount(), 2u);
  auto m = dec->Metadata();
  EXPECT_EQ(Meta(m.get(), "/logscrdesc/Width"), 0u);
  EXPECT_EQ(Meta(m.get(), "/logscrdesc/Height"), 0u);
  EXPECT_EQ(Meta(m.get(), "/logscrdesc/GlobalColorTableSize"), 0u);
  EXPECT_EQ(Meta(m.get(), "/logscrdesc/ColorResolution"), 7u);
  img::PropValue v;
  ASSERT_EQ(m->GetMetadataByName("/logscrdesc/Signature", &v), img::kOk);
  EXPECT_EQ(v.bytes, "GIF87a");
  ASSERT_EQ(m->GetMetadataByName("/commentext/TextEntry", &v), img::kOk);
  EXPECT_EQ(v.bytes, "first");
  ASSERT_EQ(m->GetMetadataByName("/[1]commentext/TextEntry", &v), img::kOk);
  EXPECT_EQ(v.bytes, std::string(300, 'c'));  // two sub-blocks joined
  EXPECT_EQ(m->GetMetadataByName("/[2]commentext/TextEntry", &v), img::kErrPropertyNotFound);
  ASSERT_EQ(m->GetMetadataByName("/appext/Data", &v), img::kOk);
  EXPECT_EQ(v.bytes, std::string("\x03\x01\x05\x00", 4));
  ASSERT_EQ(m->GetMetadataByName("/[1]appext/Application", &v), img::kOk);
  EXPECT_EQ(v.bytes, "XMP DataXMP");

  std::unique_ptr<img::Frame> f;
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  auto fm = f->Metadata();
  EXPECT_EQ(Meta(fm.get(), "/imgdesc/Left"), 500u);
  EXPECT_EQ(Meta(fm.get(), "/imgdesc/Top"), 600u);
  EXPECT_EQ(Meta(fm.get(), "/grctlext/Delay"), 3u);
  EXPECT_EQ(Meta(fm.get(), "/grctlext/Disposal"), 1u);
  EXPECT_TRUE(Flag(fm.get(), "/grctlext/UserInputFlag"));
  ASSERT_EQ(dec->GetFrame(1, &f), img::kOk);
  // the second frame has no graphic control extension of its own
  EXPECT_EQ(Meta(f->Metadata().get(), "/grctlext/Delay"), 0xDEADBEEFu);
  EXPECT_EQ(Meta(f->Metadata().get(), "/imgdesc/Width"), 1u);
}

// A file of a million empty application extensions (three bytes each) keeps
// only the first ten thousand for the metadata reader, and the frame after
// them is still found.
TEST(Gif, EmptyExtensionsAreCapped) {
  ByteVec g = GifBuilder(1, 1, {0xFF0000, 0x00FF00}).App("FIRST", {7}).Done();
  g.pop_back();  // the trailer
  ByteVec tail =
      GifBuilder(1, 1, {0xFF0000, 0x00FF00}).Comment("last").Image(0, 0, 1, 1, {1}).Done();
  // The header and colour table, without records and trailer.
  const std::size_t head = GifBuilder(1, 1, {0xFF0000, 0x00FF00}).Done().size() - 1;
  for (int i = 0; i < 1000000; ++i) {
    g.insert(g.end(), {0x21, 0xFF, 0x00});
  }
  g.insert(g.end(), tail.begin() + static_cast<std::ptrdiff_t>(head), tail.end());
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(Open(g, &dec), img::kOk);
  EXPECT_EQ(dec->GetFrameCount(), 1u);
  auto m = dec->Metadata();
  img::PropValue v;
  ASSERT_EQ(m->GetMetadataByName("/appext/Application", &v), img::kOk);
  EXPECT_EQ(v.bytes, "FIRST");
  EXPECT_EQ(m->GetMetadataByName("/[9999]appext/Application", &v), img::kOk);
  EXPECT_EQ(m->GetMetadataByName("/[10000]appext/Application", &v), img::kErrPropertyNotFound);
  // Past the cap, a comment is not kept either.
  EXPECT_EQ(m->GetMetadataByName("/commentext/TextEntry", &v), img::kErrPropertyNotFound);
}

TEST(Gif, RecognitionAndHeaders) {
  std::unique_ptr<img::Decoder> dec;
  EXPECT_EQ(img::CreateGifDecoder(FixtureBytes("tiff_be.tif"), &dec), img::kErrUnknownImageFormat);
  EXPECT_EQ(img::CreateGifDecoder(nullptr, &dec), img::kErrUnknownImageFormat);
  EXPECT_EQ(Open({'G', 'I', 'F', '8', '8', 'a', 0, 0, 0, 0, 0, 0, 0}, &dec),
            img::kErrUnknownImageFormat);
  EXPECT_EQ(Open({'G', 'I', 'F', '8', '9'}, &dec), img::kErrUnknownImageFormat);
  EXPECT_EQ(Open({'G', 'I', 'F', '8', '9', 'a', 1, 0}, &dec), img::kErrBadHeader);
  // a global table announced but cut short
  EXPECT_EQ(Open({'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 1, 2, 3}, &dec),
            img::kErrBadHeader);
  EXPECT_FALSE(dec);
  // a header and nothing else: no frames
  ASSERT_EQ(Open({'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0}, &dec), img::kOk);
  EXPECT_EQ(dec->GetFrameCount(), 0u);
  std::unique_ptr<img::Frame> f;
  EXPECT_EQ(dec->GetFrame(0, &f), img::kInvalidArg);
  EXPECT_EQ(dec->GetFrame(0, nullptr), img::kPointer);
  EXPECT_EQ(img::CreateGifDecoder(FixtureBytes("gif_single.gif"), nullptr), img::kPointer);
}

TEST(Gif, CopyPixelsChecksArguments) {
  std::unique_ptr<img::Decoder> dec;
  ASSERT_EQ(img::CreateGifDecoder(FixtureBytes("gif_single.gif"), &dec), img::kOk);
  std::unique_ptr<img::Frame> f;
  ASSERT_EQ(dec->GetFrame(0, &f), img::kOk);
  ByteVec buf(19 * 13 * 4);
  EXPECT_EQ(f->CopyPixels(PixelFormat::Bgra32, nullptr, 19 * 4, buf.size()), img::kInvalidArg);
  EXPECT_EQ(f->CopyPixels(PixelFormat::Bgra32, buf.data(), 19 * 4 - 1, buf.size()),
            img::kInvalidArg);
  EXPECT_EQ(f->CopyPixels(PixelFormat::Bgra32, buf.data(), 19 * 4, buf.size() - 1),
            img::kErrInsufficientBuffer);
  EXPECT_EQ(f->CopyPixels(PixelFormat::Indexed8, buf.data(), 19 * 4, buf.size()), img::kInvalidArg);
  EXPECT_EQ(f->CopyPixels(PixelFormat::Pbgra32, buf.data(), 19 * 4, buf.size()), img::kOk);
  EXPECT_EQ(f->CopyCmyk(buf.data(), 19 * 4, buf.size()), img::kNotImpl);
  EXPECT_TRUE(f->ColorContexts().empty());
}

// ---------------------------------------------------------------------------
// Damaged and hostile files.

TEST(Gif, LyingFrameSizesFail) {
  const std::vector<std::uint32_t> gct = {0x000000, 0xFFFFFF};
  std::unique_ptr<img::Decoder> dec;
  std::unique_ptr<img::Frame> f;
  // zero width, zero height
  for (auto [w, h] : {std::pair<int, int>{0, 5}, {5, 0}}) {
    ByteVec g = GifBuilder(8, 8, gct, 0)
                    .Image(0, 0, static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), {})
                    .Done();
    ASSERT_EQ(Open(g, &dec), img::kOk);
    ASSERT_EQ(dec->GetFrameCount(), 1u);
    EXPECT_TRUE(img::Failed(dec->GetFrame(0, &f)));
    EXPECT_FALSE(f);
  }
  // 65535 x 65535 (above kMaxPixels): refused before anything is allocated
  ByteVec g = GifBuilder(8, 8, gct, 0).Image(0, 0, 1, 1, {1}).Done();
  const auto spans = FrameSpans(g);
  ASSERT_EQ(spans.size(), 1u);
  for (int k = 5; k <= 8; ++k) g[spans[0].start + k] = 0xFF;
  ASSERT_EQ(Open(g, &dec), img::kOk);
  EXPECT_EQ(dec->GetFrame(0, &f), img::kOutOfMemory);
  // 300 x 1 claimed, 1 pixel of data: the data runs out
  g = GifBuilder(8, 8, gct, 0).Image(0, 0, 1, 1, {1}).Done();
  g[spans[0].start + 5] = 44;
  g[spans[0].start + 6] = 1;
  ASSERT_EQ(Open(g, &dec), img::kOk);
  EXPECT_EQ(dec->GetFrame(0, &f), img::kErrBadImage);
  // LZW minimum code size 12
  g = GifBuilder(8, 8, gct, 0).Image(0, 0, 1, 1, {1}).Done();
  g[spans[0].dataStart - 1] = 12;
  ASSERT_EQ(Open(g, &dec), img::kOk);
  EXPECT_TRUE(img::Failed(dec->GetFrame(0, &f)));
  // an unknown record ends the file: frames before it stay
  g = GifBuilder(8, 8, gct, 0).Image(0, 0, 1, 1, {1}).Done();
  g.back() = 0x99;
  g.insert(g.end(), {0x2C, 0, 0});
  ASSERT_EQ(Open(g, &dec), img::kOk);
  EXPECT_EQ(dec->GetFrameCount(), 1u);
  EXPECT_EQ(dec->GetFrame(0, &f), img::kOk);
}

// A third frame whose LZW data is garbage: frames 0 and 1 decode, frame 2
// fails (the animation plays the good frames and stops).
TEST(Gif, CorruptThirdFrame) {
  const ByteVec good = ReadBytes(Fixture("gif_anim.gif"));
  const auto spans = FrameSpans(good);
  ASSERT_EQ(spans.size(), 3u);
  // garbled codes: all ones
  ByteVec bad = good;
  const std::size_t first = spans[2].dataStart;  // size of the first sub-block
  for (std::size_t k = 0; k < bad[first]; ++k) bad[first + 1 + k] = 0xFF;
  // a data block that ends before the picture does
  ByteVec cut = good;
  cut[first] = 0;
  for (const ByteVec& file : {bad, cut}) {
    std::unique_ptr<img::Decoder> dec;
    ASSERT_EQ(Open(file, &dec), img::kOk);
    ASSERT_EQ(dec->GetFrameCount(), 3u);
    img::HResult hr;
    EXPECT_FALSE(FramePixels(*dec, 0, &hr).empty());
    EXPECT_FALSE(FramePixels(*dec, 1, &hr).empty());
    std::unique_ptr<img::Frame> f;
    EXPECT_EQ(dec->GetFrame(2, &f), img::kErrBadImage);
    EXPECT_FALSE(f);
    // and the good frames stay good afterwards
    EXPECT_FALSE(FramePixels(*dec, 0, &hr).empty());
  }
}

// Every prefix of the animation: nothing crashes; a frame is counted once
// its descriptor is complete. A frame whose data are all there (up to the
// block terminator) decodes whole; the frame the cut falls in gives the rows
// its data reach, exactly as in the whole file, and the rest transparent
// (or nothing at all when not one row is there).
TEST(Gif, TruncationAtEveryLength) {
  for (const char* name : {"gif_anim.gif", "gif_interlaced.gif", "gif_transparent.gif"}) {
    SCOPED_TRACE(name);
    const ByteVec bytes = ReadBytes(Fixture(name));
    const auto spans = FrameSpans(bytes);
    std::size_t header = 13;
    if (bytes[10] & 0x80) header += 3u << ((bytes[10] & 7) + 1);
    std::vector<ByteVec> whole;
    {
      std::unique_ptr<img::Decoder> dec;
      ASSERT_EQ(Open(bytes, &dec), img::kOk);
      for (std::uint32_t i = 0; i < spans.size(); ++i) whole.push_back(FramePixels(*dec, i));
    }
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      SCOPED_TRACE(n);
      ByteVec prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      std::unique_ptr<img::Decoder> dec;
      const img::HResult hr = Open(prefix, &dec);
      if (n < 6) {
        EXPECT_EQ(hr, img::kErrUnknownImageFormat);
        continue;
      }
      if (n < header) {
        EXPECT_EQ(hr, img::kErrBadHeader);
        continue;
      }
      ASSERT_EQ(hr, img::kOk);
      std::uint32_t counted = 0, complete = 0;
      for (const Span& s : spans) {
        if (n >= s.start + 10) ++counted;
        if (n >= s.end) ++complete;
      }
      ASSERT_EQ(dec->GetFrameCount(), counted);
      for (std::uint32_t i = 0; i < counted; ++i) {
        img::HResult fr;
        const ByteVec got = FramePixels(*dec, i, &fr);
        if (i < complete) {
          EXPECT_EQ(fr, img::kOk) << "frame " << i;
          EXPECT_EQ(got, whole[i]) << "frame " << i;
          continue;
        }
        if (got.empty()) continue;  // not one row there
        EXPECT_TRUE(fr == img::kOk || fr == img::kFalse) << "frame " << i;
        if (fr == img::kOk) {
          EXPECT_EQ(got, whole[i]) << "frame " << i;  // the pixels were all there
          continue;
        }
        // Each row is the whole file's or transparent, and some are the
        // whole file's.
        const std::size_t rowBytes =
            (bytes[spans[i].start + 5] | std::size_t{bytes[spans[i].start + 6]} << 8) * 4u;
        std::size_t kept = 0;
        for (std::size_t at = 0; at < got.size(); at += rowBytes) {
          const auto row = got.begin() + static_cast<std::ptrdiff_t>(at);
          const auto want = whole[i].begin() + static_cast<std::ptrdiff_t>(at);
          if (std::equal(row, row + static_cast<std::ptrdiff_t>(rowBytes), want)) {
            ++kept;
          } else {
            EXPECT_TRUE(std::all_of(row, row + static_cast<std::ptrdiff_t>(rowBytes),
                                    [](std::uint8_t b) { return b == 0; }))
                << "frame " << i << " row " << at / rowBytes;
          }
        }
        EXPECT_GT(kept, 0u) << "frame " << i;
      }
    }
  }
}

// Deterministic mutations: whatever happens, no crash, no hang.
TEST(Gif, MutatedFilesNeverCrash) {
  std::uint32_t seed = 777;
  auto next = [&]() {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  std::vector<ByteVec> files;
  for (const FixtureCase& c : kFixtures) files.push_back(ReadBytes(Fixture(c.file)));
  files.push_back(GifBuilder(4, 4, {1, 2, 3, 4}, 1)
                      .Gce(2, 5, 1)
                      .Image(0, 0, 4, 4, ByteVec(16, 2), true)
                      .Comment("x")
                      .Image(1, 1, 2, 2, {0, 1, 2, 3}, false, {9, 8})
                      .Done());
  for (const ByteVec& original : files) {
    for (int round = 0; round < 400; ++round) {
      ByteVec b = original;
      const int edits = 1 + static_cast<int>(next() % 4);
      for (int e = 0; e < edits; ++e) b[next() % b.size()] = static_cast<std::uint8_t>(next());
      std::unique_ptr<img::Decoder> dec;
      if (img::Failed(Open(b, &dec))) continue;
      const std::uint32_t count = std::min<std::uint32_t>(dec->GetFrameCount(), 8);
      for (std::uint32_t i = 0; i < count; ++i) {
        std::unique_ptr<img::Frame> f;
        if (img::Failed(dec->GetFrame(i, &f))) continue;
        const std::size_t w = f->Width(), h = f->Height();
        ASSERT_GT(w * h, 0u);
        if (w * h > (std::size_t{1} << 22)) continue;
        ByteVec buf(w * h * 4);
        // whole, or the rows before damage with the rest transparent
        const img::HResult hr = f->CopyPixels(PixelFormat::Pbgra32, buf.data(), w * 4, buf.size());
        EXPECT_TRUE(hr == img::kOk || hr == img::kFalse) << hr;
        std::uint32_t v = 0;
        img::ReadUInt(f->Metadata().get(), "/grctlext/Delay", &v);
      }
    }
  }
}

}  // namespace
