// File helpers shared by every store that must never be half-written.
#pragma once

#include <string>

namespace velmora::platform {

// Writes content to path through path + ".tmp": write, fsync, rename over the old file.
// On failure the old file is untouched, the temporary file is removed, errno is kept
// and the name of the failed call is put into *failedCall (when given).
bool WriteFileAtomic(const std::string& path, const std::string& content,
                     const char** failedCall = nullptr);

// Reads a whole file of at most maxBytes. False when it cannot be read or is larger.
bool ReadWholeFile(const std::string& path, std::string& content, std::size_t maxBytes);

bool IsDirectory(const std::string& path);
bool FileExists(const std::string& path);
// Creates the folder and all missing parents. True when it exists afterwards.
bool CreateFolders(const std::string& path);

}  // namespace velmora::platform
