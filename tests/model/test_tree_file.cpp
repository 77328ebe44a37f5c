// The device-tree file: exact bytes written, what a load keeps, and hostile files.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "app/helpers.h"
#include "model/model_fixture.h"
#include "model/tree_file.h"
#include "platform/clock.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora::test {
namespace {

std::string CrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

// A file holding `body` inside DeviceTree / LocalNVR "All Views" / Group "Cams".
std::string GroupFile(const std::string& body, const std::string& version = "1.0") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DeviceTree version=\"" + version +
         "\"><LocalNVR name=\"All Views\"><Group name=\"Cams\">" + body +
         "</Group></LocalNVR></DeviceTree>\n";
}

class TreeFileTest : public ModelTest {
 protected:
  // Writes the text as the program's own tree file and loads it into a fresh tree.
  // The version the file states (-1.-1 when none was reported).
  DocumentVersion loadText(const std::string& text) {
    WriteFile(TestPaths().deviceTreePath, text);
    DocumentVersion version{-1, -1};
    EXPECT_TRUE(LoadTree(TestTree(), TestPaths().deviceTreePath, &version));
    return version;
  }
  GroupRecord* group(const std::string& name = "Cams") {
    return FindByName(&root(), name, false);
  }
  std::vector<std::string> childNames(const GroupRecord& parent) {
    std::vector<std::string> names;
    for (const auto& child : parent.children) names.push_back(child->name);
    return names;
  }
};

// --- Writer -------------------------------------------------------------------

TEST_F(TreeFileTest, WriterProducesTheExactBytesForEveryKindAndField) {
  GroupRecord& nvr = add(root(), EntryKind::LocalNVR, "All Views");
  GroupRecord& cams = add(nvr, EntryKind::Group, "Cams & <Co>");
  GroupRecord& door = add(cams, EntryKind::Device, "Door \"1\" 'x'");
  door.uuid = "0190a5b2-0000-7000-8000-000000000001";
  door.hwAddr = "0050c2-aabbcc";
  door.location = "10.0.0.7:8080";
  door.username = "admin";
  door.password = "pw";
  door.debugLevel = 2;
  door.enabled = true;
  door.syncTime = true;
  door.recording = true;
  door.updateDelay = 500;
  door.archiveTime = 86400;
  door.scheduleEnabled = true;
  door.daysOfWeek[0] = door.daysOfWeek[6] = true;
  door.hoursOfDay[8] = door.hoursOfDay[17] = true;
  door.motionType = 1;
  door.motionAlert = true;
  door.ignoreGradualChanges = false;
  door.requireMultipleZones = true;
  door.motionShow = true;
  door.sensitivity = 20;
  door.grid4x4 = 0x00ff;
  GroupRecord& srv = add(cams, EntryKind::ServerDevice, "srv");
  srv.uuid = "0190a5b2-0000-7000-8000-000000000002";
  srv.location = "srv.local";
  srv.username = "op";
  srv.password = "s";
  GroupRecord& input = add(srv, EntryKind::ServerCamera, "in>3");
  input.uuid = "0190a5b2-0000-7000-8000-000000000003";
  input.debugLevel = 3;
  input.cameraIndex = 3;
  input.enabled = true;
  GroupRecord& web = add(cams, EntryKind::HTTPDevice, "web");
  web.uuid = "0190a5b2-0000-7000-8000-000000000004";
  web.location = "http://example.com/a.jpg?x=1&y=2";
  GroupRecord& nas = add(cams, EntryKind::NASDevice, "nas");
  nas.uuid = "0190a5b2-0000-7000-8000-000000000005";
  nas.location = "/mnt/nas/rec";
  nas.enabled = true;
  nas.updateDelay = 5000;
  add(nvr, EntryKind::Group, "Empty");
  add(root(), EntryKind::RemovableDrive, "USB");                                  // not written
  add(root(), EntryKind::OldRecordingsNode, "Old Recordings With No Live View");  // not written

  auto defaultBlock = [](const std::string& t) {
    return std::vector<std::string>{
        t + "<Recording>false</Recording>",
        t + "<UpdateDelay>0</UpdateDelay>",
        t + "<ArchiveTime>0</ArchiveTime>",
        t + "<Schedule>",
        t + "\t<Enabled>false</Enabled>",
        t + "\t<DaysOfWeek></DaysOfWeek>",
        t + "\t<HoursOfDay></HoursOfDay>",
        t + "</Schedule>",
        t + "<Motion type=\"0\">",
        t + "\t<Enabled>true</Enabled>",
        t + "\t<Alert>false</Alert>",
        t + "\t<IgnoreGradualChanges>true</IgnoreGradualChanges>",
        t + "\t<RequireMultipleZones>false</RequireMultipleZones>",
        t + "\t<Show>false</Show>",
        t + "\t<Sensitivity>11</Sensitivity>",
        t + "\t<Grid4x4>0xffff</Grid4x4>",
        t + "</Motion>"};
  };
  std::vector<std::string> lines = {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
      "<DeviceTree version=\"1.0\">",
      "\t<LocalNVR name=\"All Views\">",
      "\t\t<Group name=\"Cams &amp; &lt;Co&gt;\">",
      "\t\t\t<Device name=\"Door &quot;1&quot; &apos;x&apos;\">",
      "\t\t\t\t<UUID>0190a5b2-0000-7000-8000-000000000001</UUID>",
      "\t\t\t\t<HWAddr>0050c2-aabbcc</HWAddr>",
      "\t\t\t\t<Location>10.0.0.7:8080</Location>",
      "\t\t\t\t<Username>admin</Username>",
      "\t\t\t\t<Password>cHc=</Password>",
      "\t\t\t\t<DebugLevel>2</DebugLevel>",
      "\t\t\t\t<Enabled>true</Enabled>",
      "\t\t\t\t<SyncTime>true</SyncTime>",
      "\t\t\t\t<Recording>true</Recording>",
      "\t\t\t\t<UpdateDelay>500</UpdateDelay>",
      "\t\t\t\t<ArchiveTime>86400</ArchiveTime>",
      "\t\t\t\t<Schedule>",
      "\t\t\t\t\t<Enabled>true</Enabled>",
      "\t\t\t\t\t<DaysOfWeek>0,6</DaysOfWeek>",
      "\t\t\t\t\t<HoursOfDay>8,17</HoursOfDay>",
      "\t\t\t\t</Schedule>",
      "\t\t\t\t<Motion type=\"1\">",
      "\t\t\t\t\t<Enabled>true</Enabled>",
      "\t\t\t\t\t<Alert>true</Alert>",
      "\t\t\t\t\t<IgnoreGradualChanges>false</IgnoreGradualChanges>",
      "\t\t\t\t\t<RequireMultipleZones>true</RequireMultipleZones>",
      "\t\t\t\t\t<Show>true</Show>",
      "\t\t\t\t\t<Sensitivity>20</Sensitivity>",
      "\t\t\t\t\t<Grid4x4>0xff</Grid4x4>",
      "\t\t\t\t</Motion>",
      "\t\t\t</Device>",
      "\t\t\t<ServerDevice name=\"srv\">",
      "\t\t\t\t<UUID>0190a5b2-0000-7000-8000-000000000002</UUID>",
      "\t\t\t\t<Location>srv.local</Location>",
      "\t\t\t\t<Username>op</Username>",
      "\t\t\t\t<Password>cw==</Password>",
      "\t\t\t\t<SyncTime>false</SyncTime>",
      "\t\t\t\t<CameraList>",
      "\t\t\t\t\t<Camera name=\"in&gt;3\">",
      "\t\t\t\t\t\t<UUID>0190a5b2-0000-7000-8000-000000000003</UUID>",
      "\t\t\t\t\t\t<DebugLevel>3</DebugLevel>",
      "\t\t\t\t\t\t<Index>3</Index>",
      "\t\t\t\t\t\t<Enabled>true</Enabled>"};
  for (auto& line : defaultBlock("\t\t\t\t\t\t")) lines.push_back(line);
  for (std::string line : {"\t\t\t\t\t</Camera>", "\t\t\t\t</CameraList>", "\t\t\t</ServerDevice>",
                           "\t\t\t<HTTPDevice name=\"web\">",
                           "\t\t\t\t<UUID>0190a5b2-0000-7000-8000-000000000004</UUID>",
                           "\t\t\t\t<Location>http://example.com/a.jpg?x=1&amp;y=2</Location>",
                           "\t\t\t\t<DebugLevel>0</DebugLevel>", "\t\t\t\t<Enabled>false</Enabled>"})
    lines.push_back(line);
  for (auto& line : defaultBlock("\t\t\t\t")) lines.push_back(line);
  for (std::string line : {"\t\t\t</HTTPDevice>", "\t\t\t<NASDevice name=\"nas\">",
                           "\t\t\t\t<UUID>0190a5b2-0000-7000-8000-000000000005</UUID>",
                           "\t\t\t\t<Location>/mnt/nas/rec</Location>",
                           "\t\t\t\t<DebugLevel>0</DebugLevel>", "\t\t\t\t<Enabled>true</Enabled>",
                           "\t\t\t\t<UpdateDelay>5000</UpdateDelay>", "\t\t\t</NASDevice>",
                           "\t\t</Group>", "\t\t<Group name=\"Empty\"></Group>", "\t</LocalNVR>",
                           "</DeviceTree>"})
    lines.push_back(line);

  const std::string expected = CrLf(lines);
  EXPECT_EQ(TreeFileText(root()), expected);
  ASSERT_TRUE(SaveTree(TestTree()));
  EXPECT_EQ(ReadFile(TestPaths().deviceTreePath), expected);
  EXPECT_FALSE(std::filesystem::exists(TestPaths().deviceTreePath + ".tmp"));
}

TEST_F(TreeFileTest, ServerWithoutInputsHasNoCameraListAndAttributesAreSorted) {
  GroupRecord& nvr = add(root(), EntryKind::LocalNVR, "n");
  GroupRecord& g = add(nvr, EntryKind::Group, "g");
  add(g, EntryKind::ServerDevice, "s");
  EXPECT_EQ(TreeFileText(root()).find("CameraList"), std::string::npos);

  XmlElement element("E", "a<b");
  element.setAttribute("zeta", "1");
  element.setAttribute("alpha", "&'");
  std::string out;
  WriteXmlElement(element, 2, "\n", out);
  EXPECT_EQ(out, "\t\t<E alpha=\"&amp;&apos;\" zeta=\"1\">a&lt;b</E>\n");
}

// --- Round trip -------------------------------------------------------------------

TEST_F(TreeFileTest, SaveAndLoadKeepEveryPersistedField) {
  GroupRecord& nvr = add(root(), EntryKind::LocalNVR, "Höme & <Office>");
  GroupRecord& cams = add(nvr, EntryKind::Group, "Quote \" and ' and >");
  GroupRecord& door = add(cams, EntryKind::Device, "A&B <door> \"front\"");
  door.uuid = NewUuidText();
  door.hwAddr = "0050c2-aabbcc";
  door.location = "cam.local:8080";
  door.username = " a & <b> ";  // blanks between entities are part of the value
  door.password = "p@ss:wörd&<'\"";
  door.debugLevel = -1;
  door.syncTime = true;
  door.enabled = true;
  door.recording = true;
  door.updateDelay = 4294967295u;
  door.archiveTime = -5;
  door.scheduleEnabled = true;
  for (int d : {1, 3, 5}) door.daysOfWeek[static_cast<size_t>(d)] = true;
  for (int h : {0, 12, 23}) door.hoursOfDay[static_cast<size_t>(h)] = true;
  door.motionEnabled = false;
  door.motionAlert = true;
  door.ignoreGradualChanges = false;
  door.requireMultipleZones = true;
  door.motionShow = true;
  door.motionType = 2;
  door.sensitivity = 3;
  door.grid4x4 = 0x8421;
  GroupRecord& srv = add(cams, EntryKind::ServerDevice, "srv");
  srv.uuid = NewUuidText();
  srv.hwAddr = "001122-334455";
  srv.location = "srv.local:81";
  srv.username = "op";
  srv.password = "secret";
  srv.syncTime = true;
  GroupRecord& input = add(srv, EntryKind::ServerCamera, "in 15");
  input.uuid = NewUuidText();
  input.cameraIndex = 15;
  input.debugLevel = 6;
  input.enabled = true;
  input.recording = true;
  input.grid4x4 = 0;
  GroupRecord& web = add(cams, EntryKind::HTTPDevice, "web");
  web.uuid = NewUuidText();
  web.location = "http://example.com/x.jpg?a=1&b=2";
  web.username = "u";
  web.password = "p";
  web.updateDelay = 60000;
  GroupRecord& nas = add(cams, EntryKind::NASDevice, "nas");
  nas.uuid = NewUuidText();
  nas.location = "/mnt/nas/Velmora Recordings/";
  nas.debugLevel = 1;
  nas.updateDelay = 1000;

  const std::string before = TreeFileText(root());
  const std::string doorName = door.name;
  const std::string inputUuid = input.uuid;
  ASSERT_TRUE(SaveTree(TestTree()));
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  ASSERT_TRUE(LoadTree(TestTree(), TestPaths().deviceTreePath));

  EXPECT_EQ(TreeFileText(*TestTree().root), before);
  GroupRecord* loaded = FindByName(TestTree().root.get(), "A&B <DOOR> \"front\"", true);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->name, doorName);
  EXPECT_EQ(loaded->username, " a & <b> ");
  EXPECT_EQ(loaded->password, "p@ss:wörd&<'\"");
  EXPECT_EQ(loaded->debugLevel, -1);
  EXPECT_EQ(loaded->archiveTime, -5);
  EXPECT_EQ(loaded->updateDelay, 4294967295u);
  EXPECT_EQ(loaded->grid4x4, 0x8421);
  EXPECT_EQ(loaded->motionType, 2u);
  EXPECT_EQ(loaded->path, "Quote \" and ' and >/A&B <door> \"front\"");
  GroupRecord* loadedInput = FindByName(TestTree().root.get(), "in 15", true);
  ASSERT_NE(loadedInput, nullptr);
  EXPECT_EQ(loadedInput->cameraIndex, 15);
  EXPECT_EQ(loadedInput->uuid, inputUuid);
  // Cameras of a server take the server's address and credentials.
  EXPECT_EQ(loadedInput->location, "srv.local:81");
  EXPECT_EQ(loadedInput->username, "op");
  EXPECT_EQ(loadedInput->password, "secret");
  EXPECT_EQ(loadedInput->path, "Quote \" and ' and >/srv/in 15");
}

TEST_F(TreeFileTest, ValueTextsFollowTheNumberBooleanAndListRules) {
  loadText(GroupFile(
      "<Device name=\"d\"><Enabled>True</Enabled><SyncTime>true</SyncTime>"
      "<UpdateDelay>010</UpdateDelay><ArchiveTime>0x1F</ArchiveTime><DebugLevel>-2</DebugLevel>"
      "<Schedule><DaysOfWeek>0,6,9</DaysOfWeek><HoursOfDay>23,24,-1,x,5</HoursOfDay></Schedule>"
      "<Motion type=\"6\"><Grid4x4>0x00ff</Grid4x4><Sensitivity>99999999999</Sensitivity></Motion>"
      "<Password></Password></Device>"
      "<Device name=\"e\"><Motion><Enabled>false</Enabled></Motion></Device>"));
  GroupRecord* d = FindByName(&root(), "d", true);
  ASSERT_NE(d, nullptr);
  EXPECT_FALSE(d->enabled);  // only the exact text "true" is true
  EXPECT_TRUE(d->syncTime);
  EXPECT_EQ(d->updateDelay, 8u);
  EXPECT_EQ(d->archiveTime, 31);
  EXPECT_EQ(d->debugLevel, -2);
  EXPECT_EQ(d->grid4x4, 0x00ff);  // zones of the top two rows
  EXPECT_EQ(d->sensitivity, 0xFFFFFFFFu);
  EXPECT_EQ(d->motionType, 2u);  // two lowest bits of 6
  bool days[7] = {true, false, false, false, false, false, true};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(d->daysOfWeek[static_cast<size_t>(i)], days[i]) << i;
  for (int i = 0; i < 24; ++i) EXPECT_EQ(d->hoursOfDay[static_cast<size_t>(i)], i == 5 || i == 23) << i;
  EXPECT_TRUE(d->password.empty());
  EXPECT_EQ(TreeFileText(root()).find("<Password>"), std::string::npos);
  GroupRecord* e = FindByName(&root(), "e", true);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->motionType, 0u);
  EXPECT_FALSE(e->motionEnabled);
  EXPECT_TRUE(e->password.empty());

  EXPECT_EQ(ParseFileNumber("42"), 42u);
  EXPECT_EQ(ParseFileNumber(" +7"), 7u);
  EXPECT_EQ(ParseFileNumber("0X1f"), 31u);
  EXPECT_EQ(ParseFileNumber("08"), 0u);  // octal stops at 8
  EXPECT_EQ(ParseFileNumber("0x"), 0u);
  EXPECT_EQ(ParseFileNumber("12abc"), 12u);
  EXPECT_EQ(ParseFileNumber("abc"), 0u);
  EXPECT_EQ(ParseFileNumber("-1"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseSignedDecimal("-7"), -7);
  EXPECT_EQ(ParseSignedDecimal("x"), 0);
  EXPECT_EQ(ParseSignedDecimal("-99999999999"), INT32_MIN);
}

TEST_F(TreeFileTest, ADeviceWithoutUuidGetsOneAndKeepsItFromTheNextSave) {
  loadText(GroupFile("<Device name=\"a\"/><Camera name=\"stray\"/>"));
  GroupRecord* a = FindByName(&root(), "a", true);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->uuid.size(), 36u);
  const std::string uuid = a->uuid;
  ASSERT_TRUE(SaveTree(TestTree()));
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  ASSERT_TRUE(LoadTree(TestTree(), TestPaths().deviceTreePath));
  EXPECT_EQ(FindByName(TestTree().root.get(), "a", true)->uuid, uuid);
}

// --- Names ---------------------------------------------------------------------------

TEST_F(TreeFileTest, DuplicateNamesAreNumberedInTheGroupAndGroupsMerge) {
  loadText("<DeviceTree version=\"1.0\"><LocalNVR name=\"All Views\">"
           "<Group name=\"Cams\"><Device name=\"Cam\"/><Device name=\"Cam\"/></Group>"
           "<Group name=\"CAMS\"><HTTPDevice name=\"cam\"/><Device name=\" Cam (1) \"/></Group>"
           "<Group name=\"Other\"><Device name=\"Cam\"/></Group>"
           "</LocalNVR></DeviceTree>");
  GroupRecord* cams = group();
  ASSERT_NE(cams, nullptr);
  EXPECT_EQ(childNames(*cams), (std::vector<std::string>{"Cam", "Cam (1)", "cam (2)", "Cam (1) (1)"}));
  EXPECT_EQ(cams->children[1]->path, "Cams/Cam (1)");
  EXPECT_EQ(cams->children[2]->path, "Cams/cam (2)");
  EXPECT_EQ(childNames(*group("Other")), (std::vector<std::string>{"Cam"}));
  EXPECT_EQ(root().children.size(), 1u);
  EXPECT_EQ(root().children[0]->children.size(), 2u);
}

TEST_F(TreeFileTest, AThousandAndFirstEntryOfOneNameIsDropped) {
  std::string body;
  for (int i = 0; i < 1001; ++i) body += "<Device name=\"X\"/>";
  loadText(GroupFile(body));
  GroupRecord* cams = group();
  ASSERT_EQ(cams->children.size(), 1000u);
  EXPECT_EQ(cams->children[0]->name, "X");
  EXPECT_EQ(cams->children[999]->name, "X (999)");
}

TEST_F(TreeFileTest, NamesAreTrimmedAndCannotLeaveTheRecordingsFolder) {
  loadText(GroupFile("<Device/><Device name=\"  Gate  \"/><Device name=\"../../etc\"/>"
                     "<Device name=\"..\"/><Device name=\"   \"/>"));
  EXPECT_EQ(childNames(*group()),
            (std::vector<std::string>{"???", "Gate", ".._.._etc", "??? (1)", "??? (2)"}));
  for (const auto& child : group()->children) {
    EXPECT_EQ(child->path.find(".."), child->path.find(".._")) << child->path;
    EXPECT_EQ(child->path.rfind("Cams/", 0), 0u) << child->path;
  }
}

TEST_F(TreeFileTest, NamesReadFromTheFileAreCleanedAndKeepTheirFoldersAcrossRestarts) {
  // Names written by an older writer: raw line feeds and tabs (which the parser reads
  // as blanks), escaped ones (which it reads as themselves), too long names, and two
  // names that only the cut makes equal.
  const std::string longName(60, 'L');
  loadText("<DeviceTree version=\"1.0\"><LocalNVR name=\"All&#10;Views\">"
           "<Group name=\"\tCams&#9;\"><Device name=\"new\nline\"/><Device name=\"new&#10;line\"/>"
           "<Device name=\"" + longName + "1\"/><Device name=\"" + longName + "2\"/>"
           "<HTTPDevice name=\"&#13;\"/></Group></LocalNVR></DeviceTree>");
  ASSERT_EQ(root().children.size(), 1u);
  EXPECT_EQ(root().children[0]->name, "All Views");
  GroupRecord* cams = group();
  ASSERT_NE(cams, nullptr);
  EXPECT_EQ(cams->name, "Cams");
  const std::string cut(48, 'L');
  const std::string numbered = std::string(44, 'L') + " (1)";
  EXPECT_EQ(childNames(*cams),
            (std::vector<std::string>{"new line", "new line (1)", cut, numbered, "???"}));
  std::vector<std::string> folders;
  for (const auto& child : cams->children) folders.push_back(child->path);
  EXPECT_EQ(folders[1], "Cams/new line (1)");

  // Saved and read again, as at the next start: the same names, the same folders, and
  // the same file.
  ASSERT_TRUE(SaveTree(TestTree()));
  const std::string saved = ReadFile(TestPaths().deviceTreePath);
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  ASSERT_TRUE(LoadTree(TestTree(), TestPaths().deviceTreePath));
  GroupRecord* again = group();
  ASSERT_NE(again, nullptr);
  std::vector<std::string> foldersAgain;
  for (const auto& child : again->children) foldersAgain.push_back(child->path);
  EXPECT_EQ(foldersAgain, folders);
  EXPECT_EQ(TreeFileText(root()), saved);
}

TEST_F(TreeFileTest, TheWriterNeverWritesWhatItsReaderCannotReadBack) {
  // Values as other parts of the program may set them: control bytes, bytes that are
  // not UTF-8, markup characters, white space at the ends and carriage returns.
  GroupRecord& nvr = add(root(), EntryKind::LocalNVR, "All Views");
  GroupRecord& cams = add(nvr, EntryKind::Group, "Cams");
  GroupRecord& crafted = add(cams, EntryKind::Device, "ONVIF-\x01<&>\"\xff\nx");
  crafted.uuid = "0190a5b2-0000-7000-8000-000000000001";
  crafted.hwAddr = "ONVIF-\x01\x02<&>\"\xc3";
  crafted.location = "\x1b[31m10.0.0.1\r\n";
  crafted.username = "  spaced \t";
  crafted.password = "\x01\xff";  // any bytes: the file holds them in Base64
  GroupRecord& after = add(cams, EntryKind::Device, "after");
  after.uuid = "0190a5b2-0000-7000-8000-000000000002";
  after.location = "10.0.0.2";
  GroupRecord& web = add(cams, EntryKind::HTTPDevice, "web");
  web.uuid = "0190a5b2-0000-7000-8000-000000000003";
  web.location = "http://h/a\r\nb\tc";

  ASSERT_TRUE(SaveTree(TestTree()));
  const std::string first = ReadFile(TestPaths().deviceTreePath);
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  ASSERT_TRUE(LoadTree(TestTree(), TestPaths().deviceTreePath));
  EXPECT_EQ(logText().find("not well-formed"), std::string::npos) << logText();
  // Every device saved after the crafted one is still there.
  ASSERT_NE(group(), nullptr);
  ASSERT_EQ(group()->children.size(), 3u);
  const GroupRecord& back = *group()->children[0];
  EXPECT_EQ(back.password, "\x01\xff");
  EXPECT_EQ(back.username, "  spaced \t");  // white space at the ends is written escaped
  EXPECT_EQ(back.location, " [31m10.0.0.1\r\n");  // the escape byte is no XML character
  EXPECT_EQ(group()->children[1]->location, "10.0.0.2");
  EXPECT_EQ(group()->children[2]->location, "http://h/a\r\nb\tc");
  // What it read writes the same bytes again.
  EXPECT_EQ(TreeFileText(root()), first);
  ASSERT_TRUE(SaveTree(TestTree()));
  EXPECT_EQ(ReadFile(TestPaths().deviceTreePath), first);
}

TEST_F(TreeFileTest, CompactAndPrettyPrintedFilesLoadToTheSameTree) {
  const std::vector<std::string> lines = {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
      "<DeviceTree version=\"1.0\">",
      "  <LocalNVR name=\"All Views\">",
      "    <Group name=\"Cams\">",
      "      <Device name=\"Door\">",
      "        <UUID>",
      "          0190a5b2-0000-7000-8000-000000000001",
      "        </UUID>",
      "        <Location>",
      "          10.0.0.2:8080",
      "        </Location>",
      "        <Username>\t a &amp; b </Username>",
      "        <Enabled>",
      "          true",
      "        </Enabled>",
      "        <Schedule>",
      "          <Enabled>true</Enabled>",
      "          <DaysOfWeek>",
      "            0,6",
      "          </DaysOfWeek>",
      "        </Schedule>",
      "        <Motion type=\"1\">",
      "          <Grid4x4>",
      "            0x00ff",
      "          </Grid4x4>",
      "        </Motion>",
      "      </Device>",
      "      <HTTPDevice name=\"web\">",
      "        <UUID>0190a5b2-0000-7000-8000-000000000002</UUID>",
      "        <Location>",
      "          http://example.com/a.jpg?x=1&amp;y=2",
      "        </Location>",
      // Blanks between references are part of the text, and so is white space that
      // a reference writes; the line breaks around them are not.
      "        <Username>",
      "          &lt; &gt;",
      "        </Username>",
      "        <DebugLevel>&#32;7&#32;</DebugLevel>",
      "      </HTTPDevice>",
      "    </Group>",
      "  </LocalNVR>",
      "</DeviceTree>"};
  // Indented: each line at its level, in the given indentation and line ends.
  auto indented = [&lines](const std::string& indent, const std::string& newline) {
    std::string text;
    for (const std::string& line : lines) {
      const std::size_t blanks = line.find_first_not_of(' ');
      for (std::size_t level = 0; level < blanks / 2; ++level) text += indent;
      text += line.substr(blanks) + newline;
    }
    return text;
  };
  // Compact: no layout at all between elements or around values.
  std::string compact;
  for (const std::string& line : lines) compact += line.substr(line.find_first_not_of(' '));
  const std::vector<std::pair<std::string, std::string>> files = {
      {"compact", compact},
      {"indented with LF", indented("\t", "\n")},
      {"indented with CRLF", indented("  ", "\r\n")}};
  std::string expected;
  for (const auto& [label, text] : files) {
    SCOPED_TRACE(label);
    if (TestTree().root) DestroyTree(TestTree().root.get());
    TestTree().root.reset();
    loadText(text);
    GroupRecord* door = FindByName(&root(), "Door", true);
    ASSERT_NE(door, nullptr);
    EXPECT_EQ(door->uuid, "0190a5b2-0000-7000-8000-000000000001");
    EXPECT_TRUE(door->enabled);
    EXPECT_EQ(door->location, "10.0.0.2:8080");
    EXPECT_EQ(DeviceUrl(*door), "http://10.0.0.2:8080/jpeg.cgi");  // the address splits
    EXPECT_EQ(door->username, "a & b");
    EXPECT_TRUE(door->scheduleEnabled);
    EXPECT_TRUE(door->daysOfWeek[0] && door->daysOfWeek[6]);
    EXPECT_EQ(door->grid4x4, 0x00ff);
    GroupRecord* web = FindByName(&root(), "web", true);
    ASSERT_NE(web, nullptr);
    EXPECT_EQ(web->location, "http://example.com/a.jpg?x=1&y=2");
    EXPECT_EQ(web->username, "< >");
    EXPECT_EQ(web->debugLevel, 7);
    const std::string written = TreeFileText(root());
    if (expected.empty()) expected = written;
    EXPECT_EQ(written, expected);
  }
}

TEST_F(TreeFileTest, ALocalNvrIsMergedOnlyIntoATopEntry) {
  GroupRecord& nvr = add(root(), EntryKind::LocalNVR, "All Views");
  add(nvr, EntryKind::Group, "Site");
  loadText("<DeviceTree version=\"1.0\"><LocalNVR name=\"Site\"><Group name=\"G\"/></LocalNVR>"
           "<LocalNVR name=\"ALL VIEWS\"><Group name=\"site\"><Device name=\"d\"/></Group></LocalNVR>"
           "</DeviceTree>");
  ASSERT_EQ(root().children.size(), 2u);
  EXPECT_EQ(root().children[1]->name, "Site");
  EXPECT_EQ(root().children[1]->kind, EntryKind::LocalNVR);
  EXPECT_EQ(nvr.children.size(), 1u);
  EXPECT_EQ(nvr.children[0]->children.size(), 1u);
}

// --- Version, missing and damaged files ---------------------------------------------

TEST_F(TreeFileTest, AnotherVersionLeavesADatedCopyOfTheOwnFile) {
  const std::string text = GroupFile("<Device name=\"d\"/>", "0.9");
  const DocumentVersion version = loadText(text);
  EXPECT_EQ(version.versionMajor, 0);
  EXPECT_EQ(version.versionMinor, 9);
  std::vector<std::string> copies = datedCopies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(ReadFile(copies[0]), text);
  EXPECT_NE(FindByName(&root(), "d", true), nullptr);

  // Loading again the same day replaces that copy; a file without version also counts.
  const std::string second = "<DeviceTree><LocalNVR name=\"All Views\"/></DeviceTree>";
  const DocumentVersion none = loadText(second);
  EXPECT_EQ(none.versionMajor, 0);
  EXPECT_EQ(none.versionMinor, 0);
  copies = datedCopies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(ReadFile(copies[0]), second);
}

// The copy's date is the program clock's local day: each day keeps its own copy.
TEST_F(TreeFileTest, DatedCopiesFollowTheProgramClockDayByDay) {
  platform::ManualClock manual;
  platform::ScopedClock use(manual);
  std::tm noon{};
  noon.tm_year = 2031 - 1900;
  noon.tm_mon = 5;
  noon.tm_mday = 23;
  noon.tm_hour = 12;
  noon.tm_isdst = -1;
  manual.setWall(std::chrono::system_clock::from_time_t(std::mktime(&noon)));
  loadText(GroupFile("<Device name=\"d\"/>", "0.9"));
  manual.advance(std::chrono::hours(24));
  loadText(GroupFile("<Device name=\"e\"/>", "0.9"));
  std::vector<std::string> copies = datedCopies();
  std::sort(copies.begin(), copies.end());
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_TRUE(copies[0].ends_with("Velmora NVR.xml.20310623")) << copies[0];
  EXPECT_TRUE(copies[1].ends_with("Velmora NVR.xml.20310624")) << copies[1];
}

TEST_F(TreeFileTest, Version10LeavesNoCopy) {
  const DocumentVersion version = loadText(GroupFile("<Device name=\"d\"/>"));
  EXPECT_TRUE(datedCopies().empty());
  EXPECT_EQ(version.versionMajor, 1);
  EXPECT_EQ(version.versionMinor, 0);
}

// A file of another version read for another tree (a second tree with a file of its own,
// or a root of no program's tree such as a backup target's check) keeps the dated copy of
// that tree's file only: the program's own file is never copied for it.
TEST_F(TreeFileTest, AFileReadForAnotherTreeLeavesTheOwnFileAlone) {
  WriteFile(TestPaths().deviceTreePath, GroupFile("<Device name=\"own\"/>"));
  auto detached = CreateRecord(EntryKind::Root, kRootName);
  EXPECT_EQ(LoadTreeText(*detached, GroupFile("<Device name=\"d\"/>", "0.9"), "other"), 1);
  EXPECT_NE(FindByName(detached.get(), "d", true), nullptr);
  DestroyTree(detached.get());
  EXPECT_TRUE(datedCopies().empty());

  DeviceTree second;
  second.filePath = TestPaths().appDataFolder + "second.xml";
  WriteFile(second.filePath, "second");
  EXPECT_EQ(LoadTreeText(second, GroupFile("<Device name=\"e\"/>", "0.9"), "second"), 1);
  ASSERT_NE(second.root, nullptr);
  EXPECT_NE(FindByName(second.root.get(), "e", true), nullptr);
  EXPECT_EQ(TestTree().root, nullptr) << "the test program's tree was not touched";
  EXPECT_TRUE(datedCopies().empty());
  int copies = 0;
  for (const auto& entry : std::filesystem::directory_iterator(TestPaths().appDataFolder)) {
    if (entry.path().filename().string().starts_with("second.xml.")) {
      ++copies;
      EXPECT_EQ(ReadFile(entry.path().string()), "second");
    }
  }
  EXPECT_EQ(copies, 1);
  second.destroy();
}

TEST_F(TreeFileTest, ATruncatedFileLoadsWhatCameBeforeAndLogsTheLine) {
  GroupRecord& nvr = add(root(), EntryKind::LocalNVR, "All Views");
  GroupRecord& cams = add(nvr, EntryKind::Group, "Cams");
  add(cams, EntryKind::Device, "first");
  add(cams, EntryKind::Device, "second");
  std::string text = TreeFileText(root());
  text.resize(text.find("<Device name=\"second\"") + 10);
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  loadText(text);
  EXPECT_EQ(childNames(*group()), (std::vector<std::string>{"first"}));
  const std::string line = std::to_string(std::count(text.begin(), text.end(), '\n') + 1);
  EXPECT_NE(logText().find("]: " + TestPaths().deviceTreePath + " [" + line + "]: "), std::string::npos) << logText();
}

TEST_F(TreeFileTest, MissingOrEmptyFileFallsBackToTheDefaultTree) {
  const std::string missing = dir_ + "/nothing.xml";
  EXPECT_FALSE(LoadTree(TestTree(), missing));
  EXPECT_TRUE(logHas("error 2 opening device list file '" + missing + "'"));
  WriteFile(TestPaths().deviceTreePath, "");
  EXPECT_FALSE(InitTree(TestTree(), TestPaths().deviceTreePath));
  EXPECT_TRUE(logHas("empty device list file '" + TestPaths().deviceTreePath + "'"));
  EXPECT_TRUE(logHas("creating default group list"));
  ASSERT_EQ(root().children.size(), 1u);
  GroupRecord& nvr = *root().children[0];
  EXPECT_EQ(nvr.kind, EntryKind::LocalNVR);
  EXPECT_EQ(nvr.name, "All Views");
  ASSERT_EQ(nvr.children.size(), 1u);
  EXPECT_EQ(nvr.children[0]->name, "Local Network Cameras");
  EXPECT_EQ(nvr.children[0]->path, "Local Network Cameras");
  // A folder is no tree file either.
  EXPECT_FALSE(LoadTree(TestTree(), dir_));
  EXPECT_TRUE(logHas("error 21 opening device list file '" + dir_ + "'"));
}

TEST_F(TreeFileTest, UnexpectedElementsAreLoggedAndSkipped) {
  loadText("<DeviceTree version=\"1.0\"><Group name=\"stray\"/><LocalNVR name=\"All Views\">"
           "<Device name=\"x\"/><Group name=\"Cams\"><Bogus><Device name=\"hidden\"/></Bogus>"
           "<Device name=\"d\"><HWAddr>00-11</HWAddr><Index>3</Index></Device>"
           "<HTTPDevice name=\"w\"><HWAddr>y</HWAddr><Location>http://x/y.jpg</Location></HTTPDevice>"
           "<NASDevice name=\"n\"><Recording>true</Recording></NASDevice>"
           "</Group></LocalNVR></DeviceTree>");
  EXPECT_TRUE(logHas("XMLDeviceTreeChild::operator (): unexpected element type 'Group'"));
  EXPECT_TRUE(logHas("XMLLocalNVRChild::operator (): unexpected element type 'Device'"));
  EXPECT_TRUE(logHas("XMLGroupChild::operator (): unexpected element type 'Bogus'"));
  EXPECT_TRUE(logHas("XMLDeviceChild::operator (): unexpected element type 'Index'"));
  EXPECT_TRUE(logHas("XMLHTTPDeviceChild::operator (): unexpected element type 'HWAddr'"));
  EXPECT_TRUE(logHas("XMLNASDeviceChild::operator (): unexpected element type 'Recording'"));
  EXPECT_EQ(childNames(*group()), (std::vector<std::string>{"d", "w", "n"}));
  EXPECT_EQ(group()->children[0]->hwAddr, "00-11");
  EXPECT_EQ(group()->children[1]->location, "http://x/y.jpg");
  EXPECT_FALSE(group()->children[2]->recording);
}

TEST_F(TreeFileTest, NewestRecordedImageBecomesTheStill) {
  std::vector<std::string> folders;
  auto owner = std::make_shared<int>(0);
  upper_.onNewestImage = [&](const GroupRecord& r, const std::string& folder) {
    folders.push_back(folder);
    // An opaque non-null image for the devices; the model never looks inside it.
    return r.kind == EntryKind::Device ? std::shared_ptr<Image>(owner, reinterpret_cast<Image*>(owner.get()))
                                       : std::shared_ptr<Image>();
  };
  loadText(GroupFile("<Device name=\"d\"/><NASDevice name=\"n\"><Location>/mnt/x/</Location></NASDevice>"
                     "<ServerDevice name=\"s\"><CameraList><Camera name=\"c\"/></CameraList></ServerDevice>"));
  EXPECT_EQ(folders, (std::vector<std::string>{TestPaths().pathData + "Cams/d", "/mnt/x/",
                                               TestPaths().pathData + "Cams/s", TestPaths().pathData + "Cams/s/c"}));
  GroupRecord* d = FindByName(&root(), "d", true);
  EXPECT_NE(d->savedImage, nullptr);
  EXPECT_EQ(d->savedCaption, "Last image from d");
  GroupRecord* n = FindByName(&root(), "n", true);
  EXPECT_EQ(n->savedImage, nullptr);
  EXPECT_TRUE(n->savedCaption.empty());
}

// --- Saving ----------------------------------------------------------------------------

TEST_F(TreeFileTest, AFailedSaveLeavesTheExistingFileAlone) {
  add(add(root(), EntryKind::LocalNVR, "All Views"), EntryKind::Group, "Cams");
  WriteFile(TestPaths().deviceTreePath, "previous contents");
  // A folder in the way of the temporary file makes its creation fail.
  const std::string temp = TestPaths().deviceTreePath + ".tmp";
  ASSERT_TRUE(std::filesystem::create_directory(temp));
  EXPECT_FALSE(SaveTree(TestTree()));
  EXPECT_TRUE(logHas("error 21 opening device list file '" + temp + "'"));
  EXPECT_EQ(ReadFile(TestPaths().deviceTreePath), "previous contents");

  // Without a tree nothing is written over the file.
  std::filesystem::remove(temp);
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  EXPECT_FALSE(SaveTree(TestTree()));
  EXPECT_EQ(ReadFile(TestPaths().deviceTreePath), "previous contents");
}

// --- Limits and hostile files -------------------------------------------------------------

TEST_F(TreeFileTest, OneLoadInsertsAtMost1024ViewableEntries) {
  std::string body = "<ServerDevice name=\"srv\"><CameraList>";
  for (int i = 0; i < 4; ++i) body += "<Camera name=\"c" + std::to_string(i) + "\"/>";
  body += "</CameraList></ServerDevice>";
  for (int i = 0; i < 1100; ++i) body += "<Device name=\"d" + std::to_string(i) + "\"/>";
  body += "<ServerDevice name=\"late\"/>";
  loadText(GroupFile(body));
  EXPECT_EQ(CountViewable(&root()), 1024);
  EXPECT_NE(FindByName(&root(), "srv", true), nullptr);
  EXPECT_NE(FindByName(&root(), "d1019", true), nullptr);
  EXPECT_EQ(FindByName(&root(), "d1020", true), nullptr);
  EXPECT_EQ(FindByName(&root(), "late", true), nullptr);  // could hold nothing
}

TEST_F(TreeFileTest, AServerKeepsAtMostSixteenCamerasWithDistinctFolders) {
  std::string body = "<ServerDevice name=\"srv\"><CameraList>";
  for (int i = 0; i < 20; ++i) body += "<Camera name=\"in\"><Index>" + std::to_string(i) + "</Index></Camera>";
  body += "</CameraList></ServerDevice>";
  loadText(GroupFile(body));
  GroupRecord* srv = FindByName(&root(), "srv", true);
  ASSERT_EQ(srv->children.size(), 16u);
  EXPECT_EQ(srv->children[1]->name, "in (1)");
  EXPECT_EQ(srv->children[1]->path, "Cams/srv/in (1)");
  EXPECT_TRUE(logHas("XMLCameraListChild::operator (): more than 16 cameras in 'srv', the rest is dropped"));
}

TEST_F(TreeFileTest, HostileFilesLoadWhatTheyCanWithinBounds) {
  // Deep nesting: the parse stops at the bound, what came before stays.
  std::string deep = "<DeviceTree version=\"1.0\"><LocalNVR name=\"All Views\"><Group name=\"Cams\">"
                     "<Device name=\"before\"/>";
  for (int i = 0; i < 100000; ++i) deep += "<x>";
  loadText(deep);
  EXPECT_NE(FindByName(&root(), "before", true), nullptr);
  EXPECT_NE(logText().find("element nesting too deep"), std::string::npos);
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();

  // An enormous attribute is just a long name, cut to the 48 characters a name holds.
  loadText(GroupFile("<Device name=\"" + std::string(8 << 20, 'n') + "\"/><Device name=\"after\"/>"));
  EXPECT_EQ(group()->children.size(), 2u);
  EXPECT_EQ(group()->children[0]->name, std::string(48, 'n'));
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();

  // Invalid UTF-8 ends the parse; the entry before it is kept.
  loadText(GroupFile("<Device name=\"ok\"/><Device name=\"\xff\xfe\"/><Device name=\"lost\"/>"));
  EXPECT_EQ(childNames(*group()), (std::vector<std::string>{"ok"}));
  EXPECT_NE(logText().find("not well-formed"), std::string::npos);
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();

  // Entity expansion is refused outright.
  loadText("<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
           "<DeviceTree version=\"1.0\"><LocalNVR name=\"&b;\"/></DeviceTree>");
  EXPECT_TRUE(root().children.empty());
  EXPECT_NE(logText().find("entity declarations are not accepted"), std::string::npos);

  // Binary noise is a parse error, nothing more.
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 7919) & 0xFF);
  loadText(noise);
  EXPECT_TRUE(root().children.empty());
}

TEST_F(TreeFileTest, AHundredThousandDevicesStayWithinTheLimits) {
  std::string body;
  body.reserve(100000 * 24);
  for (int i = 0; i < 100000; ++i) body += "<Device name=\"d" + std::to_string(i) + "\"/>";
  for (int i = 0; i < 100000; ++i) body += "<Device name=\"same\"/>";
  loadText(GroupFile(body));
  EXPECT_EQ(CountViewable(&root()), 1024);
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();

  // The same for one name repeated: numbered up to the thousandth, then dropped quickly.
  body.clear();
  for (int i = 0; i < 100000; ++i) body += "<Device name=\"same\"/>";
  loadText(GroupFile(body));
  EXPECT_EQ(group()->children.size(), 1000u);

  // New groups are bounded too.
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  std::string groups = "<DeviceTree version=\"1.0\"><LocalNVR name=\"All Views\">";
  for (int i = 0; i < 5000; ++i) groups += "<Group name=\"g" + std::to_string(i) + "\"/>";
  loadText(groups + "</LocalNVR></DeviceTree>");
  EXPECT_EQ(root().children[0]->children.size(), 1023u);
}

}  // namespace
}  // namespace velmora::test
