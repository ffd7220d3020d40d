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
  // of these; the generic family is the last resort.
  static const wchar_t* const kFamilies[] = {L"Segoe UI", L"Tahoma",      L"Verdana",
                                             L"Arial",    L"DejaVu Sans", L"Liberation Sans"};
  for (const wchar_t* name : kFamilies) {
    GpFontFamily* f = nullptr;
    if (GdipCreateFontFamilyFromName(name, nullptr, &f) == Ok && f) return FontFamily(f);
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
