#include "ui/tree_pane.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include "control/tree_ops.h"
#include "control/tree_status.h"
#include "ui/tree_model.h"

namespace velmora::ui {

namespace {
constexpr int kItemHeight = 18;
constexpr int kDragTimerMs = 75;   // timer 1
constexpr int kScrollMargin = 10;  // pixels from the tree's top or bottom edge
constexpr const char* kEditorFilled = "velmoraFilled";  // the label editor took its text
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

  // The drop target of a drag is drawn highlighted.
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    if (pane_->dropTarget_ != nullptr && pane_->model()->recordAt(index) == pane_->dropTarget_) {
      QStyleOptionViewItem highlighted(option);
      highlighted.state |= QStyle::State_Selected;
      QStyledItemDelegate::paint(painter, highlighted, index);
      return;
    }
    QStyledItemDelegate::paint(painter, option, index);
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

  // The editor takes the name once, as it opens. The view calls this again whenever its
  // row is redrawn (an overlay changing while the camera delivers frames); by then the
  // text belongs to the operator and must not be put back.
  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    auto* line = static_cast<QLineEdit*>(editor);
    if (line->property(kEditorFilled).toBool()) return;
    line->setProperty(kEditorFilled, true);
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
  bool event(QEvent* event) override {
    // While a drag runs, Escape ends it before any shortcut (full screen) sees it.
    if (event->type() == QEvent::ShortcutOverride && pane_->dragging_ &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
      event->accept();
      return true;
    }
    return QTreeView::event(event);
  }

  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton) {
      pressPos_ = event->position().toPoint();
      pressIndex_ = indexAt(pressPos_);
    }
    QTreeView::mousePressEvent(event);
  }

  void mouseMoveEvent(QMouseEvent* event) override {
    const QPoint pos = event->position().toPoint();
    if (pane_->dragging_) {
      pane_->dragMoveTo(pos);
      event->accept();
      return;
    }
    if ((event->buttons() & Qt::LeftButton) && pressIndex_.isValid() && state() != EditingState &&
        (pos - pressPos_).manhattanLength() >= QApplication::startDragDistance()) {
      GroupRecord* source = pane_->model()->recordAt(pressIndex_);
      pressIndex_ = QPersistentModelIndex();
      if (pane_->beginDrag(source)) {
        pane_->dragMoveTo(pos);
        event->accept();
        return;
      }
    }
    QTreeView::mouseMoveEvent(event);
  }

  void mouseReleaseEvent(QMouseEvent* event) override {
    pressIndex_ = QPersistentModelIndex();
    if (pane_->dragging_ && event->button() == Qt::LeftButton) {
      pane_->dragMoveTo(event->position().toPoint());
      pane_->endDrag(true);
      event->accept();
      return;
    }
    QTreeView::mouseReleaseEvent(event);
  }

  void keyPressEvent(QKeyEvent* event) override {
    const int key = event->key();
    if (pane_->dragging_) {
      if (key == Qt::Key_Escape) pane_->endDrag(false);
      event->accept();
      return;
    }
    if (key == Qt::Key_Delete && state() != EditingState) {
      emit pane_->deleteRequested(event->modifiers() & Qt::ShiftModifier);
      event->accept();
      return;
    }
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
  QPoint pressPos_;
  QPersistentModelIndex pressIndex_;
};

TreePane::TreePane(DeviceTree& tree, QWidget* parent) : QWidget(parent), tree_(tree) {
  model_ = new TreeModel(tree, this);
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

  dragTimer_ = new QTimer(this);
  dragTimer_->setInterval(kDragTimerMs);
  connect(dragTimer_, &QTimer::timeout, this,
          [this] { autoScrollTick(view_->viewport()->mapFromGlobal(QCursor::pos())); });

  // The model hears every change of the tree while this pane lives (one pane at a time).
  observing_ = Installed<TreeObserver>::install(*model_);
}

TreePane::~TreePane() = default;

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
  emit selectionChanged(selectedRecord());
  showSelectionStatus();
}

void TreePane::showSelectionStatus() {
  GroupRecord* record = selectedRecord();
  // The description goes with the tiles' selection marks: only while a tile is in use.
  if (record != nullptr && control::AnyTileInUse(tree_.root.get()))
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

namespace velmora::ui {

bool TreePane::beginDrag(GroupRecord* source) {
  if (dragging_ || source == nullptr || !control::CanDrag(*source)) return false;
  selectRecord(source);
  dragging_ = true;
  dragSource_ = source;
  dragHold_ = source->shared_from_this();
  dropTarget_ = nullptr;
  dragTicks_ = 0;
  view_->viewport()->grabMouse();
  view_->grabKeyboard();
  view_->viewport()->setCursor(Qt::ForbiddenCursor);
  dragTimer_->start();
  return true;
}

void TreePane::setDropTarget(GroupRecord* target) {
  if (target != dropTarget_) {
    dropTarget_ = target;
    view_->viewport()->update();
  }
  view_->viewport()->setCursor(target != nullptr ? Qt::DragMoveCursor : Qt::ForbiddenCursor);
}

void TreePane::dragMoveTo(QPoint viewportPos) {
  if (!dragging_) return;
  GroupRecord* hit = model_->recordAt(view_->indexAt(viewportPos));
  setDropTarget(control::DropTarget(*dragSource_, hit));
}

void TreePane::autoScrollTick(QPoint viewportPos) {
  if (!dragging_) return;
  if (++dragTicks_ % 2 != 0) return;  // every second tick only
  QWidget* viewport = view_->viewport();
  QModelIndex edgeItem;
  if (viewportPos.y() < kScrollMargin) {
    view_->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    edgeItem = view_->indexAt(QPoint(1, 1));
  } else if (viewportPos.y() > viewport->height() - kScrollMargin) {
    view_->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    edgeItem = view_->indexAt(QPoint(1, viewport->height() - 2));
    // A tree shorter than the viewport: the last item shown.
    for (int y = viewport->height() - 2; !edgeItem.isValid() && y > 0; y -= kItemHeight)
      edgeItem = view_->indexAt(QPoint(1, y));
  } else {
    return;
  }
  if (GroupRecord* edge = model_->recordAt(edgeItem)) setDropTarget(control::DropTarget(*dragSource_, edge));
}

void TreePane::endDrag(bool drop) {
  if (!dragging_) return;
  dragTimer_->stop();
  view_->viewport()->releaseMouse();
  view_->releaseKeyboard();
  view_->viewport()->unsetCursor();
  GroupRecord* source = dragSource_;
  GroupRecord* target = dropTarget_;
  dragging_ = false;
  dragSource_ = nullptr;
  setDropTarget(nullptr);
  view_->viewport()->unsetCursor();
  // The record stays alive until the drop is handled, even if the tree let go of it.
  std::shared_ptr<GroupRecord> hold = std::move(dragHold_);
  if (drop) emit entryDropped(source, target);
}

}  // namespace velmora::ui
