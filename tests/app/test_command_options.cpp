#include "app/command_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora {
namespace {

// A command with one flag and one checked value, as the export and backup commands set up.
struct Reading {
  bool force = false;
  std::string label;
  std::vector<std::string> positional;
  bool help = false;
  std::string error;

  bool Parse(const std::vector<std::string>& args) {
    CommandOptions options;
    options.Flag("--force", force).Value("--label", [this](const std::string& text, std::string& why) {
      if (text.empty()) {
        why = "--label needs a text";
        return false;
      }
      label = text;
      return true;
    });
    return options.Parse(args, positional, help, error);
  }
};

TEST(CommandOptions, ReadsFlagsValuesAndWordsInAnyOrder) {
  Reading r;
  ASSERT_TRUE(r.Parse({"src", "--label", "-x-", "--force", "-", "dst"})) << r.error;
  EXPECT_TRUE(r.force);
  EXPECT_EQ(r.label, "-x-");  // a value may start with '-'
  EXPECT_EQ(r.positional, (std::vector<std::string>{"src", "-", "dst"}));  // "-" is a word
  EXPECT_FALSE(r.help);

  Reading dashes;
  ASSERT_TRUE(dashes.Parse({"--", "--force", "-h"})) << dashes.error;
  EXPECT_FALSE(dashes.force);
  EXPECT_FALSE(dashes.help);
  EXPECT_EQ(dashes.positional, (std::vector<std::string>{"--force", "-h"}));
}

TEST(CommandOptions, RefusesUnknownOptionsMissingAndRefusedValuesAndStopsAtHelp) {
  Reading unknown;
  EXPECT_FALSE(unknown.Parse({"--forced", "a"}));
  EXPECT_EQ(unknown.error, "unknown option '--forced'");

  Reading missing;
  EXPECT_FALSE(missing.Parse({"a", "--label"}));
  EXPECT_EQ(missing.error, "--label needs a value");

  Reading refused;
  EXPECT_FALSE(refused.Parse({"--label", "", "a"}));
  EXPECT_EQ(refused.error, "--label needs a text");

  Reading help;
  EXPECT_TRUE(help.Parse({"--force", "-h", "--bogus"}));  // what follows help is not read
  EXPECT_TRUE(help.help);
  EXPECT_TRUE(help.force);
}

}  // namespace
}  // namespace velmora
