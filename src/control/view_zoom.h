// A tile's picture arithmetic without widgets: where the frame is drawn in the tile (the
// scale rule with its power-of-two steps when stretching is off), whether it is scaled
// smoothly, and the zoom rectangle moved by the wheel, the keys and the mouse.
#pragma once

#include "media/image.h"

namespace velmora {

// Where a whole frame is drawn inside a tile's inner rectangle.
struct ImagePlacement {
  double scale = 0;  // the factor applied to the frame
  Rect target;       // relative to the inner rectangle's top-left corner
};

// The scale factor for a frame of imageWidth x imageHeight in innerWidth x innerHeight:
// the largest that fits, snapped down to 1/4, 1/2, 1, 2, 4 or 8 unless stretch is set
// (factors below 1/4 or from 16 up are kept). The margins left over are made even so the
// frame sits centred.
ImagePlacement PlaceImage(int innerWidth, int innerHeight, int imageWidth, int imageHeight, bool stretch);
double SnapScale(double scale);
// Smooth scaling when shrinking (the inner area is narrower and lower than the frame)
// and resampleSmall is set, or when not shrinking and resampleLarge is set.
bool UseSmoothScaling(int innerWidth, int innerHeight, int imageWidth, int imageHeight, bool resampleSmall,
                      bool resampleLarge);

// Zoom state of a tile: the rectangle of frame pixels shown over the whole tile.
struct ZoomState {
  bool zoomed = false;
  Rect rect;
};

// The frame and tile sizes the zoom works with.
struct ZoomFrame {
  int imageWidth = 0;
  int imageHeight = 0;
  int clientWidth = 0;
  int clientHeight = 0;
  bool usable() const { return imageWidth > 0 && imageHeight > 0 && clientWidth > 0 && clientHeight > 0; }
};

// Moves r back inside the frame: left edge first, then right, then top, then bottom.
Rect ShiftInside(Rect r, int imageWidth, int imageHeight);

// Wheel at client point (x, y): delta above 0 zooms in (first to the largest centred part
// with the tile's shape, then by 3/4 around the point, never below 1/48 of the frame or
// 9 x 9 pixels), below 0 zooms out by 4/3 and ends the zoom once the rectangle would be
// wider or taller than the frame. Returns true when the state changed.
bool ZoomAt(ZoomState& zoom, const ZoomFrame& frame, int x, int y, int delta);

enum class ZoomKey { kPageUp, kPageDown, kHome, kLeft, kRight, kUp, kDown };
// Page Up and Down zoom around the tile's centre, Home ends the zoom, the arrows move the
// rectangle by half its width or height. Returns true when the state changed.
bool ZoomByKey(ZoomState& zoom, const ZoomFrame& frame, ZoomKey key);

// A drag by (dx, dy) client pixels moves the rectangle against the mouse, scaled to frame
// pixels. Returns true when the state changed.
bool DragZoom(ZoomState& zoom, const ZoomFrame& frame, int dx, int dy);

}  // namespace velmora
