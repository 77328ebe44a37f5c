#include "server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string_view>
#include <type_traits>

namespace camsim {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr size_t kMaxRequestHeader = 16 * 1024;
constexpr size_t kMaxRequestBody = 8 * 1024;
constexpr auto kRequestTimeout = std::chrono::seconds(10);
constexpr auto kLingerTimeout = std::chrono::seconds(2);
constexpr int kMaxInput = 15;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else if (c == '=') break;
    else return {};
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

// %XX and '+' of a form field.
std::string FormDecode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Digits where the pattern has '9', the pattern's own character elsewhere.
bool Matches(const std::string& text, std::string_view pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (pattern[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i]) return false;
  }
  return true;
}

struct Request {
  std::string method;
  std::string path;
  std::string query;
  std::string authorization;
  size_t contentLength = 0;
  bool badLength = false;
};

bool ParseRequest(std::string_view text, Request& r) {
  const size_t eol = text.find("\r\n");
  const std::string_view line = text.substr(0, eol);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp1 == std::string_view::npos || sp2 == std::string_view::npos) return false;
  r.method = std::string(line.substr(0, sp1));
  std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  if (target.substr(0, 7) == "http://") {  // absolute form: drop scheme and authority
    const size_t slash = target.find('/', 7);
    target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
  }
  const size_t q = target.find('?');
  r.path = std::string(target.substr(0, q));
  if (q != std::string_view::npos) r.query = std::string(target.substr(q + 1));

  size_t pos = eol == std::string_view::npos ? text.size() : eol + 2;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view header = text.substr(pos, end - pos);
    pos = end + 2;
    const size_t colon = header.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string name = Lower(Trim(header.substr(0, colon)));
    const std::string_view value = Trim(header.substr(colon + 1));
    if (name == "authorization") {
      r.authorization = std::string(value);
    } else if (name == "content-length") {
      size_t n = 0;
      bool ok = !value.empty() && value.size() < 10;
      for (char c : value) {
        if (c < '0' || c > '9') ok = false;
        else n = n * 10 + static_cast<size_t>(c - '0');
      }
      if (ok) r.contentLength = n;
      else r.badLength = true;
    }
  }
  return true;
}

// A slice of a shared buffer.
struct Piece {
  Bytes data;
  size_t offset = 0;
  size_t size = 0;
};

Piece Whole(const Bytes& b) { return Piece{b, 0, b->size()}; }
Piece Text(std::string s) {
  auto b = std::make_shared<const std::string>(std::move(s));
  return Piece{b, 0, b->size()};
}

enum class StreamKind { kMjpeg = 1, kH264 = 2 };

// A connection over a plain socket or over TLS (the Stream).
template <class Stream>
class Connection : public Closable, public std::enable_shared_from_this<Connection<Stream>> {
 public:
  template <class... StreamArgs>
  Connection(Camera& camera, Server& server, StreamArgs&&... streamArgs)
      : socket_(std::forward<StreamArgs>(streamArgs)...),
        timer_(socket_.get_executor()),
        deadline_(socket_.get_executor()),
        camera_(camera),
        server_(server),
        options_(server.options()),
        request_(kMaxRequestHeader) {
    camera_.stats.active.fetch_add(1);
  }
  ~Connection() override { camera_.stats.active.fetch_sub(1); }

  void CloseNow() override { Close(); }

  void Start() {
    if (camera_.options.fault == Fault::kGarbageHandshake) {
      // Neither a handshake nor an answer: bytes that mean nothing, then the end.
      ArmDeadline(kRequestTimeout);
      asio::async_write(Raw(), asio::buffer(*server_.library().Garbage()),
                        [self = this->shared_from_this()](const asio::error_code&, size_t) { self->Finish(); });
      return;
    }
    if constexpr (kTls) {
      ArmDeadline(kRequestTimeout);
      socket_.async_handshake(asio::ssl::stream_base::server, [self = this->shared_from_this()](const asio::error_code& ec) {
        self->Disarm();
        if (ec) {
          self->Close();
        } else {
          self->ReadRequest();
        }
      });
      return;
    }
    ReadRequest();
  }

 private:
  static constexpr bool kTls = !std::is_same_v<Stream, tcp::socket>;

  tcp::socket& Raw() {
    if constexpr (kTls) {
      return socket_.next_layer();
    } else {
      return socket_;
    }
  }

  void ReadRequest() {
    ArmDeadline(kRequestTimeout);
    asio::async_read_until(socket_, request_, "\r\n\r\n",
                           [self = this->shared_from_this()](const asio::error_code& ec, size_t n) {
                             self->OnHeader(ec, n);
                           });
  }

  // --- time-outs and closing -------------------------------------------------------

  template <typename Duration>
  void ArmDeadline(Duration d) {
    deadline_.expires_after(d);
    deadline_.async_wait([self = this->shared_from_this()](const asio::error_code& ec) {
      // A wait that completed just before being re-armed or cancelled is stale.
      if (!ec && self->deadline_.expiry() <= Clock::now()) self->Close();
    });
  }
  void Disarm() { deadline_.cancel(); }

  void Close() {
    if (closed_) return;
    closed_ = true;
    slowThen_ = nullptr;  // it holds this connection: drop the cycle
    asio::error_code ignored;
    Raw().close(ignored);
    timer_.cancel();
    deadline_.cancel();
  }

  // Graceful end: no more sending, drain what the peer still sends, then close.
  void Finish() {
    if (closed_) return;
    asio::error_code ignored;
    Raw().shutdown(tcp::socket::shutdown_send, ignored);
    ArmDeadline(kLingerTimeout);
    Drain();
  }
  void Drain() {
    socket_.async_read_some(asio::buffer(scratch_), [self = this->shared_from_this()](const asio::error_code& ec, size_t) {
      if (ec) {
        self->Close();
      } else {
        self->Drain();
      }
    });
  }

  // Silence: keep the connection open without answering until stallMs pass or the
  // peer closes it.
  void Hold() {
    if (closed_) return;
    Disarm();
    timer_.expires_after(std::chrono::milliseconds(options_.stallMs));
    timer_.async_wait([self = this->shared_from_this()](const asio::error_code& ec) {
      if (!ec) self->Close();
    });
    Watch();
  }
  void Watch() {
    socket_.async_read_some(asio::buffer(scratch_), [self = this->shared_from_this()](const asio::error_code& ec, size_t) {
      if (ec) {
        self->Close();
      } else {
        self->Watch();
      }
    });
  }

  // --- sending ---------------------------------------------------------------------

  void Send(std::vector<Piece> pieces, std::function<void()> then) {
    if (closed_) return;
    size_t total = 0;
    for (const Piece& p : pieces) total += p.size;
    camera_.stats.bytes.fetch_add(total);
    if (slow_) {
      std::string flat;
      flat.reserve(total);
      for (const Piece& p : pieces) flat.append(*p.data, p.offset, p.size);
      slowData_ = std::make_shared<const std::string>(std::move(flat));
      slowPos_ = 0;
      slowThen_ = std::move(then);
      SendSlowByte();
      return;
    }
    std::vector<asio::const_buffer> buffers;
    buffers.reserve(pieces.size());
    for (const Piece& p : pieces) buffers.emplace_back(p.data->data() + p.offset, p.size);
    ArmDeadline(std::chrono::milliseconds(options_.stallMs));
    asio::async_write(socket_, buffers,
                      [self = this->shared_from_this(), keep = std::move(pieces), then = std::move(then)](
                          const asio::error_code& ec, size_t) {
                        self->Disarm();
                        if (ec) {
                          self->Close();
                          return;
                        }
                        then();
                      });
  }

  void SendSlowByte() {
    if (closed_) return;
    if (slowPos_ >= slowData_->size()) {
      auto then = std::move(slowThen_);
      slowThen_ = nullptr;
      then();
      return;
    }
    ArmDeadline(std::chrono::milliseconds(options_.stallMs));
    asio::async_write(socket_, asio::buffer(slowData_->data() + slowPos_, 1),
                      [self = this->shared_from_this()](const asio::error_code& ec, size_t) {
                        self->Disarm();
                        if (ec) {
                          self->Close();
                          return;
                        }
                        ++self->slowPos_;
                        self->timer_.expires_after(std::chrono::microseconds(self->options_.byteIntervalUs));
                        self->timer_.async_wait([self](const asio::error_code& wec) {
                          if (!wec) self->SendSlowByte();
                        });
                      });
  }

  void SendStatus(int status, const char* reason, const std::string& extraHeaders = {}, std::string body = {}) {
    if (body.empty()) {
      body = "<html><head><title>" + std::to_string(status) + " " + reason + "</title></head><body><h1>" +
             std::to_string(status) + " " + reason + "</h1></body></html>\r\n";
    }
    std::string head = "HTTP/1.0 " + std::to_string(status) + " " + reason + "\r\n" + extraHeaders +
                       "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (extraHeaders.find("Content-Type:") == std::string::npos) {
      head.insert(head.find("\r\n") + 2, "Content-Type: text/html\r\n");
    }
    Send({Text(std::move(head)), Text(std::move(body))}, [self = this->shared_from_this()] { self->Finish(); });
  }

  // --- the request -----------------------------------------------------------------

  void OnHeader(const asio::error_code& ec, size_t headerBytes) {
    Disarm();
    if (ec) {
      Close();  // peer went away, time-out, or a header over the limit
      return;
    }
    const std::string_view all(static_cast<const char*>(request_.data().data()), request_.size());
    if (!ParseRequest(all.substr(0, headerBytes), req_)) {
      request_.consume(headerBytes);
      SendStatus(400, "Bad Request");
      return;
    }
    request_.consume(headerBytes);
    if (req_.method == "POST") {
      if (req_.badLength || req_.contentLength > kMaxRequestBody) {
        SendStatus(413, "Payload Too Large");
        return;
      }
      if (request_.size() < req_.contentLength) {
        ArmDeadline(kRequestTimeout);
        asio::async_read(socket_, request_, asio::transfer_exactly(req_.contentLength - request_.size()),
                         [self = this->shared_from_this()](const asio::error_code& rec, size_t) {
                           self->Disarm();
                           if (rec) {
                             self->Close();
                           } else {
                             self->Handle();
                           }
                         });
        return;
      }
    }
    Handle();
  }

  AuthResult Authorised() const {
    if (options_.user.empty() && options_.password.empty()) return AuthResult::kOk;
    const std::string_view value = req_.authorization;
    if (options_.auth != AuthScheme::kBasic) {
      return server_.digest().Check(value, req_.method, req_.query.empty() ? req_.path : req_.path + "?" + req_.query);
    }
    if (value.size() < 6 || Lower(value.substr(0, 6)) != "basic ") return AuthResult::kDenied;
    return Base64Decode(Trim(value.substr(6))) == options_.user + ":" + options_.password ? AuthResult::kOk
                                                                                          : AuthResult::kDenied;
  }

  // 401 with the cameras' challenge: Digest (and a Basic one on a second line, which a
  // Digest camera does not accept) or Basic.
  void SendChallenge(bool stale) {
    camera_.stats.challenges.fetch_add(1);
    if (options_.auth == AuthScheme::kBasic) {
      SendStatus(401, "Unauthorized", "WWW-Authenticate: Basic realm=\"camsim\"\r\n");
      return;
    }
    SendStatus(401, "Unauthorized",
               "WWW-Authenticate: " + server_.digest().Challenge(stale) + "\r\nWWW-Authenticate: Basic realm=\"camsim\"\r\n");
  }

  void Handle() {
    camera_.stats.requests.fetch_add(1);
    if (!req_.authorization.empty() && camera_.stats.challenges.load() == 0) camera_.stats.unasked.fetch_add(1);
    Fault fault = camera_.options.fault;
    std::optional<int> input;
    double fps = 0;
    // Query words: a number selects the camera input, fps=F the rate, fault=NAME a
    // fault for this request; anything else belongs to the camera's own scripts.
    std::string_view q = req_.query;
    while (!q.empty()) {
      const size_t amp = q.find('&');
      const std::string_view word = q.substr(0, amp);
      if (!word.empty() && word.find_first_not_of("0123456789") == std::string_view::npos && !input) {
        input = word.size() > 3 ? kMaxInput + 1 : std::stoi(std::string(word));
      } else if (word.substr(0, 4) == "fps=") {
        fps = std::strtod(std::string(word.substr(4)).c_str(), nullptr);
        if (!(fps > 0 && fps <= 1000)) fps = 0;
      } else if (word.substr(0, 6) == "fault=") {
        const auto f = FaultFromName(word.substr(6));
        if (!f) {
          SendStatus(400, "Bad Request");
          return;
        }
        fault = *f;
      }
      if (amp == std::string_view::npos) break;
      q.remove_prefix(amp + 1);
    }
    fault_ = fault;

    // The simulator's own pages: no authentication, no faults.
    if (req_.path == "/camsim/stats") {
      SendStatus(200, "OK", "Content-Type: text/plain\r\n", server_.StatsLine(camera_) + "\n");
      return;
    }
    if (req_.path == "/camsim/datetime") {
      std::string body;
      {
        std::lock_guard<std::mutex> lock(camera_.clock.lock);
        body = "posts=" + std::to_string(camera_.clock.posts) + "\ndate=" + camera_.clock.date +
               "\ntime=" + camera_.clock.time + "\n";
      }
      SendStatus(200, "OK", "Content-Type: text/plain\r\n", body);
      return;
    }

    switch (fault) {
      case Fault::kRefuse:
        Close();
        return;
      case Fault::kStall:
        Hold();
        return;
      case Fault::kBigHeader:
        Send({Whole(server_.library().BigHeader())}, [self = this->shared_from_this()] { self->Finish(); });
        return;
      case Fault::kStatus401:
        SendStatus(401, "Unauthorized", "WWW-Authenticate: Basic realm=\"camsim\"\r\n");
        return;
      case Fault::kStatus404:
        SendStatus(404, "Not Found");
        return;
      case Fault::kStatus500:
        SendStatus(500, "Internal Server Error");
        return;
      case Fault::kGarbage:
        Send({Text("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n\r\n"), Whole(server_.library().Garbage())},
             [self = this->shared_from_this()] { self->Finish(); });
        return;
      default:
        break;
    }
    slow_ = fault == Fault::kSlow;

    if (fault == Fault::kBadChallenge) {
      SendStatus(401, "Unauthorized",
                 "WWW-Authenticate: Digest realm=\"camsim\", nonce=\"" + std::string(9000, 'n') + "\", qop=auth\r\n");
      return;
    }
    if (fault == Fault::kChallenge) {
      SendStatus(401, "Unauthorized", "WWW-Authenticate: " + server_.digest().Challenge(true) + "\r\n");
      return;
    }
    const AuthResult auth = Authorised();
    if (auth != AuthResult::kOk) {
      SendChallenge(auth == AuthResult::kStale);
      return;
    }
    const int inputNumber = input.value_or(0);
    const std::string& path = req_.path;
    const auto endsWith = [&path](std::string_view tail) {
      return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (endsWith("admin.cgi") && req_.query == "datetime") {
      if (req_.method != "POST") {
        SendStatus(405, "Method Not Allowed", "Allow: POST\r\n");
        return;
      }
      SetClock();
      return;
    }
    if (req_.method != "GET" && req_.method != "HEAD") {
      SendStatus(405, "Method Not Allowed", "Allow: GET\r\n");
      return;
    }
    if (inputNumber > kMaxInput) {
      SendStatus(404, "Not Found");
      return;
    }
    if (path == "/" || path == "/index.html") {
      SendStatus(200, "OK", "",
                 "<html><head><title>camsim camera " + std::to_string(camera_.index) +
                     "</title></head><body><h1>camsim camera " + std::to_string(camera_.index) +
                     "</h1><p><img src=\"/nph-mjpeg.cgi?fps=5\"></p><ul>"
                     "<li><a href=\"/jpeg.cgi\">/jpeg.cgi</a></li>"
                     "<li><a href=\"/nph-mjpeg.cgi\">/nph-mjpeg.cgi</a></li>"
                     "<li><a href=\"/nph-mjpeg.cgi?fps=5\">/nph-mjpeg.cgi?fps=5</a></li>"
                     "<li><a href=\"/nph-h264.cgi\">/nph-h264.cgi</a></li>"
                     "<li><a href=\"/camsim/stats\">/camsim/stats</a></li>"
                     "<li><a href=\"/camsim/datetime\">/camsim/datetime</a></li></ul></body></html>\r\n");
      return;
    }
    const FrameSet& set = fault == Fault::kBigFrame ? server_.library().BigFrames() : *camera_.frames;
    start_ = camera_.nextFrame.fetch_add(1) + static_cast<uint64_t>(inputNumber) * 7;
    if (path == "/jpeg.cgi") {
      Snapshot(set);
    } else if (path == "/nph-mjpeg.cgi") {
      BeginStream(StreamKind::kMjpeg, fps > 0 ? fps : options_.maxFps);
    } else if (endsWith("nph-h264.cgi")) {
      BeginStream(StreamKind::kH264, fps > 0 ? fps : options_.h264Fps);
    } else {
      SendStatus(404, "Not Found");
    }
  }

  void SetClock() {
    const std::string body(static_cast<const char*>(request_.data().data()),
                           std::min(request_.size(), req_.contentLength));
    std::string mode, date, time;
    std::string_view rest = body;
    while (!rest.empty()) {
      const size_t amp = rest.find('&');
      const std::string_view field = rest.substr(0, amp);
      const size_t eq = field.find('=');
      if (eq != std::string_view::npos) {
        const std::string name(field.substr(0, eq));
        std::string value = FormDecode(field.substr(eq + 1));
        if (name == "mode") mode = std::move(value);
        else if (name == "date") date = std::move(value);
        else if (name == "time") time = std::move(value);
      }
      if (amp == std::string_view::npos) break;
      rest.remove_prefix(amp + 1);
    }
    if (mode != "manual" || !Matches(date, "9999-99-99") || !Matches(time, "99:99:99")) {
      SendStatus(400, "Bad Request");
      return;
    }
    {
      std::lock_guard<std::mutex> lock(camera_.clock.lock);
      ++camera_.clock.posts;
      camera_.clock.date = date;
      camera_.clock.time = time;
    }
    if (!options_.quiet) {
      std::printf("camsim: camera %d clock set to %s %s\n", camera_.index, date.c_str(), time.c_str());
      std::fflush(stdout);
    }
    SendStatus(200, "OK", "Content-Type: text/plain\r\n", "OK\r\n");
  }

  // --- frames ----------------------------------------------------------------------

  void Snapshot(const FrameSet& set) {
    const Bytes& jpeg = set.jpegs[start_ % set.jpegs.size()];
    Piece head = Text("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                      std::to_string(jpeg->size()) + "\r\nCache-Control: no-cache\r\n\r\n");
    if (req_.method == "HEAD") {
      Send({head}, [self = this->shared_from_this()] { self->Finish(); });
      return;
    }
    camera_.stats.frames.fetch_add(1);
    if (fault_ == Fault::kCloseMidFrame || fault_ == Fault::kStop) {
      const bool stop = fault_ == Fault::kStop;
      Send({head, Piece{jpeg, 0, jpeg->size() / 2}}, [self = this->shared_from_this(), stop] {
        if (stop) {
          self->Hold();
        } else {
          self->Close();
        }
      });
      return;
    }
    if (options_.firstFrameDelayMs > 0) {
      // The header at once, the picture once the "encoder" is ready.
      Send({head}, [self = this->shared_from_this(), jpeg] {
        self->AfterFirstFrameDelay([self, jpeg] { self->Send({Whole(jpeg)}, [self] { self->Finish(); }); });
      });
      return;
    }
    Send({head, Whole(jpeg)}, [self = this->shared_from_this()] { self->Finish(); });
  }

  // Runs `then` after the pause a camera takes between its response header and its
  // first frame (--first-frame-delay-ms). A peer that closed meanwhile is found by the
  // write that follows.
  void AfterFirstFrameDelay(std::function<void()> then) {
    if (closed_) return;
    if (options_.firstFrameDelayMs <= 0) {
      then();
      return;
    }
    timer_.expires_after(std::chrono::milliseconds(options_.firstFrameDelayMs));
    timer_.async_wait([self = this->shared_from_this(), then = std::move(then)](const asio::error_code& ec) {
      if (!ec && !self->closed_) then();
    });
  }

  void BeginStream(StreamKind kind, double fps) {
    kind_ = kind;
    period_ = fps > 0 ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps))
                      : Clock::duration::zero();
    const std::string head =
        kind == StreamKind::kMjpeg
            ? std::string("HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=") + kBoundary +
                  "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n\r\n"
            : std::string("HTTP/1.0 200 OK\r\nContent-Type: video/H264\r\nCache-Control: no-cache\r\n\r\n");
    if (req_.method == "HEAD") {
      Send({Text(head)}, [self = this->shared_from_this()] { self->Finish(); });
      return;
    }
    Send({Text(head)}, [self = this->shared_from_this()] {
      self->AfterFirstFrameDelay([self] {
        self->due_ = Clock::now();
        if (self->kind_ == StreamKind::kH264) {
          // Units go out on their own, apart from the response header.
          self->ScheduleNext();
        } else {
          self->StreamNext();
        }
      });
    });
  }

  void StreamNext() {
    if (closed_) return;
    if (fault_ == Fault::kStop && sent_ >= static_cast<uint64_t>(options_.stopAfterFrames)) {
      Hold();
      return;
    }
    Bytes piece;
    if (kind_ == StreamKind::kH264) {
      const auto& units = server_.library().H264();
      piece = units[(start_ + sent_) % units.size()];
    } else {
      const FrameSet& set = fault_ == Fault::kBigFrame ? server_.library().BigFrames() : *camera_.frames;
      piece = set.parts[(start_ + sent_) % set.parts.size()];
    }
    camera_.stats.frames.fetch_add(1);
    if (fault_ == Fault::kCloseMidFrame && sent_ >= 2) {
      Send({Piece{piece, 0, piece->size() / 2}}, [self = this->shared_from_this()] { self->Close(); });
      return;
    }
    Send({Whole(piece)}, [self = this->shared_from_this()] {
      ++self->sent_;
      self->ScheduleNext();
    });
  }

  void ScheduleNext() {
    if (period_ == Clock::duration::zero()) {
      // As fast as the peer takes them, but through the queue so other connections run.
      asio::post(socket_.get_executor(), [self = this->shared_from_this()] { self->StreamNext(); });
      return;
    }
    // Paced: a peer that falls behind gets the next frame at once, never a backlog.
    due_ += period_;
    const auto now = Clock::now();
    if (due_ < now) due_ = now;
    timer_.expires_at(due_);
    timer_.async_wait([self = this->shared_from_this()](const asio::error_code& ec) {
      if (!ec) self->StreamNext();
    });
  }

  Stream socket_;
  asio::steady_timer timer_;     // pacing, holds, slow bytes
  asio::steady_timer deadline_;  // time-out of the current read or write
  Camera& camera_;
  Server& server_;
  const Options& options_;
  asio::streambuf request_;
  Request req_;
  std::array<char, 512> scratch_{};
  Fault fault_ = Fault::kNone;
  bool slow_ = false;
  bool closed_ = false;
  StreamKind kind_ = StreamKind::kMjpeg;
  Clock::duration period_{};
  Clock::time_point due_{};
  uint64_t start_ = 0;
  uint64_t sent_ = 0;
  Bytes slowData_;
  size_t slowPos_ = 0;
  std::function<void()> slowThen_;
};

}  // namespace

Server::Server(asio::io_context& io, const Options& options, FrameLibrary& library)
    : io_(io),
      options_(options),
      library_(library),
      digest_(options.auth, options.user, options.password, options.nonceMs) {}

bool Server::Listen(std::string& error) {
  bool anyTls = false;
  for (const CameraOptions& co : options_.camera) anyTls = anyTls || co.tls;
  if (anyTls && !MakeTlsContexts(options_, tls_, error)) return false;
  for (int i = 0; i < options_.cameras; ++i) {
    const CameraOptions& co = options_.camera[static_cast<size_t>(i)];
    auto camera = std::make_unique<Camera>(io_, i, co);
    camera->frames = &library_.Frames(co);
    asio::error_code ec;
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), co.port);
    camera->acceptor.open(endpoint.protocol(), ec);
    if (!ec) camera->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) camera->acceptor.bind(endpoint, ec);
    if (!ec) camera->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      error = "camera " + std::to_string(i) + ": cannot listen on 127.0.0.1:" + std::to_string(co.port) + ": " +
              ec.message();
      return false;
    }
    camera->port = camera->acceptor.local_endpoint(ec).port();
    cameras_.push_back(std::move(camera));
  }
  return true;
}

void Server::Start() {
  for (auto& camera : cameras_) Accept(*camera);
}

void Server::Stop() {
  stopped_ = true;
  for (auto& camera : cameras_) {
    // Runs on the io thread(s) through post, so no accept handler races the close.
    asio::post(io_, [c = camera.get()] {
      asio::error_code ignored;
      c->acceptor.close(ignored);
      c->retry.cancel();
    });
  }
}

void Server::Track(const std::shared_ptr<Closable>& connection) {
  std::lock_guard<std::mutex> lock(trackLock_);
  // Forget finished connections now and then, so the list stays as long as the live set.
  if (tracked_.size() >= 64 && tracked_.size() == tracked_.capacity()) {
    tracked_.erase(std::remove_if(tracked_.begin(), tracked_.end(), [](const auto& w) { return w.expired(); }),
                   tracked_.end());
  }
  tracked_.push_back(connection);
}

void Server::Shutdown() {
  stopped_ = true;
  for (auto& camera : cameras_) {
    asio::error_code ignored;
    camera->acceptor.close(ignored);
    camera->retry.cancel();
  }
  std::vector<std::shared_ptr<Closable>> live;
  {
    std::lock_guard<std::mutex> lock(trackLock_);
    for (const auto& w : tracked_) {
      if (auto c = w.lock()) live.push_back(std::move(c));
    }
    tracked_.clear();
  }
  for (const auto& c : live) c->CloseNow();
  live.clear();
  // The aborted operations complete and release their connections.
  io_.restart();
  io_.run_for(std::chrono::seconds(2));
}

void Server::Accept(Camera& camera) {
  if (stopped_) return;
  camera.acceptor.async_accept(asio::make_strand(io_), [this, &camera](const asio::error_code& ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || stopped_) return;
    if (ec) {
      // Out of descriptors and the like: try again shortly instead of spinning.
      camera.retry.expires_after(std::chrono::milliseconds(100));
      camera.retry.async_wait([this, &camera](const asio::error_code& wec) {
        if (!wec) Accept(camera);
      });
      return;
    }
    camera.stats.accepted.fetch_add(1);
    if (camera.options.fault == Fault::kRefuse || camera.stats.active.load() >= options_.maxConnections) {
      camera.stats.refused.fetch_add(1);
      asio::error_code ignored;
      socket.close(ignored);
    } else {
      asio::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      if (camera.options.tls) {
        // After --tls-switch-after handshakes the camera presents its second certificate.
        const uint64_t handshakes = camera.handshakes.fetch_add(1);
        asio::ssl::context& context =
            options_.tlsSwitchAfter > 0 && handshakes >= static_cast<uint64_t>(options_.tlsSwitchAfter) ? *tls_.second
                                                                                                         : *tls_.first;
        auto connection = std::make_shared<Connection<asio::ssl::stream<tcp::socket>>>(camera, *this, std::move(socket), context);
        Track(connection);
        connection->Start();
      } else {
        auto connection = std::make_shared<Connection<tcp::socket>>(camera, *this, std::move(socket));
        Track(connection);
        connection->Start();
      }
    }
    Accept(camera);
  });
}

std::string Server::StatsLine(const Camera& camera) const {
  char line[256];
  std::snprintf(line, sizeof line,
                "camera=%d port=%u accepted=%llu refused=%llu requests=%llu frames=%llu bytes=%llu active=%d "
                "challenges=%llu unasked=%llu",
                camera.index, camera.port, static_cast<unsigned long long>(camera.stats.accepted.load()),
                static_cast<unsigned long long>(camera.stats.refused.load()),
                static_cast<unsigned long long>(camera.stats.requests.load()),
                static_cast<unsigned long long>(camera.stats.frames.load()),
                static_cast<unsigned long long>(camera.stats.bytes.load()), camera.stats.active.load(),
                static_cast<unsigned long long>(camera.stats.challenges.load()),
                static_cast<unsigned long long>(camera.stats.unasked.load()));
  return line;
}

}  // namespace camsim
