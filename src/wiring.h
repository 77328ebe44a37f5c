// Connects the subsystems to the application's start-up and shutdown hooks.
#pragma once

#include <string>

namespace velmora {

class Application;

void WireSubsystems(Application& app);
// "velmora-nvr import FILE": forwarded to a running instance, else done here.
int RunImportCommand(const std::string& file);

}  // namespace velmora
