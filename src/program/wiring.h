// The connections between the core libraries (the fetch engine, the recorder, the tree
// and recorded-data access reach each other through them), and the import command.
#pragma once

#include <string>
#include <vector>

#include "app/installed.h"

namespace velmora {

// Connects the core libraries: the fetch engine starts and stops fetches for the tree,
// the stream parser hands frames to the recorder, the tree and the storage-folder tiles
// get their newest recorded images from recorded-data access, and what the fetch engine
// keeps in a device's entry has the tree file written again. Core builds one, before
// anything starts, and drops it last; dropping it disconnects them all. Main thread.
class CoreWiring {
 public:
  CoreWiring();
  ~CoreWiring();
  CoreWiring(const CoreWiring&) = delete;
  CoreWiring& operator=(const CoreWiring&) = delete;

  // The recorder and recorded-data access read the device folders below `folder` from
  // now on (they keep a copy). Called once the start-up has decided the folders and
  // before the tree is read, so before any frame can arrive; nothing happens when
  // this wiring's recorder is not the installed one.
  void recordInto(const std::string& folder);

 private:
  std::vector<Installation> installed_;
  bool recorderInstalled_ = false;
  int treeSaves_ = 0;  // fetchNotices() token
};

// Merges the devices of a device file into the tree and saves it; the answer line for
// the one who asked ("ok: N devices added", "error: ..."); `treeFile` is the tree file the
// error answer names.
std::string ImportAnswer(const std::string& file, const std::string& treeFile);

// "velmora-nvr import FILE": forwarded to a running instance, else done here.
int RunImportCommand(const std::string& file);

}  // namespace velmora
