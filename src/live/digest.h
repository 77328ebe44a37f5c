// HTTP Digest authentication for the live connections: the parser of WWW-Authenticate
// challenges, the answer a request carries (MD5, SHA-256 and their "-sess" forms,
// qop=auth with a nonce count and a random client nonce), and the per-device session
// that keeps a camera's challenge while the camera accepts answers to it.
//
// The parser takes untrusted bytes from the network: every size is bounded and every
// value that is sent back (realm, nonce, opaque) is checked to hold no control
// characters, so an answer can never end or split a request line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

struct GroupRecord;

// Bounds of what the parser accepts.
constexpr std::size_t kMaxChallengeHeader = 8192;  // one header value
constexpr std::size_t kMaxChallenges = 16;         // challenges in all values of a response
constexpr std::size_t kMaxChallengeParams = 32;    // parameters of one challenge
constexpr std::size_t kMaxChallengeValue = 1024;   // one parameter value, unquoted

// One challenge: its scheme (lower case) and its parameters in the order given, names
// in lower case, values unquoted. A token68 form ("Negotiate abc==") is one parameter
// with an empty name.
struct AuthChallenge {
  std::string scheme;
  std::vector<std::pair<std::string, std::string>> params;
  const std::string* param(std::string_view name) const;
};

// Parses one header value holding one or more comma-separated challenges and appends
// them to `out`. False with a reason in `error` for an oversized or malformed value (the
// challenges read before the fault are kept).
bool ParseChallenges(std::string_view value, std::vector<AuthChallenge>& out, std::string& error);

// The values of every header line named `name` (case-insensitive) in a response header
// (status line first, lines ending in CR LF or LF, no blank line needed).
std::vector<std::string> HeaderValues(std::string_view header, std::string_view name);

enum class DigestAlgorithm { kMd5, kMd5Sess, kSha256, kSha256Sess };
const char* DigestAlgorithmName(DigestAlgorithm algorithm);

// What a Digest challenge asks for, as far as this program answers it.
struct DigestChallenge {
  std::string realm;
  std::string nonce;
  std::string opaque;
  bool hasOpaque = false;
  DigestAlgorithm algorithm = DigestAlgorithm::kMd5;
  bool qopAuth = false;   // answer with qop=auth (else the older form without qop)
  bool stale = false;     // the previous answer was right but its nonce expired
  bool userhash = false;  // the user name goes out hashed
};

// The strongest Digest challenge this program can answer (SHA-256 before MD5); none
// when there is no Digest challenge, or each asks for what is not supported
// (auth-int only, an unknown algorithm) or carries an unsafe or missing nonce/realm.
std::optional<DigestChallenge> PickDigest(const std::vector<AuthChallenge>& challenges);

// Lower-case hexadecimal hash of the text with the algorithm's hash function.
std::string DigestHash(DigestAlgorithm algorithm, std::string_view text);

// The "response" value for one request.
std::string DigestResponse(const DigestChallenge& challenge, const std::string& username,
                           const std::string& password, const std::string& method, const std::string& uri,
                           uint32_t nonceCount, const std::string& cnonce);

// 16 bytes from the system's random source, in hexadecimal.
std::string NewClientNonce();

// The whole value of an "Authorization:" line answering the challenge ("Digest
// username=..., ..."). Empty when the user name holds a character that cannot travel
// in a header.
std::string DigestAuthorization(const DigestChallenge& challenge, const std::string& username,
                                const std::string& password, const std::string& method, const std::string& uri,
                                uint32_t nonceCount, const std::string& cnonce);

// A device's authentication state, kept in its record (`digest`) and guarded by its
// fetchLock: the camera's Digest challenge, and whether it asked for Basic.
struct DigestSession {
  std::optional<DigestChallenge> challenge;
  uint32_t nonceCount = 0;   // answers given to the current nonce
  bool answered = false;     // the last request carried a Digest answer
  int immediateRetries = 0;  // answers sent at once since the last ordinary connect
  bool retryNow = false;     // the periodic check reconnects at once
  // The camera asked for Basic credentials in this run: from then on its requests carry
  // them, as a browser keeps them for the pages of a server that asked.
  bool basicAsked = false;
  bool basicSent = false;        // the last request carried Basic credentials
  bool schemeReported = false;   // the accepted Digest answer was reported to the main thread
};

// What the live connection does after a 401.
enum class DigestStep {
  kNotDigest,     // no challenge that can be answered (or no credentials): the usual wait
  kRetryNow,      // a new challenge or a stale nonce: the answer goes out at once
  kBackOff,       // the answer to a fresh challenge was refused: the usual wait
  kBadChallenge,  // the challenge header is malformed or oversized: the usual wait
};

// Under fetchLock, for a 401 response whose header is `header`: keeps the camera's
// Digest challenge in the record and decides the next step. A Basic challenge to a
// request that went without credentials is answered too, when the device has
// credentials (`haveCredentials`); one to a request that carried them means they are
// wrong. At most one answer goes out at once per ordinary connect, so a camera that
// challenges every answer (even claiming a stale nonce each time) is asked again only
// after the usual wait.
DigestStep DigestAfterRefusal(GroupRecord& record, std::string_view header, bool haveCredentials = true);

// Under fetchLock, when a connection of the device starts: `immediate` for the answer
// sent at once after a challenge. Clears the request for an immediate connect.
void DigestConnecting(GroupRecord& record, bool immediate);

// Under fetchLock: true when the device should reconnect now to answer a challenge.
bool DigestRetryDue(const GroupRecord& record);

// Under fetchLock, for the request of a new connection: the Authorization value when
// the device holds a challenge and credentials (the nonce count advances), else empty.
std::string DigestRequestAuthorization(const GroupRecord& record, const std::string& username,
                                       const std::string& password, const std::string& uri);

// Whether a request without a Digest answer may carry Basic credentials: when the
// camera asked for them in this run, or, before any challenge, for a device that sends
// its password unasked (`sendPasswordOnlyWhenAsked` off) and is not known to use
// Digest. Pure: the caller notes what went out with NoteBasicSent.
bool BasicAllowed(const GroupRecord& record);
// Under fetchLock: whether the request just built carried Basic credentials.
void NoteBasicSent(GroupRecord& record, bool sent);

// Under fetchLock, once a response to a request of the device was accepted: true (once
// per run) when that request carried a Digest answer and the device is not yet known
// to use Digest, so the caller reports the scheme to the main thread to be kept.
bool DigestAcceptedFirstTime(GroupRecord& record);

}  // namespace velmora
