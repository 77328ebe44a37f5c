#include "ui/tree_actions.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>

#include <initializer_list>
#include <vector>

#include "app/strings.h"
#include "control/commands.h"
#include "live/tls.h"
#include "model/device_transfer.h"
#include "model/tree_file.h"
#include "ui/main_window.h"
#include "ui/tree_pane.h"
#include "ui/view_frame.h"

namespace velmora::ui {

namespace {

using namespace velmora::control;

QString Text(int id) { return QString::fromStdString(StringText(id)); }

// The item text of a command in the tree's menus: the tree's own text where it has one,
// else the main menu's without its key.
QString MenuText(int id) {
  QString text = Text(kContextTextBase + id);
  if (text.isEmpty()) text = Text(kMenuTextBase + id).section('\t', 0, 0);
  if (text.isEmpty()) text = Text(id);
  if (text.isEmpty()) text = QString::fromUtf8(CommandOwnText(id));
  return text;
}

// The items of each kind's menu; 0 is a separator.
std::vector<int> MenuItems(int32_t kind) {
  switch (kind) {
    case EntryKind::LocalNVR:
      return {kCmdView, kCmdNewGroup, 0, kCmdRename, kCmdSort};
    case EntryKind::Group:
      return {kCmdView, 0, kCmdPaste, 0, kCmdDelete, kCmdRename, kCmdSort};
    case EntryKind::ServerDevice:
      return {kCmdView, kCmdAddCamera, 0, kCmdCut, kCmdCopy, 0, kCmdDelete, kCmdRename, 0,
              kCmdProperties};
    case EntryKind::Device:
    case EntryKind::HTTPDevice:
    case EntryKind::NASDevice:
    case EntryKind::ServerCamera:
      return {kCmdView, 0, kCmdEnabled, kCmdRecording, 0, kCmdCut, kCmdCopy, 0, kCmdDelete,
              kCmdRename, 0, kCmdProperties};
    default:
      if (kind >= EntryKind::RemovableDrive && kind <= EntryKind::OldRecordingsFolder)
        return {kCmdPlayFolder, 0, kCmdDelete};
      return {};
  }
}

bool IsTreeCommand(int id) {
  if (IsTemplateCommand(id)) return true;
  switch (id) {
    case kCmdNewGroup: case kCmdAddCamera: case kCmdRename: case kCmdDelete: case kCmdEnabled:
    case kCmdRecording: case kCmdSort: case kCmdCut: case kCmdCopy: case kCmdPaste:
    case kCmdTrustCertificate:
      return true;
    default:
      return false;
  }
}

}  // namespace

TreeActions::TreeActions(MainWindow* window, TreePane* tree, DeviceTree& devices)
    : QObject(window), window_(window), tree_(tree), devices_(devices) {
  ask_ = [this](const QString& text) {
    return QMessageBox::question(window_, Text(128), text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  show_ = [this](const QString& text) { QMessageBox::warning(window_, Text(128), text); };
  connect(tree_, &TreePane::labelEdited, this, &TreeActions::LabelEdited);
  connect(tree_, &TreePane::deleteRequested, this, &TreeActions::deleteSelected);
  connect(tree_, &TreePane::entryDropped, this, &TreeActions::Dropped);
  // Device files dropped anywhere on the window are imported.
  window_->setAcceptDrops(true);
  window_->installEventFilter(this);
}

bool TreeActions::execute(int id) {
  if (!IsTreeCommand(id)) return false;
  GroupRecord* selected = tree_->selectedRecord();
  const bool playback = window_->playingBack();
  if (IsTemplateCommand(id)) {
    // From the File menu the selection may be a device or nothing: the device goes into
    // the selection's group.
    if (GroupRecord* target = AddDeviceTarget(devices_, selected))
      Apply(AddFromTemplate(devices_, id, target, properties_));
    return true;
  }
  switch (id) {
    case kCmdNewGroup:
      Apply(NewGroup(devices_));
      break;
    case kCmdAddCamera:
      if (selected && selected->kind == EntryKind::ServerDevice) Apply(AddCamera(devices_, *selected));
      break;
    case kCmdRename:
      tree_->editLabel(selected);
      break;
    case kCmdDelete:
      deleteSelected(QGuiApplication::keyboardModifiers() & Qt::ShiftModifier);
      break;
    case kCmdEnabled:
      if (selected) {
        Apply(ToggleEnabled(devices_, *selected));
        window_->viewFrame()->update();
      }
      break;
    case kCmdRecording:
      if (selected) {
        Apply(ToggleRecording(devices_, *selected, playback));
        window_->viewFrame()->update();
      }
      break;
    case kCmdSort:
      if (selected) Apply(SortEntry(devices_, *selected));
      break;
    case kCmdCopy:
      Copy(selected);
      break;
    case kCmdCut:
      // Copy, then Delete with its question.
      if (selected && CanCopyEntry(selected) && !playback) {
        Copy(selected);
        deleteSelected(QGuiApplication::keyboardModifiers() & Qt::ShiftModifier);
      }
      break;
    case kCmdPaste:
      Paste(selected);
      break;
    case kCmdTrustCertificate:
      // The next connection keeps the certificate it finds; the file forgets the old one.
      if (selected && TrustNewCertificate(*selected)) SaveTree(devices_);
      break;
    default:
      break;
  }
  return true;
}

void TreeActions::Apply(const TreeOpResult& result) {
  if (result.select != nullptr) tree_->selectRecord(result.select);
  // A renamed or moved entry stays selected under another path.
  if (result.changed) tree_->showSelectionStatus();
  if (result.saveSettings && saveSettings_) saveSettings_();
  if (result.refreshViews) RefreshViews();
  if (result.messageId != 0) Report(result.messageId, result.messageValue);
  if (result.editLabel && result.select != nullptr) tree_->editLabel(result.select);
}

void TreeActions::Report(int messageId, long long value) {
  // A failed folder rename (392, with its error number) is in the status bar already and
  // gets its box as in the property sheet.
  const std::string& pattern = StringText(messageId);
  const bool formatted = pattern.find('%') != std::string::npos;
  show_(formatted ? QString::fromStdString(FormatString(messageId, value)) : Text(messageId));
}

// The views show the saved selection again; the entry the operator works on stays selected.
void TreeActions::RefreshViews() { window_->refreshViewsForSelection(); }

void TreeActions::deleteSelected(bool shiftHeld) {
  GroupRecord* selected = tree_->selectedRecord();
  const bool playback = window_->playingBack();
  if (selected == nullptr || !CanDelete(*selected, playback)) return;
  if (!shiftHeld && !ask_(QString::fromStdString(FormatString(290, selected->name)))) return;
  Apply(DeleteEntry(devices_, *selected, playback));
  window_->updateCommands();
}

void TreeActions::Copy(GroupRecord* entry) {
  if (entry == nullptr || !CanCopyEntry(entry)) return;
  const std::string text = DeviceText(*entry);
  if (text.empty()) return;
  auto* data = new QMimeData;
  QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
  bytes.append('\0');
  data->setData(QLatin1String(kDeviceClipboardMime), bytes);
  QApplication::clipboard()->setMimeData(data);
}

void TreeActions::Paste(GroupRecord* selected) {
  const QMimeData* data = QApplication::clipboard()->mimeData();
  if (data == nullptr || !data->hasFormat(QLatin1String(kDeviceClipboardMime))) return;
  const QByteArray bytes = data->data(QLatin1String(kDeviceClipboardMime));
  Apply(PasteDevices(devices_, selected, std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()))));
}

void TreeActions::LabelEdited(GroupRecord* record, const QString& text) {
  if (record == nullptr) return;
  Apply(RenameFromLabel(devices_, *record, text.toStdString(), window_->playingBack()));
  tree_->refreshItem(record);
}

void TreeActions::Dropped(GroupRecord* source, GroupRecord* target) {
  if (source == nullptr) return;
  DropResult drop = DropEntry(devices_, *source, target, window_->playingBack());
  if (drop.outcome == DropOutcome::kBeep) QApplication::beep();
  if (drop.outcome == DropOutcome::kMoved) {
    Apply(drop.result);
  } else if (drop.result.messageId != 0) {
    // A drop refused for its name says why.
    Report(drop.result.messageId, drop.result.messageValue);
  }
}

int TreeActions::importDroppedFiles(const QList<QUrl>& urls) {
  // Held across the import, which may take a leftover folder out of the tree.
  GroupRecord* current = tree_->selectedRecord();
  std::shared_ptr<GroupRecord> selected = current ? current->weak_from_this().lock() : nullptr;
  int imported = 0;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
    if (ImportDroppedFile(devices_, url.toLocalFile().toStdString())) ++imported;
  }
  if (imported > 0) {
    window_->refreshViewsForSelection(selected.get());
    window_->updateCommands();
  }
  return imported;
}

bool TreeActions::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_) {
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
      auto* drag = static_cast<QDropEvent*>(event);
      if (drag->mimeData()->hasUrls()) {
        drag->acceptProposedAction();
        return true;
      }
    } else if (event->type() == QEvent::Drop) {
      auto* drop = static_cast<QDropEvent*>(event);
      if (drop->mimeData()->hasUrls()) {
        importDroppedFiles(drop->mimeData()->urls());
        drop->acceptProposedAction();
        return true;
      }
    }
  }
  return QObject::eventFilter(watched, event);
}

QMenu* TreeActions::buildContextMenu(GroupRecord* record, QWidget* parent) {
  if (record == nullptr) return nullptr;
  std::vector<int> items = MenuItems(record->kind);
  if (items.empty()) return nullptr;
  // An HTTPS device may have refused a changed certificate: the user can trust it.
  if (IsHttpsUrl(record->location) && record->kind != EntryKind::NASDevice &&
      record->kind != EntryKind::ServerDevice)
    items.push_back(kCmdTrustCertificate);
  window_->updateCommands();
  auto* menu = new QMenu(parent);
  auto addItem = [this](QMenu* to, int id) {
    QAction* source = window_->action(id);
    QAction* item = to->addAction(MenuText(id));
    item->setData(id);
    item->setObjectName(QStringLiteral("tree%1").arg(id));
    if (source != nullptr) {
      item->setEnabled(source->isEnabled());
      item->setCheckable(source->isCheckable());
      item->setChecked(source->isChecked());
      item->setToolTip(source->toolTip());
    } else {
      item->setEnabled(false);
    }
    connect(item, &QAction::triggered, window_, [this, id] { window_->runCommand(id); });
    return item;
  };
  for (int id : items) {
    if (id == 0) {
      menu->addSeparator();
      continue;
    }
    QAction* item = addItem(menu, id);
    if (menu->actions().size() == 1) {
      // The first item is the default one.
      QFont bold = item->font();
      bold.setBold(true);
      item->setFont(bold);
      menu->setDefaultAction(item);
    }
    if (record->kind == EntryKind::Group && id == kCmdView) {
      // "Add Camera...": cameras of any maker by their kind of address, then the named
      // templates.
      QMenu* add = menu->addMenu(Text(kStrAddCameraMenu));
      add->setObjectName(QStringLiteral("treeAddMenu"));
      for (int item : AddCameraMenu()) {
        if (item == 0) {
          add->addSeparator();
        } else {
          addItem(add, item);
        }
      }
    }
  }
  return menu;
}

void TreeActions::showContextMenu(GroupRecord* record, const QPoint& globalPos) {
  QMenu* menu = buildContextMenu(record, window_);
  if (menu == nullptr) return;
  menu->setToolTipsVisible(true);
  menu->exec(globalPos);
  delete menu;
}

}  // namespace velmora::ui
