// A device fetched from the fake camera on loopback and recorded while the window renames
// it, renames its group, applies settings and moves it back and forth. Run under
// ThreadSanitizer by CI: the edits must not race with the fetch workers and the recorder,
// every frame handed to the recorder must be on disk in the device's current folder, and
// no file may stay open in a folder the device left.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <memory>
#include <string>

#include "control/device_edit.h"
#include "live/camsim_process.h"
#include "live/test_fetch_support.h"
#include "recording/format.h"
#include "recording/format_reader.h"
#include "recording/recorder.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;
using velmora::test::TestTreeShare;

namespace velmora::control {
namespace {

using namespace std::chrono_literals;
using test::CamsimProcess;
using test::WaitUntil;

// Open descriptors of this process below `folder`.
int OpenFilesBelow(const std::filesystem::path& folder) {
  int count = 0;
  const std::string prefix = folder.string() + "/";
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    char target[PATH_MAX];
    const ssize_t length = ::readlink(entry.path().c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<std::size_t>(length)).rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

// Complete records in every hour's data file of a folder.
uint64_t RecordsIn(const std::filesystem::path& folder) {
  uint64_t records = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (!IsDataFileName(name)) continue;
    RecordFileReader reader;
    if (!reader.open(folder, name.substr(0, name.size() - 4))) continue;
    RecordHeader header;
    for (uint64_t pos = 0; pos < reader.dataSize() && reader.checkRecord(pos, header) == RecordStatus::ok;
         pos += header.recordLength)
      ++records;
  }
  return records;
}

class DeviceEditLive : public test::LiveTest {
 protected:
  void SetUp() override {
    LiveTest::SetUp();
    TestPaths().pathData = dir_ + "/rec/";
    TestTree().recordingsFolder = TestPaths().pathData;
    std::filesystem::create_directories(TestPaths().pathData);
    SetRenameWait(0ms);
    // The real fetch engine and recorder; the frames reach the recorder through the
    // stand-in, which counts them (the workers call it with the fetchLock held).
    ASSERT_TRUE(InstallAs<DeviceFetch>(engine_, installed_));
    ASSERT_TRUE(InstallAs<DeviceRecording>(recorder_, installed_));
    upper_.onRecordFrame = [this](GroupRecord& device, ImageHolder& frame, uint8_t* room, std::size_t length) {
      recorder_.recordFrame(device, frame, room, length);
      delivered_.fetch_add(1);
    };
  }
  void TearDown() override {
    if (TestTree().root) StopAllFetches(TestTree().root.get());
    EXPECT_TRUE(WaitUntil([] { return FetchConnectionsAlive() == 0; }, 5s));
    SetRenameWait(1000ms);
    LiveTest::TearDown();
  }

  // Lets the device deliver some more frames (the periodic walk reconnects after a drop).
  bool MoreFrames(int count) {
    const int target = delivered_.load() + count;
    return WaitUntil(
        [&] {
          FetchPeriodic(TestTree().root.get(), Notices());
          return delivered_.load() >= target;
        },
        10s);
  }
  std::filesystem::path Folder(const GroupRecord& device) const {
    return DeviceFolder(TestPaths().pathData, device.path);
  }

  std::atomic<int> delivered_{0};
  EngineDeviceFetch engine_;
  DeviceRecorder recorder_{TestTreeShare()};
};

TEST_F(DeviceEditLive, EditsWhileFetchedAndRecordedLoseNoFrameAndLeaveNoFileOpen) {
  CamsimProcess cams({"--cameras", "1", "--width", "160", "--height", "120", "--frames", "4", "--quiet"});
  ASSERT_TRUE(cams.ok()) << cams.error();

  TestTree().ensureRoot();
  GroupRecord& root = *TestTree().root;
  auto nvr = CreateRecord(EntryKind::LocalNVR, "All Views");
  InsertEntry(&root, nvr);
  auto yard = CreateRecord(EntryKind::Group, "Yard");
  yard->path = "Yard";
  InsertEntry(nvr.get(), yard);
  auto shed = CreateRecord(EntryKind::Group, "Shed");
  shed->path = "Shed";
  InsertEntry(nvr.get(), shed);
  auto gate = CreateRecord(EntryKind::Device, "Gate");
  gate->path = "Yard/Gate";
  gate->location = "127.0.0.1:" + std::to_string(cams.port(0));
  gate->updateDelay = 100;  // a stream of 10 frames a second
  gate->enabled = gate->recording = true;
  gate->motionEnabled = false;
  InsertEntry(yard.get(), gate);
  ApplyRecordingState(velmora::test::TestTree(), gate.get());
  ASSERT_TRUE(MoreFrames(3)) << LogText();

  // Bounded: eight rounds of edits, each waiting at most 10 s for frames.
  for (int round = 0; round < 8; ++round) {
    const std::filesystem::path before = Folder(*gate);
    switch (round % 4) {
      case 0:
        ASSERT_TRUE(RenameEntryLive(TestTree(), *gate, "Gate " + std::to_string(round)).ok);
        break;
      case 1:
        ASSERT_TRUE(RenameEntryLive(
                        TestTree(), *gate->parent,
                        gate->parent == yard.get() ? "Yard " + std::to_string(round) : "Shed " + std::to_string(round))
                        .ok);
        break;
      case 2: {
        DeviceConfig s = ReadDeviceSettings(*gate);
        s.name = "Cam " + std::to_string(round);
        s.sensitivity = static_cast<uint32_t>(round);
        s.grid4x4 = static_cast<uint16_t>(0x1111 << (round % 4));
        s.username = "user" + std::to_string(round);  // a new account: the fetch reconnects
        ASSERT_TRUE(ApplyDeviceSettings(TestTree(), *gate, s).ok);
        break;
      }
      default:
        ASSERT_TRUE(MoveEntryLive(TestTree(), *gate, gate->parent == yard.get() ? *shed : *yard, 0).ok);
        break;
    }
    if (before != Folder(*gate)) {
      EXPECT_EQ(OpenFilesBelow(before), 0) << "round " << round;
      EXPECT_FALSE(std::filesystem::exists(before)) << "round " << round;
    }
    ASSERT_TRUE(MoreFrames(3)) << "round " << round;
  }

  StopAllFetches(&root);
  ASSERT_TRUE(WaitUntil([] { return FetchConnectionsAlive() == 0; }, 5s));
  CloseAllRecordings(&root);
  const int delivered = delivered_.load();
  EXPECT_EQ(RecordsIn(Folder(*gate)), static_cast<uint64_t>(delivered)) << "every frame in the current folder";
  EXPECT_EQ(OpenFilesBelow(dir_ + "/rec"), 0);
  EXPECT_GE(delivered, 27);
}

}  // namespace
}  // namespace velmora::control
