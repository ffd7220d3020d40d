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
// file is closed again before returning.
ReadResult ReadWholeFile(const std::wstring& path, std::vector<std::uint8_t>* bytes,
                         std::uint64_t maxBytes = kMaxFileBytes);

// Reads up to n bytes from the start of the file into *out (resized to what
// was read). False when the file cannot be opened.
bool ReadFilePrefix(const std::wstring& path, std::size_t n, std::vector<std::uint8_t>* out);

// Number of logical processors, at least 1.
unsigned LogicalProcessors();

// The file-name part of a path (after the last '\\' or '/').
std::wstring FileNamePart(const std::wstring& path);

// The extension of a path's file name, dot included ("" when none).
std::wstring ExtensionPart(const std::wstring& path);

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

}  // namespace platform
