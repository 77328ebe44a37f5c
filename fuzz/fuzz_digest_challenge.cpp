// libFuzzer target: the WWW-Authenticate parser and the per-device Digest step on
// arbitrary bytes. Checks the promises the request writer relies on: every challenge
// and value stays within its bounds, a picked challenge carries nothing that could end a
// header line, and the answer built from it is one line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "live/digest.h"
#include "live/request.h"
#include "model/group_record.h"

namespace {

using namespace velmora;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool OneLine(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<AuthChallenge> challenges;
  std::string error;
  const bool ok = ParseChallenges(text, challenges, error);
  Check(ok == error.empty());
  Check(challenges.size() <= kMaxChallenges);
  for (const AuthChallenge& c : challenges) {
    Check(!c.scheme.empty());
    Check(c.params.size() <= kMaxChallengeParams);
    for (const auto& param : c.params) Check(param.second.size() <= kMaxChallengeValue);
  }
  if (const auto digest = PickDigest(challenges)) {
    Check(OneLine(digest->realm) && OneLine(digest->nonce) && OneLine(digest->opaque));
    const std::string header = DigestAuthorization(*digest, "user", "pass", "GET", "/jpeg.cgi", 1, "c");
    Check(OneLine(header));
  }

  // The same bytes as a whole 401 response to a device, then its next request.
  static auto record = [] {
    auto r = CreateRecord(EntryKind::Device, "Fuzz");
    r->username = "user";
    r->password = "pass";
    r->live.host = "127.0.0.1";
    r->updateDelay = 1000;
    return r;
  }();
  std::lock_guard<std::mutex> guard(record->fetchLock);
  DigestConnecting(*record, false);
  const std::string response = "HTTP/1.0 401 Unauthorized\r\n" + std::string(text) + "\r\n";
  DigestAfterRefusal(*record, response);
  const std::string request = CameraRequestText(*record);
  Check(request.find("\r\n\r\n") == request.size() - 4);
  return 0;
}
