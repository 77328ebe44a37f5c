// Options applied in their order, the capacity range, the start-at-login entry, the
// picture naming, device page URLs and the argument lists of external programs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include "app/log.h"
#include "app/settings.h"
#include "control/option_effects.h"
#include "model/group_record.h"
#include "temp_dir.h"

namespace velmora::control {
namespace {

using velmora::test::ReadFile;
using velmora::test::TempDir;

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(OptionEffectsTest, EveryChangeIsStoredAndItsEffectsComeInTheApplyOrder) {
  Settings s;
  const OptionValues before = OptionsFromSettings(s, false);
  OptionValues after = before;
  after.viewResampleLarge = !before.viewResampleLarge;  // one of the three scaling boxes
  after.captionShow = !before.captionShow;
  after.captionShowDimensions = true;
  after.captionShowMotion = true;
  after.motionAlertSilent = true;
  after.taskbarIcon = true;
  after.runAtStartup = true;
  after.diskFullness = 90;
  after.playbackShow = true;

  const std::vector<OptionEffect> effects = ApplyOptions(before, after, s);
  const std::vector<OptionEffect> want = {OptionEffect::kRepaintViewsErasing, OptionEffect::kRepaintViews,
                                          OptionEffect::kTrayIconOn, OptionEffect::kCreateStartupEntry,
                                          OptionEffect::kUpdatePlaybackPane, OptionEffect::kSaveSettings};
  EXPECT_EQ(effects, want);
  EXPECT_EQ(OptionsFromSettings(s, true), after) << "every value stored";

  // Switching back off gives the opposite effects; nothing changed gives only the save.
  const std::vector<OptionEffect> back = ApplyOptions(after, before, s);
  EXPECT_EQ(back, (std::vector<OptionEffect>{OptionEffect::kRepaintViewsErasing, OptionEffect::kRepaintViews,
                                              OptionEffect::kTrayIconOff, OptionEffect::kDeleteStartupEntry,
                                              OptionEffect::kUpdatePlaybackPane, OptionEffect::kSaveSettings}));
  EXPECT_EQ(OptionsFromSettings(s, false), before);
  EXPECT_EQ(ApplyOptions(before, before, s), std::vector<OptionEffect>{OptionEffect::kSaveSettings});
}

TEST(OptionEffectsTest, CaptionOffKeepsTheDetailsAndUnchangedBoxesLeaveOtherChangesAlone) {
  Settings s;
  s.captionShowFPS = true;
  s.captionShowSize = false;
  s.captionShowDimensions = true;
  s.captionShowMotion = false;
  const OptionValues before = OptionsFromSettings(s, false);
  OptionValues after = before;
  after.captionShow = false;
  ApplyOptions(before, after, s);
  EXPECT_FALSE(s.captionShow);
  EXPECT_TRUE(s.captionShowFPS);
  EXPECT_FALSE(s.captionShowSize);
  EXPECT_TRUE(s.captionShowDimensions);
  EXPECT_FALSE(s.captionShowMotion);

  // A toggle of captionShow or taskbarIcon made elsewhere while the dialog was open is
  // not undone by a dialog that did not change that box.
  s.taskbarIcon = true;
  s.viewStretch = false;
  ApplyOptions(after, after, s);
  EXPECT_TRUE(s.taskbarIcon);
  EXPECT_FALSE(s.viewStretch);
}

TEST(OptionEffectsTest, CapacityAcceptsWholeNumbersFromFourToNinetyFive) {
  EXPECT_EQ(ParseDiskFullness("4"), 4);
  EXPECT_EQ(ParseDiskFullness("95"), 95);
  EXPECT_EQ(ParseDiskFullness(" 50 "), 50);
  EXPECT_EQ(ParseDiskFullness("075"), 75);
  for (const char* bad : {"96", "3", "0", "", "  ", "abc", "9 5", "-5", "5%", "1000", "0095", "4.5"})
    EXPECT_EQ(ParseDiskFullness(bad), std::nullopt) << bad;
  EXPECT_EQ(DiskFullnessRangeMessage(), "Please enter an integer between 4 and 95.");
}

TEST(OptionEffectsTest, StartupEntryIsCreatedWithAQuotedExecLineAndDeleted) {
  TempDir dir;
  SetLogPath(dir.file("test.log"));
  const std::string config = dir.file("config dir");
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());
    const std::string entry = StartupEntryPath();
    EXPECT_EQ(entry, config + "/autostart/velmora-nvr.desktop");
    EXPECT_NE(ReadFile(dir.file("test.log")).find("GetStartupShortcut: [" + entry + "]"), std::string::npos);
    EXPECT_FALSE(StartupEntryExists(entry));

    // The folder is made; a program path with blanks, a dollar, quotes and a percent
    // sign comes out as one quoted argument.
    const std::string program = "/opt/my apps/velmora \"nvr\" $HOME 100%";
    ASSERT_TRUE(CreateStartupEntry(entry, program));
    EXPECT_TRUE(StartupEntryExists(entry));
    const std::string text = ReadFile(entry);
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=\"/opt/my apps/velmora \\\\\"nvr\\\\\" \\\\$HOME 100%%\"\n"), std::string::npos)
        << text;
    EXPECT_NE(ReadFile(dir.file("test.log")).find("CMainFrame::SetRunStartup: szApp=[" + program + "]"),
              std::string::npos);
    // A plain path stays unquoted.
    EXPECT_NE(StartupEntryText("/usr/bin/velmora-nvr").find("\nExec=/usr/bin/velmora-nvr\n"), std::string::npos);

    DeleteStartupEntry(entry);
    EXPECT_FALSE(StartupEntryExists(entry));
    DeleteStartupEntry(entry);  // already gone: nothing happens

    // A folder that cannot be made fails with a log line instead of reporting success.
    std::ofstream(dir.file("blocker")) << "x";
    EXPECT_FALSE(CreateStartupEntry(dir.file("blocker") + "/autostart/velmora-nvr.desktop", program));
  }
  {
    // A relative XDG_CONFIG_HOME is ignored as the XDG rules say: HOME/.config is used.
    ScopedEnv xdg("XDG_CONFIG_HOME", "relative/config");
    ScopedEnv home("HOME", dir.path().c_str());
    EXPECT_EQ(StartupEntryPath(), dir.path() + "/.config/autostart/velmora-nvr.desktop");
  }
  SetLogPath(std::string());
}

TEST(OptionEffectsTest, PictureNamesFollowTheLastChosenName) {
  PictureNaming naming;
  EXPECT_EQ(naming.Proposal("/home/u/Pictures/"), "/home/u/Pictures/image1");
  naming.Advance("/tmp/shots/cam.jpg");  // no digit: the name and the counter plus one
  EXPECT_EQ(naming.Proposal("/tmp/shots/"), "/tmp/shots/cam2");
  naming.Advance("/tmp/shots/door12.jpg");
  EXPECT_EQ(naming.Proposal("/tmp/shots/"), "/tmp/shots/door13");
  naming.Advance("/tmp/v1.2/door7b9.jpeg");  // the folder's digits do not count
  EXPECT_EQ(naming.Proposal(""), "door8");
  naming.Advance("/tmp/x/99999999999999999999999999.jpg");  // no overflow
  EXPECT_GT(naming.Proposal("").size(), 0u);
  EXPECT_EQ(naming.Proposal("").find('-'), std::string::npos);

  EXPECT_EQ(FolderOf("/tmp/shots/cam.jpg"), "/tmp/shots/");
  EXPECT_EQ(FolderOf("cam.jpg"), "");
}

TEST(OptionEffectsTest, DevicePagesKeepTheCameraPortAndNameTheServerInput) {
  // The URLs as DeviceUrl gives them for real entries.
  auto camera = CreateRecord(EntryKind::Device, "Gate");
  camera->location = "10.0.0.2:8080";
  auto pages = DevicePageUrls(DeviceUrl(*camera), camera->kind, camera->cameraIndex);
  ASSERT_TRUE(pages);
  EXPECT_EQ(pages->configure, "http://10.0.0.2:8080/admin.cgi");
  EXPECT_EQ(pages->main, "http://10.0.0.2:8080/");

  camera->location = "http://cam.example:80/jpeg.cgi";
  pages = DevicePageUrls(DeviceUrl(*camera), camera->kind, 2);
  ASSERT_TRUE(pages);
  EXPECT_EQ(pages->configure, "http://cam.example/admin.cgi") << "port 80 and a plain camera: no port, no index";
  EXPECT_EQ(pages->main, "http://cam.example/");

  auto input = CreateRecord(EntryKind::ServerCamera, "Camera 3");
  input->location = "10.0.0.3:8080";
  input->cameraIndex = 2;
  pages = DevicePageUrls(DeviceUrl(*input), input->kind, input->cameraIndex);
  ASSERT_TRUE(pages);
  EXPECT_EQ(pages->configure, "http://10.0.0.3:8080/admin.cgi?image&2");
  EXPECT_EQ(pages->main, "http://10.0.0.3:8080/");
  EXPECT_EQ(DevicePageUrls("http://10.0.0.3/jpeg.cgi", EntryKind::ServerCamera, -1)->configure,
            "http://10.0.0.3/admin.cgi");

  // Only http shows its port; file URLs and what cannot be split open nothing.
  EXPECT_EQ(DevicePageUrls("https://cam:8443/", EntryKind::Device, 0)->main, "http://cam/");
  EXPECT_EQ(DevicePageUrls("file:///etc/passwd", EntryKind::Device, 0), std::nullopt);
  EXPECT_EQ(DevicePageUrls("cam$(reboot):8080", EntryKind::Device, 0), std::nullopt);
  EXPECT_EQ(DevicePageUrls("http://cam;reboot/", EntryKind::Device, 0), std::nullopt);
  EXPECT_EQ(DevicePageUrls("", EntryKind::Device, 0), std::nullopt);
}

TEST(OptionEffectsTest, TelnetRunsInTheChosenTerminalWithTheHostAsOneArgument) {
  std::map<std::string, std::string> installed = {{"x-terminal-emulator", "/usr/bin/x-terminal-emulator"},
                                                  {"gnome-terminal", "/usr/bin/gnome-terminal"},
                                                  {"/opt/xfce4-terminal", "/opt/xfce4-terminal"}};
  auto find = [&](const std::string& name) {
    auto it = installed.find(name);
    return it == installed.end() ? std::string() : it->second;
  };
  auto call = TelnetCall("cam.example", nullptr, find);
  ASSERT_TRUE(call);
  EXPECT_EQ(call->program, "/usr/bin/x-terminal-emulator");
  EXPECT_EQ(call->arguments, (std::vector<std::string>{"-e", "telnet", "cam.example"}));

  call = TelnetCall("10.0.0.2", "gnome-terminal", find);
  ASSERT_TRUE(call);
  EXPECT_EQ(call->program, "/usr/bin/gnome-terminal");
  EXPECT_EQ(call->arguments, (std::vector<std::string>{"--", "telnet", "10.0.0.2"}));
  call = TelnetCall("h", "/opt/xfce4-terminal", find);
  EXPECT_EQ(call->arguments, (std::vector<std::string>{"-x", "telnet", "h"}));

  // A TERMINAL that is not installed falls back; with no terminal at all there is none.
  call = TelnetCall("h", "no-such-terminal", find);
  EXPECT_EQ(call->program, "/usr/bin/x-terminal-emulator");
  installed.erase("x-terminal-emulator");
  EXPECT_EQ(TelnetCall("h", "", find), std::nullopt);
}

TEST(OptionEffectsTest, MailCarriesTheDeviceAndDateWithTheAttachment) {
  const std::string device = "Yard/Gate; rm -rf ~ \"$(id)\"";
  const std::string body = MailBody(device, 0);
  EXPECT_EQ(body.rfind("Device: " + device + "\nDate: ", 0), 0u);
  EXPECT_EQ(body.back(), '\n');
  EXPECT_GT(body.size(), ("Device: " + device + "\nDate: \n").size()) << "a date is written";
  EXPECT_EQ(MailArguments(device, body, "/tmp/imgX/image.jpg"),
            (std::vector<std::string>{"--subject", device, "--body", body, "--attach", "/tmp/imgX/image.jpg"}));
  EXPECT_EQ(XdgResultText(0), "Success.");
  EXPECT_EQ(XdgResultText(3), "A required tool could not be found.");
  EXPECT_EQ(XdgResultText(77), "Unknown error.");
  // What the window shows when the desktop could not open a path: the path, then why.
  EXPECT_EQ(OpenFailedText("/data/Velmora NVR.log", XdgFailureReason(3)),
            "Could not open \"/data/Velmora NVR.log\".\n"
            "The desktop's opener (xdg-open) ended with status 3: A required tool could not be found.");
}

TEST(OptionEffectsTest, TheManualIsLookedForBesideTheProgramThenInTheSources) {
  EXPECT_EQ(ManualCandidates("/usr/local/bin", "/src/res"),
            (std::vector<std::string>{"/usr/local/share/doc/velmora-nvr/manual/index.html",
                                      "/src/res/manual/index.html"}));
  EXPECT_EQ(ManualCandidates("/usr/bin/", ""),
            (std::vector<std::string>{"/usr/share/doc/velmora-nvr/manual/index.html"}));
  // The manual shipped in the sources is where the build looks for it.
  EXPECT_TRUE(std::filesystem::is_regular_file(ManualCandidates("", VELMORA_SOURCE_DIR "/res").front()));
}

}  // namespace
}  // namespace velmora::control
