// GIF animation: composition by the disposal rules, clipping to the logical
// screen, frame delays, the canvas cleared before the first frame repeats,
// and an animation that stops on a frame that cannot be decoded.
//
// Each scenario runs twice: over a stand-in decoder that hands out the frames
// as they are (the composition alone), and over GIF bytes built here and read
// by the real decoder through LoadBytes (the whole pipeline).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "decode/decode_internal.h"
#include "tests/support/test_support.h"

namespace {

using img::PropValue;

struct PictureFree {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureFree>;

constexpr std::uint32_t kEven = 0xFF1D2129;  // checkerboard cell (0, 0)
constexpr std::uint32_t kOdd = 0xFF2B303A;

// Premultiplied colours by letter: '.' transparent, R G B opaque; 'o' and
// 'h' exist only for the stand-in decoder (GIF has no partial alpha).
std::uint32_t Colour(char c) {
  switch (c) {
    case 'R':
      return 0xFFFF0000;
    case 'G':
      return 0xFF00FF00;
    case 'B':
      return 0xFF0000FF;
    case 'o':
      return 0xFF1E140A;  // B10 G20 R30
    case 'h':
      return 0x400A1428;  // B40 G20 R10 at alpha 64
    default:
      return 0;
  }
}

char Letter(std::uint32_t v) {
  for (char c : std::string("RGB.oh")) {
    if (Colour(c) == v) return c;
  }
  return '?';
}

std::uint32_t Read(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[3]) << 24) | (p[2] << 16) | (p[1] << 8) | p[0];
}

std::uint32_t CanvasAt(const Picture* p, int x, int y) {
  return Read(p->canvas.data() + (static_cast<std::size_t>(y) * p->width + x) * 4);
}
std::uint32_t ShownAt(const Picture* p, int x, int y) {
  return Read(p->bits + (static_cast<std::size_t>(y) * p->width + x) * 4);
}

// The canvas as letters, rows separated by '/'.
std::string Canvas(const Picture* p) {
  std::string out;
  for (int y = 0; y < p->height; ++y) {
    if (y) out += '/';
    for (int x = 0; x < p->width; ++x) out += Letter(CanvasAt(p, x, y));
  }
  return out;
}

// The pixels on display must be the canvas on the checkerboard.
void ExpectShownIsCanvasOnCheckerboard(const Picture* p) {
  for (int y = 0; y < p->height; ++y) {
    for (int x = 0; x < p->width; ++x) {
      const std::uint32_t c = CanvasAt(p, x, y);
      const std::uint32_t cell = ((x / 12 + y / 12) & 1) ? kOdd : kEven;
      if (c == 0) {
        EXPECT_EQ(ShownAt(p, x, y), cell) << x << "," << y;
      } else if (c >> 24 == 0xFF) {
        EXPECT_EQ(ShownAt(p, x, y), c) << x << "," << y;
      }
    }
  }
}

// One frame: its rectangle on the canvas, delay (1/100 s), disposal, pixels
// as letters (rows joined), and how it is broken, if it is.
struct AnimFrame {
  std::uint32_t left, top, width, height, delay, disposal;
  std::string grid;
  enum Broken { kWhole, kPixels, kMissing } broken = kWhole;
};

// --- the stand-in decoder ----------------------------------------------------

std::shared_ptr<const img::MetadataReader> Block(std::string format,
                                                 std::vector<img::MetaItem> items) {
  return std::make_shared<img::MetadataReader>(std::move(format), std::move(items));
}

class StandInFrame : public img::Frame {
 public:
  StandInFrame(AnimFrame f, bool withMetadata, int* copies)
      : f_(std::move(f)), withMetadata_(withMetadata), copies_(copies) {}
  std::uint32_t Width() const override { return f_.width; }
  std::uint32_t Height() const override { return f_.height; }
  img::PixelFormat NativeFormat() const override { return img::PixelFormat::Indexed8; }
  img::HResult CopyPixels(img::PixelFormat format, std::uint8_t* buffer, std::size_t stride,
                          std::size_t size) override {
    ++*copies_;
    if (f_.broken == AnimFrame::kPixels) return img::kErrBadImage;
    if (format != img::PixelFormat::Pbgra32) return img::kInvalidArg;
    img::HResult hr = img::CheckCopyArgs(f_.height, f_.width * 4, buffer, stride, size);
    if (img::Failed(hr)) return hr;
    for (std::uint32_t y = 0; y < f_.height; ++y) {
      for (std::uint32_t x = 0; x < f_.width; ++x) {
        std::uint32_t v = Colour(f_.grid.at(y * f_.width + x));
        std::uint8_t* q = buffer + y * stride + x * 4;
        q[0] = v & 0xFF, q[1] = (v >> 8) & 0xFF, q[2] = (v >> 16) & 0xFF, q[3] = v >> 24;
      }
    }
    return img::kOk;
  }
  std::shared_ptr<const img::MetadataReader> Metadata() const override {
    if (!withMetadata_) return nullptr;
    return Block(
        "gif",
        {{"imgdesc", PropValue::Reader(Block("imgdesc", {{"Left", PropValue::UI2(f_.left)},
                                                         {"Top", PropValue::UI2(f_.top)},
                                                         {"Width", PropValue::UI2(f_.width)},
                                                         {"Height", PropValue::UI2(f_.height)}}))},
         {"grctlext",
          PropValue::Reader(Block("grctlext", {{"Disposal", PropValue::UI1(f_.disposal)},
                                               {"Delay", PropValue::UI2(f_.delay)}}))}});
  }

 private:
  AnimFrame f_;
  bool withMetadata_;
  int* copies_;
};

class StandInDecoder : public img::Decoder {
 public:
  StandInDecoder(std::vector<AnimFrame> frames, bool withMetadata, int* copies)
      : frames_(std::move(frames)), withMetadata_(withMetadata), copies_(copies) {}
  img::Container GetContainerFormat() const override { return img::Container::Gif; }
  std::uint32_t GetFrameCount() const override {
    return static_cast<std::uint32_t>(frames_.size());
  }
  img::HResult GetFrame(std::uint32_t i, std::unique_ptr<img::Frame>* out) override {
    out->reset();
    if (i >= frames_.size()) return img::kInvalidArg;
    if (frames_[i].broken == AnimFrame::kMissing) return img::kErrFrameMissing;
    *out = std::make_unique<StandInFrame>(frames_[i], withMetadata_, copies_);
    return img::kOk;
  }

 private:
  std::vector<AnimFrame> frames_;
  bool withMetadata_;
  int* copies_;
};

// A picture set up as the loader sets up an animation: canvas of the logical
// screen, all transparent, frame 0 composed.
PicturePtr StandIn(int w, int h, std::vector<AnimFrame> frames, bool withMetadata = true,
                   int* copies = nullptr) {
  static int unused = 0;
  PicturePtr pic(new Picture);
  EXPECT_TRUE(decode_internal::AllocPixels(pic.get(), w, h));
  pic->canvas.assign(static_cast<std::size_t>(w) * h * 4, 0);
  pic->frameCount = static_cast<std::uint32_t>(frames.size());
  pic->decoder =
      std::make_unique<StandInDecoder>(std::move(frames), withMetadata, copies ? copies : &unused);
  EXPECT_TRUE(decode_internal::GifCompose(pic.get(), 0));
  return pic;
}

// --- GIF bytes -----------------------------------------------------------------

void U16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

// LZW with 2-bit pixels: clear 4, end 5, 3-bit codes. A clear after every two
// literals keeps the table from growing, so the code width never changes.
// The broken stream starts with code 7, which nothing has defined.
std::vector<std::uint8_t> Lzw(const std::string& grid, bool broken) {
  std::vector<int> codes = {4};
  if (broken) {
    codes.push_back(7);
  } else {
    int run = 0;
    for (char c : grid) {
      if (run == 2) codes.push_back(4), run = 0;
      codes.push_back(c == 'R' ? 1 : c == 'G' ? 2 : c == 'B' ? 3 : 0);
      ++run;
    }
  }
  codes.push_back(5);
  std::vector<std::uint8_t> bytes;
  std::uint32_t acc = 0;
  int bits = 0;
  for (int code : codes) {
    acc |= static_cast<std::uint32_t>(code) << bits;
    bits += 3;
    while (bits >= 8) bytes.push_back(acc & 0xFF), acc >>= 8, bits -= 8;
  }
  if (bits) bytes.push_back(acc & 0xFF);
  return bytes;
}

// A GIF89a of a w × h logical screen with the palette transparent, red, lime,
// blue (index 0 transparent in every frame).
std::vector<std::uint8_t> Gif(std::uint32_t w, std::uint32_t h,
                              const std::vector<AnimFrame>& frames) {
  std::vector<std::uint8_t> out = {'G', 'I', 'F', '8', '9', 'a'};
  U16(out, w);
  U16(out, h);
  for (std::uint8_t b : {0x81, 0, 0, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255}) out.push_back(b);
  for (const AnimFrame& f : frames) {
    for (std::uint8_t b : {0x21, 0xF9, 0x04}) out.push_back(b);
    out.push_back(static_cast<std::uint8_t>((f.disposal << 2) | 1));
    U16(out, f.delay);
    out.push_back(0);  // transparent index
    out.push_back(0);
    out.push_back(0x2C);
    U16(out, f.left);
    U16(out, f.top);
    U16(out, f.width);
    U16(out, f.height);
    out.push_back(0);  // no local palette, not interlaced
    out.push_back(2);  // LZW minimum code size
    const std::vector<std::uint8_t> data = Lzw(f.grid, f.broken != AnimFrame::kWhole);
    for (std::size_t i = 0; i < data.size(); i += 255) {
      const std::size_t n = std::min<std::size_t>(255, data.size() - i);
      out.push_back(static_cast<std::uint8_t>(n));
      for (std::size_t k = 0; k < n; ++k) out.push_back(data[i + k]);
    }
    out.push_back(0);
  }
  out.push_back(0x3B);
  return out;
}

PicturePtr Decoded(std::uint32_t w, std::uint32_t h, const std::vector<AnimFrame>& frames,
                   img::HResult* result = nullptr) {
  PicturePtr pic(new Picture);
  img::HResult hr =
      decode_internal::LoadBytes(pic.get(), Gif(w, h, frames), decode_internal::kBundledNone);
  if (result) *result = hr;
  if (img::Failed(hr)) return nullptr;
  return pic;
}

// --- scenarios ---------------------------------------------------------------

struct Step {
  std::string canvas;
  std::uint32_t delayMs;
};

struct Scenario {
  const char* name;
  std::uint32_t w, h;
  std::vector<AnimFrame> frames;
  std::vector<Step> steps;  // after loading, then after each advance
};

const Scenario kScenarios[] = {
    {"disposal 2 and 3, delays, the canvas cleared before frame 0 repeats",
     4,
     4,
     {
         {0, 0, 4, 4, 0, 1, "RRR.RRRRRRRRRRRR"},  // leave in place; delay 0
         {1, 1, 2, 2, 1, 2, "GGGG"},              // restore to transparent; delay 1
         {2, 2, 2, 2, 2, 3, "BBBB"},              // restore to before; delay 2
         {3, 0, 1, 1, 50, 0, "G"},                // paints where frame 0 left a hole
     },
     {
         {"RRR./RRRR/RRRR/RRRR", 100},
         {"RRR./RGGR/RGGR/RRRR", 100},
         {"RRR./R..R/R.BB/RRBB", 20},
         {"RRRG/R..R/R..R/RRRR", 500},
         {"RRR./RRRR/RRRR/RRRR", 100},
         {"RRR./RGGR/RGGR/RRRR", 100},
     }},
    {"frames clipped to the logical screen",
     4,
     4,
     {
         {0, 0, 4, 4, 10, 0, "RRRRRRRRRRRRRRRR"},
         {2, 2, 3, 3, 10, 2, "BBBBBBBBB"},  // partly outside, then cleared
         {10, 10, 2, 2, 10, 2, "GGGG"},     // wholly outside: nothing drawn or cleared
         {3, 0, 2, 2, 10, 0, "GGGG"},       // partly outside to the right
     },
     {
         {"RRRR/RRRR/RRRR/RRRR", 100},
         {"RRRR/RRRR/RRBB/RRBB", 100},
         {"RRRR/RRRR/RR../RR..", 100},
         {"RRRG/RRRG/RR../RR..", 100},
         {"RRRR/RRRR/RRRR/RRRR", 100},
     }},
};

void RunSteps(Picture* pic, const Scenario& s) {
  ASSERT_EQ(pic->width, static_cast<int>(s.w));
  ASSERT_EQ(pic->height, static_cast<int>(s.h));
  EXPECT_TRUE(picture_animated(pic));
  EXPECT_EQ(pic->frameCount, s.frames.size());
  for (std::size_t i = 0; i < s.steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    if (i > 0) {
      ASSERT_TRUE(picture_advance(pic));
    }
    EXPECT_EQ(pic->currentFrame, i % s.frames.size());
    EXPECT_EQ(Canvas(pic), s.steps[i].canvas);
    EXPECT_EQ(picture_delay_ms(pic), s.steps[i].delayMs);
    ExpectShownIsCanvasOnCheckerboard(pic);
  }
}

TEST(GifAnimation, ScenariosComposedFromFrames) {
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    PicturePtr pic = StandIn(static_cast<int>(s.w), static_cast<int>(s.h), s.frames);
    RunSteps(pic.get(), s);
  }
}

TEST(GifAnimation, ScenariosDecodedFromGifBytes) {
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    img::HResult hr = img::kOk;
    PicturePtr pic = Decoded(s.w, s.h, s.frames, &hr);
    ASSERT_TRUE(pic) << std::hex << hr;
    RunSteps(pic.get(), s);
  }
}

TEST(GifAnimation, HoleShowsTheCheckerboard) {
  PicturePtr pic = StandIn(4, 4, kScenarios[0].frames);
  ASSERT_TRUE(picture_advance(pic.get()));
  ASSERT_TRUE(picture_advance(pic.get()));
  EXPECT_EQ(CanvasAt(pic.get(), 1, 1), 0u);
  EXPECT_EQ(ShownAt(pic.get(), 1, 1), kEven);
  EXPECT_EQ(ShownAt(pic.get(), 0, 1), Colour('R'));
}

TEST(GifAnimation, TranslucentFramesComposePremultiplied) {
  // Over opaque (B10,G20,R30) a pixel (B40,G20,R10) at alpha 64 gives
  // B 7+40, G 15+20, R 22+10 and alpha 64+191; over nothing it stays itself.
  PicturePtr pic = StandIn(2, 1, {{0, 0, 2, 1, 10, 0, "o."}, {0, 0, 2, 1, 10, 0, "hh"}});
  EXPECT_EQ(ShownAt(pic.get(), 0, 0), 0xFF1E140Au);
  EXPECT_EQ(ShownAt(pic.get(), 1, 0), kEven);
  ASSERT_TRUE(picture_advance(pic.get()));
  EXPECT_EQ(CanvasAt(pic.get(), 0, 0), 0xFF20232Fu);
  EXPECT_EQ(CanvasAt(pic.get(), 1, 0), 0x400A1428u);
  EXPECT_EQ(ShownAt(pic.get(), 0, 0), 0xFF20232Fu);
  // on display the translucent pixel sits on the even cell: B 40+31, G 20+25, R 10+22
  EXPECT_EQ(ShownAt(pic.get(), 1, 0), 0xFF202D47u);
}

TEST(GifAnimation, DelaysBelowTwentyMillisecondsPlayAtOneHundred) {
  const std::uint32_t delays[][2] = {{0, 100},  {1, 100},    {2, 20},        {3, 30},
                                     {10, 100}, {100, 1000}, {65535, 655350}};
  std::vector<AnimFrame> frames;
  for (const auto& d : delays) frames.push_back({0, 0, 1, 1, d[0], 0, "R"});
  PicturePtr pic = StandIn(1, 1, frames);
  for (std::uint32_t i = 0; i < frames.size(); ++i) {
    ASSERT_TRUE(decode_internal::GifCompose(pic.get(), i));
    EXPECT_EQ(picture_delay_ms(pic.get()), delays[i][1]) << delays[i][0];
  }
}

TEST(GifAnimation, FrameWithoutMetadataSitsAtTheOriginForOneHundredMilliseconds) {
  PicturePtr pic = StandIn(3, 3, {{0, 0, 3, 3, 0, 0, "RRRRRRRRR"}, {2, 2, 2, 2, 7, 2, "GGGG"}},
                           /*withMetadata=*/false);
  ASSERT_TRUE(picture_advance(pic.get()));
  EXPECT_EQ(Canvas(pic.get()), "GGR/GGR/RRR");
  EXPECT_EQ(pic->frameLeft, 0);
  EXPECT_EQ(pic->frameTop, 0);
  EXPECT_EQ(pic->disposal, 0u);
  EXPECT_EQ(picture_delay_ms(pic.get()), 100u);
}

TEST(GifAnimation, FrameThatFailsStopsTheAnimationOnTheLastGoodOne) {
  for (auto broken : {AnimFrame::kPixels, AnimFrame::kMissing}) {
    SCOPED_TRACE(broken == AnimFrame::kPixels ? "pixels fail" : "frame missing");
    AnimFrame bad = {0, 0, 2, 2, 10, 0, "BBBB"};
    bad.broken = broken;
    PicturePtr pic = StandIn(2, 2,
                             {{0, 0, 2, 2, 10, 0, "RRRR"},
                              {0, 0, 2, 2, 30, 0, "GGGG"},
                              bad,
                              {0, 0, 2, 2, 10, 0, "BBBB"}});
    ASSERT_TRUE(picture_advance(pic.get()));
    EXPECT_FALSE(picture_advance(pic.get()));
    EXPECT_FALSE(picture_animated(pic.get()));
    EXPECT_EQ(pic->decoder, nullptr);
    EXPECT_EQ(pic->currentFrame, 1u);
    EXPECT_EQ(picture_delay_ms(pic.get()), 300u);
    EXPECT_EQ(ShownAt(pic.get(), 1, 1), Colour('G'));
    EXPECT_FALSE(picture_advance(pic.get()));
    EXPECT_EQ(ShownAt(pic.get(), 1, 1), Colour('G'));
  }
}

TEST(GifAnimation, OversizedOrEmptyFramesAreRefusedBeforeDecoding) {
  // 20000 × 20000 is above the 300,000,000-pixel limit.
  for (auto [w, h] : {std::pair<std::uint32_t, std::uint32_t>{20000, 20000}, {0, 5}, {5, 0}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    int copies = 0;
    PicturePtr pic = StandIn(2, 2, {{0, 0, 2, 2, 10, 0, "RRRR"}, {0, 0, w, h, 10, 0, ""}},
                             /*withMetadata=*/true, &copies);
    EXPECT_EQ(copies, 1);
    EXPECT_FALSE(picture_advance(pic.get()));
    EXPECT_EQ(copies, 1);
    EXPECT_LT(pic->scratch.capacity(), 1024u);
    EXPECT_FALSE(picture_animated(pic.get()));
    EXPECT_EQ(Canvas(pic.get()), "RR/RR");
  }
}

TEST(GifAnimation, AStepTouchesWhatItsFramesCoverNotTheScreen) {
  // Small frames far apart on a 300 × 200 screen, one of each disposal.
  const int W = 300, H = 200;
  PicturePtr pic = StandIn(W, H,
                           {{5, 5, 1, 1, 10, 1, "R"},         // left in place
                            {290, 190, 2, 2, 10, 3, "BBBB"},  // restored to before
                            {150, 100, 3, 1, 10, 2, "GGG"},   // restored to transparent
                            {296, 197, 8, 8, 10, 0, std::string(64, 'G')}});  // mostly outside
  // A step clears and restores at most the last frame's rectangle, clears what
  // a loop drew when the first frame repeats, draws the new frame and shows
  // those rectangles: a few times the frames' pixels, never the screen's.
  const std::uint64_t framePixels = 1 + 4 + 3 + 4 * 3;
  for (int step = 1; step <= 9; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    ASSERT_TRUE(picture_advance(pic.get()));
    EXPECT_GT(pic->pixelsTouched, 0u);
    EXPECT_LE(pic->pixelsTouched, 4 * framePixels);
    // The buffers kept: the canvas, and for restoring only the frame's
    // rectangle of it.
    EXPECT_EQ(pic->canvas.size(), static_cast<std::size_t>(W) * H * 4);
    if (pic->currentFrame == 1) {
      EXPECT_EQ(pic->saved.size(), 2u * 2 * 4);
    }
    EXPECT_LE(pic->scratch.size(), 8u * 8 * 4);
    ExpectShownIsCanvasOnCheckerboard(pic.get());
  }
  // Step 9 is frame 1 again: frame 0's red stays, the rest of the last loop
  // is gone.
  EXPECT_EQ(pic->currentFrame, 1u);
  EXPECT_EQ(Letter(CanvasAt(pic.get(), 5, 5)), 'R');
  EXPECT_EQ(Letter(CanvasAt(pic.get(), 291, 191)), 'B');
  EXPECT_EQ(Letter(CanvasAt(pic.get(), 297, 198)), '.');
  EXPECT_EQ(Letter(CanvasAt(pic.get(), 151, 100)), '.');
}

TEST(GifAnimation, TinyFramesOnAHugeScreenStepCheaply) {
  // Two 1 × 1 frames on a 3000 × 2000 logical screen, read from GIF bytes.
  PicturePtr pic = Decoded(3000, 2000, {{0, 0, 1, 1, 10, 0, "R"}, {2999, 1999, 1, 1, 10, 2, "B"}});
  ASSERT_TRUE(pic);
  for (int step = 1; step <= 4; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    ASSERT_TRUE(picture_advance(pic.get()));
    EXPECT_LE(pic->pixelsTouched, 8u);
  }
  EXPECT_EQ(pic->currentFrame, 0u);
  EXPECT_EQ(ShownAt(pic.get(), 0, 0), Colour('R'));
  EXPECT_EQ(ShownAt(pic.get(), 2999, 1999), ((2999 / 12 + 1999 / 12) & 1) ? kOdd : kEven);
  EXPECT_TRUE(pic->saved.empty());
}

TEST(GifAnimation, OnlyAnimationsAdvance) {
  PicturePtr one = StandIn(1, 1, {{0, 0, 1, 1, 10, 0, "R"}});
  EXPECT_FALSE(picture_animated(one.get()));
  EXPECT_FALSE(picture_advance(one.get()));
  PicturePtr still(new Picture);
  ASSERT_TRUE(decode_internal::AllocPixels(still.get(), 2, 2));
  still->frameCount = 5;  // no decoder: a still picture whatever the count says
  EXPECT_FALSE(picture_animated(still.get()));
  EXPECT_FALSE(picture_advance(still.get()));
  EXPECT_FALSE(picture_advance(nullptr));
}

// --- whole files ---------------------------------------------------------------

TEST(GifAnimation, ZeroLogicalScreenTakesTheFirstFrameSize) {
  PicturePtr pic = Decoded(0, 0, {{0, 0, 3, 2, 10, 0, "RGBBGR"}, {0, 0, 3, 2, 10, 0, "BBBBBB"}});
  ASSERT_TRUE(pic);
  EXPECT_EQ(pic->width, 3);
  EXPECT_EQ(pic->height, 2);
  EXPECT_EQ(Canvas(pic.get()), "RGB/BGR");
  ASSERT_TRUE(picture_advance(pic.get()));
  EXPECT_EQ(Canvas(pic.get()), "BBB/BBB");
}

TEST(GifAnimation, CorruptThirdFrameStopsOnTheSecond) {
  AnimFrame corrupt = {0, 0, 2, 2, 10, 0, "BBBB"};
  corrupt.broken = AnimFrame::kPixels;
  PicturePtr pic = Decoded(2, 2,
                           {{0, 0, 2, 2, 10, 0, "RRRR"},
                            {0, 0, 2, 2, 20, 0, "GGGG"},
                            corrupt,
                            {0, 0, 2, 2, 10, 0, "BBBB"}});
  ASSERT_TRUE(pic);
  EXPECT_TRUE(picture_animated(pic.get()));
  EXPECT_EQ(Canvas(pic.get()), "RR/RR");
  ASSERT_TRUE(picture_advance(pic.get()));
  EXPECT_EQ(Canvas(pic.get()), "GG/GG");
  EXPECT_FALSE(picture_advance(pic.get()));
  EXPECT_FALSE(picture_animated(pic.get()));
  EXPECT_EQ(pic->currentFrame, 1u);
  EXPECT_EQ(ShownAt(pic.get(), 0, 0), Colour('G'));
  EXPECT_EQ(picture_delay_ms(pic.get()), 200u);
}

TEST(GifAnimation, CorruptFirstFrameFailsTheLoad) {
  AnimFrame corrupt = {0, 0, 2, 2, 10, 0, "RRRR"};
  corrupt.broken = AnimFrame::kPixels;
  img::HResult hr = img::kOk;
  PicturePtr pic = Decoded(2, 2, {corrupt, {0, 0, 2, 2, 10, 0, "GGGG"}}, &hr);
  EXPECT_FALSE(pic);
  EXPECT_TRUE(img::Failed(hr));
}

TEST(GifAnimation, OneFrameGifIsAStillPicture) {
  PicturePtr pic = Decoded(2, 1, {{0, 0, 2, 1, 10, 0, "R."}});
  ASSERT_TRUE(pic);
  EXPECT_FALSE(picture_animated(pic.get()));
  EXPECT_EQ(pic->decoder, nullptr);
  EXPECT_EQ(pic->frameCount, 0u);
  EXPECT_TRUE(pic->canvas.empty());
  EXPECT_EQ(picture_delay_ms(pic.get()), 0u);
  EXPECT_EQ(ShownAt(pic.get(), 0, 0), Colour('R'));
  EXPECT_EQ(ShownAt(pic.get(), 1, 0), kEven);
  EXPECT_FALSE(picture_advance(pic.get()));
}

// The picture on display as letters, rows separated by '/': a pixel that
// is its checkerboard cell reads '.'.
std::string Shown(const Picture* p) {
  std::string out;
  for (int y = 0; y < p->height; ++y) {
    if (y) out += '/';
    for (int x = 0; x < p->width; ++x) {
      const std::uint32_t v = ShownAt(p, x, y);
      out += v == (((x / 12 + y / 12) & 1) ? kOdd : kEven) ? '.' : Letter(v);
    }
  }
  return out;
}

struct OneFrameCase {
  const char* what;
  std::uint32_t w, h;
  std::vector<AnimFrame> frames;  // one
  std::string shown;
};

const OneFrameCase kOneFrameCases[] = {
    {"offset right and down", 4, 3, {{1, 1, 2, 2, 10, 0, "RGBR"}}, "..../.RG./.BR."},
    {"partly outside the screen: clipped", 3, 2, {{2, 1, 2, 2, 10, 0, "RGBR"}}, ".../..R"},
    {"wholly outside: nothing drawn", 2, 2, {{5, 0, 1, 1, 10, 0, "R"}}, "../.."},
    {"the screen exactly", 2, 1, {{0, 0, 2, 1, 10, 0, "R."}}, "R."},
    {"logical screen 0 x 0: the frame's size", 0, 0, {{0, 0, 2, 1, 10, 0, "GB"}}, "GB"},
    {"disposal and delay change nothing", 3, 1, {{1, 0, 1, 1, 0, 2, "B"}}, ".B."},
};

TEST(GifAnimation, OneFrameGifIsPlacedOnItsLogicalScreen) {
  for (const OneFrameCase& c : kOneFrameCases) {
    SCOPED_TRACE(c.what);
    PicturePtr pic = Decoded(c.w, c.h, c.frames);
    ASSERT_TRUE(pic);
    EXPECT_EQ(Shown(pic.get()), c.shown);
    // a still picture: no decoder, no animation state, no buffers kept
    EXPECT_FALSE(picture_animated(pic.get()));
    EXPECT_FALSE(picture_advance(pic.get()));
    EXPECT_EQ(pic->decoder, nullptr);
    EXPECT_EQ(pic->frameCount, 0u);
    EXPECT_EQ(picture_delay_ms(pic.get()), 0u);
    EXPECT_TRUE(pic->canvas.empty());
    EXPECT_EQ(pic->canvas.capacity(), 0u);
    EXPECT_TRUE(pic->scratch.empty());
    EXPECT_TRUE(pic->drawn.empty());
    EXPECT_TRUE(pic->pending.empty());
  }
}

TEST(GifAnimation, OneFrameGifForSavingKeepsTheScreenTransparent) {
  PicturePtr pic(new Picture);
  ASSERT_EQ(decode_internal::LoadBytes(pic.get(), Gif(4, 2, {{1, 0, 2, 2, 10, 0, "RG.B"}}),
                                       decode_internal::kBundledNone, /*forDisplay=*/false),
            img::kOk);
  ASSERT_EQ(pic->width, 4);
  ASSERT_EQ(pic->height, 2);
  const std::uint32_t expected[2][4] = {{0, Colour('R'), Colour('G'), 0}, {0, 0, Colour('B'), 0}};
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 4; ++x)
      EXPECT_EQ(ShownAt(pic.get(), x, y), expected[y][x]) << x << "," << y;
  }
  EXPECT_EQ(pic->decoder, nullptr);
  EXPECT_TRUE(pic->canvas.empty());
}

TEST(GifAnimation, OneFrameGifFilesWrittenByImageMagick) {
  // dec17_gif_offset.gif: a red 50 × 50 frame 25 pixels from the left of a
  // 75 × 50 screen; dec17_gif_clipped.gif: a blue 20 × 20 frame at (30, 20)
  // on a 40 × 30 screen, so only its 10 × 10 top-left corner shows.
  ASSERT_TRUE(decode_init());
  const struct {
    const char* file;
    int w, h;
    int left, top, right, bottom;  // the coloured rectangle on the screen
    char colour;
  } cases[] = {
      {"dec17_gif_offset.gif", 75, 50, 25, 0, 75, 50, 'R'},
      {"dec17_gif_clipped.gif", 40, 30, 30, 20, 40, 30, 'B'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    wchar_t err[256] = L"";
    PicturePtr pic(picture_load(testing_support::Fixture(c.file).c_str(), err, 256));
    ASSERT_TRUE(pic) << testing::PrintToString(std::wstring(err));
    EXPECT_FALSE(picture_animated(pic.get()));
    ASSERT_EQ(picture_width(pic.get()), c.w);
    ASSERT_EQ(picture_height(pic.get()), c.h);
    for (int y = 0; y < c.h; ++y) {
      for (int x = 0; x < c.w; ++x) {
        const bool inside = x >= c.left && x < c.right && y >= c.top && y < c.bottom;
        const std::uint32_t cell = ((x / 12 + y / 12) & 1) ? kOdd : kEven;
        ASSERT_EQ(ShownAt(pic.get(), x, y), inside ? Colour(c.colour) : cell) << x << "," << y;
      }
    }
  }
}

TEST(GifAnimation, FileWrittenByImageMagick) {
  // 6 × 4: red for 2/100 s, then blue for 50/100 s.
  ASSERT_TRUE(decode_init());
  wchar_t err[256] = L"";
  PicturePtr pic(picture_load(testing_support::Fixture("dec_anim.gif").c_str(), err, 256));
  ASSERT_TRUE(pic) << testing::PrintToString(std::wstring(err));
  EXPECT_TRUE(picture_animated(pic.get()));
  EXPECT_EQ(picture_width(pic.get()), 6);
  EXPECT_EQ(picture_height(pic.get()), 4);
  EXPECT_EQ(ShownAt(pic.get(), 5, 3), Colour('R'));
  EXPECT_EQ(picture_delay_ms(pic.get()), 20u);
  ASSERT_TRUE(picture_advance(pic.get()));
  EXPECT_EQ(ShownAt(pic.get(), 5, 3), Colour('B'));
  EXPECT_EQ(picture_delay_ms(pic.get()), 500u);
  ASSERT_TRUE(picture_advance(pic.get()));
  EXPECT_EQ(ShownAt(pic.get(), 0, 0), Colour('R'));
  EXPECT_EQ(pic->currentFrame, 0u);
}

}  // namespace
