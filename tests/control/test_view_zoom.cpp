// A tile's picture arithmetic: the scale rule with and without stretching, smooth or fast
// scaling, and the zoom rectangle under the wheel, the keys and a drag.
#include <gtest/gtest.h>

#include "control/view_zoom.h"

namespace velmora {
namespace {

TEST(ViewScale, HalfSizeCentredWithoutStretchAndFullWidthWithIt) {
  // A 500 x 400 tile has a 498 x 398 inner area.
  ImagePlacement p = PlaceImage(498, 398, 640, 480, false);
  EXPECT_DOUBLE_EQ(p.scale, 0.5);
  EXPECT_EQ(p.target.width, 320);
  EXPECT_EQ(p.target.height, 240);
  EXPECT_EQ(p.target.x, 89);  // + 1 for the tile's border: 90 = (500 - 320) / 2
  EXPECT_EQ(p.target.y, 79);

  p = PlaceImage(498, 398, 640, 480, true);
  EXPECT_NEAR(p.scale, 0.778, 0.001);
  EXPECT_EQ(p.target.width, 498);
  EXPECT_EQ(p.target.x, 0);
  EXPECT_EQ(p.target.height, 374) << "the 24.5-pixel margin is cut to an even 24";
  EXPECT_EQ(p.target.y, 12);

  // Enlarging snaps to powers of two too: 320 x 240 in 1000 x 1000 is drawn twice its size.
  p = PlaceImage(1000, 1000, 320, 240, false);
  EXPECT_DOUBLE_EQ(p.scale, 2);
  EXPECT_EQ(p.target.width, 640);
  EXPECT_EQ(p.target.x, 180);

  EXPECT_DOUBLE_EQ(SnapScale(0.2), 0.2) << "below 1/4 stays as it is";
  EXPECT_DOUBLE_EQ(SnapScale(0.25), 0.25);
  EXPECT_DOUBLE_EQ(SnapScale(0.49), 0.25);
  EXPECT_DOUBLE_EQ(SnapScale(0.99), 0.5);
  EXPECT_DOUBLE_EQ(SnapScale(1.99), 1);
  EXPECT_DOUBLE_EQ(SnapScale(3.5), 2);
  EXPECT_DOUBLE_EQ(SnapScale(7.9), 4);
  EXPECT_DOUBLE_EQ(SnapScale(15.9), 8);
  EXPECT_DOUBLE_EQ(SnapScale(16), 16) << "from 16 up stays as it is";
  EXPECT_DOUBLE_EQ(SnapScale(40), 40);

  EXPECT_DOUBLE_EQ(PlaceImage(0, 100, 640, 480, false).scale, 0) << "an empty tile draws nothing";
  EXPECT_DOUBLE_EQ(PlaceImage(100, 100, 0, 480, false).scale, 0);
}

TEST(ViewScale, SmoothScalingFollowsTheShrinkOrEnlargeSetting) {
  // Shrinking needs both sides smaller than the frame.
  EXPECT_TRUE(UseSmoothScaling(300, 200, 640, 480, true, false));
  EXPECT_FALSE(UseSmoothScaling(300, 200, 640, 480, false, true));
  EXPECT_TRUE(UseSmoothScaling(700, 200, 640, 480, false, true)) << "wider than the frame: not shrinking";
  EXPECT_FALSE(UseSmoothScaling(700, 200, 640, 480, true, false));
  EXPECT_TRUE(UseSmoothScaling(640, 480, 640, 480, false, true)) << "the same size counts as enlarging";
}

TEST(ViewZoom, ZoomInStopsAtOneFortyEighthAndZoomOutPastTheFrameEndsIt) {
  const ZoomFrame f{640, 480, 320, 240};
  ZoomState z;
  EXPECT_FALSE(ZoomAt(z, f, 160, 120, -120)) << "zooming out of an unzoomed tile does nothing";
  ASSERT_TRUE(ZoomAt(z, f, 160, 120, 120));
  EXPECT_TRUE(z.zoomed);
  EXPECT_EQ(z.rect.width, 640) << "same shape as the tile: the whole frame first";
  int steps = 0;
  for (int i = 0; i < 40 && ZoomAt(z, f, 160, 120, 120); ++i) ++steps;
  // 640 * (3/4)^k in whole pixels: 480 360 270 202 151 113 84 63 47 35 26 19 14; 10 < 640 / 48.
  EXPECT_EQ(steps, 13);
  EXPECT_EQ(z.rect.width, 14);
  EXPECT_EQ(z.rect.height, 10);
  EXPECT_GE(z.rect.width, 640 / 48);
  // Centred on the middle of the frame.
  EXPECT_EQ(z.rect.x, 320 - 7);
  EXPECT_EQ(z.rect.y, 240 - 5);

  int outSteps = 0;
  for (int i = 0; i < 40 && z.zoomed; ++i) {
    ASSERT_TRUE(ZoomAt(z, f, 160, 120, -120));
    ++outSteps;
  }
  EXPECT_FALSE(z.zoomed) << "zooming out past the whole frame ends the zoom";
  EXPECT_GT(outSteps, 10);
}

TEST(ViewZoom, FirstZoomCutsTheFrameToTheTileShapeAndZoomFollowsThePoint) {
  // A wide tile over a 4:3 frame cuts the frame's height.
  ZoomState z;
  ASSERT_TRUE(ZoomAt(z, ZoomFrame{640, 480, 200, 100}, 0, 0, 120));
  EXPECT_EQ(z.rect.x, 0);
  EXPECT_EQ(z.rect.width, 640);
  EXPECT_EQ(z.rect.height, 320);
  EXPECT_EQ(z.rect.y, 80);
  // A tall tile cuts the width.
  z = ZoomState{};
  ASSERT_TRUE(ZoomAt(z, ZoomFrame{640, 480, 100, 200}, 0, 0, 120));
  EXPECT_EQ(z.rect.width, 240);
  EXPECT_EQ(z.rect.x, 200);
  EXPECT_EQ(z.rect.height, 480);

  // Zooming at the top-left corner keeps the rectangle inside the frame.
  const ZoomFrame f{640, 480, 320, 240};
  z = ZoomState{};
  ZoomAt(z, f, 0, 0, 120);
  ASSERT_TRUE(ZoomAt(z, f, 0, 0, 120));
  EXPECT_EQ(z.rect.x, 0);
  EXPECT_EQ(z.rect.y, 0);
  EXPECT_EQ(z.rect.width, 480);
  // At the bottom-right corner: shifted back from the right and bottom edges.
  ASSERT_TRUE(ZoomAt(z, f, 319, 239, 120));
  EXPECT_EQ(z.rect.right(), 640);
  EXPECT_EQ(z.rect.bottom(), 480);

  // No frame or an empty tile: nothing happens.
  z = ZoomState{};
  EXPECT_FALSE(ZoomAt(z, ZoomFrame{0, 0, 320, 240}, 10, 10, 120));
  EXPECT_FALSE(ZoomAt(z, ZoomFrame{640, 480, 0, 240}, 10, 10, 120));
  EXPECT_FALSE(z.zoomed);
}

TEST(ViewZoom, KeysAndDragMoveTheRectangleInsideTheFrame) {
  const ZoomFrame f{640, 480, 320, 240};
  ZoomState z;
  EXPECT_FALSE(ZoomByKey(z, f, ZoomKey::kLeft)) << "arrows do nothing without a zoom";
  ASSERT_TRUE(ZoomByKey(z, f, ZoomKey::kPageUp));
  ASSERT_TRUE(ZoomByKey(z, f, ZoomKey::kPageUp));
  ASSERT_EQ(z.rect.width, 480);
  EXPECT_EQ(z.rect.x, 80) << "Page Up zooms around the centre";
  EXPECT_TRUE(ZoomByKey(z, f, ZoomKey::kRight));
  EXPECT_EQ(z.rect.x, 160) << "half a width, kept inside";
  EXPECT_FALSE(ZoomByKey(z, f, ZoomKey::kRight)) << "already at the right edge";
  EXPECT_TRUE(ZoomByKey(z, f, ZoomKey::kLeft));
  EXPECT_EQ(z.rect.x, 0);
  EXPECT_TRUE(ZoomByKey(z, f, ZoomKey::kDown));
  EXPECT_EQ(z.rect.bottom(), 480);
  EXPECT_TRUE(ZoomByKey(z, f, ZoomKey::kUp));
  EXPECT_EQ(z.rect.y, 0);

  // Dragging 10 client pixels right moves the rectangle 15 frame pixels left (480 / 320).
  z.rect.x = 100;
  EXPECT_TRUE(DragZoom(z, f, 10, 0));
  EXPECT_EQ(z.rect.x, 85);
  EXPECT_TRUE(DragZoom(z, f, -1000, -1000));
  EXPECT_EQ(z.rect.right(), 640);
  EXPECT_EQ(z.rect.bottom(), 480);

  EXPECT_TRUE(ZoomByKey(z, f, ZoomKey::kPageDown));
  EXPECT_EQ(z.rect.width, 640);
  EXPECT_TRUE(ZoomByKey(z, f, ZoomKey::kHome));
  EXPECT_FALSE(z.zoomed) << "Home ends the zoom";
  EXPECT_FALSE(ZoomByKey(z, f, ZoomKey::kHome));
  EXPECT_FALSE(DragZoom(z, f, 10, 10)) << "no drag without a zoom";
}

}  // namespace
}  // namespace velmora
