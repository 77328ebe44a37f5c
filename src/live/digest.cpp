#include "live/digest.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>

#include "app/helpers.h"
#include "app/log.h"
#include "model/group_record.h"

namespace velmora {

namespace {

// The token characters of HTTP (RFC 9110 5.6.2).
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-': case '.':
    case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

// token68 adds '/' and trailing '=' to the letters, digits and "-._~+".
bool IsToken68Char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~' || c == '+' || c == '/';
}

// Text that can be sent back inside a quoted string: no control characters.
bool SafeQuotedText(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// A quoted string with '"' and '\' escaped.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

class ChallengeReader {
 public:
  explicit ChallengeReader(std::string_view text) : text_(text) {}

  bool Read(std::vector<AuthChallenge>& out, std::string& error) {
    for (;;) {
      SkipSpaceAndCommas();
      if (AtEnd()) return true;
      std::string scheme;
      if (!Token(scheme)) return Fail(error, "a challenge does not start with its scheme");
      if (out.size() >= kMaxChallenges) return Fail(error, "more than 16 challenges");
      out.push_back(AuthChallenge{AsciiLower(scheme), {}});
      AuthChallenge& challenge = out.back();
      // Parameters follow the scheme after a space; a comma or the end closes a
      // challenge without any.
      const bool spaced = SkipSpace();
      if (AtEnd() || Peek() == ',') {
        if (!ParamsAfterComma(challenge, error)) return false;
        continue;
      }
      if (!spaced) return Fail(error, "no space after the scheme");
      if (!FirstParam(challenge, error)) return false;
      if (!ParamsAfterComma(challenge, error)) return false;
    }
  }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek(std::size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }
  bool SkipSpace() {
    const std::size_t from = pos_;
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t')) ++pos_;
    return pos_ != from;
  }
  void SkipSpaceAndCommas() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == ',')) ++pos_;
  }
  static bool Fail(std::string& error, const char* reason) {
    error = reason;
    return false;
  }

  bool Token(std::string& out) {
    const std::size_t from = pos_;
    while (!AtEnd() && IsTokenChar(Peek())) ++pos_;
    out.assign(text_.substr(from, pos_ - from));
    return !out.empty();
  }

  bool QuotedString(std::string& out, std::string& error) {
    ++pos_;  // the opening quote
    out.clear();
    while (!AtEnd()) {
      char c = Peek();
      ++pos_;
      if (c == '"') return true;
      if (c == '\\') {
        if (AtEnd()) break;
        c = Peek();
        ++pos_;
      }
      if (out.size() >= kMaxChallengeValue) return Fail(error, "a parameter value is too long");
      out += c;
    }
    return Fail(error, "a quoted string does not end");
  }

  // name = ( token / quoted-string ), the name already read.
  bool ParamValue(AuthChallenge& challenge, std::string name, std::string& error) {
    SkipSpace();
    std::string value;
    if (Peek() == '"') {
      if (!QuotedString(value, error)) return false;
    } else if (!Token(value)) {
      return Fail(error, "a parameter has no value");
    } else if (value.size() > kMaxChallengeValue) {
      return Fail(error, "a parameter value is too long");
    }
    if (challenge.params.size() >= kMaxChallengeParams) return Fail(error, "a challenge has too many parameters");
    challenge.params.emplace_back(AsciiLower(name), std::move(value));
    return true;
  }

  // The first item behind the scheme: a parameter, or a token68.
  bool FirstParam(AuthChallenge& challenge, std::string& error) {
    const std::size_t from = pos_;
    std::string name;
    if (Token(name)) {
      const std::size_t afterName = pos_;
      SkipSpace();
      if (Peek() == '=') {
        ++pos_;
        SkipSpace();
        if (Peek() != '=' && Peek() != ',' && !AtEnd()) return ParamValue(challenge, name, error);
      }
      pos_ = afterName;
    }
    // token68: its characters, then any number of '='.
    pos_ = from;
    while (!AtEnd() && IsToken68Char(Peek())) ++pos_;
    while (!AtEnd() && Peek() == '=') ++pos_;
    if (pos_ == from) return Fail(error, "a challenge has a character that is not allowed");
    if (pos_ - from > kMaxChallengeValue) return Fail(error, "a parameter value is too long");
    challenge.params.emplace_back(std::string(), std::string(text_.substr(from, pos_ - from)));
    SkipSpace();
    if (!AtEnd() && Peek() != ',') return Fail(error, "text after a token68");
    return true;
  }

  // ", name=value" items of the current challenge; stops in front of the next scheme.
  bool ParamsAfterComma(AuthChallenge& challenge, std::string& error) {
    for (;;) {
      SkipSpace();
      if (AtEnd()) return true;
      if (Peek() != ',') return Fail(error, "parameters are not separated by commas");
      SkipSpaceAndCommas();
      if (AtEnd()) return true;
      const std::size_t from = pos_;
      std::string name;
      if (!Token(name)) return Fail(error, "a parameter name has a character that is not allowed");
      SkipSpace();
      if (Peek() != '=') {
        pos_ = from;  // the scheme of the next challenge
        return true;
      }
      ++pos_;
      if (!ParamValue(challenge, name, error)) return false;
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

const EVP_MD* HashOf(DigestAlgorithm algorithm) {
  return algorithm == DigestAlgorithm::kSha256 || algorithm == DigestAlgorithm::kSha256Sess ? EVP_sha256()
                                                                                                 : EVP_md5();
}

bool IsSess(DigestAlgorithm algorithm) {
  return algorithm == DigestAlgorithm::kMd5Sess || algorithm == DigestAlgorithm::kSha256Sess;
}

std::optional<DigestAlgorithm> AlgorithmFromName(std::string_view name) {
  if (EqualsNoCase(name, "MD5")) return DigestAlgorithm::kMd5;
  if (EqualsNoCase(name, "MD5-sess")) return DigestAlgorithm::kMd5Sess;
  if (EqualsNoCase(name, "SHA-256")) return DigestAlgorithm::kSha256;
  if (EqualsNoCase(name, "SHA-256-sess")) return DigestAlgorithm::kSha256Sess;
  return std::nullopt;
}

int Strength(DigestAlgorithm algorithm) {
  return algorithm == DigestAlgorithm::kSha256 || algorithm == DigestAlgorithm::kSha256Sess ? 2 : 1;
}

// A comma-separated list (the qop value) holds the word.
bool ListHas(std::string_view list, std::string_view word) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (EqualsNoCase(item, word)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

std::string HexNonceCount(uint32_t count) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", count);
  return text;
}

DigestSession& SessionOf(GroupRecord& record) {
  if (!record.live.digest) record.live.digest = std::make_shared<DigestSession>();
  return *record.live.digest;
}

}  // namespace

const std::string* AuthChallenge::param(std::string_view name) const {
  for (const auto& [key, value] : params) {
    if (EqualsNoCase(key, name)) return &value;
  }
  return nullptr;
}

bool ParseChallenges(std::string_view value, std::vector<AuthChallenge>& out, std::string& error) {
  error.clear();
  if (value.size() > kMaxChallengeHeader) {
    error = "the challenge header is longer than 8192 bytes";
    return false;
  }
  return ChallengeReader(value).Read(out, error);
}

std::vector<std::string> HeaderValues(std::string_view header, std::string_view name) {
  std::vector<std::string> values;
  std::size_t pos = header.find('\n');  // behind the status line
  while (pos != std::string_view::npos && pos < header.size()) {
    ++pos;
    std::size_t end = header.find('\n', pos);
    std::string_view line = header.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsNoCase(line.substr(0, colon), name)) {
      std::string_view text = line.substr(colon + 1);
      while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
      values.emplace_back(text);
    }
    pos = end;
  }
  return values;
}

const char* DigestAlgorithmName(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kMd5Sess: return "MD5-sess";
    case DigestAlgorithm::kSha256: return "SHA-256";
    case DigestAlgorithm::kSha256Sess: return "SHA-256-sess";
    default: return "MD5";
  }
}

std::optional<DigestChallenge> PickDigest(const std::vector<AuthChallenge>& challenges) {
  std::optional<DigestChallenge> best;
  for (const AuthChallenge& c : challenges) {
    if (c.scheme != "digest") continue;
    const std::string* realm = c.param("realm");
    const std::string* nonce = c.param("nonce");
    if (realm == nullptr || nonce == nullptr || nonce->empty()) continue;
    if (!SafeQuotedText(*realm) || !SafeQuotedText(*nonce)) continue;
    DigestChallenge d;
    d.realm = *realm;
    d.nonce = *nonce;
    if (const std::string* opaque = c.param("opaque")) {
      if (!SafeQuotedText(*opaque)) continue;
      d.opaque = *opaque;
      d.hasOpaque = true;
    }
    if (const std::string* name = c.param("algorithm")) {
      const std::optional<DigestAlgorithm> algorithm = AlgorithmFromName(*name);
      if (!algorithm) continue;
      d.algorithm = *algorithm;
    }
    if (const std::string* qop = c.param("qop")) {
      if (!ListHas(*qop, "auth")) continue;  // auth-int alone: the body is not hashed here
      d.qopAuth = true;
    } else if (IsSess(d.algorithm)) {
      continue;  // a session key needs the client nonce, which goes out only with qop
    }
    if (const std::string* stale = c.param("stale")) d.stale = EqualsNoCase(*stale, "true");
    if (const std::string* userhash = c.param("userhash")) d.userhash = EqualsNoCase(*userhash, "true");
    if (!best || Strength(d.algorithm) > Strength(best->algorithm)) best = std::move(d);
  }
  return best;
}

std::string DigestHash(DigestAlgorithm algorithm, std::string_view text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> hash{};
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), hash.data(), &length, HashOf(algorithm), nullptr) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2u);
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[hash[i] >> 4];
    out += kHex[hash[i] & 15];
  }
  return out;
}

std::string DigestResponse(const DigestChallenge& challenge, const std::string& username,
                           const std::string& password, const std::string& method, const std::string& uri,
                           uint32_t nonceCount, const std::string& cnonce) {
  const DigestAlgorithm a = challenge.algorithm;
  std::string ha1 = DigestHash(a, username + ":" + challenge.realm + ":" + password);
  if (IsSess(a)) ha1 = DigestHash(a, ha1 + ":" + challenge.nonce + ":" + cnonce);
  const std::string ha2 = DigestHash(a, method + ":" + uri);
  if (!challenge.qopAuth) return DigestHash(a, ha1 + ":" + challenge.nonce + ":" + ha2);
  return DigestHash(a, ha1 + ":" + challenge.nonce + ":" + HexNonceCount(nonceCount) + ":" + cnonce + ":auth:" + ha2);
}

std::string NewClientNonce() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    // The random source failed: a nonce from the hash of the time and the address is
    // still unpredictable enough to tell answers apart, which is all the camera needs.
    // The seed takes the system's nanosecond count, not a time reading of the program.
    char seed[64];
    std::snprintf(seed, sizeof seed, "%p:%lld", static_cast<void*>(bytes.data()),
                  static_cast<long long>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return DigestHash(DigestAlgorithm::kMd5, seed);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::string DigestAuthorization(const DigestChallenge& challenge, const std::string& username,
                                const std::string& password, const std::string& method, const std::string& uri,
                                uint32_t nonceCount, const std::string& cnonce) {
  if (!SafeQuotedText(username) || !SafeQuotedText(uri)) return {};
  const std::string user =
      challenge.userhash ? DigestHash(challenge.algorithm, username + ":" + challenge.realm) : username;
  std::string text = "Digest username=" + Quoted(user) + ", realm=" + Quoted(challenge.realm) +
                     ", nonce=" + Quoted(challenge.nonce) + ", uri=" + Quoted(uri) +
                     ", algorithm=" + DigestAlgorithmName(challenge.algorithm) + ", response=\"" +
                     DigestResponse(challenge, username, password, method, uri, nonceCount, cnonce) + "\"";
  if (challenge.qopAuth) text += ", qop=auth, nc=" + HexNonceCount(nonceCount) + ", cnonce=" + Quoted(cnonce);
  if (challenge.hasOpaque) text += ", opaque=" + Quoted(challenge.opaque);
  if (challenge.userhash) text += ", userhash=true";
  return text;
}

DigestStep DigestAfterRefusal(GroupRecord& record, std::string_view header, bool haveCredentials) {
  std::vector<AuthChallenge> challenges;
  for (const std::string& value : HeaderValues(header, "WWW-Authenticate")) {
    std::string error;
    if (!ParseChallenges(value, challenges, error)) {
      LogDeviceLevel(0, record.debugLevel, "bad authentication challenge from %s: %s", record.name.c_str(),
                     error.c_str());
      return DigestStep::kBadChallenge;
    }
  }
  std::optional<DigestChallenge> picked = PickDigest(challenges);
  if (!picked) {
    bool basic = false;
    for (const AuthChallenge& c : challenges) {
      if (c.scheme == "digest") {
        LogDeviceLevel(0, record.debugLevel, "unsupported Digest challenge from %s", record.name.c_str());
        return DigestStep::kBadChallenge;
      }
      basic = basic || c.scheme == "basic";
    }
    if (!basic || !haveCredentials) return DigestStep::kNotDigest;
    DigestSession& session = SessionOf(record);
    const bool sent = session.basicSent;
    session.basicAsked = true;
    session.challenge.reset();  // the camera asks for Basic now: no Digest answer to a gone challenge
    // Credentials that went with the request were refused: wrong, and not tried again
    // before the usual wait.
    if (sent || session.immediateRetries > 0) return DigestStep::kBackOff;
    LogDeviceLevel(2, record.debugLevel, "Basic challenge from %s", record.name.c_str());
    session.retryNow = true;
    return DigestStep::kRetryNow;
  }
  DigestSession& session = SessionOf(record);
  const bool answered = session.answered;
  const bool stale = picked->stale;
  LogDeviceLevel(2, record.debugLevel, "Digest challenge (%s%s) from %s", DigestAlgorithmName(picked->algorithm),
                 stale ? ", stale" : "", record.name.c_str());
  session.challenge = std::move(picked);
  session.nonceCount = 0;
  session.answered = false;
  // A refused answer to a fresh nonce means wrong credentials: wait as for Basic.
  if (answered && !stale) return DigestStep::kBackOff;
  if (session.immediateRetries > 0) return DigestStep::kBackOff;
  session.retryNow = true;
  return DigestStep::kRetryNow;
}

void DigestConnecting(GroupRecord& record, bool immediate) {
  if (!record.live.digest) return;
  DigestSession& session = *record.live.digest;
  session.retryNow = false;
  if (immediate) {
    ++session.immediateRetries;
  } else {
    session.immediateRetries = 0;
  }
}

bool DigestRetryDue(const GroupRecord& record) { return record.live.digest && record.live.digest->retryNow; }

std::string DigestRequestAuthorization(const GroupRecord& record, const std::string& username,
                                       const std::string& password, const std::string& uri) {
  if (!record.live.digest) return {};
  DigestSession& session = *record.live.digest;
  session.answered = false;
  if (!session.challenge || (username.empty() && password.empty())) return {};
  const uint32_t count = ++session.nonceCount;
  std::string value =
      DigestAuthorization(*session.challenge, username, password, "GET", uri, count, NewClientNonce());
  session.answered = !value.empty();
  return value;
}

bool BasicAllowed(const GroupRecord& record) {
  if (record.live.digest && record.live.digest->basicAsked) return true;
  return !record.sendPasswordOnlyWhenAsked && record.authScheme != kAuthSchemeDigest;
}

void NoteBasicSent(GroupRecord& record, bool sent) {
  if (!sent && !record.live.digest) return;
  SessionOf(record).basicSent = sent;
}

bool DigestAcceptedFirstTime(GroupRecord& record) {
  if (!record.live.digest) return false;
  DigestSession& session = *record.live.digest;
  if (!session.answered || session.schemeReported || record.authScheme == kAuthSchemeDigest) return false;
  session.schemeReported = true;
  return true;
}

}  // namespace velmora
