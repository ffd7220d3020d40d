// The file-fact helpers: byte sizes as the shell shows them, and folders.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

TEST(ByteSizeTextTest, ThreeSignificantDigitsCut) {
  struct Case {
    std::uint64_t bytes;
    const wchar_t* text;
  } cases[] = {
      {0, L"0 bytes"},
      {532, L"532 bytes"},
      {1023, L"1023 bytes"},
      {1024, L"1.00 KB"},
      {1340, L"1.30 KB"},  // 1.308: cut, not rounded
      {2047, L"1.99 KB"},
      {23506, L"22.9 KB"},
      {1048575, L"1023 KB"},
      {2400016, L"2.28 MB"},
      {2400000000ull, L"2.23 GB"},
      {536870912ull, L"512 MB"},
      {0xFFFFFFFFFFFFFFFFull, L"15.9 EB"},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::ByteSizeText(c.bytes), c.text) << c.bytes;
}

TEST(ByteSizeTextTest, TheSystemAgreesOnOrdinarySizes) {
  for (std::uint64_t n : {532ull, 1340ull, 23506ull, 2400016ull}) {
    EXPECT_EQ(platform::FormatByteSize(n), platform::ByteSizeText(n)) << n;
  }
}

TEST(RemoveFileSpecTest, Paths) {
  struct Case {
    const wchar_t* path;
    const wchar_t* folder;
  } cases[] = {
      {L"C:\\dir\\a.jpg", L"C:\\dir"},
      {L"C:\\a.jpg", L"C:\\"},
      {L"C:a.jpg", L"C:"},
      {L"/home/u/a.jpg", L"/home/u"},
      {L"/a.jpg", L"/"},
      {L"a.jpg", L""},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::RemoveFileSpec(c.path), c.folder);
  // Long paths are cut to 259 characters first, which here drops the last
  // separator too.
  const std::wstring dir = L"C:\\" + std::wstring(250, L'a');
  EXPECT_EQ(platform::RemoveFileSpec(dir + L"\\b.jpg"), dir);
  EXPECT_EQ(platform::RemoveFileSpec(L"C:\\" + std::wstring(300, L'a') + L"\\b.jpg"), L"C:\\");
}

TEST(FileTimeToLocalTest, KnownInstant) {
  // 2024-05-06 12:00:00 UTC; any time zone keeps the date within a day.
  const std::uint64_t ft = (1714996800ull + 11644473600ull) * 10000000ull;
  platform::LocalTime t;
  ASSERT_TRUE(platform::FileTimeToLocal(ft, &t));
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.month, 5);
  EXPECT_GE(t.day, 5);
  EXPECT_LE(t.day, 7);
}

}  // namespace
