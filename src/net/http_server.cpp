#include "net/http_server.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <optional>

#include <asio.hpp>

#include "app/log.h"
#include "app/settings.h"
#include "model/group_record.h"
#include "net/http_request.h"
#include "net/http_response.h"
#include "platform/clock.h"

namespace velmora::net {

namespace {

// The key the per-client limit counts under: the address, except that an IPv6 client is
// counted by its /64 (one host commonly holds a whole /64 and could rotate through it)
// and an IPv4-mapped address as the IPv4 address it carries.
std::string ClientKey(const asio::ip::address& address) {
  if (!address.is_v6()) return address.to_string();
  const asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
  asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

// A client's address as the handler compares it with the metrics address: an IPv4 address
// (also when it came IPv4-mapped) or the IPv6 address in its shortest form.
std::string ExactAddress(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  return address.to_string();
}

// Room for the request line and, with authentication, the header block.
constexpr std::size_t kReceiveBytes = 8192;
// What is read and thrown away after the reply before the connection is closed.
constexpr std::size_t kLingerBytes = 64 * 1024;
// Chunks in which whole files are sent.
constexpr std::size_t kFileChunkBytes = 64 * 1024;
// Records go out through a send buffer of at least this size.
constexpr int kRecordSendBuffer = 32768;
// The FD_ACCEPT event number of the accept notification.
constexpr unsigned kAcceptEvent = 8;

void LogAsioFailure(const char* call, const asio::error_code& ec) {
  errno = ec.value();
  LogLastError(call);
}

}  // namespace

struct HttpServer::Runtime {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor{io};
  asio::steady_timer retry{io};
  std::thread ioThread;
};

// One connection: read the request on the I/O thread, build the reply on a handler
// thread, write it and linger on the I/O thread. Only one of these runs at a time, so
// the fields need no lock: the queue and asio::post order the hand-overs.
class HttpServer::Connection : public std::enable_shared_from_this<Connection> {
 public:
  // The server has admitted the address (HttpServer::admit); the connection counts
  // against both limits until it is closed.
  Connection(HttpServer& server, asio::ip::tcp::socket socket, std::string address, std::string clientAddress)
      : server_(server),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        address_(std::move(address)),
        clientAddress_(std::move(clientAddress)) {
    ++server_.openConnections_;
    std::lock_guard<std::mutex> guard(server_.addressLock_);
    ++server_.perAddress_[address_];
  }
  ~Connection() { release(); }

  void start() {
    asio::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    enterList(server_.readers_);
    arm(server_.config_.readTimeout);
    read();
  }

  const std::string& address() const { return address_; }

  // I/O thread: closes a connection that is still reading its request, or that has sent
  // its reply and waits for the client to close, to make room.
  void evict() {
    if (closed_) return;
    ++server_.evicted_;
    close();
  }

  // Handler thread.
  void process() {
    const std::string_view received(buffer_.data(), received_);
    const std::optional<std::string_view> path = GetRequestPath(RequestLine(received));
    // A monitor polls every few seconds: its routes never make the main thread answer (and
    // log) a request for a fresh snapshot.
    std::shared_ptr<const TreeSnapshot> tree =
        path && IsMonitorPath(*path) ? server_.treeForMonitor() : server_.treeForRequest();
    HttpRequestContext context;
    context.clientAddress = clientAddress_;
    context.monitor = [this] { return server_.monitorState(); };
    reply_ = HandleRequest(received, *tree, server_.config_.auth, platform::WallSeconds(), &server_.images_, &context);
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->write(); });
  }

 private:
  // The connection's read and write deadlines are real waits of its timer: the system's
  // steady clock.
  using Clock = std::chrono::steady_clock;

  // What follows once the bytes of a write are all out.
  enum class AfterWrite { kLinger, kNextChunk };

  void arm(std::chrono::milliseconds timeout) {
    const uint64_t generation = ++timerGeneration_;
    timer_.expires_after(timeout);
    timer_.async_wait([self = shared_from_this(), generation](const asio::error_code& ec) {
      if (ec || generation != self->timerGeneration_ || self->closed_) return;
      ++self->server_.timedOut_;
      self->close();
    });
  }

  // The write deadline: closed when no byte moved for writeTimeout, or when the whole
  // reply outlived its allowance. Bytes move when a write of ours completes, and when
  // the client takes bytes out of the socket's send queue (it shrinks); the timer looks
  // at the queue a few times per writeTimeout, so a client that reads steadily keeps
  // its connection even while the system's buffers stay full.
  void armWrite(Clock::time_point at) {
    const uint64_t generation = ++timerGeneration_;
    timer_.expires_at(at);
    timer_.async_wait([self = shared_from_this(), generation](const asio::error_code& ec) {
      if (ec || generation != self->timerGeneration_ || self->closed_) return;
      self->checkWriteProgress();
    });
  }

  void checkWriteProgress() {
    const Clock::time_point now = Clock::now();
    int queued = -1;
    if (::ioctl(socket_.native_handle(), SIOCOUTQ, &queued) == 0 && queued < lastQueued_)
      lastProgress_ = now;
    lastQueued_ = queued < 0 ? INT_MAX : queued;
    const std::chrono::milliseconds limit = server_.config_.writeTimeout;
    if (now >= writeDeadline_ || now - lastProgress_ >= limit) {
      ++server_.timedOut_;
      abort();
      return;
    }
    const auto step = std::max<std::chrono::milliseconds>(limit / 4, std::chrono::milliseconds(1));
    armWrite(std::min({now + step, lastProgress_ + limit, writeDeadline_}));
  }

  // Closes with a reset: a reply given up for a stalled client must not stay behind in
  // the system's buffers, trying to reach it.
  void abort() {
    asio::error_code ignored;
    socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    close();
  }

  void disarm() {
    ++timerGeneration_;
    timer_.cancel();
  }

  // The connection is listed among those still reading their request, or among those
  // lingering after their reply (at most one list at a time; I/O thread only).
  void enterList(std::list<std::weak_ptr<Connection>>& list) {
    leaveList();
    listEntry_ = list.insert(list.end(), weak_from_this());
    list_ = &list;
  }
  void leaveList() {
    if (list_ == nullptr) return;
    list_->erase(listEntry_);
    list_ = nullptr;
  }

  // Gives back the connection's places under both limits, once.
  void release() {
    if (released_) return;
    released_ = true;
    --server_.openConnections_;
    std::lock_guard<std::mutex> guard(server_.addressLock_);
    const auto found = server_.perAddress_.find(address_);
    if (found != server_.perAddress_.end() && --found->second == 0) server_.perAddress_.erase(found);
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    leaveList();
    disarm();
    asio::error_code ignored;
    socket_.close(ignored);
    release();
  }

  void read() {
    socket_.async_read_some(
        asio::buffer(buffer_.data() + received_, buffer_.size() - received_),
        [self = shared_from_this()](const asio::error_code& ec, std::size_t n) { self->onRead(ec, n); });
  }

  void onRead(const asio::error_code& ec, std::size_t n) {
    if (closed_) return;
    received_ += n;
    const std::string_view text(buffer_.data(), received_);
    if (ec) {
      // A client that sent its request and closed its side still gets its answer.
      if (ec == asio::error::eof && received_ > 0) {
        dispatch();
      } else {
        close();
      }
      return;
    }
    // Anything but a GET is closed at once, without an answer.
    constexpr std::string_view kGet = "GET ";
    const std::size_t known = received_ < kGet.size() ? received_ : kGet.size();
    if (text.substr(0, known) != kGet.substr(0, known)) {
      ++server_.unanswered_;
      close();
      return;
    }
    const bool full = received_ == buffer_.size();
    if (!RequestLineComplete(text) && !full) {
      read();
      return;
    }
    if (server_.config_.auth.required() && !HeaderBlockComplete(text) && !full) {
      read();
      return;
    }
    dispatch();
  }

  void dispatch() {
    leaveList();
    disarm();
    if (!server_.enqueue(shared_from_this())) {
      // Every handler is busy and the queue is full: the client hears so and may retry.
      ++server_.queueFull_;
      reply_ = BusyReply(platform::WallSeconds());
      write();
    }
  }

  void write() {
    if (closed_) return;
    if (!reply_.answer) {
      ++server_.unanswered_;
      close();
      return;
    }
    const uint64_t length = reply_.bodyLength();
    const uint64_t rate = server_.config_.minSendBytesPerSecond ? server_.config_.minSendBytesPerSecond : 1;
    // The allowance for the size, in whole milliseconds and at most a month (so that the
    // deadline's arithmetic cannot overflow for any length).
    constexpr uint64_t kMaxAllowanceMs = 31ull * 86400 * 1000;
    const uint64_t allowanceMs = length / rate >= kMaxAllowanceMs / 1000
                                     ? kMaxAllowanceMs
                                     : length / rate * 1000 + length % rate * 1000 / rate;
    lastProgress_ = Clock::now();
    lastQueued_ = INT_MAX;
    writeDeadline_ = lastProgress_ + server_.config_.writeTimeout +
                     std::chrono::milliseconds(static_cast<int64_t>(allowanceMs));
    const auto step = std::max<std::chrono::milliseconds>(server_.config_.writeTimeout / 4,
                                                          std::chrono::milliseconds(1));
    armWrite(std::min(lastProgress_ + step, writeDeadline_));
    if (reply_.recordSendBuffer) {
      // Records go out through a send buffer of at least 32 KiB. The system's own
      // buffer is usually larger and grows with the connection; pinning it to 32 KiB
      // would only slow the record down, so it is raised, never lowered.
      asio::error_code ec;
      asio::socket_base::send_buffer_size current;
      socket_.get_option(current, ec);
      if (!ec && current.value() < kRecordSendBuffer)
        socket_.set_option(asio::socket_base::send_buffer_size(kRecordSendBuffer), ec);
    }
    if (reply_.file.valid()) {
      writeParts(asio::buffer(reply_.header), asio::const_buffer(), AfterWrite::kNextChunk);
      return;
    }
    writeParts(asio::buffer(reply_.header), asio::buffer(reply_.body), AfterWrite::kLinger);
  }

  // Writes both buffers with as many writes as it takes; every write that moves bytes
  // counts as progress for the write deadline.
  void writeParts(asio::const_buffer first, asio::const_buffer second, AfterWrite after) {
    const std::array<asio::const_buffer, 2> parts{first, second};
    socket_.async_write_some(parts, [self = shared_from_this(), first, second, after](
                                        const asio::error_code& ec, std::size_t n) {
      if (self->closed_) return;
      if (ec) return self->close();
      if (n > 0) self->lastProgress_ = Clock::now();
      const asio::const_buffer restFirst = first + n;
      const asio::const_buffer restSecond = second + (n > first.size() ? n - first.size() : 0);
      if (restFirst.size() + restSecond.size() > 0) return self->writeParts(restFirst, restSecond, after);
      if (after == AfterWrite::kNextChunk) return self->sendFileChunk();
      self->linger();
    });
  }

  void sendFileChunk() {
    if (closed_) return;
    if (fileSent_ >= reply_.fileLength) {
      reply_.file.reset();
      linger();
      return;
    }
    const uint64_t left = reply_.fileLength - fileSent_;
    chunk_.resize(left < kFileChunkBytes ? static_cast<std::size_t>(left) : kFileChunkBytes);
    ssize_t n;
    do {
      n = ::pread(reply_.file.get(), chunk_.data(), chunk_.size(), static_cast<off_t>(fileSent_));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      // The file shrank or broke while it was sent: the client sees a short body.
      if (n < 0) LogLastError("HttpServer: pread");
      close();
      return;
    }
    fileSent_ += static_cast<uint64_t>(n);
    writeParts(asio::buffer(chunk_.data(), static_cast<std::size_t>(n)), asio::const_buffer(),
               AfterWrite::kNextChunk);
  }

  // The reply is out: end our side, then read until the client closes (bounded), so
  // that unread request bytes never turn the close into a reset that could destroy the
  // reply in the client's buffers.
  void linger() {
    ++server_.answered_;
    reply_ = HttpReply();
    asio::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    // The reply is complete: a newcomer needing the place may have it.
    enterList(server_.lingerers_);
    drained_ = 0;
    arm(server_.config_.lingerTimeout);
    drain();
  }

  void drain() {
    socket_.async_read_some(asio::buffer(buffer_),
                            [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
                              if (self->closed_) return;
                              self->drained_ += n;
                              if (ec || self->drained_ >= kLingerBytes) return self->close();
                              self->drain();
                            });
  }

  HttpServer& server_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  const std::string address_;  // the client's address, the key of its limit
  const std::string clientAddress_;  // the client's own address (ExactAddress)
  uint64_t timerGeneration_ = 0;
  bool closed_ = false;
  bool released_ = false;
  std::list<std::weak_ptr<Connection>>* list_ = nullptr;  // readers_, lingerers_ or none
  std::list<std::weak_ptr<Connection>>::iterator listEntry_;
  std::array<char, kReceiveBytes> buffer_{};
  std::size_t received_ = 0;
  HttpReply reply_;
  Clock::time_point lastProgress_{};   // the last write that moved bytes
  Clock::time_point writeDeadline_{};  // the allowance for the whole reply
  int lastQueued_ = INT_MAX;           // bytes in the send queue at the last look
  uint64_t fileSent_ = 0;
  std::vector<char> chunk_;
  std::size_t drained_ = 0;
};

HttpServer::HttpServer() = default;

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(const HttpServerConfig& config) {
  std::lock_guard<std::mutex> guard(stateLock_);
  if (running_) return true;
  config_ = config;
  if (config_.handlerThreads < 1) config_.handlerThreads = 1;
  if (config_.queueCapacity < 1) config_.queueCapacity = 1;
  if (config_.maxConnections < 1) config_.maxConnections = 1;
  if (config_.maxConnectionsPerAddress < 1) config_.maxConnectionsPerAddress = 1;

  auto runtime = std::make_unique<Runtime>();
  asio::error_code ec;
  const asio::ip::address address = asio::ip::make_address(config_.bindAddress, ec);
  if (ec) {
    Log("HttpServer: '%s' is not an address", config_.bindAddress.c_str());
    return false;
  }
  const asio::ip::tcp::endpoint endpoint(address, config_.port);
  runtime->acceptor.open(endpoint.protocol(), ec);
  if (ec) {
    LogAsioFailure("socket", ec);
    return false;
  }
  runtime->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  runtime->acceptor.bind(endpoint, ec);
  if (ec) {
    LogAsioFailure("bind", ec);
    return false;
  }
  runtime->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    LogAsioFailure("listen", ec);
    return false;
  }
  boundPort_ = runtime->acceptor.local_endpoint(ec).port();
  listenFd_ = runtime->acceptor.native_handle();

  {
    std::lock_guard<std::mutex> queueGuard(queueLock_);
    stopping_ = false;
    queue_.clear();
  }
  treeRequested_ = false;
  // The main loop counts as turning from the start; its steps stamp it from here on.
  mainLoopMs_ = platform::SteadyMs();
  runtime_ = std::move(runtime);
  running_ = true;
  acceptNext();
  runtime_->ioThread = std::thread([this] {
    Runtime& rt = *runtime_;
    rt.io.run();
  });
  for (int i = 0; i < config_.handlerThreads; ++i) handlers_.emplace_back([this] { handlerLoop(); });
  return true;
}

void HttpServer::stop() {
  std::lock_guard<std::mutex> guard(stateLock_);
  if (!runtime_) return;
  running_ = false;
  {
    std::lock_guard<std::mutex> queueGuard(queueLock_);
    stopping_ = true;
  }
  queueReady_.notify_all();
  {
    // A handler waiting for the first snapshot sees running_ cleared.
    std::lock_guard<std::mutex> treeGuard(treeLock_);
  }
  treeArrived_.notify_all();
  for (auto& handler : handlers_) handler.join();
  handlers_.clear();
  runtime_->io.stop();
  if (runtime_->ioThread.joinable()) runtime_->ioThread.join();
  {
    std::lock_guard<std::mutex> queueGuard(queueLock_);
    queue_.clear();
  }
  // Destroying the context destroys the handlers still queued in it, and with them the
  // connections they hold; their sockets close.
  asio::error_code ignored;
  runtime_->acceptor.close(ignored);
  runtime_.reset();
  readers_.clear();
  lingerers_.clear();
  boundPort_ = 0;
  listenFd_ = -1;
}

void HttpServer::acceptNext() {
  Runtime& rt = *runtime_;
  rt.acceptor.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !running_) return;
    if (ec) {
      // Out of descriptors or a similar condition: tell the main thread and try again
      // shortly instead of spinning.
      mainQueue().post(MsgHttpListen{ec.value()});
      runtime_->retry.expires_after(std::chrono::milliseconds(100));
      runtime_->retry.async_wait([this](const asio::error_code& waitError) {
        if (!waitError && running_) acceptNext();
      });
      return;
    }
    ++accepted_;
    asio::error_code ec2;
    const asio::ip::tcp::endpoint remote = socket.remote_endpoint(ec2);
    std::string address = ec2 ? std::string() : ClientKey(remote.address());
    if (ec2 || !admit(address)) {
      // A peer already gone (no address), or one the limits leave no room for.
      if (!ec2) ++refused_;
      asio::error_code ignored;
      socket.close(ignored);
    } else {
      std::make_shared<Connection>(*this, std::move(socket), std::move(address), ExactAddress(remote.address()))
          ->start();
    }
    acceptNext();
  });
}

bool HttpServer::admit(const std::string& address) {
  // Closes the oldest connection of the list (of the address, when given); false when
  // there is none.
  const auto evictOldest = [](std::list<std::weak_ptr<Connection>>& list, const std::string* of) {
    for (auto it = list.begin(); it != list.end();) {
      const std::shared_ptr<Connection> connection = it->lock();
      if (!connection) {
        it = list.erase(it);
        continue;
      }
      if (of == nullptr || connection->address() == *of) {
        connection->evict();  // leaves the list and gives back its places
        return true;
      }
      ++it;
    }
    return false;
  };
  std::size_t ofAddress = 0;
  {
    std::lock_guard<std::mutex> guard(addressLock_);
    const auto found = perAddress_.find(address);
    if (found != perAddress_.end()) ofAddress = found->second;
  }
  // At its own limit an address may only take the place of one of its connections that
  // has its reply already.
  if (ofAddress >= config_.maxConnectionsPerAddress && !evictOldest(lingerers_, &address)) {
    ++addressRefused_;
    return false;
  }
  // At the total limit a connection whose reply is out makes room, else the oldest one
  // still reading its request: a slow or silent client loses its place before anyone
  // with a complete request does.
  while (openConnections_.load() >= config_.maxConnections) {
    if (!evictOldest(lingerers_, nullptr) && !evictOldest(readers_, nullptr)) break;
  }
  return openConnections_.load() < config_.maxConnections;
}

bool HttpServer::enqueue(std::shared_ptr<Connection> connection) {
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    if (stopping_ || queue_.size() >= config_.queueCapacity) return false;
    queue_.push_back(std::move(connection));
  }
  queueReady_.notify_one();
  return true;
}

void HttpServer::handlerLoop() {
  for (;;) {
    std::shared_ptr<Connection> connection;
    {
      std::unique_lock<std::mutex> guard(queueLock_);
      queueReady_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      connection = std::move(queue_.front());
      queue_.pop_front();
      ++handling_;
    }
    connection->process();
    --handling_;
  }
}

void HttpServer::publishTree(std::shared_ptr<const TreeSnapshot> snapshot) {
  {
    std::lock_guard<std::mutex> guard(treeLock_);
    tree_ = std::move(snapshot);
  }
  treeRequested_ = false;
  treeArrived_.notify_all();
}

std::shared_ptr<const TreeSnapshot> HttpServer::currentTree() const {
  std::lock_guard<std::mutex> guard(treeLock_);
  return tree_;
}

void HttpServer::requestTree() {
  if (!config_.askMainThread) return;
  // One request at a time; a request the main thread never answered is repeated after
  // a few seconds.
  const int64_t now = platform::SteadyMs();
  if (treeRequested_.load() && now - treeRequestedAtMs_.load() < 5000) return;
  treeRequested_ = true;
  treeRequestedAtMs_ = now;
  if (!mainQueue().post(MsgHttpListen{0})) treeRequested_ = false;
}

std::shared_ptr<const TreeSnapshot> HttpServer::treeForRequest() {
  std::shared_ptr<const TreeSnapshot> tree = currentTree();
  if (!tree) {
    requestTree();
    std::unique_lock<std::mutex> guard(treeLock_);
    treeArrived_.wait_for(guard, config_.firstTreeWait, [this] { return tree_ != nullptr || !running_; });
    tree = tree_;
    if (!tree) {
      // No snapshot in time: serve as if the tree were empty (listings without
      // devices, nothing from any folder).
      static const std::shared_ptr<const TreeSnapshot> empty = TakeTreeSnapshot(nullptr, "/");
      return empty;
    }
    return tree;
  }
  // Whole milliseconds: an age limit of 0 asks at every request.
  if (platform::SteadyMs() - tree->takenMs >= config_.treeMaxAge.count()) requestTree();
  return tree;
}

std::shared_ptr<const TreeSnapshot> HttpServer::treeForMonitor() {
  std::shared_ptr<const TreeSnapshot> tree = currentTree();
  if (!tree) return treeForRequest();  // none yet: as any request waits for the first
  // The main thread's periodic step (HttpPeriodic) takes a new one, without a message.
  if (platform::SteadyMs() - tree->takenMs >= config_.treeMaxAge.count()) monitorTreeWanted_ = true;
  return tree;
}

MonitorState HttpServer::monitorState() const {
  MonitorState state;
  state.nowMs = platform::SteadyMs();
  state.mainLoopMs = mainLoopMs_.load();
  state.connectionsAccepted = accepted_.load();
  state.connectionsRefused = refused_.load();
  state.mainLoopStallLimit = config_.mainLoopStallLimit;
  state.frameSilenceLimit = config_.frameSilenceLimit;
  return state;
}

HttpServerStats HttpServer::stats() const {
  HttpServerStats s;
  s.accepted = accepted_;
  s.refused = refused_;
  s.addressRefused = addressRefused_;
  s.evicted = evicted_;
  s.queueFull = queueFull_;
  s.timedOut = timedOut_;
  s.answered = answered_;
  s.unanswered = unanswered_;
  s.openConnections = openConnections_;
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    s.queued = queue_.size();
  }
  s.handling = handling_;
  return s;
}

namespace {

std::shared_ptr<const TreeSnapshot> SnapshotOfTree(const HttpServer& server) {
  const DeviceTree* tree = server.tree();
  return TakeTreeSnapshot(tree != nullptr ? tree->root.get() : nullptr, server.recordingsFolder());
}

}  // namespace

void StartHttpServer(HttpServer& server, const DeviceTree& tree) {
  if (server.running()) return;
  const Settings& s = *tree.settings;
  if (s.httpServerPort < 0 || s.httpServerPort > 65535) {
    Log("HttpServer: httpServerPort %d is not a port", s.httpServerPort);
    return;
  }
  HttpServerConfig config;
  config.port = static_cast<uint16_t>(s.httpServerPort);
  config.auth.user = s.httpServerUser;
  config.auth.password = s.httpServerPassword;
  if (!s.httpMetricsAddress.empty()) {
    asio::error_code ec;
    const asio::ip::address metrics = asio::ip::make_address(s.httpMetricsAddress, ec);
    if (ec) {
      Log("HttpServer: httpMetricsAddress '%s' is not an address", LogSafe(s.httpMetricsAddress).c_str());
    } else {
      config.auth.metricsAddress = ExactAddress(metrics);
    }
  }
  config.frameSilenceLimit = std::chrono::seconds(s.httpHealthFrameSeconds >= 1 ? s.httpHealthFrameSeconds : 1);
  config.recordingsFolder = tree.recordingsFolder;
  config.tree = &tree;
  server.publishTree(TakeTreeSnapshot(tree.root.get(), tree.recordingsFolder));
  if (!server.start(config)) return;
  Log("starting HTTP server");
}

void StopHttpServer(HttpServer& server) { server.stop(); }

void HttpAccept(HttpServer& server, const MsgHttpListen& message) {
  const unsigned lParam = kAcceptEvent | (static_cast<unsigned>(message.error) << 16);
  Log("HttpAccept: wParam=%x, lParam=%x", static_cast<unsigned>(server.listenSocket()), lParam);
  if (message.error != 0) Log("HttpAccept: FD_ACCEPT, error=%x", static_cast<unsigned>(message.error));
  if (server.running()) server.publishTree(SnapshotOfTree(server));
}

void HttpPeriodic(HttpServer& server) {
  server.mainLoopTurned(platform::SteadyMs());
  if (server.running() && server.takeMonitorTreeRequest()) server.publishTree(SnapshotOfTree(server));
}

void RefreshHttpTree(HttpServer& server) {
  if (server.running()) server.publishTree(SnapshotOfTree(server));
}

}  // namespace velmora::net
