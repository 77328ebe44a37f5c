#include "ui/help_about.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProcess>
#include <QVBoxLayout>

#include "app/helpers.h"
#include "app/log.h"
#include "app/strings.h"
#include "control/option_effects.h"
#include "ui/icons.h"

namespace velmora::ui {

namespace {

constexpr const char* kHelpWhere = "CMainFrame::OnHelpContents";

QString ResFolder() {
#ifdef VELMORA_RES_DIR
  return QStringLiteral(VELMORA_RES_DIR);
#else
  return QString();
#endif
}

}  // namespace

QString ManualPath() {
  for (const std::string& candidate : control::ManualCandidates(
           QCoreApplication::applicationDirPath().toStdString(), ResFolder().toStdString())) {
    const QString path = QString::fromStdString(candidate);
    if (QFileInfo(path).isFile()) return QFileInfo(path).absoluteFilePath();
  }
  return QString();
}

void OpenManual(QObject* owner) {
  const QString cwd = QDir::currentPath();
  const QString manual = ManualPath();
  if (manual.isEmpty()) {
    Log("%s: the manual was not found, cwd=[%s]", kHelpWhere, cwd.toUtf8().constData());
    return;
  }
  auto* process = new QProcess(owner);
  process->setProgram(QStringLiteral("xdg-open"));
  process->setArguments({manual});
  QObject::connect(process, &QProcess::finished, process, [process, cwd](int code, QProcess::ExitStatus status) {
    if (status != QProcess::NormalExit || code != 0) {
      const std::string text = status != QProcess::NormalExit ? std::string("xdg-open ended abnormally")
                                                              : control::XdgResultText(code);
      Log("%s: xdg-open failed, err=%d (%s), cwd=[%s]", kHelpWhere, code, text.c_str(), cwd.toUtf8().constData());
    }
    process->deleteLater();
  });
  QObject::connect(process, &QProcess::errorOccurred, process, [process, cwd](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;
    Log("%s: xdg-open failed, err=%s, cwd=[%s]", kHelpWhere, process->errorString().toUtf8().constData(),
        cwd.toUtf8().constData());
    process->deleteLater();
  });
  process->start();
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("aboutDialog100"));
  const QString name = QString::fromStdString(StringText(128));
  setWindowTitle(tr("About %1").arg(name));
  auto* row = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(ThemeIcon("camera-video", "velmora-nvr").pixmap(48, 48));
  row->addWidget(icon, 0, Qt::AlignTop);
  auto* texts = new QVBoxLayout;
  texts->addWidget(new QLabel(name, this));
  version_ = new QLabel(QStringLiteral("Version ") + QString::fromStdString(VersionString()), this);
  version_->setObjectName(QStringLiteral("version1298"));
  texts->addWidget(version_);
  texts->addWidget(new QLabel(tr("A network video recorder for IP cameras."), this));
  row->addLayout(texts, 1);
  auto* column = new QVBoxLayout(this);
  column->addLayout(row);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  column->addWidget(buttons);
}

}  // namespace velmora::ui
