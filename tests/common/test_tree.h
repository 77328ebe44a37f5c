// The device tree of a test program: one, as the program's Core owns one, for the tests
// that build entries and hand them to the parts under test. Fixtures give it its root,
// its file and its recordings folder, and take the root down after each test. Never
// destroyed: a fetch worker of an earlier test may still record into it while the test
// program ends.
#pragma once

#include <memory>

#include "model/group_record.h"

namespace velmora::test {

// The shared handle, for the parts that keep one (the recorder, the playback).
inline const std::shared_ptr<DeviceTree>& TestTreeShare() {
  static auto* tree = new std::shared_ptr<DeviceTree>(std::make_shared<DeviceTree>());
  return *tree;
}

inline DeviceTree& TestTree() { return *TestTreeShare(); }

// The settings of a test program, as the program's Core owns its own: the test tree's,
// which the tests hand to the parts under test (and to the fetch engine's options).
inline Settings& TestSettings() { return *TestTree().settings; }

}  // namespace velmora::test
