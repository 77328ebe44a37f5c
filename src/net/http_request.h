// Parsing of the requests the embedded HTTP server accepts: the request line, the
// decoded request path, the folder and name it addresses, the query of the record
// requests, and the Basic authorisation header. Everything here is pure text work on
// untrusted input: no allocation beyond the input's size, no recursion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::net {

// The server looks at most this many bytes for the end of the request line.
constexpr std::size_t kRequestLineLimit = 1024;
// Longest decoded path accepted (the URL length limit of the stored format).
constexpr std::size_t kMaxCanonicalPath = 2084;
// Longest key and value of one query piece; longer keys drop the piece, longer values
// are cut.
constexpr std::size_t kMaxQueryField = 32;

// The request line: the received bytes up to the first CR or LF, and never more than
// kRequestLineLimit bytes.
std::string_view RequestLine(std::string_view received);

// True when the first line is complete in `received`: a CR or LF within the limit, or
// the limit reached.
bool RequestLineComplete(std::string_view received);

// The path of a GET request line: the text after "GET " up to the next blank or the
// end. Empty optional when the line does not begin with "GET ".
std::optional<std::string_view> GetRequestPath(std::string_view requestLine);

// Decodes every %-escape of the path once (nothing is encoded). Fails when the path
// does not begin with "/", holds a malformed escape, decodes to a NUL byte, or is
// longer than kMaxCanonicalPath bytes after decoding.
std::optional<std::string> CanonicalizePath(std::string_view path);

// A request for something inside a node folder: the folder relative to the recordings
// folder ("Yard/Door") and the last component ("image.jpg", "vljpeg?file=...").
struct FileTarget {
  std::string folder;
  std::string name;
};

// Splits a canonical path into folder and name. Fails for a path with an empty, "." or
// ".." folder component, a backslash anywhere in the folder, an empty name, or a name
// (before its query) that is not a plain file name.
std::optional<FileTarget> SplitTarget(std::string_view canonicalPath);

// True for a name that can only address a file directly inside a folder: not empty,
// no "/", no backslash, no NUL, no "..", not ".".
bool IsPlainFileName(std::string_view name);

// The query of a record request ("vljpeg?file=26120814.vlj&offset=-4"): the name is
// split at every "?" and "&"; each piece holds a key of 1 to 32 characters other than
// "=", then "=", then a value cut at 32 characters and at the first blank. "file"
// names the data file, "offset" the position (decimal, sign allowed, saturating at the
// 64-bit range, 0 when no digits follow). Other keys are ignored.
struct RecordQuery {
  std::string file;
  int64_t offset = 0;
};
RecordQuery ParseRecordQuery(std::string_view name);

// Reads a signed decimal number the way the query does: optional sign, then digits up
// to the first non-digit; saturates; 0 when there are no digits.
int64_t ParseDecimal(std::string_view text);

// The value of the header field `field` (matched without regard to case) in the header
// block that follows the request line, without surrounding blanks; empty optional when
// the field is not there.
std::optional<std::string_view> HeaderValue(std::string_view request, std::string_view field);

// True when the request carries "Authorization: Basic" credentials equal to user and
// password. The comparison takes the same time wherever the texts differ.
bool BasicAuthMatches(std::string_view request, const std::string& user, const std::string& password);

// True once the header block is complete (an empty line after the request line).
bool HeaderBlockComplete(std::string_view received);

}  // namespace velmora::net
