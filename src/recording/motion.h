// Motion detection for devices that record only on motion. Three detectors, chosen per
// device by motionType: 0 simple (128 zones against the reference frame's zone values),
// 1 advanced (8 x 8-pixel blocks with a neighbourhood filter), 2 camera-supplied (a
// motion bitmap the camera puts into an APP10 segment of the JPEG).
//
// Each detector decides whether the frame is to be recorded (recordFrame), which of the
// 128 zones moved (the masks stored in the record header: 16 columns from the left, 8
// rows from the bottom of the picture, zone n = row x 16 + column), keeps frames coming
// for a hold count after motion, draws the moved areas into the live frame when marking
// applies, and reports the alert to the caller, which posts it.
//
// The detector state belongs to one device and is used under that device's recording
// locks, one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/device_config.h"  // MotionConfig: the settings the detectors follow

namespace velmora {

// A decoded frame, rows top-down as decoded. stride is the signed distance in bytes from
// one row to the next below it. 24 bits: blue, green, red; 32 bits: blue, green, red,
// alpha; 8 bits: grey, read as equal blue, green and red values. Frames larger than
// kMaxFrameSide either way are not valid.
constexpr int kMaxFrameSide = 65535;

struct FrameView {
  uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
  int bitsPerPixel = 24;
  bool valid() const;
};


// The reference frame as the detectors compare against it. Only its size and, for the
// advanced detector, the value of each 8 x 8 block are ever read again, so those are
// what is kept instead of a copy of the pixels.
struct MotionReference {
  bool present = false;
  int width = 0;
  int height = 0;
  std::vector<uint32_t> blockValues;  // advanced: rows from the bottom, cols per row
};

constexpr int kMotionZones = 128;
constexpr int kCameraBlockBytes = 32;

struct MotionState {
  MotionReference motionReference;
  uint64_t motionMaskLow = 0;
  uint64_t motionMaskHigh = 0;
  int motionKind = -1;  // -1 none, 0 simple, 1 advanced, 2 camera-supplied
  int motionHold = 0;
  bool recordFrame = false;  // cleared by the recorder before each call
  std::array<uint64_t, kMotionZones> zoneLevels{};  // simple: reference zone values
  std::array<uint32_t, kMotionZones> zoneNoise{};   // simple: noise levels in percent
  std::vector<int32_t> blockNoise;                  // advanced: tenths of a percent
  std::array<uint8_t, kCameraBlockBytes> cameraMotionBlock{};
};

// What the caller knows about the frame's device: its name for log lines, and whether
// marks may be drawn into this frame (the device is fetched live, its tile shows no
// still image and takes no part in playback). Marks are drawn only when that holds and
// the device's motionShow is on.
struct MotionCall {
  const char* deviceName = "";
  bool markingApplies = false;
};

// Sensitivity tables of the simple and advanced detectors.
extern const std::array<int, 16> kSimpleSensitivity;
extern const std::array<int, 16> kAdvancedSensitivity;

// Each returns true when the motion alert is to be raised (motion found and motionAlert
// on). A missing frame (pixels null) is logged "%s: ImageFromBuffer failed for %s" and
// leaves recordFrame untouched.
bool motion_detect(MotionState& state, const MotionConfig& settings, const FrameView& frame,
                   const MotionCall& call);
bool motion_detect_advanced(MotionState& state, const MotionConfig& settings,
                            const FrameView& frame, const MotionCall& call);
// The camera-supplied detector reads the JPEG; the frame is needed only for marking and
// may be missing.
bool motion_detect_camera(MotionState& state, const MotionConfig& settings,
                          const uint8_t* jpeg, std::size_t jpegLength, const FrameView& frame,
                          const MotionCall& call);

// Runs the detector that settings.motionType selects (an unknown type runs the simple
// one). Returns the alert flag.
bool DetectMotion(MotionState& state, const MotionConfig& settings, const FrameView& frame,
                  const uint8_t* jpeg, std::size_t jpegLength, const MotionCall& call);

// The camera motion block of a JPEG: the APP10 segment (FF EA) nearest the end in one of
// the two forms (length 34 then the block, or length 38, "VLM0", then the block) whose
// block lies wholly inside the data. False when there is none.
bool FindCameraMotionBlock(const uint8_t* jpeg, std::size_t jpegLength,
                           std::array<uint8_t, kCameraBlockBytes>& block);

// The zone grid cell bit of zone n for grid4x4.
int ZoneGridBit(int zone);

// Per-cell colour sums over a grid of equal cells laid from the bottom-left corner of
// the frame; what lies beyond the last whole cell (right, top) is not read. sums holds
// cols x rows x 3 values (blue, green, red), row 0 at the bottom. Every examined pixel
// is read once.
void CellSums(const FrameView& frame, int cellWidth, int cellHeight, int cols, int rows,
              std::vector<uint64_t>& sums);
// Integer part of sqrt(b*b + g*g + r*r).
uint64_t ColourValue(uint64_t blue, uint64_t green, uint64_t red);

// A one-pixel rectangle outline in top-down coordinates, clipped to the frame.
void DrawFrameRect(const FrameView& frame, int x, int y, int width, int height, uint8_t red,
                   uint8_t green, uint8_t blue);

}  // namespace velmora
