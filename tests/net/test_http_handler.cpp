// Routes of the HTTP server on real recording files, without sockets.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

#include <cstring>

#include "app/helpers.h"
#include "app/log.h"
#include "net/http_handler.h"
#include "net/http_listing.h"
#include "net_fixture.h"

namespace velmora::net {
namespace {

using test::AppendRecord;
using test::FakeJpeg;
using test::kRecordTime;

class HttpHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    recordings = dir.path() + "/rec/";
    std::filesystem::create_directories(recordings);
    SetLogPath(dir.file("test.log"));
  }
  void TearDown() override { SetLogPath(std::string()); }

  std::shared_ptr<const TreeSnapshot> snapshot() { return TakeTreeSnapshot(tree.root.get(), recordings); }

  HttpReply request(const std::string& path, const HttpAuth& auth = {}) {
    return HandleRequest("GET " + path + " HTTP/1.0\r\n\r\n", *snapshot(), auth, kRecordTime);
  }
  static std::string body(const HttpReply& reply) {
    if (!reply.file.valid()) return reply.body;
    std::string bytes(reply.fileLength, '\0');
    EXPECT_EQ(::pread(reply.file.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    return bytes;
  }
  static std::string header(const HttpReply& reply, const std::string& name) {
    test::ParsedResponse parsed = test::ParseResponse(reply.header);
    return parsed.header(name);
  }
  std::string log() { return test::ReadFile(dir.file("test.log")); }
  std::filesystem::path doorFolder() { return recordings + "Yard/Door"; }

  test::TempDir dir;
  std::string recordings;
  test::SampleTree tree;
};

TEST_F(HttpHandlerTest, DeviceListingOfTheSampleTree) {
  const HttpReply reply = request("/nvr.xml");
  ASSERT_TRUE(reply.answer);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<root name=\"Velmora NVR\">\n"
            "<group name=\"Yard\">\n"
            "<device name=\"Door\">\n"
            "<url>Yard/Door/image.jpg</url>\n"
            "<refresh>5000</refresh>\n"
            "</device>\n"
            "</group>\n"
            "</root>\n");
  EXPECT_EQ(header(reply, "Content-Type"), "text/xml");
  EXPECT_EQ(header(reply, "Content-Length"), std::to_string(reply.body.size()));
}

TEST_F(HttpHandlerTest, ListingsCoverServersCamerasAndSkipTheRest) {
  auto server = test::AddNode(*tree.yard, EntryKind::ServerDevice, "Gate", true, false);
  test::AddNode(*server, EntryKind::ServerCamera, "Camera 1", true, true, 125);
  test::AddNode(*server, EntryKind::ServerCamera, "Camera 2", false, true, 125);
  test::AddNode(*tree.yard, EntryKind::HTTPDevice, "Web & <Co>", true, true, 30000);
  test::AddNode(*tree.yard, EntryKind::NASDevice, "Store", true, true, 30000);
  auto empty = test::AddNode(*tree.nvr, EntryKind::Group, "Empty Group");
  test::AddNode(*tree.root, EntryKind::RemovableDrive, "USB");

  const std::string xml = DeviceListing(tree.root.get());
  EXPECT_NE(xml.find("<server name=\"Gate\">\n<device name=\"Camera 1\">\n<url>Yard/Gate/Camera 1/image.jpg</url>\n"
                     "<refresh>5000</refresh>\n</device>\n</server>\n"),
            std::string::npos);
  EXPECT_EQ(xml.find("Camera 2"), std::string::npos);
  EXPECT_NE(xml.find("<device name=\"Web &amp; &lt;Co&gt;\">\n<url>Yard/Web &amp; &lt;Co&gt;/image.jpg</url>\n"
                     "<refresh>30000</refresh>"),
            std::string::npos);
  EXPECT_EQ(xml.find("Store"), std::string::npos);
  EXPECT_EQ(xml.find("USB"), std::string::npos);
  EXPECT_NE(xml.find("<group name=\"Empty Group\">\n</group>\n"), std::string::npos);

  const std::string page = ThumbnailPage(tree.root.get());
  EXPECT_NE(page.find("<a href=\"Yard/Gate/Camera%201/image.jpg\"><img src=\"Yard/Gate/Camera%201/image.jpg\" "
                      "width=\"160\" height=\"120\" alt=\"Camera 1\"></a>\n"),
            std::string::npos);
  EXPECT_NE(page.find("<b>Empty Group</b><br>\n<hr>\n"), std::string::npos);
  EXPECT_EQ(page.find("<server"), std::string::npos);
}

TEST_F(HttpHandlerTest, ThumbnailPageOfTheSampleTree) {
  for (const char* path : {"/", "/index.html"}) {
    const HttpReply reply = request(path);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(header(reply, "Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(reply.body,
              "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
              "<title>Velmora NVR</title>\n<style>img { border:0 }</style>\n</head>\n<body>\n"
              "<b>Yard</b><br>\n"
              "<a href=\"Yard/Door/image.jpg\"><img src=\"Yard/Door/image.jpg\" width=\"160\" height=\"120\" "
              "alt=\"Door\"></a>\n"
              "<hr>\n</body></html>");
  }
}

TEST_F(HttpHandlerTest, NewestImageComesFromTheLastEntryOfTheGreatestIndexFile) {
  AppendRecord(doorFolder(), kRecordTime, 0, FakeJpeg(500, 1));
  AppendRecord(doorFolder(), kRecordTime + 3600, 100, FakeJpeg(700, 2));
  const auto newest = AppendRecord(doorFolder(), kRecordTime + 3601, 200, FakeJpeg(45000, 3));
  AppendRecord(doorFolder(), kRecordTime - 7200, 0, FakeJpeg(300, 4));  // older hour, written last

  const HttpReply reply = request("/Yard/Door/image.jpg");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(header(reply, "Content-Type"), "image/jpeg");
  EXPECT_EQ(reply.body, newest.jpeg);
  EXPECT_EQ(header(reply, "Content-Length"), "45000");
  EXPECT_EQ(log().find("HTTP 200"), std::string::npos);  // no log line for images
}

// The server's cache of newest images: a new record of the hour, a new hour, the newest
// hour removed and a folder listed just as it changed each give the image the files hold.
TEST_F(HttpHandlerTest, TheCachedNewestImageFollowsTheFiles) {
  NewestImageCache images;
  auto image = [&](const std::string& device = "Yard/Door") {
    const HttpReply reply =
        HandleRequest("GET /" + device + "/image.jpg HTTP/1.0\r\n\r\n", *snapshot(), {}, kRecordTime, &images);
    EXPECT_EQ(reply.status, 200) << device;
    return reply.body;
  };
  // Sets the folder's time, as if it had last changed then.
  auto changedAt = [&](const std::filesystem::path& folder, const struct timespec& when) {
    const struct timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, folder.c_str(), times, 0), 0);
  };
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const struct timespec anHourAgo { now.tv_sec - 3600, 0 };

  const auto first = AppendRecord(doorFolder(), kRecordTime, 0, FakeJpeg(500, 1));
  changedAt(doorFolder(), anHourAgo);  // settled: its listing is kept
  EXPECT_EQ(image(), first.jpeg);
  const auto second = AppendRecord(doorFolder(), kRecordTime + 1, 0, FakeJpeg(600, 2));  // the index grows
  EXPECT_EQ(image(), second.jpeg);
  const auto nextHour = AppendRecord(doorFolder(), kRecordTime + 3600, 0, FakeJpeg(700, 3));
  EXPECT_EQ(image(), nextHour.jpeg) << "a new index file changes the folder";
  changedAt(doorFolder(), anHourAgo);
  EXPECT_EQ(image(), nextHour.jpeg);

  std::filesystem::remove(DataFilePath(doorFolder(), HourKey(kRecordTime + 3600)));
  std::filesystem::remove(IndexFilePath(doorFolder(), HourKey(kRecordTime + 3600)));
  EXPECT_EQ(image(), second.jpeg) << "the newest hour removed";

  // Listed in the tick it changed: a change in the same tick keeps the folder's time, so
  // that listing is not kept.
  ::clock_gettime(CLOCK_REALTIME, &now);
  changedAt(doorFolder(), now);
  EXPECT_EQ(image(), second.jpeg);
  const auto later = AppendRecord(doorFolder(), kRecordTime + 7200, 0, FakeJpeg(800, 4));
  changedAt(doorFolder(), now);
  EXPECT_EQ(image(), later.jpeg);

  // Another device's folder has its own image.
  const auto lab = AppendRecord(recordings + "Yard/Lab", kRecordTime, 0, FakeJpeg(900, 5));
  EXPECT_EQ(image("Yard/Lab"), lab.jpeg);
  EXPECT_EQ(image(), later.jpeg);
}

TEST_F(HttpHandlerTest, ImageOfADeviceWithoutRecordingsOrWithWrongCaseIsNotFound) {
  std::filesystem::create_directories(recordings + "Yard/Lab");
  HttpReply reply = request("/Yard/Lab/image.jpg");
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(header(reply, "Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(reply.body.find("The requested URL /Yard/Lab/image.jpg was not found"), std::string::npos);
  EXPECT_NE(log().find("HTTP 404 [/Yard/Lab/image.jpg]"), std::string::npos);

  AppendRecord(doorFolder(), kRecordTime, 0, FakeJpeg(500, 1));
  EXPECT_EQ(request("/Yard/Door/image.jpg").status, 200);
  EXPECT_EQ(request("/yard/door/image.jpg").status, 404);
  EXPECT_EQ(request("/Yard/Door/Image.jpg").status, 404);
}

TEST_F(HttpHandlerTest, RecordHeaderFooterAndFeedRequests) {
  const auto first = AppendRecord(doorFolder(), kRecordTime, 0, FakeJpeg(100000, 1));
  const auto second = AppendRecord(doorFolder(), kRecordTime + 5, 250, FakeJpeg(2000, 2));
  AppendRecord(doorFolder(), kRecordTime + 3600, 999, FakeJpeg(600, 3));

  HttpReply reply = request("/Yard/Door/vljpeg?file=26120814.vlj&offset=0");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(header(reply, "Content-Type"), "application/octet-stream");
  EXPECT_EQ(reply.body, first.bytes);
  EXPECT_EQ(reply.body.size(), 100052u);
  EXPECT_TRUE(reply.recordSendBuffer);
  EXPECT_NE(log().find("HTTP 200 [/Yard/Door/vljpeg?file=26120814.vlj&offset=0] (size=100052)"), std::string::npos);

  reply = request("/Yard/Door/vljpeg?file=26120814.vlj&offset=" + std::to_string(second.offset));
  EXPECT_EQ(reply.body, second.bytes);

  reply = request("/Yard/Door/header?file=26120814.vlj&offset=" + std::to_string(second.offset));
  EXPECT_EQ(reply.body, second.bytes.substr(0, 48));

  // The footer at -4 gives the start of the last record; before the second, the first.
  reply = request("/Yard/Door/footer?file=26120814.vlj&offset=-4");
  ASSERT_EQ(reply.body.size(), 4u);
  uint32_t start = 0;
  std::memcpy(&start, reply.body.data(), 4);
  EXPECT_EQ(start, second.offset);
  reply = request("/Yard/Door/footer?file=26120814.vlj&offset=" + std::to_string(second.offset - 4));
  std::memcpy(&start, reply.body.data(), 4);
  EXPECT_EQ(start, 0u);

  reply = request("/Yard/Door/newfeed");
  ASSERT_EQ(reply.body.size(), 32u);
  const IndexEntry head = IndexEntry::FromBytes(reinterpret_cast<const uint8_t*>(reply.body.data()));
  const IndexEntry tail = IndexEntry::FromBytes(reinterpret_cast<const uint8_t*>(reply.body.data() + 16));
  EXPECT_EQ(head.time, kRecordTime);
  EXPECT_EQ(tail.time, kRecordTime + 3600);
  EXPECT_EQ(tail.milliseconds, 999);
  EXPECT_NE(log().find("HTTP 200 [/Yard/Door/newfeed]\r\n"), std::string::npos);

  // Whole files of the node folder, e.g. an index file.
  reply = request("/Yard/Door/26120814.vlx");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(body(reply), test::ReadFile(doorFolder() / "26120814.vlx"));
  EXPECT_NE(log().find("HTTP 200 [/Yard/Door/26120814.vlx] (size=32)"), std::string::npos);
}

TEST_F(HttpHandlerTest, RecordRequestsThatCannotBeReadAreNotFound) {
  const auto first = AppendRecord(doorFolder(), kRecordTime, 0, FakeJpeg(1000, 1));
  // A torn record at the end, as while the recorder writes.
  const std::string torn = AppendRecord(recordings + "tmp", kRecordTime, 0, FakeJpeg(5000, 2)).bytes.substr(0, 3000);
  test::AppendBytes(doorFolder() / "26120814.vlj", torn.data(), torn.size());
  const uint64_t tornAt = first.bytes.size();

  for (const std::string& path : std::vector<std::string>{
           "/Yard/Door/vljpeg?file=26120814.vlj&offset=" + std::to_string(tornAt),
           "/Yard/Door/vljpeg?file=26120814.vlj&offset=7",             // inside a record
           "/Yard/Door/vljpeg?file=26120814.vlj&offset=99999999",      // past the end
           "/Yard/Door/vljpeg?file=26120814.vlj&offset=-99999999",     // before the start
           "/Yard/Door/vljpeg?file=missing.vlj&offset=0",
           "/Yard/Door/vljpeg?offset=0",                                // no file
           "/Yard/Door/header?file=26120814.vlj&offset=" + std::to_string(tornAt + 2990),
           "/Yard/Door/footer?file=26120814.vlj&offset=1",              // no record ends there
           "/Yard/Door/missing.vlx",
       }) {
    EXPECT_EQ(request(path).status, 404) << path;
  }
  // A header with a wrong magic is still sent: the remote reader checks it.
  EXPECT_EQ(request("/Yard/Door/header?file=26120814.vlj&offset=8").status, 200);
}

TEST_F(HttpHandlerTest, BlankInAFolderNameAndNonGetRequests) {
  auto backYard = test::AddNode(*tree.nvr, EntryKind::Group, "Back Yard");
  test::AddNode(*backYard, EntryKind::Device, "Cam 1");
  const auto record = AppendRecord(recordings + "Back Yard/Cam 1", kRecordTime, 0, FakeJpeg(800, 9));
  HttpReply reply = request("/Back%20Yard/Cam%201/image.jpg");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, record.jpeg);

  const auto tree2 = snapshot();
  for (const char* text : {"POST /nvr.xml HTTP/1.0\r\n\r\n", "HEAD / HTTP/1.0\r\n\r\n", "\r\n", "garbage"}) {
    EXPECT_FALSE(HandleRequest(text, *tree2, {}, kRecordTime).answer) << text;
  }
}

TEST_F(HttpHandlerTest, NothingOutsideANodeFolderIsEverServed) {
  AppendRecord(doorFolder(), kRecordTime, 0, FakeJpeg(1000, 1));
  test::WriteFile(dir.file("secret.txt"), "top secret");
  test::WriteFile(recordings + "root.vlx", "not in a node folder");
  std::filesystem::create_directories(recordings + "Orphan");
  test::WriteFile(recordings + "Orphan/x.vlx", "folder of no node");
  // A link and a pipe inside the node folder, and a sub-folder.
  std::filesystem::create_symlink(dir.file("secret.txt"), doorFolder() / "link.vlx");
  ASSERT_EQ(::mkfifo((doorFolder() / "pipe.vlj").c_str(), 0600), 0);
  std::filesystem::create_directories(doorFolder() / "sub");

  const std::vector<std::string> attempts = {
      "/Yard/Door/../../../secret.txt",
      "/Yard/Door/%2e%2e/%2e%2e/%2e%2e/secret.txt",
      "/Yard/Door/..%2f..%2f..%2fsecret.txt",
      "/Yard/Door/..%2F..%2F..%2Fsecret.txt",
      "/Yard/Door/%252e%252e%252f%252e%252e%252fsecret.txt",
      "/Yard/Door/..%5c..%5c..%5csecret.txt",
      "/Yard/Door/vljpeg?file=../../../secret.txt&offset=0",
      "/Yard/Door/vljpeg?file=..%2F..%2F..%2Fsecret.txt&offset=0",
      "/Yard/Door/header?file=%2Fetc%2Fpasswd",
      "/Yard/Door/footer?file=..&offset=-4",
      "/Yard/Door/26120814.vlx%00.jpg",
      "/Yard/Door/whole?x=/../../../secret.txt",
      "/%2e%2e/secret.txt",
      "/root.vlx",
      "/Orphan/x.vlx",
      "/Yard/Door/link.vlx",
      "/Yard/Door/vljpeg?file=link.vlx&offset=0",
      "/Yard/Door/pipe.vlj",
      "/Yard/Door/vljpeg?file=pipe.vlj&offset=0",
      "/Yard/Door/sub",
      "/Yard/Door",
      "/etc/passwd",
      "//etc/passwd",
  };
  for (const std::string& path : attempts) {
    const HttpReply reply = request(path);
    EXPECT_EQ(reply.status, 404) << path;
    EXPECT_EQ(reply.body.find("top secret"), std::string::npos) << path;
    EXPECT_FALSE(reply.file.valid()) << path;
  }
}

TEST_F(HttpHandlerTest, OnlyARecordingDevicesOwnFolderMayBeALink) {
  // Door's recordings on another disk: its folder is a link, and it is served through it.
  test::TempDir disk;
  const auto newest = AppendRecord(disk.path(), kRecordTime, 0, FakeJpeg(900, 4));
  std::filesystem::create_directories(recordings + "Yard");
  std::filesystem::create_directory_symlink(disk.path(), doorFolder());
  test::WriteFile(dir.file("secret.txt"), "top secret");
  EXPECT_EQ(request("/Yard/Door/image.jpg").body, newest.jpeg);
  EXPECT_EQ(request("/Yard/Door/vljpeg?file=26120814.vlj&offset=0").body, newest.bytes);
  EXPECT_EQ(request("/Yard/Door/26120814.vlx").status, 200);

  // A group folder that is a link, a device below it, a storage folder's link and a
  // link inside the linked device folder all lead nowhere.
  test::TempDir elsewhere;
  test::WriteFile(elsewhere.file("secret.vlx"), "top secret");
  AppendRecord(elsewhere.path() + "/Cam", kRecordTime, 0, FakeJpeg(900, 5));
  std::filesystem::create_directory_symlink(elsewhere.path(), recordings + "Back");
  auto back = test::AddNode(*tree.nvr, EntryKind::Group, "Back");
  test::AddNode(*back, EntryKind::Device, "Cam");
  test::AddNode(*tree.yard, EntryKind::NASDevice, "Store");
  std::filesystem::create_directory_symlink(elsewhere.path(), recordings + "Yard/Store");
  std::filesystem::create_symlink(dir.file("secret.txt"), disk.path() + "/26120815.vlx");
  for (const char* path : {"/Back/secret.vlx", "/Back/Cam/image.jpg", "/Back/Cam/26120814.vlx",
                           "/Yard/Store/secret.vlx", "/Yard/Door/26120815.vlx"}) {
    const HttpReply reply = request(path);
    EXPECT_EQ(reply.status, 404) << path;
    EXPECT_FALSE(reply.file.valid()) << path;
    EXPECT_EQ(reply.body.find("top secret"), std::string::npos) << path;
  }
}

TEST_F(HttpHandlerTest, NoNameMakesAPageLinkBeginWithAScheme) {
  auto group = test::AddNode(*tree.nvr, EntryKind::Group, "javascript:alert(1)");
  test::AddNode(*group, EntryKind::Device, "x:y");
  const auto record = AppendRecord(recordings + "javascript:alert(1)/x:y", kRecordTime, 0, FakeJpeg(700, 6));
  const std::string page = request("/index.html").body;
  EXPECT_EQ(page.find("href=\"javascript:"), std::string::npos);
  EXPECT_EQ(page.find("src=\"javascript:"), std::string::npos);
  const std::string link = "javascript%3Aalert(1)/x%3Ay/image.jpg";
  EXPECT_NE(page.find("<a href=\"" + link + "\"><img src=\"" + link + "\""), std::string::npos);
  // The escaped link still reaches the device.
  EXPECT_EQ(request("/" + link).body, record.jpeg);
}

TEST_F(HttpHandlerTest, BasicAuthenticationWhenConfigured) {
  HttpAuth auth{"viewer", "pa:ss"};
  HttpReply reply = request("/nvr.xml", auth);
  EXPECT_EQ(reply.status, 401);
  EXPECT_EQ(header(reply, "WWW-Authenticate"), "Basic realm=\"Velmora NVR\"");
  EXPECT_EQ(header(reply, "Content-Length"), std::to_string(reply.body.size()));

  const auto snap = snapshot();
  const std::string withCredentials =
      "GET /nvr.xml HTTP/1.0\r\nAuthorization: Basic " + Base64Encode("viewer:pa:ss") + "\r\n\r\n";
  EXPECT_EQ(HandleRequest(withCredentials, *snap, auth, kRecordTime).status, 200);
  const std::string wrong = "GET /nvr.xml HTTP/1.0\r\nAuthorization: Basic " + Base64Encode("viewer:pass") + "\r\n\r\n";
  EXPECT_EQ(HandleRequest(wrong, *snap, auth, kRecordTime).status, 401);
  // Without credentials configured the server is open.
  EXPECT_EQ(request("/nvr.xml").status, 200);
}

TEST(HttpSnapshot, NodeFoldersLeaveOutPathsThatCouldEscape) {
  test::SampleTree tree;
  auto odd = test::AddNode(*tree.yard, EntryKind::Device, "..");
  auto removable = test::AddNode(*tree.root, EntryKind::RemovableFolder, "media");
  removable->path = "/media/usb/Velmora";
  const auto snap = TakeTreeSnapshot(tree.root.get(), "/rec");
  EXPECT_EQ(snap->recordingsFolder, "/rec/");
  EXPECT_TRUE(snap->isNodeFolder("Yard"));
  EXPECT_TRUE(snap->isNodeFolder("Yard/Door"));
  EXPECT_FALSE(snap->isNodeFolder("Yard/.."));
  EXPECT_FALSE(snap->isNodeFolder("/media/usb/Velmora"));
  EXPECT_FALSE(snap->isNodeFolder(""));
  EXPECT_FALSE(IsServableFolder("a//b"));
  EXPECT_FALSE(IsServableFolder("a/./b"));
  EXPECT_TRUE(IsServableFolder("Back Yard/Cam 1"));
}

}  // namespace
}  // namespace velmora::net
