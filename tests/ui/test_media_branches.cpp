// A removable drive in the window: the drive's scan result enters the tree pane as a
// branch with the drive's icon, selecting it puts its recordings folders in tiles, they
// play through the Playback Controls pane over a real playback engine, and when the drive
// goes the branch leaves the tree, its tiles are cleared and playback is left.
#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QTest>
#include <QVBoxLayout>

#include <filesystem>
#include <map>
#include <memory>

#include "app/log.h"
#include "app/program_signals.h"
#include "model/media_scan.h"
#include "app/settings.h"
#include "control/commands.h"
#include "tree/media_branches.h"
#include "live/fetch_lifecycle.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "playback/playback_control.h"
#include "playback/playback_engine.h"
#include "playback/playback_thread.h"
#include "playback/test_recorded_data_support.h"
#include "ui/core_events.h"
#include "ui/playback_pane.h"
#include "ui/timeline_slider.h"
#include "ui/tree_model.h"
#include "playback_output.h"
#include "ui/tree_pane.h"
#include "ui_test_main.h"
#include "program_slots.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;
using velmora::test::TestTreeShare;

using velmora::test::ProgramSlots;
using velmora::GroupRecord;
using velmora::playtest::kHourStart;
using velmora::playtest::RecordWriter;
using velmora::playtest::SmallJpeg;
using velmora::playtest::TempFolder;
namespace EntryKind = velmora::EntryKind;

namespace {

class FixedClock : public velmora::PlaybackClock {
 public:
  double t = 50.0;
  double now() override { return t; }
  void wait(velmora::PlaybackQueue& queue, int ms) override {
    if (queue.empty()) t += ms / 1000.0;
  }
};

}  // namespace

class MediaBranchWindowTest : public QObject {
  Q_OBJECT

 private:
  velmora::Settings savedSettings_;
  std::unique_ptr<TempFolder> media_;
  std::unique_ptr<FixedClock> clock_;
  std::unique_ptr<velmora::test::KeptPlaybackOutput> output_;  // toMain_ and the view slots
  std::unique_ptr<velmora::PlaybackEngine> engine_;
  velmora::PlaybackLimitTimer limit_;  // the controller's two-hour limit
  std::unique_ptr<velmora::PlaybackController> control_;
  std::unique_ptr<velmora::ui::CoreEvents> events_;  // carries control_'s reports to the pane
  std::map<int, QAction*> actions_;
  std::unique_ptr<QWidget> window_;
  velmora::ui::TreePane* tree_ = nullptr;
  velmora::ui::PlaybackPane* pane_ = nullptr;
  std::vector<velmora::AppMessage> toMain_;

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

 private slots:
  void init() {
    savedSettings_ = velmora::test::TestSettings();
    velmora::test::TestSettings() = velmora::Settings{};
    velmora::programSignals().playbackMode.store(false);
    media_ = std::make_unique<TempFolder>();
    velmora::SetLogPath((media_->path() / "test.log").string());
    TestTree().root = velmora::CreateRecord(EntryKind::Root, velmora::kRootName);
    velmora::InsertEntry(TestTree().root.get(), velmora::CreateRecord(EntryKind::LocalNVR, "All Views"));

    clock_ = std::make_unique<FixedClock>();
    output_ = std::make_unique<velmora::test::KeptPlaybackOutput>(toMain_, ProgramSlots());
    engine_ = std::make_unique<velmora::PlaybackEngine>(993, clock_.get(), output_.get());
    engine_->data().setStatusSink([](const std::string&) {});
    control_ = std::make_unique<velmora::PlaybackController>(
        engine_->queue(), [this] { return engine_->summary(); }, ProgramSlots(), limit_);
    control_->setTree(TestTreeShare());

    window_ = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(window_.get());
    tree_ = new velmora::ui::TreePane(TestTree(), window_.get());
    layout->addWidget(tree_);
    for (int id = velmora::control::kCmdPlayback; id <= velmora::control::kCmdNextFrame; ++id)
      actions_[id] = new QAction(QStringLiteral("cmd%1").arg(id), window_.get());
    events_ = std::make_unique<velmora::ui::CoreEvents>(nullptr, *control_, TestTree(), TestPaths());
    pane_ = new velmora::ui::PlaybackPane(
        *control_, *events_, [this](int id) { return actions_.count(id) ? actions_[id] : nullptr; },
        [] { return nullptr; }, window_.get());
    pane_->setMessageBox([](const QString&) {});
    layout->addWidget(pane_);
    window_->resize(1100, 600);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

  void cleanup() {
    control_->Leave();
    Pump();
    window_.reset();
    actions_.clear();
    events_.reset();
    control_.reset();
    engine_.reset();
    output_.reset();
    if (TestTree().root) velmora::DestroyTree(TestTree().root.get());
    TestTree().root.reset();
    ProgramSlots().ResetForNewView();
    for (int t = 0; t < velmora::viewSlotCount; ++t) ProgramSlots().SetCaptionAndClear(t, "");
    velmora::SetLogPath("");
    media_.reset();
    toMain_.clear();
    velmora::programSignals().playbackMode.store(false);
    velmora::test::TestSettings() = savedSettings_;
  }

  void driveBranchAppearsPlaysAndGoesWithItsTiles() {
    velmora::ui::TreeModel& model = *tree_->model();
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(model.rowCount(), 1);

    // A stick with recordings at its root (160 s) and in a camera folder two levels down.
    const std::filesystem::path stick = media_->path() / "STICK";
    {
      RecordWriter rootWriter(stick);
      for (int i = 0; i <= 160; ++i) rootWriter.Append(kHourStart + i, 0, SmallJpeg());
      RecordWriter doorWriter(stick / "Lobby" / "Door");
      for (int i = 0; i <= 40; ++i) doorWriter.Append(kHourStart + 60 + i, 0, SmallJpeg(90));
    }
    velmora::ScanNode scan;
    scan.scanType = EntryKind::RemovableDrive;
    scan.name = "STICK";
    scan.path = stick.string();
    scan.device = "/dev/sdb1";
    QVERIFY(velmora::ScanMediaNode(scan));
    velmora::AppMessage result = velmora::MsgMediaScanResult{std::make_unique<velmora::ScanNode>(std::move(scan))};
    QVERIFY(velmora::HandleMediaMessage(result, TestTree(), velmora::platform::MountTableSource(), *control_));

    // The branch is in the tree pane, with the removable drive's icon.
    QCOMPARE(model.rowCount(), 2);
    const QModelIndex drive = model.index(1, 0);
    QCOMPARE(drive.data().toString(), QString("STICK"));
    QCOMPARE(drive.data(velmora::ui::KindRole).toInt(), int{EntryKind::RemovableDrive});
    QCOMPARE(drive.data(velmora::ui::ImageIndexRole).toInt(), velmora::EntryImageIndex(EntryKind::RemovableDrive));
    QVERIFY(!drive.data(Qt::DecorationRole).value<QIcon>().isNull());
    QVERIFY(!velmora::ui::KindIcon(velmora::ui::kOpticalDriveImage).isNull());
    QCOMPARE(model.rowCount(drive), 2);  // the root's recordings, then "Lobby"
    QCOMPARE(model.index(0, 0, drive).data(velmora::ui::KindRole).toInt(), int{EntryKind::RemovableFolder});

    // Selecting the drive shows its two recordings folders; playback plays both.
    GroupRecord* driveRecord = velmora::FindDriveBranch(*TestTree().root, stick.string());
    QVERIFY(driveRecord != nullptr);
    const velmora::ViewAssignment shown = velmora::ShowNodeInSlots(TestTree().root.get(), driveRecord, ProgramSlots());
    QCOMPARE(shown.slotsGiven, 2);
    QCOMPARE(ProgramSlots().PlaybackSlot(0), 0);
    QCOMPARE(ProgramSlots().PlaybackSlot(1), 1);
    QVERIFY(pane_->execute(velmora::control::kCmdPlayback, false));
    QVERIFY(control_->active());
    Pump();
    QVERIFY(control_->rangeKnown());
    QCOMPARE(pane_->timeline()->maximum(), 160);  // the whole stick's recorded range
    QCOMPARE(control_->playbackTiles(), (std::vector<int>{0, 1}));
    // The first picture of each folder is in its tile.
    QVERIFY(ProgramSlots().at(0)->Snapshot().image != nullptr);
    QVERIFY(ProgramSlots().at(1)->Snapshot().image != nullptr);

    // The drive goes (as the removal message does it, with this test's playback): the
    // branch leaves the tree without a prompt, both tiles are cleared, playback is left.
    bool played = false;
    QVERIFY(velmora::RemoveDriveBranch(TestTree(), stick.string(), [&](GroupRecord& folder) {
      played = velmora::ClearRemovedFolderTile(folder, ProgramSlots()) || played;
    }));
    QVERIFY(played);
    velmora::FollowRemovedTiles(played, ProgramSlots(), *control_);
    QCOMPARE(model.rowCount(), 1);
    QVERIFY(velmora::FindDriveBranch(*TestTree().root, stick.string()) == nullptr);
    QVERIFY(!control_->active());
    Pump();  // the playback thread unloads the feed
    QVERIFY(!pane_->timeline()->isEnabled());
    for (int t : {0, 1}) {
      QCOMPARE(ProgramSlots().PlaybackSlot(t), -1);
      QCOMPARE(QString::fromStdString(ProgramSlots().Text(t)), QString(velmora::kTextNoViewSelected));
      QVERIFY(velmora::FindByViewSlot(TestTree().root.get(), t) == nullptr);
    }

    // A disc in an optical drive gets the optical drive's image.
    velmora::ScanNode disc;
    disc.scanType = EntryKind::RemovableDrive;
    disc.name = "DVD";
    disc.path = "/media/ann/DVD";
    disc.device = "/dev/sr0";
    disc.children.push_back(std::make_unique<velmora::ScanNode>());
    disc.children[0]->scanType = EntryKind::RemovableFolder;
    disc.children[0]->name = "DVD";
    disc.children[0]->path = disc.path;
    QVERIFY(velmora::AddScanResult(*TestTree().root, disc) != nullptr);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.index(1, 0).data(velmora::ui::ImageIndexRole).toInt(), velmora::ui::kOpticalDriveImage);
  }
};

VELMORA_UI_TEST(MediaBranchWindowTest);
#include "test_media_branches.moc"
