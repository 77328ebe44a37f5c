// The pinned certificate of HTTPS devices in the tree file: written for the kinds that
// connect, read back, ignored when it is not a fingerprint, absent from older files, and
// not taken over by an imported entry without one.
#include <cctype>
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

const std::string kPin = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

TEST_F(ModelTest, CertificateIsKeptPerConnectingEntryAndAnOlderFileOrABadTextKeepsNone) {
  GroupRecord& nvr = add(root(), EntryKind::LocalNVR, "All Views");
  GroupRecord& group = add(nvr, EntryKind::Group, "Yard");
  GroupRecord& cam = add(group, EntryKind::Device, "Door");
  cam.location = "https://10.0.0.5";
  cam.certificate = kPin;
  GroupRecord& web = add(group, EntryKind::HTTPDevice, "Web");
  web.location = "https://10.0.0.6/snap.jpg";
  web.certificate = kPin;
  GroupRecord& server = add(group, EntryKind::ServerDevice, "Server");
  server.location = "https://10.0.0.7";
  GroupRecord& input = add(server, EntryKind::ServerCamera, "Input");
  input.certificate = kPin;
  GroupRecord& plain = add(group, EntryKind::Device, "Plain");
  plain.location = "10.0.0.8";

  int serial = 0;
  for (GroupRecord* r : {&cam, &web, &server, &input, &plain}) {
    r->uuid = "0190a5b2-0000-7000-8000-00000000000" + std::to_string(++serial);
  }
  const std::string text = TreeFileText(root());
  EXPECT_EQ(Count(text, "<Certificate>" + kPin + "</Certificate>"), 3) << text;
  ASSERT_TRUE(SaveTree(TestTree()));
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  ASSERT_TRUE(LoadTree(TestTree(), TestPaths().deviceTreePath));
  EXPECT_EQ(TreeFileText(root()), text) << "a round trip keeps every fingerprint";
  GroupRecord* door = FindByName(TestTree().root.get(), "Door", true);
  ASSERT_NE(door, nullptr);
  EXPECT_EQ(door->certificate, kPin);
  GroupRecord* loadedInput = FindByName(TestTree().root.get(), "Input", true);
  ASSERT_NE(loadedInput, nullptr);
  EXPECT_EQ(loadedInput->certificate, kPin);
  EXPECT_TRUE(FindByName(TestTree().root.get(), "Plain", true)->certificate.empty());

  // An older file has no element; upper-case digits are kept in lower case; anything
  // that is no fingerprint is dropped, so the device pins again on first use.
  std::string upper = kPin;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string file =
      "<?xml version=\"1.0\"?>\r\n<DeviceTree version=\"1.0\"><LocalNVR name=\"N\"><Group name=\"G\">"
      "<Device name=\"Old\"><Location>10.1.1.1</Location></Device>"
      "<Device name=\"Upper\"><Location>https://10.1.1.2</Location><Certificate>" +
      upper +
      "</Certificate></Device>"
      "<HTTPDevice name=\"Bad\"><Location>https://10.1.1.3/a.jpg</Location><Certificate>zz</Certificate>"
      "</HTTPDevice></Group></LocalNVR></DeviceTree>";
  DestroyTree(TestTree().root.get());
  TestTree().root.reset();
  EXPECT_EQ(LoadTreeText(root(), file, "test"), 3);
  EXPECT_TRUE(FindByName(TestTree().root.get(), "Old", true)->certificate.empty());
  EXPECT_EQ(FindByName(TestTree().root.get(), "Upper", true)->certificate, kPin);
  EXPECT_TRUE(FindByName(TestTree().root.get(), "Bad", true)->certificate.empty());

  // An import of the same device without a fingerprint is a new entry that pins anew;
  // the existing entry keeps its own.
  EXPECT_EQ(LoadTreeText(root(), file, "import"), 3);
  GroupRecord* upperAgain = FindByName(TestTree().root.get(), "Upper (1)", true);
  ASSERT_NE(upperAgain, nullptr);
  EXPECT_EQ(upperAgain->certificate, kPin);
  GroupRecord* oldAgain = FindByName(TestTree().root.get(), "Old (1)", true);
  ASSERT_NE(oldAgain, nullptr);
  EXPECT_TRUE(oldAgain->certificate.empty());
}

}  // namespace
}  // namespace velmora
