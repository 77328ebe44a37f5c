// The rules of the device property sheet that do not need widgets: which pages an entry
// gets, the labels and enabled states of the device page, the checks on OK, the
// update-rate table and how a delay finds its place on the rate slider, days to keep,
// the zone picker's cells and the recording-file counter.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::control {

// --- Pages ---
constexpr int kDeviceInfoPage = 0;
constexpr int kRecordInfoPage = 1;
constexpr int kSchedulePage = 2;

// The pages of an entry of `kind`, in order: the device page always, the recording page
// for kinds -2, 2, 4 and 5, the schedule page for kinds -2, 2 and 4.
std::vector<int> PropertyPagesOf(int32_t kind);

// --- Device page ---
struct DeviceInfoRules {
  const char* locationLabel;  // "&Hostname or IP:", "Folder &Path:" or "&URL:"
  bool locationReadOnly;      // a camera of a video server takes the server's address
  bool browseShown;           // storage folders pick their folder
  bool credentialsEnabled;    // user name and password
  bool syncTimeEnabled;       // cameras and video servers set their clocks
};
DeviceInfoRules DeviceInfoRulesOf(int32_t kind);
// The debug-level row shows when the level is set or Shift is held as the page opens.
inline bool DebugRowShown(int32_t debugLevel, bool shiftHeld) { return debugLevel != 0 || shiftHeld; }

constexpr std::size_t kMaxLocationLength = 2084;
constexpr int kMaxDebugLevel = 7;

// What the device page's check found: the number of the string to show (0 when all is
// well) and the control that gets the focus.
enum class PropertyField { None, Name, Location, DebugLevel };
struct PropertyProblem {
  int messageId = 0;
  PropertyField field = PropertyField::None;
  bool ok() const { return messageId == 0 && field == PropertyField::None; }
};
// The name check every path that names an entry shares (property page, live edit, label
// rename): 266 for an empty or blank web-image name, 130 for another empty name, 131 for a
// name holding a forbidden character, 0 for a good name.
int NameProblem(int32_t kind, const std::string& name);
// The checks in their order: an empty name (266 for a web image, else 130), a forbidden
// character in the name (131), for a web image a comma in the location (269) or no "/"
// in it (268), and a debug level outside 0-7 (no string: the field is named).
PropertyProblem CheckDeviceInfo(int32_t kind, const std::string& name, const std::string& location,
                                int32_t debugLevel);

// --- Update rates ---
struct UpdateRate {
  std::string name;           // as the string table has it, for example "8 FPS"
  uint32_t milliseconds = 0;  // the update delay it stands for
};
// Milliseconds of a rate text: "N fps" gives 1000 / N, "every N seconds|minutes|hours"
// the span (any letter case, singular or plural); nothing when the text does not parse.
std::optional<uint32_t> ParseUpdateRate(std::string_view text);
// The rate table from the texts of strings 900.. in order (the first stands for 0 ms and
// is not parsed), texts that do not parse logged and left out, slowest rate first.
std::vector<UpdateRate> UpdateRateTable(const std::vector<std::string>& texts);
// The same from strings 900-926 of the string table.
std::vector<UpdateRate> UpdateRateTable();

// Where a delay stands on the slider: the entry with that delay (exact), else the one
// nearest to it (the first of two equally near).
struct RateMatch {
  std::size_t index = 0;
  bool exact = false;
};
RateMatch MatchUpdateRate(const std::vector<UpdateRate>& table, uint32_t delay);

// --- Days to keep ---
constexpr int kMinDaysToKeep = 1;
constexpr int kMaxDaysToKeep = 1825;
constexpr int32_t kSecondsPerDay = 86400;
// archiveTime / 86400 held to 1-1825.
int DaysToKeep(int32_t archiveTime);

// --- Recording page ---
// The motion type the list shows: 1 and 2 as they are, anything else 0.
uint32_t ShownMotionType(uint32_t motionType);
constexpr uint32_t kCameraMotionType = 2;  // the camera reports motion: no light filtering here
// Storage folders neither record nor remove: their recording controls are disabled.
inline bool RecordControlsEnabled(int32_t kind) { return kind != 5; }

// --- Zone picker ---
// The bit of the 4 x 4 grid under (x, y) in a picture of w x h: column and row by quarters.
int ZoneBitAt(int x, int y, int width, int height);

// --- Recording file counter ---
// ".nvr", or a name ending in ".vlj" or ".vlx" in any letter case.
bool IsCountedRecordingFile(std::string_view name);
struct FileCount {
  uint64_t files = 0;
  uint64_t bytes = 0;
};
// Counts the recording files directly in `folder`, stopping early when `stop` is set
// (checked after every counted file). `progress` gets the running totals after every
// counted file. A missing folder counts nothing.
FileCount CountRecordingFiles(const std::string& folder, const std::atomic<bool>& stop,
                              const std::function<void(const FileCount&)>& progress = {});
// "(%lu files; %s)" with the count and the short byte-size text of the total.
std::string FileCounterText(const FileCount& count);

}  // namespace velmora::control
