#include "app/strings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace velmora {
namespace {

TEST(StringTable, EmbeddedTextsKeepEscapesAndUnknownIdsAreEmpty) {
  EXPECT_EQ(StringText(128), "Velmora NVR");
  EXPECT_EQ(StringText(351), "Are you sure you want to exit and stop all\nrecording functions?");
  EXPECT_EQ(StringText(491), "Disk Usage: %d%%");
  // The two trailing blanks of 375 are part of the text.
  EXPECT_EQ(StringText(375).substr(StringText(375).size() - 3), ".  ");
  EXPECT_NE(StringText(131).find("\\ \" <"), std::string::npos);
  EXPECT_EQ(StringText(kMenuTextBase + 10001), "New &Group\tCtrl+G");
  // Tooltips are the strings whose number is the command id.
  EXPECT_EQ(StringText(10030), "Seven Views");
  EXPECT_EQ(StringText(10059), "Toggle Recording");
  EXPECT_TRUE(StringText(0).empty());
  EXPECT_TRUE(StringText(-1).empty());
  EXPECT_TRUE(StringText(99999).empty());
  EXPECT_TRUE(StringText(20003).empty());  // a template separator has no label
}

TEST(StringTable, FormatSubstitutesOneConversionAndPercent) {
  EXPECT_EQ(FormatString(491, 100), "Disk Usage: 100%");
  EXPECT_EQ(FormatString(494, std::string("Door")), "Connecting to Door");
  EXPECT_EQ(FormatString(616, 1024), "You cannot have more than 1024 viewable entries in your list.");
  // A text with several conversions gets the value once; the others vanish.
  EXPECT_EQ(FormatString(468, 5), "Index res: 5, Time Range: , Pics: ");
  EXPECT_EQ(FormatString(12345678, 1), "");
}

// Every line of the source file is in the program, with no number given twice.
TEST(StringTable, SourceFileAndEmbeddedTableAgree) {
  std::ifstream in(std::string(VELMORA_SOURCE_DIR) + "/res/strings.tsv");
  ASSERT_TRUE(in);
  std::set<int> seen;
  std::string line;
  int rows = 0;
  while (std::getline(in, line) && rows < 100000) {
    if (line.empty() || line[0] == '#') continue;
    const int id = std::stoi(line.substr(0, line.find('\t')));
    EXPECT_TRUE(seen.insert(id).second) << id;
    const std::string raw = line.substr(line.find('\t') + 1);
    if (!raw.empty()) {
      EXPECT_FALSE(StringText(id).empty()) << id;
    }
    if (raw.find('\\') == std::string::npos) {
      EXPECT_EQ(StringText(id), raw) << id;
    }
    ++rows;
  }
  EXPECT_GT(rows, 200);
}

}  // namespace
}  // namespace velmora
