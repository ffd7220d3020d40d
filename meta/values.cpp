// Typed value entry: the text the user types turned into the value the
// metadata writer stores, and the check run when an edit is committed.
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "meta/meta.h"
#include "platform/platform.h"

namespace {

constexpr std::uint16_t kVtBstr = 8;

constexpr std::size_t kMaxListItems = 4096;

bool IsCSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Scans a whole decimal number at text[*i] as the standard conversion does:
// white space, an optional sign, one or more digits. A number too large for
// 64 bits is refused rather than saturated. Advances *i past the number.
bool ScanInt(const std::wstring& text, std::size_t* i, std::int64_t* out) {
  std::size_t k = *i;
  const std::size_t n = text.size();
  while (k < n && IsCSpace(text[k])) ++k;
  bool negative = false;
  if (k < n && (text[k] == L'+' || text[k] == L'-')) negative = text[k++] == L'-';
  if (k >= n || !IsDigit(text[k])) return false;
  // Magnitude limit: 2^63 for negatives, 2^63 - 1 otherwise.
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
  std::uint64_t m = 0;
  for (; k < n && IsDigit(text[k]); ++k) {
    const std::uint64_t d = static_cast<std::uint64_t>(text[k] - L'0');
    if (m > (limit - d) / 10) return false;
    m = m * 10 + d;
  }
  *out = negative ? static_cast<std::int64_t>(0 - m) : static_cast<std::int64_t>(m);
  *i = k;
  return true;
}

// Scans a real number at text[*i]: white space, an optional sign, digits with
// an optional decimal point (at least one digit), and an optional exponent.
// Infinities, NaNs, hexadecimal forms and values beyond the double range are
// refused.
bool ScanReal(const std::wstring& text, std::size_t* i, double* out) {
  std::size_t k = *i;
  const std::size_t n = text.size();
  while (k < n && IsCSpace(text[k])) ++k;
  bool negative = false;
  if (k < n && (text[k] == L'+' || text[k] == L'-')) negative = text[k++] == L'-';
  std::string ascii;
  std::size_t digits = 0;
  for (; k < n && IsDigit(text[k]); ++k, ++digits) ascii += static_cast<char>(text[k]);
  if (k < n && text[k] == L'.') {
    ascii += '.';
    for (++k; k < n && IsDigit(text[k]); ++k, ++digits) ascii += static_cast<char>(text[k]);
  }
  if (digits == 0) return false;
  // An exponent counts only when digits follow; otherwise the number ends
  // before the "e", as in the standard conversion.
  if (k < n && (text[k] == L'e' || text[k] == L'E')) {
    std::size_t e = k + 1;
    if (e < n && (text[e] == L'+' || text[e] == L'-')) ++e;
    if (e < n && IsDigit(text[e])) {
      ascii += 'e';
      ascii.append(text[k + 1] == L'-' ? "-" : "");
      while (e < n && IsDigit(text[e])) ascii += static_cast<char>(text[e++]);
      k = e;
    }
  }
  double v = 0;
  const auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), v);
  if (ec != std::errc() || end != ascii.data() + ascii.size() || !std::isfinite(v)) return false;
  *out = negative ? -v : v;
  *i = k;
  return true;
}

std::size_t SkipSpaces(const std::wstring& text, std::size_t i) {
  while (i < text.size() && text[i] == L' ') ++i;
  return i;
}

std::uint64_t Gcd(std::uint64_t a, std::uint64_t b) {
  while (b != 0) {
    const std::uint64_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

// The decimal form of a rational: scaled by powers of ten until whole (at
// most six places), rounded half away from zero, reduced.
bool DecimalRational(const std::wstring& text, bool isSigned, std::int64_t* num,
                     std::int64_t* den) {
  std::size_t i = SkipSpaces(text, 0);
  if (i == text.size()) return false;
  double v = 0;
  if (!ScanReal(text, &i, &v)) return false;
  if (SkipSpaces(text, i) != text.size()) return false;
  if (!isSigned && v < 0) return false;
  // The reduced numerator is never smaller in magnitude than the value, so
  // anything this large fails the range test anyway; refusing it here keeps
  // the scaled value within 64 bits.
  if (!(std::fabs(v) < 4294967296.0)) return false;
  std::int64_t d = 1;
  while (static_cast<double>(static_cast<std::int64_t>(v)) != v) {
    v *= 10;
    if (d == 100000) {
      d = 1000000;
      break;
    }
    d *= 10;
  }
  std::int64_t n = static_cast<std::int64_t>(v >= 0 ? v + 0.5 : v - 0.5);
  if (n == 0) {
    d = 1;
  } else {
    const std::uint64_t mag =
        n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    const std::int64_t g = static_cast<std::int64_t>(Gcd(mag, static_cast<std::uint64_t>(d)));
    n /= g;
    d /= g;
  }
  if (isSigned ? (n < -2147483647 || n > 2147483647) : (n < 0 || n > 4294967295LL)) return false;
  *num = n;
  *den = d;
  return true;
}

// Numerator in the low 32 bits, denominator in the high 32 bits.
std::uint64_t PackRational(std::int64_t num, std::int64_t den) {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(num)) |
         (static_cast<std::uint64_t>(static_cast<std::uint32_t>(den)) << 32);
}

struct IntRange {
  std::uint16_t vt;
  std::int64_t min;
  std::int64_t max;
};

constexpr IntRange kIntRanges[] = {
    {img::kVtI1, -128, 127},
    {img::kVtUI1, 0, 255},
    {img::kVtI2, -32768, 32767},
    {img::kVtUI2, 0, 65535},
    {img::kVtI4, -2147483648LL, 2147483647},
    {img::kVtUI4, 0, 4294967295LL},
};

const IntRange* FindRange(std::uint16_t vt) {
  for (const IntRange& r : kIntRanges) {
    if (r.vt == vt) return &r;
  }
  return nullptr;
}

// One number of a scalar or list type as a 64-bit pattern: integers sign- or
// zero-extended, rationals packed.
bool ParseElement(const std::wstring& text, std::uint16_t type, std::uint64_t* bits) {
  if (type == img::kVtI8 || type == img::kVtUI8) {
    std::int64_t num = 0, den = 0;
    if (!ParseRational(text, type == img::kVtI8, &num, &den)) return false;
    *bits = PackRational(num, den);
    return true;
  }
  const IntRange* range = FindRange(type);
  std::int64_t v = 0;
  if (!range || !ParseInt(text, range->min, range->max, &v)) return false;
  *bits = static_cast<std::uint64_t>(v);
  return true;
}

bool IsListSeparator(wchar_t c) { return c == L' ' || c == L'\t' || c == L',' || c == L';'; }

bool ListToVar(const std::wstring& text, std::uint16_t varType, img::PropValue* out) {
  const std::uint16_t elem = varType & ~img::kVtVector;
  if (elem != img::kVtI2 && elem != img::kVtUI1 && elem != img::kVtUI2 && elem != img::kVtI4 &&
      elem != img::kVtUI4 && elem != img::kVtI8 && elem != img::kVtUI8) {
    return false;
  }
  std::vector<std::wstring> items;
  for (std::size_t i = 0; i < text.size();) {
    if (IsListSeparator(text[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < text.size() && !IsListSeparator(text[j])) ++j;
    if (items.size() == kMaxListItems) return false;
    items.push_back(text.substr(i, j - i));
    i = j;
  }
  if (items.empty()) return false;
  img::PropValue v;
  v.vt = varType;
  if (elem == img::kVtUI1) {
    v.bytes.reserve(items.size());
  } else {
    v.nums.reserve(items.size());
  }
  for (const std::wstring& item : items) {
    std::uint64_t bits = 0;
    if (!ParseElement(item, elem, &bits)) return false;
    if (elem == img::kVtUI1) {
      v.bytes += static_cast<char>(bits);
    } else {
      v.nums.push_back(bits);
    }
  }
  *out = std::move(v);
  return true;
}

bool EqualsIgnoringCase(const std::wstring& text, const wchar_t* word) {
  const std::size_t n = std::wcslen(word);
  if (text.size() != n) return false;
  for (std::size_t k = 0; k < n; ++k) {
    wchar_t c = text[k];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + (L'a' - L'A'));
    if (c != word[k]) return false;
  }
  return true;
}

bool BuildValue(const std::wstring& text, std::uint16_t varType, img::PropValue* out) {
  if (varType == kVtUtf16Bytes) {
    img::PropValue v;
    v.vt = img::kVtVector | img::kVtUI1;
    v.bytes = ToUtf16Le(text);
    v.bytes.append(2, '\0');
    *out = std::move(v);
    return true;
  }
  if (varType & img::kVtVector) return ListToVar(text, varType, out);
  switch (varType) {
    case img::kVtI1:
    case img::kVtI2:
    case img::kVtI4:
    case img::kVtUI1:
    case img::kVtUI2:
    case img::kVtUI4: {
      const IntRange* range = FindRange(varType);
      std::int64_t v = 0;
      if (!ParseInt(text, range->min, range->max, &v)) return false;
      img::PropValue p;
      p.vt = varType;
      if (range->min < 0) {
        p.i = v;
      } else {
        p.u = static_cast<std::uint64_t>(v);
      }
      *out = std::move(p);
      return true;
    }
    case img::kVtI8:
    case img::kVtUI8: {
      std::uint64_t bits = 0;
      if (!ParseElement(text, varType, &bits)) return false;
      *out = varType == img::kVtI8 ? img::PropValue::I8(static_cast<std::int64_t>(bits))
                                   : img::PropValue::UI8(bits);
      return true;
    }
    case img::kVtR4:
    case img::kVtR8: {
      // The whole text is the number: leading white space is allowed, nothing
      // may follow it, not even a space.
      std::size_t i = 0;
      double v = 0;
      if (!ScanReal(text, &i, &v) || i != text.size()) return false;
      if (varType == img::kVtR8) {
        *out = img::PropValue::R8(v);
        return true;
      }
      if (std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) return false;
      *out = img::PropValue::R4(static_cast<float>(v));
      return true;
    }
    case img::kVtBool:
      if (EqualsIgnoringCase(text, L"true") || text == L"1") {
        *out = img::PropValue::Bool(true);
        return true;
      }
      if (EqualsIgnoringCase(text, L"false") || text == L"0") {
        *out = img::PropValue::Bool(false);
        return true;
      }
      return false;
    case kVtBstr:
    case img::kVtLpwstr:
      *out = img::PropValue::Lpwstr(text);
      return true;
    case img::kVtLpstr:
      *out = img::PropValue::Lpstr(ToUtf8(text));
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ParseInt(const std::wstring& text, std::int64_t min, std::int64_t max, std::int64_t* out) {
  std::size_t i = SkipSpaces(text, 0);
  if (i == text.size()) return false;
  std::int64_t v = 0;
  if (!ScanInt(text, &i, &v)) return false;
  if (SkipSpaces(text, i) != text.size()) return false;
  if (v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseRational(const std::wstring& text, bool isSigned, std::int64_t* num, std::int64_t* den) {
  const std::size_t slash = text.find(L'/');
  if (slash == std::wstring::npos) return DecimalRational(text, isSigned, num, den);
  std::int64_t n = 0, d = 0;
  const bool ok = isSigned ? ParseInt(text.substr(0, slash), -2147483647, 2147483647, &n) &&
                                 ParseInt(text.substr(slash + 1), 1, 2147483647, &d)
                           : ParseInt(text.substr(0, slash), 0, 4294967295LL, &n) &&
                                 ParseInt(text.substr(slash + 1), 0, 4294967295LL, &d);
  if (!ok) return false;
  *num = n;
  *den = d;
  return true;
}

bool TextToVar(const std::wstring& text, std::uint16_t varType, img::PropValue* out) {
  *out = img::PropValue();
  try {
    if (BuildValue(text, varType, out)) return true;
  } catch (const std::bad_alloc&) {
  }
  *out = img::PropValue();
  return false;
}

bool meta_validate(const MetaField& field, const std::wstring& text, wchar_t* err,
                   std::size_t errLen) {
  img::PropValue v;
  if (TextToVar(text, field.varType, &v)) return true;
  const bool list = (field.varType & img::kVtVector) != 0;
  const std::uint16_t elem = field.varType & ~img::kVtVector;
  const bool rational = elem == img::kVtI8 || elem == img::kVtUI8;
  const wchar_t* message;
  if (rational) {
    message = list ? L"Enter numbers or fractions separated by spaces, for example 52/1 22/1 "
                     L"3075/100."
                   : L"Enter a number or a fraction, for example 1/250 or 2.8.";
  } else {
    message = list ? L"Enter whole numbers separated by spaces."
                   : L"Enter a whole number in the range this field allows.";
  }
  platform::WriteMessage(err, errLen, message);
  return false;
}
