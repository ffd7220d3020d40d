// Path helpers shared by both platforms.
#include "platform/platform.h"

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

}  // namespace platform
