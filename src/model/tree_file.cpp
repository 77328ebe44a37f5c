#include "model/tree_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "app/helpers.h"
#include "app/log.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace velmora {

// ---------------------------------------------------------------------------
// Number and list texts

uint32_t ParseFileNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' ||
                             text[i] == '\n' || text[i] == '\v' || text[i] == '\f'))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  unsigned base = 10;
  auto isHex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  if (i < text.size() && text[i] == '0') {
    if (i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && isHex(text[i + 2])) {
      base = 16;
      i += 2;
    } else {
      base = 8;
    }
  }
  uint64_t value = 0;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    if (!overflow) {
      value = value * base + digit;
      if (value > UINT32_MAX) overflow = true;
    }
  }
  if (overflow) return UINT32_MAX;
  uint32_t result = static_cast<uint32_t>(value);
  return negative ? 0u - result : result;
}

namespace {
// Reads an optionally signed decimal number at the start of the text (after blanks).
std::optional<int32_t> ReadSignedDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' ||
                             text[i] == '\n'))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value <= INT32_MAX) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}
}  // namespace

int32_t ParseSignedDecimal(std::string_view text) { return ReadSignedDecimal(text).value_or(0); }

void ParseIndexList(std::string_view text, bool* flags, int count) {
  for (int i = 0; i < count; ++i) flags[i] = false;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    std::string_view item =
        text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    if (auto index = ReadSignedDecimal(item); index && *index >= 0 && *index < count)
      flags[*index] = true;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
}

std::string IndexListText(const bool* flags, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (!flags[i]) continue;
    if (!text.empty()) text += ',';
    text += std::to_string(i);
  }
  return text;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

const char* BoolText(bool value) { return value ? "true" : "false"; }

void AddValue(XmlElement& element, const char* name, std::string value) {
  element.add(name, std::move(value));
}
void AddIfNotEmpty(XmlElement& element, const char* name, const std::string& value) {
  if (!value.empty()) element.add(name, value);
}
void AddBool(XmlElement& element, const char* name, bool value) {
  element.add(name, BoolText(value));
}

XmlElement NamedElement(const char* elementName, const GroupRecord& record) {
  XmlElement element(elementName);
  // The name as the reader will take it, so that the file reads back as written even
  // for a name that reached the tree without passing the name rule.
  element.setAttribute("name", CleanName(record.name));
  return element;
}

void AddRecordingBlock(XmlElement& element, const GroupRecord& r) {
  AddBool(element, "Recording", r.recording);
  AddValue(element, "UpdateDelay", std::to_string(r.updateDelay));
  AddValue(element, "ArchiveTime", std::to_string(r.archiveTime));

  XmlElement& schedule = element.add("Schedule");
  AddBool(schedule, "Enabled", r.scheduleEnabled);
  AddValue(schedule, "DaysOfWeek", IndexListText(r.daysOfWeek.data(), 7));
  AddValue(schedule, "HoursOfDay", IndexListText(r.hoursOfDay.data(), 24));

  XmlElement& motion = element.add("Motion");
  motion.setAttribute("type", std::to_string(static_cast<int32_t>(r.motionType)));
  AddBool(motion, "Enabled", r.motionEnabled);
  AddBool(motion, "Alert", r.motionAlert);
  AddBool(motion, "IgnoreGradualChanges", r.ignoreGradualChanges);
  AddBool(motion, "RequireMultipleZones", r.requireMultipleZones);
  AddBool(motion, "Show", r.motionShow);
  AddValue(motion, "Sensitivity", std::to_string(r.sensitivity));
  char grid[16];
  std::snprintf(grid, sizeof grid, "0x%x", static_cast<unsigned>(r.grid4x4));
  AddValue(motion, "Grid4x4", grid);
}

void AddPassword(XmlElement& element, const GroupRecord& r) {
  if (!r.password.empty()) element.add("Password", Base64Encode(r.password));
}

// How the device authenticates, and whether it gets its password only when it asks.
// Written only when set, so the entry of a device that sends it unasked reads as in
// files without them.
void AddAuthentication(XmlElement& element, const GroupRecord& r, bool scheme, bool onlyWhenAsked) {
  if (scheme) AddIfNotEmpty(element, "AuthScheme", r.authScheme);
  if (onlyWhenAsked && r.sendPasswordOnlyWhenAsked) AddBool(element, "SendPasswordOnlyWhenAsked", true);
}

}  // namespace

namespace {

// The local NVR holds groups, a group holds devices; other children are not saved.
XmlElement LocalNvrElement(const GroupRecord& r) {
  XmlElement element = NamedElement("LocalNVR", r);
  for (const auto& child : r.children) {
    if (child->kind == EntryKind::Group) element.children.push_back(EntryElement(*child));
  }
  return element;
}

XmlElement GroupElement(const GroupRecord& r) {
  XmlElement element = NamedElement("Group", r);
  for (const auto& child : r.children) {
    if (child->kind >= EntryKind::Device && child->kind <= EntryKind::NASDevice)
      element.children.push_back(EntryElement(*child));
  }
  return element;
}

// A camera of its own: a network device (with its hardware address and a clock that is
// synced) or an HTTP device (neither).
XmlElement CameraDeviceElement(const char* tag, const GroupRecord& r) {
  const bool networkDevice = r.kind == EntryKind::Device;
  XmlElement element = NamedElement(tag, r);
  AddIfNotEmpty(element, "UUID", r.uuid);
  if (networkDevice) AddIfNotEmpty(element, "HWAddr", r.hwAddr);
  AddIfNotEmpty(element, "Location", r.location);
  AddIfNotEmpty(element, "Username", r.username);
  AddPassword(element, r);
  AddIfNotEmpty(element, "Certificate", r.certificate);
  AddAuthentication(element, r, true, true);
  AddValue(element, "DebugLevel", std::to_string(r.debugLevel));
  AddBool(element, "Enabled", r.enabled);
  if (networkDevice) AddBool(element, "SyncTime", r.syncTime);
  AddRecordingBlock(element, r);
  return element;
}

// A video server, with its cameras in a camera list.
XmlElement ServerDeviceElement(const GroupRecord& r) {
  XmlElement element = NamedElement("ServerDevice", r);
  AddIfNotEmpty(element, "UUID", r.uuid);
  AddIfNotEmpty(element, "HWAddr", r.hwAddr);
  AddIfNotEmpty(element, "Location", r.location);
  AddIfNotEmpty(element, "Username", r.username);
  AddPassword(element, r);
  AddAuthentication(element, r, false, true);
  AddBool(element, "SyncTime", r.syncTime);
  if (!r.children.empty()) {
    XmlElement& list = element.add("CameraList");
    for (const auto& child : r.children) {
      if (child->kind == EntryKind::ServerCamera) list.children.push_back(EntryElement(*child));
    }
  }
  return element;
}

// A camera of a video server: reached through the server's address and credentials.
XmlElement ServerCameraElement(const GroupRecord& r) {
  XmlElement element = NamedElement("Camera", r);
  AddIfNotEmpty(element, "UUID", r.uuid);
  AddIfNotEmpty(element, "Certificate", r.certificate);
  AddAuthentication(element, r, true, false);
  AddValue(element, "DebugLevel", std::to_string(r.debugLevel));
  AddValue(element, "Index", std::to_string(r.cameraIndex));
  AddBool(element, "Enabled", r.enabled);
  AddRecordingBlock(element, r);
  return element;
}

XmlElement NasDeviceElement(const GroupRecord& r) {
  XmlElement element = NamedElement("NASDevice", r);
  AddIfNotEmpty(element, "UUID", r.uuid);
  AddIfNotEmpty(element, "Location", r.location);
  AddValue(element, "DebugLevel", std::to_string(r.debugLevel));
  AddBool(element, "Enabled", r.enabled);
  AddValue(element, "UpdateDelay", std::to_string(r.updateDelay));
  return element;
}

}  // namespace

XmlElement EntryElement(const GroupRecord& r) {
  switch (r.kind) {
    case EntryKind::LocalNVR: return LocalNvrElement(r);
    case EntryKind::Group: return GroupElement(r);
    case EntryKind::Device: return CameraDeviceElement("Device", r);
    case EntryKind::ServerDevice: return ServerDeviceElement(r);
    case EntryKind::ServerCamera: return ServerCameraElement(r);
    case EntryKind::HTTPDevice: return CameraDeviceElement("HTTPDevice", r);
    case EntryKind::NASDevice: return NasDeviceElement(r);
    default: return XmlElement();
  }
}

std::string TreeFileText(const GroupRecord& root) {
  XmlElement document("DeviceTree");
  document.setAttribute("version", "1.0");
  for (const auto& child : root.children) {
    if (child->kind == EntryKind::LocalNVR) document.children.push_back(EntryElement(*child));
  }
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";
  WriteXmlElement(document, 0, "\r\n", out);
  return out;
}

bool SaveTree(const DeviceTree& tree) {
  const std::string& filePath = tree.filePath;
  const GroupRecord* root = tree.root.get();
  // Without a tree there is nothing to save, and an empty file must never replace a
  // good one.
  if (root == nullptr || filePath.empty()) return false;
  const std::string temp = filePath + ".tmp";
  const char* failedCall = nullptr;
  if (platform::WriteFileAtomic(filePath, TreeFileText(*root), &failedCall)) return true;
  const int error = errno;
  const std::string call = failedCall != nullptr ? failedCall : "write";
  if (call == "open") {
    Log("error %u opening device list file '%s'", static_cast<unsigned>(error), temp.c_str());
  } else if (call == "rename") {
    Log("error %u moving device list file '%s'", static_cast<unsigned>(error), temp.c_str());
  } else {
    errno = error;
    LogLastError(call.c_str());
  }
  return false;
}

// ---------------------------------------------------------------------------
// Reading

namespace {

constexpr const char* kDocumentChild = "XMLDocumentChild::operator ()";
constexpr const char* kDeviceTreeChild = "XMLDeviceTreeChild::operator ()";
constexpr const char* kLocalNVRChild = "XMLLocalNVRChild::operator ()";
constexpr const char* kGroupChild = "XMLGroupChild::operator ()";
constexpr const char* kDeviceChild = "XMLDeviceChild::operator ()";
constexpr const char* kServerDeviceChild = "XMLServerDeviceChild::operator ()";
constexpr const char* kCameraListChild = "XMLCameraListChild::operator ()";
constexpr const char* kCameraChild = "XMLCameraChild::operator ()";
constexpr const char* kHTTPDeviceChild = "XMLHTTPDeviceChild::operator ()";
constexpr const char* kNASDeviceChild = "XMLNASDeviceChild::operator ()";
constexpr const char* kScheduleChild = "XMLScheduleChild::operator ()";
constexpr const char* kMotionChild = "XMLMotionChild::operator ()";

// New LocalNVR, group and video-server entries one load may create. Together with the
// viewable bound this keeps a hostile file from growing the tree without end.
constexpr int kMaxLoadContainers = 1024;

void Unexpected(const char* handler, const XmlElement& element) {
  Log("%s: unexpected element type '%s'", handler, element.name.c_str());
}

// The `name` attribute of an entry element: "???" when missing, else cleaned by the one
// rule for names from outside (CleanName): names become folders under the recordings
// folder and must read back from the file as they were written.
std::string LoadedName(const XmlElement& element) {
  const std::string* attribute = element.attribute("name");
  if (attribute == nullptr) return "???";
  return CleanName(*attribute);
}

bool IsTrue(const XmlElement& element) { return element.text == "true"; }

// The bookkeeping of one load, paste or import.
class LoadContext {
 public:
  // recordings: the folder the entries' newest images are read from (empty: none are);
  // ownFile: the tree file kept as a dated copy before a file of another version is
  // taken over (empty: none is kept).
  LoadContext(GroupRecord& top, const std::string& recordings, const std::string& ownFile)
      : recordings_(recordings), ownFile_(ownFile), treeViewable_(CountViewable(&top)) {}

  const std::string& recordings() const { return recordings_; }
  const std::string& ownFile() const { return ownFile_; }

  // No further viewable entry may be inserted: 1024 by this load, or 1024 in the tree.
  bool viewableLimitReached() const {
    return insertedViewable_ >= kMaxViewableEntries || treeViewable_ >= kMaxViewableEntries;
  }
  bool containerLimitReached() {
    if (createdContainers_ < kMaxLoadContainers) return false;
    if (!containerLimitLogged_) {
      containerLimitLogged_ = true;
      Log("%s: more than %d new groups and servers, the rest is dropped", kGroupChild,
          kMaxLoadContainers);
    }
    return true;
  }
  int insertedViewable() const { return insertedViewable_; }

  // The first child of `parent` of that kind whose name equals `name` ignoring case.
  GroupRecord* findChild(GroupRecord& parent, int32_t kind, const std::string& name) {
    ChildIndex& index = indexOf(parent);
    auto it = index.byKindAndName.find(KindKey(kind, FoldCase(name)));
    return it == index.byKindAndName.end() ? nullptr : it->second;
  }

  // `name`, or "%s (%d)" with 1..999 when taken among the children of `parent`;
  // nothing when all 1000 names are taken.
  std::optional<std::string> uniqueName(GroupRecord& parent, const std::string& name) {
    ChildIndex& index = indexOf(parent);
    const std::string folded = FoldCase(name);
    if (index.names.count(folded) == 0) return name;
    // Names are only added while a load runs, so numbers tried before stay taken.
    int& next = index.nextNumber[folded];
    if (next == 0) next = 1;
    for (; next < kMaxNameCandidates; ++next) {
      std::string candidate = NumberedName(name, next);
      if (index.names.count(FoldCase(candidate)) == 0) return candidate;
    }
    return std::nullopt;
  }

  void insert(GroupRecord& parent, const std::shared_ptr<GroupRecord>& child) {
    InsertEntry(&parent, child);
    auto it = indexes_.find(&parent);
    if (it != indexes_.end()) it->second.add(*child);
    if (IsViewableKind(child->kind)) {
      ++insertedViewable_;
      ++treeViewable_;
    } else {
      ++createdContainers_;
    }
  }

 private:
  struct ChildIndex {
    std::unordered_set<std::string> names;                          // folded names
    std::unordered_map<std::string, GroupRecord*> byKindAndName;    // first of each
    std::unordered_map<std::string, int> nextNumber;                // folded base name
    void add(GroupRecord& child) {
      std::string folded = FoldCase(child.name);
      byKindAndName.emplace(KindKey(child.kind, folded), &child);
      names.insert(std::move(folded));
    }
  };

  static std::string KindKey(int32_t kind, const std::string& folded) {
    return std::to_string(kind) + ":" + folded;
  }

  ChildIndex& indexOf(GroupRecord& parent) {
    auto [it, created] = indexes_.try_emplace(&parent);
    if (created) {
      for (auto& child : parent.children) it->second.add(*child);
    }
    return it->second;
  }

  std::unordered_map<const GroupRecord*, ChildIndex> indexes_;
  const std::string& recordings_;
  const std::string& ownFile_;
  int treeViewable_;
  int insertedViewable_ = 0;
  int createdContainers_ = 0;
  bool containerLimitLogged_ = false;
};

// Loads the newest recorded image of an entry as its still.
void LoadNewestImage(GroupRecord& record, const std::string& recordings) {
  NewestImages* images = Installed<NewestImages>::get();
  if (images == nullptr || recordings.empty()) return;
  const std::string folder = record.kind == EntryKind::NASDevice ? record.location : recordings + record.path;
  if (auto image = images->newestImage(record, folder)) {
    record.savedImage = std::move(image);
    record.savedCaption = "Last image from " + record.name;
  }
}

// Value elements of the device elements.
enum Field : unsigned {
  kUuid = 1u << 0,
  kHwAddr = 1u << 1,
  kLocation = 1u << 2,
  kUsername = 1u << 3,
  kPassword = 1u << 4,
  kDebugLevel = 1u << 5,
  kEnabled = 1u << 6,
  kSyncTime = 1u << 7,
  kIndex = 1u << 8,
  kRecording = 1u << 9,
  kUpdateDelay = 1u << 10,
  kArchiveTime = 1u << 11,
  kSchedule = 1u << 12,
  kMotion = 1u << 13,
  kCertificate = 1u << 14,
  kAuthScheme = 1u << 15,
  kOnlyWhenAsked = 1u << 16,
};
constexpr unsigned kRecordingBlock = kRecording | kUpdateDelay | kArchiveTime | kSchedule | kMotion;
constexpr unsigned kDeviceFields = kUuid | kHwAddr | kLocation | kUsername | kPassword | kDebugLevel | kEnabled |
                                   kSyncTime | kRecordingBlock | kCertificate | kAuthScheme | kOnlyWhenAsked;
constexpr unsigned kServerFields = kUuid | kHwAddr | kLocation | kUsername | kPassword | kSyncTime | kOnlyWhenAsked;
constexpr unsigned kCameraFields =
    kUuid | kDebugLevel | kIndex | kEnabled | kRecordingBlock | kCertificate | kAuthScheme;
constexpr unsigned kHTTPFields = kUuid | kLocation | kUsername | kPassword | kDebugLevel | kEnabled |
                                 kRecordingBlock | kCertificate | kAuthScheme | kOnlyWhenAsked;
constexpr unsigned kNASFields = kUuid | kLocation | kDebugLevel | kEnabled | kUpdateDelay;

struct XMLScheduleChild {
  GroupRecord& record;
  void operator()(const XmlElement& e) const {
    if (e.name == "Enabled") {
      record.scheduleEnabled = IsTrue(e);
    } else if (e.name == "DaysOfWeek") {
      ParseIndexList(e.text, record.daysOfWeek.data(), 7);
    } else if (e.name == "HoursOfDay") {
      ParseIndexList(e.text, record.hoursOfDay.data(), 24);
    } else {
      Unexpected(kScheduleChild, e);
    }
  }
};

struct XMLMotionChild {
  GroupRecord& record;
  void operator()(const XmlElement& e) const {
    if (e.name == "Enabled") {
      record.motionEnabled = IsTrue(e);
    } else if (e.name == "Alert") {
      record.motionAlert = IsTrue(e);
    } else if (e.name == "IgnoreGradualChanges") {
      record.ignoreGradualChanges = IsTrue(e);
    } else if (e.name == "RequireMultipleZones") {
      record.requireMultipleZones = IsTrue(e);
    } else if (e.name == "Show") {
      record.motionShow = IsTrue(e);
    } else if (e.name == "Sensitivity") {
      record.sensitivity = ParseFileNumber(e.text);
    } else if (e.name == "Grid4x4") {
      record.grid4x4 = static_cast<uint16_t>(ParseFileNumber(e.text));
    } else {
      Unexpected(kMotionChild, e);
    }
  }
};

// The SHA-256 fingerprint an HTTPS device was pinned to: 64 hexadecimal digits, kept
// in lower case. Anything else keeps nothing, so the device pins again on first use.
std::string CertificateText(const std::string& text) {
  if (text.size() != 64) return std::string();
  std::string out = AsciiLower(text);
  for (char c : out) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::string();
  }
  return out;
}

// Sets the field of one value element when `accepted` holds it; false otherwise.
bool ReadValue(GroupRecord& r, const XmlElement& e, unsigned accepted) {
  const std::string& n = e.name;
  auto has = [accepted](Field field) { return (accepted & field) != 0; };
  if (n == "UUID" && has(kUuid)) {
    r.uuid = e.text;
  } else if (n == "HWAddr" && has(kHwAddr)) {
    r.hwAddr = e.text;
  } else if (n == "Location" && has(kLocation)) {
    r.location = e.text;
  } else if (n == "Username" && has(kUsername)) {
    r.username = e.text;
  } else if (n == "Password" && has(kPassword)) {
    r.password = Base64Decode(e.text);
  } else if (n == "Certificate" && has(kCertificate)) {
    r.certificate = CertificateText(e.text);
  } else if (n == "AuthScheme" && has(kAuthScheme)) {
    // Only a scheme this program acts on is kept; anything else reads as none known.
    r.authScheme = e.text == kAuthSchemeDigest ? kAuthSchemeDigest : "";
  } else if (n == "SendPasswordOnlyWhenAsked" && has(kOnlyWhenAsked)) {
    r.sendPasswordOnlyWhenAsked = IsTrue(e);
  } else if (n == "DebugLevel" && has(kDebugLevel)) {
    r.debugLevel = static_cast<int32_t>(ParseFileNumber(e.text));
  } else if (n == "Enabled" && has(kEnabled)) {
    r.enabled = IsTrue(e);
  } else if (n == "SyncTime" && has(kSyncTime)) {
    r.syncTime = IsTrue(e);
  } else if (n == "Index" && has(kIndex)) {
    r.cameraIndex = static_cast<int32_t>(ParseFileNumber(e.text));
  } else if (n == "Recording" && has(kRecording)) {
    r.recording = IsTrue(e);
  } else if (n == "UpdateDelay" && has(kUpdateDelay)) {
    r.updateDelay = ParseFileNumber(e.text);
  } else if (n == "ArchiveTime" && has(kArchiveTime)) {
    r.archiveTime = static_cast<int32_t>(ParseFileNumber(e.text));
  } else if (n == "Schedule" && has(kSchedule)) {
    for (const auto& child : e.children) XMLScheduleChild{r}(child);
  } else if (n == "Motion" && has(kMotion)) {
    const std::string* type = e.attribute("type");
    r.motionType = static_cast<uint32_t>(type != nullptr ? ParseSignedDecimal(*type) : 0) & 3u;
    for (const auto& child : e.children) XMLMotionChild{r}(child);
  } else {
    return false;
  }
  return true;
}

struct XMLDeviceChild {
  GroupRecord& record;
  void operator()(const XmlElement& e) const {
    if (!ReadValue(record, e, kDeviceFields)) Unexpected(kDeviceChild, e);
  }
};

struct XMLHTTPDeviceChild {
  GroupRecord& record;
  void operator()(const XmlElement& e) const {
    if (!ReadValue(record, e, kHTTPFields)) Unexpected(kHTTPDeviceChild, e);
  }
};

struct XMLNASDeviceChild {
  GroupRecord& record;
  void operator()(const XmlElement& e) const {
    if (!ReadValue(record, e, kNASFields)) Unexpected(kNASDeviceChild, e);
  }
};

struct XMLCameraChild {
  GroupRecord& record;
  void operator()(const XmlElement& e) const {
    if (!ReadValue(record, e, kCameraFields)) Unexpected(kCameraChild, e);
  }
};

struct XMLCameraListChild {
  const GroupRecord& server;
  std::vector<std::shared_ptr<GroupRecord>>& cameras;
  bool& surplusLogged;
  void operator()(const XmlElement& e) const {
    if (e.name != "Camera") {
      Unexpected(kCameraListChild, e);
      return;
    }
    // A video server has at most 16 camera inputs.
    if (cameras.size() >= static_cast<std::size_t>(kMaxServerCameras)) {
      if (!surplusLogged) {
        surplusLogged = true;
        Log("%s: more than %d cameras in '%s', the rest is dropped", kCameraListChild,
            kMaxServerCameras, server.name.c_str());
      }
      return;
    }
    auto camera = CreateRecord(EntryKind::ServerCamera, LoadedName(e));
    for (const auto& child : e.children) XMLCameraChild{*camera}(child);
    if (camera->uuid.empty()) camera->uuid = NewUuidText();
    cameras.push_back(std::move(camera));
  }
};

struct XMLServerDeviceChild {
  GroupRecord& record;
  std::vector<std::shared_ptr<GroupRecord>>& cameras;
  bool& surplusLogged;
  void operator()(const XmlElement& e) const {
    if (e.name == "CameraList") {
      for (const auto& child : e.children)
        XMLCameraListChild{record, cameras, surplusLogged}(child);
    } else if (!ReadValue(record, e, kServerFields)) {
      Unexpected(kServerDeviceChild, e);
    }
  }
};

struct XMLGroupChild {
  GroupRecord& group;
  LoadContext& context;

  void operator()(const XmlElement& e) const {
    int32_t kind;
    if (e.name == "Device") {
      kind = EntryKind::Device;
    } else if (e.name == "ServerDevice") {
      kind = EntryKind::ServerDevice;
    } else if (e.name == "HTTPDevice") {
      kind = EntryKind::HTTPDevice;
    } else if (e.name == "NASDevice") {
      kind = EntryKind::NASDevice;
    } else {
      Unexpected(kGroupChild, e);
      return;
    }
    // Past the bounds nothing of the entry would be kept: drop it before reading it.
    if (context.viewableLimitReached()) return;
    if (kind == EntryKind::ServerDevice && context.containerLimitReached()) return;

    auto record = CreateRecord(kind, LoadedName(e));
    std::vector<std::shared_ptr<GroupRecord>> cameras;
    bool surplusLogged = false;
    for (const auto& child : e.children) {
      switch (kind) {
        case EntryKind::Device: XMLDeviceChild{*record}(child); break;
        case EntryKind::ServerDevice:
          XMLServerDeviceChild{*record, cameras, surplusLogged}(child);
          break;
        case EntryKind::HTTPDevice: XMLHTTPDeviceChild{*record}(child); break;
        default: XMLNASDeviceChild{*record}(child); break;
      }
    }
    if (record->uuid.empty()) record->uuid = NewUuidText();
    std::optional<std::string> name = context.uniqueName(group, record->name);
    if (!name) return;  // 1000 entries of this name: dropped
    record->name = std::move(*name);
    record->path = ComputePath(&group, kind, record->name);
    LoadNewestImage(*record, context.recordings());
    context.insert(group, record);

    for (auto& camera : cameras) {
      if (context.viewableLimitReached()) break;
      // Each camera records into its own folder, so names are unique in the server too.
      std::optional<std::string> cameraName = context.uniqueName(*record, camera->name);
      if (!cameraName) continue;
      camera->name = std::move(*cameraName);
      camera->path = ComputePath(record.get(), camera->kind, camera->name);
      camera->location = record->location;
      camera->username = record->username;
      camera->password = record->password;
      camera->sendPasswordOnlyWhenAsked = record->sendPasswordOnlyWhenAsked;
      LoadNewestImage(*camera, context.recordings());
      context.insert(*record, camera);
    }
  }
};

struct XMLLocalNVRChild {
  GroupRecord& localNvr;
  LoadContext& context;
  void operator()(const XmlElement& e) const {
    if (e.name != "Group") {
      Unexpected(kLocalNVRChild, e);
      return;
    }
    std::string name = LoadedName(e);
    GroupRecord* group = context.findChild(localNvr, EntryKind::Group, name);
    if (group == nullptr) {
      if (context.containerLimitReached()) return;
      // A group's recordings folder is its bare name: a group of that name under another
      // recorder entry would share it, so the new one is numbered.
      std::optional<std::string> free;
      for (int number = 0; number < kMaxNameCandidates && !free; ++number) {
        std::string candidate = number == 0 ? name : NumberedName(name, number);
        if (!NameInUse(localNvr, EntryKind::Group, candidate)) free = std::move(candidate);
      }
      if (!free) return;
      name = std::move(*free);
      auto created = CreateRecord(EntryKind::Group, name);
      created->path = ComputePath(&localNvr, EntryKind::Group, name);
      context.insert(localNvr, created);
      group = created.get();
    }
    for (const auto& child : e.children) XMLGroupChild{*group, context}(child);
  }
};

struct XMLDeviceTreeChild {
  GroupRecord& root;
  LoadContext& context;
  void operator()(const XmlElement& e) const {
    if (e.name != "LocalNVR") {
      Unexpected(kDeviceTreeChild, e);
      return;
    }
    std::string name = LoadedName(e);
    // Only a top entry of the same kind is merged into; a group or device that happens
    // to carry the name must not receive groups.
    GroupRecord* localNvr = context.findChild(root, EntryKind::LocalNVR, name);
    if (localNvr == nullptr) {
      if (context.containerLimitReached()) return;
      auto created = CreateRecord(EntryKind::LocalNVR, name);
      context.insert(root, created);
      localNvr = created.get();
    }
    for (const auto& child : e.children) XMLLocalNVRChild{*localNvr, context}(child);
  }
};

// Keeps the program's own tree file as "<file>.<YYYYMMDD>" before a file of another
// version is taken over, replacing a copy made earlier that day.
void MakeDatedCopy(const std::string& own) {
  if (own.empty()) return;
  std::time_t now = platform::WallSeconds();
  std::tm local{};
  char date[16] = "";
  if (localtime_r(&now, &local) == nullptr || std::strftime(date, sizeof date, "%Y%m%d", &local) == 0)
    return;
  std::error_code error;
  const std::string copy = own + "." + date;
  std::filesystem::copy_file(own, copy, std::filesystem::copy_options::overwrite_existing, error);
  if (error) {
    errno = error.value();
    LogLastError("copy_file");
    return;
  }
  // The copy holds the same camera passwords as the tree file: private like it.
  platform::MakePrivate(copy);
}

struct XMLDocumentChild {
  GroupRecord& root;
  LoadContext& context;
  DocumentVersion* read;  // receives the element's version; may be null
  void operator()(const XmlElement& e) const {
    if (e.name != "DeviceTree") {
      Unexpected(kDocumentChild, e);
      return;
    }
    DocumentVersion version{0, 0};
    if (const std::string* text = e.attribute("version")) {
      std::sscanf(text->c_str(), "%d.%d", &version.versionMajor, &version.versionMinor);
    }
    if (read != nullptr) *read = version;
    if (version.versionMajor != 1 || version.versionMinor != 0) MakeDatedCopy(context.ownFile());
    for (const auto& child : e.children) XMLDeviceTreeChild{root, context}(child);
  }
};



}  // namespace

bool GroupChildrenCanBeNamed(const GroupRecord& group, const XmlElement& parentElement) {
  std::unordered_set<std::string> names;
  for (const auto& child : group.children) names.insert(FoldCase(child->name));
  for (const auto& element : parentElement.children) {
    if (element.name != "Device" && element.name != "ServerDevice" && element.name != "HTTPDevice" &&
        element.name != "NASDevice")
      continue;
    const std::string name = LoadedName(element);
    bool named = false;
    for (int number = 0; number < kMaxNameCandidates && !named; ++number) {
      std::string folded = FoldCase(number == 0 ? name : NumberedName(name, number));
      named = names.insert(std::move(folded)).second;
    }
    if (!named) return false;
  }
  return true;
}

int InsertGroupChildren(const DeviceTree& tree, GroupRecord& group, const XmlElement& parentElement) {
  LoadContext context(TopOf(group), tree.recordingsFolder, tree.filePath);
  for (const auto& child : parentElement.children) XMLGroupChild{group, context}(child);
  return context.insertedViewable();
}

namespace {

int LoadDocument(GroupRecord& root, std::string_view text, const std::string& sourceName, DocumentVersion* version,
                 const std::string& recordings, const std::string& ownFile) {
  XmlElement document;
  XmlParseResult parsed = ParseXml(text, document);
  if (!parsed.ok) {
    Log("%s [%d]: %s", sourceName.c_str(), static_cast<int>(parsed.line),
        parsed.errorText.c_str());
  }
  LoadContext context(root, recordings, ownFile);
  for (const auto& child : document.children) XMLDocumentChild{root, context, version}(child);
  return context.insertedViewable();
}

}  // namespace

int LoadTreeText(GroupRecord& root, std::string_view text, const std::string& sourceName, DocumentVersion* version) {
  return LoadDocument(root, text, sourceName, version, {}, {});
}

int LoadTreeText(DeviceTree& tree, std::string_view text, const std::string& sourceName, DocumentVersion* version) {
  return LoadDocument(tree.ensureRoot(), text, sourceName, version, tree.recordingsFolder, tree.filePath);
}

bool LoadTree(DeviceTree& tree, const std::string& filePath, DocumentVersion* version) {
  tree.ensureRoot();
  int fd = ::open(filePath.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd >= 0) {
    // Only a regular file is a tree file (a folder or a device would never end).
    int error = 0;
    if (::fstat(fd, &info) != 0) {
      error = errno;
    } else if (S_ISDIR(info.st_mode)) {
      error = EISDIR;
    } else if (!S_ISREG(info.st_mode)) {
      error = EINVAL;
    }
    if (error != 0) {
      ::close(fd);
      fd = -1;
      errno = error;
    }
  }
  if (fd < 0) {
    Log("error %u opening device list file '%s'", static_cast<unsigned>(errno), filePath.c_str());
    return false;
  }
  std::string text;
  text.reserve(static_cast<std::size_t>(
      std::min<uint64_t>(static_cast<uint64_t>(info.st_size), kMaxTreeFileBytes)));
  char buffer[65536];
  bool cut = false;
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      LogLastError("read");
      break;
    }
    if (n == 0) break;
    std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(n),
                                              kMaxTreeFileBytes - text.size());
    text.append(buffer, take);
    if (take < static_cast<std::size_t>(n)) {
      cut = true;
      break;
    }
  }
  ::close(fd);
  if (text.empty()) {
    Log("empty device list file '%s'", filePath.c_str());
    return false;
  }
  if (cut) {
    Log("GroupListCreateFromXML: '%s' is larger than %zu bytes; the rest is not read",
        filePath.c_str(), kMaxTreeFileBytes);
  }
  LoadTreeText(tree, text, filePath, version);
  return true;
}

bool InitTree(DeviceTree& tree, const std::string& filePath) {
  GroupRecord& root = tree.ensureRoot();
  bool loaded = LoadTree(tree, filePath);
  if (loaded && !root.children.empty()) return true;

  Log("creating default group list");
  // A failed import into a running tree must not add a second top entry or group of
  // the same names: existing ones are reused.
  const std::string nvrName = "All Views";
  const std::string groupName = "Local Network Cameras";
  GroupRecord* localNvr = nullptr;
  for (auto& child : root.children) {
    if (child->kind == EntryKind::LocalNVR && NamesEqual(child->name, nvrName)) {
      localNvr = child.get();
      break;
    }
  }
  if (localNvr == nullptr) {
    auto created = CreateRecord(EntryKind::LocalNVR, nvrName);
    InsertEntry(&root, created);
    localNvr = created.get();
  }
  for (auto& child : localNvr->children) {
    if (child->kind == EntryKind::Group && NamesEqual(child->name, groupName)) return loaded;
  }
  auto group = CreateRecord(EntryKind::Group, groupName);
  group->path = groupName;
  InsertEntry(localNvr, group);
  return loaded;
}

}  // namespace velmora
