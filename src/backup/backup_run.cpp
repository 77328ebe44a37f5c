// Choosing the backup path, the removable disk's examination and the backup thread.
#include <sys/statvfs.h>
#include <unistd.h>

#include "app/log.h"
#include "backup/backup_internal.h"

namespace velmora::backup {

DriveInfo ExamineRemovable(const std::filesystem::path& folder) {
  DriveInfo info;
  info.deviceType = "Removable Disk";
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) != 0) {
    LogLastError(("ExamineRemovable: statvfs(" + folder.string() + ")").c_str());
    return info;
  }
  info.mediaBytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  info.writable = ::access(folder.c_str(), W_OK | X_OK) == 0;
  info.ready = info.writable;
  return info;
}

DriveInfo ExamineTarget(const std::string& target) {
  return IsDiscAddress(target) ? ExamineDisc(target) : ExamineRemovable(target);
}

BackupOutcome RunBackup(const BackupOptions& options, const ProgressCallback& progress,
                        const std::atomic<bool>* cancel) {
  return IsDiscAddress(options.target) ? RunDiscBackup(options, progress, cancel)
                                       : RunRemovableBackup(options, progress, cancel);
}

BackupJob::~BackupJob() {
  cancel();
  wait();
}

bool BackupJob::start(BackupOptions options, ProgressCallback progress,
                      std::function<void(const BackupOutcome&)> done) {
  if (running_.load()) return false;
  wait();  // an earlier run that has ended
  cancel_.store(false);
  running_.store(true);
  try {
    thread_ = std::thread([this, options = std::move(options), progress = std::move(progress),
                           done = std::move(done)] {
      const BackupOutcome outcome = RunBackup(options, progress, &cancel_);
      if (done) done(outcome);
      running_.store(false);
    });
  } catch (const std::system_error& error) {
    running_.store(false);
    errno = error.code().value();
    LogLastError("BackupJob: std::thread");
    return false;
  }
  return true;
}

void BackupJob::wait() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace velmora::backup
