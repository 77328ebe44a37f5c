#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/event.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/single_instance.h"
#include "temp_dir.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(AtomicWrite, ReplacesWholeFileAndLeavesNoTemporary) {
  TempDir dir;
  std::string path = dir.file("f.txt");
  WriteFile(path, "old content that is longer");
  ASSERT_TRUE(WriteFileAtomic(path, "new"));
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_FALSE(FileExists(path + ".tmp"));
}

TEST(AtomicWrite, FailureKeepsOldFileAndNamesTheCall) {
  TempDir dir;
  std::string path = dir.file("f.txt");
  WriteFile(path, "keep");
  mkdir((path + ".tmp").c_str(), 0700);
  const char* failed = nullptr;
  EXPECT_FALSE(WriteFileAtomic(path, "lost", &failed));
  EXPECT_STREQ(failed, "open");
  EXPECT_EQ(ReadFile(path), "keep");
}

// Mode bits of a file or folder (without the type).
unsigned ModeOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0xFFFF;
  return info.st_mode & 07777;
}

// Runs body with the creation mask cleared, so only the code under test limits modes.
template <class Body>
void WithoutUmask(Body body) {
  mode_t saved = ::umask(0);
  body();
  ::umask(saved);
}

TEST(AtomicWrite, FilesArePrivateWhateverWasThereBefore) {
  TempDir dir;
  std::string fresh = dir.file("fresh");
  std::string readable = dir.file("readable");
  std::string leftover = dir.file("leftover");
  WriteFile(readable, "password=old");
  ::chmod(readable.c_str(), 0644);
  // A temporary file left readable by an interrupted write.
  WriteFile(leftover + ".tmp", "half");
  ::chmod((leftover + ".tmp").c_str(), 0666);
  WithoutUmask([&] {
    ASSERT_TRUE(WriteFileAtomic(fresh, "a"));
    ASSERT_TRUE(WriteFileAtomic(readable, "password=new"));
    ASSERT_TRUE(WriteFileAtomic(leftover, "whole"));
  });
  EXPECT_EQ(ModeOf(fresh), 0600u);
  EXPECT_EQ(ModeOf(readable), 0600u);
  EXPECT_EQ(ReadFile(readable), "password=new");
  EXPECT_EQ(ModeOf(leftover), 0600u);
  EXPECT_EQ(ReadFile(leftover), "whole");
  EXPECT_FALSE(FileExists(leftover + ".tmp"));

  // A link planted under the temporary name is replaced, never written through.
  std::string target = dir.file("target");
  WriteFile(target, "untouched");
  ASSERT_EQ(::symlink(target.c_str(), (fresh + ".tmp").c_str()), 0);
  ASSERT_TRUE(WriteFileAtomic(fresh, "b"));
  EXPECT_EQ(ReadFile(target), "untouched");
  EXPECT_EQ(ReadFile(fresh), "b");
}

TEST(PrivateFolder, CreatesLevelsPrivateAndTightensOwnFolder) {
  TempDir dir;
  std::string deep = dir.file("a/b/c");
  WithoutUmask([&] { ASSERT_TRUE(CreatePrivateFolder(deep + "/")); });
  EXPECT_EQ(ModeOf(dir.file("a")), 0700u);
  EXPECT_EQ(ModeOf(dir.file("a/b")), 0700u);
  EXPECT_EQ(ModeOf(deep), 0700u);

  // An existing folder keeps what it holds and loses group and other access.
  std::string open = dir.file("open");
  ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
  WriteFile(open + "/kept", "x");
  ASSERT_TRUE(CreatePrivateFolder(open));
  EXPECT_EQ(ModeOf(open), 0700u);
  EXPECT_EQ(ReadFile(open + "/kept"), "x");

  // A plain file in the way is no folder.
  WriteFile(dir.file("plain"), "x");
  EXPECT_FALSE(CreatePrivateFolder(dir.file("plain/sub")));
  EXPECT_FALSE(CreatePrivateFolder(dir.file("plain")));
  EXPECT_FALSE(CreatePrivateFolder(""));

  // MakePrivate by name leaves the owner's bits and never follows a link.
  WriteFile(dir.file("f"), "x");
  ::chmod(dir.file("f").c_str(), 0764);
  EXPECT_TRUE(MakePrivate(dir.file("f")));
  EXPECT_EQ(ModeOf(dir.file("f")), 0700u);
  ::chmod(dir.file("plain").c_str(), 0644);
  ASSERT_EQ(::symlink(dir.file("plain").c_str(), dir.file("link").c_str()), 0);
  EXPECT_FALSE(MakePrivate(dir.file("link")));
  EXPECT_EQ(ModeOf(dir.file("plain")), 0644u);
}

TEST(ReadWhole, RefusesLargerThanLimitAndFolders) {
  TempDir dir;
  WriteFile(dir.file("big"), std::string(100, 'x'));
  std::string content;
  EXPECT_TRUE(ReadWholeFile(dir.file("big"), content, 100));
  EXPECT_EQ(content.size(), 100u);
  EXPECT_FALSE(ReadWholeFile(dir.file("big"), content, 99));
  EXPECT_FALSE(ReadWholeFile(dir.path(), content, 1000));
  EXPECT_FALSE(ReadWholeFile(dir.file("missing"), content, 1000));
}

TEST(RegistryKey, TypedValuesRoundTripWithAwkwardBytes) {
  TempDir dir;
  RegistryKey key;
  key.setDword("n", 4294967295u);
  key.setString("s", std::string("line\nbreak\\back\x01", 16));
  key.setBinary("b", {0, 1, 0xFE, 0xFF});
  key.setString("bad=name", "ignored");
  ASSERT_TRUE(key.save(dir.file("r")));
  RegistryKey back;
  ASSERT_TRUE(back.load(dir.file("r")));
  EXPECT_EQ(back.dword("n"), 4294967295u);
  EXPECT_EQ(back.string("s"), std::string("line\nbreak\\back\x01", 16));
  EXPECT_EQ(back.binary("b"), (std::vector<uint8_t>{0, 1, 0xFE, 0xFF}));
  EXPECT_FALSE(back.string("bad=name").has_value());
  // A value read as the wrong type is missing, not converted.
  EXPECT_FALSE(back.dword("s").has_value());
  EXPECT_FALSE(back.string("n").has_value());
}

TEST(Events, ManualStaysSetAutoWakesOneWaiter) {
  Event manual(Event::Reset::kManual);
  EXPECT_FALSE(manual.wait(1ms));
  manual.set();
  EXPECT_TRUE(manual.wait(1ms));
  EXPECT_TRUE(manual.wait(1ms));

  Event automatic(Event::Reset::kAuto);
  automatic.set();
  EXPECT_TRUE(automatic.wait(1ms));
  EXPECT_FALSE(automatic.wait(1ms));

  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = automatic.wait(5s); });
  std::this_thread::sleep_for(20ms);
  automatic.set();
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(SingleInstanceTest, SecondHolderIsRefusedAndRequestsReachTheFirst) {
  TempDir dir;
  SingleInstance first;
  ASSERT_EQ(first.acquire(dir.path()), SingleInstance::Result::kFirst);
  SingleInstance second;
  EXPECT_EQ(second.acquire(dir.path()), SingleInstance::Result::kOtherRunning);

  std::string answer;
  std::thread client([&] { SingleInstance::sendRequest(dir.path(), "import /tmp/x.xml", answer); });
  std::vector<SingleInstance::Request> requests;
  for (int i = 0; i < 250 && requests.empty(); ++i) {
    requests = first.poll();
    if (requests.empty()) std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].line, "import /tmp/x.xml");
  SingleInstance::reply(requests[0], "ok: 3 devices");
  client.join();
  EXPECT_EQ(answer, "ok: 3 devices");

  first.release();
  SingleInstance third;
  EXPECT_EQ(third.acquire(dir.path()), SingleInstance::Result::kFirst);
}

TEST(SingleInstanceTest, FolderThatCannotHoldTheLockIsAnError) {
  TempDir dir;
  SingleInstance instance;
  // Missing, or not a folder.
  EXPECT_EQ(instance.acquire(dir.file("missing")), SingleInstance::Result::kError);
  EXPECT_EQ(instance.acquire(""), SingleInstance::Result::kError);
  WriteFile(dir.file("plain"), "x");
  EXPECT_EQ(instance.acquire(dir.file("plain")), SingleInstance::Result::kError);
  EXPECT_EQ(errno, ENOTDIR);
  // Writable by others: anyone could hold or fake the lock there.
  std::string shared = dir.file("shared");
  ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
  ::chmod(shared.c_str(), 01777);
  EXPECT_EQ(instance.acquire(shared), SingleInstance::Result::kError);
  EXPECT_EQ(errno, EACCES);
  EXPECT_FALSE(FileExists(shared + "/velmora-nvr.lock"));
  // The lock's name taken by a folder.
  std::string taken = dir.file("taken");
  ASSERT_EQ(::mkdir(taken.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((taken + "/velmora-nvr.lock").c_str(), 0700), 0);
  EXPECT_EQ(instance.acquire(taken), SingleInstance::Result::kError);

  // A folder that works after all of these.
  EXPECT_EQ(instance.acquire(dir.path()), SingleInstance::Result::kFirst);
}

TEST(SingleInstanceTest, NoInstanceMeansNoAnswer) {
  TempDir dir;
  std::string answer;
  EXPECT_FALSE(SingleInstance::sendRequest(dir.path(), "activate", answer, 100));
}

TEST(SingleInstanceTest, OverlongRequestLineIsRefused) {
  TempDir dir;
  SingleInstance first;
  ASSERT_EQ(first.acquire(dir.path()), SingleInstance::Result::kFirst);
  std::string answer;
  std::thread client([&] {
    SingleInstance::sendRequest(dir.path(), std::string(10000, 'a'), answer, 1000);
  });
  std::vector<SingleInstance::Request> requests;
  for (int i = 0; i < 50; ++i) {
    auto got = first.poll();
    requests.insert(requests.end(), got.begin(), got.end());
    std::this_thread::sleep_for(20ms);
  }
  client.join();
  EXPECT_TRUE(requests.empty());
  EXPECT_TRUE(answer.empty());
}

}  // namespace
}  // namespace velmora::platform
