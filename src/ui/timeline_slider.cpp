#include "ui/timeline_slider.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <qdrawutil.h>

#include <algorithm>
#include <cmath>

#include "app/strings.h"

namespace velmora::ui {

namespace {

constexpr int kSideMargin = 4;   // between the widget's edge and the channel
constexpr int kThumbTop = 2;     // the thumb's top; its length is the height - 8
constexpr int kEdgeWidth = 2;    // the sunken edge
constexpr int kTickLength = 3;
constexpr int kMarkerWidth = 5;
constexpr int kMarkerHeight = 8;

}  // namespace

TimelineSlider::TimelineSlider(QWidget* parent) : QWidget(parent) {
  setObjectName("timelineSlider");
  setFixedHeight(kHeight);
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize TimelineSlider::sizeHint() const { return {600, kHeight}; }
QSize TimelineSlider::minimumSizeHint() const { return {160, kHeight}; }

void TimelineSlider::setMaximum(int maximum) {
  maximum_ = std::max(1, maximum);
  value_ = std::clamp(value_, 0, maximum_);
  update();
}

void TimelineSlider::setValue(int column) {
  column = std::clamp(column, 0, maximum_);
  if (column == value_) return;
  value_ = column;
  update();
}

void TimelineSlider::setSelection(int start, int end) {
  if (start < 0 || end <= start) start = end = -1;
  if (start == selStart_ && end == selEnd_) return;
  selStart_ = start;
  selEnd_ = end;
  update();
}

void TimelineSlider::setGraph(const QImage& graph) {
  graph_ = graph;
  if (!graph.isNull()) building_ = false;
  update();
}

void TimelineSlider::setBuilding(bool building) {
  building_ = building;
  update();
}

QRect TimelineSlider::thumbRect() const {
  const int x = columnX(value_);
  return {x - kThumbWidth / 2, kThumbTop, kThumbWidth, height() - 8};
}

QRect TimelineSlider::channelRect() const {
  const int top = kThumbTop;
  const int bottom = kThumbTop + (height() - 8) - 1 - 2;  // 2 pixels above the thumb's bottom
  return QRect(QPoint(kSideMargin, top), QPoint(width() - 1 - kSideMargin, bottom));
}

QRect TimelineSlider::innerRect() const { return channelRect().adjusted(kEdgeWidth, kEdgeWidth, -kEdgeWidth, -kEdgeWidth); }

double TimelineSlider::PositionLeft() const { return innerRect().left() + kThumbWidth / 2; }

double TimelineSlider::PositionWidth() const {
  return std::max(1.0, static_cast<double>(innerRect().width() - 1 - 2 * (kThumbWidth / 2)));
}

int TimelineSlider::columnX(int column) const {
  column = std::clamp(column, 0, maximum_);
  return static_cast<int>(std::lround(PositionLeft() + PositionWidth() * column / maximum_));
}

int TimelineSlider::columnAt(int x) const {
  const double fraction = (x - PositionLeft()) / PositionWidth();
  return std::clamp(static_cast<int>(std::lround(fraction * maximum_)), 0, maximum_);
}

QRectF TimelineSlider::graphRect() const {
  // The graph's bar area (x 3 to 509 for columns 0 to the count) is laid over the thumb
  // positions of the same columns; the rest of the bitmap reaches a little beyond.
  const double scale = PositionWidth() / kGraphBarWidth;
  const QRect inner = innerRect();
  return QRectF(PositionLeft() - kGraphBarLeft * scale, inner.top(), kGraphWidth * scale, inner.height());
}

void TimelineSlider::paintEvent(QPaintEvent*) {
  // Drawn into an image first: the inverting raster operations need a raster target.
  QImage canvas(size(), QImage::Format_RGB32);
  const QPalette& pal = palette();
  canvas.fill(pal.color(QPalette::Window));
  QPainter p(&canvas);

  const QRect channel = channelRect();
  const QRect inner = innerRect();
  qDrawShadePanel(&p, channel, pal, true, kEdgeWidth);
  // The well has the colour of a window's content, as the graph's own background does.
  p.fillRect(inner, pal.color(QPalette::Base));

  p.save();
  p.setClipRect(inner);
  if (building_) {
    QFont big = font();
    big.setPixelSize(std::min(38, std::max(8, inner.height() - 8)));
    p.setFont(big);
    p.setPen(pal.color(QPalette::Text));
    p.drawText(inner, Qt::AlignCenter | Qt::TextSingleLine, QString::fromStdString(StringText(102)));
  } else if (!graph_.isNull()) {
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.drawImage(graphRect(), graph_);
  }
  p.restore();

  // The selection: columns mapped onto the inner area narrowed by half the thumb on each
  // side, the strip one pixel wider on each side, inverted over the inner area's height.
  if (selStart_ >= 0 && selEnd_ > selStart_) {
    const int a = columnX(std::clamp(selStart_, 0, maximum_));
    const int b = columnX(std::clamp(selEnd_, 0, maximum_));
    const QRect strip(QPoint(a - 1, inner.top()), QPoint(b + 1, inner.bottom()));
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    p.fillRect(strip.intersected(inner), Qt::white);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
  }

  // Ticks under the channel: every count / 16 columns, and the last column.
  p.setPen(pal.color(QPalette::WindowText));
  const int tickTop = thumbRect().bottom() + 2;
  for (int c = 0; c <= maximum_; c += tickStep()) {
    const int x = columnX(c);
    p.drawLine(x, tickTop, x, tickTop + kTickLength - 1);
  }
  const int lastX = columnX(maximum_);
  p.drawLine(lastX, tickTop, lastX, tickTop + kTickLength - 1);

  if (isEnabled()) {
    const QRect thumb = thumbRect();
    const int line = thumb.center().x();
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    p.fillRect(QRect(line, thumb.top(), 1, thumb.height()), Qt::white);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // The marker: a small upward arrow, its left edge 2 pixels left of the line and its
    // top 8 pixels above the thumb's bottom.
    const int left = line - 2;
    const int top = thumb.bottom() + 1 - kMarkerHeight;
    QPolygon arrow;
    arrow << QPoint(left + kMarkerWidth / 2, top) << QPoint(left + kMarkerWidth - 1, top + 2)
          << QPoint(left + kMarkerWidth - 1, top + kMarkerHeight - 1) << QPoint(left, top + kMarkerHeight - 1)
          << QPoint(left, top + 2);
    p.setPen(pal.color(QPalette::Window));
    p.setBrush(pal.color(hasFocus() ? QPalette::Highlight : QPalette::WindowText));
    p.drawPolygon(arrow);
  }
  p.end();

  QPainter out(this);
  out.drawImage(0, 0, canvas);
}

void TimelineSlider::MoveTo(int column, bool shift) {
  column = std::clamp(column, 0, maximum_);
  value_ = column;
  update();
  emit moved(column, shift);
}

void TimelineSlider::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !isEnabled()) {
    QWidget::mousePressEvent(event);
    return;
  }
  pressed_ = true;
  MoveTo(columnAt(static_cast<int>(event->position().x())), event->modifiers() & Qt::ShiftModifier);
}

void TimelineSlider::mouseMoveEvent(QMouseEvent* event) {
  if (!pressed_) return;
  const int column = columnAt(static_cast<int>(event->position().x()));
  if (column != value_) MoveTo(column, event->modifiers() & Qt::ShiftModifier);
}

void TimelineSlider::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) pressed_ = false;
  QWidget::mouseReleaseEvent(event);
}

void TimelineSlider::keyPressEvent(QKeyEvent* event) {
  const bool shift = event->modifiers() & Qt::ShiftModifier;
  int column = value_;
  switch (event->key()) {
    case Qt::Key_Left: case Qt::Key_Up: column -= 1; break;
    case Qt::Key_Right: case Qt::Key_Down: column += 1; break;
    case Qt::Key_PageUp: column -= pageStep(); break;
    case Qt::Key_PageDown: column += pageStep(); break;
    case Qt::Key_Home: column = 0; break;
    case Qt::Key_End: column = maximum_; break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  if (isEnabled()) MoveTo(column, shift);
}

}  // namespace velmora::ui
