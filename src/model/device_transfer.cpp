#include "model/device_transfer.h"

#include "app/helpers.h"
#include "app/log.h"
#include "model/old_recordings.h"
#include "model/tree_file.h"
#include "model/xml_element.h"

namespace velmora {

bool CanCopyEntry(const GroupRecord* entry) {
  return entry != nullptr && entry->kind >= EntryKind::Device &&
         entry->kind <= EntryKind::NASDevice;
}

bool CanPasteInto(const GroupRecord* entry) {
  return entry != nullptr && (entry->kind == EntryKind::ServerCamera ||
                              (entry->kind >= EntryKind::Group && entry->kind <= EntryKind::NASDevice));
}

std::string DeviceText(const GroupRecord& entry) {
  if (!CanCopyEntry(&entry)) return std::string();
  XmlElement document("DEVICE");
  document.children.push_back(EntryElement(entry));
  std::string text;
  WriteXmlElement(document, 0, "\n", text);
  return text;
}

GroupRecord* PasteTarget(GroupRecord* selected) {
  if (!CanPasteInto(selected)) return nullptr;
  GroupRecord* target = selected;
  if (target->kind == EntryKind::ServerCamera) target = target->parent;
  if (target != nullptr && target->kind != EntryKind::Group) target = target->parent;
  if (target == nullptr || target->kind != EntryKind::Group) return nullptr;
  return target;
}

int InsertDevicesFromText(DeviceTree& tree, GroupRecord& group, std::string_view text) {
  XmlElement document;
  XmlParseResult parsed = ParseXml(text, document);
  if (!parsed.ok) {
    Log("%s: %s at line %ld", "GroupListInsertDeviceFromXML", parsed.errorText.c_str(),
        parsed.line);
  }
  // A device that finds no free name in the group refuses the whole text: a part of
  // what the operator copied is no paste.
  XmlElement devices;
  for (const auto& element : document.children) {
    if (element.name != "DEVICE") continue;
    for (const auto& child : element.children) devices.children.push_back(child);
  }
  if (!GroupChildrenCanBeNamed(group, devices)) {
    Log("%s: no free name in '%s', nothing pasted", "GroupListInsertDeviceFromXML",
        LogSafe(group.name).c_str());
    return kNoFreeName;
  }
  int added = 0;
  for (const auto& element : document.children) {
    if (element.name != "DEVICE") {
      Log("%s: unexpected element type '%s'", "XMLStringDocumentChild::operator ()",
          element.name.c_str());
      continue;
    }
    added += InsertGroupChildren(tree, group, element);
  }
  return added;
}

int PasteDeviceText(DeviceTree& tree, GroupRecord* selected, std::string_view text) {
  GroupRecord* target = PasteTarget(selected);
  if (target == nullptr) return -1;
  std::size_t end = text.find('\0');
  if (end != std::string_view::npos) text = text.substr(0, end);
  // Clipboard text comes from any program: held to the bound of a device file.
  if (text.size() > kMaxTreeFileBytes) {
    Log("paste: a device text of %zu bytes is refused (more than %zu)", text.size(), kMaxTreeFileBytes);
    return -1;
  }
  int added = InsertDevicesFromText(tree, *target, text);
  if (added == kNoFreeName) return kNoFreeName;
  ReleaseOwnedOldRecordings(tree);
  SaveTree(tree);
  return added;
}

bool ImportDeviceFile(DeviceTree& tree, const std::string& filePath, bool* saved) {
  bool loaded = InitTree(tree, filePath);
  ReleaseOwnedOldRecordings(tree);
  ApplyRecordingState(tree, tree.root.get());
  bool written = SaveTree(tree);
  if (saved) *saved = written;
  return loaded;
}

bool IsDeviceFileName(const std::string& filePath) { return EndsWithNoCase(filePath, ".xml"); }

bool ImportDroppedFile(DeviceTree& tree, const std::string& filePath) {
  if (!IsDeviceFileName(filePath)) return false;
  Log("%s: %s", "CMainFrame::OnDropFiles", filePath.c_str());
  ImportDeviceFile(tree, filePath);
  return true;
}

}  // namespace velmora
