// The texts the embedded HTTP server answers with: the header block, the not-found
// and unauthorised pages, and the escaping used in pages and listings.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "app/helpers.h"

namespace velmora::net {

constexpr const char* kTypeHtml = "text/html; charset=utf-8";
constexpr const char* kTypeXml = "text/xml";
constexpr const char* kTypeText = "text/plain; charset=utf-8";
constexpr const char* kTypeJpeg = "image/jpeg";
constexpr const char* kTypeBinary = "application/octet-stream";
// Answers may be cached by browsers for a day.
constexpr std::time_t kExpirySeconds = 86400;

// "%a, %d %b %Y %H:%M:%S GMT" in UTC with English day and month names, whatever the
// process locale.
std::string HttpDate(std::time_t when);

// "Not Found" for 404, "Unauthorized" for 401, "Service Unavailable" for 503, "OK" for
// everything else.
const char* ReasonPhrase(int status);

// The header block: status line, Date, Expires (a day later; for 503 the Date itself,
// so that no cache keeps a busy answer), Content-Type and Content-Length, each ended by
// CR LF, then an empty line. `extraLines` (each ended by CR LF) go in before the empty
// line.
std::string ResponseHeader(int status, std::string_view contentType, uint64_t contentLength,
                           std::time_t now, std::string_view extraLines = {});

// The 404 page for a (canonicalised) path; markup characters of the path are escaped.
std::string NotFoundPage(std::string_view path);
// The body and the extra header line of a 401 answer.
std::string UnauthorizedPage();
std::string AuthenticateLine();
// The body and the extra header line of the 503 answer given while every handler is
// busy and the request queue is full: the client may try again after a second.
std::string ServiceUnavailablePage();
std::string RetryAfterLine();

// Replaces & < > " by their character references; everything else stays as it is, so
// plain names come out unchanged.
std::string EscapeMarkup(std::string_view text);

// A link target for a tree path: "/" joins the names, and characters that would end or
// change the meaning of a URL path (blank, " # % : < > ? and control characters) are
// %-escaped. The colon is escaped so that no name can make a link begin with a scheme
// ("javascript:..."). Plain names keep every other byte, UTF-8 included.
std::string EscapeLinkPath(std::string_view path);

// Log lines of the server use the application's LogSafe.
using velmora::LogSafe;

}  // namespace velmora::net
