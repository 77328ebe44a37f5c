// The log file: one line per call, "[%a %b %d %H:%M:%S %Y]: " + message + "\r\n",
// opened and closed per line so other programs may move or read it between lines.
//
// Messages carry names from outside (folders on a medium, device files, requests): the
// writer escapes every message (EscapeLogText), so no text can end its line, forge the
// next one or send control sequences to a terminal that shows the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace velmora {

// The path the writer appends to. Lines written while it is empty are dropped.
void SetLogPath(const std::string& path);
std::string GetLogPath();

// Appends one line. Never fails visibly: a line that cannot be written is lost.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A message as the log writes it: one line of valid UTF-8 without control characters.
// A backslash is doubled; CR, LF and TAB become "\r", "\n" and "\t"; any other control
// character (C0, DEL, and the C1 range U+0080-U+009F), each byte that is not part of
// valid UTF-8, the line and paragraph separators and the bidirectional controls (U+200E,
// U+200F, U+202A-U+202E, U+2066-U+2069, which break or reorder a line on screen) become
// "\xNN" per byte. Everything else, non-ASCII letters included, is kept.
std::string EscapeLogText(std::string_view text);

// A second place every log line goes to (a command's standard error): called with the
// escaped message, without the time stamp, on the logging thread and outside the log
// lock; also while no log path is set. Empty: none. Returns the echo it replaces.
using LogEcho = std::function<void(const std::string& message)>;
LogEcho SetLogEcho(LogEcho echo);

// Under a service manager every line goes to the journal as well, with a priority read
// from the line (JournalPriority); with the file off (the logJournalOnly setting) the
// journal is the only place. Set by the start-up once the settings are read.
void SetLogJournal(bool journal, bool file);
// The journal priority of a message: error for a failed operation ("... failed", an
// out-of-memory report), warning for refusals and lost data, debug for the per-device
// debug lines, info for the rest.
int JournalPriority(std::string_view message);

// "%s failed" with the operation name, plus " (%d: %s)" with errno and its text
// when errno is not 0. errno is read before anything else happens.
void LogLastError(const char* operation);
// The same, for the recorded-data readers (text cut at the first line feed).
void LogLastErrorRead(const char* operation);
// The same text, posted to the main thread as a status message instead of logged; with
// log false the main thread only shows it.
void StatusLastError(const char* operation, bool log = true);
// Like LogLastError for the HTTP library: its own error text first (curlText, may be
// null), then the system text for code; code 0 appends " (0)".
void LogInternetError(const char* operation, unsigned code, const char* curlText = nullptr);

// The text LogLastError would write for an error code (exposed for the status form and tests).
std::string LastErrorText(const char* operation, int code);

// Per-device debug line "IOCP[%u]: %s": written only when debugLevel >= level
// (both compared as signed 32-bit numbers).
void LogDeviceLevel(int level, int32_t debugLevel, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes bytes as lines of at most 16: "%p:" then " %02x" per byte.
void LogHexDump(const void* data, std::size_t length);

// "%s: E_OUTOFMEMORY" then the process memory counters read from /proc/self.
void LogMemoryReport(const char* operation);

// Moves the log to its ".old" name, replacing an older one. A missing log is fine.
void ClearLog();

// Cuts the log to its last `sizeMaxMB` megabytes (the logSizeMax setting), starting at a
// line boundary. Returns true when the log was replaced by a shorter copy.
bool TrimLog(unsigned sizeMaxMB);
// The cut on its own: keeps the last `limit` bytes of the file at path, from the first
// line start among them (all of them when they hold no line feed), through path + ".tmp".
// Returns true when the file was replaced; sizes are reported when it was.
bool TrimFile(const std::string& path, uint32_t limit, uint64_t& oldSize, uint64_t& newSize);

// The steady milliseconds of the clock in effect, wrapping at 32 bits like the platform
// tick count.
uint32_t TickCount();

// Whether ProfileTimer writes its lines (the logProfile setting): set by the start-up
// with the log's path, off until then.
void SetLogProfile(bool on);

// Logs "PROFILER: %lums; %s" when it ends and SetLogProfile turned profiling on.
class ProfileTimer {
 public:
  explicit ProfileTimer(std::string label);
  ~ProfileTimer();
  ProfileTimer(const ProfileTimer&) = delete;
  ProfileTimer& operator=(const ProfileTimer&) = delete;

 private:
  std::string label_;
  uint32_t startTick_;
};

}  // namespace velmora
