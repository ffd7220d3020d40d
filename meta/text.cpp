// Text helpers shared by the readers and writers: UTF-8 out, 8-bit text in
// (UTF-8 first, then the ANSI code page), UTF-16LE bytes, prefix tests.
#include <cstdint>
#include <cstring>

#include "meta/meta.h"
#include "platform/platform.h"

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  return platform::WideToUtf8(text);
}

namespace {

// Whether a decoded text reads as text: no control characters but tab, line
// feed and carriage return (C1 controls are what bytes a code page leaves
// undefined turn into), nor NULs before its end.
bool Clean(const std::wstring& text) {
  std::size_t end = text.size();
  while (end > 0 && text[end - 1] == L'\0') --end;
  for (std::size_t i = 0; i < end; ++i) {
    const auto c = static_cast<std::uint32_t>(text[i]);
    if (c == L'\t' || c == L'\n' || c == L'\r') continue;
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
  }
  return true;
}

}  // namespace

std::wstring FromBytes(const void* data, std::ptrdiff_t length) {
  if (!data || length == 0) return std::wstring();
  const char* p = static_cast<const char*>(data);
  const std::size_t n = length < 0 ? std::strlen(p) : static_cast<std::size_t>(length);
  std::wstring out;
  if (!platform::Utf8ToWideStrict(p, n, &out)) {
    out = platform::AnsiToWide(p, n);
    // Bytes that neither reading makes into text are shown as they are, the
    // undecodable ones as U+FFFD, rather than as a guess.
    if (out.empty() || !Clean(out)) out = platform::Utf8ToWide(std::string(p, n));
  }
  while (!out.empty() && out.back() == L'\0') out.pop_back();
  return out;
}

std::string ToUtf16Le(const std::wstring& text) {
  std::string out;
  out.reserve(text.size() * 2);
  auto unit = [&out](std::uint32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
  };
  for (wchar_t wc : text) {
    std::uint32_t c = static_cast<std::uint32_t>(wc);
    if constexpr (sizeof(wchar_t) == 2) {
      unit(c & 0xFFFF);  // already UTF-16
    } else {
      if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
      if (c < 0x10000) {
        unit(c);
      } else {
        c -= 0x10000;
        unit(0xD800 | (c >> 10));
        unit(0xDC00 | (c & 0x3FF));
      }
    }
  }
  return out;
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(std::wstring_view text, std::wstring_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}
