// The program's window end to end: velmora-nvr starts offscreen on a device tree of two
// fake cameras, shows them, and its view frame (grabbed by the program into a PNG file
// every second) shows decoded camera frames in the tiles. SIGHUP (its terminal closed) then shuts it down in
// order, saving the window placement.
#include <QImage>
#include <QSet>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "live/camsim_process.h"
#include "playback/test_recorded_data_support.h"
#include "process.h"
#include "temp_dir.h"
#include "ui_test_main.h"

using namespace std::chrono_literals;
using velmora::test::CamsimProcess;
using velmora::test::ChildProcess;
using velmora::test::ReadFile;
using velmora::test::TempDir;
using velmora::test::WriteFile;

namespace {

// Distinct colours inside a rectangle, sampled every other pixel.
int DistinctColours(const QImage& image, const QRect& area) {
  QSet<QRgb> colours;
  const QRect r = area.intersected(image.rect());
  for (int y = r.top(); y <= r.bottom(); y += 2) {
    for (int x = r.left(); x <= r.right(); x += 2) colours.insert(image.pixel(x, y));
  }
  return static_cast<int>(colours.size());
}

// A port on 127.0.0.1 that nothing listens on (taken from the system, then let go).
uint16_t ClosedPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  if (s >= 0) ::close(s);
  return port;
}

// Pixels within a small distance of a colour (a JPEG does not keep it exactly).
int PixelsNear(const QImage& image, QRgb colour) {
  int count = 0;
  for (int y = 0; y < image.height(); y += 2) {
    for (int x = 0; x < image.width(); x += 2) {
      const QRgb p = image.pixel(x, y);
      if (std::abs(qRed(p) - qRed(colour)) + std::abs(qGreen(p) - qGreen(colour)) +
              std::abs(qBlue(p) - qBlue(colour)) < 40)
        ++count;
    }
  }
  return count;
}

}  // namespace

class WindowEndToEndTest : public QObject {
  Q_OBJECT

 private slots:
  void windowPaintsCameraFramesAndShutsDownInOrder() {
    CamsimProcess cams({"--cameras", "2", "--width", "320", "--height", "240", "--quiet"});
    QVERIFY2(cams.ok(), cams.error().c_str());
    TempDir dir;
    for (const char* sub : {"/data", "/config", "/run"}) std::filesystem::create_directories(dir.path() + sub);
    std::filesystem::permissions(dir.path() + "/run", std::filesystem::perms::owner_all);
    const std::string appData = dir.path() + "/data/Velmora/Velmora NVR";
    std::filesystem::create_directories(appData);
    std::string devices;
    for (int i = 0; i < 2; ++i) {
      devices += "<Device name=\"Cam" + std::to_string(i) + "\"><Enabled>true</Enabled><Location>127.0.0.1:" +
                 std::to_string(cams.port(i)) + "</Location><UpdateDelay>100</UpdateDelay></Device>";
    }
    WriteFile(appData + "/Velmora NVR.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<DeviceTree version=\"1.0\">"
              "<LocalNVR name=\"All Views\"><Group name=\"Yard\">" + devices +
                  "</Group></LocalNVR></DeviceTree>\r\n");
    // Recording off: this test is about the window.
    WriteFile(appData + "/Velmora NVR.exe.config", "\t\t<add key=\"recordEnable\" value=\"false\"/>\n");

    const std::string grab = dir.path() + "/view.png";
    ChildProcess program({std::string(VELMORA_BINARY_DIR) + "/velmora-nvr"},
                         {"XDG_DATA_HOME=" + dir.path() + "/data", "XDG_CONFIG_HOME=" + dir.path() + "/config",
                          "XDG_RUNTIME_DIR=" + dir.path() + "/run", "QT_QPA_PLATFORM=offscreen",
                          "VELMORA_GRAB_VIEW_FRAME=" + grab});
    QVERIFY(program.pid() > 0);

    // Two cameras shown: the 2x2 layout, tiles 0 and 1 in the top row. Both must show
    // a decoded frame: many colours where an empty tile has a flat background and text.
    int left = 0, right = 0;
    QImage image;
    const auto deadline = std::chrono::steady_clock::now() + 40s;
    for (int attempt = 0; attempt < 200 && std::chrono::steady_clock::now() < deadline; ++attempt) {
      std::this_thread::sleep_for(200ms);
      if (!image.load(QString::fromStdString(grab)) || image.isNull()) continue;
      const int w = image.width() / 2, h = image.height() / 2;
      left = DistinctColours(image, QRect(0, 0, w, h));
      right = DistinctColours(image, QRect(w, 0, w, h));
      if (left > 200 && right > 200) break;
    }
    const std::string log = ReadFile(appData + "/Velmora NVR.log");
    QVERIFY2(!image.isNull(), log.c_str());
    QVERIFY2(left > 200 && right > 200,
             ("colours " + std::to_string(left) + ", " + std::to_string(right) + "\n" + log).c_str());
    // The bottom half of a 2x2 layout holds no camera: its tiles are flat.
    QVERIFY(DistinctColours(image, QRect(0, image.height() / 2 + 4, image.width(), image.height() / 2 - 8)) < 120);

    // A second start only asks the running window to come to the front, and ends.
    ChildProcess second({std::string(VELMORA_BINARY_DIR) + "/velmora-nvr"},
                        {"XDG_DATA_HOME=" + dir.path() + "/data", "XDG_CONFIG_HOME=" + dir.path() + "/config",
                         "XDG_RUNTIME_DIR=" + dir.path() + "/run", "QT_QPA_PLATFORM=offscreen"});
    QCOMPARE(second.wait(20s), 0);

    program.signal(SIGHUP);
    QCOMPARE(program.wait(20s), 0);
    const std::string after = ReadFile(appData + "/Velmora NVR.log");
    QVERIFY(after.find("saving window size and position") != std::string::npos);
    QVERIFY(after.find("OnExit: done") != std::string::npos);
    QVERIFY(ReadFile(dir.path() + "/config/Velmora/Velmora NVR/registry").find("windowPlacement=binary:2c000000") !=
            std::string::npos);
  }

  // A camera that cannot be reached shows its newest recorded image from the start,
  // with its caption, until frames come: the still the tree loaded goes into its tile.
  void unreachableCameraShowsItsLastRecordedImage() {
    TempDir dir;
    for (const char* sub : {"/data", "/config", "/run", "/rec/Yard/Door"}) std::filesystem::create_directories(dir.path() + sub);
    std::filesystem::permissions(dir.path() + "/run", std::filesystem::perms::owner_all);
    const std::string appData = dir.path() + "/data/Velmora/Velmora NVR";
    std::filesystem::create_directories(appData);
    velmora::playtest::RecordWriter writer(dir.path() + "/rec/Yard/Door");
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    writer.Append(now - 60, 0, velmora::playtest::SmallJpeg(220, 64));  // red 220, green 35, blue 64
    const uint16_t port = ClosedPort();
    QVERIFY(port != 0);
    WriteFile(appData + "/Velmora NVR.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<DeviceTree version=\"1.0\">"
              "<LocalNVR name=\"All Views\"><Group name=\"Yard\"><Device name=\"Door\"><Enabled>true</Enabled>"
              "<Location>127.0.0.1:" + std::to_string(port) + "</Location><UpdateDelay>100</UpdateDelay></Device>"
              "</Group></LocalNVR></DeviceTree>\r\n");
    WriteFile(appData + "/Velmora NVR.exe.config",
              "\t\t<add key=\"recordEnable\" value=\"false\"/>\n"
              "\t\t<add key=\"pathData\" value=\"" + dir.path() + "/rec/\"/>\n");

    const std::string grab = dir.path() + "/view.png";
    ChildProcess program({std::string(VELMORA_BINARY_DIR) + "/velmora-nvr"},
                         {"XDG_DATA_HOME=" + dir.path() + "/data", "XDG_CONFIG_HOME=" + dir.path() + "/config",
                          "XDG_RUNTIME_DIR=" + dir.path() + "/run", "QT_QPA_PLATFORM=offscreen",
                          "VELMORA_GRAB_VIEW_FRAME=" + grab});
    QVERIFY(program.pid() > 0);
    int near = 0;
    QImage image;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (int attempt = 0; attempt < 150 && std::chrono::steady_clock::now() < deadline; ++attempt) {
      std::this_thread::sleep_for(200ms);
      if (!image.load(QString::fromStdString(grab)) || image.isNull()) continue;
      near = PixelsNear(image, qRgb(220, 35, 64));
      if (near > 100) break;
    }
    const std::string log = ReadFile(appData + "/Velmora NVR.log");
    QVERIFY2(near > 100, ("pixels of the still: " + std::to_string(near) + "\n" + log).c_str());
    program.signal(SIGHUP);
    QCOMPARE(program.wait(20s), 0);
  }
};

VELMORA_UI_TEST(WindowEndToEndTest);

#include "test_window_end_to_end.moc"
