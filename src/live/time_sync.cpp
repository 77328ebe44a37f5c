#include "live/time_sync.h"

#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "app/helpers.h"
#include "app/log.h"
#include "app/messages.h"
#include "live/http_get.h"
#include "live/tls.h"
#include "model/group_record.h"
#include "platform/clock.h"
#include "platform/curl.h"

namespace velmora {

namespace {

constexpr const char* kSyncUserAgent = "Velmora NVR/1.0";
constexpr long kConnectTimeoutMs = 10000;
constexpr long kRequestTimeoutMs = 30000;
constexpr std::size_t kMaxAnswerBytes = 64 * 1024;
constexpr std::size_t kMaxBodyChars = 2047;

// Syncs in flight. Never destroyed: a detached sync thread may still end while the
// process exits.
struct Running {
  std::mutex lock;
  std::condition_variable done;
  int count = 0;  // guarded by lock
};
Running& running() {
  static auto* instance = new Running;
  return *instance;
}

// The camera's answer body is not used; a bounded amount is read and dropped.
size_t DiscardBody(char*, size_t size, size_t count, void* user) {
  auto* total = static_cast<std::size_t*>(user);
  *total += size * count;
  return *total > kMaxAnswerBytes ? CURL_WRITEFUNC_ERROR : size * count;
}

// The script's URL on the host of url: same scheme, host and port.
bool AdminUrl(const std::string& url, std::string& admin) {
  const platform::CurlUrl parsed = platform::ParseUrl(url, CURLU_NON_SUPPORT_SCHEME);
  std::string host;
  if (!parsed || !platform::UrlPart(parsed.get(), CURLUPART_HOST, 0, host)) return false;
  curl_url_set(parsed.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(parsed.get(), CURLUPART_PASSWORD, nullptr, 0);
  curl_url_set(parsed.get(), CURLUPART_FRAGMENT, nullptr, 0);
  if (curl_url_set(parsed.get(), CURLUPART_PATH, "/admin.cgi", 0) != CURLUE_OK ||
      curl_url_set(parsed.get(), CURLUPART_QUERY, "datetime", 0) != CURLUE_OK)
    return false;
  return platform::UrlPart(parsed.get(), CURLUPART_URL, 0, admin);
}

// One send of the request; the HTTP status, or -1 after logging the failure.
long SendOnce(CURL* curl) {
  std::size_t answered = 0;
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DiscardBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answered);
  const CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (status == 0) {
    http_log_failure(code != CURLE_OK ? "HttpSendRequest" : "HttpQueryInfo", static_cast<unsigned>(code));
    return -1;
  }
  return status;
}

}  // namespace

std::string TimeSyncBody(const std::tm& local) {
  char date[32];
  char time[32];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  std::strftime(time, sizeof time, "%H:%M:%S", &local);
  std::string body = std::string("mode=manual&date=") + date + "&time=" + time;
  if (body.size() > kMaxBodyChars) body.resize(kMaxBodyChars);
  return body;
}

int time_sync_post(const std::string& url, const std::string& username, const std::string& password,
                   const std::string& certificate) {
  if (url.compare(0, 7, "file://") == 0) return kTimeSyncFailed;
  if (!platform::CurlReady()) {
    http_log_failure("InternetOpen", CURLE_FAILED_INIT);
    return kTimeSyncFailed;
  }
  std::string admin;
  if (!AdminUrl(url, admin)) {
    http_log_failure("InternetCrackUrl", CURLE_URL_MALFORMAT);
    return kTimeSyncFailed;
  }
  platform::CurlEasy curl(curl_easy_init());
  if (!curl) {
    http_log_failure("HttpOpenRequest", CURLE_OUT_OF_MEMORY);
    return kTimeSyncFailed;
  }

  // The time is taken once, before the first send.
  const std::time_t now = platform::WallSeconds();
  std::tm local{};
  localtime_r(&now, &local);
  const std::string body = TimeSyncBody(local);

  platform::CurlList headers(
      curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded"));
  if (headers) {
    // Small bodies go out at once, without waiting for a "100 Continue".
    curl_slist* more = curl_slist_append(headers.get(), "Expect:");
    if (more == nullptr) headers.reset();
  }
  if (!headers) {
    http_log_failure("HttpOpenRequest", CURLE_OUT_OF_MEMORY);
    return kTimeSyncFailed;
  }

  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, admin.c_str());
  curl_easy_setopt(h, CURLOPT_USERAGENT, kSyncUserAgent);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, kRequestTimeoutMs);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOPROXY, "127.0.0.1,localhost,::1");
  curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  ConfigureCurlTls(h, admin, certificate);

  long status = SendOnce(h);
  if (status == 401) {
    Log("HTTP_STATUS_DENIED");
    // Whichever the camera asks for: Basic, or Digest with a fresh nonce.
    curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
    curl_easy_setopt(h, CURLOPT_USERNAME, username.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, password.c_str());
    status = SendOnce(h);
    if (status == 401) return kTimeSyncDenied;
  }
  return status == 200 ? kTimeSyncOk : kTimeSyncFailed;
}

void time_sync_thread(const std::string& url, const std::string& username, const std::string& password,
                      const std::string& certificate) {
  const int result = time_sync_post(url, username, password, certificate);
  if (result == kTimeSyncDenied) {
    PostStatus("Unable to sync device time, authentication failure.");
  } else if (result != kTimeSyncOk) {
    PostStatus("Unable to sync device time.");
  } else {
    PostStatus("Synced time on " + url + ".");
  }
}

void time_sync_check(GroupRecord& record) {
  time_sync_check(record, static_cast<int64_t>(platform::WallSeconds()));
}

void time_sync_check(GroupRecord& record, int64_t nowSeconds) {
  if (!record.syncTime) return;
  if (nowSeconds - kTimeSyncIntervalSeconds < record.lastTimeSync) return;
  // The next attempt is due 12 hours later whatever the outcome.
  record.lastTimeSync = nowSeconds;
  // The job carries copies: the thread reads nothing from the record. DeviceUrl may
  // rewrite `location`, which the fetch engine's workers read under fetchLock.
  std::string url;
  std::string location;
  {
    std::lock_guard<std::mutex> guard(record.fetchLock);
    url = DeviceUrl(record);
    location = record.location;
  }
  std::string username = record.username;
  std::string password = record.password;
  std::string certificate = record.certificate;
  Log("Synchronizing time on %s", UrlWithoutPassword(location).c_str());
  {
    std::lock_guard<std::mutex> guard(running().lock);
    ++running().count;
  }
  try {
    std::thread([url = std::move(url), username = std::move(username), password = std::move(password),
                 certificate = std::move(certificate)] {
      time_sync_thread(url, username, password, certificate);
      Running& r = running();
      {
        std::lock_guard<std::mutex> guard(r.lock);
        --r.count;
      }
      r.done.notify_all();
    }).detach();
  } catch (const std::system_error& error) {
    Log("time_sync_check: thread creation failed (%s)", error.what());
    std::lock_guard<std::mutex> guard(running().lock);
    --running().count;
  }
}

int TimeSyncRunning() {
  std::lock_guard<std::mutex> guard(running().lock);
  return running().count;
}

bool WaitTimeSyncIdle(std::chrono::milliseconds timeout) {
  Running& r = running();
  std::unique_lock<std::mutex> guard(r.lock);
  return r.done.wait_for(guard, timeout, [&r] { return r.count == 0; });
}

}  // namespace velmora
