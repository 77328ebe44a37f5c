#include "model/recording_files.h"

#include <unistd.h>

#include "app/log.h"

namespace velmora {

namespace {

// Closes a descriptor and marks it closed; a failed close is logged.
void CloseDescriptor(int& fd) {
  if (fd < 0) return;
  if (::close(fd) != 0) LogLastError("close");
  fd = -1;
}

}  // namespace

RecordingFiles::~RecordingFiles() {
  CloseDescriptor(dataFile);
  CloseDescriptor(indexFile);
}

void RecordingFiles::Close() {
  CloseDescriptor(dataFile);
  CloseDescriptor(indexFile);
  recordFileName.clear();
}

}  // namespace velmora
