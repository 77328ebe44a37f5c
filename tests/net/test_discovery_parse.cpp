// Discovery without any network: packets, probe texts, answer parsers, the ARP cache
// reader and the devices added to the tree.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "app/log.h"
#include "app/messages.h"
#include "app/paths.h"
#include "app/helpers.h"
#include "app/program_signals.h"
#include "model/group_record.h"
#include "model/tree_file.h"
#include "net/discovery.h"
#include "net/discovery_parse.h"
#include "net_fixture.h"
#include "upper_layer_calls.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora::net {
namespace {

uint32_t Ip(const char* text) { return inet_addr(text); }

TEST(DiscoveryPackets, ChecksumAndEchoRequest) {
  // The RFC 1071 example words 0001 f203 f4f5 f6f7 sum to ddf2; the checksum is its complement.
  const uint8_t words[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  const uint16_t checksum = InternetChecksum(words, sizeof words);
  EXPECT_EQ(ntohs(checksum), 0x220d);
  // An odd length pads with zero.
  const uint8_t odd[] = {0x01};
  EXPECT_EQ(ntohs(InternetChecksum(odd, 1)), 0xfeff);

  const auto echo = EchoRequest(0x1234, 1);
  EXPECT_EQ(echo[0], 8);
  EXPECT_EQ(echo[1], 0);
  EXPECT_EQ(InternetChecksum(echo.data(), echo.size()), 0);  // a filled-in checksum sums to zero
  uint16_t id = 0, seq = 0;
  std::memcpy(&id, &echo[4], 2);
  std::memcpy(&seq, &echo[6], 2);
  EXPECT_EQ(id, 0x1234);  // host byte order, as written
  EXPECT_EQ(seq, 1);
}

TEST(DiscoveryPackets, IcmpRepliesWithAndWithoutIpHeader) {
  const auto echo = EchoRequest(77, 0);
  std::vector<uint8_t> raw(24, 0);
  raw[0] = 0x46;  // IPv4 with a 24-byte header (one option word)
  raw.insert(raw.end(), echo.begin(), echo.end());
  raw[24] = 0;  // echo reply
  auto parsed = ParseIcmp(raw.data(), raw.size(), true);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->type, 0);
  EXPECT_EQ(parsed->identifier, 77);
  EXPECT_FALSE(ParseIcmp(raw.data(), 30, true));  // ICMP cut short
  raw[0] = 0x42;                                    // header length below 20
  EXPECT_FALSE(ParseIcmp(raw.data(), raw.size(), true));
  EXPECT_EQ(ParseIcmp(echo.data(), echo.size(), false)->type, 8);
  EXPECT_FALSE(ParseIcmp(echo.data(), 7, false));
}

TEST(DiscoveryPackets, BroadcastAddressRule) {
  const uint32_t address = Ip("192.168.5.20");
  const uint32_t mask = Ip("255.255.255.0");
  EXPECT_EQ(BroadcastAddress(address, mask, Ip("192.168.5.255")), Ip("192.168.5.255"));
  EXPECT_EQ(BroadcastAddress(address, mask, 1), Ip("192.168.5.255"));
  EXPECT_EQ(BroadcastAddress(address, mask, 0), Ip("192.168.5.0"));
  EXPECT_EQ(BroadcastAddress(Ip("10.1.2.3"), Ip("255.0.0.0"), 1), Ip("10.255.255.255"));
}

TEST(DiscoveryPackets, ProbeTexts) {
  EXPECT_EQ(UdpProbeText(), "DISCOVER * VL-PROBE/1.0\r\nUser-Agent: Velmora_NVR/" + VersionString() + "\r\n\r\n");
  const std::string& probe = OnvifProbeText();
  EXPECT_NE(probe.find("<a:MessageID>uuid:dbfdf767-a759-4ea6-bd74-7a8931a782b0</a:MessageID>"), std::string::npos);
  EXPECT_NE(probe.find("<d:Types>dn:NetworkVideoTransmitter</d:Types>"), std::string::npos);
  // The text sent is the template in the resource folder, unchanged.
  const std::string source = test::ReadFile(std::string(VELMORA_SOURCE_DIR) + "/res/onvif_probe.xml.inc");
  const std::string open = "R\"onvif(";
  ASSERT_EQ(source.rfind(open, 0), 0u);
  EXPECT_EQ(source.substr(open.size(), source.rfind(")onvif\"") - open.size()), probe);
}

std::string OnvifAnswerText(const std::string& types, const std::string& scopes, const std::string& xaddrs) {
  return "<?xml version=\"1.0\"?><s:Envelope><s:Body><d:ProbeMatches><d:ProbeMatch>"
         "<d:Types>" + types + "</d:Types><d:Scopes>" + scopes + "</d:Scopes><d:XAddrs>" + xaddrs +
         "</d:XAddrs></d:ProbeMatch></d:ProbeMatches></s:Body></s:Envelope>";
}

TEST(DiscoveryOnvif, AnswerRules) {
  const std::string scopes = "onvif://www.onvif.org/type/video_encoder onvif://www.onvif.org/name/Quorix_Dome";
  OnvifAnswer a = ParseOnvifAnswer(OnvifAnswerText("dn:NetworkVideoTransmitter", scopes, "http://10.0.0.7/onvif/device_service"));
  EXPECT_EQ(a.result, OnvifAnswer::Result::kDevice);
  EXPECT_EQ(a.name, "Quorix_Dome");
  EXPECT_EQ(a.address, "10.0.0.7");

  // A port in the address still gives the bare host.
  a = ParseOnvifAnswer(OnvifAnswerText("dn:NetworkVideoTransmitter", scopes, "http://10.0.0.8:8080/onvif/device_service"));
  EXPECT_EQ(a.address, "10.0.0.8");
  a = ParseOnvifAnswer(OnvifAnswerText("dn:NetworkVideoTransmitter", "onvif://www.onvif.org/name/Velmora-Box", "http://cam.local:80/x"));
  EXPECT_EQ(a.result, OnvifAnswer::Result::kDevice);
  EXPECT_EQ(a.address, "cam.local");

  // The types element's name is matched without regard to case, its content exactly.
  const std::string upper = "<D:TYPES>dn:NetworkVideoTransmitter</D:TYPES><d:Scopes>" + scopes +
                            "</d:Scopes><d:XAddrs>http://1.2.3.4/</d:XAddrs>";
  EXPECT_EQ(ParseOnvifAnswer(upper).result, OnvifAnswer::Result::kDevice);
  EXPECT_EQ(ParseOnvifAnswer(OnvifAnswerText("dn:NetworkVideoTransmitter tds:Device", scopes, "http://1.2.3.4/")).result,
            OnvifAnswer::Result::kNotUsable);
  EXPECT_EQ(ParseOnvifAnswer(OnvifAnswerText("dn:NetworkVideoTransmitter", scopes, "https://1.2.3.4/")).result,
            OnvifAnswer::Result::kNotUsable);

  a = ParseOnvifAnswer(OnvifAnswerText("dn:NetworkVideoTransmitter", "onvif://www.onvif.org/name/OtherCam", "http://1.2.3.4/"));
  EXPECT_EQ(a.result, OnvifAnswer::Result::kOtherMaker);
  EXPECT_EQ(a.name, "OtherCam");
  // The name check is case-sensitive, as written.
  EXPECT_EQ(ParseOnvifAnswer(OnvifAnswerText("dn:NetworkVideoTransmitter", "onvif://www.onvif.org/name/quorix", "http://1.2.3.4/")).result,
            OnvifAnswer::Result::kOtherMaker);
  // A name scope prefix with no name after it reads as "Unknown", which is no product of ours.
  a = ParseOnvifAnswer(OnvifAnswerText("dn:NetworkVideoTransmitter", "onvif://www.onvif.org/name/ x", "http://1.2.3.4/"));
  EXPECT_EQ(a.result, OnvifAnswer::Result::kOtherMaker);
  EXPECT_EQ(a.name, "Unknown");
  // An http address without a path after its host gives no address.
  EXPECT_EQ(ParseOnvifAnswer(OnvifAnswerText("dn:NetworkVideoTransmitter", scopes, "http://1.2.3.4")).result,
            OnvifAnswer::Result::kNoAddress);
}

// The host of an answer becomes a device's location and, behind "ONVIF-", its name and
// recordings folder: only plain host texts are taken.
TEST(DiscoveryOnvif, OnlyPlainHostsAreTakenFromAnAnswer) {
  for (const std::string& host : std::vector<std::string>{"10.0.0.7", "cam-1.local", "CAM_2", std::string(63, 'a') + ".b",
                                 std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                     std::string(63, 'c') + "." + std::string(61, 'd')}) {
    EXPECT_TRUE(IsHostText(host)) << host;
  }
  for (const std::string& host : std::vector<std::string>{"", ".", "a..b", ".a", "a.", "a b", "a\tb", "a\x01" "b", "<&>\"",
                                 "caf\xc3\xa9", "\xff\xfe", "a%2fb", "[::1]", std::string(64, 'a'),
                                 std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                     std::string(63, 'c') + "." + std::string(62, 'd')}) {
    EXPECT_FALSE(IsHostText(host)) << host;
  }

  const std::string scopes = "onvif://www.onvif.org/name/Quorix";
  for (const std::string& crafted : std::vector<std::string>{"http://10.0.0.1\x01\x02/", "http://<&>\"/", "http://a b/",
                                    "http://\xff\xfe.local/", "http://new\nline/",
                                    "http://" + std::string(300, 'h') + "/"}) {
    const OnvifAnswer answer =
        ParseOnvifAnswer(OnvifAnswerText("dn:NetworkVideoTransmitter", scopes, crafted + "onvif"));
    // (A line feed already keeps the address list from matching at all.)
    EXPECT_EQ(answer.result, crafted.find('\n') == std::string::npos ? OnvifAnswer::Result::kNoAddress
                                                                      : OnvifAnswer::Result::kNotUsable)
        << crafted;
    EXPECT_TRUE(answer.address.empty());
  }
}

TEST(DiscoveryOnvif, TextEndsAtNulAndAtOneDatagram) {
  const std::string scopes = "onvif://www.onvif.org/name/Quorix";
  std::string text = OnvifAnswerText("dn:NetworkVideoTransmitter", scopes, "http://1.2.3.4/");
  std::string cut = text;
  cut.insert(20, 1, '\0');
  EXPECT_EQ(ParseOnvifAnswer(cut).result, OnvifAnswer::Result::kNotUsable);
  std::string padded = std::string(kOnvifAnswerBytes, ' ') + text;
  EXPECT_EQ(ParseOnvifAnswer(padded).result, OnvifAnswer::Result::kNotUsable);
  std::string big(kOnvifAnswerBytes - text.size(), ' ');
  EXPECT_EQ(ParseOnvifAnswer(big + text).result, OnvifAnswer::Result::kDevice);
}

TEST(DiscoveryArp, ParsesSortsAndFiltersTheCache) {
  const std::string text =
      "IP address       HW type     Flags       HW address            Mask     Device\n"
      "10.0.0.20        0x1         0x2         02:5a:3c:40:00:09     *        eth0\n"
      "10.0.0.3         0x1         0x2         02:5A:3C:00:11:22     *        eth0\n"
      "10.0.0.4         0x1         0x0         00:00:00:00:00:00     *        eth0\n"
      "10.0.0.5         0x1         0x2         00:1b:21:aa:bb:cc     *        eth1\n"
      "garbage line\n"
      "10.0.0.9         0x1         0x2         02:5a:3c:01:02        *        eth0\n"
      "10.0.0.1         0x1         0x2         zz:5a:3c:01:02:03     *        eth0\n";
  const std::vector<ArpEntry> entries = ParseArpTable(text);
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(AddressText(entries[0].address), "10.0.0.1");
  EXPECT_EQ(AddressText(entries[1].address), "10.0.0.3");
  EXPECT_EQ(AddressText(entries[5].address), "10.0.0.20");  // numeric, not text order
  EXPECT_TRUE(entries[0].hwAddress.empty());
  EXPECT_EQ(entries[2].flags, 0u);
  EXPECT_EQ(entries[1].device, "eth0");

  std::vector<std::string> vendor;
  for (const ArpEntry& e : entries) {
    if (IsVendorHwAddress(e.hwAddress)) vendor.push_back(HwAddressText(e.hwAddress));
  }
  EXPECT_EQ(vendor, (std::vector<std::string>{"025A3C-001122", "025A3C-400009"}));
  EXPECT_TRUE(ParseArpTable("").empty());
  EXPECT_TRUE(ParseArpTable("IP address HW type Flags HW address Mask Device\n").empty());
}

TEST(DiscoveryModels, CodesAndKinds) {
  EXPECT_EQ(ModelCode("025A3C-400009"), 0x40);
  EXPECT_EQ(ModelCode("025a3c-3f0000"), 0x3f);
  EXPECT_EQ(ModelCode("ONVIF-10.0.0.7"), 255);
  EXPECT_EQ(ModelCode("025A3C400009"), 255);
  EXPECT_EQ(ModelCode("025A3C-"), 255);
  EXPECT_EQ(ModelCode(""), 255);
  EXPECT_EQ(ModelFromCode(0x30).kind, EntryKind::HTTPDevice);
  EXPECT_EQ(ModelFromCode(0x31).kind, EntryKind::HTTPDevice);
  const int inputs[] = {1, 2, 4, 6, 8, 12};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(ModelFromCode(0x40 + i).kind, EntryKind::ServerDevice);
    EXPECT_EQ(ModelFromCode(0x40 + i).inputs, inputs[i]);
  }
  EXPECT_EQ(ModelFromCode(0x46).kind, EntryKind::Device);
  EXPECT_EQ(ModelFromCode(255).kind, EntryKind::Device);
}

// The main thread's side: a tree in memory, the ARP cache from a file.
class DiscoveryTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    while (mainQueue().take()) {
    }
    TestTree().root = CreateRecord(EntryKind::Root, kRootName);
    nvr = test::AddNode(*TestTree().root, EntryKind::LocalNVR, "All Views");
    TestPaths().deviceTreePath = dir.file("Velmora NVR.xml");
    TestTree().filePath = TestPaths().deviceTreePath;
    SetLogPath(dir.file("test.log"));
    discovery.arpPath = dir.file("arp");
    upper.onSelectEntry = [this](GroupRecord& r) { selected.push_back(r.name); };
    ASSERT_TRUE(upper.install<DiscoverySelection>());
  }
  void TearDown() override {
    upper.uninstall();
    SetLogPath(std::string());
    TestTree().root.reset();
    TestPaths().deviceTreePath.clear();
    while (mainQueue().take()) {
    }
  }
  void writeArp(const std::vector<std::pair<std::string, std::string>>& rows) {
    std::string text = "IP address       HW type     Flags       HW address            Mask     Device\n";
    for (const auto& [ip, mac] : rows) text += ip + "   0x1   0x2   " + mac + "   *   eth0\n";
    test::WriteFile(dir.file("arp"), text);
  }
  std::vector<std::string> statuses() {
    std::vector<std::string> texts;
    while (std::optional<AppMessage> m = mainQueue().take()) {
      if (auto* s = std::get_if<MsgStatusText>(&*m)) texts.push_back(s->text.value_or(""));
    }
    return texts;
  }
  GroupRecord* scanGroup() { return FindByName(TestTree().root.get(), kScanGroupName, false); }

  test::TempDir dir;
  DiscoveryConfig discovery;  // the scans' configuration: the test's ARP cache
  std::shared_ptr<GroupRecord> nvr;
  std::vector<std::string> selected;
  test::UpperLayerCalls upper;
};

TEST_F(DiscoveryTreeTest, HarvestAddsOnlyVendorDevicesWithTheirModelDefaults) {
  writeArp({{"10.0.0.5", "00:1b:21:aa:bb:cc"},
            {"10.0.0.3", "02:5a:3c:00:11:22"},
            {"10.0.0.4", "02:5a:3c:30:00:01"},
            {"10.0.0.6", "02:5a:3c:42:00:02"}});
  EXPECT_EQ(discovery_harvest(TestTree(), nullptr, discovery.arpPath), 3);
  EXPECT_EQ(statuses(), std::vector<std::string>{"Added 3 devices."});
  GroupRecord* group = scanGroup();
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->kind, EntryKind::Group);
  EXPECT_EQ(group->parent, nvr.get());
  EXPECT_EQ(group->path, "Local Network Cameras");
  ASSERT_EQ(group->children.size(), 3u);

  const GroupRecord& camera = *group->children[0];  // sorted by address: .3, .4, .6
  EXPECT_EQ(camera.name, "025A3C-001122");
  EXPECT_EQ(camera.hwAddr, "025A3C-001122");
  EXPECT_EQ(camera.kind, EntryKind::Device);
  EXPECT_EQ(camera.location, "10.0.0.3");
  EXPECT_EQ(camera.path, "Local Network Cameras/025A3C-001122");
  EXPECT_EQ(camera.username, "admin");
  EXPECT_EQ(camera.password, "pelko");
  EXPECT_TRUE(camera.sendPasswordOnlyWhenAsked) << "a device found on the network gets its password only when it asks";
  EXPECT_TRUE(camera.enabled);
  EXPECT_TRUE(camera.recording);
  EXPECT_EQ(camera.updateDelay, 125u);
  EXPECT_EQ(camera.archiveTime, 604800);
  EXPECT_EQ(camera.uuid.size(), 36u);
  EXPECT_TRUE(camera.motionEnabled);
  EXPECT_FALSE(camera.scheduleEnabled);

  const GroupRecord& web = *group->children[1];
  EXPECT_EQ(web.kind, EntryKind::HTTPDevice);
  EXPECT_EQ(web.location, "http://10.0.0.4/quorix.jpg");
  EXPECT_EQ(web.updateDelay, 30000u);
  EXPECT_TRUE(web.recording);

  const GroupRecord& server = *group->children[2];
  EXPECT_EQ(server.kind, EntryKind::ServerDevice);
  EXPECT_FALSE(server.recording);
  ASSERT_EQ(server.children.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    const GroupRecord& input = *server.children[static_cast<std::size_t>(i)];
    EXPECT_EQ(input.kind, EntryKind::ServerCamera);
    EXPECT_EQ(input.name, "Camera " + std::to_string(i + 1));
    EXPECT_EQ(input.cameraIndex, i);
    EXPECT_EQ(input.location, "10.0.0.6");
    EXPECT_EQ(input.path, "Local Network Cameras/025A3C-420002/Camera " + std::to_string(i + 1));
    EXPECT_TRUE(input.recording);
    EXPECT_TRUE(input.sendPasswordOnlyWhenAsked);
  }
  EXPECT_EQ(selected.size(), 3u);

  // The tree was saved with the new devices.
  const std::string saved = test::ReadFile(TestPaths().deviceTreePath);
  EXPECT_NE(saved.find("025A3C-420002"), std::string::npos);
  const std::string log = test::ReadFile(dir.file("test.log"));
  EXPECT_NE(log.find("4 entries in ARP cache"), std::string::npos);
  EXPECT_NE(log.find("Adding '025A3C-001122' to group 'Local Network Cameras'"), std::string::npos);

  // A second harvest of the same cache adds nothing.
  EXPECT_EQ(discovery_harvest(TestTree(), nullptr, discovery.arpPath), 0);
  EXPECT_EQ(statuses(), std::vector<std::string>{"No devices found."});
  EXPECT_EQ(group->children.size(), 3u);
}

TEST_F(DiscoveryTreeTest, OneDeviceTextAndAnExistingGroupAndAMissingCache) {
  auto existing = test::AddNode(*nvr, EntryKind::Group, "local network cameras");
  writeArp({{"10.0.0.3", "02:5a:3c:00:11:22"}});
  EXPECT_EQ(discovery_harvest(TestTree(), nullptr, discovery.arpPath), 1);
  EXPECT_EQ(statuses(), std::vector<std::string>{"Added 1 device."});
  EXPECT_EQ(existing->children.size(), 1u);
  EXPECT_EQ(nvr->children.size(), 1u);

  discovery.arpPath = dir.file("no-such-file");
  EXPECT_EQ(discovery_harvest(TestTree(), nullptr, discovery.arpPath), 0);
  EXPECT_EQ(statuses(), std::vector<std::string>{"No devices found."});
}

TEST_F(DiscoveryTreeTest, OnvifDevicesAreCamerasAndAreSavedAtOnce) {
  AppMessage message = MsgOnvifDevice{"10.0.0.7", "ONVIF-10.0.0.7"};
  EXPECT_TRUE(HandleNetMessage(message, TestTree(), nullptr, discovery));
  GroupRecord* group = scanGroup();
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(group->children.size(), 1u);
  EXPECT_EQ(group->children[0]->kind, EntryKind::Device);
  EXPECT_EQ(group->children[0]->name, "ONVIF-10.0.0.7");
  EXPECT_EQ(group->children[0]->location, "10.0.0.7");
  EXPECT_NE(test::ReadFile(TestPaths().deviceTreePath).find("ONVIF-10.0.0.7"), std::string::npos);
  // The same device again is not added.
  EXPECT_FALSE(discovery_add_device(TestTree(), "10.0.0.7", "ONVIF-10.0.0.7"));
  EXPECT_EQ(group->children.size(), 1u);

  AppMessage status = MsgStatusText{std::string("x")};
  EXPECT_FALSE(HandleNetMessage(status, TestTree(), nullptr, discovery));
}

TEST_F(DiscoveryTreeTest, CraftedAddressesAreRefusedAndNamesSurviveTheTreeFile) {
  // Texts that reach the main thread only through a broken or hostile sender.
  EXPECT_FALSE(discovery_add_device(TestTree(), "10.0.0.1\x01<&>\"\xff", "ONVIF-10.0.0.1\x01<&>\"\xff"));
  EXPECT_FALSE(discovery_add_device(TestTree(), "10.0.0.2", "ONVIF-10.0.0.2\n"));
  EXPECT_FALSE(discovery_add_device(TestTree(), "", ""));
  EXPECT_EQ(scanGroup(), nullptr);
  EXPECT_NE(test::ReadFile(dir.file("test.log"))
                .find("discovery_add_device: ignoring device with address '10.0.0.1?<&>\"?'"),
            std::string::npos);

  // A name already taken in the group, by an entry added by hand, is numbered now, as
  // the tree file would number it at the next start; a long host name is cut to fit.
  auto group = test::AddNode(*nvr, EntryKind::Group, kScanGroupName);
  test::AddNode(*group, EntryKind::Device, "onvif-10.0.0.7")->uuid = NewUuidText();
  const std::string longHost = std::string(60, 'h') + ".local";
  AppMessage first = MsgOnvifDevice{"10.0.0.7", "ONVIF-10.0.0.7"};
  AppMessage second = MsgOnvifDevice{longHost, "ONVIF-" + longHost};
  EXPECT_TRUE(HandleNetMessage(first, TestTree(), nullptr, discovery));
  EXPECT_TRUE(HandleNetMessage(second, TestTree(), nullptr, discovery));
  ASSERT_EQ(group->children.size(), 3u);
  EXPECT_EQ(group->children[1]->name, "ONVIF-10.0.0.7 (1)");
  EXPECT_EQ(group->children[1]->hwAddr, "ONVIF-10.0.0.7");
  EXPECT_EQ(group->children[2]->name, "ONVIF-" + std::string(42, 'h'));
  EXPECT_EQ(group->children[2]->location, longHost);

  // The saved tree reads back with every device, each under its own name and folder.
  std::vector<std::string> folders;
  for (const auto& child : group->children) folders.push_back(child->path);
  const std::string saved = test::ReadFile(TestPaths().deviceTreePath);
  DestroyTree(TestTree().root.get());
  TestTree().root = CreateRecord(EntryKind::Root, kRootName);
  ASSERT_TRUE(LoadTree(TestTree(), TestPaths().deviceTreePath));
  GroupRecord* loaded = scanGroup();
  ASSERT_NE(loaded, nullptr);
  std::vector<std::string> loadedFolders;
  for (const auto& child : loaded->children) loadedFolders.push_back(child->path);
  EXPECT_EQ(loadedFolders, folders);
  EXPECT_EQ(TreeFileText(*TestTree().root), saved);
  // The same device found again is still known by its hardware text.
  EXPECT_FALSE(discovery_add_device(TestTree(), longHost, "ONVIF-" + longHost));
}

TEST_F(DiscoveryTreeTest, AFullTreeTakesNoMoreDevices) {
  auto group = test::AddNode(*nvr, EntryKind::Group, "Many");
  for (int i = 0; i < kMaxViewableEntries - 2; ++i) test::AddNode(*group, EntryKind::Device, "d" + std::to_string(i));
  // A 12-input server found with two places left gets only two inputs.
  EXPECT_TRUE(discovery_add_device(TestTree(), "10.0.0.9", "025A3C-450001"));
  EXPECT_EQ(CountViewable(TestTree().root.get()), kMaxViewableEntries);
  EXPECT_EQ(scanGroup()->children[0]->children.size(), 2u);
  writeArp({{"10.0.0.3", "02:5a:3c:00:11:22"}});
  EXPECT_EQ(discovery_harvest(TestTree(), nullptr, discovery.arpPath), 0);
  EXPECT_FALSE(discovery_add_device(TestTree(), "10.0.0.7", "ONVIF-10.0.0.7"));
  EXPECT_EQ(scanGroup()->children.size(), 1u);
}

TEST_F(DiscoveryTreeTest, NoTopEntryMeansNothingIsAdded) {
  TestTree().root = CreateRecord(EntryKind::Root, kRootName);
  EXPECT_FALSE(discovery_add_device(TestTree(), "10.0.0.7", "ONVIF-10.0.0.7"));
  TestTree().root.reset();
  EXPECT_FALSE(discovery_add_device(TestTree(), "10.0.0.7", "ONVIF-10.0.0.7"));
}

TEST(DiscoveryThread, EndsWhenStoppedWithoutScanning) {
  // No scan is asked for, and a scan that started anyway would find no interface to
  // send on: this runs in the test's own network.
  programSignals().networkScan.reset();
  DiscoveryConfig config;
  config.interfaces = [] { return std::optional<std::vector<InterfaceAddress>>(std::vector<InterfaceAddress>{}); };
  StartDiscoveryThread(config);
  StartDiscoveryThread(config);  // running already: no second thread
  StopDiscoveryThread();
  StopDiscoveryThread();
}

}  // namespace
}  // namespace velmora::net
