#include "playback/export_run.h"

#include <cstring>
#include <ctime>
#include <filesystem>

#include "app/command_log.h"
#include "app/command_options.h"
#include "app/log.h"
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

// The command's progress line: one update per percent, with the pictures converted so far.
class ProgressLine final : public ExportListener {
 public:
  explicit ProgressLine(CommandConsole& console) : console_(console) {}

  void OnExportReport(ExportReport& report) override {
    if (const auto* count = std::get_if<ExportConvertedReport>(&report)) {
      converted_ = count->count;
    } else if (const auto* progress = std::get_if<ExportProgressReport>(&report)) {
      if (progress->percent == shownPercent_) return;
      shownPercent_ = progress->percent;
      console_.Progress(Text(shownPercent_, converted_));
    }
  }

  // The line at 100 % for an export that ended before it showed that.
  void Complete(int pictures) {
    if (shownPercent_ != 100) console_.Progress(Text(100, pictures));
  }

 private:
  static std::string Text(int percent, int pictures) {
    char text[64];
    std::snprintf(text, sizeof text, "exporting: %3d%%, %d pictures", percent, pictures);
    return text;
  }

  CommandConsole& console_;
  int converted_ = 0;
  int shownPercent_ = -1;
};

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
         "Damaged recorded images are passed over and counted. An image that cannot be\n"
         "read (the source stops answering, a read error) ends the export, naming its\n"
         "recorded time. The exit status is 0 only when every other image of the range\n"
         "was written. Log lines (retries, failures) go to standard error, and to the\n"
         "log of the instance whose application-data folder exists.\n";
}

bool ParseExportArgs(const std::vector<std::string>& args, ExportCommandArgs& out, std::string& error) {
  // A time option stores its value and notes that it was given.
  auto time = [](int64_t& target, bool& given) {
    return [&target, &given](const std::string& text, std::string& why) {
      if (!ParseExportTime(text, target)) {
        why = "not a time: '" + text + "' (use \"YYYY-MM-DD HH:MM:SS\" or seconds since 1970)";
        return false;
      }
      given = true;
      return true;
    };
  };
  CommandOptions options;
  options.Flag("--jpeg", out.jpeg)
      .Flag("--force", out.force)
      .Value("--codec",
             [&out](const std::string& text, std::string& why) {
               if (text.empty() || text.size() > 4) {
                 why = "a codec is one to four characters: '" + text + "'";
                 return false;
               }
               out.codec = text;
               out.codec.resize(4, ' ');
               return true;
             })
      .Value("--from", time(out.from, out.hasFrom))
      .Value("--to", time(out.to, out.hasTo));
  std::vector<std::string> positional;
  if (!options.Parse(args, positional, out.help, error)) return false;
  if (out.help) return true;
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

namespace {

// The command's checks before anything is read: the source exists (a folder) or the HTTP
// client can reach it (a URL), and the codec has an encoder. 0 when all hold, else the
// exit status, the reason logged.
int CheckExportCommand(const ExportCommandArgs& a, CommandLogScope& log, CompressorChoice& compressor) {
  const bool remote = IsRemoteSource(a.source);
  std::error_code ec;
  if (!remote && !std::filesystem::is_directory(a.source, ec)) {
    log.Line("no recordings folder '" + a.source + "'");
    return 1;
  }
  // The HTTP client of another instance's recordings: opened here when nothing has yet
  // (the command runs on its own, without the program's start-up).
  if (remote && !http_client_is_open() && !http_client_open()) {
    log.Line("the HTTP client cannot be started");
    return 1;
  }
  if (!a.jpeg && !FindCompressor(FourccFromText(a.codec), compressor)) {
    log.Line("no encoder for the codec '" + a.codec + "'");
    return 2;
  }
  return 0;
}

// Feeds the engine the one device over the export's range: what was asked for, the rest
// from the recordings themselves (the whole of it, not just the last 48 hours a playback
// shows first). False, the reason logged, when the range holds no recorded image.
bool FeedExportRange(PlaybackEngine& engine, const ExportCommandArgs& a, CommandLogScope& log) {
  PlaybackView view;
  view.tile = 0;
  view.hasNode = true;
  view.name = SourceName(a.source);
  view.source = a.source;

  FeedRange range;
  IndexEntry first, last;
  engine.data().setSources({a.source});
  const bool bounds = engine.data().ReadFeedBounds(0, first, last);
  if (!bounds && (!a.hasFrom || !a.hasTo)) {
    log.Line("no recorded images in '" + a.source + "'");
    return false;
  }
  range.startTime = a.hasFrom ? a.from : first.time;
  range.startMs = a.hasFrom ? 0 : first.milliseconds;
  range.endTime = a.hasTo ? a.to : last.time;
  range.endMs = a.hasTo ? 999 : last.milliseconds;
  if (range.startTime == 0) range.startTime = 1;  // 0 would mean "not known"
  if (range.endTime < range.startTime) {
    log.Line("no recorded images in the range");
    return false;
  }
  PlayMsgNewFeed feed;
  feed.fullRange = false;
  feed.requested = range;
  feed.views.push_back(view);
  engine.NewFeed(feed);
  if (engine.timeline().pictures() == 0) {
    log.Line("no recorded images in the range");
    return false;
  }
  return true;
}

// The export's options: the command's choices, the compressor settings of the instance.
ExportOptions CommandExportOptions(const ExportCommandArgs& a, const CompressorChoice& compressor) {
  ExportOptions options;
  options.jpegMode = a.jpeg;
  options.view = 0;
  options.compressor = compressor;
  // The command reads no settings file: the compressor's defaults hold.
  const Settings defaults;
  options.quality = defaults.aviQuality;
  options.keyFrameEvery = defaults.aviKeyFrame;
  options.dataRateKBps = defaults.aviDataRate;
  options.overwrite = a.force;
  options.rememberPath = false;
  return options;
}

// Runs a started export to its end: the playback thread and the export side in turn on
// this thread, the pump answering each request with one step, the writer writing it and
// asking for the next. False, the reason logged, when it was interrupted or stalled.
bool RunExportSteps(ExportSession& session, PlaybackEngine& engine, const std::atomic<bool>* interrupted,
                    CommandLogScope& log) {
  while (session.running()) {
    if (interrupted != nullptr && interrupted->load()) {
      session.Cancel(std::chrono::milliseconds(0));
      log.Line("interrupted; " + std::to_string(session.picturesConverted()) + " pictures written to " +
               session.outputPath());
      return false;
    }
    bool worked = false;
    while (engine.processOne()) worked = true;
    if (session.Drain() > 0) worked = true;
    if (!worked) {
      session.Cancel(std::chrono::milliseconds(0));
      log.Line("the export stopped without an answer");
      return false;
    }
  }
  return true;
}

// The closing report of an ended export and the command's exit status.
int ReportExportEnd(const ExportSession& session, ProgressLine& progressLine, CommandLogScope& log) {
  if (session.state() != ExportSession::State::kCompleted) {
    // The failure was logged (and so shown) where it was found; said again only when
    // something came between.
    log.Line(session.failureText());
    log.Line("failed; " + std::to_string(session.picturesConverted()) + " pictures written to " +
             session.outputPath());
    return 1;
  }
  progressLine.Complete(session.picturesConverted());
  log.console().Line(std::string(kTextExportComplete) + " " + std::to_string(session.picturesConverted()) +
                     " pictures written to " + EscapeLogText(session.outputPath()));
  if (session.recordsSkipped() > 0) {
    log.Line(std::to_string(session.recordsSkipped()) + " damaged recorded images were passed over");
  }
  return 0;
}

}  // namespace

int ExportCommandMain(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                      const std::atomic<bool>* interrupted) {
  // What the export's code logs (the reader's retries, its failures) is shown too, each
  // line apart from the progress line.
  CommandLogScope log(err, "velmora-nvr export");
  ExportCommandArgs a;
  std::string error;
  if (!ParseExportArgs(args, a, error)) {
    log.Line(error + " (see velmora-nvr export --help)");
    return 2;
  }
  if (a.help) {
    std::fputs(ExportCommandHelp(), out);
    return 0;
  }
  CompressorChoice compressor;
  if (const int status = CheckExportCommand(a, log, compressor); status != 0) return status;

  // A private engine on this thread: nothing is shown, no timer runs, no recorder's files
  // are touched; the readers' status texts are logged, as the program logs its status line.
  SilentPlaybackOutput silent;
  PlaybackEngine engine(ColumnCapacity(AvailablePhysicalMemory()), nullptr, &silent);
  engine.data().setStatusSink([](const std::string& text) { Log("%s", text.c_str()); });
  ExportPump pump(engine);
  pump.Install();
  if (!FeedExportRange(engine, a, log)) return 1;

  ProgressLine progressLine(log.console());
  ExportSession session(CommandExportOptions(a, compressor),
                        [&engine](PlaybackMessage m) { return engine.queue().post(std::move(m)); }, &progressLine);
  if (!session.Start(a.output)) {
    if (session.state() == ExportSession::State::kIdle) {
      log.Line("'" + ExportAviPath(a.output) + "' exists (use --force to overwrite it)");
    } else {
      log.Line(session.failureText());
    }
    return 1;
  }
  if (!RunExportSteps(session, engine, interrupted, log)) return 1;
  return ReportExportEnd(session, progressLine, log);
}

}  // namespace velmora
