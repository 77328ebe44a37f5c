// The bridge between the core and the window. CoreEvents is the only part of the front
// end that knows the core's message variant and the playback controller's reports: it
// subscribes to the main queue and to the controller, turns what the window shows into
// typed Qt signals, and drives the core's main-thread work (Application::tick) from the
// 20 ms timer 3 and from the queue's wake-up. Panes connect to the signals of what they
// show; messages that are wholly the core's (the playback thread's, which the controller
// takes, discovery, removable media) have no signal. ExportEvents does the same for one
// export's reports.
//
// GUI thread only, except the queue's wake function, which only posts an event here.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>

#include "app/messages.h"
#include "app/paths.h"
#include "media/image.h"
#include "playback/export_writer.h"
#include "playback/playback_control.h"

namespace velmora {
class Application;
struct DeviceTree;
struct Settings;
struct GroupRecord;
}  // namespace velmora

namespace velmora::ui {

class CoreEvents : public QObject {
  Q_OBJECT

 public:
  // app may be null (tests): messages then reach the signals through mainQueue().deliver.
  // playback: the controller whose reports become the playback signals (the Core's);
  // tree: the device tree the window shows and edits (the Core's); paths: the program's
  // folders and files (the Core's, filled by the start-up). All must outlive this object.
  CoreEvents(Application* app, PlaybackController& playback, DeviceTree& tree, const Paths& paths,
             QObject* parent = nullptr);
  ~CoreEvents() override;

  // The controller these events report: the window commands playback through it.
  PlaybackController& playback() const { return playback_; }
  // The device tree the window's panes show and change.
  DeviceTree& tree() const { return tree_; }
  // The program's settings (the Core's, shared with the tree).
  Settings& settings() const;
  // The folders and files the window opens and shows (log, recordings).
  const Paths& paths() const { return paths_; }

  // Starts timer 3 and the queue's wake-up; stop() ends both (before shutdown).
  void start();
  void stop();
  bool running() const { return timer_.isActive(); }

  // One message as the dispatch sees it; normally called through the queue's delivery.
  void handle(AppMessage& message);
  // One report of the playback controller; normally called through its delivery.
  void handle(const PlaybackReport& report);

  // The application's timer-3 work calls this after the throughput meter.
  void periodic() { emit timer3(); }
  void throughputText(const QString& text) { emit throughput(text); }

 signals:
  // WM_APP+4: the status bar's part 0 and the log; an empty text clears it.
  void statusText(const QString& text);
  // WM_APP+6: the record's errorShown changed; its tree item needs its overlay again.
  void fetchErrorChanged(velmora::GroupRecord* record);
  // WM_APP+18: status bar part 2, percent used of the recordings volume (-1 unknown).
  void diskUsage(int percent);
  // WM_APP+21.
  void motionAlert();
  // WM_APP+0, after the core added what the scan found.
  void networkScanEnded();
  // WM_APP+5.
  void paneCloseRequested(int pane);
  // The playback controller's reports (it takes the playback thread's messages, WM_APP+9
  // .. +20, and the operator's commands), in the order they happen:
  // a warning box with one of its texts;
  void playbackWarning(const QString& text);
  // show (true) or hide the Playback Controls pane (playback mode entered or left);
  void playbackControlsShown(bool show);
  // enable or disable the timeline, the range scroll bar and the date and time fields;
  void playbackControlsEnabled(bool enable);
  // a new feed was asked for ("Building view" until its graph comes);
  void playbackFeedRequested();
  // the slider's column or selection;
  void playbackSliderChanged();
  // the column count, the shown or full range, or playback mode;
  void playbackRangeChanged();
  // the timeline graph arrived, or went when playback stopped;
  void playbackGraphChanged();
  // playing or paused;
  void playbackPlayStateChanged();
  // the speed slider's position.
  void playbackSpeedChanged();
  // A second start asked for the window.
  void activateRequested();
  // Timer 3, every 20 ms: tiles to repaint, rate meter text for status bar part 1.
  void timer3();
  void throughput(const QString& text);

 private:
  void Drain();

  Application* app_;
  PlaybackController& playback_;
  DeviceTree& tree_;
  const Paths& paths_;
  QTimer timer_;
  int token_ = 0;
  int playbackToken_ = 0;
  std::atomic<bool> wakePending_{false};
  bool inTick_ = false;
};

// One export's reports as typed signals on the GUI thread. The export runner is given it
// as its owner's listener and `poster()` as the way to the GUI thread: reports from the
// export thread are queued on this object, so those still queued when it goes are
// dropped with it. The dialog that runs the export connects to what it shows.
//
// GUI thread only, except poster()'s function, which only queues a call here.
class ExportEvents : public QObject, public ExportListener {
  Q_OBJECT

 public:
  explicit ExportEvents(QObject* parent = nullptr) : QObject(parent) {}

  // Runs a call on this object's thread later (ExportRunner::OwnerPost).
  std::function<void(std::function<void()>)> poster();

  void OnExportReport(ExportReport& report) override;

 signals:
  // The line over the progress bar.
  void status(const QString& text);
  // 0..100.
  void progress(int percent);
  // Pictures converted so far.
  void converted(int count);
  // The image just written (valid during the call only).
  void preview(const velmora::Image& image);
  // An information box, or a warning box, for the end of the export.
  void message(const QString& text, bool warning);
  // The export's folder is the new pathVideo (during Start): it is stored and the
  // settings file saved.
  void settingsChanged(const QString& pathVideo);
  // The export thread has ended; state is an ExportState.
  void ended(int state);
};

}  // namespace velmora::ui
