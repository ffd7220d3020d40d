// The system calls behind WriteAtomically. The order of the steps, the
// temporary names and the guard that deletes the temporary file on every way
// out are portable (platform/atomic.cpp); each platform file gives these few
// calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::atomic {

// A file name in the form the system calls take (UTF-8 on POSIX, UTF-16 on
// Windows), made once, so that deleting the temporary file neither converts
// nor allocates.
#ifdef _WIN32
using SystemName = std::wstring;
#else
using SystemName = std::string;
#endif

SystemName ToSystemName(const std::wstring& path);

enum class Created {
  kWritten,      // made, written, flushed to the disk and closed
  kTaken,        // something has that name already; it was not opened
  kNotCreated,   // no file made, for any other reason
  kWriteFailed,  // made, but writing, flushing or closing failed: delete it
};

// Creates `name` only where nothing has that name (never opening what exists,
// a link included), writes all `size` bytes, flushes them and closes the
// file, whose close is checked too. The file is closed on return whatever
// happened, so that it can be deleted (Windows cannot delete an open file);
// nothing in it throws, so the caller takes over the name as it returns.
Created CreateAndWrite(const SystemName& name, const std::uint8_t* data, std::size_t size) noexcept;

enum class Swapped {
  kRefused,     // `temp` did not take the place of `dest` and is still there
  kDone,        // `temp` is the file at `dest` now
  kNotFlushed,  // it is, but the folder could not be flushed (POSIX)
};

// Puts the finished file `temp` in place of `dest`, refusing a read-only
// `dest` and a folder by that name.
Swapped SwapIn(const SystemName& temp, const SystemName& dest);

// What WriteAtomically calls to swap; tests put a failing swap here (null
// restores SwapIn).
using SwapFunction = Swapped (*)(const SystemName& temp, const SystemName& dest);
void SetSwapForTest(SwapFunction swap);

// Deletes the temporary file; what the guard does on a failure.
void DeleteTemporary(const SystemName& name) noexcept;

}  // namespace platform::atomic
