// The texts and packets of network discovery, and the parsers of what comes back: the
// ICMP echo request, the product's UDP probe, the ONVIF WS-Discovery probe and answer,
// the interface broadcast rule, the ARP cache and the model codes of the maker's
// hardware addresses. No sockets here.
//
// Addresses are IPv4 in network byte order (as in sockaddr_in) unless a name says
// otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::net {

constexpr uint16_t kProbePort = 7364;         // the product's own UDP probe
constexpr uint16_t kOnvifPort = 3702;         // WS-Discovery
constexpr const char* kOnvifGroup = "239.255.255.250";
constexpr std::size_t kOnvifAnswerBytes = 4096;
constexpr std::size_t kProbeAnswerBytes = 256;
constexpr std::size_t kIcmpAnswerBytes = 156;  // IP header (20) + ICMP
// Hardware addresses of the maker's devices begin with these three bytes.
constexpr std::array<uint8_t, 3> kVendorPrefix{0x02, 0x5A, 0x3C};
// Device names an ONVIF answer must carry to be taken.
constexpr const char* kOwnProductNames[] = {"Quorix", "Velmora"};

// RFC 1071: ones' complement of the ones' complement sum of the 16-bit words (an odd
// last byte is padded with zero). The result is in the byte order of the data.
uint16_t InternetChecksum(const void* data, std::size_t length);

// An 8-byte echo request (type 8, code 0) with identifier and sequence stored in the
// host's byte order, checksum filled in.
std::array<uint8_t, 8> EchoRequest(uint16_t identifier, uint16_t sequence);

struct IcmpMessage {
  uint8_t type = 0;
  uint8_t code = 0;
  uint16_t identifier = 0;  // read in the host's byte order
  uint16_t sequence = 0;
};
// Reads an ICMP message. With `ipHeader` the data starts with the IPv4 header (raw
// sockets), whose length is taken from the header itself. Empty when too short.
std::optional<IcmpMessage> ParseIcmp(const uint8_t* data, std::size_t length, bool ipHeader);

// The broadcast address of an interface entry: the entry's broadcast field when it is
// neither 0 nor 1; address AND mask when it is 0; address OR NOT mask when it is 1.
uint32_t BroadcastAddress(uint32_t address, uint32_t mask, uint32_t broadcastField);

// "DISCOVER * VL-PROBE/1.0", the User-Agent line with the product name (underscores
// for spaces) and version, and an empty line.
std::string UdpProbeText();

// The ONVIF WS-Discovery probe for network video transmitters, sent unchanged.
const std::string& OnvifProbeText();

// A host text a device may be added with: a dotted IPv4 address or a host name of
// labels of letters, digits, '-' and '_' (1 to 63 each) joined by dots, at most 253
// characters. It becomes a device's location and, behind "ONVIF-", its name, so
// anything else (control bytes, markup, blanks, bytes that are not ASCII) is refused.
bool IsHostText(std::string_view text);

struct OnvifAnswer {
  enum class Result {
    kDevice,         // take it: address and name are set
    kNotUsable,      // not a plain video transmitter with a name scope and an http address
    kOtherMaker,     // the name carries none of our product names
    kNoAddress,      // no usable host in the http address (see IsHostText)
  };
  Result result = Result::kNotUsable;
  std::string name;     // "Unknown" when the scopes name none
  std::string address;  // host of the first http address, without its port
};
// Applies the answer rules to the text of one WS-Discovery answer.
OnvifAnswer ParseOnvifAnswer(std::string_view text);

struct ArpEntry {
  uint32_t address = 0;  // network byte order
  std::vector<uint8_t> hwAddress;
  unsigned flags = 0;
  std::string device;
};
// Parses the kernel's ARP table text (a header line, then one entry a line: address,
// hardware type, flags, hardware address, mask, device). Lines that do not parse are
// skipped. The result is sorted by address (numeric order).
std::vector<ArpEntry> ParseArpTable(std::string_view text);

// Six bytes beginning with the vendor prefix.
bool IsVendorHwAddress(const std::vector<uint8_t>& hwAddress);
// "%02X%02X%02X-%02X%02X%02X".
std::string HwAddressText(const std::vector<uint8_t>& hwAddress);

// The model code of a hardware address text: the first byte after the dash, read from
// "hhhhhh-hh...." (up to two hex digits per byte); 255 when the text does not match.
int ModelCode(const std::string& hwText);

// The maker's model codes. Codes not listed are IP cameras (kind 2).
//   0x30, 0x31               web-image devices (kind 4)
//   0x40 .. 0x45             video servers (kind 3) with 1, 2, 4, 6, 8, 12 inputs
struct ModelInfo {
  int32_t kind = 2;
  int inputs = 0;  // camera inputs of a video server
};
ModelInfo ModelFromCode(int code);

// Dotted text of an address in network byte order.
std::string AddressText(uint32_t address);

}  // namespace velmora::net
