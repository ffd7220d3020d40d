// Folder stepping: natural order, picture names and the target of a step.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
// windows.h first.
#include <shlwapi.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

#include "app/folder.h"

namespace {

std::vector<std::wstring> Sorted(std::vector<std::wstring> names) {
  std::sort(names.begin(), names.end(),
            [](const std::wstring& a, const std::wstring& b) { return LogicalCompare(a, b) < 0; });
  return names;
}

TEST(LogicalCompareTest, NaturalOrder) {
  struct Case {
    const wchar_t* a;
    const wchar_t* b;
    int sign;
  } cases[] = {
      {L"img2.png", L"img10.png", -1},
      {L"img10.png", L"img2.png", 1},
      {L"IMG1.png", L"img1.png", 0},  // letters without regard to case
      {L"a.png", L"B.png", -1},
      {L"img 3.png", L"img10.png", -1},  // a space sorts before digits
      {L"img_3.png", L"img3.png", -1},   // so does punctuation
      {L"img3.png", L"imga.png", -1},    // digits before letters
      {L"img2.png", L"img02.png", -1},   // equal values: fewer leading zeros first
      {L"img99999999999999999999.png", L"img100000000000000000000.png", -1},  // no overflow
      {L"abc", L"abcd", -1},
      {L"", L"", 0},
      {L"photo1-2", L"photo1-10", -1},
  };
  for (const Case& c : cases) {
    const int r = LogicalCompare(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << std::wstring(c.a).size();
    const int back = LogicalCompare(c.b, c.a);
    EXPECT_EQ((back > 0) - (back < 0), -c.sign);
  }
  EXPECT_EQ(Sorted({L"img2.png", L"img10.png", L"img1.png"}),
            (std::vector<std::wstring>{L"img1.png", L"img2.png", L"img10.png"}));
}

TEST(IsImageNameTest, Extensions) {
  EXPECT_TRUE(IsImageName(L"photo.JPG"));
  EXPECT_TRUE(IsImageName(L"a.b.webp"));
  EXPECT_TRUE(IsImageName(L"x.AVIF"));
  EXPECT_FALSE(IsImageName(L"README"));
  EXPECT_FALSE(IsImageName(L"photo.jpe"));
  EXPECT_FALSE(IsImageName(L"photo.png.txt"));
}

TEST(SiblingTargetTest, Steps) {
  const std::vector<std::wstring> list = {L"img1.png", L"img2.png", L"img10.png"};
  struct Case {
    const wchar_t* name;
    int step;
    int target;
  } cases[] = {
      {L"img1.png", 1, 1},
      {L"img10.png", 1, 0},  // wraps to the first
      {L"img1.png", -1, 2},
      {L"IMG2.PNG", -1, 0},  // names match without regard to case
      {L"img1.png", 2, -1},
      {L"img10.png", 3, -1},  // already first / last
      {L"img2.png", 2, 0},
      {L"img2.png", 3, 2},
      // gone: steps from where it would stand
      {L"img3.png", 1, 2},
      {L"img3.png", -1, 1},
      {L"img99.png", 1, 0},
      {L"img99.png", -1, 2},
      {L"img0.png", 1, 0},
      {L"img0.png", -1, 2},
      {L"zzz.txt", 2, 0},
      {L"zzz.txt", 3, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SiblingTarget(list, c.name, c.step, LogicalCompare), c.target)
        << std::wstring(c.name).size() << " step " << c.step;
  }
  const std::vector<std::wstring> one = {L"a.png"};
  EXPECT_EQ(SiblingTarget(one, L"a.png", 1, LogicalCompare), -1);
  EXPECT_EQ(SiblingTarget(one, L"a.png", -1, LogicalCompare), -1);
  EXPECT_EQ(SiblingTarget(one, L"b.png", 1, LogicalCompare), 0);
  EXPECT_EQ(SiblingTarget({}, L"a.png", 1, LogicalCompare), -1);
}

#ifdef _WIN32
// The shell's own order agrees on the ordinary names.
TEST(LogicalCompareTest, AgreesWithTheShell) {
  const wchar_t* const names[] = {L"img1.png", L"img2.png", L"img10.png", L"IMG3.png", L"a.png",
                                  L"B.png",    L"photo1-2", L"photo1-10", L"z9.gif",   L"z10.gif"};
  for (const wchar_t* a : names) {
    for (const wchar_t* b : names) {
      const int ours = LogicalCompare(a, b);
      const int shell = StrCmpLogicalW(a, b);
      EXPECT_EQ((ours > 0) - (ours < 0), (shell > 0) - (shell < 0))
          << std::wstring(a).size() << " " << std::wstring(b).size();
    }
  }
}
#endif

}  // namespace
