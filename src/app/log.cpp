#include "app/log.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "app/helpers.h"
#include "app/messages.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/service_manager.h"

namespace velmora {
namespace {

// The log lock: serialises writers so lines never interleave. Created on first use
// and never destroyed, so threads that log during shutdown still find it.
std::mutex& logLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::mutex& pathLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::string& logPathStore() {
  static auto* path = new std::string;
  return *path;
}

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

// The echo of every line (a command's terminal). Held by shared_ptr so a line being
// echoed on one thread keeps it alive while another thread replaces it.
std::mutex& echoLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::shared_ptr<const LogEcho>& echoStore() {
  static auto* echo = new std::shared_ptr<const LogEcho>;
  return *echo;
}

// Code points that are shown escaped although they are valid text: the C1 controls, the
// line and paragraph separators and the bidirectional controls.
bool HiddenCodePoint(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

void AppendByteEscape(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

// "[%a %b %d %H:%M:%S %Y]: " in local time; empty when the time cannot be formatted.
std::string TimePrefix() {
  std::time_t now = platform::WallSeconds();
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return std::string();
  char buffer[128];
  size_t n = std::strftime(buffer, sizeof buffer, "[%a %b %d %H:%M:%S %Y]: ", &local);
  return std::string(buffer, n);
}

std::atomic<bool> journalOn{false};
std::atomic<bool> fileOn{true};

void WriteLine(const std::string& text) {
  const std::string message = EscapeLogText(text);
  if (journalOn.load(std::memory_order_relaxed)) {
    platform::SendToJournal(JournalPriority(message), message);
  }
  std::shared_ptr<const LogEcho> echo;
  {
    std::lock_guard<std::mutex> guard(echoLock());
    echo = echoStore();
  }
  if (echo && *echo) (*echo)(message);
  std::string path = GetLogPath();
  if (path.empty() || !fileOn.load(std::memory_order_relaxed)) return;
  std::string line = TimePrefix();
  line += message;
  line += "\r\n";
  std::lock_guard<std::mutex> guard(logLock());
  // The log names cameras, users and addresses: it is the owner's alone. A log left
  // readable by an earlier version is made private by the first line written to it.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  platform::MakePrivate(fd);
  // One write call, so concurrent readers never see half a line from us.
  ssize_t written = ::write(fd, line.data(), line.size());
  (void)written;
  ::close(fd);
}

// System text for an error code, cut at the first carriage return or line feed.
std::string SystemText(int code, bool cutAtCarriageReturn) {
  char buffer[256];
  const char* text = strerror_r(code, buffer, sizeof buffer);
  if (text == nullptr) return std::string();
  std::string result(text);
  if (result.rfind("Unknown error", 0) == 0) return std::string();
  if (cutAtCarriageReturn) {
    auto cr = result.find('\r');
    if (cr != std::string::npos) result.resize(cr);
  }
  auto lf = result.find('\n');
  if (lf != std::string::npos) result.resize(lf);
  return result;
}

std::string FailedText(const char* operation, int code, bool cutAtCarriageReturn) {
  std::string text = std::string(operation ? operation : "") + " failed";
  if (code != 0) {
    std::string system = SystemText(code, cutAtCarriageReturn);
    if (!system.empty()) {
      char number[32];
      std::snprintf(number, sizeof number, " (%d: ", code);
      text += number;
      text += system;
      text += ")";
    }
  }
  return text;
}

}  // namespace

std::string EscapeLogText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c >= 0x20 && c < 0x7F) {
      if (c == '\\') out += '\\';
      out += static_cast<char>(c);
      ++at;
      continue;
    }
    if (c < 0x80) {
      switch (c) {
        case '\r':
          out += "\\r";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          AppendByteEscape(out, c);
      }
      ++at;
      continue;
    }
    char32_t codePoint = 0;
    const std::size_t length = DecodeUtf8(text, at, codePoint);
    if (length == 0) {
      AppendByteEscape(out, c);  // not UTF-8: this byte alone, then go on with the next
      ++at;
      continue;
    }
    for (std::size_t i = 0; i < length; ++i) {
      if (HiddenCodePoint(codePoint)) {
        AppendByteEscape(out, static_cast<unsigned char>(text[at + i]));
      } else {
        out += text[at + i];
      }
    }
    at += length;
  }
  return out;
}

void SetLogJournal(bool journal, bool file) {
  journalOn.store(journal, std::memory_order_relaxed);
  // Without the journal the file is the only record: it is never turned off alone.
  fileOn.store(file || !journal, std::memory_order_relaxed);
}

int JournalPriority(std::string_view message) {
  auto has = [message](std::string_view word) { return message.find(word) != std::string_view::npos; };
  if (message.rfind("IOCP[", 0) == 0) return platform::kJournalDebug;
  if (has(" failed") || has("E_OUTOFMEMORY")) return platform::kJournalError;
  if (has("cannot ") || has("refused") || has("invalid ") || has("error") || has("lost") || has("skipped") ||
      has("HTTP 401") || has("HTTP 503"))
    return platform::kJournalWarning;
  return platform::kJournalInfo;
}

LogEcho SetLogEcho(LogEcho echo) {
  auto next = echo ? std::make_shared<const LogEcho>(std::move(echo)) : nullptr;
  std::shared_ptr<const LogEcho> previous;
  {
    std::lock_guard<std::mutex> guard(echoLock());
    previous = std::exchange(echoStore(), std::move(next));
  }
  return previous ? *previous : LogEcho();
}

void SetLogPath(const std::string& path) {
  std::lock_guard<std::mutex> guard(pathLock());
  logPathStore() = path;
}

std::string GetLogPath() {
  std::lock_guard<std::mutex> guard(pathLock());
  return logPathStore();
}

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatV(format, args);
  va_end(args);
  WriteLine(message);
}

std::string LastErrorText(const char* operation, int code) {
  return FailedText(operation, code, true);
}

void LogLastError(const char* operation) {
  int code = errno;
  WriteLine(FailedText(operation, code, true));
}

void LogLastErrorRead(const char* operation) {
  int code = errno;
  WriteLine(FailedText(operation, code, false));
}

void StatusLastError(const char* operation, bool log) {
  int code = errno;
  PostStatus(FailedText(operation, code, false), log);
}

void LogInternetError(const char* operation, unsigned code, const char* curlText) {
  std::string text = std::string(operation ? operation : "") + " failed";
  if (code == 0) {
    text += " (0)";
  } else {
    std::string detail = curlText ? std::string(curlText) : SystemText(static_cast<int>(code), false);
    auto lf = detail.find('\n');
    if (lf != std::string::npos) detail.resize(lf);
    if (!detail.empty()) {
      char number[32];
      std::snprintf(number, sizeof number, " (%u: ", code);
      text += number;
      text += detail;
      text += ")";
    }
  }
  WriteLine(text);
}

void LogDeviceLevel(int level, int32_t debugLevel, const char* format, ...) {
  if (static_cast<int32_t>(debugLevel) < static_cast<int32_t>(level)) return;
  va_list args;
  va_start(args, format);
  std::string message = FormatV(format, args);
  va_end(args);
  char prefix[48];
  std::snprintf(prefix, sizeof prefix, "IOCP[%u]: ", static_cast<unsigned>(::syscall(SYS_gettid)));
  WriteLine(prefix + message);
}

void LogHexDump(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t offset = 0; offset < length; offset += 16) {
    char line[16 * 3 + 32];
    int n = std::snprintf(line, sizeof line, "%p:", static_cast<const void*>(bytes + offset));
    for (std::size_t i = offset; i < length && i < offset + 16; ++i) {
      n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %02x", bytes[i]);
    }
    WriteLine(std::string(line, static_cast<size_t>(n)));
  }
}

void LogMemoryReport(const char* operation) {
  Log("%s: E_OUTOFMEMORY", operation);
  // The Linux counters closest to each of the report's labels.
  unsigned long minorFaults = 0, majorFaults = 0;
  {
    std::ifstream stat("/proc/self/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = content.rfind(')');
    if (close != std::string::npos) {
      std::vector<std::string> fields;
      std::string field;
      for (size_t i = close + 2; i <= content.size(); ++i) {
        if (i == content.size() || content[i] == ' ') {
          fields.push_back(field);
          field.clear();
        } else {
          field += content[i];
        }
      }
      // Fields after the name: state(0) ... minflt(7) cminflt(8) majflt(9).
      if (fields.size() > 9) {
        minorFaults = std::strtoul(fields[7].c_str(), nullptr, 10);
        majorFaults = std::strtoul(fields[9].c_str(), nullptr, 10);
      }
    }
  }
  auto statusValue = [](const char* label) -> unsigned long {
    std::ifstream status("/proc/self/status");
    std::string line;
    size_t labelLength = std::strlen(label);
    while (std::getline(status, line)) {
      if (line.compare(0, labelLength, label) == 0 && line.size() > labelLength &&
          line[labelLength] == ':') {
        return std::strtoul(line.c_str() + labelLength + 1, nullptr, 10) * 1024ul;
      }
    }
    return 0;
  };
  Log("PageFaultCount=%lu", minorFaults + majorFaults);
  Log("PeakWorkingSetSize=%lu", statusValue("VmHWM"));
  Log("WorkingSetSize=%lu", statusValue("VmRSS"));
  Log("QuotaPeakPagedPoolUsage=%lu", 0ul);
  Log("QuotaPagedPoolUsage=%lu", 0ul);
  Log("QuotaPeakNonPagedPoolUsage=%lu", 0ul);
  Log("QuotaNonPagedPoolUsage=%lu", statusValue("VmPTE"));
  Log("PagefileUsage=%lu", statusValue("VmData"));
  Log("PeakPagefileUsage=%lu", statusValue("VmPeak"));
  Log("PrivateUsage=%lu", statusValue("RssAnon"));
}

void ClearLog() {
  std::string path = GetLogPath();
  if (path.empty()) return;
  std::string old = path + ".old";
  if (::rename(path.c_str(), old.c_str()) != 0) {
    if (errno != ENOENT) LogLastError("MoveFileEx");
    return;
  }
  platform::MakePrivate(old);
}

bool TrimFile(const std::string& path, uint32_t limit, uint64_t& oldSize, uint64_t& newSize) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || static_cast<uint64_t>(info.st_size) <= limit) {
    ::close(fd);
    return false;
  }
  oldSize = static_cast<uint64_t>(info.st_size);
  newSize = 0;
  std::string tempPath = path + ".tmp";
  int out = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) {
    ::close(fd);
    return false;
  }
  // The cut copy replaces the log: private like it, also when the name was taken before.
  if (!platform::MakePrivate(out)) {
    ::close(out);
    ::close(fd);
    ::unlink(tempPath.c_str());
    return false;
  }
  void* mapped = ::mmap(nullptr, oldSize, PROT_READ, MAP_SHARED, fd, 0);
  if (mapped != MAP_FAILED) {
    const char* base = static_cast<const char*>(mapped);
    const char* tail = base + (oldSize - limit);
    const char* end = base + oldSize;
    const void* lf = limit ? std::memchr(tail, '\n', limit) : nullptr;
    const char* keep = lf ? static_cast<const char*>(lf) + 1 : tail;
    size_t remaining = static_cast<size_t>(end - keep);
    bool ok = true;
    while (remaining > 0) {
      ssize_t n = ::write(out, keep, remaining);
      if (n < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      keep += n;
      remaining -= static_cast<size_t>(n);
    }
    ::munmap(mapped, oldSize);
    struct stat outInfo {};
    if (ok && ::fstat(out, &outInfo) == 0) newSize = static_cast<uint64_t>(outInfo.st_size);
  }
  ::close(out);
  ::close(fd);
  if (newSize > 0 && ::rename(tempPath.c_str(), path.c_str()) == 0) return true;
  ::unlink(tempPath.c_str());
  return false;
}

bool TrimLog(unsigned sizeMaxMB) {
  Log("trimming log file");
  std::string path = GetLogPath();
  if (path.empty()) return false;
  const uint32_t limit = static_cast<uint32_t>(sizeMaxMB) << 20;
  uint64_t oldSize = 0, newSize = 0;
  if (!TrimFile(path, limit, oldSize, newSize)) return false;
  Log("old size=%u, new size=%u", static_cast<unsigned>(oldSize), static_cast<unsigned>(newSize));
  return true;
}

namespace {

// Whether ProfileTimer writes; read by any thread that times a step.
std::atomic<bool>& profileOn() {
  static std::atomic<bool> on{false};
  return on;
}

}  // namespace

void SetLogProfile(bool on) { profileOn().store(on, std::memory_order_relaxed); }

uint32_t TickCount() { return static_cast<uint32_t>(platform::SteadyMs()); }

ProfileTimer::ProfileTimer(std::string label) : label_(std::move(label)), startTick_(TickCount()) {}

ProfileTimer::~ProfileTimer() {
  if (!profileOn().load(std::memory_order_relaxed)) return;
  unsigned long elapsed = static_cast<uint32_t>(TickCount() - startTick_);
  Log("PROFILER: %lums; %s", elapsed, label_.c_str());
}

}  // namespace velmora
