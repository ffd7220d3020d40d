// save_bench: how long a verified metadata save of a JPEG takes, and where
// the time goes.
//
//   save_bench [-n RUNS] FILE     breakdown, median of RUNS runs on copies
//   save_bench --once FILE        one save of FILE itself (Artist changed)
//
// The breakdown times, on the file's bytes in memory: the rewrite
// (EditJpegMeta and SpliceJpeg), the removal check, the picture check (two
// decodes side by side and the comparison) and the atomic write; then the
// whole meta_save from the file on disk, and the peak resident memory.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta_internal.h"
#include "platform/platform.h"

namespace {

double NowMs() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double, std::milli>(clock::now().time_since_epoch()).count();
}

double MedianMs(int runs, const std::function<bool()>& before, const std::function<bool()>& f) {
  std::vector<double> t;
  for (int i = 0; i <= runs; ++i) {
    if (before && !before()) return -1;
    const double t0 = NowMs();
    if (!f()) return -1;
    if (i > 0) t.push_back(NowMs() - t0);  // the first run warms up
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

long PeakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// The document with Artist set to a new value (added when the file has none).
bool EditArtist(const std::wstring& path, MetaDoc* doc, const std::wstring& artist) {
  if (!meta_load(path, doc)) return false;
  for (MetaField& f : doc->fields) {
    if (f.key == L"/app1/ifd/{ushort=315}") {
      f.value = artist;
      return true;
    }
  }
  for (const MetaPreset& p : kJpegPresets) {
    if (std::wcscmp(p.label, L"Artist") != 0) continue;
    const std::int32_t i = meta_add(doc, p);
    if (i < 0) return false;
    doc->fields[static_cast<std::size_t>(i)].value = artist;
    return true;
  }
  return false;
}

bool Save(const MetaDoc& doc) {
  wchar_t err[512] = {};
  if (meta_save(doc, err, 512)) return true;
  std::fprintf(stderr, "save failed: %s\n", platform::WideToUtf8(err).c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  bool once = false;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--once") == 0) {
      once = true;
    } else {
      file = argv[i];
    }
  }
  if (file.empty()) {
    std::fprintf(stderr, "usage: save_bench [-n RUNS] [--once] FILE\n");
    return 2;
  }
  const std::wstring path = platform::Utf8ToWide(file);
  if (once) {
    MetaDoc doc;
    return EditArtist(path, &doc, L"Norvane Bench") && Save(doc) ? 0 : 1;
  }

  namespace fs = std::filesystem;
  const fs::path copy = fs::temp_directory_path() / "save_bench_copy.jpg";
  const std::wstring copyPath = platform::Utf8ToWide(copy.string());
  auto fresh = [&]() {
    std::error_code ec;
    fs::copy_file(fs::path(file), copy, fs::copy_options::overwrite_existing, ec);
    return !ec;
  };
  MetaDoc doc;
  if (!fresh() || !EditArtist(copyPath, &doc, L"Norvane Bench")) {
    std::fprintf(stderr, "cannot load %s\n", file.c_str());
    return 1;
  }
  std::vector<std::uint8_t> out;
  std::vector<std::vector<std::uint8_t>> segments;
  std::wstring err;
  const double rewrite = MedianMs(runs, nullptr, [&]() {
    return EditJpegMeta(doc.bytes, doc, L"", &segments, &err) &&
           SpliceJpeg(doc.bytes, segments, &out);
  });
  const double removed = MedianMs(runs, nullptr, [&]() { return CheckRemoved(doc, &out, &err); });
  const double picture = MedianMs(runs, nullptr, [&]() { return SamePicture(doc.bytes, out); });
  const double write = MedianMs(runs, nullptr, [&]() { return WriteAtomic(copyPath, out, &err); });
  const double whole = MedianMs(
      runs, [&]() { return fresh() && EditArtist(copyPath, &doc, L"Norvane Bench"); },
      [&]() { return Save(doc); });
  std::error_code ec;
  fs::remove(copy, ec);
  std::printf("%s: %zu bytes\n", file.c_str(), doc.bytes.size());
  std::printf("  rewrite (EditJpegMeta + SpliceJpeg) %9.1f ms\n", rewrite);
  std::printf("  removal check                       %9.1f ms\n", removed);
  std::printf("  picture check (two decodes)         %9.1f ms\n", picture);
  std::printf("  atomic write                        %9.1f ms\n", write);
  std::printf("  meta_save, whole                    %9.1f ms\n", whole);
  std::printf("  peak resident memory                %9ld KiB\n", PeakRssKb());
  return rewrite < 0 || picture < 0 || whole < 0 ? 1 : 0;
}
