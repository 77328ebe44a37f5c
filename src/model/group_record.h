// The device tree: one GroupRecord per entry (this recorder, groups, cameras, video
// servers and their camera inputs, web images, storage folders, removable media and
// leftover recordings), with its persistent settings (the DeviceConfig base) and the
// run-time state the fetch engine, the recorder, motion detection and the views keep for
// it, grouped by the layer that uses it: `live` (model/live_connection.h) and `files`
// (model/recording_files.h) beside their locks, and the motion and video state through
// typed pointers to types the recording and live layers define and create.
//
// Ownership: records are held by std::shared_ptr. A parent owns its children; the
// parent pointer is a plain pointer, valid while the record is in the tree. A
// completion in flight may hold its own shared_ptr, so a record removed from the tree
// stays alive (detached, parent null) until the last holder lets go.
//
// Threads: the tree's structure (children, insertion, removal) is touched by the main
// thread only. Workers reach records through pointers handed to them and touch only
// their run-time fields, under the locks documented next to the fields. Fields marked
// "written under fetchLock" are read by the fetch workers and the recorder while they
// hold the record's fetchLock: the main thread may read them without a lock (it is the
// only writer) but changes them only with fetchLock held (control/device_edit.h does it
// for the window). Lock order where several are held: fetchLock -> the tree's recordingLock ->
// files.recordLock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/installed.h"
#include "app/settings.h"
#include "model/device_config.h"
#include "model/device_counters.h"
#include "model/live_connection.h"
#include "model/recording_files.h"

namespace velmora {

class Image;
struct MotionState;  // recording/motion.h
struct VideoState;   // live/h264.cpp
class ViewSlots;     // live/view_slot.h

// Entry kinds. The numbers are stored in `GroupRecord::kind` and fix the tree icon
// (image-list entry kind + 11).
namespace EntryKind {
enum : int32_t {
  RemovableDrive = -8,       // a removable drive
  RemovableEntry = -7,       // an entry found on removable media
  RemovableFolder = -6,      // a recordings folder on removable media (read from `path`)
  OldRecordingsNode = -5,    // "Old Recordings With No Live View"
  OldRecordingsSub = -4,     // sub-entry of a leftover recordings folder
  OldRecordingsFolder = -3,  // leftover recordings folder under pathData with no device
  ServerCamera = -2,         // one camera input of a video server
  Root = -1,                 // the invisible root "<ROOT>"
  LocalNVR = 0,              // this recorder, the top entry
  Group = 1,                 // a group of devices
  Device = 2,                // a network camera
  ServerDevice = 3,          // a video server; its cameras are its children
  HTTPDevice = 4,            // a web image at any URL
  NASDevice = 5,             // a folder of recordings on network storage
};
// Kinds -11..-9 and 6 are reserved: no operation creates them.
constexpr int32_t kLowest = -11;
constexpr int32_t kHighest = 6;
}  // namespace EntryKind

// The value of `authScheme` for a device known to use Digest authentication.
constexpr const char* kAuthSchemeDigest = "Digest";

// Limits of the tree.
constexpr int kMaxViewableEntries = 1024;   // kinds -2, 2, 4, 5 over the whole tree
constexpr std::size_t kMaxNameLength = 48;  // characters
constexpr char kForbiddenNameChars[] = "/\\:*?\"<>|";
constexpr int kMaxNameCandidates = 1000;    // the name itself, then " (1)" .. " (999)"
constexpr int kMaxServerCameras = 16;       // camera inputs of one video server
constexpr const char* kRootName = "<ROOT>";

struct GroupRecord : DeviceConfig, std::enable_shared_from_this<GroupRecord> {
  GroupRecord() = default;
  GroupRecord(const GroupRecord&) = delete;
  GroupRecord& operator=(const GroupRecord&) = delete;

  // --- Tree structure (main thread only) ---
  GroupRecord* parent = nullptr;  // null for the root and for a record removed from the tree
  std::vector<std::shared_ptr<GroupRecord>> children;  // display order; owned
  bool isNew = false;  // the Properties sheet is open for an entry being added

  // The persistent configuration is the DeviceConfig base (model/device_config.h):
  // kind, name, uuid, location, credentials, schedule, motion settings ...
  bool errorShown = false;  // run-time: the last fetch ended in error (overlay 3); main thread

  // --- View and fetch bookkeeping ---
  // The device delivered data since it was last enabled (kept across reconnects, so a
  // short outage is retried as a stream's, not as a device never heard); guarded by
  // fetchLock.
  bool receivedData = false;
  bool stillShown = false;    // the view slot shows a still instead of live frames; written under fetchLock
  int32_t viewIndex = -1;     // view slot, -1 = none; written under fetchLock
  // The view slots viewIndex points into: set with viewIndex by whoever gives the entry a
  // tile (the view assignment, playback), so that a fetch worker storing a frame and the
  // recorder setting the mark reach the tile through the entry they hold. The slots live
  // longer than every entry. Written under fetchLock.
  ViewSlots* shownIn = nullptr;
  int32_t fetchIndex = -1;    // fetch slot, -1 = none; written under fetchLock
  int64_t lastTimeSync = 0;   // seconds since 1970; main thread
  uint32_t lastUpdateTick = 0;  // guarded by fetchLock

  // Motion-detection state (recording/motion.h), created by the recorder on the first
  // frame it checks. Guarded by fetchLock.
  std::shared_ptr<MotionState> motionState;
  // The H.264 script's decoder state (live/h264.cpp), created per connection. Guarded by
  // fetchLock.
  std::shared_ptr<VideoState> videoState;

  bool fetchActive = false;  // a live fetch was started; written under fetchLock
  // Tree path, also the recordings folder under pathData. Written under fetchLock and
  // recordLock (and the tree's recording lock while the folder is moved).
  std::string path;
  std::string savedCaption;  // caption of savedImage (main thread)
  std::shared_ptr<Image> savedImage;  // still for the view slot (main thread)
  int32_t frameCount = 0;     // guarded by fetchLock
  double frameRate = 0;       // guarded by fetchLock
  uint64_t lastFrameTime = 0; // guarded by fetchLock
  // What the device has done since the start, for the HTTP server's monitoring routes
  // (model/device_counters.h): atomics of their own, shared with the server's snapshots.
  const std::shared_ptr<DeviceCounters> counters = std::make_shared<DeviceCounters>();

  // --- Recording files (model/recording_files.h) ---
  // Its recordLock guards the rest of it.
  RecordingFiles files;

  // --- Live connection ---
  // fetchLock is held while one network completion for the entry is processed; it
  // guards `live` (model/live_connection.h), the motion and video state and the frame
  // counters above.
  std::mutex fetchLock;
  LiveConnection live;
};

// Kinds counted against the 1024 viewable entries (and fetched, except kind 5 which
// shows its newest recorded image).
bool IsViewableKind(int32_t kind);
// Kinds whose images are recorded: 2, 4, -2.
bool IsRecordableKind(int32_t kind);
// Kinds the tree walks pass through: -1, 0, 1, 3.
bool IsContainerKind(int32_t kind);
// The file element of a kind ("Device", "Camera", ...); "Unknown" for the others.
const char* KindElementName(int32_t kind);

// One device tree: its root entry, the file it is kept in, the folder its devices record
// into, the lock of writes into that folder, and the settings its operations follow. The
// Core owns the program's tree and hands it to the parts that read or change it; a test
// program makes its own.
//
// Threads: the root is created, replaced and dropped on the main thread (load, import,
// shutdown), and the file and folder are set there before the tree is read; workers
// reach the entries through pointers handed to them (above). Held by shared_ptr: the
// recorder and the program's playback, which may outlive the Core, keep it alive.
struct DeviceTree {
  // Null until the tree is created or read.
  std::shared_ptr<GroupRecord> root;
  // The tree file (empty: the tree is never saved).
  std::string filePath;
  // The recordings folder, with its trailing '/': each device's folder is its `path`
  // below it.
  std::string recordingsFolder;
  // Taken by the recorder around each record write and by a rename around the rename of
  // a recordings folder, so the two never interleave.
  std::mutex recordingLock;
  // The settings the tree's operations follow: whether recording is on (which entries
  // fetch, whether frames are written), the saved view's name, whether the HTTP server
  // runs (the local entry's mark). The program's own, shared by the Core; never null.
  std::shared_ptr<Settings> settings = std::make_shared<Settings>();

  // The root, created (kind -1, "<ROOT>") when there is none yet; the observer is told
  // of the new root as a reset.
  GroupRecord& ensureRoot();
  // Ends every entry's fetch and files (DestroyTree) and drops the root.
  void destroy();
};

// What the tree asks of the layers above it, each one interface with one implementation
// installed for the process (app/installed.h: the program's wiring installs them, a test
// its own). Nothing installed: the model does only its own part (the flags and fields of
// the record).
//
// The fetch engine: starts and drops an entry's live connection.
class DeviceFetch {
 public:
  virtual ~DeviceFetch() = default;
  // Starts the live fetch of an entry (fetchActive is already set, slots are -1).
  virtual void startFetch(GroupRecord& record) = 0;
  // Drops the entry's live connection (fetchActive is cleared afterwards).
  virtual void stopFetch(GroupRecord& record) = 0;
};

// The recorder: its mark on the entry's tile and its files.
class DeviceRecording {
 public:
  virtual ~DeviceRecording() = default;
  // Clears the recording mark of the view slot `viewIndex` of the entry.
  virtual void clearRecordingMark(GroupRecord& record) = 0;
  // Lets the recorder finish with the entry's files before the model closes them.
  // Called without any lock held.
  virtual void closeRecordings(GroupRecord& record) = 0;
};

// Recorded-data access: the newest image recorded in a folder, or null (used when the
// tree is loaded).
class NewestImages {
 public:
  virtual ~NewestImages() = default;
  virtual std::shared_ptr<Image> newestImage(const GroupRecord& record, const std::string& folder) = 0;
};

// Lets a window mirror the tree. Every change of the tree's structure is reported
// twice: before it happens (the tree still has its old shape) and after it (the tree has
// its new shape), so an item model can bracket it with its begin/end calls. Positions are
// indices in the parent's `children`. All calls come on the main thread; an observer must
// not change the tree from inside a call.
class TreeObserver {
 public:
  virtual ~TreeObserver() = default;
  // `record` (with whatever subtree it already holds) enters `parent`'s children at
  // `position`.
  virtual void beginInsert(GroupRecord& parent, int position, GroupRecord& record) = 0;
  virtual void endInsert(GroupRecord& parent, int position, GroupRecord& record) = 0;
  // `record`, at `position` of `parent`, is detached together with its subtree.
  virtual void beginRemove(GroupRecord& parent, int position, GroupRecord& record) = 0;
  virtual void endRemove(GroupRecord& parent, int position, GroupRecord& record) = 0;
  // `record` leaves `from` at `fromPosition` and enters `to`, where it stands at
  // `toPosition` once moved (an index in the new list, also when `from` is `to`).
  virtual void beginMove(GroupRecord& record, GroupRecord& from, int fromPosition,
                         GroupRecord& to, int toPosition) = 0;
  virtual void endMove(GroupRecord& record, GroupRecord& from, int fromPosition,
                       GroupRecord& to, int toPosition) = 0;
  // The children of `parent` are put in another order (the same records).
  virtual void beginReorder(GroupRecord& parent) = 0;
  virtual void endReorder(GroupRecord& parent) = 0;
  // Everything below `root` is replaced or taken apart (a new root, DestroyTree).
  virtual void beginReset(GroupRecord& root) = 0;
  virtual void endReset(GroupRecord& root) = 0;
  // A shown field of the record changed: its name, or an input of its overlay or cut
  // style (errorShown, recording, enabled, the httpServer setting for this recorder).
  virtual void changed(GroupRecord& record) = 0;
};
// The observer told of every change is installed through Installed<TreeObserver>
// (app/installed.h): the window's tree pane while it lives, nothing for the headless
// program. Main thread.

// Overlay numbers of a tree item.
constexpr int kOverlayNone = 0;
constexpr int kOverlayRecording = 1;
constexpr int kOverlayDisabled = 2;
constexpr int kOverlayError = 3;
constexpr int kOverlayServer = 4;

struct ItemState {
  int overlay = kOverlayNone;
  bool cut = false;  // drawn dimmed
};
// Overlay 3 on error, else 1 when recording, else 4 for this recorder's entry while the
// HTTP server is on; a disabled fetching entry is cut and gets overlay 2.
ItemState EntryItemState(const GroupRecord& record, bool httpServerOn);
// The image-list entry of a kind's icon.
inline int EntryImageIndex(int32_t kind) { return kind + 11; }
// Tells the observer that the record's item must be redrawn (text, overlay, cut style).
void RefreshItemState(GroupRecord& record);

// 1 to 48 characters, none of / \ : * ? " < > |.
bool IsValidName(const std::string& name);

// The name an entry gets from text that comes from outside (a tree file, an imported
// file, a pasted DEVICE text, a discovery answer, the rename and property pages). A name
// is also a folder under the recordings folder and must come back unchanged from the
// tree file, so: control characters (below 0x20, and 0x7F) become blanks, bytes that are
// not UTF-8 become U+FFFD, blanks at either end are trimmed, the name is cut to 48
// characters at a character boundary (and trimmed again), "/" becomes "_", and a name
// that is then empty, "." or ".." becomes "???". Applying it twice changes nothing.
std::string CleanName(std::string_view text);

// "%s (%d)" with the name and the number, the name cut (at a character boundary) so
// that the whole stays within 48 characters: the numbered name of a clean name is clean.
std::string NumberedName(const std::string& name, int number);
// `name`, or the first of its numbered names 1..999 that no child of `parent` carries
// (ignoring case); nothing when all 1000 are taken.
std::optional<std::string> UniqueChildName(const GroupRecord& parent, const std::string& name);
// Whether `name` (compared without case) is taken for an entry of `kind` under `parent`:
// by a child of `parent` other than `except` (groups compared with groups, everything
// else with everything else but groups), and for a group also by any group of the tree,
// since a group's recordings folder is its bare name whichever recorder entry holds it. The one check behind every way a name is given (rename, properties, drop, paste,
// import, templates): two entries with one name would share one recordings folder.
bool NameInUse(const GroupRecord& parent, int32_t kind, std::string_view name,
               const GroupRecord* except = nullptr);
// The path of an entry of `kind` named `name` under `parent`: empty for the root and
// this recorder's entry, the name for a group, else the parent's path, "/" and the name
// (only the name when the parent's path is empty).
std::string ComputePath(const GroupRecord* parent, int32_t kind, const std::string& name);

// A new record with the defaults of every field.
std::shared_ptr<GroupRecord> CreateRecord();
std::shared_ptr<GroupRecord> CreateRecord(int32_t kind, std::string name);

// Appends the record to the parent's children, sets its parent and tells the observer.
// Nothing happens when the parent or the record is null, or the record is in a tree.
void InsertEntry(GroupRecord* parent, std::shared_ptr<GroupRecord> record);
// The same at `position` of the parent's children (the end when past it).
void InsertEntryAt(GroupRecord* parent, std::size_t position, std::shared_ptr<GroupRecord> record);
// Detaches the record from its parent and tells the observer. Returns the detached
// record (kept alive by the caller and by any completion holding it).
std::shared_ptr<GroupRecord> RemoveEntry(GroupRecord& record);
// Moves the record (with its subtree) to `position` of `newParent`'s children, counted
// in the list as it is after the move (the end when past it). Paths are left as they
// were: the caller renames the recordings folder from the old path and then calls
// UpdatePaths. False, with nothing changed, when the record has no parent, or
// `newParent` is the record or lies below it. Moving to the place it already has is
// true and tells nobody.
bool MoveEntry(GroupRecord& record, GroupRecord& newParent, std::size_t position);
// Puts the children of `parent` in case-insensitive order of their names (stable: equal
// names keep their order) and tells the observer when the order changed.
void SortChildren(GroupRecord& parent);
// Sets the name and recomputes `path` for the entry and everything below it, under the
// locks of each record. It moves no recordings folder: for an entry that may be
// recorded, control::RenameEntryLive does both.
void RenameEntry(GroupRecord& record, std::string name);
// Recomputes `path` for the entry and its descendants from their names (each under its
// fetchLock and recordLock). Entries of removable media and leftover recordings keep the
// paths their scans gave them.
void UpdatePaths(GroupRecord& record);

// Depth-first, children in order: the first child whose name equals `name` ignoring
// case. Descends into a child when `deep` is set or `start` is the root (kind -1).
GroupRecord* FindByName(GroupRecord* start, const std::string& name, bool deep);
// The first child of `parent` whose hwAddr equals the text (case-sensitive).
GroupRecord* FindByHwAddr(GroupRecord* parent, const std::string& hwAddr);
// Depth-first, the entry itself first: pathData + path == folder (case-sensitive).
GroupRecord* FindByRecordingFolder(GroupRecord* start, const std::string& folder, const std::string& pathData);
// The top of the tree the entry is in: its root, or the entry itself when detached.
const GroupRecord& TopOf(const GroupRecord& entry);
GroupRecord& TopOf(GroupRecord& entry);
// Depth-first from the root: the first entry shown in view slot `slot`.
GroupRecord* FindByViewSlot(GroupRecord* root, int slot);
// Entries of kinds -2, 2, 4, 5 in the subtree of `start` (itself included).
int CountViewable(const GroupRecord* start);
// The smallest camera index 0-15 no child of a video server uses; -1 when all are used
// or the entry is not a video server.
int FirstFreeCameraIndex(const GroupRecord* server);

// The base URL of a device. Cameras and servers: `location` is reduced to host[:port]
// (port kept unless 0 or 80) and the result is "http://" + location, plus "/jpeg.cgi"
// except for a server; an "https://" location keeps its scheme (port kept unless 443)
// and is the start of the result. Web images: `location` becomes the canonical URL. Other kinds,
// and a location that cannot be split: `location` unchanged.
std::string DeviceUrl(GroupRecord& record);

// Starts the fetch of every recordable entry below `start` that is enabled and records
// while recording is on in the tree's settings; stops the others (or clears their tile's
// recording mark) and closes their recording files.
void ApplyRecordingState(const DeviceTree& tree, GroupRecord* start);
// Stops one entry's live fetch when it is active ("stopping fetch %d/%s").
void StopFetch(GroupRecord& record);
// Children first, then the entry (grouprecord_stop).
void StopAllFetches(GroupRecord* start);
// Closes the entry's recording files under its recordLock.
void CloseRecordingFiles(GroupRecord& record);
// Closes the recording files of every recordable entry (record_close_handles).
void CloseAllRecordings(GroupRecord* start);
// Releases the subtree, children first: each record is detached and its stream buffer,
// connection, motion state and saved image are released. Records still held by a
// completion stay valid until it ends. The observer is told of a reset below `start`.
void DestroyTree(GroupRecord* start);

}  // namespace velmora
