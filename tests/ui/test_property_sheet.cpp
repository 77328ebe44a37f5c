// The property sheet: pages per kind and the page it opens on, the device page's checks
// with their strings, the recording page's rate slider, days, motion rules and zone
// picker, the schedule page, and what OK writes (only pages that were shown, a video
// server's account reaching its cameras).
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/paths.h"
#include "app/strings.h"
#include "control/property_rules.h"
#include "model/group_record.h"
#include "ui/device_info_page.h"
#include "ui/property_sheet.h"
#include "ui/record_info_page.h"
#include "ui/schedule_page.h"
#include "ui_test_main.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

using velmora::CreateRecord;
using velmora::GroupRecord;
namespace EntryKind = velmora::EntryKind;
namespace control = velmora::control;
using velmora::ui::PropertySheet;

namespace {

// An entry being added: not in the tree, so nothing is fetched or recorded for it.
std::shared_ptr<GroupRecord> NewEntry(int32_t kind, const std::string& name) {
  auto record = CreateRecord(kind, name);
  record->isNew = true;
  record->location = "127.0.0.1:1/x.jpg";
  record->path = name;
  return record;
}

struct Sheet {
  std::unique_ptr<PropertySheet> sheet;
  QStringList messages;
  Sheet(int& lastPage, GroupRecord& entry, bool showDebug = false)
      : sheet(new PropertySheet(TestTree(), entry, showDebug, lastPage, nullptr, nullptr)) {
    sheet->showMessage = [this](const QString& text) { messages << text; };
  }
  PropertySheet* operator->() const { return sheet.get(); }
};

QString Text(int id) { return QString::fromStdString(velmora::StringText(id)); }

}  // namespace

class PropertySheetTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    saved_ = TestPaths();
    char pattern[] = "/tmp/velmora-props-XXXXXX";
    QVERIFY(mkdtemp(pattern) != nullptr);
    folder_ = pattern;
    TestPaths().pathData = folder_ + "/";
    TestTree().recordingsFolder = TestPaths().pathData;
  }
  void init() { lastPage_ = control::kDeviceInfoPage; }
  void cleanupTestCase() {
    TestPaths() = saved_;
    TestTree().recordingsFolder = TestPaths().pathData;
    TestTree().filePath = TestPaths().deviceTreePath;
    std::filesystem::remove_all(folder_);
  }

  void pagesFollowTheKindAndTheSheetReopensOnTheLastPage() {
    lastPage_ = control::kDeviceInfoPage;
    auto group = NewEntry(EntryKind::Group, "Yard");
    {
      Sheet s(lastPage_, *group);
      QCOMPARE(s->windowTitle(), QString("Properties: Yard"));
      QCOMPARE(s->tabs()->count(), 1);
      QVERIFY(s->recordInfo() == nullptr && s->schedule() == nullptr);
    }
    auto nas = NewEntry(EntryKind::NASDevice, "Archive");
    {
      Sheet s(lastPage_, *nas);
      QCOMPARE(s->tabs()->count(), 2);
      QCOMPARE(s->tabs()->tabText(1), QString("Recording Options"));
      s->tabs()->setCurrentIndex(1);
      QCOMPARE(lastPage_, control::kRecordInfoPage);
    }
    auto cam = NewEntry(EntryKind::Device, "Gate");
    {
      Sheet s(lastPage_, *cam);
      QCOMPARE(s->tabs()->count(), 3);
      QCOMPARE(s->tabs()->currentWidget(), static_cast<QWidget*>(s->recordInfo()));
      s->tabs()->setCurrentIndex(2);
    }
    {
      // A web image has all three pages and opens on the schedule page now; a group does
      // not have it and opens on its first page.
      Sheet s(lastPage_, *NewEntry(EntryKind::HTTPDevice, "Sky"));
      QCOMPARE(s->tabs()->currentWidget(), static_cast<QWidget*>(s->schedule()));
      Sheet g(lastPage_, *group);
      QCOMPARE(g->tabs()->currentIndex(), 0);
    }
    lastPage_ = control::kDeviceInfoPage;
  }

  void devicePageLabelsEnablingAndDebugRow() {
    auto input = NewEntry(EntryKind::ServerCamera, "Camera 1");
    Sheet s(lastPage_, *input);
    velmora::ui::DeviceInfoPage* page = s->deviceInfo();
    QCOMPARE(page->locationLabel()->text(), QString("&Hostname or IP:"));
    QVERIFY(page->locationEdit()->isReadOnly());
    QVERIFY(!page->usernameEdit()->isEnabled() && !page->passwordEdit()->isEnabled());
    QVERIFY(!page->syncTimeBox()->isEnabled());
    QVERIFY(!page->browseButton()->isVisibleTo(s.sheet.get()));
    QVERIFY(!page->debugLevelBox()->isVisibleTo(s.sheet.get()));
    QCOMPARE(page->nameEdit()->maxLength(), 48);
    QCOMPARE(page->locationEdit()->maxLength(), 2084);

    auto nas = NewEntry(EntryKind::NASDevice, "Archive");
    nas->location = "/srv/old";
    Sheet n(lastPage_, *nas, true);
    page = n->deviceInfo();
    QCOMPARE(page->locationLabel()->text(), QString("Folder &Path:"));
    QVERIFY(page->debugLevelBox()->isVisibleTo(n.sheet.get()) && page->debugLabel()->isVisibleTo(n.sheet.get()));
    QVERIFY(page->browseButton()->isVisibleTo(n.sheet.get()) && page->browseButton()->isEnabled());
    QString started;
    page->pickFolder = [&](const QString& start) {
      started = start;
      return QString("/srv/new");
    };
    page->browseButton()->click();
    QCOMPARE(started, QString("/srv/old"));
    QCOMPARE(page->locationEdit()->text(), QString("/srv/new"));

    auto cam = NewEntry(EntryKind::Device, "Gate");
    cam->debugLevel = 3;
    Sheet c(lastPage_, *cam);
    QCOMPARE(c->deviceInfo()->locationLabel()->text(), QString("&Hostname or IP:"));
    QVERIFY(c->deviceInfo()->syncTimeBox()->isEnabled());
    QVERIFY(c->deviceInfo()->debugLevelBox()->isVisibleTo(c.sheet.get()));
    QCOMPARE(c->deviceInfo()->debugLevelBox()->value(), 3);
  }

  void eachCheckShowsItsStringAndKeepsTheSheetOpen() {
    auto web = NewEntry(EntryKind::HTTPDevice, "Sky");
    Sheet s(lastPage_, *web);
    velmora::ui::DeviceInfoPage* page = s->deviceInfo();
    struct Case {
      const char* name;
      const char* location;
      int message;
    } cases[] = {{"  ", "host/a.jpg", 266}, {"Sky:1", "host/a.jpg", 131},
                 {"Sky", "host/a,b.jpg", 269}, {"Sky", "host", 268}};
    for (const Case& c : cases) {
      page->nameEdit()->setText(c.name);
      page->locationEdit()->setText(c.location);
      s.messages.clear();
      s->accept();
      QCOMPARE(s.messages, QStringList{Text(c.message)});
      QVERIFY(s->result() != QDialog::Accepted);
    }
    QCOMPARE(web->name, std::string("Sky"));

    // Leaving the page checks it too, and stays on it.
    page->nameEdit()->setText("");
    s.messages.clear();
    s->tabs()->setCurrentIndex(1);
    QCOMPARE(s->tabs()->currentIndex(), 0);
    QCOMPARE(s.messages, QStringList{Text(266)});

    auto cam = NewEntry(EntryKind::Device, "Gate");
    Sheet c(lastPage_, *cam);
    c->deviceInfo()->nameEdit()->setText("");
    c->accept();
    QCOMPARE(c.messages, QStringList{Text(130)});

    // A good page applies, trimmed.
    page->nameEdit()->setText("  Sky 2 ");
    page->locationEdit()->setText("example.org/sky.jpg");
    s->accept();
    QCOMPARE(s->result(), static_cast<int>(QDialog::Accepted));
    QCOMPARE(web->name, std::string("Sky 2"));
    QCOMPARE(web->location, std::string("example.org/sky.jpg"));
  }

  void rateSliderDaysAndMotionRules() {
    lastPage_ = control::kRecordInfoPage;
    auto cam = NewEntry(EntryKind::Device, "Gate");
    cam->updateDelay = 125;
    cam->archiveTime = 0;
    cam->motionType = 2;
    cam->ignoreGradualChanges = false;
    Sheet s(lastPage_, *cam);
    velmora::ui::RecordInfoPage* page = s->recordInfo();
    QCOMPARE(page->rateName()->text(), QString("8 FPS"));
    QVERIFY(page->frameRateRadio()->isChecked());
    QCOMPARE(page->daysBox()->value(), 1);
    QVERIFY(page->ignoreGradualBox()->isChecked() && !page->ignoreGradualBox()->isEnabled());
    page->motionTypeList()->setCurrentIndex(1);
    QVERIFY(page->ignoreGradualBox()->isEnabled());
    page->motionBox()->setChecked(false);
    QVERIFY(!page->motionGroup()->isEnabled());
    page->motionBox()->setChecked(true);
    QVERIFY(page->motionGroup()->isEnabled());
    QVERIFY(!page->backupButton()->isEnabled());
    QVERIFY(!page->backupButton()->toolTip().isEmpty());

    // The slider's ends, each writing its delay and choosing the frame-rate radio.
    page->overrideRadio()->setChecked(true);
    page->rateSlider()->setValue(0);
    QCOMPARE(page->rateName()->text(), QString("Every 24 Hours"));
    QCOMPARE(page->overrideEdit()->text(), QString("86400000"));
    QVERIFY(page->frameRateRadio()->isChecked());
    page->rateSlider()->setValue(page->rateSlider()->maximum());
    QCOMPARE(page->rateName()->text(), QString("Fastest Possible"));
    QCOMPARE(page->overrideEdit()->text(), QString("0"));

    // Typing a delay moves the slider to the nearest rate without echoing back.
    page->overrideEdit()->clear();
    page->overrideRadio()->setChecked(true);
    QTest::keyClicks(page->overrideEdit(), "490");
    QCOMPARE(page->rateName()->text(), QString("2 FPS"));
    QCOMPARE(page->overrideEdit()->text(), QString("490"));
    QVERIFY(page->overrideRadio()->isChecked());

    page->daysBox()->setValue(30);
    s->accept();
    QCOMPARE(s->result(), static_cast<int>(QDialog::Accepted));
    QCOMPARE(cam->updateDelay, 490u);
    QCOMPARE(cam->archiveTime, 30 * 86400);
    QCOMPARE(cam->motionType, 1u);

    auto other = NewEntry(EntryKind::Device, "Door");
    other->updateDelay = 130;
    other->archiveTime = 3650 * 86400;
    Sheet o(lastPage_, *other);
    QCOMPARE(o->recordInfo()->daysBox()->value(), 1825);
    QVERIFY(o->recordInfo()->overrideRadio()->isChecked());
    QCOMPARE(o->recordInfo()->overrideEdit()->text(), QString("130"));
    QCOMPARE(o->recordInfo()->rateName()->text(), QString("8 FPS"));

    auto nas = NewEntry(EntryKind::NASDevice, "Archive");
    Sheet n(lastPage_, *nas);
    QVERIFY(!n->recordInfo()->recordingBox()->isEnabled());
    QVERIFY(!n->recordInfo()->motionBox()->isEnabled());
    QVERIFY(!n->recordInfo()->motionGroup()->isEnabled());
    QVERIFY(!n->recordInfo()->removalGroup()->isEnabled());
    lastPage_ = control::kDeviceInfoPage;
  }

  void zoneClicksToggleAtOnceAndDrawGreenSquares() {
    auto cam = NewEntry(EntryKind::Device, "Gate");
    cam->grid4x4 = 0;
    Sheet s(lastPage_, *cam);
    velmora::ui::ZonePicker* picker = s->recordInfo()->zonePicker();
    picker->resize(160, 120);
    QTest::mouseClick(picker, Qt::LeftButton, {}, QPoint(3, 3));
    QCOMPARE(cam->grid4x4, uint16_t{0x0001});
    QTest::mouseClick(picker, Qt::LeftButton, {}, QPoint(158, 118));
    QCOMPARE(cam->grid4x4, uint16_t{0x8001});
    const QImage drawn = picker->grab().toImage();
    QCOMPARE(drawn.pixelColor(20, 15), QColor(0, 255, 0));    // centre of zone 0
    QCOMPARE(drawn.pixelColor(140, 105), QColor(0, 255, 0));  // centre of zone 15
    QVERIFY(drawn.pixelColor(60, 15) != QColor(0, 255, 0));   // zone 1 is not watched
    QTest::mouseClick(picker, Qt::LeftButton, {}, QPoint(3, 3));
    QCOMPARE(cam->grid4x4, uint16_t{0x8000});
    // Cancel does not undo the clicks.
    s->reject();
    QCOMPARE(cam->grid4x4, uint16_t{0x8000});
  }

  void onlyShownPagesApplyAndTheCounterCounts() {
    auto cam = NewEntry(EntryKind::Device, "Gate");
    std::filesystem::create_directories(folder_ + "/Gate");
    { std::FILE* f = std::fopen((folder_ + "/Gate/2026120814.vlj").c_str(), "wb");
      std::fputs("0123456789", f);
      std::fclose(f); }
    cam->archiveTime = 5 * 86400;
    lastPage_ = control::kSchedulePage;
    Sheet s(lastPage_, *cam);
    QVERIFY(QTest::qWaitFor([&] { return s->recordInfo()->countDone(); }, 5000));
    QTest::qWait(300);
    QCOMPARE(s->recordInfo()->counterLabel()->text(), QString("(1 files; 10 bytes)"));
    s->recordInfo()->daysBox()->setValue(9);          // page never shown
    s->deviceInfo()->nameEdit()->setText("Renamed");  // page never shown
    QVERIFY(!s->schedule()->scheduleGroup()->isEnabled());
    s->schedule()->scheduleBox()->setChecked(true);
    QVERIFY(s->schedule()->scheduleGroup()->isEnabled());
    s->schedule()->dayBox(6)->setChecked(true);
    s->schedule()->hourBox(23)->setChecked(true);
    s->accept();
    QCOMPARE(s->result(), static_cast<int>(QDialog::Accepted));
    QVERIFY(cam->scheduleEnabled && cam->daysOfWeek[6] && cam->hoursOfDay[23] && !cam->hoursOfDay[0]);
    QCOMPARE(cam->archiveTime, 5 * 86400);
    QCOMPARE(cam->name, std::string("Gate"));
    lastPage_ = control::kDeviceInfoPage;
  }

  void serverAccountReachesItsCameras() {
    auto root = CreateRecord(EntryKind::Root, velmora::kRootName);
    auto server = CreateRecord(EntryKind::ServerDevice, "Box");
    server->path = "Box";
    velmora::InsertEntry(root.get(), server);
    for (const char* name : {"Camera 1", "Camera 2"}) {
      auto input = CreateRecord(EntryKind::ServerCamera, name);
      input->path = std::string("Box/") + name;
      velmora::InsertEntry(server.get(), input);
    }
    Sheet s(lastPage_, *server);
    s->deviceInfo()->locationEdit()->setText("127.0.0.1:8081");
    s->deviceInfo()->usernameEdit()->setText("admin");
    s->deviceInfo()->passwordEdit()->setText("pw");
    s->accept();
    QCOMPARE(s->result(), static_cast<int>(QDialog::Accepted));
    for (const auto& input : server->children) {
      QCOMPARE(input->location, std::string("127.0.0.1:8081"));
      QCOMPARE(input->username, std::string("admin"));
      QCOMPARE(input->password, std::string("pw"));
    }
    velmora::DestroyTree(root.get());
  }

  void passwordOnlyWhenAskedIsACheckBoxBesideTheCredentials() {
    auto cam = NewEntry(EntryKind::Device, "Gate");
    cam->sendPasswordOnlyWhenAsked = true;
    {
      Sheet s(lastPage_, *cam);
      QCheckBox* box = s->deviceInfo()->onlyWhenAskedBox();
      QVERIFY(box != nullptr);
      QCOMPARE(box->text(), QString("Send the password only when asked"));
      QVERIFY(box->isEnabled() && box->isChecked());
      box->setChecked(false);
      s->accept();
      QCOMPARE(s->result(), static_cast<int>(QDialog::Accepted));
    }
    QVERIFY(!cam->sendPasswordOnlyWhenAsked);
    {
      Sheet s(lastPage_, *cam);
      QVERIFY(!s->deviceInfo()->onlyWhenAskedBox()->isChecked());
      s->deviceInfo()->onlyWhenAskedBox()->setChecked(true);
      s->reject();
    }
    QVERIFY2(!cam->sendPasswordOnlyWhenAsked, "Cancel keeps the setting");

    // A camera of a video server takes its server's choice, as it takes its account.
    auto root = CreateRecord(EntryKind::Root, velmora::kRootName);
    auto server = CreateRecord(EntryKind::ServerDevice, "Box");
    server->path = "Box";
    velmora::InsertEntry(root.get(), server);
    auto input = CreateRecord(EntryKind::ServerCamera, "Camera 1");
    input->path = "Box/Camera 1";
    velmora::InsertEntry(server.get(), input);
    {
      Sheet i(lastPage_, *input);
      QVERIFY(!i->deviceInfo()->onlyWhenAskedBox()->isEnabled());
    }
    Sheet s(lastPage_, *server);
    s->deviceInfo()->onlyWhenAskedBox()->setChecked(true);
    s->accept();
    QVERIFY(server->sendPasswordOnlyWhenAsked && input->sendPasswordOnlyWhenAsked);
    velmora::DestroyTree(root.get());
  }

 private:
  velmora::Paths saved_;
  int lastPage_ = control::kDeviceInfoPage;  // the page the window remembers, per test
  std::string folder_;
};

VELMORA_UI_TEST(PropertySheetTest);
#include "test_property_sheet.moc"
