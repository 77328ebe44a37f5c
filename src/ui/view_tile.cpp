#include "ui/view_tile.h"

#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <QWheelEvent>

#include <algorithm>

#include "app/log.h"
#include "app/settings.h"
#include "media/jpeg.h"
#include "model/group_record.h"
#include "ui/view_frame.h"

namespace velmora::ui {

namespace {

bool IsGreyRamp(const Image& frame) {
  const auto& table = frame.colourTable();
  for (uint32_t i = 0; i < 256; ++i) {
    if (table[i] != ((i << 16) | (i << 8) | i)) return false;
  }
  return true;
}

QColor ToQColor(Colour c) { return QColor(c.r, c.g, c.b); }

// Filled shape with a one-pixel outline.
void FillOutlined(QPainter& painter, const QPolygon& shape, const QColor& fill, const QColor& outline) {
  painter.setPen(QPen(outline, 1));
  painter.setBrush(fill);
  painter.drawPolygon(shape);
}

}  // namespace

FrameView ViewOfFrame(const Image& frame) {
  FrameView view;
  if (!frame.valid()) return view;
  // bits() is the bottom row: a QImage over it with the positive stride is the picture
  // upside down, which the painter turns back.
  const uchar* bits = frame.bits();
  const int w = frame.width();
  const int h = frame.height();
  const qsizetype stride = frame.stride();
  switch (frame.bitsPerPixel()) {
    case 24:
      view.image = QImage(bits, w, h, stride, QImage::Format_BGR888);
      break;
    case 32:
      view.image = QImage(bits, w, h, stride, frame.hasAlpha() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
      break;
    case 8:
      if (IsGreyRamp(frame) || frame.colourCount() == 0) {
        view.image = QImage(bits, w, h, stride, QImage::Format_Grayscale8);
      } else {
        QImage indexed(bits, w, h, stride, QImage::Format_Indexed8);
        QList<QRgb> table;
        table.reserve(256);
        for (uint32_t entry : frame.colourTable()) table.push_back(0xFF000000u | entry);
        indexed.setColorTable(table);  // detaches: the one copied case
        view.image = indexed;
      }
      break;
    default:
      return view;
  }
  view.flipped = true;
  return view;
}

void DrawFrame(QPainter& painter, const FrameView& frame, const QRectF& target, const QRectF& source) {
  if (frame.image.isNull()) return;
  if (!frame.flipped) {
    painter.drawImage(target, frame.image, source);
    return;
  }
  // Row y of the picture is row (height - 1 - y) of the QImage: mirror the source
  // rectangle and draw it through a vertical flip.
  const QRectF mirrored(source.x(), frame.image.height() - source.y() - source.height(), source.width(),
                        source.height());
  painter.save();
  painter.translate(target.x(), target.y() + target.height());
  painter.scale(1, -1);
  painter.drawImage(QRectF(0, 0, target.width(), target.height()), frame.image, mirrored);
  painter.restore();
}

ViewTile::ViewTile(ViewFrame* frame, int index, QWidget* parent)
    : QWidget(parent), frame_(frame), index_(index) {
  setAttribute(Qt::WA_OpaquePaintEvent);  // every pixel is painted
  setFocusPolicy(index >= 0 ? Qt::StrongFocus : Qt::ClickFocus);
  setFont(frame->tileFont());
  statusFont_ = frame->tileFont();
  statusFont_.setPixelSize(14);
  resize(124, 88);
  hide();
}

ViewSlot* ViewTile::slot() const { return index_ >= 0 ? frame_->shownSlots().at(index_) : nullptr; }

void ViewTile::DropDecoded() {
  decodedFrom_.reset();
  decoded_.reset();
}

const Image* ViewTile::FrameOf(const ViewSlotState& state) {
  if (!state.image) return nullptr;
  if (state.image->image && state.image->image->valid()) return state.image->image.get();
  if (!state.image->jpeg || state.image->length == 0) return nullptr;
  if (decodedFrom_ != state.image) {
    decodedFrom_ = state.image;
    decoded_ = ImageFromBuffer(state.image->jpeg.get(), static_cast<std::size_t>(state.image->length));
    if (!decoded_) Log("%s: ImageFromBuffer failed", "CViewButton::DrawItem");
  }
  return decoded_.get();
}

ZoomFrame ViewTile::ZoomFrameOf(const ViewSlotState& state) {
  ZoomFrame f;
  if (const Image* frame = FrameOf(state)) {
    f.imageWidth = frame->width();
    f.imageHeight = frame->height();
  }
  f.clientWidth = width();
  f.clientHeight = height();
  return f;
}

QSize ViewTile::FrameSize() const {
  const ViewSlot* s = slot();
  if (s == nullptr) return {};
  const ViewSlotState state = s->Snapshot();
  if (state.image && state.image->image) return QSize(state.image->image->width(), state.image->image->height());
  if (decodedFrom_ == state.image && decoded_) return QSize(decoded_->width(), decoded_->height());
  return {};
}

void ViewTile::ApplyZoom(const ZoomState& zoom) {
  ViewSlot* s = slot();
  if (s == nullptr) return;
  s->SetZoom(zoom.zoomed, zoom.rect);
  if (const GroupRecord* node = frame_->nodeOfTile(index_); node != nullptr && node->debugLevel > 0) {
    Log("zoom=%d; {%d,%d,%d,%d}", zoom.zoomed ? 1 : 0, zoom.rect.x, zoom.rect.y, zoom.rect.right(),
        zoom.rect.bottom());
  }
  update();
}

void ViewTile::ZoomAtPoint(QPoint at, int delta) {
  ViewSlot* s = slot();
  if (s == nullptr) return;
  const ViewSlotState state = s->Snapshot();
  ZoomState zoom{state.zoomed, state.zoom};
  const ZoomFrame f = ZoomFrameOf(state);
  if (!f.usable()) return;
  ZoomAt(zoom, f, at.x(), at.y(), delta);
  ApplyZoom(zoom);
}

bool ViewTile::HandleTileKey(int key) {
  ZoomKey zoomKey;
  switch (key) {
    case Qt::Key_PageUp: zoomKey = ZoomKey::kPageUp; break;
    case Qt::Key_PageDown: zoomKey = ZoomKey::kPageDown; break;
    case Qt::Key_Home: zoomKey = ZoomKey::kHome; break;
    case Qt::Key_Left: zoomKey = ZoomKey::kLeft; break;
    case Qt::Key_Right: zoomKey = ZoomKey::kRight; break;
    case Qt::Key_Up: zoomKey = ZoomKey::kUp; break;
    case Qt::Key_Down: zoomKey = ZoomKey::kDown; break;
    default: return false;
  }
  ViewSlot* s = slot();
  if (s == nullptr) return true;
  if (zoomKey == ZoomKey::kHome) dragging_ = false;
  const ViewSlotState state = s->Snapshot();
  ZoomState zoom{state.zoomed, state.zoom};
  if (ZoomByKey(zoom, ZoomFrameOf(state), zoomKey)) ApplyZoom(zoom);
  return true;
}

void ViewTile::paintEvent(QPaintEvent*) {
  // The slot's lock is held only while the snapshot is taken; the frame it shares stays
  // alive while it is scaled and drawn here.
  ViewSlotState state;
  if (const ViewSlot* s = slot()) state = s->Snapshot();
  const Settings& set = frame_->settings();
  const QPalette& pal = palette();
  const QColor shadow = pal.color(QPalette::Dark);

  QPainter painter(this);
  const QRect client = rect();
  const QRect inner = client.adjusted(1, 1, -1, -1);
  painter.fillRect(inner, pal.color(QPalette::ButtonText));

  const Image* frame = FrameOf(state);
  if (frame != nullptr && !inner.isEmpty()) {
    const int iw = frame->width();
    const int ih = frame->height();
    const bool smooth =
        UseSmoothScaling(inner.width(), inner.height(), iw, ih, set.viewResampleSmall, set.viewResampleLarge);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    const FrameView view = ViewOfFrame(*frame);
    if (state.zoomed && !state.zoom.empty()) {
      DrawFrame(painter, view, QRectF(inner),
                QRectF(state.zoom.x, state.zoom.y, state.zoom.width, state.zoom.height));
    } else {
      const ImagePlacement place = PlaceImage(inner.width(), inner.height(), iw, ih, set.viewStretch);
      const QRectF target(inner.x() + place.target.x, inner.y() + place.target.y, place.target.width,
                          place.target.height);
      DrawFrame(painter, view, target, QRectF(0, 0, iw, ih));
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  } else {
    painter.fillRect(inner, shadow);
  }

  if (state.playbackSlot >= 0) {
    const QColor c = ToQColor(PlaybackSlotColour(state.playbackSlot));
    painter.fillRect(QRect(inner.left(), inner.top(), inner.width(), 2), c);
    painter.fillRect(QRect(inner.left(), inner.bottom() - 1, inner.width(), 2), c);
    painter.fillRect(QRect(inner.left(), inner.top(), 2, inner.height()), c);
    painter.fillRect(QRect(inner.right() - 1, inner.top(), 2, inner.height()), c);
  }

  if (state.selected) {
    const QColor yellow(255, 255, 0);
    const int l = inner.left(), t = inner.top(), r = inner.right() + 1, b = inner.bottom() + 1;
    for (const QRect& bar : {QRect(l, t, 10, 2), QRect(l, t, 2, 10), QRect(r - 10, t, 10, 2), QRect(r - 2, t, 2, 10),
                             QRect(l, b - 2, 10, 2), QRect(l, b - 10, 2, 10), QRect(r - 10, b - 2, 10, 2),
                             QRect(r - 2, b - 10, 2, 10)}) {
      painter.fillRect(bar, yellow);
    }
  }

  const QString text = QString::fromStdString(state.text);
  if (state.errorMark || text.startsWith(QLatin1String("Last image"))) {
    painter.setFont(statusFont_);
    const QFontMetrics fm(statusFont_);
    const QString shown = fm.elidedText(text, Qt::ElideRight, inner.width());
    painter.setPen(Qt::black);
    painter.drawText(inner, Qt::AlignCenter | Qt::TextSingleLine, shown);
    painter.setPen(Qt::white);
    painter.drawText(inner.translated(-1, -1), Qt::AlignCenter | Qt::TextSingleLine, shown);
  }

  // The sunken edge around the whole tile.
  painter.setPen(shadow);
  painter.drawLine(client.topLeft(), client.topRight());
  painter.drawLine(client.topLeft(), client.bottomLeft());
  painter.setPen(pal.color(QPalette::Light));
  painter.drawLine(client.bottomLeft(), client.bottomRight());
  painter.drawLine(client.topRight(), client.bottomRight());

  if (set.captionShow) PaintCaptionBar(painter, inner, state, frame != nullptr ? frame : nullptr);
}

void ViewTile::PaintCaptionBar(QPainter& painter, const QRect& inner, const ViewSlotState& state, const Image*) {
  const Settings& set = frame_->settings();
  const QPalette& pal = palette();
  const QColor face = pal.color(QPalette::Button);
  const QColor shadow = pal.color(QPalette::Dark);
  painter.setFont(font());
  const QFontMetrics fm(font());
  const QString text = QString::fromStdString(state.text);
  const int t = fm.height();
  const int tx = fm.horizontalAdvance(text);
  const int ty = fm.height();
  const int innerRight = inner.left() + inner.width();
  const int innerBottom = inner.top() + inner.height();
  const int left = std::max(16, innerRight - tx - 2 * t - 4);
  if (left >= innerRight) return;
  const QRect bar(left, innerBottom - ty, innerRight - left, ty);

  const bool motion = set.captionShowMotion && state.image && state.image->motion != 0;
  painter.fillRect(bar, motion ? QColor(255, 0, 0) : face);
  painter.setPen(Qt::white);
  painter.drawLine(bar.topLeft(), bar.topRight());
  painter.drawLine(bar.topLeft(), bar.bottomLeft());

  const int textLeft = bar.left() + 2;
  const int textRight = bar.left() + bar.width() - (t + 2);
  if (textRight > textLeft) {
    const QRect textRect(textLeft, bar.top(), textRight - textLeft, bar.height());
    painter.setPen(pal.color(QPalette::ButtonText));
    painter.drawText(textRect, Qt::AlignRight | Qt::AlignBottom | Qt::TextSingleLine,
                     fm.elidedText(text, Qt::ElideRight, textRect.width()));
  }

  // The status symbol: a square of about the text height at the bar's right end.
  const int side = std::max(4, t - 2);
  const QRect box(bar.left() + bar.width() - side - 2, bar.top() + (bar.height() - side) / 2, side, side);
  painter.setRenderHint(QPainter::Antialiasing, false);
  if (frame_->playbackMode() && state.playbackSlot >= 0) {
    const QPolygon play({box.topLeft(), QPoint(box.right(), box.top() + box.height() / 2), box.bottomLeft()});
    FillOutlined(painter, play, QColor(16, 16, 255), QColor(16, 16, 128));
  } else if (state.errorMark) {
    const QPolygon warning(
        {QPoint(box.left() + box.width() / 2, box.top()), box.bottomRight(), box.bottomLeft()});
    FillOutlined(painter, warning, QColor(255, 255, 0), QColor(128, 128, 0));
    const int cx = box.left() + box.width() / 2;
    painter.setPen(Qt::black);
    painter.drawLine(cx, box.top() + side / 3, cx, box.bottom() - side / 4 - 1);
    painter.drawPoint(cx, box.bottom() - 1);
  } else {
    QColor fill = face;
    QColor outline = shadow;
    if (state.recordingMark == kRecordingMarkOn) {
      fill = QColor(255, 16, 16);
      outline = QColor(128, 16, 16);
    } else if (state.recordingMark == kRecordingMarkIdle) {
      fill = shadow;
      outline = QColor(128, 16, 16);
    }
    painter.setPen(QPen(outline, 1));
    painter.setBrush(fill);
    painter.drawEllipse(box.adjusted(0, 0, -1, -1));
  }
  painter.setBrush(Qt::NoBrush);

  // The bar's outer edges take the face colour instead of the tile's border.
  painter.setPen(face);
  const QRect client = rect();
  painter.drawLine(QPoint(bar.left() - 1, client.bottom()), client.bottomRight());
  painter.drawLine(QPoint(client.right(), bar.top() - 1), client.bottomRight());
}

void ViewTile::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  dragging_ = true;
  dragPoint_ = event->position().toPoint();
  frame_->selectTile(central() ? static_cast<int>(frame_->settings().viewTarget) : index_, event->modifiers());
}

void ViewTile::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_ || (event->buttons() & Qt::LeftButton) == 0) return;
  ViewSlot* s = slot();
  const QPoint at = event->position().toPoint();
  if (s == nullptr) return;
  const ViewSlotState state = s->Snapshot();
  if (!state.zoomed) return;
  ZoomState zoom{state.zoomed, state.zoom};
  const QPoint moved = at - dragPoint_;
  const ZoomFrame f = ZoomFrameOf(state);
  // Only the whole frame pixels moved are taken; the rest waits for the next move.
  const int stepX = f.clientWidth > 0 ? moved.x() * zoom.rect.width / f.clientWidth : 0;
  const int stepY = f.clientHeight > 0 ? moved.y() * zoom.rect.height / f.clientHeight : 0;
  if (stepX == 0 && stepY == 0) return;
  if (DragZoom(zoom, f, moved.x(), moved.y())) ApplyZoom(zoom);
  dragPoint_ = at;
}

void ViewTile::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) dragging_ = false;
  QWidget::mouseReleaseEvent(event);
}

void ViewTile::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || central()) return;
  frame_->doubleClickTile(index_);
}

void ViewTile::wheelEvent(QWheelEvent* event) {
  // Ctrl + wheel scrolls the frame (handed over here: a wheel event sent by a program
  // does not travel on to the parent).
  const int delta = event->angleDelta().y();
  if ((event->modifiers() & Qt::ControlModifier) != 0) {
    frame_->WheelScroll(delta);
    event->accept();
    return;
  }
  if (central()) {
    event->ignore();
    return;
  }
  if (delta != 0) ZoomAtPoint(event->position().toPoint(), delta);
  event->accept();
}

void ViewTile::keyPressEvent(QKeyEvent* event) {
  // Keys reach the frame, which sends the tile keys to the playback tile.
  event->ignore();
}

void ViewTile::contextMenuEvent(QContextMenuEvent* event) {
  if (central()) return;
  frame_->openTileMenu(index_, event->globalPos());
  event->accept();
}

void ViewTile::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  // A click picks the tile in mousePressEvent; focus from the keyboard picks it here.
  if (event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason) {
    frame_->selectTile(central() ? static_cast<int>(frame_->settings().viewTarget) : index_,
                       QGuiApplication::keyboardModifiers());
  }
}

}  // namespace velmora::ui
