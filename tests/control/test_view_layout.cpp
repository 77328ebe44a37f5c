// The view grid's layouts: tile rectangles of every layout at two frame sizes, the layout
// chosen for a number of views, the scroll range and its steps, and double clicks.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "control/view_layout.h"

namespace velmora {
namespace {

// "{x,y wxh}": rectangles compared as text read well in failures.
std::string Str(const Rect& r) {
  return "{" + std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
         std::to_string(r.height) + "}";
}

// Tile index -> rectangle of a layout.
std::map<int, Rect> Cells(int layout, int w, int h, int position = 0, int line = 14, int target = 0) {
  std::map<int, Rect> cells;
  for (const TilePlacement& p : LayoutTiles(layout, w, h, position, line, target).tiles) cells[p.tile] = p.rect;
  return cells;
}

bool Overlap(const Rect& a, const Rect& b) {
  return a.x < b.right() && b.x < a.right() && a.y < b.bottom() && b.y < a.bottom();
}

struct Expected {
  int layout;
  int width;
  int height;
  std::map<int, Rect> some;  // a few tiles checked exactly
};

TEST(ViewLayoutGeometry, EveryLayoutAtTwoFrameSizes) {
  const std::vector<Expected> table = {
      {kLayout1x1, 800, 600, {{0, {0, 0, 800, 600}}}},
      {kLayout1x1, 1001, 757, {{0, {0, 0, 1000, 756}}}},
      {kLayout2x2, 800, 600, {{0, {0, 0, 400, 300}}, {1, {400, 0, 400, 300}}, {3, {400, 300, 400, 300}}}},
      {kLayout2x2, 1001, 757, {{1, {500, 0, 500, 378}}, {2, {0, 378, 500, 378}}}},
      {kLayout3x2, 800, 600, {{2, {532, 0, 266, 300}}, {5, {532, 300, 266, 300}}}},
      {kLayout3x2, 1001, 757, {{4, {333, 378, 333, 378}}}},
      {kLayoutSevenViews, 800, 600,
       {{2, {0, 300, 400, 300}}, {3, {400, 300, 200, 150}}, {4, {600, 300, 200, 150}}, {6, {600, 450, 200, 150}}}},
      {kLayoutSevenViews, 1001, 757, {{1, {500, 0, 500, 378}}, {5, {500, 567, 250, 189}}}},
      {kLayout3x3, 800, 600, {{4, {266, 200, 266, 200}}, {8, {532, 400, 266, 200}}}},
      {kLayout3x3, 1001, 757, {{8, {666, 504, 333, 252}}}},
      {kLayoutTenViews, 800, 600,
       {{1, {400, 0, 400, 300}}, {2, {0, 300, 200, 150}}, {5, {600, 300, 200, 150}}, {9, {600, 450, 200, 150}}}},
      {kLayoutTenViews, 1001, 757, {{6, {0, 567, 250, 189}}}},
      {kLayout4x3, 800, 600, {{11, {600, 400, 200, 200}}}},
      {kLayout4x3, 1001, 757, {{5, {250, 252, 250, 252}}}},
      {kLayoutThirteenViews, 800, 600,
       {{0, {0, 0, 400, 300}}, {1, {400, 0, 200, 150}}, {4, {600, 150, 200, 150}}, {5, {0, 300, 200, 150}},
        {12, {600, 450, 200, 150}}}},
      {kLayoutThirteenViews, 1001, 757, {{2, {750, 0, 250, 189}}, {9, {0, 567, 250, 189}}}},
      {kLayout4x4, 800, 600, {{15, {600, 450, 200, 150}}}},
      {kLayout4x4, 1001, 757, {{5, {250, 189, 250, 189}}}},
      {kLayout5x5, 800, 600, {{24, {640, 480, 160, 120}}}},
      {kLayout5x5, 1001, 757, {{6, {200, 151, 200, 151}}}},
      {kLayout27Views, 800, 600,
       {{0, {0, 0, 264, 164}}, {8, {528, 328, 264, 164}}, {9, {0, 492, 88, 54}}, {17, {704, 492, 88, 54}},
        {18, {0, 546, 88, 54}}, {26, {704, 546, 88, 54}}}},
      {kLayout27Views, 1001, 757, {{4, {333, 207, 333, 207}}, {10, {111, 621, 111, 68}}, {26, {888, 689, 111, 68}}}},
      {kLayout6x6, 800, 600, {{35, {665, 500, 133, 100}}}},
      {kLayout6x6, 1001, 757, {{7, {166, 126, 166, 126}}}},
      {kLayout7x7, 800, 600, {{48, {684, 510, 114, 85}}}},
      {kLayout7x7, 1001, 757, {{8, {143, 108, 143, 108}}}},
      {kLayout8x8, 800, 600, {{63, {700, 525, 100, 75}}}},
      {kLayout8x8, 1001, 757, {{9, {125, 94, 125, 94}}}},
      {kLayout9x9, 800, 600, {{80, {704, 528, 88, 66}}}},
      {kLayout9x9, 1001, 757, {{10, {111, 84, 111, 84}}}},
      {kLayout10x10, 800, 600, {{99, {720, 540, 80, 60}}}},
      {kLayout10x10, 1001, 757, {{11, {100, 75, 100, 75}}}},
  };
  std::map<int, int> sizesSeen;
  for (const Expected& e : table) {
    SCOPED_TRACE(LayoutName(e.layout) + " at " + std::to_string(e.width) + "x" +
                 std::to_string(e.height));
    ++sizesSeen[e.layout];
    const std::map<int, Rect> cells = Cells(e.layout, e.width, e.height);
    EXPECT_EQ(static_cast<int>(cells.size()), LayoutInfoOf(e.layout).tilesPerPage);
    for (const auto& [tile, rect] : e.some) {
      ASSERT_TRUE(cells.count(tile)) << tile;
      EXPECT_EQ(Str(cells.at(tile)), Str(rect)) << "tile " << tile;
    }
    // Every cell lies inside the frame and no two cells overlap.
    for (const auto& [tile, rect] : cells) {
      EXPECT_FALSE(rect.empty()) << tile;
      EXPECT_GE(rect.x, 0);
      EXPECT_GE(rect.y, 0);
      EXPECT_LE(rect.right(), e.width) << tile;
      EXPECT_LE(rect.bottom(), e.height) << tile;
      for (const auto& [other, otherRect] : cells) {
        if (other > tile) {
          EXPECT_FALSE(Overlap(rect, otherRect)) << tile << " and " << other;
        }
      }
    }
  }
  for (int layout = kLayout1x1; layout < kLayoutCount; ++layout) EXPECT_EQ(sizesSeen[layout], 2) << layout;
}

TEST(ViewLayoutGeometry, MultiViewPutsTheTargetLargeAndTheCentralViewInItsSlot) {
  // Line height 14: caption rows of 16; 800 x 600 gives slots of 100 x (50 + 16).
  LayoutGeometry g = LayoutTiles(kLayoutMultiView, 800, 600, 40, 14, 3);
  std::map<int, Rect> cells;
  for (const TilePlacement& p : g.tiles) cells[p.tile] = p.rect;
  ASSERT_EQ(cells.size(), 16u) << "tiles 0..15 whatever the scroll position";
  EXPECT_EQ(Str(cells[3]), Str(Rect{0, 0, 700, 528}));
  EXPECT_EQ(Str(cells[0]), Str(Rect{700, 0, 100, 66}));
  EXPECT_EQ(Str(cells[7]), Str(Rect{700, 462, 100, 66}));
  EXPECT_EQ(Str(cells[8]), Str(Rect{0, 528, 100, 66}));
  EXPECT_EQ(Str(cells[15]), Str(Rect{700, 528, 100, 66}));
  EXPECT_TRUE(g.centralShown);
  EXPECT_EQ(Str(g.central), Str(Rect{700, 198, 100, 66}));

  // A taller font takes more of the height for the caption rows; a bottom-row target.
  g = LayoutTiles(kLayoutMultiView, 1001, 757, 0, 20, 12);
  cells.clear();
  for (const TilePlacement& p : g.tiles) cells[p.tile] = p.rect;
  // cw = 125, ch = (757 - 198) / 9 = 62, slot height 84.
  EXPECT_EQ(Str(cells[12]), Str(Rect{0, 0, 875, 672}));
  EXPECT_EQ(Str(g.central), Str(Rect{500, 672, 125, 84}));
  EXPECT_EQ(Str(cells[1]), Str(Rect{875, 84, 125, 84}));

  // A target outside 0..15 leaves the main area empty.
  g = LayoutTiles(kLayoutMultiView, 800, 600, 0, 14, 40);
  EXPECT_FALSE(g.centralShown);
  EXPECT_EQ(g.tiles.size(), 16u);
}

TEST(ViewLayoutGeometry, ScrolledPagesStartAtThePositionAndSkipTilesPastTheLast) {
  std::map<int, Rect> cells = Cells(kLayout4x4, 800, 600, 90);
  ASSERT_EQ(cells.size(), 10u) << "tiles 90..99 only";
  EXPECT_EQ(cells.begin()->first, 90);
  EXPECT_EQ(Str(cells[90]), Str(Rect{0, 0, 200, 150}));
  EXPECT_EQ(Str(cells[99]), Str(Rect{200, 300, 200, 150}));
  cells = Cells(kLayout1x1, 800, 600, 7);
  ASSERT_EQ(cells.size(), 1u);
  EXPECT_EQ(Str(cells[7]), Str(Rect{0, 0, 800, 600}));
  EXPECT_TRUE(Cells(kLayout3x3, 0, 0).size() == 9u) << "an empty frame still places its tiles";
}

TEST(ViewLayoutChoice, SmallestLayoutHoldingTheCount) {
  const std::vector<std::pair<int, int>> cases = {
      {0, kLayout1x1},   {1, kLayout1x1},          {2, kLayout2x2},    {4, kLayout2x2},   {5, kLayout3x2},
      {6, kLayout3x2},   {7, kLayoutSevenViews},   {8, kLayout3x3},    {9, kLayout3x3},   {10, kLayoutTenViews},
      {11, kLayout4x3},  {12, kLayout4x3},         {13, kLayoutThirteenViews},             {14, kLayout4x4},
      {16, kLayout4x4},  {17, kLayout5x5},         {25, kLayout5x5},   {26, kLayout27Views}, {27, kLayout27Views},
      {28, kLayout6x6},  {36, kLayout6x6},         {37, kLayout7x7},   {49, kLayout7x7},  {50, kLayout8x8},
      {64, kLayout8x8},  {65, kLayout9x9},         {81, kLayout9x9},   {82, kLayout10x10}, {100, kLayout10x10},
      {1024, kLayout10x10}, {-3, kLayout1x1},
  };
  for (const auto& [count, layout] : cases) {
    EXPECT_EQ(LayoutForCount(count), layout) << count << " views";
  }
  EXPECT_EQ(LayoutName(LayoutForCount(5)), "3x2");
  EXPECT_EQ(LayoutName(LayoutForCount(13)), "Thirteen Views");
  EXPECT_EQ(LayoutName(LayoutForCount(50)), "8x8");
  EXPECT_EQ(LayoutName(99), "4x4") << "an unknown index reads as the initial layout";
  EXPECT_EQ(kLayoutCommandFirst + kLayoutSevenViews, 10030);
  EXPECT_EQ(kLayoutCommandFirst + kLayout8x8, 10040);
}

TEST(ViewLayoutScroll, StepsAndClampingFollowTheLayout) {
  // 2x2 with 10 views: a page is 4 tiles, a line 2; the last page starts at 10 - 4.
  ScrollRange r = ScrollRangeFor(kLayout2x2, 10);
  EXPECT_EQ(r.maximum, 9);
  EXPECT_EQ(r.maxPosition, 6);
  EXPECT_TRUE(r.scrolls());
  EXPECT_EQ(ScrollBy(0, ScrollRequest::kPageDown, r), 4);
  EXPECT_EQ(ScrollBy(4, ScrollRequest::kPageDown, r), 6) << "never past 10 - 4";
  EXPECT_EQ(ScrollBy(0, ScrollRequest::kLineDown, r), 2);
  EXPECT_EQ(ScrollBy(6, ScrollRequest::kLineDown, r), 6);
  EXPECT_EQ(ScrollBy(6, ScrollRequest::kPageUp, r), 2);
  EXPECT_EQ(ScrollBy(1, ScrollRequest::kLineUp, r), 0);
  EXPECT_EQ(ScrollBy(3, ScrollRequest::kBottom, r), 6);
  EXPECT_EQ(ScrollBy(3, ScrollRequest::kTop, r), 0);
  EXPECT_EQ(ScrollBy(0, ScrollRequest::kThumb, r, 5), 5);
  EXPECT_EQ(ScrollBy(0, ScrollRequest::kThumb, r, 50), 6);

  // Ctrl + wheel: whole notches of 120 move up by a line step each; the rest is kept.
  int remainder = 0;
  EXPECT_EQ(WheelSteps(remainder, 60), 0);
  EXPECT_EQ(WheelSteps(remainder, 60), 1);
  EXPECT_EQ(remainder, 0);
  EXPECT_EQ(WheelSteps(remainder, -250), -2);
  EXPECT_EQ(remainder, -10);
  EXPECT_EQ(ScrollByWheel(0, -2, r), 4);
  EXPECT_EQ(ScrollByWheel(4, 5, r), 0);

  // A page that holds every view does not scroll; neither does Multi-View.
  EXPECT_FALSE(ScrollRangeFor(kLayout4x4, 16).scrolls());
  EXPECT_EQ(ScrollBy(0, ScrollRequest::kPageDown, ScrollRangeFor(kLayout4x4, 16)), 0);
  EXPECT_FALSE(ScrollRangeFor(kLayoutMultiView, 60).scrolls());
  EXPECT_EQ(ScrollRangeFor(kLayout4x4, 17).maxPosition, 1);
  EXPECT_EQ(ScrollRangeFor(kLayout1x1, 500).maxPosition, 99) << "at most the 100 tiles count";
  EXPECT_EQ(ScrollRangeFor(kLayout27Views, 40).line, 3);
}

TEST(ViewLayoutDoubleClick, ZoomToOneAndBackAndMultiViewTargets) {
  LayoutState s;
  s.layout = kLayout4x4;
  s.position = 16;
  DoubleClickResult r = DoubleClickTile(s, 23);
  EXPECT_EQ(r.action, DoubleClickAction::kZoomToOne);
  EXPECT_FALSE(r.selectTargetView);
  EXPECT_EQ(s.layout, kLayout1x1);
  EXPECT_EQ(s.position, 23) << "the tile fills the frame";
  r = DoubleClickTile(s, 23);
  EXPECT_EQ(r.action, DoubleClickAction::kRestore);
  EXPECT_EQ(s.layout, kLayout4x4);
  EXPECT_EQ(s.position, 16) << "back at the old position";

  // Multi-View: a small tile becomes the large one; the large one zooms to 1x1, and the
  // next double click comes back to Multi-View.
  s = LayoutState{};
  s.layout = kLayoutMultiView;
  s.viewTarget = 0;
  r = DoubleClickTile(s, 5);
  EXPECT_EQ(r.action, DoubleClickAction::kNewTarget);
  EXPECT_EQ(r.oldTarget, 0);
  EXPECT_EQ(s.viewTarget, 5);
  EXPECT_EQ(s.layout, kLayoutMultiView);
  r = DoubleClickTile(s, 5);
  EXPECT_EQ(r.action, DoubleClickAction::kZoomToOne);
  EXPECT_TRUE(r.selectTargetView);
  EXPECT_EQ(s.layout, kLayout1x1);
  EXPECT_EQ(s.position, 5);
  r = DoubleClickTile(s, 5);
  EXPECT_EQ(r.action, DoubleClickAction::kRestore);
  EXPECT_EQ(s.layout, kLayoutMultiView);

  // A new frame's saved layout is 4x4 at 0: 1x1 chosen by a command goes back there.
  s = LayoutState{};
  s.layout = kLayout1x1;
  s.position = 3;
  DoubleClickTile(s, 3);
  EXPECT_EQ(s.layout, kLayout4x4);
  EXPECT_EQ(s.position, 0);
}

}  // namespace
}  // namespace velmora
