// A pasted DEVICE text on arbitrary bytes: the paste must never crash, leak or grow the
// tree beyond its bounds, and every entry it adds must copy out as a text that pastes
// again without a parse error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "model/device_transfer.h"
#include "model/group_record.h"
#include "model/xml_element.h"

namespace {

// The tree the devices are pasted for: its file and folder do not exist, so nothing is
// read from or written to disk.
velmora::DeviceTree& FuzzTree() {
  static auto* tree = [] {
    auto* made = new velmora::DeviceTree;
    made->filePath = "/nonexistent/velmora-fuzz/Velmora NVR.xml";
    made->recordingsFolder = "/nonexistent/velmora-fuzz/Recordings/";
    return made;
  }();
  return *tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace velmora;
  auto root = CreateRecord(EntryKind::Root, kRootName);
  auto localNvr = CreateRecord(EntryKind::LocalNVR, "All Views");
  InsertEntry(root.get(), localNvr);
  auto group = CreateRecord(EntryKind::Group, "Cams");
  group->path = "Cams";
  InsertEntry(localNvr.get(), group);
  auto other = CreateRecord(EntryKind::Group, "Other");
  other->path = "Other";
  InsertEntry(localNvr.get(), other);

  // The clipboard text ends at its first zero byte.
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (std::size_t end = text.find('\0'); end != std::string_view::npos) text = text.substr(0, end);
  InsertDevicesFromText(FuzzTree(), *group, text);
  if (CountViewable(root.get()) > kMaxViewableEntries) std::abort();

  for (const auto& entry : group->children) {
    if (entry->parent != group.get() || entry->path != "Cams/" + entry->name) std::abort();
    const std::string copied = DeviceText(*entry);
    XmlElement document;
    if (!ParseXml(copied, document).ok) std::abort();
    InsertDevicesFromText(FuzzTree(), *other, copied);
  }
  if (CountViewable(root.get()) > kMaxViewableEntries) std::abort();
  DestroyTree(root.get());
  return 0;
}
