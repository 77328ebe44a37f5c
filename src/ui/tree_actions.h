// The device tree's commands in the window: the context menu of each kind of entry (with
// a group's "Add Camera..." menu of generic cameras and device templates), New Group,
// the templates, Add Camera,
// Rename in place, Delete with its question, Enabled, Recording, Sort, Cut, Copy and
// Paste through the clipboard, dropped device files, and moving entries by drag and
// drop. The rules are control/tree_ops.h's; this class asks, reports and selects.
//
// GUI thread only.
#pragma once

#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QUrl>

#include <functional>

#include "control/tree_ops.h"

class QMenu;

namespace velmora::ui {

class MainWindow;
class TreePane;

class TreeActions : public QObject {
  Q_OBJECT

 public:
  // Handles the tree's edited labels, delete keys, drops and the window's dropped files.
  TreeActions(MainWindow* window, TreePane* tree, DeviceTree& devices);

  // The Properties sheet for a device added from a template (true when OK was pressed).
  // Without one, templates add nothing.
  void setPropertiesRunner(control::PropertiesRunner runner) { properties_ = std::move(runner); }
  // How the Delete question (string 290) is asked; true for Yes.
  void setQuestionAsker(std::function<bool(const QString&)> ask) { ask_ = std::move(ask); }
  // How a refusal is reported (a warning box titled with the product name).
  void setMessageShower(std::function<void(const QString&)> show) { show_ = std::move(show); }
  // How the settings are saved after viewName followed a renamed group.
  void setSettingsSaver(std::function<void()> save) { saveSettings_ = std::move(save); }

  // Carries out a tree command (the window checked that it is enabled). False for a
  // command that is not the tree's.
  bool execute(int commandId);

  // The context menu of an entry's kind, its items holding the window's command ids.
  // The caller owns the menu.
  QMenu* buildContextMenu(GroupRecord* record, QWidget* parent);
  void showContextMenu(GroupRecord* record, const QPoint& globalPos);

  // Delete on the selected entry: asks string 290 unless Shift is held.
  void deleteSelected(bool shiftHeld);
  // Dropped files: each ".xml" file (any letter case) is imported, others are ignored.
  // Returns the number imported.
  int importDroppedFiles(const QList<QUrl>& urls);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Apply(const control::TreeOpResult& result);
  void Report(int messageId, long long value);
  void RefreshViews();
  void Copy(GroupRecord* entry);
  void Paste(GroupRecord* selected);
  void LabelEdited(GroupRecord* record, const QString& text);
  void Dropped(GroupRecord* source, GroupRecord* target);

  MainWindow* window_;
  TreePane* tree_;
  DeviceTree& devices_;  // the tree the actions change
  control::PropertiesRunner properties_;
  std::function<bool(const QString&)> ask_;
  std::function<void(const QString&)> show_;
  std::function<void()> saveSettings_;
};

}  // namespace velmora::ui
