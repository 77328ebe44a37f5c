// The view frame: the right-hand side of the main window, holding the 100 view tiles and
// arranging some of them in one of the seventeen layouts, with a vertical scroll bar
// whose position is the first tile shown. The layout arithmetic lives in
// control/view_layout.h; this widget applies it, repaints the tiles whose slots changed,
// and turns clicks, keys and the wheel into layout, scroll, zoom and selection changes.
//
// GUI thread only.
#pragma once

#include <QFont>
#include <QWidget>

#include <array>
#include <functional>

#include "control/view_layout.h"
#include "model/group_record.h"

class QAction;
class QLabel;
class QScrollBar;

namespace velmora::ui {

class ViewTile;

// Commands of the tile context menu (menu 250), in menu order.
constexpr std::array<int, 12> kTileMenuCommands = {10011, 10012, 10013, 10024, 10025, 10018,
                                                   10019, 10020, 10022, 10021, 10017, 10015};
// Commands whose handler reads the frozen tile's frame and unfreezes it when done.
bool CommandKeepsTileFrozen(int commandId);

class ViewFrame : public QWidget {
  Q_OBJECT

 public:
  // shown: the view slots the tiles show (they outlive the frame).
  // tree: the device tree whose entries the tiles show; shown: the view slots they are
  // drawn from. Both outlive the frame.
  ViewFrame(DeviceTree& tree, ViewSlots& shown, QWidget* parent = nullptr);
  ~ViewFrame() override;

  ViewSlots& shownSlots() const { return slots_; }
  // The entry shown in tile `tile`, or null.
  GroupRecord* nodeOfTile(int tile) const;

  // Layout 0..16 (command id - 10026): stored in viewMode and saved; the tiles are laid
  // out again (erasing when the layout changed).
  void selectLayout(int layout);
  int currentLayout() const { return state_.layout; }
  // The program's settings the frame and its tiles follow (layout, target tile, captions).
  Settings& settings() const;
  // The smallest layout holding count views, applied as selectLayout does.
  void selectLayoutForCount(int count);

  // Shows node in the tiles: playback slots, selection and frozen flags reset, the view
  // assignment from node ("Connecting to %s"), "No View Selected" in the unused tiles,
  // viewName stored when a tile was given, and the layout for the count.
  void showNode(GroupRecord* node);
  // Called every 20 ms: repaints the tiles whose slot is dirty (each at most once a tick).
  void repaintDirty();
  // Playback mode changes the caption symbol of playback tiles and stops Ctrl and Shift
  // clicks from editing playback slots.
  void setPlaybackMode(bool on);
  bool playbackMode() const { return playbackMode_; }
  // Selection corners on every tile of the subtree (null: none).
  void setSelectedSubtree(GroupRecord* node);
  // Puts every shown node's saved still image and caption into its tile, which takes it
  // over (the node forgets it); every node shows live frames again.
  void restoreStills();
  // Start-up: the stills loaded with the tree (each device's newest recorded image) go
  // into the tiles now and, as no node has a tile before the saved view is shown, into
  // the tiles the next showNode gives out. Live frames replace them as they come.
  void leaveStillMode();
  // Clears every tile's frozen flag (after Copy Image, Send Image or Save as JPEG).
  void unfreezeTiles();
  // "Play recorded data": every playback slot cleared, the tile gets slot 0 and becomes
  // the anchor of range selection.
  void playSingleTile(int tile);

  // Picking tile t (focus or click; Ctrl and Shift edit the playback slots outside
  // playback mode), then its view is selected. Normally called by the tiles.
  void selectTile(int tile, Qt::KeyboardModifiers modifiers);
  // A double click on tile t: zoom to 1x1 and back, or a new Multi-View target.
  void doubleClickTile(int tile);
  // The tile context menu at a global point; returns the command chosen, or 0.
  int openTileMenu(int tile, const QPoint& globalPos);
  void scrollRequest(ScrollRequest request, int thumb = 0);

  int scrollPosition() const { return state_.position; }
  int scrollMaximumPosition() const { return range_.maxPosition; }
  int playbackAnchor() const { return anchor_; }
  int viewsFound() const { return count_; }
  ViewTile* tile(int index) const;
  ViewTile* centralTile() const { return central_; }
  const QFont& tileFont() const { return tileFont_; }

  // The window's action of a command id: the tile menu's items take their enabled and
  // checked states from it (menuAboutToOpen lets the window bring them up to date first).
  // Without it every item is enabled.
  void setMenuActions(std::function<QAction*(int)> action) { menuActions_ = std::move(action); }
  // The text shown over the views while the last assignment gave out no tile (how to add
  // a camera); hidden otherwise.
  QLabel* emptyHint() const { return emptyHint_; }

  // How settings are saved after viewMode, viewTarget or viewName changed (the main
  // window sets it; without one nothing is saved).
  void setSettingsSaver(std::function<void()> saver) { saveSettings_ = std::move(saver); }

 signals:
  void commandRequested(int commandId);
  void viewSelected(velmora::GroupRecord* node);
  void layoutChanged(int layout);
  void nodeShown(velmora::GroupRecord* node, int tilesGiven);
  // The tile menu is about to be built: the window's command states must be current.
  void menuAboutToOpen();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  DeviceTree& tree_;
  ViewSlots& slots_;
  friend class ViewTile;

  // Stores the layout, recomputes the scroll bar and lays out; saves viewMode.
  void ApplyLayout(int layout, bool erase);
  void UpdateScrollBar();
  void LayOut(bool erase);
  void ScrollTo(int position);
  // Ctrl + wheel, over the frame or a tile: whole notches scroll by the line step.
  void WheelScroll(int delta);
  void OnScrollBar(int value);
  void Save();
  QRect ClientRect() const;
  // The first visible tile whose playback slot is 0, or null.
  ViewTile* PlaybackKeyTile() const;

  std::array<ViewTile*, 100> tiles_{};
  ViewTile* central_ = nullptr;
  QScrollBar* scrollBar_ = nullptr;
  QFont tileFont_;
  LayoutState state_;
  ScrollRange range_;
  int count_ = 0;          // enabled views found by the last assignment
  int tilesGiven_ = 0;     // tiles given out by the last assignment
  int wheelRemainder_ = 0;
  int anchor_ = -1;        // range-selection anchor of the playback slots
  bool playbackMode_ = false;
  bool stillsPending_ = false;  // the next showNode puts the stills into its tiles
  bool settingScroll_ = false;  // the position is being set by the frame, not the user
  std::function<void()> saveSettings_;
  std::function<QAction*(int)> menuActions_;
  QLabel* emptyHint_ = nullptr;
};

}  // namespace velmora::ui
