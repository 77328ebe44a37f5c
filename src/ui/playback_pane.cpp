#include "ui/playback_pane.h"

#include <QAction>
#include <QDateEdit>
#include <QDateTime>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimeEdit>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "app/strings.h"
#include "control/commands.h"
#include "playback/playback_control.h"
#include "ui/core_events.h"
#include "ui/timeline_slider.h"
#include "ui/view_tile.h"

namespace velmora::ui {

namespace {

using namespace velmora::control;

// The scale labels and the three range texts use a small font of their own.
constexpr int kSmallFontPixels = 12;
// A click on the scroll bar's arrows or trough may repeat; the scroll counts as ended
// when no step followed for this long.
constexpr int kScrollEndMs = 400;

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QFont SmallFont(const QFont& base) {
  QFont f = base;
  f.setPixelSize(kSmallFontPixels);
  return f;
}

// A thin vertical line between the bands of the bottom row.
QFrame* BandSeparator(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::VLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

// The bottom row's bands, laid out left to right and wrapped to a further row when the
// pane is too narrow for all of them (so no band is ever cut off); the last band of each
// row takes the rest of that row. The height of the rows at the width given is also the
// layout's minimum height, so that the panes above and the window's own minimum size
// make room for every row instead of squeezing the last one away.
class BandLayout : public QLayout {
 public:
  explicit BandLayout(QWidget* parent) : QLayout(parent) {
    setContentsMargins(0, 0, 0, 0);
    setSpacing(6);
  }
  ~BandLayout() override {
    while (QLayoutItem* item = takeAt(0)) delete item;
  }
  void addItem(QLayoutItem* item) override { items_.push_back(item); }
  int count() const override { return static_cast<int>(items_.size()); }
  QLayoutItem* itemAt(int index) const override {
    return index >= 0 && index < count() ? items_[static_cast<std::size_t>(index)] : nullptr;
  }
  QLayoutItem* takeAt(int index) override {
    if (index < 0 || index >= count()) return nullptr;
    QLayoutItem* item = items_[static_cast<std::size_t>(index)];
    items_.erase(items_.begin() + index);
    return item;
  }
  Qt::Orientations expandingDirections() const override { return Qt::Horizontal; }
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override { return Arrange(QRect(0, 0, width, 0), false); }
  void setGeometry(const QRect& rect) override {
    QLayout::setGeometry(rect);
    const int height = Arrange(rect, true);
    if (height != rowsHeight_ && rect.width() > 0) {
      // A new number of rows: the minimum changes, and the layouts above ask again.
      rowsHeight_ = height;
      invalidate();
    }
  }
  QSize sizeHint() const override {
    int w = 0, h = 0;
    for (QLayoutItem* item : items_) {
      w += item->sizeHint().width() + spacing();
      h = std::max(h, item->sizeHint().height());
    }
    return {w, h};
  }
  QSize minimumSize() const override {
    QSize size;
    for (QLayoutItem* item : items_) size = size.expandedTo(item->minimumSize());
    return {size.width(), std::max(size.height(), rowsHeight_)};
  }

 private:
  // Places the bands row by row; returns the height used.
  int Arrange(const QRect& rect, bool apply) const {
    std::size_t first = 0;
    int y = rect.y();
    while (first < items_.size()) {
      // As many bands as fit (at least one) make a row.
      std::size_t end = first;
      int used = 0, rowHeight = 0;
      while (end < items_.size()) {
        const int w = items_[end]->sizeHint().width();
        if (end > first && used + spacing() + w > rect.width()) break;
        used += (end > first ? spacing() : 0) + w;
        rowHeight = std::max(rowHeight, items_[end]->sizeHint().height());
        ++end;
      }
      if (apply) {
        int x = rect.x();
        for (std::size_t i = first; i < end; ++i) {
          int w = items_[i]->sizeHint().width();
          if (i + 1 == end) w = std::max(w, rect.right() + 1 - x);
          w = std::min(w, rect.right() + 1 - x);
          items_[i]->setGeometry(QRect(x, y, w, rowHeight));
          x += w + spacing();
        }
      }
      y += rowHeight + spacing();
      first = end;
    }
    return y - rect.y() - (items_.empty() ? 0 : spacing());
  }

  std::vector<QLayoutItem*> items_;
  int rowsHeight_ = 0;  // height of the rows at the last width given
};

// One band of the bottom row: its widgets side by side from the left; a band given more
// room than it asks for keeps the rest empty at its right.
QWidget* Band(QWidget* parent, std::initializer_list<std::pair<QWidget*, int>> widgets) {
  auto* band = new QWidget(parent);
  auto* row = new QHBoxLayout(band);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(4);
  for (auto [w, stretch] : widgets) {
    w->setParent(band);
    row->addWidget(w, stretch);
  }
  row->addStretch(1);
  return band;
}

}  // namespace

ScaleLabels::ScaleLabels(QWidget* parent) : QWidget(parent), texts_(5) {
  setObjectName("scaleLabels");
  setFont(SmallFont(font()));
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void ScaleLabels::setTexts(const std::vector<QString>& texts) {
  texts_ = texts;
  texts_.resize(5);
  update();
}

QSize ScaleLabels::sizeHint() const {
  const QFontMetrics fm(font());
  return {400, 2 * fm.lineSpacing() + 2};
}

QRect ScaleLabels::labelRect(int i) const {
  const QFontMetrics fm(font());
  int w = 0;
  for (const QString& line : texts_[static_cast<std::size_t>(std::clamp(i, 0, 4))].split('\n'))
    w = std::max(w, fm.horizontalAdvance(line));
  w += 2;
  const int h = height();
  const int shift = TimelineSlider::kThumbWidth / 4;
  switch (i) {
    case 0: return {0, 0, w, h};
    case 1: return {width() / 4 - w / 2 + shift, 0, w, h};
    case 2: return {width() / 2 - w / 2, 0, w, h};
    case 3: return {width() * 3 / 4 - w / 2 - shift, 0, w, h};
    default: return {width() - w, 0, w, h};
  }
}

void ScaleLabels::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setPen(palette().color(QPalette::WindowText));
  for (int i = 0; i < 5; ++i) {
    const QString& text = texts_[static_cast<std::size_t>(i)];
    if (text.isEmpty()) continue;
    const Qt::Alignment align = i == 0 ? Qt::AlignLeft : i == 4 ? Qt::AlignRight : Qt::AlignHCenter;
    p.drawText(labelRect(i), static_cast<int>(align | Qt::AlignTop), text);
  }
}

PlaybackPane::PlaybackPane(PlaybackController& controller, CoreEvents& events,
                           const std::function<QAction*(int)>& action, std::function<GroupRecord*()> selected,
                           QWidget* parent)
    : QWidget(parent), controller_(controller), selected_(std::move(selected)) {
  setObjectName("playbackControls");
  messageBox_ = [this](const QString& text) {
    QMessageBox::warning(this, QString::fromStdString(StringText(128)), text);
  };
  scrollEnd_.setSingleShot(true);
  scrollEnd_.setInterval(kScrollEndMs);
  connect(&scrollEnd_, &QTimer::timeout, this, &PlaybackPane::endRangeScroll);

  BuildLayout(action);
  ConnectReports(events);
  EnableControls(controller_.active());
  ShowRange();
  ShowGraph();
  ShowSlider();
  ShowSpeed();
}

void PlaybackPane::BuildLayout(const std::function<QAction*(int)>& action) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(4, 2, 4, 2);
  column->setSpacing(0);

  timeline_ = new TimelineSlider(this);
  column->addWidget(timeline_);
  scale_ = new ScaleLabels(this);
  column->addWidget(scale_);
  column->addSpacing(4);
  rangeBar_ = new QScrollBar(Qt::Horizontal, this);
  rangeBar_->setObjectName("rangeScrollBar");
  column->addWidget(rangeBar_);
  column->addSpacing(2);
  column->addLayout(BuildRangeTexts());
  column->addSpacing(2);

  // The bottom row: the playback toolbar, "Time:" and "Speed:".
  auto* bandHost = new QWidget(this);
  auto* bands = new BandLayout(bandHost);
  bands->addWidget(BuildToolbar(bandHost, action));
  bands->addWidget(BuildTimeBand(bandHost));
  bands->addWidget(BuildSpeedBand(bandHost));
  column->addWidget(bandHost);

  connect(timeline_, &TimelineSlider::moved, this, [this](int c, bool shift) { controller_.SliderMoved(c, shift); });
  connect(rangeBar_, &QScrollBar::actionTriggered, this, &PlaybackPane::RangeBarAction);
  connect(rangeBar_, &QScrollBar::sliderReleased, this, &PlaybackPane::endRangeScroll);
  connect(date_, &QDateEdit::editingFinished, this, &PlaybackPane::applyDateTime);
  connect(time_, &QTimeEdit::editingFinished, this, &PlaybackPane::applyDateTime);
  connect(speed_, &QSlider::valueChanged, this, [this](int position) {
    if (position != controller_.speedPosition()) controller_.SetSpeedPosition(position);
  });
}

// The range's start, duration and end under the scroll bar.
QHBoxLayout* PlaybackPane::BuildRangeTexts() {
  auto* texts = new QHBoxLayout;
  texts->setContentsMargins(0, 0, 0, 0);
  startLabel_ = new QLabel(this);
  endLabel_ = new QLabel(this);
  durationLabel_ = new QLabel(this);
  startLabel_->setObjectName("rangeStart");
  endLabel_->setObjectName("rangeEnd");
  durationLabel_->setObjectName("rangeDuration");
  for (QLabel* l : {startLabel_, endLabel_, durationLabel_}) l->setFont(SmallFont(font()));
  durationLabel_->setAlignment(Qt::AlignCenter);
  // In a narrow pane the duration text goes on two lines rather than widening the pane
  // past the window or losing its end.
  durationLabel_->setWordWrap(true);
  durationLabel_->setMinimumWidth(1);
  endLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  // The start and end texts are as wide as each other, so the duration stays centred.
  const int dateWidth = QFontMetrics(startLabel_->font()).horizontalAdvance(QStringLiteral("00/00/00 00:00:00")) + 8;
  startLabel_->setMinimumWidth(dateWidth);
  endLabel_->setMinimumWidth(dateWidth);
  texts->addWidget(startLabel_);
  texts->addWidget(durationLabel_, 1);
  texts->addWidget(endLabel_);
  return texts;
}

// The playback toolbar: the commands' actions, Playback and Export with their text.
QToolBar* PlaybackPane::BuildToolbar(QWidget* bandHost, const std::function<QAction*(int)>& action) {
  toolbar_ = new QToolBar(QStringLiteral("playback"), bandHost);
  toolbar_->setObjectName("playbackToolbar");
  toolbar_->setIconSize(QSize(20, 20));
  toolbar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
  const int layout[] = {kCmdPlayback, 0, kCmdExport, 0, kCmdZoomIn, kCmdZoomOut, 0, kCmdPreviousFrame,
                        kCmdReversePlay, kCmdPause, kCmdPlay, kCmdNextFrame};
  for (int id : layout) {
    if (id == 0) {
      toolbar_->addSeparator();
      continue;
    }
    QAction* a = action ? action(id) : nullptr;
    if (!a) continue;
    toolbar_->addAction(a);
    // Playback and Export carry their text beside the image.
    if (id == kCmdPlayback || id == kCmdExport) {
      a->setIconText(id == kCmdPlayback ? tr("Playback") : tr("Export"));
      if (auto* button = qobject_cast<QToolButton*>(toolbar_->widgetForAction(a)))
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    }
  }
  return toolbar_;
}

// "Time:": the date and the time of day of the shown record.
QWidget* PlaybackPane::BuildTimeBand(QWidget* bandHost) {
  date_ = new QDateEdit(this);
  date_->setObjectName("playbackDate");
  date_->setCalendarPopup(true);
  date_->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
  time_ = new QTimeEdit(this);
  time_->setObjectName("playbackTime");
  // Records carry milliseconds: the time of day shows all three digits.
  time_->setDisplayFormat(QStringLiteral("HH:mm:ss.zzz"));
  return Band(bandHost, {{BandSeparator(this), 0}, {new QLabel(tr("Time:"), this), 0}, {date_, 0}, {time_, 0}});
}

// "Speed:": the speed slider and its value.
QWidget* PlaybackPane::BuildSpeedBand(QWidget* bandHost) {
  speed_ = new QSlider(Qt::Horizontal, this);
  speed_->setObjectName("speedSlider");
  speed_->setRange(0, kSpeedSteps - 1);
  speed_->setTickPosition(QSlider::TicksBelow);
  speed_->setTickInterval(2);
  speed_->setPageStep(1);
  speed_->setSingleStep(1);
  speed_->setValue(kRealTimeSpeedPosition);
  speed_->setMinimumWidth(140);
  speed_->setMaximumWidth(280);
  speedLabel_ = new QLabel(Q(SpeedLabel(kRealTimeSpeedPosition)), this);
  speedLabel_->setObjectName("speedLabel");
  speedLabel_->setToolTip(tr("Double-click for real time"));
  // As wide as the widest value, so the slider does not jump.
  speedLabel_->setMinimumWidth(speedLabel_->fontMetrics().horizontalAdvance(Q(SpeedLabel(kSpeedSteps - 1))) + 6);
  speedLabel_->installEventFilter(this);
  return Band(bandHost,
              {{BandSeparator(this), 0}, {new QLabel(tr("Speed:"), this), 0}, {speed_, 1}, {speedLabel_, 0}});
}

void PlaybackPane::ConnectReports(CoreEvents& events) {
  // Connections end with the pane: a pane that is gone is never called.
  connect(&events, &CoreEvents::playbackWarning, this, [this](const QString& text) {
    if (messageBox_) messageBox_(text);
  });
  connect(&events, &CoreEvents::playbackControlsEnabled, this, &PlaybackPane::EnableControls);
  connect(&events, &CoreEvents::playbackFeedRequested, this, [this] {
    timeline_->setBuilding(true);
    ShowRange();
  });
  connect(&events, &CoreEvents::playbackSliderChanged, this, &PlaybackPane::ShowSlider);
  connect(&events, &CoreEvents::playbackRangeChanged, this, &PlaybackPane::ShowRange);
  connect(&events, &CoreEvents::playbackGraphChanged, this, &PlaybackPane::ShowGraph);
  connect(&events, &CoreEvents::playbackSpeedChanged, this, &PlaybackPane::ShowSpeed);
}

bool PlaybackPane::execute(int commandId, bool shift) {
  GroupRecord* selected = selected_ ? selected_() : nullptr;
  switch (commandId) {
    case kCmdPlayback:
      controller_.Toggle(selected);
      emit modeChanged();
      return true;
    case kCmdZoomIn: controller_.ZoomIn(selected); return true;
    case kCmdZoomOut: controller_.ZoomOut(shift, selected); return true;
    case kCmdPreviousFrame: controller_.PreviousFrame(); return true;
    case kCmdReversePlay: controller_.ReversePlay(); return true;
    case kCmdPause: controller_.Pause(); return true;
    case kCmdPlay: controller_.Play(); return true;
    case kCmdNextFrame: controller_.NextFrame(); return true;
    default: return false;
  }
}

void PlaybackPane::EnableControls(bool enable) {
  for (QWidget* w : std::initializer_list<QWidget*>{timeline_, date_, time_}) w->setEnabled(enable);
  rangeBar_->setEnabled(enable && scroll_.enabled());
}

void PlaybackPane::ShowSlider() {
  timeline_->setValue(controller_.sliderColumn());
  timeline_->setSelection(controller_.selectionStart(), controller_.selectionEnd());
  // The date and time fields show the slider's time.
  if (!controller_.rangeKnown() || !controller_.active()) return;
  const double t = controller_.ColumnTime(controller_.sliderColumn());
  const QDateTime when = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(t * 1000.0)));
  const QSignalBlocker blockDate(date_);
  const QSignalBlocker blockTime(time_);
  date_->setDate(when.date());
  time_->setTime(when.time());
}

void PlaybackPane::ShowRange() {
  timeline_->setMaximum(controller_.sliderMax());
  std::vector<QString> labels;
  for (const std::string& text : controller_.TimeLabelTexts()) {
    QString label = Q(text);
    label.replace('\r', '\n');
    labels.push_back(label);
  }
  scale_->setTexts(labels);
  const std::vector<std::string> range = controller_.RangeTexts();
  startLabel_->setText(Q(range[0]));
  endLabel_->setText(Q(range[1]));
  durationLabel_->setText(Q(range[2]));

  const FeedRange full = controller_.fullRange();
  const FeedRange shown = controller_.shownRange();
  if (full.known() && shown.known()) {
    scroll_.SetRanges(full.start(), full.end(), shown.start(), shown.end());
  } else {
    scroll_.Clear();
  }
  scrollEnd_.stop();
  const RangeScrollBar bar = scroll_.bar();
  const QSignalBlocker block(rangeBar_);
  rangeBar_->setRange(0, bar.maximum);
  rangeBar_->setPageStep(bar.page);
  rangeBar_->setSingleStep(bar.line);
  rangeBar_->setValue(bar.position);
  rangeBar_->setEnabled(bar.enabled && controller_.active());
}

void PlaybackPane::ShowGraph() {
  const std::shared_ptr<Image> graph = controller_.graph();
  if (!graph || !graph->valid()) {
    timeline_->setGraph(QImage());
    // Stopped: nothing is being built any more.
    if (!controller_.active()) timeline_->setBuilding(false);
    return;
  }
  // A deep copy, upright: the bitmap's rows are stored bottom-up.
  const FrameView view = ViewOfFrame(*graph);
  timeline_->setGraph(view.flipped ? view.image.mirrored(false, true) : view.image.copy());
}

void PlaybackPane::ShowSpeed() {
  const int position = controller_.speedPosition();
  const QSignalBlocker block(speed_);
  speed_->setValue(position);
  speedLabel_->setText(Q(SpeedLabel(position)));
}

void PlaybackPane::RangeBarAction(int action) {
  RangeScrollAction step;
  switch (action) {
    case QAbstractSlider::SliderSingleStepSub: step = RangeScrollAction::kLineLeft; break;
    case QAbstractSlider::SliderSingleStepAdd: step = RangeScrollAction::kLineRight; break;
    case QAbstractSlider::SliderPageStepSub: step = RangeScrollAction::kPageLeft; break;
    case QAbstractSlider::SliderPageStepAdd: step = RangeScrollAction::kPageRight; break;
    case QAbstractSlider::SliderToMinimum: step = RangeScrollAction::kStart; break;
    case QAbstractSlider::SliderToMaximum: step = RangeScrollAction::kEnd; break;
    case QAbstractSlider::SliderMove: step = RangeScrollAction::kThumb; break;
    default: return;
  }
  scroll_.Scroll(step, rangeBar_->sliderPosition());
  // The model decides where the bar stands (a quarter of the shown range, kept inside).
  rangeBar_->setSliderPosition(scroll_.bar().position);
  if (!rangeBar_->isSliderDown()) scrollEnd_.start();
}

void PlaybackPane::endRangeScroll() {
  scrollEnd_.stop();
  const std::optional<ShownRange> range = scroll_.End();
  if (!range) return;
  controller_.RequestRange(range->start, range->end, 0.0, selected_ ? selected_() : nullptr);
}

void PlaybackPane::applyDateTime() {
  if (!controller_.active()) return;
  // The date of one field and the time of day of the other make one local time.
  const QDateTime when(date_->date(), time_->time());
  if (!when.isValid()) return;
  controller_.SeekToTime(static_cast<double>(when.toMSecsSinceEpoch()) / 1000.0, selected_ ? selected_() : nullptr);
}

bool PlaybackPane::eventFilter(QObject* watched, QEvent* event) {
  if (watched == speedLabel_ && event->type() == QEvent::MouseButtonDblClick) {
    // Back to real time, as any speed change is applied.
    controller_.SetSpeedPosition(kRealTimeSpeedPosition);
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace velmora::ui
