#include "live/fetch.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "app/helpers.h"
#include "app/log.h"
#include "live/digest.h"
#include "live/live_session.h"
#include "media/jpeg.h"
#include "live/request.h"
#include "live/retry_rules.h"
#include "live/rtsp.h"
#include "live/stream.h"
#include "live/time_sync.h"
#include "live/tls.h"
#include "live/view_slot.h"
#include "model/group_record.h"
#include "model/tree_file.h"
#include "platform/curl.h"

namespace velmora {

namespace {

using asio::ip::tcp;
using Strand = asio::strand<asio::io_context::executor_type>;
using SteadyClock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kShutdownWait{2000};
constexpr std::chrono::milliseconds kShutdownSettle{200};

std::atomic<int> g_connectionsAlive{0};

unsigned ThreadId() { return static_cast<unsigned>(::syscall(SYS_gettid)); }

void* AsPointer(int socket) { return reinterpret_cast<void*>(static_cast<intptr_t>(socket)); }

// "%s failed (%d: %s)" for an error of an asio operation.
void LogFailedCall(const std::string& operation, const asio::error_code& ec) {
  if (ec.category() == asio::system_category()) {
    Log("%s", LastErrorText(operation.c_str(), ec.value()).c_str());
  } else {
    Log("%s failed (%d: %s)", operation.c_str(), ec.value(), ec.message().c_str());
  }
}

// The process-wide engine: never destroyed, so a worker that outlives the shutdown
// wait still finds it.
struct Engine {
  asio::io_context io;
  std::mutex lock;  // guards everything below
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::vector<std::thread> threads;
  int running = 0;  // worker threads that have not ended
  std::condition_variable ended;
  FetchOptions options;
};

Engine& engine() {
  static auto* instance = new Engine;
  return *instance;
}

void WorkerLoop() {
  Engine& e = engine();
  for (;;) {
    try {
      e.io.run();
      break;
    } catch (const std::exception& error) {
      // A handler must never end a worker: log and serve on.
      Log("IOCP[%u]: %s", ThreadId(), error.what());
    }
  }
  Log("IOCP[%u]: thread end", ThreadId());
  {
    std::lock_guard<std::mutex> guard(e.lock);
    --e.running;
  }
  e.ended.notify_all();
}

// Starts the worker pool on first use (and again after a shutdown).
void StartEngine() {
  Engine& e = engine();
  std::lock_guard<std::mutex> guard(e.lock);
  if (!e.threads.empty()) return;
  int count = e.options.workerThreads;
  if (count <= 0) count = 2 * static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (e.io.stopped()) e.io.restart();
  e.work.emplace(e.io.get_executor());
  Log("creating %d IOCP threads", count);
  for (int i = 0; i < count; ++i) {
    try {
      e.threads.emplace_back(WorkerLoop);
      ++e.running;
    } catch (const std::system_error& error) {
      Log("IOCP: thread creation failed (%s)", error.what());
      break;
    }
  }
}

// The TLS client settings of every HTTPS connection: the system's authorities. The
// verdict on the certificate is taken after the handshake (tls.h), so the handshake
// itself accepts any certificate and only notes whether it verified.
asio::ssl::context& TlsContext() {
  static auto* context = [] {
    auto* c = new asio::ssl::context(asio::ssl::context::tls_client);
    asio::error_code ec;
    c->set_default_verify_paths(ec);
    if (ec) LogFailedCall("TLS: set_default_verify_paths", ec);
    c->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                   asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
    return c;
  }();
  return *context;
}

// Bytes read from a TLS stream at a time.
constexpr std::size_t kTlsReadBytes = 16384;

// host and port of a URL; port 80 when the URL names none (443 for "https://").
bool SplitHostPort(const std::string& url, std::string& host, uint16_t& port) {
  const platform::CurlUrl parsed = platform::ParseUrl(url, CURLU_NON_SUPPORT_SCHEME);
  const bool ok = parsed && platform::UrlPart(parsed.get(), CURLUPART_HOST, 0, host);
  port = IsHttpsUrl(url) ? 443 : 80;
  std::string text;
  if (ok && platform::UrlPart(parsed.get(), CURLUPART_PORT, 0, text)) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > 0 && value <= 65535) port = static_cast<uint16_t>(value);
  }
  return ok && !host.empty();
}

// One connection attempt. Its socket, timer and resolver are used only on its strand
// (and by the main thread before the first operation is started). `dropped` is
// guarded by the record's fetchLock.
class FetchConnection : public LiveSession, public std::enable_shared_from_this<FetchConnection> {
 public:
  FetchConnection(asio::io_context& io, std::weak_ptr<GroupRecord> record, const FetchOptions& options)
      : record_(std::move(record)),
        strand_(asio::make_strand(io)),
        socket_(strand_),
        timer_(strand_),
        resolver_(strand_),
        options_(options) {
    g_connectionsAlive.fetch_add(1, std::memory_order_relaxed);
  }
  ~FetchConnection() { g_connectionsAlive.fetch_sub(1, std::memory_order_relaxed); }
  FetchConnection(const FetchConnection&) = delete;
  FetchConnection& operator=(const FetchConnection&) = delete;

  tcp::socket& socket() { return socket_; }
  // Main thread, before the first operation: the connection speaks TLS to `host`.
  void UseTls(const std::string& host) {
    tlsHost_ = host;
    tls_ = std::make_unique<asio::ssl::stream<tcp::socket&>>(socket_, TlsContext());
  }
  int nativeSocket() const { return nativeSocket_; }
  void setNativeSocket(int s) { nativeSocket_ = s; }
  void markDropped() { dropped_ = true; }

  // Strand: the connect to a known address.
  void StartConnect(const tcp::endpoint& endpoint) {
    SetDeadline(options_.connectTimeoutMs);
    socket_.async_connect(endpoint, [self = shared_from_this()](const asio::error_code& ec) {
      self->OnComplete(ec, 0);
    });
  }

  // Strand: name resolution, then the connect.
  void StartResolve(const std::string& host, uint16_t port) {
    SetDeadline(options_.connectTimeoutMs);
    resolver_.async_resolve(
        tcp::v4(), host, std::to_string(port),
        [self = shared_from_this()](const asio::error_code& ec, const tcp::resolver::results_type& results) {
          self->OnResolved(ec, results);
        });
  }

  // Strand: the drop asked for by viewthread_refresh.
  void Disconnect(int debugLevel) {
    LogDeviceLevel(1, debugLevel, "o=%p, DISCONNECT REQUEST", static_cast<void*>(this));
    Close();
  }

 private:
  bool IsCurrent(const GroupRecord& record) const { return record.live.connection.get() == this; }

  // Closes the socket; pending operations complete with operation_aborted.
  void Close(const char* name = nullptr) {
    if (closed_) return;
    closed_ = true;
    asio::error_code ec;
    timer_.cancel(ec);
    resolver_.cancel();
    if (socket_.is_open()) {
      socket_.close(ec);
      if (ec) {
        char operation[160];
        std::snprintf(operation, sizeof operation, "closesocket(%p) [%s]", AsPointer(nativeSocket_),
                      name != nullptr ? name : "");
        LogFailedCall(operation, ec);
      }
    }
  }
  void CloseLocked(GroupRecord& record) {
    Close(record.name.c_str());
    if (IsCurrent(record)) record.live.socket = -1;
  }

  // --- time-outs ---
  // One timer per connection. A step moves the deadline: later deadlines are picked up
  // when the timer fires, an earlier one re-arms it at once. Each wait carries its
  // serial, so a wait replaced by a newer one is ignored when it ends.
  // The deadlines are real waits of the socket's timer: they run on the system's steady
  // clock, not on the program's clock.
  void SetDeadline(uint32_t ms) {
    deadline_ = SteadyClock::now() + std::chrono::milliseconds(ms);
    if (closed_) return;
    if (!timerArmed_ || deadline_ < timerExpiry_) ArmTimer();
  }
  void ArmTimer() {
    timerArmed_ = true;
    timerExpiry_ = deadline_;
    const uint64_t serial = ++timerSerial_;
    timer_.expires_at(deadline_);
    timer_.async_wait([self = shared_from_this(), serial](const asio::error_code& ec) { self->OnTimer(ec, serial); });
  }
  void OnTimer(const asio::error_code& ec, uint64_t serial) {
    if (serial != timerSerial_) return;  // replaced by a newer wait
    timerArmed_ = false;
    if (ec == asio::error::operation_aborted || closed_ || ended_) return;
    if (SteadyClock::now() < deadline_) {
      ArmTimer();
      return;
    }
    std::shared_ptr<GroupRecord> record = RecordOrClose();
    if (!record) return;
    std::lock_guard<std::mutex> guard(record->fetchLock);
    if (closed_ || ended_) return;
    Failure(*record, asio::error::timed_out);
  }

  // --- completions ---
  // The record this connection serves, or null when it left the tree (the connection is
  // then closed).
  std::shared_ptr<GroupRecord> RecordOrClose() {
    std::shared_ptr<GroupRecord> record = record_.lock();
    if (!record) Close();
    return record;
  }

  // Under fetchLock, for a completion: an error ends the attempt (once), and a completion
  // of an attempt that ended or was replaced does nothing more. True to go on.
  bool Proceed(GroupRecord& record, const asio::error_code& ec) {
    if (ec) {
      if (!ended_) Failure(record, ec);
      return false;
    }
    if (closed_ || ended_) return false;
    if (!IsCurrent(record)) {
      Close();
      return false;
    }
    return true;
  }

  void OnResolved(const asio::error_code& ec, const tcp::resolver::results_type& results) {
    std::shared_ptr<GroupRecord> record = RecordOrClose();
    if (!record) return;
    std::lock_guard<std::mutex> guard(record->fetchLock);
    if (closed_ || ended_) return;
    if (!IsCurrent(*record)) {
      Close();
      return;
    }
    if (ec || results.empty()) {
      Log("gethostbyname failed");
      // The connection stays present until the periodic check drops it.
      ended_ = true;
      CloseLocked(*record);
      return;
    }
    const tcp::endpoint endpoint = *results.begin();
    LogDeviceLevel(1, record->debugLevel, "connecting to %s:%d...", endpoint.address().to_string().c_str(),
                   static_cast<int>(endpoint.port()));
    StartConnect(endpoint);
  }

  // A connect or send completed.
  void OnComplete(const asio::error_code& ec, std::size_t bytes) {
    std::shared_ptr<GroupRecord> record = RecordOrClose();
    if (!record) return;
    std::lock_guard<std::mutex> guard(record->fetchLock);
    if (!Proceed(*record, ec)) return;
    Dispatch(*record, bytes);
  }

  // The socket has bytes (or an end, or an error) to read.
  void OnReadable(const asio::error_code& ec) {
    std::shared_ptr<GroupRecord> record = RecordOrClose();
    if (!record) return;
    std::lock_guard<std::mutex> guard(record->fetchLock);
    if (!Proceed(*record, ec)) return;
    if (record->live.streamBuffer.size() != kStreamBufferBytes) {
      CloseLocked(*record);
      return;
    }
    GroupRecord& r = *record;
    const std::size_t space = kStreamDataBytes - static_cast<std::size_t>(r.live.streamLength);
    asio::error_code readError;
    std::size_t bytes = socket_.read_some(asio::buffer(StreamData(r) + r.live.streamLength, space), readError);
    if (readError == asio::error::would_block || readError == asio::error::try_again ||
        readError == asio::error::interrupted) {
      WaitReadable();
      return;
    }
    if (readError == asio::error::eof) {
      bytes = 0;
    } else if (readError == asio::error::fault) {
      Log("IOCP[%u]: EFAULT; vto=%p socket=%p buffer=%p", ThreadId(), static_cast<void*>(this),
          AsPointer(nativeSocket_), static_cast<void*>(StreamData(r) + r.live.streamLength));
      r.debugLevel = 7;
      CloseLocked(r);
      return;
    } else if (readError) {
      Failure(r, readError);
      return;
    }
    Dispatch(r, bytes);
  }

  // viewthread_iocp_process for the current connection of the record.
  void Dispatch(GroupRecord& r, std::size_t bytes) {
    r.lastUpdateTick = TickCount();
    LogDeviceLevel(5, r.debugLevel, "dw=%lu, key=%lu, o=%p, state=%d", static_cast<unsigned long>(bytes),
                   static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&r)), static_cast<void*>(this),
                   static_cast<int>(r.live.fetchState));
    switch (r.live.fetchState) {
      case STATE_CONNECTING:
        if (r.live.streamLength != 0) {
          Log("%s: STATE_CONNECTING; current_size=%d for %s", "viewthread_iocp_process",
              static_cast<int>(r.live.streamLength), r.name.c_str());
          r.live.streamLength = 0;
        }
        StateConnecting(r);
        return;
      case STATE_CONNECTED:
        if (r.live.streamLength != 0) {
          Log("%s: STATE_CONNECTED; current_size=%d for %s", "viewthread_iocp_process",
              static_cast<int>(r.live.streamLength), r.name.c_str());
          r.live.streamLength = 0;
        }
        StateConnected(r);
        return;
      case STATE_HEADER:
      case STATE_READING: {
        const bool header = r.live.fetchState == STATE_HEADER;
        if (ProcessReceived(r, this, static_cast<uint32_t>(bytes)) == StreamStep::kClose) {
          CloseLocked(r);
          return;
        }
        // The header must arrive within its own time; a stream may not fall silent.
        if (!header || r.live.fetchState == STATE_READING) SetDeadline(options_.stallTimeoutMs);
        PostReceive(r);
        return;
      }
      default:
        return;
    }
  }

  // viewthread_iocp_state_connecting: the connect completed; send the request.
  void StateConnecting(GroupRecord& r) {
    // HTTPS: the handshake first; the connection counts as made once it is done.
    if (tls_ && !handshaken_) {
      StartHandshake(r);
      return;
    }
    LogDeviceLevel(1, r.debugLevel, "connected to %s [%s]", r.name.c_str(), UrlWithoutPassword(r.location).c_str());
    r.live.fetchState = STATE_CONNECTED;
    r.live.restartPending = false;
    request_ = CameraRequestText(r);
    SetDeadline(options_.sendTimeoutMs);
    auto done = [self = shared_from_this()](const asio::error_code& ec, std::size_t n) { self->OnComplete(ec, n); };
    if (tls_) {
      asio::async_write(*tls_, asio::buffer(request_), std::move(done));
    } else {
      asio::async_write(socket_, asio::buffer(request_), std::move(done));
    }
  }

  // --- TLS ---
  // The handshake has the connect's time; a certificate that does not verify against
  // the system's authorities is judged by its fingerprint once the handshake is done.
  void StartHandshake(GroupRecord& r) {
    LogDeviceLevel(3, r.debugLevel, "TLS handshake with %s", tlsHost_.c_str());
    SetDeadline(options_.connectTimeoutMs);
    asio::error_code ec;
    asio::ip::make_address(tlsHost_, ec);
    if (ec) SSL_set_tlsext_host_name(tls_->native_handle(), tlsHost_.c_str());  // names only, not addresses
    tls_->set_verify_mode(asio::ssl::verify_peer);
    tls_->set_verify_callback(
        [self = this, check = asio::ssl::host_name_verification(tlsHost_)](bool preverified,
                                                                         asio::ssl::verify_context& context) mutable {
          // Every certificate of the chain passes through here; all must verify.
          if (!check(preverified, context)) self->systemVerified_ = false;
          return true;
        });
    systemVerified_ = true;
    tls_->async_handshake(asio::ssl::stream_base::client,
                          [self = shared_from_this()](const asio::error_code& error) { self->OnHandshake(error); });
  }

  void OnHandshake(const asio::error_code& ec) {
    std::shared_ptr<GroupRecord> record = RecordOrClose();
    if (!record) return;
    std::lock_guard<std::mutex> guard(record->fetchLock);
    GroupRecord& r = *record;
    if (ec && ec != asio::error::operation_aborted && !closed_ && !ended_ && IsCurrent(r)) {
      // Garbage or a plain HTTP answer in place of the handshake.
      Log("TLS handshake with %s [%s] failed (%s)", r.name.c_str(), UrlWithoutPassword(r.location).c_str(),
          ec.message().c_str());
      ReportFetchState(r, true, kTlsHandshakeFailedText);
      ended_ = true;
      CloseLocked(r);
      return;
    }
    if (!Proceed(r, ec)) return;
    X509* peer = SSL_get1_peer_certificate(tls_->native_handle());
    const std::string seen = CertificateFingerprint(peer);
    X509_free(peer);
    if (!AcceptPeerCertificate(r, systemVerified_, seen)) {
      ended_ = true;
      CloseLocked(r);
      return;
    }
    handshaken_ = true;
    StateConnecting(r);
  }

  void StartTlsRead(GroupRecord& r, std::size_t space) {
    (void)r;
    tlsBuffer_.resize(std::min(space, kTlsReadBytes));
    tls_->async_read_some(asio::buffer(tlsBuffer_), [self = shared_from_this()](const asio::error_code& ec,
                                                                                std::size_t n) { self->OnTlsRead(ec, n); });
  }

  // Decrypted bytes arrived: they join the held data as the socket's own bytes would.
  void OnTlsRead(const asio::error_code& ec, std::size_t bytes) {
    std::shared_ptr<GroupRecord> record = RecordOrClose();
    if (!record) return;
    std::lock_guard<std::mutex> guard(record->fetchLock);
    // The camera's end of the stream, with or without its close notice.
    const bool end = ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
    if (!Proceed(*record, end ? asio::error_code() : ec)) return;
    GroupRecord& r = *record;
    if (r.live.streamBuffer.size() != kStreamBufferBytes) {
      CloseLocked(r);
      return;
    }
    const std::size_t held = static_cast<std::size_t>(r.live.streamLength);
    const std::size_t space = held <= kStreamDataBytes ? kStreamDataBytes - held : 0;
    if (end) bytes = 0;
    if (bytes > space) bytes = space;  // the read was sized to the space; never more
    if (bytes > 0) std::memcpy(StreamData(r) + held, tlsBuffer_.data(), bytes);
    Dispatch(r, bytes);
  }

  // viewthread_iocp_state_connected: the request is out; wait for the response.
  void StateConnected(GroupRecord& r) {
    LogDeviceLevel(3, r.debugLevel, "STATE_HEADER");
    r.live.fetchState = STATE_HEADER;
    std::string().swap(request_);
    SetDeadline(options_.headerTimeoutMs);
    PostReceive(r);
  }

  // viewthread_iocp_post_receive: wait for bytes to fit into the free space.
  void PostReceive(GroupRecord& r) {
    const std::size_t held = static_cast<std::size_t>(r.live.streamLength);
    const std::size_t space = held <= kStreamDataBytes ? kStreamDataBytes - held : 0;
    if (space < 16 || space > kStreamDataBytes) {
      Log("IOCP[%u]; BAD LENGTH; vto=%p socket=%p buffer=%p len=%d [%s]", ThreadId(), static_cast<void*>(this),
          AsPointer(nativeSocket_), static_cast<void*>(StreamData(r) + held), static_cast<int>(space),
          r.name.c_str());
      CloseLocked(r);
      return;
    }
    if (tls_) {
      StartTlsRead(r, space);
      return;
    }
    WaitReadable();
  }

  void WaitReadable() {
    socket_.async_wait(tcp::socket::wait_read,
                       [self = shared_from_this()](const asio::error_code& ec) { self->OnReadable(ec); });
  }

  // viewthread_iocp_failure: a step of this connection failed (or was aborted because
  // the connection was dropped). Only the connection the record still names - or, right
  // after a drop, the one just dropped - may speak for the record.
  void Failure(GroupRecord& r, const asio::error_code& ec) {
    const bool current = IsCurrent(r);
    LogFailedCall("IOCP[" + std::to_string(ThreadId()) + "]: " + r.name + "; GetQueuedCompletionStatus", ec);
    if (current || (!r.live.connection && dropped_)) {
      const bool neverHeard = r.live.fetchState == STATE_CONNECTING && !r.receivedData;
      ReportFetchState(r, true, neverHeard ? "Unable to connect" : "Connection lost");
    }
    if (ec != asio::error::operation_aborted) {
      if (!closed_) {
        LogDeviceLevel(4, r.debugLevel, "closing socket %u", static_cast<unsigned>(nativeSocket_));
        Close(r.name.c_str());
      }
      if (current) r.live.socket = -1;
    }
    LogDeviceLevel(4, r.debugLevel, "freeing vto %p", static_cast<void*>(this));
    ended_ = true;
  }

  std::weak_ptr<GroupRecord> record_;
  Strand strand_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  tcp::resolver resolver_;
  // HTTPS: the TLS layer over socket_ (declared behind it, so it goes first).
  std::unique_ptr<asio::ssl::stream<tcp::socket&>> tls_;
  std::string tlsHost_;
  std::vector<uint8_t> tlsBuffer_;
  bool handshaken_ = false;
  bool systemVerified_ = false;
  FetchOptions options_;
  int nativeSocket_ = -1;
  std::string request_;  // the request bytes until the send completed
  SteadyClock::time_point deadline_{};
  SteadyClock::time_point timerExpiry_{};
  uint64_t timerSerial_ = 0;
  bool timerArmed_ = false;
  bool closed_ = false;   // the socket was closed from this side
  bool ended_ = false;    // the failure path ran: later completions are only the aborts
  bool dropped_ = false;  // viewthread_refresh let go of it (guarded by fetchLock)
};

std::shared_ptr<FetchConnection> ConnectionOf(GroupRecord& record) {
  return std::static_pointer_cast<FetchConnection>(record.live.connection);
}

// Lets go of the record's connection: a worker closes its socket, and the operation
// still pending on it ends with an abort. fetchLock held.
void DropConnection(GroupRecord& r) {
  r.videoState.reset();  // a decoder's pictures in flight belong to this connection
  if (RtspDropLocked(r)) return;
  std::shared_ptr<FetchConnection> connection = ConnectionOf(r);
  connection->markDropped();
  const int level = r.debugLevel;
  r.live.socket = -1;
  r.live.connection.reset();
  r.live.restartPending = true;
  LogDeviceLevel(4, level, "%s: %s", "viewthread_refresh", "PostQueuedCompletionStatus");
  asio::post(connection->socket().get_executor(), [connection, level] { connection->Disconnect(level); });
}

// The connect step with the record's fetchLock held (main thread). `answer`: the
// connection answers a Digest challenge at once.
void ConnectLocked(const std::shared_ptr<GroupRecord>& shared, bool answer = false) {
  GroupRecord& r = *shared;
  DigestConnecting(r, answer);
  if (!r.enabled ||
      (r.kind != EntryKind::ServerCamera && r.kind != EntryKind::Device && r.kind != EntryKind::HTTPDevice))
    return;
  r.lastUpdateTick = TickCount();
  r.live.connectTick = r.lastUpdateTick;
  r.live.frameSeen = false;
  if (IsRtspDevice(r)) {  // read by a thread of its own (rtsp.h)
    if (r.live.connection) DropConnection(r);
    RtspConnectLocked(shared);
    return;
  }
  if (!EnsureStreamBuffer(r)) return;
  // A connection still present is dropped first, so that it ends rather than lingers.
  if (r.live.connection) DropConnection(r);

  Engine& e = engine();
  auto connection = std::make_shared<FetchConnection>(e.io, shared, GetFetchOptions());
  r.live.connection = connection;
  r.live.streamLength = 0;

  asio::error_code ec;
  connection->socket().open(tcp::v4(), ec);
  if (ec) {
    LogFailedCall("IOCP: WSASocket", ec);
    return;
  }
  connection->setNativeSocket(connection->socket().native_handle());
  r.live.socket = connection->nativeSocket();
  LogDeviceLevel(4, r.debugLevel, "WSASocket: o=%p, s=%p", static_cast<void*>(connection.get()),
                 AsPointer(r.live.socket));

  StartEngine();

  std::string host;
  uint16_t port = 80;
  if (!SplitHostPort(DeviceUrl(r), host, port)) {
    Log("InternetCrackUrl failed");
    r.live.socket = -1;  // nothing runs on it: the connection has ended
    return;
  }
  r.live.host = host;
  r.live.port = port;
  if (IsHttpsUrl(DeviceUrl(r))) connection->UseTls(host);

  asio::error_code addressError;
  const asio::ip::address_v4 address = asio::ip::make_address_v4(host, addressError);
  const bool literal = !addressError;
  if (!literal) LogDeviceLevel(1, r.debugLevel, "IOCP: getting IP address for '%s'...", host.c_str());

  connection->socket().bind(tcp::endpoint(asio::ip::address_v4::any(), 0), ec);
  if (ec) {
    LogFailedCall("IOCP: bind", ec);
    r.live.socket = -1;
    return;
  }
  connection->socket().non_blocking(true, ec);
  r.live.fetchState = STATE_CONNECTING;

  if (literal) {
    LogDeviceLevel(1, r.debugLevel, "connecting to %s:%d...", address.to_string().c_str(), static_cast<int>(port));
    LogDeviceLevel(4, r.debugLevel, "h=%p, hIOCP=%p", AsPointer(r.live.socket), static_cast<void*>(&e.io));
    const tcp::endpoint endpoint(address, port);
    asio::post(connection->socket().get_executor(), [connection, endpoint] { connection->StartConnect(endpoint); });
  } else {
    asio::post(connection->socket().get_executor(), [connection, host, port] { connection->StartResolve(host, port); });
  }
}

// viewthread_refresh with the record's fetchLock held.
void RefreshLocked(const std::shared_ptr<GroupRecord>& shared, bool force) {
  GroupRecord& r = *shared;
  LogDeviceLevel(6, r.debugLevel, "%s: vto=%p force=%d [%s]", "viewthread_refresh", r.live.connection.get(),
                 force ? 1 : 0, r.name.c_str());
  if (!r.live.connection) {
    if (force) {
      r.counters->add(r.counters->reconnects);
      ConnectLocked(shared);
    }
    return;
  }
  DropConnection(r);
}

}  // namespace

void SetFetchOptions(const FetchOptions& options) {
  std::lock_guard<std::mutex> guard(engine().lock);
  engine().options = options;
  // The workers read the settings without checking them.
  if (!engine().options.settings) engine().options.settings = std::make_shared<const Settings>();
}

FetchOptions GetFetchOptions() {
  std::lock_guard<std::mutex> guard(engine().lock);
  return engine().options;
}

std::shared_ptr<const Settings> FetchSettings() {
  std::lock_guard<std::mutex> guard(engine().lock);
  return engine().options.settings;
}

void viewthread_iocp(GroupRecord& record) {
  std::shared_ptr<GroupRecord> shared = record.weak_from_this().lock();
  if (!shared) {
    Log("viewthread_iocp: %s is not a shared record", record.name.c_str());
    return;
  }
  std::lock_guard<std::mutex> guard(record.fetchLock);
  ConnectLocked(shared);
}

void viewthread_refresh(GroupRecord& record, bool force) {
  std::shared_ptr<GroupRecord> shared = record.weak_from_this().lock();
  if (!shared) return;
  std::lock_guard<std::mutex> guard(record.fetchLock);
  RefreshLocked(shared, force);
}

void viewthread_check_update(GroupRecord& record) {
  std::shared_ptr<GroupRecord> shared = record.weak_from_this().lock();
  if (!shared) return;
  // A device a worker is processing right now is not due: skip it this tick rather
  // than wait for its frame to be decoded.
  std::unique_lock<std::mutex> guard(record.fetchLock, std::try_to_lock);
  if (!guard.owns_lock()) return;

  // A Digest challenge is answered at once (at most once per ordinary connect).
  if (DigestRetryDue(record)) {
    LogDeviceLevel(1, record.debugLevel, "%s: [%s] answering the Digest challenge", "viewthread_check_update",
                   record.name.c_str());
    ConnectLocked(shared, true);
    return;
  }
  const uint32_t now = TickCount();
  const RtspSessionState session = RtspSessionStateLocked(record);
  RetryState state;
  state.connection = record.live.connection != nullptr;
  state.rtsp = session != RtspSessionState::kNone || IsRtspDevice(record);
  // An HTTP connection runs until a stage, a failure or the camera closed its socket.
  state.running = state.rtsp ? session == RtspSessionState::kRunning : record.live.socket != -1;
  state.frameSeen = record.live.frameSeen;
  state.receivedData = record.receivedData;
  state.waitLong = record.live.accessRefused || record.live.streamUnusable;
  state.updateDelay = record.updateDelay;
  // Elapsed times in wrapping 32-bit arithmetic, so the rules hold across the wrap of
  // the millisecond tick.
  state.sinceActivityMs = static_cast<uint32_t>(now - record.lastUpdateTick);
  state.sinceConnectMs = static_cast<uint32_t>(now - record.live.connectTick);
  state.connectTimeoutMs = GetFetchOptions().connectTimeoutMs;
  state.failures = record.live.reconnectFailures;
  if (!RetryDue(state)) return;
  const RetryWait wait = RetryWaitOf(state);
  const uint32_t from = wait.fromConnect ? record.live.connectTick : record.lastUpdateTick;
  LogDeviceLevel(1, record.debugLevel, "%s: [%s] %u >= %u %s", "viewthread_check_update", record.name.c_str(),
                 now, static_cast<uint32_t>(from + wait.limitMs), record.live.connection ? "START" : "RESTART");
  if (record.live.connection) {
    RefreshLocked(shared, false);
  } else if (record.kind == EntryKind::NASDevice) {
    guard.unlock();
    viewthread_web_image(record);
  } else {
    // The earlier connection was lost or failed: this one starts it again.
    record.counters->add(record.counters->reconnects);
    ConnectLocked(shared);
  }
}

void viewthread_web_image(GroupRecord& record) {
  if (!record.enabled) return;
  {
    std::lock_guard<std::mutex> guard(record.fetchLock);
    record.lastUpdateTick = TickCount();
  }
  std::vector<uint8_t> jpeg;
  LastRecordedImages* images = Installed<LastRecordedImages>::get();
  if (images == nullptr || !images->lastRecordedImage(record, jpeg) || jpeg.empty()) return;
  std::unique_ptr<ImageHolder> holder = ImageHolder::FromJpeg(jpeg.data(), jpeg.size());
  if (!holder) return;
  holder->image = ImageFromBuffer(holder->jpeg.get(), static_cast<std::size_t>(holder->length));
  if (!holder->image) return;
  std::lock_guard<std::mutex> guard(record.fetchLock);
  CountFrame(record);
  ShowFrame(record, std::move(holder));
}

void viewthread_shutdown() {
  RtspShutdown();
  Engine& e = engine();
  std::vector<std::thread> threads;
  bool allEnded = false;
  {
    std::unique_lock<std::mutex> guard(e.lock);
    if (e.threads.empty()) {
      Log("%s: %s", "viewthread_shutdown", "no IOCP threads");
      return;
    }
    Log("shutting down %d IOCP threads", static_cast<int>(e.threads.size()));
    e.work.reset();
    e.io.stop();
    Log("waiting for IOCP threads to exit");
    allEnded = e.ended.wait_for(guard, kShutdownWait, [&e] { return e.running == 0; });
    if (!allEnded) Log("warning: one or more threads failed to exit");
    threads.swap(e.threads);
  }
  std::this_thread::sleep_for(kShutdownSettle);
  Log("cleaning up IOCP threads");
  for (std::thread& thread : threads) {
    // A worker still busy keeps running on its own; the engine it uses is never freed.
    if (allEnded) {
      thread.join();
    } else {
      thread.detach();
    }
  }
  Log("IOCP thread shutdown complete");
}

void FetchWalk(GroupRecord* node, bool& certificateKept) {
  if (node == nullptr) return;
  const int32_t kind = node->kind;
  if (IsViewableKind(kind)) {
    if (KeepFirstSeenCertificate(*node)) certificateKept = true;
    if (!node->enabled) return;
    if (node->fetchActive) viewthread_check_update(*node);
    if (kind == EntryKind::Device) time_sync_check(*node);
    return;
  }
  if (!IsContainerKind(kind)) return;
  for (std::size_t i = 0; i < node->children.size(); ++i) FetchWalk(node->children[i].get(), certificateKept);
  if (kind == EntryKind::ServerDevice) time_sync_check(*node);
}

void FetchPeriodic(GroupRecord* root, const FetchNoticeSink& notice) {
  bool certificateKept = false;
  FetchWalk(root, certificateKept);
  if (certificateKept && notice) notice(FetchNotice::kCertificateKept);
}

bool HandleFetchMessage(AppMessage& message, const FetchNoticeSink& notice) {
  auto* report = std::get_if<MsgAuthScheme>(&message);
  if (report == nullptr) return false;
  if (!report->record) return true;
  GroupRecord& r = *report->record;
  bool changed = false;
  {
    std::lock_guard<std::mutex> guard(r.fetchLock);
    if (r.authScheme != report->scheme) {
      r.authScheme = report->scheme;
      changed = true;
    }
  }
  if (changed) {
    LogDeviceLevel(1, r.debugLevel, "%s uses %s authentication: no password before it asks", r.name.c_str(),
                   report->scheme.c_str());
    if (notice) notice(FetchNotice::kAuthSchemeKept);
  }
  return true;
}

void EngineDeviceFetch::startFetch(GroupRecord& record) { viewthread_iocp(record); }

void EngineDeviceFetch::stopFetch(GroupRecord& record) { viewthread_refresh(record, false); }

int FetchWorkerCount() {
  std::lock_guard<std::mutex> guard(engine().lock);
  return static_cast<int>(engine().threads.size());
}

int FetchConnectionsAlive() { return g_connectionsAlive.load(std::memory_order_relaxed); }

}  // namespace velmora
