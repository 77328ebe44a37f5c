// The view frame and its tiles, offscreen: layouts applied by commands, counts and double
// clicks; tiles painted from their slots (checked by pixels on grabbed images); the
// context menu freezing a tile.
#include <QApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <memory>

#include "app/settings.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "ui/view_frame.h"
#include "ui/view_tile.h"
#include "ui_test_main.h"
#include "program_slots.h"
#include "test_tree.h"

using velmora::test::TestTree;

using velmora::test::ProgramSlots;
using velmora::ui::ViewFrame;
using velmora::ui::ViewTile;

namespace velmora {
namespace {

// A 640 x 480 frame: top-left quarter red, top-right green, bottom half blue.
std::unique_ptr<ImageHolder> TestFrame(bool withJpeg = false, int width = 640, int height = 480) {
  std::unique_ptr<ImageHolder> holder;
  if (withJpeg) {
    const uint8_t bytes[4] = {0xFF, 0xD8, 0xFF, 0xD9};
    holder = ImageHolder::FromJpeg(bytes, sizeof bytes);
  } else {
    holder = std::make_unique<ImageHolder>();
  }
  holder->image = Image::New(width, height, 24);
  holder->image->FillRect(Rect{0, 0, width / 2, height / 2}, Colour{255, 0, 0});
  holder->image->FillRect(Rect{width / 2, 0, width - width / 2, height / 2}, Colour{0, 255, 0});
  holder->image->FillRect(Rect{0, height / 2, width, height - height / 2}, Colour{0, 0, 255});
  return holder;
}

bool Is(const QImage& image, int x, int y, QColor c) { return image.pixelColor(x, y).rgb() == c.rgb(); }

// Whether a colour appears anywhere in a rectangle of the image.
bool Has(const QImage& image, const QRect& area, QColor c) {
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (image.pixelColor(x, y).rgb() == c.rgb()) return true;
  return false;
}

}  // namespace

class ViewFrameTest : public QObject {
  Q_OBJECT

 private:
  Settings saved_;
  std::shared_ptr<GroupRecord> savedRoot_;
  int saves_ = 0;

  std::unique_ptr<ViewFrame> NewFrame(int w, int h) {
    auto frame = std::make_unique<ViewFrame>(TestTree(), ProgramSlots());
    frame->setSettingsSaver([this] { ++saves_; });
    frame->resize(w, h);
    frame->show();
    return frame;
  }

  QImage Grab(ViewFrame& frame, int tile) {
    frame.repaintDirty();
    return frame.tile(tile)->grab().toImage();
  }

  void ClearSlots() {
    for (int i = 0; i < viewSlotCount; ++i) {
      ViewSlot* s = ProgramSlots().at(i);
      s->SetFrozen(false);
      s->SetCaptionAndClear("");
      s->SetSelected(false);
      s->SetPlaybackSlot(-1);
      s->SetErrorMark(false);
    }
    ProgramSlots().TakeDirty();
  }

 private slots:
  void init() {
    saved_ = velmora::test::TestSettings();
    savedRoot_ = TestTree().root;
    saves_ = 0;
    velmora::test::TestSettings().captionShow = false;
    velmora::test::TestSettings().viewStretch = false;
    velmora::test::TestSettings().viewTarget = 0;
    ClearSlots();
  }
  void cleanup() {
    velmora::test::TestSettings() = saved_;
    TestTree().root = savedRoot_;
    ClearSlots();
  }

  // Layout commands, the layout for a shown node, and double clicks.
  void doubleClickZoomsToOneTileAndBack() {
    auto frame = NewFrame(800, 600);
    QSignalSpy layouts(frame.get(), &ViewFrame::layoutChanged);
    frame->selectLayout(kLayout4x4);
    QCOMPARE(frame->currentLayout(), int(kLayout4x4));
    QCOMPARE(frame->tile(7)->geometry(), QRect(600, 150, 200, 150));

    QTest::mouseDClick(frame->tile(7), Qt::LeftButton);
    QCOMPARE(frame->currentLayout(), int(kLayout1x1));
    QCOMPARE(frame->scrollPosition(), 7);
    QVERIFY(frame->tile(7)->isVisible());
    QCOMPARE(frame->tile(7)->geometry(), QRect(0, 0, 800, 600));
    QVERIFY(!frame->tile(0)->isVisible());
    QCOMPARE(velmora::test::TestSettings().viewMode, 1u);

    QTest::mouseDClick(frame->tile(7), Qt::LeftButton);
    QCOMPARE(frame->currentLayout(), int(kLayout4x4));
    QCOMPARE(frame->scrollPosition(), 0);
    QVERIFY(frame->tile(0)->isVisible());
    QCOMPARE(frame->tile(7)->geometry(), QRect(600, 150, 200, 150));
    QCOMPARE(layouts.count(), 2);
    QCOMPARE(velmora::test::TestSettings().viewMode, 9u);
    QVERIFY(saves_ >= 3);

    // Multi-View: a small tile becomes the large one, "(Central View)" takes its slot.
    frame->selectLayout(kLayoutMultiView);
    QVERIFY(!frame->scrollPosition());
    QVERIFY(frame->centralTile()->isVisible());
    const QRect slotOfFive = frame->tile(5)->geometry();
    QTest::mouseDClick(frame->tile(5), Qt::LeftButton);
    QCOMPARE(velmora::test::TestSettings().viewTarget, 5u);
    QCOMPARE(frame->currentLayout(), int(kLayoutMultiView));
    QCOMPARE(frame->centralTile()->geometry(), slotOfFive);
    QCOMPARE(frame->tile(5)->geometry().topLeft(), QPoint(0, 0));
    QCOMPARE(frame->tile(0)->geometry().x(), 7 * (800 / 8));
    // Double-clicking the large one shows it alone; once more and Multi-View is back.
    QTest::mouseDClick(frame->tile(5), Qt::LeftButton);
    QCOMPARE(frame->currentLayout(), int(kLayout1x1));
    QCOMPARE(frame->tile(5)->geometry(), QRect(0, 0, 800, 600));
    QVERIFY(!frame->centralTile()->isVisible());
    QTest::mouseDClick(frame->tile(5), Qt::LeftButton);
    QCOMPARE(frame->currentLayout(), int(kLayoutMultiView));
  }

  void showingANodeChoosesTheLayoutAndScrollsByItsSteps() {
    // Recordings folders take tiles without any connection.
    auto root = CreateRecord(EntryKind::Root, "<ROOT>");
    auto group = CreateRecord(EntryKind::Group, "Archive");
    group->parent = root.get();
    root->children.push_back(group);
    for (int i = 0; i < 10; ++i) {
      auto folder = CreateRecord(EntryKind::OldRecordingsFolder, "Old " + std::to_string(i));
      folder->enabled = true;
      folder->parent = group.get();
      group->children.push_back(folder);
    }
    TestTree().root = root;
    auto frame = NewFrame(800, 600);
    QSignalSpy shown(frame.get(), &ViewFrame::nodeShown);
    frame->showNode(group.get());
    QCOMPARE(shown.count(), 1);
    QCOMPARE(shown.at(0).at(1).toInt(), 10);
    QCOMPARE(frame->currentLayout(), int(kLayoutTenViews));
    QCOMPARE(velmora::test::TestSettings().viewName, std::string("Archive"));
    QCOMPARE(velmora::test::TestSettings().viewMode, uint32_t(kLayoutTenViews));
    QCOMPARE(ProgramSlots().Text(3), std::string("Old 3"));
    QCOMPARE(ProgramSlots().Text(10), std::string("No View Selected"));

    // 2x2 over 10 views: Ctrl+Page Down moves by 4, Ctrl+Down by 2, never past 10 - 4.
    frame->selectLayout(kLayout2x2);
    frame->setFocus();
    QTest::keyClick(frame.get(), Qt::Key_PageDown, Qt::ControlModifier);
    QCOMPARE(frame->scrollPosition(), 4);
    QVERIFY(frame->tile(4)->isVisible());
    QVERIFY(!frame->tile(3)->isVisible());
    QTest::keyClick(frame.get(), Qt::Key_Down, Qt::ControlModifier);
    QCOMPARE(frame->scrollPosition(), 6);
    QTest::keyClick(frame.get(), Qt::Key_PageDown, Qt::ControlModifier);
    QCOMPARE(frame->scrollPosition(), 6);
    QCOMPARE(frame->tile(9)->geometry().topLeft(), QPoint(frame->tile(8)->width(), frame->tile(8)->height()));
    QTest::keyClick(frame.get(), Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(frame->scrollPosition(), 0);
    QTest::keyClick(frame.get(), Qt::Key_Down, Qt::ControlModifier);
    QCOMPARE(frame->scrollPosition(), 2);

    // Clicks pick tiles: plain, then Ctrl; the shown node is reported and its tile marked.
    QSignalSpy selected(frame.get(), &ViewFrame::viewSelected);
    QTest::mouseClick(frame->tile(2), Qt::LeftButton);
    QCOMPARE(ProgramSlots().PlaybackSlot(2), 0);
    QCOMPARE(ProgramSlots().PlaybackSlot(0), -1);
    QCOMPARE(frame->playbackAnchor(), 2);
    QTest::mouseClick(frame->tile(4), Qt::LeftButton, Qt::ControlModifier);
    QCOMPARE(ProgramSlots().PlaybackSlot(4), 1);
    QCOMPARE(selected.count(), 2);
    QCOMPARE(selected.at(1).at(0).value<GroupRecord*>(), group->children[4].get());
    QVERIFY(ProgramSlots().at(4)->Selected());
    QVERIFY(!ProgramSlots().at(2)->Selected());
    // In playback mode clicks leave the playback slots alone.
    frame->setPlaybackMode(true);
    QTest::mouseClick(frame->tile(5), Qt::LeftButton);
    QCOMPARE(ProgramSlots().PlaybackSlot(5), -1);
    QCOMPARE(ProgramSlots().PlaybackSlot(4), 1);
    frame->setPlaybackMode(false);

    // Ctrl + wheel over a tile scrolls the frame: one notch down is one line step.
    QWheelEvent wheel(QPointF(10, 10), frame->tile(5)->mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(frame->tile(5), &wheel);
    QCOMPARE(frame->scrollPosition(), 4);

    // Selecting the group in the tree marks every tile of it.
    frame->setSelectedSubtree(group.get());
    QVERIFY2(!ProgramSlots().at(4)->Selected(), "recordings folders are not marked by the tree");

    // At start-up a shown node's saved still and caption go back into its tile.
    GroupRecord& still = *group->children[6];
    still.savedImage = std::shared_ptr<Image>(TestFrame(false, 32, 24)->image.release());
    still.savedCaption = "Last image from Old 6";
    still.stillShown = true;
    frame->restoreStills();
    QCOMPARE(ProgramSlots().Text(6), std::string("Last image from Old 6"));
    QVERIFY(!still.stillShown);
    QCOMPARE(ProgramSlots().at(6)->CopyImage()->width(), 32);
  }

  // Start-up: the stills loaded with the tree (each device's newest recorded image) wait
  // for the first view shown and go into its tiles, which take them over; a later view
  // gets none.
  void stillsOfTheTreeGoIntoTheFirstViewShown() {
    auto root = CreateRecord(EntryKind::Root, "<ROOT>");
    auto group = CreateRecord(EntryKind::Group, "Yard");
    InsertEntry(root.get(), group);
    for (const char* name : {"North", "South"}) {
      auto device = CreateRecord(EntryKind::NASDevice, name);
      device->enabled = true;
      device->location = "/nonexistent-velmora-test";
      InsertEntry(group.get(), device);
    }
    GroupRecord& north = *group->children[0];
    north.savedImage = std::shared_ptr<Image>(TestFrame(false, 32, 24)->image.release());
    north.savedCaption = "Last image from North";
    TestTree().root = root;
    auto frame = NewFrame(400, 300);
    frame->leaveStillMode();
    QCOMPARE(ProgramSlots().Text(0), std::string());
    QVERIFY(north.savedImage != nullptr);

    frame->showNode(group.get());
    QCOMPARE(ProgramSlots().Text(0), std::string("Last image from North"));
    QCOMPARE(ProgramSlots().at(0)->CopyImage()->width(), 32);
    QVERIFY(north.savedImage == nullptr);
    QCOMPARE(ProgramSlots().Text(1), std::string("Connecting to South"));
    velmora::test::TestSettings().captionShow = true;
    QVERIFY(Has(Grab(*frame, 0), frame->tile(0)->rect(), Qt::red));

    // Shown again later, the view starts without stills.
    north.savedImage = std::shared_ptr<Image>(TestFrame(false, 32, 24)->image.release());
    frame->showNode(group.get());
    QVERIFY(north.savedImage != nullptr);
    for (auto& device : group->children) StopFetch(*device);
  }

  // Painting, checked by pixels.
  void stretchOffDrawsHalfSizeCentredTheRightWayUp() {
    auto frame = NewFrame(500, 400);
    frame->selectLayout(kLayout1x1);
    QCOMPARE(frame->tile(0)->size(), QSize(500, 400));
    ProgramSlots().SetImage(0, TestFrame(), "Door");
    QImage shot = Grab(*frame, 0);
    // 320 x 240 at (90, 80): the top-left quarter red, top-right green, bottom blue.
    QVERIFY(Is(shot, 90, 80, Qt::red));
    QVERIFY(Is(shot, 89, 80, Qt::black));
    QVERIFY(Is(shot, 90, 79, Qt::black));
    QVERIFY(Is(shot, 249, 199, Qt::red));
    QVERIFY(Is(shot, 250, 199, Qt::green));
    QVERIFY(Is(shot, 409, 100, Qt::green));
    QVERIFY(Is(shot, 410, 100, Qt::black));
    QVERIFY(Is(shot, 100, 200, Qt::blue));
    QVERIFY(Is(shot, 409, 319, Qt::blue));
    QVERIFY(Is(shot, 409, 320, Qt::black));

    // Stretched: the full inner width, 0.78 of the size, centred vertically.
    velmora::test::TestSettings().viewStretch = true;
    frame->tile(0)->update();
    shot = Grab(*frame, 0);
    QVERIFY(Is(shot, 1, 100, Qt::red));
    QVERIFY(Is(shot, 498, 100, Qt::green));
    QVERIFY(Is(shot, 250, 12, Qt::black));
    QVERIFY(Is(shot, 100, 13, Qt::red));
    QVERIFY(Is(shot, 100, 386, Qt::blue));
    QVERIFY(Is(shot, 100, 387, Qt::black));

    // Zoomed in with the wheel at the centre: only the middle of the frame, all over.
    QTest::keyClick(frame.get(), Qt::Key_PageUp);  // no playback tile: the key is not a zoom
    QVERIFY(!ProgramSlots().at(0)->Snapshot().zoomed);
    // The frame sends keys without Ctrl to the tile holding playback slot 0.
    ProgramSlots().SetPlaybackSlot(0, 0);
    QTest::keyClick(frame.get(), Qt::Key_PageUp);
    QVERIFY(ProgramSlots().at(0)->Snapshot().zoomed);
    QTest::keyClick(frame.get(), Qt::Key_Home);
    QVERIFY(!ProgramSlots().at(0)->Snapshot().zoomed);
    ProgramSlots().SetPlaybackSlot(0, -1);
    frame->tile(0)->ZoomAtPoint(QPoint(250, 200), 120);
    frame->tile(0)->ZoomAtPoint(QPoint(250, 200), 120);
    QVERIFY(ProgramSlots().at(0)->Snapshot().zoomed);
    shot = Grab(*frame, 0);
    QVERIFY(Is(shot, 2, 2, Qt::red));
    QVERIFY(Is(shot, 497, 2, Qt::green));
    QVERIFY(Is(shot, 250, 397, Qt::blue));
  }

  void marksBordersAndCaptionSymbolsArePainted() {
    auto frame = NewFrame(500, 400);
    frame->selectLayout(kLayout1x1);
    ProgramSlots().SetImage(0, TestFrame(), "Door");
    ProgramSlots().at(0)->SetSelected(true);
    ProgramSlots().SetPlaybackSlot(0, 5);
    QImage shot = Grab(*frame, 0);
    const QColor yellow(255, 255, 0);
    // Corners of 10 x 2 and 2 x 10 at the inner rectangle (1..498 x 1..398).
    QVERIFY(Is(shot, 1, 1, yellow));
    QVERIFY(Is(shot, 10, 2, yellow));
    QVERIFY(Is(shot, 2, 10, yellow));
    QVERIFY(!Is(shot, 11, 1, yellow));
    QVERIFY(!Is(shot, 1, 11, yellow));
    QVERIFY(Is(shot, 498, 398, yellow));
    QVERIFY(Is(shot, 489, 397, yellow));
    QVERIFY(Is(shot, 1, 389, yellow));
    // The playback border: two pixels in slot 5's colour along the inner rectangle.
    const QColor slot5(224, 224, 16);
    QVERIFY(Is(shot, 1, 200, slot5));
    QVERIFY(Is(shot, 2, 200, slot5));
    QVERIFY(!Is(shot, 3, 200, slot5));
    QVERIFY(Is(shot, 497, 200, slot5));
    QVERIFY(Is(shot, 498, 200, slot5));
    QVERIFY(Is(shot, 250, 398, slot5));
    ProgramSlots().SetPlaybackSlot(0, 15);
    shot = Grab(*frame, 0);
    QVERIFY(Is(shot, 1, 200, QColor(170, 102, 17)));

    // The caption bar's symbol at the bottom right: the recording circle in its states.
    velmora::test::TestSettings().captionShow = true;
    ProgramSlots().SetPlaybackSlot(0, -1);
    ProgramSlots().at(0)->SetSelected(false);
    const QRect symbolArea(440, 370, 59, 29);
    const QColor red(255, 16, 16), darkRed(128, 16, 16);
    ProgramSlots().SetRecordingMark(0, kRecordingMarkOn);
    shot = Grab(*frame, 0);
    QVERIFY(Has(shot, symbolArea, red));
    QVERIFY(Has(shot, symbolArea, darkRed));
    ProgramSlots().SetRecordingMark(0, kRecordingMarkIdle);
    shot = Grab(*frame, 0);
    QVERIFY(!Has(shot, symbolArea, red));
    QVERIFY(Has(shot, symbolArea, darkRed));
    QVERIFY(Has(shot, symbolArea, frame->tile(0)->palette().color(QPalette::Dark)));
    ProgramSlots().SetRecordingMark(0, kRecordingMarkOff);
    shot = Grab(*frame, 0);
    QVERIFY(!Has(shot, symbolArea, red));
    QVERIFY(!Has(shot, symbolArea, darkRed));
    // An error shows the warning triangle instead; in playback mode a playback tile shows
    // the play triangle.
    ProgramSlots().SetErrorMark(0, true);
    shot = Grab(*frame, 0);
    QVERIFY(Has(shot, symbolArea, QColor(255, 255, 0)));
    QVERIFY(Has(shot, symbolArea, QColor(128, 128, 0)));
    ProgramSlots().SetErrorMark(0, false);
    ProgramSlots().SetPlaybackSlot(0, 2);
    frame->setPlaybackMode(true);
    shot = Grab(*frame, 0);
    QVERIFY(Has(shot, symbolArea, QColor(16, 16, 255)));
    frame->setPlaybackMode(false);
    // Motion on the frame fills the bar red when the caption shows motion.
    velmora::test::TestSettings().captionShowMotion = true;
    auto moving = TestFrame();
    moving->motion = 1;
    ProgramSlots().SetImage(0, std::move(moving), "Door");
    shot = Grab(*frame, 0);
    QVERIFY(Has(shot, QRect(400, 385, 98, 13), QColor(255, 0, 0)));
  }

  void frozenTileDropsFramesWhileItsMenuIsOpen() {
    auto frame = NewFrame(500, 400);
    frame->selectLayout(kLayout1x1);
    ProgramSlots().SetImage(0, TestFrame(true, 64, 48), "held");
    QSignalSpy commands(frame.get(), &ViewFrame::commandRequested);
    bool droppedWhileOpen = false;
    int actions = 0;
    auto chooseWhenOpen = [&](int command) {
      QTimer::singleShot(50, [&, command] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) return;
        actions = static_cast<int>(menu->actions().size());
        droppedWhileOpen = ProgramSlots().at(0)->Frozen() && !ProgramSlots().SetImage(0, TestFrame(), "new") &&
                           ProgramSlots().Text(0) == "held";
        for (QAction* a : menu->actions()) {
          if (a->data().toInt() == command) menu->setActiveAction(a);
        }
        QTest::keyClick(menu, Qt::Key_Return);
      });
    };
    chooseWhenOpen(10024);
    QCOMPARE(frame->openTileMenu(0, QPoint(100, 100)), 10024);
    QVERIFY(droppedWhileOpen);
    QCOMPARE(actions, 12);
    QCOMPARE(commands.count(), 1);
    QCOMPARE(commands.at(0).at(0).toInt(), 10024);
    QVERIFY2(ProgramSlots().at(0)->Frozen(), "Copy Image reads the frozen frame first");
    QVERIFY(!ProgramSlots().SetImage(0, TestFrame(), "still dropped"));
    frame->unfreezeTiles();

    droppedWhileOpen = false;
    chooseWhenOpen(10012);
    QCOMPARE(frame->openTileMenu(0, QPoint(100, 100)), 10012);
    QVERIFY(droppedWhileOpen);
    QVERIFY2(!ProgramSlots().at(0)->Frozen(), "other commands unfreeze at once");
    QVERIFY(ProgramSlots().SetImage(0, TestFrame(), "live"));

    // An empty tile with no device offers no menu.
    QCOMPARE(frame->openTileMenu(1, QPoint(100, 100)), 0);
  }
};

VELMORA_UI_TEST(ViewFrameTest);

}  // namespace velmora

#include "test_view_frame.moc"
