// libcurl for the whole program: owners of its handles, its one-time initialisation and
// the parts of a URL (the stand-in for splitting and joining URLs). Every part of the
// program that talks HTTP or reads a URL's host, port or credentials goes through these,
// so a handle is always freed and a part always read the same way.
//
// Any thread (libcurl's URL functions keep no shared state; CurlReady runs its
// initialisation once).
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace velmora::platform {

struct CurlEasyFree {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlUrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlTextFree {
  void operator()(char* text) const { curl_free(text); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyFree>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlFree>;
using CurlList = std::unique_ptr<curl_slist, CurlListFree>;
using CurlText = std::unique_ptr<char, CurlTextFree>;

// libcurl's global initialisation, run once for the process; false when it failed.
bool CurlReady();

// A parsed URL (flags as for curl_url_set, CURLU_NON_SUPPORT_SCHEME for a camera's
// rtsp:// or https:// location); null when it does not parse or no handle could be made.
// code, when given, receives the reason (CURLUE_OUT_OF_MEMORY without a handle).
CurlUrl ParseUrl(const std::string& text, unsigned flags, CURLUcode* code = nullptr);

// One part of a parsed URL (flags as for curl_url_get); false when the URL has no such
// part or it cannot be read.
bool UrlPart(CURLU* url, CURLUPart part, unsigned flags, std::string& out);

}  // namespace velmora::platform
