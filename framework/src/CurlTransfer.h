// Private: the settings of one HTTP GET, shared by the blocking session and
// the background fetcher, so both make the same request.
#pragma once

#include <curl/curl.h>

#include <string>

#include "framework/Afx.h"

namespace curlget {

constexpr size_t kMaxBody = 64u * 1024u * 1024u;

// The body of one transfer, collected by the write callback.
struct Sink {
    std::string body;
    bool tooLarge = false;
};

struct Options {
    const char* url = "";
    const char* agent = "";
    long connectMs = 10000;
    long totalMs = 30000;
    bool noCache = true;
    bool direct = false;
};

// libcurl's global start, once per process. Any thread.
void GlobalInit();

// Empty when url is an absolute http or https URL with a host; otherwise
// the reason, and error set to the internet layer's number.
std::string CheckUrl(const char* url, DWORD& error);

// Sets up easy for a GET into sink, errors into errorBuffer (of
// CURL_ERROR_SIZE bytes). Returns the header list the caller frees with
// curl_slist_free_all after the transfer (may be null).
curl_slist* Configure(CURL* easy, const Options& options, Sink* sink, char* errorBuffer);

// The internet layer's error number of a failed transfer.
DWORD ErrorOf(CURLcode code);

// The failure text of a finished transfer (rc not CURLE_OK).
std::string FailureText(CURLcode rc, const Sink& sink, const char* errorBuffer, const char* url);

}  // namespace curlget
