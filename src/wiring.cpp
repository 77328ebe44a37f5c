#include "wiring.h"

#include <cstdio>

#include "app/application.h"
#include "platform/folders.h"
#include "platform/single_instance.h"

namespace velmora {

void WireSubsystems(Application& app) { (void)app; }

int RunImportCommand(const std::string& file) {
  std::string answer;
  if (platform::SingleInstance::sendRequest(platform::RuntimeDir(), "import " + file, answer, 500)) {
    std::printf("%s\n", answer.c_str());
    return answer.rfind("ok", 0) == 0 ? 0 : 1;
  }
  std::fprintf(stderr, "velmora-nvr: import is not available yet\n");
  return 1;
}

}  // namespace velmora
