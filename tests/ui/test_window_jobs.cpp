// Jobs a first-time user does in the main window, offscreen: the tile menu's states, the
// zoom rules of playback, the Playback Controls at the smallest window, opening files
// through a desktop that fails, adding a camera from the File menu on a fresh tree with
// the empty view saying how, the Device List's splitter, the recording button and mark,
// and the keys and mnemonics the menus show.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSlider>
#include <QSplitter>
#include <QSplitterHandle>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeEdit>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <memory>
#include <string>

#include "app/messages.h"
#include "app/paths.h"
#include "app/settings.h"
#include "app/strings.h"
#include "fake_programs.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "model/tree_file.h"
#include "playback/playback_thread.h"
#include "playback/test_recorded_data_support.h"
#include "app/program_signals.h"
#include "ui/core_events.h"
#include "ui/main_window.h"
#include "ui/pane.h"
#include "ui/playback_pane.h"
#include "ui/timeline_slider.h"
#include "ui/tree_actions.h"
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

using velmora::CreateRecord;
using velmora::GroupRecord;
using velmora::test::ProgramSlots;
namespace EntryKind = velmora::EntryKind;
using velmora::ui::CoreEvents;
using velmora::ui::MainWindow;

namespace {

GroupRecord& Add(GroupRecord& parent, int32_t kind, const std::string& name, const std::string& location = "") {
  auto record = CreateRecord(kind, name);
  record->path = velmora::ComputePath(&parent, kind, name);
  record->enabled = true;
  record->location = location;
  velmora::InsertEntry(&parent, record);
  return *record;
}

QList<int> MenuIds(QMenu* menu) {
  QList<int> ids;
  for (QAction* a : menu->actions()) ids << (a->isSeparator() ? 0 : a->data().toInt());
  return ids;
}

// The visible message boxes a window shows without waiting (opening failures).
QList<QMessageBox*> OpenBoxes(QWidget* window) {
  QList<QMessageBox*> shown;
  for (QMessageBox* box : window->findChildren<QMessageBox*>(QStringLiteral("openFailedBox"))) {
    if (box->isVisible()) shown << box;
  }
  return shown;
}

// The playback thread's work and the main window's handling of its reports, on this
// thread, until both sides are idle.
void PumpPlayback() {
  for (int round = 0; round < 100; ++round) {
    int passes = 0;
    while (passes < 10000 && velmora::programPlayback().engine.processOne()) ++passes;
    bool any = false;
    // As the program's tick: the core's handling, then the window's subscribers.
    while (auto m = velmora::mainQueue().take()) {
      any = true;
      velmora::programPlayback().controller.HandleMessage(*m);
      velmora::mainQueue().deliver(*m);
    }
    if (!any && passes == 0) return;
  }
}

}  // namespace

class WindowJobsTest : public QObject {
  Q_OBJECT

 private:
  velmora::Settings saved_;
  velmora::Paths savedPaths_;
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<CoreEvents> events_;
  std::unique_ptr<MainWindow> window_;
  QStringList shown_;

  void Open(int width = 1000, int height = 700) {
    window_ = std::make_unique<MainWindow>(nullptr, events_.get());
    window_->treeActions()->setMessageShower([this](const QString& text) { shown_ << text; });
    window_->playbackControls()->setMessageBox([this](const QString& text) { shown_ << text; });
    window_->setSettingsSaver([] {});
    window_->resize(width, height);
    window_->show();
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
  }
  // The items of the menu that opens next, read while it is open; then it is closed.
  void ReadMenuWhenOpen(QList<QAction*>& items) {
    QTimer::singleShot(50, [&items] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (menu == nullptr) return;
      items = menu->actions();
      for (QAction* a : items) a->setParent(nullptr);  // kept past the menu
      menu->close();
    });
  }
  QAction* Item(const QList<QAction*>& items, int id) {
    for (QAction* a : items) {
      if (a->data().toInt() == id) return a;
    }
    return nullptr;
  }
  void DrainPlayback() {
    velmora::programPlayback().controller.Leave();
    PumpPlayback();
    while (velmora::programPlayback().engine.queue().take()) {
    }
    while (velmora::mainQueue().take()) {
    }
  }

 private slots:
  void init() {
    saved_ = velmora::test::TestSettings();
    savedPaths_ = TestPaths();
    dir_ = std::make_unique<QTemporaryDir>();
    const std::string base = dir_->path().toStdString() + "/";
    velmora::test::PointTestFoldersAt(base);
    velmora::test::TestSettings() = velmora::Settings{};
    velmora::programSignals().playbackMode.store(false);
    for (int t = 0; t < velmora::viewSlotCount; ++t) {
      ProgramSlots().SetPlaybackSlot(t, -1);
      ProgramSlots().SetRecordingMark(t, velmora::kRecordingMarkOff);
    }
    TestTree().root = CreateRecord(EntryKind::Root, velmora::kRootName);
    shown_.clear();
    velmora::programPlayback().controller.setTree(TestTreeShare());
    events_ = std::make_unique<CoreEvents>(nullptr, velmora::programPlayback().controller, TestTree(), TestPaths());
  }

  void cleanup() {
    DrainPlayback();
    window_.reset();
    events_.reset();
    if (TestTree().root) velmora::DestroyTree(TestTree().root.get());
    TestTree().root.reset();
    for (int t = 0; t < velmora::viewSlotCount; ++t) {
      ProgramSlots().SetPlaybackSlot(t, -1);
      ProgramSlots().SetRecordingMark(t, velmora::kRecordingMarkOff);
    }
    velmora::test::TestSettings() = saved_;
    TestPaths() = savedPaths_;
    TestTree().recordingsFolder = TestPaths().pathData;
    TestTree().filePath = TestPaths().deviceTreePath;
    velmora::programSignals().playbackMode.store(false);
    dir_.reset();
  }

  // The tile menu takes the main menu's rules: Recording is checked for a recording
  // camera, the commands a web image cannot carry out are disabled, Copy Image without
  // a picture is disabled.
  void tileMenuShowsCheckedAndDisabledStates() {
    GroupRecord& nvr = Add(*TestTree().root, EntryKind::LocalNVR, "All Views");
    GroupRecord& lobby = Add(nvr, EntryKind::Group, "Lobby");
    // Shown devices are fetched: loopback ports where nothing listens.
    GroupRecord& gate = Add(lobby, EntryKind::Device, "Gate", "127.0.0.1:18651");
    gate.recording = true;
    GroupRecord& web = Add(lobby, EntryKind::HTTPDevice, "Web", "http://127.0.0.1:18652/a.jpg");
    web.recording = false;
    Open();
    window_->showNode(&lobby);
    velmora::ui::ViewFrame* frame = window_->viewFrame();
    QCOMPARE(gate.viewIndex, 0);
    QCOMPARE(web.viewIndex, 1);

    QList<QAction*> items;
    ReadMenuWhenOpen(items);
    QCOMPARE(frame->openTileMenu(0, QPoint(100, 100)), 0);
    QCOMPARE(items.size(), 12);
    QAction* recording = Item(items, 10013);
    QVERIFY(recording != nullptr);
    QVERIFY(recording->isCheckable());
    QVERIFY(recording->isChecked());
    QVERIFY(recording->isEnabled());
    QVERIFY2(!Item(items, 10024)->isEnabled(), "Copy Image without a picture");
    QVERIFY(!Item(items, 10018)->isEnabled());
    QVERIFY(Item(items, 10022)->isEnabled());  // Telnet to a camera
    QVERIFY(Item(items, 10015)->isEnabled());
    QVERIFY(Item(items, 10017)->isCheckable());
    QVERIFY(!Item(items, 10017)->isChecked());
    qDeleteAll(items);

    items.clear();
    ReadMenuWhenOpen(items);
    QCOMPARE(frame->openTileMenu(1, QPoint(100, 100)), 0);
    QCOMPARE(items.size(), 12);
    QVERIFY(Item(items, 10013)->isCheckable());
    QVERIFY(!Item(items, 10013)->isChecked());
    QVERIFY2(!Item(items, 10022)->isEnabled(), "no telnet to a web image");
    QVERIFY(!Item(items, 10020)->isEnabled());
    QVERIFY(!Item(items, 10021)->isEnabled());
    QVERIFY(Item(items, 10012)->isEnabled());
    qDeleteAll(items);
  }

  // Zoom In needs at least 20 pictures in the shown range, Zoom Out a range narrower
  // than all the material; a key for a zoom that cannot be done asks for nothing.
  void zoomFollowsThePicturesAndTheRange() {
    GroupRecord& nvr = Add(*TestTree().root, EntryKind::LocalNVR, "All Views");
    velmora::playtest::TempFolder few, many;
    GroupRecord& door = Add(nvr, EntryKind::NASDevice, "Door", few.str());
    door.viewIndex = door.fetchIndex = 0;
    door.shownIn = &ProgramSlots();
    door.fetchActive = true;
    ProgramSlots().SetCaptionAndClear(0, "Door");
    velmora::playtest::RecordWriter sparse(few.path());
    for (int i = 0; i < 10; ++i) sparse.Append(velmora::playtest::kHourStart + 10 * i, 0, velmora::playtest::SmallJpeg());
    Open();
    window_->runCommand(10050);
    QVERIFY(velmora::programSignals().playbackMode.load());
    PumpPlayback();
    QVERIFY(velmora::programPlayback().controller.rangeKnown());
    window_->updateCommands();
    QVERIFY(window_->action(10057)->isEnabled());  // Play
    QVERIFY2(!window_->action(10052)->isEnabled(), "10 pictures are too few to zoom into");
    QVERIFY2(!window_->action(10053)->isEnabled(), "all the material is shown");
    while (velmora::programPlayback().engine.queue().take()) {
    }
    QTest::keyClick(window_.get(), Qt::Key_Plus);
    QTest::keyClick(window_.get(), Qt::Key_Minus);
    QVERIFY2(velmora::programPlayback().engine.queue().empty(), "no new feed was asked for");
    window_->runCommand(10050);
    PumpPlayback();
    QVERIFY(!velmora::programSignals().playbackMode.load());

    // 60 pictures over two minutes: zoom in, and then zoom out again.
    door.location = many.str();
    velmora::playtest::RecordWriter dense(many.path());
    for (int i = 0; i < 60; ++i) dense.Append(velmora::playtest::kHourStart + 2 * i, 0, velmora::playtest::SmallJpeg());
    window_->runCommand(10050);
    PumpPlayback();
    QVERIFY(window_->action(10052)->isEnabled());
    QVERIFY(!window_->action(10053)->isEnabled());
    window_->runCommand(10052);
    PumpPlayback();
    QVERIFY(velmora::programPlayback().controller.canZoomOut());
    QVERIFY2(window_->action(10053)->isEnabled(), "the feed arrived: zooming out is possible now");
    window_->runCommand(10053);
    PumpPlayback();
    QVERIFY(!velmora::programPlayback().controller.canZoomOut());
    QVERIFY(!window_->action(10053)->isEnabled());
  }

  // At the smallest window, in playback with a feed (its range texts long), the Playback
  // Controls show every control whole: their bands wrap, the pane is as high as the
  // wrapped rows, and the Device List keeps its width while the window shrinks.
  void playbackControlsWholeAtTheSmallestWindow() {
    GroupRecord& nvr = Add(*TestTree().root, EntryKind::LocalNVR, "All Views");
    velmora::playtest::TempFolder folder;
    GroupRecord& door = Add(nvr, EntryKind::NASDevice, "Door", folder.str());
    door.viewIndex = door.fetchIndex = 0;
    door.shownIn = &ProgramSlots();
    door.fetchActive = true;
    ProgramSlots().SetCaptionAndClear(0, "Door");
    velmora::playtest::RecordWriter writer(folder.path());
    for (int i = 0; i < 40; ++i) writer.Append(velmora::playtest::kHourStart + 3 * i, 0, velmora::playtest::SmallJpeg());
    Open();
    window_->runCommand(10050);
    PumpPlayback();
    velmora::ui::PlaybackPane* controls = window_->playbackControls();
    QVERIFY(!controls->durationLabel()->text().isEmpty());
    window_->resize(640, 480);
    QTRY_COMPARE(window_->size(), QSize(640, 480));
    QApplication::processEvents();
    QCOMPARE(window_->deviceListPane()->width(), 216);
    QVERIFY(window_->playbackPane()->isVisible());
    auto text = [](const QRect& r) { return QString("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()); };
    const QRect pane = QRect(controls->mapTo(window_.get(), QPoint(0, 0)), controls->size());
    QVERIFY2(window_->centralWidget()->geometry().contains(pane), qPrintable(text(pane)));
    for (QWidget* w : std::initializer_list<QWidget*>{controls->speedSlider(), controls->speedLabel(),
                                                       controls->timeEdit(), controls->toolbar(),
                                                       controls->timeline(), controls->durationLabel(),
                                                       controls->startLabel(), controls->endLabel()}) {
      QVERIFY(w->isVisible());
      const QRect r(w->mapTo(controls, QPoint(0, 0)), w->size());
      QVERIFY2(controls->rect().contains(r), qPrintable(w->objectName() + " at " + text(r) + " of " + text(controls->rect())));
      QVERIFY2(r.height() >= w->minimumSizeHint().height(), qPrintable(w->objectName()));
    }
    // The duration text is not cut: it wraps inside its label.
    QLabel* duration = controls->durationLabel();
    QVERIFY2(duration->height() >= duration->heightForWidth(duration->width()),
             qPrintable(QString("%1 < %2").arg(duration->height()).arg(duration->heightForWidth(duration->width()))));
    // The toolbar's buttons are all there, none in an overflow menu.
    auto* extension = controls->toolbar()->findChild<QToolButton*>("qt_toolbar_ext_button");
    QVERIFY(extension == nullptr || !extension->isVisible());
  }

  // Open Log File, Open Recording Folder and Help: when xdg-open fails or is missing, a
  // box names the path and the reason.
  void openingFailuresAreShownWithThePathAndTheReason() {
    Add(*TestTree().root, EntryKind::LocalNVR, "All Views");
    Open();
    velmora::uitest::FakePrograms fakes;
    fakes.add("xdg-open", QString(), 3);
    window_->runCommand(10062);
    QTRY_COMPARE(OpenBoxes(window_.get()).size(), 1);
    QMessageBox* box = OpenBoxes(window_.get()).first();
    QVERIFY(box->text().contains(QString::fromStdString(TestPaths().logPath)));
    QVERIFY2(box->text().contains("status 3") && box->text().contains("A required tool could not be found."),
             qPrintable(box->text()));
    QCOMPARE(box->windowTitle(), QString("Velmora NVR"));
    QVERIFY(!box->isModal());
    box->close();
    QTRY_COMPARE(OpenBoxes(window_.get()).size(), 0);

    // No xdg-open at all.
    fakes.onlyFakes();
    QFile::remove(fakes.path("xdg-open"));
    window_->runCommand(10063);
    QTRY_COMPARE(OpenBoxes(window_.get()).size(), 1);
    box = OpenBoxes(window_.get()).first();
    QVERIFY(box->text().contains(QString::fromStdString(TestPaths().pathData)));
    QVERIFY2(box->text().contains("could not be started"), qPrintable(box->text()));
    box->close();
    QTRY_COMPARE(OpenBoxes(window_.get()).size(), 0);

    // Help: the manual's path.
    fakes.add("xdg-open", QString(), 4);
    window_->runCommand(238);
    QTRY_COMPARE(OpenBoxes(window_.get()).size(), 1);
    box = OpenBoxes(window_.get()).first();
    QVERIFY2(box->text().contains("/manual/index.html") && box->text().contains("The action failed."),
             qPrintable(box->text()));
    box->close();

    // A desktop that opens the file says nothing.
    fakes.add("xdg-open");
    window_->runCommand(10062);
    QTRY_COMPARE(fakes.arguments("xdg-open"), (QStringList{"1", QString::fromStdString(TestPaths().logPath)}));
    QTest::qWait(100);
    QCOMPARE(OpenBoxes(window_.get()).size(), 0);
  }

  // A fresh tree: the empty view says how to add a camera; File > Add Camera... offers
  // the generic cameras beside the templates, and each goes through the property sheet
  // into the selection's group as the right kind of entry.
  void firstStartAddsACameraFromTheFileMenu() {
    QVERIFY(velmora::InitTree(TestTree(), TestPaths().deviceTreePath) == false);  // the default tree
    GroupRecord* nvr = TestTree().root->children.front().get();
    GroupRecord* cameras = nvr->children.front().get();
    QCOMPARE(cameras->name, std::string("Local Network Cameras"));
    Open();
    window_->treePane()->model()->reload();
    window_->refreshViewsForSelection();
    auto* hint = window_->viewFrame()->findChild<QLabel*>(QStringLiteral("emptyViewHint"));
    QVERIFY(hint != nullptr);
    QVERIFY(hint->isVisible());
    QVERIFY(hint->text().contains("Add Camera..."));
    QVERIFY(hint->geometry().intersects(window_->viewFrame()->rect()));

    // File: Import, New Group, then the popup.
    QMenu* file = window_->menuBar()->actions()[0]->menu();
    QMenu* add = nullptr;
    for (QAction* a : file->actions()) {
      if (a->menu() != nullptr) add = a->menu();
    }
    QVERIFY(add != nullptr);
    QCOMPARE(add->title(), QString("Add &Camera..."));
    QCOMPARE(MenuIds(add).mid(0, 5), (QList<int>{20100, 20101, 20102, 0, 20000}));
    QCOMPARE(add->actions()[0]->text(), QString("IP camera (JPEG / MJPEG over HTTP)"));
    QCOMPARE(add->actions()[2]->text(), QString("HTTPS camera"));

    // The sheet sees the new entry with its scheme typed in; the operator completes it.
    QList<std::pair<int32_t, std::string>> offered;
    int port = 18660;
    window_->treeActions()->setPropertiesRunner([&](GroupRecord& entry) {
      offered.push_back({entry.kind, entry.location});
      entry.name = "Cam " + std::to_string(port);
      // A loopback port where nothing listens: the shown camera is fetched.
      entry.location = entry.location.substr(0, entry.location.find("://")) + "://127.0.0.1:" + std::to_string(port++) + "/live";
      return true;
    });
    window_->treePane()->selectRecord(nvr);  // the recorder: the first group takes it
    add->actions()[1]->trigger();            // RTSP
    QCOMPARE(offered.size(), 1);
    QCOMPARE(offered[0].first, int32_t(EntryKind::HTTPDevice));
    QVERIFY(QString::fromStdString(offered[0].second).startsWith("rtsp://"));
    QCOMPARE(cameras->children.size(), std::size_t{1});
    GroupRecord* rtsp = cameras->children.front().get();
    QCOMPARE(rtsp->kind, int32_t(EntryKind::HTTPDevice));
    QCOMPARE(rtsp->location, std::string("rtsp://127.0.0.1:18660/live"));
    QCOMPARE(window_->treePane()->selectedRecord(), rtsp);
    QVERIFY2(!hint->isVisible(), "a camera is shown now");

    // With the camera selected, an HTTPS camera goes into its group too.
    add->actions()[2]->trigger();
    QCOMPARE(cameras->children.size(), std::size_t{2});
    GroupRecord* https = cameras->children.back().get();
    QCOMPARE(https->kind, int32_t(EntryKind::HTTPDevice));
    QVERIFY(QString::fromStdString(https->location).startsWith("https://"));
    add->actions()[0]->trigger();
    QCOMPARE(cameras->children.size(), std::size_t{3});
    QVERIFY(QString::fromStdString(cameras->children.back()->location).startsWith("http://"));

    // The sibling checks of every template: a name in use is refused with 377.
    window_->treeActions()->setPropertiesRunner([](GroupRecord& entry) {
      entry.name = "cam 18660";
      entry.location = "http://127.0.0.1:18670/";
      return true;
    });
    add->actions()[0]->trigger();
    QCOMPARE(cameras->children.size(), std::size_t{3});
    QCOMPARE(shown_.size(), 1);
    QCOMPARE(shown_[0], QString::fromStdString(velmora::StringText(377)));
  }

  // The Device List's width follows the splitter and is kept for the next start; the
  // views toolbar's recording button and the status bar's mark show whether the
  // program records.
  void splitterWidthRecordingButtonAndMark() {
    Add(*TestTree().root, EntryKind::LocalNVR, "All Views");
    Open();
    auto* splitter = window_->findChild<QSplitter*>(QStringLiteral("frameSplitter"));
    QVERIFY(splitter != nullptr);
    QCOMPARE(splitter->widget(0), window_->deviceListPane());
    QCOMPARE(window_->deviceListPane()->width(), 216);
    QSplitterHandle* handle = splitter->handle(1);
    const QPoint grip = handle->rect().center();
    QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, grip);
    QMouseEvent move(QEvent::MouseMove, QPointF(grip + QPoint(84, 0)), handle->mapToGlobal(QPointF(grip + QPoint(84, 0))),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(handle, &move);
    QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, grip + QPoint(84, 0));
    QCOMPARE(window_->deviceListPane()->width(), 300);
    QCOMPARE(velmora::test::TestSettings().deviceListWidth, 300u);
    // A wider window gives its room to the views.
    window_->resize(1200, 700);
    QTRY_COMPARE(window_->width(), 1200);
    QCOMPARE(window_->deviceListPane()->width(), 300);
    // The next window starts with the stored width; a stored width beyond reason is not used.
    window_.reset();
    Open();
    QCOMPARE(window_->deviceListPane()->width(), 300);
    window_.reset();
    velmora::test::TestSettings().deviceListWidth = 90000;
    Open();
    QCOMPARE(window_->deviceListPane()->width(), 216);

    // Recording on: the button is checked, the mark says so; the button turns it off.
    velmora::test::TestSettings().recordEnable = true;
    window_->updateCommands();
    auto* mark = window_->statusBar()->findChild<QLabel*>(QStringLiteral("recordingMark"));
    QVERIFY(mark != nullptr);
    QVERIFY(mark->isVisible());
    QCOMPARE(mark->text(), QString("Recording"));
    QAction* record = window_->viewsToolbar()->actions().value(1);
    QVERIFY(record != nullptr);
    QCOMPARE(record->data().toInt(), 10059);
    auto* button = qobject_cast<QToolButton*>(window_->viewsToolbar()->widgetForAction(record));
    QVERIFY(button != nullptr);
    QVERIFY(button->isVisible());
    QVERIFY(button->isCheckable());
    QVERIFY(button->isChecked());
    QCOMPARE(button->toolTip(), QString("Toggle Recording"));
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!velmora::test::TestSettings().recordEnable);
    QVERIFY(!button->isChecked());
    QCOMPARE(mark->text(), QString("Not recording"));
    QTest::keyClick(window_.get(), Qt::Key_R, Qt::ControlModifier | Qt::AltModifier);
    QVERIFY(velmora::test::TestSettings().recordEnable);
    QVERIFY(button->isChecked());
    QCOMPARE(mark->text(), QString("Recording"));
  }

  // Menu items show the keys that send them; the playback transport items have
  // mnemonics, each letter used once in the Play menu.
  void menusShowTheirKeysAndTransportMnemonics() {
    Add(*TestTree().root, EntryKind::LocalNVR, "All Views");
    Open();
    auto keyOf = [this](int id) { return window_->action(id)->text().section('\t', 1); };
    QCOMPARE(keyOf(10016), QString("Ctrl+Shift+C"));  // Captions
    QCOMPARE(keyOf(10050), QString("Ctrl+Alt+P"));    // Playback
    QCOMPARE(keyOf(10052), QString("+"));             // Zoom In
    QCOMPARE(keyOf(10062), QString("Ctrl+Shift+L"));  // Open Log File
    QCOMPARE(window_->action(10059)->text().count('\t'), 1);  // its label names its key already
    QCOMPARE(keyOf(10055), QString());                      // no key sends Reverse Play

    QMenu* play = window_->menuBar()->actions()[3]->menu();
    QSet<QChar> letters;
    for (QAction* a : play->actions()) {
      if (a->isSeparator()) continue;
      const QString label = a->text().section('\t', 0, 0);
      const qsizetype amp = label.indexOf('&');
      QVERIFY2(amp >= 0 && amp + 1 < label.size(), qPrintable(label));
      const QChar letter = label.at(amp + 1).toLower();
      QVERIFY2(!letters.contains(letter), qPrintable(label));
      letters.insert(letter);
    }
    QCOMPARE(letters.size(), 9);
  }
};

VELMORA_UI_TEST(WindowJobsTest);

#include "test_window_jobs.moc"
