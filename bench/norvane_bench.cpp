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
// --once does one load+fit per file and prints nothing: the form that
// bench/run.sh times as a process next to the other programs.
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

struct Decoded {
  int w = 0, h = 0;
  std::vector<std::uint8_t> px;  // premultiplied BGRA
};

// (a) Decoding with the imaging decoders alone.
img::HResult DecodeImaging(const img::Bytes& bytes, Decoded* out) {
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
img::HResult Fit(const Decoded& d, Size fit, std::vector<std::uint8_t>* out,
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

int BenchFile(const std::string& file, int runs) {
  const std::wstring path = platform::Utf8ToWide(file);
  std::vector<std::uint8_t> raw;
  if (platform::ReadWholeFile(path, &raw) != platform::ReadResult::Ok) {
    std::fprintf(stderr, "%s: cannot read\n", file.c_str());
    return 1;
  }
  const img::Bytes bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(raw));
  std::printf("%s (%zu bytes)\n", file.c_str(), bytes->size());

  Decoded d;
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
      Decoded x;
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
      Decoded x;
      std::vector<std::uint8_t> o;
      return img::Succeeded(DecodeImaging(bytes, &x)) && img::Succeeded(Fit(x, fit, &o));
    });
    PrintMs("decode+fit", bothMs);
  }
  Size pic, fitted;
  const double loadMs = MedianMs(runs, [&] { return LoadAndFit(path, &pic, &fitted); });
  PrintMs("load+fit (picture_load)", loadMs);
  std::printf("  peak RSS so far %ld KiB\n", PeakRssKb());
  std::printf("RESULT %s decode_ms=%.2f fit_ms=%.2f decode_fit_ms=%.2f load_fit_ms=%.2f\n",
              file.c_str(), decodeMs, fitMs, bothMs, loadMs);
  return decodeMs < 0 && loadMs < 0 ? 1 : 0;
}

int Usage() {
  std::fprintf(stderr, "usage: norvane_bench [-n RUNS] [--once] FILE...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 9;
  bool once = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-n" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--once") {
      once = true;
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
  for (const std::string& f : files) {
    if (once) {
      if (!LoadAndFit(platform::Utf8ToWide(f), nullptr, nullptr)) status = 1;
    } else {
      status |= BenchFile(f, runs);
    }
  }
  decode_shutdown();
  return status;
}
