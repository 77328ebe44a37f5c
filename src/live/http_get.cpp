#include "live/http_get.h"

#include "app/application.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <new>
#include <string_view>

#include "app/helpers.h"
#include "app/log.h"
#include "platform/curl.h"

namespace velmora {

namespace {


std::mutex g_clientMutex;
HttpClientOptions g_options;  // guarded by g_clientMutex
bool g_clientOpen = false;    // guarded by g_clientMutex

// Error bodies are not kept; a server that sends more than this with an error status
// is cut off (the status is already known).
constexpr uint64_t kMaxDiscardedBytes = 1024 * 1024;

using platform::CurlEasy;
using platform::CurlList;
using platform::CurlUrl;

// One request in progress, seen by the libcurl callbacks.
struct Transfer {
  CURL* curl = nullptr;
  uint64_t maxBody = 0;
  std::vector<uint8_t> body;
  int lastStatus = 0;  // from the newest status line (redirects and challenges send several)
  std::string reason;
  uint64_t discarded = 0;
  bool tooLarge = false;
  bool noMemory = false;
  const std::function<bool()>* abandon = nullptr;
  bool abandoned = false;
};

// The progress callback: asks whether the caller gives the request up.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  if (t->abandon != nullptr && (*t->abandon)()) {
    t->abandoned = true;
    return 1;
  }
  return 0;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t length = size * count;
  std::string_view line(data, length);
  if (line.substr(0, 5) == "HTTP/") {
    // "HTTP/1.1 404 Not Found": a new response begins; forget the previous one's body.
    const size_t sp = line.find(' ');
    int status = 0;
    size_t i = sp == std::string_view::npos ? line.size() : sp + 1;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && status < 100000; ++i) {
      status = status * 10 + (line[i] - '0');
    }
    while (i < line.size() && line[i] == ' ') ++i;
    std::string_view reason = line.substr(i);
    while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n')) reason.remove_suffix(1);
    t->lastStatus = status;
    t->reason.assign(reason.substr(0, 1024));
    t->body.clear();
  }
  return length;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t length = size * count;
  long status = 0;
  curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    t->discarded += length;
    return t->discarded > kMaxDiscardedBytes ? CURL_WRITEFUNC_ERROR : length;
  }
  if (t->body.empty()) {
    curl_off_t declared = -1;
    curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
    if (declared > 0 && static_cast<uint64_t>(declared) > t->maxBody) {
      t->tooLarge = true;
      return CURL_WRITEFUNC_ERROR;
    }
    if (declared > 0) {
      try {
        t->body.reserve(static_cast<size_t>(declared));
      } catch (const std::bad_alloc&) {
        t->noMemory = true;
        return CURL_WRITEFUNC_ERROR;
      }
    }
  }
  if (t->body.size() + length > t->maxBody) {
    t->tooLarge = true;
    return CURL_WRITEFUNC_ERROR;
  }
  try {
    t->body.insert(t->body.end(), reinterpret_cast<const uint8_t*>(data),
                   reinterpret_cast<const uint8_t*>(data) + length);
  } catch (const std::bad_alloc&) {
    t->noMemory = true;
    return CURL_WRITEFUNC_ERROR;
  }
  bytesReceived().fetch_add(length, std::memory_order_relaxed);
  return length;
}

void ApplyOptions(CURL* curl, const HttpClientOptions& o) {
  curl_easy_setopt(curl, CURLOPT_USERAGENT, o.userAgent.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, o.connectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, o.requestTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, o.stallTimeoutS);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  // Loopback never goes through a configured proxy.
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "127.0.0.1,localhost,::1");
}

// The path and query of a parsed URL, for the log lines that name the request.
std::string RequestPath(CURLU* url) {
  std::string path;
  platform::UrlPart(url, CURLUPART_PATH, 0, path);
  std::string query;
  if (platform::UrlPart(url, CURLUPART_QUERY, 0, query)) path += "?" + query;
  return path;
}

HttpResult ReadLocalFile(const std::string& path, uint64_t maxBytes) {
  HttpResult result;
  // Non-blocking open so that a named pipe cannot hold the caller; only regular files
  // are read.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    result.status = 404;
    return result;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    LogLastError("fstat");
    close(fd);
    result.status = 500;
    return result;
  }
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxBytes) {
    Log("http_get: %s is not a regular file of at most %llu bytes", path.c_str(),
        static_cast<unsigned long long>(maxBytes));
    close(fd);
    result.status = 500;
    return result;
  }
  try {
    result.body.resize(static_cast<size_t>(st.st_size));
  } catch (const std::bad_alloc&) {
    close(fd);
    result.status = 500;
    return result;
  }
  size_t done = 0;
  while (done < result.body.size()) {
    const ssize_t n = read(fd, result.body.data() + done, result.body.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      LogLastError("read");
      close(fd);
      result.body.clear();
      result.status = 500;
      return result;
    }
    if (n == 0) break;  // the file shrank meanwhile: keep what was there
    done += static_cast<size_t>(n);
  }
  result.body.resize(done);
  close(fd);
  result.status = 200;
  return result;
}

}  // namespace

// The same counter the throughput meter reads.
std::atomic<uint64_t>& receivedBytes() { return bytesReceived(); }

bool http_client_open(const HttpClientOptions& options) {
  if (!platform::CurlReady()) {
    LogInternetError("InternetOpen", CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT));
    return false;
  }
  std::lock_guard<std::mutex> lock(g_clientMutex);
  g_options = options;
  g_clientOpen = true;
  return true;
}

void http_client_close() {
  std::lock_guard<std::mutex> lock(g_clientMutex);
  g_clientOpen = false;
}

bool http_client_is_open() {
  std::lock_guard<std::mutex> lock(g_clientMutex);
  return g_clientOpen;
}

HttpClientOptions http_client_options() {
  std::lock_guard<std::mutex> lock(g_clientMutex);
  return g_options;
}

void http_log_failure(const char* name, unsigned code) {
  LogInternetError(name, code, code != 0 ? curl_easy_strerror(static_cast<CURLcode>(code)) : nullptr);
}

bool http_configure_handle(void* curlEasy) {
  HttpClientOptions options;
  {
    std::lock_guard<std::mutex> lock(g_clientMutex);
    if (!g_clientOpen) return false;
    options = g_options;
  }
  ApplyOptions(static_cast<CURL*>(curlEasy), options);
  return true;
}

namespace {

// Splits a request's URL: its lower-case scheme and its path and query for the log lines.
// Null, the failure logged, when it cannot be parsed.
CurlUrl ParseRequestUrl(const std::string& url, std::string& scheme, std::string& path) {
  CURLUcode parseCode = CURLUE_OK;
  CurlUrl parsed = platform::ParseUrl(url, CURLU_NON_SUPPORT_SCHEME, &parseCode);
  if (parseCode == CURLUE_OUT_OF_MEMORY) {
    http_log_failure("InternetCrackUrl", CURLE_OUT_OF_MEMORY);
    return nullptr;
  }
  if (!parsed) {
    LogInternetError("InternetCrackUrl", static_cast<unsigned>(parseCode), curl_url_strerror(parseCode));
    return nullptr;
  }
  platform::UrlPart(parsed.get(), CURLUPART_SCHEME, 0, scheme);
  scheme = AsciiLower(scheme);
  path = RequestPath(parsed.get());
  return parsed;
}

// The request headers: always from the server, never from or into a cache. Null when
// they cannot be allocated.
CurlList NoCacheHeaders() {
  CurlList headers;
  curl_slist* list = curl_slist_append(nullptr, "Cache-Control: no-cache");
  if (list != nullptr) {
    headers.reset(list);
    if (curl_slist_append(list, "Pragma: no-cache") == nullptr) headers.reset();
  }
  return headers;
}

// Sets up a GET of `url` on the handle: the client's options, the headers, the
// credentials (sent only when the server asks), the callbacks that fill `transfer`, and
// the progress callback when the caller may give the request up.
void SetUpRequest(CURL* curl, const HttpClientOptions& options, CURLU* url, curl_slist* headers,
                  const std::string& username, const std::string& password, Transfer& transfer,
                  char* errorText, const std::function<bool()>& abandon) {
  transfer.curl = curl;
  transfer.maxBody = options.maxBodyBytes;
  ApplyOptions(curl, options);
  curl_easy_setopt(curl, CURLOPT_CURLU, url);
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (!username.empty() || !password.empty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, username.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
  }
  // More than one method: the first request goes without credentials and they are sent
  // only when the server asks for them.
  curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  if (abandon) {
    transfer.abandon = &abandon;
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  }
}

// What a finished transfer gives the caller: the body only with status 200 and a body
// that arrived whole; a failure status as the server sent it; -1 when no answer came, the
// body broke off or the caller gave the request up. Each failure is logged with `path`.
HttpResult TransferResult(CURL* curl, CURLcode code, Transfer& transfer, const char* errorText,
                          const std::string& path) {
  HttpResult result;  // status -1, no body
  if (transfer.abandoned) {
    Log("http_get: given up for newer work; url=%s", path.c_str());
    return result;
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  const char* text = errorText[0] != 0 ? errorText : curl_easy_strerror(code);

  if (status == 0) {
    // No response: nothing connected, nothing sent, or nothing came back in time.
    LogInternetError("HttpSendRequest", static_cast<unsigned>(code), text);
    Log("url=%s", path.c_str());
    return result;
  }
  if (status != 200) {
    Log("url=%s, error=%d/%s", path.c_str(), static_cast<int>(status), transfer.reason.c_str());
    result.status = static_cast<int>(status);
    return result;
  }
  result.status = 200;
  if (transfer.tooLarge || transfer.noMemory) {
    // The body cannot be held: status 200 without a body, which callers do not use.
    Log("http_get: body dropped (%s); url=%s", transfer.tooLarge ? "over the size limit" : "out of memory",
        path.c_str());
    return result;
  }
  if (code != CURLE_OK) {
    // The body broke off (connection lost, shorter than announced, too slow): a partial
    // body must not pass for the whole one.
    LogInternetError("InternetReadFile", static_cast<unsigned>(code), text);
    Log("url=%s", path.c_str());
    result.status = -1;
    return result;
  }
  result.body = std::move(transfer.body);
  return result;
}

}  // namespace

HttpResult http_get(const std::string& url, const std::string& username, const std::string& password,
                    long timeoutMs, const std::function<bool()>& abandon) {
  HttpResult result;  // status -1, no body

  HttpClientOptions options;
  bool open = false;
  {
    std::lock_guard<std::mutex> lock(g_clientMutex);
    open = g_clientOpen;
    options = g_options;
  }
  if (timeoutMs > 0 && timeoutMs < options.requestTimeoutMs) options.requestTimeoutMs = timeoutMs;

  if (url.compare(0, 7, "file://") == 0) return ReadLocalFile(url.substr(7), options.maxBodyBytes);

  std::string scheme;
  std::string path;
  const CurlUrl parsed = ParseRequestUrl(url, scheme, path);
  if (!parsed) return result;
  if (!open) {
    LogInternetError("InternetConnect", CURLE_FAILED_INIT, "the HTTP client is not open");
    return result;
  }
  if (scheme != "http" && scheme != "https") {
    LogInternetError("InternetConnect", CURLE_UNSUPPORTED_PROTOCOL, curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL));
    return result;
  }

  CurlEasy curl(curl_easy_init());
  if (!curl) {
    http_log_failure("HttpOpenRequest", CURLE_OUT_OF_MEMORY);
    return result;
  }
  const CurlList headers = NoCacheHeaders();
  if (!headers) {
    http_log_failure("HttpOpenRequest", CURLE_OUT_OF_MEMORY);
    return result;
  }
  Transfer transfer;
  char errorText[CURL_ERROR_SIZE] = {0};
  SetUpRequest(curl.get(), options, parsed.get(), headers.get(), username, password, transfer, errorText, abandon);
  const CURLcode code = curl_easy_perform(curl.get());
  return TransferResult(curl.get(), code, transfer, errorText, path);
}

}  // namespace velmora
