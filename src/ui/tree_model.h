// The device tree as a Qt item model. It keeps its own mirror of the tree (one item per
// record, holding the record alive while it is shown) and follows the tree observer's
// before/after notifications with the matching begin/end calls, so views never see the
// tree in a shape the model has not announced.
#pragma once

#include <QAbstractItemModel>
#include <QHash>
#include <QIcon>

#include <memory>
#include <vector>

#include "model/group_record.h"

namespace velmora::ui {

// Data roles besides the display, edit, decoration and font roles.
enum TreeRole : int {
  RecordRole = Qt::UserRole + 1,  // the GroupRecord*, as quintptr
  KindRole,                       // the entry kind
  ImageIndexRole,                 // image-list entry: kind + 11 (kOpticalDriveImage for an optical drive)
  OverlayRole,                    // 0 none, 1 recording, 2 disabled, 3 error, 4 serving
  GhostedRole,                    // a disabled fetching entry, drawn dimmed
  ShownRole,                      // the entry whose devices the views show (drawn bold)
};

// Tree images: one per kind (image index kind + 11, 18 of them), one more for an optical
// drive, and the four overlays. Each comes from the desktop's icon theme when it has one
// for it, else from our own embedded SVG.
constexpr int kOpticalDriveImage = 18;
// The image of an entry: its kind's, or the optical drive's for a drive entry of one.
int RecordImageIndex(const GroupRecord& record);
QIcon KindIcon(int imageIndex);
QIcon OverlayIcon(int overlay);
// The 16 x 16 item image: the kind's icon, dimmed when ghosted, with the overlay on top.
QIcon ItemIcon(int imageIndex, int overlay, bool ghosted);

class TreeModel : public QAbstractItemModel, public TreeObserver {
  Q_OBJECT

 public:
  // Shows `tree` below its root (the root's children are the top items); the tree
  // outlives the model. The model does not install itself as the tree observer; its
  // owner does.
  explicit TreeModel(const DeviceTree& tree, QObject* parent = nullptr);
  ~TreeModel() override;

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // The item of a record; invalid when the record is not shown (or is the root).
  QModelIndex indexOf(const GroupRecord* record) const;
  // The record of an item; null for an invalid index.
  GroupRecord* recordAt(const QModelIndex& index) const;

  // The entry drawn bold (null for none).
  void setShownNode(GroupRecord* record);
  GroupRecord* shownNode() const { return shown_; }
  // In playback only this recorder's entry may have its label edited.
  void setPlaybackMode(bool on);
  // Redraws a record's item (text, image, overlay).
  void refresh(const GroupRecord* record);
  // Starts again from the tree's root, for a root replaced without the observer being told.
  void reload();

  // TreeObserver.
  void beginInsert(GroupRecord& parent, int position, GroupRecord& record) override;
  void endInsert(GroupRecord& parent, int position, GroupRecord& record) override;
  void beginRemove(GroupRecord& parent, int position, GroupRecord& record) override;
  void endRemove(GroupRecord& parent, int position, GroupRecord& record) override;
  void beginMove(GroupRecord& record, GroupRecord& from, int fromPosition, GroupRecord& to,
                 int toPosition) override;
  void endMove(GroupRecord& record, GroupRecord& from, int fromPosition, GroupRecord& to,
               int toPosition) override;
  void beginReorder(GroupRecord& parent) override;
  void endReorder(GroupRecord& parent) override;
  void beginReset(GroupRecord& root) override;
  void endReset(GroupRecord& root) override;
  void changed(GroupRecord& record) override;

 private:
  const DeviceTree& tree_;
  struct Node {
    GroupRecord* record = nullptr;
    std::shared_ptr<GroupRecord> hold;  // keeps a shown record alive
    Node* parent = nullptr;
    int row = 0;
    std::vector<std::unique_ptr<Node>> children;
  };
  // What a begin call started, so that its end call finishes the same thing.
  enum class Pending { kNone, kIgnored, kRows, kReset, kLayout };

  std::unique_ptr<Node> makeNode(GroupRecord& record, Node* parent, int row);
  void forget(const Node& node);
  static void renumber(Node& node);
  Node* nodeOf(const GroupRecord* record) const;
  Node* nodeAt(const QModelIndex& index) const;
  QModelIndex indexOfNode(const Node* node) const;
  void rebuild();
  // Ends the pending change of a before/after pair: a reset started in its place is
  // finished here. True when rows were announced and the mirror must follow now.
  bool finishRows();
  void startReset();
  void startLayoutChange(Node* parent);
  void finishLayoutChange();

  std::unique_ptr<Node> root_;
  QHash<const GroupRecord*, Node*> nodes_;  // every shown record, the root included
  GroupRecord* shown_ = nullptr;
  bool playbackMode_ = false;
  Pending pending_ = Pending::kNone;
  QList<QPersistentModelIndex> layoutParents_;  // the parents whose children move
  QModelIndexList layoutIndexes_;           // persistent indexes during a layout change
  std::vector<const Node*> layoutNodes_;    // ... and the items they stood for
};

}  // namespace velmora::ui
