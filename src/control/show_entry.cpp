#include "control/show_entry.h"

#include "app/settings.h"

namespace velmora::control {

bool IsRecordingsEntry(const GroupRecord& entry) {
  return entry.kind >= EntryKind::RemovableDrive && entry.kind <= EntryKind::OldRecordingsFolder;
}

ShowPlan PlanShowEntry(const GroupRecord& entry, bool playbackMode) {
  ShowPlan plan;
  plan.leavePlayback = playbackMode;
  plan.enterPlayback = IsRecordingsEntry(entry);
  return plan;
}

GroupRecord* SavedViewEntry(GroupRecord& root, bool* viewNameChanged) {
  if (viewNameChanged != nullptr) *viewNameChanged = false;
  if (GroupRecord* named = FindByName(&root, settings().viewName, true)) return named;
  if (root.children.empty()) return nullptr;
  GroupRecord* first = root.children.front().get();
  std::string name = first->name;
  if (name.size() > kMaxSettingText) name.resize(kMaxSettingText);
  settings().viewName = name;
  if (viewNameChanged != nullptr) *viewNameChanged = true;
  return first;
}

}  // namespace velmora::control
