#include "tree/entry_removal.h"

#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

#include "app/helpers.h"
#include "app/log.h"
#include "app/recording_names.h"
#include "live/view_slot.h"
#include "model/old_recordings.h"
#include "playback/playback_engine.h"

namespace velmora {

namespace {

namespace fs = std::filesystem;
using namespace EntryKind;

// Removes a folder when it is empty; anything else (missing, not empty) is left alone.
void RemoveFolderIfEmpty(const DeviceTree& tree, const std::string& relative) {
  if (relative.empty() || tree.recordingsFolder.empty()) return;
  std::error_code ignored;
  const fs::path folder = fs::path(tree.recordingsFolder) / relative;
  if (fs::is_directory(folder, ignored) && fs::is_empty(folder, ignored)) fs::remove(folder, ignored);
}

// A leftover recordings folder: its data and index files and its marker go, then the
// folder itself when nothing else is left in it. Failures are ignored one by one. False,
// with nothing deleted, when an entry of the tree records into the folder now: that is
// checked under the tree's recording lock, which the recorder holds to open and write its
// files, so no frame can arrive between the check and the deletion.
bool DeleteRecordingFiles(DeviceTree& tree, const std::string& relative) {
  if (relative.empty()) return true;
  // Without the recordings folder a relative path names no folder of this tree.
  if (tree.recordingsFolder.empty()) return false;
  std::error_code error;
  const fs::path folder = fs::path(tree.recordingsFolder) / relative;
  std::lock_guard<std::mutex> recorder(tree.recordingLock);
  if (tree.root) {
    if (const GroupRecord* owner = RecordingsFolderOwner(*tree.root, tree.recordingsFolder, folder.string())) {
      Log("DeleteItem: %s holds the recordings of %s, nothing deleted", LogSafe(relative).c_str(),
          LogSafe(owner->path).c_str());
      return false;
    }
  }
  if (!fs::is_directory(folder, error)) return true;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path& file = it->path();
    const std::string extension = FoldCase(file.extension().string());
    if (!it->is_regular_file(error)) continue;
    if (extension == kDataFileExtension || extension == kIndexFileExtension) {
      std::error_code ignored;
      fs::remove(file, ignored);
    }
  }
  std::error_code ignored;
  fs::remove(folder / kRootMarkerName, ignored);
  RemoveFolderIfEmpty(tree, relative);
  return true;
}

}  // namespace

void ReleaseViewSlot(GroupRecord& entry) {
  int tile = -1;
  ViewSlots* slots = nullptr;
  {
    // Workers read the slot indices under fetchLock.
    std::lock_guard<std::mutex> guard(entry.fetchLock);
    tile = entry.viewIndex;
    slots = entry.shownIn;
    entry.viewIndex = -1;
    entry.fetchIndex = -1;
  }
  if (slots == nullptr || slots->at(tile) == nullptr) return;
  slots->SetPlaybackSlot(tile, -1);
  slots->SetCaptionAndClear(tile, kTextNoViewSelected);
}

bool RemoveNode(DeviceTree& tree, GroupRecord& entry, const std::function<void(GroupRecord&)>& clearViewSlot) {
  if (entry.kind == LocalNVR || entry.kind == Root) return true;
  bool deleted = true;
  // Children first, from the last so the list shrinks from its end.
  while (!entry.children.empty()) {
    std::shared_ptr<GroupRecord> child = entry.children.back();
    if (!RemoveNode(tree, *child, clearViewSlot)) deleted = false;
    if (!entry.children.empty() && entry.children.back() == child) RemoveEntry(*child);
  }
  Log("DeleteItem: %s [%s]", entry.name.c_str(), entry.path.c_str());
  // The entry lets go of its tile before its fetch stops: the dropped connection reports
  // its end (and a worker may deliver one more frame) to the tile the entry names, which
  // by then is none. The tile falls empty. A recordings folder of removable media is
  // cleared by the caller, which knows what that does to playback.
  if (entry.kind != RemovableFolder) ReleaseViewSlot(entry);
  // The fetch stops and the files close first, so no late frame recreates a folder
  // that is about to go.
  StopFetch(entry);
  if (IsRecordableKind(entry.kind)) CloseAllRecordings(&entry);
  switch (entry.kind) {
    case Group:
    case ServerDevice:
    case OldRecordingsSub:
      RemoveFolderIfEmpty(tree, entry.path);
      break;
    case ServerCamera:
    case Device:
    case HTTPDevice:
      RemoveFolderIfEmpty(tree, entry.path);
      if (entry.parent != nullptr) RemoveFolderIfEmpty(tree, entry.parent->path);
      break;
    case OldRecordingsFolder:
      // A folder a device took over leaves the list with its recordings kept.
      if (!DeleteRecordingFiles(tree, entry.path)) deleted = false;
      break;
    case RemovableFolder:
      if (entry.viewIndex >= 0 && clearViewSlot) clearViewSlot(entry);
      break;
    default:
      break;
  }
  if (entry.parent != nullptr) RemoveEntry(entry);
  return deleted;
}

}  // namespace velmora
