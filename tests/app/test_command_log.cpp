// The terminal of a command-line command: the progress line redrawn in place, every
// other line (the command's own and the log's) starting on a line of its own, and the
// log of the instance whose folders the command uses.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/command_log.h"
#include "app/log.h"
#include "temp_dir.h"

namespace velmora {
namespace {

using test::ReadFile;
using test::TempDir;

// A standard error of the test's own.
class Terminal {
 public:
  Terminal() : file_(std::tmpfile()) {}
  ~Terminal() {
    if (file_ != nullptr) std::fclose(file_);
  }
  std::FILE* file() const { return file_; }
  std::string text() const {
    std::fflush(file_);
    std::rewind(file_);
    std::string out;
    char buffer[512];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
    std::fseek(file_, 0, SEEK_END);
    return out;
  }

 private:
  std::FILE* file_;
};

class CommandLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousPath_ = GetLogPath();
    SetLogPath(dir_.file("test.log"));
  }
  void TearDown() override { SetLogPath(previousPath_); }
  std::string log() const { return ReadFile(dir_.file("test.log")); }

  TempDir dir_;
  std::string previousPath_;
};

TEST_F(CommandLogTest, LinesStartOnALineOfTheirOwnAfterTheProgressLine) {
  Terminal t;
  CommandConsole console(t.file());
  console.Line("starting");
  console.Progress("exporting:  10%");
  console.Progress("exporting:  20%");
  console.Line("ReadJpeg: retry=0");
  console.Line("ReadJpeg: retry=1");
  console.Progress("exporting:  30%");
  console.Line("done");
  std::string expected = "starting\n\rexporting:  10%\rexporting:  20%\nReadJpeg: retry=0\nReadJpeg: retry=1\n"
                         "\rexporting:  30%\ndone\n";
  EXPECT_EQ(t.text(), expected);
  // A line that repeats the one just before it says nothing new; once something else
  // was written it is written again.
  console.Line("done");
  console.Line("again");
  console.Line("done");
  expected += "again\ndone\n";
  EXPECT_EQ(t.text(), expected);
  // Closed with a progress line shown: the line is ended, and nothing follows.
  console.Progress("exporting:  40%");
  console.Close();
  console.Line("late");
  console.Progress("late");
  expected += "\rexporting:  40%\n";
  EXPECT_EQ(t.text(), expected);
}

TEST_F(CommandLogTest, WhileTheScopeLivesTheLogIsEchoedWithTheCommandsName) {
  Terminal t;
  {
    CommandLogScope scope(t.file(), "velmora-nvr export");
    scope.console().Progress("exporting:   5%");
    Log("ReadJpeg: retry=%d", 3);
    Log("name %s", "a\nb\x1b");
    // The same failure logged twice in a row (where it is found and where the export
    // ends) and said again by the command shows once; the command's own lines are
    // escaped like the log's.
    Log("Unable to read!");
    Log("Unable to read!");
    scope.Line("Unable to read!");
    scope.Line("written to /tmp/x\x1b[2J");
    // Lines logged on other threads keep whole lines.
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([i] {
        for (int n = 0; n < 50; ++n) Log("thread %d line %d", i, n);
      });
    }
    for (auto& thread : threads) thread.join();
  }
  Log("after the command");
  const std::string text = t.text();
  EXPECT_EQ(text.rfind("\rexporting:   5%\nvelmora-nvr export: ReadJpeg: retry=3\n"
                       "velmora-nvr export: name a\\nb\\x1b\nvelmora-nvr export: Unable to read!\n"
                       "velmora-nvr export: written to /tmp/x\\x1b[2J\n",
                       0),
            0u)
      << text;
  EXPECT_EQ(text.find("after the command"), std::string::npos);
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = text.find("velmora-nvr export: thread ", at)) != std::string::npos; ++at) {
    EXPECT_TRUE(at > 0 && text[at - 1] == '\n') << "a line of its own";
    ++lines;
  }
  EXPECT_EQ(lines, 200u);
  // The log file has every line as always.
  EXPECT_NE(log().find("]: ReadJpeg: retry=3\r\n"), std::string::npos);
  EXPECT_NE(log().find("]: after the command\r\n"), std::string::npos);
}

// The command writes into the log of the instance whose application-data folder it
// uses, when there is one; it never makes that folder.
TEST_F(CommandLogTest, TheInstancesLogIsUsedOnlyWhenItsFolderExists) {
  const char* saved = ::getenv("XDG_DATA_HOME");
  const std::string savedHome = saved != nullptr ? saved : "";
  TempDir data;
  ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  const std::string folder = data.path() + "/Velmora/Velmora NVR";
  // The test runs in a folder of its own, so the current folder offers no instance either.
  TempDir work;
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(work.path());

  EXPECT_EQ(UseInstanceLog(), "");
  EXPECT_EQ(GetLogPath(), dir_.file("test.log")) << "left as it was";
  EXPECT_FALSE(std::filesystem::exists(data.path() + "/Velmora"));

  std::filesystem::create_directories(folder);
  EXPECT_EQ(UseInstanceLog(), folder + "/Velmora NVR.log");
  EXPECT_EQ(GetLogPath(), folder + "/Velmora NVR.log");
  Log("export: a line of the command");
  EXPECT_NE(ReadFile(folder + "/Velmora NVR.log").find("]: export: a line of the command\r\n"), std::string::npos);

  std::filesystem::current_path(cwd);
  if (saved != nullptr) {
    ::setenv("XDG_DATA_HOME", savedHome.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
}

}  // namespace
}  // namespace velmora
