// Command line of the fake camera server.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

// Misbehaviour a camera can be told to show, for the whole camera or one request.
enum class Fault {
  kNone = 0,
  kRefuse,         // close each connection as soon as it is accepted
  kStall,          // read the request, never answer (the connection is held, then closed)
  kStop,           // answer, send a few frames (a snapshot: half of it), then go silent
  kCloseMidFrame,  // close the connection in the middle of a frame
  kGarbage,        // a good status line, then bytes that are no JPEG
  kBigFrame,       // frames of more than 4 MiB
  kBigHeader,      // a response header of more than 64 KiB without its blank line
  kStatus401,
  kStatus404,
  kStatus500,
  kSlow,           // everything one byte at a time
};

// Where a camera puts its own motion block into its JPEG frames (an APP10 segment).
enum class MotionForm { kNone = 0, kShort, kTagged };

std::optional<Fault> FaultFromName(std::string_view name);
const char* FaultName(Fault fault);

struct CameraOptions {
  uint16_t port = 0;  // 0: any free port
  Fault fault = Fault::kNone;
  bool encrypt = false;
  MotionForm motion = MotionForm::kNone;
  bool pad = false;   // bytes of padding in front of each frame's end marker
  bool exif = false;  // an EXIF segment with a thumbnail (its own FF D8 ... FF D9) up front
};

struct Options {
  int cameras = 1;
  int width = 640;
  int height = 480;
  int quality = 75;
  int frameCount = 30;        // frames of the test pattern, encoded once and cycled
  std::string folder;         // serve the JPEG files of this folder instead
  std::string user;           // Basic authentication when user or password is set
  std::string password;
  std::array<uint8_t, 32> key{};  // frame encryption key
  int padBytes = 16;          // padding of the cameras named by --pad
  double maxFps = 0;          // cap for streams asked without a rate; 0 = none
  int h264Fps = 10;           // H.264 rate when the request names none
  bool h264Real = false;      // H.264 units that decode to the test pattern (else random slices)
  int threads = 1;
  int stallMs = 30000;        // how long stalled or silent connections are held
  int byteIntervalUs = 1000;  // pause between bytes of the "slow" fault
  int stopAfterFrames = 3;    // frames a "stop" stream sends before going silent
  int maxConnections = 256;   // per camera; more are closed at accept
  bool quiet = false;
  bool watchStdin = false;    // exit when standard input reaches its end (parent gone)
  std::vector<CameraOptions> camera;  // one per camera
};

// Parses argv. On failure returns nullopt and fills error (empty error: help was asked).
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);
const char* UsageText();

}  // namespace camsim
