// The viewer's UI test driver: writes its own test pictures into a scratch
// folder, starts norvane.exe on each of them, finds its main window by class
// and process, sends keys and mouse messages, and checks titles, window
// rectangles, what the window shows (read back from the screen) and what
// Ctrl+C puts on the clipboard. The settings scenarios click and key through
// the settings window and read what it writes to HKEY_CURRENT_USER back from
// the prefix's registry (removing it all before and after). One PASS or FAIL
// line per check; the exit code is the number of failures (capped at 100).
//
// Usage: ui_driver.exe --viewer PATH --scratch DIR [--screens DIR] [--dpi N]
//                      [--trash DIR] [--only NAME]
//
// --trash names the folder where the shell puts deleted files (checked after a
// deletion); --only runs one scenario.
//
// Geometry expectations are computed from the work area the driver measures
// (SPI_GETWORKAREA) and the frame of the viewer's window style, so the driver
// runs on any desktop size; the sizes quoted in the tables are the ones for a
// 1920×1080 desktop at 96 DPI and a 2880×1620 one at 144 DPI.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

// --- reporting ---------------------------------------------------------------

int g_failures = 0;
int g_passes = 0;
std::string g_prefix;  // check names start with it ("96dpi/", "144dpi/")

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

__attribute__((format(gnu_printf, 1, 2))) std::string Fmt(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// One line per check. `detail` says what was seen when it failed (and, for a
// pass, anything worth a glance).
bool Check(bool ok, const std::string& name, const std::string& detail = {}) {
  std::printf("%s  %s%s%s%s\n", ok ? "PASS" : "FAIL", g_prefix.c_str(), name.c_str(),
              detail.empty() ? "" : "  -- ", detail.c_str());
  std::fflush(stdout);
  (ok ? g_passes : g_failures)++;
  return ok;
}

void Note(const std::string& text) {
  std::printf("      %s%s\n", g_prefix.c_str(), text.c_str());
  std::fflush(stdout);
}

// Every wait in the driver is bounded; nothing waits longer than this.
constexpr DWORD kMaxWaitMs = 20000;
constexpr DWORD kStateWaitMs = 5000;  // for a title or size to follow an action

template <class F>
bool WaitFor(F done, DWORD ms) {
  ms = std::min(ms, kMaxWaitMs);
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(40);
  }
}

// --- test pictures -----------------------------------------------------------

// The coded pattern: every pixel's colour names its own coordinates, so a
// pixel read back from the screen or the clipboard tells which picture pixel
// is shown there. R and G are the low bytes of x and y (smooth ramps, so a
// fitted picture still looks like something); B holds x >> 8 in bits 0-3,
// y >> 8 in bits 4-6 and the parity of x + y in bit 7, a one-pixel
// checker that any blending between neighbours breaks.
std::uint32_t Coded(int x, int y) {  // 0x00RRGGBB
  const std::uint32_t r = static_cast<std::uint32_t>(x) & 0xFF;
  const std::uint32_t g = static_cast<std::uint32_t>(y) & 0xFF;
  const std::uint32_t b = ((static_cast<std::uint32_t>(x) >> 8) & 0x0F) |
                          (((static_cast<std::uint32_t>(y) >> 8) & 0x07) << 4) |
                          (static_cast<std::uint32_t>((x ^ y) & 1) << 7);
  return r << 16 | g << 8 | b;
}

// The coordinates a colour names, or false when it is no pattern colour of a
// picture of that size.
bool Decode(std::uint32_t rgb, int w, int h, int* x, int* y) {
  const int r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  *x = r | (b & 0x0F) << 8;
  *y = g | ((b >> 4) & 0x07) << 8;
  if (*x >= w || *y >= h) return false;
  return ((*x ^ *y) & 1) == (b >> 7);
}

bool WriteFileBytes(const std::wstring& path, const void* data, size_t size) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = size == 0 || WriteFile(f, data, static_cast<DWORD>(size), &written, nullptr);
  CloseHandle(f);
  return ok && written == size;
}

// A bottom-up BMP with a 40-byte header: 24-bit when opaque, else 32-bit
// BI_RGB with straight alpha in the fourth byte. `pixel` gives 0xAARRGGBB.
template <class F>
bool WriteBmp(const std::wstring& path, int w, int h, bool alpha, F pixel) {
  const int bpp = alpha ? 32 : 24;
  const size_t stride = (static_cast<size_t>(w) * bpp / 8 + 3) & ~size_t{3};
  const size_t pixels = stride * static_cast<size_t>(h);
  std::vector<std::uint8_t> file(54 + pixels, 0);
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfSize = static_cast<DWORD>(file.size());
  fh.bfOffBits = 54;
  BITMAPINFOHEADER ih{};
  ih.biSize = 40;
  ih.biWidth = w;
  ih.biHeight = h;
  ih.biPlanes = 1;
  ih.biBitCount = static_cast<WORD>(bpp);
  ih.biCompression = BI_RGB;
  ih.biSizeImage = static_cast<DWORD>(pixels);
  std::memcpy(file.data(), &fh, 14);
  std::memcpy(file.data() + 14, &ih, 40);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = file.data() + 54 + stride * static_cast<size_t>(h - 1 - y);
    for (int x = 0; x < w; ++x) {
      const std::uint32_t v = pixel(x, y);
      std::uint8_t* p = row + static_cast<size_t>(x) * (bpp / 8);
      p[0] = v & 0xFF;
      p[1] = (v >> 8) & 0xFF;
      p[2] = (v >> 16) & 0xFF;
      if (alpha) p[3] = static_cast<std::uint8_t>(v >> 24);
    }
  }
  return WriteFileBytes(path, file.data(), file.size());
}

// The transparent picture (a PNG drawn by scripts/ui-test.sh): three bands
// across, opaque blue-green, white at alpha 128, and fully transparent magenta
// (which must never show).
constexpr int kTransW = 240, kTransH = 180;
constexpr std::uint32_t kOpaqueBand = 0x1EA0DC;  // RGB(30, 160, 220)
enum class Band { Opaque, Half, Clear };
int BandLeft(Band b) { return static_cast<int>(b) * kTransW / 3; }

struct Pictures {
  std::wstring dir;
  std::wstring Path(const wchar_t* name) const { return dir + L"\\" + name; }
};

bool MakePictures(const Pictures& p) {
  CreateDirectoryW(p.dir.c_str(), nullptr);
  bool ok = WriteBmp(p.Path(L"picture.bmp"), 640, 480, false, Coded) &&
            WriteBmp(p.Path(L"big.bmp"), 3000, 2000, false, Coded) &&
            // Fitting it into the cap gives 1024/2050 = 0.49951, within 0.1 %
            // of the 0.5 step.
            WriteBmp(p.Path(L"near-step.bmp"), 2050, 100, false, Coded) &&
            // transparent.png and anim.gif are drawn by the script
            // beforehand: the viewer never composites a BMP's alpha onto the
            // checkerboard, and a GIF's frames need an encoder.
            GetFileAttributesW(p.Path(L"transparent.png").c_str()) != INVALID_FILE_ATTRIBUTES &&
            GetFileAttributesW(p.Path(L"anim.gif").c_str()) != INVALID_FILE_ATTRIBUTES &&
            WriteFileBytes(p.Path(L"zero.jpg"), "", 0);
  const char text[] = "This is a text file with a picture's name.\r\n";
  ok = ok && WriteFileBytes(p.Path(L"not-a-picture.jpg"), text, sizeof text - 1);
  const std::wstring folder = p.Path(L"no-pictures");
  CreateDirectoryW(folder.c_str(), nullptr);
  ok = ok && WriteFileBytes(folder + L"\\readme.txt", text, sizeof text - 1);
  return ok;
}

// --- environment -------------------------------------------------------------

struct Env {
  std::wstring viewer;   // norvane.exe
  std::wstring screens;  // where screenshots go ("" for none)
  std::wstring trash;    // where the shell moves deleted files ("" when unknown)
  Pictures pics;
  int dpi = 96;    // what the prefix is set to
  RECT work{};     // the work area
  RECT monitor{};  // the whole screen
};

int Px(int units, int dpi) { return MulDiv(units, dpi, 96); }
int FooterPx(int dpi) { return Px(24, dpi); }

constexpr std::uint32_t kBackground = 0x050913;  // RGB(5, 9, 19)
constexpr std::uint32_t kFooterBand = 0x10141C;  // RGB(16, 20, 28)

// --- the viewer process ------------------------------------------------------

struct FindData {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindProc(HWND h, LPARAM lp) {
  auto* d = reinterpret_cast<FindData*>(lp);
  wchar_t cls[64] = L"";
  GetClassNameW(h, cls, 64);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == d->pid && wcscmp(cls, L"NorvaneMainWnd") == 0 && IsWindowVisible(h)) {
    d->found = h;
    return FALSE;
  }
  return TRUE;
}

std::wstring TitleOf(HWND h) {
  wchar_t buf[512] = L"";
  GetWindowTextW(h, buf, 512);
  return buf;
}

// A started viewer. The destructor ends a viewer a scenario left running.
class Viewer {
 public:
  explicit Viewer(const Env& env) : env_(env) {}
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;
  ~Viewer() {
    if (pi_.hProcess) {
      if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) {
        PostMessageW(hwnd_, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(pi_.hProcess, 5000) == WAIT_TIMEOUT) {
          TerminateProcess(pi_.hProcess, 99);
          WaitForSingleObject(pi_.hProcess, 5000);
        }
      }
      CloseHandle(pi_.hThread);
      CloseHandle(pi_.hProcess);
    }
  }

  // Starts norvane.exe with one argument (none when empty) and waits for its
  // main window.
  bool Start(const std::wstring& arg, const std::string& what) {
    std::wstring cmd = L"\"" + env_.viewer + L"\"";
    if (!arg.empty()) cmd += L" \"" + arg + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    // Wine now and then fails a start with an internal error; a second try
    // after a pause succeeds.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
      if (attempt) Sleep(500);
      started = CreateProcessW(env_.viewer.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &pi_) != 0;
    }
    if (!started) {
      pi_ = {};
      return Check(false, what + ": viewer starts",
                   Fmt("CreateProcessW error %lu", GetLastError()));
    }
    FindData d{pi_.dwProcessId, nullptr};
    const bool found = WaitFor(
        [&] {
          d.found = nullptr;
          EnumWindows(FindProc, reinterpret_cast<LPARAM>(&d));
          return d.found != nullptr || WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0;
        },
        kMaxWaitMs);
    hwnd_ = d.found;
    if (!found || !hwnd_) {
      DWORD code = 0;
      GetExitCodeProcess(pi_.hProcess, &code);
      return Check(false, what + ": main window appears",
                   found ? Fmt("the viewer exited with %lu", code) : "no window in 20 s");
    }
    Sync();
    return true;
  }

  HWND hwnd() const { return hwnd_; }
  DWORD pid() const { return pi_.dwProcessId; }

  // Returns once the viewer's thread has handled everything sent before.
  bool Sync() const {
    DWORD_PTR r = 0;
    return SendMessageTimeoutW(hwnd_, WM_NULL, 0, 0, SMTO_NORMAL, kMaxWaitMs, &r) != 0;
  }

  // Sends a message and waits until the viewer has handled it.
  bool Send(UINT msg, WPARAM wp, LPARAM lp) const {
    DWORD_PTR r = 0;
    return SendMessageTimeoutW(hwnd_, msg, wp, lp, SMTO_NORMAL, kMaxWaitMs, &r) != 0;
  }

  bool Key(UINT vk) const {
    const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC)) << 16;
    const bool down = Send(WM_KEYDOWN, vk, 1 | scan);
    PostMessageW(hwnd_, WM_KEYUP, vk, 1 | scan | 0xC0000000);
    return down;
  }

  std::wstring Title() const { return TitleOf(hwnd_); }

  // Waits for the title to read `want`; returns what it read last.
  std::wstring WaitTitle(const std::wstring& want) const {
    std::wstring t;
    WaitFor(
        [&] {
          t = Title();
          return t == want;
        },
        kStateWaitMs);
    return t;
  }

  bool CheckTitle(const std::wstring& want, const std::string& name) const {
    const std::wstring t = WaitTitle(want);
    return Check(
        t == want, name,
        t == want ? "\"" + Utf8(t) + "\"" : "got \"" + Utf8(t) + "\", want \"" + Utf8(want) + "\"");
  }

  SIZE Client() const {
    RECT r{};
    GetClientRect(hwnd_, &r);
    return {r.right, r.bottom};
  }

  // Waits for the client area to take the wanted size.
  bool CheckClient(int w, int h, const std::string& name) const {
    SIZE s{};
    const bool ok = WaitFor(
        [&] {
          s = Client();
          return s.cx == w && s.cy == h;
        },
        kStateWaitMs);
    return Check(ok, name, Fmt("client %ld x %ld, want %d x %d", s.cx, s.cy, w, h));
  }

  bool CheckInsideWork(const std::string& name) const {
    RECT r{};
    GetWindowRect(hwnd_, &r);
    const RECT& w = env_.work;
    const bool ok =
        r.left >= w.left && r.top >= w.top && r.right <= w.right && r.bottom <= w.bottom;
    return Check(ok, name,
                 Fmt("window (%ld,%ld)-(%ld,%ld), work area (%ld,%ld)-(%ld,%ld)", r.left, r.top,
                     r.right, r.bottom, w.left, w.top, w.right, w.bottom));
  }

  bool Exited(DWORD ms) const { return WaitForSingleObject(pi_.hProcess, ms) == WAIT_OBJECT_0; }
  DWORD ExitCode() const {
    DWORD code = 0;
    GetExitCodeProcess(pi_.hProcess, &code);
    return code;
  }

  // WM_CLOSE, then the process must end with 0.
  bool Close(const std::string& what) {
    PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    const bool gone = Exited(kMaxWaitMs);
    return Check(gone && ExitCode() == 0, what + ": closes on WM_CLOSE",
                 gone ? Fmt("exit code %lu", ExitCode()) : "still running after 20 s");
  }

 private:
  const Env& env_;
  PROCESS_INFORMATION pi_{};
  HWND hwnd_ = nullptr;
};

// --- expectations ------------------------------------------------------------

std::wstring NameOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

int Percent(double zoom) { return static_cast<int>(100 * zoom + 0.5); }

const std::wstring kSep = L"   \u00B7   ";

std::wstring PictureTitle(const std::wstring& name, int w, int h, double zoom, bool fit) {
  std::wstring t = name + kSep + std::to_wstring(w) + L" \u00D7 " + std::to_wstring(h);
  if (Percent(zoom) != 100)
    t += kSep + (fit ? L"fit " : L"") + std::to_wstring(Percent(zoom)) + L"%";
  return t;
}

int ScaledSide(int side, double zoom) { return std::max(1, static_cast<int>(side * zoom + 0.5)); }

struct FrameSize {
  int w, h;
};

// The non-client size of the window's current style at the DPI, with the menu
// bar when the window has one.
FrameSize FrameOf(HWND h, int dpi) {
  RECT r{0, 0, 0, 0};
  AdjustWindowRectExForDpi(
      &r, static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE)), GetMenu(h) != nullptr,
      static_cast<DWORD>(GetWindowLongW(h, GWL_EXSTYLE)), static_cast<UINT>(dpi));
  return {r.right - r.left, r.bottom - r.top};
}

enum class Fit { Capped, Work, None };

struct Placement {
  double zoom;
  int clientW, clientH;  // footer included
  int availW, availH;    // the largest picture area the work area allows
};

// Where a picture's window goes: the work area less a margin of 38 units on
// every side (when it is wider and taller than six margins), less the frame
// and the footer, gives the room; fitting after an open also keeps each side
// within 1024 units.
Placement Expected(const Env& env, FrameSize frame, int imgW, int imgH, Fit fit, double zoom) {
  const int margin = Px(38, env.dpi), footer = FooterPx(env.dpi), cap = Px(1024, env.dpi);
  int ww = env.work.right - env.work.left, wh = env.work.bottom - env.work.top;
  if (ww > 6 * margin && wh > 6 * margin) {
    ww -= 2 * margin;
    wh -= 2 * margin;
  }
  Placement p{};
  p.availW = std::max(64, ww - frame.w);
  p.availH = std::max(64, wh - frame.h - footer);
  p.zoom = zoom;
  if (fit != Fit::None) {
    int boxW = p.availW, boxH = p.availH;
    if (fit == Fit::Capped) {
      boxW = std::min(boxW, cap);
      boxH = std::min(boxH, cap);
    }
    p.zoom = imgW <= boxW && imgH <= boxH
                 ? 1.0
                 : std::min(static_cast<double>(boxW) / imgW, static_cast<double>(boxH) / imgH);
  }
  p.clientW = std::min(p.availW, ScaledSide(imgW, p.zoom));
  p.clientH = std::min(p.availH, ScaledSide(imgH, p.zoom)) + footer;
  return p;
}

// --- reading the screen ------------------------------------------------------

struct Shot {
  int w = 0, h = 0;
  std::vector<std::uint32_t> px;  // 0x00RRGGBB, top-down
  std::uint32_t At(int x, int y) const {
    if (x < 0 || y < 0 || x >= w || y >= h) return 0xFFFFFFFFu;
    return px[static_cast<size_t>(y) * w + x] & 0xFFFFFF;
  }
};

// The whole (virtual) desktop as it is on the screen now.
Shot CaptureScreen() {
  Shot s;
  s.w = GetSystemMetrics(SM_CXSCREEN);
  s.h = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = s.w;
  bi.bmiHeader.biHeight = -s.h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bmp && bits) {
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, s.w, s.h, screen, 0, 0, SRCCOPY | CAPTUREBLT);
    GdiFlush();
    const auto* p = static_cast<const std::uint32_t*>(bits);
    s.px.assign(p, p + static_cast<size_t>(s.w) * s.h);
    SelectObject(mem, old);
    DeleteObject(bmp);
  } else {
    s.w = s.h = 0;
  }
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return s;
}

// A capture seen through the viewer's client area.
struct ClientShot {
  Shot s;
  POINT origin{};
  int cw = 0, ch = 0;
  std::uint32_t At(int x, int y) const { return s.At(origin.x + x, origin.y + y); }
};

ClientShot CaptureClient(const Viewer& v) {
  v.Sync();
  Sleep(200);  // the window surface reaches the screen after the paint
  v.Sync();
  ClientShot c;
  const SIZE sz = v.Client();
  c.cw = sz.cx;
  c.ch = sz.cy;
  ClientToScreen(v.hwnd(), &c.origin);
  c.s = CaptureScreen();
  return c;
}

// Saves the desktop as a 24-bit BMP (the test script turns it into PNG).
void SaveShot(const Env& env, const std::string& name) {
  if (env.screens.empty()) return;
  const Shot s = CaptureScreen();
  if (s.w == 0) return;
  const size_t stride = (static_cast<size_t>(s.w) * 3 + 3) & ~size_t{3};
  std::vector<std::uint8_t> file(54 + stride * s.h, 0);
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfSize = static_cast<DWORD>(file.size());
  fh.bfOffBits = 54;
  BITMAPINFOHEADER ih{};
  ih.biSize = 40;
  ih.biWidth = s.w;
  ih.biHeight = s.h;
  ih.biPlanes = 1;
  ih.biBitCount = 24;
  std::memcpy(file.data(), &fh, 14);
  std::memcpy(file.data() + 14, &ih, 40);
  for (int y = 0; y < s.h; ++y) {
    std::uint8_t* row = file.data() + 54 + stride * static_cast<size_t>(s.h - 1 - y);
    for (int x = 0; x < s.w; ++x) {
      const std::uint32_t v = s.At(x, y);
      row[3 * x] = v & 0xFF;
      row[3 * x + 1] = (v >> 8) & 0xFF;
      row[3 * x + 2] = (v >> 16) & 0xFF;
    }
  }
  std::string fname = g_prefix + name + ".bmp";
  std::replace(fname.begin(), fname.end(), '/', '-');
  WriteFileBytes(env.screens + L"\\" + std::wstring(fname.begin(), fname.end()), file.data(),
                 file.size());
}

// The part of the client area the picture occupies (the footer excluded), as
// the viewer centres it in the picture area.
struct Area {
  int offX, offY, visW, visH;
};

Area PictureArea(const ClientShot& c, int footer, int scaledW, int scaledH) {
  const int areaH = std::max(1, c.ch - footer);
  Area a{};
  a.visW = std::min(scaledW, c.cw);
  a.visH = std::min(scaledH, areaH);
  a.offX = (c.cw - a.visW) / 2;
  a.offY = (areaH - a.visH) / 2;
  return a;
}

// At 100 %: every sampled pixel of the area shows the picture pixel at
// (startX + dx, startY + dy). "" when so, else what differed first.
std::string CheckOneToOne(const ClientShot& c, const Area& a, int imgW, int imgH, int startX,
                          int startY) {
  int bad = 0;
  std::string first;
  for (int dy = 0; dy < a.visH; dy += (dy + 7 < a.visH || dy == a.visH - 1) ? 7 : a.visH - 1 - dy) {
    for (int dx = 0; dx < a.visW;
         dx += (dx + 5 < a.visW || dx == a.visW - 1) ? 5 : a.visW - 1 - dx) {
      const int px = startX + dx, py = startY + dy;
      if (px >= imgW || py >= imgH) continue;
      const std::uint32_t got = c.At(a.offX + dx, a.offY + dy);
      if (got != Coded(px, py)) {
        if (bad++ == 0) {
          first = Fmt("client (%d,%d) is %06X, want picture (%d,%d) = %06X", a.offX + dx,
                      a.offY + dy, got, px, py, Coded(px, py));
        }
      }
    }
  }
  return bad ? Fmt("%d sampled pixels differ; ", bad) + first : "";
}

// The picture pixel shown at a client point, or {-1,-1} when the colour is
// no pattern colour.
POINT PictureAt(const ClientShot& c, int x, int y, int imgW, int imgH) {
  int px = 0, py = 0;
  if (!Decode(c.At(x, y), imgW, imgH, &px, &py)) return {-1, -1};
  return {px, py};
}

// At an integer zoom n: along rows and columns of the visible area each
// picture pixel is a run of exactly n screen pixels (the first and last run
// may be cut by the edge) and neighbouring runs are neighbouring pixels.
std::string CheckBlocks(const ClientShot& c, const Area& a, int imgW, int imgH, int n) {
  auto line = [&](bool across, int fixed) -> std::string {
    const int len = across ? a.visW : a.visH;
    int prev = -1, run = 0, runStart = 0;
    for (int i = 0; i < len; ++i) {
      const int x = across ? a.offX + i : a.offX + fixed;
      const int y = across ? a.offY + fixed : a.offY + i;
      const POINT p = PictureAt(c, x, y, imgW, imgH);
      if (p.x < 0) return Fmt("client (%d,%d) = %06X is no picture colour", x, y, c.At(x, y));
      const int v = across ? p.x : p.y;
      if (i > 0 && v == prev) {
        if (++run > n) return Fmt("a run longer than %d at client (%d,%d)", n, x, y);
        continue;
      }
      if (i > 0 && v != prev + 1) {
        return Fmt("picture %s jumps %d -> %d at client (%d,%d)", across ? "x" : "y", prev, v, x,
                   y);
      }
      // The first run may be cut by the edge, every later one is whole.
      if (i > 0 && runStart > 0 && run != n)
        return Fmt("a run of %d before client (%d,%d)", run, x, y);
      if (i > 0) runStart = i;
      prev = v;
      run = 1;
    }
    return {};
  };
  for (int k = 0; k < 5; ++k) {
    const std::string r = line(true, (a.visH - 1) * k / 4);
    if (!r.empty()) return r;
    const std::string col = line(false, (a.visW - 1) * k / 4);
    if (!col.empty()) return col;
  }
  return {};
}

// The share of a rectangle's pixels with one colour.
double ShareOf(const ClientShot& c, int x0, int y0, int x1, int y1, std::uint32_t colour) {
  long long n = 0, hit = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      ++n;
      hit += c.At(x, y) == colour;
    }
  }
  return n ? static_cast<double>(hit) / n : 0;
}

bool CheckFooter(const ClientShot& c, int footer, const std::string& name) {
  const double share = ShareOf(c, 0, c.ch - footer, c.cw, c.ch, kFooterBand);
  // The row above the band belongs to the picture area.
  const double above = ShareOf(c, 0, c.ch - footer - 1, c.cw, c.ch - footer, kFooterBand);
  return Check(share > 0.6 && above < 0.5, name,
               Fmt("%.0f %% of the bottom %d rows are RGB(16,20,28), %.0f %% of the row above",
                   100 * share, footer, 100 * above));
}

// Something is drawn in the picture area: not every pixel is the background.
bool CheckDrawsSomething(const ClientShot& c, int footer, const std::string& name) {
  const double bg = ShareOf(c, 0, 0, c.cw, c.ch - footer, kBackground);
  return Check(bg < 0.999 && c.cw > 0, name,
               Fmt("%.2f %% of the picture area is the background colour", 100 * bg));
}

// Runs `check` on fresh captures until it passes or the state wait ends (the
// screen follows a paint with a short delay).
template <class F>
std::string Eventually(const Viewer& v, F check) {
  std::string r;
  WaitFor(
      [&] {
        r = check(CaptureClient(v));
        return r.empty();
      },
      kStateWaitMs);
  return r;
}

// --- input -------------------------------------------------------------------

LPARAM ClientPoint(int x, int y) { return MAKELPARAM(x, y); }

// A drag with the left button from one client point to another, the real
// cursor following so that no synthesised move disturbs it.
void Drag(const Viewer& v, POINT from, POINT to) {
  POINT s = from;
  ClientToScreen(v.hwnd(), &s);
  SetCursorPos(s.x, s.y);
  v.Send(WM_MOUSEMOVE, 0, ClientPoint(from.x, from.y));
  v.Send(WM_LBUTTONDOWN, MK_LBUTTON, ClientPoint(from.x, from.y));
  for (int i = 1; i <= 4; ++i) {
    const int x = from.x + (to.x - from.x) * i / 4, y = from.y + (to.y - from.y) * i / 4;
    v.Send(WM_MOUSEMOVE, MK_LBUTTON, ClientPoint(x, y));
  }
  v.Send(WM_LBUTTONUP, 0, ClientPoint(to.x, to.y));
}

// Ctrl+wheel at a client point.
void CtrlWheel(const Viewer& v, POINT at, int delta) {
  POINT s = at;
  ClientToScreen(v.hwnd(), &s);
  SetCursorPos(s.x, s.y);
  const WPARAM wp = MAKEWPARAM(MK_CONTROL, static_cast<WORD>(static_cast<short>(delta)));
  v.Send(WM_MOUSEWHEEL, wp, MAKELPARAM(s.x, s.y));
}

// Another thread of the driver holds the clipboard open for a moment, as a
// clipboard manager does.
struct ClipboardHolder {
  HANDLE opened = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = nullptr;
  DWORD ms = 0;

  explicit ClipboardHolder(DWORD holdMs) : ms(holdMs) {
    thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    if (thread) WaitForSingleObject(opened, 3000);
  }
  ~ClipboardHolder() {
    if (thread) {
      WaitForSingleObject(thread, 5000);
      CloseHandle(thread);
    }
    CloseHandle(opened);
  }
  ClipboardHolder(const ClipboardHolder&) = delete;
  ClipboardHolder& operator=(const ClipboardHolder&) = delete;

  static DWORD WINAPI Run(void* self) {
    auto* h = static_cast<ClipboardHolder*>(self);
    const bool open = WaitFor([] { return OpenClipboard(nullptr) != 0; }, 3000);
    SetEvent(h->opened);
    Sleep(h->ms);
    if (open) CloseClipboard();
    return 0;
  }
};

// Presses Ctrl+C in the viewer with real input (the viewer asks
// GetKeyState(VK_CONTROL)); true once the clipboard changed. With holdMs,
// the driver holds the clipboard for that long as each key goes in.
bool PressCtrlC(const Viewer& v, std::string* how, DWORD holdMs = 0) {
  const DWORD before = GetClipboardSequenceNumber();
  auto changed = [&] { return GetClipboardSequenceNumber() != before; };
  SetForegroundWindow(v.hwnd());
  WaitFor([&] { return GetForegroundWindow() == v.hwnd(); }, 2000);
  INPUT in[4]{};
  const WORD keys[4] = {VK_CONTROL, 'C', 'C', VK_CONTROL};
  for (int i = 0; i < 4; ++i) {
    in[i].type = INPUT_KEYBOARD;
    in[i].ki.wVk = keys[i];
    in[i].ki.wScan = static_cast<WORD>(MapVirtualKeyW(keys[i], MAPVK_VK_TO_VSC));
    in[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
  }
  {
    std::unique_ptr<ClipboardHolder> hold(holdMs ? new ClipboardHolder(holdMs) : nullptr);
    SendInput(4, in, sizeof(INPUT));
    v.Sync();
  }
  if (WaitFor(changed, 3000)) {
    *how = "SendInput";
    return true;
  }
  // Without a keyboard focus for real input: share the viewer's input state,
  // hold Ctrl down in it and send the key.
  const DWORD tid = GetWindowThreadProcessId(v.hwnd(), nullptr);
  if (AttachThreadInput(GetCurrentThreadId(), tid, TRUE)) {
    BYTE ks[256]{};
    GetKeyboardState(ks);
    ks[VK_CONTROL] = ks[VK_LCONTROL] = 0x80;
    SetKeyboardState(ks);
    std::unique_ptr<ClipboardHolder> hold(holdMs ? new ClipboardHolder(holdMs) : nullptr);
    v.Key('C');
    ks[VK_CONTROL] = ks[VK_LCONTROL] = 0;
    SetKeyboardState(ks);
    AttachThreadInput(GetCurrentThreadId(), tid, FALSE);
  }
  *how = "shared key state";
  return WaitFor(changed, 3000);
}

// The clipboard's bytes of a format (empty when there are none); asking for
// a delayed format makes the viewer render it.
std::vector<std::uint8_t> ReadClipboard(UINT format) {
  std::vector<std::uint8_t> out;
  if (!WaitFor([] { return OpenClipboard(nullptr) != 0; }, 3000)) return out;
  if (HANDLE h = GetClipboardData(format)) {
    const SIZE_T n = GlobalSize(h);
    if (const void* p = GlobalLock(h)) {
      out.assign(static_cast<const std::uint8_t*>(p), static_cast<const std::uint8_t*>(p) + n);
      GlobalUnlock(h);
    }
  }
  CloseClipboard();
  return out;
}

std::vector<std::uint8_t> ReadClipboardDib() { return ReadClipboard(CF_DIB); }

std::vector<std::uint8_t> ReadClipboardPng() {
  return ReadClipboard(RegisterClipboardFormatW(L"PNG"));
}

struct Dib {
  bool ok = false;
  int w = 0, h = 0;
  const std::uint8_t* bits = nullptr;
  // 0xAARRGGBB of picture pixel (x, y), top-down coordinates.
  std::uint32_t At(int x, int y) const {
    const std::uint8_t* p = bits + (static_cast<size_t>(h - 1 - y) * w + x) * 4;
    return static_cast<std::uint32_t>(p[3]) << 24 | p[2] << 16 | p[1] << 8 | p[0];
  }
};

// Checks the header of a copied picture and returns a view of its pixels.
Dib CheckDibHeader(const std::vector<std::uint8_t>& bytes, int w, int h, const std::string& name) {
  Dib d;
  if (!Check(bytes.size() >= 40, name + ": CF_DIB on the clipboard",
             Fmt("%zu bytes", bytes.size())))
    return d;
  BITMAPINFOHEADER ih;
  std::memcpy(&ih, bytes.data(), 40);
  const bool header = ih.biSize == 40 && ih.biWidth == w && ih.biHeight == h &&
                      ih.biBitCount == 32 && ih.biCompression == BI_RGB && ih.biPlanes == 1;
  Check(header, name + ": DIB header 40 bytes, bottom-up, 32 bpp, BI_RGB",
        Fmt("biSize %lu, %ld x %ld, %u bpp, compression %lu", ih.biSize, ih.biWidth, ih.biHeight,
            ih.biBitCount, ih.biCompression));
  const size_t need = 40 + static_cast<size_t>(w) * h * 4;
  if (!header || !Check(bytes.size() >= need, name + ": DIB holds every pixel",
                        Fmt("%zu bytes, want %zu", bytes.size(), need)))
    return d;
  d.ok = true;
  d.w = w;
  d.h = h;
  d.bits = bytes.data() + 40;
  return d;
}

// --- scenarios ---------------------------------------------------------------

struct Layout {
  int footer;
  FrameSize frame;
};

Layout LayoutOf(const Env& env, const Viewer& v) {
  return {FooterPx(env.dpi), FrameOf(v.hwnd(), env.dpi)};
}

// The brief's numbers for the two desktops the test script sets up: at
// 96 DPI a 640×480 picture opens with a 640×504 client, 3000×2000 fitted
// into the 1024 cap; at 144 DPI the footer is 36 and the cap 1536.
struct OpenRow {
  int dpi;
  const wchar_t* file;
  int imgW, imgH;
  int clientW, clientH;
  const wchar_t* suffix;  // the title's zoom part
};
const OpenRow kOpenRows[] = {
    {96, L"picture.bmp", 640, 480, 640, 504, L""},
    {96, L"big.bmp", 3000, 2000, 1024, 707, L"   \u00B7   fit 34%"},
    {144, L"picture.bmp", 640, 480, 640, 516, L""},
    {144, L"big.bmp", 3000, 2000, 1536, 1060, L"   \u00B7   fit 51%"},
};

// Opening a picture: the title, the client size (computed from the work area
// and, where the work area is large enough, the fixed numbers above), the
// window inside the work area, the footer band.
bool CheckOpened(const Env& env, const Viewer& v, const std::wstring& file, int imgW, int imgH,
                 const std::string& name) {
  const Layout lay = LayoutOf(env, v);
  const Placement p = Expected(env, lay.frame, imgW, imgH, Fit::Capped, 1.0);
  bool ok = v.CheckTitle(PictureTitle(NameOf(file), imgW, imgH, p.zoom, true), name + ": title");
  ok &= v.CheckClient(p.clientW, p.clientH, name + ": client size after opening");
  for (const OpenRow& row : kOpenRows) {
    if (row.dpi != env.dpi || NameOf(file) != row.file) continue;
    const std::wstring title = std::wstring(row.file) + kSep + std::to_wstring(row.imgW) +
                               L" \u00D7 " + std::to_wstring(row.imgH) + row.suffix;
    if (p.clientW != row.clientW || p.clientH != row.clientH) {
      Note(Fmt("the work area is too small for the fixed %d x %d of %s; skipped", row.clientW,
               row.clientH, Utf8(row.file).c_str()));
      continue;
    }
    ok &= Check(v.Title() == title, name + ": title as in the table", Utf8(v.Title()));
    const SIZE c = v.Client();
    ok &= Check(c.cx == row.clientW && c.cy == row.clientH, name + ": client as in the table",
                Fmt("%ld x %ld, want %d x %d", c.cx, c.cy, row.clientW, row.clientH));
  }
  ok &= v.CheckInsideWork(name + ": window inside the work area");
  const UINT wdpi = GetDpiForWindow(v.hwnd());
  ok &= Check(static_cast<int>(wdpi) == env.dpi, name + ": the window's DPI", Fmt("%u", wdpi));
  return ok;
}

// The viewer has ended, within the wait, with exit code 0.
void CheckExitedCleanly(const Viewer& v, const std::string& what) {
  const bool gone = v.Exited(kMaxWaitMs);
  Check(gone && v.ExitCode() == 0, what,
        gone ? Fmt("exit code %lu", v.ExitCode()) : "still running after 20 s");
}

void ScenarioEmpty(const Env& env) {
  Viewer v(env);
  if (!v.Start(L"", "empty")) return;
  v.CheckTitle(L"Norvane", "empty: title");
  v.CheckInsideWork("empty: window inside the work area");
  const int footer = FooterPx(env.dpi);
  Eventually(v, [&](const ClientShot& c) {
    return ShareOf(c, 0, 0, c.cw, c.ch - footer, kBackground) < 0.999 ? std::string()
                                                                      : std::string("blank");
  });
  CheckDrawsSomething(CaptureClient(v), footer, "empty: draws the empty state");
  CheckFooter(CaptureClient(v), footer, "empty: footer band");
  SaveShot(env, "empty");
  // Esc outside full screen ends the program.
  v.Key(VK_ESCAPE);
  CheckExitedCleanly(v, "empty: Esc closes the program with exit code 0");
}

// A 640×480 picture at 100 %: geometry, pixels 1:1, footer, Ctrl+C.
void ScenarioPicture(const Env& env) {
  Viewer v(env);
  const std::wstring file = env.pics.Path(L"picture.bmp");
  if (!v.Start(file, "picture")) return;
  CheckOpened(env, v, file, 640, 480, "picture");
  const int footer = FooterPx(env.dpi);
  const std::string pixels = Eventually(v, [&](const ClientShot& c) {
    return CheckOneToOne(c, PictureArea(c, footer, 640, 480), 640, 480, 0, 0);
  });
  Check(pixels.empty(), "picture: shown 1:1 centred in the picture area", pixels);
  CheckFooter(CaptureClient(v), footer, "picture: footer band");
  SaveShot(env, "picture-100");
  if (env.dpi != 96) {
    v.Close("picture");
    return;
  }

  std::string how;
  // Held by someone else when the key comes: the copy waits for it.
  const bool copied = PressCtrlC(v, &how, 250);
  Check(copied, "picture: Ctrl+C changes the clipboard, also while it is briefly held", how);
  if (copied) {
    const std::vector<std::uint8_t> bytes = ReadClipboardDib();
    const Dib d = CheckDibHeader(bytes, 640, 480, "picture");
    if (d.ok) {
      int bad = 0;
      std::string first;
      for (int y = 0; y < 480; y += 13) {
        for (int x = 0; x < 640; x += 11) {
          const std::uint32_t want = 0xFF000000u | Coded(x, y);
          if (d.At(x, y) != want && bad++ == 0)
            first = Fmt("(%d,%d) is %08X, want %08X", x, y, d.At(x, y), want);
        }
      }
      const std::uint32_t last = d.At(639, 479), want = 0xFF000000u | Coded(639, 479);
      if (last != want && bad++ == 0) first = Fmt("(639,479) is %08X, want %08X", last, want);
      Check(bad == 0, "picture: copied pixels equal the picture", first);
    }
  }
  v.Close("picture");
}

// The zoom ladder by keys, with the title following each step; the ends hold.
void ScenarioLadder(const Env& env) {
  Viewer v(env);
  const std::wstring file = env.pics.Path(L"picture.bmp");
  if (!v.Start(file, "ladder")) return;
  v.CheckTitle(PictureTitle(NameOf(file), 640, 480, 1, false), "ladder: opens at 100 %");
  struct Step {
    UINT key;
    double zoom;
  };
  const Step steps[] = {
      {VK_SUBTRACT, 0.75},
      {VK_OEM_MINUS, 0.67},
      {VK_SUBTRACT, 0.5},
      {VK_OEM_MINUS, 0.33},
      {VK_SUBTRACT, 0.25},
      {VK_OEM_MINUS, 0.2},
      {VK_SUBTRACT, 0.15},
      {VK_OEM_MINUS, 0.1},
      {VK_SUBTRACT, 0.05},
      {VK_OEM_MINUS, 0.05},  // the bottom holds
      {'1', 1},
      {VK_ADD, 1.5},
      {VK_OEM_PLUS, 2},
      {VK_ADD, 3},
      {VK_OEM_PLUS, 4},
      {VK_ADD, 6},
      {VK_OEM_PLUS, 8},
      {VK_ADD, 12},
      {VK_OEM_PLUS, 16},
      {VK_ADD, 16},  // the top holds
  };
  std::string seen;
  bool ok = true;
  for (const Step& s : steps) {
    v.Key(s.key);
    const std::wstring want = PictureTitle(NameOf(file), 640, 480, s.zoom, false);
    const std::wstring got = v.WaitTitle(want);
    seen += Fmt(" %d%%", Percent(s.zoom));
    if (got != want) {
      ok = false;
      seen += Fmt(" [got \"%s\"]", Utf8(got).c_str());
      break;
    }
  }
  Check(ok, "ladder: - and + walk 0.05 ... 16 and stop at the ends", seen);
  v.CheckInsideWork("ladder: window inside the work area at 1600 %");
  v.Close("ladder");
}

// A fit zoom within 0.1 % of a step counts as that step.
void ScenarioNearStep(const Env& env) {
  struct Row {
    UINT key;
    const wchar_t* after;
  };
  const Row rows[] = {{VK_ADD, L"67%"}, {VK_SUBTRACT, L"33%"}};
  const std::wstring file = env.pics.Path(L"near-step.bmp");
  for (const Row& r : rows) {
    Viewer v(env);
    if (!v.Start(file, "near step")) return;
    const std::wstring base = NameOf(file) + kSep + L"2050 \u00D7 100" + kSep;
    v.CheckTitle(base + L"fit 50%", "near step: 1024/2050 shows as fit 50%");
    v.Key(r.key);
    v.CheckTitle(base + r.after, Fmt("near step: %s from 0.4995 goes to %s",
                                     r.key == VK_ADD ? "+" : "-", Utf8(r.after).c_str()));
    v.Close("near step");
  }
}

// 200 % of 640×480: the work area limits the window, each picture pixel is a
// 2×2 block, and dragging pans within the picture's edges.
void ScenarioZoom200(const Env& env) {
  Viewer v(env);
  const std::wstring file = env.pics.Path(L"picture.bmp");
  if (!v.Start(file, "200%")) return;
  v.Key(VK_ADD);
  v.Key(VK_OEM_PLUS);
  v.CheckTitle(PictureTitle(NameOf(file), 640, 480, 2, false), "200%: title");
  const Layout lay = LayoutOf(env, v);
  const Placement p = Expected(env, lay.frame, 640, 480, Fit::None, 2.0);
  v.CheckClient(p.clientW, p.clientH, "200%: client limited by the work area");
  v.CheckInsideWork("200%: window inside the work area");
  const bool pans = p.clientH - lay.footer < 960;
  Check(pans, "200%: the work area leaves the picture taller than the window",
        Fmt("picture area %d x %d", p.clientW, p.clientH - lay.footer));
  std::string blocks = Eventually(v, [&](const ClientShot& c) {
    return CheckBlocks(c, PictureArea(c, lay.footer, 1280, 960), 640, 480, 2);
  });
  Check(blocks.empty(), "200%: each picture pixel is a sharp 2x2 block", blocks);
  SaveShot(env, "zoom-200");
  if (!pans) return;

  // Dragging down far past the edge shows the top row; up, the bottom row.
  // Sideways there is nothing to pan: all 640 columns show.
  struct DragRow {
    int dy;
    const char* name;
    int wantTop, wantBottom;  // picture rows at the area's first and last row
  };
  const int visH = p.clientH - lay.footer;
  const DragRow drags[] = {
      {+3000, "200%: dragging down past the edge stops at the top row", 0, (visH - 1) / 2},
      {-3000, "200%: dragging up past the edge stops at the bottom row", 479 - (visH - 1) / 2, 479},
  };
  for (const DragRow& d : drags) {
    const SIZE cl = v.Client();
    const POINT from{cl.cx / 2, visH / 2};
    Drag(v, from, {from.x + 40, from.y + d.dy});
    std::string r = Eventually(v, [&](const ClientShot& c) -> std::string {
      const Area a = PictureArea(c, lay.footer, 1280, 960);
      const POINT top = PictureAt(c, a.offX + a.visW / 2, a.offY, 640, 480);
      const POINT bottom = PictureAt(c, a.offX + a.visW / 2, a.offY + a.visH - 1, 640, 480);
      const POINT left = PictureAt(c, a.offX, a.offY + a.visH / 2, 640, 480);
      const POINT right = PictureAt(c, a.offX + a.visW - 1, a.offY + a.visH / 2, 640, 480);
      if (top.y == d.wantTop && bottom.y == d.wantBottom && left.x == 0 && right.x == 639)
        return {};
      return Fmt("rows %ld..%ld, columns %ld..%ld", top.y, bottom.y, left.x, right.x);
    });
    Check(r.empty(), d.name, r.empty() ? Fmt("rows %d..%d", d.wantTop, d.wantBottom) : r);
  }
  v.Close("200%");
}

// F11 makes a borderless window over the whole monitor without the footer;
// Esc restores the window; Esc again ends the program.
void ScenarioFullScreen(const Env& env) {
  Viewer v(env);
  const std::wstring file = env.pics.Path(L"picture.bmp");
  if (!v.Start(file, "full screen")) return;
  v.CheckTitle(PictureTitle(NameOf(file), 640, 480, 1, false), "full screen: opened");
  RECT before{};
  GetWindowRect(v.hwnd(), &before);
  v.Key(VK_F11);
  const RECT& m = env.monitor;
  RECT r{};
  LONG style = 0;
  const bool full = WaitFor(
      [&] {
        GetWindowRect(v.hwnd(), &r);
        style = GetWindowLongW(v.hwnd(), GWL_STYLE);
        return EqualRect(&r, &m) && (style & WS_POPUP) && !(style & WS_CAPTION);
      },
      kStateWaitMs);
  Check(full, "full screen: F11 gives a WS_POPUP window over the monitor",
        Fmt("style %08lX, window (%ld,%ld)-(%ld,%ld)", static_cast<unsigned long>(style), r.left,
            r.top, r.right, r.bottom));
  const SIZE c = v.Client();
  Check(c.cx == m.right - m.left && c.cy == m.bottom - m.top, "full screen: client is the monitor",
        Fmt("%ld x %ld", c.cx, c.cy));
  const std::string pixels = Eventually(v, [&](const ClientShot& s) {
    return CheckOneToOne(s, PictureArea(s, 0, 640, 480), 640, 480, 0, 0);
  });
  Check(pixels.empty(), "full screen: picture 1:1 in the middle of the screen", pixels);
  const ClientShot s = CaptureClient(v);
  const int footer = FooterPx(env.dpi);
  const double band = ShareOf(s, 0, s.ch - footer, s.cw, s.ch, kFooterBand);
  Check(band < 0.1, "full screen: no footer band",
        Fmt("%.0f %% of the bottom rows are the footer colour", 100 * band));
  SaveShot(env, "fullscreen");

  v.Key(VK_ESCAPE);
  RECT after{};
  const bool back = WaitFor(
      [&] {
        GetWindowRect(v.hwnd(), &after);
        style = GetWindowLongW(v.hwnd(), GWL_STYLE);
        return EqualRect(&after, &before) && (style & WS_CAPTION) == WS_CAPTION;
      },
      kStateWaitMs);
  Check(back, "full screen: Esc restores the captioned window where it was",
        Fmt("style %08lX, window (%ld,%ld)-(%ld,%ld), before (%ld,%ld)-(%ld,%ld)",
            static_cast<unsigned long>(style), after.left, after.top, after.right, after.bottom,
            before.left, before.top, before.right, before.bottom));
  v.Key(VK_ESCAPE);
  CheckExitedCleanly(v, "full screen: Esc then ends the program with exit code 0");
}

// 3000×2000: fitted into the cap, then '0' fits the work area, '1' shows
// 100 % with panning by drag, and Ctrl+wheel zooms about the mouse.
void ScenarioBig(const Env& env) {
  Viewer v(env);
  const std::wstring file = env.pics.Path(L"big.bmp");
  const std::wstring name = NameOf(file);
  if (!v.Start(file, "big")) return;
  CheckOpened(env, v, file, 3000, 2000, "big");
  const Layout lay = LayoutOf(env, v);
  CheckFooter(CaptureClient(v), lay.footer, "big: footer band");
  SaveShot(env, "big-fit");

  v.Key('0');
  const Placement wf = Expected(env, lay.frame, 3000, 2000, Fit::Work, 1.0);
  v.CheckTitle(PictureTitle(name, 3000, 2000, wf.zoom, true), "big: 0 fits the work area (title)");
  v.CheckClient(wf.clientW, wf.clientH, "big: 0 fits the work area (client)");
  v.CheckInsideWork("big: window inside the work area after 0");
  SaveShot(env, "big-fit-work");
  if (env.dpi != 96) {
    v.Close("big");
    return;
  }

  v.Key('1');
  v.CheckTitle(PictureTitle(name, 3000, 2000, 1, false), "big: 1 shows 100 %");
  const Placement full = Expected(env, lay.frame, 3000, 2000, Fit::None, 1.0);
  v.CheckClient(full.clientW, full.clientH, "big: 100 % fills the room the work area gives");
  const int visW = full.clientW, visH = full.clientH - lay.footer;

  // Which picture pixel the area's top-left shows, and that the rest follows
  // 1:1 from it.
  POINT origin{-1, -1};
  std::string r = Eventually(v, [&](const ClientShot& c) {
    const Area a = PictureArea(c, lay.footer, 3000, 2000);
    origin = PictureAt(c, a.offX, a.offY, 3000, 2000);
    if (origin.x < 0) return std::string("no picture colour at the area's corner");
    return CheckOneToOne(c, a, 3000, 2000, origin.x, origin.y);
  });
  Check(r.empty(), "big: 100 % shows the picture 1:1", r);

  // Drags: by a small amount the view follows the mouse; far past an edge it
  // stops there.
  struct DragRow {
    int dx, dy;
    const char* name;
  };
  const DragRow drags[] = {
      {+100, +70, "big: a drag moves the view with the mouse"},
      {+5000, +5000, "big: dragging past the top-left edge shows pixel (0,0) at the corner"},
      {-9000, -9000, "big: dragging past the bottom-right edge shows (2999,1999) at the corner"},
  };
  for (const DragRow& d : drags) {
    const ClientShot c0 = CaptureClient(v);
    const Area a = PictureArea(c0, lay.footer, 3000, 2000);
    const POINT start = PictureAt(c0, a.offX, a.offY, 3000, 2000);
    const POINT from{visW / 2, visH / 2};
    Drag(v, from, {from.x + d.dx, from.y + d.dy});
    r = Eventually(v, [&](const ClientShot& c) -> std::string {
      const POINT tl = PictureAt(c, a.offX, a.offY, 3000, 2000);
      const POINT br = PictureAt(c, a.offX + a.visW - 1, a.offY + a.visH - 1, 3000, 2000);
      POINT want{start.x - d.dx, start.y - d.dy};
      want.x = std::max(0L, std::min(want.x, static_cast<LONG>(3000 - a.visW)));
      want.y = std::max(0L, std::min(want.y, static_cast<LONG>(2000 - a.visH)));
      if (tl.x == want.x && tl.y == want.y && br.x == want.x + a.visW - 1 &&
          br.y == want.y + a.visH - 1)
        return {};
      return Fmt("corner shows (%ld,%ld), want (%ld,%ld); far corner (%ld,%ld)", tl.x, tl.y, want.x,
                 want.y, br.x, br.y);
    });
    Check(r.empty(), d.name, r);
  }

  // Ctrl+wheel: 60 + 60 make one step, -90 + 30 none; each step keeps the
  // picture pixel under the mouse.
  // Back to the middle from the bottom-right edge.
  Drag(v, {visW / 2, visH / 2}, {visW / 2 + (3000 - visW) / 2, visH / 2 + (2000 - visH) / 2});
  const POINT mouse{visW / 3, visH / 3};
  const ClientShot c0 = CaptureClient(v);
  const POINT under = PictureAt(c0, mouse.x, mouse.y, 3000, 2000);
  Check(under.x >= 0, "big: a picture pixel under the mouse", Fmt("(%ld,%ld)", under.x, under.y));
  CtrlWheel(v, mouse, 60);
  v.Sync();
  const std::wstring t100 = PictureTitle(name, 3000, 2000, 1, false);
  Check(v.Title() == t100, "big: Ctrl+wheel 60 alone does not zoom", Utf8(v.Title()));
  CtrlWheel(v, mouse, 60);
  v.CheckTitle(PictureTitle(name, 3000, 2000, 1.5, false),
               "big: a second 60 makes one step (150 %)");
  CtrlWheel(v, mouse, 120);
  const std::wstring t200 = PictureTitle(name, 3000, 2000, 2, false);
  v.CheckTitle(t200, "big: Ctrl+wheel 120 steps to 200 %");
  CtrlWheel(v, mouse, -90);
  CtrlWheel(v, mouse, 30);
  v.Sync();
  Check(v.Title() == t200, "big: Ctrl+wheel -90 then +30 does nothing", Utf8(v.Title()));
  r = Eventually(v, [&](const ClientShot& c) -> std::string {
    const POINT p = PictureAt(c, mouse.x, mouse.y, 3000, 2000);
    if (std::abs(p.x - under.x) <= 1 && std::abs(p.y - under.y) <= 1) return {};
    return Fmt("(%ld,%ld) under the mouse, was (%ld,%ld)", p.x, p.y, under.x, under.y);
  });
  Check(r.empty(), "big: zooming in keeps the picture point under the mouse", r);
  r = Eventually(v, [&](const ClientShot& c) {
    return CheckBlocks(c, PictureArea(c, lay.footer, 6000, 4000), 3000, 2000, 2);
  });
  Check(r.empty(), "big: 200 % shows 2x2 blocks", r);
  CtrlWheel(v, mouse, -120);
  CtrlWheel(v, mouse, -120);
  v.CheckTitle(t100, "big: two notches back to 100 %");
  r = Eventually(v, [&](const ClientShot& c) -> std::string {
    const POINT p = PictureAt(c, mouse.x, mouse.y, 3000, 2000);
    if (std::abs(p.x - under.x) <= 1 && std::abs(p.y - under.y) <= 1) return {};
    return Fmt("(%ld,%ld) under the mouse, was (%ld,%ld)", p.x, p.y, under.x, under.y);
  });
  Check(r.empty(), "big: zooming out keeps the picture point under the mouse", r);
  v.Close("big");
}

// A picture with alpha shows the checkerboard through its clear parts; the
// copy composites it the same way.
void ScenarioTransparent(const Env& env) {
  Viewer v(env);
  const std::wstring file = env.pics.Path(L"transparent.png");
  if (!v.Start(file, "transparent")) return;
  v.CheckTitle(PictureTitle(NameOf(file), kTransW, kTransH, 1, false), "transparent: title");
  const int footer = FooterPx(env.dpi);
  struct Seen {
    std::uint32_t opaque = 0;
    int distinctClear = 0;
    bool magenta = false, darkClear = true;
    double lumClear = 0, lumHalf = 0;
  };
  auto lum = [](std::uint32_t c) {
    return 0.299 * ((c >> 16) & 0xFF) + 0.587 * ((c >> 8) & 0xFF) + 0.114 * (c & 0xFF);
  };
  auto look = [&](const ClientShot& c) {
    Seen s;
    const Area a = PictureArea(c, footer, kTransW, kTransH);
    s.opaque = c.At(a.offX + 10, a.offY + 10);
    std::vector<std::uint32_t> seen;
    const int w3 = kTransW / 3;
    for (int y = 4; y < kTransH - 4; y += 3) {
      for (int x = 4; x < w3 - 4; x += 3) {
        const std::uint32_t clear = c.At(a.offX + BandLeft(Band::Clear) + x, a.offY + y);
        const std::uint32_t half = c.At(a.offX + BandLeft(Band::Half) + x, a.offY + y);
        if (std::find(seen.begin(), seen.end(), clear) == seen.end()) seen.push_back(clear);
        const int r = (clear >> 16) & 0xFF, g = (clear >> 8) & 0xFF, b = clear & 0xFF;
        s.magenta |= r > 150 && b > 150 && g < 100;
        s.darkClear &= lum(clear) < 110;
        s.lumClear += lum(clear);
        s.lumHalf += lum(half);
      }
    }
    s.distinctClear = static_cast<int>(seen.size());
    return s;
  };
  Seen s;
  Eventually(v, [&](const ClientShot& c) {
    s = look(c);
    return s.opaque == kOpaqueBand ? std::string() : std::string("not yet");
  });
  Check(s.opaque == kOpaqueBand, "transparent: the opaque band shows its own colour",
        Fmt("%06X", s.opaque));
  Check(s.distinctClear >= 2 && s.darkClear && !s.magenta,
        "transparent: a dark checkerboard shows through the clear band",
        Fmt("%d colours, dark %d, magenta %d", s.distinctClear, s.darkClear, s.magenta));
  Check(s.lumHalf > s.lumClear * 1.3 + 1000, "transparent: half-clear white lies over it",
        Fmt("mean brightness %.0f over the half band, %.0f over the clear one",
            s.lumHalf / std::max(1.0, static_cast<double>(kTransH * kTransW / 27)),
            s.lumClear / std::max(1.0, static_cast<double>(kTransH * kTransW / 27))));
  SaveShot(env, "transparent");

  std::string how;
  const bool copied = PressCtrlC(v, &how);
  Check(copied, "transparent: Ctrl+C changes the clipboard", how);
  if (copied) {
    const std::vector<std::uint8_t> bytes = ReadClipboardDib();
    const Dib d = CheckDibHeader(bytes, kTransW, kTransH, "transparent");
    if (d.ok) {
      const std::uint32_t o = d.At(5, 5);
      Check((o & 0xFFFFFF) == kOpaqueBand && (o >> 24) == 0xFF,
            "transparent: copied opaque pixel unchanged", Fmt("%08X", o));
      // Composited over the checkerboard: opaque, dark, never the hidden
      // magenta, and more than one colour.
      std::vector<std::uint32_t> colours;
      bool opaque = true, dark = true, magenta = false;
      std::uint32_t sample = 0;
      for (int y = 0; y < kTransH; y += 3) {
        for (int x = BandLeft(Band::Clear); x < kTransW; x += 3) {
          const std::uint32_t p = d.At(x, y);
          sample = p;
          opaque &= (p >> 24) == 0xFF;
          dark &= lum(p & 0xFFFFFF) < 110;
          magenta |= ((p >> 16) & 0xFF) > 150 && (p & 0xFF) > 150 && ((p >> 8) & 0xFF) < 100;
          if (std::find(colours.begin(), colours.end(), p) == colours.end()) colours.push_back(p);
        }
      }
      Check(opaque && dark && !magenta && colours.size() >= 2,
            "transparent: copied clear band is the opaque dark checkerboard",
            Fmt("opaque %d, dark %d, magenta %d, %zu colours (one is %08X)", opaque, dark, magenta,
                colours.size(), sample));
      const ClientShot c = CaptureClient(v);
      const Area a = PictureArea(c, footer, kTransW, kTransH);
      int same = 0, total = 0;
      for (int y = 2; y < kTransH; y += 9) {
        for (int x = BandLeft(Band::Clear) + 2; x < kTransW; x += 9) {
          ++total;
          same += (d.At(x, y) & 0xFFFFFF) == c.At(a.offX + x, a.offY + y);
        }
      }
      Check(same == total, "transparent: copy equals the picture as shown",
            Fmt("%d of %d sampled clear pixels equal the screen", same, total));
    }
    // The PNG beside it keeps the transparency: RGBA of the picture's size.
    const std::vector<std::uint8_t> png = ReadClipboardPng();
    auto be32 = [&](size_t at) {
      return static_cast<std::uint32_t>(png[at]) << 24 | png[at + 1] << 16 | png[at + 2] << 8 |
             png[at + 3];
    };
    const bool header = png.size() > 33 && std::memcmp(png.data(), "\x89PNG\r\n\x1A\n", 8) == 0 &&
                        std::memcmp(png.data() + 12, "IHDR", 4) == 0;
    Check(header && be32(16) == static_cast<std::uint32_t>(kTransW) &&
              be32(20) == static_cast<std::uint32_t>(kTransH) && png[25] == 6,
          "transparent: the clipboard also holds a PNG with alpha of the picture's size",
          header ? Fmt("%u x %u, colour type %u", be32(16), be32(20), png[25])
                 : Fmt("%zu bytes", png.size()));
  }
  v.Close("transparent");
}

// Files that cannot be read: the title says so and the window draws a note.
void ScenarioUnreadable(const Env& env) {
  const wchar_t* const files[] = {L"zero.jpg", L"not-a-picture.jpg", L"no-pictures"};
  bool first = true;
  for (const wchar_t* f : files) {
    Viewer v(env);
    const std::string what = "unreadable " + Utf8(f);
    if (!v.Start(env.pics.Path(f), what)) continue;
    v.CheckTitle(std::wstring(f) + kSep + L"unreadable", what + ": title");
    v.CheckInsideWork(what + ": window inside the work area");
    const int footer = FooterPx(env.dpi);
    Eventually(v, [&](const ClientShot& c) {
      return ShareOf(c, 0, 0, c.cw, c.ch - footer, kBackground) < 0.999 ? std::string()
                                                                        : std::string("blank");
    });
    CheckDrawsSomething(CaptureClient(v), footer, what + ": draws a note");
    if (first) SaveShot(env, "unreadable");
    first = false;
    v.Close(what);
  }
}

// --- menus, folders, deletion, animation, Save as -----------------------------

// A visible top-level window of the viewer's process with that class (and
// title, when one is given).
struct FindTop {
  DWORD pid;
  const wchar_t* cls;
  const wchar_t* title;
  HWND found;
};

BOOL CALLBACK FindTopProc(HWND h, LPARAM lp) {
  auto* d = reinterpret_cast<FindTop*>(lp);
  wchar_t cls[64] = L"";
  GetClassNameW(h, cls, 64);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == d->pid && wcscmp(cls, d->cls) == 0 && IsWindowVisible(h) &&
      (!d->title || TitleOf(h) == d->title)) {
    d->found = h;
    return FALSE;
  }
  return TRUE;
}

HWND FindTopWindow(DWORD pid, const wchar_t* cls, const wchar_t* title = nullptr) {
  FindTop d{pid, cls, title, nullptr};
  EnumWindows(FindTopProc, reinterpret_cast<LPARAM>(&d));
  return d.found;
}

HWND WaitTopWindow(DWORD pid, const wchar_t* cls, const wchar_t* title, DWORD ms) {
  HWND h = nullptr;
  WaitFor(
      [&] {
        h = FindTopWindow(pid, cls, title);
        return h != nullptr;
      },
      ms);
  return h;
}

// Presses the keys in order and lets them go in reverse, as real input to the
// viewer made the foreground window.
void PressKeys(const Viewer& v, std::initializer_list<WORD> keys) {
  SetForegroundWindow(v.hwnd());
  WaitFor([&] { return GetForegroundWindow() == v.hwnd(); }, 2000);
  std::vector<INPUT> in;
  for (int up = 0; up < 2; ++up) {
    for (size_t i = 0; i < keys.size(); ++i) {
      const WORD k = up ? keys.begin()[keys.size() - 1 - i] : keys.begin()[i];
      INPUT e{};
      e.type = INPUT_KEYBOARD;
      e.ki.wVk = k;
      e.ki.wScan = static_cast<WORD>(MapVirtualKeyW(k, MAPVK_VK_TO_VSC));
      e.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
      in.push_back(e);
    }
  }
  SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

bool FileExists(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::uint8_t> ReadFileHead(const std::wstring& path, DWORD n) {
  std::vector<std::uint8_t> out(n);
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD got = 0;
  if (f == INVALID_HANDLE_VALUE || !ReadFile(f, out.data(), n, &got, nullptr)) got = 0;
  if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
  out.resize(got);
  return out;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string s;
  for (std::uint8_t b : bytes) s += Fmt("%s%02X", s.empty() ? "" : " ", b);
  return s.empty() ? "no bytes" : s;
}

// A folder of small BMPs (the pattern at each size) and whatever else a
// scenario puts there; emptied first so every run starts the same.
struct NamedSize {
  const wchar_t* name;
  int w, h;
};

void EmptyFolder(const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = dir + L"\\" + name;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      EmptyFolder(path);
      RemoveDirectoryW(path.c_str());
    } else {
      DeleteFileW(path.c_str());
    }
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}

template <size_t N>
bool MakeBmpFolder(const std::wstring& dir, const NamedSize (&files)[N]) {
  CreateDirectoryW(dir.c_str(), nullptr);
  EmptyFolder(dir);
  bool ok = true;
  for (const NamedSize& f : files) ok &= WriteBmp(dir + L"\\" + f.name, f.w, f.h, false, Coded);
  return ok;
}

// Menus. Which items of a popup are enabled: read through the popup's menu
// handle where the system lets another process do that, else from how the
// owner-drawn popup paints them (enabled text is light, greyed text dim).
enum class Need { Always, Picture, File };

struct MenuItemRow {
  const char* label;
  UINT item;  // a command id, or a position when byPosition
  bool byPosition;
  Need need;
};

// The File popup from top to bottom (two separators not counted) and the View
// popup.
const MenuItemRow kFileItems[] = {
    {"Open...", 1001, false, Need::Always},   {"Save as", 1, true, Need::Picture},
    {"Metadata...", 1008, false, Need::File}, {"Copy", 1009, false, Need::Picture},
    {"Delete", 1010, false, Need::File},      {"Exit", 1011, false, Need::Always},
};
const MenuItemRow kViewItems[] = {
    {"Zoom in", 1012, false, Need::Picture},     {"Zoom out", 1013, false, Need::Picture},
    {"Actual size", 1014, false, Need::Picture}, {"Fit to screen", 1015, false, Need::Picture},
    {"Full screen", 1016, false, Need::Always},
};

// The text rows of a popup as painted: runs of pixel rows with something
// brighter than the separator lines, and the brightest pixel in each.
std::vector<double> PopupTextBrightness(HWND popup) {
  RECT r{};
  GetClientRect(popup, &r);
  POINT o{0, 0};
  ClientToScreen(popup, &o);
  const Shot s = CaptureScreen();
  auto lum = [](std::uint32_t c) {
    return 0.299 * ((c >> 16) & 0xFF) + 0.587 * ((c >> 8) & 0xFF) + 0.114 * (c & 0xFF);
  };
  std::vector<double> bands;
  double best = 0;
  int gap = 99;
  // A light frame may run round the popup: a few pixels along the edges are
  // left out.
  const int edge = 4;
  for (int y = edge; y < r.bottom - edge; ++y) {
    double row = 0;
    for (int x = edge; x < r.right - edge; ++x) row = std::max(row, lum(s.At(o.x + x, o.y + y)));
    // The separator line and the highlight are darker than 55; greyed text
    // peaks near 80, light text above 200.
    if (row > 55) {
      if (gap > 3) {
        if (best > 0) bands.push_back(best);
        best = 0;
      }
      best = std::max(best, row);
      gap = 0;
    } else {
      ++gap;
    }
  }
  if (best > 0) bands.push_back(best);
  return bands;
}

// Opens a menu of the bar with Alt+letter and returns its popup window. A
// window that has only just appeared may not have the keyboard yet, and the
// keys then go nowhere or leave the bar half active: any menu mode is ended
// and the keys pressed again, up to three times in all.
HWND OpenMenu(const Viewer& v, WORD letter) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    PressKeys(v, {VK_MENU, letter});
    if (HWND popup = WaitTopWindow(v.pid(), L"#32768", nullptr, 3000)) return popup;
    v.Send(WM_CANCELMODE, 0, 0);
    Sleep(200);
  }
  return nullptr;
}

// Ends the viewer's menu loop (DefWindowProc ends menus on WM_CANCELMODE).
bool CloseMenus(const Viewer& v) {
  v.Send(WM_CANCELMODE, 0, 0);
  return WaitFor([&] { return FindTopWindow(v.pid(), L"#32768") == nullptr; }, 3000);
}

// Checks which items of an open popup are enabled. `picture` and `file` say
// what the viewer has open.
void CheckMenuStates(HWND popup, const MenuItemRow* rows, size_t n, bool picture, bool file,
                     const std::string& name) {
  std::string want, got, how;
  for (size_t i = 0; i < n; ++i) {
    const bool on = rows[i].need == Need::Always || (rows[i].need == Need::Picture && picture) ||
                    (rows[i].need == Need::File && file);
    want += on ? '+' : '-';
  }
  DWORD_PTR r = 0;
  SendMessageTimeoutW(popup, MN_GETHMENU, 0, 0, SMTO_NORMAL, 3000, &r);
  HMENU menu = reinterpret_cast<HMENU>(r);
  if (menu && GetMenuItemCount(menu) > 0) {
    how = "menu handle";
    for (size_t i = 0; i < n; ++i) {
      const UINT st =
          GetMenuState(menu, rows[i].item, rows[i].byPosition ? MF_BYPOSITION : MF_BYCOMMAND);
      got += st == static_cast<UINT>(-1) ? '?' : (st & (MF_GRAYED | MF_DISABLED)) ? '-' : '+';
    }
  } else {
    how = "painted text";
    std::vector<double> bands;
    WaitFor(
        [&] {
          bands = PopupTextBrightness(popup);
          return bands.size() == n;
        },
        2000);
    if (bands.size() != n) {
      got = Fmt("%zu text rows", bands.size());
    } else {
      std::string peaks;
      for (double b : bands) {
        got += b > 110 ? '+' : '-';
        peaks += Fmt(" %.0f", b);
      }
      how += ", brightest" + peaks;
    }
  }
  std::string items;
  for (size_t i = 0; i < n; ++i) items += Fmt("%s%s", i ? ", " : "", rows[i].label);
  Check(got == want, name,
        Fmt("%s: %s (%s, want %s)", how.c_str(), got.c_str(), items.c_str(), want.c_str()));
}

// Enabling follows what is open: nothing, a picture, a file that failed.
void ScenarioMenuStates(const Env& env) {
  struct Row {
    const wchar_t* file;  // "" for the empty window
    bool picture, file_;
  };
  const Row rows[] = {
      {L"", false, false},
      {L"picture.bmp", true, true},
      {L"zero.jpg", false, true},
  };
  for (const Row& row : rows) {
    Viewer v(env);
    const std::string what = Fmt("menu with %s", *row.file ? Utf8(row.file).c_str() : "nothing");
    if (!v.Start(*row.file ? env.pics.Path(row.file) : L"", what)) continue;
    const struct {
      WORD letter;
      const MenuItemRow* items;
      size_t n;
      const char* menu;
    } menus[] = {{'F', kFileItems, std::size(kFileItems), "File"},
                 {'V', kViewItems, std::size(kViewItems), "View"}};
    for (const auto& m : menus) {
      HWND popup = OpenMenu(v, m.letter);
      if (!Check(popup != nullptr, Fmt("%s: Alt+%c opens %s", what.c_str(), m.letter, m.menu),
                 popup ? "" : "no popup menu window after three tries"))
        continue;
      if (row.picture && m.letter == 'F') SaveShot(env, "menu-file");
      CheckMenuStates(popup, m.items, m.n, row.picture, row.file_,
                      Fmt("%s: %s items enabled as they apply", what.c_str(), m.menu));
      Check(CloseMenus(v), what + ": the menu closes", "");
    }
    v.Close(what);
  }
}

// Access letters: X exits, A of View gives 100 %, C of File copies when
// there is a picture and does nothing while greyed.
void ScenarioMenuLetters(const Env& env) {
  {
    Viewer v(env);
    const std::wstring file = env.pics.Path(L"big.bmp");
    if (v.Start(file, "menu letters")) {
      const Placement fit = Expected(env, LayoutOf(env, v).frame, 3000, 2000, Fit::Capped, 1.0);
      v.CheckTitle(PictureTitle(NameOf(file), 3000, 2000, fit.zoom, true),
                   "menu letters: big.bmp opens fitted");
      if (OpenMenu(v, 'V')) {
        PressKeys(v, {'A'});
        v.CheckTitle(PictureTitle(NameOf(file), 3000, 2000, 1, false),
                     "menu letters: Alt+V then A shows 100 %");
      } else {
        Check(false, "menu letters: Alt+V opens View", "no popup menu window after three tries");
      }
      CloseMenus(v);
      const DWORD before = GetClipboardSequenceNumber();
      if (OpenMenu(v, 'F')) {
        PressKeys(v, {'C'});
        const bool copied =
            WaitFor([&] { return GetClipboardSequenceNumber() != before; }, kStateWaitMs);
        Check(copied, "menu letters: Alt+F then C copies the picture",
              copied ? "" : "the clipboard did not change");
      } else {
        Check(false, "menu letters: Alt+F opens File", "no popup menu window after three tries");
      }
      CloseMenus(v);
      v.Close("menu letters");
    }
  }
  {
    Viewer v(env);
    if (v.Start(L"", "menu letters, empty")) {
      const DWORD before = GetClipboardSequenceNumber();
      HWND popup = OpenMenu(v, 'F');
      if (Check(popup != nullptr, "menu letters, empty: Alt+F opens File", "")) {
        // A greyed item's letter is ignored: the popup stays and nothing runs.
        PressKeys(v, {'C'});
        PressKeys(v, {'D'});
        v.Sync();
        Sleep(300);
        const bool open = FindTopWindow(v.pid(), L"#32768") != nullptr;
        const HWND box = FindTopWindow(v.pid(), L"#32770");
        Check(open && !box && GetClipboardSequenceNumber() == before && !v.Exited(0),
              "menu letters, empty: C and D on greyed Copy and Delete do nothing",
              Fmt("popup %s, dialog %s, clipboard %s", open ? "open" : "closed",
                  box ? "shown" : "none",
                  GetClipboardSequenceNumber() == before ? "unchanged" : "changed"));
        PressKeys(v, {'X'});
        CheckExitedCleanly(v, "menu letters, empty: X then exits with code 0");
      }
    }
  }
}

// Folder navigation. The folder holds four pictures, sorted naturally as
// img1, img2, IMG3, img10, beside a text file and a folder with a picture's
// name, which are never stepped to. Each picture has its own size, so the
// title tells which one is open.
const NamedSize kNavFiles[] = {
    {L"img1.bmp", 61, 41},
    {L"img2.bmp", 62, 42},
    {L"IMG3.bmp", 63, 43},
    {L"img10.bmp", 70, 50},
};

bool MakeNavFolder(const std::wstring& dir) {
  bool ok = MakeBmpFolder(dir, kNavFiles);
  const char text[] = "not a picture\r\n";
  ok = ok && WriteFileBytes(dir + L"\\readme.txt", text, sizeof text - 1);
  return ok && CreateDirectoryW((dir + L"\\pictures.bmp").c_str(), nullptr);
}

// The title of a folder picture: `content` names the file it was written as
// (a renamed file keeps its size).
std::wstring NavTitle(const wchar_t* name, const wchar_t* content, double zoom) {
  for (const NamedSize& f : kNavFiles) {
    if (wcscmp(f.name, content) == 0) return PictureTitle(name, f.w, f.h, zoom, false);
  }
  return name;
}

enum class Act { Key, Wheel };

void Do(const Viewer& v, Act act, int value) {
  if (act == Act::Key) {
    v.Key(static_cast<UINT>(value));
    return;
  }
  POINT c{v.Client().cx / 2, v.Client().cy / 2};
  ClientToScreen(v.hwnd(), &c);
  v.Send(WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(static_cast<short>(value))),
         MAKELPARAM(c.x, c.y));
}

void ScenarioFolder(const Env& env) {
  const std::wstring dir = env.pics.Path(L"nav");
  if (!Check(MakeNavFolder(dir), "folder: test folder written", Utf8(dir))) return;
  // The + rows zoom so that a step which must do nothing is seen not to
  // reopen the picture (an open starts at 100 %).
  struct Step {
    Act act;
    int value;  // a key, or a wheel delta
    const wchar_t* want;
    double zoom;
    const char* what;
  };
  const Step steps[] = {
      {Act::Key, VK_RIGHT, L"img2.bmp", 1, "Right: img1 -> img2"},
      {Act::Key, VK_SPACE, L"IMG3.bmp", 1, "Space: img2 -> IMG3 (case ignored)"},
      {Act::Key, VK_NEXT, L"img10.bmp", 1, "PageDown: IMG3 -> img10 (numbers by value)"},
      {Act::Key, VK_RIGHT, L"img1.bmp", 1, "Right on the last wraps to img1"},
      {Act::Key, VK_LEFT, L"img10.bmp", 1, "Left on the first wraps to img10"},
      {Act::Key, VK_BACK, L"IMG3.bmp", 1, "Backspace: img10 -> IMG3"},
      {Act::Key, VK_PRIOR, L"img2.bmp", 1, "PageUp: IMG3 -> img2"},
      {Act::Key, VK_END, L"img10.bmp", 1, "End: the last"},
      {Act::Key, VK_ADD, L"img10.bmp", 1.5, "+ zooms"},
      {Act::Key, VK_END, L"img10.bmp", 1.5, "End on the last does nothing"},
      {Act::Key, VK_HOME, L"img1.bmp", 1, "Home: the first"},
      {Act::Key, VK_ADD, L"img1.bmp", 1.5, "+ zooms"},
      {Act::Key, VK_HOME, L"img1.bmp", 1.5, "Home on the first does nothing"},
      {Act::Wheel, -120, L"img2.bmp", 1, "wheel -120 (towards the user): next"},
      {Act::Wheel, 120, L"img1.bmp", 1, "wheel +120: previous"},
      {Act::Wheel, -60, L"img1.bmp", 1, "wheel -60: not yet a notch"},
      {Act::Wheel, -60, L"img2.bmp", 1, "wheel -60 more: next"},
      {Act::Wheel, 60, L"img2.bmp", 1, "wheel +60: not yet a notch"},
      {Act::Wheel, -60, L"img2.bmp", 1, "wheel -60 cancels it"},
      {Act::Wheel, -120, L"IMG3.bmp", 1, "wheel -120: next"},
  };
  Viewer v(env);
  if (!v.Start(dir + L"\\img1.bmp", "folder")) return;
  v.CheckTitle(NavTitle(L"img1.bmp", L"img1.bmp", 1), "folder: img1.bmp opens");
  std::string seen;
  bool ok = true;
  for (const Step& s : steps) {
    Do(v, s.act, s.value);
    const std::wstring want = NavTitle(s.want, s.want, s.zoom);
    const std::wstring got = v.WaitTitle(want);
    if (got != want) {
      ok = false;
      Check(false, Fmt("folder: %s", s.what),
            Fmt("got \"%s\", want \"%s\"; before it:%s", Utf8(got).c_str(), Utf8(want).c_str(),
                seen.c_str()));
      break;
    }
    seen += ' ';
    seen += Utf8(s.want);
  }
  if (ok) Check(true, "folder: keys and wheel step in natural order, wrapping", seen);
  v.Close("folder");

  // The open file renamed away: a step goes from where its name would stand
  // among the others.
  struct Rename {
    const wchar_t* open;
    const wchar_t* to;
    UINT key;
    const wchar_t* want;  // file name after the step
  };
  const Rename renames[] = {
      {L"img2.bmp", L"img11.bmp", VK_RIGHT, L"IMG3.bmp"},
      {L"img2.bmp", L"img11.bmp", VK_LEFT, L"img1.bmp"},
      {L"img10.bmp", L"img0.bmp", VK_RIGHT, L"img0.bmp"},
      {L"img10.bmp", L"img0.bmp", VK_LEFT, L"IMG3.bmp"},
  };
  for (const Rename& r : renames) {
    const std::string what = Fmt("folder: %s renamed to %s, then %s", Utf8(r.open).c_str(),
                                 Utf8(r.to).c_str(), r.key == VK_RIGHT ? "Right" : "Left");
    Viewer w(env);
    const std::wstring from = dir + L"\\" + r.open, to = dir + L"\\" + r.to;
    if (!w.Start(from, what)) continue;
    w.WaitTitle(NavTitle(r.open, r.open, 1));
    const bool moved = MoveFileW(from.c_str(), to.c_str()) != 0;
    if (Check(moved, what + ": rename", moved ? "" : Fmt("error %lu", GetLastError()))) {
      w.Key(r.key);
      const wchar_t* content = wcscmp(r.want, r.to) == 0 ? r.open : r.want;
      w.CheckTitle(NavTitle(r.want, content, 1), what + ": opens " + Utf8(r.want));
      MoveFileW(to.c_str(), from.c_str());
    }
    w.Close("folder rename");
  }
}

// Deletion asks first in a message box of the viewer's own ("Norvane", Yes
// and No); No keeps the file, Yes moves it to the Recycle Bin and opens the
// next picture, or leaves the empty window when none is left.
struct ChildText {
  std::wstring longest;  // the longest Static text: the message
};

BOOL CALLBACK ChildTextProc(HWND h, LPARAM lp) {
  auto* d = reinterpret_cast<ChildText*>(lp);
  wchar_t cls[32] = L"";
  GetClassNameW(h, cls, 32);
  if (_wcsicmp(cls, L"Static") == 0) {
    const std::wstring t = TitleOf(h);
    if (t.size() > d->longest.size()) d->longest = t;
  }
  return TRUE;
}

std::wstring MessageOf(HWND box) {
  ChildText d;
  EnumChildWindows(box, ChildTextProc, reinterpret_cast<LPARAM>(&d));
  return d.longest;
}

bool Visible(HWND h) { return h && IsWindowVisible(h); }

const NamedSize kDelFiles[] = {{L"d1.bmp", 51, 31}, {L"d2.bmp", 52, 32}, {L"d3.bmp", 53, 33}};
const NamedSize kDelOne[] = {{L"only.bmp", 54, 34}};

std::wstring DelTitle(const wchar_t* name) {
  for (const NamedSize& f : kDelFiles) {
    if (wcscmp(f.name, name) == 0) return PictureTitle(name, f.w, f.h, 1, false);
  }
  return PictureTitle(name, kDelOne[0].w, kDelOne[0].h, 1, false);
}

void ScenarioDelete(const Env& env) {
  if (!Check(MakeBmpFolder(env.pics.Path(L"del"), kDelFiles) &&
                 MakeBmpFolder(env.pics.Path(L"del-one"), kDelOne),
             "delete: test folders written", ""))
    return;
  enum class How { Key, Command };
  struct Row {
    const wchar_t* folder;  // relative to the scratch folder
    const wchar_t* file;    // the one open (and asked about)
    How how;
    int answer;           // IDYES or IDNO
    const wchar_t* next;  // what opens after; null for the empty window
  };
  const Row rows[] = {
      {L"del", L"d2.bmp", How::Key, IDNO, L"d2.bmp"},
      {L"del", L"d2.bmp", How::Command, IDYES, L"d3.bmp"},
      {L"del", L"d3.bmp", How::Key, IDYES, L"d1.bmp"},  // the next wraps
      {L"del-one", L"only.bmp", How::Key, IDYES, nullptr},
  };
  Viewer* open = nullptr;
  Viewer first(env), second(env);
  for (const Row& row : rows) {
    const std::string what =
        Fmt("delete %s by %s, %s", Utf8(row.file).c_str(), row.how == How::Key ? "Del" : "command",
            row.answer == IDYES ? "Yes" : "No");
    const std::wstring path = env.pics.Path(row.folder) + L"\\" + row.file;
    // One viewer per folder: the rows of a folder continue where the last
    // one left off.
    Viewer& v = wcscmp(row.folder, L"del") == 0 ? first : second;
    if (open != &v) {
      if (!v.Start(path, what)) continue;
      open = &v;
    }
    if (!v.CheckTitle(DelTitle(row.file), what + ": open before")) continue;
    if (row.how == How::Key) {
      // Posted: the viewer asks from inside its handler.
      PostMessageW(v.hwnd(), WM_KEYDOWN, VK_DELETE, 1);
      PostMessageW(v.hwnd(), WM_KEYUP, VK_DELETE, 1 | 0xC0000000);
    } else {
      PostMessageW(v.hwnd(), WM_COMMAND, 1010, 0);
    }
    HWND box = WaitTopWindow(v.pid(), L"#32770", L"Norvane", kMaxWaitMs);
    if (!Check(box != nullptr, what + ": a message box titled Norvane asks",
               box ? "" : "none in 20 s"))
      continue;
    const std::wstring text = MessageOf(box);
    const std::wstring want =
        L"Move \u201C" + std::wstring(row.file) + L"\u201D to the Recycle Bin?";
    Check(text == want, what + ": the question names the file", Utf8(text));
    const HWND yes = GetDlgItem(box, IDYES), no = GetDlgItem(box, IDNO);
    Check(Visible(yes) && Visible(no) && !Visible(GetDlgItem(box, IDCANCEL)) &&
              !Visible(GetDlgItem(box, IDOK)),
          what + ": the buttons are Yes and No", "");
    if (&row == &rows[0]) SaveShot(env, "delete-question");
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(row.answer, BN_CLICKED),
                 reinterpret_cast<LPARAM>(row.answer == IDYES ? yes : no));
    const bool closed = WaitFor([&] { return !IsWindow(box); }, kStateWaitMs);
    Check(closed, what + ": the box closes", "");
    if (row.next) {
      v.CheckTitle(DelTitle(row.next), what + ": " + Utf8(row.next) + " shown after");
    } else {
      v.CheckTitle(L"Norvane", what + ": the empty window after");
    }
    v.Sync();
    const bool there = FileExists(path);
    Check(there == (row.answer == IDNO), what + (there ? ": the file stays" : ": the file is gone"),
          there ? "still in the folder" : "not in the folder");
    if (row.answer == IDYES && !env.trash.empty()) {
      const std::wstring binned = env.trash + L"\\" + row.file;
      Check(FileExists(binned), what + ": the file is in the trash", Utf8(binned));
    }
  }
  // Nothing open: Delete asks nothing.
  if (open == &second) {
    PostMessageW(second.hwnd(), WM_KEYDOWN, VK_DELETE, 1);
    second.Sync();
    const HWND box = WaitTopWindow(second.pid(), L"#32770", nullptr, 1000);
    Check(!box, "delete: Del in the empty window asks nothing", box ? Utf8(TitleOf(box)) : "");
    if (box) PostMessageW(box, WM_COMMAND, IDNO, 0);
    second.Close("delete, empty");
  }
  if (first.hwnd()) first.Close("delete");
}

// An animated GIF (three solid frames, red, lime and blue, 100 ms each,
// looping; drawn by scripts/ui-test.sh) plays: the middle of the picture
// changes colour.
void ScenarioGif(const Env& env) {
  Viewer v(env);
  const std::wstring file = env.pics.Path(L"anim.gif");
  if (!v.Start(file, "gif")) return;
  v.CheckTitle(PictureTitle(L"anim.gif", 60, 40, 1, false), "gif: title");
  const SIZE c = v.Client();
  POINT mid{c.cx / 2, (c.cy - FooterPx(env.dpi)) / 2};
  ClientToScreen(v.hwnd(), &mid);
  const struct {
    std::uint32_t rgb;
    const char* name;
  } frames[] = {{0xFF0000, "red"}, {0x00FF00, "lime"}, {0x0000FF, "blue"}};
  bool seen[3] = {};
  int changes = 0, last = -1, other = 0;
  HDC screen = GetDC(nullptr);
  const ULONGLONG end = GetTickCount64() + 1500;
  while (GetTickCount64() < end) {
    const COLORREF p = GetPixel(screen, mid.x, mid.y);
    const std::uint32_t rgb = GetRValue(p) << 16 | GetGValue(p) << 8 | GetBValue(p);
    int k = -1;
    for (int i = 0; i < 3; ++i) {
      if (rgb == frames[i].rgb) k = i;
    }
    if (k < 0) {
      ++other;
    } else {
      seen[k] = true;
      if (last >= 0 && k != last) ++changes;
      last = k;
    }
    Sleep(30);
  }
  ReleaseDC(nullptr, screen);
  std::string colours;
  for (int i = 0; i < 3; ++i) {
    if (seen[i]) colours += Fmt("%s%s", colours.empty() ? "" : ", ", frames[i].name);
  }
  const std::string detail =
      Fmt("seen %s; %d changes in 1.5 s; %d samples of another colour",
          colours.empty() ? "no frame colour" : colours.c_str(), changes, other);
  Check(seen[0] + seen[1] + seen[2] >= 2, "gif: frames advance (two colours or more)", detail);
  Check(seen[0] && seen[1] && seen[2] && changes >= 3, "gif: all three frames show, looping",
        detail);
  v.Close("gif");
}

// Save as: the system dialog, given a full path in the scratch folder, and
// the file it writes starts with the format's signature and opens again.
struct FindEdit {
  std::wstring text;  // the edit holding this text is the file name
  HWND found;
  std::string all;  // every edit seen, for the report
};

BOOL CALLBACK FindEditProc(HWND h, LPARAM lp) {
  auto* d = reinterpret_cast<FindEdit*>(lp);
  wchar_t cls[32] = L"";
  GetClassNameW(h, cls, 32);
  if (_wcsicmp(cls, L"Edit") == 0) {
    // An edit keeps its text to itself: GetWindowText does not ask another
    // process's window for it.
    wchar_t buf[MAX_PATH] = L"";
    DWORD_PTR n = 0;
    SendMessageTimeoutW(h, WM_GETTEXT, MAX_PATH, reinterpret_cast<LPARAM>(buf), SMTO_NORMAL, 3000,
                        &n);
    const std::wstring t = buf;
    d->all += Fmt("%s[%d \"%s\"]", d->all.empty() ? "" : " ", GetDlgCtrlID(h), Utf8(t).c_str());
    if (!d->found && IsWindowVisible(h) && t == d->text) d->found = h;
  }
  return TRUE;
}

// The Save as dialog's name box: the visible edit holding `stem`, waited
// for; null when none appears (`all` then lists the edits seen).
HWND FindNameBox(HWND dlg, const std::wstring& stem, std::string* all) {
  FindEdit fe{stem, nullptr, {}};
  WaitFor(
      [&] {
        fe.found = nullptr;
        fe.all.clear();
        EnumChildWindows(dlg, FindEditProc, reinterpret_cast<LPARAM>(&fe));
        return fe.found != nullptr;
      },
      5000);
  if (all) *all = fe.all;
  return fe.found;
}

// Types a full path into the name box and presses OK; true when the dialog
// closed (it is cancelled when it did not).
bool SubmitSaveDialog(HWND dlg, HWND nameBox, const std::wstring& typed) {
  SendMessageTimeoutW(nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(typed.c_str()), SMTO_NORMAL,
                      3000, nullptr);
  PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDOK)));
  const bool closed = WaitFor([&] { return !IsWindow(dlg); }, kMaxWaitMs);
  if (!closed) {
    PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
    WaitFor([&] { return !IsWindow(dlg); }, kStateWaitMs);
  }
  return closed;
}

struct Magic {
  const char* bytes;
  size_t n;
};

void ScenarioSaveAs(const Env& env) {
  const std::wstring dir = env.pics.Path(L"saved");
  CreateDirectoryW(dir.c_str(), nullptr);
  EmptyFolder(dir);
  struct Row {
    const wchar_t* source;  // the picture open, in the scratch folder
    int w, h;
    UINT command;          // 0: Ctrl+S
    const wchar_t* typed;  // the name given in the dialog
    const wchar_t* file;   // what must be written
    Magic magic[2];        // the format's first bytes (either, for TIFF)
    bool lossless;         // reopened, it shows the source's pixels
    // When set, the source is a fresh copy of picture.bmp that this file
    // replaces after it is shown: what is saved is still what is shown.
    const wchar_t* replacedBy = nullptr;
  };
  const Magic png = {"\x89PNG\r\n\x1A\n", 8};
  const Row rows[] = {
      // Ctrl+S offers PNG for a BMP and JPEG for a PNG; without an extension
      // in the name the offered type's is added.
      {L"picture.bmp", 640, 480, 0, L"ctrl-s", L"ctrl-s.png", {png}, true},
      {L"transparent.png",
       kTransW,
       kTransH,
       0,
       L"from-png",
       L"from-png.jpg",
       {{"\xFF\xD8\xFF", 3}},
       false},
      {L"picture.bmp", 640, 480, 1003, L"png.png", L"png.png", {png}, true},
      {L"picture.bmp", 640, 480, 1004, L"jpeg.jpg", L"jpeg.jpg", {{"\xFF\xD8\xFF", 3}}, false},
      {L"picture.bmp", 640, 480, 1005, L"bitmap.bmp", L"bitmap.bmp", {{"BM", 2}}, true},
      {L"picture.bmp",
       640,
       480,
       1006,
       L"tiff.tif",
       L"tiff.tif",
       {{"II*\0", 4}, {"MM\0*", 4}},
       true},
      {L"picture.bmp", 640, 480, 1007, L"gif.gif", L"gif.gif", {{"GIF8", 4}}, false},
      {L"stale.bmp", 640, 480, 1003, L"stale.png", L"stale.png", {png}, true, L"near-step.bmp"},
  };
  for (const Row& row : rows) {
    const std::string what = Fmt("save as %s by %s", Utf8(row.file).c_str(),
                                 row.command ? Fmt("command %u", row.command).c_str() : "Ctrl+S");
    if (row.replacedBy) {
      CopyFileW(env.pics.Path(L"picture.bmp").c_str(), env.pics.Path(row.source).c_str(), FALSE);
    }
    Viewer v(env);
    if (!v.Start(env.pics.Path(row.source), what)) continue;
    v.WaitTitle(PictureTitle(row.source, row.w, row.h, 1, false));
    if (row.replacedBy) {
      Sleep(50);  // a later last-write time
      Check(CopyFileW(env.pics.Path(row.replacedBy).c_str(), env.pics.Path(row.source).c_str(),
                      FALSE) != 0,
            what + ": the source is replaced by another picture", "");
    }
    HWND dlg = nullptr;
    if (row.command) {
      PostMessageW(v.hwnd(), WM_COMMAND, row.command, 0);
      dlg = WaitTopWindow(v.pid(), L"#32770", L"Save as", kMaxWaitMs);
    } else {
      // Real keys reach a window only once it has the keyboard, which a
      // window that has just appeared may not have yet: pressed again if
      // nothing opens.
      for (int attempt = 0; attempt < 3 && !dlg; ++attempt) {
        PressKeys(v, {VK_CONTROL, 'S'});
        dlg = WaitTopWindow(v.pid(), L"#32770", L"Save as", 6000);
      }
    }
    if (!Check(dlg != nullptr, what + ": the Save as dialog opens", dlg ? "" : "none in 20 s"))
      continue;
    // The name box starts with the picture's name without its extension.
    std::wstring stem = row.source;
    stem.resize(stem.rfind(L'.'));
    std::string edits;
    const HWND nameBox = FindNameBox(dlg, stem, &edits);
    const std::string offers =
        Fmt("%s: the name box offers \"%s\"", what.c_str(), Utf8(stem).c_str());
    if (!Check(nameBox != nullptr, offers, edits)) {
      PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
      WaitFor([&] { return !IsWindow(dlg); }, kStateWaitMs);
      continue;
    }
    if (&row == &rows[0]) SaveShot(env, "save-as");
    const std::wstring typed = dir + L"\\" + row.typed, out = dir + L"\\" + row.file;
    Check(SubmitSaveDialog(dlg, nameBox, typed), what + ": the dialog closes on OK", "");
    v.Sync();  // the viewer writes before it handles anything else
    std::vector<std::uint8_t> head;
    const bool written = WaitFor(
        [&] {
          head = ReadFileHead(out, 8);
          return head.size() >= 2;
        },
        kStateWaitMs);
    if (!Check(written, what + ": written", written ? "" : "no file " + Utf8(out))) continue;
    bool magic = false;
    for (const Magic& m : row.magic) {
      magic |= m.bytes && head.size() >= m.n && std::memcmp(head.data(), m.bytes, m.n) == 0;
    }
    Check(magic, what + ": starts with the format's signature", Hex(head));
    v.Close(what);
    Viewer again(env);
    if (again.Start(out, what + ", reopened")) {
      again.CheckTitle(PictureTitle(row.file, row.w, row.h, 1, false),
                       what + Fmt(": opens as %d x %d", row.w, row.h));
      if (row.lossless) {
        const int footer = FooterPx(env.dpi);
        const std::string pixels = Eventually(again, [&](const ClientShot& c) {
          return CheckOneToOne(c, PictureArea(c, footer, row.w, row.h), row.w, row.h, 0, 0);
        });
        Check(pixels.empty(), what + ": reopened, it shows the same pixels", pixels);
      }
      again.Close(what + ", reopened");
    }
  }
}

// --- decoding ahead ----------------------------------------------------------

// Ten large JPEGs (4000 × 3000, drawn by scripts/ui-test.sh in instant/):
// picture i is one solid colour with a 64 × 64 one-pixel checker of black and
// white at its centre, which only the whole picture shown at 100 % resolves.
constexpr int kInstantW = 4000, kInstantH = 3000;
constexpr std::uint32_t kInstantColours[10] = {0xC82828, 0x28C828, 0x2828C8, 0xC8C828, 0xC828C8,
                                               0x28C8C8, 0xE08040, 0x4080E0, 0x80E040, 0x804020};

std::wstring InstantName(int i) {
  wchar_t name[16];
  swprintf(name, 16, L"p%02d.jpg", i);
  return name;
}

std::wstring InstantTitle(const Env& env, const Viewer& v, int i) {
  const Placement p =
      Expected(env, FrameOf(v.hwnd(), env.dpi), kInstantW, kInstantH, Fit::Capped, 1.0);
  return PictureTitle(InstantName(i), kInstantW, kInstantH, p.zoom, true);
}

bool NearColour(std::uint32_t a, std::uint32_t b, int tolerance) {
  for (int s = 0; s <= 16; s += 8) {
    if (std::abs(static_cast<int>((a >> s) & 0xFF) - static_cast<int>((b >> s) & 0xFF)) > tolerance)
      return false;
  }
  return true;
}

// The picture area shows picture i's colour (away from the checker).
std::string ShowsInstant(const ClientShot& c, int footer, int i) {
  const std::uint32_t seen = c.At(c.cw / 4, (c.ch - footer) / 4);
  const std::uint32_t want = kInstantColours[i - 1];
  return NearColour(seen, want, 12) ? std::string() : Fmt("%06X, want %06X", seen, want);
}

// Adjacent pixels that differ by more than half the range, along 16 rows of
// 16 pixels around (x, y): a one-pixel checker shown 1:1 gives nearly all.
int CheckerEdges(std::uint32_t (*at)(const void*, int, int), const void* src, int x, int y) {
  int edges = 0;
  for (int dy = -8; dy < 8; ++dy) {
    for (int dx = -8; dx < 8; ++dx) {
      const int a = static_cast<int>(at(src, x + dx, y + dy) & 0xFF);
      const int b = static_cast<int>(at(src, x + dx + 1, y + dy) & 0xFF);
      edges += std::abs(a - b) > 128;
    }
  }
  return edges;
}

void ScenarioInstant(const Env& env) {
  const std::wstring dir = env.pics.Path(L"instant");
  auto path = [&](int i) { return dir + L"\\" + InstantName(i); };
  if (!Check(FileExists(path(1)) && FileExists(path(10)), "instant: test pictures drawn", ""))
    return;
  const int footer = FooterPx(env.dpi);
  auto showing = [&](const Viewer& v, int i, const std::string& what) {
    v.CheckTitle(InstantTitle(env, v, i), what + ": title with the whole picture's size");
    const std::string pixels =
        Eventually(v, [&](const ClientShot& c) { return ShowsInstant(c, footer, i); });
    Check(pixels.empty(), what + ": shows " + Utf8(InstantName(i)), pixels);
  };
  {
    Viewer v(env);
    if (!v.Start(path(1), "instant")) return;
    showing(v, 1, "instant: opened");
    // Key by key, with time for the neighbours to be decoded ahead.
    for (int i = 2; i <= 4; ++i) {
      Sleep(1500);
      v.Key(VK_RIGHT);
      showing(v, i, Fmt("instant: Right to %d", i));
    }
    // Five presses in a row: the fifth picture, never one of the others,
    // and it stays once every decode has come in.
    for (int k = 0; k < 5; ++k) {
      const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(VK_RIGHT, MAPVK_VK_TO_VSC)) << 16;
      PostMessageW(v.hwnd(), WM_KEYDOWN, VK_RIGHT, 1 | scan);
      PostMessageW(v.hwnd(), WM_KEYUP, VK_RIGHT, 1 | scan | 0xC0000000);
    }
    v.Sync();
    showing(v, 9, "instant: five presses in a row");
    Sleep(2000);
    Check(v.Title() == InstantTitle(env, v, 9), "instant: still p09 once the decodes are in",
          Utf8(v.Title()));
    Check(ShowsInstant(CaptureClient(v), footer, 9).empty(),
          "instant: still shows p09 once the decodes are in", "");
    SaveShot(env, "instant-fit");
    // A picture that is not a neighbour, at 100 % at once: the whole
    // picture's pixels, the checker resolved.
    v.Key(VK_HOME);
    v.Key('1');
    v.CheckTitle(PictureTitle(InstantName(1), kInstantW, kInstantH, 1, false),
                 "instant: Home, then 1 shows p01 at 100 %");
    // The patch is near the middle of the picture area (where exactly
    // depends on how the window grew): the sharpest 16 x 16 spot around it,
    // once the paint that waits for the whole picture has reached the screen.
    int edges = 0;
    Eventually(v, [&](const ClientShot& c) {
      edges = 0;
      for (int dy = -64; dy <= 64; dy += 8) {
        for (int dx = -64; dx <= 64; dx += 8) {
          edges = std::max(
              edges, CheckerEdges([](const void* s, int x,
                                     int y) { return static_cast<const ClientShot*>(s)->At(x, y); },
                                  &c, c.cw / 2 + dx, (c.ch - footer) / 2 + dy));
        }
      }
      return edges >= 200 ? std::string() : std::string("blurred");
    });
    Check(edges >= 200, "instant: at 100 % the one-pixel checker is sharp (the whole picture)",
          Fmt("%d of 256 edges", edges));
    SaveShot(env, "instant-100");
    v.Close("instant");
  }
  // Copied right after opening: the copy is the whole picture.
  {
    Viewer v(env);
    if (v.Start(path(8), "instant, copy")) {
      v.CheckTitle(InstantTitle(env, v, 8), "instant, copy: p08 open");
      std::string how;
      if (Check(PressCtrlC(v, &how), "instant, copy: Ctrl+C right after opening copies", how)) {
        const std::vector<std::uint8_t> dib = ReadClipboardDib();
        const Dib d = CheckDibHeader(dib, kInstantW, kInstantH, "instant, copy");
        if (d.ok) {
          const int copied = CheckerEdges(
              [](const void* s, int x, int y) { return static_cast<const Dib*>(s)->At(x, y); }, &d,
              kInstantW / 2, kInstantH / 2);
          Check(copied >= 200, "instant, copy: the copy has the checker's pixels",
                Fmt("%d of 256 edges", copied));
          Check(NearColour(d.At(100, 100), kInstantColours[7], 12),
                "instant, copy: the copy is p08", Fmt("%06X", d.At(100, 100) & 0xFFFFFF));
        }
      }
      v.Close("instant, copy");
    }
  }
  // Delete right after opening, while the whole picture is being decoded.
  {
    Viewer v(env);
    if (v.Start(path(5), "instant, delete")) {
      v.CheckTitle(InstantTitle(env, v, 5), "instant, delete: p05 open");
      PostMessageW(v.hwnd(), WM_KEYDOWN, VK_DELETE, 1);
      PostMessageW(v.hwnd(), WM_KEYUP, VK_DELETE, 1 | 0xC0000000);
      HWND box = WaitTopWindow(v.pid(), L"#32770", L"Norvane", kMaxWaitMs);
      if (Check(box != nullptr, "instant, delete: asked", "")) {
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, IDYES)));
        WaitFor([&] { return !IsWindow(box); }, kStateWaitMs);
        showing(v, 6, "instant, delete: p06 after");
        Check(!FileExists(path(5)), "instant, delete: p05 is gone", "");
      }
      v.Close("instant, delete");
    }
  }
  // Save as right after opening.
  {
    Viewer v(env);
    const std::wstring out = dir + L"\\saved-p03.png";
    if (v.Start(path(3), "instant, save as")) {
      v.CheckTitle(InstantTitle(env, v, 3), "instant, save as: p03 open");
      PostMessageW(v.hwnd(), WM_COMMAND, 1003, 0);
      HWND dlg = WaitTopWindow(v.pid(), L"#32770", L"Save as", kMaxWaitMs);
      const HWND box = dlg ? FindNameBox(dlg, L"p03", nullptr) : nullptr;
      if (Check(box != nullptr, "instant, save as: the dialog offers p03", "")) {
        Check(SubmitSaveDialog(dlg, box, out), "instant, save as: the dialog closes on OK", "");
        v.Sync();
        std::vector<std::uint8_t> head;
        WaitFor(
            [&] {
              head = ReadFileHead(out, 24);
              return head.size() == 24;
            },
            kMaxWaitMs);
        auto be32 = [&](size_t o) {
          return head.size() >= o + 4 ? static_cast<int>(head[o] << 24 | head[o + 1] << 16 |
                                                         head[o + 2] << 8 | head[o + 3])
                                      : -1;
        };
        Check(be32(16) == kInstantW && be32(20) == kInstantH,
              "instant, save as: the PNG has the whole picture's size",
              Fmt("%d x %d", be32(16), be32(20)));
      }
      v.Close("instant, save as");
    }
  }
  // Closing while the whole picture is being decoded.
  {
    Viewer v(env);
    if (v.Start(path(7), "instant, close")) {
      PostMessageW(v.hwnd(), WM_CLOSE, 0, 0);
      CheckExitedCleanly(v, "instant, close: closing during a decode exits with 0");
    }
  }
}

// --- the settings window and the registry -------------------------------------

// The settings window registers the viewer for picture types under
// HKEY_CURRENT_USER at every click. The driver runs in the viewer's prefix, so
// it reads the same registry back with the registry API.
const wchar_t* const kTypes[] = {L".png",  L".jpg",  L".jpeg", L".jfif", L".bmp",
                                 L".dib",  L".gif",  L".tif",  L".tiff", L".ico",
                                 L".webp", L".heic", L".heif", L".avif"};
constexpr int kTypeCount = static_cast<int>(std::size(kTypes));
constexpr unsigned kAllTypes = (1u << kTypeCount) - 1;
const HKEY kHkcu = HKEY_CURRENT_USER;
const wchar_t kAppKey[] = L"Software\\Norvane";
const wchar_t kCapsKey[] = L"Software\\Norvane\\Capabilities";
const wchar_t kRegisteredApps[] = L"Software\\RegisteredApplications";
const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane";
// The application entries: the viewer's own, and those of the other copies
// the scenarios make up.
const wchar_t* const kAppEntries[] = {L"norvane.exe", L"nv2.exe", L"missing.exe"};

std::wstring ProgIdKey(const wchar_t* ext) {
  return std::wstring(L"Software\\Classes\\Norvane") + ext;
}
std::wstring ProgIdCommandKey(const wchar_t* ext) {
  return ProgIdKey(ext) + L"\\shell\\open\\command";
}
std::wstring OpenWithKey(const wchar_t* ext) {
  return std::wstring(L"Software\\Classes\\") + ext + L"\\OpenWithProgids";
}
std::wstring ProgIdName(const wchar_t* ext) { return std::wstring(L"Norvane") + ext; }
std::wstring AppEntryKey(const std::wstring& exeName) {
  return L"Software\\Classes\\Applications\\" + exeName;
}
std::wstring CommandOf(const std::wstring& exe) { return L"\"" + exe + L"\" \"%1\""; }
std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

struct RegValue {
  bool exists = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  // The REG_SZ text without its terminator.
  std::wstring Text() const {
    std::wstring t(data.size() / sizeof(wchar_t), L'\0');
    if (!t.empty()) std::memcpy(t.data(), data.data(), t.size() * sizeof(wchar_t));
    while (!t.empty() && t.back() == L'\0') t.pop_back();
    return t;
  }
};

RegValue ReadValue(const std::wstring& subkey, const wchar_t* name) {
  RegValue v;
  HKEY key = nullptr;
  if (RegOpenKeyExW(kHkcu, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return v;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &v.type, nullptr, &bytes) == ERROR_SUCCESS) {
    v.data.resize(bytes);
    if (RegQueryValueExW(key, name, nullptr, &v.type, v.data.data(), &bytes) == ERROR_SUCCESS) {
      v.data.resize(bytes);
      v.exists = true;
    }
  }
  RegCloseKey(key);
  return v;
}

std::wstring ReadSz(const std::wstring& subkey, const wchar_t* name) {
  const RegValue v = ReadValue(subkey, name);
  return v.exists && v.type == REG_SZ ? v.Text() : std::wstring();
}

bool KeyExists(const std::wstring& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(kHkcu, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

DWORD ValueCount(const std::wstring& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(kHkcu, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  DWORD count = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return count;
}

bool SetSz(const std::wstring& subkey, const wchar_t* name, const std::wstring& text) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(kHkcu, subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const LSTATUS s =
      RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return s == ERROR_SUCCESS;
}

std::string Quoted(const std::wstring& text) {
  std::string s(1, '"');
  s += Utf8(text);
  s += '"';
  return s;
}

std::string Where(const std::wstring& subkey, const wchar_t* name) {
  return Utf8(subkey) + " : " + (name ? Utf8(name) : "(default)");
}

// A REG_SZ value with exactly that text, its terminator included.
bool CheckSz(const std::string& what, const std::wstring& subkey, const wchar_t* name,
             const std::wstring& text) {
  const RegValue v = ReadValue(subkey, name);
  const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
  const std::vector<BYTE> want(p, p + (text.size() + 1) * sizeof(wchar_t));
  const bool ok = v.exists && v.type == REG_SZ && v.data == want;
  std::string detail = Quoted(v.Text());
  if (!v.exists) {
    detail = "missing";
  } else if (v.type != REG_SZ) {
    detail = Fmt("type %lu, want REG_SZ", v.type);
  } else if (!ok) {
    detail = Fmt("got %s (%zu bytes), want ", detail.c_str(), v.data.size()) + Quoted(text);
  }
  return Check(ok, what + ": " + Where(subkey, name), detail);
}

bool CheckDword(const std::string& what, const std::wstring& subkey, const wchar_t* name,
                DWORD want) {
  const RegValue v = ReadValue(subkey, name);
  DWORD got = 0;
  if (v.data.size() == sizeof got) std::memcpy(&got, v.data.data(), sizeof got);
  const bool ok = v.exists && v.type == REG_DWORD && v.data.size() == sizeof got && got == want;
  return Check(
      ok, what + ": " + Where(subkey, name),
      v.exists ? Fmt("type %lu, %zu bytes, value %lu", v.type, v.data.size(), got) : "missing");
}

// Which types are registered, one bit per type of kTypes: as the viewer
// decides it, by the ProgID's value under the extension's OpenWithProgids.
unsigned RegisteredMask() {
  unsigned m = 0;
  for (int i = 0; i < kTypeCount; ++i) {
    if (ReadValue(OpenWithKey(kTypes[i]), ProgIdName(kTypes[i]).c_str()).exists) m |= 1u << i;
  }
  return m;
}

// Which types have a ProgID key.
unsigned ProgIdMask() {
  unsigned m = 0;
  for (int i = 0; i < kTypeCount; ++i) {
    if (KeyExists(ProgIdKey(kTypes[i]))) m |= 1u << i;
  }
  return m;
}

std::string TypesText(unsigned mask) {
  std::string s;
  for (int i = 0; i < kTypeCount; ++i) {
    if (!(mask & (1u << i))) continue;
    if (!s.empty()) s += ' ';
    s += Utf8(kTypes[i]);
  }
  return s.empty() ? "none" : s;
}

bool CheckTypes(unsigned want, const std::string& name) {
  const unsigned got = RegisteredMask(), keys = ProgIdMask();
  return Check(got == want && keys == want, name,
               "registered: " + TypesText(got) + "; ProgID keys: " + TypesText(keys) +
                   (got == want && keys == want ? "" : "; want " + TypesText(want)));
}

// Removes everything the association code writes (and the other copies'
// application entries the scenarios make up), as in a prefix that never saw
// the program. The extensions' OpenWithProgids keys may hold other
// programs' values, so only ours go.
void CleanRegistry() {
  for (const wchar_t* ext : kTypes) {
    RegDeleteTreeW(kHkcu, ProgIdKey(ext).c_str());
    RegDeleteKeyValueW(kHkcu, OpenWithKey(ext).c_str(), ProgIdName(ext).c_str());
  }
  for (const wchar_t* name : kAppEntries) RegDeleteTreeW(kHkcu, AppEntryKey(name).c_str());
  RegDeleteTreeW(kHkcu, kAppKey);
  RegDeleteKeyValueW(kHkcu, kRegisteredApps, L"Norvane");
  RegDeleteTreeW(kHkcu, kUninstallKey);
}

bool SharedEntriesGone(std::string* left) {
  left->clear();
  if (KeyExists(kAppKey)) *left += " Software\\Norvane";
  if (KeyExists(AppEntryKey(L"norvane.exe"))) *left += " Applications\\norvane.exe";
  if (ReadValue(kRegisteredApps, L"Norvane").exists) *left += " RegisteredApplications:Norvane";
  if (KeyExists(kUninstallKey)) *left += " Uninstall\\Norvane";
  return left->empty();
}

bool CheckSharedGone(const std::string& name) {
  std::string left;
  const bool gone = SharedEntriesGone(&left);
  return Check(gone, name, gone ? "" : "still there:" + left);
}

bool CheckCleanSlate(const std::string& name) {
  std::string left;
  SharedEntriesGone(&left);
  const unsigned reg = RegisteredMask(), keys = ProgIdMask();
  for (const wchar_t* app : kAppEntries) {
    if (KeyExists(AppEntryKey(app))) left += " Applications\\" + Utf8(app);
  }
  const bool ok = left.empty() && reg == 0 && keys == 0;
  return Check(
      ok, name,
      ok ? ""
         : "left:" + left + "; registered " + TypesText(reg) + "; ProgID keys " + TypesText(keys));
}

// The viewer's full path as it records it: what GetModuleFileNameW gives
// the viewer, which for the path the driver starts is its full path.
std::wstring FullPath(const std::wstring& path) {
  wchar_t buf[MAX_PATH] = L"";
  const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, buf, nullptr);
  return n > 0 && n < MAX_PATH ? std::wstring(buf) : path;
}

// The recorded program path must name the viewer started (Windows compares
// paths without regard to case); returns the text to expect in every value,
// as recorded when it names the viewer.
std::wstring CheckRecordedExe(const Env& env, const std::string& what) {
  const std::wstring want = FullPath(env.viewer);
  const std::wstring got = ReadSz(kAppKey, L"ExePath");
  const bool ok = _wcsicmp(got.c_str(), want.c_str()) == 0;
  std::string detail = Quoted(got);
  if (!ok) detail += ", want " + Quoted(want);
  Check(ok, what + ": ExePath names the running viewer", detail);
  return ok ? got : want;
}

// Every value one registered type writes, and the shared entries for the
// given registered types, all pointing at `exe`.
void CheckTypeValues(const std::string& what, const wchar_t* ext, const wchar_t* description,
                     const std::wstring& exe) {
  CheckSz(what, ProgIdKey(ext), nullptr, description);
  CheckSz(what, ProgIdKey(ext) + L"\\DefaultIcon", nullptr, L"\"" + exe + L"\",0");
  CheckSz(what, ProgIdCommandKey(ext), nullptr, CommandOf(exe));
  CheckSz(what, OpenWithKey(ext), ProgIdName(ext).c_str(), L"");
}

void CheckSharedValues(const std::string& what, const std::wstring& exe,
                       std::initializer_list<const wchar_t*> exts) {
  const std::wstring icon = L"\"" + exe + L"\",0";
  const std::wstring app = AppEntryKey(NameOf(exe));
  CheckSz(what, app, L"FriendlyAppName", L"Norvane");
  CheckSz(what, app + L"\\shell\\open\\command", nullptr, CommandOf(exe));
  const std::wstring fileAssoc = std::wstring(kCapsKey) + L"\\FileAssociations";
  for (const wchar_t* ext : exts) {
    CheckSz(what, app + L"\\SupportedTypes", ext, L"");
    CheckSz(what, fileAssoc, ext, ProgIdName(ext));
  }
  Check(
      ValueCount(app + L"\\SupportedTypes") == exts.size() && ValueCount(fileAssoc) == exts.size(),
      what + ": SupportedTypes and FileAssociations list only the registered types",
      Fmt("%lu and %lu values, want %zu", ValueCount(app + L"\\SupportedTypes"),
          ValueCount(fileAssoc), exts.size()));
  CheckSz(what, kCapsKey, L"ApplicationName", L"Norvane");
  CheckSz(what, kCapsKey, L"ApplicationDescription", L"Shows a picture at its true pixel size.");
  CheckSz(what, kCapsKey, L"ApplicationIcon", icon);
  CheckSz(what, kRegisteredApps, L"Norvane", L"Software\\Norvane\\Capabilities");
  CheckSz(what, kAppKey, L"ExePath", exe);
  CheckSz(what, kUninstallKey, L"DisplayName", L"Norvane");
  CheckSz(what, kUninstallKey, L"DisplayVersion", L"1.00");
  CheckSz(what, kUninstallKey, L"Publisher", L"Ombrefield");
  CheckDword(what, kUninstallKey, L"NoModify", 1);
  CheckDword(what, kUninstallKey, L"NoRepair", 1);
  CheckSz(what, kUninstallKey, L"InstallLocation", FolderOf(exe));
  const std::wstring removal = ReadSz(kUninstallKey, L"UninstallString");
  const std::wstring start = L"cmd.exe /c \"(for %e in (png jpg";
  // The removal deletes the application entry of the copy that registered.
  const std::wstring appDeletion =
      L"reg delete \"HKCU\\Software\\Classes\\Applications\\" + NameOf(exe) + L"\" /f";
  Check(removal.compare(0, start.size(), start) == 0 &&
            removal.find(appDeletion) != std::wstring::npos,
        what + ": UninstallString is the removal command for " + Utf8(NameOf(exe)),
        Quoted(removal));
}

// The settings window's layout at 96 DPI, in client pixels: type i sits in
// column i / 7 and line i % 7.
RECT CellRect(int i) {
  const int column = i / 7, line = i % 7;
  return RECT{16 + 234 * column, 114 + 34 * line, 250 + 234 * column, 148 + 34 * line};
}
const RECT kSelectAllRect{26, 466, 112, 500};
const RECT kSelectNoneRect{120, 466, 216, 500};
const RECT kUseThisCopyRect{224, 466, 340, 500};
const RECT kCloseRect{378, 466, 474, 500};
constexpr std::uint32_t kPanel = 0x0A0E17;    // RGB(10, 14, 23)
constexpr std::uint32_t kHotFill = 0x141C2E;  // RGB(20, 28, 46)
constexpr std::uint32_t kAccent = 0x60A5FA;   // a ticked box, RGB(96, 165, 250)
constexpr int kOtherCopyLineY = 436;          // "Opens with another copy:" in amber

POINT Centre(const RECT& r) { return {(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

bool SyncWnd(HWND h) {
  DWORD_PTR r = 0;
  return SendMessageTimeoutW(h, WM_NULL, 0, 0, SMTO_NORMAL, kMaxWaitMs, &r) != 0;
}

ClientShot CaptureWnd(HWND h) {
  SyncWnd(h);
  Sleep(200);  // the window surface reaches the screen after the paint
  SyncWnd(h);
  ClientShot c;
  RECT r{};
  GetClientRect(h, &r);
  c.cw = r.right;
  c.ch = r.bottom;
  ClientToScreen(h, &c.origin);
  c.s = CaptureScreen();
  return c;
}

template <class F>
std::string EventuallyIn(HWND h, F check) {
  std::string r;
  WaitFor(
      [&] {
        r = check(CaptureWnd(h));
        return r.empty();
      },
      kStateWaitMs);
  return r;
}

// Pixels of the focus ring's left side (COL_ICE, RGB(207,225,255), 1.4
// units wide around the item): a strip just inside the rectangle's left
// edge, clear of the corners, where nothing else is ever drawn lighter than
// the hot fill. The pixel left of it belongs to the neighbour's ring.
int RingPixels(const ClientShot& c, const RECT& r) {
  int n = 0;
  for (int y = r.top + 10; y < r.bottom - 10; ++y) {
    for (int x = r.left; x < r.left + 3; ++x) {
      const std::uint32_t v = c.At(x, y);
      if ((v & 0xFF) > 110 && ((v >> 8) & 0xFF) > 90) ++n;
    }
  }
  return n;
}

// The ring around Close sits 3 units outside the button.
RECT CloseRing() {
  return RECT{kCloseRect.left - 3, kCloseRect.top - 3, kCloseRect.right + 3, kCloseRect.bottom + 3};
}

// "" when the ring shows around item `ring` (a cell index, or -1 for Close)
// and nowhere else; -2 for no ring anywhere.
std::string RingOnly(const ClientShot& c, int ring) {
  std::string seen;
  for (int i = -1; i < kTypeCount; ++i) {
    const int n = RingPixels(c, i < 0 ? CloseRing() : CellRect(i));
    const bool want = i == ring;
    if ((n >= 4) != want) {
      seen += Fmt("%s%s: %d ring pixels%s", seen.empty() ? "" : "; ",
                  i < 0 ? "Close" : Utf8(kTypes[i]).c_str(), n, want ? ", want a ring" : "");
    }
  }
  return seen;
}

std::string RingName(int ring) {
  return ring == -2 ? "nothing" : ring == -1 ? "Close" : Utf8(kTypes[ring]);
}

bool CheckRing(HWND s, int ring, const std::string& name) {
  const std::string r = EventuallyIn(s, [&](const ClientShot& c) { return RingOnly(c, ring); });
  return Check(r.empty(), name, r.empty() ? "the ring shows around " + RingName(ring) : r);
}

// Amber text ("Opens with another copy:", RGB(224,176,96)) on the line below
// the notes: pixels clearly warmer than anything else the window draws.
int AmberPixels(const ClientShot& c) {
  int n = 0;
  for (int y = kOtherCopyLineY - 4; y < kOtherCopyLineY + 20; ++y) {
    for (int x = 20; x < 480; ++x) {
      const std::uint32_t v = c.At(x, y);
      const int r = (v >> 16) & 0xFF, g = (v >> 8) & 0xFF, b = v & 0xFF;
      if (r >= g && g > b && r - b >= 60) ++n;
    }
  }
  return n;
}

// The share of the "Use this copy" button's rectangle that is plain panel:
// 1 when the button is not drawn.
double UseThisCopyPlain(const ClientShot& c) {
  const RECT& r = kUseThisCopyRect;
  return ShareOf(c, r.left, r.top, r.right, r.bottom, kPanel);
}

// The tick box of type i shows the accent fill.
bool BoxTicked(const ClientShot& c, int i) {
  const RECT r = CellRect(i);
  return ShareOf(c, r.left + 10, r.top + 8, r.left + 28, r.top + 26, kAccent) > 0.2;
}

// Opens the settings window from the viewer (its menu command) and waits for
// it; the viewer stays disabled while it is open.
HWND OpenSettings(const Viewer& v, const std::string& what) {
  PostMessageW(v.hwnd(), WM_COMMAND, 1017, 0);
  const HWND s = WaitTopWindow(v.pid(), L"NorvaneSettingsWnd", L"Settings", kMaxWaitMs);
  if (!Check(s != nullptr, what + ": the settings window opens", s ? "" : "none in 20 s"))
    return nullptr;
  SyncWnd(s);
  Check(!IsWindowEnabled(v.hwnd()), what + ": the viewer is disabled while settings are open", "");
  return s;
}

// Waits for the settings window to go; the viewer is enabled again.
bool CheckSettingsClosed(const Viewer& v, HWND s, const std::string& what) {
  const bool gone = WaitFor([&] { return !IsWindow(s); }, kStateWaitMs);
  Check(gone, what + ": the settings window closes", gone ? "" : "still open");
  const bool enabled = WaitFor([&] { return IsWindowEnabled(v.hwnd()) != 0; }, kStateWaitMs);
  Check(enabled, what + ": the viewer is enabled again", "");
  return gone && enabled;
}

void PostClick(HWND s, POINT p) {
  PostMessageW(s, WM_LBUTTONDOWN, MK_LBUTTON, ClientPoint(p.x, p.y));
  PostMessageW(s, WM_LBUTTONUP, 0, ClientPoint(p.x, p.y));
}

void PostKey(HWND s, UINT vk) {
  const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC)) << 16;
  PostMessageW(s, WM_KEYDOWN, vk, 1 | scan);
  PostMessageW(s, WM_KEYUP, vk, 1 | scan | 0xC0000000);
}

// Waits for posted input to show in the registrations, then for the window to
// finish handling it (the registry is written before the shared entries).
unsigned Settle(HWND s, unsigned want) {
  WaitFor([&] { return RegisteredMask() == want; }, kStateWaitMs);
  SyncWnd(s);
  return RegisteredMask();
}

// Clicks a type's cell and checks which types are registered after.
bool ClickType(HWND s, int i, unsigned want, const std::string& name) {
  PostClick(s, Centre(CellRect(i)));
  Settle(s, want);
  return CheckTypes(want, name);
}

// Keeps the real cursor off the windows, so that no hover state changes what
// the window draws.
void ParkCursor(const Env& env) { SetCursorPos(env.work.right - 2, env.work.bottom - 2); }

// Clicking types, Select all and none, and another copy recorded: every value
// the registration writes, the shared entries' lifetime, "Use this copy".
void ScenarioSettings(const Env& env) {
  CleanRegistry();
  CheckCleanSlate("settings: nothing registered before");
  ParkCursor(env);
  {
    Viewer v(env);
    if (!v.Start(L"", "settings")) return;
    const HWND s = OpenSettings(v, "settings");
    if (!s) return;
    RECT rc{};
    GetClientRect(s, &rc);
    Check(rc.right == 500 && rc.bottom == 524, "settings: client 500 x 524",
          Fmt("client %ld x %ld", rc.right, rc.bottom));
    {
      const ClientShot c = CaptureWnd(s);
      Check(UseThisCopyPlain(c) > 0.999 && AmberPixels(c) == 0,
            "settings: no \"Use this copy\" and no amber line with nothing recorded",
            Fmt("button area %.1f %% plain, %d amber pixels", 100 * UseThisCopyPlain(c),
                AmberPixels(c)));
    }

    // One type: exactly its values and the shared entries.
    if (!ClickType(s, 0, 1u << 0, "settings: clicking .png registers it alone")) {
      PostMessageW(s, WM_CLOSE, 0, 0);
      return;
    }
    const std::wstring exe = CheckRecordedExe(env, "settings, .png");
    CheckTypeValues("settings, .png", L".png", L"PNG image", exe);
    CheckSharedValues("settings, .png", exe, {L".png"});
    const std::string box = EventuallyIn(s, [](const ClientShot& c) {
      return BoxTicked(c, 0) && !BoxTicked(c, 1) ? "" : std::string("box not ticked");
    });
    Check(box.empty(), "settings: the .png box shows ticked, .jpg not", box);

    // The last type unticked takes the shared entries along; the extension's
    // OpenWithProgids key may hold other programs' values and stays.
    ClickType(s, 0, 0, "settings: clicking .png again unregisters it");
    CheckSharedGone("settings: the shared entries go with the last type");
    Check(KeyExists(OpenWithKey(L".png")), "settings: .png's OpenWithProgids key stays", "");

    PostClick(s, Centre(kSelectAllRect));
    Settle(s, kAllTypes);
    CheckTypes(kAllTypes, "settings: Select all registers all 14 types");
    std::string wrong;
    for (const wchar_t* ext : kTypes) {
      if (ReadSz(ProgIdCommandKey(ext), nullptr) != CommandOf(exe)) wrong += " " + Utf8(ext);
    }
    Check(wrong.empty(), "settings: after Select all every type opens with the viewer",
          wrong.empty() ? "" : "other command for" + wrong);
    Check(ValueCount(AppEntryKey(NameOf(exe)) + L"\\SupportedTypes") == 14 &&
              ValueCount(std::wstring(kCapsKey) + L"\\FileAssociations") == 14,
          "settings: after Select all SupportedTypes and FileAssociations list 14 types", "");
    PostClick(s, Centre(kSelectNoneRect));
    Settle(s, 0);
    CheckTypes(0, "settings: Select none unregisters every type");
    CheckSharedGone("settings: Select none removes the shared entries");

    // Two types for the other-copy check below.
    ClickType(s, 1, 1u << 1, "settings: clicking .jpg registers it");
    ClickType(s, 6, 1u << 1 | 1u << 6, "settings: clicking .gif adds it");
    PostMessageW(s, WM_CLOSE, 0, 0);
    CheckSettingsClosed(v, s, "settings, WM_CLOSE");
    v.Close("settings");
  }

  // Another copy that still exists is recorded, as if it had registered the
  // types: starting does not take them over, the window offers it.
  const std::wstring exe = FullPath(env.viewer);
  const std::wstring otherDir = env.pics.Path(L"other"), other = otherDir + L"\\nv2.exe";
  CreateDirectoryW(otherDir.c_str(), nullptr);
  const bool copied = CopyFileW(env.viewer.c_str(), other.c_str(), FALSE) != 0;
  const bool wrote = SetSz(kAppKey, L"ExePath", other) &&
                     SetSz(AppEntryKey(L"nv2.exe"), L"FriendlyAppName", L"Norvane") &&
                     SetSz(ProgIdCommandKey(L".jpg"), nullptr, CommandOf(other)) &&
                     SetSz(ProgIdCommandKey(L".gif"), nullptr, CommandOf(other));
  if (!Check(copied && wrote, "settings: another copy recorded", Utf8(other))) {
    CleanRegistry();
    return;
  }
  Viewer v(env);
  if (v.Start(L"", "settings, other copy")) {
    CheckSz("settings, start-up leaves an existing other copy", kAppKey, L"ExePath", other);
    const HWND s = OpenSettings(v, "settings, other copy");
    if (s) {
      ParkCursor(env);
      std::string seen;
      const std::string offered = EventuallyIn(s, [&](const ClientShot& c) {
        seen = Fmt("button area %.1f %% plain, %d amber pixels", 100 * UseThisCopyPlain(c),
                   AmberPixels(c));
        return UseThisCopyPlain(c) < 0.98 && AmberPixels(c) >= 10 ? "" : seen;
      });
      Check(offered.empty(), "settings: \"Use this copy\" and the amber line show", seen);
      // Hovering the button fills it.
      const POINT mid = Centre(kUseThisCopyRect);
      POINT screen = mid;
      ClientToScreen(s, &screen);
      SetCursorPos(screen.x, screen.y);
      PostMessageW(s, WM_MOUSEMOVE, 0, ClientPoint(mid.x, mid.y));
      const std::string hot = EventuallyIn(s, [&](const ClientShot& c) {
        const RECT& r = kUseThisCopyRect;
        const double share = ShareOf(c, r.left, r.top, r.right, r.bottom, kHotFill);
        return share > 0.4 ? "" : Fmt("%.1f %% of the button is the hot fill", 100 * share);
      });
      Check(hot.empty(), "settings: hovering \"Use this copy\" fills it", hot);
      ParkCursor(env);
      PostMessageW(s, WM_MOUSEMOVE, 0, ClientPoint(5, 5));
      EventuallyIn(s, [&](const ClientShot& c) {
        const RECT& r = kUseThisCopyRect;
        return ShareOf(c, r.left, r.top, r.right, r.bottom, kHotFill) < 0.05 ? "" : "hot";
      });
      SaveShot(env, "settings");

      PostClick(s, mid);
      WaitFor([&] { return ReadSz(kAppKey, L"ExePath") != other; }, kStateWaitMs);
      SyncWnd(s);
      const std::string what = "settings, Use this copy";
      CheckSz(what, kAppKey, L"ExePath", exe);
      CheckSz(what, ProgIdCommandKey(L".jpg"), nullptr, CommandOf(exe));
      CheckSz(what, ProgIdCommandKey(L".gif"), nullptr, CommandOf(exe));
      CheckTypes(1u << 1 | 1u << 6, what + ": the same types stay registered");
      Check(!KeyExists(AppEntryKey(L"nv2.exe")), what + ": the other copy's entry is deleted", "");
      CheckSharedValues(what, exe, {L".jpg", L".gif"});
      const std::string gone = EventuallyIn(s, [&](const ClientShot& c) {
        return UseThisCopyPlain(c) > 0.999 && AmberPixels(c) == 0
                   ? ""
                   : Fmt("button area %.1f %% plain, %d amber pixels", 100 * UseThisCopyPlain(c),
                         AmberPixels(c));
      });
      Check(gone.empty(), what + ": the button and the amber line are gone", gone);
      PostMessageW(s, WM_CLOSE, 0, 0);
      CheckSettingsClosed(v, s, what);
    }
    v.Close("settings, other copy");
  }
  DeleteFileW(other.c_str());
  CleanRegistry();
}

// A recorded program file that is gone: the viewer takes the registrations
// over as it starts.
void ScenarioSettingsRepair(const Env& env) {
  CleanRegistry();
  ParkCursor(env);
  const unsigned two = 1u << 0 | 1u << 4;  // .png and .bmp
  std::wstring exe;
  {
    Viewer v(env);
    if (!v.Start(L"", "repair")) return;
    const HWND s = OpenSettings(v, "repair");
    if (!s) return;
    ClickType(s, 0, 1u << 0, "repair: clicking .png registers it");
    ClickType(s, 4, two, "repair: clicking .bmp adds it");
    exe = CheckRecordedExe(env, "repair");
    PostClick(s, Centre(kCloseRect));
    CheckSettingsClosed(v, s, "repair, the Close button");
    v.Close("repair");
  }
  const std::wstring missing = env.pics.Path(L"gone") + L"\\missing.exe";
  const bool wrote = GetFileAttributesW(missing.c_str()) == INVALID_FILE_ATTRIBUTES &&
                     SetSz(kAppKey, L"ExePath", missing) &&
                     SetSz(AppEntryKey(L"missing.exe"), L"FriendlyAppName", L"Norvane") &&
                     SetSz(ProgIdCommandKey(L".png"), nullptr, CommandOf(missing)) &&
                     SetSz(ProgIdCommandKey(L".bmp"), nullptr, CommandOf(missing));
  if (Check(wrote, "repair: a program path that does not exist recorded", Utf8(missing))) {
    Viewer v(env);
    if (v.Start(L"", "repair, restart")) {
      const std::string what = "repair, at start-up";
      CheckSz(what, kAppKey, L"ExePath", exe);
      CheckSz(what, ProgIdCommandKey(L".png"), nullptr, CommandOf(exe));
      CheckSz(what, ProgIdCommandKey(L".bmp"), nullptr, CommandOf(exe));
      CheckTypes(two, what + ": the same types stay registered");
      Check(!KeyExists(AppEntryKey(L"missing.exe")), what + ": the gone copy's entry is deleted",
            "");
      v.Close("repair, restart");
    }
  }
  CleanRegistry();
}

// Presses Shift+Tab in the settings window as real input (it asks
// GetKeyState(VK_SHIFT)); falls back to sharing its input state with Shift
// held when real input does not reach it.
void PressShiftTab(HWND s, bool shared, std::string* how) {
  if (!shared) {
    SetForegroundWindow(s);
    WaitFor([&] { return GetForegroundWindow() == s; }, 2000);
    INPUT in[4]{};
    const WORD keys[4] = {VK_SHIFT, VK_TAB, VK_TAB, VK_SHIFT};
    for (int i = 0; i < 4; ++i) {
      in[i].type = INPUT_KEYBOARD;
      in[i].ki.wVk = keys[i];
      in[i].ki.wScan = static_cast<WORD>(MapVirtualKeyW(keys[i], MAPVK_VK_TO_VSC));
      in[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    SendInput(4, in, sizeof(INPUT));
    *how = "SendInput";
    return;
  }
  const DWORD tid = GetWindowThreadProcessId(s, nullptr);
  if (AttachThreadInput(GetCurrentThreadId(), tid, TRUE)) {
    BYTE ks[256]{};
    GetKeyboardState(ks);
    ks[VK_SHIFT] = ks[VK_LSHIFT] = 0x80;
    SetKeyboardState(ks);
    const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(VK_TAB, MAPVK_VK_TO_VSC)) << 16;
    DWORD_PTR r = 0;
    SendMessageTimeoutW(s, WM_KEYDOWN, VK_TAB, 1 | scan, SMTO_NORMAL, kMaxWaitMs, &r);
    ks[VK_SHIFT] = ks[VK_LSHIFT] = 0;
    SetKeyboardState(ks);
    AttachThreadInput(GetCurrentThreadId(), tid, FALSE);
  }
  *how = "shared key state";
}

// The keyboard: the focus ring shows only once the keyboard moved it; Tab,
// the arrows, Space, Enter and Esc. Which item has the focus shows in the
// ring's pixels and in what Space toggles.
void ScenarioSettingsKeys(const Env& env) {
  CleanRegistry();
  ParkCursor(env);
  Viewer v(env);
  if (!v.Start(L"", "keys")) return;
  HWND s = OpenSettings(v, "keys");
  if (!s) return;
  CheckRing(s, -2, "keys: no focus ring at first");
  unsigned want = 0;
  auto space = [&](int i, const std::string& name) {
    PostKey(s, VK_SPACE);
    want ^= 1u << i;
    Settle(s, want);
    return CheckTypes(want, name);
  };
  // Space with nothing focused does nothing; Tab from nothing is .png.
  PostKey(s, VK_SPACE);
  PostKey(s, VK_TAB);
  CheckRing(s, 0, "keys: Tab from nothing focuses .png");
  space(0, "keys: Space with nothing focused does nothing, then toggles .png");
  space(0, "keys: Space again toggles .png back");
  for (int k = 0; k < 3; ++k) PostKey(s, VK_DOWN);
  PostKey(s, VK_RIGHT);
  CheckRing(s, 10, "keys: Right from .jfif goes to .webp (ring)");
  space(10, "keys: Right from .jfif goes to .webp (Space toggles it)");
  PostKey(s, VK_RIGHT);
  space(10, "keys: Right on .webp stays");
  PostKey(s, VK_LEFT);
  for (int k = 0; k < 3; ++k) PostKey(s, VK_UP);
  PostKey(s, VK_LEFT);
  space(0, "keys: Left back to .jfif, Up to .png, Left on .png stays");
  space(0, "keys: Space toggles .png back");
  // A click moves the focus without showing the ring; Tab shows it on the next.
  ClickType(s, 5, want ^ (1u << 5), "keys: clicking .dib toggles it");
  want ^= 1u << 5;
  CheckRing(s, -2, "keys: a click hides the focus ring");
  PostKey(s, VK_TAB);
  CheckRing(s, 6, "keys: Tab after clicking .dib focuses .gif");
  space(6, "keys: Space toggles .gif");
  SaveShot(env, "settings-focus");
  PostKey(s, VK_ESCAPE);
  CheckSettingsClosed(v, s, "keys, Esc");
  CheckTypes(want, "keys: Esc changes nothing");

  // Shift+Tab from nothing is Close; Tab from Close wraps to .png.
  s = OpenSettings(v, "keys, reopened");
  if (!s) return;
  CheckRing(s, -2, "keys: reopened, no focus ring");
  std::string how;
  PressShiftTab(s, false, &how);
  std::string ring = EventuallyIn(s, [](const ClientShot& c) { return RingOnly(c, -1); });
  if (!ring.empty()) {
    // Real input did not reach the window: nothing has the focus yet.
    Note("Shift+Tab by SendInput: " + ring);
    PressShiftTab(s, true, &how);
    ring = EventuallyIn(s, [](const ClientShot& c) { return RingOnly(c, -1); });
  }
  Check(ring.empty(), "keys: Shift+Tab from nothing focuses Close", ring.empty() ? how : ring);
  PostKey(s, VK_TAB);
  CheckRing(s, 0, "keys: Tab from Close wraps to .png (ring)");
  space(0, "keys: Tab from Close wraps to .png (Space toggles it)");
  // Enter with a type focused closes and toggles nothing.
  PostKey(s, VK_RETURN);
  CheckSettingsClosed(v, s, "keys, Enter on .png");
  CheckTypes(want, "keys: Enter on a type toggles nothing");
  v.Close("keys");
  CleanRegistry();
}

std::vector<std::uint8_t> ReadWhole(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA d{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d) || d.nFileSizeHigh) return {};
  return ReadFileHead(path, d.nFileSizeLow);
}

// A 1 × 1 grey TIFF whose XMP packet (tag 700) holds a bag of `items`
// keywords.
bool WriteXmpTiff(const std::wstring& path, int items) {
  std::string xmp =
      "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
      "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
      "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:subject><rdf:Bag>";
  for (int i = 0; i < items; ++i) xmp += "<rdf:li>k" + std::to_string(i) + "</rdf:li>";
  xmp += "</rdf:Bag></dc:subject></rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
  struct Entry {
    std::uint16_t tag, type;
    std::uint32_t count, value;
  };
  const std::uint32_t ifd = 8, entries = 9, pixel = ifd + 2 + 12 * entries + 4, packet = pixel + 2;
  const Entry e[entries] = {
      {256, 3, 1, 1}, {257, 3, 1, 1}, {258, 3, 1, 8},
      {259, 3, 1, 1}, {262, 3, 1, 1}, {273, 4, 1, pixel},
      {278, 3, 1, 1}, {279, 4, 1, 1}, {700, 1, static_cast<std::uint32_t>(xmp.size()), packet}};
  std::vector<std::uint8_t> out = {'I', 'I', 42, 0};
  auto put = [&](std::uint32_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
  };
  put(ifd, 4);
  put(entries, 2);
  for (const Entry& x : e) {
    put(x.tag, 2);
    put(x.type, 2);
    put(x.count, 4);
    put(x.value, 4);  // a SHORT sits in the low half, little-endian
  }
  put(0, 4);
  out.push_back(128);
  out.push_back(0);
  out.insert(out.end(), xmp.begin(), xmp.end());
  return WriteFileBytes(path, out.data(), out.size());
}

// Paths the commands must not act on: a folder without pictures shown with
// its message, and a file whose path is too long for the shell's calls. Del
// asks nothing and I opens nothing; both stay where they are.
void ScenarioPaths(const Env& env) {
  const std::wstring longDir =
      L"\\\\?\\" + env.pics.Path(std::wstring(120, L'd').c_str()) + L"\\" + std::wstring(120, L'e');
  const std::wstring longFile = longDir + L"\\long.bmp";
  CreateDirectoryW(longDir.substr(0, longDir.rfind(L'\\')).c_str(), nullptr);
  CreateDirectoryW(longDir.c_str(), nullptr);
  const bool made = CopyFileW(env.pics.Path(L"picture.bmp").c_str(), longFile.c_str(), FALSE) != 0;
  struct PathCase {
    std::wstring open;   // what the viewer is started with
    std::wstring check;  // what must still exist afterwards
    const wchar_t* title;
    const char* what;
  };
  const PathCase cases[] = {
      {env.pics.Path(L"no-pictures"), env.pics.Path(L"no-pictures"), L"no-pictures",
       "paths, a folder without pictures"},
      {longFile.substr(4), longFile, L"long.bmp", "paths, a path of 260 characters or more"},
  };
  for (const PathCase& c : cases) {
    if (c.check == longFile && !Check(made, std::string(c.what) + ": the file is made", "")) {
      continue;
    }
    Viewer v(env);
    if (!v.Start(c.open, c.what)) continue;
    v.CheckTitle(std::wstring(c.title) + kSep + L"unreadable", std::string(c.what) + ": title");
    v.Key(VK_DELETE);
    v.Key('I');
    Sleep(500);
    v.Sync();
    const HWND box = FindTopWindow(v.pid(), L"#32770");
    const HWND meta = FindTopWindow(v.pid(), L"NorvaneMetaWnd");
    Check(!box && !meta, std::string(c.what) + ": Del and I do nothing",
          box    ? Utf8(MessageOf(box))
          : meta ? "the metadata window opened"
                 : "");
    if (box) PostMessageW(box, WM_COMMAND, IDNO, 0);
    if (meta) PostMessageW(meta, WM_CLOSE, 0, 0);
    Check(GetFileAttributesW(c.check.c_str()) != INVALID_FILE_ATTRIBUTES,
          std::string(c.what) + ": still there", "");
    v.Close(c.what);
  }
  DeleteFileW(longFile.c_str());
  RemoveDirectoryW(longDir.c_str());
  RemoveDirectoryW(longDir.substr(0, longDir.rfind(L'\\')).c_str());
}

// --- the metadata window -----------------------------------------------------

// What the metadata window reports of itself (its test query): the named
// lines and the list, row by row.
struct MetaRowSeen {
  bool heading = false;
  int top = 0;
  int index = -1;
  std::wstring group, label, value, flags;
  bool Has(wchar_t flag) const { return flags.find(flag) != std::wstring::npos; }
};

struct MetaSeen {
  bool ok = false;
  std::vector<std::vector<std::wstring>> lines;  // "file", "status", ... with their values
  std::vector<MetaRowSeen> rows;

  std::wstring Get(const wchar_t* key, size_t i = 0) const {
    for (const auto& l : lines) {
      if (l[0] == key && l.size() > i + 1) return l[i + 1];
    }
    return L"";
  }
  int Int(const wchar_t* key, size_t i = 0) const { return _wtoi(Get(key, i).c_str()); }
  bool Enabled(int id) const {
    for (const auto& l : lines) {
      if (l[0] == L"btn" && l.size() > 2 && _wtoi(l[1].c_str()) == id) return l[2] == L"1";
    }
    return false;
  }
  // The first field row with that label (and group, when one is given).
  const MetaRowSeen* Field(const std::wstring& label, const wchar_t* group = nullptr) const {
    for (const MetaRowSeen& r : rows) {
      if (!r.heading && r.label == label && (!group || r.group == group)) return &r;
    }
    return nullptr;
  }
  const MetaRowSeen* ByIndex(int index) const {
    for (const MetaRowSeen& r : rows) {
      if (!r.heading && r.index == index) return &r;
    }
    return nullptr;
  }
  std::vector<std::wstring> Headings() const {
    std::vector<std::wstring> h;
    for (const MetaRowSeen& r : rows) {
      if (r.heading) h.push_back(r.group);
    }
    return h;
  }
  int Changed() const {
    int n = 0;
    for (const MetaRowSeen& r : rows) n += !r.heading && r.Has(L'c');
    return n;
  }
};

std::wstring Unescape(const std::wstring& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == L'\\' && i + 1 < s.size()) {
      const wchar_t c = s[++i];
      out += c == L't' ? L'\t' : c == L'n' ? L'\n' : c == L'r' ? L'\r' : c;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::wstring WideOf(const std::string& utf8) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

constexpr ULONG_PTR kMetaStateQuery = 0x4E564D52;  // the window's test query

MetaSeen QueryMeta(const Env& env, HWND m) {
  MetaSeen seen;
  const std::wstring path = env.pics.Path(L"meta-state.txt");
  DeleteFileW(path.c_str());
  COPYDATASTRUCT cds{};
  cds.dwData = kMetaStateQuery;
  cds.cbData = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
  cds.lpData = const_cast<wchar_t*>(path.c_str());
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutW(m, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds), SMTO_NORMAL,
                           kMaxWaitMs, &r) ||
      r != TRUE) {
    return seen;
  }
  const std::vector<std::uint8_t> bytes = ReadWhole(path);
  const std::wstring text = WideOf(std::string(bytes.begin(), bytes.end()));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::vector<std::wstring> cells;
    size_t c = start;
    for (;;) {
      const size_t tab = text.find(L'\t', c);
      if (tab == std::wstring::npos || tab >= end) {
        cells.push_back(Unescape(text.substr(c, end - c)));
        break;
      }
      cells.push_back(Unescape(text.substr(c, tab - c)));
      c = tab + 1;
    }
    if (cells[0] == L"H" && cells.size() >= 3) {
      MetaRowSeen row;
      row.heading = true;
      row.top = _wtoi(cells[1].c_str());
      row.group = cells[2];
      seen.rows.push_back(row);
    } else if (cells[0] == L"F" && cells.size() >= 7) {
      MetaRowSeen row;
      row.top = _wtoi(cells[1].c_str());
      row.index = _wtoi(cells[2].c_str());
      row.group = cells[3];
      row.label = cells[4];
      row.value = cells[5];
      row.flags = cells[6];
      seen.rows.push_back(row);
    } else {
      seen.lines.push_back(cells);
    }
    start = end + 1;
  }
  seen.ok = !seen.lines.empty();
  return seen;
}

// Opens the metadata window for the viewer's file with the I key.
HWND OpenMeta(const Viewer& v, const std::string& what) {
  const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW('I', MAPVK_VK_TO_VSC)) << 16;
  PostMessageW(v.hwnd(), WM_KEYDOWN, 'I', 1 | scan);
  PostMessageW(v.hwnd(), WM_KEYUP, 'I', 1 | scan | 0xC0000000);
  const HWND m = WaitTopWindow(v.pid(), L"NorvaneMetaWnd", L"Metadata", kMaxWaitMs);
  Check(m != nullptr, what + ": I opens the metadata window", m ? "" : "none in 20 s");
  if (m) SyncWnd(m);
  return m;
}

bool CheckMetaClosed(const Viewer& v, HWND m, const std::string& what) {
  const bool gone = WaitFor([&] { return !IsWindow(m); }, kStateWaitMs);
  Check(gone, what + ": the metadata window closes", gone ? "" : "still open");
  const bool enabled = WaitFor([&] { return IsWindowEnabled(v.hwnd()) != 0; }, kStateWaitMs);
  Check(enabled, what + ": the viewer is enabled again", "");
  return gone && enabled;
}

// A point of the window in pixels from layout units.
POINT MetaPoint(const Env& env, int x, int y) { return {Px(x, env.dpi), Px(y, env.dpi)}; }

// Clicks a part of a field row: 1 the label, 2 the value, 3 the link.
void ClickRow(const Env& env, HWND m, const MetaSeen& s, const MetaRowSeen& row, int part) {
  const int x = part == 1 ? 100 : part == 2 ? 400 : 630;
  const int y = 104 + row.top - s.Int(L"scroll") + 13;
  PostClick(m, MetaPoint(env, x, y));
  SyncWnd(m);
}

void ClickMetaButton(const Env& env, HWND m, int left, int width) {
  PostClick(m, MetaPoint(env, left + width / 2, 645));
}

HWND MetaEdit(HWND m) { return FindWindowExW(m, nullptr, L"Edit", nullptr); }

// Waits for the window's state to satisfy `ok` (returns "" then, or what
// was wrong the last time).
template <class F>
std::string MetaEventually(const Env& env, HWND m, MetaSeen* seen, F ok) {
  std::string why;
  WaitFor(
      [&] {
        *seen = QueryMeta(env, m);
        why = seen->ok ? ok(*seen) : std::string("no answer to the state query");
        return why.empty();
      },
      kStateWaitMs);
  return why;
}

// Scrolls the list with Home and Down (26 units a key) until the field's
// row is fully in view; returns the state then.
MetaSeen ScrollToRow(const Env& env, HWND m, int index) {
  MetaSeen s = QueryMeta(env, m);
  const MetaRowSeen* row = s.ByIndex(index);
  if (!row) return s;
  const int scroll = s.Int(L"scroll");
  if (row->top >= scroll && row->top + 26 <= scroll + 506) return s;
  const int downs = std::max(0, (row->top + 26 - 506 + 25) / 26);
  PostKey(m, VK_HOME);
  for (int i = 0; i < downs; ++i) PostKey(m, VK_DOWN);
  // Posted keys are handled after sent messages: wait for the scroll.
  const int want = std::min(downs * 26, std::max(0, s.Int(L"scroll", 1) - 506));
  MetaEventually(env, m, &s, [&](const MetaSeen& x) {
    return x.Int(L"scroll") == want ? "" : Fmt("scroll %d", x.Int(L"scroll"));
  });
  return s;
}

// Opens the value (or label) editor of a row, types `text` into it and ends
// it with `key` posted to the edit box (0: a click on empty space).
bool EditRow(const Env& env, HWND m, const std::wstring& label, bool byName,
             const std::wstring& text, UINT key, const std::string& what) {
  const MetaSeen listed = QueryMeta(env, m);
  const MetaRowSeen* found = listed.Field(label);
  if (!Check(found != nullptr, what + ": the row is listed", Utf8(label))) return false;
  const MetaSeen s = ScrollToRow(env, m, found->index);
  const MetaRowSeen* row = s.ByIndex(found->index);
  if (!row) return false;
  ClickRow(env, m, s, *row, byName ? 1 : 2);
  HWND edit = nullptr;
  WaitFor([&] { return (edit = MetaEdit(m)) != nullptr; }, kStateWaitMs);
  if (!Check(edit != nullptr, what + ": the edit box opens", "")) return false;
  const MetaSeen open = QueryMeta(env, m);
  Check(
      open.Int(L"edit") == row->index && open.Get(L"edit", 2) == (byName ? row->label : row->value),
      what + ": the box edits the field's " + (byName ? "label" : "value"),
      Utf8(open.Get(L"edit", 0) + L" \"" + open.Get(L"edit", 2) + L"\""));
  DWORD_PTR r = 0;
  SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL,
                      kMaxWaitMs, &r);
  if (key) {
    PostKey(edit, key);
  } else {
    PostClick(m, MetaPoint(env, 300, 30));  // the header: empty space
  }
  SyncWnd(m);
  return true;
}

// A message box of the viewer's process titled "Metadata".
HWND WaitMetaBox(const Viewer& v, DWORD ms) {
  return WaitTopWindow(v.pid(), L"#32770", L"Metadata", ms);
}

void AnswerBox(HWND box, int id) {
  PostMessageW(box, WM_COMMAND, static_cast<WPARAM>(id), 0);
  WaitFor([&] { return !IsWindow(box); }, kStateWaitMs);
}

// The share of a button's rectangle (layout units) painted in a colour.
double MetaButtonShare(const Env& env, const ClientShot& c, int left, int width,
                       std::uint32_t colour) {
  return ShareOf(c, Px(left, env.dpi), Px(628, env.dpi), Px(left + width, env.dpi),
                 Px(662, env.dpi), colour);
}

constexpr std::uint32_t kMetaAccent = 0x60A5FA;  // the Save button's fill
constexpr std::uint32_t kMetaRowHot = 0x141C2E;  // a hovered row

FILETIME WriteTimeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA d{};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d);
  return d.ftLastWriteTime;
}

bool SameTime(FILETIME a, FILETIME b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// Ctrl+S as real input to the window made the foreground window.
void PressCtrlS(HWND m) {
  SetForegroundWindow(m);
  WaitFor([&] { return GetForegroundWindow() == m; }, 2000);
  std::vector<INPUT> in;
  for (WORD k : {WORD(VK_CONTROL), WORD('S'), WORD('S'), WORD(VK_CONTROL)}) {
    INPUT e{};
    e.type = INPUT_KEYBOARD;
    e.ki.wVk = k;
    e.ki.wScan = static_cast<WORD>(MapVirtualKeyW(k, MAPVK_VK_TO_VSC));
    e.ki.dwFlags = in.size() >= 2 ? KEYEVENTF_KEYUP : 0;
    in.push_back(e);
  }
  SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
  Sleep(300);
  SyncWnd(m);
}

// The groups in the window's fixed order, with those the file has.
const wchar_t* const kMetaGroups[] = {L"File",
                                      L"Description and credits",
                                      L"Camera and exposure",
                                      L"GPS",
                                      L"Image",
                                      L"Comment",
                                      L"PNG text",
                                      L"XMP",
                                      L"IPTC and Photoshop",
                                      L"Embedded thumbnail",
                                      L"Other",
                                      L"Technical"};

std::string HeadingOrder(const MetaSeen& s) {
  const std::vector<std::wstring> h = s.Headings();
  size_t at = 0;
  std::string seen;
  for (const std::wstring& g : h) seen += (seen.empty() ? "" : ", ") + Utf8(g);
  for (const std::wstring& g : h) {
    while (at < std::size(kMetaGroups) && g != kMetaGroups[at]) ++at;
    if (at == std::size(kMetaGroups)) return "out of order: " + seen;
    ++at;
  }
  return "";
}

// Copies a file of the scratch folder to a writable file there and returns
// the copy's path.
std::wstring FreshCopy(const Env& env, const wchar_t* source, const wchar_t* name) {
  const std::wstring file = env.pics.Path(name);
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
  CopyFileW(env.pics.Path(source).c_str(), file.c_str(), FALSE);
  return file;
}

// The metadata window on a JPEG with EXIF, GPS, XMP, IPTC, a comment and a
// thumbnail: what it lists, editing, removal marks, Add field, saving and
// closing.
void ScenarioMetadata(const Env& env) {
  const std::wstring file = FreshCopy(env, L"meta-source.jpg", L"meta.jpg");
  if (!Check(FileExists(file), "metadata: the test JPEG is in place", Utf8(file))) return;
  ParkCursor(env);
  Viewer v(env);
  if (!v.Start(file, "metadata")) return;
  const ClientShot before = CaptureClient(v);
  HWND m = OpenMeta(v, "metadata");
  if (!m) return;
  {
    RECT rc{};
    GetClientRect(m, &rc);
    const int side = static_cast<int>(std::ceil(680.0f * (static_cast<float>(env.dpi) / 96.0f)));
    Check(rc.right == side && rc.bottom == side, Fmt("metadata: client %d x %d", side, side),
          Fmt("client %ld x %ld", rc.right, rc.bottom));
    Check(!IsWindowEnabled(v.hwnd()), "metadata: the viewer is disabled while it is open", "");
  }

  MetaSeen s = QueryMeta(env, m);
  if (!Check(s.ok, "metadata: the window answers the state query", "")) return;
  Check(s.Get(L"file") == L"meta.jpg   \u00B7   JPEG   \u00B7   click a value to change it",
        "metadata: the file line", Utf8(s.Get(L"file")));
  {
    const std::string order = HeadingOrder(s);
    Check(order.empty(), "metadata: groups in the fixed order", order);
    std::string missing;
    for (const wchar_t* g : {L"File", L"Description and credits", L"Camera and exposure", L"GPS",
                             L"Comment", L"XMP", L"IPTC and Photoshop", L"Embedded thumbnail"}) {
      const auto h = s.Headings();
      if (std::find(h.begin(), h.end(), std::wstring(g)) == h.end()) missing += " " + Utf8(g);
    }
    Check(missing.empty(), "metadata: every group the file carries has a heading",
          "missing:" + missing);
    // Values the file was given, each in its group.
    struct Want {
      const wchar_t* group;
      const wchar_t* value;
    };
    const Want wants[] = {
        {L"Camera and exposure", L"Norvane"}, {L"Camera and exposure", L"Test Rig"},
        {L"Comment", L"block comment"},       {L"XMP", L"XMP title"},
        {L"IPTC and Photoshop", L"Paris"},    {L"IPTC and Photoshop", L"Ann"}};
    std::string absent;
    for (const Want& w : wants) {
      bool found = false;
      for (const MetaRowSeen& r : s.rows)
        found |= !r.heading && r.group == w.group && r.value == w.value;
      if (!found) absent += " \"" + Utf8(w.value) + "\" in " + Utf8(w.group) + ";";
    }
    Check(absent.empty(), "metadata: the file's values are listed in their groups", absent);
    Check(!s.Enabled(2003) && s.Enabled(2000) && s.Enabled(2001) && s.Enabled(2002),
          "metadata: Save disabled with nothing changed, the others enabled", "");
  }
  SaveShot(env, "metadata");

  // Hovering a row fills it.
  {
    const MetaRowSeen* row = s.Field(L"Camera model");
    if (row) {
      const int y = 104 + row->top - s.Int(L"scroll") + 13;
      PostMessageW(m, WM_MOUSEMOVE, 0, ClientPoint(Px(100, env.dpi), Px(y, env.dpi)));
      const std::string hot = EventuallyIn(m, [&](const ClientShot& c) {
        const double share = ShareOf(c, Px(400, env.dpi), Px(y - 11, env.dpi), Px(588, env.dpi),
                                     Px(y + 11, env.dpi), kMetaRowHot);
        return share > 0.5 ? "" : Fmt("%.1f %% of the row is the hover fill", 100 * share);
      });
      Check(hot.empty(), "metadata: the row under the mouse is filled", hot);
      PostMessageW(m, WM_MOUSELEAVE, 0, 0);
    }
  }

  // Wheel: one notch down scrolls 78 units; it stops at both ends.
  {
    const int total = s.Int(L"scroll", 1);
    POINT centre = MetaPoint(env, 340, 300);
    ClientToScreen(m, &centre);
    const LPARAM at = MAKELPARAM(centre.x, centre.y);
    PostMessageW(m, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-120)), at);
    MetaSeen w;
    std::string why = MetaEventually(env, m, &w, [&](const MetaSeen& x) {
      return x.Int(L"scroll") == std::min(78, std::max(0, total - 506))
                 ? ""
                 : Fmt("scroll %d", x.Int(L"scroll"));
    });
    Check(why.empty(), "metadata: a wheel notch scrolls 78 units", why);
    for (int i = 0; i < 40; ++i) {
      PostMessageW(m, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-120)), at);
    }
    why = MetaEventually(env, m, &w, [&](const MetaSeen& x) {
      return x.Int(L"scroll") == std::max(0, total - 506) ? "" : Fmt("scroll %d", x.Int(L"scroll"));
    });
    Check(why.empty(), Fmt("metadata: scrolling stops at total - 506 (%d)", total - 506), why);
    for (int i = 0; i < 40; ++i) PostMessageW(m, WM_MOUSEWHEEL, MAKEWPARAM(0, 120), at);
    why = MetaEventually(env, m, &w, [&](const MetaSeen& x) {
      return x.Int(L"scroll") == 0 ? "" : Fmt("scroll %d", x.Int(L"scroll"));
    });
    Check(why.empty(), "metadata: scrolling stops at 0", why);
    Check(total > 506 + 78, "metadata: the test file's list is longer than the window",
          Fmt("total %d", total));
  }

  // Enter, Tab and a click elsewhere commit; Esc cancels.
  struct EditCase {
    const wchar_t* label;
    const wchar_t* typed;
    UINT key;
    const wchar_t* after;
    const char* name;
  };
  const EditCase edits[] = {
      {L"Camera model", L"Rig 2", VK_RETURN, L"Rig 2", "Enter commits"},
      {L"Camera make", L"Maker", VK_TAB, L"Maker", "Tab commits"},
      {L"Comment", L"new comment", 0, L"new comment", "a click elsewhere commits"},
      {L"Date taken", L"zzz", VK_ESCAPE, nullptr, "Esc cancels"},
  };
  for (const EditCase& e : edits) {
    const std::string what = std::string("metadata: ") + e.name;
    const MetaSeen pre = QueryMeta(env, m);
    const MetaRowSeen* row = pre.Field(e.label);
    const std::wstring old = row ? row->value : L"";
    if (!EditRow(env, m, e.label, false, e.typed, e.key, what)) continue;
    MetaSeen post;
    const std::wstring want = e.after ? e.after : old;
    const std::string why = MetaEventually(env, m, &post, [&](const MetaSeen& x) {
      const MetaRowSeen* r = x.Field(e.label);
      if (!r) return std::string("row gone");
      if (x.Int(L"edit") != -1) return std::string("the edit box is still open");
      return r->value == want ? "" : "value \"" + Utf8(r->value) + "\"";
    });
    Check(why.empty() && !MetaEdit(m), what, why);
  }
  s = QueryMeta(env, m);
  Check(s.Changed() == 3 && s.Get(L"status") == L"3 unsaved changes" && s.Enabled(2003),
        "metadata: three changes counted and Save enabled",
        Utf8(s.Get(L"status")) + Fmt(", %d changed rows", s.Changed()));
  {
    const std::string fill = EventuallyIn(m, [&](const ClientShot& c) {
      const double share = MetaButtonShare(env, c, 454, 96, kMetaAccent);
      return share > 0.4 ? "" : Fmt("%.1f %% of Save is the accent fill", 100 * share);
    });
    Check(fill.empty(), "metadata: Save is drawn filled when enabled", fill);
  }

  // Letters in a numeric field: the warning names the text and the field,
  // the box stays open with the text and the window does not close.
  {
    const std::string what = "metadata: letters in a numeric field";
    const MetaRowSeen* iso = s.Field(L"ISO speed");
    std::wstring isoLabel = L"ISO speed";
    if (!iso) {
      for (const MetaRowSeen& r : s.rows) {
        if (!r.heading && r.value == L"200") {
          iso = &r;
          isoLabel = r.label;
        }
      }
    }
    if (Check(iso != nullptr, what + ": the ISO row is listed", "") &&
        EditRow(env, m, isoLabel, false, L"abc", VK_RETURN, what)) {
      HWND box = WaitMetaBox(v, kStateWaitMs);
      const std::wstring msg = box ? MessageOf(box) : L"";
      const std::wstring head =
          L"\u201C"
          L"abc\u201D is not a valid value for " +
          isoLabel + L".";
      Check(box && msg.rfind(head, 0) == 0 && msg.size() > head.size() + 2,
            what + ": the warning quotes the text, names the field and says why", Utf8(msg));
      if (box) AnswerBox(box, IDOK);
      const MetaSeen open = QueryMeta(env, m);
      Check(MetaEdit(m) && open.Get(L"edit", 2) == L"abc",
            what + ": the box stays open with the text", Utf8(open.Get(L"edit", 2)));
      PostMessageW(m, WM_CLOSE, 0, 0);
      box = WaitMetaBox(v, kStateWaitMs);
      Check(box != nullptr, what + ": closing warns again", "");
      if (box) AnswerBox(box, IDOK);
      SyncWnd(m);
      Check(IsWindow(m) && MetaEdit(m), what + ": the window stays open", "");
      if (HWND edit = MetaEdit(m)) PostKey(edit, VK_ESCAPE);
      MetaSeen after;
      const std::string why = MetaEventually(env, m, &after, [&](const MetaSeen& x) {
        const MetaRowSeen* r = x.Field(isoLabel);
        return x.Int(L"edit") == -1 && r && r->value == L"200" ? "" : std::string("still editing");
      });
      Check(why.empty(), what + ": Esc then cancels and keeps the old value", why);
    }
  }

  // The thumbnail group is marked and restored as a whole.
  {
    s = QueryMeta(env, m);
    const MetaRowSeen* thumb = nullptr;
    int members = 0;
    for (const MetaRowSeen& r : s.rows) {
      if (r.heading || r.group != L"Embedded thumbnail" || !r.Has(L'r')) continue;
      if (!thumb) thumb = &r;
      ++members;
    }
    if (Check(thumb != nullptr && members >= 2,
              "metadata: the thumbnail group has removable fields", Fmt("%d", members))) {
      auto marked = [&](const MetaSeen& x, bool want) {
        int n = 0;
        for (const MetaRowSeen& r : x.rows) {
          n += !r.heading && r.group == L"Embedded thumbnail" && r.Has(L'r') && r.Has(L'x') == want;
        }
        return n == members ? std::string() : Fmt("%d of %d", n, members);
      };
      const int index = thumb->index;
      s = ScrollToRow(env, m, index);
      ClickRow(env, m, s, *s.ByIndex(index), 3);
      MetaSeen x;
      std::string why =
          MetaEventually(env, m, &x, [&](const MetaSeen& y) { return marked(y, true); });
      Check(why.empty(), "metadata: remove on one thumbnail field marks the whole group", why);
      SaveShot(env, "metadata-removed");
      ClickRow(env, m, x, *x.ByIndex(index), 3);
      why = MetaEventually(env, m, &x, [&](const MetaSeen& y) { return marked(y, false); });
      Check(why.empty(), "metadata: undo restores the whole group", why);
      PostKey(m, VK_HOME);
      SyncWnd(m);
    }
  }

  // Remove GPS marks every GPS field; the button is then disabled.
  ClickMetaButton(env, m, 130, 104);
  {
    MetaSeen x;
    const std::string why = MetaEventually(env, m, &x, [&](const MetaSeen& y) {
      int gps = 0, left = 0;
      for (const MetaRowSeen& r : y.rows) {
        if (r.heading || r.group != L"GPS" || !r.Has(L'r')) continue;
        ++gps;
        left += !r.Has(L'x');
      }
      return gps > 0 && left == 0 && !y.Enabled(2001) ? ""
                                                      : Fmt("%d of %d GPS fields left", left, gps);
    });
    Check(why.empty(), "metadata: Remove GPS marks every GPS field", why);
  }

  // Add field › Artist (the second entry), with a value.
  ClickMetaButton(env, m, 26, 96);
  {
    HWND popup = WaitTopWindow(v.pid(), L"#32768", nullptr, kStateWaitMs);
    if (Check(popup != nullptr, "metadata: Add field shows its menu", "")) {
      SaveShot(env, "metadata-add-field");
      for (UINT k : {VK_DOWN, VK_DOWN, VK_RETURN}) {
        PostKey(popup, k);
        Sleep(100);
      }
      HWND edit = nullptr;
      WaitFor([&] { return (edit = MetaEdit(m)) != nullptr; }, kStateWaitMs);
      const MetaSeen x = QueryMeta(env, m);
      const MetaRowSeen* artist = x.ByIndex(x.Int(L"edit"));
      Check(edit && artist && artist->label == L"Artist" && artist->Has(L'a'),
            "metadata: choosing Artist adds the field and opens its editor",
            artist ? Utf8(artist->label) : "no field edited");
      if (edit) {
        DWORD_PTR r = 0;
        SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"Ann Artist"),
                            SMTO_NORMAL, kMaxWaitMs, &r);
        PostKey(edit, VK_RETURN);
        SyncWnd(m);
      }
    }
  }

  // Save: the status line, the file rewritten with the new metadata and
  // the same picture.
  const FILETIME t0 = WriteTimeOf(file);
  ClickMetaButton(env, m, 454, 96);
  {
    MetaSeen x;
    const std::string why = MetaEventually(env, m, &x, [&](const MetaSeen& y) {
      return y.Get(L"status") == L"Saved. The picture itself was not changed."
                 ? ""
                 : Utf8(y.Get(L"status"));
    });
    Check(why.empty(), "metadata: Save reports \"Saved. The picture itself was not changed.\"",
          why);
    if (HWND box = FindTopWindow(v.pid(), L"#32770")) {
      Check(false, "metadata: the save succeeds", Utf8(MessageOf(box)));
      AnswerBox(box, IDOK);
    }
    const MetaRowSeen* artist = x.Field(L"Artist");
    const MetaRowSeen* model = x.Field(L"Camera model");
    int gps = 0;
    for (const MetaRowSeen& r : x.rows) gps += !r.heading && r.group == L"GPS";
    Check(artist && artist->value == L"Ann Artist" && !artist->Has(L'c') && model &&
              model->value == L"Rig 2" && gps == 0 && x.Changed() == 0,
          "metadata: the file read again has the new values and no GPS",
          Fmt("artist %s, model %s, %d GPS rows, %d changed",
              artist ? Utf8(artist->value).c_str() : "-", model ? Utf8(model->value).c_str() : "-",
              gps, x.Changed()));
    Check(!SameTime(t0, WriteTimeOf(file)), "metadata: the file was rewritten", "");
    SaveShot(env, "metadata-saved");
  }

  // Ctrl+S with nothing changed does nothing.
  {
    const FILETIME t1 = WriteTimeOf(file);
    Sleep(50);
    PressCtrlS(m);
    Check(SameTime(t1, WriteTimeOf(file)) && !FindTopWindow(v.pid(), L"#32770"),
          "metadata: Ctrl+S with nothing changed does nothing", "");
  }
  // Ctrl+S saves a change.
  if (EditRow(env, m, L"Artist", false, L"Ann B", VK_RETURN, "metadata: Ctrl+S")) {
    PressCtrlS(m);
    MetaSeen x;
    const std::string why = MetaEventually(env, m, &x, [&](const MetaSeen& y) {
      const MetaRowSeen* a = y.Field(L"Artist");
      return a && a->value == L"Ann B" && y.Changed() == 0 ? "" : Utf8(y.Get(L"status"));
    });
    Check(why.empty(), "metadata: Ctrl+S saves the change", why);
  }

  // Esc closes; the viewer shows the saved file with the same pixels.
  PostKey(m, VK_ESCAPE);
  CheckMetaClosed(v, m, "metadata, Esc");
  {
    std::string diff;
    const ClientShot after = CaptureClient(v);
    int differing = 0;
    for (int y = 0; y < std::min(before.ch, after.ch); ++y) {
      for (int x = 0; x < std::min(before.cw, after.cw); ++x)
        differing += before.At(x, y) != after.At(x, y);
    }
    Check(before.cw == after.cw && before.ch == after.ch && differing == 0,
          "metadata: the picture shown after the save is unchanged",
          Fmt("%d pixels differ", differing));
  }
  // The saved file for the script's checks with exiftool and ImageMagick.
  if (!env.screens.empty()) {
    const std::string name = g_prefix.substr(0, g_prefix.size() - 1) + "-meta-saved.jpg";
    CopyFileW(file.c_str(), (env.screens + L"\\" + std::wstring(name.begin(), name.end())).c_str(),
              FALSE);
  }

  // Closing with unsaved changes: No discards, Cancel keeps, Yes saves.
  struct CloseCase {
    int answer;
    const char* name;
  };
  for (const CloseCase& c : {CloseCase{IDNO, "No discards"}, CloseCase{IDCANCEL, "Cancel keeps"},
                             CloseCase{IDYES, "Yes saves"}}) {
    const std::string what = std::string("metadata, closing: ") + c.name;
    m = OpenMeta(v, what);
    if (!m) break;
    const FILETIME t = WriteTimeOf(file);
    const std::wstring typed = c.answer == IDYES ? L"Closing Yes" : L"Closing other";
    EditRow(env, m, L"Artist", false, typed, VK_RETURN, what);
    PostMessageW(m, WM_CLOSE, 0, 0);
    HWND box = WaitMetaBox(v, kStateWaitMs);
    const std::wstring msg = box ? MessageOf(box) : L"";
    Check(msg == L"Save the changes to this file's metadata?", what + ": the question", Utf8(msg));
    if (box) AnswerBox(box, c.answer);
    if (c.answer == IDCANCEL) {
      SyncWnd(m);
      const MetaSeen x = QueryMeta(env, m);
      Check(IsWindow(m) && x.Changed() == 1, what + ": the window stays with the change", "");
      PostKey(m, VK_ESCAPE);
      box = WaitMetaBox(v, kStateWaitMs);
      if (box) AnswerBox(box, IDNO);
    }
    CheckMetaClosed(v, m, what);
    const bool written = !SameTime(t, WriteTimeOf(file));
    Check(written == (c.answer == IDYES),
          what + (c.answer == IDYES ? ": the file is saved" : ": the file is untouched"),
          written ? "written" : "not written");
  }

  // A save that fails (the file is read-only) keeps the window open with
  // the change marked.
  m = OpenMeta(v, "metadata, failed save");
  if (m) {
    const std::string what = "metadata, failed save";
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
    EditRow(env, m, L"Artist", false, L"Never written", VK_RETURN, what);
    PostMessageW(m, WM_CLOSE, 0, 0);
    HWND box = WaitMetaBox(v, kStateWaitMs);
    if (box) AnswerBox(box, IDYES);
    box = WaitMetaBox(v, kStateWaitMs);
    const std::wstring msg = box ? MessageOf(box) : L"";
    Check(box != nullptr && !msg.empty(), what + ": the save's message is shown", Utf8(msg));
    if (box) AnswerBox(box, IDOK);
    SyncWnd(m);
    const MetaSeen x = QueryMeta(env, m);
    const MetaRowSeen* a = x.Field(L"Artist");
    Check(IsWindow(m) && a && a->value == L"Never written" && a->Has(L'c') &&
              x.Get(L"status") == L"1 unsaved change",
          what + ": the window stays open with the change marked", Utf8(x.Get(L"status")));
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    PostMessageW(m, WM_CLOSE, 0, 0);
    box = WaitMetaBox(v, kStateWaitMs);
    if (box) AnswerBox(box, IDNO);
    CheckMetaClosed(v, m, what);
  }
  v.Close("metadata");
}

// A PNG keyword renamed to spaces stays; a view-only file; a TIFF with
// 100,000 XMP items.
// Starts the viewer on a file, opens the metadata window with I and runs
// body(viewer, window); then closes the window (declining to save) and the
// viewer.
template <class F>
void WithMetaWindow(const Env& env, const std::wstring& file, const std::string& what, F body) {
  Viewer v(env);
  if (!v.Start(file, what)) return;
  if (HWND m = OpenMeta(v, what)) {
    body(v, m);
    PostKey(m, VK_ESCAPE);
    HWND box = nullptr;
    WaitFor(
        [&] {
          box = FindTopWindow(v.pid(), L"#32770", L"Metadata");
          return box || !IsWindow(m);
        },
        kStateWaitMs);
    if (box) AnswerBox(box, IDNO);
    CheckMetaClosed(v, m, what);
  }
  v.Close(what);
}

void ScenarioMetadataMore(const Env& env) {
  ParkCursor(env);
  WithMetaWindow(
      env, FreshCopy(env, L"meta-source.png", L"meta.png"), "metadata, PNG",
      [&](const Viewer&, HWND m) {
        const MetaSeen s = QueryMeta(env, m);
        const MetaRowSeen* kw = nullptr;
        for (const MetaRowSeen& r : s.rows) {
          if (!kw && !r.heading && r.Has(L'n')) kw = &r;
        }
        if (Check(kw != nullptr, "metadata, PNG: a renamable keyword is listed", "")) {
          const std::wstring label = kw->label;
          EditRow(env, m, label, true, L"   ", VK_RETURN, "metadata, PNG: renaming to spaces");
          MetaSeen x;
          std::string why = MetaEventually(env, m, &x, [&](const MetaSeen& y) {
            const MetaRowSeen* r = y.Field(label);
            return y.Int(L"edit") == -1 && r && !r->Has(L'c') ? "" : std::string("renamed");
          });
          Check(why.empty(), "metadata, PNG: a keyword renamed to spaces stays unchanged", why);
          EditRow(env, m, label, true, L"  New key  ", VK_RETURN, "metadata, PNG: renaming");
          why = MetaEventually(env, m, &x, [&](const MetaSeen& y) {
            return y.Field(L"New key") ? "" : std::string("no \"New key\"");
          });
          Check(why.empty(), "metadata, PNG: a new keyword is stored without its spaces", why);
        }
        // Remove all marks every removable field.
        ClickMetaButton(env, m, 242, 96);
        MetaSeen all;
        const std::string why = MetaEventually(env, m, &all, [](const MetaSeen& y) {
          int removable = 0, left = 0;
          for (const MetaRowSeen& r : y.rows) {
            if (r.heading || !r.Has(L'r')) continue;
            ++removable;
            left += !r.Has(L'x');
          }
          return removable > 0 && left == 0
                     ? ""
                     : Fmt("%d of %d removable fields left", left, removable);
        });
        Check(why.empty(), "metadata, PNG: Remove all marks every removable field", why);
      });
  WithMetaWindow(env, env.pics.Path(L"picture.bmp"), "metadata, BMP", [&](const Viewer&, HWND m) {
    const MetaSeen s = QueryMeta(env, m);
    const std::wstring line = s.Get(L"file");
    const std::wstring tail = L"   \u00B7   view only";
    Check(line.size() > tail.size() && line.substr(line.size() - tail.size()) == tail,
          "metadata, BMP: view only", Utf8(line));
    Check(!s.Enabled(2000) && !s.Enabled(2001) && !s.Enabled(2002) && !s.Enabled(2003) &&
              s.Enabled(2004),
          "metadata, BMP: only Close is enabled", "");
    const std::string outline = EventuallyIn(m, [&](const ClientShot& c) {
      const double share = MetaButtonShare(env, c, 454, 96, kMetaAccent);
      return share < 0.02 ? "" : Fmt("%.1f %% of Save is the accent fill", 100 * share);
    });
    Check(outline.empty(), "metadata, BMP: the disabled Save is not filled", outline);
    SaveShot(env, "metadata-view-only");
  });
  // A DPI change while a rejected value is still in the edit box: the box
  // follows the new scale and gets the new font.
  WithMetaWindow(
      env, FreshCopy(env, L"meta-source.jpg", L"meta-dpi.jpg"), "metadata, DPI change",
      [&](const Viewer& v, HWND m) {
        const std::string what = "metadata, DPI change";
        if (EditRow(env, m, L"ISO speed", false, L"abc", VK_RETURN, what)) {
          if (HWND box = WaitMetaBox(v, kStateWaitMs)) AnswerBox(box, IDOK);
          RECT w{};
          GetWindowRect(m, &w);
          RECT suggested{w.left, w.top, w.left + (w.right - w.left) * 3 / 2,
                         w.top + (w.bottom - w.top) * 3 / 2};
          DWORD_PTR r = 0;
          // The window commits the open edit first, which warns again. (The
          // suggested rectangle does not cross processes; only the scale
          // matters here.)
          SendMessageTimeoutW(m, WM_DPICHANGED, MAKEWPARAM(144, 144),
                              reinterpret_cast<LPARAM>(&suggested), SMTO_NORMAL, 2000, &r);
          if (HWND box = WaitMetaBox(v, kStateWaitMs)) AnswerBox(box, IDOK);
          SyncWnd(m);
          HWND edit = MetaEdit(m);
          RECT er{};
          if (edit) {
            GetWindowRect(edit, &er);
            MapWindowPoints(nullptr, m, reinterpret_cast<POINT*>(&er), 2);
          }
          const MetaSeen x = QueryMeta(env, m);
          const MetaRowSeen* iso = x.Field(L"ISO speed");
          const int top = iso ? static_cast<int>((iso->top - x.Int(L"scroll") + 107) * 1.5f) : -1;
          Check(edit && er.left == 364 && er.top == top && er.right - er.left == 519 &&
                    er.bottom - er.top == 30 && x.Get(L"edit", 3) == L"1" &&
                    x.Get(L"edit", 2) == L"abc",
                what + ": the open edit box keeps its text, follows the new scale and font",
                Fmt("edit box (%ld,%ld) %ld x %ld, want (364,%d) 519 x 30; current font %s",
                    er.left, er.top, er.right - er.left, er.bottom - er.top, top,
                    Utf8(x.Get(L"edit", 3)).c_str()));
          if (edit) PostKey(edit, VK_ESCAPE);
          MetaSeen closed;
          MetaEventually(env, m, &closed,
                         [](const MetaSeen& y) { return y.Int(L"edit") == -1 ? "" : "editing"; });
        }
      });

  // A file that is not a picture: the window opens with the note and the
  // file facts only.
  WithMetaWindow(env, env.pics.Path(L"not-a-picture.jpg"), "metadata, not a picture",
                 [&](const Viewer&, HWND m) {
                   const MetaSeen x = QueryMeta(env, m);
                   int other = 0;
                   for (const MetaRowSeen& r : x.rows) other += !r.heading && r.group != L"File";
                   Check(!x.Get(L"note").empty() && other == 0 && !x.Enabled(2003),
                         "metadata, not a picture: the note and no metadata fields",
                         Utf8(x.Get(L"note")) + Fmt("; %d other fields", other));
                 });

  // A file changed on disk while the window is open: the save refuses with
  // its message, the file keeps the other program's change and the window
  // keeps the user's.
  const std::wstring changed = FreshCopy(env, L"meta-source.jpg", L"meta-changed.jpg");
  WithMetaWindow(env, changed, "metadata, changed on disk", [&](const Viewer& v, HWND m) {
    const std::wstring& file = changed;
    const std::string what = "metadata, changed on disk";
    EditRow(env, m, L"Camera model", false, L"Mine", VK_RETURN, what);
    // Another program rewrites the file: same bytes, a later time.
    std::vector<std::uint8_t> bytes = ReadWhole(file);
    Sleep(1100);
    WriteFileBytes(file, bytes.data(), bytes.size());
    const FILETIME theirs = WriteTimeOf(file);
    ClickMetaButton(env, m, 454, 96);
    HWND box = WaitMetaBox(v, kStateWaitMs);
    const std::wstring msg = box ? MessageOf(box) : L"";
    Check(msg.find(L"changed on disk") != std::wstring::npos, what + ": the save says so",
          Utf8(msg));
    if (box) AnswerBox(box, IDOK);
    const MetaSeen x = QueryMeta(env, m);
    const MetaRowSeen* model = x.Field(L"Camera model");
    Check(SameTime(theirs, WriteTimeOf(file)) && ReadWhole(file) == bytes && model &&
              model->value == L"Mine" && model->Has(L'c'),
          what + ": the file keeps the other change, the window keeps the edit", "");
  });

  const std::wstring huge = env.pics.Path(L"huge-xmp.tif");
  if (!Check(WriteXmpTiff(huge, 100000), "metadata, huge XMP: the test TIFF is written", ""))
    return;
  const ULONGLONG t0 = GetTickCount64();
  WithMetaWindow(env, huge, "metadata, huge XMP", [&](const Viewer&, HWND m) {
    Note(Fmt("the viewer and the window with 100,000 XMP items opened in %.2f s",
             (GetTickCount64() - t0) / 1000.0));
    const MetaSeen s = QueryMeta(env, m);
    Check(s.rows.size() > 50000, "metadata, huge XMP: the items are listed",
          Fmt("%zu rows", s.rows.size()));
    const ULONGLONG t1 = GetTickCount64();
    PostKey(m, VK_END);
    MetaSeen x;
    const std::string why = MetaEventually(env, m, &x, [&](const MetaSeen& y) {
      return y.Int(L"scroll") == y.Int(L"scroll", 1) - 506 ? ""
                                                           : Fmt("scroll %d", y.Int(L"scroll"));
    });
    Check(why.empty(), "metadata, huge XMP: End scrolls to the last row", why);
    Note(Fmt("End and the state query took %.2f s", (GetTickCount64() - t1) / 1000.0));
    // Dragging the thumb (28 units long at this length) from the top by
    // 100 units scrolls by 100 × (total − 506) / (506 − 28).
    const int total = x.Int(L"scroll", 1);
    PostKey(m, VK_HOME);
    MetaEventually(env, m, &x,
                   [](const MetaSeen& y) { return y.Int(L"scroll") == 0 ? "" : "scrolled"; });
    PostMessageW(m, WM_LBUTTONDOWN, MK_LBUTTON, ClientPoint(Px(670, env.dpi), Px(110, env.dpi)));
    PostMessageW(m, WM_MOUSEMOVE, MK_LBUTTON, ClientPoint(Px(670, env.dpi), Px(210, env.dpi)));
    PostMessageW(m, WM_LBUTTONUP, 0, ClientPoint(Px(670, env.dpi), Px(210, env.dpi)));
    const int dragged = static_cast<int>(100.0 * (total - 506) / (506 - 28));
    const std::string drag = MetaEventually(env, m, &x, [&](const MetaSeen& y) {
      return y.Int(L"scroll") == dragged ? ""
                                         : Fmt("scroll %d, want %d", y.Int(L"scroll"), dragged);
    });
    Check(drag.empty(), "metadata, huge XMP: dragging the thumb scrolls in proportion", drag);
  });
}

struct Scenario {
  const char* name;
  void (*run)(const Env&);
  bool atHighDpi;  // run again in the 144-DPI pass
};
const Scenario kScenarios[] = {
    {"empty", ScenarioEmpty, true},
    {"picture", ScenarioPicture, true},
    {"big", ScenarioBig, true},
    {"ladder", ScenarioLadder, false},
    {"near-step", ScenarioNearStep, false},
    {"zoom-200", ScenarioZoom200, false},
    {"fullscreen", ScenarioFullScreen, false},
    {"transparent", ScenarioTransparent, false},
    {"unreadable", ScenarioUnreadable, false},
    {"menu-states", ScenarioMenuStates, false},
    {"menu-letters", ScenarioMenuLetters, false},
    {"folder", ScenarioFolder, false},
    {"delete", ScenarioDelete, false},
    {"gif", ScenarioGif, false},
    {"save-as", ScenarioSaveAs, false},
    {"instant", ScenarioInstant, false},
    {"settings", ScenarioSettings, false},
    {"settings-repair", ScenarioSettingsRepair, false},
    {"settings-keys", ScenarioSettingsKeys, false},
    {"paths", ScenarioPaths, false},
    {"metadata", ScenarioMetadata, true},
    {"metadata-more", ScenarioMetadataMore, false},
};

void Usage() {
  std::fprintf(stderr,
               "usage: ui_driver --viewer NORVANE.EXE --scratch DIR [--screens DIR] [--dpi N] "
               "[--trash DIR] [--only NAME]\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Physical pixels at any DPI, as the viewer (per-monitor aware) sees them.
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  Env env;
  std::wstring scratch, only;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring k = argv[i], val = argv[i + 1];
    if (k == L"--viewer") {
      env.viewer = val;
    } else if (k == L"--scratch") {
      scratch = val;
    } else if (k == L"--screens") {
      env.screens = val;
    } else if (k == L"--dpi") {
      env.dpi = _wtoi(val.c_str());
    } else if (k == L"--trash") {
      env.trash = val;
    } else if (k == L"--only") {
      only = val;
    } else {
      Usage();
      return 100;
    }
  }
  if (env.viewer.empty() || scratch.empty() || env.dpi <= 0) {
    Usage();
    return 100;
  }
  g_prefix = Fmt("%ddpi/", env.dpi);
  env.pics.dir = scratch;
  if (!env.screens.empty()) CreateDirectoryW(env.screens.c_str(), nullptr);

  SystemParametersInfoW(SPI_GETWORKAREA, 0, &env.work, 0);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  GetMonitorInfoW(MonitorFromPoint({0, 0}, MONITOR_DEFAULTTOPRIMARY), &mi);
  env.monitor = mi.rcMonitor;
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  Note(Fmt("screen %ld x %ld, work area (%ld,%ld)-(%ld,%ld), %d DPI",
           env.monitor.right - env.monitor.left, env.monitor.bottom - env.monitor.top,
           env.work.left, env.work.top, env.work.right, env.work.bottom, dpi));
  if (!Check(dpi == env.dpi, "the desktop runs at the DPI asked for", Fmt("%d DPI", dpi))) {
    return 1;
  }
  if (!Check(MakePictures(env.pics), "test pictures written", Utf8(scratch))) return 1;

  for (const Scenario& s : kScenarios) {
    if (!only.empty() && only != std::wstring(s.name, s.name + std::strlen(s.name))) continue;
    if (env.dpi != 96 && !s.atHighDpi) continue;
    const ULONGLONG t0 = GetTickCount64();
    s.run(env);
    Note(Fmt("%s took %.1f s", s.name, (GetTickCount64() - t0) / 1000.0));
  }
  std::printf("%s: %d passed, %d failed\n", g_failures ? "FAILED" : "OK", g_passes, g_failures);
  return std::min(g_failures, 100);
}
