// The per-user folders of the desktop (XDG base directories and user directories).
#pragma once

#include <string>

namespace velmora::platform {

// $XDG_DATA_HOME, else $HOME/.local/share. Empty when neither can be found.
std::string DataHome();
// $XDG_CONFIG_HOME, else $HOME/.config.
std::string ConfigHome();
// $XDG_RUNTIME_DIR when it is a folder, else /tmp/velmora-<uid> (created 0700).
std::string RuntimeDir();
// The user's pictures or videos folder: user-dirs.dirs XDG_PICTURES_DIR / XDG_VIDEOS_DIR,
// else $HOME/Pictures or $HOME/Videos.
std::string PicturesDir();
std::string VideosDir();
// The data folder named by $VELMORA_DATA_DIR (set by --data-dir), made absolute against
// the current folder and without a trailing "/"; empty when the variable is unset or
// empty. It replaces the per-user data folder, holds the registry file too, and is
// where the instance lock lives, so several instances with folders of their own can run
// on one machine.
std::string DataFolderOverride();
// The current working directory.
std::string CurrentDir();

}  // namespace velmora::platform
