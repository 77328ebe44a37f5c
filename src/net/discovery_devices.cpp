// The main thread's side of discovery: adding the devices found to the tree, reading
// the ARP cache at the end of a scan, and the network messages.
#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <type_traits>

#include "app/helpers.h"
#include "app/log.h"
#include "model/group_record.h"
#include "model/tree_file.h"
#include "net/discovery.h"
#include "net/discovery_parse.h"
#include "net/http_server.h"

namespace velmora::net {

namespace {

// The ARP cache is small; anything larger than this is not a cache worth reading whole.
constexpr std::size_t kMaxArpBytes = 4u << 20;

constexpr const char* kDefaultUser = "admin";
constexpr const char* kDefaultPassword = "pelko";
constexpr int32_t kDefaultArchiveSeconds = 604800;  // 7 days

// The scan group: a Group of that name among the top entries or directly below them.
GroupRecord* FindScanGroup(GroupRecord& root) {
  for (auto& top : root.children) {
    if (top->kind == EntryKind::Group && NamesEqual(top->name, kScanGroupName)) return top.get();
    for (auto& child : top->children) {
      if (child->kind == EntryKind::Group && NamesEqual(child->name, kScanGroupName)) return child.get();
    }
  }
  return nullptr;
}

std::shared_ptr<GroupRecord> NewServerCamera(GroupRecord& server, int index) {
  char name[32];
  std::snprintf(name, sizeof name, "Camera %d", index + 1);
  auto camera = CreateRecord(EntryKind::ServerCamera, name);
  camera->uuid = NewUuidText();
  camera->path = ComputePath(&server, camera->kind, camera->name);
  camera->location = server.location;
  // The cameras ask with the server's credentials, as they do once the tree is reloaded.
  camera->username = server.username;
  camera->password = server.password;
  camera->sendPasswordOnlyWhenAsked = server.sendPasswordOnlyWhenAsked;
  camera->cameraIndex = index;
  camera->enabled = true;
  camera->recording = true;
  camera->updateDelay = 125;
  camera->archiveTime = kDefaultArchiveSeconds;
  return camera;
}

// A hardware-address text as discovery makes them ("025A3C-001122", "ONVIF-" and a
// host): printable ASCII without blanks.
bool IsHardwareText(const std::string& text) {
  if (text.empty() || text.size() > 270) return false;
  for (char c : text) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

// A text from the network as it may appear in a log line: other bytes than printable
// ASCII are shown as '?'.
bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.clear();
  char block[16384];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    text.append(block, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxArpBytes) {
      text.resize(kMaxArpBytes);
      break;
    }
  }
  return true;
}

}  // namespace

bool discovery_add_device(DeviceTree& tree, const std::string& address, const std::string& hwAddr) {
  GroupRecord* root = tree.root.get();
  if (root == nullptr) return false;
  // The address becomes the location and, through the hardware text, the name and the
  // recordings folder: only a plain host is taken.
  if (!IsHostText(address) || !IsHardwareText(hwAddr)) {
    Log("discovery_add_device: ignoring device with address '%s'", LogSafe(address, 300, true).c_str());
    return false;
  }
  GroupRecord* group = FindScanGroup(*root);
  if (group == nullptr) {
    if (root->children.empty()) {
      Log("discovery_add_device: the device tree has no top entry");
      return false;
    }
    GroupRecord* top = root->children.front().get();
    auto created = CreateRecord(EntryKind::Group, kScanGroupName);
    created->path = ComputePath(top, EntryKind::Group, created->name);
    InsertEntry(top, created);
    group = created.get();
  }
  if (FindByHwAddr(group, hwAddr) != nullptr) return false;
  int viewable = CountViewable(root);
  if (viewable >= kMaxViewableEntries) return false;

  // The name follows the rule of every other entry point and is unique in the group, so
  // the entry keeps its recordings folder when the tree is read back.
  std::optional<std::string> name = UniqueChildName(*group, CleanName(hwAddr));
  if (!name) return false;

  Log("Adding '%s' to group '%s'", hwAddr.c_str(), group->name.c_str());
  const ModelInfo model = ModelFromCode(ModelCode(hwAddr));
  auto record = CreateRecord(model.kind, std::move(*name));
  record->hwAddr = hwAddr;
  record->uuid = NewUuidText();
  record->path = ComputePath(group, record->kind, record->name);
  record->location = model.kind == EntryKind::HTTPDevice ? "http://" + address + "/quorix.jpg" : address;
  record->username = kDefaultUser;
  record->password = kDefaultPassword;
  // A device found on the network may not be the camera it claims to be: its password
  // goes out only when it asks.
  record->sendPasswordOnlyWhenAsked = true;
  record->enabled = true;
  record->recording = model.kind != EntryKind::ServerDevice && model.kind != EntryKind::NASDevice;
  record->updateDelay =
      (model.kind == EntryKind::HTTPDevice || model.kind == EntryKind::NASDevice) ? 30000 : 125;
  record->archiveTime = kDefaultArchiveSeconds;
  InsertEntry(group, record);
  if (IsViewableKind(record->kind)) ++viewable;

  if (model.kind == EntryKind::ServerDevice) {
    // Camera inputs past the tree's limit are not created.
    for (int i = 0; i < model.inputs && i < kMaxServerCameras && viewable < kMaxViewableEntries; ++i) {
      InsertEntry(record.get(), NewServerCamera(*record, i));
      ++viewable;
    }
  }
  // A device that is marked for recording starts fetching, as one added by hand does.
  ApplyRecordingState(tree, record.get());
  if (DiscoverySelection* selection = Installed<DiscoverySelection>::get()) selection->selectEntry(*record);
  return true;
}

int discovery_harvest(DeviceTree& tree, HttpServer* server, const std::string& arpPath) {
  std::string text;
  if (!ReadWholeFile(arpPath, text)) LogLastError(("open " + arpPath).c_str());
  const std::vector<ArpEntry> entries = ParseArpTable(text);
  Log("%d entries in ARP cache", static_cast<int>(entries.size()));

  int added = 0;
  for (const ArpEntry& entry : entries) {
    if (!IsVendorHwAddress(entry.hwAddress)) continue;
    if (discovery_add_device(tree, AddressText(entry.address), HwAddressText(entry.hwAddress))) ++added;
  }
  if (added == 0) {
    PostStatus("No devices found.");
    return 0;
  }
  char status[64];
  if (added == 1) {
    std::snprintf(status, sizeof status, "Added %d device.", added);
  } else {
    std::snprintf(status, sizeof status, "Added %d devices.", added);
  }
  PostStatus(status);
  SaveTree(tree);
  if (server) RefreshHttpTree(*server);
  return added;
}

bool HandleNetMessage(AppMessage& message, DeviceTree& tree, HttpServer* server, const DiscoveryConfig& discovery) {
  return std::visit(
      [&tree, server, &discovery](auto& m) -> bool {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, MsgNetworkScanEnded>) {
          discovery_harvest(tree, server, discovery.arpPath);
          return true;
        } else if constexpr (std::is_same_v<T, MsgOnvifDevice>) {
          // Saved at once, so a device found this way survives even a scan that finds
          // nothing in the ARP cache.
          if (discovery_add_device(tree, m.address, m.hwAddr)) {
            SaveTree(tree);
            if (server) RefreshHttpTree(*server);
          }
          return true;
        } else if constexpr (std::is_same_v<T, MsgHttpListen>) {
          if (server) HttpAccept(*server, m);
          return true;
        } else {
          return false;
        }
      },
      message);
}

}  // namespace velmora::net
