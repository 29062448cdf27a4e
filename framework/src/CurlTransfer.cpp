#include "CurlTransfer.h"

#include <cstring>
#include <mutex>

#include "framework/Internet.h"

namespace curlget {

namespace {

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t n = size * count;
    if (sink->body.size() + n > kMaxBody) {
        sink->tooLarge = true;
        return 0;  // ends the transfer
    }
    sink->body.append(data, n);
    return n;
}

}  // namespace

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string CheckUrl(const char* url, DWORD& error) {
    const char* u = url != nullptr ? url : "";
    const bool known = std::strncmp(u, "http://", 7) == 0 || std::strncmp(u, "https://", 8) == 0;
    const char* sep = std::strstr(u, "://");
    if (sep == nullptr || sep == u || sep[3] == '\0' || sep[3] == '/') {
        error = ERROR_INTERNET_INVALID_URL;
        return std::string("invalid URL \"") + u + "\"";
    }
    if (!known) {
        error = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
        return std::string("unsupported URL scheme in \"") + u + "\"";
    }
    error = 0;
    return std::string();
}

curl_slist* Configure(CURL* easy, const Options& options, Sink* sink, char* errorBuffer) {
    curl_slist* headers = nullptr;
    if (options.noCache) {
        // Fetched from the origin, not from a cache on the way.
        headers = curl_slist_append(headers, "Cache-Control: no-cache");
        headers = curl_slist_append(headers, "Pragma: no-cache");
    }
    curl_easy_setopt(easy, CURLOPT_URL, options.url);
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, options.connectMs > 0 ? options.connectMs : 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, options.totalMs > 0 ? options.totalMs : 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, sink);
    if (options.agent != nullptr && options.agent[0] != '\0') curl_easy_setopt(easy, CURLOPT_USERAGENT, options.agent);
    if (headers != nullptr) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    if (options.direct) curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    return headers;
}

DWORD ErrorOf(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL: return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
        case CURLE_URL_MALFORMAT: return ERROR_INTERNET_INVALID_URL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
        case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
        case CURLE_TOO_MANY_REDIRECTS: return ERROR_HTTP_REDIRECT_FAILED;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CONNECT_ERROR: return ERROR_INTERNET_SEC_CERT_ERRORS;
        default: return ERROR_INTERNET_CONNECTION_ABORTED;
    }
}

std::string FailureText(CURLcode rc, const Sink& sink, const char* errorBuffer, const char* url) {
    if (sink.tooLarge) return "response from " + std::string(url) + " larger than 64 MiB";
    const std::string message = errorBuffer != nullptr && errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(rc);
    return message + " (" + url + ")";
}

}  // namespace curlget
