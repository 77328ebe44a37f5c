// The main frame: the one top-level window. It lays out the panes (Device List at the
// left, the view area with its views toolbar and the view frame, Playback Controls along
// the bottom, the three-part status bar), carries the command table (actions with their
// command ids, the menu bar, the accelerator table, the views toolbar), applies the
// enabling rules of control/commands.h whenever a menu opens or the state they read
// changes, and turns CoreEvents' signals into what the panes show. Logic that needs no
// widget lives in control/ and the core; this class wires it up.
//
// GUI thread only.
#pragma once

#include <QMainWindow>

#include <map>
#include <vector>

#include "app/installed.h"
#include "app/settings.h"
#include "control/frame_layout.h"
#include "control/property_rules.h"
#include "playback/export_writer.h"
#include "net/discovery.h"
#include "platform/mount_table.h"

class QAction;
class QLabel;
class QMenu;
class QShortcut;
class QSplitter;
class QToolBar;

namespace velmora {
class Application;
struct GroupRecord;
}  // namespace velmora

namespace velmora::ui {

class CoreEvents;
class ImageShare;
class OptionsCommand;
class Pane;
class PlaybackPane;
class TrayIcon;
class TreeActions;
class TreePane;
class ViewFrame;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // app may be null (widget tests): commands that need the running core then only
  // change the settings. events (never null) carries the process-wide playback
  // controller's reports and must outlive the window.
  MainWindow(Application* app, CoreEvents* events, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Runs a command as the menus, toolbars and accelerators do: nothing when the command
  // is disabled now.
  void runCommand(int commandId);
  // The action of a command id (null when the window has none).
  QAction* action(int commandId) const;
  // The command an accelerator key sends (0 for none).
  int acceleratorCommand(const QKeySequence& key) const;
  // Re-evaluates every action's enabled and checked state.
  void updateCommands();

  // Placement: the 44-byte record of the frame now, and showing the frame as a record asks.
  WindowPlacement placementRecord() const;
  void showWithPlacement(const WindowPlacement& record);

  // Shows `node` in the views (bold in the tree, its devices in the tiles).
  void showNode(GroupRecord* node);
  // Shows the node named by viewName again (the first top-level entry when there is
  // none, which then becomes viewName); the selected entry, or `remembered`, stays
  // selected.
  void refreshViewsForSelection();
  void refreshViewsForSelection(GroupRecord* remembered);
  // The Playback Controls pane is shown while playback mode or playbackShow is on.
  void updatePlaybackPane();
  // A second start: the window comes to the front, restored from the tray or minimised.
  void bringToFront();
  // Exit (kCmdExit and kCmdTrayExit, 236 and 234): asks string 351 while recording unless Shift is held;
  // true when the program is ending.
  bool requestExit(bool shiftHeld);

  bool isFullScreenMode() const { return fullScreen_; }
  bool exiting() const { return exiting_; }
  QLabel* statusPart(int part) const { return statusParts_[part]; }
  // The status bar's mark saying whether the program records ("Recording" / "Not recording").
  QLabel* recordingMark() const { return recordingMark_; }
  // The Device List and the views side by side; the list's width is kept in
  // deviceListWidth (saved with the window placement).
  QSplitter* frameSplitter() const { return splitter_; }
  Pane* deviceListPane() const { return deviceList_; }
  Pane* playbackPane() const { return playback_; }
  PlaybackPane* playbackControls() const { return playbackControls_; }
  // Playback mode is on (the playback controller's flag).
  bool playingBack() const;
  Pane* viewPane() const { return viewArea_; }
  QToolBar* viewsToolbar() const { return viewsToolbar_; }
  ViewFrame* viewFrame() const { return viewFrame_; }
  TreePane* treePane() const { return tree_; }
  TrayIcon* trayIcon() const { return tray_; }
  ImageShare* imageShare() const { return share_; }
  OptionsCommand* optionsCommand() const { return options_; }
  TreeActions* treeActions() const { return treeActions_; }

  // How files and folders are handed to the desktop (xdg-open by default, a warning box
  // naming the path and the reason when it fails; tests replace it).
  void setExternalOpener(std::function<void(const QString&)> open) { open_ = std::move(open); }
  // How the Exit question is asked (tests replace it); returns true for Yes.
  void setQuestionAsker(std::function<bool(const QString&)> ask) { ask_ = std::move(ask); }
  // How the settings are saved (the application's files by default; tests replace it).
  void setSettingsSaver(std::function<void()> save) { save_ = std::move(save); }
  // How Import Device File asks for the file (a file dialog by default; tests replace
  // it); an empty answer cancels.
  void setDeviceFileChooser(std::function<QString()> choose) { chooseDeviceFile_ = std::move(choose); }
  // Where the property sheets' backup reads the removable drives: the Core's, which
  // outlives the window (null: the system's mount table and sysfs).
  void setMediaSource(const platform::MountTableSource* source) { mediaSource_ = source; }

 signals:
  // An accelerator key was pressed; sent before the enabling check.
  void acceleratorPressed(int commandId);
  // The operator confirmed Exit: the program ends its event loop and shuts down.
  void exitRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void CreateActions();
  void CreateMenus();
  void CreateAccelerators();
  void CreatePanes();
  void CreateStatusBar();
  void ConnectCore();
  void Execute(int commandId);
  // Execute's handlers, one per group of commands: true when the command was the group's.
  bool ExecuteDeviceCommand(int id);
  bool ExecuteViewCommand(int id);
  bool ExecuteImageCommand(int id);
  bool ExecutePlaybackCommand(int id);
  bool ExecuteProgramCommand(int id);
  void SaveSettings();
  void SetStatusBarVisible(bool visible);
  void SetDeviceListVisible(bool visible);
  void ToggleFullScreen();
  void ImportDeviceFile();
  void OpenWithDesktop(const std::string& path);
  void ShowStatus(const QString& text);
  void ShowDiskUsage(int percent);
  void MotionAlert();
  void PaneClosed(Pane* pane);
  void ShowContextMenu(GroupRecord* record, const QPoint& globalPos);
  void ShowRecordingMark();
  // The "Add Camera..." popup of the File menu: the window's template actions.
  QMenu* AddCameraPopup(QWidget* parent);
  control::Rect WorkArea() const;
  void RememberPlacement();

  Application* app_;
  CoreEvents* events_;
  std::map<int, QAction*> actions_;
  std::vector<QMenu*> menus_;
  std::vector<std::pair<QShortcut*, int>> accelerators_;
  QLabel* statusParts_[3] = {nullptr, nullptr, nullptr};
  QLabel* recordingMark_ = nullptr;
  QSplitter* splitter_ = nullptr;
  int listWidth_ = 0;  // the Device List's width to keep (0: the stored one, not read yet)
  Pane* deviceList_ = nullptr;
  Pane* playback_ = nullptr;
  PlaybackPane* playbackControls_ = nullptr;
  Pane* viewArea_ = nullptr;
  QToolBar* viewsToolbar_ = nullptr;
  ViewFrame* viewFrame_ = nullptr;
  TreePane* tree_ = nullptr;
  TreeActions* treeActions_ = nullptr;
  QShortcut* escape_ = nullptr;
  TrayIcon* tray_ = nullptr;
  ImageShare* share_ = nullptr;
  OptionsCommand* options_ = nullptr;
  // The AVI name the next export dialog proposes, advanced by each export that remembers
  // its path.
  ExportNaming exportNaming_;
  // The property sheet page shown last: the next sheet opens on it.
  int lastPropertyPage_ = control::kDeviceInfoPage;

  bool fullScreen_ = false;
  bool fullScreenWasMaximized_ = false;
  bool fullScreenHadStatusBar_ = false;
  bool exiting_ = false;
  bool snapping_ = false;
  // The frame's restored rectangle and maximised state while it was last shown, kept
  // for the placement record of a hidden frame.
  control::FramePlacement lastPlacement_;
  bool havePlacement_ = false;
  std::function<bool(const QString&)> ask_;
  std::function<void(const QString&)> open_;
  std::function<void()> save_;
  std::function<QString()> chooseDeviceFile_;
  const platform::MountTableSource* mediaSource_ = nullptr;

  // A device that discovery adds is selected in the tree and scrolled into view. The
  // window installs this while it lives (the first window, when tests make several).
  class DiscoveredEntries final : public net::DiscoverySelection {
   public:
    explicit DiscoveredEntries(MainWindow& window) : window_(window) {}
    void selectEntry(GroupRecord& record) override;

   private:
    MainWindow& window_;
  };
  DiscoveredEntries discovered_{*this};
  Installation discoveredInstalled_;
};

// The frame's title: the product name, and " v" with the version when there is one.
QString FrameTitle();

}  // namespace velmora::ui
