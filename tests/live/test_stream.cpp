// Cutting frames out of live streams: the response header, JPEG frames in snapshots and
// multipart streams however the bytes are split, encrypted frames, the H.264 path, and
// the frame rate and caption.
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "live/crypto_key.h"
#include "live/h264.h"
#include "platform/clock.h"
#include "test_fetch_support.h"
#include "test_tree.h"

namespace velmora {
namespace {

using test::LiveTest;
using test::MakeJpeg;
using test::MjpegPart;

constexpr int kSlot = 7;

class StreamTest : public LiveTest {
 protected:
  void SetUp() override {
    LiveTest::SetUp();
    record_ = CreateRecord(EntryKind::Device, "Door");
    record_->location = "127.0.0.1";
    record_->enabled = true;
    record_->viewIndex = kSlot;
    record_->shownIn = &TestViewSlots();
    ASSERT_TRUE(EnsureStreamBuffer(*record_));
    record_->live.fetchState = STATE_HEADER;
    upper_.onRecordFrame = [this](GroupRecord&, ImageHolder& holder, uint8_t* headroom, std::size_t length) {
      // Frames arrive 100 ms apart for the frame rate.
      clock_.advance(std::chrono::milliseconds(100));
      const uint8_t* jpeg = headroom + kStreamHeadroom;
      frames_.emplace_back(reinterpret_cast<const char*>(jpeg), length);
      if (holder.length != length || std::memcmp(holder.jpeg.get(), jpeg, length) != 0) holderMismatch_ = true;
      if (scribbleTrailer_) {
        std::memset(headroom, 0x5A, kStreamHeadroom);
        std::memset(headroom + kStreamHeadroom + length, 0xA5, kStreamTrailer);
      }
    };
  }

  StreamStep Feed(const std::string& bytes) {
    EXPECT_LE(record_->live.streamLength + bytes.size(), kStreamDataBytes);
    std::memcpy(StreamData(*record_) + record_->live.streamLength, bytes.data(), bytes.size());
    return ProcessReceived(*record_, nullptr, static_cast<uint32_t>(bytes.size()));
  }
  // Feeds the bytes in pieces of `chunk`; stops at the first close.
  StreamStep FeedInChunks(const std::string& bytes, std::size_t chunk) {
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
      if (Feed(bytes.substr(at, chunk)) == StreamStep::kClose) return StreamStep::kClose;
    }
    return StreamStep::kReceive;
  }
  std::string SlotText() const { return TestViewSlots().Text(kSlot); }
  int SlotImageWidth() const {
    int width = -1;
    TestViewSlots().at(kSlot)->Read([&width](const ViewSlotState& s) {
      if (s.image != nullptr && s.image->image) width = s.image->image->width();
    });
    return width;
  }

  std::shared_ptr<GroupRecord> record_;
  std::vector<std::string> frames_;
  bool holderMismatch_ = false;
  bool scribbleTrailer_ = false;
  platform::ManualClock clock_{1000000};
  platform::ScopedClock useClock_{clock_};
};

// --- response header -----------------------------------------------------------

TEST_F(StreamTest, RefusedStatusShowsStatusAndFirstReasonWordAndCloses) {
  struct Case {
    const char* header;
    const char* text;
  };
  const Case cases[] = {
      {"HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"x\"\r\n\r\n", "HTTP 401 Unauthorized"},
      {"HTTP/1.1 404 Not Found\r\n\r\n", "HTTP 404 Not"},
      {"HTTP/1.0 500\r\n\r\n", "HTTP 500"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    record_->live.fetchState = STATE_HEADER;
    record_->live.streamLength = 0;
    TakeFetchErrors();
    EXPECT_EQ(Feed(c.header), StreamStep::kClose);
    EXPECT_EQ(SlotText(), c.text);
    EXPECT_TRUE(TestViewSlots().ErrorMark(kSlot));
    EXPECT_EQ(TakeFetchErrors(), std::vector<bool>{true});
    EXPECT_EQ(record_->live.fetchState, STATE_HEADER);
  }
}

TEST_F(StreamTest, OnlyRefusedCredentialsMarkTheDeviceForTheLongRetryAndEachTextIsLoggedOnce) {
  record_->debugLevel = 0;
  const auto answer = [this](const std::string& header) {
    record_->live.fetchState = STATE_HEADER;
    record_->live.streamLength = 0;
    Feed(header);
    return record_->live.accessRefused;
  };
  EXPECT_TRUE(answer("HTTP/1.0 401 Unauthorized\r\n\r\n"));
  EXPECT_TRUE(answer("HTTP/1.0 401 Unauthorized\r\n\r\n"));
  EXPECT_TRUE(answer("HTTP/1.1 403 Forbidden\r\n\r\n"));
  EXPECT_FALSE(answer("HTTP/1.0 404 Not Found\r\n\r\n"));
  EXPECT_TRUE(answer("HTTP/1.0 401 Unauthorized\r\n\r\n"));
  EXPECT_FALSE(answer(std::string(test::kStreamHeader) + MjpegPart(MakeJpeg(32, 24))));
  EXPECT_EQ(record_->frameCount, 1);
  const std::string log = LogText();
  const auto count = [&log](const std::string& needle) {
    int n = 0;
    for (std::size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("fetch error for Door [127.0.0.1]: HTTP 401 Unauthorized"), 2) << log;
  EXPECT_EQ(count("fetch error for Door [127.0.0.1]: HTTP 403 Forbidden"), 1);
  EXPECT_EQ(count("fetch error for Door [127.0.0.1]: HTTP 404 Not"), 1);
  EXPECT_EQ(count("fetch recovered for Door [127.0.0.1] after: HTTP 401 Unauthorized"), 1);
  EXPECT_EQ(count("fetch "), 5);
}

TEST_F(StreamTest, HeaderWithoutBlankLineIsRefusedOnlyPast64KiB) {
  EXPECT_EQ(Feed("HTTP/1.0 200 OK\r\n"), StreamStep::kReceive);
  const std::string line = "X-Filler: " + std::string(1000, 'x') + "\r\n";
  int chunks = 0;
  StreamStep step = StreamStep::kReceive;
  while (step == StreamStep::kReceive && chunks < 100) {
    step = Feed(line);
    ++chunks;
    if (step == StreamStep::kReceive) {
      EXPECT_LE(record_->live.streamLength, kMaxResponseHeader);
    }
  }
  EXPECT_EQ(step, StreamStep::kClose);
  EXPECT_GT(record_->live.streamLength, kMaxResponseHeader);
  EXPECT_TRUE(LogHas("viewthread_iocp_state_header: BAD HEADER;"));
  EXPECT_EQ(SlotText(), "") << "a bad header leaves the slot text alone";
}

TEST_F(StreamTest, BlankLineSplitOverTwoChunksStillEndsTheHeader) {
  const std::string jpeg = MakeJpeg(64, 48);
  EXPECT_EQ(Feed("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n\r"), StreamStep::kReceive);
  EXPECT_EQ(record_->live.fetchState, STATE_HEADER);
  EXPECT_EQ(Feed("\n" + jpeg), StreamStep::kReceive);
  EXPECT_EQ(record_->live.fetchState, STATE_READING);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0], jpeg);
  EXPECT_TRUE(record_->receivedData);
}

TEST_F(StreamTest, ZeroByteReceiveMeansTheCameraClosed) {
  EXPECT_EQ(Feed("HTTP/1.0 200 OK\r\n"), StreamStep::kReceive);
  EXPECT_EQ(Feed(""), StreamStep::kClose);
  EXPECT_TRUE(record_->live.restartPending);
  EXPECT_EQ(record_->live.streamLength, 0u);
  EXPECT_TRUE(frames_.empty());
}

// --- JPEG cutting --------------------------------------------------------------

TEST_F(StreamTest, EndMarkerSplitBetweenTwoChunksIsFound) {
  const std::string jpeg = MakeJpeg(64, 48);
  const std::string stream = std::string(test::kStreamHeader) + MjpegPart(jpeg);
  const std::size_t split = stream.find(jpeg) + jpeg.size() - 1;  // between FF and D9
  ASSERT_EQ(static_cast<uint8_t>(stream[split - 1]), 0xFF);
  EXPECT_EQ(Feed(stream.substr(0, split)), StreamStep::kReceive);
  EXPECT_TRUE(frames_.empty());
  EXPECT_EQ(Feed(stream.substr(split)), StreamStep::kReceive);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0], jpeg);
}

TEST_F(StreamTest, ThreeFramesInOneChunkAreCutInOrder) {
  const std::string a = MakeJpeg(64, 48, 1), b = MakeJpeg(80, 48, 2), c = MakeJpeg(96, 48, 3);
  EXPECT_EQ(Feed(std::string(test::kStreamHeader) + MjpegPart(a) + MjpegPart(b) + MjpegPart(c)),
            StreamStep::kReceive);
  ASSERT_EQ(frames_.size(), 3u);
  EXPECT_EQ(frames_[0], a);
  EXPECT_EQ(frames_[1], b);
  EXPECT_EQ(frames_[2], c);
  EXPECT_FALSE(holderMismatch_);
  EXPECT_EQ(record_->frameCount, 3);
  EXPECT_EQ(SlotImageWidth(), 96) << "the newest frame is shown";
  // Only the final line end of the stream stays held.
  EXPECT_EQ(record_->live.streamLength, 2u);
}

TEST_F(StreamTest, PartHeadersNeverReachTheDecoderWhateverTheChunkSize) {
  std::vector<std::string> jpegs;
  std::string stream = test::kStreamHeader;
  for (int i = 0; i < 4; ++i) {
    jpegs.push_back(MakeJpeg(48 + 16 * i, 32, i));
    stream += MjpegPart(jpegs.back());
  }
  for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{17}, std::size_t{4096}}) {
    SCOPED_TRACE(chunk);
    frames_.clear();
    record_->live.fetchState = STATE_HEADER;
    record_->live.streamLength = 0;
    EXPECT_EQ(FeedInChunks(stream, chunk), StreamStep::kReceive);
    EXPECT_EQ(frames_, jpegs);
  }
  EXPECT_FALSE(LogHas("ImageFromBuffer failed"));
  EXPECT_NE(SlotText().find("Door"), std::string::npos);
}

TEST_F(StreamTest, FramesBackToBackSurviveTheRecorderWritingAroundThem) {
  scribbleTrailer_ = true;
  const std::string a = MakeJpeg(64, 48, 1), b = MakeJpeg(64, 48, 2), c = MakeJpeg(64, 48, 3);
  EXPECT_EQ(Feed("HTTP/1.0 200 OK\r\n\r\n" + a + b + c), StreamStep::kReceive);
  ASSERT_EQ(frames_.size(), 3u);
  EXPECT_EQ(frames_[1], b);
  EXPECT_EQ(frames_[2], c);
  EXPECT_EQ(record_->frameCount, 3);
}

TEST_F(StreamTest, App0SegmentOf62IsNoStartUnlessAnotherStartPrecedesTheEnd) {
  const std::string app0 = std::string("\xFF\xD8\xFF\xE0\x00\x3E", 6) + std::string(60, 'J');
  EXPECT_EQ(Feed("HTTP/1.0 200 OK\r\n\r\n" + app0 + std::string(20, 'x') + "\xFF\xD9"), StreamStep::kClose);
  EXPECT_EQ(SlotText(), "Missing JPEG start marker");
  EXPECT_TRUE(TestViewSlots().ErrorMark(kSlot));
  EXPECT_TRUE(frames_.empty());

  record_->live.fetchState = STATE_HEADER;
  record_->live.streamLength = 0;
  const std::string jpeg = MakeJpeg(64, 48);
  EXPECT_EQ(Feed("HTTP/1.0 200 OK\r\n\r\n" + app0 + jpeg), StreamStep::kReceive);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0], jpeg);
}

// An EXIF segment that holds a whole thumbnail, end marker and all.
std::string ExifSegment(const std::string& thumbnail) {
  const std::size_t length = 2 + 6 + thumbnail.size();
  std::string out = "\xFF\xE1";
  out += static_cast<char>(length >> 8);
  out += static_cast<char>(length & 0xFF);
  return out + std::string("Exif\0\0", 6) + thumbnail;
}
// The frame with such a segment directly behind its start marker.
std::string WithExifThumbnail(const std::string& jpeg, const std::string& thumbnail) {
  return jpeg.substr(0, 2) + ExifSegment(thumbnail) + jpeg.substr(2);
}

TEST_F(StreamTest, ThumbnailEndMarkerInsideAnExifSegmentDoesNotEndTheFrame) {
  std::vector<std::string> jpegs;
  std::string stream = test::kStreamHeader;
  for (int i = 0; i < 3; ++i) {
    jpegs.push_back(WithExifThumbnail(MakeJpeg(96, 64, i), MakeJpeg(16, 8, i)));
    stream += MjpegPart(jpegs.back());
  }
  // Chunks of one byte end inside the segment's length; 5 inside the thumbnail; the
  // rest put whole frames, or frames and thumbnails, in one chunk.
  for (std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t{333}, std::size_t{65536}}) {
    SCOPED_TRACE(chunk);
    frames_.clear();
    record_->live.fetchState = STATE_HEADER;
    record_->live.streamLength = 0;
    EXPECT_EQ(FeedInChunks(stream, chunk), StreamStep::kReceive);
    EXPECT_EQ(frames_, jpegs);
    EXPECT_EQ(SlotImageWidth(), 96);
  }
  EXPECT_FALSE(LogHas("ImageFromBuffer failed")) << LogText();
  EXPECT_FALSE(TestViewSlots().ErrorMark(kSlot));

  // A snapshot whose thumbnail comes in a segment after the usual APP0.
  const std::string jpeg = MakeJpeg(64, 48, 9);
  const std::size_t app0End = 4 + ((static_cast<uint8_t>(jpeg[4]) << 8) | static_cast<uint8_t>(jpeg[5]));
  const std::string second = jpeg.substr(0, app0End) + ExifSegment(MakeJpeg(8, 8)) + jpeg.substr(app0End);
  frames_.clear();
  record_->live.fetchState = STATE_HEADER;
  record_->live.streamLength = 0;
  EXPECT_EQ(Feed("HTTP/1.0 200 OK\r\n\r\n" + second), StreamStep::kReceive);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0], second);

  // A segment length below 2 is no segment: the frame is cut at the first end marker
  // behind it, as any frame without segments.
  frames_.clear();
  record_->live.fetchState = STATE_HEADER;
  record_->live.streamLength = 0;
  const std::string plain = MakeJpeg(64, 48, 3);
  EXPECT_EQ(Feed(std::string("HTTP/1.0 200 OK\r\n\r\n\xFF\xD8\xFF\xE1\x00\x01", 25) + std::string(20, 'x') +
                 "\xFF\xD9" + plain),
            StreamStep::kReceive);
  ASSERT_EQ(frames_.size(), 1u) << "the broken frame is not decoded, the next one is";
  EXPECT_EQ(frames_[0], plain);
  EXPECT_TRUE(LogHas("ImageFromBuffer failed for Door"));
}

TEST_F(StreamTest, TinyFrameIsAnInvalidSizeAndCloses) {
  EXPECT_EQ(Feed(std::string("HTTP/1.0 200 OK\r\n\r\n\xFF\xD8\x01\x02\xFF\xD9", 25)), StreamStep::kClose);
  EXPECT_EQ(SlotText(), "Invalid JPEG size");
  EXPECT_TRUE(LogHas("BAD JPEG SIZE"));
}

TEST_F(StreamTest, CorruptFrameKeepsTheConnectionAndTheNextGoodFrameReplacesIt) {
  std::string corrupt = MakeJpeg(64, 48);
  for (std::size_t i = 300; i < corrupt.size() - 2; ++i) corrupt[i] = static_cast<char>(0x00);
  EXPECT_EQ(Feed(std::string(test::kStreamHeader) + MjpegPart(corrupt)), StreamStep::kReceive);
  EXPECT_EQ(SlotText(), "Corrupt JPEG");
  EXPECT_TRUE(TestViewSlots().ErrorMark(kSlot));
  EXPECT_EQ(record_->frameCount, 0);

  const std::string good = MakeJpeg(64, 48, 5);
  EXPECT_EQ(Feed(MjpegPart(good)), StreamStep::kReceive);
  EXPECT_FALSE(TestViewSlots().ErrorMark(kSlot)) << LogText();
  EXPECT_EQ(SlotImageWidth(), 64);
  EXPECT_EQ(SlotText().rfind("Door", 0), 0u);
  EXPECT_EQ(TakeFetchErrors(), (std::vector<bool>{true, false}));
}

TEST_F(StreamTest, DropRequestedDuringAFrameClosesRightAfterIt) {
  record_->live.restartPending = true;
  EXPECT_EQ(Feed(std::string(test::kStreamHeader) + MjpegPart(MakeJpeg(64, 48))), StreamStep::kClose);
  EXPECT_EQ(frames_.size(), 1u);
}

TEST_F(StreamTest, FrameOfADeviceWithoutSlotOrWithAStillIsFreed) {
  const int imagesBefore = Image::LiveCount();
  record_->viewIndex = -1;
  Feed(std::string(test::kStreamHeader) + MjpegPart(MakeJpeg(64, 48)));
  EXPECT_EQ(record_->frameCount, 1);
  EXPECT_EQ(Image::LiveCount(), imagesBefore);
  EXPECT_TRUE(TakeFetchErrors().empty()) << "nothing is posted for a device without a slot";

  record_->viewIndex = kSlot;
  record_->shownIn = &TestViewSlots();
  record_->stillShown = true;
  TestViewSlots().SetText(kSlot, "Last image");
  Feed(MjpegPart(MakeJpeg(64, 48)));
  Feed(MjpegPart(std::string("\xFF\xD8", 2) + std::string(40, 'z') + "\xFF\xD9"));
  EXPECT_EQ(SlotText(), "Last image") << "a still is not replaced by frames or texts";
  EXPECT_EQ(SlotImageWidth(), -1);
  EXPECT_EQ(Image::LiveCount(), imagesBefore);
}

// --- encrypted frames ----------------------------------------------------------

// Encrypts a plain JPEG the way cameras do: a 32-byte APP10 segment behind FF D8, then
// the rest of the frame with everything between the segment and the final end marker
// encrypted.
std::string Encrypt(const std::string& jpeg, const std::vector<uint8_t>& key, uint32_t counterTag) {
  std::string out("\xFF\xD8\xFF\xEA\x00\x1C\x00\x00\x00\x00", 10);
  const uint32_t imageSize = static_cast<uint32_t>(32 + jpeg.size() - 2);
  for (int shift : {24, 16, 8, 0}) out += static_cast<char>((imageSize >> shift) & 0xFF);
  const uint8_t counter[12] = {'t', 'e', 's', 't', static_cast<uint8_t>(counterTag >> 24),
                               static_cast<uint8_t>(counterTag >> 16), static_cast<uint8_t>(counterTag >> 8),
                               static_cast<uint8_t>(counterTag), 1, 2, 3, 4};
  out.append(reinterpret_cast<const char*>(counter), 12);
  const uint32_t dataOffset = 32;
  const uint32_t dataSize = imageSize - 2 - dataOffset;
  out += static_cast<char>(dataOffset >> 8);
  out += static_cast<char>(dataOffset & 0xFF);
  for (int shift : {24, 16, 8, 0}) out += static_cast<char>((dataSize >> shift) & 0xFF);
  out.append(jpeg, 2, std::string::npos);
  EXPECT_TRUE(CounterModeXor(key, counter, reinterpret_cast<uint8_t*>(out.data()) + dataOffset, dataSize));
  return out;
}

std::vector<uint8_t> DefaultKey() { return std::vector<uint8_t>(kDefaultFrameKey.begin(), kDefaultFrameKey.end()); }

// An encrypted frame whose encrypted bytes hold an end marker, and where it lies.
std::string EncryptedWithInnerEnd(const std::string& jpeg, std::size_t& innerEnd) {
  const std::vector<uint8_t> key = DefaultKey();
  for (uint32_t tag = 0; tag < 2000; ++tag) {
    const std::string frame = Encrypt(jpeg, key, tag);
    const std::size_t at = frame.find("\xFF\xD9");
    if (at + 2 < frame.size()) {
      innerEnd = at;
      return frame;
    }
  }
  ADD_FAILURE() << "no counter gives an inner end marker";
  return std::string();
}

TEST_F(StreamTest, EncryptedFrameIsDecryptedInPlaceAndDecoded) {
  const std::string jpeg = MakeJpeg(64, 48);
  const std::string frame = Encrypt(jpeg, DefaultKey(), 9);
  ASSERT_NE(frame.substr(32), jpeg.substr(2));
  EXPECT_EQ(Feed(std::string(test::kStreamHeader) + MjpegPart(frame)), StreamStep::kReceive);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0].substr(0, 32), frame.substr(0, 32)) << "the describing segment stays";
  EXPECT_EQ(frames_[0].substr(32), jpeg.substr(2));
  EXPECT_EQ(SlotImageWidth(), 64);
  EXPECT_TRUE(LogHas("setting 256-bit AES encryption key"));
}

TEST_F(StreamTest, EndMarkerInsideEncryptedBytesWaitsForTheWholeFrame) {
  std::size_t inner = 0;
  const std::string frame = EncryptedWithInnerEnd(MakeJpeg(160, 120, 4), inner);
  ASSERT_FALSE(frame.empty());
  const std::string head = test::kStreamHeader + std::string("--myboundary\r\n\r\n");
  // The first chunk ends right behind the inner end marker.
  EXPECT_EQ(Feed(head + frame.substr(0, inner + 2)), StreamStep::kReceive);
  EXPECT_TRUE(frames_.empty());
  EXPECT_EQ(Feed(frame.substr(inner + 2) + "\r\n"), StreamStep::kReceive);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0].size(), frame.size());
  EXPECT_EQ(SlotImageWidth(), 160);
}

TEST_F(StreamTest, EncryptedSnapshotWithInnerEndMarkerIsCompleteInOneChunk) {
  std::size_t inner = 0;
  const std::string frame = EncryptedWithInnerEnd(MakeJpeg(160, 120, 6), inner);
  ASSERT_FALSE(frame.empty());
  // A snapshot: the frame is the last thing the camera sends.
  EXPECT_EQ(Feed("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n\r\n" + frame), StreamStep::kReceive);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(SlotImageWidth(), 160);
  EXPECT_EQ(record_->live.streamLength, 0u);
}

TEST_F(StreamTest, EncryptedFrameWithImpossibleSizesIsUsedAsItIs) {
  const std::string jpeg = MakeJpeg(64, 48);
  std::string frame = Encrypt(jpeg, DefaultKey(), 1);
  std::string bigImage = frame;
  bigImage[10] = 0x01;  // image_size above 4 MiB
  Feed(std::string(test::kStreamHeader) + MjpegPart(bigImage));
  EXPECT_TRUE(LogHas("decrypt: invalid image size; image_size="));

  std::string badData = frame;
  badData[28] = 0x00;
  badData[29] = 0x7F;  // data_size far beyond image_size
  Feed(MjpegPart(badData));
  EXPECT_TRUE(LogHas("decrypt: invalid encrypted data size/offset;"));
  for (const std::string& f : frames_) EXPECT_NE(f.substr(32), jpeg.substr(2)) << "nothing was decrypted";
}

TEST_F(StreamTest, KeyFileInTheApplicationDataFolderReplacesTheBuiltInKey) {
  std::vector<uint8_t> key(32);
  std::string hex;
  for (int i = 0; i < 32; ++i) {
    key[static_cast<std::size_t>(i)] = static_cast<uint8_t>(i * 9 + 1);
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", key[static_cast<std::size_t>(i)]);
    hex += pair;
  }
  std::ofstream(dir_ + "/" + kFrameKeyFileName) << "  " << hex << "\n";
  const std::string jpeg = MakeJpeg(64, 48);
  Feed(std::string(test::kStreamHeader) + MjpegPart(Encrypt(jpeg, key, 3)));
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0].substr(32), jpeg.substr(2));
}

TEST(FrameKey, KeyFileFormats) {
  std::vector<uint8_t> key;
  EXPECT_TRUE(ParseFrameKey(std::string(32, '\x11'), key));
  EXPECT_EQ(key.size(), 32u);
  EXPECT_TRUE(ParseFrameKey(std::string(16, 'k'), key));
  EXPECT_EQ(key.size(), 16u);
  EXPECT_TRUE(ParseFrameKey("00112233445566778899aabbccddeeff\n00112233445566778899AABBCCDDEEFF\r\n", key));
  ASSERT_EQ(key.size(), 32u);
  EXPECT_EQ(key[31], 0xFF);
  EXPECT_FALSE(ParseFrameKey(std::string(31, 'k'), key));
  EXPECT_FALSE(ParseFrameKey(std::string(64, 'g'), key));
  EXPECT_TRUE(key.empty());
}

TEST(FrameKey, KeystreamIsTheCounterModeOfTheCipher) {
  // The keystream must equal AES counter mode started from the 12 counter bytes and
  // block number 0, which is what the cameras use.
  std::vector<uint8_t> key(32);
  for (int i = 0; i < 32; ++i) key[static_cast<std::size_t>(i)] = static_cast<uint8_t>(255 - i);
  const uint8_t counter[12] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0xAB, 0xCD};
  std::vector<uint8_t> data(70000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
  std::vector<uint8_t> ours = data;
  ASSERT_TRUE(CounterModeXor(key, counter, ours.data(), ours.size()));

  std::vector<uint8_t> reference(data.size());
  uint8_t iv[16] = {0};
  std::memcpy(iv, counter, 12);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int produced = 0;
  ASSERT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key.data(), iv), 1);
  ASSERT_EQ(EVP_EncryptUpdate(ctx, reference.data(), &produced, data.data(), static_cast<int>(data.size())), 1);
  EVP_CIPHER_CTX_free(ctx);
  EXPECT_EQ(ours, reference);
}

// --- H.264 -----------------------------------------------------------------------

std::string Escaped(const std::vector<uint8_t>& rbsp) {
  std::string out;
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out += '\x03';
      zeros = 0;
    }
    out += static_cast<char>(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

std::string SeiUnit(const std::array<uint8_t, 32>& grid) {
  std::vector<uint8_t> payload = {0x05, 0x30};
  for (int i = 0; i < 16; ++i) payload.push_back(static_cast<uint8_t>('a' + i));
  payload.insert(payload.end(), grid.begin(), grid.end());
  payload.push_back(0x80);
  return std::string("\x00\x00\x00\x01\x06", 5) + Escaped(payload);
}

std::string SliceUnit(int seed, std::size_t size) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 31 + static_cast<std::size_t>(seed)) | 1);
  return std::string("\x00\x00\x00\x01\x41", 5) + Escaped(bytes);
}

class H264Test : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    record_->kind = EntryKind::HTTPDevice;
    record_->location = "http://127.0.0.1:81/video/nph-h264.cgi";
  }
  Colour SlotPixel(int x, int y) const {
    Colour c;
    TestViewSlots().at(kSlot)->Read([&](const ViewSlotState& s) {
      if (s.image != nullptr && s.image->image) c = s.image->image->PixelAt(x, y);
    });
    return c;
  }
};

TEST_F(H264Test, CounterRisesByOnePerSeiUnitHoweverTheBytesAreSplit) {
  std::array<uint8_t, 32> grid{};
  grid[0] = 0x80;  // row 0, left cell
  grid[3] = 0x01;  // row 1, right cell
  grid[30] = 0x00;
  grid[31] = 0x03;  // a byte that needs an emulation-prevention byte before it
  std::string stream = "HTTP/1.0 200 OK\r\nContent-Type: video/H264\r\n\r\n";
  constexpr int kFrames = 12;
  for (int i = 0; i < kFrames; ++i) stream += SeiUnit(grid) + SliceUnit(i, 700);

  for (std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t{64}, std::size_t{1000}, stream.size()}) {
    SCOPED_TRACE(chunk);
    record_->live.fetchState = STATE_HEADER;
    record_->live.streamLength = 0;
    record_->frameCount = 0;
    EXPECT_EQ(FeedInChunks(stream, chunk), StreamStep::kReceive);
    EXPECT_EQ(record_->frameCount, kFrames);
    EXPECT_LE(record_->live.streamLength, 3u);
  }
  EXPECT_EQ(SlotImageWidth(), kH264PlaceholderWidth);
  EXPECT_TRUE(frames_.empty()) << "H.264 units are never recorded";
  const Colour magenta{255, 0, 255};
  EXPECT_EQ(SlotPixel(0, 0), magenta);
  EXPECT_EQ(SlotPixel(15 * 40 + 39, 30), magenta);
  EXPECT_EQ(SlotPixel(200, 200), (Colour{32, 32, 32}));
  EXPECT_EQ(SlotPixel(15 * 40, 15 * 30), magenta) << "the escaped last row";
}

TEST(H264Grid, SeiGridReadingDropsEmulationBytesAndNeverReadsPastTheData) {
  std::array<uint8_t, 32> grid{};
  grid[4] = 0x00;
  grid[5] = 0x00;
  grid[6] = 0x01;
  grid[7] = 0xFF;
  const std::string unit = SeiUnit(grid);
  uint8_t out[kMotionGridBytes];
  ASSERT_EQ(ReadSeiMotionGrid(reinterpret_cast<const uint8_t*>(unit.data()), unit.size(), out), SeiGrid::kGrid);
  EXPECT_EQ(std::memcmp(out, grid.data(), 32), 0);
  EXPECT_EQ(ReadSeiMotionGrid(reinterpret_cast<const uint8_t*>(unit.data()), 40, out), SeiGrid::kIncomplete);
  const std::string other("\x00\x00\x00\x01\x06\x04\x10", 7);
  EXPECT_EQ(ReadSeiMotionGrid(reinterpret_cast<const uint8_t*>(other.data()), other.size(), out), SeiGrid::kNone);
}

TEST(H264Grid, PlaceholderShowsTheNumberOnBlackInTheMiddle) {
  uint8_t grid[kMotionGridBytes] = {0};
  std::unique_ptr<Image> image = H264Placeholder(8, grid);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width(), 640);
  EXPECT_EQ(image->height(), 480);
  EXPECT_EQ(image->PixelAt(0, 0), (Colour{32, 32, 32}));
  bool white = false;
  bool black = false;
  for (int y = 220; y < 260; ++y) {
    for (int x = 300; x < 340; ++x) {
      const Colour c = image->PixelAt(x, y);
      white = white || c == Colour{255, 255, 255};
      black = black || c == Colour{0, 0, 0};
    }
  }
  EXPECT_TRUE(white);
  EXPECT_TRUE(black);
}

// --- frame rate and caption ----------------------------------------------------

TEST(FrameRate, FirstFrameStartsTheClockThenTheRateIsAveraged) {
  uint64_t last = 0;
  double rate = 0;
  update_frame_rate(last, rate, 0, 10000);
  EXPECT_EQ(last, 10000u);
  EXPECT_EQ(rate, 0);
  update_frame_rate(last, rate, 1, 10100);
  EXPECT_DOUBLE_EQ(rate, 10.0);
  update_frame_rate(last, rate, 2, 10300);
  EXPECT_DOUBLE_EQ(rate, (9 * 10.0 + 5.0) / 10);
  update_frame_rate(last, rate, 3, 10300);  // no time between frames counts as 10 ms
  EXPECT_DOUBLE_EQ(rate, (9 * 9.5 + 100.0) / 10);
}

TEST_F(LiveTest, CaptionPartsFollowTheSettingsWithCommasBetween) {
  ImageHolder holder;
  holder.length = 45 * 1024 + 100;
  holder.image = Image::New(640, 480, 24);
  velmora::test::TestSettings().captionShowDimensions = true;
  EXPECT_EQ(view_caption("Door", &holder, 12.5), "Door 12.5 fps, 45 KiB, 640x480");
  EXPECT_EQ(view_caption("Door", &holder, 0.05), "Door 0.05 fps, 45 KiB, 640x480");
  EXPECT_EQ(view_caption("Door", &holder, 0.1), "Door  0.1 fps, 45 KiB, 640x480");
  EXPECT_EQ(view_caption("Door", nullptr, 0.5), "Door  0.5 fps");
  holder.length = 511;
  velmora::test::TestSettings().captionShowFPS = false;
  EXPECT_EQ(view_caption("Door", &holder, 3), "Door 0 KiB, 640x480");
  velmora::test::TestSettings().captionShowSize = false;
  EXPECT_EQ(view_caption("Door", &holder, 3), "Door 640x480");
  velmora::test::TestSettings().captionShowFPS = true;
  velmora::test::TestSettings().captionShowDimensions = false;
  EXPECT_EQ(view_caption("Door", &holder, 25), "Door 25.0 fps");
}

}  // namespace
}  // namespace velmora
