// A metadata save killed at any moment: the picture file holds its old bytes
// or all of the new ones, and at most the one temporary file of the save that
// was cut short lies beside it. POSIX only (the child is forked).
#ifndef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "meta/meta_internal.h"
#include "meta/parsers.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing_support::Fixture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

// A large JPEG (a few megabytes of noise) carrying the metadata segments of
// the fixture, so that a save spends real time in every step.
Bytes BigJpeg() {
  const std::uint32_t w = 1200, h = 800;
  Bytes bgr(std::size_t{w} * h * 3);
  std::mt19937 random(7);
  for (std::uint8_t& x : bgr) x = static_cast<std::uint8_t>(random());
  Bytes picture;
  EXPECT_EQ(img::EncodeJpeg(bgr.data(), w, h, std::size_t{w} * 3, 0.92f, &picture), img::kOk);
  const Bytes full = ReadBytes(Fixture("meta_full.jpg"));
  std::vector<meta::Seg> segs;
  std::uint64_t scan = 0;
  EXPECT_TRUE(meta::ParseJpeg(full, &segs, &scan));
  std::vector<Bytes> metadata;
  for (const meta::Seg& s : segs) {
    if (s.marker == 0xE1 || s.marker == 0xED || s.marker == 0xFE) {
      metadata.emplace_back(full.begin() + static_cast<std::ptrdiff_t>(s.offset),
                            full.begin() + static_cast<std::ptrdiff_t>(s.offset + s.size));
    }
  }
  Bytes out;
  EXPECT_TRUE(SpliceJpeg(picture, metadata, &out));
  return out;
}

const std::wstring kMake = L"/app1/ifd/{ushort=271}";

// Loads the file, sets the camera make and saves; true when saved.
bool SaveMake(const std::wstring& path, const std::wstring& make) {
  MetaDoc doc;
  if (!meta_load(path, &doc)) return false;
  for (MetaField& f : doc.fields) {
    if (f.key == kMake) f.value = make;
  }
  wchar_t err[512] = {};
  return meta_save(doc, err, 512);
}

std::vector<std::wstring> Others(const std::wstring& dir, const std::wstring& keep) {
  std::vector<std::wstring> names;
  for (const auto& e : fs::directory_iterator(fs::path(dir))) {
    if (e.path().filename().wstring() != keep) names.push_back(e.path().filename().wstring());
  }
  return names;
}

TEST(MetaSaveCrash, KilledAnywhereLeavesOneWholeFile) {
  constexpr int kKills = 100;
  const Bytes original = BigJpeg();
  ASSERT_GT(original.size(), 500000u);
  const std::wstring dir = ScratchDir("meta_save_crash");
  const std::wstring path = dir + L"/photo.jpg";

  // The two files the saves produce, made in this process first. The makes
  // have the fixture's length, so every save writes a file of one size.
  std::vector<Bytes> whole = {original};
  const std::wstring makes[2] = {L"Aorvane", L"Borvane"};
  for (const std::wstring& make : makes) {
    WriteBytes(path, original);
    ASSERT_TRUE(SaveMake(path, make));
    whole.push_back(ReadBytes(path));
  }
  // How long one load-and-save takes here sets the range of the delays only.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(SaveMake(path, makes[0]));
  const long long oneSave = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
  WriteBytes(path, original);

  int cutShort = 0;
  testing_support::KillAtRandomMoments(
      kKills, 20261210, std::max<long long>(2 * oneSave, 5000),
      [&](unsigned i) { return SaveMake(path, makes[i % 2]); },
      [&] {
        const Bytes now = ReadBytes(path);
        ASSERT_TRUE(std::find(whole.begin(), whole.end(), now) != whole.end())
            << "the file is neither the old nor a new one (" << now.size() << " bytes)";
        const std::vector<std::wstring> left = Others(dir, L"photo.jpg");
        ASSERT_LE(left.size(), 1u);
        if (!left.empty()) {
          // The next save would step over it; the next round starts clean.
          EXPECT_EQ(left[0], L"photo.jpg.saving");
          ASSERT_TRUE(platform::RemoveFile(dir + L"/" + left[0]));
          ++cutShort;
        }
      });
  RecordProperty("one_save_us", static_cast<int>(oneSave));
  RecordProperty("cut_short_with_temporary_file", cutShort);
}

}  // namespace
#endif
