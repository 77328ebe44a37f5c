// The Playback Controls pane's content: the timeline slider with its five scale labels,
// the range scroll bar, the full range's start and end and the shown duration, and along
// the bottom three bands: the playback toolbar (Playback, Export, zoom and the five
// transport buttons), "Time:" with the date and a time of day to the millisecond, and
// "Speed:" with the speed slider and its value.
//
// The pane shows the playback controller's state and hands the operator's actions to it;
// the rules themselves live in the controller (playback/playback_control.h) and the
// range scroll model (control/range_scroll.h). It hears what changed through the
// controller's reports as CoreEvents' playback signals, like every other receiver.
//
// GUI thread only.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

#include "control/range_scroll.h"

class QAction;
class QDateEdit;
class QHBoxLayout;
class QLabel;
class QScrollBar;
class QSlider;
class QTimeEdit;
class QToolBar;

namespace velmora {
class PlaybackController;
struct GroupRecord;
}  // namespace velmora

namespace velmora::ui {

class CoreEvents;
class TimelineSlider;

// The five texts under the timeline, placed as the slider's columns are: the first at
// the left edge, the second centred a quarter in (a quarter thumb to the right), the
// third centred, the fourth centred three quarters in (a quarter thumb to the left) and
// the last ending at the right edge.
class ScaleLabels : public QWidget {
  Q_OBJECT

 public:
  explicit ScaleLabels(QWidget* parent = nullptr);
  void setTexts(const std::vector<QString>& texts);
  const std::vector<QString>& texts() const { return texts_; }
  // The rectangle of label i (0..4) at the current width.
  QRect labelRect(int i) const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<QString> texts_;
};

class PlaybackPane : public QWidget {
  Q_OBJECT

 public:
  // events: the bridge that carries `controller`'s reports; action: the window's action
  // of a command id (the toolbar shares them); selected: the device tree's selected node
  // now (may return null).
  PlaybackPane(PlaybackController& controller, CoreEvents& events, const std::function<QAction*(int)>& action,
               std::function<GroupRecord*()> selected, QWidget* parent = nullptr);

  // Commands 10050 and 10052..10058; shift: Shift was held (zoom out by everything).
  // False for another command.
  bool execute(int commandId, bool shift);

  // How the controller's warnings are shown (a message box by default; tests replace it).
  void setMessageBox(std::function<void(const QString&)> show) { messageBox_ = std::move(show); }

  TimelineSlider* timeline() const { return timeline_; }
  ScaleLabels* scaleLabels() const { return scale_; }
  QScrollBar* rangeBar() const { return rangeBar_; }
  QLabel* startLabel() const { return startLabel_; }
  QLabel* endLabel() const { return endLabel_; }
  QLabel* durationLabel() const { return durationLabel_; }
  QToolBar* toolbar() const { return toolbar_; }
  QDateEdit* dateEdit() const { return date_; }
  QTimeEdit* timeEdit() const { return time_; }
  QSlider* speedSlider() const { return speed_; }
  QLabel* speedLabel() const { return speedLabel_; }

  // The date and time fields were edited (normally on their editing's end).
  void applyDateTime();
  // The range scroll bar's scrolling ended: a new feed of the range it shows.
  void endRangeScroll();

 signals:
  // The operator's Playback command ran (playback mode may have been entered or left):
  // the window re-lays out.
  void modeChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildLayout(const std::function<QAction*(int)>& action);
  // The layout's parts: the range texts, and the bands of the bottom row.
  QHBoxLayout* BuildRangeTexts();
  QToolBar* BuildToolbar(QWidget* bandHost, const std::function<QAction*(int)>& action);
  QWidget* BuildTimeBand(QWidget* bandHost);
  QWidget* BuildSpeedBand(QWidget* bandHost);
  void ConnectReports(CoreEvents& events);
  void ShowSlider();
  void ShowRange();
  void ShowGraph();
  void ShowSpeed();
  void EnableControls(bool enable);
  void RangeBarAction(int action);

  PlaybackController& controller_;
  std::function<GroupRecord*()> selected_;
  std::function<void(const QString&)> messageBox_;
  control::RangeScroll scroll_;
  QTimer scrollEnd_;

  TimelineSlider* timeline_ = nullptr;
  ScaleLabels* scale_ = nullptr;
  QScrollBar* rangeBar_ = nullptr;
  QLabel* startLabel_ = nullptr;
  QLabel* endLabel_ = nullptr;
  QLabel* durationLabel_ = nullptr;
  QToolBar* toolbar_ = nullptr;
  QDateEdit* date_ = nullptr;
  QTimeEdit* time_ = nullptr;
  QSlider* speed_ = nullptr;
  QLabel* speedLabel_ = nullptr;
};

}  // namespace velmora::ui
