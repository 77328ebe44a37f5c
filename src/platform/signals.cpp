#include "platform/signals.h"

#include <signal.h>
#include <sys/signalfd.h>

namespace velmora::platform {

int ShutdownSignalDescriptor() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) return -1;
  return signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
}

}  // namespace velmora::platform
