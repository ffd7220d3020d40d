// The settings window: one check box per file type for the "Open with"
// registration, the recorded program path, and the buttons to select all,
// none, or take the registrations over for this copy. Every click goes to the
// registry at once; the shell is told once, when the window closes.
#include "ui/settings.h"

#include <shlwapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "assoc/assoc.h"
#include "ui/kit.h"

namespace {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;
using namespace kit::tool_palette;

constexpr ARGB COL_WHITE = 0xFFFFFFFF;
constexpr ARGB kPathColour = 0xFF5C687A;
constexpr ARGB kOtherCopyColour = 0xFFE0B060;

constexpr int kSelectAll = 1000, kSelectNone = 1001, kUseThisCopy = 1002, kClose = 1003;

const wchar_t kClassName[] = L"NorvaneSettingsWnd";
const wchar_t kRefused[] =
    L"Windows refused the change to the registry, so that file type was not updated.";

HWND g_wnd = nullptr;
HWND g_owner = nullptr;
UINT g_dpi = 96;
int g_hot = -1;
int g_focus = -1;
bool g_kbd = false;
bool g_mismatch = false;
bool g_dirty = false;
bool g_classRegistered = false;
kit::BackBuffer g_buf;

int Rows() { return (g_assocTypeCount + 1) / 2; }
int R() { return 34 * Rows(); }

RECT CellRect(int i) {
  const int column = i / Rows(), line = i % Rows();
  return RECT{16 + 234 * column, 114 + 34 * line, 250 + 234 * column, 148 + 34 * line};
}

RECT BtnRect(int id) {
  const int top = 228 + R(), bottom = 262 + R();
  switch (id) {
    case kSelectAll:
      return RECT{26, top, 112, bottom};
    case kSelectNone:
      return RECT{120, top, 216, bottom};
    case kUseThisCopy:
      return RECT{224, top, 340, bottom};
    default:
      return RECT{378, top, 474, bottom};
  }
}

RectF ToRectF(const RECT& r) {
  return RectF(static_cast<float>(r.left), static_cast<float>(r.top),
               static_cast<float>(r.right - r.left), static_cast<float>(r.bottom - r.top));
}

int ClientW() { return kit::CeilPx(500, g_dpi); }
int ClientH() { return kit::CeilPx(static_cast<float>(286 + R()), g_dpi); }

// The focus ring: the types, then the buttons shown.
std::vector<int> FocusRing() {
  std::vector<int> ring;
  for (int i = 0; i < g_assocTypeCount; ++i) ring.push_back(i);
  ring.push_back(kSelectAll);
  ring.push_back(kSelectNone);
  if (g_mismatch) ring.push_back(kUseThisCopy);
  ring.push_back(kClose);
  return ring;
}

void DrawAt(GpGraphics* g, const wchar_t* text, const kit::Font& font, float x, float y,
            ARGB colour) {
  if (!font) return;
  kit::Brush brush = kit::SolidBrush(colour);
  const RectF at(x, y, 0, 0);
  GdipDrawString(g, text, -1, font.get(), &at, nullptr, brush.get());
}

void Render() {
  g_mismatch = !assoc_points_here();
  if (!g_mismatch && g_focus == kUseThisCopy) g_focus = kClose;
  if (!g_buf.dc) return;
  kit::Graphics g = kit::MakeGraphics(g_buf.dc, g_dpi);
  if (!g) return;
  GpGraphics* gr = g.get();
  const float r = static_cast<float>(R());
  {
    kit::Brush panel = kit::SolidBrush(COL_PANEL);
    GdipFillRectangle(gr, panel.get(), 0, 0, 502, 288 + r);
  }
  kit::Font title = kit::MakeFont(19, FontStyleBold);
  kit::Font body = kit::MakeFont(12, FontStyleRegular);
  kit::Font ext = kit::MakeFont(13.5f, FontStyleBold);
  kit::Font small = kit::MakeFont(11.5f, FontStyleRegular);
  kit::Font button = kit::MakeFont(12.5f, FontStyleRegular);
  DrawAt(gr, L"File associations", title, 26, 22, COL_ICE);
  DrawAt(gr, L"Ticked types list Norvane in Windows' Open with menu.", body, 26, 56, COL_MUTED);
  DrawAt(gr, L"Changes apply immediately, for this user account only.", body, 26, 75, COL_MUTED);
  kit::Line(gr, 26, 102, 474, 102, COL_RULE);
  kit::Line(gr, 26, 124 + r, 474, 124 + r, COL_RULE);

  for (int i = 0; i < g_assocTypeCount; ++i) {
    const RECT cell = CellRect(i);
    const float x = static_cast<float>(cell.left + 10), b = static_cast<float>(cell.top + 8);
    const bool hot = g_hot == i;
    if (hot) {
      kit::FillRound(gr, static_cast<float>(cell.left), static_cast<float>(cell.top), 234, 34, 6,
                     COL_ROWHOT);
    }
    if (assoc_is_registered(g_assocTypes[i].ext)) {
      kit::FillRound(gr, x, b, 18, 18, 4, hot ? COL_ACCHOT : COL_ACCENT);
      GpPen* pen = nullptr;
      if (GdipCreatePen1(COL_WHITE, 2.2f, UnitWorld, &pen) == Ok) {
        kit::Pen owner(pen);
        GdipSetPenStartCap(pen, LineCapRound);
        GdipSetPenEndCap(pen, LineCapRound);
        GdipSetPenLineJoin(pen, LineJoinRound);
        const PointF tick[] = {{x + 4.5f, b + 9.5f}, {x + 7.6f, b + 12.8f}, {x + 13.5f, b + 5.4f}};
        GdipDrawLines(gr, pen, tick, 3);
      }
    } else {
      kit::StrokeRound(gr, x, b, 18, 18, 4, hot ? COL_ACCENT : COL_MUTED, 1.6f);
    }
    DrawAt(gr, g_assocTypes[i].ext, ext, x + 32, b, COL_TEXT);
    DrawAt(gr, g_assocTypes[i].description, body, x + 96, b + 1, COL_MUTED);
    if (g_kbd && g_focus == i) kit::DrawFocusRing(gr, cell, 6, COL_ICE);
  }

  DrawAt(gr, L"Windows does not let an app make itself the default handler.", small, 26, 136 + r,
         COL_MUTED);
  DrawAt(gr, L"To set it: Settings  \u203A  Apps  \u203A  Default apps  \u203A  Norvane.", small,
         26, 154 + r, COL_MUTED);
  DrawAt(gr, L"To remove Norvane: Select none, or uninstall it in Windows Settings.", small, 26,
         172 + r, COL_MUTED);

  wchar_t recorded[MAX_PATH] = L"";
  if (assoc_registered_exe_path(recorded, MAX_PATH)) {
    wchar_t shortPath[54] = L"";
    if (!PathCompactPathExW(shortPath, recorded, 54, 0)) wcsncpy_s(shortPath, recorded, _TRUNCATE);
    std::wstring line = (g_mismatch ? L"Opens with another copy:  " : L"Opens from:  ");
    line += shortPath;
    if (line.size() > 159) line.resize(159);
    DrawAt(gr, line.c_str(), small, 26, 198 + r, g_mismatch ? kOtherCopyColour : kPathColour);
  }

  struct Button {
    int id;
    const wchar_t* label;
    bool accent;
  };
  const Button buttons[] = {{kSelectAll, L"Select all", false},
                            {kSelectNone, L"Select none", false},
                            {kUseThisCopy, L"Use this copy", false},
                            {kClose, L"Close", true}};
  for (const Button& btn : buttons) {
    if (btn.id == kUseThisCopy && !g_mismatch) continue;
    const RECT rc = BtnRect(btn.id);
    kit::DrawButton(gr, ToRectF(rc), btn.label, btn.accent, g_hot == btn.id, button, COL_MUTED,
                    COL_ICE, COL_ROWHOT, COL_ACCENT, COL_ACCHOT);
    if (g_kbd && g_focus == btn.id) {
      if (btn.accent) {
        const RECT grown{rc.left - 3, rc.top - 3, rc.right + 3, rc.bottom + 3};
        kit::DrawFocusRing(gr, grown, 9, COL_ICE);
      } else {
        kit::DrawFocusRing(gr, rc, 7, COL_ICE);
      }
    }
  }
}

void Repaint(HWND hwnd) {
  Render();
  InvalidateRect(hwnd, nullptr, FALSE);
}

int HitFromMouse(LPARAM lp) {
  const POINT p = kit::MouseUnits(lp, g_dpi);
  for (int i = 0; i < g_assocTypeCount; ++i) {
    const RECT r = CellRect(i);
    if (PtInRect(&r, p)) return i;
  }
  for (int id : {kSelectAll, kSelectNone, kUseThisCopy, kClose}) {
    if (id == kUseThisCopy && !g_mismatch) continue;
    const RECT r = BtnRect(id);
    if (PtInRect(&r, p)) return id;
  }
  return -1;
}

void MoveFocus(HWND hwnd, int direction) {
  const std::vector<int> ring = FocusRing();
  const int n = static_cast<int>(ring.size());
  int p = direction > 0 ? -1 : n;
  for (int k = 0; k < n; ++k) {
    if (ring[static_cast<std::size_t>(k)] == g_focus) p = k;
  }
  const int next = ((p + direction) % n + n) % n;
  g_focus = ring[static_cast<std::size_t>(next)];
  g_kbd = true;
  Repaint(hwnd);
}

void Warn(HWND hwnd) { MessageBoxW(hwnd, kRefused, L"Norvane", MB_ICONWARNING); }

void Activate(HWND hwnd, int item) {
  if (item == kClose) {
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return;
  }
  if (item == kSelectAll) {
    bool refused = false;
    for (int i = 0; i < g_assocTypeCount; ++i) {
      if (assoc_is_registered(g_assocTypes[i].ext)) continue;
      if (!assoc_register(g_assocTypes[i].ext)) refused = true;
      g_dirty = true;
    }
    if (refused) Warn(hwnd);
  } else if (item == kSelectNone) {
    for (int i = 0; i < g_assocTypeCount; ++i) {
      if (!assoc_is_registered(g_assocTypes[i].ext)) continue;
      assoc_unregister(g_assocTypes[i].ext);
      g_dirty = true;
    }
  } else if (item == kUseThisCopy) {
    if (!assoc_repoint_here()) Warn(hwnd);
    g_dirty = true;
  } else if (item >= 0 && item < g_assocTypeCount) {
    const wchar_t* ext = g_assocTypes[item].ext;
    if (assoc_is_registered(ext)) {
      assoc_unregister(ext);
    } else if (!assoc_register(ext)) {
      Warn(hwnd);
    }
    g_dirty = true;
  } else {
    return;
  }
  Repaint(hwnd);
}

void OnKey(HWND hwnd, WPARAM key) {
  switch (key) {
    case VK_TAB:
      MoveFocus(hwnd, GetKeyState(VK_SHIFT) < 0 ? -1 : 1);
      break;
    case VK_DOWN:
      MoveFocus(hwnd, 1);
      break;
    case VK_UP:
      MoveFocus(hwnd, -1);
      break;
    case VK_RIGHT:
    case VK_LEFT: {
      const bool right = key == VK_RIGHT;
      if (g_focus >= 0 && g_focus < g_assocTypeCount) {
        const int to = g_focus + (right ? Rows() : -Rows());
        if (to >= 0 && to < g_assocTypeCount) {
          g_focus = to;
          g_kbd = true;
          Repaint(hwnd);
        }
      } else {
        MoveFocus(hwnd, right ? 1 : -1);
      }
      break;
    }
    case VK_SPACE:
      if (g_focus != -1) {
        g_kbd = true;
        Activate(hwnd, g_focus);
      }
      break;
    case VK_RETURN:
      if (g_focus >= 1000) {
        Activate(hwnd, g_focus);
      } else {
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
      }
      break;
    case VK_ESCAPE:
      PostMessageW(hwnd, WM_CLOSE, 0, 0);
      break;
    default:
      break;
  }
}

LRESULT CALLBACK SettingsProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE:
      kit::ApplyDarkTitleBar(hwnd);
      g_buf.Make(hwnd, ClientW(), ClientH());
      Render();
      return 0;
    case WM_DESTROY:
      g_buf.Release();
      g_wnd = nullptr;
      return 0;
    case WM_PAINT:
      g_buf.Paint(hwnd);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_CLOSE:
      EnableWindow(g_owner, TRUE);
      DestroyWindow(hwnd);
      return 0;
    case WM_KEYDOWN:
      OnKey(hwnd, wp);
      return 0;
    case WM_MOUSEMOVE: {
      TRACKMOUSEEVENT tme{};
      tme.cbSize = sizeof tme;
      tme.dwFlags = TME_LEAVE;
      tme.hwndTrack = hwnd;
      TrackMouseEvent(&tme);
      const int h = HitFromMouse(lp);
      if (h != g_hot) {
        g_hot = h;
        Repaint(hwnd);
      }
      return 0;
    }
    case WM_LBUTTONDOWN: {
      const int h = HitFromMouse(lp);
      if (h != -1) {
        g_focus = h;
        g_kbd = false;
        Activate(hwnd, h);
      }
      return 0;
    }
    case WM_MOUSELEAVE:
      if (g_hot != -1) {
        g_hot = -1;
        Repaint(hwnd);
      }
      return 0;
    case WM_DPICHANGED: {
      g_dpi = HIWORD(wp);
      const RECT* r = reinterpret_cast<const RECT*>(lp);
      SetWindowPos(hwnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      g_buf.Make(hwnd, ClientW(), ClientH());
      Repaint(hwnd);
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

void settings_show(HWND owner) {
  if (g_wnd) {
    SetForegroundWindow(g_wnd);
    return;
  }
  if (!kit::RegisterToolClass(kClassName, SettingsProc, owner, &g_classRegistered)) return;
  g_owner = owner;
  g_dpi = GetDpiForWindow(owner);
  if (g_dpi == 0) g_dpi = 96;
  g_hot = -1;
  g_focus = -1;
  g_kbd = false;
  g_dirty = false;
  g_wnd = kit::CreateToolWindow(kClassName, L"Settings", owner, g_dpi, ClientW(), ClientH());
  if (!g_wnd) {
    g_owner = nullptr;
    return;
  }
  kit::RunModal(owner, &g_wnd);
  if (g_dirty) assoc_notify_shell();
  g_owner = nullptr;
}
