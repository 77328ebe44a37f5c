// The desktop program: the Qt application, the main window and the core started with it.
#pragma once

namespace velmora {
class Application;
}

namespace velmora::ui {

// True when the window can be shown: DISPLAY or WAYLAND_DISPLAY is set, or QT_QPA_PLATFORM
// names a Qt platform that needs no display server (offscreen, vnc, linuxfb ...).
bool DisplayAvailable();

// Runs the window until Exit. app has its subsystems wired but is not started. Returns
// the process's exit status.
int RunDesktop(Application& app, int argc, char** argv);

}  // namespace velmora::ui
