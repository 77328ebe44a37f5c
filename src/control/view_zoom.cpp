#include "control/view_zoom.h"

#include <algorithm>

namespace velmora {

double SnapScale(double scale) {
  if (scale < 0.25 || scale >= 16) return scale;
  if (scale < 0.5) return 0.25;
  if (scale < 1) return 0.5;
  if (scale < 2) return 1;
  if (scale < 4) return 2;
  if (scale < 8) return 4;
  return 8;
}

ImagePlacement PlaceImage(int innerWidth, int innerHeight, int imageWidth, int imageHeight, bool stretch) {
  ImagePlacement p;
  if (innerWidth <= 0 || innerHeight <= 0 || imageWidth <= 0 || imageHeight <= 0) return p;
  double s = std::min(static_cast<double>(innerWidth) / imageWidth, static_cast<double>(innerHeight) / imageHeight);
  if (!stretch) s = SnapScale(s);
  p.scale = s;
  // Margins truncated, then made even; a frame scaled past the area (never with the
  // largest fitting factor) gets no negative margin.
  const int marginX = std::max(0, static_cast<int>(innerWidth - imageWidth * s)) & ~1;
  const int marginY = std::max(0, static_cast<int>(innerHeight - imageHeight * s)) & ~1;
  p.target = Rect{marginX / 2, marginY / 2, innerWidth - marginX, innerHeight - marginY};
  return p;
}

bool UseSmoothScaling(int innerWidth, int innerHeight, int imageWidth, int imageHeight, bool resampleSmall,
                      bool resampleLarge) {
  const bool shrinking = innerWidth < imageWidth && innerHeight < imageHeight;
  return shrinking ? resampleSmall : resampleLarge;
}

Rect ShiftInside(Rect r, int imageWidth, int imageHeight) {
  if (r.x < 0) r.x = 0;
  if (r.right() > imageWidth) r.x = imageWidth - r.width;
  if (r.y < 0) r.y = 0;
  if (r.bottom() > imageHeight) r.y = imageHeight - r.height;
  return r;
}

namespace {

// Client point to frame pixel through the zoom rectangle.
void MapPoint(const ZoomState& zoom, const ZoomFrame& f, int x, int y, int& ix, int& iy) {
  ix = zoom.rect.x + static_cast<int>(static_cast<long long>(x) * zoom.rect.width / f.clientWidth);
  iy = zoom.rect.y + static_cast<int>(static_cast<long long>(y) * zoom.rect.height / f.clientHeight);
}

Rect CentredOn(int cx, int cy, int width, int height, const ZoomFrame& f) {
  return ShiftInside(Rect{cx - width / 2, cy - height / 2, width, height}, f.imageWidth, f.imageHeight);
}

}  // namespace

bool ZoomAt(ZoomState& zoom, const ZoomFrame& f, int x, int y, int delta) {
  if (!f.usable() || delta == 0) return false;
  if (delta > 0 && !zoom.zoomed) {
    // The largest centred part with the tile's shape.
    Rect r{0, 0, f.imageWidth, f.imageHeight};
    const long long imageByClient = static_cast<long long>(f.imageWidth) * f.clientHeight;
    const long long clientByImage = static_cast<long long>(f.clientWidth) * f.imageHeight;
    if (imageByClient > clientByImage) {
      r.width = static_cast<int>(clientByImage / f.clientHeight);
      r.x = (f.imageWidth - r.width) / 2;
    } else {
      r.height = static_cast<int>(static_cast<long long>(f.imageWidth) * f.clientHeight / f.clientWidth);
      r.y = (f.imageHeight - r.height) / 2;
    }
    if (r.empty()) return false;
    zoom.zoomed = true;
    zoom.rect = r;
    return true;
  }
  if (!zoom.zoomed) return false;
  int ix = 0, iy = 0;
  MapPoint(zoom, f, x, y, ix, iy);
  if (delta > 0) {
    const int w = zoom.rect.width * 3 / 4;
    const int h = zoom.rect.height * 3 / 4;
    if (w < f.imageWidth / 48 || h < f.imageHeight / 48 || w < 9 || h <= 8) return false;
    zoom.rect = CentredOn(ix, iy, w, h, f);
    return true;
  }
  const int w = zoom.rect.width * 4 / 3;
  const int h = zoom.rect.height * 4 / 3;
  if (w > f.imageWidth || h > f.imageHeight) {
    zoom = ZoomState{};
    return true;
  }
  zoom.rect = CentredOn(ix, iy, w, h, f);
  return true;
}

bool ZoomByKey(ZoomState& zoom, const ZoomFrame& f, ZoomKey key) {
  switch (key) {
    case ZoomKey::kPageUp: return ZoomAt(zoom, f, f.clientWidth / 2, f.clientHeight / 2, 120);
    case ZoomKey::kPageDown: return ZoomAt(zoom, f, f.clientWidth / 2, f.clientHeight / 2, -120);
    case ZoomKey::kHome: {
      const bool was = zoom.zoomed;
      zoom = ZoomState{};
      return was;
    }
    default: break;
  }
  if (!zoom.zoomed || !f.usable()) return false;
  Rect r = zoom.rect;
  switch (key) {
    case ZoomKey::kLeft: r.x -= r.width / 2; break;
    case ZoomKey::kRight: r.x += r.width / 2; break;
    case ZoomKey::kUp: r.y -= r.height / 2; break;
    case ZoomKey::kDown: r.y += r.height / 2; break;
    default: break;
  }
  r = ShiftInside(r, f.imageWidth, f.imageHeight);
  if (r.x == zoom.rect.x && r.y == zoom.rect.y) return false;
  zoom.rect = r;
  return true;
}

bool DragZoom(ZoomState& zoom, const ZoomFrame& f, int dx, int dy) {
  if (!zoom.zoomed || !f.usable()) return false;
  Rect r = zoom.rect;
  r.x -= static_cast<int>(static_cast<long long>(dx) * zoom.rect.width / f.clientWidth);
  r.y -= static_cast<int>(static_cast<long long>(dy) * zoom.rect.height / f.clientHeight);
  r = ShiftInside(r, f.imageWidth, f.imageHeight);
  if (r.x == zoom.rect.x && r.y == zoom.rect.y) return false;
  zoom.rect = r;
  return true;
}

}  // namespace velmora
