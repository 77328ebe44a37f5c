#include "ui/help_about.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/helpers.h"
#include "app/log.h"
#include "app/strings.h"
#include "control/option_effects.h"
#include "ui/desktop_open.h"
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

void OpenManual(QObject* owner, std::function<void(const QString& text)> failed) {
  const QString cwd = QDir::currentPath();
  const QString manual = ManualPath();
  if (manual.isEmpty()) {
    Log("%s: the manual was not found, cwd=[%s]", kHelpWhere, cwd.toUtf8().constData());
    // The place it was looked for first names what is missing.
    const std::vector<std::string> candidates = control::ManualCandidates(
        QCoreApplication::applicationDirPath().toStdString(), ResFolder().toStdString());
    if (failed) {
      failed(QString::fromStdString(control::OpenFailedText(candidates.empty() ? "index.html" : candidates.front(),
                                                            control::XdgResultText(2))));
    }
    return;
  }
  OpenWithDesktop(owner, manual, kHelpWhere, std::move(failed));
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
