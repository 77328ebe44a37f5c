// The program's core: the one object the headless program and the window build the
// application from. Constructing it connects the core libraries to each other (wiring.h),
// destroying it disconnects them; it owns the core's parts that the application calls at
// its fixed places in start-up, timer 3 and shutdown: the device tree, the recorder and
// automatic removal, the fetch engine, removable media (with the mount-table watch and
// where it reads the drives), playback, discovery and the HTTP server, and the routes of
// the messages the application does not handle itself.
//
// The device tree (DeviceTree: the entries, the tree file, the recordings folder and the
// recording lock) is the Core's: the parts that read or change it are given it at
// construction, the window through RunDesktop; its file and folder are set from the
// program's folders when the start-up reads it. The recorder and the program's playback
// keep a share of it, because they may outlive the Core.
//
// The program's folders and files (Paths) are the Core's too: the start-up fills them
// (Application::PrepareFolders through AppParts), the parts read them when they start
// (the tree's file and recordings folder, the folder of the frame key).
//
// The program's settings are the Core's as well: read by the start-up into the Core's
// Settings (AppParts), shared with the tree, whose operations and parts read them, with
// the fetch engine and the removal thread, which may outlive the Core, and handed to the
// window through its events.
//
// Still process-wide, reached through its accessor by the parts and by the libraries:
// the main queue (several hundred callers in the code and the tests).
// The view slots are shared with the program's playback, which made them, and handed to
// the recorder's steps here; the window takes them from the playback controller. The
// program's playback (engine, its output, the export pump and the controller,
// playback_thread.h) is process-wide on purpose and never destroyed, because the playback
// thread may outlive a shutdown that waited for it in vain; the Core hands its controller
// out, nothing else reaches for it.
//
// Threads: built, used and destroyed on the main thread; one per process, living longer
// than the application it serves.
#pragma once

#include <memory>

#include "app/app_parts.h"
#include "app/paths.h"

namespace velmora::platform {
struct MountTableSource;
}

namespace velmora {

class CoreWiring;
struct Settings;
struct DeviceTree;
class PlaybackController;

class Core {
 public:
  Core();
  ~Core();
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // The parts for the application, with the window when there is one.
  AppParts parts(WindowPort* window = nullptr);

  // Where removable drives are read (mount table, sysfs, the roots that count); set from
  // the settings when the mount watch starts. Lives as long as the Core.
  const platform::MountTableSource& mediaSource() const;

  // The window's side of playback (it commands playback and hears its reports through
  // it). The playback itself is process-wide and outlives the Core (playback_thread.h).
  PlaybackController& playbackController();

  // The program's folders and files; empty until the application's start-up fills them.
  const Paths& paths() const { return paths_; }

  // The program's settings: read by the start-up, written at the shutdown and after the
  // window's changes, shared with the tree (DeviceTree::settings) and, through it, with
  // the parts that may outlive the Core (the fetch engine, the removal thread).
  Settings& settings() { return *settings_; }

  // The program's device tree: read by the start-up (its file and recordings folder set
  // from the folders first), handed to every part that reads or changes it and to the
  // window; its entries go at the shutdown. Lives as long as the Core, or longer where
  // the recorder or the program's playback still hold it.
  DeviceTree& tree() { return *tree_; }

 private:
  struct Parts;
  const std::shared_ptr<Settings> settings_;
  Paths paths_;
  const std::shared_ptr<DeviceTree> tree_;
  std::unique_ptr<CoreWiring> wiring_;
  std::unique_ptr<Parts> parts_;
};

}  // namespace velmora
