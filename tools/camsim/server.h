// The fake cameras: one loopback listening socket per camera, all served by one
// io_context. Connections write shared pre-built buffers, one write in flight each,
// with a time-out on every step.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frames.h"
#include "options.h"
#include "secure.h"

namespace camsim {

struct CameraStats {
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> bytes{0};
  std::atomic<int> active{0};
  // Authentication: 401 answers that asked for credentials, and requests that carried
  // an Authorization header before this camera had asked for one at all (a client that
  // sends its password unasked).
  std::atomic<uint64_t> challenges{0};
  std::atomic<uint64_t> unasked{0};
};

// The last clock setting a camera was given through admin.cgi?datetime.
struct ClockSetting {
  std::mutex lock;
  int posts = 0;      // guarded by lock
  std::string date;   // guarded by lock
  std::string time;   // guarded by lock
};

struct Camera {
  Camera(asio::io_context& io, int index, const CameraOptions& options)
      : index(index), options(options), acceptor(io), retry(io) {}

  const int index;
  const CameraOptions options;
  asio::ip::tcp::acceptor acceptor;
  asio::steady_timer retry;  // pause before accepting again after an accept error
  uint16_t port = 0;
  const FrameSet* frames = nullptr;
  std::atomic<uint64_t> nextFrame{0};
  std::atomic<uint64_t> handshakes{0};  // TLS connections accepted
  CameraStats stats;
  ClockSetting clock;
};

// A connection as the server sees it: something it can close at shutdown.
class Closable {
 public:
  virtual ~Closable() = default;
  virtual void CloseNow() = 0;
};

class Server {
 public:
  Server(asio::io_context& io, const Options& options, FrameLibrary& library);

  // Binds every camera to 127.0.0.1 and its port. False with error on failure.
  bool Listen(std::string& error);
  void Start();
  // Stops accepting (any thread; the io_context keeps running).
  void Stop();
  // After every thread has left io_context::run(): closes all connections and lets
  // their handlers finish, so nothing refers to a camera once the server is gone.
  void Shutdown();
  void Track(const std::shared_ptr<Closable>& connection);

  const Options& options() const { return options_; }
  FrameLibrary& library() { return library_; }
  const std::vector<std::unique_ptr<Camera>>& cameras() const { return cameras_; }
  std::string StatsLine(const Camera& camera) const;
  const DigestAuth& digest() const { return digest_; }
  const TlsContexts& tls() const { return tls_; }

 private:
  void Accept(Camera& camera);

  asio::io_context& io_;
  const Options& options_;
  FrameLibrary& library_;
  DigestAuth digest_;
  TlsContexts tls_;
  std::vector<std::unique_ptr<Camera>> cameras_;
  std::atomic<bool> stopped_{false};
  std::mutex trackLock_;
  std::vector<std::weak_ptr<Closable>> tracked_;  // guarded by trackLock_
};

}  // namespace camsim
