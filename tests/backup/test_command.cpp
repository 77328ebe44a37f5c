// The backup command line: arguments, dates, exit statuses and what it prints.
#include <gtest/gtest.h>

#include <cstdio>

#include "backup/backup_cli.h"
#include "backup_support.h"
#include "temp_dir.h"

namespace velmora::backup {
namespace {

struct Output {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ~Output() {
    std::fclose(out);
    std::fclose(err);
  }
  static std::string Text(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
  }
  std::string errText() { return Text(err); }
  std::string outText() { return Text(out); }
};

TEST(BackupCommand, UsageErrorsExitTwoWithAClearMessage) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--from", "2026-02-30", "a", "b"}, "not a date: '2026-02-30' (use YYYY-MM-DD"},
      {{"--to", "08.12.2026", "a", "b"}, "not a date: '08.12.2026'"},
      {{"--from"}, "--from needs a value"},
      {{"--from", "2026-12-09", "--to", "2026-12-08", "a", "b"}, "--to lies before --from"},
      {{"a"}, "SOURCE and TARGET are needed"},
      {{"a", "b", "c"}, "SOURCE and TARGET are needed"},
      {{"--fast", "a", "b"}, "unknown option '--fast'"},
      {{"--label", "", "a", "b"}, "--label needs a text"},
  };
  for (const Case& c : cases) {
    Output o;
    EXPECT_EQ(BackupCommandMain(c.args, o.out, o.err), 2);
    const std::string err = o.errText();
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_NE(err.find("velmora-nvr backup: "), std::string::npos) << err;
  }
  Output help;
  EXPECT_EQ(BackupCommandMain({"--help"}, help.out, help.err), 0);
  EXPECT_NE(help.outText().find("Usage: velmora-nvr backup"), std::string::npos);
}

TEST(BackupCommand, BacksUpTheLastWeekByDefaultAndExitsZeroOnlyWhenVerified) {
  test::ZoneForTest zone("UTC0");
  test::TempDir src, dst, disc;
  const std::filesystem::path source = std::filesystem::path(src.path()) / "Door";
  // Hours from 10 days before "now" up to now; the default range is the last 7 days.
  const int64_t now = test::UtcHour(2026, 12, 8, 12);
  test::MakeHours(source, static_cast<int32_t>(now - 10 * 86400), 10 * 24 + 1, 1);

  Output o;
  EXPECT_EQ(BackupCommandMain({source.string(), dst.path()}, o.out, o.err, nullptr, now), 0) << o.errText();
  const std::string err = o.errText();
  EXPECT_NE(err.find("days 2026-12-01 to 2026-12-08"), std::string::npos) << err;
  EXPECT_NE(err.find("Copying files..."), std::string::npos) << err;
  EXPECT_NE(err.find("Success."), std::string::npos) << err;
  // 1 Dec 00:00 to 8 Dec 12:00: 7 x 24 + 13 hours, two files each, and the marker.
  std::size_t copied = 0;
  for (const auto& e : std::filesystem::directory_iterator(dst.path())) {
    (void)e;
    ++copied;
  }
  EXPECT_EQ(copied, (7u * 24 + 13) * 2 + 1);
  EXPECT_EQ(test::ReadBytes(source / ".nvr"), "root=\"Door\"\r\n");

  // Given dates, to a disc image, with its label.
  Output d;
  EXPECT_EQ(BackupCommandMain({"--from", "2026-12-07", "--to", "2026-12-07", "--label", "Gate",
                               source.string(), "stdio:" + disc.file("gate.iso")},
                              d.out, d.err, nullptr, now),
            0)
      << d.errText();
  EXPECT_NE(d.errText().find("Recording disc..."), std::string::npos);
  EXPECT_GT(test::ReadBytes(disc.file("gate.iso")).size(), 32768u);

  // Failures exit 1: no source folder, no target folder, a stop before the copy.
  Output f1, f2, f3;
  EXPECT_EQ(BackupCommandMain({(source / "missing").string(), dst.path()}, f1.out, f1.err, nullptr, now), 1);
  EXPECT_NE(f1.errText().find("no recordings folder"), std::string::npos);
  EXPECT_EQ(BackupCommandMain({source.string(), dst.path() + "/missing"}, f2.out, f2.err, nullptr, now), 1);
  EXPECT_NE(f2.errText().find("Failure."), std::string::npos);
  std::atomic<bool> interrupted{true};
  EXPECT_EQ(BackupCommandMain({source.string(), dst.path()}, f3.out, f3.err, &interrupted, now), 1);
  EXPECT_NE(f3.errText().find("stopped"), std::string::npos) << f3.errText();
}

}  // namespace
}  // namespace velmora::backup
