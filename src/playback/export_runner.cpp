#include "playback/export_runner.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>

#include "app/log.h"

namespace velmora {

// What the export thread, the channel's wake-up and the posted reports share. Held by
// shared_ptr so a wake-up from the playback thread or a report still queued on the
// owner's side never outlives it. It is the session's listener and passes each report
// on to the owner's listener, on the owner's thread.
struct ExportRunner::Shared final : ExportListener, std::enable_shared_from_this<Shared> {
  Shared(ExportListener& ownerListener, OwnerPost post) : owner(ownerListener), toOwner(std::move(post)) {}

  std::mutex lock;
  std::condition_variable wakeUp;
  bool woken = false;                     // guarded by lock: the channel has events
  bool cancel = false;                    // guarded by lock
  std::chrono::milliseconds cancelWait{0};  // guarded by lock

  ExportListener& owner;  // called on the owner's thread only
  const OwnerPost toOwner;

  // Latest values of the coalesced reports; a pending flag is set while a call that
  // shows them is queued on the owner's side.
  std::mutex latestLock;
  int progress = 0;                      // guarded by latestLock
  int converted = 0;                     // guarded by latestLock
  std::unique_ptr<Image> preview;        // guarded by latestLock
  std::atomic<bool> progressPending{false};
  std::atomic<bool> convertedPending{false};
  std::atomic<bool> previewPending{false};

  void Wake() {
    {
      std::lock_guard<std::mutex> guard(lock);
      woken = true;
    }
    wakeUp.notify_one();
  }

  // Hands a copy of `report` to the owner's listener on the owner's thread.
  template <class Report>
  void PostReport(Report report) {
    if (!toOwner) return;
    toOwner([s = shared_from_this(), report] {
      ExportReport shown = report;
      s->owner.OnExportReport(shown);
    });
  }

  // Queues `show` on the owner's side unless one for the same report is queued already;
  // it shows the latest value when it runs.
  void PostCoalesced(std::atomic<bool>& pending, void (*show)(Shared&)) {
    if (pending.exchange(true)) return;
    if (!toOwner) return;
    toOwner([s = shared_from_this(), &pending, show] {
      pending.store(false);
      show(*s);
    });
  }

  int Latest(const int& value) {
    std::lock_guard<std::mutex> guard(latestLock);
    return value;
  }

  // The session's reports, on the thread that drives it.
  void OnExportReport(ExportReport& report) override {
    if (std::holds_alternative<ExportSettingsChanged>(report)) {
      // Only Start stores settings, and Start runs on the owner's thread.
      owner.OnExportReport(report);
    } else if (auto* status = std::get_if<ExportStatusReport>(&report)) {
      PostReport(*status);
    } else if (auto* message = std::get_if<ExportMessageReport>(&report)) {
      PostReport(*message);
    } else if (auto* percent = std::get_if<ExportProgressReport>(&report)) {
      {
        std::lock_guard<std::mutex> guard(latestLock);
        progress = percent->percent;
      }
      PostCoalesced(progressPending, [](Shared& s) {
        ExportReport shown = ExportProgressReport{s.Latest(s.progress)};
        s.owner.OnExportReport(shown);
      });
    } else if (auto* count = std::get_if<ExportConvertedReport>(&report)) {
      {
        std::lock_guard<std::mutex> guard(latestLock);
        converted = count->count;
      }
      PostCoalesced(convertedPending, [](Shared& s) {
        ExportReport shown = ExportConvertedReport{s.Latest(s.converted)};
        s.owner.OnExportReport(shown);
      });
    } else if (auto* image = std::get_if<ExportPreviewReport>(&report)) {
      if (!image->image) return;
      {
        std::lock_guard<std::mutex> guard(latestLock);
        preview = std::move(image->image);
      }
      PostCoalesced(previewPending, [](Shared& s) {
        ExportPreviewReport latest;
        {
          std::lock_guard<std::mutex> guard(s.latestLock);
          latest.image = std::move(s.preview);
        }
        if (!latest.image) return;
        ExportReport shown = std::move(latest);
        s.owner.OnExportReport(shown);
      });
    }
    // ExportEndedReport is the runner's own (PostReport in Start and Run).
  }
};

ExportRunner::ExportRunner(ExportOptions options, std::function<bool(PlaybackMessage)> postPlayback,
                           ExportListener& owner, OwnerPost toOwner)
    : shared_(std::make_shared<Shared>(owner, std::move(toOwner))),
      session_(std::move(options), std::move(postPlayback), shared_.get()) {
  std::weak_ptr<Shared> weak = shared_;
  session_.channel()->setWake([weak] {
    if (auto shared = weak.lock()) shared->Wake();
  });
}

ExportRunner::~ExportRunner() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> guard(shared_->lock);
      if (!shared_->cancel) {
        shared_->cancel = true;
        shared_->cancelWait = std::chrono::milliseconds(0);
      }
    }
    shared_->wakeUp.notify_one();
    thread_.join();
  }
  session_.channel()->setWake(nullptr);
}

bool ExportRunner::Start(const std::string& pathBox, const ExportQuestion& ask) {
  if (running_.load() || thread_.joinable()) return false;
  if (!session_.Start(pathBox, ask)) {
    // A failure (not a declined question) ends the export as any other does.
    if (session_.state() == ExportSession::State::kFailed) {
      state_.store(session_.state());
      shared_->PostReport(ExportEndedReport{ExportState::kFailed});
    }
    return false;
  }
  state_.store(ExportSession::State::kRunning);
  running_.store(true);
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    LogLastError("CreateThread");
    running_.store(false);
    session_.Cancel(std::chrono::milliseconds(0));
    state_.store(session_.state());
    shared_->PostReport(ExportEndedReport{session_.state()});
    return false;
  }
  return true;
}

void ExportRunner::Cancel(std::chrono::milliseconds wait) {
  {
    std::lock_guard<std::mutex> guard(shared_->lock);
    if (shared_->cancel) return;
    shared_->cancel = true;
    shared_->cancelWait = wait;
  }
  shared_->wakeUp.notify_one();
}

void ExportRunner::Run() {
  Shared& s = *shared_;
  for (;;) {
    bool cancel = false;
    std::chrono::milliseconds cancelWait{0};
    {
      std::unique_lock<std::mutex> guard(s.lock);
      s.wakeUp.wait(guard, [&s] { return s.woken || s.cancel; });
      s.woken = false;
      cancel = s.cancel;
      cancelWait = s.cancelWait;
    }
    if (cancel) {
      cancelConfirmed_.store(session_.Cancel(cancelWait));
      break;
    }
    // What has arrived is taken at once. A step's progress is handled before its images
    // are written: it asks for the next step, which the playback thread then reads while
    // this thread encodes (the playback thread still sends one step per request, so at
    // most two steps are ever held). The images keep their order; a cancel is looked at
    // between two of them.
    std::deque<ExportEvent> batch;
    while (auto event = session_.channel()->take()) batch.push_back(std::move(*event));
    for (ExportEvent& event : batch) {
      if (std::holds_alternative<ExportProgress>(event) && session_.running()) session_.Handle(std::move(event));
    }
    for (ExportEvent& event : batch) {
      if (!session_.running()) break;
      if (std::holds_alternative<ExportProgress>(event)) continue;
      session_.Handle(std::move(event));
      std::lock_guard<std::mutex> guard(s.lock);
      if (s.cancel) break;
    }
    if (!session_.running()) break;
  }
  converted_.store(session_.picturesConverted());
  framesWritten_.store(session_.framesWritten());
  const ExportSession::State ended = session_.state();
  state_.store(ended);
  running_.store(false);
  s.PostReport(ExportEndedReport{ended});
}

}  // namespace velmora
