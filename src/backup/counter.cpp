// The counting thread of the Backup dialog: the number and total size of the selected
// files for the current range, restarted whenever the range changes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "app/log.h"
#include "backup/backup.h"

namespace velmora::backup {

FileCounter::FileCounter(std::filesystem::path folder) : folder_(std::move(folder)) {}

FileCounter::~FileCounter() { stop(); }

bool FileCounter::start(const DateRange& range) {
  if (thread_.joinable()) return false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    range_ = range;
    published_ = CountSnapshot{0, 0, false, rangeGeneration_};
  }
  stopEvent_.reset();
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& error) {
    errno = error.code().value();
    LogLastError("FileCounter: std::thread");
    return false;
  }
  return true;
}

void FileCounter::setRange(const DateRange& range) {
  {
    // The new range is visible at once with nothing counted yet, so a reader never sees
    // the old range's figures under the new generation.
    std::lock_guard<std::mutex> guard(lock_);
    range_ = range;
    ++rangeGeneration_;
    published_ = CountSnapshot{0, 0, false, rangeGeneration_};
  }
  changed_.store(true);
  recountEvent_.set();
}

void FileCounter::recount() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    published_.complete = false;
  }
  recountEvent_.set();
}

void FileCounter::stop() {
  stopEvent_.set();
  recountEvent_.set();  // wakes a thread waiting for either event
  if (thread_.joinable()) thread_.join();
}

CountSnapshot FileCounter::snapshot() const {
  std::lock_guard<std::mutex> guard(lock_);
  return published_;
}

bool FileCounter::takeChanged(CountSnapshot& out) {
  if (!changed_.exchange(false)) return false;
  out = snapshot();
  return true;
}

void FileCounter::run() {
  for (;;) {
    DateRange range;
    uint64_t generation = 0;
    {
      std::lock_guard<std::mutex> guard(lock_);
      range = range_;
      generation = rangeGeneration_;
      published_ = CountSnapshot{0, 0, false, generation};
    }
    changed_.store(true);
    const Selection selection = MakeSelection(range);

    // Publishes the figures of this pass unless a newer range has been set meanwhile.
    auto publish = [&](uint64_t count, uint64_t total, bool complete) {
      std::lock_guard<std::mutex> guard(lock_);
      if (rangeGeneration_ != generation) return;
      published_ = CountSnapshot{count, total, complete, generation};
      changed_.store(true);
    };

    bool restart = false;
    uint64_t count = 0;
    uint64_t total = 0;
    DIR* dir = ::opendir(folder_.c_str());
    if (dir == nullptr) {
      LogLastError(("FileCounter: opendir(" + folder_.string() + ")").c_str());
    } else {
      while (struct dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && selection.selects(name, false)) {
          ++count;
          total += static_cast<uint64_t>(st.st_size);
          publish(count, total, false);
        }
        // Looked at without waiting after every entry: a new range restarts at once.
        if (stopEvent_.isSet()) {
          ::closedir(dir);
          return;
        }
        if (recountEvent_.wait(std::chrono::milliseconds(0))) {
          restart = true;
          break;
        }
      }
      ::closedir(dir);
    }
    if (restart) continue;
    publish(count, total, true);

    recountEvent_.wait();
    if (stopEvent_.isSet()) return;
  }
}

}  // namespace velmora::backup
