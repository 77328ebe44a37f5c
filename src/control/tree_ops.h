// The device tree's commands as operations on the tree: adding groups, devices from the
// device templates and cameras of a video server, renaming, deleting, Enabled, Recording,
// Sort, moving an entry by drag and drop, and pasting a copied device. None of them opens
// a window: each returns what the window must show (a string to report, the entry to
// select, whether to start editing the new entry's label, whether to refresh the views).
// Changes to a device that may be fetched and recorded go through device_edit.h; removing
// an entry with its tile, fetch and recordings is tree/entry_removal.h.
//
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/group_record.h"

namespace velmora::control {

// One entry of a group's "Add" menu: the command id, the label (null for a separator),
// and what the new entry gets.
struct DeviceTemplate {
  int commandId;
  const char* label;
  int32_t kind;
  int cameras;           // camera inputs created with a video server
  const char* location;  // default location
};

// The 14 templates in menu order (commands 20000-20013, two of them separators).
std::span<const DeviceTemplate> DeviceTemplates();
// The generic cameras of any maker, in menu order (commands 20100-20102): web images
// whose location is an http://, an rtsp:// or an https:// address, fetched as often as
// the named cameras, without credentials until the sheet gives them.
std::span<const DeviceTemplate> GenericCameraTemplates();
// The template of a command, named or generic; null for a separator or another id.
const DeviceTemplate* FindTemplate(int commandId);

// The items of the "Add Camera..." popup (File menu and a group's menu): the generic
// cameras, a separator (0), then the named templates with their separators.
std::vector<int> AddCameraMenu();

// Where a device added from a template goes when `selected` is the tree's selection: the
// group at or above it; for this recorder's entry, anything outside a group or no
// selection, the first group of the first top-level entry, else that entry itself. Null
// for an empty tree.
GroupRecord* AddDeviceTarget(const DeviceTree& tree, GroupRecord* selected);

// What a tree command asks of the window.
struct TreeOpResult {
  bool changed = false;        // the tree changed (and was saved)
  int messageId = 0;           // string to report in a message box (0: none)
  long long messageValue = 0;  // its %d, where it has one
  GroupRecord* select = nullptr;  // the entry to select and scroll to
  bool editLabel = false;      // start in-place editing of `select`'s label
  bool refreshViews = false;   // refresh the views for the selection
  bool saveSettings = false;   // the settings changed (viewName) and must be saved
};

// Shows the operator's device entries; runs the Properties sheet on an entry (isNew set
// and not yet in the tree for a template add) and returns true when it closed with OK.
using PropertiesRunner = std::function<bool(GroupRecord& entry)>;

// The first of "New Group", "New Group (1)" .. "New Group (999)" not found among the
// root's children and their children; nothing when all are taken.
std::optional<std::string> GeneratedGroupName(GroupRecord& root);

// New Group: a group with a generated name as the last child of the first top-level
// entry (this recorder). The group is selected and its label edited; the tree is saved.
TreeOpResult NewGroup(DeviceTree& tree);

// A new record filled from a template (kind, location, credentials, update delay and
// archive time, schedule off, motion defaults, the password sent only when asked); null
// for a separator or another id.
std::shared_ptr<GroupRecord> CreateFromTemplate(int commandId);
// Camera input `index` (0-15) of a video server: "Camera <index + 1>" with the server's
// location, path, credentials and "send the password only when asked", as the tree file
// gives them to its cameras when it is read.
std::shared_ptr<GroupRecord> CreateServerCamera(const GroupRecord& server, int index);

// The string refusing a new entry among `parent`'s children: 377 for a name in use, 375
// for a location in use, 376 for a hardware address in use (an empty address and
// "000000-000000" never conflict); 0 when the entry may be added. Comparisons ignore
// case; this recorder's and group entries are not compared.
int SiblingConflict(const GroupRecord& parent, const GroupRecord& entry);

// Add a device from a template under `parent` (the selected entry). Refused with string
// 616 when the new viewable entries would pass 1024; nothing is added when the Properties
// sheet is cancelled or a sibling conflicts (the result carries the string). The device,
// with a video server's cameras, is inserted, selected, its recording state applied and
// the tree saved.
TreeOpResult AddFromTemplate(DeviceTree& tree, int commandId, GroupRecord* parent, const PropertiesRunner& properties);

// Add Camera on a video server: the first free camera index, inserted as the server's
// last child, selected with its label edited. Nothing when all 16 inputs are in use.
TreeOpResult AddCamera(DeviceTree& tree, GroupRecord& server);

// The end of an in-place label edit. The text is trimmed and cut to 48 characters; a
// text with one of / \ : * ? " < > | is refused with string 131; an empty text, the
// current name, playback mode and the scanned kinds (-8 .. -3) change nothing. Groups
// carry viewName along; devices move their recordings folder (392 when that fails: the
// new name stays).
TreeOpResult RenameFromLabel(DeviceTree& tree, GroupRecord& entry, const std::string& text, bool playbackMode);

// Whether Delete applies to the entry (not in playback, not this recorder, not removable
// media).
bool CanDelete(const GroupRecord& entry, bool playbackMode);

// Delete (after the window asked string 290, unless Shift was held): removes the entry
// and every leftover-recordings sub-entry it leaves empty above it; selects the next
// sibling, else the previous one, else the parent. A leftover folder that an entry of
// the tree owns keeps its files and is reported with string 700.
TreeOpResult DeleteEntry(DeviceTree& tree, GroupRecord& entry, bool playbackMode,
                         const std::function<void(GroupRecord&)>& clearViewSlot = {});

// Enabled: flips `enabled`; disabling clears `recording` and `receivedData`, enabling
// asks for an immediate update. The recording state is applied and the tree saved.
TreeOpResult ToggleEnabled(DeviceTree& tree, GroupRecord& entry);
// Recording: flips `recording` of an enabled recordable entry outside playback.
TreeOpResult ToggleRecording(DeviceTree& tree, GroupRecord& entry, bool playbackMode);
// Sort: the entry's children in case-insensitive order of their names.
TreeOpResult SortEntry(DeviceTree& tree, GroupRecord& entry);

// Drag and drop. Groups, devices, video servers, web images and storage folders can be
// dragged.
bool CanDrag(const GroupRecord& entry);
// The drop target when `source` is held over `hit` (null for none): a group goes to the
// nearest group or recorder entry at or above `hit`; other entries go to `hit` unless it
// is this recorder, a server's camera, removable media or leftover recordings.
GroupRecord* DropTarget(GroupRecord& source, GroupRecord* hit);

enum class DropOutcome {
  kNothing,    // nothing moves (result.messageId says why when it is not 0)
  kBeep,       // nothing moves; the window beeps
  kMoved,      // moved (TreeOpResult::select is the entry)
};
struct DropResult {
  DropOutcome outcome = DropOutcome::kNothing;
  TreeOpResult result;
};
// Where a dropped entry goes: a group dropped on this recorder's entry, or another entry
// dropped on a group, becomes its first child; otherwise the entry follows the target
// under the target's parent. `position` counts in the parent's list after the move.
struct DropPlace {
  GroupRecord* parent = nullptr;
  std::size_t position = 0;
};
std::optional<DropPlace> DropPlacement(const GroupRecord& source, GroupRecord& target);
// The left button released over `target`: moves the entry (numbered when its name is
// taken in its new group), its recordings folder following it. A drop that finds no
// free name (377) or cannot rename the entry (392) moves nothing.
DropResult DropEntry(DeviceTree& tree, GroupRecord& source, GroupRecord* target, bool playbackMode);

// Paste: the DEVICE text goes into the group of the selected entry; copies keep their
// UUID and are numbered when their name is taken there. When one of them finds no free
// name nothing is pasted (377).
TreeOpResult PasteDevices(DeviceTree& tree, GroupRecord* selected, const std::string& text);

}  // namespace velmora::control
