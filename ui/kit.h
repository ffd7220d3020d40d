// The drawing kit the program's windows share: GDI+ object owners, the font
// family every text uses, rounded rectangles, the dark title bar and layout
// units scaled to a window's DPI.
#pragma once

#include <windows.h>
// windows.h first: GDI+ needs its types.
#include <gdiplus.h>

#include "platform/owned.h"

namespace kit {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

template <typename T, GpStatus (*Delete)(T*)>
struct GdipTraits {
  using Type = T*;
  static T* Invalid() { return nullptr; }
  static void Release(T* p) { Delete(p); }
};
using Graphics = Owned<GdipTraits<GpGraphics, GdipDeleteGraphics>>;
using Brush = Owned<GdipTraits<GpBrush, GdipDeleteBrush>>;
using Pen = Owned<GdipTraits<GpPen, GdipDeletePen>>;
using Path = Owned<GdipTraits<GpPath, GdipDeletePath>>;
using Font = Owned<GdipTraits<GpFont, GdipDeleteFont>>;
using FontFamily = Owned<GdipTraits<GpFontFamily, GdipDeleteFontFamily>>;
using StringFormat = Owned<GdipTraits<GpStringFormat, GdipDeleteStringFormat>>;

struct GdiObjectTraits {
  using Type = HGDIOBJ;
  static HGDIOBJ Invalid() { return nullptr; }
  static void Release(HGDIOBJ h) { DeleteObject(h); }
};
using GdiObject = Owned<GdiObjectTraits>;

// GDI+ for the life of the process; shut down when the session ends.
class GdiplusSession {
 public:
  GdiplusSession();
  ~GdiplusSession();
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;
  bool ok() const { return token_ != 0; }

 private:
  ULONG_PTR token_ = 0;
};

// A Graphics on a DC with the kit's settings: anti-aliased shapes, ClearType
// text and the world scaled from layout units by dpi / 96.
Graphics MakeGraphics(HDC dc, UINT dpi);

// "Segoe UI" where it exists; else the first installed of a few similar
// families; else the generic sans-serif family, so text is always drawn.
FontFamily UiFontFamily();
// A font of the kit's family in layout units (UnitPixel).
Font MakeFont(float size, INT style);

Brush SolidBrush(ARGB colour);

// A closed rounded rectangle of four 90° arcs.
void AddRoundRect(GpPath* path, float x, float y, float w, float h, float r);

// The dark caption, its text colour and the border colour.
void ApplyDarkTitleBar(HWND hwnd);

// The palette the two tool windows share (ARGB). The metadata window adds
// COL_DIM and its own COL_WARN, the settings window COL_WHITE.
namespace tool_palette {
constexpr ARGB COL_PANEL = 0xFF0A0E17;
constexpr ARGB COL_ROWHOT = 0xFF141C2E;
constexpr ARGB COL_RULE = 0xFF1F2942;
constexpr ARGB COL_ACCENT = 0xFF60A5FA;
constexpr ARGB COL_ACCHOT = 0xFF82BBFF;
constexpr ARGB COL_ICE = 0xFFCFE1FF;
constexpr ARGB COL_TEXT = 0xFFE8EDF3;
constexpr ARGB COL_MUTED = 0xFF7A8696;
}  // namespace tool_palette

// The layout unit scaled to pixels: MulDiv(units, dpi, 96).
inline int Px(int units, UINT dpi) { return MulDiv(units, static_cast<int>(dpi), 96); }

}  // namespace kit

namespace kit {

// Layout units to pixels for buffers and client areas: ceil(units × s).
inline int CeilPx(float units, UINT dpi) {
  const float v = units * (static_cast<float>(dpi) / 96.0f);
  const int i = static_cast<int>(v);
  return static_cast<float>(i) < v ? i + 1 : i;
}

// A mouse position in layout units: the signed 16-bit halves of lParam
// scaled by 96 / dpi.
POINT MouseUnits(LPARAM lp, UINT dpi);

// A window's back buffer: a memory DC with a compatible bitmap.
struct BackBuffer {
  HDC dc = nullptr;
  HBITMAP bmp = nullptr;
  HGDIOBJ oldBmp = nullptr;
  int w = 0, h = 0;
  // (Re)creates it at w × h pixels compatible with the window.
  void Make(HWND hwnd, int width, int height);
  void Release();
  // Copies it to the window in one BitBlt (for WM_PAINT).
  void Paint(HWND hwnd) const;
};

// A push button in layout units: a rounded rectangle of radius 7 with the
// label centred; plain buttons get a fill only when hot.
void DrawButton(GpGraphics* g, const RectF& rect, const wchar_t* label, bool accent, bool hot,
                const Font& font, ARGB plainText, ARGB hotText, ARGB hotFill, ARGB accentFill,
                ARGB accentHotFill);

// A disabled push button: its label in dimText, and for the accent style an
// outline of 1 unit instead of the fill.
void DrawDisabledButton(GpGraphics* g, const RectF& rect, const wchar_t* label, bool accent,
                        const Font& font, ARGB dimText, ARGB outline);

// A rounded rectangle filled, or stroked with a pen `width` units wide; a
// straight line 1 unit wide.
void FillRound(GpGraphics* g, float x, float y, float w, float h, float r, ARGB colour);
void StrokeRound(GpGraphics* g, float x, float y, float w, float h, float r, ARGB colour,
                 float width);
void Line(GpGraphics* g, float x1, float y1, float x2, float y2, ARGB colour);

// A 1.4-unit ring just inside an integer rectangle.
void DrawFocusRing(GpGraphics* g, const RECT& rect, float r, ARGB colour);

// The tool windows' frame: registered once, sized for a client area of
// clientW × clientH pixels at the owner's DPI, centred over the owner and
// kept inside its monitor's work area, then run modally until *wnd is null.
bool RegisterToolClass(const wchar_t* className, WNDPROC proc, HWND owner, bool* registered);
HWND CreateToolWindow(const wchar_t* className, const wchar_t* title, HWND owner, UINT dpi,
                      int clientW, int clientH);
void RunModal(HWND owner, HWND* wnd);

}  // namespace kit
