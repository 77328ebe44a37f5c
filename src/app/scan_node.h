// What a scan of removable media found: a tree of drive, folder and recordings nodes
// built by the scan thread and handed to the main thread, which owns it from then on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

struct ScanNode {
  int32_t scanType = 0;   // the entry kind it becomes: RemovableDrive (-8), RemovableEntry (-7), RemovableFolder (-6)
  int32_t scanDepth = 0;  // 0 for the drive, the parent's depth + 1 below
  std::string name;       // display name
  std::string path;       // the drive's root, or the folder's full path
  std::string device;     // a drive's device node ("/dev/sdb1"); empty below it
  std::vector<std::unique_ptr<ScanNode>> children;  // in scan order
};

}  // namespace velmora
