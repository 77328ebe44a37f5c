// The view grid's layouts without widgets: the seventeen layouts as tile rectangles for a
// frame size, the layout that holds a number of views, the scroll range and its steps,
// and what a double click on a tile does to the layout. The view frame applies the
// results to its tile windows.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "media/image.h"

namespace velmora {

// Layout indices; the menu command of a layout is kLayoutCommandFirst + index.
enum LayoutIndex : int {
  kLayoutMultiView = 0,
  kLayout1x1 = 1,
  kLayout2x2 = 2,
  kLayout3x2 = 3,
  kLayoutSevenViews = 4,
  kLayout3x3 = 5,
  kLayoutTenViews = 6,
  kLayout4x3 = 7,
  kLayoutThirteenViews = 8,
  kLayout4x4 = 9,
  kLayout5x5 = 10,
  kLayout27Views = 11,
  kLayout6x6 = 12,
  kLayout7x7 = 13,
  kLayout8x8 = 14,
  kLayout9x9 = 15,
  kLayout10x10 = 16,
};
constexpr int kLayoutCount = 17;
constexpr int kLayoutCommandFirst = 10026;
constexpr int kLayoutCommandLast = kLayoutCommandFirst + kLayoutCount - 1;
// A new frame starts in 4x4.
constexpr int kInitialLayout = kLayout4x4;
// Multi-View shows tiles 0..15 whatever the scroll position.
constexpr int kMultiViewTiles = 16;

struct LayoutInfo {
  int tilesPerPage;
  int lineStep;
  int pageStep;
};

bool IsValidLayout(int layout);
// The table row of a layout; an index outside 0..16 reads as 4x4.
const LayoutInfo& LayoutInfoOf(int layout);
// The layout's name: string kLayoutCommandFirst + index ("Multi-View" ... "10x10").
const std::string& LayoutName(int layout);
// The smallest layout that holds count views (0 and 1: 1x1; above 81: 10x10).
int LayoutForCount(int count);

struct TilePlacement {
  int tile = 0;
  Rect rect;
};

struct LayoutGeometry {
  std::vector<TilePlacement> tiles;  // the tiles shown, in placement order
  bool centralShown = false;         // Multi-View: "(Central View)" in the target's slot
  Rect central;
};

// The tiles of a layout in a client area of width x height with the first tile at
// scrollPosition (ignored by Multi-View). textLineHeight is the height of a line of the
// frame's font (Multi-View's caption rows); viewTarget the tile shown large in
// Multi-View. Tile indices of 100 or more are skipped.
LayoutGeometry LayoutTiles(int layout, int width, int height, int scrollPosition, int textLineHeight,
                           int viewTarget);

// The vertical scroll bar of a layout for the number of enabled views found.
struct ScrollRange {
  int maximum = 0;      // count - 1 when a page does not hold them all, else 0
  int page = 0;         // the layout's page step
  int line = 0;         // the layout's line step
  int maxPosition = 0;  // maximum - page + 1, at least 0 (maximum for a page of 0)
  bool scrolls() const { return maxPosition > 0; }
};
ScrollRange ScrollRangeFor(int layout, int count);
int ClampScroll(int position, const ScrollRange& range);

enum class ScrollRequest { kLineUp, kLineDown, kPageUp, kPageDown, kTop, kBottom, kThumb };
// The new, clamped position after a scroll request (thumb: the thumb's position).
int ScrollBy(int position, ScrollRequest request, const ScrollRange& range, int thumb = 0);
// Ctrl + wheel: adds delta to remainder and returns the whole steps of 120 taken (a
// positive delta gives positive steps); the rest stays in remainder.
int WheelSteps(int& remainder, int delta);
// The position after k wheel steps: up by k line steps, clamped.
int ScrollByWheel(int position, int steps, const ScrollRange& range);

// The layout state that a double click changes.
struct LayoutState {
  int layout = kInitialLayout;
  int position = 0;  // scroll position: the first tile shown
  int savedLayout = kInitialLayout;
  int savedPosition = 0;
  int viewTarget = 0;  // Multi-View's large tile
};

enum class DoubleClickAction {
  kNewTarget,   // Multi-View: the tile became the large one
  kZoomToOne,   // the tile alone, in 1x1
  kRestore,     // back from 1x1 to the saved layout and position
};
struct DoubleClickResult {
  DoubleClickAction action = DoubleClickAction::kZoomToOne;
  int oldTarget = -1;             // kNewTarget: the tile that was large before
  bool selectTargetView = false;  // the frame selects the target's view (Multi-View to 1x1)
};
DoubleClickResult DoubleClickTile(LayoutState& state, int tile);

}  // namespace velmora
