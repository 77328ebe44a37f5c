// The names of the files a device's recordings folder holds, for every part of the
// program that looks into such a folder (the recorder, the removal pass, the media scan,
// the old-recordings branch, the Properties file count, the backup): one data file
// ("<hour key>.vlj") and one index file ("<hour key>.vlx") per UTC hour, and the ".nvr"
// marker a backup leaves in a device folder. Extensions compare without letter case.
#pragma once

#include <string_view>

namespace velmora {

constexpr const char kDataFileExtension[] = ".vlj";
constexpr const char kIndexFileExtension[] = ".vlx";
// Marks a device folder on backup media; its content is never read back.
constexpr const char kRootMarkerName[] = ".nvr";

// True when name is something followed by `extension`, in any letter case.
bool HasFileExtension(std::string_view name, std::string_view extension);
// A data or an index file by its extension (any letter case), whatever its hour key.
bool IsRecordingFileName(std::string_view name);

}  // namespace velmora
