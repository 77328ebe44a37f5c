#include "control/tree_ops.h"

#include <array>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <system_error>

#include "app/helpers.h"
#include "app/log.h"
#include "app/settings.h"
#include "control/device_edit.h"
#include "control/property_rules.h"
#include "live/view_slot.h"
#include "model/device_transfer.h"
#include "model/old_recordings.h"
#include "model/tree_file.h"
#include "playback/playback_engine.h"
#include "recording/format.h"
#include "recording/recorder.h"
#include "tree/entry_removal.h"

namespace velmora::control {

namespace {

namespace fs = std::filesystem;
using namespace EntryKind;

constexpr const char* kGroupBaseName = "New Group";
constexpr const char* kTemplateUser = "admin";
constexpr const char* kTemplatePassword = "pelko";
constexpr const char* kNoHwAddr = "000000-000000";
constexpr uint32_t kStreamDelay = 125;      // ms: a camera's stream
constexpr uint32_t kSnapshotDelay = 30000;  // ms: web images and storage folders
constexpr int32_t kWeekSeconds = 604800;    // default archive time
constexpr int kRefusedLimit = 616;
constexpr int kRefusedName = 377;
constexpr int kRefusedLocation = 375;
constexpr int kRefusedHwAddr = 376;
constexpr int kNameMissing = 130;
constexpr int kFolderOwned = 700;

constexpr std::array<DeviceTemplate, 14> kTemplates{{
    {20000, "Velmora Quorix", HTTPDevice, 0, "http://127.0.0.1/quorix.jpg"},
    {20001, "Velmora Quorix Lumen", Device, 0, "127.0.0.1"},
    {20002, "Velmora Quorix Vista", Device, 0, "127.0.0.1"},
    {20003, nullptr, 0, 0, nullptr},
    {20004, "Velmora Brevant", Device, 0, "127.0.0.1"},
    {20005, "Velmora Brevant 6", ServerDevice, 6, "127.0.0.1"},
    {20006, "Velmora Brevant Vista 1", ServerDevice, 1, "127.0.0.1"},
    {20007, "Velmora Brevant Vista 2", ServerDevice, 2, "127.0.0.1"},
    {20008, "Velmora Brevant Vista 4", ServerDevice, 4, "127.0.0.1"},
    {20009, "Velmora Brevant Vista 8", ServerDevice, 8, "127.0.0.1"},
    {20010, "Velmora Brevant Vista 12", ServerDevice, 12, "127.0.0.1"},
    {20011, nullptr, 0, 0, nullptr},
    {20012, "Web Image", HTTPDevice, 0, "http://127.0.0.1/"},
    {20013, "Network Attached Storage", NASDevice, 0, ""},
}};

// The sheet opens with the scheme already typed, so the operator sees which address is
// wanted and only completes it.
constexpr std::array<DeviceTemplate, 3> kGenericCameras{{
    {20100, "IP camera (JPEG / MJPEG over HTTP)", HTTPDevice, 0, "http://127.0.0.1/"},
    {20101, "IP camera (RTSP, H.264 / H.265)", HTTPDevice, 0, "rtsp://127.0.0.1:554/"},
    {20102, "HTTPS camera", HTTPDevice, 0, "https://127.0.0.1/"},
}};

bool IsGenericCamera(int commandId) {
  return commandId >= kGenericCameras.front().commandId && commandId <= kGenericCameras.back().commandId;
}

bool IsScannedKind(int32_t kind) { return kind >= RemovableDrive && kind <= OldRecordingsFolder; }

bool Contains(const GroupRecord& top, const GroupRecord* node) {
  for (; node != nullptr; node = node->parent) {
    if (node == &top) return true;
  }
  return false;
}

int IndexInParent(const GroupRecord& entry) {
  if (entry.parent == nullptr) return -1;
  const auto& siblings = entry.parent->children;
  for (std::size_t i = 0; i < siblings.size(); ++i) {
    if (siblings[i].get() == &entry) return static_cast<int>(i);
  }
  return -1;
}

// The entry selected after `entry` is gone: its next sibling, else the previous one,
// else its parent (null for a top-level entry without siblings).
GroupRecord* Neighbour(const GroupRecord& entry) {
  GroupRecord* parent = entry.parent;
  const int index = IndexInParent(entry);
  if (parent == nullptr || index < 0) return nullptr;
  const auto& siblings = parent->children;
  if (static_cast<std::size_t>(index) + 1 < siblings.size()) return siblings[index + 1].get();
  if (index > 0) return siblings[index - 1].get();
  return parent->kind == Root ? nullptr : parent;
}

// Motion, schedule and recording defaults shared by template devices and server cameras.
void SetDeviceDefaults(GroupRecord& record) {
  record.enabled = true;
  record.archiveTime = kWeekSeconds;
  record.scheduleEnabled = false;
  record.daysOfWeek.fill(false);
  record.hoursOfDay.fill(false);
  record.motionEnabled = true;
  record.ignoreGradualChanges = true;
  record.sensitivity = 11;
  record.grid4x4 = 0xFFFF;
}

std::string TrimBlanks(const std::string& text) {
  constexpr const char* kBlanks = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The first 48 characters of a UTF-8 text (a character's continuation bytes stay with it).
std::string CutToLength(const std::string& text) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool starts = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (starts && characters++ == kMaxNameLength) return text.substr(0, i);
  }
  return text;
}

TreeOpResult Message(int id, long long value = 0) {
  TreeOpResult result;
  result.messageId = id;
  result.messageValue = value;
  return result;
}

}  // namespace

std::span<const DeviceTemplate> DeviceTemplates() { return kTemplates; }

std::span<const DeviceTemplate> GenericCameraTemplates() { return kGenericCameras; }

const DeviceTemplate* FindTemplate(int commandId) {
  for (std::span<const DeviceTemplate> table : {DeviceTemplates(), GenericCameraTemplates()}) {
    for (const DeviceTemplate& t : table) {
      if (t.commandId == commandId) return t.label != nullptr ? &t : nullptr;
    }
  }
  return nullptr;
}

std::vector<int> AddCameraMenu() {
  std::vector<int> items;
  for (const DeviceTemplate& t : kGenericCameras) items.push_back(t.commandId);
  items.push_back(0);
  for (const DeviceTemplate& t : kTemplates) items.push_back(t.label != nullptr ? t.commandId : 0);
  return items;
}

GroupRecord* AddDeviceTarget(const DeviceTree& tree, GroupRecord* selected) {
  for (GroupRecord* node = selected; node != nullptr; node = node->parent) {
    if (node->kind == Group) return node;
  }
  GroupRecord* root = tree.root.get();
  if (root == nullptr || root->children.empty()) return nullptr;
  GroupRecord* top = root->children.front().get();
  for (const auto& child : top->children) {
    if (child->kind == Group) return child.get();
  }
  return top;
}

std::optional<std::string> GeneratedGroupName(GroupRecord& root) {
  for (int number = 0; number < kMaxNameCandidates; ++number) {
    std::string candidate = number == 0 ? std::string(kGroupBaseName) : NumberedName(kGroupBaseName, number);
    if (FindByName(&root, candidate, false) == nullptr) return candidate;
  }
  return std::nullopt;
}

TreeOpResult NewGroup(DeviceTree& tree) {
  if (!tree.root || tree.root->children.empty()) return {};
  GroupRecord& root = *tree.root;
  std::optional<std::string> name = GeneratedGroupName(root);
  if (!name) return {};
  GroupRecord& recorder = *root.children.front();
  auto group = CreateRecord(Group, *name);
  group->path = ComputePath(&recorder, Group, group->name);
  InsertEntry(&recorder, group);
  SaveTree(tree);
  TreeOpResult result;
  result.changed = true;
  result.select = group.get();
  result.editLabel = true;
  return result;
}

std::shared_ptr<GroupRecord> CreateFromTemplate(int commandId) {
  const DeviceTemplate* t = FindTemplate(commandId);
  if (t == nullptr) return nullptr;
  auto record = CreateRecord(t->kind, std::string());
  record->uuid = NewUuidText();
  record->location = t->location;
  if (t->kind == Device || t->kind == ServerDevice) {
    record->username = kTemplateUser;
    record->password = kTemplatePassword;
  }
  // A new entry sends its password only when its device asks for it.
  record->sendPasswordOnlyWhenAsked = true;
  SetDeviceDefaults(*record);
  record->recording = t->kind != ServerDevice && t->kind != NASDevice;
  if (t->kind == Device) record->updateDelay = kStreamDelay;
  if (t->kind == HTTPDevice || t->kind == NASDevice) record->updateDelay = kSnapshotDelay;
  // A camera is watched live, not refreshed like a picture on a web page.
  if (IsGenericCamera(commandId)) record->updateDelay = kStreamDelay;
  return record;
}

std::shared_ptr<GroupRecord> CreateServerCamera(const GroupRecord& server, int index) {
  auto camera = CreateRecord(ServerCamera, "Camera " + std::to_string(index + 1));
  camera->path = ComputePath(&server, ServerCamera, camera->name);
  // The camera asks with the server's address and account, as it does once the tree is
  // read back.
  camera->location = server.location;
  camera->username = server.username;
  camera->password = server.password;
  camera->sendPasswordOnlyWhenAsked = server.sendPasswordOnlyWhenAsked;
  camera->cameraIndex = index;
  SetDeviceDefaults(*camera);
  camera->recording = true;
  camera->updateDelay = kStreamDelay;
  return camera;
}

int SiblingConflict(const GroupRecord& parent, const GroupRecord& entry) {
  const bool checkHwAddr = !entry.hwAddr.empty() && !NamesEqual(entry.hwAddr, kNoHwAddr);
  for (int id : {kRefusedName, kRefusedLocation, kRefusedHwAddr}) {
    for (const auto& sibling : parent.children) {
      if (sibling.get() == &entry || sibling->kind == LocalNVR || sibling->kind == Group) continue;
      if (id == kRefusedName && NameInUse(parent, entry.kind, entry.name, &entry)) return id;
      if (id == kRefusedLocation && NamesEqual(sibling->location, entry.location)) return id;
      if (id == kRefusedHwAddr && checkHwAddr && NamesEqual(sibling->hwAddr, entry.hwAddr)) return id;
    }
  }
  return 0;
}

TreeOpResult AddFromTemplate(DeviceTree& tree, int commandId, GroupRecord* parent, const PropertiesRunner& properties) {
  const DeviceTemplate* t = FindTemplate(commandId);
  if (t == nullptr || parent == nullptr) return {};
  // The server's cameras count too: the limit holds for the tree after the add.
  const int adding = t->kind == ServerDevice ? t->cameras : (IsViewableKind(t->kind) ? 1 : 0);
  if (CountViewable(tree.root.get()) + adding > kMaxViewableEntries) return Message(kRefusedLimit, kMaxViewableEntries);

  std::shared_ptr<GroupRecord> entry = CreateFromTemplate(commandId);
  entry->isNew = true;
  const bool accepted = properties && properties(*entry);
  entry->isNew = false;
  if (!accepted) return {};
  // The sheet checks the name; this is the last guard before it becomes a folder.
  if (entry->name.empty()) return Message(kNameMissing);
  entry->name = CleanName(entry->name);
  if (int conflict = SiblingConflict(*parent, *entry)) return Message(conflict);

  entry->path = ComputePath(parent, entry->kind, entry->name);
  InsertEntry(parent, entry);
  if (entry->kind == ServerDevice) {
    for (int i = 0; i < t->cameras; ++i) {
      auto camera = CreateServerCamera(*entry, i);
      camera->username = entry->username;
      camera->password = entry->password;
      InsertEntry(entry.get(), camera);
    }
  }
  ReleaseOwnedOldRecordings(tree);
  ApplyRecordingState(tree, entry.get());
  SaveTree(tree);
  TreeOpResult result;
  result.changed = true;
  result.select = entry.get();
  result.refreshViews = true;
  return result;
}

TreeOpResult AddCamera(DeviceTree& tree, GroupRecord& server) {
  const int index = FirstFreeCameraIndex(&server);
  if (index < 0) return {};
  if (CountViewable(tree.root.get()) + 1 > kMaxViewableEntries) return Message(kRefusedLimit, kMaxViewableEntries);
  auto camera = CreateServerCamera(server, index);
  InsertEntry(&server, camera);
  ReleaseOwnedOldRecordings(tree);
  SaveTree(tree);
  TreeOpResult result;
  result.changed = true;
  result.select = camera.get();
  result.editLabel = true;
  result.refreshViews = true;
  return result;
}

TreeOpResult RenameFromLabel(DeviceTree& tree, GroupRecord& entry, const std::string& text, bool playbackMode) {
  if (playbackMode || IsScannedKind(entry.kind) || entry.kind == Root) return {};
  std::string name = CutToLength(TrimBlanks(text));
  // An emptied label is an edit given up: the entry keeps its name (an empty name would
  // make the entry's recordings folder its parent's).
  if (name.empty()) return {};
  if (const int problem = NameProblem(entry.kind, name); problem != 0) return Message(problem);
  name = CleanName(name);
  if (name == entry.name) return {};
  if (entry.parent != nullptr && NameInUse(*entry.parent, entry.kind, name, &entry))
    return Message(kRefusedName);

  TreeOpResult result;
  result.changed = true;
  result.select = &entry;
  const std::string oldName = entry.name;
  switch (entry.kind) {
    case LocalNVR:
    case NASDevice:
      // No recordings folder follows these names.
      RenameEntry(entry, name);
      RefreshItemState(entry);
      break;
    default: {
      EditResult edit = RenameEntryLive(tree, entry, name);
      result.messageId = edit.messageId;
      result.messageValue = edit.systemError;
      // The saved view follows a renamed group; a refused rename leaves both alone.
      if (edit.ok && entry.kind == Group && NamesEqual(tree.settings->viewName, oldName)) {
        tree.settings->viewName = name;
        result.saveSettings = true;
      }
      break;
    }
  }
  SaveTree(tree);
  return result;
}

bool CanDelete(const GroupRecord& entry, bool playbackMode) {
  if (playbackMode) return false;
  switch (entry.kind) {
    case Root:
    case LocalNVR:
    case RemovableFolder:
    case RemovableEntry:
    case RemovableDrive:
      return false;
    default:
      return entry.parent != nullptr;
  }
}

TreeOpResult DeleteEntry(DeviceTree& tree, GroupRecord& entry, bool playbackMode,
                         const std::function<void(GroupRecord&)>& clearViewSlot) {
  if (!CanDelete(entry, playbackMode)) return {};
  const int32_t kind = entry.kind;
  GroupRecord* select = Neighbour(entry);
  GroupRecord* parent = entry.parent;
  std::shared_ptr<GroupRecord> hold = entry.shared_from_this();
  const bool deleted = RemoveNode(tree, entry, clearViewSlot);
  // Leftover-recordings sub-entries left empty go as well; the selection climbs with them.
  while (parent != nullptr && parent->kind == OldRecordingsSub && parent->children.empty()) {
    GroupRecord* above = parent->parent;
    if (select == parent) select = Neighbour(*parent);
    RemoveNode(tree, *parent, clearViewSlot);
    parent = above;
  }
  TreeOpResult result;
  if (!deleted) result.messageId = kFolderOwned;
  result.changed = true;
  result.select = select;
  result.refreshViews = kind != OldRecordingsNode && kind != OldRecordingsSub && kind != OldRecordingsFolder;
  SaveTree(tree);
  return result;
}

TreeOpResult ToggleEnabled(DeviceTree& tree, GroupRecord& entry) {
  const bool enable = !entry.enabled;
  if (!enable) {
    entry.receivedData = false;
    if (entry.recording) SetRecordingLive(tree, entry, false);
  } else {
    entry.lastUpdateTick = 0;
  }
  SetEnabledLive(tree, entry, enable);
  RefreshItemState(entry);
  SaveTree(tree);
  TreeOpResult result;
  result.changed = true;
  result.refreshViews = true;
  return result;
}

TreeOpResult ToggleRecording(DeviceTree& tree, GroupRecord& entry, bool playbackMode) {
  if (playbackMode || !entry.enabled || entry.kind == LocalNVR || entry.kind == Group ||
      entry.kind == ServerDevice)
    return {};
  SetRecordingLive(tree, entry, !entry.recording);
  RefreshItemState(entry);
  SaveTree(tree);
  TreeOpResult result;
  result.changed = true;
  return result;
}

TreeOpResult SortEntry(DeviceTree& tree, GroupRecord& entry) {
  SortChildren(entry);
  SaveTree(tree);
  TreeOpResult result;
  result.changed = true;
  result.refreshViews = true;
  return result;
}

bool CanDrag(const GroupRecord& entry) { return entry.kind >= Group && entry.kind <= NASDevice; }

GroupRecord* DropTarget(GroupRecord& source, GroupRecord* hit) {
  if (hit == nullptr || hit == &source) return nullptr;
  if (source.kind == Group) {
    for (GroupRecord* node = hit; node != nullptr; node = node->parent) {
      if (node->kind == LocalNVR || node->kind == Group) return node;
    }
    return nullptr;
  }
  if (hit->kind == LocalNVR || hit->kind == ServerCamera || hit->kind < ServerCamera) return nullptr;
  return hit;
}

std::optional<DropPlace> DropPlacement(const GroupRecord& source, GroupRecord& target) {
  const bool firstChild = (source.kind == Group && target.kind == LocalNVR) ||
                          (source.kind != Group && target.kind == Group);
  if (firstChild) return DropPlace{&target, 0};
  GroupRecord* parent = target.parent;
  if (parent == nullptr) return std::nullopt;
  // Right after the target, counted in the list without the source.
  std::size_t position = 0;
  for (const auto& sibling : parent->children) {
    if (sibling.get() == &source) continue;
    ++position;
    if (sibling.get() == &target) break;
  }
  return DropPlace{parent, position};
}

DropResult DropEntry(DeviceTree& tree, GroupRecord& source, GroupRecord* target, bool playbackMode) {
  DropResult drop;
  if (playbackMode) {
    drop.outcome = DropOutcome::kBeep;
    return drop;
  }
  if (target == nullptr || target == &source || source.parent == nullptr || Contains(source, target) ||
      source.kind == LocalNVR || source.kind == ServerCamera || !CanDrag(source))
    return drop;
  if (source.kind == Group && target->kind != LocalNVR && target->kind != Group) {
    drop.outcome = DropOutcome::kBeep;
    return drop;
  }
  std::optional<DropPlace> place = DropPlacement(source, *target);
  if (!place || place->parent == nullptr) return drop;
  GroupRecord& newParent = *place->parent;

  if (source.parent != &newParent) {
    // The first free name among the new siblings. It must also be free among the old
    // ones: the entry carries it (and its recordings folder) there before it moves.
    std::optional<std::string> name;
    for (int number = 0; number < kMaxNameCandidates && !name; ++number) {
      std::string candidate = number == 0 ? source.name : NumberedName(source.name, number);
      if (!NameInUse(newParent, source.kind, candidate, &source) &&
          !NameInUse(*source.parent, source.kind, candidate, &source))
        name = candidate;
    }
    // No free name, or a rename that failed: the entry stays where it was, whole.
    if (!name) {
      drop.result.messageId = kRefusedName;
      return drop;
    }
    if (*name != source.name) {
      EditResult renamed = RenameEntryLive(tree, source, *name);
      if (!renamed.ok) {
        drop.result.messageId = renamed.messageId;
        drop.result.messageValue = renamed.systemError;
        return drop;
      }
    }
  }
  EditResult moved = MoveEntryLive(tree, source, newParent, place->position);
  if (!moved.ok) return drop;
  if (moved.messageId != 0) drop.result.messageId = moved.messageId;
  SaveTree(tree);
  drop.outcome = DropOutcome::kMoved;
  drop.result.changed = true;
  drop.result.select = &source;
  drop.result.refreshViews = true;
  return drop;
}

TreeOpResult PasteDevices(DeviceTree& tree, GroupRecord* selected, const std::string& text) {
  const int added = PasteDeviceText(tree, selected, text);
  if (added == kNoFreeName) return Message(kRefusedName);
  if (added < 0) return {};
  TreeOpResult result;
  result.changed = true;
  result.refreshViews = true;
  return result;
}

}  // namespace velmora::control
