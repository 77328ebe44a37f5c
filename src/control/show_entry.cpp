#include "control/show_entry.h"

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

}  // namespace velmora::control
