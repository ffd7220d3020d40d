// picture_save: the format by extension, the pixels it writes (the source
// decoded again without the checkerboard, the animation frame on display,
// the picture as shown when the source is gone), transparency kept or laid
// on white, the temporary names next to the destination and the files it
// must never touch, and its messages. Natively ImageMagick reads every file
// written as a second opinion.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "decode/decode_internal.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::DecodeBytes;
using testing_support::Decoded;
using testing_support::Fixture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::ShareBytes;
using testing_support::WriteBytes;

struct PictureFree {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureFree>;

const std::wstring kNothing = L"There is no picture to save.";
const std::wstring kType = L"That file type can't be written. Use PNG, JPEG, BMP, TIFF or GIF.";
const std::wstring kCreate =
    L"The file could not be created there. Check that the folder is writable.";
const std::wstring kReplace =
    L"The file could not be written there. It may be read-only or in use.";

// 0xAARRGGBB, straight alpha.
constexpr std::uint32_t kHalfRed = 0x80FF0000;  // premultiplied: red 128, alpha 128
constexpr std::uint32_t kClear = 0x00000000;
constexpr std::uint32_t kGreen = 0xFF00C800;
constexpr std::uint32_t kBack = 0xFF0A141E;

// The source picture: 24 × 24, so it spans two checkerboard cells each way;
// a half-transparent red pixel, a transparent 4 × 4 square, the rest opaque.
constexpr int kSide = 24;
std::uint32_t SourcePixel(int x, int y) {
  if (x == 0 && y == 0) return kHalfRed;
  if (x >= 4 && x < 8 && y >= 4 && y < 8) return kClear;
  if (x == 1 && y == 0) return kGreen;
  return kBack;
}

std::vector<std::uint8_t> SourcePng() {
  std::vector<std::uint8_t> bgra;
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      const std::uint32_t v = SourcePixel(x, y);
      for (int s : {0, 8, 16, 24}) bgra.push_back(static_cast<std::uint8_t>(v >> s));
    }
  }
  std::vector<std::uint8_t> png;
  EXPECT_EQ(img::EncodePng(bgra.data(), img::PixelFormat::Bgra32, kSide, kSide, kSide * 4, &png),
            img::kOk);
  return png;
}

std::wstring Join(const std::wstring& dir, const std::wstring& name) {
  return (fs::path(dir) / name).wstring();
}

std::vector<std::wstring> Listing(const std::wstring& dir) {
  std::vector<std::wstring> names;
  for (const auto& e : fs::directory_iterator(fs::path(dir))) {
    names.push_back(e.path().filename().wstring());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Decoded ReadBack(const std::wstring& path) { return DecodeBytes(ShareBytes(ReadBytes(path))); }

#ifndef _WIN32
// ImageMagick's view of a file: "width height channels colours" and its
// pixels as RGBA.
std::string Run(const std::string& command) {
  std::string out;
  FILE* f = popen(command.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  pclose(f);
  return out;
}

std::string Identify(const std::wstring& path) {
  return Run("identify -format '%w %h %[channels]' '" + platform::WideToUtf8(path) + "'");
}

std::string MagickRgba(const std::wstring& path) {
  return Run("convert '" + platform::WideToUtf8(path) + "' -depth 8 rgba:-");
}
#endif

class PictureSave : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(decode_init()); }

  // The source PNG written to a fresh folder and opened.
  PicturePtr Open(const std::string& folder) {
    dir_ = ScratchDir(folder);
    source_ = Join(dir_, L"source.png");
    WriteBytes(source_, SourcePng());
    wchar_t err[256] = L"";
    PicturePtr p(picture_load(source_.c_str(), err, 256));
    EXPECT_TRUE(p) << testing::PrintToString(std::wstring(err));
    return p;
  }

  bool Save(const Picture* p, const std::wstring& source, const std::wstring& dest) {
    wchar_t err[256] = L"left over";
    const bool ok = picture_save(p, source.c_str(), dest.c_str(), err, 256);
    message_ = err;
    return ok;
  }

  std::wstring dir_, source_, message_;
};

TEST(SaveFormat, ByExtensionWithoutRegardToCase) {
  const struct {
    const wchar_t* path;
    int format;
  } kCases[] = {
      {L"a.png", 1},    {L"C:\\x\\A.PNG", 1}, {L"b.jpg", 2},      {L"b.JPeG", 2},
      {L"/c/d.bmp", 3}, {L"e.tif", 4},        {L"e.TIFF", 4},     {L"f.gif", 5},
      {L"g.webp", 0},   {L"h.avif", 0},       {L"i.ico", 0},      {L"png", 0},
      {L"", 0},         {L"j.png.saving", 0}, {L"dir.png\\k", 0}, {L"dir.png/k", 0},
      {L"l.jpe", 0},    {L"m.pngx", 0},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(decode_internal::SaveFormatFor(c.path), c.format) << platform::WideToUtf8(c.path);
    EXPECT_EQ(picture_can_write(c.path), c.format != 0) << platform::WideToUtf8(c.path);
  }
  EXPECT_FALSE(picture_can_write(nullptr));
}

// Every format: the file read back by our decoders (and ImageMagick
// natively), with the transparency kept by PNG and TIFF and put on white by
// the others.
TEST_F(PictureSave, EveryFormatFromTheSourceWithoutTheCheckerboard) {
  PicturePtr p = Open("save_formats");
  ASSERT_TRUE(p);
  const struct {
    const wchar_t* name;
    img::Container container;
    bool alpha;
    int tolerance;
  } kCases[] = {
      {L"out.png", img::Container::Png, true, 0},     {L"out.TIFF", img::Container::Tiff, true, 0},
      {L"out.tif", img::Container::Tiff, true, 0},    {L"out.bmp", img::Container::Bmp, false, 0},
      {L"out.gif", img::Container::Gif, false, 0},    {L"out.jpg", img::Container::Jpeg, false, 12},
      {L"out.jpeg", img::Container::Jpeg, false, 12},
  };
  for (const auto& c : kCases) {
    const std::string what = platform::WideToUtf8(c.name);
    const std::wstring dest = Join(dir_, c.name);
    ASSERT_TRUE(Save(p.get(), source_, dest)) << what << " " << platform::WideToUtf8(message_);
    EXPECT_EQ(message_, L"") << what;
    const Decoded d = ReadBack(dest);
    ASSERT_EQ(d.hr, img::kOk) << what;
    EXPECT_EQ(d.container, c.container) << what;
    ASSERT_EQ(d.width, static_cast<std::uint32_t>(kSide)) << what;
    ASSERT_EQ(d.height, static_cast<std::uint32_t>(kSide)) << what;
    // JPEG is judged away from the single-pixel details it blurs: the flat
    // background and the middle of the transparent square, now white.
    std::vector<std::pair<int, int>> probes = {{2, 20}, {16, 16}, {23, 23}, {12, 3}};
    if (c.tolerance == 0) {
      probes.clear();
      for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) probes.push_back({x, y});
      }
    } else {
      probes.push_back({5, 5});
      probes.push_back({6, 6});
    }
    for (const auto& [x, y] : probes) {
      std::uint32_t want = SourcePixel(x, y);
      if (!c.alpha) {
        // Laid on white: each premultiplied channel plus 255 - alpha.
        if (want == kHalfRed) want = 0xFFFF7F7F;
        if (want == kClear) want = 0xFFFFFFFF;
      }
      const std::uint32_t got = d.At(x, y);
      bool same = true;
      for (int s : {0, 8, 16, 24}) {
        const int g = (got >> s) & 0xFF, w = (want >> s) & 0xFF;
        if (std::abs(g - w) > c.tolerance) same = false;
      }
      if (!same) {
        ADD_FAILURE() << what << " pixel " << x << "," << y << ": got " << std::hex << got
                      << ", want " << want;
        break;
      }
    }
#ifndef _WIN32
    // ImageMagick agrees on the size, the channels and every pixel.
    EXPECT_EQ(Identify(dest), std::string("24 24 ") + (c.alpha ? "srgba" : "srgb")) << what;
    const std::string rgba = MagickRgba(dest);
    ASSERT_EQ(rgba.size(), static_cast<std::size_t>(kSide * kSide * 4)) << what;
    for (std::size_t i = 0; i < rgba.size(); i += 4) {
      static constexpr int kSwap[4] = {2, 1, 0, 3};
      for (int k = 0; k < 4; ++k) {
        const int mine = d.bgra[i + kSwap[k]];
        const int theirs = static_cast<std::uint8_t>(rgba[i + k]);
        ASSERT_LE(std::abs(mine - theirs), c.tolerance ? 3 : 0) << what << " byte " << i + k;
      }
    }
#endif
  }
  // Nothing but the files asked for.
  EXPECT_EQ(Listing(dir_).size(), 1 + std::size(kCases));
}

TEST_F(PictureSave, HalfTransparentRedPixel) {
  PicturePtr p = Open("save_half_red");
  ASSERT_TRUE(p);
  const std::wstring png = Join(dir_, L"red.png"), bmp = Join(dir_, L"red.bmp");
  ASSERT_TRUE(Save(p.get(), source_, png));
  ASSERT_TRUE(Save(p.get(), source_, bmp));
  EXPECT_EQ(ReadBack(png).At(0, 0), 0x80FF0000u);  // red 255 at alpha 128
  EXPECT_EQ(ReadBack(bmp).At(0, 0), 0xFFFF7F7Fu);  // 128 + 127 and 0 + 127
}

TEST_F(PictureSave, OpaquePictureWritesRgbWithoutAlpha) {
  dir_ = ScratchDir("save_opaque");
  wchar_t err[256];
  PicturePtr p(picture_load(Fixture("dec_quad.jpg").c_str(), err, 256));
  ASSERT_TRUE(p);
  const std::wstring dest = Join(dir_, L"quad.png");
  ASSERT_TRUE(Save(p.get(), Fixture("dec_quad.jpg"), dest));
  const std::vector<std::uint8_t> bytes = ReadBytes(dest);
  ASSERT_GT(bytes.size(), 26u);
  EXPECT_EQ(bytes[25], 2) << "IHDR colour type";  // RGB
  const Decoded d = ReadBack(dest);
  ASSERT_EQ(d.hr, img::kOk);
  // The decoded JPEG pixels themselves.
  for (int y = 0; y < picture_height(p.get()); ++y) {
    for (int x = 0; x < picture_width(p.get()); ++x) {
      const std::uint8_t* q = picture_bits(p.get()) + (y * picture_width(p.get()) + x) * 4;
      ASSERT_EQ(0, std::memcmp(q, &d.bgra[(y * d.width + x) * 4], 4)) << x << "," << y;
    }
  }
#ifndef _WIN32
  EXPECT_EQ(Identify(dest), "32 16 srgb");
#endif
}

TEST_F(PictureSave, SourceGoneWritesThePictureAsShown) {
  PicturePtr p = Open("save_source_gone");
  ASSERT_TRUE(p);
  ASSERT_TRUE(platform::RemoveFile(source_));
  const std::wstring dest = Join(dir_, L"shown.png");
  ASSERT_TRUE(Save(p.get(), source_, dest)) << platform::WideToUtf8(message_);
  const Decoded d = ReadBack(dest);
  ASSERT_EQ(d.hr, img::kOk);
  ASSERT_EQ(d.bgra.size(), static_cast<std::size_t>(kSide * kSide * 4));
  EXPECT_EQ(0, std::memcmp(d.bgra.data(), picture_bits(p.get()), d.bgra.size()));
  // The checkerboard, where the picture is transparent: opaque and not white.
  EXPECT_EQ(d.At(5, 5), 0xFF1D2129u);
  // An empty source name means the same.
  const std::wstring dest2 = Join(dir_, L"shown2.png");
  ASSERT_TRUE(Save(p.get(), L"", dest2));
  EXPECT_EQ(ReadBytes(dest2), ReadBytes(dest));
}

TEST_F(PictureSave, AnimationWritesTheFrameOnDisplay) {
  dir_ = ScratchDir("save_animation");
  wchar_t err[256];
  const std::wstring source = Fixture("gif_anim.gif");
  PicturePtr p(picture_load(source.c_str(), err, 256));
  ASSERT_TRUE(p);
  ASSERT_TRUE(picture_advance(p.get()));
  ASSERT_TRUE(picture_advance(p.get()));  // the third frame: index 2
  const std::wstring dest = Join(dir_, L"frame.png");
  ASSERT_TRUE(Save(p.get(), source, dest)) << platform::WideToUtf8(message_);
  const Decoded d = ReadBack(dest);
  ASSERT_EQ(d.hr, img::kOk);
  ASSERT_EQ(d.width, 16u);
  ASSERT_EQ(d.height, 12u);
  // Frame 0 red over the screen; frame 1's lime square (4,2 6×5) cleared to
  // transparent by its disposal; frame 2 blue at 10,6 with a yellow corner.
  EXPECT_EQ(d.At(0, 0), 0xFFFF0000u);
  EXPECT_EQ(d.At(5, 3) >> 24, 0u);
  EXPECT_EQ(d.At(10, 6), 0xFFFFFF00u);
  EXPECT_EQ(d.At(12, 8), 0xFF0000FFu);
  EXPECT_EQ(d.At(15, 11), 0xFFFF0000u);
}

TEST_F(PictureSave, UnwritableTypeWritesNothing) {
  PicturePtr p = Open("save_webp");
  ASSERT_TRUE(p);
  EXPECT_FALSE(Save(p.get(), source_, Join(dir_, L"out.webp")));
  EXPECT_EQ(message_, kType);
  EXPECT_FALSE(Save(p.get(), source_, L""));
  EXPECT_EQ(message_, kType);
  EXPECT_EQ(Listing(dir_), std::vector<std::wstring>{L"source.png"});
}

TEST_F(PictureSave, NoPictureToSave) {
  dir_ = ScratchDir("save_nothing");
  const std::wstring dest = Join(dir_, L"out.png");
  EXPECT_FALSE(Save(nullptr, L"", dest));
  EXPECT_EQ(message_, kNothing);
  PicturePtr empty(new Picture);  // no pixels
  EXPECT_FALSE(Save(empty.get(), L"", dest));
  EXPECT_EQ(message_, kNothing);
  PicturePtr p = Open("save_nothing");
  ASSERT_TRUE(p);
  decode_shutdown();
  EXPECT_FALSE(Save(p.get(), source_, dest));
  EXPECT_EQ(message_, kNothing);
  ASSERT_TRUE(decode_init());
  EXPECT_EQ(Listing(dir_), std::vector<std::wstring>{L"source.png"});
  // A short buffer gets the message cut; a null one is left alone.
  wchar_t err[8];
  EXPECT_FALSE(picture_save(nullptr, nullptr, nullptr, err, 8));
  EXPECT_EQ(std::wstring(err), kNothing.substr(0, 7));
  EXPECT_FALSE(picture_save(nullptr, nullptr, nullptr, nullptr, 0));
}

TEST_F(PictureSave, ExistingTemporaryFileIsLeftAlone) {
  PicturePtr p = Open("save_temp_taken");
  ASSERT_TRUE(p);
  const std::wstring dest = Join(dir_, L"photo.png");
  const std::vector<std::uint8_t> theirs = {'n', 'o', 't', ' ', 'o', 'u', 'r', 's'};
  WriteBytes(dest + L".saving", theirs);
  ASSERT_TRUE(Save(p.get(), source_, dest)) << platform::WideToUtf8(message_);
  EXPECT_EQ(ReadBytes(dest + L".saving"), theirs);
  EXPECT_EQ(ReadBack(dest).container, img::Container::Png);
  // ".saving1" was used and moved into place.
  EXPECT_EQ(Listing(dir_),
            (std::vector<std::wstring>{L"photo.png", L"photo.png.saving", L"source.png"}));
}

TEST_F(PictureSave, LastTemporaryNameAndThenNone) {
  PicturePtr p = Open("save_temp_all");
  ASSERT_TRUE(p);
  const std::wstring dest = Join(dir_, L"photo.gif");
  std::vector<std::wstring> names;
  for (int i = 0; i < 100; ++i) {
    names.push_back(dest + L".saving" + (i ? std::to_wstring(i) : L""));
  }
  auto marker = [](int i) { return std::vector<std::uint8_t>{'m', static_cast<std::uint8_t>(i)}; };
  // ".saving" to ".saving98" taken: ".saving99" is the one left.
  for (int i = 0; i < 99; ++i) WriteBytes(names[i], marker(i));
  ASSERT_TRUE(Save(p.get(), source_, dest)) << platform::WideToUtf8(message_);
  EXPECT_EQ(ReadBack(dest).container, img::Container::Gif);
  EXPECT_FALSE(fs::exists(fs::path(names[99])));
  // All hundred taken: nothing is created, nothing changes.
  WriteBytes(names[99], marker(99));
  const std::vector<std::uint8_t> before = ReadBytes(dest);
  EXPECT_FALSE(Save(p.get(), source_, dest));
  EXPECT_EQ(message_, kCreate);
  EXPECT_EQ(ReadBytes(dest), before);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ReadBytes(names[i]), marker(i)) << i;
  EXPECT_EQ(Listing(dir_).size(), 102u);
}

TEST_F(PictureSave, ExistingDestinationIsReplaced) {
  PicturePtr p = Open("save_replace");
  ASSERT_TRUE(p);
  const std::wstring dest = Join(dir_, L"old.bmp");
  WriteBytes(dest, {'o', 'l', 'd'});
  ASSERT_TRUE(Save(p.get(), source_, dest)) << platform::WideToUtf8(message_);
  EXPECT_EQ(ReadBack(dest).container, img::Container::Bmp);
  EXPECT_EQ(Listing(dir_), (std::vector<std::wstring>{L"old.bmp", L"source.png"}));
}

#ifndef _WIN32
// A replaced file keeps its permissions: a private picture stays private.
TEST_F(PictureSave, ReplacedFileKeepsItsPermissions) {
  PicturePtr p = Open("save_keep_mode");
  ASSERT_TRUE(p);
  const std::wstring dest = Join(dir_, L"private.png");
  WriteBytes(dest, {'o', 'l', 'd'});
  fs::permissions(fs::path(dest), fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace);
  ASSERT_TRUE(Save(p.get(), source_, dest)) << platform::WideToUtf8(message_);
  EXPECT_EQ(ReadBack(dest).container, img::Container::Png);
  EXPECT_EQ(fs::status(fs::path(dest)).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}
#endif

TEST_F(PictureSave, FolderMissingOrDestinationAFolder) {
  PicturePtr p = Open("save_bad_place");
  ASSERT_TRUE(p);
  EXPECT_FALSE(Save(p.get(), source_, Join(Join(dir_, L"missing"), L"out.png")));
  EXPECT_EQ(message_, kCreate);
  // A folder by the destination's name cannot be replaced; the temporary
  // file goes again.
  const std::wstring folder = Join(dir_, L"taken.png");
  fs::create_directory(fs::path(folder));
  EXPECT_FALSE(Save(p.get(), source_, folder));
  EXPECT_EQ(message_, kReplace);
  EXPECT_TRUE(fs::is_directory(fs::path(folder)));
  EXPECT_EQ(Listing(dir_), (std::vector<std::wstring>{L"source.png", L"taken.png"}));
}

TEST_F(PictureSave, ReadOnlyDestinationIsLeftAlone) {
  PicturePtr p = Open("save_read_only");
  ASSERT_TRUE(p);
  const std::wstring dest = Join(dir_, L"locked.jpg");
  const std::vector<std::uint8_t> theirs = {'k', 'e', 'e', 'p'};
  WriteBytes(dest, theirs);
  fs::permissions(fs::path(dest),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const bool saved = Save(p.get(), source_, dest);
  const std::vector<std::uint8_t> after = ReadBytes(dest);
  const std::vector<std::wstring> listing = Listing(dir_);
  fs::permissions(fs::path(dest), fs::perms::owner_write, fs::perm_options::add);
  EXPECT_FALSE(saved);
  EXPECT_EQ(message_, kReplace);
  EXPECT_EQ(after, theirs);
  EXPECT_EQ(listing, (std::vector<std::wstring>{L"locked.jpg", L"source.png"}));
}

}  // namespace

namespace {

// The clipboard's PNG: the file decoded again with its transparency, every
// pixel as the source has it; nothing for a file that is gone.
TEST_F(PictureSave, FilePngKeepsTransparency) {
  PicturePtr p = Open("save_file_png");
  ASSERT_TRUE(p);
  std::vector<std::uint8_t> png;
  ASSERT_TRUE(picture_file_png(source_.c_str(), &png));
  const Decoded d = DecodeBytes(ShareBytes(png));
  ASSERT_EQ(d.hr, img::kOk);
  ASSERT_EQ(d.width, kSide);
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) ASSERT_EQ(d.At(x, y), SourcePixel(x, y)) << x << "," << y;
  }
  ASSERT_TRUE(platform::RemoveFile(source_));
  EXPECT_FALSE(picture_file_png(source_.c_str(), &png));
  EXPECT_TRUE(png.empty());
  EXPECT_FALSE(picture_file_png(nullptr, &png));
}

}  // namespace
