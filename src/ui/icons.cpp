#include "ui/icons.h"

#include <QFile>

namespace velmora::ui {

QIcon OwnIcon(const QString& ownName) {
  const QString path = QStringLiteral(":/icons/%1.svg").arg(ownName);
  return QFile::exists(path) ? QIcon(path) : QIcon();
}

QIcon ThemeIcon(const QString& themeName, const QString& ownName) {
  return QIcon::fromTheme(themeName, OwnIcon(ownName));
}

}  // namespace velmora::ui
