// Starts the real program headless with its own folders and checks what it leaves.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::ReadFile;
using test::TempDir;
using test::WaitFor;
using test::WriteFile;

class Headless : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"/data", "/config", "/run", "/home"}) {
      std::filesystem::create_directories(dir_.path() + sub);
    }
    appData_ = dir_.path() + "/data/Velmora/Velmora NVR";
    seedTree(appData_);
  }
  // A tree that holds a (disabled) device: a start with an empty tree would scan the
  // network, which these tests must never do outside a namespace of their own.
  static void seedTree(const std::string& folder) {
    std::filesystem::create_directories(folder);
    WriteFile(folder + "/Velmora NVR.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DeviceTree version=\"1.0\">"
              "<LocalNVR name=\"All Views\"><Group name=\"Local Network Cameras\">"
              "<Device name=\"Seed\"><Location>127.0.0.1:9</Location></Device>"
              "</Group></LocalNVR></DeviceTree>\n");
  }
  std::vector<std::string> env() const {
    return {"XDG_DATA_HOME=" + dir_.path() + "/data", "XDG_CONFIG_HOME=" + dir_.path() + "/config",
            "XDG_RUNTIME_DIR=" + dir_.path() + "/run", "HOME=" + dir_.path() + "/home"};
  }
  std::string program() const { return std::string(VELMORA_BINARY_DIR) + "/velmora-nvr"; }
  std::string log() const { return ReadFile(appData_ + "/Velmora NVR.log"); }
  bool started() const { return log().find("CDVRApp::InitInstance: OK") != std::string::npos; }

  // Lines of the log without their time stamps.
  std::vector<std::string> messages() const {
    std::vector<std::string> lines;
    std::string text = log();
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) break;
      std::string line = text.substr(start, end - start);
      auto prefix = line.find("]: ");
      lines.push_back(prefix == std::string::npos ? line : line.substr(prefix + 3));
      start = end + 2;
    }
    return lines;
  }

  TempDir dir_;
  std::string appData_;
};

// Positions of the wanted lines in the log, in the order asked; -1 when missing.
std::vector<int> Positions(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
  std::vector<int> found;
  for (const auto& w : wanted) {
    int position = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] == w) {
        position = static_cast<int>(i);
        break;
      }
    }
    found.push_back(position);
  }
  return found;
}

TEST_F(Headless, StartsAndShutsDownInOrderOnSigterm) {
  ChildProcess app({program(), "--headless"}, env());
  ASSERT_TRUE(WaitFor([&] { return started(); }, 10s)) << log();
  app.signal(SIGTERM);
  EXPECT_EQ(app.wait(10s), 0);

  std::vector<std::string> order = {
      "Starting up.",
      "invalid pathData [], using default",
      "Velmora NVR version 1.0.0",
      "Creating CMainFrame",
      "CDVRApp::InitInstance: OK",
      "calling record_stop",
      "calling record_close_handles",
      "calling viewthread_shutdown",
      "calling grouprecord_stop",
      "saving window size and position",
      "saving application configuration",
      "OnExit: done",
      "Shutting down.",
  };
  auto positions = Positions(messages(), order);
  for (size_t i = 0; i < order.size(); ++i) {
    ASSERT_GE(positions[i], 0) << "missing: " << order[i] << "\n" << log();
    if (i > 0) {
      EXPECT_GT(positions[i], positions[i - 1]) << order[i];
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(appData_ + "/Recordings"));
  std::string config = ReadFile(appData_ + "/Velmora NVR.exe.config");
  EXPECT_NE(config.find("<add key=\"recordEnable\" value=\"true\"/>"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/config/Velmora/Velmora NVR/registry"));
}

TEST_F(Headless, SecondStartExitsAtOnceAndWritesNothing) {
  ChildProcess first({program(), "--headless"}, env());
  // Wait for the first tick too: it logs the status text posted during start-up.
  ASSERT_TRUE(WaitFor([&] { return log().find("English language loaded.") != std::string::npos; }, 10s));
  // Let the first instance's start-up work (first removal pass) settle: the log must
  // stay the same for half a second.
  std::string logBefore;
  ASSERT_TRUE(WaitFor([&] {
    std::string now = log();
    std::this_thread::sleep_for(500ms);
    bool stable = now == log();
    logBefore = now;
    return stable;
  }, 10s));
  auto listing = [&] {
    std::vector<std::string> files;
    for (auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
      files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
  };
  auto filesBefore = listing();

  ChildProcess second({program(), "--headless"}, env());
  EXPECT_EQ(second.wait(10s), 0);
  EXPECT_EQ(listing(), filesBefore);
  EXPECT_EQ(log(), logBefore);

  first.signal(SIGINT);
  EXPECT_EQ(first.wait(10s), 0);
}

TEST_F(Headless, PathDataNamingAFileFallsBackToDefault) {
  std::filesystem::create_directories(appData_);
  std::string notAFolder = dir_.path() + "/plain-file";
  WriteFile(notAFolder, "x");
  WriteFile(appData_ + "/Velmora NVR.exe.config",
            "junk\n\t\t<add key=\"pathData\" value=\"" + notAFolder + "\"/>\n"
            "\t\t<add key=\"diskFullness\" value=\"60\"/>\n\x01\x02\x03 garbage\n");
  ChildProcess app({program(), "--headless"}, env());
  ASSERT_TRUE(WaitFor([&] { return started(); }, 10s));
  app.signal(SIGTERM);
  EXPECT_EQ(app.wait(10s), 0);
  EXPECT_NE(log().find("invalid pathData [" + notAFolder + "], using default"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(appData_ + "/Recordings"));
  // The settings written at exit keep what was read, garbage lines aside.
  std::string config = ReadFile(appData_ + "/Velmora NVR.exe.config");
  EXPECT_NE(config.find("value=\"" + notAFolder + "\""), std::string::npos);
  EXPECT_NE(config.find("<add key=\"diskFullness\" value=\"60\"/>"), std::string::npos);
}

TEST_F(Headless, AnUnusableDiskFullnessIsLoggedOnceAndSavedAsTheDefault) {
  std::filesystem::create_directories(appData_);
  WriteFile(appData_ + "/Velmora NVR.exe.config",
            "\t\t<add key=\"diskFullness\" value=\"abc\"/>\n");
  ChildProcess app({program(), "--headless"}, env());
  ASSERT_TRUE(WaitFor([&] { return started(); }, 10s));
  app.signal(SIGTERM);
  EXPECT_EQ(app.wait(10s), 0);
  auto lines = messages();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "LoadSettings: diskFullness value \"abc\" is not a number, using 75"),
            1);
  EXPECT_NE(ReadFile(appData_ + "/Velmora NVR.exe.config")
                .find("<add key=\"diskFullness\" value=\"75\"/>"),
            std::string::npos);
}

TEST_F(Headless, LogClearMovesPreviousLogAside) {
  std::filesystem::create_directories(appData_);
  WriteFile(appData_ + "/Velmora NVR.log", "previous run\r\n");
  WriteFile(appData_ + "/Velmora NVR.exe.config", "\t\t<add key=\"logClear\" value=\"true\"/>\n");
  ChildProcess app({program(), "--headless"}, env());
  ASSERT_TRUE(WaitFor([&] { return started(); }, 10s));
  app.signal(SIGTERM);
  EXPECT_EQ(app.wait(10s), 0);
  EXPECT_EQ(ReadFile(appData_ + "/Velmora NVR.log.old"), "previous run\r\n");
  auto lines = messages();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Starting up.");
}

TEST_F(Headless, MissingDataFolderFallsBackToCurrentFolder) {
  // The per-user data folder is a plain file: the current folder becomes the base.
  WriteFile(dir_.path() + "/not-a-folder", "x");
  std::filesystem::create_directories(dir_.path() + "/cwd");
  seedTree(dir_.path() + "/cwd/Velmora/Velmora NVR");
  auto environment = env();
  environment[0] = "XDG_DATA_HOME=" + dir_.path() + "/not-a-folder";
  ChildProcess app;
  app.start({program(), "--headless"}, environment, dir_.path() + "/cwd");
  std::string fallbackLog = dir_.path() + "/cwd/Velmora/Velmora NVR/Velmora NVR.log";
  ASSERT_TRUE(WaitFor([&] { return ReadFile(fallbackLog).find("InitInstance: OK") != std::string::npos; }, 10s));
  app.signal(SIGTERM);
  EXPECT_EQ(app.wait(10s), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() + "/cwd/Velmora/Velmora NVR/Recordings"));
}

TEST_F(Headless, UnwritableLogStillRunsAndShutsDown) {
  // The log's name is taken by a folder: every line is lost, nothing else is.
  std::filesystem::create_directories(appData_ + "/Velmora NVR.log");
  ChildProcess app({program(), "--headless"}, env());
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(appData_ + "/Recordings"); }, 10s));
  std::this_thread::sleep_for(200ms);
  app.signal(SIGTERM);
  EXPECT_EQ(app.wait(10s), 0);
  EXPECT_TRUE(std::filesystem::exists(appData_ + "/Velmora NVR.exe.config"));
}

// A device file with two cameras in the group "Imported".
std::string DeviceFile() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DeviceTree version=\"1.0\">"
         "<LocalNVR name=\"All Views\"><Group name=\"Imported\">"
         "<Device name=\"Gate\"><Location>127.0.0.1:18080</Location></Device>"
         "<Device name=\"Yard\"><Location>127.0.0.1:18081</Location></Device>"
         "</Group></LocalNVR></DeviceTree>\n";
}

TEST_F(Headless, ImportWithoutRunningInstanceMergesIntoTreeFile) {
  WriteFile(dir_.path() + "/devices.xml", DeviceFile());
  ChildProcess import({program(), "import", dir_.path() + "/devices.xml"}, env());
  EXPECT_EQ(import.wait(20s), 0);
  std::string tree = ReadFile(appData_ + "/Velmora NVR.xml");
  EXPECT_NE(tree.find("name=\"Gate\""), std::string::npos) << tree;
  EXPECT_NE(tree.find("name=\"Yard\""), std::string::npos);

  ChildProcess missing({program(), "import", dir_.path() + "/absent.xml"}, env());
  EXPECT_EQ(missing.wait(20s), 1);
}

TEST_F(Headless, ImportIsDoneByTheRunningInstance) {
  WriteFile(dir_.path() + "/devices.xml", DeviceFile());
  ChildProcess app({program(), "--headless"}, env());
  ASSERT_TRUE(WaitFor([&] { return started(); }, 10s));
  ChildProcess import({program(), "import", dir_.path() + "/devices.xml"}, env());
  EXPECT_EQ(import.wait(20s), 0);
  // The running instance saved its tree with the new devices at once.
  EXPECT_NE(ReadFile(appData_ + "/Velmora NVR.xml").find("name=\"Gate\""), std::string::npos);
  app.signal(SIGTERM);
  EXPECT_EQ(app.wait(10s), 0);
  EXPECT_NE(ReadFile(appData_ + "/Velmora NVR.xml").find("name=\"Yard\""), std::string::npos);
}

TEST_F(Headless, ImportThroughRunningInstanceSendsTheWholeAbsoluteName) {
  // The instance works in one folder, the import command runs in another and names the
  // file relative to it, through folders whose names hold blanks.
  std::string work = dir_.path() + "/work dir";
  std::filesystem::create_directories(work + "/sub folder");
  WriteFile(work + "/sub folder/devices.xml", DeviceFile());
  ::chmod((appData_ + "/Velmora NVR.xml").c_str(), 0644);
  ChildProcess app;
  app.start({program(), "--headless"}, env(), dir_.path() + "/home");
  ASSERT_TRUE(WaitFor([&] { return started(); }, 10s));
  std::string output = dir_.path() + "/import.out";
  auto import = [&](const std::string& file) {
    ChildProcess command;
    command.start({program(), "import", file}, env(), work, output);
    return command.wait(20s);
  };

  EXPECT_EQ(import("sub folder/devices.xml"), 0) << ReadFile(output);
  EXPECT_EQ(ReadFile(output), "ok: 2 devices added\n");
  std::string tree = ReadFile(appData_ + "/Velmora NVR.xml");
  EXPECT_NE(tree.find("name=\"Gate\""), std::string::npos) << tree;
  // The tree holds camera passwords: written private, though it was readable before.
  struct stat info {};
  ASSERT_EQ(::stat((appData_ + "/Velmora NVR.xml").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // A missing file is reported under the name the instance was given.
  EXPECT_EQ(import("absent.xml"), 1);
  EXPECT_EQ(ReadFile(output), "error: cannot read device file " + work + "/absent.xml\n");

  // A line feed would cut the request (and smuggle a second one): refused before sending.
  EXPECT_EQ(import("sub folder/devices.xml\nactivate"), 2);
  EXPECT_NE(ReadFile(output).find("control character"), std::string::npos) << ReadFile(output);

  // A tree that cannot be saved is a failed import, not "ok".
  std::filesystem::create_directories(appData_ + "/Velmora NVR.xml.tmp");
  EXPECT_EQ(import("sub folder/devices.xml"), 1);
  EXPECT_NE(ReadFile(output).find("could not be saved"), std::string::npos) << ReadFile(output);
  std::filesystem::remove(appData_ + "/Velmora NVR.xml.tmp");

  app.signal(SIGTERM);
  EXPECT_EQ(app.wait(10s), 0);
}

TEST_F(Headless, UnusableRuntimeFolderMovesTheLockIntoTheDataFolder) {
  // The lock's name in the runtime folder is taken by a folder: no lock can be had there.
  std::string runtimeLock = dir_.path() + "/run/velmora-nvr.lock";
  std::filesystem::create_directories(runtimeLock);
  WriteFile(dir_.path() + "/devices.xml", DeviceFile());
  auto startCount = [&] {
    auto lines = messages();
    return std::count(lines.begin(), lines.end(), std::string("Starting up."));
  };

  ChildProcess first({program(), "--headless"}, env());
  ASSERT_TRUE(WaitFor([&] { return started(); }, 10s));
  EXPECT_TRUE(std::filesystem::exists(appData_ + "/velmora-nvr.lock"));

  // A second start finds the first through the data folder and ends at once.
  ChildProcess second({program(), "--headless"}, env());
  EXPECT_EQ(second.wait(10s), 0);
  // Requests reach the first instance there too.
  ChildProcess import({program(), "import", dir_.path() + "/devices.xml"}, env());
  EXPECT_EQ(import.wait(20s), 0);
  EXPECT_NE(ReadFile(appData_ + "/Velmora NVR.xml").find("name=\"Gate\""), std::string::npos);
  // Once the runtime folder works again, a start still finds the instance that fell back.
  std::filesystem::remove(runtimeLock);
  ChildProcess third({program(), "--headless"}, env());
  EXPECT_EQ(third.wait(10s), 0);
  EXPECT_EQ(startCount(), 1) << log();

  first.signal(SIGTERM);
  EXPECT_EQ(first.wait(10s), 0);

  // No lock anywhere: the start is refused with a message and nothing is started.
  std::filesystem::remove(runtimeLock);  // the file the third start left
  std::filesystem::create_directories(runtimeLock);
  std::filesystem::remove(appData_ + "/velmora-nvr.lock");
  std::filesystem::create_directories(appData_ + "/velmora-nvr.lock");
  std::string output = dir_.path() + "/refused.out";
  ChildProcess refused;
  refused.start({program(), "--headless"}, env(), std::string(), output);
  EXPECT_EQ(refused.wait(10s), 1);
  EXPECT_NE(ReadFile(output).find("cannot take the instance lock"), std::string::npos)
      << ReadFile(output);
  EXPECT_EQ(startCount(), 1);
  ChildProcess refusedImport;
  refusedImport.start({program(), "import", dir_.path() + "/devices.xml"}, env(), std::string(), output);
  EXPECT_EQ(refusedImport.wait(10s), 1);
  EXPECT_NE(ReadFile(output).find("cannot take the instance lock"), std::string::npos);
}

TEST_F(Headless, HangupShutsDownInOrderAndLeavesOnlyPrivateFiles) {
  // Files an older version left readable to everyone, one holding the server's password.
  std::string config = appData_ + "/Velmora NVR.exe.config";
  WriteFile(config, "\t\t<add key=\"httpServerPassword\" value=\"s3cret\"/>\n");
  WriteFile(appData_ + "/Velmora NVR.log", "earlier run\r\n");
  ::chmod(config.c_str(), 0644);
  ::chmod((appData_ + "/Velmora NVR.log").c_str(), 0644);
  ::chmod(appData_.c_str(), 0755);
  // Without a creation mask only the program decides what others may read.
  mode_t savedMask = ::umask(0);
  ChildProcess app({program(), "--headless"}, env());
  ::umask(savedMask);
  ASSERT_TRUE(WaitFor([&] { return started(); }, 10s));
  app.signal(SIGHUP);
  EXPECT_EQ(app.wait(10s), 0);

  std::vector<std::string> order = {"calling record_stop", "calling record_close_handles",
                                    "calling viewthread_shutdown", "calling grouprecord_stop",
                                    "saving application configuration", "OnExit: done",
                                    "Shutting down."};
  auto positions = Positions(messages(), order);
  for (size_t i = 0; i < order.size(); ++i) {
    ASSERT_GE(positions[i], 0) << "missing: " << order[i] << "\n" << log();
    if (i > 0) {
      EXPECT_GT(positions[i], positions[i - 1]) << order[i];
    }
  }
  EXPECT_EQ(log().rfind("earlier run\r\n", 0), 0u);
  EXPECT_NE(ReadFile(config).find("value=\"s3cret\""), std::string::npos);

  auto mode = [](const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xFFFFu;
  };
  std::string configFolder = dir_.path() + "/config/Velmora/Velmora NVR";
  EXPECT_EQ(mode(config), 0600u);
  EXPECT_EQ(mode(appData_ + "/Velmora NVR.log"), 0600u);
  EXPECT_EQ(mode(configFolder + "/registry"), 0600u);
  EXPECT_EQ(mode(appData_), 0700u);
  EXPECT_EQ(mode(configFolder), 0700u);
  EXPECT_EQ(mode(dir_.path() + "/config/Velmora"), 0700u);
}

TEST_F(Headless, CommandLineHelpVersionAndErrors) {
  ChildProcess help({program(), "--help"}, env());
  EXPECT_EQ(help.wait(5s), 0);
  ChildProcess version({program(), "--version"}, env());
  EXPECT_EQ(version.wait(5s), 0);
  ChildProcess unknown({program(), "--bogus"}, env());
  EXPECT_EQ(unknown.wait(5s), 2);
  ChildProcess window({program()}, env());
  EXPECT_EQ(window.wait(5s), 2);
  EXPECT_FALSE(std::filesystem::exists(appData_ + "/Velmora NVR.log")) << "no start-up ran";
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

// Without a display the program refuses to open the window, says how to run headless,
// and touches no file: no log, no settings, no instance lock taken.
TEST(NoDisplay, WindowRefusedWithHintAndNothingWritten) {
  test::TempDir dir;
  const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_DATA_HOME='" + dir.path() +
                              "' XDG_CONFIG_HOME='" + dir.path() + "' XDG_RUNTIME_DIR='" + dir.path() + "' '" +
                              std::string(VELMORA_BINARY_DIR) + "/velmora-nvr' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  for (int i = 0; i < 64 && std::fgets(buffer, sizeof buffer, pipe); ++i) output += buffer;
  const int status = ::pclose(pipe);
#if VELMORA_TEST_HAVE_UI
  EXPECT_NE(output.find("no display"), std::string::npos) << output;
#endif
  EXPECT_NE(output.find("velmora-nvr --headless"), std::string::npos) << output;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// A data folder given on the command line holds everything of its instance: settings,
// tree, log, registry and recordings; the per-user folders stay untouched. One instance
// runs per data folder, and instances of different folders run side by side.
TEST_F(Headless, DataDirHoldsEverythingAndIsOneInstancePerFolder) {
  const std::string first = dir_.path() + "/first", second = dir_.path() + "/second";
  seedTree(first);
  seedTree(second);
  std::filesystem::remove_all(appData_);
  auto logOf = [](const std::string& folder) { return ReadFile(folder + "/Velmora NVR.log"); };
  auto startedIn = [&](const std::string& folder) {
    return logOf(folder).find("CDVRApp::InitInstance: OK") != std::string::npos;
  };

  ChildProcess one({program(), "--headless", "--data-dir", first}, env());
  ASSERT_TRUE(WaitFor([&] { return startedIn(first); }, 10s)) << logOf(first);
  // The environment variable does the same, and a second folder is a second instance.
  std::vector<std::string> secondEnv = env();
  secondEnv.push_back("VELMORA_DATA_DIR=" + second);
  ChildProcess two({program(), "--headless"}, secondEnv);
  ASSERT_TRUE(WaitFor([&] { return startedIn(second); }, 10s)) << logOf(second);
  // The same folder again: the running instance has it, the newcomer leaves at once.
  ChildProcess again({program(), "--data-dir", first, "--headless"}, env());
  EXPECT_EQ(again.wait(10s), 0);

  one.signal(SIGTERM);
  two.signal(SIGTERM);
  EXPECT_EQ(one.wait(10s), 0);
  EXPECT_EQ(two.wait(10s), 0);
  for (const std::string& folder : {first, second}) {
    EXPECT_TRUE(std::filesystem::is_directory(folder + "/Recordings")) << folder;
    EXPECT_TRUE(std::filesystem::exists(folder + "/Velmora NVR.exe.config")) << folder;
    EXPECT_TRUE(std::filesystem::exists(folder + "/registry")) << folder;
    EXPECT_NE(logOf(folder).find("Shutting down."), std::string::npos) << folder;
  }
  EXPECT_FALSE(std::filesystem::exists(appData_));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/config/Velmora"));

  ChildProcess missing({program(), "--headless", "--data-dir"}, env());
  EXPECT_EQ(missing.wait(10s), 2);
  WriteFile(dir_.path() + "/plain", "x");
  ChildProcess unusable({program(), "--data-dir", dir_.path() + "/plain/below", "--headless"}, env());
  EXPECT_EQ(unusable.wait(10s), 1);
}

// The service manager's side: READY=1 once started, WATCHDOG=1 while the main loop
// turns (and none while the process is stopped), STOPPING=1 at SIGTERM.
class ServiceNotify : public Headless {
 protected:
  void SetUp() override {
    Headless::SetUp();
    socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(socket_, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_ = dir_.path() + "/notify";
    ASSERT_LT(path_.size(), sizeof address.sun_path);
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    ASSERT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  void TearDown() override {
    if (socket_ >= 0) ::close(socket_);
  }
  // The messages that arrive within `within`, each datagram one entry.
  std::vector<std::string> receive(std::chrono::milliseconds within, const std::string& until = "") {
    std::vector<std::string> got;
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (int i = 0; i < 10000; ++i) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{socket_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      got.emplace_back(buffer, static_cast<size_t>(n));
      if (!until.empty() && got.back().find(until) != std::string::npos) break;
    }
    return got;
  }
  static int count(const std::vector<std::string>& messages, const std::string& text) {
    return static_cast<int>(std::count_if(messages.begin(), messages.end(),
                                          [&](const std::string& m) { return m.find(text) != std::string::npos; }));
  }
  int socket_ = -1;
  std::string path_;
};

TEST_F(ServiceNotify, ReadyThenWatchdogWhileTheLoopTurnsThenStopping) {
  std::vector<std::string> serviceEnv = env();
  serviceEnv.push_back("NOTIFY_SOCKET=" + path_);
  serviceEnv.push_back("WATCHDOG_USEC=400000");  // a message at least every 200 ms
  ChildProcess app({program(), "--headless"}, serviceEnv);
  std::vector<std::string> start = receive(15s, "READY=1");
  ASSERT_EQ(count(start, "READY=1"), 1) << log();
  // Ready comes after the start-up: the tree is loaded and the recorder started.
  EXPECT_TRUE(started()) << log();

  EXPECT_GE(count(receive(1200ms), "WATCHDOG=1"), 3);
  // A main loop that does not turn sends nothing: the service manager restarts it.
  app.signal(SIGSTOP);
  receive(300ms);  // what was in flight
  EXPECT_EQ(count(receive(1000ms), "WATCHDOG=1"), 0);
  app.signal(SIGCONT);
  EXPECT_GE(count(receive(1000ms), "WATCHDOG=1"), 2);

  app.signal(SIGTERM);
  std::vector<std::string> end = receive(10s, "STOPPING=1");
  EXPECT_EQ(count(end, "STOPPING=1"), 1);
  EXPECT_EQ(app.wait(10s), 0);
}

}  // namespace
}  // namespace velmora
