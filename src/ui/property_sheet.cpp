#include "ui/property_sheet.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/strings.h"
#include "control/device_edit.h"
#include "control/property_rules.h"
#include "model/group_record.h"
#include "ui/device_info_page.h"
#include "ui/record_info_page.h"
#include "ui/schedule_page.h"

namespace velmora::ui {

namespace {

constexpr int kStringAppTitle = 128;

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

bool RunPropertySheet(QWidget* parent, DeviceTree& tree, GroupRecord& entry, int& lastPage,
                      const platform::MountTableSource* mediaSource) {
  const bool shift = QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier;
  PropertySheet sheet(tree, entry, shift, lastPage, parent, mediaSource);
  return sheet.exec() == QDialog::Accepted;
}

PropertySheet::PropertySheet(DeviceTree& tree, GroupRecord& entry, bool showDebug, int& lastPage, QWidget* parent,
                             const platform::MountTableSource* mediaSource)
    : QDialog(parent), tree_(tree), entry_(entry), pages_(control::PropertyPagesOf(entry.kind)), lastPage_(lastPage) {
  setWindowTitle(tr("Properties: %1").arg(Q(entry.name)));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  tabs_ = new QTabWidget(this);
  for (int page : pages_) {
    switch (page) {
      case control::kDeviceInfoPage:
        deviceInfo_ = new DeviceInfoPage(entry, showDebug, tabs_);
        tabs_->addTab(deviceInfo_, tr("Properties"));
        connect(deviceInfo_, &DeviceInfoPage::modified, this, [this] { modified_ = true; });
        break;
      case control::kRecordInfoPage:
        recordInfo_ = new RecordInfoPage(entry, tabs_, mediaSource, tree.recordingsFolder);
        tabs_->addTab(recordInfo_, tr("Recording Options"));
        connect(recordInfo_, &RecordInfoPage::modified, this, [this] { modified_ = true; });
        break;
      case control::kSchedulePage:
        schedule_ = new SchedulePage(entry, tabs_);
        tabs_->addTab(schedule_, tr("Scheduling"));
        connect(schedule_, &SchedulePage::modified, this, [this] { modified_ = true; });
        break;
      default:
        break;
    }
  }

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &PropertySheet::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &PropertySheet::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(buttons);

  showMessage = [this](const QString& text) { QMessageBox::warning(this, Q(StringText(kStringAppTitle)), text); };

  // The sheet opens on the page the last one showed last.
  int first = 0;
  for (std::size_t i = 0; i < pages_.size(); ++i) {
    if (pages_[i] == lastPage_) first = static_cast<int>(i);
  }
  tabs_->setCurrentIndex(first);
  current_ = first;
  shown_[static_cast<std::size_t>(pages_[static_cast<std::size_t>(first)])] = true;
  lastPage_ = pages_[static_cast<std::size_t>(first)];
  connect(tabs_, &QTabWidget::currentChanged, this, &PropertySheet::pageChanged);
}

void PropertySheet::selectPage(int page) {
  for (std::size_t i = 0; i < pages_.size(); ++i) {
    if (pages_[i] == page) tabs_->setCurrentIndex(static_cast<int>(i));
  }
}

void PropertySheet::pageChanged(int index) {
  if (returning_ || index < 0) return;
  // Leaving the device page checks it; a failure keeps it open.
  if (current_ >= 0 && pages_[static_cast<std::size_t>(current_)] == control::kDeviceInfoPage &&
      !checkDevicePage()) {
    returning_ = true;
    tabs_->setCurrentIndex(current_);
    returning_ = false;
    return;
  }
  current_ = index;
  const int page = pages_[static_cast<std::size_t>(index)];
  shown_[static_cast<std::size_t>(page)] = true;
  lastPage_ = page;
}

bool PropertySheet::checkDevicePage() {
  const control::PropertyProblem problem = deviceInfo_->check();
  if (problem.ok()) return true;
  if (problem.messageId != 0) {
    showMessage(Q(StringText(problem.messageId)));
  } else {
    showMessage(tr("Please enter an integer between 0 and %1.").arg(control::kMaxDebugLevel));
  }
  deviceInfo_->focusField(problem.field);
  return false;
}

void PropertySheet::accept() {
  if (shown_[control::kDeviceInfoPage] && !checkDevicePage()) {
    selectPage(control::kDeviceInfoPage);
    return;
  }
  // Pages never shown leave their fields as they are.
  DeviceConfig settings = control::ReadDeviceSettings(entry_);
  if (deviceInfo_ != nullptr && shown_[control::kDeviceInfoPage]) deviceInfo_->apply(settings);
  if (recordInfo_ != nullptr && shown_[control::kRecordInfoPage]) recordInfo_->apply(settings);
  if (schedule_ != nullptr && shown_[control::kSchedulePage]) schedule_->apply(settings);

  const control::EditResult result = control::ApplyDeviceSettings(tree_, entry_, settings);
  if (!result.ok) {
    if (result.messageId == control::kStringFolderRenameFailed) {
      showMessage(Q(FormatString(result.messageId, result.systemError)));
    } else if (result.messageId != 0) {
      showMessage(Q(StringText(result.messageId)));
    }
    selectPage(control::kDeviceInfoPage);
    return;
  }
  QDialog::accept();
}

}  // namespace velmora::ui
