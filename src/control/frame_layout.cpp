#include "control/frame_layout.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "app/strings.h"

namespace velmora::control {

namespace {

constexpr int kFileMenu[] = {10064, 0, 10001, kAddCameraPopup, 0, 10059, 0, 236};
constexpr int kEditMenu[] = {57635, 57634, 57637, 0, 57632, 10000};
constexpr int kViewMenu[] = {10016, 59393, 10060, 0,     10026, 10027, 10028, 10029, 10030, 10031,
                             10032, 10033, 10034, 10035, 10036, 10037, 10038, 10039, 10040, 10041,
                             10042, 0,     10017};
constexpr int kPlayMenu[] = {10050, 0, 10051, 0, 10052, 10053, 0, 10054, 10055, 10056, 10057, 10058};
constexpr int kToolsMenu[] = {240, 0, 10062, 10063, 0, 237};
constexpr int kHelpMenu[] = {238, 0, 239};

constexpr std::array<MenuBarMenu, 6> kMainMenu = {{
    {kMenuTextBase + 1, kFileMenu},
    {kMenuTextBase + 2, kEditMenu},
    {kMenuTextBase + 3, kViewMenu},
    {kMenuTextBase + 4, kPlayMenu},
    {kMenuTextBase + 5, kToolsMenu},
    {kMenuTextBase + 6, kHelpMenu},
}};

// The keys decide, not the menu labels: Ctrl+3 is "Seven Views", Ctrl+0 "8x8".
constexpr Accelerator kAccelerators[] = {
    {"Del", 57632},         {"Ctrl+C", 57634},       {"Ctrl+X", 57635},       {"Ctrl+V", 57637},
    {"Ctrl+Alt+R", 10059},  {"Ctrl+G", 10001},       {"Ctrl+R", 10013},       {"Ctrl+Right", 10058},
    {"Ctrl+Left", 10054},   {"Num++", 10052},        {"+", 10052},            {"=", 10052},
    {"-", 10053},           {"Num+-", 10053},        {"Ctrl+1", 10027},       {"Ctrl+2", 10028},
    {"Ctrl+3", 10030},      {"Ctrl+4", 10033},       {"Ctrl+5", 10034},       {"Ctrl+6", 10036},
    {"Ctrl+7", 10037},      {"Ctrl+8", 10038},       {"Ctrl+9", 10039},       {"Ctrl+0", 10040},
    {"Ctrl+Shift+C", 10016}, {"Ctrl+Shift+D", 10060}, {"F11", 10017},         {"Ctrl+Shift+S", 59393},
    {"Ctrl+Alt+P", 10050},  {"Ctrl+Shift+V", 10061}, {"Ctrl+Shift+L", 10062}, {"Ctrl+Shift+R", 10063},
};

// Recording on or off sits beside Playback, checked while the program records.
constexpr int kViewsToolbar[] = {10050, 10059, 10026, 10027, 10028, 10029, 10030, 10031, 10032, 10033, 10034,
                                 10035, 10036, 10037, 10038, 10039, 10040, 10041, 10042};

// How much of the frame's top edge must lie on the work area for a stored rectangle to
// be used where it is.
constexpr int kVisibleCaption = 32;

}  // namespace

std::span<const MenuBarMenu> MainMenu() { return kMainMenu; }
std::span<const Accelerator> Accelerators() { return kAccelerators; }
std::span<const int> ViewsToolbar() { return kViewsToolbar; }

const char* MenuKeyText(int commandId) {
  const char* pad = nullptr;
  for (const Accelerator& a : kAccelerators) {
    if (a.commandId != commandId) continue;
    if (std::string_view(a.key).starts_with("Num+")) {
      if (pad == nullptr) pad = a.key;
      continue;
    }
    return a.key;
  }
  return pad;
}

int DeviceListWidth(uint32_t stored) {
  if (stored < static_cast<uint32_t>(kDeviceListMinWidth) || stored > static_cast<uint32_t>(kDeviceListMaxWidth))
    return kDeviceListDefaultWidth;
  return static_cast<int>(stored);
}

WindowPlacement PlacementRecord(const FramePlacement& frame) {
  WindowPlacement record;
  record.length = sizeof(WindowPlacement);
  record.flags = 0;
  record.showCmd = frame.maximized ? kShowMaximized : kShowNormal;
  record.minX = record.minY = -1;
  record.maxX = record.maxY = -1;
  record.left = frame.normal.left;
  record.top = frame.normal.top;
  record.right = frame.normal.right;
  record.bottom = frame.normal.bottom;
  return record;
}

std::optional<FramePlacement> PlacementFromRecord(const WindowPlacement& record,
                                                  const Rect& workArea) {
  if (record.length != sizeof(WindowPlacement)) return std::nullopt;
  // The record comes from a file: coordinates beyond any screen are refused before the
  // size arithmetic below could overflow.
  constexpr int32_t kCoordinateLimit = 1 << 20;
  for (int32_t v : {record.left, record.top, record.right, record.bottom}) {
    if (v < -kCoordinateLimit || v > kCoordinateLimit) return std::nullopt;
  }
  Rect r{record.left, record.top, record.right, record.bottom};
  if (r.width() <= 0 || r.height() <= 0) return std::nullopt;
  FramePlacement frame;
  frame.maximized = record.showCmd == kShowMaximized;
  // Never smaller than the frame's minimum size.
  r.right = r.left + std::max(r.width(), kMinFrameWidth);
  r.bottom = r.top + std::max(r.height(), kMinFrameHeight);
  if (workArea.width() > 0 && workArea.height() > 0) {
    const int visibleWidth = std::min(r.right, workArea.right) - std::max(r.left, workArea.left);
    const bool captionVisible = visibleWidth >= kVisibleCaption && r.top >= workArea.top &&
                                r.top <= workArea.bottom - kVisibleCaption;
    if (!captionVisible) {
      const int w = std::min(r.width(), std::max(workArea.width(), kMinFrameWidth));
      const int h = std::min(r.height(), std::max(workArea.height(), kMinFrameHeight));
      const int left = std::clamp(r.left, workArea.left, std::max(workArea.left, workArea.right - w));
      const int top = std::clamp(r.top, workArea.top, std::max(workArea.top, workArea.bottom - h));
      r = Rect{left, top, left + w, top + h};
    }
  }
  frame.normal = r;
  return frame;
}

Rect SnapToWorkArea(const Rect& frame, const Rect& work) {
  int dx = 0, dy = 0;
  if (frame.left > work.left - 32 && frame.left < work.left + 16) {
    dx = work.left - frame.left;
  } else if (frame.right > work.right - 16 && frame.right < work.right + 32) {
    dx = work.right - frame.right;
  }
  if (frame.top > work.top - 32 && frame.top < work.top + 16) {
    dy = work.top - frame.top;
  } else if (frame.bottom > work.bottom - 16 && frame.bottom < work.bottom + 32) {
    dy = work.bottom - frame.bottom;
  }
  return Rect{frame.left + dx, frame.top + dy, frame.right + dx, frame.bottom + dy};
}

int DiskUsagePercent(uint64_t freeBytes, uint64_t totalBytes) {
  if (totalBytes == 0) return -1;
  const double used = 100.0 - 100.0 * static_cast<double>(freeBytes) / static_cast<double>(totalBytes);
  return std::clamp(static_cast<int>(used), 0, 100);
}

int DiskUsagePercentOf(const std::string& folder) {
  struct statvfs disk {};
  if (folder.empty() || ::statvfs(folder.c_str(), &disk) != 0) return -1;
  return DiskUsagePercent(static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize,
                          static_cast<uint64_t>(disk.f_blocks) * disk.f_frsize);
}

}  // namespace velmora::control
