// One tile of the view grid: paints what its view slot holds (the frame scaled into the
// tile, the playback border, the selection corners, the status text and the caption bar)
// and turns the mouse and keys over it into zoom and pan. Workers never touch a tile:
// they store into the slot, and the frame repaints dirty tiles from its timer.
#pragma once

#include <QFont>
#include <QImage>
#include <QPoint>
#include <QWidget>

#include <memory>

#include "control/view_zoom.h"
#include "live/view_slot.h"

namespace velmora::ui {

class ViewFrame;

// A QImage over a frame's pixels without copying them, for as long as the frame lives.
// The rows are bottom-up in memory, so the QImage holds the picture upside down and
// flipped() is set: the painter flips it back in its transform. 8-bit frames with a
// colour table other than the grey ramp are the one case that is converted.
struct FrameView {
  QImage image;
  bool flipped = false;
};
FrameView ViewOfFrame(const Image& frame);

// Draws the rectangle `source` (top-down frame pixels) of the frame into `target`.
void DrawFrame(QPainter& painter, const FrameView& frame, const QRectF& target, const QRectF& source);

class ViewTile : public QWidget {
  Q_OBJECT

 public:
  // index: the view slot shown (0..99); -1 for the "(Central View)" placeholder, which
  // always paints as an empty tile.
  ViewTile(ViewFrame* frame, int index, QWidget* parent);

  int index() const { return index_; }
  bool central() const { return index_ < 0; }
  // The slot shown, or null for the placeholder.
  ViewSlot* slot() const;

  // Forgets the frame decoded at paint time (the slot was cleared).
  void DropDecoded();
  // Tile keys: zoom and pan. True when the key was one of them.
  bool HandleTileKey(int key);
  // Zoom around a point of the tile by a wheel delta.
  void ZoomAtPoint(QPoint at, int delta);
  // Size of the frame shown (0 x 0 without one).
  QSize FrameSize() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;

 private:
  // The frame to draw from a snapshot: the decoded image, or the JPEG bytes decoded here
  // once per holder when a frame arrived undecoded.
  const Image* FrameOf(const ViewSlotState& state);
  ZoomFrame ZoomFrameOf(const ViewSlotState& state);
  void ApplyZoom(const ZoomState& zoom);

  void PaintCaptionBar(QPainter& painter, const QRect& inner, const ViewSlotState& state, const Image* frame);

  ViewFrame* frame_;
  int index_;
  QFont statusFont_;
  bool dragging_ = false;
  QPoint dragPoint_;
  // Frame decoded at paint time, and the holder it came from.
  std::shared_ptr<const ImageHolder> decodedFrom_;
  std::unique_ptr<Image> decoded_;
};

}  // namespace velmora::ui
