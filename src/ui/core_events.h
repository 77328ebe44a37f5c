// The bridge between the core and the window. CoreEvents is the only part of the front
// end that knows the core's message variant: it subscribes to the main queue, turns every
// application message into a typed Qt signal, and drives the core's main-thread work
// (Application::tick) from the 20 ms timer 3 and from the queue's wake-up. Panes connect
// to the signals of what they show.
//
// GUI thread only, except the queue's wake function, which only posts an event here.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>

#include "app/messages.h"

namespace velmora {
class Application;
struct GroupRecord;
class Image;
struct ScanNode;
}  // namespace velmora

namespace velmora::ui {

class CoreEvents : public QObject {
  Q_OBJECT

 public:
  // app may be null (tests): messages then reach the signals through mainQueue().deliver.
  explicit CoreEvents(Application* app, QObject* parent = nullptr);
  ~CoreEvents() override;

  // Starts timer 3 and the queue's wake-up; stop() ends both (before shutdown).
  void start();
  void stop();
  bool running() const { return timer_.isActive(); }

  // One message as the dispatch sees it; normally called through the queue's delivery.
  void handle(AppMessage& message);

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
  // WM_APP+0 and +1 after the core added what the scan found.
  void networkScanEnded();
  void deviceDiscovered(const QString& address, const QString& hwAddr);
  // WM_APP+5.
  void paneCloseRequested(int pane);
  // WM_APP+8, +23, +24: removable media.
  void mediaChanged(const QString& mountPoint, bool added);
  void mediaScanResult(const velmora::ScanNode* node);
  void scanAllMedia();
  // WM_APP+22.
  void trayCallback(int mouseMessage);
  // Playback reports (WM_APP+9 .. +20), after the core's playback controller took them.
  void playbackStopped();
  void timelineGraph(std::shared_ptr<velmora::Image> graph);
  void timelineColumn(int column);
  void playingChanged(bool playing);
  void speedStep(int delta);
  void seekTaken();
  void columnCountChanged();
  void sliderSeek(int column);
  // A second start asked for the window.
  void activateRequested();
  // Timer 3, every 20 ms: tiles to repaint, rate meter text for status bar part 1.
  void timer3();
  void throughput(const QString& text);

 private:
  void Drain();

  Application* app_;
  QTimer timer_;
  int token_ = 0;
  std::atomic<bool> wakePending_{false};
  bool inTick_ = false;
};

}  // namespace velmora::ui
