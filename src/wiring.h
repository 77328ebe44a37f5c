// Connects the subsystems: the hooks between the core libraries, and the program's parts
// that the application calls at its fixed places in start-up, timer 3 and shutdown.
#pragma once

#include <memory>
#include <string>

#include "app/app_parts.h"

namespace velmora {

// The program's core parts (device tree, recorder, fetch engine, removable media,
// playback, network services, message routes). Constructing it connects the core
// libraries to each other; one per process, living as long as the application it serves.
class ProgramParts {
 public:
  ProgramParts();
  ~ProgramParts();
  ProgramParts(const ProgramParts&) = delete;
  ProgramParts& operator=(const ProgramParts&) = delete;

  // The parts for the application, with the window when there is one.
  AppParts parts(WindowPort* window = nullptr);

 private:
  struct Steps;
  std::unique_ptr<Steps> steps_;
};

// "velmora-nvr import FILE": forwarded to a running instance, else done here.
int RunImportCommand(const std::string& file);

}  // namespace velmora
