// The viewer's arithmetic, free of any window: where the scaled picture lies,
// the fit rule, the zoom ladder, the wheel accumulator, pan limits, the
// anchor kept under the mouse, the window layout and the title text. The
// window code keeps the state and calls these.
#pragma once

#include <cstdint>
#include <string>

// The zoom ladder, ascending.
inline constexpr int kZoomStepCount = 18;
extern const double kZoomSteps[kZoomStepCount];

// The footer band and window margins, in 96-DPI layout units.
inline constexpr int kFooterUnits = 24;
inline constexpr int kMarginUnits = 38;
// Fitting after an open keeps each side within this many layout units.
inline constexpr int kFitCapUnits = 1024;

// MulDiv as the platform rounds it: n × numerator / denominator rounded half
// away from zero; -1 for a zero denominator or a result that does not fit.
std::int32_t ScaleUnits(std::int32_t n, std::int32_t numerator, std::int32_t denominator);

struct ViewBox {
  std::int32_t scaledW, scaledH;  // the whole picture at the zoom, each at least 1
  std::int32_t visW, visH;        // the part that fits the picture area
  std::int32_t offX, offY;        // where that part starts in the client area
};

// The scaled size of one side: (int)(side × zoom + 0.5), at least 1.
std::int32_t ScaledSide(std::int32_t side, double zoom);

// The picture area is the client area less the footer band (footer 0 in full
// screen).
ViewBox ViewGeom(std::int32_t imgW, std::int32_t imgH, double zoom, std::int32_t clientW,
                 std::int32_t clientH, std::int32_t footer);

// Whether the scaled picture is larger than the picture area.
bool CanPan(const ViewBox& g);

// 1 when the picture fits the box, else the largest factor that fits it.
double FitZoom(std::int32_t imgW, std::int32_t imgH, std::int32_t boxW, std::int32_t boxH);

// The next ladder step from `zoom` (direction 1 in, anything else out), with
// a zoom within 0.1 % of a step counting as that step; 0 when there is none.
double ZoomStepFrom(double zoom, int direction);

// Holds the pan inside [0, scaled − visible], the upper limit first.
void ClampPan(const ViewBox& g, std::int32_t* panX, std::int32_t* panY);

// The picture position under an anchor (client coordinates), and the pan
// that puts that position under the anchor again at a new zoom (not limited).
double AnchorPosition(std::int32_t pan, std::int32_t anchor, std::int32_t off, double zoom);
std::int32_t PanForAnchor(double position, double zoom, std::int32_t anchor, std::int32_t off);

// Wheel accumulation: adds delta to *acc; returns +1 when a step towards the
// user's screen top (delta ≥ 120 in total), -1 for the other way, 0 when the
// total is still below one notch (then *acc keeps it). One step at most.
int WheelStep(std::int32_t delta, std::int32_t* acc);

// Window placement for a picture (or the empty window).
struct LayoutIn {
  std::int32_t dpi = 96;
  std::int32_t workL = 0, workT = 0, workR = 0, workB = 0;  // the monitor's work area
  std::int32_t frameW = 0, frameH = 0;  // non-client width and height for this style
  bool havePicture = false;
  std::int32_t imgW = 0, imgH = 0;
  bool fit = true, fitCap = true;
  double zoom = 1.0;
  bool placed = false;                    // the window has been centred once
  std::int32_t centreX = 0, centreY = 0;  // the window's current centre when placed
};
struct LayoutOut {
  double zoom = 1.0;                      // the fit zoom when fitting, else the input zoom
  std::int32_t clientW = 0, clientH = 0;  // footer included
  std::int32_t x = 0, y = 0, winW = 0, winH = 0;
  std::int32_t workT = 0, workB = 0;  // the (shrunk) work area's top and bottom
};
LayoutOut ComputeLayout(const LayoutIn& in);

// When the menu bar wrapped and the client came out `shortBy` pixels short:
// the grown height and the moved top that keep the window in the work area.
void GrowForMenuWrap(const LayoutOut& placed, std::int32_t shortBy, std::int32_t* y,
                     std::int32_t* winH);

// The window title: "Norvane" without a file, "name   ·   unreadable" without
// a picture, "name   ·   W × H" at 100 %, else with "   ·   [fit ]P%".
std::wstring TitleText(const std::wstring& currentFile, bool havePicture, std::int32_t imgW,
                       std::int32_t imgH, double zoom, bool fit);
