// Options, the notification icon, start at login, Help and About, offscreen: the
// dialog's range refusal and greyed caption details, the values applied and saved to
// the settings files, the autostart entry made and removed, the tray menu and the close
// box, the manual handed to xdg-open.
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <memory>

#include "app/helpers.h"
#include "app/log.h"
#include "app/paths.h"
#include "app/program_signals.h"
#include "app/settings.h"
#include "control/commands.h"
#include "playback/playback_thread.h"
#include "ui/core_events.h"
#include "ui/help_about.h"
#include "ui/main_window.h"
#include "ui/options_dialog.h"
#include "ui/pane.h"
#include "ui/tray_icon.h"
#include "fake_programs.h"
#include "ui_test_main.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;
using velmora::test::TestTreeShare;

using velmora::ui::CoreEvents;
using velmora::ui::MainWindow;
using velmora::ui::OptionsDialog;
using velmora::ui::TrayIcon;
namespace ui = velmora::ui;

class OptionsTest : public QObject {
  Q_OBJECT

 private:
  velmora::Settings saved_;
  velmora::Paths savedPaths_;
  QByteArray savedConfig_;
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<CoreEvents> events_;
  std::unique_ptr<MainWindow> window_;
  QStringList saveOrder_;  // what had happened when the settings were saved

  QString AppData() const { return dir_->filePath("data") + "/"; }
  QString Registry() const { return dir_->filePath("config/registry"); }
  QString Entry() const { return dir_->filePath("xdg/autostart/velmora-nvr.desktop"); }

  void Open() {
    window_ = std::make_unique<MainWindow>(nullptr, events_.get());
    window_->setSettingsSaver([this] {
      saveOrder_ << QStringLiteral("save");
      velmora::SaveSettings(velmora::test::TestSettings(), AppData().toStdString(), Registry().toStdString());
    });
    window_->resize(900, 600);
    window_->show();
  }

 private slots:
  void init() {
    saved_ = velmora::test::TestSettings();
    savedPaths_ = TestPaths();
    savedConfig_ = qgetenv("XDG_CONFIG_HOME");
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir().mkpath(dir_->filePath("data")) && QDir().mkpath(dir_->filePath("config")));
    qputenv("XDG_CONFIG_HOME", dir_->filePath("xdg").toUtf8());
    velmora::SetLogPath(dir_->filePath("test.log").toStdString());
    velmora::test::TestSettings() = velmora::Settings{};
    velmora::test::TestSettings().recordEnable = false;
    velmora::programSignals().playbackMode.store(false);
    saveOrder_.clear();
    velmora::programPlayback().controller.setTree(TestTreeShare());
    events_ = std::make_unique<CoreEvents>(nullptr, velmora::programPlayback().controller, TestTree(), TestPaths());
  }

  void cleanup() {
    window_.reset();
    events_.reset();
    TrayIcon::setAvailableForTesting(std::nullopt);
    velmora::test::TestSettings() = saved_;
    TestPaths() = savedPaths_;
    TestTree().recordingsFolder = TestPaths().pathData;
    TestTree().filePath = TestPaths().deviceTreePath;
    velmora::SetLogPath(std::string());
    if (savedConfig_.isNull()) {
      qunsetenv("XDG_CONFIG_HOME");
    } else {
      qputenv("XDG_CONFIG_HOME", savedConfig_);
    }
    dir_.reset();
  }

  // The dialog itself: the capacity range (96 refused with the range message and the
  // dialog kept open, 95 accepted, the arrows stopping at the ends), the caption
  // details greyed with "Show Caption" but keeping their values, and the tray box
  // disabled with its reason where there is no notification area.
  void dialogRefusesOutOfRangeAndKeepsGreyedValues() {
    velmora::control::OptionValues values;
    values.captionShow = true;
    values.captionShowFPS = true;
    values.captionShowSize = false;
    values.captionShowDimensions = true;
    values.captionShowMotion = false;
    values.diskFullness = 94;
    OptionsDialog dialog(values, false, nullptr);
    QStringList messages;
    dialog.setMessageShower([&](const QString& text) { messages << text; });
    dialog.show();

    for (int id : {ui::kOptCaptionFps, ui::kOptCaptionSize, ui::kOptCaptionDimensions, ui::kOptCaptionMotion})
      QVERIFY(dialog.checkBox(id)->isEnabled());
    dialog.checkBox(ui::kOptCaption)->click();
    for (int id : {ui::kOptCaptionFps, ui::kOptCaptionSize, ui::kOptCaptionDimensions, ui::kOptCaptionMotion})
      QVERIFY(!dialog.checkBox(id)->isEnabled());
    QVERIFY(dialog.checkBox(ui::kOptCaptionFps)->isChecked());
    QVERIFY(dialog.checkBox(ui::kOptCaptionDimensions)->isChecked());

    QVERIFY(!dialog.checkBox(ui::kOptTaskbarIcon)->isEnabled());
    QVERIFY(dialog.trayNote()->isVisible());
    QVERIFY(dialog.trayNote()->text().contains("notification area"));

    // Typing: letters are not taken, 96 is refused on OK.
    dialog.capacityBox()->clear();
    QTest::keyClicks(dialog.capacityBox(), "9x6");
    QCOMPARE(dialog.capacityBox()->text(), QString("96"));
    dialog.accept();
    QCOMPARE(messages, QStringList{"Please enter an integer between 4 and 95."});
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(dialog.values().diskFullness, 94);

    // The arrows step within the range; Up at 95 stays there.
    dialog.capacityBox()->setText("94");
    QToolButton* up = dialog.findChild<QToolButton*>("capacityUp");
    QTest::mouseClick(up, Qt::LeftButton);
    QTest::mouseClick(up, Qt::LeftButton);
    QCOMPARE(dialog.capacityBox()->text(), QString("95"));
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    const velmora::control::OptionValues out = dialog.values();
    QCOMPARE(out.diskFullness, 95);
    QVERIFY(!out.captionShow);
    QVERIFY(out.captionShowFPS && !out.captionShowSize && out.captionShowDimensions && !out.captionShowMotion);
    QCOMPARE(messages.size(), 1);
  }

  // Options through the window: everything changed is applied in order (tray icon on,
  // autostart entry made, Playback Controls shown) and saved to the settings files;
  // switching back removes them; Cancel changes nothing; a hand-deleted entry still
  // shows as remembered at start.
  void optionsApplyTheirEffectsAndSaveTheFiles() {
    TrayIcon::setAvailableForTesting(true);
    Open();
    ui::OptionsCommand* options = window_->optionsCommand();
    QCOMPARE(QString::fromStdString(options->startupEntryPath()), Entry());
    QVERIFY(!options->runAtStartup());

    bool startupShown = true;
    options->setDialogDriver([&](OptionsDialog& dialog) {
      startupShown = dialog.checkBox(ui::kOptRunAtStartup)->isChecked();
      for (int id : {ui::kOptStretch, ui::kOptCaption, ui::kOptSilentAlert, ui::kOptTaskbarIcon,
                     ui::kOptRunAtStartup, ui::kOptPlaybackShow})
        dialog.checkBox(id)->click();
      dialog.capacityBox()->setText("90");
      dialog.accept();
      return dialog.result();
    });
    QVERIFY(!window_->playbackPane()->isVisible());
    window_->runCommand(velmora::control::kCmdOptions);

    QVERIFY2(!startupShown, "no entry at start");
    QVERIFY(window_->trayIcon()->shown());
    QVERIFY(QFile::exists(Entry()));
    QVERIFY(options->runAtStartup());
    QVERIFY(window_->playbackPane()->isVisible());
    QCOMPARE(saveOrder_, QStringList{"save"});
    // What was saved is what the files hold.
    velmora::Settings read;
    velmora::ReadSettingsFile((AppData() + "Velmora NVR.exe.config").toStdString(), read);
    velmora::ReadRegistry(Registry().toStdString(), read);
    QCOMPARE(read.diskFullness, 90);
    QVERIFY(!read.viewStretch);
    QVERIFY(!read.captionShow);
    QVERIFY(read.captionShowFPS);  // a greyed detail kept its value
    QVERIFY(read.motionAlertSilent);
    QVERIFY(read.taskbarIcon);
    QVERIFY(read.playbackShow);

    // Cancel: nothing changes and nothing is saved.
    options->setDialogDriver([](OptionsDialog& dialog) {
      dialog.checkBox(ui::kOptTaskbarIcon)->click();
      dialog.capacityBox()->setText("10");
      dialog.reject();
      return dialog.result();
    });
    window_->runCommand(velmora::control::kCmdOptions);
    QCOMPARE(velmora::test::TestSettings().diskFullness, 90);
    QVERIFY(velmora::test::TestSettings().taskbarIcon);
    QCOMPARE(saveOrder_.size(), 1);

    // Off again: the icon goes, the entry is deleted, the pane hides outside playback.
    options->setDialogDriver([&](OptionsDialog& dialog) {
      startupShown = dialog.checkBox(ui::kOptRunAtStartup)->isChecked();
      for (int id : {ui::kOptTaskbarIcon, ui::kOptRunAtStartup, ui::kOptPlaybackShow})
        dialog.checkBox(id)->click();
      dialog.accept();
      return dialog.result();
    });
    window_->runCommand(velmora::control::kCmdOptions);
    QVERIFY2(startupShown, "remembered");
    QVERIFY(!window_->trayIcon()->shown());
    QVERIFY(!QFile::exists(Entry()));
    QVERIFY(!window_->playbackPane()->isVisible());
    QVERIFY(!velmora::test::TestSettings().taskbarIcon);

    // An entry made by hand after the start does not show until the next start.
    QVERIFY(QDir().mkpath(QFileInfo(Entry()).path()));
    QFile(Entry()).open(QIODevice::WriteOnly);
    bool shownChecked = true;
    options->setDialogDriver([&](OptionsDialog& dialog) {
      shownChecked = dialog.checkBox(ui::kOptRunAtStartup)->isChecked();
      return int(QDialog::Rejected);
    });
    window_->runCommand(velmora::control::kCmdOptions);
    QVERIFY(!shownChecked);
    window_.reset();
    Open();
    QVERIFY(window_->optionsCommand()->runAtStartup());
  }

  // The tray menu: the title (default, restores the window) and Exit; a click on the
  // icon restores. The close box hides the window only while an icon can be shown.
  void trayMenuAndTheCloseBox() {
    TrayIcon::setAvailableForTesting(true);
    velmora::test::TestSettings().taskbarIcon = true;
    Open();
    QSignalSpy exits(window_.get(), &MainWindow::exitRequested);
    QMenu* menu = window_->trayIcon()->menu();
    const QList<QAction*> items = menu->actions();
    QCOMPARE(items.size(), 2);
    QCOMPARE(items[0]->text(), QString("Velmora NVR"));
    QCOMPARE(items[0]->data().toInt(), velmora::control::kCmdTrayRestore);
    QVERIFY(items[0]->font().bold());
    QCOMPARE(items[1]->text(), QString("Exit"));
    QCOMPARE(items[1]->data().toInt(), velmora::control::kCmdTrayExit);

    window_->close();
    QVERIFY(!window_->isVisible());
    QCOMPARE(exits.count(), 0);
    items[0]->trigger();
    QTRY_VERIFY(window_->isVisible());
    window_->close();
    QVERIFY(!window_->isVisible());
    window_->trayIcon()->activate(QSystemTrayIcon::Trigger);
    QTRY_VERIFY(window_->isVisible());
    window_->trayIcon()->activate(QSystemTrayIcon::Context);  // Qt's own menu: nothing else
    items[1]->trigger();
    QCOMPARE(exits.count(), 1);

    // No notification area: the icon cannot be shown and the close box exits.
    window_.reset();
    TrayIcon::setAvailableForTesting(false);
    Open();
    QSignalSpy exits2(window_.get(), &MainWindow::exitRequested);
    window_->trayIcon()->setShown(true);
    QVERIFY(!window_->trayIcon()->shown());
    window_->close();
    QCOMPARE(exits2.count(), 1);
  }

  // Help hands the shipped manual to xdg-open; a failing xdg-open is logged with its
  // reason. About shows "Version " and the version.
  void helpOpensTheManualAndAboutShowsTheVersion() {
    Open();
    velmora::uitest::FakePrograms fakes;
    fakes.add("xdg-open");
    window_->runCommand(velmora::control::kCmdHelpContents);
    QTRY_COMPARE(fakes.arguments("xdg-open").value(0), QString("1"));
    const QString manual = fakes.arguments("xdg-open").value(1);
    QVERIFY(manual.endsWith("/manual/index.html"));
    QFile file(manual);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray html = file.readAll();
    for (const char* part : {"velmora-nvr import", "DeviceTree version", "httpServerPort", "Backup", "xdg-email"})
      QVERIFY2(html.contains(part), part);

    fakes.add("xdg-open", QString(), 4);
    window_->runCommand(velmora::control::kCmdHelpContents);
    QTRY_VERIFY(QString::fromUtf8([&] {
                  QFile log(dir_->filePath("test.log"));
                  return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
                }()).contains("CMainFrame::OnHelpContents: xdg-open failed, err=4 (The action failed.)"));

    ui::AboutDialog about;
    QCOMPARE(about.versionLabel()->text(), "Version " + QString::fromStdString(velmora::VersionString()));
    QVERIFY(about.windowTitle().contains("About Velmora NVR"));
  }
};

VELMORA_UI_TEST(OptionsTest);

#include "test_options.moc"
