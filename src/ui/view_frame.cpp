#include "ui/view_frame.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QResizeEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <utility>

#include "app/log.h"
#include "app/paths.h"
#include "app/settings.h"
#include "app/strings.h"
#include "control/device_edit.h"
#include "control/view_select.h"
#include "live/fetch_lifecycle.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "ui/view_tile.h"

namespace velmora::ui {

namespace {

// The text over empty views: how to add a camera.
constexpr int kStrEmptyViewHint = 804;

void ForEachNode(GroupRecord* node, const std::function<void(GroupRecord&)>& fn) {
  if (node == nullptr) return;
  fn(*node);
  for (const auto& child : node->children) ForEachNode(child.get(), fn);
}

}  // namespace

bool CommandKeepsTileFrozen(int commandId) {
  return commandId == 10018 || commandId == 10024 || commandId == 10025;
}

ViewFrame::ViewFrame(DeviceTree& tree, ViewSlots& shown, QWidget* parent)
    : QWidget(parent), tree_(tree), slots_(shown) {
  tileFont_ = font();
  tileFont_.setPixelSize(12);
  tileFont_.setWeight(QFont::Normal);
  setFocusPolicy(Qt::StrongFocus);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);

  scrollBar_ = new QScrollBar(Qt::Vertical, this);
  scrollBar_->hide();
  connect(scrollBar_, &QScrollBar::valueChanged, this, [this](int value) { OnScrollBar(value); });

  for (int i = 0; i < viewSlotCount; ++i) {
    tiles_[static_cast<std::size_t>(i)] = new ViewTile(this, i, this);
  }
  central_ = new ViewTile(this, -1, this);
  central_->setWindowTitle(QStringLiteral("(Central View)"));
  central_->setObjectName(QStringLiteral("centralView"));

  // Over the empty views: how to begin. Clicks pass through to the tiles below.
  emptyHint_ = new QLabel(QString::fromStdString(StringText(kStrEmptyViewHint)), this);
  emptyHint_->setObjectName(QStringLiteral("emptyViewHint"));
  emptyHint_->setAlignment(Qt::AlignCenter);
  emptyHint_->setWordWrap(true);
  emptyHint_->setAttribute(Qt::WA_TransparentForMouseEvents);
  emptyHint_->setStyleSheet(QStringLiteral("QLabel { color: white; background: transparent; }"));
  emptyHint_->hide();

  state_.viewTarget = static_cast<int>(tree_.settings->viewTarget);
  UpdateScrollBar();
}

ViewFrame::~ViewFrame() = default;

GroupRecord* ViewFrame::nodeOfTile(int tile) const { return FindByViewSlot(tree_.root.get(), tile); }

ViewTile* ViewFrame::tile(int index) const {
  if (index < 0 || index >= viewSlotCount) return nullptr;
  return tiles_[static_cast<std::size_t>(index)];
}


void ViewFrame::Save() {
  if (saveSettings_) saveSettings_();
}

QRect ViewFrame::ClientRect() const {
  QRect r = rect();
  if (!scrollBar_->isHidden()) r.setWidth(std::max(0, r.width() - scrollBar_->width()));
  return r;
}

void ViewFrame::selectLayout(int layout) {
  if (!IsValidLayout(layout)) return;
  ApplyLayout(layout, layout != state_.layout);
}

void ViewFrame::selectLayoutForCount(int count) { ApplyLayout(LayoutForCount(count), true); }

void ViewFrame::ApplyLayout(int layout, bool erase) {
  const bool changed = layout != state_.layout;
  state_.layout = layout;
  UpdateScrollBar();
  LayOut(erase);
  tree_.settings->viewMode = static_cast<uint32_t>(layout);
  Save();
  if (changed) emit layoutChanged(layout);
}

void ViewFrame::UpdateScrollBar() {
  range_ = ScrollRangeFor(state_.layout, count_);
  state_.position = ClampScroll(state_.position, range_);
  settingScroll_ = true;
  scrollBar_->setRange(0, range_.maxPosition);
  scrollBar_->setPageStep(std::max(1, range_.page));
  scrollBar_->setSingleStep(std::max(1, range_.line));
  scrollBar_->setValue(state_.position);
  settingScroll_ = false;
  const bool show = range_.scrolls();
  if (show == scrollBar_->isHidden()) scrollBar_->setVisible(show);
  const int barWidth = scrollBar_->sizeHint().width();
  scrollBar_->setGeometry(width() - barWidth, 0, barWidth, height());
}

void ViewFrame::LayOut(bool erase) {
  const QRect client = ClientRect();
  setUpdatesEnabled(false);
  const LayoutGeometry g = LayoutTiles(state_.layout, client.width(), client.height(), state_.position,
                                       QFontMetrics(tileFont_).height(), state_.viewTarget);
  std::array<bool, 100> shown{};
  for (const TilePlacement& p : g.tiles) shown[static_cast<std::size_t>(p.tile)] = true;
  for (int i = 0; i < viewSlotCount; ++i) {
    if (!shown[static_cast<std::size_t>(i)]) tiles_[static_cast<std::size_t>(i)]->hide();
  }
  for (const TilePlacement& p : g.tiles) {
    ViewTile* t = tiles_[static_cast<std::size_t>(p.tile)];
    t->setGeometry(p.rect.x, p.rect.y, p.rect.width, p.rect.height);
    if (erase) t->DropDecoded();
    t->show();
  }
  if (g.centralShown) {
    central_->setGeometry(g.central.x, g.central.y, g.central.width, g.central.height);
    central_->show();
  } else {
    central_->hide();
  }
  emptyHint_->setGeometry(client.adjusted(16, 16, -16, -16));
  emptyHint_->raise();
  setUpdatesEnabled(true);
  update();
}

void ViewFrame::ScrollTo(int position) {
  state_.position = position;
  settingScroll_ = true;
  scrollBar_->setValue(position);
  settingScroll_ = false;
}

void ViewFrame::OnScrollBar(int value) {
  if (settingScroll_) return;
  const int position = ClampScroll(value, range_);
  if (position == state_.position) return;
  state_.position = position;
  Log("pos=%d (%d/%d)", position, 0, range_.maximum);
  LayOut(false);
}

void ViewFrame::scrollRequest(ScrollRequest request, int thumb) {
  const int position = ScrollBy(state_.position, request, range_, thumb);
  Log("pos=%d (%d/%d)", position, 0, range_.maximum);
  ScrollTo(position);
  LayOut(false);
}

void ViewFrame::showNode(GroupRecord* node) {
  if (node == nullptr) return;
  ClearPlaybackSlots(slots_, anchor_);
  const ViewAssignment assigned = ShowNodeInSlots(tree_.root.get(), node, slots_);
  tilesGiven_ = assigned.slotsGiven;
  count_ = std::min(assigned.enabledFound, viewSlotCount);
  if (tilesGiven_ > 0) {
    std::string name = node->name;
    if (name.size() > kMaxSettingText) name.resize(kMaxSettingText);
    tree_.settings->viewName = name;
    Save();
  }
  emptyHint_->setVisible(tilesGiven_ == 0);
  selectLayoutForCount(tilesGiven_);
  if (std::exchange(stillsPending_, false)) restoreStills();
  repaintDirty();
  emit nodeShown(node, tilesGiven_);
}

void ViewFrame::repaintDirty() {
  std::vector<int> erased;
  const std::vector<int> dirty = slots_.TakeDirty(&erased);
  for (int index : erased) tiles_[static_cast<std::size_t>(index)]->DropDecoded();
  for (int index : dirty) {
    ViewTile* t = tiles_[static_cast<std::size_t>(index)];
    if (t->isVisible()) t->update();
  }
}

void ViewFrame::setPlaybackMode(bool on) {
  if (playbackMode_ == on) return;
  playbackMode_ = on;
  for (ViewTile* t : tiles_) {
    if (t->isVisible()) t->update();
  }
}

void ViewFrame::setSelectedSubtree(GroupRecord* node) {
  MarkSubtree(slots_, node, tilesGiven_ > 0);
  repaintDirty();
}

void ViewFrame::restoreStills() {
  ForEachNode(tree_.root.get(), [this](GroupRecord& node) {
    if (node.savedImage && slots_.at(node.viewIndex) != nullptr) {
      auto holder = std::make_unique<ImageHolder>();
      holder->image = node.savedImage->Copy();
      slots_.SetImage(node.viewIndex, std::move(holder), node.savedCaption);
      node.savedImage.reset();
      node.savedCaption.clear();
    }
    control::SetStillShownLive(node, false);
  });
  repaintDirty();
}

void ViewFrame::leaveStillMode() {
  restoreStills();
  stillsPending_ = true;
}

void ViewFrame::unfreezeTiles() { slots_.ClearAllFrozen(); }

void ViewFrame::playSingleTile(int tile) {
  if (slots_.at(tile) == nullptr) return;
  ClearPlaybackSlots(slots_, anchor_);
  slots_.SetPlaybackSlot(tile, slots_.LowestFreePlaybackSlot());
  anchor_ = tile;
  repaintDirty();
}

void ViewFrame::selectTile(int tile, Qt::KeyboardModifiers modifiers) {
  if (slots_.at(tile) == nullptr) return;
  if (!playbackMode_) {
    const TilePick pick = PickPlaybackSlots(slots_, anchor_, tile, (modifiers & Qt::ControlModifier) != 0,
                                            (modifiers & Qt::ShiftModifier) != 0);
    for (int t : pick.changed) tiles_[static_cast<std::size_t>(t)]->update();
    if (pick.beep) {
      QApplication::beep();
      setFocus(Qt::OtherFocusReason);
      return;
    }
  }
  // Every node in the tree has its item in the tree pane: a tile without a node clears
  // the tree's selection.
  GroupRecord* node = nodeOfTile(tile);
  if (node == nullptr) {
    emit viewSelected(nullptr);
  } else {
    MarkOnlyTile(slots_, tile);
    repaintDirty();
    emit viewSelected(node);
  }
  setFocus(Qt::OtherFocusReason);
}

void ViewFrame::doubleClickTile(int tile) {
  if (slots_.at(tile) == nullptr) return;
  const int layoutBefore = state_.layout;
  const DoubleClickResult result = DoubleClickTile(state_, tile);
  if (result.action == DoubleClickAction::kNewTarget) {
    tree_.settings->viewTarget = static_cast<uint32_t>(tile);
    Save();
    LayOut(false);
    if (ViewTile* old = this->tile(result.oldTarget)) old->update();
    tiles_[static_cast<std::size_t>(tile)]->update();
    return;
  }
  // The layout is switched as a layout command does (the scroll range follows and
  // viewMode is saved); then the position is the tile's, which may lie past the scroll
  // range when the tile shows no view: the tile still fills the frame.
  const int position = state_.position;
  UpdateScrollBar();
  ScrollTo(position);
  LayOut(true);
  tree_.settings->viewMode = static_cast<uint32_t>(state_.layout);
  Save();
  if (state_.layout != layoutBefore) emit layoutChanged(state_.layout);
  if (result.selectTargetView) selectTile(tile, Qt::NoModifier);
}

int ViewFrame::openTileMenu(int tile, const QPoint& globalPos) {
  ViewSlot* slot = slots_.at(tile);
  if (slot == nullptr) return 0;
  const ViewSlotState state = slot->Snapshot();
  const bool holdsBytes = state.image && state.image->jpeg && state.image->length > 0;
  if (!holdsBytes && nodeOfTile(tile) == nullptr) return 0;
  if (holdsBytes) slot->SetFrozen(true);
  selectTile(tile, QGuiApplication::keyboardModifiers());

  emit menuAboutToOpen();
  QMenu menu(this);
  menu.setObjectName(QStringLiteral("tileMenu250"));
  for (int command : kTileMenuCommands) {
    // The tile menu shares the tree's context-menu texts where they differ from the
    // main menu's (no shortcut shown for Recording).
    const std::string& context = StringText(kContextTextBase + command);
    QAction* action =
        menu.addAction(QString::fromStdString(context.empty() ? StringText(kMenuTextBase + command) : context));
    action->setData(command);
    // A command that cannot run now is shown disabled; Recording and Full Screen show
    // their checks, as in the main menu.
    if (QAction* source = menuActions_ ? menuActions_(command) : nullptr) {
      action->setEnabled(source->isEnabled());
      action->setCheckable(source->isCheckable());
      action->setChecked(source->isChecked());
    }
  }
  QAction* chosen = menu.exec(globalPos);
  const int command = chosen != nullptr ? chosen->data().toInt() : 0;
  if (!CommandKeepsTileFrozen(command)) slot->SetFrozen(false);
  if (command != 0) emit commandRequested(command);
  return command;
}

ViewTile* ViewFrame::PlaybackKeyTile() const {
  for (ViewTile* t : tiles_) {
    if (!t->isHidden() && slots_.PlaybackSlot(t->index()) == 0) return t;
  }
  return nullptr;
}

void ViewFrame::keyPressEvent(QKeyEvent* event) {
  if ((event->modifiers() & Qt::ControlModifier) != 0) {
    switch (event->key()) {
      case Qt::Key_PageUp: scrollRequest(ScrollRequest::kPageUp); return;
      case Qt::Key_PageDown: scrollRequest(ScrollRequest::kPageDown); return;
      case Qt::Key_End: scrollRequest(ScrollRequest::kBottom); return;
      case Qt::Key_Home: scrollRequest(ScrollRequest::kTop); return;
      case Qt::Key_Up: scrollRequest(ScrollRequest::kLineUp); return;
      case Qt::Key_Down: scrollRequest(ScrollRequest::kLineDown); return;
      default: break;
    }
  } else if (ViewTile* t = PlaybackKeyTile(); t != nullptr && t->HandleTileKey(event->key())) {
    return;
  }
  QWidget::keyPressEvent(event);
}

void ViewFrame::wheelEvent(QWheelEvent* event) {
  if ((event->modifiers() & Qt::ControlModifier) == 0) {
    event->ignore();
    return;
  }
  WheelScroll(event->angleDelta().y());
  event->accept();
}

void ViewFrame::WheelScroll(int delta) {
  const int steps = WheelSteps(wheelRemainder_, delta);
  if (steps == 0) return;
  ScrollTo(ScrollByWheel(state_.position, steps, range_));
  LayOut(false);
}

void ViewFrame::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  UpdateScrollBar();
  LayOut(false);
}

Settings& ViewFrame::settings() const { return *tree_.settings; }

}  // namespace velmora::ui
