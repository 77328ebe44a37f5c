// What the window shows about the selected tree entry, and when a label may be edited.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "control/tree_status.h"
#include "model/group_record.h"

namespace velmora::control {
namespace {

class TreeStatusTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = CreateRecord(EntryKind::Root, kRootName); }
  void TearDown() override { DestroyTree(root_.get()); }

  GroupRecord& add(GroupRecord& parent, int32_t kind, const std::string& name,
                   const std::string& location = std::string()) {
    auto record = CreateRecord(kind, name);
    record->location = location;
    record->path = ComputePath(&parent, kind, name);
    InsertEntry(&parent, record);
    return *record;
  }

  std::shared_ptr<GroupRecord> root_;
};

TEST_F(TreeStatusTest, EachKindDescribesItselfAndDevicesNameTheirUrlAndAddress) {
  GroupRecord& nvr = add(*root_, EntryKind::LocalNVR, "All Views");
  GroupRecord& yard = add(nvr, EntryKind::Group, "Yard");
  GroupRecord& cam = add(yard, EntryKind::Device, "Gate", "http://10.0.0.2:8080/x");
  GroupRecord& server = add(yard, EntryKind::ServerDevice, "Box", "10.0.0.3");
  GroupRecord& input = add(server, EntryKind::ServerCamera, "Camera 1", "10.0.0.3");
  GroupRecord& web = add(yard, EntryKind::HTTPDevice, "Sky", "example.org/sky.jpg");
  GroupRecord& nas = add(yard, EntryKind::NASDevice, "Archive", "/mnt/archive");
  GroupRecord& old = add(*root_, EntryKind::OldRecordingsNode, "Old Recordings With No Live View");

  EXPECT_EQ(SelectionStatusText(nvr), "All Views");
  EXPECT_EQ(SelectionStatusText(yard), "Yard");
  EXPECT_EQ(SelectionStatusText(nas), "Yard/Archive");
  // The URL normalises the stored location on the way.
  EXPECT_EQ(SelectionStatusText(cam), "Yard/Gate  [url=http://10.0.0.2:8080/jpeg.cgi]");
  EXPECT_EQ(cam.location, "10.0.0.2:8080");
  EXPECT_EQ(SelectionStatusText(server), "Yard/Box  [url=http://10.0.0.3]");
  EXPECT_EQ(SelectionStatusText(input), "Yard/Box/Camera 1  [url=http://10.0.0.3/jpeg.cgi]");
  EXPECT_EQ(SelectionStatusText(web), "Yard/Sky  [url=http://example.org/sky.jpg]");
  EXPECT_EQ(SelectionStatusText(old), "");

  // The hardware address shows unless it is empty or all zeros (in any case).
  cam.hwAddr = "00408c-1a2b3c";
  EXPECT_EQ(SelectionStatusText(cam), "Yard/Gate  [url=http://10.0.0.2:8080/jpeg.cgi, hwaddr=00408c-1a2b3c]");
  cam.hwAddr = "000000-000000";
  EXPECT_EQ(SelectionStatusText(cam), "Yard/Gate  [url=http://10.0.0.2:8080/jpeg.cgi]");

  // A tile is in use as soon as any entry anywhere shows in one.
  EXPECT_FALSE(AnyTileInUse(root_.get()));
  input.viewIndex = 0;
  EXPECT_TRUE(AnyTileInUse(root_.get()));
  EXPECT_FALSE(AnyTileInUse(&nas));
  EXPECT_FALSE(AnyTileInUse(nullptr));
}

TEST_F(TreeStatusTest, LabelsOfScannedEntriesNeverChangeAndPlaybackLeavesOnlyTheRecorder) {
  for (int32_t kind = EntryKind::RemovableDrive; kind <= EntryKind::NASDevice; ++kind) {
    GroupRecord record;
    record.kind = kind;
    const bool scanned = kind <= EntryKind::OldRecordingsFolder;
    EXPECT_EQ(CanEditLabel(record, false), !scanned) << kind;
    EXPECT_EQ(CanEditLabel(record, true), kind == EntryKind::LocalNVR) << kind;
  }
}

}  // namespace
}  // namespace velmora::control
