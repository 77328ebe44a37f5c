#include "ui/pane.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/icons.h"

namespace velmora::ui {

Pane::Pane(const QString& caption, bool closeBox, QWidget* parent) : QWidget(parent) {
  layout_ = new QVBoxLayout(this);
  layout_->setContentsMargins(0, 0, 0, 0);
  layout_->setSpacing(0);

  auto* bar = new QWidget(this);
  bar->setObjectName("paneCaption");
  bar->setAutoFillBackground(true);
  bar->setBackgroundRole(QPalette::Mid);
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(4, 1, 1, 1);
  caption_ = new QLabel(caption, bar);
  caption_->setForegroundRole(QPalette::Text);
  QFont font = caption_->font();
  font.setBold(true);
  caption_->setFont(font);
  row->addWidget(caption_, 1);
  if (closeBox) {
    close_ = new QToolButton(bar);
    close_->setObjectName("paneClose");
    close_->setAutoRaise(true);
    close_->setIcon(ThemeIcon("window-close", "close"));
    close_->setIconSize(QSize(12, 12));
    close_->setToolTip(tr("Close"));
    connect(close_, &QToolButton::clicked, this, &Pane::closeRequested);
    row->addWidget(close_);
  }
  layout_->addWidget(bar);
}

void Pane::setContent(QWidget* content) {
  if (content_) {
    layout_->removeWidget(content_);
    content_->deleteLater();
  }
  content_ = content;
  if (content_) {
    content_->setParent(this);
    layout_->addWidget(content_, 1);
  }
}

void Pane::setCaption(const QString& caption) { caption_->setText(caption); }

QString Pane::caption() const { return caption_->text(); }

}  // namespace velmora::ui
