// The program's folders and files, decided once by the start-up and unchanged while it
// runs. Every folder path ends with "/" once set. The Core owns the program's; the
// import command makes its own.
#pragma once

#include <string>

namespace velmora {

struct Paths {
  std::string appDataFolder;   // $XDG_DATA_HOME/Velmora/Velmora NVR/
  std::string configFolder;    // $XDG_CONFIG_HOME/Velmora/Velmora NVR/ (registry stand-in)
  std::string pathData;        // recordings folder
  std::string pathPictures;    // target of picture exports
  std::string pathVideo;       // target of video exports
  std::string logPath;         // appDataFolder + "Velmora NVR.log"
  std::string deviceTreePath;  // appDataFolder + "Velmora NVR.xml"
  std::string settingsPath;    // appDataFolder + "Velmora NVR.exe.config"
  std::string registryPath;    // configFolder + "registry"
};

// Number of view slots; the largest layout (10 x 10) uses them all.
constexpr int viewSlotCount = 100;

constexpr const char* kProductName = "Velmora NVR";

// Appends "/" unless the text is empty or already ends with one.
std::string WithSlash(std::string path);

}  // namespace velmora
