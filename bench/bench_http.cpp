// HTTP server throughput and latency on 127.0.0.1, next to nginx serving the same bytes
// as static files in the same run. wrk drives both with one request per connection
// ("Connection: close"). Figures: requests per second and latency (average, 50th, 90th
// and 99th percentile) for a device's newest image (about 45 KB) and for one record
// ("vljpeg", the same image with its 52 bytes of framing).
//
// Needs the wrk and nginx programs; a part whose program is missing is skipped with a
// note. nginx gets its own configuration, prefix and temp folders under a temporary
// folder, listens on 127.0.0.1 only, and is ended by its PID.
//
// Then the server under attack, with its default limits: an ordinary client on
// 127.0.0.1 (4 threads, one request per connection, the newest image) measured quiet and
// while attackers on 127.0.0.2 to 127.0.0.11 trickle requests a byte every 2 s and
// reconnect whenever closed (8 addresses, 40 connections each), or ask for an 8 MB file
// and never read it (2 addresses, 40 each). Figures: the client's answered requests per
// second, its 99th-percentile latency and its failures, quiet and under attack. The
// attack is bounded by the run's time and ends by itself.
//
// Usage: bench_http [seconds per run, default 5] [connections, default 32] [nolog]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/log.h"
#include "model/group_record.h"
#include "net/http_listing.h"
#include "net/http_server.h"
#include "recording/format.h"

namespace {

using namespace velmora;
namespace fs = std::filesystem;

constexpr int32_t kTime = 1796738709;  // 2026-12-08 14:05:09 UTC
constexpr std::size_t kImageBytes = 45000;

struct RunResult {
  bool ok = false;
  double requestsPerSecond = 0;
  std::string latencyAverage, p50, p90, p99;
  long errors = 0;
};

bool HaveProgram(const char* name) {
  const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::string Capture(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

RunResult RunWrk(const std::string& url, int seconds, int connections) {
  RunResult result;
  const std::string command = "wrk -t1 -c" + std::to_string(connections) + " -d" + std::to_string(seconds) +
                              "s --timeout 5s --latency -H 'Connection: close' '" + url + "' 2>&1";
  const std::string out = Capture(command);
  std::smatch m;
  if (std::regex_search(out, m, std::regex(R"(Requests/sec:\s+([0-9.]+))"))) {
    result.requestsPerSecond = std::stod(m[1].str());
    result.ok = true;
  }
  if (std::regex_search(out, m, std::regex(R"(Latency\s+(\S+)\s+\S+\s+\S+)"))) result.latencyAverage = m[1].str();
  if (std::regex_search(out, m, std::regex(R"(\n\s+50%\s+(\S+))"))) result.p50 = m[1].str();
  if (std::regex_search(out, m, std::regex(R"(\n\s+90%\s+(\S+))"))) result.p90 = m[1].str();
  if (std::regex_search(out, m, std::regex(R"(\n\s+99%\s+(\S+))"))) result.p99 = m[1].str();
  if (std::regex_search(out, m, std::regex(R"(Non-2xx or 3xx responses:\s+(\d+))"))) result.errors += std::stol(m[1].str());
  if (std::regex_search(out, m, std::regex(R"(Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+))")))
    result.errors += std::stol(m[1].str()) + std::stol(m[3].str()) + std::stol(m[4].str());
  if (!result.ok) std::fprintf(stderr, "wrk output:\n%s\n", out.c_str());
  return result;
}

void Print(const char* label, const RunResult& r) {
  if (!r.ok) {
    std::printf("%-28s  (no result)\n", label);
    return;
  }
  std::printf("%-28s %10.0f req/s   latency avg %-8s p50 %-8s p90 %-8s p99 %-8s errors %ld\n", label,
              r.requestsPerSecond, r.latencyAverage.c_str(), r.p50.c_str(), r.p90.c_str(), r.p99.c_str(), r.errors);
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A free port on 127.0.0.1 for nginx (taken from a socket bound to port 0).
uint16_t FreePort() {
  net::HttpServer probe;
  net::HttpServerConfig c;
  c.bindAddress = "127.0.0.1";
  c.port = 0;
  c.handlerThreads = 1;
  c.askMainThread = false;
  if (!probe.start(c)) return 0;
  const uint16_t port = probe.port();
  probe.stop();
  return port;
}

pid_t StartNginx(const fs::path& prefix, const fs::path& root, uint16_t port) {
  fs::create_directories(prefix / "logs");
  fs::create_directories(prefix / "temp");
  const std::string conf =
      "worker_processes auto;\n"
      "user root root;\n"
      "daemon off;\n"
      "error_log " + (prefix / "logs/error.log").string() + " warn;\n"
      "pid " + (prefix / "nginx.pid").string() + ";\n"
      "events { worker_connections 1024; }\n"
      "http {\n"
      "  access_log off;\n"
      "  sendfile on;\n"
      "  keepalive_timeout 0;\n"
      "  client_body_temp_path " + (prefix / "temp/body").string() + ";\n"
      "  proxy_temp_path " + (prefix / "temp/proxy").string() + ";\n"
      "  fastcgi_temp_path " + (prefix / "temp/fastcgi").string() + ";\n"
      "  uwsgi_temp_path " + (prefix / "temp/uwsgi").string() + ";\n"
      "  scgi_temp_path " + (prefix / "temp/scgi").string() + ";\n"
      "  types { image/jpeg jpg; application/octet-stream bin; }\n"
      "  server {\n"
      "    listen 127.0.0.1:" + std::to_string(port) + ";\n"
      "    root " + root.string() + ";\n"
      "  }\n"
      "}\n";
  WriteBytes(prefix / "nginx.conf", conf);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const std::string confPath = (prefix / "nginx.conf").string();
    const std::string prefixPath = prefix.string() + "/";
    ::execlp("nginx", "nginx", "-p", prefixPath.c_str(), "-c", confPath.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

void StopNginx(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

bool WaitForHttp(uint16_t port, const std::string& path) {
  for (int i = 0; i < 100; ++i) {
    const std::string code = Capture("curl -s -o /dev/null -w '%{http_code}' --max-time 1 'http://127.0.0.1:" +
                                     std::to_string(port) + path + "'");
    if (code == "200") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// --- The server under attack ---------------------------------------------------------

using Clock = std::chrono::steady_clock;

// A TCP connection to 127.0.0.1:port from the loopback address `source`, -1 on failure.
int ConnectFrom(const char* source, uint16_t port, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool PeerGone(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Connections from `source` that each send one byte of a request every two seconds and
// never finish it; one the server closes is replaced at once. `request` non-empty: they
// send it whole and never read the answer instead.
void Attack(std::string source, uint16_t port, int count, std::string request, bool trickle, Clock::time_point end,
            std::atomic<long>& connects) {
  const std::string slow = "GET /nvr.xml HTTP/1.0\r\nX-Filler: " + std::string(1000, 'a') + "\r\n\r\n";
  std::vector<int> fds(static_cast<std::size_t>(count), -1);
  std::vector<std::size_t> sent(fds.size(), 0);
  for (long round = 0; round < 1000000 && Clock::now() < end; ++round) {
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i] >= 0 && PeerGone(fds[i])) {
        ::close(fds[i]);
        fds[i] = -1;
      }
      if (fds[i] < 0) {
        fds[i] = ConnectFrom(source.c_str(), port, trickle ? 0 : 4096);
        sent[i] = 0;
        if (fds[i] < 0) continue;
        ++connects;
        if (!trickle) ::send(fds[i], request.data(), request.size(), MSG_NOSIGNAL);
      }
      if (trickle && round % 100 == 0 && sent[i] < slow.size()) ::send(fds[i], &slow[sent[i]++], 1, MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (int fd : fds)
    if (fd >= 0) ::close(fd);
}

struct ClientResult {
  long answered = 0;
  long failed = 0;
  double seconds = 0;
  double p99Ms = 0;
};

// The ordinary client: `threads` loops of one request per connection from 127.0.0.1,
// each answer read whole (at most 5 s per request), for `seconds`.
ClientResult OrdinaryClient(uint16_t port, const std::string& path, int threads, int seconds) {
  const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(threads));
  std::atomic<long> failed{0};
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(seconds);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::vector<char> buffer(65536);
      for (long n = 0; n < 1000000 && Clock::now() < end; ++n) {
        const Clock::time_point begin = Clock::now();
        const int fd = ConnectFrom("127.0.0.1", port);
        bool ok = false;
        if (fd >= 0 && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
          std::string answer;
          for (int reads = 0; reads < 100000; ++reads) {
            pollfd p{fd, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(begin + std::chrono::seconds(5) - Clock::now());
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
              ok = got == 0 && answer.rfind("HTTP/1.0 200 ", 0) == 0;
              break;
            }
            answer.append(buffer.data(), static_cast<std::size_t>(got));
          }
        }
        if (fd >= 0) ::close(fd);
        if (ok) {
          latencies[static_cast<std::size_t>(t)].push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        } else {
          ++failed;
          std::this_thread::sleep_for(std::chrono::milliseconds(10));  // no busy loop on refusals
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  ClientResult result;
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (const auto& part : latencies) all.insert(all.end(), part.begin(), part.end());
  std::sort(all.begin(), all.end());
  result.answered = static_cast<long>(all.size());
  result.failed = failed.load();
  if (!all.empty()) result.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  return result;
}

void PrintClient(const char* label, const ClientResult& r) {
  std::printf("%-34s %8.0f req/s   p99 %8.2f ms   answered %ld, failed %ld\n", label,
              r.seconds > 0 ? r.answered / r.seconds : 0.0, r.p99Ms, r.answered, r.failed);
}

void RunUnderAttack(net::HttpServer& server, const std::string& imagePath, const std::string& bigPath, int seconds) {
  const uint16_t port = server.port();
  std::printf("under attack: ordinary client on 127.0.0.1, 4 threads, %s, %d s per run\n", imagePath.c_str(), seconds);
  const ClientResult quiet = OrdinaryClient(port, imagePath, 4, seconds);
  PrintClient("ordinary client, quiet", quiet);

  const net::HttpServerStats before = server.stats();
  std::atomic<long> trickleConnects{0}, downloadConnects{0};
  const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds + 2);
  std::vector<std::thread> attackers;
  for (int i = 2; i <= 9; ++i)
    attackers.emplace_back(Attack, "127.0.0." + std::to_string(i), port, 40, std::string(), true, end,
                           std::ref(trickleConnects));
  for (int i = 10; i <= 11; ++i)
    attackers.emplace_back(Attack, "127.0.0." + std::to_string(i), port, 40, "GET " + bigPath + " HTTP/1.0\r\n\r\n",
                           false, end, std::ref(downloadConnects));
  std::this_thread::sleep_for(std::chrono::seconds(1));  // let the attack fill the server
  const std::size_t openAtStart = server.stats().openConnections;
  const ClientResult attacked = OrdinaryClient(port, imagePath, 4, seconds);
  for (auto& attacker : attackers) attacker.join();
  PrintClient("ordinary client, under attack", attacked);
  const net::HttpServerStats after = server.stats();
  std::printf("attack: %zu connections open as the client started; %ld slow-request and %ld download connects; "
              "server: %llu evicted, %llu refused (%llu for their address), %llu timed out\n",
              openAtStart, trickleConnects.load(), downloadConnects.load(),
              static_cast<unsigned long long>(after.evicted - before.evicted),
              static_cast<unsigned long long>(after.refused - before.refused),
              static_cast<unsigned long long>(after.addressRefused - before.addressRefused),
              static_cast<unsigned long long>(after.timedOut - before.timedOut));
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int connections = argc > 2 ? std::max(1, std::atoi(argv[2])) : 32;
  const bool haveWrk = HaveProgram("wrk");
  if (!haveWrk) std::printf("bench_http: wrk is not installed; only the run under attack is measured\n");

  char pattern[] = "/tmp/velmora-bench-http-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path base(pattern);
  const fs::path recordings = base / "rec";
  const fs::path folder = recordings / "Yard" / "Door";
  fs::create_directories(folder);
  // The program logs every record request; "nolog" measures without the log file.
  const bool logging = !(argc > 3 && std::string(argv[3]) == "nolog");
  if (logging) SetLogPath((base / "Velmora NVR.log").string());

  // A few older records, then the newest image of about 45 KB.
  std::string image(kImageBytes, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + 3);
  image[0] = static_cast<char>(0xFF);
  image[1] = static_cast<char>(0xD8);
  image[kImageBytes - 2] = static_cast<char>(0xFF);
  image[kImageBytes - 1] = static_cast<char>(0xD9);
  std::string data, index, lastRecord;
  uint64_t lastOffset = 0;
  for (int i = 0; i < 20; ++i) {
    std::string record(kImageBytes + kRecordOverheadBytes, '\0');
    std::copy(image.begin(), image.end(), record.begin() + kRecordHeaderBytes);
    const RecordTime time = RecordTimeAt(kTime + i, 0);
    FillRecord(reinterpret_cast<uint8_t*>(record.data()), kImageBytes, time, 0, 0);
    uint8_t entry[kIndexEntryBytes];
    MakeIndexEntry(time, data.size()).ToBytes(entry);
    lastOffset = data.size();
    data += record;
    index.append(reinterpret_cast<const char*>(entry), sizeof entry);
    lastRecord = record;
  }
  const std::string key = HourKey(kTime);
  WriteBytes(DataFilePath(folder, key), data);
  WriteBytes(IndexFilePath(folder, key), index);
  // The large file the never-reading attackers ask for.
  const std::string bigPath = "/Yard/Door/" + HourKey(kTime + 3600) + ".vlj";
  WriteBytes(folder / (HourKey(kTime + 3600) + ".vlj"), std::string(8 << 20, 'x'));

  // Our server, as the program runs it but bound to 127.0.0.1.
  auto root = CreateRecord(EntryKind::Root, kRootName);
  auto nvr = CreateRecord(EntryKind::LocalNVR, "All Views");
  InsertEntry(root.get(), nvr);
  auto yard = CreateRecord(EntryKind::Group, "Yard");
  yard->path = "Yard";
  InsertEntry(nvr.get(), yard);
  auto door = CreateRecord(EntryKind::Device, "Door");
  door->path = "Yard/Door";
  door->enabled = door->recording = true;
  InsertEntry(yard.get(), door);
  net::HttpServer server;
  net::HttpServerConfig config;
  config.bindAddress = "127.0.0.1";
  config.port = 0;
  config.askMainThread = false;
  config.treeMaxAge = std::chrono::hours(1);
  if (!server.start(config)) {
    std::printf("bench_http: the server did not start\n");
    return 1;
  }
  server.publishTree(net::TakeTreeSnapshot(root.get(), recordings.string()));
  const std::string ours = "http://127.0.0.1:" + std::to_string(server.port());
  const std::string imagePath = "/Yard/Door/image.jpg";
  const std::string recordPath = "/Yard/Door/vljpeg?file=" + key + ".vlj&offset=" + std::to_string(lastOffset);

  // The same bytes as static files for nginx.
  const fs::path staticRoot = base / "www";
  WriteBytes(staticRoot / "Yard/Door/image.jpg", image);
  WriteBytes(staticRoot / "Yard/Door/record.bin", lastRecord);
  pid_t nginx = -1;
  uint16_t nginxPort = 0;
  if (!haveWrk) {
    // Nothing to compare with.
  } else if (HaveProgram("nginx")) {
    nginxPort = FreePort();
    nginx = StartNginx(base / "nginx", staticRoot, nginxPort);
    if (!WaitForHttp(nginxPort, "/Yard/Door/image.jpg")) {
      std::printf("bench_http: nginx did not answer; see %s\n", (base / "nginx/logs/error.log").c_str());
      StopNginx(nginx);
      nginx = -1;
    }
  } else {
    std::printf("bench_http: nginx is not installed; only this server is measured\n");
  }

  std::printf("bench_http: %d s per run, %d connections, one request per connection, %zu-byte image, log %s\n",
              seconds, connections, kImageBytes, logging ? "on" : "off");
  RunResult ourImage, nginxImage, ourRecord, nginxRecord;
  if (haveWrk) {
    ourImage = RunWrk(ours + imagePath, seconds, connections);
    Print("velmora image.jpg", ourImage);
  }
  if (nginx > 0) {
    nginxImage = RunWrk("http://127.0.0.1:" + std::to_string(nginxPort) + "/Yard/Door/image.jpg", seconds, connections);
    Print("nginx static image.jpg", nginxImage);
  }
  if (haveWrk) {
    ourRecord = RunWrk(ours + recordPath, seconds, connections);
    Print("velmora vljpeg record", ourRecord);
  }
  if (nginx > 0) {
    nginxRecord = RunWrk("http://127.0.0.1:" + std::to_string(nginxPort) + "/Yard/Door/record.bin", seconds, connections);
    Print("nginx static record", nginxRecord);
  }
  if (nginxImage.ok && ourImage.ok)
    std::printf("image.jpg: %.0f%% of nginx's rate\n", 100.0 * ourImage.requestsPerSecond / nginxImage.requestsPerSecond);
  if (nginxRecord.ok && ourRecord.ok)
    std::printf("vljpeg:    %.0f%% of nginx's rate\n", 100.0 * ourRecord.requestsPerSecond / nginxRecord.requestsPerSecond);
  const net::HttpServerStats stats = server.stats();
  std::printf("server: %llu accepted, %llu answered, %llu refused, %llu queue full, %llu timed out\n",
              static_cast<unsigned long long>(stats.accepted), static_cast<unsigned long long>(stats.answered),
              static_cast<unsigned long long>(stats.refused), static_cast<unsigned long long>(stats.queueFull),
              static_cast<unsigned long long>(stats.timedOut));

  StopNginx(nginx);
  RunUnderAttack(server, imagePath, bigPath, seconds);
  server.stop();
  SetLogPath(std::string());
  std::error_code ignored;
  fs::remove_all(base, ignored);
  return 0;
}
