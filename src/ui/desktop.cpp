#include "ui/desktop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdlib>
#include <memory>
#include <string>

#include "app/application.h"
#include "app/log.h"
#include "app/settings.h"
#include "platform/signals.h"
#include "ui/core_events.h"
#include "ui/icons.h"
#include "ui/main_window.h"
#include "ui/tray_icon.h"
#include "ui/view_frame.h"

namespace velmora::ui {

namespace {

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

bool DisplayAvailable() {
  if (Set("DISPLAY") || Set("WAYLAND_DISPLAY")) return true;
  // Qt platforms that draw without a display server.
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (!platform) return false;
  const std::string name(platform);
  for (const char* p : {"offscreen", "minimal", "vnc", "linuxfb", "eglfs"}) {
    if (name.rfind(p, 0) == 0) return true;
  }
  return false;
}

namespace {

// The window's part of the start-up and shutdown steps: the core creates and destroys the
// window at their fixed places and asks it for what it shows (title, throughput, tiles,
// layout, tray icon, placement). The window and its CoreEvents are made when the core
// creates the main window; the events live on after the window is destroyed, until this
// object ends (after the application's shutdown).
class DesktopWindow final : public WindowPort {
 public:
  DesktopWindow(const platform::MountTableSource& mediaSource, PlaybackController& playback, DeviceTree& tree)
      : mediaSource_(mediaSource), playback_(playback), tree_(tree) {}
  void createWindow(Application& app) override {
    events_ = std::make_unique<CoreEvents>(&app, playback_, tree_, app.paths());
    window_ = std::make_unique<MainWindow>(&app, events_.get());
    window_->setMediaSource(&mediaSource_);
  }
  void setTitle() override {
    if (window_) window_->setWindowTitle(FrameTitle());
  }
  void leaveStillMode() override {
    if (window_ && window_->viewFrame()) window_->viewFrame()->leaveStillMode();
  }
  void showSavedView() override {
    if (window_) window_->refreshViewsForSelection();
  }
  void applyLayout() override {
    // An invalid stored layout is ignored (the frame keeps its own).
    if (window_ && window_->viewFrame())
      window_->viewFrame()->selectLayout(static_cast<int>(window_->viewFrame()->settings().viewMode));
  }
  void showTrayIcon(bool shown) override {
    if (window_ && window_->trayIcon()) window_->trayIcon()->setShown(shown);
  }
  void readWindowPlacement() override {
    if (window_) tree_.settings->windowPlacement = window_->placementRecord();
  }
  void destroyWindow() override { window_.reset(); }
  void periodic() override {
    if (events_) events_->periodic();
  }
  void showThroughput(const std::string& text) override {
    if (events_) events_->throughputText(QString::fromStdString(text));
  }
  void activate() override {
    if (window_) window_->bringToFront();
  }

  CoreEvents* events() { return events_.get(); }
  std::unique_ptr<MainWindow>& window() { return window_; }

 private:
  const platform::MountTableSource& mediaSource_;
  PlaybackController& playback_;
  DeviceTree& tree_;
  std::unique_ptr<CoreEvents> events_;
  std::unique_ptr<MainWindow> window_;
};

// SIGINT, SIGTERM and SIGHUP read from the signal descriptor on the GUI thread: each ends
// the program as Exit with Shift does, without a question. Null without a descriptor.
std::unique_ptr<QSocketNotifier> WatchShutdownSignals(int signalFd, QApplication& qapp,
                                                      std::unique_ptr<MainWindow>& window) {
  std::unique_ptr<QSocketNotifier> signalNotifier;
  if (signalFd >= 0) {
    signalNotifier = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
    QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &qapp, [signalFd, &window] {
      signalfd_siginfo info{};
      if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        Log("signal %u received, shutting down", info.ssi_signo);
        if (window) window->requestExit(true);  // as Exit with Shift: no question
      }
    });
  }
  return signalNotifier;
}

// For the end-to-end test: the view frame is written as a PNG image to the path in
// VELMORA_GRAB_VIEW_FRAME every second (through a temporary file, so a reader never sees
// half an image).
void StartViewGrabs(QTimer& grabTimer, QApplication& qapp, std::unique_ptr<MainWindow>& window) {
  if (const char* grabPath = std::getenv("VELMORA_GRAB_VIEW_FRAME"); grabPath && *grabPath) {
    const QString path = QString::fromLocal8Bit(grabPath);
    QObject::connect(&grabTimer, &QTimer::timeout, &qapp, [&window, path] {
      if (!window || !window->viewFrame()) return;
      QSaveFile file(path);
      if (file.open(QIODevice::WriteOnly) && window->viewFrame()->grab().toImage().save(&file, "PNG")) file.commit();
    });
    grabTimer.start(1000);
  }
}

}  // namespace

int RunDesktop(AppParts core, const platform::MountTableSource& mediaSource, PlaybackController& playback,
               DeviceTree& tree, int argc, char** argv) {
  const int signalFd = platform::ShutdownSignalDescriptor();
  signal(SIGPIPE, SIG_IGN);
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmora NVR"));
  QApplication::setDesktopFileName(QStringLiteral("velmora-nvr"));
  QApplication::setWindowIcon(ThemeIcon("camera-video", "velmora-nvr"));
  // Closing the window does not end the program by itself: Exit decides.
  QApplication::setQuitOnLastWindowClosed(false);

  DesktopWindow desktop(mediaSource, playback, tree);
  core.window = &desktop;
  Application app(core);

  switch (app.InitInstance(false)) {
    case Application::StartResult::kOtherInstance:
      return 0;
    case Application::StartResult::kFailed:
      std::fprintf(stderr, "velmora-nvr: %s\n", app.startError().c_str());
      return 1;
    case Application::StartResult::kRunning:
      break;
  }

  std::unique_ptr<MainWindow>& window = desktop.window();
  CoreEvents& events = *desktop.events();
  // exit(), not quit(): quit() would first close the window, which asks Exit again.
  QObject::connect(window.get(), &MainWindow::exitRequested, &qapp, [] { QCoreApplication::exit(0); });
  const std::unique_ptr<QSocketNotifier> signalNotifier = WatchShutdownSignals(signalFd, qapp, window);
  QTimer grabTimer;
  StartViewGrabs(grabTimer, qapp, window);

  window->showWithPlacement(events.settings().windowPlacement);
  events.start();
  const int status = qapp.exec();
  events.stop();
  grabTimer.stop();
  app.OnExit();
  app.ExitInstance();
  if (signalFd >= 0) close(signalFd);
  return status;
}

}  // namespace velmora::ui
