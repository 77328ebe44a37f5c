// Recorded-data access on remote sources (another instance's HTTP server): the retry
// schedule with an injected wait, the header cache, and real peers on 127.0.0.1 that
// serve, stay silent, send garbage or break off a body.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "live/http_get.h"
#include "playback/recorded_data.h"
#include "playback/access_step.h"
#include "playback/timeline.h"
#include "test_recorded_data_support.h"

namespace velmora {
namespace {

using playtest::kHourStart;
using playtest::LogCapture;
using playtest::RecordWriter;
using playtest::SmallJpeg;
using playtest::TempFolder;
using playtest::TestPeer;

// Quick time-outs for the peers that never answer; restored afterwards.
class ShortTimeouts {
 public:
  ShortTimeouts() {
    HttpClientOptions options;
    options.connectTimeoutMs = 1000;
    options.requestTimeoutMs = 150;
    options.stallTimeoutS = 1;
    http_client_open(options);
  }
  ~ShortTimeouts() { http_client_open(HttpClientOptions{}); }
};

struct Recorder {
  std::vector<std::string> urls;
  std::vector<std::chrono::milliseconds> waits;
  std::vector<std::string> statuses;
};

RemoteHooks FakeHooks(Recorder& r, std::function<HttpResult(const std::string&)> answer) {
  RemoteHooks hooks;
  hooks.get = [&r, answer](const std::string& url, const std::function<bool()>&) {
    r.urls.push_back(url);
    return answer(url);
  };
  hooks.sleep = [&r](std::chrono::milliseconds wait) {
    r.waits.push_back(wait);
    return true;
  };
  return hooks;
}

TEST(RemoteAccess, NoAnswerRetriesSixteenTimesWithGrowingWaits) {
  LogCapture log;
  Recorder r;
  RecordedData data;
  data.setSources({"http://127.0.0.1:9/Yard/Door"});
  data.setRemoteHooks(FakeHooks(r, [](const std::string&) { return HttpResult{}; }));
  data.setStatusSink([&r](const std::string& text) { r.statuses.push_back(text); });

  IndexEntry position;
  position.time = static_cast<int32_t>(kHourStart + 5);
  position.offset = 1234;
  EXPECT_EQ(data.ReadJpeg(position, 0), nullptr);

  ASSERT_EQ(r.urls.size(), 16u);
  const std::string request = "http://127.0.0.1:9/Yard/Door/vljpeg?file=" + HourKey(position.time) + ".vlj&offset=1234";
  EXPECT_EQ(r.urls.front(), request);
  ASSERT_EQ(r.waits.size(), 16u);
  std::chrono::milliseconds total{0};
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(r.waits[static_cast<std::size_t>(i)], std::chrono::milliseconds(100 * i));
    total += r.waits[static_cast<std::size_t>(i)];
    EXPECT_TRUE(log.contains("ReadJpeg: retry=" + std::to_string(i) + "\r\n"));
  }
  EXPECT_EQ(total, std::chrono::milliseconds(12000));
  EXPECT_TRUE(log.contains("ReadJpeg: HTTP status 4294967295 for " + request));
  ASSERT_EQ(r.statuses.size(), 1u);
  EXPECT_EQ(r.statuses[0], "Playback can't read JPEG!");

  // The header and footer reads follow the same schedule under their own labels.
  RecordHeader header;
  EXPECT_EQ(data.ReadHeader(HourKey(position.time), 0, 0, header), -2);
  EXPECT_TRUE(log.contains("ReadHeader: retry=15"));
  uint64_t start = 0;
  EXPECT_EQ(data.ReadFooter(HourKey(position.time), 0, -4, start), -2);
  EXPECT_TRUE(log.contains("ReadFooter: retry=15"));
  EXPECT_EQ(r.urls.size(), 48u);
}

TEST(RemoteAccess, ShutdownEndsTheRetriesEarly) {
  Recorder r;
  RecordedData data;
  data.setSources({"http://127.0.0.1:9/cam"});
  RemoteHooks hooks = FakeHooks(r, [](const std::string&) { return HttpResult{}; });
  hooks.sleep = [&r](std::chrono::milliseconds wait) {
    r.waits.push_back(wait);
    return r.waits.size() < 3;
  };
  data.setRemoteHooks(hooks);
  data.setStatusSink([](const std::string&) {});
  RecordHeader header;
  EXPECT_EQ(data.ReadHeader("26120814", 0, 0, header), -2);
  EXPECT_EQ(r.urls.size(), 3u);
}

TEST(RemoteAccess, HeaderCacheAndReplyChecks) {
  Recorder r;
  RecordedData data;
  data.setSources({"http://127.0.0.1:9/cam/", "http://127.0.0.1:9/other"});
  std::vector<uint8_t> body(48, 0);
  RecordHeader good;
  good.magic = kRecordMagic;
  good.recordLength = 100;
  good.time = static_cast<int32_t>(kHourStart);
  good.ToBytes(body.data());
  int status = 200;
  data.setRemoteHooks(FakeHooks(r, [&](const std::string&) {
    HttpResult result;
    result.status = status;
    if (status == 200) result.body = body;
    return result;
  }));
  data.setStatusSink([&r](const std::string& text) { r.statuses.push_back(text); });

  RecordHeader header;
  EXPECT_EQ(data.ReadHeader("26120814", 0, 52, header), 0);
  EXPECT_EQ(r.urls.back(), "http://127.0.0.1:9/cam/header?file=26120814.vlj&offset=52") << "no doubled slash";
  EXPECT_EQ(data.ReadHeader("26120814", 0, 52, header), 0);
  EXPECT_EQ(r.urls.size(), 1u) << "the same request is answered from the view's cache";
  EXPECT_EQ(header.recordLength, 100u);
  EXPECT_EQ(data.ReadHeader("26120814", 1, 52, header), 0);
  EXPECT_EQ(r.urls.size(), 2u) << "each view has its own cache";

  // Another magic: nothing there; a short body: nothing complete; another status: error.
  body[0] = 'X';
  EXPECT_EQ(data.ReadHeader("26120814", 0, 104, header), -1);
  body.resize(10);
  EXPECT_EQ(data.ReadHeader("26120814", 0, 156, header), -1);
  status = 404;
  EXPECT_EQ(data.ReadHeader("26120814", 0, 208, header), -2);
  uint64_t start = 0;
  EXPECT_EQ(data.ReadFooter("26120814", 0, -4, start), -2);

  // A record body shorter than its header claims gives no frame and no crash.
  status = 200;
  body.assign(48 + 10, 0);
  good.recordLength = 52 + 500;
  good.ToBytes(body.data());
  IndexEntry position;
  position.time = static_cast<int32_t>(kHourStart);
  EXPECT_EQ(data.ReadJpeg(position, 0), nullptr);
  EXPECT_TRUE(r.statuses.empty());
}

TEST(RemoteAccess, RemoteHourWalkIsBoundedByTheFeed) {
  RecordedData data;
  data.setSources({"http://127.0.0.1:9/cam"});
  FeedRange feed;
  feed.startTime = kHourStart;
  feed.endTime = kHourStart + 3600;
  data.setFeedRange(feed);
  std::string key = HourKey(static_cast<int32_t>(kHourStart));
  std::vector<std::string> keys;
  std::string next;
  while (data.NextHourFile(0, key, next) && keys.size() < 10) {
    keys.push_back(next);
    key = next;
  }
  // 15:00 and 16:00 lie within end + 3600 s; 17:00 does not.
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[1], HourKey(static_cast<int32_t>(kHourStart + 7200)));
  std::string previous;
  ASSERT_TRUE(data.PreviousHourFile(0, HourKey(static_cast<int32_t>(kHourStart)), previous));
  EXPECT_EQ(previous, HourKey(static_cast<int32_t>(kHourStart - 3600)));
  EXPECT_FALSE(data.PreviousHourFile(0, previous, previous));
}

TEST(RemotePeer, ServedRecordingsReadAndStepLikeAFolder) {
  ShortTimeouts timeouts;
  TempFolder folder;
  RecordWriter writer(folder.path());
  const auto jpeg = SmallJpeg(77);
  const IndexEntry a = writer.Append(kHourStart + 10, 100, jpeg, true);
  const IndexEntry b = writer.Append(kHourStart + 11, 200, jpeg);
  // Nothing recorded at 15:00; the next frames are at 16:00.
  const IndexEntry c = writer.Append(kHourStart + 7200, 0, jpeg);
  TestPeer peer(TestPeer::Mode::kServe, folder.path());

  RecordedData data;
  data.setSources({peer.url()});
  std::vector<std::string> statuses;
  data.setStatusSink([&](const std::string& text) { statuses.push_back(text); });

  IndexEntry first, last;
  ASSERT_TRUE(data.ReadFeedBounds(0, first, last));
  EXPECT_EQ(first, a);
  EXPECT_EQ(last, c);

  Timeline timeline;
  FeedRange range;
  range.startTime = first.time;
  range.startMs = first.milliseconds;
  range.endTime = last.time;
  range.endMs = last.milliseconds;
  timeline.Prepare(range, true, 1);
  data.setFeedRange(timeline.feed());
  EXPECT_EQ(timeline.Load(data), 3);

  auto frame = data.ReadJpeg(a, 0);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->length, jpeg.size());
  EXPECT_EQ(frame->motion, 1);

  ViewPositions positions;
  positions.current[0] = a;
  EXPECT_EQ(FindNextJpegs(data, timeline, positions, 0, 0, 1), 1);
  EXPECT_EQ(positions.next[0], b);
  positions.current[0] = b;
  FindNextJpegs(data, timeline, positions, 0, 0, 1);
  EXPECT_EQ(positions.next[0], c) << "the empty hour between is passed over";
  positions.current[0] = c;
  StepBack(data, timeline, positions, 0);
  EXPECT_EQ(positions.next[0], b);
  positions.current[0] = b;
  StepBack(data, timeline, positions, 0);
  EXPECT_EQ(positions.next[0], a);

  uint64_t start = 0;
  EXPECT_EQ(data.ReadFooter(HourKey(a.time), 0, -4, start), 0);
  EXPECT_EQ(start, b.offset);
  EXPECT_TRUE(statuses.empty());
}

TEST(RemotePeer, DamagedRecordsOfAnotherInstanceArePassedOverThroughItsIndex) {
  ShortTimeouts timeouts;
  TempFolder folder;
  RecordWriter writer(folder.path());
  std::vector<IndexEntry> e;
  for (int i = 0; i < 5; ++i) e.push_back(writer.Append(kHourStart + 10 + i, 0, SmallJpeg(static_cast<uint8_t>(i))));
  {
    std::fstream f(DataFilePath(folder.path(), HourKey(e[2].time)), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(e[2].offset));
    f.write("XXXX", 4);
  }
  TestPeer peer(TestPeer::Mode::kServe, folder.path());
  RecordedData data;
  data.setSources({peer.url()});
  std::vector<std::string> statuses;
  data.setStatusSink([&](const std::string& text) { statuses.push_back(text); });
  Timeline timeline;
  FeedRange range;
  range.startTime = e.front().time;
  range.endTime = e.back().time;
  timeline.Prepare(range, true, 1);
  data.setFeedRange(timeline.feed());
  timeline.Load(data);

  ViewPositions positions;
  positions.current[0] = e[1];
  FindNextJpegs(data, timeline, positions, 0, 0, 1);
  EXPECT_EQ(positions.next[0], e[3]) << "the peer's index names the record after the damaged one";
  EXPECT_EQ(positions.damaged[0], 1);
  positions.current[0] = e[3];
  StepBack(data, timeline, positions, 0);
  EXPECT_EQ(positions.next[0], e[1]);
  EXPECT_EQ(statuses, std::vector<std::string>{"Wrong format for recorded data!"}) << "reported once";

  // Records read whole with their header (an export's walk): the damaged one is asked
  // for again as a header and passed over the same way; the image of the one found
  // comes without a request of its own.
  data.setWholeRecordReads(true);
  data.clearHeaderCache();
  positions = ViewPositions{};
  positions.current[0] = e[1];
  FindNextJpegs(data, timeline, positions, 0, 0, 1);
  data.setWholeRecordReads(false);
  EXPECT_EQ(positions.next[0], e[3]);
  EXPECT_EQ(positions.damaged[0], 1);
  const int before = peer.requests();
  std::vector<uint8_t> jpeg;
  RecordHeader header;
  ASSERT_TRUE(data.ReadJpegBytes(e[3], 0, jpeg, header));
  EXPECT_EQ(jpeg, SmallJpeg(3));
  EXPECT_EQ(peer.requests(), before);
  ASSERT_TRUE(data.ReadJpegBytes(e[4], 0, jpeg, header)) << "any other place is asked for";
  EXPECT_EQ(jpeg, SmallJpeg(4));
  EXPECT_EQ(peer.requests(), before + 1);
}

TEST(RemotePeer, SilentGarbageAndShortPeersEndInTheDescribedFailure) {
  ShortTimeouts timeouts;
  for (TestPeer::Mode mode : {TestPeer::Mode::kSilent, TestPeer::Mode::kGarbage, TestPeer::Mode::kShortBody}) {
    LogCapture log;
    TestPeer peer(mode);
    RecordedData data;
    data.setSources({peer.url()});
    std::vector<std::string> statuses;
    data.setStatusSink([&](const std::string& text) { statuses.push_back(text); });
    RemoteHooks hooks = DefaultRemoteHooks();
    hooks.sleep = [](std::chrono::milliseconds) { return true; };  // no real waiting
    data.setRemoteHooks(hooks);

    IndexEntry position;
    position.time = static_cast<int32_t>(kHourStart);
    EXPECT_EQ(data.ReadJpeg(position, 0), nullptr);
    EXPECT_EQ(peer.requests(), 16) << "mode " << static_cast<int>(mode);
    EXPECT_TRUE(log.contains("ReadJpeg: retry=15"));
    EXPECT_TRUE(log.contains("ReadJpeg: HTTP status 4294967295 for " + peer.url() + "/vljpeg?file="));
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0], "Playback can't read JPEG!");
    IndexEntry first, last;
    EXPECT_FALSE(data.ReadFeedBounds(0, first, last));
  }
}

}  // namespace
}  // namespace velmora
