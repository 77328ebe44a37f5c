// The connections between the core libraries (the fetch engine, the recorder, the tree
// and recorded-data access reach each other through them), and the import command.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/installed.h"

namespace velmora {

struct DeviceTree;

// Connects the core libraries: the fetch engine starts and stops fetches for the tree,
// the stream parser hands frames to the recorder, the tree and the storage-folder tiles
// get their newest recorded images from recorded-data access. Core builds one, before
// anything starts, and drops it last; dropping it disconnects them all. Main thread.
class CoreWiring {
 public:
  CoreWiring();
  ~CoreWiring();
  CoreWiring(const CoreWiring&) = delete;
  CoreWiring& operator=(const CoreWiring&) = delete;

  // The recorder records into `tree`, and recorded-data access reads the device folders
  // below its recordings folder, from now on (they keep a share and a copy). Called once
  // the start-up has set the tree's folders and before the tree is read, so before any
  // frame can arrive; nothing happens when this wiring's recorder is not the installed one.
  void recordInto(std::shared_ptr<DeviceTree> tree);

 private:
  std::vector<Installation> installed_;
  bool recorderInstalled_ = false;
};

// Merges the devices of a device file into the tree and saves it; the answer line for
// the one who asked ("ok: N devices added", "error: ...", naming the tree's file when it
// could not be saved).
std::string ImportAnswer(DeviceTree& tree, const std::string& file);

// "velmora-nvr import FILE": forwarded to a running instance, else done here.
int RunImportCommand(const std::string& file);

}  // namespace velmora
