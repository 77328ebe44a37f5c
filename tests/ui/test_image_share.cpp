// The tile menu's sharing commands and device pages in the window, offscreen: save-as
// naming and the bytes written, the clipboard image, Send Image through a stand-in
// xdg-email, and the browser and terminal started with one argument per value.
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include "app/log.h"
#include "app/paths.h"
#include "app/settings.h"
#include "app/strings.h"
#include "control/commands.h"
#include "control/option_effects.h"
#include "media/image.h"
#include "media/jpeg.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "ui/core_events.h"
#include "ui/image_share.h"
#include "ui/main_window.h"
#include "ui/tree_pane.h"
#include "ui/view_frame.h"
#include "playback/playback_thread.h"
#include "fake_programs.h"
#include "ui_test_main.h"
#include "program_slots.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;
using velmora::test::TestTreeShare;

using velmora::test::ProgramSlots;
using velmora::ui::CoreEvents;
using velmora::ui::MainWindow;

namespace velmora {
namespace {

// A 64 x 48 JPEG: top half red, bottom half blue.
std::vector<uint8_t> TestJpeg() {
  auto image = Image::New(64, 48, 24);
  image->FillRect(Rect{0, 0, 64, 24}, Colour{255, 0, 0});
  image->FillRect(Rect{0, 24, 64, 24}, Colour{0, 0, 255});
  return EncodeJpeg(*image, 90);
}

std::shared_ptr<GroupRecord> Add(GroupRecord& parent, int32_t kind, const std::string& name) {
  auto record = CreateRecord(kind, name);
  record->path = ComputePath(&parent, kind, name);
  record->enabled = true;
  InsertEntry(&parent, record);
  return record;
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class ImageShareTest : public QObject {
  Q_OBJECT

 private:
  Settings saved_;
  Paths savedPaths_;
  std::shared_ptr<GroupRecord> savedRoot_;
  std::unique_ptr<CoreEvents> events_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<QTemporaryDir> dir_;
  GroupRecord* gate_ = nullptr;
  GroupRecord* input_ = nullptr;
  std::vector<uint8_t> jpeg_;
  QStringList messages_;
  int saves_ = 0;

  ui::ImageShare* share() const { return window_->imageShare(); }

  // The gate's tile holds the JPEG (not decoded yet) and is frozen, as the tile menu
  // leaves it.
  void PutFrame() {
    ProgramSlots().at(0)->SetFrozen(false);
    ProgramSlots().SetImage(0, ImageHolder::FromJpeg(jpeg_.data(), jpeg_.size()), "Gate");
    ProgramSlots().at(0)->SetFrozen(true);
  }

  QString LogText() { return QString::fromUtf8(ReadAll(dir_->filePath("test.log"))); }

 private slots:
  void init() {
    saved_ = velmora::test::TestSettings();
    savedPaths_ = TestPaths();
    savedRoot_ = TestTree().root;
    velmora::test::TestSettings() = Settings{};
    velmora::test::TestSettings().recordEnable = false;
    dir_ = std::make_unique<QTemporaryDir>();
    SetLogPath(dir_->filePath("test.log").toStdString());
    jpeg_ = TestJpeg();
    QVERIFY(!jpeg_.empty());

    // All Views / Yard / a camera with shell characters in its name, and a video
    // server's third input.
    TestTree().root = CreateRecord(EntryKind::Root, kRootName);
    auto nvr = Add(*TestTree().root, EntryKind::LocalNVR, "All Views");
    auto yard = Add(*nvr, EntryKind::Group, "Yard");
    auto gate = Add(*yard, EntryKind::Device, "Gate; touch pwned $(id) `id` \"q\" 'r' | &");
    gate->location = "127.0.0.1:8080";
    gate->viewIndex = 0;
    gate->shownIn = &ProgramSlots();
    gate_ = gate.get();
    auto box = Add(*yard, EntryKind::ServerDevice, "Box");
    box->location = "127.0.0.1:8081";
    auto input = Add(*box, EntryKind::ServerCamera, "Camera 3");
    input->location = "127.0.0.1:8081";
    input->cameraIndex = 2;
    input_ = input.get();

    velmora::programPlayback().controller.setTree(TestTreeShare());

    events_ = std::make_unique<CoreEvents>(nullptr, velmora::programPlayback().controller, TestTree(), TestPaths());
    window_ = std::make_unique<MainWindow>(nullptr, events_.get());
    window_->setSettingsSaver([this] { ++saves_; });
    window_->resize(900, 600);
    window_->show();
    saves_ = 0;
    messages_.clear();
    share()->setMessageShower([this](const QString& text) { messages_ << text; });
    window_->treePane()->selectRecord(gate_);
    QCOMPARE(window_->treePane()->selectedRecord(), gate_);
  }

  void cleanup() {
    window_.reset();
    events_.reset();
    for (int i = 0; i < viewSlotCount; ++i) {
      ProgramSlots().at(i)->SetFrozen(false);
      ProgramSlots().at(i)->SetCaptionAndClear("");
    }
    ProgramSlots().TakeDirty();
    if (TestTree().root) DestroyTree(TestTree().root.get());
    TestTree().root = savedRoot_;
    velmora::test::TestSettings() = saved_;
    TestPaths() = savedPaths_;
    TestTree().recordingsFolder = TestPaths().pathData;
    TestTree().filePath = TestPaths().deviceTreePath;
    SetLogPath(std::string());
    dir_.reset();
  }

  // Save as JPEG: the proposals image1, cam2, door13; the bytes written unchanged; the
  // folder remembered; failures shown with strings 310; the tile unfrozen every time.
  void saveAsFollowsTheNamingAndWritesTheBytesUnchanged() {
    const QString pictures = dir_->filePath("pictures");
    const QString shots = dir_->filePath("shots");
    QVERIFY(QDir().mkpath(pictures) && QDir().mkpath(shots));
    velmora::test::TestSettings().pathPictures = pictures.toStdString() + "/";
    QStringList proposals;
    QStringList answers = {shots + "/cam", QString(), shots + "/door12.jpg",
                           dir_->filePath("blocker") + "/x.jpg", shots + "/next.jpg"};
    share()->setFileChooser([&](const QString& proposed) {
      proposals << proposed;
      return answers.takeFirst();
    });
    {
      QFile blocker(dir_->filePath("blocker"));
      QVERIFY(blocker.open(QIODevice::WriteOnly));
    }

    PutFrame();
    window_->runCommand(control::kCmdSaveJpeg);
    QCOMPARE(proposals.last(), pictures + "/image1");
    // No extension typed: .jpg added; the bytes are the camera's, not re-encoded.
    const QByteArray written = ReadAll(shots + "/cam.jpg");
    QCOMPARE(written, QByteArray(reinterpret_cast<const char*>(jpeg_.data()), static_cast<int>(jpeg_.size())));
    QCOMPARE(QString::fromStdString(velmora::test::TestSettings().pathPictures), shots + "/");
    QCOMPARE(saves_, 1);
    QVERIFY(!ProgramSlots().at(0)->Frozen());

    PutFrame();
    window_->runCommand(control::kCmdSaveJpeg);  // cancelled: nothing changes
    QCOMPARE(proposals.last(), shots + "/cam2");
    QCOMPARE(saves_, 1);
    QVERIFY(!ProgramSlots().at(0)->Frozen());

    PutFrame();
    window_->runCommand(control::kCmdSaveJpeg);
    QCOMPARE(proposals.last(), shots + "/cam2");
    QVERIFY(QFile::exists(shots + "/door12.jpg"));

    // A file that cannot be created: string 310 with the error number; the naming
    // still advances from the chosen name.
    PutFrame();
    window_->runCommand(control::kCmdSaveJpeg);
    QCOMPARE(proposals.last(), shots + "/door13");
    QCOMPARE(messages_.size(), 1);
    QVERIFY(messages_[0].startsWith(QString::fromStdString(StringText(310)) + "("));
    QVERIFY(messages_[0].endsWith(")"));
    QVERIFY(!ProgramSlots().at(0)->Frozen());

    PutFrame();
    window_->runCommand(control::kCmdSaveJpeg);
    QCOMPARE(proposals.last(), dir_->filePath("blocker") + "/x14");
    QCOMPARE(QString::fromStdString(velmora::test::TestSettings().pathPictures), shots + "/");

    // Without JPEG bytes the command is disabled, asks nothing, and the tile frozen by
    // the menu is let go all the same.
    ProgramSlots().at(0)->SetFrozen(false);
    ProgramSlots().SetCaptionAndClear(0, "");
    ProgramSlots().at(0)->SetFrozen(true);
    const int asked = proposals.size();
    window_->runCommand(control::kCmdSaveJpeg);
    QCOMPARE(proposals.size(), asked);
    QVERIFY(!ProgramSlots().at(0)->Frozen());
  }

  // Copy Image decodes a frame not decoded yet and puts it on the clipboard the right
  // way up.
  void copyImagePutsTheDecodedFrameOnTheClipboard() {
    QApplication::clipboard()->clear();
    PutFrame();
    window_->updateCommands();
    QVERIFY(window_->action(control::kCmdCopyImage)->isEnabled());
    window_->runCommand(control::kCmdCopyImage);
    const QImage copied = QApplication::clipboard()->image();
    QCOMPARE(copied.size(), QSize(64, 48));
    const QColor top = copied.pixelColor(10, 5);
    const QColor bottom = copied.pixelColor(10, 42);
    QVERIFY2(top.red() > 200 && top.blue() < 60, qPrintable(top.name()));
    QVERIFY2(bottom.blue() > 200 && bottom.red() < 60, qPrintable(bottom.name()));
    QVERIFY(!ProgramSlots().at(0)->Frozen());
  }

  // Send Image: xdg-email gets the subject, the body and a temporary image.jpg that
  // exists while it runs and is gone after; the window is disabled meanwhile. A failed
  // run is logged and cleans up the same way.
  void sendImageAttachesATemporaryFileWhileTheMailClientRuns() {
    uitest::FakePrograms fakes;
    const QString copy = dir_->filePath("attached.jpg");
    // $6 is the attachment: copied while the program runs, so its bytes can be checked.
    fakes.add("xdg-email", QStringLiteral("[ -f \"$6\" ] && /bin/cp \"$6\" '%1'; /bin/sleep 0.3").arg(copy));
    QSignalSpy finished(share(), &ui::ImageShare::mailFinished);

    PutFrame();
    window_->runCommand(control::kCmdSendImage);
    QVERIFY(!ProgramSlots().at(0)->Frozen());
    QVERIFY(!window_->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QVERIFY(window_->isEnabled());

    const QStringList args = fakes.arguments("xdg-email");
    QCOMPARE(args.size(), 7);
    QCOMPARE(args[0], QString("6"));
    QCOMPARE(args[1], QString("--subject"));
    QCOMPARE(args[2], QString::fromStdString(gate_->path));  // one argument, characters and all
    QCOMPARE(args[3], QString("--body"));
    QVERIFY(args[4].startsWith("Device: " + QString::fromStdString(gate_->path) + "\nDate: "));
    QVERIFY(args[4].endsWith("\n"));
    QCOMPARE(args[5], QString("--attach"));
    const QFileInfo attachment(args[6]);
    QCOMPARE(attachment.fileName(), QString("image.jpg"));
    QVERIFY(attachment.dir().dirName().startsWith("img"));
    QCOMPARE(ReadAll(copy), QByteArray(reinterpret_cast<const char*>(jpeg_.data()), static_cast<int>(jpeg_.size())));
    QVERIFY(!attachment.exists());
    QVERIFY(!attachment.dir().exists());
    QCOMPARE(share()->mailsRunning(), 0);

    // The mail program fails: its reason is logged, the file still removed.
    fakes.add("xdg-email", QString(), 3);
    PutFrame();
    window_->runCommand(control::kCmdSendImage);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 10000);
    QCOMPARE(finished.at(1).at(0).toBool(), false);
    QVERIFY(LogText().contains("xdg-email: A required tool could not be found."));
    QVERIFY(!QFileInfo::exists(fakes.arguments("xdg-email").value(6)));
    QVERIFY(window_->isEnabled());

    // No xdg-email at all: logged, nothing left behind, the window stays usable.
    QFile::remove(fakes.path("xdg-email"));
    fakes.onlyFakes();
    PutFrame();
    window_->runCommand(control::kCmdSendImage);
    QVERIFY(LogText().contains("error starting xdg-email: not found on PATH"));
    QVERIFY(window_->isEnabled());
    QVERIFY(!ProgramSlots().at(0)->Frozen());
    QCOMPARE(share()->mailsRunning(), 0);
    QCOMPARE(finished.count(), 2);
  }

  // The pages of a camera at port 8080 and of a server's input 2 reach the browser as
  // one argument each; telnet runs in the TERMINAL with the host alone.
  void devicePagesAndTelnetGetOneArgumentEach() {
    uitest::FakePrograms fakes;
    fakes.add("xdg-open");
    const QString terminal = fakes.add("my-terminal");
    fakes.add("telnet");
    qputenv("TERMINAL", terminal.toUtf8());

    PutFrame();
    window_->runCommand(control::kCmdConfigurePage);
    QTRY_COMPARE(fakes.arguments("xdg-open"), (QStringList{"1", "http://127.0.0.1:8080/admin.cgi"}));
    QVERIFY(!ProgramSlots().at(0)->Frozen());
    QFile::remove(fakes.path("xdg-open.args"));
    window_->runCommand(control::kCmdMainPage);
    QTRY_COMPARE(fakes.arguments("xdg-open"), (QStringList{"1", "http://127.0.0.1:8080/"}));
    window_->runCommand(control::kCmdTelnet);
    QTRY_COMPARE(fakes.arguments("my-terminal"), (QStringList{"3", "-e", "telnet", "127.0.0.1"}));

    window_->treePane()->selectRecord(input_);
    QFile::remove(fakes.path("xdg-open.args"));
    window_->runCommand(control::kCmdConfigurePage);
    QTRY_COMPARE(fakes.arguments("xdg-open"), (QStringList{"1", "http://127.0.0.1:8081/admin.cgi?image&2"}));

    // A location the URL rules refuse opens nothing at all.
    input_->location = "cam$(touch x):80";
    QFile::remove(fakes.path("xdg-open.args"));
    QFile::remove(fakes.path("my-terminal.args"));
    window_->runCommand(control::kCmdConfigurePage);
    window_->runCommand(control::kCmdTelnet);
    QTest::qWait(300);
    QVERIFY(fakes.arguments("xdg-open").isEmpty());
    QVERIFY(fakes.arguments("my-terminal").isEmpty());

    // No terminal at all: the operator is told.
    window_->treePane()->selectRecord(gate_);
    qunsetenv("TERMINAL");
    fakes.onlyFakes();
    window_->runCommand(control::kCmdTelnet);
    QCOMPARE(messages_.size(), 1);
    QVERIFY(messages_[0].contains("terminal"));
    QVERIFY(fakes.arguments("my-terminal").isEmpty());
  }
};

VELMORA_UI_TEST(ImageShareTest);

}  // namespace velmora

#include "test_image_share.moc"
