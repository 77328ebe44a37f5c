// Help Contents and the About box.
//
// GUI thread only.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QLabel;

namespace velmora::ui {

// The manual shipped with the program (the first of control::ManualCandidates that
// exists), or an empty text.
QString ManualPath();

// Opens the manual with xdg-open. A manual that cannot be found, an xdg-open that cannot
// start or one that reports a failure is logged with its text, and `failed` gets the
// text to show the operator (the path and the reason).
void OpenManual(QObject* owner, std::function<void(const QString& text)> failed = {});

// The About box: the application icon, its name, "Version " and the version string, a
// notice line and OK.
class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent = nullptr);
  QLabel* versionLabel() const { return version_; }

 private:
  QLabel* version_ = nullptr;
};

}  // namespace velmora::ui
