#include "ui/desktop_open.h"

#include <QDir>
#include <QMessageBox>
#include <QProcess>

#include "app/helpers.h"
#include "app/log.h"
#include "app/strings.h"
#include "control/option_effects.h"

namespace velmora::ui {

void OpenWithDesktop(QObject* owner, const QString& path, const char* where,
                     std::function<void(const QString& text)> failed) {
  auto* process = new QProcess(owner);
  process->setProgram(QStringLiteral("xdg-open"));
  process->setArguments({path});
  const QString cwd = QDir::currentPath();
  auto tell = [path, failed = std::move(failed)](const std::string& reason) {
    if (failed) failed(QString::fromStdString(control::OpenFailedText(path.toStdString(), reason)));
  };
  QObject::connect(process, &QProcess::finished, process,
                   [process, where, cwd, tell](int code, QProcess::ExitStatus status) {
                     if (status != QProcess::NormalExit || code != 0) {
                       const std::string text = status != QProcess::NormalExit ? std::string("xdg-open ended abnormally")
                                                                               : control::XdgResultText(code);
                       Log("%s: xdg-open failed, err=%d (%s), cwd=[%s]", where, code, text.c_str(),
                           LogSafe(cwd.toStdString()).c_str());
                       tell(status != QProcess::NormalExit ? StringText(810) : control::XdgFailureReason(code));
                     }
                     process->deleteLater();
                   });
  QObject::connect(process, &QProcess::errorOccurred, process, [process, where, cwd, tell](QProcess::ProcessError error) {
    // A process that could not start never finishes: this is its only report.
    if (error != QProcess::FailedToStart) return;
    Log("%s: xdg-open failed, err=%s, cwd=[%s]", where, process->errorString().toUtf8().constData(),
        LogSafe(cwd.toStdString()).c_str());
    tell(StringText(809) + " " + process->errorString().toStdString());
    process->deleteLater();
  });
  process->start();
}

QWidget* ShowOpenFailure(QWidget* parent, const QString& text) {
  auto* box = new QMessageBox(QMessageBox::Warning, QString::fromStdString(StringText(128)), text, QMessageBox::Ok,
                              parent);
  box->setObjectName(QStringLiteral("openFailedBox"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
  return box;
}

}  // namespace velmora::ui
