#include "app/paths.h"

namespace velmora {

Paths& paths() {
  static Paths instance;
  return instance;
}

std::string WithSlash(std::string path) {
  if (!path.empty() && path.back() != '/') path += '/';
  return path;
}

}  // namespace velmora
