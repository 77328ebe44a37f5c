// Qt-free rules of the main window's frame: the menu bar and the accelerator table, the
// saved window placement, snapping to the work area, and the disk-usage figure of the
// status bar. The Qt window turns these tables into actions and shortcuts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "app/settings.h"

namespace velmora::control {

// One entry of a menu: a command id, 0 for a separator, or kAddCameraPopup.
constexpr int kAddCameraPopup = -1;  // the "Add Camera..." popup of device templates
struct MenuBarMenu {
  int titleString;  // string number of the title ("&File" ...)
  std::span<const int> items;
};
// The main menu in order: File, Edit, View, Play, Tools, Help.
std::span<const MenuBarMenu> MainMenu();

// The accelerator table: a key in the portable text form of the toolkit ("Ctrl+Alt+R",
// "Num++") and the command it sends. Several keys may send one command.
struct Accelerator {
  const char* key;
  int commandId;
};
std::span<const Accelerator> Accelerators();
// The key a menu item shows for a command whose label names none: the first key of the
// accelerator table that sends it, a key of the main keyboard before one of the numeric
// pad. Null when no key sends it.
const char* MenuKeyText(int commandId);

// The commands of the vertical views toolbar, top to bottom.
std::span<const int> ViewsToolbar();

// A rectangle in screen pixels, right and bottom exclusive.
struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int width() const { return right - left; }
  int height() const { return bottom - top; }
  bool operator==(const Rect&) const = default;
};

struct FramePlacement {
  Rect normal;             // the frame's restored (not maximised) rectangle
  bool maximized = false;  // shown maximised (show command 3)
};

constexpr uint32_t kShowNormal = 1;
constexpr uint32_t kShowMinimized = 2;
constexpr uint32_t kShowMaximized = 3;
constexpr int kMinFrameWidth = 640;
constexpr int kMinFrameHeight = 480;

// The Device List's width beside the views: the stored width (deviceListWidth, 0 when
// none was stored) when it lies in the range, else the default.
constexpr int kDeviceListDefaultWidth = 216;
constexpr int kDeviceListMinWidth = 120;
constexpr int kDeviceListMaxWidth = 2000;
int DeviceListWidth(uint32_t stored);

// The 44-byte record for a frame: show command 3 when maximised, else 1 (a minimised
// frame is stored as its restored state, so a start never comes up minimised).
WindowPlacement PlacementRecord(const FramePlacement& frame);

// The placement a stored record asks for, or nothing when the record is not valid (wrong
// length, empty or inverted rectangle). The rectangle is grown to the minimum frame size
// and moved (keeping its size, shrunk only when larger) into the work area when less
// than 32 pixels of its caption would be visible.
std::optional<FramePlacement> PlacementFromRecord(const WindowPlacement& record,
                                                  const Rect& workArea);

// Snapping while the frame is moved with Shift held: each edge within its band of the
// work area's edge moves the frame (not its size) onto that edge. Left and top snap
// from 32 pixels outside to 16 inside, right and bottom from 16 inside to 32 outside;
// the band's ends are excluded.
Rect SnapToWorkArea(const Rect& frame, const Rect& workArea);

// Status bar part 2: 100 - 100 x free / total, truncated and clamped to 0..100; -1 when
// the total is 0.
int DiskUsagePercent(uint64_t freeBytes, uint64_t totalBytes);
// The same for the volume holding `folder` (statvfs); -1 when it cannot be read.
int DiskUsagePercentOf(const std::string& folder);

}  // namespace velmora::control
