// The device-tree reader on arbitrary bytes: it must never crash, leak or grow beyond
// its bounds, no entry may get a recordings path that leaves the recordings folder or a
// name the name rule would change, and whatever it loads must write back as a file that
// reads back identically: load, save, load, save gives the same bytes twice.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "model/group_record.h"
#include "model/tree_file.h"
#include "model/xml_element.h"

namespace {

using velmora::GroupRecord;

bool SafePath(const std::string& path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    std::string_view part(path.data() + start,
                          (slash == std::string::npos ? path.size() : slash) - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

void CheckEntry(const GroupRecord& record) {
  if (record.kind == velmora::EntryKind::ServerDevice &&
      record.children.size() > static_cast<std::size_t>(velmora::kMaxServerCameras))
    std::abort();
  if (record.kind > velmora::EntryKind::LocalNVR && !SafePath(record.path)) std::abort();
  if (record.kind != velmora::EntryKind::Root && velmora::CleanName(record.name) != record.name)
    std::abort();
  for (const auto& child : record.children) {
    if (child->parent != &record) std::abort();
    CheckEntry(*child);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // Nothing on disk is touched: a file of another version tries to copy this missing
  // tree file and only logs, and the log has no path.
  velmora::DeviceTree tree;
  tree.filePath = "/nonexistent/velmora-fuzz/Velmora NVR.xml";
  tree.recordingsFolder = "/nonexistent/velmora-fuzz/Recordings/";
  std::string_view text(reinterpret_cast<const char*>(data), size);
  velmora::LoadTreeText(tree, text, "fuzz");
  const std::shared_ptr<velmora::GroupRecord> root = tree.root;
  if (velmora::CountViewable(root.get()) > velmora::kMaxViewableEntries) std::abort();
  CheckEntry(*root);

  // What was loaded writes back as a file the reader takes without error.
  const std::string written = velmora::TreeFileText(*root);
  velmora::XmlElement document;
  if (!velmora::ParseXml(written, document).ok) std::abort();
  auto again = velmora::CreateRecord(velmora::EntryKind::Root, velmora::kRootName);
  velmora::LoadTreeText(*again, written, "fuzz-rewritten");
  CheckEntry(*again);
  if (velmora::TreeFileText(*again) != written) std::abort();

  velmora::DestroyTree(again.get());
  velmora::DestroyTree(root.get());
  return 0;
}
