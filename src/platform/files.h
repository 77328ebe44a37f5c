// File helpers shared by every store that must never be half-written.
#pragma once

#include <string>

namespace velmora::platform {

// Writes content to path through path + ".tmp": write, fsync, rename over the old file.
// The new file is readable and writable by its owner only (0600): the stores written
// this way hold passwords. On failure the old file is untouched, the temporary file is
// removed, errno is kept and the name of the failed call is put into *failedCall (when
// given).
bool WriteFileAtomic(const std::string& path, const std::string& content,
                     const char** failedCall = nullptr);

// Takes the group and other permission bits off an open file, leaving the owner's.
// True when the file is private afterwards.
bool MakePrivate(int fd);
// The same for a file or folder by name (symbolic links are not followed).
bool MakePrivate(const std::string& path);

// Reads a whole file of at most maxBytes. False when it cannot be read or is larger.
bool ReadWholeFile(const std::string& path, std::string& content, std::size_t maxBytes);

bool IsDirectory(const std::string& path);
bool FileExists(const std::string& path);
// Creates the folder and all missing parents. True when it exists afterwards.
bool CreateFolders(const std::string& path);
// Like CreateFolders for a folder that holds private files: missing levels are created
// 0700, and the folder itself loses its group and other permissions when this user owns
// it. True when it exists afterwards.
bool CreatePrivateFolder(const std::string& path);

}  // namespace velmora::platform
