// Network discovery: finds the maker's cameras and video servers on the local network
// and adds them to the group "Local Network Cameras".
//
// One background thread waits for the network-scan event (kCmdScanNetwork (240) in the menu, and the
// start-up scan of a tree without viewable devices). A scan sends, from every local
// IPv4 interface, an ICMP echo broadcast, the product's UDP probe and an ONVIF
// WS-Discovery probe, and collects answers until none came for the answer time-out.
// ICMP and UDP responders are pinged once more directly so that their hardware
// addresses land in the ARP cache; when the scan has ended, the main thread reads the
// ARP cache and adds every entry with the vendor prefix. ONVIF answers naming one of
// our products are added at once. The scan thread touches no shared data: everything
// reaches the tree through messages to the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/installed.h"
#include "app/messages.h"

namespace velmora {
struct GroupRecord;
struct DeviceTree;
}

namespace velmora::net {

// The group the scan adds to (created under the tree's top entry when missing).
constexpr const char* kScanGroupName = "Local Network Cameras";

// One IPv4 address of a local interface, as the interface table gives it. Addresses in
// network byte order.
struct InterfaceAddress {
  int index = 0;         // interface index
  std::string name;      // interface name
  uint32_t address = 0;
  uint32_t mask = 0;
  // The broadcast field of the table: an address, or 0 / 1 to have it computed from
  // address and mask (see BroadcastAddress).
  uint32_t broadcastField = 1;
  unsigned flags = 0;    // IFF_* flags of the interface
};

// The IPv4 addresses of the interfaces that are up (getifaddrs). Empty optional when the
// table cannot be read (errno kept).
std::optional<std::vector<InterfaceAddress>> ReadInterfaceTable();

enum class IcmpMode {
  kAuto,      // a raw socket, else the unprivileged ping socket
  kRaw,       // a raw socket only
  kDatagram,  // the unprivileged ping socket only
};

struct DiscoveryConfig {
  // The interface table; empty: ReadInterfaceTable().
  std::function<std::optional<std::vector<InterfaceAddress>>()> interfaces;
  // The kernel's ARP cache text.
  std::string arpPath = "/proc/net/arp";
  IcmpMode icmpMode = IcmpMode::kAuto;
  // Seconds without an answer that end a scan.
  int answerTimeoutSeconds = 5;
  // A scan never runs longer than this, however many answers keep coming.
  std::chrono::seconds maxScanTime{120};
};

// What one scan sent and received (for the log and the tests).
struct ScanReport {
  int interfaces = 0;       // entries of the interface table
  int udpProbes = 0;        // UDP broadcasts sent
  int icmpProbes = 0;       // ICMP echo broadcasts sent
  int onvifProbes = 0;      // ONVIF probes sent
  int pingAnswers = 0;      // echo replies to our broadcast
  int probeAnswers = 0;     // answers to the UDP probe
  int onvifAnswers = 0;     // datagrams on the ONVIF sockets
  int onvifDevices = 0;     // ONVIF devices posted to the main thread
  int directPings = 0;      // echo requests sent to single responders
  bool datagramIcmp = false;  // the ping socket stood in for a raw socket
  std::vector<std::string> udpTargets;    // broadcast addresses of the UDP probes
  std::vector<std::string> onvifSources;  // interface addresses the ONVIF probes left from
};

// One scan (the routine is named after the maker's devices it looks for). Posts one
// MsgOnvifDevice per ONVIF device found. Returns what was sent and received.
ScanReport PingQuorixs(const DiscoveryConfig& config);

// The thread body: waits for the network-scan event; each time posts the status "Scanning
// local network...", scans and posts MsgNetworkScanEnded. Ends at shutdown.
void discovery_thread(const DiscoveryConfig& config);
// Start-up hook: starts the thread once, scanning with (a copy of) `config`.
void StartDiscoveryThread(const DiscoveryConfig& config);
// Ends the thread (also between the answers of a running scan) and waits for it.
void StopDiscoveryThread();
// kCmdScanNetwork (240) in the menu: asks for a scan.
void RequestNetworkScan();

// The window's part when discovery adds a device: the new entry is selected in the tree
// and scrolled into view. Installed once (app/installed.h) by the window; the headless
// program has none. The views of the selection are refreshed by the window itself when it
// hears of the scan's end (MsgNetworkScanEnded), after the harvest.
class DiscoverySelection {
 public:
  virtual ~DiscoverySelection() = default;
  virtual void selectEntry(GroupRecord& record) = 0;
};

// Main thread: adds a device found at `address` with the hardware address text
// `hwAddr` to the scan group. False when it is already there (same hwAddr) or the tree
// is full.
bool discovery_add_device(DeviceTree& tree, const std::string& address, const std::string& hwAddr);

class HttpServer;

// Main thread, at the end of a scan: reads the ARP cache, adds the maker's devices,
// shows the result in the status line, saves the tree and hands `server` (null: none)
// the new tree when something was added. `arpPath`: the kernel's ARP cache text
// (DiscoveryConfig::arpPath). Returns the number of devices added.
int discovery_harvest(DeviceTree& tree, HttpServer* server, const std::string& arpPath);

// Main thread: handles the network messages (scan ended, ONVIF device, HTTP server) for
// the program's `server` (null: the program serves nothing), with the scans' `discovery`
// configuration. False for any other message.
bool HandleNetMessage(AppMessage& message, DeviceTree& tree, HttpServer* server, const DiscoveryConfig& discovery);

}  // namespace velmora::net
