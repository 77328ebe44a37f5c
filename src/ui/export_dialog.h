// "Export Video" (or "Export JPEG Images" when Shift is held as it opens): the path box
// with its proposal, Browse, the compressor label and Advanced, the preview, the
// pictures converted, the status line over the progress bar, Export and Cancel.
//
// The dialog is a view over an ExportRunner: the playback thread reads the view's
// images, the runner's export thread writes them, and every report reaches the dialog
// as a signal of its ExportEvents (core_events.h), queued to the GUI thread, which
// therefore never waits for the disk or an encoder and never polls. Choosing the view, the compressor settings and the path
// rules live in control/export_choice.h.
//
// GUI thread only.
#pragma once

#include <QDialog>
#include <QImage>

#include <functional>
#include <memory>

#include "app/settings.h"
#include "playback/export_avi.h"
#include "playback/export_writer.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace velmora {
class ExportRunner;
class PlaybackController;
}

namespace velmora::ui {

class ExportEvents;

// The frame in which each written image is drawn, scaled to fit with its aspect kept,
// even margins, centred.
class ExportPreview : public QWidget {
  Q_OBJECT

 public:
  explicit ExportPreview(QWidget* parent = nullptr);
  void setImage(QImage image);
  const QImage& image() const { return image_; }
  // Where the image is drawn inside `area` (empty without an image).
  static QRect Placement(const QSize& image, const QRect& area);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage image_;
};

// "Advanced": the compressors this machine has, with quality, key-frame interval and
// data rate for those that take them.
class ExportAdvancedDialog : public QDialog {
  Q_OBJECT

 public:
  ExportAdvancedDialog(uint32_t fourcc, uint32_t quality, uint32_t keyFrameEvery, uint32_t dataRateKBps,
                       QWidget* parent = nullptr);

  QComboBox* compressorBox() const { return compressors_; }
  QSpinBox* qualityBox() const { return quality_; }
  QSpinBox* keyFrameBox() const { return keyFrame_; }
  QSpinBox* dataRateBox() const { return dataRate_; }
  // The chosen compressor and its settings.
  CompressorChoice compressor() const;
  uint32_t quality() const;
  uint32_t keyFrameEvery() const;
  uint32_t dataRateKBps() const;

 private:
  void UpdateTunable();

  QComboBox* compressors_ = nullptr;
  QSpinBox* quality_ = nullptr;
  QSpinBox* keyFrame_ = nullptr;
  QSpinBox* dataRate_ = nullptr;
};

class ExportDialog : public QDialog {
  Q_OBJECT

 public:
  // view: the playback view to export; postPlayback: posts to the playback thread;
  // naming: the proposal of the AVI path, advanced by an export that remembers its path
  // (it outlives the dialog: the next dialog proposes the next name); settings: the
  // program's, whose folders and compressor values the dialog proposes and stores.
  ExportDialog(int view, bool jpegMode, std::function<bool(PlaybackMessage)> postPlayback, ExportNaming& naming,
               Settings& settings, QWidget* parent = nullptr);
  ~ExportDialog() override;

  // kCmdExport (10051): chooses the view (strings 411, 412, 413) and runs the dialog modally
  // for it, in JPEG mode when Shift is held, from `playback`'s feed. saveSettings stores
  // the settings file.
  static void RunCommand(QWidget* parent, PlaybackController& playback, ExportNaming& naming, Settings& settings,
                         const std::function<void()>& saveSettings);

  // What tests replace: questions (Yes/No), information and warning boxes, the file or
  // folder chooser of Browse (returns the chosen path, empty when cancelled), the
  // Advanced chooser (true when confirmed), the settings file's saving.
  void setAsker(std::function<bool(const QString&)> ask) { ask_ = std::move(ask); }
  void setInformer(std::function<void(const QString& caption, const QString& text, bool warning)> inform) {
    inform_ = std::move(inform);
  }
  void setPathChooser(std::function<QString(const QString& initial)> choose) { choosePath_ = std::move(choose); }
  void setAdvancedChooser(std::function<bool(ExportAdvancedDialog&)> choose) { chooseAdvanced_ = std::move(choose); }
  void setSettingsSaver(std::function<void()> save) { saveSettings_ = std::move(save); }

  bool jpegMode() const { return jpegMode_; }
  bool running() const;
  QLineEdit* pathBox() const { return path_; }
  QLabel* pathLabel() const { return pathLabel_; }
  QLabel* compressorLabel() const { return compressorLabel_; }
  QLabel* statusLine() const { return status_; }
  QLabel* convertedLabel() const { return converted_; }
  QProgressBar* progressBar() const { return progress_; }
  ExportPreview* preview() const { return preview_; }
  QPushButton* exportButton() const { return export_; }
  QPushButton* cancelButton() const { return cancel_; }
  QPushButton* browseButton() const { return browse_; }
  QPushButton* advancedButton() const { return advanced_; }

 public slots:
  void startExport();
  void browse();
  void chooseAdvanced();
  // Cancel: closes when idle; while running, stops the export (the dialog closes once
  // the export thread has ended it, after at most the 3,000 ms wait).
  void reject() override;

 signals:
  // The export ended (completed, failed or cancelled), just before the dialog closes.
  void exportEnded(int state);

 private:
  void ConnectReports();
  // The constructor's steps.
  void UseDialogChoosers();
  void BuildControls();
  void ShowInitialState();
  void ShowConverted(int count);
  void Finished(int state);
  void Inform(const QString& caption, const QString& text, bool warning);

  int view_;
  bool jpegMode_;
  std::function<bool(PlaybackMessage)> postPlayback_;
  ExportNaming& naming_;
  Settings& settings_;
  CompressorChoice compressor_;
  ExportEvents* reports_ = nullptr;  // the runner's reports (a child: queued ones die with the dialog)
  std::unique_ptr<ExportRunner> runner_;
  bool cancelling_ = false;
  // The box the export asked for (156 or 157), shown as it ends, before the dialog closes.
  QString endMessage_;
  bool endWarning_ = false;

  QLabel* pathLabel_ = nullptr;
  QLineEdit* path_ = nullptr;
  QPushButton* browse_ = nullptr;
  QLabel* compressorLabel_ = nullptr;
  QPushButton* advanced_ = nullptr;
  ExportPreview* preview_ = nullptr;
  QLabel* converted_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* export_ = nullptr;
  QPushButton* cancel_ = nullptr;

  std::function<bool(const QString&)> ask_;
  std::function<void(const QString&, const QString&, bool)> inform_;
  std::function<QString(const QString&)> choosePath_;
  std::function<bool(ExportAdvancedDialog&)> chooseAdvanced_;
  std::function<void()> saveSettings_;
};

}  // namespace velmora::ui
