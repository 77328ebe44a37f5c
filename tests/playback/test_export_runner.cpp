// The export with its writing side on a thread of its own (the window's way): the
// playback thread feeds, the export thread writes as the channel wakes it, the owner
// only runs the reports queued for it. Also: every compressor the machine lists really
// writes a readable AVI, and reads from a silent peer give way to newer work.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/settings.h"
#include "live/http_get.h"
#include "playback/export_runner.h"
#include "playback/playback_thread.h"
#include "test_export_support.h"

namespace velmora {
namespace {

using exporttest::OwnerQueue;
using exporttest::ProbeStream;
using exporttest::ThreadedRig;
using playtest::kHourStart;
using playtest::LogCapture;
using playtest::RecordWriter;
using playtest::SmallJpeg;
using playtest::TempFolder;
using playtest::TestPeer;
using namespace std::chrono_literals;

void Record(RecordWriter& writer, int count, int side) {
  for (int i = 0; i < count; ++i) {
    const int64_t ms = int64_t{i} * 100;
    writer.Append(kHourStart + 600 + ms / 1000, static_cast<unsigned>(ms % 1000),
                  SmallJpeg(static_cast<uint8_t>(20 + (7 * i) % 200), side));
  }
}

// The best encoder the machine has for a slow, real encode: H.264 when listed.
CompressorChoice SlowEncoder() {
  for (const CompressorChoice& c : ListCompressors())
    if (c.fourcc == FourccFromText("H264")) return c;
  CompressorChoice c;
  FindCompressor(FourccFromText("FMP4"), c);
  return c;
}

// What the owner's listener was told, and whether every report came on the owner's thread.
struct Reports final : ExportListener {
  std::vector<std::string> statuses;
  std::vector<std::string> messages;
  std::vector<int> converted;
  std::vector<int> progress;
  int previews = 0;
  int settingsSaved = 0;
  int finishedCalls = 0;
  ExportSession::State finished = ExportSession::State::kIdle;
  std::thread::id ownerThread = std::this_thread::get_id();
  bool allOnOwner = true;
  std::string pathVideo;  // the folder the export reported for the pathVideo setting

  void OnExportReport(ExportReport& report) override {
    allOnOwner = allOnOwner && std::this_thread::get_id() == ownerThread;
    if (const auto* t = std::get_if<ExportStatusReport>(&report)) statuses.push_back(t->text);
    if (const auto* m = std::get_if<ExportMessageReport>(&report)) messages.push_back(m->text);
    if (const auto* n = std::get_if<ExportConvertedReport>(&report)) converted.push_back(n->count);
    if (const auto* p = std::get_if<ExportProgressReport>(&report)) progress.push_back(p->percent);
    if (const auto* i = std::get_if<ExportPreviewReport>(&report); i && i->image && i->image->width() > 0) ++previews;
    if (const auto* c = std::get_if<ExportSettingsChanged>(&report)) {
      ++settingsSaved;
      pathVideo = c->pathVideo;
    }
    if (const auto* e = std::get_if<ExportEndedReport>(&report)) {
      ++finishedCalls;
      finished = e->state;
    }
  }
};

TEST(ExportRunner, EncodesOffTheOwnersThreadAndReportsThroughItsQueue) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  constexpr int kImages = 60;
  Record(writer, kImages, 160);
  ThreadedRig rig;
  rig.Feed({(rec.path() / "Door").string()});
  rig.Start();

  OwnerQueue owner;
  Reports r;
  ExportOptions options;
  options.compressor = SlowEncoder();
  options.rememberPath = true;
  const std::string file = out.str() + "/gate";
  ExportRunner runner(options, rig.Poster(), r, owner.Poster());
  ASSERT_TRUE(runner.Start(file));
  // Start remembered the folder on this (the owner's) thread, before any encoding.
  EXPECT_EQ(r.pathVideo, out.str() + "/");
  EXPECT_EQ(r.settingsSaved, 1);
  EXPECT_TRUE(runner.running());

  // The export runs to its end while this thread does nothing but wait: the channel
  // wakes the export thread, nothing is polled.
  const auto until = std::chrono::steady_clock::now() + 60s;
  while (runner.running() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
  ASSERT_FALSE(runner.running());
  EXPECT_EQ(runner.state(), ExportSession::State::kCompleted);
  EXPECT_EQ(r.finishedCalls, 0);  // reports wait for the owner
  ASSERT_TRUE(owner.RunUntil([&r] { return r.finishedCalls > 0; }, 5s));
  owner.RunFor(50ms);
  EXPECT_TRUE(r.allOnOwner);
  EXPECT_EQ(r.finishedCalls, 1);
  EXPECT_EQ(r.finished, ExportSession::State::kCompleted);
  // Coalesced reports end on the final values; the boxes and texts come in order.
  ASSERT_FALSE(r.converted.empty());
  EXPECT_EQ(r.converted.back(), kImages);
  EXPECT_LE(r.converted.size(), static_cast<std::size_t>(kImages));
  ASSERT_FALSE(r.progress.empty());
  EXPECT_EQ(r.progress.back(), 100);
  EXPECT_GE(r.previews, 1);
  EXPECT_EQ(r.messages, std::vector<std::string>{kTextConversionComplete});
  ASSERT_FALSE(r.statuses.empty());
  EXPECT_EQ(r.statuses.front(), kTextConversionInProgress);
  EXPECT_EQ(r.statuses.back(), kTextExportComplete);
  EXPECT_EQ(runner.picturesConverted(), kImages);

  const auto probe = ProbeStream(file + ".avi");
  EXPECT_EQ(probe.at("nb_read_frames"), std::to_string(kImages));
  EXPECT_EQ(probe.at("codec_tag_string"), FourccText(options.compressor.fourcc));
}

TEST(ExportRunner, CancelEndsAtOnceLeavesAPlayableFileAndAFailureEndsAlike) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  constexpr int kImages = 400;
  Record(writer, kImages, 320);
  ThreadedRig rig;
  rig.Feed({(rec.path() / "Door").string()});
  rig.Start();

  OwnerQueue owner;
  Reports r;
  ExportOptions options;
  options.compressor = SlowEncoder();
  options.rememberPath = false;
  const std::string file = out.str() + "/part.avi";
  {
    ExportRunner runner(options, rig.Poster(), r, owner.Poster());
    ASSERT_TRUE(runner.Start(file));
    // Cancel once a few pictures are in.
    ASSERT_TRUE(owner.RunUntil([&r] { return !r.converted.empty() && r.converted.back() >= 3; }, 30s));
    runner.Cancel();
    runner.Cancel();  // a second press changes nothing
    ASSERT_TRUE(owner.RunUntil([&r] { return r.finishedCalls > 0; }, 10s));
    EXPECT_EQ(r.finished, ExportSession::State::kCancelled);
    EXPECT_TRUE(runner.cancelConfirmed());  // the playback thread set the stop event
    EXPECT_EQ(r.statuses.back(), kTextCanceling);
    EXPECT_TRUE(r.messages.empty());  // no box after a cancel
    EXPECT_LT(runner.framesWritten(), kImages);
    // What was written is a finished file.
    const auto probe = ProbeStream(file);
    ASSERT_TRUE(probe.count("nb_read_frames"));
    EXPECT_GE(std::stoi(probe.at("nb_read_frames")), 3);
    std::string complaints;
    EXPECT_TRUE(exporttest::DecodesCleanly(file, complaints)) << complaints;
  }
  // Nothing is left running: a second export of the same view completes.
  Reports again;
  options.compressor = CompressorChoice{};
  FindCompressor(kFourccMjpg, options.compressor);
  ExportRunner second(options, rig.Poster(), again, owner.Poster());
  ASSERT_TRUE(second.Start(out.str() + "/whole.avi"));
  ASSERT_TRUE(owner.RunUntil([&again] { return again.finishedCalls > 0; }, 60s));
  EXPECT_EQ(again.finished, ExportSession::State::kCompleted);
  EXPECT_EQ(ProbeStream(out.str() + "/whole.avi").at("nb_read_frames"), std::to_string(kImages));

  // The playback thread's failure (a view it does not have) ends the export the same
  // way: the text in the status line, the warning box, and the main status line too.
  Reports failed;
  options.view = 3;
  ExportRunner third(options, rig.Poster(), failed, owner.Poster());
  ASSERT_TRUE(third.Start(out.str() + "/none.avi"));
  ASSERT_TRUE(owner.RunUntil([&failed] { return failed.finishedCalls > 0; }, 10s));
  EXPECT_EQ(failed.finished, ExportSession::State::kFailed);
  EXPECT_EQ(failed.statuses.back(), kTextExportInvalidView);
  EXPECT_EQ(failed.messages, std::vector<std::string>{kTextConversionTerminated});
  rig.Stop();
  EXPECT_NE(std::find(rig.statuses.begin(), rig.statuses.end(), kTextExportInvalidView), rig.statuses.end());
}

// The export window's path: a record the other instance stops sending ends the export
// with the time that could not be read, as any failure of the playback thread does.
TEST(ExportRunner, AnImageTheSourceStopsSendingEndsTheExportNamingItsTime) {
  ASSERT_TRUE(http_client_is_open() || http_client_open());
  LogCapture log;
  TempFolder rec, out;
  RecordWriter writer(rec.path());
  std::vector<IndexEntry> entries;
  for (int i = 0; i < 6; ++i) {
    entries.push_back(writer.Append(kHourStart + 600, static_cast<unsigned>(i) * 100, SmallJpeg(static_cast<uint8_t>(30 * i))));
  }
  TestPeer peer(TestPeer::Mode::kServe, rec.path());
  peer.failRequests("vljpeg?file=" + HourKey(entries[4].time) + ".vlj&offset=" + std::to_string(entries[4].offset), -1,
                    kRemoteAttempts);
  ThreadedRig rig;
  RemoteHooks hooks = DefaultRemoteHooks();
  hooks.sleep = [](std::chrono::milliseconds) { return true; };  // the retries without their waits
  rig.engine.data().setRemoteHooks(hooks);
  rig.Feed({peer.url()});
  rig.Start();

  OwnerQueue owner;
  Reports r;
  ExportOptions options;
  options.jpegMode = true;
  options.rememberPath = false;
  ExportRunner runner(options, rig.Poster(), r, owner.Poster());
  ASSERT_TRUE(runner.Start(out.str()));
  ASSERT_TRUE(owner.RunUntil([&r] { return r.finishedCalls > 0; }, 30s));
  const std::string text = "Export stopped: the source stopped answering at the recorded image of " +
                           FrameTimeText(entries[4].time, entries[4].milliseconds) + "!";
  EXPECT_EQ(r.finished, ExportSession::State::kFailed);
  ASSERT_FALSE(r.statuses.empty());
  EXPECT_EQ(r.statuses.back(), text);
  EXPECT_EQ(r.messages, std::vector<std::string>{kTextConversionTerminated});
  EXPECT_EQ(runner.picturesConverted(), 4);
  rig.Stop();
  EXPECT_NE(std::find(rig.statuses.begin(), rig.statuses.end(), text), rig.statuses.end()) << "the main status line";
}

TEST(ExportRunner, EveryListedCompressorWritesAFileTheReferenceReaderTakes) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  Record(writer, 6, 64);
  for (const CompressorChoice& c : ListCompressors()) {
    exporttest::ExportRig rig;
    rig.Feed({(rec.path() / "Door").string()});
    ExportOptions options;
    options.compressor = c;
    options.rememberPath = false;
    ExportSession session(options, rig.Poster(), nullptr);
    const std::string file = out.str() + "/" + c.encoder + FourccText(c.fourcc).substr(0, 3) + ".avi";
    ASSERT_TRUE(session.Start(file)) << c.description;
    rig.Run(session);
    EXPECT_EQ(session.state(), ExportSession::State::kCompleted) << c.description << ": " << session.failureText();
    const auto probe = ProbeStream(file);
    EXPECT_EQ(probe.count("nb_read_frames") ? probe.at("nb_read_frames") : "", "6") << c.description;
  }
}

TEST(RemoteReads, NewWorkEndsTheRequestAndTheRetriesAgainstASilentPeer) {
  // Which waiting messages count as newer work.
  PlaybackQueue queue;
  EXPECT_FALSE(queue.holdsNewWork());
  queue.post(PlayMsgSpeed{20});
  queue.post(PlayMsgExportNext{});
  EXPECT_FALSE(queue.holdsNewWork());
  queue.post(PlayMsgPause{});
  EXPECT_TRUE(queue.holdsNewWork());
  PlaybackQueue closed;
  closed.close();
  EXPECT_TRUE(closed.holdsNewWork());

  ASSERT_TRUE(http_client_is_open() || http_client_open());
  LogCapture log;
  TestPeer peer(TestPeer::Mode::kSilent);

  // A read of the silent peer gives up soon after newer work arrives, and reports no
  // failure of the peer (its caller moves on to that work).
  RecordedData data;
  data.setSources({peer.url()});
  std::vector<std::string> statuses;
  data.setStatusSink([&statuses](const std::string& t) { statuses.push_back(t); });
  std::atomic<bool> newWork{false};
  data.setInterrupt([&newWork] { return newWork.load(); });
  std::thread later([&newWork] {
    std::this_thread::sleep_for(300ms);
    newWork = true;
  });
  IndexEntry position;
  position.time = static_cast<int32_t>(kHourStart + 5);
  position.offset = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(data.ReadJpeg(position, 0), nullptr);
  const auto took = std::chrono::steady_clock::now() - start;
  later.join();
  EXPECT_TRUE(data.interrupted());
  EXPECT_LT(took, 4s);  // one request alone may wait 5 s, all sixteen 80 s
  EXPECT_TRUE(statuses.empty());
  EXPECT_TRUE(log.contains("ReadJpeg: given up for newer work"));
  EXPECT_FALSE(log.contains("ReadJpeg: HTTP status"));

  // The playback thread: a feed of the silent peer is under way when Stop comes; Stop
  // and what follows it are answered promptly.
  ThreadedRig rig;
  InterruptReadsOnNewWork(rig.engine);
  rig.Start();
  PlayMsgNewFeed feed;
  feed.fullRange = true;
  PlaybackView view;
  view.tile = 0;
  view.hasNode = true;
  view.name = "Door";
  view.source = peer.url();
  feed.views.push_back(view);
  rig.engine.queue().post(std::move(feed));
  std::this_thread::sleep_for(300ms);  // the thread is inside the first request now
  const auto asked = std::chrono::steady_clock::now();
  rig.engine.queue().post(PlayMsgStop{});
  auto done = std::make_shared<platform::Event>(platform::Event::Reset::kManual);
  PlayMsgExportReset reset;
  reset.done = done;
  rig.engine.queue().post(std::move(reset));
  EXPECT_TRUE(done->wait(std::chrono::milliseconds(6000)));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 4s);
  rig.Stop();
}

}  // namespace
}  // namespace velmora
