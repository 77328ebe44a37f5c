#include "platform/folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/files.h"

namespace velmora::platform {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string Home() { return Env("HOME"); }

// Reads one entry of the user-dirs file: XDG_PICTURES_DIR="$HOME/Pictures".
std::string UserDir(const char* key, const char* fallback) {
  std::string home = Home();
  std::string file = ConfigHome() + "/user-dirs.dirs";
  std::ifstream in(file);
  std::string line;
  std::string prefix = std::string(key) + "=";
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string value = line.substr(prefix.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.compare(0, 5, "$HOME") == 0) value = home + value.substr(5);
    if (!value.empty() && value[0] == '/') return value;
  }
  return home.empty() ? std::string() : home + "/" + fallback;
}

}  // namespace

std::string DataHome() {
  std::string value = Env("XDG_DATA_HOME");
  if (!value.empty() && value[0] == '/') return value;
  std::string home = Home();
  return home.empty() ? std::string() : home + "/.local/share";
}

std::string ConfigHome() {
  std::string value = Env("XDG_CONFIG_HOME");
  if (!value.empty() && value[0] == '/') return value;
  std::string home = Home();
  return home.empty() ? std::string() : home + "/.config";
}

std::string RuntimeDir() {
  std::string value = Env("XDG_RUNTIME_DIR");
  if (!value.empty() && IsDirectory(value)) return value;
  std::string fallback = "/tmp/velmora-" + std::to_string(::getuid());
  ::mkdir(fallback.c_str(), 0700);
  return fallback;
}

std::string DataFolderOverride() {
  std::string value = Env("VELMORA_DATA_DIR");
  if (value.empty()) return value;
  if (value[0] != '/') value = CurrentDir() + "/" + value;
  while (value.size() > 1 && value.back() == '/') value.pop_back();
  return value;
}

std::string PicturesDir() { return UserDir("XDG_PICTURES_DIR", "Pictures"); }
std::string VideosDir() { return UserDir("XDG_VIDEOS_DIR", "Videos"); }

std::string CurrentDir() {
  char buffer[4096];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return ".";
  return buffer;
}

}  // namespace velmora::platform
