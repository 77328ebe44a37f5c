// The folders and files of a test program, as the program's Core owns its own: the
// fixtures point them at their temporary folders, hand them to what they start (the
// application, the window's core events) and copy the tree's file and folder from them.
#pragma once

#include "app/paths.h"

namespace velmora::test {

inline Paths& TestPaths() {
  static auto* paths = new Paths;
  return *paths;
}

}  // namespace velmora::test
