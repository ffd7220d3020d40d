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

}  // namespace

AtomicResult WriteAtomically(const std::wstring& path, const std::uint8_t* data, std::size_t size) {
  const atomic::SystemName dest = atomic::ToSystemName(path);
  TempFile temp;
  for (int i = 0; i < kTempNames && !temp; ++i) {
    // Made before the file exists, so the guard takes it over without
    // allocating.
    atomic::SystemName name =
        atomic::ToSystemName(path + L".saving" + (i == 0 ? std::wstring() : std::to_wstring(i)));
    const atomic::Created made = atomic::CreateAndWrite(name, data, size);
    if (made == atomic::Created::kTaken) continue;  // someone else's: never touched
    if (made == atomic::Created::kNotCreated) return AtomicResult::CannotCreate;
    temp.reset(std::move(name));
    if (made == atomic::Created::kWriteFailed) return AtomicResult::CannotCreate;
  }
  if (!temp) return AtomicResult::CannotCreate;  // every name is someone else's
  const atomic::Swapped swapped = atomic::SwapIn(temp.get(), dest);
  if (swapped == atomic::Swapped::kRefused) return AtomicResult::CannotReplace;
  temp.release();  // it is the file at `path` now
  return swapped == atomic::Swapped::kDone ? AtomicResult::Ok : AtomicResult::CannotReplace;
}

}  // namespace platform
