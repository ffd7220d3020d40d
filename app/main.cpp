// The viewer window: start-up and shutdown, opening a file, layout and
// painting, keys, commands, mouse, full screen and the clipboard.
#include <windows.h>
// windows.h first.
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "app/folder.h"
#include "app/menu.h"
#include "app/prefetch.h"
#include "app/view.h"
#include "assoc/assoc.h"
#include "decode/decode.h"
#include "platform/platform.h"
#include "ui/kit.h"
#include "ui/metadata.h"
#include "ui/settings.h"

namespace {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

// --- state ---------------------------------------------------------------------

Picture* g_pic = nullptr;
// The path opened last (a file, or a folder without pictures), shown in the
// title even when it failed to load.
std::wstring g_currentFile;
// Whether the commands that act on the file (Delete, Metadata) may act on
// g_currentFile: never on a folder, nor on a path too long for the shell.
bool g_haveFile = false;
// Size and last-write time of the file when it was opened; Save as decodes
// the file again only while they are unchanged.
using platform::FileStamp;
using platform::StampOf;
FileStamp g_openedStamp;
wchar_t g_errorText[256] = L"";
int g_imgW = 0, g_imgH = 0;
UINT g_dpi = 96;

double g_zoom = 1.0;
bool g_fit = true;
bool g_fitCap = true;
int g_panX = 0, g_panY = 0;
int g_wheelAcc = 0;
bool g_dragging = false;
POINT g_dragFrom{};
int g_dragPanX = 0, g_dragPanY = 0;

HDC g_memDC = nullptr;
HBITMAP g_memBmp = nullptr;
HGDIOBJ g_memOldBmp = nullptr;
int g_memW = 0, g_memH = 0;
bool g_frameDirty = true;

HDC g_viewDC = nullptr;
HBITMAP g_viewBmp = nullptr;
HGDIOBJ g_viewOldBmp = nullptr;
int g_viewW = 0, g_viewH = 0;
bool g_viewStale = true;
RECT g_linkRect{};

bool g_fullscreen = false;
LONG g_savedStyle = 0;
RECT g_savedRect{};
HMENU g_menu = nullptr;

constexpr UINT_PTR kAnimTimer = 1;

// Decoding ahead: the worker posts kMsgDecoded with a Decoded record in
// lParam. g_wholePending: the picture on display is a reduced first look
// whose whole picture is still being decoded.
constexpr UINT kMsgDecoded = WM_APP + 1;
std::unique_ptr<Prefetcher> g_prefetch;
bool g_wholePending = false;

// The viewer's colours: GDI+ ARGB for drawn shapes and text, COLORREF for
// GDI fills.
constexpr ARGB COL_ACCENT = 0xFF60A5FA;
constexpr ARGB COL_ICE = 0xFFCFE1FF;
constexpr ARGB COL_MUTED = 0xFF7A8696;
constexpr ARGB COL_WARN = 0xFFEC6B6B;
constexpr COLORREF kBackground = 0x00130905;
constexpr COLORREF kFooterBand = 0x001C1410;

const wchar_t kClassName[] = L"NorvaneMainWnd";
const wchar_t kAppName[] = L"Norvane";
const wchar_t kMsgPathTooLong[] =
    L"The path of this file is 260 characters or longer, which is too long to open here. Move "
    L"it to a shorter path.";
const wchar_t kHint[] = L"Drop an image here   \u00B7   Ctrl+O to open";
// The footer: a credit line whose middle segment links to the maker's page.
const wchar_t kFooterLead[] = L"Norvane \u00B7 made by ";
const wchar_t kFooterLink[] = L"Ombrefield";
const wchar_t kFooterTail[] = L" \u00B7 \u00A9 2026";
const wchar_t kMakerPage[] = L"https://www.ombrefield.com/norvane";

int FooterHeight() { return g_fullscreen ? 0 : kit::Px(kFooterUnits, g_dpi); }

ViewBox Geom(int cw, int ch) { return ::ViewGeom(g_imgW, g_imgH, g_zoom, cw, ch, FooterHeight()); }

ViewBox ClientGeom(HWND hwnd) {
  RECT rc;
  GetClientRect(hwnd, &rc);
  return Geom(rc.right - rc.left, rc.bottom - rc.top);
}

bool CanPanNow(HWND hwnd) { return g_pic && ::CanPan(ClientGeom(hwnd)); }

// --- folders -----------------------------------------------------------------

// The shell's natural order.
int ShellCompare(const std::wstring& a, const std::wstring& b) {
  return StrCmpLogicalW(a.c_str(), b.c_str());
}

bool LogicalLess(const std::wstring& a, const std::wstring& b) { return ShellCompare(a, b) < 0; }

void ListImages(const std::wstring& folder, std::vector<std::wstring>* names) {
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (IsImageName(fd.cFileName)) names->push_back(fd.cFileName);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  std::sort(names->begin(), names->end(), LogicalLess);
}

// --- layout inputs ------------------------------------------------------------

bool g_placed = false;  // the window has been centred once

// What a layout starts from: the monitor, the frame and the window's place.
struct LayoutBase {
  bool fullscreen = false;
  int monitorW = 0, monitorH = 0;
  LayoutIn in;
};

LayoutBase LayoutBaseOf(HWND hwnd) {
  LayoutBase b;
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &mi);
  b.fullscreen = g_fullscreen;
  b.monitorW = mi.rcMonitor.right - mi.rcMonitor.left;
  b.monitorH = mi.rcMonitor.bottom - mi.rcMonitor.top;
  RECT frame{};
  AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)),
                           GetMenu(hwnd) != nullptr,
                           static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE)), g_dpi);
  b.in.dpi = static_cast<int>(g_dpi);
  b.in.workL = mi.rcWork.left;
  b.in.workT = mi.rcWork.top;
  b.in.workR = mi.rcWork.right;
  b.in.workB = mi.rcWork.bottom;
  b.in.frameW = frame.right - frame.left;
  b.in.frameH = frame.bottom - frame.top;
  b.in.placed = g_placed;
  RECT wr;
  GetWindowRect(hwnd, &wr);
  b.in.centreX = (wr.left + wr.right) / 2;
  b.in.centreY = (wr.top + wr.bottom) / 2;
  return b;
}

// The zoom a picture of w × h gets when it is opened: fitted, and capped
// outside full screen, as Layout computes it.
double OpenZoom(const LayoutBase& base, int w, int h) {
  if (base.fullscreen) return FitZoom(w, h, base.monitorW, base.monitorH);
  LayoutIn in = base.in;
  in.havePicture = true;
  in.imgW = w;
  in.imgH = h;
  in.fit = true;
  in.fitCap = true;
  in.zoom = 1.0;
  return ComputeLayout(in).zoom;
}

// For the worker: the size a picture is shown at when it is opened, from a
// copy of the window's layout taken now.
ViewSizeFn ViewSizeFor(HWND hwnd) {
  const LayoutBase base = LayoutBaseOf(hwnd);
  return [base](int w, int h, int* viewW, int* viewH) {
    const double zoom = OpenZoom(base, w, h);
    *viewW = ScaledSide(w, zoom);
    *viewH = ScaledSide(h, zoom);
  };
}

// --- opening -------------------------------------------------------------------

void Layout(HWND hwnd);

void UpdateTitle(HWND hwnd) {
  SetWindowTextW(hwnd,
                 TitleText(g_currentFile, g_pic != nullptr, g_imgW, g_imgH, g_zoom, g_fit).c_str());
}

void DropView() {
  if (g_viewDC && g_viewBmp) {
    SelectObject(g_viewDC, g_viewOldBmp);
    DeleteObject(g_viewBmp);
  }
  g_viewBmp = nullptr;
  g_viewW = g_viewH = 0;
  g_viewStale = true;
}

// Puts a ready-scaled copy of the picture in place of the view.
void AdoptView(PictureBitmap view, int w, int h) {
  DropView();
  if (!g_viewDC) g_viewDC = CreateCompatibleDC(nullptr);
  if (!g_viewDC) {
    bitmap_delete(view);
    return;
  }
  g_viewOldBmp = SelectObject(g_viewDC, view);
  g_viewBmp = view;
  g_viewW = w;
  g_viewH = h;
  g_viewStale = false;
}

// The picture on display as a record the neighbour cache may keep (a whole,
// still picture of an unchanged file, with its scaled view), or null. The
// window no longer holds it.
DecodedPtr DetachPicture() {
  if (!g_pic || !g_haveFile || !g_openedStamp.known || picture_reduction(g_pic) != 1 ||
      picture_animated(g_pic)) {
    return nullptr;
  }
  auto d = std::make_unique<Decoded>();
  d->path = g_currentFile;
  d->stamp = g_openedStamp;
  d->picture = g_pic;
  g_pic = nullptr;
  if (g_viewDC && g_viewBmp && !g_viewStale) {
    SelectObject(g_viewDC, g_viewOldBmp);
    d->view = g_viewBmp;
    d->viewW = g_viewW;
    d->viewH = g_viewH;
    g_viewBmp = nullptr;
  }
  return d;
}

void ReleasePicture() {
  picture_free(g_pic);
  g_pic = nullptr;
  g_wholePending = false;
  DropView();
  g_imgW = g_imgH = 0;
  g_fit = true;
  g_fitCap = true;
  g_zoom = 1.0;
  g_panX = g_panY = 0;
  if (g_dragging) {
    ReleaseCapture();
    g_dragging = false;
  }
}

bool IsFolder(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The full path, however long; the path as given when it cannot be made.
std::wstring FullPathOf(const std::wstring& path) {
  const DWORD need = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (need == 0) return path;
  std::wstring full(need, L'\0');
  const DWORD n = GetFullPathNameW(path.c_str(), need, full.data(), nullptr);
  if (n == 0 || n >= need) return path;
  full.resize(n);
  return full;
}

void WantNeighbours(HWND hwnd, DecodedPtr left, const std::vector<std::wstring>* listed);

// `listed`: the pictures of the file's folder when the caller has just
// listed them (a step), so the neighbours are chosen without a second look.
void TryOpen(HWND hwnd, const std::wstring& path,
             const std::vector<std::wstring>* listed = nullptr) {
  if (IsFolder(path)) {
    std::vector<std::wstring> names;
    ListImages(path, &names);
    if (!names.empty()) {
      TryOpen(hwnd, path + L"\\" + names.front(), &names);
      return;
    }
  }
  const std::wstring use = FullPathOf(path);
  HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  KillTimer(hwnd, kAnimTimer);
  // Work for the picture that was on display stops counting; the picture
  // itself may stay as a neighbour of the new one.
  g_prefetch->Begin();
  DecodedPtr left = DetachPicture();
  ReleasePicture();
  g_currentFile = use;
  g_errorText[0] = 0;
  g_haveFile = false;
  DecodedPtr ready;
  if (use.size() >= MAX_PATH) {
    // The shell's calls (the Recycle Bin among them) take no longer paths, so
    // such a file is neither loaded nor ever acted on under a shortened name.
    wcsncpy_s(g_errorText, kMsgPathTooLong, _TRUNCATE);
  } else {
    g_openedStamp = StampOf(use);
    ready = g_prefetch->Take(use);
    if (ready) {
      // Decoded ahead, and the file is as it was then.
      g_pic = ready->picture;
      ready->picture = nullptr;
    } else {
      // A large JPEG shows a reduced decode first; the whole picture follows
      // from the worker.
      const LayoutBase base = LayoutBaseOf(hwnd);
      g_pic = picture_open(
          use.c_str(), [&base](int w, int h) { return OpenZoom(base, w, h); }, g_errorText, 256);
      if (g_pic && picture_reduction(g_pic) > 1) {
        g_wholePending = true;
        g_prefetch->DecodeWhole(use, ViewSizeFor(hwnd));
      }
    }
    g_haveFile = !IsFolder(use);
  }
  if (g_pic) {
    g_imgW = picture_width(g_pic);
    g_imgH = picture_height(g_pic);
    if (picture_animated(g_pic)) SetTimer(hwnd, kAnimTimer, picture_delay_ms(g_pic), nullptr);
  }
  Layout(hwnd);
  UpdateTitle(hwnd);
  if (ready && ready->view) {
    AdoptView(ready->view, ready->viewW, ready->viewH);
    ready->view = nullptr;
  }
  // Painted before anything else: what the neighbours free and queue waits.
  UpdateWindow(hwnd);
  WantNeighbours(hwnd, std::move(left), listed);
  SetCursor(previous);
}

// The folder of the file on display and its pictures in the shell's order
// (listed unless `listed` gives them).
bool FolderOfCurrent(std::wstring* folder, std::wstring* name, std::vector<std::wstring>* list,
                     const std::vector<std::wstring>* listed = nullptr) {
  if (g_currentFile.empty()) return false;
  std::size_t cut = g_currentFile.rfind(L'\\');
  if (cut == std::wstring::npos) cut = g_currentFile.rfind(L'/');
  if (cut == std::wstring::npos) return false;
  *folder = g_currentFile.substr(0, cut);
  *name = g_currentFile.substr(cut + 1);
  if (listed) {
    *list = *listed;
  } else {
    ListImages(*folder, list);
  }
  return true;
}

// Has the neighbours of the file on display decoded ahead; `left` is the
// picture that was on display before.
void WantNeighbours(HWND hwnd, DecodedPtr left, const std::vector<std::wstring>* listed) {
  std::wstring folder, name;
  std::vector<std::wstring> list;
  std::vector<std::wstring> paths;
  if (g_haveFile && FolderOfCurrent(&folder, &name, &list, listed)) {
    for (int i : NeighbourIndices(list, name, ShellCompare)) {
      paths.push_back(folder + L"\\" + list[static_cast<std::size_t>(i)]);
    }
  }
  g_prefetch->Want(paths, std::move(left), ViewSizeFor(hwnd));
}

// A record from the worker: the whole picture behind a reduced first look
// takes its place; neighbours go to the cache.
void OnDecoded(HWND hwnd, Decoded* raw) {
  DecodedPtr whole = g_prefetch->Receive(raw);
  if (!whole) return;
  g_wholePending = false;
  // A whole decode that failed leaves the first look on display.
  if (!whole->picture || !g_pic) return;
  picture_free(g_pic);
  g_pic = whole->picture;
  whole->picture = nullptr;
  if (whole->stamp.known) g_openedStamp = whole->stamp;
  if (picture_width(g_pic) != g_imgW || picture_height(g_pic) != g_imgH) {
    g_imgW = picture_width(g_pic);
    g_imgH = picture_height(g_pic);
    Layout(hwnd);
    UpdateTitle(hwnd);
  }
  if (whole->view) {
    AdoptView(whole->view, whole->viewW, whole->viewH);
    whole->view = nullptr;
  } else {
    g_viewStale = true;
  }
  g_frameDirty = true;
  InvalidateRect(hwnd, nullptr, FALSE);
}

// Waits, with the wait cursor, for the whole picture behind a reduced first
// look: for views and commands that need every pixel.
void EnsureWhole(HWND hwnd) {
  if (!g_wholePending) return;
  HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  while (g_wholePending) {
    // Read before looking at the queue: the worker posts a record before it
    // stops counting as busy, so once it was idle here, the look finds
    // everything it will ever post for this file.
    const bool busy = g_prefetch->Worker().Busy(g_currentFile);
    MSG m;
    if (PeekMessageW(&m, hwnd, kMsgDecoded, kMsgDecoded, PM_REMOVE)) {
      OnDecoded(hwnd, reinterpret_cast<Decoded*>(m.lParam));
      continue;
    }
    if (!busy) {
      g_wholePending = false;
      break;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_POSTMESSAGE);
  }
  SetCursor(previous);
}

void OpenFileDialog(HWND hwnd) {
  wchar_t file[MAX_PATH] = L"";
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd;
  ofn.lpstrFilter =
      L"Images\0*.png;*.jpg;*.jpeg;*.jfif;*.bmp;*.dib;*.gif;*.tif;*.tiff;*.ico;*.webp;*.heic;"
      L"*.heif;*.avif\0All files\0*.*\0";
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = MAX_PATH;
  ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
  g_lightPopups = true;
  const BOOL chosen = GetOpenFileNameW(&ofn);
  g_lightPopups = false;
  if (chosen) TryOpen(hwnd, file);
}

bool OpenSibling(HWND hwnd, int step) {
  std::wstring folder, name;
  std::vector<std::wstring> list;
  if (!FolderOfCurrent(&folder, &name, &list)) return false;
  const int target = SiblingTarget(list, name, step, ShellCompare);
  if (target < 0) return false;
  TryOpen(hwnd, folder + L"\\" + list[static_cast<std::size_t>(target)], &list);
  return true;
}

void DeleteCurrent(HWND hwnd) {
  if (!g_haveFile || g_fullscreen) return;
  const std::wstring question = platform::FormatMessageText(
      L"Move \u201C%ls\u201D to the Recycle Bin?", platform::FileNamePart(g_currentFile));
  g_lightPopups = true;
  const int answer = MessageBoxW(hwnd, question.c_str(), kAppName, MB_YESNO | MB_ICONQUESTION);
  g_lightPopups = false;
  if (answer != IDYES) return;
  wchar_t from[MAX_PATH + 2] = {};
  wcsncpy_s(from, MAX_PATH, g_currentFile.c_str(), _TRUNCATE);
  SHFILEOPSTRUCTW op{};
  op.hwnd = hwnd;
  op.wFunc = FO_DELETE;
  op.pFrom = from;
  op.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_SILENT | FOF_WANTNUKEWARNING;
  if (SHFileOperationW(&op) != 0 || op.fAnyOperationsAborted) return;
  // The picture of the file now in the Recycle Bin is never kept.
  KillTimer(hwnd, kAnimTimer);
  ReleasePicture();
  if (OpenSibling(hwnd, 1)) return;
  g_prefetch->Begin();
  g_prefetch->Want({}, nullptr, nullptr);
  g_currentFile.clear();
  g_haveFile = false;
  g_errorText[0] = 0;
  Layout(hwnd);
  SetWindowTextW(hwnd, kAppName);
}

// --- layout --------------------------------------------------------------------

void Layout(HWND hwnd) {
  const LayoutBase base = LayoutBaseOf(hwnd);
  if (g_fullscreen) {
    if (g_pic && g_fit) g_zoom = FitZoom(g_imgW, g_imgH, base.monitorW, base.monitorH);
  } else {
    LayoutIn in = base.in;
    in.havePicture = g_pic != nullptr;
    in.imgW = g_imgW;
    in.imgH = g_imgH;
    in.fit = g_fit;
    in.fitCap = g_fitCap;
    in.zoom = g_zoom;
    g_placed = true;
    const LayoutOut out = ComputeLayout(in);
    if (g_pic) g_zoom = out.zoom;
    const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
    SetWindowPos(hwnd, nullptr, out.x, out.y, out.winW, out.winH, flags);
    RECT rc;
    GetClientRect(hwnd, &rc);
    const int shortBy = out.clientH - (rc.bottom - rc.top);
    if (shortBy > 0) {
      int y = 0, h = 0;
      GrowForMenuWrap(out, shortBy, &y, &h);
      SetWindowPos(hwnd, nullptr, out.x, y, out.winW, h, flags);
    }
  }
  g_frameDirty = true;
  InvalidateRect(hwnd, nullptr, FALSE);
}

// --- zoom and pan ----------------------------------------------------------------

POINT Anchor(HWND hwnd, const POINT* screen) {
  RECT rc;
  GetClientRect(hwnd, &rc);
  if (!screen) return POINT{rc.right / 2, rc.bottom / 2};
  POINT p = *screen;
  ScreenToClient(hwnd, &p);
  return p;
}

void SetZoom(HWND hwnd, double zoom, bool fit, const POINT* screen) {
  POINT a = Anchor(hwnd, screen);
  ViewBox g = ClientGeom(hwnd);
  const double u = AnchorPosition(g_panX, a.x, g.offX, g_zoom);
  const double v = AnchorPosition(g_panY, a.y, g.offY, g_zoom);
  g_fit = fit;
  g_fitCap = false;
  if (!fit) g_zoom = zoom;
  Layout(hwnd);
  a = Anchor(hwnd, screen);
  g = ClientGeom(hwnd);
  g_panX = PanForAnchor(u, g_zoom, a.x, g.offX);
  g_panY = PanForAnchor(v, g_zoom, a.y, g.offY);
  ClampPan(g, &g_panX, &g_panY);
  UpdateTitle(hwnd);
  g_frameDirty = true;
  InvalidateRect(hwnd, nullptr, FALSE);
}

void ZoomStep(HWND hwnd, int direction, const POINT* screen) {
  if (!g_pic) return;
  const double s = ZoomStepFrom(g_zoom, direction);
  if (s > 0) SetZoom(hwnd, s, false, screen);
}

// --- painting --------------------------------------------------------------------

void FillRectColour(HDC dc, int l, int t, int r, int b, COLORREF c) {
  RECT rc{l, t, r, b};
  HBRUSH brush = CreateSolidBrush(c);
  FillRect(dc, &rc, brush);
  DeleteObject(brush);
}

// Whether the view needs more pixels than a reduced first look holds.
bool NeedsWhole(const ViewBox& g) {
  return g_wholePending && (g.scaledW > picture_pixel_width(g_pic) ||
                            g.scaledH > picture_pixel_height(g_pic) || g_zoom > 0.9995);
}

void DrawPicture(HWND hwnd) {
  ViewBox g = Geom(g_memW, g_memH);
  if (NeedsWhole(g)) {
    EnsureWhole(hwnd);
    g = Geom(g_memW, g_memH);
  }
  ClampPan(g, &g_panX, &g_panY);
  const double z = g_zoom;
  HDC source = picture_dc(g_pic);
  if (z > 0.9995 && z < 1.0005) {
    BitBlt(g_memDC, g.offX, g.offY, g.visW, g.visH, source, g_panX, g_panY, SRCCOPY);
  } else if (z <= 0.9995) {
    const bool valid = g_viewBmp && !g_viewStale && g_viewW == g.scaledW && g_viewH == g.scaledH;
    if (!valid) {
      if (!g_viewDC) g_viewDC = CreateCompatibleDC(nullptr);
      if (g_viewBmp) {
        SelectObject(g_viewDC, g_viewOldBmp);
        DeleteObject(g_viewBmp);
        g_viewBmp = nullptr;
      }
      g_viewBmp = g_viewDC ? picture_scaled(g_pic, g.scaledW, g.scaledH) : nullptr;
      if (g_viewBmp) {
        g_viewOldBmp = SelectObject(g_viewDC, g_viewBmp);
        g_viewW = g.scaledW;
        g_viewH = g.scaledH;
      } else {
        g_viewW = g_viewH = 0;
      }
      g_viewStale = false;
    }
    if (g_viewBmp && g_viewDC) {
      BitBlt(g_memDC, g.offX, g.offY, g.visW, g.visH, g_viewDC, g_panX, g_panY, SRCCOPY);
    } else {
      const int saved = SaveDC(g_memDC);
      IntersectClipRect(g_memDC, g.offX, g.offY, g.offX + g.visW, g.offY + g.visH);
      SetStretchBltMode(g_memDC, HALFTONE);
      SetBrushOrgEx(g_memDC, 0, 0, nullptr);
      StretchBlt(g_memDC, g.offX - g_panX, g.offY - g_panY, g.scaledW, g.scaledH, source, 0, 0,
                 picture_pixel_width(g_pic), picture_pixel_height(g_pic), SRCCOPY);
      RestoreDC(g_memDC, saved);
    }
  } else {
    // Enlarged: only the visible picture pixels, each a sharp block.
    const int x0 = static_cast<int>(std::floor(g_panX / z));
    const int y0 = static_cast<int>(std::floor(g_panY / z));
    const int x1 = std::min(g_imgW, static_cast<int>(std::ceil((g_panX + g.visW) / z)));
    const int y1 = std::min(g_imgH, static_cast<int>(std::ceil((g_panY + g.visH) / z)));
    if (x0 < x1 && y0 < y1) {
      auto R = [z](int n) { return static_cast<int>(std::floor(n * z + 0.5)); };
      const int saved = SaveDC(g_memDC);
      IntersectClipRect(g_memDC, g.offX, g.offY, g.offX + g.visW, g.offY + g.visH);
      SetStretchBltMode(g_memDC, COLORONCOLOR);
      StretchBlt(g_memDC, g.offX + R(x0) - g_panX, g.offY + R(y0) - g_panY, R(x1) - R(x0),
                 R(y1) - R(y0), source, x0, y0, x1 - x0, y1 - y0, SRCCOPY);
      RestoreDC(g_memDC, saved);
    }
  }
}

kit::StringFormat CenteredFormat() {
  GpStringFormat* f = nullptr;
  if (GdipCreateStringFormat(0, LANG_NEUTRAL, &f) != Ok) return kit::StringFormat();
  GdipSetStringFormatAlign(f, StringAlignmentCenter);
  return kit::StringFormat(f);
}

void DrawLabel(GpGraphics* g, const wchar_t* text, const kit::Font& font, float x, float y, float w,
               float h, ARGB colour, GpStringFormat* format) {
  if (!font) return;
  kit::Brush brush = kit::SolidBrush(colour);
  const RectF rect(x, y, w, h);
  GdipDrawString(g, text, -1, font.get(), &rect, format, brush.get());
}

void DrawEmptyState() {
  kit::Graphics g = kit::MakeGraphics(g_memDC, g_dpi);
  if (!g) return;
  const float s = static_cast<float>(g_dpi) / 96.0f;
  const float LW = g_memW / s;
  const float AH = (g_memH - FooterHeight()) / s;
  const float cx = LW / 2, cy = AH / 2;
  const float L = cx - 66, T = cy - 98;

  // The mountains, cut off by the inside of the frame.
  GpPath* clip = nullptr;
  if (GdipCreatePath(FillModeAlternate, &clip) == Ok) {
    kit::Path owner(clip);
    kit::AddRoundRect(clip, L + 3, T + 3, 126, 98, 11);
    GdipSetClipPath(g.get(), clip, CombineModeReplace);
    const PointF peaks[] = {
        {L + 8, T + 104}, {L + 42, T + 56}, {L + 62, T + 74}, {L + 86, T + 42}, {L + 124, T + 104}};
    kit::Brush fill = kit::SolidBrush((COL_ACCENT & 0x00FFFFFF) | 0x96000000);
    GdipFillPolygon(g.get(), fill.get(), peaks, 5, FillModeAlternate);
    GdipResetClip(g.get());
  }
  kit::Brush sun = kit::SolidBrush(COL_ICE);
  GdipFillEllipse(g.get(), sun.get(), L + 30, T + 22, 20, 20);
  GpPath* frame = nullptr;
  GpPen* pen = nullptr;
  if (GdipCreatePath(FillModeAlternate, &frame) == Ok) {
    kit::Path owner(frame);
    kit::AddRoundRect(frame, L, T, 132, 104, 14);
    if (GdipCreatePen1(COL_ACCENT, 5, UnitWorld, &pen) == Ok) {
      kit::Pen penOwner(pen);
      GdipSetPenLineJoin(pen, LineJoinRound);
      GdipDrawPath(g.get(), pen, frame);
    }
  }
  kit::StringFormat centred = CenteredFormat();
  kit::Font title = kit::MakeFont(22, FontStyleBold);
  DrawLabel(g.get(), kAppName, title, 0, cy + 34, LW, 32, COL_ICE, centred.get());
  kit::Font body = kit::MakeFont(13, FontStyleRegular);
  const bool failed = g_errorText[0] != 0;
  DrawLabel(g.get(), failed ? g_errorText : kHint, body, 16, cy + 70, LW - 32, 60,
            failed ? COL_WARN : COL_MUTED, centred.get());
}

void DrawFooter() {
  g_linkRect = RECT{};
  if (g_fullscreen) return;
  const int f = kit::Px(kFooterUnits, g_dpi);
  if (f <= 0 || !g_memDC) return;
  FillRectColour(g_memDC, 0, g_memH - f, g_memW, g_memH, kFooterBand);
  kit::Graphics g = kit::MakeGraphics(g_memDC, g_dpi);
  if (!g) return;
  GdipSetSmoothingMode(g.get(), SmoothingModeDefault);
  const float s = static_cast<float>(g_dpi) / 96.0f;
  kit::Font regular = kit::MakeFont(12, FontStyleRegular);
  kit::Font underlined = kit::MakeFont(12, FontStyleUnderline);
  if (!regular || !underlined) return;
  GpStringFormat* generic = nullptr;
  GpStringFormat* cloned = nullptr;
  GdipStringFormatGetGenericTypographic(&generic);
  if (!generic || GdipCloneStringFormat(generic, &cloned) != Ok) return;
  kit::StringFormat format(cloned);
  INT flags = 0;
  GdipGetStringFormatFlags(cloned, &flags);
  GdipSetStringFormatFlags(cloned, flags | StringFormatFlagsMeasureTrailingSpaces);

  const wchar_t* parts[3] = {kFooterLead, kFooterLink, kFooterTail};
  const kit::Font* fonts[3] = {&regular, &underlined, &regular};
  float widths[3] = {};
  for (int i = 0; i < 3; ++i) {
    const RectF layout(0, 0, 10000, 100);
    RectF bound;
    GdipMeasureString(g.get(), parts[i], -1, fonts[i]->get(), &layout, cloned, &bound, nullptr,
                      nullptr);
    widths[i] = bound.Width;
  }
  const float LW = g_memW / s;
  float t = widths[0] + widths[1] + widths[2];
  const bool onlyLink = t > LW - 8;
  if (onlyLink) t = widths[1];
  float x = (LW - t) / 2;
  const float y = (g_memH - f) / s + 4;
  for (int i = 0; i < 3; ++i) {
    if (onlyLink && i != 1) continue;
    DrawLabel(g.get(), parts[i], *fonts[i], x, y, widths[i] + 1, 20,
              i == 1 ? COL_ACCENT : COL_MUTED, cloned);
    if (i == 1) {
      g_linkRect = RECT{static_cast<int>(s * x) - 3, g_memH - f,
                        static_cast<int>((x + widths[1]) * s) + 3, g_memH};
    }
    x += widths[i];
  }
}

void Paint(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT rc;
  GetClientRect(hwnd, &rc);
  const int cw = rc.right - rc.left, ch = rc.bottom - rc.top;
  if (g_frameDirty || cw != g_memW || ch != g_memH) {
    if (cw > 0 && ch > 0 && (!g_memBmp || cw != g_memW || ch != g_memH)) {
      HDC window = GetDC(hwnd);
      if (!g_memDC) g_memDC = CreateCompatibleDC(window);
      if (g_memDC) {
        if (g_memBmp) {
          SelectObject(g_memDC, g_memOldBmp);
          DeleteObject(g_memBmp);
          g_memBmp = nullptr;
        }
        g_memBmp = CreateCompatibleBitmap(window, cw, ch);
        if (g_memBmp) {
          g_memOldBmp = SelectObject(g_memDC, g_memBmp);
          g_memW = cw;
          g_memH = ch;
        } else {
          g_memW = g_memH = 0;
        }
      }
      ReleaseDC(hwnd, window);
    }
    if (g_memDC && g_memBmp) {
      FillRectColour(g_memDC, 0, 0, g_memW, g_memH, kBackground);
      if (g_pic) {
        DrawPicture(hwnd);
      } else {
        DrawEmptyState();
      }
      DrawFooter();
    }
    g_frameDirty = false;
  }
  if (g_memDC && g_memBmp) BitBlt(dc, 0, 0, g_memW, g_memH, g_memDC, 0, 0, SRCCOPY);
  EndPaint(hwnd, &ps);
}

// --- commands ------------------------------------------------------------------

void ToggleFullscreen(HWND hwnd) {
  if (!g_fullscreen) {
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &mi);
    g_savedStyle = GetWindowLongW(hwnd, GWL_STYLE);
    GetWindowRect(hwnd, &g_savedRect);
    g_fullscreen = true;
    SetWindowLongW(hwnd, GWL_STYLE, static_cast<LONG>(WS_POPUP | WS_VISIBLE));
    SetMenu(hwnd, nullptr);
    const RECT& m = mi.rcMonitor;
    SetWindowPos(hwnd, HWND_TOP, m.left, m.top, m.right - m.left, m.bottom - m.top,
                 SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
  } else {
    g_fullscreen = false;
    SetWindowLongW(hwnd, GWL_STYLE, g_savedStyle | WS_VISIBLE);
    SetMenu(hwnd, g_menu);
    const RECT& r = g_savedRect;
    SetWindowPos(hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_FRAMECHANGED);
  }
  g_panX = g_panY = 0;
  Layout(hwnd);
  UpdateTitle(hwnd);
}

// The registered clipboard format other Windows programs read pictures with
// transparency from.
UINT PngFormat() {
  static const UINT format = RegisterClipboardFormatW(L"PNG");
  return format;
}

// The file a delayed "PNG" on the clipboard is made from, when asked for:
// the still picture copied last, while the file is as it was opened.
std::wstring g_clipSource;
FileStamp g_clipStamp;

// A moveable global copy of the bytes, or null.
HGLOBAL GlobalCopy(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return nullptr;
  HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  if (!mem) return nullptr;
  void* p = GlobalLock(mem);
  if (!p) {
    GlobalFree(mem);
    return nullptr;
  }
  std::memcpy(p, bytes.data(), bytes.size());
  GlobalUnlock(mem);
  return mem;
}

// WM_RENDERFORMAT: the clipboard is already open for whoever asked.
void RenderPng() {
  if (g_clipSource.empty() || !(StampOf(g_clipSource) == g_clipStamp)) return;
  HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  std::vector<std::uint8_t> png;
  const bool made = picture_file_png(g_clipSource.c_str(), &png);
  SetCursor(previous);
  if (!made) return;
  HGLOBAL mem = GlobalCopy(png);
  if (mem && !SetClipboardData(PngFormat(), mem)) GlobalFree(mem);
}

// WM_RENDERALLFORMATS, as the window goes while it owns the clipboard.
void RenderAllFormats(HWND hwnd) {
  if (!OpenClipboard(hwnd)) return;
  if (GetClipboardOwner() == hwnd) RenderPng();
  CloseClipboard();
}

// Another program may hold the clipboard for a moment (clipboard managers,
// remote desktop sharing): opening it is tried for about half a second.
bool OpenClipboardPatiently(HWND hwnd) {
  for (int attempt = 0; attempt < 25; ++attempt) {
    if (OpenClipboard(hwnd)) return true;
    Sleep(20);
  }
  return false;
}

void CopyToClipboard(HWND hwnd) {
  EnsureWhole(hwnd);
  const std::uint8_t* bits = g_pic ? picture_bits(g_pic) : nullptr;
  if (!bits) return;
  const int width = picture_pixel_width(g_pic), height = picture_pixel_height(g_pic);
  const SIZE_T row = static_cast<SIZE_T>(width) * 4;
  const SIZE_T bytes = 40 + row * static_cast<SIZE_T>(height);
  HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (!mem) {
    MessageBeep(MB_ICONWARNING);
    return;
  }
  auto* p = static_cast<std::uint8_t*>(GlobalLock(mem));
  if (!p) {
    GlobalFree(mem);
    MessageBeep(MB_ICONWARNING);
    return;
  }
  BITMAPINFOHEADER h{};
  h.biSize = 40;
  h.biWidth = width;
  h.biHeight = height;  // positive: bottom-up rows
  h.biPlanes = 1;
  h.biBitCount = 32;
  h.biCompression = BI_RGB;
  std::memcpy(p, &h, sizeof h);
  for (int y = 0; y < height; ++y) {
    std::memcpy(p + 40 + row * static_cast<SIZE_T>(y),
                bits + row * static_cast<SIZE_T>(height - 1 - y), row);
  }
  GlobalUnlock(mem);
  if (!OpenClipboardPatiently(hwnd)) {
    GlobalFree(mem);
    MessageBeep(MB_ICONWARNING);
    return;
  }
  EmptyClipboard();
  const bool put = SetClipboardData(CF_DIB, mem) != nullptr;
  if (!put) GlobalFree(mem);
  // A still picture is also offered as PNG with its transparency, made from
  // the file only when a program asks for it. An animation's frame on display
  // is in the DIB alone.
  const bool unchanged = g_openedStamp.known && StampOf(g_currentFile) == g_openedStamp;
  if (put && unchanged && !picture_animated(g_pic) && PngFormat()) {
    g_clipSource = g_currentFile;
    g_clipStamp = g_openedStamp;
    SetClipboardData(PngFormat(), nullptr);
  }
  CloseClipboard();
  if (!put) MessageBeep(MB_ICONWARNING);
}

// The Save as types, index 1 to 5.
const COMDLG_FILTERSPEC kTypes[] = {{L"PNG image", L"*.png"},
                                    {L"JPEG image", L"*.jpg;*.jpeg"},
                                    {L"Bitmap", L"*.bmp"},
                                    {L"TIFF image", L"*.tif;*.tiff"},
                                    {L"GIF image", L"*.gif"}};
const wchar_t* const kExts[] = {nullptr, L"png", L"jpg", L"bmp", L"tif", L"gif"};

struct TaskMemTraits {
  using Type = wchar_t*;
  static wchar_t* Invalid() { return nullptr; }
  static void Release(wchar_t* p) { CoTaskMemFree(p); }
};

void SaveAs(HWND hwnd, int type) {
  if (!g_pic) return;
  EnsureWhole(hwnd);
  IFileSaveDialog* raw = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FileSaveDialog, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IFileSaveDialog, reinterpret_cast<void**>(&raw)))) {
    return;
  }
  Com<IFileSaveDialog> dialog(raw);
  dialog.get()->SetFileTypes(5, kTypes);
  const std::wstring current = g_currentFile;
  UINT index = 1;
  if (type >= 1 && type <= 5) {
    index = static_cast<UINT>(type);
  } else if (_wcsicmp(platform::ExtensionPart(current).c_str(), L".png") == 0) {
    index = 2;  // a PNG is offered as JPEG, everything else as PNG
  }
  dialog.get()->SetFileTypeIndex(index);
  dialog.get()->SetDefaultExtension(kExts[index]);
  dialog.get()->SetTitle(L"Save as");
  std::wstring stem = platform::FileNamePart(current);
  const std::wstring ext = platform::ExtensionPart(current);
  stem.resize(stem.size() - ext.size());
  dialog.get()->SetFileName(stem.c_str());
  const std::wstring folder = platform::FolderPart(current);
  if (!folder.empty()) {
    IShellItem* item = nullptr;
    if (SUCCEEDED(SHCreateItemFromParsingName(folder.c_str(), nullptr, IID_IShellItem,
                                              reinterpret_cast<void**>(&item)))) {
      Com<IShellItem> owner(item);
      dialog.get()->SetFolder(item);
    }
  }
  g_lightPopups = true;
  const HRESULT shown = dialog.get()->Show(hwnd);
  g_lightPopups = false;
  std::wstring path;
  bool appended = false;
  if (SUCCEEDED(shown)) {
    IShellItem* item = nullptr;
    if (SUCCEEDED(dialog.get()->GetResult(&item))) {
      Com<IShellItem> result(item);
      wchar_t* name = nullptr;
      if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &name))) {
        Owned<TaskMemTraits> owned(name);
        path = name;
      }
    }
    if (!path.empty() && !picture_can_write(path.c_str())) {
      UINT chosen = index;
      dialog.get()->GetFileTypeIndex(&chosen);
      if (chosen < 1 || chosen > 5) chosen = 1;
      path += L".";
      path += kExts[chosen];
      appended = true;
    }
  }
  dialog.reset();
  if (path.empty()) return;
  // The dialog asked about replacing the name it was given, not the one with
  // the extension added here.
  if (appended && platform::FileExists(path)) {
    const std::wstring question =
        platform::FormatMessageText(L"\u201C%ls\u201D already exists. Do you want to replace it?",
                                    platform::FileNamePart(path));
    g_lightPopups = true;
    const int answer = MessageBoxW(hwnd, question.c_str(), kAppName, MB_YESNO | MB_ICONWARNING);
    g_lightPopups = false;
    if (answer != IDYES) return;
  }
  HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  wchar_t err[256] = L"";
  // A file replaced since it was opened is not decoded again: the picture on
  // screen is what is saved.
  const bool unchanged = g_openedStamp.known && StampOf(g_currentFile) == g_openedStamp;
  const bool saved =
      picture_save(g_pic, unchanged ? g_currentFile.c_str() : nullptr, path.c_str(), err, 256);
  SetCursor(previous);
  if (!saved) {
    g_lightPopups = true;
    MessageBoxW(hwnd, err, kAppName, MB_ICONWARNING);
    g_lightPopups = false;
  }
}

void OnCommand(HWND hwnd, int id) {
  switch (id) {
    case 1001:
      OpenFileDialog(hwnd);
      break;
    case 1002:
      SaveAs(hwnd, 0);
      break;
    case 1003:
    case 1004:
    case 1005:
    case 1006:
    case 1007:
      SaveAs(hwnd, id - 1002);
      break;
    case 1009:
      CopyToClipboard(hwnd);
      break;
    case 1010:
      DeleteCurrent(hwnd);
      break;
    case 1011:
      PostMessageW(hwnd, WM_CLOSE, 0, 0);
      break;
    case 1012:
      ZoomStep(hwnd, 1, nullptr);
      break;
    case 1013:
      ZoomStep(hwnd, -1, nullptr);
      break;
    case 1014:
      if (g_pic) SetZoom(hwnd, 1.0, false, nullptr);
      break;
    case 1015:
      if (g_pic) SetZoom(hwnd, 1.0, true, nullptr);
      break;
    case 1016:
      ToggleFullscreen(hwnd);
      break;
    case 1017:
      settings_show(hwnd);
      break;
    case 1008:
      if (g_haveFile && !g_fullscreen) {
        // The window works on a copy: opening the file again replaces the
        // current path.
        const std::wstring path = g_currentFile;
        EnsureWhole(hwnd);
        if (metadata_show(hwnd, path.c_str())) TryOpen(hwnd, path);
      }
      break;
    default:
      break;
  }
}

void OnKey(HWND hwnd, WPARAM key) {
  const bool ctrl = GetKeyState(VK_CONTROL) < 0;
  switch (key) {
    case VK_RIGHT:
    case VK_SPACE:
    case VK_NEXT:
      OpenSibling(hwnd, 1);
      break;
    case VK_LEFT:
    case VK_BACK:
    case VK_PRIOR:
      OpenSibling(hwnd, -1);
      break;
    case VK_HOME:
      OpenSibling(hwnd, 2);
      break;
    case VK_END:
      OpenSibling(hwnd, 3);
      break;
    case VK_DELETE:
      DeleteCurrent(hwnd);
      break;
    case 'I':
      OnCommand(hwnd, 1008);
      break;
    case '0':
    case VK_NUMPAD0:
      OnCommand(hwnd, 1015);
      break;
    case '1':
    case VK_NUMPAD1:
      OnCommand(hwnd, 1014);
      break;
    case VK_ADD:
    case VK_OEM_PLUS:
      ZoomStep(hwnd, 1, nullptr);
      break;
    case VK_SUBTRACT:
    case VK_OEM_MINUS:
      ZoomStep(hwnd, -1, nullptr);
      break;
    case VK_F11:
      ToggleFullscreen(hwnd);
      break;
    case VK_ESCAPE:
      if (g_fullscreen) {
        ToggleFullscreen(hwnd);
      } else {
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
      }
      break;
    case 'C':
      if (ctrl) CopyToClipboard(hwnd);
      break;
    case 'O':
      if (ctrl) OpenFileDialog(hwnd);
      break;
    case 'S':
      if (ctrl) SaveAs(hwnd, 0);
      break;
    default:
      break;
  }
}

void OnCreate(HWND hwnd) {
  g_dpi = GetDpiForWindow(hwnd);
  if (g_dpi == 0) g_dpi = 96;
  DragAcceptFiles(hwnd, TRUE);
  if (HMODULE ux = LoadLibraryW(L"uxtheme.dll")) {
    using AllowDark = int(WINAPI*)(int);
    auto fn = reinterpret_cast<AllowDark>(
        reinterpret_cast<void*>(GetProcAddress(ux, MAKEINTRESOURCEA(135))));
    if (fn) fn(1);
  }
  InstallPopupHook();
  kit::ApplyDarkTitleBar(hwnd);
  g_menu = BuildMenu(g_dpi);
  SetMenu(hwnd, g_menu);
  // Neighbours take at most a quarter of physical memory.
  MEMORYSTATUSEX ms{};
  ms.dwLength = sizeof ms;
  const std::uint64_t physical = GlobalMemoryStatusEx(&ms) ? ms.ullTotalPhys : 0;
  g_prefetch = std::make_unique<Prefetcher>(PrefetchBudget(physical), [hwnd](Decoded* d) {
    return PostMessageW(hwnd, kMsgDecoded, 0, reinterpret_cast<LPARAM>(d)) != FALSE;
  });
}

void OnDestroy(HWND hwnd) {
  KillTimer(hwnd, kAnimTimer);
  // The worker ends (a decode in progress is stopped where its codec allows,
  // then freed); records it posted and nobody took are freed here.
  if (g_prefetch) g_prefetch->Stop();
  MSG m;
  while (PeekMessageW(&m, hwnd, kMsgDecoded, kMsgDecoded, PM_REMOVE)) {
    delete reinterpret_cast<Decoded*>(m.lParam);
  }
  g_prefetch.reset();
  ReleasePicture();
  if (g_viewDC) DeleteDC(g_viewDC);
  g_viewDC = nullptr;
  if (g_memDC) {
    SelectObject(g_memDC, g_memOldBmp);
    if (g_memBmp) DeleteObject(g_memBmp);
    DeleteDC(g_memDC);
  }
  g_memDC = nullptr;
  g_memBmp = nullptr;
  g_memW = g_memH = 0;
  if (g_fullscreen && g_menu) DestroyMenu(g_menu);
  g_menu = nullptr;
  ReleaseMenuResources();
  PostQuitMessage(0);
}

void EnableItems(HMENU popup) {
  auto set = [popup](UINT id, bool on) {
    EnableMenuItem(popup, id, MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED));
  };
  const bool picture = g_pic != nullptr;
  const bool file = g_haveFile;
  for (UINT id : {1009u, 1012u, 1013u, 1014u, 1015u}) set(id, picture);
  for (UINT id : {1008u, 1010u}) set(id, file);
  // The "Save as" submenu is the second item of the File popup.
  if (GetSubMenu(popup, 1) && GetMenuItemID(popup, 0) == 1001) {
    EnableMenuItem(popup, 1, MF_BYPOSITION | (picture ? MF_ENABLED : MF_GRAYED));
  }
}

void OnTimer(HWND hwnd) {
  if (g_pic && picture_advance(g_pic)) {
    g_viewStale = true;
    if (!IsIconic(hwnd)) {
      g_frameDirty = true;
      InvalidateRect(hwnd, nullptr, FALSE);
    }
    SetTimer(hwnd, kAnimTimer, picture_delay_ms(g_pic), nullptr);
  } else {
    KillTimer(hwnd, kAnimTimer);
  }
}

POINT LParamPoint(LPARAM lp) {
  return POINT{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  LRESULT menuResult = 0;
  if (MenuMessage(hwnd, msg, wp, lp, g_dpi, &menuResult)) return menuResult;
  switch (msg) {
    case WM_INITMENUPOPUP:
      EnableItems(reinterpret_cast<HMENU>(wp));
      return 0;
    case WM_CREATE:
      OnCreate(hwnd);
      return 0;
    case WM_DESTROY:
      OnDestroy(hwnd);
      return 0;
    case WM_SIZE:
      g_frameDirty = true;
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_PAINT:
      Paint(hwnd);
      return 0;
    case kMsgDecoded:
      OnDecoded(hwnd, reinterpret_cast<Decoded*>(lp));
      return 0;
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_SETCURSOR:
      if (LOWORD(lp) == HTCLIENT) {
        POINT p;
        GetCursorPos(&p);
        ScreenToClient(hwnd, &p);
        if (PtInRect(&g_linkRect, p)) {
          SetCursor(LoadCursorW(nullptr, IDC_HAND));
          return TRUE;
        }
        if (CanPanNow(hwnd)) {
          SetCursor(LoadCursorW(nullptr, IDC_SIZEALL));
          return TRUE;
        }
      }
      break;
    case WM_KEYDOWN:
      OnKey(hwnd, wp);
      return 0;
    case WM_COMMAND:
      OnCommand(hwnd, LOWORD(wp));
      return 0;
    case WM_RENDERFORMAT:
      if (static_cast<UINT>(wp) == PngFormat()) RenderPng();
      return 0;
    case WM_RENDERALLFORMATS:
      RenderAllFormats(hwnd);
      return 0;
    case WM_DESTROYCLIPBOARD:
      g_clipSource.clear();
      return 0;
    case WM_TIMER:
      if (wp == kAnimTimer) {
        OnTimer(hwnd);
        return 0;
      }
      break;
    case WM_MOUSEMOVE:
      if (g_dragging) {
        const POINT p = LParamPoint(lp);
        g_panX = g_dragPanX - (p.x - g_dragFrom.x);
        g_panY = g_dragPanY - (p.y - g_dragFrom.y);
        g_frameDirty = true;
        InvalidateRect(hwnd, nullptr, FALSE);
      }
      return 0;
    case WM_LBUTTONDOWN: {
      const POINT p = LParamPoint(lp);
      if (PtInRect(&g_linkRect, p)) {
        ShellExecuteW(hwnd, L"open", kMakerPage, nullptr, nullptr, SW_SHOWNORMAL);
      } else if (CanPanNow(hwnd)) {
        g_dragFrom = p;
        g_dragPanX = g_panX;
        g_dragPanY = g_panY;
        g_dragging = true;
        SetCapture(hwnd);
      }
      return 0;
    }
    case WM_LBUTTONUP:
      if (g_dragging) {
        g_dragging = false;
        ReleaseCapture();
      }
      return 0;
    case WM_LBUTTONDBLCLK: {
      const POINT p = LParamPoint(lp);
      if (!PtInRect(&g_linkRect, p)) ToggleFullscreen(hwnd);
      return 0;
    }
    case WM_CAPTURECHANGED:
      g_dragging = false;
      return 0;
    case WM_MOUSEWHEEL: {
      const int step = WheelStep(GET_WHEEL_DELTA_WPARAM(wp), &g_wheelAcc);
      if (step == 0) return 0;
      if (GET_KEYSTATE_WPARAM(wp) & MK_CONTROL) {
        const POINT screen = LParamPoint(lp);
        ZoomStep(hwnd, step > 0 ? 1 : -1, &screen);
      } else {
        // Rolling towards the user moves forward through the folder.
        OpenSibling(hwnd, step > 0 ? -1 : 1);
      }
      return 0;
    }
    case WM_DROPFILES: {
      HDROP drop = reinterpret_cast<HDROP>(wp);
      wchar_t path[MAX_PATH] = L"";
      DragQueryFileW(drop, 0, path, MAX_PATH);
      if (path[0]) TryOpen(hwnd, path);
      DragFinish(drop);
      SetForegroundWindow(hwnd);
      return 0;
    }
    case WM_DPICHANGED: {
      g_dpi = HIWORD(wp);
      HMENU old = g_menu;
      g_menu = BuildMenu(g_dpi);
      if (!g_fullscreen) {
        SetMenu(hwnd, g_menu);
        const RECT* r = reinterpret_cast<const RECT*>(lp);
        SetWindowPos(hwnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      }
      if (old) DestroyMenu(old);
      Layout(hwnd);
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// COM for the thread, undone only when it was set up here.
class ComApartment {
 public:
  ComApartment()
      : ok_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {
  }
  ~ComApartment() {
    if (ok_) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool ok_;
};

struct ArgvTraits {
  using Type = LPWSTR*;
  static LPWSTR* Invalid() { return nullptr; }
  static void Release(LPWSTR* p) { LocalFree(p); }
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show) {
  ComApartment com;
  kit::GdiplusSession gdiplus;
  if (!gdiplus.ok()) return 1;
  if (!decode_init()) {
    MessageBoxW(nullptr, L"The Windows Imaging Component could not be started.", kAppName,
                MB_ICONERROR);
    return 1;
  }
  // A copy that was moved takes over registrations whose program is gone.
  assoc_heal_if_moved();

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hIcon = static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(101), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
  if (!wc.hIcon) wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(101), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  if (!wc.hIconSm) wc.hIconSm = wc.hIcon;
  wc.lpszClassName = kClassName;
  HWND hwnd = nullptr;
  if (RegisterClassExW(&wc)) {
    hwnd = CreateWindowExW(WS_EX_ACCEPTFILES, kClassName, kAppName,
                           WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT,
                           1024, 1024, nullptr, nullptr, instance, nullptr);
  }
  if (!hwnd) {
    decode_shutdown();
    return 1;
  }

  int argc = 0;
  Owned<ArgvTraits> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
  if (argv && argc >= 2 && argv.get()[1][0] != 0) {
    TryOpen(hwnd, argv.get()[1]);
  } else {
    Layout(hwnd);
  }
  argv.reset();
  ShowWindow(hwnd, show);
  UpdateWindow(hwnd);

  MSG msg{};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  decode_shutdown();
  return static_cast<int>(msg.wParam);
}
