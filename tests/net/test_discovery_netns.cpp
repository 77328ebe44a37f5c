// Whole scans on a small network of namespaces. Nothing here runs in the machine's own
// network: the scanning side runs on threads moved into a namespace of its own, the
// cameras are namespaces behind two bridges, and every namespace (with its veths and
// bridges) is removed when the suite ends, also after a failure.
//
//   scanner: br1 10.71.1.1/24 (broadcast set)     br2 10.71.2.1/24 (no broadcast set)
//            |- cam1 10.71.1.11 02:5a:3c:00:00:11  |- cam3 10.71.2.13 02:5a:3c:41:00:13
//            |  answers the UDP probe              |  answers the ICMP broadcast (kernel)
//            |- cam2 10.71.1.12 00:16:3e:00:00:12  |- cam4 10.71.2.14 00:16:3e:00:00:14
//               answers the UDP probe, and ONVIF      answers ONVIF as "Quorix_Dome",
//               as "OtherBrand"                       address with a port
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "app/log.h"
#include "app/messages.h"
#include "app/paths.h"
#include "app/program_signals.h"
#include "model/group_record.h"
#include "net/discovery.h"
#include "net/discovery_parse.h"
#include "net_fixture.h"
#include "netns.h"
#include "process.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora::net {
namespace {

using namespace std::chrono_literals;

// A UDP answerer on a thread inside a camera namespace. It ends when destroyed, and in
// any case after a minute.
class Responder {
 public:
  enum class Kind { kProbe, kOnvif };
  Responder(std::string nsPath, Kind kind, std::string ownAddress, std::string answer)
      : kind_(kind), ownAddress_(std::move(ownAddress)), answer_(std::move(answer)) {
    thread_ = std::thread([this, nsPath] { run(nsPath); });
    test::WaitFor([this] { return ready_.load() || failed_.load(); }, 5000ms);
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
  }
  bool ready() const { return ready_.load(); }
  int received() const { return received_.load(); }
  std::vector<std::string> senders() const {
    std::lock_guard<std::mutex> guard(lock_);
    return senders_;
  }
  std::string lastText() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lastText_;
  }

 private:
  void run(const std::string& nsPath) {
    if (!test::EnterNamespace(nsPath)) {
      failed_ = true;
      return;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kind_ == Kind::kProbe ? kProbePort : kOnvifPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    if (ok && kind_ == Kind::kOnvif) {
      ip_mreq join{};
      join.imr_multiaddr.s_addr = inet_addr(kOnvifGroup);
      join.imr_interface.s_addr = inet_addr(ownAddress_.c_str());
      ok = ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0;
    }
    if (!ok) {
      ::close(fd);
      failed_ = true;
      return;
    }
    ready_ = true;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buffer[8192];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) continue;
      {
        std::lock_guard<std::mutex> guard(lock_);
        senders_.push_back(AddressText(from.sin_addr.s_addr) + ":" + std::to_string(ntohs(from.sin_port)));
        lastText_.assign(buffer, static_cast<std::size_t>(n));
      }
      ++received_;
      ::sendto(fd, answer_.data(), answer_.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
    ::close(fd);
  }

  Kind kind_;
  std::string ownAddress_;
  std::string answer_;
  std::thread thread_;
  std::atomic<bool> stop_{false}, ready_{false}, failed_{false};
  std::atomic<int> received_{0};
  mutable std::mutex lock_;
  std::vector<std::string> senders_;  // guarded by lock_
  std::string lastText_;              // guarded by lock_
};

std::string OnvifMatch(const std::string& name, const std::string& xaddr) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<s:Envelope><s:Body><d:ProbeMatches><d:ProbeMatch>"
         "<d:Types>dn:NetworkVideoTransmitter</d:Types>"
         "<d:Scopes>onvif://www.onvif.org/type/video_encoder onvif://www.onvif.org/name/" + name + "</d:Scopes>"
         "<d:XAddrs>" + xaddr + "</d:XAddrs>"
         "</d:ProbeMatch></d:ProbeMatches></s:Body></s:Envelope>";
}

struct Camera {
  const char* ns;
  const char* link;
  const char* peer;
  const char* bridge;
  const char* address;
  const char* mac;
};
constexpr Camera kCameras[] = {
    {"cam1", "c1", "p1", "br1", "10.71.1.11", "02:5a:3c:00:00:11"},
    {"cam2", "c2", "p2", "br1", "10.71.1.12", "00:16:3e:00:00:12"},
    {"cam3", "c3", "p3", "br2", "10.71.2.13", "02:5a:3c:41:00:13"},
    {"cam4", "c4", "p4", "br2", "10.71.2.14", "00:16:3e:00:00:14"},
};

// The namespaces, links and responders, made once for the suite.
struct Network {
  std::string prefix = "vnvr-" + std::to_string(::getpid()) + "-";
  std::unique_ptr<test::NetNamespace> scanner;
  std::vector<std::unique_ptr<test::NetNamespace>> cameras;
  std::vector<std::unique_ptr<Responder>> responders;
  Responder* probe1 = nullptr;
  Responder* probe2 = nullptr;
  Responder* onvifOther = nullptr;
  Responder* onvifOurs = nullptr;
  std::string error;

  bool build() {
    test::RemoveStaleNamespaces("vnvr-");
    scanner = std::make_unique<test::NetNamespace>(prefix + "scan");
    if (!scanner->ok()) return fail("cannot create the scanner namespace");
    const std::string s = "ip -n " + scanner->name() + " ";
    for (const char* bridge : {"br1", "br2"}) {
      if (!test::Shell(s + "link add " + bridge + " type bridge mcast_snooping 0"))
        return fail("cannot create a bridge (no bridge support in the kernel?)");
    }
    if (!test::Shell(s + "addr add 10.71.1.1/24 brd + dev br1") || !test::Shell(s + "addr add 10.71.2.1/24 dev br2") ||
        !test::Shell(s + "link set br1 up") || !test::Shell(s + "link set br2 up"))
      return fail("cannot configure the bridges");
    for (const Camera& camera : kCameras) {
      cameras.push_back(std::make_unique<test::NetNamespace>(prefix + camera.ns));
      const test::NetNamespace& ns = *cameras.back();
      if (!ns.ok()) return fail("cannot create a camera namespace");
      const std::string c = "ip -n " + ns.name() + " ";
      if (!test::Shell(s + "link add " + camera.link + " address " + camera.mac + " type veth peer name " + camera.peer) ||
          !test::Shell(s + "link set " + camera.link + " netns " + ns.name()) ||
          !test::Shell(s + "link set " + camera.peer + " master " + camera.bridge + " up") ||
          !test::Shell(c + "addr add " + camera.address + "/24 dev " + camera.link) ||
          !test::Shell(c + "link set " + camera.link + " up"))
        return fail(std::string("cannot link camera ") + camera.ns);
    }
    // Only the third camera answers echo requests sent to a broadcast address.
    if (!cameras[2]->exec("sysctl -w net.ipv4.icmp_echo_ignore_broadcasts=0"))
      return fail("cannot change icmp_echo_ignore_broadcasts");
    // The ping socket is open to every group in the scanner (for the fallback test).
    scanner->exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'");

    const std::string probeAnswer = "VL-PROBE/1.0 200 OK\r\nServer: cam\r\n\r\n";
    responders.push_back(std::make_unique<Responder>(cameras[0]->path(), Responder::Kind::kProbe, "10.71.1.11", probeAnswer));
    probe1 = responders.back().get();
    responders.push_back(std::make_unique<Responder>(cameras[1]->path(), Responder::Kind::kProbe, "10.71.1.12", probeAnswer));
    probe2 = responders.back().get();
    responders.push_back(std::make_unique<Responder>(cameras[1]->path(), Responder::Kind::kOnvif, "10.71.1.12",
                                                     OnvifMatch("OtherBrand", "http://10.71.1.12/onvif/device_service")));
    onvifOther = responders.back().get();
    responders.push_back(std::make_unique<Responder>(cameras[3]->path(), Responder::Kind::kOnvif, "10.71.2.14",
                                                     OnvifMatch("Quorix_Dome", "http://10.71.2.14:8080/onvif/device_service")));
    onvifOurs = responders.back().get();
    for (const auto& responder : responders) {
      if (!responder->ready()) return fail("a responder could not start in its namespace");
    }
    return true;
  }
  bool fail(const std::string& why) {
    error = why;
    return false;
  }
};

class DiscoveryNetworkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unavailable_ = test::NamespaceUnavailableReason();
    if (!unavailable_.empty()) return;
    network_ = new Network();
    if (!network_->build()) unavailable_ = "namespace network not available: " + network_->error;
  }
  static void TearDownTestSuite() {
    delete network_;  // responders end, then every namespace is removed
    network_ = nullptr;
  }

  void SetUp() override {
    if (!unavailable_.empty()) GTEST_SKIP() << unavailable_;
    SetLogPath(dir.file("scan.log"));
    TestPaths().deviceTreePath = dir.file("Velmora NVR.xml");
    TestTree().filePath = TestPaths().deviceTreePath;
    config_ = DiscoveryConfig();
    config_.arpPath = "/proc/thread-self/net/arp";
    config_.answerTimeoutSeconds = 1;
    while (mainQueue().take()) {
    }
  }
  void TearDown() override {
    SetLogPath(std::string());
    TestPaths().deviceTreePath.clear();
    while (mainQueue().take()) {
    }
  }

  // Runs body on a thread inside the scanner namespace with a fresh tree; fails the
  // test (and scans nothing) when the thread cannot enter it.
  void inScanner(const std::function<void()>& body) {
    const bool entered = test::RunInNamespace(network_->scanner->path(), [&] {
      if (!TestTree().root) {
        TestTree().root = CreateRecord(EntryKind::Root, kRootName);
        test::AddNode(*TestTree().root, EntryKind::LocalNVR, "All Views");
      }
      body();
    });
    ASSERT_TRUE(entered) << "could not enter the scanner namespace";
  }

  // The main thread's part: every queued message, then (unless the queue held the end
  // of the scan) the harvest. Returns the status texts.
  std::vector<std::string> handleMessages(bool harvest) {
    std::vector<std::string> statuses;
    std::vector<AppMessage> later;
    while (std::optional<AppMessage> message = mainQueue().take()) {
      if (auto* status = std::get_if<MsgStatusText>(&*message)) {
        statuses.push_back(status->text.value_or(""));
      } else if (std::holds_alternative<MsgNetworkScanEnded>(*message)) {
        later.push_back(std::move(*message));
      } else {
        HandleNetMessage(*message, TestTree(), nullptr, config_);
      }
    }
    for (AppMessage& message : later) HandleNetMessage(message, TestTree(), nullptr, config_);
    if (harvest) discovery_harvest(TestTree(), nullptr, config_.arpPath);
    while (std::optional<AppMessage> message = mainQueue().take()) {
      if (auto* status = std::get_if<MsgStatusText>(&*message)) statuses.push_back(status->text.value_or(""));
    }
    return statuses;
  }

  GroupRecord* scanGroup() { return FindByName(TestTree().root.get(), kScanGroupName, false); }
  std::vector<std::string> groupNames() {
    std::vector<std::string> names;
    if (GroupRecord* group = scanGroup()) {
      for (const auto& child : group->children) names.push_back(child->name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string log() { return test::ReadFile(dir.file("scan.log")); }

  static Network* network_;
  static std::string unavailable_;
  test::TempDir dir;
  DiscoveryConfig config_;  // the scans', as the program's Core holds it
};

Network* DiscoveryNetworkTest::network_ = nullptr;
std::string DiscoveryNetworkTest::unavailable_;

TEST_F(DiscoveryNetworkTest, ScanOfTwoInterfacesAddsExactlyTheVendorDevicesAndNamedOnvifCamera) {
  const int probes1 = network_->probe1->received();
  const int onvifOurs = network_->onvifOurs->received();
  ScanReport report;
  std::vector<std::string> statuses, secondStatuses;
  std::vector<std::string> afterFirst, afterSecond;
  inScanner([&] {
    report = PingQuorixs(config_);
    statuses = handleMessages(true);
    afterFirst = groupNames();
    // A second scan finds the same devices and adds nothing.
    PingQuorixs(config_);
    secondStatuses = handleMessages(true);
    afterSecond = groupNames();
    TestTree().root.reset();
  });

  // One UDP broadcast, one ICMP broadcast and one ONVIF probe per interface.
  EXPECT_EQ(report.interfaces, 3);  // lo, br1, br2
  EXPECT_EQ(report.udpProbes, 2);
  EXPECT_EQ(report.icmpProbes, 2);
  EXPECT_EQ(report.onvifProbes, 2);
  EXPECT_EQ(report.udpTargets, (std::vector<std::string>{"10.71.1.255", "10.71.2.255"}));
  EXPECT_EQ(report.onvifSources, (std::vector<std::string>{"10.71.1.1", "10.71.2.1"}));
  EXPECT_FALSE(report.datagramIcmp);
  EXPECT_EQ(report.probeAnswers, 2);
  EXPECT_EQ(report.pingAnswers, 1);
  EXPECT_EQ(report.directPings, 3);  // both UDP answerers (the non-vendor one too) and the pinged one
  EXPECT_EQ(report.onvifAnswers, 2);
  EXPECT_EQ(report.onvifDevices, 1);

  // What the cameras saw: the probe text, from the scanner's address on their network.
  EXPECT_EQ(network_->probe1->received() - probes1, 2);
  EXPECT_EQ(network_->probe1->lastText(), UdpProbeText());
  EXPECT_EQ(network_->onvifOurs->received() - onvifOurs, 2);
  EXPECT_EQ(network_->onvifOurs->lastText(), OnvifProbeText());
  EXPECT_EQ(network_->onvifOurs->senders().back(), "10.71.2.1:3702");
  EXPECT_EQ(network_->onvifOther->senders().back(), "10.71.1.1:3702");

  EXPECT_EQ(afterFirst, (std::vector<std::string>{"025A3C-000011", "025A3C-410013", "ONVIF-10.71.2.14"}));
  EXPECT_EQ(statuses, std::vector<std::string>{"Added 2 devices."});
  EXPECT_EQ(afterSecond, afterFirst);
  EXPECT_EQ(secondStatuses, std::vector<std::string>{"No devices found."});

  const std::string text = log();
  EXPECT_NE(text.find("3 network addresses"), std::string::npos);
  EXPECT_NE(text.find("Sending UDP broadcast to 10.71.1.255..."), std::string::npos);
  EXPECT_NE(text.find("Sending ICMP ECHO broadcast to 10.71.2.255..."), std::string::npos);
  EXPECT_NE(text.find("Sending ONVIF SOAP request from 10.71.2.1..."), std::string::npos);
  EXPECT_NE(text.find("probe response from 10.71.1.12 [VL-PROBE/1.0 200 OK??Server: cam????]"), std::string::npos);
  EXPECT_NE(text.find("ping response from 10.71.2.13"), std::string::npos);
  EXPECT_NE(text.find("ONVIF probe response from 10.71.1.12"), std::string::npos);
  EXPECT_NE(text.find("ignoring ONVIF probe from device name \"OtherBrand\""), std::string::npos);
  EXPECT_NE(text.find("Adding '025A3C-410013' to group 'Local Network Cameras'"), std::string::npos);
  // The saved tree holds the server with its two inputs.
  const std::string saved = test::ReadFile(TestPaths().deviceTreePath);
  EXPECT_NE(saved.find("025A3C-410013"), std::string::npos);
  EXPECT_NE(saved.find("Camera 2"), std::string::npos);
}

TEST_F(DiscoveryNetworkTest, AFullTreeTakesNothingFromAScan) {
  std::vector<std::string> statuses;
  int viewable = 0;
  inScanner([&] {
    auto group = test::AddNode(*TestTree().root->children.front(), EntryKind::Group, "Full");
    for (int i = 0; i < kMaxViewableEntries; ++i) test::AddNode(*group, EntryKind::Device, "d" + std::to_string(i));
    PingQuorixs(config_);
    statuses = handleMessages(true);
    viewable = CountViewable(TestTree().root.get());
    TestTree().root.reset();
  });
  EXPECT_EQ(statuses, std::vector<std::string>{"No devices found."});
  EXPECT_EQ(viewable, kMaxViewableEntries);
}

TEST_F(DiscoveryNetworkTest, ThePingSocketStandsInForARawSocket) {
  config_.icmpMode = IcmpMode::kDatagram;
  ScanReport report;
  inScanner([&] {
    report = PingQuorixs(config_);
    handleMessages(false);
    TestTree().root.reset();
  });
  if (!report.datagramIcmp) GTEST_SKIP() << "the ping socket is not available in this kernel";
  EXPECT_EQ(report.icmpProbes, 2);
  EXPECT_EQ(report.pingAnswers, 1);
  EXPECT_NE(log().find("ping response from 10.71.2.13"), std::string::npos);
}

TEST_F(DiscoveryNetworkTest, TheThreadScansOnTheEventAndReportsTheEnd) {
  std::vector<std::string> statuses;
  bool ended = false;
  inScanner([&] {
    programSignals().networkScan.reset();
    StartDiscoveryThread(config_);  // started from inside the namespace, so it runs there
    RequestNetworkScan();
    std::vector<AppMessage> seen;
    ended = test::WaitFor(
        [&] {
          while (std::optional<AppMessage> message = mainQueue().take()) {
            const bool last = std::holds_alternative<MsgNetworkScanEnded>(*message);
            if (auto* status = std::get_if<MsgStatusText>(&*message)) statuses.push_back(status->text.value_or(""));
            if (std::holds_alternative<MsgOnvifDevice>(*message) || last)
              HandleNetMessage(*message, TestTree(), nullptr, config_);
            while (std::optional<AppMessage> more = mainQueue().take()) {
              if (auto* status = std::get_if<MsgStatusText>(&*more)) statuses.push_back(status->text.value_or(""));
            }
            if (last) return true;
          }
          return false;
        },
        15000ms);
    StopDiscoveryThread();
    TestTree().root.reset();
  });
  EXPECT_TRUE(ended);
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses.front(), "Scanning local network...");
  EXPECT_EQ(statuses.back(), "Added 2 devices.");
}

TEST_F(DiscoveryNetworkTest, StoppingEndsARunningScan) {
  // A scan that waited for its answer time-out would take a minute; a stop ends it well
  // before that (the bound below is the scan's own time-out, not a speed figure).
  config_.answerTimeoutSeconds = 60;
  std::chrono::steady_clock::duration took{};
  inScanner([&] {
    programSignals().networkScan.reset();
    StartDiscoveryThread(config_);
    RequestNetworkScan();
    test::WaitFor([] { return mainQueue().size() > 0; }, 5000ms);  // the scan has begun
    std::this_thread::sleep_for(300ms);
    const auto before = std::chrono::steady_clock::now();
    StopDiscoveryThread();
    took = std::chrono::steady_clock::now() - before;
    TestTree().root.reset();
  });
  EXPECT_LT(took, 30s);
}

}  // namespace
}  // namespace velmora::net
