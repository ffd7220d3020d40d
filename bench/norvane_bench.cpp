// norvane_bench: how long Norvane takes to load a picture and fit it into the
// viewer's window (a 1024 × 1024 box, aspect kept, never enlarged).
//
//   norvane_bench [-n RUNS] [--once] FILE...
//
// For each file, the median of RUNS runs (after one warm-up) of:
//   decode   the imaging decoders alone: CreateDecoderFromMemory, frame 0,
//            CopyPixels as 32bppPBGRA (the bytes already in memory)
//   fit      ScaleBitmap, HighQualityCubic, to the fit size (per SIMD path)
//   decode+fit  both, one after the other
//   load+fit the viewer's own path from the file: picture_load and
//            picture_scaled (LoadAndFit below)
// and the peak resident memory of the process.
//
//   first    the first paint of the viewer: picture_open (a JPEG at
//            a fit of 1/2 or less decoded at a DCT reduction) and
//            picture_scaled, picture_load where no reduced decode applies
//   read file, first touch
//            what memory new to the process costs on this machine: the
//            file read into a new buffer, and the first writes to as many
//            bytes as the picture's BGRA
//
// --once does one load+fit per file and prints nothing: the form that
// bench/run.sh times as a process next to the other programs; --once --first
// does one first paint instead.
//
//   norvane_bench --step FILE...
//
// Steps through the files as the viewer steps through a folder, with the
// viewer's prefetcher (the whole picture behind a first look and the two
// neighbours decoded on the worker thread): each step is timed from the key
// to the picture ready to paint (taken from the neighbour cache with its
// scaled view, or for a cold step the first paint), and the "user" looks at
// each picture until the worker is idle. Prints the median prefetched step,
// the first (cold) step and the peak resident memory against one picture's
// BGRA size.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "app/prefetch.h"
#include "decode/decode.h"
#include "imaging/imaging.h"
#include "imaging/scale_internal.h"
#include "platform/platform.h"

namespace {

namespace si = img::scale_internal;

constexpr int kBox = 1024;

struct Size {
  int w = 0, h = 0;
};

// The fit size: inside kBox × kBox, aspect kept, never enlarged.
Size FitSize(int w, int h) {
  if (w <= kBox && h <= kBox) return {w, h};
  const double s = std::min(static_cast<double>(kBox) / w, static_cast<double>(kBox) / h);
  return {std::max(1, static_cast<int>(w * s + 0.5)), std::max(1, static_cast<int>(h * s + 0.5))};
}

double NowMs() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double, std::milli>(clock::now().time_since_epoch()).count();
}

// Median time of `runs` calls after a warm-up; negative when a call fails.
double MedianMs(int runs, const std::function<bool()>& f) {
  if (!f()) return -1;
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const double t0 = NowMs();
    if (!f()) return -1;
    t.push_back(NowMs() - t0);
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

long PeakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

struct Pixels {
  int w = 0, h = 0;
  std::vector<std::uint8_t> px;  // premultiplied BGRA
};

// (a) Decoding with the imaging decoders alone.
img::HResult DecodeImaging(const img::Bytes& bytes, Pixels* out) {
  std::unique_ptr<img::Decoder> decoder;
  img::HResult hr = img::CreateDecoderFromMemory(bytes, &decoder);
  if (img::Failed(hr)) return hr;
  std::unique_ptr<img::Frame> frame;
  hr = decoder->GetFrame(0, &frame);
  if (img::Failed(hr)) return hr;
  out->w = static_cast<int>(frame->Width());
  out->h = static_cast<int>(frame->Height());
  const std::size_t stride = static_cast<std::size_t>(out->w) * 4;
  out->px.resize(stride * static_cast<std::size_t>(out->h));
  return frame->CopyPixels(img::PixelFormat::Pbgra32, out->px.data(), stride, out->px.size());
}

// (b) Fitting decoded pixels with the scaler.
img::HResult Fit(const Pixels& d, Size fit, std::vector<std::uint8_t>* out,
                 const si::Options& options = {}) {
  out->resize(static_cast<std::size_t>(fit.w) * fit.h * 4);
  const img::MemSource src{d.px.data(), d.w, d.h};
  return si::ScaleWith(src, fit.w, fit.h, img::Interpolation::HighQualityCubic, out->data(),
                       static_cast<std::uint32_t>(fit.w) * 4,
                       static_cast<std::uint32_t>(out->size()), options);
}

// ---------------------------------------------------------------------------
// THE VIEWER'S LOAD + FIT. This is the spot where picture_load (decode/) takes
// the place of the imaging-decoder measurement (a): the whole path from the
// file name, with colour management, orientation and compositing, then the
// resampled copy the viewer draws below 100 %. Returns false on any failure.
bool LoadAndFit(const std::wstring& path, Size* picture, Size* fitted) {
  wchar_t err[256];
  Picture* p = picture_load(path.c_str(), err, 256);
  if (!p) {
    std::fprintf(stderr, "picture_load: %s\n", platform::WideToUtf8(err).c_str());
    return false;
  }
  const Size fit = FitSize(picture_width(p), picture_height(p));
  PictureBitmap scaled = nullptr;
  if (fit.w != picture_width(p) || fit.h != picture_height(p)) {
    scaled = picture_scaled(p, fit.w, fit.h);
    if (!scaled) {
      picture_free(p);
      return false;
    }
  }
  if (picture) *picture = {picture_width(p), picture_height(p)};
  if (fitted) *fitted = fit;
  if (scaled) bitmap_delete(scaled);
  picture_free(p);
  return true;
}
// The viewer's first paint: a reduced decode where one applies, else the
// whole picture, then the copy at the fit size.
bool FirstPaint(const std::wstring& path, Size* shown) {
  wchar_t err[256];
  Picture* p = picture_open(
      path.c_str(),
      [](int w, int h) {
        const Size f = FitSize(w, h);
        return static_cast<double>(f.w) / w;
      },
      err, 256);
  if (!p) return false;
  const Size fit = FitSize(picture_width(p), picture_height(p));
  PictureBitmap scaled = nullptr;
  if (fit.w != picture_pixel_width(p) || fit.h != picture_pixel_height(p)) {
    scaled = picture_scaled(p, fit.w, fit.h);
  }
  const bool ok = scaled || (fit.w == picture_pixel_width(p) && fit.h == picture_pixel_height(p));
  if (shown) *shown = {picture_pixel_width(p), picture_pixel_height(p)};
  bitmap_delete(scaled);
  picture_free(p);
  return ok;
}
// ---------------------------------------------------------------------------

void PrintMs(const char* what, double ms) {
  if (ms < 0) {
    std::printf("  %-28s failed\n", what);
  } else {
    std::printf("  %-28s %8.2f ms\n", what, ms);
  }
}

const char* SimdName(si::Simd s) {
  switch (s) {
    case si::Simd::Scalar:
      return "scalar";
    case si::Simd::Sse2:
      return "sse2";
    case si::Simd::Avx2:
      return "avx2";
    case si::Simd::Auto:
      return "auto";
  }
  return "?";
}

std::uint8_t* volatile g_sink = nullptr;

int BenchFile(const std::string& file, int runs) {
  const std::wstring path = platform::Utf8ToWide(file);
  std::vector<std::uint8_t> raw;
  if (platform::ReadWholeFile(path, &raw) != platform::ReadResult::Ok) {
    std::fprintf(stderr, "%s: cannot read\n", file.c_str());
    return 1;
  }
  const img::Bytes bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(raw));
  std::printf("%s (%zu bytes)\n", file.c_str(), bytes->size());

  Pixels d;
  const img::HResult hr = DecodeImaging(bytes, &d);
  double decodeMs = -1, fitMs = -1, bothMs = -1;
  Size fit;
  if (img::Failed(hr)) {
    std::printf("  imaging decoders: failed (0x%08X)\n", static_cast<unsigned>(hr));
  } else {
    fit = FitSize(d.w, d.h);
    const si::Plan plan =
        si::MakePlan(d.w, d.h, fit.w, fit.h, img::Interpolation::HighQualityCubic, {});
    std::printf("  %dx%d -> %dx%d: box %dx%d, taps %dx%d, %s first, %s, work %.1f KiB\n", d.w, d.h,
                fit.w, fit.h, plan.boxX, plan.boxY, plan.tapsX, plan.tapsY,
                plan.order == si::Order::VerticalFirst ? "vertical" : "horizontal",
                SimdName(plan.simd), plan.workBytes / 1024.0);
    decodeMs = MedianMs(runs, [&] {
      Pixels x;
      return img::Succeeded(DecodeImaging(bytes, &x));
    });
    PrintMs("decode (imaging decoders)", decodeMs);
    std::vector<std::uint8_t> out;
    fitMs = MedianMs(runs, [&] { return img::Succeeded(Fit(d, fit, &out)); });
    PrintMs("fit (ScaleBitmap, best)", fitMs);
    for (si::Simd s : {si::Simd::Avx2, si::Simd::Sse2, si::Simd::Scalar}) {
      if (!si::SimdAvailable(s)) continue;
      si::Options o;
      o.simd = s;
      const std::string label = std::string("fit, ") + SimdName(s);
      PrintMs(label.c_str(), MedianMs(runs, [&] { return img::Succeeded(Fit(d, fit, &out, o)); }));
    }
    {
      si::Options o;
      o.boxMinRemain = 0;
      PrintMs("fit, no box pre-reduction",
              MedianMs(runs, [&] { return img::Succeeded(Fit(d, fit, &out, o)); }));
    }
    bothMs = MedianMs(runs, [&] {
      Pixels x;
      std::vector<std::uint8_t> o;
      return img::Succeeded(DecodeImaging(bytes, &x)) && img::Succeeded(Fit(x, fit, &o));
    });
    PrintMs("decode+fit", bothMs);
  }
  Size pic, fitted;
  const double loadMs = MedianMs(runs, [&] { return LoadAndFit(path, &pic, &fitted); });
  PrintMs("load+fit (picture_load)", loadMs);
  Size decodedAt;
  const double firstMs = MedianMs(runs, [&] { return FirstPaint(path, &decodedAt); });
  PrintMs("first paint", firstMs);
  std::printf("  first paint decodes %dx%d\n", decodedAt.w, decodedAt.h);
  // What memory new to the process costs on this machine, part of every
  // figure above: the file read into a buffer of its own, and the first
  // writes to as many bytes as the whole picture's BGRA.
  PrintMs("read file (new buffer)", MedianMs(runs, [&] {
            std::vector<std::uint8_t> v;
            return platform::ReadWholeFile(path, &v) == platform::ReadResult::Ok;
          }));
  if (pic.w > 0 && pic.h > 0) {
    const std::size_t n = static_cast<std::size_t>(pic.w) * static_cast<std::size_t>(pic.h) * 4;
    PrintMs("first touch, picture size", MedianMs(runs, [&] {
              std::unique_ptr<std::uint8_t[]> p(new (std::nothrow) std::uint8_t[n]);
              if (!p) return false;
              std::memset(p.get(), 0x5A, n);
              g_sink = p.get();  // the writes are not optimised away
              return true;
            }));
  }
  std::printf("  peak RSS so far %ld KiB\n", PeakRssKb());
  std::printf(
      "RESULT %s decode_ms=%.2f fit_ms=%.2f decode_fit_ms=%.2f load_fit_ms=%.2f first_ms=%.2f\n",
      file.c_str(), decodeMs, fitMs, bothMs, loadMs, firstMs);
  return decodeMs < 0 && loadMs < 0 ? 1 : 0;
}

// What the worker posts, as the window's message queue holds it.
class Mailbox {
 public:
  bool Post(Decoded* d) {
    std::lock_guard<std::mutex> lock(m_);
    q_.push_back(d);
    cv_.notify_all();
    return true;
  }
  Decoded* Take() {
    std::lock_guard<std::mutex> lock(m_);
    if (q_.empty()) return nullptr;
    Decoded* d = q_.front();
    q_.pop_front();
    return d;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Decoded*> q_;
};

int StepBench(const std::vector<std::string>& files) {
  std::vector<std::wstring> paths;
  for (const std::string& f : files) paths.push_back(platform::Utf8ToWide(f));
  const int n = static_cast<int>(paths.size());
  if (n < 3) {
    std::fprintf(stderr, "--step wants at least three files\n");
    return 2;
  }
  Mailbox mail;
  Prefetcher prefetch(std::uint64_t{1} << 40, [&mail](Decoded* d) { return mail.Post(d); });
  const ViewSizeFn viewSize = [](int w, int h, int* vw, int* vh) {
    const Size f = FitSize(w, h);
    *vw = f.w, *vh = f.h;
  };
  DecodedPtr current;
  std::vector<double> warm;
  double cold = -1;
  std::uint64_t pictureBytes = 0;
  for (int i = 0; i < n; ++i) {
    const double t0 = NowMs();
    prefetch.Begin();
    DecodedPtr left = std::move(current);
    current = prefetch.Take(paths[static_cast<std::size_t>(i)]);
    const bool prefetched = current != nullptr;
    if (!current) {
      current = std::make_unique<Decoded>();
      current->path = paths[static_cast<std::size_t>(i)];
      current->stamp = platform::StampOf(current->path);
      wchar_t err[256];
      current->picture = picture_open(
          current->path.c_str(),
          [](int w, int h) {
            const Size f = FitSize(w, h);
            return static_cast<double>(f.w) / w;
          },
          err, 256);
      if (!current->picture) return 1;
      if (picture_reduction(current->picture) > 1) prefetch.DecodeWhole(current->path, viewSize);
      const Size f = FitSize(picture_width(current->picture), picture_height(current->picture));
      if (f.w != picture_pixel_width(current->picture)) {
        current->view = picture_scaled(current->picture, f.w, f.h);
        current->viewW = f.w, current->viewH = f.h;
      }
    }
    // Ready to paint: the viewer paints before it asks for the neighbours
    // (which frees the one left behind).
    const double ms = NowMs() - t0;
    if (prefetched) {
      warm.push_back(ms);
    } else if (i == 0) {
      cold = ms;
    }
    std::vector<std::wstring> wanted = {paths[static_cast<std::size_t>((i + 1) % n)],
                                        paths[static_cast<std::size_t>((i + n - 1) % n)]};
    prefetch.Want(wanted, std::move(left), viewSize);
    pictureBytes = static_cast<std::uint64_t>(picture_width(current->picture)) *
                   picture_height(current->picture) * 4;
    // The user looks at the picture until everything asked for has come.
    prefetch.Worker().WaitIdle();
    while (Decoded* d = mail.Take()) {
      if (DecodedPtr whole = prefetch.Receive(d)) current = std::move(whole);
    }
    std::printf("  step %d: %s %.2f ms\n", i, prefetched ? "prefetched" : "cold", ms);
  }
  current.reset();
  prefetch.Stop();
  while (Decoded* d = mail.Take()) delete d;
  std::sort(warm.begin(), warm.end());
  const double median = warm.empty() ? -1 : warm[warm.size() / 2];
  const long peak = PeakRssKb();
  std::printf("  prefetched step (median of %zu)  %.2f ms\n", warm.size(), median);
  std::printf("  cold step (the first)          %.2f ms\n", cold);
  std::printf("  peak RSS %ld KiB = %.2f x one picture's BGRA (%.0f KiB)\n", peak,
              peak * 1024.0 / static_cast<double>(pictureBytes), pictureBytes / 1024.0);
  std::printf("RESULT step warm_ms=%.2f cold_ms=%.2f peak_kb=%ld picture_kb=%.0f\n", median, cold,
              peak, pictureBytes / 1024.0);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: norvane_bench [-n RUNS] [--once [--first]] FILE...\n"
               "       norvane_bench --step FILE...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 9;
  bool once = false, first = false, step = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-n" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--once") {
      once = true;
    } else if (a == "--first") {
      first = true;
    } else if (a == "--step") {
      step = true;
    } else if (!a.empty() && a[0] == '-') {
      return Usage();
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) return Usage();
  if (!decode_init()) {
    std::fprintf(stderr, "decode_init failed\n");
    return 1;
  }
  int status = 0;
  if (step) {
    status = StepBench(files);
    decode_shutdown();
    return status;
  }
  for (const std::string& f : files) {
    if (once && first) {
      if (!FirstPaint(platform::Utf8ToWide(f), nullptr)) status = 1;
    } else if (once) {
      if (!LoadAndFit(platform::Utf8ToWide(f), nullptr, nullptr)) status = 1;
    } else {
      status |= BenchFile(f, runs);
    }
  }
  decode_shutdown();
  return status;
}
