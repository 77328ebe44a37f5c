// Inside the backup: how much of each selected file is copied. Recording files may be
// growing while they are read (the recorder appends to the current hour), so a data
// file is taken up to the end of its last complete record and its index up to the last
// entry that points at a record inside that part; both lengths come from one look at
// the pair, so the copy is a consistent, untorn hour. Other files are taken whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "backup/backup.h"

namespace velmora::backup {

struct PlannedFile {
  std::string name;
  uint64_t length = 0;  // bytes to copy from the start of the file
};

// The lengths of every file of `files` (all in `folder`). A file that cannot be opened
// any more keeps its listed size; the copy then reports it.
std::vector<PlannedFile> PlanCopy(const std::filesystem::path& folder,
                                  const std::vector<SelectedFile>& files);

// Names with the data or index extension, any case.
bool HasDataExtension(std::string_view name);
bool HasIndexExtension(std::string_view name);
// True for the names a backup writes into a target: ".nvr", ".vlj" and ".vlx" files.
bool IsBackupFileName(std::string_view name);

}  // namespace velmora::backup
