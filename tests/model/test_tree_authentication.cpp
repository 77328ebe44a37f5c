// How a device authenticates, in the tree file: the scheme kept for a Digest camera and
// the "send the password only when asked" setting, written for the kinds that carry
// them, read back, absent (and so off) in older files, and handed from a video server
// to its cameras.
#include <string>

#include "model_fixture.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora {
namespace {

using test::ModelTest;

int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST_F(ModelTest, AuthenticationSchemeAndOnlyWhenAskedRoundTripAndOlderFilesKeepBasicUnasked) {
  GroupRecord& nvr = add(root(), EntryKind::LocalNVR, "All Views");
  GroupRecord& group = add(nvr, EntryKind::Group, "Yard");
  GroupRecord& cam = add(group, EntryKind::Device, "Door");
  cam.location = "10.0.0.5";
  cam.authScheme = kAuthSchemeDigest;
  cam.sendPasswordOnlyWhenAsked = true;
  GroupRecord& web = add(group, EntryKind::HTTPDevice, "Web");
  web.location = "http://10.0.0.6/snap.jpg";
  web.sendPasswordOnlyWhenAsked = true;
  GroupRecord& server = add(group, EntryKind::ServerDevice, "Server");
  server.location = "10.0.0.7";
  server.username = "op";
  server.sendPasswordOnlyWhenAsked = true;
  GroupRecord& input = add(server, EntryKind::ServerCamera, "Input");
  input.authScheme = kAuthSchemeDigest;
  input.sendPasswordOnlyWhenAsked = true;
  GroupRecord& plain = add(group, EntryKind::Device, "Plain");
  plain.location = "10.0.0.8";
  int serial = 0;
  for (GroupRecord* r : {&cam, &web, &server, &input, &plain}) {
    r->uuid = "0190a5b2-0000-7000-8000-00000000000" + std::to_string(++serial);
  }

  const std::string text = TreeFileText(root());
  EXPECT_EQ(Count(text, "<AuthScheme>Digest</AuthScheme>"), 2) << text;
  // The server holds the setting for its cameras; a device with it off reads as before.
  EXPECT_EQ(Count(text, "<SendPasswordOnlyWhenAsked>true</SendPasswordOnlyWhenAsked>"), 3) << text;
  EXPECT_EQ(text.find("SendPasswordOnlyWhenAsked>false"), std::string::npos);
  ASSERT_TRUE(SaveTree(TestTree()));
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  ASSERT_TRUE(LoadTree(TestTree(), TestPaths().deviceTreePath));
  EXPECT_EQ(TreeFileText(root()), text) << "a round trip keeps both";
  GroupRecord* door = FindByName(TestTree().root.get(), "Door", true);
  ASSERT_NE(door, nullptr);
  EXPECT_EQ(door->authScheme, kAuthSchemeDigest);
  EXPECT_TRUE(door->sendPasswordOnlyWhenAsked);
  GroupRecord* loadedInput = FindByName(TestTree().root.get(), "Input", true);
  ASSERT_NE(loadedInput, nullptr);
  EXPECT_EQ(loadedInput->authScheme, kAuthSchemeDigest);
  EXPECT_TRUE(loadedInput->sendPasswordOnlyWhenAsked) << "the camera takes the server's setting";
  GroupRecord* loadedPlain = FindByName(TestTree().root.get(), "Plain", true);
  EXPECT_TRUE(loadedPlain->authScheme.empty());
  EXPECT_FALSE(loadedPlain->sendPasswordOnlyWhenAsked);

  // An older file has neither element: Basic still goes out unasked. A scheme this
  // program does not act on is no scheme; elements of the wrong kind are skipped.
  const std::string file =
      "<?xml version=\"1.0\"?>\r\n<DeviceTree version=\"1.0\"><LocalNVR name=\"N\"><Group name=\"G\">"
      "<Device name=\"Old\"><Location>10.1.1.1</Location><Username>u</Username></Device>"
      "<Device name=\"Odd\"><Location>10.1.1.2</Location><AuthScheme>Negotiate</AuthScheme>"
      "<SendPasswordOnlyWhenAsked>True</SendPasswordOnlyWhenAsked></Device>"
      "<NASDevice name=\"Nas\"><Location>/mnt/x</Location><AuthScheme>Digest</AuthScheme></NASDevice>"
      "<ServerDevice name=\"Srv\"><Location>10.1.1.4</Location><CameraList><Camera name=\"C\">"
      "<SendPasswordOnlyWhenAsked>true</SendPasswordOnlyWhenAsked></Camera></CameraList></ServerDevice>"
      "</Group></LocalNVR></DeviceTree>";
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  EXPECT_EQ(LoadTreeText(root(), file, "test"), 4);
  GroupRecord* old = FindByName(TestTree().root.get(), "Old", true);
  EXPECT_TRUE(old->authScheme.empty());
  EXPECT_FALSE(old->sendPasswordOnlyWhenAsked);
  GroupRecord* odd = FindByName(TestTree().root.get(), "Odd", true);
  EXPECT_TRUE(odd->authScheme.empty());
  EXPECT_FALSE(odd->sendPasswordOnlyWhenAsked) << "only the exact text true is true";
  EXPECT_TRUE(FindByName(TestTree().root.get(), "Nas", true)->authScheme.empty());
  EXPECT_FALSE(FindByName(TestTree().root.get(), "C", true)->sendPasswordOnlyWhenAsked)
      << "a camera takes its server's setting, not one of its own";
  const std::string log = ReadFile(TestPaths().logPath);
  EXPECT_NE(log.find("unexpected element type 'AuthScheme'"), std::string::npos) << log;
}

}  // namespace
}  // namespace velmora
