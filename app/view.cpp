// The viewer's arithmetic: geometry, fit, zoom ladder, wheel, pan, layout and
// title.
#include "app/view.h"

#include <algorithm>
#include <cmath>

#include "platform/platform.h"

const double kZoomSteps[kZoomStepCount] = {0.05, 0.1, 0.15, 0.2, 0.25, 0.33, 0.5, 0.67, 0.75,
                                           1,    1.5, 2,    3,   4,    6,    8,   12,   16};

std::int32_t ScaleUnits(std::int32_t n, std::int32_t numerator, std::int32_t denominator) {
  if (denominator == 0) return -1;
  const std::int64_t p = static_cast<std::int64_t>(n) * numerator;
  const std::int64_t half = std::llabs(static_cast<long long>(denominator)) / 2;
  std::int64_t q = (std::llabs(static_cast<long long>(p)) + half) /
                   std::llabs(static_cast<long long>(denominator));
  if ((p < 0) != (denominator < 0)) q = -q;
  if (q > INT32_MAX || q < INT32_MIN) return -1;
  return static_cast<std::int32_t>(q);
}

std::int32_t ScaledSide(std::int32_t side, double zoom) {
  const double v = side * zoom + 0.5;
  const std::int32_t s = v >= 2147483647.0 ? INT32_MAX : static_cast<std::int32_t>(v);
  return s < 1 ? 1 : s;
}

ViewBox ViewGeom(std::int32_t imgW, std::int32_t imgH, double zoom, std::int32_t cw,
                 std::int32_t ch, std::int32_t footer) {
  std::int32_t areaH = ch - footer;
  if (areaH <= 0) areaH = 1;
  ViewBox g;
  g.scaledW = ScaledSide(imgW, zoom);
  g.scaledH = ScaledSide(imgH, zoom);
  g.visW = std::min(g.scaledW, cw);
  g.visH = std::min(g.scaledH, areaH);
  g.offX = (cw - g.visW) / 2;
  g.offY = (areaH - g.visH) / 2;
  return g;
}

bool CanPan(const ViewBox& g) { return g.scaledW > g.visW || g.scaledH > g.visH; }

double FitZoom(std::int32_t imgW, std::int32_t imgH, std::int32_t boxW, std::int32_t boxH) {
  if (imgW <= boxW && imgH <= boxH) return 1.0;
  return std::min(static_cast<double>(boxW) / imgW, static_cast<double>(boxH) / imgH);
}

double ZoomStepFrom(double zoom, int direction) {
  if (direction == 1) {
    for (double s : kZoomSteps) {
      if (s > zoom * 1.001) return s;
    }
    return 0;
  }
  for (int i = kZoomStepCount - 1; i >= 0; --i) {
    if (kZoomSteps[i] < zoom * 0.999) return kZoomSteps[i];
  }
  return 0;
}

void ClampPan(const ViewBox& g, std::int32_t* panX, std::int32_t* panY) {
  *panX = std::max(0, std::min(*panX, g.scaledW - g.visW));
  *panY = std::max(0, std::min(*panY, g.scaledH - g.visH));
}

double AnchorPosition(std::int32_t pan, std::int32_t anchor, std::int32_t off, double zoom) {
  return (static_cast<double>(pan) + anchor - off) / zoom;
}

std::int32_t PanForAnchor(double position, double zoom, std::int32_t anchor, std::int32_t off) {
  const double v = position * zoom - (anchor - off) + 0.5;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<std::int32_t>(v);  // toward zero, as the cast does
}

int WheelStep(std::int32_t delta, std::int32_t* acc) {
  const std::int32_t u = delta + *acc;
  const std::int32_t q = u / 120;
  if (q == 0) {
    *acc = u;
    return 0;
  }
  *acc = u - 120 * q;
  return u >= 120 ? 1 : -1;
}

LayoutOut ComputeLayout(const LayoutIn& in) {
  LayoutOut out;
  const std::int32_t margin = ScaleUnits(kMarginUnits, in.dpi, 96);
  const std::int32_t footer = ScaleUnits(kFooterUnits, in.dpi, 96);
  std::int32_t wl = in.workL, wt = in.workT, wr = in.workR, wb = in.workB;
  if (wr - wl > 6 * margin && wb - wt > 6 * margin) {
    wl += margin;
    wt += margin;
    wr -= margin;
    wb -= margin;
  }
  const std::int32_t availW = std::max(64, (wr - wl) - in.frameW);
  const std::int32_t availH = std::max(64, (wb - wt) - in.frameH - footer);
  const std::int32_t cap = ScaleUnits(kFitCapUnits, in.dpi, 96);
  out.zoom = in.zoom;
  if (in.havePicture) {
    if (in.fit) {
      std::int32_t boxW = availW, boxH = availH;
      if (in.fitCap) {
        boxW = std::min(boxW, cap);
        boxH = std::min(boxH, cap);
      }
      out.zoom = FitZoom(in.imgW, in.imgH, boxW, boxH);
    }
    out.clientW = std::min(availW, ScaledSide(in.imgW, out.zoom));
    out.clientH = std::min(availH, ScaledSide(in.imgH, out.zoom));
  } else {
    out.clientW = std::min(availW, cap);
    out.clientH = std::min(availH, cap);
  }
  out.clientH += footer;
  out.winW = out.clientW + in.frameW;
  out.winH = out.clientH + in.frameH;
  const std::int32_t cx = in.placed ? in.centreX : (wl + wr) / 2;
  const std::int32_t cy = in.placed ? in.centreY : (wt + wb) / 2;
  std::int32_t x = cx - out.winW / 2, y = cy - out.winH / 2;
  if (x + out.winW > wr) x = wr - out.winW;
  if (y + out.winH > wb) y = wb - out.winH;
  if (x < wl) x = wl;
  if (y < wt) y = wt;
  out.x = x;
  out.y = y;
  out.workT = wt;
  out.workB = wb;
  return out;
}

void GrowForMenuWrap(const LayoutOut& placed, std::int32_t shortBy, std::int32_t* y,
                     std::int32_t* winH) {
  *y = placed.y;
  *winH = placed.winH;
  if (shortBy <= 0) return;
  *winH += shortBy;
  if (*y + *winH > placed.workB) *y = std::max(placed.workT, placed.workB - *winH);
}

std::wstring TitleText(const std::wstring& currentFile, bool havePicture, std::int32_t imgW,
                       std::int32_t imgH, double zoom, bool fit) {
  if (currentFile.empty()) return L"Norvane";
  const std::wstring name = platform::FileNamePart(currentFile);
  const std::wstring sep = L"   \u00B7   ";
  std::wstring t;
  if (!havePicture) {
    t = name + sep + L"unreadable";
  } else {
    const int p = static_cast<int>(100 * zoom + 0.5);
    t = name + sep + std::to_wstring(imgW) + L" \u00D7 " + std::to_wstring(imgH);
    if (p != 100) t += sep + (fit ? L"fit " : L"") + std::to_wstring(p) + L"%";
  }
  // The title buffer holds 355 characters.
  if (t.size() > 355) t.resize(355);
  return t;
}
