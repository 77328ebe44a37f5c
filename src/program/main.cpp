// velmora-nvr: the recorder's process entry. Runs headless (record, discover and serve
// without a window) or, once the desktop window exists, with it.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/helpers.h"
#include "app/log.h"
#include "cli/backup_command.h"
#include "cli/export_command.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/service_manager.h"
#include "platform/signals.h"
#include "program/core.h"
#include "program/wiring.h"
#if VELMORA_HAVE_UI
#include "ui/desktop.h"
#endif

namespace {

void PrintHelp() {
  std::printf(
      "Usage: velmora-nvr [--data-dir DIR]              (the window)\n"
      "       velmora-nvr --headless [--data-dir DIR]\n"
      "       velmora-nvr import FILE\n"
      "       velmora-nvr export [--jpeg] [--codec FOURCC] [--from TIME] [--to TIME] [--force]\n"
      "                          SOURCE OUTPUT\n"
      "       velmora-nvr backup [--from DATE] [--to DATE] [--simulate] [--eject]\n"
      "                          [--replace] [--label TEXT] SOURCE TARGET\n"
      "       velmora-nvr --help | --version\n"
      "\n"
      "Velmora NVR records, plays back and serves the images of IP cameras.\n"
      "\n"
      "  --headless     run without a window: record, discover and serve; status texts\n"
      "                 go to the log. SIGINT, SIGTERM or SIGHUP shut down in\n"
      "                 order.\n"
      "  --data-dir DIR keep the settings, device tree, log and (unless pathData names\n"
      "                 another folder) the recordings in DIR instead of the per-user\n"
      "                 folders; also the environment variable VELMORA_DATA_DIR. One\n"
      "                 instance runs per data folder. Goes before a command\n"
      "                 (velmora-nvr --data-dir DIR export ...) or after --headless.\n"
      "                 Started by a service manager (NOTIFY_SOCKET), the program tells\n"
      "                 it when it is ready, feeds its watchdog (WATCHDOG_USEC) and\n"
      "                 writes its log lines to the journal (JOURNAL_STREAM).\n"
      "  import FILE    merge the devices of a device file into the device tree (done by\n"
      "                 the running instance when there is one).\n"
      "  export         export the recordings of SOURCE (a device folder, or another\n"
      "                 instance's device URL http://host:port/Group/Device/) to the AVI\n"
      "                 file OUTPUT (codec MJPG unless --codec names another: DIB, H264,\n"
      "                 FMP4 ...) or, with --jpeg, to JPEG files in the folder OUTPUT.\n"
      "                 TIME is \"YYYY-MM-DD HH:MM:SS\" local time or seconds since 1970;\n"
      "                 default: everything recorded. Runs beside a running instance;\n"
      "                 exit status 0 only when the export completed.\n"
      "                 (see velmora-nvr export --help)\n"
      "  backup         back up the recordings of SOURCE (a device folder) for the days\n"
      "                 --from to --to (YYYY-MM-DD local time; default: the last 7 days)\n"
      "                 to the folder TARGET (a removable disk; copies are verified) or\n"
      "                 to a disc: a drive such as /dev/sr0, or stdio:FILE for an image\n"
      "                 file. Runs beside a running instance, whose recordings and device\n"
      "                 folders are never a target; another device's backup in TARGET is\n"
      "                 erased only with --replace. Exit status 0 only when the backup\n"
      "                 completed and was verified.\n"
      "                 (see velmora-nvr backup --help)\n"
      "  --help         show this text.\n"
      "  --version      show the version.\n"
      "\n"
      "Files: the settings, device tree and log live in $XDG_DATA_HOME/Velmora/Velmora NVR\n"
      "(default ~/.local/share/Velmora/Velmora NVR) or the --data-dir folder; recordings\n"
      "under its Recordings folder unless pathData names another.\n");
}

int RunHeadless() {
  int signals = velmora::platform::ShutdownSignalDescriptor();
  // Writes to a closed peer must come back as errors, never end the process.
  signal(SIGPIPE, SIG_IGN);

  velmora::Core core;
  velmora::Application app(core.parts());
  switch (app.InitInstance(true)) {
    case velmora::Application::StartResult::kOtherInstance:
      return 0;
    case velmora::Application::StartResult::kFailed:
      std::fprintf(stderr, "velmora-nvr: %s\n", app.startError().c_str());
      return 1;
    case velmora::Application::StartResult::kRunning:
      break;
  }
  // The tree is loaded and recording has started: a service manager may now count the
  // service as started. Its watchdog is fed from the loop below, so a main thread that
  // stops turning gets the program restarted.
  velmora::platform::NotifyServiceManager("READY=1");
  velmora::platform::ServiceWatchdog watchdog(velmora::platform::WatchdogIntervalUs());
  // The main thread: one tick every 20 ms until a signal asks for the shutdown.
  for (;;) {
    if (watchdog.enabled()) watchdog.Tick(static_cast<uint64_t>(velmora::platform::SteadyMs()) * 1000);
    pollfd p{signals, POLLIN, 0};
    int ready = poll(&p, signals >= 0 ? 1 : 0, 20);
    if (ready > 0) {
      signalfd_siginfo info{};
      if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        velmora::Log("signal %u received, shutting down", info.ssi_signo);
        velmora::platform::NotifyServiceManager("STOPPING=1");
        break;
      }
    }
    app.tick();
  }
  app.OnExit();
  app.ExitInstance();
  if (signals >= 0) close(signals);
  return 0;
}

// The desktop program: the window over the same core.
int RunWindow(int argc, char** argv) {
#if VELMORA_HAVE_UI
  if (!velmora::ui::DisplayAvailable()) {
    std::fprintf(stderr,
                 "velmora-nvr: no display to open the window on (DISPLAY and WAYLAND_DISPLAY "
                 "are not set).\n"
                 "Run it without a window with: velmora-nvr --headless\n"
                 "(see velmora-nvr --help)\n");
    return 2;
  }
  velmora::Core core;
  return velmora::ui::RunDesktop(core.parts(), core.mediaSource(), core.playbackController(), core.tree(), argc, argv);
#else
  (void)argc;
  (void)argv;
  std::fprintf(stderr,
               "velmora-nvr: this build has no desktop window (built with VELMORA_UI=OFF).\n"
               "Run it without a window with: velmora-nvr --headless\n"
               "(see velmora-nvr --help)\n");
  return 2;
#endif
}

// Takes "--data-dir DIR" from the front of args, or from right after "--headless", into
// VELMORA_DATA_DIR, which every part that looks for the data folder reads. False with a
// message on a missing or empty folder name, or a folder that cannot be made.
bool TakeDataDir(std::vector<std::string>& args) {
  size_t at = !args.empty() && args[0] == "--data-dir"                                ? 0
              : args.size() > 1 && args[0] == "--headless" && args[1] == "--data-dir" ? 1
                                                                                      : args.size();
  if (at == args.size()) return true;
  if (at + 1 >= args.size() || args[at + 1].empty()) {
    std::fprintf(stderr, "velmora-nvr: --data-dir needs a folder (see velmora-nvr --help)\n");
    return false;
  }
  const std::string folder = args[at + 1];
  args.erase(args.begin() + static_cast<std::ptrdiff_t>(at), args.begin() + static_cast<std::ptrdiff_t>(at) + 2);
  ::setenv("VELMORA_DATA_DIR", folder.c_str(), 1);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!TakeDataDir(args)) return 2;
  // The data folder is made before anything else looks for it, so that a folder that
  // cannot be made is reported as such, not as a later failure to write a file in it.
  const std::string dataFolder = velmora::platform::DataFolderOverride();
  if (!dataFolder.empty() && !velmora::platform::CreatePrivateFolder(dataFolder)) {
    std::fprintf(stderr, "velmora-nvr: cannot use the data folder %s: %s\n", dataFolder.c_str(), std::strerror(errno));
    return 1;
  }
  if (args.empty()) return RunWindow(argc, argv);
  const std::string& command = args[0];
  if (command == "--help" || command == "-h") {
    PrintHelp();
    return 0;
  }
  if (command == "--version") {
    std::printf("Velmora NVR %s\n", velmora::VersionString().c_str());
    return 0;
  }
  if (command == "--headless") {
    if (args.size() != 1) {
      std::fprintf(stderr, "velmora-nvr: --headless takes no arguments\n");
      return 2;
    }
    return RunHeadless();
  }
  if (command == "import") {
    if (args.size() != 2) {
      std::fprintf(stderr, "velmora-nvr: usage: velmora-nvr import FILE\n");
      return 2;
    }
    return velmora::RunImportCommand(args[1]);
  }
  if (command == "export") {
    return velmora::RunExportCommand(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  if (command == "backup") {
    return velmora::RunBackupCommand(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  std::fprintf(stderr, "velmora-nvr: unknown option '%s' (see velmora-nvr --help)\n",
               command.c_str());
  return 2;
}
