// The shared drawing kit.
#include "ui/kit.h"

#include <dwmapi.h>

namespace kit {

GdiplusSession::GdiplusSession() {
  GdiplusStartupInput input;  // version 1, no debug callback, background thread on
  if (GdiplusStartup(&token_, &input, nullptr) != Ok) token_ = 0;
}

GdiplusSession::~GdiplusSession() {
  if (token_) GdiplusShutdown(token_);
}

Graphics MakeGraphics(HDC dc, UINT dpi) {
  GpGraphics* g = nullptr;
  if (GdipCreateFromHDC(dc, &g) != Ok) return Graphics();
  GdipSetSmoothingMode(g, SmoothingModeAntiAlias);
  GdipSetTextRenderingHint(g, TextRenderingHintClearTypeGridFit);
  const float s = static_cast<float>(dpi) / 96.0f;
  GdipScaleWorldTransform(g, s, s, MatrixOrderPrepend);
  return Graphics(g);
}

FontFamily UiFontFamily() {
  // Systems without the usual UI face (older Windows, Wine) still have one
  // of these; the generic family is the last resort. The first that exists
  // is remembered, so later paints look up one name.
  static const wchar_t* const kFamilies[] = {L"Segoe UI", L"Tahoma",      L"Verdana",
                                             L"Arial",    L"DejaVu Sans", L"Liberation Sans"};
  static const wchar_t* found = nullptr;
  if (found) {
    GpFontFamily* f = nullptr;
    if (GdipCreateFontFamilyFromName(found, nullptr, &f) == Ok && f) return FontFamily(f);
  }
  for (const wchar_t* name : kFamilies) {
    GpFontFamily* f = nullptr;
    if (GdipCreateFontFamilyFromName(name, nullptr, &f) == Ok && f) {
      found = name;
      return FontFamily(f);
    }
  }
  GpFontFamily* generic = nullptr;
  if (GdipGetGenericFontFamilySansSerif(&generic) == Ok && generic) {
    // The generic family is owned by GDI+; hand out a clone the caller deletes.
    GpFontFamily* clone = nullptr;
    if (GdipCloneFontFamily(generic, &clone) == Ok) return FontFamily(clone);
  }
  return FontFamily();
}

Font MakeFont(float size, INT style) {
  FontFamily family = UiFontFamily();
  GpFont* font = nullptr;
  if (!family || GdipCreateFont(family.get(), size, style, UnitPixel, &font) != Ok) {
    return Font();
  }
  return Font(font);
}

Brush SolidBrush(ARGB colour) {
  GpSolidFill* b = nullptr;
  if (GdipCreateSolidFill(colour, &b) != Ok) return Brush();
  return Brush(b);
}

void AddRoundRect(GpPath* path, float x, float y, float w, float h, float r) {
  const float d = 2 * r;
  GdipAddPathArc(path, x, y, d, d, 180, 90);
  GdipAddPathArc(path, x + w - d, y, d, d, 270, 90);
  GdipAddPathArc(path, x + w - d, y + h - d, d, d, 0, 90);
  GdipAddPathArc(path, x, y + h - d, d, d, 90, 90);
  GdipClosePathFigure(path);
}

void ApplyDarkTitleBar(HWND hwnd) {
  const DWORD dark = 1, caption = 0x001C1410, text = 0x00F3EDE8, border = 0x0042291F;
  DwmSetWindowAttribute(hwnd, 20, &dark, sizeof dark);
  DwmSetWindowAttribute(hwnd, 35, &caption, sizeof caption);
  DwmSetWindowAttribute(hwnd, 36, &text, sizeof text);
  DwmSetWindowAttribute(hwnd, 34, &border, sizeof border);
}

}  // namespace kit

namespace kit {

POINT MouseUnits(LPARAM lp, UINT dpi) {
  const int x = static_cast<short>(LOWORD(lp)), y = static_cast<short>(HIWORD(lp));
  return POINT{MulDiv(x, 96, static_cast<int>(dpi)), MulDiv(y, 96, static_cast<int>(dpi))};
}

void BackBuffer::Make(HWND hwnd, int width, int height) {
  Release();
  HDC window = GetDC(hwnd);
  if (!window) return;
  dc = CreateCompatibleDC(window);
  if (dc) {
    bmp = CreateCompatibleBitmap(window, width, height);
    if (bmp) {
      oldBmp = SelectObject(dc, bmp);
      w = width;
      h = height;
    } else {
      DeleteDC(dc);
      dc = nullptr;
    }
  }
  ReleaseDC(hwnd, window);
}

void BackBuffer::Release() {
  if (dc) {
    SelectObject(dc, oldBmp);
    if (bmp) DeleteObject(bmp);
    DeleteDC(dc);
  }
  dc = nullptr;
  bmp = nullptr;
  oldBmp = nullptr;
  w = h = 0;
}

void BackBuffer::Paint(HWND hwnd) const {
  PAINTSTRUCT ps;
  HDC target = BeginPaint(hwnd, &ps);
  if (dc) BitBlt(target, 0, 0, w, h, dc, 0, 0, SRCCOPY);
  EndPaint(hwnd, &ps);
}

namespace {

// The label of a button, centred both ways in its rectangle.
void DrawLabel(GpGraphics* g, const RectF& rect, const wchar_t* label, const Font& font,
               ARGB colour) {
  if (!font) return;
  GpStringFormat* f = nullptr;
  if (GdipCreateStringFormat(0, LANG_NEUTRAL, &f) != Ok) return;
  StringFormat format(f);
  GdipSetStringFormatAlign(f, StringAlignmentCenter);
  GdipSetStringFormatLineAlign(f, StringAlignmentCenter);
  Brush brush = SolidBrush(colour);
  GdipDrawString(g, label, -1, font.get(), &rect, f, brush.get());
}

}  // namespace

void FillRound(GpGraphics* g, float x, float y, float w, float h, float r, ARGB colour) {
  GpPath* path = nullptr;
  if (GdipCreatePath(FillModeAlternate, &path) != Ok) return;
  Path owner(path);
  AddRoundRect(path, x, y, w, h, r);
  Brush brush = SolidBrush(colour);
  GdipFillPath(g, brush.get(), path);
}

void StrokeRound(GpGraphics* g, float x, float y, float w, float h, float r, ARGB colour,
                 float width) {
  GpPath* path = nullptr;
  GpPen* pen = nullptr;
  if (GdipCreatePath(FillModeAlternate, &path) != Ok) return;
  Path owner(path);
  AddRoundRect(path, x, y, w, h, r);
  if (GdipCreatePen1(colour, width, UnitWorld, &pen) != Ok) return;
  Pen penOwner(pen);
  GdipDrawPath(g, pen, path);
}

void Line(GpGraphics* g, float x1, float y1, float x2, float y2, ARGB colour) {
  GpPen* pen = nullptr;
  if (GdipCreatePen1(colour, 1, UnitWorld, &pen) != Ok) return;
  Pen owner(pen);
  GdipDrawLine(g, pen, x1, y1, x2, y2);
}

void DrawButton(GpGraphics* g, const RectF& rect, const wchar_t* label, bool accent, bool hot,
                const Font& font, ARGB plainText, ARGB hotText, ARGB hotFill, ARGB accentFill,
                ARGB accentHotFill) {
  ARGB text = plainText;
  if (accent) {
    FillRound(g, rect.X, rect.Y, rect.Width, rect.Height, 7, hot ? accentHotFill : accentFill);
    text = 0xFF080C14;
  } else if (hot) {
    FillRound(g, rect.X, rect.Y, rect.Width, rect.Height, 7, hotFill);
    text = hotText;
  }
  DrawLabel(g, rect, label, font, text);
}

void DrawDisabledButton(GpGraphics* g, const RectF& rect, const wchar_t* label, bool accent,
                        const Font& font, ARGB dimText, ARGB outline) {
  if (accent) StrokeRound(g, rect.X, rect.Y, rect.Width, rect.Height, 7, outline, 1);
  DrawLabel(g, rect, label, font, dimText);
}

void DrawFocusRing(GpGraphics* g, const RECT& rect, float r, ARGB colour) {
  GpPath* path = nullptr;
  GpPen* pen = nullptr;
  if (GdipCreatePath(FillModeAlternate, &path) != Ok) return;
  Path owner(path);
  AddRoundRect(path, static_cast<float>(rect.left + 1), static_cast<float>(rect.top + 1),
               static_cast<float>(rect.right - rect.left - 2),
               static_cast<float>(rect.bottom - rect.top - 2), r);
  if (GdipCreatePen1(colour, 1.4f, UnitWorld, &pen) != Ok) return;
  Pen penOwner(pen);
  GdipDrawPath(g, pen, path);
}

bool RegisterToolClass(const wchar_t* className, WNDPROC proc, HWND owner, bool* registered) {
  if (*registered) return true;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(owner, GWLP_HINSTANCE));
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = className;
  if (!RegisterClassExW(&wc)) return false;
  *registered = true;
  return true;
}

HWND CreateToolWindow(const wchar_t* className, const wchar_t* title, HWND owner, UINT dpi,
                      int clientW, int clientH) {
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  RECT r{0, 0, clientW, clientH};
  AdjustWindowRectExForDpi(&r, style, FALSE, WS_EX_DLGMODALFRAME, dpi);
  const int w = r.right - r.left, h = r.bottom - r.top;
  RECT o{};
  GetWindowRect(owner, &o);
  int x = o.left + ((o.right - o.left) - w) / 2;
  int y = o.top + ((o.bottom - o.top) - h) / 2;
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  if (GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &mi)) {
    const RECT& wa = mi.rcWork;
    if (x + w > wa.right) x = wa.right - w;
    if (y + h > wa.bottom) y = wa.bottom - h;
    if (y < wa.top) y = wa.top;
    if (x < wa.left) x = wa.left;
  }
  return CreateWindowExW(WS_EX_DLGMODALFRAME, className, title, style, x, y, w, h, owner, nullptr,
                         reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(owner, GWLP_HINSTANCE)),
                         nullptr);
}

void RunModal(HWND owner, HWND* wnd) {
  EnableWindow(owner, FALSE);
  ShowWindow(*wnd, SW_SHOW);
  UpdateWindow(*wnd);
  MSG msg{};
  while (*wnd && IsWindow(*wnd)) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got < 1) {
      // Hand the quit on to the main loop.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  EnableWindow(owner, TRUE);
  SetActiveWindow(owner);
}

}  // namespace kit
