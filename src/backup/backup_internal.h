// Inside the backup library: the two backup paths RunBackup chooses between.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>

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

// The file a "stdio:IMAGE" target writes: IMAGE with its folder resolved, or the file a
// link there leads to. False with a reason when there is no such folder.
bool ResolveImagePath(const std::string& target, std::filesystem::path& image, std::string& reason);

}  // namespace velmora::backup
