// Benchmarks that fetch live cameras: a fake camera server with N 640 x 480 (or sized)
// cameras on loopback, and a device tree of N fetched devices, each shown in its own view
// slot while there are slots.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../tests/live/camsim_process.h"
#include "live/view_slot.h"
#include "model/group_record.h"

namespace velmora::bench {

// The view slots the benchmarks show the cameras in. Never destroyed: a fetch worker may
// still store a frame while the program ends.
inline ViewSlots& BenchSlots() {
  static auto* shown = new ViewSlots;
  return *shown;
}

// The device tree the benchmarks' cameras are in. Never destroyed, for the same reason.
inline DeviceTree& BenchTree() {
  static auto* tree = new DeviceTree;
  return *tree;
}

// Starts camsim with `cameras` cameras of width x height (30 distinct frames, one thread,
// at most 4 connections each); ok() and error() tell whether it runs.
inline test::CamsimProcess StartCameras(int cameras, int width, int height) {
  return test::CamsimProcess({"--cameras", std::to_string(cameras), "--width", std::to_string(width), "--height",
                              std::to_string(height), "--frames", "30", "--threads", "1", "--max-connections", "4",
                              "--quiet"},
                             60000);
}

// Replaces the tree with root / "nvr" / "bench" / cam0..camN-1, one device per camera of
// `cams`, fetched every `updateDelayMs`, device i in view slot i (none past the last slot).
inline std::vector<std::shared_ptr<GroupRecord>> MakeCameraTree(const test::CamsimProcess& cams, int cameras,
                                                                uint32_t updateDelayMs, int debugLevel = 0) {
  BenchTree().root = CreateRecord(EntryKind::Root, kRootName);
  auto nvr = CreateRecord(EntryKind::LocalNVR, "nvr");
  InsertEntry(BenchTree().root.get(), nvr);
  auto group = CreateRecord(EntryKind::Group, "bench");
  InsertEntry(nvr.get(), group);
  std::vector<std::shared_ptr<GroupRecord>> devices;
  for (int i = 0; i < cameras; ++i) {
    auto d = CreateRecord(EntryKind::Device, "cam" + std::to_string(i));
    d->location = "127.0.0.1:" + std::to_string(cams.port(i));
    d->updateDelay = updateDelayMs;
    d->enabled = true;
    d->fetchActive = true;
    d->viewIndex = i < viewSlotCount ? i : -1;
    d->shownIn = &BenchSlots();
    d->fetchIndex = d->viewIndex;
    d->debugLevel = debugLevel;
    InsertEntry(group.get(), d);
    devices.push_back(d);
  }
  return devices;
}

}  // namespace velmora::bench
