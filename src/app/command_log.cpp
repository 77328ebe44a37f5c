#include "app/command_log.h"

#include <utility>

#include "app/application.h"
#include "app/paths.h"
#include "platform/files.h"

namespace velmora {

void CommandConsole::Progress(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  if (file_ == nullptr) return;
  std::fputc('\r', file_);
  std::fputs(text.c_str(), file_);
  std::fflush(file_);
  progressShown_ = true;
  lastLine_.clear();
}

void CommandConsole::Line(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  if (file_ == nullptr) return;
  if (!progressShown_ && !lastLine_.empty() && text == lastLine_) return;
  std::string line;
  line.reserve(text.size() + 2);
  if (progressShown_) line += '\n';
  line += text;
  line += '\n';
  // One write, so a line from another thread never lands inside this one.
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
  progressShown_ = false;
  lastLine_ = text;
}

void CommandConsole::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (file_ == nullptr) return;
  if (progressShown_) std::fputc('\n', file_);
  std::fflush(file_);
  progressShown_ = false;
  file_ = nullptr;
}

CommandLogScope::CommandLogScope(std::FILE* err, std::string command)
    : console_(std::make_shared<CommandConsole>(err)), command_(std::move(command)) {
  previous_ = SetLogEcho([console = console_, prefix = command_ + ": "](const std::string& message) {
    console->Line(prefix + message);
  });
}

CommandLogScope::~CommandLogScope() {
  SetLogEcho(std::move(previous_));
  // A thread still inside the echo holds the console; closed, it writes nothing more.
  console_->Close();
}

std::string UseInstanceLog() {
  const std::string folder = Application::AppDataFolder(false);
  if (folder.empty() || !platform::IsDirectory(folder)) return std::string();
  const std::string path = WithSlash(folder) + "Velmora NVR.log";
  SetLogPath(path);
  return path;
}

}  // namespace velmora
