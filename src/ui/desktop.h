// The desktop program: the Qt application, the main window and the core started with it.
#pragma once

#include "app/app_parts.h"
#include "platform/mount_table.h"

namespace velmora {
class PlaybackController;
struct DeviceTree;
}

namespace velmora::ui {

// True when the window can be shown: DISPLAY or WAYLAND_DISPLAY is set, or QT_QPA_PLATFORM
// names a Qt platform that needs no display server (offscreen, vnc, linuxfb ...).
bool DisplayAvailable();

// Starts the application with the core's parts and the window, and runs the window until
// Exit. `core` holds no window; every part, `mediaSource` (where the Core reads the
// removable drives), `playback` (the Core's playback controller) and `tree` (the Core's
// device tree) outlive the call. Returns the process's exit status.
int RunDesktop(AppParts core, const platform::MountTableSource& mediaSource, PlaybackController& playback,
               DeviceTree& tree, int argc, char** argv);

}  // namespace velmora::ui
