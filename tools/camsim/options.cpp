#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "live/crypto_key.h"

namespace camsim {

namespace {

struct FaultEntry {
  Fault fault;
  const char* name;
};

constexpr FaultEntry kFaults[] = {
    {Fault::kNone, "none"},
    {Fault::kRefuse, "refuse"},
    {Fault::kStall, "stall"},
    {Fault::kStop, "stop"},
    {Fault::kCloseMidFrame, "close-mid-frame"},
    {Fault::kGarbage, "garbage"},
    {Fault::kBigFrame, "big-frame"},
    {Fault::kBigHeader, "big-header"},
    {Fault::kStatus401, "status-401"},
    {Fault::kStatus404, "status-404"},
    {Fault::kStatus500, "status-500"},
    {Fault::kSlow, "slow"},
    {Fault::kChallenge, "challenge"},
    {Fault::kGarbageHandshake, "garbage-handshake"},
    {Fault::kBadChallenge, "bad-challenge"},
};

bool ParseLong(std::string_view text, long min, long max, long& out) {
  if (text.empty() || text.size() > 18) return false;
  std::string s(text);
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || end != s.c_str() + s.size() || v < min || v > max) return false;
  out = v;
  return true;
}

bool ParseDouble(std::string_view text, double min, double max, double& out) {
  if (text.empty() || text.size() > 32) return false;
  std::string s(text);
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !(v >= min && v <= max)) return false;
  out = v;
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A key file holds the 32 key bytes raw, or as 64 hexadecimal digits (white space
// around them is ignored).
bool ReadKeyFile(const std::string& path, std::array<uint8_t, 32>& key, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open key file " + path;
    return false;
  }
  std::string data;
  data.resize(257);
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  data.resize(static_cast<size_t>(in.gcount()));
  if (data.size() == 32) {
    std::copy(data.begin(), data.end(), key.begin());
    return true;
  }
  std::string hex;
  for (char c : data) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    hex += c;
  }
  if (hex.size() != 64) {
    error = "key file must hold 32 bytes or 64 hexadecimal digits";
    return false;
  }
  for (size_t i = 0; i < 32; ++i) {
    const int hi = HexValue(hex[2 * i]);
    const int lo = HexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      error = "key file has a character that is not hexadecimal";
      return false;
    }
    key[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

// "N", "N,M,..." or "all": the cameras a per-camera option applies to.
bool ParseCameraList(std::string_view text, int cameras, std::vector<int>& out) {
  out.clear();
  if (text == "all") {
    for (int i = 0; i < cameras; ++i) out.push_back(i);
    return true;
  }
  while (!text.empty()) {
    const size_t comma = text.find(',');
    long index = 0;
    if (!ParseLong(text.substr(0, comma), 0, cameras - 1, index)) return false;
    out.push_back(static_cast<int>(index));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return !out.empty();
}

}  // namespace

std::optional<Fault> FaultFromName(std::string_view name) {
  for (const FaultEntry& e : kFaults) {
    if (name == e.name) return e.fault;
  }
  return std::nullopt;
}

const char* FaultName(Fault fault) {
  for (const FaultEntry& e : kFaults) {
    if (e.fault == fault) return e.name;
  }
  return "none";
}

const char* UsageText() {
  return "usage: camsim [options]\n"
         "  --cameras N            number of cameras (default 1, at most 1000)\n"
         "  --base-port P          camera i listens on P + i (0: any free port each)\n"
         "  --port P1,P2,...       explicit ports, one per camera (sets --cameras)\n"
         "  --width W --height H   test pattern size (default 640 x 480)\n"
         "  --quality Q            JPEG quality 1..100 (default 75)\n"
         "  --frames N             test pattern frames encoded and cycled (default 30)\n"
         "  --folder DIR           serve the .jpg files of DIR instead of the pattern\n"
         "  --user U --password P  require HTTP Basic authentication\n"
         "  --digest md5|sha256    require Digest authentication (qop=auth) instead of Basic\n"
         "  --nonce-ms MS          Digest nonce lifetime; older ones get stale=true (default 60000)\n"
         "  --tls LIST             serve these cameras over HTTPS (N,M,... or all)\n"
         "  --tls-cert F --tls-key F  PEM certificate and key (default: self-signed, made at start)\n"
         "  --tls-switch-after N   after N handshakes a camera presents a second certificate\n"
         "  --key-file F           AES-256 key for encrypted frames (32 bytes or 64 hex digits)\n"
         "  --encrypt LIST         encrypt the frames of these cameras (N,M,... or all)\n"
         "  --motion LIST:FORM     motion block in the frames: short or tagged\n"
         "  --pad LIST[:N]         N zero bytes in front of each frame's end marker (default 16)\n"
         "  --exif LIST            an EXIF segment with a thumbnail at the start of each frame\n"
         "  --fault LIST:NAME      refuse, stall, stop, close-mid-frame, garbage, big-frame,\n"
         "                         big-header, status-401, status-404, status-500, slow,\n"
         "                         challenge, garbage-handshake, bad-challenge\n"
         "  --max-fps F            cap for streams asked without a rate (default none)\n"
         "  --h264-fps F           H.264 unit rate when the request names none (default 10)\n"
         "  --h264-real            H.264 units that decode to the test pattern (libavcodec's encoder)\n"
         "                         instead of slices of random bytes (needs an even width and height)\n"
         "  --threads N            1 or 2 I/O threads (default 1)\n"
         "  --stall-ms MS          how long stalled connections are held (default 30000)\n"
         "  --byte-interval-us US  pause between bytes of the slow fault (default 1000)\n"
         "  --stop-after N         frames sent before a stop fault goes silent (default 3)\n"
         "  --first-frame-delay-ms MS  pause between a response header and its first frame\n"
         "                         (a camera starting its encoder; default 0)\n"
         "  --max-connections N    per camera (default 256)\n"
         "  --quiet                print only the ports and the ready line\n"
         "  --watch-stdin          exit when standard input is closed (for test harnesses)\n"
         "Paths: /jpeg.cgi[?N], /nph-mjpeg.cgi[?N][&fps=F], .../nph-h264.cgi, POST admin.cgi?datetime,\n"
         "       /camsim/datetime, /camsim/stats; add &fault=NAME to any request.\n";
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
  Options o;
  o.key = velmora::kDefaultFrameKey;
  long basePort = -1;
  std::vector<uint16_t> ports;
  std::string keyFile;
  std::vector<std::string> encryptLists, motionItems, faultItems, padItems, exifLists, tlsLists;
  auto fail = [&error](std::string message) -> std::optional<Options> {
    if (error.empty()) error = std::move(message);
    return std::nullopt;
  };

  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view& out) {
      if (i + 1 >= argc) {
        error = std::string(arg) + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string_view v;
    long n = 0;
    if (arg == "--help" || arg == "-h") {
      error.clear();
      return std::nullopt;
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "--watch-stdin") {
      o.watchStdin = true;
    } else if (arg == "--cameras") {
      if (!value(v) || !ParseLong(v, 1, 1000, n)) return fail("bad --cameras");
      o.cameras = static_cast<int>(n);
    } else if (arg == "--base-port") {
      if (!value(v) || !ParseLong(v, 0, 65535, basePort)) return fail("bad --base-port");
    } else if (arg == "--port") {
      if (!value(v)) return std::nullopt;
      ports.clear();
      while (!v.empty()) {
        const size_t comma = v.find(',');
        if (!ParseLong(v.substr(0, comma), 0, 65535, n)) {
          error = "bad --port list";
          return std::nullopt;
        }
        ports.push_back(static_cast<uint16_t>(n));
        if (comma == std::string_view::npos) break;
        v.remove_prefix(comma + 1);
      }
    } else if (arg == "--width" || arg == "--height") {
      if (!value(v) || !ParseLong(v, 16, 8192, n)) return fail("bad " + std::string(arg));
      (arg == "--width" ? o.width : o.height) = static_cast<int>(n);
    } else if (arg == "--quality") {
      if (!value(v) || !ParseLong(v, 1, 100, n)) return fail("bad --quality");
      o.quality = static_cast<int>(n);
    } else if (arg == "--frames") {
      if (!value(v) || !ParseLong(v, 1, 1000, n)) return fail("bad --frames");
      o.frameCount = static_cast<int>(n);
    } else if (arg == "--folder") {
      if (!value(v)) return std::nullopt;
      o.folder = std::string(v);
    } else if (arg == "--user") {
      if (!value(v)) return std::nullopt;
      o.user = std::string(v);
    } else if (arg == "--password") {
      if (!value(v)) return std::nullopt;
      o.password = std::string(v);
    } else if (arg == "--digest") {
      if (!value(v)) return std::nullopt;
      if (v == "md5") o.auth = AuthScheme::kDigestMd5;
      else if (v == "sha256") o.auth = AuthScheme::kDigestSha256;
      else return fail("bad --digest (md5 or sha256)");
    } else if (arg == "--nonce-ms") {
      if (!value(v) || !ParseLong(v, 1, 86400000, n)) return fail("bad --nonce-ms");
      o.nonceMs = static_cast<int>(n);
    } else if (arg == "--tls") {
      if (!value(v)) return std::nullopt;
      tlsLists.emplace_back(v);
    } else if (arg == "--tls-cert") {
      if (!value(v)) return std::nullopt;
      o.tlsCert = std::string(v);
    } else if (arg == "--tls-key") {
      if (!value(v)) return std::nullopt;
      o.tlsKey = std::string(v);
    } else if (arg == "--tls-switch-after") {
      if (!value(v) || !ParseLong(v, 0, 1000000, n)) return fail("bad --tls-switch-after");
      o.tlsSwitchAfter = static_cast<int>(n);
    } else if (arg == "--key-file") {
      if (!value(v)) return std::nullopt;
      keyFile = std::string(v);
    } else if (arg == "--encrypt") {
      if (!value(v)) return std::nullopt;
      encryptLists.emplace_back(v);
    } else if (arg == "--motion") {
      if (!value(v)) return std::nullopt;
      motionItems.emplace_back(v);
    } else if (arg == "--pad") {
      if (!value(v)) return std::nullopt;
      padItems.emplace_back(v);
    } else if (arg == "--exif") {
      if (!value(v)) return std::nullopt;
      exifLists.emplace_back(v);
    } else if (arg == "--fault") {
      if (!value(v)) return std::nullopt;
      faultItems.emplace_back(v);
    } else if (arg == "--max-fps") {
      if (!value(v) || !ParseDouble(v, 0, 1000, o.maxFps)) return fail("bad --max-fps");
    } else if (arg == "--h264-fps") {
      if (!value(v) || !ParseLong(v, 1, 1000, n)) return fail("bad --h264-fps");
      o.h264Fps = static_cast<int>(n);
    } else if (arg == "--h264-real") {
      o.h264Real = true;
    } else if (arg == "--threads") {
      if (!value(v) || !ParseLong(v, 1, 2, n)) return fail("bad --threads (1 or 2)");
      o.threads = static_cast<int>(n);
    } else if (arg == "--stall-ms") {
      if (!value(v) || !ParseLong(v, 1, 3600000, n)) return fail("bad --stall-ms");
      o.stallMs = static_cast<int>(n);
    } else if (arg == "--byte-interval-us") {
      if (!value(v) || !ParseLong(v, 0, 1000000, n)) return fail("bad --byte-interval-us");
      o.byteIntervalUs = static_cast<int>(n);
    } else if (arg == "--stop-after") {
      if (!value(v) || !ParseLong(v, 0, 1000, n)) return fail("bad --stop-after");
      o.stopAfterFrames = static_cast<int>(n);
    } else if (arg == "--first-frame-delay-ms") {
      if (!value(v) || !ParseLong(v, 0, 600000, n)) return fail("bad --first-frame-delay-ms");
      o.firstFrameDelayMs = static_cast<int>(n);
    } else if (arg == "--max-connections") {
      if (!value(v) || !ParseLong(v, 1, 100000, n)) return fail("bad --max-connections");
      o.maxConnections = static_cast<int>(n);
    } else {
      error = "unknown option " + std::string(arg);
      return std::nullopt;
    }
  }

  if (!ports.empty()) o.cameras = static_cast<int>(ports.size());
  o.camera.resize(static_cast<size_t>(o.cameras));
  for (int i = 0; i < o.cameras; ++i) {
    if (!ports.empty()) {
      o.camera[static_cast<size_t>(i)].port = ports[static_cast<size_t>(i)];
    } else if (basePort > 0) {
      if (basePort + i > 65535) {
        error = "ports run past 65535";
        return std::nullopt;
      }
      o.camera[static_cast<size_t>(i)].port = static_cast<uint16_t>(basePort + i);
    }
  }
  if (!keyFile.empty() && !ReadKeyFile(keyFile, o.key, error)) return std::nullopt;

  std::vector<int> list;
  for (const std::string& item : encryptLists) {
    if (!ParseCameraList(item, o.cameras, list)) {
      error = "bad --encrypt list " + item;
      return std::nullopt;
    }
    for (int c : list) o.camera[static_cast<size_t>(c)].encrypt = true;
  }
  for (const std::string& item : motionItems) {
    const size_t colon = item.rfind(':');
    const std::string form = colon == std::string::npos ? "" : item.substr(colon + 1);
    MotionForm m = MotionForm::kNone;
    if (form == "short") m = MotionForm::kShort;
    else if (form == "tagged") m = MotionForm::kTagged;
    else if (form != "none") {
      error = "bad --motion " + item + " (LIST:short, LIST:tagged or LIST:none)";
      return std::nullopt;
    }
    if (!ParseCameraList(std::string_view(item).substr(0, colon), o.cameras, list)) {
      error = "bad --motion camera list " + item;
      return std::nullopt;
    }
    for (int c : list) o.camera[static_cast<size_t>(c)].motion = m;
  }
  for (const std::string& item : padItems) {
    const size_t colon = item.rfind(':');
    if (colon != std::string::npos) {
      long bytes = 0;
      if (!ParseLong(std::string_view(item).substr(colon + 1), 1, 65536, bytes)) {
        error = "bad --pad " + item + " (LIST or LIST:N, N from 1 to 65536)";
        return std::nullopt;
      }
      o.padBytes = static_cast<int>(bytes);
    }
    if (!ParseCameraList(std::string_view(item).substr(0, colon), o.cameras, list)) {
      error = "bad --pad camera list " + item;
      return std::nullopt;
    }
    for (int c : list) o.camera[static_cast<size_t>(c)].pad = true;
  }
  for (const std::string& item : exifLists) {
    if (!ParseCameraList(item, o.cameras, list)) {
      error = "bad --exif list " + item;
      return std::nullopt;
    }
    for (int c : list) o.camera[static_cast<size_t>(c)].exif = true;
  }
  for (const std::string& item : tlsLists) {
    if (!ParseCameraList(item, o.cameras, list)) {
      error = "bad --tls list " + item;
      return std::nullopt;
    }
    for (int c : list) o.camera[static_cast<size_t>(c)].tls = true;
  }
  if (o.tlsCert.empty() != o.tlsKey.empty()) {
    error = "--tls-cert and --tls-key go together";
    return std::nullopt;
  }
  if (o.auth != AuthScheme::kBasic && o.user.empty() && o.password.empty()) {
    error = "--digest needs --user or --password";
    return std::nullopt;
  }
  for (const std::string& item : faultItems) {
    const size_t colon = item.rfind(':');
    const auto fault = colon == std::string::npos ? std::nullopt : FaultFromName(item.substr(colon + 1));
    if (!fault) {
      error = "bad --fault " + item + " (LIST:NAME)";
      return std::nullopt;
    }
    if (!ParseCameraList(std::string_view(item).substr(0, colon), o.cameras, list)) {
      error = "bad --fault camera list " + item;
      return std::nullopt;
    }
    for (int c : list) o.camera[static_cast<size_t>(c)].fault = *fault;
  }
  return o;
}

}  // namespace camsim
