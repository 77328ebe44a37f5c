#include "live/fetch_lifecycle.h"

#include <algorithm>
#include <mutex>

#include "app/log.h"
#include "app/settings.h"
#include "live/fetch.h"
#include "live/view_slot.h"
#include "model/group_record.h"

namespace velmora {

namespace {

bool IsAssignedKind(int32_t kind) {
  return kind == EntryKind::Device || kind == EntryKind::HTTPDevice || kind == EntryKind::NASDevice ||
         kind == EntryKind::ServerCamera || kind == EntryKind::OldRecordingsFolder ||
         kind == EntryKind::RemovableFolder;
}

bool IsRecordingsFolder(int32_t kind) {
  return kind == EntryKind::OldRecordingsFolder || kind == EntryKind::RemovableFolder;
}

// Workers read viewIndex while they hold the device's fetchLock; it changes under it.
void SetSlotIndices(GroupRecord& record, int slot, ViewSlots& slots) {
  std::lock_guard<std::mutex> guard(record.fetchLock);
  record.viewIndex = slot;
  record.shownIn = &slots;
  record.fetchIndex = slot;
}

void Assign(GroupRecord* node, int limit, ViewAssignment& result, ViewSlots& slots) {
  if (node == nullptr || node->kind == EntryKind::Root) return;
  if (!IsAssignedKind(node->kind)) {
    for (std::size_t i = 0; i < node->children.size(); ++i) Assign(node->children[i].get(), limit, result, slots);
    return;
  }
  if (!node->enabled) return;
  ++result.enabledFound;
  if (result.slotsGiven >= limit) return;
  const int slot = result.slotsGiven++;

  if (IsRecordingsFolder(node->kind)) {
    slots.SetCaptionAndClear(slot, node->name);
    SetSlotIndices(*node, slot, slots);
    slots.SetPlaybackSlot(slot, slots.LowestFreePlaybackSlot());
    return;
  }
  if (node->fetchActive) {
    Log("reusing fetch %d->%d/%s", node->fetchIndex, slot, node->path.c_str());
    if (node->fetchIndex != slot) slots.SetCaptionAndClear(slot, ConnectingCaption(node->name));
    SetSlotIndices(*node, slot, slots);
    return;
  }
  slots.SetCaptionAndClear(slot, ConnectingCaption(node->name));
  Log("starting fetch %d/%s", slot, node->path.c_str());
  {
    // The recorder reads fetchActive under fetchLock.
    std::lock_guard<std::mutex> guard(node->fetchLock);
    node->fetchActive = true;
  }
  SetSlotIndices(*node, slot, slots);
  viewthread_iocp(*node);
}

void Stop(GroupRecord* node) {
  if (node == nullptr) return;
  for (std::size_t i = 0; i < node->children.size(); ++i) Stop(node->children[i].get());
  if (node->fetchActive && node->viewIndex == -1) {
    if (FetchSettings()->recordEnable && node->recording) {
      if (node->fetchIndex != -1) Log("removing view %d/%s", node->fetchIndex, node->path.c_str());
    } else {
      StopFetch(*node);
    }
  }
  std::lock_guard<std::mutex> guard(node->fetchLock);
  node->fetchIndex = node->viewIndex;
}

}  // namespace

std::string ConnectingCaption(const std::string& name) { return "Connecting to " + name; }

void ClearViewIndices(GroupRecord* root) {
  if (root == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(root->fetchLock);
    root->viewIndex = -1;
  }
  for (std::size_t i = 0; i < root->children.size(); ++i) ClearViewIndices(root->children[i].get());
}

ViewAssignment AssignViews(GroupRecord* node, int slotLimit, ViewSlots& slots) {
  ViewAssignment result;
  const int limit = std::clamp(slotLimit, 0, std::min(viewSlotCount, kMaxAssignedSlots));
  Assign(node, limit, result, slots);
  return result;
}

void StopPass(GroupRecord* root) { Stop(root); }

ViewAssignment ShowNodeInSlots(GroupRecord* root, GroupRecord* node, ViewSlots& slots) {
  slots.ResetForNewView();
  ClearViewIndices(root);
  const ViewAssignment result = AssignViews(node, viewSlotCount, slots);
  StopPass(root);
  for (int slot = result.slotsGiven; slot < viewSlotCount; ++slot) {
    slots.SetCaptionAndClear(slot, "No View Selected");
  }
  return result;
}

}  // namespace velmora
