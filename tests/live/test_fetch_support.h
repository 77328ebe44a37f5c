// Shared by the live-acquisition tests: a fixture with its own log and application-data
// folder and clean process-wide state, small JPEG and stream builders, and a reader of
// the main queue.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/log.h"
#include "app/messages.h"
#include "app/paths.h"
#include "app/settings.h"
#include "live/decrypt.h"
#include "live/fetch.h"
#include "media/image.h"
#include "media/jpeg.h"
#include "live/stream.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "upper_layer_calls.h"
#include "test_view_slots.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestViewSlots;

namespace velmora::test {

// A colour JPEG of the given size whose pixels depend on seed.
inline std::string MakeJpeg(int width, int height, int seed = 0) {
  std::unique_ptr<Image> image = Image::New(width, height, 24);
  if (!image) return std::string();
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      image->SetPixel(x, y,
                      Colour{static_cast<uint8_t>(x * 7 + seed * 31), static_cast<uint8_t>(y * 5 + seed),
                             static_cast<uint8_t>((x ^ y) + seed * 3)});
    }
  }
  const std::vector<uint8_t> bytes = EncodeJpeg(*image, 85);
  return std::string(bytes.begin(), bytes.end());
}

// One part of a multipart stream, as cameras send it.
inline std::string MjpegPart(const std::string& jpeg) {
  return "--myboundary\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
         "\r\n\r\n" + jpeg + "\r\n";
}

constexpr const char* kStreamHeader =
    "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=myboundary\r\n\r\n";

inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

class LiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-live-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    savedPaths_ = velmora::test::TestPaths();
    savedSettings_ = velmora::test::TestSettings();
    velmora::test::TestPaths().appDataFolder = dir_ + "/";
    velmora::test::TestPaths().logPath = dir_ + "/test.log";
    SetLogPath(velmora::test::TestPaths().logPath);
    velmora::test::TestSettings().captionShowFPS = true;
    velmora::test::TestSettings().captionShowSize = true;
    velmora::test::TestSettings().captionShowDimensions = false;
    velmora::test::TestSettings().recordEnable = true;
    // The engine's workers follow the test tree's settings, as the program's follow its own.
    FetchOptions fetchOptions = GetFetchOptions();
    fetchOptions.settings = velmora::test::TestTree().settings;
    SetFetchOptions(fetchOptions);
    // The recorder and recorded-data access are stand-ins that do nothing until a test
    // sets a call; the fetch notices of Notices() reach onFetchNotice_.
    ASSERT_TRUE((upper_.install<FrameRecorder, LastRecordedImages>()));
    velmora::test::TestTree().root.reset();
    ResetFrameKey();
    // An encrypted frame reads its key from the test's data folder, as from the program's.
    SetFrameKeyFolder(velmora::test::TestPaths().appDataFolder);
    for (int i = 0; i < viewSlotCount; ++i) {
      TestViewSlots().at(i)->SetFrozen(false);
      TestViewSlots().at(i)->SetErrorMark(false);
      TestViewSlots().SetCaptionAndClear(i, std::string());
      TestViewSlots().SetPlaybackSlot(i, -1);
    }
    while (mainQueue().take()) {
    }
  }

  // The receiver the tests hand to the periodic walk and the message handling.
  FetchNoticeSink Notices() {
    return [this](FetchNotice notice) {
      if (onFetchNotice_) onFetchNotice_(notice);
    };
  }

  void TearDown() override {
    installed_.clear();
    upper_.uninstall();
    onFetchNotice_ = nullptr;
    if (velmora::test::TestTree().root) DestroyTree(velmora::test::TestTree().root.get());
    velmora::test::TestTree().root.reset();
    ResetFrameKey();
    SetFrameKeyFolder("");
    while (mainQueue().take()) {
    }
    SetLogPath("");
    velmora::test::TestPaths() = savedPaths_;
    velmora::test::TestTree().recordingsFolder = velmora::test::TestPaths().pathData;
    velmora::test::TestTree().filePath = velmora::test::TestPaths().deviceTreePath;
    velmora::test::TestSettings() = savedSettings_;
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string LogText() const {
    std::ifstream in(velmora::test::TestPaths().logPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool LogHas(const std::string& needle) const { return LogText().find(needle) != std::string::npos; }

  // The WM_APP+6 values posted so far, oldest first (the queue is emptied).
  static std::vector<bool> TakeFetchErrors() {
    std::vector<bool> values;
    while (auto message = mainQueue().take()) {
      if (auto* error = std::get_if<MsgFetchError>(&*message)) values.push_back(error->error);
    }
    return values;
  }
  // The status texts posted so far (the queue is emptied).
  static std::vector<std::string> TakeStatusTexts() {
    std::vector<std::string> texts;
    while (auto message = mainQueue().take()) {
      if (auto* status = std::get_if<MsgStatusText>(&*message)) texts.push_back(status->text.value_or(""));
    }
    return texts;
  }

  std::string dir_;
  UpperLayerCalls upper_;
  // What a test installs beside the stand-ins (the fetch engine, the recorder): dropped
  // first at the end.
  std::vector<Installation> installed_;
  std::function<void(FetchNotice)> onFetchNotice_;
  Paths savedPaths_;
  Settings savedSettings_;
};

}  // namespace velmora::test
