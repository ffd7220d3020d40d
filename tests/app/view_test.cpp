// The viewer's arithmetic: geometry, fit, zoom ladder, wheel, pan, layout and
// title.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "app/view.h"

namespace {

TEST(ViewGeomTest, CentredSmallPictureAndClippedLargeOne) {
  // 640 × 480 at 100 % in a 800 × 624 client with a 24-pixel footer.
  ViewBox g = ViewGeom(640, 480, 1.0, 800, 624, 24);
  EXPECT_EQ(g.scaledW, 640);
  EXPECT_EQ(g.visW, 640);
  EXPECT_EQ(g.visH, 480);
  EXPECT_EQ(g.offX, 80);
  EXPECT_EQ(g.offY, 60);
  EXPECT_FALSE(CanPan(g));
  // 200 %: larger than the client, so it is clipped and can be panned.
  g = ViewGeom(640, 480, 2.0, 800, 624, 24);
  EXPECT_EQ(g.scaledW, 1280);
  EXPECT_EQ(g.visW, 800);
  EXPECT_EQ(g.visH, 600);
  EXPECT_EQ(g.offX, 0);
  EXPECT_TRUE(CanPan(g));
  // A 1 × 1 picture at 5 % is still one pixel; a client without room for
  // the picture area gets one row.
  g = ViewGeom(1, 1, 0.05, 100, 10, 24);
  EXPECT_EQ(g.scaledW, 1);
  EXPECT_EQ(g.scaledH, 1);
  EXPECT_EQ(g.visH, 1);
  EXPECT_EQ(g.offY, 0);
}

TEST(FitZoomTest, NeverEnlarges) {
  EXPECT_EQ(FitZoom(640, 480, 1000, 750), 1.0);
  EXPECT_EQ(FitZoom(4000, 3000, 1000, 750), 0.25);
  EXPECT_DOUBLE_EQ(FitZoom(3000, 2000, 1024, 1024), 1024.0 / 3000.0);
  EXPECT_DOUBLE_EQ(FitZoom(1000, 4000, 1000, 1000), 0.25);
}

TEST(ZoomStepTest, Ladder) {
  struct Case {
    double zoom;
    int direction;
    double expected;  // 0: no step
  } cases[] = {
      {0.25, 1, 0.33},   {0.25, -1, 0.2},     // a fitted 4000 × 3000 in 1000 × 750
      {0.5, 1, 0.67},    {0.5, -1, 0.33},     // exactly a step
      {0.5004, 1, 0.67}, {0.4996, -1, 0.33},  // within 0.1 % counts as the step
      {0.3413, 1, 0.5},  {0.3413, -1, 0.33}, {16, 1, 0},   {16, -1, 12},
      {0.05, -1, 0},     {0.05, 1, 0.1},     {1, 7, 0.75},  // any direction other than 1 zooms out
      {20, -1, 16},      {0.01, 1, 0.05},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(ZoomStepFrom(c.zoom, c.direction), c.expected) << c.zoom << " " << c.direction;
  }
}

TEST(WheelStepTest, Accumulates) {
  struct Case {
    std::vector<int> deltas;
    std::vector<int> steps;
    int acc;
  } cases[] = {
      {{60, 60}, {0, 1}, 0}, {{360}, {1}, 0},  {{-90, 30}, {0, 0}, -60}, {{-120}, {-1}, 0},
      {{-250}, {-1}, -10},   {{130}, {1}, 10}, {{119, 1}, {0, 1}, 0},
  };
  for (const Case& c : cases) {
    int acc = 0;
    for (std::size_t i = 0; i < c.deltas.size(); ++i) {
      EXPECT_EQ(WheelStep(c.deltas[i], &acc), c.steps[i]) << c.deltas[i];
    }
    EXPECT_EQ(acc, c.acc);
  }
}

TEST(PanTest, LimitsAndAnchor) {
  ViewBox g = ViewGeom(640, 480, 2.0, 800, 624, 24);  // 1280 × 960 in 800 × 600
  int x = 5000, y = -30;
  ClampPan(g, &x, &y);
  EXPECT_EQ(x, 480);
  EXPECT_EQ(y, 0);
  // A picture smaller than the area has no room at all.
  ViewBox small = ViewGeom(100, 100, 1.0, 800, 624, 24);
  x = 7;
  y = 7;
  ClampPan(small, &x, &y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  // The point under the anchor stays there: picture x 150 under client x 300
  // at 100 % (pan 0, offset 150) is under it again at 200 % with pan 0.
  const double u = AnchorPosition(0, 300, 150, 1.0);
  EXPECT_DOUBLE_EQ(u, 150.0);
  EXPECT_EQ(PanForAnchor(u, 2.0, 300, 0), 0);
  EXPECT_EQ(PanForAnchor(u, 4.0, 300, 0), 300);
  // Rounding: +0.5 and truncation toward zero.
  EXPECT_EQ(PanForAnchor(10.3, 1.0, 0, 0), 10);
  EXPECT_EQ(PanForAnchor(10.5, 1.0, 0, 0), 11);
}

TEST(ScaleUnitsTest, RoundsLikeMulDiv) {
  EXPECT_EQ(ScaleUnits(24, 96, 96), 24);
  EXPECT_EQ(ScaleUnits(24, 144, 96), 36);
  EXPECT_EQ(ScaleUnits(38, 120, 96), 48);  // 47.5 rounds away from zero
  EXPECT_EQ(ScaleUnits(-38, 120, 96), -48);
  EXPECT_EQ(ScaleUnits(1024, 144, 96), 1536);
  EXPECT_EQ(ScaleUnits(1, 1, 0), -1);
}

// A 1920 × 1080 work area with a frame like Wine's (2 + 2 wide, 20 + 2 high).
LayoutIn Desktop(int dpi) {
  LayoutIn in;
  in.dpi = dpi;
  in.workR = 1920;
  in.workB = 1080;
  in.frameW = 4;
  in.frameH = 22;
  return in;
}

TEST(LayoutTest, SizesForPictures) {
  LayoutIn in = Desktop(96);
  in.havePicture = true;
  in.imgW = 640;
  in.imgH = 480;
  LayoutOut out = ComputeLayout(in);
  EXPECT_EQ(out.zoom, 1.0);
  EXPECT_EQ(out.clientW, 640);
  EXPECT_EQ(out.clientH, 504);
  EXPECT_EQ(out.winW, 644);
  EXPECT_EQ(out.x, 960 - 322);  // centred on the work area the first time

  in.imgW = 3000;
  in.imgH = 2000;
  out = ComputeLayout(in);
  EXPECT_DOUBLE_EQ(out.zoom, 1024.0 / 3000.0);
  EXPECT_EQ(out.clientW, 1024);
  EXPECT_EQ(out.clientH, 683 + 24);

  // Without the cap: the work area less the 38-pixel margins, the frame and
  // the footer: 1840 - 4 by 1004 - 22 - 24.
  in.fitCap = false;
  out = ComputeLayout(in);
  EXPECT_DOUBLE_EQ(out.zoom, std::min(1836.0 / 3000.0, 958.0 / 2000.0));
  EXPECT_EQ(out.clientH, 958 + 24);
  EXPECT_GE(out.y, 38);

  // 144 DPI: footer 36, cap 1536.
  LayoutIn hi = Desktop(144);
  hi.havePicture = true;
  hi.imgW = 640;
  hi.imgH = 480;
  out = ComputeLayout(hi);
  EXPECT_EQ(out.clientH, 516);
  hi.imgW = 3000;
  hi.imgH = 2000;
  hi.workR = 3840;
  hi.workB = 2160;
  out = ComputeLayout(hi);
  EXPECT_DOUBLE_EQ(out.zoom, 1536.0 / 3000.0);
  EXPECT_EQ(out.clientW, 1536);
  EXPECT_EQ(out.clientH, 1024 + 36);
}

TEST(LayoutTest, EmptyWindowSmallWorkAreaAndClamping) {
  LayoutIn in = Desktop(96);
  LayoutOut out = ComputeLayout(in);
  EXPECT_EQ(out.clientW, 1024);
  EXPECT_EQ(out.clientH, 1004 - 22 - 24 + 24);  // limited by the height available

  // A work area 200 pixels high keeps its full size (no margins taken).
  LayoutIn flat = Desktop(96);
  flat.workB = 200;
  flat.havePicture = true;
  flat.imgW = 100;
  flat.imgH = 100;
  out = ComputeLayout(flat);
  EXPECT_EQ(out.workT, 0);
  EXPECT_EQ(out.workB, 200);
  EXPECT_EQ(out.clientH, 100 + 24);

  // Placed near the bottom-right corner: pushed back inside, left and top win.
  LayoutIn corner = Desktop(96);
  corner.havePicture = true;
  corner.imgW = 640;
  corner.imgH = 480;
  corner.placed = true;
  corner.centreX = 1900;
  corner.centreY = 1070;
  out = ComputeLayout(corner);
  EXPECT_EQ(out.x + out.winW, 1920 - 38);
  EXPECT_EQ(out.y + out.winH, 1080 - 38);
  corner.centreX = 0;
  corner.centreY = 0;
  out = ComputeLayout(corner);
  EXPECT_EQ(out.x, 38);
  EXPECT_EQ(out.y, 38);

  // A menu bar that wrapped grows the window and keeps it inside.
  int y = 0, h = 0;
  GrowForMenuWrap(out, 20, &y, &h);
  EXPECT_EQ(h, out.winH + 20);
  EXPECT_EQ(y, out.y);
  LayoutOut low = out;
  low.y = low.workB - low.winH;
  GrowForMenuWrap(low, 20, &y, &h);
  EXPECT_EQ(y + h, low.workB);
}

TEST(TitleTest, Forms) {
  const std::wstring file = L"C:\\pics\\cat.png";
  EXPECT_EQ(TitleText(L"", false, 0, 0, 1, true), L"Norvane");
  EXPECT_EQ(TitleText(file, false, 0, 0, 1, true), L"cat.png   \u00B7   unreadable");
  EXPECT_EQ(TitleText(file, true, 640, 480, 1.0, true), L"cat.png   \u00B7   640 \u00D7 480");
  EXPECT_EQ(TitleText(file, true, 640, 480, 1.004, false), L"cat.png   \u00B7   640 \u00D7 480");
  EXPECT_EQ(TitleText(file, true, 640, 480, 0.5, false),
            L"cat.png   \u00B7   640 \u00D7 480   \u00B7   50%");
  EXPECT_EQ(TitleText(file, true, 3000, 2000, 1024.0 / 3000, true),
            L"cat.png   \u00B7   3000 \u00D7 2000   \u00B7   fit 34%");
  EXPECT_EQ(TitleText(std::wstring(400, L'n'), true, 1, 1, 2, false).size(), 355u);
}

}  // namespace
