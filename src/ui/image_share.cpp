#include "ui/image_share.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>
#include <QWidget>

#include "app/helpers.h"
#include "app/log.h"
#include "app/settings.h"
#include "app/strings.h"
#include "control/option_effects.h"
#include "media/jpeg.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "ui/view_frame.h"
#include "ui/view_tile.h"

namespace velmora::ui {

namespace {

// How long the window stays disabled while the mail client starts. xdg-email returns
// once the client has the message, but with some clients it waits until the client
// ends; the window is given back after this time and the attachment kept until then.
constexpr int kMailWindowHoldMs = 30000;

QString Text(int id) { return QString::fromStdString(StringText(id)); }

bool IsDeviceKind(const GroupRecord* node) {
  return node != nullptr && (node->kind == EntryKind::Device || node->kind == EntryKind::ServerCamera);
}

// The tile the node is shown in, or null.
ViewSlot* SlotOf(const GroupRecord* node) {
  return node == nullptr || node->shownIn == nullptr ? nullptr : node->shownIn->at(node->viewIndex);
}

// The device's URL; DeviceUrl normalises the location, which workers read under the
// fetch lock.
std::string LockedDeviceUrl(GroupRecord& node) {
  std::lock_guard<std::mutex> lock(node.fetchLock);
  return DeviceUrl(node);
}

// The filter of string 309 ("Description|pattern|...||") in the form Qt's dialogs take.
QString DialogFilter() {
  const QStringList parts = Text(309).split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    if (!parts[i].isEmpty()) filters << parts[i];
  }
  return filters.join(QStringLiteral(";;"));
}

QStringList ToQt(const std::vector<std::string>& list) {
  QStringList out;
  for (const std::string& s : list) out << QString::fromStdString(s);
  return out;
}

std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    const QFileInfo info(QString::fromStdString(name));
    return info.isFile() && info.isExecutable() ? name : std::string();
  }
  return QStandardPaths::findExecutable(QString::fromStdString(name)).toStdString();
}

}  // namespace

TileContent ContentOfTile(const GroupRecord* node) {
  TileContent content;
  const ViewSlot* slot = SlotOf(node);
  if (slot == nullptr) return content;
  const ViewSlotState state = slot->Snapshot();
  if (!state.image) return content;
  content.jpeg = state.image->jpeg && state.image->length > 0;
  content.image = content.jpeg || (state.image->image && state.image->image->valid());
  return content;
}

struct ImageShare::Mail {
  QProcess* process = nullptr;
  QString folder;  // the temporary folder holding image.jpg
  bool holdsWindow = true;
};

ImageShare::ImageShare(QWidget* window, ViewFrame* frame, std::function<GroupRecord*()> selected,
                       std::function<void()> saveSettings)
    : QObject(window),
      window_(window),
      frame_(frame),
      selected_(std::move(selected)),
      saveSettings_(std::move(saveSettings)) {
  choose_ = [this](const QString& proposed) {
    QFileDialog dialog(window_, QString(), proposed, DialogFilter());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("jpg"));
    dialog.selectFile(proposed);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().front();
  };
  message_ = [this](const QString& text) { QMessageBox::warning(window_, Text(128), text); };
  start_ = [](const QString& program, const QStringList& args) { return QProcess::startDetached(program, args); };
}

ImageShare::~ImageShare() {
  // The window is going: an xdg-email still running is ended with it (its process is
  // a child of this object) and the attachments are removed.
  for (auto& mail : mails_) {
    if (mail->process) mail->process->disconnect(this);
    if (!mail->folder.isEmpty()) QDir(mail->folder).removeRecursively();
  }
}

void ImageShare::Unfreeze() {
  if (frame_) frame_->unfreezeTiles();
}

void ImageShare::copyImage() {
  const GroupRecord* node = selected_ ? selected_() : nullptr;
  if (const ViewSlot* slot = SlotOf(node)) {
    std::unique_ptr<Image> image = slot->CopyImage();
    if (!image) {
      // A frame not decoded yet is decoded from its bytes.
      const std::vector<uint8_t> bytes = slot->CopyJpeg();
      if (!bytes.empty()) image = ImageFromBuffer(bytes.data(), bytes.size());
    }
    if (image && image->valid()) {
      const FrameView view = ViewOfFrame(*image);
      // The view is over the frame's bottom-up rows: the clipboard gets its own copy, the
      // right way up.
      const QImage picture = view.flipped ? view.image.mirrored(false, true) : view.image.copy();
      if (!picture.isNull()) QApplication::clipboard()->setImage(picture);
    }
  }
  Unfreeze();
}

void ImageShare::saveJpeg() {
  const GroupRecord* node = selected_ ? selected_() : nullptr;
  const ViewSlot* slot = SlotOf(node);
  const std::vector<uint8_t> bytes = slot ? slot->CopyJpeg() : std::vector<uint8_t>();
  if (bytes.empty()) {
    Unfreeze();
    return;
  }
  const QString proposed = QString::fromStdString(pictureNaming_.Proposal(frame_->settings().pathPictures));
  QString chosen = choose_(proposed);
  if (chosen.isEmpty()) {
    Unfreeze();
    return;
  }
  if (QFileInfo(chosen).suffix().isEmpty() && !chosen.endsWith('.')) chosen += QStringLiteral(".jpg");
  const std::string chosenPath = chosen.toStdString();
  frame_->settings().pathPictures = control::FolderOf(chosenPath);
  if (saveSettings_) saveSettings_();

  // Written through a temporary file beside it: a failed write leaves an existing file
  // as it was instead of half replaced.
  QSaveFile file(chosen);
  errno = 0;
  if (!file.open(QIODevice::WriteOnly)) {
    const int error = errno != 0 ? errno : static_cast<int>(file.error());
    message_(Text(310) + QStringLiteral("(%1)").arg(error));
  } else {
    const qint64 written = file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    if (written != static_cast<qint64>(bytes.size()) || !file.commit()) {
      file.cancelWriting();
      message_(Text(311));
      Unfreeze();
      return;
    }
  }
  pictureNaming_.Advance(chosenPath);
  Unfreeze();
}

void ImageShare::sendImage() {
  GroupRecord* node = selected_ ? selected_() : nullptr;
  const ViewSlot* slot = SlotOf(node);
  const std::vector<uint8_t> bytes = slot ? slot->CopyJpeg() : std::vector<uint8_t>();
  Unfreeze();  // the bytes are ours now
  if (bytes.empty() || node == nullptr) return;
  const std::string deviceText = node->path;

  const QString program = QStandardPaths::findExecutable(QStringLiteral("xdg-email"));
  if (program.isEmpty()) {
    Log("error starting %s: %s", "xdg-email", "not found on PATH");
    return;
  }
  QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/imgXXXXXX"));
  if (mkdtemp(pattern.data()) == nullptr) {
    LogLastError("mkdtemp");
    return;
  }
  auto mail = std::make_unique<Mail>();
  mail->folder = QFile::decodeName(pattern);
  // The recipient sees the attachment as image.jpg.
  const QString attachment = mail->folder + QStringLiteral("/image.jpg");
  {
    QFile file(attachment);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) !=
            static_cast<qint64>(bytes.size()) ||
        !file.flush()) {
      Log("Send Image: cannot write [%s] (%s)", attachment.toUtf8().constData(), file.errorString().toUtf8().constData());
      file.close();
      QDir(mail->folder).removeRecursively();
      return;
    }
  }

  const std::string body = control::MailBody(deviceText, std::time(nullptr));
  mail->process = new QProcess(this);
  mail->process->setProgram(program);
  mail->process->setArguments(ToQt(control::MailArguments(deviceText, body, attachment.toStdString())));
  Mail* raw = mail.get();
  connect(mail->process, &QProcess::finished, this, [this, raw](int code, QProcess::ExitStatus status) {
    if (status != QProcess::NormalExit) {
      FinishMail(raw, false, QStringLiteral("xdg-email ended abnormally"));
    } else if (code != 0) {
      FinishMail(raw, false, QString::fromStdString(control::XdgResultText(code)));
    } else {
      FinishMail(raw, true, QString());
    }
  });
  connect(mail->process, &QProcess::errorOccurred, this, [this, raw](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) FinishMail(raw, false, raw->process->errorString());
  });
  mails_.push_back(std::move(mail));

  // The window waits while the mail client starts.
  window_->setEnabled(false);
  QTimer::singleShot(kMailWindowHoldMs, raw->process, [this, raw] {
    if (!Running(raw)) return;
    raw->holdsWindow = false;
    bool held = false;
    for (const auto& m : mails_) held = held || m->holdsWindow;
    if (!held) window_->setEnabled(true);
  });
  raw->process->start();
}

bool ImageShare::Running(const Mail* mail) const {
  for (const auto& m : mails_) {
    if (m.get() == mail) return true;
  }
  return false;
}

void ImageShare::FinishMail(Mail* mail, bool ok, const QString& failure) {
  // A mail already finished is gone from the list (its process is deleted later, so a
  // late signal of it may still arrive).
  if (!Running(mail)) return;
  if (!ok) Log("xdg-email: %s", failure.toUtf8().constData());
  QDir(mail->folder).removeRecursively();
  mail->holdsWindow = false;
  bool held = false;
  for (const auto& m : mails_) held = held || m->holdsWindow;
  if (!held && !window_->isEnabled()) {
    window_->setEnabled(true);
    window_->activateWindow();
  }
  for (auto it = mails_.begin(); it != mails_.end(); ++it) {
    if (it->get() == mail) {
      mail->process->deleteLater();
      mails_.erase(it);
      break;
    }
  }
  emit mailFinished(ok);
}

void ImageShare::telnet() {
  GroupRecord* node = selected_ ? selected_() : nullptr;
  Unfreeze();
  if (!IsDeviceKind(node)) return;
  const std::optional<control::UrlParts> parts = control::SplitDeviceUrl(LockedDeviceUrl(*node));
  if (!parts || parts->host.empty()) return;
  // A host is never an option of telnet.
  if (parts->host.front() == '-') {
    Log("Telnet: refused host [%s]", parts->host.c_str());
    return;
  }
  const std::optional<control::ProgramCall> call =
      control::TelnetCall(parts->host, std::getenv("TERMINAL"), [](const std::string& name) { return FindProgram(name); });
  if (!call) {
    message_(tr("No terminal emulator was found to run telnet in. Set the TERMINAL variable to one, "
                "or install a terminal emulator that provides x-terminal-emulator."));
    return;
  }
  if (FindProgram("telnet").empty()) {
    message_(tr("The telnet program is not installed."));
    return;
  }
  if (!start_(QString::fromStdString(call->program), ToQt(call->arguments)))
    Log("Telnet: %s could not be started", call->program.c_str());
}

void ImageShare::openConfigurePage() { OpenPage(true); }

void ImageShare::openMainPage() { OpenPage(false); }

void ImageShare::OpenPage(bool configure) {
  GroupRecord* node = selected_ ? selected_() : nullptr;
  Unfreeze();
  if (!IsDeviceKind(node)) return;
  const std::optional<control::DevicePages> pages =
      control::DevicePageUrls(LockedDeviceUrl(*node), node->kind, node->cameraIndex);
  if (!pages) return;
  const std::string& page = configure ? pages->configure : pages->main;
  if (!start_(QStringLiteral("xdg-open"), {QString::fromStdString(page)}))
    Log("%s failed for [%s]", "xdg-open", UrlWithoutPassword(page).c_str());
}

}  // namespace velmora::ui
