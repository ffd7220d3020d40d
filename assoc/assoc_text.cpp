// The association table and the text built from it.
#include "assoc/assoc_text.h"

#include <cwchar>

const AssocType g_assocTypes[] = {
    {L".png", L"PNG image"},   {L".jpg", L"JPEG image"},   {L".jpeg", L"JPEG image"},
    {L".jfif", L"JPEG image"}, {L".bmp", L"Bitmap image"}, {L".dib", L"Bitmap image"},
    {L".gif", L"GIF image"},   {L".tif", L"TIFF image"},   {L".tiff", L"TIFF image"},
    {L".ico", L"Icon"},        {L".webp", L"WebP image"},  {L".heic", L"HEIC image"},
    {L".heif", L"HEIF image"}, {L".avif", L"AVIF image"},
};
const int g_assocTypeCount = static_cast<int>(sizeof(g_assocTypes) / sizeof(g_assocTypes[0]));

namespace assoc {
namespace {

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; }

}  // namespace

std::wstring ProgId(const std::wstring& ext) { return kAppName + ext; }

std::wstring CommandFor(const std::wstring& exe) { return L"\"" + exe + L"\" \"%1\""; }

std::wstring IconFor(const std::wstring& exe) { return L"\"" + exe + L"\",0"; }

std::wstring ExeNamePart(const std::wstring& exe) {
  const std::size_t cut = exe.find_last_of(L"\\/");
  return cut == std::wstring::npos ? exe : exe.substr(cut + 1);
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::wstring DescriptionFor(const std::wstring& ext) {
  for (int i = 0; i < g_assocTypeCount; ++i) {
    if (EqualNoCase(ext, g_assocTypes[i].ext)) return g_assocTypes[i].description;
  }
  return L"Image";
}

std::wstring ProgIdKey(const std::wstring& progId) { return L"Software\\Classes\\" + progId; }

std::wstring DefaultIconKey(const std::wstring& progId) {
  return L"Software\\Classes\\" + progId + L"\\DefaultIcon";
}

std::wstring ProgIdCommandKey(const std::wstring& progId) {
  return L"Software\\Classes\\" + progId + L"\\shell\\open\\command";
}

std::wstring OpenWithProgidsKey(const std::wstring& ext) {
  return L"Software\\Classes\\" + ext + L"\\OpenWithProgids";
}

std::wstring ApplicationKey(const std::wstring& exeName) {
  return L"Software\\Classes\\Applications\\" + exeName;
}

std::wstring CommandKeyBelow(const std::wstring& key) { return key + L"\\shell\\open\\command"; }

std::wstring SupportedTypesKey(const std::wstring& appKey) { return appKey + L"\\SupportedTypes"; }

std::wstring FileAssociationsKey(const std::wstring& capabilitiesKey) {
  return capabilitiesKey + L"\\FileAssociations";
}

std::wstring RemovalScript(const std::wstring& exeName) {
  // One for loop over the table's extensions (without dots) removes each
  // ProgID and its "Open with" value; the shared keys follow.
  std::wstring s = L"cmd.exe /c \"(for %e in (";
  for (int i = 0; i < g_assocTypeCount; ++i) {
    if (i > 0) s += L' ';
    s += g_assocTypes[i].ext + 1;
  }
  s += L") do @(reg delete \"HKCU\\Software\\Classes\\Norvane.%e\" /f & reg delete "
       L"\"HKCU\\Software\\Classes\\.%e\\OpenWithProgids\" /v Norvane.%e /f))";
  // cmd expands %...% even inside quotes, so such a name cannot be passed on.
  if (exeName.find(L'%') == std::wstring::npos) {
    s += L" & reg delete \"HKCU\\Software\\Classes\\Applications\\" + exeName + L"\" /f";
  }
  s += L" & reg delete \"HKCU\\Software\\Norvane\" /f";
  s += L" & reg delete \"HKCU\\Software\\RegisteredApplications\" /v \"Norvane\" /f";
  s += L" & reg delete \"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane\" "
       L"/f >nul 2>&1\"";
  return s;
}

std::wstring InstallDateText(int year, int month, int day) {
  wchar_t buf[64];
  std::swprintf(buf, sizeof(buf) / sizeof(buf[0]), L"%04d%02d%02d", year, month, day);
  return buf;
}

std::uint32_t EstimatedSizeKb(std::uint64_t fileSize) {
  const std::uint32_t low = static_cast<std::uint32_t>(fileSize);
  return static_cast<std::uint32_t>(low + 1023u) / 1024u;
}

}  // namespace assoc
