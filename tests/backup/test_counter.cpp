// The counting thread: exact figures per range, restarts when the range changes while it
// counts, and a snapshot that never pairs one range's count with another's size.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "backup/backup.h"
#include "backup_support.h"
#include "process.h"
#include "temp_dir.h"

namespace velmora::backup {
namespace {

constexpr uint64_t kSmall = 10;    // bytes of each file of range A
constexpr uint64_t kLarge = 1000;  // bytes of each file of range B
constexpr int kDays = 10;

// A snapshot belongs wholly to one range when its size is its count times that range's
// file size.
void ExpectConsistent(const CountSnapshot& s, uint64_t fileBytes) {
  EXPECT_EQ(s.totalBytes, s.count * fileBytes)
      << "generation " << s.generation << ": " << s.count << " files, " << s.totalBytes << " bytes";
  EXPECT_LE(s.count, static_cast<uint64_t>(kDays * 48));
}

TEST(BackupCounter, RecountMidwayNeverMixesTwoRanges) {
  test::ZoneForTest zone("UTC0");
  test::TempDir dir;
  const std::filesystem::path folder = dir.path();
  // Range A: 1-10 December, small files; range B: 11-20 December, large ones.
  for (int h = 0; h < kDays * 24; ++h) {
    const std::string a = HourKey(test::UtcHour(2026, 12, 1, 0) + h * 3600);
    const std::string b = HourKey(test::UtcHour(2026, 12, 11, 0) + h * 3600);
    test::WriteBytes(folder / (a + ".vlj"), std::string(kSmall, 'a'));
    test::WriteBytes(folder / (a + ".vlx"), std::string(kSmall, 'a'));
    test::WriteBytes(folder / (b + ".vlj"), std::string(kLarge, 'b'));
    test::WriteBytes(folder / (b + ".vlx"), std::string(kLarge, 'b'));
  }
  const DateRange rangeA{LocalDate{2026, 12, 1}, LocalDate{2026, 12, 10}};
  const DateRange rangeB{LocalDate{2026, 12, 11}, LocalDate{2026, 12, 20}};

  FileCounter counter(folder);
  ASSERT_TRUE(counter.start(rangeA));
  EXPECT_FALSE(counter.start(rangeA));  // one thread per counter

  // Switch ranges back and forth while it counts; every snapshot is checked against the
  // range its generation names (even generations are A, odd ones B).
  uint64_t generation = 0;
  for (int round = 0; round < 40; ++round) {
    const bool toB = round % 2 == 0;
    counter.setRange(toB ? rangeB : rangeA);
    ++generation;
    const CountSnapshot now = counter.snapshot();
    EXPECT_EQ(now.generation, generation);
    EXPECT_FALSE(now.complete);
    for (int poll = 0; poll < 20; ++poll) {
      const CountSnapshot s = counter.snapshot();
      ASSERT_EQ(s.generation, generation);
      ExpectConsistent(s, s.generation % 2 == 1 ? kLarge : kSmall);
      if (s.complete) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  // Settled: the last range's figures, whole and exact.
  counter.setRange(rangeB);
  ++generation;
  CountSnapshot last;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    last = counter.snapshot();
    if (last.complete) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(last.complete);
  EXPECT_EQ(last.generation, generation);
  EXPECT_EQ(last.count, static_cast<uint64_t>(kDays * 48));
  EXPECT_EQ(last.totalBytes, static_cast<uint64_t>(kDays * 48) * kLarge);

  // The timer's view: changed once, then quiet until something happens.
  CountSnapshot taken;
  EXPECT_TRUE(counter.takeChanged(taken));
  EXPECT_EQ(taken.count, last.count);
  EXPECT_FALSE(counter.takeChanged(taken));

  // A file added and a recount: the new figures.
  test::WriteBytes(folder / ".nvr", "");
  counter.recount();
  ASSERT_TRUE(test::WaitFor(
      [&] {
        const CountSnapshot s = counter.snapshot();
        return s.complete && s.count == last.count + 1;
      },
      std::chrono::seconds(10)));
  EXPECT_EQ(counter.snapshot().totalBytes, last.totalBytes);

  counter.stop();
  counter.stop();  // stopping twice is harmless
}

TEST(BackupCounter, MissingFolderCountsNothingAndStillStops) {
  FileCounter counter("/nonexistent/velmora/backup");
  ASSERT_TRUE(counter.start(DateRange{LocalDate{2026, 1, 1}, LocalDate{2026, 1, 2}}));
  ASSERT_TRUE(test::WaitFor([&] { return counter.snapshot().complete; }, std::chrono::seconds(10)));
  EXPECT_EQ(counter.snapshot().count, 0u);
  // The destructor stops and joins.
}

}  // namespace
}  // namespace velmora::backup
