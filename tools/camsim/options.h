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
  kChallenge,      // every request: 401 with a fresh Digest challenge that claims a stale nonce
  kGarbageHandshake,  // bytes that are no TLS (nor HTTP) as soon as the connection is accepted
  kBadChallenge,   // every request: 401 with a Digest challenge too long for any client to keep
};

// How the cameras ask for credentials when --user or --password is set.
enum class AuthScheme { kBasic = 0, kDigestMd5, kDigestSha256 };

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
  bool tls = false;   // HTTPS instead of HTTP
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
  AuthScheme auth = AuthScheme::kBasic;
  int nonceMs = 60000;        // a Digest nonce older than this is answered with stale=true
  std::string tlsCert;        // PEM files of the TLS cameras' certificate and key; empty:
  std::string tlsKey;         // a self-signed one is made at start
  int tlsSwitchAfter = 0;     // after this many handshakes a camera shows a second certificate
  std::array<uint8_t, 32> key{};  // frame encryption key
  int padBytes = 16;          // padding of the cameras named by --pad
  double maxFps = 0;          // cap for streams asked without a rate; 0 = none
  int h264Fps = 10;           // H.264 rate when the request names none
  bool h264Real = false;      // H.264 units that decode to the test pattern (else random slices)
  int threads = 1;
  int stallMs = 30000;        // how long stalled or silent connections are held
  int byteIntervalUs = 1000;  // pause between bytes of the "slow" fault
  int stopAfterFrames = 3;    // frames a "stop" stream sends before going silent
  int firstFrameDelayMs = 0;  // pause between a response header and its first frame
  int maxConnections = 256;   // per camera; more are closed at accept
  bool quiet = false;
  bool watchStdin = false;    // exit when standard input reaches its end (parent gone)
  std::vector<CameraOptions> camera;  // one per camera
};

// Parses argv. On failure returns nullopt and fills error (empty error: help was asked).
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);
const char* UsageText();

}  // namespace camsim
