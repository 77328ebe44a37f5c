// The export dialog offscreen, against a playback engine on its own thread as in the
// program: its texts in both modes, a whole AVI export checked with ffprobe while the
// GUI thread keeps answering, the overwrite question and the next proposal, cancel,
// Advanced, Browse and the failures.
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QAction>
#include <QComboBox>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QElapsedTimer>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/settings.h"
#include "app/strings.h"
#include "control/export_choice.h"
#include "playback/test_export_support.h"
#include "app/program_signals.h"
#include "ui/core_events.h"
#include "ui/export_dialog.h"
#include "ui/main_window.h"
#include "playback/playback_thread.h"
#include "ui_test_main.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;
using velmora::test::TestTreeShare;

using velmora::ui::ExportAdvancedDialog;
using velmora::ui::ExportDialog;
using velmora::ui::ExportPreview;
namespace ex = velmora::exporttest;
namespace pt = velmora::playtest;

namespace {

QString Text(int id) { return QString::fromStdString(velmora::StringText(id)); }

struct Box {
  QString caption;
  QString text;
  bool warning = false;
};

void Record(pt::RecordWriter& writer, int count, int side) {
  for (int i = 0; i < count; ++i) {
    const int64_t ms = int64_t{i} * 100;
    writer.Append(pt::kHourStart + 600 + ms / 1000, static_cast<unsigned>(ms % 1000),
                  pt::SmallJpeg(static_cast<uint8_t>(20 + (7 * i) % 200), side));
  }
}

uint32_t SlowCode() {
  for (const auto& c : velmora::ListCompressors())
    if (c.fourcc == velmora::FourccFromText("H264")) return c.fourcc;
  return velmora::FourccFromText("FMP4");
}

}  // namespace

class ExportDialogTest : public QObject {
  Q_OBJECT

 private:
  velmora::Settings saved_;
  std::unique_ptr<pt::TempFolder> out_;
  std::vector<Box> boxes_;
  int saves_ = 0;
  velmora::ExportNaming naming_;  // shared by the dialogs of one test, as the window's is

  void Prepare(ExportDialog& dialog, std::function<bool(const QString&)> ask = nullptr) {
    dialog.setInformer([this](const QString& caption, const QString& text, bool warning) {
      boxes_.push_back(Box{caption, text, warning});
    });
    if (!ask) ask = [](const QString&) { return false; };
    dialog.setAsker(std::move(ask));
    dialog.setSettingsSaver([this] { ++saves_; });
    dialog.setPathChooser([](const QString&) { return QString(); });
  }

 private slots:
  void init() {
    saved_ = velmora::test::TestSettings();
    velmora::test::TestSettings() = velmora::Settings{};
    out_ = std::make_unique<pt::TempFolder>();
    velmora::test::TestSettings().pathVideo = out_->str();  // as the desktop names it: no closing "/"
    velmora::test::TestSettings().pathPictures = out_->str() + "/pictures";
    velmora::test::TestSettings().aviFCC = SlowCode();
    boxes_.clear();
    saves_ = 0;
    naming_ = velmora::ExportNaming{};
  }
  void cleanup() {
    velmora::test::TestSettings() = saved_;
    out_.reset();
  }

  void opensWithItsModeTextsAndTheProposal() {
    ex::ThreadedRig rig;
    ExportDialog video(0, false, rig.Poster(), naming_, velmora::test::TestSettings());
    QCOMPARE(video.windowTitle(), QString("Export Video"));
    QCOMPARE(video.pathLabel()->text(), QString("Save File:"));
    QCOMPARE(video.pathBox()->text(),
             QString::fromStdString(naming_.Proposal(out_->str())));
    QVERIFY(video.pathBox()->text().startsWith(QString::fromStdString(out_->str() + "/")));
    QCOMPARE(video.convertedLabel()->text(), QString("Pictures converted: 0"));
    QCOMPARE(video.progressBar()->minimum(), 0);
    QCOMPARE(video.progressBar()->maximum(), 100);
    QCOMPARE(video.progressBar()->value(), 0);
    QVERIFY(video.statusLine()->text().isEmpty());
    QVERIFY(video.advancedButton()->isEnabled());
    QVERIFY(video.compressorLabel()->text().startsWith("Compressor name: "));
    QVERIFY(video.exportButton()->isDefault());

    ExportDialog jpeg(0, true, rig.Poster(), naming_, velmora::test::TestSettings());
    QCOMPARE(jpeg.windowTitle(), QString("Export JPEG Images"));
    QCOMPARE(jpeg.pathLabel()->text(), QString("Folder:"));
    QCOMPARE(jpeg.pathBox()->text(), QString::fromStdString(out_->str() + "/pictures"));
    QVERIFY(!jpeg.advancedButton()->isEnabled());
    QCOMPARE(jpeg.compressorLabel()->text(), Text(191));

    // The preview keeps the aspect, with even margins, centred.
    const QRect wide = ExportPreview::Placement(QSize(640, 480), QRect(0, 0, 331, 301));
    QCOMPARE(wide.width(), 331);
    QCOMPARE(wide.height(), 248);
    QCOMPARE(wide.y() % 2, 0);
    QCOMPARE(wide.y(), 26);
    const QRect tall = ExportPreview::Placement(QSize(100, 400), QRect(10, 10, 320, 240));
    QCOMPARE(tall.height(), 240);
    QCOMPARE(tall.width(), 60);
    QCOMPARE(tall.x(), 10 + 130);
    QVERIFY(ExportPreview::Placement(QSize(), QRect(0, 0, 10, 10)).isNull());
  }

  void exportsAWholeAviWhileTheWindowKeepsAnswering() {
    pt::TempFolder rec;
    pt::RecordWriter writer(rec.path() / "Door");
    constexpr int kImages = 120;
    Record(writer, kImages, 320);
    ex::ThreadedRig rig;
    rig.Feed({(rec.path() / "Door").string()});
    rig.Start();

    ExportDialog dialog(0, false, rig.Poster(), naming_, velmora::test::TestSettings());
    Prepare(dialog);
    dialog.pathBox()->setText("gate");
    dialog.show();
    QSignalSpy ended(&dialog, &ExportDialog::exportEnded);

    // The GUI thread's timer keeps ticking while the export encodes.
    int ticks = 0;
    qint64 longestGapMs = 0;
    QElapsedTimer clock;
    qint64 last = 0;
    QTimer timer;
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, [&] {
      const qint64 now = clock.elapsed();
      longestGapMs = std::max(longestGapMs, now - last);
      last = now;
      ++ticks;
    });
    clock.start();
    timer.start();
    QTest::mouseClick(dialog.exportButton(), Qt::LeftButton);
    QVERIFY(!dialog.exportButton()->isEnabled());
    QVERIFY(!dialog.browseButton()->isEnabled());
    QVERIFY(!dialog.advancedButton()->isEnabled());
    QVERIFY(dialog.running());
    QVERIFY(ended.wait(60000));
    timer.stop();

    QCOMPARE(ended.first().first().toInt(), static_cast<int>(velmora::ExportSession::State::kCompleted));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), static_cast<int>(QDialog::Accepted));
    QCOMPARE(dialog.statusLine()->text(), Text(170));
    QCOMPARE(dialog.progressBar()->value(), 100);
    QCOMPARE(dialog.convertedLabel()->text(), QString("Pictures converted: %1").arg(kImages));
    QVERIFY(!dialog.preview()->image().isNull());
    QCOMPARE(boxes_.size(), std::size_t{1});
    QCOMPARE(boxes_[0].text, Text(156));
    QVERIFY(!boxes_[0].warning);
    // Lenient on purpose: the thread is not blocked by the encoding (a loaded machine
    // still ticks several times a second).
    QVERIFY2(ticks >= 3, qPrintable(QString::number(ticks)));
    QVERIFY2(longestGapMs < 2000, qPrintable(QString::number(longestGapMs)));

    // The file: "gate" went into pathVideo with ".avi", one frame per record.
    const std::string file = out_->str() + "/gate.avi";
    const auto probe = ex::ProbeStream(file);
    QCOMPARE(QString::fromStdString(probe.count("nb_read_frames") ? probe.at("nb_read_frames") : ""),
             QString::number(kImages));
    QCOMPARE(QString::fromStdString(probe.at("codec_tag_string")),
             QString::fromStdString(velmora::FourccText(velmora::test::TestSettings().aviFCC)));
    // pathVideo now ends with the separator and was saved; the next proposal is gate2.
    QCOMPARE(QString::fromStdString(velmora::test::TestSettings().pathVideo),
             QString::fromStdString(out_->str() + "/"));
    QCOMPARE(saves_, 1);

    // The next dialog proposes gate2; the same file again asks 190: No keeps it.
    ExportDialog next(0, false, rig.Poster(), naming_, velmora::test::TestSettings());
    std::vector<QString> asked;
    Prepare(next, [&asked](const QString& q) {
      asked.push_back(q);
      return false;
    });
    QCOMPARE(next.pathBox()->text(), QString::fromStdString(out_->str() + "/gate2"));
    next.pathBox()->setText(QString::fromStdString(file));
    const auto size = pt::SizeOf(file);
    QTest::mouseClick(next.exportButton(), Qt::LeftButton);
    QCOMPARE(asked.size(), std::size_t{1});
    QCOMPARE(asked[0], Text(190));
    QVERIFY(!next.running());
    QVERIFY(next.exportButton()->isEnabled());
    QCOMPARE(pt::SizeOf(file), size);
    rig.Stop();
  }

  void cancelClosesPromptlyAndLeavesAPlayableFile() {
    pt::TempFolder rec;
    pt::RecordWriter writer(rec.path() / "Door");
    constexpr int kImages = 400;
    Record(writer, kImages, 480);
    ex::ThreadedRig rig;
    rig.Feed({(rec.path() / "Door").string()});
    rig.Start();

    ExportDialog dialog(0, false, rig.Poster(), naming_, velmora::test::TestSettings());
    Prepare(dialog);
    dialog.pathBox()->setText(QString::fromStdString(out_->str() + "/part"));
    dialog.show();
    QSignalSpy ended(&dialog, &ExportDialog::exportEnded);
    QTest::mouseClick(dialog.exportButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(dialog.convertedLabel()->text() != "Pictures converted: 0" &&
                                 dialog.convertedLabel()->text() != "Pictures converted: 1" &&
                                 dialog.convertedLabel()->text() != "Pictures converted: 2",
                             30000);
    QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
    QVERIFY(!dialog.cancelButton()->isEnabled());
    QCOMPARE(dialog.statusLine()->text(), Text(159));
    QVERIFY(ended.wait(10000));
    QCOMPARE(ended.first().first().toInt(), static_cast<int>(velmora::ExportSession::State::kCancelled));
    QVERIFY(!dialog.isVisible());
    QVERIFY(boxes_.empty());  // no box after a cancel

    const std::string file = out_->str() + "/part.avi";
    const auto probe = ex::ProbeStream(file);
    QVERIFY(probe.count("nb_read_frames"));
    const int frames = std::stoi(probe.at("nb_read_frames"));
    QVERIFY(frames >= 3 && frames < kImages);
    std::string complaints;
    QVERIFY2(ex::DecodesCleanly(file, complaints), complaints.c_str());

    // Cancel while idle simply closes.
    ExportDialog idle(0, false, rig.Poster(), naming_, velmora::test::TestSettings());
    Prepare(idle);
    idle.show();
    QTest::mouseClick(idle.cancelButton(), Qt::LeftButton);
    QVERIFY(!idle.isVisible());
    rig.Stop();
  }

  void advancedBrowseAndFailuresReachTheDialog() {
    ex::ThreadedRig rig;
    pt::TempFolder rec;
    pt::RecordWriter writer(rec.path() / "Door");
    Record(writer, 4, 32);
    rig.Feed({(rec.path() / "Door").string()});
    rig.Start();

    // Advanced: uncompressed frames, a quality; stored and saved, the label follows.
    ExportDialog dialog(0, false, rig.Poster(), naming_, velmora::test::TestSettings());
    Prepare(dialog);
    bool tunableForEncoder = false;
    dialog.setAdvancedChooser([&tunableForEncoder](ExportAdvancedDialog& advanced) {
      tunableForEncoder = advanced.qualityBox()->isEnabled();  // opened on the encoder in force
      advanced.compressorBox()->setCurrentIndex(0);
      advanced.qualityBox()->setValue(50);
      advanced.keyFrameBox()->setValue(25);
      advanced.dataRateBox()->setValue(900);
      return !advanced.qualityBox()->isEnabled();  // uncompressed frames take no quality
    });
    QTest::mouseClick(dialog.advancedButton(), Qt::LeftButton);
    QVERIFY(tunableForEncoder);
    QCOMPARE(velmora::test::TestSettings().aviFCC, velmora::kFourccDib);
    QCOMPARE(velmora::test::TestSettings().aviQuality, 5000u);
    QCOMPARE(velmora::test::TestSettings().aviKeyFrame, 25u);
    QCOMPARE(velmora::test::TestSettings().aviDataRate, 900u);
    QCOMPARE(saves_, 1);
    QCOMPARE(dialog.compressorLabel()->text(), QString("Compressor name: Full Frames (Uncompressed)"));
    // Declined: nothing changes.
    dialog.setAdvancedChooser([](ExportAdvancedDialog& advanced) {
      advanced.compressorBox()->setCurrentIndex(1);
      return false;
    });
    QTest::mouseClick(dialog.advancedButton(), Qt::LeftButton);
    QCOMPARE(velmora::test::TestSettings().aviFCC, velmora::kFourccDib);
    QCOMPARE(saves_, 1);

    // Browse: the choice goes into the box; a file where a folder should be is the
    // chooser's failure, shown with caption 154.
    QString offered;
    dialog.setPathChooser([&offered](const QString& initial) {
      offered = initial;
      return QString("/somewhere/clip.avi");
    });
    dialog.pathBox()->setText(QString(300, 'a'));
    QTest::mouseClick(dialog.browseButton(), Qt::LeftButton);
    QCOMPARE(offered.size(), 260);
    QCOMPARE(dialog.pathBox()->text(), QString("/somewhere/clip.avi"));
    const std::string plainFile = out_->str() + "/plain";
    std::ofstream(plainFile) << "x";
    dialog.pathBox()->setText(QString::fromStdString(plainFile + "/sub/gate"));
    offered.clear();
    QTest::mouseClick(dialog.browseButton(), Qt::LeftButton);
    QVERIFY(offered.isEmpty());
    QCOMPARE(boxes_.size(), std::size_t{1});
    QCOMPARE(boxes_[0].caption, Text(154));
    QCOMPARE(boxes_[0].text, QString::fromLocal8Bit(std::strerror(ENOTDIR)));
    boxes_.clear();

    // An empty box names nothing: the status line says so and nothing starts.
    dialog.pathBox()->setText("   ");
    QTest::mouseClick(dialog.exportButton(), Qt::LeftButton);
    QVERIFY(!dialog.running());
    QVERIFY(!dialog.statusLine()->text().isEmpty());

    // A failure found by the playback thread (a view it does not have): status line,
    // warning 157, the dialog closes; the main status line got the text too.
    ExportDialog wrong(5, false, rig.Poster(), naming_, velmora::test::TestSettings());
    Prepare(wrong);
    wrong.pathBox()->setText(QString::fromStdString(out_->str() + "/wrong"));
    wrong.show();
    QSignalSpy ended(&wrong, &ExportDialog::exportEnded);
    QTest::mouseClick(wrong.exportButton(), Qt::LeftButton);
    QVERIFY(ended.wait(10000));
    QCOMPARE(ended.first().first().toInt(), static_cast<int>(velmora::ExportSession::State::kFailed));
    QCOMPARE(wrong.statusLine()->text(), Text(455));
    QCOMPARE(boxes_.size(), std::size_t{1});
    QCOMPARE(boxes_[0].text, Text(157));
    QVERIFY(boxes_[0].warning);
    QVERIFY(!wrong.isVisible());
    rig.Stop();
    QVERIFY(std::find(rig.statuses.begin(), rig.statuses.end(), velmora::StringText(455)) != rig.statuses.end());

    // JPEG mode: the recorded images land in the device's folder inside the chosen one.
    ex::ThreadedRig jrig;
    jrig.Feed({(rec.path() / "Door").string()});
    jrig.Start();
    ExportDialog jpeg(0, true, jrig.Poster(), naming_, velmora::test::TestSettings());
    Prepare(jpeg);
    jpeg.show();
    QSignalSpy jended(&jpeg, &ExportDialog::exportEnded);
    QTest::mouseClick(jpeg.exportButton(), Qt::LeftButton);
    QVERIFY(jended.wait(20000));
    QCOMPARE(jended.first().first().toInt(), static_cast<int>(velmora::ExportSession::State::kCompleted));
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out_->str() + "/pictures/Door")) {
      files += entry.path().extension() == ".jpg";
    }
    QCOMPARE(files, 4);
    jrig.Stop();
  }

  void theExportCommandIsCarriedOutInPlaybackOnly() {
    velmora::programPlayback().controller.setTree(TestTreeShare());
    velmora::ui::CoreEvents events(nullptr, velmora::programPlayback().controller, TestTree(), TestPaths());
    velmora::ui::MainWindow window(nullptr, &events);
    velmora::programSignals().playbackMode.store(false);
    window.updateCommands();
    QAction* exportAction = window.action(10051);
    QVERIFY(exportAction != nullptr);
    QVERIFY(!exportAction->isEnabled());
    QVERIFY(!exportAction->toolTip().contains("not available"));
    velmora::programSignals().playbackMode.store(true);
    window.updateCommands();
    QVERIFY(exportAction->isEnabled());
    velmora::programSignals().playbackMode.store(false);
  }
};

VELMORA_UI_TEST(ExportDialogTest);
#include "test_export_dialog.moc"
