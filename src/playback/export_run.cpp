#include "playback/export_run.h"

#include <cstring>
#include <ctime>
#include <filesystem>

#include "app/settings.h"
#include "live/http_get.h"
#include "playback/export_pump.h"
#include "playback/export_writer.h"
#include "playback/playback_engine.h"
#include "playback/timeline.h"

namespace velmora {

namespace {

bool AllDigits(const std::string& text) {
  if (text.empty() || text.size() > 12) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// The device's name: the last component of the folder or of the URL's path.
std::string SourceName(std::string source) {
  while (source.size() > 1 && source.back() == '/') source.pop_back();
  const auto slash = source.find_last_of('/');
  std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
  return name.empty() ? std::string("export") : name;
}

}  // namespace

bool ParseExportTime(const std::string& text, int64_t& seconds) {
  if (AllDigits(text)) {
    seconds = std::stoll(text);
    return true;
  }
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second, &tail) != 6) {
    return false;
  }
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
      hour < 0 || minute < 0 || second < 0) {
    return false;
  }
  struct tm local {};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  const time_t t = mktime(&local);
  if (t == static_cast<time_t>(-1) || local.tm_mday != day) return false;  // 31 February and the like
  seconds = static_cast<int64_t>(t);
  return true;
}

const char* ExportCommandHelp() {
  return "Usage: velmora-nvr export [--jpeg] [--codec FOURCC] [--from TIME] [--to TIME]\n"
         "                          [--force] SOURCE OUTPUT\n"
         "\n"
         "Exports the recordings of one device to an AVI file, or with --jpeg to JPEG files.\n"
         "\n"
         "  SOURCE          a device's recordings folder, or a device URL of another\n"
         "                  instance (http://host:port/path/of/device)\n"
         "  OUTPUT          the AVI file (\".avi\" is appended when it has no extension), or\n"
         "                  with --jpeg the folder that receives a folder named after the\n"
         "                  device, holding one file per image named by its UTC time\n"
         "  --jpeg          write the recorded JPEG images as they are, one file each\n"
         "  --codec FOURCC  the AVI compressor: MJPG (default: the recorded JPEGs, not\n"
         "                  re-encoded), \"DIB \" (uncompressed), or a code the codec library\n"
         "                  can encode, such as H264 or FMP4\n"
         "  --from TIME     start of the range; TIME is \"YYYY-MM-DD HH:MM:SS\" in local time\n"
         "                  or seconds since 1970 (default: the first recorded image)\n"
         "  --to TIME       end of the range (default: the last recorded image)\n"
         "  --force         overwrite an existing AVI file\n"
         "  --help          show this text\n"
         "\n"
         "The frame rate follows the recording (images in the range over its length).\n"
         "Damaged recorded images are passed over and counted. The exit status is 0 only\n"
         "when every other image of the range was written.\n";
}

bool ParseExportArgs(const std::vector<std::string>& args, ExportCommandArgs& out, std::string& error) {
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& target) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      target = args[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      out.help = true;
      return true;
    } else if (a == "--jpeg") {
      out.jpeg = true;
    } else if (a == "--force") {
      out.force = true;
    } else if (a == "--codec") {
      if (!value(out.codec)) return false;
      if (out.codec.empty() || out.codec.size() > 4) {
        error = "a codec is one to four characters: '" + out.codec + "'";
        return false;
      }
      out.codec.resize(4, ' ');
    } else if (a == "--from" || a == "--to") {
      std::string text;
      if (!value(text)) return false;
      int64_t& target = a == "--from" ? out.from : out.to;
      if (!ParseExportTime(text, target)) {
        error = "not a time: '" + text + "' (use \"YYYY-MM-DD HH:MM:SS\" or seconds since 1970)";
        return false;
      }
      (a == "--from" ? out.hasFrom : out.hasTo) = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      error = "unknown option '" + a + "'";
      return false;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) {
    error = "SOURCE and OUTPUT are needed";
    return false;
  }
  out.source = positional[0];
  out.output = positional[1];
  if (out.hasFrom && out.hasTo && out.to < out.from) {
    error = "--to lies before --from";
    return false;
  }
  return true;
}

int ExportCommandMain(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                      const std::atomic<bool>* interrupted) {
  ExportCommandArgs a;
  std::string error;
  if (!ParseExportArgs(args, a, error)) {
    std::fprintf(err, "velmora-nvr export: %s (see velmora-nvr export --help)\n", error.c_str());
    return 2;
  }
  if (a.help) {
    std::fputs(ExportCommandHelp(), out);
    return 0;
  }
  const bool remote = IsRemoteSource(a.source);
  std::error_code ec;
  if (!remote && !std::filesystem::is_directory(a.source, ec)) {
    std::fprintf(err, "velmora-nvr export: no recordings folder '%s'\n", a.source.c_str());
    return 1;
  }
  // The HTTP client of another instance's recordings: opened here when nothing has yet
  // (the command runs on its own, without the program's start-up).
  if (remote && !http_client_is_open() && !http_client_open()) {
    std::fprintf(err, "velmora-nvr export: the HTTP client cannot be started\n");
    return 1;
  }
  CompressorChoice compressor;
  if (!a.jpeg && !FindCompressor(FourccFromText(a.codec), compressor)) {
    std::fprintf(err, "velmora-nvr export: no encoder for the codec '%s'\n", a.codec.c_str());
    return 2;
  }

  // A private engine on this thread: nothing is shown, no timer runs, no recorder's
  // files are touched.
  PlaybackEngine engine(ColumnCapacity(AvailablePhysicalMemory()));
  PlaybackHooks& hooks = engine.hooks();
  hooks.post = [](AppMessage) { return true; };
  hooks.show = [](int, std::unique_ptr<ImageHolder>, std::string) {};
  hooks.waitDeletePass = [](std::chrono::milliseconds) { return true; };
  hooks.closeAllRecordings = [] {};
  hooks.limitTimer = [](bool) {};
  engine.data().setStatusSink([err](const std::string& text) { std::fprintf(err, "velmora-nvr export: %s\n", text.c_str()); });
  ExportPump pump(engine);
  pump.Install();

  PlaybackView view;
  view.tile = 0;
  view.hasNode = true;
  view.name = SourceName(a.source);
  view.source = a.source;

  // The range: what was asked for, the rest from the recordings themselves (the whole
  // of it, not just the last 48 hours a playback shows first).
  FeedRange range;
  IndexEntry first, last;
  engine.data().setSources({a.source});
  const bool bounds = engine.data().ReadFeedBounds(0, first, last);
  if (!bounds && (!a.hasFrom || !a.hasTo)) {
    std::fprintf(err, "velmora-nvr export: no recorded images in '%s'\n", a.source.c_str());
    return 1;
  }
  range.startTime = a.hasFrom ? a.from : first.time;
  range.startMs = a.hasFrom ? 0 : first.milliseconds;
  range.endTime = a.hasTo ? a.to : last.time;
  range.endMs = a.hasTo ? 999 : last.milliseconds;
  if (range.startTime == 0) range.startTime = 1;  // 0 would mean "not known"
  if (range.endTime < range.startTime) {
    std::fprintf(err, "velmora-nvr export: no recorded images in the range\n");
    return 1;
  }
  PlayMsgNewFeed feed;
  feed.fullRange = false;
  feed.requested = range;
  feed.views.push_back(view);
  engine.NewFeed(feed);
  if (engine.timeline().pictures() == 0) {
    std::fprintf(err, "velmora-nvr export: no recorded images in the range\n");
    return 1;
  }

  ExportOptions options;
  options.jpegMode = a.jpeg;
  options.view = 0;
  options.compressor = compressor;
  options.quality = settings().aviQuality;
  options.keyFrameEvery = settings().aviKeyFrame;
  options.dataRateKBps = settings().aviDataRate;
  options.overwrite = a.force;
  options.rememberPath = false;
  ExportHooks exportHooks;
  int converted = 0;
  int shownPercent = -1;
  exportHooks.converted = [&converted](int n) { converted = n; };
  exportHooks.progress = [err, &converted, &shownPercent](int percent) {
    if (percent == shownPercent) return;  // one line update per percent
    shownPercent = percent;
    std::fprintf(err, "\rexporting: %3d%%, %d pictures", percent, converted);
    std::fflush(err);
  };
  ExportSession session(options, [&engine](PlaybackMessage m) { return engine.queue().post(std::move(m)); },
                        exportHooks);
  if (!session.Start(a.output)) {
    if (session.state() == ExportSession::State::kIdle) {
      std::fprintf(err, "velmora-nvr export: '%s' exists (use --force to overwrite it)\n",
                   ExportAviPath(a.output).c_str());
    } else {
      std::fprintf(err, "velmora-nvr export: %s\n", session.failureText().c_str());
    }
    return 1;
  }
  // Playback thread and export side in turn on this thread: the pump answers each
  // request with one step, the writer writes it and asks for the next.
  while (session.running()) {
    if (interrupted != nullptr && interrupted->load()) {
      session.Cancel(std::chrono::milliseconds(0));
      std::fprintf(err, "\nvelmora-nvr export: interrupted; %d pictures written to %s\n", session.picturesConverted(),
                   session.outputPath().c_str());
      return 1;
    }
    bool worked = false;
    while (engine.processOne()) worked = true;
    if (session.Drain() > 0) worked = true;
    if (!worked) {
      session.Cancel(std::chrono::milliseconds(0));
      std::fprintf(err, "\nvelmora-nvr export: the export stopped without an answer\n");
      return 1;
    }
  }
  if (session.state() != ExportSession::State::kCompleted) {
    std::fprintf(err, "\nvelmora-nvr export: %s\n", session.failureText().c_str());
    return 1;
  }
  std::fprintf(err, "\rexporting: 100%%, %d pictures\n%s %d pictures written to %s\n", session.picturesConverted(),
               kTextExportComplete, session.picturesConverted(), session.outputPath().c_str());
  if (session.recordsSkipped() > 0) {
    std::fprintf(err, "velmora-nvr export: %lld damaged recorded images were passed over\n",
                 static_cast<long long>(session.recordsSkipped()));
  }
  return 0;
}

}  // namespace velmora
