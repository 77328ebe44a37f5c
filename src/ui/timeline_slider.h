// The timeline slider of the Playback Controls pane: a slider over the timeline columns
// (0 to the column count) drawn by hand. Its channel is a sunken well filled with the
// window colour and the timeline graph (512 x 72, one row per playback view) stretched
// so that the graph's columns lie under the thumb positions of the same columns. A
// Shift-drag selection shows as an inverted strip; the thumb is an inverted line with a
// small marker under it. A click anywhere on the track moves the thumb straight to the
// column under the mouse. While a new feed is being built, "Building view, please
// wait..." stands in the channel instead of the graph.
//
// The slider keeps no playback state of its own: it reports the operator's moves and
// shows what it is given.
#pragma once

#include <QImage>
#include <QWidget>

namespace velmora::ui {

class TimelineSlider : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kHeight = 98;
  static constexpr int kThumbWidth = 11;
  // The graph bitmap's size and where its bars lie (x 3 for the first column, 509 for
  // the last), as the playback thread draws it.
  static constexpr int kGraphWidth = 512;
  static constexpr int kGraphHeight = 72;
  static constexpr int kGraphBarLeft = 3;
  static constexpr int kGraphBarWidth = 506;

  explicit TimelineSlider(QWidget* parent = nullptr);

  // Range 0..maximum (at least 1); ticks every maximum / 16 columns, a page of
  // maximum / 128 columns for the keyboard.
  void setMaximum(int maximum);
  int maximum() const { return maximum_; }
  void setValue(int column);
  int value() const { return value_; }
  // The selection, drawn inverted; start == end (or negative) for none.
  void setSelection(int start, int end);
  int selectionStart() const { return selStart_; }
  int selectionEnd() const { return selEnd_; }
  // The timeline graph; a null image leaves the channel empty.
  void setGraph(const QImage& graph);
  // "Building view, please wait..." in place of the graph until the next graph.
  void setBuilding(bool building);
  bool building() const { return building_; }

  int pageStep() const { return std::max(1, maximum_ / 128); }
  int tickStep() const { return std::max(1, maximum_ / 16); }

  // Geometry, in widget pixels.
  QRect thumbRect() const;
  QRect channelRect() const;  // the sunken well, edge included
  QRect innerRect() const;    // inside the edge
  int columnX(int column) const;
  int columnAt(int x) const;
  // Where the graph is drawn (reaching a little beyond the inner area, which clips it).
  QRectF graphRect() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  // The operator moved the thumb (mouse or keys); shift: the selection grows.
  void moved(int column, bool shift);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void MoveTo(int column, bool shift);
  // The left end of thumb positions and the distance to the right end.
  double PositionLeft() const;
  double PositionWidth() const;

  int maximum_ = 992;
  int value_ = 0;
  int selStart_ = -1;
  int selEnd_ = -1;
  bool building_ = false;
  bool pressed_ = false;
  QImage graph_;
};

}  // namespace velmora::ui
