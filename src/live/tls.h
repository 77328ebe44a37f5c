// HTTPS cameras: the TLS client settings of the live connections and of the clock
// sync, and trust on first use. A certificate that verifies against the system's
// trusted authorities for the camera's host name is accepted as it is; any other is
// pinned by the SHA-256 fingerprint of the camera's own (leaf) certificate the first
// time it is seen, and a later connection presenting another one is refused until the
// user trusts the new certificate.
#pragma once

#include <string>

using CURL = void;

namespace velmora {

struct GroupRecord;

// The status text of a device whose certificate changed.
constexpr const char* kCertificateChangedText = "Certificate changed";
// The status text of a device whose TLS handshake failed.
constexpr const char* kTlsHandshakeFailedText = "TLS handshake failed";

// True for a location or URL that starts with "https://" (any case).
bool IsHttpsUrl(const std::string& url);

// 64 lower-case hexadecimal digits of the SHA-256 of the certificate's DER bytes;
// empty for null. `certificate` is an OpenSSL X509.
std::string CertificateFingerprint(const void* certificate);

// True for a text of 64 hexadecimal digits (what the tree file may keep).
bool IsFingerprintText(const std::string& text);

enum class TrustVerdict {
  kSystem,     // verified by the system's authorities for the host name: accepted, not pinned
  kFirstUse,   // nothing kept yet: accepted and pinned
  kPinned,     // the kept fingerprint: accepted
  kChanged,    // another fingerprint than the kept one: refused
};
// The verdict for a certificate with fingerprint `seen` when `kept` is the device's
// pinned fingerprint ("" for none).
TrustVerdict DecideTrust(bool systemVerified, const std::string& kept, const std::string& seen);

// Under fetchLock, after a finished handshake of the device's current connection:
// applies the verdict to the record (a first use is noted for the main thread to keep;
// a change is reported in the tile and logged once per new certificate). False when the
// connection must be closed.
bool AcceptPeerCertificate(GroupRecord& record, bool systemVerified, const std::string& seen);

// Main thread. Moves a fingerprint pinned by a connection into the device's
// `certificate` (the tree file then keeps it). True when one was moved; a device whose
// lock is busy is tried again at the next call.
bool KeepFirstSeenCertificate(GroupRecord& record);

// Main thread. True when the device refused a changed certificate that the user has not
// trusted yet.
bool CertificateChangeSeen(GroupRecord& record);

// Main thread. Forgets the kept fingerprint (and the refused one) so the next
// connection pins the certificate it finds, and reconnects a fetched device at once.
// False when there was no changed certificate to trust.
bool TrustNewCertificate(GroupRecord& record);

// Sets up a libcurl handle for an HTTPS URL: the system's authorities as usual, or,
// when `pinned` is a fingerprint, exactly the certificate it names (no host name check,
// as for the live connections). Does nothing for other URLs.
void ConfigureCurlTls(CURL* curl, const std::string& url, const std::string& pinned);

}  // namespace velmora
