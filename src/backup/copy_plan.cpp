#include "backup/copy_plan.h"

#include <fcntl.h>
#include <unistd.h>

#include <map>

#include "app/helpers.h"
#include "recording/format.h"
#include "recording/format_append.h"

namespace velmora::backup {

namespace {

// The other file of an hour's pair, in the case the name's own extension is written in.
std::string SiblingName(const std::string& name) {
  std::string sibling = name;
  char& last = sibling.back();
  if (last == 'j') last = 'x';
  else if (last == 'J') last = 'X';
  else if (last == 'x') last = 'j';
  else if (last == 'X') last = 'J';
  return sibling;
}

struct PairLengths {
  uint64_t data = 0;
  uint64_t index = 0;
};

// One look at an hour's pair: whole records of the data file, and the index entries
// that point inside them.
bool MeasurePair(const std::filesystem::path& dataPath, const std::filesystem::path& indexPath,
                 PairLengths& lengths) {
  const int dataFd = ::open(dataPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (dataFd < 0) return false;
  const int indexFd = ::open(indexPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  AppendPoint point;
  const bool ok = ScanAppendPoint(dataFd, indexFd, point);
  if (ok) {
    lengths.data = point.dataEnd;
    lengths.index = point.entriesKept * kIndexEntryBytes;
  }
  if (indexFd >= 0) ::close(indexFd);
  ::close(dataFd);
  return ok;
}

}  // namespace

bool HasDataExtension(std::string_view name) { return EndsWithNoCase(name, kDataFileExtension); }
bool HasIndexExtension(std::string_view name) { return EndsWithNoCase(name, kIndexFileExtension); }

bool IsBackupFileName(std::string_view name) {
  return name == kRootMarkerName || HasDataExtension(name) || HasIndexExtension(name);
}

std::vector<PlannedFile> PlanCopy(const std::filesystem::path& folder,
                                  const std::vector<SelectedFile>& files) {
  std::map<std::string, PairLengths> measured;  // by data file name
  std::vector<PlannedFile> plan;
  plan.reserve(files.size());
  for (const SelectedFile& file : files) {
    PlannedFile planned{file.name, file.sizeBytes};
    const bool data = HasDataExtension(file.name);
    const bool index = HasIndexExtension(file.name);
    if (data || index) {
      const std::string dataName = data ? file.name : SiblingName(file.name);
      auto found = measured.find(dataName);
      if (found == measured.end()) {
        PairLengths lengths;
        if (MeasurePair(folder / dataName, folder / SiblingName(dataName), lengths)) {
          found = measured.emplace(dataName, lengths).first;
        }
      }
      if (found != measured.end()) {
        planned.length = data ? found->second.data : found->second.index;
      } else if (index) {
        // An index without its data file: whole entries only.
        planned.length = file.sizeBytes / kIndexEntryBytes * kIndexEntryBytes;
      }
    }
    plan.push_back(planned);
  }
  return plan;
}

}  // namespace velmora::backup
