#include "ui/tree_model.h"

#include <QCoreApplication>
#include <QFont>
#include <QPainter>
#include <QPixmap>

#include <array>
#include <unordered_map>
#include <utility>

#include "tree/media_branches.h"
#include "control/tree_status.h"
#include "ui/icons.h"

namespace velmora::ui {

namespace {

constexpr int kIconSize = 16;
constexpr int kImageCount = EntryKind::kHighest - EntryKind::kLowest + 1;  // 18

struct KindImage {
  const char* theme;  // freedesktop icon name, or null: always our own
  const char* own;    // our SVG under :/icons/
};

// By image index (kind + 11).
constexpr std::array<KindImage, kImageCount> kKindImages = {{
    {"network-workgroup", "kind_group"},        // -11 reserved
    {nullptr, "kind_server"},                   // -10 reserved
    {"camera-web", "kind_camera"},              // -9 reserved
    {"drive-removable-media", "kind_drive"},    // -8 removable drive
    {"folder", "kind_folder"},                  // -7 entry on removable media
    {nullptr, "kind_recordings"},               // -6 recordings folder on removable media
    {"folder", "kind_folder"},                  // -5 old recordings node
    {"folder", "kind_folder"},                  // -4 below an old recordings folder
    {nullptr, "kind_recordings"},               // -3 old recordings folder
    {"camera-web", "kind_camera"},              // -2 camera input of a video server
    {"computer", "kind_recorder"},              // -1 the root
    {"computer", "kind_recorder"},              // 0 this recorder
    {"network-workgroup", "kind_group"},        // 1 group
    {"camera-web", "kind_camera"},              // 2 camera
    {nullptr, "kind_server"},                   // 3 video server
    {"applications-internet", "kind_camera"},   // 4 web image
    {"folder-remote", "kind_folder"},           // 5 storage folder
    {"computer", "kind_recorder"},              // 6 reserved
}};

// Icons made once and kept until the application object goes: pixmaps must not outlive
// it (they would be freed after the GUI is gone, by the static destructors).
std::unordered_map<int, QIcon>& IconCache(int which) {
  static std::array<std::unordered_map<int, QIcon>, 2> caches;
  static bool registered = false;
  if (!registered) {
    registered = true;
    qAddPostRoutine([] {
      for (auto& cache : caches) cache.clear();
    });
  }
  return caches[static_cast<std::size_t>(which)];
}

}  // namespace

int RecordImageIndex(const GroupRecord& record) {
  return IsOpticalDrive(record) ? kOpticalDriveImage : EntryImageIndex(record.kind);
}

QIcon KindIcon(int imageIndex) {
  auto& cache = IconCache(0);
  auto it = cache.find(imageIndex);
  if (it != cache.end()) return it->second;
  QIcon icon;
  if (imageIndex >= 0 && imageIndex < kImageCount) {
    const KindImage& image = kKindImages[static_cast<std::size_t>(imageIndex)];
    icon = image.theme != nullptr ? ThemeIcon(QLatin1String(image.theme), QLatin1String(image.own))
                                  : OwnIcon(QLatin1String(image.own));
  } else if (imageIndex == kOpticalDriveImage) {
    icon = ThemeIcon(QStringLiteral("media-optical"), QStringLiteral("kind_optical"));
  } else {
    icon = QIcon::fromTheme(QStringLiteral("application-x-executable"), OwnIcon("kind_recorder"));
  }
  cache.emplace(imageIndex, icon);
  return icon;
}

QIcon OverlayIcon(int overlay) {
  switch (overlay) {
    case kOverlayRecording: return OwnIcon("overlay_recording");
    case kOverlayDisabled: return OwnIcon("overlay_disabled");
    case kOverlayError: return OwnIcon("overlay_error");
    case kOverlayServer: return OwnIcon("overlay_server");
    default: return QIcon();
  }
}

QIcon ItemIcon(int imageIndex, int overlay, bool ghosted) {
  auto& cache = IconCache(1);
  const int key = (imageIndex * 8 + overlay) * 2 + (ghosted ? 1 : 0);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;

  QPixmap pixmap(kIconSize, kIconSize);
  pixmap.fill(Qt::transparent);
  {
    QPainter painter(&pixmap);
    if (ghosted) painter.setOpacity(0.45);
    KindIcon(imageIndex).paint(&painter, 0, 0, kIconSize, kIconSize);
    painter.setOpacity(1.0);
    // The server overlay may come from the theme as a whole emblem: it then takes the
    // lower-left quarter, where our own overlays draw their marks.
    if (overlay == kOverlayServer && QIcon::hasThemeIcon(QStringLiteral("emblem-shared"))) {
      QIcon::fromTheme(QStringLiteral("emblem-shared")).paint(&painter, 0, kIconSize / 2, kIconSize / 2, kIconSize / 2);
    } else if (overlay != kOverlayNone) {
      OverlayIcon(overlay).paint(&painter, 0, 0, kIconSize, kIconSize);
    }
  }
  QIcon icon(pixmap);
  cache.emplace(key, icon);
  return icon;
}

TreeModel::TreeModel(const DeviceTree& tree, QObject* parent) : QAbstractItemModel(parent), tree_(tree) { rebuild(); }

TreeModel::~TreeModel() = default;

std::unique_ptr<TreeModel::Node> TreeModel::makeNode(GroupRecord& record, Node* parent, int row) {
  auto node = std::make_unique<Node>();
  node->record = &record;
  node->hold = record.weak_from_this().lock();
  node->parent = parent;
  node->row = row;
  nodes_.insert(&record, node.get());
  node->children.reserve(record.children.size());
  for (std::size_t i = 0; i < record.children.size(); ++i)
    node->children.push_back(makeNode(*record.children[i], node.get(), static_cast<int>(i)));
  return node;
}

void TreeModel::forget(const Node& node) {
  for (const auto& child : node.children) forget(*child);
  nodes_.remove(node.record);
  if (shown_ == node.record) shown_ = nullptr;
}

void TreeModel::renumber(Node& node) {
  for (std::size_t i = 0; i < node.children.size(); ++i) node.children[i]->row = static_cast<int>(i);
}

TreeModel::Node* TreeModel::nodeOf(const GroupRecord* record) const {
  return record == nullptr ? nullptr : nodes_.value(record, nullptr);
}

TreeModel::Node* TreeModel::nodeAt(const QModelIndex& index) const {
  return index.isValid() ? static_cast<Node*>(index.internalPointer()) : nullptr;
}

QModelIndex TreeModel::indexOfNode(const Node* node) const {
  if (node == nullptr || node == root_.get()) return QModelIndex();
  return createIndex(node->row, 0, const_cast<Node*>(node));
}

void TreeModel::rebuild() {
  nodes_.clear();
  root_.reset();
  GroupRecord* shown = shown_;
  shown_ = nullptr;
  if (GroupRecord* top = tree_.root.get()) root_ = makeNode(*top, nullptr, 0);
  if (nodes_.contains(shown)) shown_ = shown;
}

void TreeModel::reload() {
  beginResetModel();
  rebuild();
  endResetModel();
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column != 0) return QModelIndex();
  Node* p = parent.isValid() ? nodeAt(parent) : root_.get();
  if (p == nullptr || static_cast<std::size_t>(row) >= p->children.size()) return QModelIndex();
  return createIndex(row, 0, p->children[static_cast<std::size_t>(row)].get());
}

QModelIndex TreeModel::parent(const QModelIndex& child) const {
  Node* node = nodeAt(child);
  if (node == nullptr) return QModelIndex();
  return indexOfNode(node->parent);
}

int TreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  Node* p = parent.isValid() ? nodeAt(parent) : root_.get();
  return p == nullptr ? 0 : static_cast<int>(p->children.size());
}

int TreeModel::columnCount(const QModelIndex&) const { return 1; }

QVariant TreeModel::data(const QModelIndex& index, int role) const {
  Node* node = nodeAt(index);
  if (node == nullptr) return QVariant();
  const GroupRecord& r = *node->record;
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return QString::fromStdString(r.name);
    case Qt::DecorationRole: {
      const ItemState state = EntryItemState(r, tree_.settings->httpServer);
      return ItemIcon(RecordImageIndex(r), state.overlay, state.cut);
    }
    case Qt::FontRole:
      if (node->record == shown_) {
        QFont font;
        font.setBold(true);
        return font;
      }
      return QVariant();
    case RecordRole:
      return QVariant::fromValue(reinterpret_cast<quintptr>(node->record));
    case KindRole:
      return r.kind;
    case ImageIndexRole:
      return RecordImageIndex(r);
    case OverlayRole:
      return EntryItemState(r, tree_.settings->httpServer).overlay;
    case GhostedRole:
      return EntryItemState(r, tree_.settings->httpServer).cut;
    case ShownRole:
      return node->record == shown_;
    default:
      return QVariant();
  }
}

Qt::ItemFlags TreeModel::flags(const QModelIndex& index) const {
  Node* node = nodeAt(index);
  if (node == nullptr) return Qt::NoItemFlags;
  Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (control::CanEditLabel(*node->record, playbackMode_)) result |= Qt::ItemIsEditable;
  return result;
}

QModelIndex TreeModel::indexOf(const GroupRecord* record) const { return indexOfNode(nodeOf(record)); }

GroupRecord* TreeModel::recordAt(const QModelIndex& index) const {
  Node* node = nodeAt(index);
  return node == nullptr ? nullptr : node->record;
}

void TreeModel::setShownNode(GroupRecord* record) {
  GroupRecord* old = shown_;
  shown_ = nodes_.contains(record) ? record : nullptr;
  if (old != shown_) {
    refresh(old);
    refresh(shown_);
  }
}

void TreeModel::setPlaybackMode(bool on) { playbackMode_ = on; }

void TreeModel::refresh(const GroupRecord* record) {
  Node* node = nodeOf(record);
  if (node == nullptr || node == root_.get()) return;
  const QModelIndex index = indexOfNode(node);
  emit dataChanged(index, index);
}

void TreeModel::startReset() {
  beginResetModel();
  pending_ = Pending::kReset;
}

void TreeModel::beginInsert(GroupRecord& parent, int position, GroupRecord&) {
  Node* p = nodeOf(&parent);
  if (p == nullptr) {
    // A root put in place of the one shown (without a reset of its own) is taken over.
    if (&parent == tree_.root.get()) {
      startReset();
    } else {
      pending_ = Pending::kIgnored;
    }
    return;
  }
  beginInsertRows(indexOfNode(p), position, position);
  pending_ = Pending::kRows;
}

bool TreeModel::finishRows() {
  const Pending was = std::exchange(pending_, Pending::kNone);
  if (was == Pending::kReset) {
    rebuild();
    endResetModel();
  }
  return was == Pending::kRows;
}

void TreeModel::endInsert(GroupRecord& parent, int position, GroupRecord& record) {
  if (!finishRows()) return;
  Node* p = nodeOf(&parent);
  p->children.insert(p->children.begin() + position, makeNode(record, p, position));
  renumber(*p);
  endInsertRows();
}

void TreeModel::beginRemove(GroupRecord& parent, int position, GroupRecord& record) {
  Node* p = nodeOf(&parent);
  if (p == nullptr) {
    pending_ = Pending::kIgnored;
    return;
  }
  if (static_cast<std::size_t>(position) >= p->children.size() ||
      p->children[static_cast<std::size_t>(position)]->record != &record) {
    startReset();  // the mirror is out of step: start again from the tree
    return;
  }
  beginRemoveRows(indexOfNode(p), position, position);
  pending_ = Pending::kRows;
}

void TreeModel::endRemove(GroupRecord& parent, int position, GroupRecord&) {
  if (!finishRows()) return;
  Node* p = nodeOf(&parent);
  // The item (and the record it holds) lives until the views have let go of it.
  std::unique_ptr<Node> gone = std::move(p->children[static_cast<std::size_t>(position)]);
  p->children.erase(p->children.begin() + position);
  forget(*gone);
  renumber(*p);
  endRemoveRows();
}

void TreeModel::beginMove(GroupRecord& record, GroupRecord& from, int fromPosition, GroupRecord& to,
                          int toPosition) {
  Node* f = nodeOf(&from);
  Node* t = nodeOf(&to);
  if (f == nullptr && t == nullptr) {
    pending_ = Pending::kIgnored;
    return;
  }
  if (f == nullptr || t == nullptr || static_cast<std::size_t>(fromPosition) >= f->children.size() ||
      f->children[static_cast<std::size_t>(fromPosition)]->record != &record) {
    startReset();
    return;
  }
  // Qt counts the destination in the list before the move.
  const int destination = (f == t && toPosition > fromPosition) ? toPosition + 1 : toPosition;
  if (!beginMoveRows(indexOfNode(f), fromPosition, fromPosition, indexOfNode(t), destination)) {
    startReset();
    return;
  }
  pending_ = Pending::kRows;
}

void TreeModel::endMove(GroupRecord&, GroupRecord& from, int fromPosition, GroupRecord& to,
                        int toPosition) {
  if (!finishRows()) return;
  Node* f = nodeOf(&from);
  Node* t = nodeOf(&to);
  std::unique_ptr<Node> moved = std::move(f->children[static_cast<std::size_t>(fromPosition)]);
  f->children.erase(f->children.begin() + fromPosition);
  moved->parent = t;
  t->children.insert(t->children.begin() + toPosition, std::move(moved));
  renumber(*f);
  renumber(*t);
  endMoveRows();
}

void TreeModel::startLayoutChange(Node* parent) {
  // The top items' parent is the whole model (an empty list).
  layoutParents_.clear();
  if (parent != root_.get()) layoutParents_.append(QPersistentModelIndex(indexOfNode(parent)));
  emit layoutAboutToBeChanged(layoutParents_, QAbstractItemModel::VerticalSortHint);
  layoutIndexes_ = persistentIndexList();
  layoutNodes_.clear();
  for (const QModelIndex& index : layoutIndexes_) layoutNodes_.push_back(nodeAt(index));
  pending_ = Pending::kLayout;
}

void TreeModel::finishLayoutChange() {
  for (int i = 0; i < layoutIndexes_.size(); ++i) {
    const Node* node = layoutNodes_[static_cast<std::size_t>(i)];
    const QModelIndex& old = layoutIndexes_[i];
    changePersistentIndex(old, createIndex(node->row, old.column(), const_cast<Node*>(node)));
  }
  layoutIndexes_.clear();
  layoutNodes_.clear();
  emit layoutChanged(layoutParents_, QAbstractItemModel::VerticalSortHint);
  layoutParents_.clear();
}

void TreeModel::beginReorder(GroupRecord& parent) {
  Node* p = nodeOf(&parent);
  if (p == nullptr) {
    pending_ = Pending::kIgnored;
    return;
  }
  startLayoutChange(p);
}

void TreeModel::endReorder(GroupRecord& parent) {
  const Pending was = std::exchange(pending_, Pending::kNone);
  if (was != Pending::kLayout) return;
  Node* p = nodeOf(&parent);
  // The same items in the record's new order. A reorder never adds or drops children;
  // should one be missing all the same, it keeps its item at the end.
  std::vector<std::unique_ptr<Node>> old = std::move(p->children);
  p->children.clear();
  for (const auto& child : parent.children) {
    for (auto& item : old) {
      if (item && item->record == child.get()) {
        p->children.push_back(std::move(item));
        break;
      }
    }
  }
  for (auto& item : old) {
    if (item) p->children.push_back(std::move(item));
  }
  renumber(*p);
  finishLayoutChange();
}

void TreeModel::beginReset(GroupRecord& root) {
  if (&root == tree_.root.get() || nodeOf(&root) != nullptr) {
    startReset();
  } else {
    pending_ = Pending::kIgnored;
  }
}

void TreeModel::endReset(GroupRecord&) {
  const Pending was = std::exchange(pending_, Pending::kNone);
  if (was != Pending::kReset) return;
  rebuild();
  endResetModel();
}

void TreeModel::changed(GroupRecord& record) { refresh(&record); }

}  // namespace velmora::ui
