// Inside the backup library: the two backup paths RunBackup chooses between.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "backup/backup.h"

namespace velmora::backup {

BackupOutcome RunRemovableBackup(const BackupOptions& options, const ProgressCallback& progress,
                                 const std::atomic<bool>* cancel);
BackupOutcome RunDiscBackup(const BackupOptions& options, const ProgressCallback& progress,
                            const std::atomic<bool>* cancel);

// Copies the first `length` bytes of `source` into `folder` under `name`, through a
// temporary name, verified (size and checksum) before the rename. False with a reason.
bool CopyVerified(const std::filesystem::path& source, const std::filesystem::path& folder,
                  const std::string& name, uint64_t length, std::string& reason);

// Why a range selects nothing to back up: the source holds no recordings at all, or
// none of those days.
std::string NothingToBackUp(const BackupOptions& options);

// The checks each backup path makes on its own thread before it writes anything: the
// recordings folder is there, the target is not refused (TargetRefusal), and the range
// selects hour files.
struct FilesToBackUp {
  std::vector<SelectedFile> files;  // what the range selects, when `reason` is empty
  std::string reason;               // why nothing may be written
  bool targetRefused = false;       // the reason is the target's, not the source's
};
FilesToBackUp ListFilesToBackUp(const BackupOptions& options);

// The file a "stdio:IMAGE" target writes: IMAGE with its folder resolved, or the file a
// link there leads to. False with a reason when there is no such folder.
bool ResolveImagePath(const std::string& target, std::filesystem::path& image, std::string& reason);

}  // namespace velmora::backup
