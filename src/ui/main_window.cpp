#include "ui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QResizeEvent>
#include <QRegularExpression>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>

#include "app/application.h"
#include "app/helpers.h"
#include "app/log.h"
#include "app/paths.h"
#include "app/strings.h"
#include "control/commands.h"
#include "control/show_entry.h"
#include "control/tree_ops.h"
#include "live/fetch.h"
#include "live/tls.h"
#include "live/view_slot.h"
#include "model/device_transfer.h"
#include "model/group_record.h"
#include "model/saved_view.h"
#include "model/tree_file.h"
#include "net/discovery.h"
#include "playback/playback_control.h"
#include "recording/cleanup.h"
#include "ui/core_events.h"
#include "ui/desktop_open.h"
#include "ui/export_dialog.h"
#include "ui/help_about.h"
#include "ui/icons.h"
#include "ui/image_share.h"
#include "ui/options_dialog.h"
#include "ui/pane.h"
#include "ui/playback_pane.h"
#include "ui/property_sheet.h"
#include "ui/tray_icon.h"
#include "ui/tree_actions.h"
#include "ui/tree_model.h"
#include "ui/tree_pane.h"
#include "ui/view_frame.h"

namespace velmora::ui {

namespace {

using namespace velmora::control;

constexpr int kViewsToolbarWidth = 30;
constexpr int kStrRecordingOn = 805;
constexpr int kStrRecordingOff = 806;

QString Text(int id) { return QString::fromStdString(StringText(id)); }

// The tooltip text of a command: its string without the mnemonic and the key text.
QString PlainText(int id) {
  QString text = Text(id);
  if (text.isEmpty()) text = Text(kMenuTextBase + id);
  if (text.isEmpty()) text = QString::fromUtf8(CommandOwnText(id));
  text = text.section('\t', 0, 0);
  static const QRegularExpression mnemonic(QStringLiteral("&(?!&)"));
  text.remove(mnemonic);
  return text;
}

// Own icons of the toolbars; the layouts have no theme icon.
QIcon CommandIcon(int id) {
  if (id >= kCmdLayoutFirst && id <= kCmdLayoutLast) return OwnIcon(QStringLiteral("layout_%1").arg(id - kCmdLayoutFirst));
  switch (id) {
    case kCmdPlayback: return ThemeIcon("media-playback-start", "playback");
    case kCmdExport: return ThemeIcon("document-save-as", "export");
    case kCmdZoomIn: return ThemeIcon("zoom-in", "zoom_in");
    case kCmdZoomOut: return ThemeIcon("zoom-out", "zoom_out");
    case kCmdPreviousFrame: return ThemeIcon("media-skip-backward", "previous_frame");
    case kCmdReversePlay: return OwnIcon(QStringLiteral("play_reverse"));
    case kCmdPause: return ThemeIcon("media-playback-pause", "pause");
    case kCmdPlay: return ThemeIcon("media-playback-start", "play");
    case kCmdNextFrame: return ThemeIcon("media-skip-forward", "next_frame");
    case kCmdFullScreen: return ThemeIcon("view-fullscreen", "full_screen");
    case kCmdImportDeviceFile: return ThemeIcon("document-open", "import");
    case kCmdExit: return ThemeIcon("application-exit", "exit");
    case kCmdRecord: return ThemeIcon("media-record", "record");
    case kCmdScanNetwork: return ThemeIcon("network-wired", "scan");
    case kCmdOpenLogFile: return ThemeIcon("text-x-generic", "log");
    case kCmdOpenRecordingFolder: return ThemeIcon("folder", "folder");
    default: return QIcon();
  }
}

}  // namespace

QString FrameTitle() {
  const std::string version = VersionString();
  QString title = Text(128);
  if (!version.empty()) title += " v" + QString::fromStdString(version);
  return title;
}

MainWindow::MainWindow(Application* app, CoreEvents* events, QWidget* parent)
    : QMainWindow(parent), app_(app), events_(events) {
  setObjectName("MainFrame");
  setWindowTitle(FrameTitle());
  setWindowIcon(ThemeIcon("camera-video", "velmora-nvr"));
  setMinimumSize(kMinFrameWidth, kMinFrameHeight);
  // The panes have no dock areas: nothing can be dragged around.
  setDockOptions(QMainWindow::DockOptions());
  // The desktop's handler for the file type: a text editor for the log, the file
  // manager for the recordings folder.
  // A desktop without a handler for the path says nothing itself: the window does.
  open_ = [this](const QString& path) {
    ui::OpenWithDesktop(this, path, "CMainFrame::OnOpen", [this](const QString& text) { ShowOpenFailure(this, text); });
  };
  ask_ = [this](const QString& text) {
    return QMessageBox::question(this, Text(128), text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  chooseDeviceFile_ = [this] {
    return QFileDialog::getOpenFileName(this, tr("Import Device File"), QString(), tr("Device Files (*.xml)"));
  };

  CreateStatusBar();
  CreatePanes();
  CreateActions();
  // The playback controls share the window's actions, so they come after them.
  playbackControls_ = new PlaybackPane(
      events_->playback(), *events_, [this](int id) { return action(id); },
      [this] { return tree_->selectedRecord(); });
  playback_->setContent(playbackControls_);
  connect(playbackControls_, &PlaybackPane::modeChanged, this, [this] {
    updatePlaybackPane();
    updateCommands();
  });
  CreateMenus();
  CreateAccelerators();
  ConnectCore();
  tray_ = new TrayIcon([this](int id) { runCommand(id); }, this);
  share_ = new ImageShare(this, viewFrame_, [this] { return tree_->selectedRecord(); }, [this] { SaveSettings(); });
  options_ = new OptionsCommand(this, events_->settings(),
                                OptionsTargets{[this](bool erase) {
                                                 for (int i = 0; i < viewSlotCount; ++i)
                                                   viewFrame_->shownSlots().at(i)->Invalidate(erase);
                                                 viewFrame_->repaintDirty();
                                                 viewFrame_->update();
                                               },
                                               [this](bool on) { tray_->setShown(on); },
                                               [this] { updatePlaybackPane(); }, [this] { SaveSettings(); }});
  treeActions_ = new TreeActions(this, tree_, events_->tree());
  treeActions_->setSettingsSaver([this] { SaveSettings(); });
  treeActions_->setPropertiesRunner([this](GroupRecord& entry) {
    return RunPropertySheet(this, events_->tree(), entry, lastPropertyPage_, mediaSource_);
  });

  SetStatusBarVisible(events_->settings().statusBarShow);
  SetDeviceListVisible(events_->settings().deviceListShow);
  updatePlaybackPane();
  updateCommands();
  discoveredInstalled_ = Installed<net::DiscoverySelection>::install(discovered_);
}

void MainWindow::DiscoveredEntries::selectEntry(GroupRecord& record) { window_.tree_->selectRecord(&record); }

MainWindow::~MainWindow() {
  discoveredInstalled_.reset();
  // A label edit still open ends while the children are destroyed: neither its text nor
  // its end may reach the commands of a window that is half gone.
  tree_->disconnect(this);
  tree_->disconnect(treeActions_);
}

void MainWindow::CreateStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setSizeGripEnabled(true);
  const QFontMetrics metrics(bar->font());
  const int rateWidth = metrics.horizontalAdvance(QStringLiteral("1000.0 Mb/s")) + 12;
  const int diskWidth = metrics.horizontalAdvance(QString::fromStdString(FormatString(491, 100))) + 12;
  for (int i = 0; i < 3; ++i) {
    statusParts_[i] = new QLabel(bar);
    statusParts_[i]->setObjectName(QStringLiteral("statusPart%1").arg(i));
  }
  statusParts_[1]->setFixedWidth(rateWidth);
  statusParts_[2]->setFixedWidth(diskWidth);
  // Whether the program records is plain to see beside the rate.
  recordingMark_ = new QLabel(bar);
  recordingMark_->setObjectName("recordingMark");
  recordingMark_->setMinimumWidth(
      std::max(metrics.horizontalAdvance(Text(kStrRecordingOn)), metrics.horizontalAdvance(Text(kStrRecordingOff))) + 12);
  bar->addWidget(statusParts_[0], 1);
  bar->addPermanentWidget(recordingMark_);
  bar->addPermanentWidget(statusParts_[1]);
  bar->addPermanentWidget(statusParts_[2]);
}

void MainWindow::CreatePanes() {
  // The Device List and the views share the width through a splitter: the operator drags
  // the list wider or narrower, and a larger window gives its room to the views.
  splitter_ = new QSplitter(Qt::Horizontal, this);
  splitter_->setObjectName("frameSplitter");
  splitter_->setChildrenCollapsible(false);

  deviceList_ = new Pane(tr("Device List"), true, splitter_);
  deviceList_->setObjectName("deviceListPane");
  deviceList_->setMinimumWidth(kDeviceListMinWidth);
  tree_ = new TreePane(events_->tree(), deviceList_);
  deviceList_->setContent(tree_);
  splitter_->addWidget(deviceList_);

  auto* central = new QWidget(splitter_);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  viewArea_ = new Pane(QString(), false, central);
  viewArea_->setObjectName("viewAreaPane");
  auto* body = new QWidget(viewArea_);
  auto* bodyRow = new QHBoxLayout(body);
  bodyRow->setContentsMargins(0, 0, 0, 0);
  bodyRow->setSpacing(0);
  viewsToolbar_ = new QToolBar(QStringLiteral("views"), body);
  viewsToolbar_->setObjectName("viewsToolbar");
  viewsToolbar_->setOrientation(Qt::Vertical);
  viewsToolbar_->setMovable(false);
  viewsToolbar_->setFloatable(false);
  viewsToolbar_->setIconSize(QSize(20, 20));
  viewsToolbar_->setFixedWidth(kViewsToolbarWidth);
  bodyRow->addWidget(viewsToolbar_);
  viewFrame_ = new ViewFrame(events_->tree(), events_->playback().shownSlots(), body);
  if (app_) {
    viewFrame_->setSettingsSaver([this] { app_->SaveAllSettings(); });
  } else {
    // Without the application (widget tests) the settings go to the data folder, if any.
    viewFrame_->setSettingsSaver([this] {
      const Paths& paths = events_->paths();
      if (!paths.appDataFolder.empty())
        velmora::SaveSettings(events_->settings(), paths.appDataFolder, paths.registryPath);
    });
  }
  bodyRow->addWidget(viewFrame_, 1);
  viewArea_->setContent(body);
  column->addWidget(viewArea_, 1);

  playback_ = new Pane(tr("Playback Controls"), true, central);
  playback_->setObjectName("playbackPane");
  column->addWidget(playback_);
  splitter_->addWidget(central);
  splitter_->setStretchFactor(0, 0);
  splitter_->setStretchFactor(1, 1);
  setCentralWidget(splitter_);
  // The list's width is given whenever the splitter changes size (see eventFilter).
  splitter_->installEventFilter(this);
  connect(splitter_, &QSplitter::splitterMoved, this, [this] {
    if (!deviceList_->isVisibleTo(this)) return;
    listWidth_ = deviceList_->width();
    events_->settings().deviceListWidth = static_cast<uint32_t>(listWidth_);
  });

  connect(deviceList_, &Pane::closeRequested, this, [this] { PaneClosed(deviceList_); });
  connect(playback_, &Pane::closeRequested, this, [this] { PaneClosed(playback_); });
}

void MainWindow::CreateActions() {
  auto* layouts = new QActionGroup(this);
  layouts->setExclusive(true);
  for (int id : CommandIds()) {
    QString text = Text(kMenuTextBase + id);
    if (text.isEmpty()) text = Text(id);
    if (text.isEmpty()) text = QString::fromUtf8(CommandOwnText(id));
    if (text.isEmpty()) continue;  // template separators
    // A command that a key sends shows that key, also where its label names none.
    if (!text.contains('\t') && !(id >= kCmdLayoutFirst && id <= kCmdLayoutLast)) {
      if (const char* key = MenuKeyText(id)) {
        text += '\t' + QKeySequence(QString::fromLatin1(key)).toString(QKeySequence::NativeText);
      }
    }
    auto* a = new QAction(text, this);
    a->setObjectName(QStringLiteral("cmd%1").arg(id));
    a->setData(id);
    a->setIcon(CommandIcon(id));
    // Menus draw the key text after the tab themselves; the accelerator table, not the
    // action, owns the keys.
    a->setShortcutContext(Qt::WidgetShortcut);
    a->setToolTip(PlainText(id));
    switch (id) {
      case kCmdRecord: case kCmdCaptions: case kCmdStatusBar: case kCmdDeviceList: case kCmdPlayback:
      case kCmdViewStretch: case kCmdFullScreen: case kCmdRecording: case kCmdEnabled:
        a->setCheckable(true);
        break;
      default:
        break;
    }
    if (id >= kCmdLayoutFirst && id <= kCmdLayoutLast) {
      a->setCheckable(true);
      layouts->addAction(a);
    }
    connect(a, &QAction::triggered, this, [this, id] { runCommand(id); });
    actions_[id] = a;
  }
}

void MainWindow::CreateMenus() {
  for (const MenuBarMenu& m : MainMenu()) {
    QMenu* menu = menuBar()->addMenu(Text(m.titleString));
    menu->setToolTipsVisible(true);
    for (int id : m.items) {
      if (id == 0) {
        menu->addSeparator();
      } else if (id == kAddCameraPopup) {
        menu->addMenu(AddCameraPopup(menu))->setData(kAddCameraPopup);
      } else if (QAction* a = action(id)) {
        menu->addAction(a);
      }
    }
    connect(menu, &QMenu::aboutToShow, this, &MainWindow::updateCommands);
    menus_.push_back(menu);
  }
  for (int id : ViewsToolbar()) {
    if (QAction* a = action(id)) viewsToolbar_->addAction(a);
  }
}

QMenu* MainWindow::AddCameraPopup(QWidget* parent) {
  auto* popup = new QMenu(Text(kStrAddCameraMenu), parent);
  popup->setObjectName(QStringLiteral("addCameraMenu"));
  for (int id : AddCameraMenu()) {
    if (id == 0) {
      popup->addSeparator();
    } else if (QAction* a = action(id)) {
      popup->addAction(a);
    }
  }
  return popup;
}

void MainWindow::CreateAccelerators() {
  for (const Accelerator& acc : Accelerators()) {
    auto* shortcut = new QShortcut(QKeySequence(QString::fromLatin1(acc.key)), this);
    shortcut->setContext(Qt::WindowShortcut);
    const int id = acc.commandId;
    connect(shortcut, &QShortcut::activated, this, [this, id] {
      emit acceleratorPressed(id);
      runCommand(id);
    });
    accelerators_.emplace_back(shortcut, id);
  }
  escape_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  escape_->setEnabled(false);
  connect(escape_, &QShortcut::activated, this, [this] {
    if (fullScreen_) ToggleFullScreen();
  });
  // Alt+Enter opens the selected device's properties; for other entries it does nothing.
  for (const char* key : {"Alt+Return", "Alt+Enter"}) {
    auto* properties = new QShortcut(QKeySequence(QString::fromLatin1(key)), this);
    connect(properties, &QShortcut::activated, this, [this] {
      const GroupRecord* selected = tree_->selectedRecord();
      if (!selected) return;
      const int kind = selected->kind;
      if (kind == 2 || kind == 3 || kind == 4 || kind == 5 || kind == -2) runCommand(kCmdProperties);
    });
  }
}

void MainWindow::ConnectCore() {
  connect(events_, &CoreEvents::statusText, this, &MainWindow::ShowStatus);
  connect(events_, &CoreEvents::throughput, statusParts_[1], &QLabel::setText);
  connect(events_, &CoreEvents::diskUsage, this, &MainWindow::ShowDiskUsage);
  connect(events_, &CoreEvents::motionAlert, this, &MainWindow::MotionAlert);
  connect(events_, &CoreEvents::timer3, viewFrame_, &ViewFrame::repaintDirty);
  connect(events_, &CoreEvents::fetchErrorChanged, tree_, &TreePane::refreshItem);
  connect(events_, &CoreEvents::activateRequested, this, &MainWindow::bringToFront);
  connect(events_, &CoreEvents::paneCloseRequested, this,
          [this](int pane) { PaneClosed(pane == 0 ? deviceList_ : playback_); });
  connect(events_, &CoreEvents::networkScanEnded, this, [this] { refreshViewsForSelection(); });
  // Playback reports can change what is enabled and shown: playback mode and the pane
  // (entered, left, stopped), the playing flag, and a feed's range or graph (whether
  // zooming in or out is possible). The pane has redrawn itself by then.
  auto followPlayback = [this] {
    updatePlaybackPane();
    updateCommands();
  };
  connect(events_, &CoreEvents::playbackControlsShown, this, followPlayback);
  connect(events_, &CoreEvents::playbackRangeChanged, this, followPlayback);
  connect(events_, &CoreEvents::playbackGraphChanged, this, &MainWindow::updateCommands);
  connect(events_, &CoreEvents::playbackPlayStateChanged, this, &MainWindow::updateCommands);
  // The tile menu shows the same enabled and checked states as the main menu.
  viewFrame_->setMenuActions([this](int id) { return action(id); });
  connect(viewFrame_, &ViewFrame::menuAboutToOpen, this, &MainWindow::updateCommands);
  connect(tree_, &TreePane::selectionChanged, this, [this](GroupRecord* record) {
    viewFrame_->setSelectedSubtree(record);
    updateCommands();
  });
  connect(tree_, &TreePane::activated, this, &MainWindow::showNode);
  connect(tree_, &TreePane::statusText, this, &MainWindow::ShowStatus);
  connect(tree_, &TreePane::labelEditingChanged, this, &MainWindow::updateCommands);
  connect(tree_, &TreePane::contextMenuRequested, this, &MainWindow::ShowContextMenu);
  connect(viewFrame_, &ViewFrame::commandRequested, this, &MainWindow::runCommand);
  connect(viewFrame_, &ViewFrame::viewSelected, this, [this](GroupRecord* node) {
    tree_->selectRecord(node);
    updateCommands();
  });
  connect(viewFrame_, &ViewFrame::layoutChanged, this, &MainWindow::updateCommands);
  connect(viewFrame_, &ViewFrame::nodeShown, this, [this](GroupRecord* node, int) {
    viewArea_->setCaption(node ? QString::fromStdString(node->name) : QString());
    tree_->setShownNode(node);
  });
  connect(QApplication::clipboard(), &QClipboard::dataChanged, this, &MainWindow::updateCommands);
}

QAction* MainWindow::action(int commandId) const {
  auto it = actions_.find(commandId);
  return it == actions_.end() ? nullptr : it->second;
}

int MainWindow::acceleratorCommand(const QKeySequence& key) const {
  for (const auto& [shortcut, id] : accelerators_) {
    if (shortcut->key() == key) return id;
  }
  return 0;
}

bool MainWindow::playingBack() const { return events_->playback().active(); }

void MainWindow::updateCommands() {
  CommandContext context;
  context.selected = tree_->selectedRecord();
  context.playbackMode = playingBack();
  context.editingLabel = tree_->isEditingLabel();
  const QMimeData* clip = QApplication::clipboard()->mimeData();
  context.clipboardHasDevice = clip && clip->hasFormat(QLatin1String(kDeviceClipboardMime));
  context.fullScreen = fullScreen_;
  context.statusBarVisible = statusBar()->isVisibleTo(this);
  context.deviceListVisible = deviceList_->isVisibleTo(this);
  context.layout = viewFrame_->currentLayout();
  context.recordEnable = events_->settings().recordEnable;
  context.captionShow = events_->settings().captionShow;
  context.viewStretch = events_->settings().viewStretch;
  const TileContent tile = ContentOfTile(context.selected);
  context.selectedTileHasImage = tile.image;
  context.selectedTileHasJpeg = tile.jpeg;
  if (GroupRecord* selected = tree_->selectedRecord()) context.selectedCertificateChanged = CertificateChangeSeen(*selected);
  context.playbackEnoughPictures = events_->playback().enoughPictures();
  context.playbackCanZoomOut = events_->playback().canZoomOut();
  for (const auto& [id, a] : actions_) {
    const CommandState state = EvaluateCommand(id, context);
    const bool built = CommandBuilt(id);
    a->setEnabled(built && state.enabled);
    a->setChecked(state.checked);
    QString tip = PlainText(id);
    if (!built) tip = tr("%1 (not available in this version)").arg(tip);
    a->setToolTip(tip);
  }
  ShowRecordingMark();
}

void MainWindow::ShowRecordingMark() {
  const bool on = events_->settings().recordEnable;
  recordingMark_->setText(Text(on ? kStrRecordingOn : kStrRecordingOff));
  // Red while recording, as the tiles' recording circle.
  recordingMark_->setStyleSheet(on ? QStringLiteral("QLabel { color: #c01010; font-weight: bold; }") : QString());
}

void MainWindow::runCommand(int commandId) {
  updateCommands();
  QAction* a = action(commandId);
  if (!a || !a->isEnabled()) {
    // A tile frozen for a sharing command must not stay frozen when it cannot run.
    if (CommandKeepsTileFrozen(commandId)) viewFrame_->unfreezeTiles();
    return;
  }
  Execute(commandId);
  updateCommands();
}

void MainWindow::Execute(int id) {
  if (id >= kCmdLayoutFirst && id <= kCmdLayoutLast) {
    viewFrame_->selectLayout(id - kCmdLayoutFirst);
    return;
  }
  if (IsTemplateCommand(id)) {
    treeActions_->execute(id);
    return;
  }
  // Each group's handler says whether the command was one of its own.
  for (auto handler : {&MainWindow::ExecuteDeviceCommand, &MainWindow::ExecuteViewCommand,
                       &MainWindow::ExecuteImageCommand, &MainWindow::ExecutePlaybackCommand,
                       &MainWindow::ExecuteProgramCommand}) {
    if ((this->*handler)(id)) return;
  }
}

// The device tree's commands and those on the selected device.
bool MainWindow::ExecuteDeviceCommand(int id) {
  switch (id) {
    case kCmdNewGroup:
    case kCmdAddCamera:
    case kCmdRename:
    case kCmdDelete:
    case kCmdEnabled:
    case kCmdRecording:
    case kCmdSort:
    case kCmdCut:
    case kCmdCopy:
    case kCmdPaste:
    case kCmdTrustCertificate:
      treeActions_->execute(id);
      return true;
    case kCmdImportDeviceFile:
      ImportDeviceFile();
      return true;
    case kCmdView:
    case kCmdPlayFolder:  // a folder of recordings is shown the same way
      showNode(tree_->selectedRecord());
      return true;
    case kCmdRefresh:
      if (GroupRecord* selected = tree_->selectedRecord()) {
        Log("update for %s", selected->name.c_str());
        viewthread_refresh(*selected, true);
      }
      return true;
    case kCmdProperties:
      if (GroupRecord* selected = tree_->selectedRecord()) {
        if (RunPropertySheet(this, events_->tree(), *selected, lastPropertyPage_, mediaSource_)) {
          SaveTree(events_->tree());
          tree_->showSelectionStatus();  // a new name is a new path
        }
      }
      return true;
    default:
      return false;
  }
}

// The switches of the window and the views: recording, captions, stretching, the status
// bar, the device list, full screen.
bool MainWindow::ExecuteViewCommand(int id) {
  switch (id) {
    case kCmdRecord:
      if (app_) {
        app_->ToggleRecordEnable();
      } else {
        events_->settings().recordEnable = !events_->settings().recordEnable;
      }
      viewFrame_->update();
      return true;
    case kCmdCaptions:
      events_->settings().captionShow = !events_->settings().captionShow;
      viewFrame_->update();
      return true;
    case kCmdViewStretch:
      events_->settings().viewStretch = !events_->settings().viewStretch;
      viewFrame_->update();
      return true;
    case kCmdStatusBar:
      SetStatusBarVisible(!statusBar()->isVisibleTo(this));
      events_->settings().statusBarShow = statusBar()->isVisibleTo(this);
      SaveSettings();
      return true;
    case kCmdDeviceList:
      SetDeviceListVisible(!deviceList_->isVisibleTo(this));
      events_->settings().deviceListShow = deviceList_->isVisibleTo(this);
      SaveSettings();
      return true;
    case kCmdFullScreen:
      ToggleFullScreen();
      return true;
    default:
      return false;
  }
}

// The commands on the selected tile's image and its device's pages.
bool MainWindow::ExecuteImageCommand(int id) {
  switch (id) {
    case kCmdCopyImage:
      share_->copyImage();
      return true;
    case kCmdSaveJpeg:
      share_->saveJpeg();
      return true;
    case kCmdSendImage:
      share_->sendImage();
      return true;
    case kCmdTelnet:
      share_->telnet();
      return true;
    case kCmdConfigurePage:
      share_->openConfigurePage();
      return true;
    case kCmdMainPage:
      share_->openMainPage();
      return true;
    default:
      return false;
  }
}

// Playback and export.
bool MainWindow::ExecutePlaybackCommand(int id) {
  switch (id) {
    case kCmdPlayRecorded:
      // The selected node's tile alone, then playback as 10050 starts it.
      if (GroupRecord* selected = tree_->selectedRecord(); selected && selected->viewIndex >= 0) {
        viewFrame_->playSingleTile(selected->viewIndex);
        playbackControls_->execute(kCmdPlayback, false);
      }
      return true;
    case kCmdPlayback:
    case kCmdZoomIn:
    case kCmdZoomOut:
    case kCmdPreviousFrame:
    case kCmdReversePlay:
    case kCmdPause:
    case kCmdPlay:
    case kCmdNextFrame:
      playbackControls_->execute(id, QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier);
      return true;
    case kCmdExport:
      ExportDialog::RunCommand(this, events_->playback(), exportNaming_, events_->settings(),
                               [this] { SaveSettings(); });
      return true;
    default:
      return false;
  }
}

// The program's own commands: exit, the tray's restore, the network scan, the log and
// recordings folders, options, help and about.
bool MainWindow::ExecuteProgramCommand(int id) {
  switch (id) {
    case kCmdExit:
    case kCmdTrayExit:
      requestExit(QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier);
      return true;
    case kCmdTrayRestore:
      bringToFront();
      return true;
    case kCmdScanNetwork:
      net::RequestNetworkScan();
      return true;
    case kCmdOpenLogFile:
      OpenWithDesktop(events_->paths().logPath);
      return true;
    case kCmdOpenRecordingFolder:
      OpenWithDesktop(events_->paths().pathData);
      return true;
    case kCmdOptions:
      options_->run();
      return true;
    case kCmdHelpContents:
      OpenManual(this, [this](const QString& text) { ShowOpenFailure(this, text); });
      return true;
    case kCmdAbout: {
      AboutDialog about(this);
      about.exec();
      return true;
    }
    default:
      return false;
  }
}

void MainWindow::SaveSettings() {
  if (save_) {
    save_();
  } else if (app_) {
    app_->SaveAllSettings();
  }
}

void MainWindow::SetStatusBarVisible(bool visible) { statusBar()->setVisible(visible); }

void MainWindow::SetDeviceListVisible(bool visible) { deviceList_->setVisible(visible); }

void MainWindow::updatePlaybackPane() {
  // Called whenever playback mode is entered or left: the panes that behave differently
  // in playback (label editing, tile picking, the caption's play mark) follow it here.
  const bool playback = playingBack();
  tree_->setPlaybackMode(playback);
  viewFrame_->setPlaybackMode(playback);
  playback_->setVisible(playback || events_->settings().playbackShow);
}

void MainWindow::PaneClosed(Pane* pane) {
  if (pane == deviceList_) {
    runCommand(kCmdDeviceList);
    return;
  }
  // Playback Controls: leave playback, and keep the pane hidden outside it.
  if (playingBack()) events_->playback().Leave();
  events_->settings().playbackShow = false;
  updatePlaybackPane();
  SaveSettings();
  updateCommands();
}

void MainWindow::ShowStatus(const QString& text) { statusParts_[0]->setText(text); }

void MainWindow::ShowDiskUsage(int percent) {
  if (percent >= 0) statusParts_[2]->setText(QString::fromStdString(FormatString(491, percent)));
}

void MainWindow::MotionAlert() {
  if (events_->settings().motionAlertSilent) {
    QApplication::alert(this, 1000);
  } else {
    QApplication::beep();
  }
}

void MainWindow::showNode(GroupRecord* node) {
  if (!node) return;
  // Recordings are shown in playback, everything else live; a running playback ends
  // first, so that its tiles get back what they showed before others take them.
  const ShowPlan plan = PlanShowEntry(*node, playingBack());
  if (plan.leavePlayback) events_->playback().Leave();
  viewFrame_->showNode(node);
  if (plan.enterPlayback) events_->playback().Enter(node);
  updatePlaybackPane();
  updateCommands();
}

void MainWindow::refreshViewsForSelection() { refreshViewsForSelection(tree_->selectedRecord()); }

void MainWindow::refreshViewsForSelection(GroupRecord* remembered) {
  GroupRecord* root = events_->tree().root.get();
  if (!root) return;
  bool stored = false;
  GroupRecord* node = SavedViewEntry(*root, events_->settings(), &stored);
  if (!node) return;
  if (stored) {
    viewArea_->setCaption(QString::fromStdString(node->name));
    SaveSettings();
  }
  tree_->selectRecord(node);
  showNode(node);
  // The entry the operator works on stays selected.
  if (remembered && remembered != node && tree_->model()->indexOf(remembered).isValid())
    tree_->selectRecord(remembered);
}

void MainWindow::ImportDeviceFile() {
  const QString file = chooseDeviceFile_ ? chooseDeviceFile_() : QString();
  if (file.isEmpty()) return;
  // Held across the import, which may take a leftover folder out of the tree.
  GroupRecord* current = tree_->selectedRecord();
  std::shared_ptr<GroupRecord> selected = current ? current->weak_from_this().lock() : nullptr;
  velmora::ImportDeviceFile(events_->tree(), file.toStdString());
  refreshViewsForSelection(selected.get());
}

void MainWindow::OpenWithDesktop(const std::string& path) {
  if (path.empty()) return;
  open_(QString::fromStdString(path));
}

void MainWindow::ShowContextMenu(GroupRecord* record, const QPoint& globalPos) {
  treeActions_->showContextMenu(record, globalPos);
}

void MainWindow::ToggleFullScreen() {
  if (!fullScreen_) {
    fullScreenWasMaximized_ = isMaximized();
    fullScreenHadStatusBar_ = statusBar()->isVisibleTo(this);
    RememberPlacement();
    statusBar()->hide();
    menuBar()->hide();
    showFullScreen();
  } else {
    menuBar()->show();
    if (fullScreenHadStatusBar_) statusBar()->show();
    if (fullScreenWasMaximized_) {
      showNormal();
      showMaximized();
    } else {
      showNormal();
    }
  }
  fullScreen_ = !fullScreen_;
  escape_->setEnabled(fullScreen_);
  updateCommands();
}

control::Rect MainWindow::WorkArea() const {
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return {};
  const QRect r = screen->availableGeometry();
  return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

void MainWindow::RememberPlacement() {
  if (fullScreen_ || isFullScreen()) return;  // the full-screen frame is not a placement
  const QRect r = isMaximized() || isMinimized() ? normalGeometry() : geometry();
  if (r.isValid()) {
    lastPlacement_.normal = {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
  }
  lastPlacement_.maximized = isMaximized();
  havePlacement_ = true;
}

WindowPlacement MainWindow::placementRecord() const {
  control::FramePlacement frame = lastPlacement_;
  if (isVisible() && !fullScreen_ && !isFullScreen()) {
    const QRect r = isMaximized() || isMinimized() ? normalGeometry() : geometry();
    if (r.isValid()) frame.normal = {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
    frame.maximized = isMaximized();
  } else if (!havePlacement_) {
    const QRect r = geometry();
    frame.normal = {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
  } else if (fullScreen_) {
    frame.maximized = fullScreenWasMaximized_;
  }
  return PlacementRecord(frame);
}

void MainWindow::showWithPlacement(const WindowPlacement& record) {
  const auto frame = PlacementFromRecord(record, WorkArea());
  if (frame) {
    setGeometry(frame->normal.left, frame->normal.top, frame->normal.width(), frame->normal.height());
  } else {
    resize(1024, 720);
  }
  if (frame && frame->maximized) {
    showMaximized();
  } else {
    show();
  }
  RememberPlacement();
}

void MainWindow::bringToFront() {
  if (isMinimized()) {
    setWindowState(windowState() & ~Qt::WindowMinimized);
  }
  if (!isVisible()) {
    if (lastPlacement_.maximized) {
      showMaximized();
    } else {
      show();
    }
  }
  raise();
  activateWindow();
}

bool MainWindow::requestExit(bool shiftHeld) {
  if (events_->settings().recordEnable && !shiftHeld && !ask_(Text(351))) return false;
  RememberPlacement();
  exiting_ = true;
  emit exitRequested();
  return true;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (exiting_) {
    event->accept();
    return;
  }
  event->ignore();
  if (events_->settings().taskbarIcon && TrayIcon::available()) {
    // With the tray icon, closing only hides the window; the tray's Exit ends the program.
    // Without a notification area there would be no way back: the close box exits.
    RememberPlacement();
    hide();
    return;
  }
  runCommand(kCmdExit);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  // The Device List keeps its width (the stored one at first, then the operator's) when
  // the window changes size: the views gain or lose the difference, and the list gives
  // way only where the views would fall below their smallest width.
  if (watched == splitter_ && event->type() == QEvent::Resize) {
    const int total = static_cast<QResizeEvent*>(event)->size().width();
    if (listWidth_ == 0) listWidth_ = DeviceListWidth(events_->settings().deviceListWidth);
    if (total > 0 && deviceList_->isVisibleTo(this)) {
      const int room = total - splitter_->handleWidth() - splitter_->widget(1)->minimumSizeHint().width();
      const int list = std::clamp(listWidth_, kDeviceListMinWidth, std::max(kDeviceListMinWidth, room));
      splitter_->setSizes({list, std::max(1, total - list - splitter_->handleWidth())});
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  if (!snapping_ && !fullScreen_ && !isMaximized() && isVisible() &&
      (QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier)) {
    const QRect f = frameGeometry();
    const control::Rect snapped =
        SnapToWorkArea({f.left(), f.top(), f.left() + f.width(), f.top() + f.height()}, WorkArea());
    if (snapped.left != f.left() || snapped.top != f.top()) {
      snapping_ = true;
      move(snapped.left, snapped.top);
      snapping_ = false;
    }
  }
  if (!fullScreen_ && !isMaximized() && isVisible()) RememberPlacement();
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && !fullScreen_ && isVisible()) RememberPlacement();
}

}  // namespace velmora::ui
