// Win32 implementation of the platform functions.
#include <shlwapi.h>
#include <windows.h>

#include <new>

#include "platform/atomic_internal.h"
#include "platform/owned.h"
#include "platform/platform.h"

namespace platform {
namespace {

struct FileTraits {
  using Type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Release(HANDLE h) { CloseHandle(h); }
};
using FileHandle = Owned<FileTraits>;

HANDLE OpenForReading(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::wstring Utf8ToWide(const std::string& bytes) {
  if (bytes.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

bool Utf8ToWideStrict(const char* data, std::size_t size, std::wstring* out) {
  out->clear();
  if (size == 0) return true;
  if (size > 0x7FFFFFFF) return false;
  const int len = static_cast<int>(size);
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, len, nullptr, 0);
  if (n <= 0) return false;
  out->assign(static_cast<std::size_t>(n), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, len, out->data(), n) != n) {
    out->clear();
    return false;
  }
  return true;
}

std::wstring AnsiToWide(const char* data, std::size_t size) {
  if (size == 0 || size > 0x7FFFFFFF) return std::wstring();
  const int len = static_cast<int>(size);
  int n = MultiByteToWideChar(CP_ACP, 0, data, len, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  n = MultiByteToWideChar(CP_ACP, 0, data, len, out.data(), n);
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

ReadResult ReadWholeFile(const std::wstring& path, std::vector<std::uint8_t>* bytes,
                         std::uint64_t maxBytes, std::uint64_t* lastWrite) {
  if (lastWrite) *lastWrite = 0;
  FileHandle f(OpenForReading(path));
  if (!f) return ReadResult::CannotOpen;
  if (lastWrite) {
    FILETIME ft{};
    if (GetFileTime(f.get(), nullptr, nullptr, &ft)) {
      *lastWrite = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    }
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(f.get(), &size)) return ReadResult::CannotOpen;
  if (size.QuadPart < 1 || static_cast<std::uint64_t>(size.QuadPart) > maxBytes) {
    return ReadResult::BadSize;
  }
  try {
    bytes->resize(static_cast<std::size_t>(size.QuadPart));
  } catch (const std::bad_alloc&) {
    return ReadResult::NoMemory;
  }
  DWORD got = 0;
  if (!ReadFile(f.get(), bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) ||
      got != bytes->size()) {
    bytes->clear();
    return ReadResult::ReadFailed;
  }
  return ReadResult::Ok;
}

bool ReadFilePrefix(const std::wstring& path, std::size_t n, std::vector<std::uint8_t>* out) {
  FileHandle f(OpenForReading(path));
  if (!f) return false;
  out->assign(n, 0);
  DWORD got = 0;
  if (!ReadFile(f.get(), out->data(), static_cast<DWORD>(n), &got, nullptr)) got = 0;
  out->resize(got);
  return true;
}

unsigned LogicalProcessors() {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  return si.dwNumberOfProcessors < 1 ? 1u : static_cast<unsigned>(si.dwNumberOfProcessors);
}

LocalTime LocalTimeNow() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  LocalTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  return t;
}

bool FileTimeToLocal(std::uint64_t fileTime, LocalTime* out) {
  if (!out) return false;
  FILETIME utc{static_cast<DWORD>(fileTime & 0xFFFFFFFFu), static_cast<DWORD>(fileTime >> 32)};
  FILETIME local{};
  SYSTEMTIME st{};
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) return false;
  out->year = st.wYear;
  out->month = st.wMonth;
  out->day = st.wDay;
  out->hour = st.wHour;
  out->minute = st.wMinute;
  out->second = st.wSecond;
  return true;
}

std::wstring FolderPart(const std::wstring& path) {
  wchar_t buf[MAX_PATH];
  wcsncpy_s(buf, path.c_str(), _TRUNCATE);
  PathRemoveFileSpecW(buf);
  return buf;
}

std::wstring FormatByteSize(std::uint64_t bytes) {
  wchar_t buf[128] = {};
  if (!StrFormatByteSizeW(static_cast<LONGLONG>(bytes), buf, 128)) return ByteSizeText(bytes);
  return buf;
}

}  // namespace platform

// ---------------------------------------------------------------------------
// Writing files.
namespace platform {

bool FileExists(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  const DWORD e = GetLastError();
  return e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND;
}

FileStamp StampOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA d{};
  FileStamp stamp;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return stamp;
  stamp.known = true;
  stamp.size = (static_cast<std::uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
  stamp.time = (static_cast<std::uint64_t>(d.ftLastWriteTime.dwHighDateTime) << 32) |
               d.ftLastWriteTime.dwLowDateTime;
  return stamp;
}

namespace {

bool WriteAll(HANDLE f, const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    // WriteFile takes a DWORD count; large files go in pieces of 1 GiB.
    const DWORD chunk = static_cast<DWORD>(size - done < (1u << 30) ? size - done : (1u << 30));
    DWORD put = 0;
    if (!WriteFile(f, data + done, chunk, &put, nullptr) || put == 0) return false;
    done += put;
  }
  return true;
}

}  // namespace

namespace atomic {

SystemName ToSystemName(const std::wstring& path) { return path; }

Created CreateAndWrite(const SystemName& name, const std::uint8_t* data,
                       std::size_t size) noexcept {
  // CREATE_NEW fails on any existing entry instead of opening it.
  FileHandle f(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? Created::kTaken
                                                                       : Created::kNotCreated;
  }
  bool ok = WriteAll(f.get(), data, size) && FlushFileBuffers(f.get());
  if (!CloseHandle(f.release())) ok = false;
  return ok ? Created::kWritten : Created::kWriteFailed;
}

Swapped SwapIn(const SystemName& temp, const SystemName& dest) {
  const DWORD attributes = GetFileAttributesW(dest.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // Refused outright: a read-only file is never replaced, whichever of the
    // two calls below would have got to it, and a folder is never replaced by
    // a file (Wine's ReplaceFileW would move the folder aside and do it).
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return Swapped::kRefused;
    // Keeps the replaced file's attributes, streams and security.
    if (ReplaceFileW(dest.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                     nullptr)) {
      return Swapped::kDone;
    }
  }
  // No file to replace, or ReplaceFileW failed: some of its failures have
  // already deleted the old file and left the new one under its temporary
  // name, so it is moved in place here whatever the reason.
  return MoveFileExW(temp.c_str(), dest.c_str(), MOVEFILE_REPLACE_EXISTING) ? Swapped::kDone
                                                                            : Swapped::kRefused;
}

void DeleteTemporary(const SystemName& name) noexcept { DeleteFileW(name.c_str()); }

}  // namespace atomic

bool RemoveFile(const std::wstring& path) { return DeleteFileW(path.c_str()) != 0; }

}  // namespace platform
