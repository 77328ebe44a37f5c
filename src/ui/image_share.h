// The tile context menu's sharing commands and device pages: Copy Image, Save this
// image as JPEG, Send Image (through xdg-email), Telnet to this device, and the device's
// configuration and main pages in the browser. Each works on the selected tree entry
// and its tile, and unfreezes the tiles when it is done, also when it did nothing.
//
// External programs are started with QProcess and an argument list, never through a
// shell, so names and URLs from the tree are always one argument.
//
// GUI thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

#include "control/option_effects.h"

namespace velmora {
struct GroupRecord;
}

class QProcess;
class QTimer;

namespace velmora::ui {

class ViewFrame;

// What the selected entry's tile holds (for the enabling rules).
struct TileContent {
  bool image = false;  // a frame, decoded or not
  bool jpeg = false;   // the frame's JPEG bytes
};
TileContent ContentOfTile(const GroupRecord* node);

class ImageShare : public QObject {
  Q_OBJECT

 public:
  // window: disabled while the mail client starts, parent of the dialogs.
  // selected: the tree's selected entry. saveSettings: after pathPictures changed.
  ImageShare(QWidget* window, ViewFrame* frame, std::function<GroupRecord*()> selected,
             std::function<void()> saveSettings);
  ~ImageShare() override;

  void copyImage();
  void saveJpeg();
  void sendImage();
  void telnet();
  void openConfigurePage();
  void openMainPage();

  // Tests: the save dialog (returns the chosen path, empty for Cancel), the warning box,
  // and how a detached program is started.
  void setFileChooser(std::function<QString(const QString& proposed)> choose) { choose_ = std::move(choose); }
  void setMessageShower(std::function<void(const QString&)> show) { message_ = std::move(show); }
  void setProgramStarter(std::function<bool(const QString&, const QStringList&)> start) {
    start_ = std::move(start);
  }
  // Mail clients still starting.
  int mailsRunning() const { return static_cast<int>(mails_.size()); }

 signals:
  // A Send Image ended: its xdg-email exited (or could not start) and the attachment is
  // gone.
  void mailFinished(bool ok);

 private:
  struct Mail;
  void OpenPage(bool configure);
  bool Running(const Mail* mail) const;
  void FinishMail(Mail* mail, bool ok, const QString& failure);
  void Unfreeze();

  QWidget* window_;
  ViewFrame* frame_;
  std::function<GroupRecord*()> selected_;
  std::function<void()> saveSettings_;
  std::function<QString(const QString&)> choose_;
  std::function<void(const QString&)> message_;
  std::function<bool(const QString&, const QStringList&)> start_;
  std::vector<std::unique_ptr<Mail>> mails_;
  // The next proposed name for Save as JPEG, advanced by each save of this window.
  control::PictureNaming pictureNaming_;
};

}  // namespace velmora::ui
