#include "model/saved_view.h"

#include <string>

#include "app/settings.h"

namespace velmora {

GroupRecord* SavedViewEntry(GroupRecord& root, Settings& settings, bool* viewNameChanged) {
  if (viewNameChanged != nullptr) *viewNameChanged = false;
  if (GroupRecord* named = FindByName(&root, settings.viewName, true)) return named;
  if (root.children.empty()) return nullptr;
  GroupRecord* first = root.children.front().get();
  std::string name = first->name;
  if (name.size() > kMaxSettingText) name.resize(kMaxSettingText);
  settings.viewName = name;
  if (viewNameChanged != nullptr) *viewNameChanged = true;
  return first;
}

}  // namespace velmora
