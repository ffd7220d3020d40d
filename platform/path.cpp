// Path helpers shared by both platforms.
#include "platform/platform.h"

#include <string>

namespace platform {

std::wstring FileNamePart(const std::wstring& path) {
  std::size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring ExtensionPart(const std::wstring& path) {
  std::wstring name = FileNamePart(path);
  std::size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? std::wstring() : name.substr(dot);
}

std::wstring RemoveFileSpec(const std::wstring& whole) {
  std::wstring path = whole.substr(0, 259);
  const std::size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) {
    // "C:name" keeps its drive; a bare name leaves nothing.
    return path.size() >= 2 && path[1] == L':' ? path.substr(0, 2) : std::wstring();
  }
  // A separator that starts the path or follows the drive is the root: keep it.
  const bool root = cut == 0 || (cut == 2 && path[1] == L':');
  return path.substr(0, root ? cut + 1 : cut);
}

std::wstring ByteSizeText(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_wstring(bytes) + L" bytes";
  static const wchar_t* const kUnits[] = {L"KB", L"MB", L"GB", L"TB", L"PB", L"EB"};
  int unit = 0;
  std::uint64_t scale = 1024;
  while (unit < 5 && bytes / scale >= 1024) {
    scale *= 1024;
    ++unit;
  }
  // Hundredths of the unit, cut; 128-bit so the largest counts cannot wrap.
  const unsigned __int128 hundredths = static_cast<unsigned __int128>(bytes) * 100 / scale;
  const std::uint64_t h = static_cast<std::uint64_t>(hundredths);
  const std::uint64_t whole = h / 100;
  std::wstring text = std::to_wstring(whole);
  if (whole < 10) {
    const std::uint64_t frac = h % 100;
    text += L'.';
    text += static_cast<wchar_t>(L'0' + frac / 10);
    text += static_cast<wchar_t>(L'0' + frac % 10);
  } else if (whole < 100) {
    text += L'.';
    text += static_cast<wchar_t>(L'0' + (h % 100) / 10);
  }
  return text + L' ' + kUnits[unit];
}

}  // namespace platform
