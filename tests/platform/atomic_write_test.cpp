// WriteAtomically: the file at a path holds its old content or all of the new
// one, whatever fails, and nothing is left beside it; files under the
// temporary names that belong to someone else are never touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/atomic_internal.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#endif

namespace {

namespace fs = std::filesystem;
using platform::AtomicResult;
using testing_support::ScratchDir;

using Bytes = std::vector<std::uint8_t>;

// Paths through UTF-8 on both builds: the narrow locale of a POSIX test run
// cannot convert names outside ASCII.
fs::path ToPath(const std::wstring& path) {
  const std::string utf8 = platform::WideToUtf8(path);
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::wstring FromPath(const fs::path& path) {
  const std::u8string utf8 = path.u8string();
  return platform::Utf8ToWide(std::string(utf8.begin(), utf8.end()));
}

std::wstring Join(const std::wstring& dir, const std::wstring& name) {
  return FromPath(ToPath(dir) / ToPath(name));
}

Bytes ReadBytes(const std::wstring& path) {
  std::ifstream in(ToPath(path), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::wstring& path, const Bytes& bytes) {
  std::ofstream out(ToPath(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::wstring SavingName(const std::wstring& path, int i) {
  return path + L".saving" + (i == 0 ? std::wstring() : std::to_wstring(i));
}

Bytes Text(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }

// Bytes that differ from their neighbours, so a shift or a cut shows.
Bytes Pattern(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  std::uint32_t x = seed;
  for (std::uint8_t& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

std::string Utf8(const std::wstring& s) { return platform::WideToUtf8(s); }

std::vector<std::wstring> Listing(const std::wstring& dir) {
  std::vector<std::wstring> names;
  for (const fs::directory_entry& e : fs::directory_iterator(ToPath(dir))) {
    names.push_back(FromPath(e.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What a folder holds: each entry by name, with a file's bytes, a folder
// marked "<folder>" and a link by where it points.
std::map<std::wstring, Bytes> Snapshot(const std::wstring& dir) {
  std::map<std::wstring, Bytes> out;
  for (const fs::directory_entry& e : fs::directory_iterator(ToPath(dir))) {
    const std::wstring name = FromPath(e.path().filename());
    if (e.is_symlink()) {
      out[name] = Text(("<link to " + Utf8(FromPath(fs::read_symlink(e.path()))) + ">").c_str());
    } else if (e.is_directory()) {
      out[name] = Text("<folder>");
    } else {
      out[name] = ReadBytes(FromPath(e.path()));
    }
  }
  return out;
}

std::vector<std::wstring> Names(const std::map<std::wstring, Bytes>& snapshot) {
  std::vector<std::wstring> names;
  for (const auto& entry : snapshot) names.push_back(entry.first);
  return names;
}

// Read-only as the platform knows it: no write permission for anyone on
// POSIX, the attribute on Windows.
void MakeReadOnly(const std::wstring& path, bool readOnly) {
#ifdef _WIN32
  ASSERT_TRUE(
      SetFileAttributesW(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL));
#else
  ASSERT_EQ(chmod(Utf8(path).c_str(), readOnly ? 0444 : 0644), 0);
#endif
}

const Bytes kOld = Pattern(4096, 1);
const Bytes kTheirs = Text("not ours");

// How a case sets the folder up before the write.
enum class Setup {
  Nothing,
  OldFile,           // the target holds kOld
  OldFileMode0600,   // ... readable by its owner only
  ReadOnlyOldFile,   // ... and is read-only
  SavingTaken,       // kOld, and path.saving left behind by someone else
  SavingLinkTaken,   // kOld, and path.saving a link to a name that does not exist
  SavingsTo98Taken,  // kOld, and .saving to .saving98 taken: .saving99 is the last free name
  AllSavingsTaken,   // kOld, and all hundred temporary names taken
  FolderByThatName,  // an empty folder has the target's name
};

void Prepare(Setup setup, const std::wstring& target) {
  if (setup == Setup::Nothing) return;
  if (setup == Setup::FolderByThatName) {
    fs::create_directory(ToPath(target));
    return;
  }
  WriteBytes(target, kOld);
  int taken = 0;
  switch (setup) {
    case Setup::OldFileMode0600:
#ifndef _WIN32
      ASSERT_EQ(chmod(Utf8(target).c_str(), 0600), 0);
#endif
      break;
    case Setup::ReadOnlyOldFile:
      MakeReadOnly(target, true);
      break;
    case Setup::SavingTaken:
      taken = 1;
      break;
    case Setup::SavingLinkTaken:
#ifndef _WIN32
      // Relative: "elsewhere" in the same folder.
      fs::create_symlink(fs::path("elsewhere"), ToPath(SavingName(target, 0)));
#endif
      break;
    case Setup::SavingsTo98Taken:
      taken = 99;
      break;
    case Setup::AllSavingsTaken:
      taken = 100;
      break;
    default:
      break;
  }
  for (int i = 0; i < taken; ++i) {
    Bytes theirs = kTheirs;
    theirs.push_back(static_cast<std::uint8_t>(i));
    WriteBytes(SavingName(target, i), theirs);
  }
}

struct Case {
  const char* what;  // also the scratch folder's name
  Setup setup;
  const wchar_t* target;  // relative to the scratch folder
  Bytes content;
  AtomicResult result;
};

TEST(WriteAtomicallyTest, OldOrNewContentAndNothingElseChanges) {
  const Case cases[] = {
      {"atomic_new", Setup::Nothing, L"new.jpg", Pattern(1000, 2), AtomicResult::Ok},
      // Shorter than the old content: nothing of it may remain at the end.
      {"atomic_replace", Setup::OldFile, L"photo.jpg", Pattern(10, 3), AtomicResult::Ok},
      {"atomic_empty", Setup::OldFile, L"photo.jpg", Bytes(), AtomicResult::Ok},
      // Picture-sized.
      {"atomic_large", Setup::OldFile, L"photo.tif", Pattern(5 << 20, 4), AtomicResult::Ok},
      {"atomic_saving_taken", Setup::SavingTaken, L"photo.jpg", Pattern(100, 5), AtomicResult::Ok},
      {"atomic_last_name", Setup::SavingsTo98Taken, L"photo.jpg", Pattern(100, 6),
       AtomicResult::Ok},
      {"atomic_no_name", Setup::AllSavingsTaken, L"photo.jpg", Pattern(100, 7),
       AtomicResult::CannotCreate},
      {"atomic_read_only", Setup::ReadOnlyOldFile, L"photo.jpg", Pattern(100, 8),
       AtomicResult::CannotReplace},
      {"atomic_no_folder", Setup::Nothing, L"missing/photo.jpg", Pattern(100, 9),
       AtomicResult::CannotCreate},
      {"atomic_folder", Setup::FolderByThatName, L"photo.jpg", Pattern(100, 10),
       AtomicResult::CannotReplace},
      {"atomic_astral", Setup::OldFile, L"fichier \U0001F600.jpg", Pattern(100, 11),
       AtomicResult::Ok},
      {"atomic_astral_new", Setup::Nothing, L"\U0001D11E \u00E9t\u00E9.png", Pattern(100, 12),
       AtomicResult::Ok},
#ifndef _WIN32
      {"atomic_mode", Setup::OldFileMode0600, L"private.jpg", Pattern(100, 13), AtomicResult::Ok},
      // O_EXCL does not follow the link: its target is never created.
      {"atomic_saving_link", Setup::SavingLinkTaken, L"photo.jpg", Pattern(100, 14),
       AtomicResult::Ok},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring dir = ScratchDir(c.what);
    const std::wstring target = Join(dir, c.target);
    Prepare(c.setup, target);
    const std::map<std::wstring, Bytes> before = Snapshot(dir);
    const std::wstring targetName = FromPath(ToPath(target).filename());
#ifndef _WIN32
    struct stat st {};
    const bool hadMode = stat(Utf8(target).c_str(), &st) == 0;
    const mode_t modeBefore = st.st_mode & 07777;
#endif

    EXPECT_EQ(platform::WriteAtomically(target, c.content.data(), c.content.size()), c.result);

    const std::map<std::wstring, Bytes> after = Snapshot(dir);
    if (c.setup == Setup::ReadOnlyOldFile) MakeReadOnly(target, false);
    // The target holds the new bytes or is as it was; no temporary file is
    // left, and everything else is as it was, others' temporary files
    // included.
    std::map<std::wstring, Bytes> expected = before;
    if (c.result == AtomicResult::Ok) {
      EXPECT_TRUE(fs::is_regular_file(ToPath(target)));
      expected[targetName] = c.content;
    }
    EXPECT_EQ(Listing(dir), Names(expected));
    EXPECT_TRUE(after == expected);
#ifndef _WIN32
    if (hadMode && c.result == AtomicResult::Ok) {
      ASSERT_EQ(stat(Utf8(target).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, modeBefore);
    }
#endif
  }
}

// Swaps that fail the way the system can: the old file already removed (as
// ReplaceFileW may leave it when it cannot rename the new one), or kept.
platform::atomic::Swapped FailAfterRemovingOld(const platform::atomic::SystemName&,
                                               const platform::atomic::SystemName& dest) {
#ifdef _WIN32
  DeleteFileW(dest.c_str());
#else
  unlink(dest.c_str());
#endif
  return platform::atomic::Swapped::kRefused;
}

platform::atomic::Swapped FailKeepingOld(const platform::atomic::SystemName&,
                                         const platform::atomic::SystemName&) {
  return platform::atomic::Swapped::kRefused;
}

// The new content is never deleted when it has become the only copy; a
// failed swap that leaves the old file, or had none to replace, cleans up.
TEST(WriteAtomicallyTest, FailedSwapKeepsTheNewFileWhenTheOldOneIsGone) {
  struct SwapCase {
    const char* what;
    platform::atomic::SwapFunction swap;
    bool oldFile;
    AtomicResult result;
    bool keptAside;
  };
  const SwapCase cases[] = {
      {"swap_lost_old", FailAfterRemovingOld, true, AtomicResult::KeptAside, true},
      {"swap_kept_old", FailKeepingOld, true, AtomicResult::CannotReplace, false},
      {"swap_new_file", FailAfterRemovingOld, false, AtomicResult::CannotReplace, false},
  };
  for (const SwapCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring dir = ScratchDir(c.what);
    const std::wstring target = Join(dir, L"photo.jpg");
    if (c.oldFile) WriteBytes(target, kOld);
    const Bytes content = Pattern(4096, 30);
    std::wstring kept = L"untouched";
    platform::atomic::SetSwapForTest(c.swap);
    const AtomicResult result =
        platform::WriteAtomically(target, content.data(), content.size(), &kept);
    platform::atomic::SetSwapForTest(nullptr);
    EXPECT_EQ(result, c.result);
    if (c.keptAside) {
      EXPECT_EQ(kept, SavingName(target, 0));
      EXPECT_EQ(ReadBytes(kept), content) << "the only copy is whole";
      EXPECT_EQ(Listing(dir), std::vector<std::wstring>{L"photo.jpg.saving"});
      const std::wstring message = platform::KeptAsideMessage(kept);
      EXPECT_NE(message.find(L"\u201Cphoto.jpg.saving\u201D"), std::wstring::npos);
    } else {
      EXPECT_EQ(kept, L"untouched");
      EXPECT_EQ(Listing(dir),
                c.oldFile ? std::vector<std::wstring>{L"photo.jpg"} : std::vector<std::wstring>{});
      if (c.oldFile) {
        EXPECT_EQ(ReadBytes(target), kOld);
      }
    }
  }
}

#ifndef _WIN32

// Runs `body` in a child process and returns its exit status, or -1 when it
// did not exit by itself.
template <typename Body>
int InChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Reads the start of a file into the buffer given, as much as fits: the
// count read, 0 when the file cannot be opened. Reused buffers keep the
// crash test's many reads cheap.
std::size_t ReadInto(const std::wstring& path, Bytes* buffer) {
  std::FILE* f = std::fopen(Utf8(path).c_str(), "rb");
  if (!f) return 0;
  const std::size_t got = std::fread(buffer->data(), 1, buffer->size(), f);
  std::fclose(f);
  return got;
}

// The disk fills up half-way: the file size limit makes write() fail with
// EFBIG once the temporary file reaches it.
TEST(WriteAtomicallyTest, WriteFailureRemovesTheTemporaryFile) {
  const std::wstring dir = ScratchDir("atomic_write_fails");
  const std::wstring target = Join(dir, L"photo.jpg");
  WriteBytes(target, kOld);
  const std::map<std::wstring, Bytes> before = Snapshot(dir);
  const Bytes content = Pattern(1 << 20, 20);
  const int status = InChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 << 10, 64 << 10};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 100;
    return static_cast<int>(platform::WriteAtomically(target, content.data(), content.size()));
  });
  EXPECT_EQ(status, static_cast<int>(AtomicResult::CannotCreate));
  EXPECT_EQ(Listing(dir), std::vector<std::wstring>{L"photo.jpg"});
  EXPECT_TRUE(Snapshot(dir) == before);
}

// A process killed at any moment of a save leaves the old file or the new
// one, whole, and at most its one temporary file beside it.
TEST(WriteAtomicallyTest, KilledAnywhereInASaveLeavesOneWholeFile) {
  // Big enough that a save takes a while even in memory, so that kills land
  // in each of its steps; the two contents differ in every byte.
  constexpr std::size_t kSize = 24 << 20;
  constexpr int kKills = 100;
  const Bytes a = Pattern(kSize, 30);
  Bytes b = a;
  for (std::uint8_t& x : b) x = static_cast<std::uint8_t>(~x);
  const std::wstring dir = ScratchDir("atomic_crash");
  const std::wstring target = Join(dir, L"big.tif");
  ASSERT_EQ(platform::WriteAtomically(target, a.data(), a.size()), AtomicResult::Ok);

  // How long one save takes here only sets the range of the delays; nothing
  // is asserted about it.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(platform::WriteAtomically(target, b.data(), b.size()), AtomicResult::Ok);
  const auto oneSave = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  // Up to two saves' time after the child starts: mostly inside its first or
  // second save, sometimes between two.
  const long long maxDelay = std::max<long long>(2 * oneSave, 2000);

  // Read into once; the byte more shows a file that grew.
  Bytes now(kSize + 1);
  int leftOver = 0;
  testing_support::KillAtRandomMoments(
      kKills, 20240506, maxDelay,
      [&](unsigned i) {
        const Bytes& content = i % 2 ? b : a;
        return platform::WriteAtomically(target, content.data(), content.size()) ==
               AtomicResult::Ok;
      },
      [&] {
        const std::size_t got = ReadInto(target, &now);
        ASSERT_EQ(got, kSize) << "a cut or lengthened file";
        ASSERT_TRUE(std::memcmp(now.data(), a.data(), kSize) == 0 ||
                    std::memcmp(now.data(), b.data(), kSize) == 0)
            << "a mixed file";
        std::vector<std::wstring> names = Listing(dir);
        names.erase(std::remove(names.begin(), names.end(), L"big.tif"), names.end());
        ASSERT_LE(names.size(), 1u);
        if (!names.empty()) {
          // A later save would step over it; the next child starts from a clean
          // folder instead.
          EXPECT_EQ(names[0], L"big.tif.saving");
          ASSERT_TRUE(platform::RemoveFile(Join(dir, names[0])));
          ++leftOver;
        }
      });
  RecordProperty("one_save_us", static_cast<int>(oneSave));
  RecordProperty("killed_with_temporary_file", leftOver);
}

#endif  // !_WIN32

}  // namespace
