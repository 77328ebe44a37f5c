// The folders and files of a test program, as the program's Core owns its own: the
// fixtures point them at their temporary folders, hand them to what they start (the
// application, the window's core events) and copy the tree's file and folder from them.
#pragma once

#include <string>

#include "app/paths.h"
#include "test_tree.h"

namespace velmora::test {

inline Paths& TestPaths() {
  static auto* paths = new Paths;
  return *paths;
}

// Lays the folders out below `base` (ending in '/') as the start-up does below the data
// folder: the recordings, the tree file and the log; the test tree gets its file and
// recordings folder from them.
inline void PointTestFoldersAt(const std::string& base) {
  Paths& paths = TestPaths();
  paths.appDataFolder = base;
  paths.pathData = base + "Recordings/";
  paths.deviceTreePath = base + "Velmora NVR.xml";
  paths.logPath = base + "Velmora NVR.log";
  TestTree().recordingsFolder = paths.pathData;
  TestTree().filePath = paths.deviceTreePath;
}

}  // namespace velmora::test
