#include "playback/export_runner.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>

#include "app/log.h"

namespace velmora {

// What the export thread, the channel's wake-up and the posted reports share. Held by
// shared_ptr so a wake-up from the playback thread or a report still queued on the
// owner's side never outlives it.
struct ExportRunner::Shared {
  std::mutex lock;
  std::condition_variable wakeUp;
  bool woken = false;                     // guarded by lock: the channel has events
  bool cancel = false;                    // guarded by lock
  std::chrono::milliseconds cancelWait{0};  // guarded by lock

  ExportHooks owner;                                 // called on the owner's thread only
  std::function<void(ExportSession::State)> finished;  // owner's thread
  OwnerPost toOwner;

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

  // Queues `call` on the owner's side unless one for the same report is queued already.
  void PostCoalesced(std::atomic<bool>& pending, std::function<void()> call) {
    if (pending.exchange(true)) return;
    if (toOwner) toOwner(std::move(call));
  }
};

ExportRunner::ExportRunner(ExportOptions options, std::function<bool(PlaybackMessage)> postPlayback,
                           ExportHooks hooks, std::function<void(ExportSession::State)> finished, OwnerPost toOwner)
    : shared_(std::make_shared<Shared>()),
      session_(std::move(options), std::move(postPlayback),
               [this, &hooks, &finished, &toOwner] {
                 shared_->owner = std::move(hooks);
                 shared_->finished = std::move(finished);
                 shared_->toOwner = std::move(toOwner);
                 return WorkerHooks();
               }()) {
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

ExportHooks ExportRunner::WorkerHooks() {
  // Each hook runs on the thread that drives the session; what the owner shows is sent
  // over. The question and the settings belong to Start, which runs on the owner's
  // thread: those two are the owner's own hooks.
  ExportHooks h;
  const std::shared_ptr<Shared> s = shared_;
  h.ask = s->owner.ask;
  h.saveSettings = s->owner.saveSettings;
  h.status = [s](const std::string& text) {
    if (s->toOwner && s->owner.status) s->toOwner([s, text] { s->owner.status(text); });
  };
  h.message = [s](const std::string& text, bool warning) {
    if (s->toOwner && s->owner.message) s->toOwner([s, text, warning] { s->owner.message(text, warning); });
  };
  h.progress = [s](int percent) {
    {
      std::lock_guard<std::mutex> guard(s->latestLock);
      s->progress = percent;
    }
    if (!s->owner.progress) return;
    s->PostCoalesced(s->progressPending, [s] {
      s->progressPending.store(false);
      int value = 0;
      {
        std::lock_guard<std::mutex> guard(s->latestLock);
        value = s->progress;
      }
      s->owner.progress(value);
    });
  };
  h.converted = [s](int count) {
    {
      std::lock_guard<std::mutex> guard(s->latestLock);
      s->converted = count;
    }
    if (!s->owner.converted) return;
    s->PostCoalesced(s->convertedPending, [s] {
      s->convertedPending.store(false);
      int value = 0;
      {
        std::lock_guard<std::mutex> guard(s->latestLock);
        value = s->converted;
      }
      s->owner.converted(value);
    });
  };
  h.preview = [s](const Image& image) {
    if (!s->owner.preview) return;
    std::unique_ptr<Image> copy = image.Copy();
    if (!copy) return;
    {
      std::lock_guard<std::mutex> guard(s->latestLock);
      s->preview = std::move(copy);
    }
    s->PostCoalesced(s->previewPending, [s] {
      s->previewPending.store(false);
      std::unique_ptr<Image> shown;
      {
        std::lock_guard<std::mutex> guard(s->latestLock);
        shown = std::move(s->preview);
      }
      if (shown) s->owner.preview(*shown);
    });
  };
  return h;
}

bool ExportRunner::Start(const std::string& pathBox) {
  if (running_.load() || thread_.joinable()) return false;
  if (!session_.Start(pathBox)) {
    // A failure (not a declined question) ends the export as any other does.
    if (session_.state() == ExportSession::State::kFailed) {
      state_.store(session_.state());
      const std::shared_ptr<Shared> s = shared_;
      if (s->toOwner && s->finished) s->toOwner([s] { s->finished(ExportSession::State::kFailed); });
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
    const std::shared_ptr<Shared> s = shared_;
    if (s->toOwner && s->finished) s->toOwner([s, st = session_.state()] { s->finished(st); });
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
  const std::shared_ptr<Shared> shared = shared_;
  if (shared->toOwner && shared->finished) shared->toOwner([shared, ended] { shared->finished(ended); });
}

}  // namespace velmora
