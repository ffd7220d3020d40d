// WriteAtomically over the system calls of platform/atomic_internal.h: the
// temporary names, the order of the steps and the results are the same on
// both platforms.
#include <string>
#include <utility>

#include "platform/atomic_internal.h"
#include "platform/owned.h"
#include "platform/platform.h"

namespace platform {
namespace {

struct TempNameTraits {
  using Name = atomic::SystemName;
  static void Remove(const Name& name) { atomic::DeleteTemporary(name); }
};
using TempFile = OwnedName<TempNameTraits>;

// Names tried for the temporary file: ".saving", then ".saving1" to ".saving99".
constexpr int kTempNames = 100;

atomic::SwapFunction g_swap = nullptr;

}  // namespace

namespace atomic {

void SetSwapForTest(SwapFunction swap) { g_swap = swap; }

}  // namespace atomic

AtomicResult WriteAtomically(const std::wstring& path, const std::uint8_t* data, std::size_t size,
                             std::wstring* kept) {
  const atomic::SystemName dest = atomic::ToSystemName(path);
  TempFile temp;
  std::wstring tempPath;
  for (int i = 0; i < kTempNames && !temp; ++i) {
    // Made before the file exists, so the guard takes it over without
    // allocating.
    tempPath = path + L".saving" + (i == 0 ? std::wstring() : std::to_wstring(i));
    atomic::SystemName name = atomic::ToSystemName(tempPath);
    const atomic::Created made = atomic::CreateAndWrite(name, data, size);
    if (made == atomic::Created::kTaken) continue;  // someone else's: never touched
    if (made == atomic::Created::kNotCreated) return AtomicResult::CannotCreate;
    temp.reset(std::move(name));
    if (made == atomic::Created::kWriteFailed) return AtomicResult::CannotCreate;
  }
  if (!temp) return AtomicResult::CannotCreate;  // every name is someone else's
  const bool existed = FileExists(path);
  const atomic::Swapped swapped = (g_swap ? g_swap : atomic::SwapIn)(temp.get(), dest);
  if (swapped == atomic::Swapped::kRefused) {
    // A failed swap that took the old file with it (Windows may delete the
    // replaced file before it fails to rename the new one) leaves the new
    // content as the only copy: it stays where it is.
    if (!existed || FileExists(path)) return AtomicResult::CannotReplace;
    temp.release();
    if (kept) *kept = tempPath;
    return AtomicResult::KeptAside;
  }
  temp.release();  // it is the file at `path` now
  return swapped == atomic::Swapped::kDone ? AtomicResult::Ok : AtomicResult::CannotReplace;
}

std::wstring KeptAsideMessage(const std::wstring& kept) {
  return FormatMessageText(
      L"Windows removed the old file but could not put the new one in its place. The new file "
      L"was kept as \u201C%ls\u201D.",
      FileNamePart(kept));
}

}  // namespace platform
