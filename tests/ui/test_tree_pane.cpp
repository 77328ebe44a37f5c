// The Device List pane: its model kept in step with a changing tree (checked by Qt's own
// model tester), what each item shows, and the keys of the tree and of label editing.
#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QColor>
#include <QContextMenuEvent>
#include <QFont>
#include <QImage>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/settings.h"
#include "model/group_record.h"
#include "ui/tree_model.h"
#include "ui/tree_pane.h"
#include "ui_test_main.h"
#include "test_tree.h"

using velmora::test::TestTree;

using velmora::CreateRecord;
using velmora::GroupRecord;
namespace EntryKind = velmora::EntryKind;
using velmora::ui::TreeModel;
using velmora::ui::TreePane;

namespace {

GroupRecord& Add(GroupRecord& parent, int32_t kind, const std::string& name) {
  auto record = CreateRecord(kind, name);
  record->path = velmora::ComputePath(&parent, kind, name);
  record->enabled = true;
  velmora::InsertEntry(&parent, record);
  return *record;
}

// The model's items below `parent` stand for `record`'s children, in order, all the way
// down.
void ExpectMirrors(const TreeModel& model, const QModelIndex& parent, const GroupRecord& record) {
  QCOMPARE(model.rowCount(parent), static_cast<int>(record.children.size()));
  for (int i = 0; i < model.rowCount(parent); ++i) {
    const QModelIndex index = model.index(i, 0, parent);
    const GroupRecord& child = *record.children[static_cast<std::size_t>(i)];
    QCOMPARE(model.recordAt(index), &child);
    QCOMPARE(model.parent(index), parent);
    QCOMPARE(index.data().toString(), QString::fromStdString(child.name));
    ExpectMirrors(model, index, child);
  }
}

}  // namespace

class TreePaneTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QWidget> window_;
  TreePane* pane_ = nullptr;
  velmora::Settings savedSettings_;

  // A window holding a pane over a new tree: All Views / Yard / Gate, Box / Camera 1.
  GroupRecord* nvr_ = nullptr;
  GroupRecord* yard_ = nullptr;
  GroupRecord* gate_ = nullptr;
  GroupRecord* box_ = nullptr;
  GroupRecord* input_ = nullptr;

  void makeTree() {
    TestTree().root = CreateRecord(EntryKind::Root, velmora::kRootName);
    nvr_ = &Add(*TestTree().root, EntryKind::LocalNVR, "All Views");
    yard_ = &Add(*nvr_, EntryKind::Group, "Yard");
    gate_ = &Add(*yard_, EntryKind::Device, "Gate");
    gate_->location = "10.0.0.2";
    box_ = &Add(*yard_, EntryKind::ServerDevice, "Box");
    box_->location = "10.0.0.3";
    input_ = &Add(*box_, EntryKind::ServerCamera, "Camera 1");
    input_->location = "10.0.0.3";
  }

  void makeWindow() {
    window_ = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(window_.get());
    pane_ = new TreePane(TestTree(), window_.get());
    layout->addWidget(pane_);
    window_->resize(300, 400);
  }

 private slots:
  void init() {
    savedSettings_ = velmora::test::TestSettings();
    makeTree();
    makeWindow();
  }

  void cleanup() {
    window_.reset();  // the pane lets go of the observer
    QCOMPARE(velmora::Installed<velmora::TreeObserver>::get(), nullptr);
    if (TestTree().root) velmora::DestroyTree(TestTree().root.get());
    TestTree().root.reset();
    velmora::test::TestSettings() = savedSettings_;
  }

  void modelFollowsInsertsRemovesMovesSortsAndResets() {
    TreeModel& model = *pane_->model();
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    ExpectMirrors(model, QModelIndex(), *TestTree().root);
    QVERIFY(pane_->view()->isExpanded(model.indexOf(yard_)));

    // Inserts at the end and at a position open the parent.
    GroupRecord& west = Add(*nvr_, EntryKind::Group, "west");
    Add(west, EntryKind::Device, "b");
    QVERIFY(pane_->view()->isExpanded(model.indexOf(&west)));
    velmora::InsertEntryAt(&west, 0, CreateRecord(EntryKind::Device, "C"));
    velmora::InsertEntryAt(&west, 1, CreateRecord(EntryKind::Device, "a"));
    ExpectMirrors(model, QModelIndex(), *TestTree().root);

    // The selection follows its record through moves and a sort.
    pane_->selectRecord(gate_);
    QCOMPARE(pane_->selectedRecord(), gate_);
    QVERIFY(velmora::MoveEntry(*gate_, west, 1));
    QVERIFY(velmora::MoveEntry(*west.children[0], west, 3));  // down in the same parent
    QVERIFY(velmora::MoveEntry(*box_, *nvr_, 0));              // with its camera
    ExpectMirrors(model, QModelIndex(), *TestTree().root);
    QCOMPARE(pane_->selectedRecord(), gate_);
    velmora::SortChildren(west);
    QCOMPARE(model.index(0, 0, model.indexOf(&west)).data().toString(), QStringLiteral("a"));
    ExpectMirrors(model, QModelIndex(), *TestTree().root);
    QCOMPARE(pane_->selectedRecord(), gate_);

    // A rename redraws the item.
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    velmora::RenameEntry(*gate_, "Front Gate");
    QCOMPARE(changed.count(), 1);
    QCOMPARE(model.indexOf(gate_).data().toString(), QStringLiteral("Front Gate"));

    // Removing the selected entry moves the selection away from it, and the pane says
    // where; the record outlives its item only while someone holds it.
    QSignalSpy selection(pane_, &TreePane::selectionChanged);
    std::weak_ptr<GroupRecord> weak = gate_->weak_from_this();
    std::shared_ptr<GroupRecord> removed = velmora::RemoveEntry(*gate_);
    QVERIFY(pane_->selectedRecord() != removed.get());
    QVERIFY(selection.count() >= 1);
    QCOMPARE(selection.last().at(0).value<GroupRecord*>(), pane_->selectedRecord());
    QVERIFY(!model.indexOf(gate_).isValid());
    removed.reset();
    QVERIFY(weak.expired());
    ExpectMirrors(model, QModelIndex(), *TestTree().root);

    // Taking the tree apart empties the model; a new root (as loading makes) fills it.
    velmora::DestroyTree(TestTree().root.get());
    QCOMPARE(model.rowCount(), 0);
    TestTree().root.reset();
    GroupRecord& root = TestTree().ensureRoot();
    QCOMPARE(model.rowCount(), 0);
    GroupRecord& site = Add(root, EntryKind::LocalNVR, "Site");
    Add(site, EntryKind::Group, "North");
    ExpectMirrors(model, QModelIndex(), root);
    QVERIFY(pane_->view()->isExpanded(model.indexOf(&site)));

    // A root swapped in without a word is taken over at its first insert.
    std::shared_ptr<GroupRecord> previous = TestTree().root;
    TestTree().root = CreateRecord(EntryKind::Root, velmora::kRootName);
    Add(*TestTree().root, EntryKind::LocalNVR, "Other");
    ExpectMirrors(model, QModelIndex(), *TestTree().root);
    velmora::DestroyTree(previous.get());  // no longer shown: the model is not disturbed
    QCOMPARE(model.rowCount(), 1);
  }

  // Many mixed changes in a fixed pseudo-random order, with a selection and an open
  // branch or two, stay in step under the model tester (400 steps).
  void mixedChangesKeepTheModelInStep() {
    TreeModel& model = *pane_->model();
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    std::vector<GroupRecord*> containers = {nvr_, yard_, box_};
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t n) {
      seed = seed * 1664525u + 1013904223u;
      return (seed >> 8) % n;
    };
    auto anyBelow = [&](GroupRecord* from) -> GroupRecord* {
      return from->children.empty() ? nullptr
                                    : from->children[next(static_cast<uint32_t>(from->children.size()))].get();
    };
    int named = 0;
    for (int step = 0; step < 400 && !QTest::currentTestFailed(); ++step) {
      GroupRecord* parent = containers[next(static_cast<uint32_t>(containers.size()))];
      switch (next(5)) {
        case 0:
        case 1: {
          auto record = CreateRecord(EntryKind::Device, "d" + std::to_string(next(1000)) + "-" +
                                                            std::to_string(named++));
          velmora::InsertEntryAt(parent, next(static_cast<uint32_t>(parent->children.size() + 1)), record);
          break;
        }
        case 2:
          if (GroupRecord* child = anyBelow(parent); child && child->kind == EntryKind::Device)
            velmora::RemoveEntry(*child);
          break;
        case 3:
          if (GroupRecord* child = anyBelow(parent); child && child->kind == EntryKind::Device) {
            GroupRecord* to = containers[next(static_cast<uint32_t>(containers.size()))];
            QVERIFY(velmora::MoveEntry(*child, *to, next(static_cast<uint32_t>(to->children.size() + 1))));
          }
          break;
        case 4:
          velmora::SortChildren(*parent);
          break;
      }
      if (step % 50 == 0) {
        pane_->selectRecord(anyBelow(yard_));
        pane_->view()->collapse(model.indexOf(box_));
      }
      if (GroupRecord* selected = pane_->selectedRecord())
        QVERIFY(model.indexOf(selected).isValid());
    }
    ExpectMirrors(model, QModelIndex(), *TestTree().root);
  }

  void itemsShowKindOverlayGhostingAndTheShownNode() {
    TreeModel& model = *pane_->model();
    using velmora::ui::GhostedRole;
    using velmora::ui::ImageIndexRole;
    using velmora::ui::OverlayRole;
    using velmora::ui::ShownRole;
    auto role = [&](GroupRecord* r, int which) { return model.indexOf(r).data(which); };

    QCOMPARE(role(nvr_, ImageIndexRole).toInt(), 11);
    QCOMPARE(role(input_, ImageIndexRole).toInt(), 9);
    QCOMPARE(role(box_, ImageIndexRole).toInt(), 14);

    // This recorder's entry shows the server overlay while the HTTP server is on.
    velmora::test::TestSettings().httpServer = true;
    QCOMPARE(role(nvr_, OverlayRole).toInt(), velmora::kOverlayServer);
    velmora::test::TestSettings().httpServer = false;
    QCOMPARE(role(nvr_, OverlayRole).toInt(), velmora::kOverlayNone);

    // Error beats recording; a disabled device is ghosted with the disabled overlay even
    // in error; a disabled container is never ghosted.
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    gate_->recording = true;
    pane_->refreshItem(gate_);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(role(gate_, OverlayRole).toInt(), velmora::kOverlayRecording);
    gate_->errorShown = true;
    velmora::RefreshItemState(*gate_);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(role(gate_, OverlayRole).toInt(), velmora::kOverlayError);
    QCOMPARE(role(gate_, GhostedRole).toBool(), false);
    gate_->enabled = false;
    QCOMPARE(role(gate_, OverlayRole).toInt(), velmora::kOverlayDisabled);
    QCOMPARE(role(gate_, GhostedRole).toBool(), true);
    box_->enabled = false;
    QCOMPARE(role(box_, GhostedRole).toBool(), false);
    QCOMPARE(role(box_, OverlayRole).toInt(), velmora::kOverlayNone);

    // The images: every kind has one; the overlay marks the lower-left corner; a ghosted
    // image is fainter than the plain one.
    for (int index = 0; index < 18; ++index)
      QVERIFY2(!velmora::ui::KindIcon(index).pixmap(16, 16).isNull(), qPrintable(QString::number(index)));
    const QImage plain = velmora::ui::ItemIcon(13, velmora::kOverlayNone, false).pixmap(16, 16).toImage();
    const QImage recording = velmora::ui::ItemIcon(13, velmora::kOverlayRecording, false).pixmap(16, 16).toImage();
    const QImage ghosted = velmora::ui::ItemIcon(13, velmora::kOverlayNone, true).pixmap(16, 16).toImage();
    QColor mark = recording.pixelColor(4, 12);
    QVERIFY2(mark.red() > 180 && mark.green() < 100 && mark.alpha() == 255, qPrintable(mark.name()));
    int plainAlpha = 0;
    int ghostAlpha = 0;
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        plainAlpha += plain.pixelColor(x, y).alpha();
        ghostAlpha += ghosted.pixelColor(x, y).alpha();
      }
    }
    QVERIFY(plainAlpha > 0);
    QVERIFY(ghostAlpha < plainAlpha * 6 / 10);
    QVERIFY(!model.indexOf(gate_).data(Qt::DecorationRole).value<QIcon>().isNull());

    // The shown node is bold, and only one at a time.
    pane_->setShownNode(yard_);
    QVERIFY(role(yard_, Qt::FontRole).value<QFont>().bold());
    QVERIFY(role(yard_, ShownRole).toBool());
    pane_->setShownNode(box_);
    QVERIFY(!role(yard_, ShownRole).toBool());
    QVERIFY(!role(yard_, Qt::FontRole).isValid());
    QVERIFY(role(box_, Qt::FontRole).value<QFont>().bold());
    velmora::RemoveEntry(*box_);
    QCOMPARE(pane_->shownNode(), nullptr);

    // Items are 18 pixels high.
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QCOMPARE(pane_->view()->visualRect(model.indexOf(gate_)).height(), 18);
  }

  void labelEditingOwnsItsKeysAndOnlyReportsTheText() {
    // The window's accelerator for Delete must stay quiet while a label is edited.
    auto* deleteAction = new QAction(window_.get());
    deleteAction->setShortcut(QKeySequence(Qt::Key_Delete));
    window_->addAction(deleteAction);
    QSignalSpy deletes(deleteAction, &QAction::triggered);
    QSignalSpy edited(pane_, &TreePane::labelEdited);
    QSignalSpy editing(pane_, &TreePane::labelEditingChanged);
    QSignalSpy activated(pane_, &TreePane::activated);
    window_->show();
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    QTreeView* view = pane_->view();
    view->setFocus();
    pane_->selectRecord(gate_);

    // Not editing: Delete is the window's, Enter and Space show the node.
    QTest::keyClick(view, Qt::Key_Delete);
    QCOMPARE(deletes.count(), 1);
    QTest::keyClick(view, Qt::Key_Return);
    QTest::keyClick(view, Qt::Key_Space);
    QCOMPARE(activated.count(), 2);
    QCOMPARE(activated.last().at(0).value<GroupRecord*>(), gate_);

    // F2 opens the edit box on the name; Delete edits the text; Escape drops the edit.
    QTest::keyClick(view, Qt::Key_F2);
    QVERIFY(pane_->isEditingLabel());
    QCOMPARE(editing.count(), 1);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor != nullptr);
    QCOMPARE(editor->text(), QStringLiteral("Gate"));
    QTest::keyClick(editor, Qt::Key_Delete);  // the whole name was selected
    QCOMPARE(editor->text(), QString());
    QCOMPARE(deletes.count(), 1);
    QTest::keyClicks(editor, "Porch");
    QTest::keyClick(editor, Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(!pane_->isEditingLabel(), 2000);
    QCOMPARE(edited.count(), 0);
    QCOMPARE(editing.count(), 2);
    QCOMPARE(activated.count(), 2);

    // Enter ends the edit with the text (cut to 48 characters), which is only reported.
    QVERIFY(pane_->editLabel(gate_));
    editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor != nullptr);
    QTest::keyClicks(editor, QString(60, QLatin1Char('x')));
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!pane_->isEditingLabel(), 2000);
    QCOMPARE(edited.count(), 1);
    QCOMPARE(edited.last().at(0).value<GroupRecord*>(), gate_);
    QCOMPARE(edited.last().at(1).toString(), QString(48, QLatin1Char('x')));
    QCOMPARE(QString::fromStdString(gate_->name), QStringLiteral("Gate"));
    QCOMPARE(deletes.count(), 1);
    QCOMPARE(activated.count(), 2);

    // Scanned entries keep their names; in playback only this recorder's entry is edited.
    GroupRecord& old = Add(*TestTree().root, EntryKind::OldRecordingsFolder, "2024");
    QVERIFY(!pane_->editLabel(&old));
    pane_->setPlaybackMode(true);
    QVERIFY(!pane_->editLabel(gate_));
    QVERIFY(pane_->editLabel(nvr_));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(!pane_->isEditingLabel(), 2000);
    QVERIFY(!pane_->isEditingLabel());
  }

  void menuKeysAndStatusTextDescribeTheSelection() {
    QSignalSpy menus(pane_, &TreePane::contextMenuRequested);
    QSignalSpy status(pane_, &TreePane::statusText);
    QSignalSpy selection(pane_, &TreePane::selectionChanged);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QTreeView* view = pane_->view();

    // No tile in use: the selection is reported, the status bar left alone.
    pane_->selectRecord(gate_);
    QCOMPARE(selection.count(), 1);
    QCOMPARE(selection.last().at(0).value<GroupRecord*>(), gate_);
    QCOMPARE(status.count(), 0);

    input_->viewIndex = 0;
    pane_->selectRecord(input_);
    QCOMPARE(status.count(), 1);
    QCOMPARE(status.last().at(0).toString(), QStringLiteral("Yard/Box/Camera 1  [url=http://10.0.0.3/jpeg.cgi]"));
    pane_->selectRecord(yard_);
    QCOMPARE(status.last().at(0).toString(), QStringLiteral("Yard"));

    // The menu key and Shift+F10 open the selected item's menu below its text.
    QTest::keyClick(view, Qt::Key_Menu);
    QTest::keyClick(view, Qt::Key_F10, Qt::ShiftModifier);
    QCOMPARE(menus.count(), 2);
    QCOMPARE(menus.last().at(0).value<GroupRecord*>(), yard_);
    const QRect item = view->visualRect(pane_->model()->indexOf(yard_));
    const QPoint at = view->viewport()->mapFromGlobal(menus.last().at(1).toPoint());
    QCOMPARE(at.y(), item.bottom());
    QVERIFY(at.x() > item.left());

    // A right click selects the item under the cursor and opens its menu there.
    const QRect gateRect = view->visualRect(pane_->model()->indexOf(gate_));
    QContextMenuEvent click(QContextMenuEvent::Mouse, gateRect.center(),
                            view->viewport()->mapToGlobal(gateRect.center()));
    QApplication::sendEvent(view->viewport(), &click);
    QCOMPARE(pane_->selectedRecord(), gate_);
    QCOMPARE(menus.count(), 3);
    QCOMPARE(menus.last().at(0).value<GroupRecord*>(), gate_);
    QCOMPARE(menus.last().at(1).toPoint(), view->viewport()->mapToGlobal(gateRect.center()));

    // A single click selects; a double click shows the node.
    QSignalSpy activated(pane_, &TreePane::activated);
    const QPoint boxCenter = view->visualRect(pane_->model()->indexOf(box_)).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, boxCenter);
    QCOMPARE(pane_->selectedRecord(), box_);
    QCOMPARE(activated.count(), 0);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, boxCenter);
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.last().at(0).value<GroupRecord*>(), box_);
  }
};

VELMORA_UI_TEST(TreePaneTest);

#include "test_tree_pane.moc"
