#include "control/tree_status.h"

#include "app/helpers.h"
#include "control/device_edit.h"

namespace velmora::control {

std::string SelectionStatusText(GroupRecord& record) {
  switch (record.kind) {
    case EntryKind::LocalNVR:
      return record.name;
    case EntryKind::Group:
    case EntryKind::NASDevice:
      return record.path;
    case EntryKind::Device:
    case EntryKind::ServerDevice:
    case EntryKind::HTTPDevice:
    case EntryKind::ServerCamera: {
      // DeviceUrl tidies `location`, which the fetch workers read: under the lock.
      std::string text = record.path + "  [url=" + DeviceUrlLive(record);
      if (!record.hwAddr.empty() && !NamesEqual(record.hwAddr, "000000-000000"))
        text += ", hwaddr=" + record.hwAddr;
      return text + "]";
    }
    default:
      return std::string();
  }
}

bool AnyTileInUse(const GroupRecord* start) {
  if (start == nullptr) return false;
  if (start->viewIndex >= 0) return true;
  for (const auto& child : start->children) {
    if (AnyTileInUse(child.get())) return true;
  }
  return false;
}

bool CanEditLabel(const GroupRecord& record, bool playbackMode) {
  if (record.kind == EntryKind::LocalNVR) return true;
  if (playbackMode) return false;
  return record.kind < EntryKind::RemovableDrive || record.kind > EntryKind::OldRecordingsFolder;
}

}  // namespace velmora::control
