// The association code against the real registry of the Wine prefix: every
// value written, the shared keys' lifetime, taking registrations over from
// another copy, the start-up repair, and the uninstall command run by cmd.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <string>
#include <vector>

#include "assoc/assoc.h"
#include "assoc/assoc_text.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

const HKEY kHkcu = HKEY_CURRENT_USER;
const wchar_t kUninstall[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane";
const wchar_t kOutsideExt[] = L".xyzpic";

struct RegValue {
  bool exists = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

RegValue ReadValue(const std::wstring& subkey, const wchar_t* name) {
  RegValue v;
  HKEY key = nullptr;
  if (RegOpenKeyExW(kHkcu, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return v;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &v.type, nullptr, &bytes) == ERROR_SUCCESS) {
    v.data.resize(bytes);
    if (RegQueryValueExW(key, name, nullptr, &v.type, v.data.data(), &bytes) == ERROR_SUCCESS) {
      v.data.resize(bytes);
      v.exists = true;
    }
  }
  RegCloseKey(key);
  return v;
}

std::vector<BYTE> SzBytes(const std::wstring& text) {
  const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(p, p + (text.size() + 1) * sizeof(wchar_t));
}

// Type and bytes exactly, the terminating zero included.
void ExpectSz(const std::wstring& subkey, const wchar_t* name, const std::wstring& text) {
  const RegValue v = ReadValue(subkey, name);
  const std::wstring where = subkey + L" : " + (name ? name : L"(default)");
  ASSERT_TRUE(v.exists) << platform::WideToUtf8(where);
  EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ)) << platform::WideToUtf8(where);
  EXPECT_EQ(v.data, SzBytes(text)) << platform::WideToUtf8(where);
}

void ExpectDword(const std::wstring& subkey, const wchar_t* name, DWORD value) {
  const RegValue v = ReadValue(subkey, name);
  ASSERT_TRUE(v.exists) << platform::WideToUtf8(name);
  EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD));
  ASSERT_EQ(v.data.size(), sizeof(DWORD));
  DWORD got = 0;
  std::memcpy(&got, v.data.data(), sizeof(got));
  EXPECT_EQ(got, value) << platform::WideToUtf8(name);
}

bool KeyExists(const std::wstring& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(kHkcu, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool ValueExists(const std::wstring& subkey, const wchar_t* name) {
  return ReadValue(subkey, name).exists;
}

DWORD ValueCount(const std::wstring& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(kHkcu, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  DWORD count = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return count;
}

void SetValue(const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data,
              DWORD bytes) {
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(kHkcu, subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void SetSz(const std::wstring& subkey, const wchar_t* name, const std::wstring& text) {
  SetValue(subkey, name, REG_SZ, text.c_str(),
           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::wstring ModulePath() {
  wchar_t buf[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, buf, MAX_PATH);
  return buf;
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

const std::wstring kAppTests = L"Software\\Classes\\Applications\\assoc_tests.exe";

std::wstring ProgIdCommand(const wchar_t* ext) {
  return L"Software\\Classes\\Norvane" + std::wstring(ext) + L"\\shell\\open\\command";
}

// Removes everything the association code or these tests write, so that each
// test starts from a prefix that has never seen the program.
void CleanSlate() {
  for (int i = 0; i < g_assocTypeCount; ++i) {
    const std::wstring ext = g_assocTypes[i].ext;
    RegDeleteTreeW(kHkcu, (L"Software\\Classes\\Norvane" + ext).c_str());
    RegDeleteKeyValueW(kHkcu, (L"Software\\Classes\\" + ext + L"\\OpenWithProgids").c_str(),
                       (L"Norvane" + ext).c_str());
  }
  RegDeleteTreeW(kHkcu, (std::wstring(L"Software\\Classes\\Norvane") + kOutsideExt).c_str());
  RegDeleteTreeW(kHkcu, (std::wstring(L"Software\\Classes\\") + kOutsideExt).c_str());
  for (const wchar_t* name : {L"assoc_tests.exe", L"other.exe", L"old.exe", L"a%b.exe"}) {
    RegDeleteTreeW(kHkcu, (std::wstring(L"Software\\Classes\\Applications\\") + name).c_str());
  }
  RegDeleteTreeW(kHkcu, L"Software\\Norvane");
  RegDeleteKeyValueW(kHkcu, L"Software\\RegisteredApplications", L"Norvane");
  RegDeleteTreeW(kHkcu, kUninstall);
}

// A scratch folder with backslashes only, as the shell would hand out paths.
std::wstring Scratch(const std::string& name) {
  std::wstring dir = testing_support::ScratchDir(name);
  for (wchar_t& c : dir) {
    if (c == L'/') c = L'\\';
  }
  return dir;
}

// A copy of the test program under another name: a file that exists.
std::wstring CopyOfThisProgram(const std::string& folder, const std::wstring& name) {
  const std::wstring path = Scratch(folder) + L"\\" + name;
  EXPECT_TRUE(CopyFileW(ModulePath().c_str(), path.c_str(), FALSE));
  return path;
}

// Makes the given types look registered by another copy at `exe`.
void PretendRegisteredBy(const std::wstring& exe, std::initializer_list<const wchar_t*> exts) {
  const std::wstring name = exe.substr(exe.rfind(L'\\') + 1);
  const std::wstring app = L"Software\\Classes\\Applications\\" + name;
  SetSz(app, L"FriendlyAppName", L"Norvane");
  SetSz(app + L"\\shell\\open\\command", nullptr, assoc::CommandFor(exe));
  for (const wchar_t* ext : exts) {
    SetSz(ProgIdCommand(ext), nullptr, assoc::CommandFor(exe));
    SetSz(L"Software\\Classes\\" + std::wstring(ext) + L"\\OpenWithProgids",
          (L"Norvane" + std::wstring(ext)).c_str(), L"");
  }
  SetSz(L"Software\\Norvane", L"ExePath", exe);
}

class AssocRegistry : public ::testing::Test {
 protected:
  void SetUp() override { CleanSlate(); }
  void TearDown() override { CleanSlate(); }
};

TEST_F(AssocRegistry, ProgramPathIsTheModulePath) {
  EXPECT_EQ(std::wstring(assoc_exe_path()), ModulePath());
  EXPECT_EQ(assoc_exe_path(), assoc_exe_path());  // one buffer for the process
}

TEST_F(AssocRegistry, RegisterWritesEveryValue) {
  ASSERT_EQ(assoc_registered_count(), 0);
  ASSERT_TRUE(assoc_register(L".png"));
  const std::wstring exe = ModulePath();
  const std::wstring command = L"\"" + exe + L"\" \"%1\"";
  const std::wstring icon = L"\"" + exe + L"\",0";

  ExpectSz(L"Software\\Classes\\Norvane.png", nullptr, L"PNG image");
  ExpectSz(L"Software\\Classes\\Norvane.png\\DefaultIcon", nullptr, icon);
  ExpectSz(L"Software\\Classes\\Norvane.png\\shell\\open\\command", nullptr, command);
  ExpectSz(L"Software\\Classes\\.png\\OpenWithProgids", L"Norvane.png", L"");
  ExpectSz(kAppTests, L"FriendlyAppName", L"Norvane");
  ExpectSz(kAppTests + L"\\shell\\open\\command", nullptr, command);
  ExpectSz(kAppTests + L"\\SupportedTypes", L".png", L"");
  const std::wstring caps = L"Software\\Norvane\\Capabilities";
  ExpectSz(caps, L"ApplicationName", L"Norvane");
  ExpectSz(caps, L"ApplicationDescription", L"Shows a picture at its true pixel size.");
  ExpectSz(caps, L"ApplicationIcon", icon);
  ExpectSz(caps + L"\\FileAssociations", L".png", L"Norvane.png");
  ExpectSz(L"Software\\RegisteredApplications", L"Norvane", L"Software\\Norvane\\Capabilities");
  ExpectSz(L"Software\\Norvane", L"ExePath", exe);

  ExpectSz(kUninstall, L"DisplayName", L"Norvane");
  ExpectSz(kUninstall, L"DisplayVersion", L"1.00");
  ExpectSz(kUninstall, L"Publisher", L"Ombrefield");
  ExpectSz(kUninstall, L"URLInfoAbout", L"https://www.ombrefield.com/norvane");
  ExpectSz(kUninstall, L"DisplayIcon", icon);
  ExpectSz(kUninstall, L"UninstallString", assoc::RemovalScript(L"assoc_tests.exe"));
  ExpectSz(kUninstall, L"Comments",
           L"Removes Norvane's file associations. The program file itself is not deleted.");
  ExpectDword(kUninstall, L"NoModify", 1);
  ExpectDword(kUninstall, L"NoRepair", 1);
  ExpectSz(kUninstall, L"InstallLocation", FolderOf(exe));
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t date[16];
  swprintf(date, 16, L"%04d%02d%02d", now.wYear, now.wMonth, now.wDay);
  ExpectSz(kUninstall, L"InstallDate", date);
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(exe.c_str(), GetFileExInfoStandard, &data));
  ExpectDword(kUninstall, L"EstimatedSize", (data.nFileSizeLow + 1023) / 1024);
  EXPECT_EQ(ValueCount(kUninstall), 12u);

  EXPECT_TRUE(assoc_is_registered(L".png"));
  EXPECT_TRUE(assoc_is_registered(L".PNG"));  // the registry ignores case
  EXPECT_FALSE(assoc_is_registered(L".jpg"));
  EXPECT_EQ(assoc_registered_count(), 1);
  EXPECT_TRUE(assoc_points_here());
}

TEST_F(AssocRegistry, DescriptionsFollowTheTable) {
  struct Case {
    const wchar_t* ext;
    const wchar_t* description;
  } cases[] = {{L".jfif", L"JPEG image"}, {L".ico", L"Icon"}, {kOutsideExt, L"Image"}};
  for (const Case& c : cases) {
    ASSERT_TRUE(assoc_register(c.ext));
    ExpectSz(L"Software\\Classes\\Norvane" + std::wstring(c.ext), nullptr, c.description);
  }
  // The outside type is written but is not one of the table's.
  EXPECT_TRUE(assoc_is_registered(kOutsideExt));
  EXPECT_EQ(assoc_registered_count(), 2);
}

TEST_F(AssocRegistry, AnyValueByTheProgIdNameCountsAsRegistered) {
  const DWORD one = 1;
  SetValue(L"Software\\Classes\\.tif\\OpenWithProgids", L"Norvane.tif", REG_DWORD, &one,
           sizeof(one));
  EXPECT_TRUE(assoc_is_registered(L".tif"));
  EXPECT_EQ(assoc_registered_count(), 1);
  // The key alone is not enough.
  SetSz(L"Software\\Classes\\.gif\\OpenWithProgids", L"SomeoneElse.gif", L"");
  EXPECT_FALSE(assoc_is_registered(L".gif"));
  RegDeleteTreeW(kHkcu, L"Software\\Classes\\.gif\\OpenWithProgids");
}

TEST_F(AssocRegistry, SharedKeysStayUntilTheLastTypeGoes) {
  ASSERT_TRUE(assoc_register(L".png"));
  ASSERT_TRUE(assoc_register(L".jpg"));
  EXPECT_EQ(assoc_registered_count(), 2);
  ExpectSz(kAppTests + L"\\SupportedTypes", L".jpg", L"");

  EXPECT_TRUE(assoc_unregister(L".png"));
  EXPECT_FALSE(KeyExists(L"Software\\Classes\\Norvane.png"));
  EXPECT_FALSE(ValueExists(L"Software\\Classes\\.png\\OpenWithProgids", L"Norvane.png"));
  EXPECT_FALSE(ValueExists(kAppTests + L"\\SupportedTypes", L".png"));
  EXPECT_FALSE(ValueExists(L"Software\\Norvane\\Capabilities\\FileAssociations", L".png"));
  EXPECT_TRUE(assoc_is_registered(L".jpg"));
  EXPECT_TRUE(KeyExists(L"Software\\Norvane"));
  EXPECT_TRUE(KeyExists(kAppTests));
  EXPECT_TRUE(ValueExists(kAppTests + L"\\SupportedTypes", L".jpg"));
  EXPECT_TRUE(ValueExists(L"Software\\RegisteredApplications", L"Norvane"));
  EXPECT_TRUE(KeyExists(kUninstall));

  EXPECT_TRUE(assoc_unregister(L".jpg"));
  EXPECT_EQ(assoc_registered_count(), 0);
  EXPECT_FALSE(KeyExists(L"Software\\Classes\\Norvane.jpg"));
  EXPECT_FALSE(KeyExists(L"Software\\Norvane"));
  EXPECT_FALSE(KeyExists(kAppTests));
  EXPECT_FALSE(ValueExists(L"Software\\RegisteredApplications", L"Norvane"));
  EXPECT_FALSE(KeyExists(kUninstall));
  // Other programs may list themselves there.
  EXPECT_TRUE(KeyExists(L"Software\\Classes\\.jpg\\OpenWithProgids"));
  EXPECT_TRUE(KeyExists(L"Software\\Classes\\.png\\OpenWithProgids"));

  // Removing what is not there is harmless.
  EXPECT_TRUE(assoc_unregister(L".gif"));
}

TEST_F(AssocRegistry, UnregisterUsesTheRecordedApplicationEntry) {
  const std::wstring other = CopyOfThisProgram("assoc_unreg", L"other.exe");
  PretendRegisteredBy(other, {L".png"});
  SetSz(L"Software\\Classes\\Applications\\other.exe\\SupportedTypes", L".png", L"");
  EXPECT_TRUE(assoc_unregister(L".png"));
  EXPECT_FALSE(KeyExists(L"Software\\Classes\\Applications\\other.exe"));
  EXPECT_FALSE(KeyExists(L"Software\\Norvane"));
}

TEST_F(AssocRegistry, RegisteredExePathBuffer) {
  wchar_t out[301];  // one more than the largest capacity, to see overruns
  // Nothing recorded.
  out[0] = L'X';
  EXPECT_FALSE(assoc_registered_exe_path(out, 300));
  EXPECT_EQ(out[0], L'\0');

  const std::wstring path = L"C:\\a\\b.exe";  // 10 characters, 22 bytes with the zero
  SetSz(L"Software\\Norvane", L"ExePath", path);
  struct Case {
    int capacity;
    bool ok;
  } cases[] = {
      {11, false},  // room for 10 characters: the stored zero does not fit
      {12, true},
      {300, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity);
    std::fill(out, out + 301, L'X');
    EXPECT_EQ(assoc_registered_exe_path(out, c.capacity), c.ok);
    EXPECT_EQ(std::wstring(out), c.ok ? path : L"");
    EXPECT_EQ(out[c.capacity], L'X');  // nothing written past the buffer
  }

  // Capacity 0 leaves the buffer alone; 1 gives empty text.
  out[0] = L'X';
  EXPECT_FALSE(assoc_registered_exe_path(out, 0));
  EXPECT_EQ(out[0], L'X');
  EXPECT_FALSE(assoc_registered_exe_path(out, 1));
  EXPECT_EQ(out[0], L'\0');

  // Stored without its zero: terminated after the bytes read. (The system
  // counts the zero in when the caller left it out but it follows in memory,
  // so the text is followed by another character here.)
  const std::wstring unterminated = path + L"Z";
  SetValue(L"Software\\Norvane", L"ExePath", REG_SZ, unterminated.c_str(),
           static_cast<DWORD>(path.size() * sizeof(wchar_t)));
  ASSERT_EQ(ReadValue(L"Software\\Norvane", L"ExePath").data.size(), path.size() * sizeof(wchar_t));
  std::fill(out, out + 301, L'X');
  EXPECT_TRUE(assoc_registered_exe_path(out, 11));
  EXPECT_EQ(std::wstring(out), path);

  // Other types, and an empty path, are not a recorded path.
  SetValue(L"Software\\Norvane", L"ExePath", REG_EXPAND_SZ, path.c_str(),
           static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  EXPECT_FALSE(assoc_registered_exe_path(out, 300));
  EXPECT_EQ(out[0], L'\0');
  const DWORD number = 7;
  SetValue(L"Software\\Norvane", L"ExePath", REG_DWORD, &number, sizeof(number));
  EXPECT_FALSE(assoc_registered_exe_path(out, 300));
  EXPECT_EQ(out[0], L'\0');
  SetSz(L"Software\\Norvane", L"ExePath", L"");
  EXPECT_FALSE(assoc_registered_exe_path(out, 300));
  EXPECT_EQ(out[0], L'\0');
  EXPECT_TRUE(assoc_points_here());  // an empty value counts as none
}

TEST_F(AssocRegistry, PointsHere) {
  EXPECT_TRUE(assoc_points_here());  // nothing recorded
  std::wstring upper = ModulePath();
  for (wchar_t& c : upper) {
    if (c >= L'a' && c <= L'z') c = c - L'a' + L'A';
  }
  SetSz(L"Software\\Norvane", L"ExePath", upper);
  EXPECT_TRUE(assoc_points_here());
  SetSz(L"Software\\Norvane", L"ExePath", L"C:\\Elsewhere\\assoc_tests.exe");
  EXPECT_FALSE(assoc_points_here());
}

TEST_F(AssocRegistry, RegisteringTakesOverFromAnotherCopy) {
  const std::wstring other = CopyOfThisProgram("assoc_other", L"other.exe");
  PretendRegisteredBy(other, {L".png", L".gif"});
  ASSERT_EQ(assoc_registered_count(), 2);
  EXPECT_FALSE(assoc_points_here());

  ASSERT_TRUE(assoc_register(L".bmp"));
  const std::wstring command = assoc::CommandFor(ModulePath());
  for (const wchar_t* ext : {L".png", L".gif", L".bmp"}) {
    ExpectSz(ProgIdCommand(ext), nullptr, command);
    ExpectSz(kAppTests + L"\\SupportedTypes", ext, L"");
  }
  EXPECT_FALSE(KeyExists(L"Software\\Classes\\Applications\\other.exe"));
  ExpectSz(L"Software\\Norvane", L"ExePath", ModulePath());
  EXPECT_TRUE(assoc_points_here());
  EXPECT_EQ(assoc_registered_count(), 3);
}

TEST_F(AssocRegistry, ACopyWithTheSameNameKeepsTheApplicationEntry) {
  const std::wstring other = CopyOfThisProgram("assoc_same", L"assoc_tests.exe");
  PretendRegisteredBy(other, {L".tif"});
  SetSz(kAppTests, L"Marker", L"kept");
  EXPECT_FALSE(assoc_points_here());

  ASSERT_TRUE(assoc_register(L".jpg"));
  ExpectSz(kAppTests, L"Marker", L"kept");  // not deleted and rebuilt
  ExpectSz(kAppTests + L"\\shell\\open\\command", nullptr, assoc::CommandFor(ModulePath()));
  ExpectSz(ProgIdCommand(L".tif"), nullptr, assoc::CommandFor(ModulePath()));
  ExpectSz(L"Software\\Norvane", L"ExePath", ModulePath());
}

TEST_F(AssocRegistry, RepointWithNothingRegisteredSucceeds) {
  EXPECT_TRUE(assoc_repoint_here());
  EXPECT_EQ(assoc_registered_count(), 0);
  EXPECT_FALSE(KeyExists(L"Software\\Norvane"));
}

TEST_F(AssocRegistry, HealHandsAGoneProgramsTypesToThisOne) {
  const std::wstring gone = Scratch("assoc_gone") + L"\\old.exe";  // never created
  PretendRegisteredBy(gone, {L".png", L".jpg"});
  ASSERT_EQ(assoc_registered_count(), 2);

  assoc_heal_if_moved();
  const std::wstring command = assoc::CommandFor(ModulePath());
  ExpectSz(ProgIdCommand(L".png"), nullptr, command);
  ExpectSz(ProgIdCommand(L".jpg"), nullptr, command);
  ExpectSz(L"Software\\Norvane", L"ExePath", ModulePath());
  EXPECT_FALSE(KeyExists(L"Software\\Classes\\Applications\\old.exe"));
  ExpectSz(kUninstall, L"DisplayIcon", assoc::IconFor(ModulePath()));
  EXPECT_EQ(assoc_registered_count(), 2);
}

// A recorded copy that may still exist is left its registrations: a drive
// that is not there (unplugged) or a share that cannot be reached.
TEST_F(AssocRegistry, HealLeavesACopyOnAnAbsentVolume) {
  const DWORD drives = GetLogicalDrives();
  wchar_t letter = 0;
  for (wchar_t c = L'Q'; c <= L'Y' && !letter; ++c) {
    if (!(drives & (1u << (c - L'A')))) letter = c;
  }
  ASSERT_NE(letter, 0) << "no free drive letter";
  const std::wstring paths[] = {std::wstring(1, letter) + L":\\Tools\\old.exe",
                                L"\\\\nowhere-server\\share\\old.exe"};
  for (const std::wstring& away : paths) {
    SCOPED_TRACE(platform::WideToUtf8(away));
    CleanSlate();
    PretendRegisteredBy(away, {L".png"});
    assoc_heal_if_moved();
    ExpectSz(L"Software\\Norvane", L"ExePath", away);
    ExpectSz(ProgIdCommand(L".png"), nullptr, assoc::CommandFor(away));
  }
}

// When the open command cannot be written the type is not left half
// registered: it does not show as registered, and no key of it remains.
TEST_F(AssocRegistry, RefusedCommandLeavesTheTypeUnregistered) {
  // A volatile key cannot hold the non-volatile command key below it.
  auto makeKey = [](const wchar_t* subkey, DWORD options) {
    HKEY raw = nullptr;
    const LSTATUS status =
        RegCreateKeyExW(kHkcu, subkey, 0, nullptr, options, KEY_WRITE, nullptr, &raw, nullptr);
    if (raw) RegCloseKey(raw);
    return status;
  };
  const wchar_t kShell[] = L"Software\\Classes\\Norvane.png\\shell";
  ASSERT_EQ(makeKey(L"Software\\Classes\\Norvane.png", REG_OPTION_NON_VOLATILE), ERROR_SUCCESS);
  ASSERT_EQ(makeKey(kShell, REG_OPTION_VOLATILE), ERROR_SUCCESS);
  EXPECT_FALSE(assoc_register(L".png"));
  EXPECT_FALSE(assoc_is_registered(L".png"));
  EXPECT_FALSE(KeyExists(L"Software\\Classes\\Norvane.png"));
  EXPECT_FALSE(KeyExists(L"Software\\Norvane")) << "nothing registered: no shared entries";
  // Another type still registers, and the refused one then leaves the
  // others alone.
  EXPECT_TRUE(assoc_register(L".jpg"));
  EXPECT_TRUE(assoc_is_registered(L".jpg"));
  ASSERT_EQ(makeKey(kShell, REG_OPTION_VOLATILE), ERROR_SUCCESS);
  EXPECT_FALSE(assoc_register(L".png"));
  EXPECT_FALSE(assoc_is_registered(L".png"));
  EXPECT_TRUE(assoc_is_registered(L".jpg"));
  ExpectSz(L"Software\\Norvane", L"ExePath", ModulePath());
}

TEST_F(AssocRegistry, HealDoesNothingWithNothingRegistered) {
  const std::wstring gone = Scratch("assoc_none") + L"\\old.exe";
  SetSz(L"Software\\Norvane", L"ExePath", gone);
  assoc_heal_if_moved();
  ExpectSz(L"Software\\Norvane", L"ExePath", gone);
  EXPECT_FALSE(KeyExists(kUninstall));
  EXPECT_EQ(ValueCount(L"Software\\Norvane"), 1u);
  EXPECT_FALSE(KeyExists(L"Software\\Norvane\\Capabilities"));

  // Nor with nothing recorded.
  RegDeleteTreeW(kHkcu, L"Software\\Norvane");
  SetSz(L"Software\\Classes\\.png\\OpenWithProgids", L"Norvane.png", L"");
  assoc_heal_if_moved();
  EXPECT_FALSE(KeyExists(L"Software\\Norvane"));
  EXPECT_FALSE(KeyExists(kUninstall));
}

TEST_F(AssocRegistry, HealRewritesAMissingUninstallEntryForTheRecordedCopy) {
  struct Case {
    const char* folder;
    const wchar_t* name;
    const wchar_t* scriptName;
  } cases[] = {
      {"assoc_kept", L"other.exe", L"other.exe"},
      {"assoc_pct", L"a%b.exe", L"a%b.exe"},  // its deletion is left out of the command
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    CleanSlate();
    const std::wstring other = CopyOfThisProgram(c.folder, c.name);
    PretendRegisteredBy(other, {L".webp"});
    assoc_heal_if_moved();  // file exists, no uninstall entry yet
    ExpectSz(kUninstall, L"DisplayIcon", assoc::IconFor(other));
    ExpectSz(kUninstall, L"UninstallString", assoc::RemovalScript(c.scriptName));
    ExpectSz(kUninstall, L"InstallLocation", FolderOf(other));
    ExpectSz(L"Software\\Norvane", L"ExePath", other);  // not taken over
    ExpectSz(ProgIdCommand(L".webp"), nullptr, assoc::CommandFor(other));
    EXPECT_FALSE(KeyExists(kAppTests));

    // With the entry present nothing is rewritten.
    SetSz(kUninstall, L"DisplayName", L"marker");
    assoc_heal_if_moved();
    ExpectSz(kUninstall, L"DisplayName", L"marker");
  }
  const std::wstring script = assoc::RemovalScript(L"a%b.exe");
  EXPECT_EQ(script.find(L"Classes\\Applications"), std::wstring::npos);
}

// Runs a command line as the shell runs an uninstall entry; the exit code,
// or ~0u when the process could not be started or did not finish.
DWORD RunCommandLine(const std::wstring& line) {
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  std::vector<wchar_t> buf(line.begin(), line.end());
  buf.push_back(L'\0');
  if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &si, &pi)) {
    return ~0u;
  }
  DWORD code = ~0u;
  if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(pi.hProcess, &code);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

// Whether the command interpreter accepts "@" before a bracketed block in a
// for loop's body. Windows' cmd does; Wine 8's cmd reports "Can't recognize
// ')'" and runs nothing of the loop.
bool InterpreterTakesQuietBlocks() {
  return RunCommandLine(L"cmd.exe /c \"(for %e in (7) do @(exit %e))\"") == 7;
}

void ExpectTypesGone() {
  for (int i = 0; i < g_assocTypeCount; ++i) {
    const std::wstring ext = g_assocTypes[i].ext;
    SCOPED_TRACE(platform::WideToUtf8(ext));
    EXPECT_FALSE(KeyExists(L"Software\\Classes\\Norvane" + ext));
    EXPECT_FALSE(ValueExists(L"Software\\Classes\\" + ext + L"\\OpenWithProgids",
                             (L"Norvane" + ext).c_str()));
  }
  EXPECT_EQ(assoc_registered_count(), 0);
}

// The uninstall command, run by the system's command interpreter, leaves
// nothing of the program behind.
TEST_F(AssocRegistry, UninstallCommandRemovesEveryKey) {
  for (int i = 0; i < g_assocTypeCount; ++i) ASSERT_TRUE(assoc_register(g_assocTypes[i].ext));
  ASSERT_EQ(assoc_registered_count(), g_assocTypeCount);
  const RegValue v = ReadValue(kUninstall, L"UninstallString");
  ASSERT_TRUE(v.exists);
  std::wstring line(reinterpret_cast<const wchar_t*>(v.data.data()),
                    v.data.size() / sizeof(wchar_t));
  line.resize(wcslen(line.c_str()));
  ASSERT_EQ(line, assoc::RemovalScript(L"assoc_tests.exe"));

  ASSERT_NE(RunCommandLine(line), ~0u);
  // The commands after the loop.
  EXPECT_FALSE(KeyExists(kAppTests));
  EXPECT_FALSE(KeyExists(L"Software\\Norvane"));
  EXPECT_FALSE(ValueExists(L"Software\\RegisteredApplications", L"Norvane"));
  EXPECT_FALSE(KeyExists(kUninstall));

  if (InterpreterTakesQuietBlocks()) {
    ExpectTypesGone();
    return;
  }
  // This interpreter cannot run the loop as written: nothing of it ran. Its
  // body is still checked, with the "@" that only silences the echo dropped.
  std::printf("note: cmd.exe rejects 'do @(...)'; the loop is run without the '@'\n");
  EXPECT_EQ(assoc_registered_count(), g_assocTypeCount);
  const std::wstring quiet = L"do @(";
  const std::size_t at = line.find(quiet);
  ASSERT_NE(at, std::wstring::npos);
  line.replace(at, quiet.size(), L"do (");
  ASSERT_NE(RunCommandLine(line), ~0u);
  ExpectTypesGone();
}

}  // namespace

#endif  // _WIN32
