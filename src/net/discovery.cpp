#include "net/discovery.h"

#include "platform/worker_thread.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "app/log.h"
#include "app/program_signals.h"
#include "net/discovery_parse.h"
#include "net/http_handler.h"
#include "net/http_response.h"

namespace velmora::net {

namespace {

// A poll set holds the ICMP and UDP sockets and at most this many ONVIF sockets, so the
// set never exceeds 64 sockets.
constexpr std::size_t kMaxOnvifSockets = 62;
// How often a wait for answers looks at the stop request.
constexpr std::chrono::milliseconds kStopCheck{100};

std::atomic<bool> g_stopRequested{false};
// Never destroyed: a scan that does not stop in time keeps its thread object.
platform::WorkerThread& discoveryWorker() {
  static auto* worker = new platform::WorkerThread;
  return *worker;
}

bool StopRequested() { return g_stopRequested.load() || programSignals().shutdown.isSet(); }

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(port);
  return sa;
}

bool SetOption(int fd, int level, int name, int value, const char* label) {
  if (::setsockopt(fd, level, name, &value, sizeof value) == 0) return true;
  LogLastError(label);
  return false;
}

struct IcmpSocket {
  FileHandle fd;
  bool datagram = false;     // the ping socket: no IP header, the kernel owns the identifier
  uint16_t identifier = 0;   // as it appears in replies, read in host order
};

// A raw ICMP socket, or (when that is not allowed) the unprivileged ping socket bound to
// our identifier, or to one the kernel picks.
bool OpenIcmpSocket(IcmpMode mode, uint16_t identifier, IcmpSocket& out) {
  if (mode != IcmpMode::kDatagram) {
    const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
      out.fd = FileHandle(fd);
      out.datagram = false;
      out.identifier = identifier;
      return true;
    }
  }
  if (mode != IcmpMode::kRaw) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
      FileHandle handle(fd);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      // The port field is the echo identifier; its bytes go on the wire as they are.
      std::memcpy(&sa.sin_port, &identifier, sizeof identifier);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        sa.sin_port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
          LogLastError("bind");
          return false;
        }
      }
      socklen_t length = sizeof sa;
      if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        LogLastError("getsockname");
        return false;
      }
      std::memcpy(&out.identifier, &sa.sin_port, sizeof out.identifier);
      out.fd = std::move(handle);
      out.datagram = true;
      return true;
    }
  }
  return false;
}

bool SendEcho(int fd, uint32_t address, uint16_t identifier, uint16_t sequence) {
  const std::array<uint8_t, 8> packet = EchoRequest(identifier, sequence);
  const sockaddr_in to = SocketAddress(address, 0);
  if (::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    LogLastError("sendto");
    return false;
  }
  return true;
}

// One echo request straight to a responder, through a socket of its own that is closed
// at once: only the responder's ARP entry matters, not its reply.
bool DirectPing(const IcmpSocket& icmp, uint32_t address, ScanReport& report) {
  const int fd = icmp.datagram ? ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP)
                               : ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) {
    LogLastError("socket");
    return false;
  }
  FileHandle handle(fd);
  if (!SendEcho(fd, address, icmp.identifier, 1)) return false;
  ++report.directPings;
  return true;
}

void HandleOnvifDatagram(int fd, ScanReport& report) {
  std::array<char, kOnvifAnswerBytes> buffer{};
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) {
    LogLastError("recvfrom");
    return;
  }
  ++report.onvifAnswers;
  Log("ONVIF probe response from %s", AddressText(from.sin_addr.s_addr).c_str());
  const OnvifAnswer answer = ParseOnvifAnswer(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  switch (answer.result) {
    case OnvifAnswer::Result::kNotUsable:
      return;
    case OnvifAnswer::Result::kOtherMaker:
      Log("ignoring ONVIF probe from device name \"%s\"", LogSafe(answer.name).c_str());
      return;
    case OnvifAnswer::Result::kNoAddress:
      Log("unable to get IP address from ONVIF probe");
      return;
    case OnvifAnswer::Result::kDevice:
      break;
  }
  MsgOnvifDevice message;
  message.address = answer.address;
  message.hwAddr = "ONVIF-" + answer.address;
  if (mainQueue().post(std::move(message))) ++report.onvifDevices;
}

void HandleIcmpDatagram(const IcmpSocket& icmp, ScanReport& report) {
  std::array<uint8_t, kIcmpAnswerBytes> buffer{};
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t n =
      ::recvfrom(icmp.fd.get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) {
    LogLastError("recvfrom");
    return;
  }
  const std::optional<IcmpMessage> message =
      ParseIcmp(buffer.data(), static_cast<std::size_t>(n), !icmp.datagram);
  if (!message || message->type != 0 || message->sequence != 0 || message->identifier != icmp.identifier)
    return;
  ++report.pingAnswers;
  Log("ping response from %s", AddressText(from.sin_addr.s_addr).c_str());
  DirectPing(icmp, from.sin_addr.s_addr, report);
}

void HandleProbeDatagram(int fd, const IcmpSocket* icmp, ScanReport& report) {
  std::array<char, kProbeAnswerBytes + 1> buffer{};
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t n = ::recvfrom(fd, buffer.data(), kProbeAnswerBytes, 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) {
    LogLastError("recvfrom");
    return;
  }
  ++report.probeAnswers;
  // The answer is only logged: as a C text, up to its first NUL, without line breaks.
  std::string text(buffer.data(), static_cast<std::size_t>(n));
  text = text.substr(0, text.find('\0'));
  Log("probe response from %s [%s]", AddressText(from.sin_addr.s_addr).c_str(), LogSafe(text).c_str());
  if (icmp != nullptr) DirectPing(*icmp, from.sin_addr.s_addr, report);
}

// The sockets of one scan: the ICMP socket (raw or ping), the UDP probe socket, and one
// socket per interface that sent an ONVIF probe.
struct ScanSockets {
  IcmpSocket icmp;
  bool haveIcmp = false;
  FileHandle udp;
  std::vector<FileHandle> onvif;
};

// Opens the broadcast sockets (ICMP and UDP). False when neither could be opened: then no
// probe can be sent at all.
bool OpenBroadcastSockets(const DiscoveryConfig& config, ScanSockets& sockets, ScanReport& report) {
  const uint16_t identifier = static_cast<uint16_t>(::syscall(SYS_gettid) & 0xFFFF);
  sockets.haveIcmp = OpenIcmpSocket(config.icmpMode, identifier, sockets.icmp);
  if (!sockets.haveIcmp) Log("Unable to open raw ICMP socket");
  report.datagramIcmp = sockets.haveIcmp && sockets.icmp.datagram;
  sockets.udp = FileHandle(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sockets.udp.valid()) Log("Unable to open UDP socket");
  if (!sockets.haveIcmp && !sockets.udp.valid()) {
    Log("Unable to send network probe");
    return false;
  }
  if (sockets.haveIcmp) SetOption(sockets.icmp.fd.get(), SOL_SOCKET, SO_BROADCAST, 1, "setsockopt(SO_BROADCAST)");
  if (sockets.udp.valid()) SetOption(sockets.udp.get(), SOL_SOCKET, SO_BROADCAST, 1, "setsockopt(SO_BROADCAST)");
  return true;
}

// The UDP probe and the ICMP echo to one interface's broadcast address.
void SendBroadcastProbes(const ScanSockets& sockets, const InterfaceAddress& entry, const std::string& probe,
                         ScanReport& report) {
  const uint32_t broadcast = BroadcastAddress(entry.address, entry.mask, entry.broadcastField);
  const std::string broadcastText = AddressText(broadcast);
  if (sockets.udp.valid()) {
    Log("Sending UDP broadcast to %s...", broadcastText.c_str());
    const sockaddr_in to = SocketAddress(broadcast, kProbePort);
    if (::sendto(sockets.udp.get(), probe.data(), probe.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0) {
      LogLastError("sendto");
    } else {
      ++report.udpProbes;
      report.udpTargets.push_back(broadcastText);
    }
  }
  if (sockets.haveIcmp) {
    Log("Sending ICMP ECHO broadcast to %s...", broadcastText.c_str());
    if (SendEcho(sockets.icmp.fd.get(), broadcast, sockets.icmp.identifier, 0)) ++report.icmpProbes;
  }
}

// The ONVIF multicast probe from one interface's address, through a socket bound to it
// (so the probe leaves through that interface and the answers come back to it). The
// socket, kept to read the answers; an invalid handle when it could not be bound.
FileHandle SendOnvifProbe(const InterfaceAddress& entry, const std::string& onvifProbe, ScanReport& report) {
  FileHandle socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) {
    Log("Unable to UDP socket for ONVIF probe");
    return socket;
  }
  SetOption(socket.get(), SOL_SOCKET, SO_REUSEADDR, 1, "setsockopt(SO_REUSEADDR)");
  SetOption(socket.get(), IPPROTO_IP, IP_MULTICAST_TTL, 1, "setsockopt(IP_MULTICAST_TTL)");
  in_addr outgoing{};
  outgoing.s_addr = entry.address;
  if (::setsockopt(socket.get(), IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0)
    LogLastError("setsockopt(IP_MULTICAST_IF)");
  const sockaddr_in local = SocketAddress(entry.address, kOnvifPort);
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    LogLastError("bind");
    return FileHandle();
  }
  const std::string localText = AddressText(entry.address);
  Log("Sending ONVIF SOAP request from %s...", localText.c_str());
  const sockaddr_in onvifGroup = SocketAddress(inet_addr(kOnvifGroup), kOnvifPort);
  if (::sendto(socket.get(), onvifProbe.data(), onvifProbe.size(), 0,
               reinterpret_cast<const sockaddr*>(&onvifGroup), sizeof onvifGroup) < 0) {
    LogLastError("sendto");
  } else {
    ++report.onvifProbes;
    report.onvifSources.push_back(localText);
  }
  return socket;
}

// Waits until one of the sockets has something to read or `waitEnd` passes, looking at
// the stop request between short slices. poll's count (0: nothing came), or nullopt when
// the scan is to stop. The waits are real waits of poll, so they and the scan's limits run
// on the system's steady clock.
std::optional<int> WaitForAnswer(std::vector<pollfd>& set, std::chrono::steady_clock::time_point waitEnd) {
  int ready = 0;
  for (;;) {
    if (StopRequested()) return std::nullopt;
    const auto now = std::chrono::steady_clock::now();
    if (now >= waitEnd) break;
    const auto slice = std::min<std::chrono::steady_clock::duration>(kStopCheck, waitEnd - now);
    for (pollfd& p : set) p.revents = 0;
    ready = ::poll(set.data(), set.size(),
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(slice).count()) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 0) break;
  }
  return ready;
}

// Reads the answers to the probes until none came for the answer time-out (or the scan
// has run too long, or is stopped), handing each datagram to the handler of its socket.
void CollectAnswers(const ScanSockets& sockets, const DiscoveryConfig& config, ScanReport& report) {
  const auto scanEnd = std::chrono::steady_clock::now() + config.maxScanTime;
  const auto answerWait = std::chrono::seconds(config.answerTimeoutSeconds > 0 ? config.answerTimeoutSeconds : 0);
  std::vector<pollfd> set;
  if (sockets.haveIcmp) set.push_back(pollfd{sockets.icmp.fd.get(), POLLIN, 0});
  if (sockets.udp.valid()) set.push_back(pollfd{sockets.udp.get(), POLLIN, 0});
  for (const FileHandle& socket : sockets.onvif) set.push_back(pollfd{socket.get(), POLLIN, 0});

  for (;;) {
    const auto waitEnd = std::min(std::chrono::steady_clock::now() + answerWait, scanEnd);
    const std::optional<int> ready = WaitForAnswer(set, waitEnd);
    if (!ready) return;
    if (*ready < 0) LogLastError("select");
    if (*ready <= 0) return;
    for (const pollfd& p : set) {
      if ((p.revents & (POLLIN | POLLERR)) == 0) continue;
      if (sockets.haveIcmp && p.fd == sockets.icmp.fd.get()) {
        HandleIcmpDatagram(sockets.icmp, report);
      } else if (sockets.udp.valid() && p.fd == sockets.udp.get()) {
        HandleProbeDatagram(sockets.udp.get(), sockets.haveIcmp ? &sockets.icmp : nullptr, report);
      } else {
        HandleOnvifDatagram(p.fd, report);
      }
    }
  }
}

}  // namespace

std::optional<std::vector<InterfaceAddress>> ReadInterfaceTable() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::vector<InterfaceAddress> table;
  for (ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
    if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_INET) continue;
    if ((item->ifa_flags & IFF_UP) == 0) continue;
    InterfaceAddress entry;
    entry.name = item->ifa_name != nullptr ? item->ifa_name : "";
    entry.index = static_cast<int>(::if_nametoindex(entry.name.c_str()));
    entry.flags = item->ifa_flags;
    entry.address = reinterpret_cast<const sockaddr_in*>(item->ifa_addr)->sin_addr.s_addr;
    if (item->ifa_netmask != nullptr)
      entry.mask = reinterpret_cast<const sockaddr_in*>(item->ifa_netmask)->sin_addr.s_addr;
    // The broadcast address the interface has, else computed from address and mask. An
    // address configured without a broadcast address reports its own address there.
    entry.broadcastField = 1;
    if ((item->ifa_flags & IFF_BROADCAST) != 0 && item->ifa_broadaddr != nullptr) {
      const uint32_t broadcast = reinterpret_cast<const sockaddr_in*>(item->ifa_broadaddr)->sin_addr.s_addr;
      if (broadcast != 0 && broadcast != 1 && broadcast != entry.address) entry.broadcastField = broadcast;
    }
    table.push_back(std::move(entry));
  }
  ::freeifaddrs(list);
  return table;
}

ScanReport PingQuorixs(const DiscoveryConfig& config) {
  ScanReport report;
  ScanSockets sockets;
  if (!OpenBroadcastSockets(config, sockets, report)) return report;

  std::optional<std::vector<InterfaceAddress>> table =
      config.interfaces ? config.interfaces() : ReadInterfaceTable();
  if (!table) {
    Log("GetIpAddrTable failed (%x)", static_cast<unsigned>(errno));
    return report;
  }
  report.interfaces = static_cast<int>(table->size());
  Log("%d network addresses", report.interfaces);

  // Every interface but the loopback gets the broadcast probes and, while the poll set
  // has room, an ONVIF probe of its own.
  const std::string probe = UdpProbeText();
  const std::string& onvifProbe = OnvifProbeText();
  for (std::size_t i = 0; i < table->size(); ++i) {
    const InterfaceAddress& entry = (*table)[i];
    Log("-- %d: address=%lx type=%x --", static_cast<int>(i), static_cast<unsigned long>(entry.address),
        entry.flags);
    if (entry.address == 0 || entry.address == htonl(INADDR_LOOPBACK)) continue;
    SendBroadcastProbes(sockets, entry, probe, report);
    if (sockets.onvif.size() >= kMaxOnvifSockets) continue;
    FileHandle socket = SendOnvifProbe(entry, onvifProbe, report);
    if (socket.valid()) sockets.onvif.push_back(std::move(socket));
  }

  CollectAnswers(sockets, config, report);
  return report;
}

void discovery_thread(const DiscoveryConfig& config) {
  for (;;) {
    if (StopRequested()) return;
    if (!programSignals().networkScan.wait(std::chrono::milliseconds(200))) continue;
    if (StopRequested()) return;
    PostStatus("Scanning local network...");
    PingQuorixs(config);
    mainQueue().post(MsgNetworkScanEnded{});
  }
}

void StartDiscoveryThread(const DiscoveryConfig& config) {
  if (discoveryWorker().running()) return;
  g_stopRequested = false;
  if (!discoveryWorker().start([config] { discovery_thread(config); }) && !discoveryWorker().running()) {
    LogLastError("CreateThread");
  }
}
void StopDiscoveryThread() {
  g_stopRequested = true;
  // Every wait of a scan looks at the stop request at least every 100 ms; a thread stuck
  // in a system call must still not hold up the shutdown.
  if (!discoveryWorker().join(std::chrono::milliseconds(2000))) {
    Log("network scan thread still active");
    return;
  }
  g_stopRequested = false;
}

void RequestNetworkScan() { programSignals().networkScan.set(); }

}  // namespace velmora::net
