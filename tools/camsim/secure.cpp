#include "secure.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <map>

namespace camsim {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Hex(const unsigned char* data, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += kHex[data[i] >> 4];
    out += kHex[data[i] & 15];
  }
  return out;
}

std::string HashWith(const EVP_MD* md, std::string_view text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> hash{};
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), hash.data(), &length, md, nullptr);
  return Hex(hash.data(), length);
}

// name=value and name="quoted" items of an Authorization value behind its scheme.
std::map<std::string, std::string> AuthParams(std::string_view text) {
  std::map<std::string, std::string> params;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == ',' || text[i] == '\t')) ++i;
    const size_t nameStart = i;
    while (i < text.size() && text[i] != '=' && text[i] != ',' && text[i] != ' ') ++i;
    std::string name(text.substr(nameStart, i - nameStart));
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (i >= text.size() || text[i] != '=') continue;
    ++i;
    std::string value;
    if (i < text.size() && text[i] == '"') {
      ++i;
      while (i < text.size() && text[i] != '"') {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i++];
      }
      ++i;
    } else {
      while (i < text.size() && text[i] != ',' && text[i] != ' ') value += text[i++];
    }
    if (!name.empty()) params.emplace(std::move(name), std::move(value));
  }
  return params;
}

struct PkeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Deleter {
  void operator()(X509* x) const { X509_free(x); }
};

bool SelfSigned(int serial, std::unique_ptr<EVP_PKEY, PkeyDeleter>& key, std::unique_ptr<X509, X509Deleter>& cert) {
  key.reset(EVP_EC_gen("P-256"));
  cert.reset(X509_new());
  if (!key || !cert) return false;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  const std::string cn = "camsim " + std::to_string(serial);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  X509_EXTENSION* san =
      X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, const_cast<char*>("IP:127.0.0.1,DNS:localhost"));
  if (san == nullptr) return false;
  X509_add_ext(cert.get(), san, -1);
  X509_EXTENSION_free(san);
  return X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
}

std::string Fingerprint(X509* cert) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> hash{};
  unsigned int length = 0;
  X509_digest(cert, EVP_sha256(), hash.data(), &length);
  return Hex(hash.data(), length);
}

std::unique_ptr<asio::ssl::context> ServerContext() {
  auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
  context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3);
  return context;
}

}  // namespace

DigestAuth::DigestAuth(AuthScheme scheme, std::string user, std::string password, int nonceMs)
    : scheme_(scheme), user_(std::move(user)), password_(std::move(password)), nonceMs_(nonceMs) {
  std::array<unsigned char, 16> bytes{};
  RAND_bytes(bytes.data(), static_cast<int>(bytes.size()));
  secret_ = Hex(bytes.data(), bytes.size());
}

std::string DigestAuth::Hash(std::string_view text) const {
  return HashWith(scheme_ == AuthScheme::kDigestSha256 ? EVP_sha256() : EVP_md5(), text);
}

// "<issue time in ms, hex>.<tag>": the tag proves the nonce was made here, so no list of
// nonces is kept.
std::string DigestAuth::NewNonce() const {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%llx", static_cast<unsigned long long>(NowMs()));
  return std::string(stamp) + "." + HashWith(EVP_sha256(), secret_ + stamp).substr(0, 24);
}

int64_t DigestAuth::NonceAge(const std::string& nonce) const {
  const size_t dot = nonce.find('.');
  if (dot == std::string::npos || dot == 0 || dot > 16) return 0;
  const std::string stamp = nonce.substr(0, dot);
  if (HashWith(EVP_sha256(), secret_ + stamp).substr(0, 24) != nonce.substr(dot + 1)) return 0;
  const int64_t issued = static_cast<int64_t>(std::strtoull(stamp.c_str(), nullptr, 16));
  return NowMs() - issued + 1;
}

std::string DigestAuth::Challenge(bool stale) const {
  return std::string("Digest realm=\"camsim\", qop=\"auth\", algorithm=") +
         (scheme_ == AuthScheme::kDigestSha256 ? "SHA-256" : "MD5") + ", nonce=\"" + NewNonce() +
         "\", opaque=\"c2Ftc2lt\"" + (stale ? ", stale=true" : "");
}

AuthResult DigestAuth::Check(std::string_view authorization, const std::string& method,
                             const std::string& target) const {
  if (authorization.size() < 7) return AuthResult::kDenied;
  std::string scheme(authorization.substr(0, 7));
  for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (scheme != "digest ") return AuthResult::kDenied;
  auto p = AuthParams(authorization.substr(7));
  const char* algorithm = scheme_ == AuthScheme::kDigestSha256 ? "SHA-256" : "MD5";
  if (p["username"] != user_ || p["realm"] != "camsim" || p["uri"] != target || p["qop"] != "auth" ||
      p["opaque"] != "c2Ftc2lt" || p["nc"].size() != 8 || p["cnonce"].empty() ||
      (p.count("algorithm") != 0 && p["algorithm"] != algorithm)) {
    return AuthResult::kDenied;
  }
  const int64_t age = NonceAge(p["nonce"]);
  if (age == 0) return AuthResult::kDenied;
  const std::string ha1 = Hash(user_ + ":camsim:" + password_);
  const std::string ha2 = Hash(method + ":" + target);
  const std::string expected =
      Hash(ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2);
  if (expected != p["response"]) return AuthResult::kDenied;
  return age - 1 > nonceMs_ ? AuthResult::kStale : AuthResult::kOk;
}

bool MakeTlsContexts(const Options& options, TlsContexts& out, std::string& error) {
  out.first = ServerContext();
  out.second = ServerContext();
  std::unique_ptr<EVP_PKEY, PkeyDeleter> key;
  std::unique_ptr<X509, X509Deleter> cert;
  if (!options.tlsCert.empty()) {
    asio::error_code ec;
    out.first->use_certificate_chain_file(options.tlsCert, ec);
    if (!ec) out.first->use_private_key_file(options.tlsKey, asio::ssl::context::pem, ec);
    if (ec) {
      error = "cannot use " + options.tlsCert + " / " + options.tlsKey + ": " + ec.message();
      return false;
    }
    if (FILE* f = std::fopen(options.tlsCert.c_str(), "r")) {
      X509* read = PEM_read_X509(f, nullptr, nullptr, nullptr);
      std::fclose(f);
      if (read != nullptr) {
        out.firstFingerprint = Fingerprint(read);
        X509_free(read);
      }
    }
  } else {
    if (!SelfSigned(1, key, cert) || SSL_CTX_use_certificate(out.first->native_handle(), cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(out.first->native_handle(), key.get()) != 1) {
      error = "cannot make the TLS certificate";
      return false;
    }
    out.firstFingerprint = Fingerprint(cert.get());
  }
  if (!SelfSigned(2, key, cert) || SSL_CTX_use_certificate(out.second->native_handle(), cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(out.second->native_handle(), key.get()) != 1) {
    error = "cannot make the second TLS certificate";
    return false;
  }
  out.secondFingerprint = Fingerprint(cert.get());
  return true;
}

}  // namespace camsim
