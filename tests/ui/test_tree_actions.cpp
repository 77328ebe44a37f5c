// The device tree's commands in the main window, offscreen: the context menu of each kind,
// Delete with and without Shift, renaming by F2, templates through the Properties runner,
// the clipboard, dropped device files and moving entries by dragging.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QFileDialog>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>

#include "app/messages.h"
#include "app/paths.h"
#include "app/settings.h"
#include "control/tree_status.h"
#include "model/fetch_error.h"
#include "live/stream.h"
#include "live/view_slot.h"
#include "model/device_transfer.h"
#include "model/group_record.h"
#include "model/tree_file.h"
#include "net/discovery.h"
#include "app/program_signals.h"
#include "ui/core_events.h"
#include "control/property_rules.h"
#include "ui/device_info_page.h"
#include "ui/main_window.h"
#include "ui/property_sheet.h"
#include "ui/tree_actions.h"
#include "ui/tree_model.h"
#include "ui/tree_pane.h"
#include "ui/view_frame.h"
#include "ui/view_tile.h"
#include "playback/playback_thread.h"
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

GroupRecord& Add(GroupRecord& parent, int32_t kind, const std::string& name) {
  auto record = CreateRecord(kind, name);
  record->path = velmora::ComputePath(&parent, kind, name);
  record->enabled = true;
  // Shown devices are fetched: their addresses are closed ports on this machine.
  record->location = "127.0.0.1:" + std::to_string(18590 + parent.children.size());
  velmora::InsertEntry(&parent, record);
  return *record;
}

QList<int> MenuIds(QMenu* menu) {
  QList<int> ids;
  for (QAction* a : menu->actions()) ids << (a->isSeparator() ? 0 : a->data().toInt());
  return ids;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

QStringList Names(const GroupRecord& parent) {
  QStringList names;
  for (const auto& child : parent.children) names << QString::fromStdString(child->name);
  return names;
}

// What the application's drain does with each queued message: the core's handling
// first, then the window's receivers.
void DispatchQueued() {
  while (auto message = velmora::mainQueue().take()) {
    velmora::HandleFetchErrorMessage(*message);
    velmora::mainQueue().deliver(*message);
  }
}

}  // namespace

class TreeActionsTest : public QObject {
  Q_OBJECT

 private:
  velmora::Settings saved_;
  velmora::Paths savedPaths_;
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<CoreEvents> events_;
  std::unique_ptr<MainWindow> window_;
  QStringList asked_;
  QStringList shown_;
  bool answer_ = true;

  // All Views / Lobby / Gate, Rack / Camera 1, Web, Archive; Yard; old recordings.
  GroupRecord* nvr_ = nullptr;
  GroupRecord* lobby_ = nullptr;
  GroupRecord* gate_ = nullptr;
  GroupRecord* rack_ = nullptr;
  GroupRecord* input_ = nullptr;
  GroupRecord* web_ = nullptr;
  GroupRecord* archive_ = nullptr;
  GroupRecord* yard_ = nullptr;
  GroupRecord* old_ = nullptr;

  velmora::ui::TreeActions* actions() const { return window_->treeActions(); }
  velmora::ui::TreePane* tree() const { return window_->treePane(); }
  QPoint itemCenter(const GroupRecord* record) const {
    return tree()->view()->visualRect(tree()->model()->indexOf(record)).center();
  }

 private slots:
  void init() {
    saved_ = velmora::test::TestSettings();
    savedPaths_ = TestPaths();
    dir_ = std::make_unique<QTemporaryDir>();
    const std::string base = dir_->path().toStdString() + "/";
    velmora::test::PointTestFoldersAt(base);
    velmora::test::TestSettings() = velmora::Settings{};
    velmora::test::TestSettings().viewName = "All Views";
    velmora::programSignals().playbackMode.store(false);

    TestTree().root = CreateRecord(EntryKind::Root, velmora::kRootName);
    nvr_ = &Add(*TestTree().root, EntryKind::LocalNVR, "All Views");
    lobby_ = &Add(*nvr_, EntryKind::Group, "Lobby");
    gate_ = &Add(*lobby_, EntryKind::Device, "Gate");
    rack_ = &Add(*lobby_, EntryKind::ServerDevice, "Rack");
    input_ = &Add(*rack_, EntryKind::ServerCamera, "Camera 1");
    web_ = &Add(*lobby_, EntryKind::HTTPDevice, "Web");
    archive_ = &Add(*lobby_, EntryKind::NASDevice, "Archive");
    yard_ = &Add(*nvr_, EntryKind::Group, "Yard");
    GroupRecord& oldNode = Add(*nvr_, EntryKind::OldRecordingsNode, "Old Recordings With No Live View");
    old_ = &Add(oldNode, EntryKind::OldRecordingsFolder, "Old");

    velmora::programPlayback().controller.setTree(TestTreeShare());

    events_ = std::make_unique<CoreEvents>(nullptr, velmora::programPlayback().controller, TestTree(), TestPaths());
    window_ = std::make_unique<MainWindow>(nullptr, events_.get());
    asked_.clear();
    shown_.clear();
    answer_ = true;
    actions()->setQuestionAsker([this](const QString& text) {
      asked_ << text;
      return answer_;
    });
    actions()->setMessageShower([this](const QString& text) { shown_ << text; });
    window_->resize(1000, 700);
    window_->show();
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    tree()->model()->reload();
    tree()->view()->expandAll();
  }

  void cleanup() {
    window_.reset();
    events_.reset();
    if (TestTree().root) velmora::DestroyTree(TestTree().root.get());
    TestTree().root.reset();
    velmora::test::TestSettings() = saved_;
    TestPaths() = savedPaths_;
    TestTree().recordingsFolder = TestPaths().pathData;
    TestTree().filePath = TestPaths().deviceTreePath;
    velmora::programSignals().playbackMode.store(false);
    QApplication::clipboard()->clear();
    dir_.reset();
  }

  void contextMenusFollowTheKindOfTheEntry() {
    auto menuOf = [this](GroupRecord* record) {
      tree()->selectRecord(record);
      return std::unique_ptr<QMenu>(actions()->buildContextMenu(record, window_.get()));
    };
    auto recorder = menuOf(nvr_);
    QCOMPARE(MenuIds(recorder.get()), (QList<int>{10011, 10001, 0, 10000, 10006}));
    QCOMPARE(recorder->actions()[1]->text(), QString("&Add Group"));
    QVERIFY(recorder->actions()[0]->font().bold());
    QCOMPARE(recorder->defaultAction(), recorder->actions()[0]);

    // A group's menu: View, the "Add Camera..." menu of generic cameras and templates,
    // then its own items.
    auto group = menuOf(lobby_);
    QList<QAction*> items = group->actions();
    QCOMPARE(items.size(), 8);
    QVERIFY(items[1]->menu() != nullptr);
    QCOMPARE(items[1]->text(), QString("Add &Camera..."));
    QList<int> groupIds = MenuIds(group.get());
    groupIds.removeAt(1);
    QCOMPARE(groupIds, (QList<int>{10011, 0, 57637, 0, 57632, 10000, 10006}));
    QCOMPARE(MenuIds(items[1]->menu()),
             (QList<int>{20100, 20101, 20102, 0, 20000, 20001, 20002, 0, 20004, 20005, 20006, 20007, 20008,
                         20009, 20010, 0, 20012, 20013}));
    QCOMPARE(items[1]->menu()->actions()[1]->text(), QString("IP camera (RTSP, H.264 / H.265)"));
    QCOMPARE(items[1]->menu()->actions()[16]->text(), QString("Web Image"));
    QVERIFY(!items[2 + 1]->isEnabled());  // Paste, with nothing copied
    QCOMPARE(items[5]->text(), QString("&Delete"));

    auto server = menuOf(rack_);
    QCOMPARE(MenuIds(server.get()), (QList<int>{10011, 10010, 0, 57635, 57634, 0, 57632, 10000, 0, 10015}));
    QVERIFY(server->actions()[1]->isEnabled());  // Add Camera: 15 inputs free
    for (GroupRecord* device : {gate_, web_, archive_, input_}) {
      auto menu = menuOf(device);
      QCOMPARE(MenuIds(menu.get()),
               (QList<int>{10011, 0, 10014, 10013, 0, 57635, 57634, 0, 57632, 10000, 0, 10015}));
      QVERIFY(menu->actions()[2]->isChecked());  // Enabled
    }
    auto folder = menuOf(old_);
    QCOMPARE(MenuIds(folder.get()), (QList<int>{10008, 0, 57632}));
    QCOMPARE(folder->actions()[0]->text(), QString("&Play"));
    // The items run the window's commands: Sort from the recorder's menu.
    Add(*nvr_, EntryKind::Group, "Alpha");
    tree()->selectRecord(nvr_);
    recorder = menuOf(nvr_);
    recorder->actions()[4]->trigger();
    QCOMPARE(Names(*nvr_).front(), QString("Alpha"));
  }

  void deleteAsksUnlessShiftIsHeld() {
    QTreeView* view = tree()->view();
    view->setFocus();
    tree()->selectRecord(gate_);
    answer_ = false;
    window_->runCommand(57632);
    QCOMPARE(asked_, QStringList{"Are you sure you want to delete 'Gate'?"});
    QCOMPARE(lobby_->children.size(), std::size_t{4});

    // Shift+Delete in the tree deletes at once; the next sibling is selected.
    QTest::keyClick(view, Qt::Key_Delete, Qt::ShiftModifier);
    QCOMPARE(asked_.size(), 1);
    QCOMPARE(Names(*lobby_), (QStringList{"Rack", "Web", "Archive"}));
    QCOMPARE(tree()->selectedRecord(), rack_);

    // The Delete key asks; Yes deletes the server with its camera.
    answer_ = true;
    QTest::keyClick(view, Qt::Key_Delete);
    QCOMPARE(asked_.size(), 2);
    QCOMPARE(Names(*lobby_), (QStringList{"Web", "Archive"}));
    QCOMPARE(tree()->model()->rowCount(tree()->model()->indexOf(lobby_)), 2);
    // The recorder's entry cannot be deleted.
    tree()->selectRecord(nvr_);
    QTest::keyClick(view, Qt::Key_Delete, Qt::ShiftModifier);
    QCOMPARE(nvr_->parent, TestTree().root.get());
    QVERIFY(!window_->action(57632)->isEnabled());
  }

  void renameByF2AndNewGroupsEditTheirLabel() {
    QTreeView* view = tree()->view();
    view->setFocus();
    tree()->selectRecord(archive_);
    auto editTo = [&](const QString& text) {
      QTest::keyClick(view, Qt::Key_F2);
      QVERIFY(tree()->isEditingLabel());
      auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
      QVERIFY(editor != nullptr);
      QCOMPARE(editor->maxLength(), 48);
      editor->setText(text);
      QTest::keyClick(editor, Qt::Key_Return);
      QTRY_VERIFY_WITH_TIMEOUT(!tree()->isEditingLabel(), 2000);
    };
    editTo("Back:door");
    if (QTest::currentTestFailed()) return;
    QCOMPARE(archive_->name, std::string("Archive"));
    QCOMPARE(shown_.size(), 1);
    QVERIFY(shown_[0].startsWith("Your names cannot contain the following\ncharacters: "));
    editTo("  Store  ");
    QCOMPARE(archive_->name, std::string("Store"));
    QCOMPARE(tree()->model()->indexOf(archive_).data().toString(), QString("Store"));
    QVERIFY(QString::fromStdString(ReadFile(TestPaths().deviceTreePath)).contains("Store"));

    // Ctrl+G: a new group under the recorder, its label open for editing.
    QTest::keyClick(window_.get(), Qt::Key_G, Qt::ControlModifier);
    QVERIFY(tree()->isEditingLabel());
    GroupRecord* created = tree()->selectedRecord();
    QVERIFY(created != nullptr);
    QCOMPARE(created->name, std::string("New Group"));
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor != nullptr);
    editor->setText("Garden");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!tree()->isEditingLabel(), 2000);
    QCOMPARE(created->name, std::string("Garden"));

    // In playback only the recorder's label opens, and its edit is discarded.
    velmora::programSignals().playbackMode.store(true);
    window_->updatePlaybackPane();
    QVERIFY(!tree()->editLabel(yard_));
    QVERIFY(tree()->editLabel(nvr_));
    editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor != nullptr);
    editor->setText("Elsewhere");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!tree()->isEditingLabel(), 2000);
    QCOMPARE(nvr_->name, std::string("All Views"));
  }

  // F2 on a camera that delivers frames: every frame reports the camera's state again,
  // which redraws nothing; a real change (the connection lost and back) redraws the row
  // but leaves the text being typed; Enter then renames the camera.
  void renameByF2WhileTheCameraDeliversFrames() {
    QTreeView* view = tree()->view();
    view->setFocus();
    gate_->viewIndex = 0;  // shown in a tile: its state reaches the window
    gate_->shownIn = &ProgramSlots();
    tree()->selectRecord(gate_);
    QTest::keyClick(view, Qt::Key_F2);
    QVERIFY(tree()->isEditingLabel());
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor != nullptr);
    QTest::keyClicks(editor, "Porch");
    QSignalSpy rows(tree()->model(), &QAbstractItemModel::dataChanged);
    for (int frame = 0; frame < 25; ++frame) {
      velmora::ReportFetchState(*gate_, false, nullptr);
      DispatchQueued();
    }
    QCOMPARE(rows.count(), 0);
    QCOMPARE(editor->text(), QString("Porch"));
    velmora::ReportFetchState(*gate_, true, "Connection lost");
    DispatchQueued();
    QVERIFY(gate_->errorShown);
    velmora::ReportFetchState(*gate_, false, nullptr);
    DispatchQueued();
    QVERIFY(!gate_->errorShown);
    QVERIFY(rows.count() > 0);
    QCOMPARE(editor->text(), QString("Porch"));
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!tree()->isEditingLabel(), 2000);
    QCOMPARE(gate_->name, std::string("Porch"));
    gate_->viewIndex = -1;
    ProgramSlots().SetCaptionAndClear(0, std::string());
    ProgramSlots().SetErrorMark(0, false);
  }

  // The window closed while a label is edited: the edit ends with it, renaming nothing.
  void closingTheWindowWhileALabelIsEdited() {
    tree()->view()->setFocus();
    tree()->selectRecord(yard_);
    QVERIFY(tree()->editLabel(yard_));
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor != nullptr);
    QTest::keyClicks(editor, "Garden");
    window_.reset();
    QCOMPARE(yard_->name, std::string("Yard"));
  }

  // The views are refreshed for the selection when the network scan ends and after
  // Import Device File: the saved view is shown again and the entry the operator picked
  // stays selected.
  // A device that discovery adds is selected in the tree (and scrolled into view).
  void discoveredDeviceIsSelected() {
    tree()->selectRecord(gate_);
    QVERIFY(velmora::net::discovery_add_device(TestTree(), "127.0.0.1", "025A3C-000001"));
    GroupRecord* added = tree()->selectedRecord();
    QVERIFY(added != nullptr);
    QCOMPARE(added->hwAddr, std::string("025A3C-000001"));
    QCOMPARE(added->parent->name, std::string(velmora::net::kScanGroupName));
  }

  void refreshingTheViewsKeepsTheOperatorsSelection() {
    velmora::test::TestSettings().viewName = "Lobby";
    window_->refreshViewsForSelection();  // as at start: nothing was selected
    QCOMPARE(tree()->selectedRecord(), lobby_);
    QCOMPARE(tree()->shownNode(), lobby_);

    tree()->selectRecord(web_);
    velmora::AppMessage ended = velmora::MsgNetworkScanEnded{};
    velmora::mainQueue().deliver(ended);
    QCOMPARE(tree()->shownNode(), lobby_);
    QCOMPARE(tree()->selectedRecord(), web_);

    // Import Device File through its dialog: a file holding a camera for Yard.
    auto other = CreateRecord(EntryKind::Root, velmora::kRootName);
    GroupRecord& otherNvr = Add(*other, EntryKind::LocalNVR, "All Views");
    GroupRecord& otherYard = Add(otherNvr, EntryKind::Group, "Yard");
    Add(otherYard, EntryKind::Device, "Shed");
    const QString file = dir_->filePath("devices.xml");
    std::ofstream(file.toStdString(), std::ios::binary) << velmora::TreeFileText(*other);
    velmora::DestroyTree(other.get());
    tree()->selectRecord(archive_);
    bool answered = false;
    window_->setDeviceFileChooser([&] {
      answered = true;
      return file;
    });
    window_->runCommand(10064);
    QVERIFY(answered);
    QCOMPARE(Names(*yard_), QStringList{"Shed"});
    QCOMPARE(tree()->shownNode(), lobby_);
    QCOMPARE(tree()->selectedRecord(), archive_);
  }

  // Delete empties the deleted device's tile: the warning of its failing connection goes
  // with it, and the end its dropped connection reports later reaches no tile.
  void deleteEmptiesTheDevicesTile() {
    velmora::test::TestSettings().viewName = "Yard";  // the refresh after Delete gives out no tile
    velmora::ui::ViewFrame* frame = window_->viewFrame();
    frame->selectLayout(1);  // 1x1: tile 0 fills the frame
    {
      std::lock_guard<std::mutex> guard(gate_->fetchLock);
      gate_->viewIndex = 0;
      gate_->shownIn = &ProgramSlots();
      gate_->fetchIndex = 0;
    }
    ProgramSlots().SetCaptionAndClear(0, "Connecting to Gate");
    velmora::ReportFetchState(*gate_, true, "Unable to connect");
    QVERIFY(ProgramSlots().ErrorMark(0));
    const std::shared_ptr<GroupRecord> held = gate_->shared_from_this();

    tree()->view()->setFocus();
    tree()->selectRecord(gate_);
    QTest::keyClick(tree()->view(), Qt::Key_Delete, Qt::ShiftModifier);
    QVERIFY(held->parent == nullptr);
    velmora::ReportFetchState(*held, true, "Connection lost");
    QCOMPARE(ProgramSlots().Text(0), std::string("No View Selected"));
    QVERIFY(!ProgramSlots().ErrorMark(0));
    // No warning triangle is drawn (its outline colour appears nowhere).
    velmora::test::TestSettings().captionShow = true;
    frame->repaintDirty();
    const QImage shot = frame->tile(0)->grab().toImage();
    bool outline = false;
    for (int y = 0; y < shot.height() && !outline; ++y)
      for (int x = 0; x < shot.width() && !outline; ++x) outline = shot.pixel(x, y) == qRgb(128, 128, 0);
    QVERIFY(!outline);
    while (velmora::mainQueue().take()) {
    }
  }

  // After a rename (in the property sheet, or by F2) the status bar shows the entry's new
  // path; a rename whose recordings folder cannot move (392) is reported in a box by F2
  // as by the property sheet.
  void renamesShowTheNewPathAndAFailedFolderMoveInABox() {
    gate_->viewIndex = 0;  // a tile in use: the status bar describes the selection
    gate_->shownIn = &ProgramSlots();
    tree()->selectRecord(gate_);
    QVERIFY(window_->statusPart(0)->text().startsWith("Lobby/Gate  [url="));
    QTimer sheet;
    connect(&sheet, &QTimer::timeout, this, [&] {
      auto* open = qobject_cast<velmora::ui::PropertySheet*>(QApplication::activeModalWidget());
      if (open == nullptr) return;
      open->deviceInfo()->nameEdit()->setText("Porch");
      open->accept();
    });
    sheet.start(20);
    window_->runCommand(10015);
    sheet.stop();
    QCOMPARE(gate_->name, std::string("Porch"));
    QVERIFY2(window_->statusPart(0)->text().startsWith("Lobby/Porch  [url="),
             qPrintable(window_->statusPart(0)->text()));

    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    QTreeView* view = tree()->view();
    view->setFocus();
    QTest::keyClick(view, Qt::Key_F2);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor != nullptr);
    editor->setText("Gate");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!tree()->isEditingLabel(), 2000);
    QVERIFY2(window_->statusPart(0)->text().startsWith("Lobby/Gate  [url="),
             qPrintable(window_->statusPart(0)->text()));

    // The camera has recorded; another device's recordings hold the folder of the new name.
    const std::filesystem::path data(TestPaths().pathData);
    std::filesystem::create_directories(data / "Lobby" / "Gate");
    std::ofstream(data / "Lobby" / "Gate" / "26010100.vlj") << "x";
    std::filesystem::create_directories(data / "Lobby" / "Door");
    std::ofstream(data / "Lobby" / "Door" / "keep") << "x";
    QTest::keyClick(view, Qt::Key_F2);
    editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor != nullptr);
    editor->setText("Door");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!tree()->isEditingLabel(), 2000);
    QCOMPARE(gate_->name, std::string("Gate"));
    QCOMPARE(shown_, QStringList{"Error renaming folder for recorded images (39)!"});
    gate_->viewIndex = -1;
    while (velmora::mainQueue().take()) {
    }
  }

  void templatesGoThroughThePropertiesRunnerAndItsRefusals() {
    tree()->selectRecord(lobby_);
    actions()->setPropertiesRunner([](GroupRecord&) { return false; });
    window_->runCommand(20012);  // the sheet cancelled: nothing is added
    QCOMPARE(lobby_->children.size(), std::size_t{4});
    QString name = "Gate";
    actions()->setPropertiesRunner([&](GroupRecord& entry) {
      entry.name = name.toStdString();
      entry.location = "http://127.0.0.1:8080/" + name.toStdString();
      return true;
    });
    window_->runCommand(20012);
    QCOMPARE(shown_.size(), 1);
    QVERIFY(shown_[0].startsWith("An entry with name already exists"));
    name = "Porch";
    tree()->selectRecord(lobby_);
    window_->runCommand(20012);
    QCOMPARE(Names(*lobby_).last(), QString("Porch"));
    QCOMPARE(tree()->selectedRecord()->name, std::string("Porch"));
    // Add Camera on the server: the next input, its label open.
    tree()->selectRecord(rack_);
    window_->runCommand(10010);
    QCOMPARE(rack_->children.size(), std::size_t{2});
    QCOMPARE(rack_->children[1]->name, std::string("Camera 2"));
    QVERIFY(tree()->isEditingLabel());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(!tree()->isEditingLabel(), 2000);
  }

  void clipboardCarriesTheDeviceText() {
    tree()->selectRecord(gate_);
    gate_->uuid = "01890000-0000-7000-8000-0000000000aa";
    QVERIFY(!window_->action(57637)->isEnabled());
    window_->runCommand(57634);
    const QMimeData* data = QApplication::clipboard()->mimeData();
    QVERIFY(data && data->hasFormat(velmora::kDeviceClipboardMime));
    QVERIFY(data->data(velmora::kDeviceClipboardMime).startsWith("<DEVICE>"));
    window_->updateCommands();
    QVERIFY(window_->action(57637)->isEnabled());
    window_->runCommand(57637);
    QCOMPARE(Names(*lobby_).last(), QString("Gate (1)"));
    QCOMPARE(lobby_->children.back()->uuid, gate_->uuid);

    // Cut: copied, then deleted after the question; pasted into another group.
    tree()->selectRecord(web_);
    window_->runCommand(57635);
    QCOMPARE(asked_.size(), 1);
    QVERIFY(!Names(*lobby_).contains("Web"));
    tree()->selectRecord(yard_);
    window_->runCommand(57637);
    QCOMPARE(Names(*yard_), QStringList{"Web"});
    QCOMPARE(yard_->children[0]->kind, EntryKind::HTTPDevice);
  }

  void droppedDeviceFilesAreImportedByExtension() {
    // A device file holding one camera in the group Yard.
    auto other = CreateRecord(EntryKind::Root, velmora::kRootName);
    GroupRecord& otherNvr = Add(*other, EntryKind::LocalNVR, "All Views");
    GroupRecord& otherYard = Add(otherNvr, EntryKind::Group, "Yard");
    Add(otherYard, EntryKind::Device, "Shed");
    const QString file = dir_->filePath("devices.XML");
    const QString ignored = dir_->filePath("devices.txt");
    for (const QString& path : {file, ignored}) {
      std::ofstream(path.toStdString(), std::ios::binary) << velmora::TreeFileText(*other);
    }
    velmora::DestroyTree(other.get());

    QCOMPARE(actions()->importDroppedFiles({QUrl::fromLocalFile(ignored)}), 0);
    QVERIFY(yard_->children.empty());
    QCOMPARE(actions()->importDroppedFiles({QUrl::fromLocalFile(ignored), QUrl::fromLocalFile(file)}), 1);
    QCOMPARE(Names(*yard_), QStringList{"Shed"});

    // The same file dropped on the window through the event system: the window takes the
    // drag and imports on the drop (the device is there already, so its name is numbered).
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(file)});
    const QPointF at(window_->width() / 2.0, window_->height() / 2.0);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_.get(), &drop);
    QVERIFY(drop.isAccepted());
    QCOMPARE(yard_->children.size(), 2u);
  }

  void draggingMovesEntriesAndEscapeGivesUp() {
    velmora::ui::TreePane* pane = tree();
    QTreeView* view = pane->view();
    // Servers' cameras and the recorder's entry do not drag.
    QVERIFY(!pane->beginDrag(input_));
    QVERIFY(!pane->beginDrag(nvr_));

    // Escape ends a drag without moving anything.
    QVERIFY(pane->beginDrag(gate_));
    pane->dragMoveTo(itemCenter(yard_));
    QCOMPARE(pane->dropTarget(), yard_);
    QTest::keyClick(view, Qt::Key_Escape);
    QVERIFY(!pane->isDragging());
    QCOMPARE(gate_->parent, lobby_);

    // A camera input is no target; the group Yard is, and the device lands first in it.
    QVERIFY(pane->beginDrag(gate_));
    pane->dragMoveTo(itemCenter(input_));
    QCOMPARE(pane->dropTarget(), nullptr);
    pane->dragMoveTo(itemCenter(yard_));
    pane->endDrag(true);
    QCOMPARE(gate_->parent, yard_);
    QCOMPARE(gate_->path, std::string("Yard/Gate"));
    QCOMPARE(pane->selectedRecord(), gate_);
    QCOMPARE(pane->model()->recordAt(pane->model()->index(0, 0, pane->model()->indexOf(yard_))), gate_);

    // By mouse: a group dragged onto a device of another group follows that group.
    QTest::mousePress(view->viewport(), Qt::LeftButton, Qt::NoModifier, itemCenter(yard_));
    QMouseEvent move(QEvent::MouseMove, QPointF(itemCenter(web_)), view->viewport()->mapToGlobal(QPointF(itemCenter(web_))),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &move);
    QVERIFY(pane->isDragging());
    QCOMPARE(pane->dropTarget(), lobby_);
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, Qt::NoModifier, itemCenter(web_));
    QVERIFY(!pane->isDragging());
    QCOMPARE(Names(*nvr_).mid(0, 2), (QStringList{"Lobby", "Yard"}));

    // Near the bottom edge every second tick scrolls and targets the last visible item
    // (an old recordings folder: a group climbs from it to the recorder's entry).
    QVERIFY(pane->beginDrag(yard_));
    const QPoint bottom(5, view->viewport()->height() - 3);
    pane->autoScrollTick(bottom);
    QCOMPARE(pane->dropTarget(), nullptr);
    pane->autoScrollTick(bottom);
    QCOMPARE(pane->dropTarget(), nvr_);
    pane->endDrag(false);
    QCOMPARE(Names(*nvr_).mid(0, 2), (QStringList{"Lobby", "Yard"}));

    // In playback nothing moves.
    velmora::programSignals().playbackMode.store(true);
    QVERIFY(pane->beginDrag(web_));
    pane->dragMoveTo(itemCenter(yard_));
    pane->endDrag(true);
    QCOMPARE(web_->parent, lobby_);
  }

  // An HTTPS device's menu ends with Trust New Certificate, enabled only once a changed
  // certificate was refused; choosing it forgets the kept one and saves the tree.
  void httpsDeviceOffersTrustingItsNewCertificate() {
    auto menuOf = [this](GroupRecord* record) {
      tree()->selectRecord(record);
      return std::unique_ptr<QMenu>(actions()->buildContextMenu(record, window_.get()));
    };
    const std::string kept(64, 'a');
    gate_->location = "https://10.0.0.9";
    gate_->certificate = kept;
    gate_->enabled = false;  // nothing connects in this test
    auto menu = menuOf(gate_);
    QCOMPARE(MenuIds(menu.get()).last(), 10070);
    QCOMPARE(menu->actions().last()->text(), QString("Trust New Certificate"));
    QVERIFY(!menu->actions().last()->isEnabled());
    QCOMPARE(MenuIds(menuOf(archive_).get()).last(), 10015);  // a plain device has no such item

    gate_->live.certificateRefused = std::string(64, 'b');
    menu = menuOf(gate_);
    QVERIFY(menu->actions().last()->isEnabled());
    menu->actions().last()->trigger();
    QVERIFY(gate_->certificate.empty());
    QVERIFY(gate_->live.certificateRefused.empty());
    const std::string file = ReadFile(TestPaths().deviceTreePath);
    QVERIFY(file.find("<Device name=\"Gate\">") != std::string::npos);
    QVERIFY(file.find(kept) == std::string::npos);
    QVERIFY(!menuOf(gate_)->actions().last()->isEnabled());
  }
};

VELMORA_UI_TEST(TreeActionsTest);
#include "test_tree_actions.moc"
