#include "ui/core_events.h"

#include <QMetaObject>

#include <type_traits>

#include "app/application.h"
#include "app/paths.h"
#include "control/frame_layout.h"
#include "model/group_record.h"

namespace velmora::ui {

namespace {

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

CoreEvents::CoreEvents(Application* app, QObject* parent)
    : QObject(parent), app_(app) {
  timer_.setInterval(20);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &CoreEvents::Drain);
  token_ = mainQueue().subscribe([this](AppMessage& message) { handle(message); });
}

CoreEvents::~CoreEvents() {
  stop();
  mainQueue().unsubscribe(token_);
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
          emit diskUsage(control::DiskUsagePercentOf(paths().pathData));
        } else if constexpr (std::is_same_v<T, MsgMotionAlert>) {
          emit motionAlert();
        } else if constexpr (std::is_same_v<T, MsgNetworkScanEnded>) {
          emit networkScanEnded();
        } else if constexpr (std::is_same_v<T, MsgOnvifDevice>) {
          emit deviceDiscovered(Q(m.address), Q(m.hwAddr));
        } else if constexpr (std::is_same_v<T, MsgPaneClose>) {
          emit paneCloseRequested(m.pane);
        } else if constexpr (std::is_same_v<T, MsgShellChange>) {
          emit mediaChanged(Q(m.mountPoint), m.added);
        } else if constexpr (std::is_same_v<T, MsgMediaScanResult>) {
          emit mediaScanResult(m.node.get());
        } else if constexpr (std::is_same_v<T, MsgScanAllMedia>) {
          emit scanAllMedia();
        } else if constexpr (std::is_same_v<T, MsgTrayCallback>) {
          emit trayCallback(m.mouseMessage);
        } else if constexpr (std::is_same_v<T, MsgPlaybackStopped>) {
          emit playbackStopped();
        } else if constexpr (std::is_same_v<T, MsgTimelineGraph>) {
          emit timelineGraph(m.graph);
        } else if constexpr (std::is_same_v<T, MsgTimelineColumn>) {
          emit timelineColumn(m.column);
        } else if constexpr (std::is_same_v<T, MsgPlaying>) {
          emit playingChanged(true);
        } else if constexpr (std::is_same_v<T, MsgPaused>) {
          emit playingChanged(false);
        } else if constexpr (std::is_same_v<T, MsgSpeedUp>) {
          emit speedStep(+1);
        } else if constexpr (std::is_same_v<T, MsgSpeedDown>) {
          emit speedStep(-1);
        } else if constexpr (std::is_same_v<T, MsgSeekTaken>) {
          emit seekTaken();
        } else if constexpr (std::is_same_v<T, MsgColumnCount>) {
          emit columnCountChanged();
        } else if constexpr (std::is_same_v<T, MsgSliderSeek>) {
          emit sliderSeek(m.column);
        } else if constexpr (std::is_same_v<T, MsgActivate>) {
          emit activateRequested();
        } else {
          // These are wholly the core's; the tree model hears of removed entries itself,
          // and a kept authentication scheme changes nothing shown.
          static_assert(std::is_same_v<T, MsgHttpListen> || std::is_same_v<T, MsgImportFile> ||
                            std::is_same_v<T, MsgRecordingsFolderGone> || std::is_same_v<T, MsgAuthScheme>,
                        "every application message is dispatched");
        }
      },
      message);
}

}  // namespace velmora::ui
