// A pane of the main window: a caption bar (with a close box when asked for) over one
// content widget. Panes are laid out by the frame and cannot be dragged; the close box
// does not close the pane but tells the frame, which decides what closing means.
#pragma once

#include <QWidget>

class QLabel;
class QToolButton;
class QVBoxLayout;

namespace velmora::ui {

class Pane : public QWidget {
  Q_OBJECT

 public:
  Pane(const QString& caption, bool closeBox, QWidget* parent = nullptr);

  void setContent(QWidget* content);
  QWidget* content() const { return content_; }
  void setCaption(const QString& caption);
  QString caption() const;
  QToolButton* closeButton() const { return close_; }

 signals:
  void closeRequested();

 private:
  QLabel* caption_ = nullptr;
  QToolButton* close_ = nullptr;
  QVBoxLayout* layout_ = nullptr;
  QWidget* content_ = nullptr;
};

}  // namespace velmora::ui
