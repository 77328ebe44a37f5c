// The connections between the core libraries, and the import command.
#include "program/wiring.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/application.h"
#include "app/helpers.h"
#include "app/log.h"
#include "app/paths.h"
#include "model/device_transfer.h"
#include "model/group_record.h"
#include "model/tree_file.h"
#include "live/fetch.h"
#include "playback/recorded_data.h"
#include "recording/recorder.h"
#include "platform/single_instance.h"

namespace velmora {
namespace {

// How long an import command waits for the running instance's answer.
constexpr int kImportAnswerTimeoutMs = 120000;

// What the wiring installs. Never destroyed: a fetch worker that outlived the engine's
// shutdown may still be handing a frame to the recorder when the wiring goes. For the
// same reason the recordings folder the recorder and recorded-data access read is a copy
// kept here, not the Core's.
struct CoreImplementations {
  std::string recordings;
  EngineDeviceFetch fetch;
  DeviceRecorder recorder;
  RecordedImages images{recordings};
};

CoreImplementations& Implementations() {
  static auto* made = new CoreImplementations;
  return *made;
}

}  // namespace

std::string ImportAnswer(DeviceTree& tree, const std::string& file) {
  int before = CountViewable(tree.root.get());
  bool saved = false;
  bool read = ImportDeviceFile(tree, file, &saved);
  int added = CountViewable(tree.root.get()) - before;
  if (!read) return "error: cannot read device file " + file;
  // Devices that are only in memory would be lost at the next start: not a success.
  if (!saved) return "error: the device tree " + tree.filePath + " could not be saved";
  return "ok: " + std::to_string(added) + (added == 1 ? " device added" : " devices added");
}

CoreWiring::CoreWiring() {
  // A part already installed (a second Core) keeps its place; this one stays out.
  CoreImplementations& made = Implementations();
  if (!InstallAs<DeviceFetch>(made.fetch, installed_)) Log("wiring: the fetch engine is connected already");
  recorderInstalled_ = InstallAs<FrameRecorder, DeviceRecording>(made.recorder, installed_);
  if (!recorderInstalled_) Log("wiring: the recorder is connected already");
  if (!InstallAs<NewestImages, LastRecordedImages>(made.images, installed_)) {
    Log("wiring: recorded-data access is connected already");
  }
}

CoreWiring::~CoreWiring() = default;

void CoreWiring::recordInto(std::shared_ptr<DeviceTree> tree) {
  if (!recorderInstalled_ || !tree) return;
  Implementations().recordings = tree->recordingsFolder;
  Implementations().recorder.recordInto(std::move(tree));
}

int RunImportCommand(const std::string& file) {
  // The request travels as one line, and a name with a line feed or another control
  // character is no name a user meant to type.
  if (file.empty() || HasControlCharacter(file)) {
    std::fprintf(stderr, "velmora-nvr: import: %s\n",
                 file.empty() ? "the file name is empty"
                              : "the file name contains a control character");
    return 2;
  }
  // A running instance opens the file in its own working folder: send the name
  // completed against ours.
  std::error_code error;
  std::string absolute = std::filesystem::absolute(file, error).string();
  if (error) {
    std::fprintf(stderr, "velmora-nvr: import: cannot complete the file name %s (%s)\n",
                 file.c_str(), error.message().c_str());
    return 1;
  }
  platform::SingleInstance instance;
  std::string lockFolder, lockError;
  switch (Application::TakeInstanceLock(instance, lockFolder, lockError)) {
    case platform::SingleInstance::Result::kOtherRunning: {
      // The instance answers once the import is done; a large file, or a main thread
      // busy with other work, may take a while.
      std::string answer;
      if (!platform::SingleInstance::sendRequest(lockFolder, "import " + absolute, answer, 5000,
                                                 kImportAnswerTimeoutMs)) {
        std::fprintf(stderr,
                     "velmora-nvr: the running instance did not answer; the import may be "
                     "incomplete (see its log)\n");
        return 1;
      }
      std::printf("%s\n", answer.c_str());
      return answer.rfind("ok", 0) == 0 ? 0 : 1;
    }
    case platform::SingleInstance::Result::kError:
      std::fprintf(stderr, "velmora-nvr: %s\n", lockError.c_str());
      return 1;
    case platform::SingleInstance::Result::kFirst:
      break;
  }
  // No instance runs: merge into the tree file of the data folder here, holding the
  // lock so that no instance starts on the same files meanwhile.
  Paths paths;
  DeviceTree tree;
  Application::PrepareFolders(paths, *tree.settings, false);
  tree.filePath = paths.deviceTreePath;
  tree.recordingsFolder = paths.pathData;
  InitTree(tree, tree.filePath);
  std::string answer = ImportAnswer(tree, absolute);
  tree.destroy();
  std::printf("%s\n", answer.c_str());
  return answer.rfind("ok", 0) == 0 ? 0 : 1;
}

}  // namespace velmora
