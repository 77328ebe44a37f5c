#include "model/group_record.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/helpers.h"
#include "app/log.h"
#include "app/settings.h"
#include "model/xml_element.h"
#include "platform/clock.h"
#include "platform/curl.h"

namespace velmora {

bool IsViewableKind(int32_t kind) {
  return kind == EntryKind::ServerCamera || kind == EntryKind::Device ||
         kind == EntryKind::HTTPDevice || kind == EntryKind::NASDevice;
}

bool IsRecordableKind(int32_t kind) {
  return kind == EntryKind::ServerCamera || kind == EntryKind::Device ||
         kind == EntryKind::HTTPDevice;
}

bool IsContainerKind(int32_t kind) {
  return kind == EntryKind::Root || kind == EntryKind::LocalNVR || kind == EntryKind::Group ||
         kind == EntryKind::ServerDevice;
}

const char* KindElementName(int32_t kind) {
  switch (kind) {
    case EntryKind::ServerCamera: return "Camera";
    case EntryKind::LocalNVR: return "LocalNVR";
    case EntryKind::Group: return "Group";
    case EntryKind::Device: return "Device";
    case EntryKind::ServerDevice: return "ServerDevice";
    case EntryKind::HTTPDevice: return "HTTPDevice";
    case EntryKind::NASDevice: return "NASDevice";
    default: return "Unknown";
  }
}

ItemState EntryItemState(const GroupRecord& record, bool httpServerOn) {
  ItemState state;
  if (record.errorShown) {
    state.overlay = kOverlayError;
  } else if (record.recording) {
    state.overlay = kOverlayRecording;
  } else if (record.kind == EntryKind::LocalNVR && httpServerOn) {
    state.overlay = kOverlayServer;
  }
  if (IsViewableKind(record.kind) && !record.enabled) {
    state.cut = true;
    state.overlay = kOverlayDisabled;
  }
  return state;
}

void RefreshItemState(GroupRecord& record) {
  if (TreeObserver* observer = Installed<TreeObserver>::get()) observer->changed(record);
}

bool IsValidName(const std::string& name) {
  if (name.empty()) return false;
  std::size_t characters = 0;
  for (unsigned char c : name) {
    if ((c & 0xC0) != 0x80) ++characters;  // count lead bytes only
    if (c != 0 && std::strchr(kForbiddenNameChars, c) != nullptr) return false;
  }
  return characters <= kMaxNameLength;
}

namespace {

// The byte length of the first `characters` characters of a UTF-8 text.
std::size_t CharacterPrefix(std::string_view text, std::size_t characters) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (seen == characters) return i;
      ++seen;
    }
  }
  return text.size();
}

void TrimBlanks(std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) {
    text.clear();
    return;
  }
  text.erase(0, first);
  text.erase(text.find_last_not_of(' ') + 1);
}

}  // namespace

std::string CleanName(std::string_view text) {
  std::string name(text);
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  name = XmlCharacters(name);
  TrimBlanks(name);
  name.resize(CharacterPrefix(name, kMaxNameLength));
  TrimBlanks(name);
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  if (name.empty() || name == "." || name == "..") return "???";
  return name;
}

std::string NumberedName(const std::string& name, int number) {
  const std::string suffix = " (" + std::to_string(number) + ")";
  const std::size_t room = kMaxNameLength > suffix.size() ? kMaxNameLength - suffix.size() : 0;
  return name.substr(0, CharacterPrefix(name, room)) + suffix;
}

std::optional<std::string> UniqueChildName(const GroupRecord& parent, const std::string& name) {
  auto taken = [&parent](const std::string& candidate) {
    for (const auto& child : parent.children) {
      if (NamesEqual(child->name, candidate)) return true;
    }
    return false;
  };
  if (!taken(name)) return name;
  for (int number = 1; number < kMaxNameCandidates; ++number) {
    std::string candidate = NumberedName(name, number);
    if (!taken(candidate)) return candidate;
  }
  return std::nullopt;
}

bool NameInUse(const GroupRecord& parent, int32_t kind, std::string_view name, const GroupRecord* except) {
  const std::string wanted(name);
  // A device's folder lies inside its group's, a group's at the top: a device and a
  // group of one name never share a folder.
  const bool group = kind == EntryKind::Group || kind == EntryKind::LocalNVR;
  auto taken = [&](const GroupRecord& holder) {
    for (const auto& child : holder.children) {
      const bool childGroup = child->kind == EntryKind::Group || child->kind == EntryKind::LocalNVR;
      if (child.get() != except && childGroup == group && NamesEqual(child->name, wanted)) return true;
    }
    return false;
  };
  if (taken(parent)) return true;
  if (kind != EntryKind::Group) return false;
  // Groups below every recorder entry share the top of the recordings folder.
  for (const auto& top : TopOf(parent).children) {
    if (top->kind == EntryKind::LocalNVR && top.get() != &parent && taken(*top)) return true;
  }
  return false;
}

std::string ComputePath(const GroupRecord* parent, int32_t kind, const std::string& name) {
  if (kind == EntryKind::Root || kind == EntryKind::LocalNVR) return std::string();
  if (kind == EntryKind::Group) return name;
  if (parent == nullptr || parent->path.empty()) return name;
  return parent->path + "/" + name;
}

std::shared_ptr<GroupRecord> CreateRecord() { return std::make_shared<GroupRecord>(); }

std::shared_ptr<GroupRecord> CreateRecord(int32_t kind, std::string name) {
  auto record = CreateRecord();
  record->kind = kind;
  record->name = std::move(name);
  return record;
}

GroupRecord& DeviceTree::ensureRoot() {
  if (!root) {
    root = CreateRecord(EntryKind::Root, kRootName);
    if (TreeObserver* observer = Installed<TreeObserver>::get()) {
      observer->beginReset(*root);
      observer->endReset(*root);
    }
  }
  return *root;
}

void DeviceTree::destroy() {
  if (root) DestroyTree(root.get());
  root.reset();
}

namespace {

// The index of `record` in its parent's children; -1 when it has no parent (or the
// parent does not list it, which the tree operations never allow).
int PositionInParent(const GroupRecord& record) {
  if (record.parent == nullptr) return -1;
  const auto& siblings = record.parent->children;
  for (std::size_t i = 0; i < siblings.size(); ++i) {
    if (siblings[i].get() == &record) return static_cast<int>(i);
  }
  return -1;
}

bool IsInSubtree(const GroupRecord* node, const GroupRecord& top) {
  for (; node != nullptr; node = node->parent) {
    if (node == &top) return true;
  }
  return false;
}

}  // namespace

void InsertEntry(GroupRecord* parent, std::shared_ptr<GroupRecord> record) {
  if (parent == nullptr) return;
  InsertEntryAt(parent, parent->children.size(), std::move(record));
}

void InsertEntryAt(GroupRecord* parent, std::size_t position, std::shared_ptr<GroupRecord> record) {
  if (parent == nullptr || !record || record->parent != nullptr) return;
  position = std::min(position, parent->children.size());
  const int at = static_cast<int>(position);
  TreeObserver* observer = Installed<TreeObserver>::get();
  if (observer) observer->beginInsert(*parent, at, *record);
  record->parent = parent;
  GroupRecord& inserted = *record;
  parent->children.insert(parent->children.begin() + static_cast<std::ptrdiff_t>(position),
                          std::move(record));
  if (observer) observer->endInsert(*parent, at, inserted);
}

std::shared_ptr<GroupRecord> RemoveEntry(GroupRecord& record) {
  std::shared_ptr<GroupRecord> held = record.weak_from_this().lock();
  GroupRecord* parent = record.parent;
  const int position = PositionInParent(record);
  if (parent == nullptr || position < 0) return held;
  TreeObserver* observer = Installed<TreeObserver>::get();
  if (observer) observer->beginRemove(*parent, position, record);
  auto& siblings = parent->children;
  held = siblings[static_cast<std::size_t>(position)];
  siblings.erase(siblings.begin() + position);
  record.parent = nullptr;
  if (observer) observer->endRemove(*parent, position, record);
  return held;
}

bool MoveEntry(GroupRecord& record, GroupRecord& newParent, std::size_t position) {
  GroupRecord* oldParent = record.parent;
  const int from = PositionInParent(record);
  if (oldParent == nullptr || from < 0 || IsInSubtree(&newParent, record)) return false;
  // Positions count in the list after the move: without the record when it stays in the
  // same parent.
  const std::size_t limit =
      newParent.children.size() - (oldParent == &newParent ? 1u : 0u);
  position = std::min(position, limit);
  const int to = static_cast<int>(position);
  if (oldParent == &newParent && from == to) return true;

  TreeObserver* observer = Installed<TreeObserver>::get();
  if (observer) observer->beginMove(record, *oldParent, from, newParent, to);
  std::shared_ptr<GroupRecord> held = oldParent->children[static_cast<std::size_t>(from)];
  oldParent->children.erase(oldParent->children.begin() + from);
  newParent.children.insert(newParent.children.begin() + to, std::move(held));
  record.parent = &newParent;
  if (observer) observer->endMove(record, *oldParent, from, newParent, to);
  return true;
}

void SortChildren(GroupRecord& parent) {
  auto sorted = parent.children;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const std::shared_ptr<GroupRecord>& a, const std::shared_ptr<GroupRecord>& b) {
                     return FoldCase(a->name) < FoldCase(b->name);
                   });
  if (sorted == parent.children) return;
  TreeObserver* observer = Installed<TreeObserver>::get();
  if (observer) observer->beginReorder(parent);
  parent.children.swap(sorted);
  if (observer) observer->endReorder(parent);
}

void UpdatePaths(GroupRecord& record) {
  // Scans of removable media and leftover folders set their own paths.
  if (record.kind < EntryKind::ServerCamera) return;
  {
    // The fetch workers and the recorder read the path under these locks.
    std::string path = ComputePath(record.parent, record.kind, record.name);
    std::lock_guard<std::mutex> fetch(record.fetchLock);
    std::lock_guard<std::mutex> files(record.files.recordLock);
    record.path = std::move(path);
  }
  for (auto& child : record.children) UpdatePaths(*child);
}

void RenameEntry(GroupRecord& record, std::string name) {
  {
    std::lock_guard<std::mutex> fetch(record.fetchLock);
    record.name = std::move(name);
  }
  UpdatePaths(record);
  if (TreeObserver* observer = Installed<TreeObserver>::get()) observer->changed(record);
}

GroupRecord* FindByName(GroupRecord* start, const std::string& name, bool deep) {
  if (start == nullptr) return nullptr;
  const bool descend = deep || start->kind == EntryKind::Root;
  for (auto& child : start->children) {
    if (NamesEqual(child->name, name)) return child.get();
    if (descend) {
      if (GroupRecord* found = FindByName(child.get(), name, deep)) return found;
    }
  }
  return nullptr;
}

GroupRecord* FindByHwAddr(GroupRecord* parent, const std::string& hwAddr) {
  if (parent == nullptr) return nullptr;
  for (auto& child : parent->children) {
    if (child->hwAddr == hwAddr) return child.get();
  }
  return nullptr;
}

GroupRecord* FindByRecordingFolder(GroupRecord* start, const std::string& folder, const std::string& pathData) {
  if (start == nullptr) return nullptr;
  if (pathData + start->path == folder) return start;
  for (auto& child : start->children) {
    if (GroupRecord* found = FindByRecordingFolder(child.get(), folder, pathData)) return found;
  }
  return nullptr;
}

namespace {
GroupRecord* FindViewSlotBelow(GroupRecord* start, int slot) {
  if (start == nullptr) return nullptr;
  if (start->viewIndex == slot) return start;
  for (auto& child : start->children) {
    if (GroupRecord* found = FindViewSlotBelow(child.get(), slot)) return found;
  }
  return nullptr;
}
}  // namespace

const GroupRecord& TopOf(const GroupRecord& entry) {
  const GroupRecord* top = &entry;
  while (top->parent != nullptr) top = top->parent;
  return *top;
}

GroupRecord& TopOf(GroupRecord& entry) { return const_cast<GroupRecord&>(TopOf(std::as_const(entry))); }

GroupRecord* FindByViewSlot(GroupRecord* root, int slot) { return FindViewSlotBelow(root, slot); }

int CountViewable(const GroupRecord* start) {
  if (start == nullptr) return 0;
  int count = IsViewableKind(start->kind) ? 1 : 0;
  for (const auto& child : start->children) count += CountViewable(child.get());
  return count;
}

int FirstFreeCameraIndex(const GroupRecord* server) {
  if (server == nullptr || server->kind != EntryKind::ServerDevice) return -1;
  std::array<bool, kMaxServerCameras> used{};
  for (const auto& child : server->children) {
    if (child->cameraIndex >= 0 && child->cameraIndex < kMaxServerCameras)
      used[static_cast<std::size_t>(child->cameraIndex)] = true;
  }
  for (int i = 0; i < kMaxServerCameras; ++i) {
    if (!used[static_cast<std::size_t>(i)]) return i;
  }
  return -1;
}

std::string DeviceUrl(GroupRecord& record) {
  const int32_t kind = record.kind;
  if (kind != EntryKind::Device && kind != EntryKind::ServerDevice &&
      kind != EntryKind::HTTPDevice && kind != EntryKind::ServerCamera)
    return record.location;

  std::string url = record.location;
  if (url.find("://") == std::string::npos) url.insert(0, "http://");

  const platform::CurlUrl parsed = platform::ParseUrl(url, CURLU_NON_SUPPORT_SCHEME);
  std::string host;
  if (!parsed || !platform::UrlPart(parsed.get(), CURLUPART_HOST, 0, host) || host.empty()) {
    Log("InternetCrackUrl failed for '%s'", UrlWithoutPassword(record.location).c_str());
    return record.location;
  }
  // The port as the split reports it: the scheme's default when none is written.
  int port = 0;
  std::string portText;
  if (platform::UrlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT, portText))
    port = std::atoi(portText.c_str());

  if (kind == EntryKind::HTTPDevice) {
    std::string canonical;
    if (!platform::UrlPart(parsed.get(), CURLUPART_URL, CURLU_NO_DEFAULT_PORT, canonical)) {
      Log("InternetCreateUrl failed; location=[%s], port=%d", UrlWithoutPassword(record.location).c_str(), port);
      return record.location;
    }
    record.location = canonical;
    return record.location;
  }

  // An HTTPS camera keeps its scheme in its location; 443 is its default port.
  const bool https = url.compare(0, 8, "https://") == 0 || url.compare(0, 8, "HTTPS://") == 0;
  record.location = host;
  if (port != 0 && port != (https ? 443 : 80)) record.location += ":" + std::to_string(port);
  if (https) record.location.insert(0, "https://");
  std::string result = https ? record.location : "http://" + record.location;
  if (kind != EntryKind::ServerDevice) result += "/jpeg.cgi";
  return result;
}

void StopFetch(GroupRecord& record) {
  // Without a fetch no frame is due any more (an entry removed, the shutdown).
  record.counters->recordingSinceMs.store(DeviceCounters::kNever, std::memory_order_relaxed);
  if (!record.fetchActive) return;
  Log("stopping fetch %d/%s", record.fetchIndex, record.path.c_str());
  if (DeviceFetch* fetch = Installed<DeviceFetch>::get()) fetch->stopFetch(record);
  // The recorder reads fetchActive under fetchLock.
  std::lock_guard<std::mutex> guard(record.fetchLock);
  record.fetchActive = false;
}

void ApplyRecordingState(const DeviceTree& tree, GroupRecord* start) {
  if (start == nullptr) return;
  const int32_t kind = start->kind;
  if (kind < EntryKind::ServerCamera || kind > EntryKind::HTTPDevice) return;
  if (IsContainerKind(kind)) {
    // Copy the list: the fetch engine and the recorder may not change the tree, but a copy
    // keeps the walk safe.
    auto children = start->children;
    for (auto& child : children) ApplyRecordingState(tree, child.get());
    return;
  }
  if (!IsRecordableKind(kind)) return;

  if (tree.settings->recordEnable && start->enabled && start->recording) {
    // The health answer gives a device that has just become a recording one its first
    // minute of grace from here.
    int64_t never = DeviceCounters::kNever;
    start->counters->recordingSinceMs.compare_exchange_strong(never, platform::SteadyMs(), std::memory_order_relaxed);
    if (!start->fetchActive) {
      Log("starting fetch %s", start->path.c_str());
      {
        // Workers read the slot numbers and fetchActive under fetchLock.
        std::lock_guard<std::mutex> guard(start->fetchLock);
        start->fetchIndex = -1;
        start->viewIndex = -1;
        start->fetchActive = true;
      }
      if (DeviceFetch* fetch = Installed<DeviceFetch>::get()) fetch->startFetch(*start);
    }
    return;
  }
  start->counters->recordingSinceMs.store(DeviceCounters::kNever, std::memory_order_relaxed);
  if (start->viewIndex == -1) {
    StopFetch(*start);
  } else if (DeviceRecording* recorder = Installed<DeviceRecording>::get()) {
    recorder->clearRecordingMark(*start);
  }
  CloseRecordingFiles(*start);
}

void StopAllFetches(GroupRecord* start) {
  if (start == nullptr) return;
  auto children = start->children;
  for (auto& child : children) StopAllFetches(child.get());
  StopFetch(*start);
}

void CloseRecordingFiles(GroupRecord& record) {
  if (DeviceRecording* recorder = Installed<DeviceRecording>::get()) recorder->closeRecordings(record);
  std::lock_guard<std::mutex> guard(record.files.recordLock);
  record.files.Close();
}

void CloseAllRecordings(GroupRecord* start) {
  if (start == nullptr) return;
  if (IsRecordableKind(start->kind)) {
    CloseRecordingFiles(*start);
  } else if (IsContainerKind(start->kind)) {
    for (auto& child : start->children) CloseAllRecordings(child.get());
  }
}

namespace {

void TakeApart(GroupRecord* start) {
  // Keep the record alive while it is being taken apart, even when its parent's
  // vector held the last reference.
  std::shared_ptr<GroupRecord> self = start->weak_from_this().lock();
  std::vector<std::shared_ptr<GroupRecord>> children;
  children.swap(start->children);
  for (auto& child : children) TakeApart(child.get());
  children.clear();
  {
    std::lock_guard<std::mutex> guard(start->fetchLock);
    StreamBytes().swap(start->live.streamBuffer);
    start->live.streamLength = 0;
    start->live.connection.reset();
    start->motionState.reset();
  }
  start->savedImage.reset();
  start->parent = nullptr;
}

}  // namespace

void DestroyTree(GroupRecord* start) {
  if (start == nullptr) return;
  std::shared_ptr<GroupRecord> self = start->weak_from_this().lock();
  TreeObserver* observer = Installed<TreeObserver>::get();
  if (observer) observer->beginReset(*start);
  TakeApart(start);
  if (observer) observer->endReset(*start);
}

}  // namespace velmora
