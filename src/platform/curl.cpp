#include "platform/curl.h"

#include <mutex>

namespace velmora::platform {

bool CurlReady() {
  static std::once_flag once;
  static CURLcode result = CURLE_FAILED_INIT;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

CurlUrl ParseUrl(const std::string& text, unsigned flags, CURLUcode* code) {
  CurlUrl parsed(curl_url());
  if (!parsed) {
    if (code != nullptr) *code = CURLUE_OUT_OF_MEMORY;
    return nullptr;
  }
  const CURLUcode result = curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), flags);
  if (code != nullptr) *code = result;
  if (result != CURLUE_OK) return nullptr;
  return parsed;
}

bool UrlPart(CURLU* url, CURLUPart part, unsigned flags, std::string& out) {
  char* raw = nullptr;
  if (url == nullptr || curl_url_get(url, part, &raw, flags) != CURLUE_OK || raw == nullptr) {
    curl_free(raw);
    return false;
  }
  CurlText text(raw);
  out = text.get();
  return true;
}

}  // namespace velmora::platform
