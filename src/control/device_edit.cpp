#include "control/device_edit.h"

#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "app/log.h"
#include "control/property_rules.h"
#include "live/fetch.h"
#include "live/view_slot.h"
#include "model/old_recordings.h"
#include "recording/format.h"
#include "recording/recorder.h"

namespace velmora::control {

namespace {

constexpr int kStringNameInUse = 377;

// The entry and everything below it, parents before children.
void CollectSubtree(GroupRecord& top, std::vector<GroupRecord*>& out) {
  out.push_back(&top);
  for (auto& child : top.children) CollectSubtree(*child, out);
}

// Holds the fetchLock of every entry of a subtree, then the tree's recording lock. The main thread
// is the only one that ever holds more than one fetchLock, so taking them in tree order
// cannot deadlock with a worker (a worker holds one fetchLock at a time).
class SubtreeLocks {
 public:
  SubtreeLocks(const std::vector<GroupRecord*>& records, std::mutex& recordingLock) {
    fetch_.reserve(records.size());
    for (GroupRecord* record : records) fetch_.emplace_back(record->fetchLock);
    recording_ = std::unique_lock<std::mutex>(recordingLock);
  }
  ~SubtreeLocks() {
    // Released in the opposite order.
    recording_.unlock();
    while (!fetch_.empty()) fetch_.pop_back();
  }
  SubtreeLocks(const SubtreeLocks&) = delete;
  SubtreeLocks& operator=(const SubtreeLocks&) = delete;

 private:
  std::vector<std::unique_lock<std::mutex>> fetch_;
  std::unique_lock<std::mutex> recording_;
};

// The recorder opens files only under the tree's recording lock, which the caller holds, so files
// closed here stay closed until the locks are let go.
void CloseSubtreeFiles(const std::vector<GroupRecord*>& records) {
  for (GroupRecord* record : records) {
    if (IsRecordableKind(record->kind)) CloseRecordingFiles(*record);
  }
}

bool OwnsRecordingsFolder(const GroupRecord& entry) {
  // A storage folder's recordings live at its location, not below the recordings
  // folder; entries found by scans keep the paths the scans gave them.
  return entry.kind >= EntryKind::ServerCamera && entry.kind != EntryKind::NASDevice;
}

// Moves the recordings folder of `oldPath` to `newPath` (both below pathData). The folder
// of the new parent is made first when there is something to move. Locks held.
bool MoveRecordingsFolder(const std::string& recordings, const std::string& oldPath, const std::string& newPath,
                          int& error) {
  error = 0;
  if (oldPath == newPath) return true;
  const std::filesystem::path root(recordings);
  std::error_code ec;
  const std::filesystem::path from = DeviceFolder(root, oldPath);
  if (!std::filesystem::exists(std::filesystem::symlink_status(from, ec))) {
    // Never recorded: nothing to move (record_rename_folder says the same).
    return record_rename_folder(recordings, oldPath, newPath, error);
  }
  const std::string::size_type slash = newPath.rfind('/');
  if (slash != std::string::npos) {
    // A failure here shows as the rename's own failure just below.
    const int made = MakeDeviceFolder(root, std::string_view(newPath).substr(0, slash));
    if (made != 0) Log("move recordings: cannot make the parent folder of %s (%d)", newPath.c_str(), made);
  }
  return record_rename_folder(recordings, oldPath, newPath, error);
}

// The paths the entry and its subtree get when the entry is called `name` below `parent`,
// in the order of CollectSubtree.
void NewPaths(const GroupRecord* parent, GroupRecord& entry, const std::string& name,
              std::vector<std::string>& out) {
  const std::string path = entry.kind < EntryKind::ServerCamera
                               ? entry.path
                               : ComputePath(parent, entry.kind, name);
  out.push_back(path);
  // Children compute their paths from this one; a stand-in parent carries it.
  GroupRecord standIn;
  standIn.kind = entry.kind;
  standIn.path = path;
  standIn.parent = entry.parent;
  for (auto& child : entry.children) NewPaths(&standIn, *child, child->name, out);
}

// Renames or moves the entry's subtree under the locks: closes its files, moves the
// recordings folder, then runs `change` (which sets the name; it must not call out to
// anything that takes the locks) and writes the new paths. When the folder cannot be
// moved nothing is changed and the files stay closed (they reopen in the old folder
// with the next frame).
template <class Change>
EditResult ChangePathsLive(DeviceTree& tree, GroupRecord& entry, const GroupRecord* newParent,
                           const std::string& newName, Change&& change) {
  std::vector<GroupRecord*> subtree;
  CollectSubtree(entry, subtree);
  std::vector<std::string> newPaths;
  NewPaths(newParent, entry, newName, newPaths);

  EditResult result;
  {
    SubtreeLocks locks(subtree, tree.recordingLock);
    CloseSubtreeFiles(subtree);
    int error = 0;
    if (OwnsRecordingsFolder(entry) &&
        !MoveRecordingsFolder(tree.recordingsFolder, entry.path, newPaths.front(), error)) {
      result.ok = false;
      result.messageId = kStringFolderRenameFailed;
      result.systemError = error;
      return result;
    }
    if (!change()) {
      // The structure refused the change after the folder moved: move it back.
      if (OwnsRecordingsFolder(entry)) MoveRecordingsFolder(tree.recordingsFolder, newPaths.front(), entry.path, error);
      result.ok = false;
      return result;
    }
    for (std::size_t i = 0; i < subtree.size(); ++i) {
      std::lock_guard<std::mutex> files(subtree[i]->files.recordLock);
      subtree[i]->path = newPaths[i];
    }
  }
  return result;
}

bool IsBelowOrSame(const GroupRecord* node, const GroupRecord& top) {
  for (; node != nullptr; node = node->parent) {
    if (node == &top) return true;
  }
  return false;
}

// Stores the edited configuration in the record, in one assignment, except what the
// operator does not edit there: the name (a rename moves the recordings folder first),
// the entry's kind and identity, and what the program learnt of the device meanwhile
// (its certificate, its authentication scheme), which the sheet's copy may hold from
// before. fetchLock of the record held.
void WriteFields(GroupRecord& entry, const DeviceConfig& s) {
  DeviceConfig next = s;
  next.kind = entry.kind;
  next.name = entry.name;
  next.uuid = entry.uuid;
  next.hwAddr = entry.hwAddr;
  next.certificate = entry.certificate;
  next.authScheme = entry.authScheme;
  next.cameraIndex = entry.cameraIndex;
  if (entry.enabled && !s.enabled) {
    // Disabling a device ends its recording; enabling it again does not restart it.
    entry.receivedData = false;
    next.recording = false;
  }
  if (!entry.enabled && s.enabled) entry.lastUpdateTick = 0;  // an immediate update check
  static_cast<DeviceConfig&>(entry) = next;
}

// The view slots the tree's entries are shown in (one set per program: whoever gives
// an entry a tile points its shownIn at them), or null while no entry of the tree has
// ever been shown.
ViewSlots* ShownSlotsOfTree(GroupRecord& entry) {
  if (entry.shownIn != nullptr) return entry.shownIn;
  for (auto& child : entry.children) {
    if (ViewSlots* shown = ShownSlotsOfTree(*child)) return shown;
  }
  return nullptr;
}

// Recording pauses while the recordings folders are renamed: every tile's recording
// mark goes off until the next recorded frame sets it again. Only the recorder sets
// marks, through an entry's shownIn, so a tree none of whose entries was ever shown
// has no mark to clear.
void ClearRecordingMarks(GroupRecord& entry) {
  if (ViewSlots* shown = ShownSlotsOfTree(TopOf(entry))) record_stop(*shown);
}

// The tile shows the entry's name as its caption.
void RenameTile(GroupRecord& entry) {
  if (entry.viewIndex < 0 || entry.shownIn == nullptr) return;
  entry.shownIn->SetText(entry.viewIndex, entry.name);
}

}  // namespace

DeviceConfig ReadDeviceSettings(GroupRecord& entry) {
  std::lock_guard<std::mutex> guard(entry.fetchLock);
  return entry;
}

EditResult ApplyDeviceSettings(DeviceTree& tree, GroupRecord& entry, const DeviceConfig& settings) {
  const std::string name = CleanName(settings.name);
  // CleanName turns an empty text into "???": check the text as typed for emptiness.
  const bool blank = settings.name.find_first_not_of(" \t\r\n") == std::string::npos;
  if (const int problem = NameProblem(entry.kind, blank ? std::string() : name); problem != 0) {
    return EditResult{false, problem};
  }

  if (entry.isNew) {
    // Not in the tree yet: nobody else sees the record.
    entry.name = name;
    entry.path = entry.kind < EntryKind::ServerCamera ? entry.path
                                                      : ComputePath(entry.parent, entry.kind, name);
    WriteFields(entry, settings);
    if (entry.kind == EntryKind::ServerDevice) {
      for (auto& child : entry.children) {
        child->location = entry.location;
        child->username = entry.username;
        child->password = entry.password;
        child->sendPasswordOnlyWhenAsked = entry.sendPasswordOnlyWhenAsked;
      }
    }
    return EditResult{};
  }

  if (name != entry.name) {
    // Two entries of one name would write into one recordings folder. A change of
    // letter case alone is the entry's own name and stays allowed.
    if (entry.parent != nullptr && NameInUse(*entry.parent, entry.kind, name, &entry))
      return EditResult{false, kStringNameInUse};
    ClearRecordingMarks(entry);
    EditResult renamed = ChangePathsLive(tree, entry, entry.parent, name, [&] {
      std::lock_guard<std::mutex> files(entry.files.recordLock);
      entry.name = name;
      return true;
    });
    if (!renamed.ok) return renamed;
    if (TreeObserver* observer = Installed<TreeObserver>::get()) observer->changed(entry);
    RenameTile(entry);
    ReleaseOwnedOldRecordings(tree);
  }

  bool reconnect = false;
  {
    std::lock_guard<std::mutex> guard(entry.fetchLock);
    reconnect = entry.location != settings.location || entry.username != settings.username ||
                entry.password != settings.password ||
                entry.sendPasswordOnlyWhenAsked != settings.sendPasswordOnlyWhenAsked ||
                entry.updateDelay != settings.updateDelay || entry.motionType != settings.motionType;
    WriteFields(entry, settings);
  }
  // A video server's cameras use its address and account.
  std::vector<GroupRecord*> inputs;
  if (entry.kind == EntryKind::ServerDevice) {
    for (auto& child : entry.children) {
      std::lock_guard<std::mutex> guard(child->fetchLock);
      if (child->location == entry.location && child->username == entry.username &&
          child->password == entry.password && child->sendPasswordOnlyWhenAsked == entry.sendPasswordOnlyWhenAsked)
        continue;
      child->location = entry.location;
      child->username = entry.username;
      child->password = entry.password;
      child->sendPasswordOnlyWhenAsked = entry.sendPasswordOnlyWhenAsked;
      inputs.push_back(child.get());
    }
  }
  // The next periodic check connects again with the new settings.
  if (reconnect) viewthread_refresh(entry, false);
  for (GroupRecord* input : inputs) viewthread_refresh(*input, false);

  ApplyRecordingState(tree, &entry);
  RefreshItemState(entry);
  return EditResult{};
}

EditResult RenameEntryLive(DeviceTree& tree, GroupRecord& entry, const std::string& name) {
  DeviceConfig settings = ReadDeviceSettings(entry);
  settings.name = name;
  return ApplyDeviceSettings(tree, entry, settings);
}

EditResult MoveEntryLive(DeviceTree& tree, GroupRecord& entry, GroupRecord& newParent, std::size_t position) {
  if (entry.parent == nullptr || IsBelowOrSame(&newParent, entry)) return EditResult{false, 0};
  EditResult result;
  if (entry.parent == &newParent) {
    // Same parent: only the order changes, the paths stay.
    result.ok = MoveEntry(entry, newParent, position);
    return result;
  }
  // The folder and the paths move under the locks; the tree's structure changes after
  // they are let go, so that the observer (which may read the entry's fields under its
  // fetchLock) is never called with them held. Workers do not walk the structure.
  GroupRecord* oldParent = entry.parent;
  result = ChangePathsLive(tree, entry, &newParent, entry.name, [] { return true; });
  if (!result.ok) return result;
  if (!MoveEntry(entry, newParent, position)) {
    ChangePathsLive(tree, entry, oldParent, entry.name, [] { return true; });
    return EditResult{false, 0};
  }
  ReleaseOwnedOldRecordings(tree);
  ApplyRecordingState(tree, &entry);
  return result;
}

void SetEnabledLive(const DeviceTree& tree, GroupRecord& entry, bool enabled) {
  {
    std::lock_guard<std::mutex> guard(entry.fetchLock);
    if (entry.enabled != enabled) {
      if (enabled) {
        // An immediate update check.
        entry.lastUpdateTick = 0;
      } else {
        entry.receivedData = false;
        entry.recording = false;
      }
    }
    entry.enabled = enabled;
  }
  ApplyRecordingState(tree, &entry);
  RefreshItemState(entry);
}

void SetRecordingLive(const DeviceTree& tree, GroupRecord& entry, bool recording) {
  {
    std::lock_guard<std::mutex> guard(entry.fetchLock);
    entry.recording = recording;
  }
  ApplyRecordingState(tree, &entry);
  RefreshItemState(entry);
}

void SetStillShownLive(GroupRecord& entry, bool stillShown) {
  std::lock_guard<std::mutex> guard(entry.fetchLock);
  entry.stillShown = stillShown;
}

std::string DeviceUrlLive(GroupRecord& entry) {
  std::lock_guard<std::mutex> guard(entry.fetchLock);
  return DeviceUrl(entry);
}

uint16_t ToggleZoneLive(GroupRecord& entry, int bit) {
  std::lock_guard<std::mutex> guard(entry.fetchLock);
  if (bit >= 0 && bit < 16) entry.grid4x4 = static_cast<uint16_t>(entry.grid4x4 ^ (1u << bit));
  return entry.grid4x4;
}

}  // namespace velmora::control
