#include "ui/tree_pane.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStyledItemDelegate>
#include <QTreeView>
#include <QVBoxLayout>

#include "control/tree_status.h"
#include "ui/tree_model.h"

namespace velmora::ui {

namespace {
constexpr int kItemHeight = 18;
}  // namespace

// Item height, and the in-place label editor: at most 48 characters, and Enter, Escape
// and Delete belong to the edit box while it is open (the window's accelerators for them,
// Delete above all, must not fire).
class TreeItemDelegate : public QStyledItemDelegate {
 public:
  explicit TreeItemDelegate(TreePane* pane) : QStyledItemDelegate(pane), pane_(pane) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(kItemHeight);
    return size;
  }

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                        const QModelIndex&) const override {
    auto* editor = new QLineEdit(parent);
    editor->setMaxLength(static_cast<int>(kMaxNameLength));
    editor->setFrame(true);
    pane_->editing_ = true;
    emit pane_->labelEditingChanged(true);
    return editor;
  }

  void destroyEditor(QWidget* editor, const QModelIndex& index) const override {
    QStyledItemDelegate::destroyEditor(editor, index);
    if (pane_->editing_) {
      pane_->editing_ = false;
      emit pane_->labelEditingChanged(false);
    }
  }

  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    auto* line = static_cast<QLineEdit*>(editor);
    line->setText(index.data(Qt::EditRole).toString());
    line->selectAll();
  }

  // The edit is reported, not applied: the rename decides what becomes of the text.
  void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const override {
    GroupRecord* record = pane_->model()->recordAt(index);
    if (record != nullptr) emit pane_->labelEdited(record, static_cast<QLineEdit*>(editor)->text());
  }

 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::ShortcutOverride) {
      auto* key = static_cast<QKeyEvent*>(event);
      switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
        case Qt::Key_Delete:
          // Accepting the override hands the key to the edit box instead of a shortcut.
          event->accept();
          return true;
        default:
          break;
      }
    }
    return QStyledItemDelegate::eventFilter(object, event);
  }

 private:
  TreePane* pane_;
};

// The tree keys: Enter and Space show the selected node, F2 edits its label, the menu
// key and Shift+F10 open its context menu; right click selects the item under the
// cursor before its menu opens.
class DeviceTreeView : public QTreeView {
 public:
  explicit DeviceTreeView(TreePane* pane) : QTreeView(pane), pane_(pane) {}

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    const int key = event->key();
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) && plain &&
        state() != EditingState) {
      if (GroupRecord* record = pane_->selectedRecord()) emit pane_->activated(record);
      event->accept();
      return;
    }
    if (key == Qt::Key_F2 && plain) {
      pane_->editLabel(pane_->selectedRecord());
      event->accept();
      return;
    }
    if (key == Qt::Key_Menu || (key == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier)) {
      pane_->requestContextMenuAtItem();
      event->accept();
      return;
    }
    QTreeView::keyPressEvent(event);
  }

  void contextMenuEvent(QContextMenuEvent* event) override {
    if (event->reason() != QContextMenuEvent::Mouse) {
      pane_->requestContextMenuAtItem();
      return;
    }
    const QModelIndex hit = indexAt(event->pos());
    if (hit.isValid()) setCurrentIndex(hit);
    if (GroupRecord* record = pane_->selectedRecord())
      pane_->requestContextMenu(record, event->globalPos());
  }

 private:
  TreePane* pane_;
};

TreePane::TreePane(QWidget* parent) : QWidget(parent) {
  model_ = new TreeModel(this);
  auto* view = new DeviceTreeView(this);
  view_ = view;
  view_->setModel(model_);
  view_->setItemDelegate(new TreeItemDelegate(this));
  view_->setHeaderHidden(true);
  view_->setRootIsDecorated(true);
  view_->setUniformRowHeights(true);
  view_->setIconSize(QSize(16, 16));
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
  view_->setDragEnabled(false);
  view_->setExpandsOnDoubleClick(true);
  view_->expandAll();

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(view_);

  // A new item's parent is opened so that the item shows; a new tree opens fully.
  connect(model_, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex& parent, int, int) {
            if (parent.isValid()) view_->expand(parent);
          });
  connect(model_, &QAbstractItemModel::modelReset, view_, &QTreeView::expandAll);
  connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &TreePane::onSelectionChanged);
  connect(view_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
    if (GroupRecord* record = model_->recordAt(index)) emit activated(record);
  });

  treeObserver() = model_;
}

TreePane::~TreePane() {
  if (treeObserver() == model_) treeObserver() = nullptr;
}

GroupRecord* TreePane::selectedRecord() const {
  const QModelIndexList selected = view_->selectionModel()->selectedRows();
  return selected.isEmpty() ? nullptr : model_->recordAt(selected.front());
}

void TreePane::selectRecord(GroupRecord* record) {
  const QModelIndex index = model_->indexOf(record);
  if (!index.isValid()) {
    view_->selectionModel()->clearSelection();
    return;
  }
  view_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                      QItemSelectionModel::Rows);
  view_->scrollTo(index);
}

void TreePane::setShownNode(GroupRecord* record) { model_->setShownNode(record); }

GroupRecord* TreePane::shownNode() const { return model_->shownNode(); }

bool TreePane::isEditingLabel() const { return editing_; }

void TreePane::refreshItem(GroupRecord* record) { model_->refresh(record); }

bool TreePane::editLabel(GroupRecord* record) {
  const QModelIndex index = model_->indexOf(record);
  if (!index.isValid() || !(model_->flags(index) & Qt::ItemIsEditable)) return false;
  selectRecord(record);
  view_->edit(index);
  return editing_;
}

void TreePane::setPlaybackMode(bool on) { model_->setPlaybackMode(on); }

void TreePane::onSelectionChanged() {
  GroupRecord* record = selectedRecord();
  emit selectionChanged(record);
  // The description goes with the tiles' selection marks: only while a tile is in use.
  if (record != nullptr && control::AnyTileInUse(treeRoot().get()))
    emit statusText(QString::fromStdString(control::SelectionStatusText(*record)));
}

void TreePane::requestContextMenu(GroupRecord* record, QPoint globalPos) {
  emit contextMenuRequested(record, globalPos);
}

void TreePane::requestContextMenuAtItem() {
  GroupRecord* record = selectedRecord();
  if (record == nullptr) return;
  // The lower-left corner of the item's text, right of its icon.
  const QRect rect = view_->visualRect(model_->indexOf(record));
  const QPoint corner = rect.bottomLeft() + QPoint(view_->iconSize().width() + 4, 0);
  emit contextMenuRequested(record, view_->viewport()->mapToGlobal(corner));
}

}  // namespace velmora::ui
