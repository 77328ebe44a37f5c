// The backup command run as the program: what its code logs reaches standard error and
// the log of the instance whose application-data folder it finds, and nothing is made
// where there is no such folder.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "backup_support.h"
#include "process.h"
#include "temp_dir.h"

namespace velmora::backup {
namespace {

TEST(BackupCommandLog, TheProgramLogsToStandardErrorAndIntoTheInstancesLog) {
  test::TempDir src, disc, home, work;
  test::MakeHours(src.path(), test::UtcHour(2026, 12, 7, 10), 3);
  const std::string program = std::string(VELMORA_BINARY_DIR) + "/velmora-nvr";
  const std::string appData = home.path() + "/Velmora/Velmora NVR";
  std::filesystem::create_directories(appData);
  const std::vector<std::string> env = {"TZ=UTC0", "XDG_DATA_HOME=" + home.path(),
                                        "XDG_CONFIG_HOME=" + home.path() + "/config"};
  const std::vector<std::string> args = {program, "backup", "--from", "2026-12-07", "--to", "2026-12-07",
                                         src.path(), "stdio:" + disc.file("door.iso")};
  {
    test::ChildProcess child;
    child.start(args, env, work.path(), work.file("stderr"));
    ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << test::ReadBytes(work.file("stderr"));
  }
  const std::string err = test::ReadBytes(work.file("stderr"));
  EXPECT_NE(err.find("\nvelmora-nvr backup: recording succeeded\n"), std::string::npos) << err;
  const std::string log = test::ReadBytes(appData + "/Velmora NVR.log");
  EXPECT_NE(log.find("]: adding data to disc image\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("]: recording succeeded\r\n"), std::string::npos) << log;

  // No instance here: the lines reach standard error only, and no folder is made.
  test::TempDir emptyHome;
  std::vector<std::string> again = args;
  again.back() = "stdio:" + disc.file("door2.iso");
  test::ChildProcess child;
  child.start(again, {"TZ=UTC0", "XDG_DATA_HOME=" + emptyHome.path(), "XDG_CONFIG_HOME=" + emptyHome.path() + "/config"},
              work.path(), work.file("stderr2"));
  ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << test::ReadBytes(work.file("stderr2"));
  EXPECT_NE(test::ReadBytes(work.file("stderr2")).find("velmora-nvr backup: recording succeeded\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(emptyHome.path() + "/Velmora"));
  EXPECT_FALSE(std::filesystem::exists(work.path() + "/Velmora"));
}

}  // namespace
}  // namespace velmora::backup
