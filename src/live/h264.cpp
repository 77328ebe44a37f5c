#include "live/h264.h"

#include <cstring>
#include <string>

#include "app/log.h"
#include "live/stream.h"
#include "model/group_record.h"

namespace velmora {

namespace {

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
  record.streamLength += bytes;
  if (record.streamLength > kStreamDataBytes) {
    Log("%s: BAD SIZE; gr=%p vto=%p dw=%u current_size=%d [%s]", "viewthread_iocp_check_h264",
        static_cast<void*>(&record), connection, bytes, static_cast<int>(record.streamLength),
        record.name.c_str());
    return StreamStep::kClose;
  }
  const std::size_t held = static_cast<std::size_t>(record.streamLength);

  // Every start code among the held bytes is looked at, one byte at a time. What is
  // kept between chunks is small: the last 3 bytes (the beginning of a start code), or
  // a unit whose SEI grid has not fully arrived. So the scan can start at the front.
  std::size_t keepFrom = held > 3 ? held - 3 : 0;
  bool found = false;
  for (std::size_t q = 0; q + 4 <= held; ++q) {
    if (!IsStartCode(data + q)) continue;
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
      if (!found) ReportFetchState(record, false, nullptr);
      found = true;
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
    } else if (!found) {
      ReportFetchState(record, false, nullptr);
      found = true;
    }
    q += 3;
  }

  const std::size_t keep = held - keepFrom;
  if (keep > 0 && keepFrom > 0) std::memmove(data, data + keepFrom, keep);
  record.streamLength = keep;
  return StreamStep::kReceive;
}

}  // namespace velmora
