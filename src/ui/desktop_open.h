// Handing a file or a folder to the desktop: xdg-open is started with the path as its one
// argument (never through a shell), and its end is watched, so that a desktop without a
// handler for the path, or without xdg-open at all, is reported instead of doing nothing.
//
// GUI thread only.
#pragma once

#include <QString>

#include <functional>

class QObject;
class QWidget;

namespace velmora::ui {

// Starts xdg-open on `path` and returns at once. When it cannot start, ends abnormally or
// ends with a non-zero status, the failure is logged under the label `where` and `failed`
// gets the text to show (the path and the reason; control::OpenFailedText). The process
// belongs to `owner`.
void OpenWithDesktop(QObject* owner, const QString& path, const char* where,
                     std::function<void(const QString& text)> failed);

// A warning box titled with the product name, not modal: the window goes on while it is
// open, and it deletes itself when closed. Returns the box.
QWidget* ShowOpenFailure(QWidget* parent, const QString& text);

}  // namespace velmora::ui
