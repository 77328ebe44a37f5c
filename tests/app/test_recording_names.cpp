#include "app/recording_names.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

// One rule for every folder walk: the media scan, the old-recordings branch, the file count.
TEST(RecordingNames, ExtensionsInAnyCaseAfterAtLeastOneCharacter) {
  EXPECT_TRUE(IsRecordingFileName("26120814.vlj"));
  EXPECT_TRUE(IsRecordingFileName("26120814.VLX"));
  EXPECT_TRUE(IsRecordingFileName("x.Vlj"));
  EXPECT_FALSE(IsRecordingFileName(".vlj"));  // the extension alone names no hour
  EXPECT_FALSE(IsRecordingFileName("26120814.vlj.copying"));
  EXPECT_FALSE(IsRecordingFileName("26120814.vl"));
  EXPECT_FALSE(IsRecordingFileName(kRootMarkerName));
  EXPECT_TRUE(HasFileExtension("26120814.VLJ", kDataFileExtension));
  EXPECT_FALSE(HasFileExtension("26120814.vlx", kDataFileExtension));
}

}  // namespace
}  // namespace velmora
