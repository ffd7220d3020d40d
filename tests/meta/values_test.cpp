// Typed value entry: the number parsers, text to typed values for every
// field type, and the messages of the edit check.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "meta/meta.h"

namespace {

using img::PropValue;

constexpr std::uint16_t kVtBstr = 8;
constexpr std::uint16_t kVec = img::kVtVector;

// Numerator low, denominator high.
std::uint64_t Rat(std::uint32_t num, std::uint32_t den) {
  return static_cast<std::uint64_t>(num) | (static_cast<std::uint64_t>(den) << 32);
}
std::uint64_t SRat(std::int32_t num, std::int32_t den) {
  return Rat(static_cast<std::uint32_t>(num), static_cast<std::uint32_t>(den));
}

const std::wstring kFace = L"\U0001F600";

TEST(MetaValuesTest, ParseInt) {
  const struct {
    const wchar_t* text;
    std::int64_t min, max;
    bool ok;
    std::int64_t value;
  } kCases[] = {
      {L"12", 0, 100, true, 12},
      {L" 12", 0, 100, true, 12},
      {L"12 ", 0, 100, true, 12},
      {L"   12   ", 0, 100, true, 12},
      {L"+12", 0, 100, true, 12},
      {L"-12", -100, 100, true, -12},
      {L"007", 0, 100, true, 7},
      {L"0", 0, 0, true, 0},
      {L"100", 0, 100, true, 100},  // inclusive
      {L"101", 0, 100, false, 0},
      {L"-1", 0, 100, false, 0},
      {L"", 0, 100, false, 0},
      {L"   ", 0, 100, false, 0},
      {L"12a", 0, 100, false, 0},
      {L"0x10", 0, 100, false, 0},
      {L"1.5", 0, 100, false, 0},
      {L"1 2", 0, 100, false, 0},
      {L"-", -100, 100, false, 0},
      {L"+", 0, 100, false, 0},
      {L"- 1", -100, 100, false, 0},
      {L"a12", 0, 100, false, 0},
      {L"12\t", 0, 100, false, 0},          // only spaces may trail
      {L"\u0661\u0662", 0, 100, false, 0},  // Arabic-Indic digits are not decimal here
      {L"9223372036854775807", INT64_MIN, INT64_MAX, true, INT64_MAX},
      {L"-9223372036854775808", INT64_MIN, INT64_MAX, true, INT64_MIN},
      {L"9223372036854775808", 0, 4294967295LL, false, 0},
      {L"99999999999999999999999", 0, 4294967295LL, false, 0},
      {L"-99999999999999999999999", INT64_MIN, 0, false, 0},
  };
  for (const auto& c : kCases) {
    std::int64_t v = 777;
    EXPECT_EQ(ParseInt(c.text, c.min, c.max, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    } else {
      EXPECT_EQ(v, 777) << c.text;
    }
  }
}

struct RationalCase {
  const wchar_t* text;
  bool isSigned;
  bool ok;
  std::int64_t num, den;
};

const RationalCase kRationalCases[] = {
    // Fractions are kept as typed.
    {L"1/250", false, true, 1, 250},
    {L"3075/100", false, true, 3075, 100},
    {L"2/4", false, true, 2, 4},
    {L"12 / 5", false, true, 12, 5},
    {L" 12/5 ", true, true, 12, 5},
    {L"1/0", false, true, 1, 0},
    {L"1/0", true, false, 0, 0},
    {L"1/-2", true, false, 0, 0},
    {L"-1/2", true, true, -1, 2},
    {L"-1/2", false, false, 0, 0},
    {L"4294967295/4294967295", false, true, 4294967295LL, 4294967295LL},
    {L"4294967296/1", false, false, 0, 0},
    {L"1/4294967296", false, false, 0, 0},
    {L"2147483647/2147483647", true, true, 2147483647, 2147483647},
    {L"-2147483647/1", true, true, -2147483647, 1},
    {L"-2147483648/1", true, false, 0, 0},
    {L"2147483648/1", true, false, 0, 0},
    {L"1/2147483648", true, false, 0, 0},
    {L"/5", false, false, 0, 0},
    {L"5/", false, false, 0, 0},
    {L"/", false, false, 0, 0},
    {L"1/2/3", false, false, 0, 0},
    {L"1.5/2", false, false, 0, 0},
    // Decimal forms become reduced fractions.
    {L"2.8", false, true, 14, 5},
    {L"0.004", false, true, 1, 250},
    {L"0.5", false, true, 1, 2},
    {L"1.25", false, true, 5, 4},
    {L"52", false, true, 52, 1},
    {L"0", false, true, 0, 1},
    {L"0.0", true, true, 0, 1},
    {L"0.1234567", false, true, 123457, 1000000},
    {L"0.0000004", false, true, 0, 1},        // rounds away to nothing
    {L"0.0000005", false, true, 1, 1000000},  // half rounds up
    {L"-1.5", true, true, -3, 2},
    {L"-1.5", false, false, 0, 0},
    {L"-0.0000005", true, true, -1, 1000000},  // half away from zero
    {L"1e3", false, true, 1000, 1},
    {L"2.5E-1", false, true, 1, 4},
    {L".5", false, true, 1, 2},
    {L"+2.8", false, true, 14, 5},
    {L"  2.8  ", false, true, 14, 5},
    {L"4294967295", false, true, 4294967295LL, 1},
    {L"4294967296", false, false, 0, 0},
    {L"2147483647", true, true, 2147483647, 1},
    {L"-2147483647", true, true, -2147483647, 1},
    {L"-2147483648", true, false, 0, 0},
    {L"2147483647.5", true, false, 0, 0},  // 4294967295/2 is past the signed range
    {L"1e300", false, false, 0, 0},
    {L"", false, false, 0, 0},
    {L"   ", false, false, 0, 0},
    {L"2.8x", false, false, 0, 0},
    {L"2.8 1", false, false, 0, 0},
    {L"1e", false, false, 0, 0},
    {L".", false, false, 0, 0},
    {L"inf", false, false, 0, 0},
    {L"nan", true, false, 0, 0},
    {L"0x10", false, false, 0, 0},
};

TEST(MetaValuesTest, ParseRational) {
  for (const RationalCase& c : kRationalCases) {
    std::int64_t num = 777, den = 777;
    EXPECT_EQ(ParseRational(c.text, c.isSigned, &num, &den), c.ok)
        << c.text << (c.isSigned ? " signed" : " unsigned");
    if (c.ok) {
      EXPECT_EQ(num, c.num) << c.text;
      EXPECT_EQ(den, c.den) << c.text;
    }
  }
}

// Scalars: the produced tag equals the field type, the payload is in i, u or d.
struct ScalarCase {
  const wchar_t* text;
  std::uint16_t vt;
  bool ok;
  PropValue value;
};

const ScalarCase kScalarCases[] = {
    {L"-128", img::kVtI1, true, PropValue::I1(-128)},
    {L"127", img::kVtI1, true, PropValue::I1(127)},
    {L"128", img::kVtI1, false, {}},
    {L"-129", img::kVtI1, false, {}},
    {L"0", img::kVtUI1, true, PropValue::UI1(0)},
    {L"255", img::kVtUI1, true, PropValue::UI1(255)},
    {L"256", img::kVtUI1, false, {}},
    {L"-1", img::kVtUI1, false, {}},
    {L"-32768", img::kVtI2, true, PropValue::I2(-32768)},
    {L"32767", img::kVtI2, true, PropValue::I2(32767)},
    {L"32768", img::kVtI2, false, {}},
    {L"65535", img::kVtUI2, true, PropValue::UI2(65535)},
    {L" 6 ", img::kVtUI2, true, PropValue::UI2(6)},
    {L"65536", img::kVtUI2, false, {}},
    {L"-2147483648", img::kVtI4, true, PropValue::I4(-2147483647 - 1)},
    {L"2147483647", img::kVtI4, true, PropValue::I4(2147483647)},
    {L"2147483648", img::kVtI4, false, {}},
    {L"12 ", img::kVtI4, true, PropValue::I4(12)},
    {L"4294967295", img::kVtUI4, true, PropValue::UI4(4294967295u)},
    {L"4294967296", img::kVtUI4, false, {}},
    {L"", img::kVtUI4, false, {}},
    {L"1.0", img::kVtUI4, false, {}},
    // Rationals.
    {L"1/250", img::kVtUI8, true, PropValue::UI8(Rat(1, 250))},
    {L"2.8", img::kVtUI8, true, PropValue::UI8(Rat(14, 5))},
    {L"3075/100", img::kVtUI8, true, PropValue::UI8(Rat(3075, 100))},
    {L"0", img::kVtUI8, true, PropValue::UI8(Rat(0, 1))},
    {L"1/0", img::kVtUI8, true, PropValue::UI8(Rat(1, 0))},
    {L"4294967295", img::kVtUI8, true, PropValue::UI8(Rat(4294967295u, 1))},
    {L"4294967296", img::kVtUI8, false, {}},
    {L"-1.5", img::kVtUI8, false, {}},
    {L"-1.5", img::kVtI8, true, PropValue::I8(static_cast<std::int64_t>(SRat(-3, 2)))},
    {L"-7/3", img::kVtI8, true, PropValue::I8(static_cast<std::int64_t>(SRat(-7, 3)))},
    {L"1/0", img::kVtI8, false, {}},
    {L"-2147483648", img::kVtI8, false, {}},
    {L"", img::kVtI8, false, {}},
    // Reals.
    {L"1.5", img::kVtR8, true, PropValue::R8(1.5)},
    {L"-2.5e2", img::kVtR8, true, PropValue::R8(-250)},
    {L"  3", img::kVtR8, true, PropValue::R8(3)},
    {L"3 ", img::kVtR8, false, {}},  // nothing may follow a real number
    {L"3x", img::kVtR8, false, {}},
    {L"", img::kVtR8, false, {}},
    {L"1e999", img::kVtR8, false, {}},
    {L"0.1", img::kVtR4, true, PropValue::R4(0.1f)},
    {L"1e39", img::kVtR4, false, {}},  // beyond float
    // Booleans.
    {L"true", img::kVtBool, true, PropValue::Bool(true)},
    {L"TRUE", img::kVtBool, true, PropValue::Bool(true)},
    {L"False", img::kVtBool, true, PropValue::Bool(false)},
    {L"1", img::kVtBool, true, PropValue::Bool(true)},
    {L"0", img::kVtBool, true, PropValue::Bool(false)},
    {L"yes", img::kVtBool, false, {}},
    {L" true", img::kVtBool, false, {}},
    {L"true ", img::kVtBool, false, {}},
    {L"01", img::kVtBool, false, {}},
    {L"", img::kVtBool, false, {}},
    // Types nothing is entered for.
    {L"1", img::kVtEmpty, false, {}},
    {L"1", img::kVtBlob, false, {}},
    {L"1", img::kVtClsid, false, {}},
    {L"1", 64, false, {}},  // VT_FILETIME
    {L"1", kVec | img::kVtI1, false, {}},
    {L"1", kVec | img::kVtR8, false, {}},
    {L"1", kVec | img::kVtBool, false, {}},
    {L"a", kVec | img::kVtLpstr, false, {}},
    {L"a", kVec | img::kVtLpwstr, false, {}},
};

TEST(MetaValuesTest, TextToVarScalars) {
  for (const ScalarCase& c : kScalarCases) {
    PropValue v = PropValue::Lpwstr(L"stale");
    EXPECT_EQ(TextToVar(c.text, c.vt, &v), c.ok) << c.text << " vt " << c.vt;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text << " vt " << c.vt;
    } else {
      EXPECT_EQ(v, PropValue()) << c.text << " vt " << c.vt;  // left empty
    }
  }
}

TEST(MetaValuesTest, TextToVarStrings) {
  const std::wstring text = L"Caf\u00E9 " + kFace;
  PropValue v;
  ASSERT_TRUE(TextToVar(text, img::kVtLpwstr, &v));
  EXPECT_EQ(v, PropValue::Lpwstr(text));
  ASSERT_TRUE(TextToVar(text, kVtBstr, &v));  // a BSTR field is written as LPWSTR
  EXPECT_EQ(v, PropValue::Lpwstr(text));
  ASSERT_TRUE(TextToVar(text, img::kVtLpstr, &v));
  EXPECT_EQ(v, PropValue::Lpstr("Caf\xC3\xA9 \xF0\x9F\x98\x80"));
  ASSERT_TRUE(TextToVar(text, kVtUtf16Bytes, &v));
  EXPECT_EQ(v.vt, kVec | img::kVtUI1);
  EXPECT_EQ(v.bytes, std::string("C\0a\0f\0\xE9\0 \0\x3D\xD8\x00\xDE\0\0", 16));
  EXPECT_EQ(v.Count(), 16u);  // 2 × (7 code units + 1)

  // Empty text is a value for every string type.
  ASSERT_TRUE(TextToVar(L"", img::kVtLpstr, &v));
  EXPECT_EQ(v, PropValue::Lpstr(""));
  ASSERT_TRUE(TextToVar(L"", img::kVtLpwstr, &v));
  EXPECT_EQ(v, PropValue::Lpwstr(L""));
  ASSERT_TRUE(TextToVar(L"", kVtUtf16Bytes, &v));
  EXPECT_EQ(v.vt, kVec | img::kVtUI1);
  EXPECT_EQ(v.bytes, std::string("\0\0", 2));
  EXPECT_EQ(v.Count(), 2u);
}

struct ListCase {
  const char* what;
  std::wstring text;
  std::uint16_t vt;
  bool ok;
  std::vector<std::uint64_t> nums;
};

const std::vector<ListCase> kListCases = {
    {"mixed separators", L"1, 2;3\t4", kVec | img::kVtUI2, true, {1, 2, 3, 4}},
    {"runs and edges", L" ,;1,,  2;; ", kVec | img::kVtUI2, true, {1, 2}},
    {"one item", L"7", kVec | img::kVtUI4, true, {7}},
    {"separators only", L" ,;\t", kVec | img::kVtUI2, false, {}},
    {"empty", L"", kVec | img::kVtUI2, false, {}},
    {"one bad item", L"1 2 x 4", kVec | img::kVtUI2, false, {}},
    {"item out of range", L"1 65536", kVec | img::kVtUI2, false, {}},
    {"line break belongs to an item", L"1\n2", kVec | img::kVtUI2, false, {}},
    {"signed shorts",
     L"-32768 32767",
     kVec | img::kVtI2,
     true,
     {static_cast<std::uint64_t>(-32768), 32767}},
    {"signed longs",
     L"-1 2147483647",
     kVec | img::kVtI4,
     true,
     {static_cast<std::uint64_t>(-1), 2147483647}},
    {"unsigned longs", L"4294967295 0", kVec | img::kVtUI4, true, {4294967295u, 0}},
    {"GPS rationals",
     L"52/1 22/1 3075/100",
     kVec | img::kVtUI8,
     true,
     {Rat(52, 1), Rat(22, 1), Rat(3075, 100)}},
    {"decimal rationals", L"2.8;0.5", kVec | img::kVtUI8, true, {Rat(14, 5), Rat(1, 2)}},
    {"signed rationals", L"-1/3 1.5", kVec | img::kVtI8, true, {SRat(-1, 3), SRat(3, 2)}},
    {"negative unsigned rational", L"1/2 -1/2", kVec | img::kVtUI8, false, {}},
    {"slash alone", L"1/2 /", kVec | img::kVtUI8, false, {}},
};

TEST(MetaValuesTest, TextToVarLists) {
  for (const ListCase& c : kListCases) {
    PropValue v = PropValue::UI2(9);
    EXPECT_EQ(TextToVar(c.text, c.vt, &v), c.ok) << c.what;
    if (!c.ok) {
      EXPECT_EQ(v, PropValue()) << c.what;
      continue;
    }
    EXPECT_EQ(v.vt, c.vt) << c.what;
    EXPECT_EQ(v.nums, c.nums) << c.what;
    EXPECT_EQ(v.Count(), c.nums.size()) << c.what;
  }
}

TEST(MetaValuesTest, ByteListsHoldBytes) {
  PropValue v;
  ASSERT_TRUE(TextToVar(L"0 1 255", kVec | img::kVtUI1, &v));
  EXPECT_EQ(v.vt, kVec | img::kVtUI1);
  EXPECT_EQ(v.bytes, std::string("\0\x01\xFF", 3));
  EXPECT_EQ(v.Count(), 3u);
  EXPECT_FALSE(TextToVar(L"0 256", kVec | img::kVtUI1, &v));
}

TEST(MetaValuesTest, ListItemLimit) {
  std::wstring text;
  for (int k = 0; k < 4096; ++k) text += Num(k % 100) + L" ";
  PropValue v;
  ASSERT_TRUE(TextToVar(text, kVec | img::kVtUI2, &v));
  ASSERT_EQ(v.Count(), 4096u);
  EXPECT_EQ(v.nums[4095], 95u);
  text += L"1";
  EXPECT_FALSE(TextToVar(text, kVec | img::kVtUI2, &v));
  EXPECT_EQ(v, PropValue());
}

struct ValidateCase {
  std::uint16_t vt;
  const wchar_t* text;
  const wchar_t* message;  // null when accepted
};

const wchar_t kFraction[] = L"Enter a number or a fraction, for example 1/250 or 2.8.";
const wchar_t kFractions[] =
    L"Enter numbers or fractions separated by spaces, for example 52/1 22/1 3075/100.";
const wchar_t kWhole[] = L"Enter a whole number in the range this field allows.";
const wchar_t kWholes[] = L"Enter whole numbers separated by spaces.";

const ValidateCase kValidateCases[] = {
    {img::kVtUI8, L"abc", kFraction},
    {img::kVtI8, L"1/0", kFraction},
    {kVec | img::kVtUI8, L"52/1 x", kFractions},
    {kVec | img::kVtI8, L"", kFractions},
    {img::kVtUI2, L"70000", kWhole},
    {img::kVtR8, L"1.5 ", kWhole},  // reals share the whole-number sentence
    {img::kVtBool, L"yes", kWhole},
    {img::kVtEmpty, L"1", kWhole},
    {kVec | img::kVtUI2, L"1 2 x", kWholes},
    {kVec | img::kVtR8, L"1.5", kWholes},
    {img::kVtUI8, L"1/250", nullptr},
    {kVec | img::kVtUI8, L"52/1 22/1 3075/100", nullptr},
    {img::kVtUI2, L"1", nullptr},
    {img::kVtLpstr, L"", nullptr},
    {kVtUtf16Bytes, L"x", nullptr},
};

TEST(MetaValuesTest, ValidateMessages) {
  for (const ValidateCase& c : kValidateCases) {
    MetaField f;
    f.varType = c.vt;
    wchar_t err[128] = L"untouched";
    EXPECT_EQ(meta_validate(f, c.text, err, 128), c.message == nullptr) << c.text;
    EXPECT_EQ(std::wstring(err), c.message ? c.message : L"untouched") << c.text;
  }
}

TEST(MetaValuesTest, ValidateTruncatesIntoSmallBuffers) {
  MetaField f;
  f.varType = img::kVtUI2;
  wchar_t err[9];
  std::fill(std::begin(err), std::end(err), L'#');
  EXPECT_FALSE(meta_validate(f, L"x", err, 9));
  EXPECT_EQ(std::wstring(err), L"Enter a ");
  wchar_t one[1] = {L'#'};
  EXPECT_FALSE(meta_validate(f, L"x", one, 1));
  EXPECT_EQ(one[0], L'\0');
  EXPECT_FALSE(meta_validate(f, L"x", nullptr, 0));  // no buffer, still an answer
}

}  // namespace
