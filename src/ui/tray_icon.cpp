#include "ui/tray_icon.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include "app/strings.h"
#include "control/commands.h"
#include "ui/icons.h"

namespace velmora::ui {

namespace {

std::optional<bool>& availableOverride() {
  static std::optional<bool> value;
  return value;
}

QString Title() { return QString::fromStdString(StringText(128)); }

}  // namespace

TrayIcon::TrayIcon(std::function<void(int)> runCommand, QObject* parent)
    : QObject(parent), runCommand_(std::move(runCommand)) {
  menu_ = new QMenu();
  menu_->setObjectName(QStringLiteral("trayMenu241"));
  // The first item reads as the application title and is the default one.
  QAction* restore = menu_->addAction(Title());
  restore->setData(control::kCmdTrayRestore);
  QFont bold = restore->font();
  bold.setBold(true);
  restore->setFont(bold);
  QAction* exit = menu_->addAction(QString::fromStdString(StringText(control::kCmdTrayExit)));
  exit->setData(control::kCmdTrayExit);
  connect(menu_, &QMenu::triggered, this, [this](QAction* a) {
    if (runCommand_) runCommand_(a->data().toInt());
  });
}

TrayIcon::~TrayIcon() {
  delete icon_;
  delete menu_;
}

bool TrayIcon::available() {
  if (availableOverride()) return *availableOverride();
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::setAvailableForTesting(std::optional<bool> available) { availableOverride() = available; }

void TrayIcon::setShown(bool shown) {
  if (!shown) {
    if (icon_) icon_->hide();
    shown_ = false;
    return;
  }
  if (!available()) return;  // a failed add is ignored
  if (!icon_) {
    icon_ = new QSystemTrayIcon(ThemeIcon("camera-video", "velmora-nvr"));
    // The tip is the title, at most 128 characters.
    icon_->setToolTip(Title().left(128));
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { activate(static_cast<int>(reason)); });
  }
  // The title may have changed since the menu was made.
  menu_->actions().front()->setText(Title());
  if (QSystemTrayIcon::isSystemTrayAvailable()) icon_->show();
  shown_ = true;
}

void TrayIcon::activate(int reason) {
  // A left click (Trigger) and a double click restore the window; the context menu is
  // Qt's own on a right click; the other reasons are ignored.
  if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
    if (runCommand_) runCommand_(control::kCmdTrayRestore);
  }
}

}  // namespace velmora::ui
