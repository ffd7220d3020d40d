// Messages for the user, written into caller buffers.
#include <cwchar>

#include "platform/platform.h"

namespace platform {

std::wstring FormatMessageText(const wchar_t* format, const std::wstring& first,
                               const std::wstring& second) {
  std::wstring out;
  bool usedFirst = false;
  for (const wchar_t* p = format; *p; ++p) {
    if (p[0] == L'%' && p[1] == L'l' && p[2] == L's') {
      out += usedFirst ? second : first;
      usedFirst = true;
      p += 2;
    } else {
      out += *p;
    }
  }
  return out;
}

void WriteMessage(wchar_t* err, std::size_t errLen, const std::wstring& text) {
  if (!err || errLen < 1) return;
  const std::size_t n = text.size() < errLen - 1 ? text.size() : errLen - 1;
  std::wmemcpy(err, text.data(), n);
  err[n] = L'\0';
}

}  // namespace platform
