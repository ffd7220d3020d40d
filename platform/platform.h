// Files, processors and text: the few things the portable modules ask of the
// operating system. One implementation per platform (posix/, win32/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Files are read whole, 1 byte to 512 MiB.
inline constexpr std::uint64_t kMaxFileBytes = 0x20000000;

enum class ReadResult { Ok, CannotOpen, BadSize, ReadFailed, NoMemory };

// Reads the whole file. Opens it for reading while sharing read, write and
// delete; refuses files outside 1 .. maxBytes; a short read is a failure. The
// file is closed again before returning. When lastWrite is given and the file
// could be opened, it receives the last-write time as a FILETIME value (100 ns
// units since 1601-01-01 UTC) whatever the outcome of the read, 0 when unknown.
ReadResult ReadWholeFile(const std::wstring& path, std::vector<std::uint8_t>* bytes,
                         std::uint64_t maxBytes = kMaxFileBytes,
                         std::uint64_t* lastWrite = nullptr);

// Reads up to n bytes from the start of the file into *out (resized to what
// was read). False when the file cannot be opened.
bool ReadFilePrefix(const std::wstring& path, std::size_t n, std::vector<std::uint8_t>* out);

// Number of logical processors, at least 1.
unsigned LogicalProcessors();

// The file-name part of a path (after the last '\\' or '/').
std::wstring FileNamePart(const std::wstring& path);

// The extension of a path's file name, dot included ("" when none).
std::wstring ExtensionPart(const std::wstring& path);

// The path without its last component, the way the shell removes a file
// spec (the shell itself on Windows, RemoveFileSpec elsewhere).
std::wstring FolderPart(const std::wstring& path);
// Paths longer than 259 characters are cut to 259 first; then "C:\dir\a.jpg"
// gives "C:\dir", "C:\a.jpg" gives "C:\" and "/a.jpg" gives "/"; a bare name
// gives "".
std::wstring RemoveFileSpec(const std::wstring& path);

// A byte count as the shell shows file sizes (the shell itself on Windows,
// ByteSizeText elsewhere).
std::wstring FormatByteSize(std::uint64_t bytes);
// "532 bytes", "1.30 KB", "22.9 KB", "2.28 MB": powers of 1024, three
// significant digits, cut rather than rounded.
std::wstring ByteSizeText(std::uint64_t bytes);

// A message with up to two "%ls" insertions, taken in order.
std::wstring FormatMessageText(const wchar_t* format, const std::wstring& first,
                               const std::wstring& second = std::wstring());

// Writes a message into a caller buffer of errLen wide characters, truncated
// to fit and always zero-terminated; nothing when the buffer is unusable.
void WriteMessage(wchar_t* err, std::size_t errLen, const std::wstring& text);

// UTF-8 bytes of a wide string, and back (invalid sequences become U+FFFD).
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& bytes);

// Strict UTF-8: true with the decoded text in *out when all `size` bytes are
// valid UTF-8 (zero bytes included as characters); false, with *out cleared,
// for bad or truncated sequences, overlong forms, surrogates and code points
// above U+10FFFF.
bool Utf8ToWideStrict(const char* data, std::size_t size, std::wstring* out);

// Bytes in the system ANSI code page: the real one on Windows, Windows-1252
// elsewhere. Empty when the conversion gives nothing.
std::wstring AnsiToWide(const char* data, std::size_t size);

// The current local date and time, to the second.
struct LocalTime {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
};
LocalTime LocalTimeNow();

// A FILETIME value (UTC) as local time. False when it cannot be converted.
bool FileTimeToLocal(std::uint64_t fileTime, LocalTime* out);

}  // namespace platform

// ---------------------------------------------------------------------------
// Writing files: a new file created exclusively, written and flushed, then
// swapped in for the file it replaces. Used by every save, so that a file the
// program did not create is never overwritten by accident, and the file being
// saved over is never lost.
namespace platform {

// True when something (a file, a folder, a link) has that name. An entry that
// cannot be examined counts as existing.
bool FileExists(const std::wstring& path);

// A file's size and last-write time (a FILETIME value): what tells that a
// file changed since it was read. Not known when the file cannot be examined.
struct FileStamp {
  bool known = false;
  std::uint64_t size = 0;
  std::uint64_t time = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::wstring& path);

enum class AtomicResult {
  Ok,
  CannotCreate,   // no temporary file could be made and written (folder missing, no
                  // rights, disk full, every temporary name taken); `path` untouched
  CannotReplace,  // written, but it could not take the place of `path` (read-only, a
                  // folder, in use); `path` untouched, but for the POSIX case below
  KeptAside,      // the system removed the old file at `path` but could not give the
                  // new one its name: the new content stays, whole, under the
                  // temporary name (*kept), now the only copy
};

// Replaces the file at `path` (or creates it) with exactly `size` bytes, so
// that `path` holds either all of its old content or all of the new, never a
// mix, even when the process dies half-way. The bytes go to a temporary file
// in the same folder, created exclusively under the first free name of
// path + ".saving", ".saving1" ... ".saving99" (a name already taken belongs
// to someone else: it is never opened, overwritten or deleted), written,
// flushed to the disk and closed, then swapped in; a replaced file keeps its
// attributes (Windows) or permissions (POSIX). A read-only `path` is refused
// whatever the process's rights (on POSIX: one nobody may write, or this
// process may not), as is a folder by that name. On POSIX the
// folder is flushed after the swap, so the new entry survives a power cut
// before success is reported; should that flush fail the result is
// CannotReplace although the new file may already be in place. After a
// failure the temporary file is gone again, but for KeptAside: when a file
// was at `path` before the swap and nothing is there after it, the temporary
// file is the only copy left and is kept; `kept` (when not null) receives
// its path. Only a process that dies half-way leaves one behind otherwise,
// and the next save steps over its name.
AtomicResult WriteAtomically(const std::wstring& path, const std::uint8_t* data, std::size_t size,
                             std::wstring* kept = nullptr);

// The sentence for KeptAside, naming the file the new content was kept in.
std::wstring KeptAsideMessage(const std::wstring& kept);

// Deletes a file. False when it could not be deleted.
bool RemoveFile(const std::wstring& path);

}  // namespace platform
