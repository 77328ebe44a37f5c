#include "net/http_listing.h"

#include <algorithm>
#include <cstdio>

#include "app/paths.h"
#include "model/group_record.h"
#include "net/http_response.h"
#include "platform/clock.h"

namespace velmora::net {

namespace {

// Devices appear in the listings only while they are enabled and recording.
bool IsListedDevice(const GroupRecord& node) {
  return (node.kind == EntryKind::Device || node.kind == EntryKind::HTTPDevice ||
          node.kind == EntryKind::ServerCamera) &&
         node.enabled && node.recording;
}

// The tree path with "/" between the names (a backslash from an older tree counts too).
std::string SlashPath(const std::string& path) {
  std::string out = path;
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

void ListXml(const std::vector<std::shared_ptr<GroupRecord>>& items, std::string& out) {
  for (const auto& item : items) {
    const GroupRecord& node = *item;
    switch (node.kind) {
      case EntryKind::LocalNVR:
        ListXml(node.children, out);
        break;
      case EntryKind::Group:
        out += "<group name=\"" + EscapeMarkup(node.name) + "\">\n";
        ListXml(node.children, out);
        out += "</group>\n";
        break;
      case EntryKind::ServerDevice:
        out += "<server name=\"" + EscapeMarkup(node.name) + "\">\n";
        ListXml(node.children, out);
        out += "</server>\n";
        break;
      default:
        if (IsListedDevice(node)) {
          char refresh[48];
          std::snprintf(refresh, sizeof refresh, "<refresh>%u</refresh>\n",
                        std::max<uint32_t>(node.updateDelay, 5000));
          out += "<device name=\"" + EscapeMarkup(node.name) + "\">\n";
          out += "<url>" + EscapeMarkup(SlashPath(node.path)) + "/image.jpg</url>\n";
          out += refresh;
          out += "</device>\n";
        }
        break;
    }
  }
}

void ListHtml(const std::vector<std::shared_ptr<GroupRecord>>& items, std::string& out) {
  for (const auto& item : items) {
    const GroupRecord& node = *item;
    switch (node.kind) {
      case EntryKind::LocalNVR:
      case EntryKind::ServerDevice:
        ListHtml(node.children, out);
        break;
      case EntryKind::Group:
        out += "<b>" + EscapeMarkup(node.name) + "</b><br>\n";
        ListHtml(node.children, out);
        out += "<hr>\n";
        break;
      default:
        if (IsListedDevice(node)) {
          const std::string link = EscapeMarkup(EscapeLinkPath(node.path) + "/image.jpg");
          const std::string name = EscapeMarkup(node.name);
          out += "<a href=\"" + link + "\"><img src=\"" + link +
                 "\" width=\"160\" height=\"120\" alt=\"" + name + "\"></a>\n";
        }
        break;
    }
  }
}

void CollectFolders(const GroupRecord& node, TreeSnapshot& snapshot, std::unordered_set<std::string>& labels) {
  if (IsServableFolder(node.path)) {
    snapshot.nodeFolders.insert(SlashPath(node.path));
    if (IsRecordableKind(node.kind)) snapshot.deviceFolders.insert(SlashPath(node.path));
  }
  // Two series with one label would make the whole exposition invalid: a path met again
  // (which the naming rules should never allow) is shown once.
  if (IsRecordableKind(node.kind) && labels.insert(SlashPath(node.path)).second) {
    snapshot.devices.push_back(MonitoredDevice{SlashPath(node.path), node.updateDelay, node.counters});
  }
  for (const auto& child : node.children) CollectFolders(*child, snapshot, labels);
}

}  // namespace

bool IsServableFolder(std::string_view treePath) {
  if (treePath.empty() || treePath.front() == '/' || treePath.front() == '\\') return false;
  std::size_t start = 0;
  while (start <= treePath.size()) {
    std::size_t end = treePath.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = treePath.size();
    std::string_view part = treePath.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (part.find('\0') != std::string_view::npos || part.find('?') != std::string_view::npos)
      return false;
    start = end + 1;
  }
  return true;
}

std::string DeviceListing(const GroupRecord* root) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<root name=\"";
  out += kProductName;
  out += "\">\n";
  if (root != nullptr) ListXml(root->children, out);
  out += "</root>\n";
  return out;
}

std::string ThumbnailPage(const GroupRecord* root) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Velmora NVR</title>\n<style>img { border:0 }</style>\n</head>\n<body>\n";
  if (root != nullptr) ListHtml(root->children, out);
  out += "</body></html>";
  return out;
}

std::shared_ptr<const TreeSnapshot> TakeTreeSnapshot(const GroupRecord* root,
                                                     std::string recordingsFolder) {
  auto snapshot = std::make_shared<TreeSnapshot>();
  snapshot->recordingsFolder = WithSlash(std::move(recordingsFolder));
  snapshot->deviceListing = DeviceListing(root);
  snapshot->thumbnailPage = ThumbnailPage(root);
  std::unordered_set<std::string> labels;
  if (root != nullptr) CollectFolders(*root, *snapshot, labels);
  snapshot->takenMs = platform::SteadyMs();
  return snapshot;
}

}  // namespace velmora::net
