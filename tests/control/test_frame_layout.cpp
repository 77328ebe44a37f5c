#include "control/frame_layout.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "app/strings.h"

namespace velmora::control {
namespace {

TEST(FrameMenus, MenuBarOrderAndEveryItemHasATextAndTooltip) {
  const auto menus = MainMenu();
  ASSERT_EQ(menus.size(), 6u);
  std::vector<std::string> titles;
  for (const auto& m : menus) titles.push_back(StringText(m.titleString));
  EXPECT_EQ(titles, (std::vector<std::string>{"&File", "&Edit", "&View", "&Play", "&Tools", "&Help"}));
  EXPECT_EQ(std::vector<int>(menus[0].items.begin(), menus[0].items.end()),
            (std::vector<int>{10064, 0, 10001, kAddCameraPopup, 0, 10059, 0, 236}));
  EXPECT_EQ(std::vector<int>(menus[4].items.begin(), menus[4].items.end()),
            (std::vector<int>{240, 0, 10062, 10063, 0, 237}));
  // The View menu: the three toggles, the seventeen layouts in id order, Full Screen.
  const auto& view = menus[2].items;
  ASSERT_EQ(view.size(), 23u);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(view[4 + i], 10026 + i);
  EXPECT_EQ(view.back(), 10017);
  for (const auto& m : menus) {
    for (int id : m.items) {
      if (id != 0 && id != kAddCameraPopup) {
        EXPECT_FALSE(StringText(kMenuTextBase + id).empty()) << id;
      }
    }
  }
  // The layout labels show Ctrl+digit on the square layouts, which is not what the keys
  // send (see the accelerator test).
  EXPECT_EQ(StringText(kMenuTextBase + 10031), "3x3\tCtrl+3");
  EXPECT_EQ(StringText(kMenuTextBase + 10042), "10x10\tCtrl+0");
  EXPECT_EQ(StringText(kMenuTextBase + 10030), "Seven Views");
  for (int id : ViewsToolbar()) EXPECT_FALSE(StringText(id).empty()) << id;
}

// A menu item whose label names no key shows the key of the table that sends it, one of
// the main keyboard before one of the numeric pad; the views toolbar has recording on or
// off beside Playback.
TEST(FrameMenus, ItemsShowTheKeysThatSendThemAndTheToolbarRecords) {
  EXPECT_STREQ(MenuKeyText(10016), "Ctrl+Shift+C");
  EXPECT_STREQ(MenuKeyText(10052), "+");  // not "Num++", not "="
  EXPECT_STREQ(MenuKeyText(10053), "-");
  EXPECT_STREQ(MenuKeyText(10054), "Ctrl+Left");
  EXPECT_STREQ(MenuKeyText(10050), "Ctrl+Alt+P");
  EXPECT_EQ(MenuKeyText(10055), nullptr);  // Reverse Play has no key
  EXPECT_EQ(MenuKeyText(0), nullptr);
  // The transport items carry mnemonics.
  for (int id = 10054; id <= 10058; ++id) EXPECT_NE(StringText(kMenuTextBase + id).find('&'), std::string::npos) << id;
  const auto tools = ViewsToolbar();
  ASSERT_EQ(tools.size(), 19u);
  EXPECT_EQ(tools[0], 10050);
  EXPECT_EQ(tools[1], 10059);
  EXPECT_EQ(StringText(10059), "Toggle Recording");
}

// The Device List's stored width comes from a file: only a sensible one is used.
TEST(FrameMenus, DeviceListWidthFromTheSettings) {
  EXPECT_EQ(DeviceListWidth(0), kDeviceListDefaultWidth);
  EXPECT_EQ(DeviceListWidth(300), 300);
  EXPECT_EQ(DeviceListWidth(kDeviceListMinWidth - 1), kDeviceListDefaultWidth);
  EXPECT_EQ(DeviceListWidth(0xFFFFFFFFu), kDeviceListDefaultWidth);
}

TEST(FrameMenus, AcceleratorTableSendsTheTableCommandsNotTheLabels) {
  std::map<std::string, int> keys;
  for (const auto& a : Accelerators()) EXPECT_TRUE(keys.emplace(a.key, a.commandId).second) << a.key;
  EXPECT_EQ(keys.size(), 32u);
  EXPECT_EQ(keys.at("Ctrl+3"), 10030);  // Seven Views, though the menu puts Ctrl+3 on 3x3
  EXPECT_EQ(keys.at("Ctrl+0"), 10040);  // 8x8
  EXPECT_EQ(keys.at("Ctrl+1"), 10027);
  EXPECT_EQ(keys.at("Ctrl+R"), 10013);
  EXPECT_EQ(keys.at("Ctrl+Alt+R"), 10059);
  EXPECT_EQ(keys.at("Num++"), 10052);
  EXPECT_EQ(keys.at("="), 10052);
  EXPECT_EQ(keys.at("Num+-"), 10053);
  EXPECT_EQ(keys.at("Ctrl+Shift+R"), 10063);
  EXPECT_EQ(keys.at("F11"), 10017);
}

TEST(FramePlacementRecord, RoundTripMaximisedMinimumSizeAndOffScreen) {
  const Rect work{0, 0, 1600, 1000};
  FramePlacement frame{{100, 50, 1100, 850}, true};
  WindowPlacement record = PlacementRecord(frame);
  EXPECT_EQ(record.length, 44u);
  EXPECT_EQ(record.showCmd, kShowMaximized);
  auto back = PlacementFromRecord(record, work);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->normal, frame.normal);
  EXPECT_TRUE(back->maximized);

  frame.maximized = false;
  record = PlacementRecord(frame);
  EXPECT_EQ(record.showCmd, kShowNormal);
  EXPECT_FALSE(PlacementFromRecord(record, work)->maximized);
  // A minimised frame is stored with show command 2 by other writers: shown normally.
  record.showCmd = kShowMinimized;
  EXPECT_FALSE(PlacementFromRecord(record, work)->maximized);

  // Invalid records are ignored: never written, wrong length, empty rectangle.
  EXPECT_FALSE(PlacementFromRecord(WindowPlacement{}, work).has_value());
  record.length = 40;
  EXPECT_FALSE(PlacementFromRecord(record, work).has_value());
  record = PlacementRecord({{300, 300, 300, 700}, false});
  EXPECT_FALSE(PlacementFromRecord(record, work).has_value());
  // Coordinates no screen has (whose width would overflow) are refused as well.
  record = PlacementRecord({{-2147483647, 0, 2147483647, 600}, false});
  EXPECT_FALSE(PlacementFromRecord(record, work).has_value());

  // Too small: grown to 640 x 480 from its top-left corner.
  back = PlacementFromRecord(PlacementRecord({{10, 20, 110, 120}, false}), work);
  EXPECT_EQ(back->normal, (Rect{10, 20, 650, 500}));

  // Left on a screen that is gone: moved into the work area, size kept.
  back = PlacementFromRecord(PlacementRecord({{3000, 200, 3800, 800}, false}), work);
  EXPECT_EQ(back->normal, (Rect{800, 200, 1600, 800}));
  // Caption above the work area: moved down.
  back = PlacementFromRecord(PlacementRecord({{100, -300, 900, 400}, false}), work);
  EXPECT_EQ(back->normal, (Rect{100, 0, 900, 700}));
  // Larger than the work area and off it: shrunk to the work area.
  back = PlacementFromRecord(PlacementRecord({{-5000, -5000, -2000, -2000}, false}), work);
  EXPECT_EQ(back->normal, (Rect{0, 0, 1600, 1000}));
}

TEST(FrameSnap, BandsAroundEachEdge) {
  const Rect work{0, 0, 1600, 1000};
  const auto at = [](int left, int top) { return Rect{left, top, left + 800, top + 600}; };
  // 20 outside snaps, 20 inside does not (inner band 16), 40 outside does not (outer 32).
  EXPECT_EQ(SnapToWorkArea(at(-20, 200), work), at(0, 200));
  EXPECT_EQ(SnapToWorkArea(at(20, 200), work), at(20, 200));
  EXPECT_EQ(SnapToWorkArea(at(-40, 200), work), at(-40, 200));
  EXPECT_EQ(SnapToWorkArea(at(15, 200), work), at(0, 200));
  EXPECT_EQ(SnapToWorkArea(at(16, 200), work), at(16, 200));    // band end excluded
  EXPECT_EQ(SnapToWorkArea(at(-32, 200), work), at(-32, 200));  // band end excluded
  // Right edge: 16 inside to 32 outside.
  EXPECT_EQ(SnapToWorkArea(at(1600 - 800 + 20, 200), work), at(800, 200));
  EXPECT_EQ(SnapToWorkArea(at(1600 - 800 - 10, 200), work), at(800, 200));
  EXPECT_EQ(SnapToWorkArea(at(1600 - 800 - 20, 200), work), at(780, 200));
  // Top and bottom at once with the left: the size never changes.
  const Rect moved = SnapToWorkArea(at(-10, 1000 - 600 + 25), work);
  EXPECT_EQ(moved, at(0, 400));
  EXPECT_EQ(SnapToWorkArea(at(300, -31), work), at(300, 0));
}

TEST(FrameDiskUsage, PercentTruncatedAndClamped) {
  EXPECT_EQ(DiskUsagePercent(0, 0), -1);
  EXPECT_EQ(DiskUsagePercent(0, 1000), 100);
  EXPECT_EQ(DiskUsagePercent(1000, 1000), 0);
  EXPECT_EQ(DiskUsagePercent(255, 1000), 74);  // 74.5 truncated
  EXPECT_EQ(DiskUsagePercent(2000, 1000), 0);  // more free than total (quota figures)
  const int used = DiskUsagePercentOf(std::filesystem::temp_directory_path().string());
  EXPECT_GE(used, 0);
  EXPECT_LE(used, 100);
  EXPECT_EQ(DiskUsagePercentOf("/nonexistent/velmora"), -1);
  EXPECT_EQ(DiskUsagePercentOf(""), -1);
}

}  // namespace
}  // namespace velmora::control
