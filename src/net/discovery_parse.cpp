#include "net/discovery_parse.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
// GCC 12 warns falsely about an uninitialised std::function inside <regex> when the
// sanitizers are on; the warning is about the library's code, not ours.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "live/request.h"

namespace velmora::net {

namespace {

// The WS-Discovery probe lives in the resource folder as a raw string literal, so the
// text that goes on the wire is exactly the file's.
const char kOnvifProbe[] =
#include "../../res/onvif_probe.xml.inc"
    ;

// The scope that carries a device's name.
constexpr const char* kNameScope = "onvif://www.onvif.org/name/";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One to two hex digits at text[pos]; pos moves past them. -1 when none.
int ReadHexByte(const std::string& text, std::size_t& pos) {
  int value = -1;
  for (int i = 0; i < 2 && pos < text.size(); ++i) {
    const int digit = HexDigit(text[pos]);
    if (digit < 0) break;
    value = (value < 0 ? 0 : value * 16) + digit;
    ++pos;
  }
  return value;
}

}  // namespace

uint16_t InternetChecksum(const void* data, std::size_t length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < length; i += 2) {
    uint16_t word;
    std::memcpy(&word, bytes + i, 2);
    sum += word;
  }
  if (i < length) {
    uint16_t word = 0;
    std::memcpy(&word, bytes + i, 1);
    sum += word;
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

std::array<uint8_t, 8> EchoRequest(uint16_t identifier, uint16_t sequence) {
  std::array<uint8_t, 8> packet{};
  packet[0] = 8;  // echo request
  packet[1] = 0;
  std::memcpy(&packet[4], &identifier, 2);
  std::memcpy(&packet[6], &sequence, 2);
  const uint16_t checksum = InternetChecksum(packet.data(), packet.size());
  std::memcpy(&packet[2], &checksum, 2);
  return packet;
}

std::optional<IcmpMessage> ParseIcmp(const uint8_t* data, std::size_t length, bool ipHeader) {
  std::size_t start = 0;
  if (ipHeader) {
    if (length < 20) return std::nullopt;
    if ((data[0] >> 4) != 4) return std::nullopt;
    start = static_cast<std::size_t>(data[0] & 0x0F) * 4;
    if (start < 20) return std::nullopt;
  }
  if (length < start + 8) return std::nullopt;
  IcmpMessage message;
  message.type = data[start];
  message.code = data[start + 1];
  std::memcpy(&message.identifier, data + start + 4, 2);
  std::memcpy(&message.sequence, data + start + 6, 2);
  return message;
}

uint32_t BroadcastAddress(uint32_t address, uint32_t mask, uint32_t broadcastField) {
  if (broadcastField == 0) return address & mask;
  if (broadcastField == 1) return address | ~mask;
  return broadcastField;
}

std::string UdpProbeText() {
  return "DISCOVER * VL-PROBE/1.0\r\nUser-Agent: " + CameraUserAgent() + "\r\n\r\n";
}

const std::string& OnvifProbeText() {
  static const std::string text(kOnvifProbe);
  return text;
}

bool IsHostText(std::string_view text) {
  if (text.empty() || text.size() > 253) return false;
  std::size_t label = 0;
  for (char c : text) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!allowed || ++label > 63) return false;
  }
  return label != 0;
}

OnvifAnswer ParseOnvifAnswer(std::string_view text) {
  static const std::regex typesPattern("<d:types>(.*)</d:types>",
                                       std::regex::ECMAScript | std::regex::icase);
  static const std::regex scopesPattern("<d:Scopes>(.*)</d:Scopes>", std::regex::ECMAScript);
  static const std::regex addressesPattern("<d:XAddrs>(.*)</d:XAddrs>", std::regex::ECMAScript);
  static const std::regex namePattern("onvif://www.onvif.org/name/([^ ]+)", std::regex::ECMAScript);
  static const std::regex hostPattern("http://([^/:]+)(:[0-9]+)?/", std::regex::ECMAScript);

  OnvifAnswer answer;
  // The answer is a C text: it ends at its first NUL, and never exceeds one datagram.
  text = text.substr(0, std::min(text.find('\0'), kOnvifAnswerBytes));
  const std::string body(text);

  std::smatch match;
  std::string types, scopes, addresses;
  if (std::regex_search(body, match, typesPattern)) types = match[1].str();
  if (std::regex_search(body, match, scopesPattern)) scopes = match[1].str();
  if (std::regex_search(body, match, addressesPattern)) addresses = match[1].str();
  if (types != "dn:NetworkVideoTransmitter" || scopes.find(kNameScope) == std::string::npos ||
      addresses.find("http://") == std::string::npos) {
    answer.result = OnvifAnswer::Result::kNotUsable;
    return answer;
  }

  answer.name = "Unknown";
  if (std::regex_search(scopes, match, namePattern)) answer.name = match[1].str();
  bool ours = false;
  for (const char* product : kOwnProductNames) {
    if (answer.name.find(product) != std::string::npos) ours = true;
  }
  if (!ours) {
    answer.result = OnvifAnswer::Result::kOtherMaker;
    return answer;
  }
  if (!std::regex_search(addresses, match, hostPattern) || !IsHostText(match[1].str())) {
    answer.result = OnvifAnswer::Result::kNoAddress;
    return answer;
  }
  answer.address = match[1].str();
  answer.result = OnvifAnswer::Result::kDevice;
  return answer;
}

std::vector<ArpEntry> ParseArpTable(std::string_view text) {
  std::vector<ArpEntry> entries;
  std::size_t pos = 0;
  bool header = true;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(pos, end - pos));
    pos = end + 1;
    if (header) {
      header = false;
      continue;
    }
    char ip[64] = "", type[32] = "", flags[32] = "", hw[128] = "", mask[64] = "", device[64] = "";
    if (std::sscanf(line.c_str(), "%63s %31s %31s %127s %63s %63s", ip, type, flags, hw, mask, device) < 4)
      continue;
    ArpEntry entry;
    in_addr address{};
    if (inet_pton(AF_INET, ip, &address) != 1) continue;
    entry.address = address.s_addr;
    entry.flags = static_cast<unsigned>(std::strtoul(flags, nullptr, 16));
    entry.device = device;
    // "aa:bb:cc:dd:ee:ff": bytes of one or two hex digits separated by colons.
    std::string hwText(hw);
    std::size_t at = 0;
    bool valid = true;
    while (at < hwText.size() && entry.hwAddress.size() < 32) {
      const int value = ReadHexByte(hwText, at);
      if (value < 0) {
        valid = false;
        break;
      }
      entry.hwAddress.push_back(static_cast<uint8_t>(value));
      if (at < hwText.size()) {
        if (hwText[at] != ':') {
          valid = false;
          break;
        }
        ++at;
      }
    }
    if (!valid) entry.hwAddress.clear();
    entries.push_back(std::move(entry));
  }
  std::stable_sort(entries.begin(), entries.end(), [](const ArpEntry& a, const ArpEntry& b) {
    return ntohl(a.address) < ntohl(b.address);
  });
  return entries;
}

bool IsVendorHwAddress(const std::vector<uint8_t>& hwAddress) {
  return hwAddress.size() == 6 && std::equal(kVendorPrefix.begin(), kVendorPrefix.end(), hwAddress.begin());
}

std::string HwAddressText(const std::vector<uint8_t>& hwAddress) {
  if (hwAddress.size() < 6) return std::string();
  char text[16];
  std::snprintf(text, sizeof text, "%02X%02X%02X-%02X%02X%02X", hwAddress[0], hwAddress[1],
                hwAddress[2], hwAddress[3], hwAddress[4], hwAddress[5]);
  return text;
}

int ModelCode(const std::string& hwText) {
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    if (ReadHexByte(hwText, pos) < 0) return 255;
  }
  if (pos >= hwText.size() || hwText[pos] != '-') return 255;
  ++pos;
  const int code = ReadHexByte(hwText, pos);
  return code < 0 ? 255 : code;
}

ModelInfo ModelFromCode(int code) {
  switch (code) {
    case 0x30:
    case 0x31: return ModelInfo{4, 0};
    case 0x40: return ModelInfo{3, 1};
    case 0x41: return ModelInfo{3, 2};
    case 0x42: return ModelInfo{3, 4};
    case 0x43: return ModelInfo{3, 6};
    case 0x44: return ModelInfo{3, 8};
    case 0x45: return ModelInfo{3, 12};
    default: return ModelInfo{2, 0};
  }
}

std::string AddressText(uint32_t address) {
  char text[INET_ADDRSTRLEN] = "";
  in_addr in{};
  in.s_addr = address;
  inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

}  // namespace velmora::net
