#include "live/h264.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <array>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "app/log.h"
#include "app/settings.h"
#include "live/fetch.h"
#include "live/stream.h"
#include "media/video_decoder.h"
#include "model/group_record.h"

namespace velmora {

// What the H.264 script's path keeps per device between chunks: the decoder of the
// current connection, the motion grids of the units not yet decoded, and the encoder.
// The record holds it as its videoState, under its fetchLock.
struct VideoState {
  const void* connection = nullptr;
  bool usable = false;  // the decoder opened
  VideoDecoder decoder;
  PictureEncoder encoder;
  std::vector<uint8_t> jpeg;  // headroom, JPEG, trailer of the picture being handed over
  // Grids by unit number, oldest first; only units still in the decoder's pipeline.
  std::deque<std::pair<int64_t, std::array<uint8_t, kMotionGridBytes>>> grids;
};

namespace {

constexpr std::size_t kMaxPendingGrids = 64;

// The device's state for this connection: a new connection starts a new decoder.
VideoState* StateFor(GroupRecord& record, const void* connection) {
  auto state = record.videoState;
  if (state && state->connection == connection) return state.get();
  state = std::make_shared<VideoState>();
  state->connection = connection;
  VideoDecoderOptions options;
  options.wholeUnits = false;
  std::string error;
  state->usable = state->decoder.Open(VideoCodec::kH264, options, nullptr, 0, error);
  if (!state->usable) Log("%s: decoder for %s failed (%s)", "viewthread_iocp_check_h264", record.name.c_str(), error.c_str());
  record.videoState = state;
  return state.get();
}

// The motion grid of the first user-data SEI (with a four-byte start code) in a unit.
bool UnitGrid(const uint8_t* unit, std::size_t size, uint8_t grid[kMotionGridBytes]) {
  for (std::size_t q = 0; q + 6 <= size; ++q) {
    if (unit[q] != 0 || unit[q + 1] != 0 || unit[q + 2] != 0 || unit[q + 3] != 1) continue;
    if ((unit[q + 4] & 0x1F) == 6 && ReadSeiMotionGrid(unit + q, size - q, grid) == SeiGrid::kGrid) return true;
  }
  return false;
}

// Decodes the new bytes; each picture becomes a JPEG frame (carrying the camera's
// motion grid) on the stream path. Returns the pictures handed over.
int DecodeNewBytes(GroupRecord& record, VideoState& state, const uint8_t* bytes, std::size_t size) {
  int delivered = 0;
  const uint64_t before = state.decoder.picturesDecoded();
  const DecodeResult result = state.decoder.Feed(
      bytes, size, 0,
      [&](const AVFrame& picture) {
        const uint8_t* grid = nullptr;
        while (!state.grids.empty() && state.grids.front().first < picture.pts) state.grids.pop_front();
        if (!state.grids.empty() && state.grids.front().first == picture.pts) grid = state.grids.front().second.data();
        std::size_t length = 0;
        std::string error;
        const int quality = FetchSettings()->liveJpegQuality;
        if (!state.encoder.Encode(picture, quality, grid, kStreamHeadroom, kStreamTrailer, state.jpeg, length, error)) {
          Log("%s: %s for %s", "viewthread_iocp_check_h264", error.c_str(), record.name.c_str());
          return;
        }
        const bool shown = record.viewIndex != -1 && !record.stillShown;
        std::unique_ptr<Image> image = shown ? state.encoder.ToImage(picture) : nullptr;
        if (DeliverJpegFrame(record, state.jpeg.data() + kStreamHeadroom, length, std::move(image), false)) ++delivered;
      },
      [&](const uint8_t* unit, std::size_t unitSize, int64_t number) {
        std::array<uint8_t, kMotionGridBytes> grid{};
        if (!UnitGrid(unit, unitSize, grid.data())) return;
        if (state.grids.size() >= kMaxPendingGrids) state.grids.pop_front();
        state.grids.emplace_back(number, grid);
      });
  // A stream that never decoded keeps its placeholders without an error; once it has
  // shown pictures, lost or damaged units are reported like corrupt frames.
  if (result == DecodeResult::kTooLarge) {
    ReportFetchState(record, true, "Picture size above the limit");
  } else if (result != DecodeResult::kOk && before > 0) {
    ReportFetchState(record, true, "Stream data lost or corrupt");
  }
  return delivered;
}

constexpr Colour kPlaceholderGrey{32, 32, 32};
constexpr Colour kWhite{255, 255, 255};
constexpr Colour kBlack{0, 0, 0};
constexpr Colour kMagenta{255, 0, 255};
constexpr int kDigitScale = 4;
constexpr int kGridCells = 16;

bool IsStartCode(const uint8_t* p) { return p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1; }

}  // namespace

SeiGrid ReadSeiMotionGrid(const uint8_t* unit, std::size_t available, uint8_t grid[kMotionGridBytes]) {
  std::memset(grid, 0, kMotionGridBytes);
  if (available < 6) return SeiGrid::kIncomplete;
  if (unit[4] != 0x06 || unit[5] != 0x05) return SeiGrid::kNone;
  std::size_t pos = kSeiGridOffset;
  std::size_t taken = 0;
  int zeros = 0;
  while (taken < kMotionGridBytes) {
    if (pos >= available) {
      std::memset(grid, 0, kMotionGridBytes);
      return SeiGrid::kIncomplete;
    }
    const uint8_t b = unit[pos++];
    if (zeros >= 2 && b == 0x03) {  // emulation prevention byte
      zeros = 0;
      continue;
    }
    grid[taken++] = b;
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return SeiGrid::kGrid;
}

std::unique_ptr<Image> H264Placeholder(int32_t number, const uint8_t grid[kMotionGridBytes]) {
  std::unique_ptr<Image> image = Image::New(kH264PlaceholderWidth, kH264PlaceholderHeight, 24);
  if (!image) return nullptr;
  image->Fill(kPlaceholderGrey);
  const std::string text = std::to_string(number);
  const int x = (kH264PlaceholderWidth - Image::TextWidth(text, kDigitScale)) / 2;
  const int y = (kH264PlaceholderHeight - Image::TextHeight(kDigitScale)) / 2;
  image->DrawText(x, y, text, kWhite, &kBlack, kDigitScale);

  const int cellWidth = (kH264PlaceholderWidth + 15) / 16;
  const int cellHeight = (kH264PlaceholderHeight + 15) / 16;
  for (int row = 0; row < kGridCells; ++row) {
    const unsigned bits = (static_cast<unsigned>(grid[2 * row]) << 8) | grid[2 * row + 1];
    for (int column = 0; column < kGridCells; ++column) {
      if ((bits & (0x8000u >> column)) == 0) continue;
      image->FrameRect(Rect{column * cellWidth, row * cellHeight, cellWidth, cellHeight}, kMagenta);
    }
  }
  return image;
}

StreamStep viewthread_iocp_check_h264(GroupRecord& record, const void* connection, uint32_t bytes) {
  uint8_t* data = StreamData(record);
  record.live.streamLength += bytes;
  if (record.live.streamLength > kStreamDataBytes) {
    Log("%s: BAD SIZE; gr=%p vto=%p dw=%u current_size=%d [%s]", "viewthread_iocp_check_h264",
        static_cast<void*>(&record), connection, bytes, static_cast<int>(record.live.streamLength),
        record.name.c_str());
    return StreamStep::kClose;
  }
  const std::size_t held = static_cast<std::size_t>(record.live.streamLength);

  // The new bytes go through the decoder first; once it has made a picture, the
  // placeholders give way to the pictures.
  VideoState* state = StateFor(record, connection);
  bool pictures = false;
  if (state->usable) {
    DecodeNewBytes(record, *state, data + held - bytes, bytes);
    pictures = state->decoder.picturesDecoded() > 0;
  }

  // Every start code among the held bytes is looked at, one byte at a time. What is
  // kept between chunks is small: the last 3 bytes (the beginning of a start code), or
  // a unit whose SEI grid has not fully arrived. So the scan can start at the front.
  std::size_t keepFrom = held > 3 ? held - 3 : 0;
  bool found = false;
  for (std::size_t q = 0; q + 4 <= held; ++q) {
    if (!IsStartCode(data + q)) continue;
    record.live.frameSeen = true;  // a unit: the stream's silence rule applies from here
    if (q + 4 >= held) {  // the unit's header byte has not arrived
      keepFrom = q;
      break;
    }
    if ((data[q + 4] & 0x1F) == 6) {
      uint8_t grid[kMotionGridBytes];
      if (ReadSeiMotionGrid(data + q, held - q, grid) == SeiGrid::kIncomplete) {
        keepFrom = q;
        break;
      }
      if (!found && !pictures) ReportFetchState(record, false, nullptr);
      found = true;
      if (pictures) {
        q += 3;
        continue;
      }
      // The placeholder is drawn only when a slot will show it.
      const bool shown = record.viewIndex != -1 && !record.stillShown;
      std::unique_ptr<Image> image = shown ? H264Placeholder(record.frameCount, grid) : nullptr;
      CountFrame(record);
      if (image) {
        std::unique_ptr<ImageHolder> holder = ImageHolder::FromJpeg(nullptr, 0);
        if (holder) {
          holder->image = std::move(image);
          ShowFrame(record, std::move(holder));
        }
      }
    } else if (!found && !pictures) {
      ReportFetchState(record, false, nullptr);
      found = true;
    }
    q += 3;
  }

  const std::size_t keep = held - keepFrom;
  if (keep > 0 && keepFrom > 0) std::memmove(data, data + keepFrom, keep);
  record.live.streamLength = keep;
  return StreamStep::kReceive;
}

}  // namespace velmora
