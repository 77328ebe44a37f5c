// The Device List pane: the device tree in a tree view. It shows treeRoot()'s tree (the
// invisible root's children are the top items), follows every change of it through the
// tree observer, and reports what the operator does: selection, showing a node,
// context menus and edited labels. The tree operations themselves live elsewhere; an
// edited label is only reported, the record keeps its name until a rename applies it.
#pragma once

#include <QPoint>
#include <QString>
#include <QWidget>

#include "model/group_record.h"

class QTreeView;

namespace velmora::ui {

class TreeModel;

class TreePane : public QWidget {
  Q_OBJECT

 public:
  // Installs the pane's model as the tree observer (the one of the process) until the
  // pane is destroyed.
  explicit TreePane(QWidget* parent = nullptr);
  ~TreePane() override;

  GroupRecord* selectedRecord() const;
  // Selects the record's item and scrolls it into view; null clears the selection.
  void selectRecord(GroupRecord* record);
  // The node whose devices the views show, drawn bold (null for none).
  void setShownNode(GroupRecord* record);
  GroupRecord* shownNode() const;
  bool isEditingLabel() const;
  // Redraws a record's item after a change of its name, overlay or ghosting inputs.
  void refreshItem(GroupRecord* record);
  // Starts in-place editing of the record's label (selecting it first). False when the
  // entry's label cannot be edited now (see CanEditLabel).
  bool editLabel(GroupRecord* record);
  // In playback only this recorder's entry can have its label edited.
  void setPlaybackMode(bool on);

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

 private:
  friend class DeviceTreeView;
  friend class TreeItemDelegate;
  void onSelectionChanged();
  void requestContextMenu(GroupRecord* record, QPoint globalPos);
  void requestContextMenuAtItem();

  TreeModel* model_ = nullptr;
  QTreeView* view_ = nullptr;
  bool editing_ = false;
};

}  // namespace velmora::ui
