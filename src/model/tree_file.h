// The device-tree file "Velmora NVR.xml": read at start-up, rewritten in full after
// every change of the tree, and the grammar of imported device files and of device
// texts on the clipboard.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "model/group_record.h"
#include "model/xml_element.h"

namespace velmora {

// The version a `DeviceTree` element states (0.0 when it states none).
struct DocumentVersion {
  int versionMajor = 1;
  int versionMinor = 0;
};

// Largest tree file read; a longer file is read up to this size (the rest is lost as
// a parse error) so a damaged file cannot exhaust memory.
constexpr std::size_t kMaxTreeFileBytes = 64u << 20;

// Creates the root if needed, loads the file and, when that fails or leaves the root
// without children, adds the default entries ("All Views" with the group "Local
// Network Cameras"), reusing entries of those names that already exist. Returns the
// result of LoadTree.
bool InitTree(DeviceTree& tree, const std::string& filePath);

// Reads the file and adds its entries under the tree's root (created when missing); their
// newest images come from the tree's recordings folder, and the tree's own file is kept
// as a dated copy before a file of another version is taken over.
// False when the file cannot be opened or is empty. `version`, when given, receives the
// version of the file's last `DeviceTree` element (unchanged when it has none).
bool LoadTree(DeviceTree& tree, const std::string& filePath, DocumentVersion* version = nullptr);

// Adds the entries of a tree document held in memory under the tree's root (created
// when missing), as LoadTree does; `sourceName` names the text in log lines. Returns the
// number of viewable entries added. `version` as for LoadTree.
int LoadTreeText(DeviceTree& tree, std::string_view text, const std::string& sourceName,
                 DocumentVersion* version = nullptr);
// The same under a root of no program's tree (another instance's file): no newest
// images are read and no dated copy is kept.
int LoadTreeText(GroupRecord& root, std::string_view text, const std::string& sourceName,
                 DocumentVersion* version = nullptr);

// Writes the whole tree to its file through a ".tmp" file and a rename; the existing
// file is replaced only by a complete new one. False on failure (logged), or when the
// tree has no root or no file.
bool SaveTree(const DeviceTree& tree);

// The exact bytes of the file for the tree below `root` (declaration, CR LF lines).
std::string TreeFileText(const GroupRecord& root);

// The element of one entry as the file holds it (with the entries below it), or an
// element with an empty name for kinds that are not written.
XmlElement EntryElement(const GroupRecord& record);

// Handles the children of a `DEVICE` element or of a `Group` element: each device is
// created, numbered when its name is taken in the group, given its path and its newest
// recorded image, and inserted. Returns the number of viewable entries inserted.
int InsertGroupChildren(const DeviceTree& tree, GroupRecord& group, const XmlElement& parentElement);
// Whether every device of `parentElement` would find a name in `group` (its own, or one
// of its numbered names), counting the names the earlier ones take.
bool GroupChildrenCanBeNamed(const GroupRecord& group, const XmlElement& parentElement);

// Number texts of the file: decimal, "0x" hexadecimal or leading-0 octal, read as an
// unsigned 32-bit number (saturating, a leading "-" negates modulo 2^32).
uint32_t ParseFileNumber(std::string_view text);
// A signed decimal number (saturating at the 32-bit range; 0 when there is none).
int32_t ParseSignedDecimal(std::string_view text);
// The flags of a "DaysOfWeek"/"HoursOfDay" text: listed indices set, the rest cleared;
// items outside 0..count-1 or without a number are ignored.
void ParseIndexList(std::string_view text, bool* flags, int count);
std::string IndexListText(const bool* flags, int count);

}  // namespace velmora
