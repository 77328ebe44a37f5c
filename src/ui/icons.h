// Icons: the desktop's freedesktop theme first, our own SVG from the embedded resources
// (":/icons/NAME.svg") when the theme has none.
#pragma once

#include <QIcon>
#include <QString>

namespace velmora::ui {

QIcon ThemeIcon(const QString& themeName, const QString& ownName);
// Our own icon only (pictures the theme does not have, such as the layouts).
QIcon OwnIcon(const QString& ownName);

}  // namespace velmora::ui
