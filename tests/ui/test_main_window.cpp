// The main window offscreen: its command table (menus, accelerators, enabling), the
// status bar fed through CoreEvents, full screen, placement, panes and Exit.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include "app/messages.h"
#include "app/paths.h"
#include "app/settings.h"
#include "app/strings.h"
#include "control/commands.h"
#include "control/frame_layout.h"
#include "model/group_record.h"
#include "playback/playback_thread.h"
#include "app/program_signals.h"
#include "ui/core_events.h"
#include "ui/main_window.h"
#include "ui/pane.h"
#include "ui/playback_pane.h"
#include "ui/tray_icon.h"
#include "ui/view_frame.h"
#include "ui_test_main.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;
using velmora::test::TestTreeShare;

using velmora::ui::CoreEvents;
using velmora::ui::MainWindow;

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  velmora::Settings saved_;
  velmora::Paths savedPaths_;
  std::unique_ptr<CoreEvents> events_;
  std::unique_ptr<MainWindow> window_;

  QStringList opened_;
  QStringList warnings_;

  void Open() {
    window_ = std::make_unique<MainWindow>(nullptr, events_.get());
    window_->setExternalOpener([this](const QString& path) { opened_ << path; });
    // Ctrl+Alt+P enters playback, which finds no active view: its warning is recorded.
    window_->playbackControls()->setMessageBox([this](const QString& text) { warnings_ << text; });
    window_->resize(1000, 700);
    window_->show();
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
  }
  QList<int> MenuIds(QMenu* menu) {
    QList<int> ids;
    for (QAction* a : menu->actions()) ids << (a->isSeparator() ? 0 : a->data().toInt());
    return ids;
  }

 private slots:
  void init() {
    saved_ = velmora::test::TestSettings();
    savedPaths_ = TestPaths();
    TestPaths().logPath = "/tmp/velmora-test/Velmora NVR.log";
    TestPaths().pathData = "/tmp/velmora-test/Recordings/";
    TestTree().recordingsFolder = TestPaths().pathData;
    opened_.clear();
    warnings_.clear();
    velmora::test::TestSettings() = velmora::Settings{};
    velmora::programSignals().playbackMode.store(false);
    velmora::programPlayback().controller.setTree(TestTreeShare());
    events_ = std::make_unique<CoreEvents>(nullptr, velmora::programPlayback().controller, TestTree(), TestPaths());
    Open();
  }
  void cleanup() {
    window_.reset();
    events_.reset();
    velmora::test::TestSettings() = saved_;
    TestPaths() = savedPaths_;
    TestTree().recordingsFolder = TestPaths().pathData;
    TestTree().filePath = TestPaths().deviceTreePath;
    velmora::programSignals().playbackMode.store(false);
  }

  // Every key of the accelerator table sends its command; the layout keys select what
  // the table says, not what the View menu's labels suggest.
  void acceleratorsSendTheTableCommands() {
    QSignalSpy pressed(window_.get(), &MainWindow::acceleratorPressed);
    int sent = 0;
    for (const auto& acc : velmora::control::Accelerators()) {
      const QKeySequence seq(QString::fromLatin1(acc.key));
      QCOMPARE(window_->acceleratorCommand(seq), acc.commandId);
      // Full screen would change the window under the remaining keys.
      if (acc.commandId == 10017) continue;
      const QKeyCombination combo = seq[0];
      pressed.clear();
      QTest::keyClick(window_.get(), combo.key(), combo.keyboardModifiers());
      QVERIFY2(pressed.count() == 1, acc.key);
      QCOMPARE(pressed.at(0).at(0).toInt(), acc.commandId);
      ++sent;
    }
    QCOMPARE(sent, 31);
    // Ctrl+3: Seven Views (layout 4), though the menu shows Ctrl+3 beside 3x3.
    QTest::keyClick(window_.get(), Qt::Key_3, Qt::ControlModifier);
    QCOMPARE(window_->viewFrame()->currentLayout(), 4);
    QVERIFY(window_->action(10030)->isChecked());
    QVERIFY(!window_->action(10031)->isChecked());
    QVERIFY(window_->action(10031)->text().endsWith("\tCtrl+3"));
    QTest::keyClick(window_.get(), Qt::Key_0, Qt::ControlModifier);
    QCOMPARE(window_->viewFrame()->currentLayout(), 14);  // 8x8
    // F11 enters full screen, Escape leaves it.
    QTest::keyClick(window_.get(), Qt::Key_F11);
    QVERIFY(window_->isFullScreenMode());
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    QVERIFY(!window_->isFullScreenMode());
    // The toggles ran once each: status bar and device list hidden and stored, the
    // log and the recordings folder handed to the desktop.
    QVERIFY(!window_->statusBar()->isVisible());
    QVERIFY(!velmora::test::TestSettings().statusBarShow);
    QVERIFY(!window_->action(59393)->isChecked());
    QVERIFY(!window_->deviceListPane()->isVisible());
    QVERIFY(!velmora::test::TestSettings().deviceListShow);
    QCOMPARE(opened_, (QStringList{"/tmp/velmora-test/Velmora NVR.log", "/tmp/velmora-test/Recordings/"}));
    QTest::keyClick(window_.get(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(window_->statusBar()->isVisible());
    QVERIFY(velmora::test::TestSettings().statusBarShow);
    QVERIFY(window_->action(59393)->isChecked());
  }

  // The menu bar, its order, the toolbar and the texts and tooltips from the string table.
  void menusInOrderWithTextsAndTooltips() {
    const QList<QAction*> titles = window_->menuBar()->actions();
    QCOMPARE(titles.size(), 6);
    QStringList names;
    for (QAction* t : titles) names << t->text();
    QCOMPARE(names, (QStringList{"&File", "&Edit", "&View", "&Play", "&Tools", "&Help"}));
    int m = 0;
    for (const auto& menu : velmora::control::MainMenu()) {
      QList<int> want(menu.items.begin(), menu.items.end());
      QCOMPARE(MenuIds(titles[m++]->menu()), want);
    }
    QCOMPARE(window_->action(10064)->text(), QString("&Import Device File..."));
    QCOMPARE(window_->action(236)->text(), QString("E&xit"));
    // The views toolbar: Playback, Record and the seventeen layouts, tooltips by command id.
    const QList<QAction*> tools = window_->viewsToolbar()->actions();
    QCOMPARE(tools.size(), 19);
    QCOMPARE(tools[0]->data().toInt(), 10050);
    QCOMPARE(tools[1]->data().toInt(), 10059);
    QCOMPARE(tools[1]->toolTip(), QString("Toggle Recording"));
    QCOMPARE(tools[6]->toolTip(), QString("Seven Views"));
    QCOMPARE(tools[18]->toolTip(), QString("10x10"));
    // Every command is carried out: no action says it is not available.
    for (int id : velmora::control::CommandIds()) {
      QVERIFY2(window_->action(id) == nullptr || !window_->action(id)->toolTip().contains("not available"),
               qPrintable(QString::number(id)));
    }
    QVERIFY(window_->action(10050)->toolTip() == "Play Recorded Data");
    // The toolbar is narrower than the eighteen buttons: the rest is in its overflow menu.
    window_->resize(700, 480);
    QTest::qWait(50);
    QToolButton* extension = window_->viewsToolbar()->findChild<QToolButton*>("qt_toolbar_ext_button");
    QVERIFY(extension != nullptr);
    QVERIFY(extension->isVisible());
  }

  // Enabling and checked states are read again whenever a menu opens.
  void enablingReevaluatedWhenAMenuOpens() {
    QMenu* file = window_->menuBar()->actions()[0]->menu();
    QMenu* view = window_->menuBar()->actions()[2]->menu();
    velmora::test::TestSettings().recordEnable = true;
    emit file->aboutToShow();
    QVERIFY(window_->action(10059)->isChecked());
    velmora::test::TestSettings().recordEnable = false;  // changed behind the window's back
    QVERIFY(window_->action(10059)->isChecked());
    emit file->aboutToShow();
    QVERIFY(!window_->action(10059)->isChecked());
    velmora::test::TestSettings().captionShow = false;
    emit view->aboutToShow();
    QVERIFY(!window_->action(10016)->isChecked());
    QVERIFY(window_->action(10060)->isChecked());  // the Device List is visible
    // Record through the menu flips the setting and the check at once.
    window_->action(10059)->trigger();
    QVERIFY(velmora::test::TestSettings().recordEnable);
    QVERIFY(window_->action(10059)->isChecked());
  }

  // Status messages through the queue's delivery: a text shows, no text clears; disk
  // usage goes to part 2; the throughput meter to part 1.
  void statusMessagesReachTheirParts() {
    velmora::AppMessage text = velmora::MsgStatusText{std::string("Synced time on Gate.")};
    velmora::mainQueue().deliver(text);
    QCOMPARE(window_->statusPart(0)->text(), QString("Synced time on Gate."));
    velmora::AppMessage clear = velmora::MsgStatusText{};
    velmora::mainQueue().deliver(clear);
    QCOMPARE(window_->statusPart(0)->text(), QString());
    velmora::AppMessage disk = velmora::MsgDiskUsage{};
    velmora::mainQueue().deliver(disk);  // the recordings folder is unknown here
    QCOMPARE(window_->statusPart(2)->text(), QString());
    events_->throughputText("0 bytes/s");
    QCOMPARE(window_->statusPart(1)->text(), QString("0 bytes/s"));
    // The wake-up of a post runs a drain on the GUI thread at once.
    events_->start();
    QVERIFY(velmora::mainQueue().post(velmora::MsgPlaying{}));
    while (velmora::mainQueue().take()) {
    }
    events_->stop();
  }

  // CoreEvents turns each message into its typed signal, and the playback controller's
  // reports of the playback thread's messages into the playback signals; a fetch-error
  // message in which the core found no change (the repeat every decoded frame sends)
  // redraws nothing.
  void coreEventsTypedSignals() {
    auto record = std::make_shared<velmora::GroupRecord>();
    QList<velmora::GroupRecord*> errors;
    connect(events_.get(), &CoreEvents::fetchErrorChanged, this,
            [&errors](velmora::GroupRecord* r) { errors << r; });
    QSignalSpy playing(events_.get(), &CoreEvents::playbackPlayStateChanged);
    QSignalSpy speed(events_.get(), &CoreEvents::playbackSpeedChanged);
    QSignalSpy seek(events_.get(), &CoreEvents::playbackSliderChanged);
    QSignalSpy panes(events_.get(), &CoreEvents::paneCloseRequested);
    QSignalSpy motion(events_.get(), &CoreEvents::motionAlert);
    std::vector<velmora::AppMessage> messages;
    record->errorShown = true;
    messages.push_back(velmora::MsgFetchError{true, record, true});  // the core stored it
    messages.push_back(velmora::MsgFetchError{true, record});        // a repeat
    messages.push_back(velmora::MsgFetchError{false, record});       // not taken by the core
    messages.push_back(velmora::MsgFetchError{true, nullptr, true});
    messages.push_back(velmora::MsgPlaying{});
    messages.push_back(velmora::MsgPaused{});
    messages.push_back(velmora::MsgSpeedUp{});
    messages.push_back(velmora::MsgSpeedDown{});
    messages.push_back(velmora::MsgSliderSeek{37});
    messages.push_back(velmora::MsgPaneClose{1});
    messages.push_back(velmora::MsgMotionAlert{});
    auto& controller = velmora::programPlayback().controller;
    for (auto& m : messages) {
      // The application hands the playback thread's messages to the controller first.
      if (!controller.HandleMessage(m)) velmora::mainQueue().deliver(m);
    }
    QCOMPARE(errors, QList<velmora::GroupRecord*>{record.get()});
    QCOMPARE(playing.count(), 2);
    QCOMPARE(controller.playing(), false);
    QCOMPARE(speed.count(), 2);
    QCOMPARE(seek.count(), 1);
    QCOMPARE(controller.sliderColumn(), 37);
    QCOMPARE(motion.count(), 1);
    // Pane 1 is the Playback Controls: closing them clears playbackShow.
    QCOMPARE(panes.count(), 1);
    velmora::test::TestSettings().playbackShow = true;
    window_->updatePlaybackPane();
    velmora::AppMessage close = velmora::MsgPaneClose{1};
    velmora::mainQueue().deliver(close);
    QVERIFY(!velmora::test::TestSettings().playbackShow);
    QVERIFY(!window_->playbackPane()->isVisible());
  }

  // Full screen keeps what was shown before and gives it back.
  void fullScreenRestoresStatusBarAndMaximised() {
    window_->showMaximized();
    QTRY_VERIFY(window_->isMaximized());
    window_->runCommand(10017);
    QVERIFY(window_->isFullScreenMode());
    QVERIFY(window_->action(10017)->isChecked());
    QTRY_VERIFY(window_->isFullScreen());
    QVERIFY(!window_->statusBar()->isVisible());
    QVERIFY(!window_->menuBar()->isVisible());
    window_->runCommand(10017);
    QVERIFY(!window_->isFullScreenMode());
    QTRY_VERIFY(window_->isMaximized());
    QVERIFY(window_->statusBar()->isVisible());
    QVERIFY(window_->menuBar()->isVisible());

    // Not maximised, status bar hidden: both stay so afterwards.
    window_->showNormal();
    QTRY_VERIFY(!window_->isMaximized());
    window_->runCommand(59393);
    QVERIFY(!window_->statusBar()->isVisible());
    window_->runCommand(10017);
    QTRY_VERIFY(window_->isFullScreen());
    window_->runCommand(10017);
    QTRY_VERIFY(!window_->isFullScreen());
    QVERIFY(!window_->isMaximized());
    QVERIFY(!window_->statusBar()->isVisible());
    // The placement of a full-screen frame is the one from before.
    window_->runCommand(10017);
    QCOMPARE(window_->placementRecord().showCmd, velmora::control::kShowNormal);
    window_->runCommand(10017);
  }

  void placementSavedAndRestored() {
    velmora::control::FramePlacement frame{{40, 60, 940, 760}, false};
    window_.reset();
    window_ = std::make_unique<MainWindow>(nullptr, events_.get());
    window_->showWithPlacement(velmora::control::PlacementRecord(frame));
    QTRY_VERIFY(window_->isVisible());
    QCOMPARE(window_->geometry(), QRect(40, 60, 900, 700));
    velmora::WindowPlacement record = window_->placementRecord();
    QCOMPARE(record.length, 44u);
    QCOMPARE(record.showCmd, 1u);
    QCOMPARE(record.left, 40);
    QCOMPARE(record.bottom, 760);

    // Show command 3: maximised, with the restored rectangle kept for later.
    frame.maximized = true;
    window_.reset();
    window_ = std::make_unique<MainWindow>(nullptr, events_.get());
    window_->showWithPlacement(velmora::control::PlacementRecord(frame));
    QTRY_VERIFY(window_->isMaximized());
    record = window_->placementRecord();
    QCOMPARE(record.showCmd, 3u);
    QCOMPARE(record.left, 40);
    QCOMPARE(record.right, 940);
    // A hidden frame (tray) still reports where it was.
    window_->hide();
    QCOMPARE(window_->placementRecord().showCmd, 3u);

    // An invalid record gives a default size, at least the minimum.
    window_.reset();
    window_ = std::make_unique<MainWindow>(nullptr, events_.get());
    window_->showWithPlacement(velmora::WindowPlacement{});
    QTRY_VERIFY(window_->isVisible());
    QVERIFY(window_->width() >= 640 && window_->height() >= 480);
    QCOMPARE(window_->minimumSize(), QSize(640, 480));
    QVERIFY(window_->windowTitle().startsWith("Velmora NVR v"));
  }

  // The panes' close boxes, and the Device List's width.
  void paneCloseBoxes() {
    QCOMPARE(window_->deviceListPane()->width(), 216);
    QVERIFY(window_->deviceListPane()->isVisible());
    QVERIFY(!window_->playbackPane()->isVisible());
    QTest::mouseClick(window_->deviceListPane()->closeButton(), Qt::LeftButton);
    QVERIFY(!window_->deviceListPane()->isVisible());
    QVERIFY(!velmora::test::TestSettings().deviceListShow);
    QVERIFY(!window_->action(10060)->isChecked());
    window_->runCommand(10060);
    QVERIFY(window_->deviceListPane()->isVisible());
    // playbackShow shows the Playback Controls; its close box clears the setting.
    velmora::test::TestSettings().playbackShow = true;
    window_->updatePlaybackPane();
    QVERIFY(window_->playbackPane()->isVisible());
    QTest::mouseClick(window_->playbackPane()->closeButton(), Qt::LeftButton);
    QVERIFY(!window_->playbackPane()->isVisible());
    QVERIFY(!velmora::test::TestSettings().playbackShow);
    QVERIFY(window_->viewPane()->closeButton() == nullptr);
  }

  // Exit asks string 351 while recording, unless Shift is held; with the tray icon on,
  // closing the window only hides it.
  void exitAndClose() {
    QSignalSpy exits(window_.get(), &MainWindow::exitRequested);
    QStringList asked;
    bool answer = false;
    window_->setQuestionAsker([&](const QString& text) {
      asked << text;
      return answer;
    });
    velmora::test::TestSettings().recordEnable = true;
    QVERIFY(!window_->requestExit(false));
    QCOMPARE(asked, QStringList{QString::fromStdString(velmora::StringText(351))});
    QCOMPARE(exits.count(), 0);
    QVERIFY(window_->requestExit(true));  // Shift: no question
    QCOMPARE(asked.size(), 1);
    QCOMPARE(exits.count(), 1);

    window_.reset();
    Open();
    QSignalSpy exits2(window_.get(), &MainWindow::exitRequested);
    window_->setQuestionAsker([&](const QString&) { return true; });
    velmora::test::TestSettings().taskbarIcon = true;
    velmora::ui::TrayIcon::setAvailableForTesting(true);
    window_->close();
    velmora::ui::TrayIcon::setAvailableForTesting(std::nullopt);
    QVERIFY(!window_->isVisible());
    QCOMPARE(exits2.count(), 0);
    window_->bringToFront();
    QTRY_VERIFY(window_->isVisible());
    velmora::test::TestSettings().taskbarIcon = false;
    velmora::test::TestSettings().recordEnable = false;
    window_->close();
    QCOMPARE(exits2.count(), 1);
    QVERIFY(window_->exiting());
  }
};

VELMORA_UI_TEST(MainWindowTest);

#include "test_main_window.moc"
