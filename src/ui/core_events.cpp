#include "ui/core_events.h"

#include <QMetaObject>

#include <type_traits>

#include "app/application.h"
#include "control/frame_layout.h"
#include "model/group_record.h"
#include "playback/playback_thread.h"

namespace velmora::ui {

namespace {

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

CoreEvents::CoreEvents(Application* app, PlaybackController& playback, DeviceTree& tree, const Paths& paths,
                       QObject* parent)
    : QObject(parent), app_(app), playback_(playback), tree_(tree), paths_(paths) {
  timer_.setInterval(20);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &CoreEvents::Drain);
  token_ = mainQueue().subscribe([this](AppMessage& message) { handle(message); });
  playbackToken_ = playback_.subscribe([this](const PlaybackReport& report) { handle(report); });
}

Settings& CoreEvents::settings() const { return *tree_.settings; }

CoreEvents::~CoreEvents() {
  stop();
  mainQueue().unsubscribe(token_);
  playback_.unsubscribe(playbackToken_);
}

void CoreEvents::start() {
  timer_.start();
  // The wake-up runs on the posting thread: it queues one drain on this object's thread
  // and no more until that drain ran. stop() (also run by the destructor) waits for a
  // wake in progress, and a queued drain dies with this object.
  mainQueue().setWake([this] {
    if (wakePending_.exchange(true)) return;
    QMetaObject::invokeMethod(this, [this] { Drain(); }, Qt::QueuedConnection);
  });
}

void CoreEvents::stop() {
  timer_.stop();
  mainQueue().setWake(nullptr);
}

void CoreEvents::Drain() {
  wakePending_.store(false);
  // A handler that runs a nested event loop (a modal box) must not start a second tick
  // inside the first; the timer picks up what is left afterwards.
  if (!app_ || inTick_) return;
  inTick_ = true;
  app_->tick();
  inTick_ = false;
}

void CoreEvents::handle(AppMessage& message) {
  std::visit(
      [this](auto& m) {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, MsgStatusText>) {
          emit statusText(m.text ? Q(*m.text) : QString());
        } else if constexpr (std::is_same_v<T, MsgFetchError>) {
          // The core stored the state before the subscribers run and marked a change;
          // the repeat that every decoded frame sends redraws nothing.
          if (m.record && m.changed) emit fetchErrorChanged(m.record.get());
        } else if constexpr (std::is_same_v<T, MsgDiskUsage>) {
          emit diskUsage(control::DiskUsagePercentOf(paths_.pathData));
        } else if constexpr (std::is_same_v<T, MsgMotionAlert>) {
          emit motionAlert();
        } else if constexpr (std::is_same_v<T, MsgNetworkScanEnded>) {
          emit networkScanEnded();
        } else if constexpr (std::is_same_v<T, MsgPaneClose>) {
          emit paneCloseRequested(m.pane);
        } else if constexpr (std::is_same_v<T, MsgActivate>) {
          emit activateRequested();
        } else {
          // These are wholly the core's. The tree model hears of what discovery and the
          // removable media add or remove through the tree's notifications; the playback
          // controller takes the playback thread's messages and reports what changed; the
          // tray icon's clicks reach the window from the icon itself; a kept
          // authentication scheme changes nothing shown.
          static_assert(std::is_same_v<T, MsgOnvifDevice> || std::is_same_v<T, MsgShellChange> ||
                            std::is_same_v<T, MsgMediaScanResult> || std::is_same_v<T, MsgScanAllMedia> ||
                            std::is_same_v<T, MsgTrayCallback> || std::is_same_v<T, MsgPlaybackStopped> ||
                            std::is_same_v<T, MsgTimelineGraph> || std::is_same_v<T, MsgTimelineColumn> ||
                            std::is_same_v<T, MsgPlaying> || std::is_same_v<T, MsgPaused> ||
                            std::is_same_v<T, MsgSpeedUp> || std::is_same_v<T, MsgSpeedDown> ||
                            std::is_same_v<T, MsgSeekTaken> || std::is_same_v<T, MsgColumnCount> ||
                            std::is_same_v<T, MsgSliderSeek> || std::is_same_v<T, MsgHttpListen> ||
                            std::is_same_v<T, MsgImportFile> || std::is_same_v<T, MsgRecordingsFolderGone> ||
                            std::is_same_v<T, MsgAuthScheme>,
                        "every application message is dispatched");
        }
      },
      message);
}

void CoreEvents::handle(const PlaybackReport& report) {
  std::visit(
      [this](const auto& r) {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, PlaybackWarning>) {
          emit playbackWarning(Q(r.text));
        } else if constexpr (std::is_same_v<T, PlaybackControlsShown>) {
          emit playbackControlsShown(r.show);
        } else if constexpr (std::is_same_v<T, PlaybackControlsEnabled>) {
          emit playbackControlsEnabled(r.enable);
        } else if constexpr (std::is_same_v<T, PlaybackFeedRequested>) {
          emit playbackFeedRequested();
        } else if constexpr (std::is_same_v<T, PlaybackSliderChanged>) {
          emit playbackSliderChanged();
        } else if constexpr (std::is_same_v<T, PlaybackRangeChanged>) {
          emit playbackRangeChanged();
        } else if constexpr (std::is_same_v<T, PlaybackGraphChanged>) {
          emit playbackGraphChanged();
        } else if constexpr (std::is_same_v<T, PlaybackPlayStateChanged>) {
          emit playbackPlayStateChanged();
        } else {
          static_assert(std::is_same_v<T, PlaybackSpeedChanged>, "every playback report is dispatched");
          emit playbackSpeedChanged();
        }
      },
      report);
}

std::function<void(std::function<void()>)> ExportEvents::poster() {
  return [this](std::function<void()> call) { QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection); };
}

void ExportEvents::OnExportReport(ExportReport& report) {
  std::visit(
      [this](auto& r) {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, ExportStatusReport>) {
          emit status(Q(r.text));
        } else if constexpr (std::is_same_v<T, ExportProgressReport>) {
          emit progress(r.percent);
        } else if constexpr (std::is_same_v<T, ExportConvertedReport>) {
          emit converted(r.count);
        } else if constexpr (std::is_same_v<T, ExportPreviewReport>) {
          if (r.image) emit preview(*r.image);
        } else if constexpr (std::is_same_v<T, ExportMessageReport>) {
          emit message(Q(r.text), r.warning);
        } else if constexpr (std::is_same_v<T, ExportSettingsChanged>) {
          emit settingsChanged(Q(r.pathVideo));
        } else {
          static_assert(std::is_same_v<T, ExportEndedReport>, "every export report is dispatched");
          emit ended(static_cast<int>(r.state));
        }
      },
      report);
}

}  // namespace velmora::ui
