// The Backup dialog: opened from a device's recording page, its defaults and count, a
// recount when a date changes, simulated and real backups to a stick given through a
// mount table of the test's own, sticks coming and going, the warning when the selection
// does not fit, and Finished. A stick mounted where recordings live is refused; one that
// holds another device's backup is erased only after a Yes.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "app/paths.h"
#include "backup/backup_support.h"
#include "control/backup_view.h"
#include "control/property_rules.h"
#include "model/group_record.h"
#include "ui/backup_dialog.h"
#include "ui/property_sheet.h"
#include "ui/record_info_page.h"
#include "ui_test_main.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace fs = std::filesystem;
using velmora::ui::BackupDialog;

namespace {

constexpr int kWaitMs = 15000;

// A mount table and sysfs of the test's own: removable sticks mounted below
// <root>/media.
class FakeMounts {
 public:
  explicit FakeMounts(const std::string& root) : root_(root) {
    source_.mountInfoPath = root + "/mountinfo";
    source_.sysfsRoot = root + "/sys";
    source_.defaultRoots = {root + "/media"};
    write();
  }
  // Mounts a stick named `name` (device sd<letter>1) and returns its folder.
  std::string mount(const std::string& name, char letter) {
    const std::string device = std::string("sd") + letter + "1";
    const fs::path block = fs::path(source_.sysfsRoot) / "class/block" / device;
    fs::create_directories(block);
    std::ofstream(block / "removable") << "1\n";
    const std::string point = root_ + "/media/" + name;
    fs::create_directories(point);
    lines_.push_back(std::to_string(40 + lines_.size()) + " 1 0:0 / " + point + " rw - vfat /dev/" + device +
                     " rw\n");
    write();
    return point;
  }
  void unmountLast() {
    lines_.pop_back();
    write();
  }
  const velmora::platform::MountTableSource& source() const { return source_; }

 private:
  void write() {
    std::ofstream out(source_.mountInfoPath, std::ios::trunc);
    out << "21 1 8:1 / / rw - ext4 /dev/sda1 rw\n";
    for (const auto& line : lines_) out << line;
  }
  std::string root_;
  velmora::platform::MountTableSource source_;
  std::vector<std::string> lines_;
};

// The local day `days` before today, for the date pickers.
QDate DayBefore(int days) { return QDate::currentDate().addDays(-days); }

std::set<std::string> FileNames(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

}  // namespace

class BackupDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    saved_ = TestPaths();
    char pattern[] = "/tmp/velmora-backupdlg-XXXXXX";
    QVERIFY(mkdtemp(pattern) != nullptr);
    root_ = pattern;
    TestPaths().pathData = root_ + "/Recordings/";
    TestTree().recordingsFolder = TestPaths().pathData;
    source_ = root_ + "/Recordings/Gate";
    // Two hours three days ago (inside the last 7 days), one hour twelve days ago: at
    // noon, so that both hours of a day stay on one date whatever the time of the run.
    const auto now = static_cast<int32_t>(std::time(nullptr));
    const int32_t noon = now - now % 86400 + 12 * 3600;
    velmora::test::MakeHours(source_, noon - 3 * 86400, 2);
    velmora::test::MakeHours(source_, noon - 12 * 86400, 1);
    mounts_ = std::make_unique<FakeMounts>(root_);
    stick_ = mounts_->mount("STICK", 'b');
  }
  void cleanupTestCase() {
    TestPaths() = saved_;
    TestTree().recordingsFolder = TestPaths().pathData;
    TestTree().filePath = TestPaths().deviceTreePath;
    mounts_.reset();
    fs::remove_all(root_);
  }

  // The recording page's button opens the dialog on its device: the marker written, the
  // last 7 days, the volume label, the stick listed and examined, the files counted.
  void opensFromThePropertySheetWithTheLastSevenDays() {
    int lastPage = velmora::control::kRecordInfoPage;
    auto cam = velmora::CreateRecord(velmora::EntryKind::Device, "Gate");
    cam->location = "127.0.0.1:1/x.jpg";
    cam->path = "Gate";
    // The sheet reads the drives where the program's Core would hand it: the test's mounts.
    velmora::ui::PropertySheet sheet(TestTree(), *cam, false, lastPage, nullptr, &mounts_->source());
    QPushButton* button = sheet.recordInfo()->backupButton();
    QVERIFY(button->isEnabled());

    QString title, start, end, label, count, size, type, device, status;
    bool backupEnabled = false, simulated = false, removeDisabled = false, counted = false;
    QTimer::singleShot(0, this, [&] {
      auto* dialog = qobject_cast<BackupDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      counted = QTest::qWaitFor([&] { return dialog->countShown() && !dialog->examining() && dialog->deviceList()->count() > 0; }, kWaitMs);
      title = dialog->windowTitle();
      start = dialog->startDate()->date().toString(Qt::ISODate);
      end = dialog->endDate()->date().toString(Qt::ISODate);
      label = dialog->volumeLabel()->text();
      count = dialog->fileCount()->text();
      size = dialog->sizeText()->text();
      type = dialog->deviceType()->text();
      device = dialog->deviceList()->currentText();
      status = dialog->statusLine()->text();
      backupEnabled = dialog->backupButton()->isEnabled();
      simulated = dialog->simulateBox()->isChecked();
      removeDisabled = !dialog->removeBox()->isEnabled();
      QTest::mouseClick(dialog->finishedButton(), Qt::LeftButton);
    });
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(QApplication::activeModalWidget() == nullptr || QApplication::activeModalWidget() == &sheet);
    QVERIFY(counted);
    QCOMPARE(title, QString("Backup"));
    QCOMPARE(end, QDate::currentDate().toString(Qt::ISODate));
    QCOMPARE(start, DayBefore(7).toString(Qt::ISODate));
    QCOMPARE(label, "Gate-" + QDate::currentDate().toString("yyyyMMdd"));
    QCOMPARE(velmora::test::ReadBytes(fs::path(source_) / ".nvr"), std::string("root=\"Gate\"\r\n"));
    // The marker and the two recent hours' pairs.
    QCOMPARE(count, QString("5"));
    QCOMPARE(size.toStdString(), velmora::control::ByteSizeText(SelectedBytes(DayBefore(7))));
    QCOMPARE(device, "STICK (" + QString::fromStdString(stick_) + ")");
    QCOMPARE(type, QString("Removable Disk"));
    QCOMPARE(status, QString("Ready."));
    QVERIFY(backupEnabled && simulated && removeDisabled);
  }

  // Dates recount; a simulated and a real backup to the stick; the dialog used again.
  void recountsAndBacksUpToAStick() {
    BackupDialog dialog(source_, "Gate", Sources(), mounts_->source(), TestPaths().pathData, TestTree().root.get());
    dialog.show();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.countShown() && dialog.backupButton()->isEnabled(), kWaitMs);
    QCOMPARE(dialog.fileCount()->text(), QString("5"));
    QVERIFY(!dialog.warningIcon()->isVisible());
    QVERIFY(dialog.mediaSize()->text().endsWith(" bytes)"));

    // The start moved past the recordings: only the marker; moved back before the old
    // hour: everything.
    dialog.startDate()->setDate(DayBefore(2));
    QTRY_VERIFY_WITH_TIMEOUT(dialog.countShown(), kWaitMs);
    QCOMPARE(dialog.fileCount()->text(), QString("1"));
    dialog.startDate()->setDate(DayBefore(13));
    QTRY_VERIFY_WITH_TIMEOUT(dialog.countShown(), kWaitMs);
    QCOMPARE(dialog.fileCount()->text(), QString("7"));
    QCOMPARE(dialog.sizeText()->text().toStdString(), velmora::control::ByteSizeText(SelectedBytes(DayBefore(13))));
    // A start after the end: said, and no Backup.
    dialog.startDate()->setDate(QDate::currentDate().addDays(1));
    QVERIFY(!dialog.backupButton()->isEnabled());
    QCOMPARE(dialog.statusLine()->text(), QString("The start date lies after the end date."));
    dialog.startDate()->setDate(DayBefore(13));
    QTRY_VERIFY_WITH_TIMEOUT(dialog.countShown(), kWaitMs);
    QVERIFY(dialog.backupButton()->isEnabled());
    QCOMPARE(dialog.statusLine()->text(), QString("Ready."));

    // Simulated: "Success." and nothing on the stick.
    // An older backup of this device on the stick.
    std::ofstream(fs::path(stick_) / ".nvr") << "root=\"Gate\"\r\n";
    std::ofstream(fs::path(stick_) / "old.vlj") << "an older backup";
    QSignalSpy ended(&dialog, &BackupDialog::backupEnded);
    QVERIFY(dialog.simulateBox()->isChecked());
    QTest::mouseClick(dialog.backupButton(), Qt::LeftButton);
    QVERIFY(!dialog.backupButton()->isEnabled());
    // Being written: Finished, Escape and the close button are refused with a note.
    QVERIFY(!dialog.finishedButton()->isEnabled() && !dialog.startDate()->isEnabled());
    dialog.reject();
    QVERIFY(dialog.isVisible());
    QVERIFY(!dialog.close());
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.statusLine()->text(), QString("A backup is being written; wait until it has finished."));
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kWaitMs);
    QCOMPARE(ended.at(0).at(0).toBool(), true);
    QCOMPARE(dialog.statusLine()->text(), QString("Success."));
    QCOMPARE(FileNames(stick_), (std::set<std::string>{".nvr", "old.vlj"}));
    QCOMPARE(dialog.progressBar()->value(), dialog.progressBar()->maximum());

    // Real: the old backup erased, every selected file copied as it is.
    QTRY_VERIFY_WITH_TIMEOUT(dialog.backupButton()->isEnabled(), kWaitMs);
    dialog.simulateBox()->setChecked(false);
    QTest::mouseClick(dialog.backupButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 2, kWaitMs);
    QCOMPARE(ended.at(1).at(0).toBool(), true);
    QCOMPARE(dialog.statusLine()->text(), QString("Success."));
    const std::set<std::string> copied = FileNames(stick_);
    QCOMPARE(copied.size(), std::size_t{7});
    QVERIFY(!copied.count("old.vlj"));
    for (const std::string& name : copied)
      QVERIFY(velmora::test::ReadBytes(fs::path(stick_) / name) == velmora::test::ReadBytes(fs::path(source_) / name));
    // Examined again afterwards with the outcome still
    // shown, and Finished closes.
    const int examined = dialog.examinations();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.examinations() > examined && !dialog.examining(), kWaitMs);
    QVERIFY(dialog.backupButton()->isEnabled());
    QCOMPARE(dialog.statusLine()->text(), QString("Success."));
    dialog.finishedButton()->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    for (const std::string& name : copied) fs::remove(fs::path(stick_) / name);
  }

  // A disc drive (libburn's image-file pseudo-drive): listed with its medium's flags,
  // the disc image written with the volume label typed and the selection in it.
  void burnsADiscThroughTheDrive() {
    const std::string image = root_ + "/disc.iso";
    velmora::control::DeviceSources sources = Sources();
    sources.drives = [image] {
      return std::vector<velmora::backup::OpticalDrive>{{"stdio:" + image, "", "", "", ""}};
    };
    BackupDialog dialog(source_, "Gate", sources, mounts_->source(), TestPaths().pathData, TestTree().root.get());
    dialog.show();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.countShown() && dialog.deviceList()->count() == 2 && !dialog.examining(),
                             kWaitMs);
    dialog.deviceList()->setCurrentIndex(1);
    QTRY_VERIFY_WITH_TIMEOUT(dialog.deviceType()->text() != QString("Removable Disk") && !dialog.examining(), kWaitMs);
    QVERIFY(dialog.blankBox()->isChecked() && dialog.writableBox()->isChecked());
    QVERIFY(!dialog.blankBox()->isEnabled());
    QVERIFY(dialog.mediaSize()->text().endsWith(" bytes)"));
    QVERIFY(dialog.backupButton()->isEnabled());

    QSignalSpy ended(&dialog, &BackupDialog::backupEnded);
    dialog.volumeLabel()->setText("GATEDISC");
    dialog.simulateBox()->setChecked(false);
    QTest::mouseClick(dialog.backupButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kWaitMs * 2);
    QCOMPARE(dialog.statusLine()->text(), QString("Success."));
    QCOMPARE(ended.at(0).at(0).toBool(), true);
    const std::string bytes = velmora::test::ReadBytes(image);
    QVERIFY(bytes.size() > 32808 + 8 && bytes.size() % 2048 == 0);
    QCOMPARE(bytes.substr(32808, 8), std::string("GATEDISC"));  // the primary volume's name
    for (const char* name : {".nvr"})
      QVERIFY(bytes.find(velmora::test::ReadBytes(fs::path(source_) / name)) != std::string::npos);
    dialog.reject();
    QVERIFY(!dialog.isVisible());
    fs::remove(image);
  }

  // A stick arriving is listed; one too small for the selection shows the warning and
  // still allows Backup; a stick going is taken out of the list.
  void sticksComeAndGoAndTheWarningShows() {
    BackupDialog dialog(source_, "Gate", Sources(), mounts_->source(), TestPaths().pathData, TestTree().root.get());
    dialog.show();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.countShown() && !dialog.examining() && dialog.deviceList()->count() == 1,
                             kWaitMs);
    mounts_->mount("SMALL", 'c');
    dialog.checkMounts();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.deviceList()->count() == 2 && !dialog.examining(), kWaitMs);
    QCOMPARE(dialog.deviceList()->currentIndex(), 0);  // the selection stays
    QVERIFY(!dialog.warningIcon()->isVisible());
    dialog.deviceList()->setCurrentIndex(1);
    QTRY_VERIFY_WITH_TIMEOUT(dialog.mediaSize()->text() == QString("10 bytes (10 bytes)") && !dialog.examining(),
                             kWaitMs);
    QVERIFY(dialog.warningIcon()->isVisible());
    QVERIFY(dialog.backupButton()->isEnabled());

    mounts_->unmountLast();
    dialog.checkMounts();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.deviceList()->count() == 1 && !dialog.examining(), kWaitMs);
    QCOMPARE(dialog.deviceList()->currentText(), "STICK (" + QString::fromStdString(stick_) + ")");
    QVERIFY(!dialog.warningIcon()->isVisible());

    // Nothing left: no device, no Backup.
    mounts_->unmountLast();
    dialog.checkMounts();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.deviceList()->count() == 0 && !dialog.examining(), kWaitMs);
    QVERIFY(!dialog.backupButton()->isEnabled());
    QCOMPARE(dialog.statusLine()->text(), QString("No removable disk or disc drive found."));
    QCOMPARE(dialog.deviceType()->text(), QString("Unknown"));
    QCOMPARE(dialog.mediaSize()->text(), QString("No disc present."));
    stick_ = mounts_->mount("STICK", 'b');
    dialog.reject();
    QVERIFY(!dialog.isVisible());
  }

  // A stick whose mount point leads into the recordings folder: Backup stays disabled and
  // the status line says why; the other stick is fine.
  void refusesAStickInsideTheRecordingsFolder() {
    fs::create_directories(root_ + "/Recordings/Other");
    fs::create_directory_symlink(root_ + "/Recordings/Other", root_ + "/media/INSIDE");
    mounts_->mount("INSIDE", 'd');
    BackupDialog dialog(source_, "Gate", Sources(), mounts_->source(), TestPaths().pathData, TestTree().root.get());
    dialog.show();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.countShown() && !dialog.examining() && dialog.deviceList()->count() == 2,
                             kWaitMs);
    QVERIFY(dialog.backupButton()->isEnabled());  // STICK
    dialog.deviceList()->setCurrentIndex(1);
    QTRY_VERIFY_WITH_TIMEOUT(dialog.examinations() >= 2 && !dialog.examining(), kWaitMs);
    QVERIFY(!dialog.backupButton()->isEnabled());
    const QString status = dialog.statusLine()->text();
    QVERIFY2(status.startsWith("The target '" + QString::fromStdString(root_) + "/media/INSIDE' lies inside the "
                                                                                 "recordings folder"),
             qPrintable(status));
    QVERIFY(status.endsWith("a backup there would erase recordings."));
    dialog.deviceList()->setCurrentIndex(0);
    QTRY_VERIFY_WITH_TIMEOUT(dialog.backupButton()->isEnabled(), kWaitMs);
    QCOMPARE(dialog.statusLine()->text(), QString("Ready."));
    dialog.reject();
    mounts_->unmountLast();
    fs::remove(root_ + "/media/INSIDE");
  }

  // A stick holding another device's backup: a real backup asks first (default No); No
  // leaves the stick alone, Yes puts this device's backup in its place. A simulated one
  // asks nothing.
  void asksBeforeErasingAnotherDevicesBackup() {
    const fs::path stick(stick_);
    for (const auto& entry : fs::directory_iterator(stick)) fs::remove_all(entry.path());
    std::ofstream(stick / ".nvr") << "root=\"Yard/Other\"\r\n";
    std::ofstream(stick / "26010100.vlj") << "the other device's hour";
    BackupDialog dialog(source_, "Gate", Sources(), mounts_->source(), TestPaths().pathData, TestTree().root.get());
    dialog.show();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.countShown() && !dialog.examining() && dialog.backupButton()->isEnabled(),
                             kWaitMs);
    QCOMPARE(dialog.statusLine()->text(), QString("Ready."));
    QSignalSpy ended(&dialog, &BackupDialog::backupEnded);

    // The answer given to the question box, with what the box showed.
    QString asked;
    bool defaultNo = false;
    auto answer = [&](QMessageBox::StandardButton button) {
      asked.clear();
      QTimer::singleShot(0, this, [&, button] {
        QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr, kWaitMs);
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        asked = box->text();
        defaultNo = box->defaultButton() == box->button(QMessageBox::No);
        QTest::mouseClick(box->button(button), Qt::LeftButton);
      });
    };
    // A question that should not come is answered No (and recorded) instead of waiting.
    auto unexpected = [&] {
      asked.clear();
      QTimer::singleShot(500, this, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
          asked = box->text();
          box->button(QMessageBox::No)->click();
        }
      });
    };
    // The backup's end is followed by a new look at the medium.
    auto examinedAgain = [&](int before) {
      return QTest::qWaitFor([&] { return dialog.examinations() > before && !dialog.examining(); }, kWaitMs);
    };
    dialog.simulateBox()->setChecked(false);
    answer(QMessageBox::No);
    QTest::mouseClick(dialog.backupButton(), Qt::LeftButton);
    QCOMPARE(asked, QString("The medium holds the backup of \"Yard/Other\". Erase it and back up \"Gate\" in its "
                            "place?"));
    QVERIFY(defaultNo);
    QVERIFY(!dialog.backingUp());
    QTest::qWait(300);
    QCOMPARE(ended.count(), 0);
    QCOMPARE(FileNames(stick), (std::set<std::string>{".nvr", "26010100.vlj"}));
    QCOMPARE(velmora::test::ReadBytes(stick / ".nvr"), std::string("root=\"Yard/Other\"\r\n"));

    // Simulated: nothing erased, nothing asked.
    dialog.simulateBox()->setChecked(true);
    unexpected();
    int examined = dialog.examinations();
    QTest::mouseClick(dialog.backupButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kWaitMs);
    QVERIFY(asked.isEmpty());
    QCOMPARE(FileNames(stick), (std::set<std::string>{".nvr", "26010100.vlj"}));

    // Yes: the other device's backup gives way.
    QVERIFY(examinedAgain(examined));
    QVERIFY(dialog.backupButton()->isEnabled());
    dialog.simulateBox()->setChecked(false);
    answer(QMessageBox::Yes);
    examined = dialog.examinations();
    QTest::mouseClick(dialog.backupButton(), Qt::LeftButton);
    QVERIFY(!asked.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 2, kWaitMs);
    QCOMPARE(ended.at(1).at(0).toBool(), true);
    QCOMPARE(dialog.statusLine()->text(), QString("Success."));
    QCOMPARE(velmora::test::ReadBytes(stick / ".nvr"), std::string("root=\"Gate\"\r\n"));
    QVERIFY(!fs::exists(stick / "26010100.vlj"));
    // Its own backup now: renewed without a question.
    QVERIFY(examinedAgain(examined));
    QVERIFY(dialog.backupButton()->isEnabled());
    unexpected();
    QTest::mouseClick(dialog.backupButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 3, kWaitMs);
    QVERIFY(asked.isEmpty());
    QCOMPARE(ended.at(2).at(0).toBool(), true);
    dialog.reject();
    for (const auto& entry : fs::directory_iterator(stick)) fs::remove_all(entry.path());
  }

 private:
  // The system's sources without a scan for disc drives; a stick named SMALL reports
  // 10 free bytes.
  velmora::control::DeviceSources Sources() const {
    velmora::control::DeviceSources sources = velmora::control::SystemDeviceSources(mounts_->source());
    sources.drives = [] { return std::vector<velmora::backup::OpticalDrive>{}; };
    sources.examine = [](const velmora::control::BackupDevice& device) {
      if (device.optical) return velmora::backup::ExamineDisc(device.target);
      velmora::backup::DriveInfo info = velmora::backup::ExamineRemovable(device.target);
      if (device.target.ends_with("/SMALL")) info.mediaBytes = 10;
      return info;
    };
    return sources;
  }
  // The bytes of the marker and the hour files from `start` to today.
  uint64_t SelectedBytes(const QDate& start) const {
    const velmora::backup::Selection selection = velmora::backup::MakeSelection(
        {{start.year(), start.month(), start.day()},
         {QDate::currentDate().year(), QDate::currentDate().month(), QDate::currentDate().day()}});
    std::vector<velmora::backup::SelectedFile> files;
    velmora::backup::ListSelectedFiles(source_, selection, files);
    uint64_t total = 0;
    for (const auto& file : files) total += file.sizeBytes;
    return total;
  }

  velmora::Paths saved_;
  std::string root_;
  std::string source_;
  std::string stick_;
  std::unique_ptr<FakeMounts> mounts_;
};

VELMORA_UI_TEST(BackupDialogTest);
#include "test_backup_dialog.moc"
