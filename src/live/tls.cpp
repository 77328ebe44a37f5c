#include "live/tls.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <atomic>
#include <mutex>

#include "app/helpers.h"
#include "app/log.h"
#include "live/fetch.h"
#include "live/stream.h"
#include "model/group_record.h"
#include "platform/curl.h"

namespace velmora {

namespace {

// Fingerprints pinned by workers and not yet kept by the main thread.
std::atomic<int> g_firstSeenPending{0};

// The pin of the clock sync running on this thread (one transfer at a time each).
struct CurlPin {
  std::string fingerprint;
  std::string host;
};
thread_local CurlPin t_curlPin;

// libcurl's verification step replaced: the pinned certificate is accepted as it is;
// any other must verify against the authorities for the host name.
int VerifyPinned(X509_STORE_CTX* store, void* arg) {
  const auto* pin = static_cast<const CurlPin*>(arg);
  X509* leaf = X509_STORE_CTX_get0_cert(store);
  if (leaf != nullptr && !pin->fingerprint.empty() && CertificateFingerprint(leaf) == pin->fingerprint) return 1;
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
  if (param != nullptr && !pin->host.empty()) {
    if (X509_VERIFY_PARAM_set1_ip_asc(param, pin->host.c_str()) != 1)
      X509_VERIFY_PARAM_set1_host(param, pin->host.c_str(), pin->host.size());
  }
  return X509_verify_cert(store) == 1 ? 1 : 0;
}

CURLcode OnCurlSslContext(CURL*, void* sslContext, void* arg) {
  SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslContext), &VerifyPinned, arg);
  return CURLE_OK;
}

std::string UrlHost(const std::string& url) {
  std::string host;
  const platform::CurlUrl parsed = platform::ParseUrl(url, 0);
  if (parsed) platform::UrlPart(parsed.get(), CURLUPART_HOST, 0, host);
  return host;
}

}  // namespace

bool IsHttpsUrl(const std::string& url) { return StartsWithNoCase(url, "https://"); }

std::string CertificateFingerprint(const void* certificate) {
  if (certificate == nullptr) return {};
  std::array<unsigned char, EVP_MAX_MD_SIZE> hash{};
  unsigned int length = 0;
  if (X509_digest(static_cast<const X509*>(certificate), EVP_sha256(), hash.data(), &length) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[hash[i] >> 4];
    out += kHex[hash[i] & 15];
  }
  return out;
}

bool IsFingerprintText(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

TrustVerdict DecideTrust(bool systemVerified, const std::string& kept, const std::string& seen) {
  if (systemVerified) return TrustVerdict::kSystem;
  if (kept.empty()) return TrustVerdict::kFirstUse;
  // The file may hold upper-case digits written by hand.
  if (EqualsNoCase(kept, seen)) return TrustVerdict::kPinned;
  return TrustVerdict::kChanged;
}

bool AcceptPeerCertificate(GroupRecord& record, bool systemVerified, const std::string& seen) {
  if (seen.empty()) {
    Log("no certificate from %s [%s]", record.name.c_str(), UrlWithoutPassword(record.location).c_str());
    ReportFetchState(record, true, kTlsHandshakeFailedText);
    return false;
  }
  const std::string& kept = record.certificate.empty() ? record.live.certificateFirstSeen : record.certificate;
  switch (DecideTrust(systemVerified, kept, seen)) {
    case TrustVerdict::kSystem:
    case TrustVerdict::kPinned:
      record.live.certificateRefused.clear();
      return true;
    case TrustVerdict::kFirstUse:
      LogDeviceLevel(0, record.debugLevel, "certificate of %s [%s] kept on first use: sha256 %s", record.name.c_str(),
                     UrlWithoutPassword(record.location).c_str(), seen.c_str());
      record.live.certificateFirstSeen = seen;
      record.live.certificateRefused.clear();
      g_firstSeenPending.fetch_add(1, std::memory_order_relaxed);
      return true;
    case TrustVerdict::kChanged:
      break;
  }
  if (record.live.certificateRefused != seen) {
    record.live.certificateRefused = seen;
    Log("certificate of %s [%s] changed: sha256 %s, expected %s; refused until it is trusted", record.name.c_str(),
        UrlWithoutPassword(record.location).c_str(), seen.c_str(), kept.c_str());
  }
  // Reconnects wait as after refused credentials.
  record.live.accessRefused = true;
  ReportFetchState(record, true, kCertificateChangedText);
  return false;
}

bool KeepFirstSeenCertificate(GroupRecord& record) {
  if (g_firstSeenPending.load(std::memory_order_relaxed) == 0) return false;
  std::unique_lock<std::mutex> guard(record.fetchLock, std::try_to_lock);
  if (!guard.owns_lock() || record.live.certificateFirstSeen.empty()) return false;
  if (record.certificate.empty()) record.certificate = record.live.certificateFirstSeen;
  record.live.certificateFirstSeen.clear();
  g_firstSeenPending.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

bool CertificateChangeSeen(GroupRecord& record) {
  std::lock_guard<std::mutex> guard(record.fetchLock);
  return !record.live.certificateRefused.empty();
}

bool TrustNewCertificate(GroupRecord& record) {
  {
    std::lock_guard<std::mutex> guard(record.fetchLock);
    if (record.live.certificateRefused.empty()) return false;
    Log("certificate of %s [%s] no longer kept: the next connection keeps the one it finds", record.name.c_str(),
        UrlWithoutPassword(record.location).c_str());
    record.certificate.clear();
    if (!record.live.certificateFirstSeen.empty()) {
      record.live.certificateFirstSeen.clear();
      g_firstSeenPending.fetch_sub(1, std::memory_order_relaxed);
    }
    record.live.certificateRefused.clear();
    record.live.accessRefused = false;
  }
  if (record.fetchActive) viewthread_iocp(record);
  return true;
}

void ConfigureCurlTls(CURL* curl, const std::string& url, const std::string& pinned) {
  if (!IsHttpsUrl(url)) return;
  t_curlPin.fingerprint = IsFingerprintText(pinned) ? AsciiLower(pinned) : std::string();
  t_curlPin.host = UrlHost(url);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  if (t_curlPin.fingerprint.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    return;
  }
  // The host name is checked in VerifyPinned for certificates other than the pinned one.
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &OnCurlSslContext);
  curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &t_curlPin);
}

}  // namespace velmora
