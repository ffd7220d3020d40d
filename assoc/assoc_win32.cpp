// The association registry code. Everything lives under HKEY_CURRENT_USER;
// the text written comes from assoc_text.
#include <shlobj.h>
#include <shlwapi.h>
#include <windows.h>

#include <string>

#include "assoc/assoc.h"
#include "assoc/assoc_text.h"
#include "platform/owned.h"
#include "platform/platform.h"

namespace {

using namespace assoc;

struct KeyTraits {
  using Type = HKEY;
  static HKEY Invalid() { return nullptr; }
  static void Release(HKEY key) { RegCloseKey(key); }
};
using Key = Owned<KeyTraits>;

// A recorded path is read into a buffer as long as any path the system
// accepts, so that a copy in a deep folder is still recognised.
constexpr int kRecordedCapacity = 32768;

Key OpenKey(const std::wstring& subkey, REGSAM access) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, access, &raw) != ERROR_SUCCESS) {
    return Key();
  }
  return Key(raw);
}

// The shell's idea of a path's file name part.
std::wstring FileNameOf(const std::wstring& path) { return PathFindFileNameW(path.c_str()); }

bool RecordedExePath(std::wstring* out) {
  std::wstring buf(kRecordedCapacity, L'\0');
  if (!assoc_registered_exe_path(buf.data(), kRecordedCapacity)) return false;
  buf.resize(wcslen(buf.c_str()));
  *out = std::move(buf);
  return true;
}

// Whether the recorded program file is known to be gone: the system says the
// file or its folder does not exist, on a volume that is there. An offline
// share, an unplugged drive or a file that cannot be examined is not gone.
bool RecordedCopyGone(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  const DWORD error = GetLastError();
  if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
  wchar_t root[MAX_PATH] = L"";
  if (!GetVolumePathNameW(path.c_str(), root, MAX_PATH)) return false;
  return GetFileAttributesW(root) != INVALID_FILE_ATTRIBUTES;
}

bool RegSetSz(const std::wstring& subkey, const wchar_t* valueName, const std::wstring& text) {
  HKEY raw = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &raw, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  Key key(raw);
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key.get(), valueName, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(text.c_str()), bytes) == ERROR_SUCCESS;
}

// DWORD values exist only in the uninstall entry.
void RegSetDword(const wchar_t* valueName, DWORD value) {
  HKEY raw = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &raw, nullptr) != ERROR_SUCCESS) {
    return;
  }
  Key key(raw);
  RegSetValueExW(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                 sizeof(value));
}

// The entry among the installed apps. Failures are ignored: the
// associations work without it.
void WriteUninstallEntry(const std::wstring& exe) {
  RegSetSz(kUninstallKey, L"DisplayName", kAppName);
  RegSetSz(kUninstallKey, L"DisplayVersion", kDisplayVersion);
  RegSetSz(kUninstallKey, L"Publisher", kPublisher);
  RegSetSz(kUninstallKey, L"URLInfoAbout", kInfoUrl);
  RegSetSz(kUninstallKey, L"DisplayIcon", IconFor(exe));
  RegSetSz(kUninstallKey, L"UninstallString", RemovalScript(FileNameOf(exe)));
  RegSetSz(kUninstallKey, L"Comments", kUninstallComment);
  RegSetDword(L"NoModify", 1);
  RegSetDword(L"NoRepair", 1);
  RegSetSz(kUninstallKey, L"InstallLocation", platform::FolderPart(exe));
  SYSTEMTIME now;
  GetLocalTime(&now);
  RegSetSz(kUninstallKey, L"InstallDate", InstallDateText(now.wYear, now.wMonth, now.wDay));
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(exe.c_str(), GetFileExInfoStandard, &data)) {
    RegSetDword(L"EstimatedSize", EstimatedSizeKb(data.nFileSizeLow));
  }
}

// The keys of one type, as unregistering leaves them.
void RollBack(const std::wstring& ext) { assoc_unregister(ext.c_str()); }

// Every key of one type, pointing at the running program. True when the
// ProgID's name, its open command and the "Open with" entry were written; the
// other values only add to the shell's lists.
bool WriteExt(const std::wstring& ext) {
  const std::wstring progId = ProgId(ext);
  const std::wstring exe = assoc_exe_path();
  if (exe.empty()) return false;
  const std::wstring command = CommandFor(exe);
  const std::wstring icon = IconFor(exe);
  const std::wstring appKey = ApplicationKey(FileNameOf(exe));
  const std::wstring progIdKey = ProgIdKey(progId);

  const bool named = RegSetSz(progIdKey, nullptr, DescriptionFor(ext));
  RegSetSz(DefaultIconKey(progId), nullptr, icon);
  const bool opens = RegSetSz(ProgIdCommandKey(progId), nullptr, command);
  // The "Open with" entry is what makes the type show as registered, so it is
  // written only once the ProgID can open files, and last.
  if (!named || !opens) {
    RollBack(ext);
    return false;
  }
  RegSetSz(appKey, L"FriendlyAppName", kAppName);
  RegSetSz(CommandKeyBelow(appKey), nullptr, command);
  RegSetSz(SupportedTypesKey(appKey), ext.c_str(), L"");
  RegSetSz(kCapabilitiesKey, L"ApplicationName", kAppName);
  RegSetSz(kCapabilitiesKey, L"ApplicationDescription", kAppDescription);
  RegSetSz(kCapabilitiesKey, L"ApplicationIcon", icon);
  RegSetSz(FileAssociationsKey(kCapabilitiesKey), ext.c_str(), progId);
  RegSetSz(kRegisteredAppsKey, kAppName, kCapabilitiesKey);
  RegSetSz(kAppKey, kExePathValue, exe);
  WriteUninstallEntry(exe);
  if (!RegSetSz(OpenWithProgidsKey(ext), progId.c_str(), L"")) {
    RollBack(ext);
    return false;
  }
  return true;
}

}  // namespace

const wchar_t* assoc_exe_path() {
  static wchar_t path[MAX_PATH];
  static bool filled = false;
  if (!filled) {
    // A path cut short by the buffer would register commands that open
    // nothing: such a program records no path, and registering then fails.
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) path[0] = 0;
    filled = true;
  }
  return path;
}

bool assoc_is_registered(const wchar_t* ext) {
  Key key = OpenKey(OpenWithProgidsKey(ext), KEY_QUERY_VALUE);
  if (!key) return false;
  return RegQueryValueExW(key.get(), ProgId(ext).c_str(), nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
}

int assoc_registered_count() {
  int count = 0;
  for (int i = 0; i < g_assocTypeCount; ++i) {
    if (assoc_is_registered(g_assocTypes[i].ext)) ++count;
  }
  return count;
}

bool assoc_registered_exe_path(wchar_t* out, int capacity) {
  if (capacity <= 0) return false;
  out[0] = L'\0';
  if (capacity == 1) return false;
  Key key = OpenKey(kAppKey, KEY_QUERY_VALUE);
  if (!key) return false;
  DWORD type = REG_NONE;
  // Room for capacity - 1 characters; the terminator is added below.
  DWORD bytes = static_cast<DWORD>(capacity - 1) * sizeof(wchar_t);
  const LSTATUS status = RegQueryValueExW(key.get(), kExePathValue, nullptr, &type,
                                          reinterpret_cast<BYTE*>(out), &bytes);
  if (status != ERROR_SUCCESS || type != REG_SZ) {
    out[0] = L'\0';
    return false;
  }
  out[bytes / sizeof(wchar_t)] = L'\0';
  return out[0] != L'\0';
}

bool assoc_points_here() {
  std::wstring recorded;
  if (!RecordedExePath(&recorded)) return true;
  return _wcsicmp(recorded.c_str(), assoc_exe_path()) == 0;
}

bool assoc_repoint_here() {
  std::wstring recorded;
  if (RecordedExePath(&recorded)) {
    // A copy with another file name leaves its own application entry behind.
    const std::wstring oldName = FileNameOf(recorded);
    if (_wcsicmp(oldName.c_str(), PathFindFileNameW(assoc_exe_path())) != 0) {
      RegDeleteTreeW(HKEY_CURRENT_USER, ApplicationKey(oldName).c_str());
    }
  }
  bool ok = true;
  for (int i = 0; i < g_assocTypeCount; ++i) {
    if (!assoc_is_registered(g_assocTypes[i].ext)) continue;
    const bool wrote = WriteExt(g_assocTypes[i].ext);
    ok = ok && wrote;
  }
  return ok;
}

bool assoc_register(const wchar_t* ext) {
  if (!assoc_points_here()) assoc_repoint_here();
  return WriteExt(ext);
}

bool assoc_unregister(const wchar_t* ext) {
  const std::wstring progId = ProgId(ext);
  // The application entry is the one the registrations were made with.
  std::wstring exe;
  if (!RecordedExePath(&exe)) exe = assoc_exe_path();
  const std::wstring appKey = ApplicationKey(FileNameOf(exe));

  RegDeleteTreeW(HKEY_CURRENT_USER, ProgIdKey(progId).c_str());
  RegDeleteKeyValueW(HKEY_CURRENT_USER, OpenWithProgidsKey(ext).c_str(), progId.c_str());
  RegDeleteKeyValueW(HKEY_CURRENT_USER, SupportedTypesKey(appKey).c_str(), ext);
  RegDeleteKeyValueW(HKEY_CURRENT_USER, FileAssociationsKey(kCapabilitiesKey).c_str(), ext);
  if (assoc_registered_count() == 0) {
    RegDeleteTreeW(HKEY_CURRENT_USER, kAppKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, appKey.c_str());
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRegisteredAppsKey, kAppName);
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
  }
  // The extension key and its OpenWithProgids key may hold other programs'
  // entries, so they stay.
  return true;
}

void assoc_notify_shell() { SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr); }

void assoc_heal_if_moved() {
  std::wstring recorded;
  if (!RecordedExePath(&recorded)) return;
  if (assoc_registered_count() == 0) return;
  if (RecordedCopyGone(recorded)) {
    assoc_repoint_here();
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return;
  }
  Key uninstall = OpenKey(kUninstallKey, KEY_READ);
  if (!uninstall) WriteUninstallEntry(recorded);
}
