// The recording page of the property sheet: the recording switch, the update rate, motion
// detection with its zone picker, days to keep with the count of recorded files, and the
// Backup button.
#pragma once

#include <QImage>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "control/device_edit.h"
#include "control/property_rules.h"
#include "platform/mount_table.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class QTimer;

namespace velmora {
struct GroupRecord;
}

namespace velmora::ui {

// The 4 x 4 motion zones over the camera's picture. A click flips the zone's bit in the
// entry at once (Cancel does not undo it).
class ZonePicker : public QWidget {
  Q_OBJECT

 public:
  ZonePicker(GroupRecord& entry, QWidget* parent = nullptr);
  void setImage(const QImage& image);
  bool hasImage() const { return !image_.isNull(); }
  QSize sizeHint() const override { return {160, 120}; }

 signals:
  void toggled(int bit);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  GroupRecord& entry_;
  QImage image_;
};

class RecordInfoPage : public QWidget {
  Q_OBJECT

 public:
  // `mediaSource`: where the backup dialog reads the removable drives (the Core's; null:
  // the system's mount table and sysfs). Must outlive the page. `recordings`: the
  // recordings folder, the entry's folder lies in it.
  RecordInfoPage(GroupRecord& entry, QWidget* parent = nullptr,
                 const platform::MountTableSource* mediaSource = nullptr, const std::string& recordings = {});
  ~RecordInfoPage() override;

  void apply(DeviceConfig& settings) const;

  // The widgets, for the sheet's tests.
  QCheckBox* recordingBox() const { return recording_; }
  QRadioButton* frameRateRadio() const { return frameRateRadio_; }
  QRadioButton* overrideRadio() const { return overrideRadio_; }
  QSlider* rateSlider() const { return slider_; }
  QLabel* rateName() const { return rateName_; }
  QLineEdit* overrideEdit() const { return override_; }
  QCheckBox* motionBox() const { return motion_; }
  QGroupBox* motionGroup() const { return motionGroup_; }
  ZonePicker* zonePicker() const { return picker_; }
  QComboBox* motionTypeList() const { return motionType_; }
  QCheckBox* ignoreGradualBox() const { return ignoreGradual_; }
  QSlider* sensitivitySlider() const { return sensitivity_; }
  QGroupBox* removalGroup() const { return removalGroup_; }
  QSpinBox* daysBox() const { return days_; }
  QLabel* counterLabel() const { return counter_; }
  QPushButton* backupButton() const { return backup_; }
  const std::vector<control::UpdateRate>& rates() const { return rates_; }
  // True once the counter thread has finished its count.
  bool countDone() const { return countDone_.load(); }

 signals:
  void modified();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void showRate(int index, bool writeDelay);
  void delayTyped(const QString& text);
  void applyMotionType();
  void updateCounter();
  void startPictureFetch(GroupRecord& entry);
  // The constructor's steps: one builder per group of controls, then filling, connecting
  // and the file counter.
  QGridLayout* buildRateGrid();
  void buildMotionGroup(GroupRecord& entry);
  void buildRemovalGroup(GroupRecord& entry);
  void fillControls(const DeviceConfig& now);
  void connectControls();
  void startCounter(const GroupRecord& entry);

  // Shared with the picture worker: it posts to `page` only while the page is alive.
  struct PictureRequest;

  int32_t kind_;
  const platform::MountTableSource* mediaSource_;
  const std::string recordings_;
  std::vector<control::UpdateRate> rates_;
  bool syncing_ = false;  // the slider is moved from the edit: no echo back

  QCheckBox* recording_ = nullptr;
  QRadioButton* frameRateRadio_ = nullptr;
  QSlider* slider_ = nullptr;
  QLabel* rateName_ = nullptr;
  QRadioButton* overrideRadio_ = nullptr;
  QLineEdit* override_ = nullptr;
  QCheckBox* motion_ = nullptr;
  QGroupBox* motionGroup_ = nullptr;
  ZonePicker* picker_ = nullptr;
  QComboBox* motionType_ = nullptr;
  QCheckBox* alert_ = nullptr;
  QCheckBox* ignoreGradual_ = nullptr;
  QCheckBox* mark_ = nullptr;
  QCheckBox* multiple_ = nullptr;
  QSlider* sensitivity_ = nullptr;
  QGroupBox* removalGroup_ = nullptr;
  QSpinBox* days_ = nullptr;
  QLabel* counter_ = nullptr;
  QPushButton* backup_ = nullptr;
  QTimer* counterTimer_ = nullptr;

  // The file counter: a worker counts once, the timer shows the totals when they change.
  std::thread counterThread_;
  std::atomic<bool> counterStop_{false};
  std::atomic<uint64_t> countedFiles_{0};
  std::atomic<uint64_t> countedBytes_{0};
  std::atomic<bool> countDone_{false};
  uint64_t shownFiles_ = UINT64_MAX;
  uint64_t shownBytes_ = UINT64_MAX;

  std::shared_ptr<PictureRequest> picture_;
};

}  // namespace velmora::ui
