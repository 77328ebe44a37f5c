#include "tree/media_branches.h"

#include <mutex>
#include <set>

#include "app/log.h"
#include "app/settings.h"
#include "live/view_slot.h"
#include "model/media_scan.h"
#include "playback/playback_control.h"
#include "playback/playback_engine.h"
#include "tree/entry_removal.h"

namespace velmora {

namespace {

using namespace EntryKind;

constexpr const char* kChangeHandler = "CMainFrame::OnSHChangeNotify";

std::string LastName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.rfind('/');
  const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  return name.empty() ? trimmed : name;
}

void AddUnder(GroupRecord& parent, const ScanNode& node, GroupRecord** added) {
  Log("srm_add: %s/%s, type=%d, children=%d", node.name.c_str(), node.path.c_str(), node.scanType,
      static_cast<int>(node.children.size()));
  if (node.children.empty() && node.scanType != RemovableFolder) return;
  // Folder names come from the medium: shown and logged like any other entry's name.
  std::shared_ptr<GroupRecord> record = CreateRecord(node.scanType, CleanName(node.name));
  record->enabled = true;
  record->path = node.path;
  if (node.scanType == RemovableDrive) record->location = node.device;
  GroupRecord* entry = record.get();
  InsertEntry(&parent, std::move(record));
  if (added != nullptr && *added == nullptr) *added = entry;
  for (const auto& child : node.children) AddUnder(*entry, *child, nullptr);
}

// Drives that went while their scan may have been running (no branch and no waiting
// scan when they went): a result for one of them comes too late and is dropped, unless
// the drive arrived again since. Main thread only.
std::set<std::string>& GoneWhileScanning() {
  static auto* gone = new std::set<std::string>();
  return *gone;
}

void CollectShownFolders(GroupRecord& entry, std::vector<GroupRecord*>& shown) {
  if (entry.kind == RemovableFolder && entry.viewIndex >= 0) shown.push_back(&entry);
  for (const auto& child : entry.children) CollectShownFolders(*child, shown);
}

}  // namespace

platform::MountTableSource MediaSourceFromSettings(const Settings& settings) {
  platform::MountTableSource source;
  source.extraRoots = platform::ParseMountRoots(settings.mediaMountRoots);
  return source;
}

void PostDriveChange(const platform::RemovableMount& mount, bool added) {
  MsgShellChange change;
  change.mountPoint = mount.mountPoint;
  change.added = added;
  change.device = mount.deviceNode;
  change.displayName = mount.displayName;
  mainQueue().post(std::move(change));
}

GroupRecord* FindDriveBranch(GroupRecord& root, const std::string& path) {
  for (const auto& child : root.children)
    if (child->kind == RemovableDrive && child->path == path) return child.get();
  return nullptr;
}

bool QueueDriveScan(GroupRecord& root, const std::string& path, const std::string& displayName,
                    const std::string& device) {
  if (path.empty()) return false;
  for (const auto& child : root.children)
    if (child->path == path) return false;
  GoneWhileScanning().erase(path);
  return QueueMediaScan(path, displayName.empty() ? LastName(path) : displayName, device);
}

int ScanAllMedia(GroupRecord& root, const std::vector<platform::RemovableMount>& mounts) {
  int queued = 0;
  for (const auto& mount : mounts)
    if (QueueDriveScan(root, mount.mountPoint, mount.displayName, mount.deviceNode)) ++queued;
  return queued;
}

GroupRecord* AddScanResult(GroupRecord& root, const ScanNode& node) {
  // A drive that arrived twice while its first scan ran gets one branch.
  if (node.scanType == RemovableDrive && FindDriveBranch(root, node.path) != nullptr) return nullptr;
  // The drive went while it was scanned: its files are no longer there to play.
  if (node.scanType == RemovableDrive && GoneWhileScanning().erase(node.path) > 0) return nullptr;
  GroupRecord* added = nullptr;
  AddUnder(root, node, &added);
  return added;
}

bool RemoveDriveBranch(DeviceTree& tree, const std::string& path, const ClearFolderTile& clearTile) {
  const bool wasWaiting = DropMediaScan(path);
  GroupRecord* drive = tree.root ? FindDriveBranch(*tree.root, path) : nullptr;
  if (drive == nullptr) {
    if (!wasWaiting) GoneWhileScanning().insert(path);
    return false;
  }
  Log("%s: deleting '%s'", kChangeHandler, drive->name.c_str());
  std::shared_ptr<GroupRecord> hold = drive->shared_from_this();
  // Tiles first, while the folders are still in the tree: leaving playback looks tiles
  // up through it.
  std::vector<GroupRecord*> shown;
  CollectShownFolders(*drive, shown);
  for (GroupRecord* folder : shown)
    if (clearTile) clearTile(*folder);
  RemoveNode(tree, *drive);
  return true;
}

bool ClearRemovedFolderTile(GroupRecord& folder, ViewSlots& slots) {
  const int tile = folder.viewIndex;
  if (slots.at(tile) == nullptr) return false;
  const bool played = slots.PlaybackSlot(tile) >= 0;
  {
    // Workers read the slot indices under fetchLock.
    std::lock_guard<std::mutex> guard(folder.fetchLock);
    folder.viewIndex = -1;
    folder.fetchIndex = -1;
  }
  slots.SetPlaybackSlot(tile, -1);
  slots.SetCaptionAndClear(tile, kTextNoViewSelected);
  return played;
}

void FollowRemovedTiles(bool played, ViewSlots& slots, PlaybackController& playback) {
  if (!playback.active() || !played) return;
  bool othersPlayed = false;
  for (int t = 0; t < ViewSlots::size() && !othersPlayed; ++t) othersPlayed = slots.PlaybackSlot(t) >= 0;
  if (othersPlayed) {
    // The feed still reads the drive's files: the other tiles get the same range anew.
    playback.RequestNewFeed(FeedKind::kSameRange, nullptr);
  } else {
    playback.Leave();
  }
}

bool RemoveDriveBranchShown(DeviceTree& tree, const std::string& path, PlaybackController& playback) {
  bool played = false;
  const bool removed = RemoveDriveBranch(tree, path, [&](GroupRecord& folder) {
    played = ClearRemovedFolderTile(folder, playback.shownSlots()) || played;
  });
  FollowRemovedTiles(played, playback.shownSlots(), playback);
  return removed;
}

bool IsOpticalDrive(const GroupRecord& drive) {
  if (drive.kind != RemovableDrive) return false;
  return LastName(drive.location).rfind("sr", 0) == 0;
}

bool HandleMediaMessage(AppMessage& message, DeviceTree& tree, const platform::MountTableSource& source,
                        PlaybackController& playback) {
  GroupRecord* root = tree.root.get();
  if (auto* change = std::get_if<MsgShellChange>(&message)) {
    if (root == nullptr) return true;
    if (change->added) {
      QueueDriveScan(*root, change->mountPoint, change->displayName, change->device);
    } else {
      RemoveDriveBranchShown(tree, change->mountPoint, playback);
    }
    return true;
  }
  if (auto* result = std::get_if<MsgMediaScanResult>(&message)) {
    if (root != nullptr && result->node) AddScanResult(*root, *result->node);
    // The node is freed with the message, after every receiver saw it.
    return true;
  }
  if (std::holds_alternative<MsgScanAllMedia>(message)) {
    if (root != nullptr) ScanAllMedia(*root, platform::ListRemovableMounts(source));
    return true;
  }
  return false;
}

}  // namespace velmora
