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

// The layout unit scaled to pixels: MulDiv(units, dpi, 96).
inline int Px(int units, UINT dpi) { return MulDiv(units, static_cast<int>(dpi), 96); }

}  // namespace kit
