// The text the association code writes: names, command lines, key paths and
// the removal command of the uninstall entry. Portable, so that every string
// is checked natively as well as under Wine.
#pragma once

#include <cstdint>
#include <string>

#include "assoc/assoc.h"

namespace assoc {

inline constexpr const wchar_t* kAppName = L"Norvane";
inline constexpr const wchar_t* kAppDescription = L"Shows a picture at its true pixel size.";
inline constexpr const wchar_t* kDisplayVersion = L"1.00";
inline constexpr const wchar_t* kPublisher = L"Ombrefield";
inline constexpr const wchar_t* kInfoUrl = L"https://www.ombrefield.com/norvane";
inline constexpr const wchar_t* kUninstallComment =
    L"Removes Norvane's file associations. The program file itself is not deleted.";

inline constexpr const wchar_t* kAppKey = L"Software\\Norvane";
inline constexpr const wchar_t* kCapabilitiesKey = L"Software\\Norvane\\Capabilities";
inline constexpr const wchar_t* kRegisteredAppsKey = L"Software\\RegisteredApplications";
inline constexpr const wchar_t* kUninstallKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane";
inline constexpr const wchar_t* kExePathValue = L"ExePath";

// "Norvane" + ext: "Norvane.png".
std::wstring ProgId(const std::wstring& ext);
// "\"exe\" \"%1\"": the open command line.
std::wstring CommandFor(const std::wstring& exe);
// "\"exe\",0": the first icon of the program file.
std::wstring IconFor(const std::wstring& exe);
// The file name part of a path (after the last '\\' or '/').
std::wstring ExeNamePart(const std::wstring& exe);
// The table's description of ext, extensions compared without regard to ASCII
// case; "Image" for an extension outside the table.
std::wstring DescriptionFor(const std::wstring& ext);
// ASCII case-insensitive equality, as the C runtime compares in the C locale.
bool EqualNoCase(const std::wstring& a, const std::wstring& b);

// Key paths below HKEY_CURRENT_USER.
std::wstring ProgIdKey(const std::wstring& progId);         // Software\Classes\PROGID
std::wstring DefaultIconKey(const std::wstring& progId);    // ...\PROGID\DefaultIcon
std::wstring ProgIdCommandKey(const std::wstring& progId);  // ...\PROGID\shell\open\command
std::wstring OpenWithProgidsKey(const std::wstring& ext);   // Software\Classes\EXT\OpenWithProgids
std::wstring ApplicationKey(const std::wstring& exeName);   // Software\Classes\Applications\EXENAME
std::wstring CommandKeyBelow(const std::wstring& key);      // key\shell\open\command
std::wstring SupportedTypesKey(const std::wstring& appKey);             // appKey\SupportedTypes
std::wstring FileAssociationsKey(const std::wstring& capabilitiesKey);  // ...\FileAssociations

// The uninstall command: one cmd.exe line deleting every key the program
// writes. The application entry's deletion is left out when exeName holds a
// '%', which cmd would take for a variable.
std::wstring RemovalScript(const std::wstring& exeName);

// "YYYYMMDD".
std::wstring InstallDateText(int year, int month, int day);
// Kilobytes, rounded up, of the low 32 bits of a file size, in 32-bit
// arithmetic as the uninstall entry records it.
std::uint32_t EstimatedSizeKb(std::uint64_t fileSize);

}  // namespace assoc
