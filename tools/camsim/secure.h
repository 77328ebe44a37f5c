// The fake cameras' security: Digest authentication (challenges with nonces that
// expire, and the check of the client's answer) and the TLS server certificates.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "options.h"

namespace camsim {

// The outcome of checking a request's Authorization value.
enum class AuthResult { kOk, kDenied, kStale };

class DigestAuth {
 public:
  DigestAuth(AuthScheme scheme, std::string user, std::string password, int nonceMs);

  // The WWW-Authenticate value of a fresh challenge.
  std::string Challenge(bool stale) const;
  // Checks "Digest ..." for the request's method and target. A right answer to a
  // nonce older than the lifetime is kStale.
  AuthResult Check(std::string_view authorization, const std::string& method, const std::string& target) const;

 private:
  std::string NewNonce() const;
  // 0 when the nonce was not made here; else its age in milliseconds + 1.
  int64_t NonceAge(const std::string& nonce) const;
  std::string Hash(std::string_view text) const;

  AuthScheme scheme_;
  std::string user_;
  std::string password_;
  int nonceMs_;
  std::string secret_;
};

// The TLS server contexts: the first certificate and the second one a camera switches
// to after --tls-switch-after handshakes.
struct TlsContexts {
  std::unique_ptr<asio::ssl::context> first;
  std::unique_ptr<asio::ssl::context> second;
  std::string firstFingerprint;   // SHA-256 of the certificate, hex
  std::string secondFingerprint;
};

// Builds the contexts from the options' files, or from two self-signed certificates
// made now (EC P-256, for 127.0.0.1 and localhost). False with error on failure.
bool MakeTlsContexts(const Options& options, TlsContexts& out, std::string& error);

}  // namespace camsim
