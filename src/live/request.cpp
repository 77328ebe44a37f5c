#include "live/request.h"


#include <cstdio>

#include "app/helpers.h"
#include "app/log.h"
#include "app/paths.h"
#include "live/digest.h"
#include "live/tls.h"
#include "model/group_record.h"
#include "platform/curl.h"

namespace velmora {

namespace {

// Text that may not travel inside a request line: control characters and spaces would
// end the line or split it into other header lines.
bool SafeRequestText(const std::string& text) {
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

bool UrlRequestTarget(const std::string& url, std::string& target) {
  target.clear();
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos || scheme == 0) return false;
  const std::size_t authority = scheme + 3;
  const std::size_t end = url.find_first_of("/?#", authority);
  if (end == authority) return false;  // no host
  if (end == std::string::npos) {
    target = "/";
    return true;
  }
  target = url.substr(end);
  if (target[0] != '/') target.insert(0, "/");
  return true;
}

bool UrlCredentials(const std::string& url, std::string& username, std::string& password) {
  username.clear();
  password.clear();
  const platform::CurlUrl parsed = platform::ParseUrl(url, CURLU_NON_SUPPORT_SCHEME);
  if (!parsed) return false;
  const bool user = platform::UrlPart(parsed.get(), CURLUPART_USER, CURLU_URLDECODE, username);
  const bool pass = platform::UrlPart(parsed.get(), CURLUPART_PASSWORD, CURLU_URLDECODE, password);
  return user || pass;
}

std::string viewthread_request_path(const GroupRecord& record) {
  char text[96];
  switch (record.kind) {
    case EntryKind::Device:
      if (record.updateDelay >= 1000) return kSnapshotScript;
      if (record.updateDelay == 0) return kStreamScript;
      std::snprintf(text, sizeof text, "%s%sfps=%u", kStreamScript, "?", 1000u / record.updateDelay);
      return text;
    case EntryKind::ServerCamera:
      if (record.updateDelay >= 1000) {
        std::snprintf(text, sizeof text, "%s?%d", kSnapshotScript, record.cameraIndex);
      } else if (record.updateDelay == 0) {
        std::snprintf(text, sizeof text, "%s?%d", kStreamScript, record.cameraIndex);
      } else {
        std::snprintf(text, sizeof text, "%s?%d%sfps=%u", kStreamScript, record.cameraIndex, "&",
                      1000u / record.updateDelay);
      }
      return text;
    case EntryKind::HTTPDevice: {
      std::string target;
      if (!UrlRequestTarget(record.location, target) || !SafeRequestText(target)) {
        Log("InternetCrackUrl failed");
        return std::string();
      }
      return target;
    }
    default:
      return std::string();
  }
}

std::string CameraUserAgent() {
  std::string product = kProductName;
  for (char& c : product) {
    if (c == ' ') c = '_';
  }
  return product + "/" + VersionString();
}

std::string BasicCredentials(const std::string& username, const std::string& password) {
  if (username.empty() && password.empty()) return std::string();
  // The credentials go out as their UTF-8 bytes (the program's one 8-bit character set).
  return Base64Encode(username + ":" + password);
}

bool RequestCredentials(const GroupRecord& record, std::string& username, std::string& password) {
  username = record.username;
  password = record.password;
  // A web image may carry its credentials in its URL, as http_get takes them; the
  // device's own fields come first.
  if (username.empty() && password.empty() && record.kind == EntryKind::HTTPDevice)
    UrlCredentials(record.location, username, password);
  return !username.empty() || !password.empty();
}

std::string CameraRequestText(GroupRecord& record) {
  std::string text = "GET ";
  const std::string target = viewthread_request_path(record);
  text += target;
  text += " HTTP/1.0\r\n";
  text += "Host: ";
  text += record.live.host;
  // The scheme's own port is left out (443 for an HTTPS camera).
  const bool https = IsHttpsUrl(record.location);
  if (record.live.port != 0 && record.live.port != (https ? 443 : 80)) text += ":" + std::to_string(record.live.port);
  text += "\r\n";
  text += "User-Agent: " + CameraUserAgent() + "\r\n";
  std::string username;
  std::string password;
  RequestCredentials(record, username, password);
  // A camera that sent a Digest challenge gets the answer to it instead of Basic; Basic
  // goes out only where BasicAllowed says so (the camera asked, or the device sends
  // its password unasked).
  const std::string digest = DigestRequestAuthorization(record, username, password, target);
  const std::string credentials =
      digest.empty() && BasicAllowed(record) ? BasicCredentials(username, password) : std::string();
  NoteBasicSent(record, !credentials.empty());
  std::string logged = text;
  if (!digest.empty()) {
    text += "Authorization: " + digest + "\r\n";
    logged += "Authorization: Digest ***\r\n";
  } else if (!credentials.empty()) {
    text += "Authorization: Basic " + credentials + "\r\n";
    // The encoded credentials are the password in clear to anyone who reads the log.
    logged += "Authorization: Basic ***\r\n";
  }
  LogDeviceLevel(3, record.debugLevel, "REQUEST (%d bytes)[%s]", static_cast<int>(text.size()),
                 logged.c_str());
  text += "\r\n";
  return text;
}

}  // namespace velmora
