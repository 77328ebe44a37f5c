#include "net/http_request.h"

#include <limits>

#include "app/helpers.h"

namespace velmora::net {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// The next line of `text` from `pos` (without its CR LF or LF); pos moves past it.
std::string_view NextLine(std::string_view text, std::size_t& pos) {
  const std::size_t end = text.find('\n', pos);
  std::string_view line =
      text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
  pos = end == std::string_view::npos ? text.size() : end + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

std::string_view RequestLine(std::string_view received) {
  if (received.size() > kRequestLineLimit) received = received.substr(0, kRequestLineLimit);
  const std::size_t end = received.find_first_of("\r\n");
  return end == std::string_view::npos ? received : received.substr(0, end);
}

bool RequestLineComplete(std::string_view received) {
  if (received.size() >= kRequestLineLimit) return true;
  return received.find_first_of("\r\n") != std::string_view::npos;
}

std::optional<std::string_view> GetRequestPath(std::string_view requestLine) {
  constexpr std::string_view kGet = "GET ";
  if (requestLine.substr(0, kGet.size()) != kGet) return std::nullopt;
  std::string_view rest = requestLine.substr(kGet.size());
  const std::size_t blank = rest.find(' ');
  return blank == std::string_view::npos ? rest : rest.substr(0, blank);
}

std::optional<std::string> CanonicalizePath(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  std::string out;
  out.reserve(path.size() < kMaxCanonicalPath ? path.size() : kMaxCanonicalPath);
  for (std::size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '%') {
      if (i + 2 >= path.size()) return std::nullopt;
      const int high = HexValue(path[i + 1]);
      const int low = HexValue(path[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (c == '\0') return std::nullopt;
    if (out.size() >= kMaxCanonicalPath) return std::nullopt;
    out.push_back(c);
  }
  return out;
}

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == ".") return false;
  if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) return false;
  return name.find("..") == std::string_view::npos;
}

std::optional<FileTarget> SplitTarget(std::string_view canonicalPath) {
  if (canonicalPath.empty() || canonicalPath.front() != '/') return std::nullopt;
  std::string_view path = canonicalPath.substr(1);
  std::string_view query;
  const std::size_t mark = path.find('?');
  if (mark != std::string_view::npos) {
    query = path.substr(mark);
    path = path.substr(0, mark);
  }
  const std::size_t slash = path.rfind('/');
  std::string_view folder = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (!IsPlainFileName(name)) return std::nullopt;
  if (folder.find('\\') != std::string_view::npos) return std::nullopt;
  // Every folder component must be a real name: no empty, "." or ".." steps.
  std::size_t start = 0;
  while (!folder.empty() && start <= folder.size()) {
    std::size_t end = folder.find('/', start);
    if (end == std::string_view::npos) end = folder.size();
    std::string_view part = folder.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return std::nullopt;
    start = end + 1;
  }
  FileTarget target;
  target.folder = std::string(folder);
  target.name = std::string(name);
  target.name += query;
  return target;
}

int64_t ParseDecimal(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate towards the sign so that INT64_MIN is reachable; saturate on overflow.
  int64_t value = 0;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (negative) {
      if (value < (kMin + digit) / 10) return kMin;
      value = value * 10 - digit;
    } else {
      if (value > (kMax - digit) / 10) return kMax;
      value = value * 10 + digit;
    }
  }
  return value;
}

RecordQuery ParseRecordQuery(std::string_view name) {
  RecordQuery query;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of("?&", start);
    if (end == std::string_view::npos) end = name.size();
    std::string_view piece = name.substr(start, end - start);
    start = end + 1;
    const std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos || equals == 0 || equals > kMaxQueryField) continue;
    std::string_view key = piece.substr(0, equals);
    std::string_view value = piece.substr(equals + 1);
    // A value ends at the first blank, as a scanned word would, and keeps 32 characters.
    const std::size_t blank = value.find_first_of(" \t\r\n\v\f");
    if (blank != std::string_view::npos) value = value.substr(0, blank);
    if (value.empty()) continue;
    if (value.size() > kMaxQueryField) value = value.substr(0, kMaxQueryField);
    if (key == "file") {
      query.file = std::string(value);
    } else if (key == "offset") {
      query.offset = ParseDecimal(value);
    }
  }
  return query;
}

std::optional<std::string_view> HeaderValue(std::string_view request, std::string_view field) {
  std::size_t pos = 0;
  NextLine(request, pos);  // the request line
  while (pos < request.size()) {
    std::string_view line = NextLine(request, pos);
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (EqualsNoCase(TrimBlanks(line.substr(0, colon)), field))
      return TrimBlanks(line.substr(colon + 1));
  }
  return std::nullopt;
}

bool BasicAuthMatches(std::string_view request, const std::string& user, const std::string& password) {
  std::optional<std::string_view> value = HeaderValue(request, "Authorization");
  if (!value) return false;
  constexpr std::string_view kScheme = "basic";
  if (value->size() <= kScheme.size() || !EqualsNoCase(value->substr(0, kScheme.size()), kScheme))
    return false;
  std::string_view encoded = TrimBlanks(value->substr(kScheme.size()));
  if (encoded.size() > 1024) return false;
  const std::string given = Base64Decode(std::string(encoded));
  const std::string expected = user + ":" + password;
  // Every byte of the longer text is looked at, so the time does not tell where they differ.
  unsigned difference = given.size() == expected.size() ? 0u : 1u;
  const std::size_t length = given.size() > expected.size() ? given.size() : expected.size();
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    const unsigned char b = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
    difference |= static_cast<unsigned>(a ^ b);
  }
  return difference == 0;
}

bool HeaderBlockComplete(std::string_view received) {
  return received.find("\r\n\r\n") != std::string_view::npos ||
         received.find("\n\n") != std::string_view::npos;
}

}  // namespace velmora::net
