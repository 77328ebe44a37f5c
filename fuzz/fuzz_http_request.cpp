// libFuzzer target: the HTTP server's request handling on arbitrary bytes: the request
// line, the decoded path, the folder and name it addresses, the record query and the
// authorisation header, and the whole request route over a tree whose recordings folder
// does not exist. Checks the promises the file handler relies on: a split target never
// leaves its folder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "model/group_record.h"
#include "net/http_handler.h"
#include "net/http_listing.h"
#include "net/http_request.h"

namespace {

using namespace velmora;
using namespace velmora::net;

const TreeSnapshot& Tree() {
  static const std::shared_ptr<const TreeSnapshot> tree = [] {
    auto root = CreateRecord(EntryKind::Root, kRootName);
    auto nvr = CreateRecord(EntryKind::LocalNVR, "All Views");
    InsertEntry(root.get(), nvr);
    auto yard = CreateRecord(EntryKind::Group, "Yard");
    yard->path = "Yard";
    InsertEntry(nvr.get(), yard);
    auto door = CreateRecord(EntryKind::Device, "Door");
    door->path = "Yard/Door";
    door->enabled = door->recording = true;
    InsertEntry(yard.get(), door);
    return TakeTreeSnapshot(root.get(), "/nonexistent-velmora-fuzz/");
  }();
  return *tree;
}

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const std::string_view line = RequestLine(input);
  Check(line.size() <= kRequestLineLimit);
  Check(line.find_first_of("\r\n") == std::string_view::npos);

  // The input as a path, and the path of the input as a request line.
  for (std::string_view path : {input, GetRequestPath(line).value_or(std::string_view())}) {
    const std::optional<std::string> canonical = CanonicalizePath(path);
    if (!canonical) continue;
    Check(canonical->size() <= kMaxCanonicalPath);
    Check(canonical->find('\0') == std::string::npos);
    const std::optional<FileTarget> target = SplitTarget(*canonical);
    if (!target) continue;
    Check(IsServableFolder(target->folder) || target->folder.empty());
    const std::string_view name = std::string_view(target->name).substr(0, target->name.find('?'));
    Check(IsPlainFileName(name));
    const RecordQuery query = ParseRecordQuery(target->name);
    Check(query.file.size() <= kMaxQueryField);
  }

  (void)BasicAuthMatches(input, "viewer", "secret");
  const HttpReply reply = HandleRequest(input, Tree(), HttpAuth{}, 0);
  if (reply.answer) {
    Check(reply.status == 200 || reply.status == 404);
    Check(!reply.header.empty());
  }
  return 0;
}
