// The Options dialog and the Options command: the dialog is a thin view over
// control::OptionValues (one check box per setting, the start-at-login box, the drive
// capacity box 4..95); OptionsCommand opens it, and on OK applies the values in
// control::ApplyOptions' order and carries out the effects it returns.
//
// GUI thread only.
#pragma once

#include <QDialog>

#include <functional>
#include <map>
#include <string>

#include "control/option_effects.h"

class QCheckBox;
class QLabel;
class QLineEdit;

namespace velmora::ui {

// Control ids of the dialog's boxes (the check boxes' object names are "option<id>").
constexpr int kOptStretch = 1242;
constexpr int kOptResampleSmall = 1332;
constexpr int kOptResampleLarge = 1333;
constexpr int kOptCaption = 1300;
constexpr int kOptCaptionFps = 1123;
constexpr int kOptCaptionSize = 1124;
constexpr int kOptCaptionDimensions = 1244;
constexpr int kOptCaptionMotion = 1331;
constexpr int kOptSilentAlert = 1243;
constexpr int kOptTaskbarIcon = 1299;
constexpr int kOptRunAtStartup = 1346;
constexpr int kOptPlaybackShow = 1328;

class OptionsDialog : public QDialog {
  Q_OBJECT

 public:
  // trayAvailable false disables the taskbar icon box and says why.
  OptionsDialog(const control::OptionValues& values, bool trayAvailable, QWidget* parent = nullptr);

  // The boxes' values now; diskFullness is the value accepted by OK (the initial one
  // before that).
  control::OptionValues values() const;
  QCheckBox* checkBox(int controlId) const;
  QLineEdit* capacityBox() const { return capacity_; }
  QLabel* trayNote() const { return trayNote_; }

  // How the range message is shown (a warning box by default; tests replace it).
  void setMessageShower(std::function<void(const QString&)> show) { message_ = std::move(show); }

  // OK: refused, with the range message and the dialog kept open, when the capacity box
  // holds no whole number 4..95.
  void accept() override;

 private:
  void UpdateCaptionDetails();
  void StepCapacity(int delta);

  std::map<int, QCheckBox*> boxes_;
  QLineEdit* capacity_ = nullptr;
  QLabel* trayNote_ = nullptr;
  int diskFullness_ = 0;
  std::function<void(const QString&)> message_;
};

// What applying options changes in the window.
struct OptionsTargets {
  std::function<void(bool erase)> repaintViews;
  std::function<void(bool on)> setTrayIcon;
  std::function<void()> updatePlaybackPane;  // shows or hides the pane, lays out the frame
  std::function<void()> saveSettings;
};

class OptionsCommand : public QObject {
  Q_OBJECT

 public:
  // Notes whether the start-at-login entry exists now; the dialog shows that state
  // until it changes it (an entry deleted by hand shows until the next start). The
  // dialog shows and changes `settings`, the program's.
  OptionsCommand(QWidget* window, Settings& settings, OptionsTargets targets);

  // Opens the dialog modally and applies it on OK. Returns true when OK was pressed.
  bool run();
  bool runAtStartup() const { return runAtStartup_; }
  const std::string& startupEntryPath() const { return entryPath_; }

  // Tests: instead of exec(), the driver works the dialog and returns its result code.
  void setDialogDriver(std::function<int(OptionsDialog&)> driver) { driver_ = std::move(driver); }

 private:
  QWidget* window_;
  Settings& settings_;
  OptionsTargets targets_;
  std::string entryPath_;
  bool runAtStartup_ = false;
  std::function<int(OptionsDialog&)> driver_;
};

}  // namespace velmora::ui
