// The one HTTP/1.0 request each live connection sends: which path and query a device
// is asked for (snapshot, stream at a rate, camera input, or a web image's own URL) and
// the exact header lines, with the program's user agent and Basic authorisation.
#pragma once

#include <cstdint>
#include <string>

namespace velmora {

struct GroupRecord;

// Fixed scripts of the cameras.
constexpr const char* kSnapshotScript = "/jpeg.cgi";
constexpr const char* kStreamScript = "/nph-mjpeg.cgi";
// A web image whose URL names this script is an H.264 stream.
constexpr const char* kH264Script = "nph-h264.cgi";

// The path and query to ask for (the text after "GET "). Kinds 2 and -2 follow
// updateDelay (0: stream, 1..999: stream at 1000/updateDelay fps, 1000 and more: one
// snapshot; -2 adds its input number); kind 4 asks for everything of its location after
// host[:port]; any other kind gets an empty text.
std::string viewthread_request_path(const GroupRecord& record);

// Everything of a URL behind its authority (path, query, fragment), verbatim; "/" when
// the URL has nothing there. False (text empty) when the URL has no "scheme://".
bool UrlRequestTarget(const std::string& url, std::string& target);

// The user name and password in a URL's user-info, percent-decoded. False (both
// empty) when the URL has none.
bool UrlCredentials(const std::string& url, std::string& username, std::string& password);

// "Velmora_NVR/<version>": the product name with underscores for spaces.
std::string CameraUserAgent();

// The "Authorization: Basic ..." value for the credentials (user, colon, password);
// empty when both are empty.
std::string BasicCredentials(const std::string& username, const std::string& password);

// The credentials a request of the device answers with: its user name and password,
// or for a web image without its own, the ones in its URL. False when there are none.
bool RequestCredentials(const GroupRecord& record, std::string& username, std::string& password);

// The whole request: request line, Host (with ":port" unless the port is 0 or 80, 443 for HTTPS),
// User-Agent, Authorization when a user name or password is set (RequestCredentials):
// the answer to the camera's Digest challenge when it sent one - its nonce count
// advances - else Basic, but Basic only when the camera asked for it in this run or the
// device sends its password unasked (sendPasswordOnlyWhenAsked off and not known to use
// Digest); and the blank line. Reads kind, location, updateDelay, cameraIndex, host,
// port, username, password and the authentication state, and notes in that state
// whether Basic went out; logs "REQUEST (%d bytes)[%s]" at the device's level 3, with
// the credentials masked.
std::string CameraRequestText(GroupRecord& record);

}  // namespace velmora
