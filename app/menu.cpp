// Owner-drawn menus in the program's dark look.
#include "app/menu.h"

#include <uxtheme.h>

#include <cstring>
#include <cwctype>

bool g_lightPopups = false;

namespace {

struct MenuLabel {
  const wchar_t* text;      // null for a separator
  const wchar_t* shortcut;  // drawn right-aligned in a popup
  bool onBar;
  wchar_t mnemonic;  // upper-case access letter
};

const MenuLabel kLblFile = {L"File", nullptr, true, L'F'};
const MenuLabel kLblOpen = {L"Open...", L"Ctrl+O", false, L'O'};
const MenuLabel kLblSaveAs = {L"Save as", L"\u203A", false, L'S'};
const MenuLabel kLblPng = {L"PNG image...", L"Ctrl+S", false, L'P'};
const MenuLabel kLblJpeg = {L"JPEG image...", nullptr, false, L'J'};
const MenuLabel kLblBmp = {L"Bitmap...", nullptr, false, L'B'};
const MenuLabel kLblTiff = {L"TIFF image...", nullptr, false, L'T'};
const MenuLabel kLblGif = {L"GIF image...", nullptr, false, L'G'};
const MenuLabel kLblMeta = {L"Metadata...", L"I", false, L'M'};
const MenuLabel kLblSep = {nullptr, nullptr, false, 0};
const MenuLabel kLblCopy = {L"Copy", L"Ctrl+C", false, L'C'};
const MenuLabel kLblDelete = {L"Delete", L"Del", false, L'D'};
const MenuLabel kLblExit = {L"Exit", L"Esc", false, L'X'};
const MenuLabel kLblView = {L"View", nullptr, true, L'V'};
const MenuLabel kLblZoomIn = {L"Zoom in", L"+", false, L'I'};
const MenuLabel kLblZoomOut = {L"Zoom out", L"-", false, L'O'};
const MenuLabel kLblActual = {L"Actual size", L"1", false, L'A'};
const MenuLabel kLblFit = {L"Fit to screen", L"0", false, L'F'};
const MenuLabel kLblFull = {L"Full screen", L"F11", false, L'S'};
const MenuLabel kLblSet = {L"Settings", nullptr, true, L'S'};
const MenuLabel kLblAssoc = {L"File associations...", nullptr, false, L'F'};

constexpr COLORREF kMenuBack = 0x001C1410;
constexpr COLORREF kHotBack = 0x0042291F;
constexpr COLORREF kText = 0x00F3EDE8;
constexpr COLORREF kHotText = 0x00FAA560;
constexpr COLORREF kShortcut = 0x0096867A;
constexpr COLORREF kDisabled = 0x0062544A;

HFONT g_menuFont = nullptr;
HBRUSH g_menuBrush = nullptr;
HHOOK g_popupHook = nullptr;

int M(int n, UINT dpi) { return MulDiv(n, static_cast<int>(dpi), 96); }

HFONT MenuFont() {
  return g_menuFont ? g_menuFont : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

void Append(HMENU menu, UINT id, const MenuLabel& label) {
  AppendMenuW(menu, MF_OWNERDRAW, id, reinterpret_cast<LPCWSTR>(&label));
}

void AppendSeparator(HMENU menu) {
  MENUITEMINFOW mi{};
  mi.cbSize = sizeof mi;
  mi.fMask = MIIM_FTYPE | MIIM_DATA;
  mi.fType = MFT_SEPARATOR | MFT_OWNERDRAW;
  mi.dwItemData = reinterpret_cast<ULONG_PTR>(&kLblSep);
  InsertMenuItemW(menu, static_cast<UINT>(GetMenuItemCount(menu)), TRUE, &mi);
}

void FillColour(HDC dc, const RECT& r, COLORREF c) {
  HBRUSH b = CreateSolidBrush(c);
  FillRect(dc, &r, b);
  DeleteObject(b);
}

void PaintMenuBottomStrip(HWND hwnd) {
  MENUBARINFO mbi{};
  mbi.cbSize = sizeof mbi;
  if (!GetMenu(hwnd) || !GetMenuBarInfo(hwnd, OBJID_MENU, 0, &mbi)) return;
  RECT wr;
  GetWindowRect(hwnd, &wr);
  HDC dc = GetWindowDC(hwnd);
  if (!dc) return;
  const int y = mbi.rcBar.bottom - wr.top;
  FillColour(dc, RECT{0, y, wr.right - wr.left, y + 2}, kMenuBack);
  ReleaseDC(hwnd, dc);
}

LRESULT CALLBACK PopupCBTProc(int code, WPARAM wp, LPARAM lp) {
  if (code == HCBT_CREATEWND && !g_lightPopups) {
    HWND w = reinterpret_cast<HWND>(wp);
    wchar_t cls[17] = L"";
    GetClassNameW(w, cls, 17);
    if (lstrcmpW(cls, L"#32768") == 0) SetWindowTheme(w, L"DarkMode_Explorer", nullptr);
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}

LRESULT Measure(HWND hwnd, MEASUREITEMSTRUCT* m, UINT dpi) {
  const auto* label = reinterpret_cast<const MenuLabel*>(m->itemData);
  if (!label) return TRUE;
  if (!label->text) {
    m->itemWidth = static_cast<UINT>(M(40, dpi));
    m->itemHeight = static_cast<UINT>(M(9, dpi));
    return TRUE;
  }
  HDC dc = GetDC(hwnd);
  HGDIOBJ old = SelectObject(dc, MenuFont());
  SIZE t{}, s{};
  GetTextExtentPoint32W(dc, label->text, lstrlenW(label->text), &t);
  if (label->shortcut) GetTextExtentPoint32W(dc, label->shortcut, lstrlenW(label->shortcut), &s);
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  if (label->onBar) {
    m->itemWidth = static_cast<UINT>(t.cx + M(14, dpi));
    m->itemHeight = static_cast<UINT>(t.cy + M(4, dpi));
  } else {
    m->itemWidth = static_cast<UINT>(M(16, dpi) + t.cx + M(44, dpi) + s.cx + M(16, dpi));
    m->itemHeight = static_cast<UINT>(t.cy + M(10, dpi));
  }
  return TRUE;
}

LRESULT Draw(const DRAWITEMSTRUCT* d, UINT dpi) {
  const auto* label = reinterpret_cast<const MenuLabel*>(d->itemData);
  if (!label) return TRUE;
  HDC dc = d->hDC;
  RECT r = d->rcItem;
  if (!label->text) {
    FillColour(dc, r, kMenuBack);
    const int y = (r.top + r.bottom) / 2;
    FillColour(dc, RECT{r.left + M(12, dpi), y, r.right - M(12, dpi), y + 1}, kHotBack);
    ExcludeClipRect(dc, r.left, r.top, r.right, r.bottom);
    return TRUE;
  }
  const bool enabled = !(d->itemState & (ODS_GRAYED | ODS_DISABLED));
  const bool hot = enabled && (d->itemState & (ODS_SELECTED | ODS_HOTLIGHT));
  FillColour(dc, r, hot ? kHotBack : kMenuBack);
  SetBkMode(dc, TRANSPARENT);
  HGDIOBJ old = SelectObject(dc, MenuFont());
  SetTextColor(dc, hot ? kHotText : enabled ? kText : kDisabled);
  if (label->onBar) {
    DrawTextW(dc, label->text, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  } else {
    RECT tr = r;
    tr.left += M(16, dpi);
    DrawTextW(dc, label->text, -1, &tr, DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    if (label->shortcut) {
      SetTextColor(dc, hot ? kHotText : enabled ? kShortcut : kDisabled);
      RECT sr = r;
      sr.right -= M(16, dpi);
      DrawTextW(dc, label->shortcut, -1, &sr, DT_RIGHT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
  }
  SelectObject(dc, old);
  // The system draws nothing over a popup item, not even a submenu arrow.
  if (!label->onBar) ExcludeClipRect(dc, r.left, r.top, r.right, r.bottom);
  return TRUE;
}

bool MenuChar(WPARAM wp, LPARAM lp, LRESULT* result) {
  const wchar_t c = static_cast<wchar_t>(std::towupper(LOWORD(wp)));
  HMENU menu = reinterpret_cast<HMENU>(lp);
  const int n = GetMenuItemCount(menu);
  for (int i = 0; i < n; ++i) {
    MENUITEMINFOW mi{};
    mi.cbSize = sizeof mi;
    mi.fMask = MIIM_STATE | MIIM_DATA;
    if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &mi)) continue;
    const auto* label = reinterpret_cast<const MenuLabel*>(mi.dwItemData);
    if (!label || !label->text || (mi.fState & (MFS_GRAYED | MFS_DISABLED))) continue;
    if (label->mnemonic == c) {
      *result = MAKELRESULT(i, MNC_EXECUTE);
      return true;
    }
  }
  return false;
}

}  // namespace

HMENU BuildMenu(UINT dpi) {
  if (g_menuFont) DeleteObject(g_menuFont);
  g_menuFont = nullptr;
  NONCLIENTMETRICSW ncm{};
  ncm.cbSize = sizeof ncm;
  if (SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0, dpi)) {
    g_menuFont = CreateFontIndirectW(&ncm.lfMenuFont);
  }
  HMENU bar = CreateMenu();
  HMENU file = CreatePopupMenu();
  HMENU saveAs = CreatePopupMenu();
  HMENU view = CreatePopupMenu();
  HMENU settings = CreatePopupMenu();
  AppendMenuW(bar, MF_OWNERDRAW | MF_POPUP, reinterpret_cast<UINT_PTR>(file),
              reinterpret_cast<LPCWSTR>(&kLblFile));
  Append(file, 1001, kLblOpen);
  AppendMenuW(file, MF_OWNERDRAW | MF_POPUP, reinterpret_cast<UINT_PTR>(saveAs),
              reinterpret_cast<LPCWSTR>(&kLblSaveAs));
  Append(saveAs, 1003, kLblPng);
  Append(saveAs, 1004, kLblJpeg);
  Append(saveAs, 1005, kLblBmp);
  Append(saveAs, 1006, kLblTiff);
  Append(saveAs, 1007, kLblGif);
  Append(file, 1008, kLblMeta);
  AppendSeparator(file);
  Append(file, 1009, kLblCopy);
  Append(file, 1010, kLblDelete);
  AppendSeparator(file);
  Append(file, 1011, kLblExit);
  AppendMenuW(bar, MF_OWNERDRAW | MF_POPUP, reinterpret_cast<UINT_PTR>(view),
              reinterpret_cast<LPCWSTR>(&kLblView));
  Append(view, 1012, kLblZoomIn);
  Append(view, 1013, kLblZoomOut);
  Append(view, 1014, kLblActual);
  Append(view, 1015, kLblFit);
  AppendSeparator(view);
  Append(view, 1016, kLblFull);
  AppendMenuW(bar, MF_OWNERDRAW | MF_POPUP, reinterpret_cast<UINT_PTR>(settings),
              reinterpret_cast<LPCWSTR>(&kLblSet));
  Append(settings, 1017, kLblAssoc);
  if (!g_menuBrush) g_menuBrush = CreateSolidBrush(kMenuBack);
  MENUINFO info{};
  info.cbSize = sizeof info;
  info.fMask = MIM_BACKGROUND | MIM_APPLYTOSUBMENUS;
  info.hbrBack = g_menuBrush;
  SetMenuInfo(bar, &info);
  return bar;
}

bool MenuMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT dpi, LRESULT* result) {
  switch (msg) {
    case WM_MEASUREITEM: {
      auto* m = reinterpret_cast<MEASUREITEMSTRUCT*>(lp);
      if (m->CtlType != ODT_MENU) return false;
      *result = Measure(hwnd, m, dpi);
      return true;
    }
    case WM_DRAWITEM: {
      const auto* d = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      if (d->CtlType != ODT_MENU) return false;
      *result = Draw(d, dpi);
      return true;
    }
    case WM_MENUCHAR:
      return MenuChar(wp, lp, result);
    case 0x91: {  // the bar background is about to be painted
      struct BarPaint {
        HMENU menu;
        HDC dc;
        DWORD flags;
      };
      const auto* p = reinterpret_cast<const BarPaint*>(lp);
      MENUBARINFO mbi{};
      mbi.cbSize = sizeof mbi;
      if (p && GetMenuBarInfo(hwnd, OBJID_MENU, 0, &mbi)) {
        RECT wr;
        GetWindowRect(hwnd, &wr);
        RECT r = mbi.rcBar;
        OffsetRect(&r, -wr.left, -wr.top);
        FillColour(p->dc, r, kMenuBack);
      }
      PaintMenuBottomStrip(hwnd);
      *result = 0;
      return true;
    }
    case 0x92: {  // a bar item is about to be painted
      const auto* bytes = reinterpret_cast<const unsigned char*>(lp);
      if (bytes) {
        RECT r;
        HDC dc;
        std::memcpy(&r, bytes + 40, sizeof r);
        std::memcpy(&dc, bytes + 72, sizeof dc);
        FillColour(dc, r, kMenuBack);
      }
      *result = 0;
      return true;
    }
    case WM_NCPAINT:
    case WM_NCACTIVATE:
      *result = DefWindowProcW(hwnd, msg, wp, lp);
      PaintMenuBottomStrip(hwnd);
      return true;
    case WM_EXITMENULOOP:
      PaintMenuBottomStrip(hwnd);
      *result = 0;
      return true;
    default:
      return false;
  }
}

void InstallPopupHook() {
  if (!g_popupHook) {
    g_popupHook = SetWindowsHookExW(WH_CBT, PopupCBTProc, nullptr, GetCurrentThreadId());
  }
}

void ReleaseMenuResources() {
  if (g_popupHook) UnhookWindowsHookEx(g_popupHook);
  g_popupHook = nullptr;
  if (g_menuFont) DeleteObject(g_menuFont);
  g_menuFont = nullptr;
  if (g_menuBrush) DeleteObject(g_menuBrush);
  g_menuBrush = nullptr;
}
