// POSIX implementation of the platform functions.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <new>

#include "platform/atomic_internal.h"
#include "platform/owned.h"
#include "platform/platform.h"

namespace platform {
namespace {

// Wide strings are UTF-32 here.
void AppendUtf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

struct FdTraits {
  using Type = int;
  static int Invalid() { return -1; }
  static void Release(int fd) { close(fd); }
};
using Fd = Owned<FdTraits>;

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr std::int64_t kEpochDelta = 11644473600LL;

std::uint64_t ToFileTime(const timespec& t) {
  const std::int64_t secs = static_cast<std::int64_t>(t.tv_sec) + kEpochDelta;
  if (secs < 0) return 0;
  return static_cast<std::uint64_t>(secs) * 10000000u + static_cast<std::uint64_t>(t.tv_nsec) / 100;
}

bool ReadFully(int fd, std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t got = read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// Decodes UTF-8 into wide characters. Strict: any invalid sequence (bad
// lead or continuation byte, overlong form, surrogate, above U+10FFFF) fails
// with an empty result; otherwise it becomes U+FFFD and decoding goes on.
bool DecodeUtf8(const char* data, std::size_t size, bool strict, std::wstring* out) {
  out->clear();
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(data[k]); };
  static const char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  std::size_t i = 0;
  while (i < size) {
    const unsigned char b = at(i);
    char32_t c = 0;
    std::size_t len = 0;
    if (b < 0x80) {
      c = b, len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, len = 4;
    }
    bool good = len != 0 && len <= size - i;
    for (std::size_t k = 1; good && k < len; ++k) {
      if ((at(i + k) & 0xC0) != 0x80) {
        good = false;
      } else {
        c = (c << 6) | (at(i + k) & 0x3F);
      }
    }
    if (!good || c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      if (strict) {
        out->clear();
        return false;
      }
      *out += L'\xFFFD';
      ++i;
      continue;
    }
    *out += static_cast<wchar_t>(c);
    i += len;
  }
  return true;
}

}  // namespace

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) AppendUtf8(out, static_cast<char32_t>(c));
  return out;
}

bool Utf8ToWideStrict(const char* data, std::size_t size, std::wstring* out) {
  return DecodeUtf8(data, size, true, out);
}

std::wstring AnsiToWide(const char* data, std::size_t size) {
  // Windows-1252 for 0x80..0x9F; the five bytes it leaves undefined map to the
  // C1 controls of the same number, as the Windows conversion does.
  static const char16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
  };
  std::wstring out;
  out.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char b = static_cast<unsigned char>(data[i]);
    out +=
        (b >= 0x80 && b < 0xA0) ? static_cast<wchar_t>(kHigh[b - 0x80]) : static_cast<wchar_t>(b);
  }
  return out;
}

std::wstring Utf8ToWide(const std::string& bytes) {
  std::wstring out;
  DecodeUtf8(bytes.data(), bytes.size(), false, &out);
  return out;
}

ReadResult ReadWholeFile(const std::wstring& path, std::vector<std::uint8_t>* bytes,
                         std::uint64_t maxBytes, std::uint64_t* lastWrite) {
  if (lastWrite) *lastWrite = 0;
  Fd fd(open(WideToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return ReadResult::CannotOpen;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ReadResult::CannotOpen;
  if (lastWrite) *lastWrite = ToFileTime(st.st_mtim);
  if (st.st_size < 1 || static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    return ReadResult::BadSize;
  }
  try {
    bytes->resize(static_cast<std::size_t>(st.st_size));
  } catch (const std::bad_alloc&) {
    return ReadResult::NoMemory;
  }
  if (!ReadFully(fd.get(), bytes->data(), bytes->size())) {
    bytes->clear();
    return ReadResult::ReadFailed;
  }
  return ReadResult::Ok;
}

bool ReadFilePrefix(const std::wstring& path, std::size_t n, std::vector<std::uint8_t>* out) {
  Fd fd(open(WideToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  out->assign(n, 0);
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd.get(), out->data() + got, n - got);
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  out->resize(got);
  return true;
}

unsigned LogicalProcessors() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 1 ? 1u : static_cast<unsigned>(n);
}

LocalTime LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  LocalTime t;
  if (!localtime_r(&now, &tm)) return t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  // A leap second reads as 60; the EXIF form has no room for it.
  t.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  return t;
}

bool FileTimeToLocal(std::uint64_t fileTime, LocalTime* out) {
  if (!out) return false;
  const std::int64_t secs = static_cast<std::int64_t>(fileTime / 10000000u) - kEpochDelta;
  const std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return false;
  out->year = tm.tm_year + 1900;
  out->month = tm.tm_mon + 1;
  out->day = tm.tm_mday;
  out->hour = tm.tm_hour;
  out->minute = tm.tm_min;
  out->second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  return true;
}

std::wstring FolderPart(const std::wstring& path) { return RemoveFileSpec(path); }

std::wstring FormatByteSize(std::uint64_t bytes) { return ByteSizeText(bytes); }

}  // namespace platform

// ---------------------------------------------------------------------------
// Writing files.
namespace platform {

bool FileExists(const std::wstring& path) {
  struct stat st;
  if (lstat(WideToUtf8(path).c_str(), &st) == 0) return true;
  return errno != ENOENT && errno != ENOTDIR;
}

FileStamp StampOf(const std::wstring& path) {
  FileStamp stamp;
  struct stat st;
  if (stat(WideToUtf8(path).c_str(), &st) != 0) return stamp;
  stamp.known = true;
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.time = ToFileTime(st.st_mtim);
  return stamp;
}

namespace {

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = write(fd, data + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// The folder whose entry a rename changes: what comes before the last '/'.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Puts the finished file `temp` in place of `dest`; on failure `temp` stays.
bool Replace(const std::string& temp, const std::string& dest) {
  struct stat st;
  if (lstat(dest.c_str(), &st) == 0) {
    // rename() ignores the permissions of the file it replaces, and root may
    // write any file: a destination nobody may write, or this process may
    // not, is refused here, as the Windows calls refuse a read-only file.
    if ((st.st_mode & 0222) == 0 || access(dest.c_str(), W_OK) != 0) return false;
    // The new file takes the place of the old one with its permissions, as
    // replacing a file keeps its attributes on Windows: a private file does
    // not become readable by everyone, so a failure here stops the save.
    if (S_ISREG(st.st_mode) && chmod(temp.c_str(), st.st_mode & 07777) != 0) return false;
  }
  return rename(temp.c_str(), dest.c_str()) == 0;
}

// A rename is only durable once its folder is flushed too.
bool SyncFolder(const std::string& folder) {
  Fd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return false;
  // EINVAL: a file system that cannot flush folders, with nothing to flush.
  return fsync(fd.get()) == 0 || errno == EINVAL;
}

}  // namespace

namespace atomic {

SystemName ToSystemName(const std::wstring& path) { return WideToUtf8(path); }

Created CreateAndWrite(const SystemName& name, const std::uint8_t* data,
                       std::size_t size) noexcept {
  // O_EXCL with O_CREAT fails on any existing entry, and does not follow a
  // link by that name either.
  Fd fd(open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd) return errno == EEXIST ? Created::kTaken : Created::kNotCreated;
  bool ok = WriteAll(fd.get(), data, size) && fsync(fd.get()) == 0;
  // close() reports late write errors (network file systems); check it too.
  if (close(fd.release()) != 0) ok = false;
  return ok ? Created::kWritten : Created::kWriteFailed;
}

Swapped SwapIn(const SystemName& temp, const SystemName& dest) {
  // Named before anything changes.
  const std::string folder = FolderOf(dest);
  if (!Replace(temp, dest)) return Swapped::kRefused;
  return SyncFolder(folder) ? Swapped::kDone : Swapped::kNotFlushed;
}

void DeleteTemporary(const SystemName& name) noexcept { unlink(name.c_str()); }

}  // namespace atomic

bool RemoveFile(const std::wstring& path) { return unlink(WideToUtf8(path).c_str()) == 0; }

}  // namespace platform
