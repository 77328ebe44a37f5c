// The embedded HTTP/1.0 server: device listing, thumbnail page, each device's newest
// recorded image and the record-level requests other instances use to play back
// recordings remotely. One request per connection.
//
// Threads:
// - one I/O thread runs an Asio io_context: it accepts, reads the request (to the end
//   of its first line, or of the header block when authentication is on), writes the
//   reply and drains what the client still sends before closing. Every step has a
//   deadline, so a slow or silent client only costs a socket, never a thread.
// - a fixed pool of handler threads takes complete requests from a bounded queue and
//   builds the replies (tree listings, file reads). A complete request that finds the
//   queue full is answered "503 Service Unavailable" with "Retry-After: 1".
// - connection limits, so that slow clients cannot take the server offline: one client
//   address holds at most maxConnectionsPerAddress connections in every phase; when
//   maxConnections are open, the oldest connection still reading its request is closed
//   to make room, and only when none is reading is the newcomer refused. A connection
//   whose reply is out and that only waits for the client to close gives its place up
//   first, also to a newcomer of its own address. A reply whose writes move no byte for
//   writeTimeout is given up.
// - the main thread owns the device tree; it hands the server a snapshot of what the
//   server needs (publishTree). A handler that finds the snapshot older than
//   treeMaxAge asks the main thread for a new one (MsgHttpListen) and meanwhile serves
//   from the one it has.
// - the monitoring routes (/metrics, /healthz; net/http_monitor.h) read the counters of
//   the snapshot's devices live and never post MsgHttpListen: a monitor polling every few
//   seconds would make the main thread log every answer. They leave a flag that the main
//   thread's periodic step (HttpPeriodic) answers with a fresh snapshot, and that step
//   also stamps the heartbeat the health answer checks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "app/messages.h"
#include "net/http_handler.h"
#include "net/http_listing.h"

namespace velmora {
struct DeviceTree;
}

namespace velmora::net {

struct HttpServerConfig {
  std::string bindAddress = "0.0.0.0";  // all local addresses
  uint16_t port = 80;                   // 0: any free port (tests)
  HttpAuth auth;
  int handlerThreads = 4;
  std::size_t queueCapacity = 64;    // complete requests waiting for a handler
  std::size_t maxConnections = 256;  // open connections in every phase together
  std::size_t maxConnectionsPerAddress = 32;  // of one client address, in every phase
  // Reading the request, from the accept on.
  std::chrono::milliseconds readTimeout{5000};
  // Writing the reply: closed when no byte moved for this long, and in any case when the
  // whole reply took longer than this plus the body length at minSendBytesPerSecond.
  std::chrono::milliseconds writeTimeout{10000};
  uint64_t minSendBytesPerSecond = 64 * 1024;
  // After the reply: waiting for the client to close, reading what it still sends.
  std::chrono::milliseconds lingerTimeout{1000};
  // Age after which a handler asks the main thread for a fresh tree snapshot.
  std::chrono::milliseconds treeMaxAge{1000};
  // How long the first request waits for the first snapshot.
  std::chrono::milliseconds firstTreeWait{2000};
  // The health answer fails when the main loop has not turned (HttpPeriodic) for this
  // long, or a recording device delivered no frame for this long (MonitorState).
  std::chrono::milliseconds mainLoopStallLimit{10000};
  std::chrono::milliseconds frameSilenceLimit{60000};
  // Post MsgHttpListen to the main queue to ask for snapshots (off in tests that
  // publish by hand).
  bool askMainThread = true;
  // The recordings folder the tree's device folders lie in (the snapshots the main
  // thread hands a running server are taken with it).
  std::string recordingsFolder;
  // The tree those snapshots are taken of (null: the server is handed snapshots by
  // hand). Read on the main thread only; it outlives the server.
  const DeviceTree* tree = nullptr;
};

struct HttpServerStats {
  uint64_t accepted = 0;      // connections taken by the acceptor
  uint64_t refused = 0;       // closed at once: too many connections (all or one address's)
  uint64_t addressRefused = 0;  // of those, refused for their address's limit
  uint64_t evicted = 0;       // closed to make room: still reading, or their reply out
  uint64_t queueFull = 0;     // answered 503: no room in the handler queue
  uint64_t timedOut = 0;      // closed because a deadline passed
  uint64_t answered = 0;      // replies written completely
  uint64_t unanswered = 0;    // requests that were not a GET
  std::size_t openConnections = 0;
  std::size_t queued = 0;     // complete requests waiting for a handler now
  std::size_t handling = 0;   // requests a handler works on now
};

class HttpServer {
 public:
  HttpServer();
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Creates, binds and listens (the largest backlog the system allows), then starts the
  // threads. False when a step failed (logged as a failed call); the server then does
  // not run. Starting a running server does nothing and returns true.
  bool start(const HttpServerConfig& config);
  // Closes the listening socket and every connection and joins the threads.
  void stop();
  bool running() const { return running_.load(); }
  // The recordings folder and the tree of the configuration it was last started with.
  // Main thread.
  const std::string& recordingsFolder() const { return config_.recordingsFolder; }
  const DeviceTree* tree() const { return config_.tree; }
  // The bound port (useful with port 0), 0 when not running.
  uint16_t port() const { return boundPort_.load(); }
  // The listening socket's descriptor, -1 when not running.
  int listenSocket() const { return listenFd_.load(); }

  // Main thread: replaces the tree snapshot the handlers read.
  void publishTree(std::shared_ptr<const TreeSnapshot> snapshot);
  std::shared_ptr<const TreeSnapshot> currentTree() const;
  // True while a request for a fresh snapshot is waiting for the main thread.
  bool treeRequested() const { return treeRequested_.load(); }

  HttpServerStats stats() const;

  // Main thread, at every turn of its loop: the heartbeat the health answer checks.
  void mainLoopTurned(int64_t steadyMs) { mainLoopMs_ = steadyMs; }
  // Handler threads: what the monitoring routes read from the server.
  MonitorState monitorState() const;
  // Main thread: true once, when a monitoring route found the snapshot older than
  // treeMaxAge since the last call.
  bool takeMonitorTreeRequest() { return monitorTreeWanted_.exchange(false); }

 private:
  class Connection;
  struct Runtime;

  void acceptNext();
  // I/O thread: whether a newcomer from `address` may be taken, closing the oldest
  // connection still reading its request when the total limit is reached.
  bool admit(const std::string& address);
  bool enqueue(std::shared_ptr<Connection> connection);
  void handlerLoop();
  std::shared_ptr<const TreeSnapshot> treeForRequest();
  // The snapshot for a monitoring route: the one held, a new one wanted through
  // takeMonitorTreeRequest when it is old.
  std::shared_ptr<const TreeSnapshot> treeForMonitor();
  void requestTree();

  std::mutex stateLock_;  // serialises start and stop
  std::unique_ptr<Runtime> runtime_;
  HttpServerConfig config_;
  NewestImageCache images_;  // image.jpg of the device folders, for the handler threads
  std::atomic<bool> running_{false};
  std::atomic<uint16_t> boundPort_{0};
  std::atomic<int> listenFd_{-1};

  // The handler queue.
  mutable std::mutex queueLock_;
  std::condition_variable queueReady_;
  std::deque<std::shared_ptr<Connection>> queue_;  // guarded by queueLock_
  bool stopping_ = false;                           // guarded by queueLock_
  std::vector<std::thread> handlers_;

  // The tree snapshot.
  mutable std::mutex treeLock_;
  std::condition_variable treeArrived_;
  std::shared_ptr<const TreeSnapshot> tree_;  // guarded by treeLock_
  std::atomic<bool> treeRequested_{false};
  std::atomic<int64_t> treeRequestedAtMs_{0};
  std::atomic<bool> monitorTreeWanted_{false};
  // The main loop's last turn (steady milliseconds of the program clock).
  std::atomic<int64_t> mainLoopMs_{0};

  // Connections still reading their request, and those whose reply is out, waiting for
  // the client to close; oldest first. I/O thread only (stop clears them once that
  // thread has ended).
  std::list<std::weak_ptr<Connection>> readers_;
  std::list<std::weak_ptr<Connection>> lingerers_;
  // Open connections by client address; an address leaves the map at its last close.
  mutable std::mutex addressLock_;
  std::unordered_map<std::string, std::size_t> perAddress_;  // guarded by addressLock_

  // Counters.
  std::atomic<uint64_t> accepted_{0}, refused_{0}, addressRefused_{0}, evicted_{0}, queueFull_{0},
      timedOut_{0}, answered_{0}, unanswered_{0};
  std::atomic<std::size_t> openConnections_{0};
  std::atomic<std::size_t> handling_{0};
};

// The program's server is the one its Core owns; these steps are given it.

// Start-up step (main thread): when the server does not run yet, starts it on all local
// addresses at httpServerPort with the httpServerUser / httpServerPassword credentials,
// logs "starting HTTP server" and hands it the first snapshot of `tree` (it is handed
// fresh ones of the same tree later).
void StartHttpServer(HttpServer& server, const DeviceTree& tree);
// Shutdown step.
void StopHttpServer(HttpServer& server);
// Main thread, on MsgHttpListen: logs the event, reports an accept error, and hands the
// server a fresh snapshot of the tree.
void HttpAccept(HttpServer& server, const MsgHttpListen& message);
// Main thread, at every turn of its loop (timer 3): stamps the server's heartbeat, and
// hands it the fresh snapshot a monitoring route asked for, without a log line.
void HttpPeriodic(HttpServer& server);
// Main thread: hands a running server a fresh snapshot now (after a change of the tree).
void RefreshHttpTree(HttpServer& server);

}  // namespace velmora::net
