// picture_load: the messages it gives, its error buffer, the start-up flag,
// the fall-back from the library decoders to the general ones, the frame an
// icon shows and the formats that keep their alpha.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "decode/decode_internal.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Fixture;
using testing_support::ReadBytes;
using testing_support::WriteBytes;

struct PictureFree {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureFree>;

// Pixel (x, y) as 0xAARRGGBB.
std::uint32_t Px(const Picture* p, int x, int y) {
  const std::uint8_t* q =
      picture_bits(p) + (static_cast<std::size_t>(y) * picture_width(p) + x) * 4;
  return (static_cast<std::uint32_t>(q[3]) << 24) | (q[2] << 16) | (q[1] << 8) | q[0];
}

const std::wstring kGeneric1 = L"Couldn\u2019t read \u201C";
const std::wstring kGeneric2 = L"\u201D as an image.";

std::wstring Generic(const std::wstring& name) { return kGeneric1 + name + kGeneric2; }
std::wstring TooLarge(const std::wstring& name) {
  return L"\u201C" + name + L"\u201D is too large to display.";
}
std::wstring Heic(const std::wstring& name, const std::wstring& ext) {
  return L"Couldn\u2019t read \u201C" + name + L"\u201D. Windows may be missing the image " +
         L"extension for " + ext + L" files (free in the Microsoft Store).";
}

void PutBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

std::uint32_t Crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}

// The signature and IHDR of an 8-bit RGBA PNG of w × h pixels, and nothing
// else: enough for the header to be read, far too little to decode.
std::vector<std::uint8_t> PngHeader(std::uint32_t w, std::uint32_t h) {
  std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  PutBe32(out, 13);
  const std::size_t type = out.size();
  for (char c : std::string("IHDR")) out.push_back(static_cast<std::uint8_t>(c));
  PutBe32(out, w);
  PutBe32(out, h);
  for (std::uint8_t b : {8, 6, 0, 0, 0}) out.push_back(b);
  PutBe32(out, Crc32(out.data() + type, out.size() - type));
  return out;
}

class PictureLoad : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(decode_init()); }

  PicturePtr Load(const std::string& fixture) {
    wchar_t err[256] = L"";
    PicturePtr p(picture_load(Fixture(fixture).c_str(), err, 256));
    EXPECT_TRUE(p) << fixture << ": " << testing::PrintToString(std::wstring(err));
    return p;
  }
};

struct MessageCase {
  const wchar_t* name;
  enum Content { kMissing, kEmpty, kText, kHugePng } content;
  std::wstring expected;
};

TEST_F(PictureLoad, FailuresGiveOneMessageNamingTheFile) {
  const MessageCase cases[] = {
      {L"nothere.png", MessageCase::kMissing, Generic(L"nothere.png")},
      {L"README", MessageCase::kMissing, Generic(L"README")},
      {L"photo.HEIC", MessageCase::kMissing, Heic(L"photo.HEIC", L".HEIC")},
      {L"holiday.heif", MessageCase::kMissing, Heic(L"holiday.heif", L".heif")},
      {L"Mixed.HeIf", MessageCase::kText, Heic(L"Mixed.HeIf", L".HeIf")},
      {L"photo.heic.png", MessageCase::kMissing, Generic(L"photo.heic.png")},
      {L"photo.heics", MessageCase::kMissing, Generic(L"photo.heics")},
      {L"empty.png", MessageCase::kEmpty, Generic(L"empty.png")},
      {L"notes.jpg", MessageCase::kText, Generic(L"notes.jpg")},
      // 20000 × 20000 is 400,000,000 pixels, above the 300,000,000 limit
      {L"huge.png", MessageCase::kHugePng, TooLarge(L"huge.png")},
      // being too large wins over the missing extension
      {L"huge.heic", MessageCase::kHugePng, TooLarge(L"huge.heic")},
  };
  const std::wstring dir = testing_support::ScratchDir("decode_messages");
  for (const MessageCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
    const std::wstring path = dir + L"/" + c.name;
    switch (c.content) {
      case MessageCase::kMissing:
        break;
      case MessageCase::kEmpty:
        WriteBytes(path, {});
        break;
      case MessageCase::kText:
        WriteBytes(path, {'n', 'o', 't',  ' ', 'a', 'n', ' ', 'i', 'm', 'a',
                          'g', 'e', '\n', ' ', ' ', ' ', ' ', ' ', ' ', ' '});
        break;
      case MessageCase::kHugePng:
        WriteBytes(path, PngHeader(20000, 20000));
        break;
    }
    wchar_t err[300];
    std::fill(std::begin(err), std::end(err), L'#');
    Picture* p = picture_load(path.c_str(), err, 300);
    EXPECT_EQ(p, nullptr);
    picture_free(p);
    EXPECT_EQ(std::wstring(err), c.expected);
  }
}

TEST_F(PictureLoad, AreaLimitIsCheckedInSixtyFourBits) {
  // 65536 × 65536 wraps to 0 in 32 bits; 300,000,001 pixels is one too many.
  for (auto [w, h] : {std::pair<std::uint32_t, std::uint32_t>{65536, 65536},
                      {300000001, 1},
                      {1, 300000001},
                      {0x7FFFFFFF, 0x7FFFFFFF}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    PicturePtr pic(new Picture);
    EXPECT_EQ(decode_internal::LoadBytes(pic.get(), PngHeader(w, h), decode_internal::kBundledNone),
              img::kOutOfMemory);
    EXPECT_EQ(pic->bits, nullptr);
    EXPECT_EQ(pic->width, 0);
  }
}

TEST_F(PictureLoad, ShortBufferGetsATruncatedTerminatedMessage) {
  const std::wstring path = testing_support::ScratchDir("decode_short") + L"/missing.png";
  wchar_t err[12];
  std::fill(std::begin(err), std::end(err), L'#');
  EXPECT_EQ(picture_load(path.c_str(), err, 10), nullptr);
  EXPECT_EQ(std::wstring(err), L"Couldn\u2019t ");  // nine characters and the zero
  EXPECT_EQ(err[10], L'#');
  EXPECT_EQ(err[11], L'#');

  std::fill(std::begin(err), std::end(err), L'#');
  EXPECT_EQ(picture_load(path.c_str(), err, 1), nullptr);
  EXPECT_EQ(err[0], L'\0');
  EXPECT_EQ(err[1], L'#');

  // No usable buffer: the load fails silently and writes nothing.
  std::fill(std::begin(err), std::end(err), L'#');
  EXPECT_EQ(picture_load(path.c_str(), err, 0), nullptr);
  EXPECT_EQ(err[0], L'#');
  EXPECT_EQ(picture_load(path.c_str(), nullptr, 10), nullptr);
}

TEST_F(PictureLoad, SuccessLeavesTheBufferEmpty) {
  wchar_t err[64];
  std::fill(std::begin(err), std::end(err), L'#');
  PicturePtr p(picture_load(Fixture("dec_quad.jpg").c_str(), err, 64));
  ASSERT_TRUE(p);
  EXPECT_EQ(err[0], L'\0');
  EXPECT_EQ(picture_width(p.get()), 32);
  EXPECT_EQ(picture_height(p.get()), 16);
  EXPECT_FALSE(picture_animated(p.get()));
  EXPECT_EQ(picture_delay_ms(p.get()), 0u);
  EXPECT_FALSE(picture_advance(p.get()));
  // A successful load needs no buffer at all.
  PicturePtr q(picture_load(Fixture("dec_quad.jpg").c_str(), nullptr, 0));
  EXPECT_TRUE(q);
}

TEST_F(PictureLoad, NullPathFailsWithAnEmptyName) {
  wchar_t err[64];
  EXPECT_EQ(picture_load(nullptr, err, 64), nullptr);
  EXPECT_EQ(std::wstring(err), Generic(L""));
}

TEST_F(PictureLoad, NothingDecodesOutsideInitAndShutdown) {
  decode_shutdown();
  wchar_t err[128];
  Picture* p = picture_load(Fixture("dec_quad.jpg").c_str(), err, 128);
  const bool loaded = p != nullptr;
  picture_free(p);
  ASSERT_TRUE(decode_init());
  EXPECT_FALSE(loaded);
  EXPECT_EQ(std::wstring(err), Generic(L"dec_quad.jpg"));
  // and after a second init everything works again
  EXPECT_TRUE(Load("dec_quad.jpg"));
}

TEST_F(PictureLoad, LibraryRefusalFallsBackToTheGeneralDecoders) {
  // A PNG that was taken for WebP or AVIF still loads.
  for (auto kind : {decode_internal::kBundledWebp, decode_internal::kBundledAvif}) {
    PicturePtr pic(new Picture);
    EXPECT_EQ(decode_internal::LoadBytes(pic.get(), ReadBytes(Fixture("dec_rgb16.png")), kind),
              img::kOk);
    EXPECT_EQ(pic->width, 2);
    EXPECT_EQ(pic->height, 1);
    ASSERT_NE(pic->bits, nullptr);
    EXPECT_EQ(Px(pic.get(), 0, 0), 0xFF1280FEu);
  }
  PicturePtr none(new Picture);
  EXPECT_TRUE(
      img::Failed(decode_internal::LoadBytes(none.get(), {}, decode_internal::kBundledWebp)));
  EXPECT_EQ(none->bits, nullptr);
}

TEST_F(PictureLoad, JpegIsNotComposited) {
  PicturePtr p = Load("dec_quad.jpg");
  ASSERT_TRUE(p);
  auto d = testing_support::DecodeFixture("dec_quad.jpg", 0, img::PixelFormat::Pbgra32);
  ASSERT_EQ(d.hr, img::kOk);
  ASSERT_EQ(d.bgra.size(), 32u * 16 * 4);
  EXPECT_EQ(std::memcmp(picture_bits(p.get()), d.bgra.data(), d.bgra.size()), 0);
}

TEST_F(PictureLoad, BmpWithAlphaKeepsItsAlpha) {
  PicturePtr p = Load("dec_alpha.bmp");
  ASSERT_TRUE(p);
  ASSERT_EQ(picture_width(p.get()), 24);
  ASSERT_EQ(picture_height(p.get()), 12);
  // straight (200,100,50) at alpha 127, premultiplied and left so
  EXPECT_EQ(Px(p.get(), 0, 0), 0x7F643219u);
  EXPECT_EQ(Px(p.get(), 12, 0), 0x00000000u);
  EXPECT_EQ(Px(p.get(), 5, 5), 0xFF0A141Eu);
  EXPECT_EQ(Px(p.get(), 23, 11), 0xFF0A141Eu);
}

TEST_F(PictureLoad, IconShowsTheLaterOfItsLargestImages) {
  // 16 × 16 red, 256 × 256 lime, 256 × 256 blue
  PicturePtr p = Load("dec_pick.ico");
  ASSERT_TRUE(p);
  EXPECT_EQ(picture_width(p.get()), 256);
  EXPECT_EQ(picture_height(p.get()), 256);
  EXPECT_EQ(Px(p.get(), 0, 0), 0xFF0000FFu);
  EXPECT_EQ(Px(p.get(), 255, 255), 0xFF0000FFu);
}

// A decoder whose frames have given sizes; a size of 0 × 0 fails GetFrame.
class SizedFrame : public img::Frame {
 public:
  SizedFrame(std::uint32_t w, std::uint32_t h) : w_(w), h_(h) {}
  std::uint32_t Width() const override { return w_; }
  std::uint32_t Height() const override { return h_; }
  img::PixelFormat NativeFormat() const override { return img::PixelFormat::Bgra32; }
  img::HResult CopyPixels(img::PixelFormat, std::uint8_t*, std::size_t, std::size_t) override {
    return img::kFail;
  }

 private:
  std::uint32_t w_, h_;
};

class SizedDecoder : public img::Decoder {
 public:
  SizedDecoder(img::Container c, std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes)
      : container_(c), sizes_(std::move(sizes)) {}
  img::Container GetContainerFormat() const override { return container_; }
  std::uint32_t GetFrameCount() const override { return static_cast<std::uint32_t>(sizes_.size()); }
  img::HResult GetFrame(std::uint32_t i, std::unique_ptr<img::Frame>* out) override {
    ++gets;
    out->reset();
    if (i >= sizes_.size()) return img::kInvalidArg;
    if (sizes_[i].first == 0) return img::kErrBadImage;
    *out = std::make_unique<SizedFrame>(sizes_[i].first, sizes_[i].second);
    return img::kOk;
  }
  int gets = 0;

 private:
  img::Container container_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes_;
};

TEST(PickFrame, LargestIconImageAndTheLaterOfEqualOnes) {
  using img::Container;
  struct Case {
    const char* what;
    Container container;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"16, 256, 256", Container::Ico, {{16, 16}, {256, 256}, {256, 256}}, 2},
      {"largest in the middle", Container::Ico, {{16, 16}, {256, 256}, {48, 48}}, 1},
      {"largest first", Container::Ico, {{48, 48}, {32, 32}, {16, 16}}, 0},
      {"equal areas of other shapes", Container::Ico, {{64, 16}, {16, 64}, {32, 32}}, 2},
      {"an unreadable entry counts as empty", Container::Ico, {{0, 0}, {1, 1}}, 1},
      {"an unreadable last entry", Container::Ico, {{2, 2}, {0, 0}}, 0},
      // 65536 × 65536 is 0 in 32 bits
      {"areas in 64 bits", Container::Ico, {{65536, 65536}, {100000, 1}}, 0},
      {"not an icon: the first frame", Container::Tiff, {{1, 1}, {99, 99}}, 0},
      {"GIF: the first frame", Container::Gif, {{1, 1}, {99, 99}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SizedDecoder d(c.container, c.sizes);
    EXPECT_EQ(decode_internal::PickFrame(d, c.container, d.GetFrameCount()), c.expected);
  }
  // One frame is taken as it is, without being opened.
  SizedDecoder single(Container::Ico, {{8, 8}});
  EXPECT_EQ(decode_internal::PickFrame(single, Container::Ico, 1), 0u);
  EXPECT_EQ(single.gets, 0);
}

// Answers sizes as an icon does, from its headers, and counts what it is asked.
class HeaderSizedDecoder : public SizedDecoder {
 public:
  using SizedDecoder::SizedDecoder;
  img::HResult GetFrameSize(std::uint32_t i, std::uint32_t* w, std::uint32_t* h) override {
    ++sizes;
    std::unique_ptr<img::Frame> f;
    const img::HResult hr = SizedDecoder::GetFrame(i, &f);
    --gets;  // not a frame the picker built
    if (img::Failed(hr)) return hr;
    *w = f->Width();
    *h = f->Height();
    return img::kOk;
  }
  int sizes = 0;
};

TEST(PickFrame, RanksIconEntriesByTheirHeadersAndOnlyTheFirstThousand) {
  // 65,535 entries: 1 × 1 throughout, 64 × 64 at 1,023 (the last one ranked),
  // 48 × 48 at 500, and far larger ones past the ranked part.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes(65535, {1, 1});
  sizes[500] = {48, 48};
  sizes[1023] = {64, 64};
  sizes[1024] = {256, 256};
  sizes[65534] = {256, 256};
  HeaderSizedDecoder d(img::Container::Ico, sizes);
  EXPECT_EQ(decode_internal::PickFrame(d, img::Container::Ico, d.GetFrameCount()), 1023u);
  EXPECT_EQ(d.gets, 0);  // no frame built to rank
  EXPECT_EQ(d.sizes, 1024);

  // A few entries are all ranked, by the same rule as before.
  HeaderSizedDecoder few(img::Container::Ico, {{16, 16}, {0, 0}, {32, 32}, {32, 32}, {8, 8}});
  EXPECT_EQ(decode_internal::PickFrame(few, img::Container::Ico, 5), 3u);
  EXPECT_EQ(few.gets, 0);
  EXPECT_EQ(few.sizes, 5);
}

// A 1-bit icon DIB of n × n pixels, every pixel palette colour 1.
std::vector<std::uint8_t> IconDib(std::uint32_t n, std::uint32_t rgb) {
  std::vector<std::uint8_t> d;
  using testing_support::Put16;
  using testing_support::Put32;
  const std::size_t row = (n + 31) / 32 * 4;
  Put32(&d, 40);
  Put32(&d, n);
  Put32(&d, n * 2);
  Put16(&d, 1);
  Put16(&d, 1);
  for (int k = 0; k < 4; ++k) Put32(&d, 0);  // compression, image size, resolution
  Put32(&d, 2);                              // colours used
  Put32(&d, 0);
  Put32(&d, 0);  // palette: black, then the colour
  Put32(&d, rgb);
  d.insert(d.end(), row * n, 0xFF);  // colour rows
  d.insert(d.end(), row * n, 0x00);  // AND mask: all shown
  return d;
}

TEST_F(PictureLoad, IconOfManyEntriesShowsTheLargestOfTheRankedOnes) {
  // 1,100 directory entries: 0 .. 1,022 share one 2 × 2 red image, 1,023 is a
  // 2 × 2 green one and 1,024 .. 1,099 a 4 × 4 blue one, never ranked.
  const std::vector<std::uint8_t> red = IconDib(2, 0xFF0000), green = IconDib(2, 0x00FF00),
                                  blue = IconDib(4, 0x0000FF);
  const std::uint32_t count = 1100;
  const std::uint32_t data = 6 + 16 * count;
  std::vector<std::uint8_t> ico;
  testing_support::Put16(&ico, 0);
  testing_support::Put16(&ico, 1);
  testing_support::Put16(&ico, count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::vector<std::uint8_t>& img = i < 1023 ? red : i == 1023 ? green : blue;
    const std::uint32_t at = i < 1023 ? data
                             : i == 1023
                                 ? data + static_cast<std::uint32_t>(red.size())
                                 : data + static_cast<std::uint32_t>(red.size() + green.size());
    for (int k = 0; k < 4; ++k) ico.push_back(0);
    testing_support::Put16(&ico, 1);
    testing_support::Put16(&ico, 1);
    testing_support::Put32(&ico, static_cast<std::uint32_t>(img.size()));
    testing_support::Put32(&ico, at);
  }
  for (const auto* part : {&red, &green, &blue}) ico.insert(ico.end(), part->begin(), part->end());

  PicturePtr pic(new Picture);
  ASSERT_EQ(decode_internal::LoadBytes(pic.get(), ico, decode_internal::kBundledNone), img::kOk);
  EXPECT_EQ(pic->width, 2);
  EXPECT_EQ(pic->height, 2);
  EXPECT_EQ(Px(pic.get(), 1, 1), 0xFF00FF00u);
  // Save as reads the same entry.
  PicturePtr kept(new Picture);
  ASSERT_EQ(decode_internal::LoadBytes(kept.get(), ico, decode_internal::kBundledNone, false),
            img::kOk);
  EXPECT_EQ(Px(kept.get(), 0, 0), 0xFF00FF00u);
}

}  // namespace

namespace {

// Files cut short open: the rows that decoded as they are, the rest on the
// checkerboard, a JPEG too (whose whole pictures are never composited); the
// message buffer stays empty. A cut file that is far too small for its size
// is still refused with the generic message, not as too large.
TEST_F(PictureLoad, CutFilesShowTheirRowsOnTheCheckerboard) {
  const std::wstring dir = testing_support::ScratchDir("decode_cut");
  struct Case {
    const char* fixture;
    double keep;  // fraction of the picture data kept
  } cases[] = {{"dec17b_rows.jpg", 0.6}, {"dec17b_rows.png", 0.6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture);
    auto bytes = ReadBytes(Fixture(c.fixture));
    PicturePtr whole = Load(c.fixture);
    ASSERT_TRUE(whole);
    // the fraction is of the data after the last header
    std::size_t start = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
      if ((bytes[i] == 0xFF && bytes[i + 1] == 0xDA) || (bytes[i] == 'I' && bytes[i + 1] == 'D')) {
        start = i;
      }
    }
    bytes.resize(start +
                 static_cast<std::size_t>(static_cast<double>(bytes.size() - start) * c.keep));
    const std::wstring path = dir + L"/cut.bin";
    WriteBytes(path, bytes);
    wchar_t err[128] = L"x";
    PicturePtr cut(picture_load(path.c_str(), err, 128));
    ASSERT_TRUE(cut) << testing::PrintToString(std::wstring(err));
    EXPECT_EQ(err[0], L'\0');
    ASSERT_EQ(picture_width(cut.get()), picture_width(whole.get()));
    ASSERT_EQ(picture_height(cut.get()), picture_height(whole.get()));
    const int h = picture_height(cut.get());
    EXPECT_EQ(Px(cut.get(), 0, 0), Px(whole.get(), 0, 0));
    // the last row, on the checkerboard cell of its row
    const int y = h - 1;
    const std::uint32_t cell = ((y / 12) & 1) ? 0xFF2B303Au : 0xFF1D2129u;
    EXPECT_EQ(Px(cut.get(), 0, y), cell) << std::hex << Px(cut.get(), 0, y);
  }
  // The JPEG's frame header says 8000 × 8000: refused before decoding.
  auto jpeg = ReadBytes(Fixture("dec17b_rows.jpg"));
  for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = jpeg[i + 7] = 0x1F;
      jpeg[i + 6] = jpeg[i + 8] = 0x40;
      break;
    }
  }
  const std::wstring path = dir + L"/big.jpg";
  WriteBytes(path, jpeg);
  wchar_t err[128];
  Picture* p = picture_load(path.c_str(), err, 128);
  EXPECT_EQ(p, nullptr);
  picture_free(p);
  EXPECT_EQ(std::wstring(err), Generic(L"big.jpg"));
  PicturePtr pic(new Picture);
  // not handed to the system's decoders either
  EXPECT_EQ(decode_internal::LoadBytes(pic.get(), jpeg, decode_internal::kBundledNone),
            img::kErrImageSizeOutOfRange);
  EXPECT_EQ(picture_bits(pic.get()), nullptr);
}

}  // namespace
