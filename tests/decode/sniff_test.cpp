// Recognising WebP and AVIF from the first bytes of a file, before the
// library decoders get it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/decode_internal.h"
#include "tests/support/test_support.h"

namespace {

using decode_internal::Bundled;
using decode_internal::kBundledAvif;
using decode_internal::kBundledNone;
using decode_internal::kBundledWebp;

std::string Be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>((v >> 16) & 0xFF),
          static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}
std::string Le32(std::uint32_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
          static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}
std::string Zeros(std::size_t n) { return std::string(n, '\0'); }

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

struct SniffCase {
  const char* what;
  std::string bytes;
  Bundled expected;
};

const SniffCase kCases[] = {
    {"15 bytes of RIFF/WEBP are too few", "RIFF" + Le32(7) + "WEBP" + "VP8", kBundledNone},
    {"16 bytes of RIFF/WEBP", "RIFF" + Le32(8) + "WEBP" + "VP8 ", kBundledWebp},
    {"RIFF of another kind", "RIFF" + Le32(8) + "WAVE" + "fmt ", kBundledNone},
    {"WEBP without RIFF", "RIFX" + Le32(8) + "WEBP" + "VP8 ", kBundledNone},
    {"16 zero bytes", Zeros(16), kBundledNone},
    // ftyp: size, "ftyp", major brand, minor version, compatible brands
    {"major brand avif", Be32(24) + "ftyp" + "avif" + Zeros(4) + "mif1" + "miaf", kBundledAvif},
    {"major brand avis", Be32(16) + "ftyp" + "avis" + Zeros(4), kBundledAvif},
    {"avis among the compatible brands",
     Be32(28) + "ftyp" + "mif1" + Zeros(4) + "miaf" + "MA1B" + "avis", kBundledAvif},
    {"avif as the first compatible brand", Be32(20) + "ftyp" + "mif1" + Zeros(4) + "avif",
     kBundledAvif},
    {"the minor version is not a brand", Be32(24) + "ftyp" + "heic" + "avif" + "mif1" + "heic",
     kBundledNone},
    {"declared size 12 looks at the major brand only",
     Be32(12) + "ftyp" + "mif1" + "avif" + "avif" + "avif", kBundledNone},
    {"declared size 12 with major brand avif", Be32(12) + "ftyp" + "avif" + Zeros(4) + "mdat",
     kBundledAvif},
    {"declared size 11 is too small even for the major brand",
     Be32(11) + "ftyp" + "avif" + Zeros(4) + "avif", kBundledNone},
    {"a brand cut by the end of the box", Be32(18) + "ftyp" + "mif1" + Zeros(4) + "avif",
     kBundledNone},
    {"a brand after the box ends", Be32(20) + "ftyp" + "mif1" + Zeros(4) + "miaf" + "avif",
     kBundledNone},
    {"a declared size beyond the bytes: limited by them",
     Be32(0xFFFFFFF0u) + "ftyp" + "mif1" + Zeros(4) + "avif", kBundledAvif},
    {"a brand off the four-byte grid", Be32(28) + "ftyp" + "mif1" + Zeros(4) + "xx" + "avif" + "xx",
     kBundledNone},
    {"ftyp not at offset 4", "ftyp" + Be32(24) + "avif" + Zeros(4) + "avif", kBundledNone},
    {"another brand family", Be32(24) + "ftyp" + "heic" + Zeros(4) + "mif1" + "heic", kBundledNone},
};

TEST(Sniff, RecognisesWebpAndAvifByTheirFirstBytes) {
  for (const SniffCase& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::vector<std::uint8_t> b = Bytes(c.bytes);
    EXPECT_EQ(decode_internal::SniffBytes(b.data(), b.size()), c.expected);
  }
}

TEST(Sniff, EveryShorterPrefixOfAWebpHeaderIsUnrecognised) {
  const std::vector<std::uint8_t> b = Bytes("RIFF" + Le32(8) + "WEBP" + "VP8 ");
  for (std::size_t n = 0; n < b.size(); ++n) {
    EXPECT_EQ(decode_internal::SniffBytes(b.data(), n), kBundledNone) << n;
  }
  EXPECT_EQ(decode_internal::SniffBytes(nullptr, 64), kBundledNone);
}

class SniffFile : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing_support::ScratchDir("decode_sniff"); }
  std::wstring Write(const std::wstring& name, const std::string& bytes) {
    std::wstring path = dir_ + L"/" + name;
    testing_support::WriteBytes(path, Bytes(bytes));
    return path;
  }
  std::wstring dir_;
};

TEST_F(SniffFile, ReadsTheFileHead) {
  EXPECT_EQ(decode_internal::Sniff(dir_ + L"/missing.webp"), kBundledNone);
  EXPECT_EQ(decode_internal::Sniff(Write(L"short.webp", "RIFF" + Le32(7) + "WEBP" + "VP8")),
            kBundledNone);
  EXPECT_EQ(decode_internal::Sniff(Write(L"tiny.webp", "RIFF" + Le32(8) + "WEBP" + "VP8 ")),
            kBundledWebp);
  EXPECT_EQ(decode_internal::Sniff(testing_support::Fixture("dec_alpha.webp")), kBundledWebp);
  EXPECT_EQ(decode_internal::Sniff(testing_support::Fixture("dec_irot1.avif")), kBundledAvif);
  EXPECT_EQ(decode_internal::Sniff(testing_support::Fixture("dec_sequence.avif")), kBundledAvif);
  EXPECT_EQ(decode_internal::Sniff(testing_support::Fixture("dec_quad.jpg")), kBundledNone);
  EXPECT_EQ(decode_internal::Sniff(testing_support::Fixture("dec_alpha.png")), kBundledNone);
}

TEST_F(SniffFile, LooksNoFurtherThanSixtyFourBytes) {
  // Eleven other brands fill offsets 16 to 59; the twelfth brand ends at 64.
  std::string head = Be32(200) + "ftyp" + "mif1" + Zeros(4);
  for (int i = 0; i < 11; ++i) head += "miaf";
  const std::string within = head + "avif" + Zeros(32);
  const std::string beyond = head + "MA1B" + "avif" + Zeros(32);
  EXPECT_EQ(decode_internal::Sniff(Write(L"within.avif", within)), kBundledAvif);
  EXPECT_EQ(decode_internal::Sniff(Write(L"beyond.avif", beyond)), kBundledNone);
  // The bytes themselves do name the brand at 64.
  const std::vector<std::uint8_t> b = Bytes(beyond);
  EXPECT_EQ(decode_internal::SniffBytes(b.data(), b.size()), kBundledAvif);
}

}  // namespace
