// The Device List pane: the device tree in a tree view. It shows the tree it is given (the
// invisible root's children are the top items), follows every change of it through the
// tree observer, and reports what the operator does: selection, showing a node,
// context menus and edited labels. The tree operations themselves live elsewhere; an
// edited label is only reported, the record keeps its name until a rename applies it.
#pragma once

#include <QPoint>
#include <QString>
#include <QWidget>

#include <memory>

class QTimer;

#include "app/installed.h"
#include "model/group_record.h"

class QTreeView;

namespace velmora::ui {

class TreeModel;

class TreePane : public QWidget {
  Q_OBJECT

 public:
  // Installs the pane's model as the tree observer (the one of the process) until the
  // pane is destroyed.
  // Shows and edits `tree`, which outlives the pane.
  explicit TreePane(DeviceTree& tree, QWidget* parent = nullptr);
  ~TreePane() override;

  GroupRecord* selectedRecord() const;
  // Selects the record's item and scrolls it into view; null clears the selection.
  void selectRecord(GroupRecord* record);
  // The node whose devices the views show, drawn bold (null for none).
  void setShownNode(GroupRecord* record);
  GroupRecord* shownNode() const;
  bool isEditingLabel() const;
  // Sends the selection's description again (statusText), as a change of the selection
  // does: after the selected entry was renamed or moved its path is another.
  void showSelectionStatus();
  // Redraws a record's item after a change of its name, overlay or ghosting inputs.
  void refreshItem(GroupRecord* record);
  // Starts in-place editing of the record's label (selecting it first). False when the
  // entry's label cannot be edited now (see CanEditLabel).
  bool editLabel(GroupRecord* record);
  // In playback only this recorder's entry can have its label edited.
  void setPlaybackMode(bool on);

  // Moving an entry by drag and drop. A drag starts when the left button moves an entry
  // that can be dragged; the target under the cursor is highlighted; releasing the button
  // reports the drop, Escape gives it up. Timer 1 scrolls the tree near its edges.
  bool isDragging() const { return dragging_; }
  GroupRecord* dragSource() const { return dragSource_; }
  GroupRecord* dropTarget() const { return dropTarget_; }
  bool beginDrag(GroupRecord* source);
  // The cursor at a point of the tree's viewport.
  void dragMoveTo(QPoint viewportPos);
  // One tick of timer 1 with the cursor at a point of the viewport: every second tick,
  // near the top or bottom edge, the tree scrolls a line and the first or last visible
  // item becomes the target.
  void autoScrollTick(QPoint viewportPos);
  // Ends the drag; with `drop` the entry is reported as dropped on the current target.
  void endDrag(bool drop);

  QTreeView* view() const { return view_; }
  TreeModel* model() const { return model_; }

 signals:
  void selectionChanged(GroupRecord* record);
  // Double click, Enter or Space: show the node in the views.
  void activated(GroupRecord* record);
  // Right click (at the cursor) or the menu keys (at the item's lower-left corner).
  void contextMenuRequested(GroupRecord* record, QPoint globalPos);
  // The selection's description for the status bar, sent while a view tile is in use.
  void statusText(QString text);
  // An in-place edit ended with Enter (or by leaving the edit box) with this text.
  void labelEdited(GroupRecord* record, QString text);
  void labelEditingChanged(bool editing);
  // The Delete key in the tree (Shift+Delete deletes without asking).
  void deleteRequested(bool shiftHeld);
  // A dragged entry was released over `target` (null when there was none).
  void entryDropped(GroupRecord* source, GroupRecord* target);

 private:
  friend class DeviceTreeView;
  friend class TreeItemDelegate;
  void onSelectionChanged();
  void requestContextMenu(GroupRecord* record, QPoint globalPos);
  void requestContextMenuAtItem();

  DeviceTree& tree_;
  TreeModel* model_ = nullptr;
  // Keeps model_ installed as the tree's observer while the pane lives.
  Installation observing_;
  QTreeView* view_ = nullptr;
  bool editing_ = false;
  bool dragging_ = false;
  GroupRecord* dragSource_ = nullptr;
  std::shared_ptr<GroupRecord> dragHold_;
  GroupRecord* dropTarget_ = nullptr;
  QTimer* dragTimer_ = nullptr;
  int dragTicks_ = 0;

  void setDropTarget(GroupRecord* target);
};

}  // namespace velmora::ui
