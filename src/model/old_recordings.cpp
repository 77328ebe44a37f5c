#include "model/old_recordings.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

#include "app/log.h"
#include "app/paths.h"
#include "app/recording_names.h"
#include "app/strings.h"

namespace velmora {

namespace {

// The recordings folders the tree claims: pathData + `path` of every entry, and the
// folder of a storage entry, which lies elsewhere. With `configuredOnly`, entries found
// by scans (removable media, leftover recordings) claim nothing.
void CollectOwned(const GroupRecord& record, const std::string& pathData,
                  std::unordered_set<std::string>& owned, bool configuredOnly = false) {
  if (configuredOnly && record.kind < EntryKind::ServerCamera) return;
  std::string folder = pathData + record.path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  owned.insert(std::move(folder));
  if (record.kind == EntryKind::NASDevice && !record.location.empty()) {
    std::string location = record.location;
    while (location.size() > 1 && location.back() == '/') location.pop_back();
    owned.insert(std::move(location));
  }
  for (const auto& child : record.children) CollectOwned(*child, pathData, owned, configuredOnly);
}

struct OrphanWalk {
  const std::string& pathData;  // ends with "/"
  const std::unordered_set<std::string>& owned;
  std::set<std::string>& orphans;

  // `relative`: the folder below pathData, empty for pathData itself.
  void Walk(const std::string& relative, int depth) {
    const std::string folder =
        relative.empty() ? pathData.substr(0, pathData.size() - 1) : pathData + relative;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
      Log("old recordings: cannot list %s: %s", folder.c_str(), std::strerror(errno));
      return;
    }
    std::vector<std::string> subfolders;
    bool recordings = false;
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      struct stat st {};
      // lstat: a link is neither walked nor taken for a recording file.
      if (::lstat((folder + "/" + name).c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        subfolders.push_back(name);
      } else if (S_ISREG(st.st_mode) && IsRecordingFileName(name)) {
        recordings = true;
      }
    }
    ::closedir(dir);
    if (recordings && !relative.empty() && owned.count(folder) == 0) orphans.insert(relative);
    if (depth >= kOldRecordingsMaxDepth) {
      if (!subfolders.empty()) Log("old recordings: %s nested too deep, not walked", folder.c_str());
      return;
    }
    std::sort(subfolders.begin(), subfolders.end());
    for (const auto& name : subfolders) Walk(relative.empty() ? name : relative + "/" + name, depth + 1);
  }
};

// The kind -4 entry for `path` anywhere below `node`.
GroupRecord* FindSub(GroupRecord& node, const std::string& path) {
  for (const auto& child : node.children) {
    if (child->kind != EntryKind::OldRecordingsSub) continue;
    if (child->path == path) return child.get();
    if (GroupRecord* found = FindSub(*child, path)) return found;
  }
  return nullptr;
}

GroupRecord* FindLeftover(GroupRecord& node, const std::string& relative) {
  for (const auto& child : node.children) {
    if (child->kind == EntryKind::OldRecordingsFolder && child->path == relative) return child.get();
    if (child->kind != EntryKind::OldRecordingsSub) continue;
    if (GroupRecord* found = FindLeftover(*child, relative)) return found;
  }
  return nullptr;
}

// Every kind -3 entry below `node`.
void CollectLeftovers(GroupRecord& node, std::vector<GroupRecord*>& out) {
  for (const auto& child : node.children) {
    if (child->kind == EntryKind::OldRecordingsFolder) out.push_back(child.get());
    if (child->kind == EntryKind::OldRecordingsSub) CollectLeftovers(*child, out);
  }
}

// Takes a kind -3 entry out of the tree with the kind -4 entries and the kind -5 entry
// it leaves empty.
void RemoveLeftoverEntry(GroupRecord& leftover) {
  GroupRecord* parent = leftover.parent;
  RemoveEntry(leftover);
  while (parent != nullptr && parent->children.empty() &&
         (parent->kind == EntryKind::OldRecordingsSub || parent->kind == EntryKind::OldRecordingsNode)) {
    GroupRecord* above = parent->parent;
    RemoveEntry(*parent);
    parent = above;
  }
}

std::string WithoutTrailingSlash(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// The same folder on disk: the names differ but one may be a link to the other.
bool SameFolder(const std::string& a, const std::string& b) {
  struct stat first {}, second {};
  if (::stat(a.c_str(), &first) != 0 || ::stat(b.c_str(), &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

const GroupRecord* FindOwner(const GroupRecord& record, const std::string& base, const std::string& folder) {
  if (record.kind < EntryKind::ServerCamera) return nullptr;
  const bool recordsHere = record.kind != EntryKind::Root && record.kind != EntryKind::LocalNVR &&
                           record.kind != EntryKind::NASDevice;
  if (recordsHere) {
    const std::string own = WithoutTrailingSlash(base + record.path);
    if (own == folder || SameFolder(own, folder)) return &record;
  } else if (record.kind == EntryKind::NASDevice && !record.location.empty()) {
    const std::string own = WithoutTrailingSlash(record.location);
    if (own == folder || SameFolder(own, folder)) return &record;
  }
  for (const auto& child : record.children) {
    if (const GroupRecord* owner = FindOwner(*child, base, folder)) return owner;
  }
  return nullptr;
}

}  // namespace

std::set<std::string> FindOrphanFolders(const GroupRecord& root, const std::string& pathData) {
  std::set<std::string> orphans;
  if (pathData.empty()) return orphans;
  const std::string base = WithSlash(pathData);
  std::unordered_set<std::string> owned;
  CollectOwned(root, base, owned);
  OrphanWalk{base, owned, orphans}.Walk(std::string(), 0);
  return orphans;
}

GroupRecord* AddOldRecordingsBranch(GroupRecord& root, const std::set<std::string>& orphans) {
  if (orphans.empty()) return nullptr;
  // Like the entries of removable media, every entry of the branch is enabled: showing
  // one gives its recordings folders a tile for playback.
  std::shared_ptr<GroupRecord> top = CreateRecord(EntryKind::OldRecordingsNode, StringText(106));
  top->enabled = true;
  GroupRecord* node = top.get();
  InsertEntry(&root, std::move(top));
  for (const std::string& orphan : orphans) {
    GroupRecord* parent = node;
    std::string accumulated;
    std::size_t start = 0;
    for (;;) {
      const std::size_t slash = orphan.find('/', start);
      const std::string component =
          orphan.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
      accumulated = accumulated.empty() ? component : accumulated + "/" + component;
      if (slash == std::string::npos) {
        auto leaf = CreateRecord(EntryKind::OldRecordingsFolder, component);
        leaf->path = accumulated;
        leaf->enabled = true;
        InsertEntry(parent, std::move(leaf));
        break;
      }
      GroupRecord* sub = FindSub(*node, accumulated);
      if (sub == nullptr) {
        auto created = CreateRecord(EntryKind::OldRecordingsSub, component);
        created->path = accumulated;
        created->enabled = true;
        sub = created.get();
        InsertEntry(parent, std::move(created));
      }
      parent = sub;
      start = slash + 1;
    }
  }
  return node;
}

int BuildOldRecordingsBranch(DeviceTree& tree) {
  GroupRecord& root = tree.ensureRoot();
  const std::set<std::string> orphans = FindOrphanFolders(root, tree.recordingsFolder);
  AddOldRecordingsBranch(root, orphans);
  if (!orphans.empty())
    Log("old recordings: %zu folder(s) with no device listed", orphans.size());
  return static_cast<int>(orphans.size());
}

bool RemoveGoneOldRecordings(GroupRecord& root, const std::string& pathData, const std::string& folder) {
  if (pathData.empty()) return false;
  const std::string base = WithSlash(pathData);
  if (folder.size() <= base.size() || folder.compare(0, base.size(), base) != 0) return false;
  struct stat st {};
  if (::lstat(folder.c_str(), &st) == 0) return false;  // still there: the entry stays
  const std::string relative = folder.substr(base.size());
  for (const auto& top : root.children) {
    if (top->kind != EntryKind::OldRecordingsNode) continue;
    GroupRecord* leftover = FindLeftover(*top, relative);
    if (leftover == nullptr) continue;
    Log("old recordings: %s emptied by the removal pass", relative.c_str());
    RemoveLeftoverEntry(*leftover);
    return true;
  }
  return false;
}

int ReleaseOwnedOldRecordings(GroupRecord& root, const std::string& pathData) {
  if (pathData.empty()) return 0;
  const std::string base = WithSlash(pathData);
  std::unordered_set<std::string> owned;
  CollectOwned(root, base, owned, true);
  std::vector<GroupRecord*> leftovers;
  for (const auto& top : root.children) {
    if (top->kind == EntryKind::OldRecordingsNode) CollectLeftovers(*top, leftovers);
  }
  int released = 0;
  for (GroupRecord* leftover : leftovers) {
    if (owned.count(WithoutTrailingSlash(base + leftover->path)) == 0) continue;
    Log("old recordings: %s belongs to an entry of the tree now", leftover->path.c_str());
    RemoveLeftoverEntry(*leftover);
    ++released;
  }
  return released;
}

int ReleaseOwnedOldRecordings(DeviceTree& tree) {
  return tree.root ? ReleaseOwnedOldRecordings(*tree.root, tree.recordingsFolder) : 0;
}

const GroupRecord* RecordingsFolderOwner(const GroupRecord& root, const std::string& pathData,
                                         const std::string& folder) {
  if (pathData.empty()) return nullptr;
  return FindOwner(root, WithSlash(pathData), WithoutTrailingSlash(folder));
}

}  // namespace velmora
