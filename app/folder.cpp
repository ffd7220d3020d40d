// Folder stepping: natural order and the target of a step.
#include "app/folder.h"

#include <cwctype>

const wchar_t* const kImageExts[] = {L".png",  L".jpg",  L".jpeg", L".jfif", L".bmp",
                                     L".dib",  L".gif",  L".tif",  L".tiff", L".ico",
                                     L".webp", L".heic", L".heif", L".avif", nullptr};

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Spaces and punctuation, then digits, then letters and everything else.
int Rank(wchar_t c) {
  if (IsDigit(c)) return 1;
  if (std::iswalpha(static_cast<wint_t>(c)) || c > 0x7F) return 2;
  return 0;
}

wchar_t Fold(wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); }

}  // namespace

bool SameName(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

bool IsImageName(const std::wstring& name) {
  const std::size_t dot = name.rfind(L'.');
  if (dot == std::wstring::npos) return false;
  const std::wstring ext = name.substr(dot);
  for (const wchar_t* const* e = kImageExts; *e; ++e) {
    if (SameName(ext, *e)) return true;
  }
  return false;
}

int LogicalCompare(const std::wstring& a, const std::wstring& b) {
  std::size_t i = 0, j = 0;
  int zeros = 0;  // leading-zero difference of the first equal-valued runs
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      std::size_t za = i, zb = j;
      while (za < a.size() && a[za] == L'0') ++za;
      while (zb < b.size() && b[zb] == L'0') ++zb;
      std::size_t ea = za, eb = zb;
      while (ea < a.size() && IsDigit(a[ea])) ++ea;
      while (eb < b.size() && IsDigit(b[eb])) ++eb;
      // Values compare by their significant digits: more digits is larger,
      // then digit by digit.
      if (ea - za != eb - zb) return ea - za < eb - zb ? -1 : 1;
      for (std::size_t k = 0; k < ea - za; ++k) {
        if (a[za + k] != b[zb + k]) return a[za + k] < b[zb + k] ? -1 : 1;
      }
      if (zeros == 0 && za - i != zb - j) zeros = za - i < zb - j ? -1 : 1;
      i = ea;
      j = eb;
      continue;
    }
    const int ra = Rank(a[i]), rb = Rank(b[j]);
    if (ra != rb) return ra < rb ? -1 : 1;
    const wchar_t ca = Fold(a[i]), cb = Fold(b[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return zeros;
}

int SiblingTarget(const std::vector<std::wstring>& list, const std::wstring& name, int step,
                  int (*compare)(const std::wstring&, const std::wstring&)) {
  const int n = static_cast<int>(list.size());
  if (n == 0) return -1;
  int found = -1;
  for (int k = 0; k < n; ++k) {
    if (SameName(list[static_cast<std::size_t>(k)], name)) {
      found = k;
      break;
    }
  }
  if (step == 2) return found == 0 ? -1 : 0;
  if (step == 3) return found == n - 1 ? -1 : n - 1;
  if (found >= 0) {
    if (n == 1) return -1;
    const int target = ((found + step) % n + n) % n;
    return target == found ? -1 : target;
  }
  // Where the name would stand: the number of entries that sort before it.
  int lo = 0, hi = n;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (compare(list[static_cast<std::size_t>(mid)], name) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return step == 1 ? lo % n : (lo + n - 1) % n;
}
