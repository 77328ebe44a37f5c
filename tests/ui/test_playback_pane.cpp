// The Playback Controls pane offscreen over a real playback engine (run on the test's
// thread) and real recordings in temporary folders: entering and leaving playback, the
// timeline's texts and pixels, slider clicks and Shift-drag selections reaching the
// playback thread as seeks and zooms, the speed slider and its label, the range scroll
// bar's feeds and typed times. Then the main window's hooks: the pane shown in playback,
// the commands, the close box.
#include <QAction>
#include <QApplication>
#include <QDateEdit>
#include <QLabel>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTimeEdit>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include <ctime>
#include <map>
#include <memory>

#include "app/messages.h"
#include "app/paths.h"
#include "app/settings.h"
#include "control/commands.h"
#include "tree/media_branches.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "model/old_recordings.h"
#include "playback/playback_control.h"
#include "playback/playback_engine.h"
#include "playback/playback_thread.h"
#include "playback/test_recorded_data_support.h"
#include "playback_output.h"
#include "app/program_signals.h"
#include "ui/core_events.h"
#include "ui/main_window.h"
#include "ui/pane.h"
#include "ui/playback_pane.h"
#include "ui/timeline_slider.h"
#include "ui/tree_model.h"
#include "ui/tree_pane.h"
#include "ui/view_frame.h"
#include "ui_test_main.h"
#include "program_slots.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;
using velmora::test::TestTreeShare;

using velmora::test::ProgramSlots;
using velmora::playtest::kHourStart;
using velmora::playtest::RecordWriter;
using velmora::playtest::SmallJpeg;
using velmora::playtest::TempFolder;
using velmora::ui::PlaybackPane;
using velmora::ui::TimelineSlider;

namespace {

class StepClock : public velmora::PlaybackClock {
 public:
  double t = 50.0;
  double now() override { return t; }
  void wait(velmora::PlaybackQueue& queue, int ms) override {
    if (queue.empty()) t += ms / 1000.0;
  }
};

// "%02u/%02u/%02u" + sep + "%02u:%02u:%02u" of a time, local, as the pane shows it.
QString LocalText(int64_t seconds, const char* sep) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  localtime_r(&t, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%02d%s%02d:%02d:%02d", local.tm_mon + 1, local.tm_mday,
                (local.tm_year + 1900) % 100, sep, local.tm_hour, local.tm_min, local.tm_sec);
  return QString::fromLatin1(text);
}

}  // namespace

class PlaybackPaneTest : public QObject {
  Q_OBJECT

 private:
  velmora::Settings savedSettings_;
  std::unique_ptr<StepClock> clock_;
  std::unique_ptr<velmora::ViewSlots> slots_;
  std::unique_ptr<velmora::test::KeptPlaybackOutput> output_;  // toMain_ and slots_
  std::unique_ptr<velmora::PlaybackEngine> engine_;
  velmora::PlaybackLimitTimer limit_;  // the controller's two-hour limit
  std::unique_ptr<velmora::PlaybackController> control_;
  std::unique_ptr<velmora::ui::CoreEvents> events_;  // carries control_'s reports to the pane
  std::map<int, QAction*> actions_;
  std::unique_ptr<QWidget> host_;
  PlaybackPane* pane_ = nullptr;
  std::vector<velmora::AppMessage> toMain_;
  QStringList boxes_;
  std::shared_ptr<velmora::GroupRecord> root_, local_;
  std::vector<std::unique_ptr<TempFolder>> folders_;

  velmora::GroupRecord* AddDevice(const std::string& name, int tile) {
    folders_.push_back(std::make_unique<TempFolder>());
    auto node = velmora::CreateRecord(velmora::EntryKind::NASDevice, name);
    node->location = folders_.back()->str();
    node->viewIndex = tile;
    node->shownIn = &ProgramSlots();
    node->fetchIndex = tile;
    node->fetchActive = true;
    velmora::InsertEntry(local_.get(), node);
    slots_->SetCaptionAndClear(tile, name + " live");
    return node.get();
  }
  const TempFolder& LastFolder() const { return *folders_.back(); }

  // The playback thread's work and its reports, until both sides are idle.
  void Pump() {
    for (int round = 0; round < 100; ++round) {
      int passes = 0;
      while (passes < 10000 && engine_->processOne()) ++passes;
      if (toMain_.empty()) return;
      std::vector<velmora::AppMessage> batch;
      batch.swap(toMain_);
      for (auto& m : batch) control_->HandleMessage(m);
    }
  }
  // The messages the pane sent to the playback thread since the last call (taken off
  // its queue, so the engine does not carry them out).
  std::vector<velmora::PlaybackMessage> Sent() {
    std::vector<velmora::PlaybackMessage> sent;
    while (auto m = engine_->queue().take()) sent.push_back(std::move(*m));
    return sent;
  }
  QImage Grab() { return pane_->timeline()->grab().toImage().convertToFormat(QImage::Format_RGB32); }

 private slots:
  void init() {
    savedSettings_ = velmora::test::TestSettings();
    velmora::test::TestSettings() = velmora::Settings{};
    velmora::programSignals().playbackMode.store(false);
    clock_ = std::make_unique<StepClock>();
    slots_ = std::make_unique<velmora::ViewSlots>();
    output_ = std::make_unique<velmora::test::KeptPlaybackOutput>(toMain_, *slots_);
    engine_ = std::make_unique<velmora::PlaybackEngine>(993, clock_.get(), output_.get());
    engine_->data().setStatusSink([](const std::string&) {});
    control_ = std::make_unique<velmora::PlaybackController>(
        engine_->queue(), [this] { return engine_->summary(); }, *slots_, limit_);
    control_->setTree(TestTreeShare());

    root_ = velmora::CreateRecord(velmora::EntryKind::Root, velmora::kRootName);
    local_ = velmora::CreateRecord(velmora::EntryKind::LocalNVR, "This NVR");
    velmora::InsertEntry(root_.get(), local_);
    TestTree().root = root_;

    host_ = std::make_unique<QWidget>();
    for (int id = velmora::control::kCmdPlayback; id <= velmora::control::kCmdNextFrame; ++id) {
      actions_[id] = new QAction(QStringLiteral("cmd%1").arg(id), host_.get());
    }
    events_ = std::make_unique<velmora::ui::CoreEvents>(nullptr, *control_, TestTree(), TestPaths());
    pane_ = new PlaybackPane(
        *control_, *events_, [this](int id) { return actions_.count(id) ? actions_[id] : nullptr; },
        [] { return nullptr; }, host_.get());
    pane_->setMessageBox([this](const QString& text) { boxes_ << text; });
    pane_->setGeometry(0, 0, 1100, 260);
    host_->resize(1100, 260);
    host_->show();
    QVERIFY(QTest::qWaitForWindowExposed(host_.get()));
  }
  void cleanup() {
    control_->Leave();
    Pump();
    host_.reset();
    actions_.clear();
    events_.reset();
    control_.reset();
    engine_.reset();
    output_.reset();
    TestTree().root.reset();
    velmora::DestroyTree(root_.get());
    root_.reset();
    local_.reset();
    folders_.clear();
    slots_.reset();
    boxes_.clear();
    toMain_.clear();
    velmora::programSignals().playbackMode.store(false);
    velmora::test::TestSettings() = savedSettings_;
  }

  // Entering without an active tile says 419; with one tile recorded for 160 s the
  // timeline shows "Building view" until the graph arrives, then the graph, the five
  // scale labels, the range texts, 160 columns; a click on the track seeks straight to
  // the column and the date and time fields follow; leaving empties everything.
  void enterClickAndLeave() {
    QSignalSpy mode(pane_, &PlaybackPane::modeChanged);
    QVERIFY(pane_->execute(velmora::control::kCmdPlayback, false));
    QCOMPARE(boxes_, QStringList{"There are no view windows active."});
    QVERIFY(!control_->active());
    QVERIFY(!pane_->timeline()->isEnabled());
    QVERIFY(Sent().empty());

    AddDevice("Gate", 0);
    RecordWriter writer(LastFolder().path());
    for (int i = 0; i <= 160; ++i) writer.Append(kHourStart + i, 0, SmallJpeg());
    pane_->execute(velmora::control::kCmdPlayback, false);
    QVERIFY(control_->active());
    QVERIFY(mode.count() >= 2);
    QVERIFY(pane_->timeline()->building());
    QVERIFY(pane_->timeline()->isEnabled());
    QVERIFY(pane_->dateEdit()->isEnabled());
    Pump();
    QVERIFY(!pane_->timeline()->building());
    QCOMPARE(pane_->timeline()->maximum(), 160);
    QCOMPARE(pane_->timeline()->tickStep(), 10);
    QCOMPARE(pane_->timeline()->pageStep(), 1);
    const std::vector<QString>& scale = pane_->scaleLabels()->texts();
    QCOMPARE(scale[0], LocalText(kHourStart, "\n"));
    QCOMPARE(scale[2], LocalText(kHourStart + 80, "\n"));
    QCOMPARE(scale[4], LocalText(kHourStart + 160, "\n"));
    QCOMPARE(pane_->startLabel()->text(), LocalText(kHourStart, " "));
    QCOMPARE(pane_->endLabel()->text(), LocalText(kHourStart + 160, " "));
    QCOMPARE(pane_->durationLabel()->text(),
             QString("0 days + 00:02:40 showing    (0 days + 00:02:40 total)"));
    QVERIFY2(!pane_->rangeBar()->isEnabled(), "everything is shown");
    // The labels sit left, centred and right under the slider.
    QCOMPARE(pane_->scaleLabels()->labelRect(0).left(), 0);
    QCOMPARE(pane_->scaleLabels()->labelRect(4).right(), pane_->scaleLabels()->width() - 1);
    QVERIFY(std::abs(pane_->scaleLabels()->labelRect(2).center().x() - pane_->scaleLabels()->width() / 2) <= 1);

    // The graph's bar lies under the thumb positions: the row of view 0 (y 32..39 of
    // 72) is in slot 0's colour at the first, a middle and the last column, and the
    // well's colour beyond the last column's position.
    TimelineSlider* slider = pane_->timeline();
    const QRect inner = slider->innerRect();
    const int rowY = inner.top() + static_cast<int>((35.5 / 72.0) * inner.height());
    const velmora::Colour c = velmora::PlaybackSlotColour(0);
    const QRgb slot = qRgb(c.r, c.g, c.b);
    QImage img = Grab();
    for (int column : {1, 80, 159}) QCOMPARE(img.pixel(slider->columnX(column) + 2, rowY), slot);
    QVERIFY(img.pixel(slider->columnX(160) + 8, rowY) != slot);
    QVERIFY(img.pixel(slider->columnX(0) - 8, rowY) != slot);

    // A click on the track: straight to the column, a seek for the playback thread.
    Sent();
    QTest::mouseClick(slider, Qt::LeftButton, Qt::NoModifier, QPoint(slider->columnX(120), 40));
    QCOMPARE(slider->value(), 120);
    QCOMPARE(control_->sliderColumn(), 120);
    std::vector<velmora::PlaybackMessage> sent = Sent();
    QCOMPARE(sent.size(), size_t{1});
    QCOMPARE(std::get<velmora::PlayMsgSeek>(sent[0]).column, 120);
    const QDateTime at = QDateTime::fromSecsSinceEpoch(kHourStart + 120);
    QCOMPARE(pane_->dateEdit()->date(), at.date());
    QCOMPARE(pane_->timeEdit()->time(), at.time());
    QCOMPARE(pane_->timeEdit()->text().right(4), QString(".000"));
    // The keyboard: a page is columns / 128 (at least one), End the last column.
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_End);
    QCOMPARE(control_->sliderColumn(), 160);
    QTest::keyClick(slider, Qt::Key_PageUp);
    QCOMPARE(control_->sliderColumn(), 159);

    // The transport commands carry the slider's column.
    pane_->execute(velmora::control::kCmdPlay, false);
    pane_->execute(velmora::control::kCmdPreviousFrame, false);
    sent = Sent();
    QCOMPARE(sent.size(), size_t{4});  // the two key seeks, play, step
    QCOMPARE(std::get<velmora::PlayMsgPlayForward>(sent[2]).column, 159);
    QCOMPARE(std::get<velmora::PlayMsgStepBackward>(sent[3]).column, 159);

    pane_->execute(velmora::control::kCmdPlayback, false);
    QVERIFY(!control_->active());
    QVERIFY(!slider->isEnabled());
    QVERIFY(pane_->startLabel()->text().isEmpty());
    QVERIFY(pane_->scaleLabels()->texts()[0].isEmpty());
    Pump();
    QCOMPARE(QString::fromStdString(slots_->Text(0)), QString("Gate live"));
    img = Grab();
    QVERIFY2(img.pixel(slider->columnX(80) + 2, rowY) != slot, "the graph is gone");
  }

  // Shift-drag marks a selection, drawn inverted (the thumb's line too); Zoom In then
  // asks for exactly the selected columns; Zoom Out by everything brings all back.
  void shiftDragSelectionAndZoom() {
    AddDevice("Door", 0);
    RecordWriter writer(LastFolder().path());
    for (int i = 0; i <= 160; ++i) writer.Append(kHourStart + i, 0, SmallJpeg());
    pane_->execute(velmora::control::kCmdPlayback, false);
    Pump();
    TimelineSlider* slider = pane_->timeline();
    const QRect inner = slider->innerRect();
    const int topY = inner.top() + 1;  // the graph's white margin above the rows
    QImage img = Grab();
    QCOMPARE(img.pixel(slider->columnX(60), topY), qRgb(255, 255, 255));

    QTest::mouseClick(slider, Qt::LeftButton, Qt::NoModifier, QPoint(slider->columnX(40), 40));
    // Shift held from column 40 on: the selection runs from there to wherever the
    // thumb goes while it stays held.
    QTest::mouseClick(slider, Qt::LeftButton, Qt::ShiftModifier, QPoint(slider->columnX(60), 40));
    QCOMPARE(control_->selectionStart(), 40);
    QCOMPARE(control_->selectionEnd(), 60);
    QTest::mouseClick(slider, Qt::LeftButton, Qt::ShiftModifier, QPoint(slider->columnX(80), 40));
    QVERIFY(control_->hasSelection());
    QCOMPARE(control_->selectionStart(), 40);
    QCOMPARE(control_->selectionEnd(), 80);
    QCOMPARE(slider->selectionStart(), 40);
    img = Grab();
    QCOMPARE(img.pixel(slider->columnX(60), topY), qRgb(0, 0, 0));  // inverted inside the selection
    QCOMPARE(img.pixel(slider->columnX(40) - 1, topY), qRgb(0, 0, 0));  // one pixel wider
    QCOMPARE(img.pixel(slider->columnX(100), topY), qRgb(255, 255, 255));
    // The thumb (at 80, the selection's edge) is an inverted line: white again there.
    QCOMPARE(img.pixel(slider->columnX(80), topY), qRgb(255, 255, 255));
    QCOMPARE(img.pixel(slider->columnX(80) + 2, topY), qRgb(255, 255, 255));  // past the strip

    pane_->execute(velmora::control::kCmdZoomIn, false);
    QVERIFY(slider->building());
    Pump();
    velmora::PlaybackSummary s = engine_->summary();
    QCOMPARE(s.feed.startTime, kHourStart + 40);
    QCOMPARE(s.feed.endTime, kHourStart + 80);
    QVERIFY(!control_->hasSelection());
    QCOMPARE(slider->selectionStart(), -1);
    QVERIFY(pane_->rangeBar()->isEnabled());
    QCOMPARE(pane_->durationLabel()->text(),
             QString("0 days + 00:00:40 showing    (0 days + 00:02:40 total)"));

    // Zoom in around the slider without a selection: a third of the columns.
    slider->setValue(0);
    QTest::mouseClick(slider, Qt::LeftButton, Qt::NoModifier, QPoint(slider->columnX(80), 40));
    pane_->execute(velmora::control::kCmdZoomIn, false);
    Pump();
    s = engine_->summary();
    QVERIFY(std::abs(s.rangeLength - 40.0 * 53 / 160) < 0.01);

    pane_->execute(velmora::control::kCmdZoomOut, true);
    Pump();
    s = engine_->summary();
    QCOMPARE(s.feed.startTime, kHourStart);
    QCOMPARE(s.feed.endTime, kHourStart + 160);
    QVERIFY(!pane_->rangeBar()->isEnabled());
  }

  // Every speed position: the label's text and the speed sent to the playback thread;
  // the thread's speed-up report moves the slider; a double click on the label is real
  // time again.
  void speedSliderAndLabel() {
    const char* labels[] = {"0.1", "0.2", "0.3", "0.4", "0.5", "0.8", "1.0",  "1.2",   "1.5",
                            "2.0", "2.5", "3.0", "4.0", "5.0", "7.0", "10.0", "25",    "50",
                            "100", "250", "500", "1000", "2500", "5000", "10000", "25000", "100000"};
    QCOMPARE(pane_->speedLabel()->text(), QString("1.0"));
    QCOMPARE(pane_->speedSlider()->value(), 6);
    QCOMPARE(pane_->speedSlider()->maximum(), 26);
    QCOMPARE(pane_->speedSlider()->tickInterval(), 2);
    Sent();
    for (int p = 26; p >= 0; --p) {
      pane_->speedSlider()->setValue(p);
      QCOMPARE(pane_->speedLabel()->text(), QString(labels[p]));
      const std::vector<velmora::PlaybackMessage> sent = Sent();
      QCOMPARE(sent.size(), size_t{1});
      QCOMPARE(std::get<velmora::PlayMsgSpeed>(sent[0]).tenths, velmora::SpeedStepTenths(p));
    }
    velmora::AppMessage up = velmora::MsgSpeedUp{};
    control_->HandleMessage(up);
    QCOMPARE(pane_->speedSlider()->value(), 1);
    QCOMPARE(pane_->speedLabel()->text(), QString("0.2"));
    QTest::mouseDClick(pane_->speedLabel(), Qt::LeftButton);
    QCOMPARE(pane_->speedSlider()->value(), 6);
    QCOMPARE(pane_->speedLabel()->text(), QString("1.0"));
    const std::vector<velmora::PlaybackMessage> sent = Sent();
    QVERIFY(!sent.empty());
    QCOMPARE(std::get<velmora::PlayMsgSpeed>(sent.back()).tenths, 10);
  }

  // Three days recorded: the last 48 hours shown, the scroll bar's page is their length;
  // a line step to the left ends in a feed a quarter further back, the zoom position
  // reset; a typed time outside the shown range re-centres it.
  void rangeScrollAndTypedTime() {
    AddDevice("Yard", 0);
    RecordWriter writer(LastFolder().path());
    const auto jpeg = SmallJpeg();
    const int64_t end = kHourStart + 3 * 86400;
    for (int64_t t = kHourStart; t <= end; t += 1800) writer.Append(t, 0, jpeg);
    pane_->execute(velmora::control::kCmdPlayback, false);
    Pump();
    QScrollBar* bar = pane_->rangeBar();
    QVERIFY(bar->isEnabled());
    QCOMPARE(bar->pageStep(), 172800);
    QCOMPARE(bar->singleStep(), 43200);
    QCOMPARE(bar->maximum(), 86400);
    QCOMPARE(bar->value(), 86400);

    bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    QCOMPARE(bar->value(), 86400 - 43200);
    QVERIFY2(engine_->queue().empty(), "the feed waits for the end of the scroll");
    QTRY_VERIFY(!engine_->queue().empty());
    Pump();
    velmora::PlaybackSummary s = engine_->summary();
    QCOMPARE(s.feed.startTime, end - 172800 - 43200);
    QCOMPARE(s.feed.endTime, end - 43200);
    QCOMPARE(s.full.startTime, kHourStart);
    QCOMPARE(control_->sliderColumn(), 0);
    QCOMPARE(bar->value(), 86400 - 43200);

    // A page left goes to the start of the recordings and no further.
    bar->triggerAction(QAbstractSlider::SliderPageStepSub);
    pane_->endRangeScroll();
    Pump();
    s = engine_->summary();
    QCOMPARE(s.feed.startTime, kHourStart);
    QCOMPARE(bar->value(), 0);

    // A typed time inside the shown range: the slider goes there.
    const QDateTime inside = QDateTime::fromSecsSinceEpoch(kHourStart + 86400);
    pane_->dateEdit()->setDate(inside.date());
    pane_->timeEdit()->setTime(inside.time());
    Sent();
    pane_->applyDateTime();
    QVERIFY(std::abs(control_->ColumnTime(control_->sliderColumn()) - (kHourStart + 86400)) <= s.rangeLength / s.columns);
    const std::vector<velmora::PlaybackMessage> sent = Sent();
    QCOMPARE(sent.size(), size_t{1});
    QVERIFY(std::holds_alternative<velmora::PlayMsgSeek>(sent[0]));
    // Outside: a new shown range of the same length centred on it, kept inside the
    // recordings (here it meets their end), with the slider on the typed time.
    const QDateTime outside = QDateTime::fromSecsSinceEpoch(end - 20 * 3600);
    pane_->dateEdit()->setDate(outside.date());
    pane_->timeEdit()->setTime(outside.time());
    pane_->applyDateTime();
    Pump();
    s = engine_->summary();
    QVERIFY(std::abs(s.feed.start() - (end - 172800)) < 1.0);
    QVERIFY(std::abs(s.feed.end() - end) < 1.0);
    const double shown = control_->ColumnTime(control_->sliderColumn());
    QVERIFY(std::abs(shown - (end - 20 * 3600)) <= s.rangeLength / s.columns);
    // The fields show the slider's time.
    const QDateTime fields = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(shown * 1000)));
    QCOMPARE(pane_->dateEdit()->date(), fields.date());
    QCOMPARE(pane_->timeEdit()->time(), fields.time());
  }
};

VELMORA_UI_TEST(PlaybackPaneTest);

// The main window's side: the pane appears with playback and goes with it unless
// playbackShow is on, the commands run through the window's actions, and the close box
// leaves playback and clears the setting.
class PlaybackWindowTest : public QObject {
  Q_OBJECT

 private:
  velmora::Settings saved_;
  std::shared_ptr<velmora::GroupRecord> root_, local_;

 private slots:
  void init() {
    saved_ = velmora::test::TestSettings();
    velmora::test::TestSettings() = velmora::Settings{};
    velmora::programSignals().playbackMode.store(false);
    for (int t = 0; t < velmora::viewSlotCount; ++t) {
      ProgramSlots().SetPlaybackSlot(t, -1);
      ProgramSlots().SetRecordingMark(t, velmora::kRecordingMarkOff);
    }
    root_ = velmora::CreateRecord(velmora::EntryKind::Root, velmora::kRootName);
    local_ = velmora::CreateRecord(velmora::EntryKind::LocalNVR, "This NVR");
    velmora::InsertEntry(root_.get(), local_);
    TestTree().root = root_;
  }
  void cleanup() {
    velmora::programPlayback().controller.Leave();
    while (velmora::programPlayback().engine.queue().take()) {
    }
    TestTree().root.reset();
    velmora::DestroyTree(root_.get());
    for (int t = 0; t < velmora::viewSlotCount; ++t) {
      ProgramSlots().SetPlaybackSlot(t, -1);
      ProgramSlots().SetRecordingMark(t, velmora::kRecordingMarkOff);
    }
    velmora::programSignals().playbackMode.store(false);
    velmora::test::TestSettings() = saved_;
  }

  void paneFollowsPlaybackAndCloseBoxLeavesIt() {
    velmora::programPlayback().controller.setTree(TestTreeShare());
    velmora::ui::CoreEvents events(nullptr, velmora::programPlayback().controller, TestTree(), TestPaths());
    velmora::ui::MainWindow window(nullptr, &events);
    window.resize(1100, 760);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QStringList boxes;
    window.playbackControls()->setMessageBox([&](const QString& text) { boxes << text; });
    QVERIFY(!window.playbackPane()->isVisible());
    QVERIFY(window.action(10050)->isEnabled());
    QVERIFY(!window.action(10057)->isEnabled());
    QVERIFY2(!window.action(10051)->isEnabled(), "export is not part of this pane's commands");

    window.runCommand(10050);
    QCOMPARE(boxes, QStringList{"There are no view windows active."});
    QVERIFY(!window.playbackPane()->isVisible());

    // Two active tiles, one recording: that one is taken.
    velmora::GroupRecord* north = nullptr;
    for (int t = 0; t < 2; ++t) {
      auto node = velmora::CreateRecord(velmora::EntryKind::NASDevice, t == 0 ? "North" : "South");
      node->location = "/nonexistent-velmora-test";
      node->viewIndex = t;
      node->shownIn = &ProgramSlots();
      node->fetchIndex = t;
      node->fetchActive = true;
      velmora::InsertEntry(local_.get(), node);
      if (t == 0) north = node.get();
      ProgramSlots().SetCaptionAndClear(t, "live");
    }
    window.runCommand(10050);
    QCOMPARE(boxes.size(), 2);
    QVERIFY(boxes[1].startsWith("Please select a viewing window"));
    ProgramSlots().SetRecordingMark(1, velmora::kRecordingMarkOn);
    window.runCommand(10050);
    QVERIFY(velmora::programSignals().playbackMode.load());
    QCOMPARE(velmora::programPlayback().controller.playbackTiles(), std::vector<int>{1});
    QVERIFY(window.playbackPane()->isVisible());
    QVERIFY(window.action(10050)->isChecked());
    QVERIFY(window.action(10057)->isEnabled());
    QVERIFY(window.playbackControls()->timeline()->isEnabled());
    // The playback toolbar: the window's own actions, Playback and Export with text.
    const QList<QAction*> tools = window.playbackControls()->toolbar()->actions();
    QCOMPARE(tools.size(), 12);
    QCOMPARE(tools[0], window.action(10050));
    QCOMPARE(tools[11], window.action(10058));
    auto* playButton = qobject_cast<QToolButton*>(window.playbackControls()->toolbar()->widgetForAction(tools[0]));
    QVERIFY(playButton != nullptr);
    QCOMPARE(playButton->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
    QCOMPARE(playButton->text(), QString("Playback"));

    // Play, through the window's action, reaches the playback thread.
    while (velmora::programPlayback().engine.queue().take()) {
    }
    window.action(10057)->trigger();
    auto posted = velmora::programPlayback().engine.queue().take();
    QVERIFY(posted.has_value());
    QVERIFY(std::holds_alternative<velmora::PlayMsgPlayForward>(*posted));

    // The close box: playback left, the setting off, the tiles back.
    velmora::test::TestSettings().playbackShow = true;
    QTest::mouseClick(window.playbackPane()->closeButton(), Qt::LeftButton);
    QVERIFY(!velmora::programSignals().playbackMode.load());
    QVERIFY(!velmora::test::TestSettings().playbackShow);
    QVERIFY(!window.playbackPane()->isVisible());
    QVERIFY(!window.action(10050)->isChecked());
    QCOMPARE(QString::fromStdString(ProgramSlots().Text(1)), QString("live"));

    // Leaving with playbackShow on keeps the pane.
    velmora::test::TestSettings().playbackShow = true;
    window.runCommand(10050);
    QVERIFY(window.playbackPane()->isVisible());
    window.runCommand(10050);
    QVERIFY(!velmora::programSignals().playbackMode.load());
    QVERIFY(window.playbackPane()->isVisible());
    QVERIFY(!window.playbackControls()->timeline()->isEnabled());

    // "Play recorded data" on the selected node: its tile alone takes part.
    QCOMPARE(ProgramSlots().PlaybackSlot(1), 0);
    window.treePane()->selectRecord(north);
    QVERIFY(window.action(10019)->isEnabled());
    window.runCommand(10019);
    QVERIFY(velmora::programSignals().playbackMode.load());
    QCOMPARE(velmora::programPlayback().controller.playbackTiles(), std::vector<int>{0});
    QCOMPARE(ProgramSlots().PlaybackSlot(0), 0);
    QCOMPARE(ProgramSlots().PlaybackSlot(1), -1);
    QCOMPARE(window.viewFrame()->playbackAnchor(), 0);
    QVERIFY(!window.action(10019)->isEnabled());
    window.runCommand(10050);
    QVERIFY(!velmora::programSignals().playbackMode.load());
  }

  // Showing an entry decides playback: a leftover recordings folder, double-clicked, is
  // played in its tile; any other entry shown during playback leaves it first, the
  // device it played going live again; a folder shown during playback gets a feed of
  // its own.
  void showingAnEntryEntersOrLeavesPlayback() {
    const velmora::Paths savedPaths = TestPaths();
    TempFolder recordings;
    TestPaths().pathData = recordings.str() + "/";
    TestTree().recordingsFolder = TestPaths().pathData;
    auto yard = velmora::CreateRecord(velmora::EntryKind::Group, "Yard");
    yard->path = "Yard";
    velmora::InsertEntry(local_.get(), yard);
    auto north = velmora::CreateRecord(velmora::EntryKind::NASDevice, "North");
    north->location = "/nonexistent-velmora-test";
    north->enabled = true;
    velmora::InsertEntry(yard.get(), north);
    velmora::GroupRecord* branch = velmora::AddOldRecordingsBranch(*root_, {"Old", "Older"});
    QVERIFY(branch != nullptr);
    velmora::GroupRecord* old = branch->children[0].get();
    velmora::GroupRecord* older = branch->children[1].get();

    velmora::programPlayback().controller.setTree(TestTreeShare());

    velmora::ui::CoreEvents events(nullptr, velmora::programPlayback().controller, TestTree(), TestPaths());
    velmora::ui::MainWindow window(nullptr, &events);
    window.resize(1100, 760);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QStringList boxes;
    window.playbackControls()->setMessageBox([&](const QString& text) { boxes << text; });
    QTreeView* view = window.treePane()->view();
    view->expandAll();
    auto doubleClick = [&](velmora::GroupRecord* record) {
      const QModelIndex index = window.treePane()->model()->indexOf(record);
      view->scrollTo(index);
      const QPoint at = view->visualRect(index).center();
      QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at);
      QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    };
    auto sent = [] {
      std::vector<velmora::PlaybackMessage> messages;
      while (auto m = velmora::programPlayback().engine.queue().take()) messages.push_back(std::move(*m));
      return messages;
    };
    sent();

    // The folder gets tile 0 with a playback slot and its feed.
    doubleClick(old);
    QVERIFY(velmora::programSignals().playbackMode.load());
    QVERIFY(window.playbackPane()->isVisible());
    QCOMPARE(old->viewIndex, 0);
    QCOMPARE(ProgramSlots().PlaybackSlot(0), 0);
    std::vector<velmora::PlaybackMessage> messages = sent();
    QCOMPARE(messages.size(), std::size_t{1});
    auto* feed = std::get_if<velmora::PlayMsgNewFeed>(&messages[0]);
    QVERIFY(feed != nullptr);
    QCOMPARE(feed->views.size(), std::size_t{1});
    QCOMPARE(feed->views[0].name, std::string("Old"));
    QCOMPARE(feed->views[0].source, recordings.str() + "/Old");

    // A group shown during playback: playback stops first, then the group's device
    // takes the tile, live.
    doubleClick(yard.get());
    QVERIFY(!velmora::programSignals().playbackMode.load());
    QVERIFY(!window.playbackPane()->isVisible());
    messages = sent();
    QCOMPARE(messages.size(), std::size_t{1});
    QVERIFY(std::holds_alternative<velmora::PlayMsgStop>(messages[0]));
    QCOMPARE(north->viewIndex, 0);
    QCOMPARE(old->viewIndex, -1);
    QVERIFY(!old->stillShown);
    QCOMPARE(ProgramSlots().PlaybackSlot(0), -1);
    QCOMPARE(QString::fromStdString(ProgramSlots().Text(0)), QString("Connecting to North"));

    // The device played back, then another folder shown: the device goes live again
    // (no still left behind) and the folder plays with a new feed.
    window.runCommand(10050);
    QVERIFY(velmora::programSignals().playbackMode.load());
    QVERIFY(north->stillShown);
    sent();
    doubleClick(older);
    QVERIFY(velmora::programSignals().playbackMode.load());
    QVERIFY(!north->stillShown);
    QCOMPARE(north->viewIndex, -1);
    QCOMPARE(older->viewIndex, 0);
    QCOMPARE(QString::fromStdString(ProgramSlots().Text(0)), QString("Older"));
    messages = sent();
    QCOMPARE(messages.size(), std::size_t{2});
    QVERIFY(std::holds_alternative<velmora::PlayMsgStop>(messages[0]));
    feed = std::get_if<velmora::PlayMsgNewFeed>(&messages[1]);
    QVERIFY(feed != nullptr);
    QCOMPARE(feed->views.size(), std::size_t{1});
    QCOMPARE(feed->views[0].name, std::string("Older"));

    // The whole branch shown: both folders play side by side.
    doubleClick(branch);
    messages = sent();
    QCOMPARE(messages.size(), std::size_t{2});
    feed = std::get_if<velmora::PlayMsgNewFeed>(&messages[1]);
    QVERIFY(feed != nullptr);
    QCOMPARE(feed->views.size(), std::size_t{2});

    // Play on the recordings of a stick, as its menu offers it outside playback.
    window.runCommand(10050);
    QVERIFY(!velmora::programSignals().playbackMode.load());
    velmora::ScanNode drive;
    drive.scanType = velmora::EntryKind::RemovableDrive;
    drive.name = "STICK";
    drive.path = "/media/velmora-test-stick";
    auto found = std::make_unique<velmora::ScanNode>();
    found->scanType = velmora::EntryKind::RemovableFolder;
    found->scanDepth = 1;
    found->name = "STICK";
    found->path = drive.path;
    drive.children.push_back(std::move(found));
    velmora::GroupRecord* stick = velmora::AddScanResult(*root_, drive);
    QVERIFY(stick != nullptr);
    window.treePane()->selectRecord(stick->children[0].get());
    sent();
    window.runCommand(10008);
    QVERIFY(velmora::programSignals().playbackMode.load());
    messages = sent();
    QCOMPARE(messages.size(), std::size_t{1});
    feed = std::get_if<velmora::PlayMsgNewFeed>(&messages[0]);
    QVERIFY(feed != nullptr);
    QCOMPARE(feed->views.size(), std::size_t{1});
    QCOMPARE(feed->views[0].source, std::string("/media/velmora-test-stick"));
    QVERIFY(boxes.isEmpty());
    TestPaths() = savedPaths;
    TestTree().recordingsFolder = TestPaths().pathData;
    TestTree().filePath = TestPaths().deviceTreePath;
  }
};

VELMORA_UI_TEST(PlaybackWindowTest);

#include "test_playback_pane.moc"
