#include "control/view_layout.h"

#include <algorithm>

#include "app/paths.h"
#include "app/strings.h"

namespace velmora {

namespace {

constexpr std::array<LayoutInfo, kLayoutCount> kLayouts = {{
    {kMultiViewTiles, 0, 0},
    {1, 1, 1},
    {4, 2, 4},
    {6, 3, 6},
    {7, 2, 7},
    {9, 3, 9},
    {10, 2, 10},
    {12, 4, 12},
    {13, 5, 13},
    {16, 4, 16},
    {25, 5, 25},
    {27, 3, 27},
    {36, 6, 36},
    {49, 7, 49},
    {64, 8, 64},
    {81, 9, 81},
    {100, 10, 100},
}};

// Columns and rows of the plain grids; 0 for the others.
struct Grid {
  int columns = 0;
  int rows = 0;
};

Grid GridOf(int layout) {
  switch (layout) {
    case kLayout3x2: return {3, 2};
    case kLayout3x3: return {3, 3};
    case kLayout4x3: return {4, 3};
    case kLayout4x4: return {4, 4};
    case kLayout5x5: return {5, 5};
    case kLayout6x6: return {6, 6};
    case kLayout7x7: return {7, 7};
    case kLayout8x8: return {8, 8};
    case kLayout9x9: return {9, 9};
    case kLayout10x10: return {10, 10};
    default: return {};
  }
}

// Places the cells in order on tiles position, position + 1, ...; indices of 100 and up
// are skipped (their cells stay empty).
void Place(LayoutGeometry& g, int position, const std::vector<Rect>& cells) {
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const int tile = position + static_cast<int>(i);
    if (tile < 0 || tile >= viewSlotCount) continue;
    g.tiles.push_back(TilePlacement{tile, cells[i]});
  }
}

// A rows x columns block of equal cells from (x, y), row by row.
void AddBlock(std::vector<Rect>& cells, int x, int y, int columns, int rows, int w, int h) {
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c) cells.push_back(Rect{x + c * w, y + r * h, w, h});
}

LayoutGeometry MultiView(int width, int height, int textLineHeight, int viewTarget) {
  LayoutGeometry g;
  const int line = textLineHeight + 2;
  const int cw = width / 8;
  const int ch = (height - 9 * line) / 9;
  const int slotHeight = ch + line;
  for (int tile = 0; tile < kMultiViewTiles; ++tile) {
    const Rect slot = tile < 8 ? Rect{7 * cw, tile * slotHeight, cw, slotHeight}
                               : Rect{(tile - 8) * cw, 8 * slotHeight, cw, slotHeight};
    if (tile == viewTarget) {
      g.tiles.push_back(TilePlacement{tile, Rect{0, 0, 7 * cw, 8 * slotHeight}});
      g.centralShown = true;
      g.central = slot;
    } else {
      g.tiles.push_back(TilePlacement{tile, slot});
    }
  }
  return g;
}

}  // namespace

bool IsValidLayout(int layout) { return layout >= 0 && layout < kLayoutCount; }

const LayoutInfo& LayoutInfoOf(int layout) {
  return kLayouts[static_cast<std::size_t>(IsValidLayout(layout) ? layout : kInitialLayout)];
}

const std::string& LayoutName(int layout) {
  return StringText(kLayoutCommandFirst + (IsValidLayout(layout) ? layout : kInitialLayout));
}

int LayoutForCount(int count) {
  if (count <= 1) return kLayout1x1;
  // The smallest layout other than Multi-View whose page holds the count; the table is in
  // rising order of tiles per page.
  for (int layout = kLayout1x1; layout < kLayoutCount; ++layout) {
    if (kLayouts[static_cast<std::size_t>(layout)].tilesPerPage >= count) return layout;
  }
  return kLayout10x10;
}

LayoutGeometry LayoutTiles(int layout, int width, int height, int scrollPosition, int textLineHeight,
                           int viewTarget) {
  if (!IsValidLayout(layout)) layout = kInitialLayout;
  const int w = std::max(width, 0);
  const int h = std::max(height, 0);
  if (layout == kLayoutMultiView) return MultiView(w, h, textLineHeight, viewTarget);

  LayoutGeometry g;
  const int w2 = (w / 4) * 2;
  const int h2 = (h / 4) * 2;
  std::vector<Rect> cells;
  switch (layout) {
    case kLayout1x1:
      cells.push_back(Rect{0, 0, w & ~3, h & ~3});
      break;
    case kLayout2x2:
      AddBlock(cells, 0, 0, 2, 2, w2, h2);
      break;
    case kLayoutSevenViews:
      cells.push_back(Rect{0, 0, w2, h2});
      cells.push_back(Rect{w2, 0, w2, h2});
      cells.push_back(Rect{0, h2, w2, h2});
      AddBlock(cells, w2, h2, 2, 2, w2 / 2, h2 / 2);
      break;
    case kLayoutTenViews:
      cells.push_back(Rect{0, 0, w2, h2});
      cells.push_back(Rect{w2, 0, w2, h2});
      AddBlock(cells, 0, h2, 4, 2, w2 / 2, h2 / 2);
      break;
    case kLayoutThirteenViews:
      cells.push_back(Rect{0, 0, w2, h2});
      AddBlock(cells, w2, 0, 2, 2, w2 / 2, h2 / 2);
      AddBlock(cells, 0, h2, 4, 2, w2 / 2, h2 / 2);
      break;
    case kLayout27Views: {
      const int small = h / 11;
      const int bigWidth = (w / 9) * 3;
      const int bigHeight = (h - 2 * small) / 3;
      AddBlock(cells, 0, 0, 3, 3, bigWidth, bigHeight);
      AddBlock(cells, 0, h - 2 * small, 9, 1, w / 9, small);
      AddBlock(cells, 0, h - small, 9, 1, w / 9, small);
      break;
    }
    default: {
      const Grid grid = GridOf(layout);
      AddBlock(cells, 0, 0, grid.columns, grid.rows, w / grid.columns, h / grid.rows);
      break;
    }
  }
  Place(g, scrollPosition, cells);
  return g;
}

ScrollRange ScrollRangeFor(int layout, int count) {
  ScrollRange range;
  const LayoutInfo& info = LayoutInfoOf(layout);
  const int n = info.tilesPerPage;
  const int views = std::clamp(count, 0, viewSlotCount);
  range.page = info.pageStep;
  range.line = info.lineStep;
  // Multi-View shows its sixteen tiles whatever the position: it never scrolls.
  if (layout != kLayoutMultiView && n != 0 && n < views) range.maximum = views - 1;
  // The last position shows a full page: maximum - page + 1 (a page of 0 is no page).
  range.maxPosition = std::max(0, range.maximum - std::max(range.page - 1, 0));
  return range;
}

int ClampScroll(int position, const ScrollRange& range) { return std::clamp(position, 0, range.maxPosition); }

int ScrollBy(int position, ScrollRequest request, const ScrollRange& range, int thumb) {
  int next = position;
  switch (request) {
    case ScrollRequest::kLineUp: next = position - range.line; break;
    case ScrollRequest::kLineDown: next = position + range.line; break;
    case ScrollRequest::kPageUp: next = position - range.page; break;
    case ScrollRequest::kPageDown: next = position + range.page; break;
    case ScrollRequest::kTop: next = 0; break;
    case ScrollRequest::kBottom: next = range.maxPosition; break;
    case ScrollRequest::kThumb: next = thumb; break;
  }
  return ClampScroll(next, range);
}

int WheelSteps(int& remainder, int delta) {
  remainder += delta;
  const int steps = remainder / 120;
  remainder -= steps * 120;
  return steps;
}

int ScrollByWheel(int position, int steps, const ScrollRange& range) {
  return ClampScroll(position - steps * range.line, range);
}

DoubleClickResult DoubleClickTile(LayoutState& state, int tile) {
  DoubleClickResult result;
  if (state.layout == kLayoutMultiView) {
    if (tile != state.viewTarget) {
      result.action = DoubleClickAction::kNewTarget;
      result.oldTarget = state.viewTarget;
      state.viewTarget = tile;
      return result;
    }
    state.savedLayout = kLayoutMultiView;
    state.layout = kLayout1x1;
    state.position = tile;
    result.action = DoubleClickAction::kZoomToOne;
    result.selectTargetView = true;
    return result;
  }
  if (state.layout == kLayout1x1) {
    state.layout = state.savedLayout;
    state.position = state.savedPosition;
    result.action = DoubleClickAction::kRestore;
    return result;
  }
  state.savedLayout = state.layout;
  state.savedPosition = state.position;
  state.layout = kLayout1x1;
  state.position = tile;
  result.action = DoubleClickAction::kZoomToOne;
  return result;
}

}  // namespace velmora
