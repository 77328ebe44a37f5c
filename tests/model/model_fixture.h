// A temporary folder standing in for the application-data folder, with the log, the
// tree file and the recordings folder inside it. Every test starts with an empty tree,
// stand-ins for the layers above it (upper_, doing nothing until a test sets a call), no
// observer and recording globally on.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/log.h"
#include "app/paths.h"
#include "app/settings.h"
#include "model/group_record.h"
#include "model/tree_file.h"
#include "upper_layer_calls.h"
#include "test_tree.h"
#include "test_paths.h"

namespace velmora::test {

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-model-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    savedPaths_ = velmora::test::TestPaths();
    velmora::test::TestPaths().appDataFolder = dir_ + "/";
    velmora::test::TestPaths().pathData = dir_ + "/Recordings/";
    velmora::test::TestTree().recordingsFolder = velmora::test::TestPaths().pathData;
    velmora::test::TestPaths().deviceTreePath = dir_ + "/Velmora NVR.xml";
    velmora::test::TestTree().filePath = velmora::test::TestPaths().deviceTreePath;
    velmora::test::TestPaths().logPath = dir_ + "/test.log";
    SetLogPath(velmora::test::TestPaths().logPath);
    velmora::test::TestSettings().recordEnable = true;
    velmora::test::TestSettings().httpServer = false;
    velmora::test::TestTree().root.reset();
    // The layers above the tree are stand-ins that do nothing until a test sets a call.
    ASSERT_TRUE((upper_.install<DeviceFetch, DeviceRecording, NewestImages>()));
  }

  void TearDown() override {
    // A test's observer (installed for the test's body only) is gone: taking the tree
    // apart tells nobody.
    if (velmora::test::TestTree().root) DestroyTree(velmora::test::TestTree().root.get());
    velmora::test::TestTree().root.reset();
    upper_.uninstall();
    SetLogPath("");
    velmora::test::TestPaths() = savedPaths_;
    velmora::test::TestTree().recordingsFolder = velmora::test::TestPaths().pathData;
    velmora::test::TestTree().filePath = velmora::test::TestPaths().deviceTreePath;
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // The root of the process-wide tree, created on first use.
  GroupRecord& root() {
    if (!velmora::test::TestTree().root) velmora::test::TestTree().root = CreateRecord(EntryKind::Root, kRootName);
    return *velmora::test::TestTree().root;
  }

  // Appends a new entry with the path its place gives it.
  GroupRecord& add(GroupRecord& parent, int32_t kind, const std::string& name) {
    auto record = CreateRecord(kind, name);
    record->path = ComputePath(&parent, kind, name);
    InsertEntry(&parent, record);
    return *record;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }
  // The dated copies "Velmora NVR.xml.YYYYMMDD" in the folder.
  std::vector<std::string> datedCopies() const {
    std::vector<std::string> found;
    const std::string prefix = "Velmora NVR.xml.";
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      std::string name = entry.path().filename().string();
      if (name.size() != prefix.size() + 8 || name.compare(0, prefix.size(), prefix) != 0) continue;
      if (name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) continue;
      found.push_back(entry.path().string());
    }
    return found;
  }
  std::string logText() const { return ReadFile(dir_ + "/test.log"); }
  bool logHas(const std::string& line) const {
    return logText().find("]: " + line + "\r\n") != std::string::npos;
  }

  std::string dir_;
  UpperLayerCalls upper_;

 private:
  Paths savedPaths_;
};

}  // namespace velmora::test
