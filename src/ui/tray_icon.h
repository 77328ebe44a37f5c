// The notification-area icon: shown while taskbarIcon is on, with the application icon
// and title. A left click restores and activates the main window; the right-click menu
// offers the title (the same as the click, and the default item) and Exit. Both menu
// items send their command ids (233, 234) to the window.
//
// GUI thread only.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QMenu;
class QSystemTrayIcon;

namespace velmora::ui {

class TrayIcon : public QObject {
  Q_OBJECT

 public:
  // runCommand carries out a command id as the window's menus do.
  TrayIcon(std::function<void(int)> runCommand, QObject* parent = nullptr);
  ~TrayIcon() override;

  // Adds (true) or removes the icon. Where the desktop has no notification area nothing
  // is shown and shown() stays false.
  void setShown(bool shown);
  bool shown() const { return shown_; }
  // The right-click menu (its actions carry the command ids as data).
  QMenu* menu() const { return menu_; }
  // What a click on the icon does, for the desktop's activation reasons.
  void activate(int reason);

  // Whether the desktop has a notification area. Tests may decide it.
  static bool available();
  static void setAvailableForTesting(std::optional<bool> available);

 private:
  std::function<void(int)> runCommand_;
  QMenu* menu_ = nullptr;
  QSystemTrayIcon* icon_ = nullptr;
  bool shown_ = false;
};

}  // namespace velmora::ui
