// Text helpers: UTF-8 out, 8-bit text in with the ANSI fallback, UTF-16LE
// bytes and key prefix tests, with characters outside the Basic
// Multilingual Plane on both builds.
#include <gtest/gtest.h>

#include <string>

#include "meta/meta.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// U+1F600, a surrogate pair on Windows and one character elsewhere.
const std::wstring kFace = L"\U0001F600";

// Whether the ANSI page is Windows-1252 (always natively; on Windows it
// depends on the system locale).
bool AnsiIs1252() {
#ifdef _WIN32
  return GetACP() == 1252;
#else
  return true;
#endif
}

TEST(MetaTextTest, ToUtf8) {
  const struct {
    std::wstring in;
    std::string out;
  } kCases[] = {
      {L"", ""},
      {L"abc", "abc"},
      {L"\u00E9", "\xC3\xA9"},
      {L"\u20AC", "\xE2\x82\xAC"},
      {kFace, "\xF0\x9F\x98\x80"},
      {L"a" + kFace + L"b",
       "a\xF0\x9F\x98\x80"
       "b"},
      {std::wstring(L"a\0b", 3), std::string("a\0b", 3)},  // zeros are characters
  };
  for (const auto& c : kCases) {
    const std::string got = ToUtf8(c.in);
    EXPECT_EQ(got, c.out);
    EXPECT_EQ(got.size(), c.out.size());
  }
  EXPECT_EQ(ToUtf8(kFace).size(), 4u);
}

TEST(MetaTextTest, FromBytesDecodesUtf8First) {
  const struct {
    const char* what;
    const char* bytes;
    std::ptrdiff_t length;
    std::wstring out;
  } kCases[] = {
      {"null pointer", nullptr, 5, L""},
      {"length zero", "abc", 0, L""},
      {"plain ASCII", "abc", 3, L"abc"},
      {"C3 A9 is e acute", "\xC3\xA9", 2, L"\u00E9"},
      {"four-byte sequence", "\xF0\x9F\x98\x80", 4, kFace},
      {"trailing zeros removed", "abc\0\0", 5, L"abc"},
      {"only zeros", "\0\0\0", 3, L""},
      {"inner zero kept", "ab\0c", 4, std::wstring(L"ab\0c", 4)},
      {"negative length stops at the first zero", "ab\0cd", -1, L"ab"},
      {"negative length, UTF-8", "\xC3\xA9t\xC3\xA9", -1, L"\u00E9t\u00E9"},
      {"length shorter than the text", "abcdef", 2, L"ab"},
  };
  for (const auto& c : kCases) EXPECT_EQ(FromBytes(c.bytes, c.length), c.out) << c.what;
}

TEST(MetaTextTest, FromBytesFallsBackToAnsiPage) {
  // Not valid UTF-8, so every one of these goes through the ANSI page.
  const struct {
    const char* what;
    const char* bytes;
    std::ptrdiff_t length;
    std::wstring out;  // as Windows-1252
  } kCases[] = {
      {"E9 alone", "\xE9", 1, L"\u00E9"},
      {"Latin-1 word", "caf\xE9", 4, L"caf\u00E9"},
      {"euro sign 80", "\x80", 1, L"\u20AC"},
      {"quotes 93 94", "\x93x\x94", 3, L"\u201Cx\u201D"},
      {"truncated sequence", "\xE2\x82", 2, L"\u00E2\u201A"},
      {"overlong slash", "\xC0\xAF", 2, L"\u00C0\u00AF"},
      {"encoded surrogate", "\xED\xA0\x80", 3, L"\u00ED\u00A0\u20AC"},
      {"trailing zero after fallback", "\xE9\0", 2, L"\u00E9"},
  };
  for (const auto& c : kCases) {
    const std::wstring got = FromBytes(c.bytes, c.length);
    EXPECT_FALSE(got.empty()) << c.what;
    std::wstring ansi = platform::AnsiToWide(c.bytes, static_cast<std::size_t>(c.length));
    while (!ansi.empty() && ansi.back() == L'\0') ansi.pop_back();
    EXPECT_EQ(got, ansi) << c.what;
    if (AnsiIs1252()) {
      EXPECT_EQ(got, c.out) << c.what;
    }
  }
}

// Bytes neither UTF-8 nor clean text in the ANSI page (the code points it
// leaves undefined become C1 controls) are shown as they are: each byte that
// does not decode as UTF-8 is U+FFFD, never a guess.
TEST(MetaTextTest, FromBytesMarksWhatNeitherReadingDecodes) {
  const struct {
    const char* what;
    const char* bytes;
    std::ptrdiff_t length;
    std::wstring out;
  } kCases[] = {
      {"undefined 81 and 8D", "\x81x\x8D", 3, L"\uFFFDx\uFFFD"},
      {"control byte with a bad sequence", "\x01\xE9", 2, L"\u0001\uFFFD"},
      {"undefined 9D before a valid sequence", "\x9D\xC3\xA9", 3, L"\uFFFD\u00E9"},
  };
  for (const auto& c : kCases) {
    if (!AnsiIs1252()) continue;
    EXPECT_EQ(FromBytes(c.bytes, c.length), c.out) << c.what;
  }
}

TEST(MetaTextTest, StrictUtf8) {
  const struct {
    const char* what;
    std::string bytes;
    bool valid;
  } kCases[] = {
      {"empty", "", true},
      {"ASCII with a zero", std::string("a\0b", 3), true},
      {"two bytes", "\xC3\xA9", true},
      {"three bytes", "\xE2\x82\xAC", true},
      {"four bytes", "\xF0\x9F\x98\x80", true},
      {"highest code point", "\xF4\x8F\xBF\xBF", true},
      {"lone lead byte", "\xE9", false},
      {"lone continuation", "\x80", false},
      {"truncated at the end", "ab\xE2\x82", false},
      {"overlong", "\xC0\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"FF byte", "a\xFF", false},
  };
  for (const auto& c : kCases) {
    std::wstring out = L"junk";
    EXPECT_EQ(platform::Utf8ToWideStrict(c.bytes.data(), c.bytes.size(), &out), c.valid) << c.what;
    if (!c.valid) {
      EXPECT_TRUE(out.empty()) << c.what;
    }
  }
  std::wstring out;
  ASSERT_TRUE(platform::Utf8ToWideStrict("x\xF0\x9F\x98\x80", 5, &out));
  EXPECT_EQ(out, L"x" + kFace);
}

TEST(MetaTextTest, ToUtf16Le) {
  const struct {
    std::wstring in;
    std::string out;
  } kCases[] = {
      {L"", ""},
      {L"A", std::string("A\0", 2)},
      {L"\u00E9", std::string("\xE9\0", 2)},
      {L"\u20AC", "\xAC\x20"},
      {kFace, std::string("\x3D\xD8\x00\xDE", 4)},
      {L"a" + kFace, std::string("a\0\x3D\xD8\x00\xDE", 6)},
  };
  for (const auto& c : kCases) EXPECT_EQ(ToUtf16Le(c.in), c.out);
}

TEST(MetaTextTest, StartsAndEndsWith) {
  const struct {
    const wchar_t* text;
    const wchar_t* part;
    bool starts;
    bool ends;
  } kCases[] = {
      {L"/app1/ifd/{ushort=270}", L"/app1", true, false},
      {L"/app13/irb", L"/app1", true, false},
      {L"png:new:3", L"png:", true, false},
      {L"png:3", L"png:new:", false, false},
      {L"photo.JPG", L".JPG", false, true},
      {L"photo.JPG", L".jpg", false, false},  // case matters
      {L"PNG:3", L"png:", false, false},
      {L"abc", L"", true, true},
      {L"", L"", true, true},
      {L"", L"a", false, false},
      {L"ab", L"abc", false, false},
      {L"abc", L"abc", true, true},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(StartsWith(c.text, c.part), c.starts) << c.text << " / " << c.part;
    EXPECT_EQ(EndsWith(c.text, c.part), c.ends) << c.text << " / " << c.part;
  }
  const std::wstring key = L"xmp:" + kFace + L"/dc:title";
  EXPECT_TRUE(StartsWith(key, L"xmp:" + kFace));
  EXPECT_TRUE(EndsWith(kFace + kFace, kFace));
  EXPECT_FALSE(EndsWith(kFace, kFace + kFace));
}

}  // namespace
