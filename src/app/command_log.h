// The terminal side of the command-line commands that run beside an instance (export,
// backup): their progress line, their messages, and the log lines their code writes.
//
// Threads: a console may be written from any thread (a command's own thread, a backup
// thread, a thread of the disc library that logs); its lock keeps every line whole and
// keeps the progress line's state. The log's echo calls the console outside the log
// lock, and the console never logs, so the two locks are never held together.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "app/log.h"

namespace velmora {

// One command's standard error. The progress line is redrawn in place ("\r" and the
// text, no line end); any other line written while it is shown starts on a new line, so
// a status or log line is never glued to the progress. A line that only repeats the
// line written just before it is dropped (the same failure is logged where it is found
// and where the export ends).
class CommandConsole {
 public:
  explicit CommandConsole(std::FILE* file) : file_(file) {}
  CommandConsole(const CommandConsole&) = delete;
  CommandConsole& operator=(const CommandConsole&) = delete;

  void Progress(const std::string& text);
  // Writes the text and a line end.
  void Line(const std::string& text);
  // Ends a progress line still shown; nothing is written after it (the file may be
  // closed by the caller once the command has returned).
  void Close();

 private:
  std::mutex lock_;
  std::FILE* file_;              // guarded by lock_; null once closed
  bool progressShown_ = false;   // guarded by lock_: the progress line has no line end yet
  std::string lastLine_;         // guarded by lock_: the line written last (empty after a progress)
};

// While it lives, every log line also goes to the command's console as
// "<command>: <message>" (the message escaped as in the log file). The echo that was set
// before comes back when it ends, and the console is closed.
class CommandLogScope {
 public:
  CommandLogScope(std::FILE* err, std::string command);
  ~CommandLogScope();
  CommandLogScope(const CommandLogScope&) = delete;
  CommandLogScope& operator=(const CommandLogScope&) = delete;

  CommandConsole& console() { return *console_; }
  // "<command>: <text>" on a line of its own, the text escaped as the log's lines are
  // (it may hold a path or a name).
  void Line(const std::string& text) { console_->Line(command_ + ": " + EscapeLogText(text)); }

 private:
  std::shared_ptr<CommandConsole> console_;  // also held by the echo while a line is written
  std::string command_;
  LogEcho previous_;
};

// The log file of the instance whose folders the commands use: "Velmora NVR.log" in
// the application-data folder, when that folder exists (a command never makes it). It
// becomes the log path, and is returned; "" when there is none (the log path is left
// as it is, and log lines reach the console only).
std::string UseInstanceLog();

}  // namespace velmora
