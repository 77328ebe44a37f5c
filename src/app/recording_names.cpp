#include "app/recording_names.h"

#include "app/helpers.h"

namespace velmora {

bool HasFileExtension(std::string_view name, std::string_view extension) {
  return name.size() > extension.size() && EndsWithNoCase(name, extension);
}

bool IsRecordingFileName(std::string_view name) {
  return HasFileExtension(name, kDataFileExtension) || HasFileExtension(name, kIndexFileExtension);
}

}  // namespace velmora
