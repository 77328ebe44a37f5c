#include "net/http_response.h"

#include <cinttypes>
#include <cstdio>

namespace velmora::net {

std::string HttpDate(std::time_t when) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm utc{};
  if (gmtime_r(&when, &utc) == nullptr) return std::string();
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday % 7],
                utc.tm_mday, kMonths[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 404: return "Not Found";
    case 401: return "Unauthorized";
    case 503: return "Service Unavailable";
    default: return "OK";
  }
}

std::string ResponseHeader(int status, std::string_view contentType, uint64_t contentLength,
                           std::time_t now, std::string_view extraLines) {
  char line[96];
  std::string header;
  header.reserve(192 + contentType.size() + extraLines.size());
  std::snprintf(line, sizeof line, "HTTP/1.0 %d %s\r\n", status, ReasonPhrase(status));
  header += line;
  header += "Date: ";
  header += HttpDate(now);
  header += "\r\nExpires: ";
  header += HttpDate(status == 503 ? now : now + kExpirySeconds);
  header += "\r\nContent-Type: ";
  header += contentType;
  std::snprintf(line, sizeof line, "\r\nContent-Length: %" PRIu64 "\r\n", contentLength);
  header += line;
  header += extraLines;
  header += "\r\n";
  return header;
}

std::string EscapeMarkup(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string EscapeLinkPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += '/';
    } else if (u < 0x20 || u == 0x7F || c == ' ' || c == '"' || c == '#' || c == '%' || c == ':' ||
               c == '<' ||
               c == '>' || c == '?') {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string NotFoundPage(std::string_view path) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>404 Not Found</title></head>\n<body>\n<h1>Not Found</h1>\n"
      "<p>The requested URL ";
  page += EscapeMarkup(path);
  page += " was not found on this server.</p>\n</body>\n</html>\n";
  return page;
}

std::string UnauthorizedPage() {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<title>401 Unauthorized</title></head>\n<body>\n<h1>Unauthorized</h1>\n"
         "<p>This server needs a user name and a password.</p>\n</body>\n</html>\n";
}

std::string AuthenticateLine() { return "WWW-Authenticate: Basic realm=\"Velmora NVR\"\r\n"; }

std::string ServiceUnavailablePage() {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<title>503 Service Unavailable</title></head>\n<body>\n<h1>Service Unavailable</h1>\n"
         "<p>The server is busy. Please try again in a moment.</p>\n</body>\n</html>\n";
}

std::string RetryAfterLine() { return "Retry-After: 1\r\n"; }

}  // namespace velmora::net
