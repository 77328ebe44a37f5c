// Copy and paste of single devices and the import of device files.
#include <filesystem>
#include <string>
#include <vector>

#include "model/device_transfer.h"
#include "model/model_fixture.h"
#include "model/tree_file.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora::test {
namespace {

class TransferTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    nvr = &add(root(), EntryKind::LocalNVR, "All Views");
    cams = &add(*nvr, EntryKind::Group, "Cams");
    yard = &add(*nvr, EntryKind::Group, "Yard");
    door = &add(*cams, EntryKind::Device, "Door");
    door->uuid = "0190a5b2-0000-7000-8000-00000000000d";
    door->location = "10.0.0.9";
    door->username = "admin";
    door->password = "pw";
    door->enabled = true;
    door->recording = true;
    door->sensitivity = 17;
    server = &add(*cams, EntryKind::ServerDevice, "srv");
    server->uuid = "0190a5b2-0000-7000-8000-00000000000e";
    server->location = "srv.local:8000";
    server->username = "op";
    server->password = "secret";
    for (int index : {0, 5}) {
      GroupRecord& input = add(*server, EntryKind::ServerCamera, "in" + std::to_string(index));
      input.cameraIndex = index;
      input.uuid = "0190a5b2-0000-7000-8000-00000000010" + std::to_string(index);
    }
  }
  static std::vector<std::string> Names(const GroupRecord& parent) {
    std::vector<std::string> names;
    for (const auto& child : parent.children) names.push_back(child->name);
    return names;
  }

  GroupRecord* nvr = nullptr;
  GroupRecord* cams = nullptr;
  GroupRecord* yard = nullptr;
  GroupRecord* door = nullptr;
  GroupRecord* server = nullptr;
};

TEST_F(TransferTest, DeviceTextIsTheEntryElementUnderDeviceWithLineFeeds) {
  GroupRecord& nas = add(*yard, EntryKind::NASDevice, "n & m");
  nas.uuid = "u-1";
  nas.location = "/mnt/x";
  EXPECT_EQ(DeviceText(nas),
            "<DEVICE>\n"
            "\t<NASDevice name=\"n &amp; m\">\n"
            "\t\t<UUID>u-1</UUID>\n"
            "\t\t<Location>/mnt/x</Location>\n"
            "\t\t<DebugLevel>0</DebugLevel>\n"
            "\t\t<Enabled>false</Enabled>\n"
            "\t\t<UpdateDelay>0</UpdateDelay>\n"
            "\t</NASDevice>\n"
            "</DEVICE>\n");
  // A server's text carries its cameras; a camera input or a group cannot be copied.
  EXPECT_NE(DeviceText(*server).find("\t\t<CameraList>\n\t\t\t<Camera name=\"in0\">\n"), std::string::npos);
  EXPECT_EQ(DeviceText(*server->children[0]), "");
  EXPECT_EQ(DeviceText(*cams), "");
  EXPECT_TRUE(CanCopyEntry(server));
  EXPECT_FALSE(CanCopyEntry(server->children[0].get()));
  EXPECT_TRUE(CanPasteInto(server->children[0].get()));
  EXPECT_FALSE(CanPasteInto(nvr));
}

TEST_F(TransferTest, PasteIntoTheSameGroupNumbersTheCopyAndKeepsItsUuid) {
  const std::string text = DeviceText(*door);
  EXPECT_EQ(PasteDeviceText(TestTree(), door, text), 1);
  ASSERT_EQ(Names(*cams), (std::vector<std::string>{"Door", "srv", "Door (1)"}));
  const GroupRecord& copy = *cams->children[2];
  EXPECT_EQ(copy.uuid, door->uuid);
  EXPECT_EQ(copy.path, "Cams/Door (1)");
  EXPECT_EQ(copy.location, "10.0.0.9");
  EXPECT_EQ(copy.password, "pw");
  EXPECT_EQ(copy.sensitivity, 17u);
  // Paste saves the tree but starts no fetch.
  EXPECT_FALSE(copy.fetchActive);
  EXPECT_NE(ReadFile(TestPaths().deviceTreePath).find("<Device name=\"Door (1)\">"), std::string::npos);
}

TEST_F(TransferTest, PasteWithAServerCameraSelectedGoesIntoTheServersGroup) {
  GroupRecord& gate = add(*yard, EntryKind::Device, "Gate");
  GroupRecord* input = server->children[1].get();
  EXPECT_EQ(PasteTarget(input), cams);
  EXPECT_EQ(PasteTarget(server), cams);
  EXPECT_EQ(PasteTarget(yard), yard);
  EXPECT_EQ(PasteTarget(nvr), nullptr);
  EXPECT_EQ(PasteDeviceText(TestTree(), nvr, DeviceText(gate)), -1);
  EXPECT_EQ(PasteDeviceText(TestTree(), input, DeviceText(gate)), 1);
  EXPECT_EQ(PasteDeviceText(TestTree(), input, std::string(kMaxTreeFileBytes + 1, ' ')), -1)
      << "oversized text refused";
  EXPECT_EQ(Names(*cams), (std::vector<std::string>{"Door", "srv", "Gate"}));
  EXPECT_EQ(server->children.size(), 2u);
}

TEST_F(TransferTest, PastingAServerCopiesItsCamerasWithTheServersAccess) {
  EXPECT_EQ(PasteDeviceText(TestTree(), yard, DeviceText(*server)), 2);
  ASSERT_EQ(Names(*yard), (std::vector<std::string>{"srv"}));
  const GroupRecord& copy = *yard->children[0];
  EXPECT_EQ(copy.uuid, server->uuid);
  ASSERT_EQ(Names(copy), (std::vector<std::string>{"in0", "in5"}));
  const GroupRecord& input = *copy.children[1];
  EXPECT_EQ(input.cameraIndex, 5);
  EXPECT_EQ(input.location, "srv.local:8000");
  EXPECT_EQ(input.username, "op");
  EXPECT_EQ(input.password, "secret");
  EXPECT_EQ(input.uuid, server->children[1]->uuid);
  EXPECT_EQ(input.path, "Yard/srv/in5");
}

TEST_F(TransferTest, BrokenOrForeignTextsAddWhatTheyCanAndLog) {
  EXPECT_EQ(InsertDevicesFromText(TestTree(), *yard, "<DEVICE><Device name=\"a\"/>\n<Device name="), 1);
  EXPECT_EQ(Names(*yard), (std::vector<std::string>{"a"}));
  const std::string log = logText();
  const std::size_t at = log.find("]: GroupListInsertDeviceFromXML: ");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.substr(log.find("\r\n", at) - 10, 12), " at line 2\r\n") << log;

  EXPECT_EQ(InsertDevicesFromText(TestTree(), *yard, "<Device name=\"b\"/>"), 0);
  EXPECT_TRUE(logHas("XMLStringDocumentChild::operator (): unexpected element type 'Device'"));

  EXPECT_EQ(InsertDevicesFromText(TestTree(), *yard, "<DEVICE><Group name=\"g\"/></DEVICE>"), 0);
  EXPECT_TRUE(logHas("XMLGroupChild::operator (): unexpected element type 'Group'"));

  // The clipboard text ends at its zero byte: what follows it is never parsed.
  std::string text = DeviceText(*door);
  text += '\0';
  text += "<garbage";
  const std::size_t logged = logText().size();
  EXPECT_EQ(PasteDeviceText(TestTree(), yard, text), 1);
  EXPECT_EQ(logText().find("GroupListInsertDeviceFromXML", logged), std::string::npos);
}

TEST_F(TransferTest, PastedAndImportedNamesFollowTheNameRuleAndCopyBackUnchanged) {
  // A DEVICE text from another program: line breaks in the name, a name too long, and
  // a pretty-printed value.
  const std::string longName(50, 'z');
  const std::string text = "<DEVICE>\n\t<Device name=\"\tNew&#10;line&#13;\">\n\t\t<Location>\n"
                           "\t\t\t10.0.0.5\n\t\t</Location>\n\t</Device>\n"
                           "\t<Device name=\"" + longName + "\"/>\n</DEVICE>\n";
  EXPECT_EQ(PasteDeviceText(TestTree(), yard, text), 2);
  ASSERT_EQ(Names(*yard), (std::vector<std::string>{"New line", std::string(48, 'z')}));
  const GroupRecord& pasted = *yard->children[0];
  EXPECT_EQ(pasted.path, "Yard/New line");
  EXPECT_EQ(pasted.location, "10.0.0.5");

  // Copied out and pasted again, the entry keeps everything but takes a numbered name
  // that still fits the rule.
  EXPECT_EQ(PasteDeviceText(TestTree(), yard, DeviceText(*yard->children[1])), 1);
  EXPECT_EQ(yard->children[2]->name, std::string(44, 'z') + " (1)");
  EXPECT_EQ(PasteDeviceText(TestTree(), cams, DeviceText(pasted)), 1);
  EXPECT_EQ(DeviceText(*cams->children.back()), DeviceText(pasted));

  // An imported device file takes the same rule.
  const std::string file = dir_ + "/import.xml";
  WriteFile(file, "<DeviceTree version=\"1.0\"><LocalNVR name=\"All Views\"><Group name=\"Yard\">"
                  "<HTTPDevice name=\"  Weather&#9;&#9;roof \"/></Group></LocalNVR></DeviceTree>");
  EXPECT_TRUE(ImportDeviceFile(TestTree(), file));
  ASSERT_NE(FindByName(yard, "Weather  roof", false), nullptr);
  EXPECT_EQ(FindByName(yard, "Weather  roof", false)->path, "Yard/Weather  roof");
}

TEST_F(TransferTest, APasteStopsAtTheTreesViewableLimit) {
  GroupRecord& many = add(*nvr, EntryKind::Group, "Many");
  for (int i = 0; i < 1020; ++i) add(many, EntryKind::Device, "d" + std::to_string(i));
  std::string text = "<DEVICE><ServerDevice name=\"big\"><CameraList>";
  for (int i = 0; i < 8; ++i) text += "<Camera name=\"c" + std::to_string(i) + "\"/>";
  text += "</CameraList></ServerDevice><Device name=\"extra\"/></DEVICE>";
  // 1023 viewable already (1020 + Door + two server inputs): one more fits.
  EXPECT_EQ(PasteDeviceText(TestTree(), yard, text), 1);
  EXPECT_EQ(CountViewable(&root()), kMaxViewableEntries);
  EXPECT_EQ(FindByName(yard, "extra", false), nullptr);
}

TEST_F(TransferTest, ImportingTheOwnFileAddsEveryDeviceAgainNumbered) {
  std::vector<std::string> started;
  upper_.onStartFetch = [&](GroupRecord& r) { started.push_back(r.path); };
  ASSERT_TRUE(SaveTree(TestTree()));
  EXPECT_TRUE(ImportDeviceFile(TestTree(), TestPaths().deviceTreePath));
  EXPECT_EQ(Names(*cams), (std::vector<std::string>{"Door", "srv", "Door (1)", "srv (1)"}));
  EXPECT_EQ(cams->children[2]->uuid, door->uuid);
  EXPECT_EQ(nvr->children.size(), 2u);
  EXPECT_EQ(root().children.size(), 1u);
  // The recording state is applied to the whole tree, then the tree is saved.
  EXPECT_EQ(started, (std::vector<std::string>{"Cams/Door", "Cams/Door (1)"}));
  EXPECT_EQ(ReadFile(TestPaths().deviceTreePath), TreeFileText(root()));
}

TEST_F(TransferTest, AFailedImportReusesTheDefaultEntriesInsteadOfDoublingThem) {
  GroupRecord& defaultGroup = add(*nvr, EntryKind::Group, "Local Network Cameras");
  EXPECT_FALSE(ImportDeviceFile(TestTree(), dir_ + "/missing.xml"));
  EXPECT_TRUE(logHas("creating default group list"));
  EXPECT_EQ(root().children.size(), 1u);
  EXPECT_EQ(Names(*nvr), (std::vector<std::string>{"Cams", "Yard", "Local Network Cameras"}));
  EXPECT_EQ(nvr->children[2].get(), &defaultGroup);

  // Under a differently named top entry the default entries are added once.
  RenameEntry(*nvr, "Site");
  EXPECT_FALSE(ImportDeviceFile(TestTree(), dir_ + "/missing.xml"));
  EXPECT_FALSE(ImportDeviceFile(TestTree(), dir_ + "/missing.xml"));
  ASSERT_EQ(Names(root()), (std::vector<std::string>{"Site", "All Views"}));
  EXPECT_EQ(Names(*root().children[1]), (std::vector<std::string>{"Local Network Cameras"}));
}

TEST_F(TransferTest, ImportingAnOlderFileLeavesADatedCopyOfTheOwnFile) {
  ASSERT_TRUE(SaveTree(TestTree()));
  const std::string own = ReadFile(TestPaths().deviceTreePath);
  const std::string other = dir_ + "/old devices.xml";
  WriteFile(other, "<DeviceTree version=\"0.5\"><LocalNVR name=\"All Views\"><Group name=\"Yard\">"
                   "<Device name=\"Old\"/></Group></LocalNVR></DeviceTree>");
  EXPECT_TRUE(ImportDeviceFile(TestTree(), other));
  EXPECT_NE(FindByName(yard, "Old", false), nullptr);
  std::vector<std::string> copies = datedCopies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(ReadFile(copies[0]), own);
}

TEST_F(TransferTest, DroppedFilesAreImportedOnlyWhenTheyEndInXml) {
  const std::string file = dir_ + "/Devices.XML";
  WriteFile(file, "<DeviceTree version=\"1.0\"><LocalNVR name=\"All Views\"><Group name=\"Yard\">"
                  "<HTTPDevice name=\"Weather\"/></Group></LocalNVR></DeviceTree>");
  EXPECT_TRUE(ImportDroppedFile(TestTree(), file));
  EXPECT_TRUE(logHas("CMainFrame::OnDropFiles: " + file));
  EXPECT_NE(FindByName(yard, "Weather", false), nullptr);

  const std::string other = dir_ + "/Devices.txt";
  WriteFile(other, "<DeviceTree version=\"1.0\"><LocalNVR name=\"All Views\"><Group name=\"Yard\">"
                   "<HTTPDevice name=\"Rain\"/></Group></LocalNVR></DeviceTree>");
  EXPECT_FALSE(ImportDroppedFile(TestTree(), other));
  EXPECT_EQ(FindByName(yard, "Rain", false), nullptr);
  EXPECT_FALSE(IsDeviceFileName("xml"));
  EXPECT_TRUE(IsDeviceFileName("/a/b.xMl"));
}

// A dropped file's name reaches the log escaped: a name with a line break and a time
// stamp cannot forge a line of its own, nor send a terminal a control sequence.
TEST_F(TransferTest, DroppedFileNamesReachTheLogEscaped) {
  const std::string name = "Cams\n[Mon Jan 01 00:00:00 2024]: forged\x1b[2J.xml";
  const std::string file = dir_ + "/" + name;
  WriteFile(file, "<DeviceTree version=\"1.0\"><LocalNVR name=\"All Views\"><Group name=\"Yard\">"
                  "<HTTPDevice name=\"Wind\"/></Group></LocalNVR></DeviceTree>");
  EXPECT_TRUE(ImportDroppedFile(TestTree(), file));
  EXPECT_NE(FindByName(yard, "Wind", false), nullptr);
  const std::string text = logText();
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find("\n[Mon Jan 01 00:00:00 2024]"), std::string::npos) << text;
  EXPECT_TRUE(logHas("CMainFrame::OnDropFiles: " + dir_ + "/Cams\\n[Mon Jan 01 00:00:00 2024]: forged\\x1b[2J.xml"))
      << text;
}

}  // namespace
}  // namespace velmora::test
