// What the HTTP server knows of the device tree. The tree belongs to the main thread,
// so the server never walks it from its own threads: the main thread takes a snapshot
// (the two listings, already rendered, and the set of node folders) and hands it over;
// connection handlers read only snapshots.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "model/device_counters.h"

namespace velmora {
struct GroupRecord;
}

namespace velmora::net {

// A recordable device (camera, web image, camera input of a video server) as the
// monitoring routes show it: its tree path and its counters, which the handlers read
// live (atomics) while the rest of the snapshot stays as it was taken.
struct MonitoredDevice {
  std::string label;           // the tree path with "/" ("Yard/Door")
  uint32_t updateDelayMs = 0;  // its update delay when the snapshot was taken
  std::shared_ptr<const DeviceCounters> counters;
};

struct TreeSnapshot {
  // The recordings folder, ending with "/".
  std::string recordingsFolder;
  // The body of "/nvr.xml".
  std::string deviceListing;
  // The body of "/" and "/index.html".
  std::string thumbnailPage;
  // Tree paths ("Yard", "Yard/Door") of every node whose folder may be served. Paths
  // that could leave the recordings folder (absolute, or with "." or ".." steps) are
  // never in the set.
  std::unordered_set<std::string> nodeFolders;
  // Those of them that are recording devices' own folders: the only ones that may be a
  // link to a folder elsewhere (CheckTreeFolder).
  std::unordered_set<std::string> deviceFolders;
  // Every recordable device of the tree, in tree order, each path once.
  std::vector<MonitoredDevice> devices;
  int64_t takenMs = 0;  // when it was taken: steady milliseconds of the program's clock

  bool isNodeFolder(const std::string& relativeFolder) const {
    return nodeFolders.count(relativeFolder) != 0;
  }
  bool isDeviceFolder(const std::string& relativeFolder) const {
    return deviceFolders.count(relativeFolder) != 0;
  }
};

// Main thread: renders both listings and collects the node folders of the tree below
// `root` (null gives empty listings).
std::shared_ptr<const TreeSnapshot> TakeTreeSnapshot(const GroupRecord* root,
                                                     std::string recordingsFolder);

// The device listing of the tree below root: the XML declaration, the root element
// named "Velmora NVR", groups, servers and every enabled recording device with its
// image URL and refresh time. Names are escaped for markup.
std::string DeviceListing(const GroupRecord* root);

// The thumbnail page: group headings and a 160 x 120 image link per enabled recording
// device.
std::string ThumbnailPage(const GroupRecord* root);

// A tree path usable as a folder below the recordings folder.
bool IsServableFolder(std::string_view treePath);

}  // namespace velmora::net
