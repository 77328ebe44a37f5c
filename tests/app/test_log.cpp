#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include "app/log.h"
#include "app/settings.h"
#include "platform/clock.h"
#include "temp_dir.h"

namespace velmora {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = dir_.file("Velmora NVR.log");
    SetLogPath(logPath_);
  }
  void TearDown() override {
    SetLogPath("");
    SetLogProfile(false);
  }
  std::string log() const { return ReadFile(logPath_); }

  TempDir dir_;
  std::string logPath_;
};

TEST_F(LogTest, LineHasTimeStampMessageAndCrLf) {
  Log("value %d and %s", 42, "text");
  std::regex line(R"(\[(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d \d\d:\d\d:\d\d \d{4}\]: value 42 and text\r\n)");
  EXPECT_TRUE(std::regex_match(log(), line)) << log();
}

TEST_F(LogTest, LinesWithoutPathAreDroppedAndUtf8IsKept) {
  SetLogPath("");
  Log("dropped");
  SetLogPath(logPath_);
  Log("Kamera \xc3\x9f\xe2\x82\xac");
  EXPECT_EQ(log().find("dropped"), std::string::npos);
  EXPECT_NE(log().find("Kamera \xc3\x9f\xe2\x82\xac\r\n"), std::string::npos);
}

// Names from outside (a medium's folders, a device file, a request) reach the log
// through %s: nothing in them may end the line, forge the next one with a time stamp of
// its own, or reach a terminal that shows the log as a control sequence.
TEST_F(LogTest, ControlCharactersAndBackslashesBecomeVisibleEscapesOnOneLine) {
  Log("DeleteItem: %s [%s]", "Door\r\n[Mon Jan 01 00:00:00 2024]: forged", "a\\b\x1b[2J\x7f\t\x01");
  const std::string text = log();
  EXPECT_EQ(text.find("\r\n"), text.size() - 2) << "one line, ended by its own CR LF";
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_NE(text.find("]: DeleteItem: Door\\r\\n[Mon Jan 01 00:00:00 2024]: forged [a\\\\b\\x1b[2J\\x7f\\t\\x01]\r\n"),
            std::string::npos)
      << text;
  // The escaping is unambiguous: a name holding the escape's own text stays apart.
  EXPECT_EQ(EscapeLogText("\\n"), "\\\\n");
  EXPECT_EQ(EscapeLogText("\n"), "\\n");
  EXPECT_EQ(EscapeLogText(std::string("nul\0byte", 8)), "nul\\x00byte");
}

TEST_F(LogTest, BytesThatAreNotPlainUtf8TextAreEscapedOneByOne) {
  // Letters of any script stay as they are.
  EXPECT_EQ(EscapeLogText("Kamera \xc3\x9f\xe2\x82\xac \xf0\x9f\x93\xb7"), "Kamera \xc3\x9f\xe2\x82\xac \xf0\x9f\x93\xb7");
  // Not UTF-8: stray bytes, a cut sequence, an overlong form, a surrogate.
  EXPECT_EQ(EscapeLogText("\xff\xfe|\xe2\x82|\xc0\xaf|\xed\xa0\x80"),
            "\\xff\\xfe|\\xe2\\x82|\\xc0\\xaf|\\xed\\xa0\\x80");
  // The C1 control CSI, which some terminals take like ESC [.
  EXPECT_EQ(EscapeLogText("\xc2\x9b" "31m"), "\\xc2\\x9b31m");
  // The line separator, and the right-to-left override that shows "exe.jpg" as "gpj.exe".
  EXPECT_EQ(EscapeLogText("a\xe2\x80\xa8" "b"), "a\\xe2\\x80\\xa8b");
  EXPECT_EQ(EscapeLogText("\xe2\x80\xae" "gpj.exe"), "\\xe2\\x80\\xaegpj.exe");
  Log("%s", "\xff\xc2\x85");
  EXPECT_NE(log().find("]: \\xff\\xc2\\x85\r\n"), std::string::npos) << log();
}

TEST_F(LogTest, TheEchoGetsEveryEscapedLineAlsoWithoutALogFile) {
  std::vector<std::string> echoed;
  const LogEcho before = SetLogEcho([&echoed](const std::string& message) { echoed.push_back(message); });
  Log("one\x1b");
  SetLogPath("");
  Log("two");  // no log file: only the echo has it
  SetLogPath(logPath_);
  errno = ENOENT;
  LogLastError("CreateFile");
  SetLogEcho(before);
  Log("three");  // the echo is gone again
  EXPECT_FALSE(static_cast<bool>(before));
  EXPECT_EQ(echoed, (std::vector<std::string>{"one\\x1b", "two", "CreateFile failed (2: No such file or directory)"}));
  EXPECT_EQ(log().find("two"), std::string::npos);
  EXPECT_NE(log().find("three"), std::string::npos);
}

// Under a service manager the journal takes every line; the file may be turned off, but
// never while the journal is not there to take the lines instead.
TEST_F(LogTest, JournalOnlyStopsTheFileButNeverWithoutTheJournal) {
  SetLogJournal(true, false);
  Log("journal only");
  SetLogJournal(false, false);
  Log("file again");
  SetLogJournal(true, true);
  Log("both");
  SetLogJournal(false, true);
  EXPECT_EQ(log().find("journal only"), std::string::npos);
  EXPECT_NE(log().find("file again"), std::string::npos);
  EXPECT_NE(log().find("both"), std::string::npos);
}

TEST(JournalPriority, FailuresAreErrorsRefusalsWarningsDebugLinesDebug) {
  EXPECT_EQ(JournalPriority("CreateFile failed (2: No such file or directory)"), 3);
  EXPECT_EQ(JournalPriority("GetProcessMemoryInfo: E_OUTOFMEMORY"), 3);
  EXPECT_EQ(JournalPriority("invalid pathData [], using default"), 4);
  EXPECT_EQ(JournalPriority("HTTP 401 [/nvr.xml]"), 4);
  EXPECT_EQ(JournalPriority("IOCP[3]: connected"), 7);
  EXPECT_EQ(JournalPriority("Starting up."), 6);
  EXPECT_EQ(JournalPriority("HTTP 200 [/Yard/Door/image.jpg] (size=18311)"), 6);
}

TEST_F(LogTest, FailedCallTexts) {
  errno = ENOENT;
  LogLastError("CreateFile");
  errno = 0;
  LogLastError("ReadFile");
  errno = 99999;  // no system text for it
  LogLastErrorRead("ReadFileEx");
  LogInternetError("HttpSendRequest", 0);
  LogInternetError("HttpOpenRequest", 28, "Timeout was reached");
  std::string text = log();
  EXPECT_NE(text.find("]: CreateFile failed (2: No such file or directory)\r\n"), std::string::npos);
  EXPECT_NE(text.find("]: ReadFile failed\r\n"), std::string::npos);
  EXPECT_NE(text.find("]: ReadFileEx failed\r\n"), std::string::npos);
  EXPECT_NE(text.find("]: HttpSendRequest failed (0)\r\n"), std::string::npos);
  EXPECT_NE(text.find("]: HttpOpenRequest failed (28: Timeout was reached)\r\n"), std::string::npos);
}

TEST_F(LogTest, DeviceLinesFollowDebugLevel) {
  for (int level = 0; level <= 6; ++level) LogDeviceLevel(level, 0, "level %d", level);
  std::string quiet = log();
  EXPECT_NE(quiet.find("level 0"), std::string::npos);
  EXPECT_EQ(quiet.find("level 1"), std::string::npos);
  EXPECT_TRUE(std::regex_search(quiet, std::regex(R"(\]: IOCP\[\d+\]: level 0\r\n)")));
  WriteFile(logPath_, "");
  for (int level = 0; level <= 6; ++level) LogDeviceLevel(level, 6, "level %d", level);
  for (int level = 0; level <= 6; ++level) {
    EXPECT_NE(log().find("level " + std::to_string(level)), std::string::npos);
  }
  WriteFile(logPath_, "");
  LogDeviceLevel(0, -1, "negative level hides even level 0");
  EXPECT_EQ(log(), "");
}

TEST_F(LogTest, HexDumpSixteenBytesPerLine) {
  unsigned char bytes[20];
  for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(0xF0 + i);
  LogHexDump(bytes, sizeof bytes);
  std::string text = log();
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\]: 0x[0-9a-f]+: f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff\r\n)")));
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\]: 0x[0-9a-f]+: 00 01 02 03\r\n)")));
}

TEST_F(LogTest, MemoryReportListsEveryCounter) {
  LogMemoryReport("ImageFromBuffer");
  std::string text = log();
  EXPECT_NE(text.find("ImageFromBuffer: E_OUTOFMEMORY"), std::string::npos);
  for (const char* label :
       {"PageFaultCount=", "PeakWorkingSetSize=", "WorkingSetSize=", "QuotaPeakPagedPoolUsage=",
        "QuotaPagedPoolUsage=", "QuotaPeakNonPagedPoolUsage=", "QuotaNonPagedPoolUsage=",
        "PagefileUsage=", "PeakPagefileUsage=", "PrivateUsage="}) {
    EXPECT_NE(text.find(label), std::string::npos) << label;
  }
  EXPECT_LT(text.find("PageFaultCount="), text.find("PrivateUsage="));
}

TEST_F(LogTest, ProfileTimerWritesOnlyWhenProfiling) {
  SetLogProfile(false);
  { ProfileTimer timer("ReadHeader [quiet]"); }
  SetLogProfile(true);
  { ProfileTimer timer("ReadHeader [loud]"); }
  std::string text = log();
  EXPECT_EQ(text.find("quiet"), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(PROFILER: \d+ms; ReadHeader \[loud\])")));
}

// The tick count and the line times come from the program's clock: a profiled step that
// spans the wrap of the 32-bit tick is measured right, and the line shows the clock's date.
TEST_F(LogTest, ProfileTimerAndLineTimeReadTheProgramClock) {
  platform::ManualClock manual;
  platform::ScopedClock use(manual);
  manual.setWall(std::chrono::system_clock::from_time_t(1'940'000'000));  // June 2031
  manual.setSteadyMs((int64_t{1} << 32) - 100);
  EXPECT_EQ(TickCount(), 0xFFFFFF9Cu);
  SetLogProfile(true);
  {
    ProfileTimer timer("Wrap");
    manual.advance(std::chrono::milliseconds(350));
  }
  EXPECT_EQ(TickCount(), 250u);
  const std::string text = log();
  EXPECT_NE(text.find("PROFILER: 350ms; Wrap"), std::string::npos) << text;
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\[\w+ Jun \d\d \d\d:\d\d:\d\d 2031\]: )"))) << text;
}

TEST_F(LogTest, ClearLogMovesTheLogAsideReplacingOldCopy) {
  WriteFile(logPath_ + ".old", "older");
  WriteFile(logPath_, "previous run\r\n");
  ClearLog();
  EXPECT_EQ(ReadFile(logPath_ + ".old"), "previous run\r\n");
  EXPECT_EQ(access(logPath_.c_str(), F_OK), -1);
  ClearLog();  // nothing to move: not an error, the old copy stays
  EXPECT_EQ(ReadFile(logPath_ + ".old"), "previous run\r\n");
}

unsigned ModeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xFFFF;
}

TEST_F(LogTest, LogFilesAreOwnersOnlyAndOldReadableLogsAreTightened) {
  mode_t savedMask = ::umask(0);
  // A new log.
  Log("first");
  EXPECT_EQ(ModeOf(logPath_), 0600u);
  // A log left readable by others keeps its lines and is made private by the next one.
  WriteFile(logPath_, "earlier line\r\n");
  ::chmod(logPath_.c_str(), 0644);
  Log("next");
  EXPECT_EQ(ModeOf(logPath_), 0600u);
  EXPECT_EQ(log().rfind("earlier line\r\n", 0), 0u);
  EXPECT_NE(log().find("next\r\n"), std::string::npos);
  // Moved aside at start: the old copy is private too.
  ::chmod(logPath_.c_str(), 0644);
  ClearLog();
  EXPECT_EQ(ModeOf(logPath_ + ".old"), 0600u);
  // The trimmed copy that replaces the log, also over a readable leftover temporary file.
  WriteFile(logPath_, std::string(300, 'x') + "\n" + std::string(100, 'y'));
  ::chmod(logPath_.c_str(), 0644);
  WriteFile(logPath_ + ".tmp", "leftover");
  ::chmod((logPath_ + ".tmp").c_str(), 0666);
  uint64_t oldSize = 0, newSize = 0;
  EXPECT_TRUE(TrimFile(logPath_, 200, oldSize, newSize));
  EXPECT_EQ(log(), std::string(100, 'y'));
  EXPECT_EQ(ModeOf(logPath_), 0600u);
  ::umask(savedMask);
}

// Trimming is checked against the log's own size, so the "trimming log file" line that
// TrimLog writes first is part of what it measures.
class TrimTest : public LogTest {
 protected:
  // A log of exactly `size` bytes once TrimLog has appended its own first line.
  std::string fillTo(size_t size, char fill, bool lineFeeds) {
    Log("trimming log file");
    size_t lineLength = ReadFile(logPath_).size();
    WriteFile(logPath_, "");
    std::string body;
    size_t wanted = size - lineLength;
    body.reserve(wanted);
    while (body.size() < wanted) {
      if (lineFeeds && body.size() % 100 == 99) body += '\n';
      else body += fill;
    }
    WriteFile(logPath_, body);
    return body;
  }
};

TEST_F(TrimTest, ExactlyAtLimitIsKept) {
  fillTo(1 << 20, 'a', true);
  EXPECT_FALSE(TrimLog(1));
  EXPECT_EQ(log().size(), size_t{1} << 20);
  EXPECT_EQ(access((logPath_ + ".tmp").c_str(), F_OK), -1);
}

TEST_F(TrimTest, OneByteOverIsCutAtLineBoundary) {
  fillTo((1 << 20) + 1, 'a', true);
  EXPECT_TRUE(TrimLog(1));
  std::string text = log();
  size_t reported = text.find("old size=1048577, new size=");
  ASSERT_NE(reported, std::string::npos);
  std::string kept = text.substr(0, reported);
  kept = kept.substr(0, kept.rfind('['));
  EXPECT_LE(kept.size(), size_t{1} << 20);
  EXPECT_GT(kept.size(), (size_t{1} << 20) - 100);
  EXPECT_NE(kept.front(), '\n');
  EXPECT_EQ(access((logPath_ + ".tmp").c_str(), F_OK), -1);
}

TEST_F(TrimTest, NoLineFeedKeepsExactlyTheLimit) {
  // The cut on its own, since TrimLog's own first line always ends in a line feed.
  std::string path = dir_.file("plain.log");
  std::string content = std::string(1000, 'a') + "\n" + std::string(5000, 'b');
  WriteFile(path, content);
  uint64_t oldSize = 0, newSize = 0;
  ASSERT_TRUE(TrimFile(path, 4096, oldSize, newSize));
  EXPECT_EQ(oldSize, content.size());
  EXPECT_EQ(newSize, 4096u);
  EXPECT_EQ(ReadFile(path), std::string(4096, 'b'));
}

TEST_F(TrimTest, KeptTextStartsAfterFirstLineFeedOfTail) {
  std::string path = dir_.file("lines.log");
  WriteFile(path, "first line\nsecond line\nthird\n");
  uint64_t oldSize = 0, newSize = 0;
  ASSERT_TRUE(TrimFile(path, 20, oldSize, newSize));
  // The last 20 bytes begin inside "first line"; the kept text starts at the next line.
  EXPECT_EQ(ReadFile(path), "second line\nthird\n");
  EXPECT_EQ(newSize, 18u);
}

TEST_F(TrimTest, ZeroLimitLeavesLogAndRemovesTemporaryFile) {
  WriteFile(logPath_, "some\r\nlines\r\n");
  EXPECT_FALSE(TrimLog(0));
  std::string text = log();
  EXPECT_EQ(text.rfind("some\r\nlines\r\n", 0), 0u);
  EXPECT_EQ(text.find("old size="), std::string::npos);
  EXPECT_EQ(access((logPath_ + ".tmp").c_str(), F_OK), -1);
}

TEST_F(TrimTest, MissingLogIsNotTrimmed) {
  SetLogPath(dir_.file("absent/never.log"));
  EXPECT_FALSE(TrimLog(2));
}

}  // namespace
}  // namespace velmora
